// ostrel-batch with a minimum member size on a coarse cantilever (40 x 10 x 10 elements): the
// run converges by a named rule, the written design holds the volume goal, and its thinnest
// member and narrowest gap, measured by distance transforms of the solid (density >= 0.5, 4x
// supersampled, pieces at least 4 voxels long; support/MemberSize.h), are at least the size
// asked for; the same run without it has thinner members.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/MemberSize.h"
#include "support/RunTestSupport.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;

std::string lineStarting(const std::string& text, const std::string& start) {
    size_t at = text.rfind("\n" + start);
    if (text.rfind(start, 0) == 0) at = 0;
    else if (at != std::string::npos) ++at;
    if (at == std::string::npos) return {};
    return text.substr(at, text.find('\n', at) - at);
}

/// The density grid of a written .vti file: Density, Solid (the model's cells) and Kept.
testing::DensityGrid gridOf(const std::filesystem::path& vti) {
    VtkImage image;
    std::string error;
    testing::DensityGrid grid;
    EXPECT_TRUE(readVtkImage(vti, image, error)) << error;
    const VtkDataArray* density = findCellArray(image, "Density");
    const VtkDataArray* solid = findCellArray(image, "Solid");
    const VtkDataArray* kept = findCellArray(image, "Kept");
    EXPECT_TRUE(density && solid && kept);
    if (!density || !solid || !kept) return grid;
    grid.nx = image.cells[0];
    grid.ny = image.cells[1];
    grid.nz = image.cells[2];
    grid.density = arrayValues(*density);
    const std::vector<double> inModel = arrayValues(*solid), held = arrayValues(*kept);
    grid.inModel.assign(inModel.begin(), inModel.end());
    grid.kept.assign(held.begin(), held.end());
    return grid;
}

TEST(BatchMinimumMember, TheCoarseCantileversMembersAndGapsKeepTheAskedSize) {
    ScratchFolder folder("batch-min-member");
    const auto scene = testing::writeCantileverScene(folder.path(), 40);
    const auto out = folder / "out";
    Child child(kBatch, {scene.string(), "--min-member", "3", "--converge", "0.001", "-n", "300",
                         "--vtk", "--shape-every", "0", "-q", "--device", "host", "--threads",
                         "1", "-o", out.string()});
    ASSERT_EQ(child.finish(), 0) << child.out() << child.err();
    const std::string& text = child.out();
    EXPECT_EQ(lineStarting(text, "Stopped: ").rfind("Stopped: converged (", 0), 0u) << text;
    EXPECT_EQ(lineStarting(text, "Minimum member: "),
              "Minimum member: 3 voxels (the eroded design solved, the intermediate one written)");
    EXPECT_EQ(lineStarting(text, "Final volume fraction: "), "Final volume fraction: 0.3600");
    // The size implies the projection mode and sets the radius to 3 / 0.885.
    EXPECT_EQ(lineStarting(text, "Design: "),
              "Design: volume fraction 0.36, filter radius 3.38983, projection 1, 0 keep-solid and "
              "0 keep-empty boxes");
    const testing::DensityGrid grid = gridOf(out / "OptimizedShape_final.vti");
    ASSERT_EQ(grid.density.size(), size_t(40 * 10 * 10));
    const testing::MemberSizes sizes = testing::measureMemberSizes(grid, 4, 4.0, 8.0);
    EXPECT_GE(sizes.thinnestMember, 3.0) << text;
    EXPECT_GE(sizes.narrowestGap, 3.0) << text;
}

}  // namespace
}  // namespace ostrel
