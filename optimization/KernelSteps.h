#pragma once
// The product's per-element steps of a design iteration (ElementSteps.h): the optimizer kernels
// of the kernel module, run on the solver's device (host or CUDA) through a DeviceOptimizer
// (gpu/DeviceOptimizer.h), which keeps the design, densities, energies, sensitivities and
// candidates there between iterations.
//
// start() forms the optimizer's starting state on the device, load() puts a design the
// optimizer holds there. Without projection the multiplier search is linear: the volume of a
// candidate is sum_j c_j * y_j (c = the transposed filter of the designable set, formed on the
// device) plus the pad terms of the designable elements' filters,
// one sweep per pass, and the design is filtered once after the last pass; with projection
// every pass filters and projects. The device optimizer must outlive these steps. Main thread
// only.

#include "optimization/ElementSteps.h"

namespace ostrel {

class DeviceOptimizer;

class KernelSteps final : public ElementSteps {
public:
    explicit KernelSteps(DeviceOptimizer& device) : device_(device) {}

    DesignSums start(Optimizer& opt) override;
    void load(Optimizer& opt) override;
    void unload(Optimizer& opt) override;
    void downloadState(Optimizer& opt) override;
    void downloadCheckpoint(Optimizer& opt) override;
    DesignSums densitiesChanged(const Optimizer& opt) override;
    void updateStiffness(Optimizer& opt) override;
    double evaluateEnergies(Optimizer& opt) override;
    double addCaseEnergies(Optimizer& opt, double weight, bool first) override;
    void computeSensitivities(Optimizer& opt) override;
    void ratioRange(Optimizer& opt, double& lo, double& hi) override;
    void prepareSearch(Optimizer& opt) override;
    double searchVolume(Optimizer& opt, double lambda) override;
    /// The device's width without projection (DeviceOptimizer::searchWidth: 128 multipliers per
    /// pass on a CUDA device, 8 on the host device), 1 with it (every pass filters and
    /// projects).
    int searchWidth(const Optimizer& opt) const override;
    void searchVolumes(Optimizer& opt, const std::vector<double>& lambdas,
                       std::vector<double>& volumes) override;
    void finishSearch(Optimizer& opt, double lambda) override;
    DesignSums accept(Optimizer& opt) override;
    double kernelSeconds() const override;
    bool onDevice() const override { return true; }

private:
    /// Puts the flags, the filter and, with `withDesign`, the optimizer's design state on the
    /// device.
    void loadDevice(Optimizer& opt, bool withDesign);

    DeviceOptimizer& device_;
};

}  // namespace ostrel
