#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include <cholmod.h>

#include "fem/FemModel.h"
#include "fem/Operators.h"
#include "reference/ReferenceAssembly.h"
#include "fem/RigidBodyModes.h"
#include "FemTestUtil.h"

namespace ostrel {
namespace {

// y = A x with the stored lower triangle of the solver's matrix, mirrored.
std::vector<double> multiply(const CoarseSolver& cs, const std::vector<double>& x) {
    std::vector<double> y(x.size(), 0.0);
    const auto& p = cs.columnStarts();
    for (int j = 0; j < cs.columns(); ++j)
        for (int t = p[size_t(j)]; t < p[size_t(j) + 1]; ++t) {
            const int i = cs.rowIndices()[size_t(t)];
            const double a = cs.values()[size_t(t)];
            y[size_t(i)] += a * x[size_t(j)];
            if (i != j) y[size_t(j)] += a * x[size_t(i)];
        }
    return y;
}

TEST(CoarseSolver, AddEntryKeepsOnlyTheLowerTriangle) {
    CoarseSolver cs;
    cs.beginMatrix(2);
    cs.addEntry(0, 4);
    cs.addEntry(1, 1);
    cs.endColumn();
    cs.addEntry(0, 1);  // above the diagonal: dropped
    cs.addEntry(1, 3);
    cs.endColumn();
    EXPECT_EQ(cs.columnStarts(), (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(cs.rowIndices(), (std::vector<int>{0, 1, 1}));
    ASSERT_TRUE(cs.factorize());
    EXPECT_EQ(cs.orderingUsed(), CHOLMOD_METIS);
    const double b[2] = {1, 2};
    double x[2] = {0, 0};
    ASSERT_TRUE(cs.solveWithFactor(b, x));
    EXPECT_NEAR(4 * x[0] + x[1], 1, 1e-14);
    EXPECT_NEAR(x[0] + 3 * x[1], 2, 1e-14);
}

TEST(CoarseSolver, OneElementHas24ColumnsAnd300Entries) {
    FemModel m(test::makeVolume(1, 1, 1, {{0, 0, 0}}), 3);
    for (int v = 0; v < 4; ++v) m.setFixed(v, true);  // the z = 0 face
    assembleOperators(m);
    CoarseSystem coarse;
    EXPECT_TRUE(factorCoarsestLevel(m, coarse));
    EXPECT_EQ(coarse.solver.columns(), 24);
    EXPECT_EQ(coarse.solver.values().size(), 300u);
    // Column a*n+j lists rows b*n + nb in increasing order.
    const auto& p = coarse.solver.columnStarts();
    for (int j = 0; j < 24; ++j) {
        EXPECT_EQ(coarse.solver.rowIndices()[size_t(p[size_t(j)])], j);
        for (int t = p[size_t(j)] + 1; t < p[size_t(j) + 1]; ++t)
            EXPECT_LT(coarse.solver.rowIndices()[size_t(t) - 1], coarse.solver.rowIndices()[size_t(t)]);
    }
}

struct SolveCase {
    const char* name;
    int nx, ny, nz, levels;
    unsigned seed;
};
class CoarseSolve : public ::testing::TestWithParam<SolveCase> {};

TEST_P(CoarseSolve, SolutionSatisfiesTheSystemRepeatedly) {
    const SolveCase c = GetParam();
    FemModel m(test::randomVolume(c.nx, c.ny, c.nz, 0.7, c.seed), c.levels);
    std::mt19937 rng(c.seed);
    std::uniform_real_distribution<double> u(0, 1);
    for (int y = 0; y < m.vertexDims(0)[1]; ++y)
        for (int x = 0; x < m.vertexDims(0)[0]; ++x) {
            const int v = m.vertexAt(0, {x, y, 0});
            if (v >= 0) m.setFixed(v, true);
        }
    CoarseSystem coarse;
    for (int round = 0; round < 2; ++round) {  // refactorization with new values reuses the analysis
        std::vector<float> factors(m.stiffnessFactors().size());
        for (auto& e : factors) e = float(1e6 * (0.1 + u(rng)));
        m.setStiffnessFactors(std::move(factors));
        assembleOperators(m);
        ASSERT_TRUE(factorCoarsestLevel(m, coarse));
        const int N = coarse.solver.columns();
        std::vector<double> b(static_cast<size_t>(N)), x(static_cast<size_t>(N), 0.0);
        for (auto& v : b) v = u(rng) - 0.5;
        ASSERT_TRUE(coarse.solver.solveWithFactor(b.data(), x.data()));
        const std::vector<double> Ax = multiply(coarse.solver, x);
        double r = 0, nb = 0;
        for (size_t i = 0; i < b.size(); ++i) r += (Ax[i] - b[i]) * (Ax[i] - b[i]), nb += b[i] * b[i];
        EXPECT_LT(std::sqrt(r / nb), 1e-10);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, CoarseSolve,
                         ::testing::Values(SolveCase{"box3", 8, 6, 5, 3, 1}, SolveCase{"box4", 13, 9, 7, 4, 2},
                                           SolveCase{"plate", 12, 10, 2, 3, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CoarseSolver, SingularModelReportsFailureAndLeavesXUntouched) {
    FemModel m(test::solidBox(6, 5, 4), 3);
    assembleOperators(m);
    CoarseSystem coarse;
    EXPECT_FALSE(factorCoarsestLevel(m, coarse));
    EXPECT_FALSE(coarse.solver.hasNumericFactor());
    std::vector<double> b(size_t(coarse.solver.columns()), 1.0), x(b.size(), 7.0);
    EXPECT_FALSE(coarse.solver.solveWithFactor(b.data(), x.data()));
    for (double v : x) ASSERT_EQ(v, 7.0);
    // A later good factorization works again.
    for (int v = 0; v < 4; ++v) m.setFixed(v, true);
    for (int v = 0; v < m.numVertices(0); ++v)
        if (unpack(m.vertexPosition(0)[size_t(v)]).z == 0) m.setFixed(v, true);
    assembleOperators(m);
    EXPECT_TRUE(factorCoarsestLevel(m, coarse));
    EXPECT_TRUE(coarse.solver.solveWithFactor(b.data(), x.data()));
}

TEST(CoarseSolver, IncompleteMatrixIsRefused) {
    CoarseSolver cs;
    cs.beginMatrix(3);
    cs.addEntry(0, 1);
    cs.endColumn();
    EXPECT_FALSE(cs.factorize());
    double b[3] = {1, 1, 1}, x[3] = {5, 5, 5};
    EXPECT_FALSE(cs.solveWithFactor(b, x));
    EXPECT_EQ(x[0], 5);
}

TEST(RigidBodyModes, ClustersJoinedByAFaceHoldEachOtherButNotByAnEdgeOrCorner) {
    // Two 2x2x2 blocks; the first is fixed by its x = 0 face, the second touches it by a whole
    // face, along one edge only, or at one corner only.
    struct Case {
        const char* name;
        std::array<int, 3> second;  // offset of the second block
        bool held;
    };
    const Case cases[] = {
        {"face", {2, 0, 0}, true},
        {"edge", {2, 2, 0}, false},
        {"corner", {2, 2, 2}, false},
    };
    for (const Case& c : cases) {
        std::vector<std::array<int, 3>> cells;
        for (int z = 0; z < 2; ++z)
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 2; ++x) {
                    cells.push_back({x, y, z});
                    cells.push_back({x + c.second[0], y + c.second[1], z + c.second[2]});
                }
        FemModel m(test::makeVolume(4, 4, 4, cells), 3);
        for (int z = 0; z <= 2; ++z)
            for (int y = 0; y <= 2; ++y) m.setFixed(m.vertexAt(0, {0, y, z}), true);
        EXPECT_EQ(fixationsHoldModel(m), c.held) << c.name;
        // Fixing three vertices of the second block that are not on one line holds it too.
        m.setFixed(m.vertexAt(0, {c.second[0] + 2, c.second[1], c.second[2]}), true);
        m.setFixed(m.vertexAt(0, {c.second[0] + 2, c.second[1] + 2, c.second[2]}), true);
        m.setFixed(m.vertexAt(0, {c.second[0] + 2, c.second[1], c.second[2] + 2}), true);
        EXPECT_TRUE(fixationsHoldModel(m)) << c.name;
    }
}

TEST(FixationCheck, RunsAgainExactlyWhenTheFixedSetChanges) {
    // A 6x3x3 box; each step edits the fixations in place, as the editor does, and says what
    // the check must answer and whether it must have run again.
    FemModel m(test::solidBox(6, 3, 3), 3);
    auto fix = [&](int x, int y, int z, uint8_t value) {
        m.setFixed(m.vertexAt(0, {x, y, z}), value);
    };
    struct Step {
        const char* name;
        std::function<void()> edit;
        bool held;
        bool rerun;
    };
    const Step steps[] = {
        {"end face",
         [&] {
             for (int z = 0; z <= 3; ++z)
                 for (int y = 0; y <= 3; ++y) fix(0, y, z, 1);
         },
         true, true},
        {"unchanged", [] {}, true, false},
        {"only the edge y = z = 0 left (a hinge)",
         [&] {
             m.clearFixations();
             for (int x = 0; x <= 6; ++x) fix(x, 0, 0, 1);
         },
         false, true},
        {"unchanged hinge", [] {}, false, false},
        {"a vertex off the hinge line", [&] { fix(6, 3, 3, 1); }, true, true},
        {"that vertex freed again", [&] { fix(6, 3, 3, 0); }, false, true},
        {"set to 1 where it is 1 already", [&] { fix(0, 0, 0, 1); }, false, false},
        {"nothing fixed", [&] { m.clearFixations(); },
         false, true},
    };
    FixationCheck check;
    for (const Step& s : steps) {
        const int before = check.evaluations();
        s.edit();
        EXPECT_EQ(check.holds(m), s.held) << s.name;
        EXPECT_EQ(check.holds(m), fixationsHoldModel(m)) << s.name;
        EXPECT_EQ(check.evaluations() - before, s.rerun ? 1 : 0) << s.name;
    }
    check.invalidate();
    EXPECT_FALSE(check.holds(m));
    EXPECT_EQ(check.evaluations(), 6);
}

TEST(FixationCheck, FactorizationSeesAChangedFixation) {
    // factorCoarsestLevel takes the check from the system's cache: a hinge that replaces a held
    // face must make it fail although the numeric factorization of the hinge may succeed.
    FemModel m(test::solidBox(6, 3, 3), 3);
    for (int z = 0; z <= 3; ++z)
        for (int y = 0; y <= 3; ++y) m.setFixed(m.vertexAt(0, {0, y, z}), true);
    assembleOperators(m);
    CoarseSystem coarse;
    ASSERT_TRUE(factorCoarsestLevel(m, coarse));
    ASSERT_TRUE(factorCoarsestLevel(m, coarse));
    EXPECT_EQ(coarse.fixationCheck.evaluations(), 1);
    for (int z = 1; z <= 3; ++z)
        for (int y = 0; y <= 3; ++y) m.setFixed(m.vertexAt(0, {0, y, z}), false);
    for (int y = 1; y <= 3; ++y) m.setFixed(m.vertexAt(0, {0, y, 0}), false);
    m.setFixed(m.vertexAt(0, {6, 0, 0}), true);  // hinge along y = z = 0
    assembleOperators(m);
    EXPECT_FALSE(factorCoarsestLevel(m, coarse));
    EXPECT_EQ(coarse.fixationCheck.evaluations(), 2);
}

}  // namespace
}  // namespace ostrel
