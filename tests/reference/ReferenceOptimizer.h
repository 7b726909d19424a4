#pragma once
// Optimizers for the tests: StepOptimizer opens the parts of an iteration (sensitivities,
// volume target, multiplier search, beta continuation) on any attached steps;
// ReferenceOptimizer runs on its own ReferenceSteps (the CPU reference of the kernel path) and
// names the reference's arrays as the optimizer's own did.

#include <filesystem>

#include "optimization/Optimizer.h"
#include "reference/ReferenceSteps.h"

namespace ostrel {

class StepOptimizer : public Optimizer {
public:
    using Optimizer::Optimizer;
    using Optimizer::computeSensitivities;
    using Optimizer::continueBeta;
    using Optimizer::nextVolumeTarget;
    using Optimizer::searchMultiplier;
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
