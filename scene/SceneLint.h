#pragma once
// Checks of a scene file that point at what the loader silently passes over: keys that nothing
// reads (most often a typo, which then leaves a default in place or fails the load as a missing
// key). (The note on the material keys, which are read and printed but do not change the model,
// is optimization/ProblemStart.h's materialNote.)

#include <string>
#include <vector>

namespace ostrel {

/// Every key that a scene file may hold (the loader's and the optimizer's), upper case; the keys
/// of the further load cases, FORCES_CASE_2, FORCES_CASE_3, ... (scene/LoadCases.h), besides.
const std::vector<std::wstring>& knownSceneKeys();

/// The known key that `key` (any letter case) most probably means: the one with the fewest
/// single-character edits, when that number is at most a third of the shorter key's length
/// (at least 2). Empty when no known key is that close or `key` is itself known.
std::wstring closestSceneKey(const std::wstring& key);

/// Reads the scene file's lines with the key rules of the key-value format and returns one line
/// per key that no part of the program reads, in file order:
///   WARNING: Unknown key "VOXEL_SIZ" in line 3 of file "scene.txt"; did you mean "VOXEL_SIZE"?
/// (without the question when no key is close). Nothing when the file cannot be read: the
/// loader reports that.
std::vector<std::wstring> lintSceneFile(const std::wstring& fileName);

}  // namespace ostrel
