// ostrel-batch on a scene without design-control keys, run without design-control options,
// against the output kept from before those controls existed: history files, shape files and
// console lines (timings, memory size and folder names masked) must agree byte for byte.
//
// The reference lives in tests/tools/data/default-run/expected. To renew it deliberately, run
// this test with OSTREL_WRITE_REFERENCE=1 in the environment: it then writes the files instead
// of comparing them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;
const std::filesystem::path kData = OSTREL_TEST_DATA "/default-run";

/// The iterations of the reference run: past the first growth of beta (42nd update).
constexpr const char* kIterations = "45";

/// Console output without what changes from run to run or machine to machine.
std::string maskedConsole(const std::string& text, const std::string& outFolder,
                          const std::string& sceneFile) {
    std::istringstream in(text);
    std::ostringstream out;
    const std::regex number("[0-9][0-9.e+-]*");
    for (std::string line; std::getline(in, line);) {
        for (const auto& [from, to] : {std::pair{outFolder, std::string("<OUT>")},
                                       std::pair{sceneFile, std::string("<SCENE>")}}) {
            for (size_t at; (at = line.find(from)) != std::string::npos;)
                line.replace(at, from.size(), to);
        }
        const bool timed = line.rfind("Time SOLVE", 0) == 0 ||
                           line.rfind("Sensitivity: ", 0) == 0 || line.rfind("Update: ", 0) == 0 ||
                           line.rfind("Total solve time: ", 0) == 0;
        if (timed)
            line = std::regex_replace(line, number, "#");
        const size_t took = line.find(") took ");
        if (line.rfind("Voxelization (", 0) == 0 && took != std::string::npos)
            line = line.substr(0, took) + ") took #ms";
        const size_t memory = line.find("Global Mem: ");
        if (memory != std::string::npos)
            line = line.substr(0, memory) + "Global Mem: #";
        out << line << '\n';
    }
    return out.str();
}

TEST(BatchReference, DefaultRunIsUnchangedByteForByte) {
    ScratchFolder folder("batch-reference");
    const std::filesystem::path out = folder / "out";
    const std::string scene = (kData / "scene.txt").string();
    Child child(kBatch, {scene, "-n", kIterations, "--device", "host", "--threads", "1", "-o",
                         out.string()});
    ASSERT_EQ(child.finish(), 0) << child.err();
    // Standard error holds the progress line of every step and nothing else.
    std::istringstream progress(child.err());
    int steps = 0;
    for (std::string line; std::getline(progress, line); ++steps)
        EXPECT_EQ(line.rfind("Iteration " + std::to_string(steps + 1) + "/" + kIterations + "  ",
                             0),
                  0u)
            << line;
    EXPECT_EQ(steps, std::stoi(kIterations));

    const std::string console = maskedConsole(child.out(), out.string(), scene);
    const char* const files[] = {"ObjectiveValue.txt",    "VolumeRatio.txt",
                                 "NumCycles.txt",         "Sharpness.txt",
                                 "Constraint.txt",        "OptimizedShape_0.obj",
                                 "OptimizedShape_40.obj", "OptimizedShape_final.obj"};
    const std::filesystem::path expected = kData / "expected";
    if (std::getenv("OSTREL_WRITE_REFERENCE")) {
        std::filesystem::create_directories(expected);
        std::ofstream(expected / "console.txt", std::ios::binary) << console;
        for (const char* name : files)
            std::filesystem::copy_file(out / name, expected / name,
                                       std::filesystem::copy_options::overwrite_existing);
        GTEST_SKIP() << "reference written to " << expected;
    }
    EXPECT_EQ(console, testing::readFile(expected / "console.txt"));
    for (const char* name : files) {
        const std::string actual = testing::readFile(out / name);
        EXPECT_TRUE(std::filesystem::exists(out / name)) << name;
        EXPECT_TRUE(actual == testing::readFile(expected / name)) << name << " differs";
    }
}

}  // namespace
}  // namespace ostrel
