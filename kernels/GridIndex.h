#pragma once
// Dense-grid addressing of the kernels: cell or point (x,y,z) of a grid of size d lies at
// (z*d.y + y)*d.x + x. A dense grid may hold up to 2047*2047*1023 (about 4.3e9) entries, more
// than a 32-bit index reaches, so the index is computed in 64 bits.
//
// Included by the kernel source (nvcc and g++ through CudaCompat.h) and by the tests.

__device__ inline long long denseGridIndex(int3 d, int x, int y, int z) {
    return ((long long)z * d.y + y) * d.x + x;
}

/// Entry of `grid` at (x,y,z), or -1 when the point lies outside the grid.
__device__ inline int gridLookup(const int* __restrict__ grid, int3 d, int x, int y, int z) {
    if (x < 0 || y < 0 || z < 0 || x >= d.x || y >= d.y || z >= d.z) return -1;
    return grid[denseGridIndex(d, x, y, z)];
}
