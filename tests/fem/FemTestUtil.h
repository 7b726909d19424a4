#pragma once
// Helpers shared by the fem tests: building occupancy volumes.

#include <random>
#include <vector>

#include "geometry/Volume.h"

namespace ostrel::test {

inline Volume<bool, double> makeVolume(int nx, int ny, int nz,
                                       const std::vector<std::array<int, 3>>& occupied,
                                       Vec3d spacing = {1, 1, 1}, Vec3d offset = {0, 0, 0}) {
    Volume<bool, double> v;
    v.init({nx, ny, nz}, spacing, offset, false);
    for (const auto& c : occupied) v(c[0], c[1], c[2]) = true;
    return v;
}

inline Volume<bool, double> solidBox(int nx, int ny, int nz) {
    Volume<bool, double> v;
    v.init({nx, ny, nz}, {1, 1, 1}, {0, 0, 0}, true);
    return v;
}

inline Volume<bool, double> randomVolume(int nx, int ny, int nz, double fill, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    Volume<bool, double> v;
    v.init({nx, ny, nz}, {0.5, 0.75, 1.25}, {0, 0, 0}, false);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) v(x, y, z) = u(rng) < fill;
    v(0, 0, 0) = true;
    v(nx - 1, ny - 1, nz - 1) = true;
    return v;
}

}  // namespace ostrel::test
