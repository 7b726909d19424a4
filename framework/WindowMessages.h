#pragma once
// The window messages, virtual-key codes and message parameters that the framework delivers to
// the application's message hook, keyboard callback, editor and camera. The values are the
// classic desktop ones, so handlers read like their design: the framework translates GLFW input
// into them (key down/up, mouse move, buttons with double clicks, wheel with 120 units per
// notch, capture, focus loss, setting change).
//
// Mouse messages carry the cursor in client pixels (y growing downwards) in lParam: x in the low
// 16 bits, y in the high 16 bits, each a signed 16-bit number. WM_MOUSEWHEEL carries the signed
// wheel delta in the high 16 bits of wParam. Key messages carry the virtual-key code in wParam.

#include <cstdint>

namespace ostrel::win {

using UINT = std::uint32_t;
using WPARAM = std::uint64_t;
using LPARAM = std::int64_t;

// Messages.
inline constexpr UINT WM_SETFOCUS = 0x0007;
inline constexpr UINT WM_KILLFOCUS = 0x0008;
inline constexpr UINT WM_SETTINGCHANGE = 0x001A;  // also WM_WININICHANGE
inline constexpr UINT WM_KEYDOWN = 0x0100;
inline constexpr UINT WM_KEYUP = 0x0101;
inline constexpr UINT WM_CHAR = 0x0102;
inline constexpr UINT WM_SYSKEYDOWN = 0x0104;
inline constexpr UINT WM_SYSKEYUP = 0x0105;
inline constexpr UINT WM_MOUSEMOVE = 0x0200;
inline constexpr UINT WM_LBUTTONDOWN = 0x0201;
inline constexpr UINT WM_LBUTTONUP = 0x0202;
inline constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
inline constexpr UINT WM_RBUTTONDOWN = 0x0204;
inline constexpr UINT WM_RBUTTONUP = 0x0205;
inline constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
inline constexpr UINT WM_MBUTTONDOWN = 0x0207;
inline constexpr UINT WM_MBUTTONUP = 0x0208;
inline constexpr UINT WM_MBUTTONDBLCLK = 0x0209;
inline constexpr UINT WM_MOUSEWHEEL = 0x020A;
inline constexpr UINT WM_CAPTURECHANGED = 0x0215;

inline constexpr int WHEEL_DELTA = 120;

// wParam bits of mouse messages: the buttons and modifier keys held.
inline constexpr WPARAM MK_LBUTTON = 0x0001;
inline constexpr WPARAM MK_RBUTTON = 0x0002;
inline constexpr WPARAM MK_SHIFT = 0x0004;
inline constexpr WPARAM MK_CONTROL = 0x0008;
inline constexpr WPARAM MK_MBUTTON = 0x0010;

// Virtual-key codes. Letters and digits are their upper-case ASCII codes ('A' = 0x41, '2' = 0x32).
inline constexpr UINT VK_BACK = 0x08;
inline constexpr UINT VK_TAB = 0x09;
inline constexpr UINT VK_RETURN = 0x0D;
inline constexpr UINT VK_SHIFT = 0x10;
inline constexpr UINT VK_CONTROL = 0x11;
inline constexpr UINT VK_MENU = 0x12;  // Alt
inline constexpr UINT VK_PAUSE = 0x13;
inline constexpr UINT VK_ESCAPE = 0x1B;
inline constexpr UINT VK_SPACE = 0x20;
inline constexpr UINT VK_PRIOR = 0x21;  // Page Up
inline constexpr UINT VK_NEXT = 0x22;   // Page Down
inline constexpr UINT VK_END = 0x23;
inline constexpr UINT VK_HOME = 0x24;
inline constexpr UINT VK_LEFT = 0x25;
inline constexpr UINT VK_UP = 0x26;
inline constexpr UINT VK_RIGHT = 0x27;
inline constexpr UINT VK_DOWN = 0x28;
inline constexpr UINT VK_INSERT = 0x2D;
inline constexpr UINT VK_DELETE = 0x2E;
inline constexpr UINT VK_NUMPAD0 = 0x60;
inline constexpr UINT VK_NUMPAD1 = 0x61;
inline constexpr UINT VK_NUMPAD2 = 0x62;
inline constexpr UINT VK_NUMPAD3 = 0x63;
inline constexpr UINT VK_NUMPAD4 = 0x64;
inline constexpr UINT VK_NUMPAD5 = 0x65;
inline constexpr UINT VK_NUMPAD6 = 0x66;
inline constexpr UINT VK_NUMPAD7 = 0x67;
inline constexpr UINT VK_NUMPAD8 = 0x68;
inline constexpr UINT VK_NUMPAD9 = 0x69;
inline constexpr UINT VK_F1 = 0x70;
inline constexpr UINT VK_F2 = 0x71;
inline constexpr UINT VK_F3 = 0x72;
inline constexpr UINT VK_F4 = 0x73;
inline constexpr UINT VK_F5 = 0x74;
inline constexpr UINT VK_F6 = 0x75;
inline constexpr UINT VK_F7 = 0x76;
inline constexpr UINT VK_F8 = 0x77;
inline constexpr UINT VK_F9 = 0x78;
inline constexpr UINT VK_F10 = 0x79;
inline constexpr UINT VK_F11 = 0x7A;
inline constexpr UINT VK_F12 = 0x7B;

/// Packs client coordinates into a mouse message's lParam (each kept as a signed 16-bit half).
constexpr LPARAM makeMouseLParam(int x, int y) {
    return LPARAM((std::uint32_t(std::uint16_t(std::int16_t(y))) << 16) |
                  std::uint32_t(std::uint16_t(std::int16_t(x))));
}
/// Signed low and high 16-bit halves of lParam: the cursor's x and y.
constexpr int cursorX(LPARAM lParam) { return std::int16_t(std::uint16_t(lParam & 0xFFFF)); }
constexpr int cursorY(LPARAM lParam) { return std::int16_t(std::uint16_t((lParam >> 16) & 0xFFFF)); }
/// WM_MOUSEWHEEL: the wheel delta (multiples of WHEEL_DELTA per notch) in the high word, the
/// held buttons and keys (MK_*) in the low word.
constexpr WPARAM makeWheelWParam(int delta, WPARAM keys) {
    return (WPARAM(std::uint16_t(std::int16_t(delta))) << 16) | (keys & 0xFFFF);
}
constexpr int wheelDelta(WPARAM wParam) { return std::int16_t(std::uint16_t((wParam >> 16) & 0xFFFF)); }

}  // namespace ostrel::win
