#pragma once
// ostrel-batch's checkpoints: the run's whole state after a step, written so that --resume
// continues it exactly (the history files and final files equal those of a run that was never
// stopped, on the same machine and rank count).
//
// Layout, in the folder "checkpoint" of the output folder:
//   index                          text: what the checkpoint belongs to and which files hold it
//   step-<k>-rank-<r>-of-<n>.bin   one per rank (today always rank 0 of 1): after step counter
//                                  k - 1, the next step is k
// The index's lines: "ostrel-checkpoint 1", "ranks N", "step K", "scene-file H", "mesh-file H"
// (checksums of the two files' bytes), "device host|cuda", one "option NAME VALUE" per design
// option (kDesignOptions), one "rank R FILE BYTES CHECKSUM" per rank, and "checksum H" over every
// line before it. A rank file is a framed record (core/ByteRecord.h; magic "OSTRELCP", version
// 1): rank, rank count, the DesignCheckpoint, and the batch run's record of every step so far
// (what its history plot, convergence test and breakdown test were given).
//
// Writing: the rank files first, each atomically (core/AtomicFile) and on the disk before it
// takes its name, then the index the same way, then the rank files of earlier checkpoints are
// removed: an interruption at any point (of the program or of the machine) leaves the index
// naming a complete checkpoint. Reading checks the index's checksum and every rank
// file's size, checksum and framing; every refusal is one "ERROR: Cannot resume: ..." line.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "optimization/DesignCheckpoint.h"

namespace ostrel {

/// What a checkpoint belongs to: a resumed run must have the same.
struct CheckpointIdentity {
    int ranks = 1;
    std::string sceneFile, meshFile;  ///< checksumText of the files' bytes
    std::string device;               ///< "host" or "cuda"
    /// The design options (name, value as text) in kDesignOptions order.
    std::vector<std::pair<std::string, std::string>> options;
};

/// The options that change the design or when the run stops, and so must not change on resume.
/// (The minimum member size before the filter radius it sets, so that a changed size is named.)
inline constexpr const char* kDesignOptions[] = {"volume-fraction", "min-member", "filter-radius",
                                                 "projection", "solver", "converge",
                                                 "converge-change"};

/// One finished step as the batch run recorded it.
struct BatchStepRecord {
    int iteration = 0;
    double compliance = 0, volumeRatio = 0, sharpness = 0, designChange = 0, volumeGoal = 0;
    bool solveConverged = false;
    bool betaSettled = false;  ///< the step's solve saw densities of the last beta
};

/// A whole checkpoint of one rank.
struct BatchCheckpoint {
    CheckpointIdentity identity;
    DesignCheckpoint design;
    std::vector<BatchStepRecord> steps;
};

/// The folder's "checkpoint" subfolder (the working directory's when `outputDirectory` is empty).
std::filesystem::path checkpointFolder(const std::filesystem::path& outputDirectory);

/// checksumText of a file's bytes; false when it cannot be read.
bool fileChecksum(const std::filesystem::path& file, std::string& checksum);

/// One rank's file as the index names it.
struct RankFileEntry {
    int rank = 0;
    std::string file;  ///< the name in the checkpoint folder
    uint64_t bytes = 0;
    std::string checksum;  ///< checksumText of its bytes
};

/// Writes rank `rank`'s file (of c.identity.ranks) into `folder` (created if needed) atomically;
/// its entry for the index. False with one "ERROR: Cannot write checkpoint ..." line in `error`.
bool writeRankFile(const std::filesystem::path& folder, const BatchCheckpoint& c, int rank,
                   RankFileEntry& entry, std::string& error);
/// After every rank's file: writes the index naming `files` atomically, then removes the rank
/// files it does not name (earlier checkpoints'). False with the error line.
bool writeCheckpointIndex(const std::filesystem::path& folder, const CheckpointIdentity& identity,
                          int step, const std::vector<RankFileEntry>& files, std::string& error);
/// The single process's checkpoint (rank 0 of 1): its rank file, then the index.
bool writeBatchCheckpoint(const std::filesystem::path& folder, const BatchCheckpoint& c,
                          std::string& error);

/// Reads rank `rank`'s part of the checkpoint in `dir` (the checkpoint folder, or an output
/// folder holding one) for a run of `ranks` processes; false with one "ERROR: Cannot resume:
/// ..." line in `error`.
bool readBatchCheckpoint(const std::filesystem::path& dir, int rank, int ranks,
                         BatchCheckpoint& c, std::string& error);

/// Empty when a checkpoint of `saved` may continue as a run of `now`; else the
/// "ERROR: Cannot resume: ..." line naming the first difference (rank count, scene file, mesh
/// file, device, options in order).
std::string identityMismatch(const CheckpointIdentity& saved, const CheckpointIdentity& now);

}  // namespace ostrel
