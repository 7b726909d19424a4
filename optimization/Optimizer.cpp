#include "optimization/Optimizer.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <numeric>
#include <ostream>
#include <utility>

#include "core/Console.h"
#include "core/Timing.h"
#include "fem/FemModel.h"
#include "optimization/ElementSteps.h"
#include "optimization/MultiplierSearch.h"
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
    n_ = size_t(model_.numElements(0));
    cornerVertices_.resize(8 * n_);
    elementCell_.resize(n_);
    const auto& positions = model_.elementPosition(0);
    for (size_t e = 0; e < n_; ++e) {
        const GridPos p = unpack(positions[e]);
        elementCell_[e] = size_t(FemModel::denseIndex(model_.elementDims(0), p));
        for (int k = 0; k < 8; ++k) {
            const int v = model_.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
            assert(v >= 0);
            cornerVertices_[8 * e + size_t(k)] = v;
        }
    }
}

void Optimizer::setControls(const DesignControls& controls) { controls_ = controls; }

void Optimizer::attachSteps(ElementSteps* steps) {
    if (steps_ && isReset()) steps_->unload(*this);
    steps_ = steps;
    if (steps_ && isReset()) loadSteps();
}

bool Optimizer::onDevice() const { return steps_ && steps_->onDevice(); }

void Optimizer::loadSteps() {
    steps_->load(*this);
    energy_ = std::accumulate(q_.begin(), q_.end(), 0.0);
    volume_ = totalDensity();
}

void Optimizer::downloadState() {
    if (ready()) steps_->downloadState(*this);
}

DesignSnapshot Optimizer::snapshot() {
    DesignSnapshot s;
    if (!isReset()) return s;
    downloadState();
    updateShape();
    // The mode of the last reset, which sized xTilde_ (the controls may have changed since).
    const bool projected = xTilde_.size() == n_;
    s.projection = projected ? 1 : 0;
    s.density = rho_;
    s.design = x_;
    s.filtered = projected ? xTilde_ : rho_;
    s.kept = isKept_;
    s.emptyHeld = isEmptyHeld_;
    s.energy = q_;
    s.stiffness = model_.stiffnessFactors();
    s.shape = shapeMesh_;
    s.totalDensity = totalDensity();
    return s;
}

void Optimizer::setDensities(std::vector<float> rho) {
    if (!isReset() || rho.size() != n_) return;
    rho_ = std::move(rho);
    densitiesChanged();
}

void Optimizer::densitiesChanged() {
    shapeCurrent_ = false;
    if (!ready()) return;
    steps_->densitiesChanged(*this);
    volume_ = totalDensity();
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
    lastMultiplier_ = 0.0;
    baseStiffness_ = 1000.0;
    moveLimit_ = projected ? kProjectedMoveLimit : 0.1;
    betaGrowth_ = projected ? kProjectedBetaGrowth : 1.6;
    betaInterval_ = projected ? kProjectedBetaInterval : 41;
    betaLast_ = projected ? kProjectedBetaLast : 80.0;

    // 2. Arrays, all zero.
    const auto& dims = model_.elementDims(0);
    isKept_.assign(n_, 0);
    isEmptyHeld_.assign(n_, 0);
    heldDesign_.assign(n_, 0);
    rho_.assign(n_, 0.0f);
    q_.assign(n_, 0.0);
    x_.assign(n_, 0.0f);
    xTilde0_.assign(n_, 0.0f);
    W_.assign(n_, 0.0);
    xTilde_.assign(projected ? n_ : 0, 0.0f);

    // 3. Padded density volume: one cell of border on every side.
    const Vec3d s = model_.voxelSize();
    paddedDensity_.init({dims[0] + 2, dims[1] + 2, dims[2] + 2}, s,
                        {model_.origin().x - s.x, model_.origin().y - s.y, model_.origin().z - s.z},
                        0.0);

    // 4. History files.
    history_.openAll();

    // 5. Kept elements, and the elements of the keep boxes.
    DesignRegions regions = markDesignRegions(model_, controls_);
    isKept_ = std::move(regions.kept);
    isEmptyHeld_ = std::move(regions.emptyHeld);
    warnEmptyBoxes(regions);
    // Members must be able to reach the loads on edges and corners: the kept elements at
    // loaded vertices anchor them. (Anchoring a whole support face as well would clip the
    // filter of every edge near it, and a tube of clipped edges then grows there apart from
    // the design's core.)
    std::vector<uint8_t> loaded(n_, 0);
    for (size_t e = 0; e < n_; ++e)
        for (int k = 0; k < 8 && isKept_[e] && !loaded[e]; ++k) {
            const float* f = &model_.forces()[3 * size_t(cornerVertex(e, k))];
            loaded[e] = f[0] != 0.0f || f[1] != 0.0f || f[2] != 0.0f;
        }
    filter_.anchorMembers(loaded);
    // Mirror planes: the start-up refused a model that is not symmetric, so an error here can
    // only come from a caller that skipped the check; the design is then left unconstrained.
    std::wstring symmetryError;
    if (!symmetryOrbits(model_, controls_.symmetry, orbits_, symmetryError) && wideLog_)
        *wideLog_ << symmetryError << L'\n';
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
    for (size_t e = 0; e < n_; ++e)
        if (isKept_[e]) rho_[e] = 1.0f;

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
    shapeCurrent_ = false;

    if (steps_) loadSteps();
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

void Optimizer::updateStiffness() {
    if (ready()) steps_->updateStiffness(*this);
}

void Optimizer::evaluateEnergies() {
    if (!ready()) return;
    energy_ = steps_->evaluateEnergies(*this);
    if (lifetime_.firstEnergyEvaluation) {
        lifetime_.referenceEnergy = totalEnergy();
        if (wideLog_)
            *wideLog_ << L"---> Initial strain energy: " << lifetime_.referenceEnergy << L'\n';
        lifetime_.firstEnergyEvaluation = false;
    }
}

void Optimizer::computeSensitivities() {
    if (ready()) steps_->computeSensitivities(*this);
}

double Optimizer::nextVolumeTarget() const {
    if (!isReset()) return volumeTarget_;
    double t = std::max(1.0 - volumeReductionGoal_, 0.96 * volumeTarget_);
    const double v = volume_ / V0_;
    if (t < v - 0.04)
        t = v - 0.04;
    else if (t > v + 0.04)
        t = v + 0.04;
    return t;
}

int Optimizer::searchMultiplier(double target, double lo, double hi) {
    if (!ready()) return 0;
    const double limit = target * V0_;
    double lambda = 0.0;
    int passes = 0;
    steps_->prepareSearch(*this);
    const int width = steps_->searchWidth(*this);
    if (width <= 1) {
        double l = 0.0, u = 1.0;
        while (u - l > kSearchTolerance) {
            lambda = lo + 0.5 * (l + u) * (hi - lo);
            const double volume = steps_->searchVolume(*this, lambda);
            halveBracket(volume + Vk_ > limit, l, u);
            ++passes;
        }
    } else {
        const SearchOutcome found = searchCrossing(
            {lo, hi}, width, kSearchTolerance, lastMultiplier_,
            [&](const std::vector<double>& lambdas, std::vector<double>& excess) {
                steps_->searchVolumes(*this, lambdas, excess);
                for (double& v : excess) v = v + Vk_ - limit;
            });
        lambda = found.multiplier;
        passes = found.passes;
    }
    lastMultiplier_ = lambda;
    steps_->finishSearch(*this, lambda);
    lastSearchPasses_ = passes;
    return passes;
}

void Optimizer::continueBeta() {
    if (lifetime_.betaCounter >= betaInterval_ && beta_ < betaLast_) {
        beta_ *= betaGrowth_;
        lifetime_.betaCounter = 0;
    }
    ++lifetime_.betaCounter;
}

double Optimizer::sharpnessSum() const {
    double sum = 0.0;
    for (size_t e = 0; e < n_; ++e)
        if (isDesignable(e)) sum += double(rho_[e]) * (1.0 - double(rho_[e]));
    return sum;
}

double Optimizer::sharpness() const {
    if (numDesignable_ == 0) return 0.0;
    return 4.0 * sharpnessSum() / double(numDesignable_);
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

void Optimizer::iterate(int iteration) {
    if (!ready()) return;
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
    lastVolumeRatio_ = volume_ / V0_;
    if (wideLog_)
        *wideLog_ << L"Total strain energy: " << lastStrainEnergy_
                  << L"  Volume reduction: " << 1.0 - lastVolumeRatio_ << L'\n';
    history_.appendObjectiveValue(lastStrainEnergy_);
    history_.appendVolumeRatio(lastVolumeRatio_);
    if (wideLog_)
        *wideLog_ << L"Energy increased by factor of: "
                  << lastStrainEnergy_ / lifetime_.referenceEnergy << L'\n';

    lastSharpness_ = numDesignable_ == 0 ? 0.0 : 4.0 * sharpness_ / double(numDesignable_);
    if (wideLog_) *wideLog_ << L"Sharpness: " << lastSharpness_ << L'\n';
    history_.appendSharpness(lastSharpness_);

    continueBeta();
    if (wideLog_) *wideLog_ << L"Beta --------------->> " << beta_ << L'\n';
}

double Optimizer::kernelSeconds() const { return steps_ ? steps_->kernelSeconds() : 0.0; }

void Optimizer::ratioRange(double& lo, double& hi) {
    lo = hi = 0.0;
    steps_->ratioRange(*this, lo, hi);
}

void Optimizer::acceptCandidates() {
    const DesignSums sums = steps_->accept(*this);
    lastDesignChange_ = sums.change;
    volume_ = sums.volume;
    sharpness_ = sums.sharpness;
    shapeCurrent_ = false;
    if (isProjected()) rhoBeta_ = beta_;
}

void Optimizer::closeDisc(size_t e, std::vector<float>& target, float value) const {
    const GridPos p = unpack(model_.elementPosition(0)[e]);
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

void Optimizer::fillPaddedDensity(Volume<double, double>& volume) const {
    double* cells = volume.data();
    std::fill(cells, cells + volume.size(), minDensity_);
    const long long n = (long long)n_;
    const auto& positions = model_.elementPosition(0);
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        const GridPos p = unpack(positions[size_t(e)]);
        volume(p.x + 1, p.y + 1, p.z + 1) = double(rho_[size_t(e)]);
    }
}

Volume<double, double> Optimizer::paddedDensityCopy() const {
    Volume<double, double> copy = paddedDensity_;
    if (isReset()) fillPaddedDensity(copy);
    return copy;
}

void Optimizer::extractShape() {
    if (!isReset()) return;
    fillPaddedDensity(paddedDensity_);
    extractIsoSurface(paddedDensity_, isoLevel_, shapeMesh_, false);
    shapeCurrent_ = true;
}

void Optimizer::updateShape() {
    if (!shapeCurrent_) extractShape();
}

}  // namespace ostrel
