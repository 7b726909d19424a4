#pragma once
// ostrel-evaluate: solves a scene with the element densities of a .vti file that ostrel-batch
// --vtk wrote and prints what the design does.
//
// ostrel-evaluate --scene SCENE --densities FILE.vti [--threshold auto|T] [--tolerance T]
//                 [--device host|cuda] [--threads N] [--solver vcycle|pcg] [--yield-stress S]
//
// --threshold auto: solid (1) for the highest densities, void (the minimum density 0.001) for
// the others, as many solid elements as keep the file's volume; --threshold T: solid where the
// density is at least T (0 < T <= 1). Without it the densities are solved as they are.
//
// Standard output: the results, one "Name: value" line each (densities, threshold, compliance,
// volume, grey fraction, load path, solve), then after a converged solve the design's figures in
// the scene's material (tools/EngineeringReport.h; with --yield-stress S > 0 also the safety
// factors). The scene loader's and solver's console lines go to standard error, as do errors
// ("ERROR: " lines).
//
// Exit codes: 0 done, 1 the evaluation failed (scene, file, a grid that is not the scene's, a
// singular system, a solve that missed the tolerance: the results are printed, but the
// compliance is not to be trusted), 2 bad command line.

#include <iosfwd>
#include <string>
#include <vector>

#include "gpu/MultigridSolver.h"
#include "tools/DesignEvaluation.h"

namespace ostrel {

struct EvaluateOptions {
    std::string sceneFile;
    std::string densityFile;
    EvaluationOptions evaluation;
    bool forceHost = false;
    bool requireCuda = false;
    int threads = 0;  ///< 0 = OpenMP's default
    SolveMethod solver = SolveMethod::VCycles;
    double yieldStress = 0;  ///< --yield-stress; 0 = none
};

struct EvaluateArguments {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    EvaluateOptions options;
    std::string error;  ///< for Action::Error: one "ERROR: " line without the line end
};

/// Parses the arguments after the program name: "--name value" or "--name=value", -h, -V.
EvaluateArguments parseEvaluateArguments(const std::vector<std::string>& args);

std::string evaluateUsage();
std::string evaluateHelp();

/// Performs the evaluation: results to `out`, errors to `err`. Returns the exit code.
int runEvaluate(const EvaluateOptions& options, std::ostream& out, std::ostream& err);

}  // namespace ostrel
