// The multigrid kernels on a model large enough that every finest-level launch has more than
// 64 blocks, so that the host device runs blocks in parallel: 4 threads give the same smoothing,
// interpolation, residual, restriction and residual norm bit for bit as 1 thread, and whole
// solves with 1, 2 and 3 threads give the same displacements, residuals and cycle counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"
#include "gpu/SolverTestSupport.h"
#include "gpu/MultigridSolver.h"

namespace ostrel {
namespace {

constexpr int kLevels = 4;

// One model and solver on the host device with `threads` threads, with a random level-0
// displacement and coarse displacement uploaded.
struct Solver {
    std::unique_ptr<FemModel> model = makeCantilever(48, 40, 36, 0.01, kLevels);
    std::unique_ptr<MultigridSolver> fem;

    explicit Solver(int threads) {
        fem = std::make_unique<MultigridSolver>(*model, DeviceOptions{},
                                        std::make_unique<HostDriver>(threads));
        fem->setLogs(nullptr, nullptr);
        fem->setup();
        fem->computeLoad();
        fem->prepareSolve();
        put(fem->u_dev_[0], testing::randomVector(1, size_t(3 * model->numVertices(0)), 1e-3));
    }
    void put(CUdeviceptr d, const std::vector<double>& v) {
        ASSERT_EQ(fem->driver().memcpyHtoD(d, v.data(), v.size() * 8), CUDA_SUCCESS);
    }
    std::vector<double> get(CUdeviceptr d, int level) {
        std::vector<double> v(size_t(3 * model->numVertices(level)));
        EXPECT_EQ(fem->driver().memcpyDtoH(v.data(), d, v.size() * 8), CUDA_SUCCESS);
        return v;
    }
};

TEST(ParallelBlocks, ModelHasHundredsOfBlocksPerLaunch) {
    Solver run(1);
    const FemModel& m = *run.model;
    EXPECT_GT(m.numVertices(0) / 128, 500);  // residual and restriction
    for (int q = 0; q < 8; ++q)               // each smoothing colour
        EXPECT_GT((m.colorOffsets(0)[size_t(q) + 1] - m.colorOffsets(0)[size_t(q)]) / 128, 64);
}

TEST(ParallelBlocks, ResidualRestrictionAndNormMatchOneThreadBitForBit) {
    Solver one(1), four(4);
    one.fem->residualAndRestrict(0);
    const std::vector<double> want = one.get(one.fem->b_dev_[2], 2);
    const double wantNorm = one.fem->residualNorm();
    ASSERT_GT(wantNorm, 0.0);
    for (int repeat = 0; repeat < 10; ++repeat) {
        four.fem->residualAndRestrict(0);
        const std::vector<double> got = four.get(four.fem->b_dev_[2], 2);
        int bad = 0;
        for (size_t i = 0; i < want.size(); ++i)
            if (got[i] != want[i] && ++bad <= 3)
                ADD_FAILURE() << "repeat " << repeat << " entry " << i << ": " << got[i] << " vs "
                              << want[i];
        ASSERT_EQ(bad, 0);
        EXPECT_EQ(four.fem->residualNorm(), wantNorm) << "repeat " << repeat;
    }
}

TEST(ParallelBlocks, SmoothingAndInterpolationMatchOneThreadBitForBit) {
    Solver one(1), four(4);
    for (Solver* run : {&one, &four}) {
        run->put(run->fem->u_dev_[2], testing::randomVector(2, size_t(3 * run->model->numVertices(2)), 1e-3));
        run->fem->interpolate(0);
        run->fem->smooth(0);
    }
    EXPECT_TRUE(one.get(one.fem->u_dev_[0], 0) == four.get(four.fem->u_dev_[0], 0));
}

// What a solve leaves: the displacement, the printed residual lines and the cycle counts.
struct SolveResult {
    std::vector<double> u;
    std::string log;
    std::string cycles;
};

// prepareSolve and a solve to 1e-6 from zero, then a second prepareSolve and a warm-started
// solve to 1e-8, with `threads` host threads.
SolveResult solveWith(int threads) {
    auto model = makeCantilever(48, 40, 36, 0.01, kLevels);
    MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<HostDriver>(threads));
    std::wostringstream wide;
    std::ostringstream narrow, cycles;
    fem.setLogs(&wide, &narrow);
    fem.setCycleCountSink(&cycles);
    fem.setup();
    narrow.str("");
    fem.computeLoad();
    fem.prepareSolve();
    EXPECT_TRUE(fem.solve(1e-6));
    fem.prepareSolve();
    EXPECT_TRUE(fem.solve(1e-8));
    return {model->displacement(), narrow.str(), cycles.str()};
}

TEST(ParallelBlocks, SolvesAreBitIdenticalForOneTwoAndThreeThreads) {
    const SolveResult one = solveWith(1);
    ASSERT_FALSE(one.cycles.empty());
    for (int threads : {2, 3}) {
        const SolveResult other = solveWith(threads);
        EXPECT_EQ(other.cycles, one.cycles) << threads << " threads";
        EXPECT_EQ(other.log, one.log) << threads << " threads";
        ASSERT_EQ(other.u.size(), one.u.size());
        size_t differing = 0;
        for (size_t i = 0; i < one.u.size(); ++i)
            if (std::memcmp(&other.u[i], &one.u[i], sizeof(double)) != 0) ++differing;
        EXPECT_EQ(differing, 0u) << threads << " threads: displacement entries that differ";
    }
}

}  // namespace
}  // namespace ostrel
