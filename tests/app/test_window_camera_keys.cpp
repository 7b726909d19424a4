// The keys' view of the real camera: mode switch with the orbit distance, angles, the default
// view, and the axes that the light key takes.

#include <gtest/gtest.h>

#include <cmath>

#include "app/WindowCameraKeys.h"
#include "render/Camera.h"

namespace ostrel {
namespace {

void expectNear(const Vec3f& a, const Vec3f& b, float tolerance = 1e-4f) {
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(a[k], b[k], tolerance) << k;
}

class CameraKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        placeCamera(camera_, {1, 0.25f, 0.25f}, {-4, 0.25f, 0.25f}, {0, 0, 0});
    }
    Camera camera_;
    WindowCameraKeys keys_{camera_};
};

TEST_F(CameraKeysTest, SpaceSwitchesModesAndTakesTheDistance) {
    ASSERT_EQ(camera_.mode(), Camera::kModeOrbit);
    ASSERT_NEAR(camera_.orbitDistance(), 5.0f, 1e-5);
    keys_.toggleOrbitMode();
    EXPECT_EQ(camera_.mode(), Camera::kModeFree);
    // Fly away in free mode, then back to orbit: the distance is the eye's distance now.
    camera_.setPosition({1, -2.75f, 4.25f});
    camera_.updateView();
    keys_.toggleOrbitMode();
    EXPECT_EQ(camera_.mode(), Camera::kModeOrbit);
    EXPECT_NEAR(camera_.orbitDistance(), 5.0f, 1e-5);
    // The eye is placed on the orbit at once, along the current heading.
    expectNear(camera_.position(), Vec3f(1, 0.25f, 0.25f) - camera_.forward() * 5.0f);
    expectNear(keys_.eyePosition(), camera_.position());
}

TEST_F(CameraKeysTest, AnglesRecomputeTheView) {
    camera_.setTurn(30);
    keys_.setAngles(90, 0, 0, 0);
    EXPECT_EQ(camera_.heading(), 90.0f);
    EXPECT_EQ(camera_.turn(), 0.0f);
    expectNear(keys_.forward(), {0, 1, 0});
    expectNear(keys_.up(), {0, 0, 1});
    expectNear(camera_.position(), {1, -4.75f, 0.25f});  // orbit: the eye moved with the heading
    expectNear(keys_.headingPitchRoll(), {90, 0, 0});
    const Vec4f eye = camera_.viewMatrix() *
                      Vec4f{camera_.position().x, camera_.position().y, camera_.position().z, 1};
    EXPECT_NEAR(eye.x, 0, 1e-5);
    EXPECT_NEAR(eye.z, 0, 1e-5);
}

TEST_F(CameraKeysTest, DefaultViewInBothModes) {
    keys_.moveTo({1, 0.25f, 3.25f}, {0, 90, 0});  // above the centre, looking down
    EXPECT_NEAR(camera_.orbitDistance(), 3.0f, 1e-5);
    expectNear(camera_.position(), {1, 0.25f, 3.25f});
    expectNear(keys_.forward(), {0, 0, -1});
    EXPECT_EQ(camera_.turn(), 0.0f);

    keys_.toggleOrbitMode();  // free flight keeps the eye where it is put
    keys_.moveTo({7, 8, 9}, {10, 20, 30});
    expectNear(camera_.position(), {7, 8, 9});
    expectNear(keys_.headingPitchRoll(), {10, 20, 30});
}

}  // namespace
}  // namespace ostrel
