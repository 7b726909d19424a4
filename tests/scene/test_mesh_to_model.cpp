// The map from the mesh file's coordinates to the model's that the scene keeps, so that results
// can be written over the original part; and a scene whose MESH is an STL file.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/MeshBuilders.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

const char* const kBase =
    "VOXEL_SIZE: 0.125 0.125 0.125\nELASTIC_MODULUS: 2e9\nPOISSON_RATIO: 0.394\nDENSITY: 1000\n"
    "DAMPING_FACTOR: 0.5\nTIME_STEP: 0.05\nNUM_LEVELS: 3\n";

TEST(MeshToModel, MapsTheFileVerticesOntoThePreparedMesh) {
    testing::ScratchFolder folder("mesh-to-model");
    ASSERT_TRUE(writeStl(test::makeBox({10, -3, 5}, {12, -2, 5.5f}),
                         fromUtf8((folder / "part.stl").string()), nullptr));
    TriangleMesh part;  // the file's vertices in the order the scene reads them
    ASSERT_TRUE(readMeshFile(part, fromUtf8((folder / "part.stl").string()), nullptr));
    const struct {
        const char* name;
        const char* keys;
    } cases[] = {
        {"moved only", ""},
        {"scaled", "MESH_SCALE_TO: 1\n"},
        {"scaled, turned about z and shifted",
         "MESH_SCALE_TO: 1\nMESH_TRANSFORMATION: 0 -1 0 4  1 0 0 -7  0 0 1 2  0 0 0 1\n"},
    };
    for (const auto& c : cases) {
        std::ofstream(folder / "scene.txt") << kBase << "MESH: part.stl\n" << c.keys;
        ostrel::testing::SceneProblem scene{DeviceOptions{true, 1}};
        std::wostringstream log;
        ::testing::internal::CaptureStdout();
        const bool loaded = scene.loadScene(fromUtf8((folder / "scene.txt").string()), &log);
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded) << c.name << toUtf8(log.str());
        const TriangleMesh& prepared = scene.mesh();
        ASSERT_EQ(prepared.vertices.size(), part.vertices.size()) << c.name;  // welded
        const Matrix4 back = inverse(scene.meshToModel_);
        for (size_t v = 0; v < part.vertices.size(); ++v) {
            const Vec3f there = transformPoint(scene.meshToModel_, part.vertices[v].position);
            const Vec3f again = transformPoint(back, prepared.vertices[v].position);
            for (int a = 0; a < 3; ++a) {
                EXPECT_NEAR(there[a], prepared.vertices[v].position[a], 1e-5f) << c.name;
                EXPECT_NEAR(again[a], part.vertices[v].position[a], 1e-5f) << c.name;
            }
        }
        // The model's box starts at the origin in every case.
        for (int a = 0; a < 3; ++a)
            EXPECT_NEAR(prepared.center[a] - prepared.halfSize[a], 0.0f, 1e-6f) << c.name;
    }
}

}  // namespace
}  // namespace ostrel
