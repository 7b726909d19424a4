// ostrel-solve: builds the standard cantilever, sets the solver up on the chosen device,
// computes the load, prepares and solves to the tolerance, then prints the compliance, the
// cycle count, the times of set-up, prepareSolve and solve, and the split of prepareSolve and
// solve into uploads, assembly, factorization, cycles (with the coarse solves) and copies.
// --profile then runs the first design iteration of an optimization on the same model (the
// optimizer on the solver's device, from its reset, as the programs' first step: its own solve)
// and prints its split in the format of core/IterationSplit.h: the solver's parts, then the
// optimizer's (energies, sensitivities, multiplier search, update, shape, files; its history
// and shape files go to a temporary folder, removed at the end), kernel and host times apart
// where the device measures them. --largest takes the largest
// cantilever whose estimates fit the device's and the host's memory (tools/CantileverFit.h)
// and, with --max-elements, has at most that many elements.
//
// ostrel-solve --size NX NY NZ --levels L | --largest [--memory-limit MB] [--max-elements N]
//              --voxel S --tolerance T [--device host|cuda] [--threads N] [--profile]
//              [--solver vcycle|pcg]
// mpirun -n N ostrel-solve --engine petsc --size NX NY NZ --levels L --voxel S --tolerance T
//              [-- PETSc options]
// --engine petsc solves the same cantilever on the many-process engine (optimization/petsc/),
// every rank with the whole model; rank 0 prints the compliance, the Krylov iterations, the
// relative residual, the times and the memory. An error on any rank ends every rank. The
// engine lives in ostrel-solve-petsc, this source built with PETSc (OSTREL_HAVE_PETSC=1), to
// which ostrel-solve hands --engine petsc (exec): ostrel-solve itself links neither PETSc nor
// MPI, so it runs (and is bundled) where they are absent.
//
// Exit status: 0 the solve reached the tolerance, 1 it did not (or no CUDA device was found
// for --device cuda), 2 bad command line.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <filesystem>
#include <memory>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "core/ExecutablePath.h"
#include "core/NumberText.h"
#include "core/IterationSplit.h"
#include "core/MemoryLimit.h"
#include "core/Timing.h"
#include "core/Version.h"
#include "fem/FemModel.h"
#include "fem/CoarseSolver.h"
#include "tools/Cantilever.h"
#include "tools/CantileverFit.h"
#include "tools/InputChecks.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/KernelTimer.h"
#include "optimization/IterationProfile.h"
#include "optimization/KernelSteps.h"
#include "optimization/Optimizer.h"
#include "optimization/ProblemStart.h"
#if OSTREL_HAVE_PETSC
#include "optimization/petsc/ElasticSolve.h"
#include "optimization/petsc/LayerSplit.h"
#include "optimization/petsc/PetscSession.h"
#endif

namespace {

const char* kUsage =
    "Usage: ostrel-solve --size NX NY NZ --voxel S --levels L --tolerance T "
    "[--device host|cuda] [--threads N] [--profile]\n"
    "                    [--solver vcycle|pcg]\n"
    "       ostrel-solve --largest [--memory-limit MB] [--max-elements N] --voxel S --tolerance T\n"
    "                    [options]\n"
    "       ostrel-solve --scene FILE --tolerance T [--device host|cuda] [--threads N]\n"
    "       mpirun -n N ostrel-solve --engine petsc --size NX NY NZ --voxel S --levels L\n"
    "                    --tolerance T [-- PETSc options]\n"
    "       mpirun -n N ostrel-solve --engine petsc --scene FILE --tolerance T [-- PETSc options]\n";

const char* kHelp =
    "Builds the standard cantilever of NX x NY x NZ voxels of edge S (clamped at x = 0, pulled\n"
    "down along the lower edge of the free end) with L multigrid levels, solves it once to the\n"
    "relative residual T and prints the solver's lines, the compliance, the cycle count and\n"
    "the times of set-up, prepareSolve and solve.\n"
    "\n"
    "  --largest       instead of --size and --levels: the largest cantilever of 20t x 7t x 7t\n"
    "                  voxels whose memory estimate fits the device (and the host), with the\n"
    "                  fewest levels whose coarsest one has at most 2000 elements\n"
    "  --memory-limit MB  with --largest: use at most MB megabytes of each memory\n"
    "  --max-elements N   with --largest: and at most N elements (a cap by time)\n"
    "  --device D      host: the CPU; cuda: an NVIDIA GPU (an error without one);\n"
    "                  default: a GPU when there is one, else the CPU\n"
    "  --threads N     worker threads of the host device\n"
    "  --solver S      vcycle (default): multigrid V-cycles; pcg: conjugate gradients\n"
    "                  preconditioned by a V-cycle\n"
    "  --scene FILE    instead of the cantilever: the scene's problem (its voxel model,\n"
    "                  levels, supports and first load case) with uniform stiffness\n"
    "  --engine E      single (default): this process alone; petsc: the many-process engine\n"
    "                  on PETSc and MPI (start it with mpirun; with --size, --voxel, --levels\n"
    "                  or --scene, and --tolerance only); it prints the compliance, the Krylov\n"
    "                  iterations, the relative residual, the times and the memory from rank 0.\n"
    "                  Options after \"--\" (and PETSC_OPTIONS) go to PETSc and override the\n"
    "                  engine's defaults, e.g. -- -ksp_monitor -mg_levels_ksp_max_it 3\n"
    "  --profile       then run the first design iteration of an optimization and print its\n"
    "                  split (\"Split of one design iteration: ...\", one \"  <part>  <ms> ms\"\n"
    "                  line each: the solver's parts, then the optimizer's)\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "Exit status: 0 the solve reached the tolerance, 1 it did not (or no CUDA device was\n"
    "found for --device cuda), 2 bad command line.\n";

int usageError(const std::string& message) {
    std::cerr << "ERROR: " << message << "\n"
              << kUsage << "Try 'ostrel-solve --help' for more information.\n";
    return 2;
}

// Whole-text numbers (core/NumberText.h) in the tool's ranges.
bool parseInt(const char* s, int& out) {
    long long v = 0;
    if (!ostrel::readWhole(s, v) || v < 1 || v > 1 << 20) return false;
    out = int(v);
    return true;
}
bool parseCount(const char* s, long long& out) {
    long long v = 0;
    if (!ostrel::readWhole(s, v) || v < 1 || v > (1LL << 40)) return false;
    out = v;
    return true;
}
bool parseDouble(const char* s, double& out) {
    double v = 0;
    if (!ostrel::readReal(s, v) || !(v > 0) || v > 1e300) return false;
    out = v;
    return true;
}

// The largest cantilever whose estimates fit the memory of the device (its total less a tenth
// and 512 MiB for the context and the module) and of the host (what the process may use: the
// smallest of its memory limits, see core/MemoryLimit.h), or `limitMb` where that is smaller. Prints the choice; false with an error line when none fits.
bool chooseLargest(ostrel::Driver& driver, int limitMb, long long maxElements, int size[3],
                   int& levels) {
    const double mb = 1024.0 * 1024.0;
    double host = ostrel::processMemoryLimit(int(std::thread::hardware_concurrency()),
                                             ostrel::CoarseSolver::laterMappedBytes())
                      .bytes,
           device = host;
    if (!driver.isHost()) {
        ostrel::CUdevice dev = 0;
        size_t total = 0;
        int code = driver.init(0);
        if (code == 0) code = driver.deviceGet(&dev, 0);
        if (code == 0) code = driver.deviceTotalMem(&total, dev);
        if (code != 0) {
            std::cerr << "ERROR: Cannot read the CUDA device's memory (CUDA error " << code << ")\n";
            return false;
        }
        device = 0.9 * double(total) - 512 * mb;
    }
    if (limitMb > 0) {
        host = std::min(host, limitMb * mb);
        device = std::min(device, limitMb * mb);
    }
    const auto fit = ostrel::largestCantilever(device, host, driver.isHost(), maxElements);
    if (!fit) {
        if (maxElements > 0 && maxElements < 980)
            std::cerr << "ERROR: Not even the cantilever of 20 x 7 x 7 voxels (980 elements) has at "
                         "most "
                      << maxElements << " elements\n";
        else
            std::cerr << "ERROR: Not even the cantilever of 20 x 7 x 7 voxels fits in "
                      << std::llround(std::floor(std::min(host, device) / mb)) << " MB\n";
        return false;
    }
    size[0] = fit->nx, size[1] = fit->ny, size[2] = fit->nz;
    levels = fit->levels;
    const char* bound = fit->bound == ostrel::FitBound::Host         ? "the host's memory"
                        : fit->bound == ostrel::FitBound::Device     ? "the device's memory"
                        : fit->bound == ostrel::FitBound::ElementCap ? "the element cap"
                                                                     : "the model's index limits";
    std::ostream& out = ostrel::narrowOut();
    out << "Largest cantilever that fits: " << fit->nx << " x " << fit->ny << " x " << fit->nz
        << " voxels, " << (long long)fit->nx * fit->ny * fit->nz << " elements, " << levels
        << " levels (";
    if (!driver.isHost())
        out << "device estimate " << std::llround(fit->deviceBytes / mb) << " MB of "
            << std::llround(device / mb) << " MB, ";
    out << "host estimate " << std::llround(fit->hostBytes / mb) << " MB of "
        << std::llround(host / mb) << " MB; " << bound << " limits it)" << std::endl;
    return true;
}

// The first design iteration of an optimization, for --profile: the optimizer at its reset with
// its device optimizer and the kernel timer on the solver, its files in a temporary folder that
// goes with it.
struct DesignIteration {
    ostrel::MultigridSolver& solver;
    std::filesystem::path folder;
    ostrel::OptimizationLifetime lifetime;
    ostrel::KernelTimer timer;
    ostrel::DeviceOptimizer device;
    ostrel::KernelSteps steps;
    ostrel::Optimizer optimizer;
    ostrel::IterationProfile profile;

    DesignIteration(ostrel::FemModel& model, ostrel::MultigridSolver& fem)
        : solver(fem),
          folder(makeFolder()),
          timer(fem.driver()),
          device(fem),
          steps(device),
          optimizer(model, lifetime, folder),
          profile(fem, optimizer, &timer) {
        optimizer.setLogs(nullptr, nullptr);
        fem.setCycleCountSink(&optimizer.history().cycleSink());
        fem.setKernelTimer(&timer);
        optimizer.attachSteps(&steps);
        optimizer.reset();
        optimizer.updateStiffness();
    }
    ~DesignIteration() {
        solver.setKernelTimer(nullptr);
        solver.setCycleCountSink(nullptr);
        device.release();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    static std::filesystem::path makeFolder() {
        const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                             ("ostrel-solve-profile-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        return folder;
    }
};

/// The command line of ostrel-solve, as read.
struct SolveCommand {
    int size[3] = {0, 0, 0}, levels = 0;
    double voxel = 0, tolerance = 0;
    ostrel::DeviceOptions options;
    bool wantCuda = false;
    bool haveSize = false, haveVoxel = false, haveLevels = false, haveTol = false;
    bool profile = false, largest = false;
    ostrel::SolveMethod method = ostrel::SolveMethod::VCycles;
    int memoryLimitMb = 0;
    long long maxElements = 0;
    std::string sceneFile;    ///< --scene FILE: its problem instead of the cantilever
    bool petsc = false;       ///< --engine petsc
    bool haveDevice = false;  ///< --device or --threads given
    std::vector<std::string> petscArguments;  ///< the words after "--"
};

/// A value missing at the end of the command line: the usage error's text.
struct MissingValue {
    std::string message;
};

/// Reads the arguments into `c`; -1 to go on, else the exit status: 0 after the help or the
/// version, 2 after the message of an unknown argument or a bad value.
int readSolveArguments(int argc, char** argv, SolveCommand& c) try {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage << kHelp;
            return 0;
        }
        if (a == "-V" || a == "--version") {
            std::cout << ostrel::versionLine(OSTREL_SOLVE_NAME);
            return 0;
        }
        auto need = [&](int n) {
            if (i + n >= argc) throw MissingValue{a + " needs " + std::to_string(n) + " value(s)"};
        };
        bool ok = true;
        if (a == "--") {
            // The rest is PETSc's (checked against the engine by checkSolveCommand).
            c.petscArguments.assign(argv + i + 1, argv + argc);
            if (c.petscArguments.empty()) c.petscArguments.push_back("");
            break;
        } else if (a == "--engine") {
            need(1);
            std::string e = argv[++i];
            if (e == "petsc") c.petsc = true;
            else if (e == "single") c.petsc = false;
            else ok = false;
        } else if (a == "--scene") {
            need(1);
            c.sceneFile = argv[++i];
            ok = !c.sceneFile.empty();
        } else if (a == "--size") {
            need(3);
            for (int k = 0; k < 3; ++k) ok = ok && parseInt(argv[++i], c.size[k]);
            c.haveSize = true;
        } else if (a == "--voxel") {
            need(1);
            ok = parseDouble(argv[++i], c.voxel);
            c.haveVoxel = true;
        } else if (a == "--levels") {
            need(1);
            ok = parseInt(argv[++i], c.levels) && c.levels >= 3 && c.levels <= 16;
            c.haveLevels = true;
        } else if (a == "--tolerance") {
            need(1);
            ok = parseDouble(argv[++i], c.tolerance);
            c.haveTol = true;
        } else if (a == "--device") {
            need(1);
            std::string d = argv[++i];
            c.haveDevice = true;
            if (d == "host") c.options.forceHost = true;
            else if (d == "cuda") c.wantCuda = true;
            else ok = false;
        } else if (a == "--largest") {
            c.largest = true;
        } else if (a == "--memory-limit") {
            need(1);
            ok = parseInt(argv[++i], c.memoryLimitMb);
        } else if (a == "--max-elements") {
            need(1);
            ok = parseCount(argv[++i], c.maxElements);
        } else if (a == "--solver") {
            need(1);
            ok = ostrel::solveMethodNamed(argv[++i], c.method);
        } else if (a == "--profile") {
            c.profile = true;
        } else if (a == "--threads") {
            need(1);
            ok = parseInt(argv[++i], c.options.hostThreads) && c.options.hostThreads <= 1024;
            c.haveDevice = true;
        } else {
            return usageError("Unknown argument " + a);
        }
        if (!ok) return usageError("Invalid value for " + a);
    }
    return -1;
} catch (const MissingValue& missing) {
    return usageError(missing.message);
}

/// -1 when the options read fit together, else 2 after the usage error that says why not.
int checkSolveCommand(const SolveCommand& c) {
    if (!c.petscArguments.empty() && !c.petsc)
        return usageError("PETSc options (after --) need --engine petsc");
    if (c.petsc && (c.largest || c.profile || c.haveDevice || c.method != ostrel::SolveMethod::VCycles))
        return usageError("--engine petsc takes no --largest, --profile, --device, --threads "
                          "or --solver");
    if (c.largest && (c.haveSize || c.haveLevels))
        return usageError("--largest chooses the size and the levels: no --size or --levels");
    if (c.memoryLimitMb > 0 && !c.largest) return usageError("--memory-limit needs --largest");
    if (c.maxElements > 0 && !c.largest) return usageError("--max-elements needs --largest");
    if (!c.sceneFile.empty()) {
        if (c.largest || c.profile || c.haveSize || c.haveLevels || c.haveVoxel)
            return usageError("--scene takes no --size, --levels, --voxel, --largest or --profile");
        if (!c.haveTol) return usageError("Missing argument");
        return -1;
    }
    if ((!c.largest && (!c.haveSize || !c.haveLevels)) || !c.haveVoxel || !c.haveTol)
        return usageError("Missing argument");
    if (c.size[0] > 2046 || c.size[1] > 2046 || c.size[2] > 1022)
        return usageError("Model size too large (at most 2046 x 2046 x 1022)");
    return -1;
}

/// Prints the solve's lines to `out`: compliance, cycles, the times of set-up, prepareSolve
/// and solve (seconds), the time per cycle, and the split of prepareSolve and solve.
void printSolveReport(std::ostream& out, double compliance, const ostrel::MultigridSolver& fem,
                      bool converged, double setupSeconds, double prepareSeconds,
                      double solveSeconds) {
    char line[64];
    std::snprintf(line, sizeof line, "%.9e", compliance);
    out << "Compliance: " << line << "\n";
    out << "Cycles: " << fem.lastCycles() << (converged ? "" : " (not converged)") << "\n";
    std::snprintf(line, sizeof line, "%.3f", setupSeconds);
    out << "Setup time: " << line << " s\n";
    std::snprintf(line, sizeof line, "%.3f", prepareSeconds);
    out << "prepareSolve time: " << line << " s\n";
    std::snprintf(line, sizeof line, "%.3f", solveSeconds);
    out << "Solve time: " << line << " s\n";
    if (fem.lastCycles() > 0) {
        std::snprintf(line, sizeof line, "%.4f", solveSeconds / fem.lastCycles());
        out << "Time per cycle: " << line << " s\n";
    }
    // The split of prepareSolve and solve: the solver's part of one design iteration.
    const ostrel::SolverTimes& split = fem.times();
    const struct {
        const char* name;
        double seconds;
    } parts[] = {{"uploads", split.uploads},
                 {"assembly", split.assembly},
                 {"factorization", split.factorization},
                 {"cycles", split.cycles},
                 {"coarse solves (part of cycles)", split.coarseSolves},
                 {"copies", split.copies}};
    for (const auto& part : parts) {
        std::snprintf(line, sizeof line, "%.4f", part.seconds);
        out << "Split " << part.name << ": " << line << " s\n";
    }
}

/// Computes the load, prepares and solves to `tolerance`, then prints the report with the
/// set-up's seconds; returns whether the solve reached the tolerance.
bool solveAndReport(ostrel::MultigridSolver& fem, const ostrel::FemModel& model,
                    double tolerance, double setupSeconds, std::ostream& out) {
    fem.computeLoad();
    const auto loaded = std::chrono::steady_clock::now();
    fem.prepareSolve();
    const auto prepared = std::chrono::steady_clock::now();
    const bool converged = fem.solve(tolerance);
    const auto solved = std::chrono::steady_clock::now();
    printSolveReport(out, ostrel::compliance(model), fem, converged, setupSeconds,
                     ostrel::secondsBetween(loaded, prepared),
                     ostrel::secondsBetween(prepared, solved));
    return converged;
}

/// The scene's problem on the solver's device (gravity zero, uniform stiffness, as the programs
/// start): one solve to the tolerance and the solve's lines. `voxelSplit`, `processes` and
/// `processesHere`: see ostrel::ProblemOptions.
ostrel::StartedProblem startSceneProblem(const SolveCommand& c,
                                         ostrel::VoxelSplit* voxelSplit = nullptr,
                                         int processes = 0, int processesHere = 0) {
    ostrel::StartOptions start;
    start.problem.device = c.options;
    start.problem.voxelSplit = voxelSplit;
    start.problem.processes = processes;
    start.problem.processesHere = processesHere;
    return ostrel::startProblem(c.sceneFile, start);
}

int runSceneSolve(const SolveCommand& c) {
    if (c.wantCuda && ostrel::openDriver(c.options)->isHost()) {
        std::cerr << "ERROR: No CUDA device available\n";
        return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    ostrel::StartedProblem started = startSceneProblem(c);
    if (started.status == ostrel::StartStatus::NoDevice) return -1;
    if (started.status != ostrel::StartStatus::Started) {
        std::cerr << started.error << "\n";
        return 1;
    }
    ostrel::MultigridSolver& fem = started.problem->solver();
    fem.setSolveMethod(c.method);
    const double setup = ostrel::secondsBetween(t0, std::chrono::steady_clock::now());
    std::ostream& out = ostrel::narrowOut();
    const bool converged =
        solveAndReport(fem, started.problem->model(), c.tolerance, setup, out);
    out.flush();
    return converged ? 0 : 1;
}

/// Whether the command line asks for --engine petsc (before any "--").
bool wantsPetscEngine(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") break;
        if (a == "--engine" && std::string(argv[i + 1]) == "petsc") return true;
    }
    return false;
}

#if OSTREL_HAVE_PETSC
/// Resident memory of this process in bytes (PETSc's reading of the operating system's).
double residentBytes() {
    PetscLogDouble bytes = 0;
    ostrel::petscCheck(PetscMemoryGetCurrentUsage(&bytes), "PetscMemoryGetCurrentUsage");
    return double(bytes);
}

/// The cantilever on the many-process engine: every rank builds the model, the engine solves
/// it, rank 0 prints. Usage errors and a refused model: the same on every rank, reported by
/// rank 0, every rank returns the status. Any other error on a rank ends every rank (MPI_Abort)
/// after its "ERROR: " line.
int runPetscSolve(int argc, char** argv) {
    std::vector<std::string> petscArguments;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--") {
            petscArguments.assign(argv + i + 1, argv + argc);
            break;
        }
    std::unique_ptr<ostrel::PetscSession> started;
    try {
        started = std::make_unique<ostrel::PetscSession>(petscArguments);
    } catch (const ostrel::PetscFailure& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
        return 1;
    }
    const ostrel::PetscSession& session = *started;
    const ostrel::RankConsole console(session.rank());
    SolveCommand c;
    if (const int status = readSolveArguments(argc, argv, c); status >= 0) return status;
    if (const int status = checkSolveCommand(c); status >= 0) return status;
    try {
        std::ostream& out = ostrel::narrowOut();
        // Every rank builds the whole model: the cantilever, or the scene's problem (on the
        // host device with one thread; only its model is used), voxelized by layers in parts.
        std::unique_ptr<ostrel::FemModel> model;
        ostrel::StartedProblem started;
        if (c.sceneFile.empty()) {
            ostrel::ModelBuild built =
                ostrel::buildCantilever(c.size[0], c.size[1], c.size[2], c.voxel, c.levels);
            if (!built.model) {
                ostrel::writeLine(&ostrel::wideOut(), built.error);
                return 1;
            }
            model = std::move(built.model);
        } else {
            SolveCommand host = c;
            host.options.forceHost = true;
            host.options.hostThreads = 1;
            ostrel::VoxelLayerSplit voxelSplit(PETSC_COMM_WORLD);
            started = startSceneProblem(host, &voxelSplit, session.size(), session.sizeHere());
            if (started.status != ostrel::StartStatus::Started) {
                std::cerr << started.error << "\n";
                return 1;
            }
        }
        const ostrel::FemModel& solved = model ? *model : started.problem->model();
        const double before = residentBytes();
        auto t0 = std::chrono::steady_clock::now();
        ostrel::PetscElasticSolver engine(solved, PETSC_COMM_WORLD, c.tolerance);
        auto t1 = std::chrono::steady_clock::now();
        engine.prepareSolve();
        auto t2 = std::chrono::steady_clock::now();
        const ostrel::PetscSolveResult result = engine.solve();
        auto t3 = std::chrono::steady_clock::now();
        // The engine's memory: every rank's growth since the model was built, summed, and the
        // largest rank's resident total.
        double grown = residentBytes() - before, total = 0, largest = 0, resident = residentBytes();
        ostrel::petscCheck(
            MPI_Allreduce(&grown, &total, 1, MPI_DOUBLE, MPI_SUM, PETSC_COMM_WORLD),
            "MPI_Allreduce");
        ostrel::petscCheck(
            MPI_Allreduce(&resident, &largest, 1, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD),
            "MPI_Allreduce");
        const ostrel::PetscSolveShape& shape = engine.shape();
        char line[96];
        out << "Engine: petsc, " << session.size() << (session.size() == 1 ? " rank" : " ranks")
            << ", " << shape.levels << " multigrid levels (" << shape.dofs.front()
            << " dofs on the finest, " << shape.dofs.back() << " on the coarsest"
            << (shape.coarse == ostrel::CoarseSolve::None
                    ? ""
                    : std::string(", ") + ostrel::coarseSolveName(shape.coarse))
            << ")\n";
        std::snprintf(line, sizeof line, "%.9e", result.compliance);
        out << "Compliance: " << line << "\n";
        out << "Iterations: " << result.iterations << (result.converged ? "" : " (not converged)")
            << "\n";
        std::snprintf(line, sizeof line, "%.3e", result.relativeResidual);
        out << "Relative residual: " << line << "\n";
        std::snprintf(line, sizeof line, "%.3f", ostrel::secondsBetween(t0, t1));
        out << "Setup time: " << line << " s\n";
        std::snprintf(line, sizeof line, "%.3f", ostrel::secondsBetween(t1, t2));
        out << "prepareSolve time: " << line << " s\n";
        std::snprintf(line, sizeof line, "%.3f", ostrel::secondsBetween(t2, t3));
        out << "Solve time: " << line << " s\n";
        std::snprintf(line, sizeof line, "%.0f bytes per element (all ranks), largest rank %.1f MB",
                      total / double(solved.numElements(0)), largest / (1024.0 * 1024.0));
        out << "Engine memory: " << line << " resident\n";
        out.flush();
        return result.converged ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr.rdbuf(console.errors());
        std::cerr << "ERROR: " << e.what() << std::endl;
        ostrel::abortAllRanks(1);
    }
}
#endif

int runSolve(int argc, char** argv) {
    // Results and the solver's lines on standard output; errors and warnings on standard error.
    ostrel::routeConsoleByKind();
    if (wantsPetscEngine(argc, argv)) {
#if OSTREL_HAVE_PETSC
        return runPetscSolve(argc, argv);
#else
        // The engine is the program beside this one, built from this source with PETSc and MPI
        // (so that ostrel-solve itself needs neither): it takes over this process, which keeps
        // its place among the MPI ranks.
        const std::string engine = std::string(OSTREL_ENGINE_PROGRAM);
        if (!engine.empty()) {
            const std::string path = ostrel::executableDirectory() + engine;
            std::vector<char*> args(argv, argv + argc);
            args[0] = const_cast<char*>(path.c_str());
            args.push_back(nullptr);
            std::cout.flush();
            ::execv(path.c_str(), args.data());
        }
        std::cerr << "ERROR: --engine petsc: this build has no many-process engine (it was "
                     "built without PETSc and MPI; scripts/setup installs them)\n";
        return 2;
#endif
    }
    SolveCommand c;
    if (const int status = readSolveArguments(argc, argv, c); status >= 0) return status;
    if (const int status = checkSolveCommand(c); status >= 0) return status;
    if (const std::string error =
            ostrel::launchedTogetherError("ostrel-solve", ostrel::launchedProcesses());
        !error.empty()) {
        std::cerr << error << "\n";
        return 2;
    }

    ostrel::exitOnFailedAllocation();
    if (!c.sceneFile.empty()) return runSceneSolve(c);
    std::unique_ptr<ostrel::Driver> driver = ostrel::openDriver(c.options);
    if (c.wantCuda && driver->isHost()) {
        std::cerr << "ERROR: No CUDA device available\n";
        return 1;
    }
    if (c.largest && !chooseLargest(*driver, c.memoryLimitMb, c.maxElements, c.size, c.levels))
        return 1;
    ostrel::ModelBuild built =
        ostrel::buildCantilever(c.size[0], c.size[1], c.size[2], c.voxel, c.levels);
    if (!built.model) {
        ostrel::writeLine(&ostrel::wideOut(), built.error);
        return 1;
    }
    const std::unique_ptr<ostrel::FemModel> model = std::move(built.model);
    ostrel::MultigridSolver fem(*model, c.options, std::move(driver));
    auto t0 = std::chrono::steady_clock::now();
    // A driver without a device ends the program as it always has: status -1.
    if (!fem.setup()) return -1;
    fem.setSolveMethod(c.method);
    const double setup = ostrel::secondsBetween(t0, std::chrono::steady_clock::now());
    std::ostream& out = ostrel::narrowOut();
    const bool converged = solveAndReport(fem, *model, c.tolerance, setup, out);
    if (c.profile) {
        // The first design iteration of an optimization, as the programs run it, after the
        // plain solve (whose lines stay as they are).
        out.flush();
        DesignIteration design(*model, fem);
        design.profile.run(0, c.tolerance, design.folder / "OptimizedShape_0.obj");
        out << ostrel::formatIterationSplit(model->numElements(0), fem.deviceName(),
                                            design.profile.parts());
    }
    out.flush();
    fem.release();
    return converged ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return ostrel::runProgram([&] { return runSolve(argc, argv); });
}
