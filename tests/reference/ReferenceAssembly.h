#pragma once
// The reference Galerkin assembly on the host, independent of the solver's device assembly
// (MultigridSolver::prepareSolve, element by element), against which the tests check it. No part of
// the product.

#include <vector>

namespace ostrel {

class FemModel;

/// The mass term m/dt^2 on the diagonal of free level-0 vertices, which the kernels implement
/// and the product leaves at zero (its masses are zero): nV lumped masses (empty = none) and the
/// time step.
struct MassTerm {
    std::vector<float> masses;
    double dt = 0.05;
};

/// Sets the model's levelOperator(l) for l = 2 .. numLevels()-1 from its stiffness factors,
/// fixed vertices and the mass term: level 2 straight from the level-0 elements (4:1 trilinear
/// interpolation), further levels 2:1 from the level above. One OpenMP loop per level over
/// coarse vertices, static schedule. Host only.
void assembleOperators(FemModel& model, const MassTerm& massTerm = {});
/// Sets levelOperator(level) alone (level >= 2; level > 2 needs level-1 built first).
void assembleLevelOperator(FemModel& model, int level, const MassTerm& massTerm = {});

}  // namespace ostrel
