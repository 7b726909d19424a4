#include "app/WindowLoop.h"

#include <cstdio>

#include "app/RunControl.h"
#include "framework/WindowFramework.h"
#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "render/CutSceneRenderer.h"

namespace ostrel {

std::string windowTitleText(double framesPerSecond) {
    char text[64];
    std::snprintf(text, sizeof(text), "Ostrel @ %.2f fps", framesPerSecond);
    return text;
}

WindowLoop::WindowLoop(WindowFramework& framework, Camera& camera, CutSceneRenderer& renderer,
                       DeviceCallbacks& device, RunControl* runControl, const WindowHooks& hooks)
    : framework_(framework),
      camera_(camera),
      renderer_(renderer),
      device_(device),
      runControl_(runControl),
      hooks_(hooks) {}

void WindowLoop::onMessage(const WindowMessage& m, bool& noFurtherProcessing) {
    if (hooks_.editorMouseMessage && hooks_.editorMouseMessage(m.message, m.lParam)) {
        noFurtherProcessing = true;
        return;
    }
    camera_.HandleMessage(m.message, m.wParam, m.lParam);
    noFurtherProcessing = false;
    if (framework_.settingsDialogShown()) {
        if (m.message == win::WM_KEYDOWN && m.wParam == win::VK_F2)
            framework_.setSettingsDialogShown(false);
        return;
    }
    if (!device_.controlsShown())
        return;
    if (hooks_.panelsMessage) {
        noFurtherProcessing = hooks_.panelsMessage(m);
        return;
    }
    // Without panels the device panel's hot key still opens the device-settings dialog.
    if (m.message == win::WM_KEYDOWN && m.wParam == win::VK_F2) {
        framework_.setSettingsDialogShown(true);
        noFurtherProcessing = true;
        return;
    }
    const bool mouse = m.message >= win::WM_MOUSEMOVE && m.message <= win::WM_MOUSEWHEEL;
    const bool key = m.message >= win::WM_KEYDOWN && m.message <= win::WM_SYSKEYUP;
    noFurtherProcessing =
        (mouse && framework_.guiWantsMouse()) || (key && framework_.guiWantsKeyboard());
}

void WindowLoop::onKeyboard(win::UINT key, bool keyDown, bool altDown) {
    if (hooks_.keyboard)
        hooks_.keyboard(key, keyDown, altDown);
}

void WindowLoop::onFrameMove(double time, float elapsed) {
    if (firstFrame_) {
        lastTitleTime_ = time;
        firstFrame_ = false;
    }
    if (time - lastTitleTime_ > kTitleIntervalSeconds && framework_.isWindowed()) {
        framework_.setWindowTitle(windowTitleText(framework_.framesPerSecond()));
        lastTitleTime_ = time;
    }
    camera_.Update(elapsed);
    frameView_ = camera_.viewMatrix();
    renderer_.SetViewMatrix(frameView_);
    if (hooks_.updateCameraAxes)
        hooks_.updateCameraAxes(frameView_);
    if (runControl_)
        runControl_->frameMove(time, elapsed);
}

}  // namespace ostrel
