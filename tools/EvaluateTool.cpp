// ostrel-evaluate: solves a scene with a given density field. See tools/EvaluateRun.h.
//
// The results own standard output; everything the scene loader and the solver write to the
// console goes to standard error (std::cout is pointed at standard error's buffer before
// anything is printed).

#include <iostream>
#include <string>
#include <vector>

#include "app/ProgramEnd.h"
#include "core/MemoryLimit.h"
#include "core/Version.h"
#include "tools/EvaluateRun.h"

int main(int argc, char** argv) {
    using namespace ostrel;
    const EvaluateArguments parsed =
        parseEvaluateArguments(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.action) {
        case EvaluateArguments::Action::Help: std::cout << evaluateHelp(); return 0;
        case EvaluateArguments::Action::Version:
            std::cout << versionLine("ostrel-evaluate");
            return 0;
        case EvaluateArguments::Action::Error:
            std::cerr << parsed.error << "\n"
                      << evaluateUsage() << "Try 'ostrel-evaluate --help' for more information.\n";
            return 2;
        case EvaluateArguments::Action::Run: break;
    }
    exitOnFailedAllocation();
    std::ostream results(std::cout.rdbuf());
    std::cout.rdbuf(std::cerr.rdbuf());
    const int code = runProgram([&] { return runEvaluate(parsed.options, results, std::cerr); });
    std::cout.flush();
    results.flush();
    return code;
}
