#pragma once
// The renderer's settings, one flag each, toggled by the controls and the editor. They survive
// device loss. Handles and arrows are drawn when renderForcesVertices or editorActive is on;
// the shadow is used when enableShadows and renderSurface are on and wireFrame is off.

namespace ostrel {

struct RenderSettings {
    bool wireFrame = false;               ///< "Wire Frame (W)"
    bool renderCoordinateSystem = false;  ///< "Render Coordinate System"
    bool renderGround = true;             ///< "Render Ground"
    bool enableShadows = true;            ///< "Enable Shadows"
    bool enableHeadLight = false;         ///< "Enable Head Light"
    bool renderSurface = true;            ///< "Render Surface"
    bool renderForcesVertices = false;    ///< "Render Forces/Vertices"
    bool editorActive = false;            ///< set by the editor's mode switch
    /// Leave out of the draw the handles that the input surface hides (render/EnclosedHandles.h).
    /// Not a control: it changes no pixel; tests and the benchmark turn it off to compare.
    bool skipEnclosedHandles = true;

    bool handlesShown() const { return renderForcesVertices || editorActive; }
    bool shadowsActive() const { return enableShadows && renderSurface && !wireFrame; }
};

}  // namespace ostrel
