#pragma once
// The element densities of a model's level 0 as a volume, and their closing: the host-side
// operations on a design that the shape surface is made from.
//
// Densities are one float per level-0 element, in element order. The padded volume is the
// level-0 element grid with one cell of border on every side: element (x,y,z) is cell
// (x+1, y+1, z+1), and node layer z of the volume (its cells' samples) is element layer z - 1.

#include <cstdint>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"

namespace ostrel {

class DesignSplit;
class FemModel;

/// Node layers [begin, end) of `model`'s padded volume, every sample 0.
Volume<double, double> paddedDensityLayers(const FemModel& model, int begin, int end);

/// Every sample of `volume` to `background`, then each element's density into its cell, for
/// the elements in `volume`: node layers from `firstLayer` on of the padded volume (0: all).
void fillPaddedDensity(const FemModel& model, const std::vector<float>& rho, double background,
                       Volume<double, double>& volume, int firstLayer = 0);

/// The surface at `iso` of `rho` in the padded volume (extractIsoSurface, invert false) made
/// across the processes of `split`: each marches the cells between its own element layers and
/// the layer below them (the owner of the top layer the border above it too) and process 0
/// joins the slabs. `mesh`: on process 0 the whole volume's surface, the same bits; empty on
/// the others. Collective. Throws std::runtime_error when the slabs do not join.
void extractSplitShape(const FemModel& model, const std::vector<float>& rho, double background,
                       double iso, DesignSplit& split, TriangleMesh& mesh);

/// Closes the design in x-z discs of radius 8 cells: every element within a disc of an element
/// at or above `isoLevel` becomes solid (dilation), then every element within a disc of one
/// below it after that becomes `minDensity` (erosion). The designable elements (neither kept
/// nor held empty) take the result, clamped to [minDensity, 1]; the others keep theirs.
void closeDesign(const FemModel& model, const std::vector<uint8_t>& kept,
                 const std::vector<uint8_t>& emptyHeld, double isoLevel, double minDensity,
                 std::vector<float>& rho);

}  // namespace ostrel
