#include "render/DeviceCallbacks.h"

#define GL_GLEXT_PROTOTYPES
#include <GL/glcorearb.h>

#include <cstdio>

#include "framework/WindowFramework.h"
#include "render/Camera.h"
#include "render/CutSceneRenderer.h"

namespace ostrel {

std::vector<std::string> statisticsLines(const std::string& frameStats,
                                         const std::string& deviceStats, bool gammaCorrect,
                                         const Camera& camera, int editorMode) {
    std::vector<std::string> lines{frameStats, deviceStats};
    if (gammaCorrect)
        lines.push_back("GAMMA!");
    char text[256];
    const Vec3f& p = camera.position();
    std::snprintf(text, sizeof(text),
                  "x=%.3f y=%.3f z=%.3f heading=%.2f pitch=%.2f roll=%.2f turn=%.2f", p.x, p.y, p.z,
                  camera.heading(), camera.pitch(), camera.roll(), camera.turn());
    lines.push_back(text);
    std::snprintf(text, sizeof(text), "[EDITOR] Mode=%i", editorMode);
    lines.push_back(text);
    return lines;
}

Matrix4 viewProjection(int width, int height, float lengthScale, const PixelArea& free) {
    const Matrix4 p = cameraProjection(float(width) / float(height > 0 ? height : 1), lengthScale);
    if (free.empty() || width <= 0 || height <= 0)
        return p;
    const float cx = 0.5f * (free.x0 + free.x1), cy = 0.5f * (free.y0 + free.y1);
    return shiftedProjection(p, 2.0f * cx / float(width) - 1.0f, 1.0f - 2.0f * cy / float(height));
}

DeviceCallbacks::DeviceCallbacks(WindowFramework& framework, CutSceneRenderer& renderer,
                                 const Camera& camera)
    : framework_(framework), renderer_(renderer), camera_(camera) {}

bool DeviceCallbacks::modifyDeviceSettings(DeviceSettings& settings) {
    if (!firstDevice_)
        return true;
    settings.syncInterval = 0;
    firstDevice_ = false;
    return true;
}

bool DeviceCallbacks::onCreateDevice() {
    framework_.focusWindow();
    if (!framework_.createDialogResources())
        return false;
    textWriter_ = std::make_unique<TextWriter>(kTextLineHeight);
    return renderer_.onCreateDevice();
}

bool DeviceCallbacks::onResizedSwapChain(int width, int height) {
    framework_.resizeSettingsDialog(0, 0, width, height);
    width_ = width;
    height_ = height;
    projection_ = currentProjection();
    if (!renderer_.onCreateSwapChain(width, height))
        return false;
    renderer_.setProjection(projection_);
    return true;
}

void DeviceCallbacks::onFrameRender(double /*time*/, float elapsed) {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    if (framework_.settingsDialogShown()) {
        framework_.drawSettingsDialog();
        return;
    }
    if (const Matrix4 p = currentProjection(); !(p == projection_)) {
        projection_ = p;
        renderer_.setProjection(p);
    }
    glDepthMask(GL_TRUE);
    glClearDepth(1.0);
    glClear(GL_DEPTH_BUFFER_BIT);
    renderer_.render();
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, width_, height_);
    glDepthRange(0.0, 1.0);
    if (!controlsShown_)
        return;
    if (drawPanels)
        drawPanels(width_, height_, elapsed);
    renderText();
}

Matrix4 DeviceCallbacks::currentProjection() const {
    const PixelArea free =
        controlsShown_ && freeArea ? freeArea(width_, height_) : PixelArea{};
    return viewProjection(width_, height_, renderer_.lengthScale(), free);
}

void DeviceCallbacks::renderText() {
    if (!textWriter_)
        return;
    textWriter_->begin();
    textWriter_->setInsertionPos(kTextX, kTextY);
    textWriter_->setForegroundColor({1, 1, 0, 1});
    for (const std::string& line :
         statisticsLines(framework_.frameStats(), framework_.deviceStats(),
                         framework_.isGammaCorrect(), camera_, editorMode ? editorMode() : 0))
        textWriter_->drawTextLine(line);
    textWriter_->end();
}

void DeviceCallbacks::onReleasingSwapChain() {
    renderer_.onReleasingSwapChain();
}

void DeviceCallbacks::onDestroyDevice() {
    renderer_.onDestroyDevice();
    framework_.destroyDialogResources();
    textWriter_.reset();
}

}  // namespace ostrel
