#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "fem/FemModel.h"
#include "fem/Operators.h"
#include "reference/ReferenceAssembly.h"
#include "FemTestUtil.h"

namespace ostrel {
namespace {

// Dense row-major matrix for small reference computations.
struct Dense {
    int rows = 0, cols = 0;
    std::vector<double> a;
    Dense(int r, int c) : rows(r), cols(c), a(size_t(r) * size_t(c), 0.0) {}
    double& operator()(int i, int j) { return a[size_t(i) * size_t(cols) + size_t(j)]; }
    double operator()(int i, int j) const { return a[size_t(i) * size_t(cols) + size_t(j)]; }
};

// P^T K P with P stored as (fine row, coarse col, weight) triplets.
struct Triplet {
    int r, c;
    double w;
};
Dense galerkin(const Dense& K, const std::vector<Triplet>& P, int coarse) {
    Dense KP(K.rows, coarse);
    for (const auto& t : P)
        for (int i = 0; i < K.rows; ++i) KP(i, t.c) += K(i, t.r) * t.w;
    Dense C(coarse, coarse);
    for (const auto& t : P)
        for (int j = 0; j < coarse; ++j) C(t.c, j) += t.w * KP(t.r, j);
    return C;
}

// Level-0 operator: sum of E[e] Ke plus masses, fixed vertices as identity rows without coupling.
Dense fineOperator(const FemModel& m, const MassTerm& massTerm) {
    const int n = m.numVertices(0);
    Dense K(3 * n, 3 * n);
    for (int e = 0; e < m.numElements(0); ++e) {
        const GridPos c = unpack(m.elementPosition(0)[size_t(e)]);
        int v[8];
        for (int k = 0; k < 8; ++k) v[k] = m.vertexAt(0, {c.x + (k & 1), c.y + ((k >> 1) & 1), c.z + (k >> 2)});
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 8; ++j) {
                if (m.fixedFlags()[size_t(v[i])] || m.fixedFlags()[size_t(v[j])]) continue;
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 3; ++b)
                        K(a * n + v[i], b * n + v[j]) += double(m.stiffnessFactors()[size_t(e)]) * m.Ke()[size_t((3 * i + a) * 24 + 3 * j + b)];
            }
    }
    for (int v = 0; v < n; ++v)
        for (int a = 0; a < 3; ++a)
            K(a * n + v, a * n + v) +=
                m.isFixed(v)                   ? 1.0
                : massTerm.masses.empty() ? 0.0
                                          : double(massTerm.masses[size_t(v)]) /
                                                (massTerm.dt * massTerm.dt);
    return K;
}

// Trilinear interpolation from coarse level lc to fine level lf with ratio r = 2^(lc-lf).
std::vector<Triplet> interpolation(const FemModel& m, int lc, int lf, int r) {
    std::vector<Triplet> P;
    const int nc = m.numVertices(lc), nf = m.numVertices(lf);
    for (int V = 0; V < nc; ++V) {
        const GridPos g = unpack(m.vertexPosition(lc)[size_t(V)]);
        for (int dz = 1 - r; dz < r; ++dz)
            for (int dy = 1 - r; dy < r; ++dy)
                for (int dx = 1 - r; dx < r; ++dx) {
                    const int o = m.vertexAt(lf, {r * g.x + dx, r * g.y + dy, r * g.z + dz});
                    if (o < 0) continue;
                    const double w = double((r - std::abs(dx)) * (r - std::abs(dy)) * (r - std::abs(dz))) / (r * r * r);
                    for (int a = 0; a < 3; ++a) P.push_back({a * nf + o, a * nc + V, w});
                }
    }
    return P;
}

// Dense form of levelOperator(l); also checks that slots of missing neighbours are zero.
Dense levelOperator(const FemModel& m, int l) {
    const int n = m.numVertices(l);
    Dense A(3 * n, 3 * n);
    const auto& src = m.levelOperator(l);
    for (int v = 0; v < n; ++v) {
        const GridPos p = unpack(m.vertexPosition(l)[size_t(v)]);
        int s = 0;
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx, ++s) {
                    const int nb = m.vertexAt(l, {p.x + dx, p.y + dy, p.z + dz});
                    for (int k = 0; k < 9; ++k) {
                        const double x = src[size_t(v) + size_t(n) * size_t(s * 9 + k)];
                        if (nb < 0) EXPECT_EQ(x, 0.0);
                        else A((k / 3) * n + v, (k % 3) * n + nb) = x;
                    }
                }
    }
    return A;
}

double maxAbs(const Dense& M) {
    double r = 0;
    for (double x : M.a) r = std::max(r, std::abs(x));
    return r;
}

void expectEqualRelative(const Dense& got, const Dense& want, double rel) {
    ASSERT_EQ(got.rows, want.rows);
    const double tol = rel * maxAbs(want);
    int bad = 0;
    for (int i = 0; i < got.rows; ++i)
        for (int j = 0; j < got.cols; ++j)
            if (std::abs(got(i, j) - want(i, j)) > tol && ++bad < 5)
                ADD_FAILURE() << "(" << i << "," << j << "): " << got(i, j) << " vs " << want(i, j);
    EXPECT_EQ(bad, 0);
}

struct ModelCase {
    const char* name;
    int nx, ny, nz;
    double fill, fixedFraction;
    bool masses;
    unsigned seed;
};

class Galerkin : public ::testing::TestWithParam<ModelCase> {};

TEST_P(Galerkin, CoarseOperatorsArePtKP) {
    const ModelCase c = GetParam();
    FemModel m(test::randomVolume(c.nx, c.ny, c.nz, c.fill, c.seed), 4);
    std::mt19937 rng(c.seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<float> factors(m.stiffnessFactors().size());
    for (auto& e : factors) e = float(1e6 * (0.05 + u(rng)));
    m.setStiffnessFactors(std::move(factors));
    for (int v = 0; v < m.numVertices(0); ++v) m.setFixed(v, u(rng) < c.fixedFraction);
    MassTerm massTerm;
    if (c.masses) {
        massTerm.masses.resize(size_t(m.numVertices(0)));
        for (auto& mass : massTerm.masses) mass = float(1e8 * u(rng));
    }
    assembleOperators(m, massTerm);

    const Dense K = fineOperator(m, massTerm);
    const Dense A2 = levelOperator(m, 2);
    expectEqualRelative(A2, galerkin(K, interpolation(m, 2, 0, 4), 3 * m.numVertices(2)), 1e-12);
    const Dense A3 = levelOperator(m, 3);
    expectEqualRelative(A3, galerkin(A2, interpolation(m, 3, 2, 2), 3 * m.numVertices(3)), 1e-12);
    // Symmetry of both levels.
    for (const Dense* A : {&A2, &A3}) {
        const double tol = 1e-12 * maxAbs(*A);
        for (int i = 0; i < A->rows; ++i)
            for (int j = 0; j < i; ++j) ASSERT_NEAR((*A)(i, j), (*A)(j, i), tol);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, Galerkin,
                         ::testing::Values(ModelCase{"solid", 6, 5, 4, 1.0, 0.0, false, 1},
                                           ModelCase{"sparse_fixed", 7, 6, 5, 0.5, 0.15, false, 2},
                                           ModelCase{"dense_fixed_mass", 8, 5, 5, 0.8, 0.1, true, 3},
                                           ModelCase{"thin_plate", 9, 7, 1, 0.9, 0.2, true, 4},
                                           ModelCase{"odd_box", 7, 5, 6, 0.6, 0.05, false, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Operators, TranslationsInTheNullSpaceWithoutFixedVertices) {
    FemModel m(test::solidBox(9, 6, 5), 4);
    assembleOperators(m);
    for (int l = 2; l < 4; ++l) {
        const Dense A = levelOperator(m, l);
        const int n = m.numVertices(l);
        const double tol = 1e-11 * maxAbs(A);
        for (int b = 0; b < 3; ++b)
            for (int i = 0; i < 3 * n; ++i) {
                double sum = 0;
                for (int v = 0; v < n; ++v) sum += A(i, b * n + v);
                EXPECT_NEAR(sum, 0.0, tol) << "level " << l << " row " << i << " component " << b;
            }
    }
}

TEST(Operators, ZeroStiffnessGivesZeroOperators) {
    FemModel m(test::solidBox(5, 5, 5), 4);
    m.setStiffnessFactors(std::vector<float>(m.stiffnessFactors().size(), 0.0f));
    assembleOperators(m);
    for (int l = 2; l < 4; ++l)
        for (double x : m.levelOperator(l)) ASSERT_EQ(x, 0.0);
}

TEST(Operators, FixedVertexAtCoarsePointContributesIdentity) {
    FemModel m(test::solidBox(8, 8, 8), 3);
    m.setStiffnessFactors(std::vector<float>(m.stiffnessFactors().size(), 0.0f));
    const int V = m.vertexAt(2, {1, 1, 1});
    m.setFixed(m.vertexAt(0, {4, 4, 4}), true);
    assembleOperators(m);
    const int n = m.numVertices(2);
    for (int v = 0; v < n; ++v)
        for (int s = 0; s < 27; ++s)
            for (int k = 0; k < 9; ++k) {
                const double want = (v == V && s == 13 && k % 4 == 0) ? 1.0 : 0.0;
                ASSERT_EQ(m.levelOperator(2)[size_t(v) + size_t(n) * size_t(s * 9 + k)], want);
            }
}

// Fixed vertices on one line leave a rotation about it free: the coarsest system is singular
// whatever the signs of the rounding-sized pivots of its factorization.
struct FixationCase {
    const char* name;
    std::vector<std::array<int, 3>> fixed;  // level-0 grid points
    bool valid;
};

class Fixations : public ::testing::TestWithParam<FixationCase> {};

TEST_P(Fixations, CoarsestFactorIsValidOnlyWhenTheFixedVerticesSpanMoreThanALine) {
    FemModel m(test::solidBox(6, 3, 3), 3);
    for (const auto& p : GetParam().fixed) m.setFixed(m.vertexAt(0, {p[0], p[1], p[2]}), true);
    assembleOperators(m);
    CoarseSystem coarse;
    EXPECT_EQ(factorCoarsestLevel(m, coarse), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Fixations,
    ::testing::Values(FixationCase{"none", {}, false},
                      FixationCase{"one_vertex", {{0, 0, 0}}, false},
                      FixationCase{"one_vertex_inside", {{3, 1, 1}}, false},
                      FixationCase{"hinge_along_y", {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}}, false},
                      FixationCase{"diagonal_line", {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}}, false},
                      FixationCase{"two_far_vertices", {{0, 0, 0}, {6, 3, 3}}, false},
                      FixationCase{"three_corners", {{0, 0, 0}, {0, 3, 0}, {0, 0, 3}}, true},
                      FixationCase{"end_face", {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 1}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel
