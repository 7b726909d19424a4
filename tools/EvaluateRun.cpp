#include "tools/EvaluateRun.h"

#include <omp.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "core/Console.h"
#include "core/NumberText.h"
#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"
#include "gpu/Driver.h"
#include "optimization/DesignRegions.h"
#include "optimization/ProblemStart.h"
#include "scene/Scene.h"
#include "tools/BatchRun.h"
#include "tools/EngineeringReport.h"

namespace ostrel {

namespace {

EvaluateArguments usageFailure(const std::string& message) {
    EvaluateArguments result;
    result.action = EvaluateArguments::Action::Error;
    result.error = "ERROR: " + message;
    return result;
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string evaluateUsage() {
    return "Usage: ostrel-evaluate --scene SCENE --densities FILE.vti [--threshold auto|T]\n"
           "                       [--tolerance T] [--device host|cuda] [--threads N]\n"
           "                       [--solver vcycle|pcg] [--yield-stress S]\n";
}

std::string evaluateHelp() {
    return evaluateUsage() +
           "Solves SCENE with the element densities of FILE.vti (the \"Density\" cells of a\n"
           "file that ostrel-batch --vtk wrote for this scene) and prints the compliance, the\n"
           "volume and the grey fraction, measured as a run measures its designs; then solves\n"
           "it once more with the scene's ELASTIC_MODULUS and POISSON_RATIO and prints the\n"
           "largest displacement and the von Mises stresses (maximum, 99.9th percentile).\n"
           "\n"
           "  --scene SCENE      the scene the densities were optimized for\n"
           "  --densities FILE   the .vti file; its grid must be the scene's voxel model\n"
           "  --threshold auto   solid (1) for the highest densities, void (0.001) for the\n"
           "                     others, as many solid elements as keep the file's volume\n"
           "  --threshold T      solid where the density is at least T (0 < T <= 1)\n"
           "                     (default: the densities as they are)\n"
           "  --tolerance T      relative residual of the solve (default 1e-5)\n"
           "  --device D         host: the CPU; cuda: an NVIDIA GPU (an error without one);\n"
           "                     default: a GPU when there is one, else the CPU\n"
           "  --threads N        worker threads of the CPU loops and the host solver\n"
           "  --solver S         vcycle (default): multigrid V-cycles; pcg: conjugate\n"
           "                     gradients preconditioned by a V-cycle\n"
           "  --yield-stress S   also print the safety factors S / stress (S > 0, in the\n"
           "                     unit of ELASTIC_MODULUS)\n"
           "  -h, --help         show this help and exit\n"
           "  -V, --version      show the version and exit\n"
           "\n"
           "Results go to standard output, the scene's and solver's console lines and errors\n"
           "to standard error. Exit status: 0 done, 1 the evaluation failed (scene, file, a grid\n"
           "that is not the scene's, no force on a vertex that is not fixed, a singular system,\n"
           "or a solve that missed the tolerance), 2 bad command line.\n";
}

EvaluateArguments parseEvaluateArguments(const std::vector<std::string>& args) {
    EvaluateArguments result;
    EvaluateOptions& o = result.options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name == "-h" || name == "--help") return result.action = EvaluateArguments::Action::Help, result;
        if (name == "-V" || name == "--version")
            return result.action = EvaluateArguments::Action::Version, result;
        if (name.rfind("--", 0) != 0)
            return usageFailure("Unexpected argument '" + name + "': give --scene and --densities");
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name != "--scene" && name != "--densities" && name != "--threshold" &&
            name != "--tolerance" && name != "--device" && name != "--threads" &&
            name != "--solver" && name != "--yield-stress")
            return usageFailure("Unknown option '" + args[i] + "'");
        if (eq == std::string::npos) {
            if (i + 1 == args.size()) return usageFailure("Option '" + name + "' needs a value");
            value = args[++i];
        }
        double number = 0;
        if (name == "--scene") {
            o.sceneFile = value;
        } else if (name == "--densities") {
            o.densityFile = value;
        } else if (name == "--threshold") {
            if (value == "auto") {
                o.evaluation.threshold = EvaluationOptions::Threshold::KeepVolume;
            } else if (readReal(value, number) && number > 0 && number <= 1) {
                o.evaluation.threshold = EvaluationOptions::Threshold::Level;
                o.evaluation.level = number;
            } else {
                return usageFailure("--threshold needs 'auto' or a number above 0 and at most 1, "
                                    "not '" + value + "'");
            }
        } else if (name == "--tolerance") {
            if (!readReal(value, number) || !(number > 0) || !(number < 1))
                return usageFailure("--tolerance needs a number between 0 and 1 (both excluded), "
                                    "not '" + value + "'");
            o.evaluation.tolerance = number;
        } else if (name == "--yield-stress") {
            if (!readReal(value, number) || !(number > 0))
                return usageFailure("--yield-stress needs a positive number, not '" + value + "'");
            o.yieldStress = number;
        } else if (name == "--solver") {
            if (!solveMethodNamed(value, o.solver))
                return usageFailure("--solver must be 'vcycle' or 'pcg', not '" + value + "'");
        } else if (name == "--device") {
            if (value != "host" && value != "cuda")
                return usageFailure("--device must be 'host' or 'cuda', not '" + value + "'");
            o.forceHost = value == "host";
            o.requireCuda = value == "cuda";
        } else {
            long long threads = 0;
            if (value.find_first_not_of("0123456789") != std::string::npos ||
                !readWhole(value, threads) || threads < 1 || threads > 1024)
                return usageFailure("--threads needs a whole number from 1 to 1024, not '" +
                                    value + "'");
            o.threads = int(threads);
        }
    }
    if (o.sceneFile.empty()) return usageFailure("Give the scene: --scene SCENE");
    if (o.densityFile.empty()) return usageFailure("Give the densities: --densities FILE.vti");
    return result;
}

namespace {

/// The evaluation's figures: densities, threshold, compliances, volume, grey, load path, solve.
void printEvaluation(std::ostream& out, const EvaluateOptions& options, size_t n,
                     const DesignEvaluation& result) {
    out << "Densities: " << quotedUtf8(options.densityFile) << " (" << n << " elements";
    if (result.raised > 0)
        out << ", " << result.raised << " raised to the minimum density 0.001";
    out << ")\n";
    const ThresholdResult& t = result.threshold;
    switch (options.evaluation.threshold) {
        case EvaluationOptions::Threshold::None: out << "Threshold: none\n"; break;
        case EvaluationOptions::Threshold::KeepVolume:
            out << "Threshold: auto, level " << formatted("%.6g", t.level)
                << " (keeps the volume): " << t.solid << " solid elements, " << n - t.solid
                << " void at 0.001\n";
            break;
        case EvaluationOptions::Threshold::Level:
            out << "Threshold: " << formatted("%.6g", options.evaluation.level) << ": " << t.solid
                << " solid elements, " << n - t.solid << " void at 0.001\n";
            break;
    }
    out << "Compliance: " << formatted("%.9g", result.compliance)
        << (result.caseCompliances.empty() ? "" : " (the weighted sum of the load cases')")
        << "\n";
    for (size_t c = 0; c < result.caseCompliances.size(); ++c)
        out << "Compliance of load case " << c + 1 << ": "
            << formatted("%.9g", result.caseCompliances[c]) << "\n";
    out << "Volume fraction: " << formatted("%.6f", result.volumeFraction) << " (volume "
        << formatted("%.6g", result.volume) << ")\n";
    out << "Grey fraction: " << formatted("%.4f", result.greyFraction)
        << " (designable elements with 0.1 < density < 0.9)\n";
    out << "Load path: ";
    if (result.unsupported == 0)
        out << "every loaded vertex is joined to a fixed one by solid elements sharing faces "
               "(density >= 0.5)\n";
    else
        out << result.unsupported << " of " << result.loadedVertices
            << " loaded vertices are joined to no fixed vertex by solid elements sharing faces "
               "(density >= 0.5; an edge or a corner is a hinge)\n";
    out << "Solve: " << result.cycles << " multigrid cycles, relative residual "
        << formatted("%.3g", result.residual) << "\n"
        << std::flush;
}

}  // namespace

int runEvaluate(const EvaluateOptions& options, std::ostream& out, std::ostream& err) {
    // The file first: a wrong name should not wait for the voxelization of the scene.
    VtkImage image;
    std::string error;
    if (!readVtkImage(options.densityFile, image, error)) {
        err << "ERROR: " << error << "\n";
        return 1;
    }

    StartOptions start;
    start.report = false;
    DeviceOptions& device = start.problem.device;
    device.forceHost = options.forceHost;
    device.hostThreads = options.threads;
    if (options.requireCuda && openDriver(device)->isHost()) {
        err << "ERROR: No CUDA device available\n";
        return 1;
    }
    if (options.threads > 0) omp_set_num_threads(options.threads);

    start.problem.solver = options.solver;
    StartedProblem started = startProblem(options.sceneFile, start);
    if (started.status == StartStatus::NoDevice) return kExitNoDevice;
    if (started.status != StartStatus::Started) {
        err << started.error << "\n";
        return 1;
    }
    const Scene& scene = *started.scene;
    Problem& problem = *started.problem;
    // Without a load every design has compliance 0: no figure would mean anything.
    const std::wstring noLoad = loadError(problem.model(), &problem.moreLoads());
    if (!noLoad.empty()) {
        wideOut() << std::flush;
        err << toUtf8(noLoad) << "\n";
        return 1;
    }

    std::vector<float> rho;
    // A file written with --original-coordinates has its spacing in the mesh's units.
    if (!elementDensities(image, problem.model(), rho, error, inverse(scene.meshToModel_))) {
        wideOut() << std::flush;
        err << "ERROR: File " << quotedUtf8(options.densityFile) << " does not fit scene "
            << quotedUtf8(options.sceneFile) << ": " << error << "\n";
        return 1;
    }
    DesignEvaluation result;
    const bool ok = evaluateDesign(problem, rho, options.evaluation, result, error);
    wideOut() << std::flush;
    if (!ok) {
        err << "ERROR: Cannot evaluate " << quotedUtf8(options.densityFile) << ": " << error
            << "\n";
        return 1;
    }

    printEvaluation(out, options, rho.size(), result);
    if (!result.converged) {
        err << "ERROR: The solve did not reach the relative residual "
            << formatted("%g", options.evaluation.tolerance) << " in " << result.cycles
            << " cycles; the compliance is not reliable"
            << (result.unsupported > 0 ? " (the loads are carried by near-void material only)"
                                       : "")
            << "\n";
        return 1;
    }
    // The figures in the scene's material, from the densities just solved.
    EngineeringOptions engineering;
    engineering.yieldStress = options.yieldStress;
    engineering.tolerance = options.evaluation.tolerance;
    const DesignReport report = reportDesign(problem, scene, result.density, result.penalty,
                                             engineering, err);
    wideOut() << std::flush;
    out << report.text << std::flush;
    if (!report.ok) return 1;
    return 0;
}

}  // namespace ostrel
