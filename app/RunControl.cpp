#include "app/RunControl.h"

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "app/ShapeWorker.h"
#include "core/Console.h"
#include "core/Timing.h"
#include "geometry/DegenerateTriangles.h"
#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "optimization/KernelSteps.h"
#include "optimization/LoadCaseSolve.h"

namespace ostrel {

RunControl::RunControl(FemModel& model, MultigridSolver& solver, ProgramLifetime& lifetime,
                       RunControlOptions options)
    : solver_(solver),
      lifetime_(lifetime),
      outputDirectory_(std::move(options.outputDirectory)),
      wideLog_(options.wideLog ? options.wideLog : &wideOut()),
      narrowLog_(options.narrowLog ? options.narrowLog : &narrowOut()),
      optimizer_(model, lifetime.optimization, outputDirectory_),
      shapeFileInterval_(options.shapeFileInterval),
      shapeFileWriter_(std::move(options.shapeFileWriter)),
      snapshotDisplacement_(options.snapshotDisplacement),
      solveTolerance_(options.solveTolerance) {
    optimizer_.setLogs(wideLog_, narrowLog_);
    optimizer_.setMoreLoads(&solver_.moreLoads());
    optimizer_.setShapeSplit(options.designSplit);
    // The stream keeps its address across the history files' reopenings.
    solver_.setCycleCountSink(&optimizer_.history().cycleSink());
    ElementSteps* steps = options.elementSteps;
    if (!steps) {
        deviceOptimizer_ = std::make_unique<DeviceOptimizer>(solver_);
        deviceOptimizer_->setSplit(options.designSplit);
        kernelSteps_ = std::make_unique<KernelSteps>(*deviceOptimizer_);
        steps = kernelSteps_.get();
    }
    optimizer_.attachSteps(steps);
}

RunControl::~RunControl() { solver_.setCycleCountSink(nullptr); }

bool carriesLoad(const FemModel& model, const std::vector<std::vector<float>>* moreLoads) {
    const size_t n = model.fixedFlags().size();
    const std::vector<uint8_t>& fixed = model.fixedFlags();
    // The load is stored by component (x of every vertex, then y, then z), the forces by vertex.
    const std::vector<float>& f = model.load();
    if (f.size() >= 3 * n)
        for (size_t v = 0; v < n; ++v)
            if (!fixed[v] && (f[v] != 0.0f || f[n + v] != 0.0f || f[2 * n + v] != 0.0f))
                return true;
    if (moreLoads)
        for (const std::vector<float>& forces : *moreLoads)
            for (size_t v = 0; v < n && 3 * v + 2 < forces.size(); ++v)
                if (!fixed[v] && (forces[3 * v] != 0.0f || forces[3 * v + 1] != 0.0f ||
                                  forces[3 * v + 2] != 0.0f))
                    return true;
    return false;
}

DesignSnapshot RunControl::snapshot() {
    DesignSnapshot state = optimizer_.snapshot();
    if (!state.valid() || !snapshotDisplacement_) return state;
    // The solver keeps the displacement on the device while the optimizer runs there: read
    // from there straight into the snapshot, not kept in the model as well.
    if (deviceOptimizer_)
        state.displacement = solver_.lastDisplacement();
    else
        state.displacement = optimizer_.model().displacement();
    return state;
}

DesignCheckpoint RunControl::checkpoint() {
    DesignCheckpoint c = optimizer_.checkpoint();
    if (!c.valid()) return c;
    c.iteration = lifetime_.iteration;
    c.totalSolveSeconds = lifetime_.totalSolveSeconds;
    c.totalOptimizeSeconds = lifetime_.totalOptimizeSeconds;
    c.displacements = solver_.caseDisplacements(c.solved);
    return c;
}

bool RunControl::resume(const DesignCheckpoint& c) {
    if (!c.valid() || c.iteration < 1) return false;
    // What step 0 does before its solve, then the checkpoint's state over the reset's.
    solver_.computeLoad();
    optimizer_.reset();
    if (!optimizer_.restore(c) || !solver_.setCaseDisplacements(c.displacements, c.solved))
        return false;
    optimizer_.updateStiffness();
    lifetime_.iteration = c.iteration;
    lifetime_.totalSolveSeconds = c.totalSolveSeconds;
    lifetime_.totalOptimizeSeconds = c.totalOptimizeSeconds;
    return true;
}

bool RunControl::solveCurrentDesign() {
    if (!optimizer_.isReset()) return false;
    // The extra solve is no step: its cycle count stays out of the history, its lines off the
    // console.
    std::wostream* wide = solver_.wideLog();
    std::ostream* narrow = solver_.narrowLog();
    solver_.setLogs(nullptr, nullptr);
    solver_.setCycleCountSink(nullptr);
    solver_.prepareSolve();
    const bool converged = solveLoadCases(solver_, optimizer_, solveTolerance_);
    solver_.setCycleCountSink(&optimizer_.history().cycleSink());
    solver_.setLogs(wide, narrow);
    optimizer_.evaluateEnergies();
    return converged;
}

StepResult RunControl::frameMove(double /*time*/, float /*elapsed*/) {
    takeWorkerShape();
    if (!running_) return {};
    return step();
}

void RunControl::publishShape() {
    if (!shapeListener_) return;
    if (shapeWorker_) shapeWorker_->supersede();
    optimizer_.updateShape();
    shapeListener_(optimizer_.shapeMesh());
}

void RunControl::extractShapesOnWorker(bool on) {
    if (on && !shapeWorker_) shapeWorker_ = std::make_unique<ShapeWorker>();
    if (!on && shapeWorker_) {
        waitForShape();
        shapeWorker_.reset();
    }
}

void RunControl::waitForShape() {
    if (!shapeWorker_) return;
    shapeWorker_->waitIdle();
    takeWorkerShape();
}

void RunControl::takeWorkerShape() {
    if (!shapeWorker_) return;
    std::optional<TriangleMesh> mesh = shapeWorker_->takeFinished();
    if (!mesh) return;
    workerShape_ = std::move(*mesh);
    if (shapeListener_) shapeListener_(workerShape_);
}

StepResult RunControl::step() {
    StepResult result;
    // 1. The limit: steps 0 to 500 run; every later call only clears the run flag.
    if (lifetime_.iteration > kLastIteration) {
        running_ = false;
        return result;
    }
    const int iteration = lifetime_.iteration;

    // 2. The first step of the program initialises the optimization, once it has a load.
    if (iteration == 0) solver_.computeLoad();
    if (!carriesLoad(optimizer_.model(), &solver_.moreLoads())) {
        running_ = false;
        result.noLoad = true;
        if (narrowLog_) *narrowLog_ << kNoLoadMessage << std::endl;
        return result;
    }
    result.performed = true;
    result.iteration = iteration;
    if (iteration == 0) {
        optimizer_.reset();
        optimizer_.updateStiffness();
    }

    // 3. Solve phase; 4. optimize phase; 5.-6. the shape; 7.-9. timings, counter, totals.
    if (!solvePhase(result)) return result;
    optimizePhase(iteration, result);
    deliverShape(iteration, result);
    recordStep(iteration, result);

    // 10. A singular system stops the run.
    if (result.singular) {
        running_ = false;
        if (narrowLog_) *narrowLog_ << singularSystemMessage(iteration) << std::endl;
    }
    return result;
}

bool RunControl::solvePhase(StepResult& result) {
    const auto solveStart = std::chrono::steady_clock::now();
    solver_.prepareSolve();
    const auto cyclesStart = std::chrono::steady_clock::now();
    result.converged = solveLoadCases(solver_, optimizer_, solveTolerance_);
    result.cycleSeconds = secondsBetween(cyclesStart, std::chrono::steady_clock::now());
    result.singular = !solver_.coarseFactorValid();
    if (solver_.lastSolveStopped()) {
        result.performed = false;
        result.stopped = true;
        return false;
    }
    if (!result.converged && narrowLog_) *narrowLog_ << "WARNING: Solver has not converged\n";
    result.solveSeconds = secondsBetween(solveStart, std::chrono::steady_clock::now());
    result.cycles = solver_.lastCycles();
    return true;
}

void RunControl::optimizePhase(int iteration, StepResult& result) {
    const auto start = std::chrono::steady_clock::now();
    optimizer_.evaluateEnergies();
    optimizer_.iterate(iteration);
    optimizer_.updateStiffness();
    result.optimizeSeconds = secondsBetween(start, std::chrono::steady_clock::now());
    result.strainEnergy = optimizer_.lastStrainEnergy();
    result.volumeRatio = optimizer_.lastVolumeRatio();
    result.sharpness = optimizer_.lastSharpness();
    result.designChange = optimizer_.lastDesignChange();
}

void RunControl::deliverShape(int iteration, StepResult& result) {
    // Every fifth shape in a file (a failed write is reported and the step goes on). A shape
    // extracted here for the file is the listener's too; otherwise the worker, if any, makes
    // the listener's.
    const bool writesFile = shapeFileInterval_ > 0 && iteration % shapeFileInterval_ == 0;
    if (shapeListener_) {
        if (shapeWorker_ && !writesFile)
            shapeWorker_->submit(optimizer_.paddedDensityCopy(), optimizer_.isoLevel());
        else
            publishShape();
    }
    if (writesFile) {
        if (shapeFileWriter_) {
            result.shapeWritten = shapeFileWriter_(iteration, snapshot());
        } else {
            result.shapeWritten = writeShape(shapeFileName(iteration));
        }
    }
}

void RunControl::recordStep(int iteration, const StepResult& result) {
    if (narrowLog_)
        *narrowLog_ << "Time SOLVE: " << result.solveSeconds << " s    Time OPTIMIZE: "
                    << result.optimizeSeconds << " s\n";
    lifetime_.iteration = iteration + 1;
    lifetime_.totalSolveSeconds += result.solveSeconds;
    lifetime_.totalOptimizeSeconds += result.optimizeSeconds;
    if (narrowLog_)
        *narrowLog_ << "Time SOLVE (total): " << lifetime_.totalSolveSeconds
                    << " s    Time OPTIMIZE (total): " << lifetime_.totalOptimizeSeconds << " s\n"
                    << std::flush;
}

std::string singularSystemMessage(int iteration) {
    return "ERROR: The system is singular: the fixed vertices do not hold the model in place "
           "(nothing fixed, a piece without fixed vertices, or all fixed vertices on one line, "
           "about which the model turns), so no solve can converge; the run stopped after step " +
           std::to_string(iteration) + ". Fix more vertices (FIXED_VERTICES).";
}

std::filesystem::path RunControl::shapeFileName(int iteration) const {
    return outputPath("OptimizedShape_" + std::to_string(iteration) + ".obj");
}

std::filesystem::path RunControl::outputPath(const std::string& name) const {
    return outputDirectory_.empty() ? std::filesystem::path(name) : outputDirectory_ / name;
}

bool RunControl::writeShape(const std::filesystem::path& file) {
    // The shape of the current densities (the window's worker may not have made it yet).
    optimizer_.updateShape();
    // Mesh checkers and slicers reject triangles without area: the file gets none.
    TriangleMesh shape = optimizer_.shapeMesh();
    removeDegenerateTriangles(shape);
    return shape.writeObj(fromUtf8(file.string()), wideLog_);
}

}  // namespace ostrel
