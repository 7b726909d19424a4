#pragma once
// The density filter and the projection applied on the CPU: the reference the tests check the
// kernel module's filter against, on the tables of a DensityFilter (no part of the product).
//
// Input and output of one call must be different arrays. Every operation is an OpenMP loop with
// a static schedule over the elements (the float filter: over the x rows of the grid, which are
// contiguous element ranges), parallel from kParallelElements elements on; each element writes
// only its own slot, so results do not depend on the number of threads. The float filter works
// row by row: for each x row of the element grid it adds the taps to a row of accumulators, in
// the same tap order as the per-element sum, which keeps the result bit-for-bit equal to it;
// rows whose elements are sparse fall back to the per-element sum. The staging grids are the
// object's own scratch space: one object must not be used from two threads at once.

#include <vector>

#include "optimization/DensityFilter.h"

namespace ostrel {

class ReferenceFilter : public DensityFilter {
public:
    explicit ReferenceFilter(const FemModel& model, double radius = kRadius,
                             FaceRule faces = FaceRule::Clipped, double voidDensity = 0.0);
    /// The filter `filter` of `model` (its radius, faces, pad sums and anchors).
    ReferenceFilter(const FemModel& model, const DensityFilter& filter);

    /// W[i] = sum of the weights over the neighbourhood of element i, itself included (plus the
    /// pad sum P_i with void beyond the faces).
    void computeWeightSums(std::vector<double>& W) const;
    /// out[i] = (sum_j w_ij * in[j] + voidDensity * P_i) / W[i], computed in double, stored as
    /// float (P_i = 0 for the clipped rule).
    void filter(const float* in, float* out, const double* W) const;
    /// The two halves of filter() for callers that run inside one parallel region of their own
    /// (every thread of the team calls both, in this order; each is a static worksharing loop
    /// over the elements ending in a barrier): stage `in`, then filter the staged values into
    /// `out`. Called outside a parallel region they run on the calling thread. The results are
    /// those of filter().
    void stageInTeam(const float* in) const;
    void filterStagedInTeam(float* out, const double* W) const;
    /// Transposed filter: out[i] = sum_j w_ij * in[j] / W[j] over the neighbours j of i (each
    /// term divided by the neighbour's own sum). <filter(x), y> = <x, filterTranspose(y)>.
    void filterTranspose(const double* in, double* out, const double* W) const;
    /// Both transposed sums of the sensitivity step in one sweep:
    /// outA[i] = sum_j w_ij * a[j], outB[i] = sum_j w_ij * b[j] (no division; callers fold it
    /// into a and b).
    void gatherPair(const double* a, const double* b, double* outA, double* outB) const;

    /// out[i] = floor + (1 - floor) * H(in[i]) with
    /// H(v) = (tanh(beta*eta) + tanh(beta*(v-eta))) / (tanh(beta*eta) + tanh(beta*(1-eta))):
    /// H maps [0, 1] onto [0, 1], out onto [floor, 1]. floor 0 gives H itself, bit for bit.
    static void project(const float* in, float* out, size_t n, double beta, double eta,
                        double floor = 0.0);
    /// The derivative of project: out[i] = (1 - floor) * H'(in[i]) with
    /// H'(v) = beta * (1 - tanh^2(beta*(v-eta))) / (tanh(beta*eta) + tanh(beta*(1-eta))).
    static void projectDerivative(const float* in, double* out, size_t n, double beta,
                                  double eta, double floor = 0.0);

private:
    void buildRows(const FemModel& model);

    /// First element of each x row (y,z) of the element grid, row y + ny*z; ny*nz+1 entries.
    /// Elements are numbered z, y, x ascending, so a row's elements are contiguous.
    std::vector<size_t> rowStart_;
    mutable std::vector<float> stageF_;
    mutable std::vector<double> stageA_, stageB_;
};

}  // namespace ostrel
