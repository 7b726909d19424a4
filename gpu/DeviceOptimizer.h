#pragma once
// The optimizer's per-element state on the solver's device and the verbs of one design
// iteration, run by the optimizer kernels of the kernel module (kernels/cudafemkernels.cu):
// stiffness factors into the solver's E_dev_, element energies from its level-0 u_dev_,
// sensitivities through the density filter and the projection's slope, the passes of the
// multiplier search, and the acceptance of the last pass's candidates.
//
// Bound to a MultigridSolver, whose device, module and level-0 grid buffers it uses; load() needs the
// solver set up and allocates every buffer (release() or the solver's release frees them).
// While loaded, the solver takes its element factors from this optimizer's factor buffer
// (MultigridSolver::setOptimizerFactors) and leaves the displacement on the device. The
// arrays stay on the device between iterations; what comes back is the scalars each verb
// returns and, from accept(), the densities. Every sum and extreme is a fixed-order reduction:
// the same on every run and every host thread count (the order depends on the kind of device,
// see stageOf). Elements are numbered as in
// the model's level 0; flags per kernels/OptimizerLayout.h. Driver failures are fatal (the solver's
// error check). Main thread only.
//
// The search without projection is linear: the candidate densities are the filter of the
// candidate design, so the designable elements' volume is sum_j c_j * y_j plus a constant,
// with the volume weights c_j (the transposed filter of the designable set) formed on the device. Each
// of its passes is then one sweep over the elements for up to kSearchCandidates multipliers
// (kernels/OptimizerLayout.h) with one read-back of their volumes; finishSearch takes the
// candidate design of the chosen multiplier and its filter once. The projected search filters and projects in every
// pass.

#include <array>
#include <cstddef>
#include <cstdint>

#include "gpu/DesignSplit.h"
#include "gpu/DriverTypes.h"
#include "kernels/OptimizerLayout.h"

namespace ostrel {

class MultigridSolver;

/// What load() puts on the device: the flags and the filter of the optimizer's reset (n
/// elements) and, when the optimizer has a design already, its state. Null arrays are left to
/// start().
struct DeviceDesignState {
    size_t numElements = 0;
    bool projected = false;          ///< densities are the projected filtered design
    /// With projection: the solver's densities are another projection of the filtered design
    /// (a minimum member size's eroded design; projectSolid), kept in a buffer of their own.
    bool solidDesign = false;
    const uint8_t* flags = nullptr;  ///< n ElementFlag combinations
    const float* x = nullptr;        ///< n design variables
    const float* rho = nullptr;      ///< n densities
    /// n filtered designs: the base of the projection's slope (without projection the filter
    /// taken at reset; with it the filter of the current design).
    const float* xTilde = nullptr;
    const double* W = nullptr;  ///< n filter weight sums
    const double* q = nullptr;  ///< n element energies
    // The filter (see DensityFilter): staging grid size and padding, taps in order, pad sums
    // (null: the neighbourhood is clipped at the grid's faces) and the density beyond the faces.
    std::array<int, 3> paddedDims{};
    int padding = 0;
    int numTaps = 0;
    const double* tapWeights = nullptr;
    const long long* tapOffsets = nullptr;
    const double* padSums = nullptr;
    double voidDensity = 0.0;
    /// With projection: every element's own move limit starts here (see adaptMoves), unless
    /// `moves` and `lastChange` (n floats each: the limits and last changes of a checkpoint)
    /// are given.
    double moveLimit = 0.0;
    const float* moves = nullptr;
    const float* lastChange = nullptr;
    /// A mirror-symmetric design (optimization/SymmetryOrbits.h): orbitSize slots per element
    /// in `orbit`; the sensitivities are summed over the orbits. 1 (orbit null): no symmetry.
    int orbitSize = 1;
    const int* orbit = nullptr;
};

/// The projection floor + (1 - floor) * (base + tanh(beta*(v - eta))) / denominator with
/// base = tanh(beta*eta), as the optimizer forms it.
struct DeviceProjection {
    double beta, eta, floor, base, denominator;
};

/// The design a reset starts from (DeviceOptimizer::start): held-empty variables at `lower`,
/// other held ones at 1, the rest at `value`; its densities are its filter mapped by
/// `projection`, elements with flags & solidFlags at 1 and held-empty ones at `emptyDensity`.
struct DeviceStart {
    float value, lower;
    DeviceProjection projection;
    uint8_t solidFlags;
    float emptyDensity;
};

/// The limits of a candidate design: x -+ move, then [lower, upper].
struct DeviceLimits {
    double move, lower, upper;
};

/// The rule of the elements' own move limits (projection only): a change that reverses the
/// last one's sign multiplies the limit by `shrink` (not below `floor`), one that keeps it by
/// `growth` (not above `max`).
struct DeviceMoveRule {
    double shrink, growth, floor, max;
};

/// The sums of an accepted design.
struct DeviceDesignSums {
    double volume = 0;      ///< sum of rho over the elements not held empty
    double sharpness = 0;   ///< sum of rho * (1 - rho) over the designable elements
    double change = 0;      ///< largest |x_new - x_old|
};

class DeviceOptimizer {
public:
    /// Items each thread of a reduction stage combines (the kernels' `count`).
    static constexpr int kFanIn = 32;
    /// The threads of a reduction stage over `items` items: tiles of `lanes` threads over
    /// lanes * kFanIn items, or, for at most that many, one tile of ceil(items / kFanIn) lanes.
    /// The tiles are 128 lanes wide (a block) on a CUDA device, where neighbouring threads then
    /// read neighbouring items, and 1 lane on the host device, where each thread then reads a
    /// contiguous run; each device keeps its one order.
    struct Stage {
        long long threads;
        int lanes;
    };
    static Stage stageOf(long long items, int lanes);

    explicit DeviceOptimizer(MultigridSolver& solver);
    ~DeviceOptimizer();
    DeviceOptimizer(const DeviceOptimizer&) = delete;
    DeviceOptimizer& operator=(const DeviceOptimizer&) = delete;

    /// Splits the design over processes (gpu/DesignSplit.h; null, the default: this process
    /// holds all of it), from the next load() on; the split must outlive the loaded state. With
    /// a split every verb is collective and works on this process's own layers, every sum and
    /// extreme is the processes' (each one's fixed-order sum, joined in process order), and
    /// this process keeps the state of its own elements alone: the downloads, which give every
    /// element's entries, and the densities that start() and accept() give back are collective.
    /// The element factors are whole on every process after updateStiffness, for the solver.
    /// Host device only (a load on a CUDA device is fatal).
    void setSplit(DesignSplit* split) { split_ = split; }

    /// Looks up the kernels (once), allocates the buffers for `state` and uploads it, replacing
    /// what an earlier load put there; with several load cases on the solver, a buffer of n
    /// doubles for a case's energies besides. Given the weight sums, forms the linear search's
    /// volume weights from them.
    void load(const DeviceDesignState& state);
    /// After a load without a design: forms the filter's weight sums, the design of `start`,
    /// its filter (the filtered design) and its densities, which come back into rho (n
    /// floats), the volume weights, and zero energies. Returns the densities' sums (no change).
    DeviceDesignSums start(const DeviceStart& start, float* rho);
    /// The sums of the current densities (the change 0).
    DeviceDesignSums designSums();
    /// Frees the buffers (nothing to free once the solver has been released). Safe to call twice.
    void release();
    bool isLoaded() const { return loaded_; }
    /// Bytes of the buffers of the last load.
    size_t allocatedBytes() const { return allocated_; }
    /// The bytes load() allocates for `n` elements of which this process owns `own`, a staging
    /// grid (or window of it) of `stagedCells` cells and `taps` taps, with or without
    /// projection and pad sums.
    static size_t bytesFor(size_t n, size_t own, size_t stagedCells, int taps, bool projected,
                           bool padded);
    /// The bytes of the search's candidate sums for a first reduction stage of `stage` threads.
    static size_t searchBytes(size_t stage);
    /// Kernel seconds so far of the solver's kernel timer (0 without one).
    double kernelSeconds() const;

    /// Replaces the densities (after the host changed them).
    void uploadDensities(const float* rho);
    /// The next element factors base * rho[e]^penalty, for the solver's next prepareSolve; rho
    /// the solved densities of projectSolid when the load asked for them.
    void updateStiffness(double base, double penalty);
    /// With a solid design (DeviceDesignState::solidDesign): the solved densities, the current
    /// filtered design mapped by `projection` with the held rules (kept elements 1, held-empty
    /// ones emptyDensity). Nothing otherwise.
    /// Returns the designable elements' sum of the solved densities (0 without a solid design).
    double projectSolid(const DeviceProjection& projection, float emptyDensity);
    bool hasSolidDesign() const { return solidRho_dev_ != 0; }
    /// q[e] = max(0, E[e] * ue^T Ke ue) from the solver's level-0 displacement and the factors
    /// of its solve (0 after a solve that left no displacement on the device); returns sum q.
    double evaluateEnergies();
    /// With several load cases (the solver's loadCaseCount() > 1 at load): the energies of the
    /// solver's selected case, computed as evaluateEnergies does, into q as weight * those
    /// energies (`first`: the first case replaces q) or added to it (the later ones); returns
    /// the case's sum of energies, its compliance. Fatal without several cases at load.
    double addCaseEnergies(double weight, bool first);
    /// dq[e] = -sum_j w_ej * dSolid_j * q_j * penalty / rhoSolid_j / W_j and
    /// dv[e] = sum_j w_ej * ((1 - volumeMix) * dRho_j + volumeMix * dSolid_j) / W_j, dRho the
    /// slope of `slope` at xTilde, 0 for the elements with flags & zeroFlags; without `solid`
    /// dSolid = dRho and rhoSolid = rho, with it (a solid design) dSolid the slope of `solid`
    /// (the same beta and floor) and rhoSolid the solved densities of projectSolid.
    void computeSensitivities(const DeviceProjection& slope, uint8_t zeroFlags, double penalty,
                              const DeviceProjection* solid = nullptr, double volumeMix = 0.0);
    /// Smallest and largest |dq| / dv over the designable elements with dv > 0; false when
    /// there are none.
    bool ratioRange(double& low, double& high);
    /// Without projection: the candidates' base x * sqrt(-dq / dv) for the passes.
    void prepareSearch();
    /// Without projection: sum_j c_j * y_j for the candidate design y of the multiplier lambda,
    /// plus the designable elements' pad terms (sum voidDensity * P_i / W_i): the volume of the
    /// designable elements' candidate densities.
    double searchVolume(double lambda, const DeviceLimits& limits);
    /// Multipliers a pass of the search without projection best evaluates at once on this
    /// device: kSearchCandidates on a CUDA device, where a pass costs a round trip and the
    /// candidates' arithmetic hides behind the element reads; kSearchGroup on the host device,
    /// where a read-back is a copy in memory and every candidate costs arithmetic. Valid after
    /// load().
    int searchWidth() const { return lanes_ == 1 ? int(kSearchGroup) : int(kSearchCandidates); }
    /// Without projection: searchVolume for `count` multipliers at once (1 to
    /// kSearchCandidates; more is a fatal error), each volume the same bits as alone; one
    /// launch of the candidates, one of each reduction stage and one read-back of the volumes.
    void searchVolumes(const double* lambdas, int count, const DeviceLimits& limits,
                       double* volumes);
    /// Without projection: the candidate design for lambda, its filter and the held rules
    /// (kept elements 1, held-empty ones emptyDensity) as the candidate densities.
    void finishSearch(double lambda, const DeviceLimits& limits, float emptyDensity);
    /// With projection: the candidate design for lambda, its filter, its projection with the
    /// held rules; returns the sum of the designable elements' candidate densities.
    double searchProjectedVolume(double lambda, const DeviceLimits& limits,
                                 const DeviceProjection& projection, float emptyDensity);
    /// searchProjectedVolume with a second projection of the same candidate: returns
    /// (1 - mix) * V(projection) + mix * V(other); the candidate densities are `projection`'s.
    double searchMixedVolume(double lambda, const DeviceLimits& limits,
                             const DeviceProjection& projection, const DeviceProjection& other,
                             double mix, float emptyDensity);
    /// With projection, before accept(): each element's move limit and last change follow the
    /// change from the design to the candidate by `rule` (AdaptMovesKernel); the candidates of
    /// the next search move each element by its own limit. Nothing without projection.
    void adaptMoves(const DeviceMoveRule& rule);
    /// The candidates become the design (with projection their filter the filtered design);
    /// the densities come back into rho (n floats).
    DeviceDesignSums accept(float* rho);

    // ---- downloads (n entries each; for result files and tests; collective with a split) ----
    void downloadDesign(float* x) const;
    void downloadDensities(float* rho) const;
    /// The solved densities of projectSolid (a solid design only).
    void downloadSolidDensities(float* rho) const;
    void downloadFiltered(float* xTilde) const;
    void downloadWeightSums(double* W) const;
    void downloadEnergies(double* q) const;
    void downloadSensitivities(double* dq, double* dv) const;
    void downloadCandidates(float* x, float* rho) const;
    /// With projection: the elements' own move limits and their last changes.
    void downloadMoves(float* moves) const;
    void downloadLastChanges(float* changes) const;
    /// The latest element factors (MultigridSolver::latestFactors).
    void downloadFactors(float* E) const;

private:
    /// The sum of the partial sums the last densities() left, reduced and read back.
    double reducedSum();
    void lookUpKernels();
    /// The element energies of the solver's level-0 displacement and factors into `q` (0 when
    /// no displacement is on the device); returns their sum.
    double elementEnergies(CUdeviceptr q);
    /// The per-element buffers of `state` (its arrays uploaded where given).
    void allocateElementBuffers(const DeviceDesignState& state);
    /// The filter's taps and staging grids, the reductions' and the search's sums.
    void allocateStagingAndSums(const DeviceDesignState& state);
    CUdeviceptr allocate(size_t bytes, const char* name);
    /// `slot` = a new buffer of `bytes`, `data` uploaded into it when not null.
    void buffer(CUdeviceptr& slot, const void* data, size_t bytes, const char* name);
    void upload(CUdeviceptr dst, const void* src, size_t bytes, const char* name);
    void download(void* dst, CUdeviceptr src, size_t bytes, const char* name) const;
    void launch(CUfunction f, long long items, void** params, const char* name);
    /// Reduces `count` doubles at `values` (op 0 sum, 1 maximum, 2 minimum) into the double
    /// at `result`, on the device.
    void reduce(CUdeviceptr values, long long count, int op, CUdeviceptr result);
    /// The filter's transpose of two staged fields at once (the gather kernel): `first` and
    /// `second` into `firstOut` and `secondOut`.
    void gatherPair(CUdeviceptr first, CUdeviceptr second, CUdeviceptr firstOut,
                    CUdeviceptr secondOut);
    /// `in` (n floats) into the staging grid stageF_dev_, each element at its cell.
    void stageDesign(CUdeviceptr in);
    /// Stage `in`, filter it into `out` (the candidate design's filter).
    void filter(CUdeviceptr in, CUdeviceptr out);
    void candidateDesign(double lambda, const DeviceLimits& limits);
    /// Densities `rho` from `filtered` (projected or not; without projection rho is filtered
    /// itself) with the held rules, flags & solidFlags at 1; their designable sum's partials in
    /// partial_dev_.
    void densities(CUdeviceptr filtered, CUdeviceptr rho, uint8_t solidFlags,
                   const DeviceProjection* projection, float emptyDensity);
    /// The volume weights c and the pad terms' sum of the linear search (nothing with
    /// projection).
    void formVolumeWeights();
    /// Volume and sharpness sums of the densities `rho`, largest |candidate - x|.
    DeviceDesignSums sums(CUdeviceptr candidate, CUdeviceptr rho);

    // ---- the split (setSplit); without one, this process's own elements are all of them ----
    // The per-element buffers hold this process's elements, first_ to first_ + count_ - 1,
    // but for the flags and the orbits (every element's) and the solver's buffers.
    /// `p`, a buffer of every element's entries of `bytes`, from this process's first element
    /// on; 0 stays 0.
    CUdeviceptr own(CUdeviceptr p, size_t bytes) const;
    /// The address element 0's entry would have for `p`, a buffer of this process's elements'
    /// entries of `bytes`: for the kernels that reach the elements by their numbers in the
    /// grid. 0 stays 0.
    CUdeviceptr whole(CUdeviceptr p, size_t bytes) const;
    /// The buffers the kernels read per own element (as they are now: accept swaps some), named
    /// for the kernels' parameters.
    struct OwnBuffers {
        CUdeviceptr positions, flags, x, xTilde, W, q, caseQ, dq, dv, candidateX, searchBase,
            volumeWeight, padSum, moves, lastChange;
    };
    OwnBuffers owned() const;
    /// The level-0 element grid's size and dense cells with only this process's layers.
    Int3 ownElementDims() const;
    CUdeviceptr ownElementGrid() const;
    /// A staging buffer holds the window of the staging grid that this process's filter reads:
    /// its own layers and the filter's reach on either side (the grid's layers layerBegin_ to
    /// layerEnd_ + 2 padding_, element layers layerBegin_ - padding_ on), plus the slack of
    /// the filter's runs; the whole grid without a split. Its cells:
    size_t stagedCells() const;
    /// The base of the whole staging grid for a window (cells of `cellBytes`), for the
    /// kernels that place each element at its cell of the grid.
    CUdeviceptr wholeStage(CUdeviceptr window, size_t cellBytes) const;
    /// With a split: the window's layers within the filter's reach of this process's own take
    /// their owners' values.
    void exchangeStage(CUdeviceptr window, size_t cellBytes);
    /// With a split: every element's entry of `values` (n entries) from its owner.
    void gatherInPlace(CUdeviceptr values, size_t entryBytes);
    /// With a split: `all` (n entries) = every process's `values` (its own elements' entries).
    void gatherWhole(CUdeviceptr all, CUdeviceptr values, size_t entryBytes);
    /// With a split: the processes' values joined (DesignSplit::combine).
    void combine(double* values, const CombineOp* ops, int count);
    /// Downloads every element's entry of `entryBytes` from `src` (own elements' entries); with
    /// a split each from its owner.
    void downloadElements(void* dst, CUdeviceptr src, size_t entryBytes, const char* name) const;
    /// `slot` = a buffer of the own elements' entries, those of `data` (every element's entries;
    /// null: nothing uploaded).
    void uploadElements(CUdeviceptr& slot, const void* data, size_t entryBytes, const char* name);

    MultigridSolver& solver_;
    bool loaded_ = false;
    bool projected_ = false;
    size_t allocated_ = 0;
    int n_ = 0;
    int lanes_ = 1;     // the width of a reduction tile on this device
    Stage partials_{};  // the first reduction stage over the elements
    long long runs_ = 0;      // filter threads
    Int3 paddedDims_{};
    int padding_ = 0, numTaps_ = 0;
    double voidDensity_ = 0.0;
    int orbitSize_ = 1;  // slots per orbit of a mirror-symmetric design (1: none)
    DesignSplit* split_ = nullptr;
    // This process's elements [first_, first_ + count_) and layers [layerBegin_, layerEnd_).
    int first_ = 0, count_ = 0;
    int layerBegin_ = 0, layerEnd_ = 0;

    /// The optimizer kernels, in the order of the names in DeviceOptimizer.cpp.
    std::array<CUfunction, 20> kernels_{};
    double volumeOffset_ = 0.0;  // the linear search's pad terms

    CUdeviceptr flags_dev_ = 0, x_dev_ = 0, rho_dev_ = 0, xTilde_dev_ = 0, W_dev_ = 0,
                q_dev_ = 0, dq_dev_ = 0, dv_dev_ = 0, candidateX_dev_ = 0,
                candidateRho_dev_ = 0, candidateXTilde_dev_ = 0, searchBase_dev_ = 0,
                volumeWeight_dev_ = 0, padSum_dev_ = 0, tapWeight_dev_ = 0, tapOffset_dev_ = 0,
                stageF_dev_ = 0, stageA_dev_ = 0, stageB_dev_ = 0, partial_dev_ = 0,
                reduceA_dev_ = 0, reduceB_dev_ = 0, results_dev_ = 0, searchScale_dev_ = 0,
                searchPartial_dev_ = 0, searchReduceA_dev_ = 0, searchReduceB_dev_ = 0,
                moves_dev_ = 0, lastChange_dev_ = 0, orbit_dev_ = 0, orbitDq_dev_ = 0,
                orbitDv_dev_ = 0, caseQ_dev_ = 0, solidRho_dev_ = 0, wholeDq_dev_ = 0,
                wholeDv_dev_ = 0;
};

}  // namespace ostrel
