#pragma once
// The headless optimization run behind ostrel-batch: the command line, the run itself (load the
// scene, set the run flag, let the run control perform its steps as the window's frame move
// would), the per-iteration progress line, the closing summary and the output files.
//
// ostrel-batch SCENE [--iterations N] [--output DIR] [--device host|cuda] [--threads N]
//              [--quiet] [--volume-fraction F] [--filter-radius R] [--projection]
//              [--converge TOL]
//
// The design options override the scene's design-control keys. Without them and without the
// keys, the run, its console lines and its files are those of the program without design
// controls. With --converge the run stops once it has converged (ConvergenceWatch); with it, or
// with any design option or key, the summary also says why the run stopped and how grey the
// final design is.
//
// Exit codes: 0 done, 1 the run could not start (scene, output folder, device) or its final
// shape or plot could not be written, 2 bad command line, 130 interrupted (the current step is
// finished and the shape written first), 255 the model builder ended the process (empty voxel
// model, extents too large, fewer than 3 levels).

#include <atomic>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/RunControl.h"

namespace ostrel {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

enum class BatchDevice { Automatic, Host, Cuda };

struct BatchOptions {
    std::string sceneFile;
    int iterations = 0;  ///< steps to perform; 0 = until the run control's limit
    std::filesystem::path outputDirectory;  ///< empty = the working directory
    BatchDevice device = BatchDevice::Automatic;
    int threads = 0;     ///< worker threads; 0 = OpenMP's default
    bool quiet = false;  ///< one progress line per iteration instead of the console lines
    double volumeFraction = 0;  ///< --volume-fraction; 0 = the scene's
    double filterRadius = 0;    ///< --filter-radius; 0 = the scene's
    bool projection = false;    ///< --projection: projected densities (mode 1)
    double converge = 0;        ///< --converge TOL; 0 = run to the iteration limit
};

/// The stopping test of --converge. A step counts when its solve saw densities of the last beta
/// (in projection mode 1; always in mode 0). The run has converged after a step when the volume
/// fraction after its update is within kVolumeTolerance of the goal and the last kWindow counted
/// steps in a row have compliances whose spread (largest - smallest) is below the tolerance
/// times the last compliance.
class ConvergenceWatch {
public:
    static constexpr int kWindow = 10;
    static constexpr double kVolumeTolerance = 0.001;

    explicit ConvergenceWatch(double tolerance) : tolerance_(tolerance) {}
    /// Records one step; true when the run has converged with it.
    bool record(double compliance, double volumeRatio, double volumeGoal, bool betaSettled);

private:
    double tolerance_;
    std::vector<double> recent_;  // compliances of the counted steps in a row, newest last
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
/// `elapsedSeconds` is the time since the first step began, used for the estimate of the rest.
std::string progressLine(int k, int n, const StepResult& step, double stepSeconds,
                         double elapsedSeconds);
/// Seconds as "12.3 s", "4 min 05 s" or "2 h 07 min".
std::string formatDuration(double seconds);

/// Performs the run. Progress lines (with quiet) and the summary go to `out`, errors of the
/// run itself to `err`; the system's console lines go to the console. `interrupted` is polled
/// between steps (null = never).
int runBatch(const BatchOptions& options, std::ostream& out, std::ostream& err,
             const std::atomic<bool>* interrupted);

}  // namespace ostrel
