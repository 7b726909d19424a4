#pragma once
// The solve of a design iteration over every load case: after prepareSolve, each case of the
// solver (MultigridSolver::loadCaseCount) is selected and solved, warm started from its own
// last displacement, and its weighted energies go to the optimizer (evaluateCaseEnergies),
// case 0 first; case 0 is selected again at the end, so the displacement a reader downloads is
// case 0's. The cycle-count sink gets one line, the cycles of all cases together. With one case
// it is the solver's solve alone. The caller then calls the optimizer's evaluateEnergies as
// after a single solve.

namespace ostrel {

class MultigridSolver;
class Optimizer;

/// Solves every load case to `tolerance` as above; true when every solve reached it. A solve
/// stopped by the solver's stop request ends the loop at once (lastSolveStopped tells, and no
/// cycle count is written).
bool solveLoadCases(MultigridSolver& solver, Optimizer& optimizer, double tolerance);

}  // namespace ostrel
