#include "app/CommandLine.h"

#include <omp.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <ostream>

#include "core/Console.h"
#include "core/NumberText.h"

namespace ostrel {
namespace {

/// Reads a decimal integer at the start of `text`: leading blanks skipped, trailing text
/// ignored. `value` is written only on success.
bool readInt(const std::wstring& text, int& value) {
    return NumberScanner(scannableText(text)).read(value);
}

}  // namespace

CommandLineSettings parseCommandLine(const std::vector<std::wstring>& args) {
    CommandLineSettings settings;
    const size_t count = args.size();
    settings.consumed.assign(count, false);
    for (size_t i = 0; i < count; ++i) {
        const std::wstring option = upperCase(args[i]);
        const bool hasNext = i + 1 < count;
        const size_t first = i;
        bool matched = true;
        if (option == L"-SCENE") {
            if (hasNext) settings.sceneFile = args[++i];
        } else if (option == L"-PROFILE") {
            settings.profileMode = true;
            if (hasNext && readInt(args[i + 1], settings.numTimeSteps)) {
                ++i;
                if (i + 1 < count && readInt(args[i + 1], settings.numTimeStepsToSkip)) ++i;
            }
        } else if (option == L"-CPU") {
            settings.cpuMode = true;
            if (hasNext && readInt(args[i + 1], settings.numThreads)) ++i;
        } else if (option == L"-AFFINITY") {
            if (hasNext && readInt(args[i + 1], settings.affinityMask)) ++i;
        } else if (option == L"-HELP" || option == L"--HELP") {
            settings.helpRequested = true;
            settings.consumed[i] = true;
            break;
        } else if (option == L"--VERSION") {
            settings.versionRequested = true;
            settings.consumed[i] = true;
            break;
        } else {
            matched = false;
        }
        if (matched)
            for (size_t k = first; k <= i; ++k) settings.consumed[k] = true;
    }
    return settings;
}

const std::wstring& helpText() {
    static const std::wstring text =
        L"\n"
        L"Parameters: -SCENE (<scene file name>) -PROFILE (<#time steps>) (<#time steps to "
        L"skip>) -CPU (<#threads>) -AFFINITY (<affinity mask>) -HELP\n"
        L"\n";
    return text;
}

int affinityProcessor(int mask) {
    const unsigned bits = static_cast<unsigned>(mask);
    if (bits == 0) return -1;
    int processor = 0;
    while (!(bits & (1u << processor))) ++processor;
    return processor;
}

bool bindThreadToAffinityMask(int mask, std::wostream* log, int workerThreads) {
    const int processor = affinityProcessor(mask);
    if (processor < 0) return true;
    // Worker threads inherit the mask of the thread that creates them: the OpenMP pool is
    // started before the main thread is bound, so that only the main thread is bound.
    if (workerThreads < omp_get_max_threads()) workerThreads = omp_get_max_threads();
    // (An empty region would be optimized away; each thread reports in.)
    std::atomic<int> started{0};
#pragma omp parallel num_threads(workerThreads)
    started.fetch_add(1, std::memory_order_relaxed);
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(processor, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0) return true;
    if (log)
        *log << L"WARNING: Cannot bind the main thread to processor " << processor << std::endl;
    return false;
}

}  // namespace ostrel
