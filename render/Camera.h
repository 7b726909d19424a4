#pragma once
// The camera: keyboard and mouse input -> view matrix, in free flight (mode 0: arrow keys and
// keypad move the eye) or orbit (mode 1: the eye circles the orbit centre at the orbit
// distance). Angles in degrees; world z is up; matrices as in geometry/Matrix4.h.
//
// Keys (key -> slot): Left 0, Right 1, Up 2, Down 3, Page Up 4, Page Down 5,
// Shift 6, Numpad 4/6/8/2 7..10, Numpad 9 11 (as Page Up), Numpad 3 12 (as Page Down).
// With v the speed (the maximum speed while Shift is held) and t the frame time:
//   free flight: Left/Right move along -/+right, Up/Down along +/-forward, Page Up/Down change
//                z by +/-v*t, Numpad 4/6 along -/+horizontal right, 8/2 along +/-horizontal
//                forward (axes of the previous view update);
//   orbit:       Left/Right heading -/+= (v/max)*t*180, Up/Down distance -/+= v*t,
//                Page Up/Down pitch +/-= (v/max)*t*90.
// Dragging with the left button alone turns heading -= dx/500*90, pitch += dy/500*90 (smoothed
// cursor deltas). The wheel: orbit distance -= lines/75*max; free-flight speed += lines*max/100
// within [min, max]. After input the heading wraps into [0, 360) and the pitch is clamped to
// [-90, 90]. The orbit distance never goes below the minimum orbit distance (kMinimumOrbitDistance
// times the length scale), whatever moves it (keys, wheel, SetOrbitDistance): it stops there, so
// the eye never reaches or passes the centre. The length scale (1 unless SetLengthScale sets the
// model's, scene/ViewFraming.h) also multiplies the speeds, so a model scaled by a power of ten
// moves alike.
//
// View = B * R_x(-roll) * R_y(-pitch) * R_z(-heading) * R_z(-turn) * T(-position), with the base
// matrix B mapping the camera's axes (x forward, y left, z up) to view space (x right, y up,
// looking along -z). Forward = (cos h cos p, sin h cos p, -sin p): a positive pitch looks down.
// Orbit eye = centre - distance * forward.
//
// Input: a key press marks its slot held (an auto-repeat of a held key changes nothing), a
// release frees it; a button press (a double click included) or release changes the held
// buttons and restarts the drag at the event's cursor while any stays held; moves record the
// cursor while a button is held; the wheel adds up its units; a focus loss frees every key and
// button.
//
// Setters change only their field; call updateOrbitPosition() and updateView() afterwards.
// Only the window thread uses the camera.

#include <algorithm>
#include <array>

#include "framework/InputEvents.h"
#include "geometry/Matrix4.h"
#include "geometry/Vec3.h"

namespace ostrel {

class Camera {
  public:
    static constexpr int kNumKeys = 13;
    static constexpr int kModeFree = 0;
    static constexpr int kModeOrbit = 1;
    static constexpr float kMinimumOrbitDistance = 0.1f;

    Camera();

    /// The input handlers: keys; mouse moves, buttons and wheel; focus loss.
    void handleKey(const KeyEvent& event);
    void handleMouse(const MouseEvent& event);
    void handleFocus(const FocusEvent& event);
    /// Once per frame with the frame time in seconds.
    void update(float elapsedSeconds);
    /// Rebuilds the axes and the view matrix from position and angles.
    void updateView();
    /// In orbit mode places the eye from centre, heading, pitch and distance.
    void updateOrbitPosition();

    void setMode(int mode) { mode_ = mode; }
    int mode() const { return mode_; }
    void setPosition(const Vec3f& position) { position_ = position; }
    const Vec3f& position() const { return position_; }
    void setHeading(float degrees) { heading_ = degrees; }
    void setPitch(float degrees) { pitch_ = degrees; }
    void setRoll(float degrees) { roll_ = degrees; }
    void setTurn(float degrees) { turn_ = degrees; }
    float heading() const { return heading_; }
    float pitch() const { return pitch_; }
    float roll() const { return roll_; }
    float turn() const { return turn_; }
    void setOrbitCenter(const Vec3f& center) { orbitCenter_ = center; }
    const Vec3f& orbitCenter() const { return orbitCenter_; }
    /// At least the minimum orbit distance.
    void setOrbitDistance(float distance) {
        orbitDistance_ = std::max(distance, minimumOrbitDistance());
    }
    /// Speeds 0.05 to 1 and the minimum orbit distance 0.1, each times `scale` (> 0); the
    /// current speed keeps its place in the range. Call before placing the camera.
    void setLengthScale(float scale);
    float lengthScale() const { return lengthScale_; }
    float minimumOrbitDistance() const { return kMinimumOrbitDistance * lengthScale_; }
    float orbitDistance() const { return orbitDistance_; }

    const Matrix4& viewMatrix() const { return view_; }
    const Vec3f& forward() const { return forward_; }
    const Vec3f& right() const { return right_; }
    const Vec3f& up() const { return up_; }
    const Vec3f& horizontalForward() const { return horizontalForward_; }
    const Vec3f& horizontalRight() const { return horizontalRight_; }

    float speed() const { return speed_; }
    float minimumSpeed() const { return minSpeed_; }
    float maximumSpeed() const { return maxSpeed_; }
    void setMaximumSpeed(float speed) { maxSpeed_ = speed; }

    /// Wheel delta per line = kWheelUnitsPerNotch / lines; 0 lines: the wheel is ignored.
    void setWheelScrollLines(int lines);
    int wheelDeltaPerLine() const { return wheelDeltaPerLine_; }
    bool keyDown(int slot) const { return keys_[size_t(slot)]; }
    /// Whether the next Update may move the view: a key or button held, or wheel turns waiting.
    bool isMoving() const { return keysHeld_ > 0 || buttons_ != 0 || wheelAccumulated_ != 0; }
    int keysHeld() const { return keysHeld_; }
    int mouseButtons() const { return buttons_; }  ///< bits: 1 left, 2 middle, 4 right

    /// The base matrix B.
    static Matrix4 baseMatrix();
    /// Key slot of a key, -1 when the camera does not use the key.
    static int keySlot(Key key);

  private:
    void buttonsChanged(const MouseEvent& event);

    int mode_ = kModeOrbit;
    Vec3f position_{0, 0, 0};
    float heading_ = 0, pitch_ = 0, roll_ = 0, turn_ = 0;
    float lengthScale_ = 1.0f;
    float minSpeed_ = 0.05f, maxSpeed_ = 1.0f;
    float speed_ = (0.05f + 1.0f) / 5.0f;
    Vec3f orbitCenter_{0, 0, 0};
    float orbitDistance_ = 0;
    Matrix4 view_;
    Vec3f horizontalForward_, horizontalRight_, forward_, right_, up_;
    std::array<bool, kNumKeys> keys_{};
    int keysHeld_ = 0;
    int buttons_ = 0;
    int lastX_ = 0, lastY_ = 0, currentX_ = 0, currentY_ = 0;
    float smoothDx_ = 0, smoothDy_ = 0;
    float sensitivity_ = 1.0f / 3.0f, smoothing_ = 2.0f / 3.0f;
    int wheelDeltaPerLine_ = 0;
    int wheelAccumulated_ = 0;
};

/// Places the camera at scene load: orbit centre, then the eye at `position` (the orbit distance
/// becomes its distance from the centre), then heading, pitch and roll (turn 0); the orbit
/// position and the view are recomputed after each step.
void placeCamera(Camera& camera, const Vec3f& center, const Vec3f& position,
                 const Vec3f& headingPitchRoll);

}  // namespace ostrel
