#pragma once
// The smooth printable shape of an optimization's design (ostrel-batch --smooth): the
// iso-surface of the filtered, not projected, density field at the level that keeps the
// design's volume, smoothed and repaired by voxel/SmoothSurface.h.
//
// The filtered field: the snapshot's filtered design (the filter of the design variables in
// projection mode 1; the densities of mode 0 are that filter already), with kept elements at 1
// and keep-empty elements at 0, in the optimizer's padded volume (one layer of 0 around the
// model's level-0 grid, 0 where the voxel model has no element). The design's volume: the
// snapshot's total density times the voxel volume.
//
// Only a shape fit for printing (no intersecting or degenerate triangles left) goes under the
// file's own name; one that is not is written as <stem>_failed.<ext> beside it, for a look at
// what went wrong, and an earlier file of the own name is removed, so that the name never
// holds a shape of another design or one unfit for printing.

#include <filesystem>
#include <iosfwd>

#include "geometry/Matrix4.h"
#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"
#include "optimization/DesignSnapshot.h"
#include "tools/ResultFiles.h"
#include "voxel/SmoothSurface.h"

namespace ostrel {

class FemModel;

/// The filtered density field of `state`, a snapshot of an optimization of `model` (see
/// above); an invalid volume for an invalid snapshot.
Volume<double, double> filteredDensityField(const FemModel& model, const DesignSnapshot& state);

/// The smooth shape of the snapshot's design, in model coordinates, made with `options` (their
/// bounds: the input mesh's bounding box in model coordinates, which the shape stays inside).
/// False when the design holds no material.
bool smoothShape(const FemModel& model, const DesignSnapshot& state, TriangleMesh& mesh,
                 SmoothSurfaceReport& report, const SmoothSurfaceOptions& options = {});

/// Options whose bounds are the bounding box of `mesh` (the scene's prepared mesh, in model
/// coordinates).
SmoothSurfaceOptions boundedBy(const TriangleMesh& mesh);

/// The name a shape unfit for printing is written under: <stem>_failed<extension>.
std::filesystem::path failedSmoothShapePath(const std::filesystem::path& file);

/// smoothShape mapped by `toOutput` and written (OBJ or binary STL, atomically) to `file` when
/// it is fit for printing, else to failedSmoothShapePath(file) with `file` removed (see above).
/// True when `file` now holds the shape. Messages on `wideLog` (the writer's) and `log`
/// ("ERROR: " lines; null = silent).
bool writeSmoothShape(const FemModel& model, const DesignSnapshot& state,
                      const SmoothSurfaceOptions& options, const std::filesystem::path& file,
                      ShapeFormat format, const Matrix4& toOutput, SmoothSurfaceReport& report,
                      std::wostream* wideLog, std::ostream* log);

}  // namespace ostrel
