#pragma once
// The host device: the solver's driver verbs on the CPU. Memory is host memory (a device
// pointer is the address; page-locked host memory is plain aligned memory), copies are memcpy,
// the module is a HostModuleTable (the built-in one by default), and a launch runs the grid's
// blocks in parallel with OpenMP (static schedule) and each block's threads one after another.
// Exact because the kernels use no shared memory and no barriers.

#include <set>

#include "gpu/Driver.h"
#include "kernels/KernelModule.h"

namespace ostrel {

class HostDriver final : public Driver {
public:
    /// `threads` worker threads (0 = OpenMP's default); `module` is the table moduleLoad uses.
    explicit HostDriver(int threads = 0, const HostModuleTable* module = nullptr);
    ~HostDriver() override;

    bool isHost() const override { return true; }
    void* hostAddress(CUdeviceptr address) const override {
        return reinterpret_cast<void*>(address);
    }
    int threads() const { return threads_; }
    /// "Host CPU (N threads)".
    std::string name() const;

    CUresult init(unsigned flags) override;
    CUresult deviceGetCount(int* count) override;
    CUresult deviceGet(CUdevice* device, int ordinal) override;
    CUresult deviceTotalMem(size_t* bytes, CUdevice device) override;
    CUresult deviceGetName(char* name, int length, CUdevice device) override;
    CUresult ctxCreate(CUcontext* context, unsigned flags, CUdevice device) override;
    /// Also frees every allocation still live, as destroying a device context does.
    CUresult ctxDestroy(CUcontext context) override;
    CUresult moduleLoad(CUmodule* module, const char* path) override;
    CUresult moduleGetGlobal(CUdeviceptr* address, size_t* bytes, CUmodule module,
                             const char* name) override;
    CUresult moduleGetFunction(CUfunction* function, CUmodule module, const char* name) override;
    CUresult memAlloc(CUdeviceptr* address, size_t bytes) override;
    CUresult memFree(CUdeviceptr address) override;
    /// Plain aligned host memory (every host allocation is as close to the "device" as any).
    CUresult memAllocHost(void** address, size_t bytes) override;
    CUresult memFreeHost(void* address) override;
    CUresult memcpyHtoD(CUdeviceptr dst, const void* src, size_t bytes) override;
    CUresult memcpyDtoH(void* dst, CUdeviceptr src, size_t bytes) override;
    CUresult memsetD32(CUdeviceptr dst, unsigned value, size_t count) override;
    CUresult launchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                          unsigned by, unsigned bz, unsigned sharedBytes, CUstream stream,
                          void** params, void** extra) override;

    /// Number of allocations still held (device memory and host memory).
    size_t liveAllocations() const { return allocations_.size() + hostAllocations_.size(); }

private:
    int threads_;
    const HostModuleTable* module_;
    bool initialized_ = false;
    bool hasContext_ = false;
    std::set<CUdeviceptr> allocations_;
    std::set<void*> hostAllocations_;
};

}  // namespace ostrel
