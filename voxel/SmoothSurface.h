#pragma once
// A smooth, closed surface for printing, from a density field sampled at voxel centres.
//
// 1. The level: the iso-surface of the field (marching cubes, voxel/IsoSurface.h) encloses a
//    volume that falls as the level rises; bisection finds the level whose surface encloses
//    `targetVolume` (within 1e-5 of it).
// 2. Smoothing: Taubin's two-step umbrella smoothing (factors lambda > 0, then mu < -lambda,
//    uniform weights over each vertex's edge neighbours), which removes the voxel steps without
//    the shrinking of plain Laplacian smoothing; then every vertex moves along its normal by
//    the same distance so that the enclosed volume is `targetVolume` again.
// 3. Repair: a vertex of a triangle that intersects another (geometry/MeshIntersections.h) or
//    whose normal turned against the marching-cubes normal goes half of the way back to its
//    marching-cubes position, round after round; a corner of a degenerate triangle moves
//    towards the centre of its neighbours. The marching-cubes surface itself is closed,
//    consistently oriented and free of intersections, so the repair ends with a surface that
//    is too.
//
// 4. Bounds (optional: SmoothSurfaceOptions::bounded): the surface stays inside an axis-aligned
//    box, the input mesh's bounding box, where a part must fit against others. Marching-cubes
//    vertices beyond it are moved onto it along their grid edge (inside the level search, so
//    that the level keeps the volume of the bounded surface); a vertex that lies on a face of
//    the box stays on that face through smoothing and the volume correction (it moves only
//    within the face), every other vertex is held inside, so that the flat faces where the
//    design meets the box stay flat and in place. The repair mixes positions that lie inside,
//    so its results do too.
//
// The field must be padded by one layer of values below every level (the optimizer's padded
// density volume is), so that the surface is closed where material touches the grid's faces.
// The triangles face outward (counter-clockwise seen from outside), as marching cubes makes
// them. Single-threaded; the cost is a few dozen marching-cubes passes and the smoothing.

#include <cstddef>

#include "geometry/TriangleMesh.h"
#include "geometry/Vec3.h"
#include "geometry/Volume.h"

namespace ostrel {

struct SmoothSurfaceOptions {
    int steps = 20;        ///< Taubin steps, each one lambda and one mu pass
    double lambda = 0.5;
    double mu = -0.53;
    int repairRounds = 16;
    bool bounded = false;  ///< keep the surface inside [boundsLo, boundsHi] (step 4)
    Vec3d boundsLo{}, boundsHi{};
};

struct SmoothSurfaceReport {
    double level = 0;         ///< the iso level whose surface keeps the volume
    double targetVolume = 0;
    double volume = 0;        ///< enclosed by the final surface
    size_t repaired = 0;      ///< vertices the repair moved
    size_t intersections = 0; ///< intersecting triangle pairs left (0 unless the repair failed)
    size_t degenerate = 0;    ///< degenerate triangles left
};

/// The smooth surface of `field` that encloses `targetVolume` (world units) into `mesh`. False
/// (and an empty mesh) when the field holds no level with a surface, or the target volume is
/// not positive.
bool extractSmoothSurface(const Volume<double, double>& field, double targetVolume,
                          TriangleMesh& mesh, SmoothSurfaceReport& report,
                          const SmoothSurfaceOptions& options = {});

}  // namespace ostrel
