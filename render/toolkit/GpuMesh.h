#pragma once
// GpuMesh: a generator's vertices and indices in immutable GL buffers, drawn with one pass and
// one input layout. Vertices are 24-byte VPN records (Build) or 12-byte positions
// (BuildPositions); the index buffer (32-bit) exists only when there are indices. Building
// returns false for a generator without vertices or when GL cannot allocate the buffers.

#include <cstdint>
#include <vector>

#include "geometry/Vec3.h"
#include "render/toolkit/Effect.h"
#include "render/toolkit/Geometry.h"
#include "render/toolkit/Gl.h"

namespace ostrel::gl {

/// GL primitive of a topology number (kTriangleList -> GL_TRIANGLES, ...).
GLenum glPrimitive(int topology);

class GpuMesh {
public:
    bool build(const Geometry<VPN>& generator);
    bool buildPositions(const std::vector<ostrel::Vec3f>& positions,
                        const std::vector<std::uint32_t>& indices, int topology);
    /// Applies `pass` and draws with `layout` (slot 0 this mesh's vertices).
    void draw(const EffectPass* pass, const InputLayout* layout) const;
    void release();

    GLuint vertexBuffer() const { return vertexBuffer_.get(); }
    GLuint indexBuffer() const { return indexBuffer_.get(); }
    unsigned stride() const { return stride_; }
    std::uint32_t vertexCount() const { return vertexCount_; }
    std::uint32_t indexCount() const { return indexCount_; }
    int topology() const { return topology_; }

private:
    bool create(const void* vertices, std::uint32_t count, unsigned stride,
                const std::vector<std::uint32_t>& indices, int topology);
    GlBuffer vertexBuffer_, indexBuffer_;
    unsigned stride_ = 24;
    int topology_ = kTriangleList;
    std::uint32_t vertexCount_ = 0, indexCount_ = 0;
};

}  // namespace ostrel::gl
