#include "tools/RunBreakdown.h"

#include <cmath>
#include <cstdio>

#include "gpu/MultigridSolver.h"

namespace ostrel {

void RunBreakdown::record(int iteration, double compliance, double volumeRatio,
                          double volumeGoal, bool solveConverged) {
    ++steps_;
    lastIteration_ = iteration;
    lastCompliance_ = compliance;
    failedInARow_ = solveConverged ? 0 : failedInARow_ + 1;
    const bool atGoal = std::fabs(volumeRatio - volumeGoal) <= kVolumeTolerance;
    if (atGoal && std::isfinite(compliance) && (!haveBest_ || compliance < best_)) {
        haveBest_ = true;
        best_ = compliance;
        bestIteration_ = iteration;
    }
}

RunBreakdown::Kind RunBreakdown::kind() const {
    if (steps_ == 0) return Kind::None;
    if (failedInARow_ >= kFailedSolves) return Kind::SolveFailed;
    if (haveBest_ && lastCompliance_ > kJumpFactor * best_) return Kind::ComplianceJump;
    return Kind::None;
}

std::string RunBreakdown::reason() const {
    char text[256];
    switch (kind()) {
    case Kind::None:
        return {};
    case Kind::SolveFailed:
        std::snprintf(text, sizeof text,
                      "broke down (the last %d solves stopped at the cap of %d cycles)",
                      failedInARow_, MultigridSolver::kMaxCycles);
        return text;
    case Kind::ComplianceJump:
        std::snprintf(text, sizeof text,
                      "broke down (the compliance rose from %.6g at iteration %d to %.6g at "
                      "iteration %d, more than %g times)",
                      best_, bestIteration_, lastCompliance_, lastIteration_, kJumpFactor);
        return text;
    }
    return {};
}

std::string RunBreakdown::message() const {
    switch (kind()) {
    case Kind::None:
        return {};
    case Kind::SolveFailed:
        return "ERROR: The run broke down: the solves of its last " +
               std::to_string(failedInARow_) + " steps (to iteration " +
               std::to_string(lastIteration_) + ") stopped at the cap of " +
               std::to_string(MultigridSolver::kMaxCycles) +
               " multigrid cycles without converging, so the final compliance is not reliable: "
               "the design may have come apart (a member held only by an edge or a corner); "
               "try a smaller --filter-radius or a run without --projection, and check the "
               "result with ostrel-evaluate";
    case Kind::ComplianceJump: {
        char text[512];
        std::snprintf(text, sizeof text,
                      "ERROR: The run broke down: its compliance rose from %.6g (iteration %d) "
                      "to %.6g (iteration %d), more than %g times, and did not recover, so the "
                      "design has probably lost a member or come apart (a member held only by an "
                      "edge or a corner); try a smaller --filter-radius or a run without "
                      "--projection, and check the result with ostrel-evaluate",
                      best_, bestIteration_, lastCompliance_, lastIteration_, kJumpFactor);
        return text;
    }
    }
    return {};
}

}  // namespace ostrel
