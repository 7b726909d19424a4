#pragma once
// CutSceneRenderer: draws one frame of the scene into the window's back buffer (the object's
// surface, the optional shadow, ground with fog, coordinate axes with the light frustum, and
// while handles are shown a handle at every simulation vertex that can show and an arrow for
// every force) and writes the handles' and arrows' object IDs into the object-ID buffer that
// the editor reads.
//
// Life cycle, driven by the device callbacks: construction (no device resources) ->
// onCreateDevice -> onCreateSwapChain -> frames (setViewMatrix, render) -> on every resize
// onReleasingSwapChain, onCreateSwapChain -> onReleasingSwapChain -> onDestroyDevice. The
// settings and the optimized mesh survive a device change. Operations that create device
// resources return false at the first failure. Main (window) thread only; an OpenGL context must be current for every call
// between onCreateDevice and onDestroyDevice.

#include <cstdint>
#include <memory>
#include <set>

#include "geometry/Matrix4.h"
#include "render/ObjectId.h"
#include "render/RenderSettings.h"

namespace ostrel {

class FemModel;
class LoadCaseForces;
class Scene;
class TriangleMesh;

class CutSceneRenderer : public ObjectIdSource {
public:
    /// Stores the scene and its model (not owned; they must outlive the renderer; a null model
    /// draws no handles and arrows) and the default settings.
    explicit CutSceneRenderer(Scene* scene, FemModel* model = nullptr);
    ~CutSceneRenderer() override;
    CutSceneRenderer(const CutSceneRenderer&) = delete;
    CutSceneRenderer& operator=(const CutSceneRenderer&) = delete;

    /// Loads the effect, creates the line drawer, the instance buffers, the handle, arrow, ground
    /// and input meshes and the shadow map; false at the first failure.
    bool onCreateDevice();
    /// Stores the back-buffer size and creates the object-ID buffer of that size.
    bool onCreateSwapChain(int width, int height);
    /// Stores the camera projection and hands it to the effect and the line drawer.
    void setProjection(const Matrix4& projection);
    /// Releases the object-ID buffer.
    void onReleasingSwapChain();
    /// Releases every device resource.
    void onDestroyDevice();

    /// Replaces the optimized mesh by `mesh` (copied to the GPU), or with null draws the input
    /// mesh again. False when its GPU copy cannot be made.
    bool setOptimizedMesh(const TriangleMesh* mesh);
    /// The load cases whose arrows are drawn (null, the default, or one case: the model's
    /// forces): the chosen case's as the model's are, every other case's dimmed (a dull colour,
    /// no object ID). Not owned; must outlive the renderer's use of it or be unset.
    void setLoadCases(const LoadCaseForces* cases);
    /// The camera's view matrix V of the frame (the frame move keeps it current).
    void setViewMatrix(const Matrix4& view);
    /// Draws one frame; the frame callback has cleared the back buffer and the depth buffer.
    void render();

    /// Object-ID read-back (window coordinates, y downwards). A failed read-back is fatal.
    std::uint32_t getObjectId(int x, int y) override;
    void collectObjectIds(int x0, int y0, int x1, int y1, std::set<std::uint32_t>& ids) override;

    RenderSettings& settings();
    const RenderSettings& settings() const;
    const Matrix4& projection() const;
    const Matrix4& viewMatrix() const;
    int width() const;
    int height() const;
    /// How often the shadow map has been drawn (it is kept while the surface and light stay).
    int shadowMapRenders() const;
    /// Handles in the last frame's draw: every vertex's, or those the input surface does not
    /// hide (render/EnclosedHandles.h); 0 without handles.
    int handlesDrawn() const;
    /// The scene's length scale (scene/ViewFraming.h; 1 without a scene): the light's frustum
    /// is scaled by it, and the caller's camera projection should be (cameraProjection).
    float lengthScale() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel
