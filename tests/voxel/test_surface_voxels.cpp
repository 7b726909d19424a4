#include <gtest/gtest.h>

#include <sstream>

#include "core/Console.h"
#include "voxel/SurfaceVoxels.h"

namespace ostrel {
namespace {

struct SurfaceCase {
    const char* name;
    std::vector<Vec3f> vertices;  // in voxel units, grid offset 0, spacing 1
    long added;
};

class SurfaceVoxelCases : public ::testing::TestWithParam<SurfaceCase> {};

// Solid: the single voxel (2, 2, 2) of a 6^3 grid.
TEST_P(SurfaceVoxelCases, AddsOnlyVoxelsTouchingTheSolid) {
    const SurfaceCase& c = GetParam();
    Volume<bool, double> vol;
    vol.init({6, 6, 6}, {0.5, 0.5, 0.5}, {-1, -1, -1}, false);
    vol(2, 2, 2) = true;
    TriangleMesh mesh;
    for (const Vec3f& p : c.vertices) mesh.vertices.push_back({p * 0.5f - Vec3f(1, 1, 1), {}});
    testing::internal::CaptureStdout();
    const long n = addSurfaceVoxels(vol, mesh);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(n, c.added);
    EXPECT_EQ(out, "Added " + std::to_string(c.added) + " voxels at the boundary\n");
    long set = 0;
    for (size_t i = 0; i < vol.size(); ++i) set += vol.data()[i];
    EXPECT_EQ(set, 1 + c.added);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SurfaceVoxelCases,
    ::testing::Values(
        SurfaceCase{"inside", {{2.5f, 2.5f, 2.5f}, {2.1f, 2.9f, 2.2f}}, 0},
        SurfaceCase{"sameVoxelTwice", {{3.2f, 2.5f, 2.5f}, {3.8f, 2.1f, 2.9f}}, 1},
        SurfaceCase{"cornerNeighbour", {{1.5f, 1.5f, 1.5f}}, 1},
        SurfaceCase{"twoAway", {{4.5f, 2.5f, 2.5f}, {0.5f, 0.5f, 0.5f}}, 0},
        // (3,2,2) is added, (4,2,2) touches only the added voxel: not added.
        SurfaceCase{"noChainWithinOneRun", {{3.5f, 2.5f, 2.5f}, {4.5f, 2.5f, 2.5f}}, 1},
        SurfaceCase{"outsideGridSkipped", {{-3, 2, 2}, {2.5f, 9, 2}, {2.5f, 2.5f, 6.0f}}, 0},
        // A vertex on the solid's boundary: its voxel (the one above in every axis) is added
        // where it shares a face with the solid, not where it would hang on by an edge or a
        // corner; a vertex off the boundary by more than the rounding tolerance adds it.
        SurfaceCase{"onTheSolidsFace", {{3.0f, 2.5f, 2.5f}}, 1},
        SurfaceCase{"onTheSolidsEdge", {{3.0f, 3.0f, 2.5f}, {2.5f, 3.0f, 3.0f}}, 0},
        SurfaceCase{"onTheSolidsCorner", {{3.0f, 3.0f, 3.0f}}, 0},
        SurfaceCase{"withinRoundingOfTheEdge", {{3.00005f, 3.00004f, 2.5f}}, 0},
        SurfaceCase{"justOffTheEdge", {{3.001f, 3.001f, 2.5f}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel
