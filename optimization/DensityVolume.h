#pragma once
// The element densities of a model's level 0 as a volume, and their closing: the host-side
// operations on a design that the shape surface is made from.
//
// Densities are one float per level-0 element, in element order.

#include <cstdint>
#include <vector>

#include "geometry/Volume.h"

namespace ostrel {

class FemModel;

/// Every cell of `volume` to `background`, then element (x,y,z)'s density into cell
/// (x+1, y+1, z+1): `volume` is the element grid with one cell of border on every side.
void fillPaddedDensity(const FemModel& model, const std::vector<float>& rho, double background,
                       Volume<double, double>& volume);

/// Closes the design in x-z discs of radius 8 cells: every element within a disc of an element
/// at or above `isoLevel` becomes solid (dilation), then every element within a disc of one
/// below it after that becomes `minDensity` (erosion). The designable elements (neither kept
/// nor held empty) take the result, clamped to [minDensity, 1]; the others keep theirs.
void closeDesign(const FemModel& model, const std::vector<uint8_t>& kept,
                 const std::vector<uint8_t>& emptyHeld, double isoLevel, double minDensity,
                 std::vector<float>& rho);

}  // namespace ostrel
