#pragma once
// The scene renderer's effect ("cutscenerenderer.cso"): the variables, the technique
// "CutSceneRenderer" and its fifteen passes of cutSceneRendererContract(), looked up in that
// order, then its six input layouts; the load fails at the first name missing.

#include <array>
#include <string>

#include "render/toolkit/Effect.h"

namespace ostrel {

class CutSceneRendererEffect : public ostrel::gl::Effect {
public:
    using Variable = ostrel::gl::EffectVariable;
    using Pass = ostrel::gl::EffectPass;
    using Layout = ostrel::gl::InputLayout;

    explicit CutSceneRendererEffect(const std::wstring& fileName = L"cutscenerenderer.cso")
        : Effect(fileName) {}
    bool bindVariables() override;

    /// The names and kinds it looks up: cutSceneRendererContract() (CutSceneRendererContract.h).
    Variable *g_mProjection = nullptr, *g_vLightPosCS = nullptr, *g_fSphereRadius = nullptr,
             *g_mWorldView = nullptr, *g_mTransInvWorldView = nullptr,
             *g_vAmbientColor = nullptr, *g_vDiffuseColor = nullptr, *g_vSpecularColor = nullptr,
             *g_mWorld = nullptr, *g_vSceneCenter = nullptr, *g_vFogColor = nullptr,
             *g_fFogExponent = nullptr, *g_fFogDensity = nullptr,
             *g_mWorldLightSMProjection = nullptr, *g_vAmbientColorCutSurfaces = nullptr,
             *g_vDiffuseColorCutSurfaces = nullptr, *g_vSpecularColorCutSurfaces = nullptr,
             *g_mShadowMap = nullptr, *g_mInvViewLight = nullptr, *g_fClippingY = nullptr,
             *g_txShadowMap = nullptr,
             /// (width, height, 1/width, 1/height) of the viewport: the handles' sprites are
             /// sized in pixels and cast their rays from the fragment's window position.
             *g_vViewportSize = nullptr;
    ostrel::gl::EffectTechnique* technique = nullptr;
    Pass *setSolidRenderMode = nullptr, *setWireFrameRenderMode = nullptr,
         *renderMeshWithFaceNormals = nullptr, *renderMeshWithFaceNormalsAndShadows = nullptr,
         *renderMesh = nullptr, *renderMeshWithShadows = nullptr,
         *renderMeshWithCutSurfaces = nullptr, *renderMeshWithCutSurfacesAndShadows = nullptr,
         *renderMeshWithCutSurfacesAndClippingAndShadows = nullptr,
         *renderMeshIntoShadowMap = nullptr, *renderMeshWithFog = nullptr,
         *renderMeshWithFogAndShadows = nullptr, *renderSimulationVertices = nullptr,
         *renderForceArrows = nullptr, *renderSurfaceVertices = nullptr;
    /// 1 shadow pass, 2 surface and ground, 3 two-slot mesh, 4 cut surfaces, 5 handles, 6 arrows.
    std::array<Layout*, 6> layouts{};
    int layoutCount = 0;
};

}  // namespace ostrel
