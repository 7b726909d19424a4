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
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/HostDriver.h"
#include "optimization/KernelSteps.h"
#include "optimization/Optimizer.h"
#include "reference/ReferenceOptimizer.h"
#include "support/ScratchFolder.h"

using namespace ostrel;
using namespace ostrel::testing;
namespace fs = std::filesystem;

namespace {

struct ModelCase {
    const char* name;
    int nx, ny, nz;
    double holes;       ///< fraction of the box's cells left empty
    int projection;
    bool keepBoxes;     ///< one keep-solid and one keep-empty box
    double radius;      ///< 0: the default filter
};

/// A box with random holes, random fixed vertices and loads (kept elements) and a smooth
/// random displacement field.
struct RandomModel {
    std::unique_ptr<FemModel> model;
    std::vector<double> u;
    RandomModel(const ModelCase& c, unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<uint8_t> occupied(size_t(c.nx) * c.ny * c.nz);
        for (auto& o : occupied) o = unit(random) >= c.holes;
        model = makeModel(c.nx, c.ny, c.nz, [&](int x, int y, int z) {
            return occupied[size_t(x + c.nx * (y + c.ny * z))] != 0;
        });
        const int nV = model->numVertices(0);
        for (int v = 0; v < nV; ++v) {
            const double r = unit(random);
            if (r < 0.03) model->isVertexFixed_[size_t(v)] = 1;
            else if (r < 0.05) model->force_[3 * size_t(v) + 2] = -1.0f;
        }
        u.resize(3 * size_t(nV));
        const double phase = unit(random);
        for (int v = 0; v < nV; ++v) {
            const GridPos p = unpack(model->vertexPosition_[0][size_t(v)]);
            for (int a = 0; a < 3; ++a)
                u[size_t(a * nV + v)] =
                    1e-4 * std::sin(0.7 * p.x + 1.3 * a + phase) * std::cos(0.4 * p.y - p.z) +
                    1e-6 * unit(random);
        }
    }
};

void PrintTo(const ModelCase& c, std::ostream* out) { *out << c.name; }

DesignControls controlsOf(const ModelCase& c) {
    DesignControls d;
    d.projection = c.projection;
    if (c.radius > 0) {
        d.filterRadius = c.radius;
        d.filterRadiusGiven = true;
    }
    if (c.keepBoxes) {
        d.keepSolid.push_back({{0.0, 0.0, 0.0}, {2.0, double(c.ny), 2.0}});
        d.keepEmpty.push_back({{c.nx - 3.0, 0.0, c.nz - 2.0}, {double(c.nx), 2.0, double(c.nz)}});
    }
    return d;
}

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
        m.u_ = u;
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
    const size_t n = size_t(r.model->numElements_[0]);
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
        a.x_ = b.x_;
        a.rho_ = b.rho_;
        if (c.projection) a.xTilde_ = b.xTilde_;
        a.densitiesChanged();

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
            ASSERT_TRUE(relativelyEqual(E[e], r.model->E_[e], 1e-7)) << e;

        // Energies from the same displacement (scaled so that the energies change per step).
        std::vector<double> u = r.u;
        for (double& v : u) v *= 1.0 + 0.1 * step;
        p.setDisplacement(u);
        a.evaluateEnergies();
        b.evaluateEnergies();
        b.downloadState();
        for (size_t e = 0; e < n; ++e) ASSERT_TRUE(relativelyEqual(b.q_[e], a.q_[e], 1e-12)) << e;
        EXPECT_TRUE(relativelyEqual(b.totalEnergy(), a.totalEnergy(), 1e-13));
        EXPECT_TRUE(relativelyEqual(p.deviceLife.referenceEnergy, p.cpuLife.referenceEnergy, 1e-13));

        // Sensitivities through the filter and the projection's slope.
        a.computeSensitivities();
        b.computeSensitivities();
        std::vector<double> dq(n), dv(n);
        p.kernels->downloadSensitivities(dq.data(), dv.data());
        for (size_t e = 0; e < n; ++e) {
            ASSERT_TRUE(relativelyEqual(dq[e], a.sensitivity_[a.elementCell(e)], 1e-12)) << e;
            ASSERT_TRUE(relativelyEqual(dv[e], a.dv_[e], 1e-12)) << e;
        }

        // The search from the same bracket: the same passes and candidates to rounding.
        double lo = 0, hi = 0;
        bool first = true;
        for (size_t e = 0; e < n; ++e) {
            if (!a.isDesignable(e) || !(a.dv_[e] > 0.0)) continue;
            const double d = std::fabs(a.sensitivity_[a.elementCell(e)]) / a.dv_[e];
            lo = first ? d : std::min(lo, d);
            hi = first ? d : std::max(hi, d);
            first = false;
        }
        const double target = a.nextVolumeTarget();
        EXPECT_TRUE(relativelyEqual(b.nextVolumeTarget(), target, 1e-14));
        EXPECT_EQ(a.searchMultiplier(target, lo, 2 * hi), 40);
        EXPECT_EQ(b.searchMultiplier(target, lo, 2 * hi), 40);
        std::vector<float> x(n), rho(n);
        p.kernels->downloadCandidates(x.data(), rho.data());
        for (size_t e = 0; e < n; ++e) {
            ASSERT_NEAR(x[e], a.candidateX_[e], 1e-6) << e;
            ASSERT_NEAR(rho[e], a.candidateRho_[e], 1e-6) << e;
        }

        // The whole update.
        a.iterate(step);
        b.iterate(step);
        b.downloadState();
        for (size_t e = 0; e < n; ++e) {
            ASSERT_NEAR(b.x_[e], a.x_[e], 1e-6) << e;
            ASSERT_NEAR(b.rho_[e], a.rho_[e], 1e-6) << e;
            if (c.projection) {
                ASSERT_NEAR(b.xTilde_[e], a.xTilde_[e], 1e-6) << e;
            }
        }
        EXPECT_TRUE(relativelyEqual(b.lastStrainEnergy_, a.lastStrainEnergy_, 1e-13));
        EXPECT_TRUE(relativelyEqual(b.lastVolumeRatio_, a.lastVolumeRatio_, 1e-7));
        EXPECT_TRUE(relativelyEqual(b.lastSharpness_, a.lastSharpness_, 1e-6));
        EXPECT_NEAR(b.lastDesignChange_, a.lastDesignChange_, 1e-6);
        EXPECT_EQ(b.volumeTarget_, a.volumeTarget_);
        EXPECT_EQ(b.beta_, a.beta_);
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

INSTANTIATE_TEST_SUITE_P(
    Models, KernelPath,
    ::testing::Values(ModelCase{"holes", 12, 6, 5, 0.15, 0, false, 0.0},
                      ModelCase{"holes_keep_boxes", 13, 6, 6, 0.1, 0, true, 0.0},
                      ModelCase{"given_radius", 12, 7, 5, 0.1, 0, true, 2.5},
                      ModelCase{"projection", 12, 6, 5, 0.15, 1, true, 0.0},
                      ModelCase{"projection_radius", 11, 6, 6, 0.1, 1, false, 1.5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
