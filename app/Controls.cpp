#include "app/Controls.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <vector>

#include "app/RunControl.h"
#include "app/SaveDialog.h"
#include "core/Console.h"
#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"
#include "render/Editor.h"
#include "render/RenderSettings.h"
#include "optimization/LoadCaseForces.h"
#include "optimization/LoadCaseSolve.h"
#include "optimization/Problem.h"
#include "optimization/SymmetryOrbits.h"
#include "scene/Scene.h"

namespace ostrel {

namespace {

constexpr const wchar_t* kDriverFixed =
    L"The OpenGL driver cannot be switched while Ostrel runs (start it with "
    L"LIBGL_ALWAYS_SOFTWARE=1 for Mesa's software rasterizer); nothing changed";

/// The renderer flag that a check box of the main panel shows; null for other identifiers.
bool* settingOf(RenderSettings& s, int id) {
    switch (id) {
        case kWireFrame:
            return &s.wireFrame;
        case kRenderCoordinateSystem:
            return &s.renderCoordinateSystem;
        case kRenderGround:
            return &s.renderGround;
        case kEnableShadows:
            return &s.enableShadows;
        case kEnableHeadLight:
            return &s.enableHeadLight;
        case kRenderSurface:
            return &s.renderSurface;
        case kRenderForcesVertices:
            return &s.renderForcesVertices;
        default:
            return nullptr;
    }
}

}  // namespace

Controls::Controls(Scene& scene, Problem& problem, RunControl& run, RenderSettings& settings, Editor& editor,
                   CameraKeys* camera, SaveFileDialog* dialog, std::wstring sceneFile,
                   FrameworkActions framework, ControlsOptions options)
    : scene_(scene),
      problem_(problem),
      run_(run),
      settings_(settings),
      editor_(editor),
      camera_(camera),
      dialog_(dialog),
      sceneFile_(std::move(sceneFile)),
      framework_(std::move(framework)),
      wideLog_(options.wideLog ? options.wideLog : &wideOut()),
      narrowLog_(options.narrowLog ? options.narrowLog : &narrowOut()),
      cases_(std::make_unique<LoadCaseForces>(problem.model(), problem.solver(),
                                              scene.designControls_.loadCaseWeights)) {}

Controls::~Controls() = default;

void Controls::report(const std::wstring& line) {
    writeLine(wideLog_, line);
}

void Controls::frameworkAction(const std::function<void()>& action, const wchar_t* unavailable) {
    if (action)
        action();
    else
        report(unavailable);
}

bool Controls::checkState(int id) const {
    if (id == kRunOstrel)
        return run_.isRunning();
    if (id == kCrispDesign)
        return scene_.designControls_.projection == 1;
    if (id >= kMirrorX && id <= kMirrorZ) {
        const std::vector<SymmetryPlane>& planes = scene_.designControls_.symmetry;
        return std::any_of(planes.begin(), planes.end(),
                           [axis = id - kMirrorX](const SymmetryPlane& p) { return p.axis == axis; });
    }
    if (const bool* flag = settingOf(const_cast<RenderSettings&>(settings_), id))
        return *flag;
    return false;
}

void Controls::onControlEvent(int id, bool checked) {
    FemModel* model = &problem_.model();
    switch (id) {
        case kToggleFullScreen:
            frameworkAction(framework_.toggleFullScreen,
                            L"Toggle full screen: not available without a window; nothing changed");
            return;
        case kToggleRef:
            frameworkAction(framework_.toggleRef, kDriverFixed);
            return;
        case kChangeDevice:
            frameworkAction(framework_.toggleDeviceDialog,
                            L"Change device: not available without a window; nothing changed");
            return;
        case kToggleWarp:
            frameworkAction(framework_.toggleWarp, kDriverFixed);
            return;
        case kClearForces:
            cases_->clearChosen();
            return;
        case kClearFixations:
            if (!model)
                return;
            model->clearFixations();
            problem_.solver().prepareSolve();
            return;
        case kRunOstrel:
            run_.setRunning(checked);
            return;
        case kResetOstrel:
            run_.setRunning(false);
            if (!model)
                return;
            problem_.solver().computeLoad();
            run_.optimizer().setControls(scene_.designControls_);
            run_.optimizer().reset();
            run_.optimizer().updateStiffness();
            return;
        case kCrispDesign:
            scene_.designControls_.projection = checked ? 1 : 0;
            // Before the first step every path to an iteration resets first; later the mode
            // waits for "Reset Ostrel", as the optimizer's arrays are those of its old mode.
            if (run_.iteration() == 0)
                run_.optimizer().setControls(scene_.designControls_);
            return;
        case kPreviousCase:
        case kNextCase:
        case kAddCase:
        case kRemoveCase:
        case kWeightDown:
        case kWeightUp:
            onLoadCaseEvent(id);
            return;
        case kMirrorX:
        case kMirrorY:
        case kMirrorZ:
            setMirror(id - kMirrorX, checked);
            return;
        case kRenderForcesVertices:
            // The editing modes draw the handles and arrows whatever the box says: the box
            // stays on and the click sets what the view mode shows again.
            if (editor_.mode() != Editor::kView)
                editor_.setHandlesChoice(checked);
            else
                settings_.renderForcesVertices = checked;
            return;
        default:
            if (bool* flag = settingOf(settings_, id))
                *flag = checked;
            return;
    }
}

std::string Controls::loadCaseText() const {
    const int chosen = cases_->chosen(), count = cases_->count();
    std::string text = "Load case " + std::to_string(chosen) + " of " + std::to_string(count);
    if (count > 1) {
        char weight[32];
        std::snprintf(weight, sizeof weight, "%g", cases_->weight(chosen));
        text += std::string(", weight ") + weight;
    }
    return text;
}

void Controls::onLoadCaseEvent(int id) {
    const int chosen = cases_->chosen();
    bool countChanged = false, weightChanged = false;
    switch (id) {
        case kPreviousCase:
        case kNextCase:
            cases_->choose(chosen + (id == kNextCase ? 1 : -1));
            break;
        case kAddCase:
            cases_->addCase();
            countChanged = true;
            break;
        case kRemoveCase:
            if (!cases_->removeChosen()) {
                report(L"Load case 1 cannot be removed (\"Clear Forces\" empties it); nothing "
                       L"changed");
                return;
            }
            countChanged = true;
            break;
        default: {
            const double step = id == kWeightUp ? kWeightStep : -kWeightStep;
            if (cases_->count() == 1) {
                report(L"One load case: its weight changes nothing (\"Add Case\" adds another); "
                       L"nothing changed");
                return;
            }
            if (!cases_->setWeight(chosen, std::max(0.0, cases_->weight(chosen) + step))) {
                report(L"Some load case must keep a positive weight; nothing changed");
                return;
            }
            weightChanged = true;
            break;
        }
    }
    report(fromUtf8(loadCaseText()));
    // The optimizer sizes its energies by the case count at its reset: a reset optimizer gets
    // one at once. The weights wait for the next reset, as the projection mode does.
    if (countChanged && run_.optimizer().isReset())
        onControlEvent(kResetOstrel);
    else if ((countChanged || weightChanged) && run_.iteration() == 0)
        run_.optimizer().setControls(scene_.designControls_);
}

void Controls::setMirror(int axis, bool on) {
    std::vector<SymmetryPlane> planes;
    for (const SymmetryPlane& p : scene_.designControls_.symmetry)
        if (p.axis != axis) planes.push_back(p);
    if (on) {
        SymmetryPlane plane;
        plane.axis = axis;
        planes.push_back(plane);
        std::sort(planes.begin(), planes.end(),
                  [](const SymmetryPlane& a, const SymmetryPlane& b) { return a.axis < b.axis; });
        SymmetryOrbits orbits;
        std::wstring error;
        if (!symmetryOrbits(problem_.model(), planes, orbits, error)) {
            report(error + L"; nothing changed");
            return;
        }
    }
    scene_.designControls_.symmetry = planes;
    std::wstring text;
    for (const SymmetryPlane& p : planes) text += (text.empty() ? L"" : L", ") + describePlane(p);
    report(L"Mirror planes: " + (text.empty() ? std::wstring(L"none") : text));
    // As the projection mode: at once before the first step, else at "Reset Ostrel".
    if (run_.iteration() == 0) run_.optimizer().setControls(scene_.designControls_);
}

void Controls::solveOnce() {
    MultigridSolver& solver = problem_.solver();
    Optimizer& optimizer = run_.optimizer();
    if (run_.iteration() == 0) {
        solver.computeLoad();
        optimizer.reset();
        optimizer.setDensities(std::vector<float>(optimizer.densities().size(), 1.0f));
        optimizer.updateStiffness();
        solver.prepareSolve();
    }
    solveLoadCases(solver, optimizer, kSolveOnceTolerance);
    optimizer.evaluateEnergies();
}

void Controls::closeShape() {
    // Before the first reset there are no densities: closing would hand an empty shape over.
    if (!run_.optimizer().isReset())
        return;
    run_.optimizer().closeShape();
    run_.publishShape();
}

void Controls::onKey(const KeyEvent& event) {
    if (!event.isDown())
        return;
    const bool altDown = event.modifiers.alt;
    switch (event.key) {
        case Key::Space:
            if (camera_)
                camera_->toggleOrbitMode();
            return;
        case Key::Digit2:
            if (camera_)
                camera_->setAngles(90.0f, 0.0f, 0.0f, 0.0f);
            return;
        case Key::D:
            editor_.setMode(Editor::kView);
            return;
        case Key::V:
            editor_.setMode(Editor::kFixations);
            return;
        case Key::F:
            editor_.setMode(Editor::kForces);
            return;
        case Key::L:
            if (!altDown || !camera_)
                return;
            scene_.view().lightPos = camera_->eyePosition();
            scene_.view().lightDir = camera_->forward();
            scene_.view().lightUp = camera_->up();
            scene_.view().lightChanged = true;
            scene_.view().computeLightView();
            return;
        case Key::N:
            if (!run_.isRunning())
                problem_.solver().computeLoad();
            return;
        case Key::P:
            closeShape();
            return;
        case Key::S:
            if (altDown)
                scene_.saveScene(sceneFile_, problem_.supportsAndLoads(), wideLog_);
            else
                solveOnce();
            return;
        case Key::U:
            panelsShown_ = !panelsShown_;
            return;
        case Key::X:
            if (!camera_)
                return;
            if (altDown) {
                scene_.view().defaultViewPos = camera_->eyePosition();
                scene_.view().defaultHeadingPitchRoll = camera_->headingPitchRoll();
                scene_.view().viewChanged = true;
            } else {
                camera_->moveTo(scene_.view().defaultViewPos,
                                scene_.view().defaultHeadingPitchRoll);
            }
            return;
        case Key::F5:
            if (dialog_)
                dialog_->open();
            return;
        case Key::F7:
        case Key::F9: {
            Optimizer& optimizer = run_.optimizer();
            const double goal =
                optimizer.volumeReductionGoal() + (event.key == Key::F7 ? kGoalStep : -kGoalStep);
            optimizer.setVolumeReductionGoal(goal);
            *narrowLog_ << "Rarget redution: " << goal << std::endl;
            return;
        }
        default:
            return;
    }
}

bool Controls::closeRequested(const std::function<Answer(const std::wstring& question)>& ask) {
    const std::vector<std::wstring> edits = scene_.unsavedEdits(problem_.supportsAndLoads());
    if (edits.empty())
        return true;
    std::wstring list;
    for (const std::wstring& edit : edits)
        list += (list.empty() ? L"" : L", ") + edit;
    const Answer answer =
        ask ? ask(L"The scene has unsaved changes of " + list + L".\nWrite them to \"" +
                  sceneFile_ + L"\"?")
            : Answer::No;
    if (answer == Answer::Cancel)
        return false;
    // A scene that cannot be written keeps the window, and so the edits, open.
    if (answer == Answer::Yes)
        return scene_.saveScene(sceneFile_, problem_.supportsAndLoads(), wideLog_);
    report(L"WARNING: Unsaved changes of " + list + L" were not written to \"" + sceneFile_ +
           L"\"");
    return true;
}

void Controls::onFrame() {
    if (!dialog_)
        return;
    if (const std::optional<std::filesystem::path> file = dialog_->poll())
        run_.writeShape(*file);
}

}  // namespace ostrel
