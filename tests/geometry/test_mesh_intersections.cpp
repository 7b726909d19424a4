// Self-intersections and degenerate triangles: pairs of triangles in every sharing situation,
// closed meshes that are clean, and meshes broken on purpose.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "geometry/MeshIntersections.h"
#include "support/MeshBuilders.h"

namespace ostrel {
namespace {

TriangleMesh meshOf(const std::vector<Vec3f>& points, const std::vector<std::array<int, 3>>& tris) {
    TriangleMesh m;
    for (const Vec3f& p : points) m.vertices.push_back({p, {}});
    for (const auto& t : tris) m.triangles.push_back({{t[0], t[1], t[2]}, {}});
    m.updateNormals();
    m.updateBounds();
    return m;
}

struct PairCase {
    const char* name;
    std::vector<Vec3f> points;
    std::vector<std::array<int, 3>> tris;
    bool intersect;
};

TEST(SelfIntersections, PairsInEverySharingSituation) {
    const PairCase cases[] = {
        // No common corner.
        {"apart", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}},
         {{0, 1, 2}, {3, 4, 5}}, false},
        {"pierced", {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0.5f, 0.5f, -1}, {0.5f, 0.5f, 1}, {3, 3, 1}},
         {{0, 1, 2}, {3, 4, 5}}, true},
        {"touching at a point", {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0.5f, 0.5f, 0}, {0.5f, 0.5f, 1},
                                 {1, 2, 1}},
         {{0, 1, 2}, {3, 4, 5}}, true},
        {"coplanar apart", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 2, 0}, {3, 2, 0}, {2, 3, 0}},
         {{0, 1, 2}, {3, 4, 5}}, false},
        {"coplanar overlap", {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0.2f, 0.2f, 0}, {3, 0.2f, 0},
                              {0.2f, 3, 0}},
         {{0, 1, 2}, {3, 4, 5}}, true},
        {"coplanar inside", {{0, 0, 0}, {4, 0, 0}, {0, 4, 0}, {1, 1, 0}, {1.5f, 1, 0}, {1, 1.5f, 0}},
         {{0, 1, 2}, {3, 4, 5}}, true},
        // One common corner.
        {"fan", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}},
         {{0, 1, 2}, {0, 3, 4}}, false},
        {"corner and crossing", {{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {1, -1, 1}, {1, 2, -1}},
         {{0, 1, 2}, {0, 3, 4}}, true},
        {"coplanar sectors overlap", {{0, 0, 0}, {2, 0, 0}, {1, 1.7f, 0}, {1, 1.7f * 0.2f, 0},
                                      {-1, 1.7f, 0}},
         {{0, 1, 2}, {0, 3, 4}}, true},
        {"corner, other plane", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, 1}},
         {{0, 1, 2}, {0, 3, 4}}, false},
        // A common edge.
        {"hinge", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0.5f}}, {{0, 1, 2}, {1, 0, 3}}, false},
        {"flat", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.5f, -1, 0}}, {{0, 1, 2}, {1, 0, 3}}, false},
        {"folded", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.5f, 2, 0}}, {{0, 1, 2}, {1, 0, 3}}, true},
        {"twice", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 1}}, true},
    };
    for (const PairCase& c : cases) {
        const TriangleMesh m = meshOf(c.points, c.tris);
        const auto found = selfIntersections(m);
        EXPECT_EQ(!found.empty(), c.intersect) << c.name;
        if (c.intersect && !found.empty()) {
            EXPECT_EQ(found[0], (std::pair<int, int>(0, 1))) << c.name;
        }
        // The order of the triangles and of their corners does not matter.
        TriangleMesh swapped = meshOf(c.points, {c.tris[1], c.tris[0]});
        std::swap(swapped.triangles[0].indices[0], swapped.triangles[0].indices[1]);
        EXPECT_EQ(!selfIntersections(swapped).empty(), c.intersect) << c.name << " swapped";
    }
}

TEST(SelfIntersections, ClosedMeshesAreCleanUntilBroken) {
    const TriangleMesh sphere = test::makeSphere({0, 0, 0}, 1.0f, 24, 32);
    EXPECT_TRUE(selfIntersections(sphere).empty());
    EXPECT_TRUE(degenerateTriangles(sphere).empty());

    // One vertex pushed through to the far side pierces the triangles there.
    TriangleMesh dented = sphere;
    dented.vertices[200].position = dented.vertices[200].position * -1.3f;
    dented.updateNormals();
    const auto pairs = selfIntersections(dented);
    ASSERT_FALSE(pairs.empty());
    for (const auto& [i, j] : pairs) {
        bool touchesMoved = false;
        for (int t : {i, j})
            for (int32_t v : dented.triangles[size_t(t)].indices) touchesMoved |= v == 200;
        EXPECT_TRUE(touchesMoved) << i << " " << j;
    }

    // Two boxes that overlap, as one mesh.
    TriangleMesh boxes = test::makeBox({0, 0, 0}, {1, 1, 1});
    const TriangleMesh second = test::makeBox({0.5f, 0.5f, 0.5f}, {2, 2, 2});
    for (const MeshVertex& v : second.vertices) boxes.vertices.push_back(v);
    for (MeshTriangle t : second.triangles) {
        for (int32_t& k : t.indices) k += 8;
        boxes.triangles.push_back(t);
    }
    EXPECT_FALSE(selfIntersections(boxes).empty());
    // Apart, they do not touch.
    for (size_t v = 8; v < 16; ++v) boxes.vertices[v].position.x += 2.0f;
    EXPECT_TRUE(selfIntersections(boxes).empty());
}

TEST(SelfIntersections, RandomTrianglesAgreeWithAllPairs) {
    // The grid must find what testing every pair finds.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0.0f, 10.0f), d(-0.6f, 0.6f);
    std::vector<Vec3f> points;
    std::vector<std::array<int, 3>> tris;
    for (int t = 0; t < 250; ++t) {
        const Vec3f c{u(rng), u(rng), u(rng)};
        for (int k = 0; k < 3; ++k) points.push_back(c + Vec3f{d(rng), d(rng), d(rng)});
        tris.push_back({3 * t, 3 * t + 1, 3 * t + 2});
    }
    const TriangleMesh all = meshOf(points, tris);
    const auto found = selfIntersections(all);
    std::vector<std::pair<int, int>> expected;
    for (int i = 0; i < 250; ++i)
        for (int j = i + 1; j < 250; ++j)
            if (!selfIntersections(meshOf(points, {tris[size_t(i)], tris[size_t(j)]})).empty())
                expected.emplace_back(i, j);
    EXPECT_EQ(found, expected);
    EXPECT_GT(expected.size(), 5u);
}

TEST(DegenerateTriangles, SliversAndRepeatedCorners) {
    const TriangleMesh m = meshOf({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 0, 0}, {0.5f, 1e-7f, 0}},
                                  {{0, 1, 2}, {0, 1, 3}, {0, 0, 2}, {0, 3, 4}, {1, 2, 4}});
    // 0 fine, 1 collinear, 2 repeated corner, 3 a sliver of height 1e-7, 4 fine.
    EXPECT_EQ(degenerateTriangles(m), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(degenerateTriangles(m, 1e-9), (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace ostrel
