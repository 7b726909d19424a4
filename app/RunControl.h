#pragma once
// The optimization run control: the run flag and one optimization step per frame while it is
// set.
//
// One step, in this order: past the limit (counter above 500) clear the run flag and stop; at
// counter 0 compute the load, reset the optimizer and write the stiffness factors; prepare and
// solve to 0.01 (timed as the solve time, "WARNING: Solver has not converged" when the solve
// misses the tolerance); evaluate energies, iterate, update stiffness (timed as the optimize
// time); with a shape listener, the shape of the new densities for it; at counters 0, 5, 10,
// ... write "OptimizedShape_<counter>.obj" (the interval and the writer can be chosen); print
// the two timing lines; count the step. The surface is extracted only for a listener or a file:
// a run without either (the batch program between its shape files) makes none. With
// extractShapesOnWorker(true) (the window) a listener's shape is extracted on a worker thread
// while the next step runs, and frameMove() hands the newest finished one over; a shape the
// step extracts itself for a file is handed over at once and supersedes the worker's older
// ones. A solve ended by the solver's stop request (MultigridSolver::
// setStopRequest) abandons the step right after it. Steps 0 to 500 run, 501 in all, over the
// program's life: the counter and the totals live in the ProgramLifetime, so a reset of the
// optimizer continues the numbering and the limit.
//
// Two stops the window shares with the batch program: a step whose system is singular (the
// solver could not factor the coarsest level: the fixed vertices do not hold the model) clears
// the run flag after it and prints singularSystemMessage() after its timing lines, since every
// further step would spend the cycle limit on a system without a solution; and a step whose
// model carries no load on a vertex that is not fixed in any load case (the solver's load after
// the load computation, and the further cases' forces; the compliance would be 0 whatever the
// design) is not performed: it clears the
// run flag and prints kNoLoadMessage, once for every attempt to run.
//
// The window's frame move calls frameMove(); the batch program calls it too. The run control
// owns the Optimizer of the model and, unless given other per-element steps, its device
// optimizer on the solver's device: the design iteration runs in the kernel module, its data
// kept on the device (see Optimizer.h), and only the densities and the scalars come back each
// step. The model and the solver belong to the scene
// and must outlive the run control. Console lines: timings and the warning on the narrow log, the shape
// writer's messages on the wide log (null = silent). Main thread only.

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/ProgramLifetime.h"
#include "optimization/Optimizer.h"

namespace ostrel {

class MultigridSolver;
class DesignSplit;
class DeviceOptimizer;
class ElementSteps;
class KernelSteps;
class FemModel;
class ShapeWorker;
class TriangleMesh;

/// The relative residual of a step's solve unless the caller asks for another.
inline constexpr double kDefaultSolveTolerance = 0.01;

struct RunControlOptions {
    /// Folder of the shape files and the history files; empty = the working directory.
    std::filesystem::path outputDirectory;
    std::wostream* wideLog = nullptr;   ///< null = the console's wide output
    std::ostream* narrowLog = nullptr;  ///< null = the console's narrow output
    /// Steps between shape files: counters 0, N, 2N, ... write one (kShapeFileInterval, 5, by
    /// default); 0 writes none.
    int shapeFileInterval = 5;
    /// Writes the shape files of a step in place of the OBJ writer (null: writeShape to
    /// shapeFileName(counter)) from the step's snapshot (RunControl::snapshot, complete
    /// whichever steps the optimizer runs); returns whether they were written.
    std::function<bool(int iteration, const DesignSnapshot& state)> shapeFileWriter;
    /// Whether snapshot() carries the displacement of the last solve (for the result files
    /// that show it); false leaves it empty, one copy of it fewer while the files are written.
    bool snapshotDisplacement = true;
    /// The per-element steps of the design iteration (optimization/ElementSteps.h); null: the
    /// kernel module on the solver's device (KernelSteps). Must outlive the run control.
    ElementSteps* elementSteps = nullptr;
    /// With the kernel module's steps: the design's split over the processes of a many-process
    /// run (gpu/DesignSplit.h; DeviceOptimizer::setSplit), by which the processes make the shape
    /// together too (Optimizer::setShapeSplit: every process takes the same snapshots and shape
    /// files' steps, and process 0 alone has the shape); null: this process holds all of it.
    /// Must outlive the run control.
    DesignSplit* designSplit = nullptr;
    /// The relative residual every step's solve (and solveCurrentDesign's) reaches for; in
    /// (0, 1).
    double solveTolerance = kDefaultSolveTolerance;
};

/// What one call of step() did.
struct StepResult {
    bool performed = false;  ///< false: run flag clear, or the limit was passed
    int iteration = -1;      ///< counter of the step that ran
    bool converged = false;
    int cycles = 0;                ///< multigrid cycles of the solve
    double solveSeconds = 0.0;     ///< the solver's set-up for the step and its cycles
    double cycleSeconds = 0.0;     ///< the cycles alone (part of solveSeconds)
    double optimizeSeconds = 0.0;
    double strainEnergy = 0.0;     ///< total strain energy of the solve (the compliance)
    double volumeRatio = 0.0;      ///< sum of densities / initial volume after the update
    double sharpness = 0.0;
    double designChange = 0.0;     ///< largest change of a design variable in the update
    bool shapeWritten = false;     ///< an OptimizedShape file was written by this step
    /// The solver's stop request ended the solve: the step was abandoned before the update,
    /// nothing of it was recorded and the counter is unchanged (performed stays false).
    bool stopped = false;
    bool singular = false;         ///< the system was singular: the run flag is now clear
    /// No force acts on a free vertex: the step was refused (performed stays false) and the
    /// run flag is now clear.
    bool noLoad = false;
};

/// "ERROR: The system is singular: ... the run stopped after step <iteration>. ..." (one line,
/// without the line end).
std::string singularSystemMessage(int iteration);

/// Whether a vertex that is not fixed carries a load in the model's load() (the
/// forces and any gravity, as the last load computation left them) or a force in one of
/// `moreLoads` (the further load cases' forces, 3 per level-0 vertex each; null: none).
bool carriesLoad(const FemModel& model,
                 const std::vector<std::vector<float>>* moreLoads = nullptr);

/// The refusal of a run whose model carries no load (one line, without the line end).
inline constexpr const char* kNoLoadMessage =
    "ERROR: No force acts on the model (none is set, or all lie on fixed vertices): its "
    "compliance would be 0 whatever the design and there is nothing to optimize, so the run "
    "does not start; set FORCES, or drag forces in the window";

class RunControl {
public:
    static constexpr int kLastIteration = 500;  ///< the last counter value that runs a step
    static constexpr int kShapeFileInterval = 5;

    RunControl(FemModel& model, MultigridSolver& solver, ProgramLifetime& lifetime,
               RunControlOptions options = {});
    /// Takes the cycle-count sink (the history stream) back from the solver.
    ~RunControl();
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    bool isRunning() const { return running_; }
    /// The "Run Ostrel" check box. Setting it again after the limit has no lasting effect: the
    /// next step clears it.
    void setRunning(bool running) { running_ = running; }

    /// Frame move: one step while the run flag is set, nothing (no solver work) otherwise.
    /// `time` is the absolute frame time, `elapsed` the time since the last frame, in seconds.
    StepResult frameMove(double time, float elapsed);

    /// One optimization step (see above).
    StepResult step();

    /// Called with the new shape mesh after every step (the renderer takes it over).
    void setShapeListener(std::function<void(const TriangleMesh&)> listener) {
        shapeListener_ = std::move(listener);
    }
    /// Hands the current shape mesh to the shape listener (if there is one), extracted first
    /// when the densities changed; older shapes still on the worker are no longer handed over.
    void publishShape();
    /// On: a listener's shapes are extracted on a worker thread (see above). Off (default):
    /// in the step, on the calling thread. Switching off waits for the worker.
    void extractShapesOnWorker(bool on);
    /// Blocks until the worker has finished its job, then hands its shape over as frameMove()
    /// would (nothing without a worker).
    void waitForShape();

    /// outputDirectory / "OptimizedShape_<iteration>.obj".
    std::filesystem::path shapeFileName(int iteration) const;
    /// outputDirectory / name.
    std::filesystem::path outputPath(const std::string& name) const;
    /// Writes the shape of the current densities (extracted first when they changed) without
    /// its degenerate triangles (removeDegenerateTriangles) to `file`; the mesh writer reports
    /// failures on the wide log.
    bool writeShape(const std::filesystem::path& file);
    /// Solves the current design (the densities of the last update) once more and evaluates
    /// its element energies, so that the densities, the displacement and the energies of the
    /// next snapshot() belong to one design; the step counter and the history files are left
    /// alone. Returns whether the solve converged; its compliance is then
    /// optimizer().totalEnergy(). Does nothing (false) before the first step.
    bool solveCurrentDesign();
    /// The optimizer's snapshot with the displacement of the last solve (unless the options
    /// leave it out): everything a result file reads, brought back from the device first.
    /// Invalid before the first step.
    DesignSnapshot snapshot();

    /// The optimizer's checkpoint (Optimizer::checkpoint) with the step counter, the time
    /// totals and every load case's displacement: all that the next step reads. Invalid before
    /// the first step.
    DesignCheckpoint checkpoint();
    /// Continues the run of `c` in place of starting one: the load, the optimizer's reset (its
    /// controls set already) and restore, the factors of the restored densities, every load
    /// case's displacement, the counter and totals; the next step() is the checkpoint's
    /// iteration and runs as it would have in the run that wrote it. False when it does not fit
    /// this model (the caller checks the scene and the options first; the run state is then
    /// not usable).
    bool resume(const DesignCheckpoint& c);

    Optimizer& optimizer() { return optimizer_; }
    const Optimizer& optimizer() const { return optimizer_; }
    ProgramLifetime& lifetime() { return lifetime_; }
    int iteration() const { return lifetime_.iteration; }
    const std::filesystem::path& outputDirectory() const { return outputDirectory_; }

private:
    // The parts of step(), in order.
    /// Solves the current stiffness factors into `result`; false when a stop request ended the
    /// solve (the step is then not performed).
    bool solvePhase(StepResult& result);
    /// The energies, the update and the new stiffness factors into `result`.
    void optimizePhase(int iteration, StepResult& result);
    /// The shape of the new densities for the listener and, every shapeFileInterval_ steps, in
    /// a file.
    void deliverShape(int iteration, StepResult& result);
    /// The timing lines, the counter and the totals.
    void recordStep(int iteration, const StepResult& result);

    MultigridSolver& solver_;
    ProgramLifetime& lifetime_;
    std::filesystem::path outputDirectory_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    Optimizer optimizer_;
    std::unique_ptr<DeviceOptimizer> deviceOptimizer_;  // null: steps given in the options
    std::unique_ptr<KernelSteps> kernelSteps_;
    std::function<void(const TriangleMesh&)> shapeListener_;
    /// Hands the worker's newest finished shape to the listener, if there is one.
    void takeWorkerShape();
    std::unique_ptr<ShapeWorker> shapeWorker_;  // null: shapes are extracted in the step
    TriangleMesh workerShape_;  // the worker's last shape handed over (the listener may keep it)
    int shapeFileInterval_;
    std::function<bool(int iteration, const DesignSnapshot& state)> shapeFileWriter_;
    bool snapshotDisplacement_ = true;
    double solveTolerance_;
    bool running_ = false;
};

}  // namespace ostrel
