// The design split over processes by element layers (optimization/petsc/LayerSplit.h) against
// the whole design on one process. CTest runs this program under mpirun on 1, 2 and 3 ranks;
// every rank builds the same models and runs two optimizers on them with the kernel module on
// the host device: one holds the whole design, the other its rank's layers of a LayerSplit.
// Step after step, on models with holes, keep regions, mirror planes across the layers, a
// filter radius wider than a rank's layers and more ranks than layers, the per-element results
// (factors, energies, the filter's and its transpose's sums) are the same bits, and the sums,
// the multiplier search and the accepted design agree to 1e-12 relative. The state comes back on
// one process without the others.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "MpiTestMain.h"
#include "core/Console.h"
#include "RandomModels.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "optimization/DensityFilter.h"
#include "optimization/DensityVolume.h"
#include "optimization/KernelSteps.h"
#include "optimization/petsc/LayerSplit.h"
#include "optimization/petsc/PetscSession.h"
#include "reference/ReferenceOptimizer.h"
#include "support/MeshBuilders.h"
#include "support/SceneProblem.h"
#include "support/ScratchFolder.h"
#include "voxel/IsoSurface.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

int worldSize() {
    int size = 1;
    MPI_Comm_size(PETSC_COMM_WORLD, &size);
    return size;
}

int worldRank() {
    int rank = 0;
    MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
    return rank;
}

TEST(SplitLayers, WholeLayersInOrderWithAboutEqualElementsAndOneLayerEachWhileThereAreEnough) {
    struct Case {
        std::vector<int> layerElements;
        int processes;
        std::vector<std::pair<int, int>> layers;  // [begin, end) of each process
    };
    const Case cases[] = {
        {{4, 4, 4, 4}, 1, {{0, 4}}},
        {{4, 4, 4, 4}, 2, {{0, 2}, {2, 4}}},
        {{4, 4, 4, 4}, 4, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
        {{10, 0, 0, 10}, 2, {{0, 1}, {1, 4}}},
        // One heavy layer: the others still get a layer each.
        {{1, 1, 1, 100}, 3, {{0, 2}, {2, 3}, {3, 4}}},
        {{100, 1, 1, 1}, 3, {{0, 1}, {1, 2}, {2, 4}}},
        // More processes than layers: the last ones own none.
        {{5, 5}, 3, {{0, 1}, {1, 2}, {2, 2}}},
        {{7}, 2, {{0, 1}, {1, 1}}},
        // A process's run ends where its share is reached: the empty layers after it go to the
        // next one.
        {{3, 0, 3, 0, 3, 0}, 3, {{0, 1}, {1, 3}, {3, 6}}},
    };
    for (const Case& c : cases) {
        const std::vector<OwnLayers> split = splitLayers(c.layerElements, c.processes);
        ASSERT_EQ(split.size(), c.layers.size());
        int first = 0;
        for (size_t k = 0; k < split.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(split[k].begin, c.layers[k].first);
            EXPECT_EQ(split[k].end, c.layers[k].second);
            int count = 0;
            for (int z = split[k].begin; z < split[k].end; ++z)
                count += c.layerElements[size_t(z)];
            EXPECT_EQ(split[k].first, first);
            EXPECT_EQ(split[k].count, count);
            first += count;
        }
    }
}

/// One optimizer on its own model, solver (host device, one thread) and kernel steps; with a
/// split, the design is split over the world's ranks.
struct Path {
    std::unique_ptr<FemModel> model;
    std::unique_ptr<MultigridSolver> solver;
    std::unique_ptr<LayerSplit> split;
    OptimizationLifetime lifetime;
    std::unique_ptr<StepOptimizer> optimizer;
    std::unique_ptr<DeviceOptimizer> kernels;
    std::unique_ptr<KernelSteps> steps;

    Path(const testing::ModelCase& c, bool splitDesign, const fs::path& dir) {
        model = std::move(testing::RandomModel(c, 29).model);
        solver = std::make_unique<MultigridSolver>(*model, DeviceOptions{true, 1},
                                                   std::make_unique<HostDriver>(1));
        solver->setLogs(nullptr, nullptr);
        solver->setup();
        fs::create_directories(dir);
        optimizer = std::make_unique<StepOptimizer>(*model, lifetime, dir);
        optimizer->setLogs(nullptr, nullptr);
        optimizer->setControls(testing::controlsOf(c));
        kernels = std::make_unique<DeviceOptimizer>(*solver);
        if (splitDesign) {
            split = std::make_unique<LayerSplit>(*model, PETSC_COMM_WORLD);
            kernels->setSplit(split.get());
        }
        steps = std::make_unique<KernelSteps>(*kernels);
        optimizer->attachSteps(steps.get());
        optimizer->reset();
    }
    ~Path() {
        optimizer.reset();
        steps.reset();
        kernels.reset();
        solver->release();
    }
    size_t numElements() const { return size_t(model->numElements(0)); }
    void setDisplacement(const std::vector<double>& u) {
        model->setDisplacement(u);
        ASSERT_EQ(solver->driver().memcpyHtoD(solver->u_dev_[0], u.data(), 8 * u.size()), 0);
    }
};

::testing::AssertionResult relativelyEqual(double a, double b, double tolerance) {
    if (std::fabs(a - b) <= tolerance * std::max(std::fabs(a), std::fabs(b)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b;
}

/// The entries where `a` and `b` differ by more than `tolerance` relative (0: the same bits).
/// The comparisons of the steps do not end the test, so that every rank reaches every
/// collective call whatever one rank found.
template <typename T>
int differences(const std::vector<T>& a, const std::vector<T>& b, double tolerance = 0.0) {
    if (a.size() != b.size()) return -1;
    int count = 0;
    for (size_t e = 0; e < a.size(); ++e)
        count += tolerance == 0.0 ? !(a[e] == b[e])
                                  : !relativelyEqual(double(a[e]), double(b[e]), tolerance);
    return count;
}

class SplitDesign : public ::testing::TestWithParam<testing::ModelCase> {};

TEST_P(SplitDesign, AgreesWithTheWholeDesignStepByStep) {
    const testing::ModelCase& c = GetParam();
    const std::vector<double> u = testing::RandomModel(c, 29).u;
    testing::ScratchFolder dir("layer-split-" + std::to_string(worldRank()));
    Path whole(c, false, dir.path() / "whole");
    Path split(c, true, dir.path() / "split");
    const size_t n = whole.numElements();
    ASSERT_EQ(split.numElements(), n);
    StepOptimizer& a = *whole.optimizer;
    StepOptimizer& b = *split.optimizer;
    ASSERT_GT(a.numDesignable_, 0);
    if (c.keepBoxes) {
        ASSERT_GT(a.numEmptyHeld_, 0);
    }

    // The case tests what it says: the layers are split, and a wide radius reaches past the
    // next rank's layers.
    const std::vector<OwnLayers>& layers = split.split->layers();
    ASSERT_EQ(int(layers.size()), worldSize());
    if (worldSize() > 1) {
        ASSERT_LT(split.split->own().count, int(n));
    }
    if (c.radius > 3.0 && worldSize() == 3) {
        const int reach = DensityFilter::halfWidth(c.radius);
        ASSERT_GT(reach, layers[1].end - layers[1].begin);
    }

    // The start: the filter's weight sums, the filtered design and its densities.
    std::vector<double> Wa(n), Wb(n);
    whole.kernels->downloadWeightSums(Wa.data());
    split.kernels->downloadWeightSums(Wb.data());
    EXPECT_EQ(differences(Wa, Wb), 0);
    EXPECT_EQ(a.V0_, b.V0_);
    {
        const DesignSnapshot sa = a.snapshot(), sb = b.snapshot();
        EXPECT_EQ(differences(sa.density, sb.density), 0);
        EXPECT_EQ(differences(sa.filtered, sb.filtered), 0);
        EXPECT_TRUE(relativelyEqual(a.totalDensity(), b.totalDensity(), 1e-12));
    }
    if (c.projection) a.beta_ = b.beta_ = Optimizer::kProjectedBetaLast;

    for (int step = 0; step < 4; ++step) {
        SCOPED_TRACE(step);
        a.updateStiffness();
        b.updateStiffness();
        std::vector<float> Ea(n), Eb(n);
        whole.kernels->downloadFactors(Ea.data());
        split.kernels->downloadFactors(Eb.data());
        EXPECT_EQ(differences(Ea, Eb), 0);
        // The solvers take the new factors, which the energies read.
        whole.solver->prepareSolve();
        split.solver->prepareSolve();

        // The same displacement for both, scaled so that the energies change per step.
        std::vector<double> scaled = u;
        for (double& v : scaled) v *= 1.0 + 0.1 * step;
        whole.setDisplacement(scaled);
        split.setDisplacement(scaled);
        a.evaluateEnergies();
        b.evaluateEnergies();
        EXPECT_EQ(differences(a.snapshot().energy, b.snapshot().energy), 0);
        EXPECT_TRUE(relativelyEqual(a.totalEnergy(), b.totalEnergy(), 1e-12));

        // The filter's transpose.
        a.computeSensitivities();
        b.computeSensitivities();
        std::vector<double> dqa(n), dva(n), dqb(n), dvb(n);
        whole.kernels->downloadSensitivities(dqa.data(), dva.data());
        split.kernels->downloadSensitivities(dqb.data(), dvb.data());
        EXPECT_EQ(differences(dqa, dqb), 0);
        EXPECT_EQ(differences(dva, dvb), 0);

        // The multiplier search over the same bracket.
        double lo = 0, hi = 0, loB = 0, hiB = 0;
        whole.kernels->ratioRange(lo, hi);
        split.kernels->ratioRange(loB, hiB);
        EXPECT_EQ(lo, loB);
        EXPECT_EQ(hi, hiB);
        const double target = a.nextVolumeTarget();
        EXPECT_TRUE(relativelyEqual(b.nextVolumeTarget(), target, 1e-12));
        EXPECT_EQ(a.searchMultiplier(target, lo, 2 * hi), b.searchMultiplier(target, lo, 2 * hi));
        std::vector<float> xa(n), rhoa(n), xb(n), rhob(n);
        whole.kernels->downloadCandidates(xa.data(), rhoa.data());
        split.kernels->downloadCandidates(xb.data(), rhob.data());
        EXPECT_EQ(differences(xa, xb, 1e-12), 0);
        EXPECT_EQ(differences(rhoa, rhob, 1e-12), 0);

        // The whole update: its bisection, the accepted design and its sums.
        a.iterate(step);
        b.iterate(step);
        const DesignSnapshot sa = a.snapshot(), sb = b.snapshot();
        EXPECT_EQ(differences(sa.design, sb.design, 1e-12), 0);
        EXPECT_EQ(differences(sa.density, sb.density, 1e-12), 0);
        EXPECT_EQ(differences(sa.filtered, sb.filtered, 1e-12), 0);
        EXPECT_TRUE(relativelyEqual(a.lastStrainEnergy_, b.lastStrainEnergy_, 1e-12));
        EXPECT_TRUE(relativelyEqual(a.lastVolumeRatio_, b.lastVolumeRatio_, 1e-12));
        EXPECT_TRUE(relativelyEqual(a.lastSharpness_, b.lastSharpness_, 1e-12));
        EXPECT_EQ(a.lastDesignChange_, b.lastDesignChange_);
        EXPECT_EQ(a.volumeTarget_, b.volumeTarget_);
        if (c.projection) {
            std::vector<float> ma(n), mb(n);
            whole.kernels->downloadMoves(ma.data());
            split.kernels->downloadMoves(mb.data());
            EXPECT_EQ(differences(ma, mb), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SplitDesign,
    ::testing::Values(testing::ModelCase{"holes_keep_boxes", 10, 6, 9, 0.15, 0, true, 0.0},
                      testing::ModelCase{"projection", 10, 6, 9, 0.15, 1, true, 0.0},
                      testing::ModelCase{"radius_wider_than_a_rank", 9, 5, 9, 0.1, 0, true, 4.5},
                      testing::ModelCase{"projection_wide_radius", 9, 5, 9, 0.1, 1, false, 4.5},
                      testing::ModelCase{"mirror_xz", 10, 6, 8, 0.1, 0, true, 0.0, 2},
                      testing::ModelCase{"min_member", 10, 6, 9, 0.1, 1, true, 0.0, 0, 2.0},
                      testing::ModelCase{"fewer_layers_than_ranks", 12, 7, 2, 0.1, 0, false,
                                         0.0}),
    [](const auto& info) { return std::string(info.param.name); });

/// The vertices and triangles where `a` and `b` differ (positions to the bit); -1 when their
/// counts differ.
int meshDifferences(const TriangleMesh& a, const TriangleMesh& b) {
    if (a.vertices.size() != b.vertices.size() || a.triangles.size() != b.triangles.size())
        return -1;
    int count = 0;
    for (size_t v = 0; v < a.vertices.size(); ++v) {
        const Vec3f p = a.vertices[v].position, q = b.vertices[v].position;
        count += !(p.x == q.x && p.y == q.y && p.z == q.z);
    }
    for (size_t t = 0; t < a.triangles.size(); ++t)
        count += !std::equal(a.triangles[t].indices, a.triangles[t].indices + 3,
                             b.triangles[t].indices);
    return count;
}

TEST(SplitShape, ProcessZeroHasTheWholeVolumesShapeBitForBitAndTheOthersNone) {
    const testing::ModelCase cases[] = {
        {"holes", 10, 6, 9, 0.15, 0, false, 0.0},
        {"fewer_layers_than_ranks", 12, 7, 2, 0.1, 0, false, 0.0},
        {"one_layer", 6, 5, 1, 0.0, 0, false, 0.0},
    };
    for (const testing::ModelCase& c : cases) {
        const testing::RandomModel random(c, 11);
        const FemModel& model = *random.model;
        LayerSplit split(model, PETSC_COMM_WORLD);
        // The same densities on every rank, around the iso level and some exactly at it.
        std::mt19937 pick(5);
        const float levels[] = {0.001f, 0.5f, 1.0f, 0.3f, 0.7f};
        std::vector<float> rho(size_t(model.numElements(0)));
        for (float& r : rho) r = levels[pick() % 5];
        Volume<double, double> whole =
            paddedDensityLayers(model, 0, model.elementDims(0)[2] + 2);
        fillPaddedDensity(model, rho, 0.001, whole);
        TriangleMesh reference;
        extractIsoSurface(whole, 0.5, reference, false);
        EXPECT_FALSE(reference.triangles.empty()) << c.name;

        TriangleMesh mesh;
        mesh.vertices.push_back({{1, 2, 3}, {}});
        extractSplitShape(model, rho, 0.001, 0.5, split, mesh);
        if (worldRank() == 0) {
            EXPECT_EQ(meshDifferences(mesh, reference), 0) << c.name;
        } else {
            EXPECT_TRUE(mesh.vertices.empty() && mesh.triangles.empty() && mesh.loaded)
                << c.name;
        }
    }
}

TEST(SplitShape, GatherToFirstBringsEveryProcesssBytesInProcessOrder) {
    testing::RandomModel random({"box", 4, 3, 5, 0.0, 0, false, 0.0}, 3);
    LayerSplit split(*random.model, PETSC_COMM_WORLD);
    // Rank 1 sends nothing; the others a run that names them.
    const auto bytesOf = [](int rank) {
        std::vector<unsigned char> bytes(rank == 1 ? 0 : size_t(7 + 3 * rank));
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(rank * 40 + int(i));
        return bytes;
    };
    const std::vector<std::vector<unsigned char>> all = split.gatherToFirst(bytesOf(worldRank()));
    if (worldRank() == 0) {
        ASSERT_EQ(int(all.size()), worldSize());
        for (int r = 0; r < worldSize(); ++r) EXPECT_EQ(all[size_t(r)], bytesOf(r)) << r;
    } else {
        EXPECT_TRUE(all.empty());
    }
}

TEST(SplitVoxels, RunsOfLayersInProcessOrderAndEveryProcessGetsTheWholeGrid) {
    VoxelLayerSplit split(PETSC_COMM_WORLD);
    const int size = worldSize(), rank = worldRank();
    // Whole layers in process order over the grid, one at least each while there are enough.
    for (const int layers : {0, 1, 2, 3, 7, 40}) {
        const VoxelLayers own = split.own(layers);
        const int mine[2] = {own.begin, own.end};
        std::vector<int> runs(2 * size_t(size));
        ASSERT_EQ(MPI_Allgather(mine, 2, MPI_INT, runs.data(), 2, MPI_INT, PETSC_COMM_WORLD),
                  MPI_SUCCESS);
        int next = 0;
        for (int r = 0; r < size; ++r) {
            EXPECT_EQ(runs[2 * size_t(r)], next) << layers << " layers, process " << r;
            next = runs[2 * size_t(r) + 1];
            EXPECT_GE(next, runs[2 * size_t(r)]) << layers << " layers, process " << r;
            if (layers >= size) {
                EXPECT_GT(next, runs[2 * size_t(r)]) << layers;
            }
        }
        EXPECT_EQ(next, layers);
    }

    // A sphere voxelized in parts is the whole voxelization on every process; the messages
    // reach process 0 in process order.
    const TriangleMesh sphere = test::makeSphere({0.2f, 0.1f, -0.3f}, 1.0f, 20, 40);
    for (const float voxel : {0.13f, 0.9f}) {  // 16 layers, and 3: one each on 3 processes
        Volume<bool, double> whole;
        ASSERT_TRUE(voxelizeToBounds(sphere, whole, voxel, nullptr));
        const Vec3i r = whole.resolution();
        Volume<bool, double> parts;
        parts.init(r, whole.spacing(), whole.offset(), false);
        const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        ASSERT_TRUE(voxelizeLayers(sphere, parts, identity, split.own(r.z), nullptr));
        split.share(parts.data(), size_t(r.x) * size_t(r.y), r.z);
        const std::string messages = split.gatherText("process " + std::to_string(rank) + "\n");
        EXPECT_TRUE(std::equal(parts.data(), parts.data() + parts.size(), whole.data()))
            << r.z << " layers";
        std::string expected;
        for (int p = 0; p < size && rank == 0; ++p)
            expected += "process " + std::to_string(p) + "\n";
        EXPECT_EQ(messages, expected);
    }

    // One process that cannot go on stops them all.
    EXPECT_TRUE(split.agree(true));
    EXPECT_FALSE(split.agree(rank != size - 1));
}

TEST(SplitVoxels, AScenesModelIsTheSameVoxelizedInParts) {
    const testing::ScratchFolder folder("split-voxels-" + std::to_string(worldRank()));
    ASSERT_TRUE(test::makeSphere({1, 1, 1}, 0.9f, 20, 40)
                    .writeObj((folder / "sphere.obj").wstring(), nullptr));
    VoxelLayerSplit split(PETSC_COMM_WORLD);
    for (const int surfaceVoxels : {0, 1}) {
        const fs::path scene = folder / "scene.txt";
        std::ofstream(scene) << "VOXEL_SIZE: 0.1 0.1 0.1\nELASTIC_MODULUS: 1e7\n"
                                "POISSON_RATIO: 0.3\nDENSITY: 1000\nDAMPING_FACTOR: 0.5\n"
                                "TIME_STEP: 0.05\nMESH: sphere.obj\nNUM_LEVELS: 3\n"
                                "ADD_ADDITIONAL_SURFACE_VOXELS: "
                             << surfaceVoxels << "\n";
        testing::SceneProblem whole, parts;
        parts.setVoxelSplit(&split);
        ASSERT_TRUE(whole.loadScene(scene.wstring(), nullptr));
        ASSERT_TRUE(parts.loadScene(scene.wstring(), nullptr));
        const FemModel &a = *whole.model(), &b = *parts.model();
        EXPECT_EQ(a.numElements(0), b.numElements(0)) << surfaceVoxels;
        EXPECT_EQ(a.elementPosition(0), b.elementPosition(0)) << surfaceVoxels;
        EXPECT_EQ(a.vertexPosition(0), b.vertexPosition(0)) << surfaceVoxels;
        EXPECT_EQ(a.numElements(2), b.numElements(2)) << surfaceVoxels;
    }
    // The last process's memory limit refuses the model: every process fails the load, none
    // waits for that process's layers, and process 0 says why (in the last one's words).
    testing::SceneProblem refused;
    refused.setVoxelSplit(&split);
    const bool last = worldRank() == worldSize() - 1;
    if (last) refused.setMemoryLimit(1e5, L"the last one's limit");
    std::wostringstream log;
    EXPECT_FALSE(refused.loadScene((folder / "scene.txt").wstring(), &log));
    const std::wstring said = log.str();
    if (worldRank() == 0 || last) {
        EXPECT_EQ(said.rfind(L"ERROR: The voxel model needs", 0), 0u) << toUtf8(said);
        EXPECT_NE(said.find(L"(the last one's limit)"), std::wstring::npos) << toUtf8(said);
        EXPECT_EQ(std::count(said.begin(), said.end(), L'\n'), 1) << toUtf8(said);
    } else {
        EXPECT_EQ(said, L"");
    }
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
    return ostrel::testing::runTestsOnEveryRank(argc, argv, "test_layer_split");
}
