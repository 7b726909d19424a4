#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "core/Console.h"
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

/// The text of the FatalError that `raise` throws, and what it wrote on standard error.
struct Raised {
    std::wstring text;
    std::string standardError;
};

template <class Raise>
Raised raisedBy(Raise raise) {
    Raised result;
    testing::internal::CaptureStderr();
    try {
        raise();
        ADD_FAILURE() << "no FatalError thrown";
    } catch (const FatalError& error) {
        result.text = error.text();
    }
    result.standardError = testing::internal::GetCapturedStderr();
    return result;
}

// The report goes out on standard error before the error is thrown; ending the process is the
// program's part.
TEST(FatalError, ReportsOnStandardErrorAndThrowsTheText) {
    const Raised scene = raisedBy([] { reportFatalError("Quenby", 550, L"Cannot load scene"); });
    const std::wstring sceneText =
        L"A fatal error has occured\nCannot load scene\nSource file \"Quenby\", line 550\n"
        L"The program will terminate";
    EXPECT_EQ(scene.text, sceneText);
    EXPECT_EQ(scene.standardError, "FATAL ERROR\n" + toUtf8(sceneText) + "\n");

    const Raised driver =
        raisedBy([] { reportDriverError("cudafem", 10, 2, L"cuMemAlloc failed for u_dev_"); });
    EXPECT_EQ(driver.text,
              L"A fatal error has occured\ncuMemAlloc failed for u_dev_\nCUDA Driver API Error: 2 "
              L"(CUDA_ERROR_OUT_OF_MEMORY)\nSource file \"cudafem\", line 10\n"
              L"The program will terminate");
    EXPECT_EQ(driver.standardError, "FATAL ERROR\n" + toUtf8(driver.text) + "\n");

    // Unshown: thrown all the same, nothing written.
    const Raised silent = raisedBy([] { reportFatalError("Quenby", 1, L"quiet", false); });
    EXPECT_EQ(silent.text, composeFatalErrorText("Quenby", 1, L"quiet"));
    EXPECT_EQ(silent.standardError, "");
}

// Handlers of ordinary errors must let a fatal error pass on to the program.
TEST(FatalError, IsNoStandardException) {
    bool passed = false;
    try {
        try {
            reportFatalError("Quenby", 1, L"x", false);
        } catch (const std::exception&) {
            ADD_FAILURE() << "caught as a standard exception";
        }
    } catch (const FatalError&) {
        passed = true;
    }
    EXPECT_TRUE(passed);
}

TEST(FatalError, DriverSuccessDoesNothing) { reportDriverError("cudafem", 1, 0, L"fine"); }

}  // namespace
}  // namespace ostrel
