#pragma once
// The main of the many-process engine's test programs, which CTest runs under mpirun: every
// rank runs the same tests (their collective calls in the same order), rank 0 alone prints, and
// the program fails when a test failed on any rank. --version prints "<program> <version>" and
// --help is GoogleTest's, as in every test program; neither starts MPI.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "core/Version.h"
#include "optimization/petsc/PetscSession.h"

namespace ostrel::testing {

/// Runs the program's tests on every rank; `started` runs once PETSc has started (the options
/// the tests need). What GoogleTest leaves of the command line goes to PETSc.
inline int runTestsOnEveryRank(int argc, char** argv, const char* program,
                               const std::function<void()>& started = {}) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << versionLine(program);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            ::testing::InitGoogleTest(&argc, argv);
            return RUN_ALL_TESTS();
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    PetscSession session(std::vector<std::string>(argv + 1, argv + argc));
    if (started) started();
    if (session.rank() != 0) {
        auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
        delete listeners.Release(listeners.default_result_printer());
    }
    const int status = RUN_ALL_TESTS();
    int worst = 0;
    MPI_Allreduce(&status, &worst, 1, MPI_INT, MPI_MAX, PETSC_COMM_WORLD);
    return worst;
}

}  // namespace ostrel::testing
