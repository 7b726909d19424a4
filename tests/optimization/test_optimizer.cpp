// The optimizer: reset state, stiffness law, element energies, sensitivities against central
// differences of the compliance, volume targets, the multiplier search, beta continuation,
// closing, shape extraction, and short runs on the host device with their history files and
// console lines.

#include <gtest/gtest.h>

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "OptimizationTestSupport.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "optimization/Optimizer.h"
#include "reference/ReferenceFilter.h"
#include "reference/ReferenceOptimizer.h"
#include "support/ScratchFolder.h"
#include "tools/Cantilever.h"

using namespace ostrel;
using namespace ostrel::testing;
namespace fs = std::filesystem;

namespace {

size_t countOf(const std::wstring& text, const std::wstring& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

/// The projection in double.
double projected(double v, double beta, double eta) {
    return (std::tanh(beta * eta) + std::tanh(beta * (v - eta))) /
           (std::tanh(beta * eta) + std::tanh(beta * (1 - eta)));
}

/// An optimizer over `model` with silent logs captured in strings.
struct Bound {
    OptimizationLifetime lifetime;
    std::wostringstream wide;
    std::ostringstream narrow;
    ReferenceOptimizer opt;
    Bound(FemModel& model, const fs::path& dir) : opt(model, lifetime, dir) {
        opt.setLogs(&wide, &narrow);
    }
};

/// The optimization step of the run control, on the host device: the first step computes the
/// load, resets and sets the stiffness; every step solves, evaluates, iterates, updates the
/// stiffness and extracts the shape.
struct HostRun {
    std::unique_ptr<FemModel> model;
    Bound bound;
    std::unique_ptr<MultigridSolver> fem;
    std::ostringstream solverLog;
    int iteration = 0;

    HostRun(int nx, int ny, int nz, const fs::path& dir)
        : model(makeCantilever(nx, ny, nz, 0.01, 3)), bound(*model, dir) {
        fem = std::make_unique<MultigridSolver>(*model, DeviceOptions{true, 2},
                                        std::make_unique<HostDriver>(2));
        fem->setLogs(nullptr, &solverLog);
        fem->setCycleCountSink(&bound.opt.history().cycleSink());
        fem->setup();
    }
    ~HostRun() { fem->release(); }
    ReferenceOptimizer& opt() { return bound.opt; }

    void step() {
        if (iteration == 0) {
            fem->computeLoad();
            opt().reset();
            opt().updateStiffness();
        }
        fem->prepareSolve();
        fem->solve(0.01);
        opt().evaluateEnergies();
        opt().iterate(iteration);
        opt().updateStiffness();
        opt().extractShape();
        ++iteration;
    }
};

}  // namespace

TEST(Optimizer, NothingHappensBeforeTheFirstReset) {
    auto m = makeBox(4, 3, 2);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    const std::vector<float> E = m->stiffnessFactors();
    b.opt.updateStiffness();
    b.opt.evaluateEnergies();
    b.opt.iterate(0);
    b.opt.closeShape();
    b.opt.extractShape();
    b.opt.computeSensitivities();
    EXPECT_EQ(b.opt.searchMultiplier(0.5, 0.0, 1.0), 0);
    EXPECT_EQ(b.opt.nextVolumeTarget(), 1.0);
    EXPECT_FALSE(b.opt.isReset());
    EXPECT_EQ(m->stiffnessFactors(), E);
    EXPECT_TRUE(b.lifetime.firstEnergyEvaluation);
    EXPECT_TRUE(b.wide.str().empty());
    EXPECT_TRUE(b.narrow.str().empty());
    EXPECT_FALSE(fs::exists(dir.path() / HistoryFiles::kSharpness));
}

// Without per-element steps the optimizer has its reset state and nothing else: every verb of
// an iteration leaves the design, the factors and the history alone; attaching steps later
// loads that state and the iteration runs.
TEST(Optimizer, WithoutStepsOnlyTheResetRuns) {
    auto m = makeCantilever(6, 3, 3, 0.01, 3);
    ScratchFolder dir("optimizer");
    OptimizationLifetime lifetime;
    std::wostringstream wide;
    std::ostringstream narrow;
    StepOptimizer opt(*m, lifetime, dir.path());
    opt.setLogs(&wide, &narrow);
    opt.reset();
    ASSERT_TRUE(opt.isReset());
    EXPECT_FALSE(opt.onDevice());
    const std::vector<float> E = m->stiffnessFactors(), rho = opt.rho_, x = opt.x_;
    const std::string sharpness = readFile(dir.path() / HistoryFiles::kSharpness);
    opt.updateStiffness();
    opt.evaluateEnergies();
    opt.computeSensitivities();
    EXPECT_EQ(opt.searchMultiplier(0.5, 0.0, 1.0), 0);
    opt.iterate(0);
    EXPECT_EQ(m->stiffnessFactors(), E);
    EXPECT_EQ(opt.rho_, rho);
    EXPECT_EQ(opt.x_, x);
    EXPECT_TRUE(lifetime.firstEnergyEvaluation);
    EXPECT_EQ(readFile(dir.path() / HistoryFiles::kSharpness), sharpness);

    ReferenceSteps steps;
    opt.attachSteps(&steps);
    EXPECT_EQ(steps.dv.size(), rho.size());  // loaded at once
    opt.updateStiffness();
    EXPECT_NE(m->stiffnessFactors(), E);
    opt.attachSteps(nullptr);
}

TEST(Optimizer, ResetState) {
    auto m = makeCantilever(6, 3, 2, 0.01, 3);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.volumeReductionGoal_ = 0.9;
    o.beta_ = 7.0;
    o.reset();
    const size_t n = size_t(m->numElements(0));
    ASSERT_EQ(o.rho_.size(), n);
    EXPECT_EQ(o.sensitivity_.size(), size_t(6 * 3 * 2));
    EXPECT_EQ(o.volumeReductionGoal_, 0.64);
    EXPECT_EQ(o.volumeTarget_, 1.0);
    EXPECT_EQ(o.beta_, 1.0);
    EXPECT_EQ(o.eta_, 0.5);

    // Kept: the fixed face x = 0 and the loaded edge x = nx, z = 0.
    int kept = 0;
    for (size_t e = 0; e < n; ++e) {
        const GridPos p = unpack(m->elementPosition(0)[e]);
        const bool expected = p.x == 0 || (p.x == 5 && p.z == 0);
        EXPECT_EQ(o.isKept_[e], expected ? 1 : 0) << e;
        kept += expected;
    }
    EXPECT_EQ(o.V0_, double(n));
    EXPECT_EQ(o.Vk_, double(kept));
    EXPECT_EQ(o.numDesignable_, int(n) - kept);

    // The projected initial design replaces the uniform density everywhere, kept elements too.
    const float rho0 = float(projected(double(0.36f), 1.0, 0.5));
    for (size_t e = 0; e < n; ++e) {
        EXPECT_EQ(o.x_[e], 0.36f);
        EXPECT_FLOAT_EQ(o.xTilde0_[e], 0.36f);
        EXPECT_FLOAT_EQ(o.rho_[e], rho0);
        EXPECT_NEAR(o.W_[e], referenceNeighbourSum(*m, int(e), std::vector<int>(n, 1)), 1e-12);
    }
    EXPECT_NEAR(rho0, 0.3495052, 5e-8);

    // Padded density volume: one border cell on each side.
    const auto& pv = o.paddedDensity();
    EXPECT_EQ(pv.resolution().x, 8);
    EXPECT_EQ(pv.resolution().y, 5);
    EXPECT_EQ(pv.resolution().z, 4);
    EXPECT_DOUBLE_EQ(pv.offset().x, -0.01);
    EXPECT_DOUBLE_EQ(pv.spacing().z, 0.01);

    // Sharpness on the console and as the first line of Sharpness.txt, nothing else written.
    const double S = 4.0 * double(rho0) * (1.0 - double(rho0));
    EXPECT_NEAR(o.sharpness(), S, 1e-6);
    std::wostringstream line;
    line << L"Sharpness: " << o.sharpness() << L'\n';
    EXPECT_EQ(b.wide.str(), line.str());
    std::ostringstream value;
    value << o.sharpness();
    EXPECT_EQ(dir.lines(HistoryFiles::kSharpness), std::vector<std::string>{value.str()});
    for (const char* name : {HistoryFiles::kObjectiveValue, HistoryFiles::kVolumeRatio,
                             HistoryFiles::kNumCycles, HistoryFiles::kConstraint})
        EXPECT_EQ(fs::file_size(dir.path() / name), 0u) << name;

    // The stiffness law.
    o.updateStiffness();
    for (size_t e = 0; e < n; ++e)
        EXPECT_EQ(m->stiffnessFactors()[e], float(1000.0 * std::pow(double(o.rho_[e]), 3.0)));
}

TEST(Optimizer, EnergiesSumToTheComplianceAndAreNeverNegative) {
    auto m = makeCantilever(5, 2, 3, 0.01, 3);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    b.opt.reset();
    // A non-uniform density so that the element factors differ.
    for (size_t e = 0; e < b.opt.rho_.size(); ++e) b.opt.rho_[e] = 0.2f + 0.05f * float(e % 7);
    b.opt.updateStiffness();
    std::vector<double> E(m->stiffnessFactors().begin(), m->stiffnessFactors().end());
    m->setDisplacement(directSolve(*m, E));
    b.opt.evaluateEnergies();
    EXPECT_NEAR(b.opt.totalEnergy(), complianceOf(*m, m->displacement()), 1e-9 * complianceOf(*m, m->displacement()));
    EXPECT_EQ(b.lifetime.referenceEnergy, b.opt.totalEnergy());
    EXPECT_FALSE(b.lifetime.firstEnergyEvaluation);
    std::wostringstream line;
    line << L"---> Initial strain energy: " << b.opt.totalEnergy() << L'\n';
    EXPECT_NE(b.wide.str().find(line.str()), std::wstring::npos);

    // A rigid translation carries no energy; rounding must not make any element negative.
    const size_t nV = size_t(m->numVertices(0));
    std::vector<double> rigid(3 * nV);
    for (size_t v = 0; v < nV; ++v) {
        rigid[v] = 0.3;
        rigid[nV + v] = -1.7;
        rigid[2 * nV + v] = 2.9;
    }
    m->setDisplacement(std::move(rigid));
    b.wide.str(L"");
    b.opt.evaluateEnergies();
    double scale = 0;
    for (double k : m->Ke()) scale = std::max(scale, std::fabs(k));
    for (double q : b.opt.q_) {
        EXPECT_GE(q, 0.0);
        EXPECT_LT(q, 1e-9 * scale * 1000.0 * 9.0);
    }
    // The reference energy belongs to the first evaluation of the program only.
    EXPECT_EQ(b.wide.str(), L"");
    EXPECT_NE(b.lifetime.referenceEnergy, b.opt.totalEnergy());
}

// Sensitivities at the reset state, where rho = projection(filter(x)) holds for every element,
// against central differences of the compliance f^T u computed independently in double: plain
// filter, projection formula, stiffness law and a dense Cholesky solve.
class SensitivityCheck : public ::testing::TestWithParam<double> {};

TEST_P(SensitivityCheck, MatchesCentralDifferencesOfTheCompliance) {
    const double beta = GetParam();
    auto m = makeCantilever(5, 2, 3, 0.01, 3);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();
    o.beta_ = beta;
    ReferenceFilter::project(o.xTilde0_.data(), o.rho_.data(), o.rho_.size(), beta, o.eta_);
    o.updateStiffness();
    std::vector<double> E(m->stiffnessFactors().begin(), m->stiffnessFactors().end());
    m->setDisplacement(directSolve(*m, E));
    o.evaluateEnergies();
    o.computeSensitivities();

    const size_t n = size_t(m->numElements(0));
    std::vector<double> Wref(n);
    for (size_t e = 0; e < n; ++e) Wref[e] = referenceNeighbourSum(*m, int(e), std::vector<int>(n, 1));
    auto densities = [&](const std::vector<double>& x) {
        std::vector<double> rho(n);
        for (size_t e = 0; e < n; ++e)
            rho[e] = projected(referenceNeighbourSum(*m, int(e), x) / Wref[e], beta, 0.5);
        return rho;
    };
    auto compliance = [&](const std::vector<double>& x) {
        std::vector<double> rho = densities(x), Ex(n);
        for (size_t e = 0; e < n; ++e) Ex[e] = 1000.0 * rho[e] * rho[e] * rho[e];
        return complianceOf(*m, directSolve(*m, Ex));
    };
    auto volume = [&](const std::vector<double>& x) {
        double v = 0;
        for (double r : densities(x)) v += r;
        return v;
    };

    // A kept element of the fixed face, one of the loaded edge, an inner one and the free top.
    const int probes[] = {m->elementAt(0, {0, 0, 0}), m->elementAt(0, {4, 1, 0}),
                          m->elementAt(0, {2, 1, 1}), m->elementAt(0, {3, 0, 2})};
    const double h = 1e-4;
    for (int e : probes) {
        ASSERT_GE(e, 0);
        std::vector<double> plus(n, double(0.36f)), minus(n, double(0.36f));
        plus[size_t(e)] += h;
        minus[size_t(e)] -= h;
        const double dc = (compliance(plus) - compliance(minus)) / (2 * h);
        const double dv = (volume(plus) - volume(minus)) / (2 * h);
        const double dq = o.sensitivity_[elementCell(o.model(), size_t(e))];
        EXPECT_LT(dq, 0.0) << e;  // more material, less compliance
        EXPECT_NEAR(dq, dc, 1e-5 * std::fabs(dc)) << "element " << e << " beta " << beta;
        EXPECT_NEAR(o.dv_[size_t(e)], dv, 1e-6 * dv) << "element " << e << " beta " << beta;
    }
}

INSTANTIATE_TEST_SUITE_P(Beta, SensitivityCheck, ::testing::Values(1.0, 2.56));

// Mid-run, after a few updates, the design is no longer uniform and its filter differs from the
// field x~0 of the reset. The sensitivity takes the projection's derivative at x~0 by design;
// the rest of the chain (energy derivative at the current densities, filter weights) is checked
// against central differences of the compliance in the densities, solved independently.
TEST(Optimizer, SensitivityMidRunUsesTheProjectionDerivativeAtTheResetFilter) {
    ScratchFolder dir("optimizer-midrun");
    HostRun run(5, 2, 3, dir.path());
    for (int i = 0; i < 4; ++i) run.step();
    FemModel& m = *run.model;
    ReferenceOptimizer& o = run.opt();
    o.beta_ = 2.56;
    o.updateStiffness();
    m.setDisplacement(directSolve(m, std::vector<double>(m.stiffnessFactors().begin(), m.stiffnessFactors().end())));
    o.evaluateEnergies();
    o.computeSensitivities();

    const size_t n = size_t(m.numElements(0));
    std::vector<double> rho(o.rho_.begin(), o.rho_.end());
    ASSERT_GT(*std::max_element(rho.begin(), rho.end()) - *std::min_element(rho.begin(), rho.end()),
              0.05) << "the design must have moved";
    auto compliance = [&](const std::vector<double>& r) {
        std::vector<double> E(n);
        for (size_t e = 0; e < n; ++e) E[e] = 1000.0 * r[e] * r[e] * r[e];
        return complianceOf(m, directSolve(m, E));
    };
    std::vector<double> dcdrho(n);
    for (size_t j = 0; j < n; ++j) {
        const double h = 1e-5 * rho[j];
        std::vector<double> plus = rho, minus = rho;
        plus[j] += h;
        minus[j] -= h;
        dcdrho[j] = (compliance(plus) - compliance(minus)) / (2 * h);
    }
    std::vector<double> W(n);
    for (size_t j = 0; j < n; ++j) W[j] = referenceNeighbourSum(m, int(j), std::vector<int>(n, 1));
    auto projectionSlope = [&](double v) {
        const double h = 1e-6;
        return (projected(v + h, o.beta_, o.eta_) - projected(v - h, o.beta_, o.eta_)) / (2 * h);
    };
    for (size_t i = 0; i < n; ++i) {
        std::vector<double> unit(n, 0.0);
        unit[i] = 1.0;
        double expected = 0;
        for (size_t j = 0; j < n; ++j)
            expected += dcdrho[j] * projectionSlope(double(o.xTilde0_[j])) *
                        referenceNeighbourSum(m, int(j), unit) / W[j];
        EXPECT_NEAR(o.sensitivity_[elementCell(o.model(), i)], expected, 1e-4 * std::fabs(expected))
            << "element " << i;
    }
}

TEST(Optimizer, EveryElementKeptGivesSharpnessZero) {
    // All vertices fixed: nothing is designable, and the sharpness must not divide by zero.
    auto m = makeBox(3, 2, 2);
    for (int v = 0; v < m->numVertices(0); ++v) m->setFixed(v, true);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    b.opt.reset();
    EXPECT_EQ(b.opt.numDesignable_, 0);
    EXPECT_EQ(b.opt.sharpness(), 0.0);
    b.opt.evaluateEnergies();
    b.opt.iterate(0);
    for (float r : b.opt.rho_) EXPECT_EQ(r, 1.0f);
    EXPECT_EQ(dir.lines(HistoryFiles::kSharpness), (std::vector<std::string>{"0", "0"}));
}

TEST(Optimizer, VolumeTargetRules) {
    auto m = makeBox(4, 4, 4);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();
    struct Case {
        double goal, current, v, expected;
    };
    const Case cases[] = {
        {0.64, 1.0, 0.3495052, 0.3495052 + 0.04},  // first iteration: the band's top
        {0.64, 0.3895, 0.3895, 0.96 * 0.3895},     // shrinks by 4 %
        {0.64, 0.37, 0.37, 1.0 - 0.64},            // never below the goal
        {0.64, 0.5, 0.3, 0.3 + 0.04},              // band top
        {0.64, 0.4, 0.5, 0.5 - 0.04},              // band bottom
        {0.70, 0.31, 0.31, 1.0 - 0.70},            // changed goal
        {1.20, 0.36, 0.36, 0.96 * 0.36},           // a goal above 1 stays in the band
        {1.20, 0.20, 0.36, 0.36 - 0.04},
    };
    for (const Case& c : cases) {
        o.volumeReductionGoal_ = c.goal;
        o.volumeTarget_ = c.current;
        o.setDensities(std::vector<float>(o.rho_.size(), float(c.v)));
        EXPECT_NEAR(o.nextVolumeTarget(), c.expected, 1e-7)
            << c.goal << " " << c.current << " " << c.v;
    }
    // With the goal at 0.70 the targets settle at 0.30.
    o.volumeReductionGoal_ = 0.70;
    o.volumeTarget_ = 1.0;
    o.setDensities(std::vector<float>(o.rho_.size(), 0.3495052f));
    for (int k = 0; k < 40; ++k) {
        o.volumeTarget_ = o.nextVolumeTarget();
        o.setDensities(std::vector<float>(o.rho_.size(), float(o.volumeTarget_)));
    }
    EXPECT_DOUBLE_EQ(o.volumeTarget_, 1.0 - 0.70);
}

// The multiplier search written the plain way: candidates, clipped-box filter, kept rule and
// the volume test, pass by pass, on one thread.
TEST(Optimizer, MultiplierSearchMatchesThePlainBisectionForAnyThreadCount) {
    // Large enough for the element loops to run in parallel.
    auto m = makeModel(31, 16, 20, [](int x, int y, int z) { return (x + 2 * y + 3 * z) % 7 != 3; });
    ASSERT_GE(m->numElements(0), kParallelElements);
    for (int y = 0; y <= 16; ++y)
        for (int z = 0; z <= 20; ++z) {
            const int v = m->vertexAt(0, {0, y, z});
            if (v >= 0) m->setFixed(v, true);
        }
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();
    const size_t n = o.rho_.size();
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    for (size_t e = 0; e < n; ++e) {
        o.q_[e] = e % 5 == 0 ? 0.0 : uni(rng);
        o.x_[e] = float(0.05 + 0.9 * uni(rng));
    }
    o.computeSensitivities();
    const double lo = 0.02, hi = 3.0, target = 0.45;
    const std::vector<float> x0 = o.x_;

    std::vector<float> cx(n), crho(n);
    double l = 0, u = 1;
    int passes = 0;
    while (u - l > 1e-12) {
        const double mid = (l + u) / 2, lambda = lo + mid * (hi - lo);
        for (size_t e = 0; e < n; ++e) {
            const double x = double(x0[e]);
            const double dq = o.sensitivity_[elementCell(o.model(), e)];
            double y = x * std::sqrt(-dq / o.dv_[e] / lambda);
            if (x - 0.1 > y)
                y = x - 0.1;
            else if (y > x + 0.1)
                y = x + 0.1;
            cx[e] = float(std::min(1.0, std::max(0.001, y)));
        }
        double volume = 0;
        for (size_t e = 0; e < n; ++e) {
            crho[e] = o.isKept_[e] ? 1.0f : float(referenceNeighbourSum(*m, int(e), cx) / o.W_[e]);
            if (!o.isKept_[e]) volume += double(crho[e]);
        }
        if (volume + o.Vk_ > target * o.V0_)
            l = mid;
        else
            u = mid;
        ++passes;
    }
    EXPECT_EQ(passes, 40);

    // The search of many multipliers per pass ends within the bisection's tolerance of its
    // multiplier: the same candidates to rounding, and the very same ones on any thread count.
    const int saved = omp_get_max_threads();
    std::vector<std::vector<float>> byThreads;
    for (int threads : {1, 2}) {
        omp_set_num_threads(threads);
        // About 8000 elements: below ~1e-11 the volume is a staircase of float roundings,
        // which the last passes split evenly.
        EXPECT_LE(o.searchMultiplier(target, lo, hi), 8);
        for (size_t e = 0; e < n; ++e) {
            ASSERT_NEAR(o.candidateX_[e], cx[e], 1e-6) << e << ", " << threads << " threads";
            ASSERT_NEAR(o.candidateRho_[e], crho[e], 1e-6) << e << ", " << threads << " threads";
        }
        byThreads.push_back(o.candidateX_);
        byThreads.push_back(o.candidateRho_);
    }
    EXPECT_EQ(byThreads[0], byThreads[2]);
    EXPECT_EQ(byThreads[1], byThreads[3]);
    omp_set_num_threads(saved);
}

TEST(Optimizer, WithoutEnergyEveryDesignFallsByTheMoveLimit) {
    // No load: every energy is 0, so lo = hi = 0 and the multiplier is 0 in every pass.
    auto m = makeBox(5, 4, 3);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    b.opt.reset();
    b.opt.evaluateEnergies();
    // Every multiplier of a pass gives the same volume: the passes split the bracket evenly,
    // 129^6 > 10^12 > 129^5.
    EXPECT_EQ(b.opt.searchMultiplier(b.opt.nextVolumeTarget(), 0.0, 0.0), 6);
    b.opt.iterate(0);
    for (size_t e = 0; e < b.opt.x_.size(); ++e) {
        EXPECT_EQ(b.opt.x_[e], float(double(0.36f) - 0.1)) << e;
        EXPECT_FALSE(std::isnan(b.opt.rho_[e])) << e;
    }
    // Further updates stop at the lower bound.
    for (int k = 1; k < 5; ++k) b.opt.iterate(k);
    for (float x : b.opt.x_) EXPECT_EQ(x, 0.001f);
}

TEST(Optimizer, BetaContinuation) {
    auto m = makeBox(3, 3, 3);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();
    double expected = 1.0;
    for (int update = 1; update <= 500; ++update) {
        o.continueBeta();
        if (update >= 42 && (update - 42) % 41 == 0 && update <= 411) expected *= 1.6;
        ASSERT_EQ(o.beta_, expected) << "update " << update;
    }
    EXPECT_NEAR(o.beta_, std::pow(1.6, 10), 1e-9);
    EXPECT_NEAR(o.beta_, 109.95116, 1e-5);

    // A reset sets beta back to 1 but keeps the counter: 30 updates into a period, the next
    // increase comes 12 updates later instead of 42.
    OptimizationLifetime life;
    ReferenceOptimizer second(*m, life, dir.path());
    second.setLogs(nullptr, nullptr);
    second.reset();
    for (int k = 0; k < 30; ++k) second.continueBeta();
    second.reset();
    EXPECT_EQ(second.beta_, 1.0);
    for (int k = 1; k <= 11; ++k) {
        second.continueBeta();
        EXPECT_EQ(second.beta_, 1.0) << k;
    }
    second.continueBeta();
    EXPECT_EQ(second.beta_, 1.6);
}

TEST(Optimizer, CloseShapeWithoutSolidLeavesTheMinimumDensity) {
    auto m = makeCantilever(6, 3, 4, 0.01, 3);
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();  // every density is about 0.35
    const std::vector<float> before = o.rho_;
    o.closeShape();
    for (size_t e = 0; e < o.rho_.size(); ++e)
        EXPECT_EQ(o.rho_[e], o.isKept_[e] ? before[e] : 0.001f) << e;
    EXPECT_TRUE(o.shapeMesh().triangles.empty());
}

TEST(Optimizer, CloseShapeMatchesDilationThenErosionInXZDiscs) {
    // 24 x 3 x 20 cells with a few holes; sparse solid seeds in two y layers.
    auto m = makeModel(24, 3, 20, [](int x, int y, int z) { return (x * 3 + y + z * 7) % 23 != 0; });
    for (int y = 0; y <= 3; ++y) {
        const int v = m->vertexAt(0, {0, y, 1});
        ASSERT_GE(v, 0);
        m->setFixed(v, true);
    }
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();
    const size_t n = o.rho_.size();
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> uni(0.0f, 1.0f);
    for (size_t e = 0; e < n; ++e) {
        const GridPos p = unpack(m->elementPosition(0)[e]);
        const float r = uni(rng);
        o.rho_[e] = p.y == 1 ? 0.2f : (r < 0.04f ? 0.5f + r : 0.49f * r);
    }
    const std::vector<float> before = o.rho_;
    o.closeShape();

    auto inDisc = [&](size_t i, size_t j) {
        const GridPos a = unpack(m->elementPosition(0)[i]), c = unpack(m->elementPosition(0)[j]);
        const int dx = a.x - c.x, dz = a.z - c.z;
        return a.y == c.y && dx * dx + dz * dz <= 64;
    };
    // Dilated: some element of the disc around i was solid.
    std::vector<bool> dilated(n, false);
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < n && !dilated[i]; ++k) dilated[i] = before[k] >= 0.5f && inDisc(k, i);
    int solid = 0;
    for (size_t j = 0; j < n; ++j) {
        // Solid after closing: every element of the disc around j lies in the dilated set.
        bool keep = true;
        for (size_t i = 0; i < n && keep; ++i)
            if (inDisc(i, j)) keep = dilated[i];
        const float expected = o.isKept_[j] ? before[j] : (keep ? 1.0f : 0.001f);
        ASSERT_EQ(o.rho_[j], expected) << j;
        solid += keep;
    }
    EXPECT_GT(solid, 0);
    EXPECT_LT(solid, int(n));
    // The middle layer had no solid seed.
    for (size_t e = 0; e < n; ++e)
        if (unpack(m->elementPosition(0)[e]).y == 1 && !o.isKept_[e]) {
            EXPECT_EQ(o.rho_[e], 0.001f);
        }
    EXPECT_TRUE(isClosedAndConsistent(o.shapeMesh()));
}

TEST(Optimizer, ExtractShapeFillsThePaddedVolume) {
    auto m = makeModel(5, 4, 3, [](int x, int y, int z) { return !(x == 2 && y == 2 && z == 1); });
    ScratchFolder dir("optimizer");
    Bound b(*m, dir.path());
    ReferenceOptimizer& o = b.opt;
    o.reset();
    std::fill(o.rho_.begin(), o.rho_.end(), 1.0f);
    o.rho_[0] = 0.25f;
    o.extractShape();
    const auto& pv = o.paddedDensity();
    for (int z = 0; z < 5; ++z)
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 7; ++x) {
                const int e = m->elementAt(0, {x - 1, y - 1, z - 1});
                const double expected = e < 0 ? 0.001 : double(o.rho_[size_t(e)]);
                EXPECT_EQ(pv(x, y, z), expected) << x << " " << y << " " << z;
            }
    const TriangleMesh& mesh = o.shapeMesh();
    EXPECT_TRUE(isClosedAndConsistent(mesh));
    // Between a solid cell (1) and the border (0.001) the surface crosses 0.5005 of the way
    // from one centre to the other: half a voxel and 0.0005 outside the element.
    for (const auto& v : mesh.vertices) {
        EXPECT_GE(v.position.x, -0.0005f - 1e-5f);
        EXPECT_LE(v.position.x, 5.0005f + 1e-5f);
        EXPECT_LE(v.position.z, 3.0005f + 1e-5f);
    }
}

TEST(OptimizerRun, TwelveStepsOnTheHostDevice) {
    ScratchFolder dir("optimizer");
    HostRun run(16, 6, 6, dir.path());
    ReferenceOptimizer& o = run.opt();
    std::vector<double> targets, ratios;
    double firstVolume = 0;
    for (int k = 0; k < 12; ++k) {
        run.step();
        if (k == 0) firstVolume = double(float(projected(double(0.36f), 1.0, 0.5)));
        for (double q : o.q_) ASSERT_GE(q, 0.0);
        for (size_t e = 0; e < o.rho_.size(); ++e) {
            if (o.isKept_[e]) {
                ASSERT_EQ(o.rho_[e], 1.0f) << e;
            }
            ASSERT_GE(o.x_[e], 0.001f);
            ASSERT_LE(o.x_[e], 1.0f);
        }
        targets.push_back(o.volumeTarget_);
        ratios.push_back(o.lastVolumeRatio_);
        // The bisection meets the target to within the float rounding of the densities.
        EXPECT_NEAR(o.lastVolumeRatio_, o.volumeTarget_, 1e-6) << k;
        EXPECT_NEAR(o.totalDensity() / o.V0_, o.lastVolumeRatio_, 1e-15);
    }

    // The first target is the band's top over the projected initial volume; then the target
    // shrinks by 4 % until it reaches the goal's 0.36.
    EXPECT_NEAR(targets[0], firstVolume + 0.04, 1e-6);
    EXPECT_NEAR(targets[1], 0.96 * targets[0], 1e-12);
    for (size_t k = 2; k < targets.size(); ++k) EXPECT_EQ(targets[k], 1.0 - 0.64) << k;

    EXPECT_EQ(dir.lines(HistoryFiles::kObjectiveValue).size(), 12u);
    EXPECT_EQ(dir.lines(HistoryFiles::kVolumeRatio).size(), 12u);
    EXPECT_EQ(dir.lines(HistoryFiles::kSharpness).size(), 13u);
    const auto cycles = dir.lines(HistoryFiles::kNumCycles);
    EXPECT_EQ(cycles.size(), 12u);
    for (const auto& c : cycles) EXPECT_GT(std::stoi(c), 0) << c;
    EXPECT_EQ(cycles.back(), std::to_string(run.fem->lastCycles()));
    EXPECT_EQ(fs::file_size(dir.path() / HistoryFiles::kConstraint), 0u);
    const auto volumeLines = dir.lines(HistoryFiles::kVolumeRatio);
    for (size_t k = 0; k < 12; ++k) EXPECT_NEAR(std::stod(volumeLines[k]), ratios[k], 1e-6);
    std::ostringstream lastEnergy;
    lastEnergy << o.lastStrainEnergy_;
    EXPECT_EQ(dir.lines(HistoryFiles::kObjectiveValue).back(), lastEnergy.str());

    // Console lines.
    const std::wstring w = run.bound.wide.str();
    EXPECT_EQ(w.rfind(L"Sharpness: ", 0), 0u);
    EXPECT_EQ(countOf(w, L"**** Topology Optimization ****\n\n Iteration: 0\n"), 1u);
    EXPECT_EQ(countOf(w, L"---> Initial strain energy: "), 1u);
    EXPECT_EQ(countOf(w, L"\n Iteration: 11\n"), 1u);
    EXPECT_EQ(countOf(w, L"\n Iteration: "), 12u);
    EXPECT_EQ(countOf(w, L"Target volume reduction: "), 12u);
    EXPECT_EQ(countOf(w, L"Total strain energy: "), 12u);
    EXPECT_EQ(countOf(w, L"  Volume reduction: "), 12u);
    EXPECT_EQ(countOf(w, L"Energy increased by factor of: "), 12u);
    EXPECT_EQ(countOf(w, L"Energy increased by factor of: 1\n"), 1u);
    EXPECT_EQ(countOf(w, L"Sharpness: "), 13u);
    EXPECT_EQ(countOf(w, L"Beta --------------->> 1\n"), 12u);
    std::wostringstream firstTarget;
    firstTarget << L"Target volume reduction: " << 1.0 - targets[0] << L'\n';
    EXPECT_NE(w.find(firstTarget.str()), std::wstring::npos);
    const std::string nw = run.bound.narrow.str();
    EXPECT_EQ(countOf(nw, "Sensitivity: "), 12u);
    EXPECT_EQ(countOf(nw, " s\nUpdate: "), 12u);
    EXPECT_EQ(nw.substr(nw.size() - 3), " s\n");

    // The compliance falls as the material is redistributed at a fixed volume.
    const auto energies = dir.lines(HistoryFiles::kObjectiveValue);
    EXPECT_LT(std::stod(energies.back()), std::stod(energies[3]));
    EXPECT_FALSE(o.shapeMesh().triangles.empty());
    EXPECT_TRUE(isClosedAndConsistent(o.shapeMesh()));

    // A second reset truncates the history; the next step writes from the first line.
    o.reset();
    for (const char* name : {HistoryFiles::kObjectiveValue, HistoryFiles::kVolumeRatio,
                             HistoryFiles::kNumCycles, HistoryFiles::kConstraint})
        EXPECT_EQ(fs::file_size(dir.path() / name), 0u) << name;
    EXPECT_EQ(dir.lines(HistoryFiles::kSharpness).size(), 1u);
    run.step();
    EXPECT_EQ(dir.lines(HistoryFiles::kObjectiveValue).size(), 1u);
    EXPECT_EQ(dir.lines(HistoryFiles::kNumCycles).size(), 1u);
    EXPECT_EQ(dir.lines(HistoryFiles::kSharpness).size(), 2u);
}

TEST(OptimizerRun, SharpProjectionStillMeetsTheVolumeTarget) {
    // Late in a run beta is large and the projection's slope at the reset field is tiny, so
    // the volume sensitivities are tiny too; the multiplier search must still find the
    // multiplier that meets the target instead of letting the volume drift upwards.
    ScratchFolder dir("optimizer");
    HostRun run(16, 6, 6, dir.path());
    ReferenceOptimizer& o = run.opt();
    for (int k = 0; k < 6; ++k) run.step();
    for (double beta : {std::pow(1.6, 7), std::pow(1.6, 10)}) {
        o.beta_ = beta;
        for (int k = 0; k < 3; ++k) {
            run.step();
            EXPECT_NEAR(o.lastVolumeRatio_, o.volumeTarget_, 1e-6) << "beta " << beta;
        }
    }
    EXPECT_NEAR(o.volumeTarget_, 0.36, 1e-12);
}

TEST(OptimizerRun, ReadOnlyVolumeRatioFileIsLeftAlone) {
    ScratchFolder dir("optimizer");
    {
        std::ofstream(dir.path() / HistoryFiles::kVolumeRatio) << "old\n";
    }
    fs::permissions(dir.path() / HistoryFiles::kVolumeRatio,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (::access((dir.path() / HistoryFiles::kVolumeRatio).c_str(), W_OK) == 0)
        GTEST_SKIP() << "running with permission to write read-only files";
    HostRun run(8, 3, 3, dir.path());
    for (int k = 0; k < 3; ++k) run.step();
    EXPECT_EQ(dir.lines(HistoryFiles::kVolumeRatio), std::vector<std::string>{"old"});
    EXPECT_EQ(dir.lines(HistoryFiles::kObjectiveValue).size(), 3u);
    EXPECT_EQ(dir.lines(HistoryFiles::kSharpness).size(), 4u);
    EXPECT_EQ(dir.lines(HistoryFiles::kNumCycles).size(), 3u);
    EXPECT_TRUE(fs::exists(dir.path() / HistoryFiles::kConstraint));
}
