#pragma once
// Translation of GLFW input into the events of InputEvents.h. Pure: it needs no window, so
// tables of events can be checked without a display.
//
// - Keys: GLFW_PRESS, GLFW_REPEAT and GLFW_RELEASE become a press, an auto-repeat and a
//   release of the key; Alt counts as held for the Alt keys themselves. Keys the program does
//   not know give no event.
// - Cursor: a move with the held buttons, at whole pixels (rounded down; y downwards).
// - Buttons: left, right and middle presses and releases; other buttons give no event. A press
//   of the same button within kDoubleClickSeconds of the last press and within
//   kDoubleClickPixels of its position completes a double click; the press after a double click
//   starts counting again.
// - Wheel: kWheelUnitsPerNotch units per notch; fractions of a unit are carried to the next
//   event so that smooth scrolling adds up to the same total, and a turn of less than one unit
//   gives no event.
// - Focus: gained or lost; a loss forgets every held button.

#include <optional>

#include "framework/InputEvents.h"

namespace ostrel {

/// The program's key for a GLFW key (GLFW_KEY_*); Key::None for keys it does not know.
Key keyFromGlfw(int glfwKey);

class InputTranslator {
  public:
    static constexpr double kDoubleClickSeconds = 0.5;
    static constexpr int kDoubleClickPixels = 4;  ///< width and height of the double-click box

    /// GLFW key callback arguments (key, action, mods).
    std::optional<KeyEvent> key(int glfwKey, int action, int mods) const;
    /// GLFW cursor position in client pixels.
    MouseEvent cursor(double x, double y, int mods);
    /// GLFW mouse button callback arguments; `time` in seconds (for double clicks).
    std::optional<MouseEvent> button(int glfwButton, int action, int mods, double time);
    /// GLFW scroll offset (vertical; +1 per notch away from the user).
    std::optional<MouseEvent> scroll(double yOffset, int mods);
    FocusEvent focus(bool focused);

    /// buttonBit()s of the held buttons.
    unsigned buttonsHeld() const { return buttons_; }
    int x() const { return x_; }
    int y() const { return y_; }

  private:
    MouseEvent mouseEvent(MouseAction action, int mods) const;

    int x_ = 0, y_ = 0;
    unsigned buttons_ = 0;
    int lastDownButton_ = -1;
    double lastDownTime_ = 0;
    int lastDownX_ = 0, lastDownY_ = 0;
    double wheelRemainder_ = 0;
};

/// GLFW modifier bits (GLFW_MOD_*) as Modifiers.
Modifiers modifiersFromGlfw(int mods);

}  // namespace ostrel
