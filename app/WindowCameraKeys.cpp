#include "app/WindowCameraKeys.h"

#include "render/Camera.h"

namespace ostrel {

void WindowCameraKeys::refresh() {
    if (camera_.mode() == Camera::kModeOrbit)
        camera_.updateOrbitPosition();
    camera_.updateView();
}

void WindowCameraKeys::toggleOrbitMode() {
    if (camera_.mode() == Camera::kModeOrbit) {
        camera_.setMode(Camera::kModeFree);
    } else {
        camera_.setMode(Camera::kModeOrbit);
        camera_.setOrbitDistance(length(camera_.position() - camera_.orbitCenter()));
    }
    refresh();
}

void WindowCameraKeys::setAngles(float heading, float pitch, float roll, float turn) {
    camera_.setHeading(heading);
    camera_.setPitch(pitch);
    camera_.setRoll(roll);
    camera_.setTurn(turn);
    refresh();
}

void WindowCameraKeys::moveTo(const Vec3f& eye, const Vec3f& headingPitchRoll) {
    placeCamera(camera_, camera_.orbitCenter(), eye, headingPitchRoll);
}

Vec3f WindowCameraKeys::eyePosition() const {
    return camera_.position();
}

Vec3f WindowCameraKeys::headingPitchRoll() const {
    return {camera_.heading(), camera_.pitch(), camera_.roll()};
}

Vec3f WindowCameraKeys::forward() const {
    return camera_.forward();
}

Vec3f WindowCameraKeys::up() const {
    return camera_.up();
}

}  // namespace ostrel
