// One scene at four sizes on Mesa's software OpenGL (run under xvfb-run): the cantilever beam
// (2 x 0.5 x 0.5 in its mesh file) scaled to a longest edge of 0.001, 1, 100 and 10000, with
// 16 x 4 x 4 voxels, a light and the three-quarter view all scaled alike, drawn as the window
// draws it (camera placed with the scene's length scale, viewProjection). Each picture must be
// the one of edge 1: the part's silhouette, the ground and the shadow on it (its place relative
// to the part), and the handle of a corner vertex under the pixel the corner projects to.
// Set OSTREL_SCREENSHOT_DIR to keep the pictures as PPM.
//
// Mutants (each applied by hand and run): the camera's near and far planes not scaled (the
// part vanishes at 10000, the ground's near part at 0.001), the light's planes not scaled (no
// shadow at 100 and 10000), the default light not scaled, the camera's speeds and nearest orbit
// distance not scaled (the eye stops 0.1 from the centre of the part of 0.001).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "render/Camera.h"
#include "render/CutSceneRenderer.h"
#include "render/DeviceCallbacks.h"
#include "render/RendererMath.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "scene/ViewFraming.h"
#include "support/GlTestContext.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

using testing::GlTestContext;
namespace fs = std::filesystem;

constexpr int kWidth = 800, kHeight = 600;

/// The beam's mesh and a scene of it scaled to a longest edge of `edge`: 16 x 4 x 4 voxels, the
/// vertices of x = 0 fixed, the light above the far side (+y) so that the shadow falls towards
/// the eye, and the three-quarter view.
fs::path writeScene(const fs::path& folder, double edge) {
    fs::copy_file(fs::path(OSTREL_EXAMPLES_DIR) / "cantilever" / "beam.obj", folder / "beam.obj",
                  fs::copy_options::overwrite_existing);
    const auto three = [edge](double x, double y, double z) {
        std::ostringstream s;
        s.precision(9);
        s << x * edge << ' ' << y * edge << ' ' << z * edge;
        return s.str();
    };
    const Vec3f half(0.5f * float(edge), 0.125f * float(edge), 0.125f * float(edge));
    const StoredView view = threeQuarterView(half, half);
    std::ostringstream fixed;
    for (int z = 0; z <= 4; ++z)
        for (int y = 0; y <= 4; ++y)
            fixed << (fixed.tellp() > 0 ? "  " : "") << "0 " << y << ' ' << z;
    std::ostringstream text;
    text.precision(9);
    text << "VOXEL_SIZE: " << three(1.0 / 16, 1.0 / 16, 1.0 / 16) << "\n"
         << "ELASTIC_MODULUS: 2e9\nPOISSON_RATIO: 0.394\nDENSITY: 1000\nDAMPING_FACTOR: 0.5\n"
         << "TIME_STEP: 0.05\nMESH: beam.obj\nMESH_SCALE_TO: " << edge << "\nNUM_LEVELS: 3\n"
         << "ADD_ADDITIONAL_SURFACE_VOXELS: 0\nFIXED_VERTICES: " << fixed.str() << "\n"
         << "FORCES: 16 0 0 0 0 -100\n"
         << "RENDERER_DEFAULT_VIEW_POS: " << view.position.x << ' ' << view.position.y << ' '
         << view.position.z << "\n"
         << "RENDERER_DEFAULT_HEADING_PITCH_ROLL: 60 25 0\n"
         << "RENDERER_LIGHT_POS: " << three(0.5, 1.0, 1.2) << "\n"
         << "RENDERER_LIGHT_DIR: " << three(0, -0.875, -1.2) << "\n"
         << "RENDERER_LIGHT_UP: 0 0 1\n";
    const fs::path file = folder / ("scene-" + std::to_string(edge) + ".txt");
    std::ofstream(file) << text.str();
    return file;
}

struct Picture {
    std::vector<std::uint8_t> rgba;
    int r(int x, int y) const { return rgba[(size_t(y) * kWidth + size_t(x)) * 4]; }
    int g(int x, int y) const { return rgba[(size_t(y) * kWidth + size_t(x)) * 4 + 1]; }
    int b(int x, int y) const { return rgba[(size_t(y) * kWidth + size_t(x)) * 4 + 2]; }
    int sum(int x, int y) const { return r(x, y) + g(x, y) + b(x, y); }
    bool differs(const Picture& o, int x, int y, int tolerance) const {
        return std::abs(r(x, y) - o.r(x, y)) > tolerance ||
               std::abs(g(x, y) - o.g(x, y)) > tolerance ||
               std::abs(b(x, y) - o.b(x, y)) > tolerance;
    }
};

/// What the tests read from the pictures of one scale.
struct Views {
    float lengthScale = 0;
    Picture full;     ///< surface, ground, shadow
    Picture unshaded; ///< the same without the shadow
    Picture part;     ///< the surface alone on black
    std::uint32_t idAtCorner = 0, expectedId = 0;
    int cornerX = -1, cornerY = -1;
};

class RendererScales : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gl_ = new GlTestContext(kWidth, kHeight);
        if (!gl_->ok())
            return;
        folder_ = new testing::ScratchFolder("renderer-scales");
        for (double edge : {1.0, 1e-3, 100.0, 1e4})
            views_.push_back(draw(edge));
    }
    static void TearDownTestSuite() {
        views_.clear();
        delete folder_;
        delete gl_;
    }
    void SetUp() override {
        ASSERT_TRUE(gl_->ok()) << "no OpenGL context (run under xvfb-run)";
        ASSERT_EQ(views_.size(), 4u) << "a scene did not load";
    }

    static Views draw(double edge) {
        Views v;
        ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
        std::wostringstream log;
        if (!scene.loadScene(fromUtf8(writeScene(folder_->path(), edge).string()), &log)) {
            ADD_FAILURE() << toUtf8(log.str());
            return v;
        }
        v.lengthScale = scene.view().lengthScale;
        Camera camera;
        camera.setLengthScale(scene.view().lengthScale);
        placeCamera(camera, scene.center(), scene.view().defaultViewPos, scene.view().defaultHeadingPitchRoll);
        const Matrix4 projection = viewProjection(kWidth, kHeight, scene.view().lengthScale, {});

        CutSceneRenderer renderer(&scene, scene.model());
        if (!renderer.onCreateDevice() || !renderer.onCreateSwapChain(kWidth, kHeight)) {
            ADD_FAILURE() << "no renderer";
            return v;
        }
        renderer.setProjection(projection);
        renderer.setViewMatrix(camera.viewMatrix());
        const std::string name = "scale-" + std::to_string(edge);
        RenderSettings& s = renderer.settings();
        v.full.rgba = frame(renderer, name);
        s.enableShadows = false;
        v.unshaded.rgba = frame(renderer, name + "-unshaded");
        s.renderGround = false;
        v.part.rgba = frame(renderer, name + "-part");

        // The handle of the free top corner at grid point (16, 0, 4) in front, drawn alone.
        s.renderGround = true;
        s.editorActive = true;
        frame(renderer, name + "-handles");
        const FemModel& m = *scene.model();
        const int corner = m.vertexAt(0, {16, 0, 4});
        std::vector<Vec3f> positions;
        std::vector<std::uint8_t> types;
        buildHandleInstances(m, positions, types);
        const Vec3f p = positions[size_t(corner)];
        const Vec4f c = projection * (camera.viewMatrix() * Vec4f{p.x, p.y, p.z, 1});
        v.cornerX = int(std::floor((c.x / c.w + 1) * 0.5f * kWidth));
        v.cornerY = int(std::floor((1 - c.y / c.w) * 0.5f * kHeight));
        v.idAtCorner = renderer.getObjectId(v.cornerX, v.cornerY);
        v.expectedId = makeObjectId(ObjectKind::VertexHandle, std::uint32_t(corner));
        renderer.onReleasingSwapChain();
        renderer.onDestroyDevice();
        return v;
    }
    static std::vector<std::uint8_t> frame(CutSceneRenderer& renderer, const std::string& name) {
        gl_->beginFrame(0, 0, 0);
        renderer.render();
        auto pixels = gl_->readPixels();
        if (const char* dir = std::getenv("OSTREL_SCREENSHOT_DIR"))
            GlTestContext::writePpm(std::string(dir) + "/" + name + ".ppm", pixels, kWidth,
                                    kHeight);
        return pixels;
    }

    static GlTestContext* gl_;
    static testing::ScratchFolder* folder_;
    static std::vector<Views> views_;
};
GlTestContext* RendererScales::gl_ = nullptr;
testing::ScratchFolder* RendererScales::folder_ = nullptr;
std::vector<Views> RendererScales::views_;

const char* const kNames[] = {"edge 1", "edge 0.001", "edge 100", "edge 10000"};

bool isPart(const Picture& p, int x, int y) { return p.sum(x, y) > 0; }

TEST_F(RendererScales, TheLengthScaleFollowsTheEdge) {
    const float expected[] = {1, 1e-3f, 100, 1e4f};
    for (size_t i = 0; i < views_.size(); ++i)
        EXPECT_FLOAT_EQ(views_[i].lengthScale, expected[i]) << kNames[i];
}

TEST_F(RendererScales, ThePartsSilhouetteIsTheSameAtEveryScale) {
    const Picture& one = views_[0].part;
    int area = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) area += isPart(one, x, y);
    ASSERT_GT(area, 5000) << "the part fills a good share of the window";
    for (size_t i = 1; i < views_.size(); ++i) {
        int changed = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                changed += isPart(one, x, y) != isPart(views_[i].part, x, y);
        EXPECT_LT(changed, area / 200) << kNames[i] << ": pixels in or out of the silhouette";
    }
}

TEST_F(RendererScales, GroundAndShadowLookAlikeAtEveryScale) {
    // Shadowed ground: pixels off the part that the shadow darkens.
    struct Shadow {
        int count = 0, ground = 0;
        double x = 0, y = 0;
    };
    const auto shadowOf = [](const Views& v) {
        Shadow s;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                if (isPart(v.part, x, y))
                    continue;
                // The ground's colour: warm, red above green above blue.
                if (v.unshaded.r(x, y) > v.unshaded.g(x, y) && v.unshaded.g(x, y) > v.unshaded.b(x, y))
                    ++s.ground;
                if (v.full.sum(x, y) + 30 < v.unshaded.sum(x, y)) {
                    ++s.count;
                    s.x += x;
                    s.y += y;
                }
            }
        if (s.count > 0)
            s.x /= s.count, s.y /= s.count;
        return s;
    };
    const Shadow one = shadowOf(views_[0]);
    ASSERT_GT(one.ground, kWidth * kHeight / 5) << "the ground fills the lower window";
    ASSERT_GT(one.count, 2000) << "a shadow on the ground";
    for (size_t i = 0; i < views_.size(); ++i) {
        const Shadow s = shadowOf(views_[i]);
        SCOPED_TRACE(kNames[i]);
        EXPECT_NEAR(s.ground, one.ground, one.ground / 100);
        EXPECT_NEAR(s.count, one.count, one.count / 50);
        EXPECT_NEAR(s.x, one.x, 1.0);
        EXPECT_NEAR(s.y, one.y, 1.0);
        // And the whole picture.
        int changed = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) changed += views_[i].full.differs(views_[0].full, x, y, 24);
        EXPECT_LT(changed, kWidth * kHeight / 200);
    }
}

TEST_F(RendererScales, PickingHitsTheHandleUnderTheMouseAtEveryScale) {
    for (size_t i = 0; i < views_.size(); ++i) {
        SCOPED_TRACE(kNames[i]);
        EXPECT_EQ(views_[i].cornerX, views_[0].cornerX);
        EXPECT_EQ(views_[i].cornerY, views_[0].cornerY);
        EXPECT_EQ(views_[i].idAtCorner, views_[i].expectedId);
    }
}

}  // namespace
}  // namespace ostrel
