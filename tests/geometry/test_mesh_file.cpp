// Mesh files: the format chosen by content, binary and ASCII STL read with welded vertices,
// binary STL written and read back, malformed files refused with their message, and the
// boundary-edge count of open surfaces.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <bit>
#include <csignal>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/Console.h"
#include "geometry/MeshChecks.h"
#include "geometry/MeshFile.h"
#include "support/MeshBuilders.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;

/// ASCII STL of a mesh, written by the test itself (one facet per triangle, corners repeated).
std::string asciiStl(const TriangleMesh& mesh, const char* name = "part") {
    std::ostringstream s;
    s.precision(9);
    s << "solid " << name << "\n";
    for (const MeshTriangle& t : mesh.triangles) {
        s << "  facet normal 0 0 0\n    outer loop\n";
        for (int c = 0; c < 3; ++c) {
            const Vec3f p = mesh.vertices[size_t(t.indices[c])].position;
            s << "      vertex " << p.x << ' ' << p.y << ' ' << p.z << "\n";
        }
        s << "    endloop\n  endfacet\n";
    }
    s << "endsolid " << name << "\n";
    return s.str();
}

void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::wstring wide(const std::filesystem::path& p) {
    return fromUtf8(p.string());
}

/// Same positions and triangles up to a renumbering of the vertices.
void expectSameSurface(const TriangleMesh& a, const TriangleMesh& b) {
    ASSERT_EQ(a.vertices.size(), b.vertices.size());
    ASSERT_EQ(a.triangles.size(), b.triangles.size());
    for (size_t t = 0; t < a.triangles.size(); ++t)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(a.vertices[size_t(a.triangles[t].indices[c])].position,
                      b.vertices[size_t(b.triangles[t].indices[c])].position);
}

TEST(MeshFileFormat, ChosenByContent) {
    std::string binary(84, ' ');
    binary.replace(0, 5, "solid");  // a binary header may begin with "solid" too
    binary[80] = 2;
    binary[81] = binary[82] = binary[83] = 0;
    const std::string twoTriangles = binary + std::string(100, '\0');
    struct Case {
        const char* name;
        std::string head;
        uint64_t size;
        MeshFileFormat format;
    };
    const Case cases[] = {
        {"binary, size matches", twoTriangles, 184, MeshFileFormat::BinaryStl},
        {"binary, one byte short", twoTriangles.substr(0, 183), 183, MeshFileFormat::Unknown},
        {"ascii", "solid part\n  facet normal 0 0 1\n", 1000, MeshFileFormat::AsciiStl},
        {"ascii, blanks first", "\n  solid\n", 9, MeshFileFormat::AsciiStl},
        {"obj", "v 0 0 0\nv 1 0 0\n", 16, MeshFileFormat::Obj},
        {"obj starting with solidity", "solidity 1\nv 0 0 0\n", 19, MeshFileFormat::Obj},
        {"empty", "", 0, MeshFileFormat::Obj},
        {"zip or other binary", std::string("PK\3\4\0\0", 6), 6, MeshFileFormat::Unknown},
    };
    for (const Case& c : cases)
        EXPECT_EQ(detectMeshFileFormat(c.head, c.size), c.format) << c.name;
}

class StlRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(StlRoundTrip, BinaryAndAsciiGiveTheClosedWeldedMesh) {
    const std::string shape = GetParam();
    const TriangleMesh original = shape == "box" ? test::makeBox({-1, 2, 0.5f}, {3, 2.5f, 1.75f})
                                                 : test::makeSphere({1, -2, 3}, 0.7f, 12, 20);
    ASSERT_TRUE(test::isClosedAndOriented(original));
    ScratchFolder folder("stl");
    std::wostringstream log;

    ASSERT_TRUE(writeStl(original, wide(folder / "part.stl"), &log)) << toUtf8(log.str());
    const std::string bytes = testing::readFile(folder / "part.stl");
    ASSERT_EQ(bytes.size(), 84 + 50 * original.triangles.size());
    EXPECT_NE(bytes.rfind("solid", 0), 0u) << "a binary header must not look like ASCII STL";

    writeBytes(folder / "part.txt", asciiStl(original));  // the extension does not matter
    for (const char* name : {"part.stl", "part.txt"}) {
        TriangleMesh read;
        ASSERT_TRUE(readMeshFile(read, wide(folder / name), &log)) << name << toUtf8(log.str());
        EXPECT_TRUE(read.loaded);
        expectSameSurface(read, original);
        EXPECT_TRUE(test::isClosedAndOriented(read)) << name;
        EXPECT_EQ(boundaryEdgeCount(read), 0u) << name;
        EXPECT_FLOAT_EQ(read.computeVolume(), TriangleMesh(original).computeVolume()) << name;
        EXPECT_EQ(read.center, original.center);
        EXPECT_EQ(read.halfSize, original.halfSize);
        for (const MeshVertex& v : read.vertices)
            EXPECT_NEAR(length(v.normal), 1.0f, 1e-5f);
    }
    EXPECT_EQ(log.str(), L"");
}

INSTANTIATE_TEST_SUITE_P(Shapes, StlRoundTrip, ::testing::Values("box", "sphere"));

TEST(StlFile, WrittenNormalsAreUnitAndOutward) {
    const TriangleMesh box = test::makeBox({0, 0, 0}, {1, 2, 3});
    ScratchFolder folder("stl-normals");
    ASSERT_TRUE(writeStl(box, wide(folder / "box.stl"), nullptr));
    const std::string bytes = testing::readFile(folder / "box.stl");
    for (size_t t = 0; t < box.triangles.size(); ++t) {
        float n[3];
        for (int a = 0; a < 3; ++a) {
            uint32_t bits;
            std::memcpy(&bits, bytes.data() + 84 + 50 * t + 4 * size_t(a), 4);
            n[a] = std::bit_cast<float>(bits);
        }
        const Vec3f normal{n[0], n[1], n[2]};
        EXPECT_NEAR(length(normal), 1.0f, 1e-6f);
        const Vec3f expected = box.triangles[t].normal / length(box.triangles[t].normal);
        EXPECT_NEAR(dot(normal, expected), 1.0f, 1e-6f);
    }
}

TEST(StlFile, WeldingTreatsNegativeZeroAsZeroAndKeepsFirstAppearanceOrder) {
    TriangleMesh mesh;
    for (Vec3f p : {Vec3f{0, 0, 0}, Vec3f{1, 0, 0}, Vec3f{0, 1, 0}, Vec3f{-0.0f, 1, 0},
                    Vec3f{1, 0, -0.0f}, Vec3f{1, 1, 0}})
        mesh.vertices.push_back({p, {}});
    mesh.triangles = {{{0, 1, 2}, {}}, {{3, 4, 5}, {}}};
    weldVertices(mesh);
    ASSERT_EQ(mesh.vertices.size(), 4u);
    EXPECT_EQ(mesh.vertices[3].position, Vec3f(1, 1, 0));
    EXPECT_EQ(mesh.triangles[1].indices[0], 2);
    EXPECT_EQ(mesh.triangles[1].indices[1], 1);
    EXPECT_EQ(mesh.triangles[1].indices[2], 3);
}

TEST(StlFile, AsciiVariantsThatRead) {
    const std::string facet =
        "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\n"
        "endfacet\n";
    struct Case {
        const char* name;
        std::string text;
        size_t triangles;
    };
    const Case cases[] = {
        {"no endsolid at the end", "solid\n" + facet, 1},
        {"upper case, CR LF",
         "SOLID A\r\nFACET NORMAL 0 0 1\r\nOUTER LOOP\r\nVERTEX 0 0 0\r\n"
         "VERTEX 1 0 0\r\nVERTEX 0 1 0\r\nENDLOOP\r\nENDFACET\r\nENDSOLID A\r\n",
         1},
        {"two solids", "solid a\n" + facet + "endsolid a\nsolid b\n" + facet + "endsolid b\n", 2},
        {"empty solid", "solid nothing\nendsolid nothing\n", 0},
    };
    for (const Case& c : cases) {
        TriangleMesh mesh;
        std::wostringstream log;
        EXPECT_TRUE(readAsciiStl(mesh, c.text, L"t.stl", &log)) << c.name << toUtf8(log.str());
        EXPECT_EQ(mesh.triangles.size(), c.triangles) << c.name;
        EXPECT_EQ(mesh.vertices.size(), c.triangles ? 3u : 0u) << c.name;
    }
}

TEST(StlFile, MalformedFilesAreRefusedWithTheirMessage) {
    ScratchFolder folder("stl-bad");
    const TriangleMesh box = test::makeBox({0, 0, 0}, {1, 1, 1});
    ASSERT_TRUE(writeStl(box, wide(folder / "box.stl"), nullptr));
    const std::string good = testing::readFile(folder / "box.stl");
    std::string nan = good;
    const uint32_t nanBits = std::bit_cast<uint32_t>(std::nanf(""));
    std::memcpy(nan.data() + 84 + 50 * 3 + 12 + 4, &nanBits, 4);  // triangle 4, corner 1, y

    const std::string head = "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n";
    struct Case {
        const char* name;
        std::string bytes;
        std::wstring message;  // after the file name
    };
    const Case cases[] = {
        {"truncated binary", good.substr(0, good.size() - 1),
         L" is neither an OBJ file nor an STL file (binary or ASCII): read as binary STL, its "
         L"header announces 12 triangles (684 bytes), but the file has 683 bytes"},
        {"binary with NaN", nan, L"!Triangle 4"},
        {"two corners", head + "vertex 1 0 0\nendloop\n", L"@6"},
        {"four corners", head + "vertex 1 0 0\nvertex 0 1 0\nvertex 1 1 0\n", L"@7"},
        {"letters for a coordinate", head + "vertex 1 x 0\n", L"@5"},
        {"infinite coordinate", head + "vertex 1 1e39 0\n", L"@5"},
        {"ends inside a facet", head + "vertex 1 0 0\nvertex 0 1 0\n", L"@6"},
        {"unknown keyword", "solid t\nfacet normal 0 0 1\nouter loop\npoint 0 0 0\n", L"@4"},
        {"facet outside a solid", "solid t\nendsolid t\nfacet normal 0 0 1\n", L"@3"},
    };
    for (const Case& c : cases) {
        const auto file = folder / "bad.stl";
        writeBytes(file, c.bytes);
        TriangleMesh mesh;
        std::wostringstream log;
        EXPECT_FALSE(readMeshFile(mesh, wide(file), &log)) << c.name;
        EXPECT_FALSE(mesh.loaded) << c.name;
        const std::wstring name = quoted(wide(file));
        std::wstring expected;
        if (c.message[0] == L'@')
            expected = L"ERROR: Error parsing line " + c.message.substr(1) + L" of file " + name;
        else if (c.message[0] == L'!')
            expected = L"ERROR: " + c.message.substr(1) + L" of file " + name +
                       L" has a coordinate that is not a finite number";
        else
            expected = L"ERROR: File " + name + c.message;
        EXPECT_EQ(log.str(), expected + L"\n") << c.name;
    }
    TriangleMesh mesh;
    std::wostringstream log;
    EXPECT_FALSE(readMeshFile(mesh, wide(folder / "none.stl"), &log));
    EXPECT_EQ(log.str(),
              L"ERROR: Cannot open input file " + quoted(wide(folder / "none.stl")) + L"\n");
}

TEST(StlFile, ObjStillReadsThroughTheSameEntry) {
    ScratchFolder folder("obj-entry");
    const TriangleMesh box = test::makeBox({0, 0, 0}, {1, 1, 1});
    ASSERT_TRUE(box.writeObj(wide(folder / "box.obj"), nullptr));
    TriangleMesh read;
    ASSERT_TRUE(readMeshFile(read, wide(folder / "box.obj"), nullptr));
    expectSameSurface(read, box);
}

// A write that fails part-way (a file-size limit stands in for a full disk, for root too) names
// the system's reason in either format, and leaves neither a file nor a temporary behind.
TEST(ShapeWriters, AFailedWriteNamesTheReason) {
    ScratchFolder folder("shape-write-limit");
    const TriangleMesh box = test::makeBox({0, 0, 0}, {1, 1, 1});
    struct Case {
        const char* file;
        bool (*write)(const TriangleMesh&, const std::wstring&, std::wostream*);
    } cases[] = {
        {"box.obj", [](const TriangleMesh& m, const std::wstring& f, std::wostream* log) {
             return m.writeObj(f, log);
         }},
        {"box.stl", [](const TriangleMesh& m, const std::wstring& f, std::wostream* log) {
             return writeStl(m, f, log);
         }},
    };
    for (const Case& c : cases) {
        const std::wstring file = wide(folder / c.file);
        auto writeUnderLimit = [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = 64;
            setrlimit(RLIMIT_FSIZE, &limit);
            std::wostringstream log;
            const bool written = c.write(box, file, &log);
            const bool reported = log.str() == L"ERROR: Error writing output file " +
                                                   quoted(file) + L": File too large\n";
            std::exit(!written && reported ? 0 : 1);
        };
        EXPECT_EXIT(writeUnderLimit(), ::testing::ExitedWithCode(0), "") << c.file;
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder.path())) << "a file or temporary left behind";
}

TEST(StlFile, WriteFailureLeavesNoFile) {
    ScratchFolder folder("stl-write");
    std::wostringstream log;
    const auto file = folder / "no" / "box.stl";
    EXPECT_FALSE(writeStl(test::makeBox({0, 0, 0}, {1, 1, 1}), wide(file), &log));
    EXPECT_EQ(log.str(), L"ERROR: Cannot create output file " + quoted(wide(file)) +
                             L": No such file or directory\n");
}

TEST(MeshChecks, BoundaryEdgesOfOpenSurfaces) {
    const TriangleMesh closed = test::makeBox({0, 0, 0}, {1, 1, 1});
    EXPECT_EQ(boundaryEdgeCount(closed), 0u);
    TriangleMesh oneGone = closed;
    oneGone.triangles.pop_back();
    EXPECT_EQ(boundaryEdgeCount(oneGone), 3u);
    TriangleMesh faceGone = closed;  // both triangles of the last quad: a square hole
    faceGone.triangles.resize(faceGone.triangles.size() - 2);
    EXPECT_EQ(boundaryEdgeCount(faceGone), 4u);
    TriangleMesh single;
    single.vertices = {{{0, 0, 0}, {}}, {{1, 0, 0}, {}}, {{0, 1, 0}, {}}};
    single.triangles = {{{0, 1, 2}, {}}};
    EXPECT_EQ(boundaryEdgeCount(single), 3u);
    // STL corners welded: a closed STL has no boundary, the same triangles unwelded have all.
    TriangleMesh unwelded;
    for (const MeshTriangle& t : closed.triangles) {
        MeshTriangle copy = t;
        for (int c = 0; c < 3; ++c) {
            copy.indices[c] = int32_t(unwelded.vertices.size());
            unwelded.vertices.push_back(closed.vertices[size_t(t.indices[c])]);
        }
        unwelded.triangles.push_back(copy);
    }
    EXPECT_EQ(boundaryEdgeCount(unwelded), 36u);
    weldVertices(unwelded);
    EXPECT_EQ(boundaryEdgeCount(unwelded), 0u);
}

}  // namespace
}  // namespace ostrel
