#pragma once
// Triangles without area, and their removal from closed surfaces.
//
// Marching cubes puts a vertex on every crossed grid edge; where a sample lies at (or within
// rounding of) the iso value, the vertices of the edges around it fall onto one point, and the
// triangles between them have no area. Mesh checkers and slicers reject such triangles.
//
// A triangle is degenerate when its height over its longest edge is at most
// kDegenerateTolerance times the mesh's largest bounding-box extent: zero at the precision of
// 32-bit coordinates (a few units in the last place).
//
// removeDegenerateTriangles takes them out of a closed, consistently oriented surface and
// keeps it so (every edge used once in each direction), by local operations:
// - a needle or a point-like triangle (its shortest edge at most kCollapseTolerance times the
//   extent) loses that edge: one end moves onto the other, the two triangles along the edge go,
//   and the triangles around the moved vertex take the kept one. The move is refused where it
//   would turn a triangle with area over, or join the surface to itself (the ends have more
//   neighbours in common than the two across the edge) unless nothing of the piece around them
//   is left then (a piece without volume);
// - a cap (a corner on its longest edge, no short edge) gives that edge to the quadrilateral it
//   forms with the triangle across it: the edge is flipped, unless the new edge exists already;
// - where neither can be done (the surface passes through one point more than once), the
//   vertices there are moved apart by kSeparation times the extent, in the direction that
//   leaves the fewest degenerate triangles and turns none with area over. So are distinct
//   vertices on one 32-bit point, which a reader that joins corners by position (STL) would
//   join into one, joining the surface to itself.
// Pairs of triangles over the same three corners in opposite orders (what is left of a piece
// with no volume) go too. Vertices no triangle uses any more are dropped and the rest keep
// their order and, unless moved apart, their positions; normals and bounds are recomputed. A
// triangle that no operation can mend stays.

#include <cstddef>

#include "geometry/TriangleMesh.h"

namespace ostrel {

inline constexpr double kDegenerateTolerance = 1e-6;
inline constexpr double kCollapseTolerance = 1e-4;
inline constexpr double kSeparation = 1e-5;

/// The height below which a triangle of `mesh` counts as degenerate.
double degenerateHeight(const TriangleMesh& mesh);

/// Number of triangles of `mesh` whose height over their longest edge is at most `height`.
size_t countDegenerateTriangles(const TriangleMesh& mesh, double height);
inline size_t countDegenerateTriangles(const TriangleMesh& mesh) {
    return countDegenerateTriangles(mesh, degenerateHeight(mesh));
}

/// Removes the degenerate triangles (see above); returns how many triangles were removed.
size_t removeDegenerateTriangles(TriangleMesh& mesh);

}  // namespace ostrel
