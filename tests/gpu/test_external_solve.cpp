// The multigrid solver with an external solve (gpu/ExternalSolve.h): prepareSolve hands the
// model's current factors to the engine instead of assembling, solve passes the selected load
// case's load and its own warm start and takes the engine's solution, iterations and
// convergence as its own; an engine that finds the system singular makes the solve fail at
// once with a zero displacement.

#include <gtest/gtest.h>

#include <span>
#include <sstream>
#include <vector>

#include "fem/FemModel.h"
#include "fem/LoadVector.h"
#include "gpu/CopyingHostDriver.h"
#include "gpu/ExternalSolve.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "gpu/SolveChecks.h"

namespace ostrel {
namespace {

using testing::Solver;

/// An engine that records what it is given and answers u = scale * load + the warm start.
class RecordingEngine final : public ExternalSolve {
public:
    explicit RecordingEngine(const FemModel& model) : model_(model) {}
    bool prepare() override {
        ++prepared;
        factorsAtPrepare = model_.stiffnessFactors();
        return solvable;
    }
    ExternalSolveResult solve(std::span<const float> load, std::span<double> u,
                              double tolerance) override {
        loads.emplace_back(load.begin(), load.end());
        warmStarts.emplace_back(u.begin(), u.end());
        tolerances.push_back(tolerance);
        for (size_t i = 0; i < u.size(); ++i) u[i] += scale * load[i];
        return {converged, 7, converged ? 0.001 : 0.5};
    }

    const FemModel& model_;
    int prepared = 0;
    bool solvable = true, converged = true;
    double scale = 2.0;
    std::vector<float> factorsAtPrepare;
    std::vector<std::vector<float>> loads;
    std::vector<std::vector<double>> warmStarts;
    std::vector<double> tolerances;
};

// On the host device the engine solves in the solver's own buffers; on another device (one
// that gives no host address of its buffers) in copies, its solution copied back.
class ExternalSolveBuffers : public ::testing::TestWithParam<bool> {};

TEST_P(ExternalSolveBuffers, TakesTheCaseLoadAndWarmStartAndGivesItsSolutionAsTheSolvers) {
    Solver s(8, 4, 4, 3,
             GetParam() ? std::make_unique<CopyingHostDriver>() : testing::solverDevice());
    RecordingEngine engine(*s.model);
    s.fem->setExternalSolve(&engine);
    // A second load case pulling the other way.
    std::vector<float> second(3 * size_t(s.model->numVertices(0)), 0.0f);
    second[3 * size_t(s.model->numVertices(0) - 1) + 1] = 5.0f;
    s.fem->setMoreLoads({second});
    s.fem->computeLoad();
    std::vector<float> factors(size_t(s.model->numElements(0)), 3.0f);
    factors[5] = 0.25f;
    s.model->setStiffnessFactors(factors);
    s.fem->prepareSolve();
    EXPECT_EQ(engine.prepared, 1);
    EXPECT_EQ(engine.factorsAtPrepare, factors);

    const std::vector<float> load0 = s.model->load();
    ASSERT_TRUE(s.fem->solve(0.01));
    ASSERT_EQ(engine.loads.size(), 1u);
    EXPECT_EQ(engine.loads[0], load0);
    EXPECT_EQ(engine.warmStarts[0], std::vector<double>(load0.size(), 0.0));
    EXPECT_EQ(engine.tolerances[0], 0.01);
    EXPECT_EQ(s.fem->lastCycles(), 7);
    EXPECT_EQ(s.cycles.str(), "7\n");
    std::vector<double> expected(load0.size());
    for (size_t i = 0; i < load0.size(); ++i) expected[i] = 2.0 * load0[i];
    EXPECT_EQ(s.model->displacement(), expected);

    // The second case: its own load, its own (zero) warm start.
    s.fem->selectLoadCase(1);
    ASSERT_TRUE(s.fem->solve(0.01));
    EXPECT_EQ(engine.loads[1], loadVector(*s.model, second));
    EXPECT_EQ(engine.warmStarts[1], std::vector<double>(load0.size(), 0.0));
    // Back to the first: it starts from its last solution.
    s.fem->selectLoadCase(0);
    ASSERT_TRUE(s.fem->solve(0.01));
    EXPECT_EQ(engine.warmStarts[2], expected);

    // A solve the engine did not finish is the solver's failure.
    engine.converged = false;
    EXPECT_FALSE(s.fem->solve(0.01));
    EXPECT_EQ(s.fem->lastCycles(), 7);
}

INSTANTIATE_TEST_SUITE_P(InPlaceAndCopied, ExternalSolveBuffers, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "copied" : "in_place";
                         });

TEST(ExternalSolve, ASingularSystemFailsAtOnceWithZeroDisplacement) {
    Solver s(8, 4, 4, 3);
    RecordingEngine engine(*s.model);
    engine.solvable = false;
    s.fem->setExternalSolve(&engine);
    s.fem->computeLoad();
    s.fem->prepareSolve();
    EXPECT_FALSE(s.fem->coarseFactorValid());
    EXPECT_NE(s.narrow.str().find("WARNING: The coarsest-level system is singular"),
              std::string::npos);
    EXPECT_FALSE(s.fem->solve(0.01));
    EXPECT_TRUE(engine.loads.empty());
    EXPECT_EQ(s.fem->lastCycles(), 0);
    for (double u : s.model->displacement()) EXPECT_EQ(u, 0.0);
}

// While an engine solves, the solver keeps only what the engine and the optimizer read (level
// 0's grids, factors, load and displacement): the own cycles' buffers are freed. Handing the
// solves back allocates them again, and the own cycles then solve as a fresh solver does.
TEST(ExternalSolve, FreesTheOwnCyclesBuffersWhileAnEngineSolvesAndTakesThemBack) {
    std::unique_ptr<FemModel> model = makeCantilever(8, 4, 4, 0.01, 3);
    auto driver = std::make_unique<HostDriver>(2);
    const HostDriver& host = *driver;
    MultigridSolver fem(*model, DeviceOptions{}, std::move(driver));
    std::wostringstream wide;
    std::ostringstream narrow;
    fem.setLogs(&wide, &narrow);
    ASSERT_TRUE(fem.setup());
    const size_t all = host.liveAllocations();
    RecordingEngine engine(*model);
    engine.scale = 0.0;  // leaves the warm start at zero for the own solve below
    fem.setExternalSolve(&engine);
    // Level 0's four grid uploads, the fixed flags, factors, vertex masses, load and
    // displacement.
    EXPECT_EQ(host.liveAllocations(), 9u);
    fem.computeLoad();
    fem.prepareSolve();
    ASSERT_TRUE(fem.solve(0.01));
    EXPECT_EQ(engine.loads.size(), 1u);

    fem.setExternalSolve(nullptr);
    EXPECT_EQ(host.liveAllocations(), all);
    fem.prepareSolve();
    ASSERT_TRUE(fem.solve(1e-8));
    Solver fresh(8, 4, 4, 3);
    fresh.fem->computeLoad();
    fresh.fem->prepareSolve();
    ASSERT_TRUE(fresh.fem->solve(1e-8));
    EXPECT_EQ(model->displacement(), fresh.model->displacement());
}

}  // namespace
}  // namespace ostrel
