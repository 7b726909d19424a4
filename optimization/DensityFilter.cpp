#include "optimization/DensityFilter.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <map>

#include "fem/FemModel.h"

namespace ostrel {

const double DensityFilter::kRadius = 2.0 * std::sqrt(3.0);

double DensityFilter::weight(int dx, int dy, int dz) {
    const double d = std::sqrt(double(dx * dx + dy * dy + dz * dz));
    const double w = kRadius - d;
    return w > 0.0 ? w : 0.0;
}

bool DensityFilter::isDefaultRadius(double radius) {
    return std::fabs(radius - kRadius) <= 1e-6;
}

int DensityFilter::halfWidth(double radius) {
    if (isDefaultRadius(radius)) return kHalfWidth;
    // The largest integer below the radius: offsets of that size are still closer than it.
    return radius > 1.0 ? int(std::ceil(radius)) - 1 : 0;
}

double DensityFilter::weight(double radius, int dx, int dy, int dz) {
    if (isDefaultRadius(radius)) {
        if (std::abs(dx) > kHalfWidth || std::abs(dy) > kHalfWidth || std::abs(dz) > kHalfWidth)
            return 0.0;
        return weight(dx, dy, dz);
    }
    const double w = radius - std::sqrt(double(dx * dx + dy * dy + dz * dz));
    return w > 0.0 ? w : 0.0;
}

DensityFilter::DensityFilter(const FemModel& model, double radius, FaceRule faces,
                             double voidDensity)
    : faces_(faces), voidDensity_(faces == FaceRule::Clipped ? 0.0 : voidDensity) {
    radius_ = isDefaultRadius(radius) ? kRadius : radius;
    halfWidth_ = halfWidth(radius_);
    const int h = halfWidth_;
    numElements_ = size_t(model.numElements(0));
    dims_ = model.elementDims(0);
    padded_ = {dims_[0] + 2 * h, dims_[1] + 2 * h, dims_[2] + 2 * h};
    const long long px = padded_[0], pxy = (long long)padded_[0] * padded_[1];
    for (int dz = -h; dz <= h; ++dz)
        for (int dy = -h; dy <= h; ++dy)
            for (int dx = -h; dx <= h; ++dx) {
                const double w = weight(radius_, dx, dy, dz);
                if (w > 0.0) {
                    tapWeight_.push_back(w);
                    tapOffset_.push_back(dz * pxy + dy * px + dx);
                    ++numTaps_;
                }
            }
    paddedCell_.resize(numElements_);
    const auto& positions = model.elementPosition(0);
    for (size_t e = 0; e < numElements_; ++e) {
        const GridPos p = unpack(positions[e]);
        paddedCell_[e] = size_t(p.z + h) * size_t(pxy) + size_t(p.y + h) * size_t(px) +
                         size_t(p.x + h);
    }
    if (faces_ == FaceRule::VoidBeyondFaces) computePadSums(model);
    if (faces_ == FaceRule::VoidOutsideModel) computeOutsideSums();
}

std::vector<double> DensityFilter::staged(const double* in) const {
    std::vector<double> grid(size_t(padded_[0]) * size_t(padded_[1]) * size_t(padded_[2]), 0.0);
    scatter(in, grid);
    return grid;
}

void DensityFilter::computeOutsideSums() {
    const std::vector<double> staging = staged(std::vector<double>(numElements_, 1.0).data());
    padSum_.assign(numElements_, 0.0);
    const double* inside = staging.data();
    for (size_t e = 0; e < numElements_; ++e) {
        const double* c = inside + paddedCell_[e];
        double sum = 0.0;
        for (int k = 0; k < numTaps_; ++k)
            sum += tapWeight_[size_t(k)] * (1.0 - c[tapOffset_[size_t(k)]]);
        padSum_[e] = sum;
    }
    facePad_ = padSum_;
}

void DensityFilter::computePadSums(const FemModel& model) {
    // The pad sum depends only on how close the element lies to each of the six faces (at most
    // the half width counts), so it is computed once per distinct set of distances.
    const int h = halfWidth_;
    std::map<std::array<int, 6>, double> sums;
    auto padSum = [&](const std::array<int, 6>& near) {
        auto [it, added] = sums.try_emplace(near, 0.0);
        if (!added) return it->second;
        double sum = 0.0;
        for (int dz = -h; dz <= h; ++dz)
            for (int dy = -h; dy <= h; ++dy)
                for (int dx = -h; dx <= h; ++dx) {
                    const bool outside = dx < -near[0] || dx > near[1] || dy < -near[2] ||
                                         dy > near[3] || dz < -near[4] || dz > near[5];
                    if (outside) sum += weight(radius_, dx, dy, dz);
                }
        return it->second = sum;
    };
    padSum_.assign(numElements_, 0.0);
    const auto& positions = model.elementPosition(0);
    for (size_t e = 0; e < numElements_; ++e) {
        const GridPos p = unpack(positions[e]);
        const std::array<int, 6> near = {
            std::min(p.x, h), std::min(dims_[0] - 1 - p.x, h), std::min(p.y, h),
            std::min(dims_[1] - 1 - p.y, h), std::min(p.z, h), std::min(dims_[2] - 1 - p.z, h)};
        padSum_[e] = padSum(near);
    }
    facePad_ = padSum_;
}

void DensityFilter::anchorMembers(const std::vector<uint8_t>& anchors) {
    if (faces_ == FaceRule::Clipped) return;
    padSum_ = facePad_;
    if (anchors.size() != numElements_) return;
    // An anchor lies in the neighbourhood of e when the weighted sum of the anchor flags
    // around e is positive (every tap has a positive weight); the weights inside the grid are
    // the sum over staged ones.
    std::vector<double> flags(numElements_);
    for (size_t e = 0; e < numElements_; ++e) flags[e] = anchors[e] ? 1.0 : 0.0;
    const std::vector<double> stagedFlags = staged(flags.data());
    const std::vector<double> stagedOnes = staged(std::vector<double>(numElements_, 1.0).data());
    const double* a = stagedFlags.data();
    const double* inside = stagedOnes.data();
    for (size_t e = 0; e < numElements_; ++e) {
        if (!(padSum_[e] > 0.0) || !(tapSum(a + paddedCell_[e]) > 0.0)) continue;
        const double w = tapSum(inside + paddedCell_[e]);
        if (w < kReachable * (w + padSum_[e])) padSum_[e] = 0.0;
    }
}

template <typename T>
void DensityFilter::scatter(const T* in, std::vector<T>& staging) const {
    const long long n = (long long)numElements_;
    T* s = staging.data();
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) s[paddedCell_[size_t(e)]] = in[e];
}

// The tests' reference filter stages with it too.
template void DensityFilter::scatter<double>(const double*, std::vector<double>&) const;

Projection::Projection(double beta_, double eta_, double floor_)
    : beta(beta_),
      eta(eta_),
      floor(floor_),
      base(std::tanh(beta_ * eta_)),
      denominator(std::tanh(beta_ * eta_) + std::tanh(beta_ * (1.0 - eta_))) {}

}  // namespace ostrel
