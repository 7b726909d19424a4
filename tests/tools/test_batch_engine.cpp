// ostrel-batch --engine petsc under mpirun: the same run on 1, 2 and 3 processes gives the same
// history files and final densities as each other and as the single-process program; the first
// compliance of every example is the single-process program's at a tight tolerance; the shapes
// the processes make together are closed; a checkpoint of a two-process run resumes byte for
// byte and is refused by another process count or scene; a stop request sent to one process
// stops every process after the same step with the final files written; a PETSc error on the
// processes ends them all with its "ERROR: " line; the command lines that do not go with the
// engine are refused.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "support/MeshBuilders.h"
#include "support/RunTestSupport.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

/// Open MPI's consent to start as root and to start more processes than cores.
void allowMpi() {
    ::setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
    ::setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
    ::setenv("OMPI_MCA_rmaps_base_oversubscribe", "1", 1);
}

/// mpirun -n `ranks` ostrel-batch `args`.
std::vector<std::string> onRanks(int ranks, const std::vector<std::string>& args) {
    std::vector<std::string> words{"-n", std::to_string(ranks), OSTREL_BATCH_EXE};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::vector<double> numbersIn(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<double> values;
    for (double v; in >> v;) values.push_back(v);
    return values;
}

/// The largest relative difference of two equally long lists (scaled by the larger magnitude
/// of each pair, at least `floor`); infinity when their lengths differ.
double largestRelativeDifference(const std::vector<double>& a, const std::vector<double>& b,
                                 double floor = 1e-12) {
    if (a.size() != b.size() || a.empty()) return INFINITY;
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]) /
                                    std::max({std::abs(a[i]), std::abs(b[i]), floor}));
    return worst;
}

/// The "Density" cells of `file`: a .vti, or the engine's .pvti with its pieces.
std::vector<double> finalDensities(const std::filesystem::path& file) {
    VtkImage image;
    std::string error;
    if (!readVtkImage(file, image, error)) {
        ADD_FAILURE() << error;
        return {};
    }
    const VtkDataArray* density = findCellArray(image, "Density");
    if (!density) return {};
    return arrayValues(*density);
}

// The history files that carry the design's figures (NumCycles counts the solver's own
// iterations, which differ between the engines).
const char* const kHistoryFiles[] = {"ObjectiveValue.txt", "VolumeRatio.txt", "Sharpness.txt"};

class BatchEngine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OSTREL_PETSC_BUILT) GTEST_SKIP() << "built without the many-process engine";
        allowMpi();
        scene_ = testing::writeCantileverScene(folder_.path(), 24).string();
    }
    /// Runs the engine on `ranks` processes into `out` with `more` options; its exit status.
    int engine(int ranks, const std::string& out, std::vector<std::string> more = {},
               std::string* err = nullptr) {
        std::vector<std::string> args{scene_, "--engine", "petsc", "--quiet", "-o",
                                      (folder_.path() / out).string()};
        args.insert(args.end(), more.begin(), more.end());
        Child run(OSTREL_MPIRUN, onRanks(ranks, args));
        const int status = run.finish();
        if (err) *err = run.err();
        if (status != 0 && !err) ADD_FAILURE() << run.out() << run.err();
        return status;
    }
    std::filesystem::path path(const std::string& name) const { return folder_.path() / name; }
    /// ostrel-batch's words for `scene` on the host device into the scratch folder `out`, then
    /// `options`.
    std::vector<std::string> singleRun(const std::string& scene, const std::string& out,
                                       const std::vector<std::string>& options) const {
        std::vector<std::string> words{scene, "--device", "host", "-o", path(out).string()};
        words.insert(words.end(), options.begin(), options.end());
        return words;
    }
    /// mpirun's words for the engine on `ranks` processes, `scene` into `out`, then `options`.
    std::vector<std::string> engineRun(int ranks, const std::string& scene, const std::string& out,
                                       const std::vector<std::string>& options) const {
        std::vector<std::string> words{scene, "--engine", "petsc", "-o", path(out).string()};
        words.insert(words.end(), options.begin(), options.end());
        return onRanks(ranks, words);
    }

    ScratchFolder folder_{"batch-engine"};
    std::string scene_;
};

TEST_F(BatchEngine, HistoryAgreesOnOneTwoAndThreeProcessesAndWithOneProcess) {
    // Every solve to a tight tolerance, so that rounding is all that differs between the
    // process counts, and the solvers' rounding between the engines.
    Child single(OSTREL_BATCH_EXE, {scene_, "--quiet", "--device", "host", "--threads", "1",
                                    "--iterations", "20", "--shape-every", "0", "--vtk",
                                    "--tolerance", "1e-9", "-o", path("single").string()});
    ASSERT_EQ(single.finish(), 0) << single.err();
    // The engine takes the tolerance from --tolerance or from PETSc's own option.
    for (int ranks : {1, 2})
        ASSERT_EQ(engine(ranks, "ranks" + std::to_string(ranks),
                         {"--iterations", "20", "--shape-every", "0", "--vtk", "--tolerance",
                          "1e-9"}),
                  0);
    ASSERT_EQ(engine(3, "ranks3",
                     {"--iterations", "20", "--shape-every", "0", "--vtk", "--", "-ksp_rtol",
                      "1e-9"}),
              0);
    for (const char* name : kHistoryFiles) {
        const std::vector<double> one = numbersIn(path("ranks1") / name);
        ASSERT_GE(one.size(), 20u) << name;
        for (int ranks : {2, 3})
            EXPECT_LT(largestRelativeDifference(
                          one, numbersIn(path("ranks" + std::to_string(ranks)) / name)),
                      1e-6)
                << name << " on " << ranks << " processes";
        EXPECT_LT(largestRelativeDifference(one, numbersIn(path("single") / name)), 1e-4)
            << name << " against the single-process program";
    }
    const std::vector<double> reference =
        finalDensities(path("single") / "OptimizedShape_final.vti");
    ASSERT_FALSE(reference.empty());
    for (int ranks : {1, 2, 3}) {
        // The engine's VTK file is a .pvti with one piece per process, read back as one image.
        const std::vector<double> got = finalDensities(path("ranks" + std::to_string(ranks)) /
                                                       "OptimizedShape_final.pvti");
        ASSERT_EQ(got.size(), reference.size());
        double worst = 0;
        for (size_t e = 0; e < got.size(); ++e)
            worst = std::max(worst, std::abs(got[e] - reference[e]));
        EXPECT_LT(worst, 1e-3) << ranks << " processes";
    }
    // Process 0 alone writes: no shape files of the steps, one final shape, nothing else of
    // the other processes.
    EXPECT_TRUE(std::filesystem::exists(path("ranks3") / "OptimizedShape_final.obj"));
    EXPECT_TRUE(std::filesystem::exists(path("ranks3") / "history.svg"));
    for (const char* name : {"OptimizedShape_final_0.vti", "OptimizedShape_final_1.vti",
                             "OptimizedShape_final_2.vti"})
        EXPECT_TRUE(std::filesystem::exists(path("ranks3") / name)) << name;
    EXPECT_FALSE(std::filesystem::exists(path("ranks3") / "OptimizedShape_final.vti"));
    EXPECT_FALSE(std::filesystem::exists(path("ranks3") / "OptimizedShape_final_3.vti"));
}

TEST_F(BatchEngine, FirstComplianceOfEveryExampleIsTheSingleProcessPrograms) {
    for (const char* example : {"cantilever", "bridge", "bracket", "ring"}) {
        const std::string scene =
            (std::filesystem::path(OSTREL_SOURCE_DIR) / "examples" / example / "scene.txt")
                .string();
        const std::vector<std::string> options{"--quiet", "--iterations", "1", "--shape-every",
                                               "0", "--tolerance", "1e-8"};
        Child single(OSTREL_BATCH_EXE,
                     singleRun(scene, std::string("single-") + example, options));
        ASSERT_EQ(single.finish(), 0) << single.err();
        Child engine(OSTREL_MPIRUN,
                     engineRun(2, scene, std::string("engine-") + example, options));
        ASSERT_EQ(engine.finish(), 0) << engine.err();
        const std::vector<double> expected =
            numbersIn(path(std::string("single-") + example) / "ObjectiveValue.txt");
        const std::vector<double> got =
            numbersIn(path(std::string("engine-") + example) / "ObjectiveValue.txt");
        ASSERT_EQ(expected.size(), 1u) << example;
        ASSERT_EQ(got.size(), 1u) << example;
        EXPECT_NEAR(got[0], expected[0], 1e-6 * expected[0]) << example;
    }
}

TEST_F(BatchEngine, TwoLoadCasesAndAMirrorPlaneAgreeWithOneProcess) {
    // The two-cases example (two load cases, a mirror plane) as far as its eighth design, whose
    // contrast once made the engine's V-cycle indefinite at this tolerance (CG broke down from
    // the seventh step on, with the finest smoother's estimate taken by GMRES in ten steps).
    const std::string scene =
        (std::filesystem::path(OSTREL_SOURCE_DIR) / "examples/two-cases/scene.txt").string();
    const std::vector<std::string> options{"--quiet", "--iterations", "8", "--shape-every", "0",
                                           "--tolerance", "1e-9"};
    Child single(OSTREL_BATCH_EXE, singleRun(scene, "single", options));
    ASSERT_EQ(single.finish(), 0) << single.err();
    Child engine(OSTREL_MPIRUN, engineRun(2, scene, "engine", options));
    ASSERT_EQ(engine.finish(), 0) << engine.err();
    // Smoothers told to trust a short estimate (GMRES's, ten steps, PETSc's usual 10 % margin)
    // break down on the seventh design; the engine sets the solve up again with cautious
    // smoothing and goes on to the same designs.
    std::vector<std::string> toldOptions = options;
    toldOptions.insert(toldOptions.end(), {"--", "-mg_levels_esteig_ksp_type", "gmres",
                                           "-mg_levels_esteig_ksp_max_it", "10",
                                           "-mg_levels_ksp_chebyshev_esteig", "0,0.1,0,1.1"});
    Child told(OSTREL_MPIRUN, engineRun(2, scene, "told", toldOptions));
    ASSERT_EQ(told.finish(), 0) << told.err();
    for (const auto& [run, folder] : {std::pair{&engine, "engine"}, std::pair{&told, "told"}}) {
        EXPECT_EQ(run->err().find("WARNING: Solver has not converged"), std::string::npos)
            << folder << ": " << run->err();
        for (const char* name : kHistoryFiles)
            EXPECT_LT(largestRelativeDifference(numbersIn(path(folder) / name),
                                                numbersIn(path("single") / name)),
                      1e-4)
                << folder << ": " << name;
    }
}

/// The number after the first `label` in `text`; NaN when it is not there.
double numberAfter(const std::string& text, const std::string& label) {
    const size_t at = text.find(label);
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + label.size(), nullptr);
}

TEST_F(BatchEngine, ReportOfTwoProcessesIsTheSingleProcessPrograms) {
    // Both engines solve to a tight tolerance: the designs are the same, and so are the
    // report's solves in the scene's material.
    const std::vector<std::string> options{"--quiet", "--iterations", "3", "--shape-every", "0",
                                           "--vtk", "--tolerance", "1e-9", "--report",
                                           "--yield-stress", "1e7"};
    Child single(OSTREL_BATCH_EXE, singleRun(scene_, "single", options));
    ASSERT_EQ(single.finish(), 0) << single.err();
    Child engine(OSTREL_MPIRUN, engineRun(2, scene_, "engine", options));
    ASSERT_EQ(engine.finish(), 0) << engine.err();
    for (const char* label : {"Case 1 displacement: largest ", "Case 1 von Mises maximum: ",
                              "Case 1 von Mises 99.9th percentile: ",
                              "Case 1 safety factor: "}) {
        const double expected = numberAfter(single.out(), label);
        ASSERT_TRUE(std::isfinite(expected)) << label << single.out();
        EXPECT_NEAR(numberAfter(engine.out(), label), expected, 1e-4 * std::abs(expected))
            << label << engine.out();
    }
    // The report's solves reach the report's own tolerance (1e-5), also when the steps' is the
    // default 0.01; the residual is the engine's, not read from the host solver's buffers.
    Child loose(OSTREL_MPIRUN, onRanks(2, {scene_, "--engine", "petsc", "--quiet", "--iterations",
                                           "3", "--shape-every", "0", "--report", "-o",
                                           path("loose").string()}));
    ASSERT_EQ(loose.finish(), 0) << loose.err();
    for (const Child* run : {&engine, &loose}) {
        const double residual = numberAfter(run->out(), "multigrid cycles, relative residual ");
        EXPECT_GT(residual, 0.0) << run->out();
        EXPECT_LE(residual, 1e-5) << run->out();
    }
    // The stresses are cells of the final image, as in one process.
    const std::vector<double> expected = [&] {
        VtkImage image;
        std::string error;
        EXPECT_TRUE(readVtkImage(path("single") / "OptimizedShape_final.vti", image, error));
        const VtkDataArray* cells = findCellArray(image, "VonMises");
        return cells ? arrayValues(*cells) : std::vector<double>{};
    }();
    VtkImage image;
    std::string error;
    ASSERT_TRUE(readVtkImage(path("engine") / "OptimizedShape_final.pvti", image, error)) << error;
    const VtkDataArray* cells = findCellArray(image, "VonMises");
    ASSERT_NE(cells, nullptr);
    const std::vector<double> got = arrayValues(*cells);
    ASSERT_EQ(got.size(), expected.size());
    ASSERT_FALSE(got.empty());
    const double largest = *std::max_element(expected.begin(), expected.end());
    for (size_t e = 0; e < got.size(); ++e)
        ASSERT_NEAR(got[e], expected[e], 1e-4 * largest) << "cell " << e;
}

TEST_F(BatchEngine, VtkFilesOfTwoProcessesAreParallelImagesThatEvaluateReads) {
    const std::filesystem::path out = path("pvti");
    Child run(OSTREL_MPIRUN, onRanks(2, {scene_, "--engine", "petsc", "--quiet", "--iterations",
                                         "6", "--shape-every", "5", "--vtk", "-o", out.string()}));
    ASSERT_EQ(run.finish(), 0) << run.out() << run.err();
    const std::filesystem::path final = out / "OptimizedShape_final.pvti";
    EXPECT_NE(run.out().find("Final VTK file: \"" + final.string() + "\"\n"), std::string::npos)
        << run.out();
    // The step's file and the final one, each a .pvti and one piece per process.
    for (const char* name : {"OptimizedShape_5.pvti", "OptimizedShape_5_0.vti",
                             "OptimizedShape_5_1.vti", "OptimizedShape_final_0.vti",
                             "OptimizedShape_final_1.vti"})
        EXPECT_TRUE(std::filesystem::exists(out / name)) << name;
    for (const char* name : {"OptimizedShape_5.vti", "OptimizedShape_final.vti",
                             "OptimizedShape_final_2.vti"})
        EXPECT_FALSE(std::filesystem::exists(out / name)) << name;
    // The pieces split the 24 x 6 x 6 grid's z cells: 0..3 and 3..6, sharing the points at 3.
    for (int piece : {0, 1}) {
        VtkImage image;
        std::string error;
        ASSERT_TRUE(readVtkImage(out / ("OptimizedShape_final_" + std::to_string(piece) + ".vti"),
                                 image, error))
            << error;
        EXPECT_EQ(image.first[2], 3 * piece);
        EXPECT_EQ(image.cells[2], 3);
    }
    // The shapes the two processes made together: one closed surface each, no seam between
    // the processes' layers.
    for (const char* name : {"OptimizedShape_5.obj", "OptimizedShape_final.obj"}) {
        TriangleMesh shape;
        ASSERT_TRUE(shape.readObj((out / name).wstring(), nullptr)) << name;
        EXPECT_GT(shape.triangles.size(), 100u) << name;
        EXPECT_TRUE(test::isClosedAndOriented(shape)) << name;
        EXPECT_GT(shape.computeVolume(), 0.0f) << name;
    }
    Child evaluate(OSTREL_EVALUATE_EXE, {"--scene", scene_, "--densities", final.string()});
    EXPECT_EQ(evaluate.finish(), 0) << evaluate.out() << evaluate.err();
    EXPECT_EQ(evaluate.out().rfind("Densities: \"" + final.string() + "\" (", 0), 0u)
        << evaluate.out();
}

TEST_F(BatchEngine, CheckpointOfTwoProcessesResumesByteForByte) {
    ASSERT_EQ(engine(2, "whole", {"--iterations", "14", "--shape-every", "0"}), 0);
    ASSERT_EQ(engine(2, "first", {"--iterations", "8", "--shape-every", "0",
                                  "--checkpoint-every", "4"}),
              0);
    for (int rank : {0, 1})
        EXPECT_TRUE(std::filesystem::exists(path("first") / "checkpoint" /
                                            ("step-8-rank-" + std::to_string(rank) + "-of-2.bin")));
    ASSERT_EQ(engine(2, "second", {"--iterations", "14", "--shape-every", "0", "--resume",
                                   path("first").string()}),
              0);
    for (const char* name : {"ObjectiveValue.txt", "VolumeRatio.txt", "Sharpness.txt",
                             "NumCycles.txt", "Constraint.txt"})
        EXPECT_EQ(testing::readFile(path("second") / name), testing::readFile(path("whole") / name))
            << name;

    // Another process count, another engine and another scene are refused.
    std::string err;
    EXPECT_EQ(engine(3, "third", {"--iterations", "14", "--resume", path("first").string()}, &err),
              1);
    EXPECT_NE(err.find("ERROR: Cannot resume: "), std::string::npos) << err;
    EXPECT_NE(err.find("3"), std::string::npos) << err;
    Child single(OSTREL_BATCH_EXE, {scene_, "--quiet", "--device", "host", "--iterations", "14",
                                    "--resume", path("first").string(), "-o",
                                    path("single").string()});
    EXPECT_EQ(single.finish(), 1);
    EXPECT_NE(single.err().find("ERROR: Cannot resume: "), std::string::npos) << single.err();
    // A checkpoint whose file of process 1 is cut short: process 1 alone cannot read it, and
    // process 0 says why.
    std::filesystem::copy(path("first"), path("cut"), std::filesystem::copy_options::recursive);
    const std::filesystem::path second = path("cut") / "checkpoint" / "step-8-rank-1-of-2.bin";
    std::filesystem::resize_file(second, std::filesystem::file_size(second) / 2);
    EXPECT_EQ(engine(2, "fifth", {"--iterations", "14", "--resume", path("cut").string()}, &err),
              1);
    EXPECT_NE(err.find("ERROR: Cannot resume: "), std::string::npos) << err;
    EXPECT_NE(err.find("rank-1"), std::string::npos) << err;
    std::ofstream(path("scene.txt"), std::ios::app) << "\n";
    EXPECT_EQ(engine(2, "fourth", {"--iterations", "14", "--resume", path("first").string()}, &err),
              1);
    EXPECT_NE(err.find("ERROR: Cannot resume: "), std::string::npos) << err;
}

/// The process ids of mpirun's children with their ranks (from their environment).
std::vector<std::pair<int, pid_t>> rankProcesses(pid_t mpirun) {
    std::vector<std::pair<int, pid_t>> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        char state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent != mpirun) continue;
        std::ifstream environ(entry.path() / "environ");
        std::string env((std::istreambuf_iterator<char>(environ)), {});
        const std::string key = std::string("OMPI_COMM_WORLD_RANK=");
        const size_t at = env.find(key);
        if (at != std::string::npos)
            found.push_back({std::atoi(env.c_str() + at + key.size()), pid_t(std::stoi(name))});
    }
    return found;
}

TEST_F(BatchEngine, StopRequestOnOneProcessStopsEveryProcessAfterTheSameStep) {
    Child run(OSTREL_MPIRUN, onRanks(2, {scene_, "--engine", "petsc", "--iterations", "400",
                                         "--shape-every", "0", "-o", path("stopped").string()}));
    // The second step's progress line: the processes are past their set-up.
    ASSERT_TRUE(run.waitForError("Iteration 2/400")) << run.err();
    pid_t second = 0;
    for (const auto& [rank, pid] : rankProcesses(run.pid()))
        if (rank == 1) second = pid;
    ASSERT_GT(second, 0) << "no process of rank 1 under mpirun";
    ::kill(second, SIGTERM);
    EXPECT_EQ(run.finish(), 130) << run.out() << run.err();
    EXPECT_NE(run.out().find("Interrupted: the step in progress was finished"), std::string::npos)
        << run.out();
    EXPECT_TRUE(std::filesystem::exists(path("stopped") / "OptimizedShape_final.obj"));
    const size_t steps = numbersIn(path("stopped") / "ObjectiveValue.txt").size();
    EXPECT_GE(steps, 2u);
    EXPECT_LT(steps, 400u);
}

TEST_F(BatchEngine, RankFoldersOfEndedProcessesGoAndTheRunLeavesNone) {
    // The processes other than 0 keep their files in the temporary folder, named by their rank,
    // machine and process; a run ended at once leaves them behind, and the next run removes
    // those of this machine whose process has ended. Another machine's are left to it.
    const std::filesystem::path temporary = path("tmp");
    std::filesystem::create_directories(temporary);
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::string machine(host);
    for (char& c : machine)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') c = '_';
    const std::string orphan = "ostrel-batch-rank-1-" + machine + "-" + std::to_string(ended);
    const std::string alive = "ostrel-batch-rank-1-" + machine + "-" + std::to_string(::getpid());
    const std::string elsewhere = "ostrel-batch-rank-1-other_machine-" + std::to_string(ended);
    for (const std::string& name :
         {orphan, alive, elsewhere, std::string("ostrel-batch-rank-other")}) {
        std::filesystem::create_directories(temporary / name);
        std::ofstream(temporary / name / "ObjectiveValue.txt") << "1\n";
    }
    ::setenv("TMPDIR", temporary.c_str(), 1);
    const int status = engine(2, "orphans", {"--iterations", "2"});
    ::unsetenv("TMPDIR");
    ASSERT_EQ(status, 0);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(temporary))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    std::vector<std::string> kept = {alive, elsewhere, "ostrel-batch-rank-other"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
}

TEST_F(BatchEngine, PetscErrorEndsEveryProcessWithItsErrorLine) {
    std::string err;
    const int status =
        engine(2, "bogus", {"--iterations", "3", "--", "-pc_type", "bogus"}, &err);
    EXPECT_NE(status, 0);
    EXPECT_NE(err.find("ERROR: PETSc: "), std::string::npos) << err;
}

TEST_F(BatchEngine, ConsoleSaysHowTheSolvesAndTheDesignStepsAreShared) {
    // The 24 x 6 x 6 cantilever's 864 elements in 6 layers: 2 layers a process on 3, and on 4
    // processes 2, 1, 1 and 2 layers.
    for (const auto& [ranks, split] :
         {std::pair{3, "288 elements a process"}, std::pair{4, "144 to 288 elements a process"}}) {
        Child run(OSTREL_MPIRUN, engineRun(ranks, scene_, "console" + std::to_string(ranks),
                                           {"--iterations", "1", "--shape-every", "0"}));
        ASSERT_EQ(run.finish(), 0) << run.err();
        EXPECT_NE(run.out().find("Solving on " + std::to_string(ranks) +
                                 " processes with PETSc: "),
                  std::string::npos)
            << run.out();
        EXPECT_NE(run.out().find(std::string("\nDesign steps split by element layers: ") + split +
                                 "\n"),
                  std::string::npos)
            << run.out();
    }
}

TEST_F(BatchEngine, OptionsThatDoNotGoWithTheEngineAreRefused) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--engine", "gpu"}, "ERROR: --engine must be 'single' or 'petsc', not 'gpu'"},
        {{"--engine", "petsc", "--device", "cuda"},
         "ERROR: --engine petsc runs the design steps on the CPU: --device cuda does not apply"},
        {{"--engine", "petsc", "--solver", "pcg"},
         "ERROR: --solver does not apply to --engine petsc: its solves are PETSc's conjugate "
         "gradients with a multigrid preconditioner (PETSc options after -- change them)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{scene_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Child run(OSTREL_BATCH_EXE, args);
        EXPECT_EQ(run.finish(), 2) << c.error;
        EXPECT_EQ(run.err().substr(0, run.err().find('\n')), c.error) << run.err();
    }
}

}  // namespace
}  // namespace ostrel
