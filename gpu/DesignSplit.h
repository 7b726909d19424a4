#pragma once
// A design split over processes by layers of the level-0 element grid (z). Each process runs
// the optimizer's per-element work (gpu/DeviceOptimizer.h) on its own layers only, a contiguous
// run of elements since elements are numbered layer by layer, and these verbs supply what it
// reads of the other processes' layers: the neighbourhood of the density filter and its
// transpose (the layers within the filter's reach), the global sums and extremes, whole
// element arrays where the optimizer hands them out, and to process 0 the pieces of the shape.
// Every verb is collective: all processes call it in the same order with the same sizes.
// Pointers are host memory.

#include <cstddef>
#include <vector>

namespace ostrel {

/// Layers [begin, end) of the level-0 element grid and their elements [first, first + count).
struct OwnLayers {
    int begin = 0, end = 0;
    int first = 0, count = 0;
};

/// How combine() joins the processes' values.
enum class CombineOp { Sum, Max, Min };

class DesignSplit {
public:
    virtual ~DesignSplit() = default;

    /// This process's layers and elements.
    virtual OwnLayers own() const = 0;
    /// Every values[k] becomes the processes' values[k] joined by ops[k] in process order
    /// (extremes skip NaN and are NaN where every value is): the same bits on every process.
    virtual void combine(double* values, const CombineOp* ops, int count) = 0;
    /// `layers` holds a field layer after layer from layer `firstLayer` on (layer z at
    /// (z - firstLayer) * layerBytes; at least this process's own layers and those within
    /// `halo` of them that lie in the grid): those within `halo` that other processes own take
    /// their owners' values; the rest is left as it is.
    virtual void exchangeLayers(void* layers, int firstLayer, size_t layerBytes, int halo) = 0;
    /// `values` holds one entry of `entryBytes` per element of the grid: every process's own
    /// entries take their owner's values.
    virtual void gatherElements(void* values, size_t entryBytes) = 0;
    /// Every process's `bytes`, in process order, on process 0 (one entry per process there;
    /// nothing on the others), whatever their sizes.
    virtual std::vector<std::vector<unsigned char>> gatherToFirst(
        const std::vector<unsigned char>& bytes) = 0;
};

}  // namespace ostrel
