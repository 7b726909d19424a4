#pragma once
// Object IDs: the 32-bit values of the object-ID buffer. Kind in bits 28-31, index in bits 0-27.
// Kind 1 is a simulation-vertex handle and kind 2 a force arrow, both indexed by the finest-level
// vertex; kind 3 a surface vertex; 0 is the background.

#include <cstdint>
#include <set>

namespace ostrel {

enum class ObjectKind : std::uint32_t { Nothing = 0, VertexHandle = 1, ForceArrow = 2, SurfaceVertex = 3 };

constexpr std::uint32_t makeObjectId(ObjectKind kind, std::uint32_t index) {
    return (std::uint32_t(kind) << 28) | (index & 0x0FFFFFFFu);
}
constexpr ObjectKind objectKind(std::uint32_t id) { return ObjectKind(id >> 28); }
constexpr std::uint32_t objectIndex(std::uint32_t id) { return id & 0x0FFFFFFFu; }

/// What the editor reads under the mouse: the IDs of the last rendered frame, in window client
/// coordinates with y growing downwards. The renderer implements it; tests use a fake.
class ObjectIdSource {
public:
    virtual ~ObjectIdSource() = default;
    /// The ID at one pixel; 0 outside the buffer.
    virtual std::uint32_t getObjectId(int x, int y) = 0;
    /// Inserts the ID of every pixel of the rectangle with corners (x0, y0) and (x1, y1) (in any
    /// order, clipped to the buffer) into `ids`, 0 for background pixels.
    virtual void collectObjectIds(int x0, int y0, int x1, int y1, std::set<std::uint32_t>& ids) = 0;
};

}  // namespace ostrel
