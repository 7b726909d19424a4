#include <gtest/gtest.h>

#include <string>

#include "core/FatalError.h"

namespace ostrel {
namespace {

TEST(FatalError, ComposesTextInOrder) {
    EXPECT_EQ(composeFatalErrorText("Quenby", 550, L"Cannot load scene"),
              L"A fatal error has occured\nCannot load scene\nSource file \"Quenby\", line 550\n"
              L"The program will terminate");
}

TEST(FatalError, ComposesDriverMessage) {
    EXPECT_EQ(composeDriverErrorMessage(L"cuModuleLoad failed", 301),
              L"cuModuleLoad failed\nCUDA Driver API Error: 301 (CUDA_ERROR_FILE_NOT_FOUND)");
    EXPECT_EQ(composeDriverErrorMessage(L"x", 12345), L"x\nCUDA Driver API Error: 12345 ()");
}

TEST(FatalError, ResultCodeNames) {
    struct Case {
        int code;
        const char* name;
    };
    const Case cases[] = {
        {0, "CUDA_SUCCESS"}, {2, "CUDA_ERROR_OUT_OF_MEMORY"},
        {8, "CUDA_ERROR_PROFILER_ALREADY_STOPPED"}, {100, "CUDA_ERROR_NO_DEVICE"},
        {101, "CUDA_ERROR_INVALID_DEVICE"}, {202, "CUDA_ERROR_CONTEXT_ALREADY_CURRENT"},
        {205, "CUDA_ERROR_MAP_FAILED"}, {218, "CUDA_ERROR_INVALID_PTX"},
        {219, "CUDA_ERROR_INVALID_GRAPHICS_CONTEXT"}, {302, "CUDA_ERROR_SHARED_OBJECT_SYMBOL_NOT_FOUND"},
        {304, "CUDA_ERROR_OPERATING_SYSTEM"}, {400, "CUDA_ERROR_INVALID_HANDLE"},
        {500, "CUDA_ERROR_NOT_FOUND"}, {600, "CUDA_ERROR_NOT_READY"},
        {700, "CUDA_ERROR_ILLEGAL_ADDRESS"}, {705, "CUDA_ERROR_PEER_ACCESS_NOT_ENABLED"},
        {708, "CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE"}, {719, "CUDA_ERROR_LAUNCH_FAILED"},
        {800, "CUDA_ERROR_NOT_PERMITTED"}, {801, "CUDA_ERROR_NOT_SUPPORTED"},
        {999, "CUDA_ERROR_UNKNOWN"},
        // Codes outside the table have no name.
        {9, ""}, {99, ""}, {203, ""}, {204, ""}, {220, ""}, {706, ""}, {707, ""}, {720, ""},
        {34, ""}, {-1, ""}, {1000, ""},
    };
    for (const Case& c : cases) EXPECT_STREQ(driverResultName(c.code), c.name) << c.code;
    int named = 0;
    for (int code = -10; code < 2000; ++code) named += driverResultName(code)[0] != '\0';
    EXPECT_EQ(named, 9 + 2 + 3 + 15 + 5 + 1 + 1 + 1 + 6 + 12 + 2 + 1);
}

TEST(FatalErrorDeathTest, AbortsWithReportOnStandardError) {
    EXPECT_DEATH(reportFatalError("Quenby", 550, L"Cannot load scene"),
                 "FATAL ERROR\nA fatal error has occured\nCannot load scene\nSource file "
                 "\"Quenby\", line 550\nThe program will terminate");
    EXPECT_DEATH(reportDriverError("cudafem", 10, 2, L"cuMemAlloc failed for u_dev_"),
                 "cuMemAlloc failed for u_dev_\nCUDA Driver API Error: 2 "
                 "\\(CUDA_ERROR_OUT_OF_MEMORY\\)\nSource file \"cudafem\"");
}

TEST(FatalError, DriverSuccessDoesNothing) { reportDriverError("cudafem", 1, 0, L"fine"); }

}  // namespace
}  // namespace ostrel
