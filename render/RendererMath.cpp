#include "render/RendererMath.h"

#include <algorithm>
#include <cmath>

#include "fem/FemModel.h"

namespace ostrel {

Matrix4 lightProjection(float lengthScale) {
    Matrix4 p;
    p(0, 0) = p(1, 1) = 1.0f / std::tan(22.5f);
    p(2, 2) = -1.0126582f;
    p(2, 3) = -0.10126582f * lengthScale;
    p(3, 2) = -1.0f;
    return p;
}

Matrix4 shadowTextureMatrix() {
    Matrix4 d = Matrix4::identity();
    d(0, 0) = 0.5f;
    d(1, 1) = -0.5f;
    return d * translation(1, -1, 0);
}

namespace {
/// Rotation of the unit quaternion (w = 0, axis a): a half turn about a, 2 a a^T - I.
Matrix4 halfTurn(const Vec3f& axis) {
    const float l = length(axis);
    const Vec3f a = l > 0 ? axis / l : Vec3f(1, 0, 0);
    Matrix4 r = Matrix4::identity();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r(i, j) = 2 * a[i] * a[j] - (i == j ? 1.0f : 0.0f);
    return r;
}
}  // namespace

Matrix4 rotationTakingXTo(const Vec3f& d) {
    if (d.x >= 0) return halfTurn(d + Vec3f(1, 0, 0));
    return halfTurn(d - Vec3f(1, 0, 0)) * halfTurn(Vec3f(0, 1, 0));
}

Matrix4 arrowWorld(const Vec3f& tail, const Vec3f& direction, float length) {
    const Matrix4 ry90 = Matrix4::fromRows({0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1});
    return translation(tail) * rotationTakingXTo(direction) * scaling(length) * ry90;
}

namespace {

/// Whether a world point lies below the ground or in (or on the boundary of) a finest-level
/// cell that holds an element.
bool blocked(const FemModel& model, const Vec3f& p) {
    constexpr double kTolerance = 1e-3;  // of a voxel: points on a cell face touch both cells
    if (p.z < kTolerance * model.voxelSize().z) return true;
    int low[3], high[3];
    for (int a = 0; a < 3; ++a) {
        const double u = (double(p[a]) - model.origin()[a]) / model.voxelSize()[a];
        const double cell = std::floor(u);
        low[a] = high[a] = int(cell);
        if (u - cell < kTolerance) low[a] -= 1;
        if (u - cell > 1 - kTolerance) high[a] += 1;
    }
    for (int z = low[2]; z <= high[2]; ++z)
        for (int y = low[1]; y <= high[1]; ++y)
            for (int x = low[0]; x <= high[0]; ++x)
                if (model.elementAt(0, {x, y, z}) >= 0) return true;
    return false;
}

/// Sum of the directions from the vertex to the centres of the open cells around it (no
/// element, above the ground): zero inside the solid, the outward normal on a face.
Vec3f outwardDirection(const FemModel& model, int vertex) {
    const GridPos g = unpack(model.vertexPosition(0)[size_t(vertex)]);
    Vec3f sum(0, 0, 0);
    for (int dz = -1; dz <= 0; ++dz)
        for (int dy = -1; dy <= 0; ++dy)
            for (int dx = -1; dx <= 0; ++dx) {
                const GridPos c{g.x + dx, g.y + dy, g.z + dz};
                const double centreZ = model.origin().z + (c.z + 0.5) * model.voxelSize().z;
                if (model.elementAt(0, c) < 0 && centreZ >= 0)
                    sum += Vec3f(float(2 * dx + 1), float(2 * dy + 1), float(2 * dz + 1));
            }
    return sum;
}

bool axisFree(const FemModel& model, const ArrowPlacement& a) {
    constexpr int kSamples = 8;
    for (int k = 0; k <= kSamples; ++k)
        if (blocked(model, a.tail + a.direction * (a.length * float(k) / kSamples))) return false;
    return true;
}

}  // namespace

ArrowPlacement placeArrow(const FemModel& model, int vertex, const Vec3f& position,
                          const Vec3f& force, float arrowLength, float handleRadius) {
    const Vec3f d = force / length(force);
    const float gap = 1.5f * handleRadius;
    const ArrowPlacement away{position + d * gap, d, arrowLength};
    const ArrowPlacement towards{position - d * (gap + arrowLength), d, arrowLength};
    if (axisFree(model, away)) return away;
    if (axisFree(model, towards)) return towards;
    const Vec3f n = outwardDirection(model, vertex);
    const Vec3f across = n - d * dot(n, d);
    const float l = length(across);
    if (l > 1e-3f * length(n)) {
        const Vec3f shift = across * ((0.2f * arrowLength + handleRadius) / l);
        for (const ArrowPlacement& a : {away, towards}) {
            const ArrowPlacement moved{a.tail + shift, a.direction, a.length};
            if (axisFree(model, moved)) return moved;
        }
    }
    return away;
}

float fogDensity(float hx, float hy) { return powf(-logf(0.1f), 2) / (50 * (hx + hy)); }

Matrix4 groundWorld(float hx, float hy) {
    return translation(hx, hy, 0) * scaling(100 * (hx + hy)) * translation(-0.5f, -0.5f, 0);
}

void buildHandleInstances(const FemModel& model, std::vector<Vec3f>& positions,
                          std::vector<std::uint8_t>& types) {
    const int n = model.numVertices(0);
    positions.resize(size_t(n));
    types.resize(size_t(n));
    const Vec3f origin(model.origin());
    const Vec3f voxel(model.voxelSize());
    for (int i = 0; i < n; ++i) {
        const GridPos g = unpack(model.vertexPosition(0)[size_t(i)]);
        positions[size_t(i)] = Vec3f(origin.x + float(g.x) * voxel.x, origin.y + float(g.y) * voxel.y,
                                     origin.z + float(g.z) * voxel.z);
        types[size_t(i)] = model.fixedFlags()[size_t(i)] ? 1 : 0;
    }
}

void buildArrowInstances(const FemModel& model, const std::vector<Vec3f>& positions,
                         const Matrix4& view, float handleRadius, float longest,
                         std::vector<std::int32_t>& vertices, std::vector<Matrix4>& matrices) {
    vertices.clear();
    matrices.clear();
    appendArrowInstances(model, model.forces(), positions, view, handleRadius, longest, false,
                         vertices, matrices);
}

void appendArrowInstances(const FemModel& model, const std::vector<float>& forces,
                          const std::vector<Vec3f>& positions, const Matrix4& view,
                          float handleRadius, float longest, bool dimmed,
                          std::vector<std::int32_t>& vertices, std::vector<Matrix4>& matrices) {
    const size_t n = std::min(positions.size(), forces.size() / 3);
    const auto forceAt = [&](size_t i) {
        return Vec3f(forces[3 * i], forces[3 * i + 1], forces[3 * i + 2]);
    };
    float largest = 0;
    for (size_t i = 0; i < n; ++i) {
        const float m = length(forceAt(i));
        if (std::isfinite(m)) largest = std::max(largest, m);
    }
    for (size_t i = 0; i < n; ++i) {
        const Vec3f f = forceAt(i);
        // A NaN compares unequal to 0 and so gets an arrow, as any other non-zero force.
        if (f.x == 0 && f.y == 0 && f.z == 0) continue;
        vertices.push_back(dimmed ? -std::int32_t(i) - 1 : std::int32_t(i));
        const float m = length(f);
        const float drawn = std::isfinite(m) && largest > 0 ? longest * (m / largest) : longest;
        const ArrowPlacement a = placeArrow(model, int(i), positions[i], f, drawn, handleRadius);
        const Matrix4 w = view * arrowWorld(a.tail, a.direction, a.length);
        matrices.push_back(w);
        matrices.push_back(transpose(inverse(w)));
    }
}

float longestArrow(const Vec3f& halfSize, float scaling) {
    return 0.1f * 2 * length(halfSize) * scaling;
}

}  // namespace ostrel
