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

namespace {

/// The device panel's hot key F2, pressed or repeated without Alt.
bool isF2Down(const KeyEvent& event) {
    return event.key == Key::F2 && event.isDown() && !event.modifiers.alt;
}

}  // namespace

bool WindowLoop::pressOverPanels(const MouseEvent& event) const {
    if (framework_.settingsDialogShown())
        return true;  // the dialog covers the whole back buffer
    if (!device_.controlsShown())
        return false;
    return hooks_.panelsMouse ? hooks_.panelsMouse(event) : framework_.guiWantsMouse();
}

bool WindowLoop::onMouse(const MouseEvent& event) {
    // A click on a control must never edit the model or turn the view behind it.
    if (event.action == MouseAction::Press && event.buttons == buttonBit(event.button))
        panelDrag_ = pressOverPanels(event);
    if (panelDrag_) {
        if (event.action == MouseAction::Release && event.buttons == 0)
            panelDrag_ = false;
        return true;
    }
    if (hooks_.editorMouse && hooks_.editorMouse(event))
        return true;
    camera_.handleMouse(event);
    if (framework_.settingsDialogShown() || !device_.controlsShown())
        return false;
    if (hooks_.panelsMouse)
        return hooks_.panelsMouse(event);
    return framework_.guiWantsMouse();
}

bool WindowLoop::onKey(const KeyEvent& event) {
    camera_.handleKey(event);
    if (framework_.settingsDialogShown()) {
        if (isF2Down(event))
            framework_.setSettingsDialogShown(false);
        return false;
    }
    if (!device_.controlsShown())
        return false;
    if (hooks_.panelsKey)
        return hooks_.panelsKey(event);
    // Without panels the device panel's hot key still opens the device-settings dialog.
    if (isF2Down(event)) {
        framework_.setSettingsDialogShown(true);
        return true;
    }
    return framework_.guiWantsKeyboard();
}

void WindowLoop::onFocus(const FocusEvent& event) {
    if (!event.focused)
        panelDrag_ = false;
    camera_.handleFocus(event);
}

void WindowLoop::onKeyboard(const KeyEvent& event) {
    if (hooks_.keyboard)
        hooks_.keyboard(event);
}

bool WindowLoop::isAnimating() const {
    return (runControl_ && runControl_->isRunning()) || camera_.isMoving();
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
    camera_.update(elapsed);
    frameView_ = camera_.viewMatrix();
    renderer_.setViewMatrix(frameView_);
    if (hooks_.updateCameraAxes)
        hooks_.updateCameraAxes(frameView_);
    if (runControl_)
        runControl_->frameMove(time, elapsed);
}

}  // namespace ostrel
