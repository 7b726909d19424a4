// One convention for every program: --help (exit 0) and --version on standard output, usage
// errors with exit code 2 and their message on standard error; and ostrel-voxelize's handling
// of STL, unreadable and doubtful meshes.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "support/MeshBuilders.h"
#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

struct Program {
    const char* name;
    std::string path;
    std::vector<std::string> badUsage;  ///< empty: the program has no usage errors
};

const Program kPrograms[] = {
    {"ostrel-batch", OSTREL_BATCH_EXE, {"--bogus"}},
    {"ostrel-voxelize", OSTREL_VOXELIZE_EXE, {"mesh.obj"}},
    {"ostrel-make-scene", OSTREL_MAKE_SCENE_EXE, {"--voxel", "0.1"}},
    {"ostrel-solve", OSTREL_SOLVE_EXE, {"--size", "4", "4"}},
#ifdef OSTREL_EXE  // the interactive program is built only with the window layers
    // The interactive program's own command line ignores what it does not know.
    {"ostrel", OSTREL_EXE, {}},
#endif
};

TEST(ToolConventions, HelpVersionAndUsageErrors) {
    for (const Program& p : kPrograms) {
        Child help(p.path, {"--help"});
        EXPECT_EQ(help.finish(), 0) << p.name;
        EXPECT_EQ(help.err(), "") << p.name;
        if (std::string(p.name) == "ostrel") {
            EXPECT_EQ(help.out(),
                      "\nParameters: -SCENE (<scene file name>) -PROFILE (<#time steps>) (<#time "
                      "steps to skip>) -CPU (<#threads>) -AFFINITY (<affinity mask>) -HELP\n\n");
        } else {
            EXPECT_EQ(help.out().rfind(std::string("Usage: ") + p.name + " ", 0), 0u)
                << p.name << help.out();
        }

        Child version(p.path, {"--version"});
        EXPECT_EQ(version.finish(), 0) << p.name;
        EXPECT_EQ(version.out(), std::string(p.name) + " " + OSTREL_VERSION_TEXT + "\n");
        EXPECT_EQ(version.err(), "") << p.name;

        if (p.badUsage.empty())
            continue;
        Child usage(p.path, p.badUsage);
        EXPECT_EQ(usage.finish(), 2) << p.name;
        EXPECT_EQ(usage.out(), "") << p.name;
        EXPECT_EQ(usage.err().rfind("ERROR: ", 0), 0u) << p.name << usage.err();
        EXPECT_NE(usage.err().find(std::string("Try '") + p.name + " --help'"), std::string::npos)
            << p.name << usage.err();
    }
}

TEST(ToolConventions, SolveExitCodes) {
    Child converged(OSTREL_SOLVE_EXE,
                    {"--size", "8", "4", "4", "--voxel", "0.125", "--levels", "3", "--tolerance",
                     "0.01", "--device", "host", "--threads", "1"});
    EXPECT_EQ(converged.finish(), 0) << converged.err();
    Child missed(OSTREL_SOLVE_EXE, {"--size", "8", "4", "4", "--voxel", "0.125", "--levels", "3",
                                    "--tolerance", "1e-300", "--device", "host", "--threads", "1"});
    EXPECT_EQ(missed.finish(), 1);
    EXPECT_NE(missed.out().find("Cycles: 200 (not converged)"), std::string::npos);
}

std::string voxelize(const std::vector<std::string>& args, int& code, std::string* err = nullptr) {
    Child child(OSTREL_VOXELIZE_EXE, args);
    code = child.finish();
    if (err)
        *err = child.err();
    return child.out();
}

TEST(VoxelizeTool, StlInAndOutWithTheSameVoxelsAsObj) {
    ScratchFolder folder("voxelize");
    const TriangleMesh sphere = test::makeSphere({1, 2, 3}, 0.5f, 12, 16);
    ASSERT_TRUE(sphere.writeObj(fromUtf8((folder / "s.obj").string()), nullptr));
    ASSERT_TRUE(writeStl(sphere, fromUtf8((folder / "s.stl").string()), nullptr));
    int code = 0;
    const std::string obj = voxelize({(folder / "s.obj").string(), "0.1"}, code);
    EXPECT_EQ(code, 0) << obj;
    const std::string stl =
        voxelize({(folder / "s.stl").string(), "0.1", (folder / "surface.stl").string()}, code);
    EXPECT_EQ(code, 0) << stl;
    auto line = [](const std::string& text, const std::string& head) {
        const size_t at = text.find(head);
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    for (const char* head : {"Triangles: ", "Volume: ", "Grid resolution: ", "Occupied voxels: "})
        EXPECT_EQ(line(stl, head), line(obj, head)) << head;
    EXPECT_NE(line(obj, "Occupied voxels: "), "");
    EXPECT_EQ(stl.find("WARNING"), std::string::npos) << stl;
    TriangleMesh surface;
    ASSERT_TRUE(readMeshFile(surface, fromUtf8((folder / "surface.stl").string()), nullptr));
    EXPECT_EQ(testing::edgePairingFault(surface), "");
    EXPECT_GT(surface.computeVolume(), 0.0f);
}

TEST(VoxelizeTool, UnreadableEmptyAndDoubtfulMeshes) {
    ScratchFolder folder("voxelize-bad");
    std::ofstream(folder / "picture.png", std::ios::binary)
        << std::string("\x89PNG\r\n\x1a\n\0\0", 10);
    std::ofstream(folder / "empty.obj") << "# nothing here\n";
    // An open box (its top removed) and two cubes half a voxel apart.
    TriangleMesh open = test::makeBox({0, 0, 0}, {1, 1, 1});
    open.triangles.erase(open.triangles.begin() + 2, open.triangles.begin() + 4);
    ASSERT_TRUE(open.writeObj(fromUtf8((folder / "open.obj").string()), nullptr));
    TriangleMesh pair = test::makeBox({0, 0, 0}, {1, 1, 1});
    const TriangleMesh other = test::makeBox({1.5f, 0, 0}, {2.5f, 1, 1});
    for (MeshTriangle t : other.triangles) {
        for (int32_t& i : t.indices)
            i += 8;
        pair.triangles.push_back(t);
    }
    pair.vertices.insert(pair.vertices.end(), other.vertices.begin(), other.vertices.end());
    ASSERT_TRUE(pair.writeObj(fromUtf8((folder / "pair.obj").string()), nullptr));

    int code = 0;
    std::string out = voxelize({(folder / "picture.png").string(), "0.1"}, code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out, "ERROR: File \"" + (folder / "picture.png").string() +
                       "\" is neither an OBJ file nor an STL file (binary or ASCII)\n");
    out = voxelize({(folder / "empty.obj").string(), "0.1"}, code);
    EXPECT_EQ(code, 1);
    EXPECT_NE(
        out.find("ERROR: The mesh \"" + (folder / "empty.obj").string() + "\" has no triangles\n"),
        std::string::npos)
        << out;
    out = voxelize({(folder / "open.obj").string(), "0.25"}, code);
    EXPECT_NE(out.find("WARNING: The mesh \"" + (folder / "open.obj").string() +
                       "\" is open: 4 edges belong to one triangle only; "),
              std::string::npos)
        << out;
    out = voxelize({(folder / "pair.obj").string(), "0.25"}, code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("WARNING: The voxel model falls into 2 pieces that share no vertex "
                       "(sizes 64, 64 voxels)"),
              std::string::npos)
        << out;
    std::string err;
    out = voxelize({(folder / "pair.obj").string(), "-0.5"}, code, &err);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("ERROR: Invalid voxel size \"-0.5\"\n", 0), 0u) << err;
}

}  // namespace
}  // namespace ostrel
