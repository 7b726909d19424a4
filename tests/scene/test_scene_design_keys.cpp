// The design-control keys of a scene: values read into DesignControls, bad values refused with
// an error that names the key, summary lines only for keys the file sets, and the writer keeping
// the keys as read (and adding none).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/Console.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/SceneKeys.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

const char* const kBase = testing::kRequiredSceneKeys;

class SceneDesignKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir_ / "box.obj") << testing::kBoxObj;
    }
    bool load(const std::string& extra) {
        std::ofstream(dir_ / "scene.txt") << kBase << extra;
        log_.str(L"");
        return scene_.loadScene(fromUtf8((dir_ / "scene.txt").string()), &log_);
    }
    std::string log() const { return toUtf8(log_.str()); }

    testing::ScratchFolder folder_{"scene-design"};
    const fs::path& dir_ = folder_.path();
    std::wostringstream log_;
    ostrel::testing::SceneProblem scene_{DeviceOptions{true, 1}};
};

TEST_F(SceneDesignKeys, AbsentKeysGiveTheDefaultsAndNoSummaryLines) {
    ASSERT_TRUE(load("")) << log();
    const DesignControls& c = scene_.designControls_;
    EXPECT_EQ(c.volumeFraction, 0.36);
    EXPECT_EQ(c.filterRadius, DesignControls::kDefaultFilterRadius);
    EXPECT_EQ(c.filterRadius, 2.0 * std::sqrt(3.0));
    EXPECT_FALSE(c.filterRadiusGiven);
    EXPECT_EQ(c.projection, 0);
    EXPECT_TRUE(c.keepSolid.empty());
    EXPECT_TRUE(c.keepEmpty.empty());
    const std::wstring summary = scene_.sceneSummary();
    EXPECT_EQ(std::count(summary.begin(), summary.end(), L'\n'), 6);
    EXPECT_EQ(log(), "");
}

TEST_F(SceneDesignKeys, ValuesAreReadAndSummarised) {
    ASSERT_TRUE(
        load("OPTIMIZATION_VOLUME_FRACTION: 0.25\n"
             "optimization_filter_radius: 1.5\n"
             "OPTIMIZATION_PROJECTION: 1\n"
             "KEEP_SOLID_BOXES: 0 0 0.75 2 1 1   1.5 0 0 2 1 0.25\n"
             "KEEP_EMPTY_BOXES: 0.5 0.25 0.25 1 0.75 0.5\n"))
        << log();
    const DesignControls& c = scene_.designControls_;
    EXPECT_EQ(c.volumeFraction, 0.25);
    EXPECT_EQ(c.filterRadius, 1.5);
    EXPECT_TRUE(c.filterRadiusGiven);  // the filter then pads the grid's faces with void
    EXPECT_EQ(c.projection, 1);
    ASSERT_EQ(c.keepSolid.size(), 2u);
    EXPECT_EQ(c.keepSolid[1].lo, (Vec3d{1.5, 0, 0}));
    EXPECT_EQ(c.keepSolid[1].hi, (Vec3d{2, 1, 0.25}));
    ASSERT_EQ(c.keepEmpty.size(), 1u);
    EXPECT_EQ(c.keepEmpty[0].hi, (Vec3d{1, 0.75, 0.5}));
    const std::wstring summary = scene_.sceneSummary();
    const std::wstring tail = summary.substr(summary.find(L"# Volume Fraction"));
    EXPECT_EQ(tail,
              L"# Volume Fraction: 0.25\n"
              L"# Filter Radius: 1.5 voxels\n"
              L"# Projection: 1\n"
              L"# Keep-Solid Boxes: 2,  0 0 0.75 to 2 1 1,  1.5 0 0 to 2 1 0.25\n"
              L"# Keep-Empty Boxes: 1,  0.5 0.25 0.25 to 1 0.75 0.5\n");

    // Only the keys that are set appear.
    ASSERT_TRUE(load("OPTIMIZATION_PROJECTION: 0\n")) << log();
    const std::wstring only = scene_.sceneSummary();
    EXPECT_EQ(only.substr(only.find(L"s\n# ") + 2), L"# Projection: 0\n");
}

TEST_F(SceneDesignKeys, BadValuesFailTheLoadNamingTheKey) {
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"OPTIMIZATION_VOLUME_FRACTION: 0",
         "ERROR: OPTIMIZATION_VOLUME_FRACTION must be a number "
         "between 0 and 1 (both excluded), not '0'"},
        {"OPTIMIZATION_VOLUME_FRACTION: 1", "not '1'"},
        {"OPTIMIZATION_VOLUME_FRACTION: -0.2", "not '-0.2'"},
        {"OPTIMIZATION_VOLUME_FRACTION: 0.4 0.5", "not '0.4 0.5'"},
        {"OPTIMIZATION_VOLUME_FRACTION: half", "not 'half'"},
        {"OPTIMIZATION_VOLUME_FRACTION: nan", "not 'nan'"},
        {"OPTIMIZATION_VOLUME_FRACTION:", "not ''"},
        {"OPTIMIZATION_FILTER_RADIUS: 0.5",
         "ERROR: OPTIMIZATION_FILTER_RADIUS must be a number "
         "from 1 to 10 (voxel lengths), not '0.5'"},
        {"OPTIMIZATION_FILTER_RADIUS: 10.5", "not '10.5'"},
        {"OPTIMIZATION_FILTER_RADIUS: 2x", "not '2x'"},
        {"OPTIMIZATION_FILTER_RADIUS: inf", "not 'inf'"},
        {"OPTIMIZATION_MIN_MEMBER: 1.5",
         "ERROR: OPTIMIZATION_MIN_MEMBER must be a number from 2 to 8 (voxel lengths), "
         "not '1.5'"},
        {"OPTIMIZATION_MIN_MEMBER: 8.5", "not '8.5'"},
        {"OPTIMIZATION_MIN_MEMBER: 3 voxels", "not '3 voxels'"},
        {"OPTIMIZATION_MIN_MEMBER: nan", "not 'nan'"},
        {"OPTIMIZATION_MIN_MEMBER: 3\nOPTIMIZATION_FILTER_RADIUS: 2",
         "ERROR: OPTIMIZATION_MIN_MEMBER sets the filter radius: leave out "
         "OPTIMIZATION_FILTER_RADIUS"},
        {"OPTIMIZATION_PROJECTION: 2", "ERROR: OPTIMIZATION_PROJECTION must be 0 or 1, not '2'"},
        {"OPTIMIZATION_PROJECTION: yes", "not 'yes'"},
        {"OPTIMIZATION_PROJECTION: 1.0", "not '1.0'"},
        {"KEEP_SOLID_BOXES: 0 0 0 1 1",
         "ERROR: KEEP_SOLID_BOXES needs six numbers X0 Y0 Z0 X1 Y1 "
         "Z1 per box, not 5 numbers"},
        {"KEEP_SOLID_BOXES: 0 0 0 1 1 x", "ERROR: KEEP_SOLID_BOXES 'x' is not a number"},
        {"KEEP_EMPTY_BOXES: 0 0 0 1 1 1  2 0 0 1 1 1",
         "ERROR: KEEP_EMPTY_BOXES box 2 needs X0 <= X1, Y0 <= Y1 and Z0 <= Z1"},
        {"KEEP_EMPTY_BOXES: 0 0 0 1 1 1 0", "ERROR: KEEP_EMPTY_BOXES needs six numbers"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(load(std::string(c.line) + "\n")) << c.line;
        EXPECT_NE(log().find(c.error), std::string::npos) << c.line << "\n" << log();
        EXPECT_EQ(log().rfind("ERROR: ", 0), 0u) << log();
        EXPECT_FALSE(scene_.isLoaded());
    }
    // Boxes may be flat, and an empty list holds no box.
    EXPECT_TRUE(load("KEEP_SOLID_BOXES: 0 0 0 2 1 0\nKEEP_EMPTY_BOXES:\n")) << log();
    EXPECT_EQ(scene_.designControls_.keepSolid.size(), 1u);
    EXPECT_TRUE(scene_.designControls_.keepEmpty.empty());
}

TEST_F(SceneDesignKeys, AMinimumMemberSizeSetsTheFilterRadiusAndIsSummarised) {
    const struct {
        const char* value;
        double member;
    } cases[] = {{"2", 2.0}, {"3", 3.0}, {"4.5", 4.5}, {"8", 8.0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(load(std::string("OPTIMIZATION_MIN_MEMBER: ") + c.value + "\n")) << log();
        const DesignControls& d = scene_.designControls_;
        EXPECT_EQ(d.minMember, c.member);
        // The plate that survives the erosion at 0.75 is 0.885 R thick.
        EXPECT_NEAR(d.filterRadius, c.member / 0.885, 1e-12);
        EXPECT_LE(d.filterRadius, DesignControls::kMaxFilterRadius);
        EXPECT_TRUE(d.filterRadiusGiven);
        EXPECT_EQ(d.projection, 0);  // the key implies projection mode 1 in the optimizer
        const std::wstring summary = scene_.sceneSummary();
        EXPECT_NE(summary.find(L"# Minimum Member: " + fromUtf8(c.value) + L" voxels\n"),
                  std::wstring::npos);
    }
    ASSERT_TRUE(load("")) << log();
    EXPECT_EQ(scene_.designControls_.minMember, 0.0);
    EXPECT_EQ(scene_.sceneSummary().find(L"Minimum Member"), std::wstring::npos);
}

TEST_F(SceneDesignKeys, TheWriterKeepsTheKeysAsReadAndAddsNone) {
    ASSERT_TRUE(
        load("KEEP_EMPTY_BOXES: 0.5 0.25 0.25   1 0.75 0.5\n"
             "OPTIMIZATION_VOLUME_FRACTION: 0.3\n"))
        << log();
    const fs::path saved = dir_ / "saved.txt";
    ASSERT_TRUE(scene_.saveScene(fromUtf8(saved.string()), &log_));
    const std::string text = testing::readFile(saved);
    EXPECT_NE(text.find("KEEP_EMPTY_BOXES: 0.5 0.25 0.25   1 0.75 0.5\n"), std::string::npos);
    EXPECT_NE(text.find("OPTIMIZATION_VOLUME_FRACTION: 0.3\n"), std::string::npos);
    EXPECT_EQ(text.find("KEEP_SOLID"), std::string::npos);
    EXPECT_EQ(text.find("PROJECTION"), std::string::npos);
    EXPECT_EQ(text.find("FILTER_RADIUS"), std::string::npos);

    ASSERT_TRUE(load("")) << log();
    ASSERT_TRUE(scene_.saveScene(fromUtf8(saved.string()), &log_));
    const std::string plain = testing::readFile(saved);
    EXPECT_EQ(plain.find("OPTIMIZATION_"), std::string::npos);
    EXPECT_EQ(plain.find("KEEP_"), std::string::npos);
}

}  // namespace
}  // namespace ostrel
