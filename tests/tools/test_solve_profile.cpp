// ostrel-solve's --profile and --largest: the split's lines in order with a total that is the
// sum of its parts and agrees with the times printed beside it; the largest cantilever under a
// memory limit; the command lines that mix the options wrongly.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::Child;

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

// The seconds of the line that begins with `label`.
double secondsOf(const std::string& out, const std::string& label) {
    const size_t at = ("\n" + out).find("\n" + label + ": ");
    return at == std::string::npos ? -1 : std::stod(out.substr(at + label.size() + 2));
}

TEST(SolveProfile, SplitLinesInOrderWithTheirTotal) {
    Child solve(OSTREL_SOLVE_EXE,
                {"--size", "24", "8", "8", "--voxel", "0.05", "--levels", "3", "--tolerance",
                 "0.001", "--device", "host", "--threads", "1", "--profile"});
    ASSERT_EQ(solve.finish(), 0) << solve.err();
    std::string header;
    const std::vector<Part> parts = splitParts(solve.out(), header);
    EXPECT_EQ(header, "Split of one design iteration: 1536 elements, Host CPU (1 thread)");
    const std::vector<std::string> names = {"uploads",       "assembly", "factorization", "cycles",
                                            "coarse solves", "copies",   "total"};
    ASSERT_EQ(parts.size(), names.size()) << solve.out();
    double sum = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(parts[i].name, names[i]);
        if (i + 1 < names.size())
            sum += parts[i].ms;
    }
    // Each part is rounded to 0.1 ms on its own.
    EXPECT_NEAR(parts.back().ms, sum, 0.05 * double(names.size()));
    // The cycles are shown without the coarse solves, which the plain "Split cycles" line holds.
    EXPECT_NEAR(parts[3].ms + parts[4].ms, 1000 * secondsOf(solve.out(), "Split cycles"), 0.16);
    // The total is prepareSolve and solve, less what lies outside their parts.
    const double printed =
        1000 * (secondsOf(solve.out(), "prepareSolve time") + secondsOf(solve.out(), "Solve time"));
    EXPECT_LE(parts.back().ms, printed + 1.5);
    EXPECT_GE(parts.back().ms, 0.8 * printed - 1.5);
    // Without --profile the split is not printed.
    Child plain(OSTREL_SOLVE_EXE, {"--size", "24", "8", "8", "--voxel", "0.05", "--levels", "3",
                                   "--tolerance", "0.001", "--device", "host", "--threads", "1"});
    ASSERT_EQ(plain.finish(), 0);
    EXPECT_EQ(plain.out().find("Split of one design iteration"), std::string::npos);
}

TEST(SolveProfile, LargestUnderAMemoryLimit) {
    struct LimitCase {
        const char* megabytes;
        const char* line;
    } cases[] = {
        {"1",
         "Largest cantilever that fits: 20 x 7 x 7 voxels, 980 elements, 3 levels (host "
         "estimate 1 MB of 1 MB; the host's memory limits it)\n"},
        {"16",
         "Largest cantilever that fits: 40 x 14 x 14 voxels, 7840 elements, 3 levels (host "
         "estimate 6 MB of 16 MB; the host's memory limits it)\n"},
    };
    for (const LimitCase& c : cases) {
        Child solve(OSTREL_SOLVE_EXE,
                    {"--largest", "--memory-limit", c.megabytes, "--voxel", "0.01", "--tolerance",
                     "0.01", "--device", "host", "--threads", "1"});
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
