// The scene renderer's arithmetic without a window: fixed matrices, arrow matrices with their
// display length and placement, ground and fog, handle instances, and the ordering and
// clipping of read-back rectangles.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "fem/FemModel.h"
#include "render/ObjectIdBuffer.h"
#include "render/RendererMath.h"

namespace {

using namespace ostrel;

void expectNear(const Vec3f& a, const Vec3f& b, float tol = 1e-5f) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

TEST(FixedMatrices, CameraProjectionEntries) {
    const Matrix4 p = cameraProjection(800.0f / 600.0f);
    const float t = std::tan(0.3926991f);
    EXPECT_FLOAT_EQ(p(0, 0), 1 / (t * 800.0f / 600.0f));
    EXPECT_FLOAT_EQ(p(1, 1), 1 / t);
    EXPECT_FLOAT_EQ(p(2, 2), -1.00001f);
    EXPECT_FLOAT_EQ(p(2, 3), -0.00100001f);
    EXPECT_FLOAT_EQ(p(3, 2), -1.0f);
    EXPECT_EQ(p(3, 3), 0.0f);
    // Near plane at depth 0, far plane at depth 1.
    const Vec4f n = p * Vec4f{0, 0, -0.001f, 1}, f = p * Vec4f{0, 0, -100, 1};
    EXPECT_NEAR(n.z / n.w, 0.0f, 1e-4f);
    EXPECT_NEAR(f.z / f.w, 1.0f, 1e-5f);
}

TEST(FixedMatrices, LightProjectionWithTheTangentOf22Point5Radians) {
    const Matrix4 p = lightProjection();
    EXPECT_NEAR(p(0, 0), 1.7926f, 1e-4f);
    EXPECT_FLOAT_EQ(p(0, 0), 1 / std::tan(22.5f));
    EXPECT_EQ(p(0, 0), p(1, 1));
    EXPECT_FLOAT_EQ(p(2, 2), -1.0126582f);
    EXPECT_FLOAT_EQ(p(2, 3), -0.10126582f);
    EXPECT_FLOAT_EQ(p(3, 2), -1.0f);
    int zeros = 0;
    for (float v : p.m) zeros += v == 0.0f;
    EXPECT_EQ(zeros, 11);
    const Vec4f n = p * Vec4f{0, 0, -0.1f, 1}, f = p * Vec4f{0, 0, -8, 1};
    EXPECT_NEAR(n.z / n.w, 0.0f, 1e-5f);
    EXPECT_NEAR(f.z / f.w, 1.0f, 1e-5f);
}

TEST(FixedMatrices, ShadowTextureMatrixMapsClipSpaceToDownwardTextureCoordinates) {
    const Matrix4 b = shadowTextureMatrix();
    const struct {
        Vec4f clip;
        float u, v;
    } cases[] = {{{-1, 1, 0.5f, 1}, 0, 0}, {{1, -1, 0.5f, 1}, 1, 1}, {{0, 0, 0.5f, 1}, 0.5f, 0.5f},
                 {{-2, 2, 1, 2}, 0, 0}};
    for (const auto& c : cases) {
        const Vec4f t = b * c.clip;
        EXPECT_FLOAT_EQ(t.x / t.w, c.u);
        EXPECT_FLOAT_EQ(t.y / t.w, c.v);
        EXPECT_FLOAT_EQ(t.z, c.clip.z);
    }
}

TEST(ArrowMatrices, ADownwardArrowFromItsTail) {
    const Vec3f tail(0.5f, 0.25f, 0.7f);
    const Matrix4 w = arrowWorld(tail, Vec3f(0, 0, -1), 0.05f);
    const Vec3f start = transformPoint(w, Vec3f(0, 0, 0)), tip = transformPoint(w, Vec3f(0, 0, 1));
    expectNear(start, tail);
    expectNear(tip, tail + Vec3f(0, 0, -0.05f));
    // The mesh's radial axes keep their length: the scale is uniform.
    EXPECT_NEAR(length(transformDirection(w, Vec3f(1, 0, 0))), 0.05f, 1e-6f);
}

TEST(ArrowMatrices, EveryDirectionIncludingMinusXPointsAlongTheForce) {
    const Vec3f forces[] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1},
                            {-3, 4, 0}, {-1, -1, -1}, {2, -0.5f, 7}, {-1e-3f, 0, 1}};
    for (const Vec3f& f : forces) {
        const Vec3f d = f / length(f);
        const Matrix4 r = rotationTakingXTo(d);
        expectNear(transformDirection(r, Vec3f(1, 0, 0)), d);
        // A rotation: orthonormal with determinant 1.
        const Vec3f c0 = transformDirection(r, Vec3f(1, 0, 0)), c1 = transformDirection(r, Vec3f(0, 1, 0)),
                    c2 = transformDirection(r, Vec3f(0, 0, 1));
        EXPECT_NEAR(dot(cross(c0, c1), c2), 1.0f, 1e-5f);
        const Matrix4 w = arrowWorld(Vec3f(1, 2, 3), d, 0.5f * length(f));
        const Vec3f start = transformPoint(w, Vec3f(0, 0, 0)), tip = transformPoint(w, Vec3f(0, 0, 1));
        expectNear(start, Vec3f(1, 2, 3));
        expectNear(tip - start, f * 0.5f, 1e-4f);
    }
    // (-1, 0, 0) takes the second branch: the half turn about y, then about -x.
    const Matrix4 r = rotationTakingXTo(Vec3f(-1, 0, 0));
    EXPECT_EQ(r, Matrix4::fromRows({-1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
}

TEST(Ground, FogDensityAndGroundMatrix) {
    const float hx = 1.0f, hy = 0.25f;
    EXPECT_NEAR(fogDensity(hx, hy), std::pow(std::log(10.0), 2) / (50 * 1.25), 1e-6);
    const Matrix4 g = groundWorld(hx, hy);
    expectNear(transformPoint(g, Vec3f(0.5f, 0.5f, 0)), Vec3f(hx, hy, 0));
    expectNear(transformPoint(g, Vec3f(0, 0, 0)), Vec3f(hx - 62.5f, hy - 62.5f, 0), 1e-4f);
    expectNear(transformPoint(g, Vec3f(1, 1, 0)), Vec3f(hx + 62.5f, hy + 62.5f, 0), 1e-4f);
}

TEST(Instances, HandlePositionsTypesAndArrows) {
    Volume<bool, double> voxels;
    voxels.init({4, 4, 4}, {0.5, 0.25, 2.0}, {1, 2, 3}, true);
    FemModel model(voxels, 3);
    const int n = model.numVertices(0);
    ASSERT_EQ(n, 125);
    model.setFixed(7, true);
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(model, pos, types);
    ASSERT_EQ(int(pos.size()), n);
    for (int i = 0; i < n; ++i) {
        const GridPos g = unpack(model.vertexPosition(0)[size_t(i)]);
        expectNear(pos[size_t(i)], Vec3f(1 + g.x * 0.5f, 2 + g.y * 0.25f, 3 + g.z * 2.0f));
        EXPECT_EQ(types[size_t(i)], i == 7 ? 1 : 0);
    }

    std::vector<std::int32_t> arrows;
    std::vector<Matrix4> matrices;
    buildArrowInstances(model, pos, Matrix4::identity(), 0.2f, 0.5f, arrows, matrices);
    EXPECT_TRUE(arrows.empty()) << "no force, no arrow";
    EXPECT_TRUE(matrices.empty());

    // Vertex 7 lies on the model's boundary; a force pointing out of the solid gets an arrow
    // that starts 1.5 handle radii from the vertex. The largest finite force (vertex 20) is
    // drawn `longest` long, the others in proportion; the NaN force still gets its instance.
    const GridPos g7 = unpack(model.vertexPosition(0)[7]);
    ASSERT_EQ(g7.z, 0) << "the bottom face: straight down leaves the solid (and the ground)";
    const Vec3f out = g7.x == 0 ? Vec3f(-1, 0, 0) : g7.x == 4 ? Vec3f(1, 0, 0)
                    : g7.y == 0 ? Vec3f(0, -1, 0) : Vec3f(0, 1, 0);
    for (int a = 0; a < 3; ++a) model.setForceComponent(7, a, 2.5f * out[a]);
    model.setForceComponent(9, 0, std::nanf(""));
    model.setForceComponent(20, 2, 10);
    const Matrix4 view = translation(0, 0, -10);
    buildArrowInstances(model, pos, view, 0.2f, 0.5f, arrows, matrices);
    ASSERT_EQ(arrows, (std::vector<std::int32_t>{7, 9, 20}));
    ASSERT_EQ(matrices.size(), 6u);
    const Matrix4& w = matrices[0];
    expectNear(transformPoint(w, Vec3f(0, 0, 0)), transformPoint(view, pos[7] + out * 0.3f));
    expectNear(transformPoint(w, Vec3f(0, 0, 1)), transformPoint(view, pos[7] + out * 0.425f));
    const Matrix4 shouldBeIdentity = transpose(matrices[1]) * w;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(shouldBeIdentity(r, c), r == c ? 1 : 0, 1e-4f);
    const Matrix4& w20 = matrices[4];
    EXPECT_NEAR(length(transformPoint(w20, Vec3f(0, 0, 1)) - transformPoint(w20, Vec3f(0, 0, 0))),
                0.5f, 1e-5f);
}

TEST(ArrowMatrices, TheLongestArrowIsATenthOfTheDiagonalTimesTheScaling) {
    EXPECT_FLOAT_EQ(longestArrow(Vec3f(1.0f, 0.25f, 0.25f), 1), 0.1f * 2 * std::sqrt(1.125f));
    EXPECT_FLOAT_EQ(longestArrow(Vec3f(3, 4, 0), 2.5f), 2.5f);
}

/// A 4 x 2 x 2 block of unit voxels on the ground, as the scene loader builds one (its lower
/// corner at the origin).
struct Block {
    Block() {
        voxels.init({4, 2, 2}, {1, 1, 1}, {0, 0, 0}, true);
        model = std::make_unique<FemModel>(voxels, 3);
        buildHandleInstances(*model, positions, types);
    }
    int vertex(int x, int y, int z) const { return model->vertexAt(0, {x, y, z}); }
    Volume<bool, double> voxels;
    std::unique_ptr<FemModel> model;
    std::vector<Vec3f> positions;
    std::vector<std::uint8_t> types;
};

TEST(ArrowPlacement, ArrowsStayOutOfTheSolidAndAboveTheGround) {
    const Block block;
    constexpr float r = 0.05f, gap = 1.5f * r, len = 1.0f, shift = 0.2f * len + r;
    const struct {
        const char* what;
        GridPos vertex;
        Vec3f force;
        Vec3f tail;  // expected; the direction is always the force's
    } cases[] = {
        {"up from the top face: away from the vertex", {2, 1, 2}, {0, 0, 3}, {2, 1, 2 + gap}},
        {"down onto the top face: pointing at the vertex", {2, 1, 2}, {0, 0, -3},
         {2, 1, 2 + gap + len}},
        {"out of the end face", {4, 1, 1}, {7, 0, 0}, {4 + gap, 1, 1}},
        {"into the end face", {4, 1, 1}, {-7, 0, 0}, {4 + gap + len, 1, 1}},
        {"down at the top edge of the end face: from above", {4, 1, 2}, {0, 0, -1},
         {4, 1, 2 + gap + len}},
        {"along the end face: moved off it", {4, 1, 1}, {0, 1, 0}, {4 + shift, 1 + gap, 1}},
        {"down at the lower edge of the free end: from above, off the end face", {4, 1, 0},
         {0, 0, -1}, {4 + shift, 1, gap + len}},
        {"along the lower front edge: moved out of the edge, off the ground", {2, 0, 0},
         {1, 0, 0}, {2 + gap, -shift * std::sqrt(0.5f), shift * std::sqrt(0.5f)}},
    };
    for (const auto& c : cases) {
        const int v = block.vertex(c.vertex.x, c.vertex.y, c.vertex.z);
        ASSERT_GE(v, 0) << c.what;
        const ArrowPlacement a =
            placeArrow(*block.model, v, block.positions[size_t(v)], c.force, len, r);
        expectNear(a.direction, c.force / length(c.force));
        EXPECT_FLOAT_EQ(a.length, len) << c.what;
        expectNear(a.tail, c.tail);
        if (::testing::Test::HasFailure()) FAIL() << c.what;
    }
}

TEST(ArrowPlacement, WithoutAFreeSideTheArrowStartsBeyondTheVertex) {
    // An interior vertex of a bigger block: every side is solid.
    Volume<bool, double> voxels;
    voxels.init({6, 6, 6}, {1, 1, 1}, {0, 0, 0}, true);
    const FemModel model(voxels, 3);
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(model, pos, types);
    const int v = model.vertexAt(0, {3, 3, 3});
    const ArrowPlacement a = placeArrow(model, v, pos[size_t(v)], Vec3f(0, 2, 0), 1.0f, 0.1f);
    expectNear(a.tail, Vec3f(3, 3.15f, 3));
    expectNear(a.direction, Vec3f(0, 1, 0));
}

TEST(ReadBackRectangles, CornersOrderedAndClipped) {
    const struct {
        int x0, y0, x1, y1;
        PixelRect expected;
    } cases[] = {
        {10, 20, 30, 40, {10, 20, 30, 40}},   {30, 40, 10, 20, {10, 20, 30, 40}},
        {30, 20, 10, 40, {10, 20, 30, 40}},   {-5, -5, 900, 700, {0, 0, 799, 599}},
        {800, 0, 810, 5, {800, 0, 799, 5}},   {5, 5, 5, 5, {5, 5, 5, 5}},
        {-10, -10, -1, -1, {0, 0, -1, -1}},
    };
    for (const auto& c : cases) {
        const PixelRect r = orderAndClip(c.x0, c.y0, c.x1, c.y1, 800, 600);
        EXPECT_EQ(r.x0, c.expected.x0);
        EXPECT_EQ(r.y0, c.expected.y0);
        EXPECT_EQ(r.x1, c.expected.x1);
        EXPECT_EQ(r.y1, c.expected.y1);
        EXPECT_EQ(r.empty(), c.expected.empty());
    }
    EXPECT_TRUE(orderAndClip(800, 0, 810, 5, 800, 600).empty());
}

}  // namespace
