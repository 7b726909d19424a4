#pragma once
// The places where the editor and the control panels plug into the window's message hook,
// keyboard, frame render and frame move. Each is optional (empty = nothing there).

#include <functional>

#include "framework/MessageTranslator.h"
#include "geometry/Matrix4.h"

namespace ostrel {

struct WindowHooks {
    /// (1) of the message hook: the editor's OnMouseMessage; true = taken, no further handler.
    std::function<bool(win::UINT message, win::LPARAM lParam)> editorMouseMessage;
    /// (3) of the message hook while the controls are shown: the device panel, then the main
    /// controls; true = taken. Empty: taken when ImGui wants the mouse or keyboard.
    std::function<bool(const WindowMessage& message)> panelsMessage;
    /// The keyboard callback: virtual-key code, key down, Alt held.
    std::function<void(win::UINT key, bool keyDown, bool altDown)> keyboard;
    /// Frame render step 6: both panels draw themselves (ImGui) while the controls are shown.
    std::function<void(int width, int height, float elapsed)> drawPanels;
    /// Frame move: the editor refreshes its camera axes from the frame's view matrix.
    std::function<void(const Matrix4& view)> updateCameraAxes;
    /// The editor's mode for the statistics text (0 view, 1 fixations, 2 forces).
    std::function<int()> editorMode;
};

}  // namespace ostrel
