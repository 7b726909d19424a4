// The scene renderer's effect. Matrices act on column vectors; positions and normals are lit in
// view space. The shadow map holds the light's depth (0 near .. 1 far); g_mShadowMap takes a
// view-space point to (u, v, depth) with v running downward, so the lookup reads row 1 - v.
// Handles and arrows also write their object ID (kind << 28 | index) to the second target.
variable matrix g_mProjection
variable vector g_vLightPosCS
variable scalar g_fSphereRadius
variable matrix g_mWorldView
variable matrix g_mTransInvWorldView
variable vector g_vAmbientColor
variable vector g_vDiffuseColor
variable vector g_vSpecularColor
variable matrix g_mWorld
variable vector g_vSceneCenter
variable vector g_vFogColor
variable scalar g_fFogExponent
variable scalar g_fFogDensity
variable matrix g_mWorldLightSMProjection
variable vector g_vAmbientColorCutSurfaces
variable vector g_vDiffuseColorCutSurfaces
variable vector g_vSpecularColorCutSurfaces
variable matrix g_mShadowMap
variable matrix g_mInvViewLight
variable scalar g_fClippingY
variable texture g_txShadowMap sampler2DShadow
variable vector g_vViewportSize

glsl common fragment
// Fraction of light that reaches a view-space point (1 lit, 0 in shadow): one bilinear depth
// comparison over the 2 x 2 texels around the point (a wider footprint costs a third of the
// frame on a software rasterizer, where the ground fills most of the window). The receiver
// bias grows with the slope towards the light; points outside the light's frustum count as lit.
float shadowFactor(vec3 posVS, float nDotL) {
    vec4 s = g_mShadowMap * vec4(posVS, 1.0);
    if (s.w <= 0.0) return 1.0;
    s.xyz /= s.w;
    vec2 uv = vec2(s.x, 1.0 - s.y);
    if (uv.x < 0.0 || uv.x > 1.0 || uv.y < 0.0 || uv.y > 1.0 || s.z > 1.0) return 1.0;
    float slope = sqrt(max(1.0 - nDotL * nDotL, 0.0)) / max(nDotL, 0.1);
    float z = s.z - 0.00002 * (1.0 + min(slope, 10.0));
    return texture(g_txShadowMap, vec3(uv, z));
}

vec3 lightDirection(vec3 posVS) { return normalize(g_vLightPosCS.xyz - posVS); }

// Phong terms (diffuse, specular) for a normal turned towards the viewer.
vec2 phong(vec3 n, vec3 posVS, float shininess) {
    vec3 v = normalize(-posVS);
    n = normalize(n);
    if (dot(n, v) < 0.0) n = -n;
    vec3 l = lightDirection(posVS);
    float d = max(dot(n, l), 0.0);
    float s = d > 0.0 ? pow(max(dot(reflect(-l, n), v), 0.0), shininess) : 0.0;
    return vec2(d, s);
}

vec3 shade(vec3 n, vec3 posVS, vec4 ambient, vec4 diffuse, vec4 specular, bool shadows) {
    vec2 ds = phong(n, posVS, 32.0);
    float lit = 1.0;
    if (shadows && ds.x > 0.0) lit = shadowFactor(posVS, ds.x);
    return ambient.rgb + (diffuse.rgb * ds.x + specular.rgb * ds.y) * lit;
}

// Exponential fog over the distance from the scene's centre on the ground.
float fogVisibility(vec3 posWorld) {
    float d = length(posWorld.xy - g_vSceneCenter.xy) * g_fFogDensity;
    return exp(-pow(d, g_fFogExponent));
}

// Sphere of radius g_fSphereRadius about a view-space centre, hit by the eye ray through this
// fragment; discards a miss. Returns the unit normal and writes the hit point's depth, moved
// half a radius towards the eye: a handle half inside the surface keeps the visible part of
// its outline, and where the visible cap thins out at the surface the depth buffer (whose steps
// are about 4e-4 units at a distance of 2.5) still puts it in front. The window depth assumes a
// depth range of 0 to 1 in clip space, as the framework sets it.
vec3 sphereHit(vec3 centerVS, out vec3 hitVS) {
    vec2 ndc = gl_FragCoord.xy * g_vViewportSize.zw * 2.0 - 1.0;
    vec3 d = vec3((ndc.x + g_mProjection[2][0]) / g_mProjection[0][0],
                  (ndc.y + g_mProjection[2][1]) / g_mProjection[1][1], -1.0);
    float a = dot(d, d), b = dot(d, centerVS);
    float disc = b * b - a * (dot(centerVS, centerVS) - g_fSphereRadius * g_fSphereRadius);
    if (disc < 0.0) discard;
    float t = (b - sqrt(disc)) / a;
    hitVS = d * t;
    vec4 clip = g_mProjection * vec4(d * (t - 0.5 * g_fSphereRadius * inversesqrt(a)), 1.0);
    gl_FragDepth = gl_DepthRange.near + gl_DepthRange.diff * (clip.z / clip.w);
    return (hitVS - centerVS) / g_fSphereRadius;
}
end

glsl vertex PositionVS
in vec3 POSITION;
out vec3 vPosVS;
void main() {
    vec4 p = g_mWorldView * vec4(POSITION, 1.0);
    vPosVS = p.xyz;
    gl_Position = g_mProjection * p;
}
end

glsl fragment FaceNormalFS
in vec3 vPosVS;
layout(location = 0) out vec4 outColor;
void main() {
    vec3 n = cross(dFdx(vPosVS), dFdy(vPosVS));
    outColor = vec4(shade(n, vPosVS, g_vAmbientColor, g_vDiffuseColor, g_vSpecularColor, false), 1.0);
}
end

glsl fragment FaceNormalShadowFS
in vec3 vPosVS;
layout(location = 0) out vec4 outColor;
void main() {
    vec3 n = cross(dFdx(vPosVS), dFdy(vPosVS));
    outColor = vec4(shade(n, vPosVS, g_vAmbientColor, g_vDiffuseColor, g_vSpecularColor, true), 1.0);
}
end

glsl vertex ShadowMapVS
in vec3 POSITION;
void main() { gl_Position = g_mWorldLightSMProjection * vec4(POSITION, 1.0); }
end

glsl fragment DepthOnlyFS
void main() {}
end

glsl vertex MeshVS
in vec3 POSITION;
in vec3 NORMAL;
out vec3 vPosVS;
out vec3 vNormalVS;
out vec3 vPosWorld;
void main() {
    vec4 p = g_mWorldView * vec4(POSITION, 1.0);
    vPosVS = p.xyz;
    vNormalVS = (g_mTransInvWorldView * vec4(NORMAL, 0.0)).xyz;
    vPosWorld = (g_mWorld * vec4(POSITION, 1.0)).xyz;
    gl_Position = g_mProjection * p;
}
end

glsl fragment MeshFS
in vec3 vPosVS;
in vec3 vNormalVS;
layout(location = 0) out vec4 outColor;
void main() {
    outColor = vec4(shade(vNormalVS, vPosVS, g_vAmbientColor, g_vDiffuseColor, g_vSpecularColor, false), 1.0);
}
end

glsl fragment MeshShadowFS
in vec3 vPosVS;
in vec3 vNormalVS;
layout(location = 0) out vec4 outColor;
void main() {
    outColor = vec4(shade(vNormalVS, vPosVS, g_vAmbientColor, g_vDiffuseColor, g_vSpecularColor, true), 1.0);
}
end

// The ground is two-sided: its fog passes cull back faces so that the coincident faces do not
// blend twice. They push the ground's depth back a little (polygon offset), so that the object's
// wire-frame edges that lie in the ground (z = 0) stay in front of it.
glsl fragment FogFS
in vec3 vPosVS;
in vec3 vNormalVS;
in vec3 vPosWorld;
layout(location = 0) out vec4 outColor;
void main() {
    vec3 lit = shade(vNormalVS, vPosVS, g_vAmbientColor, g_vDiffuseColor, g_vSpecularColor, false);
    float f = fogVisibility(vPosWorld);
    // Premultiplied: a transparent fog colour lets the background show through.
    outColor = vec4(lit * f + g_vFogColor.rgb * (1.0 - f), f + g_vFogColor.a * (1.0 - f));
}
end

glsl fragment FogShadowFS
in vec3 vPosVS;
in vec3 vNormalVS;
in vec3 vPosWorld;
layout(location = 0) out vec4 outColor;
void main() {
    vec2 ds = phong(vNormalVS, vPosVS, 32.0);
    float shadow = shadowFactor(vPosVS, max(ds.x, 0.05));
    // Ambient-only surfaces (the ground) darken in shadow too.
    vec3 lit = (g_vAmbientColor.rgb + (g_vDiffuseColor.rgb * ds.x + g_vSpecularColor.rgb * ds.y) * shadow) *
               (0.55 + 0.45 * shadow);
    float f = fogVisibility(vPosWorld);
    outColor = vec4(lit * f + g_vFogColor.rgb * (1.0 - f), f + g_vFogColor.a * (1.0 - f));
}
end

glsl vertex CutMeshVS
in vec3 POSITION;
in vec3 NORMAL;
in int CUT_ID;
out vec3 vPosVS;
out vec3 vNormalVS;
out vec3 vPosWorld;
flat out int vCut;
void main() {
    vec4 p = g_mWorldView * vec4(POSITION, 1.0);
    vPosVS = p.xyz;
    vNormalVS = (g_mTransInvWorldView * vec4(NORMAL, 0.0)).xyz;
    vPosWorld = (g_mWorld * vec4(POSITION, 1.0)).xyz;
    vCut = CUT_ID;
    gl_Position = g_mProjection * p;
}
end

glsl fragment CutMeshFS
in vec3 vPosVS;
in vec3 vNormalVS;
flat in int vCut;
layout(location = 0) out vec4 outColor;
void main() {
    bool cut = vCut != 0;
    outColor = vec4(shade(vNormalVS, vPosVS, cut ? g_vAmbientColorCutSurfaces : g_vAmbientColor,
                          cut ? g_vDiffuseColorCutSurfaces : g_vDiffuseColor,
                          cut ? g_vSpecularColorCutSurfaces : g_vSpecularColor, false), 1.0);
}
end

glsl fragment CutMeshShadowFS
in vec3 vPosVS;
in vec3 vNormalVS;
flat in int vCut;
layout(location = 0) out vec4 outColor;
void main() {
    bool cut = vCut != 0;
    outColor = vec4(shade(vNormalVS, vPosVS, cut ? g_vAmbientColorCutSurfaces : g_vAmbientColor,
                          cut ? g_vDiffuseColorCutSurfaces : g_vDiffuseColor,
                          cut ? g_vSpecularColorCutSurfaces : g_vSpecularColor, true), 1.0);
}
end

glsl fragment CutMeshClipShadowFS
in vec3 vPosVS;
in vec3 vNormalVS;
in vec3 vPosWorld;
flat in int vCut;
layout(location = 0) out vec4 outColor;
void main() {
    if (vPosWorld.y > g_fClippingY) discard;
    bool cut = vCut != 0;
    outColor = vec4(shade(vNormalVS, vPosVS, cut ? g_vAmbientColorCutSurfaces : g_vAmbientColor,
                          cut ? g_vDiffuseColorCutSurfaces : g_vDiffuseColor,
                          cut ? g_vSpecularColorCutSurfaces : g_vSpecularColor, true), 1.0);
}
end

// A handle is one point sprite: the square on screen that holds the picture of its sphere (the
// tangent rays from the eye bound it), at the depth of the sphere's nearest point. A sphere that
// reaches the near plane is not drawn.
glsl vertex HandleVS
in vec3 CENTER;
in int TYPE;
flat out vec3 vCenterVS;
flat out int vType;
flat out int vInstance;

// Tangent ratios x/depth of the sphere's outline along one screen axis: (lower, upper).
vec2 tangents(float a, float depth, float r) {
    float q = r * sqrt(max(a * a + depth * depth - r * r, 0.0));
    return vec2(a * depth - q, a * depth + q) / (depth * depth - r * r);
}

void main() {
    vec3 c = (g_mWorldView * vec4(CENTER, 1.0)).xyz;
    vCenterVS = c;
    vType = TYPE;
    vInstance = gl_VertexID;
    float r = g_fSphereRadius, depth = -c.z;
    vec4 front = g_mProjection * vec4(c.xy, c.z + r, 1.0);
    if (front.w <= 0.0 || front.z < 0.0 || depth <= r) {
        gl_Position = vec4(0.0, 0.0, 2.0, 1.0);  // outside the clip volume
        gl_PointSize = 1.0;
        return;
    }
    vec2 tx = tangents(c.x, depth, r) * g_mProjection[0][0] - g_mProjection[2][0];
    vec2 ty = tangents(c.y, depth, r) * g_mProjection[1][1] - g_mProjection[2][1];
    vec2 halfPixels = vec2(tx.y - tx.x, ty.y - ty.x) * 0.25 * g_vViewportSize.xy;
    gl_Position = vec4(0.5 * (tx.x + tx.y), 0.5 * (ty.x + ty.y), front.z / front.w, 1.0);
    // The square of the larger extent holds every pixel centre of the picture; a quarter pixel
    // on each side covers the rasterizer snapping the sprite's corners.
    gl_PointSize = 2.0 * max(halfPixels.x, halfPixels.y) + 0.5;
}
end

glsl fragment HandleFS
flat in vec3 vCenterVS;
flat in int vType;
flat in int vInstance;
layout(location = 0) out vec4 outColor;
layout(location = 1) out uint outId;
void main() {
    vec3 hit;
    vec3 n = sphereHit(vCenterVS, hit);
    // Fixed vertices red, free vertices blue.
    vec3 base = vType == 1 ? vec3(0.90, 0.12, 0.08) : vec3(0.12, 0.42, 0.95);
    vec2 ds = phong(n, hit, 24.0);
    outColor = vec4(base * (0.45 + 0.55 * ds.x) + vec3(0.35 * ds.y), 1.0);
    outId = (1u << 28) | (uint(vInstance) & 0x0FFFFFFFu);
}
end

glsl fragment SurfaceVertexFS
flat in vec3 vCenterVS;
flat in int vType;
flat in int vInstance;
layout(location = 0) out vec4 outColor;
layout(location = 1) out uint outId;
void main() {
    vec3 hit;
    vec3 n = sphereHit(vCenterVS, hit);
    vec2 ds = phong(n, hit, 24.0);
    outColor = vec4(vec3(0.85, 0.85, 0.2) * (0.45 + 0.55 * ds.x), 1.0);
    outId = (3u << 28) | (uint(vInstance) & 0x0FFFFFFFu);
}
end

glsl vertex ArrowVS
in vec3 POSITION;
in vec3 NORMAL;
in int VERTEX;
in mat4 WORLD_VIEW;
in mat4 TRANS_INV_WORLD_VIEW;
out vec3 vPosVS;
out vec3 vNormalVS;
flat out int vVertex;
void main() {
    // The instance matrices arrive row by row, so v * M applies the stored matrix.
    vec4 p = vec4(POSITION, 1.0) * WORLD_VIEW;
    vPosVS = p.xyz;
    vNormalVS = (vec4(NORMAL, 0.0) * TRANS_INV_WORLD_VIEW).xyz;
    vVertex = VERTEX;
    gl_Position = g_mProjection * p;
}
end

glsl fragment ArrowFS
in vec3 vPosVS;
in vec3 vNormalVS;
flat in int vVertex;
layout(location = 0) out vec4 outColor;
layout(location = 1) out uint outId;
void main() {
    vec2 ds = phong(vNormalVS, vPosVS, 32.0);
    // A negative vertex is an arrow of a load case that is not being edited: dull, not pickable.
    if (vVertex < 0) {
        outColor = vec4(vec3(0.40, 0.50, 0.40) * (0.4 + 0.6 * ds.x) + vec3(0.1 * ds.y), 1.0);
        outId = 0u;
        return;
    }
    outColor = vec4(vec3(0.15, 0.85, 0.2) * (0.4 + 0.6 * ds.x) + vec3(0.3 * ds.y), 1.0);
    outId = (2u << 28) | (uint(vVertex) & 0x0FFFFFFFu);
}
end

technique CutSceneRenderer
pass SetSolidRenderMode
  fill solid
pass SetWireFrameRenderMode
  fill wireframe
pass RenderMeshWithFaceNormals
  vertex PositionVS
  fragment FaceNormalFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMeshWithFaceNormalsAndShadows
  vertex PositionVS
  fragment FaceNormalShadowFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMesh
  vertex MeshVS
  fragment MeshFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMeshWithShadows
  vertex MeshVS
  fragment MeshShadowFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMeshWithCutSurfaces
  vertex CutMeshVS
  fragment CutMeshFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMeshWithCutSurfacesAndShadows
  vertex CutMeshVS
  fragment CutMeshShadowFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMeshWithCutSurfacesAndClippingAndShadows
  vertex CutMeshVS
  fragment CutMeshClipShadowFS
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset off
pass RenderMeshIntoShadowMap
  vertex ShadowMapVS
  fragment DepthOnlyFS
  fill solid
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull none
  offset 1.5 8
pass RenderMeshWithFog
  vertex MeshVS
  fragment FogFS
  depth on
  depthwrite on
  depthfunc less
  blend premultiplied
  cull back
  offset 1 1
pass RenderMeshWithFogAndShadows
  vertex MeshVS
  fragment FogShadowFS
  depth on
  depthwrite on
  depthfunc less
  blend premultiplied
  cull back
  offset 1 1
pass RenderSimulationVertices
  vertex HandleVS
  fragment HandleFS
  fill solid
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull back
  offset off
// The arrow mesh is closed: its back faces never show and are culled.
pass RenderForceArrows
  vertex ArrowVS
  fragment ArrowFS
  fill solid
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull back
  offset off
pass RenderSurfaceVertices
  vertex HandleVS
  fragment SurfaceVertexFS
  fill solid
  depth on
  depthwrite on
  depthfunc less
  blend off
  cull back
  offset off
