#pragma once
// Lets g++ compile the kernel source for the host device. A block's threads run one after
// another on one CPU thread, so the index variables are thread-local and set by the launcher.
// The kernels use no shared memory, no barriers and no atomics (one thread writes each output),
// which keeps this execution exact and its results independent of the number of CPU threads;
// atomicAdd is deliberately not provided.

#include <cmath>
#include <cstdint>

#define __global__
#define __device__
// Constant memory is a plain array on the host device.
#define __constant__
#define __host__
// Inlined into every caller, so that a caller built for wider vector instructions (the host
// device's lanes) builds the callee's operations with them too.
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)
// The kernels' loop-unrolling hint in g++'s spelling (nvcc's is #pragma unroll).
#define OSTREL_UNROLL _Pragma("GCC unroll 27")
// Independent iterations over a small array: left for the vectorizer, which packs them into
// vector instructions (rounding each operation as before).
#define OSTREL_UNROLL_VECTOR _Pragma("GCC ivdep")

struct uint3 { unsigned int x, y, z; };
struct dim3 { unsigned int x = 1, y = 1, z = 1; };
struct int3 { int x, y, z; };

inline thread_local uint3 threadIdx{0, 0, 0};
inline thread_local uint3 blockIdx{0, 0, 0};
inline thread_local dim3 blockDim{};
inline thread_local dim3 gridDim{};

