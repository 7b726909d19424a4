#pragma once
// The many-process linear-elastic solve of a FemModel's level 0 on PETSc.
//
// The unknowns live on a node DMDA (3 dof per node, box stencil of width 1) over the model's
// level-0 point grid, padded so that it halves exactly down to the model's coarsest level
// (elementDims(L-1) * 2^(L-1) elements per direction). Each rank owns the elements whose lower
// corner node it owns, so every element is applied exactly once: the fine operator is a shell
// (MatMult and MatGetDiagonal) that sums factor * Ke * u over the rank's elements on the
// DMDA's ghosted local vectors and adds them back into the global vector (ADD_VALUES). As in the
// single-process model (fem/FemModel.h, the kernels' finest rows), a fixed vertex is an
// identity row with a zero right-hand side whose column is left out of its neighbours' rows,
// and a grid point that no element touches (absent elements, the padding) is an identity row
// with a zero load; so the compliance f . u equals the single-process solver's. (The identity
// rows are scaled to the largest element diagonal entry, which leaves the solution as it is
// and keeps them inside the operator's spectrum.)
//
// Solver: conjugate gradients (KSPCG, unpreconditioned residual norm, nonzero initial guess:
// each solve starts from the last one's displacement) preconditioned by PCMG V-cycles. Levels 1
// and 2 are assembled element by element: each coarse element sums its eight children's
// factor * Ke, without the rows and columns of fixed vertices, through the trilinear
// interpolation; coarser levels are MatPtAP products. The interpolations are trilinear with
// the rows of inactive fine dofs (fixed, untouched, or with an empty row) zeroed: from level 1
// to level 0 a shell that interpolates on the grids (a matrix would hold eight entries for
// every fine node), below the DMDA's (MAIJ, converted to AIJ for the products). An empty row
// of a coarse operator becomes an identity row. A new design changes
// only the operators' values: the interpolations, level 1's matrix and the products'
// structure stay from one prepareSolve to the next while the active dofs do. Levels: Chebyshev
// smoothing with Jacobi; the coarsest level a redundant direct solve (Cholesky by CHOLMOD).
// A solve that breaks down on an indefinite V-cycle (a smoother's estimate of the largest
// eigenvalue fell short) is set up again with wider smoothing intervals and longer estimates,
// kept for the rest of the solver's life, and continued from CG's last iterate.
// Where the DMDA cannot be halved on this many ranks the hierarchy stops at the last level
// that can (a larger coarsest level); with no coarser level at all the preconditioner is
// Jacobi. Every default is set before KSPSetFromOptions and as option defaults, so PETSc's
// options (command line, PETSC_OPTIONS) override each one.
//
// In this version every rank holds the whole model (the same voxelization on every rank) and
// reads its own box of it. Collective on `comm`: every rank constructs, prepares and solves
// together. A failed PETSc call throws PetscFailure (optimization/petsc/PetscSession.h).

#include <petscdmda.h>
#include <petscksp.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "optimization/petsc/PetscOwned.h"

namespace ostrel {

class FemModel;

/// What one solve did; the same on every rank.
struct PetscSolveResult {
    bool converged = false;       ///< the relative residual reached the tolerance
    int iterations = 0;           ///< Krylov iterations
    double relativeResidual = 0;  ///< ||f - K u|| / ||f|| (fixed dofs' loads left out of f)
    double compliance = 0;        ///< f . u with the model's whole load (rank-independent up to rounding)
};

/// Whether a coarse node grid split over ranks as `coarse` (nodes per rank along one
/// direction) serves the fine grid split as `fine` (one more than twice as many nodes, the
/// same ranks): every coarse node that a rank's fine nodes interpolate from (fine node i uses
/// coarse i/2, and i/2 + 1 when i is odd) is the rank's own or in its ghost layer of width 1.
bool interpolatesWithinGhosts(const std::vector<PetscInt>& fine,
                              const std::vector<PetscInt>& coarse);

/// How the engine's defaults solve the coarsest level (PETSc's options may replace it).
enum class CoarseSolve {
    None,       ///< one level: Jacobi alone
    Redundant,  ///< every rank factors the whole coarsest matrix (CHOLMOD's Cholesky)
    Mumps,      ///< the ranks factor it together (MUMPS's Cholesky)
};

/// The coarsest level's solve for a run on `ranks` ranks whose coarsest level has `dofs`
/// unknowns and which has `levels` levels: redundant on one rank and up to
/// kRedundantCoarseDofs unknowns, MUMPS above.
constexpr long long kRedundantCoarseDofs = 2000;
CoarseSolve chooseCoarseSolve(int levels, long long dofs, int ranks);

/// "CHOLMOD on every rank", "MUMPS across the ranks", or "" for None.
const char* coarseSolveName(CoarseSolve solve);

/// Levels, ranks and sizes of the engine's solver, for the report.
struct PetscSolveShape {
    int levels = 0;                 ///< multigrid levels (1: Jacobi, no hierarchy)
    std::vector<long long> dofs;    ///< dofs of every level, finest first
    long long ownedElements = 0;    ///< level-0 elements this rank applies
    CoarseSolve coarse = CoarseSolve::None;  ///< the engine's default for the coarsest level
};

class PetscElasticSolver {
public:
    /// Builds the DMDA hierarchy, the shell operator and the solver for `model` (its hierarchy,
    /// element matrix, fixed vertices and level-0 load as built from its forces and gravity by
    /// fem/LoadVector.h). `tolerance`: the relative residual of a solve (PETSc's -ksp_rtol
    /// overrides it).
    PetscElasticSolver(const FemModel& model, MPI_Comm comm, double tolerance);
    PetscElasticSolver(const PetscElasticSolver&) = delete;
    PetscElasticSolver& operator=(const PetscElasticSolver&) = delete;

    /// The relative residual of the next solves (this solver's and the ones after the next
    /// prepareSolve), unless PETSc's options set one (-ksp_rtol), which holds for every solve.
    void setTolerance(double tolerance);
    /// Takes the model's stiffness factors and fixed vertices and forms the operators of the
    /// hierarchy anew (values; their structure and the interpolations are kept while every
    /// level's active dofs stay as they were); the next solve uses them.
    void prepareSolve();
    /// CG to the tolerance from the last displacement (zero at first).
    PetscSolveResult solve();
    /// CG to the tolerance for `load` (a level-0 load in the model's layout, 3*nV, the same on
    /// every rank; it replaces the model's until the next prepareSolve) from `u` (the model's
    /// displacement layout, the same on every rank), which receives the solution on every rank.
    /// The compliance is load . u. Collective.
    PetscSolveResult solveFrom(std::span<const float> load, std::span<double> u);
    /// The displacement in the model's layout (3*nV, component-major), the same on every rank.
    /// Collective.
    std::vector<double> gatherDisplacement() const;
    /// The level-0 operator of the last prepareSolve applied to `u` (3*nV in the model's layout,
    /// the same on every rank): K u on every rank; a fixed vertex's rows give
    /// identityScale() * u. Collective. For checks of the operator.
    std::vector<double> applyOperator(const std::vector<double>& u) const;
    /// How far the operator of `level` (1 to shape().levels - 1) is from the Galerkin product
    /// of the level above: the largest |A x - P^T A' P x| over the level's active dofs relative
    /// to the largest |A x| there, for a fixed random x. Collective; the same on every rank.
    /// For checks of the hierarchy.
    double galerkinDeviation(int level) const;
    /// The diagonal of the identity rows (the largest diagonal entry of any element).
    double identityScale() const { return identityScale_; }
    const PetscSolveShape& shape() const { return shape_; }
    /// PETSc's solver, set up by prepareSolve, for inspection (the solver keeps it).
    KSP ksp() const { return ksp_; }

private:
    /// One level-0 element this rank applies: its lower corner's index in the ghosted local
    /// array (dof 0), its factor and its fixed corners (bit n = corner n).
    struct OwnedElement {
        PetscInt base;
        float factor;
        uint8_t fixedCorners;
    };

    const FemModel& model_;
    MPI_Comm comm_;
    std::vector<OwnedDM> da_;       ///< node DMDA of every level, finest first
    /// interp_[l]: level l+1 -> level l, masked; a shell for l = 0, MAIJ or AIJ below
    std::vector<OwnedMat> interp_;
    std::vector<OwnedMat> op_;      ///< op_[l] for l >= 1: assembled operators
    std::vector<OwnedVec> active_;  ///< per level: 1 on active dofs, 0 on identity rows
    /// Per level: the last prepareSolve gave active_ new values (the level's interpolation
    /// from below and the operators under it must be formed anew).
    std::vector<bool> maskChanged_;
    OwnedMat shell_;  ///< level 0
    OwnedKSP ksp_;
    OwnedVec load_, rhs_, u_;
    OwnedVec localIn_, localOut_;
    OwnedVec coarseLocal_;  ///< level 1's ghosted local vector (the finest interpolation)
    std::vector<OwnedElement> elements_;
    PetscInt strideY_ = 0, strideZ_ = 0;  ///< local ghosted array strides (in dofs)
    double identityScale_ = 1.0;          ///< diagonal of level 0's identity rows
    double tolerance_ = 0.01;             ///< the relative residual of a solve
    bool toleranceFromOptions_ = false;   ///< -ksp_rtol given: it overrides tolerance_
    /// A solve broke down on an indefinite V-cycle: every solver from then on smooths
    /// cautiously (smoothCautiously; its options hold for the rest of the process).
    bool cautious_ = false;
    PetscSolveShape shape_;

    /// PETSc's call of an operation of a shell matrix whose context is the solver: the
    /// solver's `Apply` on the vectors; an exception becomes PETSc's error code, as none may
    /// cross PETSc's C frames (the caller's petscCheck turns it back into PetscFailure).
    template <auto Apply, class... Vecs>
    static PetscErrorCode shellCall(Mat A, Vecs... v);
    void applyFine(Vec x, Vec y) const;
    /// The interpolation from level 1 to level 0 as a shell matrix (rows level 0's dofs,
    /// columns level 1's) over the four operations below, for every mask of level 0.
    OwnedMat fineInterpolation();
    /// y = M P x (M: level 0's active dofs, P: the trilinear interpolation from level 1).
    void interpolateFine(Vec x, Vec y) const;
    /// y = w + M P x.
    void interpolateFineAdd(Vec x, Vec w, Vec y) const;
    /// y = P^T M x.
    void restrictFine(Vec x, Vec y) const;
    /// y = w + P^T M x.
    void restrictFineAdd(Vec x, Vec w, Vec y) const;
    /// `fine` (+)= M P `coarse` (toFine) or `coarse` (+)= P^T M `fine`, over this rank's
    /// level-0 nodes and level 1's ghosted local vector.
    void interpolateOrRestrict(Vec fine, Vec coarse, bool toFine, bool add) const;
    /// out += factor * Ke u_e over this rank's elements, on the ghosted local arrays (fixed
    /// corners neither read nor written).
    void addElementProducts(const PetscScalar* in, PetscScalar* out) const;
    /// The loop of addElementProducts with Ke's columns (`columns`, column c at 24 c) and the
    /// corners' offsets, built for AVX2 and for any x86-64 CPU and chosen at run time; both
    /// give the same bits (no fused operations).
    [[gnu::target_clones("avx2", "default")]] static void addProducts(
        const std::vector<OwnedElement>& elements, const double* columns,
        const PetscInt* corner, const PetscScalar* in, PetscScalar* out);
    /// Fills this rank's part of `v` from a model-layout vector (grid points without a vertex 0).
    void fillFromModel(std::span<const double> values, Vec v) const;
    /// `u` (3*nV) = `v` in the model's layout, the same on every rank. Collective.
    void gatherToModel(Vec v, std::span<double> u) const;
    void fineDiagonal(Vec d) const;
    void buildHierarchy();
    /// load_ and rhs_ (the load without the identity rows' entries) from a model-layout load;
    /// with `mask`, active_[0] from the fixed vertices and the untouched points first.
    void buildLoad(std::span<const float> f, bool mask);
    void collectElements();
    /// The operator of `level` (1 to kElementLevels), row by row: each node's rows from the
    /// coarse elements around it, their matrices the element-by-element Galerkin rule applied
    /// level by level from the model's elements (fixed vertices left out).
    void assembleFromElements(int level);
    /// Coarse elements [x0, x1) x [y0, y1) of a layer.
    struct ElementBox {
        PetscInt x0, x1, y0, y1;
    };
    /// The Galerkin matrices of the elements of `level` (1 or more) in `box` of layer K (576
    /// doubles each, x fastest) and whether each holds a model element; `free` the level-0
    /// children's matrices without fixed vertices.
    void formCoarseElementLayer(int level, PetscInt K, const ElementBox& box,
                                const std::array<std::array<double, 576>, 8>& free,
                                std::array<double, 576>* matrices, uint8_t* present) const;
    void buildCoarseLevels();
    /// active_[level] = `mask` (and maskChanged_[level] set) unless it holds the same values.
    void adoptMask(int level, OwnedVec mask);
    void configureSolver(double tolerance);
    /// A new solver from the options (configureSolver) over the operators of the last
    /// prepareSolve.
    void setUpSolver();
    /// From now on every Chebyshev level smoother's interval and estimate are widened
    /// (whatever the options said), after a V-cycle turned out indefinite.
    void smoothCautiously();
};

}  // namespace ostrel
