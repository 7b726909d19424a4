// The PTX the build makes for CUDA devices holds every entry and the two globals, and, when the
// PTX assembler is at hand, assembles for Turing, Ampere and Hopper GPUs with no kernel using a
// local stack (per-thread arrays indexed at run time would put one there).

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const kEntries[] = {
    "GaussSeidelFinestLevelKernel", "GaussSeidelKernel", "ComputeResidualFinestLevelKernel",
    "ComputeResidualKernel", "RestrictFinestLevelKernel", "RestrictKernel",
    "InterpolateFinestLevelKernel", "InterpolateKernel", "pNormAverageKernel",
    "pNormAverageCoefKernel", "PartialSumsOfFloatsKernel", "PartialSumsKernel",
    "GalerkinPositionMatricesKernel", "GalerkinWeightsKernel",
    "GalerkinElementFinestLevelKernel", "GalerkinElementKernel", "GalerkinStencilKernel"};

TEST(Ptx, HoldsEveryEntryAndTheGlobals) {
#ifndef OSTREL_PTX_FILE
    GTEST_SKIP() << "no CUDA toolkit: no PTX is built";
#else
    std::ifstream in(OSTREL_PTX_FILE);
    ASSERT_TRUE(in) << OSTREL_PTX_FILE;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string ptx = ss.str();
    EXPECT_NE(ptx.find(".target sm_75"), std::string::npos);
    for (const char* entry : kEntries)
        EXPECT_NE(ptx.find(std::string(".entry ") + entry + "("), std::string::npos) << entry;
    EXPECT_NE(ptx.find(".global .align 8 .b8 Ke_[4608]"), std::string::npos);
    EXPECT_NE(ptx.find(".global .align 8 .f64 dt_"), std::string::npos);
#endif
}

#if defined(OSTREL_PTX_FILE) && defined(OSTREL_PTXAS)
// Runs ptxas -v for `arch` on the module; returns its exit status and fills its output.
int assemble(const std::string& arch, std::string& output) {
    const std::string command = std::string("'") + OSTREL_PTXAS + "' -v -arch=" + arch + " '" +
                                OSTREL_PTX_FILE + "' -o /dev/null 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    return pclose(pipe);
}
#endif

class PtxAssembly : public ::testing::TestWithParam<const char*> {};

TEST_P(PtxAssembly, AssemblesWithoutLocalStack) {
#if !defined(OSTREL_PTX_FILE) || !defined(OSTREL_PTXAS)
    GTEST_SKIP() << "no PTX or no ptxas";
#else
    std::string output;
    ASSERT_EQ(assemble(GetParam(), output), 0) << output;
    for (const char* entry : kEntries)
        EXPECT_NE(output.find(std::string("Compiling entry function '") + entry + "'"),
                  std::string::npos)
            << entry;
    std::istringstream lines(output);
    std::string line, function;
    int frames = 0;
    while (std::getline(lines, line)) {
        if (line.find("Compiling entry function") != std::string::npos) function = line;
        if (line.find("bytes stack frame") == std::string::npos) continue;
        ++frames;
        EXPECT_NE(line.find(" 0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads"),
                  std::string::npos)
            << function << "\n" << line;
    }
    EXPECT_EQ(frames, int(std::size(kEntries)));
#endif
}

INSTANTIATE_TEST_SUITE_P(Architectures, PtxAssembly,
                         ::testing::Values("sm_75", "sm_80", "sm_90"));

}  // namespace
