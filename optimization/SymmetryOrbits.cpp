#include "optimization/SymmetryOrbits.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <sstream>

#include "fem/FemModel.h"

namespace ostrel {

namespace {

int component(const GridPos& p, int axis) { return axis == 0 ? p.x : axis == 1 ? p.y : p.z; }

GridPos withComponent(GridPos p, int axis, int value) {
    (axis == 0 ? p.x : axis == 1 ? p.y : p.z) = value;
    return p;
}

double worldComponent(const Vec3d& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

}  // namespace

bool symmetryOrbits(const FemModel& model, const std::vector<SymmetryPlane>& planes,
                    SymmetryOrbits& orbits, std::wstring& error) {
    orbits = {};
    error.clear();
    if (planes.empty()) return true;
    const std::vector<uint32_t>& positions = model.elementPosition(0);
    const size_t n = positions.size();
    if (n == 0) return true;

    // Each plane as twice its grid coordinate: element i mirrors to mirror2 - 1 - i.
    std::vector<int> mirror2(planes.size());
    for (size_t k = 0; k < planes.size(); ++k) {
        const int axis = planes[k].axis;
        int lo = component(unpack(positions[0]), axis), hi = lo;
        for (uint32_t w : positions) {
            const int c = component(unpack(w), axis);
            lo = std::min(lo, c);
            hi = std::max(hi, c);
        }
        const double h = worldComponent(model.voxelSize(), axis);
        const double o = worldComponent(model.origin(), axis);
        if (planes[k].centre) {
            mirror2[k] = lo + hi + 1;
        } else {
            const double twice = 2.0 * (planes[k].coordinate - o) / h;
            if (!(twice > 2.0 * lo && twice < 2.0 * (hi + 1))) {
                std::wostringstream text;
                text << L"ERROR: SYMMETRY_PLANES: the plane " << describePlane(planes[k])
                     << L" does not cut through the model (its elements span " << axisName(axis)
                     << L" from " << o + h * lo << L" to " << o + h * (hi + 1) << L")";
                error = text.str();
                return false;
            }
            mirror2[k] = int(std::lround(twice));
        }
        long long unmatched = 0;
        for (uint32_t w : positions) {
            const GridPos p = unpack(w);
            const GridPos q = withComponent(p, axis, mirror2[k] - 1 - component(p, axis));
            unmatched += model.elementAt(0, q) < 0;
        }
        if (unmatched > 0) {
            std::wostringstream text;
            text << L"ERROR: The voxel model is not symmetric about the plane "
                 << axisName(axis) << L" = " << o + h * 0.5 * mirror2[k] << L" (SYMMETRY_PLANES "
                 << describePlane(planes[k]) << L"): " << unmatched << L" of " << n
                 << L" elements have no mirror image";
            error = text.str();
            return false;
        }
    }

    const int size = 1 << planes.size();
    orbits.size = size;
    orbits.members.assign(n * size_t(size), -1);
    std::vector<int> orbit(static_cast<size_t>(size), -1);
    for (size_t e = 0; e < n; ++e) {
        const GridPos p = unpack(positions[e]);
        for (int mask = 0; mask < size; ++mask) {
            GridPos q = p;
            for (size_t k = 0; k < planes.size(); ++k)
                if (mask >> k & 1)
                    q = withComponent(q, planes[k].axis,
                                      mirror2[k] - 1 - component(q, planes[k].axis));
            orbit[size_t(mask)] = model.elementAt(0, q);
        }
        std::sort(orbit.begin(), orbit.end());
        const auto end = std::unique(orbit.begin(), orbit.end());
        std::copy(orbit.begin(), end, orbits.members.begin() + std::ptrdiff_t(e * size_t(size)));
    }
    return true;
}

void sumOverOrbits(const SymmetryOrbits& orbits, const std::vector<uint8_t>& held,
                   std::vector<double>& values) {
    if (!orbits.symmetric()) return;
    const std::vector<double> own = values;
    const size_t m = size_t(orbits.size);
    for (size_t e = 0; e < own.size(); ++e) {
        if (held[e]) continue;
        double sum = 0.0;
        for (size_t k = 0; k < m; ++k) {
            const int j = orbits.members[e * m + k];
            if (j >= 0 && !held[size_t(j)]) sum += own[size_t(j)];
        }
        values[e] = sum;
    }
}

}  // namespace ostrel
