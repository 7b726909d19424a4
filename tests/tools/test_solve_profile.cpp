// ostrel-solve's --profile and --largest: the split's lines in order (the solver's parts, then
// the optimizer's) with a total that is the sum of its parts, the plain solve's lines the same
// as without --profile; the largest cantilever under a
// memory limit; the command lines that mix the options wrongly.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

struct Part {
    std::string name;
    double ms;
};

// The split's header and parts, read by the "  <name>  <number> ms" shape.
std::vector<Part> splitParts(const std::string& out, std::string& header) {
    std::vector<Part> parts;
    std::istringstream lines(out);
    std::string line;
    const std::regex shape(R"(  (\S.*\S) {2,}([0-9]+\.[0-9]) ms)");
    std::smatch m;
    while (std::getline(lines, line)) {
        if (line.rfind("Split of one design iteration: ", 0) == 0)
            header = line;
        else if (!header.empty() && std::regex_match(line, m, shape))
            parts.push_back({m[1], std::stod(m[2])});
    }
    return parts;
}

// The number printed after "<label>: ".
std::string valueOf(const std::string& out, const std::string& label) {
    const size_t at = ("\n" + out).find("\n" + label + ": ");
    if (at == std::string::npos) return {};
    const size_t from = at + label.size() + 2;
    return out.substr(from, out.find('\n', from) - from);
}

TEST(SolveProfile, SplitLinesInOrderWithTheirTotal) {
    // The optimizer's files go to a folder of their own under TMPDIR, removed at the end.
    ScratchFolder temporary("solve-profile-tmp");
    ::setenv("TMPDIR", temporary.path().c_str(), 1);
    Child solve(OSTREL_SOLVE_EXE,
                {"--size", "24", "8", "8", "--voxel", "0.05", "--levels", "3", "--tolerance",
                 "0.001", "--device", "host", "--threads", "1", "--profile"});
    const int status = solve.finish();
    ::unsetenv("TMPDIR");
    ASSERT_EQ(status, 0) << solve.err();
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
    std::string header;
    const std::vector<Part> parts = splitParts(solve.out(), header);
    EXPECT_EQ(header, "Split of one design iteration: 1536 elements, Host CPU (1 thread)");
    // The host device times its launches: the cycles and the optimizer's parts come as kernel
    // and host time.
    const std::vector<std::string> names = {
        "uploads",           "assembly",          "factorization",
        "cycles (kernel)",   "cycles (host)",     "coarse solves",
        "copies",            "energies (kernel)", "energies (host)",
        "sensitivities (kernel)", "sensitivities (host)", "multiplier search (kernel)",
        "multiplier search (host)", "update (kernel)", "update (host)",
        "shape",             "files",             "total"};
    ASSERT_EQ(parts.size(), names.size()) << solve.out();
    double sum = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(parts[i].name, names[i]);
        EXPECT_GE(parts[i].ms, 0.0) << names[i];
        if (i + 1 < names.size()) sum += parts[i].ms;
    }
    // Each part is rounded to 0.1 ms on its own.
    EXPECT_NEAR(parts.back().ms, sum, 0.05 * double(names.size()));
    // The design iteration solves again: its cycles take time, most of it in the kernels.
    EXPECT_GT(parts[3].ms, parts[4].ms) << solve.out();
    // The optimizer's kernels do run: the energies and the sensitivities take kernel time.
    EXPECT_GT(parts[7].ms + parts[9].ms, 0.0) << solve.out();
    // Without --profile the split is not printed; the plain solve's lines are the same.
    Child plain(OSTREL_SOLVE_EXE, {"--size", "24", "8", "8", "--voxel", "0.05", "--levels", "3",
                                   "--tolerance", "0.001", "--device", "host", "--threads", "1"});
    ASSERT_EQ(plain.finish(), 0);
    EXPECT_EQ(plain.out().find("Split of one design iteration"), std::string::npos);
    EXPECT_EQ(valueOf(plain.out(), "Compliance"), valueOf(solve.out(), "Compliance"));
    EXPECT_EQ(valueOf(plain.out(), "Cycles"), valueOf(solve.out(), "Cycles"));
}

TEST(SolveProfile, LargestUnderAMemoryLimit) {
    struct LimitCase {
        const char* megabytes;
        const char* maxElements;
        const char* line;
    } cases[] = {
        {"2", "1000000",
         "Largest cantilever that fits: 20 x 7 x 7 voxels, 980 elements, 3 levels (host "
         "estimate 1 MB of 2 MB; the host's memory limits it)\n"},
        {"16", "1000000",
         "Largest cantilever that fits: 40 x 14 x 14 voxels, 7840 elements, 3 levels (host "
         "estimate 7 MB of 16 MB; the host's memory limits it)\n"},
        {"16", "7839",
         "Largest cantilever that fits: 20 x 7 x 7 voxels, 980 elements, 3 levels (host "
         "estimate 1 MB of 16 MB; the element cap limits it)\n"},
    };
    for (const LimitCase& c : cases) {
        Child solve(OSTREL_SOLVE_EXE,
                    {"--largest", "--memory-limit", c.megabytes, "--max-elements", c.maxElements,
                     "--voxel", "0.01", "--tolerance", "0.01", "--device", "host", "--threads",
                     "1"});
        EXPECT_EQ(solve.finish(), 0) << solve.err();
        EXPECT_EQ(solve.out().rfind(c.line, 0), 0u) << solve.out().substr(0, 200);
    }
}

TEST(SolveProfile, OptionsThatDoNotGoTogether) {
    struct UsageCase {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--largest", "--size", "4", "4", "4", "--voxel", "1", "--tolerance", "0.1"},
         "ERROR: --largest chooses the size and the levels: no --size or --levels\n"},
        {{"--largest", "--levels", "3", "--voxel", "1", "--tolerance", "0.1"},
         "ERROR: --largest chooses the size and the levels: no --size or --levels\n"},
        {{"--size", "4", "4", "4", "--levels", "3", "--memory-limit", "8", "--voxel", "1",
          "--tolerance", "0.1"},
         "ERROR: --memory-limit needs --largest\n"},
        {{"--largest", "--memory-limit", "0", "--voxel", "1", "--tolerance", "0.1"},
         "ERROR: Invalid value for --memory-limit\n"},
        {{"--largest", "--tolerance", "0.1"}, "ERROR: Missing argument\n"},
        {{"--size", "4", "4", "4", "--levels", "3", "--max-elements", "8000", "--voxel", "1",
          "--tolerance", "0.1"},
         "ERROR: --max-elements needs --largest\n"},
        {{"--largest", "--max-elements", "0", "--voxel", "1", "--tolerance", "0.1"},
         "ERROR: Invalid value for --max-elements\n"},
    };
    for (const UsageCase& c : cases) {
        Child solve(OSTREL_SOLVE_EXE, c.args);
        EXPECT_EQ(solve.finish(), 2) << c.error;
        EXPECT_EQ(solve.err().rfind(c.error, 0), 0u) << solve.err();
        EXPECT_EQ(solve.out(), "");
    }
}

}  // namespace
}  // namespace ostrel
