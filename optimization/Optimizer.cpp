#include "optimization/Optimizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ostream>
#include <utility>

#include "core/Console.h"
#include "core/Timing.h"
#include "fem/FemModel.h"
#include "optimization/DensityVolume.h"
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
      narrowLog_(&narrowOut()),
      n_(size_t(model.numElements(0))) {}

void Optimizer::setControls(const DesignControls& controls) { controls_ = controls; }

void Optimizer::attachSteps(ElementSteps* steps) {
    if (steps_ && started_) steps_->unload(*this);
    steps_ = steps;
    if (!steps_ || !isReset()) return;
    if (started_)
        steps_->load(*this);
    else
        startSteps();
}

bool Optimizer::onDevice() const { return steps_ && steps_->onDevice(); }

void Optimizer::startSteps() {
    const DesignSums sums = steps_->start(*this);
    started_ = true;
    energy_ = 0.0;
    volume_ = sums.volume;
    sharpness_ = sums.sharpness;
    if (xTilde_.size() == n_) rhoBeta_ = beta_;
    shapeCurrent_ = false;
    const double S = sharpness();
    if (wideLog_) *wideLog_ << L"Sharpness: " << S << L'\n';
    history_.appendSharpness(S);
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
    s.totalDensity = volume_;
    return s;
}

DesignCheckpoint Optimizer::checkpoint() {
    DesignCheckpoint c;
    if (!ready()) return c;
    steps_->downloadCheckpoint(*this);
    c.projection = xTilde_.size() == n_ ? 1 : 0;
    c.volumeReductionGoal = volumeReductionGoal_;
    c.volumeTarget = volumeTarget_;
    c.beta = beta_;
    c.rhoBeta = rhoBeta_;
    c.lastMultiplier = lastMultiplier_;
    c.lastStrainEnergy = lastStrainEnergy_;
    c.lastVolumeRatio = lastVolumeRatio_;
    c.lastSharpness = lastSharpness_;
    c.lastDesignChange = lastDesignChange_;
    c.lastSearchPasses = lastSearchPasses_;
    c.energy = energy_;
    c.volume = volume_;
    c.sharpnessSum = sharpness_;
    c.memberVolumeScale = memberVolumeScale_;
    c.caseCompliances = caseCompliances_;
    c.betaCounter = lifetime_.betaCounter;
    c.referenceEnergy = lifetime_.referenceEnergy;
    c.firstEnergyEvaluation = lifetime_.firstEnergyEvaluation;
    c.x = x_;
    c.rho = rho_;
    c.xTilde = xTilde_;
    c.xTilde0 = xTilde0_;
    c.W = W_;
    c.q = q_;
    // The move limits live on the steps; the host copy was made for this checkpoint only.
    c.moves = std::move(moves_);
    c.lastChange = std::move(lastChange_);
    moves_.clear();
    lastChange_.clear();
    c.history = history_.readAll();
    return c;
}

bool Optimizer::restore(const DesignCheckpoint& c) {
    const bool projected = xTilde_.size() == n_;
    const size_t nProjected = projected ? n_ : 0;
    if (!ready() || c.projection != (projected ? 1 : 0) || c.rho.size() != n_ ||
        c.x.size() != n_ || c.xTilde0.size() != n_ || c.W.size() != n_ || c.q.size() != n_ ||
        c.xTilde.size() != nProjected || c.moves.size() != nProjected ||
        c.lastChange.size() != nProjected || c.caseCompliances.size() != caseCompliances_.size())
        return false;
    volumeReductionGoal_ = c.volumeReductionGoal;
    volumeTarget_ = c.volumeTarget;
    beta_ = c.beta;
    rhoBeta_ = c.rhoBeta;
    lastMultiplier_ = c.lastMultiplier;
    lastStrainEnergy_ = c.lastStrainEnergy;
    lastVolumeRatio_ = c.lastVolumeRatio;
    lastSharpness_ = c.lastSharpness;
    lastDesignChange_ = c.lastDesignChange;
    lastSearchPasses_ = c.lastSearchPasses;
    energy_ = c.energy;
    volume_ = c.volume;
    sharpness_ = c.sharpnessSum;
    memberVolumeScale_ = c.memberVolumeScale;
    caseCompliances_ = c.caseCompliances;
    lifetime_.betaCounter = c.betaCounter;
    lifetime_.referenceEnergy = c.referenceEnergy;
    lifetime_.firstEnergyEvaluation = c.firstEnergyEvaluation;
    x_ = c.x;
    rho_ = c.rho;
    xTilde_ = c.xTilde;
    xTilde0_ = c.xTilde0;
    W_ = c.W;
    q_ = c.q;
    moves_ = c.moves;
    lastChange_ = c.lastChange;
    steps_->load(*this);
    moves_.clear();
    lastChange_.clear();
    shapeCurrent_ = false;
    history_.resumeAll(c.history);
    return true;
}

void Optimizer::setDensities(std::vector<float> rho) {
    if (!isReset() || rho.size() != n_) return;
    rho_ = std::move(rho);
    densitiesChanged();
}

void Optimizer::densitiesChanged() {
    shapeCurrent_ = false;
    if (!ready()) return;
    volume_ = steps_->densitiesChanged(*this).volume;
}

DensityFilter::FaceRule Optimizer::filterFaceRule(const DesignControls& controls) {
    if (controls.minMember > 0) return DensityFilter::FaceRule::VoidOutsideModel;
    return controls.projection == 1 || controls.filterRadiusGiven
               ? DensityFilter::FaceRule::VoidBeyondFaces
               : DensityFilter::FaceRule::Clipped;
}

void Optimizer::reset() {
    const bool projected = isProjected();
    // 0. The filter of the controls' radius (the default one is built with the optimizer).
    // A minimum member size sets the radius (DesignControls::memberFilterRadius).
    const double asked = controls_.minMember > 0
                             ? DesignControls::memberFilterRadius(controls_.minMember)
                             : controls_.filterRadius;
    const double radius =
        DensityFilter::isDefaultRadius(asked) ? DensityFilter::kRadius : asked;
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

    // 2. Arrays, all zero: the steps form the starting state in them.
    const auto& dims = model_.elementDims(0);
    rho_.assign(n_, 0.0f);
    q_.assign(n_, 0.0);
    x_.assign(n_, 0.0f);
    xTilde0_.assign(n_, 0.0f);
    W_.assign(n_, 0.0);
    xTilde_.assign(projected ? n_ : 0, 0.0f);
    started_ = false;
    shapeCurrent_ = false;

    // 3. Padded density volume: one cell of border on every side.
    paddedDensity_ = shapeSplit_ ? Volume<double, double>()
                                 : paddedDensityLayers(model_, 0, dims[2] + 2);

    // 4. History files (with several load cases, their compliances' file too).
    caseWeights_ = controls_.loadCaseWeights.size() > 1 ? controls_.loadCaseWeights
                                                        : std::vector<double>();
    caseCompliances_.assign(caseWeights_.size(), 0.0);
    history_.setLoadCaseCount(loadCaseCount());
    history_.openAll();

    // 5. Kept and held-empty elements (a vertex loaded in any case holds its elements).
    // Members must be able to reach the loads on edges and corners: the kept elements at
    // loaded vertices anchor them. (Anchoring a whole support face as well would clip the
    // filter of every edge near it, and a tube of clipped edges then grows there apart from
    // the design's core.)
    DesignRegions regions = markDesignRegions(model_, controls_, moreLoads_);
    warnEmptyBoxes(regions);
    // A minimum member size holds solid pads at the supports and loads instead (DesignRegions).
    filter_.anchorMembers(controls_.minMember > 0 ? std::vector<uint8_t>{} : regions.loadedKept);
    isKept_ = std::move(regions.kept);
    isEmptyHeld_ = std::move(regions.emptyHeld);
    // Mirror planes: the start-up refused a model that is not symmetric, so an error here can
    // only come from a caller that skipped the check; the design is then left unconstrained.
    std::wstring symmetryError;
    if (!symmetryOrbits(model_, controls_.symmetry, orbits_, symmetryError) && wideLog_)
        *wideLog_ << symmetryError << L'\n';

    // 6. Volumes: every element weighs 1; keep-empty elements are not part of them.
    numEmptyHeld_ = int(regions.emptyHeldCount);
    numDesignable_ = int((long long)n_ - regions.keptCount - regions.emptyHeldCount);
    V0_ = double((long long)n_ - regions.emptyHeldCount);
    Vk_ = double(regions.keptCount);

    // 7. Projection and design bounds.
    beta_ = projected ? kProjectedBetaStart : 1.0;
    eta_ = projected ? kProjectedEta : 0.5;
    solidEta_ = projected && controls_.minMember > 0 ? kErodedEta : eta_;
    designLower_ = 0.001;
    designUpper_ = 1.0;

    // 8. The starting design, its filter and densities, on the steps (at once, or when they
    // are attached).
    if (steps_) startSteps();
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

void Optimizer::updateStiffness() {
    if (ready()) steps_->updateStiffness(*this);
}

void Optimizer::evaluateCaseEnergies(int c) {
    if (!ready() || c < 0 || size_t(c) >= caseWeights_.size()) return;
    caseCompliances_[size_t(c)] = steps_->addCaseEnergies(*this, caseWeights_[size_t(c)], c == 0);
}

void Optimizer::evaluateEnergies() {
    if (!ready()) return;
    if (caseWeights_.empty()) {
        energy_ = steps_->evaluateEnergies(*this);
    } else {
        energy_ = 0.0;
        for (size_t c = 0; c < caseWeights_.size(); ++c)
            energy_ += caseWeights_[c] * caseCompliances_[c];
    }
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

double Optimizer::sharpness() const {
    return numDesignable_ == 0 ? 0.0 : 4.0 * sharpness_ / double(numDesignable_);
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
    if (!caseCompliances_.empty()) {
        if (wideLog_) {
            *wideLog_ << L"Load case compliances:";
            for (double c : caseCompliances_) *wideLog_ << L' ' << c;
            *wideLog_ << L'\n';
        }
        history_.appendCaseCompliances(caseCompliances_);
    }
    history_.appendObjectiveValue(lastStrainEnergy_);
    history_.appendVolumeRatio(lastVolumeRatio_);
    if (wideLog_)
        *wideLog_ << L"Energy increased by factor of: "
                  << lastStrainEnergy_ / lifetime_.referenceEnergy << L'\n';

    lastSharpness_ = sharpness();
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

void Optimizer::closeShape() {
    if (!isReset()) return;
    closeDesign(model_, isKept_, isEmptyHeld_, isoLevel_, minDensity_, rho_);
    densitiesChanged();
    extractShape();
}

Volume<double, double> Optimizer::paddedDensityCopy() const {
    Volume<double, double> copy = paddedDensity_;
    if (isReset()) fillPaddedDensity(model_, rho_, minDensity_, copy);
    return copy;
}

void Optimizer::extractShape() {
    if (!isReset()) return;
    if (shapeSplit_) {
        extractSplitShape(model_, rho_, minDensity_, isoLevel_, *shapeSplit_, shapeMesh_);
    } else {
        fillPaddedDensity(model_, rho_, minDensity_, paddedDensity_);
        extractIsoSurface(paddedDensity_, isoLevel_, shapeMesh_, false);
    }
    shapeCurrent_ = true;
}

void Optimizer::updateShape() {
    if (!shapeCurrent_) extractShape();
}

}  // namespace ostrel
