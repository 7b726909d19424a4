#pragma once
// The places where the editor and the control panels plug into the window's input hooks,
// keyboard, frame render and frame move. Each is optional (empty = nothing there).

#include <functional>

#include "framework/InputEvents.h"
#include "geometry/Matrix4.h"

namespace ostrel {

struct WindowHooks {
    /// (1) of the mouse hook: the editor's OnMouseEvent; true = taken, no further handler.
    std::function<bool(const MouseEvent& event)> editorMouse;
    /// (3) of the input hooks while the controls are shown: the device panel, then the main
    /// controls; true = taken (for the mouse: the cursor is over a panel, which also decides
    /// whether a press starts a panel drag). Empty: taken when ImGui wants the mouse or the
    /// keyboard.
    std::function<bool(const MouseEvent& event)> panelsMouse;
    std::function<bool(const KeyEvent& event)> panelsKey;
    /// The keyboard callback: the key events the hooks did not take.
    std::function<void(const KeyEvent& event)> keyboard;
    /// Frame render step 6: both panels draw themselves (ImGui) while the controls are shown.
    std::function<void(int width, int height, float elapsed)> drawPanels;
    /// Frame move: the editor refreshes its camera axes from the frame's view matrix.
    std::function<void(const Matrix4& view)> updateCameraAxes;
    /// The editor's mode for the statistics text (0 view, 1 fixations, 2 forces).
    std::function<int()> editorMode;
    /// The window is asked to close; false keeps it open.
    std::function<bool()> closeRequested;
};

}  // namespace ostrel
