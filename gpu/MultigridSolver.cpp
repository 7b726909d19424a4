#include "gpu/MultigridSolver.h"

#include <cassert>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "core/Console.h"
#include "core/ExecutablePath.h"
#include "core/FatalError.h"
#include "core/MemoryLimit.h"
#include "core/Timing.h"
#include "fem/FemModel.h"
#include "fem/LoadVector.h"
#include "fem/Operators.h"
#include "gpu/KernelParams.h"
#include "gpu/KernelTimer.h"

namespace ostrel {

namespace {

// The solver's error check: a failed driver call is fatal, reported with the line of the call
// (__builtin_LINE as a default argument is the caller's line, with g++ and with clang 14, whose
// standard library lacks std::source_location). The message is only built into a string when
// the call failed.
void check(CUresult code, std::wstring_view message, int line = __builtin_LINE()) {
    if (code != 0) reportDriverError(kSolverSourceFile, line, int(code), std::wstring(message));
}

// A module global of another size than the solver writes belongs to another module version:
// writing into it would corrupt the module's memory. Reported like a failed driver call.
void checkGlobalSize(const wchar_t* name, size_t bytes, size_t expected,
                     int line = __builtin_LINE()) {
    if (bytes != expected)
        check(CUDA_ERROR_INVALID_IMAGE,
              L"Symbol " + std::wstring(name) + L" has " + std::to_wstring(bytes) +
                  L" bytes, expected " + std::to_wstring(expected),
              line);
}

Int3 int3Of(const std::array<int, 3>& d) { return {d[0], d[1], d[2]}; }

using Clock = std::chrono::steady_clock;

// The assembly's element matrices: 36 node pairs of 3x3 blocks per element.
constexpr size_t kElementMatrixEntries = 36 * 9;
// Level-0 element positions inside a level-2 element (4:1 in each axis).
constexpr size_t kPositions = 64;
// Level-2 elements per tile of GalerkinElementFinestLevelKernel's items (kElementTile of the
// kernel source; the launch covers whole tiles).
constexpr long long kElementTile = 32;

}  // namespace

bool solveMethodNamed(std::string_view name, SolveMethod& method) {
    if (name == "vcycle") method = SolveMethod::VCycles;
    else if (name == "pcg") method = SolveMethod::ConjugateGradients;
    else return false;
    return true;
}

size_t residualSumEntries(size_t n) {
    size_t total = 0;
    do {
        n = (n + kResidualSumChunk - 1) / kResidualSumChunk;
        total += n;
    } while (n > 1);
    return total;
}

size_t conjugateGradientBytes(size_t vertices) {
    const size_t n = 3 * vertices;
    return n * (4 * 8 + 2 * 4) + residualSumEntries(n) * 8;
}

MultigridSolver::MultigridSolver(FemModel& model, const DeviceOptions& options, std::unique_ptr<Driver> driver)
    : model_(model),
      driver_(driver ? std::move(driver) : openDriver(options)),
      wideLog_(&wideOut()),
      narrowLog_(&narrowOut()) {}

MultigridSolver::~MultigridSolver() { release(); }

CUdeviceptr MultigridSolver::allocate(size_t bytes, const char* name) {
    CUdeviceptr p = 0;
    const CUresult code = driver_->memAlloc(&p, bytes);
    // The host device's memory is the process's own: running out of it is a limit of the
    // machine or of the process, reported as such, not a device fault.
    if (code == CUDA_ERROR_OUT_OF_MEMORY && driver_->isHost())
        throwOutOfMemory(L"the host device cannot allocate " +
                         formatGigabytes(double(bytes), true) + L" GB for " + fromUtf8(name));
    check(code, L"cuMemAlloc failed for " + fromUtf8(name));
    allocated_ += bytes;
    return p;
}

double* MultigridSolver::allocateHost(size_t doubles, const char* name) {
    void* p = nullptr;
    check(driver_->memAllocHost(&p, doubles * sizeof(double)),
          L"cuMemAllocHost failed for " + fromUtf8(name));
    return static_cast<double*>(p);
}

void MultigridSolver::upload(CUdeviceptr dst, const void* src, size_t bytes, const wchar_t* message) {
    check(driver_->memcpyHtoD(dst, src, bytes), message);
}

bool MultigridSolver::setup() {
    if (!openDevice()) return false;
    loadModule();
    allocateBuffers();
    allocateLoadCases();
    findKernels();

    buildPositionMatrices();
    allocateTransferBuffers();

    if (narrowLog_)
        *narrowLog_ << "Allocated GPU memory: " << double(allocated_) / double(1 << 20)
                    << " MB   (" << double(allocated_) / double(model_.numElements(0))
                    << " Byte per element)\n"
                    << std::flush;
    return true;
}

bool MultigridSolver::openDevice() {
    check(driver_->init(0), L"cuInit failed");
    int count = 0;
    check(driver_->deviceGetCount(&count), L"cuDeviceGetCount failed");
    if (count == 0) {
        if (wideLog_) *wideLog_ << L"No CUDA device found\n" << std::flush;
        return false;
    }
    if (wideLog_) *wideLog_ << L"#Devices: " << count << L"\n";
    char name[1024];
    for (int i = 0; i < count; ++i) {
        CUdevice dev = 0;
        size_t total = 0;
        check(driver_->deviceGet(&dev, i), L"cuDeviceGet failed");
        check(driver_->deviceTotalMem(&total, dev), L"cuDeviceTotalMem failed");
        check(driver_->deviceGetName(name, sizeof name, dev), L"cuDeviceGetName failed");
        if (wideLog_)
            *wideLog_ << L"CUDA device #" << i << L" (" << fromUtf8(name) << L"):  Global Mem: "
                      << total << L"\n";
    }
    if (wideLog_) wideLog_->flush();
    check(driver_->deviceGet(&device_, deviceOrdinal_), L"cuDeviceGet failed");
    check(driver_->deviceGetName(name, sizeof name, device_), L"cuDeviceGetName failed");
    deviceName_ = name;
    if (narrowLog_)
        *narrowLog_ << "Using CUDA device #" << deviceOrdinal_ << " (" << name << ") ..."
                    << std::endl;
    check(driver_->ctxCreate(&context_, 0, device_), L"cuCtxCreate failed");
    setUp_ = true;
    return true;
}

void MultigridSolver::loadModule() {
    std::string modulePath = executableDirectory() + "cudafemkernels.ptx";
    check(driver_->moduleLoad(&module_, modulePath.c_str()), L"cuModuleLoad failed");
    uploadElementMatrix();
}

void MultigridSolver::uploadElementMatrix() {
    CUdeviceptr ke = 0;
    size_t keBytes = 0;
    check(driver_->moduleGetGlobal(&ke, &keBytes, module_, "Ke_"), L"Symbol Ke_ not found");
    checkGlobalSize(L"Ke_", keBytes, sizeof(double) * 576);
    check(driver_->memcpyHtoD(ke, model_.Ke().data(), sizeof(double) * 576),
                 L"cuMemcpyHtoD failed for symbol Ke_");
}

void MultigridSolver::buildPositionMatrices() {
    // The 64 position matrices of the level-2 assembly, from Ke_ (once per element matrix).
    int positionItems = int(kElementMatrixEntries / 9 * kPositions);
    KernelParams positionParams(positionItems);
    launch(galerkinPositionMatricesKernel_, positionItems, 128, positionParams,
           L"cuLaunchKernel failed for GalerkinPositionMatricesKernel_");
}

void MultigridSolver::reloadElementMatrix() {
    uploadElementMatrix();
    buildPositionMatrices();
}

void MultigridSolver::allocateBuffers() {
    FemModel& m = model_;
    const int L = m.numLevels();
    allocated_ = 0;
    elementGrid_dev_.assign(size_t(L), 0);
    elementPosition_dev_.assign(size_t(L), 0);
    vertexGrid_dev_.assign(size_t(L), 0);
    vertexPosition_dev_.assign(size_t(L), 0);
    u_dev_.assign(size_t(L), 0);
    b_dev_.assign(size_t(L), 0);
    A_dev_.assign(size_t(L), 0);
    r_dev_.assign(size_t(L), 0);
    elementMatrix_dev_.assign(size_t(L), 0);
    for (int l = 0; l < L; ++l) uploadGrids(l);
    const size_t nV = size_t(m.numVertices(0)), nE = size_t(m.numElements(0));
    isVertexFixed_dev_ = allocate(nV, "isVertexFixed_dev_");
    E_dev_ = allocate(nE * 4, "E_dev_");
    vertexMass_dev_ = allocate(nV * 4, "vertexMass_dev_");
    f_dev_ = allocate(3 * nV * 4, "f_dev_");
    u_dev_[0] = allocate(3 * nV * 8, "u_dev_");
    check(driver_->memsetD32(u_dev_[0], 0, 3 * nV * 2), L"cuMemsetD32 failed for u_dev_");
    allocateCycleBuffers();
}

void MultigridSolver::uploadGrids(int l) {
    const FemModel& m = model_;
    auto up = [&](std::vector<CUdeviceptr>& slot, const void* data, size_t n, const char* bufName) {
        slot[size_t(l)] = allocate(n * 4, bufName);
        upload(slot[size_t(l)], data, n * 4,
               (L"cuMemcpyHtoD failed for " + fromUtf8(bufName)).c_str());
    };
    up(elementGrid_dev_, m.elementGrid(l).data(), m.elementGrid(l).size(), "elementGrid_dev_");
    up(elementPosition_dev_, m.elementPosition(l).data(), m.elementPosition(l).size(),
       "elementPosition_dev_");
    up(vertexGrid_dev_, m.vertexGrid(l).data(), m.vertexGrid(l).size(), "vertexGrid_dev_");
    up(vertexPosition_dev_, m.vertexPosition(l).data(), m.vertexPosition(l).size(),
       "vertexPosition_dev_");
}

void MultigridSolver::allocateCycleBuffers() {
    const FemModel& m = model_;
    const int L = m.numLevels();
    for (int l = 1; l < L; ++l)
        if (!elementGrid_dev_[size_t(l)]) uploadGrids(l);
    for (int l = 2; l < L; ++l) {
        const size_t n = size_t(m.numVertices(l));
        u_dev_[size_t(l)] = allocate(3 * n * 8, "u_dev_");
        check(driver_->memsetD32(u_dev_[size_t(l)], 0, 3 * n * 2),
              L"cuMemsetD32 failed for u_dev_");
        b_dev_[size_t(l)] = allocate(3 * n * 8, "b_dev_");
        check(driver_->memsetD32(b_dev_[size_t(l)], 0, 3 * n * 2),
              L"cuMemsetD32 failed for b_dev_");
        A_dev_[size_t(l)] = allocate(243 * n * 8, "A_dev_");
        check(driver_->memsetD32(A_dev_[size_t(l)], 0, 243 * n * 2),
              L"cuMemsetD32 failed for A_dev_");
    }
    const size_t nV = size_t(m.numVertices(0));
    r_norm = allocate(nV * 4, "r_norm");
    check(driver_->memsetD32(r_norm, 0, nV), L"cuMemsetD32 failed for r_norm");
    for (int l = 0; l <= L - 2; l = l == 0 ? 2 : l + 1) {
        const size_t points = m.vertexGrid(l).size();
        r_dev_[size_t(l)] = allocate(3 * points * 8, "r_dev_");
        check(driver_->memsetD32(r_dev_[size_t(l)], 0, 3 * points * 2),
              L"cuMemsetD32 failed for r_dev_");
    }
    residualSums_dev_ = allocate(residualSumEntries(nV) * 8, "residualSums_dev_");

    // Scratch of the operator assembly (prepareSolve fills it before every use).
    const size_t nE2 = size_t(m.numElements(2));
    galerkinWeights_dev_ = allocate(kPositions * nE2 * 4, "galerkinWeights_dev_");
    galerkinSpecial_dev_ = allocate(kPositions * nE2, "galerkinSpecial_dev_");
    for (int l = 2; l < L; ++l)
        elementMatrix_dev_[size_t(l)] =
            allocate(kElementMatrixEntries * size_t(m.numElements(l)) * 8, "elementMatrix_dev_");
    cyclesAllocated_ = true;
}

void MultigridSolver::allocateTransferBuffers() {
    // Page-locked host buffers of the transfers that remain: not device memory, not counted.
    const size_t nc = size_t(model_.numVertices(model_.coarsestLevel()));
    residualSumHost_ = allocateHost(1, "residualSumHost_");
    coarseRhsHost_ = allocateHost(3 * nc, "coarseRhsHost_");
    coarseSolutionHost_ = allocateHost(3 * nc, "coarseSolutionHost_");
    coarseOperatorHost_ = allocateHost(243 * nc, "coarseOperatorHost_");
}

void MultigridSolver::freeBuffer(CUdeviceptr& p) {
    if (p) driver_->memFree(p);
    p = 0;
}

void MultigridSolver::freeHostBuffer(double*& p) {
    if (p) driver_->memFreeHost(p);
    p = nullptr;
}

void MultigridSolver::releaseCycleBuffers() {
    freeHostBuffer(coarseOperatorHost_);
    freeHostBuffer(coarseSolutionHost_);
    freeHostBuffer(coarseRhsHost_);
    freeHostBuffer(residualSumHost_);
    for (CUdeviceptr* p : {&cgResidual_dev_, &cgRhs_dev_, &cgPreconditioned_dev_,
                           &cgDirection_dev_, &cgProduct_dev_, &cgZeroLoad_dev_, &cgSums_dev_})
        freeBuffer(*p);
    freeBuffer(residualSums_dev_);
    for (CUdeviceptr& p : r_dev_) freeBuffer(p);
    freeBuffer(r_norm);
    freeBuffer(galerkinWeights_dev_);
    freeBuffer(galerkinSpecial_dev_);
    for (CUdeviceptr& p : elementMatrix_dev_) freeBuffer(p);
    for (size_t l = 1; l < u_dev_.size(); ++l) {
        freeBuffer(A_dev_[l]);
        freeBuffer(b_dev_[l]);
        freeBuffer(u_dev_[l]);
    }
    for (size_t l = 1; l < elementGrid_dev_.size(); ++l) {
        freeBuffer(elementGrid_dev_[l]);
        freeBuffer(elementPosition_dev_[l]);
        freeBuffer(vertexGrid_dev_[l]);
        freeBuffer(vertexPosition_dev_[l]);
    }
    cyclesAllocated_ = false;
}

void MultigridSolver::setExternalSolve(ExternalSolve* engine) {
    external_ = engine;
    if (!setUp_) return;
    if (engine) {
        releaseCycleBuffers();
    } else if (!cyclesAllocated_) {
        allocateCycleBuffers();
        allocateTransferBuffers();
    }
}

void MultigridSolver::findKernels() {
    struct Lookup {
        CUfunction* handle;
        const char* name;
    } lookups[] = {
        {&gaussSeidelFinestLevelKernel_, "GaussSeidelFinestLevelKernel"},
        {&gaussSeidelKernel_, "GaussSeidelKernel"},
        {&computeResidualFinestLevelKernel_, "ComputeResidualFinestLevelKernel"},
        {&computeResidualKernel_, "ComputeResidualKernel"},
        {&restrictFinestLevelKernel_, "RestrictFinestLevelKernel"},
        {&restrictKernel_, "RestrictKernel"},
        {&interpolateFinestLevelKernel_, "InterpolateFinestLevelKernel"},
        {&interpolateKernel_, "InterpolateKernel"},
        {&pNormAverageKernel_, "pNormAverageKernel"},
        {&pNormAverageCoefKernel_, "pNormAverageCoefKernel"},
        {&partialSumsOfFloatsKernel_, "PartialSumsOfFloatsKernel"},
        {&partialSumsKernel_, "PartialSumsKernel"},
        {&galerkinPositionMatricesKernel_, "GalerkinPositionMatricesKernel"},
        {&galerkinWeightsKernel_, "GalerkinWeightsKernel"},
        {&galerkinElementFinestLevelKernel_, "GalerkinElementFinestLevelKernel"},
        {&galerkinElementKernel_, "GalerkinElementKernel"},
        {&galerkinStencilKernel_, "GalerkinStencilKernel"},
    };
    for (const Lookup& k : lookups)
        check(driver_->moduleGetFunction(k.handle, module_, k.name),
                     L"cuModuleGetFunction failed for " + fromUtf8(k.name));
}

void MultigridSolver::release() {
    if (!setUp_) return;
    releaseCycleBuffers();
    // Every load case's buffers but the selected one's, which are u_dev_[0] and f_dev_.
    for (size_t c = 0; c < caseSlots_.size(); ++c)
        if (int(c) != selectedCase_) {
            freeBuffer(caseSlots_[c].u);
            freeBuffer(caseSlots_[c].f);
        }
    caseSlots_.clear();
    selectedCase_ = 0;
    if (!u_dev_.empty()) freeBuffer(u_dev_[0]);
    freeBuffer(f_dev_);
    freeBuffer(vertexMass_dev_);
    freeBuffer(E_dev_);
    freeBuffer(isVertexFixed_dev_);
    if (!elementGrid_dev_.empty()) {
        freeBuffer(elementGrid_dev_[0]);
        freeBuffer(elementPosition_dev_[0]);
        freeBuffer(vertexGrid_dev_[0]);
        freeBuffer(vertexPosition_dev_[0]);
    }
    driver_->ctxDestroy(context_);
    context_ = nullptr;
    module_ = nullptr;
    setUp_ = false;
}

double MultigridSolver::computeLoad() {
    // The further cases first, so that case 0's load is the model's f_ at the end.
    for (int c = loadCaseCount() - 1; c >= 1; --c) {
        selectLoadCase(c);
        buildLoad(moreLoads_[size_t(c - 1)]);
    }
    selectLoadCase(0);
    return buildLoad(model_.forces());
}

void MultigridSolver::setMoreLoads(std::vector<std::vector<float>> forces) {
    selectLoadCase(0);
    if (setUp_)
        for (size_t c = 1; c < caseSlots_.size(); ++c) {
            driver_->memFree(caseSlots_[c].u);
            driver_->memFree(caseSlots_[c].f);
        }
    caseSlots_.clear();
    moreLoads_ = std::move(forces);
    if (setUp_) allocateLoadCases();
}

void MultigridSolver::setCaseForces(int c, std::vector<float> forces) {
    if (c < 1 || c >= loadCaseCount()) return;
    moreLoads_[size_t(c - 1)] = std::move(forces);
}

void MultigridSolver::allocateLoadCases() {
    caseSlots_.assign(size_t(loadCaseCount()), LoadCaseSlot{});
    selectedCase_ = 0;
    const size_t nV = size_t(model_.numVertices(0));
    for (size_t c = 1; c < caseSlots_.size(); ++c) {
        LoadCaseSlot& slot = caseSlots_[c];
        slot.u = allocate(3 * nV * 8, "u_dev_ of a load case");
        check(driver_->memsetD32(slot.u, 0, 3 * nV * 2), L"cuMemsetD32 failed for u_dev_");
        slot.f = allocate(3 * nV * 4, "f_dev_ of a load case");
        check(driver_->memsetD32(slot.f, 0, 3 * nV), L"cuMemsetD32 failed for f_dev_");
    }
}

void MultigridSolver::selectLoadCase(int c) {
    if (c == selectedCase_ || c < 0 || size_t(c) >= caseSlots_.size()) return;
    LoadCaseSlot& out = caseSlots_[size_t(selectedCase_)];
    out = {u_dev_[0], f_dev_, loadNorm_, displacementOnDevice_};
    const LoadCaseSlot& in = caseSlots_[size_t(c)];
    u_dev_[0] = in.u;
    f_dev_ = in.f;
    loadNorm_ = in.fNorm;
    displacementOnDevice_ = in.displaced;
    selectedCase_ = c;
}

double MultigridSolver::buildLoad(const std::vector<float>& forces) {
    FemModel& m = model_;
    std::vector<float> f = loadVector(m, forces);
    upload(f_dev_, f.data(), f.size() * 4, L"cuMemcpyHtoD failed for f_dev_");
    m.setLoad(std::move(f));
    loadNorm_ = m.loadNorm();
    return loadNorm_;
}

void MultigridSolver::prepareSolve() {
    if (external_) {
        prepareExternalSolve();
        return;
    }
    FemModel& m = model_;
    const Clock::time_point start = Clock::now();
    CUdeviceptr dt = 0;
    size_t dtBytes = 0;
    check(driver_->moduleGetGlobal(&dt, &dtBytes, module_, "dt_"), L"Symbol dt_ not found");
    checkGlobalSize(L"dt_", dtBytes, sizeof(double));
    const double timeStep = kMassTermTimeStep;
    check(driver_->memcpyHtoD(dt, &timeStep, 8), L"cuMemcpyHtoD failed for symbol dt_");
    upload(isVertexFixed_dev_, m.fixedFlags().data(), m.fixedFlags().size(),
           L"cuMemcpyHtoD failed for isVertexFixed_dev_");
    if (!optimizerOnDevice()) {
        upload(E_dev_, m.stiffnessFactors().data(), m.stiffnessFactors().size() * 4,
               L"cuMemcpyHtoD failed for E_dev_");
    } else if (factorsPending_) {
        std::swap(E_dev_, nextFactors_dev_);
        factorsPending_ = false;
    }
    check(driver_->memsetD32(vertexMass_dev_, 0, size_t(m.numVertices(0))),
          L"cuMemsetD32 failed for vertexMass_dev_");
    const Clock::time_point uploaded = Clock::now();
    assembleOperators();
    // Only the coarsest operator comes back, for the factorization (the copy also waits for the
    // assembly kernels).
    const size_t c = size_t(m.coarsestLevel());
    const size_t entries = 243 * size_t(m.numVertices(int(c)));
    check(driver_->memcpyDtoH(coarseOperatorHost_, A_dev_[c], entries * 8),
          L"cuMemcpyDtoH failed for A");
    m.setLevelOperator(int(c),
                       std::vector<double>(coarseOperatorHost_, coarseOperatorHost_ + entries));
    const Clock::time_point assembled = Clock::now();
    coarseValid_ = factorCoarsestLevel(m, coarse_);
    times_.uploads += secondsBetween(start, uploaded);
    times_.assembly += secondsBetween(uploaded, assembled);
    times_.factorization += secondsSince(assembled);
    warnIfSingular();
}

void MultigridSolver::assembleOperators() {
    FemModel& m = model_;
    const int L = m.numLevels();
    int nE0 = m.numElements(0), nE2 = m.numElements(2);
    check(driver_->memsetD32(galerkinWeights_dev_, 0, kPositions * size_t(nE2)),
          L"cuMemsetD32 failed for galerkinWeights_dev_");
    check(driver_->memsetD32(galerkinSpecial_dev_, 0, kPositions / 4 * size_t(nE2)),
          L"cuMemsetD32 failed for galerkinSpecial_dev_");
    Int3 ed0 = int3Of(m.elementDims(0)), vd0 = int3Of(m.vertexDims(0)),
         ed2 = int3Of(m.elementDims(2));
    CUdeviceptr eg0 = elementGrid_dev_[0], ep0 = elementPosition_dev_[0],
                vg0 = vertexGrid_dev_[0], eg2 = elementGrid_dev_[2],
                ep2 = elementPosition_dev_[2], k2 = elementMatrix_dev_[2];
    KernelParams weightParams(ed0, eg0, ep0, vd0, vg0, isVertexFixed_dev_, vertexMass_dev_, E_dev_,
                              ed2, eg2, galerkinWeights_dev_, galerkinSpecial_dev_, nE0);
    launch(galerkinWeightsKernel_, nE0, 128, weightParams,
           L"cuLaunchKernel failed for GalerkinWeightsKernel_");
    KernelParams level2Params(ed0, eg0, vd0, vg0, isVertexFixed_dev_, vertexMass_dev_, E_dev_, ep2,
                              galerkinWeights_dev_, galerkinSpecial_dev_, k2, nE2);
    const long long tiles = (nE2 + kElementTile - 1) / kElementTile;
    launch(galerkinElementFinestLevelKernel_, tiles * kElementTile * 36, 128, level2Params,
           L"cuLaunchKernel failed for GalerkinElementFinestLevelKernel_");
    for (int l = 3; l < L; ++l) {
        const size_t f = size_t(l - 1), c = size_t(l);
        Int3 edf = int3Of(m.elementDims(f));
        CUdeviceptr egf = elementGrid_dev_[f], epc = elementPosition_dev_[c],
                    kf = elementMatrix_dev_[f], kc = elementMatrix_dev_[c];
        int nc = m.numElements(c);
        KernelParams params(edf, egf, epc, kf, kc, nc);
        launch(galerkinElementKernel_, 36LL * nc, 128, params,
               L"cuLaunchKernel failed for GalerkinElementKernel_");
    }
    for (int l = 2; l < L; ++l) {
        const size_t i = size_t(l);
        Int3 ed = int3Of(m.elementDims(i)), vd = int3Of(m.vertexDims(i));
        CUdeviceptr eg = elementGrid_dev_[i], vg = vertexGrid_dev_[i],
                    vp = vertexPosition_dev_[i], k = elementMatrix_dev_[i], a = A_dev_[i];
        int n = m.numVertices(l);
        KernelParams params(ed, eg, vd, vg, vp, k, a, n);
        launch(galerkinStencilKernel_, 27LL * (long long)m.vertexGrid(i).size(), 128, params,
               L"cuLaunchKernel failed for GalerkinStencilKernel_");
    }
}

void MultigridSolver::downloadOperators() {
    FemModel& m = model_;
    for (int l = 2; l < m.numLevels(); ++l) {
        std::vector<double> A(243 * size_t(m.numVertices(l)));
        check(driver_->memcpyDtoH(A.data(), A_dev_[size_t(l)], A.size() * 8),
              L"cuMemcpyDtoH failed for A");
        m.setLevelOperator(l, std::move(A));
    }
}

void MultigridSolver::launch(CUfunction f, long long items, unsigned blockSize, void** params,
                     const wchar_t* message) {
    LaunchGeometry g = launchGeometry(items, blockSize);
    if (kernelTimer_) kernelTimer_->begin();
    check(driver_->launchKernel(f, g.gridX, g.gridY, 1, g.blockX, 1, 1, 0, nullptr,
                                       params, nullptr),
                 message);
    if (kernelTimer_) kernelTimer_->end();
}

void MultigridSolver::smooth(int level, bool reverse) {
    FemModel& m = model_;
    const size_t l = size_t(level);
    Int3 vd = int3Of(m.vertexDims(l));
    CUdeviceptr vg = vertexGrid_dev_[l], vp = vertexPosition_dev_[l], u = u_dev_[l];
    int n = m.numVertices(level);
    for (int step = 0; step < 8; ++step) {
        const int q = reverse ? 7 - step : step;
        int begin = m.colorOffsets(l)[size_t(q)], end = m.colorOffsets(l)[size_t(q) + 1];
        if (end <= begin) continue;
        if (level == 0) {
            Int3 ed = int3Of(m.elementDims(0));
            CUdeviceptr eg = elementGrid_dev_[0];
            KernelParams params(ed, eg, vd, vg, vp, isVertexFixed_dev_, E_dev_, vertexMass_dev_,
                                f_dev_, u, n, begin, end);
            launch(gaussSeidelFinestLevelKernel_, end - begin, 128, params,
                   L"cuLaunchKernel failed for GaussSeidelFinestLevelKernel_");
        } else {
            CUdeviceptr b = b_dev_[l], A = A_dev_[l];
            KernelParams params(vd, vg, vp, u, b, A, n, begin, end);
            launch(gaussSeidelKernel_, end - begin, 128, params,
                   L"cuLaunchKernel failed for GaussSeidelKernel_");
        }
    }
}

void MultigridSolver::residualAndRestrict(int level) {
    FemModel& m = model_;
    const size_t l = size_t(level), t = level == 0 ? 2 : l + 1;
    int n = m.numVertices(level), nt = m.numVertices(int(t));
    // The gather writes every entry of b; u of the target level starts the cycle from zero.
    check(driver_->memsetD32(u_dev_[t], 0, size_t(3 * nt) * 2), L"cuMemsetD32 failed for u");
    Int3 vd = int3Of(m.vertexDims(l)), vdt = int3Of(m.vertexDims(t));
    CUdeviceptr vg = vertexGrid_dev_[l], vp = vertexPosition_dev_[l], vgt = vertexGrid_dev_[t];
    CUdeviceptr u = u_dev_[l], r = r_dev_[l], bt = b_dev_[t];
    const long long targetPoints = (long long)m.vertexGrid(t).size();
    if (level == 0) {
        Int3 ed = int3Of(m.elementDims(0));
        CUdeviceptr eg = elementGrid_dev_[0];
        KernelParams params(ed, eg, vd, vg, vp, isVertexFixed_dev_, E_dev_, vertexMass_dev_, f_dev_,
                            u, r, r_norm, n);
        launch(computeResidualFinestLevelKernel_, n, 128, params,
               L"cuLaunchKernel failed for ComputeResidualFinestLevelKernel_");
        KernelParams restrictParams(vd, r, vdt, vgt, bt, nt);
        launch(restrictFinestLevelKernel_, targetPoints, 128, restrictParams,
               L"cuLaunchKernel failed for RestrictFinestLevelKernel_");
    } else {
        CUdeviceptr b = b_dev_[l], A = A_dev_[l];
        KernelParams params(vd, vg, vp, u, b, r, A, n);
        launch(computeResidualKernel_, n, 128, params,
               L"cuLaunchKernel failed for ComputeResidualKernel_");
        KernelParams restrictParams(vd, r, vdt, vgt, bt, nt);
        launch(restrictKernel_, targetPoints, 128, restrictParams,
               L"cuLaunchKernel failed for RestrictKernel_");
    }
}

void MultigridSolver::interpolate(int level) {
    FemModel& m = model_;
    const size_t l = size_t(level), s = level == 0 ? 2 : l + 1;
    int n = m.numVertices(level), ns = m.numVertices(int(s));
    Int3 vds = int3Of(m.vertexDims(s));
    CUdeviceptr vgs = vertexGrid_dev_[s], vp = vertexPosition_dev_[l];
    CUdeviceptr u = u_dev_[l], us = u_dev_[s];
    KernelParams params(vds, vgs, vp, u, us, n, ns);
    if (level == 0)
        launch(interpolateFinestLevelKernel_, n, 32, params,
               L"cuLaunchKernel failed for InterpolateFinestLevelKernel_");
    else
        launch(interpolateKernel_, n, 32, params, L"cuLaunchKernel failed for InterpolateKernel_");
}

void MultigridSolver::coarseSolve() {
    FemModel& m = model_;
    const size_t c = size_t(m.coarsestLevel());
    const size_t n3 = size_t(3 * m.numVertices(int(c)));
    check(driver_->memcpyDtoH(coarseRhsHost_, b_dev_[c], n3 * 8), L"cuMemcpyDtoH failed for b");
    // Without a factor (singular coarsest system) the coarse correction is zero.
    const Clock::time_point start = Clock::now();
    if (!coarseValid_ || !coarse_.solver.solveWithFactor(coarseRhsHost_, coarseSolutionHost_))
        std::fill(coarseSolutionHost_, coarseSolutionHost_ + n3, 0.0);
    times_.coarseSolves += secondsSince(start);
    check(driver_->memcpyHtoD(u_dev_[c], coarseSolutionHost_, n3 * 8),
          L"cuMemcpyHtoD failed for u");
}

double MultigridSolver::residualNorm() { return std::sqrt(sumOnDevice(r_norm, model_.numVertices(0))); }

double MultigridSolver::sumOnDevice(CUdeviceptr values, int n) {
    assert(n >= 1 && n <= model_.numVertices(0));
    // ceil(n/32) partial sums of the values, then of those, ... until one is left.
    CUdeviceptr in = values, out = residualSums_dev_;
    int chunk = kResidualSumChunk;
    for (bool first = true;; first = false) {
        int parts = (n + kResidualSumChunk - 1) / kResidualSumChunk;
        KernelParams params(in, n, out, chunk);
        if (first)
            launch(partialSumsOfFloatsKernel_, parts, 128, params,
                   L"cuLaunchKernel failed for PartialSumsOfFloatsKernel_");
        else
            launch(partialSumsKernel_, parts, 128, params,
                   L"cuLaunchKernel failed for PartialSumsKernel_");
        if (parts == 1) break;
        in = out;
        out += CUdeviceptr(parts) * 8;
        n = parts;
    }
    check(driver_->memcpyDtoH(residualSumHost_, out, 8), L"cuMemcpyDtoH failed for r_norm");
    return *residualSumHost_;
}

void MultigridSolver::vCycle(bool symmetric) {
    const int L = model_.numLevels();
    for (int l = 0; l <= L - 2; l = (l == 0 ? 2 : l + 1)) {
        smooth(l);
        residualAndRestrict(l);
    }
    coarseSolve();
    for (int l = L - 2 >= 2 ? L - 2 : 0; l >= 0; l = (l == 2 ? 0 : l - 1)) {
        interpolate(l);
        smooth(l, symmetric);
        if (l == 0) break;
    }
}

bool MultigridSolver::solve(double tolerance) {
    FemModel& m = model_;
    lastCycles_ = 0;
    lastRelative_ = 0;
    displacementOnDevice_ = false;
    lastStopped_ = false;
    if (loadNorm_ == 0.0) {
        m.clearDisplacement();
        return true;
    }
    if (!coarseValid_) {
        // A singular system has no solution to converge to: no cycles, no displacement.
        m.clearDisplacement();
        if (cycleSink_) *cycleSink_ << 0 << "\n" << std::flush;
        return false;
    }
    const Clock::time_point start = Clock::now();
    double rel = 0;
    const int cycles = external_ ? runExternalSolve(tolerance, rel)
                       : method_ == SolveMethod::ConjugateGradients
                           ? runConjugateGradients(tolerance, rel)
                           : runVCycles(tolerance, rel);
    if (narrowLog_) narrowLog_->flush();
    lastCycles_ = cycles;
    if (lastStopped_) return false;
    lastRelative_ = rel;
    const Clock::time_point cycled = Clock::now();
    times_.cycles += secondsBetween(start, cycled);
    if (cycleSink_) *cycleSink_ << cycles << "\n" << std::flush;
    displacementOnDevice_ = true;
    if (!optimizerOnDevice()) downloadDisplacements();
    times_.copies += secondsSince(cycled);
    return rel <= tolerance;
}

void MultigridSolver::warnIfSingular() const {
    if (!coarseValid_ && narrowLog_)
        *narrowLog_ << "WARNING: The coarsest-level system is singular (the fixed vertices do not "
                       "hold the model in place); "
                       "the solver cannot converge\n"
                    << std::flush;
}

void MultigridSolver::prepareExternalSolve() {
    FemModel& m = model_;
    const Clock::time_point start = Clock::now();
    // The optimizer on the device wrote the factors there: the engine reads the model's.
    if (optimizerOnDevice()) {
        if (factorsPending_) {
            std::swap(E_dev_, nextFactors_dev_);
            factorsPending_ = false;
        }
        std::vector<float> factors(size_t(m.numElements(0)));
        check(driver_->memcpyDtoH(factors.data(), E_dev_, factors.size() * 4),
              L"cuMemcpyDtoH failed for E_dev_");
        m.setStiffnessFactors(std::move(factors));
    } else {
        upload(E_dev_, m.stiffnessFactors().data(), m.stiffnessFactors().size() * 4,
               L"cuMemcpyHtoD failed for E_dev_");
    }
    const Clock::time_point uploaded = Clock::now();
    coarseValid_ = external_->prepare();
    times_.uploads += secondsBetween(start, uploaded);
    times_.assembly += secondsSince(uploaded);
    warnIfSingular();
}

int MultigridSolver::runExternalSolve(double tolerance, double& rel) {
    const size_t n = 3 * size_t(model_.numVertices(0));
    // The engine solves in the case's buffers where the host can reach them, from the warm
    // start there (the case's last displacement, zero before its first solve); a device's are
    // copied out and the solution back.
    auto* load = static_cast<const float*>(driver_->hostAddress(f_dev_));
    auto* u = static_cast<double*>(driver_->hostAddress(u_dev_[0]));
    std::vector<float> loadCopy;
    std::vector<double> uCopy;
    if (!load || !u) {
        loadCopy.resize(n);
        uCopy.resize(n);
        check(driver_->memcpyDtoH(loadCopy.data(), f_dev_, n * 4),
              L"cuMemcpyDtoH failed for f_dev_");
        check(driver_->memcpyDtoH(uCopy.data(), u_dev_[0], n * 8), L"cuMemcpyDtoH failed for u");
        load = loadCopy.data();
        u = uCopy.data();
    }
    const ExternalSolveResult result = external_->solve({load, n}, {u, n}, tolerance);
    if (!uCopy.empty()) upload(u_dev_[0], u, n * 8, L"cuMemcpyHtoD failed for u");
    rel = result.relativeResidual;
    if (narrowLog_)
        *narrowLog_ << "Residual after " << result.iterations << " iterations:  " << rel << "\n";
    // A solve that missed its tolerance counts as one, whatever residual the engine measured.
    if (!result.converged && rel <= tolerance) rel = std::nextafter(tolerance, 1.0);
    return result.iterations;
}

int MultigridSolver::runVCycles(double tolerance, double& rel) {
    // Every cycle computes the residual, its norm and the restriction itself before it reads them.
    int cycles = 0;
    do {
        vCycle();
        rel = residualNorm() / loadNorm_;
        if (narrowLog_) *narrowLog_ << "Residual within cycle " << cycles << ":  " << rel << "\n";
        ++cycles;
    } while (!(rel <= tolerance) && cycles < kMaxCycles &&
             !(lastStopped_ = stopRequested_ && stopRequested_()));
    return cycles;
}

void MultigridSolver::setSolveMethod(SolveMethod method) {
    method_ = method;
    if (method_ == SolveMethod::ConjugateGradients && setUp_) prepareConjugateGradients();
}

void MultigridSolver::prepareConjugateGradients() {
    if (cgSums_dev_) return;
    struct Lookup {
        CUfunction* handle;
        const char* name;
    } lookups[] = {
        {&cgOperatorKernel_, "CgOperatorKernel"}, {&cgDotKernel_, "CgDotKernel"},
        {&cgDirectionKernel_, "CgDirectionKernel"}, {&cgStepKernel_, "CgStepKernel"},
        {&cgRoundKernel_, "CgRoundKernel"},
    };
    for (const Lookup& k : lookups)
        check(driver_->moduleGetFunction(k.handle, module_, k.name),
              L"cuModuleGetFunction failed for " + fromUtf8(k.name));
    const size_t n = 3 * size_t(model_.numVertices(0));
    cgResidual_dev_ = allocate(n * 8, "cgResidual_dev_");
    cgRhs_dev_ = allocate(n * 4, "cgRhs_dev_");
    cgPreconditioned_dev_ = allocate(n * 8, "cgPreconditioned_dev_");
    cgDirection_dev_ = allocate(n * 8, "cgDirection_dev_");
    cgProduct_dev_ = allocate(n * 8, "cgProduct_dev_");
    cgZeroLoad_dev_ = allocate(n * 4, "cgZeroLoad_dev_");
    check(driver_->memsetD32(cgZeroLoad_dev_, 0, n), L"cuMemsetD32 failed for cgZeroLoad_dev_");
    cgSums_dev_ = allocate(residualSumEntries(n) * 8, "cgSums_dev_");
}

double MultigridSolver::finishSums(CUdeviceptr sums, int parts) {
    CUdeviceptr in = sums;
    int n = parts, chunk = kResidualSumChunk;
    while (n > 1) {
        parts = (n + kResidualSumChunk - 1) / kResidualSumChunk;
        CUdeviceptr out = in + CUdeviceptr(n) * 8;
        KernelParams params(in, n, out, chunk);
        launch(partialSumsKernel_, parts, 128, params,
               L"cuLaunchKernel failed for PartialSumsKernel_");
        in = out;
        n = parts;
    }
    check(driver_->memcpyDtoH(residualSumHost_, in, 8), L"cuMemcpyDtoH failed for a sum");
    return *residualSumHost_;
}

double MultigridSolver::dotOnDevice(CUdeviceptr a, CUdeviceptr b, int n) {
    assert(cgSums_dev_ && n >= 1 && n <= 3 * model_.numVertices(0));
    int chunk = kResidualSumChunk;
    const int parts = (n + chunk - 1) / chunk;
    KernelParams params(a, b, n, cgSums_dev_, chunk);
    launch(cgDotKernel_, parts, 128, params, L"cuLaunchKernel failed for CgDotKernel_");
    return finishSums(cgSums_dev_, parts);
}

double MultigridSolver::roundResidual() {
    int n = 3 * model_.numVertices(0), chunk = kResidualSumChunk;
    const int parts = (n + chunk - 1) / chunk;
    KernelParams params(cgResidual_dev_, cgRhs_dev_, n, cgSums_dev_, chunk);
    launch(cgRoundKernel_, parts, 128, params, L"cuLaunchKernel failed for CgRoundKernel_");
    return std::sqrt(finishSums(cgSums_dev_, parts));
}

void MultigridSolver::applyOperator(CUdeviceptr load, CUdeviceptr u, CUdeviceptr out,
                                   double scale) {
    FemModel& m = model_;
    Int3 ed = int3Of(m.elementDims(0)), vd = int3Of(m.vertexDims(0));
    CUdeviceptr eg = elementGrid_dev_[0], vg = vertexGrid_dev_[0], vp = vertexPosition_dev_[0];
    int n = m.numVertices(0);
    KernelParams params(ed, eg, vd, vg, vp, isVertexFixed_dev_, E_dev_, vertexMass_dev_, load, u,
                        out, scale, n);
    launch(cgOperatorKernel_, n, 128, params, L"cuLaunchKernel failed for CgOperatorKernel_");
}

void MultigridSolver::applyCycle(CUdeviceptr rhs, CUdeviceptr out, bool symmetric) {
    const size_t n = 3 * size_t(model_.numVertices(0));
    check(driver_->memsetD32(out, 0, 2 * n), L"cuMemsetD32 failed for the cycle's output");
    // The cycle works on u_dev_[0] with the load f_dev_: it borrows both places.
    std::swap(u_dev_[0], out);
    std::swap(f_dev_, rhs);
    vCycle(symmetric);
    std::swap(f_dev_, rhs);
    std::swap(u_dev_[0], out);
}

int MultigridSolver::runConjugateGradients(double tolerance, double& rel) {
    // Solves K u = f on the free vertices (the entries of fixed vertices stay 0 in every
    // vector but u, which keeps its own) from the warm start u_dev_[0]. The preconditioner is
    // one symmetric V-cycle, a symmetric positive definite approximation of K^-1, so the
    // iteration is plain preconditioned conjugate gradients. Once the recurred residual meets
    // the tolerance, the true residual f - K u decides; when it does not meet it, it replaces
    // the recurred one and the iteration goes on.
    prepareConjugateGradients();
    const FemModel& m = model_;
    const int n = 3 * m.numVertices(0);
    CUdeviceptr u = u_dev_[0];
    applyOperator(f_dev_, u, cgResidual_dev_, 1.0);
    rel = roundResidual() / loadNorm_;
    int cycles = 0;
    double rho = 0;
    while (!(rel <= tolerance) && cycles < kMaxCycles) {
        applyCycle(cgRhs_dev_, cgPreconditioned_dev_, true);
        const double rhoNext = dotOnDevice(cgResidual_dev_, cgPreconditioned_dev_, n);
        double beta = cycles == 0 ? 0.0 : rhoNext / rho;
        rho = rhoNext;
        KernelParams directionParams(cgPreconditioned_dev_, cgDirection_dev_, beta, n);
        launch(cgDirectionKernel_, n, 128, directionParams,
               L"cuLaunchKernel failed for CgDirectionKernel_");
        applyOperator(cgZeroLoad_dev_, cgDirection_dev_, cgProduct_dev_, -1.0);
        const double curvature = dotOnDevice(cgDirection_dev_, cgProduct_dev_, n);
        // A zero or negative curvature only comes from a residual that is zero (to rounding)
        // or from a broken operator: no step can lower the residual further.
        if (!(rho > 0) || !(curvature > 0)) break;
        double alpha = rho / curvature;
        KernelParams stepParams(alpha, cgDirection_dev_, cgProduct_dev_, u, cgResidual_dev_, n);
        launch(cgStepKernel_, n, 128, stepParams, L"cuLaunchKernel failed for CgStepKernel_");
        rel = roundResidual() / loadNorm_;
        if (rel <= tolerance) {
            applyOperator(f_dev_, u, cgResidual_dev_, 1.0);
            rel = roundResidual() / loadNorm_;
        }
        if (narrowLog_) *narrowLog_ << "Residual within cycle " << cycles << ":  " << rel << "\n";
        ++cycles;
        if (!(rel <= tolerance) && cycles < kMaxCycles && stopRequested_ &&
            (lastStopped_ = stopRequested_()))
            break;
    }
    return cycles;
}

void MultigridSolver::downloadDisplacements() {
    FemModel& m = model_;
    if (!displacementOnDevice_) {
        m.clearDisplacement();
        return;
    }
    m.setDisplacement(lastDisplacement());
}

std::vector<double> MultigridSolver::lastDisplacement() const {
    std::vector<double> u(3 * size_t(model_.numVertices(0)), 0.0);
    if (displacementOnDevice_)
        check(driver_->memcpyDtoH(u.data(), u_dev_[0], u.size() * 8),
              L"cuMemcpyDtoH failed for u");
    return u;
}

std::vector<std::vector<double>> MultigridSolver::caseDisplacements(
    std::vector<uint8_t>& solved) {
    const size_t n = 3 * size_t(model_.numVertices(0));
    solved.clear();
    if (!setUp_) return {};
    const int selected = selectedCase_;
    const size_t cases = size_t(loadCaseCount());
    std::vector<std::vector<double>> u(cases, std::vector<double>(n));
    solved.assign(u.size(), 0);
    for (int c = 0; c < loadCaseCount(); ++c) {
        selectLoadCase(c);
        solved[size_t(c)] = displacementOnDevice_ ? 1 : 0;
        check(driver_->memcpyDtoH(u[size_t(c)].data(), u_dev_[0], n * 8),
              L"cuMemcpyDtoH failed for u");
    }
    selectLoadCase(selected);
    return u;
}

bool MultigridSolver::setCaseDisplacements(const std::vector<std::vector<double>>& u,
                                           const std::vector<uint8_t>& solved) {
    const size_t n = 3 * size_t(model_.numVertices(0));
    const size_t cases = size_t(loadCaseCount());
    if (!setUp_ || u.size() != cases || solved.size() != cases) return false;
    for (const std::vector<double>& v : u)
        if (v.size() != n) return false;
    const int selected = selectedCase_;
    for (int c = 0; c < loadCaseCount(); ++c) {
        selectLoadCase(c);
        upload(u_dev_[0], u[size_t(c)].data(), n * 8, L"cuMemcpyHtoD failed for u");
        displacementOnDevice_ = solved[size_t(c)] != 0;
    }
    selectLoadCase(selected);
    return true;
}

}  // namespace ostrel
