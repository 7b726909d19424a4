// Every scene under examples/ loads on the host device with the element count, fixations and
// total load it was written for, and with the stored three-quarter view of its model. A new
// example must be added to the table.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "scene/ViewFraming.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

struct Expected {
    int elements;
    int fixed;
    double totalFz;  ///< sum of the z forces of all vertices
};

const std::map<std::string, Expected> kExamples = {
    {"cantilever", {32000, 441, -1000}},
    {"bridge", {72000, 42, -2000}},
    {"bracket", {65536, 561, -500}},
    {"ring", {67274, 683, -1000}},
    {"two-cases", {32000, 441, -1000}},
};

TEST(Examples, EveryExampleLoadsWithItsElementCount) {
    const fs::path root = OSTREL_EXAMPLES_DIR;
    ASSERT_TRUE(fs::is_directory(root)) << root;
    std::map<std::string, bool> seen;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        if (!entry.is_directory()) continue;
        const std::string name = entry.path().filename().string();
        const fs::path sceneFile = entry.path() / "scene.txt";
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(sceneFile)) << "every example folder holds a scene.txt";
        const auto expected = kExamples.find(name);
        ASSERT_NE(expected, kExamples.end()) << "example missing from the table";
        seen[name] = true;

        ostrel::testing::SceneProblem scene{DeviceOptions{true, 0}};
        std::wostringstream log;
        ::testing::internal::CaptureStdout();
        const bool loaded = scene.loadScene(fromUtf8(sceneFile.string()), &log);
        const std::string console = ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded) << toUtf8(log.str());
        EXPECT_EQ(log.str(), L"") << "no warnings: every listed grid point is a vertex";
        const FemModel& m = *scene.model();
        EXPECT_EQ(m.numElements(0), expected->second.elements);
        EXPECT_GE(m.numElements(0), 20000);
        EXPECT_LE(m.numElements(0), 300000);
        int fixed = 0;
        for (uint8_t f : m.fixedFlags()) fixed += f;
        EXPECT_EQ(fixed, expected->second.fixed);
        double fx = 0, fy = 0, fz = 0;
        for (size_t v = 0; v < m.fixedFlags().size(); ++v) {
            fx += m.forces()[3 * v];
            fy += m.forces()[3 * v + 1];
            fz += m.forces()[3 * v + 2];
        }
        EXPECT_NEAR(fx, 0, 1e-9);
        EXPECT_NEAR(fy, 0, 1e-9);
        EXPECT_NEAR(fz, expected->second.totalFz, 1e-3);
        // The stored three-quarter view of the whole model (ostrel-make-scene writes it).
        const StoredView view = threeQuarterView(scene.center(), scene.mesh().halfSize);
        EXPECT_EQ(scene.view().defaultHeadingPitchRoll, view.headingPitchRoll);
        for (int a = 0; a < 3; ++a)
            EXPECT_NEAR(scene.view().defaultViewPos[a], view.position[a], 1e-5f) << a;
        EXPECT_NE(scene.sceneSummary().find(L"# #Elements: " +
                                            std::to_wstring(expected->second.elements) + L","),
                  std::wstring::npos);
    }
    EXPECT_EQ(seen.size(), kExamples.size()) << "an example of the table has no folder";
}

}  // namespace
}  // namespace ostrel
