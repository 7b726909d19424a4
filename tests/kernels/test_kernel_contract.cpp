// The kernels on the host device against independent computations: the finest residual (dense
// over the vertex grid) and r_norm against f - K u with an assembled K, restriction against
// P^T r and against the scatter of the residual into the coarse parents, interpolation against
// u + P u_c (4:1 and 2:1), and one smoothing sweep against a sequential multicolour block
// Gauss-Seidel; the same for an assembled coarse level; the device sums against exact sums.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "gpu/SolverTestSupport.h"

namespace ostrel {
namespace {

using testing::Dense;

struct Case {
    unsigned seed;
    int nx, ny, nz, levels;
};
const Case kCases[] = {{1, 5, 4, 3, 4}, {2, 7, 3, 4, 4}, {3, 4, 4, 4, 5}, {4, 9, 2, 2, 4}};

class KernelContract : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const Case& c = GetParam();
        model = testing::randomModel(c.seed, c.nx, c.ny, c.nz, c.levels, &masses);
        fem = std::make_unique<MultigridSolver>(*model, DeviceOptions{}, std::make_unique<HostDriver>(2));
        fem->setLogs(nullptr, nullptr);
        fem->setup();
        fem->computeLoad();
        fem->prepareSolve();  // zero masses; put random ones on the device for the kernels
        fem->downloadOperators();  // prepareSolve brings back only the coarsest operator
        put(fem->vertexMass_dev_, masses.data(), masses.size() * 4);
        nV = model->numVertices(0);
    }
    void put(CUdeviceptr d, const void* p, size_t bytes) {
        ASSERT_EQ(fem->driver().memcpyHtoD(d, p, bytes), CUDA_SUCCESS);
    }
    /// 3 * numVertices(level) random values of magnitude up to `scale`, seeded by the case's seed
    /// plus `salt`, and copied to the device buffer `d` as well.
    std::vector<double> putRandom(CUdeviceptr d, int level, unsigned salt, double scale) {
        auto v = testing::randomVector(GetParam().seed + salt,
                                       size_t(3 * model->numVertices(level)), scale);
        put(d, v.data(), v.size() * 8);
        return v;
    }
    std::vector<double> get(CUdeviceptr d, size_t n) {
        std::vector<double> v(n);
        EXPECT_EQ(fem->driver().memcpyDtoH(v.data(), d, n * 8), CUDA_SUCCESS);
        return v;
    }
    std::vector<float> getFloats(CUdeviceptr d, size_t n) {
        std::vector<float> v(n);
        EXPECT_EQ(fem->driver().memcpyDtoH(v.data(), d, n * 4), CUDA_SUCCESS);
        return v;
    }
    /// The residual of `level` as the solver stores it, dense over the vertex grid.
    std::vector<double> denseResidual(int level) {
        return get(fem->r_dev_[size_t(level)], 3 * model->vertexGrid(level).size());
    }
    // r = rhs - M x for a dense M.
    static std::vector<double> residual(const Dense& M, const std::vector<double>& rhs,
                                        const std::vector<double>& x) {
        std::vector<double> r(rhs);
        for (int i = 0; i < M.n; ++i)
            for (int j = 0; j < M.n; ++j) r[size_t(i)] -= M(i, j) * x[size_t(j)];
        return r;
    }
    // Level-l assembled operator as a dense matrix (component-major).
    Dense denseLevel(int l) {
        const int n = model->numVertices(l);
        Dense A(3 * n);
        for (int v = 0; v < n; ++v) {
            GridPos p = unpack(model->vertexPosition(l)[size_t(v)]);
            for (int s = 0; s < 27; ++s) {
                int w = model->vertexAt(l, {p.x + s % 3 - 1, p.y + s / 3 % 3 - 1, p.z + s / 9 - 1});
                if (w < 0) continue;
                for (int k = 0; k < 9; ++k)
                    A((k / 3) * n + v, (k % 3) * n + w) +=
                        model->levelOperator(l)[size_t(v + n * (s * 9 + k))];
            }
        }
        return A;
    }
    // One sequential block Gauss-Seidel sweep, colour by colour in vertex order.
    void gaussSeidel(const Dense& M, const std::vector<double>& rhs, std::vector<double>& x, int l,
                     bool finest) {
        const int n = model->numVertices(l);
        for (int v = 0; v < n; ++v) {
            if (finest && model->fixedFlags()[size_t(v)]) {
                for (int a = 0; a < 3; ++a) x[size_t(a * n + v)] = 0.0;
                continue;
            }
            double r[3], D[3][3];
            for (int a = 0; a < 3; ++a) {
                int i = a * n + v;
                r[a] = rhs[size_t(i)];
                for (int j = 0; j < M.n; ++j) r[a] -= M(i, j) * x[size_t(j)];
                for (int b = 0; b < 3; ++b) D[a][b] = M(i, b * n + v);
            }
            double det = D[0][0] * (D[1][1] * D[2][2] - D[1][2] * D[2][1]) -
                         D[0][1] * (D[1][0] * D[2][2] - D[1][2] * D[2][0]) +
                         D[0][2] * (D[1][0] * D[2][1] - D[1][1] * D[2][0]);
            if (det == 0) continue;
            for (int a = 0; a < 3; ++a) {  // Cramer's rule
                double Da[3][3];
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) Da[i][j] = j == a ? r[i] : D[i][j];
                double deta = Da[0][0] * (Da[1][1] * Da[2][2] - Da[1][2] * Da[2][1]) -
                              Da[0][1] * (Da[1][0] * Da[2][2] - Da[1][2] * Da[2][0]) +
                              Da[0][2] * (Da[1][0] * Da[2][1] - Da[1][1] * Da[2][0]);
                x[size_t(a * n + v)] += deta / det;
            }
        }
    }
    static double maxAbs(const std::vector<double>& v) {
        double m = 0;
        for (double x : v) m = std::max(m, std::abs(x));
        return m;
    }

    std::unique_ptr<FemModel> model;
    std::unique_ptr<MultigridSolver> fem;
    std::vector<float> masses;
    int nV = 0;
};

TEST_P(KernelContract, FinestResidualNormAndRestriction) {
    Dense K = testing::assembleFinest(*model, masses);
    auto u = putRandom(fem->u_dev_[0], 0, 10, 1e-3);
    fem->residualAndRestrict(0);
    std::vector<double> f = testing::effectiveLoad(*model);
    auto r = residual(K, f, u);
    double scale = maxAbs(r);
    double norm2 = 0;
    const std::vector<float> rNorm = getFloats(fem->r_norm, size_t(nV));
    for (int v = 0; v < nV; ++v) {
        double expected = 0;
        for (int a = 0; a < 3; ++a) expected += r[size_t(a * nV + v)] * r[size_t(a * nV + v)];
        norm2 += expected;
        EXPECT_NEAR(rNorm[size_t(v)], expected, 1e-5 * expected + 1e-9 * scale * scale);
    }
    EXPECT_NEAR(fem->residualNorm(), std::sqrt(norm2), 1e-5 * std::sqrt(norm2));
    // The dense residual: r at every vertex's grid point, exactly zero where no vertex is.
    const std::vector<double> dense = denseResidual(0);
    const std::vector<int>& grid = model->vertexGrid(0);
    size_t empty = 0;
    for (size_t pt = 0; pt < grid.size(); ++pt)
        for (int a = 0; a < 3; ++a) {
            const double got = dense[3 * pt + size_t(a)];
            if (grid[pt] < 0) {
                ++empty;
                ASSERT_EQ(got, 0.0) << "point " << pt;
            } else {
                EXPECT_NEAR(got, r[size_t(a * nV + grid[pt])], 1e-9 * scale) << "point " << pt;
            }
        }
    EXPECT_GT(empty, 0u) << "the random models have holes";
    auto P = testing::interpolation(*model, 0, 2);
    const int n2 = model->numVertices(2);
    auto b2 = get(fem->b_dev_[2], size_t(3 * n2));
    for (int C = 0; C < n2; ++C)
        for (int a = 0; a < 3; ++a) {
            double expected = 0;
            for (int v = 0; v < nV; ++v) expected += P[size_t(v)][size_t(C)] * r[size_t(a * nV + v)];
            EXPECT_NEAR(b2[size_t(a * n2 + C)], expected, 1e-9 * scale * nV);
        }
    auto u2 = get(fem->u_dev_[2], size_t(3 * n2));
    EXPECT_EQ(maxAbs(u2), 0.0);  // cleared by the restriction
}

TEST_P(KernelContract, FinestSweepIsSequentialMulticolourGaussSeidel) {
    Dense K = testing::assembleFinest(*model, masses);
    auto u = putRandom(fem->u_dev_[0], 0, 20, 1e-3);
    fem->smooth(0);
    std::vector<double> f = testing::effectiveLoad(*model);
    gaussSeidel(K, f, u, 0, true);
    auto got = get(fem->u_dev_[0], u.size());
    double scale = maxAbs(u);
    for (size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(got[i], u[i], 1e-9 * scale) << i;
}

TEST_P(KernelContract, InterpolationFourToOneAndTwoToOne) {
    for (int fine : {0, 2}) {
        int coarse = fine == 0 ? 2 : fine + 1;
        const int nf = model->numVertices(fine), nc = model->numVertices(coarse);
        auto uf = putRandom(fem->u_dev_[size_t(fine)], fine, 30 + fine, 1.0);
        auto uc = putRandom(fem->u_dev_[size_t(coarse)], coarse, 40 + fine, 1.0);
        fem->interpolate(fine);
        auto got = get(fem->u_dev_[size_t(fine)], uf.size());
        auto P = testing::interpolation(*model, fine, coarse);
        for (int v = 0; v < nf; ++v)
            for (int a = 0; a < 3; ++a) {
                double expected = uf[size_t(a * nf + v)];
                for (int C = 0; C < nc; ++C) expected += P[size_t(v)][size_t(C)] * uc[size_t(a * nc + C)];
                EXPECT_NEAR(got[size_t(a * nf + v)], expected, 1e-12) << "fine level " << fine;
            }
    }
}

TEST_P(KernelContract, CoarseSweepAndResidualRestriction) {
    const int l = 2, m = 3;
    const int n = model->numVertices(l), nm = model->numVertices(m);
    Dense A = denseLevel(l);
    auto u = putRandom(fem->u_dev_[l], l, 50, 1e-3);
    auto b = putRandom(fem->b_dev_[l], l, 60, 1.0);
    fem->smooth(l);
    gaussSeidel(A, b, u, l, false);
    auto got = get(fem->u_dev_[l], u.size());
    for (size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(got[i], u[i], 1e-9 * maxAbs(u)) << i;

    fem->residualAndRestrict(l);
    auto r = residual(A, b, got);
    auto bm = get(fem->b_dev_[m], size_t(3 * nm));
    auto P = testing::interpolation(*model, l, m);
    for (int C = 0; C < nm; ++C)
        for (int a = 0; a < 3; ++a) {
            double expected = 0;
            for (int v = 0; v < n; ++v) expected += P[size_t(v)][size_t(C)] * r[size_t(a * n + v)];
            EXPECT_NEAR(bm[size_t(a * nm + C)], expected, 1e-9 * (maxAbs(r) + 1) * n);
        }
}

// The restriction as the solver did it before it gathered: every fine vertex, in index order,
// adds w * r to each coarse vertex that interpolates to it (the interpolation's weights,
// (ratio - |d|) / ratio per axis). `sumAbs` receives the sums of |w * r|, the scale of the
// rounding of either order.
std::vector<double> scatterRestriction(const FemModel& m, int fine, int coarse,
                                       const std::vector<double>& dense,
                                       std::vector<double>& sumAbs) {
    const int ratio = fine == 0 ? 4 : 2, nf = m.numVertices(fine), nc = m.numVertices(coarse);
    const std::array<int, 3>& vd = m.vertexDims(fine);
    std::vector<double> b(size_t(3 * nc), 0.0);
    sumAbs.assign(b.size(), 0.0);
    for (int v = 0; v < nf; ++v) {
        const GridPos p = unpack(m.vertexPosition(fine)[size_t(v)]);
        const size_t pt = size_t((p.z * vd[1] + p.y) * vd[0] + p.x);
        for (int C = 0; C < nc; ++C) {
            const GridPos g = unpack(m.vertexPosition(coarse)[size_t(C)]);
            const int d[3] = {p.x - ratio * g.x, p.y - ratio * g.y, p.z - ratio * g.z};
            double w = 1;
            for (int k = 0; k < 3; ++k) w *= std::max(0, ratio - std::abs(d[k])) / double(ratio);
            if (w == 0) continue;
            for (int a = 0; a < 3; ++a) {
                b[size_t(a * nc + C)] += w * dense[3 * pt + size_t(a)];
                sumAbs[size_t(a * nc + C)] += std::abs(w * dense[3 * pt + size_t(a)]);
            }
        }
    }
    return b;
}

TEST_P(KernelContract, GatheredRestrictionEqualsTheScatteredOneToRounding) {
    // Same residual, two orders of summation: the gather may differ from the scatter only by
    // the rounding of the sums, a few units of 1e-16 of the sum of the absolute terms.
    putRandom(fem->u_dev_[0], 0, 70, 1e-3);
    putRandom(fem->u_dev_[2], 2, 71, 1e-3);
    putRandom(fem->b_dev_[2], 2, 72, 1.0);
    for (int fine : {0, 2}) {
        const int coarse = fine == 0 ? 2 : 3;
        fem->residualAndRestrict(fine);
        std::vector<double> sumAbs;
        const std::vector<double> want =
            scatterRestriction(*model, fine, coarse, denseResidual(fine), sumAbs);
        const std::vector<double> got = get(fem->b_dev_[size_t(coarse)], want.size());
        ASSERT_GT(maxAbs(want), 0.0);
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_NEAR(got[i], want[i], 1e-14 * sumAbs[i] + 1e-300)
                << "level " << fine << " " << i;
    }
}

TEST_P(KernelContract, DeviceSumsCoverEveryValueOnce) {
    // Integers up to 2^24 are exact in float and their sums exact in double, so every order of
    // summation gives n(n+1)/2 exactly: a value left out or counted twice shows. Lengths around
    // the chunk of 32 and its powers, and the whole level.
    std::vector<float> ramp(static_cast<size_t>(nV));
    for (int i = 0; i < nV; ++i) ramp[size_t(i)] = float(i + 1);
    put(fem->r_norm, ramp.data(), ramp.size() * 4);
    for (int n : {1, 2, 31, 32, 33, 1023, 1024, 1025, nV - 1, nV}) {
        if (n > nV) continue;
        EXPECT_EQ(fem->sumOnDevice(fem->r_norm, n), 0.5 * double(n) * double(n + 1)) << n;
    }
    // Random values: equal to the index-order sum in long double to rounding.
    std::mt19937 rng(GetParam().seed);
    std::uniform_real_distribution<float> uni(0.0f, 1.0f);
    long double exact = 0;
    for (float& x : ramp) {
        x = uni(rng) * 1e-6f;
        exact += (long double)x;
    }
    put(fem->r_norm, ramp.data(), ramp.size() * 4);
    EXPECT_NEAR(fem->sumOnDevice(fem->r_norm, nV), double(exact), 1e-14 * double(exact));
    EXPECT_NEAR(fem->residualNorm(), std::sqrt(double(exact)), 1e-14 * std::sqrt(double(exact)));
}

INSTANTIATE_TEST_SUITE_P(RandomModels, KernelContract, ::testing::ValuesIn(kCases));

// Every fine residual reaches up to 27 coarse entries whose sums other blocks also contribute
// to. With some 300 blocks the host device runs blocks on two parallel threads; the restriction
// gathers (each coarse entry is summed by one thread in a fixed order), so every launch gives
// the sums of one thread bit for bit. Sixty launches give a scatter with a plain += many chances
// to lose an addition, and a scatter with atomics many chances to add in another order.
TEST(KernelConcurrency, RestrictionOfManyBlocksMatchesOneThread) {
    auto restrictOn = [](int threads, int launches) {
        auto model = makeCantilever(48, 24, 32, 0.01, 3);
        MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<HostDriver>(threads));
        fem.setLogs(nullptr, nullptr);
        fem.setup();
        fem.computeLoad();
        fem.prepareSolve();
        const int nV = model->numVertices(0), n2 = model->numVertices(2);
        EXPECT_GE(nV / 128, 300) << "blocks of the finest restriction";
        auto u = testing::randomVector(7, size_t(3 * nV), 1e-3);
        EXPECT_EQ(fem.driver().memcpyHtoD(fem.u_dev_[0], u.data(), u.size() * 8), CUDA_SUCCESS);
        std::vector<std::vector<double>> results;
        for (int n = 0; n < launches; ++n) {
            fem.residualAndRestrict(0);
            std::vector<double> b(size_t(3 * n2));
            EXPECT_EQ(fem.driver().memcpyDtoH(b.data(), fem.b_dev_[2], b.size() * 8), CUDA_SUCCESS);
            results.push_back(std::move(b));
        }
        fem.release();
        return results;
    };
    const std::vector<double> reference = restrictOn(1, 1).front();
    double scale = 0;
    for (double x : reference) scale = std::max(scale, std::abs(x));
    ASSERT_GT(scale, 0.0);
    for (const std::vector<double>& b : restrictOn(2, 60)) {
        ASSERT_EQ(b.size(), reference.size());
        size_t differing = 0;
        for (size_t i = 0; i < b.size(); ++i)
            if (b[i] != reference[i]) ++differing;
        EXPECT_EQ(differing, 0u) << "entries that differ from one thread's";
    }
}

}  // namespace
}  // namespace ostrel
