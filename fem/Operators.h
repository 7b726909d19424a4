#pragma once
// Element stiffness matrices and the coarsest-level factorization. The solver assembles the
// Galerkin operators of levels >= 2 on its device (MultigridSolver::prepareSolve); the tests hold an
// independent host assembly (tests/reference/ReferenceAssembly.h) as its reference.

#include <array>

#include "fem/CoarseSolver.h"
#include "fem/RigidBodyModes.h"

namespace ostrel {

class FemModel;

/// 24x24 stiffness matrix (row-major, dof 3*node + component) of a (dx,dy,dz) hexahedron with
/// Young's modulus E and Poisson ratio nu, in closed form.
std::array<double, 576> elementStiffness(double dx, double dy, double dz, double E, double nu);

/// The coarsest level's direct solver with the cached check that the fixations hold the model
/// (owned by the multigrid solver; tests and benchmarks hold their own).
struct CoarseSystem {
    CoarseSolver solver;
    FixationCheck fixationCheck;  ///< runs again only when the fixed-vertex set has changed
};

/// Builds the coarsest system from model.levelOperator(coarsestLevel()) (column a*n+j, rows
/// b*n+nb in the order of coarseNeighbors(), lower triangle) into system.solver and factors it.
/// Returns false when the factorization failed, or when the fixations leave a rigid-body mode
/// free (nothing fixed, one fixed point, a hinge; fem/RigidBodyModes.h): the system is then
/// singular even where rounding leaves every pivot positive. The solver then refuses to solve.
/// The rigid-body check comes from system.fixationCheck.
bool factorCoarsestLevel(const FemModel& model, CoarseSystem& system);

}  // namespace ostrel
