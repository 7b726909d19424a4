// The application's side of the window loop without a window: the input hooks' order, the
// frame move (title, camera, view, editor axes) and which arguments the framework reports.

#include <gtest/gtest.h>

#include <sstream>

#include "app/CommandLine.h"
#include "app/WindowLoop.h"
#include "framework/WindowFramework.h"
#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "render/CutSceneRenderer.h"
#include "support/InputEventBuilders.h"

namespace ostrel {
namespace {

using namespace ostrel::testing;

struct Rig {
    WindowFramework framework{FrameworkFlags{}};
    Camera camera;
    CutSceneRenderer renderer{nullptr};
    DeviceCallbacks device{framework, renderer, camera};
    WindowHooks hooks;
    WindowLoop loop{framework, camera, renderer, device, nullptr, hooks};

    bool send(const KeyEvent& event) { return loop.onKey(event); }
    bool send(const MouseEvent& event) { return loop.onMouse(event); }
};

/// Panels that cover x >= 700 and record their calls.
struct PanelsRight {
    explicit PanelsRight(Rig& rig, std::vector<std::string>& calls) {
        rig.hooks.panelsMouse = [&calls](const MouseEvent& event) {
            calls.push_back("panels");
            return event.x >= 700;
        };
        rig.hooks.panelsKey = [&calls](const KeyEvent&) {
            calls.push_back("panel keys");
            return true;
        };
    }
};

TEST(WindowLoop, TheEditorFirstThenTheCameraThenThePanels) {
    Rig rig;
    std::vector<std::string> calls;
    bool editorTakes = true;
    rig.hooks.editorMouse = [&](const MouseEvent&) {
        calls.push_back("editor");
        return editorTakes;
    };
    PanelsRight panels(rig, calls);
    // Taken by the editor: the camera never sees the press (the panels only say it is not
    // theirs).
    EXPECT_TRUE(rig.send(mousePress(MouseButton::Left, 10, 10)));
    EXPECT_EQ(rig.camera.mouseButtons(), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"panels", "editor"}));
    rig.send(mouseRelease(MouseButton::Left, 10, 10));
    // Declined: the camera, then the panels, whose answer is the flag.
    editorTakes = false;
    calls.clear();
    EXPECT_FALSE(rig.send(mousePress(MouseButton::Left, 10, 10)));
    EXPECT_EQ(rig.camera.mouseButtons(), 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"panels", "editor", "panels"}));
    calls.clear();
    EXPECT_TRUE(rig.send(mouseMove(750, 10, 1)));  // the drag goes on over a panel
    EXPECT_EQ(calls, (std::vector<std::string>{"editor", "panels"}));
    // Keys go to the camera, then to the panels.
    calls.clear();
    EXPECT_TRUE(rig.send(keyPress(Key::Left)));
    EXPECT_EQ(rig.camera.keysHeld(), 1);
    EXPECT_EQ(calls, std::vector<std::string>{"panel keys"});
    // Controls hidden: no panels, the flag stays cleared.
    rig.device.setControlsShown(false);
    calls.clear();
    EXPECT_FALSE(rig.send(mouseRelease(MouseButton::Left, 750, 10)));
    EXPECT_EQ(rig.camera.mouseButtons(), 0);
    EXPECT_FALSE(rig.send(keyRelease(Key::Left)));
    EXPECT_EQ(rig.camera.keysHeld(), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"editor"});
}

TEST(WindowLoop, APressOverAPanelReachesNeitherTheEditorNorTheCamera) {
    Rig rig;
    std::vector<std::string> calls;
    rig.hooks.editorMouse = [&](const MouseEvent&) {
        calls.push_back("editor");
        return true;  // an editor in fixation mode takes every right press
    };
    PanelsRight panels(rig, calls);
    placeCamera(rig.camera, {0, 0, 0}, {-2, 0, 0}, {0, 0, 0});
    // A right click on a panel, and a left drag from a panel out over the model.
    for (const MouseButton button : {MouseButton::Right, MouseButton::Left}) {
        calls.clear();
        EXPECT_TRUE(rig.send(mousePress(button, 750, 300)));
        EXPECT_TRUE(rig.loop.isPanelDrag());
        EXPECT_TRUE(rig.send(mouseMove(100, 500, buttonBit(button))));
        rig.loop.onFrameMove(0.0, 0.1f);
        // A second button during the drag belongs to it as well.
        MouseEvent middle = mousePress(MouseButton::Middle, 100, 500);
        middle.buttons |= buttonBit(button);
        EXPECT_TRUE(rig.send(middle));
        middle = mouseRelease(MouseButton::Middle, 100, 500);
        middle.buttons = buttonBit(button);
        EXPECT_TRUE(rig.send(middle));
        EXPECT_TRUE(rig.send(mouseRelease(button, 100, 500)));
        EXPECT_FALSE(rig.loop.isPanelDrag());
        EXPECT_EQ(calls, std::vector<std::string>{"panels"});
        EXPECT_EQ(rig.camera.mouseButtons(), 0);
        EXPECT_FLOAT_EQ(rig.camera.pitch(), 0.0f);
    }
    // The next press outside the panels goes to the editor again.
    calls.clear();
    EXPECT_TRUE(rig.send(mousePress(MouseButton::Right, 100, 300)));
    EXPECT_EQ(calls, (std::vector<std::string>{"panels", "editor"}));
    EXPECT_TRUE(rig.send(mouseRelease(MouseButton::Right, 100, 300)));
    // Hidden panels take nothing.
    rig.device.setControlsShown(false);
    calls.clear();
    EXPECT_TRUE(rig.send(mousePress(MouseButton::Right, 750, 300)));
    EXPECT_EQ(calls, std::vector<std::string>{"editor"});
    EXPECT_TRUE(rig.send(mouseRelease(MouseButton::Right, 750, 300)));
}

TEST(WindowLoop, WhileTheSettingsDialogIsShownEveryPressIsItsAndFocusLossEndsTheDrag) {
    Rig rig;
    int editorCalls = 0;
    rig.hooks.editorMouse = [&](const MouseEvent&) { return ++editorCalls, true; };
    rig.framework.setSettingsDialogShown(true);
    EXPECT_TRUE(rig.send(mousePress(MouseButton::Right, 10, 10)));
    EXPECT_EQ(editorCalls, 0);
    rig.framework.setSettingsDialogShown(false);
    rig.loop.onFocus(FocusEvent{false});
    EXPECT_FALSE(rig.loop.isPanelDrag());
    EXPECT_TRUE(rig.send(mousePress(MouseButton::Right, 10, 10)));
    EXPECT_EQ(editorCalls, 1);
}

TEST(WindowLoop, FocusLossReleasesTheCameraKeysAndButtons) {
    Rig rig;
    rig.send(keyPress(Key::Left));
    rig.send(mousePress(MouseButton::Left, 10, 10));
    rig.loop.onFocus(FocusEvent{true});
    EXPECT_EQ(rig.camera.keysHeld(), 1);
    rig.loop.onFocus(FocusEvent{false});
    EXPECT_EQ(rig.camera.keysHeld(), 0);
    EXPECT_EQ(rig.camera.mouseButtons(), 0);
}

TEST(WindowLoop, F2HidesTheSettingsDialogAndThePanelsWaitMeanwhile) {
    Rig rig;
    int panelCalls = 0;
    rig.hooks.panelsKey = [&](const KeyEvent&) { return ++panelCalls, true; };
    rig.framework.setSettingsDialogShown(true);
    EXPECT_FALSE(rig.send(keyPress(Key::W)));
    EXPECT_TRUE(rig.framework.settingsDialogShown());
    EXPECT_FALSE(rig.send(keyPress(Key::F2)));
    EXPECT_FALSE(rig.framework.settingsDialogShown());
    EXPECT_EQ(panelCalls, 0);
    EXPECT_TRUE(rig.send(keyPress(Key::F2)));
    EXPECT_EQ(panelCalls, 1);
}

TEST(WindowLoop, WithoutPanelsF2ShowsTheSettingsDialog) {
    Rig rig;
    EXPECT_FALSE(rig.send(keyPress(Key::W)));
    EXPECT_FALSE(rig.framework.settingsDialogShown());
    EXPECT_TRUE(rig.send(keyPress(Key::F2)));
    EXPECT_TRUE(rig.framework.settingsDialogShown());
    EXPECT_FALSE(rig.send(keyPress(Key::F2)));
    EXPECT_FALSE(rig.framework.settingsDialogShown());
    // Alt+F2 and a release are not the hot key; an auto-repeat is.
    EXPECT_FALSE(rig.send(keyPress(Key::F2, true)));
    EXPECT_FALSE(rig.send(keyRelease(Key::F2)));
    EXPECT_FALSE(rig.framework.settingsDialogShown());
    EXPECT_TRUE(rig.send(keyRepeat(Key::F2)));
    EXPECT_TRUE(rig.framework.settingsDialogShown());
}

TEST(WindowLoop, FrameMoveWritesTheTitleEveryHalfSecondAndMovesTheCamera) {
    Rig rig;
    Matrix4 axesView;
    int axesCalls = 0;
    rig.hooks.updateCameraAxes = [&](const Matrix4& v) { axesView = v, ++axesCalls; };
    placeCamera(rig.camera, {0, 0, 0}, {-2, 0, 0}, {10, 0, 0});
    rig.loop.onFrameMove(3.0, 0.0f);
    EXPECT_EQ(rig.framework.windowTitle(), "");
    rig.loop.onFrameMove(3.5, 0.5f);  // exactly 0.5 s: not yet
    EXPECT_EQ(rig.framework.windowTitle(), "");
    rig.camera.handleKey(keyPress(Key::Right));
    rig.loop.onFrameMove(3.51, 0.01f);
    EXPECT_EQ(rig.framework.windowTitle(), "Ostrel @ 0.00 fps");
    EXPECT_NEAR(rig.camera.heading(), 10 + 0.21f * 0.01f * 180, 1e-4f);
    EXPECT_EQ(rig.renderer.viewMatrix(), rig.camera.viewMatrix());
    EXPECT_EQ(axesView, rig.camera.viewMatrix());
    EXPECT_EQ(rig.loop.frameView(), rig.camera.viewMatrix());
    EXPECT_EQ(axesCalls, 3);
}

TEST(WindowLoop, TheWindowWaitsOnlyWhenNothingChanges) {
    Rig rig;
    FrameworkCallbacks callbacks;
    callbacks.animating = [&rig] { return rig.loop.isAnimating(); };
    rig.framework.setCallbacks(callbacks);
    // The first frame and the settling frames after it are drawn, then the loop may wait.
    for (int frame = 0; frame < 1 + WindowFramework::kSettleFrames; ++frame)
        EXPECT_FALSE(rig.framework.mayIdle()) << frame;
    EXPECT_TRUE(rig.framework.mayIdle());
    EXPECT_TRUE(rig.framework.mayIdle());
    // A held key moves the camera every frame; after the release the view rests again.
    rig.send(keyPress(Key::Up));
    EXPECT_TRUE(rig.loop.isAnimating());
    EXPECT_FALSE(rig.framework.mayIdle());
    rig.send(keyRelease(Key::Up));
    EXPECT_FALSE(rig.loop.isAnimating());
    EXPECT_TRUE(rig.framework.mayIdle());
    // A wheel turn waits for the next camera update; so does a held button, moved or not.
    rig.send(mouseWheel(kWheelUnitsPerNotch));
    EXPECT_FALSE(rig.framework.mayIdle());
    rig.loop.onFrameMove(1.0, 0.0f);
    EXPECT_TRUE(rig.framework.mayIdle());
    rig.send(mousePress(MouseButton::Left, 5, 5));
    rig.loop.onFrameMove(1.1, 0.1f);
    EXPECT_FALSE(rig.framework.mayIdle());
    rig.send(mouseRelease(MouseButton::Left, 5, 5));
    EXPECT_TRUE(rig.framework.mayIdle());

    // Frames counted by -quitafterframe are never waited for.
    FrameworkFlags counted;
    counted.quitAfterFrame = 100;
    WindowFramework framework(counted);
    for (int frame = 0; frame < 10; ++frame)
        EXPECT_FALSE(framework.mayIdle()) << frame;
}

TEST(WindowLoop, AMinimisedWindowWaitsUnseenWhileNoRunGoes) {
    Rig rig;
    bool running = false;
    FrameworkCallbacks callbacks;
    callbacks.animating = [&] { return running || rig.loop.isAnimating(); };
    rig.framework.setCallbacks(callbacks);
    // Shown, the window never waits unseen; it settles, then idles.
    for (int frame = 0; frame < 1 + WindowFramework::kSettleFrames; ++frame) {
        EXPECT_FALSE(rig.framework.waitsUnseen(false)) << frame;
        EXPECT_FALSE(rig.framework.mayIdle()) << frame;
    }
    EXPECT_FALSE(rig.framework.waitsUnseen(false));
    EXPECT_TRUE(rig.framework.mayIdle());
    // Minimised: it waits without drawing, wait after wait.
    EXPECT_TRUE(rig.framework.waitsUnseen(true));
    EXPECT_TRUE(rig.framework.waitsUnseen(true));
    // A run goes on as in a shown window: every frame is drawn.
    running = true;
    EXPECT_FALSE(rig.framework.waitsUnseen(true));
    EXPECT_FALSE(rig.framework.mayIdle());
    running = false;
    EXPECT_TRUE(rig.framework.waitsUnseen(true));
    // Shown again, the first frame is drawn at once and the window settles before it idles.
    for (int frame = 0; frame < 1 + WindowFramework::kSettleFrames; ++frame)
        EXPECT_FALSE(rig.framework.mayIdle()) << frame;
    EXPECT_TRUE(rig.framework.mayIdle());
}

TEST(DeviceCallbacks, OnlyTheFirstDeviceGetsSyncIntervalZero) {
    Rig rig;
    DeviceSettings first;
    first.syncInterval = 1;
    EXPECT_TRUE(rig.device.modifyDeviceSettings(first));
    EXPECT_EQ(first.syncInterval, 0);
    EXPECT_FALSE(rig.device.firstDevice());
    // A later device (a change in the settings dialog) keeps what the user chose.
    DeviceSettings second;
    second.syncInterval = 1;
    second.windowed = false;
    second.width = 1024;
    EXPECT_TRUE(rig.device.modifyDeviceSettings(second));
    EXPECT_EQ(second.syncInterval, 1);
    EXPECT_FALSE(second.windowed);
    EXPECT_EQ(second.width, 1024);
}

TEST(WindowLoop, TitleText) {
    EXPECT_EQ(windowTitleText(59.944), "Ostrel @ 59.94 fps");
    EXPECT_EQ(windowTitleText(1234.5), "Ostrel @ 1234.50 fps");
}

TEST(WindowLoop, TheFrameworkReportsOnlyWhatTheEntryPointDidNotTake) {
    const std::vector<std::wstring> args = {L"ostrel",   L"-SCENE",    L"s.txt", L"-width:640",
                                            L"-PROFILE", L"50",        L"x",     L"-CPU",
                                            L"-bogus",   L"-AFFINITY", L"3"};
    const CommandLineSettings settings = parseCommandLine(args);
    EXPECT_EQ(settings.consumed, (std::vector<bool>{false, true, true, false, true, true, false,
                                                    true, false, true, true}));
    std::ostringstream err;
    const FrameworkFlags flags = parseFrameworkFlags(args, settings.consumed, &err);
    EXPECT_EQ(flags.width, 640);
    EXPECT_EQ(err.str(), "Unrecognized flag: x\nUnrecognized flag: -bogus\n");
}

}  // namespace
}  // namespace ostrel
