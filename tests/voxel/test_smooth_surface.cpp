// The smooth surface of a density field: closed, outward, no degenerate triangles, no
// self-intersections, the volume kept, close to the crisp voxels, and without their steps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>

#include "geometry/MeshIntersections.h"
#include "support/MeshBuilders.h"
#include "support/MeshDistance.h"
#include "voxel/IsoSurface.h"
#include "voxel/SmoothSurface.h"

namespace ostrel {
namespace {

constexpr double kVoxel = 0.1;

/// A field of n^3 cells (voxel 0.1) with a layer of 0 around, as an optimization leaves it:
/// the shape (1 where `inside` holds at the cell centre) filtered by a 3 x 3 x 3 box average,
/// and the crisp design, that filtered field projected to 1 where it is at least 0.5.
struct Fields {
    Volume<double, double> crisp, filtered;
    double solidVolume = 0;  ///< of the crisp design
};

Fields makeFields(int n, const std::function<bool(const Vec3d&)>& inside) {
    Fields f;
    Volume<double, double> shape;
    shape.init({n + 2, n + 2, n + 2}, {kVoxel, kVoxel, kVoxel}, {-kVoxel, -kVoxel, -kVoxel}, 0);
    f.crisp = f.filtered = shape;
    for (int z = 1; z <= n; ++z)
        for (int y = 1; y <= n; ++y)
            for (int x = 1; x <= n; ++x)
                shape(x, y, z) = inside({(x - 0.5) * kVoxel, (y - 0.5) * kVoxel, (z - 0.5) * kVoxel});
    for (int z = 1; z <= n; ++z)
        for (int y = 1; y <= n; ++y)
            for (int x = 1; x <= n; ++x) {
                double sum = 0;
                int count = 0;
                for (int dz = -1; dz <= 1; ++dz)
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const int i = x + dx, j = y + dy, k = z + dz;
                            if (i < 1 || j < 1 || k < 1 || i > n || j > n || k > n) continue;
                            sum += shape(i, j, k);
                            ++count;
                        }
                f.filtered(x, y, z) = sum / count;
                f.crisp(x, y, z) = f.filtered(x, y, z) >= 0.5 ? 1 : 0;
                f.solidVolume += f.crisp(x, y, z) * kVoxel * kVoxel * kVoxel;
            }
    return f;
}

struct ShapeCase {
    const char* name;
    int n;
    std::function<bool(const Vec3d&)> inside;
};

const ShapeCase kShapes[] = {
    {"sphere", 20, [](const Vec3d& p) { return length(p - Vec3d{1, 1, 1}) < 0.75; }},
    {"plate at a face", 16,
     [](const Vec3d& p) { return p.z < 0.3 && p.x > 0.2 && p.y > 0.2; }},  // touches the grid
    {"two plates two voxels apart", 16,
     [](const Vec3d& p) {
         return p.x > 0.2 && p.x < 1.4 && p.y > 0.2 && p.y < 1.4 &&
                ((p.z > 0.2 && p.z < 0.6) || (p.z > 0.8 && p.z < 1.2));
     }},
    {"frame", 20,
     [](const Vec3d& p) {
         const bool rod = [&] {
             int near = 0;
             for (int a = 0; a < 3; ++a) near += std::fabs(p[a] - 1) > 0.6;
             return near >= 2;
         }();
         return rod && length(p - Vec3d{1, 1, 1}) < 1.1;
     }},
};

TEST(SmoothSurface, PrintableCloseAndVolumeKeeping) {
    for (const ShapeCase& shape : kShapes) {
        const Fields f = makeFields(shape.n, shape.inside);
        TriangleMesh smooth;
        SmoothSurfaceReport report;
        ASSERT_TRUE(extractSmoothSurface(f.filtered, f.solidVolume, smooth, report)) << shape.name;
        EXPECT_TRUE(test::isClosedAndOriented(smooth)) << shape.name;
        EXPECT_GT(smooth.computeVolume(), 0) << shape.name << ": outward";
        EXPECT_EQ(degenerateTriangles(smooth), std::vector<int>{}) << shape.name;
        EXPECT_EQ(selfIntersections(smooth).size(), 0u) << shape.name;
        EXPECT_EQ(report.intersections + report.degenerate, 0u) << shape.name;
        EXPECT_NEAR(report.volume, f.solidVolume, 0.02 * f.solidVolume) << shape.name;
        EXPECT_NEAR(double(smooth.computeVolume()), report.volume, 1e-6 * report.volume);
        EXPECT_GT(report.level, 0.2) << shape.name;
        EXPECT_LT(report.level, 0.8) << shape.name;

        // Within one voxel of the crisp design's surface, both ways.
        TriangleMesh crisp;
        extractIsoSurface(f.crisp, 0.5, crisp, false);
        EXPECT_LT(testing::largestVertexDistance(smooth, crisp), kVoxel) << shape.name;
        EXPECT_LT(testing::largestVertexDistance(crisp, smooth), kVoxel) << shape.name;
    }
}

/// Mean angle (degrees) between the triangle normals and the sphere's radial direction.
double meanNormalError(const TriangleMesh& m, const Vec3d& centre) {
    double sum = 0;
    for (const MeshTriangle& t : m.triangles) {
        Vec3d c{};
        for (int32_t k : t.indices) c += Vec3d(m.vertices[size_t(k)].position);
        const Vec3d radial = c / 3.0 - centre, n(t.normal);
        sum += std::acos(std::clamp(dot(radial, n) / (length(radial) * length(n)), -1.0, 1.0));
    }
    return sum / double(m.triangles.size()) * 180.0 / 3.14159265358979;
}

/// Mean angle (degrees) between the normals of triangles that share an edge.
double meanDihedral(const TriangleMesh& m) {
    std::map<std::pair<int, int>, size_t> firstOf;
    double sum = 0;
    int count = 0;
    for (size_t t = 0; t < m.triangles.size(); ++t)
        for (int k = 0; k < 3; ++k) {
            int a = m.triangles[t].indices[k], b = m.triangles[t].indices[(k + 1) % 3];
            if (a > b) std::swap(a, b);
            const auto [it, fresh] = firstOf.emplace(std::make_pair(a, b), t);
            if (fresh) continue;
            const Vec3d n1(m.triangles[it->second].normal), n2(m.triangles[t].normal);
            sum += std::acos(std::clamp(dot(n1, n2) / (length(n1) * length(n2)), -1.0, 1.0));
            ++count;
        }
    return sum / count * 180.0 / 3.14159265358979;
}

TEST(SmoothSurface, TheVoxelStepsAreGone) {
    const Fields f = makeFields(20, kShapes[0].inside);
    TriangleMesh crisp, smooth;
    extractIsoSurface(f.crisp, 0.5, crisp, false);
    SmoothSurfaceReport report;
    ASSERT_TRUE(extractSmoothSurface(f.filtered, f.solidVolume, smooth, report));
    TriangleMesh unsmoothed;
    extractIsoSurface(f.filtered, report.level, unsmoothed, false);
    const double stepped = meanNormalError(crisp, {1, 1, 1});
    const double level = meanNormalError(unsmoothed, {1, 1, 1});
    const double smoothed = meanNormalError(smooth, {1, 1, 1});
    // The crisp design's surface is the staircase (about 21 degrees off the sphere's normals);
    // the filtered field's iso-surface is not, and smoothing keeps it so.
    EXPECT_GT(stepped, 15.0);
    EXPECT_LT(smoothed, stepped / 4) << stepped;
    EXPECT_LE(smoothed, level + 0.1);
    EXPECT_LT(meanDihedral(smooth), meanDihedral(crisp) * 0.6);
    // Taubin keeps the size: the mean radius stays that of the sphere of the crisp volume.
    double radius = 0;
    for (const MeshVertex& v : smooth.vertices) radius += length(Vec3d(v.position) - Vec3d{1, 1, 1});
    radius /= double(smooth.vertices.size());
    EXPECT_NEAR(radius, std::cbrt(f.solidVolume * 3 / (4 * 3.14159265358979)), 0.2 * kVoxel);
}

TEST(SmoothSurface, StepsOfANearlyCrispField) {
    // A crisp sphere with the faintest filter: its iso-surface is the voxel staircase itself.
    Fields f = makeFields(20, kShapes[0].inside);
    for (size_t c = 0; c < f.filtered.size(); ++c)
        f.filtered.data()[c] = 0.9 * f.crisp.data()[c] + 0.1 * f.filtered.data()[c];
    TriangleMesh unsmoothed, smooth;
    SmoothSurfaceReport report;
    ASSERT_TRUE(extractSmoothSurface(f.filtered, f.solidVolume, smooth, report));
    extractIsoSurface(f.filtered, report.level, unsmoothed, false);
    // Here the smoothing itself removes the steps: the normals come twice as close to the
    // sphere's.
    EXPECT_LT(meanNormalError(smooth, {1, 1, 1}), 0.5 * meanNormalError(unsmoothed, {1, 1, 1}));
    EXPECT_LT(meanDihedral(smooth), 0.7 * meanDihedral(unsmoothed));
    EXPECT_TRUE(test::isClosedAndOriented(smooth));
    EXPECT_TRUE(selfIntersections(smooth).empty());
    EXPECT_TRUE(degenerateTriangles(smooth).empty());
    EXPECT_NEAR(report.volume, f.solidVolume, 0.02 * f.solidVolume);
}

TEST(SmoothSurface, RepairUndoesCrossings) {
    // Two nearly crisp plates one voxel apart: heavy smoothing swells their rims into each other
    // and folds triangles; the repair takes those vertices back.
    Fields f = makeFields(16, [](const Vec3d& p) {
        return p.x > 0.2 && p.x < 1.4 && p.y > 0.2 && p.y < 1.4 &&
               ((p.z > 0.2 && p.z < 0.5) || (p.z > 0.6 && p.z < 0.9));
    });
    for (size_t c = 0; c < f.filtered.size(); ++c)
        f.filtered.data()[c] = 0.95 * f.crisp.data()[c] + 0.05 * f.filtered.data()[c];
    SmoothSurfaceOptions heavy;
    heavy.steps = 200;
    heavy.lambda = 0.95;
    heavy.mu = -0.98;
    TriangleMesh smooth;
    SmoothSurfaceReport report;
    ASSERT_TRUE(extractSmoothSurface(f.filtered, f.solidVolume, smooth, report, heavy));
    EXPECT_GT(report.repaired, 100u);
    EXPECT_EQ(report.intersections + report.degenerate, 0u);
    EXPECT_TRUE(selfIntersections(smooth).empty());
    EXPECT_TRUE(degenerateTriangles(smooth).empty());
    EXPECT_TRUE(test::isClosedAndOriented(smooth));
    EXPECT_NEAR(report.volume, f.solidVolume, 0.05 * f.solidVolume);
}

// An L-bracket that fills its grid's box: bounded by the box, the surface stays inside it and
// lies on the box's faces where the bracket meets them (to a tenth of a voxel), flat there;
// unbounded, it bulges out of the box at those faces.
TEST(SmoothSurface, BoundedSurfaceStaysInTheBoxAndOnItsFaces) {
    const double side = 1.6;
    const Fields f = makeFields(16, [](const Vec3d& p) { return p.x < 0.4 || p.z > 1.2; });
    SmoothSurfaceOptions bounded;
    bounded.bounded = true;
    bounded.boundsLo = {0, 0, 0};
    bounded.boundsHi = {side, side, side};

    TriangleMesh free, smooth;
    SmoothSurfaceReport freeReport, report;
    ASSERT_TRUE(extractSmoothSurface(f.filtered, f.solidVolume, free, freeReport));
    ASSERT_TRUE(extractSmoothSurface(f.filtered, f.solidVolume, smooth, report, bounded));
    // How far the mesh leaves the box (its bounds in the mesh's single precision).
    auto outside = [&](const TriangleMesh& mesh) {
        double largest = 0;
        for (const MeshVertex& v : mesh.vertices)
            for (int a = 0; a < 3; ++a)
                largest = std::max({largest, -double(v.position[a]),
                                    double(v.position[a]) - double(float(side))});
        return largest;
    };
    EXPECT_GT(outside(free), 0.1 * kVoxel) << "the case needs the bulge";
    EXPECT_LE(outside(smooth), 0.0);

    EXPECT_TRUE(test::isClosedAndOriented(smooth));
    EXPECT_EQ(degenerateTriangles(smooth), std::vector<int>{});
    EXPECT_EQ(selfIntersections(smooth).size(), 0u);
    EXPECT_EQ(report.intersections + report.degenerate, 0u);
    EXPECT_NEAR(report.volume, f.solidVolume, 0.02 * f.solidVolume);

    // The faces of the box the bracket meets, each as rectangles of its plane (the other two
    // axes in increasing order); within them, 1.5 voxels from their edges, every vertex nearer
    // to the plane than a voxel lies on it to a tenth of a voxel.
    struct Patch {
        const char* name;
        int axis;
        double plane;
        double lo0, hi0, lo1, hi1;
    };
    const Patch patches[] = {
        {"x = 0, the vertical arm's back", 0, 0, 0, side, 0, side},
        {"z = max, the top", 2, side, 0, side, 0, side},
        {"z = 0, the vertical arm's foot", 2, 0, 0, 0.4, 0, side},
        {"x = max, the top arm's end", 0, side, 0, side, 1.2, side},
        {"y = 0, vertical arm", 1, 0, 0, 0.4, 0, side},
        {"y = 0, top arm", 1, 0, 0, side, 1.2, side},
        {"y = max, vertical arm", 1, side, 0, 0.4, 0, side},
        {"y = max, top arm", 1, side, 0, side, 1.2, side},
    };
    const double margin = 1.5 * kVoxel;
    for (const Patch& p : patches) {
        const int a0 = (p.axis + 1) % 3 < (p.axis + 2) % 3 ? (p.axis + 1) % 3 : (p.axis + 2) % 3;
        const int a1 = 3 - p.axis - a0;
        int near = 0;
        double largest = 0;
        for (const MeshVertex& v : smooth.vertices) {
            const Vec3d q(v.position);
            const double d = std::fabs(q[p.axis] - p.plane);
            if (d >= kVoxel || q[a0] < p.lo0 + margin || q[a0] > p.hi0 - margin ||
                q[a1] < p.lo1 + margin || q[a1] > p.hi1 - margin)
                continue;
            ++near;
            largest = std::max(largest, d);
        }
        EXPECT_GT(near, 4) << p.name;
        EXPECT_LE(largest, 0.1 * kVoxel) << p.name;
    }
}

TEST(SmoothSurface, NoMaterialNoSurface) {
    Volume<double, double> empty;
    empty.init({6, 6, 6}, {1, 1, 1}, {0, 0, 0}, 0.0);
    TriangleMesh mesh;
    SmoothSurfaceReport report;
    EXPECT_FALSE(extractSmoothSurface(empty, 1.0, mesh, report));
    EXPECT_TRUE(mesh.triangles.empty());
    empty(2, 2, 2) = 1;
    EXPECT_FALSE(extractSmoothSurface(empty, 0.0, mesh, report));
    EXPECT_TRUE(extractSmoothSurface(empty, 0.5, mesh, report));
    EXPECT_TRUE(test::isClosedAndOriented(mesh));
}

}  // namespace
}  // namespace ostrel
