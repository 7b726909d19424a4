#include "render/CutSceneRendererContract.h"

namespace ostrel {

const gl::EffectContract& cutSceneRendererContract() {
    using K = gl::VariableKind;
    static const gl::EffectContract contract{
        "CutSceneRenderer",
        {"SetSolidRenderMode", "SetWireFrameRenderMode", "RenderMeshWithFaceNormals",
         "RenderMeshWithFaceNormalsAndShadows", "RenderMesh", "RenderMeshWithShadows",
         "RenderMeshWithCutSurfaces", "RenderMeshWithCutSurfacesAndShadows",
         "RenderMeshWithCutSurfacesAndClippingAndShadows", "RenderMeshIntoShadowMap",
         "RenderMeshWithFog", "RenderMeshWithFogAndShadows", "RenderSimulationVertices",
         "RenderForceArrows", "RenderSurfaceVertices"},
        {{"g_mProjection", K::Matrix},
         {"g_vLightPosCS", K::Vector},
         {"g_fSphereRadius", K::Scalar},
         {"g_mWorldView", K::Matrix},
         {"g_mTransInvWorldView", K::Matrix},
         {"g_vAmbientColor", K::Vector},
         {"g_vDiffuseColor", K::Vector},
         {"g_vSpecularColor", K::Vector},
         {"g_mWorld", K::Matrix},
         {"g_vSceneCenter", K::Vector},
         {"g_vFogColor", K::Vector},
         {"g_fFogExponent", K::Scalar},
         {"g_fFogDensity", K::Scalar},
         {"g_mWorldLightSMProjection", K::Matrix},
         {"g_vAmbientColorCutSurfaces", K::Vector},
         {"g_vDiffuseColorCutSurfaces", K::Vector},
         {"g_vSpecularColorCutSurfaces", K::Vector},
         {"g_mShadowMap", K::Matrix},
         {"g_mInvViewLight", K::Matrix},
         {"g_fClippingY", K::Scalar},
         {"g_txShadowMap", K::Texture},
         {"g_vViewportSize", K::Vector}}};
    return contract;
}

}  // namespace ostrel
