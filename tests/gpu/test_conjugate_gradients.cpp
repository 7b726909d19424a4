// Conjugate gradients preconditioned by a V-cycle: agreement with the direct solve and with
// the V-cycle loop, the symmetry of the preconditioning cycle, the fixed-order dot product,
// bit-reproducibility over thread counts, the warm start and the stop request. With
// OSTREL_TEST_DEVICE=cuda the solves run on the CUDA driver (the suite runs them so once more
// through the driver stand-in, see tests/gpu/CMakeLists.txt).

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gpu/SolveChecks.h"

namespace ostrel {
namespace {

using testing::directSolve;
using testing::relativeError;
using testing::residualLines;
using testing::Solver;

struct PcgSolver : Solver {
    PcgSolver(int nx, int ny, int nz, int levels) : Solver(nx, ny, nz, levels) {
        fem->setSolveMethod(SolveMethod::ConjugateGradients);
        fem->computeLoad();
        fem->prepareSolve();
    }
    CUdeviceptr upload(const std::vector<double>& values) {
        CUdeviceptr p = 0;
        EXPECT_EQ(fem->driver().memAlloc(&p, values.size() * 8), 0);
        EXPECT_EQ(fem->driver().memcpyHtoD(p, values.data(), values.size() * 8), 0);
        buffers.push_back(p);
        return p;
    }
    CUdeviceptr upload(const std::vector<float>& values) {
        CUdeviceptr p = 0;
        EXPECT_EQ(fem->driver().memAlloc(&p, values.size() * 4), 0);
        EXPECT_EQ(fem->driver().memcpyHtoD(p, values.data(), values.size() * 4), 0);
        buffers.push_back(p);
        return p;
    }
    std::vector<double> download(CUdeviceptr p, size_t n) {
        std::vector<double> values(n);
        EXPECT_EQ(fem->driver().memcpyDtoH(values.data(), p, n * 8), 0);
        return values;
    }
    ~PcgSolver() {
        for (CUdeviceptr p : buffers) fem->driver().memFree(p);
    }
    std::vector<CUdeviceptr> buffers;
};

double dot(const std::vector<double>& a, const std::vector<float>& b) {
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * double(b[i]);
    return s;
}

// A random right-hand side, zero at fixed vertices (as every residual of the solve is).
std::vector<float> randomLoad(const FemModel& m, unsigned seed) {
    const size_t nV = size_t(m.numVertices(0));
    std::vector<double> values = testing::randomVector(seed, 3 * nV, 1.0);
    std::vector<float> load(values.size());
    for (size_t i = 0; i < load.size(); ++i)
        load[i] = m.fixedFlags()[i % nV] ? 0.0f : float(values[i]);
    return load;
}

struct AgreementCase {
    int nx, ny, nz, levels;
};

class ConjugateGradientsAgainstDirect : public ::testing::TestWithParam<AgreementCase> {};

TEST_P(ConjugateGradientsAgainstDirect, AgreesWithCholeskyInFewerCyclesThanTheLoop) {
    const AgreementCase c = GetParam();
    Solver loop(c.nx, c.ny, c.nz, c.levels);
    loop.fem->computeLoad();
    loop.fem->prepareSolve();
    ASSERT_TRUE(loop.fem->solve(1e-6));

    PcgSolver s(c.nx, c.ny, c.nz, c.levels);
    ASSERT_TRUE(s.fem->solve(1e-6));
    const std::vector<double> lines = residualLines(s.narrow.str());
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.back(), 1e-6);
    for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_GT(lines[i], 1e-6) << i;
    EXPECT_EQ(s.cycles.str(), std::to_string(lines.size()) + "\n");
    EXPECT_EQ(s.fem->lastCycles(), int(lines.size()));
    EXPECT_LT(s.fem->lastCycles(), loop.fem->lastCycles());

    // The last line is the true residual of the displacement returned.
    const testing::Dense K = testing::assembleFinest(*s.model);
    const std::vector<double> f = testing::effectiveLoad(*s.model);
    double rr = 0, ff = 0;
    for (int i = 0; i < K.n; ++i) {
        double r = f[size_t(i)];
        for (int j = 0; j < K.n; ++j) r -= K(i, j) * s.model->displacement()[size_t(j)];
        rr += r * r;
        ff += double(s.model->load()[size_t(i)]) * double(s.model->load()[size_t(i)]);
    }
    EXPECT_NEAR(std::sqrt(rr / ff), lines.back(), 1e-3 * lines.back());

    const std::vector<double> direct = directSolve(*s.model);
    EXPECT_LT(relativeError(direct, s.model->displacement()), 1e-5);
    EXPECT_LT(relativeError(loop.model->displacement(), s.model->displacement()), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(Models, ConjugateGradientsAgainstDirect,
                         ::testing::Values(AgreementCase{16, 6, 6, 3}, AgreementCase{16, 6, 6, 4},
                                           AgreementCase{12, 8, 4, 3}));

TEST(ConjugateGradients, AtTheUsualToleranceBothMethodsAgreeWithTheDirectSolve) {
    Solver loop(16, 6, 6, 3);
    loop.fem->computeLoad();
    loop.fem->prepareSolve();
    ASSERT_TRUE(loop.fem->solve(0.01));
    PcgSolver s(16, 6, 6, 3);
    ASSERT_TRUE(s.fem->solve(0.01));
    const std::vector<double> direct = directSolve(*s.model);
    // A relative residual of 0.01 leaves an error of the same order on this model.
    EXPECT_LT(relativeError(direct, s.model->displacement()), 0.05);
    EXPECT_LT(relativeError(direct, loop.model->displacement()), 0.05);
}

TEST(ConjugateGradients, ThePreconditioningCycleIsSymmetricAndPositive) {
    PcgSolver s(12, 6, 6, 3);
    const FemModel& m = *s.model;
    const size_t n = 3 * size_t(m.numVertices(0));
    const std::vector<float> a = randomLoad(m, 1), b = randomLoad(m, 2);
    const CUdeviceptr da = s.upload(a), db = s.upload(b), out = s.upload(std::vector<double>(n));
    auto asymmetry = [&](bool symmetric) {
        s.fem->applyCycle(db, out, symmetric);
        const std::vector<double> Bb = s.download(out, n);
        s.fem->applyCycle(da, out, symmetric);
        const std::vector<double> Ba = s.download(out, n);
        EXPECT_GT(dot(Ba, a), 0.0);
        EXPECT_GT(dot(Bb, b), 0.0);
        for (size_t i = 0; i < n; ++i)
            if (m.fixedFlags()[i % size_t(m.numVertices(0))]) {
                EXPECT_EQ(Ba[i], 0.0) << i;
            }
        const double aBb = dot(Bb, a), bBa = dot(Ba, b);
        return std::abs(aBb - bBa) / std::abs(aBb);
    };
    // Pre-smoothing in colour order and post-smoothing in reverse order: a . B b = b . B a to
    // rounding. The loop's cycle smooths in colour order both times and is far from symmetric,
    // which shows that the comparison can tell.
    EXPECT_LT(asymmetry(true), 1e-12);
    EXPECT_GT(asymmetry(false), 1e-4);
}

TEST(ConjugateGradients, TheCycleLeavesTheLoopsBuffersAsTheyWere) {
    PcgSolver s(8, 4, 4, 3);
    const size_t n = 3 * size_t(s.model->numVertices(0));
    const std::vector<double> u = testing::randomVector(3, n, 1.0);
    ASSERT_EQ(s.fem->driver().memcpyHtoD(s.fem->u_dev_[0], u.data(), n * 8), 0);
    const CUdeviceptr f = s.fem->f_dev_, u0 = s.fem->u_dev_[0];
    const CUdeviceptr rhs = s.upload(randomLoad(*s.model, 4)), out = s.upload(std::vector<double>(n));
    s.fem->applyCycle(rhs, out, true);
    EXPECT_EQ(s.fem->f_dev_, f);
    EXPECT_EQ(s.fem->u_dev_[0], u0);
    EXPECT_EQ(s.download(u0, n), u);
}

TEST(ConjugateGradients, TheDotProductIsTheFixedOrderSum) {
    PcgSolver s(8, 4, 4, 3);
    const int n = 3 * s.model->numVertices(0);
    std::vector<double> a = testing::randomVector(5, size_t(n), 1.0);
    std::vector<double> b = testing::randomVector(6, size_t(n), 1e3);
    // Values of very different size make the sum depend on its order.
    for (size_t i = 0; i < a.size(); i += 7) a[i] *= 1e8;
    const CUdeviceptr da = s.upload(a), db = s.upload(b);
    for (int count : {1, 31, 32, 33, 1023, 1025, n}) {
        if (count > n) continue;
        // Sums of 32 consecutive products, then of 32 consecutive sums, ... as the kernels do.
        std::vector<double> stage;
        for (int begin = 0; begin < count; begin += 32) {
            double sum = 0;
            for (int i = begin; i < std::min(count, begin + 32); ++i) sum += a[size_t(i)] * b[size_t(i)];
            stage.push_back(sum);
        }
        while (stage.size() > 1) {
            std::vector<double> next;
            for (size_t begin = 0; begin < stage.size(); begin += 32) {
                double sum = 0;
                for (size_t i = begin; i < std::min(stage.size(), begin + 32); ++i) sum += stage[i];
                next.push_back(sum);
            }
            stage = next;
        }
        EXPECT_EQ(s.fem->dotOnDevice(da, db, count), stage[0]) << count;
    }
}

TEST(ConjugateGradients, SolvesAreBitForBitTheSameForEveryHostThreadCount) {
    if (!testing::solverDevice()->isHost()) GTEST_SKIP() << "thread counts of the host device only";
    std::vector<double> first;
    for (int threads : {1, 2, 3}) {
        auto model = makeCantilever(16, 6, 6, 0.01, 3);
        MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<HostDriver>(threads));
        std::ostringstream narrow;
        std::wostringstream wide;
        fem.setLogs(&wide, &narrow);
        fem.setup();
        fem.setSolveMethod(SolveMethod::ConjugateGradients);
        fem.computeLoad();
        fem.prepareSolve();
        ASSERT_TRUE(fem.solve(1e-4));
        if (first.empty()) first = model->displacement();
        else EXPECT_EQ(model->displacement(), first) << threads << " threads";
    }
}

// The recurred residual of conjugate gradients goes on falling below what the arithmetic can
// resolve, the true residual f - K u does not: a tolerance beyond rounding is not reached, and
// the solve runs to the cycle cap instead of reporting a convergence that its displacement
// does not have.
TEST(ConjugateGradients, ATolerancePastRoundingRunsToTheCycleCap) {
    PcgSolver s(12, 4, 4, 3);
    EXPECT_FALSE(s.fem->solve(1e-17));
    EXPECT_EQ(s.fem->lastCycles(), MultigridSolver::kMaxCycles);
    const std::vector<double> lines = residualLines(s.narrow.str());
    ASSERT_EQ(lines.size(), size_t(MultigridSolver::kMaxCycles));
    EXPECT_LT(lines.back(), 1e-10);
    EXPECT_EQ(s.cycles.str(), "200\n");
}

TEST(ConjugateGradients, AWarmStartThatMeetsTheToleranceRunsNoCycle) {
    PcgSolver s(12, 4, 4, 3);
    ASSERT_TRUE(s.fem->solve(1e-3));
    const int firstCycles = s.fem->lastCycles();
    EXPECT_GT(firstCycles, 0);
    const std::vector<double> first = s.model->displacement();
    s.narrow.str("");
    s.cycles.str("");
    s.fem->prepareSolve();
    ASSERT_TRUE(s.fem->solve(1e-3));
    EXPECT_EQ(s.fem->lastCycles(), 0);
    EXPECT_EQ(s.cycles.str(), "0\n");
    EXPECT_EQ(s.model->displacement(), first);
    // A tighter tolerance goes on from there, in fewer cycles than from zero.
    ASSERT_TRUE(s.fem->solve(1e-5));
    const int warm = s.fem->lastCycles();
    EXPECT_GT(warm, 0);
    PcgSolver cold(12, 4, 4, 3);
    ASSERT_TRUE(cold.fem->solve(1e-5));
    EXPECT_LT(warm, cold.fem->lastCycles());
}

TEST(ConjugateGradients, AStopRequestEndsTheSolveAfterTheCycleThatSawIt) {
    PcgSolver s(16, 6, 6, 3);
    ASSERT_TRUE(s.fem->solve(1e-2));
    const std::vector<double> finished = s.model->displacement();
    const std::string finishedCycles = s.cycles.str();
    for (int allowed : {1, 3}) {
        int asked = 0;
        s.fem->setStopRequest([&] { return ++asked >= allowed; });
        s.narrow.str("");
        EXPECT_FALSE(s.fem->solve(1e-12)) << allowed;
        EXPECT_TRUE(s.fem->lastSolveStopped());
        EXPECT_EQ(asked, allowed);
        EXPECT_EQ(s.fem->lastCycles(), allowed);
        EXPECT_EQ(residualLines(s.narrow.str()).size(), size_t(allowed));
        EXPECT_EQ(s.cycles.str(), finishedCycles);
        EXPECT_EQ(s.model->displacement(), finished);
    }
}

TEST(ConjugateGradients, TheVectorsAreCountedAndFreed) {
    Solver s(8, 4, 4, 3);
    const size_t before = s.fem->allocatedBytes();
    s.fem->setSolveMethod(SolveMethod::ConjugateGradients);
    const size_t n = 3 * size_t(s.model->numVertices(0));
    EXPECT_EQ(s.fem->allocatedBytes() - before,
              n * (4 * 8 + 2 * 4) + residualSumEntries(n) * 8);
    s.fem->setSolveMethod(SolveMethod::ConjugateGradients);  // allocates once
    EXPECT_EQ(s.fem->allocatedBytes() - before, n * (4 * 8 + 2 * 4) + residualSumEntries(n) * 8);
    s.fem->release();
    EXPECT_EQ(s.fem->cgResidual_dev_, 0u);
    EXPECT_EQ(s.fem->cgSums_dev_, 0u);
}

}  // namespace
}  // namespace ostrel
