// ostrel-batch and ostrel-evaluate with several load cases: two equal cases of weight 1/2 give
// the design of the one case; a cantilever pulled down in one case and sideways in the other
// gets a design unlike either single-case design and stiffer in its worse case than both; the
// history file of the cases' compliances and the evaluation's per-case lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/RunTestSupport.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;
const std::string kEvaluate = OSTREL_EVALUATE_EXE;

/// The 16 x 4 x 4 cantilever (FORCES pulls its free end's lower edge down) with `extra` appended.
std::filesystem::path cantileverWith(const std::filesystem::path& folder, const std::string& extra) {
    const auto scene = testing::writeCantileverScene(folder, 16);
    std::ofstream(scene, std::ios::app) << extra;
    return scene;
}

/// The free end's lower edge pushed sideways (+y) as one FORCES list, 5 vertices of 20 each.
std::string sidewaysForces() {
    std::ostringstream list;
    for (int z = 0; z <= 4; ++z) list << (z ? "  " : "") << "16 0 " << z << " 0 20 0";
    return list.str();
}

/// Runs ostrel-batch on `scene` for `iterations` into `out` with the VTK file.
void runBatch(const std::filesystem::path& scene, const std::filesystem::path& out,
              int iterations) {
    Child child(kBatch, {scene.string(), "-n", std::to_string(iterations), "-q", "--threads",
                         "1", "--device", "host", "--vtk", "--shape-every", "0", "-o",
                         out.string()});
    ASSERT_EQ(child.finish(), 0) << child.out() << child.err();
}

std::vector<double> densities(const std::filesystem::path& vti) {
    VtkImage image;
    std::string error;
    EXPECT_TRUE(readVtkImage(vti, image, error)) << error;
    const VtkDataArray* density = findCellArray(image, "Density");
    EXPECT_NE(density, nullptr);
    return density ? arrayValues(*density) : std::vector<double>{};
}

double largestDifference(const std::vector<double>& a, const std::vector<double>& b) {
    EXPECT_EQ(a.size(), b.size());
    double largest = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        largest = std::max(largest, std::fabs(a[i] - b[i]));
    return largest;
}

/// The per-case compliances ostrel-evaluate prints for `vti` under `scene`.
std::vector<double> caseCompliances(const std::filesystem::path& scene,
                                    const std::filesystem::path& vti, std::string& output) {
    Child child(kEvaluate, {"--scene", scene.string(), "--densities", vti.string(), "--device",
                            "host", "--threads", "1"});
    EXPECT_EQ(child.finish(), 0) << child.out() << child.err();
    output = child.out();
    std::vector<double> values;
    std::istringstream lines(child.out());
    for (std::string line; std::getline(lines, line);) {
        const std::string prefix = "Compliance of load case " + std::to_string(values.size() + 1) + ": ";
        if (line.rfind(prefix, 0) == 0) values.push_back(std::strtod(line.c_str() + prefix.size(), nullptr));
    }
    return values;
}

TEST(BatchLoadCases, TwoEqualCasesOfWeightOneHalfGiveTheDesignOfTheOneCase) {
    ScratchFolder folder("batch-cases-equal");
    const auto oneDir = folder / "one", twoDir = folder / "two";
    std::filesystem::create_directories(oneDir);
    std::filesystem::create_directories(twoDir);
    const auto one = cantileverWith(oneDir, "");
    // The second case repeats FORCES (as the scene file lists it).
    std::string forces;
    {
        std::istringstream text(testing::readFile(one));
        for (std::string line; std::getline(text, line);)
            if (line.rfind("FORCES: ", 0) == 0) forces = line.substr(8);
    }
    ASSERT_FALSE(forces.empty());
    const auto two = cantileverWith(twoDir, "FORCES_CASE_2: " + forces +
                                                "\nLOAD_CASE_WEIGHTS: 0.5 0.5\n");
    for (const auto& [scene, dir] : {std::pair{one, oneDir}, std::pair{two, twoDir}})
        runBatch(scene, dir / "out", 10);
    EXPECT_LE(largestDifference(densities(oneDir / "out" / "OptimizedShape_final.vti"),
                                densities(twoDir / "out" / "OptimizedShape_final.vti")),
              1e-6);
    const std::vector<std::string> objective =
        testing::readLines(oneDir / "out" / "ObjectiveValue.txt");
    EXPECT_EQ(testing::readLines(twoDir / "out" / "ObjectiveValue.txt"), objective);
    // One line per update, both cases' compliances, each the one case's.
    const std::vector<std::string> cases =
        testing::readLines(twoDir / "out" / "LoadCaseCompliance.txt");
    ASSERT_EQ(cases.size(), 10u);
    ASSERT_EQ(objective.size(), 10u);
    for (size_t k = 0; k < cases.size(); ++k)
        EXPECT_EQ(cases[k], objective[k] + " " + objective[k]);
    EXPECT_FALSE(std::filesystem::exists(oneDir / "out" / "LoadCaseCompliance.txt"));
    // The history's other files keep their line counts: one cycle count per update.
    EXPECT_EQ(testing::readLines(twoDir / "out" / "NumCycles.txt").size(),
              testing::readLines(oneDir / "out" / "NumCycles.txt").size());
}

TEST(BatchLoadCases, TwoCaseDesignIsStifferInItsWorseCaseThanEitherSingleCaseDesign) {
    ScratchFolder folder("batch-cases-two");
    const std::string sideways = sidewaysForces();
    const struct {
        const char* name;
        std::string extra;
    } runs[] = {
        {"down", ""},
        {"side", ""},  // FORCES replaced below
        {"both", "FORCES_CASE_2: " + sideways + "\n"},
    };
    std::vector<std::filesystem::path> vti;
    std::filesystem::path both;
    for (const auto& run : runs) {
        const auto dir = folder / run.name;
        std::filesystem::create_directories(dir);
        auto scene = cantileverWith(dir, run.extra);
        if (std::string(run.name) == "side") {
            // The sideways load as the only case.
            std::string text = testing::readFile(scene);
            const size_t at = text.find("FORCES: ");
            text = text.substr(0, at) + "FORCES: " + sideways + "\n";
            std::ofstream(scene) << text;
        }
        if (std::string(run.name) == "both") both = scene;
        runBatch(scene, dir / "out", 30);
        vti.push_back(dir / "out" / "OptimizedShape_final.vti");
    }
    const std::vector<double> down = densities(vti[0]), side = densities(vti[1]),
                              two = densities(vti[2]);
    EXPECT_GT(largestDifference(two, down), 0.1);
    EXPECT_GT(largestDifference(two, side), 0.1);

    // Every design under both cases; the worse case of the two-case design is the best.
    double worst[3];
    for (size_t d = 0; d < 3; ++d) {
        std::string output;
        const std::vector<double> c = caseCompliances(both, vti[d], output);
        ASSERT_EQ(c.size(), 2u) << output;
        EXPECT_NE(output.find("Compliance: "), std::string::npos);
        worst[d] = std::max(c[0], c[1]);
        std::cout << runs[d].name << " design: case 1 " << c[0] << ", case 2 " << c[1] << "\n";
    }
    EXPECT_LT(worst[2], worst[0]);
    EXPECT_LT(worst[2], worst[1]);
}

}  // namespace
}  // namespace ostrel
