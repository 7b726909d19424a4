// Multigrid kernels of the solver: multicolour block Gauss-Seidel smoothing, the residual, its
// restriction by the transposed trilinear interpolation (a gather: each coarse vertex sums its
// fine points), and interpolation, for the finest level (operator applied element by element
// from Ke_ and the element factors) and for the assembled coarse levels (27 slots of 3x3
// blocks, component-major); fixed-order partial sums for the residual norm; and the Galerkin
// assembly of the coarse-level operators, element by element (see the Galerkin section below).
//
// Every output is written by one thread that sums in a fixed order, so results are the same bit
// for bit on every run, whatever the scheduling of blocks or the host device's thread count.
//
// Built twice from this one file: by nvcc into PTX and by g++ (through CudaCompat.h) into the
// host device's built-in module. Keep it free of shared memory, barriers, atomics, CUDA-only
// builtins and per-thread arrays indexed at run time (those end up on the local stack of a GPU
// thread): loops over small arrays are unrolled (OSTREL_UNROLL).
// Fixed vertices are identity rows whose right-hand side is taken as 0 (whatever load lies on
// them), so their displacement is 0. One thread handles one work item; thread index =
// (blockIdx.y*gridDim.x + blockIdx.x)*blockDim.x + threadIdx.x; threads beyond the work range
// return at once.

#include "GridIndex.h"

// Unrolls the next loop of constant trip count (CudaCompat.h gives g++ its own spelling), so
// that small arrays indexed by the loop variables stay in registers.
#ifndef OSTREL_UNROLL
#define OSTREL_UNROLL _Pragma("unroll")
#endif

__device__ double Ke_[576];  // 24x24 element matrix, row-major, dof 3*node + component
__device__ double dt_;       // time step of the mass term
// P^T Ke P for the 64 positions of a level-0 element inside its level-2 element (4:1): 36 node
// pairs (I <= J) of 3x3 blocks, at ((pair*64 + position)*9 + a*3 + b). Built from Ke_ by
// GalerkinPositionMatricesKernel.
__device__ double KeCoarse_[36 * 64 * 9];

__device__ inline int threadItem() {
    return (int)((blockIdx.y * gridDim.x + blockIdx.x) * blockDim.x + threadIdx.x);
}

__device__ inline long long threadItem64() {
    return ((long long)blockIdx.y * gridDim.x + blockIdx.x) * blockDim.x + threadIdx.x;
}

// Solves the 3x3 system D*x = r (row-major D); leaves x = 0 when D is singular.
__device__ inline void solve3(const double* D, const double* r, double* x) {
    double c00 = D[4] * D[8] - D[5] * D[7];
    double c01 = D[5] * D[6] - D[3] * D[8];
    double c02 = D[3] * D[7] - D[4] * D[6];
    double det = D[0] * c00 + D[1] * c01 + D[2] * c02;
    if (det == 0.0) { x[0] = x[1] = x[2] = 0.0; return; }
    double inv = 1.0 / det;
    double i00 = c00, i01 = D[2] * D[7] - D[1] * D[8], i02 = D[1] * D[5] - D[2] * D[4];
    double i10 = c01, i11 = D[0] * D[8] - D[2] * D[6], i12 = D[2] * D[3] - D[0] * D[5];
    double i20 = c02, i21 = D[1] * D[6] - D[0] * D[7], i22 = D[0] * D[4] - D[1] * D[3];
    x[0] = (i00 * r[0] + i01 * r[1] + i02 * r[2]) * inv;
    x[1] = (i10 * r[0] + i11 * r[1] + i12 * r[2]) * inv;
    x[2] = (i20 * r[0] + i21 * r[1] + i22 * r[2]) * inv;
}

// Finest-level row of vertex v (not fixed) at (x,y,z): r = f - sum over its elements of
// E[e]*Ke*u with fixed neighbours left out, minus the mass term; D = the diagonal block (when
// D is not null). Each of the 27 neighbours is read once and multiplied by the 3x3 blocks of
// Ke_ of every element that holds both vertices, scaled by that element's factor.
__device__ inline void finestRow(int3 ED, const int* __restrict__ EG, int3 VD,
                                 const int* __restrict__ VG,
                                 const unsigned char* __restrict__ fixed,
                                 const float* __restrict__ E, const float* __restrict__ mass,
                                 const float* __restrict__ f, const double* __restrict__ u, int N,
                                 int v, int x, int y, int z, double* r, double* D) {
    // Factors of the cells around v, cell c at (x-1+(c&1), y-1+(c>>1&1), z-1+(c>>2)), kept in
    // single precision as stored (half the registers) and widened where used.
    float F[8];
OSTREL_UNROLL
    for (int c = 0; c < 8; ++c) {
        int e = gridLookup(EG, ED, x - 1 + (c & 1), y - 1 + ((c >> 1) & 1), z - 1 + (c >> 2));
        F[c] = e < 0 ? 0.0f : E[e];
    }
    double r0 = 0.0, r1 = 0.0, r2 = 0.0;
OSTREL_UNROLL
    for (int dz = -1; dz <= 1; ++dz)
OSTREL_UNROLL
        for (int dy = -1; dy <= 1; ++dy)
OSTREL_UNROLL
            for (int dx = -1; dx <= 1; ++dx) {
                int w = gridLookup(VG, VD, x + dx, y + dy, z + dz);
                if (w < 0 || fixed[w]) continue;
                double u0 = u[w], u1 = u[N + w], u2 = u[2 * N + w];
                // Cells holding both vertices: per axis, cell offset i in {0,1} with the
                // neighbour's node coordinate d + 1 - i in {0,1}.
OSTREL_UNROLL
                for (int k = (dz > 0 ? 1 : 0); k <= (dz < 0 ? 0 : 1); ++k)
OSTREL_UNROLL
                    for (int j = (dy > 0 ? 1 : 0); j <= (dy < 0 ? 0 : 1); ++j)
OSTREL_UNROLL
                        for (int i = (dx > 0 ? 1 : 0); i <= (dx < 0 ? 0 : 1); ++i) {
                            const int c = i + 2 * j + 4 * k;
                            const int q = (dx + 1 - i) + 2 * (dy + 1 - j) + 4 * (dz + 1 - k);
                            const double* blk = Ke_ + 3 * (7 - c) * 24 + 3 * q;
                            const double Fc = (double)F[c];
                            r0 += Fc * (blk[0] * u0 + blk[1] * u1 + blk[2] * u2);
                            r1 += Fc * (blk[24] * u0 + blk[25] * u1 + blk[26] * u2);
                            r2 += Fc * (blk[48] * u0 + blk[49] * u1 + blk[50] * u2);
                        }
            }
    double m = mass[v] / (dt_ * dt_);
    r[0] = f[v] - r0 - m * u[v];
    r[1] = f[N + v] - r1 - m * u[N + v];
    r[2] = f[2 * N + v] - r2 - m * u[2 * N + v];
    if (D) {
OSTREL_UNROLL
        for (int k = 0; k < 9; ++k) D[k] = 0.0;
OSTREL_UNROLL
        for (int c = 0; c < 8; ++c) {
            const double* blk = Ke_ + 3 * (7 - c) * 24 + 3 * (7 - c);
OSTREL_UNROLL
            for (int a = 0; a < 3; ++a)
OSTREL_UNROLL
                for (int b = 0; b < 3; ++b) D[a * 3 + b] += (double)F[c] * blk[a * 24 + b];
        }
        D[0] += m; D[4] += m; D[8] += m;
    }
}

// Coarse-level row of vertex v at (x,y,z): r = b - A*u, D = diagonal block (slot 13).
__device__ inline void coarseRow(int3 VD, const int* __restrict__ VG,
                                 const double* __restrict__ u, const double* __restrict__ b,
                                 const double* __restrict__ A, int N, int v, int x, int y, int z,
                                 double* r, double* D) {
    r[0] = b[v]; r[1] = b[N + v]; r[2] = b[2 * N + v];
    for (int s = 0; s < 27; ++s) {
        int w = gridLookup(VG, VD, x + s % 3 - 1, y + (s / 3) % 3 - 1, z + s / 9 - 1);
        if (w < 0) continue;
        double u0 = u[w], u1 = u[N + w], u2 = u[2 * N + w];
        const double* blk = A + (long long)N * (s * 9) + v;
OSTREL_UNROLL
        for (int a = 0; a < 3; ++a) {
            r[a] -= blk[(long long)N * (a * 3)] * u0 + blk[(long long)N * (a * 3 + 1)] * u1 +
                    blk[(long long)N * (a * 3 + 2)] * u2;
        }
    }
    const double* diag = A + (long long)N * (13 * 9) + v;
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) D[k] = diag[(long long)N * k];
}

extern "C" __global__ void __launch_bounds__(128)
GaussSeidelFinestLevelKernel(int3 ED, const int* __restrict__ EG, int3 VD,
                             const int* __restrict__ VG, const unsigned* __restrict__ VP,
                             const unsigned char* __restrict__ fixed,
                             const float* __restrict__ E, const float* __restrict__ mass,
                             const float* __restrict__ f, double* u, int N, int begin, int end) {
    int v = begin + threadItem();
    if (v >= end) return;
    if (fixed[v]) {  // identity row with a zero right-hand side: a fixed vertex stays put
        u[v] = 0.0; u[N + v] = 0.0; u[2 * N + v] = 0.0;
        return;
    }
    unsigned p = VP[v];
    int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    double r[3], D[9], d[3];
    finestRow(ED, EG, VD, VG, fixed, E, mass, f, u, N, v, x, y, z, r, D);
    solve3(D, r, d);
    u[v] += d[0]; u[N + v] += d[1]; u[2 * N + v] += d[2];
}

extern "C" __global__ void __launch_bounds__(128)
GaussSeidelKernel(int3 VD, const int* VG, const unsigned* VP, double* u, const double* b,
                  const double* A, int N, int begin, int end) {
    int v = begin + threadItem();
    if (v >= end) return;
    unsigned p = VP[v];
    int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    double r[3], D[9], d[3];
    coarseRow(VD, VG, u, b, A, N, v, x, y, z, r, D);
    solve3(D, r, d);
    u[v] += d[0]; u[N + v] += d[1]; u[2 * N + v] += d[2];
}

// Calls visit(c, w) for every coarse vertex c that interpolates to the fine vertex at (x,y,z),
// with its trilinear weight w > 0; `shift` is log2 of the spacing ratio (2 for 4:1, 1 for 2:1).
template <class Visit>
__device__ inline void forEachCoarseParent(int3 VDc, const int* __restrict__ VGc, int shift, int x, int y,
                                           int z, Visit visit) {
    int ratio = 1 << shift;
    for (int kz = 0; kz < 2; ++kz) {
        int Z = (z >> shift) + kz, dz = z - Z * ratio;
        if (dz <= -ratio) continue;
        double wz = (double)(ratio - (dz < 0 ? -dz : dz)) / ratio;
        for (int ky = 0; ky < 2; ++ky) {
            int Y = (y >> shift) + ky, dy = y - Y * ratio;
            if (dy <= -ratio) continue;
            double wy = wz * (double)(ratio - (dy < 0 ? -dy : dy)) / ratio;
            for (int kx = 0; kx < 2; ++kx) {
                int X = (x >> shift) + kx, dx = x - X * ratio;
                if (dx <= -ratio) continue;
                double w = wy * (double)(ratio - (dx < 0 ? -dx : dx)) / ratio;
                if (w == 0.0) continue;
                int c = gridLookup(VGc, VDc, X, Y, Z);
                if (c >= 0) visit(c, w);
            }
        }
    }
}

// Where the residual of the vertex at (x,y,z) goes in the level's dense residual: 3 doubles per
// point of the vertex grid, (x,y,z) at 3*denseGridIndex + component. Points without a vertex
// are never written and stay as the host cleared them (zero). (Taken before the row is
// computed, which keeps the finest residual kernel within its registers on sm_80.)
__device__ inline double* denseResidualAt(int3 VD, double* __restrict__ rDense, int x, int y,
                                          int z) {
    return rDense + 3 * denseGridIndex(VD, x, y, z);
}

// P^T r for the coarse grid point of this thread (item = point of the dense coarse vertex grid
// VDc/VGc in z, y, x order, so that neighbouring threads read overlapping fine windows; points
// without a vertex do nothing): for the vertex c at (X,Y,Z), bc[c] (Nc vertices, component-major)
// = the sum over the fine points (X,Y,Z)*ratio + d, |d| < ratio = 2^kShift per axis, of the
// trilinear weight (ratio-|dx|)(ratio-|dy|)(ratio-|dz|)/ratio^3 times the fine residual, in z,
// y, x order. r is a fine level's dense residual (zero where no vertex is, so empty points add
// nothing).
template <int kShift>
__device__ inline void gatherRestrict(int3 VDf, const double* __restrict__ rDense, int3 VDc,
                                      const int* __restrict__ VGc, double* __restrict__ bc,
                                      int Nc) {
    const long long point = threadItem64();
    if (point >= (long long)VDc.x * VDc.y * VDc.z) return;
    const int c = VGc[point];
    if (c < 0) return;
    const int X = (int)(point % VDc.x), Y = (int)(point / VDc.x % VDc.y),
              Z = (int)(point / ((long long)VDc.x * VDc.y));
    const int ratio = 1 << kShift;
    const double scale = 1.0 / (double)(ratio * ratio * ratio);
    const int cx = X << kShift, cy = Y << kShift, cz = Z << kShift;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0;
    for (int dz = 1 - ratio; dz < ratio; ++dz) {
        const int z = cz + dz;
        if (z < 0 || z >= VDf.z) continue;
        const int wz = ratio - (dz < 0 ? -dz : dz);
        for (int dy = 1 - ratio; dy < ratio; ++dy) {
            const int y = cy + dy;
            if (y < 0 || y >= VDf.y) continue;
            const int wzy = wz * (ratio - (dy < 0 ? -dy : dy));
            const double* row = rDense + 3 * denseGridIndex(VDf, 0, y, z);
OSTREL_UNROLL
            for (int dx = 1 - ratio; dx < ratio; ++dx) {
                const int x = cx + dx;
                if (x < 0 || x >= VDf.x) continue;
                const double w = (double)(wzy * (ratio - (dx < 0 ? -dx : dx))) * scale;
                const double* p = row + 3 * x;
                s0 += w * p[0]; s1 += w * p[1]; s2 += w * p[2];
            }
        }
    }
    bc[c] = s0; bc[Nc + c] = s1; bc[2 * Nc + c] = s2;
}

// u of a fine vertex at (x,y,z) += P * uc.
__device__ inline void interpolateFrom(int3 VDc, const int* VGc, const double* uc, int Nc,
                                       int shift, int x, int y, int z, double* u, int N, int v) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0;
    forEachCoarseParent(VDc, VGc, shift, x, y, z, [&](int c, double w) {
        s0 += w * uc[c]; s1 += w * uc[Nc + c]; s2 += w * uc[2 * Nc + c];
    });
    u[v] += s0; u[N + v] += s1; u[2 * N + v] += s2;
}

// Finest residual r = f - K u of every level-0 vertex into the dense residual r0 (fixed
// vertices: r = -u, their identity row with a zero right-hand side), and its square
// |r|^2 into r_norm.
extern "C" __global__ void __launch_bounds__(128)
ComputeResidualFinestLevelKernel(int3 ED, const int* __restrict__ EG, int3 VD0,
                                 const int* __restrict__ VG0, const unsigned* __restrict__ VP0,
                                 const unsigned char* __restrict__ fixed,
                                 const float* __restrict__ E, const float* __restrict__ mass,
                                 const float* __restrict__ f, const double* __restrict__ u,
                                 double* __restrict__ r0, float* __restrict__ r_norm, int N0) {
    int v = threadItem();
    if (v >= N0) return;
    unsigned p = VP0[v];
    int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    double* out = denseResidualAt(VD0, r0, x, y, z);
    double r[3];
    if (fixed[v]) {
        r[0] = -u[v]; r[1] = -u[N0 + v]; r[2] = -u[2 * N0 + v];
    } else {
        finestRow(ED, EG, VD0, VG0, fixed, E, mass, f, u, N0, v, x, y, z, r, nullptr);
    }
    r_norm[v] = (float)(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    out[0] = r[0]; out[1] = r[1]; out[2] = r[2];
}

// Coarse residual r = b - A u of every level-l vertex into the dense residual rl.
extern "C" __global__ void __launch_bounds__(128)
ComputeResidualKernel(int3 VDl, const int* VGl, const unsigned* VPl, const double* ul,
                      const double* bl, double* rl, const double* Al, int Nl) {
    int v = threadItem();
    if (v >= Nl) return;
    unsigned p = VPl[v];
    int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    double* out = denseResidualAt(VDl, rl, x, y, z);
    double r[3], D[9];
    coarseRow(VDl, VGl, ul, bl, Al, Nl, v, x, y, z, r, D);
    out[0] = r[0]; out[1] = r[1]; out[2] = r[2];
}

// b2 = P^T r0 (4:1): one thread per point of the level-2 vertex grid, over its 7x7x7 level-0
// points.
extern "C" __global__ void __launch_bounds__(128)
RestrictFinestLevelKernel(int3 VD0, const double* __restrict__ r0, int3 VD2,
                          const int* __restrict__ VG2, double* __restrict__ b2, int N2) {
    gatherRestrict<2>(VD0, r0, VD2, VG2, b2, N2);
}

// bm = P^T rl (2:1, m = l+1): one thread per point of the level-m vertex grid, over its 3x3x3
// level-l points.
extern "C" __global__ void __launch_bounds__(128)
RestrictKernel(int3 VDl, const double* __restrict__ rl, int3 VDm, const int* __restrict__ VGm,
               double* __restrict__ bm, int Nm) {
    gatherRestrict<1>(VDl, rl, VDm, VGm, bm, Nm);
}

extern "C" __global__ void __launch_bounds__(32)
InterpolateFinestLevelKernel(int3 VD2, const int* __restrict__ VG2,
                             const unsigned* __restrict__ VP0, double* __restrict__ u0,
                             const double* __restrict__ u2, int N0, int N2) {
    int v = threadItem();
    if (v >= N0) return;
    unsigned p = VP0[v];
    interpolateFrom(VD2, VG2, u2, N2, 2, p & 0x7ff, (p >> 11) & 0x7ff, (p >> 22) & 0x3ff, u0, N0,
                    v);
}

extern "C" __global__ void __launch_bounds__(32)
InterpolateKernel(int3 VDm, const int* VGm, const unsigned* VPl, double* ul, const double* um,
                  int Nl, int Nm) {
    int v = threadItem();
    if (v >= Nl) return;
    unsigned p = VPl[v];
    interpolateFrom(VDm, VGm, um, Nm, 1, p & 0x7ff, (p >> 11) & 0x7ff, (p >> 22) & 0x3ff, ul, Nl,
                    v);
}

// ---- Fixed-order sums ----
//
// out[t] = in[t*chunk] + in[t*chunk + 1] + ... (up to `chunk` values, fewer in the last chunk),
// accumulated in double in index order, one thread per t < ceil(n/chunk). The host applies the
// step to its own output until one value is left, so n values are summed in an order set by n
// and chunk alone: the residual norm is the same on every run and every thread count.
template <class T>
__device__ inline void partialSum(const T* __restrict__ in, int n, double* __restrict__ out,
                                  int chunk) {
    const int t = threadItem();
    const long long begin = (long long)t * chunk;
    if (chunk <= 0 || begin >= n) return;
    const long long end = begin + chunk < n ? begin + chunk : n;
    double s = 0.0;
    for (long long i = begin; i < end; ++i) s += (double)in[i];
    out[t] = s;
}

// First step over single-precision values (the per-vertex squared residuals in r_norm).
extern "C" __global__ void __launch_bounds__(128)
PartialSumsOfFloatsKernel(const float* __restrict__ in, int n, double* __restrict__ out,
                          int chunk) {
    partialSum(in, n, out, chunk);
}

// Further steps over the partial sums.
extern "C" __global__ void __launch_bounds__(128)
PartialSumsKernel(const double* __restrict__ in, int n, double* __restrict__ out, int chunk) {
    partialSum(in, n, out, chunk);
}

// ---- Galerkin assembly of the coarse-level operators ----
//
// The operator of level 2 is P^T K P with K the level-0 operator (element matrices E[e]*Ke,
// fixed vertices as identity rows and columns, masses / dt^2 on the diagonal of free vertices)
// and P the 4:1 trilinear interpolation. Every level-0 element lies in one level-2 element, and
// its 8 vertices are interpolated from that element's 8 corners alone, so the operator is the
// sum over level-2 elements of 24x24 element matrices, each the sum over its up to 64 level-0
// elements of P_pos^T (element term) P_pos. An element with no fixed corner and no vertex term
// adds E[e] * KeCoarse_ of its position; the others (a fixed corner removes that node's rows and
// columns) are summed from Ke_ directly. The vertex terms (identity of a fixed vertex, mass of a
// free one) belong to the first existing element around the vertex (cells in z, y, x order), so
// each is counted once. Levels 3 and up follow element by element from the level above with the
// 8 positions of 2:1 coarsening; GalerkinStencilKernel then sums the element matrices around each
// vertex into its 27 slots. Element matrices are symmetric and stored as the 36 node pairs
// I <= J of 3x3 blocks: entry (pair*9 + a*3 + b) of element c at index c*324 + pair*9 + a*3+b.
// The element-matrix kernels run one thread per (element, node pair), item = c*36 + pair, so the
// threads of one element are neighbours and share what they read of it.
// Every output is written by one thread with a fixed order of summation, so the result does not
// depend on the device or on the scheduling of blocks.

// Index of the node pair (I, J), I <= J, in 0..35.
__device__ inline int nodePairIndex(int I, int J) { return I * (15 - I) / 2 + J; }

// Node pair of index t (the inverse of nodePairIndex).
__device__ inline void nodePairOf(int t, int& I, int& J) {
    I = 0;
    while (t >= 8 - I) {
        t -= 8 - I;
        ++I;
    }
    J = I + t;
}

constexpr int kElementMatrixEntries = 36 * 9;

// Adds w times the 3x3 block (I,J) of element c of a symmetric element-matrix array to s (the
// stored block (J,I) transposed when I > J).
__device__ inline void addElementBlock(const double* __restrict__ K, long long c, int I, int J,
                                       double w, double* s) {
    const bool stored = I <= J;
    const double* blk = K + c * kElementMatrixEntries + 9 * nodePairIndex(stored ? I : J, stored ? J : I);
    const int rowStride = stored ? 3 : 1, colStride = stored ? 1 : 3;
OSTREL_UNROLL
    for (int a = 0; a < 3; ++a)
OSTREL_UNROLL
        for (int b = 0; b < 3; ++b) s[a * 3 + b] += w * blk[a * rowStride + b * colStride];
}

// Trilinear weight of coarse corner I at node p of the fine element at `pos` inside its coarse
// element, for spacing ratio 1 << shift; pos holds the fine element's offsets in x, y, z
// (each 0 .. ratio-1) in fields of `shift` bits.
__device__ inline double cornerWeight(int shift, int pos, int p, int I) {
    const int ratio = 1 << shift, mask = ratio - 1;
    double w = 1.0;
OSTREL_UNROLL
    for (int axis = 0; axis < 3; ++axis) {
        const int x = ((pos >> (shift * axis)) & mask) + ((p >> axis) & 1);
        w *= (double)(((I >> axis) & 1) ? x : ratio - x);
    }
    return w / (double)(ratio * ratio * ratio);
}

// True when the element in cell `self` (0..7, i + 2j + 4k for the cell at (vx-1+i, vy-1+j,
// vz-1+k)) is the first existing element around the vertex at (vx,vy,vz).
__device__ inline bool ownsVertexTerm(const int* __restrict__ EG, int3 ED, int vx, int vy, int vz,
                                      int self) {
    for (int t = 0; t < self; ++t)
        if (gridLookup(EG, ED, vx - 1 + (t & 1), vy - 1 + ((t >> 1) & 1), vz - 1 + (t >> 2)) >= 0)
            return false;
    return true;
}

// Adds block (I,J) of P_pos^T (F * Ke_) P_pos to s: the element matrix of a level-0 element at
// `pos` in its level-2 element, interpolated to the level-2 corners, leaving out the rows and
// columns of the corners set in `skipped`.
__device__ inline void addInterpolatedElementBlock(int pos, int I, int J, double F,
                                                   unsigned skipped, double* s) {
    for (int p = 0; p < 8; ++p) {
        if ((skipped >> p) & 1) continue;
        const double wp = F * cornerWeight(2, pos, p, I);
        if (wp == 0.0) continue;
        for (int q = 0; q < 8; ++q) {
            if ((skipped >> q) & 1) continue;
            const double w = wp * cornerWeight(2, pos, q, J);
            if (w == 0.0) continue;
            const double* blk = Ke_ + 3 * p * 24 + 3 * q;
OSTREL_UNROLL
            for (int a = 0; a < 3; ++a)
OSTREL_UNROLL
                for (int b = 0; b < 3; ++b) s[a * 3 + b] += w * blk[a * 24 + b];
        }
    }
}

// KeCoarse_ from Ke_: one thread per (node pair, position), 36 * 64 = 2304 threads (n).
extern "C" __global__ void __launch_bounds__(128) GalerkinPositionMatricesKernel(int n) {
    const int item = threadItem();
    if (item >= n || item >= 36 * 64) return;
    const int pair = item / 64, pos = item % 64;
    int I, J;
    nodePairOf(pair, I, J);
    double s[9];
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) s[k] = 0.0;
    addInterpolatedElementBlock(pos, I, J, 1.0, 0u, s);
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) KeCoarse_[item * 9 + k] = s[k];
}

// One thread per level-0 element: whether it needs the explicit sum (a fixed corner, or a
// vertex term it owns) into S, and its factor into W unless it does (then 0), both at level-2
// element*64 + position.
// W and S are cleared by the host first (no element: factor 0, nothing special).
extern "C" __global__ void __launch_bounds__(128)
GalerkinWeightsKernel(int3 ED0, const int* __restrict__ EG0, const unsigned* __restrict__ EP0,
                      int3 VD0, const int* __restrict__ VG0,
                      const unsigned char* __restrict__ fixed, const float* __restrict__ mass,
                      const float* __restrict__ E, int3 ED2, const int* __restrict__ EG2,
                      float* __restrict__ W, unsigned char* __restrict__ S, int N0e) {
    const int e = threadItem();
    if (e >= N0e) return;
    const unsigned p = EP0[e];
    const int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    const int c = gridLookup(EG2, ED2, x >> 2, y >> 2, z >> 2);
    if (c < 0) return;  // never: the level-2 cell of an element is an element
    const long long idx = (long long)c * 64 + ((x & 3) + 4 * (y & 3) + 16 * (z & 3));
    unsigned char special = 0;
    for (int q = 0; q < 8 && !special; ++q) {
        const int vx = x + (q & 1), vy = y + ((q >> 1) & 1), vz = z + (q >> 2);
        const int v = gridLookup(VG0, VD0, vx, vy, vz);
        if (v < 0) continue;
        if (fixed[v] || (mass[v] != 0.0f && ownsVertexTerm(EG0, ED0, vx, vy, vz, 7 - q)))
            special = 1;
    }
    S[idx] = special;
    W[idx] = special ? 0.0f : E[e];
}

// Adds P_pos^T (element term) P_pos, block (I,J), of the level-0 element with factor F in cell
// (x,y,z) at `pos` in its level-2 element: F * Ke_ without the rows and columns of fixed
// corners, plus the vertex terms it owns.
__device__ inline void addExplicitFineElement(int3 ED0, const int* __restrict__ EG0, int3 VD0,
                                              const int* __restrict__ VG0,
                                              const unsigned char* __restrict__ fixed,
                                              const float* __restrict__ mass, int x, int y, int z,
                                              int pos, double F, int I, int J, double* s) {
    unsigned fixedCorners = 0;
    for (int q = 0; q < 8; ++q) {
        const int v = gridLookup(VG0, VD0, x + (q & 1), y + ((q >> 1) & 1), z + (q >> 2));
        if (v >= 0 && fixed[v]) fixedCorners |= 1u << q;
    }
    addInterpolatedElementBlock(pos, I, J, F, fixedCorners, s);
    for (int p = 0; p < 8; ++p) {
        const int vx = x + (p & 1), vy = y + ((p >> 1) & 1), vz = z + (p >> 2);
        const int v = gridLookup(VG0, VD0, vx, vy, vz);
        if (v < 0) continue;
        const double term = fixed[v] ? 1.0 : (double)mass[v] / (dt_ * dt_);
        if (term == 0.0 || !ownsVertexTerm(EG0, ED0, vx, vy, vz, 7 - p)) continue;
        const double w = term * cornerWeight(2, pos, p, I) * cornerWeight(2, pos, p, J);
        s[0] += w; s[4] += w; s[8] += w;
    }
}

// Level-2 element matrices: one thread per (level-2 element, node pair). Items run over tiles
// of 32 elements: item = (tile*36 + pair)*32 + element in tile, so that neighbouring threads
// share one pair's position matrices (read by every position of every element) and a tile's
// factors stay close at hand.
constexpr int kElementTile = 32;
extern "C" __global__ void __launch_bounds__(128)
GalerkinElementFinestLevelKernel(int3 ED0, const int* __restrict__ EG0, int3 VD0,
                                 const int* __restrict__ VG0,
                                 const unsigned char* __restrict__ fixed,
                                 const float* __restrict__ mass, const float* __restrict__ E,
                                 const unsigned* __restrict__ EP2, const float* __restrict__ W,
                                 const unsigned char* __restrict__ S, double* __restrict__ K2,
                                 int N2e) {
    const long long item = threadItem64();
    const long long tile = item / (36 * kElementTile);
    const int inTile = (int)(item - tile * (36 * kElementTile));
    const int pair = inTile / kElementTile;
    const long long c = tile * kElementTile + inTile % kElementTile;
    if (c >= N2e) return;
    int I, J;
    nodePairOf(pair, I, J);
    double s[9];
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) s[k] = 0.0;
    const double* M = KeCoarse_ + pair * 64 * 9;
    const float* Wc = W + c * 64;
    const unsigned char* Sc = S + c * 64;
    // Elements without fixed corners or vertex terms (all in most level-2 elements), without
    // branches; then the others, explicitly.
    for (int pos = 0; pos < 64; ++pos) {
        const double F = Wc[pos];
        const double* m = M + pos * 9;
OSTREL_UNROLL
        for (int k = 0; k < 9; ++k) s[k] += F * m[k];
    }
    unsigned char special = 0;
    for (int pos = 0; pos < 64; ++pos) special |= Sc[pos];
    if (special) {
        const unsigned cp = EP2[c];
        for (int pos = 0; pos < 64; ++pos) {
            if (!Sc[pos]) continue;
            const int x = 4 * (int)(cp & 0x7ff) + (pos & 3);
            const int y = 4 * (int)((cp >> 11) & 0x7ff) + ((pos >> 2) & 3);
            const int z = 4 * (int)((cp >> 22) & 0x3ff) + (pos >> 4);
            const int e = gridLookup(EG0, ED0, x, y, z);
            addExplicitFineElement(ED0, EG0, VD0, VG0, fixed, mass, x, y, z, pos, (double)E[e], I,
                                   J, s);
        }
    }
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) K2[c * kElementMatrixEntries + pair * 9 + k] = s[k];
}

// 2:1 trilinear weights times 8 of coarse corner I at the 8 nodes of the child element at
// `pos` (bits x, y, z), 4 bits per node: per axis the node at bit pb lies at x = cb + pb (cb the
// child's offset) and weighs x/2 at corner bit 1, (2-x)/2 at corner bit 0.
__device__ inline unsigned childWeights(int pos, int I) {
    unsigned packed = 0;
    for (int p = 0; p < 8; ++p) {
        unsigned w = 1;
OSTREL_UNROLL
        for (int axis = 0; axis < 3; ++axis) {
            const int x = ((pos >> axis) & 1) + ((p >> axis) & 1);
            w *= (unsigned)(((I >> axis) & 1) ? x : 2 - x);
        }
        packed |= w << (4 * p);
    }
    return packed;
}

// Level-l element matrices (l >= 3) from those of level l-1 (2:1): one thread per (level-l
// element, node pair), item = c*36 + pair; each of the up to 8 child elements adds Q^T Kf Q
// with Q the 2:1 trilinear weights of its position.
extern "C" __global__ void __launch_bounds__(128)
GalerkinElementKernel(int3 EDf, const int* __restrict__ EGf, const unsigned* __restrict__ EPc,
                      const double* __restrict__ Kf, double* __restrict__ Kc, int Nce) {
    const long long item = threadItem64();
    if (item >= 36LL * Nce) return;
    const long long c = item / 36;
    const int pair = (int)(item - c * 36);
    int I, J;
    nodePairOf(pair, I, J);
    const unsigned cp = EPc[c];
    const int X = 2 * (int)(cp & 0x7ff), Y = 2 * (int)((cp >> 11) & 0x7ff),
              Z = 2 * (int)((cp >> 22) & 0x3ff);
    double s[9];
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) s[k] = 0.0;
    for (int pos = 0; pos < 8; ++pos) {
        const int f = gridLookup(EGf, EDf, X + (pos & 1), Y + ((pos >> 1) & 1), Z + (pos >> 2));
        if (f < 0) continue;
        const unsigned wI = childWeights(pos, I), wJ = childWeights(pos, J);
        for (int p = 0; p < 8; ++p) {
            const unsigned wp = (wI >> (4 * p)) & 15u;
            if (wp == 0) continue;
            for (int q = 0; q < 8; ++q) {
                const unsigned wq = (wJ >> (4 * q)) & 15u;
                if (wq == 0) continue;
                addElementBlock(Kf, f, p, q, (double)(wp * wq) * (1.0 / 64.0), s);
            }
        }
    }
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) Kc[c * kElementMatrixEntries + pair * 9 + k] = s[k];
}

// The 27 slots of a level's operator from its element matrices: one thread per (grid point of
// the dense vertex grid, slot), item = point*27 + s, points in z, y, x order so that neighbouring
// threads read the same elements; points without a vertex do nothing. Slot s of vertex V sums
// block (I,J) of every element that holds V as corner I and the neighbour as corner J (0 when
// none does: missing neighbours' slots hold zeros).
extern "C" __global__ void __launch_bounds__(128)
GalerkinStencilKernel(int3 ED, const int* __restrict__ EG, int3 VD, const int* __restrict__ VG,
                      const unsigned* __restrict__ VP, const double* __restrict__ K,
                      double* __restrict__ A, int N) {
    const long long item = threadItem64();
    const long long points = (long long)VD.x * VD.y * VD.z;
    if (item >= 27 * points) return;
    const long long point = item / 27;
    const int s = (int)(item - point * 27);
    const int V = VG[point];
    if (V < 0) return;
    const unsigned p = VP[V];
    const int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    const int ex = s % 3 - 1, ey = (s / 3) % 3 - 1, ez = s / 9 - 1;
    double acc[9];
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) acc[k] = 0.0;
    // Cells (x-1+i, y-1+j, z-1+k) holding both vertices: per axis, the neighbour's corner bit
    // 1 - i + e must be 0 or 1.
    for (int k = (ez > 0 ? 1 : 0); k <= (ez < 0 ? 0 : 1); ++k)
        for (int j = (ey > 0 ? 1 : 0); j <= (ey < 0 ? 0 : 1); ++j)
            for (int i = (ex > 0 ? 1 : 0); i <= (ex < 0 ? 0 : 1); ++i) {
                const int c = gridLookup(EG, ED, x - 1 + i, y - 1 + j, z - 1 + k);
                if (c < 0) continue;
                const int J = (1 - i + ex) + 2 * (1 - j + ey) + 4 * (1 - k + ez);
                addElementBlock(K, c, 7 - (i + 2 * j + 4 * k), J, 1.0, acc);
            }
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) A[(long long)V + (long long)N * (s * 9 + k)] = acc[k];
}

// Looked up by the set-up but never launched by the solver: a copy and a scaled copy of an
// element field, so that the module holds every entry the set-up asks for.
extern "C" __global__ void pNormAverageKernel(const float* in, float* out, int n) {
    int e = threadItem();
    if (e >= n) return;
    out[e] = in[e];
}

extern "C" __global__ void pNormAverageCoefKernel(const float* in, const float* coef, float* out,
                                                  int n) {
    int e = threadItem();
    if (e >= n) return;
    out[e] = in[e] * coef[e];
}
