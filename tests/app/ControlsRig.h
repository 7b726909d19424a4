#pragma once
// The rig of the control tests: the small cantilever scene (8 x 2 x 2 voxels) on the host
// device, its run control, the renderer's flags, the editor, a fake camera and a fake save
// dialog, and the controls on them; console lines go to string streams.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "app/Controls.h"
#include "app/RunControl.h"
#include "app/SaveDialog.h"
#include "core/Console.h"
#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"
#include "render/Editor.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/InputEventBuilders.h"
#include "support/RunTestSupport.h"

namespace ostrel::testing {

struct FakeCamera : CameraKeys {
    void toggleOrbitMode() override { ++toggles; }
    void setAngles(float h, float p, float r, float t) override { angles = {h, p, r}, turn = t; }
    void moveTo(const Vec3f& e, const Vec3f& hpr) override {
        eye = e, angles = hpr, turn = 0, ++moves;
    }
    Vec3f eyePosition() const override { return eye; }
    Vec3f headingPitchRoll() const override { return angles; }
    Vec3f forward() const override { return {0, 1, 0}; }
    Vec3f up() const override { return {0, 0, 1}; }
    int toggles = 0, moves = 0;
    Vec3f eye{1, -6, 2};
    Vec3f angles{10, 20, 30};
    float turn = 5;
};

struct FakeDialog : SaveFileDialog {
    bool open() override {
        ++opens;
        if (openNow)
            return false;
        openNow = true;
        return true;
    }
    bool isOpen() const override { return openNow; }
    std::optional<std::filesystem::path> poll() override {
        if (!openNow || !answer)
            return std::nullopt;
        openNow = false;
        return std::exchange(answer, std::nullopt);
    }
    int opens = 0;
    bool openNow = false;
    std::optional<std::filesystem::path> answer;
};

class NoIds : public ObjectIdSource {
    std::uint32_t getObjectId(int, int) override { return 0; }
    void collectObjectIds(int, int, int, int, std::set<std::uint32_t>&) override {}
};

class ControlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        omp_set_num_threads(1);
        sceneFile_ = testing::writeCantileverScene(folder_.path(), 8);
        ASSERT_TRUE(scene_.loadScene(sceneFile_.wstring(), &wide_)) << toUtf8(wide_.str());
        scene_.model()->setGravity({0, 0, 0});
        scene_.solver()->setLogs(&wide_, &solverLog_);
        RunControlOptions options;
        options.outputDirectory = folder_.path();
        options.wideLog = &wide_;
        options.narrowLog = &narrow_;
        run_ = std::make_unique<RunControl>(*scene_.model(), *scene_.solver(), lifetime_, options);
        run_->setShapeListener(
            [this](const TriangleMesh& mesh) { shapes_.push_back(mesh.triangles.size()); });
        editor_ = std::make_unique<Editor>(&ids_, &settings_, &scene_, scene_.model(), &wide_);
        controls_ = std::make_unique<Controls>(scene_, *scene_.problem(), *run_, settings_, *editor_, &camera_,
                                               &dialog_, sceneFile_.wstring(), FrameworkActions{},
                                               ControlsOptions{&wide_, &narrow_});
        wide_.str(L"");
    }
    FemModel& model() { return *scene_.model(); }
    void key(Key k, bool alt = false) { controls_->onKey(keyPress(k, alt)); }
    std::string wide() const { return toUtf8(wide_.str()); }
    int fixedCount() {
        return int(std::count(model().fixedFlags().begin(), model().fixedFlags().end(), 1));
    }
    bool anyForce() {
        return std::any_of(model().forces().begin(), model().forces().end(),
                           [](float f) { return f != 0; });
    }

    ScratchFolder folder_{"controls"};
    std::filesystem::path sceneFile_;
    std::wostringstream wide_;
    std::ostringstream narrow_, solverLog_;
    ostrel::testing::SceneProblem scene_{DeviceOptions{true, 1}};
    ProgramLifetime lifetime_;
    std::unique_ptr<RunControl> run_;
    RenderSettings settings_;
    NoIds ids_;
    std::unique_ptr<Editor> editor_;
    FakeCamera camera_;
    FakeDialog dialog_;
    std::vector<size_t> shapes_;
    std::unique_ptr<Controls> controls_;
};

}  // namespace ostrel::testing
