// The load-case keys of a scene: FORCES_CASE_2, ... and LOAD_CASE_WEIGHTS read into the listed
// cases and the design controls' weights, bad values refused with an error that names the key,
// the further cases given to the solver and written back by the save, and the lint knowing the
// keys.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/Console.h"
#include "gpu/MultigridSolver.h"
#include "scene/KeyValueFile.h"
#include "scene/LoadCases.h"
#include "scene/SceneLint.h"
#include "support/SceneKeys.h"
#include "support/SceneProblem.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

class SceneLoadCases : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir_ / "box.obj") << testing::kBoxObj;
    }
    fs::path write(const std::string& extra) {
        const fs::path file = dir_ / "scene.txt";
        std::ofstream(file) << testing::kRequiredSceneKeys << "FIXED_VERTICES: 0 0 0  0 4 0\n"
                            << extra;
        return file;
    }
    bool load(const std::string& extra) {
        log_.str(L"");
        return scene_.loadScene(fromUtf8(write(extra).string()), &log_);
    }
    std::string log() const { return toUtf8(log_.str()); }

    testing::ScratchFolder folder_{"scene-load-cases"};
    const fs::path& dir_ = folder_.path();
    std::wostringstream log_;
    testing::SceneProblem scene_{DeviceOptions{true, 1}};
};

TEST(LoadCaseKeys, NumbersOfTheCaseKeys) {
    EXPECT_EQ(loadCaseKey(1), L"FORCES");
    EXPECT_EQ(loadCaseKey(12), L"FORCES_CASE_12");
    const struct {
        const wchar_t* key;
        int number;
    } table[] = {{L"FORCES_CASE_2", 2},  {L"FORCES_CASE_999", 999}, {L"FORCES_CASE_1", 0},
                 {L"FORCES_CASE_0", 0},  {L"FORCES_CASE_02", 0},    {L"FORCES_CASE_", 0},
                 {L"FORCES_CASE_2X", 0}, {L"FORCES_CASE_1000", 0},  {L"FORCES", 0},
                 {L"FORCES_CASE_-2", 0}};
    for (const auto& row : table) EXPECT_EQ(loadCaseNumber(row.key), row.number) << toUtf8(row.key);
}

TEST_F(SceneLoadCases, CasesAndWeightsAreReadWithWeightOneByDefault) {
    ASSERT_TRUE(load("FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0  8 0 4 0 2 0\n"
                     "FORCES_CASE_3: 8 4 0 1 0 0\nLOAD_CASE_WEIGHTS: 0.5 2\n"))
        << log();
    const SupportsAndLoads& listed = scene_.listedSupportsAndLoads();
    ASSERT_EQ(listed.moreCases.size(), 2u);
    EXPECT_EQ(listed.moreCases[0],
              (std::vector<PointForce>{{{8, 4, 4}, 0, 1, 0}, {{8, 0, 4}, 0, 2, 0}}));
    EXPECT_EQ(listed.moreCases[1], (std::vector<PointForce>{{{8, 4, 0}, 1, 0, 0}}));
    EXPECT_EQ(scene_.designControls_.loadCaseWeights, (std::vector<double>{0.5, 2, 1}));
    // The solver holds each further case's forces at its vertices.
    const FemModel& model = *scene_.model();
    const auto& more = scene_.solver()->moreLoads();
    ASSERT_EQ(more.size(), 2u);
    const int v = model.vertexAt(0, GridPos{8, 0, 4});
    ASSERT_GE(v, 0);
    EXPECT_EQ(more[0][3 * size_t(v) + 1], 2.0f);
    EXPECT_EQ(more[1][3 * size_t(v) + 1], 0.0f);
    EXPECT_NE(scene_.sceneSummary().find(L"# Load Cases: 3, weights 0.5 2 1\n"),
              std::wstring::npos);
}

TEST_F(SceneLoadCases, OneCaseHasNoWeightsAndNoSummaryLine) {
    ASSERT_TRUE(load("FORCES: 8 0 4 0 0 -1\nLOAD_CASE_WEIGHTS: 3\n")) << log();
    EXPECT_TRUE(scene_.designControls_.loadCaseWeights.empty());
    EXPECT_TRUE(scene_.listedSupportsAndLoads().moreCases.empty());
    EXPECT_EQ(scene_.solver()->loadCaseCount(), 1);
    EXPECT_EQ(scene_.sceneSummary().find(L"Load Cases"), std::wstring::npos);
}

TEST_F(SceneLoadCases, BadKeysAreRefusedWithMessagesThatNameThem) {
    const struct {
        const char* keys;
        const char* message;
    } table[] = {
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\nLOAD_CASE_WEIGHTS: 1 -0.5\n",
         "ERROR: LOAD_CASE_WEIGHTS gives load case 2 the weight -0.5: a weight must not be "
         "negative\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\nLOAD_CASE_WEIGHTS: 1 half\n",
         "ERROR: LOAD_CASE_WEIGHTS holds 'half', which is not a number\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\nLOAD_CASE_WEIGHTS: 1 1 1\n",
         "ERROR: LOAD_CASE_WEIGHTS lists 3 weights for 2 load cases\n"},
        {"FORCES: 8 0 4 0 0 -1\nLOAD_CASE_WEIGHTS: 1 1\n",
         "ERROR: LOAD_CASE_WEIGHTS lists 2 weights for 1 load case\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\nLOAD_CASE_WEIGHTS: 0 0\n",
         "ERROR: LOAD_CASE_WEIGHTS gives every load case the weight 0\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\nLOAD_CASE_WEIGHTS:\n",
         "ERROR: LOAD_CASE_WEIGHTS lists no weight\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2:\n",
         "ERROR: FORCES_CASE_2 lists no force: load case 2 is empty\n"},
        {"FORCES_CASE_2: 8 4 4 0 1 0\n", "ERROR: FORCES lists no force: load case 1 is empty\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_3: 8 4 4 0 1 0\n",
         "ERROR: FORCES_CASE_3 follows no FORCES_CASE_2 (load cases are numbered 2, 3, ... "
         "without a gap)\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\nFORCES_CASE_4: 8 4 4 0 1 0\n",
         "ERROR: FORCES_CASE_4 follows no FORCES_CASE_3 (load cases are numbered 2, 3, ... "
         "without a gap)\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 one 0\n",
         "ERROR: FORCES_CASE_2 holds 'one', which is not a number\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1\n",
         "ERROR: FORCES_CASE_2 needs six numbers X Y Z FX FY FZ per force, not 5 numbers\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4.5 4 0 1 0\n",
         "ERROR: FORCES_CASE_2 needs whole grid coordinates X Y Z, force 1 has others\n"},
        // A coordinate beyond the grid's integers, a force beyond a float's range.
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0  8 1e10 4 0 1 0\n",
         "ERROR: FORCES_CASE_2 needs whole grid coordinates X Y Z, force 2 has others\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1e39 0\n",
         "ERROR: FORCES_CASE_2 holds the force component '1e39', beyond the range of a force\n"},
        {"FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1mm 0\n",
         "ERROR: FORCES_CASE_2 holds '1mm', which is not a number\n"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.keys);
        EXPECT_FALSE(load(row.keys));
        EXPECT_EQ(log(), row.message);
    }
}

TEST_F(SceneLoadCases, SavingWritesEveryCaseAndReadsBackTheSame) {
    ASSERT_TRUE(load("FORCES: 8 0 4 0 0 -1.5\nFORCES_CASE_2: 8 4 4 0 1 0  8 0 4 0 2.25 0\n"
                     "FORCES_CASE_3: 8 4 0 1e-3 0 0\nLOAD_CASE_WEIGHTS: 1 0.5\n"))
        << log();
    const SupportsAndLoads before = scene_.current();
    EXPECT_TRUE(scene_.unsavedEdits().empty());
    const std::wstring copy = fromUtf8((dir_ / "copy.txt").string());
    ASSERT_TRUE(scene_.saveScene(copy, &log_)) << log();
    KeyValueFile written;
    ASSERT_TRUE(written.read(copy, &log_));
    std::wstring value;
    ASSERT_TRUE(written.getString(L"FORCES_CASE_2", value, nullptr));
    EXPECT_EQ(value, L"8 0 4 0 2.25 0  8 4 4 0 1 0");  // vertex order
    ASSERT_TRUE(written.getString(L"FORCES_CASE_3", value, nullptr));
    EXPECT_EQ(value, L"8 4 0 0.001 0 0");
    ASSERT_TRUE(written.getString(L"LOAD_CASE_WEIGHTS", value, nullptr));
    EXPECT_EQ(value, L"1 0.5");

    testing::SceneProblem again{DeviceOptions{true, 1}};
    ASSERT_TRUE(again.loadScene(copy, &log_)) << log();
    EXPECT_EQ(again.current().moreCases, before.moreCases);
    EXPECT_EQ(again.current().forces, before.forces);
    EXPECT_EQ(again.designControls_.loadCaseWeights, (std::vector<double>{1, 0.5, 1}));
}

TEST_F(SceneLoadCases, AChangedCaseIsAnUnsavedEdit) {
    ASSERT_TRUE(load("FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\n")) << log();
    SupportsAndLoads changed = scene_.current();
    changed.moreCases[0][0].fy = 3;
    EXPECT_EQ(scene_.Scene::unsavedEdits(changed), std::vector<std::wstring>{L"forces"});
    EXPECT_TRUE(scene_.unsavedEdits().empty());
}

TEST_F(SceneLoadCases, TheLintKnowsTheCaseKeysAndFlagsOthers) {
    const fs::path file = write("FORCES: 8 0 4 0 0 -1\nFORCES_CASE_2: 8 4 4 0 1 0\n"
                                "LOAD_CASE_WEIGHTS: 1 1\nFORCES_CASE_1: 8 4 4 0 1 0\n"
                                "LOAD_CASE_WEIGHT: 1 1\n");
    const std::wstring name = fromUtf8(file.string());
    const std::vector<std::wstring> warnings = lintSceneFile(name);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], L"WARNING: Unknown key \"FORCES_CASE_1\" in line 13 of file \"" +
                               name + L"\"");
    EXPECT_EQ(warnings[1], L"WARNING: Unknown key \"LOAD_CASE_WEIGHT\" in line 14 of file \"" +
                               name + L"\"; did you mean \"LOAD_CASE_WEIGHTS\"?");
}

}  // namespace
}  // namespace ostrel
