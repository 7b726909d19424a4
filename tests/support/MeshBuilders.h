#pragma once
// Small closed meshes, a closedness check and an exact comparison for the tests and benchmarks.

#include <cmath>
#include <map>
#include <utility>

#include "geometry/TriangleMesh.h"

namespace ostrel::test {

/// Axis-aligned box [lo, hi], faces counter-clockwise seen from outside (or reversed).
inline TriangleMesh makeBox(Vec3f lo, Vec3f hi, bool reversed = false) {
    TriangleMesh m;
    for (int n = 0; n < 8; ++n)
        m.vertices.push_back({{(n & 1) ? hi.x : lo.x, (n & 2) ? hi.y : lo.y,
                               (n & 4) ? hi.z : lo.z}, {}});
    // Quads as corner bit patterns, counter-clockwise from outside.
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& q : quads) {
        int a[2][3] = {{q[0], q[1], q[2]}, {q[0], q[2], q[3]}};
        for (auto& t : a) {
            if (reversed) std::swap(t[1], t[2]);
            m.triangles.push_back({{t[0], t[1], t[2]}, {}});
        }
    }
    m.updateNormals();
    m.updateBounds();
    m.loaded = true;
    return m;
}

/// Latitude-longitude sphere with `rings` x `segments` quads, outward.
inline TriangleMesh makeSphere(Vec3f c, float r, int rings, int segments) {
    TriangleMesh m;
    const double pi = 3.14159265358979323846;
    m.vertices.push_back({{c.x, c.y, c.z - r}, {}});
    for (int i = 1; i < rings; ++i) {
        const double th = pi * i / rings;
        for (int s = 0; s < segments; ++s) {
            const double ph = 2 * pi * s / segments;
            m.vertices.push_back({{c.x + float(r * std::sin(th) * std::cos(ph)),
                                   c.y + float(r * std::sin(th) * std::sin(ph)),
                                   c.z - float(r * std::cos(th))}, {}});
        }
    }
    m.vertices.push_back({{c.x, c.y, c.z + r}, {}});
    const int top = int(m.vertices.size()) - 1;
    auto ring = [&](int i, int s) { return 1 + (i - 1) * segments + (s % segments); };
    for (int s = 0; s < segments; ++s) m.triangles.push_back({{0, ring(1, s + 1), ring(1, s)}, {}});
    for (int i = 1; i + 1 < rings; ++i)
        for (int s = 0; s < segments; ++s) {
            m.triangles.push_back({{ring(i, s), ring(i, s + 1), ring(i + 1, s + 1)}, {}});
            m.triangles.push_back({{ring(i, s), ring(i + 1, s + 1), ring(i + 1, s)}, {}});
        }
    for (int s = 0; s < segments; ++s)
        m.triangles.push_back({{top, ring(rings - 1, s), ring(rings - 1, s + 1)}, {}});
    m.updateNormals();
    m.updateBounds();
    m.loaded = true;
    return m;
}

/// True when every directed edge appears exactly once and its reverse exactly once.
inline bool isClosedAndOriented(const TriangleMesh& m) {
    std::map<std::pair<int, int>, int> edges;
    for (const auto& t : m.triangles)
        for (int c = 0; c < 3; ++c) ++edges[{t.indices[c], t.indices[(c + 1) % 3]}];
    for (const auto& [e, n] : edges) {
        if (n != 1) return false;
        auto it = edges.find({e.second, e.first});
        if (it == edges.end() || it->second != 1) return false;
    }
    return true;
}

/// The same surface: the same vertex positions and triangles, in the same order.
inline bool sameSurface(const TriangleMesh& a, const TriangleMesh& b) {
    if (a.vertices.size() != b.vertices.size() || a.triangles.size() != b.triangles.size())
        return false;
    for (size_t i = 0; i < a.vertices.size(); ++i)
        if (!(a.vertices[i].position == b.vertices[i].position)) return false;
    for (size_t t = 0; t < a.triangles.size(); ++t)
        for (int k = 0; k < 3; ++k)
            if (a.triangles[t].indices[k] != b.triangles[t].indices[k]) return false;
    return true;
}

}  // namespace ostrel::test
