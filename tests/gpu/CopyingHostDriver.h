#pragma once
// The host device behind the driver interface alone, for the tests of what the solver does on
// a GPU: it gives no host address of its buffers (Driver::hostAddress), so that they are copied
// in and out as a device's are; its allocations fail from the `failFrom`-th on (0-based; none
// by default); it shows itself as the host device or as a GPU.

#include <limits>

#include "gpu/Driver.h"
#include "gpu/HostDriver.h"

namespace ostrel {

class CopyingHostDriver final : public Driver {
public:
    explicit CopyingHostDriver(int failFrom = std::numeric_limits<int>::max(), bool host = true)
        : failFrom_(failFrom), host_(host) {}
    bool isHost() const override { return host_; }
    CUresult init(unsigned f) override { return d_.init(f); }
    CUresult deviceGetCount(int* c) override { return d_.deviceGetCount(c); }
    CUresult deviceGet(CUdevice* dev, int o) override { return d_.deviceGet(dev, o); }
    CUresult deviceTotalMem(size_t* b, CUdevice dev) override { return d_.deviceTotalMem(b, dev); }
    CUresult deviceGetName(char* n, int l, CUdevice dev) override {
        return d_.deviceGetName(n, l, dev);
    }
    CUresult ctxCreate(CUcontext* c, unsigned f, CUdevice dev) override {
        return d_.ctxCreate(c, f, dev);
    }
    CUresult ctxDestroy(CUcontext c) override { return d_.ctxDestroy(c); }
    CUresult moduleLoad(CUmodule* m, const char* p) override { return d_.moduleLoad(m, p); }
    CUresult moduleGetGlobal(CUdeviceptr* a, size_t* b, CUmodule m, const char* n) override {
        return d_.moduleGetGlobal(a, b, m, n);
    }
    CUresult moduleGetFunction(CUfunction* f, CUmodule m, const char* n) override {
        return d_.moduleGetFunction(f, m, n);
    }
    CUresult memAlloc(CUdeviceptr* a, size_t b) override {
        if (allocations_++ >= failFrom_) return CUDA_ERROR_OUT_OF_MEMORY;
        return d_.memAlloc(a, b);
    }
    CUresult memFree(CUdeviceptr a) override { return d_.memFree(a); }
    CUresult memAllocHost(void** a, size_t b) override { return d_.memAllocHost(a, b); }
    CUresult memFreeHost(void* a) override { return d_.memFreeHost(a); }
    CUresult memcpyHtoD(CUdeviceptr d, const void* s, size_t b) override {
        return d_.memcpyHtoD(d, s, b);
    }
    CUresult memcpyDtoH(void* d, CUdeviceptr s, size_t b) override {
        return d_.memcpyDtoH(d, s, b);
    }
    CUresult memsetD32(CUdeviceptr d, unsigned v, size_t c) override {
        return d_.memsetD32(d, v, c);
    }
    CUresult launchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                          unsigned by, unsigned bz, unsigned s, CUstream st, void** p,
                          void** e) override {
        return d_.launchKernel(f, gx, gy, gz, bx, by, bz, s, st, p, e);
    }

private:
    HostDriver d_{1};
    int failFrom_;
    bool host_;
    int allocations_ = 0;
};

}  // namespace ostrel
