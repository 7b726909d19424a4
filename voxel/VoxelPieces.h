#pragma once
// Pieces of a voxel model: groups of occupied cells that share at least one corner with each
// other, directly or through other cells of the group. Two pieces share no finite-element
// vertex, so the model holds them apart: a piece without fixed vertices floats freely.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

#include "geometry/Vec3.h"
#include "geometry/Volume.h"

namespace ostrel {

/// Sizes (cell counts) of the pieces (cells joined through faces, edges or corners) of the
/// occupied cells of a grid of
/// dims.x * dims.y * dims.z cells (dense index x + dims.x * (y + dims.y * z)), largest first.
/// `occupied(index)` tells whether a cell is occupied.
inline std::vector<size_t> voxelPieceSizes(const Vec3i& dims,
                                           const std::function<bool(size_t)>& occupied) {
    std::vector<size_t> sizes;
    if (dims.x <= 0 || dims.y <= 0 || dims.z <= 0)
        return sizes;
    const size_t nx = size_t(dims.x), ny = size_t(dims.y), nz = size_t(dims.z);
    const size_t total = nx * ny * nz;
    std::vector<bool> seen(total, false);
    std::vector<size_t> stack;
    for (size_t start = 0; start < total; ++start) {
        if (seen[start] || !occupied(start))
            continue;
        size_t count = 0;
        seen[start] = true;
        stack.push_back(start);
        while (!stack.empty()) {
            const size_t c = stack.back();
            stack.pop_back();
            ++count;
            const long x = long(c % nx), y = long(c / nx % ny), z = long(c / (nx * ny));
            for (long dz = -1; dz <= 1; ++dz)
                for (long dy = -1; dy <= 1; ++dy)
                    for (long dx = -1; dx <= 1; ++dx) {
                        const long X = x + dx, Y = y + dy, Z = z + dz;
                        if (X < 0 || Y < 0 || Z < 0 || X >= long(nx) || Y >= long(ny) ||
                            Z >= long(nz))
                            continue;
                        const size_t n = size_t(X) + nx * (size_t(Y) + ny * size_t(Z));
                        if (!seen[n] && occupied(n)) {
                            seen[n] = true;
                            stack.push_back(n);
                        }
                    }
        }
        sizes.push_back(count);
    }
    std::sort(sizes.begin(), sizes.end(), std::greater<size_t>());
    return sizes;
}

/// The pieces of a boolean occupancy grid.
inline std::vector<size_t> voxelPieceSizes(const Volume<bool, double>& volume) {
    const bool* cells = volume.data();
    return voxelPieceSizes(volume.resolution(), [cells](size_t i) { return cells[i]; });
}

}  // namespace ostrel
