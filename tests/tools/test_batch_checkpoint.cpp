// ostrel-batch's checkpoints: a run of 20 steps and one of 10 steps continued from its
// checkpoint to 20 leave the same files, byte for byte (plain, projected with beta
// continuation and the adaptive move limits, two load cases); the refusals of --resume (another
// scene, another design option, another rank count, damaged files, no index), each with its
// exact line and status 1; and a Ctrl-C that leaves a checkpoint to continue from.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/ByteRecord.h"
#include "core/Console.h"
#include "support/RunTestSupport.h"
#include "tools/BatchRun.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;

struct Ran {
    int status;
    std::string out, err;
};

/// Runs ostrel-batch on `scene` with `args` (host device, one thread, quiet).
Ran batch(const fs::path& scene, std::vector<std::string> args) {
    std::vector<std::string> all = {scene.string(), "-q", "--threads", "1", "--device", "host"};
    all.insert(all.end(), args.begin(), args.end());
    Child child(kBatch, all);
    const int status = child.finish();
    return {status, child.out(), child.err()};
}

/// Every file under `folder` but the checkpoint's, by its path relative to `folder`.
std::map<std::string, std::string> filesOf(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const fs::path relative = fs::relative(entry.path(), folder);
        if (entry.is_regular_file() && *relative.begin() != "checkpoint")
            files[relative.string()] = testing::readFile(entry.path());
    }
    return files;
}

/// The scene with `extra` keys appended: the 16 x 4 x 4 cantilever.
fs::path sceneWith(const fs::path& folder, const std::string& extra) {
    fs::create_directories(folder);
    const fs::path scene = testing::writeCantileverScene(folder, 16);
    std::ofstream(scene, std::ios::app) << extra;
    return scene;
}

/// The free end's lower edge pushed sideways (+y), a second load case.
std::string sidewaysCase() {
    std::ostringstream list;
    list << "FORCES_CASE_2:";
    for (int z = 0; z <= 4; ++z) list << (z ? "  " : " ") << "16 0 " << z << " 0 20 0";
    return list.str() + "\nLOAD_CASE_WEIGHTS: 0.7 0.3\n";
}

struct ResumeCase {
    const char* name;
    std::string extraKeys;
    std::vector<std::string> options;
    int first, total;  ///< steps before the checkpoint, steps of the whole run
};

void PrintTo(const ResumeCase& c, std::ostream* os) { *os << c.name; }

class BatchCheckpointResume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(BatchCheckpointResume, ContinuedRunLeavesTheFilesOfAnUninterruptedOne) {
    const ResumeCase& c = GetParam();
    ScratchFolder folder(std::string("checkpoint-") + c.name);
    const fs::path scene = sceneWith(folder / "scene", c.extraKeys);
    std::vector<std::string> common = c.options;
    for (const char* o : {"--vtk", "--shape-every", "5"}) common.push_back(o);

    std::vector<std::string> whole = common;
    for (const std::string& o : {std::string("-n"), std::to_string(c.total), std::string("-o"),
                                 (folder / "whole").string()})
        whole.push_back(o);
    const Ran uninterrupted = batch(scene, whole);
    ASSERT_EQ(uninterrupted.status, 0) << uninterrupted.err;

    // The first part writes a checkpoint at its last step; the second continues it in place.
    const fs::path parts = folder / "parts";
    std::vector<std::string> first = common;
    for (const std::string& o : {std::string("-n"), std::to_string(c.first), std::string("-o"),
                                 parts.string(), std::string("--checkpoint-every"),
                                 std::to_string(c.first)})
        first.push_back(o);
    const Ran firstPart = batch(scene, first);
    ASSERT_EQ(firstPart.status, 0) << firstPart.err;
    EXPECT_TRUE(fs::exists(parts / "checkpoint" / "index"));
    EXPECT_TRUE(fs::exists(parts / "checkpoint" /
                           ("step-" + std::to_string(c.first) + "-rank-0-of-1.bin")));

    std::vector<std::string> second = common;
    for (const std::string& o : {std::string("-n"), std::to_string(c.total), std::string("-o"),
                                 parts.string(), std::string("--resume"),
                                 (parts / "checkpoint").string()})
        second.push_back(o);
    const Ran secondPart = batch(scene, second);
    ASSERT_EQ(secondPart.status, 0) << secondPart.err;
    // The summary counts the whole run's steps and gives the same reason for its end.
    for (const char* line : {"Iterations: ", "Stopped: ", "Compliance: "}) {
        auto lineOf = [&](const std::string& out) {
            const size_t at = out.find(line);
            return at == std::string::npos ? std::string()
                                           : out.substr(at, out.find('\n', at) - at);
        };
        EXPECT_EQ(lineOf(secondPart.out), lineOf(uninterrupted.out)) << line;
    }

    const auto expected = filesOf(folder / "whole");
    const auto got = filesOf(parts);
    ASSERT_GT(expected.size(), 8u);
    for (const auto& [name, bytes] : expected) {
        ASSERT_TRUE(got.count(name)) << name;
        EXPECT_TRUE(got.at(name) == bytes) << c.name << ": " << name << " differs";
    }
    EXPECT_EQ(got.size(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BatchCheckpointResume,
    ::testing::Values(
        ResumeCase{"plain", "", {}, 10, 20},
        // Beta doubles after updates 15, 30, ..., 90; from then on every design variable's own
        // move limit adapts: a checkpoint at 97 carries limits that differ from the common one.
        ResumeCase{"projection", "", {"--projection", "--volume-fraction", "0.3"}, 97, 104},
        ResumeCase{"projection_beta_step", "", {"--projection"}, 10, 20},
        // The scale of the held volume is state of its own.
        ResumeCase{"min_member", "", {"--min-member", "2"}, 5, 12},
        ResumeCase{"two_load_cases", sidewaysCase(), {}, 10, 20},
        // The convergence test's memory: the run converges after step 9 in both.
        ResumeCase{"converge_pcg", "", {"--converge", "0.5", "--solver", "pcg"}, 6, 20}),
    [](const ::testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

/// A checkpoint of 4 steps of the plain cantilever in `folder`/first; returns the scene.
fs::path firstRun(const ScratchFolder& folder) {
    const fs::path scene = sceneWith(folder / "scene", "");
    const Ran r = batch(scene, {"-n", "4", "--checkpoint-every", "2", "--shape-every", "0", "-o",
                                (folder / "first").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    return scene;
}

TEST(BatchCheckpoint, EveryNStepsOnlyTheNewestRankFileStays) {
    ScratchFolder folder("checkpoint-every");
    firstRun(folder);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder / "first" / "checkpoint"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"index", "step-4-rank-0-of-1.bin"}));
    const std::string index = testing::readFile(folder / "first" / "checkpoint" / "index");
    EXPECT_EQ(index.rfind("ostrel-checkpoint 1\nranks 1\nstep 4\n", 0), 0u) << index;
    EXPECT_NE(index.find("\noption projection 0\n"), std::string::npos) << index;
}

/// The line and status of a resume of the checkpoint in `dir` with `extra` options.
Ran resume(const fs::path& scene, const fs::path& dir, const fs::path& out,
           std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-n", "6", "--shape-every", "0", "-o", out.string(),
                                     "--resume", dir.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return batch(scene, args);
}

TEST(BatchCheckpoint, RefusesWhatItCannotContinue) {
    ScratchFolder folder("checkpoint-refused");
    const fs::path scene = firstRun(folder);
    const fs::path dir = folder / "first" / "checkpoint";
    const fs::path rankFile = dir / "step-4-rank-0-of-1.bin";
    const std::string rankBytes = testing::readFile(rankFile);
    const std::string indexBytes = testing::readFile(dir / "index");
    ASSERT_GT(rankBytes.size(), 100u);

    // The output folder holding the checkpoint is taken as well as the folder itself.
    EXPECT_EQ(resume(scene, folder / "first", folder / "ok").status, 0);

    // Another scene: one more key in the scene file, or another mesh file.
    const fs::path other = sceneWith(folder / "other", "OPTIMIZATION_VOLUME_FRACTION: 0.36\n");
    Ran r = resume(other, dir, folder / "o1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint belongs to another scene (the scene "
                     "file's contents differ)\n");
    const fs::path moved = sceneWith(folder / "moved", "");
    std::ofstream(moved.parent_path() / "beam.obj", std::ios::app) << "# another mesh file\n";
    r = resume(moved, dir, folder / "o2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint belongs to another scene (the mesh "
                     "file's contents differ)\n");

    // A design option changed; an output option may change.
    r = resume(scene, dir, folder / "o3", {"--volume-fraction", "0.3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint was written with volume-fraction "
                     "0.35999999999999999, this run has 0.29999999999999999 (the design "
                     "options must stay the same)\n");
    r = resume(scene, dir, folder / "o4", {"--projection"});
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint was written with projection 0, this "
                     "run has 1 (the design options must stay the same)\n");
    r = resume(scene, dir, folder / "o6", {"--min-member", "3"});
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint was written with min-member 0, this "
                     "run has 3 (the design options must stay the same)\n");
    r = resume(scene, dir, folder / "o9", {"--tolerance", "1e-6"});
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint was written with tolerance "
                     "0.01, this run has 9.9999999999999995e-07 (the design options must stay "
                     "the same)\n");
    EXPECT_EQ(resume(scene, dir, folder / "o5", {"--vtk", "--format", "stl"}).status, 0);

    // No index; an index of another rank count (checksum intact); damaged files.
    fs::create_directories(folder / "empty");
    r = resume(scene, folder / "empty", folder / "o6");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Cannot resume: no checkpoint in " +
                         quotedUtf8((folder / "empty").string()) +
                         " (its index file is missing)\n");
    auto writeIndex = [&](std::string body) {
        std::ofstream(dir / "index", std::ios::binary | std::ios::trunc)
            << body + "checksum " + checksumText(checksum64(body)) + "\n";
    };
    std::string twoRanks = indexBytes.substr(0, indexBytes.rfind("checksum "));
    twoRanks.replace(twoRanks.find("ranks 1"), 7, "ranks 2");
    writeIndex(twoRanks);
    r = resume(scene, dir, folder / "o7");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint was written by 2 processes, this run "
                     "has 1\n");
    // An index of a version without --tolerance names no tolerance: its run solved at the
    // default, which a run with the default continues and another tolerance does not.
    std::string untold = indexBytes.substr(0, indexBytes.rfind("checksum "));
    const size_t told = untold.find("option tolerance ");
    ASSERT_NE(told, std::string::npos) << untold;
    untold.erase(told, untold.find('\n', told) + 1 - told);
    writeIndex(untold);
    EXPECT_EQ(resume(scene, dir, folder / "o10").status, 0);
    r = resume(scene, dir, folder / "o11", {"--tolerance", "0.001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("written with tolerance 0.01, this run has 0.001"), std::string::npos)
        << r.err;
    std::string edited = indexBytes;
    edited.replace(edited.find("step 4"), 6, "step 3");
    std::ofstream(dir / "index", std::ios::binary | std::ios::trunc) << edited;
    r = resume(scene, dir, folder / "o8");
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint index " +
                         quotedUtf8((dir / "index").string()) +
                         " is damaged (checksum mismatch or truncated)\n");
    std::ofstream(dir / "index", std::ios::binary | std::ios::trunc) << indexBytes;

    const std::string damaged = "ERROR: Cannot resume: the checkpoint file " +
                                quotedUtf8(rankFile.string()) + " is damaged (";
    const struct {
        const char* name;
        std::string bytes;
        std::string reason;
    } files[] = {
        {"truncated", rankBytes.substr(0, rankBytes.size() / 2), "truncated)\n"},
        {"cut at the checksum", rankBytes.substr(0, rankBytes.size() - 3), "truncated)\n"},
        {"one byte changed",
         rankBytes.substr(0, 200) + char(rankBytes[200] ^ 1) + rankBytes.substr(201),
         "checksum mismatch)\n"},
        {"not a checkpoint", "v 0 0 0\n" + rankBytes, "not a checkpoint file)\n"},
    };
    for (const auto& f : files) {
        std::ofstream(rankFile, std::ios::binary | std::ios::trunc) << f.bytes;
        r = resume(scene, dir, folder / "o9");
        EXPECT_EQ(r.status, 1) << f.name;
        EXPECT_EQ(r.err, damaged + f.reason) << f.name;
    }
    fs::remove(rankFile);
    r = resume(scene, dir, folder / "o10");
    EXPECT_EQ(r.err, "ERROR: Cannot resume: the checkpoint file " + quotedUtf8(rankFile.string()) +
                         " is missing\n");
}

TEST(BatchCheckpoint, ACheckpointThatCannotBeWrittenIsReportedAndTheRunEndsWithStatusOne) {
    ScratchFolder folder("checkpoint-unwritable");
    const fs::path scene = sceneWith(folder / "scene", "");
    const fs::path out = folder / "out";
    fs::create_directories(out);
    std::ofstream(out / "checkpoint") << "a file where the folder would go\n";
    const Ran r = batch(scene, {"-n", "2", "--checkpoint-every", "1", "--shape-every", "0", "-o",
                                out.string()});
    EXPECT_EQ(r.status, 1);
    const std::string line = "ERROR: Cannot write checkpoint: cannot create folder " +
                             quotedUtf8((out / "checkpoint").string());
    // Once for each of the two steps; the run itself goes on and writes its final files.
    size_t count = 0;
    for (size_t at = r.err.find(line); at != std::string::npos; at = r.err.find(line, at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << r.err;
    EXPECT_TRUE(fs::exists(out / "OptimizedShape_final.obj"));
}

TEST(BatchCheckpoint, ACheckpointPastTheIterationsGivesItsFinalFilesAtOnce) {
    ScratchFolder folder("checkpoint-past");
    const fs::path scene = sceneWith(folder / "scene", "");
    const fs::path out = folder / "out";
    ASSERT_EQ(batch(scene, {"-n", "4", "--projection", "--checkpoint-every", "4", "-o",
                            out.string()})
                  .status,
              0);
    const std::string objective = testing::readFile(out / "ObjectiveValue.txt");
    const Ran r = batch(scene, {"-n", "2", "--projection", "-o", out.string(), "--resume",
                                out.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Iterations: 4 (0 to 3)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Stopped: 4 iterations done\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");  // no step ran
    EXPECT_EQ(testing::readFile(out / "ObjectiveValue.txt"), objective);
}

TEST(BatchCheckpoint, BadOptionValues) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"a.txt", "--checkpoint-every", "0"},
         "ERROR: --checkpoint-every needs a whole number from 1 to 501, not '0'"},
        {{"a.txt", "--checkpoint-every=x"},
         "ERROR: --checkpoint-every needs a whole number from 1 to 501, not 'x'"},
        {{"a.txt", "--resume="}, "ERROR: --resume needs a checkpoint folder"},
        {{"a.txt", "--resume"}, "ERROR: Option '--resume' needs a value"},
    };
    for (const auto& c : cases) {
        const BatchArguments a = parseBatchArguments(c.args);
        EXPECT_EQ(a.action, BatchArguments::Action::Error);
        EXPECT_EQ(a.error, c.error);
    }
    const BatchArguments ok =
        parseBatchArguments({"a.txt", "--checkpoint-every", "7", "--resume", "out/checkpoint"});
    EXPECT_EQ(ok.options.checkpointEvery, 7);
    EXPECT_EQ(ok.options.resumeFrom, fs::path("out/checkpoint"));
}

TEST(BatchCheckpoint, CtrlCLeavesACheckpointOfTheLastFinishedStep) {
    ScratchFolder folder("checkpoint-signal");
    const fs::path scene = sceneWith(folder / "scene", "");
    const fs::path out = folder / "stopped";
    Child child(kBatch, {scene.string(), "-q", "--threads", "1", "--device", "host",
                         "--checkpoint-every", "100", "--shape-every", "0", "-o", out.string()});
    ASSERT_TRUE(child.waitForError("Iteration 3/"));
    child.signal(SIGINT);
    EXPECT_EQ(child.finish(), kExitInterrupted) << child.err();
    const std::string index = testing::readFile(out / "checkpoint" / "index");
    const size_t at = index.find("\nstep ");
    ASSERT_NE(at, std::string::npos) << index;
    const int stopped = std::stoi(index.substr(at + 6));
    EXPECT_GE(stopped, 3);

    // Continued for three more steps, the run equals one that ran them all at once.
    const std::string total = std::to_string(stopped + 3);
    const Ran continued = batch(scene, {"-n", total, "--shape-every", "0", "-o", out.string(),
                                        "--resume", out.string()});
    ASSERT_EQ(continued.status, 0) << continued.err;
    const Ran whole =
        batch(scene, {"-n", total, "--shape-every", "0", "-o", (folder / "whole").string()});
    ASSERT_EQ(whole.status, 0) << whole.err;
    for (const char* name : {"ObjectiveValue.txt", "VolumeRatio.txt", "NumCycles.txt",
                             "Sharpness.txt", "Constraint.txt", "OptimizedShape_final.obj"})
        EXPECT_TRUE(testing::readFile(out / name) == testing::readFile(folder / "whole" / name))
            << name;
}

}  // namespace
}  // namespace ostrel
