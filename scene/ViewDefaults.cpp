#include "scene/ViewDefaults.h"

#include <algorithm>

namespace ostrel {

void ViewDefaults::computeLightView() {
    const Vec3f z = -lightDir / length(lightDir);
    const Vec3f ux = cross(lightUp, z);
    const Vec3f x = ux / length(ux);
    const Vec3f y = cross(z, x);
    const float m[16] = {x.x, x.y, x.z, -dot(lightPos, x), y.x, y.y, y.z, -dot(lightPos, y),
                         z.x, z.y, z.z, -dot(lightPos, z), 0,   0,   0,   1};
    std::copy(m, m + 16, lightView);
}

}  // namespace ostrel
