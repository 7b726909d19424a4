#pragma once
// What the optimizer kernels and the host code that drives them share:
//
// The per-element flags (one byte per element, bits combined with |): kept elements are held
// solid, held-empty ones at the lower density bound outside the design and the volume; a held
// design variable keeps its value in the multiplier search. Designable elements are neither
// kept nor held empty.
//
// The run of the filter kernels: each thread filters kFilterRun consecutive cells of one x row
// of the element grid (rows rounded up to whole runs).
//
// The multiplier search's candidates: a pass evaluates up to kSearchCandidates multipliers in
// one launch, each thread kSearchGroup of them over its elements.
//
// Included by the kernel source (nvcc and g++ through CudaCompat.h) and by the host code.

enum ElementFlag : unsigned char {
    kElementKept = 1,
    kElementHeldEmpty = 2,
    kElementHeldDesign = 4,
};

enum FilterLayout : int { kFilterRun = 8 };

enum SearchLayout : int { kSearchCandidates = 128, kSearchGroup = 8 };
