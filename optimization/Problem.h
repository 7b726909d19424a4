#pragma once
// The problem a loaded scene poses: the voxel model with its grid hierarchy (FemModel), the
// multigrid solver set up on its device, the fixations and loads, the design controls and the
// design regions they give. buildProblem is the one function that makes it from a scene
// (scene/Scene.h holds only the file, its parameters and the prepared mesh).
//
// buildProblem, in order: the level count, the voxel grid's size and the estimated memory need
// (optimization/MemoryEstimate.h) before anything large is allocated; voxelization (with the
// additional surface voxels when the scene asks for them); the model's limits and memory need
// with the exact counts; the model (fem/FemModel.h) and its solver (gpu/MultigridSolver.h,
// with the options' method); the
// scene's FIXED_VERTICES and FORCES applied to the level-0 vertices (a grid point without a
// vertex, or a list that ends in unreadable text, gives one "WARNING: " line each and is passed
// over), the further load cases' forces given to the solver (MultigridSolver::setMoreLoads); the
// design regions of the controls (a vertex loaded in any case is kept). A refusal is a value: the status and one
// "ERROR: " line in the log; nothing ends the process.
//
// The seams an engine builds on: the solver solves for given element stiffness factors
// (MultigridSolver::prepareSolve / solve with FemModel::stiffnessFactors), the per-element design
// operations are the verbs of optimization/ElementSteps.h, and global sums (volume, energy)
// are separate steps there, so that another engine may compute them across processes.
// Owns the model and the solver; the solver's device resources are released before the model.

#include <memory>
#include <string>

#include "core/MemoryLimit.h"
#include "fem/FemModel.h"
#include "gpu/Driver.h"
#include "gpu/MultigridSolver.h"
#include "optimization/DesignRegions.h"
#include "scene/DesignControls.h"
#include "scene/Scene.h"

namespace ostrel {

class VoxelSplit;

class Problem {
public:
    Problem(std::unique_ptr<FemModel> model, std::unique_ptr<MultigridSolver> solver,
            const DesignControls& controls);
    ~Problem();
    Problem(const Problem&) = delete;
    Problem& operator=(const Problem&) = delete;

    FemModel& model() { return *model_; }
    const FemModel& model() const { return *model_; }
    MultigridSolver& solver() { return *solver_; }
    /// The design controls the problem was built with and their regions (as built: the window
    /// changes its projection mode on the scene, which the optimizer's next reset takes).
    const DesignControls& controls() const { return controls_; }
    const DesignRegions& regions() const { return regions_; }

    /// The model's fixed vertices and non-zero forces, and those of the further load cases (the
    /// solver's), in vertex order (what a scene file written now lists).
    SupportsAndLoads supportsAndLoads() const;
    /// The further load cases' forces (the solver's, MultigridSolver::moreLoads).
    const std::vector<std::vector<float>>& moreLoads() const { return solver_->moreLoads(); }

private:
    std::unique_ptr<FemModel> model_;
    std::unique_ptr<MultigridSolver> solver_;
    DesignControls controls_;
    DesignRegions regions_;
};

/// How a build ended.
enum class ProblemStatus {
    Built,
    Refused,   ///< the scene's model cannot be built or does not fit the memory
    NoDevice,  ///< the driver reports no device to solve on
};

/// Values that replace the scene's design controls (a command line's); 0 or false: the scene's.
struct DesignOverrides {
    double volumeFraction = 0;
    double filterRadius = 0;  ///< given: also counts as a radius the scene gave
    bool projection = false;  ///< true: projection 1
    /// Given: the minimum member size in place of the scene's (and of its filter radius); a
    /// filter radius given here drops the scene's minimum member size instead.
    double minMember = 0;
};

/// The scene's design controls with `overrides` applied.
DesignControls overriddenControls(DesignControls controls, const DesignOverrides& overrides);

struct ProblemOptions {
    DeviceOptions device;
    /// Memory the problem may need; bytes 0 (the default) means the limit that applies to the
    /// process (core/MemoryLimit.h), read at every build.
    MemoryLimit memoryLimit;
    DesignOverrides overrides;
    /// The solver's method, set on the solver once it is set up; conjugate gradients add their
    /// vectors to the memory need.
    SolveMethod solver = SolveMethod::VCycles;
    /// Splits the voxelization over processes (voxel/VoxelSplit.h; null: this process
    /// voxelizes the whole grid). With a split the build is collective up to the shared grid.
    VoxelSplit* voxelSplit = nullptr;
    /// The many-process engine: the processes that run it, and those of them on this machine,
    /// which share its memory (0: this process runs alone). The memory check then weighs one
    /// process's share of the run (SceneSize::processes) against its share of the machine's
    /// memory.
    int processes = 0;
    int processesHere = 0;
};

struct ProblemBuild {
    ProblemStatus status = ProblemStatus::Refused;
    std::unique_ptr<Problem> problem;  ///< set when built
};

/// Builds the problem of the loaded `scene` as the header comment says; messages go to `log`,
/// the hierarchy's and solver's progress lines to the console.
ProblemBuild buildProblem(const Scene& scene, const ProblemOptions& options, std::wostream* log);

}  // namespace ostrel
