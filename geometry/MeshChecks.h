#pragma once
// Checks of a triangle mesh's surface that tell whether it can bound a solid.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry/TriangleMesh.h"

namespace ostrel {

namespace meshchecks_detail {
/// The number of undirected edges (degenerate ones left out) whose count of triangles passes
/// `counts`.
template <class Counts>
size_t countEdges(const TriangleMesh& mesh, Counts counts) {
    std::vector<uint64_t> edges;
    edges.reserve(mesh.triangles.size() * 3);
    for (const MeshTriangle& t : mesh.triangles)
        for (int c = 0; c < 3; ++c) {
            const uint32_t a = uint32_t(t.indices[c]), b = uint32_t(t.indices[(c + 1) % 3]);
            if (a != b)
                edges.push_back(uint64_t(std::min(a, b)) << 32 | std::max(a, b));
        }
    std::sort(edges.begin(), edges.end());
    size_t matching = 0;
    for (size_t i = 0; i < edges.size();) {
        size_t j = i + 1;
        while (j < edges.size() && edges[j] == edges[i])
            ++j;
        matching += counts(j - i);
        i = j;
    }
    return matching;
}
}  // namespace meshchecks_detail

/// Number of undirected edges that belong to exactly one triangle: the rims of holes. A closed
/// surface has none. Edges shared by three or more triangles and degenerate edges (both ends
/// the same vertex) are not counted.
inline size_t boundaryEdgeCount(const TriangleMesh& mesh) {
    return meshchecks_detail::countEdges(mesh, [](size_t n) { return n == 1; });
}

/// Number of undirected edges that belong to an odd number of triangles. Without any, every
/// closed path crosses the surface an even number of times, so inside (an odd number of
/// crossings from far away) is the same along every path; degenerate edges are not counted.
inline size_t oddEdgeCount(const TriangleMesh& mesh) {
    return meshchecks_detail::countEdges(mesh, [](size_t n) { return n % 2 == 1; });
}

}  // namespace ostrel
