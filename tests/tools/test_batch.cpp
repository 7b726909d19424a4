// ostrel-batch: its command line, progress line, history plot, and the built program itself
// (argument errors, a missing scene, --quiet, Ctrl-C, a 20-step run checked file by file).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/RunTestSupport.h"
#include "tools/BatchRun.h"
#include "tools/HistoryPlot.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;

BatchArguments parse(std::vector<std::string> args) { return parseBatchArguments(args); }

TEST(BatchArguments, AcceptedForms) {
    BatchArguments a = parse({"scene.txt"});
    ASSERT_EQ(a.action, BatchArguments::Action::Run) << a.error;
    EXPECT_EQ(a.options.sceneFile, "scene.txt");
    EXPECT_EQ(a.options.iterations, 0);
    EXPECT_TRUE(a.options.outputDirectory.empty());
    EXPECT_EQ(a.options.device, BatchDevice::Automatic);
    EXPECT_EQ(a.options.threads, 0);
    EXPECT_FALSE(a.options.quiet);

    a = parse({"--iterations", "20", "--output=out dir", "s.txt", "--device", "host",
               "--threads=3", "--quiet"});
    ASSERT_EQ(a.action, BatchArguments::Action::Run) << a.error;
    EXPECT_EQ(a.options.sceneFile, "s.txt");
    EXPECT_EQ(a.options.iterations, 20);
    EXPECT_EQ(a.options.outputDirectory, "out dir");
    EXPECT_EQ(a.options.device, BatchDevice::Host);
    EXPECT_EQ(a.options.threads, 3);
    EXPECT_TRUE(a.options.quiet);

    a = parse({"-n", "501", "-oout", "-q", "--device=cuda", "--", "-scene-with-dash.txt"});
    ASSERT_EQ(a.action, BatchArguments::Action::Run) << a.error;
    EXPECT_EQ(a.options.iterations, 501);
    EXPECT_EQ(a.options.outputDirectory, "out");
    EXPECT_EQ(a.options.device, BatchDevice::Cuda);
    EXPECT_EQ(a.options.sceneFile, "-scene-with-dash.txt");
    EXPECT_EQ(a.options.solver, SolveMethod::VCycles);
    EXPECT_EQ(parse({"s.txt", "--solver", "pcg"}).options.solver, SolveMethod::ConjugateGradients);
    EXPECT_EQ(parse({"s.txt", "--solver=vcycle"}).options.solver, SolveMethod::VCycles);

    EXPECT_EQ(parse({"s.txt", "--help", "--bogus"}).action, BatchArguments::Action::Help);
    EXPECT_EQ(parse({"-h"}).action, BatchArguments::Action::Help);
    EXPECT_EQ(parse({"--version"}).action, BatchArguments::Action::Version);
    EXPECT_EQ(parse({"-V"}).action, BatchArguments::Action::Version);
}

TEST(BatchArguments, ErrorsNameTheProblem) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{}, "ERROR: No scene file given"},
        {{"--quiet"}, "ERROR: No scene file given"},
        {{"a.txt", "b.txt"}, "ERROR: Unexpected argument 'b.txt': give one scene file"},
        {{"a.txt", "--bogus"}, "ERROR: Unknown option '--bogus'"},
        {{"a.txt", "-x"}, "ERROR: Unknown option '-x'"},
        {{"a.txt", "--iter", "3"}, "ERROR: Unknown option '--iter'"},
        {{"a.txt", "--iterations"}, "ERROR: Option '--iterations' needs a value"},
        {{"a.txt", "-n"}, "ERROR: Option '--iterations' needs a value"},
        {{"a.txt", "--iterations", "0"},
         "ERROR: --iterations needs a whole number from 1 to 501, not '0'"},
        {{"a.txt", "--iterations", "502"},
         "ERROR: --iterations needs a whole number from 1 to 501, not '502'"},
        {{"a.txt", "--iterations=-3"},
         "ERROR: --iterations needs a whole number from 1 to 501, not '-3'"},
        {{"a.txt", "--iterations", "12x"},
         "ERROR: --iterations needs a whole number from 1 to 501, not '12x'"},
        {{"a.txt", "--iterations", "99999999999999999999"},
         "ERROR: --iterations needs a whole number from 1 to 501, not '99999999999999999999'"},
        {{"a.txt", "--iterations="},
         "ERROR: --iterations needs a whole number from 1 to 501, not ''"},
        {{"a.txt", "--threads", "0"},
         "ERROR: --threads needs a whole number from 1 to 1024, not '0'"},
        {{"a.txt", "--device", "gpu"}, "ERROR: --device must be 'host' or 'cuda', not 'gpu'"},
        {{"a.txt", "--solver", "cg"}, "ERROR: --solver must be 'vcycle' or 'pcg', not 'cg'"},
        {{"a.txt", "--solver="}, "ERROR: --solver must be 'vcycle' or 'pcg', not ''"},
        {{"a.txt", "--solver"}, "ERROR: Option '--solver' needs a value"},
        {{"a.txt", "--output="}, "ERROR: --output needs a folder name"},
        {{"a.txt", "--quiet=yes"}, "ERROR: Option '--quiet' takes no value"},
        {{"a.txt", "-qq"}, "ERROR: Option '--quiet' takes no value"},
    };
    for (const auto& c : cases) {
        const BatchArguments a = parse(c.args);
        EXPECT_EQ(a.action, BatchArguments::Action::Error) << c.error;
        EXPECT_EQ(a.error, c.error);
    }
}

TEST(BatchProgress, LineAndDurations) {
    StepResult step;
    step.strainEnergy = 0.00123456789;
    step.volumeRatio = 0.36;
    step.cycles = 12;
    step.converged = true;
    EXPECT_EQ(progressLine(3, 20, step, 0.5, 8.5),
              "Iteration 3/20  compliance 0.00123457  volume 0.3600  cycles 12  0.5 s  left 8.5 s");
    step.converged = false;
    EXPECT_EQ(progressLine(20, 20, step, 61, 0),
              "Iteration 20/20  compliance 0.00123457  volume 0.3600  cycles 12 (not converged)"
              "  1 min 01 s  left 0.0 s");
    // A solve that ran into the cycle cap says so.
    step.cycles = 199;
    EXPECT_NE(progressLine(5, 20, step, 1, 1).find("cycles 199 (not converged)  "),
              std::string::npos);
    step.cycles = 200;
    EXPECT_EQ(progressLine(5, 20, step, 1, 1),
              "Iteration 5/20  compliance 0.00123457  volume 0.3600  cycles 200 (not converged: "
              "cycle cap)  1.0 s  left 1.0 s");
    EXPECT_EQ(formatDuration(0), "0.0 s");
    EXPECT_EQ(formatDuration(59.94), "59.9 s");
    EXPECT_EQ(formatDuration(59.96), "1 min 00 s");
    EXPECT_EQ(formatDuration(3599.4), "59 min 59 s");
    EXPECT_EQ(formatDuration(7625), "2 h 07 min");
    EXPECT_EQ(formatDuration(NAN), "?");
    EXPECT_EQ(formatDuration(-1), "?");
}

TEST(HistoryPlot, SelfContainedSvgWithThreeCurves) {
    std::vector<HistoryPoint> points;
    for (int i = 0; i < 10; ++i)
        points.push_back({i, 1.0 / (i + 1), 0.4 - 0.004 * i, 0.9 - 0.05 * i});
    points[4].compliance = NAN;  // breaks the compliance curve, never reaches the file
    const std::string svg = historySvg(points, "run <a & b>");
    EXPECT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg ", 0), 0u);
    EXPECT_NE(svg.find("xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_NE(svg.find(">run &lt;a &amp; b&gt;</text>"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("href"), std::string::npos) << "nothing external";
    for (const char* name : {"Compliance", "Volume fraction", "Sharpness", "Iteration"})
        EXPECT_NE(svg.find(name), std::string::npos) << name;
    // Three curves; the compliance curve restarts after the missing value.
    const std::regex path("<path d=\"([^\"]*)\"");
    std::vector<std::string> curves;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), path); it != std::sregex_iterator();
         ++it)
        curves.push_back((*it)[1]);
    ASSERT_EQ(curves.size(), 3u);
    EXPECT_EQ(std::count(curves[0].begin(), curves[0].end(), 'M'), 2);
    EXPECT_EQ(std::count(curves[0].begin(), curves[0].end(), 'L'), 7);
    EXPECT_EQ(std::count(curves[1].begin(), curves[1].end(), 'L'), 9);

    EXPECT_NE(historySvg({}, "empty").find("no data"), std::string::npos);
    EXPECT_EQ(escapeXml("'\"&"), "&apos;&quot;&amp;");
}

TEST(HistoryPlot, WriteReplacesWholeOrNotAtAll) {
    ScratchFolder folder("plot");
    const std::filesystem::path file = folder / "history.svg";
    std::ostringstream log;
    ASSERT_TRUE(writeHistorySvg(file, {{0, 1, 0.5, 0.9}}, "t", &log));
    EXPECT_EQ(testing::readFile(file), historySvg({{0, 1, 0.5, 0.9}}, "t"));
    ASSERT_TRUE(writeHistorySvg(file, {{0, 2, 0.5, 0.9}, {1, 1, 0.4, 0.8}}, "t", &log));
    EXPECT_EQ(testing::readFile(file), historySvg({{0, 2, 0.5, 0.9}, {1, 1, 0.4, 0.8}}, "t"));
    EXPECT_EQ(log.str(), "");
    EXPECT_FALSE(writeHistorySvg(folder / "no" / "history.svg", {}, "t", &log));
    EXPECT_EQ(log.str(), "ERROR: Cannot write file \"" + (folder / "no" / "history.svg").string() +
                             "\": No such file or directory\n");
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) ++entries, (void)entry;
    EXPECT_EQ(entries, 1) << "no temporary file left behind";
}

// ---- the built program ----
// Runs use one worker thread: the suite shares two cores, and waiting for a descheduled second
// thread in every parallel loop costs far more than it gains on these tiny models.

TEST(BatchProgram, CommandLineErrorsExitWith2) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--bogus", "s.txt"}, {"s.txt", "--iterations", "0"},
          {"s.txt", "--device", "gpu"}, {"a.txt", "b.txt"}}) {
        Child child(kBatch, args);
        EXPECT_EQ(child.finish(), 2);
        EXPECT_EQ(child.out(), "");
        EXPECT_EQ(child.err().rfind("ERROR: ", 0), 0u) << child.err();
        EXPECT_NE(child.err().find("\nUsage: ostrel-batch SCENE "), std::string::npos);
        EXPECT_NE(child.err().find("Try 'ostrel-batch --help'"), std::string::npos);
    }
    Child help(kBatch, {"--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_EQ(help.out().rfind("Usage: ostrel-batch SCENE [--iterations N]", 0), 0u);
    EXPECT_NE(help.out().find("Exit status: 0 done, 1 the run could not start (the scene's voxel "
                              "model cannot be\nbuilt or does not fit the memory, no force acts on "
                              "a vertex that is not fixed,\nnothing is left to design, more is held "
                              "solid than the volume fraction, or\n--resume refused the checkpoint) "
                              "or its final shape, plot or a checkpoint could\nnot be written, or it "
                              "broke down (its last 3 solves stopped at the cycle cap, or\nits "
                              "compliance rose to more than 1.5 times its best and stayed there: the "
                              "files\nare written, but the run is not reported converged),\n2 bad "
                              "command line, 130 interrupted."),
              std::string::npos)
        << help.out();
    EXPECT_EQ(help.out().find("255"), std::string::npos) << "no status the program never gives";
    Child version(kBatch, {"--version"});
    EXPECT_EQ(version.finish(), 0);
    EXPECT_EQ(version.out().rfind("ostrel-batch ", 0), 0u);
}

TEST(BatchProgram, MissingSceneGivesTheLoadError) {
    ScratchFolder folder("batch-missing");
    const std::string scene = (folder / "none.txt").string();
    Child child(kBatch, {scene, "--device", "host", "--quiet"});
    EXPECT_EQ(child.finish(), 1);
    // The cause and the consequence, both on standard error.
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err(), "ERROR: Cannot open file \"" + scene + "\"\nERROR: Cannot load scene \"" +
                               scene + "\"\n");
}

TEST(BatchProgram, OutputFolderThatCannotBeMadeStopsBeforeLoading) {
    ScratchFolder folder("batch-output");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    std::ofstream(folder / "taken") << "a file, not a folder\n";
    Child child(kBatch, {scene.string(), "-o", (folder / "taken").string(), "--threads", "1"});
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err().rfind("ERROR: Cannot create output folder \"" +
                                    (folder / "taken").string() + "\"", 0),
              0u)
        << child.err();
    EXPECT_EQ(testing::readFile(folder / "taken"), "a file, not a folder\n");
}

TEST(BatchProgram, OutputFolderThatTakesNoFilesStopsBeforeLoading) {
    ScratchFolder folder("batch-output-closed");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    // A folder in which nobody, not even root, can create a file.
    Child child(kBatch, {scene.string(), "-o", "/proc/self", "--threads", "1"});
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err().rfind("ERROR: Cannot write into output folder \"/proc/self\": ", 0), 0u)
        << child.err();
    EXPECT_EQ(std::count(child.err().begin(), child.err().end(), '\n'), 1) << child.err();
}

// Both solvers reach the relative residual 0.01 in every step: the runs' compliances agree to
// about that, and conjugate gradients need fewer cycles in all.
TEST(BatchProgram, ConjugateGradientsFollowTheSameDesign) {
    ScratchFolder folder("batch-pcg");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    std::map<std::string, std::vector<std::string>> compliance, cycles;
    for (const char* solver : {"vcycle", "pcg"}) {
        const std::string out = (folder / solver).string();
        Child child(kBatch, {scene.string(), "-n", "6", "-q", "--shape-every", "0", "--device",
                             "host", "--threads", "1", "--solver", solver, "-o", out});
        ASSERT_EQ(child.finish(), 0) << child.err();
        compliance[solver] = testing::readLines(folder / solver / "ObjectiveValue.txt");
        cycles[solver] = testing::readLines(folder / solver / "NumCycles.txt");
    }
    ASSERT_EQ(compliance["pcg"].size(), 6u);
    ASSERT_EQ(compliance["vcycle"].size(), 6u);
    int loopCycles = 0, pcgCycles = 0;
    for (size_t i = 0; i < 6; ++i) {
        const double expected = std::stod(compliance["vcycle"][i]);
        EXPECT_NEAR(std::stod(compliance["pcg"][i]), expected, 0.02 * expected) << i;
        loopCycles += std::stoi(cycles["vcycle"][i]);
        pcgCycles += std::stoi(cycles["pcg"][i]);
    }
    EXPECT_LT(pcgCycles, loopCycles);
}

TEST(BatchProgram, QuietPrintsOneLinePerIterationAndWritesIntoTheWorkingDirectory) {
    ScratchFolder folder("batch-quiet");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    Child child(kBatch, {"scene.txt", "-n", "3", "-q", "--device=host", "--threads", "1"},
                folder.path());
    ASSERT_EQ(child.finish(), 0) << child.err();
    // The progress lines on standard error, the summary alone on standard output.
    std::istringstream progressLines(child.err());
    std::string line;
    const std::regex progress(
        "Iteration ([0-9]+)/3  compliance [0-9.e+-]+  volume 0\\.[0-9]{4}  cycles [0-9]+  "
        "[0-9.]+ s  left [0-9.]+ s");
    for (int k = 1; k <= 3; ++k) {
        ASSERT_TRUE(std::getline(progressLines, line));
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, progress)) << line;
        EXPECT_EQ(m[1], std::to_string(k));
    }
    EXPECT_FALSE(std::getline(progressLines, line)) << line;
    std::istringstream lines(child.out());
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "Iterations: 3 (0 to 2)");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind("Final volume fraction: 0.", 0), 0u) << line;
    ASSERT_TRUE(std::getline(lines, line));
    // The cantilever of 16 x 4 x 4 voxels: its fixed end's 16 elements and the 4 below the
    // loaded edge.
    EXPECT_EQ(line, "Held solid: 20 elements at fixed or loaded vertices, 0 more in keep-solid "
                    "boxes; held empty: 0 elements in keep-empty boxes");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_TRUE(std::regex_match(line, std::regex("Compliance: \\S+ \\(the final design's, solved "
                                                  "once more; \\S+ x the first iteration's\\)")))
        << line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind("Total solve time: ", 0), 0u) << line;
    EXPECT_NE(line.find("    Total optimize time: "), std::string::npos) << line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "Final shape: \"OptimizedShape_final.obj\"");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "History plot: \"history.svg\"");
    EXPECT_FALSE(std::getline(lines, line)) << line;
    for (const char* name : {"OptimizedShape_0.obj", "OptimizedShape_final.obj", "history.svg",
                             "ObjectiveValue.txt", "VolumeRatio.txt", "NumCycles.txt",
                             "Sharpness.txt", "Constraint.txt"})
        EXPECT_TRUE(std::filesystem::exists(folder / name)) << name;
}

TEST(BatchProgram, QuietShowsTheErrorOfAnEmptyModel) {
    ScratchFolder folder("batch-empty-model");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    // One voxel larger than the whole beam: its centre lies outside, the voxel model is empty.
    std::string text = testing::readFile(scene);
    text.replace(0, text.find('\n'), "VOXEL_SIZE: 10 10 10");
    std::ofstream(scene) << text;
    Child child(kBatch, {scene.string(), "-q", "--threads", "1", "-o", folder.path().string()});
    // The loader refuses the model before building it: a failed load, not an ended process.
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err(),
              "ERROR: Voxel model is empty\nERROR: Cannot load scene \"" + scene.string() + "\"\n");
}

// A voxel model the scene cannot build is a failed run: status 1, as --help says.
TEST(BatchProgram, AModelThatCannotBeBuiltExitsWith1) {
    ScratchFolder folder("batch-unbuildable");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    const std::string text = testing::readFile(scene);
    const size_t levels = text.find("NUM_LEVELS: ");
    ASSERT_NE(levels, std::string::npos);
    for (const char* count : {"2", "13", "2000000000"}) {
        std::string changed = text;
        changed.replace(levels, changed.find('\n', levels) - levels,
                        std::string("NUM_LEVELS: ") + count);
        std::ofstream(scene) << changed;
        Child child(kBatch, {scene.string(), "-q", "--threads", "1", "-o",
                             (folder / "out").string()});
        EXPECT_EQ(child.finish(), 1) << count;
        EXPECT_EQ(child.err(), std::string("ERROR: #Levels must be between 3 and 12, not ") +
                                   count + "\nERROR: Cannot load scene \"" + scene.string() +
                                   "\"\n")
            << count;
    }
}

// Under a small address-space or data-segment cap the memory check refuses a model too large
// for the cap, names the cap and proposes a voxel size; a model that fits runs to its end (the
// BLAS library's threads must not wait for ever on buffers the cap denies them).
TEST(BatchProgram, AMemoryCapIsTheLimitThatApplies) {
    ScratchFolder folder("batch-memory-cap");
    const auto large = testing::writeCantileverScene(folder.path(), 320);
    std::filesystem::rename(large, folder / "large.txt");
    const auto small = testing::writeCantileverScene(folder.path(), 16);
    const std::string cap = std::to_string(768LL << 20);  // 768 MiB
    struct Case {
        const char* option;
        const char* source;
    };
    for (const Case& c : {Case{"--as=", "address-space limit"}, Case{"--data=", "data-segment limit"}}) {
        Child refused("/usr/bin/prlimit",
                      {c.option + cap, kBatch, (folder / "large.txt").string(), "-q", "--threads",
                       "2", "-o", (folder / "out").string()});
        EXPECT_EQ(refused.finish(), 1) << c.option << refused.err();
        const std::regex line("ERROR: The voxel model needs \u2248 [0-9.]+ GB, the process may use "
                              "0\\.[0-7][0-9]* GB \\(" +
                              std::string(c.source) +
                              "\\); a voxel size of ([0-9.]+) \\1 \\1 fits\n");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(refused.err(), m, line)) << c.option << refused.err();
        EXPECT_GT(std::stod(m[1]), 2.0 / 320) << "a larger voxel";
        EXPECT_EQ(refused.out(), "") << c.option;

        Child runs("/usr/bin/prlimit", {c.option + cap, kBatch, small.string(), "-n", "2", "-q",
                                        "--threads", "2", "-o", (folder / "out").string()});
        EXPECT_EQ(runs.finish(), 0) << c.option << runs.err();
        EXPECT_NE(runs.err().find("Iteration 2/2 "), std::string::npos) << runs.err();
    }
}

TEST(BatchProgram, QuietKeepsWarningsAndASingularSystemStopsAfterTheFirstStep) {
    ScratchFolder folder("batch-warnings");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    // Nothing fixed: the system is singular; the solve runs no cycle and misses its tolerance.
    std::string text = testing::readFile(scene);
    text.erase(text.find("FIXED_VERTICES: "), text.find("FORCES: ") - text.find("FIXED_VERTICES: "));
    std::ofstream(scene) << text;
    Child child(kBatch, {scene.string(), "-n", "5", "-q", "--threads", "1", "-o",
                         (folder / "out").string()});
    EXPECT_EQ(child.finish(), 1) << child.err();
    // Nothing but messages and progress: all of it on standard error.
    EXPECT_EQ(child.out(), "");
    const std::string& err = child.err();
    EXPECT_NE(err.find("WARNING: The coarsest-level system is singular"), std::string::npos)
        << err;
    EXPECT_NE(err.find("WARNING: Solver has not converged\n" + singularSystemMessage(0) +
                       "\nIteration 1/5  "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("cycles 0 (not converged)  "), std::string::npos) << "singular: no cycles";
    EXPECT_EQ(err.find("Iteration 2/5"), std::string::npos) << err;
    EXPECT_EQ(err.find("Residual within cycle"), std::string::npos);
    EXPECT_EQ(err.find("Time SOLVE"), std::string::npos);
    EXPECT_EQ(err.find("Final shape"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;
    EXPECT_FALSE(std::filesystem::exists(folder / "out" / "OptimizedShape_final.obj"));
}

// Without a force on a vertex that is not fixed every design has compliance 0: the run is
// refused before it starts, with one error and nothing written.
TEST(BatchProgram, ARunWithoutLoadsIsRefusedBeforeItStarts) {
    struct Case {
        const char* name;
        const char* cause;
    };
    for (const Case c : {Case{"no FORCES", "the scene sets no force (FORCES)"},
                         Case{"forces on fixed vertices", "all 2 loaded vertices are fixed"}}) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder("batch-no-loads");
        const auto scene = testing::writeCantileverScene(folder.path(), 16);
        std::string text = testing::readFile(scene);
        text.erase(text.find("FORCES: "));
        if (std::string(c.name) != "no FORCES") text += "FORCES: 0 0 0 0 0 -1  0 1 1 0 0 -1\n";
        std::ofstream(scene) << text;
        const auto out = folder / "out";
        Child child(kBatch, {scene.string(), "-n", "1", "-q", "--threads", "1", "-o",
                             out.string()});
        EXPECT_EQ(child.finish(), 1) << child.err();
        EXPECT_EQ(child.err(), std::string("ERROR: No force acts on the model: ") + c.cause +
                                   ", so its compliance is 0 whatever the design and there is "
                                   "nothing to optimize; load vertices that are not fixed "
                                   "(FORCES, ostrel-make-scene --load)\n");
        EXPECT_EQ(child.out().find("Final "), std::string::npos) << child.out();
        EXPECT_TRUE(std::filesystem::is_empty(out)) << "nothing written";
    }
}

/// Standard error without the progress lines ("Iteration k/N ...").
std::string withoutProgressLines(const std::string& err) {
    std::istringstream in(err);
    std::string line, rest;
    while (std::getline(in, line))
        if (line.rfind("Iteration ", 0) != 0) rest += line + "\n";
    return rest;
}

TEST(BatchProgram, InterruptFinishesTheStepAndKeepsTheShape) {
    ScratchFolder folder("batch-interrupt");
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    const auto out = folder / "out";
    Child child(kBatch, {scene.string(), "--output", out.string(), "--quiet", "--device", "host",
                         "--threads", "1"});
    ASSERT_TRUE(child.waitForError("Iteration 2/501")) << child.out() << child.err();
    child.signal(SIGINT);
    EXPECT_EQ(child.finish(), 130) << child.err();
    EXPECT_EQ(withoutProgressLines(child.err()),
              "stopping after this step; press Ctrl-C again to stop now\n");
    EXPECT_NE(child.out().find("Interrupted: the step in progress was finished\n"),
              std::string::npos);
    EXPECT_NE(child.out().find("Final shape: \"" + (out / "OptimizedShape_final.obj").string()),
              std::string::npos);
    TriangleMesh mesh;
    ASSERT_TRUE(mesh.readObj((out / "OptimizedShape_final.obj").wstring(), nullptr));
    EXPECT_FALSE(mesh.triangles.empty());
    EXPECT_EQ(testing::edgePairingFault(mesh), "");
    EXPECT_TRUE(std::filesystem::exists(out / "history.svg"));
    EXPECT_FALSE(std::filesystem::exists(out / "OptimizedShape_500.obj"));
}

TEST(BatchProgram, ASecondSignalStopsAtOnceAndLeavesTheFinishedStepsFiles) {
    // Steps of about a second: the second signal comes while a step is in progress (the first
    // is sent a fifth of a second after a step ended, when the next one is under way and not
    // between the two, the second as soon as the first was taken).
    ScratchFolder folder("batch-stop-now");
    const auto scene = testing::writeCantileverScene(folder.path(), 96);
    const auto out = folder / "out";
    for (int second : {SIGINT, SIGTERM}) {
        std::filesystem::remove_all(out);
        Child child(kBatch, {scene.string(), "--output", out.string(), "--quiet", "--device",
                             "host", "--threads", "1"});
        ASSERT_TRUE(child.waitForError("Iteration 2/501")) << child.out() << child.err();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        child.signal(SIGTERM);
        ASSERT_TRUE(child.waitForError("press Ctrl-C again to stop now\n")) << child.err();
        child.signal(second);
        EXPECT_EQ(child.finish(), 130) << child.err();
        // The steps that printed their progress line are the ones in the history files.
        std::regex progress("Iteration ([0-9]+)/501 ");
        int finished = 0;
        for (auto it = std::sregex_iterator(child.err().begin(), child.err().end(), progress);
             it != std::sregex_iterator(); ++it)
            EXPECT_EQ(std::stoi((*it)[1]), ++finished);
        ASSERT_GE(finished, 2);
        EXPECT_EQ(withoutProgressLines(child.err()),
                  "stopping after this step; press Ctrl-C again to stop now\n"
                  "Stopped at once: the files of step " +
                                   std::to_string(finished - 1) +
                                   ", the last one finished, are complete; OptimizedShape_final "
                                   "and history.svg were not written\n");
        for (const char* history :
             {"ObjectiveValue.txt", "VolumeRatio.txt", "NumCycles.txt"})
            EXPECT_EQ(testing::lineCount(out / history), finished) << history;
        EXPECT_EQ(testing::lineCount(out / "Sharpness.txt"), finished + 1);
        EXPECT_FALSE(std::filesystem::exists(out / "OptimizedShape_final.obj"));
        EXPECT_FALSE(std::filesystem::exists(out / "history.svg"));
        TriangleMesh first;
        ASSERT_TRUE(first.readObj((out / "OptimizedShape_0.obj").wstring(), nullptr));
        EXPECT_EQ(testing::edgePairingFault(first), "");
        EXPECT_EQ(child.out().find("Interrupted: the step in progress was finished"),
                  std::string::npos);
    }
}

TEST(BatchProgram, TwentyStepsWriteClosedOutwardShapes) {
    ScratchFolder folder("batch-e2e");
    const auto scene = testing::writeCantileverScene(folder.path(), 32);
    const auto out = folder / "results" / "run1";  // created with its parent
    Child child(kBatch, {scene.string(), "--iterations", "20", "--output", out.string(),
                         "--device", "host", "--threads", "1"});
    ASSERT_EQ(child.finish(), 0) << child.err();
    // The system's console lines, the summary after them; the progress line of every step on
    // standard error, as with --quiet.
    const std::string& text = child.out();
    EXPECT_EQ(text.find("Iteration 1/20  "), std::string::npos);
    for (int k = 1; k <= 20; ++k)
        EXPECT_NE(child.err().find("Iteration " + std::to_string(k) + "/20  compliance "),
                  std::string::npos)
            << k << child.err();
    EXPECT_NE(text.find("**** Topology Optimization ****"), std::string::npos);
    EXPECT_NE(text.find("\n Iteration: 19\n"), std::string::npos);
    EXPECT_NE(text.find("Residual within cycle 0: "), std::string::npos);
    EXPECT_NE(text.find("Time SOLVE (total): "), std::string::npos);
    EXPECT_LT(text.rfind("Time SOLVE (total): "), text.find("Iterations: 20 (0 to 19)\n"));

    for (const char* name : {"OptimizedShape_0.obj", "OptimizedShape_5.obj", "OptimizedShape_10.obj",
                             "OptimizedShape_15.obj", "OptimizedShape_final.obj"}) {
        TriangleMesh mesh;
        ASSERT_TRUE(mesh.readObj((out / name).wstring(), nullptr)) << name;
        EXPECT_GT(mesh.triangles.size(), 12u) << name;
        EXPECT_EQ(testing::edgePairingFault(mesh), "") << name;
        const float volume = mesh.computeVolume();
        EXPECT_GT(volume, 0.0f) << name;
        EXPECT_LT(volume, 2.0f * 0.5f * 0.5f) << name;  // inside the beam's box
    }
    int shapes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        shapes += name.rfind("OptimizedShape_", 0) == 0;
    }
    EXPECT_EQ(shapes, 5);
    EXPECT_EQ(testing::lineCount(out / "ObjectiveValue.txt"), 20);
    EXPECT_EQ(testing::lineCount(out / "VolumeRatio.txt"), 20);
    EXPECT_EQ(testing::lineCount(out / "NumCycles.txt"), 20);
    EXPECT_EQ(testing::lineCount(out / "Sharpness.txt"), 21);
    EXPECT_EQ(testing::lineCount(out / "Constraint.txt"), 0);
    const std::string svg = testing::readFile(out / "history.svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    // Compliance falls as the material goes where it carries the load.
    std::istringstream energies(testing::readFile(out / "ObjectiveValue.txt"));
    double first = 0, last = 0, value = 0;
    energies >> first;
    while (energies >> value) last = value;
    EXPECT_LT(last, first);
}

}  // namespace
}  // namespace ostrel
