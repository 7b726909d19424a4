#include "gpu/CudaDriver.h"

#include <dlfcn.h>

#include "core/FatalError.h"
#include "gpu/HostDriver.h"

namespace ostrel {

struct CudaDriver::Table {
    CUresult (*init)(unsigned);
    CUresult (*deviceGetCount)(int*);
    CUresult (*deviceGet)(CUdevice*, int);
    CUresult (*deviceTotalMem)(size_t*, CUdevice);
    CUresult (*deviceGetName)(char*, int, CUdevice);
    CUresult (*primaryCtxRetain)(CUcontext*, CUdevice);
    CUresult (*primaryCtxRelease)(CUdevice);
    CUresult (*ctxSetCurrent)(CUcontext);
    CUresult (*moduleLoad)(CUmodule*, const char*);
    CUresult (*moduleGetGlobal)(CUdeviceptr*, size_t*, CUmodule, const char*);
    CUresult (*moduleGetFunction)(CUfunction*, CUmodule, const char*);
    CUresult (*memAlloc)(CUdeviceptr*, size_t);
    CUresult (*memFree)(CUdeviceptr);
    CUresult (*memAllocHost)(void**, size_t);
    CUresult (*memFreeHost)(void*);
    CUresult (*memcpyHtoD)(CUdeviceptr, const void*, size_t);
    CUresult (*memcpyDtoH)(void*, CUdeviceptr, size_t);
    CUresult (*memsetD32)(CUdeviceptr, unsigned, size_t);
    CUresult (*launchKernel)(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned,
                             unsigned, unsigned, CUstream, void**, void**);
};

namespace {

// cuGetErrorName of the loaded driver (optional: resolved when the library has it), so that
// result codes of drivers newer than the name table are still named.
CUresult (*g_getErrorName)(CUresult, const char**) = nullptr;

const char* nameFromDriver(int code) {
    const char* name = nullptr;
    if (!g_getErrorName || g_getErrorName(code, &name) != CUDA_SUCCESS) return nullptr;
    return name;
}

// Same order as the members of CudaDriver::Table.
const char* const kSymbols[] = {
    "cuInit",
    "cuDeviceGetCount",
    "cuDeviceGet",
    "cuDeviceTotalMem_v2",
    "cuDeviceGetName",
    "cuDevicePrimaryCtxRetain",
    "cuDevicePrimaryCtxRelease_v2",
    "cuCtxSetCurrent",
    "cuModuleLoad",
    "cuModuleGetGlobal_v2",
    "cuModuleGetFunction",
    "cuMemAlloc_v2",
    "cuMemFree_v2",
    "cuMemAllocHost_v2",
    "cuMemFreeHost",
    "cuMemcpyHtoD_v2",
    "cuMemcpyDtoH_v2",
    "cuMemsetD32_v2",
    "cuLaunchKernel",
};
constexpr int kSymbolCount = int(sizeof(kSymbols) / sizeof(kSymbols[0]));
}  // namespace

const char* const* CudaDriver::symbolNames(int* count) {
    if (count) *count = kSymbolCount;
    return kSymbols;
}

CudaDriver::CudaDriver(const char* library) {
    static_assert(sizeof(Table) == kSymbolCount * sizeof(void*), "one pointer per export");
    void* h = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!h) return;
    fn_ = new Table{};
    void** slots = reinterpret_cast<void**>(fn_);
    for (int i = 0; i < kSymbolCount; ++i) {
        slots[i] = dlsym(h, kSymbols[i]);
        if (!slots[i]) {
            missing_ = kSymbols[i];
            delete fn_;
            fn_ = nullptr;
            dlclose(h);
            return;
        }
    }
    handle_ = h;
    g_getErrorName = reinterpret_cast<CUresult (*)(CUresult, const char**)>(
        dlsym(h, "cuGetErrorName"));
    if (g_getErrorName) setDriverResultNamer(&nameFromDriver);
}

CudaDriver::~CudaDriver() {
    delete fn_;
    // The library stays loaded: the driver keeps process-wide state and threads of its own.
}

CUresult CudaDriver::init(unsigned flags) { return fn_->init(flags); }
CUresult CudaDriver::deviceGetCount(int* count) { return fn_->deviceGetCount(count); }
CUresult CudaDriver::deviceGet(CUdevice* device, int ordinal) {
    return fn_->deviceGet(device, ordinal);
}
CUresult CudaDriver::deviceTotalMem(size_t* bytes, CUdevice device) {
    return fn_->deviceTotalMem(bytes, device);
}
CUresult CudaDriver::deviceGetName(char* name, int length, CUdevice device) {
    return fn_->deviceGetName(name, length, device);
}
CUresult CudaDriver::ctxCreate(CUcontext* context, unsigned, CUdevice device) {
    CUresult r = fn_->primaryCtxRetain(context, device);
    if (r != CUDA_SUCCESS) return r;
    contextDevice_ = device;
    return fn_->ctxSetCurrent(*context);
}
CUresult CudaDriver::ctxDestroy(CUcontext) {
    if (contextDevice_ < 0) return CUDA_ERROR_INVALID_HANDLE;
    fn_->ctxSetCurrent(nullptr);
    CUresult r = fn_->primaryCtxRelease(contextDevice_);
    contextDevice_ = -1;
    return r;
}
CUresult CudaDriver::moduleLoad(CUmodule* module, const char* path) {
    return fn_->moduleLoad(module, path);
}
CUresult CudaDriver::moduleGetGlobal(CUdeviceptr* address, size_t* bytes, CUmodule module,
                                     const char* name) {
    return fn_->moduleGetGlobal(address, bytes, module, name);
}
CUresult CudaDriver::moduleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    return fn_->moduleGetFunction(function, module, name);
}
CUresult CudaDriver::memAlloc(CUdeviceptr* address, size_t bytes) {
    return fn_->memAlloc(address, bytes);
}
CUresult CudaDriver::memFree(CUdeviceptr address) { return fn_->memFree(address); }
CUresult CudaDriver::memAllocHost(void** address, size_t bytes) {
    return fn_->memAllocHost(address, bytes);
}
CUresult CudaDriver::memFreeHost(void* address) { return fn_->memFreeHost(address); }
CUresult CudaDriver::memcpyHtoD(CUdeviceptr dst, const void* src, size_t bytes) {
    return fn_->memcpyHtoD(dst, src, bytes);
}
CUresult CudaDriver::memcpyDtoH(void* dst, CUdeviceptr src, size_t bytes) {
    return fn_->memcpyDtoH(dst, src, bytes);
}
CUresult CudaDriver::memsetD32(CUdeviceptr dst, unsigned value, size_t count) {
    return fn_->memsetD32(dst, value, count);
}
CUresult CudaDriver::launchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz,
                                  unsigned bx, unsigned by, unsigned bz, unsigned sharedBytes,
                                  CUstream stream, void** params, void** extra) {
    return fn_->launchKernel(f, gx, gy, gz, bx, by, bz, sharedBytes, stream, params, extra);
}

std::unique_ptr<Driver> openDriver(const DeviceOptions& options, const char* cudaLibrary) {
    if (!options.forceHost && cudaLibrary) {
        auto cuda = std::make_unique<CudaDriver>(cudaLibrary);
        if (cuda->loaded()) {
            CUresult r = cuda->init(0);
            int count = 0;
            // A stub library or a machine without devices leaves the host device. Any other
            // failure, also of the device count after a successful cuInit, stays with the
            // driver so that the set-up's error check reports it.
            if (r != CUDA_ERROR_STUB_LIBRARY && r != CUDA_ERROR_NO_DEVICE &&
                (r != CUDA_SUCCESS || cuda->deviceGetCount(&count) != CUDA_SUCCESS || count > 0))
                return cuda;
        }
    }
    return std::make_unique<HostDriver>(options.hostThreads);
}

}  // namespace ostrel
