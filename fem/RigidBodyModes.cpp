#include "fem/RigidBodyModes.h"

#include <numeric>
#include <vector>

#include "fem/FemModel.h"

namespace ostrel {
namespace {

struct Point {
    long long x, y, z;
};

// Held points of one cluster, reduced to what decides rigidity: up to two distinct points and
// whether a third point off their line has been seen.
struct Anchors {
    int count = 0;
    Point a{}, b{};
    bool held = false;

    void add(const Point& p) {
        if (held) return;
        if (count == 0) {
            a = p, count = 1;
        } else if (count == 1) {
            if (p.x != a.x || p.y != a.y || p.z != a.z) b = p, count = 2;
        } else {
            const Point u{b.x - a.x, b.y - a.y, b.z - a.z}, v{p.x - a.x, p.y - a.y, p.z - a.z};
            held = u.y * v.z - u.z * v.y != 0 || u.z * v.x - u.x * v.z != 0 ||
                   u.x * v.y - u.y * v.x != 0;
        }
    }
};

int findRoot(std::vector<int>& parent, int e) {
    while (parent[size_t(e)] != e) e = parent[size_t(e)] = parent[size_t(parent[size_t(e)])];
    return e;
}

}  // namespace

bool fixationsHoldModel(const FemModel& m) {
    const int nE = m.numElements(0), nV = m.numVertices(0);
    if (nE == 0) return true;
    // Face-connected clusters of level-0 elements.
    std::vector<int> parent(static_cast<size_t>(nE));
    std::iota(parent.begin(), parent.end(), 0);
    for (int e = 0; e < nE; ++e) {
        const GridPos c = unpack(m.elementPosition(0)[size_t(e)]);
        for (const GridPos& n : {GridPos{c.x + 1, c.y, c.z}, GridPos{c.x, c.y + 1, c.z},
                                 GridPos{c.x, c.y, c.z + 1}}) {
            const int f = m.elementAt(0, n);
            if (f >= 0) parent[size_t(findRoot(parent, f))] = findRoot(parent, e);
        }
    }
    std::vector<int> cluster(static_cast<size_t>(nE));
    int clusters = 0;
    std::vector<int> index(size_t(nE), -1);
    for (int e = 0; e < nE; ++e) {
        const int r = findRoot(parent, e);
        if (index[size_t(r)] < 0) index[size_t(r)] = clusters++;
        cluster[size_t(e)] = index[size_t(r)];
    }

    // Every vertex adds itself to the clusters around it when it is fixed or one of those
    // clusters is held; repeated until no cluster becomes held.
    std::vector<Anchors> anchors(static_cast<size_t>(clusters));
    int held = 0;
    for (bool changed = true; changed && held < clusters;) {
        changed = false;
        for (int v = 0; v < nV; ++v) {
            const GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
            int around[8], count = 0;
            bool anchored = m.fixedFlags()[size_t(v)] != 0;
            for (int k = -1; k <= 0; ++k)
                for (int j = -1; j <= 0; ++j)
                    for (int i = -1; i <= 0; ++i) {
                        const int e = m.elementAt(0, {p.x + i, p.y + j, p.z + k});
                        if (e < 0) continue;
                        around[count++] = cluster[size_t(e)];
                        anchored = anchored || anchors[size_t(cluster[size_t(e)])].held;
                    }
            if (!anchored) continue;
            for (int n = 0; n < count; ++n) {
                Anchors& a = anchors[size_t(around[n])];
                if (a.held) continue;
                a.add({p.x, p.y, p.z});
                if (a.held) ++held, changed = true;
            }
        }
    }
    return held == clusters;
}

bool FixationCheck::holds(const FemModel& model) {
    if (valid_ && fixed_ == model.fixedFlags()) return held_;
    held_ = fixationsHoldModel(model);
    fixed_ = model.fixedFlags();
    valid_ = true;
    ++evaluations_;
    return held_;
}

}  // namespace ostrel
