#include "scene/ViewFraming.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace ostrel {

float lengthScale(const Vec3f& halfSize) {
    const double longest = 2.0 * double(std::max({halfSize.x, halfSize.y, halfSize.z}));
    if (!(longest > 0) || !std::isfinite(longest))
        return 1.0f;
    return float(std::pow(10.0, std::round(std::log10(longest))));
}

StoredView threeQuarterView(const Vec3f& center, const Vec3f& halfSize) {
    constexpr float kDegrees = std::numbers::pi_v<float> / 180.0f;
    const float h = kThreeQuarterHeading * kDegrees, p = kThreeQuarterPitch * kDegrees;
    const Vec3f forward{std::cos(h) * std::cos(p), std::sin(h) * std::cos(p), -std::sin(p)};
    // The sphere of radius r is seen under a half-angle whose tangent is r / sqrt(d^2 - r^2).
    const float radius = length(halfSize);
    const float distance = radius * std::sqrt(1.0f + 1.0f / (kFramingTangent * kFramingTangent));
    return {center - forward * distance, {kThreeQuarterHeading, kThreeQuarterPitch, 0.0f}};
}

}  // namespace ostrel
