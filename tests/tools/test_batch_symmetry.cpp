// ostrel-batch with mirror planes: a symmetric part under a load on one side comes out as its
// own mirror image, element for element; a model that is not symmetric and a bad value are
// refused with the scene's messages.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RunTestSupport.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;

/// The cantilever scene of 16 x 4 x 4 elements (loaded along its lower edge only, so its load
/// is not symmetric about the centre plane normal to z) with `extra` appended.
std::filesystem::path sceneWith(const ScratchFolder& folder, const std::string& extra) {
    const auto scene = testing::writeCantileverScene(folder.path(), 16);
    std::ofstream(scene, std::ios::app) << extra;
    return scene;
}

/// Largest |design(x,y,z) - design(x,y,3-z)| over the pairs of cells that are both designed.
double mirrorDifference(const std::filesystem::path& vti) {
    VtkImage image;
    std::string error;
    EXPECT_TRUE(readVtkImage(vti, image, error)) << error;
    const VtkDataArray* design = findCellArray(image, "Design");
    const VtkDataArray* kept = findCellArray(image, "Kept");
    EXPECT_TRUE(design && kept);
    if (!design || !kept) return 1.0;
    const std::vector<double> x = arrayValues(*design), k = arrayValues(*kept);
    EXPECT_EQ(x.size(), size_t(16 * 4 * 4));
    double largest = 0.0;
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 4; ++y)
            for (int i = 0; i < 16; ++i) {
                const size_t a = size_t(i + 16 * (y + 4 * z)), b = size_t(i + 16 * (y + 4 * (3 - z)));
                if (k[a] == 0 && k[b] == 0) largest = std::max(largest, std::fabs(x[a] - x[b]));
            }
    return largest;
}

TEST(BatchSymmetry, TheDesignIsItsOwnMirrorImageUnderALoadOnOneSide) {
    for (const bool mirrored : {true, false}) {
        SCOPED_TRACE(mirrored);
        ScratchFolder folder("batch-symmetry");
        const auto scene = sceneWith(folder, mirrored ? "SYMMETRY_PLANES: z\n" : "");
        const auto out = folder / "out";
        for (const bool projection : {true, false}) {
            SCOPED_TRACE(projection);
            std::vector<std::string> args = {scene.string(), "-n",     "12", "-q",
                                             "--threads",    "1",      "--device", "host",
                                             "--vtk",        "--shape-every", "0", "-o",
                                             out.string()};
            if (projection) args.push_back("--projection");
            Child child(kBatch, args);
            ASSERT_EQ(child.finish(), 0) << child.out() << child.err();
            const double difference = mirrorDifference(out / "OptimizedShape_final.vti");
            if (mirrored)
                EXPECT_EQ(difference, 0.0);
            else
                EXPECT_GT(difference, 1e-3) << "the load alone must make the design lopsided";
        }
    }
}

TEST(BatchSymmetry, RefusesAModelThatIsNotSymmetricAndABadValue) {
    const struct {
        const char* key;
        const char* message;
    } cases[] = {
        {"SYMMETRY_PLANES: x 0.3\n",
         "ERROR: The voxel model is not symmetric about the plane x = 0.3125 (SYMMETRY_PLANES "
         "x = 0.3): 176 of 256 elements have no mirror image"},
        {"SYMMETRY_PLANES: y 4\n",
         "ERROR: SYMMETRY_PLANES: the plane y = 4 does not cut through the model (its elements "
         "span y from 0 to 0.5)"},
        {"SYMMETRY_PLANES: q\n",
         "ERROR: SYMMETRY_PLANES names the unknown axis 'q' (the axes are x, y and z)"},
        {"SYMMETRY_PLANES: z z\n", "ERROR: SYMMETRY_PLANES names the axis z twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        ScratchFolder folder("batch-symmetry-refused");
        const auto scene = sceneWith(folder, c.key);
        Child child(kBatch, {scene.string(), "-n", "2", "-q", "--device", "host", "-o",
                             (folder / "out").string()});
        EXPECT_EQ(child.finish(), 1) << child.out() << child.err();
        EXPECT_NE(child.err().find(c.message), std::string::npos) << child.err();
    }
}

}  // namespace
}  // namespace ostrel
