#pragma once
// The required keys of a scene file for a 0.25-voxel model of "box.obj" with 3 levels: the
// start of every scene text the scene tests write; and that box, 2 x 1 x 1, as OBJ text.

namespace ostrel::testing {

inline constexpr const char* kRequiredSceneKeys =
    "VOXEL_SIZE: 0.25 0.25 0.25\n"
    "ELASTIC_MODULUS: 1e7\n"
    "POISSON_RATIO: 0.3\n"
    "DENSITY: 1000\n"
    "DAMPING_FACTOR: 0.5\n"
    "TIME_STEP: 0.05\n"
    "MESH: box.obj\n"
    "NUM_LEVELS: 3\n";

/// The closed 2 x 1 x 1 box from the origin, 8 vertices and 12 outward triangles.
inline constexpr const char* kBoxObj =
    "v 0 0 0\nv 2 0 0\nv 2 1 0\nv 0 1 0\nv 0 0 1\nv 2 0 1\nv 2 1 1\nv 0 1 1\n"
    "f 1 3 2\nf 5 6 7\nf 1 4 3\nf 5 7 8\nf 1 2 6\nf 1 6 5\nf 2 3 7\nf 2 7 6\n"
    "f 3 4 8\nf 3 8 7\nf 4 1 5\nf 4 5 8\n";

}  // namespace ostrel::testing
