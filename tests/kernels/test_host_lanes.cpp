// The host device's lane-wise finest-level smoothing and residual (four threads at a time on a
// CPU with AVX2) against the same kernels run thread by thread: on models with and without
// holes, fixed faces, scattered fixed vertices (fixed lanes and fixed neighbours), random
// element factors, masses (the mass term), rows whose length is not a multiple of the lanes
// and rows too short for any lane group, the residual, its squares, its restriction, both
// smoothing orders and whole solves agree bit for bit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "gpu/SolverTestSupport.h"
#include "kernels/KernelModule.h"

namespace ostrel {
namespace {

struct LaneCase {
    const char* name;
    int nx, ny, nz;
    double holes;         ///< fraction of the box's voxels left empty
    double fixedShare;    ///< fraction of the vertices fixed at random
    bool fixedFace;       ///< every vertex with x = 0 fixed
    unsigned seed;
};

void PrintTo(const LaneCase& c, std::ostream* os) { *os << c.name; }

const LaneCase kCases[] = {
    {"solid_box_fixed_face", 26, 10, 9, 0.0, 0.0, true, 1},
    {"odd_rows_scattered_fixed", 19, 7, 6, 0.0, 0.05, false, 2},
    {"holes_and_fixed_face", 23, 9, 8, 0.03, 0.01, true, 3},
    {"mostly_empty", 14, 8, 8, 0.4, 0.15, false, 4},
    {"rows_too_short_for_lanes", 5, 6, 6, 0.0, 0.05, true, 5},
};

// A box model of the case with random factors in [0.5, 2]e6 (some cells 0), the case's fixed
// vertices and random forces.
std::unique_ptr<FemModel> laneModel(const LaneCase& c) {
    std::mt19937 rng(c.seed);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    Volume<bool, double> vox;
    vox.init(Vec3i{c.nx, c.ny, c.nz}, Vec3d{0.5, 0.7, 0.6}, Vec3d{0, 0, 0}, false);
    for (int z = 0; z < c.nz; ++z)
        for (int y = 0; y < c.ny; ++y)
            for (int x = 0; x < c.nx; ++x) vox(x, y, z) = x == 0 || uni(rng) >= c.holes;
    auto m = std::make_unique<FemModel>(vox, 3);
    std::vector<float> factors(size_t(m->numElements(0)));
    for (auto& e : factors) e = uni(rng) < 0.02 ? 0.0f : float(1e6 * (0.5 + 1.5 * uni(rng)));
    m->setStiffnessFactors(std::move(factors));
    for (int v = 0; v < m->numVertices(0); ++v) {
        const GridPos p = unpack(m->vertexPosition(0)[size_t(v)]);
        m->setFixed(v, (c.fixedFace && p.x == 0) || uni(rng) < c.fixedShare);
    }
    for (size_t i = 0; i < m->forces().size(); ++i)
        m->setForceComponent(int(i / 3), int(i % 3), float(uni(rng) * 2.0 - 1.0));
    return m;
}

// The case's model and a solver on the host device with the given kernel module, prepared,
// with random masses and a random displacement on the device.
struct LaneRun {
    std::unique_ptr<FemModel> model;
    std::unique_ptr<MultigridSolver> fem;

    LaneRun(const LaneCase& c, const HostModuleTable& module) : model(laneModel(c)) {
        fem = std::make_unique<MultigridSolver>(*model, DeviceOptions{},
                                                std::make_unique<HostDriver>(2, &module));
        fem->setLogs(nullptr, nullptr);
        EXPECT_TRUE(fem->setup());
        fem->computeLoad();
        fem->prepareSolve();
        const size_t n = size_t(model->numVertices(0));
        std::vector<float> masses(n);
        std::mt19937 rng(c.seed + 100);
        std::uniform_real_distribution<float> uni(0.0f, 2000.0f);
        for (auto& w : masses) w = uni(rng);
        put(fem->vertexMass_dev_, masses.data(), n * 4);
        const std::vector<double> u = testing::randomVector(c.seed + 200, 3 * n, 1e-3);
        put(fem->u_dev_[0], u.data(), u.size() * 8);
    }
    void put(CUdeviceptr d, const void* p, size_t bytes) {
        ASSERT_EQ(fem->driver().memcpyHtoD(d, p, bytes), CUDA_SUCCESS);
    }
    std::vector<unsigned char> bytes(CUdeviceptr d, size_t n) {
        std::vector<unsigned char> out(n);
        EXPECT_EQ(fem->driver().memcpyDtoH(out.data(), d, n), CUDA_SUCCESS);
        return out;
    }
    std::vector<unsigned char> displacement() {
        return bytes(fem->u_dev_[0], 3 * size_t(model->numVertices(0)) * 8);
    }
};

// Index of the first differing 8-byte word, or -1.
long long firstDifference(const std::vector<unsigned char>& a,
                          const std::vector<unsigned char>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); i += 8)
        if (std::memcmp(a.data() + i, b.data() + i, std::min<size_t>(8, a.size() - i)) != 0)
            return (long long)(i / 8);
    return -1;
}

class HostLanes : public ::testing::TestWithParam<LaneCase> {};

TEST_P(HostLanes, ResidualSquaresAndRestrictionMatchThreadByThread) {
    LaneRun lanes(GetParam(), builtInKernelModule()), plain(GetParam(), threadByThreadKernelModule());
    const FemModel& m = *lanes.model;
    const size_t points = m.vertexGrid(0).size(), n = size_t(m.numVertices(0));
    for (LaneRun* run : {&lanes, &plain}) run->fem->residualAndRestrict(0);
    EXPECT_EQ(firstDifference(lanes.bytes(lanes.fem->r_dev_[0], 3 * points * 8),
                              plain.bytes(plain.fem->r_dev_[0], 3 * points * 8)),
              -1);
    EXPECT_EQ(firstDifference(lanes.bytes(lanes.fem->r_norm, n * 4),
                              plain.bytes(plain.fem->r_norm, n * 4)),
              -1);
    const size_t n2 = size_t(m.numVertices(2));
    EXPECT_EQ(firstDifference(lanes.bytes(lanes.fem->b_dev_[2], 3 * n2 * 8),
                              plain.bytes(plain.fem->b_dev_[2], 3 * n2 * 8)),
              -1);
    EXPECT_EQ(lanes.fem->residualNorm(), plain.fem->residualNorm());
}

TEST_P(HostLanes, SmoothingInBothOrdersMatchesThreadByThread) {
    LaneRun lanes(GetParam(), builtInKernelModule()), plain(GetParam(), threadByThreadKernelModule());
    ASSERT_EQ(firstDifference(lanes.displacement(), plain.displacement()), -1);
    for (bool reverse : {false, true, false}) {
        lanes.fem->smooth(0, reverse);
        plain.fem->smooth(0, reverse);
        EXPECT_EQ(firstDifference(lanes.displacement(), plain.displacement()), -1)
            << (reverse ? "reverse order" : "forward order");
    }
}

// A solve to 1e-7 from zero with the model's own (zero) masses: displacement, residual lines
// and cycle count.
struct Solved {
    std::vector<double> u;
    std::string log;
    int cycles = 0;
};

Solved solveWith(const LaneCase& c, const HostModuleTable& module) {
    auto model = laneModel(c);
    MultigridSolver fem(*model, DeviceOptions{}, std::make_unique<HostDriver>(2, &module));
    std::wostringstream wide;
    std::ostringstream narrow;
    fem.setLogs(&wide, &narrow);
    EXPECT_TRUE(fem.setup());
    narrow.str("");
    fem.computeLoad();
    fem.prepareSolve();
    fem.solve(1e-7);
    return {model->displacement(), narrow.str(), fem.lastCycles()};
}

TEST_P(HostLanes, SolveMatchesThreadByThread) {
    const Solved lanes = solveWith(GetParam(), builtInKernelModule());
    const Solved plain = solveWith(GetParam(), threadByThreadKernelModule());
    EXPECT_GT(plain.cycles, 1);
    EXPECT_EQ(lanes.cycles, plain.cycles);
    EXPECT_EQ(lanes.log, plain.log);
    ASSERT_EQ(lanes.u.size(), plain.u.size());
    EXPECT_EQ(std::memcmp(lanes.u.data(), plain.u.data(), lanes.u.size() * 8), 0);
}

INSTANTIATE_TEST_SUITE_P(Models, HostLanes, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LaneCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(HostLanes, OnlyTheFinestSmoothingAndResidualHaveLaneWiseLaunchers) {
    const HostModuleTable& built = builtInKernelModule();
    const HostModuleTable& plain = threadByThreadKernelModule();
    ASSERT_EQ(built.kernels.size(), plain.kernels.size());
    const bool avx2 = __builtin_cpu_supports("avx2");
    for (const auto& [name, launcher] : plain.kernels) {
        const bool laneWise = name == "GaussSeidelFinestLevelKernel" ||
                              name == "ComputeResidualFinestLevelKernel";
        EXPECT_EQ(built.kernels.at(name) != launcher, laneWise && avx2) << name;
    }
}

}  // namespace
}  // namespace ostrel
