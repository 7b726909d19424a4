// A voxel grid of more than 2^31 cells with few occupied voxels: a staircase of one-voxel boxes
// along the grid's diagonal, 65536 x 182 x 182 cells (2.17e9, about 2 GB of flags). The
// voxelizer, the grid's addressing, the model counts and the pieces must agree with the
// boxes' own cells; an index computed in 32 bits wraps before the last boxes.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "fem/ModelSize.h"
#include "support/MeshBuilders.h"
#include "voxel/VoxelPieces.h"
#include "voxel/Voxelizer.h"

namespace ostrel {
namespace {

using Cell = std::tuple<int, int, int>;

constexpr int kNx = 65536, kNy = 182, kNz = 182;
constexpr int kBoxes = 64;

/// The cell of box b: evenly spaced from the first cell of the grid to its last.
Cell boxCell(int b) {
    auto at = [b](int n) { return int((long long)(n - 1) * b / (kBoxes - 1)); };
    return {at(kNx), at(kNy), at(kNz)};
}

/// The boxes as one mesh (each a closed unit cube on a cell of the unit grid).
TriangleMesh staircase() {
    TriangleMesh mesh;
    for (int b = 0; b < kBoxes; ++b) {
        const auto [i, j, k] = boxCell(b);
        const TriangleMesh box = test::makeBox({float(i), float(j), float(k)},
                                               {float(i + 1), float(j + 1), float(k + 1)});
        const int base = int(mesh.vertices.size());
        mesh.vertices.insert(mesh.vertices.end(), box.vertices.begin(), box.vertices.end());
        for (MeshTriangle t : box.triangles) {
            for (int& index : t.indices) index += base;
            mesh.triangles.push_back(t);
        }
    }
    mesh.updateNormals();
    mesh.updateBounds();
    mesh.loaded = true;
    return mesh;
}

TEST(LargeGrid, IndicesAndCountsBeyond2To31CellsAgreeWithTheBoxes) {
    const TriangleMesh mesh = staircase();
    Volume<bool, double> grid;
    ASSERT_TRUE(voxelizeToBounds(mesh, grid, 1.0f, nullptr));
    ASSERT_EQ(grid.resolution().x, kNx);
    ASSERT_EQ(grid.resolution().y, kNy);
    ASSERT_EQ(grid.resolution().z, kNz);
    const size_t cells = size_t(kNx) * kNy * kNz;
    ASSERT_EQ(grid.size(), cells);
    ASSERT_GT(cells, size_t(1) << 31);

    // The boxes' cells, and their dense indices computed here in 64 bits.
    std::set<Cell> expected;
    for (int b = 0; b < kBoxes; ++b) expected.insert(boxCell(b));
    ASSERT_EQ(expected.size(), size_t(kBoxes)) << "distinct cells";
    const auto [lastX, lastY, lastZ] = boxCell(kBoxes - 1);
    EXPECT_EQ(Cell(lastX, lastY, lastZ), Cell(kNx - 1, kNy - 1, kNz - 1));
    EXPECT_EQ(grid.index(lastX, lastY, lastZ), cells - 1);

    // Every occupied flag of the whole grid, decoded from its position in memory.
    std::set<Cell> found;
    const bool* data = grid.data();
    for (size_t n = 0; n < cells; ++n)
        if (data[n])
            found.insert({int(n % kNx), int(n / kNx % kNy), int(n / (size_t(kNx) * kNy))});
    EXPECT_EQ(found, expected);
    for (const auto& [i, j, k] : expected) {
        EXPECT_EQ(grid.index(i, j, k), size_t(i) + size_t(kNx) * (size_t(j) + size_t(kNy) * k));
        EXPECT_TRUE(grid(i, j, k)) << i << " " << j << " " << k;
    }

    // The model's counts: one element per box, eight vertices each (no two boxes touch), the
    // bounding box of the whole grid, which is too long in x for the model.
    const ModelSize size = measureModel(grid);
    EXPECT_EQ(size.elements, kBoxes);
    EXPECT_EQ(size.vertices, 8 * kBoxes);
    EXPECT_EQ(size.extent, (std::array<int, 3>{kNx, kNy, kNz}));
    EXPECT_EQ(modelSizeError(size, 3), L"ERROR: Voxel model extents are too large");

    // Every box is a piece of its own.
    EXPECT_EQ(voxelPieceSizes(grid), std::vector<size_t>(kBoxes, 1));
}

}  // namespace
}  // namespace ostrel
