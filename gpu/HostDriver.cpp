#include "gpu/HostDriver.h"

#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel {

namespace {
// Handles the host device hands out: any non-null value that is not a valid pointer to use.
CUcontext const kHostContext = reinterpret_cast<CUcontext>(uintptr_t(0x1));
constexpr size_t kAlignment = 64;
}  // namespace

HostDriver::HostDriver(int threads, const HostModuleTable* module)
    : threads_(threads > 0 ? threads : omp_get_max_threads()),
      module_(module ? module : &builtInKernelModule()) {}

HostDriver::~HostDriver() {
    for (CUdeviceptr p : allocations_) std::free(reinterpret_cast<void*>(p));
    for (void* p : hostAllocations_) std::free(p);
}

std::string HostDriver::name() const {
    return "Host CPU (" + std::to_string(threads_) + (threads_ == 1 ? " thread)" : " threads)");
}

CUresult HostDriver::init(unsigned flags) {
    if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
    initialized_ = true;
    return CUDA_SUCCESS;
}

CUresult HostDriver::deviceGetCount(int* count) {
    if (!initialized_) return CUDA_ERROR_NOT_INITIALIZED;
    if (!count) return CUDA_ERROR_INVALID_VALUE;
    *count = 1;
    return CUDA_SUCCESS;
}

CUresult HostDriver::deviceGet(CUdevice* device, int ordinal) {
    if (!initialized_) return CUDA_ERROR_NOT_INITIALIZED;
    if (!device) return CUDA_ERROR_INVALID_VALUE;
    if (ordinal != 0) return CUDA_ERROR_INVALID_DEVICE;
    *device = 0;
    return CUDA_SUCCESS;
}

CUresult HostDriver::deviceTotalMem(size_t* bytes, CUdevice device) {
    if (!bytes) return CUDA_ERROR_INVALID_VALUE;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    *bytes = pages > 0 && pageSize > 0 ? size_t(pages) * size_t(pageSize) : 0;
    return CUDA_SUCCESS;
}

CUresult HostDriver::deviceGetName(char* name, int length, CUdevice device) {
    if (!name || length <= 0) return CUDA_ERROR_INVALID_VALUE;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    std::snprintf(name, size_t(length), "%s", this->name().c_str());
    return CUDA_SUCCESS;
}

CUresult HostDriver::ctxCreate(CUcontext* context, unsigned, CUdevice device) {
    if (!initialized_) return CUDA_ERROR_NOT_INITIALIZED;
    if (!context) return CUDA_ERROR_INVALID_VALUE;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    *context = kHostContext;
    hasContext_ = true;
    return CUDA_SUCCESS;
}

CUresult HostDriver::ctxDestroy(CUcontext context) {
    if (context != kHostContext || !hasContext_) return CUDA_ERROR_INVALID_HANDLE;
    hasContext_ = false;
    // Like a device context, the host context takes the memory allocated in it along.
    for (CUdeviceptr p : allocations_) std::free(reinterpret_cast<void*>(p));
    allocations_.clear();
    for (void* p : hostAllocations_) std::free(p);
    hostAllocations_.clear();
    return CUDA_SUCCESS;
}

CUresult HostDriver::moduleLoad(CUmodule* module, const char*) {
    if (!hasContext_) return CUDA_ERROR_INVALID_HANDLE;
    if (!module) return CUDA_ERROR_INVALID_VALUE;
    *module = reinterpret_cast<CUmodule>(const_cast<HostModuleTable*>(module_));
    return CUDA_SUCCESS;
}

CUresult HostDriver::moduleGetGlobal(CUdeviceptr* address, size_t* bytes, CUmodule module,
                                     const char* name) {
    if (!module || !name) return CUDA_ERROR_INVALID_VALUE;
    const auto& table = *reinterpret_cast<const HostModuleTable*>(module);
    auto it = table.globals.find(name);
    if (it == table.globals.end()) return CUDA_ERROR_NOT_FOUND;
    if (address) *address = reinterpret_cast<CUdeviceptr>(it->second.address);
    if (bytes) *bytes = it->second.bytes;
    return CUDA_SUCCESS;
}

CUresult HostDriver::moduleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    if (!function || !module || !name) return CUDA_ERROR_INVALID_VALUE;
    const auto& table = *reinterpret_cast<const HostModuleTable*>(module);
    auto it = table.kernels.find(name);
    if (it == table.kernels.end()) return CUDA_ERROR_NOT_FOUND;
    *function = reinterpret_cast<CUfunction>(const_cast<HostKernel*>(&it->second));
    return CUDA_SUCCESS;
}

CUresult HostDriver::memAlloc(CUdeviceptr* address, size_t bytes) {
    if (!address || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    // aligned_alloc, unlike operator new, leaves a failure to the caller (no new-handler runs),
    // so that it is answered with CUDA_ERROR_OUT_OF_MEMORY as a device answers.
    if (bytes > SIZE_MAX - kAlignment) return CUDA_ERROR_OUT_OF_MEMORY;
    void* p = std::aligned_alloc(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
    if (!p) return CUDA_ERROR_OUT_OF_MEMORY;
    *address = reinterpret_cast<CUdeviceptr>(p);
    allocations_.insert(*address);
    return CUDA_SUCCESS;
}

CUresult HostDriver::memFree(CUdeviceptr address) {
    auto it = allocations_.find(address);
    if (it == allocations_.end()) return CUDA_ERROR_INVALID_VALUE;
    std::free(reinterpret_cast<void*>(address));
    allocations_.erase(it);
    return CUDA_SUCCESS;
}

CUresult HostDriver::memAllocHost(void** address, size_t bytes) {
    if (!hasContext_) return CUDA_ERROR_INVALID_HANDLE;
    if (!address || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    if (bytes > SIZE_MAX - kAlignment) return CUDA_ERROR_OUT_OF_MEMORY;
    void* p = std::aligned_alloc(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
    if (!p) return CUDA_ERROR_OUT_OF_MEMORY;
    *address = p;
    hostAllocations_.insert(p);
    return CUDA_SUCCESS;
}

CUresult HostDriver::memFreeHost(void* address) {
    auto it = hostAllocations_.find(address);
    if (it == hostAllocations_.end()) return CUDA_ERROR_INVALID_VALUE;
    std::free(address);
    hostAllocations_.erase(it);
    return CUDA_SUCCESS;
}

CUresult HostDriver::memcpyHtoD(CUdeviceptr dst, const void* src, size_t bytes) {
    if (!dst || (!src && bytes)) return CUDA_ERROR_INVALID_VALUE;
    if (bytes) std::memcpy(reinterpret_cast<void*>(dst), src, bytes);
    return CUDA_SUCCESS;
}

CUresult HostDriver::memcpyDtoH(void* dst, CUdeviceptr src, size_t bytes) {
    if (!src || (!dst && bytes)) return CUDA_ERROR_INVALID_VALUE;
    if (bytes) std::memcpy(dst, reinterpret_cast<const void*>(src), bytes);
    return CUDA_SUCCESS;
}

CUresult HostDriver::memsetD32(CUdeviceptr dst, unsigned value, size_t count) {
    if (!dst) return CUDA_ERROR_INVALID_VALUE;
    auto* p = reinterpret_cast<uint32_t*>(dst);
    if (value == 0) {
        std::memset(p, 0, count * 4);
    } else {
        for (size_t i = 0; i < count; ++i) p[i] = value;
    }
    return CUDA_SUCCESS;
}

CUresult HostDriver::launchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz,
                                  unsigned bx, unsigned by, unsigned bz, unsigned sharedBytes,
                                  CUstream, void** params, void**) {
    if (!f || !params) return CUDA_ERROR_INVALID_VALUE;
    if (gx == 0 || gy == 0 || gz == 0 || bx == 0 || by != 1 || bz != 1 || sharedBytes != 0 ||
        gx > 2147483647u || gy > 65535u || gz > 65535u || bx > 1024u)
        return CUDA_ERROR_INVALID_VALUE;
    HostKernel kernel = *reinterpret_cast<HostKernel*>(f);
    const long long blocks = (long long)gx * gy * gz;
#pragma omp parallel for schedule(static) num_threads(threads_) if (blocks >= 64)
    for (long long b = 0; b < blocks; ++b) {
        unsigned x = unsigned(b % gx), y = unsigned(b / gx % gy), z = unsigned(b / gx / gy);
        setHostBlock(x, y, z, gx, gy, gz, bx);
        kernel(params);
    }
    return CUDA_SUCCESS;
}

LaunchGeometry launchGeometry(long long workItems, unsigned blockSize) {
    LaunchGeometry g;
    g.blockX = blockSize;
    long long blocks = (workItems + blockSize - 1) / blockSize;
    if (blocks <= 0) return g;
    long long gy = (blocks + 65534) / 65535;
    g.gridY = unsigned(gy);
    g.gridX = unsigned((blocks + gy - 1) / gy);
    return g;
}

}  // namespace ostrel
