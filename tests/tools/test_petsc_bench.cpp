// The helpers of bench/petsc-engine.sh: bench/ghost-bytes.py's count of the bytes a V-cycle
// exchanges, against counts by hand on small decompositions (one rank, slabs across x and
// across y, two and three levels), and, with the many-process engine built, against PETSc's
// own message counters on 2 and 4 ranks; bench/measure-run.py's step times from progress lines
// in the three duration formats; both scripts' errors for a file they cannot read.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::Child;
using testing::ScratchFolder;

const fs::path kSource = OSTREL_SOURCE_DIR;

/// One rank's box of one level: index ranges [x0, x1) x [y0, y1) x [z0, z1) of an M x N x P
/// node grid.
struct RankBox {
    int x0, x1, y0, y1, z0, z1;
};
struct Level {
    int M, N, P;
    std::vector<RankBox> ranks;
};

/// The -dm_view text PETSc prints for these levels (finest first).
std::string dmView(const std::vector<Level>& levels) {
    std::string text;
    for (const Level& level : levels) {
        text += "DM Object: " + std::to_string(level.ranks.size()) + " MPI processes\n  type: da\n";
        for (size_t r = 0; r < level.ranks.size(); ++r) {
            const RankBox& b = level.ranks[r];
            text += "Processor [" + std::to_string(r) + "] M " + std::to_string(level.M) + " N " +
                    std::to_string(level.N) + " P " + std::to_string(level.P) +
                    " m 2 n 1 p 1 w 3 s 1\n";
            text += "X range of indices: " + std::to_string(b.x0) + " " + std::to_string(b.x1) +
                    ", Y range of indices: " + std::to_string(b.y0) + " " + std::to_string(b.y1) +
                    ", Z range of indices: " + std::to_string(b.z0) + " " + std::to_string(b.z1) +
                    "\n";
        }
    }
    return text;
}

/// The number after `key` in `text` (NaN when there is none).
double numberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? std::nan("") : std::strtod(text.c_str() + at + key.size(), nullptr);
}

Child runPython(const fs::path& script, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"python3", (kSource / script).string()};
    all.insert(all.end(), args.begin(), args.end());
    return Child("/usr/bin/env", all);
}

TEST(GhostBytes, CountsTheDecompositionAsByHand) {
    // Bytes a rank receives per V-cycle, counted by hand (3 values of 8 bytes per node):
    // finest level 4 applications x 2 exchanges of its ghost layer, middle levels 4 x 1;
    // between levels 0 and 1 restriction and interpolation each level 1's ghost layer, below
    // each the coarse nodes its fine nodes need from the other rank; the coarsest level the
    // other rank's part of it.
    struct Case {
        const char* name;
        std::vector<Level> levels;
        long long mean, largest;
    };
    // Slab across x, 9 x 5 x 5 nodes, 2 levels: ghost plane 5 x 5 = 25 nodes on both ranks
    // (4 * 2 * 25 * 24 = 4800); the transfers level 1's ghost plane of 3 x 3 nodes on both
    // (2 * 9 * 24 = 432); the coarsest 5 x 3 x 3 = 45 nodes, rank 0 owns 27 (receives
    // 18 * 24 = 432), rank 1 owns 18 (27 * 24 = 648). Rank 0: 5664, rank 1: 5880.
    const std::vector<Level> slabX = {{9, 5, 5, {{0, 5, 0, 5, 0, 5}, {5, 9, 0, 5, 0, 5}}},
                                      {5, 3, 3, {{0, 3, 0, 3, 0, 3}, {3, 5, 0, 3, 0, 3}}}};
    // The same slab across y.
    const std::vector<Level> slabY = {{5, 9, 5, {{0, 5, 0, 5, 0, 5}, {0, 5, 5, 9, 0, 5}}},
                                      {3, 5, 3, {{0, 3, 0, 3, 0, 3}, {0, 3, 3, 5, 0, 3}}}};
    // Three levels, 17 x 9 x 9 nodes across x: level 0 plane 81 (15552 each), the transfers
    // level 1's ghost plane of 5 x 5 (1200 each); level 1 plane 25, one exchange (2400 each),
    // rank 1 needs a 3 x 3 plane of level 2 (432); the coarsest as above (432, 648). Rank 0:
    // 19584, rank 1: 20232.
    const std::vector<Level> three = {
        {17, 9, 9, {{0, 9, 0, 9, 0, 9}, {9, 17, 0, 9, 0, 9}}},
        {9, 5, 5, {{0, 5, 0, 5, 0, 5}, {5, 9, 0, 5, 0, 5}}},
        {5, 3, 3, {{0, 3, 0, 3, 0, 3}, {3, 5, 0, 3, 0, 3}}}};
    // One rank: no ghost layer, no gather.
    const std::vector<Level> one = {{9, 5, 5, {{0, 9, 0, 5, 0, 5}}}, {5, 3, 3, {{0, 5, 0, 3, 0, 3}}}};
    const Case cases[] = {{"slab across x", slabX, 5772, 5880},
                          {"slab across y", slabY, 5772, 5880},
                          {"three levels", three, 19908, 20232},
                          {"one rank", one, 0, 0}};
    for (const Case& c : cases) {
        ScratchFolder scratch("ghost-bytes");
        std::ofstream(scratch / "solve.txt") << "Engine: petsc\n" << dmView(c.levels) << "Compliance: 1\n";
        std::ofstream(scratch / "log.txt") << "no stage\n";
        Child child = runPython("bench/ghost-bytes.py",
                                {(scratch / "solve.txt").string(), (scratch / "log.txt").string()});
        ASSERT_EQ(child.finish(), 0) << c.name << "\n" << child.err();
        const std::string& out = child.out();
        EXPECT_EQ(numberAfter(out, "(mean, "), double(c.mean)) << c.name << "\n" << out;
        EXPECT_EQ(numberAfter(out, "(largest rank, "), double(c.largest)) << c.name << "\n" << out;
        EXPECT_NE(out.find("PETSc counters: no \"MG Apply\" stage"), std::string::npos) << out;
    }
}

TEST(GhostBytes, RefusesAFileItCannotRead) {
    ScratchFolder scratch("ghost-bytes");
    Child child = runPython("bench/ghost-bytes.py",
                            {(scratch / "missing.txt").string(), (scratch / "log.txt").string()});
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.err(), "ERROR: cannot read \"" + (scratch / "missing.txt").string() +
                               "\": No such file or directory\n");
    EXPECT_EQ(child.out(), "");
}

TEST(MeasureRun, StepTimesFromProgressLinesInEveryDurationFormat) {
    ScratchFolder scratch("measure-run");
    std::ofstream(scratch / "run.log")
        << "Loading scene ...\n"
        << "Iteration 1/4  compliance 0.0236  volume 0.1416  cycles 11  0.9 s  left 5.7 s\n"
        << "WARNING: Solver has not converged\n"
        << "Iteration 2/4  compliance 0.0061  volume 0.1360  cycles 200 (not converged: cycle "
           "cap)  1 min 05 s  left 33.4 s\n"
        << "Iteration 3/4  compliance 0.0047  volume 0.1305  cycles 78  1 h 02 min  left 1 h 01 min\n"
        << "Iteration 4/4  compliance 0.0041  volume 0.1253  cycles 40  2.1 s  left 0.0 s\n"
        << "Iterations: 4 (0 to 3)\n";
    Child child = runPython("bench/measure-run.py", {"steps", (scratch / "run.log").string()});
    ASSERT_EQ(child.finish(), 0) << child.err();
    // (0.9 + 65 + 3720 + 2.1) / 4 = 947.0
    EXPECT_EQ(child.out(), "wall 0 steps 4 mean 947.00 min 0.9 max 3720.0 status 0 peak 0\n");
}

TEST(MeasureRun, RunReportsTheCommandsStatusAndRefusesAMissingLog) {
    ScratchFolder scratch("measure-run");
    Child run = runPython("bench/measure-run.py",
                          {"run", (scratch / "out.log").string(), "--", "/bin/sh", "-c",
                           "echo 'Iteration 1/1  compliance 1  volume 1  cycles 1  0.5 s  left 0.0 s' >&2; exit 3"});
    ASSERT_EQ(run.finish(), 0) << run.err();
    EXPECT_NE(run.out().find(" steps 1 mean 0.50 min 0.5 max 0.5 status 3 peak "), std::string::npos)
        << run.out();
    Child missing = runPython("bench/measure-run.py", {"steps", (scratch / "none.log").string()});
    EXPECT_EQ(missing.finish(), 1);
    EXPECT_EQ(missing.err(), "ERROR: cannot read \"" + (scratch / "none.log").string() +
                                 "\": No such file or directory\n");
}

#if OSTREL_HAVE_PETSC
TEST(GhostBytes, CountAgreesWithPetscsMessageCountersOnTwoAndFourRanks) {
    for (int ranks : {2, 4}) {
        ScratchFolder scratch("ghost-bytes-mpi");
        const fs::path log = scratch / "log_view.txt";
        std::string logOption = log.string();
        logOption.insert(logOption.begin(), ':');
        Child solve("/usr/bin/env",
                    {"OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1",
                     "OMPI_MCA_rmaps_base_oversubscribe=1", "OMP_NUM_THREADS=1", OSTREL_MPIRUN,
                     "-n", std::to_string(ranks), OSTREL_SOLVE_EXE, "--engine", "petsc", "--size",
                     "32", "16", "16", "--voxel", "1", "--levels", "3", "--tolerance", "1e-6",
                     "--", "-dm_view", "-log_view", logOption, "-pc_mg_log"});
        ASSERT_EQ(solve.finishWithin(300), 0) << solve.out() << solve.err();
        std::ofstream(scratch / "solve.txt") << solve.out();
        Child count = runPython("bench/ghost-bytes.py", {(scratch / "solve.txt").string(), log.string()});
        ASSERT_EQ(count.finish(), 0) << count.err();
        const std::string& out = count.out();
        const double counted = numberAfter(out, "(mean, ");
        const double measured = numberAfter(out, "(the whole stage, ");
        const double applications = numberAfter(out, "V-cycles, ");
        ASSERT_GT(counted, 0) << out;
        // The stage also holds a few one-time set-up messages: 1 % over the V-cycles of a solve
        // to 1e-6.
        EXPECT_NEAR(measured / counted, 1.0, 0.01) << ranks << " ranks\n" << out;
        EXPECT_EQ(applications, 4.0) << out;
    }
}
#endif

}  // namespace
}  // namespace ostrel
