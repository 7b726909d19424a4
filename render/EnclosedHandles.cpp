#include "render/EnclosedHandles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

#include "fem/FemModel.h"
#include "geometry/MeshChecks.h"
#include "geometry/TriangleDistance.h"
#include "geometry/TriangleMesh.h"

namespace ostrel {
namespace {

/// The grid points i in [0, count) with origin + i * step in [a, b], widened by a thousandth of
/// a step against rounding; false when there is none.
bool gridRange(double a, double b, double origin, double step, int count, int& first, int& last) {
    const double lo = std::max(std::ceil((a - origin) / step - 1e-3), 0.0);
    const double hi = std::min(std::floor((b - origin) / step + 1e-3), double(count - 1));
    if (!(lo <= hi)) return false;
    first = int(lo);
    last = int(hi);
    return true;
}

/// Axis-aligned bounding box of the points added.
struct Box {
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    Vec3d lo{kInf, kInf, kInf}, hi{-kInf, -kInf, -kInf};
    void add(const Vec3d& p) {
        lo = Vec3d(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
        hi = Vec3d(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
    }
};

/// A triangle's corners in double precision and their bounding box.
struct Corners {
    Vec3d p[3];
    Box box;
    Corners(const TriangleMesh& mesh, const MeshTriangle& t) {
        for (int c = 0; c < 3; ++c) {
            p[c] = Vec3d(mesh.vertices[size_t(t.indices[c])].position);
            box.add(p[c]);
        }
    }
};

/// Crossings of the surface with the grid lines along one axis: the positions along the axis
/// per line, and the lines that pass too near an edge of a triangle or lie in its plane for
/// their crossings to be counted. Line (i, j) runs through grid points with the next axis's
/// index i and the one after's j.
struct LineCrossings {
    int axis = 0;
    int count1 = 0;
    std::vector<std::vector<double>> at;
    std::vector<std::uint8_t> unsure;

    size_t line(const GridPos& g) const {
        const int p[3] = {g.x, g.y, g.z};
        return size_t(p[(axis + 2) % 3]) * size_t(count1) + size_t(p[(axis + 1) % 3]);
    }
};

double orient2(double ay, double az, double by, double bz, double py, double pz) {
    return (by - ay) * (pz - az) - (bz - az) * (py - ay);
}

LineCrossings crossLines(const TriangleMesh& surface, const Vec3d& origin, const Vec3d& step,
                         const std::array<int, 3>& dims, int axis) {
    const int a1 = (axis + 1) % 3, a2 = (axis + 2) % 3;
    LineCrossings lines;
    lines.axis = axis;
    lines.count1 = dims[size_t(a1)];
    const size_t count = size_t(dims[size_t(a1)]) * size_t(dims[size_t(a2)]);
    lines.at.resize(count);
    lines.unsure.assign(count, 0);
    for (const MeshTriangle& t : surface.triangles) {
        const Corners corners(surface, t);
        const Vec3d* p = corners.p;
        const Box& box = corners.box;
        // Edge functions of points within the triangle are products of two lengths; float
        // positions carry a relative error of about 1e-7, far below this tolerance's share.
        const double extent = std::max(box.hi[a1] - box.lo[a1], box.hi[a2] - box.lo[a2]);
        const double eps = 1e-6 * extent * extent + 1e-300;
        int i0, i1, j0, j1;
        const double w1 = 1e-3 * step[a1], w2 = 1e-3 * step[a2];
        if (!gridRange(box.lo[a1] - w1, box.hi[a1] + w1, origin[a1], step[a1], dims[size_t(a1)], i0, i1) ||
            !gridRange(box.lo[a2] - w2, box.hi[a2] + w2, origin[a2], step[a2], dims[size_t(a2)], j0, j1))
            continue;
        for (int j = j0; j <= j1; ++j)
            for (int i = i0; i <= i1; ++i) {
                const size_t line = size_t(j) * size_t(lines.count1) + size_t(i);
                const double u = origin[a1] + i * step[a1], v = origin[a2] + j * step[a2];
                double e0 = orient2(p[1][a1], p[1][a2], p[2][a1], p[2][a2], u, v);
                double e1 = orient2(p[2][a1], p[2][a2], p[0][a1], p[0][a2], u, v);
                double e2 = orient2(p[0][a1], p[0][a2], p[1][a1], p[1][a2], u, v);
                const double area = e0 + e1 + e2;
                if (std::abs(area) <= eps) {  // edge-on to the line: no count can be trusted
                    lines.unsure[line] = 1;
                    continue;
                }
                if (area < 0) e0 = -e0, e1 = -e1, e2 = -e2;
                const double least = std::min({e0, e1, e2});
                if (least < -eps) continue;
                if (least <= eps) {
                    lines.unsure[line] = 1;
                    continue;
                }
                lines.at[line].push_back((e0 * p[0][axis] + e1 * p[1][axis] + e2 * p[2][axis]) /
                                         std::abs(area));
            }
    }
    for (auto& at : lines.at) std::sort(at.begin(), at.end());
    return lines;
}

}  // namespace

EnclosedHandles findEnclosedHandles(const FemModel& model, const TriangleMesh& surface,
                                    float handleRadius) {
    EnclosedHandles result;
    const int n = model.numVertices(0);
    result.shown.resize(size_t(std::max(n, 0)));
    std::iota(result.shown.begin(), result.shown.end(), 0u);
    const Vec3d h = model.voxelSize(), o = model.origin();
    if (n <= 0 || surface.triangles.empty() || !(std::min({h.x, h.y, h.z}) > 0) ||
        !(handleRadius > 0) || !std::isfinite(handleRadius) || oddEdgeCount(surface) != 0)
        return result;
    Box bounds;
    for (const MeshVertex& v : surface.vertices) {
        const Vec3d p(v.position);
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return result;
        bounds.add(p);
    }

    // Vertices within the clearance of a triangle.
    const double clearance = kClearanceRadii * double(handleRadius);
    const auto& d = model.vertexDims(0);
    std::vector<std::uint8_t> nearSurface(size_t(n), 0);
    for (const MeshTriangle& t : surface.triangles) {
        const Corners corners(surface, t);
        const Vec3d* p = corners.p;
        const Box& box = corners.box;
        int x0, x1, y0, y1, z0, z1;
        if (!gridRange(box.lo.x - clearance, box.hi.x + clearance, o.x, h.x, d[0], x0, x1) ||
            !gridRange(box.lo.y - clearance, box.hi.y + clearance, o.y, h.y, d[1], y0, y1) ||
            !gridRange(box.lo.z - clearance, box.hi.z + clearance, o.z, h.z, d[2], z0, z1))
            continue;
        for (int z = z0; z <= z1; ++z)
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) {
                    const int vertex = model.vertexAt(0, {x, y, z});
                    if (vertex < 0 || nearSurface[size_t(vertex)]) continue;
                    const Vec3d v(o.x + x * h.x, o.y + y * h.y, o.z + z * h.z);
                    nearSurface[size_t(vertex)] =
                        !(length(closestPointOnTriangle(v, p[0], p[1], p[2]) - v) > clearance);
                }
    }

    // Inside by the crossings before the vertex on its grid line along x, or along y or z where
    // a line passes too near an edge. A vertex clear of the surface lies at least the clearance
    // from every crossing on its lines, so the count is exact.
    const LineCrossings lines[3] = {crossLines(surface, o, h, d, 0), crossLines(surface, o, h, d, 1),
                                    crossLines(surface, o, h, d, 2)};
    std::vector<std::uint32_t> shown;
    shown.reserve(result.shown.size());
    for (int i = 0; i < n; ++i) {
        const GridPos g = unpack(model.vertexPosition(0)[size_t(i)]);
        bool enclosed = false;
        if (!nearSurface[size_t(i)]) {
            for (const LineCrossings& l : lines) {
                const size_t line = l.line(g);
                if (l.unsure[line]) continue;
                const auto& at = l.at[line];
                const int p[3] = {g.x, g.y, g.z};
                const double here = o[l.axis] + p[l.axis] * h[l.axis];
                enclosed = (std::upper_bound(at.begin(), at.end(), here) - at.begin()) % 2 == 1;
                break;
            }
        }
        if (!enclosed) shown.push_back(std::uint32_t(i));
    }
    result.enclosed = std::uint32_t(size_t(n) - shown.size());
    result.shown = std::move(shown);
    result.boxMin = Vec3f(bounds.lo);
    result.boxMax = Vec3f(bounds.hi);
    return result;
}

float nearPlaneReach(const Matrix4& projection) {
    const Matrix4 inv = inverse(projection);
    float reach = 0;
    for (float x : {-1.0f, 1.0f})
        for (float y : {-1.0f, 1.0f}) {
            const Vec4f c = inv * Vec4f{x, y, 0.0f, 1.0f};
            if (!(c.w != 0)) return std::numeric_limits<float>::infinity();
            const Vec3f p(c.x / c.w, c.y / c.w, c.z / c.w);
            const float l = length(p);
            // The near plane lies in front of the eye (view space looks along -z).
            if (!std::isfinite(l) || !(p.z < 0)) return std::numeric_limits<float>::infinity();
            reach = std::max(reach, l);
        }
    return reach;
}

bool enclosedHandlesHidden(const EnclosedHandles& handles, const Vec3f& eye, float reach) {
    if (handles.enclosed == 0 || !std::isfinite(reach)) return false;
    const auto gap = [](float v, float lo, float hi) {
        return v < lo ? lo - v : v > hi ? v - hi : 0.0f;
    };
    const Vec3f g(gap(eye.x, handles.boxMin.x, handles.boxMax.x),
                  gap(eye.y, handles.boxMin.y, handles.boxMax.y),
                  gap(eye.z, handles.boxMin.z, handles.boxMax.z));
    // Twice the reach: rounding in the eye's position and the matrices stays far inside it.
    return length(g) > 2 * reach;
}

}  // namespace ostrel
