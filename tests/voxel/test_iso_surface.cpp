#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
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

/// Node layers [begin, end) of `whole` as a slab: the same offset and spacing.
Volume<double, double> nodeLayers(const Volume<double, double>& whole, int begin, int end) {
    const Vec3i n = whole.resolution();
    Volume<double, double> slab;
    slab.init({n.x, n.y, end - begin}, whole.spacing(), whole.offset(), 0.0);
    for (int k = begin; k < end; ++k)
        for (int j = 0; j < n.y; ++j)
            for (int i = 0; i < n.x; ++i) slab(i, j, k - begin) = whole(i, j, k);
    return slab;
}

/// The slabs of `whole` whose cell layers run between the given boundaries (first 0, last the
/// cell layer count; equal neighbours: a slab without cells).
std::vector<IsoSurfaceSlab> slabsOf(const Volume<double, double>& whole,
                                    const std::vector<int>& bounds, bool invert) {
    std::vector<IsoSurfaceSlab> slabs;
    for (size_t r = 0; r + 1 < bounds.size(); ++r)
        slabs.push_back(extractIsoSurfaceSlab(nodeLayers(whole, bounds[r], bounds[r + 1] + 1),
                                              bounds[r], 0.5, invert));
    return slabs;
}

void expectSameMesh(const TriangleMesh& a, const TriangleMesh& b, const std::string& what) {
    ASSERT_EQ(a.vertices.size(), b.vertices.size()) << what;
    ASSERT_EQ(a.triangles.size(), b.triangles.size()) << what;
    for (size_t v = 0; v < a.vertices.size(); ++v) {
        // The same bits: the slab computes every position from the same two samples.
        EXPECT_EQ(a.vertices[v].position.x, b.vertices[v].position.x) << what << " vertex " << v;
        EXPECT_EQ(a.vertices[v].position.y, b.vertices[v].position.y) << what << " vertex " << v;
        EXPECT_EQ(a.vertices[v].position.z, b.vertices[v].position.z) << what << " vertex " << v;
    }
    for (size_t t = 0; t < a.triangles.size(); ++t)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(a.triangles[t].indices[c], b.triangles[t].indices[c]) << what << " " << t;
}

TEST(IsoSurfaceSlabs, JoinInLayerOrderToTheWholeVolumesMeshBitForBit) {
    // 9 node layers, 8 cell layers; the boundaries of each case's slabs.
    const std::vector<std::vector<int>> splits = {
        {0, 8},          {0, 1, 8},       {0, 4, 8},          {0, 7, 8},
        {0, 2, 5, 8},    {0, 1, 2, 3, 4, 5, 6, 7, 8},
        {0, 0, 3, 3, 8, 8},  // slabs without cells first, between and last
    };
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 12; ++trial) {
        Volume<double, double> whole;
        whole.init({5 + trial % 3, 4 + trial % 2, 9}, {0.1, 0.2, 0.3}, {-1.7, 0.3, 2.9}, 0.0);
        // Samples on and around the iso level, some of them exactly at it (t = 0 or 1).
        const double levels[] = {0.0, 0.5, 1.0, 0.25, 0.75, 0.5};
        for (size_t c = 0; c < whole.size(); ++c) whole.data()[c] = levels[rng() % 6];
        for (bool invert : {false, true}) {
            TriangleMesh reference;
            extractIsoSurface(whole, 0.5, reference, invert);
            ASSERT_FALSE(reference.triangles.empty());
            for (const std::vector<int>& bounds : splits) {
                TriangleMesh joined;
                ASSERT_TRUE(joinIsoSurfaceSlabs(slabsOf(whole, bounds, invert), joined));
                expectSameMesh(reference, joined,
                               "trial " + std::to_string(trial) + ", " +
                                   std::to_string(bounds.size() - 1) + " slabs");
            }
        }
    }
}

TEST(IsoSurfaceSlabs, SlabsOutOfOrderOrOfAnotherVolumeAreRefused) {
    Volume<double, double> a = field({4, 4, 6}, 0.0), b = field({4, 4, 6}, 0.0);
    for (int k = 1; k < 5; ++k) a(1, 1, k) = a(2, 2, k) = 1.0;
    for (int k = 1; k < 5; ++k) b(2, 1, k) = 1.0;
    const std::vector<IsoSurfaceSlab> inOrder = slabsOf(a, {0, 2, 5}, false);
    TriangleMesh mesh;
    mesh.vertices.push_back({{1, 2, 3}, {}});
    EXPECT_FALSE(joinIsoSurfaceSlabs({inOrder[1], inOrder[0]}, mesh));
    EXPECT_FALSE(joinIsoSurfaceSlabs({inOrder[0], slabsOf(b, {0, 2, 5}, false)[1]}, mesh));
    // Left as it was.
    ASSERT_EQ(mesh.vertices.size(), 1u);
    EXPECT_EQ(mesh.vertices[0].position.z, 3.0f);
    EXPECT_TRUE(joinIsoSurfaceSlabs(inOrder, mesh));
    EXPECT_TRUE(test::isClosedAndOriented(mesh));
}

TEST(IsoSurfaceSlabs, BytesRoundTripAndDamagedBytesAreRefused) {
    Volume<double, double> v = field({5, 4, 7}, 0.0);
    for (int k = 1; k < 6; ++k) v(1 + k % 3, 1, k) = v(2, 2, k) = 1.0;
    const IsoSurfaceSlab slab = extractIsoSurfaceSlab(nodeLayers(v, 2, 6), 2, 0.5, false);
    ASSERT_FALSE(slab.first.empty());
    ASSERT_FALSE(slab.last.empty());
    const std::vector<unsigned char> bytes = slabBytes(slab);
    IsoSurfaceSlab back;
    ASSERT_TRUE(readSlabBytes(bytes, back));
    EXPECT_EQ(back.firstLayer, 2);
    EXPECT_EQ(back.cellLayers, slab.cellLayers);
    EXPECT_EQ(back.positions.size(), slab.positions.size());
    const auto samePosition = [](Vec3f p, Vec3f q) {
        return p.x == q.x && p.y == q.y && p.z == q.z;
    };
    EXPECT_TRUE(std::equal(back.positions.begin(), back.positions.end(), slab.positions.begin(),
                           samePosition));
    EXPECT_EQ(back.indices, slab.indices);
    EXPECT_EQ(back.first, slab.first);
    EXPECT_EQ(back.last, slab.last);
    IsoSurfaceSlab empty;
    ASSERT_TRUE(readSlabBytes(slabBytes(empty), back));
    EXPECT_EQ(back.cellLayers, 0);
    EXPECT_TRUE(back.positions.empty() && back.first.empty());

    // Cut short, one byte too many, an index past the vertices, a layer vertex past them.
    std::vector<std::vector<unsigned char>> damaged(4, bytes);
    damaged[0].pop_back();
    damaged[1].push_back(0);
    const size_t indicesAt =
        2 * sizeof(int32_t) + 4 * sizeof(uint64_t) + slab.positions.size() * sizeof(Vec3f);
    const int32_t past = int32_t(slab.positions.size());
    std::memcpy(damaged[2].data() + indicesAt, &past, sizeof past);
    std::memcpy(damaged[3].data() + bytes.size() - sizeof past, &past, sizeof past);
    for (size_t d = 0; d < damaged.size(); ++d) {
        IsoSurfaceSlab kept = empty;
        kept.cellLayers = 7;
        EXPECT_FALSE(readSlabBytes(damaged[d], kept)) << d;
        EXPECT_EQ(kept.cellLayers, 7) << d;
    }
    EXPECT_FALSE(readSlabBytes({}, back));
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
