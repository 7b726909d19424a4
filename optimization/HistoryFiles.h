#pragma once
// The five history files of an optimization run, one number per line, in one directory (the
// working directory by default):
//   "ObjectiveValue.txt"  total strain energy of the solve before each update
//   "VolumeRatio.txt"     volume ratio after each update
//   "NumCycles.txt"       multigrid cycles of each solve (written by the solver through
//                         cycleSink())
//   "Sharpness.txt"       sharpness at each reset and after each update
//   "Constraint.txt"      created empty
// and, with several load cases (setLoadCaseCount), a sixth:
//   "LoadCaseCompliance.txt"  each load case's compliance of the solve before each update,
//                         one line per update, the cases in order, separated by a blank
// openAll() closes and reopens all five with truncation, in that order (disabled: only closes
// them). A file that cannot be created leaves its stream failed: later values for it are dropped
// without a message and the other files go on. Values use the stream's default formatting (six
// significant digits) and a line feed. The streams stay open until the next openAll() or the object's end.
//
// NumCycles is a narrow stream because the solver's cycle-count sink is a std::ostream; its
// address stays the same across reopenings, so the sink can be handed over once. The other four
// are wide streams written through the default (C locale) conversion: plain ASCII.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ostrel {

class HistoryFiles {
public:
    static constexpr const char* kObjectiveValue = "ObjectiveValue.txt";
    static constexpr const char* kVolumeRatio = "VolumeRatio.txt";
    static constexpr const char* kNumCycles = "NumCycles.txt";
    static constexpr const char* kSharpness = "Sharpness.txt";
    static constexpr const char* kConstraint = "Constraint.txt";
    static constexpr const char* kLoadCaseCompliance = "LoadCaseCompliance.txt";

    /// Files go to `directory`; empty = the working directory. Nothing is opened yet.
    explicit HistoryFiles(std::filesystem::path directory = {});
    HistoryFiles(const HistoryFiles&) = delete;
    HistoryFiles& operator=(const HistoryFiles&) = delete;

    const std::filesystem::path& directory() const { return directory_; }
    /// Takes effect at the next openAll().
    void setDirectory(std::filesystem::path directory) { directory_ = std::move(directory); }
    /// false: openAll() only closes, so no file is created and every value is dropped (for
    /// tools that use the optimizer's state without running an optimization). Default true.
    void setEnabled(bool enabled) { enabled_ = enabled; }

    /// The load cases of the next openAll(): with more than one it opens kLoadCaseCompliance
    /// too (default 1).
    void setLoadCaseCount(int cases) { loadCases_ = cases; }

    /// Closes every open stream, then creates or truncates the five files (six with several
    /// load cases).
    void openAll();
    /// The names of the files openAll() opens, in its order (the load cases' file last).
    std::vector<std::string> names() const;
    /// Every file of names() as it is in the folder now (the streams are flushed after every
    /// value); a file that cannot be read gives an empty string.
    std::vector<std::string> readAll() const;
    /// openAll(), with each file of names() holding `contents` (in that order; missing entries
    /// empty) before the values that follow: a run that continues from a checkpoint. False when
    /// a file could not be written (its stream is then failed, as after openAll()).
    bool resumeAll(const std::vector<std::string>& contents);
    void closeAll();

    void appendObjectiveValue(double value) { append(objective_, value); }
    void appendVolumeRatio(double value) { append(volumeRatio_, value); }
    void appendSharpness(double value) { append(sharpness_, value); }
    /// One line of the load cases' compliances (dropped while that file is not open).
    void appendCaseCompliances(const std::vector<double>& values);
    /// The stream that receives one cycle count per solve.
    std::ostream& cycleSink() { return numCycles_; }

private:
    static void append(std::wofstream& stream, double value);
    std::filesystem::path path(const char* name) const;

    std::filesystem::path directory_;
    bool enabled_ = true;
    int loadCases_ = 1;
    std::wofstream objective_, volumeRatio_, sharpness_, constraint_, caseCompliance_;
    std::ofstream numCycles_;
};

}  // namespace ostrel
