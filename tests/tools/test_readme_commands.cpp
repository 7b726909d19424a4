// Every ostrel-batch and ostrel-evaluate command of README.md runs as the README says: the
// commands are taken from the README's own shell blocks, run on the examples with a few
// iterations (the output folders moved into a scratch folder, the part of your own replaced by
// the bracket example), and every file they write is checked: shapes closed, outward and
// without degenerate triangles, the smooth shape also without self-intersections, with the
// design's volume and a level that is not the volume fraction, shapes in the input mesh's
// coordinates over the input mesh, VTK files with the summary's volume fraction, history files
// with one finite number a line, the plot a complete SVG, and nothing else in the folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "geometry/DegenerateTriangles.h"
#include "geometry/MeshFile.h"
#include "geometry/MeshIntersections.h"
#include "support/RunTestSupport.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::filesystem::path kSource = OSTREL_SOURCE_DIR;
/// Steps of a run: on the bracket enough for a design that differs from the initial one, in
/// projection mode too; on the cantilever, whose designs ostrel-evaluate thresholds, enough for
/// a thresholded design that joins the loads to the supports (fewer leave the solve without a
/// load path, which it reports as a failure).
constexpr int kBracketSteps = 3, kCantileverSteps = 15;
/// A quiet program's longest silence: the set-up and the first step of the bracket on a
/// loaded machine.
constexpr int kSilence = 600;
/// The examples' volume fraction (none of their scenes sets one).
constexpr double kVolumeFraction = 0.36;

/// The README's command lines of `program` (lines of its ```sh blocks), split into words.
std::vector<std::vector<std::string>> readmeCommands(const std::string& program) {
    std::vector<std::vector<std::string>> commands;
    bool inShell = false;
    for (const std::string& line : testing::readLines(kSource / "README.md")) {
        if (line.rfind("```", 0) == 0) {
            inShell = !inShell && line == "```sh";
            continue;
        }
        if (!inShell || line.rfind("build/bin/" + program + " ", 0) != 0) continue;
        std::istringstream words(line);
        std::vector<std::string> command;
        for (std::string word; words >> word;) command.push_back(word);
        commands.push_back(command);
    }
    return commands;
}

/// The number after `key` in `text` (NaN when there is none).
double numberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? std::nan("") : std::strtod(text.c_str() + at + key.size(), nullptr);
}

struct Box {
    Vec3f lo, hi;
};

Box boundingBox(const TriangleMesh& mesh) {
    return {mesh.center - mesh.halfSize, mesh.center + mesh.halfSize};
}

/// Checks a written shape file; returns the mesh (empty when it cannot be read).
TriangleMesh checkShape(const std::filesystem::path& file) {
    SCOPED_TRACE(file.string());
    TriangleMesh mesh;
    EXPECT_TRUE(readMeshFile(mesh, fromUtf8(file.string()), nullptr));
    EXPECT_GT(mesh.triangles.size(), 100u);
    EXPECT_EQ(testing::edgePairingFault(mesh), "");
    EXPECT_EQ(degenerateTriangles(mesh), std::vector<int>{});
    TriangleMesh copy = mesh;
    EXPECT_GT(copy.computeVolume(), 0.0) << "outward";
    return mesh;
}

/// The run's files: what each is and that it is sound.
void checkOutputFolder(const std::filesystem::path& folder, const std::string& summary,
                       const std::vector<std::string>& command, int steps) {
    const auto has = [&](const char* option) {
        return std::find(command.begin(), command.end(), option) != command.end();
    };
    const std::string ext = has("stl") ? ".stl" : ".obj";
    const bool smooth = has("--smooth"), vtk = has("--vtk"), every = !has("--shape-every");
    std::set<std::string> expected = {"ObjectiveValue.txt", "VolumeRatio.txt", "Sharpness.txt",
                                      "NumCycles.txt",      "Constraint.txt",  "history.svg",
                                      "OptimizedShape_final" + ext};
    if (every)
        for (int k = 0; k < steps; k += 5) expected.insert("OptimizedShape_" + std::to_string(k) + ext);
    if (vtk) expected.insert("OptimizedShape_final.vti");
    // A run that writes checkpoints, and one continued in its folder, keep the checkpoint there.
    if (has("--checkpoint-every") || has("--resume")) expected.insert("checkpoint");
    if (smooth) expected.insert("OptimizedShape_smooth" + ext);
    // The example of two load cases adds the cases' compliances, two per line.
    const bool twoCases = has("examples/two-cases/scene.txt");
    if (twoCases) {
        expected.insert("LoadCaseCompliance.txt");
        const std::vector<std::string> lines =
            testing::readLines(folder / "LoadCaseCompliance.txt");
        EXPECT_EQ(lines.size(), size_t(steps));
        for (const std::string& line : lines) {
            std::istringstream words(line);
            double one = 0, two = 0;
            std::string rest;
            EXPECT_TRUE(words >> one >> two && !(words >> rest) && one > 0 && two > 0) << line;
        }
    }
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        found.insert(entry.path().filename().string());
    EXPECT_EQ(found, expected) << "nothing missing, nothing else";

    const double fraction = numberAfter(summary, "Final volume fraction: ");
    EXPECT_GT(fraction, 0.0) << summary;
    for (const char* name : {"ObjectiveValue.txt", "VolumeRatio.txt", "Sharpness.txt",
                             "NumCycles.txt", "Constraint.txt"}) {
        const std::vector<std::string> lines = testing::readLines(folder / name);
        // The constraint history is created empty and stays so.
        if (std::string(name) == "Constraint.txt")
            EXPECT_TRUE(lines.empty()) << name;
        else
            EXPECT_GE(lines.size(), size_t(steps)) << name;
        for (const std::string& line : lines) {
            char* end = nullptr;
            const double value = std::strtod(line.c_str(), &end);
            EXPECT_TRUE(end != line.c_str() && *end == '\0' && std::isfinite(value))
                << name << ": '" << line << "'";
        }
    }
    const std::string svg = testing::readFile(folder / "history.svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);

    for (const std::string& name : found)
        if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0 &&
            name.find("_smooth") == std::string::npos)
            checkShape(folder / name);

    if (vtk) {
        VtkImage image;
        std::string error;
        ASSERT_TRUE(readVtkImage(folder / "OptimizedShape_final.vti", image, error)) << error;
        const std::vector<double> density = arrayValues(*findCellArray(image, "Density"));
        const std::vector<double> solid = arrayValues(*findCellArray(image, "Solid"));
        double sum = 0, elements = 0;
        for (size_t c = 0; c < density.size(); ++c) {
            sum += density[c];
            elements += solid[c];
        }
        EXPECT_NEAR(sum / elements, fraction, 1e-4) << "the final design's densities";
    }

    if (smooth) {
        const std::filesystem::path file = folder / ("OptimizedShape_smooth" + ext);
        const TriangleMesh mesh = checkShape(file);
        EXPECT_EQ(selfIntersections(mesh).size(), 0u) << "fit for printing";
        const double level = numberAfter(summary, "(level ");
        const double design = numberAfter(summary, " of the design's ");
        EXPECT_GT(std::fabs(level - kVolumeFraction), 1e-3)
            << "a level made from the initial field\n" << summary;
        EXPECT_GT(level, 0.05);
        EXPECT_LT(level, 0.95);
        TriangleMesh copy = mesh;
        EXPECT_NEAR(copy.computeVolume(), design, 0.02 * design) << summary;
    }
}

TEST(ReadmeCommands, EveryBatchAndEvaluateCommandRunsAsDocumented) {
    const std::vector<std::vector<std::string>> batch = readmeCommands("ostrel-batch");
    const std::vector<std::vector<std::string>> evaluate = readmeCommands("ostrel-evaluate");
    // The README's commands: the cantilever, a part of your own, the crisp cantilever, the
    // minimum member size, the printing command, the two runs and two evaluations of the fair
    // comparison, the run and evaluation in engineering units, the run and evaluation of two
    // load cases, and the run with checkpoints and its continuation.
    ASSERT_EQ(batch.size(), 11u);
    ASSERT_EQ(evaluate.size(), 4u);
    ScratchFolder folder("readme");
    const std::string work = folder.path().string();
    const std::filesystem::path bracket = kSource / "examples" / "bracket";

    // Folders of the same name (out/crisp twice) are checked after each run.
    for (const std::vector<std::string>& readme : batch) {
        std::vector<std::string> args;
        std::string out = work;
        bool iterations = false;
        const bool cantilever = std::find(readme.begin(), readme.end(),
                                          "examples/cantilever/scene.txt") != readme.end();
        const auto has = [&](const char* option) {
            return std::find(readme.begin(), readme.end(), option) != readme.end();
        };
        // A run that writes checkpoints stops 5 steps short; its continuation runs them.
        const int steps = (cantilever ? kCantileverSteps : kBracketSteps) -
                          (has("--checkpoint-every") && !has("--resume") ? 5 : 0);
        for (size_t i = 1; i < readme.size(); ++i) {
            std::string word = readme[i];
            if (word.rfind("examples/", 0) == 0) word = (kSource / word).string();
            if (word == "part/scene.txt") word = (bracket / "scene.txt").string();
            if (word.rfind("out/", 0) == 0) {
                word = work + "/" + word;
                if (readme[i - 1] != "--resume") out = word;
            }
            if (readme[i - 1] == "--iterations") {
                word = std::to_string(steps);
                iterations = true;
            }
            args.push_back(word);
        }
        if (!iterations) args.insert(args.end(), {"--iterations", std::to_string(steps)});
        std::string line;
        for (const std::string& word : readme) line += word + " ";
        SCOPED_TRACE(line);
        // A folder of its own for the command without --output (the working directory).
        if (out == work) out = work + "/part";
        if (!has("--resume")) std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        Child run(OSTREL_BATCH_EXE, args, out);
        run.setSilenceLimit(kSilence);
        ASSERT_EQ(run.finish(), 0) << run.err();
        EXPECT_EQ(run.err().find("ERROR"), std::string::npos) << run.err();
        const std::string& summary = run.out();
        EXPECT_NE(summary.find("Iterations: " + std::to_string(steps) + " "), std::string::npos)
            << summary;
        checkOutputFolder(out, summary, readme, steps);
        if (std::find(readme.begin(), readme.end(), "--report") != readme.end()) {
            EXPECT_GT(numberAfter(summary, "\nCase 1 von Mises maximum: "), 0.0) << summary;
        }

        if (std::find(readme.begin(), readme.end(), "--original-coordinates") != readme.end()) {
            // Over the input part: the bracket's own mesh, whatever the scene's scaling.
            TriangleMesh part, shape;
            ASSERT_TRUE(readMeshFile(part, fromUtf8((bracket / "bracket.obj").string()), nullptr));
            ASSERT_TRUE(readMeshFile(
                shape, fromUtf8(out + "/OptimizedShape_final.stl"), nullptr));
            const Box p = boundingBox(part), s = boundingBox(shape);
            for (int a = 0; a < 3; ++a) {
                const float voxel = 0.0125f, slack = 1.5f * voxel;
                EXPECT_GE(s.lo[a], p.lo[a] - slack) << a;
                EXPECT_LE(s.hi[a], p.hi[a] + slack) << a;
                EXPECT_GT(s.hi[a] - s.lo[a], 0.5f * (p.hi[a] - p.lo[a])) << a;
            }
        }
    }

    for (const std::vector<std::string>& readme : evaluate) {
        std::vector<std::string> args;
        for (size_t i = 1; i < readme.size(); ++i) {
            std::string word = readme[i];
            if (word.rfind("examples/", 0) == 0) word = (kSource / word).string();
            if (word.rfind("out/", 0) == 0) word = work + "/" + word;
            args.push_back(word);
        }
        Child run(OSTREL_EVALUATE_EXE, args);
        run.setSilenceLimit(kSilence);
        EXPECT_EQ(run.finish(), 0) << run.err();
        EXPECT_GT(numberAfter(run.out(), "Compliance: "), 0.0) << run.out();
        if (std::find(readme.begin(), readme.end(), "examples/two-cases/scene.txt") !=
            readme.end()) {
            EXPECT_GT(numberAfter(run.out(), "\nCompliance of load case 2: "), 0.0) << run.out();
        }
        if (std::find(readme.begin(), readme.end(), "--threshold") != readme.end()) {
            EXPECT_NE(run.out().find("Threshold: auto, level "), std::string::npos) << run.out();
        }
        EXPECT_GT(numberAfter(run.out(), "\nCase 1 von Mises maximum: "), 0.0) << run.out();
    }
}

}  // namespace
}  // namespace ostrel
