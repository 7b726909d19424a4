#include "render/Camera.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "framework/SystemSettings.h"

namespace ostrel {
namespace {

constexpr float kDegrees = std::numbers::pi_v<float> / 180.0f;

}  // namespace

Camera::Camera() {
    setWheelScrollLines(wheelScrollLines());
    updateView();
}

Matrix4 Camera::baseMatrix() {
    return Matrix4::fromRows({0, -1, 0, 0, 0, 0, 1, 0, -1, 0, 0, 0, 0, 0, 0, 1});
}

int Camera::keySlot(Key key) {
    switch (key) {
        case Key::Left:
            return 0;
        case Key::Right:
            return 1;
        case Key::Up:
            return 2;
        case Key::Down:
            return 3;
        case Key::PageUp:
            return 4;
        case Key::PageDown:
            return 5;
        case Key::Shift:
            return 6;
        case Key::Numpad4:
            return 7;
        case Key::Numpad6:
            return 8;
        case Key::Numpad8:
            return 9;
        case Key::Numpad2:
            return 10;
        case Key::Numpad9:
            return 11;
        case Key::Numpad3:
            return 12;
        default:
            return -1;
    }
}

void Camera::setLengthScale(float scale) {
    const float factor = scale / lengthScale_;
    lengthScale_ = scale;
    minSpeed_ *= factor;
    maxSpeed_ *= factor;
    speed_ *= factor;
}

void Camera::setWheelScrollLines(int lines) {
    wheelDeltaPerLine_ = lines > 0 ? kWheelUnitsPerNotch / lines : 0;
}

void Camera::handleKey(const KeyEvent& event) {
    const int slot = keySlot(event.key);
    if (slot < 0)
        return;
    bool& held = keys_[size_t(slot)];
    if (event.isDown() && !held) {  // a key already down is auto-repeat
        held = true;
        ++keysHeld_;
    } else if (!event.isDown() && held) {
        held = false;
        --keysHeld_;
    }
}

void Camera::handleMouse(const MouseEvent& event) {
    switch (event.action) {
        case MouseAction::Move:
            if (buttons_ != 0) {
                currentX_ = event.x;
                currentY_ = event.y;
            }
            return;
        case MouseAction::Wheel:
            if (wheelDeltaPerLine_ != 0)
                wheelAccumulated_ += event.wheel;
            return;
        case MouseAction::Press:
        case MouseAction::Release: {
            const int oldButtons = buttons_;
            if (event.action == MouseAction::Press)
                buttons_ |= int(buttonBit(event.button));
            else
                buttons_ &= ~int(buttonBit(event.button));
            if (buttons_ != oldButtons)
                buttonsChanged(event);
            return;
        }
    }
}

void Camera::handleFocus(const FocusEvent& event) {
    if (event.focused)
        return;
    keys_.fill(false);
    keysHeld_ = 0;
    buttons_ = 0;
}

void Camera::buttonsChanged(const MouseEvent& event) {
    // With no button left the capture ends by itself (X11's implicit pointer grab lasts while a
    // button is held); a new or remaining button restarts the drag at this cursor position.
    if (buttons_ == 0)
        return;
    lastX_ = currentX_ = event.x;
    lastY_ = currentY_ = event.y;
    smoothDx_ = smoothDy_ = 0;
}

void Camera::update(float t) {
    if (buttons_ != 0) {
        smoothDx_ = smoothDx_ * smoothing_ + float(currentX_ - lastX_) * sensitivity_;
        smoothDy_ = smoothDy_ * smoothing_ + float(currentY_ - lastY_) * sensitivity_;
        lastX_ = currentX_;
        lastY_ = currentY_;
    }
    if (wheelAccumulated_ != 0) {
        const int lines = wheelDeltaPerLine_ != 0 ? wheelAccumulated_ / wheelDeltaPerLine_ : 0;
        if (mode_ == kModeOrbit)
            orbitDistance_ =
                std::max(orbitDistance_ - float(lines) / 75.0f * maxSpeed_, minimumOrbitDistance());
        else
            speed_ = std::clamp(speed_ + float(lines) * maxSpeed_ / 100.0f, minSpeed_, maxSpeed_);
        wheelAccumulated_ = 0;
    }
    if (keysHeld_ > 0 || buttons_ != 0) {
        const float v = keys_[6] ? maxSpeed_ : speed_;
        const float step = v * t;
        const float turnH = v / maxSpeed_ * t * 180.0f;
        const float turnP = v / maxSpeed_ * t * 90.0f;
        const bool up = keys_[4] || keys_[11];
        const bool down = keys_[5] || keys_[12];
        if (mode_ == kModeFree) {
            if (keys_[0])
                position_ -= right_ * step;
            if (keys_[1])
                position_ += right_ * step;
            if (keys_[2])
                position_ += forward_ * step;
            if (keys_[3])
                position_ -= forward_ * step;
            if (up)
                position_.z += step;
            if (down)
                position_.z -= step;
            if (keys_[7])
                position_ -= horizontalRight_ * step;
            if (keys_[8])
                position_ += horizontalRight_ * step;
            if (keys_[9])
                position_ += horizontalForward_ * step;
            if (keys_[10])
                position_ -= horizontalForward_ * step;
        } else {
            if (keys_[0])
                heading_ -= turnH;
            if (keys_[1])
                heading_ += turnH;
            if (keys_[2])
                orbitDistance_ -= step;
            if (keys_[3])
                orbitDistance_ += step;
            if (up)
                pitch_ += turnP;
            if (down)
                pitch_ -= turnP;
        }
        if (buttons_ == 1) {
            heading_ -= smoothDx_ / 500.0f * 90.0f;
            pitch_ += smoothDy_ / 500.0f * 90.0f;
        }
        heading_ = std::fmod(heading_, 360.0f);
        if (heading_ < 0)
            heading_ += 360.0f;
        if (heading_ >= 360.0f)
            heading_ = 0;  // -tiny + 360 rounds up to 360 in float
        pitch_ = std::clamp(pitch_, -90.0f, 90.0f);
        orbitDistance_ = std::max(orbitDistance_, minimumOrbitDistance());
    }
    if (mode_ == kModeOrbit)
        updateOrbitPosition();
    updateView();
}

void Camera::updateOrbitPosition() {
    if (mode_ != kModeOrbit)
        return;
    const float h = heading_ * kDegrees, p = pitch_ * kDegrees;
    const Vec3f direction{std::cos(h) * std::cos(p), std::sin(h) * std::cos(p), -std::sin(p)};
    position_ = orbitCenter_ - direction * orbitDistance_;
}

void Camera::updateView() {
    const Matrix4 rh = rotationZ(-heading_ * kDegrees);
    const Matrix4 rp = rotationY(-pitch_ * kDegrees);
    const Matrix4 rr = rotationX(-roll_ * kDegrees);
    const Matrix4 rt = rotationZ(-turn_ * kDegrees);
    const Matrix4 m1 = rr * rp * rh;
    forward_ = {m1(0, 0), m1(0, 1), m1(0, 2)};
    right_ = {-m1(1, 0), -m1(1, 1), -m1(1, 2)};
    up_ = {m1(2, 0), m1(2, 1), m1(2, 2)};
    const float h = heading_ * kDegrees;
    horizontalForward_ = {std::cos(h), std::sin(h), 0};
    horizontalRight_ = {std::sin(h), -std::cos(h), 0};
    view_ = baseMatrix() * m1 * rt * translation(-position_);
}

void placeCamera(Camera& camera, const Vec3f& center, const Vec3f& position,
                 const Vec3f& headingPitchRoll) {
    camera.setOrbitCenter(center);
    camera.updateOrbitPosition();
    camera.updateView();
    camera.setPosition(position);
    camera.setOrbitDistance(length(position - center));
    camera.updateOrbitPosition();
    camera.updateView();
    camera.setHeading(headingPitchRoll.x);
    camera.setPitch(headingPitchRoll.y);
    camera.setRoll(headingPitchRoll.z);
    camera.setTurn(0);
    camera.updateOrbitPosition();
    camera.updateView();
}

}  // namespace ostrel
