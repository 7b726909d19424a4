#include "gpu/cudafem.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "core/Console.h"
#include "core/FatalError.h"
#include "fem/FemModel.h"
#include "fem/Operators.h"
#include "fem/RigidBodyModes.h"

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

// Directory of the running executable, with its trailing slash.
std::string executableDirectory() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return "";
    path.resize(size_t(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

CudaFem::CudaFem(FemModel& model, const DeviceOptions& options, std::unique_ptr<Driver> driver)
    : model_(model),
      driver_(driver ? std::move(driver) : openDriver(options)),
      wideLog_(&wideOut()),
      narrowLog_(&narrowOut()) {}

CudaFem::~CudaFem() { release(); }

CUdeviceptr CudaFem::allocate(size_t bytes, const char* name) {
    CUdeviceptr p = 0;
    check(driver_->memAlloc(&p, bytes), L"cuMemAlloc failed for " + fromUtf8(name));
    allocated_ += bytes;
    return p;
}

void CudaFem::upload(CUdeviceptr dst, const void* src, size_t bytes, const wchar_t* message) {
    check(driver_->memcpyHtoD(dst, src, bytes), message);
}

void CudaFem::setup() {
    FemModel& m = model_;
    const int L = m.numLevels_;
    check(driver_->init(0), L"cuInit failed");
    int count = 0;
    check(driver_->deviceGetCount(&count), L"cuDeviceGetCount failed");
    if (count == 0) {
        if (wideLog_) *wideLog_ << L"No CUDA device found\n" << std::flush;
        std::exit(-1);
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
    std::string modulePath = executableDirectory() + "cudafemkernels.ptx";
    check(driver_->moduleLoad(&module_, modulePath.c_str()), L"cuModuleLoad failed");

    CUdeviceptr ke = 0;
    size_t keBytes = 0;
    check(driver_->moduleGetGlobal(&ke, &keBytes, module_, "Ke_"), L"Symbol Ke_ not found");
    checkGlobalSize(L"Ke_", keBytes, sizeof(double) * 576);
    check(driver_->memcpyHtoD(ke, m.Ke_.data(), sizeof(double) * 576),
                 L"cuMemcpyHtoD failed for symbol Ke_");

    allocated_ = 0;
    elementGrid_dev_.assign(size_t(L), 0);
    elementPosition_dev_.assign(size_t(L), 0);
    vertexGrid_dev_.assign(size_t(L), 0);
    vertexPosition_dev_.assign(size_t(L), 0);
    u_dev_.assign(size_t(L), 0);
    b_dev_.assign(size_t(L), 0);
    A_dev_.assign(size_t(L), 0);
    for (int l = 0; l < L; ++l) {
        auto up = [&](std::vector<CUdeviceptr>& slot, const void* data, size_t n,
                      const char* bufName) {
            slot[size_t(l)] = allocate(n * 4, bufName);
            upload(slot[size_t(l)], data, n * 4,
                   (L"cuMemcpyHtoD failed for " + fromUtf8(bufName)).c_str());
        };
        up(elementGrid_dev_, m.elementGrid_[l].data(), m.elementGrid_[l].size(), "elementGrid_dev_");
        up(elementPosition_dev_, m.elementPosition_[l].data(), m.elementPosition_[l].size(),
           "elementPosition_dev_");
        up(vertexGrid_dev_, m.vertexGrid_[l].data(), m.vertexGrid_[l].size(), "vertexGrid_dev_");
        up(vertexPosition_dev_, m.vertexPosition_[l].data(), m.vertexPosition_[l].size(),
           "vertexPosition_dev_");
    }
    const size_t nV = size_t(m.numVertices(0)), nE = size_t(m.numElements_[0]);
    isVertexFixed_dev_ = allocate(nV, "isVertexFixed_dev_");
    E_dev_ = allocate(nE * 4, "E_dev_");
    vertexMass_dev_ = allocate(nV * 4, "vertexMass_dev_");
    f_dev_ = allocate(3 * nV * 4, "f_dev_");
    isBoundary_dev_ = allocate(nE, "isBoundary_dev_");
    isVoid_dev_ = allocate(nE, "isVoid_dev_");
    density_dev_ = allocate(nE * 4, "density_dev_");
    densityTilde_dev_ = allocate(nE * 4, "densityTilde_dev_");
    tilde_coef_dev_ = allocate(nE * 4, "tilde_coef_dev_");
    sum_count_dev_ = allocate(nE * 4, "sum_count_dev_");
    for (int l = 0; l < L; ++l) {
        const size_t n = size_t(m.numVertices(l));
        if (l != 1) {
            u_dev_[size_t(l)] = allocate(3 * n * 8, "u_dev_");
            check(driver_->memsetD32(u_dev_[size_t(l)], 0, 3 * n * 2),
                         L"cuMemsetD32 failed for u_dev_");
        }
        if (l >= 2) {
            b_dev_[size_t(l)] = allocate(3 * n * 8, "b_dev_");
            check(driver_->memsetD32(b_dev_[size_t(l)], 0, 3 * n * 2),
                         L"cuMemsetD32 failed for b_dev_");
            A_dev_[size_t(l)] = allocate(243 * n * 8, "A_dev_");
            check(driver_->memsetD32(A_dev_[size_t(l)], 0, 243 * n * 2),
                         L"cuMemsetD32 failed for A_dev_");
        }
    }
    r_norm = allocate(nV * 4, "r_norm");
    check(driver_->memsetD32(r_norm, 0, nV), L"cuMemsetD32 failed for r_norm");

    struct Lookup {
        CUfunction* handle;
        const char* name;
    } lookups[] = {
        {&gaussSeidelFinestLevelKernel_, "GaussSeidelFinestLevelKernel"},
        {&gaussSeidelKernel_, "GaussSeidelKernel"},
        {&computeResidualAndRestrictFinestLevelKernel_, "ComputeResidualAndRestrictFinestLevelKernel"},
        {&computeResidualAndRestrictKernel_, "ComputeResidualAndRestrictKernel"},
        {&interpolateFinestLevelKernel_, "InterpolateFinestLevelKernel"},
        {&interpolateKernel_, "InterpolateKernel"},
        {&pNormAverageKernel_, "pNormAverageKernel"},
        {&pNormAverageCoefKernel_, "pNormAverageCoefKernel"},
    };
    for (const Lookup& k : lookups)
        check(driver_->moduleGetFunction(k.handle, module_, k.name),
                     L"cuModuleGetFunction failed for " + fromUtf8(k.name));

    if (narrowLog_)
        *narrowLog_ << "Allocated GPU memory: " << double(allocated_) / double(1 << 20)
                    << " MB   (" << double(allocated_) / double(nE) << " Byte per element)\n"
                    << std::flush;
}

void CudaFem::release() {
    if (!setUp_) return;
    auto freeBuffer = [&](CUdeviceptr& p) {
        if (p) driver_->memFree(p);
        p = 0;
    };
    freeBuffer(r_norm);
    for (size_t l = 0; l < u_dev_.size(); ++l) {
        freeBuffer(A_dev_[l]);
        freeBuffer(b_dev_[l]);
        freeBuffer(u_dev_[l]);
    }
    freeBuffer(f_dev_);
    freeBuffer(vertexMass_dev_);
    freeBuffer(E_dev_);
    freeBuffer(isVertexFixed_dev_);
    for (size_t l = 0; l < elementGrid_dev_.size(); ++l) {
        freeBuffer(elementGrid_dev_[l]);
        freeBuffer(elementPosition_dev_[l]);
        freeBuffer(vertexGrid_dev_[l]);
        freeBuffer(vertexPosition_dev_[l]);
    }
    // The six buffers that nothing uses go with the context, detached below.
    isBoundary_dev_ = isVoid_dev_ = density_dev_ = densityTilde_dev_ = tilde_coef_dev_ =
        sum_count_dev_ = 0;
    driver_->ctxDestroy(context_);
    context_ = nullptr;
    module_ = nullptr;
    setUp_ = false;
}

double CudaFem::computeLoad() {
    FemModel& m = model_;
    const int nV = m.numVertices(0);
    const double volume = m.voxelSize_.x * m.voxelSize_.y * m.voxelSize_.z;
    m.f_.assign(size_t(3 * nV), 0.0f);
    for (int v = 0; v < nV; ++v) {
        GridPos p = unpack(m.vertexPosition_[0][size_t(v)]);
        double density = 0;
        for (int k = -1; k <= 0; ++k)
            for (int j = -1; j <= 0; ++j)
                for (int i = -1; i <= 0; ++i) {
                    int e = m.elementAt(0, {p.x + i, p.y + j, p.z + k});
                    if (e >= 0) density += m.density_[size_t(e)];
                }
        double w = volume * density * 0.125;
        m.f_[size_t(v)] = float(m.force_[3 * size_t(v)] + w * m.gravity_.x);
        m.f_[size_t(nV + v)] = float(m.force_[3 * size_t(v) + 1] + w * m.gravity_.y);
        m.f_[size_t(2 * nV + v)] = float(m.force_[3 * size_t(v) + 2] + w * m.gravity_.z);
    }
    upload(f_dev_, m.f_.data(), m.f_.size() * 4, L"cuMemcpyHtoD failed for f_dev_");
    double sum = 0;
    for (float x : m.f_) sum += double(x) * double(x);
    m.fNorm_ = std::sqrt(sum);
    return m.fNorm_;
}

void CudaFem::prepareSolve() {
    FemModel& m = model_;
    std::fill(m.vertexMass_.begin(), m.vertexMass_.end(), 0.0f);
    CUdeviceptr dt = 0;
    size_t dtBytes = 0;
    check(driver_->moduleGetGlobal(&dt, &dtBytes, module_, "dt_"), L"Symbol dt_ not found");
    checkGlobalSize(L"dt_", dtBytes, sizeof(double));
    check(driver_->memcpyHtoD(dt, &m.dt_, 8), L"cuMemcpyHtoD failed for symbol dt_");
    upload(isVertexFixed_dev_, m.isVertexFixed_.data(), m.isVertexFixed_.size(),
           L"cuMemcpyHtoD failed for isVertexFixed_dev_");
    upload(E_dev_, m.E_.data(), m.E_.size() * 4, L"cuMemcpyHtoD failed for E_dev_");
    upload(vertexMass_dev_, m.vertexMass_.data(), m.vertexMass_.size() * 4,
           L"cuMemcpyHtoD failed for vertexMass_dev_");
    assembleOperators(m);
    for (int l = 2; l < m.numLevels_; ++l)
        upload(A_dev_[size_t(l)], m.A_[size_t(l)].data(), m.A_[size_t(l)].size() * 8,
               L"cuMemcpyHtoD failed for A");
    // The factorization alone misses singular systems whose rounding leaves small positive
    // pivots (a hinge); the fixations are checked for free rigid-body modes as well.
    const bool held = fixationsHoldModel(m);
    coarseValid_ = factorCoarsestLevel(m) && held;
    if (!coarseValid_ && narrowLog_)
        *narrowLog_ << "WARNING: The coarsest-level system is singular (the fixed vertices do not "
                       "hold the model in place); "
                       "the solver cannot converge\n"
                    << std::flush;
}

void CudaFem::launch(CUfunction f, long long items, unsigned blockSize, void** params,
                     const wchar_t* message) {
    LaunchGeometry g = launchGeometry(items, blockSize);
    check(driver_->launchKernel(f, g.gridX, g.gridY, 1, g.blockX, 1, 1, 0, nullptr,
                                       params, nullptr),
                 message);
}

void CudaFem::smooth(int level) {
    FemModel& m = model_;
    const size_t l = size_t(level);
    Int3 vd = int3Of(m.vertexDims_[l]);
    CUdeviceptr vg = vertexGrid_dev_[l], vp = vertexPosition_dev_[l], u = u_dev_[l];
    int n = m.numVertices(level);
    for (int q = 0; q < 8; ++q) {
        int begin = m.colorOffsets_[l][size_t(q)], end = m.colorOffsets_[l][size_t(q) + 1];
        if (end <= begin) continue;
        if (level == 0) {
            Int3 ed = int3Of(m.elementDims_[0]);
            CUdeviceptr eg = elementGrid_dev_[0];
            void* params[] = {&ed, &eg, &vd, &vg, &vp, &isVertexFixed_dev_, &E_dev_,
                              &vertexMass_dev_, &f_dev_, &u, &n, &begin, &end};
            launch(gaussSeidelFinestLevelKernel_, end - begin, 128, params,
                   L"cuLaunchKernel failed for GaussSeidelFinestLevelKernel_");
        } else {
            CUdeviceptr b = b_dev_[l], A = A_dev_[l];
            void* params[] = {&vd, &vg, &vp, &u, &b, &A, &n, &begin, &end};
            launch(gaussSeidelKernel_, end - begin, 128, params,
                   L"cuLaunchKernel failed for GaussSeidelKernel_");
        }
    }
}

void CudaFem::residualAndRestrict(int level) {
    FemModel& m = model_;
    const size_t l = size_t(level), t = level == 0 ? 2 : l + 1;
    int n = m.numVertices(level), nt = m.numVertices(int(t));
    check(driver_->memsetD32(b_dev_[t], 0, size_t(3 * nt) * 2), L"cuMemsetD32 failed for b");
    check(driver_->memsetD32(u_dev_[t], 0, size_t(3 * nt) * 2), L"cuMemsetD32 failed for u");
    Int3 vd = int3Of(m.vertexDims_[l]), vdt = int3Of(m.vertexDims_[t]);
    CUdeviceptr vg = vertexGrid_dev_[l], vgt = vertexGrid_dev_[t], vp = vertexPosition_dev_[l];
    CUdeviceptr u = u_dev_[l], bt = b_dev_[t];
    if (level == 0) {
        Int3 ed = int3Of(m.elementDims_[0]);
        CUdeviceptr eg = elementGrid_dev_[0];
        void* params[] = {&ed, &eg, &vd, &vdt, &vg, &vgt, &vp, &isVertexFixed_dev_, &E_dev_,
                          &vertexMass_dev_, &f_dev_, &u, &bt, &r_norm, &n, &nt};
        launch(computeResidualAndRestrictFinestLevelKernel_, n, 128, params,
               L"cuLaunchKernel failed for ComputeResidualAndRestrictFinestLevelKernel_");
        check(driver_->memcpyDtoH(m.rNormHost_.data(), r_norm, size_t(n) * 4),
                     L"cuMemcpyDtoH failed for r_norm");
    } else {
        CUdeviceptr b = b_dev_[l], A = A_dev_[l];
        void* params[] = {&vd, &vdt, &vg, &vgt, &vp, &u, &b, &bt, &A, &n, &nt};
        launch(computeResidualAndRestrictKernel_, n, 128, params,
               L"cuLaunchKernel failed for ComputeResidualAndRestrictKernel_");
    }
}

void CudaFem::interpolate(int level) {
    FemModel& m = model_;
    const size_t l = size_t(level), s = level == 0 ? 2 : l + 1;
    int n = m.numVertices(level), ns = m.numVertices(int(s));
    Int3 vds = int3Of(m.vertexDims_[s]);
    CUdeviceptr vgs = vertexGrid_dev_[s], vp = vertexPosition_dev_[l];
    CUdeviceptr u = u_dev_[l], us = u_dev_[s];
    void* params[] = {&vds, &vgs, &vp, &u, &us, &n, &ns};
    if (level == 0)
        launch(interpolateFinestLevelKernel_, n, 32, params,
               L"cuLaunchKernel failed for InterpolateFinestLevelKernel_");
    else
        launch(interpolateKernel_, n, 32, params, L"cuLaunchKernel failed for InterpolateKernel_");
}

void CudaFem::coarseSolve() {
    FemModel& m = model_;
    const size_t c = size_t(m.coarsestLevel());
    const size_t n3 = size_t(3 * m.numVertices(int(c)));
    m.coarseRhs_.resize(n3);
    m.coarseSolution_.resize(n3);
    check(driver_->memcpyDtoH(m.coarseRhs_.data(), b_dev_[c], n3 * 8),
                 L"cuMemcpyDtoH failed for b");
    // Without a factor (singular coarsest system) the coarse correction is zero.
    if (!coarseValid_ || !m.coarseSolver_.solveWithFactor(m.coarseRhs_.data(),
                                                           m.coarseSolution_.data()))
        std::fill(m.coarseSolution_.begin(), m.coarseSolution_.end(), 0.0);
    check(driver_->memcpyHtoD(u_dev_[c], m.coarseSolution_.data(), n3 * 8),
                 L"cuMemcpyHtoD failed for u");
}

double CudaFem::residualNorm() const {
    double sum = 0;
    for (float r : model_.rNormHost_) sum += double(r);
    return std::sqrt(sum);
}

void CudaFem::vCycle() {
    const int L = model_.numLevels_;
    for (int l = 0; l <= L - 2; l = (l == 0 ? 2 : l + 1)) {
        smooth(l);
        residualAndRestrict(l);
    }
    coarseSolve();
    for (int l = L - 2 >= 2 ? L - 2 : 0; l >= 0; l = (l == 2 ? 0 : l - 1)) {
        interpolate(l);
        smooth(l);
        if (l == 0) break;
    }
}

bool CudaFem::solve(double tolerance) {
    FemModel& m = model_;
    lastCycles_ = 0;
    if (m.fNorm_ == 0.0) {
        std::fill(m.u_.begin(), m.u_.end(), 0.0);
        return true;
    }
    if (!coarseValid_) {
        // A singular system has no solution to converge to: no cycles, no displacement.
        std::fill(m.u_.begin(), m.u_.end(), 0.0);
        if (cycleSink_) *cycleSink_ << 0 << "\n" << std::flush;
        return false;
    }
    residualAndRestrict(0);
    int cycles = 0;
    double rel = 0;
    do {
        vCycle();
        rel = residualNorm() / m.fNorm_;
        if (narrowLog_) *narrowLog_ << "Residual within cycle " << cycles << ":  " << rel << "\n";
        ++cycles;
    } while (!(rel <= tolerance) && cycles < kMaxCycles);
    if (narrowLog_) narrowLog_->flush();
    lastCycles_ = cycles;
    if (cycleSink_) *cycleSink_ << cycles << "\n" << std::flush;
    check(driver_->memcpyDtoH(m.u_.data(), u_dev_[0], m.u_.size() * 8),
                 L"cuMemcpyDtoH failed for u");
    return rel <= tolerance;
}

}  // namespace ostrel
