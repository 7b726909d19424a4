#include "app/InteractiveControls.h"

#include "core/Console.h"
#include "framework/Dialogs.h"
#include "framework/WindowFramework.h"
#include "render/DeviceCallbacks.h"
#include "optimization/Problem.h"
#include "render/CutSceneRenderer.h"

namespace ostrel {

namespace {

FrameworkActions frameworkActions(WindowFramework& framework) {
    FrameworkActions actions;
    actions.toggleFullScreen = [&framework] { framework.toggleFullScreen(); };
    actions.toggleDeviceDialog = [&framework] {
        framework.setSettingsDialogShown(!framework.settingsDialogShown());
    };
    // toggleRef and toggleWarp stay empty: Mesa chooses between the hardware driver and its
    // software rasterizer once per display connection, so the key handler says so instead.
    return actions;
}

}  // namespace

InteractiveControls::InteractiveControls(Scene& scene, Problem& problem, RunControl& run,
                                         CutSceneRenderer& renderer, Camera& camera, WindowFramework& framework,
                                         DeviceCallbacks& device, std::wstring sceneFile)
    : device_(device),
      renderer_(renderer),
      askOnClose_(!framework.flags().noErrorMsgBoxes && !framework.flags().automation),
      editor_(&renderer, &renderer.settings(), &scene, &problem.model()),
      cameraKeys_(camera),
      controls_(scene, problem, run, renderer.settings(), editor_, &cameraKeys_, &saveDialog_,
                std::move(sceneFile), frameworkActions(framework)),
      panels_(controls_) {
    device_.setControlsShown(controls_.panelsShown());
    // Force edits act on the chosen load case; the other cases' arrows are drawn dimmed.
    editor_.setLoadCases(&controls_.loadCases());
    renderer_.setLoadCases(&controls_.loadCases());
}

InteractiveControls::~InteractiveControls() { renderer_.setLoadCases(nullptr); }

void InteractiveControls::plugInto(WindowHooks& hooks) {
    hooks.editorMouse = [this](const MouseEvent& event) { return editor_.onMouseEvent(event); };
    hooks.panelsMouse = [this](const MouseEvent& event) { return panels_.handleMouse(event); };
    hooks.panelsKey = [this](const KeyEvent& event) { return panels_.handleKey(event); };
    hooks.keyboard = [this](const KeyEvent& event) {
        controls_.onKey(event);
        device_.setControlsShown(controls_.panelsShown());
    };
    hooks.drawPanels = [this](int width, int height, float /*elapsed*/) {
        panels_.draw(width, height);
    };
    hooks.updateCameraAxes = [this](const Matrix4& view) {
        editor_.updateCameraAxes(view);
        controls_.onFrame();
    };
    hooks.editorMode = [this] { return editor_.mode(); };
    hooks.closeRequested = [this] {
        if (!askOnClose_)
            return controls_.closeRequested(nullptr);
        return controls_.closeRequested([](const std::wstring& question) {
            return askYesNoCancel("Unsaved changes", toUtf8(question));
        });
    };
    device_.freeArea = [](int width, int height) { return ControlPanels::freeArea(width, height); };
}

}  // namespace ostrel
