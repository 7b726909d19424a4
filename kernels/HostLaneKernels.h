#pragma once
// The host device's build of the two finest-level kernels that take most of a V-cycle's time,
// GaussSeidelFinestLevelKernel and ComputeResidualFinestLevelKernel, four threads at a time.
// The four lanes of an AVX2 vector of doubles take four consecutive threads whose vertices
// form a lane group: one colour's vertices at x, x+2, x+4, x+6 of one grid row, none fixed,
// away from the grid's ends in x, where each of the 27 neighbour offsets finds either a vertex
// for every lane, numbered consecutively across the four, or none for any lane (a solid
// region's interior and faces, where most vertices lie). Every other thread runs the kernel
// source's own code, thread by thread.
//
// The arithmetic is the kernel source's own (finestRowArithmetic and solve3, instantiated for a
// vector of four doubles): each lane performs its operations in their order, with the same
// roundings (the vectors are multiplied and added without fused operations), so that every
// result is the same bit for bit as the thread-by-thread execution. What is the lanes' own is
// where the data come from: the lane group's cells and neighbours. A fixed neighbour, which
// the kernel leaves out, enters a lane with a zero displacement: its terms are zeros (+0 or
// -0), and adding a zero leaves the lane's sum as it is (a sum of finite terms that starts at
// +0 is never -0).
//
// Included by HostKernels.cpp after the kernel source (it uses Ke_, dt_, the kernels and
// their index helpers). The launchers need a CPU with AVX2 (hostLanesAvailable()).

#include <cstdint>
#include <cstring>

namespace ostrel::lanes {

/// True when the CPU runs AVX2 instructions.
inline bool hostLanesAvailable() {
    __builtin_cpu_init();  // also when the first call comes before the library's own start-up
    return __builtin_cpu_supports("avx2");
}

#pragma GCC push_options
#pragma GCC target("avx2")

constexpr int kLanes = 4;
typedef double Lanes __attribute__((vector_size(32)));

inline Lanes loadLanes(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storeLanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// The four floats from p, each widened to double.
inline Lanes widenLanes(const float* p) { return Lanes{p[0], p[1], p[2], p[3]}; }

// Neighbour s of a vertex lies at offset (s%3 - 1, s/3%3 - 1, s/9 - 1).
constexpr int kNeighbours = 27;

// A lane group starting at vertex v: lane 0's position and the vertex of lane 0's neighbour s
// (lane i's is that + i), negative where no lane has that neighbour.
struct LaneGroup {
    int x = 0, y = 0, z = 0;
    int neighbour[kNeighbours] = {};
};

// Whether the vertices v .. v+3 (all below `end`) form a lane group; fills `group` when they do.
inline bool findLaneGroup(int3 VD, const int* __restrict__ VG, const unsigned* __restrict__ VP,
                          const unsigned char* __restrict__ fixed, int v, int end,
                          LaneGroup& group) {
    if (v < 0 || v > end - kLanes) return false;
    const unsigned p = VP[v];
    const int x = p & 0x7ff, y = (p >> 11) & 0x7ff, z = (p >> 22) & 0x3ff;
    // Every lane's neighbours in x inside the grid: x - 1 >= 0 and x + 6 + 1 < VD.x.
    if (x < 1 || x + 2 * kLanes - 1 >= VD.x) return false;
    // x + 2i stays within the 11 bits of x, so lane i packs as p + 2i.
    for (int i = 1; i < kLanes; ++i)
        if (VP[v + i] != p + 2u * unsigned(i) || fixed[v + i]) return false;
    if (fixed[v]) return false;
    // The neighbours at (x-1 .. x+7, y+dy, z+dz) form one strip of the vertex grid, in which
    // lane i's neighbour at dx = d - 1 is entry d + 2i. Checked without branches per entry.
    bool mismatch = false;
OSTREL_UNROLL
    for (int dz = -1; dz <= 1; ++dz)
OSTREL_UNROLL
        for (int dy = -1; dy <= 1; ++dy) {
            const int s = 3 * (dy + 1) + 9 * (dz + 1), ny = y + dy, nz = z + dz;
            if (ny < 0 || ny >= VD.y || nz < 0 || nz >= VD.z) {
                group.neighbour[s] = group.neighbour[s + 1] = group.neighbour[s + 2] = -1;
                continue;
            }
            const int* strip = VG + denseGridIndex(VD, x - 1, ny, nz);
OSTREL_UNROLL
            for (int d = 0; d < 3; ++d) {
                const int w = strip[d], a = strip[d + 2], b = strip[d + 4], c = strip[d + 6];
                // All four absent (every sign bit set), or all present and consecutive.
                mismatch |= w < 0 ? (a & b & c) >= 0
                                  : ((a - w - 1) | (b - w - 2) | (c - w - 3)) != 0;
                group.neighbour[s + d] = w;
            }
        }
    if (mismatch) return false;
    group.x = x;
    group.y = y;
    group.z = z;
    return true;
}

// finestRow of the four vertices v .. v+3 of `group`: the kernel source's finestRowArithmetic
// in four lanes, with the cells' factors and the neighbours of the lane group (a fixed
// neighbour lane with a zero displacement, as the header says).
inline void finestRowLanes(int3 ED, const int* __restrict__ EG,
                           const unsigned char* __restrict__ fixed, const float* __restrict__ E,
                           const float* __restrict__ mass, const float* __restrict__ f,
                           const double* __restrict__ u, int N, int v, const LaneGroup& group,
                           Lanes* r, Lanes* D) {
    const int x = group.x, y = group.y, z = group.z;
    // Factors of the cells around each lane's vertex, cell c at (x-1+(c&1), y-1+(c>>1&1),
    // z-1+(c>>2)) of lane 0, lane i's 2i cells further along x.
    // Cells outside the grid in y or z are outside for every lane (factor 0, as gridLookup's -1).
    Lanes F[8];
OSTREL_UNROLL
    for (int c = 0; c < 8; ++c) {
        const int cy = y - 1 + ((c >> 1) & 1), cz = z - 1 + (c >> 2);
        F[c] = Lanes{};
        if (cy < 0 || cy >= ED.y || cz < 0 || cz >= ED.z) continue;
        const int* cells = EG + denseGridIndex(ED, x - 1 + (c & 1), cy, cz);
OSTREL_UNROLL
        for (int i = 0; i < kLanes; ++i) {
            const int e = cells[2 * i];
            F[c][i] = e < 0 ? 0.0 : (double)E[e];
        }
    }
    auto neighbour = [&](int dx, int dy, int dz, Lanes& u0, Lanes& u1, Lanes& u2) {
        const int w = group.neighbour[(dx + 1) + 3 * (dy + 1) + 9 * (dz + 1)];
        if (w < 0) return false;
        u0 = loadLanes(u + w);
        u1 = loadLanes(u + N + w);
        u2 = loadLanes(u + 2 * N + w);
        uint32_t fixedLanes;
        std::memcpy(&fixedLanes, fixed + w, sizeof fixedLanes);
        if (fixedLanes)
            for (int i = 0; i < kLanes; ++i)
                if (fixed[w + i]) u0[i] = u1[i] = u2[i] = 0.0;
        return true;
    };
    const Lanes m = widenLanes(mass + v) / (dt_ * dt_);
    finestRowArithmetic<Lanes>(F, neighbour, widenLanes(f + v), widenLanes(f + N + v),
                               widenLanes(f + 2 * N + v), loadLanes(u + v), loadLanes(u + N + v),
                               loadLanes(u + 2 * N + v), m, r, D);
}

template <class T>
T param(void** params, int i) {
    return *static_cast<T*>(params[i]);
}

// The first item of the current block (its thread 0's threadItem()).
inline int blockFirstItem() { return (int)((blockIdx.y * gridDim.x + blockIdx.x) * blockDim.x); }

// Launcher of GaussSeidelFinestLevelKernel: the current block's threads, lane groups four at a
// time. The vertices of one launch (one colour) read only other colours' displacements, so the
// order of its threads does not matter.
inline void gaussSeidelFinestLevelBlock(void** params) {
    const int3 ED = param<int3>(params, 0), VD = param<int3>(params, 2);
    const int* EG = param<const int*>(params, 1);
    const int* VG = param<const int*>(params, 3);
    const unsigned* VP = param<const unsigned*>(params, 4);
    const unsigned char* fixed = param<const unsigned char*>(params, 5);
    const float* E = param<const float*>(params, 6);
    const float* mass = param<const float*>(params, 7);
    const float* f = param<const float*>(params, 8);
    double* u = param<double*>(params, 9);
    const int N = param<int>(params, 10), begin = param<int>(params, 11),
              end = param<int>(params, 12);
    const unsigned n = blockDim.x;
    const int first = begin + blockFirstItem();
    LaneGroup group;
    for (unsigned t = 0; t < n;) {
        const int v = first + (int)t;
        if (t + kLanes <= n && findLaneGroup(VD, VG, VP, fixed, v, end, group)) {
            Lanes r[3], D[9], d[3];
            finestRowLanes(ED, EG, fixed, E, mass, f, u, N, v, group, r, D);
            solve3<Lanes>(D, r, d);
            storeLanes(u + v, loadLanes(u + v) + d[0]);
            storeLanes(u + N + v, loadLanes(u + N + v) + d[1]);
            storeLanes(u + 2 * N + v, loadLanes(u + 2 * N + v) + d[2]);
            t += kLanes;
        } else {
            threadIdx.x = t;
            ::GaussSeidelFinestLevelKernel(ED, EG, VD, VG, VP, fixed, E, mass, f, u, N, begin,
                                           end);
            ++t;
        }
    }
}

// Launcher of ComputeResidualFinestLevelKernel: the current block's threads, lane groups four
// at a time.
inline void computeResidualFinestLevelBlock(void** params) {
    const int3 ED = param<int3>(params, 0), VD = param<int3>(params, 2);
    const int* EG = param<const int*>(params, 1);
    const int* VG = param<const int*>(params, 3);
    const unsigned* VP = param<const unsigned*>(params, 4);
    const unsigned char* fixed = param<const unsigned char*>(params, 5);
    const float* E = param<const float*>(params, 6);
    const float* mass = param<const float*>(params, 7);
    const float* f = param<const float*>(params, 8);
    const double* u = param<const double*>(params, 9);
    double* rDense = param<double*>(params, 10);
    float* rNorm = param<float*>(params, 11);
    const int N = param<int>(params, 12);
    const unsigned n = blockDim.x;
    const int first = blockFirstItem();
    LaneGroup group;
    for (unsigned t = 0; t < n;) {
        const int v = first + (int)t;
        if (t + kLanes <= n && findLaneGroup(VD, VG, VP, fixed, v, N, group)) {
            Lanes r[3];
            finestRowLanes(ED, EG, fixed, E, mass, f, u, N, v, group, r, nullptr);
            const Lanes squares = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
            for (int i = 0; i < kLanes; ++i) {
                double* out = rDense + 3 * denseGridIndex(VD, group.x + 2 * i, group.y, group.z);
                rNorm[v + i] = (float)squares[i];
                out[0] = r[0][i]; out[1] = r[1][i]; out[2] = r[2][i];
            }
            t += kLanes;
        } else {
            threadIdx.x = t;
            ::ComputeResidualFinestLevelKernel(ED, EG, VD, VG, VP, fixed, E, mass, f, u, rDense,
                                               rNorm, N);
            ++t;
        }
    }
}

#pragma GCC pop_options

}  // namespace ostrel::lanes
