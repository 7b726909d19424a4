#pragma once
// The load cases of a problem as the window edits them. Case 1 holds the model's forces
// (FemModel::forces), cases 2, 3, ... the solver's further cases (MultigridSolver::moreLoads);
// their weights are a DesignControls' loadCaseWeights (one per case with several cases, empty
// with one: the list is kept so). One case is chosen: setForces and clearChosen act on it.
//
// Edited forces reach the solver's device at its next computeLoad, as the model's always have.
// Adding or removing a case changes the solver's cases at once (MultigridSolver::setMoreLoads:
// the loads on the device are built again by the next computeLoad), and the optimizer, which
// sizes its energies by the case count at its reset, must be reset before its next solve.
// The model, solver and weights are not owned and must outlive this object.

#include <utility>
#include <vector>

#include "geometry/Vec3.h"

namespace ostrel {

class FemModel;
class MultigridSolver;

class LoadCaseForces {
public:
    /// Chooses case 1. `weights` is made one per case (1 where missing) with several cases and
    /// empty with one.
    LoadCaseForces(FemModel& model, MultigridSolver& solver, std::vector<double>& weights);

    int count() const;
    /// The chosen case, 1-based.
    int chosen() const { return chosen_; }
    /// Chooses case `number`, kept within 1 .. count().
    void choose(int number);
    /// The forces of case `number` (1-based, within 1 .. count()): 3 per level-0 vertex.
    const std::vector<float>& forces(int number) const;
    /// Sets the chosen case's force of each listed vertex (vertices outside the model are
    /// passed over).
    void setForces(const std::vector<std::pair<int, Vec3f>>& changes);
    /// Every force of the chosen case to zero.
    void clearChosen();
    /// Appends a case without forces, weight 1, and chooses it; returns its number.
    int addCase();
    /// Removes the chosen case unless it is case 1 (false then, nothing changes); the case
    /// before it is chosen.
    bool removeChosen();
    /// The weight of case `number` (1 with one case).
    double weight(int number) const;
    /// Sets the weight of case `number` when there are several cases and `value` >= 0 leaves
    /// some case a positive weight; false (nothing changes) otherwise.
    bool setWeight(int number, double value);

private:
    FemModel& model_;
    MultigridSolver& solver_;
    std::vector<double>& weights_;
    int chosen_ = 1;
};

}  // namespace ostrel
