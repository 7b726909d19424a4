// Replays a run's step times through ostrel-batch's time-left estimate.
//
//   time_left_replay [--from K] [--keep N] < steps.txt
//
// steps.txt holds one line per step: its seconds and its multigrid cycle count (further columns
// are passed over). The live estimate measures the time of each step's cycles; here it is the
// step's share of a least-squares fit over the whole run (seconds = fixed + perCycle * cycles).
// For every step k from K (default 3) on, while at least N (default 5) steps are left, the
// estimate after k steps is compared with the sum of the remaining steps' times; prints the
// smallest and largest ratio estimate / actual and a few samples. Feed it the CPU seconds of a
// one-thread run (bench/time-left-check --record) to judge the estimate without the noise of a
// shared machine.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Version.h"
#include "tools/BatchRun.h"

namespace {

constexpr const char* kUsage = "Usage: time_left_replay [--from K] [--keep N] < STEPS.txt\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "ERROR: %s\n%sTry 'time_left_replay --help'\n", message.c_str(), kUsage);
    return 2;
}

bool parseCount(const char* text, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 1000000)
        return false;
    value = int(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int from = 3, keep = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(
                "%s"
                "Replays a run's step times (one line per step: seconds and multigrid\n"
                "cycles, further columns passed over) through ostrel-batch's time-left\n"
                "estimate and prints how far the estimate after each step k is from the\n"
                "real remaining time, from k = K (default 3) on while at least N steps\n"
                "(default 5) are left. Exit status: 0 every ratio within 1/1.5 to 1.5,\n"
                "1 not, 2 bad input.\n",
                kUsage);
            return 0;
        }
        if (arg == "--version" || arg == "-V") {
            std::fputs(ostrel::versionLine("time_left_replay").c_str(), stdout);
            return 0;
        }
        if ((arg == "--from" || arg == "--keep") && i + 1 < argc) {
            if (!parseCount(argv[++i], arg == "--from" ? from : keep))
                return usageError(arg + " takes a count, not '" + argv[i] + "'");
            continue;
        }
        return usageError("unknown argument '" + arg + "'");
    }
    from = std::max(from, 1);

    std::vector<double> seconds;
    std::vector<int> cycles;
    std::string line;
    for (int number = 1; std::getline(std::cin, line); ++number) {
        std::istringstream fields(line);
        double s = 0;
        int c = 0;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (!(fields >> s >> c) || s < 0 || c < 0) {
            std::fprintf(stderr, "ERROR: line %d: expected seconds and cycles, not '%s'\n", number,
                         line.c_str());
            return 2;
        }
        seconds.push_back(s);
        cycles.push_back(c);
    }
    const int n = int(seconds.size());
    if (n < from + keep + 1) {
        std::fprintf(stderr, "ERROR: give at least %d steps (seconds and cycles per line)\n",
                     from + keep + 1);
        return 2;
    }
    // The cost of a cycle over the whole run.
    double meanCycles = 0, meanSeconds = 0;
    for (int k = 0; k < n; ++k) {
        meanCycles += cycles[size_t(k)] / double(n);
        meanSeconds += seconds[size_t(k)] / double(n);
    }
    double sxx = 0, sxy = 0;
    for (int k = 0; k < n; ++k) {
        sxx += (cycles[size_t(k)] - meanCycles) * (cycles[size_t(k)] - meanCycles);
        sxy += (cycles[size_t(k)] - meanCycles) * (seconds[size_t(k)] - meanSeconds);
    }
    const double perCycle = sxx > 0 && sxy > 0 ? sxy / sxx : 0.0;

    ostrel::TimeLeftEstimator estimator;
    double low = 1e300, high = 0;
    std::string samples;
    const int last = std::min(n - keep, n - 1);  // the last k with `keep` steps (and one) left
    const int every = std::max(1, (last - from) / 10);
    for (int k = 1; k <= last; ++k) {
        const size_t i = size_t(k - 1);
        estimator.addStep(seconds[i], cycles[i], std::min(seconds[i], perCycle * cycles[i]));
        if (k < from)
            continue;
        double actual = 0;
        for (int j = k; j < n; ++j)
            actual += seconds[size_t(j)];
        if (actual <= 0)
            continue;
        const double ratio = estimator.secondsLeft(n - k) / actual;
        low = std::min(low, ratio);
        high = std::max(high, ratio);
        if ((k - from) % every == 0) {
            char text[32];
            std::snprintf(text, sizeof text, "k=%d: %.2f  ", k, ratio);
            samples += text;
        }
    }
    std::printf("%s\n%d steps, %.4g s per cycle; estimate / actual from k = %d: min %.2f, "
                "max %.2f\n",
                samples.c_str(), n, perCycle, from, low, high);
    return low >= 1 / 1.5 && high <= 1.5 ? 0 : 1;
}
