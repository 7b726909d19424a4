#pragma once
// Geometry generators: vertices with positions and normals, 32-bit indices and the primitive
// topology of a mesh, computed on the CPU (no GPU needed). Every generator's triangles are wound
// counter-clockwise seen from the side their normals face (the right-hand rule gives the
// outward side).

#include <cmath>
#include <cstdint>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "geometry/Vec3.h"

namespace ostrel::gl {

/// Vertex of position and normal, 24 bytes.
struct VPN {
    ostrel::Vec3f position;
    ostrel::Vec3f normal;
};
static_assert(sizeof(VPN) == 24, "VPN is a 24-byte vertex");

/// Primitive topologies (the numbers of the line drawer's modes and the generators).
enum Topology : int {
    kPointList = 1,
    kLineList = 2,
    kLineStrip = 3,
    kTriangleList = 4,
    kTriangleStrip = 5,
};

template <typename V>
class Geometry {
public:
    virtual ~Geometry() = default;
    virtual void getVertices(std::vector<V>& vertices) const = 0;
    virtual void getIndices(std::vector<std::uint32_t>& indices) const = 0;
    virtual int getTopology() const { return kTriangleList; }
};

/// One vertex per mesh vertex (position and normal), the three corners of every triangle.
template <typename V>
class Mesh : public Geometry<V> {
public:
    explicit Mesh(const ostrel::TriangleMesh* mesh) : mesh_(mesh) {}
    void getVertices(std::vector<V>& vertices) const override {
        vertices.clear();
        for (const auto& v : mesh_->vertices) vertices.push_back(V{v.position, v.normal});
    }
    void getIndices(std::vector<std::uint32_t>& indices) const override {
        indices.clear();
        for (const auto& t : mesh_->triangles)
            for (int k = 0; k < 3; ++k) indices.push_back(std::uint32_t(t.indices[k]));
    }

private:
    const ostrel::TriangleMesh* mesh_;
};

/// An arrow along +z from the origin: a closed cylinder shaft of radius rs and length ls, then a
/// cone of base radius rh and length lh. 7n + 1 vertices, 18n indices.
template <typename V>
class Arrow : public Geometry<V> {
public:
    Arrow(unsigned segments, float shaftRadius, float headRadius, float shaftLength,
          float headLength)
        : n_(segments), rs_(shaftRadius), rh_(headRadius), ls_(shaftLength), lh_(headLength) {}

    void getVertices(std::vector<V>& v) const override {
        using ostrel::Vec3f;
        v.clear();
        const double delta = 2.0 * 3.14159265358979323846 / n_;
        const float q = std::sqrt(rh_ * rh_ + lh_ * lh_);
        const Vec3f down(0, 0, -1);
        v.push_back(V{Vec3f(0, 0, 0), down});
        for (unsigned j = 0; j < n_; ++j) {
            const float c = float(std::cos(j * delta)), s = float(std::sin(j * delta));
            v.push_back(V{Vec3f(rs_ * c, rs_ * s, 0), down});
        }
        for (unsigned j = 0; j < n_; ++j) {
            const float c = float(std::cos(j * delta)), s = float(std::sin(j * delta));
            v.push_back(V{Vec3f(rs_ * c, rs_ * s, 0), Vec3f(c, s, 0)});
            v.push_back(V{Vec3f(rs_ * c, rs_ * s, ls_), Vec3f(c, s, 0)});
        }
        for (unsigned j = 0; j < n_; ++j) {
            const float c = float(std::cos(j * delta)), s = float(std::sin(j * delta));
            v.push_back(V{Vec3f(rs_ * c, rs_ * s, ls_), down});
            v.push_back(V{Vec3f(rh_ * c, rh_ * s, ls_), down});
        }
        for (unsigned j = 0; j < n_; ++j) {
            const float c = float(std::cos(j * delta)), s = float(std::sin(j * delta));
            const float cb = float(std::cos((j + 0.5) * delta)), sb = float(std::sin((j + 0.5) * delta));
            v.push_back(V{Vec3f(rh_ * c, rh_ * s, ls_), Vec3f(lh_ / q * c, lh_ / q * s, rh_ / q)});
            v.push_back(V{Vec3f(0, 0, ls_ + lh_), Vec3f(lh_ / q * cb, lh_ / q * sb, rh_ / q)});
        }
    }

    void getIndices(std::vector<std::uint32_t>& x) const override {
        x.clear();
        const std::uint32_t n = n_;
        const auto tri = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
            x.push_back(a);
            x.push_back(b);
            x.push_back(c);
        };
        for (std::uint32_t i = 2; i <= n; ++i) tri(i - 1, 0, i);
        tri(n, 0, 1);
        for (std::uint32_t first : {n + 1, 3 * n + 1}) {  // shaft, then the head's base ring
            for (std::uint32_t j = 0; j + 1 < n; ++j) {
                const std::uint32_t b = first + 2 * j;
                tri(b + 1, b, b + 3);
                tri(b + 3, b, b + 2);
            }
            const std::uint32_t last = first + 2 * (n - 1);
            tri(last + 1, last, first + 1);
            tri(first + 1, last, first);
        }
        for (std::uint32_t j = 0; j + 1 < n; ++j) {
            const std::uint32_t b = 5 * n + 1 + 2 * j;
            tri(b + 1, b, b + 2);
        }
        tri(7 * n, 7 * n - 1, 5 * n + 1);
    }

private:
    unsigned n_;
    float rs_, rh_, ls_, lh_;
};

/// The unit square [0,1]^2 in the plane z = 0 as a non-indexed triangle list facing +z; when
/// two-sided, followed by the same square facing -z.
template <typename V>
class UnitPlane : public Geometry<V> {
public:
    explicit UnitPlane(bool twoSided) : twoSided_(twoSided) {}
    void getVertices(std::vector<V>& v) const override {
        using ostrel::Vec3f;
        v.clear();
        const Vec3f up(0, 0, 1), down(0, 0, -1);
        for (const Vec3f& p : {Vec3f(0, 1, 0), Vec3f(0, 0, 0), Vec3f(1, 1, 0), Vec3f(1, 1, 0),
                               Vec3f(0, 0, 0), Vec3f(1, 0, 0)})
            v.push_back(V{p, up});
        if (!twoSided_) return;
        for (const Vec3f& p : {Vec3f(1, 0, 0), Vec3f(0, 0, 0), Vec3f(1, 1, 0), Vec3f(1, 1, 0),
                               Vec3f(0, 0, 0), Vec3f(0, 1, 0)})
            v.push_back(V{p, down});
    }
    void getIndices(std::vector<std::uint32_t>& indices) const override { indices.clear(); }

private:
    bool twoSided_;
};

}  // namespace ostrel::gl
