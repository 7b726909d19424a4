// The editor without a window: a fake object-ID image stands in for the renderer's buffer, a
// small cantilever scene (8 x 2 x 2 voxels of 0.25, 81 vertices) for the model.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <set>
#include <sstream>
#include <vector>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "render/Editor.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/InputEventBuilders.h"
#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;
using namespace ostrel::testing;

MouseEvent rightDown(int x, int y) {
    return mousePress(MouseButton::Right, x, y);
}
MouseEvent rightDouble(int x, int y) {
    return mousePress(MouseButton::Right, x, y, true);
}
MouseEvent rightUp(int x, int y) {
    return mouseRelease(MouseButton::Right, x, y);
}
MouseEvent rightDrag(int x, int y) {
    return mouseMove(x, y, buttonBit(MouseButton::Right));
}

/// A 200 x 100 image of object IDs, 0 everywhere until painted.
class FakeIds : public ObjectIdSource {
  public:
    static constexpr int kWidth = 200, kHeight = 100;
    FakeIds() : ids_(kWidth * kHeight, 0u) {}

    void paint(int x, int y, std::uint32_t id) { ids_[size_t(y * kWidth + x)] = id; }
    std::uint32_t getObjectId(int x, int y) override {
        ++reads;
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight)
            return 0;
        return ids_[size_t(y * kWidth + x)];
    }
    void collectObjectIds(int x0, int y0, int x1, int y1, std::set<std::uint32_t>& ids) override {
        for (int y = std::max(0, std::min(y0, y1)); y <= std::min(kHeight - 1, std::max(y0, y1));
             ++y)
            for (int x = std::max(0, std::min(x0, x1)); x <= std::min(kWidth - 1, std::max(x0, x1));
                 ++x)
                ids.insert(ids_[size_t(y * kWidth + x)]);
    }
    int reads = 0;

  private:
    std::vector<std::uint32_t> ids_;
};

std::uint32_t handle(int v) {
    return makeObjectId(ObjectKind::VertexHandle, std::uint32_t(v));
}
std::uint32_t arrow(int v) {
    return makeObjectId(ObjectKind::ForceArrow, std::uint32_t(v));
}

class EditorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(
            scene_.loadScene(testing::writeCantileverScene(folder_.path(), 8).wstring(), &loadLog_))
            << toUtf8(loadLog_.str());
        model_ = scene_.model();
        ASSERT_EQ(model_->numVertices(0), 81);
        editor_ = std::make_unique<Editor>(&ids_, &settings_, &scene_, model_, &console_);
        editor_->setForcesLogFile(folder_ / "Quenby" / "forces.txt");
        // Camera on the -y side looking along +y, z up: right = +x, up = +z.
        editor_->updateCameraAxes(lookAtView({1, -5, 0.25f}, {0, 1, 0}, {0, 0, 1}));
    }

    bool send(const MouseEvent& event) { return editor_->onMouseEvent(event); }
    void click(int x, int y) {
        EXPECT_TRUE(send(rightDown(x, y)));
        EXPECT_TRUE(send(rightUp(x, y)));
    }
    int vertex(int x, int y, int z) const { return model_->vertexAt(0, {x, y, z}); }
    Vec3f force(int v) const {
        return {model_->forces()[3 * size_t(v)], model_->forces()[3 * size_t(v) + 1],
                model_->forces()[3 * size_t(v) + 2]};
    }
    Vec3f totalForce() const {
        Vec3f sum{0, 0, 0};
        for (int v = 0; v < model_->numVertices(0); ++v)
            sum += force(v);
        return sum;
    }
    void clearAll() {
        model_->clearFixations();
        model_->clearForces();
    }
    std::string console() const { return toUtf8(console_.str()); }

    ScratchFolder folder_{"editor"};
    std::wostringstream loadLog_, console_;
    ostrel::testing::SceneProblem scene_{DeviceOptions{true, 1}};
    FemModel* model_ = nullptr;
    FakeIds ids_;
    RenderSettings settings_;
    std::unique_ptr<Editor> editor_;
};

TEST_F(EditorTest, StartsInViewModeAndModeSwitchesTheEditorOverlay) {
    EXPECT_EQ(editor_->mode(), 0);
    EXPECT_FALSE(editor_->isDragging());
    EXPECT_TRUE(editor_->forceSelection().empty());
    EXPECT_EQ(editor_->lastForce(), Vec3f(0, 0, 0));
    for (int mode : {1, 2, 0, 2}) {
        editor_->setMode(mode);
        EXPECT_EQ(editor_->mode(), mode);
        EXPECT_EQ(settings_.editorActive, mode != 0);
    }
}

TEST_F(EditorTest, ViewModeReportsSurfaceVerticesOnly) {
    ids_.paint(10, 10, makeObjectId(ObjectKind::SurfaceVertex, 1234));
    ids_.paint(20, 10, handle(5));
    EXPECT_TRUE(send(rightDown(10, 10)));
    EXPECT_FALSE(send(rightDown(20, 10)));  // a handle goes on to the camera
    EXPECT_FALSE(send(rightDouble(50, 50)));
    EXPECT_TRUE(send(rightDouble(10, 10)));
    EXPECT_EQ(console(), "Clicked surface vertex 1234\nClicked surface vertex 1234\n");
    EXPECT_FALSE(editor_->isDragging());
    EXPECT_FALSE(send(rightUp(10, 10)));
}

TEST_F(EditorTest, ClickTogglesOneFixation) {
    clearAll();
    const int v = vertex(8, 1, 2);
    ids_.paint(30, 40, handle(v));
    editor_->setMode(1);
    click(30, 40);
    EXPECT_EQ(model_->fixedFlags()[size_t(v)], 1);
    EXPECT_EQ(std::count(model_->fixedFlags().begin(), model_->fixedFlags().end(), 1), 1);
    EXPECT_EQ(console(), "Toggled fixation of vertex " + std::to_string(v) + "\n");
    click(30, 40);  // a double click arrives as a second press
    EXPECT_EQ(model_->fixedFlags()[size_t(v)], 0);
    const std::string lines = console();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
    EXPECT_FALSE(editor_->isDragging());
}

TEST_F(EditorTest, ClickInFixationModeOnOtherKinds) {
    clearAll();
    ids_.paint(1, 1, arrow(3));
    ids_.paint(2, 2, makeObjectId(ObjectKind::SurfaceVertex, 77));
    editor_->setMode(1);
    click(1, 1);
    click(2, 2);
    click(150, 90);
    EXPECT_EQ(console(), "Clicked surface vertex 77\n");
    EXPECT_EQ(std::count(model_->fixedFlags().begin(), model_->fixedFlags().end(), 1), 0);
}

struct RectangleCase {
    const char* name;
    int fixedHandles, freeHandles;
    bool arrowOfAnotherVertex;
    int expectedFixedAfter;  // among the handles and the arrow's vertex together
};

class EditorRectangle : public EditorTest, public ::testing::WithParamInterface<RectangleCase> {};

TEST_P(EditorRectangle, MajorityRule) {
    const RectangleCase& c = GetParam();
    clearAll();
    editor_->setMode(1);
    std::vector<int> handles;
    for (int k = 0; k < c.fixedHandles + c.freeHandles; ++k) {
        const int v = 10 + 3 * k;
        handles.push_back(v);
        model_->setFixed(v, k < c.fixedHandles);
        ids_.paint(20 + 5 * k, 30 + k, handle(v));
    }
    const int arrowVertex = 70;
    if (c.arrowOfAnotherVertex) {
        ids_.paint(25, 35, arrow(arrowVertex));
        ids_.paint(120, 80, handle(arrowVertex));  // its handle lies outside the rectangle
    }
    const std::vector<uint8_t> before = model_->fixedFlags();
    // Dragged from the lower right to the upper left: the corners may come in any order.
    EXPECT_TRUE(send(rightDown(70, 45)));
    EXPECT_FALSE(send(rightDrag(50, 40)));  // moves are not used in this mode
    EXPECT_TRUE(send(rightUp(15, 25)));
    int fixedAfter = 0;
    for (int v : handles)
        fixedAfter += model_->fixedFlags()[size_t(v)];
    EXPECT_EQ(fixedAfter, c.expectedFixedAfter);
    for (int v : handles) {
        EXPECT_EQ(model_->fixedFlags()[size_t(v)], handles.size() == size_t(fixedAfter));
    }
    EXPECT_EQ(model_->fixedFlags()[size_t(arrowVertex)], 0);
    // Nothing outside the rectangle changed.
    for (int v = 0; v < model_->numVertices(0); ++v)
        if (std::find(handles.begin(), handles.end(), v) == handles.end()) {
            EXPECT_EQ(model_->fixedFlags()[size_t(v)], before[size_t(v)]) << v;
        }
    EXPECT_EQ(console(), "");
    EXPECT_FALSE(editor_->isDragging());
}

INSTANTIATE_TEST_SUITE_P(Cases, EditorRectangle,
                         ::testing::Values(RectangleCase{"three_fixed_five_free", 3, 5, false, 8},
                                           RectangleCase{"four_and_four", 4, 4, false, 0},
                                           RectangleCase{"five_fixed_three_free", 5, 3, false, 0},
                                           RectangleCase{"all_free", 0, 2, false, 2},
                                           RectangleCase{"no_handle_only_an_arrow", 0, 0, true, 0},
                                           RectangleCase{"one_free_and_an_arrow", 0, 1, true, 1}),
                         [](const ::testing::TestParamInfo<RectangleCase>& info) {
                             return info.param.name;
                         });

TEST_F(EditorTest, RectangleOverNothingChangesNothing) {
    editor_->setMode(1);
    const std::vector<uint8_t> before = model_->fixedFlags();
    EXPECT_TRUE(send(rightDown(100, 10)));
    EXPECT_TRUE(send(rightUp(400, -50)));  // clipped to the buffer
    EXPECT_EQ(model_->fixedFlags(), before);
}

TEST_F(EditorTest, ForcePressOnBackgroundIsNotHandled) {
    editor_->setMode(2);
    const std::vector<float> before = model_->forces();
    EXPECT_FALSE(send(rightDown(50, 50)));
    EXPECT_FALSE(editor_->isDragging());
    EXPECT_FALSE(send(rightDrag(60, 50)));
    EXPECT_FALSE(send(rightUp(60, 50)));
    EXPECT_EQ(model_->forces(), before);
    EXPECT_FALSE(std::filesystem::exists(editor_->forcesLogFile()));
}

TEST_F(EditorTest, DragToTheRightGivesTotalForceAlongRight) {
    clearAll();
    scene_.view().forcePerPixel = 100;
    scene_.view().forceSphereRadius = 2.5;
    const int picked = vertex(4, 1, 1);
    ids_.paint(100, 50, handle(picked));
    editor_->setMode(2);
    ASSERT_TRUE(send(rightDown(100, 50)));
    EXPECT_TRUE(editor_->isDragging());
    EXPECT_EQ(editor_->pickedVertex(), picked);
    EXPECT_EQ(editor_->pickedPosition(), Vec3f(1.0f, 0.25f, 0.25f));

    // The selection: every vertex strictly inside the radius (all 81 here), weights
    // exp(-1.6 d^2/r^2) normalised to 1.
    const auto& selection = editor_->forceSelection();
    ASSERT_EQ(selection.size(), 81u);
    double sum = 0;
    for (const auto& [v, w] : selection)
        sum += w;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    const double r = scene_.view().forceSphereRadius;
    const auto weightOf = [&](int v) {
        return std::find_if(selection.begin(), selection.end(),
                            [&](auto& s) { return s.first == v; })
            ->second;
    };
    const int corner = vertex(0, 0, 0);
    const double d2 = 1.0 + 0.0625 + 0.0625;
    EXPECT_NEAR(weightOf(corner) / weightOf(picked), std::exp(-1.6 * d2 / (r * r)), 1e-12);

    EXPECT_TRUE(send(rightDrag(105, 50)));
    EXPECT_TRUE(send(rightDrag(110, 50)));
    const Vec3f total = totalForce();
    EXPECT_NEAR(total.x, 1000.0, 1e-3);
    EXPECT_NEAR(total.y, 0.0, 1e-3);
    EXPECT_NEAR(total.z, 0.0, 1e-3);
    EXPECT_EQ(editor_->lastForce(), Vec3f(1000, 0, 0));
    for (int v = 0; v < model_->numVertices(0); ++v)
        if (v != picked) {
            EXPECT_LT(force(v).x, force(picked).x) << v;
        }
    EXPECT_TRUE(send(rightUp(110, 50)));
    EXPECT_FALSE(editor_->isDragging());
    // Force arrows are drawn from force_: the drag left them in place.
    EXPECT_NEAR(totalForce().x, 1000.0, 1e-3);
}

TEST_F(EditorTest, UpwardDragGivesForceAlongUp) {
    clearAll();
    scene_.view().forcePerPixel = 2;
    // A tilted camera: the force follows its up axis, whatever it is.
    editor_->updateCameraAxes(lookAtView({-3, -4, 5}, {1, 1, -1}, {0, 0, 1}));
    const int picked = vertex(8, 2, 2);
    ids_.paint(10, 90, arrow(picked));  // an arrow edits the force of its vertex
    editor_->setMode(2);
    ASSERT_TRUE(send(rightDown(10, 90)));
    EXPECT_TRUE(send(rightDrag(10, 40)));  // 50 pixels up
    const Vec3f total = totalForce();
    const Vec3f up = editor_->up();
    for (int a = 0; a < 3; ++a)
        EXPECT_NEAR(total[a], 100.0 * up[a], 1e-3) << a;
    EXPECT_NEAR(dot(up, editor_->right()), 0.0f, 1e-6);
    EXPECT_NEAR(up.z, std::sqrt(2.0 / 3.0), 1e-6);  // up tilts towards +z
}

TEST_F(EditorTest, DragReplacesEarlierForcesAndPressClearsTheSphere) {
    for (int v = 0; v < model_->numVertices(0); ++v) model_->setForce(v, {7.0f, 7.0f, 7.0f});
    scene_.view().forceSphereRadius = 0.3;  // the picked vertex and its 6 neighbours at 0.25
    const int picked = vertex(4, 1, 1);
    ids_.paint(0, 0, handle(picked));
    editor_->setMode(2);
    ASSERT_TRUE(send(rightDown(0, 0)));
    EXPECT_EQ(editor_->forceSelection().size(), 7u);
    int cleared = 0;
    for (int v = 0; v < model_->numVertices(0); ++v)
        cleared += force(v) == Vec3f(0, 0, 0);
    EXPECT_EQ(cleared, 7);
    EXPECT_TRUE(send(rightDrag(30, 0)));
    EXPECT_TRUE(send(rightDrag(10, 0)));  // replaced, not added
    const Vec3f total = totalForce();
    EXPECT_NEAR(total.x, 7.0 * (81 - 7) + 10 * 0.1, 1e-3);  // default 0.1 per pixel
}

TEST_F(EditorTest, ClickInForceModeClearsTwiceTheRadiusAndLogs) {
    std::filesystem::create_directories(folder_ / "Quenby");
    scene_.view().forcePerPixel = 100;
    scene_.view().forceSphereRadius = 0.3;
    const int picked = vertex(4, 1, 1);
    ids_.paint(50, 50, handle(picked));
    editor_->setMode(2);
    // A first drag leaves its force as the last force.
    ASSERT_TRUE(send(rightDown(50, 50)));
    EXPECT_TRUE(send(rightDrag(53, 48)));
    EXPECT_TRUE(send(rightUp(53, 48)));

    for (int v = 0; v < model_->numVertices(0); ++v) model_->setForce(v, {1.0f, 1.0f, 1.0f});
    ASSERT_TRUE(send(rightDown(50, 50)));
    EXPECT_TRUE(send(rightUp(52, 48)));  // within 2 pixels: a click
    for (int v = 0; v < model_->numVertices(0); ++v) {
        const GridPos p = unpack(model_->vertexPosition(0)[size_t(v)]);
        const double d2 =
            0.0625 * ((p.x - 4) * (p.x - 4) + (p.y - 1) * (p.y - 1) + (p.z - 1) * (p.z - 1));
        EXPECT_EQ(force(v) == Vec3f(0, 0, 0), d2 < 4 * 0.09) << v;
    }
    const std::vector<std::string> lines = folder_.lines("Quenby/forces.txt");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "1 0.25 0.25   300 0 200");
    EXPECT_EQ(lines[1], lines[0]);  // the click repeats the last drag's force
}

TEST_F(EditorTest, NoLogWithoutTheFolderButTheClickStillClears) {
    scene_.view().forceSphereRadius = 0.3;
    const int picked = vertex(0, 0, 0);
    ids_.paint(5, 5, handle(picked));
    for (int v = 0; v < model_->numVertices(0); ++v) model_->setForce(v, {1.0f, 1.0f, 1.0f});
    editor_->setMode(2);
    ASSERT_TRUE(send(rightDown(5, 5)));
    EXPECT_TRUE(send(rightUp(5, 5)));
    EXPECT_EQ(force(vertex(1, 1, 1)), Vec3f(0, 0, 0));  // d^2 = 3 * 0.0625 < 0.36
    EXPECT_EQ(force(vertex(3, 0, 0)), Vec3f(1, 1, 1));  // d^2 = 0.5625
    EXPECT_FALSE(std::filesystem::exists(folder_ / "Quenby"));
}

TEST_F(EditorTest, RadiusZeroSelectsNothing) {
    clearAll();
    scene_.view().forceSphereRadius = 0;
    model_->setForceComponent(0, 0, 5.0f);
    const int picked = vertex(2, 1, 1);
    ids_.paint(60, 60, handle(picked));
    editor_->setMode(2);
    EXPECT_TRUE(send(rightDown(60, 60)));
    EXPECT_TRUE(editor_->isDragging());
    EXPECT_TRUE(editor_->forceSelection().empty());
    EXPECT_TRUE(send(rightDrag(90, 60)));
    EXPECT_TRUE(send(rightUp(90, 60)));
    EXPECT_EQ(totalForce(), Vec3f(5, 0, 0));
    ASSERT_TRUE(send(rightDown(60, 60)));
    EXPECT_TRUE(send(rightUp(60, 60)));
    EXPECT_EQ(totalForce(), Vec3f(5, 0, 0));
}

TEST_F(EditorTest, ReleaseWithoutAcceptedPressIsNotHandled) {
    for (int mode : {0, 1, 2}) {
        editor_->setMode(mode);
        EXPECT_FALSE(send(rightUp(10, 10))) << mode;
        EXPECT_FALSE(send(rightDrag(10, 10))) << mode;
    }
    // Only the right button edits; the wheel and the other buttons go on to the camera.
    editor_->setMode(1);
    EXPECT_FALSE(send(mousePress(MouseButton::Left, 10, 10)));
    EXPECT_FALSE(send(mousePress(MouseButton::Middle, 10, 10)));
    EXPECT_FALSE(send(mouseWheel(kWheelUnitsPerNotch, 10, 10)));
    EXPECT_FALSE(editor_->isDragging());
}

TEST_F(EditorTest, ModeChangeDuringDragKeepsTheDrag) {
    clearAll();
    const int v = vertex(8, 0, 0);
    ids_.paint(40, 40, handle(v));
    // Fixation press, then view mode: the release ends the drag and does nothing.
    editor_->setMode(1);
    EXPECT_TRUE(send(rightDown(40, 40)));
    editor_->setMode(0);
    EXPECT_TRUE(editor_->isDragging());
    EXPECT_TRUE(send(rightUp(40, 40)));
    EXPECT_FALSE(editor_->isDragging());
    EXPECT_EQ(model_->fixedFlags()[size_t(v)], 0);
    EXPECT_EQ(console(), "");

    // Force press, then fixation mode: the release is a fixation click on the press position.
    scene_.view().forcePerPixel = 1;
    editor_->setMode(2);
    ASSERT_TRUE(send(rightDown(40, 40)));
    editor_->setMode(1);
    EXPECT_FALSE(send(rightDrag(45, 40)));  // no drag step outside force mode
    EXPECT_EQ(totalForce(), Vec3f(0, 0, 0));
    EXPECT_TRUE(send(rightUp(40, 40)));
    EXPECT_EQ(model_->fixedFlags()[size_t(v)], 1);
    EXPECT_EQ(console(), "Toggled fixation of vertex " + std::to_string(v) + "\n");

    // Fixation press, then force mode: the moves drag the last force selection.
    editor_->setMode(1);
    ASSERT_TRUE(send(rightDown(40, 40)));
    editor_->setMode(2);
    EXPECT_TRUE(send(rightDrag(50, 40)));
    EXPECT_NEAR(totalForce().x, 10.0, 1e-4);
    EXPECT_TRUE(send(rightUp(50, 40)));
    EXPECT_FALSE(editor_->isDragging());
}

TEST_F(EditorTest, ForceReleaseAfterFixationPressWithoutPickedVertex) {
    // No force press has ever picked a vertex: the release logs and clears nothing.
    std::filesystem::create_directories(folder_ / "Quenby");
    for (int v = 0; v < model_->numVertices(0); ++v) model_->setForce(v, {1.0f, 1.0f, 1.0f});
    editor_->setMode(1);
    ASSERT_TRUE(send(rightDown(5, 5)));
    editor_->setMode(2);
    EXPECT_TRUE(send(rightUp(5, 5)));
    EXPECT_EQ(totalForce(), Vec3f(81, 81, 81));
    EXPECT_EQ(folder_.lines("Quenby/forces.txt"), std::vector<std::string>{"0 0 0   0 0 0"});
}

TEST_F(EditorTest, IndexNotBelowTheVertexCountIsIgnored) {
    clearAll();
    const int n = model_->numVertices(0);
    ids_.paint(10, 10, handle(n));
    ids_.paint(11, 10, arrow(n + 5));
    ids_.paint(12, 10, handle(n - 1));
    editor_->setMode(1);
    click(10, 10);
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(send(rightDown(9, 9)));
    EXPECT_TRUE(send(rightUp(11, 11)));  // the rectangle holds only the bad IDs
    EXPECT_EQ(std::count(model_->fixedFlags().begin(), model_->fixedFlags().end(), 1), 0);
    EXPECT_TRUE(send(rightDown(9, 9)));
    EXPECT_TRUE(send(rightUp(12, 11)));  // with the last vertex: it is fixed
    EXPECT_EQ(model_->fixedFlags()[size_t(n - 1)], 1);
    EXPECT_EQ(std::count(model_->fixedFlags().begin(), model_->fixedFlags().end(), 1), 1);

    editor_->setMode(2);
    EXPECT_FALSE(send(rightDown(10, 10)));
    EXPECT_FALSE(send(rightDown(11, 10)));
    EXPECT_FALSE(editor_->isDragging());
}

TEST_F(EditorTest, CameraAxesFromTheInvertedViewMatrix) {
    const Vec3f eye{2, -3, 4};
    const Vec3f dir{-1, 2, -0.5f};
    editor_->updateCameraAxes(lookAtView(eye, dir, {0, 0, 1}));
    const Vec3f d = dir / length(dir);
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(editor_->eye()[a], eye[a], 1e-5) << a;
        EXPECT_NEAR(editor_->viewDirection()[a], d[a], 1e-6) << a;
    }
    const Vec3f right = cross(d, Vec3f(0, 0, 1));
    for (int a = 0; a < 3; ++a)
        EXPECT_NEAR(editor_->right()[a], right[a] / length(right), 1e-6) << a;
    EXPECT_NEAR(length(editor_->up()), 1.0f, 1e-6);
    EXPECT_NEAR(dot(editor_->up(), d), 0.0f, 1e-6);
    EXPECT_GT(editor_->up().z, 0.0f);
    // A scaled view still gives unit axes.
    editor_->updateCameraAxes(scaling(2.0f) * lookAtView(eye, dir, {0, 0, 1}));
    EXPECT_NEAR(length(editor_->right()), 1.0f, 1e-6);
    EXPECT_NEAR(editor_->eye().x, eye.x, 1e-5);
}

TEST(EditorWithoutModel, NothingIsPickedBeforeASceneIsLoaded) {
    ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
    FakeIds ids;
    ids.paint(1, 1, handle(0));
    std::wostringstream console;
    Editor editor(&ids, nullptr, &scene, scene.model(), &console);
    editor.setMode(1);
    EXPECT_TRUE(editor.onMouseEvent(rightDown(1, 1)));
    EXPECT_TRUE(editor.onMouseEvent(rightUp(1, 1)));
    EXPECT_TRUE(editor.onMouseEvent(rightDown(0, 0)));
    EXPECT_TRUE(editor.onMouseEvent(rightUp(3, 3)));
    editor.setMode(2);
    EXPECT_FALSE(editor.onMouseEvent(rightDown(1, 1)));
    EXPECT_EQ(console.str(), L"");
}

TEST(EditorCursor, NegativeCoordinatesAreSigned) {
    FakeIds ids;
    std::wostringstream console;
    ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
    Editor editor(&ids, nullptr, &scene, scene.model(), &console);
    editor.setMode(1);
    ids.reads = 0;
    EXPECT_TRUE(editor.onMouseEvent(rightDown(-5, -7)));
    EXPECT_TRUE(editor.onMouseEvent(rightUp(-5, -7)));
    EXPECT_EQ(ids.reads, 1);  // one read at (-5, -7): background
}

}  // namespace
}  // namespace ostrel
