// ostrel-batch's result options and checks: --shape-every, --format, --vtk (read back by an
// independent reader), --original-coordinates, the scene lint, the mesh and piece warnings,
// and the time-left estimate.

#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "core/Console.h"
#include "geometry/DegenerateTriangles.h"
#include "geometry/MeshFile.h"
#include "tools/Cantilever.h"
#include "gpu/MultigridSolver.h"
#include "optimization/MemoryEstimate.h"
#include "voxel/IsoSurface.h"
#include "support/MeshBuilders.h"
#include "support/RunTestSupport.h"
#include "tools/BatchRun.h"
#include "tools/ResultFiles.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;

TEST(BatchArguments, ResultOptions) {
    BatchArguments a = parseBatchArguments({"s.txt"});
    ASSERT_EQ(a.action, BatchArguments::Action::Run);
    EXPECT_EQ(a.options.shapeEvery, 5);
    EXPECT_EQ(a.options.format, ShapeFormat::Obj);
    EXPECT_FALSE(a.options.vtk);
    EXPECT_FALSE(a.options.originalCoordinates);
    a = parseBatchArguments(
        {"s.txt", "--shape-every", "0", "--format=stl", "--vtk", "--original-coordinates"});
    ASSERT_EQ(a.action, BatchArguments::Action::Run) << a.error;
    EXPECT_EQ(a.options.shapeEvery, 0);
    EXPECT_EQ(a.options.format, ShapeFormat::Stl);
    EXPECT_TRUE(a.options.vtk);
    EXPECT_TRUE(a.options.originalCoordinates);
    EXPECT_EQ(parseBatchArguments({"s.txt", "--shape-every=501"}).options.shapeEvery, 501);

    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"s.txt", "--shape-every", "-1"},
         "ERROR: --shape-every needs a whole number from 0 to 501, not '-1'"},
        {{"s.txt", "--shape-every", "502"},
         "ERROR: --shape-every needs a whole number from 0 to 501, not '502'"},
        {{"s.txt", "--shape-every"}, "ERROR: Option '--shape-every' needs a value"},
        {{"s.txt", "--format", "ply"}, "ERROR: --format must be 'obj' or 'stl', not 'ply'"},
        {{"s.txt", "--format=STL"}, "ERROR: --format must be 'obj' or 'stl', not 'STL'"},
        {{"s.txt", "--vtk=yes"}, "ERROR: Option '--vtk' takes no value"},
        {{"s.txt", "--original-coordinates=1"},
         "ERROR: Option '--original-coordinates' takes no value"},
    };
    for (const auto& [args, error] : bad) {
        const BatchArguments r = parseBatchArguments(args);
        EXPECT_EQ(r.action, BatchArguments::Action::Error) << error;
        EXPECT_EQ(r.error, error);
    }
}

TEST(TimeLeft, SteadyStepsGiveTheirOwnPace) {
    TimeLeftEstimator none;
    EXPECT_EQ(none.secondsLeft(100), 0.0);
    TimeLeftEstimator steady;
    for (int k = 0; k < 40; ++k)
        steady.addStep(0.5, 1, 0.1);
    EXPECT_NEAR(steady.secondsLeft(100), 50.0, 1e-9);
    EXPECT_EQ(steady.secondsLeft(0), 0.0);
    // No loads: no cycles at all, the steps' own time.
    TimeLeftEstimator unloaded;
    for (int k = 0; k < 12; ++k)
        unloaded.addStep(0.25, 0, 0.0);
    EXPECT_NEAR(unloaded.secondsLeft(8), 2.0, 1e-9);
}

TEST(TimeLeft, CyclesOfEarlyStepsAreExpectedToFall) {
    // Steps cost 0.2 s plus 0.05 s per cycle; the first ten need 12 cycles each.
    TimeLeftEstimator early;
    for (int k = 0; k < 10; ++k)
        early.addStep(0.2 + 0.05 * (10 + k % 5), 10 + k % 5, 0.05 * (10 + k % 5));
    const double recentPace = 0.2 + 0.05 * 12;
    const double left = early.secondsLeft(490);
    EXPECT_LT(left, 0.5 * recentPace * 490) << "far below the recent steps' pace";
    EXPECT_GT(left, (0.2 + 0.05) * 490) << "but above the pace of one-cycle steps";

    // A count that stays up is expected to stay up longer the longer it has.
    TimeLeftEstimator stuck;
    double previous = 0;
    for (int k = 0; k < 200; ++k) {
        stuck.addStep(0.2 + 0.05 * (10 + k % 5), 10 + k % 5, 0.05 * (10 + k % 5));
        if (k % 50 == 49) {
            const double perStep = stuck.secondsLeft(300) / 300;
            EXPECT_GT(perStep, previous) << k;
            previous = perStep;
        }
    }
    EXPECT_GT(previous, 0.5 * 0.8);
}

// ---- results written by a run ----

/// Runs the independent reader (Python, no VTK library) on `file`: name -> values.
struct VtiFile {
    std::map<std::string, std::vector<double>> arrays;
    std::map<std::string, std::vector<double>> grid;  // extent, origin, spacing, direction
};

bool havePython() {
    return std::system("python3 -c pass > /dev/null 2>&1") == 0;
}

VtiFile readVti(const std::filesystem::path& file) {
    VtiFile result;
    const std::string command =
        "python3 '" + std::string(OSTREL_READ_VTI) + "' '" + file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (!pipe)
        return result;
    std::string text;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << "reader failed on " << file;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind, name;
        words >> kind;
        if (kind == "array") {
            std::string where, type;
            int components = 0;
            size_t count = 0;
            words >> where >> name >> type >> components >> count;
            std::vector<double>& values = result.arrays[name];
            for (double v; words >> v;)
                values.push_back(v);
            EXPECT_EQ(values.size(), count) << name;
        } else {
            for (double v; words >> v;)
                result.grid[kind].push_back(v);
        }
    }
    return result;
}

/// A running optimization of a cantilever of nx x ny x nz voxels on the host device, one
/// thread, without console lines or shape files.
struct HostRun {
    HostRun(const std::filesystem::path& folder, int nx, int ny, int nz) {
        omp_set_num_threads(1);
        model = makeCantilever(nx, ny, nz, 0.125, 3);
        solver = std::make_unique<MultigridSolver>(*model, DeviceOptions{true, 1});
        solver->setLogs(&wideQuiet, &quiet);
        solver->setup();
        RunControlOptions options;
        options.wideLog = &wideQuiet;  // no console lines
        options.narrowLog = &quiet;
        options.outputDirectory = folder;
        options.shapeFileInterval = 0;
        run = std::make_unique<RunControl>(*model, *solver, lifetime, options);
        run->setRunning(true);
    }
    std::unique_ptr<FemModel> model;
    std::ostringstream quiet;
    std::wostringstream wideQuiet;
    std::unique_ptr<MultigridSolver> solver;
    ProgramLifetime lifetime;
    std::unique_ptr<RunControl> run;
};

TEST(BatchVtk, WrittenFieldsReadBackWithAnIndependentReader) {
    ASSERT_TRUE(havePython()) << "python3 is not installed (scripts/setup installs it)";
    ScratchFolder folder("vtk");
    HostRun host(folder.path(), 8, 4, 3);
    std::unique_ptr<FemModel>& model = host.model;
    std::ostringstream quiet;
    RunControl& run = *host.run;
    for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(run.frameMove(0, 0).performed);
    const DesignSnapshot state = run.snapshot();  // brought back from the kernel path

    // A rotation by 90 degrees about z, a scaling by 2 and a shift: what
    // --original-coordinates undoes for a scene with MESH_TRANSFORMATION and MESH_SCALE_TO.
    const Matrix4 maps[] = {Matrix4::identity(),
                            Matrix4::fromRows({0, -2, 0, 5, 2, 0, 0, -1, 0, 0, 2, 3, 0, 0, 0, 1})};
    for (const Matrix4& toOutput : maps) {
        const auto file = folder / "fields.vti";
        ASSERT_TRUE(writeVtkImage(file, resultImage(*model, state, toOutput), &quiet));
        const VtiFile vti = readVti(file);
        EXPECT_EQ(vti.grid.at("extent"), (std::vector<double>{0, 8, 0, 4, 0, 3}));
        const bool moved = !(toOutput == Matrix4::identity());
        const std::vector<double> origin =
            moved ? std::vector<double>{5, -1, 3} : std::vector<double>{0, 0, 0};
        EXPECT_EQ(vti.grid.at("origin"), origin);
        EXPECT_EQ(vti.grid.at("spacing"), (std::vector<double>{0.125, 0.125, 0.125}));
        const std::vector<double> direction = moved
                                                  ? std::vector<double>{0, -2, 0, 2, 0, 0, 0, 0, 2}
                                                  : std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1};
        EXPECT_EQ(vti.grid.at("direction"), direction);

        const size_t cells = 8 * 4 * 3, points = 9 * 5 * 4;
        for (const char* name : {"Density", "Design", "Kept", "Energy", "Solid"})
            ASSERT_EQ(vti.arrays.at(name).size(), cells) << name;
        ASSERT_EQ(vti.arrays.at("Displacement").size(), 3 * points);
        size_t kept = 0;
        for (size_t c = 0; c < cells; ++c) {
            const int e = model->elementGrid(0)[c];
            ASSERT_GE(e, 0);  // the cantilever is a full box
            EXPECT_EQ(vti.arrays.at("Density")[c], double(state.density[size_t(e)])) << c;
            EXPECT_EQ(vti.arrays.at("Design")[c], double(state.design[size_t(e)])) << c;
            EXPECT_EQ(vti.arrays.at("Kept")[c], double(state.kept[size_t(e)])) << c;
            EXPECT_EQ(vti.arrays.at("Energy")[c], double(float(state.energy[size_t(e)]))) << c;
            EXPECT_EQ(vti.arrays.at("Solid")[c], 1.0);
            kept += state.kept[size_t(e)];
        }
        EXPECT_GT(kept, 0u);
        const size_t n = size_t(model->numVertices(0));
        double largest = 0;
        for (size_t p = 0; p < points; ++p) {
            const int v = model->vertexGrid(0)[p];
            ASSERT_GE(v, 0);
            const std::vector<double>& d = state.displacement;
            const double u[3] = {d[size_t(v)], d[n + size_t(v)], d[2 * n + size_t(v)]};
            const double mapped[3] = {moved ? -2 * u[1] : u[0], moved ? 2 * u[0] : u[1],
                                      moved ? 2 * u[2] : u[2]};
            for (int a = 0; a < 3; ++a) {
                EXPECT_NEAR(vti.arrays.at("Displacement")[3 * p + size_t(a)], mapped[a],
                            1e-6 * std::abs(mapped[a]) + 1e-30)
                    << p;
                largest = std::max(largest, std::abs(mapped[a]));
            }
            if (model->fixedFlags()[size_t(v)]) {
                for (int a = 0; a < 3; ++a)
                    EXPECT_EQ(vti.arrays.at("Displacement")[3 * p + size_t(a)], 0.0);
            }
        }
        EXPECT_GT(largest, 0.0);
    }
    host.solver->release();
}

/// A box part away from the origin: [10, 11] x [-3, -2.5] x [5, 5.5] in voxels of 0.125, fixed
/// at its x = min face and loaded at every other vertex, so every element is kept solid and the
/// optimized shape is the whole box.
std::filesystem::path writeSolidScene(const std::filesystem::path& folder, const char* extra) {
    test::makeBox({10, -3, 5}, {11, -2.5f, 5.5f})
        .writeObj(fromUtf8((folder / "part.obj").string()), nullptr);
    // Fixed at x = 0, loaded at x = 1: the two end layers are kept solid, so the shape spans the
    // part's box after one step while the elements between them are left to design.
    std::ostringstream fixed, forces;
    for (int z = 0; z <= 4; ++z)
        for (int y = 0; y <= 4; ++y) {
            fixed << "0 " << y << ' ' << z << "  ";
            forces << "8 " << y << ' ' << z << " 0 0 -1  ";
        }
    const auto scene = folder / "scene.txt";
    std::ofstream(scene) << "VOXEL_SIZE: 0.125 0.125 0.125\nELASTIC_MODULUS: 2e9\n"
                            "POISSON_RATIO: 0.394\nDENSITY: 1000\nDAMPING_FACTOR: 0.5\n"
                            "TIME_STEP: 0.05\nMESH: part.obj\nNUM_LEVELS: 3\n"
                         << extra << "FIXED_VERTICES: " << fixed.str()
                         << "\nFORCES: " << forces.str() << "\n";
    return scene;
}

void expectBox(const TriangleMesh& mesh, Vec3f lo, Vec3f hi, const std::string& what) {
    ASSERT_FALSE(mesh.triangles.empty()) << what;
    for (int a = 0; a < 3; ++a) {
        const float tolerance = 1e-3f * (hi[a] - lo[a]);
        EXPECT_NEAR(mesh.center[a] - mesh.halfSize[a], lo[a], tolerance) << what << " axis " << a;
        EXPECT_NEAR(mesh.center[a] + mesh.halfSize[a], hi[a], tolerance) << what << " axis " << a;
    }
}

// Densities on the iso level give marching-cubes triangles without area; no written shape
// holds one, in either format and either coordinates, and each stays closed and outward.
// The memory check counts what the final files need besides the run: the VTK file's arrays (the
// file is streamed from them, byte for byte what vtkImageFileBytes gives) and the smooth
// shape's field.
TEST(BatchVtk, TheMemoryCheckCountsTheFinalFiles) {
    ScratchFolder folder("vtk-memory");
    HostRun host(folder.path(), 8, 4, 3);
    ASSERT_TRUE(host.run->frameMove(0, 0).performed);
    const Optimizer& opt = host.run->optimizer();
    const VtkImage image = resultImage(*host.model, host.run->snapshot(), Matrix4::identity());
    double arrays = 0;
    for (const auto* section : {&image.cellData, &image.pointData})
        for (const VtkDataArray& a : *section) arrays += double(a.bytes.size());
    const Vec3i padded = opt.paddedDensity().resolution();
    const double field = 8.0 * padded.x * padded.y * padded.z;
    SceneSize size;
    size.extent = {8, 4, 3};
    size.elements = double(host.model->numElements(0));
    size.vertices = double(host.model->numVertices(0));
    EXPECT_GE(finalFilesBytes(size), arrays + field);
    EXPECT_LE(finalFilesBytes(size), 1.5 * (arrays + field));
    EXPECT_GE(estimateSceneBytes(size), finalFilesBytes(size) + 8 * size.elements);
    const auto file = folder / "streamed.vti";
    std::ostringstream log;
    ASSERT_TRUE(writeVtkImage(file, image, &log)) << log.str();
    EXPECT_EQ(testing::readFile(file), vtkImageFileBytes(image));
}

// The final files come on top of what the run still holds when it writes them. A model without
// elements isolates the terms that scale with its grid: at the end of a run it holds at least
// the level-0 element and vertex grids (on the host and, as the host device keeps its buffers in
// host memory, once more for the solver) and the optimizer's padded density grid with its
// filter staging (8 + 20 bytes per padded cell). An estimate that left the final files out
// would fall short of that sum by far.
TEST(BatchVtk, TheMemoryEstimateAddsTheFinalFilesToTheRun) {
    for (const std::array<double, 3>& extent :
         {std::array<double, 3>{200, 100, 100}, std::array<double, 3>{64, 64, 64}}) {
        SceneSize size;
        size.extent = extent;
        const double cells = extent[0] * extent[1] * extent[2];
        const double points = (extent[0] + 1) * (extent[1] + 1) * (extent[2] + 1);
        const double padded = (extent[0] + 2) * (extent[1] + 2) * (extent[2] + 2);
        const double heldAtTheEnd = 2 * 4 * (cells + points) + (8 + 20) * padded;
        EXPECT_GE(estimateSceneBytes(size), heldAtTheEnd + finalFilesBytes(size)) << extent[0];
        // The final files of such a model are a large share of it, so the bound is no
        // accident of other terms.
        EXPECT_GT(finalFilesBytes(size), 0.3 * heldAtTheEnd) << extent[0];
    }
}

TEST(WrittenShapes, HoldNoDegenerateTriangles) {
    ScratchFolder folder("degenerate");
    HostRun host(folder.path(), 16, 6, 6);
    std::unique_ptr<FemModel>& model = host.model;
    RunControl& run = *host.run;
    ASSERT_TRUE(run.frameMove(0, 0).performed);
    // Densities 0.5, 0.25 and 1 in a pattern with many elements on the iso level.
    std::vector<float> rho = run.optimizer().densities();
    for (size_t e = 0; e < rho.size(); ++e) rho[e] = e % 3 == 0 ? 0.5f : e % 3 == 1 ? 0.25f : 1.0f;
    run.optimizer().setDensities(rho);
    run.optimizer().extractShape();
    ASSERT_GT(countDegenerateTriangles(run.optimizer().shapeMesh()), 0u) << "the case needs some";
    const double volume = TriangleMesh(run.optimizer().shapeMesh()).computeVolume();

    const Matrix4 moved = Matrix4::fromRows({0, -2, 0, 5, 2, 0, 0, -1, 0, 0, 2, 3, 0, 0, 0, 1});
    struct Case {
        const char* name;
        ShapeFormat format;
        Matrix4 toOutput;
        bool runControl;  ///< written by the window's writer (RunControl::writeShape)
        double scale;     ///< of the volume
    };
    for (const Case& c : {Case{"window OBJ", ShapeFormat::Obj, Matrix4::identity(), true, 1},
                          Case{"batch OBJ", ShapeFormat::Obj, Matrix4::identity(), false, 1},
                          Case{"batch STL", ShapeFormat::Stl, Matrix4::identity(), false, 1},
                          Case{"batch STL, original coordinates", ShapeFormat::Stl, moved, false,
                               8}}) {
        std::filesystem::path file;
        if (c.runControl) {
            file = folder / "window.obj";
            ASSERT_TRUE(run.writeShape(file)) << c.name;
        } else {
            ResultFiles results(*model, folder.path(), c.format, false, c.toOutput, nullptr,
                                nullptr);
            file = results.shapePath(c.name);
            ASSERT_TRUE(results.write(c.name, run.snapshot())) << c.name;
        }
        TriangleMesh shape;
        ASSERT_TRUE(readMeshFile(shape, fromUtf8(file.string()), nullptr)) << c.name;
        EXPECT_EQ(countDegenerateTriangles(shape), 0u) << c.name;
        EXPECT_EQ(testing::edgePairingFault(shape), "") << c.name;
        EXPECT_NEAR(shape.computeVolume(), c.scale * volume, 2e-4 * c.scale * volume) << c.name;
    }
}

TEST(BatchProgram, OriginalCoordinatesPutTheShapeOverTheInputPart) {
    ScratchFolder folder("batch-original");
    struct Case {
        const char* name;
        const char* extra;
        std::vector<std::string> options;
        Vec3f lo, hi;
        const char* file;
    };
    const Case cases[] = {
        {"model coordinates", "", {}, {0, 0, 0}, {1, 0.5f, 0.5f}, "OptimizedShape_final.obj"},
        {"original",
         "",
         {"--original-coordinates"},
         {10, -3, 5},
         {11, -2.5f, 5.5f},
         "OptimizedShape_final.obj"},
        // Scaled to 2 for the model (voxels of 0.125 then cover it 16 x 8 x 8), back to 1.
        {"original, scaled, STL",
         "MESH_SCALE_TO: 2\n",
         {"--original-coordinates", "--format", "stl"},
         {10, -3, 5},
         {11, -2.5f, 5.5f},
         "OptimizedShape_final.stl"},
    };
    for (const Case& c : cases) {
        const auto scene = writeSolidScene(folder.path(), c.extra);
        const auto out = folder / "out";
        std::filesystem::remove_all(out);
        std::vector<std::string> args = {scene.string(), "-n",        "1",        "-q",
                                         "--threads",    "1",         "--device", "host",
                                         "-o",           out.string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        if (std::string(c.name) == "original, scaled, STL") {
            // Forces and fixations name the grid of the scaled model: rebuild them for it.
            std::string text = testing::readFile(scene);
            text = text.substr(0, text.find("FIXED_VERTICES: "));
            std::ostringstream fixed;
            for (int z = 0; z <= 8; ++z)
                for (int y = 0; y <= 8; ++y)
                    fixed << "0 " << y << ' ' << z << "  ";
            text += "FIXED_VERTICES: " + fixed.str() + "\nFORCES: 16 0 0 0 0 -1\n";
            std::ofstream(scene) << text;
        }
        Child child(kBatch, args);
        ASSERT_EQ(child.finish(), 0) << c.name << child.out() << child.err();
        TriangleMesh shape;
        ASSERT_TRUE(readMeshFile(shape, fromUtf8((out / c.file).string()), nullptr)) << c.name;
        if (std::string(c.name) != "original, scaled, STL") {
            expectBox(shape, c.lo, c.hi, c.name);
        } else {
            // Not every element is kept here: the shape lies inside the part's box.
            for (int a = 0; a < 3; ++a) {
                EXPECT_GE(shape.center[a] - shape.halfSize[a], c.lo[a] - 1e-4f) << a;
                EXPECT_LE(shape.center[a] + shape.halfSize[a], c.hi[a] + 1e-4f) << a;
            }
            EXPECT_NEAR(shape.center.x - shape.halfSize.x, 10.0f, 1e-3f) << "the fixed end";
        }
        EXPECT_EQ(testing::edgePairingFault(shape), "") << c.name;
    }
}

TEST(BatchProgram, ShapeEveryChoosesTheShapeFiles) {
    ScratchFolder folder("batch-shape-every");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> files;
    } cases[] = {
        {{"--shape-every", "0"}, {"OptimizedShape_final.obj"}},
        {{"--shape-every", "3", "--format", "stl", "--vtk"},
         {"OptimizedShape_0.stl", "OptimizedShape_0.vti", "OptimizedShape_3.stl",
          "OptimizedShape_3.vti", "OptimizedShape_6.stl", "OptimizedShape_6.vti",
          "OptimizedShape_final.stl", "OptimizedShape_final.vti"}},
    };
    for (const auto& c : cases) {
        const auto out = folder / "out";
        std::filesystem::remove_all(out);
        std::vector<std::string> args = {scene.string(), "-n",        "7",        "-q",
                                         "--threads",    "1",         "--device", "host",
                                         "-o",           out.string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Child child(kBatch, args);
        ASSERT_EQ(child.finish(), 0) << child.err();
        std::vector<std::string> shapes;
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("OptimizedShape_", 0) == 0)
                shapes.push_back(name);
        }
        std::sort(shapes.begin(), shapes.end());
        EXPECT_EQ(shapes, c.files);
        for (const std::string& name : shapes) {
            if (name.size() < 4 || name.substr(name.size() - 4) == ".vti")
                continue;
            TriangleMesh mesh;
            ASSERT_TRUE(readMeshFile(mesh, fromUtf8((out / name).string()), nullptr)) << name;
            EXPECT_EQ(testing::edgePairingFault(mesh), "") << name;
            EXPECT_GT(mesh.computeVolume(), 0.0f) << name;
        }
        if (c.files.size() > 1) {
            EXPECT_NE(child.out().find("Final VTK file: \"" +
                                       (out / "OptimizedShape_final.vti").string() + "\"\n"),
                      std::string::npos)
                << child.out();
            if (havePython()) {
                // The densities of the final file give the volume fraction of the summary.
                const VtiFile vti = readVti(out / "OptimizedShape_final.vti");
                double sum = 0;
                for (double rho : vti.arrays.at("Density"))
                    sum += rho;
                const double fraction = sum / double(vti.arrays.at("Density").size());
                char line[64];
                std::snprintf(line, sizeof line, "Final volume fraction: %.4f\n", fraction);
                EXPECT_NE(child.out().find(line), std::string::npos) << fraction << child.out();
            }
        }
    }
}

/// The number after `key` in `text` (NaN when there is none).
double numberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? std::nan("")
                                   : std::strtod(text.c_str() + at + key.size(), nullptr);
}

/// The shape of the densities in a result image, made as a run makes its shape from the final
/// densities (cells outside the model and the border at the minimum density, iso level 0.5,
/// no degenerate triangles), written as OBJ to `file`.
void writeShapeOfImage(const VtkImage& image, const std::filesystem::path& file) {
    const std::vector<double> density = arrayValues(*findCellArray(image, "Density"));
    const std::vector<double> solid = arrayValues(*findCellArray(image, "Solid"));
    const Vec3i cells = {image.cells[0], image.cells[1], image.cells[2]};
    const Vec3d s = image.spacing;
    Volume<double, double> padded;
    padded.init({cells.x + 2, cells.y + 2, cells.z + 2}, s,
                {image.origin.x - s.x, image.origin.y - s.y, image.origin.z - s.z}, 0.0);
    double* values = padded.data();
    std::fill(values, values + padded.size(), 0.001);
    for (int z = 0; z < cells.z; ++z)
        for (int y = 0; y < cells.y; ++y)
            for (int x = 0; x < cells.x; ++x) {
                const size_t c = size_t(x + cells.x * (y + cells.y * z));
                if (solid[c] != 0)
                    padded(x + 1, y + 1, z + 1) = density[c];
            }
    TriangleMesh mesh;
    extractIsoSurface(padded, 0.5, mesh, false);
    removeDegenerateTriangles(mesh);
    ASSERT_TRUE(mesh.writeObj(fromUtf8(file.string()), nullptr));
}

// Every result option of ostrel-batch alone and all of them together describe one design, the
// final one: the final shape is the same file whatever else is written, the last shape file of
// --shape-every is the final shape, the VTK file's densities give the final shape and its
// energies the summary's compliance, the smooth shape has the design's volume (not the initial
// field's), and the history files and the plot do not change with the options. A crisp run on
// the host device, whose kernel path keeps the design on the device between steps.
TEST(BatchProgram, EveryOutputOptionAloneAndTogetherDescribesTheFinalDesign) {
    ScratchFolder folder("batch-outputs");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    const struct Case {
        const char* name;
        std::vector<std::string> options;
    } cases[] = {
        {"plain", {"--shape-every", "0"}},
        {"smooth", {"--shape-every", "0", "--smooth"}},
        {"vtk", {"--shape-every", "0", "--vtk"}},
        {"stl", {"--shape-every", "0", "--format", "stl"}},
        {"shapes", {"--shape-every", "3"}},
        {"smooth stl", {"--shape-every", "0", "--smooth", "--format", "stl"}},
        {"all obj", {"--shape-every", "3", "--smooth", "--vtk"}},
        {"all stl", {"--shape-every", "3", "--smooth", "--vtk", "--format", "stl"}},
    };
    // Seven steps: shapes of steps 0, 3 and 6, the last of which is the final design.
    std::map<std::string, std::string> summaries;
    for (const Case& c : cases) {
        const auto out = folder / c.name;
        std::vector<std::string> args = {scene.string(), "-n",        "7",         "--projection",
                                         "-q",           "--threads", "1",         "--device",
                                         "host",         "-o",        out.string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Child child(kBatch, args);
        ASSERT_EQ(child.finish(), 0) << c.name << "\n" << child.out() << child.err();
        EXPECT_EQ(child.err().find("ERROR"), std::string::npos) << c.name << child.err();
        summaries[c.name] = child.out();
    }
    const auto file = [&](const char* run, const std::string& name) {
        return testing::readFile(folder / run / name);
    };
    const auto has = [](const Case& c, const char* option) {
        return std::find(c.options.begin(), c.options.end(), option) != c.options.end();
    };
    const std::string finalObj = file("plain", "OptimizedShape_final.obj");
    const std::string finalStl = file("stl", "OptimizedShape_final.stl");
    ASSERT_FALSE(finalObj.empty());
    ASSERT_FALSE(finalStl.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool stl = has(c, "stl"), shapes = has(c, "3");
        const std::string ext = stl ? ".stl" : ".obj";
        // The history and its plot, whatever the files.
        for (const char* name : {"ObjectiveValue.txt", "VolumeRatio.txt", "Sharpness.txt",
                                 "NumCycles.txt", "Constraint.txt", "history.svg"})
            EXPECT_EQ(file(c.name, name), file("plain", name)) << name;
        EXPECT_EQ(file(c.name, "OptimizedShape_final" + ext), stl ? finalStl : finalObj);
        if (shapes) {
            EXPECT_EQ(file(c.name, "OptimizedShape_6" + ext), stl ? finalStl : finalObj);
            EXPECT_EQ(file(c.name, "OptimizedShape_3" + ext),
                      file(stl ? "all stl" : "shapes", "OptimizedShape_3" + ext));
            EXPECT_NE(file(c.name, "OptimizedShape_0" + ext),
                      file(c.name, "OptimizedShape_3" + ext));
        }
        if (has(c, "--vtk")) {
            EXPECT_EQ(file(c.name, "OptimizedShape_final.vti"),
                      file("vtk", "OptimizedShape_final.vti"));
            if (shapes) {
                // The last step's file holds the same design; its displacements and energies
                // belong to the solve before the step's update, the final file's to the final
                // design solved once more.
                VtkImage step, last;
                std::string error;
                ASSERT_TRUE(readVtkImage(folder / c.name / "OptimizedShape_6.vti", step, error))
                    << error;
                ASSERT_TRUE(readVtkImage(folder / "vtk" / "OptimizedShape_final.vti", last, error))
                    << error;
                for (const char* name : {"Density", "Design", "Kept", "Solid"}) {
                    const VtkDataArray* a = findCellArray(step, name);
                    const VtkDataArray* b = findCellArray(last, name);
                    ASSERT_TRUE(a && b) << name;
                    EXPECT_EQ(arrayValues(*a), arrayValues(*b)) << name;
                }
            }
        }
        if (has(c, "--smooth")) {
            EXPECT_EQ(file(c.name, "OptimizedShape_smooth" + ext),
                      file(stl ? "smooth stl" : "smooth", "OptimizedShape_smooth" + ext));
            EXPECT_NE(summaries[c.name].find("Smooth shape: "), std::string::npos)
                << summaries[c.name];
        }
    }
    // The STL and the OBJ hold the same surface.
    TriangleMesh obj, stl;
    ASSERT_TRUE(readMeshFile(
        obj, fromUtf8((folder / "plain" / "OptimizedShape_final.obj").string()), nullptr));
    ASSERT_TRUE(readMeshFile(stl, fromUtf8((folder / "stl" / "OptimizedShape_final.stl").string()),
                             nullptr));
    EXPECT_EQ(stl.triangles.size(), obj.triangles.size());
    EXPECT_NEAR(stl.computeVolume(), obj.computeVolume(), 1e-5 * obj.computeVolume());

    // The VTK file against the files of the final design: its densities make the final shape,
    // its energies sum to the summary's compliance, its design has left the initial one.
    VtkImage image;
    std::string error;
    ASSERT_TRUE(readVtkImage(folder / "vtk" / "OptimizedShape_final.vti", image, error)) << error;
    writeShapeOfImage(image, folder / "of-the-densities.obj");
    EXPECT_EQ(testing::readFile(folder / "of-the-densities.obj"), finalObj);
    double energy = 0;
    for (double q : arrayValues(*findCellArray(image, "Energy")))
        energy += q;
    // The summary's compliance is the final design's, solved once more: the file's energies
    // belong to that solve, not to the history's last one (the design before the last update).
    const std::string& vtkSummary = summaries["vtk"];
    const size_t at = vtkSummary.find("Compliance: ");
    ASSERT_NE(at, std::string::npos) << vtkSummary;
    const double compliance = std::stod(vtkSummary.substr(at + 12));
    const double lastOfHistory =
        std::stod(testing::readLines(folder / "plain" / "ObjectiveValue.txt").back());
    EXPECT_NEAR(energy, compliance, 1e-5 * compliance);
    EXPECT_GT(std::abs(energy - lastOfHistory), 1e-4 * compliance);
    const std::vector<double> design = arrayValues(*findCellArray(image, "Design"));
    const std::vector<double> kept = arrayValues(*findCellArray(image, "Kept"));
    size_t designable = 0, moved = 0;
    for (size_t c = 0; c < design.size(); ++c)
        if (kept[c] == 0) {
            ++designable;
            moved += design[c] != double(0.36f);
        }
    EXPECT_GT(moved, designable / 2) << "the design of the last step, not the reset's";

    // The smooth shape: the design's volume, from a level the final densities set.
    const std::vector<double> density = arrayValues(*findCellArray(image, "Density"));
    const std::vector<double> solid = arrayValues(*findCellArray(image, "Solid"));
    double material = 0;
    for (size_t c = 0; c < density.size(); ++c)
        material += solid[c] * density[c];
    material *= image.spacing.x * image.spacing.y * image.spacing.z;
    const std::string& summary = summaries["smooth"];
    EXPECT_NEAR(numberAfter(summary, " of the design's "), material, 1e-4 * material) << summary;
    EXPECT_GT(std::fabs(numberAfter(summary, "(level ") - 0.36), 1e-3) << summary;
    for (const char* run : {"smooth", "smooth stl"}) {
        const std::string ext = std::string(run) == "smooth" ? ".obj" : ".stl";
        TriangleMesh smooth;
        ASSERT_TRUE(readMeshFile(
            smooth, fromUtf8((folder / run / ("OptimizedShape_smooth" + ext)).string()), nullptr));
        EXPECT_NEAR(smooth.computeVolume(), material, 0.02 * material) << run;
    }
}

TEST(BatchProgram, SceneLintPointsAtTheTypoBeforeTheLoadFails) {
    ScratchFolder folder("batch-lint");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    std::string text = testing::readFile(scene);
    text.replace(0, std::string("VOXEL_SIZE").size(), "VOXEL_SIZ");
    text += "ELASTIC_MODULUS: 2.1e11\nColour: blue\n";
    std::ofstream(scene) << text;
    Child child(kBatch, {scene.string(), "-q", "--threads", "1", "-o", folder.path().string()});
    EXPECT_EQ(child.finish(), 1);
    std::string name = scene.string();
    name.insert(name.begin(), '"');
    name.push_back('"');
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err(), "WARNING: Unknown key \"VOXEL_SIZ\" in line 1 of file " + name +
                               "; did you mean \"VOXEL_SIZE\"?\n"
                               "WARNING: Unknown key \"COLOUR\" in line 13 of file " +
                               name +
                               "\n"
                               "WARNING: Key \"ELASTIC_MODULUS\" in line 12 of file " +
                               name +
                               " has already been specified. The old value has been overwritten.\n"
                               "ERROR: Entry \"VOXEL_SIZE\" not found\n"
                               "ERROR: Cannot load scene " + name + "\n");
}

TEST(BatchProgram, MaterialOpenMeshAndPiecesAreReported) {
    ScratchFolder folder("batch-checks");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    // An open beam (a triangle of its y = 0 side missing, which no voxel column crosses) and
    // a stray cube beside it.
    std::string mesh = testing::readFile(folder / "beam.obj");
    mesh.erase(mesh.find("f 1 2 6\n"), 8);
    mesh +=
        "v 0 0.75 0\nv 0.25 0.75 0\nv 0.25 1 0\nv 0 1 0\nv 0 0.75 0.25\nv 0.25 0.75 0.25\n"
        "v 0.25 1 0.25\nv 0 1 0.25\n"
        "f 9 11 10\nf 13 14 15\nf 9 12 11\nf 13 15 16\nf 9 10 14\nf 9 14 13\nf 10 11 15\n"
        "f 10 15 14\nf 11 12 16\nf 11 16 15\nf 12 9 13\nf 12 13 16\n";
    std::ofstream(folder / "beam.obj") << mesh;
    std::string text = testing::readFile(scene);
    text += "GRAVITY: 0 0 -9.81\n";
    std::ofstream(scene) << text;
    Child child(kBatch,
                {scene.string(), "-n", "1", "-q", "--threads", "1", "-o", folder.path().string()});
    child.finish();
    EXPECT_EQ(child.out().find("WARNING"), std::string::npos) << child.out();
    const std::string& out = child.err();
    EXPECT_NE(out.find("WARNING: ELASTIC_MODULUS, POISSON_RATIO, DENSITY, DAMPING_FACTOR, "
                       "TIME_STEP and GRAVITY are read but do not change the model: it computes "
                       "with E = 2e9 Pa, Poisson ratio 0.394 and the applied forces alone (this "
                       "scene sets GRAVITY 0 0 -9.81)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("WARNING: The mesh \"beam.obj\" is open: 3 edges belong to one triangle "
                       "only; "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("WARNING: The voxel model falls into 2 pieces that share no vertex "
                       "(sizes 256, 8 voxels); a piece without fixed vertices cannot be held "
                       "in place\n"),
              std::string::npos)
        << out;
}

}  // namespace
}  // namespace ostrel

namespace ostrel {
namespace {

/// Local wall thickness of a 0/1 voxel field (nx*ny*nz, x fastest), voxel by voxel: the edge of
/// the largest cube of solid voxels that holds the voxel (0 for void voxels). A plate t voxels
/// thick has thickness t everywhere away from its rims, a t x t bar t.
std::vector<int> localThickness(const std::vector<bool>& solid, int nx, int ny, int nz) {
    // prefix[(z*(ny+1) + y)*(nx+1) + x] = solid voxels in [0,x) x [0,y) x [0,z).
    const auto at = [&](int x, int y, int z) {
        return (size_t(z) * size_t(ny + 1) + size_t(y)) * size_t(nx + 1) + size_t(x);
    };
    std::vector<int> prefix(size_t(nx + 1) * size_t(ny + 1) * size_t(nz + 1), 0);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x)
                prefix[at(x + 1, y + 1, z + 1)] =
                    int(solid[(size_t(z) * size_t(ny) + size_t(y)) * size_t(nx) + size_t(x)]) +
                    prefix[at(x, y + 1, z + 1)] + prefix[at(x + 1, y, z + 1)] +
                    prefix[at(x + 1, y + 1, z)] - prefix[at(x, y, z + 1)] -
                    prefix[at(x, y + 1, z)] - prefix[at(x + 1, y, z)] + prefix[at(x, y, z)];
    std::vector<int> thickness(solid.size(), 0);
    for (int k = 1; k <= std::min({nx, ny, nz}); ++k)
        for (int z = 0; z + k <= nz; ++z)
            for (int y = 0; y + k <= ny; ++y)
                for (int x = 0; x + k <= nx; ++x) {
                    const int X = x + k, Y = y + k, Z = z + k;
                    const int inside = prefix[at(X, Y, Z)] - prefix[at(x, Y, Z)] -
                                       prefix[at(X, y, Z)] - prefix[at(X, Y, z)] +
                                       prefix[at(x, y, Z)] + prefix[at(x, Y, z)] +
                                       prefix[at(X, y, z)] - prefix[at(x, y, z)];
                    if (inside != k * k * k) continue;
                    for (int c = z; c < Z; ++c)
                        for (int b = y; b < Y; ++b)
                            for (int a = x; a < X; ++a)
                                thickness[(size_t(c) * size_t(ny) + size_t(b)) * size_t(nx) +
                                          size_t(a)] = k;
                }
    return thickness;
}

TEST(LocalThickness, PlatesAndBarsInAVoxelField) {
    const int nx = 9, ny = 8, nz = 7;
    std::vector<bool> solid(size_t(nx * ny * nz), false);
    auto set = [&](int x, int y, int z) { solid[size_t((z * ny + y) * nx + x)] = true; };
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x)
            for (int z = 0; z < 3; ++z) set(x, y, z);  // a plate 3 thick at the bottom
    for (int z = 3; z < nz; ++z) set(0, 0, z);          // a thin bar standing on it
    const std::vector<int> t = localThickness(solid, nx, ny, nz);
    EXPECT_EQ(t[size_t((1 * ny + 4) * nx + 4)], 3);
    EXPECT_EQ(t[size_t((5 * ny + 0) * nx + 0)], 1);
    EXPECT_EQ(t[size_t((5 * ny + 4) * nx + 4)], 0);
}

// The member size: with void beyond the grid's faces, walls along the faces are filtered like
// walls inside, so the thin walls of a crisp cantilever thicken with the filter radius. (With
// the neighbourhood clipped at the faces, radius 1.5 and 4 both gave hollow sections with walls
// of 1 to 2 voxels along the faces.)
TEST(BatchMemberSize, ThinWallsOfACrispCantileverGrowWithTheFilterRadius) {
    if (!havePython())
        GTEST_SKIP() << "no python3";
    ScratchFolder folder("member-size");
    const auto scene = testing::writeCantileverScene(folder.path(), 48);
    std::map<std::string, int> quarter, median;
    for (const char* radius : {"1.5", "4"}) {
        SCOPED_TRACE(radius);
        const auto out = folder / (std::string("r") + radius);
        Child child(kBatch, {scene.string(), "--projection", "--filter-radius", radius,
                             "--converge", "0.001", "-n", "120", "--shape-every", "0", "--vtk",
                             "-q", "--device", "host", "--threads", "2", "-o", out.string()});
        ASSERT_EQ(child.finish(), 0) << child.err();
        const VtiFile vti = readVti(out / "OptimizedShape_final.vti");
        const std::vector<double>& extent = vti.grid.at("extent");
        const int nx = int(extent[1]), ny = int(extent[3]), nz = int(extent[5]);
        ASSERT_EQ(nx, 48);
        const std::vector<double>& density = vti.arrays.at("Density");
        std::vector<bool> solid(density.size());
        for (size_t c = 0; c < density.size(); ++c) solid[c] = density[c] > 0.5;
        const std::vector<int> all = localThickness(solid, nx, ny, nz);
        std::vector<int> walls;
        for (size_t c = 0; c < all.size(); ++c)
            if (solid[c]) walls.push_back(all[c]);
        ASSERT_GT(walls.size(), all.size() / 5);
        std::sort(walls.begin(), walls.end());
        quarter[radius] = walls[walls.size() / 4];
        median[radius] = walls[walls.size() / 2];
    }
    // The thinner quarter of the material, and the typical wall. (The radius is no smallest
    // member size: walls of 2 voxels remain in the thinner quarter at radius 4 too, since the
    // load's edge is filtered clipped and the last beta's updates are damped.)
    EXPECT_LE(quarter["1.5"], 2);
    EXPECT_GE(quarter["4"], 2);
    EXPECT_GT(median["4"], median["1.5"]);
}

// Loads and supports on edges stay reachable at large radii: with void beyond the faces, the
// elements along the cantilever's loaded edge would filter below 0.5 from a radius of about 4.3
// on, and the load row would hang on the design by an edge (a hinge). The crisp designs at
// radius 5 and 8 hold a path of solid elements, each sharing a face with the next, from every
// loaded element to a fixed one (a search of their own here, apart from the program's check).
TEST(BatchReach, CrispCantileverJoinsLoadsToSupportsThroughFacesAtLargeRadii) {
    ASSERT_TRUE(havePython()) << "python3 is not installed (scripts/setup installs it)";
    ScratchFolder folder("reach");
    const int nx = 40, ny = 10, nz = 10;
    const auto scene = testing::writeCantileverScene(folder.path(), nx);
    for (const char* radius : {"5", "8"}) {
        SCOPED_TRACE(radius);
        const auto out = folder / (std::string("r") + radius);
        Child child(kBatch, {scene.string(), "--projection", "--filter-radius", radius,
                             "--converge", "0.001", "-n", "200", "--shape-every", "0", "--vtk",
                             "-q", "--device", "host", "--threads", "2", "-o", out.string()});
        ASSERT_EQ(child.finish(), 0) << child.err() << child.out();
        const VtiFile vti = readVti(out / "OptimizedShape_final.vti");
        const std::vector<double>& density = vti.arrays.at("Density");
        ASSERT_EQ(density.size(), size_t(nx * ny * nz));
        auto cell = [&](int x, int y, int z) { return size_t((z * ny + y) * nx + x); };
        std::vector<uint8_t> reached(density.size(), 0);
        std::vector<std::array<int, 3>> queue;
        // Fixed vertices at x = 0: the elements of the first layer.
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                if (density[cell(0, y, z)] >= 0.5) {
                    reached[cell(0, y, z)] = 1;
                    queue.push_back({0, y, z});
                }
        for (size_t next = 0; next < queue.size(); ++next) {
            const auto [x, y, z] = queue[next];
            const int steps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0},
                                     {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
            for (const auto& d : steps) {
                const int a = x + d[0], b = y + d[1], c = z + d[2];
                if (a < 0 || b < 0 || c < 0 || a >= nx || b >= ny || c >= nz) continue;
                if (reached[cell(a, b, c)] || density[cell(a, b, c)] < 0.5) continue;
                reached[cell(a, b, c)] = 1;
                queue.push_back({a, b, c});
            }
        }
        // The loads lie on the edge x = nx, z = 0: the elements below it.
        for (int y = 0; y < ny; ++y) EXPECT_TRUE(reached[cell(nx - 1, y, 0)]) << "y " << y;
    }
}

}  // namespace
}  // namespace ostrel
