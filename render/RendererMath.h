#pragma once
// The scene renderer's arithmetic, free of GL: its fixed matrices, the ground and fog values and
// the per-instance data of the vertex handles and force arrows. Matrices act on column vectors
// and are stored row by row; world z is up.

#include <cstdint>
#include <vector>

#include "geometry/Matrix4.h"
#include "geometry/Vec3.h"

namespace ostrel {

class FemModel;

/// The light's projection P_L: m00 = m11 = 1/tan(22.5 rad), m22 = -1.0126582,
/// m23 = -0.10126582 * lengthScale, m32 = -1 (near 0.1 and far 8 times the scene's length
/// scale, depth 0..1).
Matrix4 lightProjection(float lengthScale = 1.0f);
/// B = diag(0.5, -0.5, 1, 1) * T(1, -1, 0): clip space to shadow-map texture coordinates with v
/// running downward.
Matrix4 shadowTextureMatrix();
/// The half-turn rotation R(d) that takes +x to the unit vector d (two branches by the sign of
/// d.x, as quaternions with w = 0).
Matrix4 rotationTakingXTo(const Vec3f& d);
/// World matrix of a force arrow (before the view): T(tail) * R(direction) * S(length) *
/// R_y(90 deg). The arrow mesh's +z (length 1) becomes `direction` (a unit vector), starting at
/// `tail`.
Matrix4 arrowWorld(const Vec3f& tail, const Vec3f& direction, float length);

/// Where the arrow of a force is drawn: from `tail` along the unit `direction`, `length` long.
struct ArrowPlacement {
    Vec3f tail, direction;
    float length = 0;
};

/// The arrow of `force` at finest-level vertex `vertex` (world position `position`),
/// `arrowLength` long, placed so that it can be seen: the first of these whose axis stays out
/// of the solid (the cells that hold an element) and above the ground (z = 0), else the first:
///   1. from 1.5 handle radii beyond the vertex, pointing away from it along the force;
///   2. on the other side, pointing at the vertex and ending 1.5 handle radii before it;
///   3. and 4. the same, moved off the surface (along the vertex's outward direction, taken
///      across the force) by the arrow head's radius (a fifth of its length) and a handle radius.
ArrowPlacement placeArrow(const FemModel& model, int vertex, const Vec3f& position,
                          const Vec3f& force, float arrowLength, float handleRadius);

/// (ln 10)^2 / (50 (hx + hy)), computed as powf(-logf(0.1), 2) / (50 (hx + hy)).
float fogDensity(float hx, float hy);
/// G = T(hx, hy, 0) * S(100 (hx + hy)) * T(-0.5, -0.5, 0): the unit plane centred under the
/// object, 100 times the sum of the half sizes wide.
Matrix4 groundWorld(float hx, float hy);

/// Handle of every finest-level vertex: position = origin + grid coordinate * voxel size (in
/// float from the doubles), type 1 when fixed, else 0.
void buildHandleInstances(const FemModel& model, std::vector<Vec3f>& positions,
                          std::vector<std::uint8_t>& types);

/// Arrow of every vertex whose force has a component that is not exactly 0 (NaN counts): its
/// vertex index and two matrices, W = V * arrowWorld(placeArrow(...)) and the inverse
/// transpose of W. The arrows' lengths are proportional to the forces, the largest (finite)
/// force's arrow `longest` long; the forces themselves are not changed.
void buildArrowInstances(const FemModel& model, const std::vector<Vec3f>& positions,
                         const Matrix4& view, float handleRadius, float longest,
                         std::vector<std::int32_t>& vertices, std::vector<Matrix4>& matrices);

/// The arrows of `forces` (3 per vertex, another load case's than the model's) appended as
/// buildArrowInstances makes them, the largest of these forces' arrow `longest` long; with
/// `dimmed` each vertex index v is stored as -(v + 1): the renderer draws such an arrow in a
/// dull colour and writes no object ID for it.
void appendArrowInstances(const FemModel& model, const std::vector<float>& forces,
                          const std::vector<Vec3f>& positions, const Matrix4& view,
                          float handleRadius, float longest, bool dimmed,
                          std::vector<std::int32_t>& vertices, std::vector<Matrix4>& matrices);

/// Length of the largest force's arrow for a model with the given bounding-box half size: a
/// tenth of its diagonal times the scene's arrow scaling (EDITOR_FORCE_ARROW_SCALING, 1 when
/// absent).
float longestArrow(const Vec3f& halfSize, float scaling);

}  // namespace ostrel
