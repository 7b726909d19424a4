// The coarse operators assembled by the kernel module on a CUDA device against the same module
// on the host device and against the CPU assembly, slot by slot (downloadOperators), every level
// within 1e-12 of the vertex's largest entry, on the models of the host-device test and on one
// of several hundred blocks per launch. Each case prints its largest difference.
//
// Without a CUDA device every case is skipped, unless OSTREL_REQUIRE_GPU=1 is set (as the GPU
// check does): then the missing device is a failure.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gpu/HostDriver.h"
#include "kernels/GalerkinTestSupport.h"

namespace ostrel {
namespace {

using test::AssemblyCase;
using test::Operators;

bool gpuRequired() {
    const char* v = std::getenv("OSTREL_REQUIRE_GPU");
    return v && std::strcmp(v, "1") == 0;
}

class GalerkinAssemblyCuda : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(GalerkinAssemblyCuda, EverySlotMatchesTheHostDeviceAndTheCpuAssembly) {
    std::unique_ptr<Driver> cuda = openDriver(DeviceOptions{});
    if (cuda->isHost()) {
        const char* why = "no CUDA device: libcuda.so.1 does not load, is a stub or reports none";
        if (gpuRequired())
            FAIL() << why << " (OSTREL_REQUIRE_GPU=1)";
        GTEST_SKIP() << why;
    }
    const AssemblyCase& c = GetParam();
    MassTerm mass;
    auto model = test::makeModel(c, mass);
    const Operators onCpu = test::assembleOnCpu(*model, mass);
    const Operators onHost = test::assembleOnDevice(*model, mass, std::make_unique<HostDriver>());
    const Operators onGpu = test::assembleOnDevice(*model, mass, std::move(cuda));
    const double host = test::expectSameOperators(*model, onGpu, onHost, 1e-12);
    const double cpu = test::expectSameOperators(*model, onGpu, onCpu, 1e-12);
    std::printf(
        "  %s (%d elements, %d levels): largest slot difference %.2e against the host "
        "device, %.2e against the CPU assembly\n",
        c.name, model->numElements(0), model->numLevels(), host, cpu);
    std::fflush(stdout);
}

std::vector<AssemblyCase> cudaCases() {
    std::vector<AssemblyCase> cases = test::assemblyCases();
    cases.push_back(test::largeAssemblyCase());
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Models, GalerkinAssemblyCuda, ::testing::ValuesIn(cudaCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel
