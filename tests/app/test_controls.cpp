// The control events and keys without a window: the small cantilever scene (8 x 2 x 2 voxels)
// on the host device, its run control, the renderer's flags, the editor, a fake camera and a
// fake save dialog; console lines go to string streams.

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/app/ControlsRig.h"

namespace ostrel {
namespace {

using namespace ostrel::testing;

TEST_F(ControlsTest, ClearForcesReachesTheSolverAtTheNextLoad) {
    ASSERT_TRUE(anyForce());
    const double loaded = scene_.solver()->computeLoad();
    ASSERT_GT(loaded, 0.0);
    controls_->onControlEvent(kClearForces);
    EXPECT_FALSE(anyForce());
    EXPECT_EQ(model().loadNorm(), loaded);  // the load vector is rebuilt only by computeLoad
    key(Key::N);
    EXPECT_EQ(model().loadNorm(), 0.0);
    EXPECT_EQ(fixedCount(), 9);
}

TEST_F(ControlsTest, ClearFixationsThenPrepareSolve) {
    scene_.solver()->prepareSolve();
    ASSERT_TRUE(scene_.solver()->coarseFactorValid());
    ASSERT_EQ(fixedCount(), 9);
    controls_->onControlEvent(kClearFixations);
    EXPECT_EQ(fixedCount(), 0);
    // The solver has the new, unfixed system: its coarsest level cannot be factored.
    EXPECT_FALSE(scene_.solver()->coarseFactorValid());
    EXPECT_TRUE(anyForce());
}

TEST_F(ControlsTest, RunCheckBoxRunsStepsAndResetKeepsTheNumbering) {
    EXPECT_FALSE(controls_->checkState(kRunOstrel));
    controls_->onControlEvent(kRunOstrel, true);
    EXPECT_TRUE(controls_->checkState(kRunOstrel));
    EXPECT_EQ(run_->frameMove(0, 0).iteration, 0);
    EXPECT_EQ(run_->frameMove(0, 0).iteration, 1);
    EXPECT_TRUE(std::filesystem::exists(folder_ / "OptimizedShape_0.obj"));

    key(Key::F7);  // a goal changed after the first step lasts until the next reset
    EXPECT_DOUBLE_EQ(run_->optimizer().volumeReductionGoal(), 0.66);
    std::vector<float> changed = run_->optimizer().densities();
    changed[0] = 0.25f;
    run_->optimizer().setDensities(changed);
    ASSERT_EQ(run_->optimizer().densities()[0], 0.25f);
    controls_->onControlEvent(kResetOstrel);
    EXPECT_FALSE(run_->isRunning());
    EXPECT_FALSE(controls_->checkState(kRunOstrel));
    EXPECT_EQ(lifetime_.iteration, 2);
    EXPECT_DOUBLE_EQ(run_->optimizer().volumeReductionGoal(), 0.64);
    EXPECT_NE(run_->optimizer().densities()[0], 0.25f);  // the optimization starts afresh
    EXPECT_FALSE(run_->frameMove(0, 0).performed);

    controls_->onControlEvent(kRunOstrel, true);
    for (int k = 2; k <= 5; ++k)
        EXPECT_EQ(run_->frameMove(0, 0).iteration, k);
    EXPECT_TRUE(std::filesystem::exists(folder_ / "OptimizedShape_5.obj"));
    controls_->onControlEvent(kRunOstrel, false);
    EXPECT_FALSE(run_->frameMove(0, 0).performed);
    EXPECT_EQ(lifetime_.iteration, 6);
}

TEST_F(ControlsTest, ResetRecomputesTheLoad) {
    controls_->onControlEvent(kClearForces);
    model().setForceComponent(40, 2, -10.0f);
    controls_->onControlEvent(kResetOstrel);
    EXPECT_NEAR(model().loadNorm(), 10.0, 1e-9);
    EXPECT_TRUE(run_->optimizer().isReset());
}

struct FlagCase {
    int id;
    bool RenderSettings::*flag;
};

TEST_F(ControlsTest, RenderSettingCheckBoxes) {
    const FlagCase cases[] = {{kWireFrame, &RenderSettings::wireFrame},
                              {kRenderCoordinateSystem, &RenderSettings::renderCoordinateSystem},
                              {kRenderGround, &RenderSettings::renderGround},
                              {kEnableShadows, &RenderSettings::enableShadows},
                              {kEnableHeadLight, &RenderSettings::enableHeadLight},
                              {kRenderSurface, &RenderSettings::renderSurface},
                              {kRenderForcesVertices, &RenderSettings::renderForcesVertices}};
    for (const FlagCase& c : cases) {
        for (bool state : {true, false, true}) {
            const RenderSettings before = settings_;
            controls_->onControlEvent(c.id, state);
            EXPECT_EQ(settings_.*c.flag, state) << c.id;
            EXPECT_EQ(controls_->checkState(c.id), state) << c.id;
            RenderSettings expected = before;
            expected.*c.flag = state;
            EXPECT_EQ(std::memcmp(&expected, &settings_, sizeof settings_), 0)
                << c.id;  // only that flag
        }
    }
    EXPECT_FALSE(run_->isRunning());
    EXPECT_EQ(wide(), "");
}

TEST_F(ControlsTest, DeviceButtonsUseTheFrameworkOrSaySoInOneLine) {
    controls_->onControlEvent(kToggleRef);
    controls_->onControlEvent(kToggleWarp);
    controls_->onControlEvent(kToggleFullScreen);
    controls_->onControlEvent(kChangeDevice);
    const std::string driver =
        "The OpenGL driver cannot be switched while Ostrel runs (start it with "
        "LIBGL_ALWAYS_SOFTWARE=1 for Mesa's software rasterizer); nothing changed\n";
    EXPECT_EQ(wide(), driver + driver +
                          "Toggle full screen: not available without a window; nothing changed\n"
                          "Change device: not available without a window; nothing changed\n");
    EXPECT_EQ(run_->isRunning(), false);

    std::vector<int> calls;
    FrameworkActions actions{[&] { calls.push_back(1); }, [&] { calls.push_back(2); },
                             [&] { calls.push_back(4); }, [&] { calls.push_back(3); }};
    Controls withFramework(scene_, *scene_.problem(), *run_, settings_, *editor_, &camera_, &dialog_, L"", actions,
                           ControlsOptions{&wide_, &narrow_});
    wide_.str(L"");
    for (int id : {kToggleFullScreen, kToggleRef, kChangeDevice, kToggleWarp})
        withFramework.onControlEvent(id);
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(wide(), "");
}

TEST_F(ControlsTest, CameraKeys) {
    key(Key::Space);
    key(Key::Space, true);
    EXPECT_EQ(camera_.toggles, 2);
    key(Key::Digit2);
    EXPECT_EQ(camera_.angles, Vec3f(90, 0, 0));
    EXPECT_EQ(camera_.turn, 0.0f);

    // Alt+X stores the view, X goes back to it.
    camera_.eye = {3, 4, 5};
    camera_.angles = {45, 10, 0};
    key(Key::X, true);
    EXPECT_EQ(scene_.view().defaultViewPos, Vec3f(3, 4, 5));
    EXPECT_EQ(scene_.view().defaultHeadingPitchRoll, Vec3f(45, 10, 0));
    EXPECT_TRUE(scene_.view().viewChanged);
    camera_.eye = {0, 0, 0};
    camera_.angles = {1, 2, 3};
    camera_.turn = 7;
    key(Key::X);
    EXPECT_EQ(camera_.moves, 1);
    EXPECT_EQ(camera_.eye, Vec3f(3, 4, 5));
    EXPECT_EQ(camera_.angles, Vec3f(45, 10, 0));
    EXPECT_EQ(camera_.turn, 0.0f);

    // Key releases do nothing.
    controls_->onKey(keyRelease(Key::Space));
    controls_->onKey(keyRelease(Key::X, true));
    EXPECT_EQ(camera_.toggles, 2);
    EXPECT_EQ(camera_.moves, 1);
}

TEST_F(ControlsTest, LightFromTheCamera) {
    key(Key::L);  // without Alt: nothing
    EXPECT_FALSE(scene_.view().lightChanged);
    key(Key::L, true);
    EXPECT_TRUE(scene_.view().lightChanged);
    EXPECT_EQ(scene_.view().lightPos, camera_.eye);
    EXPECT_EQ(scene_.view().lightDir, Vec3f(0, 1, 0));
    EXPECT_EQ(scene_.view().lightUp, Vec3f(0, 0, 1));
    // The light's view maps the eye to the origin and looks along the camera's direction.
    const float* V = scene_.view().lightView;
    const Vec3f e = camera_.eye;
    for (int row = 0; row < 3; ++row)
        EXPECT_NEAR(V[4 * row] * e.x + V[4 * row + 1] * e.y + V[4 * row + 2] * e.z + V[4 * row + 3],
                    0.0f, 1e-5);
    EXPECT_EQ(Vec3f(V[8], V[9], V[10]), Vec3f(0, -1, 0));  // view z = -direction
}

TEST_F(ControlsTest, EditorModeKeys) {
    const struct {
        Key key;
        int mode;
    } cases[] = {{Key::V, 1}, {Key::F, 2}, {Key::D, 0},
                 {Key::F, 2}, {Key::V, 1}, {Key::D, 0}};
    for (const auto& c : cases) {
        key(c.key, c.mode == 2);  // Alt does not matter
        EXPECT_EQ(editor_->mode(), c.mode);
        EXPECT_EQ(settings_.editorActive, c.mode != 0);
    }
}

TEST_F(ControlsTest, NComputesTheLoadOnlyWhileNotRunning) {
    scene_.solver()->computeLoad();
    const double before = model().loadNorm();
    model().setForceComponent(10, 0, 1000.0f);
    controls_->onControlEvent(kRunOstrel, true);
    key(Key::N);
    EXPECT_EQ(model().loadNorm(), before);
    controls_->onControlEvent(kRunOstrel, false);
    key(Key::N, true);
    EXPECT_GT(model().loadNorm(), before + 900);
}

TEST_F(ControlsTest, PClosesTheShapeAndHandsItOn) {
    key(Key::P);  // no densities yet: nothing to close or show
    EXPECT_TRUE(shapes_.empty());
    controls_->onControlEvent(kRunOstrel, true);
    run_->frameMove(0, 0);
    controls_->onControlEvent(kRunOstrel, false);
    ASSERT_EQ(shapes_.size(), 1u);
    key(Key::P);
    ASSERT_EQ(shapes_.size(), 2u);
    EXPECT_GT(shapes_[1], 0u);
    EXPECT_EQ(run_->optimizer().shapeMesh().triangles.size(), shapes_[1]);
    EXPECT_EQ(lifetime_.iteration, 1);
}

TEST_F(ControlsTest, AltSWritesTheSceneThatLoadsBack) {
    model().setFixed(40, true);
    model().clearForces();
    model().setForceComponent(50, 1, 2.5f);
    key(Key::S, true);
    EXPECT_EQ(wide(), "");
    ostrel::testing::SceneProblem loaded{DeviceOptions{true, 1}};
    std::wostringstream log;
    ASSERT_TRUE(loaded.loadScene(sceneFile_.wstring(), &log)) << toUtf8(log.str());
    EXPECT_EQ(loaded.model()->fixedFlags(), model().fixedFlags());
    EXPECT_EQ(loaded.model()->forces(), model().forces());
    EXPECT_EQ(lifetime_.iteration, 0);  // no solve
}

TEST_F(ControlsTest, AltSIntoAFolderThatIsGoneKeepsTheModelAndSaysSo) {
    Controls elsewhere(scene_, *scene_.problem(), *run_, settings_, *editor_, &camera_, &dialog_,
                       (folder_ / "gone" / "scene.txt").wstring(), FrameworkActions{},
                       ControlsOptions{&wide_, &narrow_});
    model().setFixed(40, true);
    elsewhere.onKey(keyPress(Key::S, true));
    EXPECT_NE(wide().find("ERROR: "), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "gone"));
    EXPECT_EQ(model().fixedFlags()[40], 1);
}

TEST_F(ControlsTest, CrispDesignBeforeTheFirstStepIsTheFirstRunsMode) {
    EXPECT_FALSE(controls_->checkState(kCrispDesign));
    controls_->onControlEvent(kCrispDesign, true);
    EXPECT_TRUE(controls_->checkState(kCrispDesign));
    EXPECT_EQ(scene_.designControls_.projection, 1);
    controls_->onControlEvent(kRunOstrel, true);
    ASSERT_TRUE(run_->frameMove(0, 0).performed);
    const Optimizer& optimizer = run_->optimizer();
    EXPECT_TRUE(optimizer.isProjected());
    EXPECT_EQ(run_->snapshot().projection, 1);
    EXPECT_TRUE(run_->frameMove(0, 0).performed);
}

TEST_F(ControlsTest, CrispDesignDuringARunWaitsForTheReset) {
    controls_->onControlEvent(kRunOstrel, true);
    run_->frameMove(0, 0);
    run_->frameMove(0, 0);
    const Optimizer& optimizer = run_->optimizer();
    for (const bool crisp : {true, false}) {
        SCOPED_TRACE(crisp);
        controls_->onControlEvent(kCrispDesign, crisp);
        EXPECT_EQ(controls_->checkState(kCrispDesign), crisp);
        // The running optimization keeps its mode and its arrays.
        EXPECT_EQ(optimizer.isProjected(), !crisp);
        controls_->onControlEvent(kRunOstrel, true);
        EXPECT_TRUE(run_->frameMove(0, 0).performed);
        EXPECT_EQ(optimizer.isProjected(), !crisp);
        controls_->onControlEvent(kResetOstrel);
        EXPECT_EQ(optimizer.isProjected(), crisp);
        EXPECT_EQ(run_->snapshot().projection, crisp ? 1 : 0);
        controls_->onControlEvent(kRunOstrel, true);
        EXPECT_TRUE(run_->frameMove(0, 0).performed);
        EXPECT_TRUE(run_->frameMove(0, 0).performed);
    }
    EXPECT_EQ(lifetime_.iteration, 8);
}

/// The scene file's OPTIMIZATION_PROJECTION line; "" when it has none.
std::string projectionLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("OPTIMIZATION_PROJECTION", 0) == 0)
            return line;
    return "";
}

TEST_F(ControlsTest, AltSWritesTheCrispDesignOnlyWhenChanged) {
    // Each step: the check-box clicks, then Alt+S, then the key in the file.
    const struct {
        std::vector<bool> clicks;
        const char* line;
    } steps[] = {
        {{}, ""},                                   // the key is absent and stays so
        {{true, false}, ""},                        // changed and changed back
        {{true}, "OPTIMIZATION_PROJECTION: 1"},     // changed
        {{}, "OPTIMIZATION_PROJECTION: 1"},         // the file's value now
        {{false}, "OPTIMIZATION_PROJECTION: 0"},    // a named default stays named
        {{true, false}, "OPTIMIZATION_PROJECTION: 0"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.line);
        for (bool click : step.clicks)
            controls_->onControlEvent(kCrispDesign, click);
        key(Key::S, true);
        EXPECT_EQ(wide(), "");
        EXPECT_EQ(projectionLine(sceneFile_), step.line);
        ostrel::testing::SceneProblem loaded{DeviceOptions{true, 1}};
        std::wostringstream log;
        ASSERT_TRUE(loaded.loadScene(sceneFile_.wstring(), &log)) << toUtf8(log.str());
        EXPECT_EQ(loaded.designControls_.projection, scene_.designControls_.projection);
    }
}

TEST_F(ControlsTest, SolveOnceAtIterationZeroPreparesWithFullDensity) {
    key(Key::S);
    const Optimizer& optimizer = run_->optimizer();
    ASSERT_TRUE(optimizer.isReset());
    const DesignSnapshot state = run_->snapshot();
    EXPECT_TRUE(std::all_of(state.density.begin(), state.density.end(),
                            [](float r) { return r == 1.0f; }));
    EXPECT_TRUE(std::all_of(state.stiffness.begin(), state.stiffness.end(),
                            [](float e) { return e == 1000.0f; }));
    EXPECT_GT(optimizer.totalEnergy(), 0.0);
    EXPECT_EQ(lifetime_.iteration, 0);
    EXPECT_EQ(narrow_.str().find("Time SOLVE"), std::string::npos);
    EXPECT_GT(scene_.solver()->lastCycles(), 0);
}

TEST_F(ControlsTest, SolveOnceAfterTheFirstStepDoesNotReset) {
    controls_->onControlEvent(kRunOstrel, true);
    run_->frameMove(0, 0);
    controls_->onControlEvent(kRunOstrel, false);
    const DesignSnapshot before = run_->snapshot();
    ASSERT_FALSE(std::all_of(before.density.begin(), before.density.end(),
                             [](float r) { return r == 1.0f; }));
    key(Key::S);
    const DesignSnapshot after = run_->snapshot();
    EXPECT_EQ(after.density, before.density);
    EXPECT_EQ(after.stiffness, before.stiffness);
    EXPECT_GT(run_->optimizer().totalEnergy(), 0.0);
    EXPECT_EQ(lifetime_.iteration, 1);
}

TEST_F(ControlsTest, UTogglesThePanels) {
    EXPECT_TRUE(controls_->panelsShown());
    key(Key::U);
    EXPECT_FALSE(controls_->panelsShown());
    key(Key::U, true);
    EXPECT_TRUE(controls_->panelsShown());
}

TEST_F(ControlsTest, GoalKeysPrintTheirLine) {
    key(Key::F7);
    key(Key::F7);
    key(Key::F7, true);
    EXPECT_EQ(narrow_.str(),
              "Rarget redution: 0.66\nRarget redution: 0.68\nRarget redution: 0.7\n");
    narrow_.str("");
    key(Key::F9);
    EXPECT_EQ(narrow_.str(), "Rarget redution: 0.68\n");
    EXPECT_DOUBLE_EQ(run_->optimizer().volumeReductionGoal(), 0.68);
    // A held key's auto-repeat steps again; its release does not.
    narrow_.str("");
    controls_->onKey(keyRepeat(Key::F9));
    controls_->onKey(keyRelease(Key::F9));
    EXPECT_EQ(narrow_.str(), "Rarget redution: 0.66\n");
}

TEST_F(ControlsTest, GoalKeysBeforeTheFirstStepHaveNoLastingEffect) {
    key(Key::F7);
    key(Key::F7);
    controls_->onControlEvent(kRunOstrel, true);
    run_->frameMove(0, 0);
    EXPECT_DOUBLE_EQ(run_->optimizer().volumeReductionGoal(), 0.64);
}

TEST_F(ControlsTest, F5SavesTheShapeWhenTheDialogIsAnswered) {
    controls_->onControlEvent(kRunOstrel, true);
    run_->frameMove(0, 0);
    controls_->onControlEvent(kRunOstrel, false);
    wide_.str(L"");
    key(Key::F5);
    EXPECT_EQ(dialog_.opens, 1);
    controls_->onFrame();  // still open: nothing written
    key(Key::F5);            // a second F5 while it is open starts no second dialog
    EXPECT_EQ(dialog_.opens, 2);
    dialog_.answer = folder_ / "chosen.obj";
    controls_->onFrame();
    TriangleMesh written;
    ASSERT_TRUE(written.readObj((folder_ / "chosen.obj").wstring(), nullptr));
    EXPECT_EQ(written.triangles.size(), run_->optimizer().shapeMesh().triangles.size());
    EXPECT_EQ(wide(), "");

    // A file that cannot be written is reported by the mesh writer.
    key(Key::F5);
    dialog_.answer = folder_ / "missing" / "shape.obj";
    controls_->onFrame();
    EXPECT_NE(wide().find("ERROR: Cannot create output file"), std::string::npos) << wide();
}

TEST_F(ControlsTest, OtherKeysDoNothing) {
    const std::vector<uint8_t> fixed = model().fixedFlags();
    const std::vector<float> force = model().forces();
    for (Key k : {Key::A, Key::W, Key::Digit1, Key::F2, Key::F3, Key::F4, Key::F6, Key::F8,
                  Key::Enter})
        key(k);
    EXPECT_EQ(model().fixedFlags(), fixed);
    EXPECT_EQ(model().forces(), force);
    EXPECT_TRUE(controls_->panelsShown());
    EXPECT_EQ(editor_->mode(), 0);
    EXPECT_EQ(camera_.toggles + camera_.moves, 0);
    EXPECT_EQ(narrow_.str() + wide(), "");
}

TEST_F(ControlsTest, EditingModesShowTheHandlesAndTheViewModeRestoresTheChoice) {
    // (keys, box clicked during the mode or -1, state of the box before, in the mode, after D)
    const struct {
        std::vector<Key> keys;
        int click;
        bool before, during, after;
    } cases[] = {
        {{Key::V}, -1, false, true, false},
        {{Key::F}, -1, false, true, false},
        {{Key::V}, -1, true, true, true},
        {{Key::V, Key::F, Key::V}, -1, false, true, false},  // between editing modes: kept
        {{Key::F}, 0, true, true, false},                    // a click sets the later choice
        {{Key::V}, 1, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.keys.size() << " keys, click " << c.click);
        settings_.renderForcesVertices = c.before;
        for (Key k : c.keys)
            key(k);
        if (c.click >= 0)
            controls_->onControlEvent(kRenderForcesVertices, c.click == 1);
        EXPECT_EQ(controls_->checkState(kRenderForcesVertices), c.during);
        EXPECT_TRUE(settings_.handlesShown());
        key(Key::D);
        EXPECT_EQ(controls_->checkState(kRenderForcesVertices), c.after);
        EXPECT_EQ(settings_.handlesShown(), c.after);
        key(Key::D);  // view mode again: nothing changes
        EXPECT_EQ(settings_.renderForcesVertices, c.after);
    }
}

/// Answers the close question with `answer` and records the questions.
struct CloseQuestion {
    Answer answer = Answer::Cancel;
    std::vector<std::wstring> asked;
    std::function<Answer(const std::wstring&)> function() {
        return [this](const std::wstring& q) {
            asked.push_back(q);
            return answer;
        };
    }
};

TEST_F(ControlsTest, ClosingWithoutEditsNeitherAsksNorWrites) {
    const std::string before = testing::readFile(sceneFile_);
    CloseQuestion q;
    // Moving the camera, running and the renderer's flags are not edits of the scene file.
    settings_.wireFrame = true;
    key(Key::X);
    EXPECT_TRUE(controls_->closeRequested(q.function()));
    EXPECT_TRUE(q.asked.empty());
    EXPECT_EQ(testing::readFile(sceneFile_), before);
    EXPECT_EQ(wide(), "");
}

TEST_F(ControlsTest, ClosingWithEditsAsksYesNoOrCancel) {
    const std::string file = toUtf8(sceneFile_.wstring());
    const struct {
        const char* edit;
        Answer answer;
        bool closes, written;
        std::string question, console;
    } cases[] = {
        {"fixation", Answer::Cancel, false, false,
         "The scene has unsaved changes of fixations.\nWrite them to \"" + file + "\"?", ""},
        {"fixation", Answer::No, true, false,
         "The scene has unsaved changes of fixations.\nWrite them to \"" + file + "\"?",
         "WARNING: Unsaved changes of fixations were not written to \"" + file + "\"\n"},
        {"fixation", Answer::Yes, true, true,
         "The scene has unsaved changes of fixations.\nWrite them to \"" + file + "\"?", ""},
        {"force", Answer::Yes, true, true,
         "The scene has unsaved changes of forces.\nWrite them to \"" + file + "\"?", ""},
        {"view", Answer::Yes, true, true,
         "The scene has unsaved changes of view.\nWrite them to \"" + file + "\"?", ""},
        {"light", Answer::No, true, false,
         "The scene has unsaved changes of light.\nWrite them to \"" + file + "\"?",
         "WARNING: Unsaved changes of light were not written to \"" + file + "\"\n"},
        {"crisp", Answer::Yes, true, true,
         "The scene has unsaved changes of design controls.\nWrite them to \"" + file + "\"?",
         ""},
        {"all", Answer::Cancel, false, false,
         "The scene has unsaved changes of fixations, forces, view, light, design controls.\n"
         "Write them to \"" + file + "\"?",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.edit);
        SetUp();  // a fresh scene file and model
        const std::string before = testing::readFile(sceneFile_);
        const std::string edit = c.edit;
        if (edit == "fixation" || edit == "all")
            model().setFixed(40, true);
        if (edit == "force" || edit == "all")
            model().setForceComponent(50, 1, 2.5f);
        if (edit == "view" || edit == "all")
            key(Key::X, true);
        if (edit == "light" || edit == "all")
            key(Key::L, true);
        if (edit == "crisp" || edit == "all")
            controls_->onControlEvent(kCrispDesign, true);
        CloseQuestion q;
        q.answer = c.answer;
        EXPECT_EQ(controls_->closeRequested(q.function()), c.closes);
        ASSERT_EQ(q.asked.size(), 1u);
        EXPECT_EQ(toUtf8(q.asked[0]), c.question);
        EXPECT_EQ(wide(), c.console);
        EXPECT_EQ(testing::readFile(sceneFile_) != before, c.written);
        // Written or not, asking again asks the same until the scene is written.
        q.asked.clear();
        controls_->closeRequested(q.function());
        EXPECT_EQ(q.asked.size(), c.written ? 0u : 1u);
    }
}

TEST_F(ControlsTest, ClosingAfterAltSOrUndoingTheEditDoesNotAsk) {
    CloseQuestion q;
    model().setFixed(40, true);
    key(Key::S, true);
    EXPECT_TRUE(controls_->closeRequested(q.function()));
    model().setForceComponent(50, 1, 2.5f);
    model().setForceComponent(50, 1, 0.0f);  // back to the file's value
    EXPECT_TRUE(controls_->closeRequested(q.function()));
    EXPECT_TRUE(q.asked.empty());
}

TEST_F(ControlsTest, ClosingUnaskedSaysWhatWasNotWritten) {
    const std::string before = testing::readFile(sceneFile_);
    model().setFixed(40, true);
    model().setForceComponent(50, 1, 2.5f);
    EXPECT_TRUE(controls_->closeRequested(nullptr));
    EXPECT_EQ(wide(), "WARNING: Unsaved changes of fixations, forces were not written to \"" +
                          toUtf8(sceneFile_.wstring()) + "\"\n");
    EXPECT_EQ(testing::readFile(sceneFile_), before);
}

TEST_F(ControlsTest, AYesThatCannotWriteKeepsTheWindowOpen) {
    Controls elsewhere(scene_, *scene_.problem(), *run_, settings_, *editor_, &camera_, &dialog_,
                       (folder_ / "gone" / "scene.txt").wstring(), FrameworkActions{},
                       ControlsOptions{&wide_, &narrow_});
    model().setFixed(40, true);
    CloseQuestion q;
    q.answer = Answer::Yes;
    EXPECT_FALSE(elsewhere.closeRequested(q.function()));
    EXPECT_NE(wide().find("ERROR: "), std::string::npos) << wide();
    EXPECT_EQ(q.asked.size(), 1u);
}

}  // namespace
}  // namespace ostrel
