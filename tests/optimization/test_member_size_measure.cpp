// The member-size measure of the tests and the bench (support/MemberSize.h) on fields whose
// members and gaps are known: plates, bars and gaps of given widths, a short stub that does not
// count, grey fields thresholded at 0.5, cells outside the model that form no gap, and kept
// cells that are solid but no member by themselves.

#include <gtest/gtest.h>

#include <functional>

#include "support/MemberSize.h"

using ostrel::testing::DensityGrid;
using ostrel::testing::measureMemberSizes;
using ostrel::testing::MemberSizes;

namespace {

DensityGrid gridOf(int nx, int ny, int nz, const std::function<double(int, int, int)>& density) {
    DensityGrid g;
    g.nx = nx;
    g.ny = ny;
    g.nz = nz;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) g.density.push_back(density(x, y, z));
    return g;
}

TEST(MemberSizeMeasure, PlatesBarsAndGapsOfKnownWidth) {
    const struct {
        const char* name;
        DensityGrid grid;
        double member, gap;
    } cases[] = {
        // Two plates 3 voxels thick (x 2..4 and 7..9), a gap of 2 between them; the rest of the
        // grid's void reaches beyond its faces and is wide.
        {"plates", gridOf(14, 10, 10, [](int x, int, int) {
             return (x >= 2 && x <= 4) || (x >= 7 && x <= 9) ? 1.0 : 0.0;
         }), 3.0, 2.0},
        // A 2 x 2 bar along x, 3 voxels over a plate 4 thick: the bar is the thinnest member;
        // the void under it is open to the sides and only 2 voxels long across the bar (no
        // gap: the limit).
        {"bar_on_plate", gridOf(12, 10, 12, [](int, int y, int z) {
             return z < 4 || (z >= 7 && z <= 8 && y >= 4 && y <= 5) ? 1.0 : 0.0;
         }), 2.0, 8.0},
        // Two plates 4 thick, 5 voxels apart, bridged by a bar of one cell's row: it counts
        // (its middle lies 2.5 voxels from the plates, more than half the member length), and
        // interpolated its cross-section is a square turned by 45 degrees, 0.7 voxels across:
        // 0.5 at quarter voxels.
        {"thin_bridge", gridOf(17, 10, 10, [](int x, int y, int z) {
             return x <= 3 || x >= 9 || (y == 5 && z == 5) ? 1.0 : 0.0;
         }), 0.5, 0.0},
        // A stub 1 voxel thick and only 2 long on a block 6 thick: too short to count.
        {"short_stub", gridOf(12, 12, 12, [](int x, int y, int z) {
             return z < 6 || (z >= 6 && z <= 7 && x == 5 && y == 5) ? 1.0 : 0.0;
         }), 6.0, 0.0},
        // Grey densities: a plate of 1.0 with rows of 0.6 on both sides. Interpolated, the
        // rows pass 0.5 five sixths of the way from the void's centres: the solid is 4 1/3
        // voxels thick, 4.5 at quarter voxels.
        {"grey_rims", gridOf(14, 10, 10, [](int x, int, int) {
             return x >= 5 && x <= 7 ? 1.0 : x == 4 || x == 8 ? 0.6 : 0.0;
         }), 4.5, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MemberSizes s = measureMemberSizes(c.grid, 4, 4.0, 8.0);
        EXPECT_NEAR(s.thinnestMember, c.member, 0.26);
        if (c.gap > 0) {
            EXPECT_NEAR(s.narrowestGap, c.gap, 0.26);
        }
    }
}

TEST(MemberSizeMeasure, CellsOutsideTheModelFormNoGap) {
    // A plate 3 thick one voxel away from the model's edge (the cells beyond it are no part of
    // the model): the voxel between them is no gap. Marked as model cells, it is a gap of 1.
    DensityGrid g = gridOf(12, 10, 10, [](int x, int, int) { return x >= 2 && x <= 4 ? 1.0 : 0.0; });
    g.inModel.assign(g.density.size(), 1);
    EXPECT_NEAR(measureMemberSizes(g, 4, 4.0, 8.0).narrowestGap, 8.0, 0.26);
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            g.inModel[size_t((z * g.ny + y) * g.nx + 0)] = 0;
            g.density[size_t((z * g.ny + y) * g.nx + 0)] = 0.0;
        }
    EXPECT_NEAR(measureMemberSizes(g, 4, 4.0, 8.0).narrowestGap, 8.0, 0.26);
    // With the cell at x = 0 solid and in the model, x = 1 is a gap 1 voxel wide.
    for (int z = 0; z < g.nz; ++z)
        for (int y = 0; y < g.ny; ++y) {
            g.inModel[size_t((z * g.ny + y) * g.nx + 0)] = 1;
            g.density[size_t((z * g.ny + y) * g.nx + 0)] = 1.0;
        }
    EXPECT_NEAR(measureMemberSizes(g, 4, 4.0, 8.0).narrowestGap, 1.0, 0.26);
}

TEST(MemberSizeMeasure, KeptCellsAreSolidButNoMemberByThemselves) {
    // A plate 4 thick (z 0..3) and a row 1 x 1 along y at the top of the far end, as a scene
    // keeps the elements at a loaded edge: as designed solid the row is a member of 1 voxel;
    // kept, it is no member.
    DensityGrid g = gridOf(12, 10, 10, [](int x, int, int z) {
        return z <= 3 || (x == 11 && z == 6) ? 1.0 : 0.0;
    });
    EXPECT_NEAR(measureMemberSizes(g, 4, 4.0, 8.0).thinnestMember, 1.0, 0.26);
    g.kept.assign(g.density.size(), 0);
    for (int y = 0; y < g.ny; ++y) g.kept[size_t((6 * g.ny + y) * g.nx + 11)] = 1;
    EXPECT_NEAR(measureMemberSizes(g, 4, 4.0, 8.0).thinnestMember, 4.0, 0.26);
    // A designed member of 1 voxel next to the kept row still counts.
    for (int y = 0; y < g.ny; ++y) g.density[size_t((5 * g.ny + y) * g.nx + 11)] = 1.0;
    for (int y = 0; y < g.ny; ++y) g.density[size_t((4 * g.ny + y) * g.nx + 11)] = 1.0;
    EXPECT_LE(measureMemberSizes(g, 4, 4.0, 8.0).thinnestMember, 1.5);
}

}  // namespace
