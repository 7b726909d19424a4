// Multigrid kernels of the solver: multicolour block Gauss-Seidel smoothing, residual with
// restriction by the transposed trilinear interpolation, and interpolation, for the finest level
// (operator applied element by element from Ke_ and the element factors) and for the assembled
// coarse levels (27 slots of 3x3 blocks, component-major).
//
// Built twice from this one file: by nvcc into PTX and by g++ (through cudacompat.h) into the
// host device's built-in module. Keep it free of shared memory, barriers and CUDA-only builtins.
// Fixed vertices are identity rows whose right-hand side is taken as 0 (whatever load lies on
// them), so their displacement is 0. One thread handles one vertex; thread index = (blockIdx.y*gridDim.x + blockIdx.x)*blockDim.x
// + threadIdx.x; threads beyond the work range return at once.

__device__ double Ke_[576];  // 24x24 element matrix, row-major, dof 3*node + component
__device__ double dt_;       // time step of the mass term

__device__ inline int threadItem() {
    return (int)((blockIdx.y * gridDim.x + blockIdx.x) * blockDim.x + threadIdx.x);
}

__device__ inline int gridLookup(const int* grid, int3 d, int x, int y, int z) {
    if (x < 0 || y < 0 || z < 0 || x >= d.x || y >= d.y || z >= d.z) return -1;
    return grid[(z * d.y + y) * d.x + x];
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
// D is not null). The 27 neighbours' displacements are gathered once (zero where fixed or
// missing), then each element adds one 3x24 product of its rows of Ke_.
__device__ inline void finestRow(int3 ED, const int* EG, int3 VD, const int* VG,
                                 const unsigned char* fixed, const float* E, const float* mass,
                                 const float* f, const double* u, int N, int v, int x, int y, int z,
                                 double* r, double* D) {
    double uu[81];
    for (int s = 0; s < 27; ++s) {
        int w = gridLookup(VG, VD, x + s % 3 - 1, y + (s / 3) % 3 - 1, z + s / 9 - 1);
        if (w < 0 || fixed[w]) {
            uu[3 * s] = uu[3 * s + 1] = uu[3 * s + 2] = 0.0;
        } else {
            uu[3 * s] = u[w]; uu[3 * s + 1] = u[N + w]; uu[3 * s + 2] = u[2 * N + w];
        }
    }
    double r0 = 0.0, r1 = 0.0, r2 = 0.0;
    if (D) for (int k = 0; k < 9; ++k) D[k] = 0.0;
    for (int c = 0; c < 8; ++c) {
        int i = c & 1, j = (c >> 1) & 1, k = c >> 2;
        int e = gridLookup(EG, ED, x - 1 + i, y - 1 + j, z - 1 + k);
        if (e < 0) continue;
        double factor = E[e];
        int p = 7 - c;
        double ue[24];
        for (int q = 0; q < 8; ++q) {
            int s = (k + (q >> 2)) * 9 + (j + ((q >> 1) & 1)) * 3 + i + (q & 1);
            ue[3 * q] = uu[3 * s]; ue[3 * q + 1] = uu[3 * s + 1]; ue[3 * q + 2] = uu[3 * s + 2];
        }
        const double* row = Ke_ + 3 * p * 24;
        double t0 = 0.0, t1 = 0.0, t2 = 0.0;
        for (int m = 0; m < 24; ++m) {
            t0 += row[m] * ue[m];
            t1 += row[24 + m] * ue[m];
            t2 += row[48 + m] * ue[m];
        }
        r0 += factor * t0; r1 += factor * t1; r2 += factor * t2;
        if (D) {
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) D[a * 3 + b] += factor * row[a * 24 + 3 * p + b];
        }
    }
    double m = mass[v] / (dt_ * dt_);
    r[0] = f[v] - r0 - m * u[v];
    r[1] = f[N + v] - r1 - m * u[N + v];
    r[2] = f[2 * N + v] - r2 - m * u[2 * N + v];
    if (D) { D[0] += m; D[4] += m; D[8] += m; }
}

// Coarse-level row of vertex v at (x,y,z): r = b - A*u, D = diagonal block (slot 13).
__device__ inline void coarseRow(int3 VD, const int* VG, const double* u, const double* b,
                                 const double* A, int N, int v, int x, int y, int z, double* r,
                                 double* D) {
    r[0] = b[v]; r[1] = b[N + v]; r[2] = b[2 * N + v];
    for (int s = 0; s < 27; ++s) {
        int w = gridLookup(VG, VD, x + s % 3 - 1, y + (s / 3) % 3 - 1, z + s / 9 - 1);
        if (w < 0) continue;
        double u0 = u[w], u1 = u[N + w], u2 = u[2 * N + w];
        const double* blk = A + (long long)N * (s * 9) + v;
        for (int a = 0; a < 3; ++a) {
            r[a] -= blk[(long long)N * (a * 3)] * u0 + blk[(long long)N * (a * 3 + 1)] * u1 +
                    blk[(long long)N * (a * 3 + 2)] * u2;
        }
    }
    const double* diag = A + (long long)N * (13 * 9) + v;
    for (int k = 0; k < 9; ++k) D[k] = diag[(long long)N * k];
}

extern "C" __global__ void __launch_bounds__(128)
GaussSeidelFinestLevelKernel(int3 ED, const int* EG, int3 VD, const int* VG, const unsigned* VP,
                             const unsigned char* fixed, const float* E, const float* mass,
                             const float* f, double* u, int N, int begin, int end) {
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
__device__ inline void forEachCoarseParent(int3 VDc, const int* VGc, int shift, int x, int y,
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

// Adds weight * r of a fine vertex at (x,y,z) to every coarse vertex that interpolates to it.
__device__ inline void restrictTo(int3 VDc, const int* VGc, double* bc, int Nc, int shift,
                                  int x, int y, int z, const double* r) {
    forEachCoarseParent(VDc, VGc, shift, x, y, z, [&](int c, double w) {
        atomicAdd(bc + c, w * r[0]);
        atomicAdd(bc + Nc + c, w * r[1]);
        atomicAdd(bc + 2 * Nc + c, w * r[2]);
    });
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

extern "C" __global__ void __launch_bounds__(128)
ComputeResidualAndRestrictFinestLevelKernel(int3 ED, const int* EG, int3 VD0, int3 VD2,
                                            const int* VG0, const int* VG2, const unsigned* VP0,
                                            const unsigned char* fixed, const float* E,
                                            const float* mass, const float* f, const double* u,
                                            double* b2, float* r_norm, int N0, int N2) {
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
    r_norm[v] = (float)(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    restrictTo(VD2, VG2, b2, N2, 2, x, y, z, r);
}

extern "C" __global__ void __launch_bounds__(128)
ComputeResidualAndRestrictKernel(int3 VDl, int3 VDm, const int* VGl, const int* VGm,
                                 const unsigned* VPl, const double* ul, const double* bl,
                                 double* bm, const double* Al, int Nl, int Nm) {
    int v = threadItem();
    if (v >= Nl) return;
    unsigned p = VPl[v];
    int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    double r[3], D[9];
    coarseRow(VDl, VGl, ul, bl, Al, Nl, v, x, y, z, r, D);
    restrictTo(VDm, VGm, bm, Nm, 1, x, y, z, r);
}

extern "C" __global__ void __launch_bounds__(32)
InterpolateFinestLevelKernel(int3 VD2, const int* VG2, const unsigned* VP0, double* u0,
                             const double* u2, int N0, int N2) {
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
