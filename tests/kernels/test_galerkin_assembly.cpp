// The coarse operators assembled by the kernel module (element by element, on the host device)
// against the CPU assembly (row-window Galerkin products straight from the level-0 operator):
// every slot of every level within 1e-12 of the vertex's largest entry, on random models with
// and without fixed vertices and masses, with holes, with elements touching only along edges,
// and with vertex terms alone; the result does not depend on the number of threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "fem/FemModel.h"
#include "fem/FemTestUtil.h"
#include "fem/Operators.h"
#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"
#include "gpu/CudaFem.h"

namespace ostrel {
namespace {

using Operators = std::vector<std::vector<double>>;

struct AssemblyCase {
    const char* name;
    std::function<Volume<bool, double>()> voxels;
    int levels;
    double fixedFraction;
    bool masses;
    bool zeroStiffness;
    unsigned seed;
};

Volume<bool, double> boxWithHole() {
    Volume<bool, double> v = test::solidBox(14, 13, 12);
    for (int z = 3; z <= 8; ++z)
        for (int y = 3; y <= 9; ++y)
            for (int x = 3; x <= 10; ++x) v(x, y, z) = false;
    return v;
}

// Cells with x + y + z even: neighbours touch along edges and at corners, never at faces.
Volume<bool, double> checkerboard() {
    Volume<bool, double> v;
    v.init({8, 7, 6}, {0.5, 0.5, 0.5}, {0, 0, 0}, false);
    for (int z = 0; z < 6; ++z)
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 8; ++x) v(x, y, z) = (x + y + z) % 2 == 0;
    return v;
}

std::unique_ptr<FemModel> makeModel(const AssemblyCase& c) {
    auto m = std::make_unique<FemModel>(c.voxels(), c.levels);
    std::mt19937 rng(c.seed);
    std::uniform_real_distribution<double> u(0, 1);
    for (auto& e : m->E_) e = c.zeroStiffness ? 0.0f : float(1e6 * (0.05 + u(rng)));
    for (auto& f : m->isVertexFixed_) f = u(rng) < c.fixedFraction ? 1 : 0;
    if (c.masses)
        for (auto& mass : m->vertexMass_) mass = float(1e8 * u(rng));
    return m;
}

// Uploads the model's fixed vertices, factors, masses and dt_ as they are (prepareSolve would
// clear the masses), assembles on the device and returns the operators of every level.
Operators assembleOnHostDevice(FemModel& m, int threads) {
    CudaFem fem(m, DeviceOptions{}, std::make_unique<HostDriver>(threads));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
    Driver& d = fem.driver();
    EXPECT_EQ(d.memcpyHtoD(fem.isVertexFixed_dev_, m.isVertexFixed_.data(), m.isVertexFixed_.size()), 0);
    EXPECT_EQ(d.memcpyHtoD(fem.E_dev_, m.E_.data(), m.E_.size() * 4), 0);
    EXPECT_EQ(d.memcpyHtoD(fem.vertexMass_dev_, m.vertexMass_.data(), m.vertexMass_.size() * 4), 0);
    CUdeviceptr dt = 0;
    EXPECT_EQ(d.moduleGetGlobal(&dt, nullptr, fem.module_, "dt_"), 0);
    EXPECT_EQ(d.memcpyHtoD(dt, &m.dt_, 8), 0);
    for (auto& A : m.A_) std::fill(A.begin(), A.end(), -1.0);
    fem.assembleOperators();
    fem.downloadOperators();
    Operators result = m.A_;
    fem.release();
    return result;
}

Operators assembleOnCpu(FemModel& m) {
    assembleOperators(m);
    return m.A_;
}

// Every slot entry of every level within rel * (largest entry of the vertex's 27 slots).
void expectSameOperators(const FemModel& m, const Operators& got, const Operators& want, double rel) {
    for (int l = 2; l < m.numLevels_; ++l) {
        const size_t n = size_t(m.numVertices(l));
        ASSERT_EQ(got[size_t(l)].size(), 243 * n);
        ASSERT_EQ(want[size_t(l)].size(), 243 * n);
        int bad = 0;
        for (size_t v = 0; v < n; ++v) {
            double scale = 0;
            for (size_t k = 0; k < 243; ++k) scale = std::max(scale, std::abs(want[size_t(l)][v + n * k]));
            for (size_t k = 0; k < 243; ++k) {
                const double g = got[size_t(l)][v + n * k], w = want[size_t(l)][v + n * k];
                if (!(std::abs(g - w) <= rel * scale) && ++bad <= 5)
                    ADD_FAILURE() << "level " << l << " vertex " << v << " slot " << k / 9
                                  << " entry " << k % 9 << ": " << g << " vs " << w;
            }
        }
        EXPECT_EQ(bad, 0) << "level " << l;
    }
}

class GalerkinAssembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(GalerkinAssembly, EverySlotMatchesTheCpuAssembly) {
    auto model = makeModel(GetParam());
    const Operators want = assembleOnCpu(*model);
    const Operators got = assembleOnHostDevice(*model, 2);
    expectSameOperators(*model, got, want, 1e-12);
}

auto randomVolume(int nx, int ny, int nz, double fill, unsigned seed) {
    return [=] { return test::randomVolume(nx, ny, nz, fill, seed); };
}

INSTANTIATE_TEST_SUITE_P(
    Models, GalerkinAssembly,
    ::testing::Values(
        AssemblyCase{"solid", randomVolume(6, 5, 4, 1.0, 1), 4, 0.0, false, false, 1},
        AssemblyCase{"sparse_fixed", randomVolume(7, 6, 5, 0.5, 2), 4, 0.15, false, false, 2},
        AssemblyCase{"dense_fixed_mass", randomVolume(8, 5, 5, 0.8, 3), 4, 0.1, true, false, 3},
        AssemblyCase{"thin_plate", randomVolume(9, 7, 1, 0.9, 4), 4, 0.2, true, false, 4},
        AssemblyCase{"odd_box", randomVolume(7, 5, 6, 0.6, 5), 4, 0.05, false, false, 5},
        AssemblyCase{"five_levels", randomVolume(19, 13, 11, 0.7, 6), 5, 0.1, true, false, 6},
        AssemblyCase{"hole", boxWithHole, 4, 0.1, true, false, 7},
        AssemblyCase{"edge_contact", checkerboard, 4, 0.1, true, false, 8},
        AssemblyCase{"vertex_terms_only", randomVolume(9, 8, 7, 0.7, 9), 4, 0.3, true, true, 9},
        AssemblyCase{"all_fixed", randomVolume(6, 6, 6, 0.8, 10), 3, 1.0, true, false, 10}),
    [](const auto& info) { return std::string(info.param.name); });

// A model of a few hundred blocks per launch, so that the host device runs blocks in parallel:
// the same operators as the CPU assembly, and bit for bit the same with 1 and 3 threads.
TEST(GalerkinAssemblyLarge, ParallelBlocksGiveTheSameOperatorsBitForBit) {
    AssemblyCase c{"large", randomVolume(64, 48, 40, 0.95, 11), 5, 0.02, true, false, 11};
    auto model = makeModel(c);
    ASSERT_GT(model->numElements_[0] / 128, 300);
    ASSERT_GT(36 * model->numElements_[2] / 128, 300);
    const Operators want = assembleOnCpu(*model);
    const Operators one = assembleOnHostDevice(*model, 1);
    const Operators three = assembleOnHostDevice(*model, 3);
    expectSameOperators(*model, three, want, 1e-12);
    for (int l = 2; l < model->numLevels_; ++l)
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
            std::fill(m.isVertexFixed_.begin(), m.isVertexFixed_.end(), 0);
            for (const auto& p : fixed) m.isVertexFixed_[size_t(m.vertexAt(0, {p[0], p[1], p[2]}))] = 1;
            CudaFem fem(m, DeviceOptions{}, std::make_unique<HostDriver>(2));
            fem.setLogs(nullptr, nullptr);
            fem.setup();
            fem.prepareSolve();
            EXPECT_FALSE(fem.coarseFactorValid()) << fixed.size() << " fixed, " << levels << " levels";
        }
}

}  // namespace
}  // namespace ostrel
