#pragma once
// The many-process engine as the multigrid solver's external solve (gpu/ExternalSolve.h): the
// design iteration of a process keeps running on its own model and device optimizer, and every
// solve of the finest level is PETSc's (PetscElasticSolver) across the processes of `comm`.
// Collective: every process prepares and solves together, in the same order.

#include "gpu/ExternalSolve.h"
#include "optimization/petsc/ElasticSolve.h"

namespace ostrel {

class PetscEngineSolve final : public ExternalSolve {
public:
    /// Builds the engine's solver for `model` (see PetscElasticSolver). Each solve reaches for
    /// the tolerance it is given (`tolerance` until the first) unless PETSc's options set
    /// another.
    PetscEngineSolve(const FemModel& model, MPI_Comm comm, double tolerance)
        : solver_(model, comm, tolerance) {}

    bool prepare() override;
    ExternalSolveResult solve(std::span<const float> load, std::span<double> u,
                              double tolerance) override;

    const PetscElasticSolver& solver() const { return solver_; }

private:
    PetscElasticSolver solver_;
};

}  // namespace ostrel
