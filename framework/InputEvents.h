#pragma once
// The input events that the window framework delivers to the application: keys, mouse and
// focus, each a small value. InputTranslator.h makes them from GLFW's callbacks.
//
// - KeyEvent: one of the keys the program knows, pressed, auto-repeated or released, with the
//   modifiers held. isDown() is true for a press and for an auto-repeat.
// - MouseEvent: a move, a button press or release, or a wheel turn, at the cursor position in
//   client pixels (whole pixels, y growing downwards, negative or beyond the window while a
//   button is held), with the buttons held after the event and the modifiers. A press that
//   completes a double click has doubleClick set; it is still a press. The wheel counts
//   kWheelUnitsPerNotch units per notch, positive away from the user.
// - FocusEvent: the window gained or lost the keyboard focus. A loss ends every drag: receivers
//   forget the keys and buttons they hold.

#include <cstdint>

namespace ostrel {

// clang-format off
enum class Key : std::uint8_t {
    None,
    A, B, C, D, E, F, G, H, I, J, K, L, M, N, O, P, Q, R, S, T, U, V, W, X, Y, Z,
    Digit0, Digit1, Digit2, Digit3, Digit4, Digit5, Digit6, Digit7, Digit8, Digit9,
    Numpad0, Numpad1, Numpad2, Numpad3, Numpad4, Numpad5, Numpad6, Numpad7, Numpad8, Numpad9,
    F1, F2, F3, F4, F5, F6, F7, F8, F9, F10, F11, F12,
    Space, Enter, Escape, Tab, Backspace, Insert, Delete, Pause,
    Left, Right, Up, Down, PageUp, PageDown, Home, End,
    Shift, Control, Alt,
};
// clang-format on

struct Modifiers {
    bool shift = false;
    bool control = false;
    bool alt = false;
    bool operator==(const Modifiers&) const = default;
};

enum class KeyAction : std::uint8_t { Press, Repeat, Release };

struct KeyEvent {
    Key key = Key::None;
    KeyAction action = KeyAction::Press;
    Modifiers modifiers;

    /// A press or an auto-repeat.
    bool isDown() const { return action != KeyAction::Release; }
    bool operator==(const KeyEvent&) const = default;
};

/// A mouse button; the values are the bits of MouseEvent::buttons.
enum class MouseButton : std::uint8_t { None = 0, Left = 1, Middle = 2, Right = 4 };

constexpr unsigned buttonBit(MouseButton button) { return unsigned(button); }

enum class MouseAction : std::uint8_t { Move, Press, Release, Wheel };

inline constexpr int kWheelUnitsPerNotch = 120;

struct MouseEvent {
    MouseAction action = MouseAction::Move;
    MouseButton button = MouseButton::None;  ///< pressed or released; None for moves and wheel
    bool doubleClick = false;                ///< a press that completes a double click
    int x = 0, y = 0;                        ///< client pixels, y downwards
    unsigned buttons = 0;                    ///< buttonBit()s held after the event
    int wheel = 0;                           ///< Wheel: units, kWheelUnitsPerNotch per notch
    Modifiers modifiers;

    bool isPress(MouseButton b) const { return action == MouseAction::Press && button == b; }
    bool isRelease(MouseButton b) const { return action == MouseAction::Release && button == b; }
    bool operator==(const MouseEvent&) const = default;
};

struct FocusEvent {
    bool focused = false;
    bool operator==(const FocusEvent&) const = default;
};

}  // namespace ostrel
