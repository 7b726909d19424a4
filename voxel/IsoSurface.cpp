#include "voxel/IsoSurface.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "voxel/MarchingCubesTables.h"

namespace ostrel {
namespace {

constexpr int kCornerOffset[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                     {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};

using EdgeVertex = std::pair<int64_t, int32_t>;

bool byEdge(const EdgeVertex& a, const EdgeVertex& b) { return a.first < b.first; }

/// Appends `count` values of T to `bytes`.
template <class T>
void put(std::vector<unsigned char>& bytes, const T* values, size_t count) {
    const size_t at = bytes.size();
    bytes.resize(at + count * sizeof(T));
    if (count) std::memcpy(bytes.data() + at, values, count * sizeof(T));
}

/// Reads `count` values of T at `at` (advanced past them); false when the bytes end first.
template <class T>
bool take(const std::vector<unsigned char>& bytes, size_t& at, std::vector<T>& values,
          uint64_t count) {
    if (count > (bytes.size() - at) / sizeof(T)) return false;
    values.resize(size_t(count));
    if (count) std::memcpy(values.data(), bytes.data() + at, size_t(count) * sizeof(T));
    at += size_t(count) * sizeof(T);
    return true;
}

/// Reads a layer's `count` edges and then its vertices (slabBytes' order).
bool takeLayer(const std::vector<unsigned char>& bytes, size_t& at, std::vector<EdgeVertex>& layer,
               uint64_t count) {
    std::vector<int64_t> edges;
    std::vector<int32_t> vertices;
    if (!take(bytes, at, edges, count) || !take(bytes, at, vertices, count)) return false;
    layer.resize(edges.size());
    for (size_t n = 0; n < edges.size(); ++n) layer[n] = {edges[n], vertices[n]};
    return true;
}

}  // namespace

IsoSurfaceSlab extractIsoSurfaceSlab(const Volume<double, double>& volume, int firstLayer,
                                     double iso, bool invert) {
    IsoSurfaceSlab slab;
    const int nx = volume.resolution().x, ny = volume.resolution().y, nz = volume.resolution().z;
    if (nx < 2 || ny < 2 || nz < 2 || !volume.data()) return slab;
    slab.firstLayer = firstLayer;
    slab.cellLayers = nz - 1;
    const double* s = volume.data();
    const Vec3d off = volume.offset();
    const Vec3d sp = volume.spacing();
    // One record of 12 vertex numbers per cube position of a layer; -1 = not created yet.
    std::vector<std::array<int32_t, 12>> cache(size_t(nx) * size_t(ny));
    for (auto& c : cache) c.fill(-1);
    for (int k = 0; k + 1 < nz; ++k)
        for (int j = 0; j + 1 < ny; ++j)
            for (int i = 0; i + 1 < nx; ++i) {
                double v[8];
                int q = 0;
                for (int c = 0; c < 8; ++c) {
                    v[c] = s[volume.index(i + kCornerOffset[c][0], j + kCornerOffset[c][1],
                                          k + kCornerOffset[c][2])];
                    if (v[c] < iso) q |= 1 << c;
                }
                if (invert) q ^= 255;
                std::array<int32_t, 12>& slot = cache[size_t(i) + size_t(nx) * size_t(j)];
                const unsigned edges = kMcEdgeTable[q];
                for (int e = 0; e < 12; ++e) {
                    if (!(edges & (1u << e)) || slot[size_t(e)] != -1) continue;
                    int c0 = kMcEdgeCorners[e][0], c1 = kMcEdgeCorners[e][1];
                    int axis = 0;
                    while (kCornerOffset[c0][axis] == kCornerOffset[c1][axis]) ++axis;
                    if (kCornerOffset[c0][axis] > kCornerOffset[c1][axis]) std::swap(c0, c1);
                    const double a = v[c0], b = v[c1];
                    const double t = (iso - a) / (b - a);
                    Vec3d p;
                    const int base[3] = {i, j, firstLayer + k};
                    for (int d = 0; d < 3; ++d) {
                        const double n = double(base[d] + kCornerOffset[c0][d]);
                        p[d] = off[d] + (n + (d == axis ? t : 0.0) + 0.5) * sp[d];
                    }
                    const int32_t vertex = int32_t(slab.positions.size());
                    slot[size_t(e)] = vertex;
                    slab.positions.push_back(Vec3f(p));
                    // An edge in the slab's first or last node layer: the neighbouring slab
                    // makes the same vertex, which the join keeps once.
                    const int cz = kCornerOffset[c0][2];
                    if (axis != 2 && ((cz == 0 && k == 0) || (cz == 1 && k + 2 == nz))) {
                        const int64_t node = int64_t(i + kCornerOffset[c0][0]) +
                                             int64_t(nx) * int64_t(j + kCornerOffset[c0][1]);
                        (cz == 0 ? slab.first : slab.last).emplace_back(2 * node + axis, vertex);
                    }
                }
                for (int n = 0; n < 16 && kMcTriTable[q][n] >= 0; ++n)
                    slab.indices.push_back(slot[size_t(kMcTriTable[q][n])]);
                if (i + 1 < nx - 1) {
                    auto& x = cache[size_t(i + 1) + size_t(nx) * size_t(j)];
                    x[3] = slot[1];
                    x[7] = slot[5];
                    x[8] = slot[9];
                    x[11] = slot[10];
                }
                if (j + 1 < ny - 1) {
                    auto& y = cache[size_t(i) + size_t(nx) * size_t(j + 1)];
                    y[0] = slot[2];
                    y[4] = slot[6];
                    y[8] = slot[11];
                    y[9] = slot[10];
                }
                for (int e = 0; e < 4; ++e) slot[size_t(e)] = slot[size_t(e + 4)];
                for (int e = 4; e < 12; ++e) slot[size_t(e)] = -1;
            }
    return slab;
}

bool joinIsoSurfaceSlabs(const std::vector<IsoSurfaceSlab>& slabs, TriangleMesh& mesh) {
    size_t vertexCount = 0, indexCount = 0;
    for (const IsoSurfaceSlab& slab : slabs) {
        vertexCount += slab.positions.size();
        indexCount += slab.indices.size();
    }
    std::vector<Vec3f> positions;
    std::vector<int32_t> indices;
    positions.reserve(vertexCount);
    indices.reserve(indexCount);
    // The last node layer of the slab with cells before this one: its number, and edge ->
    // joined vertex.
    int beforeLayer = 0;
    std::vector<EdgeVertex> before;
    bool joinedOne = false;
    for (const IsoSurfaceSlab& slab : slabs) {
        if (slab.cellLayers == 0) continue;
        std::vector<int32_t> joined(slab.positions.size(), -1);
        if (joinedOne) {
            if (slab.firstLayer != beforeLayer || slab.first.size() != before.size()) return false;
            for (const auto& [edge, vertex] : slab.first) {
                const auto at = std::lower_bound(before.begin(), before.end(),
                                                 EdgeVertex{edge, 0}, byEdge);
                if (at == before.end() || at->first != edge) return false;
                joined[size_t(vertex)] = at->second;
            }
        }
        for (size_t v = 0; v < joined.size(); ++v)
            if (joined[v] < 0) {
                joined[v] = int32_t(positions.size());
                positions.push_back(slab.positions[v]);
            }
        for (int32_t i : slab.indices) indices.push_back(joined[size_t(i)]);
        before.clear();
        for (const auto& [edge, vertex] : slab.last)
            before.emplace_back(edge, joined[size_t(vertex)]);
        std::sort(before.begin(), before.end(), byEdge);
        beforeLayer = slab.firstLayer + slab.cellLayers;
        joinedOne = true;
    }
    mesh.vertices.resize(positions.size());
    for (size_t n = 0; n < positions.size(); ++n) mesh.vertices[n] = {positions[n], {}};
    mesh.triangles.resize(indices.size() / 3);
    for (size_t n = 0; n < mesh.triangles.size(); ++n)
        mesh.triangles[n] = {{indices[3 * n], indices[3 * n + 1], indices[3 * n + 2]}, {}};
    mesh.updateNormals();
    mesh.updateBounds();
    mesh.loaded = true;
    return true;
}

void extractIsoSurface(const Volume<double, double>& volume, double iso, TriangleMesh& mesh,
                       bool invert) {
    // One slab of every layer joins nothing, so the join cannot fail.
    joinIsoSurfaceSlabs({extractIsoSurfaceSlab(volume, 0, iso, invert)}, mesh);
}

std::vector<unsigned char> slabBytes(const IsoSurfaceSlab& slab) {
    std::vector<unsigned char> bytes;
    const int32_t layers[2] = {slab.firstLayer, slab.cellLayers};
    const uint64_t counts[4] = {slab.positions.size(), slab.indices.size(), slab.first.size(),
                                slab.last.size()};
    put(bytes, layers, 2);
    put(bytes, counts, 4);
    put(bytes, slab.positions.data(), slab.positions.size());
    put(bytes, slab.indices.data(), slab.indices.size());
    // A layer's edges, then its vertices: a pair's padding carries nothing worth sending.
    for (const auto* plane : {&slab.first, &slab.last}) {
        for (const auto& entry : *plane) put(bytes, &entry.first, 1);
        for (const auto& entry : *plane) put(bytes, &entry.second, 1);
    }
    return bytes;
}

bool readSlabBytes(const std::vector<unsigned char>& bytes, IsoSurfaceSlab& slab) {
    std::vector<int32_t> layers;
    std::vector<uint64_t> counts;
    IsoSurfaceSlab read;
    size_t at = 0;
    if (!take(bytes, at, layers, 2) || layers[0] < 0 || layers[1] < 0 ||
        !take(bytes, at, counts, 4) || !take(bytes, at, read.positions, counts[0]) ||
        !take(bytes, at, read.indices, counts[1]) ||
        !takeLayer(bytes, at, read.first, counts[2]) ||
        !takeLayer(bytes, at, read.last, counts[3]) || at != bytes.size() ||
        read.indices.size() % 3 != 0)
        return false;
    read.firstLayer = layers[0];
    read.cellLayers = layers[1];
    const size_t n = read.positions.size();
    const auto inRange = [n](int64_t v) { return v >= 0 && uint64_t(v) < n; };
    if (!std::all_of(read.indices.begin(), read.indices.end(), inRange)) return false;
    for (const auto* plane : {&read.first, &read.last})
        for (const auto& entry : *plane)
            if (!inRange(entry.second)) return false;
    slab = std::move(read);
    return true;
}

}  // namespace ostrel
