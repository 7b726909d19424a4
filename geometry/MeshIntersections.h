#pragma once
// Self-intersections and degenerate triangles of a triangle mesh, the checks that a surface
// meant for a printer must pass.
//
// Two triangles intersect when they share a point that the mesh's connectivity does not
// explain: triangles without a common vertex must not touch at all; triangles with one common
// vertex must meet only there; triangles with a common edge must not fold onto each other
// (coplanar with their third corners on the same side of the edge). Positions are taken in
// double; a point within a tolerance of 1e-9 times the pair's longest edge of the other
// triangle counts as touching it, so near-touching pairs are reported too. The pairs are found
// through a uniform grid of cells about twice the mean edge length: only triangles whose bounding
// boxes overlap are tested, each pair once.

#include <cstddef>
#include <utility>
#include <vector>

#include "geometry/TriangleMesh.h"

namespace ostrel {

/// Every intersecting pair (i, j), i < j, in ascending order. Degenerate triangles (see below)
/// are left out of the test.
std::vector<std::pair<int, int>> selfIntersections(const TriangleMesh& mesh);

/// Triangles whose area is below `minQuality` times the square of their longest edge (slivers,
/// repeated corners, collinear corners), in ascending order.
std::vector<int> degenerateTriangles(const TriangleMesh& mesh, double minQuality = 1e-6);

}  // namespace ostrel
