#pragma once
// The smallest member and the narrowest gap of a density field on the element grid, measured
// with Euclidean distance transforms, for the tests and the bench's member-size measurement.
//
// The field (cell-centred densities, x fastest, with a flag per cell for the cells of the
// model) is supersampled `supersample` times per axis by trilinear interpolation (indices
// clamped at the grid's faces); solid is density >= 0.5 in a cell of the model. A point lies in
// a member at least d thick when a ball of diameter d inside the solid holds it (the opening of
// the solid by that ball); the solid points outside every such ball are thin. A connected set
// of thin points (26 neighbours) is a member thinner than d when it reaches `minLength` voxels
// along some axis, holds a point at least d/4 from the void, and reaches at least minLength / 2
// from every such ball, measured along paths inside the solid (a bar minLength long between
// thick parts, a fin standing minLength / 2 out of one): the thin rims along the edges and corners of thicker members, which no ball
// reaches either, stay within (1 - 1/sqrt(3)) d/2 (about 0.21 d) of the void, and their
// rounded edges and voxel steps within a voxel or so of the balls of the thick member; the core
// of a member thinner than d does neither. The thinnest member
// is the largest d (in steps of 1/supersample voxel) below which no such set exists: d is
// raised a voxel at a time until one appears, then the last voxel is bisected. Gaps likewise on
// the void, where the space beyond the grid's faces and the cells outside the model count as
// void (a gap between a member and the model's boundary is no gap). A plate t voxels thick
// measures t, a square bar t x t t, a gap of t voxels between two plates t. Cells marked kept
// (the elements a scene holds solid at supports and loads, as thin as the scene makes them)
// are solid, but a thin piece counts as a member only through its points outside them.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

namespace ostrel::testing {

struct DensityGrid {
    int nx = 0, ny = 0, nz = 0;
    std::vector<double> density;   ///< nx*ny*nz, x fastest
    std::vector<uint8_t> inModel;  ///< 1 for the model's cells (empty: all)
    std::vector<uint8_t> kept;     ///< 1 for the cells held solid (empty: none)
};

struct MemberSizes {
    double thinnestMember = 0;  ///< voxel lengths (0: no solid)
    double narrowestGap = 0;    ///< voxel lengths (0: no void inside the model)
};

namespace member_size_detail {

constexpr double kFar = 1e30;

/// One pass of the squared distance transform along a line of n values (f: 0 inside the
/// target set, kFar elsewhere), lower envelope of parabolas.
inline void transformLine(std::vector<double>& f, int n, std::vector<double>& d,
                          std::vector<int>& v, std::vector<double>& z) {
    int k = 0;
    v[0] = 0;
    z[0] = -kFar;
    z[1] = kFar;
    for (int q = 1; q < n; ++q) {
        if (f[size_t(q)] >= kFar) continue;
        if (f[size_t(v[0])] >= kFar) {
            v[0] = q;
            continue;
        }
        double s;
        while (true) {
            const int p = v[size_t(k)];
            s = ((f[size_t(q)] + double(q) * q) - (f[size_t(p)] + double(p) * p)) / (2.0 * (q - p));
            if (s <= z[size_t(k)] && k > 0) {
                --k;
                continue;
            }
            break;
        }
        ++k;
        v[size_t(k)] = q;
        z[size_t(k)] = s;
        z[size_t(k) + 1] = kFar;
    }
    if (f[size_t(v[0])] >= kFar) {
        for (int q = 0; q < n; ++q) d[size_t(q)] = kFar;
        return;
    }
    k = 0;
    for (int q = 0; q < n; ++q) {
        while (z[size_t(k) + 1] < q) ++k;
        const int p = v[size_t(k)];
        d[size_t(q)] = double(q - p) * (q - p) + f[size_t(p)];
    }
}

/// Squared Euclidean distance of every point of a dims grid to the nearest point with
/// target[i] set (kFar where there is none).
inline std::vector<double> squaredDistance(const std::vector<uint8_t>& target,
                                           const std::array<int, 3>& dims) {
    const size_t N = target.size();
    std::vector<double> g(N);
    for (size_t i = 0; i < N; ++i) g[i] = target[i] ? 0.0 : kFar;
    const int longest = std::max({dims[0], dims[1], dims[2]});
    const size_t line = size_t(longest);
    std::vector<double> f(line, 0.0), d(line, 0.0), z(line + 1, 0.0);
    std::vector<int> v(line, 0);
    const size_t stride[3] = {1, size_t(dims[0]), size_t(dims[0]) * size_t(dims[1])};
    for (int axis = 0; axis < 3; ++axis) {
        const int n = dims[axis];
        const int a = (axis + 1) % 3, b = (axis + 2) % 3;
        for (int j = 0; j < dims[b]; ++j)
            for (int i = 0; i < dims[a]; ++i) {
                const size_t base = size_t(i) * stride[a] + size_t(j) * stride[b];
                for (int q = 0; q < n; ++q) f[size_t(q)] = g[base + size_t(q) * stride[axis]];
                transformLine(f, n, d, v, z);
                for (int q = 0; q < n; ++q)
                    g[base + size_t(q) * stride[axis]] = std::min(d[size_t(q)], kFar);
            }
    }
    return g;
}

/// The length of the shortest path (steps to the 26 neighbours, 1, sqrt 2 or sqrt 3 long)
/// inside `set` from its points that are not `thin` to each point, up to `cutoff`: cutoff for
/// the points it does not reach within it, 0 for the points that are not thin.
inline std::vector<double> pathDistance(const std::vector<uint8_t>& set,
                                        const std::vector<uint8_t>& thin,
                                        const std::array<int, 3>& dims, double cutoff) {
    const size_t N = set.size();
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    std::vector<double> d(N, cutoff);
    using Item = std::pair<double, size_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
    const auto neighbours = [&](size_t c, auto&& visit) {
        const int x = int(c % size_t(nx)), y = int(c / size_t(nx) % size_t(ny)),
                  z = int(c / (size_t(nx) * size_t(ny)));
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int X = x + dx, Y = y + dy, Z = z + dz;
                    if ((dx | dy | dz) == 0 || X < 0 || Y < 0 || Z < 0 || X >= nx || Y >= ny ||
                        Z >= nz)
                        continue;
                    visit((size_t(Z) * size_t(ny) + size_t(Y)) * size_t(nx) + size_t(X),
                          std::sqrt(double(dx * dx + dy * dy + dz * dz)));
                }
    };
    for (size_t c = 0; c < N; ++c) {
        if (!set[c] || thin[c]) continue;
        d[c] = 0.0;
        bool edge = false;
        neighbours(c, [&](size_t o, double) { edge = edge || thin[o]; });
        if (edge) queue.push({0.0, c});
    }
    while (!queue.empty()) {
        const auto [at, c] = queue.top();
        queue.pop();
        if (at > d[c]) continue;
        neighbours(c, [&, at = at](size_t o, double step) {
            if (!set[o] || !(at + step < d[o])) return;
            d[o] = at + step;
            queue.push({d[o], o});
        });
    }
    return d;
}

/// True when the points of `set` outside every ball of diameter D (grid units) that fits in
/// `set` hold a connected piece at least `length` points long along an axis with a point at
/// least D/4 from the outside and a point at least length / 2 from every such ball. `inside`
/// is the squared distance of each point to the nearest point outside the set. Points with
/// `ignored` set (null: none) count as neither point.
inline bool hasThinPiece(const std::vector<uint8_t>& set, const std::vector<double>& inside,
                         const std::array<int, 3>& dims, int D, int length,
                         const std::vector<uint8_t>* ignored) {
    const size_t N = set.size();
    const double r = 0.5 * D;
    std::vector<uint8_t> centres(N);
    for (size_t i = 0; i < N; ++i) centres[i] = set[i] && inside[i] >= r * r;
    const std::vector<double> toCentre = squaredDistance(centres, dims);
    std::vector<uint8_t> thin(N);
    for (size_t i = 0; i < N; ++i) thin[i] = set[i] && !(toCentre[i] < r * r);
    const std::vector<double> reachOf = pathDistance(set, thin, dims, 0.5 * length);
    // Connected pieces of thin points, 26 neighbours, by a stack.
    std::vector<uint8_t> seen(N, 0);
    std::vector<size_t> stack;
    const int nx = dims[0], ny = dims[1], nz = dims[2];
    for (size_t start = 0; start < N; ++start) {
        if (!thin[start] || seen[start]) continue;
        int lo[3] = {nx, ny, nz}, hi[3] = {-1, -1, -1};
        double deepest = 0.0, reach = 0.0;
        stack.assign(1, start);
        seen[start] = 1;
        while (!stack.empty()) {
            const size_t c = stack.back();
            stack.pop_back();
            const int x = int(c % size_t(nx)), y = int(c / size_t(nx) % size_t(ny)),
                      z = int(c / (size_t(nx) * size_t(ny)));
            const int p[3] = {x, y, z};
            if (!ignored || !(*ignored)[c]) {
                deepest = std::max(deepest, inside[c]);
                reach = std::max(reach, reachOf[c]);
            }
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], p[a]);
                hi[a] = std::max(hi[a], p[a]);
            }
            for (int dz = -1; dz <= 1; ++dz)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int X = x + dx, Y = y + dy, Z = z + dz;
                        if (X < 0 || Y < 0 || Z < 0 || X >= nx || Y >= ny || Z >= nz) continue;
                        const size_t o = (size_t(Z) * size_t(ny) + size_t(Y)) * size_t(nx) +
                                         size_t(X);
                        if (thin[o] && !seen[o]) {
                            seen[o] = 1;
                            stack.push_back(o);
                        }
                    }
        }
        if (deepest < 0.0625 * D * D || reach < 0.5 * length) continue;
        for (int a = 0; a < 3; ++a)
            if (hi[a] - lo[a] + 1 >= length) return true;
    }
    return false;
}

/// The largest diameter D (grid units, 1 to limit) below which `set` has no thin piece of
/// `length` (see above), searched `step` units at a time; 0 when the set is empty.
inline int smallestSize(const std::vector<uint8_t>& set, const std::array<int, 3>& dims,
                        int length, int limit, int step,
                        const std::vector<uint8_t>* ignored = nullptr) {
    if (std::find(set.begin(), set.end(), uint8_t(1)) == set.end()) return 0;
    std::vector<uint8_t> outside(set.size());
    for (size_t i = 0; i < set.size(); ++i) outside[i] = !set[i];
    const std::vector<double> inside = squaredDistance(outside, dims);
    // Up a voxel (step) at a time to the first D with a thin piece, then bisect that voxel.
    int good = 0, bad = limit + 1;
    for (int D = step; D <= limit; D += step) {
        if (hasThinPiece(set, inside, dims, D, length, ignored)) {
            bad = D;
            break;
        }
        good = D;
    }
    while (bad - good > 1 && bad <= limit) {
        const int D = (good + bad) / 2;
        if (hasThinPiece(set, inside, dims, D, length, ignored))
            bad = D;
        else
            good = D;
    }
    if (bad > limit) good = limit;
    return good;
}

}  // namespace member_size_detail

/// The thinnest member and the narrowest gap of `grid` (see above), each at most `limit` voxels.
inline MemberSizes measureMemberSizes(const DensityGrid& grid, int supersample = 4,
                                      double minLength = 4.0, double limit = 16.0) {
    using namespace member_size_detail;
    const int s = supersample;
    // A margin of void around the grid: wide enough for half the largest ball measured.
    const int pad = int(std::ceil(0.5 * limit * s)) + 2;
    const std::array<int, 3> dims = {grid.nx * s + 2 * pad, grid.ny * s + 2 * pad,
                                     grid.nz * s + 2 * pad};
    const size_t N = size_t(dims[0]) * size_t(dims[1]) * size_t(dims[2]);
    const auto cell = [&](int x, int y, int z) {
        return (size_t(z) * size_t(grid.ny) + size_t(y)) * size_t(grid.nx) + size_t(x);
    };
    const auto model = [&](size_t c) { return grid.inModel.empty() || grid.inModel[c] != 0; };
    std::vector<uint8_t> solid(N, 0), voids(N, 1), held(N, 0);
    for (int Z = 0; Z < grid.nz * s; ++Z)
        for (int Y = 0; Y < grid.ny * s; ++Y)
            for (int X = 0; X < grid.nx * s; ++X) {
                const double p[3] = {(X + 0.5) / s - 0.5, (Y + 0.5) / s - 0.5,
                                     (Z + 0.5) / s - 0.5};
                const int n[3] = {grid.nx, grid.ny, grid.nz};
                int i0[3], i1[3];
                double t[3];
                for (int a = 0; a < 3; ++a) {
                    const double f = std::floor(p[a]);
                    t[a] = p[a] - f;
                    i0[a] = std::clamp(int(f), 0, n[a] - 1);
                    i1[a] = std::clamp(int(f) + 1, 0, n[a] - 1);
                }
                double value = 0.0;
                for (int k = 0; k < 8; ++k) {
                    const int cx = k & 1 ? i1[0] : i0[0], cy = k & 2 ? i1[1] : i0[1],
                              cz = k & 4 ? i1[2] : i0[2];
                    const double w = (k & 1 ? t[0] : 1 - t[0]) * (k & 2 ? t[1] : 1 - t[1]) *
                                     (k & 4 ? t[2] : 1 - t[2]);
                    value += w * grid.density[cell(cx, cy, cz)];
                }
                const size_t own = cell(X / s, Y / s, Z / s);
                const size_t o = (size_t(Z + pad) * size_t(dims[1]) + size_t(Y + pad)) *
                                     size_t(dims[0]) +
                                 size_t(X + pad);
                const bool kept = !grid.kept.empty() && grid.kept[own] != 0;
                solid[o] = kept || (model(own) && value >= 0.5);
                held[o] = kept;
                voids[o] = !solid[o];
            }
    const int length = int(std::ceil(minLength * s));
    const int top = int(std::floor(limit * s));
    MemberSizes sizes;
    sizes.thinnestMember = smallestSize(solid, dims, length, top, s, &held) / double(s);
    // Only void inside the model can form a gap; the rest of the void is wide by the margin.
    bool anyVoid = false;
    for (size_t c = 0; c < grid.density.size() && !anyVoid; ++c)
        anyVoid = model(c) && grid.density[c] < 0.5;
    sizes.narrowestGap = anyVoid ? smallestSize(voids, dims, length, top, s) / double(s) : 0.0;
    return sizes;
}

}  // namespace ostrel::testing
