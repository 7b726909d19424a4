#pragma once
// The real CUDA driver, loaded at run time with dlopen so that executables start where no
// driver is installed. Resolves the versioned exports whose legacy names have 32-bit
// signatures (cuMemAlloc_v2, cuMemFree_v2, cuMemAllocHost_v2, cuMemcpyHtoD_v2,
// cuMemcpyDtoH_v2, cuMemsetD32_v2, cuModuleGetGlobal_v2, cuDeviceTotalMem_v2; cuMemFreeHost
// has no versioned name) and makes the device's primary context current in place of
// cuCtxCreate (whose signature changed in CUDA 13); ctxDestroy releases it. When the
// library exports cuGetErrorName, it names the result codes the fatal report's table lacks
// (installed with setDriverResultNamer; the library is never unloaded).

#include "gpu/Driver.h"

namespace ostrel {

class CudaDriver final : public Driver {
public:
    /// Loads `library` and resolves every export; loaded() tells whether all were found.
    explicit CudaDriver(const char* library = "libcuda.so.1");
    ~CudaDriver() override;
    CudaDriver(const CudaDriver&) = delete;
    CudaDriver& operator=(const CudaDriver&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    /// Name of the first export that could not be resolved, empty when all were.
    const std::string& missingSymbol() const { return missing_; }
    bool isHost() const override { return false; }

    CUresult init(unsigned flags) override;
    CUresult deviceGetCount(int* count) override;
    CUresult deviceGet(CUdevice* device, int ordinal) override;
    CUresult deviceTotalMem(size_t* bytes, CUdevice device) override;
    CUresult deviceGetName(char* name, int length, CUdevice device) override;
    CUresult ctxCreate(CUcontext* context, unsigned flags, CUdevice device) override;
    CUresult ctxDestroy(CUcontext context) override;
    CUresult moduleLoad(CUmodule* module, const char* path) override;
    CUresult moduleGetGlobal(CUdeviceptr* address, size_t* bytes, CUmodule module,
                             const char* name) override;
    CUresult moduleGetFunction(CUfunction* function, CUmodule module, const char* name) override;
    CUresult memAlloc(CUdeviceptr* address, size_t bytes) override;
    CUresult memFree(CUdeviceptr address) override;
    CUresult memAllocHost(void** address, size_t bytes) override;
    CUresult memFreeHost(void* address) override;
    CUresult memcpyHtoD(CUdeviceptr dst, const void* src, size_t bytes) override;
    CUresult memcpyDtoH(void* dst, CUdeviceptr src, size_t bytes) override;
    CUresult memsetD32(CUdeviceptr dst, unsigned value, size_t count) override;
    CUresult launchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                          unsigned by, unsigned bz, unsigned sharedBytes, CUstream stream,
                          void** params, void** extra) override;

    /// The export names this layer resolves, in resolution order.
    static const char* const* symbolNames(int* count);

private:
    void* handle_ = nullptr;
    std::string missing_;
    CUdevice contextDevice_ = -1;
    struct Table;
    Table* fn_ = nullptr;
};

}  // namespace ostrel
