#include "optimization/DesignRegions.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "fem/FemModel.h"
#include "optimization/DensityFilter.h"
#include "optimization/SymmetryOrbits.h"

namespace ostrel {
namespace {

Vec3d elementCentre(const FemModel& m, size_t e) {
    const GridPos p = unpack(m.elementPosition(0)[e]);
    const Vec3d& s = m.voxelSize();
    return {m.origin().x + (p.x + 0.5) * s.x, m.origin().y + (p.y + 0.5) * s.y,
            m.origin().z + (p.z + 0.5) * s.z};
}

/// The smallest (`high` false) or largest element centre coordinates of the grid.
Vec3d elementCentreRange(const FemModel& m, bool high) {
    const Vec3d& s = m.voxelSize();
    const auto& d = m.elementDims(0);
    const double k[3] = {high ? d[0] - 0.5 : 0.5, high ? d[1] - 0.5 : 0.5, high ? d[2] - 0.5 : 0.5};
    return {m.origin().x + k[0] * s.x, m.origin().y + k[1] * s.y, m.origin().z + k[2] * s.z};
}

bool loadedIn(const std::vector<float>& forces, int v) {
    const float* f = &forces[3 * size_t(v)];
    return f[0] != 0.0f || f[1] != 0.0f || f[2] != 0.0f;
}

bool vertexHeld(const FemModel& m, const std::vector<std::vector<float>>* moreLoads, GridPos p) {
    const int v = m.vertexAt(0, p);
    if (v < 0) return false;
    if (m.fixedFlags()[size_t(v)] || loadedIn(m.forces(), v)) return true;
    if (moreLoads)
        for (const std::vector<float>& forces : *moreLoads)
            if (loadedIn(forces, v)) return true;
    return false;
}

/// Boxes with bounds included share a point.
bool overlap(const WorldBox& a, const WorldBox& b) {
    return a.lo.x <= b.hi.x && b.lo.x <= a.hi.x && a.lo.y <= b.hi.y && b.lo.y <= a.hi.y &&
           a.lo.z <= b.hi.z && b.lo.z <= a.hi.z;
}

std::wstring number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

/// Marks kept every element whose centre lies within `radius` (voxel lengths) of a kept one's.
void padKept(const FemModel& model, double radius, std::vector<uint8_t>& kept) {
    const int reach = int(std::floor(radius));
    std::vector<std::array<int, 3>> offsets;
    for (int dz = -reach; dz <= reach; ++dz)
        for (int dy = -reach; dy <= reach; ++dy)
            for (int dx = -reach; dx <= reach; ++dx)
                if ((dx || dy || dz) && dx * dx + dy * dy + dz * dz <= radius * radius)
                    offsets.push_back({dx, dy, dz});
    const std::vector<uint8_t> seeds = kept;
    for (size_t e = 0; e < seeds.size(); ++e) {
        if (!seeds[e]) continue;
        const GridPos p = unpack(model.elementPosition(0)[e]);
        for (const auto& o : offsets) {
            const GridPos q{p.x + o[0], p.y + o[1], p.z + o[2]};
            const int f = model.elementAt(0, q);
            if (f >= 0) kept[size_t(f)] = 1;
        }
    }
}


}  // namespace

DesignRegions markDesignRegions(const FemModel& model, const DesignControls& controls,
                                 const std::vector<std::vector<float>>* moreLoads) {
    const long long n = model.numElements(0);
    DesignRegions r;
    r.kept.assign(size_t(n), 0);
    r.emptyHeld.assign(size_t(n), 0);
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        const GridPos p = unpack(model.elementPosition(0)[size_t(e)]);
        uint8_t kept = 0;
        for (int k = 0; k < 8 && !kept; ++k)
            kept = vertexHeld(model, moreLoads, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
        r.kept[size_t(e)] = kept;
    }

    auto mark = [&](const std::vector<WorldBox>& boxes, std::vector<long long>& counts,
                    bool solid) {
        counts.assign(boxes.size(), 0);
        if (boxes.empty()) return;
        for (size_t e = 0; e < size_t(n); ++e) {
            const Vec3d c = elementCentre(model, e);
            for (size_t b = 0; b < boxes.size(); ++b) {
                if (!boxes[b].contains(c)) continue;
                ++counts[b];
                if (solid)
                    r.kept[e] = 1;
                else if (!r.kept[e])
                    r.emptyHeld[e] = 1;
            }
        }
    };
    if (controls.minMember > 0)
        padKept(model, DesignControls::memberPadRadius(controls.minMember), r.kept);
    for (uint8_t k : r.kept) r.keptAtVertices += k;
    mark(controls.keepSolid, r.solidBoxElements, true);
    // Solid wins: fixed, loaded and keep-solid elements stay solid inside keep-empty boxes.
    mark(controls.keepEmpty, r.emptyBoxElements, false);
    for (size_t e = 0; e < size_t(n); ++e) {
        r.keptCount += r.kept[e];
        r.emptyHeldCount += r.emptyHeld[e];
    }
    r.loadedKept.assign(size_t(n), 0);
    for (size_t e = 0; e < size_t(n); ++e) {
        if (!r.kept[e]) continue;
        const GridPos p = unpack(model.elementPosition(0)[e]);
        for (int k = 0; k < 8 && !r.loadedKept[e]; ++k) {
            const int v = model.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
            r.loadedKept[e] = loadedIn(model.forces(), v);
            if (moreLoads)
                for (const std::vector<float>& forces : *moreLoads)
                    r.loadedKept[e] = r.loadedKept[e] || loadedIn(forces, v);
        }
    }
    return r;
}

std::wstring loadError(const FemModel& model,
                       const std::vector<std::vector<float>>* moreLoads) {
    const size_t n = model.fixedFlags().size();
    long long loaded = 0;
    const auto loadedAt = [&](size_t v) {
        if (3 * v + 2 < model.forces().size() && loadedIn(model.forces(), int(v))) return true;
        if (moreLoads)
            for (const std::vector<float>& forces : *moreLoads)
                if (3 * v + 2 < forces.size() && loadedIn(forces, int(v))) return true;
        return false;
    };
    for (size_t v = 0; v < n; ++v) {
        if (!loadedAt(v)) continue;
        if (!model.fixedFlags()[v]) return {};
        ++loaded;
    }
    const std::wstring cause =
        loaded == 0 ? L"the scene sets no force (FORCES)"
                    : L"all " + std::to_wstring(loaded) +
                          (loaded == 1 ? L" loaded vertex is fixed" : L" loaded vertices are fixed");
    return L"ERROR: No force acts on the model: " + cause +
           L", so its compliance is 0 whatever the design and there is nothing to optimize; "
           L"load vertices that are not fixed (FORCES, ostrel-make-scene --load)";
}

std::wstring volumeFractionError(const DesignControls& controls, const DesignRegions& r) {
    long long empty = 0;
    for (uint8_t e : r.emptyHeld) empty += e;
    const long long volume = (long long)r.kept.size() - empty;
    // A goal below one element's volume asks the densities to sink below anything the model can
    // resolve: they fall to their minimum, and the solves break down (a "singular" system or a
    // compliance of 1e43) instead of saying why.
    if (controls.volumeFraction * double(volume) >= 1.0) return {};
    return L"ERROR: The volume fraction " + number("%.4g", controls.volumeFraction) +
           L" (OPTIMIZATION_VOLUME_FRACTION) is less than one element's share of the volume (1 of " +
           std::to_wstring(volume) + L" elements: " + number("%.4g", 1.0 / double(volume)) + L")";
}

DesignCheck checkDesign(const FemModel& model, const DesignControls& controls,
                        const DesignRegions& r,
                        const std::vector<std::vector<float>>* moreLoads) {
    DesignCheck check;
    check.error = loadError(model, moreLoads);
    if (!check.error.empty()) return check;
    long long kept = 0, empty = 0;
    for (size_t e = 0; e < r.kept.size(); ++e) {
        kept += r.kept[e];
        empty += r.emptyHeld[e];
    }
    const long long n = (long long)r.kept.size();
    // A box without an element centre does nothing: most likely it is in other coordinates.
    const auto emptyBox = [&](const std::vector<WorldBox>& boxes,
                              const std::vector<long long>& counts, const wchar_t* key) {
        for (size_t b = 0; b < boxes.size() && b < counts.size(); ++b) {
            if (counts[b] != 0) continue;
            const WorldBox& box = boxes[b];
            const Vec3d lo = elementCentreRange(model, false), hi = elementCentreRange(model, true);
            return std::wstring(L"ERROR: ") + key + L" box " + std::to_wstring(b + 1) + L" (" +
                   number("%g", box.lo.x) + L" " + number("%g", box.lo.y) + L" " +
                   number("%g", box.lo.z) + L" " + number("%g", box.hi.x) + L" " +
                   number("%g", box.hi.y) + L" " + number("%g", box.hi.z) +
                   L") holds no element centre, so it would do nothing; the element centres lie "
                   L"from (" + number("%g", lo.x) + L" " + number("%g", lo.y) + L" " +
                   number("%g", lo.z) + L") to (" + number("%g", hi.x) + L" " +
                   number("%g", hi.y) + L" " + number("%g", hi.z) +
                   L") in world coordinates (the prepared mesh's, its box starting at 0 0 0)";
        }
        return std::wstring();
    };
    check.error = emptyBox(controls.keepSolid, r.solidBoxElements, L"KEEP_SOLID_BOXES");
    if (check.error.empty())
        check.error = emptyBox(controls.keepEmpty, r.emptyBoxElements, L"KEEP_EMPTY_BOXES");
    if (!check.error.empty()) return check;
    SymmetryOrbits orbits;
    if (!symmetryOrbits(model, controls.symmetry, orbits, check.error)) return check;
    if (n - kept - empty == 0) {
        check.error = L"ERROR: No element is left to design: of the model's " +
                      std::to_wstring(n) + L" elements, " + std::to_wstring(kept) +
                      L" are held solid (fixed or loaded vertices, KEEP_SOLID_BOXES) and " +
                      std::to_wstring(empty) + L" empty (KEEP_EMPTY_BOXES)";
        return check;
    }
    const long long volume = n - empty;
    check.error = volumeFractionError(controls, r);
    if (!check.error.empty()) return check;
    // The kept elements stay at density 1, so the volume cannot fall below their share.
    const double keptShare = double(kept) / double(volume);
    if (keptShare > controls.volumeFraction) {
        const std::wstring figures = number("%.4g", keptShare) + L" of the volume, more than " +
                                     L"the volume fraction of " +
                                     number("%.4g", controls.volumeFraction) +
                                     L" (OPTIMIZATION_VOLUME_FRACTION)";
        if (!controls.keepSolid.empty()) {
            check.error = L"ERROR: The elements held solid fill " + figures + L": " +
                          std::to_wstring(kept) + L" of " + std::to_wstring(volume) +
                          L" elements lie in KEEP_SOLID_BOXES or touch fixed or loaded vertices";
            return check;
        }
        check.warnings.push_back(L"WARNING: The elements at fixed or loaded vertices fill " +
                                 figures + L"; the volume cannot come down to it");
    }
    for (size_t i = 0; i < controls.keepSolid.size(); ++i)
        for (size_t j = 0; j < controls.keepEmpty.size(); ++j) {
            const WorldBox &solid = controls.keepSolid[i], &hollow = controls.keepEmpty[j];
            if (!overlap(solid, hollow)) continue;
            long long both = 0;
            for (size_t e = 0; e < r.kept.size(); ++e) {
                const Vec3d c = elementCentre(model, e);
                both += solid.contains(c) && hollow.contains(c);
            }
            const std::wstring boxes = L"WARNING: KEEP_SOLID_BOXES box " + std::to_wstring(i + 1) +
                                       L" and KEEP_EMPTY_BOXES box " + std::to_wstring(j + 1);
            check.warnings.push_back(
                both == 0 ? boxes + L" touch or overlap, but no element lies in both"
                          : boxes + L" overlap: the " + std::to_wstring(both) +
                                (both == 1 ? L" element" : L" elements") + L" in both stay solid");
        }
    return check;
}

}  // namespace ostrel
