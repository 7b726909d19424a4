#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "support/MeshBuilders.h"
#include "voxel/Voxelizer.h"

namespace ostrel {
namespace {

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

long countSet(const Volume<bool, double>& v) {
    long n = 0;
    for (size_t i = 0; i < v.size(); ++i) n += v.data()[i];
    return n;
}

// Independent reference: a voxel is inside the box when its centre lies in it.
TEST(Voxelize, BoxOnVoxelBoundariesFillsExactlyItsVoxels) {
    Volume<bool, double> vol;
    vol.init({10, 9, 8}, {0.5, 0.5, 0.5}, {0, 0, 0}, true);  // every voxel must be rewritten
    TriangleMesh box = test::makeBox({1.0f, 1.5f, 0.5f}, {3.0f, 3.5f, 2.0f});
    std::wostringstream msg;
    ASSERT_TRUE(voxelize(box, vol, kIdentity, &msg));
    EXPECT_EQ(msg.str(), L"");
    for (int k = 0; k < 8; ++k)
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 10; ++i) {
                const bool in = i >= 2 && i < 6 && j >= 3 && j < 7 && k >= 1 && k < 4;
                EXPECT_EQ(vol(i, j, k), in) << i << " " << j << " " << k;
            }
    EXPECT_EQ(countSet(vol), 4 * 4 * 3);
}

// Centres that lie exactly on the surface: along x a centre on a crossing is inside at both
// ends (closed interval); rows take z centres in [zP, zQ) of each triangle part (half-open), so
// a centre on a face normal to z belongs to the part above it only; a column with an odd number
// of crossings (an open surface) stays inside up to the end of the grid.
TEST(Voxelize, CentresOnTheSurfaceAndOpenColumns) {
    TriangleMesh quad;  // one wall at x = 1.2, open: one crossing per column
    quad.vertices = {{{1.2f, 0.2f, 0.3f}, {}}, {{1.2f, 3.7f, 0.3f}, {}},
                     {{1.2f, 3.7f, 3.9f}, {}}, {{1.2f, 0.2f, 3.9f}, {}}};
    quad.triangles = {{{0, 1, 2}, {}}, {{0, 2, 3}, {}}};
    struct Case {
        const char* name;
        TriangleMesh mesh;
        int xFrom, xTo, zFrom, zTo;  // the voxels set: x in [xFrom, xTo), z in [zFrom, zTo)
    };
    const Case cases[] = {
        {"x_faces_on_centres", test::makeBox({0.5f, 0.2f, 0.3f}, {3.5f, 3.7f, 3.9f}), 0, 4, 0, 4},
        {"z_faces_on_centres", test::makeBox({0.2f, 0.2f, 0.5f}, {3.7f, 3.7f, 2.5f}), 0, 4, 0, 2},
        {"open_surface", quad, 1, 6, 0, 4},
    };
    for (const Case& c : cases) {
        Volume<bool, double> vol;
        vol.init({6, 4, 4}, {1, 1, 1}, {0, 0, 0}, true);
        ASSERT_TRUE(voxelize(c.mesh, vol, kIdentity, nullptr)) << c.name;
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 6; ++i) {
                    const bool in = i >= c.xFrom && i < c.xTo && k >= c.zFrom && k < c.zTo;
                    EXPECT_EQ(vol(i, j, k), in) << c.name << " " << i << " " << j << " " << k;
                }
    }
}

TEST(Voxelize, ToBoundsSetsUpGridAndInvertedOrientationGivesSameGrid) {
    TriangleMesh box = test::makeBox({-1, 2, 0}, {1, 3, 1.5f});
    Volume<bool, double> a, b;
    ASSERT_TRUE(voxelizeToBounds(box, a, 0.25f, nullptr));
    EXPECT_EQ(a.resolution(), Vec3i(8, 4, 6));
    EXPECT_EQ(a.offset(), Vec3d(-1, 2, 0));
    EXPECT_EQ(a.spacing(), Vec3d(0.25, 0.25, 0.25));
    EXPECT_EQ(countSet(a), 8 * 4 * 6);
    TriangleMesh rev = test::makeBox({-1, 2, 0}, {1, 3, 1.5f}, true);
    ASSERT_TRUE(voxelizeToBounds(rev, b, 0.25f, nullptr));
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a.data()[i], b.data()[i]);
}

TEST(Voxelize, SphereVolumeWithinOnePercent) {
    const float r = 1.0f;
    TriangleMesh s = test::makeSphere({0, 0, 0}, r, 96, 192);
    Volume<bool, double> vol;
    ASSERT_TRUE(voxelizeToBounds(s, vol, 0.025f, nullptr));
    const double voxels = double(countSet(vol)) * 0.025 * 0.025 * 0.025;
    const double mesh = s.computeVolume();
    EXPECT_NEAR(voxels / (4.0 / 3.0 * 3.14159265358979 * r * r * r), 1.0, 0.01);
    EXPECT_NEAR(voxels / mesh, 1.0, 0.01);
    // Every voxel agrees with the centre test except those close to the surface.
    for (int k = 0; k < vol.resolution().z; ++k)
        for (int j = 0; j < vol.resolution().y; ++j)
            for (int i = 0; i < vol.resolution().x; ++i) {
                const Vec3d c = vol.offset() + Vec3d(i + 0.5, j + 0.5, k + 0.5) * 0.025;
                const double d = length(c);
                if (std::abs(d - r) > 0.01) {
                    ASSERT_EQ(vol(i, j, k), d < r) << i << j << k;
                }
            }
}

TEST(Voxelize, EdgeOnTrianglesAddNothing) {
    TriangleMesh m;
    m.vertices = {{{0, 0, 1.5f}, {}}, {{4, 0, 1.5f}, {}}, {{0, 4, 1.5f}, {}},  // flat in z
                  {{0, 2.5f, 0}, {}}, {{4, 2.5f, 0}, {}}, {{4, 2.5f, 4}, {}}}; // zero width in y
    m.triangles = {{{0, 1, 2}, {}}, {{3, 4, 5}, {}}};
    Volume<bool, double> vol;
    vol.init({4, 4, 4}, {1, 1, 1}, {0, 0, 0}, true);
    ASSERT_TRUE(voxelize(m, vol, kIdentity, nullptr));
    EXPECT_EQ(countSet(vol), 0);
}

TEST(Voxelize, CornersOutsideTheGridAreClamped) {
    TriangleMesh box = test::makeBox({-3, 1, 1}, {10, 3, 3});
    Volume<bool, double> vol;
    vol.init({4, 4, 4}, {1, 1, 1}, {0, 0, 0}, false);
    ASSERT_TRUE(voxelize(box, vol, kIdentity, nullptr));
    EXPECT_EQ(countSet(vol), 4 * 2 * 2);
    EXPECT_TRUE(vol(0, 1, 1) && vol(3, 2, 2));
}

TEST(Voxelize, HomogeneousTransformDividesByW) {
    TriangleMesh box = test::makeBox({0.5f, 0.5f, 0.5f}, {1.5f, 1.5f, 1.5f});
    const float twice[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0.5f};
    Volume<bool, double> vol;
    vol.init({4, 4, 4}, {1, 1, 1}, {0, 0, 0}, false);
    ASSERT_TRUE(voxelize(box, vol, twice, nullptr));  // box becomes [1,3]^3
    EXPECT_EQ(countSet(vol), 8);
    EXPECT_TRUE(vol(1, 1, 1) && vol(2, 2, 2));
}

// 129 thin boxes side by side along x, from z0 to z1 (and y 0.1 to 0.9): 258 crossings of the
// columns through y = 0.5 and z between them.
TriangleMesh thinBoxRow(float z0, float z1) {
    TriangleMesh row;
    for (int n = 0; n < 129; ++n) {
        TriangleMesh b = test::makeBox({0.1f + n * 0.5f, 0.1f, z0}, {0.3f + n * 0.5f, 0.9f, z1});
        const int base = int(row.vertices.size());
        for (auto v : b.vertices) row.vertices.push_back(v);
        for (auto t : b.triangles) {
            for (int& i : t.indices) i += base;
            row.triangles.push_back(t);
        }
    }
    return row;
}

// The column through (y=0, z=0) is crossed 258 times.
TEST(Voxelize, ColumnOverflowWarnsPerLostCrossingAndFails) {
    const TriangleMesh m = thinBoxRow(0.1f, 0.9f);
    Volume<bool, double> vol;
    vol.init({140, 1, 1}, {0.5, 1, 1}, {0, 0, 0}, false);
    std::wostringstream msg;
    EXPECT_FALSE(voxelize(m, vol, kIdentity, &msg));
    const std::wstring line = L"WARNING: Depth layer buffer overflow for voxel column (y=0, z=0)\n";
    EXPECT_EQ(msg.str(), line + line);
}

// The two crossings lost come from the lower part of their triangles (the column centre lies
// below the middle corner): the result must still be false.
TEST(Voxelize, OverflowInLowerPartAlsoFails) {
    TriangleMesh m;
    for (int n = 0; n < 257; ++n) {
        const float x = 0.2f + n * 0.1f;
        const int b = int(m.vertices.size());
        // Middle corner at z = 0.2, column centre at z = 0.5, in the lower part.
        m.vertices.push_back({{x, -1, 0.2f}, {}});
        m.vertices.push_back({{x, 3, 0.0f}, {}});
        m.vertices.push_back({{x, 1, 3.0f}, {}});
        m.triangles.push_back({{b, b + 1, b + 2}, {}});
    }
    Volume<bool, double> vol;
    vol.init({30, 1, 1}, {1, 1, 1}, {0, 0, 0}, false);
    std::wostringstream msg;
    EXPECT_FALSE(voxelize(m, vol, kIdentity, &msg));
    EXPECT_EQ(msg.str(), L"WARNING: Depth layer buffer overflow for voxel column (y=0, z=0)\n");
}

// A split voxelization's pieces: each run of layers comes out as the whole voxelization has it,
// the layers outside the run stay as they were, and a lost crossing is reported and fails only
// for the piece whose layers hold its column.
TEST(Voxelize, LayersInPiecesAreTheWholeGridsAndTouchNothingElse) {
    const TriangleMesh sphere = test::makeSphere({0.1f, -0.2f, 0.3f}, 1.0f, 24, 48);
    Volume<bool, double> whole;
    ASSERT_TRUE(voxelizeToBounds(sphere, whole, 0.09f, nullptr));
    const int nz = whole.resolution().z;
    const size_t layer = size_t(whole.resolution().x) * size_t(whole.resolution().y);
    ASSERT_GT(nz, 8);
    const std::vector<std::vector<int>> splits = {
        {0, nz}, {0, nz / 2, nz}, {0, 1, 2, nz - 1, nz}, {0, 3, 3, 7, nz}, {0, 0, nz}};
    for (const std::vector<int>& bounds : splits) {
        // Outside the piece every voxel is set, so that a write there shows.
        Volume<bool, double> pieces;
        pieces.init(whole.resolution(), whole.spacing(), whole.offset(), false);
        for (size_t p = 0; p + 1 < bounds.size(); ++p) {
            Volume<bool, double> piece;
            piece.init(whole.resolution(), whole.spacing(), whole.offset(), true);
            const VoxelLayers run{bounds[p], bounds[p + 1]};
            ASSERT_TRUE(voxelizeLayers(sphere, piece, kIdentity, run, nullptr));
            for (int z = 0; z < nz; ++z) {
                const bool* from = piece.data() + size_t(z) * layer;
                if (z >= run.begin && z < run.end)
                    std::copy(from, from + layer, pieces.data() + size_t(z) * layer);
                else
                    ASSERT_EQ(std::count(from, from + layer, true), long(layer)) << z;
            }
        }
        EXPECT_TRUE(std::equal(pieces.data(), pieces.data() + pieces.size(), whole.data()))
            << bounds.size() - 1 << " pieces";
    }
    // Runs reaching past the grid are clipped to it; an empty one does nothing.
    Volume<bool, double> clipped;
    clipped.init(whole.resolution(), whole.spacing(), whole.offset(), false);
    ASSERT_TRUE(voxelizeLayers(sphere, clipped, kIdentity, {-5, nz + 5}, nullptr));
    EXPECT_TRUE(std::equal(clipped.data(), clipped.data() + clipped.size(), whole.data()));
    ASSERT_TRUE(voxelizeLayers(sphere, clipped, kIdentity, {nz + 1, nz + 3}, nullptr));
    ASSERT_TRUE(voxelizeLayers(sphere, clipped, kIdentity, {4, 2}, nullptr));

    // 258 crossings in layer 1 only: the piece without layer 1 is clean.
    const TriangleMesh stack = thinBoxRow(1.1f, 1.9f);
    Volume<bool, double> vol;
    vol.init({140, 1, 3}, {0.5, 1, 1}, {0, 0, 0}, false);
    std::wostringstream below, above;
    EXPECT_TRUE(voxelizeLayers(stack, vol, kIdentity, {0, 1}, &below));
    EXPECT_EQ(below.str(), L"");
    EXPECT_FALSE(voxelizeLayers(stack, vol, kIdentity, {1, 3}, &above));
    const std::wstring line = L"WARNING: Depth layer buffer overflow for voxel column (y=0, z=1)\n";
    EXPECT_EQ(above.str(), line + line);
}

TEST(Voxelize, BadSetUpsAreRefusedOrEmpty) {
    TriangleMesh empty;
    empty.updateBounds();
    Volume<bool, double> vol;
    EXPECT_TRUE(voxelizeToBounds(empty, vol, 0.5f, nullptr));
    EXPECT_EQ(vol.size(), 0u);

    TriangleMesh box = test::makeBox({0, 0, 0}, {1, 1, 1});
    std::wostringstream msg;
    EXPECT_FALSE(voxelizeToBounds(box, vol, 0.0f, &msg));
    EXPECT_EQ(msg.str(), L"ERROR: Voxel size 0 gives no usable voxel grid\n");
    EXPECT_FALSE(vol.valid());
    std::wostringstream big;
    EXPECT_FALSE(voxelizeToBounds(box, vol, 1e-4f, &big));
    EXPECT_EQ(big.str().rfind(L"ERROR: Voxel grid of ", 0), 0u);

    // A transform with w = 0 yields infinite and NaN positions: no crash, nothing inside.
    const float degenerate[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
    vol.init({4, 4, 4}, {0.25, 0.25, 0.25}, {0, 0, 0}, true);
    EXPECT_TRUE(voxelize(box, vol, degenerate, nullptr));
}

}  // namespace
}  // namespace ostrel
