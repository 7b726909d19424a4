#include "geometry/DegenerateTriangles.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

namespace ostrel {
namespace {

double largestExtent(const TriangleMesh& mesh) {
    if (mesh.vertices.empty()) return 0.0;
    Vec3d lo(mesh.vertices[0].position), hi = lo;
    for (const MeshVertex& v : mesh.vertices)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], double(v.position[a]));
            hi[a] = std::max(hi[a], double(v.position[a]));
        }
    return std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z});
}

/// Twice the area over the longest edge (0 when every corner is the same point).
double heightOf(const Vec3d& p0, const Vec3d& p1, const Vec3d& p2) {
    const double longest = std::max({length(p1 - p0), length(p2 - p1), length(p0 - p2)});
    return longest > 0 ? length(cross(p1 - p0, p2 - p0)) / longest : 0.0;
}

/// The surface being mended: positions, corners, which triangles are left and, per vertex, the
/// triangles that may hold it (entries go stale when a triangle loses the vertex or dies).
class Mender {
public:
    explicit Mender(const TriangleMesh& mesh)
        : height_(degenerateHeight(mesh)),
          collapse_(kCollapseTolerance * largestExtent(mesh)),
          separation_(kSeparation * largestExtent(mesh)) {
        points_.reserve(mesh.vertices.size());
        for (const MeshVertex& v : mesh.vertices) points_.emplace_back(v.position);
        corners_.reserve(mesh.triangles.size());
        incident_.resize(mesh.vertices.size());
        for (const MeshTriangle& t : mesh.triangles) {
            const int n = int(corners_.size());
            corners_.push_back({t.indices[0], t.indices[1], t.indices[2]});
            for (int32_t v : t.indices) incident_[size_t(v)].push_back(n);
        }
        alive_.assign(corners_.size(), 1);
        moved_.assign(points_.size(), 0);
    }

    void mend() {
        mendRounds();
        // Where the surface passes through one point more than once, its vertices there cannot
        // be joined without joining the surface to itself: they are moved apart instead.
        for (int round = 0; round < 3 && separate(); ++round) mendRounds();
    }

    /// The mended mesh: live triangles in their order, used vertices in theirs.
    void writeInto(TriangleMesh& mesh) const {
        std::vector<char> used(points_.size(), 0);
        for (size_t t = 0; t < corners_.size(); ++t)
            if (alive_[t])
                for (int v : corners_[t]) used[size_t(v)] = 1;
        std::vector<int32_t> renumbered(points_.size(), -1);
        std::vector<MeshVertex> vertices;
        for (size_t v = 0; v < points_.size(); ++v)
            if (used[v]) {
                renumbered[v] = int32_t(vertices.size());
                vertices.push_back(mesh.vertices[v]);
                if (moved_[v]) vertices.back().position = Vec3f(points_[v]);
            }
        std::vector<MeshTriangle> triangles;
        for (size_t t = 0; t < corners_.size(); ++t) {
            if (!alive_[t]) continue;
            MeshTriangle triangle{};
            for (int c = 0; c < 3; ++c) triangle.indices[c] = renumbered[size_t(corners_[t][size_t(c)])];
            triangles.push_back(triangle);
        }
        mesh.vertices = std::move(vertices);
        mesh.triangles = std::move(triangles);
        mesh.updateNormals();
        mesh.updateBounds();
    }

private:
    using Corners = std::array<int, 3>;

    void mendRounds() {
        // A few rounds: a collapse may leave a neighbour degenerate that the next round mends.
        for (int round = 0; round < 8; ++round) {
            bool changed = false;
            for (size_t t = 0; t < corners_.size(); ++t)
                if (alive_[t] && isDegenerate(int(t))) changed = mendTriangle(int(t)) || changed;
            if (!changed) break;
        }
    }

    /// Moves each end of a short edge of a degenerate triangle (or the corner of a cap), and
    /// each vertex on a point another one has, by kSeparation times the extent: towards the middle of its neighbours that lie elsewhere, or along or against its
    /// normal, whichever leaves the fewest degenerate triangles around it (and fewer than
    /// before) and turns no triangle with area over. True when a vertex moved.
    bool separate() {
        std::vector<int> ends;
        for (size_t t = 0; t < corners_.size(); ++t) {
            if (!alive_[t] || !isDegenerate(int(t))) continue;
            const Corners& c = corners_[t];
            bool shortEdge = false;
            int apex = c[0];
            double longest = -1;
            for (int k = 0; k < 3; ++k) {
                const int a = c[size_t(k)], b = c[size_t((k + 1) % 3)];
                const double edge = length(points_[size_t(a)] - points_[size_t(b)]);
                if (edge <= collapse_) ends.insert(ends.end(), {a, b}), shortEdge = true;
                if (edge > longest) longest = edge, apex = c[size_t((k + 2) % 3)];
            }
            if (!shortEdge) ends.push_back(apex);  // a cap whose edge could not be flipped
        }
        std::sort(ends.begin(), ends.end());
        ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
        // Distinct vertices on one point: a reader that joins corners by position (STL) would
        // join the surface to itself there.
        const std::vector<int> shared = sharedPoints();
        std::map<std::array<float, 3>, int> sharers;  // point -> vertices on it
        for (int v : shared) ++sharers[pointKey(v)];
        const size_t degenerateEnds = ends.size();
        for (int v : shared)
            if (!std::binary_search(ends.begin(), ends.begin() + long(degenerateEnds), v))
                ends.push_back(v);
        bool movedAny = false;
        for (size_t e = 0; e < ends.size(); ++e) {
            const int v = ends[e];
            const bool onlyShared = e >= degenerateEnds;
            if (onlyShared && sharers[pointKey(v)] < 2) continue;  // the others have moved
            const Vec3d at = points_[size_t(v)];
            const std::vector<int> ring = around(v);
            Vec3d middle{}, normal{};
            int count = 0;
            for (int u : neighbours(v))
                if (length(points_[size_t(u)] - at) > collapse_) middle += points_[size_t(u)], ++count;
            for (int t : ring) normal += normalOf(corners_[size_t(t)]);
            auto unit = [](const Vec3d& d) { return length(d) > 0 ? d / length(d) : Vec3d{}; };
            const Vec3d inward = count ? unit(middle / double(count) - at) : Vec3d{};
            const Vec3d n = unit(normal);
            // Degenerate triangles around v with v at `p`; -1 when one with area turns over.
            auto degenerateAround = [&](const Vec3d& p) {
                int left = 0;
                for (int t : ring) {
                    const Vec3d old = normalOf(corners_[size_t(t)]);
                    const bool was = isDegenerate(t);
                    points_[size_t(v)] = p;
                    const bool turned = !was && dot(normalOf(corners_[size_t(t)]), old) <= 0;
                    left += isDegenerate(t);
                    points_[size_t(v)] = at;
                    if (turned) return -1;
                }
                return left;
            };
            int best = degenerateAround(at);
            Vec3d chosen = at;
            for (const Vec3d& d : {inward, n * -1.0, n, unit(inward - n), unit(inward + n)}) {
                if (!(length(d) > 0)) continue;
                const Vec3d p = at + d * separation_;
                const int left = degenerateAround(p);
                // A shared point only has to be left without making a triangle degenerate.
                if (left >= 0 && (left < best || (onlyShared && left <= best && chosen == at)))
                    best = left, chosen = p;
            }
            if (chosen == at) continue;
            if (sharers.count(pointKey(v))) --sharers[pointKey(v)];
            points_[size_t(v)] = chosen;
            moved_[size_t(v)] = 1;
            movedAny = true;
        }
        return movedAny;
    }

    std::array<float, 3> pointKey(int v) const {
        const Vec3f p(points_[size_t(v)]);
        return {p.x, p.y, p.z};
    }
    /// The used vertices whose 32-bit position another used vertex has too.
    std::vector<int> sharedPoints() const {
        std::vector<int> used;
        for (size_t t = 0; t < corners_.size(); ++t)
            if (alive_[t]) used.insert(used.end(), corners_[t].begin(), corners_[t].end());
        std::sort(used.begin(), used.end());
        used.erase(std::unique(used.begin(), used.end()), used.end());
        auto key = [&](int v) { return pointKey(v); };
        std::sort(used.begin(), used.end(), [&](int a, int b) { return key(a) < key(b); });
        std::vector<int> shared;
        for (size_t i = 0; i + 1 < used.size(); ++i)
            if (key(used[i]) == key(used[i + 1])) shared.insert(shared.end(), {used[i], used[i + 1]});
        std::sort(shared.begin(), shared.end());
        shared.erase(std::unique(shared.begin(), shared.end()), shared.end());
        return shared;
    }
    Vec3d normalOf(const Corners& c) const {
        return cross(points_[size_t(c[1])] - points_[size_t(c[0])],
                     points_[size_t(c[2])] - points_[size_t(c[0])]);
    }
    bool isDegenerate(const Corners& c) const {
        return heightOf(points_[size_t(c[0])], points_[size_t(c[1])], points_[size_t(c[2])]) <=
               height_;
    }
    bool isDegenerate(int t) const { return isDegenerate(corners_[size_t(t)]); }
    bool holds(int t, int v) const {
        const Corners& c = corners_[size_t(t)];
        return alive_[size_t(t)] && (c[0] == v || c[1] == v || c[2] == v);
    }
    /// The live triangles around `v`, each once.
    std::vector<int> around(int v) const {
        std::vector<int> list;
        for (int t : incident_[size_t(v)])
            if (holds(t, v) && std::find(list.begin(), list.end(), t) == list.end())
                list.push_back(t);
        return list;
    }
    std::vector<int> neighbours(int v) const {
        std::vector<int> list;
        for (int t : around(v))
            for (int u : corners_[size_t(t)])
                if (u != v && std::find(list.begin(), list.end(), u) == list.end())
                    list.push_back(u);
        std::sort(list.begin(), list.end());
        return list;
    }

    bool mendTriangle(int t) {
        const Corners c = corners_[size_t(t)];
        std::array<std::pair<double, int>, 3> edges;  // length, first corner of edge k -> k+1
        for (int k = 0; k < 3; ++k)
            edges[size_t(k)] = {length(points_[size_t(c[size_t((k + 1) % 3)])] -
                                       points_[size_t(c[size_t(k)])]),
                                k};
        std::sort(edges.begin(), edges.end());
        for (const auto& [edgeLength, k] : edges) {
            if (edgeLength > collapse_) break;
            const int a = c[size_t(k)], b = c[size_t((k + 1) % 3)];
            if (a != b && (collapse(a, b) || collapse(b, a))) return true;
        }
        if (edges[0].first <= collapse_) return false;
        const int k = edges[2].second;
        return flip(t, c[size_t(k)], c[size_t((k + 1) % 3)], c[size_t((k + 2) % 3)]);
    }

    /// Moves `drop` onto `keep` (see the header for when it is refused).
    bool collapse(int keep, int drop) {
        std::vector<int> shared, moved, across;
        for (int t : around(drop)) {
            if (holds(t, keep)) {
                shared.push_back(t);
                for (int u : corners_[size_t(t)])
                    if (u != keep && u != drop) across.push_back(u);
            } else {
                moved.push_back(t);
            }
        }
        if (shared.empty() || shared.size() > 2) return false;
        std::sort(across.begin(), across.end());
        if (std::adjacent_find(across.begin(), across.end()) != across.end()) return false;
        // The ends may share no neighbour but those across the edge.
        std::vector<int> keepNeighbours = neighbours(keep), dropNeighbours = neighbours(drop);
        std::erase(keepNeighbours, drop);
        std::erase(dropNeighbours, keep);
        std::vector<int> common;
        std::set_intersection(keepNeighbours.begin(), keepNeighbours.end(), dropNeighbours.begin(),
                              dropNeighbours.end(), std::back_inserter(common));
        // Otherwise the ends are joined only where that leaves nothing of the piece around
        // them (a piece without volume, folded flat onto itself).
        const bool linked = common == across;
        // No triangle with area may turn over.
        for (int t : moved) {
            Corners after = corners_[size_t(t)];
            std::replace(after.begin(), after.end(), drop, keep);
            if (!isDegenerate(t) && dot(normalOf(after), normalOf(corners_[size_t(t)])) <= 0)
                return false;
        }
        struct Saved {
            int t;
            Corners corners;
            char alive;
        };
        std::vector<Saved> saved;
        for (const std::vector<int>& list : {around(keep), moved, shared})
            for (int t : list) saved.push_back({t, corners_[size_t(t)], alive_[size_t(t)]});
        const std::vector<int> keepIncident = incident_[size_t(keep)];
        const std::vector<int> dropIncident = incident_[size_t(drop)];

        for (int t : shared) alive_[size_t(t)] = 0;
        for (int t : moved) {
            std::replace(corners_[size_t(t)].begin(), corners_[size_t(t)].end(), drop, keep);
            incident_[size_t(keep)].push_back(t);
        }
        incident_[size_t(drop)].clear();
        removeOppositePairs(keep);
        if (linked || around(keep).empty()) return true;
        for (const Saved& saved1 : saved) {
            corners_[size_t(saved1.t)] = saved1.corners;
            alive_[size_t(saved1.t)] = saved1.alive;
        }
        incident_[size_t(keep)] = keepIncident;
        incident_[size_t(drop)] = dropIncident;
        return false;
    }

    /// Two triangles over the same corners in opposite orders close nothing: both go.
    void removeOppositePairs(int v) {
        const std::vector<int> list = around(v);
        for (size_t i = 0; i < list.size(); ++i)
            for (size_t j = i + 1; j < list.size(); ++j) {
                const Corners& p = corners_[size_t(list[i])];
                const Corners& q = corners_[size_t(list[j])];
                if (!alive_[size_t(list[i])] || !alive_[size_t(list[j])]) continue;
                for (int r = 0; r < 3; ++r)
                    if (p[0] == q[size_t(r)] && p[1] == q[size_t((r + 2) % 3)] &&
                        p[2] == q[size_t((r + 1) % 3)]) {
                        alive_[size_t(list[i])] = alive_[size_t(list[j])] = 0;
                        break;
                    }
            }
    }

    /// Triangle t = (a, b, c) with its longest edge a -> b: flips that edge with the triangle
    /// (b, a, d) across it into (c, a, d) and (d, b, c).
    bool flip(int t, int a, int b, int c) {
        int other = -1, d = -1;
        for (int u : around(a)) {
            const Corners& q = corners_[size_t(u)];
            for (int r = 0; r < 3; ++r)
                if (u != t && q[size_t(r)] == b && q[size_t((r + 1) % 3)] == a)
                    other = u, d = q[size_t((r + 2) % 3)];
        }
        if (other < 0 || d == c) return false;
        const std::vector<int> cNeighbours = neighbours(c);
        if (std::binary_search(cNeighbours.begin(), cNeighbours.end(), d)) return false;
        const Corners first = {c, a, d}, second = {d, b, c};
        const Vec3d facing = normalOf(corners_[size_t(other)]);
        if (isDegenerate(first) || isDegenerate(second) || dot(normalOf(first), facing) <= 0 ||
            dot(normalOf(second), facing) <= 0)
            return false;
        corners_[size_t(t)] = first;
        corners_[size_t(other)] = second;
        incident_[size_t(d)].push_back(t);
        incident_[size_t(c)].push_back(other);
        return true;
    }

    double height_;
    double collapse_;
    double separation_;
    std::vector<Vec3d> points_;
    std::vector<Corners> corners_;
    std::vector<char> alive_;
    std::vector<char> moved_;  // vertices that separate() moved
    std::vector<std::vector<int>> incident_;
};

/// Whether two vertices that triangles use lie on the same 32-bit point.
bool hasSharedPoints(const TriangleMesh& mesh) {
    std::vector<char> used(mesh.vertices.size(), 0);
    for (const MeshTriangle& t : mesh.triangles)
        for (int32_t v : t.indices) used[size_t(v)] = 1;
    std::vector<std::array<float, 3>> points;
    for (size_t v = 0; v < used.size(); ++v)
        if (used[v]) {
            const Vec3f& p = mesh.vertices[v].position;
            points.push_back({p.x, p.y, p.z});
        }
    std::sort(points.begin(), points.end());
    return std::adjacent_find(points.begin(), points.end()) != points.end();
}

}  // namespace

double degenerateHeight(const TriangleMesh& mesh) {
    return kDegenerateTolerance * largestExtent(mesh);
}

size_t countDegenerateTriangles(const TriangleMesh& mesh, double height) {
    size_t count = 0;
    for (const MeshTriangle& t : mesh.triangles)
        count += heightOf(Vec3d(mesh.vertices[size_t(t.indices[0])].position),
                          Vec3d(mesh.vertices[size_t(t.indices[1])].position),
                          Vec3d(mesh.vertices[size_t(t.indices[2])].position)) <= height;
    return count;
}

size_t removeDegenerateTriangles(TriangleMesh& mesh) {
    if (countDegenerateTriangles(mesh) == 0 && !hasSharedPoints(mesh)) return 0;
    const size_t before = mesh.triangles.size();
    Mender mender(mesh);
    mender.mend();
    mender.writeInto(mesh);
    return before - mesh.triangles.size();
}

}  // namespace ostrel
