// Scene lint: unknown keys with their line and the key probably meant, and the note on the
// material keys.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/Console.h"
#include "scene/SceneLint.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

TEST(SceneLint, ClosestKnownKey) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"VOXEL_SIZ", L"VOXEL_SIZE"},
        {L"voxel_sizes", L"VOXEL_SIZE"},
        {L"Poison_Ratio", L"POISSON_RATIO"},
        {L"FIXED_VERTEX", L"FIXED_VERTICES"},
        {L"FORCE", L"FORCES"},
        {L"NUM_LEVEL", L"NUM_LEVELS"},
        {L"MESH_SCALE", L"MESH_SCALE_TO"},
        {L"ADD_SURFACE_VOXELS", L""},  // too far from ADD_ADDITIONAL_SURFACE_VOXELS to guess
        {L"MSH", L"MESH"},
        {L"COLOR", L""},
        {L"X", L""},
        {L"VOXEL_SIZE", L""},  // known keys need no suggestion
        {L"keep_solid_box", L"KEEP_SOLID_BOXES"},
        {L"OPTIMIZATION_VOLUME_FRACTON", L"OPTIMIZATION_VOLUME_FRACTION"},
    };
    for (const auto& [key, meant] : cases)
        EXPECT_EQ(closestSceneKey(key), meant) << toUtf8(key);
}

TEST(SceneLint, KnownKeysIncludeTheOptimizerSettings) {
    const auto& keys = knownSceneKeys();
    for (const wchar_t* key : {L"OPTIMIZATION_VOLUME_FRACTION", L"OPTIMIZATION_FILTER_RADIUS",
                               L"OPTIMIZATION_PROJECTION", L"KEEP_SOLID_BOXES", L"KEEP_EMPTY_BOXES",
                               L"EDITOR_FORCE_ARROW_SCALING", L"GRAVITY", L"SYMMETRY_PLANES",
                               L"LOAD_CASE_WEIGHTS", L"OPTIMIZATION_MIN_MEMBER"})
        EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << toUtf8(key);
    EXPECT_EQ(keys.size(), 31u);
}

TEST(SceneLint, UnknownKeysWithLineNumbersInFileOrder) {
    testing::ScratchFolder folder("lint");
    const auto file = folder / "scene.txt";
    std::ofstream(file) << "// comment: NOT_A_KEY: 1\n"
                           "voxel_siz: 0.1 0.1 0.1\n"
                           "\n"
                           "ELASTIC_MODULUS: 2e9\n"
                           "  // indented comment\n"
                           "Colour: red\n"
                           ": value without a key\n"
                           "mesh: beam.obj\n"
                           "two words: are the reader's business\n"
                           "Fixed_Vertex: 0 0 0\r\n";
    const std::wstring name = fromUtf8(file.string());
    const std::vector<std::wstring> warnings = lintSceneFile(name);
    const std::vector<std::wstring> expected = {
        L"WARNING: Unknown key \"VOXEL_SIZ\" in line 2 of file " + quoted(name) +
            L"; did you mean \"VOXEL_SIZE\"?",
        L"WARNING: Unknown key \"COLOUR\" in line 6 of file " + quoted(name),
        L"WARNING: Unknown key \"FIXED_VERTEX\" in line 10 of file " + quoted(name) +
            L"; did you mean \"FIXED_VERTICES\"?",
    };
    EXPECT_EQ(warnings, expected);
    EXPECT_TRUE(lintSceneFile(fromUtf8((folder / "none.txt").string())).empty());
}

}  // namespace
}  // namespace ostrel
