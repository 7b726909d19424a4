// The real-driver loader against a fake driver library: the versioned exports are the ones
// resolved and called, a missing or stub library leaves the host device, and a failing call
// ends in the error check with its code and name.

#include <gtest/gtest.h>
#include <dlfcn.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "core/FatalError.h"
#include "tools/Cantilever.h"
#include "gpu/CudaDriver.h"
#include "gpu/MultigridSolver.h"

namespace ostrel {
namespace {

struct Fake {
    void setGlobalSize(const char* name, size_t bytes) {
        reinterpret_cast<void (*)(const char*, size_t)>(dlsym(handle, "fakeCudaSetGlobalSize"))(
            name, bytes);
    }
    void* handle = dlopen(OSTREL_FAKE_CUDA, RTLD_NOW | RTLD_LOCAL);
    void set(const char* name, int code) {
        reinterpret_cast<void (*)(const char*, int)>(dlsym(handle, "fakeCudaSetResult"))(name, code);
    }
    size_t lastHostBytes() {
        return reinterpret_cast<size_t (*)()>(dlsym(handle, "fakeCudaLastHostBytes"))();
    }
    std::vector<std::string> calls() {
        auto count = reinterpret_cast<int (*)()>(dlsym(handle, "fakeCudaCallCount"));
        auto call = reinterpret_cast<const char* (*)(int)>(dlsym(handle, "fakeCudaCall"));
        std::vector<std::string> c;
        for (int i = 0; i < count(); ++i) c.push_back(call(i));
        return c;
    }
    Fake() { reinterpret_cast<void (*)()>(dlsym(handle, "fakeCudaReset"))(); }
    ~Fake() { dlclose(handle); }
};

TEST(CudaLoader, ResolvesAndCallsTheVersionedExports) {
    Fake fake;
    ASSERT_NE(fake.handle, nullptr);
    CudaDriver d(OSTREL_FAKE_CUDA);
    ASSERT_TRUE(d.loaded()) << d.missingSymbol();
    CUdeviceptr p = 0;
    size_t bytes = 0;
    CUmodule mod = nullptr;
    CUcontext ctx = nullptr;
    EXPECT_EQ(d.init(0), 0);
    EXPECT_EQ(d.deviceTotalMem(&bytes, 0), 0);
    EXPECT_EQ(bytes, size_t(80) << 30);
    EXPECT_EQ(d.ctxCreate(&ctx, 0, 0), 0);
    EXPECT_EQ(d.moduleLoad(&mod, "x.ptx"), 0);
    EXPECT_EQ(d.moduleGetGlobal(&p, &bytes, mod, "Ke_"), 0);
    EXPECT_EQ(bytes, 4608u);
    EXPECT_EQ(d.memAlloc(&p, size_t(5) << 32), 0);  // above 32 bits: needs the _v2 signature
    EXPECT_GE(p, 0x10000u);
    double x = 0;
    EXPECT_EQ(d.memcpyHtoD(p, &x, 8), 0);
    EXPECT_EQ(d.memcpyDtoH(&x, p, 8), 0);
    EXPECT_EQ(d.memsetD32(p, 0, 2), 0);
    EXPECT_EQ(d.memFree(p), 0);
    // Page-locked host memory above 32 bits: the legacy cuMemAllocHost would see 64 bytes.
    void* host = nullptr;
    EXPECT_EQ(d.memAllocHost(&host, (size_t(1) << 32) + 64), 0);
    EXPECT_NE(host, nullptr);
    EXPECT_EQ(fake.lastHostBytes(), (size_t(1) << 32) + 64);
    EXPECT_EQ(d.memFreeHost(host), 0);
    EXPECT_EQ(d.ctxDestroy(ctx), 0);
    const std::vector<std::string> expected = {
        "cuInit", "cuDeviceTotalMem_v2", "cuDevicePrimaryCtxRetain", "cuCtxSetCurrent",
        "cuModuleLoad", "cuModuleGetGlobal_v2", "cuMemAlloc_v2", "cuMemcpyHtoD_v2",
        "cuMemcpyDtoH_v2", "cuMemsetD32_v2", "cuMemFree_v2", "cuMemAllocHost_v2",
        "cuMemFreeHost", "cuCtxSetCurrent", "cuDevicePrimaryCtxRelease_v2"};
    EXPECT_EQ(fake.calls(), expected);
}

TEST(CudaLoader, DriverWithDevicesIsChosen) {
    Fake fake;
    auto d = openDriver(DeviceOptions{}, OSTREL_FAKE_CUDA);
    EXPECT_FALSE(d->isHost());
    EXPECT_TRUE(openDriver(DeviceOptions{true, 2}, OSTREL_FAKE_CUDA)->isHost());
}

TEST(CudaLoader, StubMissingOrDeviceLessLibraryLeavesTheHostDevice) {
    {
        Fake fake;
        fake.set("cuInit", 34);
        EXPECT_TRUE(openDriver(DeviceOptions{}, OSTREL_FAKE_CUDA)->isHost());
    }
    {
        Fake fake;
        fake.set("cuInit", 100);
        EXPECT_TRUE(openDriver(DeviceOptions{}, OSTREL_FAKE_CUDA)->isHost());
    }
    EXPECT_TRUE(openDriver(DeviceOptions{}, "/nonexistent/libcuda.so.1")->isHost());
    EXPECT_FALSE(CudaDriver("/nonexistent/libcuda.so.1").loaded());
}

TEST(CudaLoader, ADeviceCountThatFailsAfterInitStaysWithTheDriver) {
    // Falling back to the host device here would hide a broken driver installation; the
    // set-up's error check reports it instead.
    Fake fake;
    fake.set("cuDeviceGetCount", 999);
    EXPECT_FALSE(openDriver(DeviceOptions{}, OSTREL_FAKE_CUDA)->isHost());
}

TEST(CudaLoader, CodesTheNameTableLacksAreNamedByTheLoadedDriver) {
    Fake fake;
    CudaDriver d(OSTREL_FAKE_CUDA);
    ASSERT_TRUE(d.loaded());
    struct Case {
        int code;
        const char* name;
    };
    const Case cases[] = {
        {222, "CUDA_ERROR_UNSUPPORTED_PTX_VERSION"},  // what an old driver says to new PTX
        {916, "CUDA_ERROR_FAKE_NEWER_CODE"},
        {2, "CUDA_ERROR_OUT_OF_MEMORY"},  // the table's name, not the driver's
        {12345, ""},                      // unknown to both
    };
    for (const Case& c : cases)
        EXPECT_EQ(composeDriverErrorMessage(L"m", c.code),
                  L"m\nCUDA Driver API Error: " + std::to_wstring(c.code) + L" (" +
                      fromUtf8(c.name) + L")");
    setDriverResultNamer(nullptr);
    EXPECT_STREQ(driverResultName(222), "");
}

/// Sets up a solver on the fake driver whose `function` returns `code`.
void setUpWithFailingCall(const char* function, int code) {
    Fake fake;
    fake.set(function, code);
    auto model = makeCantilever(4, 2, 2, 0.01, 3);
    MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<CudaDriver>(OSTREL_FAKE_CUDA));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
}

/// Sets up a solver and prepares a solve on the fake driver whose module reports `bytes` for
/// the global `name`.
void prepareWithGlobalSize(const char* name, size_t bytes) {
    Fake fake;
    fake.setGlobalSize(name, bytes);
    auto model = makeCantilever(4, 2, 2, 0.01, 3);
    MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<CudaDriver>(OSTREL_FAKE_CUDA));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
    fem.prepareSolve();
}

TEST(CudaLoaderDeathTest, FailingCallEndsInTheErrorCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(runProgram([&] {
                     setUpWithFailingCall("cuModuleLoad", 301);
                     return 0;
                 }),
                 "cuModuleLoad failed\nCUDA Driver API Error: 301 "
                 "\\(CUDA_ERROR_FILE_NOT_FOUND\\)");
    EXPECT_DEATH(runProgram([&] {
                     setUpWithFailingCall("cuMemAlloc_v2", 2);
                     return 0;
                 }),
                 "cuMemAlloc failed for elementGrid_dev_\nCUDA Driver API Error: 2 "
                 "\\(CUDA_ERROR_OUT_OF_MEMORY\\)");
    EXPECT_DEATH(runProgram([&] {
                     setUpWithFailingCall("cuMemAllocHost_v2", 2);
                     return 0;
                 }),
                 "cuMemAllocHost failed for residualSumHost_\nCUDA Driver API Error: 2 "
                 "\\(CUDA_ERROR_OUT_OF_MEMORY\\)");
    EXPECT_DEATH(runProgram([&] {
                     setUpWithFailingCall("cuDeviceGetCount", 3);
                     return 0;
                 }),
                 "cuDeviceGetCount failed\nCUDA Driver API Error: 3 "
                 "\\(CUDA_ERROR_NOT_INITIALIZED\\)");
}

TEST(CudaLoaderDeathTest, GlobalsOfAnotherSizeEndInTheErrorCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(runProgram([&] {
                     prepareWithGlobalSize("Ke_", 4096);
                     return 0;
                 }),
                 "Symbol Ke_ has 4096 bytes, expected 4608\nCUDA Driver API Error: 200 "
                 "\\(CUDA_ERROR_INVALID_IMAGE\\)");
    EXPECT_DEATH(runProgram([&] {
                     prepareWithGlobalSize("dt_", 4);
                     return 0;
                 }),
                 "Symbol dt_ has 4 bytes, expected 8\nCUDA Driver API Error: 200 "
                 "\\(CUDA_ERROR_INVALID_IMAGE\\)");
}

}  // namespace
}  // namespace ostrel
