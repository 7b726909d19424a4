#pragma once
// The smooth printable shape of an optimization's design (ostrel-batch --smooth): the
// iso-surface of the filtered, not projected, density field at the level that keeps the
// design's volume, smoothed and repaired by voxel/SmoothSurface.h.
//
// The filtered field: the filter of the design variables (projection mode 1; the densities of
// mode 0 are that filter already), with kept elements at 1 and keep-empty elements at 0, in the
// optimizer's padded volume (one layer of 0 around the grid, 0 where the voxel model has no
// element). The design's volume: the sum of the densities (keep-empty elements left out) times
// the voxel volume.

#include <filesystem>
#include <iosfwd>

#include "geometry/Matrix4.h"
#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"
#include "tools/ResultFiles.h"
#include "voxel/SmoothSurface.h"

namespace ostrel {

class Optimizer;

/// The filtered density field of the optimizer's current design (see above); an invalid
/// volume before the first reset.
Volume<double, double> filteredDensityField(const Optimizer& optimizer);

/// The smooth shape of the current design, in model coordinates. False when the design holds
/// no material.
bool smoothShape(const Optimizer& optimizer, TriangleMesh& mesh, SmoothSurfaceReport& report);

/// smoothShape mapped by `toOutput` and written to `file` (OBJ or binary STL, atomically).
/// Messages on `wideLog` (the writer's) and `log` ("ERROR: " lines; null = silent).
bool writeSmoothShape(const Optimizer& optimizer, const std::filesystem::path& file,
                      ShapeFormat format, const Matrix4& toOutput, SmoothSurfaceReport& report,
                      std::wostream* wideLog, std::ostream* log);

}  // namespace ostrel
