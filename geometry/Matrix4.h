#pragma once
// 4x4 float matrix of the rendering code: stored row by row (m[row * 4 + col]), acting on column
// vectors (p' = M * p), translation in the last column. World z is up; view space is
// right-handed and looks along -z. GLSL takes these with transpose = GL_TRUE.

#include <array>
#include <cmath>

#include "geometry/Vec3.h"

namespace ostrel {

struct Vec4f {
    float x = 0, y = 0, z = 0, w = 0;
    constexpr bool operator==(const Vec4f&) const = default;
};

struct Matrix4 {
    std::array<float, 16> m{};

    constexpr float& operator()(int row, int col) { return m[row * 4 + col]; }
    constexpr float operator()(int row, int col) const { return m[row * 4 + col]; }
    constexpr bool operator==(const Matrix4&) const = default;

    static constexpr Matrix4 identity() {
        Matrix4 r;
        r.m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        return r;
    }
    /// Rows given as 16 values, row by row.
    static constexpr Matrix4 fromRows(const std::array<float, 16>& rows) {
        Matrix4 r;
        r.m = rows;
        return r;
    }
};

constexpr Matrix4 operator*(const Matrix4& a, const Matrix4& b) {
    Matrix4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k) s += a(i, k) * b(k, j);
            r(i, j) = s;
        }
    return r;
}

constexpr Vec4f operator*(const Matrix4& a, const Vec4f& v) {
    const float in[4] = {v.x, v.y, v.z, v.w};
    float out[4] = {};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) out[i] += a(i, k) * in[k];
    return {out[0], out[1], out[2], out[3]};
}

/// M * (p, 1), the w component dropped (no perspective division).
constexpr Vec3f transformPoint(const Matrix4& a, const Vec3f& p) {
    const Vec4f r = a * Vec4f{p.x, p.y, p.z, 1.0f};
    return {r.x, r.y, r.z};
}
/// M * (d, 0).
constexpr Vec3f transformDirection(const Matrix4& a, const Vec3f& d) {
    const Vec4f r = a * Vec4f{d.x, d.y, d.z, 0.0f};
    return {r.x, r.y, r.z};
}

constexpr Matrix4 transpose(const Matrix4& a) {
    Matrix4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r(i, j) = a(j, i);
    return r;
}

/// General inverse by cofactors (computed in double). A singular matrix gives the zero matrix.
inline Matrix4 inverse(const Matrix4& a) {
    double s[16];
    for (int i = 0; i < 16; ++i) s[i] = a.m[i];
    double inv[16];
    inv[0] = s[5] * s[10] * s[15] - s[5] * s[11] * s[14] - s[9] * s[6] * s[15] +
             s[9] * s[7] * s[14] + s[13] * s[6] * s[11] - s[13] * s[7] * s[10];
    inv[4] = -s[4] * s[10] * s[15] + s[4] * s[11] * s[14] + s[8] * s[6] * s[15] -
             s[8] * s[7] * s[14] - s[12] * s[6] * s[11] + s[12] * s[7] * s[10];
    inv[8] = s[4] * s[9] * s[15] - s[4] * s[11] * s[13] - s[8] * s[5] * s[15] +
             s[8] * s[7] * s[13] + s[12] * s[5] * s[11] - s[12] * s[7] * s[9];
    inv[12] = -s[4] * s[9] * s[14] + s[4] * s[10] * s[13] + s[8] * s[5] * s[14] -
              s[8] * s[6] * s[13] - s[12] * s[5] * s[10] + s[12] * s[6] * s[9];
    inv[1] = -s[1] * s[10] * s[15] + s[1] * s[11] * s[14] + s[9] * s[2] * s[15] -
             s[9] * s[3] * s[14] - s[13] * s[2] * s[11] + s[13] * s[3] * s[10];
    inv[5] = s[0] * s[10] * s[15] - s[0] * s[11] * s[14] - s[8] * s[2] * s[15] +
             s[8] * s[3] * s[14] + s[12] * s[2] * s[11] - s[12] * s[3] * s[10];
    inv[9] = -s[0] * s[9] * s[15] + s[0] * s[11] * s[13] + s[8] * s[1] * s[15] -
             s[8] * s[3] * s[13] - s[12] * s[1] * s[11] + s[12] * s[3] * s[9];
    inv[13] = s[0] * s[9] * s[14] - s[0] * s[10] * s[13] - s[8] * s[1] * s[14] +
              s[8] * s[2] * s[13] + s[12] * s[1] * s[10] - s[12] * s[2] * s[9];
    inv[2] = s[1] * s[6] * s[15] - s[1] * s[7] * s[14] - s[5] * s[2] * s[15] +
             s[5] * s[3] * s[14] + s[13] * s[2] * s[7] - s[13] * s[3] * s[6];
    inv[6] = -s[0] * s[6] * s[15] + s[0] * s[7] * s[14] + s[4] * s[2] * s[15] -
             s[4] * s[3] * s[14] - s[12] * s[2] * s[7] + s[12] * s[3] * s[6];
    inv[10] = s[0] * s[5] * s[15] - s[0] * s[7] * s[13] - s[4] * s[1] * s[15] +
              s[4] * s[3] * s[13] + s[12] * s[1] * s[7] - s[12] * s[3] * s[5];
    inv[14] = -s[0] * s[5] * s[14] + s[0] * s[6] * s[13] + s[4] * s[1] * s[14] -
              s[4] * s[2] * s[13] - s[12] * s[1] * s[6] + s[12] * s[2] * s[5];
    inv[3] = -s[1] * s[6] * s[11] + s[1] * s[7] * s[10] + s[5] * s[2] * s[11] -
             s[5] * s[3] * s[10] - s[9] * s[2] * s[7] + s[9] * s[3] * s[6];
    inv[7] = s[0] * s[6] * s[11] - s[0] * s[7] * s[10] - s[4] * s[2] * s[11] +
             s[4] * s[3] * s[10] + s[8] * s[2] * s[7] - s[8] * s[3] * s[6];
    inv[11] = -s[0] * s[5] * s[11] + s[0] * s[7] * s[9] + s[4] * s[1] * s[11] -
              s[4] * s[3] * s[9] - s[8] * s[1] * s[7] + s[8] * s[3] * s[5];
    inv[15] = s[0] * s[5] * s[10] - s[0] * s[6] * s[9] - s[4] * s[1] * s[10] +
              s[4] * s[2] * s[9] + s[8] * s[1] * s[6] - s[8] * s[2] * s[5];
    const double det = s[0] * inv[0] + s[1] * inv[4] + s[2] * inv[8] + s[3] * inv[12];
    Matrix4 r;
    if (det == 0.0) return r;
    for (int i = 0; i < 16; ++i) r.m[i] = float(inv[i] / det);
    return r;
}

inline Matrix4 translation(float x, float y, float z) {
    return Matrix4::fromRows({1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z, 0, 0, 0, 1});
}
inline Matrix4 translation(const Vec3f& t) { return translation(t.x, t.y, t.z); }
inline Matrix4 scaling(float s) {
    return Matrix4::fromRows({s, 0, 0, 0, 0, s, 0, 0, 0, 0, s, 0, 0, 0, 0, 1});
}
/// Right-handed rotations by `radians` about the x, y and z axes.
inline Matrix4 rotationX(float radians) {
    const float c = std::cos(radians), s = std::sin(radians);
    return Matrix4::fromRows({1, 0, 0, 0, 0, c, -s, 0, 0, s, c, 0, 0, 0, 0, 1});
}
inline Matrix4 rotationY(float radians) {
    const float c = std::cos(radians), s = std::sin(radians);
    return Matrix4::fromRows({c, 0, s, 0, 0, 1, 0, 0, -s, 0, c, 0, 0, 0, 0, 1});
}
inline Matrix4 rotationZ(float radians) {
    const float c = std::cos(radians), s = std::sin(radians);
    return Matrix4::fromRows({c, -s, 0, 0, s, c, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
}

/// The camera projection: right-handed perspective, vertical field of view pi/4 (the tangent of
/// 0.3926991 = pi/8), near plane 0.001 * lengthScale, far plane 100 * lengthScale, depth range
/// 0 to 1. The planes' ratio, and so every depth value of a scaled scene, stays the same.
inline Matrix4 cameraProjection(float aspect, float lengthScale = 1.0f) {
    const float t = std::tan(0.3926991f);
    Matrix4 r;
    r(0, 0) = 1.0f / (t * aspect);
    r(1, 1) = 1.0f / t;
    r(2, 2) = -1.00001f;
    r(2, 3) = -0.00100001f * lengthScale;
    r(3, 2) = -1.0f;
    return r;
}

/// `projection` with its picture moved by (dx, dy) in normalised device coordinates (x to the
/// right, y up): what lay at the window's centre appears at (dx, dy). For a perspective
/// projection (fourth row 0 0 -1 0).
inline Matrix4 shiftedProjection(const Matrix4& projection, float dx, float dy) {
    Matrix4 r = projection;
    r(0, 2) -= dx;
    r(1, 2) -= dy;
    return r;
}

/// Right-handed look-at view: rows x = normalise(up x z), y = z x x, z = -normalise(dir),
/// translations -x.pos, -y.pos, -z.pos.
inline Matrix4 lookAtView(const Vec3f& pos, const Vec3f& dir, const Vec3f& up) {
    const auto normalise = [](const Vec3f& v) {
        const float l = length(v);
        return l > 0 ? v / l : v;
    };
    const Vec3f z = normalise(-dir);
    const Vec3f x = normalise(cross(up, z));
    const Vec3f y = cross(z, x);
    return Matrix4::fromRows({x.x, x.y, x.z, -dot(x, pos), y.x, y.y, y.z, -dot(y, pos), z.x, z.y,
                              z.z, -dot(z, pos), 0, 0, 0, 1});
}

}  // namespace ostrel
