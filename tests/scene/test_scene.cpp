#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "scene/ViewFraming.h"
#include "support/SceneKeys.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

/// Writes an axis-aligned box [0,lx]x[0,ly]x[0,lz] (shifted by `at`) as 12 outward triangles.
void writeBox(const fs::path& file, Vec3d size, Vec3d at = {0, 0, 0}) {
    std::ofstream out(file);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x)
                out << "v " << at.x + x * size.x << ' ' << at.y + y * size.y << ' '
                    << at.z + z * size.z << '\n';
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& q : quads) {
        out << "f " << q[0] + 1 << ' ' << q[1] + 1 << ' ' << q[2] + 1 << '\n';
        out << "f " << q[0] + 1 << ' ' << q[2] + 1 << ' ' << q[3] + 1 << '\n';
    }
}

const char* const kRequired = testing::kRequiredSceneKeys;

class SceneTest : public ::testing::Test {
protected:
    void SetUp() override { writeBox(dir_ / "box.obj", {2, 1, 1}); }

    std::wstring writeScene(const std::string& text, const std::string& name = "scene.txt") {
        std::ofstream(dir_ / name) << text;
        return fromUtf8((dir_ / name).string());
    }
    std::string readText(const std::wstring& name) { return testing::readFile(toUtf8(name)); }
    bool load(const std::string& text) { return scene_.loadScene(writeScene(text), &log_); }
    int vertex(int x, int y, int z) { return scene_.model()->vertexAt(0, GridPos{x, y, z}); }

    testing::ScratchFolder folder_{"scene"};
    const fs::path& dir_ = folder_.path();
    std::wostringstream log_;
    ostrel::testing::SceneProblem scene_{DeviceOptions{true, 1}};
};

TEST_F(SceneTest, RequiredKeysOnlyLoadWithDefaults) {
    ASSERT_TRUE(load(kRequired)) << log_.str();
    EXPECT_TRUE(scene_.isLoaded());
    EXPECT_EQ(log_.str(), L"");
    EXPECT_EQ(scene_.gravity_, Vec3d(0, 0, 0));
    EXPECT_EQ(scene_.view().lightPos, Vec3f(0, 0, 1));
    EXPECT_EQ(scene_.view().lightDir, Vec3f(0, 0, -1));
    EXPECT_EQ(scene_.view().lightUp, Vec3f(0, 1, 0));
    const FemModel& m = *scene_.model();
    EXPECT_EQ(m.numElements(0), 8 * 4 * 4);
    EXPECT_EQ(m.numVertices(0), 9 * 5 * 5);
    // Mesh moved so its box starts at the origin; the default view looks from -x.
    EXPECT_FLOAT_EQ(scene_.mesh().center.x, 1.0f);
    EXPECT_EQ(scene_.view().defaultViewPos, Vec3f(-4.0f, 0.5f, 0.5f));
    EXPECT_FLOAT_EQ(scene_.view().meanVoxelSize, 0.25f);
    EXPECT_FLOAT_EQ(scene_.view().vertexHandleRadius, 0.05f);
    EXPECT_FLOAT_EQ(scene_.view().forceArrowScale, float(5e-7 / (0.25 * 0.25)));
    EXPECT_DOUBLE_EQ(scene_.view().forceSphereRadius, 0.03 * 10.0 / 3.0);
    // Light view matrix of position (0,0,1), direction (0,0,-1), up (0,1,0).
    const float expected[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(scene_.view().lightView[i], expected[i]) << i;
}

TEST_F(SceneTest, ScaleToAndTranslationToOrigin) {
    writeBox(dir_ / "box.obj", {4, 1, 1}, {3, -2, 5});
    ASSERT_TRUE(load(std::string(kRequired) + "MESH_SCALE_TO: 2\n")) << log_.str();
    const TriangleMesh& mesh = scene_.mesh();
    EXPECT_FLOAT_EQ(mesh.halfSize.x, 1.0f);
    EXPECT_FLOAT_EQ(mesh.halfSize.y, 0.25f);
    EXPECT_FLOAT_EQ(mesh.center.x - mesh.halfSize.x, 0.0f);
    EXPECT_FLOAT_EQ(mesh.center.y - mesh.halfSize.y, 0.0f);
    EXPECT_FLOAT_EQ(mesh.center.z - mesh.halfSize.z, 0.0f);
    EXPECT_EQ(scene_.model()->numElements(0), 8 * 2 * 2);
}

TEST(LengthScale, IsThePowerOfTenNearestTheLongestEdge) {
    const struct {
        Vec3f halfSize;
        float scale;
    } cases[] = {
        {{0.5f, 0.1f, 0.1f}, 1},          // longest edge 1
        {{1, 0.25f, 0.25f}, 1},           // 2: the examples
        {{1.5f, 0.25f, 0.375f}, 1},       // 3
        {{0.1f, 0.1f, 1.3f}, 1},          // 2.6, along z
        {{1.6f, 0.1f, 0.1f}, 10},         // 3.2 > sqrt(10)
        {{0.15f, 0.1f, 0.1f}, 0.1f},      // 0.3 < 1/sqrt(10)
        {{50, 10, 10}, 100},              // a part of 100 mm
        {{5e-4f, 1e-4f, 1e-4f}, 1e-3f},   // one of a millimetre
        {{5000, 100, 100}, 1e4f},
        {{0, 0, 0}, 1},                   // nothing to measure
        {{-1, -1, -1}, 1},
        {{INFINITY, 1, 1}, 1},
        {{NAN, NAN, NAN}, 1},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(lengthScale(c.halfSize), c.scale)
            << c.halfSize.x << " " << c.halfSize.y << " " << c.halfSize.z;
}

TEST(ThreeQuarterView, LooksAtTheCentreFromTheFrontLeftAboveAndFitsTheBox) {
    for (const Vec3f& half : {Vec3f(1, 0.25f, 0.25f), Vec3f(0.5f, 0.5f, 0.5f), Vec3f(50, 10, 5),
                              Vec3f(2e-4f, 5e-4f, 1e-4f)}) {
        const Vec3f centre = half + Vec3f(0, 0, 0);  // the prepared box starts at the origin
        const StoredView v = threeQuarterView(centre, half);
        EXPECT_EQ(v.headingPitchRoll, Vec3f(60, 25, 0));
        const Vec3f d = v.position - centre;
        const float distance = length(d);
        // From -x, -y and above: along (-cos 60 cos 25, -sin 60 cos 25, sin 25).
        EXPECT_NEAR(d.x / distance, -0.5f * std::cos(25 * 3.14159265f / 180), 1e-5f);
        EXPECT_NEAR(d.y / distance, -0.8660254f * std::cos(25 * 3.14159265f / 180), 1e-5f);
        EXPECT_NEAR(d.z / distance, std::sin(25 * 3.14159265f / 180), 1e-5f);
        // The bounding sphere just fills the framing cone.
        const float r = length(half);
        EXPECT_NEAR(r / std::sqrt(distance * distance - r * r), kFramingTangent,
                    1e-4f * kFramingTangent);
    }
}

TEST_F(SceneTest, TheDefaultLightStandsAboveTheOriginAtTheModelsScale) {
    // The 2 x 1 x 1 box scaled to a longest edge of 100, 0.001 and 2.
    const struct {
        const char* scaleTo;
        const char* voxel;  // 8 x 4 x 4 voxels at every scale
        float scale;
    } cases[] = {{"100", "12.5", 100}, {"0.001", "0.000125", 1e-3f}, {"2", "0.25", 1}};
    for (const auto& c : cases) {
        std::string text = kRequired;
        text.replace(text.find("0.25 0.25 0.25"), 14,
                     std::string(c.voxel) + " " + c.voxel + " " + c.voxel);
        ASSERT_TRUE(load(text + "MESH_SCALE_TO: " + c.scaleTo + "\n")) << toUtf8(log_.str());
        EXPECT_EQ(scene_.model()->numElements(0), 8 * 4 * 4) << c.scaleTo;
        EXPECT_FLOAT_EQ(scene_.view().lengthScale, c.scale) << c.scaleTo;
        EXPECT_EQ(scene_.view().lightPos, Vec3f(0, 0, c.scale)) << c.scaleTo;
        EXPECT_FLOAT_EQ(scene_.view().lightView[11], -c.scale) << c.scaleTo;
    }
    // A light the scene names stays where it is.
    ASSERT_TRUE(load(std::string(kRequired) + "RENDERER_LIGHT_POS: 1 2 3\n"));
    EXPECT_EQ(scene_.view().lightPos, Vec3f(1, 2, 3));
}

TEST_F(SceneTest, UnsavedEditsAreWhatSaveSceneWouldChange) {
    EXPECT_TRUE(scene_.unsavedEdits().empty()) << "nothing loaded";
    ASSERT_TRUE(load(kRequired));
    EXPECT_TRUE(scene_.unsavedEdits().empty());
    FemModel& m = *scene_.model();
    m.setFixed(3, true);
    m.setForceComponent(2, 1, 1.5f);
    // The view and the light count once the user has set them.
    scene_.view().defaultViewPos = {9, 9, 9};
    scene_.view().lightPos = {8, 8, 8};
    EXPECT_EQ(scene_.unsavedEdits(), (std::vector<std::wstring>{L"fixations", L"forces"}));
    scene_.view().viewChanged = scene_.view().lightChanged = true;
    scene_.designControls_.projection = 1;
    EXPECT_EQ(scene_.unsavedEdits(),
              (std::vector<std::wstring>{L"fixations", L"forces", L"view", L"light",
                                         L"design controls"}));
    ASSERT_TRUE(scene_.saveScene(fromUtf8((dir_ / "saved.txt").string()), &log_));
    EXPECT_TRUE(scene_.unsavedEdits().empty());
    scene_.view().defaultHeadingPitchRoll = {1, 2, 3};
    scene_.view().lightUp = {1, 0, 0};
    EXPECT_EQ(scene_.unsavedEdits(), (std::vector<std::wstring>{L"view", L"light"}));
    // A failed save leaves the edits unsaved.
    EXPECT_FALSE(scene_.saveScene(fromUtf8((dir_ / "gone" / "s.txt").string()), &log_));
    EXPECT_EQ(scene_.unsavedEdits(), (std::vector<std::wstring>{L"view", L"light"}));
}

TEST_F(SceneTest, ViewPositionNeedsItsCompanion) {
    ASSERT_TRUE(load(std::string(kRequired) + "RENDERER_DEFAULT_VIEW_POS: 1 2 3\n"));
    EXPECT_EQ(scene_.view().defaultViewPos, Vec3f(-4.0f, 0.5f, 0.5f));
    ASSERT_TRUE(load(std::string(kRequired) +
                     "RENDERER_DEFAULT_VIEW_POS: 1 2 3\n"
                     "RENDERER_DEFAULT_HEADING_PITCH_ROLL: 0.5 0.25 0\n"));
    EXPECT_EQ(scene_.view().defaultViewPos, Vec3f(1, 2, 3));
    EXPECT_EQ(scene_.view().defaultHeadingPitchRoll, Vec3f(0.5f, 0.25f, 0));
}

TEST_F(SceneTest, FixationsAndForces) {
    struct Case {
        const char* name;
        const char* keys;
        std::vector<Vec3i> fixed;
        std::wstring log;
    };
    const Case cases[] = {
        {"seven_integers", "FIXED_VERTICES: 0 0 0  1 0 0  2\n", {{0, 0, 0}, {1, 0, 0}}, L""},
        {"letter", "FIXED_VERTICES: 0 0 0  x 1 0 0\n", {{0, 0, 0}},
         L"WARNING: Error while parsing vertex fixation\n"},
        {"outside_grid", "FIXED_VERTICES: 0 0 0  9 0 0  -1 0 0  0 0 100000\n", {{0, 0, 0}},
         L"WARNING: Vertex fixation: No vertex found at position 9 0 0\n"
         L"WARNING: Vertex fixation: No vertex found at position -1 0 0\n"
         L"WARNING: Vertex fixation: No vertex found at position 0 0 100000\n"},
        {"force_missing_vertex", "FORCES: 8 0 0 0 0 -5  20 0 0 1 1 1\n", {},
         L"WARNING: Vertex fixation: No vertex found at position 20 0 0\n"},
        {"force_parse_error", "FORCES: 8 0 0 0 0 -5  1 1 1 a\n", {},
         L"WARNING: Error while parsing forces\n"},
        {"force_outside_grid", "FORCES: 8 0 0 0 0 -5  -1 0 0 1 1 1  0 5000 0 1 1 1\n", {},
         L"WARNING: Vertex fixation: No vertex found at position -1 0 0\n"
         L"WARNING: Vertex fixation: No vertex found at position 0 5000 0\n"},
    };
    for (const Case& c : cases) {
        log_.str(L"");
        ASSERT_TRUE(load(std::string(kRequired) + c.keys)) << c.name;
        EXPECT_EQ(log_.str(), c.log) << c.name;
        const FemModel& m = *scene_.model();
        int count = 0;
        for (uint8_t f : m.fixedFlags()) count += f;
        EXPECT_EQ(count, int(c.fixed.size())) << c.name;
        for (const Vec3i& p : c.fixed) EXPECT_EQ(m.fixedFlags()[size_t(vertex(p.x, p.y, p.z))], 1);
    }
    const int v = vertex(8, 0, 0);
    EXPECT_EQ(scene_.model()->forces()[3 * size_t(v) + 2], -5.0f);
}

TEST_F(SceneTest, FailuresStopTheLoad) {
    const std::string req = kRequired;
    auto without = [&](const std::string& key) {
        std::string text = req;
        const size_t at = text.find(key + ":");
        text.erase(at, text.find('\n', at) - at + 1);
        return text;
    };
    struct Case {
        std::string text;
        std::wstring firstLine;
    };
    const Case cases[] = {
        {without("VOXEL_SIZE"), L"ERROR: Entry \"VOXEL_SIZE\" not found"},
        {without("ELASTIC_MODULUS"), L"ERROR: Entry \"ELASTIC_MODULUS\" not found"},
        {without("POISSON_RATIO"), L"ERROR: Entry \"POISSON_RATIO\" not found"},
        {without("DENSITY"), L"ERROR: Entry \"DENSITY\" not found"},
        {without("DAMPING_FACTOR"), L"ERROR: Entry \"DAMPING_FACTOR\" not found"},
        {without("TIME_STEP"), L"ERROR: Entry \"TIME_STEP\" not found"},
        {without("MESH"), L"ERROR: Entry \"MESH\" not found"},
        {without("NUM_LEVELS"), L"ERROR: Entry \"NUM_LEVELS\" not found"},
        {without("NUM_LEVELS") + "NUM_LEVELS: three\n",
         L"ERROR: Could not parse entry \"NUM_LEVELS\""},
        {without("VOXEL_SIZE") + "VOXEL_SIZE: 0.1 0.1\n",
         L"ERROR: Could not parse entry \"VOXEL_SIZE\""},
        {without("VOXEL_SIZE") + "VOXEL_SIZE: 0.1 0 0.1\n",
         L"ERROR: VOXEL_SIZE must be positive in every axis"},
    };
    for (const Case& c : cases) {
        log_.str(L"");
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(load(c.text));
        const std::string console = ::testing::internal::GetCapturedStdout();
        EXPECT_FALSE(scene_.isLoaded());
        EXPECT_EQ(log_.str(), c.firstLine + L"\n");
        EXPECT_EQ(console.find("Voxelization"), std::string::npos) << "failed before voxelizing";
    }
    log_.str(L"");
    fs::remove(dir_ / "box.obj");
    EXPECT_FALSE(load(req));
    EXPECT_NE(log_.str().find(L"box.obj"), std::wstring::npos) << log_.str();
    const std::wstring missingScene = fromUtf8((dir_ / "none.txt").string());
    log_.str(L"");
    EXPECT_FALSE(scene_.loadScene(missingScene, &log_));
    EXPECT_EQ(log_.str(), L"ERROR: Cannot open file \"" + missingScene + L"\"\n");
}

TEST_F(SceneTest, GridsAndLevelsBeyondTheLimitsAreRefusedBeforeAnythingIsSized) {
    auto with = [](const std::string& key, const std::string& value) {
        std::string text = kRequired;
        const size_t at = text.find(key + ": ");
        text.replace(at, text.find('\n', at) - at, key + ": " + value);
        return text;
    };
    struct Case {
        std::string text;
        std::wstring message;
    };
    const Case cases[] = {
        // The grid with a margin for surface voxels is guarded like the plain one: no
        // allocation failure, no overflowing conversion, no empty model.
        {with("VOXEL_SIZE", "1e-6 1e-6 1e-6") + "ADD_ADDITIONAL_SURFACE_VOXELS: 1\n",
         L"ERROR: Voxel size 1e-06 gives no usable voxel grid"},
        {with("VOXEL_SIZE", "1e-10 1e-10 1e-10") + "ADD_ADDITIONAL_SURFACE_VOXELS: 1\n",
         L"ERROR: Voxel size 1e-10 gives no usable voxel grid"},
        {with("VOXEL_SIZE", "1e-6 1e-6 1e-6"), L"ERROR: Voxel size 1e-06 gives no usable voxel grid"},
        {with("NUM_LEVELS", "2000000000"), L"ERROR: #Levels must be between 3 and 12, not 2000000000"},
        {with("NUM_LEVELS", "13"), L"ERROR: #Levels must be between 3 and 12, not 13"},
        {with("NUM_LEVELS", "2"), L"ERROR: #Levels must be between 3 and 12, not 2"},
        {with("NUM_LEVELS", "-1"), L"ERROR: #Levels must be between 3 and 12, not -1"},
    };
    for (const Case& c : cases) {
        log_.str(L"");
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(load(c.text));
        const std::string console = ::testing::internal::GetCapturedStdout();
        EXPECT_FALSE(scene_.isLoaded());
        EXPECT_EQ(log_.str(), c.message + L"\n") << toUtf8(c.message);
        EXPECT_EQ(console.find("Voxelization"), std::string::npos) << console;
    }
    // Twelve levels are the most a grid can hold; on this small grid they load.
    ASSERT_TRUE(load(with("NUM_LEVELS", "12"))) << toUtf8(log_.str());
    EXPECT_EQ(scene_.model()->numElements(11), 1);
}

TEST_F(SceneTest, AGridTooLargeForTheMemoryIsRefusedWithAVoxelSizeThatFits) {
    // A 0.5 x 20000 x 20000 plate at voxel size 1 passes the cell limits, but its depth layers
    // alone need 20000 * 20000 * 1028 bytes: far more than any machine's memory.
    writeBox(dir_ / "plate.obj", {0.5, 20000, 20000});
    std::string plate = kRequired;
    plate.replace(plate.find("VOXEL_SIZE: 0.25 0.25 0.25"), 26, "VOXEL_SIZE: 1 1 1");
    plate.replace(plate.find("box.obj"), 7, "plate.obj");
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(load(plate));
    std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.find("Voxelization"), std::string::npos) << console;
    std::wstring message = log_.str();
    EXPECT_EQ(message.rfind(L"ERROR: The voxel model needs \u2248 ", 0), 0u) << toUtf8(message);
    EXPECT_NE(message.find(L" GB, the process may use "), std::wstring::npos);
    EXPECT_EQ(message.find(L'\n'), message.size() - 1) << "one line";

    // Under a limit of 8 MB the box at voxel size 0.02 (250000 elements) does not fit; the
    // voxel size the message proposes loads, and one a tenth smaller is refused again.
    const double limit = 8.0 * 1024 * 1024;
    scene_.setMemoryLimit(limit, L"test limit");
    std::string box = kRequired;
    box.replace(box.find("VOXEL_SIZE: 0.25 0.25 0.25"), 26, "VOXEL_SIZE: 0.02 0.02 0.02");
    log_.str(L"");
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(load(box));
    console = ::testing::internal::GetCapturedStdout();
    message = log_.str();
    const std::wstring head = L"ERROR: The voxel model needs \u2248 ";
    ASSERT_EQ(message.rfind(head, 0), 0u) << toUtf8(message);
    const std::wstring tail =
        L" GB, the process may use 0.00781 GB (test limit); a voxel size of ";
    const size_t at = message.find(tail);
    ASSERT_NE(at, std::wstring::npos) << toUtf8(message);
    EXPECT_GT(std::stod(message.substr(head.size(), at - head.size())), 8.0 / 1024);
    std::wistringstream proposal(message.substr(at + tail.size()));
    double vx = 0, vy = 0, vz = 0;
    std::wstring rest;
    ASSERT_TRUE(proposal >> vx >> vy >> vz);
    std::getline(proposal, rest);
    EXPECT_EQ(rest, L" fits");
    EXPECT_GT(vx, 0.02);
    EXPECT_EQ(vx, vy);
    EXPECT_EQ(vx, vz);

    auto withSize = [&](double v) {
        std::ostringstream size;
        size << "VOXEL_SIZE: " << v << ' ' << v << ' ' << v;
        std::string text = box;
        text.replace(0, text.find('\n'), size.str());
        return text;
    };
    auto quietLoad = [&](double v) {
        log_.str(L"");
        ::testing::internal::CaptureStdout();
        const bool loaded = load(withSize(v));
        ::testing::internal::GetCapturedStdout();
        return loaded;
    };
    EXPECT_TRUE(quietLoad(vx)) << toUtf8(log_.str());
    EXPECT_FALSE(quietLoad(vx * 0.9));
    EXPECT_EQ(log_.str().rfind(head, 0), 0u) << toUtf8(log_.str());

    // A limit that not even a grid of one voxel fits into proposes no voxel size.
    scene_.setMemoryLimit(1000, L"test limit");
    EXPECT_FALSE(quietLoad(0.02));
    message = log_.str();
    EXPECT_EQ(message.rfind(head, 0), 0u) << toUtf8(message);
    EXPECT_NE(message.find(L" GB, the process may use 9.31e-07 GB (test limit); no voxel size "
                           L"fits\n"),
              std::wstring::npos)
        << toUtf8(message);
}

TEST_F(SceneTest, MeshPathRelativeToSceneAndAbsolute) {
    fs::create_directories(dir_ / "sub" / "meshes");
    writeBox(dir_ / "sub" / "meshes" / "b.obj", {1, 1, 1});
    std::string text = kRequired;
    text.replace(text.find("MESH: box.obj"), 13, "MESH: meshes/b.obj");
    ASSERT_TRUE(scene_.loadScene(writeScene(text, "sub/scene.txt"), &log_)) << log_.str();
    EXPECT_EQ(scene_.model()->numElements(0), 4 * 4 * 4);
    text = kRequired;
    text.replace(text.find("MESH: box.obj"), 13, "MESH: " + (dir_ / "sub/meshes/b.obj").string());
    ASSERT_TRUE(scene_.loadScene(writeScene(text, "sub/abs.txt"), &log_)) << log_.str();
    // Non-ASCII folder and MESH value: the scene's name comes decoded from the command line,
    // the MESH value as the file's UTF-8 bytes.
    fs::create_directories(dir_ / "\xc3\xa9" / "\xc3\xbc");
    writeBox(dir_ / "\xc3\xa9" / "\xc3\xbc" / "b.obj", {1, 1, 1});
    text = kRequired;
    text.replace(text.find("MESH: box.obj"), 13, "MESH: \xc3\xbc/b.obj");
    ASSERT_TRUE(scene_.loadScene(writeScene(text, "\xc3\xa9/scene.txt"), &log_))
        << toUtf8(log_.str());
    EXPECT_EQ(scene_.model()->numElements(0), 4 * 4 * 4);
    // The summary names the mesh as the loader read it, not its bytes encoded once more.
    const std::wstring summary = scene_.sceneSummary();
    EXPECT_EQ(summary.substr(0, summary.find(L'\n')), L"# Mesh: \"\u00fc/b.obj\"");
    EXPECT_EQ(directoryPrefix(L"a\\b/c.txt"), L"a\\b/");
    EXPECT_EQ(directoryPrefix(L"c:\\x\\c.txt"), L"c:\\x\\");
    EXPECT_EQ(directoryPrefix(L"c.txt"), L"");
}

TEST_F(SceneTest, SurfaceVoxelsGridHasMargin) {
    ASSERT_TRUE(load(std::string(kRequired) + "ADD_ADDITIONAL_SURFACE_VOXELS: 1\n"));
    EXPECT_GE(scene_.model()->numElements(0), 8 * 4 * 4);
}

TEST_F(SceneTest, SaveSceneRewritesEdits) {
    const std::wstring name = writeScene(
        "// comment\nvoxel_size: 0.25 0.25 0.25\nELASTIC_MODULUS: 1e7\nPOISSON_RATIO: 0.3\n"
        "DENSITY: 1000\nDAMPING_FACTOR: 0.5\nTIME_STEP: 0.05\nMESH: box.obj\nNUM_LEVELS: 3\n"
        "FIXED_VERTICES: 0 0 0  0 1 0\nFORCES: 8 0 0 0 0 -5  8 1 0 0 0 0\n"
        "RENDERER_LIGHT_POS: 1 1 1\n");
    ASSERT_TRUE(scene_.loadScene(name, &log_));
    const std::wstring out = fromUtf8((dir_ / "saved.txt").string());
    ASSERT_TRUE(scene_.saveScene(out, &log_));
    const std::string first = readText(out);
    EXPECT_EQ(first,
              "VOXEL_SIZE: 0.25 0.25 0.25\nELASTIC_MODULUS: 1e7\nPOISSON_RATIO: 0.3\n"
              "DENSITY: 1000\nDAMPING_FACTOR: 0.5\nTIME_STEP: 0.05\nMESH: box.obj\n"
              "NUM_LEVELS: 3\nFIXED_VERTICES: 0 0 0  0 1 0\nFORCES: 8 0 0 0 0 -5\n"
              "RENDERER_LIGHT_POS: 1 1 1\n");
    ASSERT_TRUE(scene_.saveScene(out, &log_));
    EXPECT_EQ(readText(out), first);

    // No fixations and no forces remove both keys; view and light written when flagged.
    FemModel& m = *scene_.model();
    m.clearFixations();
    m.clearForces();
    scene_.view().viewChanged = true;
    scene_.view().defaultViewPos = {1.5f, -2, 0.125f};
    scene_.view().lightChanged = true;
    ASSERT_TRUE(scene_.saveScene(out, &log_));
    const std::string second = readText(out);
    EXPECT_EQ(second.find("FIXED_VERTICES"), std::string::npos);
    EXPECT_EQ(second.find("FORCES"), std::string::npos);
    EXPECT_NE(second.find("RENDERER_LIGHT_POS: 1 1 1\n"), std::string::npos);
    EXPECT_NE(second.find("RENDERER_LIGHT_DIR: 0 0 -1\n"), std::string::npos);
    EXPECT_NE(second.find("RENDERER_LIGHT_UP: 0 1 0\n"), std::string::npos);
    EXPECT_NE(second.find("RENDERER_DEFAULT_VIEW_POS: 1.5 -2 0.125\n"), std::string::npos);
    EXPECT_NE(second.find("RENDERER_DEFAULT_HEADING_PITCH_ROLL: 0 0 0\n"), std::string::npos);
}

TEST_F(SceneTest, SaveUnloadedSceneWritesNothing) {
    ostrel::testing::SceneProblem empty{DeviceOptions{true, 1}};
    const fs::path out = dir_ / "never.txt";
    EXPECT_TRUE(empty.saveScene(fromUtf8(out.string()), &log_));
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(SceneTest, FailedSaveKeepsOldFile) {
    ASSERT_TRUE(load(kRequired));
    fs::create_directories(dir_ / "target.txt" / "inner");
    EXPECT_FALSE(scene_.saveScene(fromUtf8((dir_ / "target.txt").string()), &log_));
    EXPECT_TRUE(fs::is_directory(dir_ / "target.txt" / "inner"));
    EXPECT_NE(log_.str().find(L"ERROR: Cannot write file"), std::wstring::npos);

    // An existing scene file keeps its bytes when the new one cannot be written (here the
    // temporary file beside it cannot be created).
    const fs::path old = dir_ / "old.txt";
    std::ofstream(old) << "// old scene\nMESH: box.obj\n";
    fs::create_directories(old.string() + ".tmp" + std::to_string(::getpid()) + "~");
    log_.str(L"");
    EXPECT_FALSE(scene_.saveScene(fromUtf8(old.string()), &log_));
    EXPECT_EQ(log_.str(),
              L"ERROR: Cannot write file \"" + fromUtf8(old.string()) + L"\": Is a directory\n");
    EXPECT_EQ(readText(fromUtf8(old.string())), "// old scene\nMESH: box.obj\n");
}

TEST_F(SceneTest, ViewAndLightWrittenOnlyWhenChanged) {
    // The view position was read without its companion, so the computed view is in use, but
    // the entry stays exactly as read while the view flag is clear.
    ASSERT_TRUE(load(std::string(kRequired) + "RENDERER_DEFAULT_VIEW_POS: 1.000  2 3\n"));
    const std::wstring out = fromUtf8((dir_ / "saved.txt").string());
    ASSERT_TRUE(scene_.saveScene(out, &log_));
    std::string text = readText(out);
    EXPECT_NE(text.find("\nRENDERER_DEFAULT_VIEW_POS: 1.000  2 3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("RENDERER_DEFAULT_HEADING_PITCH_ROLL"), std::string::npos);
    EXPECT_EQ(text.find("RENDERER_LIGHT"), std::string::npos);

    scene_.view().viewChanged = true;
    ASSERT_TRUE(scene_.saveScene(out, &log_));
    text = readText(out);
    EXPECT_NE(text.find("\nRENDERER_DEFAULT_VIEW_POS: -4 0.5 0.5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nRENDERER_DEFAULT_HEADING_PITCH_ROLL: 0 0 0\n"), std::string::npos);
    EXPECT_EQ(text.find("RENDERER_LIGHT"), std::string::npos) << "light flag clear";

    // Loading again clears the flags; the light alone is then written, after the read keys.
    ASSERT_TRUE(load(std::string(kRequired)));
    EXPECT_FALSE(scene_.view().viewChanged);
    scene_.view().lightChanged = true;
    scene_.view().lightPos = {0.5f, 0, 2};
    ASSERT_TRUE(scene_.saveScene(out, &log_));
    EXPECT_EQ(readText(out), std::string(kRequired) +
                                 "RENDERER_LIGHT_POS: 0.5 0 2\n"
                                 "RENDERER_LIGHT_DIR: 0 0 -1\n"
                                 "RENDERER_LIGHT_UP: 0 1 0\n");
}

TEST_F(SceneTest, SummaryHasSixLines) {
    ASSERT_TRUE(load(std::string(kRequired) +
                     "MESH_TRANSFORMATION: 1 0 0 0.5 0 1 0 0 0 0 1 0 0 0 0 1\n"));
    EXPECT_EQ(scene_.sceneSummary(),
              L"# Mesh: \"box.obj\"\n"
              L"# Mesh Transformation: 1 0 0 0.5 0 1 0 0 0 0 1 0 0 0 0 1\n"
              L"# #Elements: 128, #Vertices: 225, #DOFs: 675\n"
              L"# Voxel Size: 0.25 0.25 0.25\n"
              L"# Elastic Modulus: 1e+07Pa, Poisson Ratio: 0.3, Density: 1000kg/m^3\n"
              L"# Damping Factor: 0.5, Time Step: 0.05s\n");
}

}  // namespace
}  // namespace ostrel
