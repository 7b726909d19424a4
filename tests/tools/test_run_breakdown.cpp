// The breakdown test of a batch run: failed final solves and a compliance that jumped and did
// not recover are found, ordinary runs (falling compliance, a jump that recovers, early steps
// above the volume goal) are not, and the messages say what happened.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/RunBreakdown.h"

namespace ostrel {
namespace {

struct Step {
    double compliance, volume;
    bool converged;
};

RunBreakdown recorded(const std::vector<Step>& steps) {
    RunBreakdown watch;
    int k = 0;
    for (const Step& s : steps) watch.record(k++, s.compliance, s.volume, 0.36, s.converged);
    return watch;
}

TEST(RunBreakdown, Verdicts) {
    using Kind = RunBreakdown::Kind;
    const struct {
        const char* name;
        std::vector<Step> steps;
        Kind kind;
    } cases[] = {
        {"no steps", {}, Kind::None},
        {"falling compliance", {{9, 0.36, true}, {3, 0.36, true}, {2, 0.36, true}}, Kind::None},
        // Three failed solves in a row at the end break a run down; fewer, or a good solve
        // after them, do not.
        {"the last three solves at the cap",
         {{9, 0.36, true}, {3, 0.36, false}, {2, 0.36, false}, {2, 0.36, false}},
         Kind::SolveFailed},
        {"the last two solves at the cap",
         {{9, 0.36, true}, {3, 0.36, true}, {2, 0.36, false}, {2, 0.36, false}}, Kind::None},
        {"failed solves that recovered",
         {{9, 0.36, false}, {3, 0.36, false}, {3, 0.36, false}, {3, 0.36, true}}, Kind::None},
        // 1.5 times the best exactly is still tolerated; just above it is not.
        {"rise to the factor", {{2, 0.36, true}, {3, 0.36, true}}, Kind::None},
        {"rise above the factor", {{2, 0.36, true}, {3.0001, 0.36, true}}, Kind::ComplianceJump},
        {"a jump that recovered",
         {{2, 0.36, true}, {7, 0.36, true}, {2.9, 0.36, true}}, Kind::None},
        // The best counts only at the volume goal (within 0.01): a stiff early design at a
        // larger volume is not the reference.
        {"low compliance above the volume goal",
         {{1, 0.5, true}, {2, 0.365, true}, {2.2, 0.36, true}}, Kind::None},
        {"best just inside the volume tolerance",
         {{1, 0.369, true}, {2, 0.36, true}}, Kind::ComplianceJump},
        {"an infinite compliance is never the best",
         {{1.0 / 0.0, 0.36, true}, {2, 0.36, true}}, Kind::None},
    };
    for (const auto& c : cases) EXPECT_EQ(recorded(c.steps).kind(), c.kind) << c.name;
}

TEST(RunBreakdown, MessagesSayWhatHappenedAndWhatToTry) {
    const RunBreakdown fine = recorded({{2, 0.36, true}});
    EXPECT_EQ(fine.message(), "");
    EXPECT_EQ(fine.reason(), "");

    const RunBreakdown failed = recorded(
        {{2, 0.36, true}, {2, 0.36, false}, {2, 0.36, false}, {2, 0.36, false}, {2, 0.36, false}});
    EXPECT_EQ(failed.reason(), "broke down (the last 4 solves stopped at the cap of 200 cycles)");
    EXPECT_EQ(failed.message(),
              "ERROR: The run broke down: the solves of its last 4 steps (to iteration 4) "
              "stopped at the cap of 200 multigrid cycles without converging, so the final "
              "compliance is not reliable: the design may have come apart (a member held only "
              "by an edge or a corner); try a smaller --filter-radius or a run without "
              "--projection, and check the result with ostrel-evaluate");

    const RunBreakdown jump =
        recorded({{9, 0.36, true}, {7.09e-4, 0.36, true}, {1.53e-3, 0.36, true}});
    EXPECT_EQ(jump.reason(),
              "broke down (the compliance rose from 0.000709 at iteration 1 to 0.00153 at "
              "iteration 2, more than 1.5 times)");
    EXPECT_EQ(jump.message(),
              "ERROR: The run broke down: its compliance rose from 0.000709 (iteration 1) to "
              "0.00153 (iteration 2), more than 1.5 times, and did not recover, so the design "
              "has probably lost a member or come apart (a member held only by an edge or a "
              "corner); try a smaller --filter-radius or a run without --projection, and check "
              "the result with ostrel-evaluate");
}

}  // namespace
}  // namespace ostrel
