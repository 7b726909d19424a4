// The first picture of the window: every example and a part in millimetres lie whole inside the
// free area of the default 800 x 600 window (left of the main panel, below the statistics text,
// clear of the device panel), seen from their stored three-quarter view with the camera and the
// projection as the window sets them up. Every vertex of the prepared mesh is projected: the
// silhouette lies inside their convex hull, and so inside the free rectangle.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>

#include "app/ControlPanels.h"
#include "core/Console.h"
#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "scene/ViewFraming.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 800, kHeight = 600;

/// Pixel bounds (y downward) of the points seen from `camera` through `projection`.
struct Bounds {
    float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
    bool behind = false;
};

template <typename Points>
Bounds pictureBounds(const Points& points, const Camera& camera, const Matrix4& projection) {
    Bounds b;
    for (const Vec3f& p : points) {
        const Vec4f c = projection * (camera.viewMatrix() * Vec4f{p.x, p.y, p.z, 1});
        if (!(c.w > 0)) {
            b.behind = true;
            continue;
        }
        const float x = (c.x / c.w + 1) * 0.5f * kWidth, y = (1 - c.y / c.w) * 0.5f * kHeight;
        b.x0 = std::min(b.x0, x), b.x1 = std::max(b.x1, x);
        b.y0 = std::min(b.y0, y), b.y1 = std::max(b.y1, y);
    }
    return b;
}

void expectInside(const Bounds& b, const PixelArea& free) {
    EXPECT_FALSE(b.behind);
    EXPECT_GE(b.x0, free.x0);
    EXPECT_LE(b.x1, free.x1);
    EXPECT_GE(b.y0, free.y0);
    EXPECT_LE(b.y1, free.y1);
    // Not lost in the corner either: the part spans a good share of the free area.
    EXPECT_GT(std::max((b.x1 - b.x0) / (free.x1 - free.x0), (b.y1 - b.y0) / (free.y1 - free.y0)),
              0.5f);
}

TEST(StartView, TheFreeAreaLiesClearOfThePanelsAndTheText) {
    const PixelArea free = ControlPanels::freeArea(kWidth, kHeight);
    ASSERT_FALSE(free.empty());
    const float mainLeft = kWidth - ControlPanels::kMargin - ControlPanels::kMainWidth;
    const float deviceLeft = kWidth - ControlPanels::kMargin - ControlPanels::kDeviceWidth;
    EXPECT_LT(free.x1, mainLeft);
    EXPECT_LT(free.x1, deviceLeft);
    EXPECT_GE(free.y0, float(DeviceCallbacks::kTextY + 5 * DeviceCallbacks::kTextLineHeight));
    EXPECT_EQ(free.x0, 0.0f);
    EXPECT_EQ(free.y1, float(kHeight));
    // A window too narrow for a free column beside the panel centres the picture as before.
    EXPECT_TRUE(ControlPanels::freeArea(500, 600).empty());
    EXPECT_TRUE(ControlPanels::freeArea(800, 100).empty());
}

TEST(StartView, EveryExampleLiesWholeInTheFreeArea) {
    const PixelArea free = ControlPanels::freeArea(kWidth, kHeight);
    int examples = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(OSTREL_EXAMPLES_DIR)) {
        if (!entry.is_directory())
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++examples;
        ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
        std::wostringstream log;
        ::testing::internal::CaptureStdout();
        const bool loaded = scene.loadScene(fromUtf8((entry.path() / "scene.txt").string()), &log);
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded) << toUtf8(log.str());
        Camera camera;
        camera.setLengthScale(scene.view().lengthScale);
        placeCamera(camera, scene.center(), scene.view().defaultViewPos, scene.view().defaultHeadingPitchRoll);
        std::vector<Vec3f> points;
        for (const MeshVertex& v : scene.mesh().vertices)
            points.push_back(v.position);
        expectInside(pictureBounds(points, camera,
                                   viewProjection(kWidth, kHeight, scene.view().lengthScale, free)),
                     free);
    }
    EXPECT_EQ(examples, 5);
}

TEST(StartView, APartInMillimetresAtEverySizeLiesWholeInTheFreeArea) {
    // The corners of a 100 x 20 x 30 box and of the same box at other sizes.
    const PixelArea free = ControlPanels::freeArea(kWidth, kHeight);
    Bounds first;
    for (float size : {1e-3f, 1.0f, 100.0f, 1e4f}) {
        SCOPED_TRACE(size);
        const Vec3f half = Vec3f(0.5f, 0.1f, 0.15f) * size;
        const float scale = lengthScale(half);
        const StoredView view = threeQuarterView(half, half);
        Camera camera;
        camera.setLengthScale(scale);
        placeCamera(camera, half, view.position, view.headingPitchRoll);
        std::vector<Vec3f> corners;
        for (int i = 0; i < 8; ++i)
            corners.push_back({i & 1 ? 2 * half.x : 0, i & 2 ? 2 * half.y : 0, i & 4 ? 2 * half.z : 0});
        const Bounds b =
            pictureBounds(corners, camera, viewProjection(kWidth, kHeight, scale, free));
        expectInside(b, free);
        if (size == 1e-3f)
            first = b;
        EXPECT_NEAR(b.x0, first.x0, 0.01f);
        EXPECT_NEAR(b.y1, first.y1, 0.01f);
    }
}

}  // namespace
}  // namespace ostrel
