#include "optimization/petsc/EngineSolve.h"

namespace ostrel {

bool PetscEngineSolve::prepare() {
    solver_.prepareSolve();
    return true;
}

ExternalSolveResult PetscEngineSolve::solve(const std::vector<float>& load,
                                            std::vector<double>& u, double /*tolerance*/) {
    // The tolerance is the solver's own (set at construction, overridable by PETSc's options).
    const PetscSolveResult r = solver_.solveFrom(load, u);
    return {r.converged, r.iterations, r.relativeResidual};
}

}  // namespace ostrel
