#pragma once
// The window and device framework: one GLFW window with an OpenGL 3.3 core context (depth range
// 0 to 1 through glClipControl), Dear ImGui for the dialogs and panels, the message loop, and
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
// Input: GLFW events become WindowMessages (MessageTranslator.h) handed to the message callback
// with a no-further-processing flag; key messages not stopped there reach the keyboard callback
// (virtual-key code, down, Alt held), and then the framework's own hot keys: Alt+Enter toggles
// full screen, Escape closes the window; while the device-settings dialog is shown, Enter is its
// OK and Escape its Cancel. ImGui gets the same input through its GLFW back end.
//
// Everything runs on the thread that created the framework. One instance per process.

#include <functional>
#include <memory>
#include <string>

#include "framework/FrameStats.h"
#include "framework/FrameworkFlags.h"
#include "framework/MessageTranslator.h"
#include "framework/Result.h"

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
    std::function<HRESULT()> deviceCreated;
    std::function<HRESULT(int width, int height)> swapChainResized;
    std::function<void()> swapChainReleasing;
    std::function<void()> deviceDestroyed;
    /// Absolute time in seconds since the loop started, time since the last frame.
    std::function<void(double time, float elapsed)> frameMove;
    std::function<void(double time, float elapsed)> frameRender;
    std::function<void(const WindowMessage& message, bool& noFurtherProcessing)> message;
    std::function<void(win::UINT key, bool keyDown, bool altDown)> keyboard;
};

class WindowFramework {
  public:
    // Every failure is a failed run (status 1) for the caller, as with every Ostrel program;
    // status 2 means a wrong command line. The message on standard error tells which it was.
    static constexpr int kExitOk = 0;
    static constexpr int kExitNoWindow = 1;      ///< no display, or the window/context failed
    static constexpr int kExitDeviceFailed = 1;  ///< a device callback failed
    static constexpr int kExitScreenshotFailed = 1;

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
    HRESULT createDialogResources();
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

    void deliver(const std::vector<WindowMessage>& messages);
    bool startDevice();
    void stopDevice();
    bool resizeSwapChain(int width, int height);
    void applyWindowMode();
    void renderFrame(double time, float elapsed);
    bool finishFrame();
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
    MessageTranslator translator_;
    FrameRateCounter frameRate_;
    int exitCode_ = kExitOk;
    double loopSeconds_ = 0;
};

}  // namespace ostrel
