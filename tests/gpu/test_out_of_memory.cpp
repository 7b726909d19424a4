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
#include "gpu/CopyingHostDriver.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "tools/Cantilever.h"

namespace ostrel {
namespace {

void setUpWith(int failFrom, bool host) {
    auto model = makeCantilever(8, 2, 2, 0.125, 3);
    MultigridSolver fem(*model, {}, std::make_unique<CopyingHostDriver>(failFrom, host));
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
