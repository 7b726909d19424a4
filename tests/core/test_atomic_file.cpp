// Atomic file replacement: the target is the old file or the complete new one, and no
// temporary file is left behind, whatever fails.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include <filesystem>
#include <string>

#include "core/AtomicFile.h"
#include "support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;
using ostrel::AtomicWriteResult;
using ostrel::writeFileAtomically;
using Status = AtomicWriteResult::Status;

std::string temporaryOf(const fs::path& target) {
    return target.string() + ".tmp" + std::to_string(::getpid()) + "~";
}

size_t entriesIn(const fs::path& dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++n;
    return n;
}

TEST(AtomicFile, ReplacesTheTargetCompletely) {
    ostrel::testing::ScratchFolder dir("atomic");
    const fs::path target = dir.path() / "t.txt";
    ASSERT_TRUE(writeFileAtomically(target.string(), "one\n"));
    EXPECT_EQ(ostrel::testing::readFile(target), "one\n");
    ASSERT_TRUE(writeFileAtomically(target.string(), std::string(100000, 'x')));
    EXPECT_EQ(ostrel::testing::readFile(target), std::string(100000, 'x'));
    ASSERT_TRUE(writeFileAtomically(target.string(), ""));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicFile, FailuresKeepTheOldFileAndLeaveNoTemporary) {
    ostrel::testing::ScratchFolder dir("atomic");
    const fs::path target = dir.path() / "t.txt";
    const fs::path folderTarget = dir.path() / "folder";
    fs::create_directories(folderTarget / "inside");
    struct Case {
        const char* name;
        fs::path target;
        bool blockTemporary;  // a folder where the temporary file would go
        bool writerFails;
        Status status;
        std::string reason;
    } cases[] = {
        {"temporary blocked", target, true, false, Status::cannotCreate, "Is a directory"},
        {"missing folder", dir.path() / "no" / "t.txt", false, false, Status::cannotCreate,
         "No such file or directory"},
        {"writer fails", target, false, true, Status::failed, ""},
        {"target is a folder", folderTarget, false, false, Status::failed, "Is a directory"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(writeFileAtomically(target.string(), "old\n"));
        if (c.blockTemporary) fs::create_directories(temporaryOf(c.target));
        const AtomicWriteResult result =
            c.writerFails ? writeFileAtomically(c.target.string(), [](std::FILE* f) {
                std::fputs("partial", f);
                return false;
            })
                          : writeFileAtomically(c.target.string(), "new\n");
        EXPECT_FALSE(result) << c.name;
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.reason, c.reason) << c.name;
        EXPECT_EQ(ostrel::testing::readFile(target), "old\n") << c.name;
        if (c.blockTemporary)
            fs::remove(temporaryOf(c.target));
        else
            EXPECT_FALSE(fs::exists(temporaryOf(c.target))) << c.name;
        EXPECT_TRUE(fs::is_directory(folderTarget / "inside")) << c.name;
    }
}

TEST(AtomicFile, WritesThroughSymbolicLinksAndKeepsTheMode) {
    ostrel::testing::ScratchFolder dir("atomic");
    fs::create_directories(dir.path() / "real");
    const fs::path file = dir.path() / "real" / "scene.txt";
    ASSERT_TRUE(writeFileAtomically(file.string(), "old\n"));
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // A relative link to a relative link to the file.
    const fs::path inner = dir.path() / "real" / "inner.txt", outer = dir.path() / "outer.txt";
    fs::create_symlink("scene.txt", inner);
    fs::create_symlink("real/inner.txt", outer);
    ASSERT_TRUE(writeFileAtomically(outer.string(), "new\n"));
    EXPECT_TRUE(fs::is_symlink(outer));
    EXPECT_TRUE(fs::is_symlink(inner));
    EXPECT_EQ(ostrel::testing::readFile(file), "new\n");
    EXPECT_EQ(fs::status(file).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // A link whose file does not exist yet creates that file.
    const fs::path dangling = dir.path() / "dangling.txt";
    fs::create_symlink(dir.path() / "real" / "later.txt", dangling);
    ASSERT_TRUE(writeFileAtomically(dangling.string(), "later\n"));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(ostrel::testing::readFile(dir.path() / "real" / "later.txt"), "later\n");
    EXPECT_EQ(entriesIn(dir.path() / "real"), 3u) << "no temporary left";
}

// Only "<target>.tmp<pid>~" files of processes that are gone (or of this one) are stale.
TEST(AtomicFile, StaleTemporariesOfEndedWritersAreRemoved) {
    ostrel::testing::ScratchFolder dir("atomic-stale");
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string ended = std::to_string(gone), own = std::to_string(::getpid());
    const struct {
        std::string name;
        bool removed;
    } cases[] = {
        {"shape.obj.tmp" + ended + "~", true},
        {"history.svg.tmp" + own + "~", true},
        {"shape.obj.tmp1~", false},  // init runs as long as the system
        {"shape.obj.tmp~", false},
        {"shape.obj.tmp" + ended, false},
        {"shape.obj.tmpx" + ended + "~", false},
        {"shape.obj.tmp" + ended + "0000000000~", false},  // no process id
        {"shape.obj" + ended + "~", false},
        {".tmp" + ended + "~", false},  // no target name
    };
    for (const auto& c : cases) std::ofstream(dir.path() / c.name) << "partial";
    const fs::path folder = dir.path() / ("sub.tmp" + ended + "~");  // a folder stays
    fs::create_directory(folder);
    std::vector<std::string> removed = ostrel::removeStaleTemporaries(dir.path().string());
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        EXPECT_EQ(fs::exists(dir.path() / c.name), !c.removed) << c.name;
        if (c.removed) expected.push_back(c.name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(removed, expected);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(ostrel::removeStaleTemporaries((dir.path() / "missing").string()).empty());
}

}  // namespace
