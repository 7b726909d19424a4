// ostrel-batch: the optimization without a window. See tools/BatchRun.h for the command line.
//
// Streams: the system's console lines on standard output (none with --quiet), then the
// summary; the progress line of every step, the console's "ERROR: " and "WARNING: " lines and
// the run's own errors on standard error. The console is routed before anything is printed,
// so its wide stream writes through the router too.
//
// SIGINT and SIGTERM set a flag that the run polls between steps; a second signal ends the
// process at once (the handler is reset after the first).

#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "tools/BatchRun.h"

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onSignal(int) { g_interrupted.store(true); }

void installSignalHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    // A second Ctrl-C ends the process; interrupted writes to the console resume.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
    installSignalHandlers();
    const int code = runBatch(parsed.options, *results, std::cerr, &g_interrupted);
    std::cout.flush();
    results->flush();
    return code;
}
