#include "geometry/MeshIntersections.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace ostrel {

namespace {

constexpr double kTolerance = 1e-9;

using Tri = std::array<Vec3d, 3>;

/// Six times the signed volume of the tetrahedron abcd.
double orient(const Vec3d& a, const Vec3d& b, const Vec3d& c, const Vec3d& d) {
    return dot(b - a, cross(c - a, d - a));
}

struct P2 {
    double x, y;
};

/// The point in the coordinate plane across the axis `drop`.
P2 flatten(const Vec3d& p, int drop) {
    return drop == 0 ? P2{p.y, p.z} : drop == 1 ? P2{p.z, p.x} : P2{p.x, p.y};
}

double orient2(P2 a, P2 b, P2 c) { return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x); }

/// The axis along which the triangle's normal is largest.
int dominantAxis(const Tri& t) {
    const Vec3d n = cross(t[1] - t[0], t[2] - t[0]);
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    return ax >= ay && ax >= az ? 0 : ay >= az ? 1 : 2;
}

/// p lies on the closed segment ab (within eps of its line and inside its box).
bool onSegment2(P2 p, P2 a, P2 b, double eps, double slack) {
    return std::fabs(orient2(a, b, p)) <= eps && p.x >= std::min(a.x, b.x) - slack &&
           p.x <= std::max(a.x, b.x) + slack && p.y >= std::min(a.y, b.y) - slack &&
           p.y <= std::max(a.y, b.y) + slack;
}

bool segmentsMeet2(P2 a, P2 b, P2 c, P2 d, double eps, double slack) {
    const double d1 = orient2(c, d, a), d2 = orient2(c, d, b);
    const double d3 = orient2(a, b, c), d4 = orient2(a, b, d);
    const bool cross1 = (d1 > eps && d2 < -eps) || (d1 < -eps && d2 > eps);
    const bool cross2 = (d3 > eps && d4 < -eps) || (d3 < -eps && d4 > eps);
    if (cross1 && cross2) return true;
    return onSegment2(a, c, d, eps, slack) || onSegment2(b, c, d, eps, slack) ||
           onSegment2(c, a, b, eps, slack) || onSegment2(d, a, b, eps, slack);
}

bool insideTriangle2(P2 p, P2 a, P2 b, P2 c, double eps) {
    const double s1 = orient2(a, b, p), s2 = orient2(b, c, p), s3 = orient2(c, a, p);
    return (s1 >= -eps && s2 >= -eps && s3 >= -eps) || (s1 <= eps && s2 <= eps && s3 <= eps);
}

/// The tolerances of one pair: volume (orient), area (orient2) and length, from the longest edge.
struct Tolerance {
    double volume, area, length;
    explicit Tolerance(double longest)
        : volume(kTolerance * longest * longest * longest),
          area(kTolerance * longest * longest),
          length(kTolerance * longest) {}
};

/// The closed segment pq meets the closed triangle t.
bool segmentMeetsTriangle(const Vec3d& p, const Vec3d& q, const Tri& t, const Tolerance& tol) {
    const double s1 = orient(t[0], t[1], t[2], p), s2 = orient(t[0], t[1], t[2], q);
    if ((s1 > tol.volume && s2 > tol.volume) || (s1 < -tol.volume && s2 < -tol.volume))
        return false;
    if (std::fabs(s1) <= tol.volume && std::fabs(s2) <= tol.volume) {
        // In the triangle's plane.
        const int drop = dominantAxis(t);
        const P2 a = flatten(t[0], drop), b = flatten(t[1], drop), c = flatten(t[2], drop);
        const P2 p2 = flatten(p, drop), q2 = flatten(q, drop);
        return insideTriangle2(p2, a, b, c, tol.area) || insideTriangle2(q2, a, b, c, tol.area) ||
               segmentsMeet2(p2, q2, a, b, tol.area, tol.length) ||
               segmentsMeet2(p2, q2, b, c, tol.area, tol.length) ||
               segmentsMeet2(p2, q2, c, a, tol.area, tol.length);
    }
    const double t1 = orient(p, q, t[0], t[1]), t2 = orient(p, q, t[1], t[2]),
                 t3 = orient(p, q, t[2], t[0]);
    return (t1 >= -tol.volume && t2 >= -tol.volume && t3 >= -tol.volume) ||
           (t1 <= tol.volume && t2 <= tol.volume && t3 <= tol.volume);
}

double longestEdge(const Tri& t) {
    return std::max({length(t[1] - t[0]), length(t[2] - t[1]), length(t[0] - t[2])});
}

/// Whether triangles a and b (corner indices ia, ib) intersect beyond what they share.
bool pairIntersects(const Tri& a, const int32_t* ia, const Tri& b, const int32_t* ib) {
    int shared = 0, sa[3], sb[3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (ia[i] == ib[j]) {
                sa[shared] = i;
                sb[shared] = j;
                ++shared;
            }
    const Tolerance tol(std::max(longestEdge(a), longestEdge(b)));
    if (shared >= 3) return true;
    if (shared == 2) {
        // Opposite corners on the same side of the common edge in a common plane: a fold.
        const int oa = 3 - sa[0] - sa[1], ob = 3 - sb[0] - sb[1];
        const Vec3d &p = a[size_t(sa[0])], &q = a[size_t(sa[1])];
        if (std::fabs(orient(p, q, a[size_t(oa)], b[size_t(ob)])) > tol.volume) return false;
        const int drop = dominantAxis(a);
        const double s1 = orient2(flatten(p, drop), flatten(q, drop), flatten(a[size_t(oa)], drop));
        const double s2 = orient2(flatten(p, drop), flatten(q, drop), flatten(b[size_t(ob)], drop));
        return (s1 > 0) == (s2 > 0);
    }
    if (shared == 1) {
        // Beyond the common corner, one triangle's opposite edge must reach into the other.
        const int a1 = (sa[0] + 1) % 3, a2 = (sa[0] + 2) % 3;
        const int b1 = (sb[0] + 1) % 3, b2 = (sb[0] + 2) % 3;
        return segmentMeetsTriangle(a[size_t(a1)], a[size_t(a2)], b, tol) ||
               segmentMeetsTriangle(b[size_t(b1)], b[size_t(b2)], a, tol);
    }
    for (int k = 0; k < 3; ++k) {
        if (segmentMeetsTriangle(a[size_t(k)], a[size_t((k + 1) % 3)], b, tol)) return true;
        if (segmentMeetsTriangle(b[size_t(k)], b[size_t((k + 1) % 3)], a, tol)) return true;
    }
    return false;
}

Tri corners(const TriangleMesh& mesh, const MeshTriangle& t) {
    return {Vec3d(mesh.vertices[size_t(t.indices[0])].position),
            Vec3d(mesh.vertices[size_t(t.indices[1])].position),
            Vec3d(mesh.vertices[size_t(t.indices[2])].position)};
}

bool isDegenerate(const Tri& t, double minQuality) {
    const double area = 0.5 * length(cross(t[1] - t[0], t[2] - t[0]));
    const double edge = longestEdge(t);
    return !(area > minQuality * edge * edge);
}

}  // namespace

std::vector<int> degenerateTriangles(const TriangleMesh& mesh, double minQuality) {
    std::vector<int> result;
    for (size_t i = 0; i < mesh.triangles.size(); ++i) {
        const int32_t* c = mesh.triangles[i].indices;
        if (c[0] == c[1] || c[1] == c[2] || c[2] == c[0] ||
            isDegenerate(corners(mesh, mesh.triangles[i]), minQuality))
            result.push_back(int(i));
    }
    return result;
}

std::vector<std::pair<int, int>> selfIntersections(const TriangleMesh& mesh) {
    std::vector<std::pair<int, int>> result;
    const size_t n = mesh.triangles.size();
    if (n < 2) return result;
    std::vector<Tri> tris(n);
    std::vector<std::array<Vec3d, 2>> boxes(n);
    std::vector<uint8_t> skip(n, 0);
    for (int d : degenerateTriangles(mesh)) skip[size_t(d)] = 1;
    Vec3d lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    double edgeSum = 0;
    for (size_t i = 0; i < n; ++i) {
        tris[i] = corners(mesh, mesh.triangles[i]);
        const double slack = kTolerance * longestEdge(tris[i]);
        edgeSum += longestEdge(tris[i]);
        for (int a = 0; a < 3; ++a) {
            boxes[i][0][a] = std::min({tris[i][0][a], tris[i][1][a], tris[i][2][a]}) - slack;
            boxes[i][1][a] = std::max({tris[i][0][a], tris[i][1][a], tris[i][2][a]}) + slack;
            lo[a] = std::min(lo[a], boxes[i][0][a]);
            hi[a] = std::max(hi[a], boxes[i][1][a]);
        }
    }

    // The grid: cells about twice the mean longest edge, at most about 8 per triangle.
    double cell = std::max(2.0 * edgeSum / double(n), 1e-30);
    std::array<long long, 3> dims{};
    for (;;) {
        for (int a = 0; a < 3; ++a) dims[size_t(a)] = (long long)((hi[a] - lo[a]) / cell) + 1;
        if (double(dims[0]) * double(dims[1]) * double(dims[2]) <= 8.0 * double(n) + 64) break;
        cell *= 1.5;
    }
    auto cellOf = [&](double v, int a) {
        return std::clamp((long long)((v - lo[a]) / cell), 0LL, dims[size_t(a)] - 1);
    };
    auto forCells = [&](size_t i, auto&& visit) {
        const long long x0 = cellOf(boxes[i][0].x, 0), x1 = cellOf(boxes[i][1].x, 0);
        const long long y0 = cellOf(boxes[i][0].y, 1), y1 = cellOf(boxes[i][1].y, 1);
        const long long z0 = cellOf(boxes[i][0].z, 2), z1 = cellOf(boxes[i][1].z, 2);
        for (long long z = z0; z <= z1; ++z)
            for (long long y = y0; y <= y1; ++y)
                for (long long x = x0; x <= x1; ++x)
                    visit(size_t((z * dims[1] + y) * dims[0] + x));
    };
    const size_t numCells = size_t(dims[0] * dims[1] * dims[2]);
    std::vector<size_t> start(numCells + 1, 0);
    for (size_t i = 0; i < n; ++i)
        if (!skip[i]) forCells(i, [&](size_t c) { ++start[c + 1]; });
    for (size_t c = 0; c < numCells; ++c) start[c + 1] += start[c];
    std::vector<int> members(start[numCells]);
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i)
        if (!skip[i]) forCells(i, [&](size_t c) { members[fill[c]++] = int(i); });

    for (size_t c = 0; c < numCells; ++c)
        for (size_t u = start[c]; u < start[c + 1]; ++u)
            for (size_t w = u + 1; w < start[c + 1]; ++w) {
                size_t i = size_t(members[u]), j = size_t(members[w]);
                if (i > j) std::swap(i, j);
                bool overlap = true;
                Vec3d common;
                for (int a = 0; a < 3; ++a) {
                    overlap = overlap && boxes[i][0][a] <= boxes[j][1][a] &&
                              boxes[j][0][a] <= boxes[i][1][a];
                    common[a] = std::max(boxes[i][0][a], boxes[j][0][a]);
                }
                // Each pair is tested in the cell that holds the corner of the boxes' overlap.
                if (!overlap ||
                    size_t((cellOf(common.z, 2) * dims[1] + cellOf(common.y, 1)) * dims[0] +
                           cellOf(common.x, 0)) != c)
                    continue;
                if (pairIntersects(tris[i], mesh.triangles[i].indices, tris[j],
                                   mesh.triangles[j].indices))
                    result.emplace_back(int(i), int(j));
            }
    std::sort(result.begin(), result.end());
    return result;
}

}  // namespace ostrel
