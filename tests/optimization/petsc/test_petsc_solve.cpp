// The many-process engine's solve (optimization/petsc/ElasticSolve.h) against the
// single-process multigrid solver: on the same model (holes, fixed vertices, loads, gravity,
// random stiffness factors) both solve to a relative residual of 1e-8, and the compliance and
// the displacement agree. CTest runs this program under mpirun on 1, 2 and 3 ranks; every rank
// builds the same models and runs the same cases (the solves are collective), and rank 0
// reports. Some cases force rank boxes thinner than a coarse element (-da_processors_x).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "MpiTestMain.h"
#include "fem/FemModel.h"
#include "fem/FemTestUtil.h"
#include "fem/LoadVector.h"
#include "gpu/MultigridSolver.h"
#include "optimization/petsc/ElasticSolve.h"
#include "optimization/petsc/PetscSession.h"
#include "tools/Cantilever.h"

namespace ostrel {
namespace {

constexpr double kTolerance = 1e-8;

int worldSize() {
    int size = 1;
    MPI_Comm_size(PETSC_COMM_WORLD, &size);
    return size;
}

/// A model case: its voxels, levels, and how supports, loads and factors are set.
struct ModelCase {
    const char* name;
    int nx, ny, nz, levels;
    double fill;        ///< 1: solid box; below: random voxels with holes
    bool randomFactors; ///< random stiffness factors in [1e-2, 1] * 1e6
    bool gravity;       ///< the elements' weight under gravity joins the load
    const char* processorsX;  ///< -da_processors_x on 2 and 3 ranks ("" = PETSc decides)
};

/// Builds the case's model: fixed vertices on the plane x = 0 (and a few random ones),
/// loads on the plane x = max and a few random vertices, the factors.
std::unique_ptr<FemModel> buildCase(const ModelCase& c) {
    const Volume<bool, double> voxels = c.fill >= 1 ? test::solidBox(c.nx, c.ny, c.nz)
                                                    : test::randomVolume(c.nx, c.ny, c.nz, c.fill, 7);
    std::unique_ptr<FemModel> model = std::make_unique<FemModel>(voxels, c.levels);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> uniform(0, 1);
    const int nV = model->numVertices(0);
    const int ex = model->elementDims(0)[0];
    bool anyFixed = false;
    for (int v = 0; v < nV; ++v) {
        const GridPos p = unpack(model->vertexPosition(0)[size_t(v)]);
        if (p.x == 0 || uniform(rng) < 0.01) model->setFixed(v, true), anyFixed = true;
        if (p.x == ex || uniform(rng) < 0.02)
            model->setForce(v, {float(uniform(rng) - 0.5), float(uniform(rng) - 0.5),
                                float(-1.0 - uniform(rng))});
    }
    EXPECT_TRUE(anyFixed);
    if (c.randomFactors) {
        std::vector<float> factors(size_t(model->numElements(0)));
        for (float& f : factors) f = float(1e6 * std::pow(10.0, -2.0 * uniform(rng)));
        model->setStiffnessFactors(std::move(factors));
    }
    if (c.gravity) model->setGravity({0.0, 0.0, -9.81});
    return model;
}

/// The single-process solve on the host device (conjugate gradients preconditioned by its
/// V-cycle): compliance and displacement.
struct Reference {
    double compliance = 0;
    std::vector<double> displacement;
};
Reference solveSingleProcess(FemModel& model) {
    DeviceOptions options;
    options.forceHost = true;
    options.hostThreads = 1;
    MultigridSolver solver(model, options);
    solver.setLogs(nullptr, nullptr);
    EXPECT_TRUE(solver.setup());
    // Conjugate gradients reach 1e-8 within the cycle cap on these models; V-cycles alone
    // stall above it on the random factors.
    solver.setSolveMethod(SolveMethod::ConjugateGradients);
    solver.computeLoad();
    solver.prepareSolve();
    EXPECT_TRUE(solver.solve(kTolerance));
    Reference r{compliance(model), model.displacement()};
    solver.release();
    return r;
}

/// Sets -da_processors_x for the scope on more than one rank.
class ProcessorsX {
public:
    explicit ProcessorsX(const char* value) {
        if (worldSize() > 1 && value[0]) {
            PetscOptionsSetValue(nullptr, "-da_processors_x", value);
            set_ = true;
        }
    }
    ~ProcessorsX() {
        if (set_) PetscOptionsClearValue(nullptr, "-da_processors_x");
    }

private:
    bool set_ = false;
};

std::string processorsFor(const char* perSize) {
    // "a,b": a on 2 ranks, b on 3; empty: PETSc decides.
    const std::string s = perSize;
    if (s.empty()) return "";
    const size_t comma = s.find(',');
    return worldSize() == 2 ? s.substr(0, comma) : worldSize() == 3 ? s.substr(comma + 1) : "";
}

/// Whether `values` has rank 0's size and bits on every rank (the answer on every rank).
/// Collective.
bool sameOnEveryRank(const std::vector<double>& values) {
    int rank = 0;
    MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
    long long size = static_cast<long long>(values.size());
    MPI_Bcast(&size, 1, MPI_LONG_LONG, 0, PETSC_COMM_WORLD);
    std::vector<double> first = values;
    first.resize(size_t(size));
    MPI_Bcast(first.data(), int(size), MPI_DOUBLE, 0, PETSC_COMM_WORLD);
    int same = size == static_cast<long long>(values.size()) &&
               std::memcmp(first.data(), values.data(), values.size() * sizeof(double)) == 0;
    MPI_Allreduce(MPI_IN_PLACE, &same, 1, MPI_INT, MPI_MIN, PETSC_COMM_WORLD);
    return same != 0;
}

class PetscAgreement : public ::testing::TestWithParam<ModelCase> {};

TEST_P(PetscAgreement, ComplianceAndDisplacementEqualTheSingleProcessSolve) {
    const ModelCase& c = GetParam();
    std::unique_ptr<FemModel> model = buildCase(c);
    const Reference ref = solveSingleProcess(*model);
    ASSERT_GT(ref.compliance, 0);

    const ProcessorsX processors(processorsFor(c.processorsX).c_str());
    PetscElasticSolver engine(*model, PETSC_COMM_WORLD, kTolerance);
    engine.prepareSolve();
    const PetscSolveResult result = engine.solve();
    EXPECT_TRUE(result.converged);
    EXPECT_LE(result.relativeResidual, kTolerance);
    EXPECT_GE(engine.shape().levels, 2) << "the multigrid should keep a coarse level";
    // Without forced thin rank boxes every rank count keeps the model's levels: a hierarchy
    // cut short leaves a large coarsest level to a direct solve on every rank.
    if (!*c.processorsX) {
        EXPECT_EQ(engine.shape().levels, c.levels) << c.name;
    }
    // The V-cycle keeps its strength on every rank count (about 40 iterations to 1e-8 on the
    // random factors on 1, 2 and 3 ranks; a weak interpolation took over 200 on 3).
    EXPECT_LE(result.iterations, 80);
    EXPECT_NEAR(result.compliance, ref.compliance, 1e-6 * ref.compliance) << c.name;

    // Every rank holds the whole displacement, the same bits as rank 0's.
    const std::vector<double> u = engine.gatherDisplacement();
    EXPECT_TRUE(sameOnEveryRank(u)) << c.name;
    ASSERT_EQ(u.size(), ref.displacement.size());
    double largest = 0, error = 0;
    for (size_t i = 0; i < u.size(); ++i) {
        largest = std::max(largest, std::abs(ref.displacement[i]));
        error = std::max(error, std::abs(u[i] - ref.displacement[i]));
    }
    EXPECT_LE(error, 1e-5 * largest) << c.name;
}

const ModelCase kCases[] = {
    {"uniform box", 16, 8, 8, 3, 1.0, false, false, ""},
    {"holes, random factors, gravity", 14, 10, 9, 3, 0.8, true, true, ""},
    {"four levels with holes", 24, 12, 10, 4, 0.85, true, false, ""},
    // 33 nodes along x over 3 ranks (11 each): PETSc balances level 2's 17 nodes as 6, 6, 5.
    {"cantilever 2:1:1, four levels", 32, 16, 16, 4, 1.0, false, false, ""},
    // Rank boxes along x of 2, 2 and 1 nodes (3 ranks) or 3 and 2 (2 ranks) over 5 nodes:
    // thinner than a coarse element of level 2.
    {"thin rank boxes", 4, 12, 10, 3, 0.9, true, false, "2,3"},
};

INSTANTIATE_TEST_SUITE_P(Models, PetscAgreement, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// A coarse split serves the fine one when every coarse node a rank's fine nodes interpolate
// from lies within the rank's coarse nodes and one ghost layer on either side.
TEST(PetscSolve, CoarseSplitsServeTheInterpolationWithinOneGhostLayer) {
    struct Case {
        std::vector<PetscInt> fine, coarse;
        bool serves;
    };
    const Case cases[] = {
        {{33}, {17}, true},
        {{22, 22, 21}, {11, 11, 11}, true},
        {{11, 11, 11}, {6, 6, 5}, true},   // PETSc's balance of 17 nodes over 3 ranks
        {{11, 11, 11}, {6, 5, 6}, true},   // the halves of the fine split
        {{6, 6, 5}, {3, 3, 3}, true},
        {{3, 2}, {2, 1}, true},
        {{10, 23}, {3, 14}, false},  // rank 0's node 9 uses coarse 5, beyond its ghost 3
        {{2, 31}, {12, 5}, false},   // rank 1's node 2 uses coarse 1, below its ghost 11
        {{16, 17}, {8, 9}, true},
        {{16, 17}, {10, 7}, false},  // rank 1's node 16 uses coarse 8, below its ghost 9
        {{4, 29}, {2, 15}, true},
        {{4, 29}, {1, 16}, false},   // rank 0's node 3 uses coarse 2, beyond its ghost 1
        {{11, 11, 11}, {6, 6}, false},    // another rank count
        {{11, 0, 22}, {6, 1, 10}, false}, // a rank without fine nodes
        {{11, 11, 11}, {6, 11, 0}, false} // a rank without coarse nodes
    };
    for (const Case& c : cases) {
        std::ostringstream name;
        for (PetscInt n : c.fine) name << n << ' ';
        name << "->";
        for (PetscInt n : c.coarse) name << ' ' << n;
        EXPECT_EQ(interpolatesWithinGhosts(c.fine, c.coarse), c.serves) << name.str();
    }
}

/// K u written plainly, element by element over the whole model: factor * Ke on each element's
/// corners, the rows and columns of fixed vertices left out (their rows stay 0).
std::vector<double> referenceProduct(const FemModel& model, const std::vector<double>& u) {
    const int nV = model.numVertices(0);
    std::vector<double> y(u.size(), 0.0);
    for (int e = 0; e < model.numElements(0); ++e) {
        const GridPos p = unpack(model.elementPosition(0)[size_t(e)]);
        int v[8];
        for (int n = 0; n < 8; ++n)
            v[n] = model.vertexAt(0, {p.x + (n & 1), p.y + (n >> 1 & 1), p.z + (n >> 2)});
        for (int r = 0; r < 24; ++r) {
            if (model.isFixed(v[r / 3])) continue;
            double sum = 0;
            for (int c = 0; c < 24; ++c)
                if (!model.isFixed(v[c / 3]))
                    sum += model.Ke()[size_t(r * 24 + c)] * u[size_t((c % 3) * nV + v[c / 3])];
            y[size_t((r % 3) * nV + v[r / 3])] += double(model.stiffnessFactors()[size_t(e)]) * sum;
        }
    }
    return y;
}

// The distributed operator equals the plain product on every free row, is the scaled identity
// on fixed rows, and is symmetric (a . K b = b . K a): on 2 and 3 ranks every element counts
// once however the boxes cut the model.
TEST(PetscSolve, OperatorIsTheElementSumWithIdentityRowsAndSymmetric) {
    std::unique_ptr<FemModel> model = buildCase({"operator", 13, 9, 7, 3, 0.8, true, false, ""});
    PetscElasticSolver engine(*model, PETSC_COMM_WORLD, kTolerance);
    engine.prepareSolve();
    const int nV = model->numVertices(0);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> uniform(-1, 1);
    std::vector<double> a(3 * size_t(nV)), b(3 * size_t(nV));
    for (double& x : a) x = uniform(rng);
    for (double& x : b) x = uniform(rng);
    const std::vector<double> Ka = engine.applyOperator(a), Kb = engine.applyOperator(b);
    EXPECT_TRUE(sameOnEveryRank(Ka));
    ASSERT_EQ(Ka.size(), a.size());
    const std::vector<double> expected = referenceProduct(*model, a);
    double largest = 0;
    for (double x : expected) largest = std::max(largest, std::abs(x));
    EXPECT_GT(engine.identityScale(), 0);
    for (int v = 0; v < nV; ++v)
        for (int c = 0; c < 3; ++c) {
            const size_t i = size_t(c * nV + v);
            const double want = model->isFixed(v) ? engine.identityScale() * a[i] : expected[i];
            ASSERT_NEAR(Ka[i], want, 1e-12 * largest) << "vertex " << v << " component " << c;
        }
    double aKb = 0, bKa = 0;
    for (size_t i = 0; i < a.size(); ++i) aKb += a[i] * Kb[i], bKa += b[i] * Ka[i];
    EXPECT_NEAR(aKb, bKa, 1e-12 * std::abs(aKb));
}

/// A case's model and the engine's solver for it, prepared; PETSc's processor grid is the
/// case's while it lives.
struct PreparedEngine {
    explicit PreparedEngine(const ModelCase& c)
        : model(buildCase(c)),
          processors(processorsFor(c.processorsX).c_str()),
          engine(*model, PETSC_COMM_WORLD, kTolerance) {
        engine.prepareSolve();
    }
    std::unique_ptr<FemModel> model;
    ProcessorsX processors;
    PetscElasticSolver engine;
};

// Every coarse level is the Galerkin product of the level above (P^T A P with the masked
// interpolation) on its active dofs: levels 1 and 2, formed from the elements, as much as the
// triple products below. However the rank boxes cut the coarse elements, with fixed vertices,
// holes and random factors, after new factors and after more fixed vertices.
TEST(PetscSolve, EveryCoarseLevelIsTheGalerkinProductOfTheLevelAbove) {
    for (const ModelCase& c : kCases) {
        SCOPED_TRACE(c.name);
        PreparedEngine prepared(c);
        FemModel* model = prepared.model.get();
        PetscElasticSolver& engine = prepared.engine;
        for (int level = 1; level < engine.shape().levels; ++level)
            EXPECT_LT(engine.galerkinDeviation(level), 1e-12) << "level " << level;
        std::vector<float> factors = model->stiffnessFactors();
        for (size_t e = 0; e < factors.size(); e += 2) factors[e] *= 0.25f;
        model->setStiffnessFactors(factors);
        for (int v = 0; v < model->numVertices(0); v += 17) model->setFixed(v, true);
        engine.prepareSolve();
        for (int level = 1; level < engine.shape().levels; ++level)
            EXPECT_LT(engine.galerkinDeviation(level), 1e-12) << "level " << level;
    }
}

/// PETSc's count of references to `object`.
PetscInt referencesTo(Vec object) {
    PetscInt count = 0;
    PetscObjectGetReference(reinterpret_cast<PetscObject>(object), &count);
    return count;
}

// An owner gives up its reference when it goes, when it takes another object and when it is
// reset, and a move hands the reference over without giving it up; each object is watched
// through a reference of its own.
TEST(PetscOwned, GivesUpItsReferenceWhenItGoesOrTakesAnother) {
    Vec first = nullptr, second = nullptr;
    {
        OwnedVec a;
        ASSERT_EQ(VecCreateSeq(PETSC_COMM_SELF, 3, a.replace()), 0);
        first = a;
        PetscObjectReference(reinterpret_cast<PetscObject>(first));
        EXPECT_EQ(referencesTo(first), 2);
        OwnedVec b = std::move(a);
        EXPECT_EQ(Vec(a), nullptr);
        EXPECT_EQ(Vec(b), first);
        EXPECT_EQ(referencesTo(first), 2);
        ASSERT_EQ(VecCreateSeq(PETSC_COMM_SELF, 3, b.replace()), 0);  // takes another
        EXPECT_EQ(referencesTo(first), 1);
        second = b;
        PetscObjectReference(reinterpret_cast<PetscObject>(second));
        a = std::move(b);
        EXPECT_EQ(referencesTo(second), 2);
        b.reset();  // owns nothing: nothing happens
        EXPECT_EQ(referencesTo(second), 2);
    }
    EXPECT_EQ(referencesTo(second), 1);
    VecDestroy(&first);
    VecDestroy(&second);
}

/// Sum over the ranks of a local count.
long long countOnAllRanks(long long local) {
    long long all = 0;
    MPI_Allreduce(&local, &all, 1, MPI_LONG_LONG, MPI_SUM, PETSC_COMM_WORLD);
    return all;
}

// The interpolation from level 1 to level 0, applied on the grids without a matrix, is the
// DMDA's trilinear one with the rows of level 0's inactive dofs (fixed, or at grid points
// without an element) zeroed; its restriction is its transpose, and the forms that add to a
// vector add. However the rank boxes cut the coarse elements.
TEST(PetscSolve, FinestInterpolationIsTheMaskedTrilinearOneAndRestrictionItsTranspose) {
    for (const ModelCase& c : kCases) {
        SCOPED_TRACE(c.name);
        PreparedEngine prepared(c);
        const FemModel* model = prepared.model.get();
        PetscElasticSolver& engine = prepared.engine;
        const int levels = engine.shape().levels;
        ASSERT_GE(levels, 2);
        PC pc = nullptr;
        Mat P = nullptr;
        ASSERT_EQ(KSPGetPC(engine.ksp(), &pc), 0);
        ASSERT_EQ(PCMGGetInterpolation(pc, levels - 1, &P), 0);

        // The reference: the DMDA's interpolation between the same grids, split alike.
        const int L = model->numLevels();
        PetscInt nodes[3];
        for (int a = 0; a < 3; ++a)
            nodes[a] = (PetscInt(model->elementDims(L - 1)[a]) << (L - 1)) + 1;
        OwnedDM fine, coarse;
        OwnedMat reference;
        ASSERT_EQ(DMDACreate3d(PETSC_COMM_WORLD, DM_BOUNDARY_NONE, DM_BOUNDARY_NONE,
                               DM_BOUNDARY_NONE, DMDA_STENCIL_BOX, nodes[0], nodes[1], nodes[2],
                               PETSC_DECIDE, PETSC_DECIDE, PETSC_DECIDE, 3, 1, nullptr, nullptr,
                               nullptr, fine.replace()),
                  0);
        ASSERT_EQ(DMSetFromOptions(fine), 0);
        ASSERT_EQ(DMSetUp(fine), 0);
        ASSERT_EQ(DMCoarsen(fine, PETSC_COMM_WORLD, coarse.replace()), 0);
        ASSERT_EQ(DMCreateInterpolation(coarse, fine, reference.replace(), nullptr), 0);

        OwnedVec x, x2, y, yRef, w, z;
        ASSERT_EQ(MatCreateVecs(P, x.replace(), y.replace()), 0);
        VecDuplicate(x, x2.replace());
        VecDuplicate(y, yRef.replace());
        VecDuplicate(y, w.replace());
        VecDuplicate(y, z.replace());
        OwnedRandom random;
        PetscRandomCreate(PETSC_COMM_WORLD, random.replace());
        PetscRandomSetInterval(random, 0.5, 1.5);
        VecSetRandom(x, random);
        VecSetRandom(w, random);
        ASSERT_EQ(MatMult(P, x, y), 0);
        ASSERT_EQ(MatMult(reference, x, yRef), 0);
        PetscInt n = 0;
        VecGetLocalSize(y, &n);
        long long zeroed = 0, differing = 0;
        {
            const PetscScalar *a = nullptr, *b = nullptr;
            VecGetArrayRead(y, &a);
            VecGetArrayRead(yRef, &b);
            for (PetscInt i = 0; i < n; ++i) {
                if (a[i] == 0.0) ++zeroed;
                else if (std::fabs(a[i] - b[i]) > 1e-14 * std::fabs(b[i])) ++differing;
            }
            VecRestoreArrayRead(y, &a);
            VecRestoreArrayRead(yRef, &b);
        }
        EXPECT_EQ(countOnAllRanks(differing), 0);
        long long gridPoints = 1, fixed = 0;
        for (PetscInt a : nodes) gridPoints *= a;
        for (int v = 0; v < model->numVertices(0); ++v) fixed += model->isFixed(v);
        EXPECT_EQ(countOnAllRanks(zeroed), 3 * (gridPoints - model->numVertices(0) + fixed));

        // Restriction: <P^T v, x> = <v, P x> for a v that is nonzero on the zeroed rows too.
        PetscScalar left = 0, right = 0;
        ASSERT_EQ(MatMultTranspose(P, w, x2), 0);
        VecDot(x2, x, &left);
        VecDot(w, y, &right);
        EXPECT_NEAR(left, right, 1e-13 * std::fabs(right));
        // The adding forms: w + P x, and P^T w + x2 = 2 P^T w.
        ASSERT_EQ(MatMultAdd(P, x, w, z), 0);
        VecAXPY(z, -1.0, w);
        VecAXPY(z, -1.0, y);
        PetscReal off = 0, size = 0;
        VecNorm(z, NORM_INFINITY, &off);
        VecNorm(y, NORM_INFINITY, &size);
        EXPECT_LE(off, 1e-15 * size);
        ASSERT_EQ(MatMultTransposeAdd(P, w, x2, x2), 0);
        VecDot(x2, x, &left);
        EXPECT_NEAR(left, 2 * right, 1e-13 * std::fabs(right));
    }
}

TEST(PetscSolve, WarmStartAndNewFactorsGiveTheFreshSolve) {
    std::unique_ptr<FemModel> model = buildCase({"warm", 12, 8, 6, 3, 0.85, true, false, ""});
    PetscElasticSolver engine(*model, PETSC_COMM_WORLD, kTolerance);
    engine.prepareSolve();
    const PetscSolveResult first = engine.solve();
    ASSERT_TRUE(first.converged);
    // Solved already: the warm start needs no iteration.
    const PetscSolveResult again = engine.solve();
    EXPECT_EQ(again.iterations, 0);
    EXPECT_DOUBLE_EQ(again.compliance, first.compliance);
    // New factors: the warm-started solve equals a fresh solver's.
    std::vector<float> factors = model->stiffnessFactors();
    for (size_t e = 0; e < factors.size(); e += 3) factors[e] *= 0.5f;
    model->setStiffnessFactors(factors);
    engine.prepareSolve();
    const PetscSolveResult warm = engine.solve();
    PetscElasticSolver fresh(*model, PETSC_COMM_WORLD, kTolerance);
    fresh.prepareSolve();
    const PetscSolveResult cold = fresh.solve();
    EXPECT_TRUE(warm.converged);
    EXPECT_NEAR(warm.compliance, cold.compliance, 1e-7 * cold.compliance);
    EXPECT_GT(warm.compliance, first.compliance);  // softer
}

TEST(PetscSolve, ReusedThroughDesignsOfRisingContrastSolvesAsAFreshSolver) {
    // The factors an optimization gives its solver, design after design: uniform at first,
    // then solid (1000) and void (1e-6) apart. A solver reused through them must solve each
    // as a fresh one does (a set-up kept from the first factors left CG with an indefinite
    // V-cycle from the third design on).
    std::unique_ptr<FemModel> model = buildCase({"designs", 16, 8, 8, 3, 1.0, false, false, ""});
    const size_t n = size_t(model->numElements(0));
    // A hollow tube with a diaphragm every fourth layer: solid walls, void inside.
    std::vector<bool> solid(n);
    for (size_t e = 0; e < n; ++e) {
        const GridPos p = unpack(model->elementPosition(0)[e]);
        solid[e] = p.y == 0 || p.y == 7 || p.z == 0 || p.z == 7 || p.x % 4 == 0;
    }
    PetscElasticSolver engine(*model, PETSC_COMM_WORLD, 0.01);
    for (double contrast : {0.0, 0.5, 1.0}) {
        // Densities between 0.36 (contrast 0) and 0.001 or 1 (contrast 1), E = 1000 rho^3.
        std::vector<float> factors(n);
        for (size_t e = 0; e < n; ++e) {
            const double rho = 0.36 + contrast * ((solid[e] ? 1.0 : 0.001) - 0.36);
            factors[e] = float(1000.0 * rho * rho * rho);
        }
        model->setStiffnessFactors(factors);
        engine.prepareSolve();
        const PetscSolveResult reused = engine.solve();
        PetscElasticSolver fresh(*model, PETSC_COMM_WORLD, 0.01);
        fresh.prepareSolve();
        const PetscSolveResult cold = fresh.solve();
        ASSERT_TRUE(cold.converged) << "contrast " << contrast;
        EXPECT_TRUE(reused.converged) << "contrast " << contrast;
        EXPECT_LE(reused.iterations, cold.iterations + 5) << "contrast " << contrast;
        EXPECT_NEAR(reused.compliance, cold.compliance, 0.02 * cold.compliance)
            << "contrast " << contrast;
    }
}

// A solver kept from design to design keeps its interpolations and the structure of its
// products while the active dofs stay, and forms them anew when they change. From the same
// start it then takes the same iterations to the same compliance as a fresh solver, after new
// factors and after more and fewer fixed vertices. (An interpolation still masked for the old
// fixed vertices does not change CG's answer, only its way there: the iterations show it.)
TEST(PetscSolve, KeptHierarchyFollowsNewFactorsAndFixedVertices) {
    std::unique_ptr<FemModel> model = buildCase({"kept", 16, 8, 8, 3, 0.9, true, false, ""});
    const int nV = model->numVertices(0);
    const int ex = model->elementDims(0)[0];
    PetscElasticSolver kept(*model, PETSC_COMM_WORLD, kTolerance);
    const auto compare = [&](const std::string& what) {
        kept.prepareSolve();
        PetscElasticSolver fresh(*model, PETSC_COMM_WORLD, kTolerance);
        fresh.prepareSolve();
        const std::vector<float> load = loadVector(*model, model->forces());
        std::vector<double> a(3 * size_t(nV), 0.0), b(3 * size_t(nV), 0.0);
        const PetscSolveResult r = kept.solveFrom(load, a);
        const PetscSolveResult f = fresh.solveFrom(load, b);
        ASSERT_TRUE(f.converged) << what;
        EXPECT_TRUE(r.converged) << what;
        EXPECT_EQ(r.iterations, f.iterations) << what;
        EXPECT_NEAR(r.compliance, f.compliance, 1e-12 * std::abs(f.compliance)) << what;
    };
    compare("the first design");
    std::vector<float> factors = model->stiffnessFactors();
    for (size_t e = 0; e < factors.size(); e += 2) factors[e] *= 1e-3f;
    model->setStiffnessFactors(factors);
    compare("new factors");
    // The far face fixed as well: a clamped beam.
    for (int v = 0; v < nV; ++v)
        if (unpack(model->vertexPosition(0)[size_t(v)]).x == ex) model->setFixed(v, true);
    compare("more fixed vertices");
    // Only the lower half of the first face fixed.
    model->clearFixations();
    for (int v = 0; v < nV; ++v) {
        const GridPos p = unpack(model->vertexPosition(0)[size_t(v)]);
        if (p.x == 0 && p.z <= 4) model->setFixed(v, true);
    }
    compare("fewer fixed vertices");
}

TEST(PetscSolve, CoarseSolveIsRedundantOnOneRankAndForSmallLevelsElseMumps) {
    struct Case {
        int levels;
        long long dofs;
        int ranks;
        CoarseSolve expected;
    };
    const Case cases[] = {
        {1, 100000, 4, CoarseSolve::None},
        {4, 675, 1, CoarseSolve::Redundant},
        {3, 1000000, 1, CoarseSolve::Redundant},
        {4, kRedundantCoarseDofs, 64, CoarseSolve::Redundant},
        {3, kRedundantCoarseDofs + 1, 2, CoarseSolve::Mumps},
        {2, 28611, 512, CoarseSolve::Mumps},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chooseCoarseSolve(c.levels, c.dofs, c.ranks), c.expected)
            << c.levels << " levels, " << c.dofs << " dofs, " << c.ranks << " ranks";
    EXPECT_STREQ(coarseSolveName(CoarseSolve::Mumps), "MUMPS across the ranks");
    EXPECT_STREQ(coarseSolveName(CoarseSolve::Redundant), "CHOLMOD on every rank");
}

TEST(PetscSolve, LargeCoarsestLevelFactoredAcrossTheRanksGivesTheSameAnswer) {
    // Level 2 of 11 x 9 x 7 nodes, 2 079 unknowns, above the redundant solve's size, so more
    // than one rank factors it with MUMPS; PETSc's options still choose another.
    std::unique_ptr<FemModel> model =
        buildCase({"large coarsest level", 40, 32, 24, 3, 0.9, true, false, ""});
    const Reference ref = solveSingleProcess(*model);
    for (const bool redundant : {false, true}) {
        if (redundant) PetscOptionsSetValue(nullptr, "-mg_coarse_pc_type", "redundant");
        PetscElasticSolver engine(*model, PETSC_COMM_WORLD, kTolerance);
        ASSERT_EQ(engine.shape().dofs.back(), 2079);
        EXPECT_EQ(engine.shape().coarse,
                  worldSize() > 1 ? CoarseSolve::Mumps : CoarseSolve::Redundant);
        engine.prepareSolve();
        const PetscSolveResult result = engine.solve();
        EXPECT_TRUE(result.converged) << "redundant: " << redundant;
        EXPECT_NEAR(result.compliance, ref.compliance, 1e-6 * ref.compliance)
            << "redundant: " << redundant;
        KSP ksp = engine.ksp(), coarse = nullptr;
        PC pc = nullptr, cpc = nullptr;
        KSPGetPC(ksp, &pc);
        PCMGGetCoarseSolve(pc, &coarse);
        KSPGetPC(coarse, &cpc);
        PCType type = nullptr;
        PCGetType(cpc, &type);
        EXPECT_STREQ(type, redundant || worldSize() == 1 ? PCREDUNDANT : PCCHOLESKY);
        // The levels' solvers read the options whenever the solver is set up again.
        if (redundant) PetscOptionsClearValue(nullptr, "-mg_coarse_pc_type");
    }
}

TEST(PetscSolve, ZeroLoadSolvesAtOnceToZero) {
    std::unique_ptr<FemModel> model = std::make_unique<FemModel>(test::solidBox(8, 4, 4), 3);
    for (int y = 0; y <= 4; ++y)
        for (int z = 0; z <= 4; ++z) model->setFixed(model->vertexAt(0, {0, y, z}), true);
    PetscElasticSolver engine(*model, PETSC_COMM_WORLD, kTolerance);
    engine.prepareSolve();
    const PetscSolveResult result = engine.solve();
    EXPECT_EQ(result.iterations, 0);
    EXPECT_EQ(result.compliance, 0.0);
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
    return ostrel::testing::runTestsOnEveryRank(argc, argv, "test_petsc_solve", [] {
        // A broken operator fails within a few seconds rather than after the engine's cap.
        PetscOptionsSetValue(nullptr, "-ksp_max_it", "200");
    });
}
