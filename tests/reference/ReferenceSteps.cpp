#include "reference/ReferenceSteps.h"

#include <algorithm>
#include <cmath>

#include "fem/FemModel.h"
#include "kernels/OptimizerLayout.h"
#include "optimization/Optimizer.h"
#include "reference/ReferenceFilter.h"

namespace ostrel {

size_t elementCell(const FemModel& model, size_t e) {
    const GridPos p = unpack(model.elementPosition(0)[e]);
    return size_t(FemModel::denseIndex(model.elementDims(0), p));
}

int cornerVertex(const FemModel& model, size_t e, int k) {
    const GridPos p = unpack(model.elementPosition(0)[e]);
    return model.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
}

namespace {

// The sums of the densities, in element order: volume over the elements not held empty,
// sharpness over the designable ones.
DesignSums densitySums(const Optimizer& opt, const OptimizerState& s) {
    DesignSums sums;
    for (size_t e = 0; e < s.rho_.size(); ++e) {
        const double r = double(s.rho_[e]);
        if (!s.isEmptyHeld_[e]) sums.volume += r;
        if (opt.isDesignable(e)) sums.sharpness += r * (1.0 - r);
    }
    return sums;
}

double largestChange(const std::vector<float>& from, const std::vector<float>& to) {
    double largest = 0.0;
    for (size_t e = 0; e < from.size(); ++e)
        largest = std::max(largest, std::fabs(double(to[e]) - double(from[e])));
    return largest;
}

// The densities the solver takes: the densities themselves, or with a minimum member size the
// eroded projection of the filtered design (with the beta of the densities), kept elements 1,
// held-empty ones at the minimum density.
std::vector<float> solvedDensities(const Optimizer& opt, const OptimizerState& s) {
    if (!opt.solvesEroded()) return s.rho_;
    std::vector<float> solid(s.rho_.size());
    ReferenceFilter::project(s.xTilde_.data(), solid.data(), solid.size(), s.rhoBeta_,
                             s.solidEta_, s.minDensity_);
    for (size_t e = 0; e < solid.size(); ++e) {
        if (s.isKept_[e])
            solid[e] = 1.0f;
        else if (s.isEmptyHeld_[e])
            solid[e] = float(s.minDensity_);
    }
    return solid;
}

/// Designable elements' sum of `rho`.
double designableSum(const OptimizerState& s, const std::vector<float>& rho) {
    double sum = 0.0;
    for (size_t e = 0; e < rho.size(); ++e)
        if (!s.isKept_[e] && !s.isEmptyHeld_[e]) sum += double(rho[e]);
    return sum;
}

/// Designable elements' sum of the eroded projection of `xTilde` at `beta`.
double erodedSum(const OptimizerState& s, const std::vector<float>& xTilde, double beta) {
    std::vector<float> eroded(xTilde.size());
    ReferenceFilter::project(xTilde.data(), eroded.data(), eroded.size(), beta, s.solidEta_,
                             s.minDensity_);
    return designableSum(s, eroded);
}

/// The held volume's scale of the current design (a minimum member size).
void updateMemberVolumeScale(const Optimizer& opt, OptimizerState& s) {
    if (!opt.solvesEroded()) return;
    s.memberVolumeScale_ = Optimizer::memberVolumeScale(designableSum(s, s.rho_),
                                                        erodedSum(s, s.xTilde_, s.beta_));
}

}  // namespace

DesignSums ReferenceSteps::start(Optimizer& opt) {
    load(opt);
    OptimizerState& s = state(opt);
    const size_t n = s.rho_.size();
    const ReferenceFilter& filter = *filter_;
    filter.computeWeightSums(s.W_);
    const float value = float(opt.controls().volumeFraction);
    for (size_t e = 0; e < n; ++e)
        s.x_[e] = s.isEmptyHeld_[e] ? float(s.designLower_) : opt.isHeldDesign(e) ? 1.0f : value;
    filter.filter(s.x_.data(), s.xTilde0_.data(), s.W_.data());
    if (opt.isProjected()) {
        s.xTilde_ = s.xTilde0_;
        ReferenceFilter::project(s.xTilde_.data(), s.rho_.data(), n, s.beta_, s.eta_,
                               s.minDensity_);
        for (size_t e = 0; e < n; ++e) {
            if (s.isKept_[e])
                s.rho_[e] = 1.0f;
            else if (s.isEmptyHeld_[e])
                s.rho_[e] = float(s.minDensity_);
        }
        updateMemberVolumeScale(opt, s);
    } else {
        ReferenceFilter::project(s.xTilde0_.data(), s.rho_.data(), n, s.beta_, s.eta_);
        for (size_t e = 0; e < n; ++e)
            if (s.isEmptyHeld_[e]) s.rho_[e] = float(s.minDensity_);
    }
    return densitySums(opt, s);
}

DesignSums ReferenceSteps::densitiesChanged(const Optimizer& opt) {
    return densitySums(opt, state(opt));
}

void ReferenceSteps::load(Optimizer& opt) {
    filter_.emplace(opt.model(), opt.densityFilter());
    const size_t n = state(opt).rho_.size();
    const auto& dims = opt.model().elementDims(0);
    const size_t projected = opt.isProjected() ? n : 0;
    candidateX.assign(n, 0.0f);
    candidateRho.assign(n, 0.0f);
    candidateXTilde.assign(projected, 0.0f);
    dv.assign(n, 0.0);
    sensitivity.assign(size_t(dims[0]) * size_t(dims[1]) * size_t(dims[2]), 0.0);
    dRho_.assign(n, 0.0);
    scaledQ_.assign(n, 0.0);
    scaledOne_.assign(n, 0.0);
    gathered_.assign(n, 0.0);
    ratio_.assign(n, 0.0);
    moves.assign(projected, float(state(opt).moveLimit_));
    lastChange.assign(projected, 0.0f);
    // A restored checkpoint brings its own limits and changes.
    if (projected && state(opt).moves_.size() == n && state(opt).lastChange_.size() == n) {
        moves = state(opt).moves_;
        lastChange = state(opt).lastChange_;
    }
}

void ReferenceSteps::downloadCheckpoint(Optimizer& opt) {
    state(opt).moves_ = moves;
    state(opt).lastChange_ = lastChange;
}

void ReferenceSteps::updateStiffness(Optimizer& opt) {
    const long long n = (long long)state(opt).rho_.size();
    std::vector<float> E(static_cast<size_t>(n));
    const std::vector<float> solved = solvedDensities(opt, state(opt));
    const float* rho = solved.data();
    const double base = state(opt).baseStiffness_, p = state(opt).penalty_;
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) E[size_t(e)] = float(base * std::pow(double(rho[e]), p));
    opt.model().setStiffnessFactors(std::move(E));
}

double ReferenceSteps::evaluateEnergies(Optimizer& opt) {
    const FemModel& model = opt.model();
    const long long n = (long long)state(opt).rho_.size();
    const size_t nV = size_t(model.numVertices(0));
    const double* u = model.displacement().data();
    const double* Ke = model.Ke().data();
    const float* E = model.stiffnessFactors().data();
    double* qOut = state(opt).q_.data();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        double ue[24];
        for (int k = 0; k < 8; ++k) {
            const size_t v = size_t(cornerVertex(model, size_t(e), k));
            for (int a = 0; a < 3; ++a) ue[3 * k + a] = u[size_t(a) * nV + v];
        }
        double s = 0.0;
        for (int i = 0; i < 24; ++i) {
            double row = 0.0;
            for (int j = 0; j < 24; ++j) row += Ke[i * 24 + j] * ue[j];
            s += ue[i] * row;
        }
        const double q = double(E[e]) * s;
        qOut[e] = q < 0.0 ? 0.0 : q;
    }
    double sum = 0.0;
    for (double q : state(opt).q_) sum += q;
    return sum;
}

double ReferenceSteps::addCaseEnergies(Optimizer& opt, double weight, bool first) {
    const std::vector<double> before = state(opt).q_;
    const double compliance = evaluateEnergies(opt);
    std::vector<double>& q = state(opt).q_;
    for (size_t e = 0; e < q.size(); ++e) q[e] = first ? weight * q[e] : before[e] + weight * q[e];
    return compliance;
}

void ReferenceSteps::computeSensitivities(Optimizer& opt) {
    const size_t count = state(opt).rho_.size();
    if (opt.isProjected()) {
        // The derivative of rho = H(filter(x)) at the current design, with the beta that made
        // the densities of the last solve; held elements have a fixed density.
        ReferenceFilter::projectDerivative(state(opt).xTilde_.data(), dRho_.data(), count,
                                         state(opt).rhoBeta_, state(opt).eta_,
                                         state(opt).minDensity_);
        for (size_t e = 0; e < count; ++e)
            if (!opt.isDesignable(e)) dRho_[e] = 0.0;
    } else {
        ReferenceFilter::projectDerivative(state(opt).xTilde0_.data(), dRho_.data(), count,
                                         state(opt).beta_, state(opt).eta_);
        if (state(opt).numEmptyHeld_ > 0)
            for (size_t e = 0; e < count; ++e)
                if (state(opt).isEmptyHeld_[e]) dRho_[e] = 0.0;
    }
    // A minimum member size: the compliance is the eroded design's, its slope and densities
    // those of the eroded projection; the volume's slope the mix of both slopes.
    std::vector<double> dSolid = dRho_;
    const std::vector<float> solved = solvedDensities(opt, state(opt));
    if (opt.solvesEroded()) {
        ReferenceFilter::projectDerivative(state(opt).xTilde_.data(), dSolid.data(), count,
                                           state(opt).rhoBeta_, state(opt).solidEta_,
                                           state(opt).minDensity_);
        for (size_t e = 0; e < count; ++e)
            if (!opt.isDesignable(e)) dSolid[e] = 0.0;
    }
    // dq_i = -sum_j dsolid_j * q_j * 3 / solid_j * w_ij / W_j and
    // dv_i = sum_j dvolume_j * w_ij / W_j: the per-neighbour factors are formed once, then both
    // sums are gathered in one sweep.
    const double mix = opt.solvesEroded() ? Optimizer::kMemberVolumeMix : 0.0;
    const long long n = (long long)count;
    const double p = state(opt).penalty_;
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long j = 0; j < n; ++j) {
        const size_t e = size_t(j);
        scaledQ_[e] = dSolid[e] * state(opt).q_[e] * p / double(solved[e]) / state(opt).W_[e];
        scaledOne_[e] = ((1.0 - mix) * dRho_[e] + mix * dSolid[e]) / state(opt).W_[e];
    }
    filter_->gatherPair(scaledQ_.data(), scaledOne_.data(), gathered_.data(),
                                   dv.data());
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long i = 0; i < n; ++i)
        sensitivity[elementCell(opt.model(), size_t(i))] = -gathered_[size_t(i)];
    // Mirror planes: elements that share a design variable share the sums of their
    // sensitivities.
    const SymmetryOrbits& orbits = state(opt).orbits_;
    if (orbits.symmetric()) {
        std::vector<uint8_t> held(count);
        std::vector<double> dq(count);
        for (size_t e = 0; e < count; ++e) {
            held[e] = opt.isHeldDesign(e);
            dq[e] = sensitivity[elementCell(opt.model(), e)];
        }
        sumOverOrbits(orbits, held, dq);
        sumOverOrbits(orbits, held, dv);
        for (size_t e = 0; e < count; ++e) sensitivity[elementCell(opt.model(), e)] = dq[e];
    }
}

void ReferenceSteps::ratioRange(Optimizer& opt, double& lo, double& hi) {
    // The multiplier is searched over the range of the update ratios |dq| / dv of the designable
    // elements. The volume sensitivity scales with the projection's slope at the reset field,
    // which shrinks by orders of magnitude as beta grows; a range taken from |dq| alone then no
    // longer holds the multiplier that meets the volume target, and the volume drifts upwards.
    lo = hi = 0.0;
    bool first = true;
    for (size_t e = 0; e < state(opt).rho_.size(); ++e) {
        if (!opt.isDesignable(e) || !(dv[e] > 0.0)) continue;
        const double d = std::fabs(sensitivity[elementCell(opt.model(), e)]) / dv[e];
        if (first || d < lo) lo = d;
        if (first || d > hi) hi = d;
        first = false;
    }
}

void ReferenceSteps::prepareSearch(Optimizer& opt) {
    const long long n = (long long)state(opt).rho_.size();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e)
        ratio_[size_t(e)] = -sensitivity[elementCell(opt.model(), size_t(e))] / dv[size_t(e)];
}

double ReferenceSteps::searchVolume(Optimizer& opt, double lambda) {
    const bool projected = opt.isProjected();
    const long long n = (long long)state(opt).rho_.size();
    const float emptyDensity = float(state(opt).minDensity_);
    const double commonMove = state(opt).moveLimit_, lower = state(opt).designLower_,
                 upper = state(opt).designUpper_;
    const ReferenceFilter& filter = *filter_;
    double volume = 0.0;
    // The candidate update and the filter are static worksharing loops, the volume sum runs on
    // one thread in element order, so the result does not depend on the number of threads.
#pragma omp parallel if (n >= kParallelElements)
    {
        // nowait: the staging loop below has the same static division, so every thread
        // stages exactly the candidates it has just computed.
#pragma omp for schedule(static) nowait
        for (long long i = 0; i < n; ++i) {
            const size_t e = size_t(i);
            if (opt.isHeldDesign(e)) {
                candidateX[e] = state(opt).x_[e];
                continue;
            }
            const double x = double(state(opt).x_[e]);
            const double move = projected ? double(moves[e]) : commonMove;
            const double r = ratio_[e] / lambda;
            // r is 0 where the neighbourhood carries no energy (the design then falls by the
            // move limit). With no energy anywhere lambda is 0 as well and 0/0 must not turn
            // into a NaN design.
            double y = r > 0.0 ? x * std::sqrt(r) : 0.0;
            if (x - move > y)
                y = x - move;
            else if (y > x + move)
                y = x + move;
            y = std::clamp(y, lower, upper);
            candidateX[e] = float(y);
        }
        filter.stageInTeam(candidateX.data());
        if (projected) {
            filter.filterStagedInTeam(candidateXTilde.data(), state(opt).W_.data());
            const Projection h(state(opt).beta_, state(opt).eta_, state(opt).minDensity_);
#pragma omp for schedule(static)
            for (long long i = 0; i < n; ++i)
                candidateRho[size_t(i)] = float(h.value(double(candidateXTilde[size_t(i)])));
        } else {
            filter.filterStagedInTeam(candidateRho.data(), state(opt).W_.data());
        }
#pragma omp single
        for (size_t e = 0; e < size_t(n); ++e) {
            if (state(opt).isKept_[e])
                candidateRho[e] = 1.0f;
            else if (state(opt).isEmptyHeld_[e])
                candidateRho[e] = emptyDensity;
            else
                volume += double(candidateRho[e]);
        }
    }
    if (!opt.solvesEroded()) return volume;
    // A minimum member size: the mix of the candidate's intermediate and eroded volumes, scaled.
    const double eroded = erodedSum(state(opt), candidateXTilde, state(opt).beta_);
    return state(opt).memberVolumeScale_ * ((1.0 - Optimizer::kMemberVolumeMix) * volume +
                                            Optimizer::kMemberVolumeMix * eroded);
}

void ReferenceSteps::finishSearch(Optimizer& opt, double lambda) { searchVolume(opt, lambda); }

int ReferenceSteps::searchWidth(const Optimizer& opt) const {
    return opt.isProjected() ? 1 : int(kSearchCandidates);
}

DesignSums ReferenceSteps::accept(Optimizer& opt) {
    OptimizerState& s = state(opt);
    const double change = largestChange(s.x_, candidateX);
    // Each variable's move limit: shrunk where its change reversed sign, grown where it kept it.
    for (size_t e = 0; e < (opt.adaptsMoves() ? moves.size() : 0); ++e) {
        const double change = double(candidateX[e]) - double(s.x_[e]);
        if (change == 0.0) continue;
        const double move = double(moves[e]);
        if (change * double(lastChange[e]) < 0.0)
            moves[e] = float(std::max(Optimizer::kMoveFloor, move * Optimizer::kMoveShrink));
        else if (change * double(lastChange[e]) > 0.0)
            moves[e] = float(std::min(s.moveLimit_, move * Optimizer::kMoveGrowth));
        lastChange[e] = float(change);
    }
    s.x_ = candidateX;
    s.rho_ = candidateRho;
    if (opt.isProjected()) s.xTilde_ = candidateXTilde;
    updateMemberVolumeScale(opt, s);
    DesignSums sums = densitySums(opt, s);
    sums.change = change;
    return sums;
}

}  // namespace ostrel
