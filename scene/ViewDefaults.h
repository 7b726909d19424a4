#pragma once
// The camera, light and editor defaults of a scene: what the window shows and edits with, apart
// from the scene's files and parameters. Scene::loadScene reads them (the RENDERER_ and EDITOR_
// keys, else defaults from the mesh and the voxel size); the window moves the view and the light
// and Scene::saveScene writes them back when changed.

#include "geometry/Vec3.h"

namespace ostrel {

struct ViewDefaults {
    // Camera and light.
    Vec3f defaultViewPos{-20, 0, 0};
    Vec3f defaultHeadingPitchRoll{0, 0, 0};
    Vec3f lightPos{0, 0, 1};
    Vec3f lightDir{0, 0, -1};
    Vec3f lightUp{0, 1, 0};
    float lightView[16] = {};  ///< row-major world -> light space (computeLightView)
    /// The model's length scale (scene/ViewFraming.h), from the prepared mesh's bounding box:
    /// the light's default position is (0, 0, lengthScale) and the window scales its clip
    /// planes, light frustum and camera speeds by it. 1 until a load.
    float lengthScale = 1;

    // Editor values and derived sizes.
    float vertexHandleRadius = 0;
    double forceSphereRadius = 0;
    double forcePerPixel = 0.1;
    float forceArrowScale = 0;
    float forceArrowScaling = 1;  ///< EDITOR_FORCE_ARROW_SCALING: the arrows' display scale
    float meanVoxelSize = 0;

    bool viewChanged = false;   ///< set when the user moves the default view
    bool lightChanged = false;  ///< set when the user moves the light

    /// Recomputes lightView from lightPos, lightDir and lightUp (after the light moved).
    void computeLightView();
};

}  // namespace ostrel
