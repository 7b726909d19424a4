#pragma once
// The linear density filter of the finest element grid as tables, and the smoothed Heaviside
// projection's constants. The kernel module applies both (gpu/DeviceOptimizer.h); the tests'
// reference (tests/reference/ReferenceFilter.h) applies them on the CPU.
//
// Neighbourhood of element i at cell (x,y,z) for the radius r (in voxel lengths): the offsets
// (dx,dy,dz), clipped to the element grid, whose cell holds an element and whose weight
// w = r - |(dx,dy,dz)| is positive. The default radius 2*sqrt(3) keeps the box of offsets -2..2
// on each axis (the eight box corners have weight 0; offsets such as (3,0,0), closer than the
// radius but outside the box, are not part of it); any other radius takes every offset closer
// than the radius. Weights are tabulated once, in dz, dy, dx order, the order of every sum
// over them; sums are taken in double.
//
// The filter gathers the neighbourhood through a dense staging grid padded by the half width of
// the neighbourhood on every side (empty cells hold 0), so the inner loop has no bounds checks
// and no branches; a zero term leaves a double sum bit-for-bit unchanged, so the result equals
// the clipped sum. Per-element arrays are indexed by element number. Bound to the model's
// level-0 grid, which is immutable; anchorMembers uses the object's own scratch space, so one
// object must not be used from two threads at once.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

class FemModel;

/// Element loops of the optimization run in parallel from this many elements on. Below it the
/// work is smaller than the cost of waking the worker threads and, on a loaded machine, of
/// waiting at the closing barrier for a worker that has lost its core.
inline constexpr long long kParallelElements = 8192;

/// The projection of DensityFilter::project for one value, in double, with its constants formed
/// once: value(v) = floor + (1 - floor) * H(v), slope(v) = (1 - floor) * H'(v).
struct Projection {
    Projection(double beta, double eta, double floor = 0.0);
    double value(double v) const {
        return floor + (1.0 - floor) * ((base + std::tanh(beta * (v - eta))) / denominator);
    }
    double slope(double v) const {
        const double t = std::tanh(beta * (v - eta));
        return (1.0 - floor) * (beta * (1.0 - t * t) / denominator);
    }
    double beta, eta, floor, base, denominator;
};

class DensityFilter {
public:
    /// Clipped: only the elements count. VoidBeyondFaces: the space beyond the grid's faces is
    /// void. VoidOutsideModel: every cell that holds no element is void as well (beyond the
    /// faces, and the grid's cells outside the object), so that a member along the object's
    /// own surface is filtered like one inside it.
    enum class FaceRule { Clipped, VoidBeyondFaces, VoidOutsideModel };

    /// Default filter radius in voxel lengths, 2*sqrt(3).
    static const double kRadius;
    /// Half width of the default neighbourhood box.
    static constexpr int kHalfWidth = 2;
    static constexpr int kBoxWidth = 2 * kHalfWidth + 1;
    /// Longest x row of an element grid (x has 11 bits in a packed position).
    static constexpr size_t kMaxRow = 2048;

    /// `radius` in voxel lengths, at least 1 (1 and below: each element is its own
    /// neighbourhood). A radius within 1e-6 of 2*sqrt(3) is the default neighbourhood.
    /// With FaceRule::VoidBeyondFaces the grid is padded with void of density `voidDensity`.
    explicit DensityFilter(const FemModel& model, double radius = kRadius,
                           FaceRule faces = FaceRule::Clipped, double voidDensity = 0.0);

    /// Weight of the offset (dx,dy,dz) of the default neighbourhood, each in -2..2:
    /// max(0, 2*sqrt(3) - |offset|).
    static double weight(int dx, int dy, int dz);
    /// Weight of the offset (dx,dy,dz) for `radius`: the default neighbourhood's weight for the
    /// default radius (0 outside its box), otherwise max(0, radius - |offset|).
    static double weight(double radius, int dx, int dy, int dz);
    static bool isDefaultRadius(double radius);
    /// Largest offset component of the neighbourhood of `radius`.
    static int halfWidth(double radius);

    size_t numElements() const { return numElements_; }
    double radius() const { return radius_; }
    FaceRule faceRule() const { return faces_; }
    double voidDensity() const { return voidDensity_; }
    /// Pad sums P_i (weights of the offsets that hold no element and count as void: beyond the
    /// grid's faces, and with VoidOutsideModel also the grid's cells outside the object) per
    /// element; empty for the clipped rule. 0 for the starved elements near an anchor
    /// (anchorMembers).
    const std::vector<double>& padSums() const { return padSum_; }
    /// A solid neighbourhood must filter to at least this for an element to become solid.
    static constexpr double kReachable = 0.55;
    /// With void beyond the faces: an element that has an element of `anchors` (1 = held solid:
    /// supports, loads, keep-solid boxes) in its neighbourhood and is starved by the void (a
    /// neighbourhood of solid elements would filter below kReachable: at edges and corners,
    /// where void lies on two or three sides, from a radius of about 2 on; a single face never
    /// starves an element up to radius 10) takes the clipped rule, so that members can reach
    /// anchors on edges and corners at any radius. Replaces the last call's anchors; an empty
    /// vector or the clipped rule leaves every pad sum as the rule gives it.
    void anchorMembers(const std::vector<uint8_t>& anchors);
    /// Number of offsets with a positive weight (117 for the default radius).
    int numTaps() const { return numTaps_; }
    /// The taps in dz, dy, dx order: weights and offsets in cells of the staging grid, the
    /// element grid padded by padding() cells on every side (size paddedDims(), x fastest;
    /// element (x,y,z) at cell x+p + px*(y+p + py*(z+p)) with p = padding()).
    const std::vector<double>& tapWeights() const { return tapWeight_; }
    const std::vector<long long>& tapOffsets() const { return tapOffset_; }
    int padding() const { return halfWidth_; }
    const std::array<int, 3>& paddedDims() const { return padded_; }

protected:
    void computePadSums(const FemModel& model);
    /// VoidOutsideModel's pad sums: the weights of the taps on cells that hold no element.
    void computeOutsideSums();
    template <typename T>
    void scatter(const T* in, std::vector<T>& staging) const;
    /// A staging grid of its own (padded, empty cells 0) with the n values `in` at the
    /// elements' cells: set-up scratch, so that a filter applied elsewhere (on the solver's
    /// device) holds no grid of its own.
    std::vector<double> staged(const double* in) const;
    /// Weighted sum of the staged values around the staged cell `c`, in tap order.
    double tapSum(const double* c) const {
        double sum = 0.0;
        for (int k = 0; k < numTaps_; ++k) sum += tapWeight_[size_t(k)] * c[tapOffset_[size_t(k)]];
        return sum;
    }

    size_t numElements_ = 0;
    std::array<int, 3> dims_{};    // element grid size
    std::array<int, 3> padded_{};  // dims_ + 2 * halfWidth_
    /// Element -> dense index of its cell in the padded staging grid.
    std::vector<size_t> paddedCell_;
    double radius_ = kRadius;
    int halfWidth_ = kHalfWidth;
    FaceRule faces_ = FaceRule::Clipped;
    double voidDensity_ = 0.0;
    std::vector<double> padSum_;  // per element; empty for the clipped rule
    std::vector<double> facePad_;  // the pad sums of the faces alone, before anchorMembers
    /// out for element e from its weighted tap sum.
    float filtered(double tapSum, size_t e, const double* W) const {
        if (!padSum_.empty()) tapSum += voidDensity_ * padSum_[e];
        return float(tapSum / W[e]);
    }
    /// Tabulated weights and staging-grid offsets of the offsets of positive weight (117 of the
    /// default box's 125) in dz, dy, dx order: the inner loops skip the cells of weight 0.
    int numTaps_ = 0;
    std::vector<double> tapWeight_;
    std::vector<long long> tapOffset_;
};

}  // namespace ostrel
