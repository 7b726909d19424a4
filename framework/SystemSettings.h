#pragma once
// Settings of the desktop that the input handlers follow.

namespace ostrel {

/// Lines scrolled per wheel notch. X11 and Wayland desktops keep no such setting for
/// applications, so this is the common default of 3.
inline int wheelScrollLines() {
    return 3;
}

}  // namespace ostrel
