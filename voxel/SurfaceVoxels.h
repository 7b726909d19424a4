#pragma once
// Additional surface voxels: sets the voxel of every mesh vertex that lies just outside the
// solid (its voxel empty, one of its 26 neighbours set), so the voxel model reaches the mesh's
// vertices. A vertex on the boundary of a set voxel (on a grid plane within 1e-4 voxel edges)
// is reached already: its voxel is added only where it shares a face with the solid, never
// where it would hang on by an edge or a corner. Decisions use the grid as it was before the call; vertices outside the grid are
// skipped. Prints "Added N voxels at the boundary" on the console's wide output and returns N.
// The scene loader calls it after voxelizing into a grid with a one-voxel margin.

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"

namespace ostrel {

long addSurfaceVoxels(Volume<bool, double>& volume, const TriangleMesh& mesh);

}  // namespace ostrel
