#pragma once
// The window and device framework: one GLFW window with an OpenGL 3.3 core context (depth range
// 0 to 1 through glClipControl), Dear ImGui for the dialogs and panels, the event loop, and
// the device life cycle with the application's callbacks.
//
// Life cycle and the order of the callbacks:
//   createDevice():  modify device settings -> window and context -> device created -> swap
//                    chain resized(w, h)
//   every frame:     frame move(time, elapsed) -> frame render(time, elapsed)
//   window resized:  swap chain releasing -> swap chain resized(w, h)
//   device change:   swap chain releasing -> device destroyed -> modify device settings ->
//                    device created -> swap chain resized (the settings dialog's OK, vsync)
//   shutdown():      swap chain releasing -> device destroyed -> window closed
// A failing device-created or swap-chain-resized callback ends the loop with kExitDeviceFailed.
//
// Idling: after a frame, when no event arrived for it or the kSettleFrames frames before it, no
// resize or device change waits and the animating callback says nothing changes by itself, the
// loop waits for the next event, at most kIdleWaitSeconds (so that the frame rate and the title
// still update); the frame after a wait reports one busy frame's elapsed time (FrameStats.h). With
// -quitafterframe or -screenshotexit, which count frames, it never waits. A window that must be
// drawn again (exposed) counts as an event.
// Minimised (iconified, or unmapped as a window manager does when it iconifies): while the
// animating callback says nothing changes, the loop only waits for events, kIdleWaitSeconds at a
// time, and draws nothing; the first frame after the window comes back is drawn at once. A run
// goes on as in a shown window. With a framebuffer of zero size nothing is drawn at all.
//
// Input: GLFW events become typed events (InputEvents.h, InputTranslator.h). Mouse and key
// events go to the mouse and key callbacks, whose answer is the no-further-processing flag;
// focus events go to the focus callback. A key event not stopped there reaches the keyboard
// callback, and then the framework's own hot keys (on a press or an auto-repeat): Alt+Enter
// toggles full screen, Escape closes the window; while the device-settings dialog is shown,
// Enter is its OK and Escape its Cancel. ImGui gets the same input through its GLFW back end.
//
// Everything runs on the thread that created the framework. One instance per process.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "framework/FrameStats.h"
#include "framework/FrameworkFlags.h"
#include "framework/InputTranslator.h"

struct GLFWwindow;

namespace ostrel {

/// What a device is created with; the modify-device-settings callback may change it.
struct DeviceSettings {
    int width = 800;  ///< back buffer (client area) in pixels
    int height = 600;
    bool windowed = true;
    int syncInterval = 1;  ///< 0: do not wait for the vertical blank
};

struct FrameworkCallbacks {
    std::function<bool(DeviceSettings&)> modifyDeviceSettings;
    /// False: the device or the swap chain could not be created.
    std::function<bool()> deviceCreated;
    std::function<bool(int width, int height)> swapChainResized;
    std::function<void()> swapChainReleasing;
    std::function<void()> deviceDestroyed;
    /// Absolute time in seconds since the loop started, time since the last frame.
    std::function<void(double time, float elapsed)> frameMove;
    std::function<void(double time, float elapsed)> frameRender;
    /// Input hooks; true = taken, no further processing.
    std::function<bool(const MouseEvent& event)> mouse;
    std::function<bool(const KeyEvent& event)> key;
    std::function<void(const FocusEvent& event)> focus;
    /// The application's key handler, for the key events the key hook did not take.
    std::function<void(const KeyEvent& event)> keyboard;
    /// True while the picture changes without input (a run going, the camera moving): frames
    /// then follow one another without waiting. Empty: never.
    std::function<bool()> animating;
    /// The window is asked to close (Escape, its close button, the window manager): false keeps
    /// it open. Not called when -quitafterframe or -screenshotexit ends the loop. Empty: close.
    std::function<bool()> closeRequested;
};

class WindowFramework {
  public:
    // Every failure is a failed run (status 1) for the caller, as with every Ostrel program;
    // status 2 means a wrong command line. The message on standard error tells which it was.
    static constexpr int kExitOk = 0;
    static constexpr int kExitNoWindow = 1;      ///< no display, or the window/context failed
    static constexpr int kExitDeviceFailed = 1;  ///< a device callback failed
    static constexpr int kExitScreenshotFailed = 1;
    static constexpr double kIdleWaitSeconds = 1.0;
    static constexpr int kSettleFrames = 2;  ///< frames drawn after the last event (ImGui's)

    explicit WindowFramework(FrameworkFlags flags);
    ~WindowFramework();
    WindowFramework(const WindowFramework&) = delete;
    WindowFramework& operator=(const WindowFramework&) = delete;

    void setCallbacks(FrameworkCallbacks callbacks) { callbacks_ = std::move(callbacks); }
    const FrameworkFlags& flags() const { return flags_; }

    /// Connects to the display (GLFW). False with a one-line reason when there is none. Also
    /// installs the fatal-error dialog unless -noerrormsgboxes was given.
    bool init(std::string* error);
    /// Creates the window titled `title` and its device; the flags -width, -height, -windowed,
    /// -fullscreen, -forcevsync, -startx and -starty override the arguments.
    bool createDevice(const std::string& title, bool windowed, int width, int height,
                      std::string* error);
    /// Runs frames until the window closes; returns the exit code.
    int mainLoop();
    /// Releases the swap chain and the device, closes the window and the display connection.
    /// Safe to call more than once.
    void shutdown();
    int exitCode() const { return exitCode_; }

    // State for the callbacks.
    bool isWindowed() const { return settings_.windowed; }
    bool vsync() const { return settings_.syncInterval != 0; }
    int width() const { return width_; }
    int height() const { return height_; }
    const DeviceSettings& deviceSettings() const { return settings_; }
    double framesPerSecond() const { return frameRate_.framesPerSecond(); }
    long long frameCount() const { return frameRate_.frameCount(); }
    /// Wall-clock seconds the last mainLoop() ran.
    double loopSeconds() const { return loopSeconds_; }
    /// Times the last mainLoop() waited for events because nothing changed.
    long long idleWaits() const { return idleWaits_; }
    /// Whether the loop may wait after the frame just drawn (see Idling); consumes the events
    /// noted since the last call.
    bool mayIdle();
    /// Whether the loop, with the window minimised or not, waits without drawing (see
    /// Minimised); when it does, the frame after the wait is drawn at once.
    bool waitsUnseen(bool minimised);
    /// Frames drawn while the window was minimised (a run going), and waits that drew nothing.
    long long minimisedFrames() const { return minimisedFrames_; }
    long long unseenWaits() const { return unseenWaits_; }
    /// "%.2f fps (WxH), VSync on|off"; empty with -nostats.
    std::string frameStats() const;
    /// "OpenGL <version>: <renderer>"; empty with -nostats.
    std::string deviceStats() const;
    /// False: the default framebuffer is written without sRGB conversion.
    bool isGammaCorrect() const { return false; }
    const std::string& rendererName() const { return glRenderer_; }

    void setWindowTitle(const std::string& title);
    const std::string& windowTitle() const { return title_; }
    /// Raises the window and gives it the keyboard focus.
    void focusWindow();
    void toggleFullScreen();
    /// Applies `settings` through the device life cycle after the current frame.
    void changeDevice(const DeviceSettings& settings);
    void closeWindow();

    // The dialog resource manager and the device-settings dialog (ImGui).
    /// False without an ImGui context or when its OpenGL back end cannot start.
    bool createDialogResources();
    void destroyDialogResources();
    void resizeSettingsDialog(int x, int y, int width, int height);
    bool settingsDialogShown() const { return settingsDialogShown_; }
    void setSettingsDialogShown(bool shown);
    /// Draws the dialog; call inside frame render.
    void drawSettingsDialog();
    /// Whether ImGui takes the mouse or the keyboard (a panel or the dialog is under the cursor
    /// or has the focus).
    bool guiWantsMouse() const;
    bool guiWantsKeyboard() const;

    GLFWwindow* window() const { return window_; }

  private:
    static void onKey(GLFWwindow* w, int key, int scancode, int action, int mods);
    static void onCursor(GLFWwindow* w, double x, double y);
    static void onButton(GLFWwindow* w, int button, int action, int mods);
    static void onScroll(GLFWwindow* w, double dx, double dy);
    static void onFocus(GLFWwindow* w, int focused);
    static void onFramebufferSize(GLFWwindow* w, int width, int height);
    static void onRefresh(GLFWwindow* w);
    /// Iconified, or not mapped on the screen.
    bool isMinimised() const;

    void deliverMouse(const std::optional<MouseEvent>& event);
    void deliverKey(const std::optional<KeyEvent>& event);
    bool startDevice();
    void stopDevice();
    bool resizeSwapChain(int width, int height);
    void applyWindowMode();
    void renderFrame(double time, float elapsed);
    bool finishFrame();
    /// The window was asked to close and the close callback agrees; otherwise the request is
    /// withdrawn.
    bool closeConfirmed();
    int currentMods() const;

    FrameworkFlags flags_;
    FrameworkCallbacks callbacks_;
    DeviceSettings settings_;
    bool firstDevice_ = true;
    bool glfwReady_ = false;
    GLFWwindow* window_ = nullptr;
    bool imguiContext_ = false;
    bool dialogResources_ = false;
    bool deviceCreated_ = false;
    bool swapChainReady_ = false;
    int width_ = 0, height_ = 0;
    int pendingWidth_ = 0, pendingHeight_ = 0;
    int windowedX_ = 0, windowedY_ = 0, windowedWidth_ = 800, windowedHeight_ = 600;
    bool deviceChangePending_ = false;
    DeviceSettings pendingSettings_;
    DeviceSettings dialogSettings_;  ///< what the dialog edits while it is shown
    bool settingsDialogShown_ = false;
    bool dialogOkRequested_ = false;  ///< Enter was pressed while the dialog was shown
    int dialogX_ = 0, dialogY_ = 0, dialogWidth_ = 0, dialogHeight_ = 0;
    std::string title_;
    std::string glVersion_, glRenderer_;
    InputTranslator translator_;
    FrameRateCounter frameRate_;
    int exitCode_ = kExitOk;
    double loopSeconds_ = 0;
    bool eventSinceFrame_ = true;  ///< the first frames settle too
    int settleFrames_ = 0;
    long long idleWaits_ = 0;
    long long minimisedFrames_ = 0;
    long long unseenWaits_ = 0;
};

}  // namespace ostrel
