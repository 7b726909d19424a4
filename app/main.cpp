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
#include "app/ProgramEnd.h"
#include "app/InteractiveControls.h"
#include "app/ProgramLifetime.h"
#include "app/RunControl.h"
#include "app/WindowHooks.h"
#include "app/WindowLoop.h"
#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/FatalError.h"
#include "core/HeapReuse.h"
#include "core/Version.h"
#include "framework/Dialogs.h"
#include "framework/InstanceLock.h"
#include "framework/WindowFramework.h"
#include "optimization/DesignRegions.h"
#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "render/CutSceneRenderer.h"
#include "optimization/ProblemStart.h"
#include "scene/Scene.h"

namespace ostrel {
namespace {

void automationLine(const WindowFramework& framework, const std::string& line) {
    if (framework.flags().automation)
        std::cerr << "automation: " << line << std::endl;
}

/// The framework callbacks: device life cycle to the device callbacks, frame move and input to
/// the window loop. In automation mode every life-cycle event is also logged on stderr.
FrameworkCallbacks makeCallbacks(WindowFramework& framework, DeviceCallbacks& device,
                                 WindowLoop& loop, const Camera& camera) {
    FrameworkCallbacks callbacks;
    callbacks.deviceCreated = [&] {
        automationLine(framework, "device created");
        return device.onCreateDevice();
    };
    callbacks.swapChainResized = [&](int w, int h) {
        automationLine(framework,
                       "swap chain resized " + std::to_string(w) + "x" + std::to_string(h));
        return device.onResizedSwapChain(w, h);
    };
    callbacks.swapChainReleasing = [&] {
        automationLine(framework, "swap chain releasing");
        device.onReleasingSwapChain();
    };
    callbacks.deviceDestroyed = [&] {
        automationLine(framework, "device destroyed");
        device.onDestroyDevice();
    };
    callbacks.frameRender = [&](double time, float elapsed) {
        device.onFrameRender(time, elapsed);
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
        const std::string line = statisticsLines({}, {}, false, camera, 0)[2];
        if (line != lastLine)
            automationLine(framework, "camera " + line);
        lastLine = line;
    };
    callbacks.modifyDeviceSettings = [&](DeviceSettings& s) {
        return device.modifyDeviceSettings(s);
    };
    return callbacks;
}

std::vector<std::wstring> programArguments(int argc, char** argv) {
    std::vector<std::wstring> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i)
        args.push_back(fromUtf8(argv[i]));
    return args;
}

/// The help and the version line: printed, and the exit code (0); nothing otherwise.
std::optional<int> answerInformationRequest(const CommandLineSettings& settings) {
    if (settings.helpRequested) {
        wideOut() << helpText() << std::flush;
        return 0;
    }
    if (settings.versionRequested) {
        narrowOut() << versionLine("ostrel") << std::flush;
        return 0;
    }
    return std::nullopt;
}

/// Opens the framework; without a display the program stops here, before anything is loaded
/// or written (the error on standard error).
bool openFramework(WindowFramework& framework) {
    std::string error;
    if (framework.init(&error))
        return true;
    std::cerr << "ERROR: Cannot open the Ostrel window: " << error << std::endl;
    return false;
}

/// The second-instance guard: the lock is held while this process has its window. False when
/// another instance holds it and the user chose not to continue.
bool holdInstanceLock(InstanceLock& instanceLock) {
    const std::string lockFile = InstanceLock::defaultPath();
    std::string lockError;
    if (instanceLock.acquire(lockFile, &lockError))
        return true;
    if (!lockError.empty()) {
        // A lock file we cannot open tells nothing about other instances.
        std::cerr << "WARNING: Cannot open the instance lock \"" << lockFile << "\": " << lockError
                  << std::endl;
        return true;
    }
    return askYesNo("Warning",
                    "Another Direct3D Application is already running!\n"
                    "Do you want to continue?");
}

/// The scene and its problem at start-up.
struct StartScene {
    std::unique_ptr<Scene> scene;
    std::unique_ptr<Problem> problem;
    int exitCode = 0;  ///< without a scene: how the program ends
};

/// The scene of the command line, or of the file dialog when it names none, and its problem,
/// started as the batch program starts them. Without a scene the exit code is 1 (the dialog
/// was cancelled, or the volume fraction is refused; the error on standard error) or -1 (no
/// device); a scene that cannot be loaded is a fatal error with the batch program's words.
StartScene loadStartScene(const CommandLineSettings& settings, std::wstring& sceneFile) {
    // Temporaries of writers killed mid-write (kill -9) would stay in the output folder (the
    // working directory) for ever.
    for (const std::string& name : removeStaleTemporaries("."))
        writeLine(&wideOut(), L"Removed the temporary file " + quoted(fromUtf8(name)) +
                                  L" that an interrupted run left");
    StartOptions startOptions;
    startOptions.problem.device.forceHost = settings.cpuMode;
    startOptions.problem.device.hostThreads = settings.cpuMode ? settings.numThreads : 0;
    sceneFile = settings.sceneFile;
    int loadLine = 550;
    if (sceneFile.empty()) {
        const std::optional<std::string> chosen = openFileDialog("Load scene file", "*.txt");
        if (!chosen)
            return {nullptr, nullptr, 1};
        sceneFile = fromUtf8(*chosen);
        loadLine = 559;
    }
    // The scene file's lint, the load, the problem, the summary, gravity to zero: as the batch
    // program starts, with its error line for a scene that cannot be loaded.
    StartedProblem started = startProblem(toUtf8(sceneFile), startOptions);
    if (started.status == StartStatus::NoDevice)
        return {nullptr, nullptr, -1};
    if (started.status != StartStatus::Started) {
        // The batch program's line, then the fatal report with its words (without "ERROR: ").
        std::cerr << started.error << std::endl;
        const std::string words = started.error.substr(started.error.find(' ') + 1);
        reportFatalError(kAppSourceFile, loadLine, fromUtf8(words));
    }
    // A volume fraction below one element's share cannot be optimized: refused as the batch
    // program refuses it.
    const Problem& problem = *started.problem;
    if (const std::wstring error = volumeFractionError(problem.controls(), problem.regions());
        !error.empty()) {
        std::cerr << toUtf8(error) << std::endl;
        return {nullptr, nullptr, 1};
    }
    return {std::move(started.scene), std::move(started.problem), 0};
}

/// The last lines of automation mode: frames, waits, the loop's rate and the camera.
void reportAutomationEnd(const WindowFramework& framework, const Camera& camera,
                         const DeviceCallbacks& device) {
    const auto lines = statisticsLines({}, {}, false, camera, device.editorMode());
    automationLine(framework, "frames " + std::to_string(framework.frameCount()));
    automationLine(framework, "idle waits " + std::to_string(framework.idleWaits()));
    automationLine(framework, "minimised frames " + std::to_string(framework.minimisedFrames()) +
                                  ", waits " + std::to_string(framework.unseenWaits()));
    char rate[96];
    std::snprintf(rate, sizeof(rate), "loop %.3f s, %.1f frames per second",
                  framework.loopSeconds(),
                  framework.loopSeconds() > 0
                      ? double(framework.frameCount()) / framework.loopSeconds()
                      : 0.0);
    automationLine(framework, rate);
    automationLine(framework, "camera " + lines[2]);
}

/// The window over the loaded scene: renderer, run control, editor and panels, the loop until
/// the window closes, then the shutdown in reverse order (the scene last). Returns the exit
/// code.
int runWindow(WindowFramework& framework, StartScene& start, const std::wstring& sceneFile,
              Camera& camera, ProgramLifetime& lifetime) {
    std::unique_ptr<Scene>& scene = start.scene;
    std::unique_ptr<Problem>& problem = start.problem;
    auto renderer = std::make_unique<CutSceneRenderer>(scene.get(), &problem->model());
    // The editor and the control panels plug in here.
    WindowHooks hooks;

    // The run control drives the optimization from the frame move; its run flag is clear.
    auto runControl = std::make_unique<RunControl>(problem->model(), problem->solver(), lifetime);
    runControl->setShapeListener(
        [&renderer](const TriangleMesh& mesh) { renderer->setOptimizedMesh(&mesh); });
    // The next step runs while the last one's surface is extracted.
    runControl->extractShapesOnWorker(true);
    // The scene's design controls (volume fraction, filter radius, projection, keep boxes)
    // apply from the first reset on.
    runControl->optimizer().setControls(scene->designControls_);

    DeviceCallbacks device(framework, *renderer, camera);
    // The editor on the renderer, the keys and the control panels, in the window's hooks.
    auto interactive = std::make_unique<InteractiveControls>(*scene, *problem, *runControl,
                                                             *renderer, camera,
                                                             framework, device, sceneFile);
    interactive->plugInto(hooks);
    device.drawPanels = [&hooks](int w, int h, float elapsed) {
        if (hooks.drawPanels)
            hooks.drawPanels(w, h, elapsed);
    };
    device.editorMode = [&hooks] { return hooks.editorMode ? hooks.editorMode() : 0; };
    WindowLoop loop(framework, camera, *renderer, device, runControl.get(), hooks);
    framework.setCallbacks(makeCallbacks(framework, device, loop, camera));

    // 7. The window and the loop.
    std::string error;
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
    if (framework.flags().automation)
        reportAutomationEnd(framework, camera, device);
    interactive.reset();
    runControl.reset();
    renderer.reset();
    problem.reset();
    scene.reset();
    return exitCode;
}

int run(int argc, char** argv) {
    // The optimization values of the program's life: iteration counter, totals, beta counter
    // and reference energy. Nothing resets them.
    ProgramLifetime lifetime;
    // The one camera of the program; it exists before start-up.
    Camera camera;
    const std::vector<std::wstring> args = programArguments(argc, argv);

    // 1. The command line. Fault reporting on abort and window ghosting (step 2) have no
    // counterpart on Linux: abort() raises SIGABRT without a reporting dialog, and X11 window
    // managers do not ghost windows.
    const CommandLineSettings settings = parseCommandLine(args);
    if (const std::optional<int> exitCode = answerInformationRequest(settings))
        return *exitCode;
    // 3. Processor affinity.
    // The worker pool starts first (as large as the threads the host device will use) and keeps
    // the process's mask; only the main thread is bound.
    bindThreadToAffinityMask(settings.affinityMask, &wideOut(),
                             settings.cpuMode ? settings.numThreads : 0);

    // The framework reads its own flags now and reports what nobody knows.
    WindowFramework framework(parseFrameworkFlags(args, settings.consumed, &std::cerr));
    if (!openFramework(framework))
        return WindowFramework::kExitNoWindow;

    // 4. The second-instance guard.
    InstanceLock instanceLock;
    if (!holdInstanceLock(instanceLock))
        return 0;

    // 6. Start-up.
    std::wstring sceneFile;
    StartScene start = loadStartScene(settings, sceneFile);
    if (!start.scene)
        return start.exitCode;
    // The camera's speeds and nearest orbit distance follow the model's size.
    const Scene& scene = *start.scene;
    camera.setLengthScale(scene.view().lengthScale);
    placeCamera(camera, scene.center(), scene.view().defaultViewPos,
                scene.view().defaultHeadingPitchRoll);

    return runWindow(framework, start, sceneFile, camera, lifetime);
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
    // The software rasterizer's per-frame allocations are reused instead of returned each frame.
    ostrel::keepFreedMemoryForReuse();
    return ostrel::runProgram([&] { return ostrel::run(argc, argv); });
}
