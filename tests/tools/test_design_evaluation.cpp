// Evaluating a given design: the .vti reader (round trip and broken files), the grid check, the
// thresholds, the solve against a dense direct solve, and ostrel-evaluate on a run's own files.

#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "gpu/MultigridSolver.h"
#include "optimization/OptimizationTestSupport.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/RunTestSupport.h"
#include "tools/DesignEvaluation.h"
#include "tools/EvaluateRun.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

template <typename T>
std::string bytesOf(const std::vector<T>& values) {
    std::string bytes(values.size() * sizeof(T), '\0');
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

/// A 3 x 2 x 1 image with arrays of several types, a direction and a spacing.
VtkImage sampleImage() {
    VtkImage image;
    image.cells = {3, 2, 1};
    image.origin = {-1.5, 0.25, 2};
    image.spacing = {0.5, 0.25, 0.125};
    image.direction = {0, -1, 0, 1, 0, 0, 0, 0, 1};
    image.cellData = {{"Density", "Float32", 1, bytesOf<float>({0.1f, 1, 0.001f, 0.5f, 0, 1})},
                      {"Solid", "UInt8", 1, bytesOf<uint8_t>({1, 1, 1, 1, 0, 1})},
                      {"Energy", "Float64", 1, bytesOf<double>({1e-9, 2, 3, 4, 5, 6})}};
    std::vector<float> displacement(3 * 4 * 3 * 2);
    for (size_t k = 0; k < displacement.size(); ++k) displacement[k] = float(k) * 0.5f;
    image.pointData = {{"Displacement", "Float32", 3, bytesOf(displacement)}};
    return image;
}

TEST(VtkImageReader, ReadsBackWhatTheWriterWrote) {
    const VtkImage written = sampleImage();
    VtkImage read;
    std::string error;
    ASSERT_TRUE(parseVtkImage(vtkImageFileBytes(written), read, error)) << error;
    EXPECT_EQ(read.cells, written.cells);
    EXPECT_EQ(read.origin, written.origin);
    EXPECT_EQ(read.spacing, written.spacing);
    EXPECT_EQ(read.direction, written.direction);
    ASSERT_EQ(read.cellData.size(), 3u);
    ASSERT_EQ(read.pointData.size(), 1u);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(read.cellData[k].name, written.cellData[k].name);
        EXPECT_EQ(read.cellData[k].type, written.cellData[k].type);
        EXPECT_EQ(read.cellData[k].bytes, written.cellData[k].bytes);
    }
    EXPECT_EQ(read.pointData[0].components, 3);
    EXPECT_EQ(read.pointData[0].bytes, written.pointData[0].bytes);
    EXPECT_EQ(arrayValues(*findCellArray(read, "Density")),
              (std::vector<double>{double(0.1f), 1, double(0.001f), 0.5, 0, 1}));
    EXPECT_EQ(arrayValues(*findCellArray(read, "Energy"))[0], 1e-9);
    EXPECT_EQ(findCellArray(read, "Design"), nullptr);
}

TEST(VtkImageReader, BrokenFilesGiveTheirReason) {
    const std::string good = vtkImageFileBytes(sampleImage());
    auto replaced = [&good](const std::string& from, const std::string& to) {
        std::string s = good;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    const std::string densityCount = std::string("\x18\0\0\0\0\0\0\0", 8);  // 24 bytes
    // The file with another extent, its point array with 9 components.
    auto withExtent = [&replaced](const std::string& extent, const std::string& components) {
        std::string s = replaced("WholeExtent=\"0 3 0 2 0 1\"", "WholeExtent=\"" + extent + "\"");
        const std::string three = "NumberOfComponents=\"3\"";
        return s.replace(s.find(three), three.size(), components);
    };
    auto offsetOf = [&good](const std::string& name) {
        const std::string key = "Name=\"" + name + "\" format=\"appended\" offset=\"";
        const size_t at = good.find(key) + key.size();
        return good.substr(at, good.find('"', at) - at);
    };
    const struct {
        const char* name;
        std::string bytes;
        const char* error;
    } cases[] = {
        {"empty", "", "it is not a VTK image-data file with appended data"},
        {"other xml", "<?xml version=\"1.0\"?>\n<VTKFile type=\"PolyData\"><AppendedData>_",
         "it is not a VTK image-data file"},
        {"no marker", good.substr(0, good.find("   _")), "its appended data has no '_' marker"},
        {"big endian", replaced("LittleEndian", "BigEndian"),
         "its byte order is not little-endian"},
        {"extent", replaced("WholeExtent=\"0 3 0 2 0 1\"", "WholeExtent=\"0 3 0 2\""),
         "its WholeExtent is not six whole numbers"},
        {"no cells", replaced("WholeExtent=\"0 3 0 2 0 1\"", "WholeExtent=\"0 3 0 2 0 0\""),
         "its extent holds no cells or too many along an axis"},
        {"spacing", replaced("Spacing=\"0.5 ", "Spacing=\"x "),
         "its Origin, Spacing or Direction is not a list of 3, 3 and 9 numbers"},
        // Numbers of the header are read as the command lines' numbers are (core/NumberText.h).
        {"spacing inf", replaced("Spacing=\"0.5 ", "Spacing=\"inf "),
         "its Origin, Spacing or Direction is not a list of 3, 3 and 9 numbers"},
        {"spacing hex", replaced("Spacing=\"0.5 ", "Spacing=\"0x1 "),
         "its Origin, Spacing or Direction is not a list of 3, 3 and 9 numbers"},
        {"extent fraction", replaced("WholeExtent=\"0 3 0 2 0 1\"", "WholeExtent=\"0 3.0 0 2 0 1\""),
         "its WholeExtent is not six whole numbers"},
        {"type", replaced("type=\"UInt8\"", "type=\"Bits\""),
         "its data array 'Solid' has the unknown type 'Bits'"},
        {"ascii", replaced("format=\"appended\"", "format=\"ascii\""),
         "its data array 'Displacement' is not stored as appended data"},
        {"offset", replaced("offset=\"0\"", "offset=\"99999\""),
         "its data array 'Displacement' has an offset beyond the end of the file"},
        {"size", replaced(densityCount, std::string("\x14\0\0\0\0\0\0\0", 8)),
         "its data array 'Density' holds 20 bytes where the extent needs 24"},
        {"truncated", good.substr(0, good.size() - 40),
         "its data array 'Energy' is cut off: the file is truncated"},
        {"unclosed tag", "<VTKFile type=\"ImageData\"<AppendedData>_",
         "its XML header is malformed"},
        // Extents whose difference or size does not fit 64 bits.
        {"extent overflow",
         replaced("WholeExtent=\"0 3 0 2 0 1\"",
                  "WholeExtent=\"-9223372036854775808 9223372036854775807 0 1 0 1\""),
         "its extent holds no cells or too many along an axis"},
        {"extent beyond 64 bits",
         replaced("WholeExtent=\"0 3 0 2 0 1\"", "WholeExtent=\"0 3 0 2 0 99999999999999999999\""),
         "its WholeExtent is not six whole numbers"},
        {"size beyond 64 bits",
         withExtent("0 1048576 0 1048576 0 1048576", "NumberOfComponents=\"9\""),
         "its data array 'Displacement' would need more bytes than a file can hold"},
        // Encodings and compressors the reader does not read are refused by name.
        {"base64", replaced("encoding=\"raw\"", "encoding=\"base64\""),
         "its appended data has the encoding 'base64', which this reader does not read (only "
         "'raw')"},
        {"compressor",
         replaced("header_type=\"UInt64\"",
                  "header_type=\"UInt64\" compressor=\"vtkZLibDataCompressor\""),
         "its data are compressed by 'vtkZLibDataCompressor', which this reader does not read "
         "(only uncompressed data)"},
        // Two arrays on the same block would each copy it: a small file, a large memory.
        {"shared block",
         replaced("<DataArray type=\"UInt8\"",
                  "<DataArray type=\"Float32\" Name=\"Again\" format=\"appended\" offset=\"" +
                      offsetOf("Density") + "\"/>\n<DataArray type=\"UInt8\""),
         "its data arrays 'Density' and 'Again' share bytes of the appended data"},
        {"overlapping block",
         replaced("<DataArray type=\"UInt8\"",
                  "<DataArray type=\"UInt8\" Name=\"Inside\" format=\"appended\" offset=\"" +
                      std::to_string(std::stoul(offsetOf("Density")) + 4) +
                      "\"/>\n<DataArray type=\"UInt8\""),
         "its data arrays 'Density' and 'Inside' share bytes of the appended data"},
    };
    for (const auto& c : cases) {
        VtkImage image;
        std::string error;
        EXPECT_FALSE(parseVtkImage(c.bytes, image, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

TEST(VtkImageReader, AngleBracketsInsideAttributeValues) {
    VtkImage written = sampleImage();
    written.cellData[2].name = "Energy > 0";
    VtkImage read;
    std::string error;
    ASSERT_TRUE(parseVtkImage(vtkImageFileBytes(written), read, error)) << error;
    ASSERT_EQ(read.cellData.size(), 3u);
    EXPECT_EQ(read.cellData[2].name, "Energy > 0");
    EXPECT_EQ(read.cellData[2].bytes, written.cellData[2].bytes);
}

TEST(VtkImageReader, MissingFileIsNamed) {
    VtkImage image;
    std::string error;
    EXPECT_FALSE(readVtkImage("/nonexistent/a.vti", image, error));
    EXPECT_EQ(error, "Cannot read file \"/nonexistent/a.vti\"");
}

TEST(Threshold, KeepsTheVolumeAsClosely) {
    const float v = 0.001f;
    const struct {
        std::vector<float> rho;
        size_t solid;
        double level;
    } cases[] = {
        // sum 1.9 = k + (4 - k) * 0.001: k = 2 (the two largest)
        {{0.9f, 0.2f, 0.1f, 0.7f}, 2, double(0.7f)},
        // ties are taken in element order: the first two of the three 0.5s
        {{0.5f, 0.5f, 0.5f, 0.5f}, 2, 0.5},
        {{0.001f, 0.001f, 0.001f}, 0, 1.0},
        {{1, 1, 1}, 3, 1.0},
        {{0.3f, 0.3f, 0.3f, 0.3f, 0.3f}, 1, double(0.3f)},  // 1.5 -> 1 (1.004) beats 2 (2.003)
    };
    for (const auto& c : cases) {
        std::vector<float> rho = c.rho;
        const ThresholdResult t = thresholdKeepingVolume(rho, v);
        EXPECT_EQ(t.solid, c.solid);
        EXPECT_EQ(t.level, c.level);
        size_t ones = 0;
        for (size_t e = 0; e < rho.size(); ++e) {
            EXPECT_TRUE(rho[e] == 1.0f || rho[e] == v) << e;
            ones += rho[e] == 1.0f;
        }
        EXPECT_EQ(ones, c.solid);
    }
    std::vector<float> ties{0.5f, 0.5f, 0.5f, 0.5f};
    thresholdKeepingVolume(ties, v);
    EXPECT_EQ(ties, (std::vector<float>{1, 1, v, v}));

    std::vector<float> rho{0.49f, 0.5f, 0.51f, 1.0f};
    const ThresholdResult t = thresholdAtLevel(rho, 0.5, v);
    EXPECT_EQ(t.solid, 3u);
    EXPECT_EQ(t.level, 0.5);
    EXPECT_EQ(rho, (std::vector<float>{v, 1, 1, 1}));
}

// ---- the solve ----

class DesignEvaluationTest : public ::testing::Test {
protected:
    void SetUp() override {
        omp_set_num_threads(1);
        ASSERT_TRUE(scene_.loadScene(testing::writeCantileverScene(folder_.path(), 8).wstring(),
                                     &log_))
            << toUtf8(log_.str());
        scene_.model()->setGravity({0, 0, 0});
        scene_.solver()->setLogs(&log_, nullptr);
    }
    FemModel& model() { return *scene_.model(); }
    size_t numElements() { return size_t(model().numElements(0)); }
    /// Compliance f^T u of a dense direct solve with E = 1000 rho^3.
    double reference(const std::vector<float>& rho) {
        std::vector<double> E(rho.size());
        for (size_t e = 0; e < rho.size(); ++e) E[e] = 1000.0 * std::pow(double(rho[e]), 3);
        return testing::complianceOf(model(), testing::directSolve(model(), E));
    }
    DesignEvaluation evaluate(const std::vector<float>& rho, EvaluationOptions options = {}) {
        DesignEvaluation result;
        std::string error;
        options.tolerance = 1e-10;
        EXPECT_TRUE(evaluateDesign(*scene_.problem(), rho, options, result, error)) << error;
        EXPECT_TRUE(result.converged);
        return result;
    }

    ScratchFolder folder_{"evaluate"};
    std::wostringstream log_;
    ostrel::testing::SceneProblem scene_{[] {
        DeviceOptions d;
        d.forceHost = true;
        d.hostThreads = 1;
        return d;
    }()};
};

TEST_F(DesignEvaluationTest, RandomFieldAgreesWithADirectSolve) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> density(0.05f, 1.0f);
    std::vector<float> rho(numElements());
    for (float& r : rho) r = density(rng);
    const DesignEvaluation result = evaluate(rho);
    // E is stored as float: 6e-8 relative per element.
    EXPECT_NEAR(result.compliance, reference(rho), 1e-6 * reference(rho));
    double sum = 0;
    for (float r : rho) sum += double(r);
    EXPECT_NEAR(result.volumeFraction, sum / double(numElements()), 1e-12);
    EXPECT_NEAR(result.volume, sum * 0.25 * 0.25 * 0.25, 1e-12);
}

TEST_F(DesignEvaluationTest, UniformFieldScalesTheSolidCompliance) {
    // E = 1000 rho^3 everywhere scales the stiffness matrix: C(rho) = C(1) / rho^3.
    const double solid = evaluate(std::vector<float>(numElements(), 1.0f)).compliance;
    EXPECT_NEAR(solid, reference(std::vector<float>(numElements(), 1.0f)), 1e-6 * solid);
    for (float rho : {0.5f, 0.05f}) {
        const DesignEvaluation r = evaluate(std::vector<float>(numElements(), rho));
        EXPECT_NEAR(r.compliance, solid / std::pow(double(rho), 3), 1e-7 * r.compliance) << rho;
        EXPECT_NEAR(r.volumeFraction, double(rho), 1e-7);
        // Every designable element is grey at 0.5 and none at 0.05.
        EXPECT_EQ(r.greyFraction, rho == 0.5f ? 1.0 : 0.0);
    }
}

TEST_F(DesignEvaluationTest, ZeroDensitiesAreRaisedAndThresholdsApply) {
    // The lower layer at 0.6 carries the load, the upper one is void.
    std::vector<float> rho(numElements(), 0.0f);
    for (size_t e = 0; e < rho.size(); ++e)
        if (unpack(model().elementPosition(0)[e]).z == 0) rho[e] = 0.6f;
    const DesignEvaluation raised = evaluate(rho);
    EXPECT_EQ(raised.raised, numElements() / 2);
    std::vector<float> low = rho;
    for (float& r : low) r = std::max(r, 0.001f);
    EXPECT_NEAR(raised.compliance, reference(low), 1e-6 * raised.compliance);

    EvaluationOptions keep;
    keep.threshold = EvaluationOptions::Threshold::KeepVolume;
    const DesignEvaluation crisp = evaluate(rho, keep);
    EXPECT_EQ(crisp.greyFraction, 0.0);
    std::vector<float> expected = rho;  // the threshold keeps the file's volume, 9.6
    thresholdKeepingVolume(expected, 0.001f);
    EXPECT_NEAR(crisp.compliance, reference(expected), 1e-6 * crisp.compliance);
    // 16 elements at 0.6 hold 9.6: ten solid ones and 22 void ones keep it best.
    EXPECT_EQ(crisp.threshold.solid, 10u);
    EXPECT_EQ(crisp.raised, 0u);
    EXPECT_NEAR(crisp.volumeFraction, 9.6 / double(numElements()), 0.5 / double(numElements()));
}

TEST_F(DesignEvaluationTest, GridChecksNameTheFault) {
    VtkImage image;
    image.cells = {8, 2, 2};
    image.spacing = {0.25, 0.25, 0.25};  // the scene's voxel size
    std::vector<float> density(32, 0.5f);
    std::vector<uint8_t> solid(32, 1);
    auto make = [&] {
        image.cellData = {{"Density", "Float32", 1, bytesOf(density)},
                          {"Solid", "UInt8", 1, bytesOf(solid)}};
        return image;
    };
    std::vector<float> rho;
    std::string error;
    ASSERT_TRUE(elementDensities(make(), model(), rho, error)) << error;
    EXPECT_EQ(rho, std::vector<float>(32, 0.5f));

    density[5] = 0.25f;  // cell (5, 0, 0) is element 5; cell (0, 1, 0) element 8
    density[8] = 0.75f;
    ASSERT_TRUE(elementDensities(make(), model(), rho, error));
    EXPECT_EQ(rho[size_t(model().elementAt(0, {5, 0, 0}))], 0.25f);
    EXPECT_EQ(rho[size_t(model().elementAt(0, {0, 1, 0}))], 0.75f);

    const struct {
        const char* name;
        std::function<void()> change;
        const char* error;
    } cases[] = {
        {"cells", [&] { image.cells = {16, 4, 4}; },
         "its grid has 16 x 4 x 4 cells, the scene's voxel model 8 x 2 x 2"},
        {"solid", [&] { solid[9] = solid[20] = 0; },
         "its voxel model differs from the scene's in 2 cells (the first at 1 1 0): it was "
         "written for another scene or voxel size"},
        {"range", [&] { density[3] = 1.5f; },
         "its density 1.500000 of element 3 is not a number between 0 and 1"},
        {"nan", [&] { density[0] = std::nanf(""); },
         "its density nan of element 0 is not a number between 0 and 1"},
        {"spacing", [&] { image.spacing.y = 0.2499; },
         "its grid step 0.2499 along y is not the scene's voxel size 0.25: it was written for "
         "another scene or voxel size"},
        {"direction", [&] { image.direction = {1, 0, 0, 0, 1, 0, 0, 0, 2}; },
         "its grid step 0.5 along z is not the scene's voxel size 0.25: it was written for "
         "another scene or voxel size"},
    };
    for (const auto& c : cases) {
        density.assign(32, 0.5f);
        solid.assign(32, 1);
        image.cells = {8, 2, 2};
        image.spacing = {0.25, 0.25, 0.25};
        image.direction = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        c.change();
        EXPECT_FALSE(elementDensities(make(), model(), rho, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
    // A grid turned about z with the same steps, and one written in coordinates twice as large.
    image.direction = {0, -1, 0, 1, 0, 0, 0, 0, 1};
    ASSERT_TRUE(elementDensities(make(), model(), rho, error)) << error;
    image.direction = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    image.spacing = {0.5, 0.5, 0.5};
    Matrix4 twice = Matrix4::identity();
    for (int a = 0; a < 3; ++a) twice(a, a) = 2.0f;
    ASSERT_TRUE(elementDensities(make(), model(), rho, error, twice)) << error;
    EXPECT_FALSE(elementDensities(make(), model(), rho, error));
    image.spacing = {0.25, 0.25, 0.25};
    image.cells = {8, 2, 2};
    image.cellData = {{"Solid", "UInt8", 1, bytesOf(std::vector<uint8_t>(32, 1))}};
    EXPECT_FALSE(elementDensities(image, model(), rho, error));
    EXPECT_EQ(error, "it has no single-component cell array \"Density\"");
    image.cellData = {{"Density", "Float32", 1, bytesOf(std::vector<float>(32, 1))}};
    EXPECT_FALSE(elementDensities(image, model(), rho, error));
    EXPECT_EQ(error, "it has no cell array \"Solid\" to check its voxel model against the scene's");
}

TEST(ElementDensities, CellsMapToTheirElementsAroundHoles) {
    // Every third cell is empty, so element numbers and cell numbers part ways.
    const auto model = testing::makeModel(5, 3, 2, [](int x, int y, int z) {
        return (x + 5 * (y + 3 * z)) % 3 != 1;
    });
    VtkImage image;
    image.cells = {5, 3, 2};  // unit voxels, as the model's
    std::vector<float> density(30);
    std::vector<uint8_t> solid(30);
    for (size_t c = 0; c < 30; ++c) {
        solid[c] = c % 3 != 1;
        density[c] = solid[c] ? float(c) / 32.0f : 0.0f;
    }
    image.cellData = {{"Density", "Float32", 1, bytesOf(density)},
                      {"Solid", "UInt8", 1, bytesOf(solid)}};
    std::vector<float> rho;
    std::string error;
    ASSERT_TRUE(elementDensities(image, *model, rho, error)) << error;
    ASSERT_EQ(rho.size(), 20u);
    for (size_t e = 0; e < rho.size(); ++e) {
        const GridPos p = unpack(model->elementPosition(0)[e]);
        EXPECT_EQ(rho[e], float(p.x + 5 * (p.y + 3 * p.z)) / 32.0f) << e;
    }
    solid[1] = 1;  // a cell the model leaves empty
    image.cellData[1].bytes = bytesOf(solid);
    EXPECT_FALSE(elementDensities(image, *model, rho, error));
    EXPECT_EQ(error, "its voxel model differs from the scene's in 1 cells (the first at 1 0 0): "
                     "it was written for another scene or voxel size");
}

TEST_F(DesignEvaluationTest, SingularSystemIsAnError) {
    model().clearFixations();
    DesignEvaluation result;
    std::string error;
    EXPECT_FALSE(evaluateDesign(*scene_.problem(), std::vector<float>(numElements(), 1.0f), {}, result,
                                error));
    EXPECT_EQ(error, "the system is singular: the fixed vertices do not hold the model in place");
}

TEST_F(DesignEvaluationTest, LoadsWithoutASolidPathAreCounted) {
    // The scene's 3 loaded vertices lie at x = 8, z = 0; x = 0 is fixed.
    auto field = [&](const std::function<bool(GridPos)>& solid) {
        std::vector<float> rho(numElements());
        for (size_t e = 0; e < rho.size(); ++e)
            rho[e] = solid(unpack(model().elementPosition(0)[e])) ? 1.0f : 0.001f;
        return rho;
    };
    const struct {
        const char* name;
        std::function<bool(GridPos)> solid;
        size_t unsupported;
    } cases[] = {
        {"solid", [](GridPos) { return true; }, 0},
        {"cut at x = 3", [](GridPos p) { return p.x != 3; }, 3},
        {"lower layer only", [](GridPos p) { return p.z == 0; }, 0},
        // The end column x = 7 takes the loads; the bar meets it along a face.
        {"bar along y = 0, z = 0 to the end column",
         [](GridPos p) { return p.x == 7 || (p.y == 0 && p.z == 0); }, 0},
        // A bar that turns through a shared face: (4, 0, 0) and (4, 1, 0).
        {"bar with a face-joined turn",
         [](GridPos p) {
             return p.x == 7 || (p.x <= 4 && p.y == 0 && p.z == 0) ||
                    (p.x >= 4 && p.y == 1 && p.z == 0);
         },
         0},
        // Elements that share only a corner, (3, 0, 0) and (4, 1, 1), form a hinge.
        {"corner joint",
         [](GridPos p) {
             return p.x == 7 || (p.x < 4 ? p.y == 0 && p.z == 0 : p.y == 1 && p.z == 1);
         },
         3},
        // Elements that share only an edge, (3, 0, 0) and (4, 1, 0), form a hinge too.
        {"edge joint",
         [](GridPos p) {
             return p.x == 7 || (p.x < 4 ? p.y == 0 && p.z == 0 : p.y == 1 && p.z == 0);
         },
         3},
        // The loaded end layer (x = 7, z = 0) meets the upper bar's last element (6, 0, 1)
        // only along an edge; one more element, (7, 0, 1), joins them through faces.
        {"loads on a piece hinged to the bar",
         [](GridPos p) { return (p.x == 7 && p.z == 0) || (p.x < 7 && p.y == 0 && p.z == 1); },
         3},
        {"loads on a piece joined to the bar by a face",
         [](GridPos p) { return (p.x == 7 && p.z == 0) || (p.y == 0 && p.z == 1); }, 0},
        {"upper layer only: the loads at z = 0 touch no solid element",
         [](GridPos p) { return p.z == 1; }, 3},
        {"free end", [](GridPos p) { return p.x >= 2; }, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(unsupportedLoads(model(), field(c.solid), 0.5), c.unsupported) << c.name;
}

// ---- the command line and the program ----

TEST(EvaluateArguments, FormsAndErrors) {
    EvaluateArguments a = parseEvaluateArguments(
        {"--scene", "s.txt", "--densities=d.vti", "--threshold", "auto", "--tolerance=1e-4"});
    ASSERT_EQ(a.action, EvaluateArguments::Action::Run) << a.error;
    EXPECT_EQ(a.options.sceneFile, "s.txt");
    EXPECT_EQ(a.options.densityFile, "d.vti");
    EXPECT_EQ(a.options.evaluation.threshold, EvaluationOptions::Threshold::KeepVolume);
    EXPECT_EQ(a.options.evaluation.tolerance, 1e-4);
    a = parseEvaluateArguments({"--scene", "s", "--densities", "d", "--threshold", "0.4",
                                "--device", "host", "--threads", "3"});
    ASSERT_EQ(a.action, EvaluateArguments::Action::Run) << a.error;
    EXPECT_EQ(a.options.evaluation.threshold, EvaluationOptions::Threshold::Level);
    EXPECT_EQ(a.options.evaluation.level, 0.4);
    EXPECT_TRUE(a.options.forceHost);
    EXPECT_EQ(a.options.threads, 3);
    EXPECT_EQ(parseEvaluateArguments({"-h"}).action, EvaluateArguments::Action::Help);

    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--densities", "d"}, "ERROR: Give the scene: --scene SCENE"},
        {{"--scene", "s"}, "ERROR: Give the densities: --densities FILE.vti"},
        {{"--scene"}, "ERROR: Option '--scene' needs a value"},
        {{"s.txt"}, "ERROR: Unexpected argument 's.txt': give --scene and --densities"},
        {{"--bogus=1"}, "ERROR: Unknown option '--bogus=1'"},
        {{"--threshold", "0"},
         "ERROR: --threshold needs 'auto' or a number above 0 and at most 1, not '0'"},
        {{"--threshold", "1.5"},
         "ERROR: --threshold needs 'auto' or a number above 0 and at most 1, not '1.5'"},
        {{"--tolerance", "1"},
         "ERROR: --tolerance needs a number between 0 and 1 (both excluded), not '1'"},
        {{"--device", "gpu"}, "ERROR: --device must be 'host' or 'cuda', not 'gpu'"},
        {{"--solver", "cg"}, "ERROR: --solver must be 'vcycle' or 'pcg', not 'cg'"},
        {{"--threads", "2.5"}, "ERROR: --threads needs a whole number from 1 to 1024, not '2.5'"},
    };
    for (const auto& [args, error] : bad) {
        const EvaluateArguments r = parseEvaluateArguments(args);
        EXPECT_EQ(r.action, EvaluateArguments::Action::Error) << error;
        EXPECT_EQ(r.error, error);
    }
}

/// The value after "Name: " in the program's output.
double valueOf(const std::string& out, const std::string& name) {
    const size_t at = out.find("\n" + name + ": ");
    if (at == std::string::npos) return NAN;
    return std::stod(out.substr(at + name.size() + 3));
}

TEST(EvaluateTool, RoundTripOfARunsOwnDensities) {
    ScratchFolder folder("evaluate-run");
    const std::string scene = testing::writeCantileverScene(folder.path(), 16).string();
    const std::string runFolder = (folder / "run").string();
    Child run(OSTREL_BATCH_EXE, {scene, "--iterations", "12", "--vtk", "--output", runFolder,
                                 "--quiet", "--device", "host", "--threads", "1"});
    ASSERT_EQ(run.finish(), 0) << run.err();
    // The densities after update 5 are what the solve of step 6 saw.
    const std::vector<std::string> objective = testing::readLines(folder / "run" / "ObjectiveValue.txt");
    ASSERT_GE(objective.size(), 7u);
    const double stepSix = std::stod(objective[6]);

    const std::string vti = runFolder + "/OptimizedShape_5.vti";
    Child evaluate(OSTREL_EVALUATE_EXE, {"--scene", scene, "--densities", vti, "--device", "host"});
    ASSERT_EQ(evaluate.finish(), 0) << evaluate.err();
    const std::string out = "\n" + evaluate.out();
    // The run solved to the relative residual 0.01, the evaluation to 1e-5.
    EXPECT_NEAR(valueOf(out, "Compliance"), stepSix, 1e-3 * stepSix) << out;
    const std::vector<std::string> volume = testing::readLines(folder / "run" / "VolumeRatio.txt");
    EXPECT_NEAR(valueOf(out, "Volume fraction"), std::stod(volume[5]), 1e-6);
    // Standard output holds the results only; the console lines went to standard error.
    std::istringstream lines(evaluate.out());
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(':')));
    EXPECT_EQ(names, (std::vector<std::string>{
                         "Densities", "Threshold", "Compliance", "Volume fraction",
                         "Grey fraction", "Load path", "Solve", "Material", "Case 1 displacement",
                         "Case 1 von Mises maximum", "Case 1 von Mises 99.9th percentile",
                         "Case 1 stresses taken over", "Case 1 solve"}));
    EXPECT_NE(evaluate.err().find("Building hierarchy"), std::string::npos);

    // The final file holds one design: its energies are those of its own densities, whose
    // compliance the summary gives and names.
    const std::string finalVti = runFolder + "/OptimizedShape_final.vti";
    Child final(OSTREL_EVALUATE_EXE,
                {"--scene", scene, "--densities", finalVti, "--device", "host"});
    ASSERT_EQ(final.finish(), 0) << final.err();
    const double summary = valueOf("\n" + run.out(), "Compliance");
    EXPECT_NE(run.out().find("\nCompliance: "), std::string::npos);
    EXPECT_NE(run.out().find(" (the final design's, solved once more; "), std::string::npos)
        << run.out();
    EXPECT_NEAR(valueOf("\n" + final.out(), "Compliance"), summary, 1e-3 * summary)
        << final.out();
    VtkImage image;
    std::string error;
    ASSERT_TRUE(readVtkImage(finalVti, image, error)) << error;
    double energy = 0;
    for (double q : arrayValues(*findCellArray(image, "Energy"))) energy += q;
    EXPECT_NEAR(energy, summary, 1e-5 * summary);

    Child crisp(OSTREL_EVALUATE_EXE, {"--scene", scene, "--densities", vti, "--threshold",
                                      "0.2", "--device", "host"});
    crisp.finish();
    const std::string crispOut = "\n" + crisp.out();
    EXPECT_EQ(valueOf(crispOut, "Grey fraction"), 0.0);
    EXPECT_NE(crispOut.find("\nThreshold: 0.2: "), std::string::npos) << crispOut;

    // Conjugate gradients reach the same tolerance: the same compliance, to it.
    Child pcg(OSTREL_EVALUATE_EXE,
              {"--scene", scene, "--densities", vti, "--device", "host", "--solver", "pcg"});
    ASSERT_EQ(pcg.finish(), 0) << pcg.err();
    const double compliance = valueOf(out, "Compliance");
    EXPECT_NEAR(valueOf("\n" + pcg.out(), "Compliance"), compliance, 1e-4 * compliance)
        << pcg.out();

    // The same file against a scene of another voxel size.
    const std::string other = testing::writeCantileverScene(folder / "run", 8).string();
    Child wrong(OSTREL_EVALUATE_EXE, {"--scene", other, "--densities", vti, "--device", "host"});
    EXPECT_EQ(wrong.finish(), 1);
    EXPECT_EQ(wrong.out(), "");
    EXPECT_NE(wrong.err().find("ERROR: File \"" + vti + "\" does not fit scene \"" + other +
                               "\": its grid has 16 x 4 x 4 cells, the scene's voxel model 8 x "
                               "2 x 2\n"),
              std::string::npos)
        << wrong.err();

    Child missing(OSTREL_EVALUATE_EXE, {"--scene", scene, "--densities", runFolder + "/no.vti"});
    EXPECT_EQ(missing.finish(), 1);
    EXPECT_EQ(missing.err(), "ERROR: Cannot read file \"" + runFolder + "/no.vti\"\n");

    // A name with a quote and a line end is escaped inside its quotes: one "Densities:" line.
    const std::string odd = runFolder + "/a\"b\nc.vti";
    std::filesystem::copy_file(vti, odd);
    Child oddName(OSTREL_EVALUATE_EXE, {"--scene", scene, "--densities", odd, "--device", "host"});
    ASSERT_EQ(oddName.finish(), 0) << oddName.err();
    EXPECT_EQ(oddName.out().rfind("Densities: \"" + runFolder + "/a\\\"b\\nc.vti\" (", 0), 0u)
        << oddName.out();
    EXPECT_EQ(std::count(oddName.out().begin(), oddName.out().end(), '\n'), 13) << oddName.out();
}

/// A .vti of the 16 x 4 x 4 cantilever with density 1 where `solid` holds, 0 elsewhere.
std::string writeDesign(const ScratchFolder& folder, const std::string& name,
                        const std::function<bool(int, int, int)>& solid) {
    VtkImage image;
    image.cells = {16, 4, 4};
    image.spacing = {0.125, 0.125, 0.125};  // the scene's voxel size
    std::vector<float> density;
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 16; ++x) density.push_back(solid(x, y, z) ? 1.0f : 0.0f);
    image.cellData = {{"Density", "Float32", 1, bytesOf(density)},
                      {"Solid", "UInt8", 1, bytesOf(std::vector<uint8_t>(256, 1))}};
    const std::filesystem::path file = folder / name;
    EXPECT_TRUE(writeVtkImage(file, image, nullptr));
    return file.string();
}

TEST(EvaluateTool, CrispDesignsAndLoadsCarriedByVoid) {
    ScratchFolder folder("evaluate-crisp");
    const std::string scene = testing::writeCantileverScene(folder.path(), 16).string();
    // The lower half of the beam: a plate of 16 x 4 x 2 voxels, solid from end to end.
    const std::string plate = writeDesign(folder, "plate.vti", [](int, int, int z) { return z < 2; });
    Child good(OSTREL_EVALUATE_EXE, {"--scene", scene, "--densities", plate, "--threshold",
                                     "auto", "--device", "host"});
    ASSERT_EQ(good.finish(), 0) << good.err();
    const std::string out = "\n" + good.out();
    EXPECT_NE(out.find("\nDensities: \"" + plate +
                       "\" (256 elements)\n"
                       "Threshold: auto, level 1 (keeps the volume): 128 solid elements, 128 void "
                       "at 0.001\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nLoad path: every loaded vertex is joined to a fixed one by solid "
                       "elements sharing faces (density >= 0.5)\n"),
              std::string::npos);
    EXPECT_NEAR(valueOf(out, "Volume fraction"), (128 + 0.128) / 256, 1e-6);

    // A cut through the beam at x = 8: the free end hangs on void alone.
    const std::string cut = writeDesign(folder, "cut.vti", [](int x, int, int) { return x != 8; });
    Child bad(OSTREL_EVALUATE_EXE, {"--scene", scene, "--densities", cut, "--device", "host",
                                    "--tolerance", "1e-8"});
    EXPECT_EQ(bad.finish(), 1);
    EXPECT_NE(bad.out().find("\nLoad path: 5 of 5 loaded vertices are joined to no fixed vertex "
                             "by solid elements sharing faces (density >= 0.5; an edge or a "
                             "corner is a hinge)\n"),
              std::string::npos)
        << bad.out();
    EXPECT_NE(bad.err().find("ERROR: The solve did not reach the relative residual 1e-08 in "),
              std::string::npos)
        << bad.err();
    EXPECT_NE(bad.err().find("; the compliance is not reliable (the loads are carried by "
                             "near-void material only)\n"),
              std::string::npos);
}

}  // namespace
}  // namespace ostrel
