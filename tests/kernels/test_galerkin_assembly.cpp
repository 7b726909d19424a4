// The coarse operators assembled by the kernel module (element by element, on the host device)
// against the CPU assembly (row-window Galerkin products straight from the level-0 operator):
// every slot of every level within 1e-12 of the vertex's largest entry, on random models with
// and without fixed vertices and masses, with holes, with elements touching only along edges,
// and with vertex terms alone; the result does not depend on the number of threads.

#include <gtest/gtest.h>

#include <algorithm>

#include "kernels/GalerkinTestSupport.h"
#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"

namespace ostrel {
namespace {

using test::AssemblyCase;
using test::Operators;
using test::assembleOnCpu;
using test::expectSameOperators;
using test::makeModel;

Operators assembleOnHostDevice(FemModel& m, const MassTerm& massTerm, int threads) {
    return test::assembleOnDevice(m, massTerm, std::make_unique<HostDriver>(threads));
}

class GalerkinAssembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(GalerkinAssembly, EverySlotMatchesTheCpuAssembly) {
    MassTerm mass;
    auto model = makeModel(GetParam(), mass);
    const Operators want = assembleOnCpu(*model, mass);
    const Operators got = assembleOnHostDevice(*model, mass, 2);
    expectSameOperators(*model, got, want, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Models, GalerkinAssembly, ::testing::ValuesIn(test::assemblyCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A model of a few hundred blocks per launch, so that the host device runs blocks in parallel:
// the same operators as the CPU assembly, and bit for bit the same with 1 and 3 threads.
TEST(GalerkinAssemblyLarge, ParallelBlocksGiveTheSameOperatorsBitForBit) {
    MassTerm mass;
    auto model = makeModel(test::largeAssemblyCase(), mass);
    ASSERT_GT(model->numElements(0) / 128, 300);
    ASSERT_GT(36 * model->numElements(2) / 128, 300);
    const Operators want = assembleOnCpu(*model, mass);
    const Operators one = assembleOnHostDevice(*model, mass, 1);
    const Operators three = assembleOnHostDevice(*model, mass, 3);
    expectSameOperators(*model, three, want, 1e-12);
    for (int l = 2; l < model->numLevels(); ++l)
        EXPECT_TRUE(one[size_t(l)] == three[size_t(l)]) << "level " << l;
}

// Fixed vertices on one line leave a rotation free: prepareSolve refuses the factor whatever the
// signs of the rounding-sized pivots of the device-assembled coarsest operator.
TEST(GalerkinAssemblySingular, FixedVerticesOnOneLineGiveNoFactor) {
    const std::vector<std::vector<std::array<int, 3>>> lines = {
        {{0, 0, 0}}, {{3, 1, 1}}, {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}},
        {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, {{0, 0, 0}, {6, 3, 3}}};
    for (int levels : {3, 4})
        for (const auto& fixed : lines) {
            auto model = makeCantilever(6, 3, 3, 0.01, levels);
            FemModel& m = *model;
            m.clearFixations();
            for (const auto& p : fixed) m.setFixed(m.vertexAt(0, {p[0], p[1], p[2]}), true);
            MultigridSolver fem(m, DeviceOptions{}, std::make_unique<HostDriver>(2));
            fem.setLogs(nullptr, nullptr);
            fem.setup();
            fem.prepareSolve();
            EXPECT_FALSE(fem.coarseFactorValid()) << fixed.size() << " fixed, " << levels << " levels";
        }
}

}  // namespace
}  // namespace ostrel
