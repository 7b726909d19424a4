// GLFW events -> input events: keys, actions and modifiers, cursor positions with the held
// buttons, wheel units, double clicks, focus loss.

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include "framework/InputTranslator.h"

namespace ostrel {
namespace {

struct KeyCase {
    int glfwKey;
    Key key;
};

TEST(InputTranslator, KeysOfTheProgram) {
    const KeyCase cases[] = {
        {GLFW_KEY_A, Key::A},
        {GLFW_KEY_D, Key::D},
        {GLFW_KEY_Z, Key::Z},
        {GLFW_KEY_0, Key::Digit0},
        {GLFW_KEY_2, Key::Digit2},
        {GLFW_KEY_9, Key::Digit9},
        {GLFW_KEY_LEFT, Key::Left},
        {GLFW_KEY_RIGHT, Key::Right},
        {GLFW_KEY_UP, Key::Up},
        {GLFW_KEY_DOWN, Key::Down},
        {GLFW_KEY_PAGE_UP, Key::PageUp},
        {GLFW_KEY_PAGE_DOWN, Key::PageDown},
        {GLFW_KEY_LEFT_SHIFT, Key::Shift},
        {GLFW_KEY_RIGHT_SHIFT, Key::Shift},
        {GLFW_KEY_KP_0, Key::Numpad0},
        {GLFW_KEY_KP_2, Key::Numpad2},
        {GLFW_KEY_KP_9, Key::Numpad9},
        {GLFW_KEY_F1, Key::F1},
        {GLFW_KEY_F2, Key::F2},
        {GLFW_KEY_F12, Key::F12},
        {GLFW_KEY_SPACE, Key::Space},
        {GLFW_KEY_ESCAPE, Key::Escape},
        {GLFW_KEY_ENTER, Key::Enter},
        {GLFW_KEY_KP_ENTER, Key::Enter},
        {GLFW_KEY_LEFT_ALT, Key::Alt},
        {GLFW_KEY_RIGHT_CONTROL, Key::Control},
        {GLFW_KEY_WORLD_1, Key::None},
        {GLFW_KEY_F13, Key::None},
        {GLFW_KEY_UNKNOWN, Key::None},
    };
    for (const KeyCase& c : cases)
        EXPECT_EQ(keyFromGlfw(c.glfwKey), c.key) << c.glfwKey;
}

struct KeyEventCase {
    const char* name;
    int key, action, mods;
    KeyEvent expected;
};

class KeyEvents : public ::testing::TestWithParam<KeyEventCase> {};

TEST_P(KeyEvents, BecomeKeyEvents) {
    InputTranslator t;
    const auto event = t.key(GetParam().key, GetParam().action, GetParam().mods);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(*event, GetParam().expected);
}

constexpr Modifiers kNone{};
constexpr Modifiers kAlt{false, false, true};
constexpr Modifiers kShift{true, false, false};

INSTANTIATE_TEST_SUITE_P(
    InputTranslator, KeyEvents,
    ::testing::Values(
        KeyEventCase{"press", GLFW_KEY_LEFT, GLFW_PRESS, 0, {Key::Left, KeyAction::Press, kNone}},
        KeyEventCase{
            "repeat", GLFW_KEY_LEFT, GLFW_REPEAT, 0, {Key::Left, KeyAction::Repeat, kNone}},
        KeyEventCase{
            "release", GLFW_KEY_F2, GLFW_RELEASE, 0, {Key::F2, KeyAction::Release, kNone}},
        KeyEventCase{
            "alt_s", GLFW_KEY_S, GLFW_PRESS, GLFW_MOD_ALT, {Key::S, KeyAction::Press, kAlt}},
        KeyEventCase{"alt_release",
                     GLFW_KEY_X,
                     GLFW_RELEASE,
                     GLFW_MOD_ALT,
                     {Key::X, KeyAction::Release, kAlt}},
        // GLFW gives the modifiers from before the event; the Alt key counts as held itself.
        KeyEventCase{
            "alt_itself", GLFW_KEY_LEFT_ALT, GLFW_PRESS, 0, {Key::Alt, KeyAction::Press, kAlt}},
        KeyEventCase{"shift_is_no_alt",
                     GLFW_KEY_LEFT_SHIFT,
                     GLFW_PRESS,
                     GLFW_MOD_SHIFT,
                     {Key::Shift, KeyAction::Press, kShift}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InputTranslator, PressAndRepeatAreDownReleaseIsNot) {
    EXPECT_TRUE((KeyEvent{Key::A, KeyAction::Press, {}}).isDown());
    EXPECT_TRUE((KeyEvent{Key::A, KeyAction::Repeat, {}}).isDown());
    EXPECT_FALSE((KeyEvent{Key::A, KeyAction::Release, {}}).isDown());
}

TEST(InputTranslator, KeysTheProgramDoesNotKnowGiveNoEvent) {
    InputTranslator t;
    EXPECT_FALSE(t.key(GLFW_KEY_WORLD_2, GLFW_PRESS, 0).has_value());
}

TEST(InputTranslator, CursorCarriesWholePixelsAndTheHeldButtons) {
    InputTranslator t;
    MouseEvent m = t.cursor(12.7, 34.2, 0);
    EXPECT_EQ(m.action, MouseAction::Move);
    EXPECT_EQ(m.button, MouseButton::None);
    EXPECT_EQ(m.x, 12);
    EXPECT_EQ(m.y, 34);
    EXPECT_EQ(m.buttons, 0u);
    // Outside the window while a button is held: negative coordinates survive.
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    m = t.cursor(-5.5, -300, GLFW_MOD_SHIFT);
    EXPECT_EQ(m.x, -6);
    EXPECT_EQ(m.y, -300);
    EXPECT_EQ(m.buttons, buttonBit(MouseButton::Left));
    EXPECT_EQ(m.modifiers, kShift);
    // Far beyond the window: no 16-bit wrap.
    m = t.cursor(40000.0, -40000.0, 0);
    EXPECT_EQ(m.x, 40000);
    EXPECT_EQ(m.y, -40000);
}

struct ButtonCase {
    int glfwButton;
    MouseButton button;
};

TEST(InputTranslator, ButtonsPressReleaseAndDoubleClick) {
    const ButtonCase cases[] = {
        {GLFW_MOUSE_BUTTON_LEFT, MouseButton::Left},
        {GLFW_MOUSE_BUTTON_RIGHT, MouseButton::Right},
        {GLFW_MOUSE_BUTTON_MIDDLE, MouseButton::Middle},
    };
    for (const ButtonCase& c : cases) {
        InputTranslator t;
        t.cursor(100, 200, 0);
        auto m = t.button(c.glfwButton, GLFW_PRESS, GLFW_MOD_CONTROL, 10.0);
        ASSERT_TRUE(m.has_value());
        MouseEvent expected;
        expected.action = MouseAction::Press;
        expected.button = c.button;
        expected.x = 100;
        expected.y = 200;
        expected.buttons = buttonBit(c.button);
        expected.modifiers.control = true;
        EXPECT_EQ(*m, expected);
        EXPECT_TRUE(m->isPress(c.button));
        m = t.button(c.glfwButton, GLFW_RELEASE, 0, 10.1);
        expected.action = MouseAction::Release;
        expected.buttons = 0;
        expected.modifiers = {};
        EXPECT_EQ(*m, expected);
        EXPECT_TRUE(m->isRelease(c.button));
        // Second press within 0.5 s and 2 pixels: a double click, still a press.
        t.cursor(101, 198, 0);
        m = t.button(c.glfwButton, GLFW_PRESS, 0, 10.4);
        EXPECT_TRUE(m->isPress(c.button));
        EXPECT_TRUE(m->doubleClick);
        t.button(c.glfwButton, GLFW_RELEASE, 0, 10.45);
        // The third press starts counting again.
        m = t.button(c.glfwButton, GLFW_PRESS, 0, 10.5);
        EXPECT_TRUE(m->isPress(c.button));
        EXPECT_FALSE(m->doubleClick);
    }
}

TEST(InputTranslator, HeldButtonsAddUp) {
    InputTranslator t;
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    const auto m = t.button(GLFW_MOUSE_BUTTON_RIGHT, GLFW_PRESS, 0, 1.1);
    EXPECT_EQ(m->buttons, buttonBit(MouseButton::Left) | buttonBit(MouseButton::Right));
    EXPECT_EQ(t.buttonsHeld(), 5u);
    EXPECT_EQ(t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_RELEASE, 0, 1.2)->buttons,
              buttonBit(MouseButton::Right));
}

TEST(InputTranslator, SlowOrDistantOrOtherButtonPressesAreNoDoubleClicks) {
    InputTranslator t;
    t.cursor(10, 10, 0);
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_RELEASE, 0, 1.1);
    EXPECT_FALSE(t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.6)->doubleClick);
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_RELEASE, 0, 1.65);
    t.cursor(13, 10, 0);
    EXPECT_FALSE(t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.7)->doubleClick);
    const auto right = t.button(GLFW_MOUSE_BUTTON_RIGHT, GLFW_PRESS, 0, 1.75);
    EXPECT_TRUE(right->isPress(MouseButton::Right));
    EXPECT_FALSE(right->doubleClick);
    EXPECT_FALSE(t.button(GLFW_MOUSE_BUTTON_4, GLFW_PRESS, 0, 1.8).has_value());
}

TEST(InputTranslator, WheelGives120UnitsPerNotchAndCarriesFractions) {
    InputTranslator t;
    t.cursor(7, 8, 0);
    auto m = t.scroll(1.0, 0);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->action, MouseAction::Wheel);
    EXPECT_EQ(m->wheel, 120);
    EXPECT_EQ(m->x, 7);
    EXPECT_EQ(m->y, 8);
    EXPECT_EQ(t.scroll(-2.0, 0)->wheel, -240);
    // Smooth scrolling: a quarter notch four times adds up to one notch.
    int total = 0;
    for (int i = 0; i < 4; ++i)
        if (const auto w = t.scroll(0.25, 0))
            total += w->wheel;
    EXPECT_EQ(total, 120);
    EXPECT_FALSE(t.scroll(0.001, 0).has_value());
    EXPECT_EQ(t.scroll(1.0, GLFW_MOD_SHIFT)->modifiers, kShift);
}

TEST(InputTranslator, FocusLossForgetsTheButtons) {
    InputTranslator t;
    EXPECT_EQ(t.focus(true), FocusEvent{true});
    EXPECT_EQ(t.focus(false), FocusEvent{false});
    t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.0);
    EXPECT_EQ(t.focus(false), FocusEvent{false});
    EXPECT_EQ(t.buttonsHeld(), 0u);
    EXPECT_EQ(t.cursor(1, 1, 0).buttons, 0u);
    // A press right after the focus came back is no double click of the press before.
    t.focus(true);
    EXPECT_FALSE(t.button(GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0, 1.1)->doubleClick);
}

}  // namespace
}  // namespace ostrel
