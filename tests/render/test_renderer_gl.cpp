// The scene renderer on Mesa's software OpenGL (run under xvfb-run): the cantilever example's
// frame, shadows, wire frame, handles and arrows with their object IDs, the read-back, resize,
// device loss and the cached shadow map. Set OSTREL_SCREENSHOT_DIR to keep the frames as PPM.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "render/CutSceneRendererEffect.h"
#include "render/RendererMath.h"
#include "render/CutSceneRenderer.h"
#include "render/toolkit/SimpleDrawer.h"
#include "scene/Scene.h"
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
        scene_ = new Scene(DeviceOptions{});
        std::wostringstream log;
        loaded_ = scene_->loadScene(fromUtf8(OSTREL_EXAMPLES_DIR "/cantilever/scene.txt"), &log);
        // A light above and in front of the beam, so that its shadow falls on visible ground.
        const Vec3f pos(1.0f, -1.2f, 3.0f), target(1.0f, 0.25f, 0.0f);
        scene_->lightPos_ = pos;
        const Matrix4 l = lookAtView(pos, target - pos, Vec3f(0, 0, 1));
        for (int i = 0; i < 16; ++i) scene_->lightView_[i] = l.m[size_t(i)];
    }
    static void TearDownTestSuite() {
        delete scene_;
        delete gl_;
    }
    void SetUp() override {
        ASSERT_TRUE(gl_->ok()) << "no OpenGL context (run under xvfb-run)";
        ASSERT_TRUE(loaded_);
        renderer_ = std::make_unique<CutSceneRenderer>(scene_);
        ASSERT_TRUE(renderer_->OnCreateDevice());
        ASSERT_TRUE(renderer_->OnCreateSwapChain(kWidth, kHeight));
        renderer_->SetProjection(cameraProjection(float(kWidth) / kHeight));
        renderer_->SetViewMatrix(view());
    }
    void TearDown() override {
        if (renderer_) {
            renderer_->OnReleasingSwapChain();
            renderer_->OnDestroyDevice();
        }
        renderer_.reset();
        FemModel& m = *scene_->model();
        std::fill(m.isVertexFixed_.begin(), m.isVertexFixed_.end(), 0);
    }

    /// The camera: in front of the beam (2 x 0.5 x 0.5), looking at its middle from above.
    static Matrix4 view() {
        const Vec3f eye(0.2f, -2.2f, 1.6f), target(1.0f, 0.25f, 0.2f);
        return lookAtView(eye, target - eye, Vec3f(0, 0, 1));
    }
    std::vector<std::uint8_t> frame(const char* screenshot = nullptr) {
        gl_->beginFrame();
        renderer_->Render();
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
    static Scene* scene_;
    static bool loaded_;
    std::unique_ptr<CutSceneRenderer> renderer_;
};
GlTestContext* RendererGl::gl_ = nullptr;
Scene* RendererGl::scene_ = nullptr;
bool RendererGl::loaded_ = false;

bool near(const Rgb& c, int r, int g, int b, int tolerance) {
    return std::abs(c.r - r) <= tolerance && std::abs(c.g - g) <= tolerance && std::abs(c.b - b) <= tolerance;
}
int brightness(const Rgb& c) { return c.r + c.g + c.b; }

TEST_F(RendererGl, TheEffectsLoadWithEveryNameAndLayout) {
    CutSceneRendererEffect effect;
    ASSERT_EQ(effect.Load(), ostrel::gl::LoadStatus::Ok);
    EXPECT_EQ(effect.layoutCount, 6);
    EXPECT_NE(effect.renderSurfaceVertices, nullptr);
    ostrel::gl::SimpleDrawEffect simple;
    ASSERT_EQ(simple.Load(), ostrel::gl::LoadStatus::Ok);
    EXPECT_NE(simple.layout, nullptr);
}

TEST_F(RendererGl, TheLineDrawerDrawsItsBatchesInEveryMode) {
    ostrel::gl::SimpleDrawer drawer(4);  // small batches: every mode flushes several times
    ASSERT_TRUE(drawer.OnCreateDevice());
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
        drawer.SetUseDepth(false);
        drawer.SetColor(1, 0, 0, 1);
        drawer.Begin();
        drawer.SetMode(c.mode);
        for (const Vec3f& v : c.vertices) drawer.AddVertex(v);
        drawer.End();
        const auto pixels = gl_->readPixels();
        const Rgb p = at(pixels, c.x, c.y);
        EXPECT_EQ(p.r, 255) << "mode " << c.mode;
        EXPECT_EQ(p.g + p.b, 0) << "mode " << c.mode;
    }
    drawer.OnDestroyDevice();
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
    const ostrel::gl::LoadStatus status = effect.Load();
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
    EXPECT_EQ(effect.Load(), ostrel::gl::LoadStatus::Failed);
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
    for (int i = 0; i < m.numVertices(0); i += 2) m.isVertexFixed_[size_t(i)] = 1;
    renderer_->settings().renderForcesVertices = true;
    const auto pixels = frame("handles");
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(m, pos, types);
    int fixedSeen = 0, freeSeen = 0;
    for (size_t i = 0; i < pos.size(); ++i) {
        int x = 0, y = 0;
        if (!project(pos[i], x, y)) continue;
        const std::uint32_t id = renderer_->GetObjectId(x, y);
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
    const std::vector<float> saved = m.force_;
    std::fill(m.force_.begin(), m.force_.end(), 0.0f);
    std::vector<Vec3f> pos;
    std::vector<std::uint8_t> types;
    buildHandleInstances(m, pos, types);
    // An upward force on the top vertex over the beam's middle.
    int vertex = -1;
    for (size_t i = 0; i < pos.size(); ++i)
        if (std::abs(pos[i].x - 1.0f) < 1e-4f && std::abs(pos[i].y - 0.25f) < 1e-4f &&
            std::abs(pos[i].z - 0.5f) < 1e-4f)
            vertex = int(i);
    ASSERT_GE(vertex, 0);
    const float k = scene_->forceArrowScale_, r = scene_->vertexHandleRadius_;
    const Vec3f force(0, 0, 0.25f / k);  // an arrow 0.25 long
    for (int c = 0; c < 3; ++c) m.force_[size_t(3 * vertex + c)] = force[c];
    renderer_->settings().editorActive = true;
    frame("arrow");
    int x = 0, y = 0;
    ASSERT_TRUE(project(pos[size_t(vertex)] + Vec3f(0, 0, 1.5f * r + 0.1f), x, y));
    EXPECT_EQ(renderer_->GetObjectId(x, y), makeObjectId(ObjectKind::ForceArrow, std::uint32_t(vertex)));
    std::set<std::uint32_t> ids;
    renderer_->CollectObjectIds(x - 1, y - 1, x + 1, y + 1, ids);
    EXPECT_TRUE(ids.count(makeObjectId(ObjectKind::ForceArrow, std::uint32_t(vertex))));
    m.force_ = saved;
}

TEST_F(RendererGl, ReadBackOutsideTheBufferAndBackwardRectangles) {
    renderer_->settings().renderForcesVertices = true;
    frame();
    EXPECT_EQ(renderer_->GetObjectId(kWidth, 0), 0u);
    EXPECT_EQ(renderer_->GetObjectId(-1, 10), 0u);
    EXPECT_EQ(renderer_->GetObjectId(10, kHeight), 0u);
    EXPECT_EQ(renderer_->GetObjectId(0, 0), 0u);  // background
    std::set<std::uint32_t> forward, backward, flipped;
    renderer_->CollectObjectIds(300, 200, 500, 400, forward);
    renderer_->CollectObjectIds(500, 400, 300, 200, backward);
    renderer_->CollectObjectIds(300, 400, 500, 200, flipped);
    EXPECT_GT(forward.size(), 50u);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(forward, flipped);
    // Clipped to the buffer; entirely outside adds nothing.
    std::set<std::uint32_t> all, clipped, outside;
    renderer_->CollectObjectIds(0, 0, kWidth - 1, kHeight - 1, all);
    renderer_->CollectObjectIds(-100, -100, kWidth + 100, kHeight + 100, clipped);
    renderer_->CollectObjectIds(kWidth, 0, kWidth + 5, 5, outside);
    EXPECT_EQ(all, clipped);
    EXPECT_TRUE(outside.empty());
    EXPECT_TRUE(all.count(0u));
    // The read-back agrees pixel by pixel with the set.
    for (int y = 200; y <= 400; y += 37)
        for (int x = 300; x <= 500; x += 41) EXPECT_TRUE(forward.count(renderer_->GetObjectId(x, y)));
}

TEST_F(RendererGl, AFailedReadBackIsFatal) {
    frame();
    // Between releasing and recreating the swap chain the buffer does not exist: the read-back
    // fails, and the fatal report names the renderer's source file.
    renderer_->OnReleasingSwapChain();
    // The rasterizer runs threads: the dying child is a fresh run of this test, not a fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(renderer_->GetObjectId(10, 10),
                 "FATAL ERROR.*Mapping Object ID Buffer failed.*Source file .cutscenerenderer.");
    std::set<std::uint32_t> ids;
    EXPECT_DEATH(renderer_->CollectObjectIds(0, 0, 5, 5, ids), "Mapping Object ID Buffer failed");
    ASSERT_TRUE(renderer_->OnCreateSwapChain(kWidth, kHeight));
}

TEST_F(RendererGl, ResizeGivesTheObjectIdBufferTheNewSize) {
    renderer_->OnReleasingSwapChain();
    gl_->resize(400, 300);
    ASSERT_TRUE(renderer_->OnCreateSwapChain(400, 300));
    renderer_->SetProjection(cameraProjection(400.0f / 300.0f));
    renderer_->settings().renderForcesVertices = true;
    gl_->beginFrame();
    renderer_->Render();
    EXPECT_EQ(renderer_->width(), 400);
    EXPECT_EQ(renderer_->height(), 300);
    EXPECT_EQ(renderer_->GetObjectId(400, 0), 0u);
    std::set<std::uint32_t> ids;
    renderer_->CollectObjectIds(0, 0, 1000, 1000, ids);
    EXPECT_GT(ids.size(), 10u);
    renderer_->OnReleasingSwapChain();
    gl_->resize(kWidth, kHeight);
    ASSERT_TRUE(renderer_->OnCreateSwapChain(kWidth, kHeight));
}

TEST_F(RendererGl, ASwapChainOfNoPixelsFailsAndTheNextOneWorks) {
    renderer_->OnReleasingSwapChain();
    EXPECT_FALSE(renderer_->OnCreateSwapChain(0, kHeight));
    EXPECT_FALSE(renderer_->OnCreateSwapChain(kWidth, 0));
    ASSERT_TRUE(renderer_->OnCreateSwapChain(kWidth, kHeight));
}

TEST_F(RendererGl, TheCachedShadowGivesTheSamePictureAsRenderingItAgain) {
    const auto first = frame();
    const int renders = renderer_->shadowMapRenders();
    const auto cached = frame();
    EXPECT_EQ(renderer_->shadowMapRenders(), renders) << "nothing changed: the map is reused";
    EXPECT_EQ(first, cached);
    renderer_->SetOptimizedMesh(&scene_->mesh());  // a new shape: drawn again
    const auto again = frame();
    EXPECT_EQ(renderer_->shadowMapRenders(), renders + 1);
    EXPECT_EQ(first, again);
    // The head light follows the camera: every view change renders the map again.
    renderer_->settings().enableHeadLight = true;
    frame();
    renderer_->SetViewMatrix(translation(0.01f, 0, 0) * view());
    frame();
    EXPECT_EQ(renderer_->shadowMapRenders(), renders + 3);
    renderer_->SetViewMatrix(view());
    renderer_->SetOptimizedMesh(nullptr);
}

TEST_F(RendererGl, SettingsAndTheOptimizedMeshSurviveADeviceChange) {
    TriangleMesh small = scene_->mesh();
    small.scale(0.5f);
    ASSERT_TRUE(renderer_->SetOptimizedMesh(&small));
    renderer_->settings().renderCoordinateSystem = true;
    const auto before = frame("optimized-axes");
    renderer_->OnReleasingSwapChain();
    renderer_->OnDestroyDevice();
    ASSERT_TRUE(renderer_->OnCreateDevice());
    ASSERT_TRUE(renderer_->OnCreateSwapChain(kWidth, kHeight));
    EXPECT_TRUE(renderer_->settings().renderCoordinateSystem);
    const auto after = frame();
    EXPECT_EQ(before, after);
    renderer_->SetOptimizedMesh(nullptr);
    EXPECT_NE(frame(), before) << "the input mesh is drawn again";
}

}  // namespace
