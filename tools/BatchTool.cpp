// ostrel-batch: the optimization without a window. See tools/BatchRun.h for the command line.
//
// Streams: the system's console lines on standard output (none with --quiet), then the
// summary; the progress line of every step, the console's "ERROR: " and "WARNING: " lines and
// the run's own errors on standard error. The console is routed before anything is printed,
// so its wide stream writes through the router too.
//
// SIGINT and SIGTERM are stop requests, counted, and what they do depends on the phase of the
// run (BatchPhase). During the steps the first lets the run finish the step in progress (and
// says so on standard error), the second stops it within one multigrid cycle, a third ends the
// process by the signal whatever it is doing. Before the steps (loading, voxelizing) and during
// the final files the first lets that phase finish and the second ends the process at once with
// status 130: nothing there polls the count, and a call that waits (a slow open) must not keep
// it going. A file cut short there stays under its temporary name; the next run into the folder
// removes it. The coarse solver's graph partitioner installs handlers of its own while it orders
// and then restores ours with other flags (reset after one signal, no restarted system calls),
// so the run puts ours back every time it asks for the count. SIGXFSZ is ignored, so that a
// file-size limit fails the write with its reason instead of ending the process.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "core/MemoryLimit.h"
#include "tools/BatchRun.h"

namespace {

std::atomic<int> g_stopRequests{0};
std::atomic<int> g_phase{int(ostrel::BatchPhase::Setup)};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onSignal(int number);

void setSignalAction(void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;  // interrupted writes to the console resume
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

template <size_t N>
void say(const char (&line)[N]) {
    [[maybe_unused]] const ssize_t n = ::write(2, line, N - 1);
}

// Only async-signal-safe calls: atomic loads and adds, write, sigaction, raise and _exit.
extern "C" void onSignal(int number) {
    const int requests = g_stopRequests.fetch_add(1) + 1;
    const auto phase = ostrel::BatchPhase(g_phase.load());
    if (requests == 1) {
        if (phase == ostrel::BatchPhase::Setup)
            say("stopping before the first step; press Ctrl-C again to stop now\n");
        else if (phase == ostrel::BatchPhase::FinalFiles)
            say("finishing the final files; press Ctrl-C again to stop now\n");
        else
            say("stopping after this step; press Ctrl-C again to stop now\n");
        setSignalAction(onSignal);
    } else if (phase == ostrel::BatchPhase::Setup) {
        say("Stopped at once before the first step; nothing written\n");
        ::_exit(ostrel::kExitInterrupted);
    } else if (phase == ostrel::BatchPhase::FinalFiles) {
        say("Stopped at once while the final files were written; the files under their final "
            "names are complete\n");
        ::_exit(ostrel::kExitInterrupted);
    } else {
        setSignalAction(SIG_DFL);
        if (requests >= 3) std::raise(number);
    }
}

/// The stop requests so far; puts the handler back while it still counts.
int stopRequests() {
    const int requests = g_stopRequests.load();
    if (requests < 2) setSignalAction(onSignal);
    return requests;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ostrel;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const BatchArguments parsed = parseBatchArguments(args);
    switch (parsed.action) {
        case BatchArguments::Action::Help: std::cout << batchHelp(); return kExitDone;
        case BatchArguments::Action::Version: std::cout << batchVersion(); return kExitDone;
        case BatchArguments::Action::Error:
            std::cerr << parsed.error << "\n"
                      << batchUsage() << "Try 'ostrel-batch --help' for more information.\n";
            return kExitUsage;
        case BatchArguments::Action::Run: break;
    }

    // The summary goes to the real standard output, past the router of the console lines.
    static std::ostream* const results = new std::ostream(routeConsoleByKind(parsed.options.quiet));
    setSignalAction(onSignal);
    std::signal(SIGXFSZ, SIG_IGN);
    exitOnFailedAllocation();
    const int code = runProgram([&] {
        return runBatch(parsed.options, *results, std::cerr, stopRequests,
                        [](BatchPhase phase) { g_phase.store(int(phase)); });
    });
    std::cout.flush();
    results->flush();
    return code;
}
