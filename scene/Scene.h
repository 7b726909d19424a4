#pragma once
// The loaded scene: the scene file's parameters, its camera, light and editor defaults (a
// ViewDefaults of their own, scene/ViewDefaults.h), the scene's KeyValueFile (kept for writing
// back), the prepared TriangleMesh and the supports and loads the file lists. No model and no
// device: optimization/Problem.h builds the problem (voxel model, hierarchy, solver, fixations,
// loads, design regions) from a loaded scene.
//
// loadScene reads the key-value file, reads the mesh (OBJ or STL, geometry/MeshFile.h), scales,
// transforms and moves it so that its bounding box starts at the origin, reads NUM_LEVELS and
// ADD_ADDITIONAL_SURFACE_VOXELS, the view, light and editor keys, then the optional
// design-control keys OPTIMIZATION_VOLUME_FRACTION, OPTIMIZATION_FILTER_RADIUS,
// OPTIMIZATION_PROJECTION, OPTIMIZATION_MIN_MEMBER (which sets the filter radius, not together
// with OPTIMIZATION_FILTER_RADIUS), KEEP_SOLID_BOXES and KEEP_EMPTY_BOXES (scene/DesignControls.h; a value
// out of range or not a number fails the load with an error that names the key), and the lists
// FIXED_VERTICES and FORCES (grid coordinates of level-0 vertex grid points) as values, and the
// further load cases FORCES_CASE_2, ... with LOAD_CASE_WEIGHTS (scene/LoadCases.h; a bad value,
// an empty case or a gap in the numbering fails the load with an error that names the key).

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/Matrix4.h"
#include "geometry/TriangleMesh.h"
#include "geometry/Vec3.h"
#include "scene/DesignControls.h"
#include "scene/KeyValueFile.h"
#include "scene/LoadCases.h"
#include "scene/ViewDefaults.h"

namespace ostrel {

/// A grid point of the level-0 vertex grid, as scene files name vertices.
struct GridPoint {
    int x = 0, y = 0, z = 0;
    bool operator==(const GridPoint&) const = default;
};

/// A force on the vertex at a grid point.
struct PointForce {
    GridPoint at;
    float fx = 0, fy = 0, fz = 0;
    bool operator==(const PointForce&) const = default;
};

/// Fixed vertices and forces: as the file lists them (in file order) or as a model holds them
/// (in vertex order, forces that are not zero).
struct SupportsAndLoads {
    std::vector<GridPoint> fixed;
    std::vector<PointForce> forces;  ///< load case 1
    /// The forces of load cases 2, 3, ... (empty with one case).
    std::vector<std::vector<PointForce>> moreCases;
    /// The file's list holds text that is not a number (the entries before it count; a last
    /// entry cut short, all numbers, is dropped without a note).
    bool fixedUnreadable = false;
    bool forcesUnreadable = false;
};

class Scene {
public:
    Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    /// Parameters back to their reset values, flags cleared, derived values recomputed.
    void resetScene();
    /// Loads `fileName`; messages and warnings go to `log`, progress lines to the console.
    /// On failure returns false after the failing component's message (loaded flag false).
    bool loadScene(const std::wstring& fileName, std::wostream* log);
    /// Writes the fixations and forces of `current` (the model's, in vertex order; the further
    /// load cases' forces into FORCES_CASE_2, ..., removing the keys of cases it no longer has;
    /// LOAD_CASE_WEIGHTS from designControls_.loadCaseWeights unless the file's value gives
    /// them, removed with one case where it lists more), (when
    /// changed) view and light back into the key-value file, and OPTIMIZATION_PROJECTION when
    /// designControls_.projection differs from the file's value (0 where the key is absent),
    /// SYMMETRY_PLANES when designControls_.symmetry differs from the file's planes (removed
    /// without planes), and writes it to `fileName` atomically. True without writing when nothing is loaded. With
    /// several cases one without a force is refused (false, an "ERROR: " line naming the case,
    /// nothing written): the file could not be loaded.
    bool saveScene(const std::wstring& fileName, const SupportsAndLoads& current,
                   std::wostream* log);
    /// Takes `current` (the model's supports and loads) as what the file holds: after the
    /// problem is built from the scene, and by every successful saveScene.
    void rememberSaved(const SupportsAndLoads& current);
    /// What the window changed since the load or the last successful save and saveScene would
    /// write, `current` being the model's supports and loads: any of "fixations", "forces",
    /// "view", "light", "design controls", in this order (empty when nothing is loaded or
    /// nothing changed).
    std::vector<std::wstring> unsavedEdits(const SupportsAndLoads& current) const;
    /// Six lines: mesh, transformation, counts (`elements` and `vertices` of the model),
    /// voxel size, material, time step; then one line for each design-control key the file sets.
    std::wstring sceneSummary(int elements, int vertices) const;

    bool isLoaded() const { return loaded_; }
    const TriangleMesh& mesh() const { return mesh_; }
    const KeyValueFile& file() const { return file_; }
    /// The mesh file the last load read (MESH, a relative name taken from the scene's folder);
    /// empty before a load reached it.
    const std::wstring& meshFileName() const { return meshFile_; }
    /// FIXED_VERTICES and FORCES as the file lists them.
    const SupportsAndLoads& listedSupportsAndLoads() const { return listed_; }

    // Scene parameters (reset values in resetScene).
    Vec3d voxelSize_{0.01, 0.01, 0.01};
    double elasticModulus_ = 1e7;
    double poissonRatio_ = 0.3;
    double density_ = 1000;
    double dampingFactor_ = 0.5;
    double timeStep_ = 0.05;
    Vec3d gravity_{0, 0, -9.81};
    int numLevels_ = 0;
    bool addAdditionalSurfaceVoxels_ = false;
    /// Design controls of the optional keys (defaults where a key is absent).
    DesignControls designControls_;

    /// The affine map from the mesh file's coordinates to the model's (world) coordinates:
    /// MESH_SCALE_TO's scaling, then MESH_TRANSFORMATION (fourth row taken as 0 0 0 1), then the
    /// move of the bounding box to the origin. Identity until a load has prepared the mesh.
    Matrix4 meshToModel_ = Matrix4::identity();

    /// Centre of the prepared mesh's bounding box (the camera's centre of rotation).
    Vec3f center() const { return mesh_.center; }
    /// The camera, light and editor defaults: read with the scene, moved by the window.
    ViewDefaults& view() { return view_; }
    const ViewDefaults& view() const { return view_; }

private:
    /// What saveScene writes, as loaded or last saved (unsavedEdits compares with it).
    struct SavedState {
        std::vector<GridPoint> fixed;
        std::vector<PointForce> forces;
        std::vector<std::vector<PointForce>> moreCases;
        Vec3f viewPos, headingPitchRoll, lightPos, lightDir, lightUp;
        int projection = 0;
        std::vector<double> weights;  ///< caseWeights of the saved cases
        std::vector<SymmetryPlane> symmetry;
    };

    // The steps of loadScene, in order; each fails with its message in `log`.
    bool readParameters(const std::wstring& fileName, std::wostream* log);
    bool prepareMesh(const std::wstring& fileName, std::wostream* log);
    void readView(std::wostream* log);
    bool readDesignControls(std::wostream* log);
    bool readSupportsAndLoads(std::wostream* log);
    /// The further load cases and LOAD_CASE_WEIGHTS, after FORCES.
    bool readLoadCases(std::wostream* log);
    /// designControls_.loadCaseWeights for `cases` load cases: empty for one, else one per
    /// case (1 where the list ends early).
    std::vector<double> caseWeights(int cases) const;

    bool loaded_ = false;
    ViewDefaults view_;
    KeyValueFile file_;
    TriangleMesh mesh_;
    std::wstring meshFile_;
    SupportsAndLoads listed_;
    SavedState saved_;
};

/// Directory prefix of a file name: up to and including the last '/' or '\' (empty if none).
std::wstring directoryPrefix(const std::wstring& fileName);

}  // namespace ostrel
