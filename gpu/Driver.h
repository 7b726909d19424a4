#pragma once
// The device the solver talks to, as the CUDA driver API verbs it uses. Every verb returns the
// driver's result code (0 = success) so that the solver's error check and its messages are the
// same for every device. Two implementations: CudaDriver (libcuda.so.1 loaded at run time) and
// HostDriver (the built-in kernel module executed on the CPU).
//
// Also: the device options (command line -CPU, tools' --device/--threads) and openDriver, which
// picks the device. Main thread only.

#include <cstddef>
#include <memory>
#include <string>

#include "gpu/DriverTypes.h"

namespace ostrel {

class Driver {
public:
    virtual ~Driver() = default;
    /// True for the host device (the CPU running the built-in module).
    virtual bool isHost() const = 0;
    /// Device memory that the host reads and writes in place (the host device's buffers are
    /// host memory): its host address; null where it must be copied (a CUDA device).
    virtual void* hostAddress(CUdeviceptr) const { return nullptr; }

    virtual CUresult init(unsigned flags) = 0;
    virtual CUresult deviceGetCount(int* count) = 0;
    virtual CUresult deviceGet(CUdevice* device, int ordinal) = 0;
    virtual CUresult deviceTotalMem(size_t* bytes, CUdevice device) = 0;
    virtual CUresult deviceGetName(char* name, int length, CUdevice device) = 0;
    /// Makes a context for `device` current on the calling thread.
    virtual CUresult ctxCreate(CUcontext* context, unsigned flags, CUdevice device) = 0;
    virtual CUresult ctxDestroy(CUcontext context) = 0;
    virtual CUresult moduleLoad(CUmodule* module, const char* path) = 0;
    virtual CUresult moduleGetGlobal(CUdeviceptr* address, size_t* bytes, CUmodule module,
                                     const char* name) = 0;
    virtual CUresult moduleGetFunction(CUfunction* function, CUmodule module,
                                       const char* name) = 0;
    virtual CUresult memAlloc(CUdeviceptr* address, size_t bytes) = 0;
    virtual CUresult memFree(CUdeviceptr address) = 0;
    /// Page-locked host memory (cuMemAllocHost): copies from and into it go straight to the
    /// device, without the driver's staging copy. Belongs to the current context.
    virtual CUresult memAllocHost(void** address, size_t bytes) = 0;
    virtual CUresult memFreeHost(void* address) = 0;
    virtual CUresult memcpyHtoD(CUdeviceptr dst, const void* src, size_t bytes) = 0;
    virtual CUresult memcpyDtoH(void* dst, CUdeviceptr src, size_t bytes) = 0;
    virtual CUresult memsetD32(CUdeviceptr dst, unsigned value, size_t count) = 0;
    /// `params` is a KernelParams array (gpu/KernelParams.h): the argument pointers, a null,
    /// then each argument's size and alignment; a device reads the pointers only.
    virtual CUresult launchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz,
                                  unsigned bx, unsigned by, unsigned bz, unsigned sharedBytes,
                                  CUstream stream, void** params, void** extra) = 0;
};

/// Which device the solver uses.
struct DeviceOptions {
    bool forceHost = false;  ///< use the host device even when a CUDA device exists
    int hostThreads = 0;     ///< worker threads of the host device; 0 = OpenMP's default
};

/// The CUDA driver when libcuda.so.1 loads, is not a stub and reports at least one device (and
/// options.forceHost is off); otherwise the host device. `cudaLibrary` names the library to
/// load (tests pass a fake one).
std::unique_ptr<Driver> openDriver(const DeviceOptions& options,
                                   const char* cudaLibrary = "libcuda.so.1");

/// Kernel launch geometry: B = ceil(W/S) blocks, grid y = ceil(B/65535), grid x = ceil(B/y).
struct LaunchGeometry {
    unsigned gridX = 0, gridY = 0, blockX = 0;
};
LaunchGeometry launchGeometry(long long workItems, unsigned blockSize);

}  // namespace ostrel
