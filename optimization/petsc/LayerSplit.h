#pragma once
// The many-process engine's split of the design (gpu/DesignSplit.h) over the processes of an
// MPI communicator, by layers of the level-0 element grid. The layers go to the processes in
// order, each a run of whole layers with about the same number of elements (splitLayers). The
// layers within the filter's reach of a process's own come point to point from the processes
// that own them, however many that reach spans; an element array is gathered whole on every
// process; sums and extremes are every process's values, gathered and joined in process order,
// so that every process has the same bits. The voxelization's split (voxel/VoxelSplit.h) goes
// by layers of the voxel grid alike.

#include <petscsys.h>  // MPI through PETSc, which leaves out MPI's C++ bindings

#include <vector>

#include "gpu/DesignSplit.h"
#include "voxel/VoxelSplit.h"

namespace ostrel {

class FemModel;

/// The layers and elements of each of `processes` processes for a grid whose layer z holds
/// layerElements[z] elements: whole layers in order, each process's run ending where the
/// running element count first reaches its share (k / processes of the total for process k - 1),
/// every process one layer at least while the grid has as many layers as processes (the
/// processes beyond the grid's layers own none).
std::vector<OwnLayers> splitLayers(const std::vector<int>& layerElements, int processes);

/// The elements of each layer of `model`'s level-0 grid.
std::vector<int> layerElementCounts(const FemModel& model);

class LayerSplit final : public DesignSplit {
public:
    /// Splits `model`'s level-0 layers over the processes of `comm` (collective only in what
    /// the verbs do: every process computes the same split).
    LayerSplit(const FemModel& model, MPI_Comm comm);

    OwnLayers own() const override { return layers_[size_t(rank_)]; }
    /// Every process's layers, in process order.
    const std::vector<OwnLayers>& layers() const { return layers_; }

    void combine(double* values, const CombineOp* ops, int count) override;
    void exchangeLayers(void* layers, int firstLayer, size_t layerBytes, int halo) override;
    void gatherElements(void* values, size_t entryBytes) override;
    std::vector<std::vector<unsigned char>> gatherToFirst(
        const std::vector<unsigned char>& bytes) override;

private:
    MPI_Comm comm_;
    int rank_ = 0, size_ = 1;
    int numLayers_ = 0;
    std::vector<OwnLayers> layers_;
};

/// The voxelization's split over the processes of `comm`: the voxel grid's layers in order, as
/// evenly as whole layers allow (splitLayers, one element a layer).
class VoxelLayerSplit final : public VoxelSplit {
public:
    explicit VoxelLayerSplit(MPI_Comm comm);

    VoxelLayers own(int layers) const override;
    bool agree(bool ok) override;
    void share(bool* voxels, size_t layerCells, int layers) override;
    std::string gatherText(const std::string& text) override;

private:
    /// Every process's layers of a grid of `layers` layers, in process order.
    std::vector<OwnLayers> layerRuns(int layers) const;

    MPI_Comm comm_;
    int rank_ = 0, size_ = 1;
};

}  // namespace ostrel
