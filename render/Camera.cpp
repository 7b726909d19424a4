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
    SetWheelScrollLines(wheelScrollLines());
    UpdateView();
}

Matrix4 Camera::baseMatrix() {
    return Matrix4::fromRows({0, -1, 0, 0, 0, 0, 1, 0, -1, 0, 0, 0, 0, 0, 0, 1});
}

int Camera::keySlot(win::UINT vk) {
    using namespace win;
    switch (vk) {
        case VK_LEFT:
            return 0;
        case VK_RIGHT:
            return 1;
        case VK_UP:
            return 2;
        case VK_DOWN:
            return 3;
        case VK_PRIOR:
            return 4;
        case VK_NEXT:
            return 5;
        case VK_SHIFT:
            return 6;
        case VK_NUMPAD4:
            return 7;
        case VK_NUMPAD6:
            return 8;
        case VK_NUMPAD8:
            return 9;
        case VK_NUMPAD2:
            return 10;
        case VK_NUMPAD9:
            return 11;
        case VK_NUMPAD3:
            return 12;
        default:
            return -1;
    }
}

void Camera::SetWheelScrollLines(int lines) {
    wheelDeltaPerLine_ = lines > 0 ? win::WHEEL_DELTA / lines : 0;
}

void Camera::HandleMessage(win::UINT message, win::WPARAM wParam, win::LPARAM lParam) {
    using namespace win;
    const int oldButtons = buttons_;
    switch (message) {
        case WM_KILLFOCUS:
            keys_.fill(false);
            keysHeld_ = 0;
            return;
        case WM_SETTINGCHANGE:
            SetWheelScrollLines(wheelScrollLines());
            return;
        case WM_KEYDOWN: {
            const int slot = keySlot(UINT(wParam));
            if (slot >= 0 && !keys_[size_t(slot)]) {  // a key already down is auto-repeat
                keys_[size_t(slot)] = true;
                ++keysHeld_;
            }
            return;
        }
        case WM_KEYUP: {
            const int slot = keySlot(UINT(wParam));
            if (slot >= 0 && keys_[size_t(slot)]) {
                keys_[size_t(slot)] = false;
                --keysHeld_;
            }
            return;
        }
        case WM_MOUSEMOVE:
            if (buttons_ != 0) {
                currentX_ = cursorX(lParam);
                currentY_ = cursorY(lParam);
            }
            return;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            buttons_ |= 1;
            break;
        case WM_MBUTTONDOWN:
        case WM_MBUTTONDBLCLK:
            buttons_ |= 2;
            break;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK:
            buttons_ |= 4;
            break;
        case WM_LBUTTONUP:
            buttons_ &= ~1;
            break;
        case WM_MBUTTONUP:
            buttons_ &= ~2;
            break;
        case WM_RBUTTONUP:
            buttons_ &= ~4;
            break;
        case WM_CAPTURECHANGED:
            buttons_ = 0;
            break;
        case WM_MOUSEWHEEL:
            if (wheelDeltaPerLine_ != 0)
                wheelAccumulated_ += wheelDelta(wParam);
            return;
        default:
            return;
    }
    if (buttons_ != oldButtons)
        buttonsChanged(lParam);
}

void Camera::buttonsChanged(win::LPARAM lParam) {
    // With no button left the capture ends by itself (X11's implicit pointer grab lasts while a
    // button is held); a new or remaining button restarts the drag at this cursor position.
    if (buttons_ == 0)
        return;
    lastX_ = currentX_ = win::cursorX(lParam);
    lastY_ = currentY_ = win::cursorY(lParam);
    smoothDx_ = smoothDy_ = 0;
}

void Camera::Update(float t) {
    if (buttons_ != 0) {
        smoothDx_ = smoothDx_ * smoothing_ + float(currentX_ - lastX_) * sensitivity_;
        smoothDy_ = smoothDy_ * smoothing_ + float(currentY_ - lastY_) * sensitivity_;
        lastX_ = currentX_;
        lastY_ = currentY_;
    }
    if (wheelAccumulated_ != 0) {
        const int lines = wheelDeltaPerLine_ != 0 ? wheelAccumulated_ / wheelDeltaPerLine_ : 0;
        if (mode_ == kModeOrbit)
            orbitDistance_ -= float(lines) / 75.0f * maxSpeed_;
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
        orbitDistance_ = std::max(orbitDistance_, 0.1f);
    }
    if (mode_ == kModeOrbit)
        UpdateOrbitPosition();
    UpdateView();
}

void Camera::UpdateOrbitPosition() {
    if (mode_ != kModeOrbit)
        return;
    const float h = heading_ * kDegrees, p = pitch_ * kDegrees;
    const Vec3f direction{std::cos(h) * std::cos(p), std::sin(h) * std::cos(p), -std::sin(p)};
    position_ = orbitCenter_ - direction * orbitDistance_;
}

void Camera::UpdateView() {
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
    camera.SetOrbitCenter(center);
    camera.UpdateOrbitPosition();
    camera.UpdateView();
    camera.SetPosition(position);
    camera.SetOrbitDistance(length(position - center));
    camera.UpdateOrbitPosition();
    camera.UpdateView();
    camera.SetHeading(headingPitchRoll.x);
    camera.SetPitch(headingPitchRoll.y);
    camera.SetRoll(headingPitchRoll.z);
    camera.SetTurn(0);
    camera.UpdateOrbitPosition();
    camera.UpdateView();
}

}  // namespace ostrel
