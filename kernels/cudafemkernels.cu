// Multigrid kernels of the solver: multicolour block Gauss-Seidel smoothing, the residual, its
// restriction by the transposed trilinear interpolation (a gather: each coarse vertex sums its
// fine points), and interpolation, for the finest level (operator applied element by element
// from Ke_ and the element factors) and for the assembled coarse levels (27 slots of 3x3
// blocks, component-major); fixed-order partial sums for the residual norm; the vector
// operations of conjugate gradients on the finest level; the Galerkin assembly of the
// coarse-level operators, element by element (see the Galerkin section below);
// and the optimizer's kernels with their fixed-order reductions (see the optimizer section at
// the end).
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

#include "OptimizerLayout.h"
#include "GridIndex.h"

// Unrolls the next loop of constant trip count (CudaCompat.h gives g++ its own spelling), so
// that small arrays indexed by the loop variables stay in registers.
#ifndef OSTREL_UNROLL
#define OSTREL_UNROLL _Pragma("unroll")
#endif
// The same for a loop over a small array whose iterations are independent: CudaCompat.h lets
// g++ vectorize it instead.
#ifndef OSTREL_UNROLL_VECTOR
#define OSTREL_UNROLL_VECTOR _Pragma("unroll")
#endif

// 24x24 element matrix, row-major, dof 3*node + component. In constant memory: the finest-level
// kernels and the energies read it at the same index in every thread of a warp.
__constant__ double Ke_[576];
// Ke_ in global memory, copied by GalerkinPositionMatricesKernel, for the assembly of elements
// with fixed corners, whose threads read it at indices of their own (constant memory serves
// one address of a warp at a time).
__device__ double KeCopy_[576];
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

// Solves the 3x3 system D*x = r (row-major D); leaves x = 0 when D is singular. Real is double,
// or on the host device a vector of doubles, one system per lane (kernels/HostLaneKernels.h).
template <typename Real>
__device__ __forceinline__ void solve3(const Real* D, const Real* r, Real* x) {
    const Real c00 = D[4] * D[8] - D[5] * D[7];
    const Real c01 = D[5] * D[6] - D[3] * D[8];
    const Real c02 = D[3] * D[7] - D[4] * D[6];
    const Real det = D[0] * c00 + D[1] * c01 + D[2] * c02;
    const auto singular = det == 0.0;
    const Real inv = 1.0 / det;
    const Real i00 = c00, i01 = D[2] * D[7] - D[1] * D[8], i02 = D[1] * D[5] - D[2] * D[4];
    const Real i10 = c01, i11 = D[0] * D[8] - D[2] * D[6], i12 = D[2] * D[3] - D[0] * D[5];
    const Real i20 = c02, i21 = D[1] * D[6] - D[0] * D[7], i22 = D[0] * D[4] - D[1] * D[3];
    x[0] = singular ? Real{} : (i00 * r[0] + i01 * r[1] + i02 * r[2]) * inv;
    x[1] = singular ? Real{} : (i10 * r[0] + i11 * r[1] + i12 * r[2]) * inv;
    x[2] = singular ? Real{} : (i20 * r[0] + i21 * r[1] + i22 * r[2]) * inv;
}

// The arithmetic of a finest-level row: r = f - sum over the vertex's elements of E[e]*Ke*u
// with left-out neighbours skipped, minus the mass term m*u; D = the diagonal block (when D is
// not null). F holds the factors of the 8 cells around the vertex, cell c at
// (x-1+(c&1), y-1+(c>>1&1), z-1+(c>>2)), in single precision as stored (half the registers)
// and widened where used, or already widened in the host device's lanes.
// neighbour(dx, dy, dz, u0, u1, u2) loads the displacement of the neighbour at that offset and
// returns false when it is left out. Real is double for one vertex, or on the host device a
// vector of doubles for vertices side by side (kernels/HostLaneKernels.h), with the same
// operations in the same order in every lane.
template <typename Real, typename Factor, typename Neighbour>
__device__ __forceinline__ void finestRowArithmetic(const Factor (&F)[8], Neighbour neighbour,
                                                    Real fv0, Real fv1, Real fv2, Real uv0,
                                                    Real uv1, Real uv2, Real m, Real* r,
                                                    Real* D) {
    Real r0{}, r1{}, r2{};
OSTREL_UNROLL
    for (int dz = -1; dz <= 1; ++dz)
OSTREL_UNROLL
        for (int dy = -1; dy <= 1; ++dy)
OSTREL_UNROLL
            for (int dx = -1; dx <= 1; ++dx) {
                Real u0, u1, u2;
                if (!neighbour(dx, dy, dz, u0, u1, u2)) continue;
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
                            const int o = 3 * (7 - c) * 24 + 3 * q;
                            const Real Fc = static_cast<Real>(F[c]);
                            r0 += Fc * (Ke_[o] * u0 + Ke_[o + 1] * u1 + Ke_[o + 2] * u2);
                            r1 += Fc * (Ke_[o + 24] * u0 + Ke_[o + 25] * u1 + Ke_[o + 26] * u2);
                            r2 += Fc * (Ke_[o + 48] * u0 + Ke_[o + 49] * u1 + Ke_[o + 50] * u2);
                        }
            }
    r[0] = fv0 - r0 - m * uv0;
    r[1] = fv1 - r1 - m * uv1;
    r[2] = fv2 - r2 - m * uv2;
    if (D) {
OSTREL_UNROLL
        for (int k = 0; k < 9; ++k) D[k] = Real{};
OSTREL_UNROLL
        for (int c = 0; c < 8; ++c) {
            const double* blk = Ke_ + 3 * (7 - c) * 24 + 3 * (7 - c);
OSTREL_UNROLL
            for (int a = 0; a < 3; ++a)
OSTREL_UNROLL
                for (int b = 0; b < 3; ++b)
                    D[a * 3 + b] += static_cast<Real>(F[c]) * blk[a * 24 + b];
        }
        D[0] += m; D[4] += m; D[8] += m;
    }
}

// Finest-level row of vertex v (not fixed) at (x,y,z): finestRowArithmetic with its cells'
// factors and its neighbours read from the grids, fixed neighbours left out. Each of the 27
// neighbours is read once and multiplied by the 3x3 blocks of Ke_ of every element that holds
// both vertices, scaled by that element's factor.
__device__ inline void finestRow(int3 ED, const int* __restrict__ EG, int3 VD,
                                 const int* __restrict__ VG,
                                 const unsigned char* __restrict__ fixed,
                                 const float* __restrict__ E, const float* __restrict__ mass,
                                 const float* __restrict__ f, const double* __restrict__ u, int N,
                                 int v, int x, int y, int z, double* r, double* D) {
    float F[8];
OSTREL_UNROLL
    for (int c = 0; c < 8; ++c) {
        int e = gridLookup(EG, ED, x - 1 + (c & 1), y - 1 + ((c >> 1) & 1), z - 1 + (c >> 2));
        F[c] = e < 0 ? 0.0f : E[e];
    }
    auto neighbour = [&](int dx, int dy, int dz, double& u0, double& u1, double& u2) {
        const int w = gridLookup(VG, VD, x + dx, y + dy, z + dz);
        if (w < 0 || fixed[w]) return false;
        u0 = u[w]; u1 = u[N + w]; u2 = u[2 * N + w];
        return true;
    };
    const double m = mass[v] / (dt_ * dt_);
    finestRowArithmetic<double>(F, neighbour, f[v], f[N + v], f[2 * N + v], u[v], u[N + v],
                                u[2 * N + v], m, r, D);
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
    double r[3];
    if (fixed[v]) {
        r[0] = -u[v]; r[1] = -u[N0 + v]; r[2] = -u[2 * N0 + v];
    } else {
        finestRow(ED, EG, VD0, VG0, fixed, E, mass, f, u, N0, v, x, y, z, r, nullptr);
    }
    // Taken after the row (with Ke_ in constant memory this keeps the kernel within its
    // registers on sm_90).
    double* out = denseResidualAt(VD0, r0, x, y, z);
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
// chunkSum: out[t] = term(t*chunk) + term(t*chunk + 1) + ... (up to `chunk` terms, fewer in the
// last chunk), accumulated in double in index order, one thread per t < ceil(n/chunk);
// partialSum sums the values in[i] so. The host applies partialSum to its own output until one
// value is left, so n values are summed in an order set by n and chunk alone: the residual norm
// is the same on every run and every thread count.
template <class Term>
__device__ inline void chunkSum(int n, double* __restrict__ out, int chunk, Term term) {
    const int t = threadItem();
    const long long begin = (long long)t * chunk;
    if (chunk <= 0 || begin >= n) return;
    const long long end = begin + chunk < n ? begin + chunk : n;
    double s = 0.0;
    for (long long i = begin; i < end; ++i) s += term(i);
    out[t] = s;
}

template <class T>
__device__ inline void partialSum(const T* __restrict__ in, int n, double* __restrict__ out,
                                  int chunk) {
    chunkSum(n, out, chunk, [in](long long i) { return (double)in[i]; });
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

// ---- Conjugate gradients on the finest level ----
//
// Vectors of n = 3N doubles, component-major like u. The per-chunk kernels below handle
// entries t*chunk .. t*chunk + chunk - 1 in index order on one thread t and write that chunk's
// sum to out[t], which PartialSumsKernel then reduces as for the residual norm: every dot
// product is summed in an order set by n and chunk alone.

// out = scale * (f - K u) for every level-0 vertex (0 for fixed vertices): the residual of u
// (scale 1), or with f = 0 and scale -1 the product K u restricted to the free vertices.
extern "C" __global__ void __launch_bounds__(128)
CgOperatorKernel(int3 ED, const int* __restrict__ EG, int3 VD, const int* __restrict__ VG,
                 const unsigned* __restrict__ VP, const unsigned char* __restrict__ fixed,
                 const float* __restrict__ E, const float* __restrict__ mass,
                 const float* __restrict__ f, const double* __restrict__ u,
                 double* __restrict__ out, double scale, int N) {
    int v = threadItem();
    if (v >= N) return;
    if (fixed[v]) {
        out[v] = 0.0; out[N + v] = 0.0; out[2 * N + v] = 0.0;
        return;
    }
    unsigned p = VP[v];
    double r[3];
    finestRow(ED, EG, VD, VG, fixed, E, mass, f, u, N, v, p & 0x7ff, (p >> 11) & 0x7ff,
              (p >> 22) & 0x3ff, r, nullptr);
    out[v] = scale * r[0]; out[N + v] = scale * r[1]; out[2 * N + v] = scale * r[2];
}

// out[t] = the sum of a[i]*b[i] over chunk t.
extern "C" __global__ void __launch_bounds__(128)
CgDotKernel(const double* __restrict__ a, const double* __restrict__ b, int n,
            double* __restrict__ out, int chunk) {
    chunkSum(n, out, chunk, [a, b](long long i) { return a[i] * b[i]; });
}

// p = z + beta*p (beta = 0: p = z, whatever p held).
extern "C" __global__ void __launch_bounds__(128)
CgDirectionKernel(const double* __restrict__ z, double* __restrict__ p, double beta, int n) {
    const int i = threadItem();
    if (i >= n) return;
    p[i] = beta == 0.0 ? z[i] : z[i] + beta * p[i];
}

// x += alpha*p and r -= alpha*q.
extern "C" __global__ void __launch_bounds__(128)
CgStepKernel(double alpha, const double* __restrict__ p, const double* __restrict__ q,
             double* __restrict__ x, double* __restrict__ r, int n) {
    const int i = threadItem();
    if (i >= n) return;
    x[i] += alpha * p[i];
    r[i] -= alpha * q[i];
}

// rf = r in single precision (the right-hand side of the preconditioning cycle) and out[t] =
// the sum of r[i]^2 over chunk t.
extern "C" __global__ void __launch_bounds__(128)
CgRoundKernel(const double* __restrict__ r, float* __restrict__ rf, int n,
              double* __restrict__ out, int chunk) {
    chunkSum(n, out, chunk, [r, rf](long long i) {
        rf[i] = (float)r[i];
        return r[i] * r[i];
    });
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

// Adds block (I,J) of P_pos^T (F * Ke) P_pos to s: the element matrix Ke (Ke_ or KeCopy_) of a
// level-0 element at `pos` in its level-2 element, interpolated to the level-2 corners, leaving
// out the rows and columns of the corners set in `skipped`.
__device__ inline void addInterpolatedElementBlock(const double* Ke, int pos, int I, int J,
                                                   double F, unsigned skipped, double* s) {
    for (int p = 0; p < 8; ++p) {
        if ((skipped >> p) & 1) continue;
        const double wp = F * cornerWeight(2, pos, p, I);
        if (wp == 0.0) continue;
        for (int q = 0; q < 8; ++q) {
            if ((skipped >> q) & 1) continue;
            const double w = wp * cornerWeight(2, pos, q, J);
            if (w == 0.0) continue;
            const double* blk = Ke + 3 * p * 24 + 3 * q;
OSTREL_UNROLL
            for (int a = 0; a < 3; ++a)
OSTREL_UNROLL
                for (int b = 0; b < 3; ++b) s[a * 3 + b] += w * blk[a * 24 + b];
        }
    }
}

// KeCoarse_ from Ke_: one thread per (node pair, position), 36 * 64 = 2304 threads (n); the
// first 576 threads also copy Ke_ into KeCopy_.
extern "C" __global__ void __launch_bounds__(128) GalerkinPositionMatricesKernel(int n) {
    const int item = threadItem();
    if (item >= n || item >= 36 * 64) return;
    if (item < 576) KeCopy_[item] = Ke_[item];
    const int pair = item / 64, pos = item % 64;
    int I, J;
    nodePairOf(pair, I, J);
    double s[9];
OSTREL_UNROLL
    for (int k = 0; k < 9; ++k) s[k] = 0.0;
    addInterpolatedElementBlock(Ke_, pos, I, J, 1.0, 0u, s);
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
    addInterpolatedElementBlock(KeCopy_, pos, I, J, F, fixedCorners, s);
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

// ---- Optimizer kernels ----
//
// One design iteration of the optimizer on the level-0 elements (n of them, element e in the
// cell of packed position EP[e]; flags of kernels/OptimizerLayout.h): stiffness factors, element
// energies from the level-0 displacement, sensitivities through the density filter and the
// projection, the candidate designs and densities of the multiplier search, their acceptance,
// and the reductions of the sums the host reads back.
//
// The filter reads a staging grid: the element grid padded by h cells on every side (size PD),
// element e staged at ((z+h)*PD.y + y+h)*PD.x + x+h; cells without an element hold 0. The taps
// are the weights and staging-grid offsets of every offset of positive weight, in dz, dy, dx
// order. Each element's sum runs over the taps in that order in double and is rounded as the
// host optimizer rounds it, so that on the host device the results equal its own bit for bit.
// The filter threads each take a run of kFilterRun cells of one x row (rows y + ED.y*z, each
// rounded up to whole runs); the staging grids carry kFilterRun cells of slack past their end
// for the lanes beyond a row's end, whose results are dropped.
//
// Reductions run in a fixed order: the threads form tiles of `lanes` threads over
// lanes * count items, and lane l of tile b combines items b*lanes*count + l + lanes*k,
// k = 0 .. count-1 (those below n), in that order into its partial out[b*lanes + l] (tileItems);
// the host repeats over the partials until one value is left. The lanes and counts depend only
// on the item count, so every sum and extreme is the same on every run, device and thread
// count; neighbouring threads read neighbouring items. Extremes skip NaN items (fmin/fmax); a
// partial without items is `none`.

// The first item of thread t of a reduction (see above); its items follow `lanes` apart.
__device__ inline long long firstTileItem(long long t, int lanes, int count) {
    return t / lanes * lanes * (long long)count + t % lanes;
}

// Staging-grid cell of the element at packed position p.
__device__ inline long long stagedCell(unsigned p, int3 PD, int h) {
    const long long x = (long long)(p & 0x7ff) + h, y = (long long)((p >> 11) & 0x7ff) + h,
                    z = (long long)((p >> 22) & 0x3ff) + h;
    return (z * PD.y + y) * PD.x + x;
}

// The candidate design of one element for the multiplier lambda: x * sqrt(ratio / lambda)
// (0 where the ratio is not positive), limited to x -+ move and to [lower, upper].
__device__ inline float candidateDesign(double x, double ratio, double lambda, double move,
                                        double lower, double upper) {
    const double r = ratio / lambda;
    double y = r > 0.0 ? x * sqrt(r) : 0.0;
    if (x - move > y)
        y = x - move;
    else if (y > x + move)
        y = x + move;
    y = y < lower ? lower : upper < y ? upper : y;
    return (float)y;
}

// E[e] = base * rho[e]^penalty.
extern "C" __global__ void __launch_bounds__(128)
StiffnessFactorsKernel(const float* __restrict__ rho, float* __restrict__ E, double base,
                       double penalty, int n) {
    const int e = threadItem();
    if (e >= n) return;
    E[e] = (float)(base * pow((double)rho[e], penalty));
}

// q[e] = max(0, E[e] * ue^T Ke_ ue) with ue the 24 displacement components of the element's
// corners (corner k at (x + (k&1), y + (k>>1&1), z + (k>>2)), component-major u of N vertices).
// Each row of Ke_ ue is summed over its columns in order, the rows interleaved so that they
// accumulate side by side; then ue^T (Ke_ ue) in row order.
extern "C" __global__ void __launch_bounds__(128)
ElementEnergiesKernel(const unsigned* __restrict__ EP, int3 VD, const int* __restrict__ VG,
                      const double* __restrict__ u, const float* __restrict__ E,
                      double* __restrict__ q, int N, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const unsigned p = EP[e];
    const int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    double ue[24], row[24];
OSTREL_UNROLL
    for (int k = 0; k < 8; ++k) {
        const int v = gridLookup(VG, VD, x + (k & 1), y + ((k >> 1) & 1), z + (k >> 2));
OSTREL_UNROLL
        for (int a = 0; a < 3; ++a) ue[3 * k + a] = u[(long long)a * N + v];
    }
OSTREL_UNROLL_VECTOR
    for (int i = 0; i < 24; ++i) row[i] = 0.0;
    // Ke_ is symmetric: column j, read along a row of the stored matrix, is contiguous.
OSTREL_UNROLL
    for (int j = 0; j < 24; ++j)
OSTREL_UNROLL_VECTOR
        for (int i = 0; i < 24; ++i) row[i] += Ke_[j * 24 + i] * ue[j];
    double s = 0.0;
OSTREL_UNROLL
    for (int i = 0; i < 24; ++i) s += ue[i] * row[i];
    const double energy = (double)E[e] * s;
    q[e] = energy < 0.0 ? 0.0 : energy;
}

// The projection's slope (1 - floor) * beta * (1 - tanh^2(beta*(v - eta))) / denominator.
__device__ inline double projectionSlope(double v, double beta, double eta, double floor,
                                         double denominator) {
    const double t = tanh(beta * (v - eta));
    return (1.0 - floor) * (beta * (1.0 - t * t) / denominator);
}

// The two factors of the sensitivity sums of element e, staged for the gather:
// stageA = dSolid * q * penalty / rhoSolid / W and stageB = dVolume / W, with dRho the slope of
// the projection (eta, denominator) at base[e] and dSolid the slope of the projection the solved
// densities rhoSolid came from (etaSolid, denominatorSolid; the same beta and floor), both 0
// where flags & zeroFlags, and dVolume = (1 - volumeMix) * dRho + volumeMix * dSolid (dRho
// itself for volumeMix 0). With etaSolid == eta (rhoSolid then the densities themselves) the
// two slopes are one.
extern "C" __global__ void __launch_bounds__(128)
SensitivityFactorsKernel(const unsigned* __restrict__ EP, int3 PD, int h,
                         const unsigned char* __restrict__ flags, unsigned char zeroFlags,
                         const float* __restrict__ base, const double* __restrict__ q,
                         const float* __restrict__ rhoSolid, const double* __restrict__ W,
                         double beta, double eta, double floor, double denominator,
                         double etaSolid, double denominatorSolid, double volumeMix,
                         double penalty, double* __restrict__ stageA,
                         double* __restrict__ stageB, int n) {
    const int e = threadItem();
    if (e >= n) return;
    double dRho = 0.0, dSolid = 0.0;
    if (!(flags[e] & zeroFlags)) {
        dRho = projectionSlope((double)base[e], beta, eta, floor, denominator);
        dSolid = etaSolid == eta ? dRho
                                 : projectionSlope((double)base[e], beta, etaSolid, floor,
                                                   denominatorSolid);
    }
    const long long c = stagedCell(EP[e], PD, h);
    stageA[c] = dSolid * q[e] * penalty / (double)rhoSolid[e] / W[e];
    const double dVolume =
        volumeMix == 0.0 ? dRho : (1.0 - volumeMix) * dRho + volumeMix * dSolid;
    stageB[c] = dVolume / W[e];
}

// stage[cell of e] = in[e].
extern "C" __global__ void __launch_bounds__(128)
StageDesignKernel(const unsigned* __restrict__ EP, int3 PD, int h, const float* __restrict__ in,
                  float* __restrict__ stage, int n) {
    const int e = threadItem();
    if (e >= n) return;
    stage[stagedCell(EP[e], PD, h)] = in[e];
}

// Elements of the run of filter item `item`; false when the run holds none.
__device__ inline bool filterRun(long long item, int3 ED, const int* __restrict__ EG, int3 PD,
                                 int h, int* e, long long& staged) {
    const long long runsPerRow = (ED.x + kFilterRun - 1) / kFilterRun;
    const long long row = item / runsPerRow;
    const int x0 = (int)(item - row * runsPerRow) * kFilterRun;
    const int y = (int)(row % ED.y), z = (int)(row / ED.y);
    const long long c = denseGridIndex(ED, x0, y, z);
    bool any = false;
OSTREL_UNROLL
    for (int i = 0; i < kFilterRun; ++i) {
        e[i] = x0 + i < ED.x ? EG[c + i] : -1;
        any = any || e[i] >= 0;
    }
    staged = ((long long)(z + h) * PD.y + (y + h)) * PD.x + (x0 + h);
    return any;
}

// The weighted sums over the taps, in tap order, of the kFilterRun staged values from `run` on.
__device__ inline void runTapSums(const float* __restrict__ run,
                                  const double* __restrict__ tapWeight,
                                  const long long* __restrict__ tapOffset, int taps,
                                  double* acc) {
OSTREL_UNROLL
    for (int i = 0; i < kFilterRun; ++i) acc[i] = 0.0;
    for (int k = 0; k < taps; ++k) {
        const double w = tapWeight[k];
        const float* src = run + tapOffset[k];
OSTREL_UNROLL
        for (int i = 0; i < kFilterRun; ++i) acc[i] += w * (double)src[i];
    }
}

// out[e] = (sum over the taps of w * staged design + voidDensity * padSum[e]) / W[e] (padSum
// null: no pad term), for the elements of one run.
extern "C" __global__ void __launch_bounds__(128)
FilterDesignKernel(int3 ED, const int* __restrict__ EG, int3 PD, int h,
                   const float* __restrict__ stage, const double* __restrict__ tapWeight,
                   const long long* __restrict__ tapOffset, int taps,
                   const double* __restrict__ W, const double* __restrict__ padSum,
                   double voidDensity, float* __restrict__ out, long long runs) {
    const long long item = threadItem64();
    if (item >= runs) return;
    int e[kFilterRun];
    long long c0;
    if (!filterRun(item, ED, EG, PD, h, e, c0)) return;
    double acc[kFilterRun];
    runTapSums(stage + c0, tapWeight, tapOffset, taps, acc);
OSTREL_UNROLL
    for (int i = 0; i < kFilterRun; ++i) {
        if (e[i] < 0) continue;
        double sum = acc[i];
        if (padSum) sum += voidDensity * padSum[e[i]];
        out[e[i]] = (float)(sum / W[e[i]]);
    }
}

// The filter's weight sums for one run: W[e] = sum over the taps of w * staged (the staging
// grid holds 1 at every element's cell, 0 elsewhere) + padSum[e] (padSum null: no pad term).
extern "C" __global__ void __launch_bounds__(128)
WeightSumsKernel(int3 ED, const int* __restrict__ EG, int3 PD, int h,
                 const float* __restrict__ stage, const double* __restrict__ tapWeight,
                 const long long* __restrict__ tapOffset, int taps,
                 const double* __restrict__ padSum, double* __restrict__ W, long long runs) {
    const long long item = threadItem64();
    if (item >= runs) return;
    int e[kFilterRun];
    long long c0;
    if (!filterRun(item, ED, EG, PD, h, e, c0)) return;
    double acc[kFilterRun];
    runTapSums(stage + c0, tapWeight, tapOffset, taps, acc);
OSTREL_UNROLL
    for (int i = 0; i < kFilterRun; ++i) {
        if (e[i] < 0) continue;
        W[e[i]] = padSum ? acc[i] + padSum[e[i]] : acc[i];
    }
}

// The design a reset starts from: held-empty variables at `lower`, other held ones at 1, the
// rest at `value`.
extern "C" __global__ void __launch_bounds__(128)
InitialDesignKernel(const unsigned char* __restrict__ flags, float value, float lower,
                    float* __restrict__ x, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const unsigned char f = flags[e];
    x[e] = (f & kElementHeldEmpty) ? lower : (f & kElementHeldDesign) ? 1.0f : value;
}

// The volume weights of the linear search, staged for the transposed filter: stage[cell of e]
// = 1 / W[e] for a designable element, 0 otherwise; and the designable elements' pad terms
// terms[e] = voidDensity * padSum[e] / W[e] (0 for the others and when padSum is null).
extern "C" __global__ void __launch_bounds__(128)
VolumeWeightsKernel(const unsigned* __restrict__ EP, int3 PD, int h,
                    const unsigned char* __restrict__ flags, const double* __restrict__ W,
                    const double* __restrict__ padSum, double voidDensity,
                    double* __restrict__ stage, double* __restrict__ terms, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const bool designable = !(flags[e] & (kElementKept | kElementHeldEmpty));
    stage[stagedCell(EP[e], PD, h)] = designable ? 1.0 / W[e] : 0.0;
    terms[e] = designable && padSum ? voidDensity * padSum[e] / W[e] : 0.0;
}

// The transposed filter sums of the sensitivities for one run: dq[e] = -sum of
// w * stageA, dv[e] = sum of w * stageB over the taps.
extern "C" __global__ void __launch_bounds__(128)
GatherSensitivitiesKernel(int3 ED, const int* __restrict__ EG, int3 PD, int h,
                          const double* __restrict__ stageA, const double* __restrict__ stageB,
                          const double* __restrict__ tapWeight,
                          const long long* __restrict__ tapOffset, int taps,
                          double* __restrict__ dq, double* __restrict__ dv, long long runs) {
    const long long item = threadItem64();
    if (item >= runs) return;
    int e[kFilterRun];
    long long c0;
    if (!filterRun(item, ED, EG, PD, h, e, c0)) return;
    double a[kFilterRun], b[kFilterRun];
OSTREL_UNROLL
    for (int i = 0; i < kFilterRun; ++i) a[i] = b[i] = 0.0;
    for (int k = 0; k < taps; ++k) {
        const double w = tapWeight[k];
        const long long o = c0 + tapOffset[k];
OSTREL_UNROLL
        for (int i = 0; i < kFilterRun; ++i) {
            a[i] += w * stageA[o + i];
            b[i] += w * stageB[o + i];
        }
    }
OSTREL_UNROLL
    for (int i = 0; i < kFilterRun; ++i) {
        if (e[i] < 0) continue;
        dq[e[i]] = -a[i];
        dv[e[i]] = b[i];
    }
}

// Partial extremes of |dq| / dv over the designable elements with dv > 0.
extern "C" __global__ void __launch_bounds__(128)
RatioRangeKernel(const unsigned char* __restrict__ flags, const double* __restrict__ dq,
                 const double* __restrict__ dv, double none, double* __restrict__ low,
                 double* __restrict__ high, long long n, long long T, int lanes, int count) {
    const long long t = threadItem64();
    if (t >= T) return;
    const long long first = firstTileItem(t, lanes, count);
    double lo = none, hi = none;
    for (long long e = first; e < n && e < first + (long long)lanes * count; e += lanes) {
        if ((flags[e] & (kElementKept | kElementHeldEmpty)) || !(dv[e] > 0.0)) continue;
        const double d = fabs(dq[e]) / dv[e];
        lo = fmin(lo, d);
        hi = fmax(hi, d);
    }
    low[t] = lo;
    high[t] = hi;
}

// The base of the search's candidates: a[e] = x * sqrt(-dq / dv) (0 where that ratio is not
// positive), so that a pass needs one product per element.
extern "C" __global__ void __launch_bounds__(128)
SearchBaseKernel(const float* __restrict__ x, const double* __restrict__ dq,
                 const double* __restrict__ dv, double* __restrict__ a, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const double ratio = -dq[e] / dv[e];
    a[e] = ratio > 0.0 ? (double)x[e] * sqrt(ratio) : 0.0;
}

// The candidate design for the multiplier lambda; held design variables keep x. The move
// limit is moves[e] where the element has its own (moves not null), else `move`.
extern "C" __global__ void __launch_bounds__(128)
CandidateDesignKernel(const unsigned char* __restrict__ flags, const float* __restrict__ x,
                      const double* __restrict__ dq, const double* __restrict__ dv, double lambda,
                      double move, const float* __restrict__ moves, double lower, double upper,
                      float* __restrict__ candidate, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const double m = moves ? (double)moves[e] : move;
    candidate[e] = (flags[e] & kElementHeldDesign)
                       ? x[e]
                       : candidateDesign((double)x[e], -dq[e] / dv[e], lambda, m, lower, upper);
}

// The elements' own move limits after an accepted update (before the candidates become the
// design): the change d = candidate - x against the last change last[e]: a reversed sign
// shrinks the limit, move = max(floorMove, move * shrink), the same sign grows it,
// move = min(maxMove, move * growth); d = 0 (a held variable, one at a bound) changes nothing.
// last[e] = d where d is not 0.
extern "C" __global__ void __launch_bounds__(128)
AdaptMovesKernel(const float* __restrict__ x, const float* __restrict__ candidate,
                 float* __restrict__ last, float* __restrict__ moves, double shrink,
                 double growth, double floorMove, double maxMove, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const double d = (double)candidate[e] - (double)x[e];
    if (d == 0.0) return;
    const double before = (double)last[e], m = (double)moves[e];
    if (d * before < 0.0)
        moves[e] = (float)(m * shrink < floorMove ? floorMove : m * shrink);
    else if (d * before > 0.0)
        moves[e] = (float)(m * growth > maxMove ? maxMove : m * growth);
    last[e] = (float)d;
}

// A mirror-symmetric design: the sensitivities of an element whose design variable is shared
// become the sums over its orbit's members that are not held (flags & heldFlags), taken in the
// orbit's order (orbit[e * m ...], ascending, -1 for no member), so that every member gets the
// same sums bit for bit. Held elements keep their own values. Elements first to first + count - 1,
// their sums at sumDq[e - first]; orbit, flags, dq and dv hold every element.
extern "C" __global__ void __launch_bounds__(128)
OrbitSumsKernel(const int* __restrict__ orbit, int m, const unsigned char* __restrict__ flags,
                unsigned char heldFlags, const double* __restrict__ dq,
                const double* __restrict__ dv, double* __restrict__ sumDq,
                double* __restrict__ sumDv, int first, int count) {
    const int i = threadItem();
    if (i >= count) return;
    const int e = first + i;
    if (flags[e] & heldFlags) {
        sumDq[i] = dq[e];
        sumDv[i] = dv[e];
        return;
    }
    double q = 0.0, v = 0.0;
    for (int k = 0; k < m; ++k) {
        const int j = orbit[(long long)e * m + k];
        if (j < 0 || (flags[j] & heldFlags)) continue;
        q += dq[j];
        v += dv[j];
    }
    sumDq[i] = q;
    sumDv[i] = v;
}

// One load case's element energies into the energies of the objective: q = weight * caseQ
// for the first case (first != 0), q += weight * caseQ for each further one, in case order.
extern "C" __global__ void __launch_bounds__(128)
AccumulateEnergiesKernel(const double* __restrict__ caseQ, double weight, int first,
                         double* __restrict__ q, int n) {
    const int e = threadItem();
    if (e >= n) return;
    const double add = weight * caseQ[e];
    q[e] = first ? add : q[e] + add;
}

// Candidate densities from the filtered candidate design xt: projected with
// floor + (1 - floor) * (base + tanh(beta*(xt - eta))) / denominator when `project`, else xt
// itself (already in rho); elements with flags & solidFlags 1 (the kept ones, or none at a
// reset without projection), held-empty ones emptyDensity. Partial sums of the designable
// elements' densities.
extern "C" __global__ void __launch_bounds__(128)
CandidateDensitiesKernel(const unsigned char* __restrict__ flags, unsigned char solidFlags,
                         const float* __restrict__ xt, float* __restrict__ rho, int project,
                         double beta, double eta, double floor, double base, double denominator,
                         float emptyDensity, double* __restrict__ partial, long long n,
                         long long T, int lanes, int count) {
    const long long t = threadItem64();
    if (t >= T) return;
    const long long first = firstTileItem(t, lanes, count);
    double sum = 0.0;
    for (long long e = first; e < n && e < first + (long long)lanes * count; e += lanes) {
        float r = project ? (float)(floor + (1.0 - floor) *
                                                ((base + tanh(beta * ((double)xt[e] - eta))) /
                                                 denominator))
                          : rho[e];
        if (flags[e] & solidFlags)
            r = 1.0f;
        else if (flags[e] & kElementHeldEmpty)
            r = emptyDensity;
        else if (!(flags[e] & kElementKept))
            sum += (double)r;
        rho[e] = r;
    }
    partial[t] = sum;
}

// The sums of an accepted design rho (after the design x): partial sums of rho over the
// elements not held empty and of rho * (1 - rho) over the designable ones, and partial maxima
// of |candidate - x|.
extern "C" __global__ void __launch_bounds__(128)
DesignSumsKernel(const unsigned char* __restrict__ flags, const float* __restrict__ x,
                 const float* __restrict__ candidate, const float* __restrict__ rho,
                 double* __restrict__ volume, double* __restrict__ sharpness,
                 double* __restrict__ change, long long n, long long T, int lanes, int count) {
    const long long t = threadItem64();
    if (t >= T) return;
    const long long first = firstTileItem(t, lanes, count);
    double v = 0.0, s = 0.0, d = 0.0;
    for (long long e = first; e < n && e < first + (long long)lanes * count; e += lanes) {
        const double r = (double)rho[e];
        if (!(flags[e] & kElementHeldEmpty)) v += r;
        if (!(flags[e] & (kElementKept | kElementHeldEmpty))) s += r * (1.0 - r);
        d = fmax(d, fabs((double)candidate[e] - (double)x[e]));
    }
    volume[t] = v;
    sharpness[t] = s;
    change[t] = d;
}

// One stage of a reduction: the sum (op 0), maximum (op 1) or minimum (op 2) of each thread's
// items of `in`, in their order; extremes skip NaN items (`none`, a NaN, when there are none).
extern "C" __global__ void __launch_bounds__(128)
ReduceKernel(const double* __restrict__ in, double* __restrict__ out, long long n, long long T,
             int lanes, int count, int op, double none) {
    const long long t = threadItem64();
    if (t >= T) return;
    const long long first = firstTileItem(t, lanes, count);
    double r = first < n ? in[first] : op == 0 ? 0.0 : none;
    for (long long i = first + lanes; i < n && i < first + (long long)lanes * count; i += lanes)
        r = op == 0 ? r + in[i] : op == 1 ? fmax(r, in[i]) : fmin(r, in[i]);
    out[t] = r;
}

// The passes of the search without projection, many multipliers at once: for `candidates`
// multipliers given by their scales (scale[k] = 1 / sqrt(lambda_k)), partial sums of c[e] * y[e]
// with y the candidate design a[e] * scale limited like candidateDesign and rounded to float
// (held design variables keep x), the same terms in the same order as one candidate alone.
// Thread i takes the tile i / groups and the kSearchGroup candidates from (i % groups) *
// kSearchGroup (groups = ceil(candidates / kSearchGroup)); candidate k's partial of tile t goes
// to partial[k * T + t].
extern "C" __global__ void __launch_bounds__(128)
SearchVolumesKernel(const unsigned char* __restrict__ flags, const float* __restrict__ x,
                    const double* __restrict__ a, const double* __restrict__ c,
                    const double* __restrict__ scale, int candidates, double move, double lower,
                    double upper, double* __restrict__ partial, long long n, long long T,
                    int lanes, int count) {
    const long long groups = (candidates + kSearchGroup - 1) / kSearchGroup;
    const long long i = threadItem64();
    if (i >= T * groups) return;
    const long long t = i / groups;
    const int k0 = (int)(i % groups) * kSearchGroup;
    double s[kSearchGroup], sum[kSearchGroup];
OSTREL_UNROLL
    for (int j = 0; j < kSearchGroup; ++j) {
        // Beyond the last candidate: the last one again, computed but not written.
        s[j] = scale[k0 + j < candidates ? k0 + j : candidates - 1];
        sum[j] = 0.0;
    }
    const long long first = firstTileItem(t, lanes, count);
    for (long long e = first; e < n && e < first + (long long)lanes * count; e += lanes) {
        // candidateDesign's limits without branches (the data decide them at random): the
        // lower move limit is never above the upper one, nor the lower bound above the upper.
        const double xe = (double)x[e], low = xe - move, high = xe + move, ae = a[e],
                     ce = c[e];
        const bool held = (flags[e] & kElementHeldDesign) != 0;
OSTREL_UNROLL_VECTOR
        for (int j = 0; j < kSearchGroup; ++j) {
            double y = ae > 0.0 ? ae * s[j] : 0.0;
            y = low > y ? low : y;
            y = y > high ? high : y;
            y = y < lower ? lower : y;
            y = upper < y ? upper : y;
            y = held ? xe : y;
            sum[j] += ce * (double)(float)y;
        }
    }
OSTREL_UNROLL
    for (int j = 0; j < kSearchGroup; ++j)
        if (k0 + j < candidates) partial[(long long)(k0 + j) * T + t] = sum[j];
}

// One stage of the sums of `columns` columns of n values at once (column k at in + k * n): the
// sum of each thread's items, in ReduceKernel's order; thread i sums column i / T, its result
// at out[i] (column k's T results at out + k * T).
extern "C" __global__ void __launch_bounds__(128)
ReduceColumnsKernel(const double* __restrict__ in, double* __restrict__ out, long long n,
                    long long T, int lanes, int count, int columns) {
    const long long i = threadItem64();
    if (i >= T * columns) return;
    const long long k = i / T, t = i % T;
    const double* column = in + k * n;
    const long long first = firstTileItem(t, lanes, count);
    double r = first < n ? column[first] : 0.0;
    for (long long j = first + lanes; j < n && j < first + (long long)lanes * count; j += lanes)
        r += column[j];
    out[i] = r;
}
