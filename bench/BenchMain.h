#pragma once
// The main of every benchmark program.

#include <functional>

namespace ostrel {

/// --version prints "<program> <version>" and returns 0; otherwise Google Benchmark reads its
/// flags (--help prints its help and ends the process with 0), an unknown flag returns 1, then
/// `prepare` runs (null: nothing; false: return 1) and the benchmarks run.
int benchmarkMain(int argc, char** argv, const std::function<bool()>& prepare = {});

}  // namespace ostrel
