#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "optimization/HistoryFiles.h"
#include "support/ScratchFolder.h"

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

class HistoryFilesTest : public ::testing::Test {
protected:
    std::vector<std::string> lines(const char* name) const { return folder_.lines(name); }
    ostrel::testing::ScratchFolder folder_{"history"};
    const fs::path& dir_ = folder_.path();
};

const char* const kAll[] = {HistoryFiles::kObjectiveValue, HistoryFiles::kVolumeRatio,
                            HistoryFiles::kNumCycles, HistoryFiles::kSharpness,
                            HistoryFiles::kConstraint};

}  // namespace

TEST_F(HistoryFilesTest, OpenCreatesFiveEmptyFiles) {
    HistoryFiles h(dir_);
    h.openAll();
    for (const char* name : kAll) {
        EXPECT_TRUE(fs::exists(dir_ / name)) << name;
        EXPECT_EQ(fs::file_size(dir_ / name), 0u) << name;
    }
}

TEST_F(HistoryFilesTest, ValuesUseSixSignificantDigitsOnePerLine) {
    HistoryFiles h(dir_);
    h.openAll();
    h.appendObjectiveValue(1234.5678);
    h.appendObjectiveValue(0.000123456789);
    h.appendVolumeRatio(0.36);
    h.appendSharpness(1e-9);
    h.cycleSink() << 17 << "\n" << std::flush;
    EXPECT_EQ(lines(HistoryFiles::kObjectiveValue),
              (std::vector<std::string>{"1234.57", "0.000123457"}));
    EXPECT_EQ(lines(HistoryFiles::kVolumeRatio), (std::vector<std::string>{"0.36"}));
    EXPECT_EQ(lines(HistoryFiles::kSharpness), (std::vector<std::string>{"1e-09"}));
    EXPECT_EQ(lines(HistoryFiles::kNumCycles), (std::vector<std::string>{"17"}));
    EXPECT_EQ(fs::file_size(dir_ / HistoryFiles::kConstraint), 0u);
}

TEST_F(HistoryFilesTest, SecondOpenTruncatesAndKeepsTheSinkAddress) {
    HistoryFiles h(dir_);
    h.openAll();
    std::ostream* sink = &h.cycleSink();
    for (int i = 0; i < 3; ++i) {
        h.appendObjectiveValue(i);
        h.appendVolumeRatio(i);
        h.appendSharpness(i);
        h.cycleSink() << i << "\n";
    }
    h.cycleSink().flush();
    EXPECT_EQ(lines(HistoryFiles::kObjectiveValue).size(), 3u);
    h.openAll();
    EXPECT_EQ(&h.cycleSink(), sink);
    for (const char* name : kAll) EXPECT_EQ(fs::file_size(dir_ / name), 0u) << name;
    h.appendObjectiveValue(42);
    h.cycleSink() << 9 << "\n" << std::flush;
    EXPECT_EQ(lines(HistoryFiles::kObjectiveValue), (std::vector<std::string>{"42"}));
    EXPECT_EQ(lines(HistoryFiles::kNumCycles), (std::vector<std::string>{"9"}));
}

TEST_F(HistoryFilesTest, WritesBeforeOpeningAreDropped) {
    HistoryFiles h(dir_);
    h.appendObjectiveValue(1.0);
    h.cycleSink() << 3 << "\n" << std::flush;
    for (const char* name : kAll) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
}

TEST_F(HistoryFilesTest, AFileThatCannotBeCreatedIsSkippedSilently) {
    // A directory in the file's place cannot be opened for writing by anyone.
    fs::create_directory(dir_ / HistoryFiles::kVolumeRatio);
    HistoryFiles h(dir_);
    h.openAll();
    h.appendObjectiveValue(1.5);
    h.appendVolumeRatio(0.5);
    h.appendSharpness(0.25);
    EXPECT_TRUE(fs::is_directory(dir_ / HistoryFiles::kVolumeRatio));
    EXPECT_EQ(lines(HistoryFiles::kObjectiveValue), (std::vector<std::string>{"1.5"}));
    EXPECT_EQ(lines(HistoryFiles::kSharpness), (std::vector<std::string>{"0.25"}));
    // Once the obstacle is gone the next reset opens the file again.
    fs::remove(dir_ / HistoryFiles::kVolumeRatio);
    h.openAll();
    h.appendVolumeRatio(0.75);
    EXPECT_EQ(lines(HistoryFiles::kVolumeRatio), (std::vector<std::string>{"0.75"}));
}

TEST_F(HistoryFilesTest, ReadOnlyFileIsLeftUnchanged) {
    {
        std::ofstream(dir_ / HistoryFiles::kVolumeRatio) << "old\n";
    }
    fs::permissions(dir_ / HistoryFiles::kVolumeRatio,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (::access((dir_ / HistoryFiles::kVolumeRatio).c_str(), W_OK) == 0)
        GTEST_SKIP() << "running with permission to write read-only files";
    HistoryFiles h(dir_);
    h.openAll();
    h.appendVolumeRatio(0.5);
    h.appendObjectiveValue(2.0);
    EXPECT_EQ(lines(HistoryFiles::kVolumeRatio), (std::vector<std::string>{"old"}));
    EXPECT_EQ(lines(HistoryFiles::kObjectiveValue), (std::vector<std::string>{"2"}));
}

TEST_F(HistoryFilesTest, EmptyDirectoryMeansTheWorkingDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    {
        HistoryFiles h;
        h.openAll();
        h.appendSharpness(0.5);
    }
    fs::current_path(previous);
    EXPECT_EQ(lines(HistoryFiles::kSharpness), (std::vector<std::string>{"0.5"}));
}

TEST_F(HistoryFilesTest, ResumeWritesTheContentsAndAppendsAfterThem) {
    HistoryFiles h(dir_);
    h.setLoadCaseCount(2);
    EXPECT_EQ(h.names(), (std::vector<std::string>{"ObjectiveValue.txt", "VolumeRatio.txt",
                                                   "NumCycles.txt", "Sharpness.txt",
                                                   "Constraint.txt", "LoadCaseCompliance.txt"}));
    h.openAll();
    h.appendObjectiveValue(1.5);
    h.appendSharpness(0.25);
    h.cycleSink() << 3 << "\n" << std::flush;
    h.appendCaseCompliances({1, 2});
    const std::vector<std::string> saved = h.readAll();
    ASSERT_EQ(saved.size(), 6u);
    EXPECT_EQ(saved[0], "1.5\n");
    EXPECT_EQ(saved[5], "1 2\n");

    // Another run's files in the folder; the resumed object writes the saved ones and appends.
    HistoryFiles resumed(dir_);
    resumed.setLoadCaseCount(2);
    resumed.openAll();
    resumed.appendObjectiveValue(99);
    ASSERT_TRUE(resumed.resumeAll(saved));
    resumed.appendObjectiveValue(2.5);
    resumed.cycleSink() << 4 << "\n" << std::flush;
    resumed.appendCaseCompliances({3, 4});
    EXPECT_EQ(lines(HistoryFiles::kObjectiveValue), (std::vector<std::string>{"1.5", "2.5"}));
    EXPECT_EQ(lines(HistoryFiles::kNumCycles), (std::vector<std::string>{"3", "4"}));
    EXPECT_EQ(lines(HistoryFiles::kSharpness), (std::vector<std::string>{"0.25"}));
    EXPECT_EQ(lines(HistoryFiles::kLoadCaseCompliance),
              (std::vector<std::string>{"1 2", "3 4"}));
    EXPECT_EQ(fs::file_size(dir_ / HistoryFiles::kConstraint), 0u);
}
