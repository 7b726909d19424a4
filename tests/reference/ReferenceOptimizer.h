#pragma once
// Optimizers for the tests: StepOptimizer names the optimizer's private state (through the
// steps' door, ReferenceSteps::internals) as the optimizer's own fields are named; with steps on
// a device, its x_, q_ and xTilde_ are as old as the last snapshot();
// ReferenceOptimizer runs on its own ReferenceSteps (the CPU reference of the kernel path) and
// names the reference's arrays as the optimizer's own did.

#include <filesystem>

#include "optimization/Optimizer.h"
#include "reference/ReferenceSteps.h"

namespace ostrel {

class StepOptimizer : public Optimizer {
public:
    using Optimizer::Optimizer;

    // Qualified: the plain name is the private base class.
    ::ostrel::OptimizerState& state = ReferenceSteps::internals(*this);
    std::vector<uint8_t>& isKept_ = state.isKept_;
    std::vector<uint8_t>& isEmptyHeld_ = state.isEmptyHeld_;
    std::vector<float>& rho_ = state.rho_;
    std::vector<double>& q_ = state.q_;
    std::vector<float>& x_ = state.x_;
    std::vector<float>& xTilde0_ = state.xTilde0_;
    std::vector<double>& W_ = state.W_;
    std::vector<float>& xTilde_ = state.xTilde_;
    SymmetryOrbits& orbits_ = state.orbits_;
    double& V0_ = state.V0_;
    double& Vk_ = state.Vk_;
    int& numDesignable_ = state.numDesignable_;
    int& numEmptyHeld_ = state.numEmptyHeld_;
    double& rhoBeta_ = state.rhoBeta_;
    double& volumeReductionGoal_ = state.volumeReductionGoal_;
    double& volumeTarget_ = state.volumeTarget_;
    double& beta_ = state.beta_;
    double& eta_ = state.eta_;
    double& moveLimit_ = state.moveLimit_;
    double& designLower_ = state.designLower_;
    double& designUpper_ = state.designUpper_;
    double& lastStrainEnergy_ = state.lastStrainEnergy_;
    double& lastVolumeRatio_ = state.lastVolumeRatio_;
    double& lastSharpness_ = state.lastSharpness_;
    double& lastDesignChange_ = state.lastDesignChange_;
};

class ReferenceOptimizer : public StepOptimizer {
public:
    ReferenceOptimizer(FemModel& model, OptimizationLifetime& lifetime,
                       std::filesystem::path historyDirectory = {})
        : StepOptimizer(model, lifetime, std::move(historyDirectory)) {
        attachSteps(&reference);
    }

    ReferenceSteps reference;
    std::vector<float>& candidateX_ = reference.candidateX;
    std::vector<float>& candidateRho_ = reference.candidateRho;
    std::vector<float>& candidateXTilde_ = reference.candidateXTilde;
    std::vector<double>& dv_ = reference.dv;
    std::vector<double>& sensitivity_ = reference.sensitivity;
};

}  // namespace ostrel
