#include "voxel/SmoothSurface.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "geometry/MeshIntersections.h"
#include "voxel/IsoSurface.h"

namespace ostrel {

namespace {

constexpr double kVolumeTolerance = 1e-5;
constexpr int kLevelPasses = 60;
constexpr int kVolumeCorrections = 3;

/// Edge neighbours of every vertex, compressed: the neighbours of v are
/// neighbour[start[v]] .. neighbour[start[v + 1] - 1].
struct Neighbours {
    std::vector<size_t> start;
    std::vector<int> neighbour;

    explicit Neighbours(const TriangleMesh& mesh) {
        const size_t n = mesh.vertices.size();
        std::vector<std::vector<int>> lists(n);
        for (const MeshTriangle& t : mesh.triangles)
            for (int k = 0; k < 3; ++k) {
                lists[size_t(t.indices[k])].push_back(t.indices[(k + 1) % 3]);
                lists[size_t(t.indices[(k + 1) % 3])].push_back(t.indices[k]);
            }
        start.assign(n + 1, 0);
        for (size_t v = 0; v < n; ++v) {
            std::sort(lists[v].begin(), lists[v].end());
            lists[v].erase(std::unique(lists[v].begin(), lists[v].end()), lists[v].end());
            start[v + 1] = start[v] + lists[v].size();
        }
        neighbour.reserve(start[n]);
        for (const auto& list : lists) neighbour.insert(neighbour.end(), list.begin(), list.end());
    }

    Vec3d centre(const std::vector<Vec3d>& p, size_t v) const {
        Vec3d sum{};
        for (size_t k = start[v]; k < start[v + 1]; ++k) sum += p[size_t(neighbour[k])];
        const size_t count = start[v + 1] - start[v];
        return count ? sum / double(count) : p[v];
    }
};

double enclosedVolume(const TriangleMesh& mesh, const std::vector<Vec3d>& p) {
    double sum = 0.0;
    for (const MeshTriangle& t : mesh.triangles) {
        const Vec3d& a = p[size_t(t.indices[0])];
        sum += dot(a, cross(p[size_t(t.indices[1])] - a, p[size_t(t.indices[2])] - a));
    }
    return sum / 6.0;
}

/// Moves every vertex along its unit normal by the one distance that restores the volume to
/// first order (volume change = distance * area).
void restoreVolume(const TriangleMesh& mesh, std::vector<Vec3d>& p, double target) {
    std::vector<Vec3d> normal(p.size());
    double area = 0.0;
    for (const MeshTriangle& t : mesh.triangles) {
        const Vec3d& a = p[size_t(t.indices[0])];
        const Vec3d n = cross(p[size_t(t.indices[1])] - a, p[size_t(t.indices[2])] - a);
        area += 0.5 * length(n);
        for (int32_t v : t.indices) normal[size_t(v)] += n;
    }
    if (!(area > 0)) return;
    const double distance = (target - enclosedVolume(mesh, p)) / area;
    for (size_t v = 0; v < p.size(); ++v) {
        const double l = length(normal[v]);
        if (l > 0) p[v] += normal[v] * (distance / l);
    }
}

/// The box of SmoothSurfaceOptions::bounded, and per vertex the faces it lies on (bit 2a: the
/// low face of axis a, bit 2a+1: the high one).
struct Bounds {
    bool active = false;
    Vec3d lo{}, hi{};

    /// Moves `p` into the box.
    void clamp(Vec3d& p) const {
        if (!active) return;
        for (int a = 0; a < 3; ++a) p[a] = std::clamp(p[a], lo[a], hi[a]);
    }
    uint8_t faces(const Vec3d& p) const {
        uint8_t flags = 0;
        if (!active) return flags;
        for (int a = 0; a < 3; ++a) {
            if (p[a] == lo[a]) flags |= uint8_t(1 << (2 * a));
            if (p[a] == hi[a]) flags |= uint8_t(1 << (2 * a + 1));
        }
        return flags;
    }
    /// `p` inside the box and on the faces of `flags`.
    void hold(Vec3d& p, uint8_t flags) const {
        if (!active) return;
        clamp(p);
        for (int a = 0; a < 3; ++a) {
            if (flags & (1 << (2 * a))) p[a] = lo[a];
            if (flags & (1 << (2 * a + 1))) p[a] = hi[a];
        }
    }
    /// The mesh's vertices moved into the box (each along the axes it leaves the box by: for a
    /// marching-cubes vertex, along its grid edge).
    void clamp(TriangleMesh& mesh) const {
        if (!active) return;
        for (MeshVertex& v : mesh.vertices) {
            Vec3d p(v.position);
            clamp(p);
            v.position = Vec3f(p);
        }
    }
};

void setPositions(TriangleMesh& mesh, const std::vector<Vec3d>& p) {
    for (size_t v = 0; v < p.size(); ++v) mesh.vertices[v].position = Vec3f(p[v]);
    mesh.updateNormals();
}

/// The box of `options` (inactive unless bounded), in the mesh's single precision, so that a
/// vertex on a face is exactly on it.
Bounds boundsOf(const SmoothSurfaceOptions& options) {
    Bounds bounds;
    bounds.active = options.bounded;
    for (int k = 0; k < 3; ++k) {
        bounds.lo[k] = double(float(options.boundsLo[k]));
        bounds.hi[k] = double(float(options.boundsHi[k]));
    }
    return bounds;
}

/// Step 1: bisects [low, high] for the level whose (bounded) iso-surface encloses
/// `targetVolume`; the level goes to `report.level`, the surface of the last pass to `surface`.
void findLevel(const Volume<double, double>& field, double low, double high, double targetVolume,
               const Bounds& bounds, TriangleMesh& surface, SmoothSurfaceReport& report) {
    // The enclosed volume falls as the level rises.
    double a = low, b = high;
    for (int pass = 0; pass < kLevelPasses; ++pass) {
        report.level = 0.5 * (a + b);
        extractIsoSurface(field, report.level, surface, false);
        bounds.clamp(surface);
        const double volume = double(surface.computeVolume());
        if (std::fabs(volume - targetVolume) <= kVolumeTolerance * targetVolume) break;
        (volume > targetVolume ? a : b) = report.level;
    }
}

/// Step 2: the positions `original` of the mesh's vertices after Taubin smoothing and the
/// volume corrections to `targetVolume`, each vertex held on its box faces `onFaces`.
std::vector<Vec3d> smoothedPositions(const TriangleMesh& mesh, const Neighbours& neighbours,
                                     const std::vector<Vec3d>& original,
                                     const std::vector<uint8_t>& onFaces, const Bounds& bounds,
                                     const SmoothSurfaceOptions& options, double targetVolume) {
    const size_t n = original.size();
    std::vector<Vec3d> smooth(original), next(n);
    for (int step = 0; step < options.steps; ++step)
        for (double factor : {options.lambda, options.mu}) {
            for (size_t v = 0; v < n; ++v) {
                next[v] = smooth[v] + (neighbours.centre(smooth, v) - smooth[v]) * factor;
                bounds.hold(next[v], onFaces[v]);
            }
            std::swap(smooth, next);
        }
    for (int k = 0; k < kVolumeCorrections; ++k) {
        restoreVolume(mesh, smooth, targetVolume);
        for (size_t v = 0; v < n; ++v) bounds.hold(smooth[v], onFaces[v]);
    }
    return smooth;
}

/// Step 3: sets the mesh's vertices between `original` (the marching-cubes surface) and
/// `smooth`, pulling the vertices of faulty triangles back round after round; the faults left
/// and the vertices moved go to `report`.
void repairSurface(TriangleMesh& mesh, const Neighbours& neighbours,
                   const std::vector<Vec3d>& original, std::vector<Vec3d>& smooth,
                   const SmoothSurfaceOptions& options, SmoothSurfaceReport& report) {
    const size_t n = original.size();
    std::vector<Vec3f> originalNormal(mesh.triangles.size());
    for (size_t t = 0; t < mesh.triangles.size(); ++t) originalNormal[t] = mesh.triangles[t].normal;
    std::vector<double> weight(n, 1.0);
    std::vector<uint8_t> moved(n, 0), pull(n), relax(n);
    std::vector<Vec3d> position(smooth);
    for (int round = 0;; ++round) {
        for (size_t v = 0; v < n; ++v)
            position[v] = original[v] + (smooth[v] - original[v]) * weight[v];
        setPositions(mesh, position);
        const auto pairs = selfIntersections(mesh);
        const auto degenerate = degenerateTriangles(mesh);
        std::fill(pull.begin(), pull.end(), uint8_t(0));
        std::fill(relax.begin(), relax.end(), uint8_t(0));
        bool faults = !pairs.empty() || !degenerate.empty();
        auto mark = [&](std::vector<uint8_t>& flags, int t) {
            for (int32_t v : mesh.triangles[size_t(t)].indices) flags[size_t(v)] = 1;
        };
        for (const auto& [i, j] : pairs) mark(pull, i), mark(pull, j);
        for (int t : degenerate) mark(relax, t);
        for (size_t t = 0; t < mesh.triangles.size(); ++t) {
            const Vec3d before(originalNormal[t]), now(mesh.triangles[t].normal);
            if (dot(before, before) > 0 && !(dot(before, now) > 0)) {
                mark(pull, int(t));
                faults = true;
            }
        }
        report.intersections = pairs.size();
        report.degenerate = degenerate.size();
        if (!faults || round == options.repairRounds) break;
        const bool last = round + 1 == options.repairRounds;
        for (size_t v = 0; v < n; ++v) {
            if (pull[v]) weight[v] = last ? 0.0 : 0.5 * weight[v];
            if (relax[v]) smooth[v] = (smooth[v] + neighbours.centre(position, v)) * 0.5;
            if (pull[v] || relax[v]) moved[v] = 1;
        }
    }
    for (uint8_t m : moved) report.repaired += m;
}

}  // namespace

bool extractSmoothSurface(const Volume<double, double>& field, double targetVolume,
                          TriangleMesh& mesh, SmoothSurfaceReport& report,
                          const SmoothSurfaceOptions& options) {
    report = SmoothSurfaceReport{};
    report.targetVolume = targetVolume;
    mesh = TriangleMesh{};
    mesh.loaded = true;
    if (!(targetVolume > 0) || !field.data() || field.size() == 0) return false;
    const auto [low, high] = std::minmax_element(field.data(), field.data() + field.size());
    if (!(*high > *low)) return false;
    const Bounds bounds = boundsOf(options);

    TriangleMesh trial;
    findLevel(field, *low, *high, targetVolume, bounds, trial, report);
    if (trial.triangles.empty()) return false;
    mesh = std::move(trial);

    const size_t n = mesh.vertices.size();
    const Neighbours neighbours(mesh);
    std::vector<Vec3d> original(n);
    std::vector<uint8_t> onFaces(n);
    for (size_t v = 0; v < n; ++v) {
        original[v] = Vec3d(mesh.vertices[v].position);
        onFaces[v] = bounds.faces(original[v]);
    }
    std::vector<Vec3d> smooth =
        smoothedPositions(mesh, neighbours, original, onFaces, bounds, options, targetVolume);
    repairSurface(mesh, neighbours, original, smooth, options, report);
    mesh.updateBounds();
    report.volume = double(mesh.computeVolume());
    return true;
}

}  // namespace ostrel
