#include "optimization/HistoryFiles.h"

#include <iterator>

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

std::vector<std::string> HistoryFiles::names() const {
    std::vector<std::string> list = {kObjectiveValue, kVolumeRatio, kNumCycles, kSharpness,
                                     kConstraint};
    if (loadCases_ > 1) list.push_back(kLoadCaseCompliance);
    return list;
}

std::vector<std::string> HistoryFiles::readAll() const {
    std::vector<std::string> contents;
    for (const std::string& name : names()) {
        std::ifstream in(path(name.c_str()), std::ios::binary);
        contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return contents;
}

bool HistoryFiles::resumeAll(const std::vector<std::string>& contents) {
    closeAll();
    if (!enabled_) return true;
    bool ok = true;
    const std::vector<std::string> list = names();
    for (size_t k = 0; k < list.size(); ++k) {
        std::ofstream out(path(list[k].c_str()), std::ios::binary | std::ios::trunc);
        if (k < contents.size()) out << contents[k];
        out.close();
        ok = ok && !out.fail();
    }
    auto append = [this](auto& stream, const char* name) {
        stream.clear();
        stream.open(path(name), std::ios::out | std::ios::app);
    };
    append(objective_, kObjectiveValue);
    append(volumeRatio_, kVolumeRatio);
    append(numCycles_, kNumCycles);
    append(sharpness_, kSharpness);
    append(constraint_, kConstraint);
    if (loadCases_ > 1) append(caseCompliance_, kLoadCaseCompliance);
    return ok;
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
