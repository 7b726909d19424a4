#pragma once
// Regular 3-D grid of values with a world placement.
//
// Cell (i, j, k) is stored at index i + nx * (j + ny * k) (x fastest, then y, then z), covers
// offset + [i, i+1) x spacing.x (likewise in y and z), and has its centre at
// offset + (i + 0.5, j + 0.5, k + 0.5) * spacing. Volume<bool, double> is the voxel occupancy
// (one byte per cell), Volume<double, double> the padded density field of the shape.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "geometry/Vec3.h"

namespace ostrel {

template <typename V, typename R>
class Volume {
public:
    Volume() = default;
    virtual ~Volume() = default;
    Volume(const Volume& other) { *this = other; }
    Volume& operator=(const Volume& other) {
        if (this == &other) return *this;
        valid_ = other.valid_;
        resolution_ = other.resolution_;
        spacing_ = other.spacing_;
        extent_ = other.extent_;
        offset_ = other.offset_;
        data_.reset();
        if (other.data_) {
            data_ = std::make_unique<V[]>(other.size());
            for (size_t n = 0; n < other.size(); ++n) data_[n] = other.data_[n];
        }
        return *this;
    }
    Volume(Volume&&) noexcept = default;
    Volume& operator=(Volume&&) noexcept = default;

    /// Releases any previous data, sets the placement, computes the extent and fills all
    /// nx*ny*nz cells with `fill`. Negative resolutions are treated as 0. A resolution whose
    /// cell count (or byte count) does not fit size_t is refused: the grid stays cleared and
    /// init returns false.
    bool init(Vec3i resolution, Vec3<R> spacing, Vec3<R> offset, V fill) {
        clear();
        size_t cells = 1;
        for (int n : {resolution.x, resolution.y, resolution.z})
            if (n > 0 && __builtin_mul_overflow(cells, size_t(n), &cells)) return false;
        if (cells > SIZE_MAX / sizeof(V)) return false;
        resolution_ = {resolution.x > 0 ? resolution.x : 0, resolution.y > 0 ? resolution.y : 0,
                       resolution.z > 0 ? resolution.z : 0};
        spacing_ = spacing;
        offset_ = offset;
        extent_ = {R(resolution_.x) * spacing.x, R(resolution_.y) * spacing.y,
                   R(resolution_.z) * spacing.z};
        data_ = std::make_unique<V[]>(size());
        for (size_t n = 0; n < size(); ++n) data_[n] = fill;
        valid_ = true;
        return true;
    }

    /// Back to the freshly constructed state: not valid, all fields zero, no data.
    void clear() {
        valid_ = false;
        resolution_ = {};
        spacing_ = {};
        extent_ = {};
        offset_ = {};
        data_.reset();
    }

    bool valid() const { return valid_; }
    const Vec3i& resolution() const { return resolution_; }
    const Vec3<R>& spacing() const { return spacing_; }
    const Vec3<R>& extent() const { return extent_; }
    const Vec3<R>& offset() const { return offset_; }
    size_t size() const {
        return size_t(resolution_.x) * size_t(resolution_.y) * size_t(resolution_.z);
    }

    size_t index(int i, int j, int k) const {
        return size_t(i) + size_t(resolution_.x) * (size_t(j) + size_t(resolution_.y) * size_t(k));
    }
    bool contains(int i, int j, int k) const {
        return i >= 0 && j >= 0 && k >= 0 && i < resolution_.x && j < resolution_.y &&
               k < resolution_.z;
    }
    V& operator()(int i, int j, int k) {
        assert(contains(i, j, k));
        return data_[index(i, j, k)];
    }
    const V& operator()(int i, int j, int k) const {
        assert(contains(i, j, k));
        return data_[index(i, j, k)];
    }

    V* data() { return data_.get(); }
    const V* data() const { return data_.get(); }

private:
    bool valid_ = false;
    Vec3i resolution_{};
    Vec3<R> spacing_{};
    Vec3<R> extent_{};
    Vec3<R> offset_{};
    std::unique_ptr<V[]> data_;
};

}  // namespace ostrel
