#include "framework/MessageTranslator.h"

#include <GLFW/glfw3.h>

#include <cmath>
#include <cstdlib>

namespace ostrel {

using namespace win;

UINT virtualKeyFromGlfw(int k) {
    if (k >= GLFW_KEY_A && k <= GLFW_KEY_Z)
        return UINT('A' + (k - GLFW_KEY_A));
    if (k >= GLFW_KEY_0 && k <= GLFW_KEY_9)
        return UINT('0' + (k - GLFW_KEY_0));
    if (k >= GLFW_KEY_KP_0 && k <= GLFW_KEY_KP_9)
        return VK_NUMPAD0 + UINT(k - GLFW_KEY_KP_0);
    if (k >= GLFW_KEY_F1 && k <= GLFW_KEY_F12)
        return VK_F1 + UINT(k - GLFW_KEY_F1);
    switch (k) {
        case GLFW_KEY_SPACE:
            return VK_SPACE;
        case GLFW_KEY_ESCAPE:
            return VK_ESCAPE;
        case GLFW_KEY_ENTER:
        case GLFW_KEY_KP_ENTER:
            return VK_RETURN;
        case GLFW_KEY_TAB:
            return VK_TAB;
        case GLFW_KEY_BACKSPACE:
            return VK_BACK;
        case GLFW_KEY_INSERT:
            return VK_INSERT;
        case GLFW_KEY_DELETE:
            return VK_DELETE;
        case GLFW_KEY_RIGHT:
            return VK_RIGHT;
        case GLFW_KEY_LEFT:
            return VK_LEFT;
        case GLFW_KEY_DOWN:
            return VK_DOWN;
        case GLFW_KEY_UP:
            return VK_UP;
        case GLFW_KEY_PAGE_UP:
            return VK_PRIOR;
        case GLFW_KEY_PAGE_DOWN:
            return VK_NEXT;
        case GLFW_KEY_HOME:
            return VK_HOME;
        case GLFW_KEY_END:
            return VK_END;
        case GLFW_KEY_PAUSE:
            return VK_PAUSE;
        case GLFW_KEY_LEFT_SHIFT:
        case GLFW_KEY_RIGHT_SHIFT:
            return VK_SHIFT;
        case GLFW_KEY_LEFT_CONTROL:
        case GLFW_KEY_RIGHT_CONTROL:
            return VK_CONTROL;
        case GLFW_KEY_LEFT_ALT:
        case GLFW_KEY_RIGHT_ALT:
            return VK_MENU;
        default:
            return 0;
    }
}

std::vector<WindowMessage> MessageTranslator::key(int glfwKey, int action, int mods) {
    const UINT vk = virtualKeyFromGlfw(glfwKey);
    if (vk == 0)
        return {};
    const bool alt = (mods & GLFW_MOD_ALT) != 0 || vk == VK_MENU;
    const bool down = action != GLFW_RELEASE;
    LPARAM lParam = 1;  // repeat count
    if (alt)
        lParam |= LPARAM(1) << 29;
    if (action == GLFW_REPEAT || action == GLFW_RELEASE)
        lParam |= LPARAM(1) << 30;
    if (action == GLFW_RELEASE)
        lParam |= LPARAM(1) << 31;
    const UINT message = down ? (alt ? WM_SYSKEYDOWN : WM_KEYDOWN) : (alt ? WM_SYSKEYUP : WM_KEYUP);
    return {{message, WPARAM(vk), lParam}};
}

WPARAM MessageTranslator::keyState(int mods) const {
    WPARAM bits = buttons_;
    if (mods & GLFW_MOD_SHIFT)
        bits |= MK_SHIFT;
    if (mods & GLFW_MOD_CONTROL)
        bits |= MK_CONTROL;
    return bits;
}

std::vector<WindowMessage> MessageTranslator::cursor(double x, double y, int mods) {
    x_ = int(std::floor(x));
    y_ = int(std::floor(y));
    return {{WM_MOUSEMOVE, keyState(mods), position()}};
}

std::vector<WindowMessage> MessageTranslator::button(int glfwButton, int action, int mods,
                                                     double time) {
    UINT down = 0, up = 0, dbl = 0;
    WPARAM bit = 0;
    switch (glfwButton) {
        case GLFW_MOUSE_BUTTON_LEFT:
            down = WM_LBUTTONDOWN, up = WM_LBUTTONUP, dbl = WM_LBUTTONDBLCLK, bit = MK_LBUTTON;
            break;
        case GLFW_MOUSE_BUTTON_RIGHT:
            down = WM_RBUTTONDOWN, up = WM_RBUTTONUP, dbl = WM_RBUTTONDBLCLK, bit = MK_RBUTTON;
            break;
        case GLFW_MOUSE_BUTTON_MIDDLE:
            down = WM_MBUTTONDOWN, up = WM_MBUTTONUP, dbl = WM_MBUTTONDBLCLK, bit = MK_MBUTTON;
            break;
        default:
            return {};
    }
    if (action == GLFW_RELEASE) {
        buttons_ &= ~bit;
        return {{up, keyState(mods), position()}};
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
    buttons_ |= bit;
    return {{isDouble ? dbl : down, keyState(mods), position()}};
}

std::vector<WindowMessage> MessageTranslator::scroll(double yOffset, int mods) {
    const double units = yOffset * WHEEL_DELTA + wheelRemainder_;
    const int delta = int(std::trunc(units));
    wheelRemainder_ = units - delta;
    if (delta == 0)
        return {};
    return {{WM_MOUSEWHEEL, makeWheelWParam(delta, keyState(mods)), position()}};
}

std::vector<WindowMessage> MessageTranslator::focus(bool focused) {
    if (focused)
        return {{WM_SETFOCUS, 0, 0}};
    std::vector<WindowMessage> messages;
    if (buttons_ != 0)
        messages.push_back({WM_CAPTURECHANGED, 0, 0});
    buttons_ = 0;
    lastDownButton_ = -1;
    messages.push_back({WM_KILLFOCUS, 0, 0});
    return messages;
}

}  // namespace ostrel
