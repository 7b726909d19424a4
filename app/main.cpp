// Entry point of the interactive optimizer: command line, second-instance guard, start-up
// (scene, camera, renderer), the window with its frame loop, and the shutdown in reverse order.

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/InteractiveControls.h"
#include "app/ProgramLifetime.h"
#include "app/RunControl.h"
#include "app/WindowHooks.h"
#include "app/WindowLoop.h"
#include "core/Console.h"
#include "core/FatalError.h"
#include "core/HeapReuse.h"
#include "core/Version.h"
#include "framework/Dialogs.h"
#include "framework/InstanceLock.h"
#include "framework/WindowFramework.h"
#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "render/CutSceneRenderer.h"
#include "optimization/ProblemStart.h"
#include "scene/Scene.h"

namespace ostrel {
namespace {

// The one camera of the program; it exists before start-up.
Camera g_camera;

void automationLine(const WindowFramework& framework, const std::string& line) {
    if (framework.flags().automation)
        std::cerr << "automation: " << line << std::endl;
}

/// The framework callbacks: device life cycle to the device callbacks, frame move and input to
/// the window loop. In automation mode every life-cycle event is also logged on stderr.
FrameworkCallbacks makeCallbacks(WindowFramework& framework, DeviceCallbacks& device,
                                 WindowLoop& loop) {
    FrameworkCallbacks callbacks;
    callbacks.deviceCreated = [&] {
        automationLine(framework, "device created");
        return device.OnCreateDevice();
    };
    callbacks.swapChainResized = [&](int w, int h) {
        automationLine(framework,
                       "swap chain resized " + std::to_string(w) + "x" + std::to_string(h));
        return device.OnResizedSwapChain(w, h);
    };
    callbacks.swapChainReleasing = [&] {
        automationLine(framework, "swap chain releasing");
        device.OnReleasingSwapChain();
    };
    callbacks.deviceDestroyed = [&] {
        automationLine(framework, "device destroyed");
        device.OnDestroyDevice();
    };
    callbacks.frameRender = [&](double time, float elapsed) {
        device.OnFrameRender(time, elapsed);
    };
    callbacks.mouse = [&](const MouseEvent& event) { return loop.onMouse(event); };
    callbacks.key = [&](const KeyEvent& event) { return loop.onKey(event); };
    callbacks.focus = [&](const FocusEvent& event) { loop.onFocus(event); };
    callbacks.keyboard = [&](const KeyEvent& event) { loop.onKeyboard(event); };
    callbacks.animating = [&] { return loop.isAnimating(); };
    callbacks.closeRequested = [&] { return loop.onCloseRequested(); };
    callbacks.frameMove = [&, lastLine = std::string()](double time, float elapsed) mutable {
        loop.onFrameMove(time, elapsed);
        // Automation mode reports every change of the camera, so that scripted input can be
        // followed frame by frame.
        if (!framework.flags().automation)
            return;
        const std::string line = statisticsLines({}, {}, false, g_camera, 0)[2];
        if (line != lastLine)
            automationLine(framework, "camera " + line);
        lastLine = line;
    };
    callbacks.modifyDeviceSettings = [&](DeviceSettings& s) {
        return device.ModifyDeviceSettings(s);
    };
    return callbacks;
}

int run(int argc, char** argv) {
    // The optimization values of the program's life: iteration counter, totals, beta counter
    // and reference energy. Nothing resets them.
    ProgramLifetime lifetime;
    std::vector<std::wstring> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i)
        args.push_back(fromUtf8(argv[i]));

    // 1. The command line. Fault reporting on abort and window ghosting (step 2) have no
    // counterpart on Linux: abort() raises SIGABRT without a reporting dialog, and X11 window
    // managers do not ghost windows.
    const CommandLineSettings settings = parseCommandLine(args);
    if (settings.helpRequested) {
        wideOut() << helpText() << std::flush;
        return 0;
    }
    if (settings.versionRequested) {
        narrowOut() << versionLine("ostrel") << std::flush;
        return 0;
    }
    // 3. Processor affinity.
    // The worker pool starts first (as large as the threads the host device will use) and keeps
    // the process's mask; only the main thread is bound.
    bindThreadToAffinityMask(settings.affinityMask, &wideOut(),
                             settings.cpuMode ? settings.numThreads : 0);

    // The framework reads its own flags now and reports what nobody knows; without a display
    // the program stops here, before anything is loaded or written.
    WindowFramework framework(parseFrameworkFlags(args, settings.consumed, &std::cerr));
    std::string error;
    if (!framework.init(&error)) {
        std::cerr << "ERROR: Cannot open the Ostrel window: " << error << std::endl;
        return WindowFramework::kExitNoWindow;
    }

    // 4. The second-instance guard: the lock is held while this process has its window.
    InstanceLock instanceLock;
    const std::string lockFile = InstanceLock::defaultPath();
    std::string lockError;
    if (!instanceLock.acquire(lockFile, &lockError)) {
        if (!lockError.empty()) {
            // A lock file we cannot open tells nothing about other instances.
            std::cerr << "WARNING: Cannot open the instance lock \"" << lockFile
                      << "\": " << lockError << std::endl;
        } else if (!askYesNo("Warning",
                             "Another Direct3D Application is already running!\n"
                             "Do you want to continue?")) {
            return 0;
        }
    }

    // 6. Start-up.
    StartOptions startOptions;
    startOptions.problem.device.forceHost = settings.cpuMode;
    startOptions.problem.device.hostThreads = settings.cpuMode ? settings.numThreads : 0;
    std::wstring sceneFile = settings.sceneFile;
    int loadLine = 550;
    if (sceneFile.empty()) {
        const std::optional<std::string> chosen = openFileDialog("Load scene file", "*.txt");
        if (!chosen)
            return 1;
        sceneFile = fromUtf8(*chosen);
        loadLine = 559;
    }
    // The scene file's lint, the load, the problem, the summary, gravity to zero: as the batch
    // program starts, with its error line for a scene that cannot be loaded.
    StartedProblem started = startProblem(toUtf8(sceneFile), startOptions);
    if (started.status == StartStatus::NoDevice)
        return -1;
    if (started.status != StartStatus::Started) {
        // The batch program's line, then the fatal report with its words (without "ERROR: ").
        std::cerr << started.error << std::endl;
        const std::string words = started.error.substr(started.error.find(' ') + 1);
        reportFatalError(kAppSourceFile, loadLine, fromUtf8(words));
    }
    std::unique_ptr<Scene> scene = std::move(started.scene);
    std::unique_ptr<Problem> problem = std::move(started.problem);
    // The camera's speeds and nearest orbit distance follow the model's size.
    g_camera.SetLengthScale(scene->lengthScale_);
    placeCamera(g_camera, scene->center(), scene->defaultViewPos_, scene->defaultHeadingPitchRoll_);

    auto renderer = std::make_unique<CutSceneRenderer>(scene.get(), &problem->model());
    // The editor and the control panels plug in here.
    WindowHooks hooks;

    // The run control drives the optimization from the frame move; its run flag is clear.
    auto runControl = std::make_unique<RunControl>(problem->model(), problem->solver(), lifetime);
    runControl->setShapeListener(
        [&renderer](const TriangleMesh& mesh) { renderer->SetOptimizedMesh(&mesh); });
    // The scene's design controls (volume fraction, filter radius, projection, keep boxes)
    // apply from the first reset on.
    runControl->optimizer().setControls(scene->designControls_);

    DeviceCallbacks device(framework, *renderer, g_camera);
    // The editor on the renderer, the keys and the control panels, in the window's hooks.
    auto interactive = std::make_unique<InteractiveControls>(*scene, *problem, *runControl, *renderer, g_camera,
                                                             framework, device, sceneFile);
    interactive->plugInto(hooks);
    device.drawPanels = [&hooks](int w, int h, float elapsed) {
        if (hooks.drawPanels)
            hooks.drawPanels(w, h, elapsed);
    };
    device.editorMode = [&hooks] { return hooks.editorMode ? hooks.editorMode() : 0; };
    WindowLoop loop(framework, g_camera, *renderer, device, runControl.get(), hooks);
    framework.setCallbacks(makeCallbacks(framework, device, loop));

    // 7. The window and the loop.
    int exitCode = WindowFramework::kExitNoWindow;
    if (framework.createDevice("Ostrel", true, 800, 600, &error)) {
        exitCode = framework.mainLoop();
    } else {
        std::cerr << "ERROR: Cannot open the Ostrel window: " << error << std::endl;
        if (framework.exitCode() != WindowFramework::kExitOk)
            exitCode = framework.exitCode();
    }

    // 8. Shutdown in reverse order.
    framework.shutdown();
    if (framework.flags().automation) {
        const auto lines = statisticsLines({}, {}, false, g_camera, device.editorMode());
        automationLine(framework, "frames " + std::to_string(framework.frameCount()));
        automationLine(framework, "idle waits " + std::to_string(framework.idleWaits()));
        automationLine(framework, "minimised frames " +
                                      std::to_string(framework.minimisedFrames()) + ", waits " +
                                      std::to_string(framework.unseenWaits()));
        char rate[96];
        std::snprintf(
            rate, sizeof(rate), "loop %.3f s, %.1f frames per second", framework.loopSeconds(),
            framework.loopSeconds() > 0 ? double(framework.frameCount()) / framework.loopSeconds()
                                        : 0.0);
        automationLine(framework, rate);
        automationLine(framework, "camera " + lines[2]);
    }
    interactive.reset();
    runControl.reset();
    renderer.reset();
    problem.reset();
    scene.reset();
    return exitCode;
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
    // The software rasterizer's per-frame allocations are reused instead of returned each frame.
    ostrel::keepFreedMemoryForReuse();
    return ostrel::run(argc, argv);
}
