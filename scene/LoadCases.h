#pragma once
// The keys of a scene's load cases. FORCES holds load case 1; further cases are in
// FORCES_CASE_2, FORCES_CASE_3, ... (numbered without a gap, each with the syntax of FORCES:
// "x y z fx fy fz" per force, and at least one force). LOAD_CASE_WEIGHTS lists one weight per
// case, case 1 first (numbers >= 0, not all 0); a case the list does not reach has the weight 1.
// The optimization minimizes the weighted sum of the cases' compliances; a scene with one case
// is optimized for its compliance alone (a weight given for it changes nothing).

#include <string>
#include <vector>

namespace ostrel {

/// The key of load case `number` (1-based): "FORCES" for 1, "FORCES_CASE_<number>" otherwise.
std::wstring loadCaseKey(int number);

/// The case number N of an upper-case key "FORCES_CASE_<N>" with N >= 2 written in decimal
/// digits without a leading zero; 0 for any other key.
int loadCaseNumber(const std::wstring& key);

/// Parses the value of LOAD_CASE_WEIGHTS for `cases` load cases into `weights` (one per case,
/// 1 where the list ends early); false with `why`, a sentence that follows the key's name
/// (e.g. "lists 3 weights for 2 load cases"), on a bad value.
bool parseLoadCaseWeights(const std::wstring& text, int cases, std::vector<double>& weights,
                          std::wstring& why);

}  // namespace ostrel
