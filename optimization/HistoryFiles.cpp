#include "optimization/HistoryFiles.h"

namespace ostrel {

HistoryFiles::HistoryFiles(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path HistoryFiles::path(const char* name) const {
    return directory_.empty() ? std::filesystem::path(name) : directory_ / name;
}

namespace {
template <typename Stream>
void reopen(Stream& stream, const std::filesystem::path& path) {
    if (stream.is_open()) stream.close();
    // A failed earlier open leaves failbit set; clear it so that this open decides alone.
    stream.clear();
    stream.open(path, std::ios::out | std::ios::trunc);
}
}  // namespace

void HistoryFiles::openAll() {
    if (!enabled_) return closeAll();
    reopen(objective_, path(kObjectiveValue));
    reopen(volumeRatio_, path(kVolumeRatio));
    reopen(numCycles_, path(kNumCycles));
    reopen(sharpness_, path(kSharpness));
    reopen(constraint_, path(kConstraint));
    if (loadCases_ > 1)
        reopen(caseCompliance_, path(kLoadCaseCompliance));
    else
        caseCompliance_.close();
}

void HistoryFiles::appendCaseCompliances(const std::vector<double>& values) {
    if (!caseCompliance_.is_open()) return;
    for (size_t c = 0; c < values.size(); ++c) caseCompliance_ << (c ? L" " : L"") << values[c];
    caseCompliance_ << L'\n' << std::flush;
}

void HistoryFiles::closeAll() {
    objective_.close();
    volumeRatio_.close();
    numCycles_.close();
    sharpness_.close();
    constraint_.close();
    caseCompliance_.close();
}

void HistoryFiles::append(std::wofstream& stream, double value) {
    // A failed stream ignores the write; flushing keeps the files readable while a run goes on.
    stream << value << L'\n' << std::flush;
}

}  // namespace ostrel
