// The optimizer's kernel path (KernelSteps on the host device) against the CPU reference
// (ReferenceSteps): on small random models with holes, kept elements and keep regions, in both
// projection modes, the stiffness factors, energies and sensitivities agree to 1e-12 relative,
// the multiplier search's candidates and the accepted densities agree to rounding and the sums
// of the console lines to rounding, step after step. Also: every sum and extreme on the device
// is the same for any number of host threads, the host-side changes of the densities reach the
// device, and the state comes back on request.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "OptimizationTestSupport.h"
#include "RandomModels.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/HostDriver.h"
#include "kernels/OptimizerLayout.h"
#include "optimization/ElementSteps.h"
#include "optimization/KernelSteps.h"
#include "optimization/Optimizer.h"
#include "reference/ReferenceOptimizer.h"
#include "support/ScratchFolder.h"

using namespace ostrel;
using namespace ostrel::testing;
namespace fs = std::filesystem;

namespace {

/// |a - b| <= tolerance * max(|a|, |b|), with exact zeros equal.
::testing::AssertionResult relativelyEqual(double a, double b, double tolerance) {
    if (std::fabs(a - b) <= tolerance * std::max(std::fabs(a), std::fabs(b)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b << " (relative "
                                         << std::fabs(a - b) / std::max(std::fabs(a), std::fabs(b))
                                         << ")";
}

/// The CPU reference and the kernel path on one model and one host device.
struct TwoPaths {
    std::unique_ptr<MultigridSolver> fem;
    OptimizationLifetime cpuLife, deviceLife;
    std::unique_ptr<ReferenceOptimizer> cpu;
    std::unique_ptr<StepOptimizer> device;
    std::unique_ptr<DeviceOptimizer> kernels;
    std::unique_ptr<KernelSteps> steps;
    FemModel& m;

    TwoPaths(FemModel& model, const DesignControls& controls, const fs::path& dir, int threads = 1)
        : m(model) {
        fem = std::make_unique<MultigridSolver>(model, DeviceOptions{true, threads},
                                        std::make_unique<HostDriver>(threads));
        fem->setLogs(nullptr, nullptr);
        fem->setup();
        fs::create_directories(dir / "cpu");
        fs::create_directories(dir / "device");
        cpu = std::make_unique<ReferenceOptimizer>(model, cpuLife, dir / "cpu");
        device = std::make_unique<StepOptimizer>(model, deviceLife, dir / "device");
        for (Optimizer* o : std::initializer_list<Optimizer*>{cpu.get(), device.get()}) {
            o->setLogs(nullptr, nullptr);
            o->setControls(controls);
        }
        kernels = std::make_unique<DeviceOptimizer>(*fem);
        steps = std::make_unique<KernelSteps>(*kernels);
        device->attachSteps(steps.get());
        cpu->reset();
        device->reset();
    }
    ~TwoPaths() {
        device.reset();
        steps.reset();
        kernels.reset();
        fem->release();
    }
    /// The displacement both paths read.
    void setDisplacement(const std::vector<double>& u) {
        m.setDisplacement(u);
        ASSERT_EQ(fem->driver().memcpyHtoD(fem->u_dev_[0], u.data(), 8 * u.size()), 0);
    }
};

class KernelPath : public ::testing::TestWithParam<ModelCase> {};

TEST_P(KernelPath, AgreesWithTheCpuOptimizerStepByStep) {
    const ModelCase& c = GetParam();
    RandomModel r(c, 11);
    ScratchFolder dir("kernel-path");
    TwoPaths p(*r.model, controlsOf(c), dir.path());
    ReferenceOptimizer& a = *p.cpu;
    StepOptimizer& b = *p.device;
    const size_t n = size_t(r.model->numElements(0));
    ASSERT_GT(a.numDesignable_, 0);
    ASSERT_LT(a.numDesignable_, int(n)) << "kept elements expected";
    if (c.keepBoxes) {
        ASSERT_GT(a.numEmptyHeld_, 0);
    }
    ASSERT_EQ(a.V0_, b.V0_);
    int shrunk = 0;
    // The move limits adapt once beta has its last value: start there.
    if (c.projection) a.beta_ = b.beta_ = Optimizer::kProjectedBetaLast;

    for (int step = 0; step < 6; ++step) {
        SCOPED_TRACE(step);
        // Every step starts from the same state: the kernel path's, which differs from the CPU
        // path's by rounding after a step (its sums run in another order).
        const DesignSnapshot start = b.snapshot();
        a.x_ = start.design;
        if (c.projection) a.xTilde_ = start.filtered;
        a.setDensities(start.density);

        // Stiffness factors: the device's E_dev_ against the CPU's E_.
        a.updateStiffness();
        b.updateStiffness();
        std::vector<float> E(n);
        p.kernels->downloadFactors(E.data());
        p.fem->prepareSolve();  // the solver takes the kernel path's factors
        std::vector<float> taken(n);
        ASSERT_EQ(p.fem->driver().memcpyDtoH(taken.data(), p.fem->E_dev_, 4 * n), 0);
        ASSERT_EQ(taken, E);
        for (size_t e = 0; e < n; ++e)
            ASSERT_TRUE(relativelyEqual(E[e], r.model->stiffnessFactors()[e], 1e-7)) << e;
        // A minimum member size: the factors are the eroded design's, 1000 * H_0.75^3 of the
        // filtered design, which is thinner than the densities (the intermediate design).
        if (c.minMember > 0) {
            ASSERT_TRUE(b.solvesEroded());
            const Projection eroded(b.rhoBeta_, Optimizer::kErodedEta, b.minDensity());
            int thinner = 0;
            for (size_t e = 0; e < n; ++e) {
                if (!a.isDesignable(e)) continue;
                const float solid = float(eroded.value(double(start.filtered[e])));
                ASSERT_TRUE(relativelyEqual(E[e], 1000.0 * std::pow(double(solid), 3.0), 1e-6))
                    << e;
                ASSERT_LE(solid, start.density[e]) << e;
                thinner += solid < start.density[e];
            }
            EXPECT_GT(thinner, 0);
        } else {
            ASSERT_FALSE(b.solvesEroded());
        }

        // Energies from the same displacement (scaled so that the energies change per step).
        std::vector<double> u = r.u;
        for (double& v : u) v *= 1.0 + 0.1 * step;
        p.setDisplacement(u);
        a.evaluateEnergies();
        b.evaluateEnergies();
        const std::vector<double> q = b.snapshot().energy;
        for (size_t e = 0; e < n; ++e) ASSERT_TRUE(relativelyEqual(q[e], a.q_[e], 1e-12)) << e;
        EXPECT_TRUE(relativelyEqual(b.totalEnergy(), a.totalEnergy(), 1e-13));
        EXPECT_TRUE(relativelyEqual(p.deviceLife.referenceEnergy, p.cpuLife.referenceEnergy, 1e-13));

        // Sensitivities through the filter and the projection's slope.
        a.computeSensitivities();
        b.computeSensitivities();
        std::vector<double> dq(n), dv(n);
        p.kernels->downloadSensitivities(dq.data(), dv.data());
        for (size_t e = 0; e < n; ++e) {
            ASSERT_TRUE(relativelyEqual(dq[e], a.sensitivity_[elementCell(a.model(), e)], 1e-12)) << e;
            ASSERT_TRUE(relativelyEqual(dv[e], a.dv_[e], 1e-12)) << e;
        }

        // The search from the same bracket: the same passes and candidates to rounding.
        double lo = 0, hi = 0;
        bool first = true;
        for (size_t e = 0; e < n; ++e) {
            if (!a.isDesignable(e) || !(a.dv_[e] > 0.0)) continue;
            const double d = std::fabs(a.sensitivity_[elementCell(a.model(), e)]) / a.dv_[e];
            lo = first ? d : std::min(lo, d);
            hi = first ? d : std::max(hi, d);
            first = false;
        }
        const double target = a.nextVolumeTarget();
        EXPECT_TRUE(relativelyEqual(b.nextVolumeTarget(), target, 1e-14));
        const int passesA = a.searchMultiplier(target, lo, 2 * hi);
        const int passesB = b.searchMultiplier(target, lo, 2 * hi);
        if (c.projection) {
            // Every pass filters and projects: one multiplier per pass, the bisection.
            EXPECT_EQ(passesA, 40);
            EXPECT_EQ(passesB, 40);
        } else {
            // 128 multipliers per pass on the reference, the host device's 8 on the kernel path.
            EXPECT_LE(passesA, 10);
            EXPECT_LE(passesB, 16);
        }
        std::vector<float> x(n), rho(n);
        p.kernels->downloadCandidates(x.data(), rho.data());
        for (size_t e = 0; e < n; ++e) {
            ASSERT_NEAR(x[e], a.candidateX_[e], 1e-6) << e;
            ASSERT_NEAR(rho[e], a.candidateRho_[e], 1e-6) << e;
        }

        // The whole update.
        a.iterate(step);
        b.iterate(step);
        const DesignSnapshot updated = b.snapshot();
        for (size_t e = 0; e < n; ++e) {
            ASSERT_NEAR(updated.design[e], a.x_[e], 1e-6) << e;
            ASSERT_NEAR(updated.density[e], a.rho_[e], 1e-6) << e;
            if (c.projection) {
                ASSERT_NEAR(updated.filtered[e], a.xTilde_[e], 1e-6) << e;
            }
        }
        EXPECT_TRUE(relativelyEqual(b.lastStrainEnergy_, a.lastStrainEnergy_, 1e-13));
        EXPECT_TRUE(relativelyEqual(b.lastVolumeRatio_, a.lastVolumeRatio_, 1e-7));
        EXPECT_TRUE(relativelyEqual(b.lastSharpness_, a.lastSharpness_, 1e-6));
        EXPECT_NEAR(b.lastDesignChange_, a.lastDesignChange_, 1e-6);
        EXPECT_EQ(b.volumeTarget_, a.volumeTarget_);
        EXPECT_EQ(b.beta_, a.beta_);
        // Mirror planes: the design variables of an orbit are equal bit for bit on both paths,
        // although the loads and the keep boxes are not symmetric.
        if (c.planes > 0) {
            const SymmetryOrbits& orbits = a.orbits_;
            ASSERT_EQ(orbits.size, 1 << c.planes);
            int shared = 0;
            for (size_t e = 0; e < n; ++e) {
                if (a.isHeldDesign(e)) continue;
                for (int k = 0; k < orbits.size; ++k) {
                    const int j = orbits.members[e * size_t(orbits.size) + size_t(k)];
                    if (j < 0 || a.isHeldDesign(size_t(j)) || size_t(j) == e) continue;
                    ASSERT_EQ(updated.design[e], updated.design[size_t(j)]) << e << " " << j;
                    ASSERT_EQ(a.x_[e], a.x_[size_t(j)]) << e << " " << j;
                    ++shared;
                }
            }
            EXPECT_GT(shared, int(n) / 2);
        }
        // The device's volume sum is the sum of the densities it sent back.
        EXPECT_TRUE(relativelyEqual(b.lastVolumeRatio_ * b.V0_, b.totalDensity(), 1e-13));
        EXPECT_TRUE(relativelyEqual(b.lastSharpness_, b.sharpness(), 1e-12));
        // With projection, every design variable's own move limit, by the same rule.
        if (c.projection) {
            std::vector<float> moves(n);
            p.kernels->downloadMoves(moves.data());
            const std::vector<float>& reference = a.reference.moves;
            for (size_t e = 0; e < n; ++e) {
                ASSERT_EQ(moves[e], reference[e]) << e;
                ASSERT_GE(moves[e], float(Optimizer::kMoveFloor)) << e;
                ASSERT_LE(moves[e], float(Optimizer::kProjectedMoveLimit)) << e;
                shrunk += moves[e] < float(Optimizer::kProjectedMoveLimit);
            }
        }
    }
    // The rule was exercised: some variables reversed their change.
    if (c.projection) {
        EXPECT_GT(shrunk, 0);
    }
}

// Densities set from outside: ignored before the first reset and with another count; a full
// set reaches the device, whose next stiffness factors and snapshot are made from it.
// The reset's starting state formed by the kernels (weight sums, design, its filter, the
// densities and their sums) is the CPU reference's, bit for bit where it is per element.
TEST_P(KernelPath, StartsFromTheCpuReferencesDesignBitForBit) {
    const ModelCase& c = GetParam();
    RandomModel r(c, 3);
    ScratchFolder dir("kernel-start");
    TwoPaths p(*r.model, controlsOf(c), dir.path());
    ReferenceOptimizer& a = *p.cpu;
    StepOptimizer& b = *p.device;
    EXPECT_EQ(b.densities(), a.rho_);
    const DesignSnapshot start = b.snapshot();
    EXPECT_EQ(start.design, a.x_);
    EXPECT_EQ(start.density, a.rho_);
    if (c.projection) {
        EXPECT_EQ(start.filtered, a.xTilde_);
    }
    EXPECT_TRUE(relativelyEqual(b.totalDensity(), a.totalDensity(), 1e-13));
    EXPECT_TRUE(relativelyEqual(b.sharpness(), a.sharpness(), 1e-12));
    // Detached, the kernel path's weight sums and (without projection) the filter taken at
    // the reset come back into the optimizer.
    b.attachSteps(nullptr);
    EXPECT_EQ(b.W_, a.W_);
    if (!c.projection) {
        EXPECT_EQ(b.xTilde0_, a.xTilde0_);
    }
    // Held design variables start at their fixed values, the others at the volume fraction.
    const float fraction = float(controlsOf(c).volumeFraction);
    for (size_t e = 0; e < a.x_.size(); ++e) {
        const float expected = a.isEmptyHeld_[e]     ? float(a.designLower_)
                               : a.isHeldDesign(e) ? 1.0f
                                                   : fraction;
        ASSERT_EQ(start.design[e], expected) << e;
    }
}

TEST(KernelPathDensities, SetDensitiesReachesTheDeviceAndRefusesAWrongCount) {
    RandomModel r(ModelCase{"small", 8, 5, 4, 0.1, 0, false, 0.0}, 5);
    ScratchFolder dir("set-densities");
    const size_t n = size_t(r.model->numElements(0));
    {
        OptimizationLifetime lifetime;
        Optimizer fresh(*r.model, lifetime, dir.path());
        fresh.setLogs(nullptr, nullptr);
        fresh.setDensities(std::vector<float>(n, 0.5f));
        EXPECT_TRUE(fresh.densities().empty());
        EXPECT_FALSE(fresh.snapshot().valid());
    }
    TwoPaths p(*r.model, DesignControls{}, dir.path());
    StepOptimizer& b = *p.device;
    const std::vector<float> reset = b.densities();
    ASSERT_EQ(reset.size(), n);
    for (size_t wrong : {size_t(0), n - 1, n + 1}) {
        b.setDensities(std::vector<float>(wrong, 0.5f));
        EXPECT_EQ(b.densities(), reset) << wrong;
    }
    std::vector<float> rho(n);
    for (size_t e = 0; e < n; ++e) rho[e] = 0.05f + 0.9f * float(e % 17) / 16.0f;
    b.setDensities(rho);
    EXPECT_EQ(b.densities(), rho);
    b.updateStiffness();
    const DesignSnapshot state = b.snapshot();
    EXPECT_EQ(state.density, rho);
    ASSERT_EQ(state.stiffness.size(), n);
    for (size_t e = 0; e < n; ++e)
        ASSERT_TRUE(
            relativelyEqual(state.stiffness[e], 1000.0 * std::pow(double(rho[e]), 3.0), 1e-6))
            << e;
    double total = 0;
    for (float v : rho) total += double(v);
    EXPECT_TRUE(relativelyEqual(state.totalDensity, total, 1e-12));
}

/// Other steps with a search width of the test's choice, counting the passes (each one
/// read-back of volumes) and recording the chosen multiplier.
class WidthSteps final : public ElementSteps {
public:
    explicit WidthSteps(ElementSteps& inner) : inner_(inner) {}
    DesignSums start(Optimizer& o) override { return inner_.start(o); }
    void load(Optimizer& o) override { inner_.load(o); }
    void unload(Optimizer& o) override { inner_.unload(o); }
    void downloadState(Optimizer& o) override { inner_.downloadState(o); }
    void downloadCheckpoint(Optimizer& o) override { inner_.downloadCheckpoint(o); }
    DesignSums densitiesChanged(const Optimizer& o) override { return inner_.densitiesChanged(o); }
    void updateStiffness(Optimizer& o) override { inner_.updateStiffness(o); }
    double evaluateEnergies(Optimizer& o) override { return inner_.evaluateEnergies(o); }
    double addCaseEnergies(Optimizer& o, double w, bool first) override {
        return inner_.addCaseEnergies(o, w, first);
    }
    void computeSensitivities(Optimizer& o) override { inner_.computeSensitivities(o); }
    void ratioRange(Optimizer& o, double& lo, double& hi) override { inner_.ratioRange(o, lo, hi); }
    void prepareSearch(Optimizer& o) override {
        passes = 0;
        largestPass = 0;
        inner_.prepareSearch(o);
    }
    double searchVolume(Optimizer& o, double lambda) override {
        ++passes;
        largestPass = std::max<size_t>(largestPass, 1);
        return inner_.searchVolume(o, lambda);
    }
    int searchWidth(const Optimizer&) const override { return width; }
    void searchVolumes(Optimizer& o, const std::vector<double>& lambdas,
                       std::vector<double>& volumes) override {
        ++passes;
        largestPass = std::max(largestPass, lambdas.size());
        inner_.searchVolumes(o, lambdas, volumes);
    }
    void finishSearch(Optimizer& o, double lambda) override {
        chosen = lambda;
        inner_.finishSearch(o, lambda);
    }
    DesignSums accept(Optimizer& o) override { return inner_.accept(o); }
    bool onDevice() const override { return inner_.onDevice(); }

    int width = 1;
    int passes = 0;
    size_t largestPass = 0;
    double chosen = 0.0;

private:
    ElementSteps& inner_;
};

class ManyMultipliers : public ::testing::TestWithParam<ModelCase> {};

// The search of many multipliers per pass chooses the bisection's multiplier to the tolerance,
// with its candidates, in a few read-backs.
TEST_P(ManyMultipliers, ChooseTheBisectionsMultiplierInAFewReadBacks) {
    const ModelCase& c = GetParam();
    RandomModel r(c, 5);
    ScratchFolder dir("many-multipliers");
    TwoPaths p(*r.model, controlsOf(c), dir.path());
    StepOptimizer& b = *p.device;
    WidthSteps steps(*p.steps);
    b.attachSteps(&steps);
    const size_t n = size_t(r.model->numElements(0));
    b.updateStiffness();
    p.fem->prepareSolve();
    p.setDisplacement(r.u);
    b.evaluateEnergies();
    b.computeSensitivities();
    double lo = 0, hi = 0;
    steps.ratioRange(b, lo, hi);
    ASSERT_LT(lo, hi);
    // The host device's own width: one group of multipliers per thread.
    EXPECT_EQ(p.steps->searchWidth(b), int(kSearchGroup));
    EXPECT_EQ(p.kernels->searchWidth(), int(kSearchGroup));
    for (double target : {0.95, 0.7, 0.4, 0.05}) {
        SCOPED_TRACE(target);
        steps.width = 1;
        EXPECT_EQ(b.searchMultiplier(target, lo, hi), 40);
        EXPECT_EQ(steps.passes, 40);
        const double bisection = steps.chosen;
        std::vector<float> x1(n), rho1(n);
        p.kernels->downloadCandidates(x1.data(), rho1.data());

        // A CUDA device's width and the host device's.
        for (int width : {int(kSearchCandidates), int(kSearchGroup)}) {
            SCOPED_TRACE(width);
            steps.width = width;
            const int passes = b.searchMultiplier(target, lo, hi);
            EXPECT_EQ(passes, steps.passes);
            EXPECT_LE(passes, width == kSearchCandidates ? 8 : 16);
            EXPECT_EQ(steps.largestPass, size_t(width));
            EXPECT_NEAR(steps.chosen, bisection, 2e-12 * (hi - lo));
            std::vector<float> x(n), rho(n);
            p.kernels->downloadCandidates(x.data(), rho.data());
            for (size_t e = 0; e < n; ++e) {
                ASSERT_NEAR(x[e], x1[e], 1e-6) << e;
                ASSERT_NEAR(rho[e], rho1[e], 1e-6) << e;
            }
        }
    }
    b.attachSteps(p.steps.get());
}

// Each multiplier of a launch gets the very volume it gets alone, on one host thread or two.
// Read-backs of a CUDA device's search (kSearchCandidates multipliers per pass) along real
// optimizations of cantilever boxes: at most four per iteration from some 3 * 10^4 elements on,
// the first (no multiplier to start from) and the later ones (around the last multiplier), each
// choosing the bisection's multiplier to the tolerance. With fewer elements the volume is a
// staircase of few steps at the tolerance's scale, which takes a pass or two more.
TEST(SearchReadBacks, AtMostFourPerIterationAlongAnOptimization) {
    struct Case {
        int nx, ny, nz;
        int passes;  // allowed per iteration
    };
    for (const Case& c : {Case{24, 8, 8, 6}, Case{64, 20, 24, 4}}) {
        SCOPED_TRACE(c.nx);
        auto model = makeBox(c.nx, c.ny, c.nz, 4);
        for (int y = 0; y <= c.ny; ++y)
            for (int z = 0; z <= c.nz; ++z) {
                const int fixed = model->vertexAt(0, {0, y, z});
                if (fixed >= 0) model->setFixed(fixed, true);
            }
        for (int y = 0; y <= c.ny; ++y) {
            const int loaded = model->vertexAt(0, {c.nx, y, 0});
            if (loaded >= 0) model->setForceComponent(loaded, 2, -1.0f);
        }
        MultigridSolver fem(*model, DeviceOptions{true, 2}, std::make_unique<HostDriver>(2));
        fem.setLogs(nullptr, nullptr);
        ASSERT_TRUE(fem.setup());
        ScratchFolder dir("read-backs");
        OptimizationLifetime life;
        StepOptimizer opt(*model, life, dir.path());
        opt.setLogs(nullptr, nullptr);
        DeviceOptimizer device(fem);
        KernelSteps kernels(device);
        WidthSteps steps(kernels);
        opt.attachSteps(&steps);
        opt.reset();
        fem.computeLoad();
        for (int k = 0; k < 6; ++k) {
            SCOPED_TRACE(k);
            opt.updateStiffness();
            fem.prepareSolve();
            fem.solve(0.01);
            opt.evaluateEnergies();
            // The bisection from the same state, leaving the next search's start as it was.
            opt.computeSensitivities();
            double lo = 0, hi = 0;
            steps.ratioRange(opt, lo, hi);
            const double last = opt.state.lastMultiplier_;
            steps.width = 1;
            opt.searchMultiplier(opt.nextVolumeTarget(), lo, hi);
            const double bisection = steps.chosen;
            opt.state.lastMultiplier_ = last;
            EXPECT_EQ(last == 0.0, k == 0);

            steps.width = int(kSearchCandidates);
            opt.iterate(k);
            EXPECT_EQ(opt.lastSearchPasses(), steps.passes);
            EXPECT_LE(steps.passes, c.passes);
            EXPECT_NEAR(steps.chosen, bisection, 1.5e-12 * (hi - lo));
            EXPECT_EQ(opt.state.lastMultiplier_, steps.chosen);
        }
        opt.attachSteps(nullptr);
        device.release();
        fem.release();
    }
}

TEST_P(ManyMultipliers, GiveEachMultipliersOwnVolumeBitForBit) {
    const ModelCase& c = GetParam();
    RandomModel r(c, 9);
    std::vector<std::vector<double>> byThreads;
    for (int threads : {1, 2}) {
        ScratchFolder dir("many-multipliers-bits");
        TwoPaths p(*r.model, controlsOf(c), dir.path(), threads);
        StepOptimizer& b = *p.device;
        b.updateStiffness();
        p.fem->prepareSolve();
        p.setDisplacement(r.u);
        b.evaluateEnergies();
        b.computeSensitivities();
        p.kernels->prepareSearch();
        const DeviceLimits limits{b.moveLimit_, b.designLower_, b.designUpper_};
        // Over the update ratios' range and beyond it on both sides.
        double lo = 0, hi = 0;
        ASSERT_TRUE(p.kernels->ratioRange(lo, hi));
        std::vector<double> lambdas;
        for (int k = 0; k < kSearchCandidates; ++k)
            lambdas.push_back(0.5 * lo * std::pow(4 * hi / lo, k / (double(kSearchCandidates) - 1.0)));
        std::vector<double> all(lambdas.size());
        p.kernels->searchVolumes(lambdas.data(), int(lambdas.size()), limits, all.data());
        for (size_t k = 0; k < lambdas.size(); ++k)
            ASSERT_EQ(all[k], p.kernels->searchVolume(lambdas[k], limits)) << k;
        // Launches of fewer multipliers: a group of eight split, and a lone one.
        for (int count : {1, 7, 9, 17}) {
            std::vector<double> some(static_cast<size_t>(count));
            p.kernels->searchVolumes(lambdas.data() + 3, count, limits, some.data());
            for (int k = 0; k < count; ++k) ASSERT_EQ(some[size_t(k)], all[size_t(k) + 3]) << count;
        }
        // The volume falls as the multiplier grows.
        for (size_t k = 1; k < all.size(); ++k) EXPECT_LE(all[k], all[k - 1]) << k;
        EXPECT_GT(all.front(), all.back());
        byThreads.push_back(all);
    }
    EXPECT_EQ(byThreads[0], byThreads[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ManyMultipliers,
    ::testing::Values(ModelCase{"holes", 12, 6, 5, 0.15, 0, false, 0.0},
                      ModelCase{"holes_keep_boxes", 13, 6, 6, 0.1, 0, true, 0.0},
                      ModelCase{"given_radius", 14, 8, 7, 0.1, 0, true, 2.5}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Models, KernelPath,
    ::testing::Values(ModelCase{"holes", 12, 6, 5, 0.15, 0, false, 0.0},
                      ModelCase{"holes_keep_boxes", 13, 6, 6, 0.1, 0, true, 0.0},
                      ModelCase{"given_radius", 12, 7, 5, 0.1, 0, true, 2.5},
                      ModelCase{"projection", 12, 6, 5, 0.15, 1, true, 0.0},
                      ModelCase{"projection_radius", 11, 6, 6, 0.1, 1, false, 1.5},
                      ModelCase{"mirror_x", 12, 6, 5, 0.15, 0, true, 0.0, 1},
                      ModelCase{"mirror_xz_projection", 12, 6, 6, 0.1, 1, true, 0.0, 2},
                      ModelCase{"mirror_xzy_odd", 11, 5, 7, 0.1, 1, false, 2.5, 3},
                      ModelCase{"min_member", 12, 6, 6, 0.1, 1, true, 0.0, 0, 2.0},
                      ModelCase{"min_member_3", 12, 6, 6, 0.1, 1, false, 0.0, 0, 3.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
