#pragma once
// The breakdown test of a batch run: a run whose final solves did not converge, or whose
// compliance rose far above the best it had reached and stayed there, has lost its way (a
// member joined only by an edge, a design that came apart) whatever its convergence test
// says. The batch program then does not report convergence and exits with status 1.
//
// A run has broken down after its last recorded step when
//  - the solves of the last kFailedSolves steps in a row did not converge (they stopped at the
//    solver's cycle cap; a single one may be a passing hard step), or
//  - its compliance is above kJumpFactor times the lowest compliance of the steps whose volume
//    fraction was within kVolumeTolerance of the goal (a jump that did not recover).

#include <string>

namespace ostrel {

class RunBreakdown {
public:
    static constexpr double kJumpFactor = 1.5;
    static constexpr double kVolumeTolerance = 0.01;
    static constexpr int kFailedSolves = 3;

    enum class Kind { None, SolveFailed, ComplianceJump };

    /// One finished step: its counter, the compliance of its solve, the volume fraction after
    /// its update and the goal, and whether its solve converged.
    void record(int iteration, double compliance, double volumeRatio, double volumeGoal,
                bool solveConverged);
    /// The verdict after the last recorded step (None before the first).
    Kind kind() const;
    /// One "ERROR: The run broke down: ..." line (no line end) saying what happened and what
    /// to try; empty for Kind::None.
    std::string message() const;
    /// "Stopped: broke down (...)" reason for the summary, without "Stopped: " (empty for None).
    std::string reason() const;

private:
    int steps_ = 0;
    int lastIteration_ = -1;
    double lastCompliance_ = 0.0;
    int failedInARow_ = 0;  // the last steps whose solve did not converge
    bool haveBest_ = false;
    double best_ = 0.0;     // lowest compliance of a step at the volume goal
    int bestIteration_ = -1;
};

}  // namespace ostrel
