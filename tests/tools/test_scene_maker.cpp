// ostrel-make-scene's engine: selection parsing, vertex selection on a loaded model, force
// spreading, argument errors, atomic writing and scene files that load back as written.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "tools/SceneMaker.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/MeshBuilders.h"
#include "scene/ViewFraming.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

/// Box [0,lx]x[0,ly]x[0,lz] as 12 outward triangles.
void writeBox(const fs::path& file, Vec3d size) {
    std::ofstream out(file);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x)
                out << "v " << x * size.x << ' ' << y * size.y << ' ' << z * size.z << '\n';
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& q : quads) {
        out << "f " << q[0] + 1 << ' ' << q[1] + 1 << ' ' << q[2] + 1 << '\n';
        out << "f " << q[0] + 1 << ' ' << q[2] + 1 << ' ' << q[3] + 1 << '\n';
    }
}

Selection parsed(const std::string& text) {
    Selection s;
    std::string error;
    EXPECT_TRUE(parseSelection(text, s, error)) << text << ": " << error;
    return s;
}

TEST(SelectionParsing, TermsAndErrors) {
    Selection s = parsed("X = MAX and z=0 AND box 0 0.5 -1 1 2 1e-3");
    ASSERT_EQ(s.terms.size(), 3u);
    EXPECT_EQ(s.terms[0].kind, SelectionTerm::Kind::Plane);
    EXPECT_EQ(s.terms[0].axis, 0);
    EXPECT_TRUE(s.terms[0].last);
    EXPECT_EQ(s.terms[1].axis, 2);
    EXPECT_FALSE(s.terms[1].last);
    EXPECT_EQ(s.terms[1].index, 0);
    EXPECT_EQ(s.terms[2].kind, SelectionTerm::Kind::Box);
    EXPECT_EQ(s.terms[2].lo, Vec3d(0, 0.5, -1));
    EXPECT_EQ(s.terms[2].hi, Vec3d(1, 2, 1e-3));
    EXPECT_EQ(parsed("y=min").terms[0].index, 0);
    EXPECT_EQ(parsed("y=12").terms[0].index, 12);
    EXPECT_EQ(parsed("y=12").text, "y=12");

    const std::pair<const char*, const char*> bad[] = {
        {"", "empty selection"},
        {"   ", "empty selection"},
        {"x=0 and", "a term is missing after \"and\""},
        {"x=0 z=0", "expected \"and\" before \"z\""},
        {"w=0", "unknown term \"w\" (expected x=, y=, z= or box)"},
        {"x 0", "\"x\" must be followed by =0, =min, =max or =INDEX"},
        {"x=", "\"x\" must be followed by =0, =min, =max or =INDEX"},
        {"x=-1", "\"-1\" is not min, max or a grid index >= 0"},
        {"x=1.5", "\"1.5\" is not min, max or a grid index >= 0"},
        {"x=99999999999", "\"99999999999\" is not min, max or a grid index >= 0"},
        {"box 0 0 0 1 1", "\"box\" needs six numbers X0 Y0 Z0 X1 Y1 Z1"},
        {"box 0 0 0 1 1 a", "\"box\" needs six numbers X0 Y0 Z0 X1 Y1 Z1"},
        {"box 0 0 0 1 1 nan", "\"box\" needs six numbers X0 Y0 Z0 X1 Y1 Z1"},
        {"box 1 0 0 0 1 1", "\"box\" needs X0 <= X1, Y0 <= Y1 and Z0 <= Z1"},
    };
    for (const auto& [text, message] : bad) {
        Selection sel;
        std::string error;
        EXPECT_FALSE(parseSelection(text, sel, error)) << text;
        EXPECT_EQ(error, message) << text;
    }
}

class SceneMakerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "meshes");
        writeBox(dir_ / "meshes" / "box.obj", {2, 1, 1});
    }

    /// Runs the tool's argument parser and makeScene; console output is swallowed.
    int run(std::vector<std::string> args) {
        MakeSceneOptions options;
        std::string error;
        if (parseMakeSceneArguments(args, options, error) != ParseOutcome::Run) {
            ADD_FAILURE() << error;
            return -1;
        }
        log_.str(L"");
        ::testing::internal::CaptureStdout();
        const int status = makeScene(options, log_);
        ::testing::internal::GetCapturedStdout();
        return status;
    }
    std::string mesh() const { return (dir_ / "meshes" / "box.obj").string(); }
    std::string output() const { return (dir_ / "scene.txt").string(); }

    /// Loads the written scene on the host device.
    void loadOutput(ostrel::testing::SceneProblem& scene) {
        std::wostringstream log;
        ::testing::internal::CaptureStdout();
        const bool ok = scene.loadScene(fromUtf8(output()), &log);
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ok) << toUtf8(log.str());
        EXPECT_EQ(log.str(), L"");
    }

    testing::ScratchFolder folder_{"maker"};
    const fs::path& dir_ = folder_.path();
    std::wostringstream log_;
};

TEST_F(SceneMakerTest, PlaneAndBoxSelections) {
    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--levels", "3", "--allow-unfixed",
                   "--allow-unloaded", "-o", output()}),
              0)
        << toUtf8(log_.str());
    ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
    loadOutput(scene);
    const FemModel& m = *scene.model();  // vertex grid 9 x 5 x 5, spacing 0.25
    struct Case {
        const char* text;
        size_t count;
    };
    const Case cases[] = {
        {"x=0", 25},
        {"x=min", 25},
        {"x=max", 25},
        {"x=8", 25},
        {"x=9", 0},
        {"y=max and z=max", 9},
        {"x=max and z=0", 5},
        {"x=0 and y=0 and z=0", 1},
        {"box 0 0 0 0.5 1 1", 75},            // bounds included: x = 0, 0.25, 0.5
        {"box 0.25 0.25 0.25 0.25 0.25 0.25", 1},  // a single point, despite rounding
        {"box 0.3 0 0 0.4 1 1", 0},
        {"box -5 -5 -5 5 5 5", 225},
        {"z=max and box 0.9 0 0 1.1 1 1", 5},
    };
    for (const Case& c : cases) {
        const std::vector<int> picked = selectVertices(m, parsed(c.text));
        EXPECT_EQ(picked.size(), c.count) << c.text;
        EXPECT_TRUE(std::is_sorted(picked.begin(), picked.end())) << c.text;
    }
    for (int v : selectVertices(m, parsed("x=max and z=0"))) {
        const GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
        EXPECT_EQ(p.x, 8);
        EXPECT_EQ(p.z, 0);
    }
}

TEST_F(SceneMakerTest, WrittenSceneLoadsWithItsFixationsAndForces) {
    // 1000 N over the 5 vertices of an edge, 7 N over the 25 vertices of a face through that
    // edge (forces of two loads add up) and 1 N over 3 vertices (not an even split).
    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--levels", "3", "--note", "A box.",
                   "--fix", "x=0", "--fix", "x=0 and y=0", "--load", "x=max and z=0", "0",
                   "0", "-1000", "--load", "x=max", "7", "0", "0", "--load",
                   "box 1 0 1 1 0.5 1", "0", "-1", "0", "-o", output()}),
              0)
        << toUtf8(log_.str());
    const std::string text = testing::readFile(output());
    EXPECT_EQ(text.rfind("// A box.\n//\n// Ostrel scene file.", 0), 0u) << text.substr(0, 80);
    EXPECT_NE(text.find("\nMESH: meshes/box.obj\n"), std::string::npos);
    EXPECT_NE(text.find("\nVOXEL_SIZE: 0.25 0.25 0.25\n"), std::string::npos);
    EXPECT_NE(text.find("\n// fixed: x=0 (25 vertices)\n"), std::string::npos);
    EXPECT_EQ(text.find("\nMESH_SCALE_TO:"), std::string::npos);
    EXPECT_EQ(log_.str().find(L"WARNING"), std::wstring::npos) << toUtf8(log_.str());
    EXPECT_NE(log_.str().find(L"Wrote \"" + fromUtf8(output()) +
                              L"\": 128 elements, 225 vertices, 25 fixed, 28 loaded"),
              std::wstring::npos)
        << toUtf8(log_.str());

    ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
    loadOutput(scene);
    const FemModel& m = *scene.model();
    int fixed = 0;
    double sum[3] = {0, 0, 0};
    for (int v = 0; v < m.numVertices(0); ++v) {
        const GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
        EXPECT_EQ(m.fixedFlags()[size_t(v)], p.x == 0 ? 1 : 0);
        fixed += m.fixedFlags()[size_t(v)];
        for (int a = 0; a < 3; ++a) sum[a] += m.forces()[3 * size_t(v) + size_t(a)];
        const float* f = &m.forces()[3 * size_t(v)];
        const bool inBox = p.x == 4 && p.y <= 2 && p.z == 4;  // box 1 0 1 1 0.5 1
        EXPECT_FLOAT_EQ(f[0], p.x == 8 ? 7.0f / 25 : 0.0f);
        EXPECT_EQ(f[1], inBox ? float(-1.0 / 3) : 0.0f);
        EXPECT_FLOAT_EQ(f[2], p.x == 8 && p.z == 0 ? -200.0f : 0.0f);
    }
    EXPECT_EQ(fixed, 25);
    EXPECT_NEAR(sum[0], 7, 1e-5);
    EXPECT_NEAR(sum[1], -1, 1e-6);
    EXPECT_NEAR(sum[2], -1000, 1e-4);

    // Running again gives the same bytes.
    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--levels", "3", "--note", "A box.",
                   "--fix", "x=0", "--fix", "x=0 and y=0", "--load", "x=max and z=0", "0",
                   "0", "-1000", "--load", "x=max", "7", "0", "0", "--load",
                   "box 1 0 1 1 0.5 1", "0", "-1", "0", "-o", output()}),
              0);
    EXPECT_EQ(testing::readFile(output()), text);
    // No helper files are left beside the output.
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 2u);  // meshes/ and scene.txt
}

TEST_F(SceneMakerTest, LoadsOfFurtherCasesGoToTheirKeys) {
    // Case 1 pulls the free end down; case 2 pushes it sideways with two loads that add up.
    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--levels", "3", "--fix", "x=0",
                   "--load", "x=max and z=0", "0", "0", "-10", "--case", "2", "--load",
                   "x=max and y=0", "0", "5", "0", "--load", "x=max and y=0 and z=0", "0", "1",
                   "0", "-o", output()}),
              0)
        << toUtf8(log_.str());
    const std::string text = testing::readFile(output());
    EXPECT_NE(text.find("\n// load: 0 5 0 N in all, spread over x=max and y=0 (5 vertices, 0 1 "
                        "0 N each)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nFORCES_CASE_2: "), std::string::npos) << text;
    EXPECT_EQ(text.find("FORCES_CASE_3"), std::string::npos);
    EXPECT_NE(text.find("\n// load: 0 0 -10 N in all"), std::string::npos);

    ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
    loadOutput(scene);
    const FemModel& m = *scene.model();
    ASSERT_EQ(scene.solver()->moreLoads().size(), 1u);
    const std::vector<float>& side = scene.solver()->moreLoads()[0];
    double sum[3] = {0, 0, 0}, down = 0;
    for (int v = 0; v < m.numVertices(0); ++v) {
        const GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
        const float* f = &side[3 * size_t(v)];
        for (int a = 0; a < 3; ++a) sum[a] += f[a];
        EXPECT_EQ(f[1], p.x == 8 && p.y == 0 ? (p.z == 0 ? 2.0f : 1.0f) : 0.0f);
        down += m.forces()[3 * size_t(v) + 2];
    }
    EXPECT_EQ(sum[0], 0);
    EXPECT_EQ(sum[1], 6);
    EXPECT_EQ(sum[2], 0);
    EXPECT_NEAR(down, -10, 1e-5);
    EXPECT_EQ(scene.designControls_.loadCaseWeights, (std::vector<double>{1, 1}));
}

TEST_F(SceneMakerTest, EveryWrittenSceneStartsWithAThreeQuarterViewOfTheWholeModel) {
    // The 2 x 1 x 1 box as it is and scaled to a longest edge of 100 (a part in millimetres).
    const struct {
        std::vector<std::string> scale;
        const char* voxel;
        float lengthScale;
    } cases[] = {{{}, "0.25", 1}, {{"--scale-to", "100"}, "12.5", 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.voxel);
        std::vector<std::string> args = {"--mesh", mesh(), "--voxel", c.voxel, "--levels", "3",
                                         "--fix", "x=0", "--load", "x=max", "0", "0", "-1",
                                         "-o", output()};
        args.insert(args.end(), c.scale.begin(), c.scale.end());
        ASSERT_EQ(run(args), 0) << toUtf8(log_.str());
        const std::string text = testing::readFile(output());
        EXPECT_NE(text.find("\nRENDERER_DEFAULT_HEADING_PITCH_ROLL: 60 25 0\n"), std::string::npos);
        ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
        loadOutput(scene);
        EXPECT_FLOAT_EQ(scene.view().lengthScale, c.lengthScale);
        const StoredView view = threeQuarterView(scene.center(), scene.mesh().halfSize);
        EXPECT_EQ(scene.view().defaultHeadingPitchRoll, view.headingPitchRoll);
        for (int a = 0; a < 3; ++a)
            EXPECT_NEAR(scene.view().defaultViewPos[a], view.position[a], 1e-6f * c.lengthScale) << a;
    }
}

TEST_F(SceneMakerTest, DesignControlsAreWrittenOnlyWhenGiven) {
    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--levels", "3", "--fix", "x=0",
                   "--load", "x=max", "0", "0", "-1", "--keep-solid", "1.5 0 0.75 2 1 1", "--keep-empty", "0.5 0.25 0.25 1 0.75 0.5",
                   "--keep-empty", "0 0 0 0.25 1 0.25", "--volume-fraction", "0.25", "-o",
                   output()}),
              0)
        << toUtf8(log_.str());
    const std::string text = testing::readFile(output());
    EXPECT_NE(text.find("\nOPTIMIZATION_VOLUME_FRACTION: 0.25\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nKEEP_SOLID_BOXES: 1.5 0 0.75 2 1 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nKEEP_EMPTY_BOXES: 0.5 0.25 0.25 1 0.75 0.5  0 0 0 0.25 1 0.25\n"),
              std::string::npos);
    ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
    loadOutput(scene);
    EXPECT_EQ(scene.designControls_.volumeFraction, 0.25);
    ASSERT_EQ(scene.designControls_.keepEmpty.size(), 2u);
    EXPECT_EQ(scene.designControls_.keepEmpty[1].hi, (Vec3d{0.25, 1, 0.25}));

    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--levels", "3", "--fix", "x=0",
                   "--load", "x=max", "0", "0", "-1", "-o", output()}),
              0);
    const std::string plain = testing::readFile(output());
    EXPECT_EQ(plain.find("\nOPTIMIZATION_"), std::string::npos);
    EXPECT_EQ(plain.find("\nKEEP_"), std::string::npos);
}

// A load partly on fixed vertices is warned about; a scene without a force on a free vertex
// (no load, or every loaded vertex fixed) is refused unless allowed, the old file kept.
TEST_F(SceneMakerTest, LoadOnFixedVertices) {
    std::ofstream(output()) << "old\n";
    const std::wstring tail =
        L", so a run of this scene has nothing to optimize; give --load SELECTION FX FY FZ on "
        L"vertices that are not fixed (or --allow-unloaded to write the scene anyway, for forces "
        L"set in the window)\n";
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        int status;
        std::wstring message;  ///< a refusal: the log's last line; else a line of the log
    };
    const Case cases[] = {
        {"no load", {}, 1,
         L"ERROR: No force acts on a vertex that is not fixed: no --load is given" + tail},
        {"every loaded vertex fixed", {"--load", "x=0 and z=0", "0", "0", "-1"}, 1,
         L"ERROR: No force acts on a vertex that is not fixed: every loaded vertex (3) is fixed" +
             tail},
        {"allowed", {"--load", "x=0 and z=0", "0", "0", "-1", "--allow-unloaded"}, 0,
         L"WARNING: No force acts on a vertex that is not fixed (every loaded vertex (3) is "
         L"fixed); a run of this scene is refused until one does\n"},
        {"partly fixed", {"--load", "z=0", "0", "0", "-1"}, 0, L""},
    };
    for (const Case& c : cases) {
        log_.str(L"");
        std::vector<std::string> args = {"--mesh", mesh(),  "--voxel", "0.5",
                                         "--levels", "3", "--fix",   "x=0"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.insert(args.end(), {"-o", output()});
        EXPECT_EQ(run(args), c.status) << c.name << toUtf8(log_.str());
        const std::wstring log = log_.str();
        if (c.status == 1) {
            EXPECT_EQ(log.substr(log.size() - std::min(log.size(), c.message.size())),
                      c.message)
                << c.name << toUtf8(log);
        } else if (!c.message.empty()) {
            EXPECT_NE(log.find(c.message), std::wstring::npos) << c.name << toUtf8(log);
        }
        if (c.status == 1) {
            EXPECT_EQ(testing::readFile(output()), "old\n") << c.name;
        }
    }
    EXPECT_NE(log_.str().find(L"WARNING: 3 of the 15 vertices of load \"z=0\" are fixed; "
                              L"their share of the force has no effect\n"),
              std::wstring::npos)
        << toUtf8(log_.str());
}

TEST_F(SceneMakerTest, FailuresKeepTheOldScene) {
    std::ofstream(output()) << "old\n";
    struct Case {
        std::vector<std::string> extra;
        std::wstring message;
    };
    const Case cases[] = {
        {{"--fix", "x=9"},
         L"ERROR: Selection \"x=9\" holds no vertex; the vertices lie on the grid planes x=0 to "
         L"x=8, y=0 to y=4, z=0 to z=4, in the world box 0 0 0 2 1 1\n"},
        {{"--load", "box 5 5 5 6 6 6", "0", "0", "1"},
         L"ERROR: Selection \"box 5 5 5 6 6 6\" holds no vertex; the vertices lie on the grid "
         L"planes x=0 to x=8, y=0 to y=4, z=0 to z=4, in the world box 0 0 0 2 1 1\n"},
        {{"--fix", "x=0", "--load", "x=max", "0", "0", "-1", "--keep-solid", "3 0 0 4 1 1"},
         L"ERROR: --keep-solid box 1 \"3 0 0 4 1 1\" holds no element centre, so it would do "
         L"nothing; the element centres lie in the world box 0.125 0.125 0.125 1.875 0.875 "
         L"0.875\n"},
        {{"--fix", "x=0", "--load", "x=max", "0", "0", "-1", "--keep-empty", "0 0 0 2 1 0.1"},
         L"ERROR: --keep-empty box 1 \"0 0 0 2 1 0.1\" holds no element centre, so it would do "
         L"nothing; the element centres lie in the world box 0.125 0.125 0.125 1.875 0.875 "
         L"0.875\n"},
        {{"--load", "x=0", "1e-50", "0", "0"},
         L"ERROR: The force of load \"x=0\" over 25 vertices does not fit 32-bit floats per "
         L"vertex\n"},
        {{"--load", "x=0", "0", "-1e300", "0"},
         L"ERROR: The force of load \"x=0\" over 25 vertices does not fit 32-bit floats per "
         L"vertex\n"},
        {{"--load", "x=0 and y=0 and z=0", "3e38", "0", "0", "--load", "box 0 0 0 0 0 0", "3e38",
          "0", "0"},
         L"ERROR: The forces of the loads add up beyond 32-bit floats at a vertex\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--mesh", mesh(), "--voxel", "0.25", "-o", output()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(run(args), 1);
        const std::wstring log = log_.str();
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), c.message.size())), c.message)
            << toUtf8(log);
        EXPECT_EQ(testing::readFile(output()), "old\n");
    }
    const std::wstring coordinates =
        L"Mesh coordinates: box (0 0 0) to (2 1 1)\nWorld coordinates: box (0 0 0) to (2 1 1) "
        L"= mesh coordinates x 1 + (0 0 0)\n";
    EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "0.0001", "-o", output()}), 1);
    EXPECT_EQ(log_.str(),
              coordinates + L"ERROR: Voxel size 0.0001 gives a grid of 20000 x 10000 x 10000 voxels; at most "
              L"2046 x 2046 x 1022 (and 1e9 in all) fit the model\n");
    // Voxel counts beyond every integer type, and a scale beyond 32-bit floats.
    EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "1e-300", "-o", output()}), 1);
    EXPECT_EQ(log_.str(),
              coordinates + L"ERROR: Voxel size 1e-300 gives a grid of 2e+300 x 1e+300 x 1e+300 voxels; at "
              L"most 2046 x 2046 x 1022 (and 1e9 in all) fit the model\n");
    EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--scale-to", "1e39", "-o", output()}),
              1);
    EXPECT_EQ(log_.str(), L"ERROR: The mesh \"" + fromUtf8(mesh()) +
                              L"\" scaled to 1e+39 does not fit 32-bit floats\n");
    EXPECT_EQ(run({"--mesh", (dir_ / "none.obj").string(), "--voxel", "0.25", "-o", output()}),
              1);
    EXPECT_NE(log_.str().find(L"none.obj"), std::wstring::npos);
    EXPECT_EQ(testing::readFile(output()), "old\n");
    // The output naming the mesh itself, also by another path, leaves the mesh alone.
    const std::string meshBytes = testing::readFile(mesh());
    for (const std::string& same : {mesh(), (fs::path(mesh()).parent_path() / "." /
                                             fs::path(mesh()).filename()).string()}) {
        EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "-o", same}), 1);
        EXPECT_EQ(log_.str(), L"ERROR: The scene file \"" + fromUtf8(same) +
                                  L"\" would replace the mesh \"" + fromUtf8(mesh()) + L"\"\n");
        EXPECT_EQ(testing::readFile(mesh()), meshBytes);
    }
    const std::string noDir = (dir_ / "no" / "scene.txt").string();
    EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "-o", noDir}), 1);
    EXPECT_EQ(log_.str(), coordinates + L"ERROR: Cannot write file \"" + fromUtf8(noDir) +
                              L"\": No such file or directory\n");
}

// A mesh away from the origin, scaled by 2: the tool says where it lands in world
// coordinates, and boxes in the mesh's own coordinates select what the world boxes select.
TEST_F(SceneMakerTest, MeshCoordinatesMapAsPrinted) {
    const std::string part = (dir_ / "meshes" / "part.obj").string();
    test::makeBox({10, -3, 5}, {12, -2, 6}).writeObj(fromUtf8(part), nullptr);
    const std::vector<std::string> common = {"--mesh", part, "--voxel", "0.5", "--levels", "3",
                                             "--scale-to", "4", "-o", output()};
    auto withCommon = [&](std::vector<std::string> args) {
        args.insert(args.begin(), common.begin(), common.end());
        return args;
    };
    ASSERT_EQ(run(withCommon({"--fix", "x=max", "--load", "x=0 and z=0", "0", "0", "-1",
                              "--keep-solid", "0 0 0 1 2 2"})),
              0)
        << toUtf8(log_.str());
    const std::wstring printed = log_.str();
    EXPECT_NE(printed.find(L"Mesh coordinates: box (10 -3 5) to (12 -2 6)\nWorld coordinates: "
                           L"box (0 0 0) to (4 2 2) = mesh coordinates x 2 + (-20 6 -10)\n"),
              std::wstring::npos)
        << toUtf8(printed);
    EXPECT_NE(printed.find(L"Vertex grid: planes x=0 to x=8, y=0 to y=4, z=0 to z=4 (world box "
                           L"(0 0 0 4 2 2))\n"),
              std::wstring::npos)
        << toUtf8(printed);
    EXPECT_NE(printed.find(L"; a run holds 20 elements solid at fixed or loaded vertices and 28 "
                           L"more in keep-solid boxes\n"),
              std::wstring::npos)
        << toUtf8(printed);
    const auto keys = [](const std::string& text) {
        std::string result;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("FIXED_VERTICES: ", 0) == 0 || line.rfind("FORCES: ", 0) == 0 ||
                line.rfind("KEEP_SOLID_BOXES: ", 0) == 0)
                result += line + "\n";
        return result;
    };
    const std::string world = keys(testing::readFile(output()));
    ASSERT_NE(world.find("KEEP_SOLID_BOXES: 0 0 0 1 2 2\n"), std::string::npos) << world;

    log_.str(L"");
    ASSERT_EQ(run(withCommon({"--mesh-coordinates", "--fix", "box 12 -3 5 12 -2 6", "--load",
                              "box 10 -3 5 10 -2 5", "0", "0", "-1", "--keep-solid",
                              "10 -3 5 10.5 -2 6"})),
              0)
        << toUtf8(log_.str());
    EXPECT_EQ(keys(testing::readFile(output())), world);

    // Nothing in the mesh's own coordinates: the range is named in them too.
    log_.str(L"");
    EXPECT_EQ(run(withCommon({"--mesh-coordinates", "--fix", "box 0 0 0 4 2 2"})), 1);
    EXPECT_NE(log_.str().find(L"ERROR: Selection \"box 0 0 0 4 2 2\" holds no vertex; the "
                              L"vertices lie on the grid planes x=0 to x=8, y=0 to y=4, z=0 to "
                              L"z=4, in the world box 0 0 0 4 2 2 (mesh coordinates 10 -3 5 12 -2 "
                              L"6)\n"),
              std::wstring::npos)
        << toUtf8(log_.str());
}

TEST_F(SceneMakerTest, NoFixationIsRefusedUnlessAllowed) {
    std::ofstream(output()) << "old\n";
    EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--load", "x=max", "0", "0", "-1", "-o",
                   output()}),
              1);
    const std::wstring refusal =
        L"ERROR: No vertex is fixed, so nothing holds the model in place and its system has no "
        L"solution; give --fix SELECTION (or --allow-unfixed to write the scene anyway)\n";
    const std::wstring log = log_.str();
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), refusal.size())), refusal)
        << toUtf8(log);
    EXPECT_EQ(testing::readFile(output()), "old\n");
    EXPECT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--load", "x=max", "0", "0", "-1",
                   "--allow-unfixed", "-o", output()}),
              0);
    EXPECT_NE(log_.str().find(L"WARNING: No vertex is fixed; a run of this scene stops at its "
                              L"first step until FIXED_VERTICES holds the model in place\n"),
              std::wstring::npos)
        << toUtf8(log_.str());
    EXPECT_NE(testing::readFile(output()).find("\nFORCES: "), std::string::npos);
}

TEST_F(SceneMakerTest, StlMeshAndDoubtfulInputWarnings) {
    // The same box as binary STL: the same scene but for the MESH line.
    TriangleMesh box;
    ASSERT_TRUE(box.readObj(fromUtf8(mesh()), nullptr));
    ASSERT_TRUE(writeStl(box, fromUtf8((dir_ / "meshes" / "box.stl").string()), nullptr));
    ASSERT_EQ(run({"--mesh", mesh(), "--voxel", "0.25", "--fix", "x=0", "--load", "x=max", "0",
                   "0", "-1", "-o", output()}),
              0);
    std::string fromObj = testing::readFile(output());
    ASSERT_EQ(run({"--mesh", (dir_ / "meshes" / "box.stl").string(), "--voxel", "0.25", "--fix",
                   "x=0", "--load", "x=max", "0", "0", "-1", "-o", output()}),
              0)
        << toUtf8(log_.str());
    EXPECT_EQ(log_.str().find(L"WARNING"), std::wstring::npos) << toUtf8(log_.str());
    std::string fromStl = testing::readFile(output());
    for (std::string* text : {&fromObj, &fromStl})
        for (const char* ext : {"obj", "stl"}) {
            const std::string name = std::string("box.") + ext;
            for (size_t at; (at = text->find(name)) != std::string::npos;)
                text->replace(at, name.size(), "box.MESH");
        }
    EXPECT_EQ(fromStl, fromObj);

    // An open box (one triangle of a side parallel to x gone, which no voxel column crosses)
    // with a separate cube beside it.
    std::string boxText = testing::readFile(mesh());
    boxText.erase(boxText.find("f 1 2 6\n"), 8);
    std::ofstream open(dir_ / "meshes" / "open.obj");
    open << boxText;
    open << "v 0 1.5 0\nv 0.5 1.5 0\nv 0 2 0\nv 0.5 2 0\nv 0 1.5 0.5\nv 0.5 1.5 0.5\n"
            "v 0 2 0.5\nv 0.5 2 0.5\n";
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& q : quads) {
        open << "f " << q[0] + 9 << ' ' << q[1] + 9 << ' ' << q[2] + 9 << '\n';
        open << "f " << q[0] + 9 << ' ' << q[2] + 9 << ' ' << q[3] + 9 << '\n';
    }
    open.close();
    ASSERT_EQ(run({"--mesh", (dir_ / "meshes" / "open.obj").string(), "--voxel", "0.25", "--fix",
                   "x=0", "--load", "x=max", "0", "0", "-1", "-o", output()}),
              0)
        << toUtf8(log_.str());
    EXPECT_NE(log_.str().find(L"WARNING: The mesh \"" +
                              fromUtf8((dir_ / "meshes" / "open.obj").string()) +
                              L"\" is open: 3 edges belong to one triangle only; "),
              std::wstring::npos)
        << toUtf8(log_.str());
    EXPECT_NE(log_.str().find(L"WARNING: The voxel model falls into 2 pieces that share no vertex "
                              L"(sizes 128, 8 voxels)"),
              std::wstring::npos)
        << toUtf8(log_.str());
}

TEST_F(SceneMakerTest, AtomicWriteKeepsOldFileOnFailure) {
    const fs::path target = dir_ / "t.txt";
    std::string error;
    ASSERT_TRUE(writeTextAtomically(target.string(), "one\n", error)) << error;
    EXPECT_EQ(testing::readFile(target), "one\n");
    // A directory where the temporary file would go makes the write fail.
    fs::create_directories(target.string() + ".tmp" + std::to_string(::getpid()) + "~");
    EXPECT_FALSE(writeTextAtomically(target.string(), "two\n", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(testing::readFile(target), "one\n");
}

TEST(SceneMakerArguments, DefaultsHelpAndUsageErrors) {
    MakeSceneOptions o;
    std::string error;
    ASSERT_EQ(parseMakeSceneArguments({"--mesh", "m.obj", "--voxel", "0.1", "-o", "s.txt"}, o,
                                      error),
              ParseOutcome::Run);
    EXPECT_EQ(o.levels, 4);
    EXPECT_EQ(o.scaleTo, 0);
    EXPECT_FALSE(o.surfaceVoxels);
    EXPECT_EQ(o.commandLine, "ostrel-make-scene --mesh m.obj --voxel 0.1 \\\n//     -o s.txt");
    ASSERT_EQ(parseMakeSceneArguments({"--mesh", "m.obj", "--voxel", "0.1", "--load",
                                       "x=0 and y=1", "1", "2", "3", "-o", "s.txt"},
                                      o, error),
              ParseOutcome::Run);
    ASSERT_EQ(o.loads.size(), 1u);
    EXPECT_EQ(o.loads[0].total, Vec3d(1, 2, 3));
    EXPECT_EQ(o.loads[0].where.terms.size(), 2u);
    EXPECT_EQ(o.commandLine,
              "ostrel-make-scene --mesh m.obj --voxel 0.1 \\\n//     --load \"x=0 and y=1\" 1 2 3 "
              "\\\n//     -o s.txt");
    EXPECT_EQ(parseMakeSceneArguments({"--voxel", "x", "--help"}, o, error), ParseOutcome::UsageError);
    EXPECT_EQ(parseMakeSceneArguments({"-h"}, o, error), ParseOutcome::Help);
    EXPECT_NE(makeSceneUsage().find("--load SELECTION FX FY FZ"), std::string::npos);

    const std::vector<std::string> base = {"--mesh", "m.obj", "--voxel", "0.1", "-o", "s.txt"};
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--voxel", "0.1", "-o", "s.txt"}, "--mesh is required"},
        {{"--mesh", "m.obj", "-o", "s.txt"}, "--voxel is required"},
        {{"--mesh", "m.obj", "--voxel", "0.1"}, "-o SCENE.txt is required"},
        {{"--mesh"}, "--mesh needs a value"},
        {{"--voxel", "-1"}, "--voxel needs a positive length, not \"-1\""},
        {{"--voxel", "0.1mm"}, "--voxel needs a positive length, not \"0.1mm\""},
        {{"--voxel", "inf"}, "--voxel needs a positive length, not \"inf\""},
        {{"--levels", "2"}, "--levels needs an integer from 3 to 10, not \"2\""},
        {{"--levels", "11"}, "--levels needs an integer from 3 to 10, not \"11\""},
        {{"--scale-to", "0"}, "--scale-to needs a positive length, not \"0\""},
        {{"--fix", "x=="}, "--fix \"x==\": \"=\" is not min, max or a grid index >= 0"},
        {{"--load", "x=0", "1", "2"}, "--load SELECTION needs 4 values"},
        {{"--load", "x=0", "1", "b", "3"}, "--load \"x=0\": \"b\" is not a number"},
        {{"--load", "x=0", "0", "0", "-0"}, "--load \"x=0\": the force is zero"},
        {{"--case", "0"}, "--case \"0\": a load case is a whole number from 1 to 999"},
        {{"--case", "2.5"}, "--case \"2.5\": a load case is a whole number from 1 to 999"},
        {{"--case", "two"}, "--case \"two\": a load case is a whole number from 1 to 999"},
        {{"--case"}, "--case needs a value"},
        {{"--case", "3", "--load", "x=max", "0", "1", "0"},
         "load case 1 has no --load, but case 3 has; the cases are numbered without a gap"},
        {{"--load", "x=max", "0", "1", "0", "--case", "3", "--load", "x=max", "0", "1", "0"},
         "load case 2 has no --load, but case 3 has; the cases are numbered without a gap"},
        {{"--note", "two\nlines"}, "--note must be a single line"},
        {{"--fix", "x=0\nand y=0"},
         "argument 8 holds a line break; every argument must be a single line"},
        {{"--mesh", "m\r.obj", "--voxel", "0.1", "-o", "s.txt"},
         "argument 2 holds a line break; every argument must be a single line"},
        {{"--frobnicate"}, "unknown argument \"--frobnicate\" (see --help)"},
        {{"--keep-solid", "0 0 0 1 1"},
         "--keep-solid \"0 0 0 1 1\": needs one argument of six numbers X0 Y0 Z0 X1 Y1 Z1 "
         "with X0 <= X1, Y0 <= Y1 and Z0 <= Z1"},
        {{"--keep-empty", "1 0 0 0 1 1"},
         "--keep-empty \"1 0 0 0 1 1\": needs one argument of six numbers X0 Y0 Z0 X1 Y1 Z1 "
         "with X0 <= X1, Y0 <= Y1 and Z0 <= Z1"},
        {{"--keep-empty", "0 0 0 1 1 1 and x=0"},
         "--keep-empty \"0 0 0 1 1 1 and x=0\": needs one argument of six numbers X0 Y0 Z0 X1 "
         "Y1 Z1 with X0 <= X1, Y0 <= Y1 and Z0 <= Z1"},
        {{"--keep-solid"}, "--keep-solid needs a value"},
        {{"--volume-fraction", "1"},
         "--volume-fraction needs a number between 0 and 1 (both excluded), not \"1\""},
        {{"--volume-fraction", "0.3.1"},
         "--volume-fraction needs a number between 0 and 1 (both excluded), not \"0.3.1\""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        const bool complete = c.args.size() >= 4 && c.args[0] != "--load";
        if (!complete) args.insert(args.begin(), base.begin(), base.end());
        error.clear();
        EXPECT_EQ(parseMakeSceneArguments(args, o, error), ParseOutcome::UsageError)
            << c.message;
        EXPECT_EQ(error, c.message);
    }
}

TEST(MakeMeshScript, WrittenFileHasTheModeOfANewFile) {
    ASSERT_EQ(std::system("python3 -c pass > /dev/null 2>&1"), 0)
        << "python3 is not installed (scripts/setup installs it)";
    testing::ScratchFolder folder("make-mesh");
    const fs::path mesh = folder / "box.obj";
    const mode_t old = ::umask(022);
    const std::string command = std::string("python3 ") + OSTREL_MAKE_MESH +
                                " box --size 1 1 1 -o " + mesh.string() + " > /dev/null";
    const int status = std::system(command.c_str());
    ::umask(old);
    ASSERT_EQ(status, 0);
    struct stat info {};
    ASSERT_EQ(::stat(mesh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(SceneMakerPaths, MeshRelativeToSceneFolder) {
    EXPECT_EQ(meshPathForScene("/a/b/m.obj", "/a/b/s.txt"), "m.obj");
    EXPECT_EQ(meshPathForScene("/a/b/meshes/m.obj", "/a/b/s.txt"), "meshes/m.obj");
    EXPECT_EQ(meshPathForScene("/a/m.obj", "/a/b/s.txt"), "../m.obj");
    EXPECT_EQ(meshPathForScene("/a/./c/../m.obj", "/a/s.txt"), "m.obj");
    const std::string cwd = fs::current_path().string();
    EXPECT_EQ(meshPathForScene("m.obj", cwd + "/s.txt"), "m.obj");
}

}  // namespace
}  // namespace ostrel
