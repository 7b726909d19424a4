#pragma once
// Handles that the input surface hides from every eye outside it.
//
// The handle of a level-0 vertex is enclosed when the vertex lies inside the surface (an odd
// number of crossings on one of its grid lines) and no point of the surface lies within
// kClearanceRadii handle radii of it. The surface is drawn opaque, from both sides and before
// the handles, and a handle writes the depth of a point at most 1.5 radii from its centre. A ray
// from an eye outside the surface's bounding box, farther from it than the near plane reaches,
// to such a point crosses the surface on the way, at least 1.5 radii in front of it; so an
// enclosed handle can neither show nor be picked. The renderer leaves enclosed handles out of
// its draw: the picture and the object IDs stay the same, and a software rasterizer shades only
// the handles that can show.
//
// Nothing is enclosed (every vertex shown) for an empty surface, one with an edge of an odd
// number of triangles (it bounds no solid), positions that are not finite, or a radius that is
// not positive. A vertex whose grid lines along x, y and z all pass within a rounding tolerance
// of a triangle's edge, or in its plane, stays shown.

#include <cstdint>
#include <vector>

#include "geometry/Matrix4.h"
#include "geometry/Vec3.h"

namespace ostrel {

class FemModel;
class TriangleMesh;

/// The clearance around an enclosed vertex, in handle radii: 1.5 radii between what the handle
/// draws and the surface, many depth-buffer steps at the distances a handle is seen from.
inline constexpr double kClearanceRadii = 3.0;

struct EnclosedHandles {
    std::vector<std::uint32_t> shown;  ///< level-0 vertices that are not enclosed, ascending
    std::uint32_t enclosed = 0;        ///< vertices left out
    Vec3f boxMin{}, boxMax{};          ///< the surface's bounding box
};

/// The enclosed handles of radius `handleRadius` at the model's level-0 vertices.
EnclosedHandles findEnclosedHandles(const FemModel& model, const TriangleMesh& surface,
                                    float handleRadius);

/// Largest distance from the eye to a corner of the near plane of a perspective `projection`
/// with a depth range of 0 to 1 (as cameraProjection); infinity when it has no such plane.
float nearPlaneReach(const Matrix4& projection);

/// Whether an eye at world position `eye`, whose near plane reaches `reach`, cannot see the
/// enclosed handles: it is farther than `reach` from the surface's bounding box.
bool enclosedHandlesHidden(const EnclosedHandles& handles, const Vec3f& eye, float reach);

}  // namespace ostrel
