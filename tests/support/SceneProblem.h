#pragma once
// A test's scene with its problem: loadScene loads the scene file and builds its problem
// (optimization/Problem.h) as the programs' start-up does, without the lint, the summary and
// gravity set to zero, so that a test reads the scene's values and the model's in one place
// and passes the scene where a Scene is taken. A refused problem fails the load.

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "optimization/Problem.h"
#include "scene/Scene.h"

namespace ostrel::testing {

class SceneProblem : public Scene {
public:
    explicit SceneProblem(const DeviceOptions& device = {}) { options_.device = device; }

    bool loadScene(const std::wstring& file, std::wostream* log) {
        problem_.reset();
        if (!Scene::loadScene(file, log)) return false;
        problem_ = buildProblem(*this, options_, log).problem;
        if (!problem_) return false;
        rememberSaved(problem_->supportsAndLoads());
        return true;
    }
    /// The memory the build may use (ProblemOptions::memoryLimit).
    void setMemoryLimit(double bytes, std::wstring source = L"memory limit") {
        options_.memoryLimit = {bytes, std::move(source)};
    }

    /// The voxelization's split over processes (ProblemOptions::voxelSplit).
    void setVoxelSplit(VoxelSplit* split) { options_.voxelSplit = split; }

    /// Loaded means the problem is built too.
    bool isLoaded() const { return problem_ != nullptr; }
    Problem* problem() { return problem_.get(); }
    FemModel* model() { return problem_ ? &problem_->model() : nullptr; }
    MultigridSolver* solver() { return problem_ ? &problem_->solver() : nullptr; }
    /// The model's supports and loads (none without a problem).
    SupportsAndLoads current() const {
        return problem_ ? problem_->supportsAndLoads() : SupportsAndLoads{};
    }
    bool saveScene(const std::wstring& file, std::wostream* log) {
        return Scene::saveScene(file, current(), log);
    }
    std::vector<std::wstring> unsavedEdits() const { return Scene::unsavedEdits(current()); }
    std::wstring sceneSummary() const {
        const FemModel* m = problem_ ? &problem_->model() : nullptr;
        return Scene::sceneSummary(m ? m->numElements(0) : 0, m ? m->numVertices(0) : 0);
    }

private:
    ProblemOptions options_;
    std::unique_ptr<Problem> problem_;
};

}  // namespace ostrel::testing
