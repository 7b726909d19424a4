#pragma once
// The headless optimization run behind ostrel-batch: the command line, the run itself (load the
// scene, set the run flag, let the run control perform its steps as the window's frame move
// would), the per-iteration progress line, the closing summary and the output files.
//
// ostrel-batch SCENE [--iterations N] [--output DIR] [--device host|cuda] [--threads N]
//              [--quiet] [--shape-every N] [--format obj|stl] [--vtk] [--original-coordinates]
//              [--volume-fraction F] [--filter-radius R] [--min-member V] [--projection]
//              [--converge TOL]
//              [--converge-change DX] [--smooth] [--solver vcycle|pcg]
//              [--report [--yield-stress S]] [--checkpoint-every N] [--resume DIR]
//              [--engine single|petsc]
//
// The design options override the scene's design-control keys. Without them and without the
// keys, the run, its console lines and its files are those of the program without design
// controls. With --converge the run stops once it has converged (ConvergenceWatch); with it, or
// with any design option or key, the summary also says why the run stopped and how grey the
// final design is.
//
// Before the run the scene file's keys are checked (unknown keys, with the key probably meant),
// and after loading the mesh (open surface) and the voxel model (several pieces); each finding
// is a warning. A singular system (the solver cannot factor the coarsest level: the fixed
// vertices do not hold the model) stops the run after its first step.
//
// With --checkpoint-every the run writes its state every N steps; --resume continues such a
// run exactly (tools/BatchCheckpoint.h): --iterations then counts the steps of the whole run,
// those before the checkpoint included, and the scene (its bytes and its mesh's), the device and
// the design options (kDesignOptions) must be those of the checkpoint; the output options may
// differ.
//
// Exit codes: 0 done, 1 the run could not start (scene, voxel model, memory, output folder,
// device, impossible design, a checkpoint that cannot be resumed), a checkpoint could not be
// written, its system is singular, it broke down (RunBreakdown), or its final
// shape, smooth shape or plot could not be written (or the smooth shape is not fit for printing),
// or with --report the scene's material cannot be solved with or the report's solve missed its
// tolerance,
// 2 bad command line, 130
// stopped by SIGINT or SIGTERM (see runBatch).

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/RunControl.h"
#include "gpu/MultigridSolver.h"
#include "tools/ResultFiles.h"

namespace ostrel {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;
/// The driver reports no device to solve on: the status that has always meant that (-1, 255).
inline constexpr int kExitNoDevice = -1;

enum class BatchDevice { Automatic, Host, Cuda };

/// Who solves: this one process (its device), or the many-process engine on PETSc and MPI
/// (ostrel-batch-petsc under mpirun; see BatchRanks).
enum class BatchEngine { Single, Petsc };

struct BatchOptions {
    std::string sceneFile;
    int iterations = 0;  ///< steps to perform; 0 = until the run control's limit
    std::filesystem::path outputDirectory;  ///< empty = the working directory
    BatchDevice device = BatchDevice::Automatic;
    int threads = 0;     ///< worker threads; 0 = OpenMP's default
    bool quiet = false;  ///< no console lines but messages: only the progress lines
    /// Steps between shape files (0 = only the final shape).
    int shapeEvery = RunControl::kShapeFileInterval;
    ShapeFormat format = ShapeFormat::Obj;  ///< format of the shape files
    bool vtk = false;                       ///< also write a .vti file with every shape
    bool originalCoordinates = false;       ///< results in the input mesh's coordinates
    double volumeFraction = 0;  ///< --volume-fraction; 0 = the scene's
    double filterRadius = 0;    ///< --filter-radius; 0 = the scene's
    double minMember = 0;       ///< --min-member; 0 = the scene's
    bool projection = false;    ///< --projection: projected densities (mode 1)
    double converge = 0;        ///< --converge TOL; 0 = run to the iteration limit
    /// --converge-change DX: the design-change threshold of --converge.
    double convergeChange = 0.01;
    /// --smooth: also write the final design as a smooth surface for printing,
    /// "OptimizedShape_smooth" in the shape format (tools/SmoothShape.h).
    bool smooth = false;
    /// --solver: how each solve reaches its tolerance (gpu/MultigridSolver.h).
    SolveMethod solver = SolveMethod::VCycles;
    /// --tolerance: the relative residual every step's solve reaches for, in (0, 1).
    double tolerance = kDefaultSolveTolerance;
    /// --report: the final design's figures in the scene's material (tools/EngineeringReport.h)
    /// in the summary and its "VonMises" cells in the final VTK file; --yield-stress S (> 0, only
    /// with it): also the safety factors.
    bool report = false;
    double yieldStress = 0;
    /// --checkpoint-every N: the run's state every N steps (and after the last one) in the
    /// output folder's "checkpoint" folder (tools/BatchCheckpoint.h); 0 = none.
    int checkpointEvery = 0;
    /// --resume DIR: continue the run of the checkpoint in DIR; empty = start a run.
    std::filesystem::path resumeFrom;
    /// --engine: who solves (the design steps run on the host device with either).
    BatchEngine engine = BatchEngine::Single;
};

class DesignSplit;
class VoxelSplit;
class Problem;

/// The processes of a many-process run (--engine petsc) as the run sees them. Every process
/// performs the whole run on its own copy of the scene's model and design (the same steps on
/// the same values, so every process holds the same design after every step); only the solves
/// are shared, made by the engine across all processes (attach). Process 0 speaks and writes
/// for all: the console, the progress lines, the summary, the history, shape and VTK files;
/// the other processes keep their history files in a folder of their own that the run
/// removes. Every decision that ends or changes the run (a failure before the steps, a stop
/// request, a checkpoint that could not be written) is agreed by all processes (largest), so
/// that none waits for another that has stopped.
struct BatchRanks {
    int rank = 0;
    int size = 1;
    /// The processes on this process's machine, which share its memory.
    int sizeHere = 1;
    /// The largest of every process's `value`. Collective.
    std::function<int(int value)> largest;
    /// Every process's `text` in rank order on process 0 (empty on the others). Collective.
    std::function<std::vector<std::string>(const std::string& text)> gather;
    /// Hands the solves of the loaded problem's solver to the engine and returns the design's
    /// split over the processes (null: every process holds the whole design), which lives as
    /// long as the engine. Collective.
    std::function<DesignSplit*(Problem& problem)> attach;
    /// The voxelization's split over the processes (null: every process voxelizes the whole
    /// grid).
    VoxelSplit* voxelSplit = nullptr;
};

/// The stopping test of --converge. A step counts when its solve saw densities of the last beta
/// (in projection mode 1; always in mode 0). The run has converged after a step when the volume
/// fraction after its update is within kVolumeTolerance of the goal and, over the last kWindow
/// counted steps in a row, either the compliances' spread (largest - smallest) is below the
/// tolerance times the last compliance, or every update's largest design change is below the
/// design-change threshold. The compliance rule is tested first.
class ConvergenceWatch {
public:
    static constexpr int kWindow = 10;
    static constexpr double kVolumeTolerance = 0.001;
    static constexpr double kDefaultDesignChange = 0.01;

    enum class Rule { None, Compliance, DesignChange };

    explicit ConvergenceWatch(double tolerance, double designChange = kDefaultDesignChange)
        : tolerance_(tolerance), designChange_(designChange) {}
    /// Records one step; true when the run has converged with it (rule() says by which rule).
    /// `designChange` is the largest change of a design variable in the step's update.
    bool record(double compliance, double volumeRatio, double volumeGoal, bool betaSettled,
                double designChange = 1.0);
    Rule rule() const { return rule_; }
    /// Over the last kWindow steps recorded, counted or not (fewer at the start of a run): the
    /// compliances' spread relative to the last compliance, and the largest design change.
    double complianceSpread() const;
    double largestDesignChange() const;
    /// Steps that complianceSpread and largestDesignChange cover (kWindow once as many ran).
    int recentSteps() const { return int(last_.size()); }

private:
    struct Step {
        double compliance, designChange;
    };
    double tolerance_, designChange_;
    Rule rule_ = Rule::None;
    std::vector<Step> counted_;  // counted steps in a row, newest last
    std::vector<Step> last_;     // the last steps recorded, newest last
};

struct BatchArguments {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    BatchOptions options;
    std::string error;  ///< for Action::Error: one "ERROR: " line without the line end
};

/// Parses the arguments after the program name, GNU style: long options as "--name value" or
/// "--name=value", short forms -n, -o, -q, -h, -V, "--" ending the options.
BatchArguments parseBatchArguments(const std::vector<std::string>& args);

std::string batchUsage();    ///< the one-line usage
std::string batchHelp();     ///< usage, options and exit codes
std::string batchVersion();  ///< "ostrel-batch <version>"

/// "Iteration k/N  compliance C  volume V  cycles M  S s  left T" (one line, no line end).
std::string progressLine(int k, int n, const StepResult& step, double stepSeconds,
                         double leftSeconds);

/// The time that the remaining steps of a run will take, from the recent steps' trend.
///
/// A step costs a fixed part (the solver's set-up, the optimizer's update, the shape, the files)
/// and a part per multigrid cycle. Both are measured, not fitted: the cycles' own time divided
/// by their number gives the cost of a cycle, the rest of a step its fixed part, each averaged
/// over the last kWindow steps (the first step, which also sets the optimization up, only
/// until there is another). Early steps need many cycles, since the design still changes much
/// from one step to the next; as it settles, each solve starts from a displacement that nearly
/// solves it and needs about one. The estimate lets the cycle count fall from its current level
/// (the last three steps) towards that floor exponentially, with a time constant of
/// kSettlingSteps steps, or as many steps as the count has now held its level, whichever is
/// longer: a count that does not fall is expected to stay up longer and longer.
class TimeLeftEstimator {
public:
    static constexpr size_t kWindow = 30;
    static constexpr double kSettlingSteps = 10.0;

    /// Records one finished step: its wall time, its cycle count and the time of its cycles
    /// alone (StepResult::cycleSeconds).
    void addStep(double stepSeconds, int cycles, double cycleSeconds);
    /// Seconds that `stepsLeft` more steps are expected to take (0 before the first step).
    double secondsLeft(int stepsLeft) const;

private:
    struct Step {
        double seconds;
        int cycles;
        double cycleSeconds;
    };
    std::vector<Step> steps_;
};

/// Seconds as "12.3 s", "4 min 05 s" or "2 h 07 min".
std::string formatDuration(double seconds);

/// The parts of a run as the stop requests treat them: loading and checking before the first
/// step, the steps, and the final files (final shape, VTK file, smooth shape, plot).
enum class BatchPhase { Setup, Steps, FinalFiles };

/// Performs the run. The summary goes to `out`; the progress line of every step and the errors
/// of the run itself go to `err`; the system's console lines go to the console. `stopRequests`
/// gives the number of requests to stop so far (empty = none come); it is asked between steps
/// and after every multigrid cycle. From the first request on no further step starts, and the
/// last one finished writes the final shape and the plot (exit kExitInterrupted); from the
/// second on the solve in progress stops within one multigrid cycle, its step is abandoned and
/// the run ends at once, leaving the files of the last finished step as they are (no final
/// shape, no plot; exit kExitInterrupted). A request during the final files lets them be
/// finished and the summary says so (exit kExitInterrupted). `enterPhase` (empty = none) is told
/// when each phase begins, so that the signal handler can stop the phases it cannot reach by
/// the count. Before anything else the run removes the temporary files of writers killed
/// mid-write from the output folder (removeStaleTemporaries) and proves that the folder takes
/// a file of a few kilobytes.
///
/// With `ranks` (a many-process run, every process calling runBatch with the same options) the
/// run is shared as BatchRanks says; the caller gives the processes other than 0 streams that
/// drop what they are given.
int runBatch(const BatchOptions& options, std::ostream& out, std::ostream& err,
             const std::function<int()>& stopRequests,
             const std::function<void(BatchPhase)>& enterPhase = {},
             const BatchRanks* ranks = nullptr);

}  // namespace ostrel
