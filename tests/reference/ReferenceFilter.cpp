#include "reference/ReferenceFilter.h"

#include <algorithm>
#include <cassert>

#include "fem/FemModel.h"

namespace ostrel {

ReferenceFilter::ReferenceFilter(const FemModel& model, double radius, FaceRule faces,
                                 double voidDensity)
    : DensityFilter(model, radius, faces, voidDensity) {
    buildRows(model);
}

ReferenceFilter::ReferenceFilter(const FemModel& model, const DensityFilter& filter)
    : DensityFilter(filter) {
    buildRows(model);
}

void ReferenceFilter::buildRows(const FemModel& model) {
    const auto& positions = model.elementPosition(0);
    const size_t rows = size_t(dims_[1]) * size_t(dims_[2]);
    rowStart_.assign(rows + 1, numElements_);
    for (size_t e = numElements_; e-- > 0;) {
        const GridPos p = unpack(positions[e]);
        rowStart_[size_t(p.y) + size_t(dims_[1]) * size_t(p.z)] = e;
    }
    // Rows without elements start where the next row starts.
    for (size_t r = rows; r-- > 0;) rowStart_[r] = std::min(rowStart_[r], rowStart_[r + 1]);
    // Empty cells stay 0 for the object's life; the staging writes only element cells.
    const size_t cells = size_t(padded_[0]) * size_t(padded_[1]) * size_t(padded_[2]);
    stageF_.assign(cells, 0.0f);
    stageA_.assign(cells, 0.0);
    stageB_.assign(cells, 0.0);
}

void ReferenceFilter::computeWeightSums(std::vector<double>& W) const {
    W.assign(numElements_, 0.0);
    scatter(std::vector<double>(numElements_, 1.0).data(), stageA_);
    const long long n = (long long)numElements_;
    const double* s = stageA_.data();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        W[size_t(e)] = tapSum(s + paddedCell_[size_t(e)]);
        if (!padSum_.empty()) W[size_t(e)] += padSum_[size_t(e)];
    }
}

void ReferenceFilter::filter(const float* in, float* out, const double* W) const {
    assert(static_cast<const void*>(in) != static_cast<const void*>(out));
#pragma omp parallel if ((long long)numElements_ >= kParallelElements)
    {
        stageInTeam(in);
        filterStagedInTeam(out, W);
    }
}

void ReferenceFilter::stageInTeam(const float* in) const {
    const long long n = (long long)numElements_;
    float* s = stageF_.data();
#pragma omp for schedule(static)
    for (long long e = 0; e < n; ++e) s[paddedCell_[size_t(e)]] = in[e];
}

void ReferenceFilter::filterStagedInTeam(float* out, const double* W) const {
    const float* s = stageF_.data();
    const long long rows = (long long)rowStart_.size() - 1;
#pragma omp for schedule(static)
    for (long long r = 0; r < rows; ++r) {
        const size_t first = rowStart_[size_t(r)], last = rowStart_[size_t(r) + 1];
        if (first == last) continue;
        const size_t c0 = paddedCell_[first];
        const size_t span = paddedCell_[last - 1] - c0 + 1;
        if (span > 2 * (last - first) || span > kMaxRow) {
            for (size_t e = first; e < last; ++e) {
                const float* c = s + paddedCell_[e];
                double sum = 0.0;
                for (int k = 0; k < numTaps_; ++k)
                    sum += tapWeight_[size_t(k)] * double(c[tapOffset_[size_t(k)]]);
                out[e] = filtered(sum, e, W);
            }
            continue;
        }
        double acc[kMaxRow];
        std::fill(acc, acc + span, 0.0);
        for (int k = 0; k < numTaps_; ++k) {
            const double w = tapWeight_[size_t(k)];
            const float* src = s + (long long)c0 + tapOffset_[size_t(k)];
            for (size_t x = 0; x < span; ++x) acc[x] += w * double(src[x]);
        }
        for (size_t e = first; e < last; ++e) out[e] = filtered(acc[paddedCell_[e] - c0], e, W);
    }
}

void ReferenceFilter::filterTranspose(const double* in, double* out, const double* W) const {
    assert(in != out);
    const long long n = (long long)numElements_;
    std::vector<double> scaled(numElements_);
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) scaled[size_t(e)] = in[e] / W[e];
    scatter(scaled.data(), stageA_);
    const double* s = stageA_.data();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        out[e] = tapSum(s + paddedCell_[size_t(e)]);
    }
}

void ReferenceFilter::gatherPair(const double* a, const double* b, double* outA,
                               double* outB) const {
    scatter(a, stageA_);
    scatter(b, stageB_);
    const long long n = (long long)numElements_;
    const double* sa = stageA_.data();
    const double* sb = stageB_.data();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        const size_t c = paddedCell_[size_t(e)];
        double sumA = 0.0, sumB = 0.0;
        for (int k = 0; k < numTaps_; ++k) {
            const double w = tapWeight_[size_t(k)];
            sumA += w * sa[size_t((long long)c + tapOffset_[size_t(k)])];
            sumB += w * sb[size_t((long long)c + tapOffset_[size_t(k)])];
        }
        outA[e] = sumA;
        outB[e] = sumB;
    }
}

void ReferenceFilter::project(const float* in, float* out, size_t n, double beta, double eta,
                            double floor) {
    const Projection h(beta, eta, floor);
    const long long count = (long long)n;
#pragma omp parallel for schedule(static) if (count >= kParallelElements)
    for (long long i = 0; i < count; ++i) out[i] = float(h.value(double(in[i])));
}

void ReferenceFilter::projectDerivative(const float* in, double* out, size_t n, double beta,
                                      double eta, double floor) {
    const Projection h(beta, eta, floor);
    const long long count = (long long)n;
#pragma omp parallel for schedule(static) if (count >= kParallelElements)
    for (long long i = 0; i < count; ++i) out[i] = h.slope(double(in[i]));
}

}  // namespace ostrel
