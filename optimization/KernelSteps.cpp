#include "optimization/KernelSteps.h"

#include <cstdint>
#include <vector>

#include "fem/FemModel.h"
#include "gpu/DeviceOptimizer.h"
#include "kernels/OptimizerLayout.h"
#include "optimization/Optimizer.h"

namespace ostrel {

namespace {

DeviceLimits limitsOf(const OptimizerState& s) {
    return {s.moveLimit_, s.designLower_, s.designUpper_};
}

DeviceProjection deviceProjection(const Projection& h) {
    return {h.beta, h.eta, h.floor, h.base, h.denominator};
}

/// The projection of the solved densities (a minimum member size's eroded design) for `beta`.
DeviceProjection solidProjection(const OptimizerState& s, double beta) {
    return deviceProjection(Projection(beta, s.solidEta_, s.minDensity_));
}

/// Designable elements' sum of the densities.
double designableSum(const OptimizerState& s) {
    double sum = 0.0;
    for (size_t e = 0; e < s.rho_.size(); ++e)
        if (!s.isKept_[e] && !s.isEmptyHeld_[e]) sum += s.rho_[e];
    return sum;
}

/// With a minimum member size: the held volume's scale from the designable sums of the current
/// intermediate (the densities) and eroded designs (Optimizer::memberVolumeScale).
void updateMemberVolumeScale(OptimizerState& s, double eroded) {
    s.memberVolumeScale_ = Optimizer::memberVolumeScale(designableSum(s), eroded);
}

}  // namespace

void KernelSteps::loadDevice(Optimizer& opt, bool withDesign) {
    OptimizerState& s = state(opt);
    const bool projected = opt.isProjected();
    const size_t n = s.rho_.size();
    const DensityFilter& filter = opt.densityFilter();
    std::vector<uint8_t> flags(n);
    for (size_t e = 0; e < n; ++e)
        flags[e] = uint8_t((s.isKept_[e] ? kElementKept : 0) |
                           (s.isEmptyHeld_[e] ? kElementHeldEmpty : 0) |
                           (opt.isHeldDesign(e) ? kElementHeldDesign : 0));
    DeviceDesignState state;
    state.numElements = n;
    state.projected = projected;
    state.solidDesign = opt.solvesEroded();
    state.flags = flags.data();
    if (withDesign) {
        state.x = s.x_.data();
        state.rho = s.rho_.data();
        state.xTilde = projected ? s.xTilde_.data() : s.xTilde0_.data();
        state.W = s.W_.data();
        state.q = s.q_.data();
    }
    state.paddedDims = filter.paddedDims();
    state.padding = filter.padding();
    state.numTaps = filter.numTaps();
    state.tapWeights = filter.tapWeights().data();
    state.tapOffsets = filter.tapOffsets().data();
    state.padSums = filter.padSums().empty() ? nullptr : filter.padSums().data();
    state.voidDensity = filter.voidDensity();
    state.moveLimit = s.moveLimit_;
    if (withDesign && projected && s.moves_.size() == n && s.lastChange_.size() == n) {
        state.moves = s.moves_.data();
        state.lastChange = s.lastChange_.data();
    }
    state.orbitSize = s.orbits_.size;
    state.orbit = s.orbits_.symmetric() ? s.orbits_.members.data() : nullptr;
    device_.load(state);
    if (withDesign) device_.projectSolid(solidProjection(s, s.rhoBeta_), float(s.minDensity_));
}

DesignSums KernelSteps::start(Optimizer& opt) {
    loadDevice(opt, false);
    OptimizerState& s = state(opt);
    // With projection the densities follow the search's rules; without, they are the
    // projection of the filtered design with beta and eta, whose slope the sensitivities take.
    const bool projected = opt.isProjected();
    const Projection h = projected ? Projection(s.beta_, s.eta_, s.minDensity_)
                                   : Projection(s.beta_, s.eta_);
    const DeviceStart start{float(opt.controls().volumeFraction), float(s.designLower_),
                            deviceProjection(h), uint8_t(projected ? kElementKept : 0),
                            float(s.minDensity_)};
    const DesignSums sums = device_.start(start, s.rho_.data());
    const double eroded = device_.projectSolid(solidProjection(s, s.beta_), float(s.minDensity_));
    if (opt.solvesEroded()) updateMemberVolumeScale(s, eroded);
    return sums;
}

void KernelSteps::load(Optimizer& opt) { loadDevice(opt, true); }

void KernelSteps::unload(Optimizer& opt) {
    OptimizerState& s = state(opt);
    downloadState(opt);
    device_.downloadDensities(s.rho_.data());
    device_.downloadWeightSums(s.W_.data());
    if (!opt.isProjected()) device_.downloadFiltered(s.xTilde0_.data());
}

void KernelSteps::downloadState(Optimizer& opt) {
    OptimizerState& s = state(opt);
    device_.downloadDesign(s.x_.data());
    device_.downloadEnergies(s.q_.data());
    std::vector<float> factors(opt.model().stiffnessFactors().size());
    device_.downloadFactors(factors.data());
    opt.model().setStiffnessFactors(std::move(factors));
    if (opt.isProjected()) device_.downloadFiltered(s.xTilde_.data());
}

void KernelSteps::downloadCheckpoint(Optimizer& opt) {
    OptimizerState& s = state(opt);
    downloadState(opt);
    device_.downloadDensities(s.rho_.data());
    device_.downloadWeightSums(s.W_.data());
    if (opt.isProjected()) {
        s.moves_.resize(s.rho_.size());
        s.lastChange_.resize(s.rho_.size());
        device_.downloadMoves(s.moves_.data());
        device_.downloadLastChanges(s.lastChange_.data());
    } else {
        device_.downloadFiltered(s.xTilde0_.data());
    }
}

DesignSums KernelSteps::densitiesChanged(const Optimizer& opt) {
    device_.uploadDensities(state(opt).rho_.data());
    return device_.designSums();
}

void KernelSteps::updateStiffness(Optimizer& opt) {
    device_.updateStiffness(state(opt).baseStiffness_, state(opt).penalty_);
}

double KernelSteps::evaluateEnergies(Optimizer&) { return device_.evaluateEnergies(); }

double KernelSteps::addCaseEnergies(Optimizer&, double weight, bool first) {
    return device_.addCaseEnergies(weight, first);
}

void KernelSteps::computeSensitivities(Optimizer& opt) {
    OptimizerState& s = state(opt);
    // The slope at the field and beta of the current densities (mode 1) or at the field filtered
    // at reset (mode 0); held elements contribute nothing.
    const bool projected = opt.isProjected();
    const Projection h = projected ? Projection(s.rhoBeta_, s.eta_, s.minDensity_)
                                   : Projection(s.beta_, s.eta_);
    const uint8_t zero = projected ? uint8_t(kElementKept | kElementHeldEmpty)
                                   : uint8_t(kElementHeldEmpty);
    const DeviceProjection solid = solidProjection(s, s.rhoBeta_);
    const bool eroded = opt.solvesEroded();
    device_.computeSensitivities(deviceProjection(h), zero, s.penalty_, eroded ? &solid : nullptr,
                                 eroded ? Optimizer::kMemberVolumeMix : 0.0);
}

void KernelSteps::ratioRange(Optimizer&, double& lo, double& hi) { device_.ratioRange(lo, hi); }

void KernelSteps::prepareSearch(Optimizer& opt) {
    if (!opt.isProjected()) device_.prepareSearch();
}

double KernelSteps::searchVolume(Optimizer& opt, double lambda) {
    OptimizerState& s = state(opt);
    if (!opt.isProjected()) return device_.searchVolume(lambda, limitsOf(s));
    const DeviceProjection h = deviceProjection(Projection(s.beta_, s.eta_, s.minDensity_));
    if (opt.solvesEroded())
        return s.memberVolumeScale_ *
               device_.searchMixedVolume(lambda, limitsOf(s), h, solidProjection(s, s.beta_),
                                         Optimizer::kMemberVolumeMix, float(s.minDensity_));
    return device_.searchProjectedVolume(lambda, limitsOf(s), h, float(s.minDensity_));
}

int KernelSteps::searchWidth(const Optimizer& opt) const {
    return opt.isProjected() ? 1 : device_.searchWidth();
}

void KernelSteps::searchVolumes(Optimizer& opt, const std::vector<double>& lambdas,
                                std::vector<double>& volumes) {
    if (opt.isProjected()) return ElementSteps::searchVolumes(opt, lambdas, volumes);
    volumes.resize(lambdas.size());
    device_.searchVolumes(lambdas.data(), int(lambdas.size()), limitsOf(state(opt)), volumes.data());
}

void KernelSteps::finishSearch(Optimizer& opt, double lambda) {
    OptimizerState& s = state(opt);
    // Without projection: the design for the last pass's multiplier, filtered once.
    if (!opt.isProjected()) device_.finishSearch(lambda, limitsOf(s), float(s.minDensity_));
}

DesignSums KernelSteps::accept(Optimizer& opt) {
    if (opt.adaptsMoves())
        device_.adaptMoves({Optimizer::kMoveShrink, Optimizer::kMoveGrowth, Optimizer::kMoveFloor,
                            state(opt).moveLimit_});
    OptimizerState& s = state(opt);
    const DesignSums sums = device_.accept(s.rho_.data());
    // The candidates were projected with the current beta: the solved densities follow.
    const double eroded = device_.projectSolid(solidProjection(s, s.beta_), float(s.minDensity_));
    if (opt.solvesEroded()) updateMemberVolumeScale(s, eroded);
    return sums;
}

double KernelSteps::kernelSeconds() const { return device_.kernelSeconds(); }

}  // namespace ostrel
