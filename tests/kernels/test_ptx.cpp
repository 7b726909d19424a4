// The PTX the build makes for CUDA devices holds every entry, the element matrix in constant
// memory and dt_, and, when the PTX assembler is at hand, assembles for Turing, Ampere and
// Hopper GPUs with no kernel using a local stack (per-thread arrays indexed at run time would
// put one there). The module is the one next to the test executable, as the solver loads it
// (in the build tree and in a GPU bundle); the assembler is $OSTREL_PTXAS, else the one found
// next to nvcc at configure time.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/ExecutablePath.h"

namespace {

const char* const kEntries[] = {
    "GaussSeidelFinestLevelKernel", "GaussSeidelKernel", "ComputeResidualFinestLevelKernel",
    "ComputeResidualKernel", "RestrictFinestLevelKernel", "RestrictKernel",
    "InterpolateFinestLevelKernel", "InterpolateKernel", "pNormAverageKernel",
    "pNormAverageCoefKernel", "PartialSumsOfFloatsKernel", "PartialSumsKernel",
    "CgOperatorKernel", "CgDotKernel", "CgDirectionKernel", "CgStepKernel", "CgRoundKernel",
    "GalerkinPositionMatricesKernel", "GalerkinWeightsKernel",
    "GalerkinElementFinestLevelKernel", "GalerkinElementKernel", "GalerkinStencilKernel",
    "StiffnessFactorsKernel", "ElementEnergiesKernel", "SensitivityFactorsKernel",
    "StageDesignKernel", "FilterDesignKernel", "GatherSensitivitiesKernel", "RatioRangeKernel",
    "SearchBaseKernel", "SearchVolumesKernel", "CandidateDesignKernel", "CandidateDensitiesKernel",
    "DesignSumsKernel", "ReduceKernel", "ReduceColumnsKernel", "AdaptMovesKernel",
    "OrbitSumsKernel", "WeightSumsKernel", "InitialDesignKernel", "VolumeWeightsKernel",
    "AccumulateEnergiesKernel"};

std::string ptxFile() { return ostrel::executableDirectory() + "cudafemkernels.ptx"; }

// The PTX assembler to use; empty when there is none.
std::string ptxas() {
    const char* env = std::getenv("OSTREL_PTXAS");
    std::string path = env && *env ? env : "";
#ifdef OSTREL_PTXAS
    if (path.empty()) path = OSTREL_PTXAS;
#endif
    return !path.empty() && access(path.c_str(), X_OK) == 0 ? path : "";
}

TEST(Ptx, HoldsEveryEntryAndTheGlobals) {
#ifndef OSTREL_PTX_BUILT
    GTEST_SKIP() << "no CUDA toolkit: no PTX is built";
#else
    std::ifstream in(ptxFile());
    ASSERT_TRUE(in) << ptxFile();
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string ptx = ss.str();
    EXPECT_NE(ptx.find(".target sm_75"), std::string::npos);
    for (const char* entry : kEntries)
        EXPECT_NE(ptx.find(std::string(".entry ") + entry + "("), std::string::npos) << entry;
    EXPECT_NE(ptx.find(".const .align 8 .b8 Ke_[4608]"), std::string::npos);
    EXPECT_NE(ptx.find(".global .align 8 .f64 dt_"), std::string::npos);
#endif
}

#ifdef OSTREL_PTX_BUILT
// Runs ptxas -v for `arch` on the module; returns its exit status and fills its output.
int assemble(const std::string& assembler, const std::string& arch, std::string& output) {
    const std::string command = "'" + assembler + "' -v -arch=" + arch + " '" + ptxFile() +
                                "' -o /dev/null 2>&1";
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
#ifndef OSTREL_PTX_BUILT
    GTEST_SKIP() << "no CUDA toolkit: no PTX is built";
#else
    const std::string assembler = ptxas();
    if (assembler.empty()) GTEST_SKIP() << "no ptxas (set OSTREL_PTXAS)";
    std::string output;
    ASSERT_EQ(assemble(assembler, GetParam(), output), 0) << output;
    for (const char* entry : kEntries)
        EXPECT_NE(output.find(std::string("Compiling entry function '") + entry + "'"),
                  std::string::npos)
            << entry;
    // Every function has no stack, the entries and the device functions they call (such as
    // the math library's pow); each entry has its own frame line.
    std::istringstream lines(output);
    std::string line, function;
    int frames = 0;
    while (std::getline(lines, line)) {
        if (line.find("Function properties for ") != std::string::npos) function = line;
        if (line.find("bytes stack frame") == std::string::npos) continue;
        for (const char* entry : kEntries) {
            const std::string named = std::string(" for ") + entry;
            if (function.size() >= named.size() &&
                function.compare(function.size() - named.size(), named.size(), named) == 0)
                ++frames;
        }
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
