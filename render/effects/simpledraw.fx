// The line drawer's effect: coloured vertices transformed by g_mWorldView and g_mProjection.
variable matrix g_mProjection
variable matrix g_mWorldView

glsl vertex ColorVS
in vec3 POSITION;
in vec4 COLOR;
out vec4 vColor;
void main() {
    gl_Position = g_mProjection * (g_mWorldView * vec4(POSITION, 1.0));
    vColor = COLOR;
}
end

glsl fragment ColorFS
in vec4 vColor;
layout(location = 0) out vec4 outColor;
void main() { outColor = vColor; }
end

technique SimpleDraw
pass EnableDepth
  depth on
  depthfunc lessequal
  depthwrite on
pass DisableDepth
  depth off
  depthwrite off
pass Render
  vertex ColorVS
  fragment ColorFS
  blend off
  cull none
pass RenderUseCustomRasterizerState
  vertex ColorVS
  fragment ColorFS
  blend off
pass SetDefaultRasterizerState
  fill solid
  cull back
  offset off
  depth on
  depthfunc less
  depthwrite on
  blend off
