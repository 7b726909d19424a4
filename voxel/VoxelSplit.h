#pragma once
// A voxelization split over processes by layers (z) of the voxel grid: each process voxelizes
// its own run of layers (voxelizeLayers) and share() gives every process the whole grid, so
// that no process scans the whole mesh or holds every column's depth buffer. Every verb but
// own() is collective: all processes call it in the same order with the same sizes.

#include <cstddef>
#include <string>

#include "voxel/Voxelizer.h"

namespace ostrel {

class VoxelSplit {
public:
    virtual ~VoxelSplit() = default;

    /// This process's layers of a grid of `layers` layers (every process computes the same
    /// split; a process may own none).
    virtual VoxelLayers own(int layers) const = 0;
    /// Whether `ok` holds on every process: a process that cannot go on says so before the
    /// others wait for it in share().
    virtual bool agree(bool ok) = 0;
    /// `voxels` holds `layers` layers of `layerCells` voxels, this process's own set: every
    /// other process's layers take their owner's values.
    virtual void share(bool* voxels, size_t layerCells, int layers) = 0;
    /// Every process's `text` joined in process order on process 0; empty on the others.
    virtual std::string gatherText(const std::string& text) = 0;
};

}  // namespace ostrel
