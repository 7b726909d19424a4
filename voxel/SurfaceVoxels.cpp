#include "voxel/SurfaceVoxels.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#include "core/Console.h"

namespace ostrel {

long addSurfaceVoxels(Volume<bool, double>& volume, const TriangleMesh& mesh) {
    const Vec3i n = volume.resolution();
    Volume<bool, double> added;
    added.init(n, volume.spacing(), volume.offset(), false);
    const Vec3f off(volume.offset());
    const Vec3f sp(volume.spacing());
    if (volume.data()) {
        for (const MeshVertex& v : mesh.vertices) {
            Vec3i c;
            bool inGrid = true;
            for (int a = 0; a < 3; ++a) {
                const float f = std::floor((v.position[a] - off[a]) / sp[a]);
                if (!(f >= 0.0f && f < float(n[a]))) {
                    inGrid = false;
                    break;
                }
                c[a] = int(f);
            }
            if (!inGrid || volume(c.x, c.y, c.z) || added(c.x, c.y, c.z)) continue;
            bool touches = false;
            for (int k = std::max(0, c.z - 1); k <= std::min(n.z - 1, c.z + 1) && !touches; ++k)
                for (int j = std::max(0, c.y - 1); j <= std::min(n.y - 1, c.y + 1) && !touches; ++j)
                    for (int i = std::max(0, c.x - 1); i <= std::min(n.x - 1, c.x + 1); ++i)
                        if (volume(i, j, k)) {
                            touches = true;
                            break;
                        }
            if (touches) added(c.x, c.y, c.z) = true;
        }
    }
    long count = 0;
    for (size_t i = 0; i < added.size(); ++i)
        if (added.data()[i]) {
            volume.data()[i] = true;
            ++count;
        }
    wideOut() << L"Added " << count << L" voxels at the boundary" << std::endl;
    return count;
}

}  // namespace ostrel
