// The camera without a window: key table, mouse drag, wheel, focus loss, wrap and clamp rules,
// orbit placement and the view matrix against hand-computed matrices.

#include <gtest/gtest.h>

#include <cmath>

#include "render/Camera.h"
#include "render/DeviceCallbacks.h"
#include "support/InputEventBuilders.h"

namespace ostrel {
namespace {

using namespace ostrel::testing;

constexpr float kTol = 1e-4f;

void expectVec(const Vec3f& actual, const Vec3f& expected, float tol = kTol) {
    EXPECT_NEAR(actual.x, expected.x, tol);
    EXPECT_NEAR(actual.y, expected.y, tol);
    EXPECT_NEAR(actual.z, expected.z, tol);
}

void press(Camera& c, Key key) {
    c.handleKey(keyPress(key));
}
void release(Camera& c, Key key) {
    c.handleKey(keyRelease(key));
}

Camera orbitCamera(float heading, float pitch, float distance, Vec3f center = {0, 0, 0}) {
    Camera c;
    c.setWheelScrollLines(3);
    c.setOrbitCenter(center);
    c.setOrbitDistance(distance);
    c.setHeading(heading);
    c.setPitch(pitch);
    c.updateOrbitPosition();
    c.updateView();
    return c;
}

TEST(Camera, StartsInOrbitModeWithTheDesignedDefaults) {
    Camera c;
    EXPECT_EQ(c.mode(), Camera::kModeOrbit);
    EXPECT_FLOAT_EQ(c.speed(), 0.21f);
    EXPECT_FLOAT_EQ(c.minimumSpeed(), 0.05f);
    EXPECT_FLOAT_EQ(c.maximumSpeed(), 1.0f);
    EXPECT_EQ(c.wheelDeltaPerLine(), 40);  // three scroll lines
    EXPECT_EQ(c.viewMatrix(), Camera::baseMatrix());
    EXPECT_EQ(Camera::baseMatrix(),
              Matrix4::fromRows({0, -1, 0, 0, 0, 0, 1, 0, -1, 0, 0, 0, 0, 0, 0, 1}));
}

struct WrapCase {
    const char* name;
    float heading;
    Key key;
    float expected;
};

class HeadingWrap : public ::testing::TestWithParam<WrapCase> {};

// With Shift held v is the maximum speed, so t = 10/180 s turns the heading by 10 degrees.
TEST_P(HeadingWrap, TurnsAcrossZero) {
    const WrapCase& w = GetParam();
    Camera c = orbitCamera(w.heading, 0, 2);
    press(c, Key::Shift);
    press(c, w.key);
    c.update(10.0f / 180.0f);
    EXPECT_NEAR(c.heading(), w.expected, 1e-3f);
    EXPECT_GE(c.heading(), 0.0f);
    EXPECT_LT(c.heading(), 360.0f);
}

INSTANTIATE_TEST_SUITE_P(Camera, HeadingWrap,
                         ::testing::Values(WrapCase{"left_from_5", 5, Key::Left, 355},
                                           WrapCase{"right_from_355", 355, Key::Right, 5},
                                           WrapCase{"right_from_0", 0, Key::Right, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Camera, PitchFromADragIsClampedAndTheEyeSitsAboveTheCentre) {
    const Vec3f center{1, 2, 3};
    Camera c = orbitCamera(30, 0, 2, center);
    c.handleMouse(mousePress(MouseButton::Left, 100, 100));
    c.handleMouse(mouseMove(100, 2100, 1));
    c.update(0.01f);
    EXPECT_FLOAT_EQ(c.pitch(), 90.0f);
    expectVec(c.position(), center + Vec3f{0, 0, 2});
}

TEST(Camera, DragTurnsHeadingAndPitchByTheSmoothedDelta) {
    Camera c = orbitCamera(100, 0, 2);
    c.handleMouse(mousePress(MouseButton::Left, 10, 10));
    c.handleMouse(mouseMove(40, -20, 1));
    c.update(0.0f);
    // dx = 30/3 = 10 -> heading -= 10/500*90 = 1.8; dy = -30/3 = -10 -> pitch -= 1.8.
    EXPECT_NEAR(c.heading(), 98.2f, 1e-4f);
    EXPECT_NEAR(c.pitch(), -1.8f, 1e-4f);
    // The next frame without movement decays the smoothed delta by 2/3.
    c.update(0.0f);
    EXPECT_NEAR(c.heading(), 98.2f - 1.2f, 1e-4f);
}

TEST(Camera, OnlyTheLeftButtonAloneTurns) {
    Camera c = orbitCamera(100, 0, 2);
    c.handleMouse(mousePress(MouseButton::Left, 10, 10));
    c.handleMouse(mousePress(MouseButton::Right, 10, 10));
    c.handleMouse(mouseMove(60, 10, 5));
    c.update(0.0f);
    EXPECT_FLOAT_EQ(c.heading(), 100.0f);
    EXPECT_EQ(c.mouseButtons(), 5);
    c.handleFocus(FocusEvent{false});
    EXPECT_EQ(c.mouseButtons(), 0);
}

TEST(Camera, ADoubleClickIsAPressAndAFocusGainKeepsTheButtons) {
    Camera c = orbitCamera(100, 0, 2);
    c.handleMouse(mousePress(MouseButton::Left, 10, 10, true));
    c.handleFocus(FocusEvent{true});
    c.handleMouse(mouseMove(40, 10, 1));
    c.update(0.0f);
    EXPECT_EQ(c.mouseButtons(), 1);
    EXPECT_NEAR(c.heading(), 98.2f, 1e-4f);
    c.handleMouse(mouseRelease(MouseButton::Left, 40, 10));
    EXPECT_EQ(c.mouseButtons(), 0);
}

TEST(Camera, OneWheelNotchWithThreeLinesMovesTheOrbitInBy0_04) {
    Camera c = orbitCamera(0, 0, 2);
    c.handleMouse(mouseWheel(kWheelUnitsPerNotch, 5, 5));
    c.update(0.0f);
    EXPECT_NEAR(c.orbitDistance(), 2.0f - 0.04f, 1e-6f);
    expectVec(c.position(), {-1.96f, 0, 0});
    // Backwards two notches: + 0.08.
    c.handleMouse(mouseWheel(-2 * kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_NEAR(c.orbitDistance(), 2.04f, 1e-6f);
}

TEST(Camera, WheelInFreeFlightChangesTheSpeedWithinItsLimits) {
    Camera c;
    c.setWheelScrollLines(3);
    c.setMode(Camera::kModeFree);
    c.handleMouse(mouseWheel(kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_NEAR(c.speed(), 0.21f + 0.03f, 1e-6f);
    c.handleMouse(mouseWheel(100 * kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_FLOAT_EQ(c.speed(), 1.0f);
    c.handleMouse(mouseWheel(-200 * kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_FLOAT_EQ(c.speed(), 0.05f);
}

TEST(Camera, ZeroScrollLinesIgnoreTheWheel) {
    Camera c = orbitCamera(0, 0, 2);
    c.setWheelScrollLines(0);
    c.handleMouse(mouseWheel(kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_FLOAT_EQ(c.orbitDistance(), 2.0f);
}

TEST(Camera, AKeyHeldThroughFocusLossIsReleased) {
    Camera c = orbitCamera(50, 0, 2);
    press(c, Key::Left);
    c.handleFocus(FocusEvent{false});
    EXPECT_EQ(c.keysHeld(), 0);
    EXPECT_FALSE(c.keyDown(0));
    c.update(1.0f);
    EXPECT_FLOAT_EQ(c.heading(), 50.0f);
}

TEST(Camera, AutoRepeatIsIgnoredAndUnknownKeysDoNothing) {
    Camera c;
    press(c, Key::Left);
    press(c, Key::Left);  // auto-repeat
    press(c, Key::A);
    EXPECT_EQ(c.keysHeld(), 1);
    release(c, Key::Left);
    EXPECT_EQ(c.keysHeld(), 0);
    release(c, Key::Left);  // not down: nothing
    EXPECT_EQ(c.keysHeld(), 0);
}

TEST(Camera, KeySlotsFollowTheKeyTable) {
    const Key keys[] = {Key::Left,    Key::Right,   Key::Up,      Key::Down,    Key::PageUp,
                         Key::PageDown,    Key::Shift,   Key::Numpad4, Key::Numpad6, Key::Numpad8,
                         Key::Numpad2, Key::Numpad9, Key::Numpad3};
    for (int slot = 0; slot < Camera::kNumKeys; ++slot)
        EXPECT_EQ(Camera::keySlot(keys[slot]), slot);
    EXPECT_EQ(Camera::keySlot(Key::Numpad5), -1);
    EXPECT_EQ(Camera::keySlot(Key::Space), -1);
}

TEST(Camera, OrbitKeysChangeDistanceAndPitch) {
    Camera c = orbitCamera(0, 0, 2);
    press(c, Key::Up);
    c.update(1.0f);  // distance -= 0.21
    EXPECT_NEAR(c.orbitDistance(), 1.79f, 1e-5f);
    release(c, Key::Up);
    press(c, Key::Numpad9);  // as Page Up: pitch += 0.21 * 90
    c.update(1.0f);
    EXPECT_NEAR(c.pitch(), 18.9f, 1e-4f);
    release(c, Key::Numpad9);
    press(c, Key::Down);
    press(c, Key::Shift);
    c.update(0.5f);  // distance += 1 * 0.5
    EXPECT_NEAR(c.orbitDistance(), 2.29f, 1e-5f);
}

TEST(Camera, OrbitDistanceNeverFallsBelowOneTenth) {
    Camera c = orbitCamera(0, 0, 0.2f);
    press(c, Key::Up);
    c.update(10.0f);
    EXPECT_FLOAT_EQ(c.orbitDistance(), 0.1f);
}

TEST(Camera, OneHundredFiftyWheelNotchesStopTheOrbitAtOneTenthWithoutAJump) {
    const Vec3f center{1, 0.25f, 0.25f};
    Camera c = orbitCamera(30, 20, 5, center);
    float previous = c.orbitDistance();
    for (int notch = 0; notch < 150; ++notch) {
        c.handleMouse(mouseWheel(kWheelUnitsPerNotch));
        c.update(1.0f / 60.0f);
        const float d = c.orbitDistance();
        ASSERT_GE(d, 0.1f) << notch;
        ASSERT_LE(d, previous) << notch;
        ASSERT_LE(previous - d, 0.04f + 1e-5f) << notch;  // one notch's step at most
        // The eye stays on the near side of the centre, at the orbit distance.
        ASSERT_NEAR(length(c.position() - center), d, 1e-4f) << notch;
        ASSERT_GT(dot(center - c.position(), c.forward()), 0.0f) << notch;
        previous = d;
    }
    EXPECT_FLOAT_EQ(c.orbitDistance(), 0.1f);
    // The next key turns the view and leaves the distance where it stopped.
    const Vec3f eye = c.position();
    press(c, Key::PageUp);
    c.update(1.0f / 60.0f);
    release(c, Key::PageUp);
    EXPECT_FLOAT_EQ(c.orbitDistance(), 0.1f);
    EXPECT_NEAR(length(c.position() - eye), 0.0f, 0.01f);
    // Backwards the wheel moves out again at once.
    c.handleMouse(mouseWheel(-kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_NEAR(c.orbitDistance(), 0.14f, 1e-6f);
}

TEST(Camera, ManyNotchesInOneEventAndASetterStopAtOneTenthToo) {
    Camera c = orbitCamera(0, 0, 5);
    c.handleMouse(mouseWheel(150 * kWheelUnitsPerNotch));
    c.update(0.0f);
    EXPECT_FLOAT_EQ(c.orbitDistance(), 0.1f);
    expectVec(c.position(), {-0.1f, 0, 0});
    c.setOrbitDistance(0);  // e.g. orbit entered with the eye on the centre
    EXPECT_FLOAT_EQ(c.orbitDistance(), 0.1f);
    c.setOrbitDistance(-3);
    EXPECT_FLOAT_EQ(c.orbitDistance(), 0.1f);
}

struct MoveCase {
    const char* name;
    Key key;
    bool shift;
    Vec3f expected;  // position after 0.5 s from the origin, heading 90, pitch 45
};

class FreeFlight : public ::testing::TestWithParam<MoveCase> {};

TEST_P(FreeFlight, MovesAlongTheAxesOfThePreviousView) {
    const MoveCase& m = GetParam();
    Camera c;
    c.setMode(Camera::kModeFree);
    c.setHeading(90);
    c.setPitch(45);
    c.updateView();
    if (m.shift)
        press(c, Key::Shift);
    press(c, m.key);
    c.update(0.5f);
    expectVec(c.position(), m.expected);
    EXPECT_FLOAT_EQ(c.heading(), 90.0f);
}

const float kS = 0.21f * 0.5f;  // speed * time
const float kF = 1.0f * 0.5f;   // maximum speed * time (Shift)
const float kR = 0.70710678f;

INSTANTIATE_TEST_SUITE_P(
    Camera, FreeFlight,
    ::testing::Values(
        // Forward at heading 90, pitch 45 is (0, cos 45, -sin 45); right is (1, 0, 0).
        MoveCase{"up", Key::Up, false, {0, kS* kR, -kS* kR}},
        MoveCase{"up_shift", Key::Up, true, {0, kF* kR, -kF* kR}},
        MoveCase{"down", Key::Down, false, {0, -kS* kR, kS* kR}},
        MoveCase{"left", Key::Left, false, {-kS, 0, 0}},
        MoveCase{"right_shift", Key::Right, true, {kF, 0, 0}},
        MoveCase{"page_up", Key::PageUp, false, {0, 0, kS}},
        MoveCase{"page_down_shift", Key::PageDown, true, {0, 0, -kF}},
        MoveCase{"numpad9", Key::Numpad9, false, {0, 0, kS}},
        MoveCase{"numpad3", Key::Numpad3, false, {0, 0, -kS}},
        // The keypad moves in the horizontal plane whatever the pitch.
        MoveCase{"numpad8", Key::Numpad8, false, {0, kS, 0}},
        MoveCase{"numpad2", Key::Numpad2, true, {0, -kF, 0}},
        MoveCase{"numpad4", Key::Numpad4, false, {-kS, 0, 0}},
        MoveCase{"numpad6", Key::Numpad6, false, {kS, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Camera, OrbitPlacementFromCentreHeadingPitchAndDistance) {
    Camera c = orbitCamera(90, 30, 2, {1, 2, 3});
    // eye = centre - 2 * (cos 90 cos 30, sin 90 cos 30, -sin 30)
    expectVec(c.position(), {1, 2 - 2 * 0.8660254f, 3 + 1});
}

TEST(Camera, ViewMatrixOfHeading90AtAKnownPosition) {
    Camera c;
    c.setMode(Camera::kModeFree);
    c.setPosition({1, 2, 3});
    c.setHeading(90);
    c.updateView();
    const Matrix4 expected = Matrix4::fromRows({1, 0, 0, -1, 0, 0, 1, -3, 0, -1, 0, 2, 0, 0, 0, 1});
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(c.viewMatrix().m[size_t(i)], expected.m[size_t(i)], 1e-6f) << i;
    expectVec(c.forward(), {0, 1, 0});
    expectVec(c.right(), {1, 0, 0});
    expectVec(c.up(), {0, 0, 1});
}

TEST(Camera, ViewMatrixOfPitchAndTurn) {
    // Heading 0, pitch 90 (looking straight down), turn 90: forward -z; the turn rotates the
    // world about z before the camera rotation.
    Camera c;
    c.setMode(Camera::kModeFree);
    c.setPitch(90);
    c.setTurn(90);
    c.updateView();
    // M1 = R_y(-90): rows (0,0,-1), (0,1,0), (1,0,0); R_t = R_z(-90): rows (0,1,0), (-1,0,0),
    // (0,0,1).
    const Matrix4 m1 = Matrix4::fromRows({0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1});
    const Matrix4 rt = Matrix4::fromRows({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
    const Matrix4 expected = Camera::baseMatrix() * m1 * rt;
    // B * M1 = rows (0,-1,0), (1,0,0), (0,0,1); times R_t = rows (1,0,0), (0,1,0), (0,0,1).
    for (int i = 0; i < 16; ++i) {
        EXPECT_NEAR(c.viewMatrix().m[size_t(i)], expected.m[size_t(i)], 1e-6f) << i;
        EXPECT_NEAR(c.viewMatrix().m[size_t(i)], Matrix4::identity().m[size_t(i)], 1e-6f) << i;
    }
    expectVec(c.forward(), {0, 0, -1});
}

struct AngleCase {
    float heading, pitch, roll;
};

class ViewAxes : public ::testing::TestWithParam<AngleCase> {};

// Whatever the angles (turn 0), the view maps the eye to the origin and the forward, right and
// up axes to -z, +x and +y of view space.
TEST_P(ViewAxes, MapTheCameraAxesToViewSpace) {
    const AngleCase& a = GetParam();
    Camera c;
    c.setMode(Camera::kModeFree);
    c.setPosition({0.5f, -1.5f, 2});
    c.setHeading(a.heading);
    c.setPitch(a.pitch);
    c.setRoll(a.roll);
    c.updateView();
    const Matrix4& v = c.viewMatrix();
    expectVec(transformPoint(v, c.position()), {0, 0, 0});
    expectVec(transformDirection(v, c.forward()), {0, 0, -1});
    expectVec(transformDirection(v, c.right()), {1, 0, 0});
    expectVec(transformDirection(v, c.up()), {0, 1, 0});
    const float h = a.heading * 3.14159265f / 180, p = a.pitch * 3.14159265f / 180;
    expectVec(c.forward(), {std::cos(h) * std::cos(p), std::sin(h) * std::cos(p), -std::sin(p)});
}

INSTANTIATE_TEST_SUITE_P(Camera, ViewAxes,
                         ::testing::Values(AngleCase{0, 0, 0}, AngleCase{90, 0, 0},
                                           AngleCase{200, 30, 0}, AngleCase{45, -60, 20},
                                           AngleCase{359, 89, -45}));

TEST(Camera, PlacementFromTheSceneKeepsOnlyTheDistanceOfTheDefaultPosition) {
    Camera c;
    placeCamera(c, {1, 0.25f, 0.25f}, {-3, 0.25f, 0.25f}, {90, 0, 0});
    EXPECT_FLOAT_EQ(c.orbitDistance(), 4.0f);
    expectVec(c.position(), {1, 0.25f - 4, 0.25f});
    EXPECT_FLOAT_EQ(c.heading(), 90.0f);
    EXPECT_FLOAT_EQ(c.turn(), 0.0f);
}

TEST(StatisticsText, CameraAndEditorLines) {
    Camera c;
    c.setMode(Camera::kModeFree);
    c.setPosition({1, -2.5f, 0});
    c.setHeading(90);
    c.updateView();
    const auto lines = statisticsLines("frame", "device", false, c, 2);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "frame");
    EXPECT_EQ(lines[1], "device");
    EXPECT_EQ(lines[2], "x=1.000 y=-2.500 z=0.000 heading=90.00 pitch=0.00 roll=0.00 turn=0.00");
    EXPECT_EQ(lines[3], "[EDITOR] Mode=2");
    const auto gamma = statisticsLines("", "", true, c, 0);
    ASSERT_EQ(gamma.size(), 5u);
    EXPECT_EQ(gamma[2], "GAMMA!");
    EXPECT_EQ(gamma[4], "[EDITOR] Mode=0");
}

TEST(CameraScale, TheNearestOrbitDistanceAndTheSpeedsFollowTheScale) {
    for (float scale : {1e-3f, 1.0f, 100.0f, 1e4f}) {
        Camera camera;
        camera.setLengthScale(scale);
        EXPECT_FLOAT_EQ(camera.minimumOrbitDistance(), 0.1f * scale);
        EXPECT_FLOAT_EQ(camera.minimumSpeed(), 0.05f * scale);
        EXPECT_FLOAT_EQ(camera.maximumSpeed(), 1.0f * scale);
        EXPECT_FLOAT_EQ(camera.speed(), 0.21f * scale);
        // The default view of a part of this size keeps its distance of 2.5 lengths.
        placeCamera(camera, Vec3f(1, 0.25f, 0.25f) * scale, Vec3f(-1.5f, 0.25f, 0.25f) * scale,
                    {0, 0, 0});
        EXPECT_FLOAT_EQ(camera.orbitDistance(), 2.5f * scale);
        camera.setOrbitDistance(0);
        EXPECT_FLOAT_EQ(camera.orbitDistance(), 0.1f * scale);
    }
}

TEST(ViewProjection, MovesTheWindowsCentreToTheFreeAreasCentre) {
    const Matrix4 plain = cameraProjection(800.0f / 600.0f, 100.0f);
    EXPECT_EQ(viewProjection(800, 600, 100.0f, {}), plain);
    EXPECT_FLOAT_EQ(plain(2, 3), -0.00100001f * 100);
    // Points on the axis of view land on the free area's centre, at every depth; the near and
    // far planes lie at 0.001 and 100 times the scale.
    const struct {
        PixelArea area;
        float x, y;  // the centre in pixels
    } cases[] = {{{0, 80, 380, 600}, 190, 340}, {{400, 0, 800, 300}, 600, 150}, {{0, 0, 800, 600}, 400, 300}};
    for (const auto& c : cases) {
        const Matrix4 p = viewProjection(800, 600, 100.0f, c.area);
        for (float depth : {0.1f, 1.0f, 250.0f, 9000.0f}) {
            const Vec4f q = p * Vec4f{0, 0, -depth, 1};
            EXPECT_NEAR((q.x / q.w + 1) * 400, c.x, 1e-3f) << depth;
            EXPECT_NEAR((1 - q.y / q.w) * 300, c.y, 1e-3f) << depth;
        }
        const Vec4f n = p * Vec4f{0, 0, -0.1f, 1}, f = p * Vec4f{0, 0, -10000, 1};
        EXPECT_NEAR(n.z / n.w, 0.0f, 1e-4f);
        EXPECT_NEAR(f.z / f.w, 1.0f, 1e-5f);
        // A point off the axis moves by the same pixels as the centre.
        const Vec4f a = plain * Vec4f{3, -2, -50, 1}, b = p * Vec4f{3, -2, -50, 1};
        EXPECT_NEAR((b.x / b.w - a.x / a.w) * 400, c.x - 400, 1e-3f);
        EXPECT_NEAR((a.y / a.w - b.y / b.w) * 300, c.y - 300, 1e-3f);
    }
}

}  // namespace
}  // namespace ostrel
