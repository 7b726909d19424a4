#pragma once
// The level-0 load vector of a model: the applied forces plus every element's weight under the
// model's gravity, an eighth of it on each of its corners. Both engines build their load here.

#include <vector>

namespace ostrel {

class FemModel;

/// 3*nV floats, component-major (component a of vertex v at a*nV + v), from `forces` (3 floats
/// per level-0 vertex, interleaved x, y, z, as FemModel::forces()) and the model's gravity().
std::vector<float> loadVector(const FemModel& model, const std::vector<float>& forces);

}  // namespace ostrel
