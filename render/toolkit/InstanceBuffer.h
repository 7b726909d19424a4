#pragma once
// InstanceBuffer: a growable GL vertex buffer of per-instance elements. Its capacity starts at
// 100000 elements and moves in steps of 50000 (see instanceCapacity), so the element count can
// change within one step without a reallocation.

#include <cstdint>

#include "render/toolkit/Gl.h"

namespace ostrel::gl {

/// The capacity rule: count >= K gives ceil(count / s) * s; otherwise ceil(min(K, count + s) / s)
/// * s (shrinks only when more than one step is spare); never below m.
std::uint32_t instanceCapacity(std::uint32_t capacity, std::uint32_t count,
                               std::uint32_t step = 50000, std::uint32_t minimum = 100000);

class InstanceBuffer {
public:
    static constexpr std::uint32_t kMinimumCapacity = 100000;
    static constexpr std::uint32_t kStep = 50000;

    /// Creates the buffer of kMinimumCapacity elements of `elementSize` bytes; false when GL
    /// cannot allocate it.
    bool create(unsigned elementSize);
    /// Applies the capacity rule for `count` elements; recreates the buffer only when the
    /// capacity changes (the contents are then undefined).
    bool resize(std::uint32_t count);
    /// Copies `count` elements into the start of the buffer (count <= capacity).
    void update(const void* data, std::uint32_t count);
    void release();

    GLuint buffer() const { return buffer_.get(); }
    std::uint32_t capacity() const { return capacity_; }
    unsigned elementSize() const { return elementSize_; }

private:
    bool allocate();
    unsigned elementSize_ = 0;
    std::uint32_t capacity_ = 0;
    GlBuffer buffer_;
};

}  // namespace ostrel::gl
