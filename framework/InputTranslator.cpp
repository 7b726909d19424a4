#include "framework/InputTranslator.h"

#include <GLFW/glfw3.h>

#include <cmath>
#include <cstdlib>

namespace ostrel {

namespace {

/// The key `offset` places after `first` in the Key enumeration.
Key keyAfter(Key first, int offset) {
    return Key(int(first) + offset);
}

}  // namespace

Key keyFromGlfw(int k) {
    if (k >= GLFW_KEY_A && k <= GLFW_KEY_Z)
        return keyAfter(Key::A, k - GLFW_KEY_A);
    if (k >= GLFW_KEY_0 && k <= GLFW_KEY_9)
        return keyAfter(Key::Digit0, k - GLFW_KEY_0);
    if (k >= GLFW_KEY_KP_0 && k <= GLFW_KEY_KP_9)
        return keyAfter(Key::Numpad0, k - GLFW_KEY_KP_0);
    if (k >= GLFW_KEY_F1 && k <= GLFW_KEY_F12)
        return keyAfter(Key::F1, k - GLFW_KEY_F1);
    switch (k) {
        case GLFW_KEY_SPACE:
            return Key::Space;
        case GLFW_KEY_ESCAPE:
            return Key::Escape;
        case GLFW_KEY_ENTER:
        case GLFW_KEY_KP_ENTER:
            return Key::Enter;
        case GLFW_KEY_TAB:
            return Key::Tab;
        case GLFW_KEY_BACKSPACE:
            return Key::Backspace;
        case GLFW_KEY_INSERT:
            return Key::Insert;
        case GLFW_KEY_DELETE:
            return Key::Delete;
        case GLFW_KEY_RIGHT:
            return Key::Right;
        case GLFW_KEY_LEFT:
            return Key::Left;
        case GLFW_KEY_DOWN:
            return Key::Down;
        case GLFW_KEY_UP:
            return Key::Up;
        case GLFW_KEY_PAGE_UP:
            return Key::PageUp;
        case GLFW_KEY_PAGE_DOWN:
            return Key::PageDown;
        case GLFW_KEY_HOME:
            return Key::Home;
        case GLFW_KEY_END:
            return Key::End;
        case GLFW_KEY_PAUSE:
            return Key::Pause;
        case GLFW_KEY_LEFT_SHIFT:
        case GLFW_KEY_RIGHT_SHIFT:
            return Key::Shift;
        case GLFW_KEY_LEFT_CONTROL:
        case GLFW_KEY_RIGHT_CONTROL:
            return Key::Control;
        case GLFW_KEY_LEFT_ALT:
        case GLFW_KEY_RIGHT_ALT:
            return Key::Alt;
        default:
            return Key::None;
    }
}

Modifiers modifiersFromGlfw(int mods) {
    return {(mods & GLFW_MOD_SHIFT) != 0, (mods & GLFW_MOD_CONTROL) != 0,
            (mods & GLFW_MOD_ALT) != 0};
}

std::optional<KeyEvent> InputTranslator::key(int glfwKey, int action, int mods) const {
    const Key k = keyFromGlfw(glfwKey);
    if (k == Key::None)
        return std::nullopt;
    KeyEvent event{k, KeyAction::Press, modifiersFromGlfw(mods)};
    // GLFW reports the modifiers from before the event: an Alt key's own press lacks Alt.
    if (k == Key::Alt)
        event.modifiers.alt = true;
    if (action == GLFW_REPEAT)
        event.action = KeyAction::Repeat;
    else if (action == GLFW_RELEASE)
        event.action = KeyAction::Release;
    return event;
}

MouseEvent InputTranslator::mouseEvent(MouseAction action, int mods) const {
    MouseEvent event;
    event.action = action;
    event.x = x_;
    event.y = y_;
    event.buttons = buttons_;
    event.modifiers = modifiersFromGlfw(mods);
    return event;
}

MouseEvent InputTranslator::cursor(double x, double y, int mods) {
    x_ = int(std::floor(x));
    y_ = int(std::floor(y));
    return mouseEvent(MouseAction::Move, mods);
}

std::optional<MouseEvent> InputTranslator::button(int glfwButton, int action, int mods,
                                                  double time) {
    MouseButton which = MouseButton::None;
    switch (glfwButton) {
        case GLFW_MOUSE_BUTTON_LEFT:
            which = MouseButton::Left;
            break;
        case GLFW_MOUSE_BUTTON_RIGHT:
            which = MouseButton::Right;
            break;
        case GLFW_MOUSE_BUTTON_MIDDLE:
            which = MouseButton::Middle;
            break;
        default:
            return std::nullopt;
    }
    if (action == GLFW_RELEASE) {
        buttons_ &= ~buttonBit(which);
        MouseEvent event = mouseEvent(MouseAction::Release, mods);
        event.button = which;
        return event;
    }
    const bool isDouble = lastDownButton_ == glfwButton &&
                          time - lastDownTime_ <= kDoubleClickSeconds &&
                          std::abs(x_ - lastDownX_) <= kDoubleClickPixels / 2 &&
                          std::abs(y_ - lastDownY_) <= kDoubleClickPixels / 2;
    if (isDouble) {
        lastDownButton_ = -1;
    } else {
        lastDownButton_ = glfwButton;
        lastDownTime_ = time;
        lastDownX_ = x_;
        lastDownY_ = y_;
    }
    buttons_ |= buttonBit(which);
    MouseEvent event = mouseEvent(MouseAction::Press, mods);
    event.button = which;
    event.doubleClick = isDouble;
    return event;
}

std::optional<MouseEvent> InputTranslator::scroll(double yOffset, int mods) {
    const double units = yOffset * kWheelUnitsPerNotch + wheelRemainder_;
    const int delta = int(std::trunc(units));
    wheelRemainder_ = units - delta;
    if (delta == 0)
        return std::nullopt;
    MouseEvent event = mouseEvent(MouseAction::Wheel, mods);
    event.wheel = delta;
    return event;
}

FocusEvent InputTranslator::focus(bool focused) {
    if (!focused) {
        buttons_ = 0;
        lastDownButton_ = -1;
    }
    return {focused};
}

}  // namespace ostrel
