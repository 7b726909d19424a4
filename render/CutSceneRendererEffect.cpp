#include "render/CutSceneRendererEffect.h"

#include "render/CutSceneRendererContract.h"

namespace ostrel {

using namespace ostrel::gl;

bool CutSceneRendererEffect::bindVariables() {
    // In the contract's order.
    Variable** const variables[] = {
        &g_mProjection, &g_vLightPosCS, &g_fSphereRadius, &g_mWorldView, &g_mTransInvWorldView,
        &g_vAmbientColor, &g_vDiffuseColor, &g_vSpecularColor, &g_mWorld, &g_vSceneCenter,
        &g_vFogColor, &g_fFogExponent, &g_fFogDensity, &g_mWorldLightSMProjection,
        &g_vAmbientColorCutSurfaces, &g_vDiffuseColorCutSurfaces, &g_vSpecularColorCutSurfaces,
        &g_mShadowMap, &g_mInvViewLight, &g_fClippingY, &g_txShadowMap, &g_vViewportSize};
    Pass** const passes[] = {&setSolidRenderMode,
                             &setWireFrameRenderMode,
                             &renderMeshWithFaceNormals,
                             &renderMeshWithFaceNormalsAndShadows,
                             &renderMesh,
                             &renderMeshWithShadows,
                             &renderMeshWithCutSurfaces,
                             &renderMeshWithCutSurfacesAndShadows,
                             &renderMeshWithCutSurfacesAndClippingAndShadows,
                             &renderMeshIntoShadowMap,
                             &renderMeshWithFog,
                             &renderMeshWithFogAndShadows,
                             &renderSimulationVertices,
                             &renderForceArrows,
                             &renderSurfaceVertices};
    if (!bindContract(cutSceneRendererContract(), variables, technique, passes)) return false;

    const Format f3 = Format::R32G32B32_FLOAT, f4 = Format::R32G32B32A32_FLOAT;
    const InputElementDesc position[] = {{"POSITION", 0, f3, 0, 0, false, 0}};
    const InputElementDesc mesh[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                     {"NORMAL", 0, f3, 0, kAppendAligned, false, 0}};
    const InputElementDesc twoSlots[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                         {"NORMAL", 0, f3, 1, 0, false, 0}};
    const InputElementDesc cut[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                    {"NORMAL", 0, f3, 0, kAppendAligned, false, 0},
                                    {"CUT_ID", 0, Format::R32_SINT, 0, kAppendAligned, false, 0}};
    // One point per handle: its centre and type are per-vertex data.
    const InputElementDesc handles[] = {{"CENTER", 0, f3, 1, 0, false, 0},
                                        {"TYPE", 0, Format::R8_SINT, 2, 0, false, 0}};
    const InputElementDesc arrows[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                       {"NORMAL", 0, f3, 0, kAppendAligned, false, 0},
                                       {"VERTEX", 0, Format::R32_SINT, 1, 0, true, 1},
                                       {"WORLD_VIEW", 0, f4, 2, 0, true, 1},
                                       {"WORLD_VIEW", 1, f4, 2, kAppendAligned, true, 1},
                                       {"WORLD_VIEW", 2, f4, 2, kAppendAligned, true, 1},
                                       {"WORLD_VIEW", 3, f4, 2, kAppendAligned, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 0, f4, 2, kAppendAligned, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 1, f4, 2, kAppendAligned, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 2, f4, 2, kAppendAligned, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 3, f4, 2, kAppendAligned, true, 1}};
    layoutCount = 0;
    return createInputLayout(renderMeshWithFaceNormals, position, 1, &layouts[0], &layoutCount) &&
           createInputLayout(renderMesh, mesh, 2, &layouts[1], &layoutCount) &&
           createInputLayout(renderMesh, twoSlots, 2, &layouts[2], &layoutCount) &&
           createInputLayout(renderMeshWithCutSurfaces, cut, 3, &layouts[3], &layoutCount) &&
           createInputLayout(renderSurfaceVertices, handles, 2, &layouts[4], &layoutCount) &&
           createInputLayout(renderForceArrows, arrows, 11, &layouts[5], &layoutCount);
}

}  // namespace ostrel
