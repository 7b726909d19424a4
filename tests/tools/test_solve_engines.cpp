// ostrel-solve's --scene and --engine: a scene's problem solved by the single-process solver and
// by the many-process engine (one rank, started without mpirun) gives the same compliance; the
// command lines that mix the options wrongly, and --engine petsc in a build without the engine,
// end with their usage errors.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

constexpr bool kPetscBuilt = OSTREL_PETSC_BUILT;

// The number printed after "<label>: ".
std::string valueOf(const std::string& out, const std::string& label) {
    const size_t at = ("\n" + out).find("\n" + label + ": ");
    if (at == std::string::npos) return {};
    const size_t from = at + label.size() + 2;
    return out.substr(from, out.find('\n', from) - from);
}

/// Open MPI's consent to start as root (the suite runs as root in CI).
void allowRoot() {
    ::setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
    ::setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
}

TEST(SolveEngines, SceneGivesTheSameComplianceOnBothEngines) {
    if (!kPetscBuilt) GTEST_SKIP() << "built without the many-process engine";
    allowRoot();
    // A ring of about a thousand elements, fixed at x = 0 and loaded at x = max.
    ScratchFolder folder("solve-engines");
    std::filesystem::copy_file(std::filesystem::path(OSTREL_SOURCE_DIR) / "examples/ring/torus.obj",
                               folder.path() / "torus.obj");
    Child make(OSTREL_MAKE_SCENE_EXE,
               {"--mesh", "torus.obj", "--scale-to", "2.6", "--voxel", "0.12", "--levels", "3",
                "--fix", "x=0", "--load", "x=max", "0", "0", "-1000", "-o", "ring.txt"},
               folder.path());
    ASSERT_EQ(make.finish(), 0) << make.err();
    const std::string scene = (folder.path() / "ring.txt").string();
    Child single(OSTREL_SOLVE_EXE, {"--scene", scene, "--tolerance", "1e-8", "--device", "host",
                                    "--threads", "1", "--solver", "pcg"});
    ASSERT_EQ(single.finish(), 0) << single.err();
    Child engine(OSTREL_SOLVE_EXE, {"--engine", "petsc", "--scene", scene, "--tolerance", "1e-8"});
    ASSERT_EQ(engine.finish(), 0) << engine.err();
    const double expected = std::stod(valueOf(single.out(), "Compliance"));
    const double got = std::stod(valueOf(engine.out(), "Compliance"));
    EXPECT_GT(expected, 0);
    EXPECT_NEAR(got, expected, 1e-6 * expected) << engine.out();
    EXPECT_LE(std::stod(valueOf(engine.out(), "Relative residual")), 1e-8);
    EXPECT_NE(engine.out().find("\nEngine: petsc, 1 rank, 3 multigrid levels"), std::string::npos)
        << engine.out();
}

TEST(SolveEngines, OptionsThatDoNotGoTogether) {
    allowRoot();
    const std::vector<std::string> cantilever = {"--size", "8", "4", "4", "--voxel", "1",
                                                 "--levels", "3", "--tolerance", "0.1"};
    auto with = [&](std::vector<std::string> front, std::vector<std::string> back = {}) {
        front.insert(front.end(), cantilever.begin(), cantilever.end());
        front.insert(front.end(), back.begin(), back.end());
        return front;
    };
    struct UsageCase {
        std::vector<std::string> args;
        std::string error;
    };
    std::vector<UsageCase> cases = {
        {with({}, {"--", "-ksp_monitor"}), "ERROR: PETSc options (after --) need --engine petsc\n"},
        {with({"--engine", "parallel"}), "ERROR: Invalid value for --engine\n"},
        {with({"--scene", "scene.txt"}),
         "ERROR: --scene takes no --size, --levels, --voxel, --largest or --profile\n"},
        {{"--scene", "scene.txt"}, "ERROR: Missing argument\n"},
        {{"--engine"}, "ERROR: --engine needs 1 value(s)\n"},
    };
    if (kPetscBuilt) {
        for (const char* option : {"--profile", "--largest"})
            cases.push_back({with({"--engine", "petsc", option}),
                             "ERROR: --engine petsc takes no --largest, --profile, --device, "
                             "--threads or --solver\n"});
        cases.push_back({with({"--engine", "petsc", "--solver", "pcg"}),
                         "ERROR: --engine petsc takes no --largest, --profile, --device, "
                         "--threads or --solver\n"});
    } else {
        cases.push_back({with({"--engine", "petsc"}),
                         "ERROR: --engine petsc: this build has no many-process engine (it was "
                         "built without PETSc and MPI; scripts/setup installs them)\n"});
    }
    for (const UsageCase& c : cases) {
        Child solve(OSTREL_SOLVE_EXE, c.args);
        EXPECT_EQ(solve.finish(), 2) << c.error;
        EXPECT_EQ(solve.err().rfind(c.error, 0), 0u) << solve.err();
        EXPECT_EQ(solve.out(), "");
    }
}

}  // namespace
}  // namespace ostrel
