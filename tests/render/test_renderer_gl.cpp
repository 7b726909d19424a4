// The scene renderer on Mesa's software OpenGL (run under xvfb-run): the cantilever example's
// frame, shadows, wire frame, handles and arrows with their object IDs, the read-back, resize,
// device loss and the cached shadow map. Set OSTREL_SCREENSHOT_DIR to keep the frames as PPM.
//
// The picture tests locate what they see against positions computed here (the camera's own
// formulas, the beam's corners, the light's projection onto the ground). Each of these faults
// makes at least one of them fail (each applied by hand and run):
//   - the shadow mirrored in the map (u -> 1 - u)           TheShadowLiesWhere...
//   - the shadow shifted by half a percent of the map        TheShadowLiesWhere...
//   - the shadow's depth bias 100 times too large            TheShadowLiesWhere...
//   - handles drawn with the depth test "always"             EveryHandleFacingTheEye...
//   - the arrows' normals through the transposed matrix      AnArrowIsLitByTheNormalsOfItsShaft
//   - handles that keep their sprite's depth                 EveryHandleFacingTheEye...
//   - the sphere's depth without its half-radius bias        EveryHandleFacingTheEye...
//   - the sphere's depth mapped from -1..1 instead of 0..1   EveryHandleFacingTheEye..., and
//                                                            the handles' ID tests
//   - the ground drawn without its polygon offset            WireFrameEdgesOnTheGround...
//   - a field of view 1 % wider than the camera's            TheBeamCoversExactly..., the
//                                                            shadow, handle and arrow tests
//   - the arrows always placed beyond the vertex, or drawn   AnArrowRunsAlong...,
//     a hundredth of their length                            EveryExampleShowsItsLoadArrows
//   - enclosed handles left out whatever the eye's place,    LeavingOutTheHandles...
//     in wire frame, without the surface or over the
//     optimized shape; a clearance of one radius instead
//     of three, or none, or no inside test
// The arrows' normals through the world-view matrix itself give the same picture: an arrow's
// matrix is a rotation, a uniform scale and a translation, whose inverse transpose differs from
// it only by a factor that the lighting's normalization removes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "fem/FemModel.h"
#include "render/CutSceneRendererEffect.h"
#include "render/EnclosedHandles.h"
#include "render/RendererMath.h"
#include "render/CutSceneRenderer.h"
#include "render/toolkit/SimpleDrawer.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/GlTestContext.h"

namespace {

using namespace ostrel;
using ostrel::testing::GlTestContext;

constexpr int kWidth = 800, kHeight = 600;

struct Rgb {
    int r, g, b;
};

/// One GL context, the cantilever scene and a renderer for the whole suite.
class RendererGl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gl_ = new GlTestContext(kWidth, kHeight);
        scene_ = new ostrel::testing::SceneProblem(DeviceOptions{});
        std::wostringstream log;
        loaded_ = scene_->loadScene(fromUtf8(OSTREL_EXAMPLES_DIR "/cantilever/scene.txt"), &log);
        // A light above and in front of the beam, so that its shadow falls on visible ground.
        const Vec3f pos(1.0f, -1.2f, 3.0f), target(1.0f, 0.25f, 0.0f);
        scene_->view().lightPos = pos;
        const Matrix4 l = lookAtView(pos, target - pos, Vec3f(0, 0, 1));
        for (int i = 0; i < 16; ++i) scene_->view().lightView[i] = l.m[size_t(i)];
    }
    static void TearDownTestSuite() {
        delete scene_;
        delete gl_;
    }
    void SetUp() override {
        ASSERT_TRUE(gl_->ok()) << "no OpenGL context (run under xvfb-run)";
        ASSERT_TRUE(loaded_);
        renderer_ = std::make_unique<CutSceneRenderer>(scene_, scene_->model());
        ASSERT_TRUE(renderer_->onCreateDevice());
        ASSERT_TRUE(renderer_->onCreateSwapChain(kWidth, kHeight));
        renderer_->setProjection(cameraProjection(float(kWidth) / kHeight));
        renderer_->setViewMatrix(view());
        savedForces_ = scene_->model()->forces();
    }
    void TearDown() override {
        if (renderer_) {
            renderer_->onReleasingSwapChain();
            renderer_->onDestroyDevice();
        }
        renderer_.reset();
        FemModel& m = *scene_->model();
        m.clearFixations();
        // also after a test that stopped early
        for (size_t i = 0; i < savedForces_.size(); ++i)
            m.setForceComponent(int(i / 3), int(i % 3), savedForces_[i]);
    }

    /// Clears every force (TearDown restores the scene's) and returns the handles' positions.
    static std::vector<Vec3f> handlesWithoutForces() {
        FemModel& m = *scene_->model();
        m.clearForces();
        std::vector<Vec3f> pos;
        std::vector<std::uint8_t> types;
        buildHandleInstances(m, pos, types);
        return pos;
    }

    /// The camera: in front of the beam (2 x 0.5 x 0.5), looking at its middle from above.
    static Matrix4 view() {
        const Vec3f eye(0.2f, -2.2f, 1.6f), target(1.0f, 0.25f, 0.2f);
        return lookAtView(eye, target - eye, Vec3f(0, 0, 1));
    }
    std::vector<std::uint8_t> frame(const char* screenshot = nullptr) {
        gl_->beginFrame();
        renderer_->render();
        auto pixels = gl_->readPixels();
        if (const char* dir = std::getenv("OSTREL_SCREENSHOT_DIR"); dir && screenshot)
            GlTestContext::writePpm(std::string(dir) + "/" + screenshot + ".ppm", pixels, gl_->width(),
                                    gl_->height());
        return pixels;
    }
    static Rgb at(const std::vector<std::uint8_t>& p, int x, int y) {
        const size_t i = (size_t(y) * size_t(gl_->width()) + size_t(x)) * 4;
        return {p[i], p[i + 1], p[i + 2]};
    }
    /// Window position of a world point (y downward) and whether it lies in front of the camera.
    static bool project(const Vec3f& p, int& x, int& y) {
        const Vec4f c = cameraProjection(float(kWidth) / kHeight) * (view() * Vec4f{p.x, p.y, p.z, 1});
        if (c.w <= 0) return false;
        x = int(std::floor((c.x / c.w + 1) * 0.5f * kWidth));
        y = int(std::floor((1 - c.y / c.w) * 0.5f * kHeight));
        return x >= 0 && y >= 0 && x < kWidth && y < kHeight;
    }

    static GlTestContext* gl_;
    static ostrel::testing::SceneProblem* scene_;
    static bool loaded_;
    std::unique_ptr<CutSceneRenderer> renderer_;
    std::vector<float> savedForces_;
};
GlTestContext* RendererGl::gl_ = nullptr;
ostrel::testing::SceneProblem* RendererGl::scene_ = nullptr;
bool RendererGl::loaded_ = false;

bool near(const Rgb& c, int r, int g, int b, int tolerance) {
    return std::abs(c.r - r) <= tolerance && std::abs(c.g - g) <= tolerance && std::abs(c.b - b) <= tolerance;
}
int brightness(const Rgb& c) { return c.r + c.g + c.b; }

TEST_F(RendererGl, TheEffectsLoadWithEveryNameAndLayout) {
    CutSceneRendererEffect effect;
    ASSERT_EQ(effect.load(), ostrel::gl::LoadStatus::Ok);
    EXPECT_EQ(effect.layoutCount, 6);
    EXPECT_NE(effect.renderSurfaceVertices, nullptr);
    ostrel::gl::SimpleDrawEffect simple;
    ASSERT_EQ(simple.load(), ostrel::gl::LoadStatus::Ok);
    EXPECT_NE(simple.layout, nullptr);
}

TEST_F(RendererGl, TheLineDrawerDrawsItsBatchesInEveryMode) {
    ostrel::gl::SimpleDrawer drawer(4);  // small batches: every mode flushes several times
    ASSERT_TRUE(drawer.onCreateDevice());
    const struct {
        int mode;
        std::vector<Vec3f> vertices;
        int x, y;  // a pixel the primitives cover (window coordinates, y downward)
    } cases[] = {
        {ostrel::gl::kLineList, {{-0.9f, 0, 0}, {0.9f, 0, 0}, {0, -0.9f, 0}, {0, 0.9f, 0},
                                 {-0.9f, 0.5f, 0}, {0.9f, 0.5f, 0}}, 600, 150},
        {ostrel::gl::kLineStrip, {{-0.9f, -0.5f, 0}, {-0.3f, -0.5f, 0}, {0.1f, -0.5f, 0},
                                  {0.5f, -0.5f, 0}, {0.9f, -0.5f, 0}}, 600, 450},
        {ostrel::gl::kTriangleList, {{-1, -1, 0}, {-0.5f, -1, 0}, {-1, -0.5f, 0},
                                     {1, 1, 0}, {0.5f, 1, 0}, {1, 0.5f, 0}}, 790, 10},
        {ostrel::gl::kTriangleStrip, {{-1, 1, 0}, {-1, 0.8f, 0}, {-0.8f, 1, 0}, {-0.8f, 0.8f, 0},
                                      {-0.6f, 1, 0}, {-0.6f, 0.8f, 0}}, 130, 10},
    };
    for (const auto& c : cases) {
        gl_->beginFrame(0, 0, 0);
        drawer.setUseDepth(false);
        drawer.setColor(1, 0, 0, 1);
        drawer.begin();
        drawer.setMode(c.mode);
        for (const Vec3f& v : c.vertices) drawer.addVertex(v);
        drawer.end();
        const auto pixels = gl_->readPixels();
        const Rgb p = at(pixels, c.x, c.y);
        EXPECT_EQ(p.r, 255) << "mode " << c.mode;
        EXPECT_EQ(p.g + p.b, 0) << "mode " << c.mode;
    }
    drawer.onDestroyDevice();
}

TEST_F(RendererGl, LookupsStopAtTheFirstMissingNameInContractOrder) {
    // The effect source without g_fFogDensity (and without g_fClippingY further down): only the
    // first missing name is reported.
    std::ifstream in(OSTREL_EFFECT_SOURCE_DIR "/cutscenerenderer.fx");
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    for (const char* name : {"variable scalar g_fFogDensity\n", "variable scalar g_fClippingY\n"})
        text.erase(text.find(name), std::string(name).size());
    const std::string replace = "g_fFogDensity", replaceClip = "g_fClippingY";
    for (const auto& [from, to] : {std::pair{replace, std::string("0.01")}, std::pair{replaceClip, std::string("0.0")}})
        for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    const std::string name = "lookup" + std::to_string(::getpid()) + ".fx";
    const std::string path = toUtf8(ostrel::gl::executableDirectory()) + name;
    std::ofstream(path) << text;
    CutSceneRendererEffect effect(fromUtf8(name));
    ::testing::internal::CaptureStderr();
    const ostrel::gl::LoadStatus status = effect.load();
    const std::string err = ::testing::internal::GetCapturedStderr();
    std::remove(path.c_str());
    EXPECT_EQ(status, ostrel::gl::LoadStatus::Failed);
    EXPECT_EQ(err, "Effect Compile Error (" + name + ")\nScalar variable \"g_fFogDensity\" not found\n");
    EXPECT_NE(effect.g_fFogExponent, nullptr);
    EXPECT_EQ(effect.technique, nullptr);
}

TEST_F(RendererGl, AShaderThatDoesNotCompileReportsTheCompilerText) {
    const std::string name = "badshader" + std::to_string(::getpid()) + ".fx";
    const std::string path = toUtf8(ostrel::gl::executableDirectory()) + name;
    std::ofstream(path) << "glsl vertex V\nvoid main() { gl_Position = vec4(0.0); }\nend\n"
                           "glsl fragment F\nout vec4 c;\nvoid main() { c = undefinedThing; }\nend\n"
                           "technique T\npass P\n  vertex V\n  fragment F\n";
    ostrel::gl::Effect effect(fromUtf8(name));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(effect.load(), ostrel::gl::LoadStatus::Failed);
    const std::string err = ::testing::internal::GetCapturedStderr();
    std::remove(path.c_str());
    EXPECT_EQ(err.rfind("Effect Error (" + name + ")\n" + name + ": fragment shader \"F\": ", 0), 0u) << err;
    EXPECT_NE(err.find("undefinedThing"), std::string::npos) << err;
    EXPECT_NE(err.find(":6"), std::string::npos) << "the file's line 6 is named: " << err;
}

TEST_F(RendererGl, CantileverFrameShowsTheObjectOnFoggyGroundWithItsShadow) {
    const auto lit = frame("cantilever");
    int cx = 0, cy = 0;
    ASSERT_TRUE(project(Vec3f(1.0f, 0.25f, 0.5f), cx, cy));  // middle of the beam's top face
    const Rgb object = at(lit, cx, cy);
    EXPECT_FALSE(near(object, 230, 175, 120, 20)) << "the beam covers the middle";
    EXPECT_FALSE(near(object, 25, 51, 102, 5)) << "the beam covers the middle";
    EXPECT_LT(std::abs(object.r - object.g) + std::abs(object.g - object.b), 12) << "grey object";

    // Ground next to the object, away from the shadow: the ground colour.
    int gx = 0, gy = 0;
    ASSERT_TRUE(project(Vec3f(-0.4f, -0.3f, 0.0f), gx, gy));
    EXPECT_TRUE(near(at(lit, gx, gy), 230, 175, 120, 8))
        << at(lit, gx, gy).r << " " << at(lit, gx, gy).g << " " << at(lit, gx, gy).b;
    // Far away the ground fades into the background (fog).
    int fx = 0, fy = 0;
    ASSERT_TRUE(project(Vec3f(1.0f, 8.0f, 0.0f), fx, fy));
    const Rgb far = at(lit, fx, fy);
    EXPECT_LT(brightness(far), brightness(at(lit, gx, gy)) - 100);

    // The shadow: ground pixels darker with shadows than without, none brighter.
    renderer_->settings().enableShadows = false;
    const auto plain = frame("cantilever-noshadow");
    int darker = 0, brighter = 0;
    int sx = 0, sy = 0;
    for (int y = 0; y < kHeight; y += 2)
        for (int x = 0; x < kWidth; x += 2) {
            const Rgb a = at(lit, x, y), b = at(plain, x, y);
            if (!near(b, 230, 175, 120, 6)) continue;  // plain ground only
            if (brightness(a) + 30 < brightness(b)) darker++, sx = x, sy = y;
            if (brightness(a) > brightness(b) + 3) brighter++;
        }
    EXPECT_GT(darker, 500) << "a shadow on the ground";
    EXPECT_EQ(brighter, 0);
    EXPECT_LT(brightness(at(lit, sx, sy)), brightness(at(lit, gx, gy)));
}

TEST_F(RendererGl, WireFrameDrawsLinesAndNoShadowPass) {
    const auto solid = frame();
    const int before = renderer_->shadowMapRenders();
    renderer_->settings().wireFrame = true;
    const auto wire = frame("wireframe");
    EXPECT_EQ(renderer_->shadowMapRenders(), before);
    // The beam's top face: solid grey there, in wire frame mostly the ground behind, with lines.
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    ASSERT_TRUE(project(Vec3f(0.6f, 0.1f, 0.5f), x0, y0));
    ASSERT_TRUE(project(Vec3f(1.4f, 0.4f, 0.5f), x1, y1));
    int same = 0, differ = 0;
    for (int y = std::min(y0, y1); y <= std::max(y0, y1); ++y)
        for (int x = std::min(x0, x1); x <= std::max(x0, x1); ++x)
            (brightness(at(solid, x, y)) == brightness(at(wire, x, y)) ? same : differ)++;
    EXPECT_GT(differ, 10 * same) << "the face's interior shows what lies behind";
}

TEST_F(RendererGl, HandlesHaveTwoColoursAndTheirObjectIds) {
    FemModel& m = *scene_->model();
    for (int i = 0; i < m.numVertices(0); i += 2) m.setFixed(i, true);
    renderer_->settings().renderForcesVertices = true;
    const auto pixels = frame("handles");
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(m, pos, types);
    int fixedSeen = 0, freeSeen = 0;
    for (size_t i = 0; i < pos.size(); ++i) {
        int x = 0, y = 0;
        if (!project(pos[i], x, y)) continue;
        const std::uint32_t id = renderer_->getObjectId(x, y);
        if (id != makeObjectId(ObjectKind::VertexHandle, std::uint32_t(i))) continue;
        const Rgb c = at(pixels, x, y);
        if (types[i]) {
            EXPECT_GT(c.r, c.b + 60) << "fixed handle " << i << " is red";
            ++fixedSeen;
        } else {
            EXPECT_GT(c.b, c.r + 60) << "free handle " << i << " is blue";
            ++freeSeen;
        }
    }
    EXPECT_GT(fixedSeen, 200);
    EXPECT_GT(freeSeen, 200);
}

TEST_F(RendererGl, ArrowsReturnKindTwoWithTheirVertex) {
    FemModel& m = *scene_->model();
    const std::vector<Vec3f> pos = handlesWithoutForces();
    // An upward force on the top vertex over the beam's middle.
    int vertex = -1;
    for (size_t i = 0; i < pos.size(); ++i)
        if (std::abs(pos[i].x - 1.0f) < 1e-4f && std::abs(pos[i].y - 0.25f) < 1e-4f &&
            std::abs(pos[i].z - 0.5f) < 1e-4f)
            vertex = int(i);
    ASSERT_GE(vertex, 0);
    const float r = scene_->view().vertexHandleRadius;
    const Vec3f force(0, 0, 2.0f);  // out of the top face: the arrow starts above the vertex
    for (int c = 0; c < 3; ++c) m.setForceComponent(vertex, c, force[c]);
    renderer_->settings().editorActive = true;
    frame("arrow");
    int x = 0, y = 0;
    ASSERT_TRUE(project(pos[size_t(vertex)] + Vec3f(0, 0, 1.5f * r + 0.1f), x, y));
    EXPECT_EQ(renderer_->getObjectId(x, y), makeObjectId(ObjectKind::ForceArrow, std::uint32_t(vertex)));
    std::set<std::uint32_t> ids;
    renderer_->collectObjectIds(x - 1, y - 1, x + 1, y + 1, ids);
    EXPECT_TRUE(ids.count(makeObjectId(ObjectKind::ForceArrow, std::uint32_t(vertex))));
}

TEST_F(RendererGl, ReadBackOutsideTheBufferAndBackwardRectangles) {
    renderer_->settings().renderForcesVertices = true;
    frame();
    EXPECT_EQ(renderer_->getObjectId(kWidth, 0), 0u);
    EXPECT_EQ(renderer_->getObjectId(-1, 10), 0u);
    EXPECT_EQ(renderer_->getObjectId(10, kHeight), 0u);
    EXPECT_EQ(renderer_->getObjectId(0, 0), 0u);  // background
    std::set<std::uint32_t> forward, backward, flipped;
    renderer_->collectObjectIds(300, 200, 500, 400, forward);
    renderer_->collectObjectIds(500, 400, 300, 200, backward);
    renderer_->collectObjectIds(300, 400, 500, 200, flipped);
    EXPECT_GT(forward.size(), 50u);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(forward, flipped);
    // Clipped to the buffer; entirely outside adds nothing.
    std::set<std::uint32_t> all, clipped, outside;
    renderer_->collectObjectIds(0, 0, kWidth - 1, kHeight - 1, all);
    renderer_->collectObjectIds(-100, -100, kWidth + 100, kHeight + 100, clipped);
    renderer_->collectObjectIds(kWidth, 0, kWidth + 5, 5, outside);
    EXPECT_EQ(all, clipped);
    EXPECT_TRUE(outside.empty());
    EXPECT_TRUE(all.count(0u));
    // The read-back agrees pixel by pixel with the set.
    for (int y = 200; y <= 400; y += 37)
        for (int x = 300; x <= 500; x += 41) EXPECT_TRUE(forward.count(renderer_->getObjectId(x, y)));
}

TEST_F(RendererGl, AFailedReadBackIsFatal) {
    frame();
    // Between releasing and recreating the swap chain the buffer does not exist: the read-back
    // fails, and the fatal report names the renderer's source file.
    renderer_->onReleasingSwapChain();
    // The rasterizer runs threads: the dying child is a fresh run of this test, not a fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(runProgram([&] {
                     renderer_->getObjectId(10, 10);
                     return 0;
                 }),
                 "FATAL ERROR.*Mapping Object ID Buffer failed.*Source file .cutscenerenderer.");
    std::set<std::uint32_t> ids;
    EXPECT_DEATH(runProgram([&] {
                     renderer_->collectObjectIds(0, 0, 5, 5, ids);
                     return 0;
                 }), "Mapping Object ID Buffer failed");
    ASSERT_TRUE(renderer_->onCreateSwapChain(kWidth, kHeight));
}

TEST_F(RendererGl, ResizeGivesTheObjectIdBufferTheNewSize) {
    renderer_->onReleasingSwapChain();
    gl_->resize(400, 300);
    ASSERT_TRUE(renderer_->onCreateSwapChain(400, 300));
    renderer_->setProjection(cameraProjection(400.0f / 300.0f));
    renderer_->settings().renderForcesVertices = true;
    gl_->beginFrame();
    renderer_->render();
    EXPECT_EQ(renderer_->width(), 400);
    EXPECT_EQ(renderer_->height(), 300);
    EXPECT_EQ(renderer_->getObjectId(400, 0), 0u);
    std::set<std::uint32_t> ids;
    renderer_->collectObjectIds(0, 0, 1000, 1000, ids);
    EXPECT_GT(ids.size(), 10u);
    renderer_->onReleasingSwapChain();
    gl_->resize(kWidth, kHeight);
    ASSERT_TRUE(renderer_->onCreateSwapChain(kWidth, kHeight));
}

TEST_F(RendererGl, ASwapChainOfNoPixelsFailsAndTheNextOneWorks) {
    renderer_->onReleasingSwapChain();
    EXPECT_FALSE(renderer_->onCreateSwapChain(0, kHeight));
    EXPECT_FALSE(renderer_->onCreateSwapChain(kWidth, 0));
    ASSERT_TRUE(renderer_->onCreateSwapChain(kWidth, kHeight));
}

TEST_F(RendererGl, TheCachedShadowGivesTheSamePictureAsRenderingItAgain) {
    const auto first = frame();
    const int renders = renderer_->shadowMapRenders();
    const auto cached = frame();
    EXPECT_EQ(renderer_->shadowMapRenders(), renders) << "nothing changed: the map is reused";
    EXPECT_EQ(first, cached);
    renderer_->setOptimizedMesh(&scene_->mesh());  // a new shape: drawn again
    const auto again = frame();
    EXPECT_EQ(renderer_->shadowMapRenders(), renders + 1);
    EXPECT_EQ(first, again);
    // The head light follows the camera: every view change renders the map again.
    renderer_->settings().enableHeadLight = true;
    frame();
    renderer_->setViewMatrix(translation(0.01f, 0, 0) * view());
    frame();
    EXPECT_EQ(renderer_->shadowMapRenders(), renders + 3);
    renderer_->setViewMatrix(view());
    renderer_->setOptimizedMesh(nullptr);
}

TEST_F(RendererGl, SettingsAndTheOptimizedMeshSurviveADeviceChange) {
    TriangleMesh small = scene_->mesh();
    small.scale(0.5f);
    ASSERT_TRUE(renderer_->setOptimizedMesh(&small));
    renderer_->settings().renderCoordinateSystem = true;
    const auto before = frame("optimized-axes");
    renderer_->onReleasingSwapChain();
    renderer_->onDestroyDevice();
    ASSERT_TRUE(renderer_->onCreateDevice());
    ASSERT_TRUE(renderer_->onCreateSwapChain(kWidth, kHeight));
    EXPECT_TRUE(renderer_->settings().renderCoordinateSystem);
    const auto after = frame();
    EXPECT_EQ(before, after);
    renderer_->setOptimizedMesh(nullptr);
    EXPECT_NE(frame(), before) << "the input mesh is drawn again";
}

// ---- Pictures checked against where things must land ----------------------------------------
//
// The expected places come from a pinhole camera built here from the camera's definition (look-at
// rows, vertical field of view pi/4), not from the renderer's matrices, and from the geometry of
// the beam (2 x 0.5 x 0.5 from the origin, voxel 0.025).

/// The test view's camera in double precision: world point -> window position (y downward,
/// pixel (i, j) covers [i, i + 1) x [j, j + 1)).
struct Pinhole {
    double e[3], x[3], y[3], z[3];
    /// The suite's view by default.
    explicit Pinhole(const Vec3f& eyeAt = {0.2f, -2.2f, 1.6f}, const Vec3f& lookAt = {1.0f, 0.25f, 0.2f}) {
        const double eye[3] = {eyeAt.x, eyeAt.y, eyeAt.z}, target[3] = {lookAt.x, lookAt.y, lookAt.z};
        double f[3], l = 0;
        for (int i = 0; i < 3; ++i) e[i] = eye[i], f[i] = target[i] - eye[i], l += f[i] * f[i];
        for (double& v : f) v /= std::sqrt(l);
        // x = forward x up (up = +z), y = x x forward, z = -forward.
        x[0] = f[1], x[1] = -f[0], x[2] = 0;
        const double lx = std::hypot(x[0], x[1]);
        x[0] /= lx, x[1] /= lx;
        y[0] = x[1] * f[2] - x[2] * f[1], y[1] = x[2] * f[0] - x[0] * f[2], y[2] = x[0] * f[1] - x[1] * f[0];
        for (int i = 0; i < 3; ++i) z[i] = -f[i];
    }
    /// Window position of a world point (the point must lie in front of the camera).
    std::array<double, 2> operator()(double px, double py, double pz) const {
        const double d[3] = {px - e[0], py - e[1], pz - e[2]};
        const auto dotp = [&](const double* a) { return a[0] * d[0] + a[1] * d[1] + a[2] * d[2]; };
        const double t = 1 / std::tan(M_PI / 8), depth = -dotp(z);
        const double nx = t / (double(kWidth) / kHeight) * dotp(x) / depth, ny = t * dotp(y) / depth;
        return {(nx + 1) / 2 * kWidth, (1 - ny) / 2 * kHeight};
    }
    std::array<double, 2> operator()(const Vec3f& p) const { return (*this)(p.x, p.y, p.z); }
    /// Unit direction of the eye ray through a window position.
    std::array<double, 3> ray(double wx, double wy) const {
        const double t = std::tan(M_PI / 8);
        const double nx = (2 * wx / kWidth - 1) * t * kWidth / kHeight, ny = (1 - 2 * wy / kHeight) * t;
        std::array<double, 3> d{};
        double l = 0;
        for (int i = 0; i < 3; ++i) d[size_t(i)] = nx * x[i] + ny * y[i] - z[i], l += d[size_t(i)] * d[size_t(i)];
        for (double& v : d) v /= std::sqrt(l);
        return d;
    }
};

/// Distance along the eye ray (origin e, unit direction d) to where it enters the beam's box,
/// or infinity.
double beamEntry(const double* e, const std::array<double, 3>& d) {
    const double lo[3] = {0, 0, 0}, hi[3] = {2, 0.5, 0.5};
    double t0 = 0, t1 = 1e300;
    for (int a = 0; a < 3; ++a) {
        const double u = (lo[a] - e[a]) / d[size_t(a)], v = (hi[a] - e[a]) / d[size_t(a)];
        t0 = std::max(t0, std::min(u, v));
        t1 = std::min(t1, std::max(u, v));
    }
    return t0 <= t1 ? t0 : 1e300;
}

/// Distance along the eye ray to its first hit of the sphere, or infinity.
double sphereEntry(const double* e, const std::array<double, 3>& d, const Vec3f& c, double r) {
    const double o[3] = {e[0] - c.x, e[1] - c.y, e[2] - c.z};
    const double b = o[0] * d[0] + o[1] * d[1] + o[2] * d[2];
    const double disc = b * b - (o[0] * o[0] + o[1] * o[1] + o[2] * o[2] - r * r);
    return disc < 0 ? 1e300 : -b - std::sqrt(disc);
}

using Point2 = std::array<double, 2>;

/// Convex hull of points (counter-clockwise in window coordinates with y downward means
/// clockwise on screen; only the consistency matters here).
std::vector<Point2> convexHull(std::vector<Point2> p) {
    std::sort(p.begin(), p.end());
    const auto turn = [](const Point2& o, const Point2& a, const Point2& b) {
        return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
    };
    std::vector<Point2> h(2 * p.size());
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        while (k >= 2 && turn(h[k - 2], h[k - 1], p[i]) <= 0) --k;
        h[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
        while (k >= t && turn(h[k - 2], h[k - 1], p[i - 1]) <= 0) --k;
        h[k++] = p[i - 1];
    }
    h.resize(k - 1);
    return h;
}

/// Signed distance from q to the convex polygon: negative inside.
double signedDistance(const std::vector<Point2>& poly, const Point2& q) {
    double outside = 0, inside = 1e300;
    bool in = true;
    for (size_t i = 0; i < poly.size(); ++i) {
        const Point2& a = poly[i];
        const Point2& b = poly[(i + 1) % poly.size()];
        const double ex = b[0] - a[0], ey = b[1] - a[1], len = std::hypot(ex, ey);
        const double side = (ex * (q[1] - a[1]) - ey * (q[0] - a[0])) / len;  // > 0: inner side
        if (side < 0) in = false;
        inside = std::min(inside, side);
        const double t = std::clamp(((q[0] - a[0]) * ex + (q[1] - a[1]) * ey) / (len * len), 0.0, 1.0);
        const double d = std::hypot(q[0] - a[0] - t * ex, q[1] - a[1] - t * ey);
        outside = i == 0 ? d : std::min(outside, d);
    }
    return in ? -inside : outside;
}

/// Distance from q to the segment a-b and the position of q's foot along it (0 at a).
std::pair<double, double> segmentDistance(const Point2& a, const Point2& b, const Point2& q) {
    const double ex = b[0] - a[0], ey = b[1] - a[1], len2 = ex * ex + ey * ey;
    const double along = ((q[0] - a[0]) * ex + (q[1] - a[1]) * ey) / len2;
    const double t = std::clamp(along, 0.0, 1.0);
    return {std::hypot(q[0] - a[0] - t * ex, q[1] - a[1] - t * ey), along * std::sqrt(len2)};
}

/// The beam's eight corners.
std::vector<Vec3f> beamCorners() {
    std::vector<Vec3f> c;
    for (float z : {0.0f, 0.5f})
        for (float y : {0.0f, 0.5f})
            for (float x : {0.0f, 2.0f}) c.emplace_back(x, y, z);
    return c;
}

bool grey(const Rgb& c) { return std::abs(c.r - c.g) + std::abs(c.g - c.b) < 12; }
Point2 pixelCentre(int x, int y) { return {x + 0.5, y + 0.5}; }

TEST_F(RendererGl, TheBeamCoversExactlyItsProjectedOutline) {
    renderer_->settings().enableShadows = false;
    const auto pixels = frame("outline");
    const Pinhole camera;
    std::vector<Point2> corners;
    for (const Vec3f& c : beamCorners()) corners.push_back(camera(c));
    const auto outline = convexHull(corners);
    int inside = 0, wrong = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const double d = signedDistance(outline, pixelCentre(x, y));
            if (std::abs(d) < 1.0) continue;  // edge pixels are partly covered
            const bool object = grey(at(pixels, x, y));
            inside += d < 0;
            if (object != (d < 0)) ++wrong;
        }
    EXPECT_GT(inside, 20000);
    EXPECT_EQ(wrong, 0) << "pixels more than a pixel away from the projected outline on the wrong side";
}

TEST_F(RendererGl, TheShadowLiesWhereTheLightProjectsTheBeamOntoTheGround) {
    // Lights behind and above the beam: the shadow falls towards the camera, with the band where
    // the beam stands on the ground in sight. One light sits over the beam's middle, one off to
    // the side (a shadow mirrored in the map is then elsewhere).
    const struct {
        Vec3f light, target;
    } lights[] = {{{1.0f, 1.9f, 3.0f}, {1.0f, 0.25f, 0.0f}}, {{0.3f, 1.9f, 3.0f}, {1.2f, 0.25f, 0.0f}}};
    const Vec3f saved = scene_->view().lightPos;
    float savedView[16];
    std::copy(scene_->view().lightView, scene_->view().lightView + 16, savedView);
    for (const auto& [light, target] : lights) {
        scene_->view().lightPos = light;
        const Matrix4 l = lookAtView(light, target - light, Vec3f(0, 0, 1));
        std::copy(l.m.begin(), l.m.end(), scene_->view().lightView);
        renderer_->settings().enableShadows = true;
        const auto lit = frame("shadow-located");
        renderer_->settings().enableShadows = false;
        const auto plain = frame();

        // The shadow: every corner projected from the light onto z = 0, then into the window.
        const Pinhole camera;
        std::vector<Point2> shadowPoints, objectPoints;
        for (const Vec3f& c : beamCorners()) {
            const float s = light.z / (light.z - c.z);
            shadowPoints.push_back(camera(light + (c - light) * s));
            objectPoints.push_back(camera(c));
        }
        const auto shadow = convexHull(shadowPoints), object = convexHull(objectPoints);
        constexpr double kTolerance = 3.0;  // pixels: the filtered edge and the map's texels
        int inShadow = 0, missing = 0, stray = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const Point2 q = pixelCentre(x, y);
                if (signedDistance(object, q) < 1.5) continue;            // the beam or its edge
                if (!near(at(plain, x, y), 230, 175, 120, 30)) continue;  // not the near ground
                const double d = signedDistance(shadow, q);
                const bool dark = brightness(at(lit, x, y)) + 30 < brightness(at(plain, x, y));
                if (d < -kTolerance) {
                    ++inShadow;
                    missing += !dark;
                } else if (d > kTolerance) {
                    stray += dark;
                }
            }
        const std::string where = "light at " + std::to_string(light.x) + " " + std::to_string(light.y);
        EXPECT_GT(inShadow, 5000) << where << ": the shadow is in sight";
        EXPECT_EQ(missing, 0) << where << ": lit ground inside the projected shadow";
        EXPECT_EQ(stray, 0) << where << ": shadow outside the projected shadow";
    }
    scene_->view().lightPos = saved;
    std::copy(savedView, savedView + 16, scene_->view().lightView);
}

/// Handles on the faces that look at the camera (front y = 0, top z = 0.5), and handles well
/// behind them (the beam's inside, its back and its ends).
void splitHandles(const std::vector<Vec3f>& pos, std::vector<int>& facing, std::vector<int>& hidden) {
    for (size_t i = 0; i < pos.size(); ++i) {
        const Vec3f& p = pos[i];
        if (std::abs(p.y) < 1e-4f || std::abs(p.z - 0.5f) < 1e-4f) facing.push_back(int(i));
        else if (p.y > 0.1f && p.z < 0.4f) hidden.push_back(int(i));
    }
}

TEST_F(RendererGl, EveryHandleFacingTheEyeIsPickedAtItsCentreAndNoHiddenOneShows) {
    renderer_->settings().renderForcesVertices = true;
    frame("handles-picked");
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(*scene_->model(), pos, types);
    std::vector<int> facing, hidden;
    splitHandles(pos, facing, hidden);
    ASSERT_EQ(facing.size(), 3321u) << "81 x 21 on the front and on the top, 81 shared";
    // Each handle at the pixel that holds its projected centre, or, where the ray through that
    // pixel's centre finds no part of the sphere the renderer draws (in front of the beam's
    // surface, or up to half a radius behind it) clearly enough for the depth buffer, at the
    // nearest pixel whose ray does. The depth buffer's step at view depth z is about
    // z^2 / near * 2^-24 (near plane 0.001, 24 bits).
    const Pinhole camera;
    const double r = scene_->view().vertexHandleRadius;
    int missed = 0;
    for (int i : facing) {
        const Vec3f& p = pos[size_t(i)];
        const Point2 c = camera(p);
        const double z = -((p.x - camera.e[0]) * camera.z[0] + (p.y - camera.e[1]) * camera.z[1] +
                           (p.z - camera.e[2]) * camera.z[2]);
        const double margin = 0.1 * r + 2 * z * z / 0.001 * std::ldexp(1.0, -24);
        int px = -1, py = -1;
        double best = 1e9;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int x = int(c[0]) + dx, y = int(c[1]) + dy;
                const auto d = camera.ray(x + 0.5, y + 0.5);
                const double hit = sphereEntry(camera.e, d, p, r);
                const double off = std::hypot(x + 0.5 - c[0], y + 0.5 - c[1]);
                if (hit - 0.5 * r < beamEntry(camera.e, d) - margin && off < best)
                    best = off, px = x, py = y;
            }
        ASSERT_GE(px, 0) << "handle " << i << " covers a pixel centre";
        if (renderer_->getObjectId(px, py) != makeObjectId(ObjectKind::VertexHandle, std::uint32_t(i))) ++missed;
    }
    EXPECT_EQ(missed, 0) << "of " << facing.size() << " handles facing the eye";
    std::set<std::uint32_t> shown;
    renderer_->collectObjectIds(0, 0, kWidth - 1, kHeight - 1, shown);
    int visibleHidden = 0;
    for (int i : hidden) visibleHidden += int(shown.count(makeObjectId(ObjectKind::VertexHandle, std::uint32_t(i))));
    EXPECT_GT(hidden.size(), 20000u);
    EXPECT_EQ(visibleHidden, 0) << "handles behind the surface show through";
}

/// The vertex at a world position of the beam (-1 when there is none).
int vertexAt(const std::vector<Vec3f>& pos, const Vec3f& p) {
    for (size_t i = 0; i < pos.size(); ++i)
        if (length(pos[i] - p) < 1e-4f) return int(i);
    return -1;
}

TEST_F(RendererGl, AnArrowRunsAlongItsForceWithItsDisplayLength) {
    FemModel& m = *scene_->model();
    const std::vector<Vec3f> pos = handlesWithoutForces();
    const float r = scene_->view().vertexHandleRadius;
    const float len = 0.1f * std::sqrt(4.5f);  // a tenth of the beam's diagonal
    const struct {
        const char* what;
        Vec3f vertex, force;
        Vec3f tail;  // where the arrow must start: it keeps out of the beam
    } cases[] = {
        {"up from the top face", {1.0f, 0.25f, 0.5f}, {0, 0, 3}, {1.0f, 0.25f, 0.5f + 1.5f * r}},
        {"down onto the top face, from above", {1.0f, 0.25f, 0.5f}, {0, 0, -300},
         {1.0f, 0.25f, 0.5f + 1.5f * r + len}},
        {"along the front face, moved off it", {1.0f, 0.0f, 0.25f}, {40, 0, 0},
         {1.0f + 1.5f * r, -(0.2f * len + r), 0.25f}},
    };
    renderer_->settings().editorActive = true;
    const Pinhole camera;
    for (const auto& c : cases) {
        m.clearForces();
        const int v = vertexAt(pos, c.vertex);
        ASSERT_GE(v, 0) << c.what;
        for (int a = 0; a < 3; ++a) m.setForceComponent(v, a, c.force[a]);
        frame("arrow");
        const Vec3f d = c.force / length(c.force);
        const Point2 tail = camera(c.tail), tip = camera(c.tail + d * len);
        const double onScreen = std::hypot(tip[0] - tail[0], tip[1] - tail[1]);
        // The head's radius (a fifth of the length) on screen, bounded by its distance.
        const double headRadius = 0.2 * len / length(c.tail - Vec3f(0.2f, -2.2f, 1.6f)) *
                                  (kHeight / 2) / std::tan(M_PI / 8);
        int count = 0, offAxis = 0;
        double first = 1e9, last = -1e9;
        const std::uint32_t want = makeObjectId(ObjectKind::ForceArrow, std::uint32_t(v));
        std::set<std::uint32_t> all;
        renderer_->collectObjectIds(0, 0, kWidth - 1, kHeight - 1, all);
        ASSERT_TRUE(all.count(want)) << c.what << ": the arrow is in sight";
        // Pixel by pixel inside a box around the expected arrow; outside it, none of its pixels.
        const int margin = int(headRadius) + 20;
        const int x0 = int(std::min(tail[0], tip[0])) - margin, x1 = int(std::max(tail[0], tip[0])) + margin;
        const int y0 = int(std::min(tail[1], tip[1])) - margin, y1 = int(std::max(tail[1], tip[1])) + margin;
        for (const auto& [ax, ay, bx, by] : {std::array<int, 4>{0, 0, kWidth - 1, y0 - 1},
                                             std::array<int, 4>{0, y1 + 1, kWidth - 1, kHeight - 1},
                                             std::array<int, 4>{0, y0, x0 - 1, y1},
                                             std::array<int, 4>{x1 + 1, y0, kWidth - 1, y1}}) {
            std::set<std::uint32_t> around;
            renderer_->collectObjectIds(ax, ay, bx, by, around);
            EXPECT_FALSE(around.count(want)) << c.what << ": arrow pixels far from its place";
        }
        for (int y = std::max(y0, 0); y <= std::min(y1, kHeight - 1); ++y)
            for (int x = std::max(x0, 0); x <= std::min(x1, kWidth - 1); ++x) {
                if (renderer_->getObjectId(x, y) != want) continue;
                const auto [dist, along] = segmentDistance(tail, tip, pixelCentre(x, y));
                ++count;
                if (dist > headRadius + 1.5) ++offAxis;
                first = std::min(first, along);
                last = std::max(last, along);
            }
        EXPECT_GT(onScreen, 40) << c.what;
        EXPECT_GT(count, 30) << c.what;
        EXPECT_EQ(offAxis, 0) << c.what << ": pixels away from the arrow's axis";
        EXPECT_NEAR(first, 0, 2.0) << c.what << ": the tail";
        EXPECT_NEAR(last, onScreen, 2.0) << c.what << ": the tip";
    }
}

TEST_F(RendererGl, WireFrameEdgesOnTheGroundStayVisible) {
    // The beam's lower edges (z = 0) lie in the ground: in wire frame their lines must be drawn
    // over the ground along their whole length, also seen from low above the ground.
    renderer_->settings().wireFrame = true;
    const struct {
        Vec3f eye, target;
    } views[] = {{{0.2f, -2.2f, 1.6f}, {1.0f, 0.25f, 0.2f}}, {{-0.6f, -1.8f, 0.25f}, {1.0f, 0.25f, 0.1f}},
                 {{2.9f, -1.2f, 0.12f}, {1.0f, 0.25f, 0.1f}}};
    for (const auto& v : views) {
        renderer_->setViewMatrix(lookAtView(v.eye, v.target - v.eye, Vec3f(0, 0, 1)));
        const auto pixels = frame("wireframe-ground");
        const Pinhole camera(v.eye, v.target);
        int samples = 0, drawn = 0;
        for (const auto& [a, b] : {std::pair{Vec3f(0, 0, 0), Vec3f(2, 0, 0)},
                                   std::pair{Vec3f(0, 0, 0), Vec3f(2, 0.5f, 0)}}) {
            for (int k = 1; k < 100; ++k) {
                const Point2 q = camera(a + (b - a) * (k / 100.0f));
                if (q[0] < 1 || q[1] < 1 || q[0] > kWidth - 2 || q[1] > kHeight - 2) continue;
                bool line = false;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        line |= grey(at(pixels, int(q[0]) + dx, int(q[1]) + dy));
                ++samples;
                drawn += line;
            }
        }
        EXPECT_GT(samples, 150);
        EXPECT_EQ(drawn, samples) << "places along the edges without their line, eye at " << v.eye.x
                                  << " " << v.eye.y << " " << v.eye.z;
    }
}

TEST_F(RendererGl, EveryExampleShowsItsLoadArrows) {
    // Each example's load as the editor shows it, from in front, to the right and above: the
    // arrows stand out of the solid, above the ground, long enough to see.
    for (const char* name : {"cantilever", "bridge", "bracket", "ring"}) {
        ostrel::testing::SceneProblem scene{DeviceOptions{}};
        std::wostringstream log;
        ASSERT_TRUE(scene.loadScene(fromUtf8(std::string(OSTREL_EXAMPLES_DIR "/") + name + "/scene.txt"), &log))
            << name;
        CutSceneRenderer renderer(&scene, scene.model());
        ASSERT_TRUE(renderer.onCreateDevice());
        ASSERT_TRUE(renderer.onCreateSwapChain(kWidth, kHeight));
        renderer.setProjection(cameraProjection(float(kWidth) / kHeight));
        const Vec3f c = scene.center(), h = scene.mesh().halfSize;
        const float r = length(h);
        const Vec3f eye = c + Vec3f(0.8f * r, -2.2f * r, 1.6f * r);
        renderer.setViewMatrix(lookAtView(eye, c - eye, Vec3f(0, 0, 1)));
        renderer.settings().editorActive = true;
        gl_->beginFrame();
        renderer.render();
        const auto pixels = gl_->readPixels();
        if (const char* dir = std::getenv("OSTREL_SCREENSHOT_DIR"))
            GlTestContext::writePpm(std::string(dir) + "/example-" + name + ".ppm", pixels, kWidth, kHeight);
        std::set<std::uint32_t> ids;
        renderer.collectObjectIds(0, 0, kWidth - 1, kHeight - 1, ids);
        size_t loaded = 0, seen = 0;
        const FemModel& m = *scene.model();
        for (int v = 0; v < m.numVertices(0); ++v) {
            const size_t i = 3 * size_t(v);
            if (m.forces()[i] == 0 && m.forces()[i + 1] == 0 && m.forces()[i + 2] == 0) continue;
            ++loaded;
            seen += ids.count(makeObjectId(ObjectKind::ForceArrow, std::uint32_t(v)));
        }
        int green = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const Rgb p = at(pixels, x, y);
                green += p.g > p.r + 60 && p.g > p.b + 60;
            }
        EXPECT_GT(loaded, 20u) << name;
        EXPECT_GE(seen * 10, loaded) << name << ": arrows in sight";
        EXPECT_GT(green, 1500) << name << ": green arrow pixels";
        renderer.onReleasingSwapChain();
        renderer.onDestroyDevice();
    }
}

TEST_F(RendererGl, AnArrowIsLitByTheNormalsOfItsShaft) {
    // A horizontal arrow along the front face, lit by the scene's light: on its shaft the green
    // follows the diffuse term of the cylinder's own normals, computed here by casting the eye
    // rays against the cylinder.
    FemModel& m = *scene_->model();
    const std::vector<Vec3f> pos = handlesWithoutForces();
    const int v = vertexAt(pos, Vec3f(1.0f, 0.0f, 0.25f));
    ASSERT_GE(v, 0);
    m.setForceComponent(v, 0, 40);
    renderer_->settings().editorActive = true;
    const auto pixels = frame("arrow-lit");

    const float r = scene_->view().vertexHandleRadius, len = 0.1f * std::sqrt(4.5f);
    const Vec3f tail(1.0f + 1.5f * r, -(0.2f * len + r), 0.25f);
    const double radius = 0.1 * len, shaft = 0.6 * len;  // the arrow mesh's shaft
    const Vec3f light = scene_->view().lightPos;
    const Pinhole camera;
    const std::uint32_t want = makeObjectId(ObjectKind::ForceArrow, std::uint32_t(v));
    const Point2 a = camera(tail), b = camera(tail + Vec3f(float(shaft), 0, 0));
    std::vector<double> expected, green;
    for (int y = int(std::min(a[1], b[1])) - 15; y <= int(std::max(a[1], b[1])) + 15; ++y)
        for (int x = int(a[0]) - 2; x <= int(b[0]) + 2; ++x) {
            if (renderer_->getObjectId(x, y) != want) continue;
            // The eye ray against the infinite cylinder about the axis y = tail.y, z = tail.z.
            const auto d = camera.ray(x + 0.5, y + 0.5);
            const double oy = camera.e[1] - tail.y, oz = camera.e[2] - tail.z;
            const double qa = d[1] * d[1] + d[2] * d[2], qb = oy * d[1] + oz * d[2];
            const double disc = qb * qb - qa * (oy * oy + oz * oz - radius * radius);
            if (disc < 0) continue;
            const double t = (-qb - std::sqrt(disc)) / qa;
            const double hx = camera.e[0] + t * d[0], hy = camera.e[1] + t * d[1], hz = camera.e[2] + t * d[2];
            // Only the shaft's side, away from its ends.
            if (hx < tail.x + 0.1 * shaft || hx > tail.x + 0.9 * shaft) continue;
            const double ny = (hy - tail.y) / radius, nz = (hz - tail.z) / radius;
            const double lx = light.x - hx, ly = light.y - hy, lz = light.z - hz;
            const double diffuse = std::max(0.0, (ny * ly + nz * lz) / std::sqrt(lx * lx + ly * ly + lz * lz));
            expected.push_back(diffuse);
            green.push_back(at(pixels, x, y).g);
        }
    ASSERT_GT(expected.size(), 100u) << "shaft pixels";
    // Pearson correlation of the expected diffuse term and the green channel.
    const auto mean = [](const std::vector<double>& u) {
        double s = 0;
        for (double x : u) s += x;
        return s / double(u.size());
    };
    const double me = mean(expected), mg = mean(green);
    double see = 0, sgg = 0, seg = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        see += (expected[i] - me) * (expected[i] - me);
        sgg += (green[i] - mg) * (green[i] - mg);
        seg += (expected[i] - me) * (green[i] - mg);
    }
    EXPECT_GT(seg / std::sqrt(see * sgg), 0.9) << expected.size() << " shaft pixels";
}

}  // namespace

namespace {

/// One frame's colours and the object IDs it shows.
struct Picture {
    std::vector<std::uint8_t> pixels;
    std::set<std::uint32_t> ids;
    int handles = 0;
};

}  // namespace

TEST_F(RendererGl, LeavingOutTheHandlesTheSurfaceHidesChangesNoPixelAndNoId) {
    // The ring with every handle drawn and with the enclosed ones left out, from views around
    // it, from inside its solid and inside its hole, in wire frame, without the surface and over
    // a smaller optimized shape: the same picture and the same IDs every time; the handles are
    // left out only in the views from outside with the input surface drawn opaque.
    ostrel::testing::SceneProblem scene{DeviceOptions{}};
    std::wostringstream log;
    ASSERT_TRUE(scene.loadScene(fromUtf8(OSTREL_EXAMPLES_DIR "/ring/scene.txt"), &log));
    CutSceneRenderer renderer(&scene, scene.model());
    ASSERT_TRUE(renderer.onCreateDevice());
    ASSERT_TRUE(renderer.onCreateSwapChain(kWidth, kHeight));
    renderer.setProjection(cameraProjection(float(kWidth) / kHeight));
    renderer.settings().editorActive = true;
    const FemModel& m = *scene.model();
    const int n = m.numVertices(0);
    const EnclosedHandles enclosed = findEnclosedHandles(m, scene.mesh(), scene.view().vertexHandleRadius);
    ASSERT_GT(enclosed.enclosed, std::uint32_t(n / 3));
    // An enclosed vertex as far inside as the ring's thickness allows: the one nearest the
    // middle of the solid between the centre and the box's side at mid-height.
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(m, pos, types);
    std::vector<bool> shown(size_t(n), false);
    for (std::uint32_t v : enclosed.shown) shown[v] = true;
    const Vec3f c = scene.center(), h = scene.mesh().halfSize;
    Vec3f inSolid = c;
    float best = 1e30f;
    for (int v = 0; v < n; ++v) {
        const Vec3f target = c + Vec3f(0.85f * h.x, 0, 0);
        if (!shown[size_t(v)] && length(pos[size_t(v)] - target) < best)
            best = length(pos[size_t(v)] - target), inSolid = pos[size_t(v)];
    }
    ASSERT_LT(best, 0.2f * h.x) << "an enclosed vertex in the ring's solid";
    const float r = length(h);
    TriangleMesh smaller = scene.mesh();
    smaller.scale(0.8f);

    const struct {
        const char* what;
        Vec3f eye, target;
        int mode;  // 0 plain, 1 wire frame, 2 no surface, 3 optimized shape
        bool leftOut;
    } views[] = {
        {"front, above", c + Vec3f(-0.8f * r, -2.2f * r, 1.6f * r), c, 0, true},
        {"behind, low", c + Vec3f(1.5f * r, 2.0f * r, 0.2f * r), c, 0, true},
        {"side", c + Vec3f(3 * r, 0, 0.5f * r), c, 0, true},
        {"from the top", c + Vec3f(0.01f, 0.02f, 3 * r), c, 0, true},
        {"close to the rim", c + Vec3f(0, -h.y - 0.05f * r, 0), c + Vec3f(h.x, 0, 0), 0, true},
        {"inside the solid", inSolid, inSolid + Vec3f(0, 1, 0.2f), 0, false},
        {"inside the solid, the other way", inSolid, inSolid + Vec3f(-1, 0.1f, 0), 0, false},
        {"in the hole", c, c + Vec3f(1, 0.3f, 0.1f), 0, false},
        {"wire frame", c + Vec3f(-0.8f * r, -2.2f * r, 1.6f * r), c, 1, false},
        {"no surface", c + Vec3f(-0.8f * r, -2.2f * r, 1.6f * r), c, 2, false},
        {"optimized shape", c + Vec3f(-0.8f * r, -2.2f * r, 1.6f * r), c, 3, false},
    };
    for (const auto& view : views) {
        renderer.setViewMatrix(lookAtView(view.eye, view.target - view.eye, Vec3f(0, 0, 1)));
        renderer.settings().wireFrame = view.mode == 1;
        renderer.settings().renderSurface = view.mode != 2;
        ASSERT_TRUE(renderer.setOptimizedMesh(view.mode == 3 ? &smaller : nullptr));
        Picture pictures[2];
        for (bool skip : {false, true}) {
            renderer.settings().skipEnclosedHandles = skip;
            gl_->beginFrame();
            renderer.render();
            Picture& p = pictures[skip];
            p.pixels = gl_->readPixels();
            renderer.collectObjectIds(0, 0, kWidth - 1, kHeight - 1, p.ids);
            p.handles = renderer.handlesDrawn();
        }
        EXPECT_EQ(pictures[0].handles, n) << view.what;
        EXPECT_EQ(pictures[1].handles, view.leftOut ? int(enclosed.shown.size()) : n) << view.what;
        EXPECT_GT(pictures[0].ids.size(), 100u) << view.what << ": handles in sight";
        EXPECT_TRUE(pictures[0].ids == pictures[1].ids) << view.what << ": the IDs in sight differ";
        size_t differ = 0;
        for (size_t i = 0; i < pictures[0].pixels.size(); ++i) differ += pictures[0].pixels[i] != pictures[1].pixels[i];
        EXPECT_EQ(differ, 0u) << view.what << ": pixel components differ";
        if (const char* dir = std::getenv("OSTREL_SCREENSHOT_DIR"))
            GlTestContext::writePpm(std::string(dir) + "/ring-" + std::to_string(&view - views) + ".ppm",
                                    pictures[1].pixels, kWidth, kHeight);
    }
    renderer.onReleasingSwapChain();
    renderer.onDestroyDevice();
}
