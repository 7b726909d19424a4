#include "render/toolkit/GpuMesh.h"

namespace ostrel::gl {

GLenum glPrimitive(int topology) {
    switch (topology) {
        case kPointList: return GL_POINTS;
        case kLineList: return GL_LINES;
        case kLineStrip: return GL_LINE_STRIP;
        case kTriangleStrip: return GL_TRIANGLE_STRIP;
        default: return GL_TRIANGLES;
    }
}

bool GpuMesh::create(const void* vertices, std::uint32_t count, unsigned stride,
                     const std::vector<std::uint32_t>& indices, int topology) {
    release();
    if (count == 0) return false;
    glClean();
    vertexBuffer_ = makeBuffer();
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer_.get());
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(std::uint64_t(count) * stride), vertices,
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    if (!indices.empty()) {
        // The element-array binding belongs to the bound vertex array: create the data through
        // the copy-write target instead so no vertex array is touched.
        indexBuffer_ = makeBuffer();
        glBindBuffer(GL_COPY_WRITE_BUFFER, indexBuffer_.get());
        glBufferData(GL_COPY_WRITE_BUFFER, GLsizeiptr(indices.size() * 4), indices.data(),
                     GL_STATIC_DRAW);
        glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
    }
    if (!glClean()) {
        release();
        return false;
    }
    stride_ = stride;
    topology_ = topology;
    vertexCount_ = count;
    indexCount_ = std::uint32_t(indices.size());
    return true;
}

bool GpuMesh::build(const Geometry<VPN>& generator) {
    std::vector<VPN> vertices;
    std::vector<std::uint32_t> indices;
    generator.getVertices(vertices);
    generator.getIndices(indices);
    return create(vertices.data(), std::uint32_t(vertices.size()), sizeof(VPN), indices,
                  generator.getTopology());
}

bool GpuMesh::buildPositions(const std::vector<ostrel::Vec3f>& positions,
                             const std::vector<std::uint32_t>& indices, int topology) {
    return create(positions.data(), std::uint32_t(positions.size()), sizeof(ostrel::Vec3f), indices,
                  topology);
}

void GpuMesh::draw(const EffectPass* pass, const InputLayout* layout) const {
    if (!vertexBuffer_ || !layout) return;
    const VertexBufferBinding slot0{vertexBuffer_.get(), stride_, 0};
    layout->bind({&slot0, 1});
    if (pass) pass->apply();
    if (indexBuffer_) {
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer_.get());
        glDrawElements(glPrimitive(topology_), GLsizei(indexCount_), GL_UNSIGNED_INT, nullptr);
    } else {
        glDrawArrays(glPrimitive(topology_), 0, GLsizei(vertexCount_));
    }
    glBindVertexArray(0);
}

void GpuMesh::release() {
    vertexBuffer_.reset();
    indexBuffer_.reset();
    vertexCount_ = indexCount_ = 0;
}

}  // namespace ostrel::gl
