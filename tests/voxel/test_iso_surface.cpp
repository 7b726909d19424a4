#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>

#include "support/MeshBuilders.h"
#include "voxel/IsoSurface.h"
#include "voxel/MarchingCubesTables.h"
#include "voxel/Voxelizer.h"

namespace ostrel {
namespace {

TEST(MarchingCubesTables, EdgeTableFollowsFromCornersAndTriangleRows) {
    for (int q = 0; q < 256; ++q) {
        unsigned fromCorners = 0, fromRow = 0;
        for (int e = 0; e < 12; ++e)
            if (((q >> kMcEdgeCorners[e][0]) ^ (q >> kMcEdgeCorners[e][1])) & 1)
                fromCorners |= 1u << e;
        int n = 0;
        for (; n < 16 && kMcTriTable[q][n] >= 0; ++n) fromRow |= 1u << kMcTriTable[q][n];
        EXPECT_EQ(kMcEdgeTable[q], fromCorners) << q;
        EXPECT_EQ(kMcEdgeTable[q], fromRow) << q;
        EXPECT_EQ(n % 3, 0) << q;
        EXPECT_LE(n, 15) << q;
        if (n < 16) {
            EXPECT_EQ(kMcTriTable[q][n], -1) << q;
        }
    }
    EXPECT_EQ(kMcEdgeTable[1], 0x109);
    EXPECT_EQ(kMcEdgeTable[255], 0);
    const int8_t r1[] = {0, 8, 3, -1}, r3[] = {1, 8, 3, 9, 8, 1, -1}, r128[] = {7, 6, 11, -1},
                 r254[] = {0, 3, 8, -1};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(kMcTriTable[1][i], r1[i]);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(kMcTriTable[3][i], r3[i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(kMcTriTable[128][i], r128[i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(kMcTriTable[254][i], r254[i]);
    EXPECT_EQ(kMcTriTable[0][0], -1);
    EXPECT_EQ(kMcTriTable[255][0], -1);
}

Volume<double, double> field(Vec3i n, double fill) {
    Volume<double, double> v;
    v.init(n, {1, 1, 1}, {0, 0, 0}, fill);
    return v;
}

TEST(IsoSurface, SingleSampleGivesOutwardOctahedron) {
    Volume<double, double> v = field({3, 3, 3}, 0.0);
    v(1, 1, 1) = 1.0;
    TriangleMesh m;
    extractIsoSurface(v, 0.5, m, false);
    EXPECT_TRUE(m.loaded);
    ASSERT_EQ(m.triangles.size(), 8u);
    ASSERT_EQ(m.vertices.size(), 6u);
    EXPECT_TRUE(test::isClosedAndOriented(m));
    std::vector<int> uses(6, 0);
    for (const auto& t : m.triangles)
        for (int i : t.indices) ++uses[size_t(i)];
    for (int u : uses) EXPECT_EQ(u, 4);
    const Vec3f c(1.5f, 1.5f, 1.5f);
    for (const auto& p : m.vertices) EXPECT_NEAR(length(p.position - c), 0.5f, 1e-6f);
    for (const auto& t : m.triangles) {
        const Vec3f p0 = m.vertices[size_t(t.indices[0])].position;
        EXPECT_GT(dot(t.normal, p0 - c), 0.0f);
    }
    EXPECT_GT(m.computeVolume(), 0.0f);
    TriangleMesh inv;
    extractIsoSurface(v, 0.5, inv, true);
    EXPECT_LT(inv.computeVolume(), 0.0f);
    EXPECT_TRUE(test::isClosedAndOriented(inv));
}

TEST(IsoSurface, InterpolatesFromTheLowerCorner) {
    Volume<double, double> v = field({3, 2, 2}, 0.0);
    v.init({3, 2, 2}, {2, 1, 1}, {10, 0, 0}, 0.0);
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 2; ++j) v(0, j, k) = 1.0, v(1, j, k) = 0.2, v(2, j, k) = 1.0;
    TriangleMesh m;
    extractIsoSurface(v, 0.6, m, false);
    ASSERT_EQ(m.vertices.size(), 8u);
    std::vector<float> xs;
    for (const auto& p : m.vertices) xs.push_back(p.position.x);
    std::sort(xs.begin(), xs.end());
    // t = (0.6 - 1) / (0.2 - 1) = 0.5 from sample 0; t = (0.6 - 0.2) / (1 - 0.2) = 0.5 from 1.
    EXPECT_FLOAT_EQ(xs.front(), 10 + (0 + 0.5f + 0.5f) * 2);
    EXPECT_FLOAT_EQ(xs.back(), 10 + (1 + 0.5f + 0.5f) * 2);
}

TEST(IsoSurface, EmptyCases) {
    TriangleMesh m;
    m.vertices.push_back({{1, 2, 3}, {}});
    extractIsoSurface(field({4, 4, 4}, 0.1), 0.5, m, false);
    EXPECT_TRUE(m.vertices.empty() && m.triangles.empty() && m.loaded);
    extractIsoSurface(field({4, 4, 4}, 0.5), 0.5, m, false);  // equal is not below
    EXPECT_TRUE(m.triangles.empty());
    Volume<double, double> thin = field({1, 4, 4}, 0.0);
    thin(0, 1, 1) = 1;
    extractIsoSurface(thin, 0.5, m, false);
    EXPECT_TRUE(m.triangles.empty() && m.loaded);
    extractIsoSurface(Volume<double, double>(), 0.5, m, false);
    EXPECT_TRUE(m.triangles.empty());
}

TEST(IsoSurface, RandomPaddedBinaryFieldsAreClosedWithPositiveVolume) {
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 60; ++trial) {
        const Vec3i n(3 + int(rng() % 6), 3 + int(rng() % 6), 3 + int(rng() % 6));
        Volume<double, double> v = field(n, 0.0);
        const double p = 0.2 + 0.6 * (rng() % 100) / 100.0;
        for (int k = 1; k + 1 < n.z; ++k)
            for (int j = 1; j + 1 < n.y; ++j)
                for (int i = 1; i + 1 < n.x; ++i)
                    v(i, j, k) = (rng() % 1000) < p * 1000 ? 1.0 : 0.0;
        TriangleMesh m;
        extractIsoSurface(v, 0.5, m, false);
        ASSERT_TRUE(test::isClosedAndOriented(m)) << trial;
        if (!m.triangles.empty()) {
            EXPECT_GT(m.computeVolume(), 0.0f) << trial;
        }
        // Each vertex lies on exactly one crossed grid edge: no duplicates.
        std::set<std::tuple<float, float, float>> seen;
        for (const auto& q : m.vertices)
            EXPECT_TRUE(seen.insert({q.position.x, q.position.y, q.position.z}).second);
    }
}

TEST(IsoSurface, SampledSphereVolumeWithinOnePercent) {
    const int n = 64;
    const double h = 1.0 / 28, r = 0.8;
    Volume<double, double> v;
    v.init({n, n, n}, {h, h, h}, {-n * h / 2, -n * h / 2, -n * h / 2}, 0.0);
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const Vec3d c = v.offset() + Vec3d(i + 0.5, j + 0.5, k + 0.5) * h;
                v(i, j, k) = r - length(c) + 0.5;  // 0.5 on the sphere, higher inside
            }
    TriangleMesh m;
    extractIsoSurface(v, 0.5, m, false);
    EXPECT_TRUE(test::isClosedAndOriented(m));
    EXPECT_NEAR(m.computeVolume() / (4.0 / 3.0 * 3.14159265358979 * r * r * r), 1.0, 0.01);
    for (const auto& p : m.vertices) EXPECT_NEAR(length(p.position), r, 0.01);
}

}  // namespace
}  // namespace ostrel

namespace ostrel {
namespace {

// The mesh check pipeline: voxelize a sphere, pad the occupancy by one empty layer, extract at
// 0.5. The result is closed, faces outward and encloses about the voxel volume.
TEST(IsoSurface, VoxelModelSurfaceOfASphereIsClosedAndOutward) {
    TriangleMesh sphere = test::makeSphere({0.3f, -0.2f, 0.1f}, 1.0f, 24, 48);
    Volume<bool, double> grid;
    ASSERT_TRUE(voxelizeToBounds(sphere, grid, 0.1f, nullptr));
    const Vec3i r = grid.resolution();
    Volume<double, double> f;
    f.init({r.x + 2, r.y + 2, r.z + 2}, grid.spacing(), grid.offset() - grid.spacing(), 0.0);
    long occupied = 0;
    for (int k = 0; k < r.z; ++k)
        for (int j = 0; j < r.y; ++j)
            for (int i = 0; i < r.x; ++i)
                if (grid(i, j, k)) {
                    f(i + 1, j + 1, k + 1) = 1.0;
                    ++occupied;
                }
    TriangleMesh m;
    extractIsoSurface(f, 0.5, m, false);
    EXPECT_TRUE(test::isClosedAndOriented(m));
    const double voxelVolume = double(occupied) * 0.001;
    // Cutting the corners makes the surface slightly smaller than the union of voxels.
    EXPECT_GT(m.computeVolume(), 0.8 * voxelVolume);
    EXPECT_LT(m.computeVolume(), voxelVolume);
}

}  // namespace
}  // namespace ostrel
