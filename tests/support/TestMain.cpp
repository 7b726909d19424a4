// The main of every GoogleTest program: --version prints "<program> <version>" and exits 0
// (GoogleTest would take it for a test run); every other command line goes to GoogleTest, as
// its own main does, so --help is the framework's help.

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <string>

#include "core/Version.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            const std::string path = argv[0];
            std::cout << ostrel::versionLine(path.substr(path.find_last_of('/') + 1));
            return 0;
        }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
