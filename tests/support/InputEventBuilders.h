#pragma once
// Input events as the framework delivers them, for the tests of their receivers: key presses,
// repeats and releases; mouse moves, button presses (double clicks), releases and wheel turns
// at a cursor position. The buttons held are whatever the test passes.

#include "framework/InputEvents.h"

namespace ostrel::testing {

inline KeyEvent keyPress(Key key, bool alt = false) {
    return {key, KeyAction::Press, Modifiers{false, false, alt}};
}
inline KeyEvent keyRepeat(Key key, bool alt = false) {
    return {key, KeyAction::Repeat, Modifiers{false, false, alt}};
}
inline KeyEvent keyRelease(Key key, bool alt = false) {
    return {key, KeyAction::Release, Modifiers{false, false, alt}};
}

inline MouseEvent mouseMove(int x, int y, unsigned buttons = 0) {
    MouseEvent e;
    e.action = MouseAction::Move;
    e.x = x;
    e.y = y;
    e.buttons = buttons;
    return e;
}
inline MouseEvent mousePress(MouseButton button, int x, int y, bool doubleClick = false) {
    MouseEvent e = mouseMove(x, y, buttonBit(button));
    e.action = MouseAction::Press;
    e.button = button;
    e.doubleClick = doubleClick;
    return e;
}
inline MouseEvent mouseRelease(MouseButton button, int x, int y) {
    MouseEvent e = mouseMove(x, y);
    e.action = MouseAction::Release;
    e.button = button;
    return e;
}
/// `units`: kWheelUnitsPerNotch per notch, positive away from the user.
inline MouseEvent mouseWheel(int units, int x = 0, int y = 0) {
    MouseEvent e = mouseMove(x, y);
    e.action = MouseAction::Wheel;
    e.wheel = units;
    return e;
}

}  // namespace ostrel::testing
