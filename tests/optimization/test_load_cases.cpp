// Several load cases in the design iteration: each case's compliance and the weighted element
// energies of the kernel path against the CPU reference and against each case solved alone;
// every case warm started from its own displacement; the history file of the cases'
// compliances; the memory estimate's share of the further cases; the cases as the window edits
// them (LoadCaseForces).

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

#include "OptimizationTestSupport.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "optimization/HistoryFiles.h"
#include "optimization/KernelSteps.h"
#include "optimization/LoadCaseForces.h"
#include "optimization/LoadCaseSolve.h"
#include "optimization/MemoryEstimate.h"
#include "reference/ReferenceOptimizer.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;

constexpr int kNx = 12, kNy = 4, kNz = 4;

/// A 12 x 4 x 4 box clamped at x = 0: case 1 pulls the free end's lower edge down, case 2
/// pushes its front edge sideways (the solver's further case).
std::unique_ptr<FemModel> clampedBox() {
    auto model = testing::makeBox(kNx, kNy, kNz, 3);
    for (int y = 0; y <= kNy; ++y)
        for (int z = 0; z <= kNz; ++z) model->setFixed(model->vertexAt(0, {0, y, z}), true);
    for (int y = 0; y <= kNy; ++y) model->setForceComponent(model->vertexAt(0, {kNx, y, 0}), 2, -1.0f);
    return model;
}

std::vector<float> sidewaysLoad(const FemModel& model) {
    std::vector<float> forces(3 * size_t(model.numVertices(0)), 0.0f);
    for (int z = 0; z <= kNz; ++z) forces[3 * size_t(model.vertexAt(0, {kNx, 0, z})) + 1] = 2.0f;
    return forces;
}

DesignControls weighted(std::vector<double> weights) {
    DesignControls controls;
    controls.loadCaseWeights = std::move(weights);
    return controls;
}

TEST(LoadCases, KernelPathAgreesWithTheReferenceAndWithEachCaseSolvedAlone) {
    auto model = clampedBox();
    ScratchFolder dir("load-cases");
    MultigridSolver kernelSolver(*model, DeviceOptions{true, 1}, std::make_unique<HostDriver>(1));
    MultigridSolver cpuSolver(*model, DeviceOptions{true, 1}, std::make_unique<HostDriver>(1));
    for (MultigridSolver* s : {&kernelSolver, &cpuSolver}) {
        s->setLogs(nullptr, nullptr);
        ASSERT_TRUE(s->setup());
        s->setMoreLoads({sidewaysLoad(*model)});
        s->computeLoad();
    }
    const std::vector<double> weights = {0.75, 2.5};
    OptimizationLifetime kernelLife, cpuLife;
    StepOptimizer kernel(*model, kernelLife, dir.path());
    ReferenceOptimizer cpu(*model, cpuLife, dir.path());
    DeviceOptimizer device(kernelSolver);
    KernelSteps steps(device);
    for (Optimizer* o : {static_cast<Optimizer*>(&kernel), static_cast<Optimizer*>(&cpu)}) {
        o->setLogs(nullptr, nullptr);
        o->setControls(weighted(weights));
        o->history().setEnabled(false);
    }
    kernel.attachSteps(&steps);
    kernel.reset();
    cpu.reset();
    EXPECT_EQ(kernel.loadCaseCount(), 2);

    kernel.updateStiffness();
    kernelSolver.prepareSolve();
    ASSERT_TRUE(solveLoadCases(kernelSolver, kernel, 1e-8));
    kernel.evaluateEnergies();
    cpu.updateStiffness();
    cpuSolver.prepareSolve();
    ASSERT_TRUE(solveLoadCases(cpuSolver, cpu, 1e-8));
    cpu.evaluateEnergies();
    EXPECT_EQ(kernelSolver.selectedLoadCase(), 0);

    const std::vector<double>& c = kernel.caseCompliances();
    ASSERT_EQ(c.size(), 2u);
    ASSERT_EQ(cpu.caseCompliances().size(), 2u);
    for (size_t k = 0; k < 2; ++k) EXPECT_NEAR(c[k], cpu.caseCompliances()[k], 1e-9 * c[k]);
    EXPECT_DOUBLE_EQ(kernel.totalEnergy(), weights[0] * c[0] + weights[1] * c[1]);
    const std::vector<double> q = kernel.snapshot().energy;
    ASSERT_EQ(q.size(), cpu.q_.size());
    for (size_t e = 0; e < q.size(); ++e) ASSERT_NEAR(q[e], cpu.q_[e], 1e-9 * (q[e] + 1e-30)) << e;

    // Each case alone, as the one case of a third optimizer: the same compliance.
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        auto alone = clampedBox();
        if (k == 1) {
            alone->clearForces();
            const std::vector<float> side = sidewaysLoad(*alone);
            for (int v = 0; v < alone->numVertices(0); ++v)
                for (int a = 0; a < 3; ++a)
                    if (side[3 * size_t(v) + size_t(a)] != 0)
                        alone->setForceComponent(v, a, side[3 * size_t(v) + size_t(a)]);
        }
        MultigridSolver solver(*alone, DeviceOptions{true, 1}, std::make_unique<HostDriver>(1));
        solver.setLogs(nullptr, nullptr);
        ASSERT_TRUE(solver.setup());
        solver.computeLoad();
        OptimizationLifetime life;
        ReferenceOptimizer one(*alone, life, dir.path());
        one.setLogs(nullptr, nullptr);
        one.history().setEnabled(false);
        one.reset();
        EXPECT_EQ(one.loadCaseCount(), 1);
        one.updateStiffness();
        solver.prepareSolve();
        ASSERT_TRUE(solveLoadCases(solver, one, 1e-8));
        one.evaluateEnergies();
        EXPECT_TRUE(one.caseCompliances().empty());
        EXPECT_NEAR(one.totalEnergy(), c[size_t(k)], 1e-7 * c[size_t(k)]);
        solver.release();
    }
    kernel.attachSteps(nullptr);
    device.release();
    kernelSolver.release();
    cpuSolver.release();
}

TEST(LoadCases, EveryCaseIsWarmStartedFromItsOwnDisplacement) {
    auto model = clampedBox();
    MultigridSolver solver(*model, DeviceOptions{true, 1}, std::make_unique<HostDriver>(1));
    solver.setLogs(nullptr, nullptr);
    ASSERT_TRUE(solver.setup());
    solver.setMoreLoads({sidewaysLoad(*model)});
    EXPECT_EQ(solver.loadCaseCount(), 2);
    solver.computeLoad();
    model->setStiffnessFactors(std::vector<float>(size_t(model->numElements(0)), 1000.0f));
    solver.prepareSolve();
    int cold[2];
    for (int c = 0; c < 2; ++c) {
        solver.selectLoadCase(c);
        ASSERT_TRUE(solver.solve(1e-6));
        cold[c] = solver.lastCycles();
        EXPECT_GT(cold[c], 2);
    }
    // Again, each from where its own last solve ended: one cycle reaches the tolerance.
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        solver.selectLoadCase(c);
        ASSERT_TRUE(solver.solve(1e-6));
        EXPECT_EQ(solver.lastCycles(), 1);
    }
    // The cases' displacements are their own: case 1's sideways load moves the free end in y,
    // case 0's down in z (and in y by far less, by the Poisson effect alone).
    solver.selectLoadCase(1);
    solver.downloadDisplacements();
    const size_t nV = size_t(model->numVertices(0));
    const size_t tip = size_t(model->vertexAt(0, {kNx, 0, 0}));
    const double sideways = model->displacement()[nV + tip];
    EXPECT_GT(sideways, 0.0);
    solver.selectLoadCase(0);
    solver.downloadDisplacements();
    EXPECT_LT(model->displacement()[2 * nV + tip], 0.0);
    EXPECT_GT(sideways, 10 * std::fabs(model->displacement()[nV + tip]));
    solver.release();
}

TEST(LoadCases, HistoryHasTheCasesFileOnlyWithSeveralCases) {
    for (const int cases : {1, 3}) {
        SCOPED_TRACE(cases);
        ScratchFolder dir("load-case-history");
        HistoryFiles history(dir.path());
        history.setLoadCaseCount(cases);
        history.openAll();
        history.appendCaseCompliances({1.5, 0.25, 1234567.0});
        history.appendCaseCompliances({2.0, 3.0, 4.0});
        history.closeAll();
        const auto file = dir.path() / HistoryFiles::kLoadCaseCompliance;
        EXPECT_EQ(std::filesystem::exists(file), cases > 1);
        if (cases > 1) {
            EXPECT_EQ(testing::readFile(file), "1.5 0.25 1.23457e+06\n2 3 4\n");
        }
    }
}

TEST(LoadCases, TheMemoryEstimateCountsEachFurtherCase) {
    SceneSize size;
    size.extent = {40, 10, 10};
    size.elements = 4000;
    size.vertices = 4961;
    size.levels = 3;
    const double device = estimateDeviceBytes(size), host = estimateSceneBytes(size);
    size.loadCases = 3;
    // On the device, and in host memory as well (the host device keeps its buffers there).
    EXPECT_EQ(estimateDeviceBytes(size) - device, 2 * 4961 * (12 + 24) + 8 * 4000);
    EXPECT_EQ(estimateSceneBytes(size) - host, 2 * 4961 * (12 + 24) + 8 * 4000);
}

/// The solver of `model` on the host device, set up, its logs silent.
std::unique_ptr<MultigridSolver> hostSolver(FemModel& model) {
    auto solver = std::make_unique<MultigridSolver>(model, DeviceOptions{true, 1},
                                                    std::make_unique<HostDriver>(1));
    solver->setLogs(nullptr, nullptr);
    EXPECT_TRUE(solver->setup());
    return solver;
}

TEST(LoadCaseForces, EditsActOnTheChosenCaseOnly) {
    auto model = clampedBox();
    auto solver = hostSolver(*model);
    solver->setMoreLoads({sidewaysLoad(*model)});
    std::vector<double> weights;  // as a scene without LOAD_CASE_WEIGHTS gives them
    LoadCaseForces cases(*model, *solver, weights);
    EXPECT_EQ(weights, (std::vector<double>{1, 1}));
    EXPECT_EQ(cases.count(), 2);
    EXPECT_EQ(cases.chosen(), 1);
    const std::vector<float> one = model->forces(), two = sidewaysLoad(*model);
    EXPECT_EQ(&cases.forces(1), &model->forces());
    EXPECT_EQ(cases.forces(2), two);

    const int v = model->vertexAt(0, {kNx / 2, 0, kNz});
    const int n = model->numVertices(0);
    cases.choose(2);
    cases.setForces({{v, {0.5f, -1.0f, 2.0f}}, {-1, {9, 9, 9}}, {n, {9, 9, 9}}});
    EXPECT_EQ(model->forces(), one) << "case 1 untouched";
    std::vector<float> edited = two;
    edited[3 * size_t(v)] = 0.5f, edited[3 * size_t(v) + 1] = -1.0f, edited[3 * size_t(v) + 2] = 2.0f;
    EXPECT_EQ(solver->moreLoads()[0], edited);
    EXPECT_EQ(solver->loadCaseCount(), 2);

    cases.choose(1);
    cases.setForces({{v, {0.0f, 0.0f, -3.0f}}});
    EXPECT_EQ(model->force(v), (Vec3f{0.0f, 0.0f, -3.0f}));
    EXPECT_EQ(solver->moreLoads()[0], edited) << "case 2 untouched";

    // The choice stays within the cases.
    cases.choose(0);
    EXPECT_EQ(cases.chosen(), 1);
    cases.choose(7);
    EXPECT_EQ(cases.chosen(), 2);
    cases.clearChosen();
    EXPECT_EQ(solver->moreLoads()[0], std::vector<float>(3 * size_t(n), 0.0f));
    EXPECT_NE(model->forces(), std::vector<float>(3 * size_t(n), 0.0f));
    cases.choose(1);
    cases.clearChosen();
    EXPECT_EQ(model->forces(), std::vector<float>(3 * size_t(n), 0.0f));
    solver->release();
}

TEST(LoadCaseForces, AnEditedCaseIsSolvedWithItsNewForcesAtTheNextLoadComputation) {
    auto model = clampedBox();
    auto solver = hostSolver(*model);
    solver->setMoreLoads({sidewaysLoad(*model)});
    std::vector<double> weights{1, 1};
    LoadCaseForces cases(*model, *solver, weights);
    model->setStiffnessFactors(std::vector<float>(size_t(model->numElements(0)), 1000.0f));
    const auto normOf = [&](int c) {
        solver->computeLoad();
        solver->selectLoadCase(c);
        const double norm = solver->loadNorm();
        solver->selectLoadCase(0);
        return norm;
    };
    const double before = normOf(1);
    EXPECT_GT(before, 0.0);
    // Twice the sideways forces in case 2: the solver keeps the old load until computeLoad.
    cases.choose(2);
    std::vector<std::pair<int, Vec3f>> doubled;
    for (int z = 0; z <= kNz; ++z) doubled.push_back({model->vertexAt(0, {kNx, 0, z}), {0, 4, 0}});
    cases.setForces(doubled);
    solver->selectLoadCase(1);
    EXPECT_EQ(solver->loadNorm(), before);
    solver->selectLoadCase(0);
    EXPECT_NEAR(normOf(1), 2 * before, 1e-6 * before);
    solver->release();
}

TEST(LoadCaseForces, AddingAndRemovingCasesKeepsOneWeightPerCase) {
    auto model = clampedBox();
    auto solver = hostSolver(*model);
    std::vector<double> weights{0.5};  // a weight a one-case scene may list: it changes nothing
    LoadCaseForces cases(*model, *solver, weights);
    EXPECT_TRUE(weights.empty());
    EXPECT_EQ(cases.weight(1), 1.0);
    EXPECT_FALSE(cases.setWeight(1, 2.0)) << "one case has no weight to set";
    EXPECT_FALSE(cases.removeChosen()) << "case 1 stays";

    EXPECT_EQ(cases.addCase(), 2);
    EXPECT_EQ(cases.chosen(), 2);
    EXPECT_EQ(solver->loadCaseCount(), 2);
    EXPECT_EQ(weights, (std::vector<double>{1, 1}));
    const size_t n3 = 3 * size_t(model->numVertices(0));
    EXPECT_EQ(cases.forces(2), std::vector<float>(n3, 0.0f));
    cases.setForces({{model->vertexAt(0, {kNx, 0, 0}), {0, 2, 0}}});
    EXPECT_EQ(cases.addCase(), 3);
    cases.setForces({{model->vertexAt(0, {kNx, 4, 4}), {0, 0, 5}}});
    const std::vector<float> third = cases.forces(3);

    const struct {
        int number;
        double value;
        bool taken;
    } settings[] = {{2, 0.25, true}, {3, -1.0, false}, {1, 0.0, true}, {3, 0.0, true},
                    {2, 0.0, false} /* every weight 0 */, {4, 1.0, false}, {0, 1.0, false},
                    {2, std::nan(""), false}};
    std::vector<double> expected{1, 1, 1};
    for (const auto& s : settings) {
        SCOPED_TRACE(s.number);
        EXPECT_EQ(cases.setWeight(s.number, s.value), s.taken);
        if (s.taken) expected[size_t(s.number - 1)] = s.value;
        EXPECT_EQ(weights, expected);
    }
    // Removing case 2 moves case 3 (forces and weight) into its place and chooses case 1.
    cases.choose(2);
    ASSERT_TRUE(cases.removeChosen());
    EXPECT_EQ(cases.chosen(), 1);
    EXPECT_EQ(solver->loadCaseCount(), 2);
    EXPECT_EQ(cases.forces(2), third);
    // The weights 0 and 0 left would give no case a positive weight: they become 1 and 1.
    EXPECT_EQ(weights, (std::vector<double>{1, 1}));
    cases.choose(2);
    ASSERT_TRUE(cases.removeChosen());
    EXPECT_EQ(solver->loadCaseCount(), 1);
    EXPECT_TRUE(weights.empty()) << "one case: its compliance alone";
    solver->release();
}

}  // namespace
}  // namespace ostrel
