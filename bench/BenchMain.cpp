#include "bench/BenchMain.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <string>

#include "core/Version.h"

namespace ostrel {

int benchmarkMain(int argc, char** argv, const std::function<bool()>& prepare) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            const std::string path = argv[0];
            std::cout << versionLine(path.substr(path.find_last_of('/') + 1));
            return 0;
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (prepare && !prepare()) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace ostrel
