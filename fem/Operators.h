#pragma once
// Galerkin operators of levels >= 2 and the coarsest-level factorization.

#include <array>

namespace ostrel {

class FemModel;

/// 24x24 stiffness matrix (row-major, dof 3*node + component) of a (dx,dy,dz) hexahedron with
/// Young's modulus E and Poisson ratio nu, in closed form.
std::array<double, 576> elementStiffness(double dx, double dy, double dz, double E, double nu);
/// Same by the 2x2x2 Gauss rule (reference for tests).
std::array<double, 576> elementStiffnessGauss(double dx, double dy, double dz, double E, double nu);

/// Builds A_[l] for l = 2 .. numLevels_-1 from E_, isVertexFixed_, vertexMass_ and dt_: level 2
/// straight from the level-0 elements (4:1 trilinear interpolation), further levels 2:1 from
/// the level above. One OpenMP loop per level over coarse vertices, static schedule. Host only.
/// The solver assembles on its device instead (CudaFem::prepareSolve, element by element);
/// this row-window assembly is the reference its results are checked against.
void assembleOperators(FemModel& model);
/// Builds A_[level] alone (level >= 2; level > 2 needs A_[level-1] built first).
void assembleLevelOperator(FemModel& model, int level);

/// Builds the coarsest system from A_[numLevels_-1] (column a*n+j, rows b*n+nb in the order of
/// coarseNeighbors_, lower triangle) into model.coarseSolver_ and factors it. Returns false when
/// the factorization failed, or when the fixations leave a rigid-body mode free (nothing fixed,
/// one fixed point, a hinge; fem/RigidBodyModes.h): the system is then singular even where
/// rounding leaves every pivot positive. The solver then refuses to solve. The rigid-body check
/// comes from model.fixationCheck_: it runs again only when isVertexFixed_ has changed.
bool factorCoarsestLevel(FemModel& model);

}  // namespace ostrel
