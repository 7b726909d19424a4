#include "optimization/petsc/ElasticSolve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "fem/FemModel.h"
#include "fem/LoadVector.h"
#include "optimization/petsc/PetscSession.h"
#include "optimization/petsc/VecValues.h"

namespace ostrel {
namespace {

/// The Krylov iterations a solve may take unless -ksp_max_it says otherwise.
constexpr PetscInt kMaxIterations = 1000;
/// The cautious smoothing after a breakdown: Chebyshev's interval 0.1 to 2.5 times the
/// largest eigenvalue's estimate, which takes 50 Krylov steps.
constexpr const char* kCautiousInterval = "0,0.1,0,2.5";
constexpr const char* kCautiousSteps = "50";
/// Levels 1 to kElementLevels are assembled from the elements by the Galerkin rule, the
/// coarser ones by PETSc's triple product. The product of the largest level would keep
/// intermediate products of about its own size between designs (144 MB a rank at 524 288
/// elements on 2 ranks), so level 2 is formed from its elements too; below, the products
/// are small.
constexpr int kElementLevels = 2;

/// Sets a PETSc option to `value` unless the command line or PETSC_OPTIONS gave it: the
/// engine's defaults that the user overrides.
void defaultOption(const char* name, const char* value) {
    PetscBool set = PETSC_FALSE;
    petscCheck(PetscOptionsHasName(nullptr, nullptr, name, &set), "PetscOptionsHasName");
    if (!set) petscCheck(PetscOptionsSetValue(nullptr, name, value), "PetscOptionsSetValue");
}

/// Trilinear weight of coarse corner C for fine node n of child `child` of a coarse element:
/// the child's node sits at (child bit + node bit) / 2 of the coarse element per axis.
double childWeight(int child, int n, int C) {
    double w = 1;
    for (int a = 0; a < 3; ++a) {
        const double t = 0.5 * double((child >> a & 1) + (n >> a & 1));
        w *= (C >> a & 1) ? t : 1 - t;
    }
    return w;
}

/// out += f * W^T K W for the 24x24 element matrix K (rows and columns of the nodes in
/// `fixedNodes` left out) of child `child`, W its interpolation from the 8 coarse corners.
void addChildMatrix(const std::array<double, 576>& K, int child, unsigned fixedNodes, double f,
                    std::array<double, 576>& out) {
    double W[8][8];
    for (int n = 0; n < 8; ++n)
        for (int C = 0; C < 8; ++C) W[n][C] = (fixedNodes >> n & 1) ? 0.0 : childWeight(child, n, C);
    // T = K W (24 x 24, per component), then out += f W^T T.
    std::array<double, 576> T{};
    for (int r = 0; r < 24; ++r)
        for (int m = 0; m < 8; ++m)
            for (int b = 0; b < 3; ++b) {
                const double k = K[size_t(r * 24 + 3 * m + b)];
                if (k == 0) continue;
                for (int D = 0; D < 8; ++D) T[size_t(r * 24 + 3 * D + b)] += k * W[m][D];
            }
    for (int n = 0; n < 8; ++n)
        for (int C = 0; C < 8; ++C) {
            const double w = f * W[n][C];
            if (w == 0) continue;
            for (int a = 0; a < 3; ++a)
                for (int col = 0; col < 24; ++col)
                    out[size_t((3 * C + a) * 24 + col)] += w * T[size_t((3 * n + a) * 24 + col)];
        }
}

/// Whether some coarsening can give every rank a coarse node in one direction: rank r's
/// fine nodes [s_r, e_r) hold the coarse nodes [ceil(s_r/2), ceil(e_r/2)). False when some
/// rank's share holds none. PETSc refuses a coarsening that leaves a rank empty on some
/// ranks only, so this check comes first, on every rank alike.
bool coarsensWithoutEmptyRanks(const PetscInt* fine, PetscInt ranks) {
    PetscInt start = 0;
    for (PetscInt r = 0; r < ranks; ++r) {
        const PetscInt end = start + fine[r];
        if ((end + 1) / 2 - (start + 1) / 2 < 1) return false;
        start = end;
    }
    return true;
}

/// Every dof of this rank's box of `da`, a level-0 node grid with three dofs a node, in `v`:
/// value(vertex, component), vertex the model's level-0 vertex at the node or -1 for none.
template <class Value>
void fillBoxNodes(const FemModel& model, DM da, Vec v, const Value& value) {
    PetscInt xs, ys, zs, xm, ym, zm;
    petscCheck(DMDAGetCorners(da, &xs, &ys, &zs, &xm, &ym, &zm), "DMDAGetCorners");
    const GridValues a(da, v);
    for (PetscInt k = zs; k < zs + zm; ++k)
        for (PetscInt j = ys; j < ys + ym; ++j)
            for (PetscInt i = xs; i < xs + xm; ++i) {
                const int w = model.vertexAt(0, {int(i), int(j), int(k)});
                for (int c = 0; c < 3; ++c) a[k][j][i][c] = value(w, c);
            }
}

/// Whether `A`'s type is one of `types` (PETSc's type names).
template <class... Names>
bool typeIsOneOf(Mat A, Names... types) {
    PetscBool match = PETSC_FALSE;
    petscCheck(PetscObjectTypeCompareAny(reinterpret_cast<PetscObject>(A), &match, types..., ""),
               "PetscObjectTypeCompareAny");
    return match == PETSC_TRUE;
}

/// Whether `A` keeps only its upper triangle (symmetric block storage).
bool isUpperTriangle(Mat A) { return typeIsOneOf(A, MATSEQSBAIJ, MATMPISBAIJ); }

/// v = 1 where d != 0, else 0.
void nonzeroMask(Vec d, Vec v) {
    PetscInt n = 0;
    petscCheck(VecGetLocalSize(d, &n), "VecGetLocalSize");
    const ReadValues in(d);
    const WriteValues out(v);
    for (PetscInt i = 0; i < n; ++i) out[i] = in[i] != 0 ? 1.0 : 0.0;
}

/// The interpolation from `coarse` to `fine` with the rows of `fine`'s inactive dofs zeroed,
/// in the DMDA's own form: one scalar trilinear interpolation applied to each of the three
/// components (MAIJ), a third of the entries of a matrix that spells out each component; for
/// the levels below level 1 (level 1 to level 0 is interpolated on the grids). One mask per
/// node serves: every dof of a node is active or none is (an element stiffens all three
/// components of its corners, so on the coarse levels a node's three diagonal entries vanish
/// together), so the first component's mask is the node's; a mask that breaks this is
/// refused. Zeroed rows keep their entries: the pattern is the DMDA's, whatever the mask.
OwnedMat maskedInterpolation(DM coarse, DM fine, Vec activeFine) {
    OwnedMat P;
    Mat scalar = nullptr;
    petscCheck(DMCreateInterpolation(coarse, fine, P.replace(), nullptr), "DMCreateInterpolation");
    petscCheck(MatMAIJGetAIJ(P, &scalar), "MatMAIJGetAIJ");  // P's own, scaled in place
    OwnedVec nodes;
    petscCheck(MatCreateVecs(scalar, nullptr, nodes.replace()), "MatCreateVecs");
    PetscInt n = 0;
    petscCheck(VecGetLocalSize(nodes, &n), "VecGetLocalSize");
    bool perNode = true;
    {
        const ReadValues dofs(activeFine);
        const WriteValues out(nodes);
        for (PetscInt i = 0; i < n; ++i) {
            out[i] = dofs[3 * i];
            perNode = perNode && dofs[3 * i + 1] == out[i] && dofs[3 * i + 2] == out[i];
        }
    }
    if (!perNode)
        throw std::logic_error("masked interpolation: a node with active and inactive dofs");
    petscCheck(MatDiagonalScale(scalar, nodes, nullptr), "MatDiagonalScale");
    return P;
}

}  // namespace

CoarseSolve chooseCoarseSolve(int levels, long long dofs, int ranks) {
    // Measured on 2 ranks, a 2:1:1 cantilever with fewer levels than it could have: at 675
    // coarsest unknowns both take the same time and memory; at 4 131 MUMPS solves in 0.28 s
    // against 0.35 s with 96 against 108 MB a rank, at 28 611 in 2.95 s against 3.33 s with
    // 536 against 625 MB. Every rank factoring the whole level costs more with every rank.
    if (levels <= 1) return CoarseSolve::None;
    return ranks > 1 && dofs > kRedundantCoarseDofs ? CoarseSolve::Mumps : CoarseSolve::Redundant;
}

const char* coarseSolveName(CoarseSolve solve) {
    switch (solve) {
        case CoarseSolve::Redundant: return "CHOLMOD on every rank";
        case CoarseSolve::Mumps: return "MUMPS across the ranks";
        case CoarseSolve::None: break;
    }
    return "";
}

bool interpolatesWithinGhosts(const std::vector<PetscInt>& fine,
                              const std::vector<PetscInt>& coarse) {
    if (fine.size() != coarse.size()) return false;
    PetscInt fineStart = 0, coarseStart = 0;
    for (size_t r = 0; r < fine.size(); ++r) {
        const PetscInt fineEnd = fineStart + fine[r], coarseEnd = coarseStart + coarse[r];
        if (fine[r] < 1 || coarse[r] < 1) return false;
        // The rank's fine nodes use coarse nodes fineStart/2 to (fineEnd - 1 + 1)/2; it holds
        // its own [coarseStart, coarseEnd) and one more on either side.
        if (fineStart / 2 < coarseStart - 1 || fineEnd / 2 > coarseEnd) return false;
        fineStart = fineEnd;
        coarseStart = coarseEnd;
    }
    return true;
}

PetscElasticSolver::PetscElasticSolver(const FemModel& model, MPI_Comm comm, double tolerance)
    : model_(model), comm_(comm) {
    buildHierarchy();
    petscCheck(DMCreateGlobalVector(da_[0], load_.replace()), "DMCreateGlobalVector");
    petscCheck(VecDuplicate(load_, rhs_.replace()), "VecDuplicate");
    petscCheck(VecDuplicate(load_, u_.replace()), "VecDuplicate");
    petscCheck(VecSet(u_, 0.0), "VecSet");
    petscCheck(DMCreateLocalVector(da_[0], localIn_.replace()), "DMCreateLocalVector");
    petscCheck(VecDuplicate(localIn_, localOut_.replace()), "VecDuplicate");
    PetscInt n = 0, N = 0;
    petscCheck(VecGetLocalSize(load_, &n), "VecGetLocalSize");
    petscCheck(VecGetSize(load_, &N), "VecGetSize");
    petscCheck(MatCreateShell(comm_, n, n, N, N, this, shell_.replace()), "MatCreateShell");
    petscCheck(MatShellSetOperation(
                   shell_, MATOP_MULT,
                   (void (*)(void))shellCall<&PetscElasticSolver::applyFine, Vec, Vec>),
               "MatShellSetOperation");
    petscCheck(MatShellSetOperation(
                   shell_, MATOP_GET_DIAGONAL,
                   (void (*)(void))shellCall<&PetscElasticSolver::fineDiagonal, Vec>),
               "MatShellSetOperation");
    if (da_.size() > 1)
        petscCheck(DMCreateLocalVector(da_[1], coarseLocal_.replace()), "DMCreateLocalVector");
    petscCheck(MatSetOption(shell_, MAT_SYMMETRIC, PETSC_TRUE), "MatSetOption");
    // Positive definite too (the identity rows included): the finest smoother's eigenvalue
    // estimate is then CG's, which keeps 4 vectors of the level, not GMRES's one per step.
    petscCheck(MatSetOption(shell_, MAT_SPD, PETSC_TRUE), "MatSetOption");
    tolerance_ = tolerance;
    configureSolver(tolerance);
}

void PetscElasticSolver::buildHierarchy() {
    const int L = model_.numLevels();
    const std::array<int, 3>& coarsest = model_.elementDims(L - 1);
    PetscInt nodes[3];
    for (int a = 0; a < 3; ++a) nodes[a] = (PetscInt(coarsest[size_t(a)]) << (L - 1)) + 1;
    OwnedDM fine;
    petscCheck(DMDACreate3d(comm_, DM_BOUNDARY_NONE, DM_BOUNDARY_NONE, DM_BOUNDARY_NONE,
                            DMDA_STENCIL_BOX, nodes[0], nodes[1], nodes[2], PETSC_DECIDE,
                            PETSC_DECIDE, PETSC_DECIDE, 3, 1, nullptr, nullptr, nullptr,
                            fine.replace()),
               "DMDACreate3d");
    petscCheck(DMSetFromOptions(fine), "DMSetFromOptions");
    petscCheck(DMSetUp(fine), "DMSetUp");
    da_.push_back(std::move(fine));
    // Coarser node DMDAs with the fine ones' processor grid, made by PETSc's coarsening (its
    // interpolation is built for the DMDAs it coarsens; a hand-made DMDA gave a weaker one on
    // 3 ranks). PETSc balances the coarse nodes over the ranks, whatever the fine split; the
    // hierarchy stops where a rank would own no coarse node, or where the balance puts a
    // coarse node that a rank's fine nodes interpolate from beyond that rank's ghost layer.
    // Both are decided from the global ranges, so every rank stops at the same level.
    for (int l = 1; l < L; ++l) {
        PetscInt m[3];
        const PetscInt* ranges[3];
        petscCheck(DMDAGetInfo(da_.back(), nullptr, nullptr, nullptr, nullptr, &m[0], &m[1], &m[2],
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                   "DMDAGetInfo");
        petscCheck(DMDAGetOwnershipRanges(da_.back(), &ranges[0], &ranges[1], &ranges[2]),
                   "DMDAGetOwnershipRanges");
        bool ok = true;
        for (int a = 0; a < 3; ++a) ok = ok && coarsensWithoutEmptyRanks(ranges[a], m[a]);
        if (!ok) break;
        OwnedDM da;
        petscCheck(DMCoarsen(da_.back(), comm_, da.replace()), "DMCoarsen");
        const PetscInt* made[3];
        petscCheck(DMDAGetOwnershipRanges(da, &made[0], &made[1], &made[2]),
                   "DMDAGetOwnershipRanges");
        for (int a = 0; a < 3; ++a)
            ok = ok && interpolatesWithinGhosts(std::vector<PetscInt>(ranges[a], ranges[a] + m[a]),
                                                std::vector<PetscInt>(made[a], made[a] + m[a]));
        if (!ok) break;
        petscCheck(DMSetMatType(da, MATAIJ), "DMSetMatType");
        petscCheck(DMSetUp(da), "DMSetUp");
        da_.push_back(std::move(da));
    }
    // Levels formed from the elements above the last of them enter no triple product, so
    // they keep only their upper triangle by 3 x 3 blocks (one column index a block instead of
    // one a value, and half the blocks: about 0.3 times the memory of every value spelled
    // out). Not the coarsest level, whose redundant direct solve wants the values spelled out.
    for (int l = 1; l < std::min(kElementLevels, int(da_.size()) - 1); ++l)
        petscCheck(DMSetMatType(da_[size_t(l)], MATSBAIJ), "DMSetMatType");
    shape_.levels = int(da_.size());
    for (const OwnedDM& da : da_) {
        PetscInt M, N, P;
        petscCheck(DMDAGetInfo(da, nullptr, &M, &N, &P, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
                   "DMDAGetInfo");
        shape_.dofs.push_back(3LL * M * N * P);
    }
    int ranks = 1;
    petscCheck(MPI_Comm_size(comm_, &ranks), "MPI_Comm_size");
    shape_.coarse = chooseCoarseSolve(shape_.levels, shape_.dofs.back(), ranks);
}

void PetscElasticSolver::configureSolver(double tolerance) {
    petscCheck(KSPCreate(comm_, ksp_.replace()), "KSPCreate");
    petscCheck(KSPSetType(ksp_, KSPCG), "KSPSetType");
    petscCheck(KSPSetNormType(ksp_, KSP_NORM_UNPRECONDITIONED), "KSPSetNormType");
    petscCheck(KSPSetInitialGuessNonzero(ksp_, PETSC_TRUE), "KSPSetInitialGuessNonzero");
    petscCheck(KSPSetTolerances(ksp_, tolerance, 0.0, PETSC_DEFAULT, kMaxIterations), "KSPSetTolerances");
    PC pc = nullptr;
    petscCheck(KSPGetPC(ksp_, &pc), "KSPGetPC");
    const int levels = int(da_.size());
    if (levels == 1) {
        petscCheck(PCSetType(pc, PCJACOBI), "PCSetType");
    } else {
        petscCheck(PCSetType(pc, PCMG), "PCSetType");
        petscCheck(PCMGSetLevels(pc, levels, nullptr), "PCMGSetLevels");
        petscCheck(PCMGSetType(pc, PC_MG_MULTIPLICATIVE), "PCMGSetType");
        petscCheck(PCMGSetGalerkin(pc, PC_MG_GALERKIN_NONE), "PCMGSetGalerkin");
        defaultOption("-mg_levels_esteig_ksp_type", "cg");
        for (int p = 1; p < levels; ++p) {
            KSP smoother = nullptr;
            PC spc = nullptr;
            petscCheck(PCMGGetSmoother(pc, p, &smoother), "PCMGGetSmoother");
            petscCheck(KSPSetType(smoother, KSPCHEBYSHEV), "KSPSetType");
            // The smoothing interval is [0.1, 1.5] times the estimated largest eigenvalue of
            // the Jacobi-scaled operator. The estimate falls short on a design's operator
            // (stiffness factors 1e-6 to 1000): the smoother then amplifies the highest modes,
            // the V-cycle is indefinite and CG breaks down. Measured: with PETSc's usual 10 %
            // margin on the 2:1:1 cantilever at volume fraction 0.12; with 50 % but the
            // finest level's estimate by GMRES on the two-cases example's seventh design at a
            // tolerance of 1e-9. So the margin is 50 % and every level's estimate is CG's
            // (every operator is symmetric positive definite), in PETSc's ten steps; a solve
            // that still breaks down smooths cautiously (solve()).
            petscCheck(KSPChebyshevEstEigSet(smoother, 0, 0.1, 0, 1.5), "KSPChebyshevEstEigSet");
            petscCheck(KSPGetPC(smoother, &spc), "KSPGetPC");
            petscCheck(PCSetType(spc, PCJACOBI), "PCSetType");
        }
        KSP coarse = nullptr;
        PC cpc = nullptr;
        petscCheck(PCMGGetCoarseSolve(pc, &coarse), "PCMGGetCoarseSolve");
        petscCheck(KSPSetType(coarse, KSPPREONLY), "KSPSetType");
        petscCheck(KSPGetPC(coarse, &cpc), "KSPGetPC");
        if (shape_.coarse == CoarseSolve::Mumps) {
            petscCheck(PCSetType(cpc, PCCHOLESKY), "PCSetType");
            petscCheck(PCFactorSetMatSolverType(cpc, MATSOLVERMUMPS), "PCFactorSetMatSolverType");
        } else {
            petscCheck(PCSetType(cpc, PCREDUNDANT), "PCSetType");
        }
        // The redundant solve's factorization, also where PETSc's options choose it.
        defaultOption("-mg_coarse_redundant_pc_type", "cholesky");
        defaultOption("-mg_coarse_redundant_pc_factor_mat_solver_type", "cholmod");
    }
    petscCheck(KSPSetFromOptions(ksp_), "KSPSetFromOptions");
    PetscBool given = PETSC_FALSE;
    petscCheck(PetscOptionsHasName(nullptr, nullptr, "-ksp_rtol", &given), "PetscOptionsHasName");
    toleranceFromOptions_ = given == PETSC_TRUE;
}

void PetscElasticSolver::smoothCautiously() {
    cautious_ = true;
    // PCMG reads its level smoothers' options when it sets them up, after anything set on
    // the smoothers here: the cautious values go into the options themselves.
    petscCheck(PetscOptionsSetValue(nullptr, "-mg_levels_ksp_chebyshev_esteig",
                                    kCautiousInterval),
               "PetscOptionsSetValue");
    petscCheck(PetscOptionsSetValue(nullptr, "-mg_levels_esteig_ksp_max_it", kCautiousSteps),
               "PetscOptionsSetValue");
}

void PetscElasticSolver::setTolerance(double tolerance) {
    tolerance_ = tolerance;
    // PETSC_DEFAULT keeps the other limits as they are (the engine's or the options').
    if (ksp_ && !toleranceFromOptions_)
        petscCheck(KSPSetTolerances(ksp_, tolerance, PETSC_DEFAULT, PETSC_DEFAULT, PETSC_DEFAULT),
                   "KSPSetTolerances");
}

void PetscElasticSolver::collectElements() {
    DM da = da_[0];
    PetscInt xs, ys, zs, xm, ym, zm, gxs, gys, gzs, gxm, gym, gzm, M, N, P;
    petscCheck(DMDAGetInfo(da, nullptr, &M, &N, &P, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr),
               "DMDAGetInfo");
    petscCheck(DMDAGetCorners(da, &xs, &ys, &zs, &xm, &ym, &zm), "DMDAGetCorners");
    petscCheck(DMDAGetGhostCorners(da, &gxs, &gys, &gzs, &gxm, &gym, &gzm), "DMDAGetGhostCorners");
    strideY_ = 3 * gxm;
    strideZ_ = 3 * gxm * gym;
    const std::vector<float>& factors = model_.stiffnessFactors();
    elements_.clear();
    // The elements whose lower corner node this rank owns (the last node of a direction has
    // none): every element exactly once over all ranks.
    for (PetscInt k = zs; k < std::min(zs + zm, P - 1); ++k)
        for (PetscInt j = ys; j < std::min(ys + ym, N - 1); ++j)
            for (PetscInt i = xs; i < std::min(xs + xm, M - 1); ++i) {
                const int e = model_.elementAt(0, {int(i), int(j), int(k)});
                if (e < 0) continue;
                uint8_t fixed = 0;
                for (int n = 0; n < 8; ++n) {
                    const int v = model_.vertexAt(
                        0, {int(i) + (n & 1), int(j) + (n >> 1 & 1), int(k) + (n >> 2)});
                    if (v >= 0 && model_.isFixed(v)) fixed = uint8_t(fixed | 1u << n);
                }
                const PetscInt base = ((k - gzs) * gym + (j - gys)) * gxm + (i - gxs);
                elements_.push_back({3 * base, factors[size_t(e)], fixed});
            }
    shape_.ownedElements = (long long)elements_.size();
    // The identity rows' scale: the largest diagonal entry of any element, so that they sit
    // within the operator's spectrum (a 1 beside entries of 1e15 spoils the smoothers'
    // eigenvalue estimates). Their right-hand side is 0, so the solution does not change.
    double largest = 0;
    const std::array<double, 576>& Ke = model_.Ke();
    double keDiagonal = 0;
    for (int r = 0; r < 24; ++r) keDiagonal = std::max(keDiagonal, Ke[size_t(r * 25)]);
    for (const OwnedElement& el : elements_) largest = std::max(largest, double(el.factor));
    largest *= keDiagonal;
    petscCheck(MPI_Allreduce(&largest, &identityScale_, 1, MPI_DOUBLE, MPI_MAX, comm_),
               "MPI_Allreduce");
    if (!(identityScale_ > 0)) identityScale_ = 1.0;
}

void PetscElasticSolver::addElementProducts(const PetscScalar* in, PetscScalar* out) const {
    // Ke's columns as rows: row r of Ke u is summed over the columns in order, as a dot
    // product of Ke's row would, but every step updates all 24 rows at once, which the
    // compiler vectorizes (the rows are independent; no sum is reordered).
    const std::array<double, 576>& Ke = model_.Ke();
    alignas(64) double columns[576];
    for (int r = 0; r < 24; ++r)
        for (int c = 0; c < 24; ++c) columns[c * 24 + r] = Ke[size_t(r * 24 + c)];
    PetscInt corner[8];
    for (int n = 0; n < 8; ++n)
        corner[n] = 3 * (n & 1) + (n >> 1 & 1) * strideY_ + (n >> 2) * strideZ_;
    addProducts(elements_, columns, corner, in, out);
}

void PetscElasticSolver::addProducts(const std::vector<OwnedElement>& elements,
                                     const double* columns, const PetscInt* corner,
                                     const PetscScalar* in, PetscScalar* out) {
    for (const OwnedElement& el : elements) {
        double ue[24];
        alignas(64) double re[24] = {};
        for (int n = 0; n < 8; ++n) {
            const PetscScalar* u = in + el.base + corner[n];
            const bool fixed = el.fixedCorners >> n & 1;
            for (int c = 0; c < 3; ++c) ue[3 * n + c] = fixed ? 0.0 : u[c];
        }
        for (int c = 0; c < 24; ++c) {
            const double* column = columns + c * 24;
            const double v = ue[c];
            for (int r = 0; r < 24; ++r) re[r] += column[r] * v;
        }
        const double f = el.factor;
        for (int n = 0; n < 8; ++n) {
            if (el.fixedCorners >> n & 1) continue;
            PetscScalar* o = out + el.base + corner[n];
            for (int c = 0; c < 3; ++c) o[c] += f * re[3 * n + c];
        }
    }
}

void PetscElasticSolver::applyFine(Vec x, Vec y) const {
    petscCheck(DMGlobalToLocal(da_[0], x, INSERT_VALUES, localIn_), "DMGlobalToLocal");
    petscCheck(VecSet(localOut_, 0.0), "VecSet");
    {
        const ReadValues in(localIn_);
        const WriteValues out(localOut_);
        addElementProducts(in.data(), out.data());
    }
    petscCheck(VecSet(y, 0.0), "VecSet");
    petscCheck(DMLocalToGlobal(da_[0], localOut_, ADD_VALUES, y), "DMLocalToGlobal");
    // Identity rows: fixed dofs and dofs that no element touches.
    PetscInt n = 0;
    petscCheck(VecGetLocalSize(y, &n), "VecGetLocalSize");
    const ReadValues xa(x), mask(active_[0]);
    const WriteValues ya(y);
    for (PetscInt i = 0; i < n; ++i)
        if (mask[i] == 0) ya[i] = identityScale_ * xa[i];
}

void PetscElasticSolver::fineDiagonal(Vec d) const {
    petscCheck(VecSet(localOut_, 0.0), "VecSet");
    {
        const WriteValues out(localOut_);
        const std::array<double, 576>& Ke = model_.Ke();
        for (const OwnedElement& el : elements_)
            for (int n = 0; n < 8; ++n) {
                if (el.fixedCorners >> n & 1) continue;
                PetscScalar* o = out.data() + el.base + 3 * (n & 1) + (n >> 1 & 1) * strideY_ +
                                 (n >> 2) * strideZ_;
                for (int c = 0; c < 3; ++c)
                    o[c] += double(el.factor) * Ke[size_t((3 * n + c) * 25)];
            }
    }
    petscCheck(VecSet(d, 0.0), "VecSet");
    petscCheck(DMLocalToGlobal(da_[0], localOut_, ADD_VALUES, d), "DMLocalToGlobal");
    PetscInt n = 0;
    petscCheck(VecGetLocalSize(d, &n), "VecGetLocalSize");
    const ReadValues mask(active_[0]);
    const WriteValues da(d);
    for (PetscInt i = 0; i < n; ++i)
        if (mask[i] == 0) da[i] = identityScale_;
}

template <auto Apply, class... Vecs>
PetscErrorCode PetscElasticSolver::shellCall(Mat A, Vecs... v) {
    PetscElasticSolver* self = nullptr;
    PetscCall(MatShellGetContext(A, &self));
    try {
        (self->*Apply)(v...);
    } catch (const std::exception&) {
        return PETSC_ERR_LIB;
    }
    return 0;
}

OwnedMat PetscElasticSolver::fineInterpolation() {
    PetscInt fineLocal = 0, fineGlobal = 0, coarseGlobal = 0;
    petscCheck(VecGetLocalSize(load_, &fineLocal), "VecGetLocalSize");
    petscCheck(VecGetSize(load_, &fineGlobal), "VecGetSize");
    PetscInt xm, ym, zm, M, N, P;
    petscCheck(DMDAGetCorners(da_[1], nullptr, nullptr, nullptr, &xm, &ym, &zm),
               "DMDAGetCorners");
    petscCheck(DMDAGetInfo(da_[1], nullptr, &M, &N, &P, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr),
               "DMDAGetInfo");
    coarseGlobal = 3 * M * N * P;
    OwnedMat interpolation;
    petscCheck(MatCreateShell(comm_, fineLocal, 3 * xm * ym * zm, fineGlobal, coarseGlobal, this,
                              interpolation.replace()),
               "MatCreateShell");
    using Operation = void (*)(void);
    const std::array<std::pair<MatOperation, Operation>, 4> operations{{
        {MATOP_MULT, Operation(shellCall<&PetscElasticSolver::interpolateFine, Vec, Vec>)},
        {MATOP_MULT_ADD,
         Operation(shellCall<&PetscElasticSolver::interpolateFineAdd, Vec, Vec, Vec>)},
        {MATOP_MULT_TRANSPOSE, Operation(shellCall<&PetscElasticSolver::restrictFine, Vec, Vec>)},
        {MATOP_MULT_TRANSPOSE_ADD,
         Operation(shellCall<&PetscElasticSolver::restrictFineAdd, Vec, Vec, Vec>)},
    }};
    for (const auto& [op, f] : operations)
        petscCheck(MatShellSetOperation(interpolation, op, f), "MatShellSetOperation");
    return interpolation;
}

void PetscElasticSolver::interpolateOrRestrict(Vec fine, Vec coarse, bool toFine,
                                               bool add) const {
    PetscInt xs, ys, zs, xm, ym, zm, cx, cy, cz, cxm, cym;
    petscCheck(DMDAGetCorners(da_[0], &xs, &ys, &zs, &xm, &ym, &zm), "DMDAGetCorners");
    petscCheck(DMDAGetGhostCorners(da_[1], &cx, &cy, &cz, &cxm, &cym, nullptr),
               "DMDAGetGhostCorners");
    if (toFine) {
        petscCheck(DMGlobalToLocal(da_[1], coarse, INSERT_VALUES, coarseLocal_),
                   "DMGlobalToLocal");
    } else {
        petscCheck(VecSet(coarseLocal_, 0.0), "VecSet");
    }
    {
        const ReadValues mask(active_[0]);
        const WriteValues f(fine), c(coarseLocal_);
        // Fine node i of a direction sits at coarse node i/2, or halfway between i/2 and
        // i/2 + 1 when i is odd (the ghost layer holds both): its value is the mean of its
        // 1, 2, 4 or 8 coarse neighbours.
        PetscInt node = 0;  // dof 0 of the fine node in this rank's part
        for (PetscInt k = zs; k < zs + zm; ++k)
            for (PetscInt j = ys; j < ys + ym; ++j)
                for (PetscInt i = xs; i < xs + xm; ++i, node += 3) {
                    PetscInt corner[8];
                    int count = 0;
                    for (PetscInt z = k / 2; z <= (k + 1) / 2; ++z)
                        for (PetscInt y = j / 2; y <= (j + 1) / 2; ++y)
                            for (PetscInt x = i / 2; x <= (i + 1) / 2; ++x)
                                corner[count++] =
                                    3 * (((z - cz) * cym + (y - cy)) * cxm + (x - cx));
                    const double weight = 1.0 / count;
                    for (PetscInt a = 0; a < 3; ++a) {
                        if (mask[node + a] == 0) {
                            if (toFine && !add) f[node + a] = 0.0;
                            continue;
                        }
                        if (toFine) {
                            double sum = 0;
                            for (int n = 0; n < count; ++n) sum += c[corner[n] + a];
                            f[node + a] = (add ? f[node + a] : 0.0) + weight * sum;
                        } else {
                            const double share = weight * f[node + a];
                            for (int n = 0; n < count; ++n) c[corner[n] + a] += share;
                        }
                    }
                }
    }
    if (toFine) return;
    if (!add) petscCheck(VecSet(coarse, 0.0), "VecSet");
    petscCheck(DMLocalToGlobal(da_[1], coarseLocal_, ADD_VALUES, coarse), "DMLocalToGlobal");
}

void PetscElasticSolver::interpolateFine(Vec x, Vec y) const {
    interpolateOrRestrict(y, x, true, false);
}

void PetscElasticSolver::interpolateFineAdd(Vec x, Vec w, Vec y) const {
    if (w != y) petscCheck(VecCopy(w, y), "VecCopy");
    interpolateOrRestrict(y, x, true, true);
}

void PetscElasticSolver::restrictFine(Vec x, Vec y) const {
    interpolateOrRestrict(x, y, false, false);
}

void PetscElasticSolver::restrictFineAdd(Vec x, Vec w, Vec y) const {
    if (w != y) petscCheck(VecCopy(w, y), "VecCopy");
    interpolateOrRestrict(x, y, false, true);
}

void PetscElasticSolver::buildLoad(std::span<const float> f, bool mask) {
    // The whole load (fixed vertices' loads included, for the compliance) and the right-hand
    // side without the identity rows' entries.
    const int nV = model_.numVertices(0);
    DM da = da_[0];
    OwnedVec fresh;  // the mask, adopted below unless it equals the kept one
    if (mask) {
        petscCheck(VecDuplicate(load_, fresh.replace()), "VecDuplicate");
        fillBoxNodes(model_, da, fresh, [this](int v, int) {
            return v >= 0 && !model_.isFixed(v) ? 1.0 : 0.0;
        });
    }
    fillBoxNodes(model_, da, load_, [&f, nV](int v, int c) {
        return v >= 0 ? double(f[size_t(c * nV + v)]) : 0.0;
    });
    if (mask) adoptMask(0, std::move(fresh));
    petscCheck(VecPointwiseMult(rhs_, load_, active_[0]), "VecPointwiseMult");
}

void PetscElasticSolver::formCoarseElementLayer(int level, PetscInt K, const ElementBox& box,
                                                const std::array<std::array<double, 576>, 8>& free,
                                                std::array<double, 576>* matrices,
                                                uint8_t* present) const {
    // Above level 1 the children are the level above's elements of the box twice as wide, in
    // layers 2K and 2K + 1 (the grids halve exactly, so they exist); none has fixed vertices
    // of its own (those are left out of the finest level's children already).
    const ElementBox children{2 * box.x0, 2 * box.x1, 2 * box.y0, 2 * box.y1};
    const size_t width = size_t(children.x1 - children.x0);
    const size_t perLayer = level > 1 ? width * size_t(children.y1 - children.y0) : 0;
    std::vector<std::array<double, 576>> childMatrices(2 * perLayer);
    std::vector<uint8_t> childPresent(2 * perLayer);
    if (level > 1)
        for (PetscInt z = 0; z < 2; ++z)
            formCoarseElementLayer(level - 1, 2 * K + z, children, free,
                                   &childMatrices[size_t(z) * perLayer],
                                   &childPresent[size_t(z) * perLayer]);
    const std::array<double, 576>& Ke = model_.Ke();
    const std::vector<float>& factors = model_.stiffnessFactors();
    // Kc += the Galerkin matrix of the child at `child` of element (I, J); false if absent.
    const auto addChild = [&](PetscInt I, PetscInt J, int child, std::array<double, 576>& Kc) {
        if (level > 1) {
            const size_t c = size_t(child >> 2) * perLayer +
                             size_t(2 * (J - box.y0) + (child >> 1 & 1)) * width +
                             size_t(2 * (I - box.x0) + (child & 1));
            if (!childPresent[c]) return false;
            addChildMatrix(childMatrices[c], child, 0, 1.0, Kc);
            return true;
        }
        const int x = int(2 * I) + (child & 1), y = int(2 * J) + (child >> 1 & 1),
                  z = int(2 * K) + (child >> 2);
        const int e = model_.elementAt(0, {x, y, z});
        if (e < 0) return false;
        unsigned fixed = 0;
        for (int n = 0; n < 8; ++n) {
            const int v = model_.vertexAt(0, {x + (n & 1), y + (n >> 1 & 1), z + (n >> 2)});
            if (v >= 0 && model_.isFixed(v)) fixed |= 1u << n;
        }
        const double f = factors[size_t(e)];
        if (fixed == 0) {
            const std::array<double, 576>& G = free[size_t(child)];
            for (size_t q = 0; q < 576; ++q) Kc[q] += f * G[q];
        } else {
            addChildMatrix(Ke, child, fixed, f, Kc);
        }
        return true;
    };
    size_t slot = 0;
    for (PetscInt J = box.y0; J < box.y1; ++J)
        for (PetscInt I = box.x0; I < box.x1; ++I, ++slot) {
            matrices[slot].fill(0.0);
            present[slot] = 0;
            for (int child = 0; child < 8; ++child)
                if (addChild(I, J, child, matrices[slot])) present[slot] = 1;
        }
}

void PetscElasticSolver::assembleFromElements(int level) {
    DM da = da_[size_t(level)];
    OwnedMat& A = op_[size_t(level)];
    if (!A) {
        petscCheck(DMCreateMatrix(da, A.replace()), "DMCreateMatrix");
        // Each rank sets its own rows alone: the assembly sends nothing. A matrix that keeps
        // its upper triangle drops the blocks left of the diagonal of every row set below.
        petscCheck(MatSetOption(A, MAT_NO_OFF_PROC_ENTRIES, PETSC_TRUE), "MatSetOption");
        if (isUpperTriangle(A))
            petscCheck(MatSetOption(A, MAT_IGNORE_LOWER_TRIANGULAR, PETSC_TRUE), "MatSetOption");
    } else {
        petscCheck(MatZeroEntries(A), "MatZeroEntries");
    }
    // W^T Ke W of each child position without fixed nodes: most children use these.
    std::array<std::array<double, 576>, 8> free{};
    for (int child = 0; child < 8; ++child)
        addChildMatrix(model_.Ke(), child, 0, 1.0, free[size_t(child)]);
    PetscInt xs, ys, zs, xm, ym, zm, M, N, P;
    petscCheck(DMDAGetInfo(da, nullptr, &M, &N, &P, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr),
               "DMDAGetInfo");
    petscCheck(DMDAGetCorners(da, &xs, &ys, &zs, &xm, &ym, &zm), "DMDAGetCorners");
    // Row by row: every node's 3 rows sum the blocks of the (up to 8) coarse elements around it,
    // each formed once from the model's children. The elements around this rank's nodes, two
    // layers at a time (those below and above a layer of nodes, by the layer's parity).
    const ElementBox box{std::max<PetscInt>(xs - 1, 0), std::min(xs + xm, M - 1),
                         std::max<PetscInt>(ys - 1, 0), std::min(ys + ym, N - 1)};
    const size_t perLayer = size_t(std::max<PetscInt>(box.x1 - box.x0, 0)) *
                            size_t(std::max<PetscInt>(box.y1 - box.y0, 0));
    std::vector<std::array<double, 576>> matrices(2 * perLayer);
    std::vector<uint8_t> present(2 * perLayer);
    const auto layerOf = [&](PetscInt K) { return size_t(K & 1) * perLayer; };
    const PetscInt lastElementLayer = std::min(zs + zm, P - 1);  // exclusive
    if (zs > 0)
        formCoarseElementLayer(level, zs - 1, box, free, &matrices[layerOf(zs - 1)],
                               &present[layerOf(zs - 1)]);
    std::array<double, 3 * 81> values;
    std::array<MatStencil, 27> columns;
    std::array<double, 3 * 81> compact;
    for (PetscInt K = zs; K < zs + zm; ++K) {
        if (K < lastElementLayer)
            formCoarseElementLayer(level, K, box, free, &matrices[layerOf(K)],
                                   &present[layerOf(K)]);
        for (PetscInt J = ys; J < ys + ym; ++J)
            for (PetscInt I = xs; I < xs + xm; ++I) {
                values.fill(0.0);
                uint32_t used = 0;  // bit s: neighbour slot s = 9 (dk+1) + 3 (dj+1) + (di+1)
                for (int corner = 0; corner < 8; ++corner) {
                    const int ex = corner & 1, ey = corner >> 1 & 1, ez = corner >> 2;
                    const PetscInt EI = I - 1 + ex, EJ = J - 1 + ey, EK = K - 1 + ez;
                    if (EI < box.x0 || EI >= box.x1 || EJ < box.y0 || EJ >= box.y1 || EK < 0 ||
                        EK >= P - 1)
                        continue;
                    const size_t slot =
                        layerOf(EK) + size_t(EJ - box.y0) * size_t(box.x1 - box.x0) +
                        size_t(EI - box.x0);
                    if (!present[slot]) continue;
                    const double* Kc = matrices[slot].data();
                    const int n = (1 - ex) | (1 - ey) << 1 | (1 - ez) << 2;  // the node's corner
                    for (int m = 0; m < 8; ++m) {
                        const int s = 9 * (ez + (m >> 2)) + 3 * (ey + (m >> 1 & 1)) + (ex + (m & 1));
                        used |= 1u << s;
                        for (int a = 0; a < 3; ++a)
                            for (int b = 0; b < 3; ++b)
                                values[size_t(81 * a + 3 * s + b)] +=
                                    Kc[(3 * n + a) * 24 + 3 * m + b];
                    }
                }
                if (!used) continue;
                // The used neighbours in slot order, which is the grid's order.
                int count = 0;
                for (int s = 0; s < 27; ++s)
                    if (used >> s & 1)
                        columns[size_t(count++)] = {K - 1 + s / 9, J - 1 + s / 3 % 3,
                                                    I - 1 + s % 3, 0};
                for (int a = 0, c = 0; a < 3; ++a)
                    for (int s = 0; s < 27; ++s)
                        if (used >> s & 1)
                            for (int b = 0; b < 3; ++b)
                                compact[size_t(c++)] = values[size_t(81 * a + 3 * s + b)];
                const MatStencil row{K, J, I, 0};
                petscCheck(MatSetValuesBlockedStencil(A, 1, &row, count, columns.data(),
                                                      compact.data(), INSERT_VALUES),
                           "MatSetValuesBlockedStencil");
            }
    }
    petscCheck(MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY), "MatAssemblyBegin");
    petscCheck(MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY), "MatAssemblyEnd");
}

double PetscElasticSolver::galerkinDeviation(int level) const {
    if (level < 1 || size_t(level) >= op_.size() || !op_[size_t(level)])
        throw std::invalid_argument("galerkinDeviation: no assembled level " +
                                    std::to_string(level));
    const Mat A = op_[size_t(level)], P = interp_[size_t(level - 1)];
    OwnedVec x, direct, galerkin, fine, fineProduct;
    petscCheck(MatCreateVecs(A, x.replace(), direct.replace()), "MatCreateVecs");
    petscCheck(VecDuplicate(direct, galerkin.replace()), "VecDuplicate");
    petscCheck(MatCreateVecs(level == 1 ? Mat(shell_) : Mat(op_[size_t(level - 1)]),
                             fine.replace(), fineProduct.replace()),
               "MatCreateVecs");
    {
        OwnedRandom random;
        petscCheck(PetscRandomCreate(comm_, random.replace()), "PetscRandomCreate");
        petscCheck(PetscRandomSetSeed(random, 17), "PetscRandomSetSeed");
        petscCheck(PetscRandomSeed(random), "PetscRandomSeed");
        petscCheck(VecSetRandom(x, random), "VecSetRandom");
    }
    petscCheck(MatMult(A, x, direct), "MatMult");
    petscCheck(MatMult(P, x, fine), "MatMult");
    if (level == 1)
        applyFine(fine, fineProduct);
    else
        petscCheck(MatMult(op_[size_t(level - 1)], fine, fineProduct), "MatMult");
    petscCheck(MatMultTranspose(P, fineProduct, galerkin), "MatMultTranspose");
    // Only the active dofs: the empty rows hold the identity, which no product gives.
    petscCheck(VecPointwiseMult(direct, direct, active_[size_t(level)]), "VecPointwiseMult");
    petscCheck(VecPointwiseMult(galerkin, galerkin, active_[size_t(level)]), "VecPointwiseMult");
    PetscReal scale = 0, deviation = 0;
    petscCheck(VecNorm(direct, NORM_INFINITY, &scale), "VecNorm");
    petscCheck(VecAXPY(galerkin, -1.0, direct), "VecAXPY");
    petscCheck(VecNorm(galerkin, NORM_INFINITY, &deviation), "VecNorm");
    return scale > 0 ? deviation / scale : deviation;
}

void PetscElasticSolver::adoptMask(int level, OwnedVec mask) {
    OwnedVec& kept = active_[size_t(level)];
    PetscBool same = PETSC_FALSE;
    if (kept) petscCheck(VecEqual(kept, mask, &same), "VecEqual");
    if (same) return;
    kept = std::move(mask);
    maskChanged_[size_t(level)] = true;
}

void PetscElasticSolver::buildCoarseLevels() {
    // For every level: the masked interpolation from it to the level above, its operator
    // (levels 1 to kElementLevels from the elements, the rest P^T A P), its active dofs (a
    // nonzero row) and the identity on its empty rows. What depends only on the masks (the
    // interpolations and the products' structure) is kept while the masks stay as they were,
    // as they do through an optimization: only the values are formed anew.
    const int levels = int(da_.size());
    bool newStructure = false;  // the level above has a new sparsity pattern
    for (int l = 1; l < levels; ++l) {
        DM fine = da_[size_t(l - 1)], coarse = da_[size_t(l)];
        OwnedMat& P = interp_[size_t(l - 1)];
        if (l == 1) {
            // The shell reads level 0's mask when it is applied.
            if (!P) P = fineInterpolation();
        } else if (!P || maskChanged_[size_t(l - 1)]) {
            P = maskedInterpolation(coarse, fine, active_[size_t(l - 1)]);
            if (l > kElementLevels) {
                // The Galerkin product below wants every component spelled out (PETSc would
                // convert it itself for the product).
                OwnedMat spelled;
                petscCheck(MatConvert(P, MATAIJ, MAT_INITIAL_MATRIX, spelled.replace()),
                           "MatConvert");
                P = std::move(spelled);
            }
            newStructure = true;
        }
        OwnedMat& A = op_[size_t(l)];
        if (l <= kElementLevels) {
            assembleFromElements(l);
        } else if (A && !newStructure) {
            petscCheck(MatPtAP(op_[size_t(l - 1)], P, MAT_REUSE_MATRIX, 2.0, A.reuse()), "MatPtAP");
        } else {
            petscCheck(MatPtAP(op_[size_t(l - 1)], P, MAT_INITIAL_MATRIX, 2.0, A.replace()),
                       "MatPtAP");
            newStructure = true;
        }
        OwnedVec d, mask;
        petscCheck(MatCreateVecs(A, d.replace(), nullptr), "MatCreateVecs");
        petscCheck(MatGetDiagonal(A, d), "MatGetDiagonal");
        petscCheck(VecDuplicate(d, mask.replace()), "VecDuplicate");
        nonzeroMask(d, mask);
        adoptMask(l, std::move(mask));
        // d = s (1 - active): the identity of the empty rows, scaled to the level's largest
        // diagonal entry as on level 0. (Every diagonal entry is part of the pattern: each
        // coarse node has a fine node at its place.)
        PetscReal scale = 0;
        petscCheck(VecMax(d, nullptr, &scale), "VecMax");
        if (!(scale > 0)) scale = 1.0;
        petscCheck(VecSet(d, scale), "VecSet");
        petscCheck(VecAXPY(d, -scale, active_[size_t(l)]), "VecAXPY");
        petscCheck(MatDiagonalSet(A, d, ADD_VALUES), "MatDiagonalSet");
        petscCheck(MatSetOption(A, MAT_SYMMETRIC, PETSC_TRUE), "MatSetOption");
        // PETSc's block matrices take no positive-definite flag; the smoothers' estimates are
        // CG's all the same (configureSolver).
        if (!typeIsOneOf(A, MATSEQBAIJ, MATMPIBAIJ, MATSEQSBAIJ, MATMPISBAIJ))
            petscCheck(MatSetOption(A, MAT_SPD, PETSC_TRUE), "MatSetOption");
    }
}

void PetscElasticSolver::prepareSolve() {
    // A solver set up for other factors keeps what it derived from them (PCMG's level
    // smoothers and their Jacobi diagonals and Chebyshev estimates): reused for a design of
    // other densities its V-cycle is no longer symmetric positive definite and CG breaks down
    // (measured: 1000 iterations without converging, then an indefinite preconditioner, from
    // the third design of a cantilever on). A new one is set up from the options every time.
    // The old one goes first: its levels refer to the operators formed anew below.
    ksp_.reset();
    const size_t levels = da_.size();
    if (op_.empty()) {
        op_.resize(levels);
        interp_.resize(levels - 1);
        active_.resize(levels);
    }
    maskChanged_.assign(levels, false);
    collectElements();
    buildLoad(loadVector(model_, model_.forces()), true);
    buildCoarseLevels();
    setUpSolver();
}

void PetscElasticSolver::setUpSolver() {
    ksp_.reset();
    configureSolver(tolerance_);
    const int levels = int(da_.size());
    petscCheck(KSPSetOperators(ksp_, shell_, shell_), "KSPSetOperators");
    PC pc = nullptr;
    PetscBool mg = PETSC_FALSE;
    petscCheck(KSPGetPC(ksp_, &pc), "KSPGetPC");
    petscCheck(PetscObjectTypeCompare((PetscObject)pc, PCMG, &mg), "PetscObjectTypeCompare");
    if (!mg) return;
    PetscInt pcLevels = 0;
    petscCheck(PCMGGetLevels(pc, &pcLevels), "PCMGGetLevels");
    if (pcLevels != levels)
        throw PetscFailure("PETSc: the multigrid has " + std::to_string(pcLevels) +
                           " levels; this model and rank count allow " + std::to_string(levels));
    // PCMG numbers its levels from the coarsest (0) to the finest (levels - 1).
    for (int l = 0; l < levels; ++l) {
        const int p = levels - 1 - l;
        KSP smoother = nullptr;
        petscCheck(PCMGGetSmoother(pc, p, &smoother), "PCMGGetSmoother");
        Mat A = l == 0 ? shell_ : op_[size_t(l)];
        petscCheck(KSPSetOperators(smoother, A, A), "KSPSetOperators");
        if (l + 1 < levels)
            petscCheck(PCMGSetInterpolation(pc, p, interp_[size_t(l)]), "PCMGSetInterpolation");
    }
}

PetscSolveResult PetscElasticSolver::solve() {
    PetscSolveResult result;
    petscCheck(KSPSolve(ksp_, rhs_, u_), "KSPSolve");
    KSPConvergedReason reason;
    PetscInt its = 0;
    PetscReal rnorm = 0, bnorm = 0;
    petscCheck(KSPGetConvergedReason(ksp_, &reason), "KSPGetConvergedReason");
    petscCheck(KSPGetIterationNumber(ksp_, &its), "KSPGetIterationNumber");
    if (reason == KSP_DIVERGED_INDEFINITE_PC && !cautious_) {
        // A smoother's eigenvalue estimate fell short for this design: the solver is set up
        // again with the cautious smoothing, kept from now on, and goes on from CG's last
        // iterate (breakdown leaves it as good as it was).
        smoothCautiously();
        setUpSolver();
        const PetscInt before = its;
        petscCheck(KSPSolve(ksp_, rhs_, u_), "KSPSolve");
        petscCheck(KSPGetConvergedReason(ksp_, &reason), "KSPGetConvergedReason");
        petscCheck(KSPGetIterationNumber(ksp_, &its), "KSPGetIterationNumber");
        its += before;
    }
    petscCheck(KSPGetResidualNorm(ksp_, &rnorm), "KSPGetResidualNorm");
    petscCheck(VecNorm(rhs_, NORM_2, &bnorm), "VecNorm");
    result.converged = reason > 0;
    result.iterations = int(its);
    result.relativeResidual = bnorm > 0 ? double(rnorm / bnorm) : 0.0;
    PetscScalar c = 0;
    petscCheck(VecDot(load_, u_, &c), "VecDot");
    result.compliance = double(c);
    return result;
}

PetscSolveResult PetscElasticSolver::solveFrom(std::span<const float> load,
                                               std::span<double> u) {
    const size_t n = 3 * size_t(model_.numVertices(0));
    if (load.size() != n || u.size() != n)
        throw std::invalid_argument("solveFrom: " + std::to_string(load.size()) + " loads and " +
                                    std::to_string(u.size()) + " displacements for " +
                                    std::to_string(model_.numVertices(0)) + " vertices");
    buildLoad(load, false);
    fillFromModel(u, u_);
    const PetscSolveResult result = solve();
    gatherToModel(u_, u);  // the same bits on every rank
    return result;
}

std::vector<double> PetscElasticSolver::gatherDisplacement() const {
    std::vector<double> u(3 * size_t(model_.numVertices(0)));
    gatherToModel(u_, u);
    return u;
}

void PetscElasticSolver::fillFromModel(std::span<const double> values, Vec v) const {
    const int nV = model_.numVertices(0);
    fillBoxNodes(model_, da_[0], v, [&values, nV](int w, int c) {
        return w >= 0 ? values[size_t(c * nV + w)] : 0.0;
    });
}

std::vector<double> PetscElasticSolver::applyOperator(const std::vector<double>& u) const {
    if (u.size() != 3 * size_t(model_.numVertices(0)))
        throw std::invalid_argument("applyOperator: " + std::to_string(u.size()) +
                                    " values for " + std::to_string(model_.numVertices(0)) +
                                    " vertices");
    OwnedVec x, y;
    petscCheck(VecDuplicate(load_, x.replace()), "VecDuplicate");
    petscCheck(VecDuplicate(load_, y.replace()), "VecDuplicate");
    fillFromModel(u, x);
    applyFine(x, y);
    std::vector<double> result(u.size());
    gatherToModel(y, result);
    return result;
}

void PetscElasticSolver::gatherToModel(Vec v, std::span<double> u) const {
    // A rank's part of a DMDA vector is its box of grid nodes, x fastest, three components a
    // node. Each rank in turn broadcasts its box, and every rank places the values of the box's
    // nodes that hold a model vertex: one box's values in flight at a time, not every rank's.
    // Ranks are numbered x fastest over the processor grid.
    const int nV = model_.numVertices(0);
    if (u.size() != 3 * size_t(nV))
        throw std::invalid_argument("gatherToModel: " + std::to_string(u.size()) +
                                    " values for " + std::to_string(nV) + " vertices");
    DM da = da_[0];
    PetscInt procs[3];
    const PetscInt* ranges[3];
    petscCheck(DMDAGetInfo(da, nullptr, nullptr, nullptr, nullptr, &procs[0], &procs[1], &procs[2],
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
               "DMDAGetInfo");
    petscCheck(DMDAGetOwnershipRanges(da, &ranges[0], &ranges[1], &ranges[2]),
               "DMDAGetOwnershipRanges");
    // The boxes are the processor grid's products of ranges: the largest is that of the largest
    // range in each direction.
    PetscInt largest = 3;
    for (int a = 0; a < 3; ++a) largest *= *std::max_element(ranges[a], ranges[a] + procs[a]);
    // A box goes in broadcasts of at most 2^27 values (1 GiB), which an int counts.
    constexpr size_t kBroadcastValues = size_t(1) << 27;
    int self = 0;
    petscCheck(MPI_Comm_rank(comm_, &self), "MPI_Comm_rank");
    std::vector<double> box(static_cast<size_t>(largest));
    PetscInt z0 = 0;
    for (PetscInt k = 0, r = 0; k < procs[2]; z0 += ranges[2][k], ++k) {
        PetscInt y0 = 0;
        for (PetscInt j = 0; j < procs[1]; y0 += ranges[1][j], ++j) {
            PetscInt x0 = 0;
            for (PetscInt i = 0; i < procs[0]; x0 += ranges[0][i], ++i, ++r) {
                const PetscInt nx = ranges[0][i], ny = ranges[1][j], nz = ranges[2][k];
                const size_t count = 3 * size_t(nx * ny * nz);
                if (r == self) {
                    const ReadValues own(v);
                    std::copy(own.data(), own.data() + count, box.begin());
                }
                for (size_t at = 0; at < count; at += kBroadcastValues) {
                    const int values = int(std::min(kBroadcastValues, count - at));
                    petscCheck(MPI_Bcast(box.data() + at, values, MPI_DOUBLE, int(r), comm_),
                               "MPI_Bcast (the displacement)");
                }
                size_t node = 0;
                for (PetscInt z = z0; z < z0 + nz; ++z)
                    for (PetscInt y = y0; y < y0 + ny; ++y)
                        for (PetscInt x = x0; x < x0 + nx; ++x, ++node) {
                            const int w = model_.vertexAt(0, {int(x), int(y), int(z)});
                            if (w < 0) continue;
                            for (int c = 0; c < 3; ++c)
                                u[size_t(c * nV + w)] = box[3 * node + size_t(c)];
                        }
            }
        }
    }
}

}  // namespace ostrel
