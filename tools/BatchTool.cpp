// ostrel-batch: the optimization without a window. See tools/BatchRun.h for the command line.
//
// Streams: the system's console lines on standard output (none with --quiet), then the
// summary; the progress line of every step, the console's "ERROR: " and "WARNING: " lines and
// the run's own errors on standard error. The console is routed before anything is printed,
// so its wide stream writes through the router too.
//
// SIGINT and SIGTERM are stop requests, counted: the first lets the run finish the step in
// progress (and says so on standard error), the second stops it within one multigrid cycle, a
// third ends the process by the signal whatever it is doing. The coarse solver's graph
// partitioner installs handlers of its own while it orders and then restores ours with other
// flags (reset after one signal, no restarted system calls), so the run puts ours back every
// time it asks for the count.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "core/MemoryLimit.h"
#include "fem/FemModel.h"
#include "tools/BatchRun.h"

namespace {

std::atomic<int> g_stopRequests{0};
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

// Only async-signal-safe calls: an atomic add, write, sigaction and raise.
extern "C" void onSignal(int number) {
    const int requests = g_stopRequests.fetch_add(1) + 1;
    if (requests == 1) {
        static const char kLine[] = "stopping after this step; press Ctrl-C again to stop now\n";
        [[maybe_unused]] const ssize_t n = ::write(2, kLine, sizeof kLine - 1);
        setSignalAction(onSignal);
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
    exitOnFailedAllocation();
    setModelRefusalExitStatus(1);
    const int code = runBatch(parsed.options, *results, std::cerr, stopRequests);
    std::cout.flush();
    results->flush();
    return code;
}
