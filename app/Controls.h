#pragma once
// Controls: the handler of the on-screen controls' events and the keyboard handler of the
// interactive program. Both act on the model (fixations, forces, the run), the renderer's flags,
// the editor's mode, the camera and the scene file.
//
// Control events (identifier, check-box state): 1 full screen, 2 REF, 3 device dialog, 4 WARP
// (through the framework's actions; where the platform has none, one line says so and nothing
// changes),
// 7 "Clear Forces" (the chosen load case's forces cleared on the host; the solver gets them at
// the next computeLoad),
// 8 "Clear Fixations" (clearFixations, then prepareSolve), 17 "Run Ostrel" (run flag),
// 18 "Reset Ostrel" (run flag cleared, computeLoad, optimizer reset with the scene's design
// controls, stiffness; the iteration counter goes on), 19 to 25 the renderer's flags,
// 26 "Crisp design (projection)" (the scene's projection mode, which the next reset takes: the
// optimizer gets it at once while no step has run, since the first step resets, and otherwise
// at "Reset Ostrel", so a running optimization keeps its mode; Alt+S writes the mode into the
// scene file when it differs from the file's).
// Load cases (loadCases(): the chosen case is the one the editor's force edits and "Clear
// Forces" change and whose arrows are drawn in full): 27 "< Case" and 28 "Case >" choose the
// case before or after, 29 "Add Case" appends a case without forces and chooses it, 30 "Remove
// Case" removes the chosen case (case 1 cannot be removed: "Clear Forces" empties it), 31
// "Weight -" and 32 "Weight +" change the chosen case's weight by 0.25 (only with several
// cases; no weight below 0, and some case keeps a positive weight). Each prints
// loadCaseText() on the wide log, or why nothing changed. A weight takes effect as the
// projection mode does (at once while no step has run, else at "Reset Ostrel"); adding or
// removing a case does what "Reset Ostrel" does once the optimizer has been reset (its
// energies are sized by the case count), and before that the first step's reset takes it.
// Alt+S writes every case and the weights (Scene::saveScene).
// 33 "Mirror x", 34 "Mirror y", 35 "Mirror z" (check boxes): the model's centre plane normal to
// that axis as a mirror plane of the design (scene.designControls_.symmetry), taken as the
// projection mode is; a plane the voxel model is not symmetric about is refused with the
// optimizer's "ERROR: " line and "; nothing changed". Each change prints "Mirror planes: <the
// planes>" ("none" without). Alt+S writes SYMMETRY_PLANES when the planes differ from the file's.
//
// Keys (on a press or an auto-repeat; Alt as held): Space free flight <-> orbit, 2 front view,
// D/V/F editor mode 0/1/2, Alt+L light from the camera, N computeLoad while not running, P close
// the shape, Alt+S write the scene file, S solve once to 0.0001, U show/hide the panels, Alt+X
// store the default view, X go to the default view, F5 "Save mesh to file", F7/F9 goal +-0.02
// with the line "Rarget redution: <goal>".
//
// The scene, run control, settings, editor, camera and dialog are not owned and must outlive the
// controls. Console: wide lines (the scene and mesh writers) and narrow lines (the goal keys, the
// solver) go to the streams of ControlsOptions. Main (window) thread only.

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "framework/Dialogs.h"
#include "framework/InputEvents.h"
#include "geometry/Vec3.h"

namespace ostrel {

class Editor;
class LoadCaseForces;
class RunControl;
class Problem;
class Scene;
class SaveFileDialog;
struct RenderSettings;

/// Identifiers of the controls of the two panels.
enum ControlId : int {
    kToggleFullScreen = 1,
    kToggleRef = 2,
    kChangeDevice = 3,
    kToggleWarp = 4,
    kClearForces = 7,
    kClearFixations = 8,
    kRunOstrel = 17,
    kResetOstrel = 18,
    kWireFrame = 19,
    kRenderCoordinateSystem = 20,
    kRenderGround = 21,
    kEnableShadows = 22,
    kEnableHeadLight = 23,
    kRenderSurface = 24,
    kRenderForcesVertices = 25,
    kCrispDesign = 26,
    kPreviousCase = 27,
    kNextCase = 28,
    kAddCase = 29,
    kRemoveCase = 30,
    kWeightDown = 31,
    kWeightUp = 32,
    kMirrorX = 33,
    kMirrorY = 34,
    kMirrorZ = 35,
};

/// The camera as the keys see it. The application binds it to the window's camera; every
/// setter recomputes the view. Angles in degrees.
class CameraKeys {
  public:
    virtual ~CameraKeys() = default;
    /// Free flight (0) <-> orbit (1); entering orbit takes the eye's distance to the orbit centre
    /// as the orbit distance.
    virtual void toggleOrbitMode() = 0;
    virtual void setAngles(float heading, float pitch, float roll, float turn) = 0;
    /// Eye position, heading, pitch and roll (turn 0): the scene's default view.
    virtual void moveTo(const Vec3f& eye, const Vec3f& headingPitchRoll) = 0;
    virtual Vec3f eyePosition() const = 0;
    virtual Vec3f headingPitchRoll() const = 0;
    /// Unit viewing direction and up vector of the current view.
    virtual Vec3f forward() const = 0;
    virtual Vec3f up() const = 0;
};

/// What the device panel asks of the window framework; an empty function is not available on
/// this platform.
struct FrameworkActions {
    std::function<void()> toggleFullScreen;
    std::function<void()> toggleRef;
    std::function<void()> toggleWarp;
    std::function<void()> toggleDeviceDialog;
};

struct ControlsOptions {
    std::wostream* wideLog = nullptr;   ///< null = the console's wide output
    std::ostream* narrowLog = nullptr;  ///< null = the console's narrow output
};

class Controls {
  public:
    static constexpr double kSolveOnceTolerance = 0.0001;
    static constexpr double kGoalStep = 0.02;
    static constexpr double kWeightStep = 0.25;

    /// `sceneFile` is the scene file named at start-up (Alt+S writes it), `problem` the one built
    /// from it. `camera` and `dialog` may be null (their keys then do nothing).
    Controls(Scene& scene, Problem& problem, RunControl& run, RenderSettings& settings, Editor& editor,
             CameraKeys* camera, SaveFileDialog* dialog, std::wstring sceneFile,
             FrameworkActions framework = {}, ControlsOptions options = {});
    ~Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    /// A control's event: its identifier and, for check boxes, the new state.
    void onControlEvent(int id, bool checked = false);
    /// The keyboard callback.
    void onKey(const KeyEvent& event);
    /// Once per frame: finishes a save dialog that the user answered.
    void onFrame();
    /// The window is asked to close. With unsaved edits (Scene::unsavedEdits) `ask` (null: do
    /// not ask) gets the question "The scene has unsaved changes of <edits>.\nWrite them to
    /// "<scene file>"?": Yes writes the scene file (Alt+S) and closes, unless the writing
    /// failed; No closes; Cancel keeps the window. Closing without writing says on the wide log
    /// "WARNING: Unsaved changes of <edits> were not written to "<scene file>"". True: close.
    bool closeRequested(const std::function<Answer(const std::wstring& question)>& ask);

    /// Both panels are drawn and take input (hotkeys included) only while shown.
    bool panelsShown() const { return panelsShown_; }
    void setPanelsShown(bool shown) { panelsShown_ = shown; }

    /// The state a check box shows: the run flag (17), the renderer flag (19 to 25), the
    /// projection mode of the next reset (26) or a mirror plane normal to the axis (33 to 35).
    bool checkState(int id) const;

    /// Solve once (key S): at iteration 0 computeLoad, reset, densities 1, stiffness and
    /// prepareSolve first; then solve to 0.0001 and evaluate the element energies.
    void solveOnce();
    /// Key P: closes the shape and hands it to the renderer (nothing before the first reset).
    void closeShape();

    /// The problem's load cases with the scene's weights (scene.designControls_).
    LoadCaseForces& loadCases() { return *cases_; }
    /// "Load case <chosen> of <count>, weight <w>" (without the weight with one case).
    std::string loadCaseText() const;

    Scene& scene() { return scene_; }
    RunControl& runControl() { return run_; }
    RenderSettings& settings() { return settings_; }

  private:
    void report(const std::wstring& line);
    void frameworkAction(const std::function<void()>& action, const wchar_t* unavailable);
    /// The load-case controls 27 to 32.
    void onLoadCaseEvent(int id);
    /// The mirror check boxes 33 to 35: the centre plane normal to `axis` on or off.
    void setMirror(int axis, bool on);

    Scene& scene_;
    Problem& problem_;
    RunControl& run_;
    RenderSettings& settings_;
    Editor& editor_;
    CameraKeys* camera_;
    SaveFileDialog* dialog_;
    std::wstring sceneFile_;
    FrameworkActions framework_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    std::unique_ptr<LoadCaseForces> cases_;
    bool panelsShown_ = true;
};

}  // namespace ostrel
