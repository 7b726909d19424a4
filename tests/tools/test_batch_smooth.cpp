// ostrel-batch --smooth: the option, the filtered field it starts from, and the written surface
// of a run (closed, outward, no degenerate triangles, no self-intersections, the design's volume,
// within one voxel of the crisp design) in both shape formats.

#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "geometry/MeshIntersections.h"
#include "gpu/MultigridSolver.h"
#include "reference/ReferenceSteps.h"
#include "support/MeshBuilders.h"
#include "support/MeshDistance.h"
#include "support/RunTestSupport.h"
#include "tools/BatchRun.h"
#include "tools/Cantilever.h"
#include "tools/SmoothShape.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

TEST(BatchSmooth, Option) {
    EXPECT_FALSE(parseBatchArguments({"s.txt"}).options.smooth);
    EXPECT_TRUE(parseBatchArguments({"s.txt", "--smooth"}).options.smooth);
    const BatchArguments bad = parseBatchArguments({"s.txt", "--smooth=1"});
    EXPECT_EQ(bad.action, BatchArguments::Action::Error);
    EXPECT_EQ(bad.error, "ERROR: Option '--smooth' takes no value");
    EXPECT_NE(batchHelp().find("--smooth"), std::string::npos);
}

TEST(BatchSmooth, FieldIsTheFilteredDesign) {
    omp_set_num_threads(1);
    std::unique_ptr<FemModel> model = makeCantilever(12, 4, 4, 0.125, 3);
    DeviceOptions device;
    device.forceHost = true;
    device.hostThreads = 1;
    MultigridSolver solver(*model, device);
    std::ostringstream quiet;
    std::wostringstream wideQuiet;
    solver.setLogs(&wideQuiet, &quiet);
    solver.setup();
    ScratchFolder folder("smooth-field");
    for (int projection : {0, 1}) {
        SCOPED_TRACE(projection);
        // The kernel path keeps its design on the device; the CPU path is the reference.
        std::vector<Volume<double, double>> fields;
        for (bool cpu : {true, false}) {
            SCOPED_TRACE(cpu ? "CPU path" : "kernel path");
            ProgramLifetime lifetime;
            RunControlOptions options;
            // No console lines: both logs go to streams nobody reads.
            std::wostringstream wideSink;
            std::ostringstream narrowSink;
            options.wideLog = &wideSink;
            options.narrowLog = &narrowSink;
            options.outputDirectory = folder.path();
            options.shapeFileInterval = 0;
            ReferenceSteps reference;
            if (cpu) options.elementSteps = &reference;
            RunControl run(*model, solver, lifetime, options);
            DesignControls controls;
            controls.projection = projection;
            controls.keepEmpty = {{{0.5, 0.0, 0.25}, {0.8, 0.5, 0.5}}};
            run.optimizer().setControls(controls);
            EXPECT_FALSE(run.snapshot().valid());
            EXPECT_FALSE(filteredDensityField(*model, run.snapshot()).valid());
            run.setRunning(true);
            for (int k = 0; k < 4; ++k)
                ASSERT_TRUE(run.frameMove(0, 0).performed);
            const DesignSnapshot state = run.snapshot();
            ASSERT_TRUE(state.valid());
            EXPECT_EQ(state.projection, projection);
            const Optimizer& opt = run.optimizer();
            const Volume<double, double> field = filteredDensityField(*model, state);
            ASSERT_EQ(field.resolution(), (Vec3i{14, 6, 6}));
            EXPECT_EQ(field.offset(), opt.paddedDensity().offset());
            int kept = 0, empty = 0;
            for (size_t e = 0; e < state.density.size(); ++e) {
                const GridPos p = unpack(model->elementPosition(0)[e]);
                const double value = field(p.x + 1, p.y + 1, p.z + 1);
                if (state.kept[e]) {
                    EXPECT_EQ(value, 1.0);
                    ++kept;
                } else if (state.emptyHeld[e]) {
                    EXPECT_EQ(value, 0.0);
                    ++empty;
                } else {
                    // Not projected: the filtered design, which mode 0's densities are.
                    EXPECT_EQ(value, double(projection ? state.filtered[e] : state.density[e]))
                        << e;
                }
            }
            EXPECT_GT(kept, 0);
            EXPECT_GT(empty, 0);
            for (int z = 0; z < 6; ++z)
                for (int y = 0; y < 6; ++y)
                    EXPECT_EQ(field(0, y, z), 0.0);

            TriangleMesh mesh;
            SmoothSurfaceReport report;
            ASSERT_TRUE(smoothShape(*model, state, mesh, report));
            EXPECT_NEAR(report.targetVolume, opt.totalDensity() * 0.125 * 0.125 * 0.125, 1e-12);
            EXPECT_TRUE(test::isClosedAndOriented(mesh));
            fields.push_back(field);
        }
        // Both paths give the same field to rounding: the kernel path's snapshot holds the
        // design of the last step, not an array the device did not bring back.
        double largest = 0;
        const Vec3i r = fields[0].resolution();
        for (int z = 0; z < r.z; ++z)
            for (int y = 0; y < r.y; ++y)
                for (int x = 0; x < r.x; ++x)
                    largest = std::max(largest, std::fabs(fields[0](x, y, z) - fields[1](x, y, z)));
        EXPECT_LT(largest, 1e-4);
    }
}

// A shape unfit for printing never goes under the smooth shape's own name: it is written as
// <stem>_failed with an error, and an earlier file of the own name goes; a fit one replaces
// both.
TEST(BatchSmooth, AShapeUnfitForPrintingIsKeptOnlyUnderAFailedName) {
    const int n = 16;
    std::unique_ptr<FemModel> model = makeCantilever(n, n, n, 0.1, 3);
    // Two nearly crisp plates one voxel apart: smoothing without repair makes them cross.
    DesignSnapshot state;
    const size_t count = model->elementPosition(0).size();
    state.density.assign(count, 0.0f);
    state.kept.assign(count, 0);
    state.emptyHeld.assign(count, 0);
    for (size_t e = 0; e < count; ++e) {
        const GridPos p = unpack(model->elementPosition(0)[e]);
        const double x = (p.x + 0.5) * 0.1, y = (p.y + 0.5) * 0.1, z = (p.z + 0.5) * 0.1;
        const bool inside = x > 0.2 && x < 1.4 && y > 0.2 && y < 1.4 &&
                            ((z > 0.2 && z < 0.5) || (z > 0.6 && z < 0.9));
        state.density[e] = inside ? 0.97f : 0.02f;
        state.totalDensity += state.density[e];
    }
    state.filtered = state.density;
    ASSERT_TRUE(state.valid());
    SmoothSurfaceOptions unrepaired;
    unrepaired.steps = 200;
    unrepaired.lambda = 0.95;
    unrepaired.mu = -0.98;
    unrepaired.repairRounds = 0;

    ScratchFolder folder("smooth-failed");
    const auto file = folder / "OptimizedShape_smooth.stl";
    const auto failed = folder / "OptimizedShape_smooth_failed.stl";
    EXPECT_EQ(failedSmoothShapePath(file), failed);
    std::ofstream(file) << "an earlier run's shape\n";
    std::ostringstream log;
    SmoothSurfaceReport report;
    EXPECT_FALSE(writeSmoothShape(*model, state, unrepaired, file, ShapeFormat::Stl,
                                  Matrix4::identity(), report, nullptr, &log));
    ASSERT_GT(report.intersections + report.degenerate, 0u) << "the case needs an unfit shape";
    EXPECT_FALSE(std::filesystem::exists(file));
    TriangleMesh kept;
    EXPECT_TRUE(readMeshFile(kept, fromUtf8(failed.string()), nullptr));
    EXPECT_FALSE(kept.triangles.empty());
    EXPECT_EQ(log.str(), "ERROR: The smooth shape still has " +
                             std::to_string(report.intersections) +
                             " intersecting triangle pairs and " +
                             std::to_string(report.degenerate) +
                             " degenerate triangles; it is not fit for printing and was written "
                             "as \"" + failed.string() + "\" only; \"" + file.string() +
                             "\" was not written\n");

    log.str("");
    EXPECT_TRUE(writeSmoothShape(*model, state, {}, file, ShapeFormat::Stl, Matrix4::identity(),
                                 report, nullptr, &log));
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(report.intersections + report.degenerate, 0u);
    EXPECT_TRUE(readMeshFile(kept, fromUtf8(file.string()), nullptr));
    EXPECT_FALSE(std::filesystem::exists(failed)) << "the failed shape of before is gone";
}

/// The input part's box, [0, 2] x [0, 0.5] x [0, 0.5].
constexpr float kBoxHi[3] = {2.0f, 0.5f, 0.5f};

/// Whether every corner of triangle t lies on one face plane of the part's box.
bool onBoxFace(const TriangleMesh& mesh, const MeshTriangle& t) {
    for (int a = 0; a < 3; ++a)
        for (float plane : {0.0f, kBoxHi[a]}) {
            bool all = true;
            for (int32_t v : t.indices) all = all && mesh.vertices[size_t(v)].position[a] == plane;
            if (all) return true;
        }
    return false;
}

/// The fraction of the mesh's area whose normals lie within 3 degrees of one of the 26 lattice
/// directions (axes, face diagonals, cube diagonals); with `offBoxFaces`, of the area off the
/// part's box faces.
double latticeFacingArea(const TriangleMesh& mesh, bool offBoxFaces = false) {
    std::vector<Vec3d> directions;
    for (int z = -1; z <= 1; ++z)
        for (int y = -1; y <= 1; ++y)
            for (int x = -1; x <= 1; ++x)
                if (x || y || z) {
                    const Vec3d d{double(x), double(y), double(z)};
                    directions.push_back(d / length(d));
                }
    const double cosine = std::cos(3.0 * 3.14159265358979 / 180.0);
    double total = 0, facing = 0;
    for (const MeshTriangle& t : mesh.triangles) {
        const Vec3d n(t.normal);
        const double area = length(n);
        if (!(area > 0) || (offBoxFaces && onBoxFace(mesh, t)))
            continue;
        total += area;
        for (const Vec3d& d : directions)
            if (dot(n, d) > cosine * area) {
                facing += area;
                break;
            }
    }
    return total > 0 ? facing / total : 0.0;
}

/// Checks the smooth shape of a run against the run's own crisp shape and densities.
void checkSmoothShape(const TriangleMesh& smooth, const TriangleMesh& crisp,
                      const std::filesystem::path& vti, double voxel) {
    EXPECT_TRUE(test::isClosedAndOriented(smooth));
    EXPECT_EQ(degenerateTriangles(smooth), std::vector<int>{});
    EXPECT_EQ(selfIntersections(smooth).size(), 0u);
    VtkImage image;
    std::string error;
    ASSERT_TRUE(readVtkImage(vti, image, error)) << error;
    double design = 0;
    for (double rho : arrayValues(*findCellArray(image, "Density")))
        design += rho;
    design *= voxel * voxel * voxel;
    TriangleMesh copy = smooth;
    EXPECT_NEAR(double(copy.computeVolume()), design, 0.02 * design);
    EXPECT_LT(testing::largestVertexDistance(smooth, crisp), voxel);
    EXPECT_LT(testing::largestVertexDistance(crisp, smooth), voxel);
    // Inside the part's box, and flat on its faces where the design meets them (the clamped
    // end, the loaded edge).
    double onFaces = 0;
    for (const MeshVertex& v : smooth.vertices)
        for (int a = 0; a < 3; ++a) {
            EXPECT_GE(v.position[a], 0.0f) << a;
            EXPECT_LE(v.position[a], kBoxHi[a]) << a;
        }
    for (const MeshTriangle& t : smooth.triangles)
        if (onBoxFace(smooth, t)) onFaces += 0.5 * length(Vec3d(t.normal));
    EXPECT_GT(onFaces, 0.25 * 0.5 * 0.5) << "the clamped end's face at least";
    // The voxel steps are gone: half or more of the crisp shape faces the grid's axes, face
    // diagonals or cube diagonals, the only directions of a 0/1 field's iso-surface; of the
    // smooth one off the box's faces, little.
    const double stepped = latticeFacingArea(crisp), left = latticeFacingArea(smooth, true);
    EXPECT_GT(stepped, 0.5);
    EXPECT_LT(left, stepped / 3) << "crisp " << stepped;
}

// 80 iterations take the projection's sharpness to its last value (from iteration 75 on), so
// the design is crisp and its own shape the surface to stay close to.
TEST(BatchSmooth, ARunsSmoothShapeInBothFormats) {
    const int nx = 32;
    for (const std::string format : {"obj", "stl"}) {
        SCOPED_TRACE(format);
        ScratchFolder folder("smooth-run");
        const std::string scene = testing::writeCantileverScene(folder.path(), nx).string();
        const std::string out = (folder / "out").string();
        Child run(OSTREL_BATCH_EXE, {scene, "--projection", "--iterations", "80", "--smooth",
                                     "--vtk", "--shape-every", "0", "--format", format, "--output",
                                     out, "--quiet", "--device", "host", "--threads", "1"});
        ASSERT_EQ(run.finish(), 0) << run.err();
        // Standard error holds the progress lines and the solver's own warnings, nothing of
        // the smooth shape.
        std::istringstream err(run.err());
        for (std::string line; std::getline(err, line);)
            EXPECT_TRUE(line.rfind("Iteration ", 0) == 0 ||
                        line == "WARNING: Solver has not converged")
                << line;
        const std::string file = out + "/OptimizedShape_smooth." + format;
        EXPECT_NE(run.out().find("\nSmooth shape: \"" + file + "\" (level "), std::string::npos)
            << run.out();
        EXPECT_NE(run.out().find(" of the design's 0.18, "), std::string::npos) << run.out();
        TriangleMesh smooth, crisp;
        ASSERT_TRUE(readMeshFile(smooth, fromUtf8(file), nullptr));
        ASSERT_TRUE(
            readMeshFile(crisp, fromUtf8(out + "/OptimizedShape_final." + format), nullptr));
        checkSmoothShape(smooth, crisp, out + "/OptimizedShape_final.vti", 2.0 / nx);
    }
}

}  // namespace
}  // namespace ostrel
