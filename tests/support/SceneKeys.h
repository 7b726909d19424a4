#pragma once
// The required keys of a scene file for a 0.25-voxel model of "box.obj" with 3 levels: the
// start of every scene text the scene tests write.

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

}  // namespace ostrel::testing
