// How the programs end on the errors raised below them: the body's own status passes through,
// running out of memory is one "ERROR: Out of memory" line and status 1, a fatal error (already
// reported) ends the process with abort().

#include <gtest/gtest.h>

#include <csignal>
#include <new>
#include <stdexcept>

#include "app/ProgramEnd.h"
#include "core/FatalError.h"
#include "core/MemoryLimit.h"

namespace ostrel {
namespace {

TEST(ProgramEnd, ReturnsTheBodysStatus) {
    for (const int status : {0, 1, 2, 130, -1})
        EXPECT_EQ(runProgram([status] { return status; }), status);
}

// Ordinary exceptions are no business of the program's end.
TEST(ProgramEnd, LetsOrdinaryExceptionsPass) {
    EXPECT_THROW(runProgram([]() -> int { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST(ProgramEndDeathTest, OutOfMemoryIsOneLineAndStatusOne) {
    EXPECT_EXIT(runProgram([]() -> int {
                    throwOutOfMemory(L"the host device cannot allocate 2 GB for E_dev_");
                }),
                ::testing::ExitedWithCode(1),
                "^ERROR: Out of memory: the host device cannot allocate 2 GB for E_dev_; the "
                "process may use [0-9.e+]+ GB more \\([a-z -]+\\)\n$");
}

TEST(ProgramEndDeathTest, FatalErrorAbortsAfterItsReport) {
    EXPECT_EXIT(runProgram([]() -> int { reportFatalError("Quenby", 550, L"Cannot load scene"); }),
                ::testing::KilledBySignal(SIGABRT),
                "^FATAL ERROR\nA fatal error has occured\nCannot load scene\nSource file "
                "\"Quenby\", line 550\nThe program will terminate\n$");
}

TEST(ProgramEndDeathTest, AFailedAllocationEndsThroughTheOutOfMemoryLine) {
    EXPECT_EXIT(
        {
            exitOnFailedAllocation();
            std::get_new_handler()();
        },
        ::testing::ExitedWithCode(1),
        "^ERROR: Out of memory: an allocation failed; the process may use [0-9.e+]+ GB more "
        "\\([a-z -]+\\)\n$");
}

}  // namespace
}  // namespace ostrel
