#pragma once
// The application's side of the window loop: the input hooks and the frame move.
//
// Panels first: a mouse press (the first button of a drag) over a panel or while the
// device-settings dialog is shown starts a drag that belongs to them: the press, its moves and
// its releases until no button is held reach neither the editor nor the camera (ImGui gets them
// through its own GLFW back end). A drag that starts elsewhere goes on as below even when it
// crosses a panel.
//
// Input hooks, in order, for mouse and key events: (1) the editor's mouse handler (mouse events
// only); when it takes the event the no-further-processing flag is set and nothing else sees it;
// (2) the camera's input handler, then the flag is cleared; (3) with the device-settings dialog
// shown the dialog has the input and F2 (pressed or repeated without Alt) hides it; otherwise,
// while the controls are shown, the panels, whose answer becomes the flag. Without panel hooks,
// ImGui's wish for the mouse or keyboard is the flag and F2 shows the dialog (the device panel's
// hot key). Focus events go to the camera alone and end a panel drag.
//
// Frame move, in order: the first call remembers its time as the last title time; more than
// 0.5 s later, while windowed, the title becomes "Ostrel @ <fps with 2 decimals> fps"; the
// camera moves by the frame time, its view matrix goes to the renderer and to the editor's
// camera axes; then the run control performs its step while its run flag is set.
//
// The picture changes by itself (isAnimating) while the run flag is set or the camera moves; the
// window waits for input otherwise.

#include <string>

#include "app/WindowHooks.h"

namespace ostrel {

class Camera;
class CutSceneRenderer;
class DeviceCallbacks;
class RunControl;
class WindowFramework;

/// "Ostrel @ 59.94 fps".
std::string windowTitleText(double framesPerSecond);

class WindowLoop {
  public:
    static constexpr double kTitleIntervalSeconds = 0.5;

    /// Nothing is owned; everything must outlive the loop. `runControl` may be null.
    WindowLoop(WindowFramework& framework, Camera& camera, CutSceneRenderer& renderer,
               DeviceCallbacks& device, RunControl* runControl, const WindowHooks& hooks);

    /// The input hooks; true = no further processing.
    bool onMouse(const MouseEvent& event);
    bool onKey(const KeyEvent& event);
    void onFocus(const FocusEvent& event);
    void onFrameMove(double time, float elapsed);
    void onKeyboard(const KeyEvent& event);
    bool isAnimating() const;
    /// The window is asked to close: the hook's answer, true without one.
    bool onCloseRequested() const { return !hooks_.closeRequested || hooks_.closeRequested(); }

    const Matrix4& frameView() const { return frameView_; }

    /// A drag that started over a panel or the dialog is in progress.
    bool isPanelDrag() const { return panelDrag_; }

  private:
    /// Whether a press at the event's cursor lands on a panel or the dialog.
    bool pressOverPanels(const MouseEvent& event) const;

    WindowFramework& framework_;
    Camera& camera_;
    CutSceneRenderer& renderer_;
    DeviceCallbacks& device_;
    RunControl* runControl_;
    const WindowHooks& hooks_;
    bool panelDrag_ = false;
    bool firstFrame_ = true;
    double lastTitleTime_ = 0;
    Matrix4 frameView_;
};

}  // namespace ostrel
