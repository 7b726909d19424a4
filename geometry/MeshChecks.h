#pragma once
// Checks of a triangle mesh's surface that tell whether it can bound a solid.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry/TriangleMesh.h"

namespace ostrel {

/// Number of undirected edges that belong to exactly one triangle: the rims of holes. A closed
/// surface has none. Edges shared by three or more triangles and degenerate edges (both ends
/// the same vertex) are not counted.
inline size_t boundaryEdgeCount(const TriangleMesh& mesh) {
    std::vector<uint64_t> edges;
    edges.reserve(mesh.triangles.size() * 3);
    for (const MeshTriangle& t : mesh.triangles)
        for (int c = 0; c < 3; ++c) {
            const uint32_t a = uint32_t(t.indices[c]), b = uint32_t(t.indices[(c + 1) % 3]);
            if (a != b)
                edges.push_back(uint64_t(std::min(a, b)) << 32 | std::max(a, b));
        }
    std::sort(edges.begin(), edges.end());
    size_t single = 0;
    for (size_t i = 0; i < edges.size();) {
        size_t j = i + 1;
        while (j < edges.size() && edges[j] == edges[i])
            ++j;
        single += j - i == 1;
        i = j;
    }
    return single;
}

}  // namespace ostrel
