#pragma once
// Small models and independent reference computations for the optimization tests: a plain
// clipped-neighbourhood filter, a dense assembly of the level-0 stiffness matrix with a
// Cholesky solve, and mesh checks (closed, consistently oriented).

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "fem/FemModel.h"
#include "geometry/TriangleMesh.h"
#include "optimization/DensityFilter.h"
#include "support/MeshBuilders.h"

namespace ostrel::testing {

/// Model of the cells (x,y,z) of an nx*ny*nz box for which `occupied` is true (unit voxels).
inline std::unique_ptr<FemModel> makeModel(int nx, int ny, int nz,
                                           const std::function<bool(int, int, int)>& occupied,
                                           int levels = 3, double voxel = 1.0) {
    Volume<bool, double> voxels;
    voxels.init(Vec3i{nx, ny, nz}, Vec3d{voxel, voxel, voxel}, Vec3d{0, 0, 0}, false);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) voxels(x, y, z) = occupied(x, y, z);
    return std::make_unique<FemModel>(voxels, levels);
}

inline std::unique_ptr<FemModel> makeBox(int nx, int ny, int nz, int levels = 3) {
    return makeModel(nx, ny, nz, [](int, int, int) { return true; }, levels);
}

/// The filter written the plain way: clipped box, element lookups, weights from the formula.
/// Returns the weighted sum (no division) of `in` over the neighbourhood of element e.
template <typename T>
double referenceNeighbourSum(const FemModel& m, int e, const std::vector<T>& in) {
    const GridPos p = unpack(m.elementPosition(0)[size_t(e)]);
    const auto& d = m.elementDims(0);
    double sum = 0.0;
    for (int dz = std::max(-2, -p.z); dz <= std::min(2, d[2] - 1 - p.z); ++dz)
        for (int dy = std::max(-2, -p.y); dy <= std::min(2, d[1] - 1 - p.y); ++dy)
            for (int dx = std::max(-2, -p.x); dx <= std::min(2, d[0] - 1 - p.x); ++dx) {
                const int j = m.elementAt(0, {p.x + dx, p.y + dy, p.z + dz});
                if (j < 0) continue;
                const double w =
                    std::max(0.0, 2.0 * std::sqrt(3.0) - std::sqrt(double(dx * dx + dy * dy + dz * dz)));
                sum += w * double(in[size_t(j)]);
            }
    return sum;
}

/// Weighted sum and weight sum of the neighbourhood of element e, the plain way: the default box
/// (radius 2*sqrt(3)) or every offset closer than `radius`; offsets at an element add w * in,
/// offsets beyond the grid's faces add w * voidDensity and w when `voidBeyondFaces`, empty cells
/// inside the grid add nothing, or like those beyond the faces when `voidInside` (the rule that
/// everything outside the object is void).
struct NeighbourSums {
    double sum = 0.0, weights = 0.0;
    double filtered() const { return sum / weights; }
};
template <typename T>
NeighbourSums referenceFilterSums(const FemModel& m, int e, const std::vector<T>& in,
                                  double radius, bool voidBeyondFaces,
                                  double voidDensity = 0.001, bool voidInside = false) {
    const bool box = DensityFilter::isDefaultRadius(radius);
    const int h = box ? 2 : int(std::ceil(radius));
    const GridPos p = unpack(m.elementPosition(0)[size_t(e)]);
    const auto& d = m.elementDims(0);
    NeighbourSums s;
    for (int dz = -h; dz <= h; ++dz)
        for (int dy = -h; dy <= h; ++dy)
            for (int dx = -h; dx <= h; ++dx) {
                const double r = box ? 2.0 * std::sqrt(3.0) : radius;
                const double w = r - std::sqrt(double(dx * dx + dy * dy + dz * dz));
                if (!(w > 0.0)) continue;
                const int x = p.x + dx, y = p.y + dy, z = p.z + dz;
                if (x < 0 || y < 0 || z < 0 || x >= d[0] || y >= d[1] || z >= d[2]) {
                    if (voidBeyondFaces) {
                        s.sum += w * voidDensity;
                        s.weights += w;
                    }
                    continue;
                }
                const int j = m.elementAt(0, {x, y, z});
                if (j < 0) {
                    if (voidInside) {
                        s.sum += w * voidDensity;
                        s.weights += w;
                    }
                    continue;
                }
                s.sum += w * double(in[size_t(j)]);
                s.weights += w;
            }
    return s;
}

/// The anchors of the optimizer's filter: the kept elements with a loaded corner vertex.
inline std::vector<uint8_t> loadedKept(const FemModel& m, const std::vector<uint8_t>& kept) {
    std::vector<uint8_t> anchors(kept.size(), 0);
    for (size_t e = 0; e < kept.size(); ++e) {
        if (!kept[e]) continue;
        const GridPos p = unpack(m.elementPosition(0)[e]);
        for (int k = 0; k < 8; ++k) {
            const int v = m.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
            const float* f = &m.forces()[3 * size_t(v)];
            if (f[0] != 0.0f || f[1] != 0.0f || f[2] != 0.0f) anchors[e] = 1;
        }
    }
    return anchors;
}

/// The plain form of the rule at anchors with void beyond the faces: true when element e has an
/// anchor within `radius` (a positive weight) and the void would starve it (the weights inside
/// the grid below DensityFilter::kReachable of all its weights): its filter is then clipped.
inline bool clippedNearAnchor(const FemModel& m, int e, const std::vector<uint8_t>& anchors,
                              double radius, double reachable = DensityFilter::kReachable) {
    const GridPos p = unpack(m.elementPosition(0)[size_t(e)]);
    bool near = false;
    for (size_t a = 0; a < anchors.size() && !near; ++a) {
        if (!anchors[a]) continue;
        const GridPos q = unpack(m.elementPosition(0)[a]);
        near = DensityFilter::weight(radius, q.x - p.x, q.y - p.y, q.z - p.z) > 0.0;
    }
    if (!near) return false;
    const std::vector<double> ones(size_t(m.numElements(0)), 1.0);
    const double inside = referenceFilterSums(m, e, ones, radius, false).weights;
    const double all = referenceFilterSums(m, e, ones, radius, true).weights;
    return inside < reachable * all;
}

/// Dense symmetric matrix, row-major.
struct DenseMatrix {
    int n = 0;
    std::vector<double> a;
    explicit DenseMatrix(int size) : n(size), a(size_t(size) * size_t(size), 0.0) {}
    double& operator()(int i, int j) { return a[size_t(i) * size_t(n) + size_t(j)]; }
};

/// Solves K u = f for the level-0 model with stiffness factors `E` (double per element), the
/// model's fixations (fixed components are 0) and the applied forces force_ as the load.
/// Returns u component-major (3 * nV). Dense Cholesky: for models of a few dozen elements.
inline std::vector<double> directSolve(const FemModel& m, const std::vector<double>& E) {
    const int nV = m.numVertices(0);
    const int n = 3 * nV;
    DenseMatrix K(n);
    for (int e = 0; e < m.numElements(0); ++e) {
        const GridPos c = unpack(m.elementPosition(0)[size_t(e)]);
        int v[8];
        for (int k = 0; k < 8; ++k) v[k] = m.vertexAt(0, {c.x + (k & 1), c.y + (k >> 1 & 1), c.z + (k >> 2)});
        for (int p = 0; p < 8; ++p)
            for (int q = 0; q < 8; ++q)
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 3; ++b)
                        K(a * nV + v[p], b * nV + v[q]) +=
                            E[size_t(e)] * m.Ke()[size_t((3 * p + a) * 24 + 3 * q + b)];
    }
    std::vector<double> f(size_t(n), 0.0);
    for (int v = 0; v < nV; ++v)
        for (int a = 0; a < 3; ++a) f[size_t(a * nV + v)] = double(m.forces()[size_t(3 * v + a)]);
    for (int v = 0; v < nV; ++v) {
        if (!m.fixedFlags()[size_t(v)]) continue;
        for (int a = 0; a < 3; ++a) {
            const int r = a * nV + v;
            for (int j = 0; j < n; ++j) K(r, j) = K(j, r) = 0.0;
            K(r, r) = 1.0;
            f[size_t(r)] = 0.0;
        }
    }
    // Cholesky K = L L^T in place (lower triangle).
    for (int j = 0; j < n; ++j) {
        double d = K(j, j);
        for (int k = 0; k < j; ++k) d -= K(j, k) * K(j, k);
        d = std::sqrt(d);
        K(j, j) = d;
        for (int i = j + 1; i < n; ++i) {
            double s = K(i, j);
            for (int k = 0; k < j; ++k) s -= K(i, k) * K(j, k);
            K(i, j) = s / d;
        }
    }
    std::vector<double> u(f);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < i; ++k) u[size_t(i)] -= K(i, k) * u[size_t(k)];
        u[size_t(i)] /= K(i, i);
    }
    for (int i = n - 1; i >= 0; --i) {
        for (int k = i + 1; k < n; ++k) u[size_t(i)] -= K(k, i) * u[size_t(k)];
        u[size_t(i)] /= K(i, i);
    }
    return u;
}

/// f^T u with the applied forces (interleaved) and u component-major.
inline double complianceOf(const FemModel& m, const std::vector<double>& u) {
    const int nV = m.numVertices(0);
    double c = 0.0;
    for (int v = 0; v < nV; ++v)
        for (int a = 0; a < 3; ++a)
            c += double(m.forces()[size_t(3 * v + a)]) * u[size_t(a * nV + v)];
    return c;
}

/// Not empty, and every undirected edge is used exactly twice, once in each direction.
inline bool isClosedAndConsistent(const TriangleMesh& mesh) {
    return !mesh.triangles.empty() && test::isClosedAndOriented(mesh);
}

}  // namespace ostrel::testing
