// One convention for every program: --help (exit 0) and --version on standard output, usage
// errors with exit code 2 and their message on standard error; and ostrel-voxelize's handling
// of STL, unreadable and doubtful meshes; input names that are no regular file.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "support/MeshBuilders.h"
#include "support/RunTestSupport.h"
#include "tools/InputChecks.h"

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
    {"ostrel-evaluate", OSTREL_EVALUATE_EXE, {"--bogus"}},
#ifdef OSTREL_EXE  // the interactive program is built only with the window layers
    {"ostrel-effectc", OSTREL_EFFECTC_EXE, {"a.fx"}},
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

// Every program the build puts into bin/ (tools, tests, benchmarks, test helpers) answers both
// without touching anything: the test helpers and the GoogleTest and Google Benchmark programs
// as much as the tools.
TEST(ToolConventions, EveryExecutableInBinAnswersHelpAndVersionWithoutSideEffects) {
    namespace fs = std::filesystem;
    const fs::path bin = fs::path(OSTREL_BATCH_EXE).parent_path();
    ScratchFolder folder("help-everywhere");
    int programs = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(bin)) {
        const fs::path path = entry.path();
        if (!entry.is_regular_file() || (entry.status().permissions() & fs::perms::owner_exec) ==
                                            fs::perms::none)
            continue;
        const std::string name = path.filename().string();
        ++programs;
        Child help(path.string(), {"--help"}, folder.path());
        EXPECT_EQ(help.finish(), 0) << name << help.err();
        EXPECT_NE(help.out(), "") << name;
        EXPECT_EQ(help.err(), "") << name;
        Child version(path.string(), {"--version"}, folder.path());
        EXPECT_EQ(version.finish(), 0) << name << version.err();
        EXPECT_EQ(version.out(), name + " " + OSTREL_VERSION_TEXT + "\n") << name;
        EXPECT_EQ(version.err(), "") << name;
        for (const fs::directory_entry& left : fs::directory_iterator(folder.path()))
            ADD_FAILURE() << name << " left " << left.path();
    }
    EXPECT_GE(programs, 10) << "the tools, the tests and the benchmarks in " << bin;
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

// mpirun -n N on a tool without --engine petsc would run the whole problem N times over: the
// launcher's variables give the count, and the tools refuse with a usage error (help and
// version still answer).
TEST(ToolConventions, ToolsThatALauncherStartedSeveralTimesRefuseToRunAlike) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> variables;
        int processes;
    };
    const Case cases[] = {
        {"no launcher", {}, 1},
        {"Open MPI", {{"OMPI_COMM_WORLD_SIZE", "4"}}, 4},
        {"PMI (srun)", {{"PMI_SIZE", "16"}}, 16},
        {"one process", {{"OMPI_COMM_WORLD_SIZE", "1"}}, 1},
        {"Open MPI first", {{"OMPI_COMM_WORLD_SIZE", "2"}, {"PMI_SIZE", "8"}}, 2},
        {"no count", {{"OMPI_COMM_WORLD_SIZE", "two"}, {"PMI_SIZE", ""}}, 1},
        {"a count and more", {{"OMPI_COMM_WORLD_SIZE", "3x"}}, 1},
        {"zero", {{"PMI_SIZE", "0"}}, 1},
        {"negative", {{"PMI_SIZE", "-2"}}, 1},
        {"beyond an int", {{"PMI_SIZE", "99999999999999999999"}}, 1},
    };
    for (const Case& c : cases) {
        const auto environment = [&c](const char* name) -> const char* {
            for (const auto& [key, value] : c.variables)
                if (key == name) return value.c_str();
            return nullptr;
        };
        EXPECT_EQ(launchedProcesses(environment), c.processes) << c.name;
    }
    EXPECT_EQ(launchedTogetherError("ostrel-batch", 1), "");
    const std::string twice =
        "ERROR: ostrel-solve is one of 2 processes that mpirun or srun started, each of which "
        "would run the whole problem alone: give --engine petsc to share it among them, or "
        "start ostrel-solve without mpirun";
    EXPECT_EQ(launchedTogetherError("ostrel-solve", 2), twice);

    ::setenv("OMPI_COMM_WORLD_SIZE", "2", 1);
    const struct {
        const char* name;
        const char* exe;
        std::vector<std::string> args;
    } tools[] = {{"ostrel-batch", OSTREL_BATCH_EXE, {"scene.txt"}},
                 {"ostrel-solve", OSTREL_SOLVE_EXE,
                  {"--size", "8", "4", "4", "--voxel", "0.125", "--levels", "3", "--tolerance",
                   "0.01"}}};
    for (const auto& tool : tools) {
        Child run(tool.exe, tool.args);
        EXPECT_EQ(run.finish(), 2) << tool.name;
        EXPECT_EQ(run.err(), launchedTogetherError(tool.name, 2) + "\n") << tool.name;
        EXPECT_EQ(run.out(), "") << tool.name;
        Child help(tool.exe, {"--help"});
        EXPECT_EQ(help.finish(), 0) << tool.name;
    }
    ::unsetenv("OMPI_COMM_WORLD_SIZE");
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
    // Binary STL by the name's ending (the reader goes by the content): an 80-byte header, the
    // count, 50 bytes per triangle.
    EXPECT_EQ(std::filesystem::file_size(folder / "surface.stl"), 84 + 50 * surface.triangles.size());
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
    std::string err;
    std::string out = voxelize({(folder / "picture.png").string(), "0.1"}, code, &err);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "ERROR: File \"" + (folder / "picture.png").string() +
                       "\" is neither an OBJ file nor an STL file (binary or ASCII)\n");
    out = voxelize({(folder / "empty.obj").string(), "0.1"}, code, &err);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, "ERROR: The mesh \"" + (folder / "empty.obj").string() + "\" has no triangles\n");
    out = voxelize({(folder / "open.obj").string(), "0.25"}, code, &err);
    EXPECT_NE(err.find("WARNING: The mesh \"" + (folder / "open.obj").string() +
                       "\" is open: 4 edges belong to one triangle only; "),
              std::string::npos)
        << err;
    out = voxelize({(folder / "pair.obj").string(), "0.25"}, code, &err);
    EXPECT_EQ(code, 0);
    EXPECT_NE(err.find("WARNING: The voxel model falls into 2 pieces that share no vertex "
                       "(sizes 64, 64 voxels)"),
              std::string::npos)
        << err;
    out = voxelize({(folder / "pair.obj").string(), "-0.5"}, code, &err);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("ERROR: Invalid voxel size \"-0.5\"\n", 0), 0u) << err;
}

}  // namespace
}  // namespace ostrel

namespace ostrel {
namespace {

// ---- one stream rule for every tool ----
// Results on standard output; errors, warnings and progress on standard error; exit status 0
// done, 1 a failed run, 2 a wrong command line.

struct StreamCase {
    const char* name;
    std::string program;
    std::vector<std::string> args;  ///< "{dir}" stands for the scratch folder
    int exitCode;
    std::vector<std::string> out;  ///< beginnings of lines that standard output must hold
    std::vector<std::string> err;  ///< the same for standard error
};

bool isMessage(const std::string& line) {
    return line.rfind("ERROR: ", 0) == 0 || line.rfind("WARNING: ", 0) == 0;
}
bool isProgress(const std::string& line) {
    return std::regex_search(line, std::regex("^Iteration [0-9]+/[0-9]+  "));
}
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
bool holdsLine(const std::vector<std::string>& lines, const std::string& head) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(head, 0) == 0; });
}

TEST(ToolConventions, ResultsOnStandardOutputMessagesAndProgressOnStandardError) {
    ScratchFolder folder("streams");
    testing::writeCantileverScene(folder.path(), 16);
    std::string mesh = testing::readFile(folder / "beam.obj");
    mesh.erase(mesh.find("f 1 2 6\n"), 8);  // a hole in the side y = 0
    std::ofstream(folder / "open.obj") << mesh;
    std::ofstream(folder / "lint.txt") << testing::readFile(folder / "scene.txt") << "COLOUR: blue\n";
    std::string text = testing::readFile(folder / "scene.txt");
    text.erase(text.find("FIXED_VERTICES: "), text.find("FORCES: ") - text.find("FIXED_VERTICES: "));
    std::ofstream(folder / "unfixed.txt") << text;
    text = testing::readFile(folder / "scene.txt");
    text.erase(text.find("FORCES: "));
    std::ofstream(folder / "unloaded.txt") << text;

    const std::string batch = OSTREL_BATCH_EXE, voxelize = OSTREL_VOXELIZE_EXE,
                      makeScene = OSTREL_MAKE_SCENE_EXE, solve = OSTREL_SOLVE_EXE;
    const std::vector<std::string> one = {"--device", "host", "--threads", "1"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), one.begin(), one.end());
        return args;
    };
    const StreamCase cases[] = {
        {"voxelize, open mesh", voxelize, {"{dir}/open.obj", "0.25"}, 0,
         {"Triangles: 11, ", "Occupied voxels: ", "Read: "}, {"WARNING: The mesh "}},
        {"voxelize, missing mesh", voxelize, {"{dir}/none.obj", "0.25"}, 1, {},
         {"ERROR: Cannot open input file "}},
        {"voxelize, bad size", voxelize, {"{dir}/open.obj", "x"}, 2, {},
         {"ERROR: Invalid voxel size "}},
        {"make-scene, load on fixed vertices", makeScene,
         {"--mesh", "{dir}/beam.obj", "--voxel", "0.125", "--levels", "3", "--fix", "x=0",
          "--load", "x=0", "0", "0", "-1", "-o", "{dir}/made.txt"},
         1, {"Mesh #Triangles: 12", "Fix \"x=0\": 25 vertices"},
         {"WARNING: 25 of the 25 vertices of load \"x=0\" are fixed",
          "ERROR: No force acts on a vertex that is not fixed: "}},
        {"make-scene, nothing fixed", makeScene,
         {"--mesh", "{dir}/beam.obj", "--voxel", "0.125", "--levels", "3", "-o", "{dir}/u.txt"},
         1, {}, {"ERROR: No vertex is fixed"}},
        {"make-scene, missing mesh", makeScene,
         {"--mesh", "{dir}/none.obj", "--voxel", "0.125", "--fix", "x=0", "-o", "{dir}/m.txt"}, 1,
         {}, {"ERROR: Cannot open input file "}},
        {"solve, tolerance missed", solve,
         with({"--size", "8", "4", "4", "--voxel", "0.125", "--levels", "3", "--tolerance",
               "1e-300"}),
         1, {"Compliance: ", "Cycles: 200 (not converged)", "Split copies: "}, {}},
        {"batch, quiet, unknown key", batch, with({"{dir}/lint.txt", "-n", "2", "-q", "-o", "{dir}/a"}),
         0, {"Iterations: 2 (0 to 1)", "Final shape: "},
         {"WARNING: Unknown key \"COLOUR\"", "Iteration 1/2  ", "Iteration 2/2  "}},
        {"batch, console", batch, with({"{dir}/scene.txt", "-n", "1", "-o", "{dir}/b"}), 0,
         {"Mesh #Triangles: 12", "Time SOLVE (total): ", "Iterations: 1 (0 to 0)"},
         {"Iteration 1/1  "}},
        {"batch, missing scene", batch, with({"{dir}/none.txt"}), 1, {},
         {"ERROR: Cannot open file ", "ERROR: Cannot load scene "}},
        {"batch, singular", batch, with({"{dir}/unfixed.txt", "-n", "3", "-o", "{dir}/c"}), 1,
         {"Mesh #Triangles: 12"},
         {"WARNING: Solver has not converged", "ERROR: The system is singular: ",
          "Iteration 1/3  "}},
        {"batch, no force", batch, with({"{dir}/unloaded.txt", "-n", "3", "-o", "{dir}/d"}), 1,
         {"Mesh #Triangles: 12"}, {"ERROR: No force acts on the model: "}},
        {"effect compiler, missing effect", OSTREL_EFFECTC_EXE,
         {"glslangValidator", "{dir}/none.fx", "{dir}/none.cso"}, 1, {},
         {"ERROR: effect file "}},
        {"effect compiler, wrong command line", OSTREL_EFFECTC_EXE, {"one"}, 2, {},
         {"ERROR: ", "Usage: ostrel-effectc "}},
        {"interactive program without a display", "/usr/bin/env",
         {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", OSTREL_EXE, "-SCENE", "{dir}/scene.txt"}, 1,
         {}, {"ERROR: Cannot open the Ostrel window: "}},
    };
    for (const StreamCase& c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string& a : args)
            for (size_t at; (at = a.find("{dir}")) != std::string::npos;)
                a.replace(at, 5, folder.path().string());
        Child child(c.program, args, folder.path());
        EXPECT_EQ(child.finish(), c.exitCode) << c.name << "\n" << child.err();
        const std::vector<std::string> out = linesOf(child.out()), err = linesOf(child.err());
        for (const std::string& line : out)
            EXPECT_FALSE(isMessage(line) || isProgress(line)) << c.name << ": on stdout: " << line;
        // Standard error holds messages, progress lines and the usage after a usage error.
        for (const std::string& line : err)
            EXPECT_TRUE(isMessage(line) || isProgress(line) || c.exitCode == 2)
                << c.name << ": on stderr: " << line;
        for (const std::string& head : c.out)
            EXPECT_TRUE(holdsLine(out, head)) << c.name << ": no \"" << head << "\" in\n"
                                              << child.out();
        for (const std::string& head : c.err)
            EXPECT_TRUE(holdsLine(err, head)) << c.name << ": no \"" << head << "\" in\n"
                                              << child.err();
    }
}

// An input name that is a FIFO (opening it waits for a writer for ever), a device that never
// ends, or a folder is refused at once by every program, before anything opens it.
TEST(ToolConventions, InputsThatAreNoRegularFilesAreRefusedAtOnce) {
    ScratchFolder folder("no-regular-file");
    const std::string fifo = (folder / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string scene = testing::writeCantileverScene(folder.path(), 8).string();
    std::string text = testing::readFile(scene);
    text.replace(text.find("MESH: beam.obj"), 14, "MESH: fifo");
    std::ofstream(folder / "fifo-mesh.txt") << text;
    const std::string out = (folder / "out").string();
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> args;
        std::string input;  ///< the name the message gives
        bool exact;         ///< standard error is the message and `after`, nothing else
        std::string after;
    };
    std::vector<Case> cases;
    for (const std::string& input : {fifo, std::string("/dev/zero"), folder.path().string()}) {
        cases.push_back({"batch", OSTREL_BATCH_EXE, {input, "-q", "-o", out}, input, true,
                         "ERROR: Cannot load scene \"" + input + "\"\n"});
        cases.push_back({"evaluate", OSTREL_EVALUATE_EXE,
                         {"--scene", scene, "--densities", input}, input, true, ""});
        cases.push_back({"make-scene", OSTREL_MAKE_SCENE_EXE,
                         {"--mesh", input, "--voxel", "0.1", "-o", out + ".txt"}, input, false,
                         ""});
        cases.push_back({"voxelize", OSTREL_VOXELIZE_EXE, {input, "0.05"}, input, false, ""});
    }
    cases.push_back({"scene's mesh", OSTREL_BATCH_EXE,
                     {(folder / "fifo-mesh.txt").string(), "-q", "-o", out}, fifo, false, ""});
    for (const Case& c : cases) {
        Child child(c.program, c.args);
        const int status = child.finishWithin(30);
        ASSERT_NE(status, Child::kHung) << c.name << " " << c.input << " hangs";
        EXPECT_EQ(status, 1) << c.name << " " << c.input << child.err();
        const std::string line = "ERROR: File \"" + c.input + "\" is not a regular file\n";
        EXPECT_NE(child.err().find(line), std::string::npos) << c.name << " " << child.err();
        if (c.exact) {
            EXPECT_EQ(child.err(), line + c.after) << c.name;
        }
        EXPECT_FALSE(std::filesystem::exists(out + ".txt")) << c.name;
    }
}

}  // namespace
}  // namespace ostrel
