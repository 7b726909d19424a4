#pragma once
// The editing side of the window: the editor on the renderer's object-ID buffer, the camera
// keys, the save dialog, the control handlers and the two panels, plugged into the window's
// hooks:
//   input hooks (1): the editor's mouse handler; (3): the panels' hotkeys and mouse;
//   keyboard: the key handler (the device callbacks follow the panel visibility);
//   frame render step 6: the panels; frame move: the editor's camera axes and the save dialog;
//   statistics text: the editor's mode; the device callbacks' free area: the part of the window
//   the panels leave free (ControlPanels::freeArea); the close request: Controls::closeRequested.
// The editor's force edits act on the controls' chosen load case, and the renderer draws the
// other cases' arrows dimmed (Controls::loadCases).
// The device panel's full-screen and device buttons use the framework; the driver of the OpenGL
// device cannot change while the program runs, so REF and WARP only say so.
// Nothing passed in is owned; the scene, run control, renderer, camera, framework and device
// callbacks must outlive this object and the hooks it filled. Window thread only.

#include <memory>
#include <string>

#include "app/ControlPanels.h"
#include "app/Controls.h"
#include "app/SaveDialog.h"
#include "app/WindowCameraKeys.h"
#include "app/WindowHooks.h"
#include "render/Editor.h"

namespace ostrel {

class Camera;
class CutSceneRenderer;
class DeviceCallbacks;
class RunControl;
class Problem;
class Scene;
class WindowFramework;

class InteractiveControls {
  public:
    InteractiveControls(Scene& scene, Problem& problem, RunControl& run, CutSceneRenderer& renderer,
                        Camera& camera,
                        WindowFramework& framework, DeviceCallbacks& device,
                        std::wstring sceneFile);
    /// Takes the load cases back from the renderer.
    ~InteractiveControls();
    InteractiveControls(const InteractiveControls&) = delete;
    InteractiveControls& operator=(const InteractiveControls&) = delete;

    /// Fills the hooks; they refer to this object. Closing the window with unsaved edits asks
    /// whether to write them (the zenity dialog) unless -noerrormsgboxes or -automation was
    /// given (Controls::closeRequested).
    void plugInto(WindowHooks& hooks);

    Editor& editor() { return editor_; }
    Controls& controls() { return controls_; }
    ControlPanels& panels() { return panels_; }

  private:
    DeviceCallbacks& device_;
    CutSceneRenderer& renderer_;
    bool askOnClose_;
    Editor editor_;
    WindowCameraKeys cameraKeys_;
    ZenitySaveDialog saveDialog_;
    Controls controls_;
    ControlPanels panels_;
};

}  // namespace ostrel
