#pragma once
// The window framework's own command-line flags, read from the program's command line.
//
// A flag is "-name" or "-name:value", the name matched without regard to case. Flags:
// -width:N -height:N (back buffer), -startx:N -starty:N (window position), -windowed,
// -fullscreen, -forcevsync:N (0 off, otherwise on), -constantframetime:MS (every frame advances
// the clock by MS milliseconds), -quitafterframe:N, -screenshotexit:FILE.png,
// -screenshotonsignal:FILE.png (every SIGUSR1 writes the next frame to FILE.png), -noerrormsgboxes,
// -nostats, -automation. The adapter and feature-level flags (-adapter:N, -output:N,
// -forcefeaturelevel:X, -forcehal, -forceref, -forcewarp) are accepted and have no effect: there
// is one OpenGL device. A number that does not parse leaves its setting unchanged.
//
// Every other argument is reported as "Unrecognized flag: %s" on the error stream and ignored,
// except the program's path (argument 0) and the arguments the entry point took as its own.

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

struct FrameworkFlags {
    int width = 0;    ///< back-buffer width; 0 = the application's choice
    int height = 0;   ///< back-buffer height; 0 = the application's choice
    int startX = -1;  ///< window position; -1 = the window system's choice
    int startY = -1;
    bool windowed = false;           ///< -windowed: start windowed
    bool fullScreen = false;         ///< -fullscreen: start full screen (wins over -windowed)
    int forceVsync = -1;             ///< -1 = the device settings decide; 0 off; 1 on
    double constantFrameTimeMs = 0;  ///< > 0: fixed frame step in milliseconds
    int quitAfterFrame = 0;          ///< > 0: close the window after this many frames
    std::string screenshotExit;      ///< PNG file (UTF-8) written from the last frame before exit
    /// PNG file (UTF-8) that each SIGUSR1 has the next frame written to (replaced atomically,
    /// so a reader never sees half a picture): screenshots for scripts, without a screen grabber.
    std::string screenshotOnSignal;
    bool noErrorMsgBoxes = false;
    bool noStats = false;  ///< -nostats: the frame and device statistics strings are empty
    /// -automation: scripted runs; no fatal-error dialog waits for an answer, and the program
    /// logs the device life cycle and every camera change on standard error ("automation: ...").
    bool automation = false;
};

/// Reads the framework's flags from `args` (UTF-32, argument 0 is the program). `appOwned[i]`
/// marks arguments the entry point consumed (shorter vectors mean "not owned"); they are never
/// reported. Unknown arguments go to `err` (null = silent) as "Unrecognized flag: <arg>\n".
FrameworkFlags parseFrameworkFlags(const std::vector<std::wstring>& args,
                                   const std::vector<bool>& appOwned, std::ostream* err);

}  // namespace ostrel
