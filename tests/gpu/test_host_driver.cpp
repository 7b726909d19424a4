// The host device: memory, copies, memset, module globals and functions, launch geometry
// (2-D grids above 65535 blocks) and the idle surplus threads, device choice.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "app/ProgramEnd.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "tools/Cantilever.h"

namespace ostrel {
namespace {

TEST(LaunchGeometry, Table) {
    struct Row {
        long long items;
        unsigned block, gx, gy;
    } rows[] = {
        {1, 128, 1, 1},          {128, 128, 1, 1},         {129, 128, 2, 1},
        {65535LL * 128, 128, 65535, 1}, {65535LL * 128 + 1, 128, 32768, 2},
        {1000000, 32, 31250, 1}, {3000000, 32, 46875, 2},
        {65535LL * 65535 * 32, 32, 65535, 65535},
    };
    for (const Row& r : rows) {
        LaunchGeometry g = launchGeometry(r.items, r.block);
        EXPECT_EQ(g.gridX, r.gx) << r.items;
        EXPECT_EQ(g.gridY, r.gy) << r.items;
        EXPECT_EQ(g.blockX, r.block);
        EXPECT_GE((long long)g.gridX * g.gridY * r.block, r.items);
        EXPECT_LE(g.gridY, 65535u);
    }
}

TEST(HostDriver, MemoryCopiesAndMemset) {
    HostDriver d(2);
    ASSERT_EQ(d.init(0), CUDA_SUCCESS);
    CUcontext ctx = nullptr;
    ASSERT_EQ(d.ctxCreate(&ctx, 0, 0), CUDA_SUCCESS);
    CUdeviceptr p = 0;
    ASSERT_EQ(d.memAlloc(&p, 40), CUDA_SUCCESS);
    EXPECT_EQ(p % 64, 0u);
    std::vector<uint32_t> host(10, 7), back(10, 0);
    EXPECT_EQ(d.memcpyHtoD(p, host.data(), 40), CUDA_SUCCESS);
    EXPECT_EQ(d.memcpyDtoH(back.data(), p, 40), CUDA_SUCCESS);
    EXPECT_EQ(back, host);
    EXPECT_EQ(d.memsetD32(p, 0xdeadbeef, 9), CUDA_SUCCESS);
    EXPECT_EQ(d.memcpyDtoH(back.data(), p, 40), CUDA_SUCCESS);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(back[size_t(i)], 0xdeadbeefu);
    EXPECT_EQ(back[9], 7u);
    EXPECT_EQ(d.memFree(p), CUDA_SUCCESS);
    EXPECT_EQ(d.memFree(p), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(d.memAlloc(&p, 0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(d.liveAllocations(), 0u);

    // Destroying the context takes what is still allocated along, as on a device.
    CUdeviceptr a = 0, b = 0;
    ASSERT_EQ(d.memAlloc(&a, 16), CUDA_SUCCESS);
    ASSERT_EQ(d.memAlloc(&b, 16), CUDA_SUCCESS);
    EXPECT_EQ(d.ctxDestroy(ctx), CUDA_SUCCESS);
    EXPECT_EQ(d.liveAllocations(), 0u);
    EXPECT_EQ(d.memFree(a), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(d.ctxDestroy(ctx), CUDA_ERROR_INVALID_HANDLE);
}

TEST(HostDriver, PageLockedHostMemoryIsAlignedHostMemoryOfTheContext) {
    HostDriver d(2);
    ASSERT_EQ(d.init(0), CUDA_SUCCESS);
    void* h = nullptr;
    EXPECT_EQ(d.memAllocHost(&h, 64), CUDA_ERROR_INVALID_HANDLE);  // no context yet
    CUcontext ctx = nullptr;
    ASSERT_EQ(d.ctxCreate(&ctx, 0, 0), CUDA_SUCCESS);
    ASSERT_EQ(d.memAllocHost(&h, 24), CUDA_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 64, 0u);
    // Copies to and from it are plain copies.
    const double values[3] = {1.5, -2.25, 1e300};
    std::memcpy(h, values, sizeof values);
    CUdeviceptr p = 0;
    ASSERT_EQ(d.memAlloc(&p, 24), CUDA_SUCCESS);
    EXPECT_EQ(d.memcpyHtoD(p, h, 24), CUDA_SUCCESS);
    std::memset(h, 0, 24);
    EXPECT_EQ(d.memcpyDtoH(h, p, 24), CUDA_SUCCESS);
    EXPECT_EQ(std::memcmp(h, values, 24), 0);
    EXPECT_EQ(d.liveAllocations(), 2u);
    EXPECT_EQ(d.memFreeHost(h), CUDA_SUCCESS);
    EXPECT_EQ(d.memFreeHost(h), CUDA_ERROR_INVALID_VALUE);
    // Device memory is not host memory of the context.
    EXPECT_EQ(d.memFreeHost(reinterpret_cast<void*>(p)), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(d.memAllocHost(&h, 0), CUDA_ERROR_INVALID_VALUE);
    // The context takes what is still allocated along.
    ASSERT_EQ(d.memAllocHost(&h, 8), CUDA_SUCCESS);
    EXPECT_EQ(d.ctxDestroy(ctx), CUDA_SUCCESS);
    EXPECT_EQ(d.liveAllocations(), 0u);
    EXPECT_EQ(d.memFreeHost(h), CUDA_ERROR_INVALID_VALUE);
}

TEST(HostDriver, DeviceListAndName) {
    HostDriver d(3);
    int count = -1;
    EXPECT_EQ(d.deviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);
    ASSERT_EQ(d.init(0), CUDA_SUCCESS);
    ASSERT_EQ(d.deviceGetCount(&count), CUDA_SUCCESS);
    EXPECT_EQ(count, 1);
    char name[64];
    ASSERT_EQ(d.deviceGetName(name, sizeof name, 0), CUDA_SUCCESS);
    EXPECT_STREQ(name, "Host CPU (3 threads)");
    size_t mem = 0;
    EXPECT_EQ(d.deviceTotalMem(&mem, 0), CUDA_SUCCESS);
    EXPECT_GT(mem, size_t(1) << 28);
    CUdevice dev;
    EXPECT_EQ(d.deviceGet(&dev, 1), CUDA_ERROR_INVALID_DEVICE);
    EXPECT_STREQ(HostDriver(1).name().c_str(), "Host CPU (1 thread)");
}

TEST(HostDriver, ModuleGlobalsAndFunctions) {
    HostDriver d(1);
    d.init(0);
    CUcontext ctx;
    d.ctxCreate(&ctx, 0, 0);
    CUmodule mod = nullptr;
    ASSERT_EQ(d.moduleLoad(&mod, "/nonexistent/cudafemkernels.ptx"), CUDA_SUCCESS);
    CUdeviceptr ke = 0, dt = 0;
    size_t bytes = 0;
    ASSERT_EQ(d.moduleGetGlobal(&ke, &bytes, mod, "Ke_"), CUDA_SUCCESS);
    EXPECT_EQ(bytes, 4608u);
    ASSERT_EQ(d.moduleGetGlobal(&dt, &bytes, mod, "dt_"), CUDA_SUCCESS);
    EXPECT_EQ(bytes, 8u);
    double v = 0.125, back = 0;
    d.memcpyHtoD(dt, &v, 8);
    d.memcpyDtoH(&back, dt, 8);
    EXPECT_EQ(back, 0.125);
    EXPECT_EQ(d.moduleGetGlobal(&dt, &bytes, mod, "nope"), CUDA_ERROR_NOT_FOUND);
    CUfunction f = nullptr;
    EXPECT_EQ(d.moduleGetFunction(&f, mod, "InterpolateKernel"), CUDA_SUCCESS);
    EXPECT_EQ(d.moduleGetFunction(&f, mod, "Missing"), CUDA_ERROR_NOT_FOUND);
}

// A large 2-D launch of pNormAverageCoefKernel (out = in * coef): every item is written once
// and the surplus threads of the last block leave the memory behind the range alone.
TEST(HostDriver, TwoDimensionalGridAndIdleSurplusThreads) {
    HostDriver d(2);
    d.init(0);
    CUcontext ctx;
    d.ctxCreate(&ctx, 0, 0);
    CUmodule mod;
    d.moduleLoad(&mod, "");
    CUfunction f;
    ASSERT_EQ(d.moduleGetFunction(&f, mod, "pNormAverageCoefKernel"), CUDA_SUCCESS);
    const int n = 65535 * 32 + 77;  // above 65535 blocks of 32
    std::vector<float> in(size_t(n) + 64), coef(size_t(n) + 64), out(size_t(n) + 64, -1.0f);
    for (int i = 0; i < n; ++i) {
        in[size_t(i)] = float(i % 1000);
        coef[size_t(i)] = 2.0f;
    }
    CUdeviceptr din = reinterpret_cast<CUdeviceptr>(in.data());
    CUdeviceptr dc = reinterpret_cast<CUdeviceptr>(coef.data());
    CUdeviceptr dout = reinterpret_cast<CUdeviceptr>(out.data());
    int count = n;
    void* params[] = {&din, &dc, &dout, &count};
    LaunchGeometry g = launchGeometry(n, 32);
    ASSERT_EQ(g.gridY, 2u);
    ASSERT_EQ(d.launchKernel(f, g.gridX, g.gridY, 1, 32, 1, 1, 0, nullptr, params, nullptr),
              CUDA_SUCCESS);
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[size_t(i)], 2.0f * float(i % 1000)) << i;
    for (size_t i = size_t(n); i < out.size(); ++i) EXPECT_EQ(out[i], -1.0f);
    EXPECT_EQ(d.launchKernel(f, 1, 65536, 1, 32, 1, 1, 0, nullptr, params, nullptr),
              CUDA_ERROR_INVALID_VALUE);
}

TEST(DeviceChoice, ForcedHostAndMissingLibrary) {
    auto forced = openDriver(DeviceOptions{true, 3});
    EXPECT_TRUE(forced->isHost());
    EXPECT_EQ(static_cast<HostDriver&>(*forced).threads(), 3);
    auto missing = openDriver(DeviceOptions{}, "libcuda-does-not-exist.so.1");
    EXPECT_TRUE(missing->isHost());
}

using SetupDeathTest = ::testing::Test;

TEST(SetupDeathTest, ModuleWithoutPNormAverageCoefKernelIsRejected) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static HostModuleTable table = builtInKernelModule();
    table.kernels.erase("pNormAverageCoefKernel");
    auto model = makeCantilever(4, 2, 2, 0.01, 3);
    MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<HostDriver>(1, &table));
    fem.setLogs(nullptr, nullptr);
    EXPECT_DEATH(runProgram([&] {
                     fem.setup();
                     return 0;
                 }),
                 "cuModuleGetFunction failed for pNormAverageCoefKernel\nCUDA Driver API Error: "
                 "500 \\(CUDA_ERROR_NOT_FOUND\\)");
}

// A driver that loads but reports no device: every call past the count is a fault of the
// solver, recorded.
class NoDeviceDriver final : public Driver {
public:
    bool isHost() const override { return false; }
    CUresult init(unsigned) override { return CUDA_SUCCESS; }
    CUresult deviceGetCount(int* count) override {
        *count = 0;
        return CUDA_SUCCESS;
    }
    CUresult deviceGet(CUdevice*, int) override { return called(); }
    CUresult deviceTotalMem(size_t*, CUdevice) override { return called(); }
    CUresult deviceGetName(char*, int, CUdevice) override { return called(); }
    CUresult ctxCreate(CUcontext*, unsigned, CUdevice) override { return called(); }
    CUresult ctxDestroy(CUcontext) override { return called(); }
    CUresult moduleLoad(CUmodule*, const char*) override { return called(); }
    CUresult moduleGetGlobal(CUdeviceptr*, size_t*, CUmodule, const char*) override {
        return called();
    }
    CUresult moduleGetFunction(CUfunction*, CUmodule, const char*) override { return called(); }
    CUresult memAlloc(CUdeviceptr*, size_t) override { return called(); }
    CUresult memFree(CUdeviceptr) override { return called(); }
    CUresult memAllocHost(void**, size_t) override { return called(); }
    CUresult memFreeHost(void*) override { return called(); }
    CUresult memcpyHtoD(CUdeviceptr, const void*, size_t) override { return called(); }
    CUresult memcpyDtoH(void*, CUdeviceptr, size_t) override { return called(); }
    CUresult memsetD32(CUdeviceptr, unsigned, size_t) override { return called(); }
    CUresult launchKernel(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
                          unsigned, CUstream, void**, void**) override {
        return called();
    }
    int* calls = nullptr;

private:
    CUresult called() {
        ++*calls;
        return CUDA_ERROR_INVALID_VALUE;
    }
};

TEST(Setup, ADriverWithoutADeviceIsRefusedAsAValue) {
    auto model = makeCantilever(4, 2, 2, 0.01, 3);
    auto driver = std::make_unique<NoDeviceDriver>();
    int calls = 0;
    driver->calls = &calls;
    MultigridSolver fem(*model, DeviceOptions{}, std::move(driver));
    std::wostringstream wide;
    std::ostringstream narrow;
    fem.setLogs(&wide, &narrow);
    EXPECT_FALSE(fem.setup());
    EXPECT_EQ(wide.str(), L"No CUDA device found\n");
    EXPECT_EQ(narrow.str(), "");
    EXPECT_FALSE(fem.isSetUp());
    EXPECT_EQ(calls, 0) << "nothing past the device count";
    fem.release();
    EXPECT_EQ(calls, 0) << "nothing to release";
}

}  // namespace
}  // namespace ostrel
