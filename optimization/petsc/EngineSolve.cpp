#include "optimization/petsc/EngineSolve.h"

namespace ostrel {

bool PetscEngineSolve::prepare() {
    solver_.prepareSolve();
    return true;
}

ExternalSolveResult PetscEngineSolve::solve(std::span<const float> load, std::span<double> u,
                                            double tolerance) {
    // The caller's tolerance (the steps' or a report's), unless PETSc's options set one.
    solver_.setTolerance(tolerance);
    const PetscSolveResult r = solver_.solveFrom(load, u);
    return {r.converged, r.iterations, r.relativeResidual};
}

}  // namespace ostrel
