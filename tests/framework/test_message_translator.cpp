// GLFW events -> window messages: codes, wParam, lParam halves, wheel units, double clicks,
// focus loss.

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include "framework/MessageTranslator.h"

namespace ostrel {
namespace {

using namespace win;

struct KeyCase {
    int glfwKey;
    UINT vk;
};

TEST(MessageTranslator, VirtualKeyCodes) {
    const KeyCase cases[] = {
        {GLFW_KEY_A, 'A'},
        {GLFW_KEY_Z, 'Z'},
        {GLFW_KEY_0, '0'},
        {GLFW_KEY_2, '2'},
        {GLFW_KEY_LEFT, VK_LEFT},
        {GLFW_KEY_RIGHT, VK_RIGHT},
        {GLFW_KEY_UP, VK_UP},
        {GLFW_KEY_DOWN, VK_DOWN},
        {GLFW_KEY_PAGE_UP, VK_PRIOR},
        {GLFW_KEY_PAGE_DOWN, VK_NEXT},
        {GLFW_KEY_LEFT_SHIFT, VK_SHIFT},
        {GLFW_KEY_RIGHT_SHIFT, VK_SHIFT},
        {GLFW_KEY_KP_2, VK_NUMPAD2},
        {GLFW_KEY_KP_9, VK_NUMPAD9},
        {GLFW_KEY_F1, VK_F1},
        {GLFW_KEY_F2, VK_F2},
        {GLFW_KEY_F12, VK_F12},
        {GLFW_KEY_SPACE, VK_SPACE},
        {GLFW_KEY_ESCAPE, VK_ESCAPE},
        {GLFW_KEY_ENTER, VK_RETURN},
        {GLFW_KEY_LEFT_ALT, VK_MENU},
        {GLFW_KEY_RIGHT_CONTROL, VK_CONTROL},
        {GLFW_KEY_WORLD_1, 0},
        {GLFW_KEY_UNKNOWN, 0},
    };
    for (const KeyCase& c : cases)
        EXPECT_EQ(virtualKeyFromGlfw(c.glfwKey), c.vk) << c.glfwKey;
}

struct KeyEventCase {
    const char* name;
    int key, action, mods;
    WindowMessage expected;
};

class KeyEvents : public ::testing::TestWithParam<KeyEventCase> {};

TEST_P(KeyEvents, BecomeKeyMessages) {
    MessageTranslator t;
    const auto messages = t.key(GetParam().key, GetParam().action, GetParam().mods);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], GetParam().expected);
}

constexpr LPARAM kRepeat = LPARAM(1) << 30;
constexpr LPARAM kAlt = LPARAM(1) << 29;
constexpr LPARAM kUp = LPARAM(1) << 31;

INSTANTIATE_TEST_SUITE_P(
    MessageTranslator, KeyEvents,
    ::testing::Values(
        KeyEventCase{"press", GLFW_KEY_LEFT, GLFW_PRESS, 0, {WM_KEYDOWN, VK_LEFT, 1}},
        KeyEventCase{"repeat", GLFW_KEY_LEFT, GLFW_REPEAT, 0, {WM_KEYDOWN, VK_LEFT, 1 | kRepeat}},
        KeyEventCase{"release", GLFW_KEY_F2, GLFW_RELEASE, 0, {WM_KEYUP, VK_F2, 1 | kRepeat | kUp}},
        KeyEventCase{"alt_s", GLFW_KEY_S, GLFW_PRESS, GLFW_MOD_ALT, {WM_SYSKEYDOWN, 'S', 1 | kAlt}},
        KeyEventCase{"alt_release",
                     GLFW_KEY_X,
                     GLFW_RELEASE,
                     GLFW_MOD_ALT,
                     {WM_SYSKEYUP, 'X', 1 | kAlt | kRepeat | kUp}},
        KeyEventCase{"shift_is_plain",
                     GLFW_KEY_LEFT_SHIFT,
                     GLFW_PRESS,
                     GLFW_MOD_SHIFT,
                     {WM_KEYDOWN, VK_SHIFT, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MessageTranslator, KeysWithoutACodeGiveNoMessage) {
    MessageTranslator t;
    EXPECT_TRUE(t.key(GLFW_KEY_WORLD_2, GLFW_PRESS, 0).empty());
}

TEST(MessageTranslator, CursorCarriesSigned16BitHalvesAndTheHeldButtons) {
    MessageTranslator t;
    auto m = t.cursor(12.7, 34.2, 0);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].message, WM_MOUSEMOVE);
    EXPECT_EQ(cursorX(m[0].lParam), 12);
    EXPECT_EQ(cursorY(m[0].lParam), 34);
    EXPECT_EQ(m[0].wParam, 0u);
    // Outside the window while a button is held: negative coordinates survive.
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    m = t.cursor(-5.5, -300, GLFW_MOD_SHIFT);
    EXPECT_EQ(cursorX(m[0].lParam), -6);
    EXPECT_EQ(cursorY(m[0].lParam), -300);
    EXPECT_EQ(m[0].lParam & 0xFFFF, 0xFFFA);
    EXPECT_EQ(m[0].wParam, MK_LBUTTON | MK_SHIFT);
}

struct ButtonCase {
    int button;
    UINT down, up, dbl;
    WPARAM bit;
};

TEST(MessageTranslator, ButtonsDownUpAndDoubleClick) {
    const ButtonCase cases[] = {
        {GLFW_MOUSE_BUTTON_LEFT, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, MK_LBUTTON},
        {GLFW_MOUSE_BUTTON_RIGHT, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK, MK_RBUTTON},
        {GLFW_MOUSE_BUTTON_MIDDLE, WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK, MK_MBUTTON},
    };
    for (const ButtonCase& c : cases) {
        MessageTranslator t;
        t.cursor(100, 200, 0);
        auto m = t.button(c.button, GLFW_PRESS, GLFW_MOD_CONTROL, 10.0);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0], (WindowMessage{c.down, c.bit | MK_CONTROL, makeMouseLParam(100, 200)}));
        m = t.button(c.button, GLFW_RELEASE, 0, 10.1);
        EXPECT_EQ(m[0], (WindowMessage{c.up, 0, makeMouseLParam(100, 200)}));
        // Second press within 0.5 s and 2 pixels: double click.
        t.cursor(101, 198, 0);
        m = t.button(c.button, GLFW_PRESS, 0, 10.4);
        EXPECT_EQ(m[0].message, c.dbl);
        t.button(c.button, GLFW_RELEASE, 0, 10.45);
        // The third press starts counting again.
        m = t.button(c.button, GLFW_PRESS, 0, 10.5);
        EXPECT_EQ(m[0].message, c.down);
    }
}

TEST(MessageTranslator, SlowOrDistantOrOtherButtonPressesAreNoDoubleClicks) {
    MessageTranslator t;
    t.cursor(10, 10, 0);
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_RELEASE, 0, 1.1);
    EXPECT_EQ(t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.6)[0].message, WM_LBUTTONDOWN);
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_RELEASE, 0, 1.65);
    t.cursor(13, 10, 0);
    EXPECT_EQ(t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.7)[0].message, WM_LBUTTONDOWN);
    EXPECT_EQ(t.button(GLFW_MOUSE_BUTTON_RIGHT, GLFW_PRESS, 0, 1.75)[0].message, WM_RBUTTONDOWN);
    EXPECT_TRUE(t.button(GLFW_MOUSE_BUTTON_4, GLFW_PRESS, 0, 1.8).empty());
}

TEST(MessageTranslator, WheelGives120UnitsPerNotchAndCarriesFractions) {
    MessageTranslator t;
    t.cursor(7, 8, 0);
    auto m = t.scroll(1.0, 0);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].message, WM_MOUSEWHEEL);
    EXPECT_EQ(wheelDelta(m[0].wParam), 120);
    EXPECT_EQ(m[0].lParam, makeMouseLParam(7, 8));
    EXPECT_EQ(wheelDelta(t.scroll(-2.0, 0)[0].wParam), -240);
    // Smooth scrolling: a quarter notch four times adds up to one notch.
    int total = 0;
    for (int i = 0; i < 4; ++i)
        for (const WindowMessage& w : t.scroll(0.25, 0))
            total += wheelDelta(w.wParam);
    EXPECT_EQ(total, 120);
    EXPECT_TRUE(t.scroll(0.001, 0).empty());
    EXPECT_EQ(t.scroll(1.0, GLFW_MOD_SHIFT)[0].wParam & 0xFFFF, MK_SHIFT);
}

TEST(MessageTranslator, FocusLossEndsTheCaptureAndForgetsTheButtons) {
    MessageTranslator t;
    EXPECT_EQ(t.focus(true), (std::vector<WindowMessage>{{WM_SETFOCUS, 0, 0}}));
    EXPECT_EQ(t.focus(false), (std::vector<WindowMessage>{{WM_KILLFOCUS, 0, 0}}));
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    EXPECT_EQ(t.focus(false),
              (std::vector<WindowMessage>{{WM_CAPTURECHANGED, 0, 0}, {WM_KILLFOCUS, 0, 0}}));
    EXPECT_EQ(t.keyState(0), 0u);
}

}  // namespace
}  // namespace ostrel
