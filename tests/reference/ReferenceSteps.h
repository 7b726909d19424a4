#pragma once
// The reference implementation of the per-element steps of a design iteration
// (optimization/ElementSteps.h), on the CPU and independent of the kernel module: the design,
// densities and energies in the optimizer's own host arrays, the search's candidates,
// sensitivities and update ratios in this object's arrays. The tests check the kernel path
// (KernelSteps) against it; it is no part of the product.
//
// Loops over elements run as OpenMP loops with a static schedule and write only their own
// element's slots; sums, minimum/maximum run on one thread in element order, so the results do
// not depend on the number of threads. Without projection every pass of the multiplier search
// filters the candidate design (no linear volume weights); with projection every pass filters
// and projects, with the optimizer's filter as it was at the last start() or load(). Every verb
// takes the optimizer it works for. Main thread only.

#include <cstdint>
#include <optional>
#include <vector>

#include "optimization/ElementSteps.h"
#include "reference/ReferenceFilter.h"

namespace ostrel {

/// Dense cell index of level-0 element e in the element grid (the index of `sensitivity`).
size_t elementCell(const FemModel& model, size_t e);
/// Corner vertex k (node order (k&1, k>>1&1, k>>2)) of level-0 element e.
int cornerVertex(const FemModel& model, size_t e, int k);

class ReferenceSteps final : public ElementSteps {
public:
    DesignSums start(Optimizer& opt) override;
    void load(Optimizer& opt) override;
    void unload(Optimizer&) override {}
    void downloadState(Optimizer&) override {}
    /// The optimizer's arrays are current already; the move limits and last changes go there.
    void downloadCheckpoint(Optimizer& opt) override;
    DesignSums densitiesChanged(const Optimizer& opt) override;
    void updateStiffness(Optimizer& opt) override;
    double evaluateEnergies(Optimizer& opt) override;
    double addCaseEnergies(Optimizer& opt, double weight, bool first) override;
    void computeSensitivities(Optimizer& opt) override;
    void ratioRange(Optimizer& opt, double& lo, double& hi) override;
    void prepareSearch(Optimizer& opt) override;
    /// The candidates of `lambda`, made once more like a pass.
    void finishSearch(Optimizer& opt, double lambda) override;
    double searchVolume(Optimizer& opt, double lambda) override;
    /// As the product's steps: kSearchCandidates without projection, 1 with it. Each pass of
    /// several multipliers runs one plain pass per multiplier (ElementSteps::searchVolumes).
    int searchWidth(const Optimizer& opt) const override;
    DesignSums accept(Optimizer& opt) override;

    /// The optimizer's private state as the steps see it, for the tests that set up or inspect
    /// it directly.
    static OptimizerState& internals(Optimizer& opt) { return state(opt); }

    std::vector<float> candidateX;       ///< trial design of the multiplier search
    std::vector<float> candidateRho;     ///< filtered trial design, held elements at their rule
    std::vector<float> candidateXTilde;  ///< projection: filter of the trial design
    std::vector<double> dv;              ///< volume sensitivity per element
    /// nx*ny*nz cells: compliance sensitivity dq of each element at its cell.
    std::vector<double> sensitivity;
    /// Projection: each design variable's own move limit and its last change other than 0
    /// (empty without projection).
    std::vector<float> moves, lastChange;

private:
    std::vector<double> dRho_, scaledQ_, scaledOne_, gathered_;  // sensitivity scratch
    std::vector<double> ratio_;                                    // -dq/dv per element
    std::optional<ReferenceFilter> filter_;  // the optimizer's filter, applied on the CPU
};

}  // namespace ostrel
