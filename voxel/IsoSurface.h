#pragma once
// Iso-surface extraction by marching cubes.
//
// Samples of the Volume<double,double> stand at the voxel centres offset + (i+0.5)*spacing.
// The output mesh is replaced by a closed, welded surface: every crossed grid edge yields exactly
// one vertex shared by all cubes around it (a per-layer edge cache keeps memory independent of
// nz). A sample strictly below `iso` is outside. With invert false each triangle's normal
// (p1-p0)x(p2-p0) points toward the smaller values, i.e. outward for a density field; invert
// reverses it. Resolutions below 2 give an empty (loaded) mesh. The optimizer calls it with
// iso 0.5, invert false, on a density field padded by one layer of low values, which makes the
// surface closed even where the solid touches the grid's faces.

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"

namespace ostrel {

void extractIsoSurface(const Volume<double, double>& volume, double iso, TriangleMesh& mesh,
                       bool invert);

}  // namespace ostrel
