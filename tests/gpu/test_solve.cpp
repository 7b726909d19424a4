// Solving on the host device: agreement with a direct CHOLMOD solve of the whole level-0 system,
// the residual lines, the cycle limit, the zero load, the warm start and the singular case.
// With OSTREL_TEST_DEVICE=cuda the solves of these tests run on the CUDA driver instead (the
// suite runs them so once more through the driver stand-in, see tests/gpu/CMakeLists.txt).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>

#include "core/Console.h"
#include "fem/CoarseSolver.h"
#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "gpu/SolveChecks.h"
#include "gpu/SolverTestSupport.h"

namespace ostrel {
namespace {

using testing::directSolve;
using testing::relativeError;
using testing::residualLines;
using testing::Solver;

class SolveAgainstDirect : public ::testing::TestWithParam<int> {};

TEST_P(SolveAgainstDirect, AgreesWithCholesky) {
    Solver s(16, 6, 6, GetParam());
    s.fem->computeLoad();
    s.fem->prepareSolve();
    ASSERT_TRUE(s.fem->solve(1e-6));
    auto lines = residualLines(s.narrow.str());
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.back(), 1e-6);
    // The first cycle starts from zero with a coarse correction of a coarse grid; from the
    // second cycle on every cycle reduces the residual.
    for (size_t i = 2; i < lines.size(); ++i) EXPECT_LT(lines[i], lines[i - 1]) << i;
    EXPECT_EQ(s.cycles.str(), std::to_string(lines.size()) + "\n");
    EXPECT_EQ(s.fem->lastCycles(), int(lines.size()));

    // The error is bounded by the residual times the condition number; on this model it is
    // about 1e-8, so ten times the tolerance leaves ample room and catches any wrong operator.
    EXPECT_LT(relativeError(directSolve(*s.model), s.model->displacement()), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(Levels, SolveAgainstDirect, ::testing::Values(3, 4));

TEST(Solve, AStopRequestEndsTheSolveAfterTheCycleThatSawItAndKeepsTheLastDisplacements) {
    Solver s(16, 6, 6, 3);
    s.fem->computeLoad();
    s.fem->prepareSolve();
    ASSERT_TRUE(s.fem->solve(1e-2));
    const std::vector<double> finished = s.model->displacement();
    const std::string finishedCycles = s.cycles.str();
    ASSERT_FALSE(s.fem->lastSolveStopped());

    // A tolerance that takes far more than the cycles the request allows: asked after every
    // cycle, the request stops the solve right after the cycle that first sees it set.
    for (int allowed : {1, 2, 5}) {
        int asked = 0;
        s.fem->setStopRequest([&] { return ++asked >= allowed; });
        s.narrow.str("");
        EXPECT_FALSE(s.fem->solve(1e-12)) << allowed;
        EXPECT_TRUE(s.fem->lastSolveStopped());
        EXPECT_EQ(asked, allowed);
        EXPECT_EQ(s.fem->lastCycles(), allowed);
        EXPECT_EQ(residualLines(s.narrow.str()).size(), size_t(allowed));
        EXPECT_EQ(s.cycles.str(), finishedCycles) << "no cycle count for a stopped solve";
        EXPECT_EQ(s.model->displacement(), finished) << "u_ keeps the last finished solve's displacements";
    }
    // A request that never comes changes nothing; a solve that converges is not stopped even
    // when the request comes with its last cycle.
    s.fem->setStopRequest([] { return false; });
    EXPECT_TRUE(s.fem->solve(1e-2));
    EXPECT_FALSE(s.fem->lastSolveStopped());
    s.fem->setStopRequest([] { return true; });
    s.model->clearDisplacement();
    EXPECT_TRUE(s.fem->solve(0.5));
    EXPECT_FALSE(s.fem->lastSolveStopped());
    EXPECT_EQ(s.fem->lastCycles(), 1);
}

TEST(Solve, PrintsSystemLines) {
    Solver s(8, 4, 4, 3);
    const bool host = s.fem->driver().isHost();
    if (host) {
        EXPECT_EQ(s.fem->deviceName(), "Host CPU (2 threads)");
    }
    const std::string name = s.fem->deviceName();
    EXPECT_NE(s.wide.str().find(L"#Devices: 1\nCUDA device #0 (" + fromUtf8(name) + L"):  Global Mem: "),
              std::wstring::npos);
    const std::string n = s.narrow.str();
    EXPECT_EQ(n.rfind("Using CUDA device #0 (" + name + ") ...\nAllocated GPU memory: ", 0), 0u)
        << n;
    std::ostringstream expected;
    double bytes = double(s.fem->allocatedBytes());
    expected << "Allocated GPU memory: " << bytes / 1048576.0 << " MB   ("
             << bytes / s.model->numElements(0) << " Byte per element)\n";
    EXPECT_NE(n.find(expected.str()), std::string::npos) << n;
}

TEST(Solve, UnreachableToleranceStopsAfter200Cycles) {
    Solver s(6, 3, 3, 3);
    s.fem->computeLoad();
    s.fem->prepareSolve();
    EXPECT_FALSE(s.fem->solve(0.0));
    EXPECT_EQ(residualLines(s.narrow.str()).size(), 200u);
    EXPECT_EQ(s.cycles.str(), "200\n");
}

TEST(Solve, ZeroLoadReturnsAtOnce) {
    Solver s(6, 3, 3, 3);
    s.model->clearForces();
    EXPECT_EQ(s.fem->computeLoad(), 0.0);
    s.fem->prepareSolve();
    s.model->setDisplacement(std::vector<double>(s.model->displacement().size(), 5.0));
    EXPECT_TRUE(s.fem->solve(0.01));
    EXPECT_TRUE(residualLines(s.narrow.str()).empty());
    EXPECT_EQ(s.cycles.str(), "");
    for (double u : s.model->displacement()) EXPECT_EQ(u, 0.0);
}

TEST(Solve, SecondSolveStartsFromFirstSolution) {
    Solver s(12, 4, 4, 3);
    s.fem->computeLoad();
    s.fem->prepareSolve();
    ASSERT_TRUE(s.fem->solve(1e-3));
    const auto first = residualLines(s.narrow.str());
    s.narrow.str("");
    s.fem->prepareSolve();
    ASSERT_TRUE(s.fem->solve(1e-3));
    const auto second = residualLines(s.narrow.str());
    ASSERT_FALSE(second.empty());
    EXPECT_LT(second.front(), first.front());
    EXPECT_LT(second.size(), first.size());
}

TEST(Solve, NothingFixedWarnsAndFails) {
    Solver s(6, 3, 3, 3);
    s.model->clearFixations();
    s.fem->computeLoad();
    s.fem->prepareSolve();
    EXPECT_FALSE(s.fem->coarseFactorValid());
    const std::string n = s.narrow.str();
    EXPECT_NE(n.find("\nWARNING: "), std::string::npos);
    EXPECT_FALSE(s.fem->solve(1e-3));
    EXPECT_EQ(s.cycles.str(), "0\n");
}

TEST(Solve, OneFixedVertexIsSingularAndTheWarningSaysWhy) {
    // One fixed vertex leaves the rotations about it free: fixed vertices exist, but too few.
    Solver s(6, 3, 3, 3);
    s.model->clearFixations();
    s.model->setFixed(0, true);
    s.fem->computeLoad();
    s.fem->prepareSolve();
    ASSERT_FALSE(s.fem->coarseFactorValid());
    const std::string n = s.narrow.str();
    EXPECT_EQ(n.substr(n.find("\nWARNING: ") + 1),
              "WARNING: The coarsest-level system is singular (the fixed vertices do not hold "
              "the model in place); the solver cannot converge\n");
}

TEST(Solve, FixationsThatLeaveARigidBodyModeFreeAreSingular) {
    // A 6 x 3 x 3 cantilever with 3 levels, fixed in different ways. Singular ones leave a
    // rigid-body mode free (a rotation about a hinge line or a point); the others hold the
    // model, even by as little as three vertices not on one line.
    using Points = std::vector<std::array<int, 3>>;
    struct Case {
        const char* name;
        Points fixed;
        bool singular;
    };
    Points edge, endEdge, diagonal, face;
    for (int x = 0; x <= 6; ++x) edge.push_back({x, 0, 0});
    for (int z = 0; z <= 3; ++z) endEdge.push_back({0, 0, z});
    for (int t = 0; t <= 3; ++t) diagonal.push_back({t, t, t});
    for (int z = 0; z <= 3; ++z)
        for (int y = 0; y <= 3; ++y) face.push_back({0, y, z});
    const Case cases[] = {
        {"hinge_along_an_edge", edge, true},
        {"hinge_along_an_edge_of_the_end", endEdge, true},
        {"hinge_along_a_diagonal", diagonal, true},
        {"two_corners", {{0, 0, 0}, {6, 3, 3}}, true},
        {"one_corner", {{6, 3, 0}}, true},
        {"end_face", face, false},
        {"three_corners", {{0, 0, 0}, {6, 0, 0}, {0, 3, 3}}, false},
        {"edge_and_a_point", [&] { Points p = edge; p.push_back({0, 3, 0}); return p; }(), false},
    };
    for (const Case& c : cases) {
        Solver s(6, 3, 3, 3);
        FemModel& m = *s.model;
        m.clearFixations();
        for (const auto& p : c.fixed) m.setFixed(m.vertexAt(0, {p[0], p[1], p[2]}), true);
        s.fem->computeLoad();
        s.fem->prepareSolve();
        EXPECT_EQ(s.fem->coarseFactorValid(), !c.singular) << c.name;
        if (c.singular) {
            // Warned once, and no cycles: solve fails at once with a zero displacement.
            const std::string n = s.narrow.str();
            EXPECT_NE(n.find("\nWARNING: The coarsest-level system is singular"), std::string::npos)
                << c.name;
            m.setDisplacement(std::vector<double>(m.displacement().size(), 1.0));
            EXPECT_FALSE(s.fem->solve(0.01)) << c.name;
            EXPECT_TRUE(residualLines(s.narrow.str()).empty()) << c.name;
            EXPECT_EQ(s.cycles.str(), "0\n") << c.name;
            EXPECT_EQ(s.fem->lastCycles(), 0) << c.name;
            for (double u : m.displacement()) ASSERT_EQ(u, 0.0) << c.name;
        } else {
            EXPECT_TRUE(s.fem->solve(0.01)) << c.name;
            EXPECT_GT(compliance(m), 0.0) << c.name;
        }
    }
}

TEST(Solve, TheRigidBodyCheckRunsOnlyWhenTheFixationsChange) {
    // The cantilever's fixations, then an edit in place as the editor makes (a hinge instead
    // of the fixed end), then the end fixed again: every change reaches the next prepareSolve,
    // and unchanged fixations are not checked again.
    Solver s(6, 3, 3, 3);
    FemModel& m = *s.model;
    s.fem->computeLoad();
    const std::vector<uint8_t> cantilever = m.fixedFlags();
    struct Step {
        const char* name;
        bool hinge;
        bool valid;
        int checks;  // rigid-body checks run so far
    };
    const Step steps[] = {
        {"cantilever", false, true, 1},  {"unchanged", false, true, 1},
        {"hinge", true, false, 2},       {"unchanged hinge", true, false, 2},
        {"end fixed again", false, true, 3},
    };
    for (const Step& step : steps) {
        if (step.hinge) {
            m.clearFixations();
            for (int x = 0; x <= 6; ++x) m.setFixed(m.vertexAt(0, {x, 0, 0}), true);
        } else {
            for (int v = 0; v < m.numVertices(0); ++v) m.setFixed(v, cantilever[size_t(v)] != 0);
        }
        s.narrow.str("");
        s.fem->prepareSolve();
        EXPECT_EQ(s.fem->coarseFactorValid(), step.valid) << step.name;
        EXPECT_EQ(s.narrow.str().find("WARNING: The coarsest-level system is singular") !=
                      std::string::npos,
                  !step.valid)
            << step.name;
        EXPECT_EQ(s.fem->coarseSystem().fixationCheck.evaluations(), step.checks) << step.name;
        EXPECT_EQ(s.fem->solve(1e-3), step.valid) << step.name;
    }
}

TEST(Solve, FixedVerticesStayPutUnderGravity) {
    Solver s(12, 4, 4, 3);
    s.model->setGravity({0, 0, -9.81});
    s.fem->computeLoad();
    s.fem->prepareSolve();
    ASSERT_TRUE(s.fem->solve(1e-6));
    const size_t nV = size_t(s.model->numVertices(0));
    for (size_t v = 0; v < nV; ++v) {
        if (!s.model->fixedFlags()[v]) continue;
        for (size_t a = 0; a < 3; ++a) EXPECT_EQ(s.model->displacement()[a * nV + v], 0.0);
    }
    EXPECT_LT(relativeError(directSolve(*s.model), s.model->displacement()), 1e-5);
}

TEST(Solve, ReleaseFreesEveryBuffer) {
    auto model = makeCantilever(6, 3, 3, 0.01, 4);
    auto driver = std::make_unique<HostDriver>(1);
    HostDriver* host = driver.get();
    MultigridSolver fem(*model, DeviceOptions{}, std::move(driver));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
    EXPECT_GT(host->liveAllocations(), 20u);
    fem.release();
    EXPECT_EQ(host->liveAllocations(), 0u);
    EXPECT_EQ(fem.r_norm, 0u);
    fem.release();
}

}  // namespace
}  // namespace ostrel
