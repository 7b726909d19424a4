#pragma once
// Independent reference computations for the solver tests: the assembled level-0 operator,
// the trilinear interpolation matrices and small random models.

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"

namespace ostrel::testing {

/// Dense matrix, row-major, n x n.
struct Dense {
    int n = 0;
    std::vector<double> a;
    explicit Dense(int size) : n(size), a(size_t(size) * size_t(size), 0.0) {}
    double& operator()(int i, int j) { return a[size_t(i) * size_t(n) + size_t(j)]; }
    double operator()(int i, int j) const { return a[size_t(i) * size_t(n) + size_t(j)]; }
};

/// Level-0 operator: sum of E[e]*Ke over elements, masses/dt^2 on the diagonal of free
/// vertices (`masses`: nV values, empty = none, as in the solver), identity rows and no coupling
/// for fixed vertices (component-major numbering).
inline Dense assembleFinest(const FemModel& m, const std::vector<float>& masses = {},
                            double dt = kMassTermTimeStep) {
    const int nV = m.numVertices(0);
    Dense K(3 * nV);
    for (int e = 0; e < m.numElements(0); ++e) {
        GridPos c = unpack(m.elementPosition(0)[size_t(e)]);
        int vert[8];
        for (int q = 0; q < 8; ++q)
            vert[q] = m.vertexAt(0, {c.x + (q & 1), c.y + (q >> 1 & 1), c.z + (q >> 2)});
        for (int p = 0; p < 8; ++p)
            for (int q = 0; q < 8; ++q) {
                if (m.fixedFlags()[size_t(vert[p])] || m.fixedFlags()[size_t(vert[q])]) continue;
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 3; ++b)
                        K(a * nV + vert[p], b * nV + vert[q]) +=
                            double(m.stiffnessFactors()[size_t(e)]) * m.Ke()[size_t((3 * p + a) * 24 + 3 * q + b)];
            }
    }
    for (int v = 0; v < nV; ++v)
        for (int a = 0; a < 3; ++a) {
            if (m.fixedFlags()[size_t(v)]) K(a * nV + v, a * nV + v) = 1.0;
            else if (!masses.empty())
                K(a * nV + v, a * nV + v) += double(masses[size_t(v)]) / (dt * dt);
        }
    return K;
}

/// The load with the entries of fixed vertices set to 0 (their displacement is held at 0).
inline std::vector<double> effectiveLoad(const FemModel& m) {
    const size_t nV = size_t(m.numVertices(0));
    std::vector<double> f(m.load().size());
    for (size_t i = 0; i < f.size(); ++i) f[i] = m.fixedFlags()[i % nV] ? 0.0 : double(m.load()[i]);
    return f;
}

/// Interpolation from coarse level `coarse` to fine level `fine` as a dense nFine x nCoarse
/// scalar matrix (the same for every component).
inline std::vector<std::vector<double>> interpolation(const FemModel& m, int fine, int coarse) {
    const int nf = m.numVertices(fine), nc = m.numVertices(coarse);
    const int ratio = coarse - fine == 2 && fine == 0 ? 4 : 2;
    std::vector<std::vector<double>> P(size_t(nf), std::vector<double>(size_t(nc), 0.0));
    for (int C = 0; C < nc; ++C) {
        GridPos g = unpack(m.vertexPosition(coarse)[size_t(C)]);
        for (int v = 0; v < nf; ++v) {
            GridPos p = unpack(m.vertexPosition(fine)[size_t(v)]);
            int d[3] = {p.x - ratio * g.x, p.y - ratio * g.y, p.z - ratio * g.z};
            double w = 1;
            for (int k = 0; k < 3; ++k) w *= std::max(0, ratio - std::abs(d[k])) / double(ratio);
            P[size_t(v)][size_t(C)] = w;
        }
    }
    return P;
}

/// A random voxel model of about 60 % occupancy inside nx*ny*nz, with random stiffness factors
/// in [0.5, 2]e6, about 15 % fixed vertices and random forces; random masses in [0, 2000) go to
/// `masses` when given (the kernels' mass term; the solver's masses are zero).
inline std::unique_ptr<FemModel> randomModel(unsigned seed, int nx, int ny, int nz, int levels,
                                             std::vector<float>* masses = nullptr) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    Volume<bool, double> vox;
    vox.init(Vec3i{nx, ny, nz}, Vec3d{0.5, 0.7, 0.6}, Vec3d{0, 0, 0}, false);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) vox(x, y, z) = uni(rng) < 0.6 || (x == 0 && y == 0 && z == 0);
    auto m = std::make_unique<FemModel>(vox, levels);
    std::vector<float> factors(size_t(m->numElements(0)));
    for (auto& e : factors) e = float(1e6 * (0.5 + 1.5 * uni(rng)));
    m->setStiffnessFactors(std::move(factors));
    for (int v = 0; v < m->numVertices(0); ++v) m->setFixed(v, uni(rng) < 0.15);
    std::vector<float> drawn(size_t(m->numVertices(0)));
    for (auto& w : drawn) w = float(uni(rng) * 2000.0);
    if (masses) *masses = std::move(drawn);
    for (size_t i = 0; i < m->forces().size(); ++i)
        m->setForceComponent(int(i / 3), int(i % 3), float(uni(rng) * 2.0 - 1.0));
    return m;
}

inline std::vector<double> randomVector(unsigned seed, size_t n, double scale) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(-scale, scale);
    std::vector<double> v(n);
    for (auto& x : v) x = uni(rng);
    return v;
}

}  // namespace ostrel::testing
