#pragma once
// What the solver tests share: the residual lines of a solve's log, the device of the solves
// (OSTREL_TEST_DEVICE=cuda: the CUDA driver), a cantilever with its solver, the direct solve of
// the whole level-0 system and the relative error of a displacement.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fem/CoarseSolver.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "gpu/SolverTestSupport.h"
#include "tools/Cantilever.h"

namespace ostrel::testing {

inline std::vector<double> residualLines(const std::string& log) {
    std::vector<double> values;
    std::istringstream in(log);
    std::string line;
    int expectedCycle = 0;
    while (std::getline(in, line)) {
        const std::string prefix = "Residual within cycle " + std::to_string(expectedCycle) + ":  ";
        if (line.rfind("Residual within cycle ", 0) != 0) continue;
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        values.push_back(std::stod(line.substr(prefix.size())));
        ++expectedCycle;
    }
    return values;
}

// The device of the solves: the host device with two threads, or the CUDA driver when
// OSTREL_TEST_DEVICE=cuda (a driver that does not load is then a failure, not the host device).
inline std::unique_ptr<Driver> solverDevice() {
    const char* device = std::getenv("OSTREL_TEST_DEVICE");
    if (!device || std::string(device) != "cuda") return std::make_unique<HostDriver>(2);
    std::unique_ptr<Driver> cuda = openDriver(DeviceOptions{});
    EXPECT_FALSE(cuda->isHost()) << "OSTREL_TEST_DEVICE=cuda, but libcuda.so.1 does not load";
    return cuda;
}

struct Solver {
    std::unique_ptr<FemModel> model;
    std::unique_ptr<MultigridSolver> fem;
    std::wostringstream wide;
    std::ostringstream narrow, cycles;
    Solver(int nx, int ny, int nz, int levels, std::unique_ptr<Driver> device = solverDevice()) {
        model = makeCantilever(nx, ny, nz, 0.01, levels);
        fem = std::make_unique<MultigridSolver>(*model, DeviceOptions{}, std::move(device));
        fem->setLogs(&wide, &narrow);
        fem->setCycleCountSink(&cycles);
        fem->setup();
    }
};

// Direct solve of the assembled level-0 system with the sparse Cholesky wrapper.
inline std::vector<double> directSolve(const FemModel& m) {
    Dense K = assembleFinest(m);
    CoarseSolver chol;
    chol.beginMatrix(K.n);
    for (int j = 0; j < K.n; ++j) {
        for (int i = j; i < K.n; ++i)
            if (K(i, j) != 0.0) chol.addEntry(i, K(i, j));
        chol.endColumn();
    }
    EXPECT_TRUE(chol.factorize());
    std::vector<double> b = effectiveLoad(m), x(m.load().size(), 0.0);
    EXPECT_TRUE(chol.solveWithFactor(b.data(), x.data()));
    return x;
}

/// |u - reference| / |reference| in the 2-norm; NaN or infinity when the reference is zero or
/// the lengths differ, so that any bound on it fails then.
inline double relativeError(const std::vector<double>& reference, const std::vector<double>& u) {
    if (u.size() != reference.size()) return std::numeric_limits<double>::quiet_NaN();
    double diff = 0, norm = 0;
    for (size_t i = 0; i < reference.size(); ++i) {
        diff += (reference[i] - u[i]) * (reference[i] - u[i]);
        norm += reference[i] * reference[i];
    }
    return std::sqrt(diff / norm);
}

}  // namespace ostrel::testing
