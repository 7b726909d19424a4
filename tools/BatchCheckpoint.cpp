#include "tools/BatchCheckpoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/ByteRecord.h"
#include "core/Console.h"

namespace ostrel {

namespace {

constexpr const char* kMagic = "OSTRELCP";
constexpr uint32_t kVersion = 1;
constexpr const char* kIndexHead = "ostrel-checkpoint 1";
constexpr const char* kIndex = "index";

std::string resumeError(const std::string& what) { return "ERROR: Cannot resume: " + what; }

bool readBytes(const std::filesystem::path& file, std::string& bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string rankFileName(int step, int rank, int ranks) {
    return "step-" + std::to_string(step) + "-rank-" + std::to_string(rank) + "-of-" +
           std::to_string(ranks) + ".bin";
}

void encodeSteps(const std::vector<BatchStepRecord>& steps, ByteWriter& w) {
    w.put<uint64_t>(steps.size());
    for (const BatchStepRecord& s : steps) {
        w.put(s.iteration);
        w.put(s.compliance);
        w.put(s.volumeRatio);
        w.put(s.sharpness);
        w.put(s.designChange);
        w.put(s.volumeGoal);
        w.put<uint8_t>(s.solveConverged);
        w.put<uint8_t>(s.betaSettled);
    }
}

bool decodeSteps(ByteReader& r, std::vector<BatchStepRecord>& steps) {
    uint64_t count = 0;
    if (!r.get(count) || count > (uint64_t(1) << 24)) return false;
    steps.resize(size_t(count));
    for (BatchStepRecord& s : steps) {
        uint8_t converged = 0, settled = 0;
        r.get(s.iteration);
        r.get(s.compliance);
        r.get(s.volumeRatio);
        r.get(s.sharpness);
        r.get(s.designChange);
        r.get(s.volumeGoal);
        r.get(converged);
        r.get(settled);
        s.solveConverged = converged != 0;
        s.betaSettled = settled != 0;
    }
    return r.ok();
}

std::string indexText(const CheckpointIdentity& identity, int step,
                      const std::vector<RankFileEntry>& files) {
    std::ostringstream text;
    text << kIndexHead << "\n"
         << "ranks " << identity.ranks << "\n"
         << "step " << step << "\n"
         << "scene-file " << identity.sceneFile << "\n"
         << "mesh-file " << identity.meshFile << "\n"
         << "device " << identity.device << "\n";
    for (const auto& [name, value] : identity.options)
        text << "option " << name << " " << value << "\n";
    for (const RankFileEntry& f : files)
        text << "rank " << f.rank << " " << f.file << " " << f.bytes << " " << f.checksum << "\n";
    std::string body = text.str();
    return body + "checksum " + checksumText(checksum64(body)) + "\n";
}

bool createFolder(const std::filesystem::path& folder, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!ec && std::filesystem::is_directory(folder)) return true;
    error = "ERROR: Cannot write checkpoint: cannot create folder " +
            quotedUtf8(folder.string()) + (ec ? ": " + ec.message() : std::string());
    return false;
}

/// The file atomically, on the disk before it takes its name: a checkpoint must outlast a
/// crash of the machine, not only of the program.
bool writeAtomically(const std::filesystem::path& file, const std::string& bytes,
                     std::string& error) {
    const AtomicWriteResult written = writeFileAtomically(file.string(), [&](std::FILE* f) {
        return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() &&
               std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    });
    if (written) return true;
    error = "ERROR: Cannot write checkpoint file " + quotedUtf8(file.string()) +
            written.reasonSuffix();
    return false;
}

/// The index's fields; false with the reason when it is not an index this program wrote.
struct IndexFile {
    CheckpointIdentity identity;
    int step = 0;
    struct Rank {
        int rank;
        std::string file, checksum;
        uint64_t bytes;
    };
    std::vector<Rank> ranks;
};

bool parseIndex(const std::string& text, IndexFile& index, std::string& reason) {
    const size_t last = text.rfind("checksum ");
    if (text.rfind(kIndexHead, 0) != 0) return reason = "not a checkpoint index", false;
    if (last == std::string::npos || (last > 0 && text[last - 1] != '\n') ||
        text.compare(last, std::string::npos,
                     "checksum " + checksumText(checksum64(text.substr(0, last))) + "\n") != 0)
        return reason = "checksum mismatch or truncated", false;
    std::istringstream lines(text.substr(0, last));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "ranks") {
            words >> index.identity.ranks;
        } else if (key == "step") {
            words >> index.step;
        } else if (key == "scene-file") {
            words >> index.identity.sceneFile;
        } else if (key == "mesh-file") {
            words >> index.identity.meshFile;
        } else if (key == "device") {
            words >> index.identity.device;
        } else if (key == "option") {
            std::string name, value;
            words >> name >> value;
            index.identity.options.emplace_back(name, value);
        } else if (key == "rank") {
            IndexFile::Rank r{};
            words >> r.rank >> r.file >> r.bytes >> r.checksum;
            index.ranks.push_back(r);
        } else {
            return reason = "unknown line '" + line + "'", false;
        }
        if (words.fail()) return reason = "bad line '" + line + "'", false;
    }
    return true;
}

}  // namespace

std::filesystem::path checkpointFolder(const std::filesystem::path& outputDirectory) {
    return outputDirectory.empty() ? std::filesystem::path("checkpoint")
                                   : outputDirectory / "checkpoint";
}

bool fileChecksum(const std::filesystem::path& file, std::string& checksum) {
    std::string bytes;
    if (!readBytes(file, bytes)) return false;
    checksum = checksumText(checksum64(bytes));
    return true;
}

bool writeRankFile(const std::filesystem::path& folder, const BatchCheckpoint& c, int rank,
                   RankFileEntry& entry, std::string& error) {
    if (!createFolder(folder, error)) return false;
    ByteWriter payload;
    payload.put<uint32_t>(uint32_t(rank));
    payload.put<uint32_t>(uint32_t(c.identity.ranks));
    encodeCheckpoint(c.design, payload);
    encodeSteps(c.steps, payload);
    const std::string bytes = frameRecord(kMagic, kVersion, payload.bytes());
    entry = {rank, rankFileName(c.design.iteration, rank, c.identity.ranks), bytes.size(),
             checksumText(checksum64(bytes))};
    return writeAtomically(folder / entry.file, bytes, error);
}

bool writeCheckpointIndex(const std::filesystem::path& folder, const CheckpointIdentity& identity,
                          int step, const std::vector<RankFileEntry>& files, std::string& error) {
    if (!createFolder(folder, error) ||
        !writeAtomically(folder / kIndex, indexText(identity, step, files), error))
        return false;
    // The index's new name on the disk before the files of earlier checkpoints, no longer
    // named by it, go.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    static const std::regex kRankFile(R"(step-[0-9]+-rank-[0-9]+-of-[0-9]+\.bin)");
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        bool named = false;
        for (const RankFileEntry& f : files) named = named || f.file == name;
        if (!named && std::regex_match(name, kRankFile)) std::filesystem::remove(entry.path(), ec);
    }
    return true;
}

bool writeBatchCheckpoint(const std::filesystem::path& folder, const BatchCheckpoint& c,
                          std::string& error) {
    // The rank file first, then the index that names it: the index always names complete files.
    RankFileEntry entry;
    return writeRankFile(folder, c, 0, entry, error) &&
           writeCheckpointIndex(folder, c.identity, c.design.iteration, {entry}, error);
}

bool readBatchCheckpoint(const std::filesystem::path& dir, int rank, int ranks,
                         BatchCheckpoint& c, std::string& error) {
    std::filesystem::path folder = dir;
    if (!std::filesystem::exists(folder / kIndex) &&
        std::filesystem::exists(folder / "checkpoint" / kIndex))
        folder = folder / "checkpoint";
    const std::filesystem::path indexPath = folder / kIndex;
    std::string text;
    if (!std::filesystem::is_regular_file(indexPath) || !readBytes(indexPath, text)) {
        error = resumeError("no checkpoint in " + quotedUtf8(dir.string()) +
                            " (its index file is missing)");
        return false;
    }
    IndexFile index;
    std::string reason;
    if (!parseIndex(text, index, reason)) {
        error = resumeError("the checkpoint index " + quotedUtf8(indexPath.string()) +
                            " is damaged (" + reason + ")");
        return false;
    }
    if (index.identity.ranks != ranks || int(index.ranks.size()) != index.identity.ranks) {
        error = resumeError("the checkpoint was written by " +
                            std::to_string(index.identity.ranks) + " processes, this run has " +
                            std::to_string(ranks));
        return false;
    }
    const IndexFile::Rank* found = nullptr;
    for (const IndexFile::Rank& r : index.ranks)
        if (r.rank == rank) found = &r;
    if (!found) {
        error = resumeError("the checkpoint index " + quotedUtf8(indexPath.string()) +
                            " is damaged (it names no file of rank " + std::to_string(rank) + ")");
        return false;
    }
    const IndexFile::Rank& mine = *found;
    const std::filesystem::path rankPath = folder / mine.file;
    std::string bytes;
    if (mine.file.find('/') != std::string::npos || !readBytes(rankPath, bytes)) {
        error = resumeError("the checkpoint file " + quotedUtf8(rankPath.string()) +
                            " is missing");
        return false;
    }
    auto damaged = [&](const std::string& why) {
        error = resumeError("the checkpoint file " + quotedUtf8(rankPath.string()) +
                            " is damaged (" + why + ")");
        return false;
    };
    std::string payload;
    if (!unframeRecord(bytes, kMagic, kVersion, "a checkpoint", payload, reason))
        return damaged(reason);
    if (bytes.size() != mine.bytes || checksumText(checksum64(bytes)) != mine.checksum)
        return damaged("it is not the file the index names");
    ByteReader r(payload);
    uint32_t fileRank = 0, rankCount = 0;
    r.get(fileRank);
    r.get(rankCount);
    BatchCheckpoint read;
    if (!decodeCheckpoint(r, read.design) || !decodeSteps(r, read.steps) || !r.atEnd())
        return damaged("its record cannot be read");
    if (int(fileRank) != rank || int(rankCount) != ranks || read.design.iteration != index.step ||
        read.steps.size() != size_t(index.step))
        return damaged("it does not match the index");
    read.identity = index.identity;
    c = std::move(read);
    return true;
}

std::string identityMismatch(const CheckpointIdentity& saved, const CheckpointIdentity& now) {
    if (saved.ranks != now.ranks)
        return resumeError("the checkpoint was written by " + std::to_string(saved.ranks) +
                           " processes, this run has " + std::to_string(now.ranks));
    if (saved.sceneFile != now.sceneFile)
        return resumeError("the checkpoint belongs to another scene (the scene file's contents "
                           "differ)");
    if (saved.meshFile != now.meshFile)
        return resumeError("the checkpoint belongs to another scene (the mesh file's contents "
                           "differ)");
    if (saved.device != now.device)
        return resumeError("the checkpoint was written on the " + saved.device +
                           " device, this run uses the " + now.device + " device");
    for (const auto& [name, value] : now.options) {
        std::string before = "(none)";
        for (const auto& [savedName, savedValue] : saved.options)
            if (savedName == name) before = savedValue;
        if (before != value)
            return resumeError("the checkpoint was written with " + name + " " + before +
                               ", this run has " + value +
                               " (the design options must stay the same)");
    }
    return {};
}

}  // namespace ostrel
