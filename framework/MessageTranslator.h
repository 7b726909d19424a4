#pragma once
// Translation of GLFW input into the window messages of WindowMessages.h. Pure: it needs no
// window, so tables of events can be checked without a display.
//
// - Keys: GLFW_PRESS/GLFW_REPEAT -> WM_KEYDOWN (WM_SYSKEYDOWN while Alt is held), GLFW_RELEASE ->
//   WM_KEYUP (WM_SYSKEYUP); wParam is the virtual-key code; lParam has bit 30 set for a repeat
//   and bit 29 while Alt is held. Keys without a virtual-key code give no message.
// - Cursor: WM_MOUSEMOVE with the held buttons and modifiers (MK_*) in wParam and the client
//   position (whole pixels, y downwards) in the signed 16-bit halves of lParam.
// - Buttons: left/right/middle down, up and double click. A press of the same button within
//   kDoubleClickSeconds of the last press and within kDoubleClickPixels of its position is a
//   double click; the press after a double click starts counting again.
// - Wheel: WM_MOUSEWHEEL with 120 units per notch; fractions of a notch are carried to the next
//   event so that smooth scrolling adds up to the same total.
// - Focus: WM_SETFOCUS; on loss WM_CAPTURECHANGED (when buttons were held, their capture ends)
//   and WM_KILLFOCUS, and the translator forgets every held button.

#include <vector>

#include "framework/WindowMessages.h"

namespace ostrel {

struct WindowMessage {
    win::UINT message = 0;
    win::WPARAM wParam = 0;
    win::LPARAM lParam = 0;
    bool operator==(const WindowMessage&) const = default;
};

/// The virtual-key code of a GLFW key (GLFW_KEY_*), 0 for keys that have none.
win::UINT virtualKeyFromGlfw(int glfwKey);

class MessageTranslator {
  public:
    static constexpr double kDoubleClickSeconds = 0.5;
    static constexpr int kDoubleClickPixels = 4;  ///< width and height of the double-click box

    /// GLFW key callback arguments (key, action, mods).
    std::vector<WindowMessage> key(int glfwKey, int action, int mods);
    /// GLFW cursor position in client pixels.
    std::vector<WindowMessage> cursor(double x, double y, int mods);
    /// GLFW mouse button callback arguments; `time` in seconds (for double clicks).
    std::vector<WindowMessage> button(int glfwButton, int action, int mods, double time);
    /// GLFW scroll offset (vertical; +1 per notch away from the user).
    std::vector<WindowMessage> scroll(double yOffset, int mods);
    std::vector<WindowMessage> focus(bool focused);

    /// MK_* bits of the held buttons (and the modifiers in `mods`).
    win::WPARAM keyState(int mods) const;
    int x() const { return x_; }
    int y() const { return y_; }

  private:
    win::LPARAM position() const { return win::makeMouseLParam(x_, y_); }

    int x_ = 0, y_ = 0;
    win::WPARAM buttons_ = 0;  ///< MK_LBUTTON | MK_RBUTTON | MK_MBUTTON held
    int lastDownButton_ = -1;
    double lastDownTime_ = 0;
    int lastDownX_ = 0, lastDownY_ = 0;
    double wheelRemainder_ = 0;
};

}  // namespace ostrel
