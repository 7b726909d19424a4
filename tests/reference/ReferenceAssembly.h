#pragma once
// The reference Galerkin assembly on the host, independent of the solver's device assembly
// (MultigridSolver::prepareSolve, element by element), against which the tests check it. No part of
// the product.

namespace ostrel {

class FemModel;

/// Builds A_[l] for l = 2 .. numLevels_-1 from E_, isVertexFixed_, vertexMass_ and dt_: level 2
/// straight from the level-0 elements (4:1 trilinear interpolation), further levels 2:1 from
/// the level above. One OpenMP loop per level over coarse vertices, static schedule. Host only.
void assembleOperators(FemModel& model);
/// Builds A_[level] alone (level >= 2; level > 2 needs A_[level-1] built first).
void assembleLevelOperator(FemModel& model, int level);

}  // namespace ostrel
