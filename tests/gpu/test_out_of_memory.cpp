// Running out of memory in the solver's set-up: on the host device an OutOfMemoryError with one
// "ERROR: Out of memory" line (the programs end with it and status 1), on a GPU the fatal
// report of the failed driver call; the host
// device answers an allocation it cannot make with CUDA_ERROR_OUT_OF_MEMORY and leaves the
// process's new-handler alone.

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <regex>
#include <string>

#include "core/Console.h"
#include "core/FatalError.h"
#include "core/MemoryLimit.h"
#include "gpu/MultigridSolver.h"
#include "gpu/HostDriver.h"
#include "tools/Cantilever.h"

namespace ostrel {
namespace {

/// The host device with its allocations failing from the `failFrom`-th on (0-based), shown to
/// the solver as the host device or as a GPU.
class FailingAllocations final : public Driver {
public:
    FailingAllocations(int failFrom, bool host) : failFrom_(failFrom), host_(host) {}
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

void setUpWith(int failFrom, bool host) {
    auto model = makeCantilever(8, 2, 2, 0.125, 3);
    MultigridSolver fem(*model, {}, std::make_unique<FailingAllocations>(failFrom, host));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
}

/// The line of the OutOfMemoryError that the set-up on the host device raises; "" if none.
std::string outOfMemoryLineOf(int failFrom) {
    try {
        setUpWith(failFrom, true);
    } catch (const OutOfMemoryError& error) {
        return error.line;
    }
    return "";
}

// The allocations of setup() in order: four grids per level (3 levels), then the fixed flags
// and E_dev_.
TEST(OutOfMemory, HostDeviceRaisesOneErrorLine) {
    const std::string sources =
        "\\((physical memory|available memory|address-space limit|data-segment limit|cgroup "
        "memory limit)\\)";
    const std::string line = outOfMemoryLineOf(13);
    EXPECT_TRUE(std::regex_match(
        line, std::regex("ERROR: Out of memory: the host device cannot allocate [0-9.e-]+ GB for "
                         "E_dev_; the process may use [0-9.e+]+ GB more " + sources)))
        << line;
    EXPECT_EQ(outOfMemoryLineOf(0).rfind("ERROR: Out of memory: the host device cannot allocate ",
                                         0),
              0u);
    EXPECT_NE(outOfMemoryLineOf(0).find(" GB for elementGrid_dev_; "), std::string::npos);
}

// On a GPU the failed allocation is a device fault: the fatal report, raised to the program.
TEST(OutOfMemory, GpuRaisesTheFatalReport) {
    testing::internal::CaptureStderr();
    std::wstring text;
    try {
        setUpWith(13, false);
    } catch (const FatalError& error) {
        text = error.text();
    }
    const std::string report = testing::internal::GetCapturedStderr();
    const std::wstring expected =
        L"A fatal error has occured\ncuMemAlloc failed for E_dev_\nCUDA Driver API Error: 2 "
        L"(CUDA_ERROR_OUT_OF_MEMORY)\nSource file \"cudafem\"";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_EQ(report, "FATAL ERROR\n" + toUtf8(text) + "\n");
}

bool g_newHandlerCalled = false;

TEST(HostDriver, AnAllocationItCannotMakeIsOutOfMemoryWithoutTheNewHandler) {
    HostDriver d(1);
    ASSERT_EQ(d.init(0), CUDA_SUCCESS);
    CUcontext ctx = nullptr;
    ASSERT_EQ(d.ctxCreate(&ctx, 0, 0), CUDA_SUCCESS);
    const std::new_handler previous = std::set_new_handler([] {
        g_newHandlerCalled = true;
        throw std::bad_alloc();
    });
    CUdeviceptr p = 0;
    EXPECT_EQ(d.memAlloc(&p, SIZE_MAX / 2), CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(d.memAlloc(&p, SIZE_MAX - 10), CUDA_ERROR_OUT_OF_MEMORY);
    std::set_new_handler(previous);
    EXPECT_FALSE(g_newHandlerCalled);
    EXPECT_EQ(d.liveAllocations(), 0u);
    // An odd size is still served (rounded up to the alignment inside).
    ASSERT_EQ(d.memAlloc(&p, 3), CUDA_SUCCESS);
    EXPECT_EQ(p % 64, 0u);
    EXPECT_EQ(d.memFree(p), CUDA_SUCCESS);
    EXPECT_EQ(d.ctxDestroy(ctx), CUDA_SUCCESS);
}

}  // namespace
}  // namespace ostrel
