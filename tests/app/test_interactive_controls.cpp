// The editing side plugged into the window's hooks, without a window: the renderer without a
// device (its object-ID buffer reads 0), the framework without a display.

#include "app/InteractiveControls.h"
#include "framework/WindowFramework.h"
#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "render/CutSceneRenderer.h"
#include "tests/app/ControlsRig.h"

namespace ostrel {
namespace {

using namespace ostrel::testing;

class InteractiveTest : public ControlsTest {
  protected:
    void SetUp() override {
        ControlsTest::SetUp();
        placeCamera(camera_, scene_.center(), scene_.defaultViewPos_,
                    scene_.defaultHeadingPitchRoll_);
        interactive_ = std::make_unique<InteractiveControls>(
            scene_, *run_, renderer_, camera_, framework_, device_, sceneFile_.wstring());
        interactive_->plugInto(hooks_);
    }
    void keyDown(UINT key, bool alt = false) { hooks_.keyboard(key, true, alt); }

    CutSceneRenderer renderer_{&scene_};
    Camera camera_;
    WindowFramework framework_{FrameworkFlags{}};
    DeviceCallbacks device_{framework_, renderer_, camera_};
    WindowHooks hooks_;
    std::unique_ptr<InteractiveControls> interactive_;
};

TEST_F(InteractiveTest, EveryHookIsFilled) {
    EXPECT_TRUE(hooks_.editorMouseMessage);
    EXPECT_TRUE(hooks_.panelsMessage);
    EXPECT_TRUE(hooks_.keyboard);
    EXPECT_TRUE(hooks_.drawPanels);
    EXPECT_TRUE(hooks_.updateCameraAxes);
    EXPECT_TRUE(hooks_.editorMode);
}

TEST_F(InteractiveTest, KeysReachTheEditorTheRendererAndTheCamera) {
    EXPECT_EQ(hooks_.editorMode(), 0);
    keyDown('V');
    EXPECT_EQ(hooks_.editorMode(), 1);
    EXPECT_TRUE(renderer_.settings().editorActive);
    keyDown('D');
    EXPECT_FALSE(renderer_.settings().editorActive);

    ASSERT_EQ(camera_.mode(), Camera::kModeOrbit);
    keyDown(VK_SPACE);
    EXPECT_EQ(camera_.mode(), Camera::kModeFree);
    keyDown('2');
    EXPECT_EQ(camera_.heading(), 90.0f);
}

TEST_F(InteractiveTest, PanelVisibilityFollowsU) {
    EXPECT_TRUE(device_.controlsShown());
    keyDown('U');
    EXPECT_FALSE(device_.controlsShown());
    EXPECT_FALSE(hooks_.panelsMessage({WM_KEYDOWN, 'W', 0}));
    EXPECT_FALSE(renderer_.settings().wireFrame);
    keyDown('U', true);
    EXPECT_TRUE(device_.controlsShown());
    EXPECT_TRUE(hooks_.panelsMessage({WM_KEYDOWN, 'W', 0}));
    EXPECT_TRUE(renderer_.settings().wireFrame);
    // F2 shows the framework's device settings dialog.
    EXPECT_TRUE(hooks_.panelsMessage({WM_KEYDOWN, VK_F2, 0}));
    EXPECT_TRUE(framework_.settingsDialogShown());
}

TEST_F(InteractiveTest, MouseGoesToTheEditor) {
    // View mode: nothing under the cursor, so the camera gets the press.
    EXPECT_FALSE(hooks_.editorMouseMessage(WM_RBUTTONDOWN, makeMouseLParam(10, 10)));
    keyDown('V');
    EXPECT_TRUE(hooks_.editorMouseMessage(WM_RBUTTONDOWN, makeMouseLParam(10, 10)));
    EXPECT_TRUE(hooks_.editorMouseMessage(WM_RBUTTONUP, makeMouseLParam(30, 30)));
    EXPECT_FALSE(hooks_.editorMouseMessage(WM_RBUTTONUP, makeMouseLParam(30, 30)));
}

TEST_F(InteractiveTest, FrameMoveRefreshesTheEditorsCameraAxes) {
    keyDown('2');
    hooks_.updateCameraAxes(camera_.viewMatrix());
    const Editor& editor = interactive_->editor();
    EXPECT_NEAR(editor.viewDirection().y, 1.0f, 1e-5);
    EXPECT_NEAR(editor.up().z, 1.0f, 1e-5);
    EXPECT_NEAR(editor.eye().x, camera_.position().x, 1e-4);
}

}  // namespace
}  // namespace ostrel
