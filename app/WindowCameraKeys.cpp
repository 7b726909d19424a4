#include "app/WindowCameraKeys.h"

#include "render/Camera.h"

namespace ostrel {

void WindowCameraKeys::refresh() {
    if (camera_.mode() == Camera::kModeOrbit)
        camera_.UpdateOrbitPosition();
    camera_.UpdateView();
}

void WindowCameraKeys::toggleOrbitMode() {
    if (camera_.mode() == Camera::kModeOrbit) {
        camera_.SetMode(Camera::kModeFree);
    } else {
        camera_.SetMode(Camera::kModeOrbit);
        camera_.SetOrbitDistance(length(camera_.position() - camera_.orbitCenter()));
    }
    refresh();
}

void WindowCameraKeys::setAngles(float heading, float pitch, float roll, float turn) {
    camera_.SetHeading(heading);
    camera_.SetPitch(pitch);
    camera_.SetRoll(roll);
    camera_.SetTurn(turn);
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
