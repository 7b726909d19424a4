#include "framework/WindowFramework.h"

#define GL_GLEXT_PROTOTYPES
#define GLFW_INCLUDE_GLCOREARB
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "core/Console.h"
#include "core/FatalError.h"
#include "framework/Dialogs.h"
#include "framework/Screenshot.h"

namespace ostrel {
namespace {

// The description of GLFW's last error on this thread, which explains a failed call ("" when
// there is none).
std::string lastGlfwError() {
    const char* description = nullptr;
    glfwGetError(&description);
    return description ? description : "";
}

void showFatalErrorDialog(const std::wstring& caption, const std::wstring& text) {
    showErrorBox(toUtf8(caption), toUtf8(text));
}

WindowFramework* self(GLFWwindow* w) {
    return static_cast<WindowFramework*>(glfwGetWindowUserPointer(w));
}

// Set by SIGUSR1 with -screenshotonsignal; the frame loop writes the next frame and clears it.
// A signal handler reaches no object, so this one flag has static storage; nothing else of the
// framework does.
volatile std::sig_atomic_t g_screenshotRequested = 0;

extern "C" void onScreenshotSignal(int) { g_screenshotRequested = 1; }

void installScreenshotSignal() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onScreenshotSignal;
    action.sa_flags = SA_RESTART;  // the display connection's reads and writes go on
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
}

bool displayNamed() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

}  // namespace

WindowFramework::WindowFramework(FrameworkFlags flags) : flags_(std::move(flags)) {}

WindowFramework::~WindowFramework() {
    shutdown();
}

bool WindowFramework::init(std::string* error) {
    if (!displayNamed()) {
        if (error)
            *error = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
        return false;
    }
    if (!glfwInit()) {
        if (error)
            *error = "cannot connect to the display: " + lastGlfwError();
        return false;
    }
    glfwReady_ = true;
    if (!flags_.noErrorMsgBoxes && !flags_.automation)
        setFatalErrorDialog(showFatalErrorDialog);
    if (!flags_.screenshotOnSignal.empty())
        installScreenshotSignal();
    return true;
}

bool WindowFramework::createDevice(const std::string& title, bool windowed, int width, int height,
                                   std::string* error) {
    if (!glfwReady_) {
        if (error)
            *error = "the framework is not initialised";
        return false;
    }
    settings_.width = flags_.width > 0 ? flags_.width : width;
    settings_.height = flags_.height > 0 ? flags_.height : height;
    settings_.windowed = flags_.fullScreen ? false : (flags_.windowed ? true : windowed);
    if (callbacks_.modifyDeviceSettings)
        callbacks_.modifyDeviceSettings(settings_);
    firstDevice_ = false;
    if (flags_.forceVsync >= 0)
        settings_.syncInterval = flags_.forceVsync;
    settings_.width = std::max(1, settings_.width);
    settings_.height = std::max(1, settings_.height);

    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_DEPTH_BITS, 24);
    glfwWindowHint(GLFW_STENCIL_BITS, 8);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    title_ = title;
    windowedWidth_ = settings_.width;
    windowedHeight_ = settings_.height;
    window_ = glfwCreateWindow(settings_.width, settings_.height, title.c_str(), nullptr, nullptr);
    if (!window_) {
        if (error)
            *error = "cannot create the OpenGL 3.3 window: " + lastGlfwError();
        return false;
    }
    glfwSetWindowUserPointer(window_, this);
    if (flags_.startX >= 0 || flags_.startY >= 0)
        glfwSetWindowPos(window_, std::max(0, flags_.startX), std::max(0, flags_.startY));
    glfwMakeContextCurrent(window_);

    // The design's projections map depth to 0..1; with clip control OpenGL takes them as they are.
    using ClipControl = void (*)(GLenum, GLenum);
    if (auto clipControl = reinterpret_cast<ClipControl>(glfwGetProcAddress("glClipControl")))
        clipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
    else
        std::cerr << "WARNING: glClipControl is missing; depth precision is reduced\n";
    glVersion_ = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    glRenderer_ = reinterpret_cast<const char*>(glGetString(GL_RENDERER));

    // Our callbacks first: ImGui's back end chains to them.
    glfwSetKeyCallback(window_, onKey);
    glfwSetCursorPosCallback(window_, onCursor);
    glfwSetMouseButtonCallback(window_, onButton);
    glfwSetScrollCallback(window_, onScroll);
    glfwSetWindowFocusCallback(window_, onFocus);
    glfwSetFramebufferSizeCallback(window_, onFramebufferSize);
    glfwSetWindowRefreshCallback(window_, onRefresh);
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::GetIO().IniFilename = nullptr;
    ImGui::GetIO().LogFilename = nullptr;
    ImGui::StyleColorsDark();
    ImGui_ImplGlfw_InitForOpenGL(window_, true);
    imguiContext_ = true;

    applyWindowMode();
    glfwShowWindow(window_);
    if (!startDevice()) {
        if (error)
            *error = "the device could not be created";
        return false;
    }
    return true;
}

void WindowFramework::applyWindowMode() {
    glfwSwapInterval(settings_.syncInterval);
    GLFWmonitor* current = glfwGetWindowMonitor(window_);
    if (!settings_.windowed) {
        GLFWmonitor* monitor = glfwGetPrimaryMonitor();
        const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
        if (!mode) {
            settings_.windowed = true;
        } else if (current != monitor) {
            glfwGetWindowPos(window_, &windowedX_, &windowedY_);
            glfwGetWindowSize(window_, &windowedWidth_, &windowedHeight_);
            glfwSetWindowMonitor(window_, monitor, 0, 0, mode->width, mode->height,
                                 mode->refreshRate);
        }
    }
    if (settings_.windowed) {
        if (current)
            glfwSetWindowMonitor(window_, nullptr, windowedX_, windowedY_, settings_.width,
                                 settings_.height, 0);
        else
            glfwSetWindowSize(window_, settings_.width, settings_.height);
    }
}

bool WindowFramework::startDevice() {
    if (callbacks_.deviceCreated && !callbacks_.deviceCreated()) {
        exitCode_ = kExitDeviceFailed;
        return false;
    }
    deviceCreated_ = true;
    int w = 0, h = 0;
    glfwGetFramebufferSize(window_, &w, &h);
    if (w <= 0 || h <= 0)
        w = settings_.width, h = settings_.height;
    return resizeSwapChain(w, h);
}

bool WindowFramework::resizeSwapChain(int width, int height) {
    if (swapChainReady_ && callbacks_.swapChainReleasing)
        callbacks_.swapChainReleasing();
    swapChainReady_ = false;
    width_ = width;
    height_ = height;
    if (callbacks_.swapChainResized && !callbacks_.swapChainResized(width, height)) {
        exitCode_ = kExitDeviceFailed;
        return false;
    }
    swapChainReady_ = true;
    return true;
}

void WindowFramework::stopDevice() {
    if (swapChainReady_ && callbacks_.swapChainReleasing)
        callbacks_.swapChainReleasing();
    swapChainReady_ = false;
    if (deviceCreated_ && callbacks_.deviceDestroyed)
        callbacks_.deviceDestroyed();
    deviceCreated_ = false;
    // Whatever the application left behind of the dialog resources goes with the device.
    destroyDialogResources();
}

void WindowFramework::shutdown() {
    if (window_) {
        glfwMakeContextCurrent(window_);
        stopDevice();
        if (imguiContext_) {
            ImGui_ImplGlfw_Shutdown();
            ImGui::DestroyContext();
            imguiContext_ = false;
        }
        glfwDestroyWindow(window_);
        window_ = nullptr;
    }
    if (glfwReady_) {
        glfwTerminate();
        glfwReady_ = false;
        setFatalErrorDialog(nullptr);
    }
}

bool WindowFramework::mayIdle() {
    if (std::exchange(eventSinceFrame_, false)) {
        settleFrames_ = kSettleFrames;
        return false;
    }
    if (settleFrames_ > 0) {
        --settleFrames_;
        return false;
    }
    if (flags_.quitAfterFrame > 0 || !flags_.screenshotExit.empty())
        return false;
    if (deviceChangePending_ || (pendingWidth_ > 0 && pendingHeight_ > 0 &&
                                 (pendingWidth_ != width_ || pendingHeight_ != height_)))
        return false;
    return !(callbacks_.animating && callbacks_.animating());
}

bool WindowFramework::waitsUnseen(bool minimised) {
    if (!minimised || (callbacks_.animating && callbacks_.animating()))
        return false;
    eventSinceFrame_ = true;  // shown again, the window is drawn without waiting
    return true;
}

bool WindowFramework::isMinimised() const {
    return glfwGetWindowAttrib(window_, GLFW_ICONIFIED) == GLFW_TRUE ||
           glfwGetWindowAttrib(window_, GLFW_VISIBLE) == GLFW_FALSE;
}

int WindowFramework::mainLoop() {
    if (!window_ || !swapChainReady_)
        return exitCode_ == kExitOk ? kExitNoWindow : exitCode_;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    FrameClock clock(flags_.constantFrameTimeMs > 0 ? flags_.constantFrameTimeMs / 1000.0 : 0.0);
    bool waited = false;
    while (!closeConfirmed()) {
        const bool minimised = isMinimised();
        if (waitsUnseen(minimised)) {
            glfwWaitEventsTimeout(kIdleWaitSeconds);
            ++unseenWaits_;
            waited = true;
            continue;
        }
        if (mayIdle()) {
            glfwWaitEventsTimeout(kIdleWaitSeconds);
            ++idleWaits_;
            waited = true;
        } else {
            glfwPollEvents();
        }
        if (pendingWidth_ > 0 && pendingHeight_ > 0 &&
            (pendingWidth_ != width_ || pendingHeight_ != height_)) {
            if (!resizeSwapChain(pendingWidth_, pendingHeight_))
                break;
        }
        if (deviceChangePending_) {
            deviceChangePending_ = false;
            stopDevice();
            settings_ = pendingSettings_;
            if (callbacks_.modifyDeviceSettings)
                callbacks_.modifyDeviceSettings(settings_);
            applyWindowMode();
            if (!startDevice())
                break;
        }
        int fbWidth = 0, fbHeight = 0;
        glfwGetFramebufferSize(window_, &fbWidth, &fbHeight);
        if (fbWidth <= 0 || fbHeight <= 0) {  // minimised: nothing to draw into
            glfwWaitEventsTimeout(0.1);
            waited = true;
            continue;
        }
        const FrameClock::Times times =
            clock.next(std::chrono::duration<double>(Clock::now() - start).count(), waited);
        waited = false;
        if (minimised)
            ++minimisedFrames_;
        renderFrame(times.time, times.elapsed);
        frameRate_.frame(std::chrono::duration<double>(Clock::now() - start).count());
        if (!finishFrame())
            break;
    }
    loopSeconds_ = std::chrono::duration<double>(Clock::now() - start).count();
    return exitCode_;
}

bool WindowFramework::closeConfirmed() {
    if (!glfwWindowShouldClose(window_))
        return false;
    if (!callbacks_.closeRequested || callbacks_.closeRequested())
        return true;
    glfwSetWindowShouldClose(window_, GLFW_FALSE);
    return false;
}

void WindowFramework::renderFrame(double time, float elapsed) {
    if (callbacks_.frameMove)
        callbacks_.frameMove(time, elapsed);
    if (dialogResources_) {
        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplGlfw_NewFrame();
        ImGui::NewFrame();
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, width_, height_);
    if (callbacks_.frameRender)
        callbacks_.frameRender(time, elapsed);
    if (dialogResources_) {
        ImGui::Render();
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glViewport(0, 0, width_, height_);
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    }
}

bool WindowFramework::finishFrame() {
    const long long frames = frameRate_.frameCount();
    const bool quit = flags_.quitAfterFrame > 0 && frames >= flags_.quitAfterFrame;
    const bool screenshot =
        !flags_.screenshotExit.empty() && frames >= std::max(1, flags_.quitAfterFrame);
    if (screenshot || g_screenshotRequested) {
        glFinish();
        glReadBuffer(GL_BACK);
    }
    if (g_screenshotRequested) {
        g_screenshotRequested = 0;
        std::string reason;
        // A failed picture on request is reported; the program goes on.
        if (!writeFramebufferPng(flags_.screenshotOnSignal, width_, height_, &reason))
            std::cerr << "ERROR: Cannot write screenshot \"" << flags_.screenshotOnSignal
                      << "\": " << reason << "\n";
    }
    if (screenshot) {
        std::string reason;
        if (!writeFramebufferPng(flags_.screenshotExit, width_, height_, &reason)) {
            std::cerr << "ERROR: Cannot write screenshot \"" << flags_.screenshotExit
                      << "\": " << reason << "\n";
            exitCode_ = kExitScreenshotFailed;
        }
    }
    glfwSwapBuffers(window_);
    if (quit || screenshot) {
        glfwSetWindowShouldClose(window_, GLFW_TRUE);
        return false;
    }
    return true;
}

std::string WindowFramework::frameStats() const {
    if (flags_.noStats)
        return {};
    return frameStatsText(framesPerSecond(), width_, height_, vsync());
}

std::string WindowFramework::deviceStats() const {
    if (flags_.noStats)
        return {};
    return deviceStatsText(glVersion_, glRenderer_);
}

void WindowFramework::setWindowTitle(const std::string& title) {
    title_ = title;
    if (window_)
        glfwSetWindowTitle(window_, title.c_str());
}

void WindowFramework::focusWindow() {
    if (!window_)
        return;
    glfwShowWindow(window_);
    glfwFocusWindow(window_);
}

void WindowFramework::toggleFullScreen() {
    if (!window_)
        return;
    settings_.windowed = !settings_.windowed;
    if (!settings_.windowed) {
        settings_.width = width_;
        settings_.height = height_;
    } else {
        settings_.width = windowedWidth_;
        settings_.height = windowedHeight_;
    }
    applyWindowMode();  // the size change arrives as a resize of the swap chain
}

void WindowFramework::changeDevice(const DeviceSettings& settings) {
    pendingSettings_ = settings;
    pendingSettings_.width = std::max(1, settings.width);
    pendingSettings_.height = std::max(1, settings.height);
    deviceChangePending_ = true;
}

void WindowFramework::closeWindow() {
    if (window_)
        glfwSetWindowShouldClose(window_, GLFW_TRUE);
}

bool WindowFramework::createDialogResources() {
    if (!imguiContext_)
        return false;
    if (dialogResources_)
        return true;
    if (!ImGui_ImplOpenGL3_Init("#version 330 core"))
        return false;
    dialogResources_ = true;
    return true;
}

void WindowFramework::destroyDialogResources() {
    if (!dialogResources_)
        return;
    ImGui_ImplOpenGL3_Shutdown();
    dialogResources_ = false;
}

void WindowFramework::resizeSettingsDialog(int x, int y, int width, int height) {
    dialogX_ = x, dialogY_ = y, dialogWidth_ = width, dialogHeight_ = height;
}

void WindowFramework::setSettingsDialogShown(bool shown) {
    if (shown && !settingsDialogShown_)
        dialogSettings_ = settings_;
    dialogOkRequested_ = false;
    settingsDialogShown_ = shown;
}

void WindowFramework::drawSettingsDialog() {
    if (!dialogResources_ || !settingsDialogShown_)
        return;
    ImGui::SetNextWindowPos(ImVec2(float(dialogX_), float(dialogY_)));
    ImGui::SetNextWindowSize(ImVec2(float(dialogWidth_), float(dialogHeight_)));
    const ImGuiWindowFlags windowFlags =
        ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse;
    if (ImGui::Begin("Device Settings", nullptr, windowFlags)) {
        ImGui::Text("Renderer: %s", glRenderer_.c_str());
        ImGui::Text("OpenGL: %s", glVersion_.c_str());
        ImGui::Separator();
        int mode = dialogSettings_.windowed ? 0 : 1;
        ImGui::RadioButton("Windowed", &mode, 0);
        ImGui::SameLine();
        ImGui::RadioButton("Full screen", &mode, 1);
        dialogSettings_.windowed = mode == 0;
        ImGui::InputInt("Back buffer width", &dialogSettings_.width);
        ImGui::InputInt("Back buffer height", &dialogSettings_.height);
        dialogSettings_.width = std::clamp(dialogSettings_.width, 1, 16384);
        dialogSettings_.height = std::clamp(dialogSettings_.height, 1, 16384);
        bool vsyncOn = dialogSettings_.syncInterval != 0;
        ImGui::Checkbox("Vertical sync", &vsyncOn);
        dialogSettings_.syncInterval = vsyncOn ? 1 : 0;
        ImGui::Separator();
        if (ImGui::Button("OK", ImVec2(80, 0)) || dialogOkRequested_) {
            changeDevice(dialogSettings_);
            settingsDialogShown_ = false;
        }
        ImGui::SameLine();
        if (ImGui::Button("Cancel", ImVec2(80, 0)))
            settingsDialogShown_ = false;
    }
    ImGui::End();
    dialogOkRequested_ = false;
}

bool WindowFramework::guiWantsMouse() const {
    return imguiContext_ && ImGui::GetCurrentContext() && ImGui::GetIO().WantCaptureMouse;
}

bool WindowFramework::guiWantsKeyboard() const {
    return imguiContext_ && ImGui::GetCurrentContext() && ImGui::GetIO().WantCaptureKeyboard;
}

int WindowFramework::currentMods() const {
    int mods = 0;
    if (glfwGetKey(window_, GLFW_KEY_LEFT_SHIFT) == GLFW_PRESS ||
        glfwGetKey(window_, GLFW_KEY_RIGHT_SHIFT) == GLFW_PRESS)
        mods |= GLFW_MOD_SHIFT;
    if (glfwGetKey(window_, GLFW_KEY_LEFT_CONTROL) == GLFW_PRESS ||
        glfwGetKey(window_, GLFW_KEY_RIGHT_CONTROL) == GLFW_PRESS)
        mods |= GLFW_MOD_CONTROL;
    if (glfwGetKey(window_, GLFW_KEY_LEFT_ALT) == GLFW_PRESS ||
        glfwGetKey(window_, GLFW_KEY_RIGHT_ALT) == GLFW_PRESS)
        mods |= GLFW_MOD_ALT;
    return mods;
}

void WindowFramework::deliverMouse(const std::optional<MouseEvent>& event) {
    eventSinceFrame_ = true;
    if (event && callbacks_.mouse)
        callbacks_.mouse(*event);
}

void WindowFramework::deliverKey(const std::optional<KeyEvent>& event) {
    eventSinceFrame_ = true;
    if (!event || (callbacks_.key && callbacks_.key(*event)))
        return;
    if (callbacks_.keyboard)
        callbacks_.keyboard(*event);
    if (!event->isDown())
        return;
    const bool alt = event->modifiers.alt;
    if (settingsDialogShown_ && !alt && event->key == Key::Enter) {
        // The dialog's OK, taken when the dialog is next drawn, after ImGui has committed a
        // number that Enter finished.
        dialogOkRequested_ = true;
    } else if (settingsDialogShown_ && event->key == Key::Escape) {
        settingsDialogShown_ = false;  // the dialog's Cancel
    } else if (alt && event->key == Key::Enter) {
        toggleFullScreen();
    } else if (event->key == Key::Escape) {
        closeWindow();
    }
}

void WindowFramework::onKey(GLFWwindow* w, int key, int, int action, int mods) {
    WindowFramework* f = self(w);
    f->deliverKey(f->translator_.key(key, action, mods));
}

void WindowFramework::onCursor(GLFWwindow* w, double x, double y) {
    WindowFramework* f = self(w);
    f->deliverMouse(f->translator_.cursor(x, y, f->currentMods()));
}

void WindowFramework::onButton(GLFWwindow* w, int button, int action, int mods) {
    WindowFramework* f = self(w);
    f->deliverMouse(f->translator_.button(button, action, mods, glfwGetTime()));
}

void WindowFramework::onScroll(GLFWwindow* w, double, double dy) {
    WindowFramework* f = self(w);
    f->deliverMouse(f->translator_.scroll(dy, f->currentMods()));
}

void WindowFramework::onFocus(GLFWwindow* w, int focused) {
    WindowFramework* f = self(w);
    f->eventSinceFrame_ = true;
    const FocusEvent event = f->translator_.focus(focused == GLFW_TRUE);
    if (f->callbacks_.focus)
        f->callbacks_.focus(event);
}

void WindowFramework::onRefresh(GLFWwindow* w) {
    self(w)->eventSinceFrame_ = true;
}

void WindowFramework::onFramebufferSize(GLFWwindow* w, int width, int height) {
    WindowFramework* f = self(w);
    f->eventSinceFrame_ = true;
    f->pendingWidth_ = width;
    f->pendingHeight_ = height;
}

}  // namespace ostrel
