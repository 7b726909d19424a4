#pragma once
// The keys' view of the window's camera: Space switches free flight and orbit (entering orbit
// takes the eye's distance to the orbit centre), 2 and X set angles and the eye; every change
// recomputes the orbit position (in orbit mode) and the view at once. The camera is not owned.

#include "app/Controls.h"

namespace ostrel {

class Camera;

class WindowCameraKeys : public CameraKeys {
  public:
    explicit WindowCameraKeys(Camera& camera) : camera_(camera) {}

    void toggleOrbitMode() override;
    void setAngles(float heading, float pitch, float roll, float turn) override;
    /// As at scene load: the eye, its distance to the orbit centre as the orbit distance, the
    /// angles with turn 0.
    void moveTo(const Vec3f& eye, const Vec3f& headingPitchRoll) override;
    Vec3f eyePosition() const override;
    Vec3f headingPitchRoll() const override;
    Vec3f forward() const override;
    Vec3f up() const override;

  private:
    void refresh();
    Camera& camera_;
};

}  // namespace ostrel
