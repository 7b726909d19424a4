#pragma once
// The models and checks of the coarse-operator tests: a table of random models (holes, edge
// contacts, fixed vertices, masses, vertex terms alone), the assembly by the kernel module on a
// given device, the CPU reference assembly, and the slot-by-slot comparison.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "fem/FemModel.h"
#include "fem/FemTestUtil.h"
#include "fem/Operators.h"
#include "reference/ReferenceAssembly.h"
#include "gpu/MultigridSolver.h"

namespace ostrel::test {

using Operators = std::vector<std::vector<double>>;

/// The model's level operators, every level (0 and 1 empty).
inline Operators operatorsOf(const FemModel& m) {
    Operators result;
    for (int l = 0; l < m.numLevels(); ++l) result.push_back(m.levelOperator(l));
    return result;
}

struct AssemblyCase {
    const char* name;
    std::function<Volume<bool, double>()> voxels;
    int levels;
    double fixedFraction;
    bool masses;
    bool zeroStiffness;
    unsigned seed;
};

/// Names the case in the test's messages.
inline void PrintTo(const AssemblyCase& c, std::ostream* os) {
    *os << c.name;
}

inline Volume<bool, double> boxWithHole() {
    Volume<bool, double> v = solidBox(14, 13, 12);
    for (int z = 3; z <= 8; ++z)
        for (int y = 3; y <= 9; ++y)
            for (int x = 3; x <= 10; ++x)
                v(x, y, z) = false;
    return v;
}

// Cells with x + y + z even: neighbours touch along edges and at corners, never at faces.
inline Volume<bool, double> checkerboard() {
    Volume<bool, double> v;
    v.init({8, 7, 6}, {0.5, 0.5, 0.5}, {0, 0, 0}, false);
    for (int z = 0; z < 6; ++z)
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 8; ++x)
                v(x, y, z) = (x + y + z) % 2 == 0;
    return v;
}

inline std::function<Volume<bool, double>()> randomBox(int nx, int ny, int nz, double fill,
                                                       unsigned seed) {
    return [=] { return randomVolume(nx, ny, nz, fill, seed); };
}

/// The table of models every device is checked on.
inline std::vector<AssemblyCase> assemblyCases() {
    return {AssemblyCase{"solid", randomBox(6, 5, 4, 1.0, 1), 4, 0.0, false, false, 1},
            AssemblyCase{"sparse_fixed", randomBox(7, 6, 5, 0.5, 2), 4, 0.15, false, false, 2},
            AssemblyCase{"dense_fixed_mass", randomBox(8, 5, 5, 0.8, 3), 4, 0.1, true, false, 3},
            AssemblyCase{"thin_plate", randomBox(9, 7, 1, 0.9, 4), 4, 0.2, true, false, 4},
            AssemblyCase{"odd_box", randomBox(7, 5, 6, 0.6, 5), 4, 0.05, false, false, 5},
            AssemblyCase{"five_levels", randomBox(19, 13, 11, 0.7, 6), 5, 0.1, true, false, 6},
            AssemblyCase{"hole", boxWithHole, 4, 0.1, true, false, 7},
            AssemblyCase{"edge_contact", checkerboard, 4, 0.1, true, false, 8},
            AssemblyCase{"vertex_terms_only", randomBox(9, 8, 7, 0.7, 9), 4, 0.3, true, true, 9},
            AssemblyCase{"all_fixed", randomBox(6, 6, 6, 0.8, 10), 3, 1.0, true, false, 10}};
}

/// A model of a few hundred blocks per launch, so that a device runs blocks in parallel.
inline AssemblyCase largeAssemblyCase() {
    return {"large", randomBox(64, 48, 40, 0.95, 11), 5, 0.02, true, false, 11};
}

/// The case's model with random stiffness factors and fixed vertices; its random masses (with
/// c.masses, else none) go to `massTerm`.
inline std::unique_ptr<FemModel> makeModel(const AssemblyCase& c, MassTerm& massTerm) {
    auto m = std::make_unique<FemModel>(c.voxels(), c.levels);
    std::mt19937 rng(c.seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<float> factors(size_t(m->numElements(0)));
    for (auto& e : factors)
        e = c.zeroStiffness ? 0.0f : float(1e6 * (0.05 + u(rng)));
    m->setStiffnessFactors(std::move(factors));
    for (int v = 0; v < m->numVertices(0); ++v)
        m->setFixed(v, u(rng) < c.fixedFraction);
    massTerm = MassTerm{{}, kMassTermTimeStep};
    if (c.masses) {
        massTerm.masses.resize(size_t(m->numVertices(0)));
        for (auto& mass : massTerm.masses)
            mass = float(1e8 * u(rng));
    }
    return m;
}

/// Uploads the model's fixed vertices and factors and the mass term as they are (prepareSolve
/// would clear the masses) to `driver`'s device, assembles there and returns the operators of
/// every level (downloadOperators).
inline Operators assembleOnDevice(FemModel& m, const MassTerm& massTerm,
                                  std::unique_ptr<Driver> driver) {
    MultigridSolver fem(m, DeviceOptions{}, std::move(driver));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
    Driver& d = fem.driver();
    EXPECT_EQ(
        d.memcpyHtoD(fem.isVertexFixed_dev_, m.fixedFlags().data(), m.fixedFlags().size()), 0);
    EXPECT_EQ(d.memcpyHtoD(fem.E_dev_, m.stiffnessFactors().data(), m.stiffnessFactors().size() * 4), 0);
    std::vector<float> masses = massTerm.masses;
    masses.resize(size_t(m.numVertices(0)), 0.0f);
    EXPECT_EQ(d.memcpyHtoD(fem.vertexMass_dev_, masses.data(), masses.size() * 4), 0);
    CUdeviceptr dt = 0;
    EXPECT_EQ(d.moduleGetGlobal(&dt, nullptr, fem.module_, "dt_"), 0);
    EXPECT_EQ(d.memcpyHtoD(dt, &massTerm.dt, 8), 0);
    for (int l = 2; l < m.numLevels(); ++l)
        m.setLevelOperator(l, std::vector<double>(m.levelOperator(l).size(), -1.0));
    fem.assembleOperators();
    fem.downloadOperators();
    Operators result = operatorsOf(m);
    fem.release();
    return result;
}

inline Operators assembleOnCpu(FemModel& m, const MassTerm& massTerm) {
    assembleOperators(m, massTerm);
    return operatorsOf(m);
}

/// Expects every slot entry of every level within rel * (largest entry of the vertex's 27
/// slots); returns the largest difference found, in the same measure.
inline double expectSameOperators(const FemModel& m, const Operators& got, const Operators& want,
                                  double rel) {
    double largest = 0;
    for (int l = 2; l < m.numLevels(); ++l) {
        const size_t n = size_t(m.numVertices(l));
        EXPECT_EQ(got[size_t(l)].size(), 243 * n);
        EXPECT_EQ(want[size_t(l)].size(), 243 * n);
        if (got[size_t(l)].size() != 243 * n || want[size_t(l)].size() != 243 * n)
            return INFINITY;
        int bad = 0;
        for (size_t v = 0; v < n; ++v) {
            double scale = 0;
            for (size_t k = 0; k < 243; ++k)
                scale = std::max(scale, std::abs(want[size_t(l)][v + n * k]));
            for (size_t k = 0; k < 243; ++k) {
                const double g = got[size_t(l)][v + n * k], w = want[size_t(l)][v + n * k];
                const double diff = std::abs(g - w);
                if (scale > 0)
                    largest = std::max(largest, diff / scale);
                else if (diff > 0 || std::isnan(diff))
                    largest = INFINITY;
                if (!(diff <= rel * scale) && ++bad <= 5)
                    ADD_FAILURE() << "level " << l << " vertex " << v << " slot " << k / 9
                                  << " entry " << k % 9 << ": " << g << " vs " << w;
            }
        }
        EXPECT_EQ(bad, 0) << "level " << l;
    }
    return largest;
}

}  // namespace ostrel::test
