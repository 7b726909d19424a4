// The load-case controls without a window: choosing, adding, removing and weighing cases on the
// small cantilever scene, force edits and "Clear Forces" on the chosen case only, Alt+S writing
// every case and the weights (and refusing a case the file could not hold), and the optimizer
// solving the edited cases; the mirror check boxes.

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "optimization/LoadCaseForces.h"
#include "tests/app/ControlsRig.h"

namespace ostrel {
namespace {

using namespace ostrel::testing;

/// An object-ID source with one vertex handle under the whole window.
struct OneHandle : ObjectIdSource {
    std::uint32_t id = 0;
    std::uint32_t getObjectId(int, int) override { return id; }
    void collectObjectIds(int, int, int, int, std::set<std::uint32_t>&) override {}
};

class LoadCaseControls : public ControlsTest {
protected:
    void event(int id) { controls_->onControlEvent(id); }
    LoadCaseForces& cases() { return controls_->loadCases(); }
    /// A right drag of 20 pixels to the right from vertex v's handle in force mode, the camera
    /// looking along +y (right is +x).
    void dragAt(int v) {
        handle_.id = makeObjectId(ObjectKind::VertexHandle, std::uint32_t(v));
        Editor editor(&handle_, &settings_, &scene_, scene_.model(), &wide_);
        editor.setForcesLogFile({});
        editor.setLoadCases(&cases());
        editor.updateCameraAxes(lookAtView({1, -5, 0.25f}, {0, 1, 0}, {0, 0, 1}));
        editor.setMode(Editor::kForces);
        ASSERT_TRUE(editor.onMouseEvent(mousePress(MouseButton::Right, 100, 100)));
        editor.onMouseEvent(mouseMove(120, 100, buttonBit(MouseButton::Right)));
        editor.onMouseEvent(mouseRelease(MouseButton::Right, 120, 100));
    }
    static bool loaded(const std::vector<float>& forces) {
        return std::any_of(forces.begin(), forces.end(), [](float f) { return f != 0; });
    }
    std::string lastLine() const {
        const std::string text = wide();
        const size_t end = text.size() - 1, start = text.rfind('\n', end - 1);
        return text.substr(start == std::string::npos ? 0 : start + 1, end - start - 1);
    }
    OneHandle handle_;
};

TEST_F(LoadCaseControls, ButtonsChooseAddRemoveAndWeighCases) {
    const std::string oneCase =
        "One load case: its weight changes nothing (\"Add Case\" adds another); nothing changed";
    const std::string keepCaseOne =
        "Load case 1 cannot be removed (\"Clear Forces\" empties it); nothing changed";
    const std::string positive = "Some load case must keep a positive weight; nothing changed";
    const struct {
        int id;
        std::string line;  ///< the line the event prints
        std::vector<double> weights;
    } steps[] = {
        {kWeightUp, oneCase, {}},
        {kRemoveCase, keepCaseOne, {}},
        {kNextCase, "Load case 1 of 1", {}},
        {kAddCase, "Load case 2 of 2, weight 1", {1, 1}},
        {kWeightDown, "Load case 2 of 2, weight 0.75", {1, 0.75}},
        {kWeightDown, "Load case 2 of 2, weight 0.5", {1, 0.5}},
        {kNextCase, "Load case 2 of 2, weight 0.5", {1, 0.5}},
        {kPreviousCase, "Load case 1 of 2, weight 1", {1, 0.5}},
        {kPreviousCase, "Load case 1 of 2, weight 1", {1, 0.5}},
        {kWeightUp, "Load case 1 of 2, weight 1.25", {1.25, 0.5}},
        {kAddCase, "Load case 3 of 3, weight 1", {1.25, 0.5, 1}},
        {kPreviousCase, "Load case 2 of 3, weight 0.5", {1.25, 0.5, 1}},
        {kRemoveCase, "Load case 1 of 2, weight 1.25", {1.25, 1}},
        {kNextCase, "Load case 2 of 2, weight 1", {1.25, 1}},
        {kWeightDown, "Load case 2 of 2, weight 0.75", {1.25, 0.75}},
        {kWeightDown, "Load case 2 of 2, weight 0.5", {1.25, 0.5}},
        {kWeightDown, "Load case 2 of 2, weight 0.25", {1.25, 0.25}},
        {kWeightDown, "Load case 2 of 2, weight 0", {1.25, 0}},
        {kWeightDown, "Load case 2 of 2, weight 0", {1.25, 0}},  // not below 0
        {kPreviousCase, "Load case 1 of 2, weight 1.25", {1.25, 0}},
        {kWeightDown, "Load case 1 of 2, weight 1", {1, 0}},
        {kWeightDown, "Load case 1 of 2, weight 0.75", {0.75, 0}},
        {kWeightDown, "Load case 1 of 2, weight 0.5", {0.5, 0}},
        {kWeightDown, "Load case 1 of 2, weight 0.25", {0.25, 0}},
        {kWeightDown, positive, {0.25, 0}},
        {kNextCase, "Load case 2 of 2, weight 0", {0.25, 0}},
        {kRemoveCase, "Load case 1 of 1", {}},
    };
    EXPECT_EQ(controls_->loadCaseText(), "Load case 1 of 1");
    for (const auto& step : steps) {
        SCOPED_TRACE(step.line);
        wide_.str(L"");
        event(step.id);
        EXPECT_EQ(wide(), step.line + "\n");
        EXPECT_EQ(scene_.designControls_.loadCaseWeights, step.weights);
        EXPECT_EQ(scene_.solver()->loadCaseCount(), std::max<int>(1, int(step.weights.size())));
    }
}

TEST_F(LoadCaseControls, ForceEditsAndClearForcesActOnTheChosenCase) {
    const std::vector<float> one = model().forces();
    event(kAddCase);
    const int v = model().vertexAt(0, {4, 0, 2});
    dragAt(v);
    EXPECT_EQ(model().forces(), one) << "case 1 untouched";
    const std::vector<float>& two = cases().forces(2);
    ASSERT_TRUE(loaded(two));
    EXPECT_GT(two[3 * size_t(v)], 0.0f) << "dragged to the right: along +x";
    EXPECT_EQ(two[3 * size_t(v) + 2], 0.0f);

    // Back to case 1: a drag there leaves case 2 as it was.
    const std::vector<float> twoBefore = two;
    event(kPreviousCase);
    dragAt(model().vertexAt(0, {2, 0, 2}));
    EXPECT_NE(model().forces(), one);
    EXPECT_EQ(cases().forces(2), twoBefore);

    // "Clear Forces" empties the chosen case only.
    event(kNextCase);
    event(kClearForces);
    EXPECT_FALSE(loaded(cases().forces(2)));
    EXPECT_TRUE(anyForce());
    event(kPreviousCase);
    event(kClearForces);
    EXPECT_FALSE(anyForce());
}

TEST_F(LoadCaseControls, AltSWritesEveryCaseAndTheWeights) {
    const std::vector<float> one = model().forces();
    event(kAddCase);
    const int v = model().vertexAt(0, {8, 2, 2});
    cases().setForces({{v, {0.0f, 40.0f, 0.0f}}});
    event(kWeightDown);
    EXPECT_EQ(scene_.unsavedEdits(), (std::vector<std::wstring>{L"forces", L"design controls"}));
    key(Key::S, true);
    EXPECT_EQ(wide(), "Load case 2 of 2, weight 1\nLoad case 2 of 2, weight 0.75\n");
    EXPECT_TRUE(scene_.unsavedEdits().empty());
    const std::string text = readFile(sceneFile_);
    EXPECT_NE(text.find("\nFORCES_CASE_2: 8 2 2 0 40 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nLOAD_CASE_WEIGHTS: 1 0.75\n"), std::string::npos) << text;
    {
        SceneProblem saved{DeviceOptions{true, 1}};
        std::wostringstream log;
        ASSERT_TRUE(saved.loadScene(sceneFile_.wstring(), &log)) << toUtf8(log.str());
        EXPECT_EQ(saved.model()->forces(), one);
        ASSERT_EQ(saved.solver()->loadCaseCount(), 2);
        EXPECT_EQ(saved.solver()->moreLoads()[0], cases().forces(2));
        EXPECT_EQ(saved.designControls_.loadCaseWeights, (std::vector<double>{1, 0.75}));
    }
    // A file that already gives the weights keeps its text.
    key(Key::S, true);
    EXPECT_EQ(readFile(sceneFile_), text);

    // Back to one case: the second case's key and the weights go.
    event(kRemoveCase);
    key(Key::S, true);
    const std::string single = readFile(sceneFile_);
    EXPECT_EQ(single.find("FORCES_CASE_2"), std::string::npos) << single;
    EXPECT_EQ(single.find("LOAD_CASE_WEIGHTS"), std::string::npos) << single;
    SceneProblem saved{DeviceOptions{true, 1}};
    std::wostringstream log;
    ASSERT_TRUE(saved.loadScene(sceneFile_.wstring(), &log)) << toUtf8(log.str());
    EXPECT_EQ(saved.solver()->loadCaseCount(), 1);
    EXPECT_TRUE(saved.designControls_.loadCaseWeights.empty());
}

TEST_F(LoadCaseControls, AltSRefusesACaseWithoutForcesThatTheFileCouldNotHold) {
    const std::string before = readFile(sceneFile_);
    const std::string nothing = "; nothing was written to \"" + sceneFile_.string() + "\"\n";
    event(kAddCase);  // no force yet
    wide_.str(L"");
    key(Key::S, true);
    EXPECT_EQ(wide(), "ERROR: Load case 2 has no force, and a scene with several load cases must "
                      "give each one (FORCES_CASE_2): place a force in it or remove the case" +
                          nothing);
    EXPECT_EQ(readFile(sceneFile_), before);
    // Case 1 emptied while case 2 is loaded: no FORCES would load either.
    cases().setForces({{model().vertexAt(0, {8, 2, 2}), {0.0f, 40.0f, 0.0f}}});
    event(kPreviousCase);
    event(kClearForces);
    wide_.str(L"");
    key(Key::S, true);
    EXPECT_EQ(wide(), "ERROR: Load case 1 has no force, and a scene with several load cases must "
                      "give each one (FORCES): place a force in it or remove the case" + nothing);
    EXPECT_EQ(readFile(sceneFile_), before);
    // Closing with a Yes that cannot write keeps the window.
    EXPECT_FALSE(controls_->closeRequested([](const std::wstring&) { return Answer::Yes; }));
}

TEST_F(LoadCaseControls, TheOptimizationSolvesTheEditedCases) {
    // A weight set before the first step is the first step's.
    event(kAddCase);
    const int v = model().vertexAt(0, {8, 2, 2});
    cases().setForces({{v, {0.0f, 40.0f, 0.0f}}});
    event(kWeightDown);
    controls_->onControlEvent(kRunOstrel, true);
    StepResult step = run_->frameMove(0, 0);
    ASSERT_TRUE(step.performed);
    const Optimizer& optimizer = run_->optimizer();
    ASSERT_EQ(optimizer.loadCaseCount(), 2);
    std::vector<double> c = optimizer.caseCompliances();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_GT(c[1], 0.0);
    EXPECT_NEAR(step.strainEnergy, c[0] + 0.75 * c[1], 1e-9 * step.strainEnergy);

    // A third case once the optimization has started: the run stops and the optimizer is
    // reset with three cases.
    event(kAddCase);
    EXPECT_FALSE(run_->isRunning());
    EXPECT_EQ(optimizer.loadCaseCount(), 3);
    cases().setForces({{v, {0.0f, 0.0f, 30.0f}}});
    // The edited forces count from the next load computation (N), here for one solve (S) of the
    // current design: case 3 pulls up where case 2 pulls sideways.
    key(Key::N);
    key(Key::S);
    c = optimizer.caseCompliances();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_GT(c[2], 0.0);
    // Twice the force in case 3: four times its compliance, the other cases' unchanged.
    cases().setForces({{v, {0.0f, 0.0f, 60.0f}}});
    key(Key::N);
    key(Key::S);
    const std::vector<double> doubled = optimizer.caseCompliances();
    EXPECT_NEAR(doubled[2], 4 * c[2], 1e-3 * c[2]);
    EXPECT_NEAR(doubled[1], c[1], 1e-3 * c[1]);
    EXPECT_NEAR(doubled[0], c[0], 1e-3 * c[0]);
    controls_->onControlEvent(kRunOstrel, true);
    step = run_->frameMove(0, 0);
    EXPECT_TRUE(step.performed);
    EXPECT_EQ(optimizer.caseCompliances().size(), 3u);
}

/// The file's SYMMETRY_PLANES line, or "" without one.
std::string planesLine(const std::filesystem::path& file) {
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("SYMMETRY_PLANES:", 0) == 0) return line;
    return "";
}

TEST_F(LoadCaseControls, MirrorBoxesSetCentrePlanesThatTheRunTakesAndAltSWrites) {
    EXPECT_FALSE(controls_->checkState(kMirrorY));
    controls_->onControlEvent(kMirrorY, true);
    controls_->onControlEvent(kMirrorZ, true);
    controls_->onControlEvent(kMirrorX, true);
    EXPECT_EQ(wide(), "Mirror planes: the centre plane normal to y\n"
                      "Mirror planes: the centre plane normal to y, the centre plane normal to z\n"
                      "Mirror planes: the centre plane normal to x, the centre plane normal to y, "
                      "the centre plane normal to z\n");
    controls_->onControlEvent(kMirrorX, false);
    EXPECT_TRUE(controls_->checkState(kMirrorY));
    EXPECT_TRUE(controls_->checkState(kMirrorZ));
    EXPECT_FALSE(controls_->checkState(kMirrorX));
    EXPECT_EQ(scene_.unsavedEdits(), std::vector<std::wstring>{L"design controls"});

    // The design of the first steps is mirror-symmetric about y (the supports and loads are
    // too; about z the loaded elements at z = 0 are held solid, which a plane does not change).
    controls_->onControlEvent(kRunOstrel, true);
    ASSERT_TRUE(run_->frameMove(0, 0).performed);
    ASSERT_TRUE(run_->frameMove(0, 0).performed);
    EXPECT_EQ(run_->optimizer().controls().symmetry.size(), 2u);
    const DesignSnapshot state = run_->snapshot();
    const auto& dims = model().elementDims(0);
    int unlike = 0;
    for (int e = 0; e < model().numElements(0); ++e) {
        const GridPos p = unpack(model().elementPosition(0)[size_t(e)]);
        const int y = model().elementAt(0, {p.x, dims[1] - 1 - p.y, p.z});
        ASSERT_GE(y, 0);
        EXPECT_NEAR(state.density[size_t(e)], state.density[size_t(y)], 1e-6) << e;
        unlike += std::fabs(state.density[size_t(e)] - state.density[0]) > 1e-3;
    }
    EXPECT_GT(unlike, 0) << "a design that is not uniform";

    key(Key::S, true);
    EXPECT_EQ(planesLine(sceneFile_), "SYMMETRY_PLANES: y  z");
    EXPECT_TRUE(scene_.unsavedEdits().empty());
    {
        SceneProblem saved{DeviceOptions{true, 1}};
        std::wostringstream log;
        ASSERT_TRUE(saved.loadScene(sceneFile_.wstring(), &log)) << toUtf8(log.str());
        ASSERT_EQ(saved.designControls_.symmetry.size(), 2u);
        EXPECT_EQ(saved.designControls_.symmetry[0].axis, 1);
        EXPECT_TRUE(saved.designControls_.symmetry[0].centre);
        EXPECT_EQ(saved.designControls_.symmetry[1].axis, 2);
    }
    controls_->onControlEvent(kMirrorY, false);
    controls_->onControlEvent(kMirrorZ, false);
    key(Key::S, true);
    EXPECT_EQ(planesLine(sceneFile_), "");
}

}  // namespace
}  // namespace ostrel
