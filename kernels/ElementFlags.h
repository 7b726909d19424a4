#pragma once
// The per-element flags of the optimizer kernels (one byte per element, bits combined with |):
// kept elements are held solid, held-empty ones at the lower density bound outside the design
// and the volume; a held design variable keeps its value in the multiplier search. Designable
// elements are neither kept nor held empty.
//
// Included by the kernel source (nvcc and g++ through CudaCompat.h) and by the host code that
// builds the flags.

enum ElementFlag : unsigned char {
    kElementKept = 1,
    kElementHeldEmpty = 2,
    kElementHeldDesign = 4,
};
