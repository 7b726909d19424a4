// The problem built from a loaded scene and the programs' shared start-up: supports and loads
// applied with their warnings, design controls and their overrides, refusals as values, the
// start-up's line for a scene that cannot be loaded (the window and the batch tool print it).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "optimization/MemoryEstimate.h"
#include "optimization/Problem.h"
#include "optimization/ProblemStart.h"
#include "scene/Scene.h"
#include "support/RunTestSupport.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;

/// The cantilever scene of 8 x 2 x 2 voxels with the "KEY: value" lines of `extra` in place of
/// the file's lines of the same key (or appended).
std::wstring cantileverScene(const ScratchFolder& folder, const std::string& extra = "") {
    const std::filesystem::path file = testing::writeCantileverScene(folder.path(), 8);
    std::vector<std::string> lines;
    {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    std::istringstream replacements(extra);
    for (std::string line; std::getline(replacements, line);) {
        const std::string key = line.substr(0, line.find(':') + 1);
        auto same = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind(key, 0) == 0;
        });
        if (same != lines.end())
            *same = line;
        else
            lines.push_back(line);
    }
    std::ofstream out(file, std::ios::trunc);
    for (const std::string& line : lines) out << line << "\n";
    return fromUtf8(file.string());
}

ProblemOptions onHost() {
    ProblemOptions options;
    options.device = DeviceOptions{true, 1};
    return options;
}

TEST(Problem, TheListedSupportsAndLoadsAreTheModels) {
    ScratchFolder folder("problem");
    Scene scene;
    std::wostringstream log;
    ASSERT_TRUE(scene.loadScene(cantileverScene(folder), &log)) << toUtf8(log.str());
    const ProblemBuild built = buildProblem(scene, onHost(), &log);
    ASSERT_EQ(built.status, ProblemStatus::Built) << toUtf8(log.str());
    EXPECT_EQ(log.str(), L"");
    const Problem& problem = *built.problem;
    const FemModel& m = problem.model();
    // The x = 0 face (3 x 3 grid points) fixed, the lower edge of the free end (3 points) loaded.
    EXPECT_EQ(std::count(m.fixedFlags().begin(), m.fixedFlags().end(), 1), 9);
    const SupportsAndLoads current = problem.supportsAndLoads();
    const SupportsAndLoads& listed = scene.listedSupportsAndLoads();
    EXPECT_EQ(current.fixed.size(), 9u);
    ASSERT_EQ(current.forces.size(), 3u);
    // The model lists them in vertex order: the same set as the file's.
    auto sorted = [](std::vector<GridPoint> points) {
        std::sort(points.begin(), points.end(), [](const GridPoint& a, const GridPoint& b) {
            return std::tie(a.z, a.y, a.x) < std::tie(b.z, b.y, b.x);
        });
        return points;
    };
    EXPECT_EQ(sorted(current.fixed), sorted(listed.fixed));
    for (const PointForce& f : current.forces) {
        EXPECT_EQ(f.at.x, 8);
        EXPECT_EQ(f.at.z, 0);
        EXPECT_NEAR(f.fz, -100.0 / 3, 1e-4);
        const int v = m.vertexAt(0, {f.at.x, f.at.y, f.at.z});
        EXPECT_EQ(m.forces()[3 * size_t(v) + 2], f.fz);
    }
    // The regions of the scene's controls: the loaded and fixed corners' elements held.
    EXPECT_EQ(problem.controls().volumeFraction, scene.designControls_.volumeFraction);
    EXPECT_EQ(problem.regions().keptAtVertices, 4 + 2);
}

TEST(Problem, GridPointsWithoutAVertexAndUnreadableListsAreWarnedAboutAndPassedOver) {
    ScratchFolder folder("problem");
    Scene scene;
    std::wostringstream log;
    ASSERT_TRUE(scene.loadScene(
        cantileverScene(folder, "FIXED_VERTICES: 0 0 0  40 1 1  0 1 x\n"
                                "FORCES: 8 0 0 0 0 -1  9 9 9 1 1 1  8 1 0 1 2 z\n"),
        &log));
    EXPECT_TRUE(scene.listedSupportsAndLoads().fixedUnreadable);
    EXPECT_TRUE(scene.listedSupportsAndLoads().forcesUnreadable);
    const ProblemBuild built = buildProblem(scene, onHost(), &log);
    ASSERT_EQ(built.status, ProblemStatus::Built);
    EXPECT_EQ(log.str(),
              L"WARNING: Vertex fixation: No vertex found at position 40 1 1\n"
              L"WARNING: Error while parsing vertex fixation\n"
              L"WARNING: Vertex fixation: No vertex found at position 9 9 9\n"
              L"WARNING: Error while parsing forces\n");
    const SupportsAndLoads current = built.problem->supportsAndLoads();
    EXPECT_EQ(current.fixed, (std::vector<GridPoint>{{0, 0, 0}}));
    EXPECT_EQ(current.forces, (std::vector<PointForce>{{{8, 0, 0}, 0, 0, -1}}));
}

TEST(Problem, ListsAreReadNumberByNumberUntilOneFails) {
    // The list, what it gives and whether the reading stopped early (the parsing warning).
    struct Case {
        const char* fixed;
        std::vector<GridPoint> points;
        bool unreadable;
    };
    const Case fixed[] = {
        {"0 0 0  1 1 1  2", {{0, 0, 0}, {1, 1, 1}}, false},  // a cut-short last triple: dropped
        {"0 0 0 \t1 0 0\t ", {{0, 0, 0}, {1, 0, 0}}, false},
        {"0 0 0  1.5 0 0", {{0, 0, 0}}, true},  // a grid coordinate stops at the point
        {"0 0 0  99999999999 0 0", {{0, 0, 0}}, true},
        {"0 0 0  1 1 x", {{0, 0, 0}}, true},
    };
    struct ForceCase {
        const char* forces;
        std::vector<PointForce> listed;
        bool unreadable;
    };
    const ForceCase forces[] = {
        {"8 0 0 0 0 -1  ", {{{8, 0, 0}, 0, 0, -1}}, false},
        {"8 0 0 0 0 -1 N", {{{8, 0, 0}, 0, 0, -1}}, true},  // a unit word is no number here
        {"8 0 0 0 0 1e39", {}, true},                       // beyond a float's range
        {"8 0 0 0 0 -1e", {}, true},                        // a broken exponent
        {"8 0 0 0.1 0 16777217.0000000001", {{{8, 0, 0}, 0.1f, 0, 16777218.0f}}, false},
    };
    ScratchFolder folder("lists");
    for (const Case& c : fixed) {
        Scene scene;
        std::wostringstream log;
        ASSERT_TRUE(scene.loadScene(
            cantileverScene(folder, std::string("FIXED_VERTICES: ") + c.fixed + "\n"), &log));
        EXPECT_EQ(scene.listedSupportsAndLoads().fixed, c.points) << c.fixed;
        EXPECT_EQ(scene.listedSupportsAndLoads().fixedUnreadable, c.unreadable) << c.fixed;
    }
    for (const ForceCase& c : forces) {
        Scene scene;
        std::wostringstream log;
        ASSERT_TRUE(scene.loadScene(
            cantileverScene(folder, std::string("FORCES: ") + c.forces + "\n"), &log));
        EXPECT_EQ(scene.listedSupportsAndLoads().forces, c.listed) << c.forces;
        EXPECT_EQ(scene.listedSupportsAndLoads().forcesUnreadable, c.unreadable) << c.forces;
    }
}

TEST(Problem, OverridesReplaceTheScenesControls) {
    struct Case {
        const char* name;
        DesignOverrides overrides;
        double volumeFraction, filterRadius;
        bool radiusGiven;
        int projection;
        double minMember = 0;
    };
    const DesignControls scene{};
    const Case cases[] = {
        {"none", {}, scene.volumeFraction, scene.filterRadius, false, 0},
        {"volume", {0.25, 0, false}, 0.25, scene.filterRadius, false, 0},
        {"radius", {0, 3, false}, scene.volumeFraction, 3, true, 0},
        {"projection", {0, 0, true}, scene.volumeFraction, scene.filterRadius, false, 1},
        {"all", {0.5, 2, true}, 0.5, 2, true, 1},
        {"member", {0, 0, false, 3}, scene.volumeFraction, 3 / 0.885, true, 0, 3},
    };
    for (const Case& c : cases) {
        const DesignControls got = overriddenControls(scene, c.overrides);
        EXPECT_EQ(got.volumeFraction, c.volumeFraction) << c.name;
        EXPECT_DOUBLE_EQ(got.filterRadius, c.filterRadius) << c.name;
        EXPECT_EQ(got.filterRadiusGiven, c.radiusGiven) << c.name;
        EXPECT_EQ(got.projection, c.projection) << c.name;
        EXPECT_EQ(got.minMember, c.minMember) << c.name;
    }
    // A radius on the command line drops the scene's minimum member size; a minimum member
    // size replaces the scene's radius.
    DesignControls member;
    member.minMember = 4;
    member.filterRadius = DesignControls::memberFilterRadius(4);
    member.filterRadiusGiven = true;
    const DesignControls radius = overriddenControls(member, {0, 2.5, false});
    EXPECT_EQ(radius.minMember, 0.0);
    EXPECT_EQ(radius.filterRadius, 2.5);
    DesignControls given;
    given.filterRadius = 1.5;
    given.filterRadiusGiven = true;
    const DesignControls sized = overriddenControls(given, {0, 0, false, 2});
    EXPECT_EQ(sized.minMember, 2.0);
    EXPECT_DOUBLE_EQ(sized.filterRadius, 2 / 0.885);
    ScratchFolder folder("problem");
    Scene loaded;
    std::wostringstream log;
    ASSERT_TRUE(loaded.loadScene(cantileverScene(folder, "OPTIMIZATION_PROJECTION: 1\n"), &log));
    ProblemOptions options = onHost();
    options.overrides.volumeFraction = 0.2;
    const ProblemBuild built = buildProblem(loaded, options, &log);
    ASSERT_EQ(built.status, ProblemStatus::Built);
    EXPECT_EQ(built.problem->controls().volumeFraction, 0.2);
    EXPECT_EQ(built.problem->controls().projection, 1) << "the scene's, not overridden";
}

TEST(Problem, TheSolverRunsTheOptionsMethod) {
    ScratchFolder folder("problem");
    Scene scene;
    std::wostringstream log;
    ASSERT_TRUE(scene.loadScene(cantileverScene(folder), &log)) << toUtf8(log.str());
    for (const SolveMethod method : {SolveMethod::VCycles, SolveMethod::ConjugateGradients}) {
        ProblemOptions options = onHost();
        options.solver = method;
        const ProblemBuild built = buildProblem(scene, options, &log);
        ASSERT_EQ(built.status, ProblemStatus::Built) << toUtf8(log.str());
        EXPECT_EQ(built.problem->solver().solveMethod(), method);
    }
}

TEST(Problem, RefusalsAreValuesWithTheirLine) {
    struct Case {
        const char* name;
        std::string extra;
        double memoryLimit;
        std::wstring start;
    };
    const Case cases[] = {
        {"levels", "NUM_LEVELS: 13\n", 0, L"ERROR: #Levels must be between 3 and 12, not 13\n"},
        {"memory", "", 1000, L"ERROR: The voxel model needs"},
    };
    for (const Case& c : cases) {
        ScratchFolder folder("problem");
        Scene scene;
        std::wostringstream log;
        ASSERT_TRUE(scene.loadScene(cantileverScene(folder, c.extra), &log)) << c.name;
        ProblemOptions options = onHost();
        options.memoryLimit = {c.memoryLimit, L"test limit"};
        const ProblemBuild built = buildProblem(scene, options, &log);
        EXPECT_EQ(built.status, ProblemStatus::Refused) << c.name;
        EXPECT_EQ(built.problem, nullptr) << c.name;
        EXPECT_EQ(log.str().substr(0, c.start.size()), c.start) << c.name;
    }
}

// One process of the many-process engine holds the whole model and design and its share of the
// distributed solve: its estimate falls with the processes, stays above the peaks measured on
// the box cantilever (bench/petsc-engine.sh's problem, 2 design iterations with the final
// files, each process's peak less the 38 MiB that the libraries and MPI take at 1 024
// elements) and within twice them, and is above the single-process program's, which has no
// distributed solve to hold.
TEST(Problem, TheEnginesEstimateIsOneProcesssShareAndCoversWhatItWasMeasuredToUse) {
    struct Case {
        int n;                  // the box is 2n x n x n elements
        int levels;
        int processes;
        double measuredMiB;    // the largest process's peak less 38 MiB
    };
    const Case cases[] = {
        {32, 4, 1, 111.7 - 38}, {32, 4, 2, 90.3 - 38},  {32, 4, 4, 76.1 - 38},
        {64, 5, 1, 600.7 - 38}, {64, 5, 2, 406.3 - 38}, {64, 5, 4, 294.6 - 38},
    };
    double previous = HUGE_VAL;
    for (const Case& c : cases) {
        SceneSize size;
        size.voxelGrid = {2 * c.n, c.n, c.n};
        size.extent = {2.0 * c.n, double(c.n), double(c.n)};
        size.elements = 2.0 * c.n * c.n * c.n;
        size.vertices = (2.0 * c.n + 1) * (c.n + 1) * (c.n + 1);
        size.levels = c.levels;
        const double single = estimateSceneBytes(size);
        EXPECT_EQ(engineSolveBytes(size), 0.0);
        size.processes = c.processes;
        const double engine = estimateSceneBytes(size);
        const double measured = c.measuredMiB * 1024 * 1024;
        EXPECT_GE(engine, measured) << c.n << " on " << c.processes;
        EXPECT_LE(engine, 2 * measured) << c.n << " on " << c.processes;
        EXPECT_GT(engine, single) << c.n << " on " << c.processes;
        EXPECT_GT(engineSolveBytes(size), 0.0);
        if (c.processes > 1) {
            EXPECT_LT(engine, previous) << c.n << " on " << c.processes;
        }
        previous = engine;
        // Half the processes, twice each one's share of the solve.
        SceneSize fewer = size;
        fewer.processes = std::max(1, c.processes / 2);
        EXPECT_NEAR(engineSolveBytes(fewer) * fewer.processes,
                    engineSolveBytes(size) * size.processes, 1.0);
    }
}

// A refusal's proposal judged by sizes that count less than the refused one (the elements of a
// mesh whose orientation is mixed, estimated from its cancelled volume) is still coarser than
// the refused voxel size; judged by sizes that agree with it, it fits.
TEST(Problem, ARefusalNeverProposesTheVoxelSizeItRefused) {
    SceneSize size;
    size.voxelGrid = {64, 32, 32};
    size.extent = {64, 32, 32};
    size.elements = 64.0 * 32 * 32;
    size.vertices = 65.0 * 33 * 33;
    const double need = estimateSceneBytes(size);
    const auto scaled = [&size](double factor, double share) {
        SceneSize s = size;
        s.voxelGrid = {int(std::ceil(64 / factor)), int(std::ceil(32 / factor)),
                       int(std::ceil(32 / factor))};
        s.extent = {double(s.voxelGrid.x), double(s.voxelGrid.y), double(s.voxelGrid.z)};
        s.elements = std::max(1.0, share * size.elements / std::pow(factor, 3));
        s.vertices = std::max(8.0, share * size.vertices / std::pow(factor, 3));
        return s;
    };
    const MemoryLimit limit{need / 3, L"test limit"};
    for (const double share : {1.0, 0.25, 1e-6}) {
        const std::wstring error = memoryError(
            size, {1, 1, 1}, limit, [&](double factor) { return scaled(factor, share); });
        const std::wstring mark = L"a voxel size of ";
        const size_t at = error.find(mark);
        ASSERT_NE(at, std::wstring::npos) << toUtf8(error);
        const double proposed = std::stod(error.substr(at + mark.size()));
        EXPECT_GT(proposed, 1.05) << share;
        if (share == 1.0) {
            EXPECT_LE(estimateSceneBytes(scaled(proposed, 1.0)), limit.bytes) << share;
        }
    }
}

TEST(ProblemStart, AnUnloadableSceneGivesTheBatchToolsLine) {
    ScratchFolder folder("problem");
    const std::string missing = (folder / "missing \"scene\".txt").string();
    ::testing::internal::CaptureStdout();
    const StartedProblem started = startProblem(missing, StartOptions{onHost(), true});
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(started.status, StartStatus::CannotLoad);
    EXPECT_EQ(started.error,
              "ERROR: Cannot load scene \"" + (folder / "missing \\\"scene\\\".txt").string() + "\"");
    EXPECT_EQ(started.problem, nullptr);

    // A problem that is refused is a scene that cannot be loaded, with the same line.
    const std::string refused = toUtf8(cantileverScene(folder, "NUM_LEVELS: 2\n"));
    ::testing::internal::CaptureStdout();
    const StartedProblem levels = startProblem(refused, StartOptions{onHost(), true});
    const std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(levels.status, StartStatus::CannotLoad);
    EXPECT_EQ(levels.error, "ERROR: Cannot load scene \"" + refused + "\"");
    EXPECT_NE(console.find("ERROR: #Levels must be between 3 and 12, not 2\n"), std::string::npos)
        << console;
}

TEST(ProblemStart, AStartedProblemHasNoGravityAndNothingUnsaved) {
    ScratchFolder folder("problem");
    const std::string file =
        toUtf8(cantileverScene(folder, "GRAVITY: 0 0 -9.81\nVOXEL_SIZ: 1 1 1\n"));
    for (const bool report : {true, false}) {
        ::testing::internal::CaptureStdout();
        const StartedProblem started = startProblem(file, StartOptions{onHost(), report});
        const std::string console = ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(started.status, StartStatus::Started) << console;
        EXPECT_EQ(started.error, "");
        const FemModel& m = started.problem->model();
        EXPECT_EQ(m.gravity().x, 0);
        EXPECT_EQ(m.gravity().z, 0) << "the loads are the applied forces only";
        EXPECT_TRUE(started.scene->unsavedEdits(started.problem->supportsAndLoads()).empty());
        // The lint, the summary and the material note only when asked for.
        const bool lint = console.find("WARNING: Unknown key \"VOXEL_SIZ\"") != std::string::npos;
        const bool summary = console.find("# #Elements: 32, #Vertices: 81, #DOFs: 243\n") !=
                             std::string::npos;
        const bool note = console.find("WARNING: ELASTIC_MODULUS, POISSON_RATIO") !=
                          std::string::npos;
        EXPECT_EQ(lint, report) << console;
        EXPECT_EQ(summary, report) << console;
        EXPECT_EQ(note, report) << console;
    }
}

}  // namespace
}  // namespace ostrel
