#pragma once
// How far the window's view reaches for a model of a given size, and the stored view that shows
// a model whole.
//
// The length scale is the power of ten nearest (on a logarithmic scale) to the longest edge of
// the model's bounding box: 1 for models between about 0.32 and 3.2 long, 100 for a part of
// 100 mm, 0.001 for one of a millimetre. Every length the window fixes for a model about one
// unit long (clip planes, the light's frustum and default position, the camera's speeds and
// nearest orbit distance) is multiplied by it, so that a model and the same model scaled by a
// power of ten look alike, and the examples' pictures keep their numbers exactly.
//
// The three-quarter view looks at the bounding box's centre from the front left and above
// (heading kThreeQuarterHeading, pitch kThreeQuarterPitch, no roll), from the distance at which
// the box's bounding sphere fits a cone of half-angle tangent kFramingTangent: the part of the
// default 800 x 600 window that the control panels leave free (left of the main panel, below the
// statistics text) with a margin.

#include "geometry/Vec3.h"

namespace ostrel {

/// 10^round(log10(longest edge)); 1 for an empty, flat-to-nothing or non-finite box.
float lengthScale(const Vec3f& halfSize);

inline constexpr float kThreeQuarterHeading = 60.0f;
inline constexpr float kThreeQuarterPitch = 25.0f;
inline constexpr float kFramingTangent = 0.24f;

/// A stored camera view: RENDERER_DEFAULT_VIEW_POS and RENDERER_DEFAULT_HEADING_PITCH_ROLL.
struct StoredView {
    Vec3f position;
    Vec3f headingPitchRoll;
};

/// The three-quarter view of the box with centre `center` and half size `halfSize`.
StoredView threeQuarterView(const Vec3f& center, const Vec3f& halfSize);

}  // namespace ostrel
