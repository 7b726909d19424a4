#pragma once
// Pieces of a voxel model: groups of occupied cells joined through shared faces. Cells that
// touch only along an edge or at a corner share too few finite-element vertices to hold each
// other (a hinge), so they count as separate pieces.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

#include "geometry/Vec3.h"
#include "geometry/Volume.h"

namespace ostrel {

/// Sizes (cell counts) of the face-connected pieces of the occupied cells of a grid of
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
            const size_t x = c % nx, y = c / nx % ny, z = c / (nx * ny);
            const size_t neighbours[6] = {
                x > 0 ? c - 1 : total,       x + 1 < nx ? c + 1 : total,
                y > 0 ? c - nx : total,      y + 1 < ny ? c + nx : total,
                z > 0 ? c - nx * ny : total, z + 1 < nz ? c + nx * ny : total};
            for (size_t n : neighbours)
                if (n < total && !seen[n] && occupied(n)) {
                    seen[n] = true;
                    stack.push_back(n);
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
