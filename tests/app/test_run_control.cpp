// The run control: the order of a step, its console lines, the shape files every fifth step,
// the limit of 501 steps over the program's life and the numbering across resets.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "support/MeshBuilders.h"
#include "support/RunTestSupport.h"
#include "app/RunControl.h"
#include "core/ByteRecord.h"
#include "tools/Cantilever.h"
#include "gpu/MultigridSolver.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;

/// A small cantilever with its host solver and a run control writing into a scratch folder.
struct Rig {
    explicit Rig(const std::filesystem::path& folder, bool clampEnd = true,
                 int shapeFileInterval = RunControl::kShapeFileInterval)
        : model(makeCantilever(8, 4, 4, 0.125, 3)), solver(*model, hostOptions()) {
        omp_set_num_threads(1);  // one worker: the suite shares two cores
        if (!clampEnd) model->clearFixations();
        solver.setLogs(&wideLog, &solverLog);
        solver.setup();
        RunControlOptions options;
        options.outputDirectory = folder;
        options.wideLog = &wideLog;
        options.narrowLog = &narrowLog;
        options.shapeFileInterval = shapeFileInterval;
        run = std::make_unique<RunControl>(*model, solver, lifetime, options);
    }
    static DeviceOptions hostOptions() {
        DeviceOptions o;
        o.forceHost = true;
        o.hostThreads = 1;
        return o;
    }
    std::wostringstream wideLog;
    std::ostringstream narrowLog, solverLog;
    ProgramLifetime lifetime;
    std::unique_ptr<FemModel> model;
    MultigridSolver solver;
    std::unique_ptr<RunControl> run;
};

TEST(RunControl, RunFlagClearDoesNothing) {
    ScratchFolder folder("run-idle");
    Rig rig(folder.path());
    EXPECT_FALSE(rig.run->isRunning());
    const std::string setUpLines = rig.solverLog.str();
    const StepResult idle = rig.run->frameMove(0.0, 0.0f);
    EXPECT_FALSE(idle.performed);
    EXPECT_EQ(rig.lifetime.iteration, 0);
    EXPECT_FALSE(rig.run->optimizer().isReset());
    EXPECT_EQ(rig.solverLog.str(), setUpLines);  // no solve ran
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(RunControl, ShapeFilesEveryFifthStepAndTimingLines) {
    ScratchFolder folder("run-shapes");
    Rig rig(folder.path());
    int shapes = 0;
    rig.run->setShapeListener([&](const TriangleMesh&) { ++shapes; });
    rig.run->setRunning(true);
    for (int k = 0; k < 11; ++k) {
        const StepResult step = rig.run->frameMove(k * 0.1, 0.1f);
        ASSERT_TRUE(step.performed);
        EXPECT_EQ(step.iteration, k);
        EXPECT_EQ(step.shapeWritten, k % 5 == 0) << k;
        EXPECT_TRUE(step.converged);
        EXPECT_GT(step.cycles, 0);
    }
    EXPECT_EQ(shapes, 11);
    EXPECT_EQ(rig.lifetime.iteration, 11);
    EXPECT_TRUE(rig.run->isRunning());
    for (int k = 0; k <= 10; ++k)
        EXPECT_EQ(std::filesystem::exists(folder / ("OptimizedShape_" + std::to_string(k) + ".obj")),
                  k % 5 == 0)
            << k;
    EXPECT_EQ(rig.run->shapeFileName(15), folder / "OptimizedShape_15.obj");

    // The written shape is the extracted one, closed and outward.
    TriangleMesh mesh;
    ASSERT_TRUE(mesh.readObj((folder / "OptimizedShape_10.obj").wstring(), nullptr));
    EXPECT_FALSE(mesh.triangles.empty());
    EXPECT_EQ(mesh.triangles.size(), rig.run->optimizer().shapeMesh().triangles.size());
    EXPECT_EQ(testing::edgePairingFault(mesh), "");
    EXPECT_GT(mesh.computeVolume(), 0.0f);

    // History files: one value per step, the sharpness once more for the reset.
    EXPECT_EQ(testing::lineCount(folder / "ObjectiveValue.txt"), 11);
    EXPECT_EQ(testing::lineCount(folder / "VolumeRatio.txt"), 11);
    EXPECT_EQ(testing::lineCount(folder / "NumCycles.txt"), 11);
    EXPECT_EQ(testing::lineCount(folder / "Sharpness.txt"), 12);

    // Two timing lines per step, in this form; the totals add up.
    std::istringstream lines(rig.narrowLog.str());
    std::string line;
    int solveLines = 0, totalLines = 0;
    double sum = 0.0, lastTotal = 0.0;
    while (std::getline(lines, line)) {
        double solve = 0, optimize = 0;
        if (line.rfind("Time SOLVE: ", 0) == 0) {
            ASSERT_EQ(std::sscanf(line.c_str(), "Time SOLVE: %lf s    Time OPTIMIZE: %lf s", &solve,
                                  &optimize), 2) << line;
            // sscanf skips any run of blanks; the bytes must be exactly these.
            std::ostringstream expected;
            expected << "Time SOLVE: " << solve << " s    Time OPTIMIZE: " << optimize << " s";
            EXPECT_EQ(line, expected.str());
            sum += solve;
            ++solveLines;
        } else if (line.rfind("Time SOLVE (total): ", 0) == 0) {
            ASSERT_EQ(std::sscanf(line.c_str(),
                                  "Time SOLVE (total): %lf s    Time OPTIMIZE (total): %lf s",
                                  &lastTotal, &optimize), 2) << line;
            std::ostringstream expected;
            expected << "Time SOLVE (total): " << lastTotal << " s    Time OPTIMIZE (total): "
                     << optimize << " s";
            EXPECT_EQ(line, expected.str());
            EXPECT_EQ(solveLines, totalLines + 1) << "the total follows its step's line";
            ++totalLines;
        }
    }
    EXPECT_EQ(solveLines, 11);
    EXPECT_EQ(totalLines, 11);
    EXPECT_NEAR(lastTotal, sum, 1e-4 * 11 + 1e-5 * sum);
    EXPECT_NEAR(rig.lifetime.totalSolveSeconds, lastTotal, 1e-5 * lastTotal + 1e-6);
    EXPECT_EQ(rig.narrowLog.str().find("WARNING"), std::string::npos);
}

/// Triangles and vertices of a shape, to tell two shapes apart.
std::pair<size_t, size_t> sizeOf(const TriangleMesh& mesh) {
    return {mesh.triangles.size(), mesh.vertices.size()};
}

TEST(RunControl, StepsWithoutListenerOrFileExtractNoShape) {
    ScratchFolder folder("run-no-shape");
    Rig rig(folder.path(), true, 0);
    rig.run->setRunning(true);
    for (int k = 0; k < 3; ++k) {
        const StepResult step = rig.run->frameMove(0, 0);
        ASSERT_TRUE(step.performed);
        EXPECT_FALSE(step.shapeWritten);
        EXPECT_FALSE(rig.run->optimizer().shapeCurrent()) << k;
        EXPECT_TRUE(rig.run->optimizer().shapeMesh().triangles.empty()) << k;
    }
    // What reads the design gets the shape of the current densities all the same.
    const DesignSnapshot state = rig.run->snapshot();
    EXPECT_FALSE(state.shape.triangles.empty());
    EXPECT_TRUE(rig.run->optimizer().shapeCurrent());
    rig.run->optimizer().extractShape();
    EXPECT_TRUE(test::sameSurface(state.shape, rig.run->optimizer().shapeMesh()));
}

TEST(RunControl, OnlyTheStepsThatWriteAFileExtractForIt) {
    ScratchFolder folder("run-file-shape");
    Rig rig(folder.path(), true, 2);
    rig.run->setRunning(true);
    for (int k = 0; k < 4; ++k) {
        const StepResult step = rig.run->frameMove(0, 0);
        EXPECT_EQ(step.shapeWritten, k % 2 == 0) << k;
        EXPECT_EQ(rig.run->optimizer().shapeCurrent(), k % 2 == 0) << k;
    }
    TriangleMesh written;
    ASSERT_TRUE(written.readObj((folder / "OptimizedShape_2.obj").wstring(), nullptr));
    EXPECT_FALSE(written.triangles.empty());
}

TEST(RunControl, AWorkerHandsTheNewestShapeOverAfterTheStep) {
    ScratchFolder folder("run-worker-shape");
    Rig rig(folder.path(), true, 3);
    std::vector<std::pair<size_t, size_t>> shown;
    const TriangleMesh* last = nullptr;
    rig.run->setShapeListener([&](const TriangleMesh& mesh) {
        shown.push_back(sizeOf(mesh));
        last = &mesh;
    });
    rig.run->extractShapesOnWorker(true);
    rig.run->setRunning(true);
    // Step 0 writes a file: its shape is extracted in the step and shown at once.
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], sizeOf(rig.run->optimizer().shapeMesh()));
    for (int k = 1; k < 3; ++k) {
        SCOPED_TRACE(k);
        // The step hands the extraction over and returns; the shape comes with a later frame.
        ASSERT_TRUE(rig.run->frameMove(0, 0).performed);
        EXPECT_EQ(shown.size(), size_t(k));
        EXPECT_FALSE(rig.run->optimizer().shapeCurrent());
        rig.run->waitForShape();
        ASSERT_EQ(shown.size(), size_t(k) + 1);
        // The worker's shape is the one of the step's densities.
        rig.run->optimizer().extractShape();
        EXPECT_EQ(shown.back(), sizeOf(rig.run->optimizer().shapeMesh()));
        ASSERT_NE(last, nullptr);
        EXPECT_TRUE(test::sameSurface(*last, rig.run->optimizer().shapeMesh()));
        // Handed over once.
        rig.run->waitForShape();
        EXPECT_EQ(shown.size(), size_t(k) + 1);
    }
    // A shape saved meanwhile (the window's F5) is the current densities' shape.
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);  // step 3 writes a file
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);  // step 4 goes to the worker
    ASSERT_FALSE(rig.run->optimizer().shapeCurrent());
    ASSERT_TRUE(rig.run->writeShape(folder / "saved.obj"));
    EXPECT_TRUE(rig.run->optimizer().shapeCurrent());
    const TriangleMesh current = rig.run->optimizer().shapeMesh();
    rig.run->waitForShape();
    EXPECT_TRUE(test::sameSurface(*last, current));
    // A shape shown by the caller supersedes the worker's older one: a step's job, then a
    // closing of the design shown at once; the job's shape never comes.
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);  // step 5 goes to the worker
    const size_t before = shown.size();
    rig.run->optimizer().closeShape();
    rig.run->publishShape();
    ASSERT_EQ(shown.size(), before + 1);
    const std::pair<size_t, size_t> closed = shown.back();
    rig.run->waitForShape();
    rig.run->setRunning(false);
    rig.run->frameMove(0, 0);
    EXPECT_EQ(shown.size(), before + 1);
    EXPECT_EQ(shown.back(), closed);
    // Switching the worker off and on; the run control ends cleanly with a job queued.
    rig.run->setRunning(true);
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);  // step 6 writes a file
    rig.run->extractShapesOnWorker(false);
    rig.run->extractShapesOnWorker(true);
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);  // step 7 goes to the worker
    rig.run.reset();
}

TEST(RunControl, LimitClearsTheRunFlagAfterStep500ForGood) {
    ScratchFolder folder("run-limit");
    Rig rig(folder.path());
    rig.run->setRunning(true);
    ASSERT_TRUE(rig.run->frameMove(0, 0).performed);  // step 0 initialises

    rig.lifetime.iteration = 499;
    StepResult step = rig.run->frameMove(1, 0);
    ASSERT_TRUE(step.performed);
    EXPECT_EQ(step.iteration, 499);
    EXPECT_FALSE(step.shapeWritten);
    step = rig.run->frameMove(2, 0);
    ASSERT_TRUE(step.performed);
    EXPECT_EQ(step.iteration, 500);  // the 501st step still runs
    EXPECT_TRUE(step.shapeWritten);
    EXPECT_TRUE(std::filesystem::exists(folder / "OptimizedShape_500.obj"));
    EXPECT_EQ(rig.lifetime.iteration, 501);
    EXPECT_TRUE(rig.run->isRunning());

    const std::string before = rig.solverLog.str();
    for (int k = 0; k < 3; ++k) {
        EXPECT_FALSE(rig.run->frameMove(3 + k, 0).performed);
        EXPECT_FALSE(rig.run->isRunning());
        rig.run->setRunning(true);  // the check box can set it; the next frame clears it again
    }
    EXPECT_EQ(rig.lifetime.iteration, 501);
    EXPECT_EQ(rig.solverLog.str(), before) << "no solve after the limit";
    EXPECT_FALSE(std::filesystem::exists(folder / "OptimizedShape_505.obj"));
}

TEST(RunControl, ResetAndPauseKeepTheNumbering) {
    ScratchFolder folder("run-reset");
    Rig rig(folder.path());
    rig.run->setRunning(true);
    rig.run->frameMove(0, 0);
    rig.run->frameMove(1, 0);
    const double reference = rig.lifetime.optimization.referenceEnergy;
    EXPECT_GT(reference, 0.0);
    EXPECT_FALSE(rig.lifetime.optimization.firstEnergyEvaluation);
    const double solveTotal = rig.lifetime.totalSolveSeconds;

    // Pause: nothing happens, nothing is lost.
    rig.run->setRunning(false);
    EXPECT_FALSE(rig.run->frameMove(2, 0).performed);
    EXPECT_EQ(rig.lifetime.iteration, 2);

    // "Reset Ostrel": the optimizer starts again, the program's values stay.
    rig.run->optimizer().reset();
    rig.run->setRunning(true);
    for (int k = 2; k <= 5; ++k) EXPECT_EQ(rig.run->frameMove(k, 0).iteration, k);
    EXPECT_EQ(rig.lifetime.iteration, 6);
    EXPECT_EQ(rig.lifetime.optimization.referenceEnergy, reference);
    EXPECT_GT(rig.lifetime.totalSolveSeconds, solveTotal);
    EXPECT_TRUE(std::filesystem::exists(folder / "OptimizedShape_5.obj"));
    // The reset truncated the history files; the four steps after it are there.
    EXPECT_EQ(testing::lineCount(folder / "ObjectiveValue.txt"), 4);
    EXPECT_EQ(testing::lineCount(folder / "Sharpness.txt"), 5);
    EXPECT_EQ(testing::lineCount(folder / "NumCycles.txt"), 4);
    // Only the program's first step announced the optimization.
    const std::wstring wide = rig.wideLog.str();
    EXPECT_EQ(wide.find(L"**** Topology Optimization ****"),
              wide.rfind(L"**** Topology Optimization ****"));
    EXPECT_NE(wide.find(L"\n Iteration: 5\n"), std::wstring::npos);
}

/// A checkpoint's bytes with the time totals left out (they measure this machine's seconds).
std::string checkpointBytes(DesignCheckpoint c) {
    c.totalSolveSeconds = c.totalOptimizeSeconds = 0;
    ByteWriter w;
    encodeCheckpoint(c, w);
    return w.take();
}

TEST(RunControl, AResumedRunHasTheStateOfTheRunItContinues) {
    for (int projection : {0, 1}) {
        SCOPED_TRACE(projection);
        DesignControls controls;
        controls.projection = projection;
        ScratchFolder first("run-checkpoint"), second("run-resumed");
        Rig a(first.path());
        a.run->optimizer().setControls(controls);
        a.run->setRunning(true);
        for (int k = 0; k < 6; ++k) ASSERT_TRUE(a.run->frameMove(k, 0).performed);
        const DesignCheckpoint six = a.run->checkpoint();
        ASSERT_TRUE(six.valid());
        EXPECT_EQ(six.iteration, 6);
        EXPECT_EQ(six.displacements.size(), 1u);
        EXPECT_EQ(six.solved, std::vector<uint8_t>{1});
        EXPECT_EQ(six.moves.size(), projection ? six.rho.size() : 0u);
        for (int k = 6; k < 9; ++k) ASSERT_TRUE(a.run->frameMove(k, 0).performed);

        // A new program continues from step 6: at once the same state, after three steps
        // the same as the run that went on.
        Rig b(second.path());
        b.run->optimizer().setControls(controls);
        ASSERT_TRUE(b.run->resume(six));
        EXPECT_EQ(b.lifetime.iteration, 6);
        EXPECT_TRUE(checkpointBytes(b.run->checkpoint()) == checkpointBytes(six));
        b.run->setRunning(true);
        for (int k = 6; k < 9; ++k) EXPECT_EQ(b.run->frameMove(k, 0).iteration, k);
        EXPECT_TRUE(checkpointBytes(b.run->checkpoint()) == checkpointBytes(a.run->checkpoint()));
        for (const char* name : {"ObjectiveValue.txt", "VolumeRatio.txt", "NumCycles.txt",
                                 "Sharpness.txt", "Constraint.txt"})
            EXPECT_EQ(testing::readFile(second / name), testing::readFile(first / name)) << name;
    }
}

TEST(RunControl, ResumeRefusesACheckpointThatDoesNotFit) {
    ScratchFolder first("run-checkpoint-a"), second("run-checkpoint-b");
    Rig a(first.path());
    a.run->setRunning(true);
    a.run->frameMove(0, 0);
    DesignCheckpoint c = a.run->checkpoint();
    Rig b(second.path());
    EXPECT_FALSE(b.run->resume(DesignCheckpoint{}));  // none
    DesignCheckpoint projected = c;                   // another projection mode
    projected.projection = 1;
    EXPECT_FALSE(b.run->resume(projected));
    DesignCheckpoint cases = c;  // another number of load cases
    cases.displacements.push_back(cases.displacements[0]);
    cases.solved.push_back(1);
    EXPECT_FALSE(b.run->resume(cases));
    DesignCheckpoint shorter = c;  // another model
    shorter.rho.pop_back();
    EXPECT_FALSE(b.run->resume(shorter));
    DesignCheckpoint design = c;  // arrays of unequal sizes
    design.x.pop_back();
    EXPECT_FALSE(b.run->resume(design));
    DesignCheckpoint weights = c;
    weights.W.push_back(1.0);
    EXPECT_FALSE(b.run->resume(weights));
    EXPECT_TRUE(b.run->resume(c));
}

TEST(RunControl, UnconvergedSolveWarnsAndTheStepGoesOn) {
    ScratchFolder folder("run-singular");
    Rig rig(folder.path(), /*clampEnd=*/false);  // nothing fixed: the system is singular
    rig.run->setRunning(true);
    const StepResult step = rig.run->frameMove(0, 0);
    ASSERT_TRUE(step.performed);
    EXPECT_FALSE(step.converged);
    EXPECT_EQ(step.cycles, 0) << "a singular system runs no cycles";
    EXPECT_EQ(rig.lifetime.iteration, 1);
    const std::string narrow = rig.narrowLog.str();
    const size_t warning = narrow.find("WARNING: Solver has not converged\n");
    ASSERT_NE(warning, std::string::npos);
    EXPECT_EQ(narrow.find("WARNING: Solver has not converged\n", warning + 1), std::string::npos);
    EXPECT_LT(warning, narrow.find("Time SOLVE: ")) << "the warning belongs to the solve phase";
}

TEST(RunControl, AStoppedSolveAbandonsItsStepAndRecordsNothingOfIt) {
    ScratchFolder folder("run-stopped");
    Rig rig(folder.path());
    bool stop = false;
    rig.solver.setStopRequest([&] { return stop; });
    rig.run->setRunning(true);
    for (int k = 0; k < 2; ++k) ASSERT_TRUE(rig.run->frameMove(0, 0).performed);
    const std::vector<float> density = rig.run->optimizer().densities();
    const std::string narrow = rig.narrowLog.str();
    int shapes = 0;
    rig.run->setShapeListener([&](const TriangleMesh&) { ++shapes; });

    stop = true;
    const StepResult stopped = rig.run->frameMove(0, 0);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_FALSE(stopped.performed);
    EXPECT_EQ(stopped.iteration, 2);
    EXPECT_EQ(rig.lifetime.iteration, 2) << "the counter stays";
    EXPECT_EQ(rig.run->optimizer().densities(), density) << "no update";
    EXPECT_EQ(shapes, 0) << "no shape";
    EXPECT_EQ(rig.narrowLog.str(), narrow) << "no warning, no timing lines";
    for (const char* history : {"ObjectiveValue.txt", "VolumeRatio.txt", "NumCycles.txt"})
        EXPECT_EQ(testing::lineCount(folder / history), 2) << history;

    // Without the request the same step runs in full.
    stop = false;
    const StepResult resumed = rig.run->frameMove(0, 0);
    EXPECT_TRUE(resumed.performed);
    EXPECT_FALSE(resumed.stopped);
    EXPECT_EQ(resumed.iteration, 2);
    EXPECT_EQ(testing::lineCount(folder / "NumCycles.txt"), 3);
}

// A system without a solution stops the run after its step with one message, whatever makes
// it singular; the next frames do nothing.
struct SingularCase {
    const char* name;
    bool holds;  ///< the fixed vertices x = 0, z = 0 (a hinge along y) stay fixed
};

TEST(RunControl, SingularSystemStopsTheRunAfterItsStep) {
    for (const SingularCase c : {SingularCase{"nothing fixed", false}, SingularCase{"hinge", true}}) {
        ScratchFolder folder("run-singular-stop");
        Rig rig(folder.path(), /*clampEnd=*/false);
        if (c.holds) {
            const auto& positions = rig.model->vertexPosition(0);
            for (size_t v = 0; v < positions.size(); ++v) {
                const GridPos p = unpack(positions[v]);
                rig.model->setFixed(v, p.x == 0 && p.z == 0);
            }
        }
        rig.run->setRunning(true);
        const StepResult step = rig.run->frameMove(0, 0);
        ASSERT_TRUE(step.performed) << c.name;
        EXPECT_TRUE(step.singular) << c.name;
        EXPECT_FALSE(rig.run->isRunning()) << c.name;
        const std::string narrow = rig.narrowLog.str();
        const std::string message = singularSystemMessage(0);
        EXPECT_EQ(message.rfind("ERROR: The system is singular: ", 0), 0u);
        EXPECT_NE(message.find("the run stopped after step 0. Fix more vertices"),
                  std::string::npos)
            << message;
        const size_t at = narrow.find(message + "\n");
        ASSERT_NE(at, std::string::npos) << c.name << narrow;
        EXPECT_GT(at, narrow.find("Time SOLVE (total): ")) << "after the step's timings";
        EXPECT_EQ(narrow.find("ERROR: ", at + 1), std::string::npos) << "said once";
        EXPECT_EQ(narrow.find(kNoLoadMessage), std::string::npos) << "not a missing load";
        EXPECT_FALSE(rig.run->frameMove(0, 0).performed) << c.name;
        EXPECT_EQ(rig.lifetime.iteration, 1) << c.name;
    }
}

// Without a force on a vertex that is not fixed every design has compliance 0: the step is
// refused before anything of the run happens, once for every attempt, and a load found later
// lets the run start.
TEST(RunControl, AModelWithoutLoadIsRefusedOncePerAttempt) {
    struct Case {
        const char* name;
        bool fixLoaded;  ///< the forces stay, but every loaded vertex is fixed
    };
    for (const Case c : {Case{"no force", false}, Case{"forces on fixed vertices", true}}) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder("run-no-load");
        Rig rig(folder.path());
        const std::vector<float>& force = rig.model->forces();
        const std::vector<float> forces = force;
        for (size_t v = 0; v < rig.model->fixedFlags().size(); ++v) {
            const bool loaded = force[3 * v] != 0 || force[3 * v + 1] != 0 || force[3 * v + 2] != 0;
            if (c.fixLoaded && loaded) rig.model->setFixed(v, true);
        }
        if (!c.fixLoaded) rig.model->clearForces();
        for (int attempt = 1; attempt <= 2; ++attempt) {
            rig.run->setRunning(true);
            const StepResult step = rig.run->frameMove(0, 0);
            EXPECT_FALSE(step.performed);
            EXPECT_TRUE(step.noLoad);
            EXPECT_FALSE(rig.run->isRunning()) << "the run does not start";
            EXPECT_FALSE(rig.run->frameMove(0, 0).performed);
            EXPECT_EQ(rig.lifetime.iteration, 0);
            EXPECT_FALSE(rig.run->optimizer().isReset()) << "nothing of the run happened";
            const std::string narrow = rig.narrowLog.str();
            size_t said = 0;
            for (size_t at = narrow.find(kNoLoadMessage); at != std::string::npos;
                 at = narrow.find(kNoLoadMessage, at + 1))
                ++said;
            EXPECT_EQ(said, size_t(attempt)) << narrow;
            EXPECT_EQ(narrow.find("Time SOLVE"), std::string::npos) << "no solve";
        }
        EXPECT_EQ(std::string(kNoLoadMessage).rfind("ERROR: No force acts on the model ", 0), 0u);
        // A free loaded vertex: the run starts.
        rig.model->clearFixations();
        for (size_t v = 0; v < rig.model->fixedFlags().size(); ++v)
            rig.model->setFixed(v, unpack(rig.model->vertexPosition(0)[v]).x == 0);
        for (size_t i = 0; i < forces.size(); ++i)
            rig.model->setForceComponent(int(i / 3), int(i % 3), forces[i]);
        rig.run->setRunning(true);
        const StepResult step = rig.run->frameMove(0, 0);
        EXPECT_TRUE(step.performed);
        EXPECT_FALSE(step.noLoad);
        EXPECT_GT(step.strainEnergy, 0.0);
    }
}

// The load may be in any case: a run whose case 1 is empty (as the window may leave it) starts
// on case 2's forces, and one whose further case loads only fixed vertices is refused.
TEST(RunControl, AFurtherCaseCarriesTheLoadWhenCaseOneHasNone) {
    for (const bool onFixed : {false, true}) {
        SCOPED_TRACE(onFixed ? "case 2 on fixed vertices" : "case 2 on the free end");
        ScratchFolder folder("run-case-two-load");
        Rig rig(folder.path());
        std::vector<float> second = rig.model->forces();
        if (onFixed) {
            std::fill(second.begin(), second.end(), 0.0f);
            second[3 * size_t(rig.model->vertexAt(0, {0, 2, 2})) + 2] = -1000.0f;
        }
        rig.solver.setMoreLoads({second});
        rig.model->clearForces();
        DesignControls controls;
        controls.loadCaseWeights = {1, 1};
        rig.run->optimizer().setControls(controls);
        rig.run->setRunning(true);
        const StepResult step = rig.run->frameMove(0, 0);
        EXPECT_EQ(step.performed, !onFixed);
        EXPECT_EQ(step.noLoad, onFixed);
        EXPECT_EQ(carriesLoad(*rig.model, &rig.solver.moreLoads()), !onFixed);
        EXPECT_FALSE(carriesLoad(*rig.model)) << "case 1 alone carries nothing";
        if (onFixed) continue;
        const std::vector<double>& compliances = rig.run->optimizer().caseCompliances();
        ASSERT_EQ(compliances.size(), 2u);
        EXPECT_EQ(compliances[0], 0.0);
        EXPECT_GT(compliances[1], 0.0);
        EXPECT_NEAR(step.strainEnergy, compliances[1], 1e-9 * compliances[1]);
    }
}

TEST(RunControl, UnwritableShapeFileIsReportedAndTheStepGoesOn) {
    ScratchFolder folder("run-unwritable");
    Rig rig(folder / "missing-folder");
    rig.run->setRunning(true);
    const StepResult step = rig.run->frameMove(0, 0);
    ASSERT_TRUE(step.performed);
    EXPECT_FALSE(step.shapeWritten);
    EXPECT_EQ(rig.lifetime.iteration, 1);
    EXPECT_NE(rig.wideLog.str().find(L"ERROR: Cannot create output file \""), std::wstring::npos);
    EXPECT_NE(rig.narrowLog.str().find("Time SOLVE (total): "), std::string::npos);
}

TEST(RunControl, ShapeFileIntervalAndWriterCanBeChosen) {
    ScratchFolder folder("run-interval");
    std::unique_ptr<FemModel> model = makeCantilever(8, 4, 4, 0.125, 3);
    MultigridSolver solver(*model, Rig::hostOptions());
    std::ostringstream quiet;
    std::wostringstream wideQuiet;
    solver.setLogs(&wideQuiet, &quiet);
    solver.setup();
    for (int interval : {0, 3}) {
        ProgramLifetime lifetime;
        std::vector<int> written;
        RunControlOptions options;
        options.outputDirectory = folder.path();
        // No console lines: both logs go to streams nobody reads.
        std::wostringstream wideSink;
        std::ostringstream narrowSink;
        options.wideLog = &wideSink;
        options.narrowLog = &narrowSink;
        options.shapeFileInterval = interval;
        if (interval > 0)
            options.shapeFileWriter = [&written](int iteration, const DesignSnapshot&) {
                written.push_back(iteration);
                return iteration != 3;  // a failed write is reported in the step's result
            };
        RunControl run(*model, solver, lifetime, options);
        run.setRunning(true);
        for (int k = 0; k < 7; ++k) {
            const StepResult step = run.frameMove(0, 0);
            ASSERT_TRUE(step.performed);
            EXPECT_EQ(step.shapeWritten, interval > 0 && k % 3 == 0 && k != 3) << k;
        }
        const std::vector<int> expected =
            interval > 0 ? std::vector<int>{0, 3, 6} : std::vector<int>{};
        EXPECT_EQ(written, expected);
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        EXPECT_EQ(entry.path().filename().string().rfind("OptimizedShape_", 0), std::string::npos)
            << entry.path();
    solver.release();
}

TEST(RunControl, ReleasesTheCycleSinkWhenDestroyed) {
    ScratchFolder folder("run-sink");
    Rig rig(folder.path());
    rig.run->setRunning(true);
    rig.run->frameMove(0, 0);
    rig.run.reset();
    // The solver outlives the run control; its next solve must not write to the closed history.
    rig.solver.prepareSolve();
    EXPECT_TRUE(rig.solver.solve(kDefaultSolveTolerance));
    EXPECT_EQ(testing::lineCount(folder / "NumCycles.txt"), 1);
}

#ifdef OSTREL_EXE  // the interactive program is built only with the window layers
// Without a display the interactive program stops with one error line before it loads or
// writes anything. (Its start-up with a window is tested under Xvfb: tests/window.)
TEST(Startup, WithoutADisplayNothingIsLoadedOrWritten) {
    ScratchFolder folder("startup");
    testing::writeCantileverScene(folder.path(), 16);
    testing::Child child("/usr/bin/env",
                         {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", OSTREL_EXE, "-SCENE",
                          "scene.txt", "-CPU", "1"},
                         folder.path());
    EXPECT_NE(child.finish(), 0);
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err(),
              "ERROR: Cannot open the Ostrel window: no display (neither DISPLAY nor "
              "WAYLAND_DISPLAY is set)\n");
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        ++entries, (void)entry;
    EXPECT_EQ(entries, 2) << "only the scene and its mesh";
}
#endif

}  // namespace
}  // namespace ostrel
