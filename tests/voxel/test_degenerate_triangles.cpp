// Degenerate triangles of marching-cubes surfaces, and their removal: the surface stays closed
// and oriented, keeps its volume and has no triangle without area.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "geometry/DegenerateTriangles.h"
#include "support/RunTestSupport.h"
#include "voxel/IsoSurface.h"

namespace ostrel {
namespace {

using testing::edgePairingFault;

/// A field of n^3 samples of `low` with the inner ones set by `value(i, j, k)`.
template <typename Value>
Volume<double, double> field(int n, Value value) {
    Volume<double, double> v;
    v.init({n, n, n}, {0.1, 0.1, 0.1}, {0, 0, 0}, 0.0);
    for (int k = 1; k + 1 < n; ++k)
        for (int j = 1; j + 1 < n; ++j)
            for (int i = 1; i + 1 < n; ++i) v(i, j, k) = value(i, j, k);
    return v;
}

struct FieldCase {
    const char* name;
    int n;
    /// Seed of the random values; each sample is drawn from `levels` (a value of 0.5 lies on the
    /// iso level) or, with `near`, lies within 1e-9 of 0.5 in a third of the samples.
    unsigned seed;
    std::vector<double> levels;
    bool near = false;
};

Volume<double, double> makeField(const FieldCase& c) {
    std::mt19937 random(c.seed);
    return field(c.n, [&](int, int, int) {
        if (c.near && random() % 3 == 0)
            return 0.5 + (double(random() % 2001) - 1000.0) * 1e-12;
        return c.levels[random() % c.levels.size()];
    });
}

class DegenerateTriangles : public ::testing::TestWithParam<FieldCase> {};

TEST_P(DegenerateTriangles, RemovalKeepsTheSurfaceClosedOrientedAndItsVolume) {
    const FieldCase& c = GetParam();
    TriangleMesh mesh;
    extractIsoSurface(makeField(c), 0.5, mesh, false);
    ASSERT_EQ(edgePairingFault(mesh), "") << "marching cubes gives a closed surface";
    const size_t degenerate = countDegenerateTriangles(mesh);
    EXPECT_GT(degenerate, 0u) << "the case must produce degenerate triangles";
    const double volume = mesh.computeVolume();
    const size_t before = mesh.triangles.size();

    const size_t removed = removeDegenerateTriangles(mesh);
    EXPECT_EQ(countDegenerateTriangles(mesh), 0u) << c.name;
    EXPECT_EQ(edgePairingFault(mesh), "") << c.name;
    EXPECT_EQ(removed, before - mesh.triangles.size());
    EXPECT_GT(removed, 0u) << "most are collapsed; where the surface touches itself, moved apart";
    EXPECT_NEAR(mesh.computeVolume(), volume, 1e-6 + 1e-5 * std::abs(volume)) << c.name;
    for (const MeshTriangle& t : mesh.triangles)
        for (int32_t i : t.indices) ASSERT_LT(size_t(i), mesh.vertices.size());
    std::vector<int> uses(mesh.vertices.size(), 0);
    for (const MeshTriangle& t : mesh.triangles)
        for (int32_t i : t.indices) ++uses[size_t(i)];
    EXPECT_EQ(std::count(uses.begin(), uses.end(), 0), 0) << "no vertex left unused";
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DegenerateTriangles,
    ::testing::Values(FieldCase{"three_levels", 8, 1, {0.0, 0.5, 1.0}},
                      FieldCase{"three_levels_b", 9, 7, {0.0, 0.5, 1.0}},
                      FieldCase{"mostly_on_the_level", 8, 3, {0.5, 0.5, 0.5, 0.9, 0.1}},
                      FieldCase{"dense_solid", 10, 11, {0.5, 1.0, 1.0, 1.0}},
                      FieldCase{"within_rounding", 10, 5, {0.2, 0.8}, true},
                      FieldCase{"within_rounding_b", 12, 9, {0.3, 0.6, 0.9}, true}),
    [](const ::testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST(DegenerateTriangles, ManySeedsOfFieldsOnTheIsoLevel) {
    for (unsigned seed = 100; seed < 160; ++seed) {
        TriangleMesh mesh;
        extractIsoSurface(makeField({"seed", 7, seed, {0.0, 0.5, 0.5, 1.0}, seed % 2 == 1}), 0.5,
                          mesh, false);
        const double volume = mesh.computeVolume();
        removeDegenerateTriangles(mesh);
        EXPECT_EQ(countDegenerateTriangles(mesh), 0u) << seed;
        EXPECT_EQ(edgePairingFault(mesh), "") << seed;
        EXPECT_NEAR(mesh.computeVolume(), volume, 1e-6 + 1e-5 * std::abs(volume)) << seed;
    }
}

// A sample exactly on the iso level in empty space: its octahedron has all six corners on one
// point, and nothing of it is left.
TEST(DegenerateTriangles, APieceWithoutVolumeVanishes) {
    TriangleMesh mesh;
    extractIsoSurface(field(5, [](int i, int j, int k) { return i == 2 && j == 2 && k == 2 ? 0.5 : 0.0; }),
                      0.5, mesh, false);
    ASSERT_EQ(mesh.triangles.size(), 8u);
    EXPECT_EQ(countDegenerateTriangles(mesh), 8u);
    EXPECT_EQ(removeDegenerateTriangles(mesh), 8u);
    EXPECT_TRUE(mesh.triangles.empty());
    EXPECT_TRUE(mesh.vertices.empty());
}

// A surface without degenerate triangles is left as it is, bit for bit.
TEST(DegenerateTriangles, ACleanSurfaceStaysUnchanged) {
    TriangleMesh mesh;
    extractIsoSurface(makeField({"clean", 8, 2, {0.1, 0.3, 0.7, 0.9}}), 0.5, mesh, false);
    ASSERT_EQ(countDegenerateTriangles(mesh), 0u);
    const TriangleMesh copy = mesh;
    EXPECT_EQ(removeDegenerateTriangles(mesh), 0u);
    ASSERT_EQ(mesh.triangles.size(), copy.triangles.size());
    for (size_t t = 0; t < mesh.triangles.size(); ++t)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(mesh.triangles[t].indices[c], copy.triangles[t].indices[c]);
    ASSERT_EQ(mesh.vertices.size(), copy.vertices.size());
    for (size_t v = 0; v < mesh.vertices.size(); ++v)
        EXPECT_EQ(mesh.vertices[v].position, copy.vertices[v].position);
}

// A cap: a corner on the longest edge, no short edge. The octahedron with one edge split on one
// side only; flipping the cap's long edge splits it on the other side as well.
TEST(DegenerateTriangles, ACapGivesItsLongEdgeAway) {
    TriangleMesh mesh;
    // 0 +x, 1 +y, 2 -x, 3 -y, 4 +z, 5 -z, 6 the middle of the edge +x +y.
    for (const Vec3f p : {Vec3f{1, 0, 0}, Vec3f{0, 1, 0}, Vec3f{-1, 0, 0}, Vec3f{0, -1, 0},
                          Vec3f{0, 0, 1}, Vec3f{0, 0, -1}, Vec3f{0.5f, 0.5f, 0}})
        mesh.vertices.push_back({p, {}});
    const int faces[][3] = {{0, 6, 4}, {6, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4},
                            {1, 0, 5}, {2, 1, 5}, {3, 2, 5}, {0, 3, 5}, {0, 1, 6}};
    for (const auto& f : faces) mesh.triangles.push_back({{f[0], f[1], f[2]}, {}});
    mesh.updateNormals();
    mesh.updateBounds();
    ASSERT_EQ(edgePairingFault(mesh), "");
    ASSERT_EQ(countDegenerateTriangles(mesh), 1u);
    EXPECT_EQ(removeDegenerateTriangles(mesh), 0u) << "a flip removes nothing";
    EXPECT_EQ(countDegenerateTriangles(mesh), 0u);
    EXPECT_EQ(edgePairingFault(mesh), "");
    EXPECT_EQ(mesh.triangles.size(), 10u);
    EXPECT_EQ(mesh.vertices.size(), 7u);
    EXPECT_NEAR(mesh.computeVolume(), 4.0 / 3.0, 1e-6);
}

}  // namespace
}  // namespace ostrel
