#pragma once
// Estimate of the memory a scene needs from voxelization to the end of an optimization, so
// that a voxel size far too small for the machine is refused with a clear message before
// anything large is allocated (instead of an allocation failure or the system killing the
// process).
//
// The estimate adds the voxelization (occupancy grid, depth-layer columns of 1028 bytes per
// y-z column, a second grid for the additional surface voxels), the model (dense element and
// vertex grids and positions of every level, host arrays, level operators of 243 doubles per
// vertex from level 2 on), the solver's buffers (the same grids and operators once more, as the
// host device keeps its buffers in host memory; with conjugate gradients their vectors too), the
// optimizer's per-element arrays and padded density grid and the device optimizer's buffers
// (likewise). Coarse levels are taken as the level-0 counts shrunk by 4 per level and never
// above their dense grids, which over- rather than under-estimates.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "core/MemoryLimit.h"
#include "geometry/Vec3.h"

namespace ostrel {

/// What the estimate is computed from.
struct SceneSize {
    Vec3i voxelGrid{};                ///< resolution of the voxelization grid
    bool surfaceVoxels = false;       ///< a second grid collects the additional surface voxels
    std::array<double, 3> extent{};   ///< level-0 element grid (occupied bounding box)
    double elements = 0;              ///< level-0 elements
    double vertices = 0;              ///< level-0 vertices
    int levels = 3;
    /// The solver runs conjugate gradients (--solver pcg), which adds its vectors on the device
    /// (conjugateGradientBytes in gpu/MultigridSolver.h).
    bool conjugateGradients = false;
    /// Load cases: each one beyond the first adds its load and displacement per vertex (and
    /// the optimizer a case's energies per element).
    int loadCases = 1;
    /// The many-process engine on this many processes (0: the single-process program): the
    /// estimate is then one process's, which holds the whole model and design as above (but
    /// not the single-process solver's coarse levels and vectors), the depth columns of its
    /// share of the voxel grid's layers, and its share of the distributed solve
    /// (engineSolveBytes).
    int processes = 0;
};

/// Bytes the scene needs at its peak, the final files included (finalFilesBytes).
double estimateSceneBytes(const SceneSize& size);
/// One process's share of the many-process engine's distributed solve on `size.processes`
/// processes: the vectors of the solver and its smoothers over every point of the finest
/// grid's box, and the matrices of the coarse levels over the elements, each process about its
/// even share. 0 for the single-process program.
double engineSolveBytes(const SceneSize& size);
/// Bytes that the final files of a run add while the model, the solver and the optimizer are
/// alive: the VTK file's arrays (14 bytes per cell of the level-0 element grid, 12 per grid
/// point; the file is streamed from them) and the smooth shape's padded density field (8 bytes
/// per cell of the grid padded by one cell on every side).
double finalFilesBytes(const SceneSize& size);
/// Bytes of the solver's device buffers (what MultigridSolver::setup allocates and its memory report
/// counts: grids and positions of every level, the per-element and per-vertex buffers, the
/// displacements, right-hand sides and operators of the levels, the assembly's scratch, the
/// conjugate-gradient vectors when the size asks for them) and of
/// the device optimizer (DeviceOptimizer::load, for the default filter radius in either mode;
/// a radius given explicitly adds pad sums and a wider staging grid). A coarse level is taken
/// as its dense grids or the level above, whichever is smaller: exact for a solid box, an upper
/// bound otherwise. On the host device these buffers are part of estimateSceneBytes.
double estimateDeviceBytes(const SceneSize& size);

/// The one error line when the estimate of `size` exceeds the limit: "ERROR: The voxel model
/// needs ≈ N GB, the process may use M GB (<limit's source>); a voxel size of X Y Z fits", with
/// the smallest voxel size (`voxelSize` scaled alike in every axis, rounded up to three digits)
/// whose estimate fits, or "no voxel size fits" when not even a grid of one voxel does;
/// `sizeAt(f)` gives the scene's size at voxel size f*voxelSize (its estimates scaled up by
/// the estimate of `size` over that of sizeAt(1) where that is more than 1, so that the size
/// proposed is always coarser than the one refused). Empty when the scene fits.
std::wstring memoryError(const SceneSize& size, const Vec3d& voxelSize, const MemoryLimit& limit,
                         const std::function<SceneSize(double)>& sizeAt);

}  // namespace ostrel
