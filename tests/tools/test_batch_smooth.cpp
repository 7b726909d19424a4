// ostrel-batch --smooth: the option, the filtered field it starts from, and the written surface
// of a run (closed, outward, no degenerate triangles, no self-intersections, the design's volume,
// within one voxel of the crisp design) in both shape formats.

#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "geometry/MeshIntersections.h"
#include "gpu/CudaFem.h"
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
    CudaFem solver(*model, device);
    std::ostringstream quiet;
    std::wostringstream wideQuiet;
    solver.setLogs(&wideQuiet, &quiet);
    solver.setup();
    ScratchFolder folder("smooth-field");
    for (int projection : {0, 1}) {
        ProgramLifetime lifetime;
        RunControlOptions options;
        // No console lines: both logs go to streams nobody reads.
        std::wostringstream wideSink;
        std::ostringstream narrowSink;
        options.wideLog = &wideSink;
        options.narrowLog = &narrowSink;
        options.outputDirectory = folder.path();
        options.shapeFileInterval = 0;
        RunControl run(*model, solver, lifetime, options);
        DesignControls controls;
        controls.projection = projection;
        controls.keepEmpty = {{{0.5, 0.0, 0.25}, {0.8, 0.5, 0.5}}};
        run.optimizer().setControls(controls);
        EXPECT_FALSE(filteredDensityField(run.optimizer()).valid());
        run.setRunning(true);
        for (int k = 0; k < 4; ++k)
            ASSERT_TRUE(run.frameMove(0, 0).performed);
        const Optimizer& opt = run.optimizer();
        const Volume<double, double> field = filteredDensityField(opt);
        ASSERT_EQ(field.resolution(), (Vec3i{14, 6, 6}));
        EXPECT_EQ(field.offset(), opt.paddedDensity().offset());
        int kept = 0, empty = 0;
        for (size_t e = 0; e < opt.rho_.size(); ++e) {
            const GridPos p = unpack(model->elementPosition_[0][e]);
            const double value = field(p.x + 1, p.y + 1, p.z + 1);
            if (opt.isKept_[e]) {
                EXPECT_EQ(value, 1.0);
                ++kept;
            } else if (opt.isEmptyHeld_[e]) {
                EXPECT_EQ(value, 0.0);
                ++empty;
            } else {
                // Not projected: the filtered design, which mode 0's densities are.
                EXPECT_EQ(value, double(projection ? opt.xTilde_[e] : opt.rho_[e])) << e;
            }
        }
        EXPECT_GT(kept, 0);
        EXPECT_GT(empty, 0);
        for (int z = 0; z < 6; ++z)
            for (int y = 0; y < 6; ++y)
                EXPECT_EQ(field(0, y, z), 0.0);

        TriangleMesh mesh;
        SmoothSurfaceReport report;
        ASSERT_TRUE(smoothShape(opt, mesh, report));
        EXPECT_NEAR(report.targetVolume, opt.totalDensity() * 0.125 * 0.125 * 0.125, 1e-12);
        EXPECT_TRUE(test::isClosedAndOriented(mesh));
    }
}

/// The fraction of the mesh's area whose normals lie within 3 degrees of one of the 26 lattice
/// directions (axes, face diagonals, cube diagonals).
double latticeFacingArea(const TriangleMesh& mesh) {
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
        if (!(area > 0))
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
    // The voxel steps are gone: half or more of the crisp shape faces the grid's axes, face
    // diagonals or cube diagonals, the only directions of a 0/1 field's iso-surface; of the
    // smooth one, little more than the planes where the design meets the grid's faces.
    const double stepped = latticeFacingArea(crisp), left = latticeFacingArea(smooth);
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
