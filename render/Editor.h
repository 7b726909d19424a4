#pragma once
// Editor: turns right-button mouse actions into edits of the model's fixation flags
// (FemModel::setFixed) and applied forces (FemModel::setForce), host side only.
//
// It reads what lies under the cursor from an ObjectIdSource (the renderer's object-ID buffer of
// the last frame): kind 1 vertex handle and kind 2 force arrow carry a finest-level vertex
// index, kind 3 a surface-vertex index. An index of kind 1 or 2 that is not below the model's
// current vertex count is ignored.
//
// Modes: 0 view (a right click on a surface vertex prints "Clicked surface vertex <i>"),
// 1 fixations (a click toggles one handle, printing "Toggled fixation of vertex <i>"; a
// rectangle fixes every handle in it when fewer are fixed than free, else frees them all),
// 2 forces (a press on a handle or arrow selects the vertices within EDITOR_FORCE_SPHERE_RADIUS
// with normalised Gaussian weights exp(-1.6 d^2/r^2) and clears their forces; dragging sets
// force w * (right*dx - up*dy) * EDITOR_FORCE_PER_PIXEL on each; the release appends
// "px py pz   fx fy fz" to the forces log, and a release within 2 pixels of the press clears the
// forces within twice the radius). The run control hands the flags to the solver at every step
// and the forces at the next load computation. With load cases set (setLoadCases) the force
// edits act on the chosen case; without, on the model's forces.
//
// The forces log is $HOME/Quenby/forces.txt, appended only when that folder exists. Console
// lines go to the wide console (or the stream given). The ID source, settings and scene are not
// owned and must outlive the editor. Window thread only.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <utility>
#include <vector>

#include "framework/InputEvents.h"
#include "geometry/Matrix4.h"
#include "geometry/Vec3.h"
#include "render/ObjectId.h"
#include "render/RenderSettings.h"

namespace ostrel {

class FemModel;
class LoadCaseForces;
class Scene;

class Editor {
  public:
    enum Mode { kView = 0, kFixations = 1, kForces = 2 };

    /// Mode 0, not dragging, empty force selection, last force zero. `settings` receives the
    /// editor-active flag of setMode (null: none). `model` is the scene's model whose fixations
    /// and forces the editor changes (null: nothing to edit). `console` null = the console's
    /// wide output.
    Editor(ObjectIdSource* ids, RenderSettings* settings, Scene* scene, FemModel* model,
           std::wostream* console = nullptr);

    /// Handles mouse moves and right-button presses (a double click is a press) and releases;
    /// true when the event was used (the hook then stops passing it on).
    bool onMouseEvent(const MouseEvent& event);

    /// Mode 0, 1 or 2; the renderer's editor flag follows (on for 1 and 2). Entering 1 or 2
    /// from 0 also turns "Render Forces/Vertices" on, so that its check box shows the handles and
    /// arrows that the mode draws; going back to 0 restores the choice from before (or the one
    /// given to SetHandlesChoice meanwhile). A drag in progress goes on; its release does the
    /// work of the new mode.
    void setMode(int mode);
    int mode() const { return mode_; }
    /// The load cases whose chosen case the force edits change (null: the model's forces). Not
    /// owned; must outlive the editor's use of it.
    void setLoadCases(LoadCaseForces* cases) { cases_ = cases; }
    /// The user's "Render Forces/Vertices" choice for after the editing mode (a click on the
    /// check box while in mode 1 or 2, where the box stays on).
    void setHandlesChoice(bool shown) { handlesChoice_ = shown; }

    /// Eye, viewing direction, right and up of the camera from the view matrix V of the frame
    /// (points map as V * p): the inverse of V applied to the origin and the three view axes.
    void updateCameraAxes(const Matrix4& view);

    /// The forces log; default $HOME/Quenby/forces.txt (empty when HOME is not set). The line
    /// is appended only when the file's folder exists.
    void setForcesLogFile(std::filesystem::path file) { forcesLog_ = std::move(file); }
    const std::filesystem::path& forcesLogFile() const { return forcesLog_; }
    static std::filesystem::path defaultForcesLogFile();

    // ---- state, read by the statistics text and tests ----
    bool isDragging() const { return dragging_; }
    int pickedVertex() const { return pickedVertex_; }
    const std::vector<std::pair<int, double>>& forceSelection() const { return forceSelection_; }
    const Vec3f& pickedPosition() const { return pickedPosition_; }
    const Vec3f& lastForce() const { return lastForce_; }
    const Vec3f& eye() const { return eye_; }
    const Vec3f& viewDirection() const { return viewDirection_; }
    const Vec3f& right() const { return right_; }
    const Vec3f& up() const { return up_; }

  private:
    bool forcePress(int x, int y);
    void forceDrag(int x, int y);
    void forceRelease(int x, int y);
    void fixationRelease(int x, int y);
    /// The vertex index of a kind-1 or kind-2 ID, or -1 when the index is not below the vertex
    /// count (or there is no model).
    int simulationVertex(std::uint32_t id) const;
    int vertexCount() const;
    /// Grid coordinates of vertex v times the voxel size per axis (the grid origin not added).
    Vec3f gridPosition(int v) const;
    /// Squared distance between vertices a and b (grid differences times voxel sizes, double).
    double squaredDistance(int a, int b) const;
    void appendForcesLogLine() const;
    /// Sets the listed vertices' forces in the chosen case (or the model's).
    void applyForces(const std::vector<std::pair<int, Vec3f>>& changes);

    ObjectIdSource* ids_;
    RenderSettings* settings_;
    Scene* scene_;
    FemModel* model_;
    LoadCaseForces* cases_ = nullptr;
    std::wostream* console_;
    std::filesystem::path forcesLog_;

    int mode_ = kView;
    bool handlesChoice_ = false;  ///< "Render Forces/Vertices" to restore when mode 0 returns
    Vec3f eye_{0, 0, 0};
    Vec3f viewDirection_{0, 0, -1};
    Vec3f right_{1, 0, 0};
    Vec3f up_{0, 1, 0};
    bool dragging_ = false;
    int pressX_ = 0, pressY_ = 0;
    int pickedVertex_ = -1;
    std::vector<std::pair<int, double>> forceSelection_;
    Vec3f pickedPosition_{0, 0, 0};
    Vec3f lastForce_{0, 0, 0};
};

}  // namespace ostrel
