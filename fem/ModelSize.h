#pragma once
// Size of the finite-element model a voxel occupancy grid gives, measured before the model is
// built, and the limits the model's numbering can hold.
//
// Element and vertex indices are 32-bit ints, and the solver addresses 3 components per vertex
// with ints, so a level-0 model may hold at most INT_MAX elements and INT_MAX / 3 vertices.
// Packed grid positions hold 11 bits of x and y: a grid of at most 2047 elements per axis is
// reduced to one element after 11 halvings, so 12 levels are the most a grid can hold.

#include <array>
#include <climits>
#include <string>

#include "geometry/Volume.h"

namespace ostrel {

inline constexpr int kMinLevels = 3;
inline constexpr int kMaxLevels = 12;
inline constexpr long long kMaxModelElements = INT_MAX;
inline constexpr long long kMaxModelVertices = INT_MAX / 3;

/// Level-0 counts of the model built from an occupancy grid.
struct ModelSize {
    long long elements = 0;             ///< occupied voxels
    long long vertices = 0;             ///< grid points touching an occupied voxel
    std::array<int, 3> extent{};        ///< element grid of level 0 (occupied bounding box)
};

/// Counts elements and vertices and finds the occupied bounding box in two passes over the grid,
/// without allocating more than one row of flags.
ModelSize measureModel(const Volume<bool, double>& voxels);

/// The error line ("ERROR: ...") when a model of this size and level count cannot be built:
/// empty, extents beyond the packed positions, a level count outside [3, 12], or counts beyond
/// the 32-bit indices. Empty when the model can be built.
std::wstring modelSizeError(const ModelSize& size, int numLevels);

}  // namespace ostrel
