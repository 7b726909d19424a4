#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "geometry/TriangleMesh.h"
#include "support/MeshBuilders.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

/// A file in this process's scratch folder, which is removed when the process ends.
std::string tempPath(const std::string& name) {
    static const testing::ScratchFolder folder("mesh");
    return (folder / name).string();
}

std::wstring writeFile(const std::string& name, const std::string& text) {
    const std::string path = tempPath(name);
    std::ofstream(path, std::ios::binary) << text;
    return std::wstring(path.begin(), path.end());
}

std::wstring quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

const char* kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n";

struct FaceCase {
    const char* faceLine;
    bool ok;
};

class FaceForms : public ::testing::TestWithParam<FaceCase> {};

TEST_P(FaceForms, ReadsTheFirstThreeCornersOrFailsOnLine5) {
    const FaceCase c = GetParam();
    const std::wstring file = writeFile("face.obj", std::string(kTriangle) + c.faceLine + "\n");
    TriangleMesh mesh;
    std::wostringstream msg;
    EXPECT_EQ(mesh.readObj(file, &msg), c.ok);
    EXPECT_EQ(mesh.loaded, c.ok);
    if (c.ok) {
        ASSERT_EQ(mesh.triangles.size(), 1u);
        EXPECT_EQ(mesh.triangles[0].indices[0], 0);
        EXPECT_EQ(mesh.triangles[0].indices[1], 1);
        EXPECT_EQ(mesh.triangles[0].indices[2], 2);
        EXPECT_EQ(msg.str(), L"");
    } else {
        EXPECT_EQ(msg.str(), L"ERROR: Error parsing line 5 of file " + quoted(file) + L"\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Obj, FaceForms,
    ::testing::Values(FaceCase{"f 1 2 3", true}, FaceCase{"f 1/4/7 2/5/8 3/6/9", true},
                      FaceCase{"f 1//7 2//8 3//9", true}, FaceCase{"f 1/1 2/2 3/3", true},
                      FaceCase{"f 1 2 3 4", true}, FaceCase{"f 1 2", false},
                      FaceCase{"f a b c", false}, FaceCase{"f 0 1 2", false},
                      FaceCase{"f -1 -2 -3", false}, FaceCase{"f 1 2 5", false},
                      FaceCase{"f 1 2 99999999999", false}, FaceCase{"f", false}));

TEST(Obj, FacesMayComeBeforeTheirVertices) {
    const std::wstring file =
        writeFile("faces-first.obj", "f 1 2 3\nf 4 3 2\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n");
    TriangleMesh mesh;
    std::wostringstream msg;
    ASSERT_TRUE(mesh.readObj(file, &msg)) << msg.str();
    EXPECT_EQ(msg.str(), L"");
    ASSERT_EQ(mesh.triangles.size(), 2u);
    EXPECT_EQ(mesh.triangles[1].indices[0], 3);
    EXPECT_EQ(mesh.triangles[1].normal, Vec3f(0, 0, 1));
    EXPECT_EQ(mesh.halfSize, Vec3f(0.5f, 0.5f, 0));
}

TEST(Obj, AnIndexBeyondTheWholeFilesVerticesFailsOnItsOwnLine) {
    // Line 2 names vertex 5, which no line of the file defines; line 3 is valid.
    const std::wstring file =
        writeFile("late-bad.obj", "f 1 2 3\nf 1 2 5\nf 4 3 2\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n");
    TriangleMesh mesh;
    std::wostringstream msg;
    EXPECT_FALSE(mesh.readObj(file, &msg));
    EXPECT_FALSE(mesh.loaded);
    EXPECT_EQ(msg.str(), L"ERROR: Error parsing line 2 of file " + quoted(file) + L"\n");
    // Only the faces before the failing one are kept: none names a missing vertex.
    EXPECT_EQ(mesh.triangles.size(), 1u);
}

TEST(Obj, TwoNumberVertexLineIsAParseError) {
    const std::wstring file = writeFile("v2.obj", "# c\nv 0 0 0\nv 1 2\n");
    TriangleMesh mesh;
    std::wostringstream msg;
    EXPECT_FALSE(mesh.readObj(file, &msg));
    EXPECT_EQ(msg.str(), L"ERROR: Error parsing line 3 of file " + quoted(file) + L"\n");
    EXPECT_EQ(mesh.vertices.size(), 1u);  // what was read so far stays
}

TEST(Obj, VertexLinesReadThreeNumbersFromTheirStart) {
    struct Case {
        const char* line;
        bool ok;
        Vec3f position;
    };
    const Case cases[] = {
        {"v 1 2.5 -3e1", true, {1, 2.5f, -30}},
        {"v\t1 2 3 1.0 0.5 0.5 0.5", true, {1, 2, 3}},  // a w and colours are ignored
        {"v 1 2 3mm", true, {1, 2, 3}},
        {"v 0.1 16777217.0000000001 0", true, {0.1f, 16777218.0f, 0}},  // rounded once
        {"v 1 2 3e", false, {}},    // a broken exponent
        {"v 1 1e39 0", false, {}},  // beyond a float's range
        {"v 1 nan 0", false, {}},
        {"v 1 0x2 0", false, {}},   // read as 0, then "x2" is no number
    };
    for (const Case& c : cases) {
        const std::wstring file = writeFile("vline.obj", std::string(c.line) + "\n");
        TriangleMesh mesh;
        std::wostringstream msg;
        // A file of vertices alone has no triangle: its reading stops at the mesh check.
        mesh.readObj(file, &msg);
        if (c.ok) {
            ASSERT_EQ(mesh.vertices.size(), 1u) << c.line;
            EXPECT_EQ(mesh.vertices[0].position, c.position) << c.line;
        } else {
            EXPECT_TRUE(mesh.vertices.empty()) << c.line;
            EXPECT_EQ(msg.str(), L"ERROR: Error parsing line 1 of file " + quoted(file) + L"\n")
                << c.line;
        }
    }
}

TEST(Obj, SkipsOtherTagsAndKeepsUnusedVertexNormalsZero) {
    const std::wstring file = writeFile(
        "tags.obj",
        "# comment\nmtllib a.mtl\no thing\ng grp\ns 1\nusemtl m\nvn 0 0 1\nvt 0.5 0.5\n"
        "v 0 0 0 1\nv 1 0 0 0.2 0.3 0.4\n\n   \nv 0 1 0\nv 5 5 5\nvertex 1 2 3\nf 1 2 3\n");
    TriangleMesh mesh;
    std::wostringstream msg;
    ASSERT_TRUE(mesh.readObj(file, &msg));
    EXPECT_EQ(msg.str(), L"");
    ASSERT_EQ(mesh.vertices.size(), 4u);
    EXPECT_EQ(mesh.vertices[3].normal, Vec3f(0, 0, 0));
    EXPECT_EQ(mesh.vertices[0].normal, Vec3f(0, 0, 1));
    EXPECT_EQ(mesh.triangles[0].normal, Vec3f(0, 0, 1));
    EXPECT_EQ(mesh.center, Vec3f(2.5f, 2.5f, 2.5f));
}

TEST(Obj, MissingFileAndEmptyFile) {
    TriangleMesh mesh;
    std::wostringstream msg;
    const std::wstring missing = L"/nonexistent/dir/x.obj";
    EXPECT_FALSE(mesh.readObj(missing, &msg));
    EXPECT_EQ(msg.str(), L"ERROR: Cannot open input file \"/nonexistent/dir/x.obj\"\n");
    EXPECT_FALSE(mesh.readObj(missing, nullptr));  // silent without a stream

    const std::wstring empty = writeFile("empty.obj", "");
    EXPECT_TRUE(mesh.readObj(empty, nullptr));
    EXPECT_TRUE(mesh.loaded);
    EXPECT_TRUE(mesh.vertices.empty());
}

TEST(Obj, WriteReadRoundTripIsBitExact) {
    TriangleMesh mesh = test::makeSphere({0.1f, -2.7f, 3.3f}, 1.2345678f, 7, 11);
    mesh.vertices[3].position.x = 1.0e-30f;
    mesh.vertices[4].position.y = -3.4e38f;
    const std::string path = tempPath("round.obj");
    const std::wstring file(path.begin(), path.end());
    std::wostringstream msg;
    ASSERT_TRUE(mesh.writeObj(file, &msg));
    TriangleMesh back;
    ASSERT_TRUE(back.readObj(file, &msg));
    EXPECT_EQ(msg.str(), L"");
    ASSERT_EQ(back.vertices.size(), mesh.vertices.size());
    ASSERT_EQ(back.triangles.size(), mesh.triangles.size());
    for (size_t n = 0; n < mesh.vertices.size(); ++n)
        EXPECT_EQ(back.vertices[n].position, mesh.vertices[n].position) << n;
    for (size_t n = 0; n < mesh.triangles.size(); ++n)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(back.triangles[n].indices[c], mesh.triangles[n].indices[c]);
}

TEST(Obj, NonAsciiFileNamesAreUtf8OnDisk) {
    const TriangleMesh mesh = test::makeSphere({0, 0, 0}, 1.0f, 5, 7);
    // "r\u00e9sultat.obj": the wide name as the command line decodes it.
    const std::string path = tempPath("r\xc3\xa9sultat.obj");
    const std::wstring file = std::wstring(path.begin(), path.end() - 13) + L"r\u00e9sultat.obj";
    std::wostringstream msg;
    ASSERT_TRUE(mesh.writeObj(file, &msg)) << msg.str();
    EXPECT_TRUE(std::filesystem::exists(path));
    TriangleMesh back;
    ASSERT_TRUE(back.readObj(file, &msg)) << msg.str();
    EXPECT_EQ(back.triangles.size(), mesh.triangles.size());
}

TEST(Obj, WriteFormatAndEmptyMesh) {
    TriangleMesh mesh;
    mesh.vertices.push_back({{1.5f, -2.0f, 0.0f}, {}});
    mesh.vertices.push_back({{0, 0, 0}, {}});
    mesh.vertices.push_back({{0, 1, 0}, {}});
    mesh.triangles.push_back({{0, 1, 2}, {}});
    const std::string path = tempPath("fmt.obj");
    const std::wstring file(path.begin(), path.end());
    ASSERT_TRUE(mesh.writeObj(file, nullptr));
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    EXPECT_EQ(s.str(),
              "v 1.50000000e+00 -2.00000000e+00 0.00000000e+00\n"
              "v 0.00000000e+00 0.00000000e+00 0.00000000e+00\n"
              "v 0.00000000e+00 1.00000000e+00 0.00000000e+00\n\nf 1 2 3\n");
    TriangleMesh empty;
    ASSERT_TRUE(empty.writeObj(file, nullptr));
    std::stringstream e;
    e << std::ifstream(path).rdbuf();
    EXPECT_EQ(e.str(), "\n");
    std::wostringstream msg;
    EXPECT_FALSE(empty.writeObj(L"/nonexistent/dir/out.obj", &msg));
    EXPECT_EQ(msg.str(), L"ERROR: Cannot create output file \"/nonexistent/dir/out.obj\": No such "
                         L"file or directory\n");
}

TEST(Geometry, CubeVolumeAndReversed) {
    TriangleMesh cube = test::makeBox({-1, -1, -1}, {1, 1, 1});
    EXPECT_FLOAT_EQ(cube.computeVolume(), 8.0f);
    EXPECT_FLOAT_EQ(cube.volume, 8.0f);
    TriangleMesh rev = test::makeBox({3, 4, 5}, {5, 6, 7}, true);
    EXPECT_FLOAT_EQ(rev.computeVolume(), -8.0f);
    for (const auto& v : cube.vertices) EXPECT_NEAR(length(v.normal), 1.0f, 1e-6f);
    // Corner normals point away from the centre.
    for (const auto& v : cube.vertices) EXPECT_GT(dot(v.normal, v.position), 0.0f);
}

TEST(Geometry, VertexNormalsWeighTrianglesByArea) {
    // Vertex 0 is shared by a large triangle in the xy-plane (normal +z, area 8) and a small one
    // in the xz-plane (normal +y, area 0.5): the sum of the unnormalised face normals is
    // (0, 1, 16); unit face normals would give (0, 1, 1) instead.
    TriangleMesh m;
    m.vertices = {{{0, 0, 0}, {}}, {{4, 0, 0}, {}}, {{0, 4, 0}, {}}, {{0, 0, 0.25f}, {}}};
    m.triangles = {{{0, 1, 2}, {}}, {{0, 3, 1}, {}}};
    m.updateNormals();
    const Vec3f expected = Vec3f(0, 1, 16) / length(Vec3f(0, 1, 16));
    EXPECT_NEAR(m.vertices[0].normal.y, expected.y, 1e-6f);
    EXPECT_NEAR(m.vertices[0].normal.z, expected.z, 1e-6f);
    EXPECT_EQ(m.vertices[2].normal, Vec3f(0, 0, 1));
}

TEST(Geometry, ScaleAndTransform) {
    TriangleMesh m = test::makeBox({1, 2, 3}, {2, 4, 7});
    m.scale(2.0f);
    EXPECT_EQ(m.center, Vec3f(3, 6, 10));
    EXPECT_EQ(m.halfSize, Vec3f(1, 2, 4));
    const float t[16] = {0, 1, 0, 10, -1, 0, 0, 0, 0, 0, 2, -1, 5, 5, 5, 5};
    m.transform(t);  // x' = y + 10, y' = -x, z' = 2z - 1; fourth row ignored
    EXPECT_EQ(m.center, Vec3f(16, -3, 19));
    EXPECT_EQ(m.halfSize, Vec3f(2, 1, 8));
    EXPECT_FLOAT_EQ(m.computeVolume(), 2 * 4 * 8 * 2.0f);
    EXPECT_EQ(m.triangles[0].normal,
              cross(m.vertices[size_t(m.triangles[0].indices[1])].position -
                        m.vertices[size_t(m.triangles[0].indices[0])].position,
                    m.vertices[size_t(m.triangles[0].indices[2])].position -
                        m.vertices[size_t(m.triangles[0].indices[0])].position));
}

}  // namespace
}  // namespace ostrel
