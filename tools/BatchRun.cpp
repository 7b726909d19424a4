#include "tools/BatchRun.h"

#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/NumberText.h"
#include "tools/HistoryPlot.h"
#include "core/Timing.h"
#include "core/Version.h"
#include "gpu/Driver.h"
#include "gpu/MultigridSolver.h"
#include "optimization/DesignRegions.h"
#include "optimization/ProblemStart.h"
#include "scene/Scene.h"
#include "tools/BatchCheckpoint.h"
#include "tools/EngineeringReport.h"
#include "tools/InputChecks.h"
#include "tools/RunBreakdown.h"
#include "tools/SmoothShape.h"

namespace ostrel {

namespace {

constexpr int kMaxSteps = RunControl::kLastIteration + 1;
constexpr int kMaxThreads = 1024;

/// A count: plain decimal digits (no sign) from `low` to `high`.
bool parseCount(const std::string& text, int low, int high, int& out) {
    long long value = 0;
    if (text.empty() || text[0] == '+' || text[0] == '-' || !readWhole(text, value) ||
        value < low || value > high)
        return false;
    out = int(value);
    return true;
}

BatchArguments failure(std::string message) {
    BatchArguments result;
    result.action = BatchArguments::Action::Error;
    result.error = "ERROR: " + std::move(message);
    return result;
}

/// Writes and removes a probe file of a few kilobytes in `folder`; the system's reason when that
/// fails, empty when it works.
std::string probeOutputFolder(const std::filesystem::path& folder) {
    const std::filesystem::path probe =
        folder / (".ostrel-batch-probe-" + std::to_string(::getpid()));
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return std::strerror(errno);
    const std::string block(16384, ' ');
    int error = 0;
    for (size_t written = 0; written < block.size() && error == 0;) {
        const ssize_t n = ::write(fd, block.data() + written, block.size() - written);
        if (n > 0)
            written += size_t(n);
        else if (!(n < 0 && errno == EINTR))
            error = n < 0 ? errno : ENOSPC;
    }
    // A file system that allocates late reports a full disk only when the data go out.
    if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    ::unlink(probe.c_str());
    return error ? std::strerror(error) : std::string();
}

/// Creates the output folder, makes sure it takes files, and removes the temporaries that
/// writers killed mid-write left there; false after the error line on `err`.
bool prepareOutputFolder(const std::filesystem::path& outputDirectory, std::ostream& err) {
    if (!outputDirectory.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(outputDirectory, ec);
        if (ec || !std::filesystem::is_directory(outputDirectory)) {
            err << "ERROR: Cannot create output folder " << quotedUtf8(outputDirectory.string())
                << (ec ? ": " + ec.message() : std::string()) << "\n";
            return false;
        }
    }

    // A folder that takes no files would lose every result of the run, found out only at its
    // end: make sure a file of a few kilobytes can be written there (a full disk takes an empty
    // file) before anything starts.
    const std::filesystem::path folder =
        outputDirectory.empty() ? std::filesystem::path(".") : outputDirectory;
    if (const std::string failure = probeOutputFolder(folder); !failure.empty()) {
        err << "ERROR: Cannot write into output folder " << quotedUtf8(folder.string()) << ": "
            << failure << "\n";
        return false;
    }
    // Temporaries of writers killed mid-write (kill -9) would stay in the folder for ever.
    for (const std::string& name : removeStaleTemporaries(folder.string()))
        writeLine(&wideOut(), L"Removed the temporary file " + quoted(fromUtf8(name)) +
                                  L" that an interrupted run left");
    return true;
}

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string batchUsage() {
    return "Usage: ostrel-batch SCENE [--iterations N] [--output DIR] [--device host|cuda] "
           "[--threads N] [--quiet]\n"
           "                    [--shape-every N] [--format obj|stl] [--vtk] "
           "[--original-coordinates]\n"
           "                    [--volume-fraction F] [--filter-radius R] [--min-member V] "
           "[--projection]\n"
           "                    [--converge TOL] [--converge-change DX] [--smooth] "
           "[--solver vcycle|pcg]\n"
           "                    [--tolerance T] [--report [--yield-stress S]]\n"
           "                    [--checkpoint-every N] [--resume DIR] [--engine single|petsc]\n";
}

std::string batchHelp() {
    return batchUsage() +
           "Runs the topology optimization of SCENE without a window, step by step as the "
           "interactive\nprogram does, and writes OptimizedShape_<n>.obj every fifth step, the "
           "history files,\nOptimizedShape_final.obj and history.svg.\n"
           "\n"
           "  -n, --iterations N   perform N steps (1 to 501; default: until the limit of 501)\n"
           "  -o, --output DIR     write every output file into DIR (created if needed;\n"
           "                       default: the working directory)\n"
           "      --device D       host: the CPU; cuda: an NVIDIA GPU (an error without one);\n"
           "                       default: a GPU when there is one, else the CPU\n"
           "      --threads N      worker threads of the CPU loops and the host solver\n"
           "  -q, --quiet          no console output: only the progress lines, the warnings\n"
           "                       and the summary\n"
           "      --shape-every N  write the shape every N steps (default 5; 0: only the\n"
           "                       final shape)\n"
           "      --format F       obj (default) or stl: the shape files' format (binary STL)\n"
           "      --vtk            with every shape, a VTK image-data file <name>.vti for\n"
           "                       ParaView: element densities, design, kept flags and\n"
           "                       energies (cells), displacements (points); with --engine\n"
           "                       petsc a <name>.pvti with one .vti piece per process\n"
           "      --original-coordinates\n"
           "                       write shapes and VTK files in the coordinates of the input\n"
           "                       mesh, so that they lie over the original part\n"
           "      --volume-fraction F  final volume fraction, between 0 and 1 (default: the\n"
           "                       scene's OPTIMIZATION_VOLUME_FRACTION, else 0.36)\n"
           "      --filter-radius R    filter radius in voxel lengths, 1 to 10: the smallest\n"
           "                       member size (default: OPTIMIZATION_FILTER_RADIUS, else\n"
           "                       2*sqrt(3))\n"
           "      --min-member V   the smallest member asked for in voxel lengths, 2 to 8:\n"
           "                       projected densities, filter radius V / 0.885, the eroded\n"
           "                       design solved, the intermediate one written (default:\n"
           "                       OPTIMIZATION_MIN_MEMBER, else none; not a guarantee)\n"
           "      --projection     projected densities: a crisp 0/1 design (as\n"
           "                       OPTIMIZATION_PROJECTION: 1)\n"
           "      --converge TOL   stop when the volume is at its goal, the projection's\n"
           "                       sharpness at its last value and, over the last 10 steps,\n"
           "                       the compliance has changed by less than TOL (relative) or\n"
           "                       no design variable has changed by DX or more\n"
           "      --converge-change DX  the design-change threshold of --converge (default\n"
           "                       0.01)\n"
           "      --smooth         also write the final design as a smooth, closed surface for\n"
           "                       printing: OptimizedShape_smooth.obj (or .stl)\n"
           "      --solver S       vcycle (default): multigrid V-cycles until the relative\n"
           "                       residual is the tolerance; pcg: conjugate gradients\n"
           "                       with one V-cycle per iteration as the preconditioner,\n"
           "                       to the same residual\n"
           "      --tolerance T    the relative residual every step's solve reaches for,\n"
           "                       between 0 and 1 (default 0.01); smaller is more exact\n"
           "                       and slower\n"
           "      --report         solve the final design once more with the scene's\n"
           "                       ELASTIC_MODULUS and POISSON_RATIO: largest displacement\n"
           "                       and von Mises stresses in the summary, \"VonMises\" cells\n"
           "                       in the final VTK file\n"
           "      --yield-stress S with --report, also the safety factors S / stress (S > 0)\n"
           "      --checkpoint-every N  every N steps and after the last one, write the run's\n"
           "                       state into DIR/checkpoint (DIR: the output folder): an\n"
           "                       index and one file per process, written so that an\n"
           "                       interruption leaves the last complete checkpoint\n"
           "      --resume DIR     continue the run of the checkpoint in DIR (a checkpoint\n"
           "                       folder, or an output folder holding one) as if it had\n"
           "                       not stopped; --iterations counts the whole run's steps.\n"
           "                       The scene and mesh files (their contents), the device and\n"
           "                       --volume-fraction, --filter-radius, --projection,\n"
           "                       --solver, --tolerance, --converge and --converge-change\n"
           "                       must be the checkpoint's; the other options may change\n"
           "      --engine E       single (default): this process solves; petsc: the\n"
           "                       many-process engine, run under mpirun or srun: every\n"
           "                       process runs the design steps on the CPU, the solves are\n"
           "                       PETSc's across all of them (PETSc options after --, or in\n"
           "                       PETSC_OPTIONS), process 0 prints and writes the files\n"
           "                       (--vtk: a .pvti with one .vti piece per process)\n"
           "  -h, --help           show this help and exit\n"
           "  -V, --version        show the version and exit\n"
           "\n"
           "Standard output carries the console output (without --quiet) and the summary;\n"
           "standard error the progress line of every step (iteration k/N, time left), the\n"
           "warnings and the errors.\n"
           "Ctrl-C (or SIGTERM) finishes the current step, writes OptimizedShape_final.obj\n"
           "and exits; a second Ctrl-C stops the step in progress at once and leaves the files\n"
           "of the last finished step. Before the first step and while the final files are\n"
           "written, Ctrl-C lets that part finish and a second one ends the program at once.\n"
           "Exit status: 0 done, 1 the run could not start (the scene's voxel model cannot be\n"
           "built or does not fit the memory, no force acts on a vertex that is not fixed,\n"
           "nothing is left to design, more is held solid than the volume fraction, or\n"
           "--resume refused the checkpoint) or its final shape, plot or a checkpoint could\n"
           "not be written, or it broke down (its last 3 solves stopped at the cycle cap, or\n"
           "its compliance rose to more than 1.5 times its best and stayed there: the files\n"
           "are written, but the run is not reported converged),\n"
           "2 bad command line, 130 interrupted.\n"
           "A singular system (the fixed vertices do not hold the model in place) stops the\n"
           "run after its first step with status 1. With --report, status 1 also for a scene\n"
           "material it cannot solve with (before the run) and for a report's solve that\n"
           "missed its tolerance. With --smooth, status 1 also when the\n"
           "smooth shape could not be written or is not fit for printing (such a shape is\n"
           "written as OptimizedShape_smooth_failed.obj or .stl, never under its own name).\n";
}

std::string batchVersion() { return versionLine("ostrel-batch"); }

namespace {

/// One command-line word split into the option's name and a value attached to it
/// ("--name=value", "-xvalue"); short names are replaced by their long ones.
struct OptionWord {
    std::string name, value;
    bool attached = false;
};

OptionWord splitOptionWord(const std::string& arg) {
    OptionWord word;
    if (arg[1] == '-') {
        const size_t eq = arg.find('=');
        word.name = arg.substr(0, eq);
        if (eq != std::string::npos) {
            word.value = arg.substr(eq + 1);
            word.attached = true;
        }
    } else {
        word.name = arg.substr(0, 2);
        if (arg.size() > 2) {
            word.value = arg.substr(2);
            word.attached = true;
        }
    }
    static const struct { const char* shortName; const char* longName; } kAliases[] = {
        {"-n", "--iterations"}, {"-o", "--output"}, {"-q", "--quiet"},
        {"-h", "--help"},       {"-V", "--version"}};
    for (const auto& alias : kAliases)
        if (word.name == alias.shortName) word.name = alias.longName;
    return word;
}

bool takesValue(const std::string& name) {
    for (const char* option : {"--iterations", "--output", "--device", "--threads", "--shape-every",
                               "--format", "--volume-fraction", "--filter-radius", "--min-member",
                               "--converge", "--converge-change", "--solver", "--yield-stress",
                               "--checkpoint-every", "--resume", "--engine", "--tolerance"})
        if (name == option) return true;
    return false;
}

/// Sets the flag `name` in `o`; false when `name` is no flag. --help and --version are the
/// caller's.
bool setFlag(const std::string& name, BatchOptions& o) {
    if (name == "--vtk") o.vtk = true;
    else if (name == "--original-coordinates") o.originalCoordinates = true;
    else if (name == "--projection") o.projection = true;
    else if (name == "--smooth") o.smooth = true;
    else if (name == "--report") o.report = true;
    else if (name == "--quiet") o.quiet = true;
    else return false;
    return true;
}

/// Reads the value of the option `name` (one that takes a value) into `o`; the message when the
/// value is refused, empty when it is taken.
std::string readOptionValue(const std::string& name, const std::string& value, BatchOptions& o) {
    const std::string given = ", not '" + value + "'";
    if (name == "--iterations") {
        if (!parseCount(value, 1, kMaxSteps, o.iterations))
            return "--iterations needs a whole number from 1 to " + std::to_string(kMaxSteps) +
                   given;
    } else if (name == "--threads") {
        if (!parseCount(value, 1, kMaxThreads, o.threads))
            return "--threads needs a whole number from 1 to " + std::to_string(kMaxThreads) +
                   given;
    } else if (name == "--checkpoint-every") {
        if (!parseCount(value, 1, kMaxSteps, o.checkpointEvery))
            return "--checkpoint-every needs a whole number from 1 to " +
                   std::to_string(kMaxSteps) + given;
    } else if (name == "--resume") {
        if (value.empty()) return "--resume needs a checkpoint folder";
        o.resumeFrom = value;
    } else if (name == "--shape-every") {
        if (!parseCount(value, 0, kMaxSteps, o.shapeEvery))
            return "--shape-every needs a whole number from 0 to " + std::to_string(kMaxSteps) +
                   given;
    } else if (name == "--format") {
        if (value == "obj") o.format = ShapeFormat::Obj;
        else if (value == "stl") o.format = ShapeFormat::Stl;
        else return "--format must be 'obj' or 'stl'" + given;
    } else if (name == "--volume-fraction") {
        if (!readReal(value, o.volumeFraction) || !(o.volumeFraction > 0) ||
            !(o.volumeFraction < 1))
            return "--volume-fraction needs a number between 0 and 1 (both excluded)" + given;
    } else if (name == "--filter-radius") {
        if (!readReal(value, o.filterRadius) ||
            !(o.filterRadius >= DesignControls::kMinFilterRadius) ||
            !(o.filterRadius <= DesignControls::kMaxFilterRadius))
            return "--filter-radius needs a number from 1 to 10 (voxel lengths)" + given;
    } else if (name == "--min-member") {
        if (!readReal(value, o.minMember) || !(o.minMember >= DesignControls::kMinMemberSize) ||
            !(o.minMember <= DesignControls::kMaxMemberSize))
            return "--min-member needs a number from 2 to 8 (voxel lengths)" + given;
    } else if (name == "--converge") {
        if (!readReal(value, o.converge) || !(o.converge > 0) || !(o.converge < 1))
            return "--converge needs a tolerance between 0 and 1 (both excluded)" + given;
    } else if (name == "--converge-change") {
        if (!readReal(value, o.convergeChange) || !(o.convergeChange > 0) ||
            !(o.convergeChange < 1))
            return "--converge-change needs a design change between 0 and 1 (both excluded)" +
                   given;
    } else if (name == "--tolerance") {
        if (!readReal(value, o.tolerance) || !(o.tolerance > 0) || !(o.tolerance < 1))
            return "--tolerance needs a relative residual between 0 and 1 (both excluded)" +
                   given;
    } else if (name == "--solver") {
        if (!solveMethodNamed(value, o.solver)) return "--solver must be 'vcycle' or 'pcg'" + given;
    } else if (name == "--yield-stress") {
        if (!readReal(value, o.yieldStress) || !(o.yieldStress > 0))
            return "--yield-stress needs a positive number" + given;
    } else if (name == "--engine") {
        if (value == "single") o.engine = BatchEngine::Single;
        else if (value == "petsc") o.engine = BatchEngine::Petsc;
        else return "--engine must be 'single' or 'petsc'" + given;
    } else if (name == "--device") {
        if (value == "host") o.device = BatchDevice::Host;
        else if (value == "cuda") o.device = BatchDevice::Cuda;
        else return "--device must be 'host' or 'cuda'" + given;
    } else {  // --output
        if (value.empty()) return "--output needs a folder name";
        o.outputDirectory = value;
    }
    return {};
}

}  // namespace

BatchArguments parseBatchArguments(const std::vector<std::string>& args) {
    BatchArguments result;
    BatchOptions& o = result.options;
    bool haveScene = false, optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!isOption) {
            if (haveScene) return failure("Unexpected argument '" + arg + "': give one scene file");
            o.sceneFile = arg;
            haveScene = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        OptionWord word = splitOptionWord(arg);
        const std::string& name = word.name;
        if (!takesValue(name)) {
            // A flag; the options are dropped on any failure, so it may be set before the check.
            if (name != "--help" && name != "--version" && !setFlag(name, o))
                return failure("Unknown option '" + arg + "'");
            if (word.attached) return failure("Option '" + name + "' takes no value");
            if (name == "--help") return result.action = BatchArguments::Action::Help, result;
            if (name == "--version") return result.action = BatchArguments::Action::Version, result;
            continue;
        }
        if (!word.attached) {
            if (i + 1 >= args.size()) return failure("Option '" + name + "' needs a value");
            word.value = args[++i];
        }
        if (std::string refused = readOptionValue(name, word.value, o); !refused.empty())
            return failure(refused);
    }
    if (o.minMember > 0 && o.filterRadius > 0)
        return failure("--min-member sets the filter radius: give --filter-radius or "
                       "--min-member, not both");
    if (!haveScene) return failure("No scene file given");
    if (o.yieldStress > 0 && !o.report) return failure("--yield-stress needs --report");
    if (o.engine == BatchEngine::Petsc) {
        if (o.device == BatchDevice::Cuda)
            return failure("--engine petsc runs the design steps on the CPU: --device cuda does "
                           "not apply");
        if (o.solver != SolveMethod::VCycles)
            return failure("--solver does not apply to --engine petsc: its solves are PETSc's "
                           "conjugate gradients with a multigrid preconditioner (PETSc options "
                           "after -- change them)");
    }
    return result;
}

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return "?";
    if (seconds < 59.95) return printed("%.1f s", seconds);
    const long total = std::lround(seconds);
    char text[64];
    if (total < 3600)
        std::snprintf(text, sizeof text, "%ld min %02ld s", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %02ld min", total / 3600, total / 60 % 60);
    return text;
}

std::string progressLine(int k, int n, const StepResult& step, double stepSeconds,
                         double left) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Iteration %d/%d  compliance %.6g  volume %.4f  cycles %d%s  %s  left %s", k, n,
                  step.strainEnergy, step.volumeRatio, step.cycles,
                  step.converged                                ? ""
                  : step.cycles >= MultigridSolver::kMaxCycles ? " (not converged: cycle cap)"
                                                                : " (not converged)",
                  formatDuration(stepSeconds).c_str(), formatDuration(left).c_str());
    return text;
}

void TimeLeftEstimator::addStep(double stepSeconds, int cycles, double cycleSeconds) {
    const double seconds = std::max(stepSeconds, 0.0);
    steps_.push_back({seconds, std::max(cycles, 0), std::clamp(cycleSeconds, 0.0, seconds)});
}

double TimeLeftEstimator::secondsLeft(int stepsLeft) const {
    if (steps_.empty() || stepsLeft <= 0) return 0.0;
    const size_t n = steps_.size();
    const double remaining = stepsLeft;

    // Cost of a step = fixed + perCycle * cycles, both measured over the recent steps.
    const size_t first = std::max<size_t>(n > kWindow ? n - kWindow : 0, n > 1 ? 1 : 0);
    double fixed = 0, cycleSeconds = 0, cycles = 0;
    for (size_t i = first; i < n; ++i) {
        fixed += (steps_[i].seconds - steps_[i].cycleSeconds) / double(n - first);
        cycleSeconds += steps_[i].cycleSeconds;
        cycles += steps_[i].cycles;
    }
    const double perCycle = cycles > 0 ? cycleSeconds / cycles : 0.0;

    // The cycle counts, smoothed over three steps.
    auto smoothed = [&](size_t i) {
        const size_t from = i >= 2 ? i - 2 : 0;
        double sum = 0;
        for (size_t j = from; j <= i; ++j) sum += steps_[j].cycles;
        return sum / double(i - from + 1);
    };
    double lowest = steps_[0].cycles;
    for (const Step& step : steps_) lowest = std::min(lowest, double(step.cycles));
    const double current = smoothed(n - 1);
    // The steps for which the count has stayed near its current level (within 0.7 to 1.4
    // times it): a count that falls leaves this band behind at once, one that holds widens it.
    size_t held = 0;
    while (held < n) {
        const double level = smoothed(n - 1 - held);
        if (level < 0.7 * current || level > 1.4 * current) break;
        ++held;
    }
    // A settled design needs about one cycle per solve (none for a model without loads). The
    // count falls towards that with a time constant of kSettlingSteps steps, or of as many
    // steps as it has held its level, whichever is longer.
    const double floor = std::min(1.0, lowest);
    const double tau = std::max(kSettlingSteps, double(held));
    const double q = std::exp(-1.0 / tau);
    const double futureCycles =
        floor * remaining + (current - floor) * q * (1.0 - std::pow(q, remaining)) / (1.0 - q);
    return std::max(0.0, fixed * remaining + perCycle * futureCycles);
}

bool ConvergenceWatch::record(double compliance, double volumeRatio, double volumeGoal,
                              bool betaSettled, double designChange) {
    rule_ = Rule::None;
    auto keep = [](std::vector<Step>& steps, Step step) {
        steps.push_back(step);
        if (steps.size() > size_t(kWindow)) steps.erase(steps.begin());
    };
    keep(last_, {compliance, designChange});
    if (!betaSettled || !std::isfinite(compliance)) {
        counted_.clear();
        return false;
    }
    keep(counted_, {compliance, designChange});
    if (counted_.size() < size_t(kWindow)) return false;
    if (!(std::fabs(volumeRatio - volumeGoal) <= kVolumeTolerance)) return false;
    double low = counted_[0].compliance, high = low, largest = 0.0;
    for (const Step& step : counted_) {
        low = std::min(low, step.compliance);
        high = std::max(high, step.compliance);
        largest = std::max(largest, step.designChange);
    }
    if (high - low < tolerance_ * std::fabs(compliance))
        rule_ = Rule::Compliance;
    else if (largest < designChange_)
        rule_ = Rule::DesignChange;
    return rule_ != Rule::None;
}

double ConvergenceWatch::complianceSpread() const {
    if (last_.empty()) return 0.0;
    double low = last_[0].compliance, high = low;
    for (const Step& step : last_) {
        low = std::min(low, step.compliance);
        high = std::max(high, step.compliance);
    }
    const double last = std::fabs(last_.back().compliance);
    return last > 0.0 ? (high - low) / last : 0.0;
}

double ConvergenceWatch::largestDesignChange() const {
    double largest = 0.0;
    for (const Step& step : last_) largest = std::max(largest, step.designChange);
    return largest;
}

namespace {

/// The program's stop requests and phase changes, either of which may be absent.
struct RunSignals {
    const std::function<int()>& stopRequests;
    const std::function<void(BatchPhase)>& enterPhase;
    /// A many-process run's processes; null: one process.
    const BatchRanks* ranks = nullptr;

    /// The requests so far; in a many-process run the most that any process has had, so that
    /// every process stops after the same step (collective there).
    int requests() const {
        const int own = stopRequests ? stopRequests() : 0;
        return ranks ? ranks->largest(own) : own;
    }
    bool interrupted() const { return requests() >= 1; }
    void enter(BatchPhase next) const {
        if (enterPhase) enterPhase(next);
    }
};

/// Sets the device and thread choices and the design overrides of the start; false after the
/// error line when a CUDA device was asked for and there is none.
bool chooseStart(const BatchOptions& options, StartOptions& start, std::ostream& err) {
    DeviceOptions& device = start.problem.device;
    // The engine's design steps run on the host device whatever devices the machine has.
    device.forceHost = options.device == BatchDevice::Host || options.engine == BatchEngine::Petsc;
    device.hostThreads = options.threads;
    if (options.device == BatchDevice::Cuda && openDriver(device)->isHost()) {
        err << "ERROR: No CUDA device available\n";
        return false;
    }
    if (options.threads > 0) omp_set_num_threads(options.threads);
    start.problem.overrides = {options.volumeFraction, options.filterRadius, options.projection,
                               options.minMember};
    start.problem.solver = options.solver;
    return true;
}

/// Warns on the console about an open mesh and a voxel model in several pieces.
void warnAboutShape(const Scene& scene, const Problem& problem) {
    std::wstring meshName;
    scene.file().getString(L"MESH", meshName, nullptr, true);
    checkMeshClosed(scene.mesh(), meshName, &wideOut());
    checkSinglePiece(elementPieceSizes(problem.model()), &wideOut());
}

/// The map from model coordinates to the written ones (the input mesh's with
/// --original-coordinates); false after the error line when the scene's mesh transformation
/// cannot be undone.
bool outputTransform(const BatchOptions& options, const Scene& scene, Matrix4& toOutput,
                     std::ostream& err) {
    toOutput = Matrix4::identity();
    if (!options.originalCoordinates) return true;
    toOutput = inverse(scene.meshToModel_);
    if (toOutput(3, 3) != 0.0f) return true;
    err << "ERROR: --original-coordinates: the scene's MESH_TRANSFORMATION cannot be undone (it "
           "flattens the mesh)\n";
    return false;
}

/// Writes the design check's warnings; false after its error when the design cannot be
/// optimized (refused before anything of the run is written).
bool checkDesignBeforeRun(const Problem& problem, std::ostream& err) {
    const DesignCheck design = checkDesign(problem.model(), problem.controls(), problem.regions(),
                                            &problem.moreLoads());
    for (const std::wstring& warning : design.warnings) err << toUtf8(warning) << "\n";
    if (design.error.empty()) return true;
    err << toUtf8(design.error) << "\n";
    return false;
}

/// Whether the summary reports the design: with --converge, a design option, or a design key
/// of the scene that differs from the default.
bool wantsDesignReport(const BatchOptions& options, const DesignControls& controls) {
    return options.converge > 0 || options.volumeFraction > 0 || options.filterRadius > 0 ||
           controls.projection != 0 || controls.minMember > 0 ||
           !DensityFilter::isDefaultRadius(controls.filterRadius) ||
           controls.volumeFraction != DesignControls::kDefaultVolumeFraction ||
           !controls.keepSolid.empty() || !controls.keepEmpty.empty();
}

/// What the loop of steps leaves for the final files and the summary.
struct StepsDone {
    std::vector<HistoryPoint> history;
    /// Every step as recorded, for a checkpoint (the rest is made from these alone).
    std::vector<BatchStepRecord> records;
    double firstCompliance = 0.0;
    int done = 0;
    bool converged = false;
    bool singular = false;  ///< the run control found the system singular and stopped
    bool noLoad = false;    ///< a step was refused for want of a load
    ConvergenceWatch watch;
    RunBreakdown breakdown;

    explicit StepsDone(const BatchOptions& options)
        : watch(options.converge, options.convergeChange) {}
};

/// Records one finished step in `steps`: its history point, the breakdown test and, with
/// --converge, the convergence test. A resumed run replays the checkpoint's records through it.
void recordStep(const BatchOptions& options, const BatchStepRecord& step, StepsDone& steps) {
    if (steps.done == 0) steps.firstCompliance = step.compliance;
    ++steps.done;
    steps.records.push_back(step);
    steps.history.push_back(
        {step.iteration, step.compliance, step.volumeRatio, step.sharpness});
    steps.breakdown.record(step.iteration, step.compliance, step.volumeRatio, step.volumeGoal,
                           step.solveConverged);
    // A step whose solve missed its tolerance does not count towards convergence.
    if (options.converge > 0)
        steps.converged =
            steps.watch.record(step.compliance, step.volumeRatio, step.volumeGoal,
                               step.betaSettled && step.solveConverged, step.designChange);
}

/// The checkpoints of a run (--checkpoint-every): what they belong to and where they go.
struct Checkpoints {
    int every = 0;  ///< 0: none
    std::filesystem::path folder;
    CheckpointIdentity identity;
    int lastWritten = -1;  ///< steps done at the last checkpoint written
    bool failed = false;   ///< a checkpoint could not be written

    /// A many-process run's processes; null: one process.
    const BatchRanks* ranks = nullptr;

    /// Writes the checkpoint of the run after its `steps`; the error line on `err` when that
    /// fails (the run goes on). In a many-process run every process writes its own file and
    /// process 0 the index once every file is written.
    void write(RunControl& run, const StepsDone& steps, std::ostream& err) {
        BatchCheckpoint c{identity, run.checkpoint(), steps.records};
        std::string error;
        const bool written = ranks ? writeShared(c, error) : writeBatchCheckpoint(folder, c, error);
        if (!written) {
            err << error << "\n" << std::flush;
            failed = true;
        }
        lastWritten = steps.done;
    }

private:
    /// The many-process checkpoint: every rank's file, then the index from their entries.
    /// Collective; the same result on every process.
    bool writeShared(const BatchCheckpoint& c, std::string& error) const {
        RankFileEntry entry;
        const bool own = writeRankFile(folder, c, ranks->rank, entry, error);
        if (ranks->largest(own ? 0 : 1) != 0) {
            if (own) error = "ERROR: Cannot write checkpoint: another process could not write "
                             "its file";
            return false;
        }
        const std::vector<std::string> texts = ranks->gather(
            std::to_string(entry.rank) + " " + std::to_string(entry.bytes) + " " +
            entry.checksum + " " + entry.file);
        bool indexed = true;
        if (ranks->rank == 0) {
            std::vector<RankFileEntry> files;
            for (const std::string& text : texts) {
                RankFileEntry e;
                std::istringstream in(text);
                in >> e.rank >> e.bytes >> e.checksum;
                std::getline(in >> std::ws, e.file);
                files.push_back(e);
            }
            indexed = writeCheckpointIndex(folder, identity, c.design.iteration, files, error);
        }
        if (ranks->largest(indexed ? 0 : 1) != 0) {
            if (indexed) error = "ERROR: Cannot write checkpoint: process 0 could not write its "
                                 "index";
            return false;
        }
        return true;
    }
};

/// Performs steps until the requested number is done, the run has converged, an interrupt
/// comes, or the run control stops; one progress line on `err` per step.
void performSteps(const BatchOptions& options, RunControl& run, const RunSignals& signals,
                  Checkpoints& checkpoints, StepsDone& steps, std::ostream& err) {
    const int planned = options.iterations > 0 ? options.iterations : kMaxSteps;
    const auto start = std::chrono::steady_clock::now();
    auto lastFrame = start;
    TimeLeftEstimator timeLeft;
    while (!steps.converged && !signals.interrupted() &&
           !(options.iterations > 0 && steps.done >= options.iterations)) {
        const auto frame = std::chrono::steady_clock::now();
        // The densities this step solves were projected with the beta of the last update.
        const Optimizer& optimizer = run.optimizer();
        const bool betaSettled =
            !optimizer.isProjected() || (optimizer.isReset() && optimizer.densitiesAtLastBeta());
        const StepResult step =
            run.frameMove(std::chrono::duration<double>(frame - start).count(),
                          float(std::chrono::duration<double>(frame - lastFrame).count()));
        lastFrame = frame;
        // Not performed: stopped at once, refused for want of a load (checked before the run
        // too), or the run control's limit cleared the run flag.
        if (step.noLoad) {
            steps.noLoad = true;
            return;
        }
        if (!step.performed) break;
        recordStep(options,
                   {step.iteration, step.strainEnergy, step.volumeRatio, step.sharpness,
                    step.designChange, run.optimizer().volumeGoal(), step.converged,
                    betaSettled},
                   steps);
        const double stepSeconds = secondsSince(frame);
        timeLeft.addStep(stepSeconds, step.cycles, step.cycleSeconds);
        // After the step's console lines, so that a terminal shows it below them.
        std::flush(narrowOut());
        // One write with its line end, so that the stop request's line never splits it.
        err << progressLine(steps.done, planned, step, stepSeconds,
                            timeLeft.secondsLeft(planned - steps.done)) +
                   "\n"
            << std::flush;
        // The run control has said so on the console and cleared the run flag.
        if (step.singular) {
            steps.singular = true;
            break;
        }
        if (checkpoints.every > 0 && steps.done % checkpoints.every == 0)
            checkpoints.write(run, steps, err);
    }
    // The last finished step's state too, unless the run stopped within a step (a second
    // request: the solve in progress left its displacement half done) or broke off.
    if (checkpoints.every > 0 && steps.done > 0 && checkpoints.lastWritten != steps.done &&
        !steps.singular && signals.requests() < 2)
        checkpoints.write(run, steps, err);
}

/// The lines of a run stopped at once by a second request; its exit status.
int reportStoppedAtOnce(const StepsDone& steps, std::ostream& out, std::ostream& err) {
    out << std::flush;
    if (steps.done == 0)
        err << "Stopped at once before the first step was finished; no shape written\n";
    else
        err << "Stopped at once: the files of step " << steps.history.back().iteration
            << ", the last one finished, are complete; OptimizedShape_final and "
               "history.svg were not written\n";
    return kExitInterrupted;
}

/// The final files and how writing them went.
struct FinalFiles {
    bool solved = false;       ///< the final design's solve converged
    double compliance = 0.0;   ///< the final design's
    std::vector<double> caseCompliances;  ///< of each load case, with several
    std::filesystem::path shape, smoothShape, plot;
    bool shapeOk = false, smoothOk = true, plotOk = false;
    SmoothSurfaceReport smooth;
    DesignReport engineering;  ///< with --report: the figures in the scene's units
};

/// Solves the design as the last step left it once more, so that its displacement and energies
/// are its own, and writes every final output from that one snapshot: the final shape, the
/// smooth shape (with --smooth) and the history plot; with --report, the figures in the scene's
/// units and their cells in the final VTK file. Without `writesFiles` (a process of a
/// many-process run other than 0) it takes part in the solve, the snapshot and the report and
/// writes nothing.
FinalFiles writeFinalFiles(const BatchOptions& options, const Scene& scene, Problem& problem,
                           RunControl& run, const ResultFiles& results,
                           const Matrix4& toOutput, const std::vector<HistoryPoint>& history,
                           bool writesFiles, std::ostream& err) {
    FinalFiles files;
    files.solved = run.solveCurrentDesign();
    files.compliance = run.optimizer().totalEnergy();
    files.caseCompliances = run.optimizer().caseCompliances();
    const DesignSnapshot finalState = run.snapshot();
    if (options.report)
        files.engineering = reportDesign(problem, scene, finalState.density,
                                         run.optimizer().penalty(), {options.yieldStress}, err);
    files.shape = results.shapePath("OptimizedShape_final");
    files.smoothShape = results.shapePath("OptimizedShape_smooth");
    files.plot = run.outputPath("history.svg");
    // The other processes of a many-process run took part in the solve, the snapshot and the
    // report; process 0 alone writes.
    if (!writesFiles) {
        files.shapeOk = files.plotOk = true;
        return files;
    }
    files.shapeOk = results.write("OptimizedShape_final", finalState, files.engineering.cells);
    if (options.smooth)
        files.smoothOk =
            writeSmoothShape(problem.model(), finalState, boundedBy(scene.mesh()),
                             files.smoothShape, options.format, toOutput, files.smooth,
                             &wideOut(), &err);
    files.plotOk =
        writeHistorySvg(files.plot, history, "ostrel-batch: " + options.sceneFile, &err);
    return files;
}

/// How the run ended, for the summary.
struct RunEnd {
    bool stopped;              ///< interrupted during the steps
    bool stoppedInFinalFiles;  ///< interrupted while the final files were written
    bool brokeDown;            ///< RunBreakdown found a breakdown
};

/// The summary's figures: iterations, volume, held elements, compliance, times.
void printRunFigures(const StepsDone& steps, const FinalFiles& files, const Problem& problem,
                     const ProgramLifetime& lifetime, std::ostream& out) {
    const HistoryPoint& last = steps.history.back();
    const DesignRegions& regions = problem.regions();
    out << "Iterations: " << steps.done << " (" << steps.history.front().iteration << " to "
        << last.iteration << ")\n";
    out << "Final volume fraction: " << printed("%.4f", last.volumeFraction) << "\n";
    // What the design could not change: the elements at supports and loads, and the boxes'.
    out << "Held solid: " << regions.keptAtVertices << " elements at fixed or loaded vertices, "
        << regions.keptCount - regions.keptAtVertices << " more in keep-solid boxes; held empty: "
        << regions.emptyHeldCount << " elements in keep-empty boxes\n";
    // The ratio to the first iteration only where it means something: a model without loads
    // has compliance 0 throughout.
    const double ratio = files.compliance / steps.firstCompliance;
    out << "Compliance: " << printed("%.6g", files.compliance) << " (the final design's, solved "
        << (files.solved ? "once more" : "once more without converging");
    if (steps.firstCompliance != 0 && std::isfinite(ratio))
        out << "; " << printed("%.4g", ratio) << " x the first iteration's";
    out << ")\n";
    // With several load cases the compliance above is their weighted sum.
    for (size_t c = 0; c < files.caseCompliances.size(); ++c)
        out << "Compliance of load case " << c + 1 << ": "
            << printed("%.6g", files.caseCompliances[c]) << "\n";
    out << "Total solve time: " << formatDuration(lifetime.totalSolveSeconds)
        << "    Total optimize time: " << formatDuration(lifetime.totalOptimizeSeconds) << "\n";
}

/// The summary's design lines: the controls, the grey fraction and why the run stopped.
void printDesignReport(const BatchOptions& options, const StepsDone& steps, const RunEnd& end,
                       const DesignControls& controls, double greyFraction, std::ostream& out) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Design: volume fraction %.6g, filter radius %.6g, projection %d, "
                  "%zu keep-solid and %zu keep-empty boxes\n",
                  controls.volumeFraction, controls.filterRadius,
                  controls.minMember > 0 ? 1 : controls.projection,
                  controls.keepSolid.size(), controls.keepEmpty.size());
    out << text;
    if (controls.minMember > 0)
        out << "Minimum member: " << printed("%.6g", controls.minMember)
            << " voxels (the eroded design solved, the intermediate one written)\n";
    out << "Grey fraction: " << printed("%.4f", greyFraction)
        << " (designable elements with 0.1 < density < 0.9)\n";
    // Short of convergence, how close the run came by both rules.
    std::string closeness;
    const ConvergenceWatch& watch = steps.watch;
    if (options.converge > 0) {
        std::snprintf(text, sizeof text,
                      " (over the last %d iterations the compliance changed by %.3g, "
                      "tolerance %g; the largest design change was %.3g, threshold %g)",
                      watch.recentSteps(), watch.complianceSpread(), options.converge,
                      watch.largestDesignChange(), options.convergeChange);
        closeness = text;
    }
    if (end.brokeDown)
        out << "Stopped: " << steps.breakdown.reason() << "\n";
    else if (steps.converged && watch.rule() == ConvergenceWatch::Rule::Compliance)
        out << "Stopped: converged (volume within " << ConvergenceWatch::kVolumeTolerance
            << " of its goal, compliance within " << options.converge << " over the last "
            << ConvergenceWatch::kWindow << " iterations)\n";
    else if (steps.converged)
        out << "Stopped: converged (volume within " << ConvergenceWatch::kVolumeTolerance
            << " of its goal, every design change below " << options.convergeChange
            << " over the last " << ConvergenceWatch::kWindow << " iterations)\n";
    else if (end.stopped || end.stoppedInFinalFiles)
        out << "Stopped: interrupted\n";
    else if (options.iterations > 0 && steps.done >= options.iterations)
        out << "Stopped: " << steps.done << " iterations done"
            << (options.converge > 0 ? " before convergence" : "") << closeness << "\n";
    else
        out << "Stopped: the limit of " << kMaxSteps << " iterations reached"
            << (options.converge > 0 ? " before convergence" : "") << closeness << "\n";
}

/// The summary's lines naming the files written.
void printFileLines(const BatchOptions& options, const FinalFiles& files,
                    const ResultFiles& results, std::ostream& out) {
    if (files.shapeOk) out << "Final shape: " << quotedUtf8(files.shape.string()) << "\n";
    if (files.shapeOk && options.vtk)
        out << "Final VTK file: " << quotedUtf8(results.vtkPath("OptimizedShape_final").string())
            << "\n";
    if (options.smooth && files.smooth.targetVolume > 0) {
        const SmoothSurfaceReport& smooth = files.smooth;
        char text[200];
        std::snprintf(text, sizeof text,
                      " (level %.4g, volume %.6g of the design's %.6g, %zu vertices repaired)\n",
                      smooth.level, smooth.volume, smooth.targetVolume, smooth.repaired);
        const std::filesystem::path failed = failedSmoothShapePath(files.smoothShape);
        if (files.smoothOk)
            out << "Smooth shape: " << quotedUtf8(files.smoothShape.string()) << text;
        else if (std::filesystem::exists(failed))
            out << "Smooth shape, not fit for printing: " << quotedUtf8(failed.string()) << text;
    }
    if (files.plotOk) out << "History plot: " << quotedUtf8(files.plot.string()) << "\n";
}

std::string exactText(double value) { return printed("%.17g", value); }

/// What this run's checkpoints belong to; false after the error line when the scene or mesh
/// file cannot be read back.
bool runIdentity(const BatchOptions& options, const Scene& scene, Problem& problem,
                 const BatchRanks* ranks, CheckpointIdentity& identity, std::ostream& err) {
    identity.ranks = ranks ? ranks->size : 1;
    const std::filesystem::path mesh = toUtf8(scene.meshFileName());
    for (const auto& [file, checksum] : {std::pair{std::filesystem::path(options.sceneFile),
                                                   &identity.sceneFile},
                                         std::pair{mesh, &identity.meshFile}})
        if (!fileChecksum(file, *checksum)) {
            err << "ERROR: Cannot read " << quotedUtf8(file.string())
                << " back for the checkpoint's identity\n";
            return false;
        }
    // The engine's solves differ from the host device's: a checkpoint of one does not continue
    // on the other.
    identity.device = options.engine == BatchEngine::Petsc     ? "petsc"
                      : problem.solver().driver().isHost() ? "host"
                                                           : "cuda";
    const DesignControls& controls = problem.controls();
    identity.options = {
        {"volume-fraction", exactText(controls.volumeFraction)},
        {"min-member", exactText(controls.minMember)},
        {"filter-radius", exactText(controls.filterRadius)},
        {"projection", std::to_string(controls.projection)},
        {"solver", options.solver == SolveMethod::ConjugateGradients ? "pcg" : "vcycle"},
        {"tolerance", exactText(options.tolerance)},
        {"converge", exactText(options.converge)},
        {"converge-change", exactText(options.convergeChange)}};
    return true;
}

/// Continues the run of `checkpoint` (read already): checks that it belongs to this run, puts
/// its state into the run control and replays its steps' records into `steps`; false after the
/// error line.
bool resumeRun(const BatchOptions& options, const BatchCheckpoint& checkpoint,
               const CheckpointIdentity& identity, RunControl& run, StepsDone& steps,
               std::ostream& err) {
    // A checkpoint written before --tolerance existed was solved at the default tolerance.
    CheckpointIdentity saved = checkpoint.identity;
    if (std::none_of(saved.options.begin(), saved.options.end(),
                     [](const auto& option) { return option.first == "tolerance"; }))
        saved.options.emplace_back("tolerance", exactText(kDefaultSolveTolerance));
    if (const std::string refused = identityMismatch(saved, identity); !refused.empty()) {
        err << refused << "\n";
        return false;
    }
    if (!run.resume(checkpoint.design)) {
        err << "ERROR: Cannot resume: the checkpoint does not fit the scene's model\n";
        return false;
    }
    for (const BatchStepRecord& step : checkpoint.steps) recordStep(options, step, steps);
    writeLine(&wideOut(), L"Resumed after step " +
                              std::to_wstring(checkpoint.design.iteration - 1) + L" from " +
                              quoted(fromUtf8(options.resumeFrom.string())));
    return true;
}

constexpr const char* kRankFolderPrefix = "ostrel-batch-rank-";

/// This machine's name as a rank folder's name holds it: letters, digits, '.' and '_' as they
/// are, anything else as '_'.
std::string machineTag() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
    std::string tag(name);
    for (char& c : tag)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') c = '_';
    return tag.empty() ? "unknown" : tag;
}

/// Removes from `folder` the rank folders of this machine (kRankFolderPrefix<rank>-<machine>-
/// <pid>) whose process no longer runs: a run ended at once (an error on another process, a
/// kill) leaves its folders behind. Another machine's folders (a temporary folder that several
/// machines share) are that machine's to remove: their processes cannot be seen from here.
void removeOrphanedRankFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    const std::string here = "-" + machineTag() + "-";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const size_t dash = name.rfind('-');
        if (name.rfind(kRankFolderPrefix, 0) != 0 || dash == std::string::npos) continue;
        if (dash + 1 < here.size() + std::string(kRankFolderPrefix).size() ||
            name.compare(dash + 1 - here.size(), here.size(), here) != 0)
            continue;
        const std::string digits = name.substr(dash + 1);
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = pid_t(std::stol(digits));
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(entry.path(), ec);
    }
}

/// A folder of its own for a process other than 0 of a many-process run (its history files and
/// final shape, which nobody reads), removed with everything in it when the run ends; the
/// folders of earlier runs' processes that have ended go when it is made.
class RankFolder {
public:
    explicit RankFolder(int rank) {
        if (rank == 0) return;
        const std::filesystem::path temporary = std::filesystem::temp_directory_path();
        removeOrphanedRankFolders(temporary);
        path_ = temporary / (kRankFolderPrefix + std::to_string(rank) + "-" + machineTag() +
                             "-" + std::to_string(::getpid()));
    }
    ~RankFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    RankFolder(const RankFolder&) = delete;
    RankFolder& operator=(const RankFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

/// What a process other than 0 of a many-process run does of `options`: the same run, its
/// files in `folder` and no more files than the run itself needs (it takes the shape files'
/// snapshots with process 0, whose shape it helps to make, and writes none of them).
BatchOptions optionsOfRank(const BatchOptions& options, const std::filesystem::path& folder) {
    BatchOptions own = options;
    own.outputDirectory = folder;
    own.vtk = false;
    own.smooth = false;
    return own;
}

}  // namespace

int runBatch(const BatchOptions& options, std::ostream& out, std::ostream& err,
             const std::function<int()>& stopRequests,
             const std::function<void(BatchPhase)>& enterPhase, const BatchRanks* ranks) {
    const RunSignals signals{stopRequests, enterPhase, ranks};
    // The console of a process other than 0 writes nowhere: what it would say of a failure in
    // the set-up is held for process 0 to print when that process alone fails.
    std::ostringstream held;
    std::ostream& errors = ranks && ranks->rank != 0 ? held : err;
    // A failure that some process found is every process's (collective with `ranks`); process
    // 0 prints the reason of the first process that failed when it has none of its own.
    const auto anyFailed = [ranks, &held, &err](bool failed) {
        if (!ranks) return failed;
        if (ranks->largest(failed ? 1 : 0) == 0) return false;
        const std::vector<std::string> reasons = ranks->gather(failed ? held.str() : "");
        held.str("");
        if (ranks->rank == 0 && !failed) {
            const auto first = std::find_if(reasons.begin(), reasons.end(),
                                            [](const std::string& r) { return !r.empty(); });
            if (first != reasons.end()) err << *first << std::flush;
        }
        return true;
    };
    signals.enter(BatchPhase::Setup);
    const RankFolder rankFolder(ranks ? ranks->rank : 0);
    const BatchOptions& own =
        rankFolder.path().empty() ? options : optionsOfRank(options, rankFolder.path());
    if (anyFailed(!prepareOutputFolder(own.outputDirectory, errors))) return kExitFailed;
    StartOptions startOptions;
    if (!chooseStart(options, startOptions, errors)) return kExitFailed;
    if (ranks) {
        startOptions.problem.voxelSplit = ranks->voxelSplit;
        startOptions.problem.processes = ranks->size;
        startOptions.problem.processesHere = ranks->sizeHere;
    }

    // A checkpoint that cannot be resumed is refused before the scene is loaded.
    BatchCheckpoint checkpoint;
    if (!options.resumeFrom.empty()) {
        std::string error;
        const bool read = readBatchCheckpoint(options.resumeFrom, ranks ? ranks->rank : 0,
                                              ranks ? ranks->size : 1, checkpoint, error);
        if (!read) errors << error << "\n";
        if (anyFailed(!read)) return kExitFailed;
    }

    ProgramLifetime lifetime;
    StartedProblem started = startProblem(options.sceneFile, startOptions);
    const bool noDevice = started.status == StartStatus::NoDevice;
    if (started.status == StartStatus::CannotLoad) errors << started.error << "\n";
    if (anyFailed(started.status != StartStatus::Started))
        return noDevice ? kExitNoDevice : kExitFailed;
    const Scene& scene = *started.scene;
    Problem& problem = *started.problem;
    // --report needs a material it can solve with: refused before the run, not after it.
    if (const std::string bad = options.report ? materialError(scene) : ""; !bad.empty()) {
        errors << "ERROR: --report: " << bad << "\n";
        return kExitFailed;
    }
    warnAboutShape(scene, problem);
    Matrix4 toOutput;
    if (!outputTransform(options, scene, toOutput, errors)) return kExitFailed;
    if (!checkDesignBeforeRun(problem, errors)) return kExitFailed;
    DesignSplit* const split = ranks ? ranks->attach(problem) : nullptr;

    // A second request stops the solve between two cycles.
    problem.solver().setStopRequest([signals] { return signals.requests() >= 2; });
    // A many-process run's VTK files are a .pvti with one piece per process.
    const ResultFiles results(problem.model(), own.outputDirectory, own.format, own.vtk,
                              toOutput, &wideOut(), &errors, ranks ? ranks->size : 0);
    RunControlOptions runOptions;
    runOptions.outputDirectory = own.outputDirectory;
    runOptions.shapeFileInterval = own.shapeEvery;
    runOptions.solveTolerance = own.tolerance;
    runOptions.designSplit = split;
    // Of the result files only the VTK images show the displacement.
    runOptions.snapshotDisplacement = own.vtk;
    const bool writesFiles = !ranks || ranks->rank == 0;
    runOptions.shapeFileWriter = [&results, writesFiles](int iteration,
                                                         const DesignSnapshot& state) {
        return !writesFiles ||
               results.write("OptimizedShape_" + std::to_string(iteration), state);
    };
    RunControl run(problem.model(), problem.solver(), lifetime, runOptions);
    run.optimizer().setControls(problem.controls());
    run.setRunning(true);

    Checkpoints checkpoints;
    checkpoints.every = options.checkpointEvery;
    checkpoints.folder = checkpointFolder(options.outputDirectory);
    checkpoints.ranks = ranks;
    StepsDone steps(options);
    if (options.checkpointEvery > 0 || !options.resumeFrom.empty()) {
        if (anyFailed(!runIdentity(options, scene, problem, ranks, checkpoints.identity, errors)))
            return kExitFailed;
        if (options.checkpointEvery > 0 && (!ranks || ranks->rank == 0) &&
            std::filesystem::is_directory(checkpoints.folder))
            for (const std::string& name : removeStaleTemporaries(checkpoints.folder.string()))
                writeLine(&wideOut(), L"Removed the temporary file " + quoted(fromUtf8(name)) +
                                          L" that an interrupted run left");
    }
    if (!options.resumeFrom.empty() &&
        anyFailed(!resumeRun(options, checkpoint, checkpoints.identity, run, steps, errors)))
        return kExitFailed;

    signals.enter(BatchPhase::Steps);
    performSteps(options, run, signals, checkpoints, steps, err);
    if (steps.noLoad) return kExitFailed;
    const bool stopped = signals.interrupted();
    std::flush(narrowOut());
    // From here on the signal handler ends the process at a second request.
    if (steps.done > 0 && !steps.singular) signals.enter(BatchPhase::FinalFiles);
    if (signals.requests() >= 2) return reportStoppedAtOnce(steps, out, err);
    if (steps.singular) return kExitFailed;
    if (steps.done == 0) {
        err << "Interrupted before the first step; nothing written\n" << std::flush;
        return kExitInterrupted;
    }

    const FinalFiles files =
        writeFinalFiles(own, scene, problem, run, results, toOutput, steps.history, writesFiles,
                        err);
    // A request that came while the final files were written: they were finished all the same.
    RunEnd end{stopped, !stopped && signals.interrupted(), false};
    // A run that broke down says so, whatever its convergence test said.
    end.brokeDown = !end.stopped && !end.stoppedInFinalFiles &&
                    steps.breakdown.kind() != RunBreakdown::Kind::None;
    if (end.brokeDown) err << steps.breakdown.message() << "\n";
    if (end.stopped) out << "Interrupted: the step in progress was finished\n";
    if (end.stoppedInFinalFiles) out << "Interrupted: the final files were finished\n";
    printRunFigures(steps, files, problem, lifetime, out);
    if (wantsDesignReport(options, problem.controls()))
        printDesignReport(options, steps, end, problem.controls(),
                          greyFraction(run.optimizer().snapshot()), out);
    out << files.engineering.text;
    printFileLines(options, files, results, out);
    out << std::flush;
    if (end.stopped || end.stoppedInFinalFiles) return kExitInterrupted;
    return files.shapeOk && files.plotOk && files.smoothOk && !end.brokeDown &&
                   files.engineering.ok && !checkpoints.failed
               ? kExitDone
               : kExitFailed;
}

}  // namespace ostrel
