// Pieces of voxel models (cells joined through faces, edges or corners), and the voxel model of an
// STL file against the OBJ file of the same mesh.

#include <gtest/gtest.h>

#include <vector>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "support/MeshBuilders.h"
#include "support/ScratchFolder.h"
#include "voxel/VoxelPieces.h"
#include "voxel/Voxelizer.h"

namespace ostrel {
namespace {

Volume<bool, double> grid(Vec3i dims, const std::vector<Vec3i>& set) {
    Volume<bool, double> v;
    v.init(dims, {1, 1, 1}, {0, 0, 0}, false);
    for (const Vec3i& c : set)
        v(c.x, c.y, c.z) = true;
    return v;
}

TEST(VoxelPieces, FaceConnectedGroupsLargestFirst) {
    struct Case {
        const char* name;
        Vec3i dims;
        std::vector<Vec3i> set;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {
        {"empty", {3, 3, 3}, {}, {}},
        {"one voxel", {1, 1, 1}, {{0, 0, 0}}, {1}},
        {"row along x", {4, 1, 1}, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, {4}},
        {"edge contact joins", {2, 2, 1}, {{0, 0, 0}, {1, 1, 0}}, {2}},
        {"corner contact joins", {2, 2, 2}, {{0, 0, 0}, {1, 1, 1}}, {2}},
        {"one cell apart", {3, 1, 1}, {{0, 0, 0}, {2, 0, 0}}, {1, 1}},
        {"column in z and a stray voxel",
         {4, 4, 3},
         {{1, 1, 0}, {1, 1, 1}, {1, 1, 2}, {3, 3, 0}},
         {3, 1}},
        {"an edge joins two groups",
         {5, 1, 2},
         {{0, 0, 0}, {0, 0, 1}, {2, 0, 0}, {4, 0, 0}, {4, 0, 1}, {3, 0, 1}},
         {4, 2}},
        {"three pieces",
         {7, 1, 1},
         {{0, 0, 0}, {2, 0, 0}, {3, 0, 0}, {5, 0, 0}, {6, 0, 0}},
         {2, 2, 1}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(voxelPieceSizes(grid(c.dims, c.set)), c.sizes) << c.name;
}

TEST(VoxelPieces, TwoSeparateBoxesOfAMesh) {
    TriangleMesh mesh = test::makeBox({0, 0, 0}, {1, 1, 1});
    const TriangleMesh other = test::makeBox({1.5f, 0, 0}, {2, 0.5f, 0.5f});
    const int32_t base = int32_t(mesh.vertices.size());
    mesh.vertices.insert(mesh.vertices.end(), other.vertices.begin(), other.vertices.end());
    for (MeshTriangle t : other.triangles) {
        for (int32_t& i : t.indices)
            i += base;
        mesh.triangles.push_back(t);
    }
    mesh.updateNormals();
    mesh.updateBounds();
    Volume<bool, double> v;
    ASSERT_TRUE(voxelizeToBounds(mesh, v, 0.25f, nullptr));
    EXPECT_EQ(voxelPieceSizes(v), (std::vector<size_t>{64, 8}));
}

class StlVoxels : public ::testing::TestWithParam<const char*> {};

TEST_P(StlVoxels, SameVoxelsAsTheObjOfTheSameMesh) {
    const std::string shape = GetParam();
    const TriangleMesh mesh = shape == "sphere" ? test::makeSphere({0.3f, 0.1f, -0.2f}, 1, 16, 24)
                                                : test::makeBox({0.1f, 0, 0}, {2.05f, 0.7f, 0.33f});
    testing::ScratchFolder folder("stl-voxels");
    const std::wstring obj = fromUtf8((folder / "m.obj").string());
    const std::wstring stl = fromUtf8((folder / "m.stl").string());
    ASSERT_TRUE(mesh.writeObj(obj, nullptr));
    ASSERT_TRUE(writeStl(mesh, stl, nullptr));
    TriangleMesh fromObj, fromStl;
    ASSERT_TRUE(readMeshFile(fromObj, obj, nullptr));
    ASSERT_TRUE(readMeshFile(fromStl, stl, nullptr));
    Volume<bool, double> a, b;
    ASSERT_TRUE(voxelizeToBounds(fromObj, a, 0.05f, nullptr));
    ASSERT_TRUE(voxelizeToBounds(fromStl, b, 0.05f, nullptr));
    ASSERT_EQ(a.resolution(), b.resolution());
    size_t count = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a.data()[i], b.data()[i]) << i;
        count += a.data()[i];
    }
    EXPECT_GT(count, 100u);
    EXPECT_EQ(voxelPieceSizes(b).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, StlVoxels, ::testing::Values("box", "sphere"));

}  // namespace
}  // namespace ostrel
