#include "optimization/LoadCaseSolve.h"

#include <ostream>

#include "gpu/MultigridSolver.h"
#include "optimization/Optimizer.h"

namespace ostrel {

bool solveLoadCases(MultigridSolver& solver, Optimizer& optimizer, double tolerance) {
    const int cases = solver.loadCaseCount();
    if (cases == 1) return solver.solve(tolerance);
    std::ostream* sink = solver.cycleCountSink();
    solver.setCycleCountSink(nullptr);
    bool converged = true, stopped = false;
    int cycles = 0;
    for (int c = 0; c < cases && !stopped; ++c) {
        solver.selectLoadCase(c);
        converged = solver.solve(tolerance) && converged;
        cycles += solver.lastCycles();
        stopped = solver.lastSolveStopped();
        if (!stopped) optimizer.evaluateCaseEnergies(c);
    }
    solver.selectLoadCase(0);
    solver.setCycleCountSink(sink);
    if (sink && !stopped) *sink << cycles << "\n" << std::flush;
    return converged;
}

}  // namespace ostrel
