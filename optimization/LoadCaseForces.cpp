#include "optimization/LoadCaseForces.h"

#include <algorithm>

#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"

namespace ostrel {

LoadCaseForces::LoadCaseForces(FemModel& model, MultigridSolver& solver,
                               std::vector<double>& weights)
    : model_(model), solver_(solver), weights_(weights) {
    if (count() == 1)
        weights_.clear();
    else
        weights_.resize(size_t(count()), 1.0);
}

int LoadCaseForces::count() const { return solver_.loadCaseCount(); }

void LoadCaseForces::choose(int number) { chosen_ = std::clamp(number, 1, count()); }

const std::vector<float>& LoadCaseForces::forces(int number) const {
    return number <= 1 ? model_.forces() : solver_.moreLoads()[size_t(number - 2)];
}

void LoadCaseForces::setForces(const std::vector<std::pair<int, Vec3f>>& changes) {
    const int n = model_.numVertices(0);
    if (chosen_ == 1) {
        for (const auto& [v, f] : changes)
            if (v >= 0 && v < n) model_.setForce(v, f);
        return;
    }
    std::vector<float> forces = solver_.moreLoads()[size_t(chosen_ - 2)];
    for (const auto& [v, f] : changes) {
        if (v < 0 || v >= n) continue;
        float* to = &forces[3 * size_t(v)];
        to[0] = f.x, to[1] = f.y, to[2] = f.z;
    }
    solver_.setCaseForces(chosen_ - 1, std::move(forces));
}

void LoadCaseForces::clearChosen() {
    if (chosen_ == 1)
        model_.clearForces();
    else
        solver_.setCaseForces(chosen_ - 1,
                              std::vector<float>(3 * size_t(model_.numVertices(0)), 0.0f));
}

int LoadCaseForces::addCase() {
    std::vector<std::vector<float>> cases = solver_.moreLoads();
    cases.emplace_back(3 * size_t(model_.numVertices(0)), 0.0f);
    solver_.setMoreLoads(std::move(cases));
    weights_.resize(size_t(count()), 1.0);
    chosen_ = count();
    return chosen_;
}

bool LoadCaseForces::removeChosen() {
    if (chosen_ == 1) return false;
    std::vector<std::vector<float>> cases = solver_.moreLoads();
    cases.erase(cases.begin() + (chosen_ - 2));
    solver_.setMoreLoads(std::move(cases));
    weights_.erase(weights_.begin() + (chosen_ - 1));
    // One case is its compliance alone; a case left without weight takes 1 again.
    if (count() == 1) weights_.clear();
    else if (std::none_of(weights_.begin(), weights_.end(), [](double w) { return w > 0; }))
        std::fill(weights_.begin(), weights_.end(), 1.0);
    --chosen_;
    return true;
}

double LoadCaseForces::weight(int number) const {
    return number >= 1 && size_t(number) <= weights_.size() ? weights_[size_t(number - 1)] : 1.0;
}

bool LoadCaseForces::setWeight(int number, double value) {
    if (count() == 1 || number < 1 || number > count() || !(value >= 0)) return false;
    std::vector<double> weights = weights_;
    weights[size_t(number - 1)] = value;
    if (std::none_of(weights.begin(), weights.end(), [](double w) { return w > 0; }))
        return false;
    weights_ = std::move(weights);
    return true;
}

}  // namespace ostrel
