// The device-memory estimate against what the solver and the device optimizer really allocate
// (exact for solid boxes, never below it for sparse models), the level count of the cantilevers
// against the hierarchy the model builds, and the largest cantilever against its limits: the box
// found fits, the next one does not, for the reason given.

#include <gtest/gtest.h>

#include "fem/FemTestUtil.h"
#include "fem/ModelSize.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/HostDriver.h"
#include "optimization/KernelSteps.h"
#include "optimization/Optimizer.h"
#include "support/ScratchFolder.h"
#include "tools/Cantilever.h"
#include "tools/CantileverFit.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;

// The bytes MultigridSolver::setup (with the solve method's buffers) and the device optimizer's
// load at the reset of a default run allocate for `voxels` with `levels` levels.
size_t allocatedBytes(const Volume<bool, double>& voxels, int levels,
                      SolveMethod method = SolveMethod::VCycles) {
    FemModel model(voxels, levels);
    MultigridSolver fem(model, DeviceOptions{}, std::make_unique<HostDriver>(1));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
    fem.setSolveMethod(method);
    ScratchFolder folder("device-estimate");
    OptimizationLifetime lifetime;
    DeviceOptimizer device(fem);
    KernelSteps steps(device);
    Optimizer optimizer(model, lifetime, folder.path());
    optimizer.setLogs(nullptr, nullptr);
    optimizer.attachSteps(&steps);
    optimizer.reset();
    const size_t bytes = fem.allocatedBytes() + device.allocatedBytes();
    device.release();
    fem.release();
    return bytes;
}

SceneSize sizeOf(const Volume<bool, double>& voxels, int levels) {
    const ModelSize m = measureModel(voxels);
    SceneSize s;
    s.voxelGrid = voxels.resolution();
    s.extent = {double(m.extent[0]), double(m.extent[1]), double(m.extent[2])};
    s.elements = double(m.elements);
    s.vertices = double(m.vertices);
    s.levels = levels;
    return s;
}

struct BoxCase {
    int nx, ny, nz, levels;
};

TEST(DeviceEstimate, SolidBoxesAreExact) {
    const BoxCase cases[] = {{1, 1, 1, 3},    {20, 7, 7, 3},   {9, 5, 3, 4},
                             {33, 17, 12, 5}, {40, 14, 14, 6}, {64, 3, 2, 4}};
    for (const BoxCase& c : cases) {
        const double estimate = estimateDeviceBytes(cantileverSize(c.nx, c.ny, c.nz, c.levels));
        EXPECT_EQ(estimate, double(allocatedBytes(test::solidBox(c.nx, c.ny, c.nz), c.levels)))
            << c.nx << " x " << c.ny << " x " << c.nz << ", " << c.levels << " levels";
    }
}

// Conjugate gradients add their vectors to the solver's buffers, estimated exactly as well;
// the boxes' vertex counts run from 8 to over 32^2, so that the dot products' partial sums
// take one, two and three stages.
TEST(DeviceEstimate, ConjugateGradientVectorsAreCounted) {
    const BoxCase cases[] = {{1, 1, 1, 3}, {20, 7, 7, 3}, {9, 5, 3, 4}, {40, 14, 14, 6}};
    for (const BoxCase& c : cases) {
        SceneSize size = cantileverSize(c.nx, c.ny, c.nz, c.levels);
        const double vcycles = estimateDeviceBytes(size);
        const double scene = estimateSceneBytes(size);
        size.conjugateGradients = true;
        const double pcg = estimateDeviceBytes(size);
        const auto voxels = test::solidBox(c.nx, c.ny, c.nz);
        EXPECT_EQ(pcg, double(allocatedBytes(voxels, c.levels, SolveMethod::ConjugateGradients)))
            << c.nx << " x " << c.ny << " x " << c.nz << ", " << c.levels << " levels";
        // Six vectors of 3 entries per vertex (four of doubles, two of floats) and their sums.
        const double n = 3 * size.vertices;
        EXPECT_GT(pcg - vcycles, 40 * n) << c.nx;
        EXPECT_LT(pcg - vcycles, 40 * n + 8 * (n / 31 + 3)) << c.nx;
        // The host device keeps them in host memory: the scene's estimate grows alike.
        EXPECT_EQ(estimateSceneBytes(size) - scene, pcg - vcycles) << c.nx;
    }
}

TEST(DeviceEstimate, SparseModelsAreOverEstimated) {
    struct SparseCase {
        int nx, ny, nz;
        double fill;
        int levels;
    } cases[] = {{12, 9, 7, 0.3, 3}, {20, 16, 11, 0.6, 4}, {31, 8, 25, 0.1, 5}};
    for (const SparseCase& c : cases) {
        const auto voxels = test::randomVolume(c.nx, c.ny, c.nz, c.fill, 5);
        const double actual = double(allocatedBytes(voxels, c.levels));
        const double estimate = estimateDeviceBytes(sizeOf(voxels, c.levels));
        EXPECT_GE(estimate, actual) << c.nx << " x " << c.ny << " x " << c.nz;
        SceneSize pcg = sizeOf(voxels, c.levels);
        pcg.conjugateGradients = true;
        EXPECT_GE(estimateDeviceBytes(pcg),
                  double(allocatedBytes(voxels, c.levels, SolveMethod::ConjugateGradients)))
            << c.nx << " x " << c.ny << " x " << c.nz;
    }
}

// The coarsest level of the chosen count holds at most 2000 elements, one level fewer would
// leave more (or the count is the least the model takes).
TEST(CantileverLevels, CoarsestLevelJustSmallEnough) {
    const BoxCase cases[] = {{20, 7, 7, 3},    {40, 14, 14, 3},  {60, 21, 21, 3},
                             {100, 35, 35, 4}, {200, 70, 70, 5}, {2, 1, 1, 3}};
    for (const BoxCase& c : cases) {
        const int levels = cantileverLevels(c.nx, c.ny, c.nz);
        EXPECT_EQ(levels, c.levels) << c.nx;
        FemModel model(test::solidBox(c.nx, c.ny, c.nz), levels);
        EXPECT_LE(model.numElements(levels - 1), 2000) << c.nx;
        if (levels > kMinLevels) {
            FemModel fewer(test::solidBox(c.nx, c.ny, c.nz), levels - 1);
            EXPECT_GT(fewer.numElements(levels - 2), 2000) << c.nx;
        }
    }
}

bool fits(int t, double device, double host, bool hostDevice) {
    const SceneSize s =
        cantileverSize(20 * t, 7 * t, 7 * t, cantileverLevels(20 * t, 7 * t, 7 * t));
    const double d = hostDevice ? 0 : estimateDeviceBytes(s);
    return d <= device && estimateSceneBytes(s) - d <= host;
}

TEST(LargestCantilever, FitsAndTheNextDoesNot) {
    const double mb = 1024.0 * 1024.0;
    struct FitCase {
        const char* name;
        double device, host;
        bool hostDevice;
        FitBound bound;
        long long maxElements = 0;
    } cases[] = {
        {"device_bound", 64 * mb, 1e12, false, FitBound::Device},
        {"host_bound", 1e12, 64 * mb, false, FitBound::Host},
        {"host_device", 0, 100 * mb, true, FitBound::Host},
        {"gpu_of_80_gb", 72e9, 115e9, false, FitBound::Device},
        {"index_limits", 1e15, 1e15, false, FitBound::ModelLimits},
        // 980 t^3 elements: t = 3 has 26 460, t = 4 has 62 720.
        {"element_cap", 1e12, 1e12, false, FitBound::ElementCap, 62719},
        {"element_cap_exactly", 1e12, 1e12, false, FitBound::ElementCap, 26460},
        {"memory_before_the_cap", 64 * mb, 1e12, false, FitBound::Device, 1LL << 40},
    };
    for (const FitCase& c : cases) {
        const auto fit = largestCantilever(c.device, c.host, c.hostDevice, c.maxElements);
        ASSERT_TRUE(fit) << c.name;
        const int t = fit->nx / 20;
        EXPECT_EQ(fit->nx, 20 * t) << c.name;
        EXPECT_EQ(fit->ny, 7 * t) << c.name;
        EXPECT_EQ(fit->nz, 7 * t) << c.name;
        EXPECT_EQ(fit->levels, cantileverLevels(fit->nx, fit->ny, fit->nz)) << c.name;
        EXPECT_TRUE(fits(t, c.device, c.host, c.hostDevice)) << c.name;
        EXPECT_EQ(fit->bound, c.bound) << c.name;
        ModelSize next{(long long)(20 * t + 20) * (7 * t + 7) * (7 * t + 7),
                       (long long)(20 * t + 21) * (7 * t + 8) * (7 * t + 8),
                       {20 * t + 20, 7 * t + 7, 7 * t + 7}};
        if (c.bound == FitBound::ElementCap) {
            EXPECT_EQ(fit->nx, 60) << c.name;
            EXPECT_GT(980LL * (t + 1) * (t + 1) * (t + 1), c.maxElements) << c.name;
        } else if (c.bound == FitBound::ModelLimits) {
            EXPECT_NE(modelSizeError(
                          next, cantileverLevels(next.extent[0], next.extent[1], next.extent[2])),
                      L"")
                << c.name;
        } else {
            EXPECT_FALSE(fits(t + 1, c.device, c.host, c.hostDevice)) << c.name;
        }
        if (c.hostDevice) {
            EXPECT_EQ(fit->deviceBytes, 0) << c.name;
        }
    }
    EXPECT_FALSE(largestCantilever(1e12, 0.1 * mb, false));
    EXPECT_FALSE(largestCantilever(1e12, 1e12, false, 979));
    EXPECT_FALSE(largestCantilever(0.1 * mb, 1e12, false));
}

}  // namespace
}  // namespace ostrel
