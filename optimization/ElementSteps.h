#pragma once
// The per-element work of one design iteration behind one interface. The optimizer
// (Optimizer.h) keeps the schedule (reset, volume target, the multiplier search's driver, beta
// continuation, history, stop rules) and calls these verbs in a fixed order; an implementation
// holds the element loops. The product's implementation is KernelSteps (the kernel module on
// the solver's device, host or CUDA); the tests hold an independent implementation on the CPU
// as the reference the kernel path is checked against.
//
// Every verb gets the optimizer it works for; an implementation reaches its private state
// (OptimizerState.h: parameters, design x_, densities rho_, filtered designs, energies q_,
// weight sums W_, kept and held flags) through state(), and its filter through the optimizer.
// What an implementation keeps between the verbs (on a device or in its own arrays) it takes in
// load() and gives back in downloadState()/unload(). Sums are fixed-order, so each
// implementation gives the same result on every run.

#include <vector>

#include "gpu/DeviceOptimizer.h"
#include "optimization/Optimizer.h"

namespace ostrel {

/// The sums of an accepted design (volume, sharpness sum, largest design change), whoever forms
/// them.
using DesignSums = DeviceDesignSums;

class ElementSteps {
public:
    virtual ~ElementSteps() = default;

    /// The optimizer was reset (its parameters, flags and filter set, the arrays sized):
    /// form its starting state: the design (held-empty variables at the lower design bound,
    /// other held ones at 1, the rest at the volume fraction), the filter's weight sums, the
    /// filtered design and the densities (with projection projected and held by the rules of
    /// the search; without, the projection of the filtered design, held-empty elements at the
    /// minimum density), zero energies. rho_ comes back; returns the densities' sums.
    virtual DesignSums start(Optimizer& opt) = 0;
    /// These steps were attached to an optimizer that has a design: take its state (design,
    /// densities, filtered design, weight sums, energies, flags, filter) and, with projection,
    /// the move limits and last changes when moves_ holds n values (a restored checkpoint;
    /// otherwise every limit at the common one and no change yet).
    virtual void load(Optimizer& opt) = 0;
    /// The steps are detached: the optimizer's host arrays (x_, rho_, q_, xTilde_, xTilde0_,
    /// W_, the model's E_) become current.
    virtual void unload(Optimizer& opt) = 0;
    /// x_, q_, (projected) xTilde_ and the model's stiffness factors current on the host.
    virtual void downloadState(Optimizer& opt) = 0;
    /// For a checkpoint: everything load() takes current on the host (x_, rho_, q_, xTilde_,
    /// xTilde0_, W_, the model's factors and, with projection, moves_ and lastChange_); the
    /// steps stay as they are.
    virtual void downloadCheckpoint(Optimizer& opt) = 0;
    /// The caller changed the optimizer's rho_: take it; returns its sums (no change).
    virtual DesignSums densitiesChanged(const Optimizer& opt) = 0;

    /// The next element factors E = baseStiffness * rho^penalty, for the solver's next solve.
    virtual void updateStiffness(Optimizer& opt) = 0;
    /// q_e = max(0, E_e * ue^T Ke ue) from the solver's displacement; returns sum q.
    virtual double evaluateEnergies(Optimizer& opt) = 0;
    /// With several load cases, after the solve of one of them: that case's energies (formed as
    /// evaluateEnergies forms them) times `weight` into q_ (`first`: the first case, which
    /// replaces q_; every later case adds to it, in case order); returns the case's sum of
    /// energies, its compliance.
    virtual double addCaseEnergies(Optimizer& opt, double weight, bool first) = 0;
    /// The compliance and volume sensitivities through the filter and the projection's slope.
    virtual void computeSensitivities(Optimizer& opt) = 0;
    /// Smallest and largest |dq| / dv over the designable elements with dv > 0 (0, 0 for none).
    virtual void ratioRange(Optimizer& opt, double& lo, double& hi) = 0;
    /// Before the passes of the multiplier search.
    virtual void prepareSearch(Optimizer& opt) = 0;
    /// One pass: the candidate design for `lambda` and its densities; returns the volume of the
    /// designable elements' candidate densities.
    virtual double searchVolume(Optimizer& opt, double lambda) = 0;
    /// Multipliers one pass of the search evaluates together: 1 (a pass of searchVolume per
    /// multiplier, the bisection) or up to kSearchCandidates (searchVolumes).
    virtual int searchWidth(const Optimizer&) const { return 1; }
    /// One pass for several multipliers (at most searchWidth): volumes[k] is what
    /// searchVolume(lambdas[k]) returns; the candidates it leaves are unspecified.
    virtual void searchVolumes(Optimizer& opt, const std::vector<double>& lambdas,
                               std::vector<double>& volumes) {
        volumes.resize(lambdas.size());
        for (size_t k = 0; k < lambdas.size(); ++k) volumes[k] = searchVolume(opt, lambdas[k]);
    }
    /// After the passes: the candidates of the chosen multiplier `lambda` (with a search width
    /// of 1 the last pass's multiplier).
    virtual void finishSearch(Optimizer& opt, double lambda) = 0;
    /// The candidates become the design and the densities (rho_ current on the host).
    virtual DesignSums accept(Optimizer& opt) = 0;

    /// Kernel seconds so far (0 where nothing times kernels).
    virtual double kernelSeconds() const { return 0.0; }
    /// True when the steps run in the kernel module on a device.
    virtual bool onDevice() const { return false; }

protected:
    /// The optimizer's state, for the implementations of the steps only.
    static OptimizerState& state(Optimizer& opt) { return opt; }
    static const OptimizerState& state(const Optimizer& opt) { return opt; }
};

}  // namespace ostrel
