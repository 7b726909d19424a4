#include "render/CutSceneRendererEffect.h"

namespace ostrel {

using namespace ostrel::gl;

const std::array<const char*, 21>& CutSceneRendererEffect::variableNames() {
    static const std::array<const char*, 21> names = {
        "g_mProjection", "g_vLightPosCS", "g_fSphereRadius", "g_mWorldView",
        "g_mTransInvWorldView", "g_vAmbientColor", "g_vDiffuseColor", "g_vSpecularColor",
        "g_mWorld", "g_vSceneCenter", "g_vFogColor", "g_fFogExponent", "g_fFogDensity",
        "g_mWorldLightSMProjection", "g_vAmbientColorCutSurfaces", "g_vDiffuseColorCutSurfaces",
        "g_vSpecularColorCutSurfaces", "g_mShadowMap", "g_mInvViewLight", "g_fClippingY",
        "g_txShadowMap"};
    return names;
}

const std::array<const char*, 15>& CutSceneRendererEffect::passNames() {
    static const std::array<const char*, 15> names = {
        "SetSolidRenderMode", "SetWireFrameRenderMode", "RenderMeshWithFaceNormals",
        "RenderMeshWithFaceNormalsAndShadows", "RenderMesh", "RenderMeshWithShadows",
        "RenderMeshWithCutSurfaces", "RenderMeshWithCutSurfacesAndShadows",
        "RenderMeshWithCutSurfacesAndClippingAndShadows", "RenderMeshIntoShadowMap",
        "RenderMeshWithFog", "RenderMeshWithFogAndShadows", "RenderSimulationVertices",
        "RenderForceArrows", "RenderSurfaceVertices"};
    return names;
}

HRESULT CutSceneRendererEffect::BindVariables() {
    // Each variable with the lookup of its kind, in the contract's order.
    struct Lookup {
        Variable** target;
        char kind;  // m matrix, v vector, f scalar, t shader resource
    };
    const Lookup lookups[21] = {
        {&g_mProjection, 'm'}, {&g_vLightPosCS, 'v'}, {&g_fSphereRadius, 'f'},
        {&g_mWorldView, 'm'}, {&g_mTransInvWorldView, 'm'}, {&g_vAmbientColor, 'v'},
        {&g_vDiffuseColor, 'v'}, {&g_vSpecularColor, 'v'}, {&g_mWorld, 'm'},
        {&g_vSceneCenter, 'v'}, {&g_vFogColor, 'v'}, {&g_fFogExponent, 'f'},
        {&g_fFogDensity, 'f'}, {&g_mWorldLightSMProjection, 'm'},
        {&g_vAmbientColorCutSurfaces, 'v'}, {&g_vDiffuseColorCutSurfaces, 'v'},
        {&g_vSpecularColorCutSurfaces, 'v'}, {&g_mShadowMap, 'm'}, {&g_mInvViewLight, 'm'},
        {&g_fClippingY, 'f'}, {&g_txShadowMap, 't'}};
    HRESULT hr = S_OK;
    for (size_t i = 0; i < 21; ++i) {
        const std::string name = variableNames()[i];
        Variable*& v = *lookups[i].target;
        switch (lookups[i].kind) {
            case 'm': hr = GetMatrix(name, v); break;
            case 'v': hr = GetVector(name, v); break;
            case 'f': hr = GetScalar(name, v); break;
            default: hr = GetShaderResource(name, v); break;
        }
        if (failed(hr)) return hr;
    }
    if (failed(hr = GetVector("g_vViewportSize", g_vViewportSize))) return hr;
    if (failed(hr = GetTechnique("CutSceneRenderer", technique))) return hr;
    Pass** passes[15] = {&setSolidRenderMode,
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
    for (size_t i = 0; i < 15; ++i)
        if (failed(hr = GetPass(technique, passNames()[i], *passes[i]))) return hr;

    constexpr unsigned kAppend = D3D11_APPEND_ALIGNED_ELEMENT;
    const Format f3 = Format::R32G32B32_FLOAT, f4 = Format::R32G32B32A32_FLOAT;
    const InputElementDesc position[] = {{"POSITION", 0, f3, 0, 0, false, 0}};
    const InputElementDesc mesh[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                     {"NORMAL", 0, f3, 0, kAppend, false, 0}};
    const InputElementDesc twoSlots[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                         {"NORMAL", 0, f3, 1, 0, false, 0}};
    const InputElementDesc cut[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                    {"NORMAL", 0, f3, 0, kAppend, false, 0},
                                    {"CUT_ID", 0, Format::R32_SINT, 0, kAppend, false, 0}};
    // One point per handle: its centre and type are per-vertex data.
    const InputElementDesc handles[] = {{"CENTER", 0, f3, 1, 0, false, 0},
                                        {"TYPE", 0, Format::R8_SINT, 2, 0, false, 0}};
    const InputElementDesc arrows[] = {{"POSITION", 0, f3, 0, 0, false, 0},
                                       {"NORMAL", 0, f3, 0, kAppend, false, 0},
                                       {"VERTEX", 0, Format::R32_SINT, 1, 0, true, 1},
                                       {"WORLD_VIEW", 0, f4, 2, 0, true, 1},
                                       {"WORLD_VIEW", 1, f4, 2, kAppend, true, 1},
                                       {"WORLD_VIEW", 2, f4, 2, kAppend, true, 1},
                                       {"WORLD_VIEW", 3, f4, 2, kAppend, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 0, f4, 2, kAppend, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 1, f4, 2, kAppend, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 2, f4, 2, kAppend, true, 1},
                                       {"TRANS_INV_WORLD_VIEW", 3, f4, 2, kAppend, true, 1}};
    layoutCount = 0;
    if (failed(hr = CreateInputLayout(renderMeshWithFaceNormals, position, 1, &layouts[0], &layoutCount))) return hr;
    if (failed(hr = CreateInputLayout(renderMesh, mesh, 2, &layouts[1], &layoutCount))) return hr;
    if (failed(hr = CreateInputLayout(renderMesh, twoSlots, 2, &layouts[2], &layoutCount))) return hr;
    if (failed(hr = CreateInputLayout(renderMeshWithCutSurfaces, cut, 3, &layouts[3], &layoutCount))) return hr;
    if (failed(hr = CreateInputLayout(renderSurfaceVertices, handles, 2, &layouts[4], &layoutCount))) return hr;
    return CreateInputLayout(renderForceArrows, arrows, 11, &layouts[5], &layoutCount);
}

}  // namespace ostrel
