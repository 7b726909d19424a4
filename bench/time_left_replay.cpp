// Replays a run's step times through ostrel-batch's time-left estimate.
//
//   time_left_replay < steps.txt
//
// steps.txt holds one line per step: its seconds and its multigrid cycle count. For every step
// k from 10 on, the estimate after k steps is compared with the sum of the remaining steps'
// times; prints the smallest and largest ratio estimate / actual and a few samples. Feed it the
// CPU seconds of a one-thread run to judge the estimate without the noise of a shared machine.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/Version.h"
#include "tools/BatchRun.h"

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::printf("Usage: time_left_replay < STEPS.txt\n"
                    "Replays a run's step times (one line per step: seconds and multigrid\n"
                    "cycles) through ostrel-batch's time-left estimate and prints how far the\n"
                    "estimate after each step is from the real remaining time. Exit status: 0\n"
                    "every ratio within 1/1.5 to 1.5, 1 not, 2 bad input.\n");
        return 0;
    }
    if (argc == 2 && (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V"))) {
        std::fputs(ostrel::versionLine("time_left_replay").c_str(), stdout);
        return 0;
    }
    if (argc != 1) {
        std::fprintf(stderr, "ERROR: time_left_replay reads the steps from standard input\n"
                             "Usage: time_left_replay < STEPS.txt\n");
        return 2;
    }
    std::vector<double> seconds;
    std::vector<int> cycles;
    double s = 0;
    int c = 0;
    while (std::scanf("%lf %d", &s, &c) == 2) {
        seconds.push_back(s);
        cycles.push_back(c);
    }
    const int n = int(seconds.size());
    if (n < 11) {
        std::fprintf(stderr, "ERROR: give at least 11 steps (seconds and cycles per line)\n");
        return 2;
    }
    ostrel::TimeLeftEstimator estimator;
    double low = 1e300, high = 0;
    for (int k = 1; k < n; ++k) {
        estimator.addStep(seconds[size_t(k - 1)], cycles[size_t(k - 1)]);
        double actual = 0;
        for (int j = k; j < n; ++j) actual += seconds[size_t(j)];
        const double ratio = estimator.secondsLeft(n - k) / actual;
        if (k < 10) continue;
        low = std::min(low, ratio);
        high = std::max(high, ratio);
        if (k == 10 || k % 50 == 0) std::printf("k=%d: %.2f  ", k, ratio);
    }
    std::printf("\n%d steps; estimate / actual from k = 10: min %.2f, max %.2f\n", n, low, high);
    return low >= 1 / 1.5 && high <= 1.5 ? 0 : 1;
}
