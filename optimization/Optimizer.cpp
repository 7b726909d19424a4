#include "optimization/Optimizer.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <ostream>

#include "core/Console.h"
#include "core/Timing.h"
#include "fem/FemModel.h"
#include "gpu/DeviceOptimizer.h"
#include "kernels/OptimizerLayout.h"
#include "voxel/IsoSurface.h"

namespace ostrel {

namespace {

// One step of the multiplier search's bisection on [l, u]: a volume above the limit needs a
// larger multiplier, so the lower half goes.
void halveBracket(bool volumeAbove, double& l, double& u) {
    const double mid = 0.5 * (l + u);
    (volumeAbove ? l : u) = mid;
}

}  // namespace

Optimizer::Optimizer(FemModel& model, OptimizationLifetime& lifetime,
                     std::filesystem::path historyDirectory)
    : model_(model),
      lifetime_(lifetime),
      filter_(model),
      history_(std::move(historyDirectory)),
      wideLog_(&wideOut()),
      narrowLog_(&narrowOut()) {
    n_ = size_t(model_.numElements_[0]);
    cornerVertices_.resize(8 * n_);
    elementCell_.resize(n_);
    const auto& positions = model_.elementPosition_[0];
    for (size_t e = 0; e < n_; ++e) {
        const GridPos p = unpack(positions[e]);
        elementCell_[e] = size_t(FemModel::denseIndex(model_.elementDims_[0], p));
        for (int k = 0; k < 8; ++k) {
            const int v = model_.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
            assert(v >= 0);
            cornerVertices_[8 * e + size_t(k)] = v;
        }
    }
}

void Optimizer::setControls(const DesignControls& controls) { controls_ = controls; }

void Optimizer::attachDevice(DeviceOptimizer* device) {
    if (device_ && isReset()) {
        downloadState();
        device_->downloadDensities(rho_.data());
    }
    device_ = device;
    if (device_ && isReset()) loadDevice();
}

void Optimizer::loadDevice() {
    const bool projected = isProjected();
    std::vector<uint8_t> flags(n_);
    for (size_t e = 0; e < n_; ++e)
        flags[e] = uint8_t((isKept_[e] ? kElementKept : 0) |
                           (isEmptyHeld_[e] ? kElementHeldEmpty : 0) |
                           (heldDesign_[e] ? kElementHeldDesign : 0));
    // The linear search's volume weights: c_j = sum over the designable i around j of
    // w_ij / W_i, and the pad terms of the designable elements' filters.
    std::vector<double> weights;
    volumeOffset_ = 0.0;
    if (!projected) {
        std::vector<double> designable(n_);
        for (size_t e = 0; e < n_; ++e) designable[e] = isDesignable(e) ? 1.0 : 0.0;
        weights.resize(n_);
        filter_.filterTranspose(designable.data(), weights.data(), W_.data());
        const std::vector<double>& pad = filter_.padSums();
        if (!pad.empty())
            for (size_t e = 0; e < n_; ++e)
                if (isDesignable(e)) volumeOffset_ += filter_.voidDensity() * pad[e] / W_[e];
    }
    DeviceDesignState state;
    state.numElements = n_;
    state.projected = projected;
    state.flags = flags.data();
    state.x = x_.data();
    state.rho = rho_.data();
    state.xTilde = projected ? xTilde_.data() : xTilde0_.data();
    state.W = W_.data();
    state.q = q_.data();
    state.volumeWeights = projected ? nullptr : weights.data();
    state.paddedDims = filter_.paddedDims();
    state.padding = filter_.padding();
    state.numTaps = filter_.numTaps();
    state.tapWeights = filter_.tapWeights().data();
    state.tapOffsets = filter_.tapOffsets().data();
    state.padSums = filter_.padSums().empty() ? nullptr : filter_.padSums().data();
    state.voidDensity = filter_.voidDensity();
    device_->load(state);
    deviceEnergy_ = 0.0;
    for (size_t e = 0; e < n_; ++e) deviceEnergy_ += q_[e];
    deviceVolume_ = totalDensity();
}

void Optimizer::downloadState() {
    if (!device_ || !isReset()) return;
    device_->downloadDesign(x_.data());
    device_->downloadEnergies(q_.data());
    device_->downloadFactors(model_.E_.data());
    if (isProjected()) device_->downloadFiltered(xTilde_.data());
}

DesignSnapshot Optimizer::snapshot() {
    DesignSnapshot s;
    if (!isReset()) return s;
    downloadState();
    // The mode of the last reset, which sized xTilde_ (the controls may have changed since).
    const bool projected = xTilde_.size() == n_;
    s.projection = projected ? 1 : 0;
    s.density = rho_;
    s.design = x_;
    s.filtered = projected ? xTilde_ : rho_;
    s.kept = isKept_;
    s.emptyHeld = isEmptyHeld_;
    s.energy = q_;
    s.shape = shapeMesh_;
    s.totalDensity = totalDensity();
    return s;
}

void Optimizer::densitiesChanged() {
    if (!device_ || !isReset()) return;
    device_->uploadDensities(rho_.data());
    deviceVolume_ = totalDensity();
}

DensityFilter::FaceRule Optimizer::filterFaceRule(const DesignControls& controls) {
    return controls.projection == 1 || controls.filterRadiusGiven
               ? DensityFilter::FaceRule::VoidBeyondFaces
               : DensityFilter::FaceRule::Clipped;
}

void Optimizer::reset() {
    const bool projected = isProjected();
    // 0. The filter of the controls' radius (the default one is built with the optimizer).
    const double radius = DensityFilter::isDefaultRadius(controls_.filterRadius)
                              ? DensityFilter::kRadius
                              : controls_.filterRadius;
    const DensityFilter::FaceRule faces = filterFaceRule(controls_);
    if (filter_.radius() != radius || filter_.faceRule() != faces)
        filter_ = DensityFilter(model_, radius, faces, kVoidDensity);
    // 1. Parameters.
    volumeReductionGoal_ = 1.0 - controls_.volumeFraction;
    isoLevel_ = 0.5;
    penalty_ = 3.0;
    minDensity_ = 0.001;
    volumeTarget_ = 1.0;
    baseStiffness_ = 1000.0;
    moveLimit_ = projected ? kProjectedMoveLimit : 0.1;
    betaGrowth_ = projected ? kProjectedBetaGrowth : 1.6;
    betaInterval_ = projected ? kProjectedBetaInterval : 41;
    betaLast_ = projected ? kProjectedBetaLast : 80.0;

    // 2. Arrays, all zero.
    const auto& dims = model_.elementDims_[0];
    isKept_.assign(n_, 0);
    isEmptyHeld_.assign(n_, 0);
    heldDesign_.assign(n_, 0);
    rho_.assign(n_, 0.0f);
    q_.assign(n_, 0.0);
    x_.assign(n_, 0.0f);
    xTilde0_.assign(n_, 0.0f);
    W_.assign(n_, 0.0);
    candidateX_.assign(n_, 0.0f);
    candidateRho_.assign(n_, 0.0f);
    xTilde_.assign(projected ? n_ : 0, 0.0f);
    candidateXTilde_.assign(projected ? n_ : 0, 0.0f);
    dv_.assign(n_, 0.0);
    sensitivity_.assign(size_t(dims[0]) * size_t(dims[1]) * size_t(dims[2]), 0.0);
    dRho_.assign(n_, 0.0);
    scaledQ_.assign(n_, 0.0);
    scaledOne_.assign(n_, 0.0);
    gathered_.assign(n_, 0.0);
    ratio_.assign(n_, 0.0);

    // 3. Padded density volume: one cell of border on every side.
    const Vec3d s = model_.voxelSize_;
    paddedDensity_.init({dims[0] + 2, dims[1] + 2, dims[2] + 2}, s,
                        {model_.origin_.x - s.x, model_.origin_.y - s.y, model_.origin_.z - s.z},
                        0.0);

    // 4. History files.
    history_.openAll();

    // 5. Kept elements, and the elements of the keep boxes.
    DesignRegions regions = markDesignRegions(model_, controls_);
    isKept_ = std::move(regions.kept);
    isEmptyHeld_ = std::move(regions.emptyHeld);
    warnEmptyBoxes(regions);
    numEmptyHeld_ = 0;
    for (size_t e = 0; e < n_; ++e) {
        numEmptyHeld_ += isEmptyHeld_[e];
        // Mode 0 updates the kept elements' design like any other; mode 1 holds it at 1.
        heldDesign_[e] = isEmptyHeld_[e] || (projected && isKept_[e]);
    }

    // 6. Volumes; keep-empty elements are not part of them.
    std::fill(rho_.begin(), rho_.end(), 1.0f);
    V0_ = 0.0;
    Vk_ = 0.0;
    for (size_t e = 0; e < n_; ++e) {
        if (isEmptyHeld_[e]) continue;
        V0_ += double(rho_[e]);
        if (isKept_[e]) Vk_ += double(rho_[e]);
    }

    // 7. Projection and design bounds.
    beta_ = projected ? kProjectedBetaStart : 1.0;
    eta_ = projected ? kProjectedEta : 0.5;
    designLower_ = 0.001;
    designUpper_ = 1.0;

    // 8. Weight sums.
    std::fill(x_.begin(), x_.end(), 1.0f);
    filter_.computeWeightSums(W_);

    // 9. Uniform density at the final volume fraction, kept elements solid.
    std::fill(rho_.begin(), rho_.end(), float(1.0 - volumeReductionGoal_));
    applyKeptRule(rho_);

    // 10. Initial design, its filter and projection (replaces step 9 everywhere). Held design
    // variables take their fixed values first.
    std::fill(x_.begin(), x_.end(), float(controls_.volumeFraction));
    for (size_t e = 0; e < n_; ++e) {
        if (isEmptyHeld_[e])
            x_[e] = float(designLower_);
        else if (heldDesign_[e])
            x_[e] = 1.0f;
    }
    filter_.filter(x_.data(), xTilde0_.data(), W_.data());
    if (projected) {
        xTilde_ = xTilde0_;
        projectDensities(xTilde_, rho_, beta_);
        rhoBeta_ = beta_;
    } else {
        DensityFilter::project(xTilde0_.data(), rho_.data(), n_, beta_, eta_);
        for (size_t e = 0; e < n_; ++e)
            if (isEmptyHeld_[e]) rho_[e] = float(minDensity_);
    }

    // 11. Designable count and sharpness.
    numDesignable_ = 0;
    for (size_t e = 0; e < n_; ++e)
        if (isDesignable(e)) ++numDesignable_;
    const double S = sharpness();
    if (wideLog_) *wideLog_ << L"Sharpness: " << S << L'\n';
    history_.appendSharpness(S);

    if (device_) loadDevice();
}

void Optimizer::warnEmptyBoxes(const DesignRegions& regions) const {
    auto warn = [&](const std::vector<long long>& counts, const wchar_t* key) {
        for (size_t b = 0; b < counts.size(); ++b)
            if (counts[b] == 0 && wideLog_)
                *wideLog_ << L"WARNING: " << key << L" box " << b + 1
                          << L" holds no element centre" << L'\n';
    };
    warn(regions.solidBoxElements, L"KEEP_SOLID_BOXES");
    warn(regions.emptyBoxElements, L"KEEP_EMPTY_BOXES");
}

void Optimizer::projectDensities(const std::vector<float>& xTilde, std::vector<float>& rho,
                                 double beta) const {
    DensityFilter::project(xTilde.data(), rho.data(), n_, beta, eta_, minDensity_);
    const float low = float(minDensity_);
    for (size_t e = 0; e < n_; ++e) {
        if (isKept_[e])
            rho[e] = 1.0f;
        else if (isEmptyHeld_[e])
            rho[e] = low;
    }
}

void Optimizer::applyKeptRule(std::vector<float>& density) const {
    const long long n = (long long)n_;
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e)
        if (isKept_[size_t(e)]) density[size_t(e)] = 1.0f;
}

void Optimizer::updateStiffness() {
    if (!isReset()) return;
    if (device_) {
        device_->updateStiffness(baseStiffness_, penalty_);
        return;
    }
    const long long n = (long long)n_;
    float* E = model_.E_.data();
    const double base = baseStiffness_, p = penalty_;
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) E[e] = float(base * std::pow(double(rho_[size_t(e)]), p));
}

void Optimizer::evaluateEnergies() {
    if (!isReset()) return;
    if (device_) {
        deviceEnergy_ = device_->evaluateEnergies();
    } else {
        evaluateEnergiesHere();
    }
    if (lifetime_.firstEnergyEvaluation) {
        lifetime_.referenceEnergy = totalEnergy();
        if (wideLog_)
            *wideLog_ << L"---> Initial strain energy: " << lifetime_.referenceEnergy << L'\n';
        lifetime_.firstEnergyEvaluation = false;
    }
}

void Optimizer::evaluateEnergiesHere() {
    const long long n = (long long)n_;
    const size_t nV = size_t(model_.numVertices(0));
    const double* u = model_.u_.data();
    const double* Ke = model_.Ke_.data();
    const float* E = model_.E_.data();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        double ue[24];
        for (int k = 0; k < 8; ++k) {
            const size_t v = size_t(cornerVertices_[8 * size_t(e) + size_t(k)]);
            for (int a = 0; a < 3; ++a) ue[3 * k + a] = u[size_t(a) * nV + v];
        }
        double s = 0.0;
        for (int i = 0; i < 24; ++i) {
            double row = 0.0;
            for (int j = 0; j < 24; ++j) row += Ke[i * 24 + j] * ue[j];
            s += ue[i] * row;
        }
        const double q = double(E[e]) * s;
        q_[size_t(e)] = q < 0.0 ? 0.0 : q;
    }
}

void Optimizer::computeSensitivities() {
    if (!isReset()) return;
    if (device_) {
        // The slope at the same field and beta as below; held elements contribute nothing.
        const Projection h = isProjected() ? Projection(rhoBeta_, eta_, minDensity_)
                                           : Projection(beta_, eta_);
        const uint8_t zero = isProjected() ? uint8_t(kElementKept | kElementHeldEmpty)
                                           : uint8_t(kElementHeldEmpty);
        device_->computeSensitivities({h.beta, h.eta, h.floor, h.base, h.denominator}, zero,
                                      penalty_);
        return;
    }
    if (isProjected()) {
        // The derivative of rho = H(filter(x)) at the current design, with the beta that made
        // the densities of the last solve; held elements have a fixed density.
        DensityFilter::projectDerivative(xTilde_.data(), dRho_.data(), n_, rhoBeta_, eta_,
                                         minDensity_);
        for (size_t e = 0; e < n_; ++e)
            if (!isDesignable(e)) dRho_[e] = 0.0;
    } else {
        DensityFilter::projectDerivative(xTilde0_.data(), dRho_.data(), n_, beta_, eta_);
        if (numEmptyHeld_ > 0)
            for (size_t e = 0; e < n_; ++e)
                if (isEmptyHeld_[e]) dRho_[e] = 0.0;
    }
    // dq_i = -sum_j drho_j * q_j * 3 / rho_j * w_ij / W_j and dv_i = sum_j drho_j * w_ij / W_j:
    // the per-neighbour factors are formed once, then both sums are gathered in one sweep.
    const long long n = (long long)n_;
    const double p = penalty_;
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long j = 0; j < n; ++j) {
        const size_t e = size_t(j);
        scaledQ_[e] = dRho_[e] * q_[e] * p / double(rho_[e]) / W_[e];
        scaledOne_[e] = dRho_[e] / W_[e];
    }
    filter_.gatherPair(scaledQ_.data(), scaledOne_.data(), gathered_.data(), dv_.data());
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long i = 0; i < n; ++i)
        sensitivity_[elementCell_[size_t(i)]] = -gathered_[size_t(i)];
}

double Optimizer::nextVolumeTarget() const {
    if (!isReset()) return volumeTarget_;
    double t = std::max(1.0 - volumeReductionGoal_, 0.96 * volumeTarget_);
    const double v = currentVolume() / V0_;
    if (t < v - 0.04)
        t = v - 0.04;
    else if (t > v + 0.04)
        t = v + 0.04;
    return t;
}

int Optimizer::searchMultiplierOnDevice(double target, double lo, double hi) {
    const bool projected = isProjected();
    const DeviceLimits limits{moveLimit_, designLower_, designUpper_};
    const float emptyDensity = float(minDensity_);
    const Projection h(beta_, eta_, minDensity_);
    const DeviceProjection projection{h.beta, h.eta, h.floor, h.base, h.denominator};
    const double limit = target * V0_;
    double l = 0.0, u = 1.0, lambda = 0.0;
    int passes = 0;
    if (!projected) device_->prepareSearch();
    while (u - l > 1e-12) {
        lambda = lo + 0.5 * (l + u) * (hi - lo);
        const double volume =
            projected ? device_->searchProjectedVolume(lambda, limits, projection, emptyDensity)
                      : device_->searchVolume(lambda, limits) + volumeOffset_;
        halveBracket(volume + Vk_ > limit, l, u);
        ++passes;
    }
    // The last pass's candidates: the design for its multiplier, filtered once.
    if (!projected) device_->finishSearch(lambda, limits, emptyDensity);
    return passes;
}

int Optimizer::searchMultiplier(double target, double lo, double hi) {
    if (!isReset()) return 0;
    if (device_) return searchMultiplierOnDevice(target, lo, hi);
    const bool projected = isProjected();
    const long long n = (long long)n_;
    const float emptyDensity = float(minDensity_);
    const double limit = target * V0_;
    double l = 0.0, u = 1.0;
    int passes = 0;
    // All passes run in one parallel region: the candidate update and the filter are static
    // worksharing loops, the volume sum and the bisection step run on one thread in element
    // order, so the result does not depend on the number of threads.
#pragma omp parallel if (n >= kParallelElements)
    {
#pragma omp for schedule(static)
        for (long long e = 0; e < n; ++e)
            ratio_[size_t(e)] = -sensitivity_[elementCell_[size_t(e)]] / dv_[size_t(e)];
        while (u - l > 1e-12) {
            const double lambda = lo + 0.5 * (l + u) * (hi - lo);
            // nowait: the staging loop below has the same static division, so every thread
            // stages exactly the candidates it has just computed.
#pragma omp for schedule(static) nowait
            for (long long i = 0; i < n; ++i) {
                const size_t e = size_t(i);
                if (heldDesign_[e]) {
                    candidateX_[e] = x_[e];
                    continue;
                }
                const double x = double(x_[e]);
                const double r = ratio_[e] / lambda;
                // r is 0 where the neighbourhood carries no energy (the design then falls by
                // the move limit). With no energy anywhere lambda is 0 as well and 0/0 must not
                // turn into a NaN design.
                double y = r > 0.0 ? x * std::sqrt(r) : 0.0;
                if (x - moveLimit_ > y)
                    y = x - moveLimit_;
                else if (y > x + moveLimit_)
                    y = x + moveLimit_;
                y = std::clamp(y, designLower_, designUpper_);
                candidateX_[e] = float(y);
            }
            filter_.stageInTeam(candidateX_.data());
            if (projected) {
                filter_.filterStagedInTeam(candidateXTilde_.data(), W_.data());
                const Projection h(beta_, eta_, minDensity_);
#pragma omp for schedule(static)
                for (long long i = 0; i < n; ++i)
                    candidateRho_[size_t(i)] = float(h.value(double(candidateXTilde_[size_t(i)])));
            } else {
                filter_.filterStagedInTeam(candidateRho_.data(), W_.data());
            }
#pragma omp single
            {
                double volume = 0.0;
                for (size_t e = 0; e < n_; ++e) {
                    if (isKept_[e])
                        candidateRho_[e] = 1.0f;
                    else if (isEmptyHeld_[e])
                        candidateRho_[e] = emptyDensity;
                    else
                        volume += double(candidateRho_[e]);
                }
                halveBracket(volume + Vk_ > limit, l, u);
                ++passes;
            }
        }
    }
    return passes;
}

void Optimizer::continueBeta() {
    if (lifetime_.betaCounter >= betaInterval_ && beta_ < betaLast_) {
        beta_ *= betaGrowth_;
        lifetime_.betaCounter = 0;
    }
    ++lifetime_.betaCounter;
}

double Optimizer::sharpness() const {
    if (numDesignable_ == 0) return 0.0;
    double sum = 0.0;
    for (size_t e = 0; e < n_; ++e)
        if (isDesignable(e)) sum += double(rho_[e]) * (1.0 - double(rho_[e]));
    return 4.0 * sum / double(numDesignable_);
}

double Optimizer::greyFraction() const {
    if (numDesignable_ == 0) return 0.0;
    int grey = 0;
    for (size_t e = 0; e < n_; ++e)
        if (isDesignable(e) && rho_[e] > 0.1f && rho_[e] < 0.9f) ++grey;
    return double(grey) / double(numDesignable_);
}

double Optimizer::totalDensity() const {
    double sum = 0.0;
    for (size_t e = 0; e < n_; ++e)
        if (!isEmptyHeld_[e]) sum += double(rho_[e]);
    return sum;
}

double Optimizer::largestChange(const std::vector<float>& from, const std::vector<float>& to) {
    double largest = 0.0;
    for (size_t e = 0; e < from.size(); ++e)
        largest = std::max(largest, std::fabs(double(to[e]) - double(from[e])));
    return largest;
}

double Optimizer::totalEnergy() const {
    if (device_) return deviceEnergy_;
    double sum = 0.0;
    for (size_t e = 0; e < n_; ++e) sum += q_[e];
    return sum;
}

void Optimizer::iterate(int iteration) {
    if (!isReset()) return;
    if (wideLog_) {
        if (iteration == 0) *wideLog_ << L"**** Topology Optimization ****" << L'\n';
        *wideLog_ << L"\n Iteration: " << iteration << L'\n';
    }

    const auto sensitivityStart = std::chrono::steady_clock::now();
    const double kernelStart = kernelSeconds();
    computeSensitivities();
    double lo = 0.0, hi = 0.0;
    ratioRange(lo, hi);
    lastSensitivitySeconds_ = secondsSince(sensitivityStart);
    lastSensitivityKernelSeconds_ = kernelSeconds() - kernelStart;

    // Mode 1, and any run with keep boxes, searches a bracket that holds every reachable
    // volume: at 0 every design variable grows by the move limit, at 100 * hi every one shrinks
    // by it. The ratio range alone can miss the target where large kept or keep-empty regions
    // make the volume hard to move.
    if (isProjected() || !controls_.keepSolid.empty() || !controls_.keepEmpty.empty()) {
        hi *= 100.0;
        lo = 0.0;
    }

    volumeTarget_ = nextVolumeTarget();
    if (wideLog_) *wideLog_ << L"Target volume reduction: " << 1.0 - volumeTarget_ << L'\n';

    const auto updateStart = std::chrono::steady_clock::now();
    const double kernelSearch = kernelSeconds();
    searchMultiplier(volumeTarget_, lo, hi);
    lastSearchSeconds_ = secondsSince(updateStart);
    const double kernelAccept = kernelSeconds();
    lastSearchKernelSeconds_ = kernelAccept - kernelSearch;
    acceptCandidates();
    lastUpdateSeconds_ = secondsSince(updateStart);
    lastAcceptKernelSeconds_ = kernelSeconds() - kernelAccept;

    if (narrowLog_)
        *narrowLog_ << "Sensitivity: " << lastSensitivitySeconds_ << " s\n"
                    << "Update: " << lastUpdateSeconds_ << " s\n";

    lastStrainEnergy_ = totalEnergy();
    lastVolumeRatio_ = currentVolume() / V0_;
    if (wideLog_)
        *wideLog_ << L"Total strain energy: " << lastStrainEnergy_
                  << L"  Volume reduction: " << 1.0 - lastVolumeRatio_ << L'\n';
    history_.appendObjectiveValue(lastStrainEnergy_);
    history_.appendVolumeRatio(lastVolumeRatio_);
    if (wideLog_)
        *wideLog_ << L"Energy increased by factor of: "
                  << lastStrainEnergy_ / lifetime_.referenceEnergy << L'\n';

    lastSharpness_ = !device_ ? sharpness()
                     : numDesignable_ == 0 ? 0.0
                                           : 4.0 * deviceSharpness_ / double(numDesignable_);
    if (wideLog_) *wideLog_ << L"Sharpness: " << lastSharpness_ << L'\n';
    history_.appendSharpness(lastSharpness_);

    continueBeta();
    if (wideLog_) *wideLog_ << L"Beta --------------->> " << beta_ << L'\n';
}

double Optimizer::kernelSeconds() const { return device_ ? device_->kernelSeconds() : 0.0; }

void Optimizer::ratioRange(double& lo, double& hi) const {
    lo = hi = 0.0;
    if (device_) {
        device_->ratioRange(lo, hi);
        return;
    }
    // The multiplier is searched over the range of the update ratios |dq| / dv of the designable
    // elements. The volume sensitivity scales with the projection's slope at the reset field,
    // which shrinks by orders of magnitude as beta grows; a range taken from |dq| alone then no
    // longer holds the multiplier that meets the volume target, and the volume drifts upwards.
    bool first = true;
    for (size_t e = 0; e < n_; ++e) {
        if (!isDesignable(e) || !(dv_[e] > 0.0)) continue;
        const double d = std::fabs(sensitivity_[elementCell_[e]]) / dv_[e];
        if (first || d < lo) lo = d;
        if (first || d > hi) hi = d;
        first = false;
    }
}

void Optimizer::acceptCandidates() {
    if (device_) {
        const DeviceDesignSums sums = device_->accept(rho_.data());
        lastDesignChange_ = sums.change;
        deviceVolume_ = sums.volume;
        deviceSharpness_ = sums.sharpness;
    } else {
        lastDesignChange_ = largestChange(x_, candidateX_);
        x_ = candidateX_;
        rho_ = candidateRho_;
        if (isProjected()) xTilde_ = candidateXTilde_;
    }
    if (isProjected()) rhoBeta_ = beta_;
}

void Optimizer::closeDisc(size_t e, std::vector<float>& target, float value) const {
    const GridPos p = unpack(model_.elementPosition_[0][e]);
    for (int dz = -8; dz <= 8; ++dz)
        for (int dx = -8; dx <= 8; ++dx) {
            if (std::sqrt(double(dx * dx + dz * dz)) > 8.0) continue;
            const int j = model_.elementAt(0, {p.x + dx, p.y, p.z + dz});
            if (j >= 0) target[size_t(j)] = value;
        }
}

void Optimizer::closeShape() {
    if (!isReset()) return;
    std::vector<float> a(rho_);
    std::vector<float> b(n_, float(minDensity_));
    for (size_t e = 0; e < n_; ++e)
        if (double(a[e]) >= isoLevel_) closeDisc(e, b, 1.0f);
    std::fill(a.begin(), a.end(), 1.0f);
    for (size_t e = 0; e < n_; ++e)
        if (double(b[e]) < isoLevel_) closeDisc(e, a, float(minDensity_));
    for (size_t e = 0; e < n_; ++e)
        if (isDesignable(e)) rho_[e] = std::clamp(a[e], float(minDensity_), 1.0f);
    densitiesChanged();
    extractShape();
}

void Optimizer::extractShape() {
    if (!isReset()) return;
    double* cells = paddedDensity_.data();
    std::fill(cells, cells + paddedDensity_.size(), minDensity_);
    const long long n = (long long)n_;
    const auto& positions = model_.elementPosition_[0];
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        const GridPos p = unpack(positions[size_t(e)]);
        paddedDensity_(p.x + 1, p.y + 1, p.z + 1) = double(rho_[size_t(e)]);
    }
    extractIsoSurface(paddedDensity_, isoLevel_, shapeMesh_, false);
}

}  // namespace ostrel
