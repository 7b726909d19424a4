#pragma once
// The random models of the optimizer's agreement tests (the kernel path against the CPU
// reference, the design split over processes against the whole design): a box with random
// holes, fixed vertices and loads, a smooth random displacement field, and the design controls
// of a case (projection, filter radius, keep boxes, mirror planes, minimum member size).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <vector>

#include "OptimizationTestSupport.h"
#include "fem/FemModel.h"
#include "scene/DesignControls.h"

namespace ostrel::testing {

struct ModelCase {
    const char* name;
    int nx, ny, nz;
    double holes;       ///< fraction of the box's cells left empty
    int projection;
    bool keepBoxes;     ///< one keep-solid and one keep-empty box
    double radius;      ///< 0: the default filter
    int planes = 0;     ///< mirror planes through the box's centre: x, then z, then y
    double minMember = 0;  ///< a minimum member size (its radius in place of `radius`)
};

/// The axes of the first `planes` mirror planes of a case.
inline std::vector<int> mirrorAxes(int planes) {
    const int axes[] = {0, 2, 1};
    return std::vector<int>(axes, axes + planes);
}

/// A box with random holes, random fixed vertices and loads (kept elements) and a smooth
/// random displacement field.
struct RandomModel {
    std::unique_ptr<FemModel> model;
    std::vector<double> u;
    RandomModel(const ModelCase& c, unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<uint8_t> occupied(size_t(c.nx) * c.ny * c.nz);
        for (auto& o : occupied) o = unit(random) >= c.holes;
        // Mirror planes: the holes of one side mirrored to the other (the loads stay random).
        const std::vector<int> axes = mirrorAxes(c.planes);
        const auto has = [&](int axis) {
            return std::find(axes.begin(), axes.end(), axis) != axes.end();
        };
        model = makeModel(c.nx, c.ny, c.nz, [&](int x, int y, int z) {
            if (has(0)) x = std::min(x, c.nx - 1 - x);
            if (has(1)) y = std::min(y, c.ny - 1 - y);
            if (has(2)) z = std::min(z, c.nz - 1 - z);
            return occupied[size_t(x + c.nx * (y + c.ny * z))] != 0;
        });
        const int nV = model->numVertices(0);
        for (int v = 0; v < nV; ++v) {
            const double r = unit(random);
            if (r < 0.03) model->setFixed(v, true);
            else if (r < 0.05) model->setForceComponent(v, 2, -1.0f);
        }
        u.resize(3 * size_t(nV));
        const double phase = unit(random);
        for (int v = 0; v < nV; ++v) {
            const GridPos p = unpack(model->vertexPosition(0)[size_t(v)]);
            for (int a = 0; a < 3; ++a)
                u[size_t(a * nV + v)] =
                    1e-4 * std::sin(0.7 * p.x + 1.3 * a + phase) * std::cos(0.4 * p.y - p.z) +
                    1e-6 * unit(random);
        }
    }
};

inline void PrintTo(const ModelCase& c, std::ostream* out) { *out << c.name; }

inline DesignControls controlsOf(const ModelCase& c) {
    DesignControls d;
    d.projection = c.projection;
    if (c.radius > 0) {
        d.filterRadius = c.radius;
        d.filterRadiusGiven = true;
    }
    if (c.minMember > 0) {
        d.minMember = c.minMember;
        d.filterRadius = DesignControls::memberFilterRadius(c.minMember);
        d.filterRadiusGiven = true;
    }
    if (c.keepBoxes) {
        d.keepSolid.push_back({{0.0, 0.0, 0.0}, {2.0, double(c.ny), 2.0}});
        d.keepEmpty.push_back({{c.nx - 3.0, 0.0, c.nz - 2.0}, {double(c.nx), 2.0, double(c.nz)}});
    }
    for (int axis : mirrorAxes(c.planes)) {
        SymmetryPlane plane;
        plane.axis = axis;
        d.symmetry.push_back(plane);
    }
    return d;
}

}  // namespace ostrel::testing
