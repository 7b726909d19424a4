#include "gpu/DeviceOptimizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/Console.h"
#include "core/FatalError.h"
#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DriverCheck.h"
#include "gpu/KernelParams.h"
#include "gpu/KernelTimer.h"
#include "kernels/OptimizerLayout.h"

namespace ostrel {

namespace {

enum Kernel {
    kStiffness,
    kEnergies,
    kSensitivityFactors,
    kStage,
    kFilter,
    kGather,
    kRatioRange,
    kSearchBase,
    kSearchVolumes,
    kCandidateDesign,
    kCandidateDensities,
    kDesignSums,
    kReduce,
    kReduceColumns,
    kAdaptMoves,
    kOrbitSums,
    kWeightSums,
    kInitialDesign,
    kVolumeWeights,
    kAccumulateEnergies,
    kKernelCount
};

const char* const kKernelNames[kKernelCount] = {
    "StiffnessFactorsKernel",   "ElementEnergiesKernel", "SensitivityFactorsKernel",
    "StageDesignKernel",        "FilterDesignKernel",    "GatherSensitivitiesKernel",
    "RatioRangeKernel",         "SearchBaseKernel",      "SearchVolumesKernel",
    "CandidateDesignKernel",    "CandidateDensitiesKernel", "DesignSumsKernel",
    "ReduceKernel",             "ReduceColumnsKernel",
    "AdaptMovesKernel",         "OrbitSumsKernel",       "WeightSumsKernel",
    "InitialDesignKernel",      "VolumeWeightsKernel",   "AccumulateEnergiesKernel"};

constexpr unsigned kBlock = 128;
constexpr int kSum = 0, kMax = 1, kMin = 2;

Int3 int3Of(const std::array<int, 3>& d) { return {d[0], d[1], d[2]}; }

}  // namespace

DeviceOptimizer::Stage DeviceOptimizer::stageOf(long long items, int lanes) {
    const long long tile = (long long)lanes * kFanIn;
    if (items > tile) return {(items + tile - 1) / tile * lanes, lanes};
    const long long threads = (items + kFanIn - 1) / kFanIn;
    return {threads, int(threads)};
}

DeviceOptimizer::DeviceOptimizer(MultigridSolver& solver) : solver_(solver) {
    static_assert(sizeof(kKernelNames) / sizeof(kKernelNames[0]) == std::tuple_size_v<
                                                                        decltype(kernels_)>);
}

DeviceOptimizer::~DeviceOptimizer() { release(); }

CUdeviceptr DeviceOptimizer::allocate(size_t bytes, const char* name) {
    CUdeviceptr p = 0;
    checkDriver(solver_.driver().memAlloc(&p, bytes), L"cuMemAlloc failed for " + fromUtf8(name));
    allocated_ += bytes;
    return p;
}

void DeviceOptimizer::upload(CUdeviceptr dst, const void* src, size_t bytes, const char* name) {
    checkDriver(solver_.driver().memcpyHtoD(dst, src, bytes),
                L"cuMemcpyHtoD failed for " + fromUtf8(name));
}

void DeviceOptimizer::download(void* dst, CUdeviceptr src, size_t bytes, const char* name) const {
    checkDriver(solver_.driver().memcpyDtoH(dst, src, bytes),
                L"cuMemcpyDtoH failed for " + fromUtf8(name));
}

CUdeviceptr DeviceOptimizer::own(CUdeviceptr p, size_t bytes) const {
    return p ? p + CUdeviceptr(first_) * bytes : 0;
}

CUdeviceptr DeviceOptimizer::whole(CUdeviceptr p, size_t bytes) const {
    // Unsigned arithmetic, as wholeStage: only this process's entries are reached through it.
    return p ? p - CUdeviceptr(first_) * bytes : 0;
}

DeviceOptimizer::OwnBuffers DeviceOptimizer::owned() const {
    return {own(solver_.elementPosition_dev_[0], 4), own(flags_dev_, 1), x_dev_, xTilde_dev_,
            W_dev_, q_dev_, caseQ_dev_, dq_dev_, dv_dev_, candidateX_dev_, searchBase_dev_,
            volumeWeight_dev_, padSum_dev_, moves_dev_, lastChange_dev_};
}

Int3 DeviceOptimizer::ownElementDims() const {
    const auto& ed = solver_.model().elementDims(0);
    return {ed[0], ed[1], layerEnd_ - layerBegin_};
}

CUdeviceptr DeviceOptimizer::ownElementGrid() const {
    const auto& ed = solver_.model().elementDims(0);
    return solver_.elementGrid_dev_[0] + CUdeviceptr(4) * CUdeviceptr(ed[0]) * CUdeviceptr(ed[1]) *
                                             CUdeviceptr(layerBegin_);
}

size_t DeviceOptimizer::stagedCells() const {
    return size_t(paddedDims_.x) * size_t(paddedDims_.y) *
               size_t(layerEnd_ - layerBegin_ + 2 * padding_) +
           kFilterRun;
}

CUdeviceptr DeviceOptimizer::wholeStage(CUdeviceptr window, size_t cellBytes) const {
    // Unsigned arithmetic: the address the grid's first cell would have; only the window's
    // cells are ever reached through it.
    return window - CUdeviceptr(cellBytes) * CUdeviceptr(paddedDims_.x) *
                        CUdeviceptr(paddedDims_.y) * CUdeviceptr(layerBegin_);
}

void DeviceOptimizer::exchangeStage(CUdeviceptr window, size_t cellBytes) {
    if (!split_) return;
    // The window starts at the staging grid's layer layerBegin_, element layer
    // layerBegin_ - padding_ (host device: the buffer is host memory).
    const size_t layerBytes = cellBytes * size_t(paddedDims_.x) * size_t(paddedDims_.y);
    split_->exchangeLayers(reinterpret_cast<void*>(window), layerBegin_ - padding_, layerBytes,
                           padding_);
}

void DeviceOptimizer::gatherInPlace(CUdeviceptr values, size_t entryBytes) {
    if (split_) split_->gatherElements(reinterpret_cast<void*>(values), entryBytes);
}

void DeviceOptimizer::gatherWhole(CUdeviceptr all, CUdeviceptr values, size_t entryBytes) {
    // With a split the device is the host device: its buffers are host memory.
    download(reinterpret_cast<void*>(all + CUdeviceptr(first_) * entryBytes), values,
             entryBytes * size_t(count_), "an element array");
    gatherInPlace(all, entryBytes);
}

void DeviceOptimizer::combine(double* values, const CombineOp* ops, int count) {
    if (split_) split_->combine(values, ops, count);
}

void DeviceOptimizer::downloadElements(void* dst, CUdeviceptr src, size_t entryBytes,
                                       const char* name) const {
    download(static_cast<char*>(dst) + entryBytes * size_t(first_), src,
             entryBytes * size_t(count_), name);
    if (split_) split_->gatherElements(dst, entryBytes);
}

void DeviceOptimizer::uploadElements(CUdeviceptr& slot, const void* data, size_t entryBytes,
                                     const char* name) {
    buffer(slot, data ? static_cast<const char*>(data) + entryBytes * size_t(first_) : nullptr,
           entryBytes * size_t(count_), name);
}

void DeviceOptimizer::launch(CUfunction f, long long items, void** params, const char* name) {
    const LaunchGeometry g = launchGeometry(items, kBlock);
    if (g.gridX == 0) return;
    KernelTimer* timer = solver_.kernelTimer();
    if (timer) timer->begin();
    checkDriver(solver_.driver().launchKernel(f, g.gridX, g.gridY, 1, g.blockX, 1, 1, 0, nullptr,
                                              params, nullptr),
                L"cuLaunchKernel failed for " + fromUtf8(name));
    if (timer) timer->end();
}

double DeviceOptimizer::kernelSeconds() const {
    const KernelTimer* timer = solver_.kernelTimer();
    return timer ? timer->seconds() : 0.0;
}

size_t DeviceOptimizer::bytesFor(size_t n, size_t own, size_t stagedCells, int taps,
                                 bool projected, bool padded) {
    const size_t stage = size_t(stageOf((long long)own, int(kBlock)).threads);
    // Of every element: flags and the factors. Of the own elements: x, rho, xTilde, W, q, dq,
    // dv, the candidates' x and rho, then the search's arrays of either mode and the pad sums.
    size_t bytes = n * (1 + 4) + own * (4 + 4 + 4 + 8 + 8 + 8 + 8 + 4 + 4);
    bytes += own * (projected ? 4 + 4 + 4 : 8 + 8) + (padded ? 8 * own : 0);
    bytes += 16 * size_t(taps) + 20 * (stagedCells + kFilterRun);  // taps, staging grids
    if (!projected) bytes += searchBytes(stage);                     // the candidates' sums
    return bytes + 5 * 8 * stage + 8 * 3;                           // reductions
}

size_t DeviceOptimizer::searchBytes(size_t stage) {
    // The scales, the first stage's partials and two buffers of the later stages' sums.
    const size_t later = size_t(stageOf((long long)stage, int(kBlock)).threads);
    return 8 * size_t(kSearchCandidates) * (1 + stage + 2 * later);
}

void DeviceOptimizer::lookUpKernels() {
    Driver& driver = solver_.driver();
    for (int k = 0; k < kKernelCount; ++k)
        if (!kernels_[size_t(k)])
            checkDriver(driver.moduleGetFunction(&kernels_[size_t(k)], solver_.module_,
                                                 kKernelNames[k]),
                        L"cuModuleGetFunction failed for " + fromUtf8(kKernelNames[k]));
}

void DeviceOptimizer::load(const DeviceDesignState& state) {
    release();
    if (split_ && !solver_.driver().isHost())
        reportFatalError(__FILE__, __LINE__, L"A design split over processes runs on the host "
                                             L"device only");
    lookUpKernels();
    const FemModel& m = solver_.model();
    n_ = int(state.numElements);
    projected_ = state.projected;
    lanes_ = solver_.driver().isHost() ? 1 : int(kBlock);
    const auto& ed = m.elementDims(0);
    const OwnLayers own = split_ ? split_->own() : OwnLayers{0, ed[2], 0, n_};
    first_ = own.first;
    count_ = own.count;
    layerBegin_ = own.begin;
    layerEnd_ = own.end;
    partials_ = stageOf((long long)count_, lanes_);
    runs_ = (ed[0] + kFilterRun - 1) / kFilterRun * (long long)ed[1] * (layerEnd_ - layerBegin_);
    paddedDims_ = int3Of(state.paddedDims);
    padding_ = state.padding;
    numTaps_ = state.numTaps;
    voidDensity_ = state.voidDensity;
    orbitSize_ = state.orbitSize;
    allocated_ = 0;
    allocateElementBuffers(state);
    allocateStagingAndSums(state);
    solver_.setOptimizerFactors(allocate(4 * state.numElements, "factors_dev_"));
    loaded_ = true;
    if (state.W) formVolumeWeights();
}

void DeviceOptimizer::buffer(CUdeviceptr& slot, const void* data, size_t bytes,
                             const char* name) {
    // A process without elements still has every buffer (a null one means none of its kind).
    slot = allocate(std::max<size_t>(bytes, 1), name);
    if (data && bytes) upload(slot, data, bytes, name);
}

void DeviceOptimizer::allocateElementBuffers(const DeviceDesignState& state) {
    // Every element's flags (a mirror-symmetric design reads those of its orbits' members);
    // the rest of the state of this process's elements alone.
    const size_t n = state.numElements, count = size_t(count_);
    buffer(flags_dev_, state.flags, n, "flags_dev_");
    uploadElements(x_dev_, state.x, 4, "x_dev_");
    uploadElements(rho_dev_, state.rho, 4, "rho_dev_");
    uploadElements(xTilde_dev_, state.xTilde, 4, "xTilde_dev_");
    uploadElements(W_dev_, state.W, 8, "W_dev_");
    uploadElements(q_dev_, state.q, 8, "q_dev_");
    buffer(dq_dev_, nullptr, 8 * count, "dq_dev_");
    buffer(dv_dev_, nullptr, 8 * count, "dv_dev_");
    buffer(candidateX_dev_, nullptr, 4 * count, "candidateX_dev_");
    buffer(candidateRho_dev_, nullptr, 4 * count, "candidateRho_dev_");
    if (projected_) {
        buffer(candidateXTilde_dev_, nullptr, 4 * count, "candidateXTilde_dev_");
        // The elements' own move limits, all at the common one, and no change yet (or those
        // of a checkpoint).
        if (state.moves && state.lastChange) {
            uploadElements(moves_dev_, state.moves, 4, "moves_dev_");
            uploadElements(lastChange_dev_, state.lastChange, 4, "lastChange_dev_");
        } else {
            const std::vector<float> moves(count, float(state.moveLimit));
            buffer(moves_dev_, moves.data(), 4 * count, "moves_dev_");
            buffer(lastChange_dev_, nullptr, 4 * count, "lastChange_dev_");
            checkDriver(solver_.driver().memsetD32(lastChange_dev_, 0, count),
                        L"cuMemsetD32 failed for lastChange_dev_");
        }
        if (state.solidDesign) uploadElements(solidRho_dev_, state.rho, 4, "solidRho_dev_");
    } else {
        buffer(searchBase_dev_, nullptr, 8 * count, "searchBase_dev_");
        buffer(volumeWeight_dev_, nullptr, 8 * count, "volumeWeight_dev_");
    }
    if (state.padSums) uploadElements(padSum_dev_, state.padSums, 8, "padSum_dev_");
    // Several load cases: each case's energies before they join q.
    if (solver_.loadCaseCount() > 1) buffer(caseQ_dev_, nullptr, 8 * count, "caseQ_dev_");
    if (orbitSize_ > 1) {
        buffer(orbit_dev_, state.orbit, 4 * n * size_t(orbitSize_), "orbit_dev_");
        buffer(orbitDq_dev_, nullptr, 8 * count, "orbitDq_dev_");
        buffer(orbitDv_dev_, nullptr, 8 * count, "orbitDv_dev_");
        // With a split, every element's sensitivities (an orbit's members lie anywhere).
        if (split_) {
            buffer(wholeDq_dev_, nullptr, 8 * n, "wholeDq_dev_");
            buffer(wholeDv_dev_, nullptr, 8 * n, "wholeDv_dev_");
        }
    }
}

void DeviceOptimizer::allocateStagingAndSums(const DeviceDesignState& state) {
    Driver& driver = solver_.driver();
    buffer(tapWeight_dev_, state.tapWeights, 8 * size_t(numTaps_), "tapWeight_dev_");
    buffer(tapOffset_dev_, state.tapOffsets, 8 * size_t(numTaps_), "tapOffset_dev_");
    // The staging grids: every cell 0 but those of elements, which each staging overwrites;
    // slack for the filter's lanes beyond a row's end.
    const size_t cells = stagedCells();
    buffer(stageF_dev_, nullptr, 4 * cells, "stageF_dev_");
    buffer(stageA_dev_, nullptr, 8 * cells, "stageA_dev_");
    buffer(stageB_dev_, nullptr, 8 * cells, "stageB_dev_");
    checkDriver(driver.memsetD32(stageF_dev_, 0, cells), L"cuMemsetD32 failed for stageF_dev_");
    checkDriver(driver.memsetD32(stageA_dev_, 0, 2 * cells), L"cuMemsetD32 failed for stageA_dev_");
    checkDriver(driver.memsetD32(stageB_dev_, 0, 2 * cells), L"cuMemsetD32 failed for stageB_dev_");
    // Sized for a CUDA device's stages, which have at least as many threads as the host
    // device's: the same bytes on every device. A stage over the elements' or the partials'
    // values has at most this many outputs.
    const size_t stage = size_t(stageOf((long long)count_, int(kBlock)).threads);
    buffer(partial_dev_, nullptr, 3 * 8 * stage, "partial_dev_");
    buffer(reduceA_dev_, nullptr, 8 * stage, "reduceA_dev_");
    buffer(reduceB_dev_, nullptr, 8 * stage, "reduceB_dev_");
    buffer(results_dev_, nullptr, 8 * 3, "results_dev_");
    if (!projected_) {
        const size_t K = kSearchCandidates;
        const size_t later = size_t(stageOf((long long)stage, int(kBlock)).threads);
        buffer(searchScale_dev_, nullptr, 8 * K, "searchScale_dev_");
        buffer(searchPartial_dev_, nullptr, 8 * K * stage, "searchPartial_dev_");
        buffer(searchReduceA_dev_, nullptr, 8 * K * later, "searchReduceA_dev_");
        buffer(searchReduceB_dev_, nullptr, 8 * K * later, "searchReduceB_dev_");
    }
}

DeviceDesignSums DeviceOptimizer::start(const DeviceStart& start, float* rho) {
    Driver& driver = solver_.driver();
    const size_t n = size_t(count_);
    // The weight sums: the filter's taps over a staged field of ones.
    checkDriver(driver.memsetD32(candidateX_dev_, 0x3f800000u, n),
                L"cuMemsetD32 failed for candidateX_dev_");
    stageDesign(candidateX_dev_);
    Int3 ed = ownElementDims();
    CUdeviceptr eg = ownElementGrid();
    CUdeviceptr padSums = whole(padSum_dev_, 8), W = whole(W_dev_, 8);
    KernelParams sums(ed, eg, paddedDims_, padding_, stageF_dev_, tapWeight_dev_, tapOffset_dev_,
                      numTaps_, padSums, W, runs_);
    launch(kernels_[kWeightSums], runs_, sums, kKernelNames[kWeightSums]);
    // The design, its filter and its densities; no energies yet.
    float value = start.value, lower = start.lower;
    const OwnBuffers o = owned();
    KernelParams design(o.flags, value, lower, o.x, count_);
    launch(kernels_[kInitialDesign], count_, design, kKernelNames[kInitialDesign]);
    filter(x_dev_, xTilde_dev_);
    densities(xTilde_dev_, rho_dev_, start.solidFlags, &start.projection, start.emptyDensity);
    checkDriver(driver.memsetD32(q_dev_, 0, 2 * n), L"cuMemsetD32 failed for q_dev_");
    formVolumeWeights();
    const DeviceDesignSums result = designSums();
    downloadElements(rho, rho_dev_, 4, "rho_dev_");
    return result;
}

void DeviceOptimizer::formVolumeWeights() {
    volumeOffset_ = 0.0;
    if (projected_) return;
    // c = the transposed filter of the designable set: staged 1 / W, gathered by the taps (the
    // gather's first output, the negated sum, is scratch).
    // The pad terms go to dv first, the gather's scratch output to dq.
    const OwnBuffers o = owned();
    const CUdeviceptr gridA = wholeStage(stageA_dev_, 8);
    KernelParams stage(o.positions, paddedDims_, padding_, o.flags, o.W, o.padSum, voidDensity_,
                       gridA, o.dv, count_);
    launch(kernels_[kVolumeWeights], count_, stage, kKernelNames[kVolumeWeights]);
    reduce(dv_dev_, count_, kSum, results_dev_);
    download(&volumeOffset_, results_dev_, 8, "results_dev_");
    const CombineOp sum = CombineOp::Sum;
    combine(&volumeOffset_, &sum, 1);
    gatherPair(stageA_dev_, stageA_dev_, dq_dev_, volumeWeight_dev_);
}

void DeviceOptimizer::gatherPair(CUdeviceptr first, CUdeviceptr second, CUdeviceptr firstOut,
                                 CUdeviceptr secondOut) {
    exchangeStage(first, 8);
    if (second != first) exchangeStage(second, 8);
    Int3 ed = ownElementDims();
    CUdeviceptr eg = ownElementGrid();
    CUdeviceptr outs[2] = {whole(firstOut, 8), whole(secondOut, 8)};
    KernelParams gather(ed, eg, paddedDims_, padding_, first, second, tapWeight_dev_,
                        tapOffset_dev_, numTaps_, outs[0], outs[1], runs_);
    launch(kernels_[kGather], runs_, gather, kKernelNames[kGather]);
}

DeviceDesignSums DeviceOptimizer::designSums() {
    return sums(x_dev_, rho_dev_);
}

void DeviceOptimizer::release() {
    if (!loaded_) return;
    CUdeviceptr* buffers[] = {
        &flags_dev_,       &x_dev_,          &rho_dev_,        &xTilde_dev_,
        &W_dev_,           &q_dev_,          &dq_dev_,         &dv_dev_,
        &candidateX_dev_,  &candidateRho_dev_, &candidateXTilde_dev_, &searchBase_dev_,
        &volumeWeight_dev_, &padSum_dev_,    &tapWeight_dev_,  &tapOffset_dev_,
        &stageF_dev_,      &stageA_dev_,     &stageB_dev_,     &partial_dev_,
        &reduceA_dev_,     &reduceB_dev_,    &results_dev_,    &searchScale_dev_,
        &searchPartial_dev_, &searchReduceA_dev_, &searchReduceB_dev_, &moves_dev_,
        &lastChange_dev_,  &orbit_dev_,      &orbitDq_dev_,    &orbitDv_dev_,
        &caseQ_dev_,       &solidRho_dev_,   &wholeDq_dev_,    &wholeDv_dev_};
    // A released solver has taken its context, and with it these buffers, along. Of the two
    // factor buffers, the one the solver does not use is this optimizer's.
    const bool live = solver_.isSetUp();
    CUdeviceptr factors = solver_.nextFactors();
    solver_.setOptimizerFactors(0);
    for (CUdeviceptr* p : buffers) {
        if (*p && live) solver_.driver().memFree(*p);
        *p = 0;
    }
    if (factors && live) solver_.driver().memFree(factors);
    allocated_ = 0;
    loaded_ = false;
}

void DeviceOptimizer::uploadDensities(const float* rho) {
    upload(rho_dev_, rho + first_, 4 * size_t(count_), "rho_dev_");
}

void DeviceOptimizer::updateStiffness(double base, double penalty) {
    CUdeviceptr E = solver_.nextFactors();
    CUdeviceptr rho = solidRho_dev_ ? solidRho_dev_ : rho_dev_;
    const CUdeviceptr ownE = own(E, 4);
    KernelParams params(rho, ownE, base, penalty, count_);
    launch(kernels_[kStiffness], count_, params, kKernelNames[kStiffness]);
    // The solve takes every element's factor.
    gatherInPlace(E, 4);
    solver_.factorsWritten();
}

void DeviceOptimizer::reduce(CUdeviceptr values, long long count, int op, CUdeviceptr result) {
    double none = std::numeric_limits<double>::quiet_NaN();
    if (count == 0) {
        // No items (a process whose layers hold no element): the sum 0, no extreme.
        const double empty = op == kSum ? 0.0 : none;
        upload(result, &empty, 8, "results_dev_");
        return;
    }
    CUdeviceptr in = values, spare = reduceA_dev_;
    long long n = count;
    int fanIn = kFanIn;
    do {
        Stage stage = stageOf(n, lanes_);
        CUdeviceptr out = stage.threads == 1 ? result : spare;
        KernelParams params(in, out, n, stage.threads, stage.lanes, fanIn, op, none);
        launch(kernels_[kReduce], stage.threads, params, kKernelNames[kReduce]);
        spare = out == reduceA_dev_ ? reduceB_dev_ : reduceA_dev_;
        in = out;
        n = stage.threads;
    } while (n > 1);
}

double DeviceOptimizer::elementEnergies(CUdeviceptr q) {
    if (!solver_.displacementOnDevice()) {
        // No displacement: every energy is 0.
        checkDriver(solver_.driver().memsetD32(q, 0, 2 * size_t(count_)),
                    L"cuMemsetD32 failed for the energies");
        return 0.0;
    }
    const FemModel& m = solver_.model();
    Int3 vd = int3Of(m.vertexDims(0));
    CUdeviceptr vg = solver_.vertexGrid_dev_[0], u = solver_.u_dev_[0];
    int nV = m.numVertices(0);
    const OwnBuffers o = owned();
    const CUdeviceptr ownE = own(solver_.E_dev_, 4);
    KernelParams params(o.positions, vd, vg, u, ownE, q, nV, count_);
    launch(kernels_[kEnergies], count_, params, kKernelNames[kEnergies]);
    reduce(q, count_, kSum, results_dev_);
    double sum = 0.0;
    download(&sum, results_dev_, 8, "results_dev_");
    const CombineOp op = CombineOp::Sum;
    combine(&sum, &op, 1);
    return sum;
}

double DeviceOptimizer::evaluateEnergies() {
    return elementEnergies(q_dev_);
}

double DeviceOptimizer::addCaseEnergies(double weight, bool first) {
    if (!caseQ_dev_)
        reportFatalError(__FILE__, __LINE__, L"No load-case energies buffer: the solver had one "
                                             L"load case when the optimizer was loaded");
    const double compliance = elementEnergies(caseQ_dev_);
    int isFirst = first ? 1 : 0;
    const OwnBuffers o = owned();
    KernelParams accumulate(o.caseQ, weight, isFirst, o.q, count_);
    launch(kernels_[kAccumulateEnergies], count_, accumulate,
           kKernelNames[kAccumulateEnergies]);
    return compliance;
}

double DeviceOptimizer::projectSolid(const DeviceProjection& projection, float emptyDensity) {
    if (!solidRho_dev_) return 0.0;
    densities(xTilde_dev_, solidRho_dev_, kElementKept, &projection, emptyDensity);
    return reducedSum();
}

double DeviceOptimizer::reducedSum() {
    reduce(partial_dev_, partials_.threads, kSum, results_dev_);
    double sum = 0.0;
    download(&sum, results_dev_, 8, "results_dev_");
    const CombineOp op = CombineOp::Sum;
    combine(&sum, &op, 1);
    return sum;
}

void DeviceOptimizer::computeSensitivities(const DeviceProjection& slope, uint8_t zeroFlags,
                                           double penalty, const DeviceProjection* solid,
                                           double volumeMix) {
    unsigned char zero = zeroFlags;
    double beta = slope.beta, eta = slope.eta, floor = slope.floor,
           denominator = slope.denominator;
    const bool eroded = solid && solidRho_dev_;
    double etaSolid = eroded ? solid->eta : eta,
           denominatorSolid = eroded ? solid->denominator : denominator;
    CUdeviceptr rhoSolid = eroded ? solidRho_dev_ : rho_dev_;
    const OwnBuffers o = owned();
    const CUdeviceptr gridA = wholeStage(stageA_dev_, 8), gridB = wholeStage(stageB_dev_, 8);
    KernelParams factors(o.positions, paddedDims_, padding_, o.flags, zero, o.xTilde, o.q,
                         rhoSolid, o.W, beta, eta, floor, denominator, etaSolid,
                         denominatorSolid, volumeMix, penalty, gridA, gridB, count_);
    launch(kernels_[kSensitivityFactors], count_, factors, kKernelNames[kSensitivityFactors]);
    gatherPair(stageA_dev_, stageB_dev_, dq_dev_, dv_dev_);
    if (orbitSize_ > 1) {
        // The orbit sums go to the second pair of buffers, which then become dq and dv. An
        // orbit's members lie anywhere in the grid: with a split every process has every
        // element's sensitivities first.
        CUdeviceptr allDq = dq_dev_, allDv = dv_dev_;
        if (split_) {
            gatherWhole(wholeDq_dev_, dq_dev_, 8);
            gatherWhole(wholeDv_dev_, dv_dev_, 8);
            allDq = wholeDq_dev_;
            allDv = wholeDv_dev_;
        }
        unsigned char held = kElementHeldDesign;
        KernelParams sums(orbit_dev_, orbitSize_, flags_dev_, held, allDq, allDv, orbitDq_dev_,
                          orbitDv_dev_, first_, count_);
        launch(kernels_[kOrbitSums], count_, sums, kKernelNames[kOrbitSums]);
        std::swap(dq_dev_, orbitDq_dev_);
        std::swap(dv_dev_, orbitDv_dev_);
    }
}

bool DeviceOptimizer::ratioRange(double& low, double& high) {
    double none = std::numeric_limits<double>::quiet_NaN();
    long long n = count_;
    CUdeviceptr lows = partial_dev_, highs = partial_dev_ + 8 * size_t(partials_.threads);
    int fanIn = kFanIn;
    const OwnBuffers o = owned();
    KernelParams params(o.flags, o.dq, o.dv, none, lows, highs, n, partials_.threads,
                        partials_.lanes, fanIn);
    launch(kernels_[kRatioRange], partials_.threads, params, kKernelNames[kRatioRange]);
    reduce(lows, partials_.threads, kMin, results_dev_);
    reduce(highs, partials_.threads, kMax, results_dev_ + 8);
    double range[2];
    download(range, results_dev_, 16, "results_dev_");
    const CombineOp ops[2] = {CombineOp::Min, CombineOp::Max};
    combine(range, ops, 2);
    if (std::isnan(range[0])) return false;
    low = range[0];
    high = range[1];
    return true;
}

void DeviceOptimizer::prepareSearch() {
    const OwnBuffers o = owned();
    KernelParams params(o.x, o.dq, o.dv, o.searchBase, count_);
    launch(kernels_[kSearchBase], count_, params, kKernelNames[kSearchBase]);
}

double DeviceOptimizer::searchVolume(double lambda, const DeviceLimits& limits) {
    double volume = 0.0;
    searchVolumes(&lambda, 1, limits, &volume);
    return volume;
}

void DeviceOptimizer::searchVolumes(const double* lambdas, int count, const DeviceLimits& limits,
                                    double* volumes) {
    if (count <= 0) return;
    if (count > kSearchCandidates)
        reportFatalError(__FILE__, __LINE__, L"Too many multipliers for one search pass");
    double scales[kSearchCandidates];
    for (int k = 0; k < count; ++k) scales[k] = 1.0 / std::sqrt(lambdas[k]);
    upload(searchScale_dev_, scales, 8 * size_t(count), "searchScale_dev_");
    double move = limits.move, lower = limits.lower, upper = limits.upper;
    long long n = count_;
    int fanIn = kFanIn, candidates = count;
    const OwnBuffers o = owned();
    KernelParams params(o.flags, o.x, o.searchBase, o.volumeWeight, searchScale_dev_,
                        candidates, move, lower, upper, searchPartial_dev_, n, partials_.threads,
                        partials_.lanes, fanIn);
    const long long groups = (count + kSearchGroup - 1) / kSearchGroup;
    launch(kernels_[kSearchVolumes], partials_.threads * groups, params,
           kKernelNames[kSearchVolumes]);
    // Each candidate's partials summed in ReduceKernel's stages, all candidates per launch.
    CUdeviceptr in = searchPartial_dev_, spare = searchReduceA_dev_;
    long long items = partials_.threads;
    while (items > 1) {
        const Stage stage = stageOf(items, lanes_);
        KernelParams reduce(in, spare, items, stage.threads, stage.lanes, fanIn, candidates);
        launch(kernels_[kReduceColumns], stage.threads * count, reduce,
               kKernelNames[kReduceColumns]);
        in = spare;
        spare = spare == searchReduceA_dev_ ? searchReduceB_dev_ : searchReduceA_dev_;
        items = stage.threads;
    }
    if (items == 0)  // no element of this process's: every sum 0
        for (int k = 0; k < count; ++k) volumes[k] = 0.0;
    else
        download(volumes, in, 8 * size_t(count), "search volumes");
    if (split_) {
        const std::vector<CombineOp> sums(size_t(count), CombineOp::Sum);
        combine(volumes, sums.data(), count);
    }
    for (int k = 0; k < count; ++k) volumes[k] += volumeOffset_;
}

void DeviceOptimizer::candidateDesign(double lambda, const DeviceLimits& limits) {
    double move = limits.move, lower = limits.lower, upper = limits.upper;
    const OwnBuffers o = owned();
    KernelParams params(o.flags, o.x, o.dq, o.dv, lambda, move, o.moves, lower, upper,
                        o.candidateX, count_);
    launch(kernels_[kCandidateDesign], count_, params, kKernelNames[kCandidateDesign]);
}

void DeviceOptimizer::stageDesign(CUdeviceptr in) {
    const OwnBuffers o = owned();
    const CUdeviceptr gridF = wholeStage(stageF_dev_, 4);
    KernelParams stage(o.positions, paddedDims_, padding_, in, gridF, count_);
    launch(kernels_[kStage], count_, stage, kKernelNames[kStage]);
    exchangeStage(stageF_dev_, 4);
}

void DeviceOptimizer::filter(CUdeviceptr in, CUdeviceptr out) {
    stageDesign(in);
    Int3 ed = ownElementDims();
    CUdeviceptr eg = ownElementGrid();
    CUdeviceptr W = whole(W_dev_, 8), padSums = whole(padSum_dev_, 8), filtered = whole(out, 4);
    KernelParams params(ed, eg, paddedDims_, padding_, stageF_dev_, tapWeight_dev_, tapOffset_dev_,
                        numTaps_, W, padSums, voidDensity_, filtered, runs_);
    launch(kernels_[kFilter], runs_, params, kKernelNames[kFilter]);
}

void DeviceOptimizer::densities(CUdeviceptr filtered, CUdeviceptr rho, uint8_t solidFlags,
                                const DeviceProjection* projection, float emptyDensity) {
    int project = projection ? 1 : 0;
    double beta = 0, eta = 0, floor = 0, base = 0, denominator = 1;
    if (projection) {
        beta = projection->beta;
        eta = projection->eta;
        floor = projection->floor;
        base = projection->base;
        denominator = projection->denominator;
    }
    long long n = count_;
    int fanIn = kFanIn;
    unsigned char solid = solidFlags;
    const OwnBuffers o = owned();
    KernelParams params(o.flags, solid, filtered, rho, project, beta, eta, floor, base,
                        denominator, emptyDensity, partial_dev_, n, partials_.threads,
                        partials_.lanes, fanIn);
    launch(kernels_[kCandidateDensities], partials_.threads, params,
           kKernelNames[kCandidateDensities]);
}

void DeviceOptimizer::finishSearch(double lambda, const DeviceLimits& limits, float emptyDensity) {
    candidateDesign(lambda, limits);
    filter(candidateX_dev_, candidateRho_dev_);
    densities(candidateRho_dev_, candidateRho_dev_, kElementKept, nullptr, emptyDensity);
}

double DeviceOptimizer::searchProjectedVolume(double lambda, const DeviceLimits& limits,
                                              const DeviceProjection& projection,
                                              float emptyDensity) {
    candidateDesign(lambda, limits);
    filter(candidateX_dev_, candidateXTilde_dev_);
    densities(candidateXTilde_dev_, candidateRho_dev_, kElementKept, &projection, emptyDensity);
    return reducedSum();
}

double DeviceOptimizer::searchMixedVolume(double lambda, const DeviceLimits& limits,
                                          const DeviceProjection& projection,
                                          const DeviceProjection& other, double mix,
                                          float emptyDensity) {
    candidateDesign(lambda, limits);
    filter(candidateX_dev_, candidateXTilde_dev_);
    densities(candidateXTilde_dev_, candidateRho_dev_, kElementKept, &other, emptyDensity);
    const double second = reducedSum();
    densities(candidateXTilde_dev_, candidateRho_dev_, kElementKept, &projection, emptyDensity);
    return (1.0 - mix) * reducedSum() + mix * second;
}

void DeviceOptimizer::adaptMoves(const DeviceMoveRule& rule) {
    if (!moves_dev_) return;
    double shrink = rule.shrink, growth = rule.growth, floorMove = rule.floor, maxMove = rule.max;
    const OwnBuffers o = owned();
    KernelParams params(o.x, o.candidateX, o.lastChange, o.moves, shrink, growth, floorMove,
                        maxMove, count_);
    launch(kernels_[kAdaptMoves], count_, params, kKernelNames[kAdaptMoves]);
}

void DeviceOptimizer::downloadMoves(float* moves) const {
    downloadElements(moves, moves_dev_, 4, "moves_dev_");
}

void DeviceOptimizer::downloadLastChanges(float* changes) const {
    downloadElements(changes, lastChange_dev_, 4, "lastChange_dev_");
}

DeviceDesignSums DeviceOptimizer::sums(CUdeviceptr candidate, CUdeviceptr rho) {
    long long n = count_;
    int fanIn = kFanIn;
    const size_t stride = 8 * size_t(partials_.threads);
    CUdeviceptr volume = partial_dev_, sharpness = partial_dev_ + stride,
                change = partial_dev_ + 2 * stride;
    const OwnBuffers o = owned();
    KernelParams params(o.flags, o.x, candidate, rho, volume, sharpness, change, n,
                        partials_.threads, partials_.lanes, fanIn);
    launch(kernels_[kDesignSums], partials_.threads, params, kKernelNames[kDesignSums]);
    reduce(volume, partials_.threads, kSum, results_dev_);
    reduce(sharpness, partials_.threads, kSum, results_dev_ + 8);
    reduce(change, partials_.threads, kMax, results_dev_ + 16);
    double values[3];
    download(values, results_dev_, sizeof values, "results_dev_");
    const CombineOp ops[3] = {CombineOp::Sum, CombineOp::Sum, CombineOp::Max};
    combine(values, ops, 3);
    return {values[0], values[1], values[2]};
}

DeviceDesignSums DeviceOptimizer::accept(float* rho) {
    const DeviceDesignSums result = sums(candidateX_dev_, candidateRho_dev_);
    std::swap(x_dev_, candidateX_dev_);
    std::swap(rho_dev_, candidateRho_dev_);
    if (projected_) std::swap(xTilde_dev_, candidateXTilde_dev_);
    downloadElements(rho, rho_dev_, 4, "rho_dev_");
    return result;
}

void DeviceOptimizer::downloadDesign(float* x) const {
    downloadElements(x, x_dev_, 4, "x_dev_");
}

void DeviceOptimizer::downloadDensities(float* rho) const {
    downloadElements(rho, rho_dev_, 4, "rho_dev_");
}

void DeviceOptimizer::downloadSolidDensities(float* rho) const {
    downloadElements(rho, solidRho_dev_, 4, "solidRho_dev_");
}

void DeviceOptimizer::downloadWeightSums(double* W) const {
    downloadElements(W, W_dev_, 8, "W_dev_");
}

void DeviceOptimizer::downloadFiltered(float* xTilde) const {
    downloadElements(xTilde, xTilde_dev_, 4, "xTilde_dev_");
}

void DeviceOptimizer::downloadEnergies(double* q) const {
    downloadElements(q, q_dev_, 8, "q_dev_");
}

void DeviceOptimizer::downloadSensitivities(double* dq, double* dv) const {
    downloadElements(dq, dq_dev_, 8, "dq_dev_");
    downloadElements(dv, dv_dev_, 8, "dv_dev_");
}

void DeviceOptimizer::downloadFactors(float* E) const {
    download(E, solver_.latestFactors(), 4 * size_t(n_), "E_dev_");
}

void DeviceOptimizer::downloadCandidates(float* x, float* rho) const {
    downloadElements(x, candidateX_dev_, 4, "candidateX_dev_");
    downloadElements(rho, candidateRho_dev_, 4, "candidateRho_dev_");
}

}  // namespace ostrel
