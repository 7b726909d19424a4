#include "voxel/SurfaceVoxels.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#include "core/Console.h"

namespace ostrel {
namespace {

/// Grid coordinates within this many voxel edges of a grid plane count as on it.
constexpr double kOnPlane = 1e-4;

/// Whether the point at continuous grid coordinates `f` lies on the closed box of a set voxel
/// of `volume`: in it, or on a face, edge or corner of it within rounding.
bool onSolid(const Volume<bool, double>& volume, const Vec3d& f) {
    const Vec3i n = volume.resolution();
    int lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        const double k = std::round(f[a]);
        if (std::abs(f[a] - k) <= kOnPlane) lo[a] = int(k) - 1, hi[a] = int(k);
        else lo[a] = hi[a] = int(std::floor(f[a]));
        lo[a] = std::max(lo[a], 0);
        hi[a] = std::min(hi[a], n[a] - 1);
    }
    for (int k = lo[2]; k <= hi[2]; ++k)
        for (int j = lo[1]; j <= hi[1]; ++j)
            for (int i = lo[0]; i <= hi[0]; ++i)
                if (volume(i, j, k)) return true;
    return false;
}

/// Whether voxel c has a set face neighbour.
bool sharesFace(const Volume<bool, double>& volume, const Vec3i& c) {
    const Vec3i n = volume.resolution();
    for (int a = 0; a < 3; ++a)
        for (int step : {-1, 1}) {
            Vec3i d = c;
            d[a] += step;
            if (d[a] >= 0 && d[a] < n[a] && volume(d.x, d.y, d.z)) return true;
        }
    return false;
}

}  // namespace

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
            // A vertex on the solid's boundary is reached already: its voxel is not added where
            // it would join the solid along an edge or at a corner only, a hinge that no
            // fixation of the rest holds.
            const Vec3d f((double(v.position.x) - volume.offset().x) / volume.spacing().x,
                          (double(v.position.y) - volume.offset().y) / volume.spacing().y,
                          (double(v.position.z) - volume.offset().z) / volume.spacing().z);
            if (!sharesFace(volume, c) && onSolid(volume, f)) continue;
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
