#include "render/RendererMath.h"

#include <cmath>

#include "fem/FemModel.h"

namespace ostrel {

Matrix4 lightProjection() {
    Matrix4 p;
    p(0, 0) = p(1, 1) = 1.0f / std::tan(22.5f);
    p(2, 2) = -1.0126582f;
    p(2, 3) = -0.10126582f;
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

Matrix4 arrowWorld(const Vec3f& position, const Vec3f& force, float handleRadius, float k) {
    const float magnitude = length(force);
    const Matrix4 ry90 = Matrix4::fromRows({0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1});
    return translation(position) * rotationTakingXTo(force / magnitude) *
           translation(1.5f * handleRadius, 0, 0) * scaling(magnitude * k) * ry90;
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
    const Vec3f origin(model.origin_);
    const Vec3f voxel(model.voxelSize_);
    for (int i = 0; i < n; ++i) {
        const GridPos g = unpack(model.vertexPosition_[0][size_t(i)]);
        positions[size_t(i)] = Vec3f(origin.x + float(g.x) * voxel.x, origin.y + float(g.y) * voxel.y,
                                     origin.z + float(g.z) * voxel.z);
        types[size_t(i)] = model.isVertexFixed_[size_t(i)] ? 1 : 0;
    }
}

void buildArrowInstances(const FemModel& model, const std::vector<Vec3f>& positions,
                         const Matrix4& view, float handleRadius, float k,
                         std::vector<std::int32_t>& vertices, std::vector<Matrix4>& matrices) {
    vertices.clear();
    matrices.clear();
    const size_t n = std::min(positions.size(), model.force_.size() / 3);
    for (size_t i = 0; i < n; ++i) {
        const Vec3f f(model.force_[3 * i], model.force_[3 * i + 1], model.force_[3 * i + 2]);
        // A NaN compares unequal to 0 and so gets an arrow, as any other non-zero force.
        if (f.x == 0 && f.y == 0 && f.z == 0) continue;
        vertices.push_back(std::int32_t(i));
        const Matrix4 w = view * arrowWorld(positions[i], f, handleRadius, k);
        matrices.push_back(w);
        matrices.push_back(transpose(inverse(w)));
    }
}

}  // namespace ostrel
