#pragma once
// Solid voxelization of a closed triangle surface by depth layers along x.
//
// Every voxel column parallel to x collects the grid-unit x positions where the surface crosses
// the line through the column's centre (at most 256 per column); sorting them and filling by
// parity (even-odd rule, independent of triangle orientation) sets exactly the voxels whose
// centres lie inside the surface. Centres on a crossing count as inside.
//
// Contracts for the scene loader:
// - voxelize writes every voxel of an already initialised Volume<bool,double> (resolution,
//   spacing, offset, data). `transform` is a row-major 4x4 float matrix applied with division by
//   the fourth component (the loader passes the identity).
// - voxelizeToBounds initialises the grid from the mesh's bounding box (resolution
//   ceil(2*halfSize/voxelSize) per axis, offset = box minimum) and calls voxelize.
// - Both return false if any crossing found no room in its column; each lost crossing prints
//   "WARNING: Depth layer buffer overflow for voxel column (y=.., z=..)" on `messages` (null =
//   silent). A column with a lost crossing is corrupt whichever part of the triangle lost it.

#include <iosfwd>

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"

namespace ostrel {

/// Capacity of one voxel column of the depth-layer buffer.
inline constexpr int kDepthLayerCapacity = 256;
/// voxelizeToBounds refuses grids beyond these sizes (a voxel size far too small for the mesh)
/// with "ERROR: ..." on the message stream and a false result, leaving the volume cleared.
inline constexpr int kMaxVoxelizeResolution = 1 << 16;
inline constexpr long long kMaxVoxelizeCells = 4LL << 30;

/// Resolution voxelizeToBounds gives: ceil(2*halfSize/voxelSize) per axis in single precision.
/// False, with the refusal on `messages`, beyond the limits above or for a voxel size that is
/// not positive.
bool boundsResolution(const TriangleMesh& mesh, const Vec3d& voxelSize, Vec3i& resolution,
                      std::wostream* messages);
/// Resolution of the grid with a one-voxel margin on every side (the scene loader's grid for
/// additional surface voxels): ceil(2*halfSize/voxelSize) + 2 per axis in double precision,
/// with the same limits.
bool marginResolution(const TriangleMesh& mesh, const Vec3d& voxelSize, Vec3i& resolution,
                      std::wostream* messages);

bool voxelize(const TriangleMesh& mesh, Volume<bool, double>& volume, const float transform[16],
              std::wostream* messages);

/// A run of layers [begin, end) of a voxel grid (its z index).
struct VoxelLayers {
    int begin = 0, end = 0;
};

/// voxelize for the voxels of `layers` only (clipped to the grid), each as voxelize sets it:
/// the other layers are left as they are, and the depth buffer holds these layers' columns
/// alone: one process's piece of a split voxelization (voxel/VoxelSplit.h).
bool voxelizeLayers(const TriangleMesh& mesh, Volume<bool, double>& volume,
                    const float transform[16], VoxelLayers layers, std::wostream* messages);

/// Per-axis voxel edge lengths (the scene's VOXEL_SIZE).
bool voxelizeToBounds(const TriangleMesh& mesh, Volume<bool, double>& volume, const Vec3d& voxelSize,
                      std::wostream* messages);
/// Cubic voxels of edge `voxelSize`.
bool voxelizeToBounds(const TriangleMesh& mesh, Volume<bool, double>& volume, float voxelSize,
                      std::wostream* messages);

}  // namespace ostrel
