// The PTX the build makes for CUDA devices holds the eight entries and the two globals.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(Ptx, HoldsTheEightEntriesAndTheGlobals) {
#ifndef OSTREL_PTX_FILE
    GTEST_SKIP() << "no CUDA toolkit: no PTX is built";
#else
    std::ifstream in(OSTREL_PTX_FILE);
    ASSERT_TRUE(in) << OSTREL_PTX_FILE;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string ptx = ss.str();
    EXPECT_NE(ptx.find(".target sm_75"), std::string::npos);
    for (const char* entry :
         {"GaussSeidelFinestLevelKernel", "GaussSeidelKernel",
          "ComputeResidualAndRestrictFinestLevelKernel", "ComputeResidualAndRestrictKernel",
          "InterpolateFinestLevelKernel", "InterpolateKernel", "pNormAverageKernel",
          "pNormAverageCoefKernel"})
        EXPECT_NE(ptx.find(std::string(".entry ") + entry + "("), std::string::npos) << entry;
    EXPECT_NE(ptx.find(".global .align 8 .b8 Ke_[4608]"), std::string::npos);
    EXPECT_NE(ptx.find(".global .align 8 .f64 dt_"), std::string::npos);
#endif
}

}  // namespace
