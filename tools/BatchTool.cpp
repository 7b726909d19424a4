// ostrel-batch: the optimization without a window. See tools/BatchRun.h for the command line.
//
// With --quiet the system's console lines are filtered: only lines that begin with "ERROR: " or
// "WARNING: " reach standard output, between the progress lines. The filter sits under
// std::cout before anything is printed, so the console's wide stream writes through it too.
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
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "core/MemoryLimit.h"
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

/// Passes whole lines that begin with "ERROR: " or "WARNING: " to `target`, drops the others.
class MessageLineFilter : public std::streambuf {
public:
    explicit MessageLineFilter(std::streambuf* target) : target_(target) {}
    /// Emits a last line that has no line end.
    void finish() {
        if (!line_.empty()) emit(true);
        target_->pubsync();
    }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        line_ += traits_type::to_char_type(ch);
        if (line_.back() == '\n') emit(false);
        return ch;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
        return n;
    }
    int sync() override { return target_->pubsync(); }

private:
    void emit(bool addLineEnd) {
        if (line_.rfind("ERROR: ", 0) == 0 || line_.rfind("WARNING: ", 0) == 0) {
            if (addLineEnd) line_ += '\n';
            target_->sputn(line_.data(), std::streamsize(line_.size()));
        }
        line_.clear();
    }
    std::streambuf* target_;
    std::string line_;
};

/// The filter of --quiet, if any. Errors that end the process at once (the model builder's)
/// are written without a line end; the exit handler passes such a last line on.
MessageLineFilter* g_filter = nullptr;
extern "C" void finishFilterAtExit() {
    if (g_filter) g_filter->finish();
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

    // The progress lines keep the real standard output; the console writes through the filter.
    // Both live to the end of the process, as the console's own streams do.
    static std::streambuf* const stdoutBuffer = std::cout.rdbuf();
    static std::ostream* const progress = new std::ostream(stdoutBuffer);
    static MessageLineFilter* const filter =
        parsed.options.quiet ? new MessageLineFilter(stdoutBuffer) : nullptr;
    if (filter) {
        std::cout.rdbuf(filter);
        g_filter = filter;
        std::atexit(finishFilterAtExit);
    }
    setSignalAction(onSignal);
    exitOnFailedAllocation();
    const int code = runBatch(parsed.options, *progress, std::cerr, stopRequests);
    std::cout.flush();
    if (filter) filter->finish();
    progress->flush();
    return code;
}
