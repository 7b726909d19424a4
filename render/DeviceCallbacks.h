#pragma once
// The rendering side of the device life cycle: the callbacks the window framework calls when
// the device and its swap chain come and go, the frame render, and the statistics text.
//
//   modifyDeviceSettings: first device only: sync interval 0 (no vsync wait). There is no
//                         adapter to pick with OpenGL, so nothing else changes.
//   onCreateDevice:       raises and focuses the window, creates the framework's dialog
//                         resources, the text writer (line height 15) and the renderer's
//                         device resources.
//   onResizedSwapChain:   places the settings dialog over the whole back buffer, stores w, h,
//                         rebuilds the camera projection (viewProjection) and hands both to
//                         the renderer.
//   onFrameRender:        clears to (0, 0, 0, 0); with the settings dialog shown draws only the
//                         dialog; else hands the renderer a new projection when the free area
//                         changed (the controls shown or hidden), clears depth to 1, lets the
//                         renderer draw, binds the
//                         back buffer with viewport 0, 0, w, h and, while the on-screen controls
//                         are shown, lets the panels draw and writes the statistics text.
//   onReleasingSwapChain, onDestroyDevice: the reverse (renderer, dialog resources, text
//                         writer).
// Main (window) thread only; the framework's OpenGL context is current in every callback.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/TextWriter.h"
#include "geometry/Matrix4.h"

namespace ostrel {

class Camera;
class CutSceneRenderer;
class WindowFramework;
struct DeviceSettings;

/// A rectangle of the back buffer in pixels, x to the right, y downward; x1 > x0 and y1 > y0
/// unless it is empty.
struct PixelArea {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return !(x1 > x0 && y1 > y0); }
};

/// The camera projection of a width x height back buffer for a scene of length scale
/// `lengthScale` (cameraProjection), its picture moved so that the window's centre appears at
/// the centre of `free` (an empty area moves nothing).
Matrix4 viewProjection(int width, int height, float lengthScale, const PixelArea& free);

/// The five (or, with gamma-correct rendering, six) lines of the statistics text: frame
/// statistics, device statistics, "GAMMA!" when `gammaCorrect`, the camera line
/// "x=%.3f y=%.3f z=%.3f heading=%.2f pitch=%.2f roll=%.2f turn=%.2f" and "[EDITOR] Mode=%i".
std::vector<std::string> statisticsLines(const std::string& frameStats,
                                         const std::string& deviceStats, bool gammaCorrect,
                                         const Camera& camera, int editorMode);

class DeviceCallbacks {
  public:
    static constexpr int kTextLineHeight = 15;
    static constexpr int kTextX = 2;
    static constexpr int kTextY = 0;

    /// None of the objects is owned; all must outlive the callbacks.
    DeviceCallbacks(WindowFramework& framework, CutSceneRenderer& renderer, const Camera& camera);

    bool modifyDeviceSettings(DeviceSettings& settings);
    /// False when the dialog resources or the renderer's device resources fail.
    bool onCreateDevice();
    /// False when the renderer's swap-chain resources fail.
    bool onResizedSwapChain(int width, int height);
    void onFrameRender(double time, float elapsed);
    void onReleasingSwapChain();
    void onDestroyDevice();

    /// Frame render step 6: the control panels draw themselves (ImGui) with the frame time.
    std::function<void(int width, int height, float elapsed)> drawPanels;
    /// The editor's mode for the text (0 view, 1 fixations, 2 forces).
    std::function<int()> editorMode;
    /// The part of a width x height back buffer that the control panels and the text leave
    /// free while the controls are shown; the picture is centred in it. Empty function: the
    /// whole back buffer.
    std::function<PixelArea(int width, int height)> freeArea;

    bool controlsShown() const { return controlsShown_; }
    void setControlsShown(bool shown) { controlsShown_ = shown; }
    int width() const { return width_; }
    int height() const { return height_; }
    const Matrix4& projection() const { return projection_; }
    bool firstDevice() const { return firstDevice_; }
    const TextWriter* textWriter() const { return textWriter_.get(); }

  private:
    void renderText();
    /// The projection for the current size, scale and free area.
    Matrix4 currentProjection() const;

    WindowFramework& framework_;
    CutSceneRenderer& renderer_;
    const Camera& camera_;
    int width_ = 0, height_ = 0;
    Matrix4 projection_;
    std::unique_ptr<TextWriter> textWriter_;
    bool controlsShown_ = true;
    bool firstDevice_ = true;
};

}  // namespace ostrel
