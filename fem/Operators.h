#pragma once
// Element stiffness matrices and the coarsest-level factorization. The solver assembles the
// Galerkin operators of levels >= 2 on its device (MultigridSolver::prepareSolve); the tests hold an
// independent host assembly (tests/reference/ReferenceAssembly.h) as its reference.

#include <array>

namespace ostrel {

class FemModel;

/// 24x24 stiffness matrix (row-major, dof 3*node + component) of a (dx,dy,dz) hexahedron with
/// Young's modulus E and Poisson ratio nu, in closed form.
std::array<double, 576> elementStiffness(double dx, double dy, double dz, double E, double nu);

/// Builds the coarsest system from A_[numLevels_-1] (column a*n+j, rows b*n+nb in the order of
/// coarseNeighbors_, lower triangle) into model.coarseSolver_ and factors it. Returns false when
/// the factorization failed, or when the fixations leave a rigid-body mode free (nothing fixed,
/// one fixed point, a hinge; fem/RigidBodyModes.h): the system is then singular even where
/// rounding leaves every pivot positive. The solver then refuses to solve. The rigid-body check
/// comes from model.fixationCheck_: it runs again only when isVertexFixed_ has changed.
bool factorCoarsestLevel(FemModel& model);

}  // namespace ostrel
