#include "voxel/Voxelizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <vector>

namespace ostrel {
namespace {

struct DepthColumn {
    int32_t count;
    float x[kDepthLayerCapacity];
};
static_assert(sizeof(DepthColumn) == 1028, "one column record is 1028 bytes");

struct GridPoint {
    float x, y, z;
};

// ceil(v) limited to [lo, hi]; also safe for infinite or NaN v (from a degenerate transform),
// where a plain float-to-int conversion would be undefined.
int ceilClamped(float v, int lo, int hi) {
    const float c = std::ceil(v);
    if (!(c > float(lo))) return lo;
    if (c >= float(hi)) return hi;
    return int(c);
}

// The columns of layers [layers.begin, layers.end) of a grid ny columns wide.
class DepthLayers {
public:
    DepthLayers(int ny, VoxelLayers layers, std::wostream* messages)
        : ny_(ny),
          first_(layers.begin),
          columns_(size_t(ny) * size_t(layers.end - layers.begin)),
          messages_(messages) {
        std::memset(columns_.data(), 0, columns_.size() * sizeof(DepthColumn));
    }
    // Column with y index k and z index j is record (j - first)*ny + k.
    void add(int k, int j, float x) {
        DepthColumn& c = column(k, j);
        if (c.count >= kDepthLayerCapacity) {
            if (messages_)
                *messages_ << L"WARNING: Depth layer buffer overflow for voxel column (y=" << k
                           << L", z=" << j << L")" << std::endl;
            ok_ = false;
            return;
        }
        c.x[c.count++] = x;
    }
    DepthColumn& column(int k, int j) {
        return columns_[size_t(j - first_) * size_t(ny_) + size_t(k)];
    }
    bool ok() const { return ok_; }

private:
    int ny_, first_;
    std::vector<DepthColumn> columns_;
    std::wostream* messages_;
    bool ok_ = true;
};

// Scan-converts the rows j (z index) in `rows` with j + 0.5 in [zFrom, zTo) of the triangle
// part whose apex is A and whose two edges run A->B and A->C.
void scanPart(DepthLayers& layers, const GridPoint& a, const GridPoint& b, const GridPoint& c,
              float zFrom, float zTo, int ny, VoxelLayers rows) {
    const int jBegin = ceilClamped(zFrom - 0.5f, rows.begin, rows.end);
    const int jEnd = ceilClamped(zTo - 0.5f, rows.begin, rows.end);
    for (int j = jBegin; j < jEnd; ++j) {
        const float t = float(j) + 0.5f - a.z;
        float y1 = a.y + t * (b.y - a.y) / (b.z - a.z);
        float x1 = a.x + t * (b.x - a.x) / (b.z - a.z);
        float y2 = a.y + t * (c.y - a.y) / (c.z - a.z);
        float x2 = a.x + t * (c.x - a.x) / (c.z - a.z);
        if (y2 < y1) {
            std::swap(y1, y2);
            std::swap(x1, x2);
        }
        if (!(y1 < y2)) continue;  // zero width (or NaN): no columns
        const int kBegin = ceilClamped(y1 - 0.5f, 0, ny);
        const int kEnd = ceilClamped(y2 - 0.5f, 0, ny);
        for (int k = kBegin; k < kEnd; ++k) {
            const float x = x1 + (float(k) + 0.5f - y1) * (x2 - x1) / (y2 - y1);
            if (!std::isnan(x)) layers.add(k, j, x);  // NaN only from a degenerate transform
        }
    }
}

}  // namespace

bool voxelize(const TriangleMesh& mesh, Volume<bool, double>& volume, const float m[16],
              std::wostream* messages) {
    return voxelizeLayers(mesh, volume, m, {0, volume.resolution().z}, messages);
}

bool voxelizeLayers(const TriangleMesh& mesh, Volume<bool, double>& volume, const float m[16],
                    VoxelLayers rows, std::wostream* messages) {
    const int nx = volume.resolution().x, ny = volume.resolution().y, nz = volume.resolution().z;
    rows.begin = std::clamp(rows.begin, 0, std::max(nz, 0));
    rows.end = std::clamp(rows.end, rows.begin, std::max(nz, 0));
    if (nx <= 0 || ny <= 0 || rows.begin == rows.end || !volume.data()) return true;
    DepthLayers layers(ny, rows, messages);
    const Vec3f off(volume.offset());
    const Vec3f sp(volume.spacing());
    const size_t nv = mesh.vertices.size();
    for (const MeshTriangle& t : mesh.triangles) {
        GridPoint g[3];
        bool valid = true;
        for (int c = 0; c < 3; ++c) {
            if (t.indices[c] < 0 || size_t(t.indices[c]) >= nv) {
                valid = false;
                break;
            }
            const Vec3f p = mesh.vertices[size_t(t.indices[c])].position;
            const float w = m[12] * p.x + m[13] * p.y + m[14] * p.z + m[15];
            const float x = (m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3]) / w;
            const float y = (m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7]) / w;
            const float z = (m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]) / w;
            g[c] = {(x - off.x) / sp.x, (y - off.y) / sp.y, (z - off.z) / sp.z};
        }
        if (!valid) continue;
        std::sort(g, g + 3, [](const GridPoint& a, const GridPoint& b) { return a.z < b.z; });
        const GridPoint &P = g[0], &Q = g[1], &R = g[2];
        if (P.z == R.z) continue;
        if (P.z != Q.z) scanPart(layers, P, Q, R, P.z, Q.z, ny, rows);
        if (Q.z != R.z) scanPart(layers, R, Q, P, Q.z, R.z, ny, rows);
    }
    bool* data = volume.data();
    for (int j = rows.begin; j < rows.end; ++j)
        for (int k = 0; k < ny; ++k) {
            DepthColumn& c = layers.column(k, j);
            std::sort(c.x, c.x + c.count);
            bool* row = data + volume.index(0, k, j);
            bool inside = false;
            int b = 0;
            for (int n = 0; n < c.count; ++n) {
                const float xm = c.x[n];
                const float edge = inside ? std::floor(xm + 0.5f) : std::ceil(xm - 0.5f);
                const int boundary = edge >= float(nx) ? nx : edge > 0.0f ? int(edge) : 0;
                if (b < boundary) {
                    std::fill(row + b, row + boundary, inside);
                    b = boundary;
                }
                inside = !inside;
            }
            if (b < nx) std::fill(row + b, row + nx, inside);
        }
    return layers.ok();
}

namespace {

// Checks the per-axis cell counts `n` (not yet rounded to int) against the limits and stores
// them in `res`; prints the refusal on `messages`.
bool acceptResolution(const double n[3], const Vec3d& voxelSize, Vec3i& res,
                      std::wostream* messages) {
    double cells = 1.0;
    for (int a = 0; a < 3; ++a) {
        // An empty mesh (inverted bounds) gives an empty grid; a voxel size that is not positive
        // or far too small for the mesh is refused instead of overflowing the resolution.
        if (!(float(voxelSize[a]) > 0.0f) || !(n[a] <= double(kMaxVoxelizeResolution))) {
            if (messages)
                *messages << L"ERROR: Voxel size " << voxelSize[a]
                          << L" gives no usable voxel grid" << std::endl;
            return false;
        }
        res[a] = n[a] > 0.0 ? int(n[a]) : 0;
        cells *= double(res[a]);
    }
    if (cells > double(kMaxVoxelizeCells)) {
        if (messages)
            *messages << L"ERROR: Voxel grid of " << res.x << L" x " << res.y << L" x " << res.z
                      << L" cells is too large" << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool boundsResolution(const TriangleMesh& mesh, const Vec3d& voxelSize, Vec3i& resolution,
                      std::wostream* messages) {
    // Computed in single precision, as the mesh's bounds are.
    double n[3];
    for (int a = 0; a < 3; ++a)
        n[a] = double(std::ceil(2.0f * mesh.halfSize[a] / float(voxelSize[a])));
    return acceptResolution(n, voxelSize, resolution, messages);
}

bool marginResolution(const TriangleMesh& mesh, const Vec3d& voxelSize, Vec3i& resolution,
                      std::wostream* messages) {
    double n[3];
    for (int a = 0; a < 3; ++a) n[a] = std::ceil(double(mesh.halfSize[a]) * 2.0 / voxelSize[a]) + 2;
    return acceptResolution(n, voxelSize, resolution, messages);
}

bool voxelizeToBounds(const TriangleMesh& mesh, Volume<bool, double>& volume, const Vec3d& voxelSize,
                      std::wostream* messages) {
    Vec3i res;
    if (!boundsResolution(mesh, voxelSize, res, messages)) {
        volume.clear();
        return false;
    }
    const Vec3f lo = mesh.center - mesh.halfSize;
    volume.init(res, voxelSize, Vec3d(lo), false);
    static const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    return voxelize(mesh, volume, identity, messages);
}

bool voxelizeToBounds(const TriangleMesh& mesh, Volume<bool, double>& volume, float voxelSize,
                      std::wostream* messages) {
    const double size = double(voxelSize);
    return voxelizeToBounds(mesh, volume, Vec3d(size, size, size), messages);
}

}  // namespace ostrel
