#pragma once
// The loaded scene: the scene file's parameters, camera, light and editor defaults, the
// scene's KeyValueFile (kept for writing back), the prepared TriangleMesh, the FemModel and the
// solver bound to it.
//
// loadScene reads the key-value file, reads the mesh (OBJ or STL, geometry/MeshFile.h), scales,
// transforms and moves it so that its bounding box starts at the origin, voxelizes it, builds
// the FemModel with its solver set up on the chosen device and applies FIXED_VERTICES and
// FORCES (grid coordinates of level-0 vertex grid points), then the optional design-control keys
// OPTIMIZATION_VOLUME_FRACTION, OPTIMIZATION_FILTER_RADIUS, OPTIMIZATION_PROJECTION,
// KEEP_SOLID_BOXES and KEEP_EMPTY_BOXES (scene/DesignControls.h); a value out of range or not a
// number fails the load with an error that names the key. Before voxelizing and again before
// building the model the loader checks the grid's limits, the level count, the model's 32-bit
// counts and the estimated memory need (scene/MemoryEstimate.h), and fails with one "ERROR: "
// line instead of allocating what cannot fit. A scene is loaded once per run; loading again
// releases the old model first.
// Owns its model and solver; the solver's device resources are released before the model.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fem/FemModel.h"
#include "geometry/Matrix4.h"
#include "geometry/TriangleMesh.h"
#include "geometry/Vec3.h"
#include "gpu/Driver.h"
#include "scene/DesignControls.h"
#include "scene/KeyValueFile.h"
#include "scene/MemoryEstimate.h"

namespace ostrel {

class MultigridSolver;

class Scene {
public:
    explicit Scene(const DeviceOptions& device = {});
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    /// Parameters back to their reset values, flags cleared, derived values recomputed.
    void resetScene();
    /// Loads `fileName`; messages and warnings go to `log`, progress lines to the console.
    /// On failure returns false after the failing component's message (loaded flag false).
    bool loadScene(const std::wstring& fileName, std::wostream* log);
    /// Writes fixations, forces and (when changed) view and light back into the key-value file,
    /// and OPTIMIZATION_PROJECTION when designControls_.projection differs from the file's value
    /// (0 where the key is absent), and writes it to `fileName` atomically. True without writing
    /// when nothing is loaded.
    bool saveScene(const std::wstring& fileName, std::wostream* log);
    /// What the window changed since the load or the last successful save and saveScene would
    /// write: any of "fixations", "forces", "view", "light", "design controls", in this order
    /// (empty when nothing is loaded or nothing changed).
    std::vector<std::wstring> unsavedEdits() const;
    /// Six lines: mesh, transformation, counts, voxel size, material, time step; then one line
    /// for each design-control key the file sets.
    std::wstring sceneSummary() const;

    /// Memory a scene may need (bytes), named `source` in the refusal; 0, the default, means
    /// the limit that applies to the process (core/MemoryLimit.h), read at every load. A scene
    /// whose estimated need is larger is refused before voxelization or model building.
    void setMemoryLimit(double bytes, std::wstring source = L"memory limit") {
        memoryLimit_ = {bytes, std::move(source)};
    }

    bool isLoaded() const { return loaded_; }
    FemModel* model() { return model_.get(); }
    MultigridSolver* solver() { return solver_.get(); }
    const TriangleMesh& mesh() const { return mesh_; }
    const KeyValueFile& file() const { return file_; }

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

    // Camera and light defaults.
    Vec3f defaultViewPos_{-20, 0, 0};
    Vec3f defaultHeadingPitchRoll_{0, 0, 0};
    Vec3f lightPos_{0, 0, 1};
    Vec3f lightDir_{0, 0, -1};
    Vec3f lightUp_{0, 1, 0};
    float lightView_[16] = {};  ///< row-major world -> light space
    /// The model's length scale (scene/ViewFraming.h), from the prepared mesh's bounding box:
    /// the light's default position is (0, 0, lengthScale_) and the window scales its clip
    /// planes, light frustum and camera speeds by it. 1 until a load.
    float lengthScale_ = 1;

    // Editor values and derived sizes.
    float vertexHandleRadius_ = 0;
    double forceSphereRadius_ = 0;
    double forcePerPixel_ = 0.1;
    float forceArrowScale_ = 0;
    float forceArrowScaling_ = 1;  ///< EDITOR_FORCE_ARROW_SCALING: the arrows' display scale
    float meanVoxelSize_ = 0;

    /// The affine map from the mesh file's coordinates to the model's (world) coordinates:
    /// MESH_SCALE_TO's scaling, then MESH_TRANSFORMATION (fourth row taken as 0 0 0 1), then the
    /// move of the bounding box to the origin. Identity until a load has prepared the mesh.
    Matrix4 meshToModel_ = Matrix4::identity();

    bool viewChanged_ = false;   ///< set when the user moves the default view
    bool lightChanged_ = false;  ///< set when the user moves the light

    /// Centre of the prepared mesh's bounding box (the camera's centre of rotation).
    Vec3f center() const { return mesh_.center; }
    /// Recomputes lightView_ from lightPos_, lightDir_ and lightUp_ (after the light moved).
    void computeLightView();

private:
    /// What saveScene writes, as loaded or last saved (unsavedEdits compares with it).
    struct SavedState {
        std::vector<std::uint8_t> fixed;
        std::vector<float> forces;
        Vec3f viewPos, headingPitchRoll, lightPos, lightDir, lightUp;
        int projection = 0;
    };
    void rememberSavedState();

    void applyFixations(const std::wstring& list, std::wostream* log);
    void applyForces(const std::wstring& list, std::wostream* log);
    bool readDesignControls(std::wostream* log);
    void releaseModel();
    /// The model's size as far as it can be told before voxelizing at `voxelSize` into a grid
    /// of `resolution`.
    SceneSize expectedSize(const Vec3i& resolution, const Vec3d& voxelSize) const;

    DeviceOptions device_;
    MemoryLimit memoryLimit_;
    bool loaded_ = false;
    KeyValueFile file_;
    TriangleMesh mesh_;
    std::unique_ptr<FemModel> model_;
    std::unique_ptr<MultigridSolver> solver_;
    SavedState saved_;
};

/// Directory prefix of a file name: up to and including the last '/' or '\' (empty if none).
std::wstring directoryPrefix(const std::wstring& fileName);

}  // namespace ostrel
