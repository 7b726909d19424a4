#pragma once
// Distances between triangle meshes for the tests: the largest distance from the vertices of
// one mesh to the surface of another (one side of the Hausdorff distance), through a uniform
// grid of the triangles.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "geometry/TriangleDistance.h"
#include "geometry/TriangleMesh.h"

namespace ostrel::testing {

/// The largest distance from a vertex of `from` to the surface of `to`.
inline double largestVertexDistance(const TriangleMesh& from, const TriangleMesh& to) {
    if (to.triangles.empty()) return std::numeric_limits<double>::infinity();
    Vec3d lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    for (const MeshVertex& v : to.vertices)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], double(v.position[a]));
            hi[a] = std::max(hi[a], double(v.position[a]));
        }
    const int cells = 24;
    Vec3d size;
    for (int a = 0; a < 3; ++a) size[a] = std::max((hi[a] - lo[a]) / cells, 1e-9);
    auto cellOf = [&](double v, int a) {
        return std::clamp(int((v - lo[a]) / size[a]), 0, cells - 1);
    };
    std::vector<std::vector<int>> grid(size_t(cells * cells * cells));
    for (size_t t = 0; t < to.triangles.size(); ++t) {
        int c0[3], c1[3];
        for (int a = 0; a < 3; ++a) {
            double mn = 1e300, mx = -1e300;
            for (int32_t k : to.triangles[t].indices) {
                mn = std::min(mn, double(to.vertices[size_t(k)].position[a]));
                mx = std::max(mx, double(to.vertices[size_t(k)].position[a]));
            }
            c0[a] = cellOf(mn, a);
            c1[a] = cellOf(mx, a);
        }
        for (int z = c0[2]; z <= c1[2]; ++z)
            for (int y = c0[1]; y <= c1[1]; ++y)
                for (int x = c0[0]; x <= c1[0]; ++x)
                    grid[size_t((z * cells + y) * cells + x)].push_back(int(t));
    }
    auto corner = [&](int t, int k) {
        return Vec3d(to.vertices[size_t(to.triangles[size_t(t)].indices[k])].position);
    };
    double largest = 0;
    for (const MeshVertex& v : from.vertices) {
        const Vec3d p(v.position);
        double best = std::numeric_limits<double>::infinity();
        // Rings of cells around p until the ring lies farther away than the best distance.
        const int px = cellOf(p.x, 0), py = cellOf(p.y, 1), pz = cellOf(p.z, 2);
        const double minSize = std::min({size.x, size.y, size.z});
        for (int r = 0; r < cells; ++r) {
            if (best < (r - 1) * minSize) break;
            for (int z = pz - r; z <= pz + r; ++z)
                for (int y = py - r; y <= py + r; ++y)
                    for (int x = px - r; x <= px + r; ++x) {
                        if (std::max({std::abs(x - px), std::abs(y - py), std::abs(z - pz)}) != r ||
                            x < 0 || y < 0 || z < 0 || x >= cells || y >= cells || z >= cells)
                            continue;
                        for (int t : grid[size_t((z * cells + y) * cells + x)])
                            best = std::min(best, length(p - closestPointOnTriangle(p, corner(t, 0),
                                                                                corner(t, 1),
                                                                                corner(t, 2))));
                    }
        }
        largest = std::max(largest, best);
    }
    return largest;
}

}  // namespace ostrel::testing
