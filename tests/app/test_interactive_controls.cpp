// The editing side plugged into the window's hooks, without a window: the renderer without a
// device (its object-ID buffer reads 0), the framework without a display, and for the panels an
// ImGui context with a built font atlas and no back end.

#include <imgui.h>

#include "app/InteractiveControls.h"
#include "app/WindowLoop.h"
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
        placeCamera(camera_, scene_.center(), scene_.view().defaultViewPos,
                    scene_.view().defaultHeadingPitchRoll);
        interactive_ = std::make_unique<InteractiveControls>(
            scene_, *scene_.problem(), *run_, renderer_, camera_, framework_, device_,
            sceneFile_.wstring());
        interactive_->plugInto(hooks_);
    }
    void keyDown(Key key, bool alt = false) { hooks_.keyboard(keyPress(key, alt)); }

    CutSceneRenderer renderer_{&scene_};
    Camera camera_;
    WindowFramework framework_{FrameworkFlags{}};
    DeviceCallbacks device_{framework_, renderer_, camera_};
    WindowHooks hooks_;
    std::unique_ptr<InteractiveControls> interactive_;
};

TEST_F(InteractiveTest, EveryHookIsFilled) {
    EXPECT_TRUE(hooks_.editorMouse);
    EXPECT_TRUE(hooks_.panelsMouse);
    EXPECT_TRUE(hooks_.panelsKey);
    EXPECT_TRUE(hooks_.keyboard);
    EXPECT_TRUE(hooks_.drawPanels);
    EXPECT_TRUE(hooks_.updateCameraAxes);
    EXPECT_TRUE(hooks_.editorMode);
}

TEST_F(InteractiveTest, KeysReachTheEditorTheRendererAndTheCamera) {
    EXPECT_EQ(hooks_.editorMode(), 0);
    keyDown(Key::V);
    EXPECT_EQ(hooks_.editorMode(), 1);
    EXPECT_TRUE(renderer_.settings().editorActive);
    keyDown(Key::D);
    EXPECT_FALSE(renderer_.settings().editorActive);

    ASSERT_EQ(camera_.mode(), Camera::kModeOrbit);
    keyDown(Key::Space);
    EXPECT_EQ(camera_.mode(), Camera::kModeFree);
    keyDown(Key::Digit2);
    EXPECT_EQ(camera_.heading(), 90.0f);
}

TEST_F(InteractiveTest, PanelVisibilityFollowsU) {
    EXPECT_TRUE(device_.controlsShown());
    keyDown(Key::U);
    EXPECT_FALSE(device_.controlsShown());
    EXPECT_FALSE(hooks_.panelsKey(keyPress(Key::W)));
    EXPECT_FALSE(renderer_.settings().wireFrame);
    keyDown(Key::U, true);
    EXPECT_TRUE(device_.controlsShown());
    EXPECT_TRUE(hooks_.panelsKey(keyPress(Key::W)));
    EXPECT_TRUE(renderer_.settings().wireFrame);
    // F2 shows the framework's device settings dialog.
    EXPECT_TRUE(hooks_.panelsKey(keyPress(Key::F2)));
    EXPECT_TRUE(framework_.settingsDialogShown());
}

TEST_F(InteractiveTest, MouseGoesToTheEditor) {
    // View mode: nothing under the cursor, so the camera gets the press.
    EXPECT_FALSE(hooks_.editorMouse(mousePress(MouseButton::Right, 10, 10)));
    keyDown(Key::V);
    EXPECT_TRUE(hooks_.editorMouse(mousePress(MouseButton::Right, 10, 10)));
    EXPECT_TRUE(hooks_.editorMouse(mouseRelease(MouseButton::Right, 30, 30)));
    EXPECT_FALSE(hooks_.editorMouse(mouseRelease(MouseButton::Right, 30, 30)));
}

TEST_F(InteractiveTest, FrameMoveRefreshesTheEditorsCameraAxes) {
    keyDown(Key::Digit2);
    hooks_.updateCameraAxes(camera_.viewMatrix());
    const Editor& editor = interactive_->editor();
    EXPECT_NEAR(editor.viewDirection().y, 1.0f, 1e-5);
    EXPECT_NEAR(editor.up().z, 1.0f, 1e-5);
    EXPECT_NEAR(editor.eye().x, camera_.position().x, 1e-4);
}

TEST_F(InteractiveTest, ARightClickOnThePanelsEditsNoHandleBehindThem) {
    ImGuiContext* context = ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(800, 600);
    io.DeltaTime = 1.0f / 60.0f;
    io.MousePos = ImVec2(100, 100);
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    ImGui::NewFrame();
    hooks_.drawPanels(800, 600, 0.0f);
    ImGui::Render();

    WindowLoop loop(framework_, camera_, renderer_, device_, nullptr, hooks_);
    keyDown(Key::V);  // fixation mode: the editor takes every right press
    const Editor& editor = interactive_->editor();
    // On "Main Controls", beside its buttons, and on the device panel: nothing for the editor.
    for (const auto& [x, y] : {std::pair{600, 500}, std::pair{700, 50}}) {
        EXPECT_TRUE(loop.onMouse(mousePress(MouseButton::Right, x, y)));
        EXPECT_FALSE(editor.isDragging());
        EXPECT_TRUE(loop.onMouse(mouseRelease(MouseButton::Right, x, y)));
    }
    // Over the model the same click is the editor's.
    EXPECT_TRUE(loop.onMouse(mousePress(MouseButton::Right, 200, 200)));
    EXPECT_TRUE(editor.isDragging());
    EXPECT_TRUE(loop.onMouse(mouseRelease(MouseButton::Right, 200, 200)));
    EXPECT_FALSE(editor.isDragging());
    ImGui::DestroyContext(context);
}

}  // namespace
}  // namespace ostrel
