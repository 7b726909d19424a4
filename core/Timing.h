#pragma once
// Wall-clock durations in seconds, on the steady clock, for the timing lines of the programs.

#include <chrono>

namespace ostrel {

inline double secondsBetween(std::chrono::steady_clock::time_point start,
                             std::chrono::steady_clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return secondsBetween(start, std::chrono::steady_clock::now());
}

}  // namespace ostrel
