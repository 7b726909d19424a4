#include "voxel/IsoSurface.h"

#include <array>
#include <vector>

#include "voxel/MarchingCubesTables.h"

namespace ostrel {
namespace {

constexpr int kCornerOffset[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                     {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};

}  // namespace

void extractIsoSurface(const Volume<double, double>& volume, double iso, TriangleMesh& mesh,
                       bool invert) {
    mesh.vertices.clear();
    mesh.triangles.clear();
    const int nx = volume.resolution().x, ny = volume.resolution().y, nz = volume.resolution().z;
    if (nx >= 2 && ny >= 2 && nz >= 2 && volume.data()) {
        const double* s = volume.data();
        const Vec3d off = volume.offset();
        const Vec3d sp = volume.spacing();
        // One record of 12 vertex numbers per cube position of a layer; -1 = not created yet.
        std::vector<std::array<int32_t, 12>> cache(size_t(nx) * size_t(ny));
        for (auto& c : cache) c.fill(-1);
        std::vector<Vec3d> positions;
        std::vector<int32_t> indices;
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
                        const int base[3] = {i, j, k};
                        for (int d = 0; d < 3; ++d) {
                            const double n = double(base[d] + kCornerOffset[c0][d]);
                            p[d] = off[d] + (n + (d == axis ? t : 0.0) + 0.5) * sp[d];
                        }
                        slot[size_t(e)] = int32_t(positions.size());
                        positions.push_back(p);
                    }
                    for (int n = 0; n < 16 && kMcTriTable[q][n] >= 0; ++n)
                        indices.push_back(slot[size_t(kMcTriTable[q][n])]);
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
        mesh.vertices.resize(positions.size());
        for (size_t n = 0; n < positions.size(); ++n)
            mesh.vertices[n] = {Vec3f(positions[n]), {}};
        mesh.triangles.resize(indices.size() / 3);
        for (size_t n = 0; n < mesh.triangles.size(); ++n)
            mesh.triangles[n] = {{indices[3 * n], indices[3 * n + 1], indices[3 * n + 2]}, {}};
    }
    mesh.updateNormals();
    mesh.updateBounds();
    mesh.loaded = true;
}

}  // namespace ostrel
