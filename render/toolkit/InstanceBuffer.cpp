#include "render/toolkit/InstanceBuffer.h"

#include <algorithm>

namespace ostrel::gl {

std::uint32_t instanceCapacity(std::uint32_t capacity, std::uint32_t count, std::uint32_t step,
                               std::uint32_t minimum) {
    const auto roundUp = [step](std::uint64_t v) { return (v + step - 1) / step * step; };
    std::uint64_t next = count >= capacity
                             ? roundUp(count)
                             : roundUp(std::min<std::uint64_t>(capacity, std::uint64_t(count) + step));
    next = std::max<std::uint64_t>(next, minimum);
    return std::uint32_t(std::min<std::uint64_t>(next, 0xffffffffu));
}

bool InstanceBuffer::allocate() {
    buffer_ = makeBuffer();
    glClean();
    glBindBuffer(GL_ARRAY_BUFFER, buffer_.get());
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(std::uint64_t(capacity_) * elementSize_), nullptr,
                 GL_DYNAMIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    if (!glClean()) {
        buffer_.reset();
        return false;
    }
    return true;
}

bool InstanceBuffer::create(unsigned elementSize) {
    elementSize_ = elementSize;
    capacity_ = kMinimumCapacity;
    return allocate();
}

bool InstanceBuffer::resize(std::uint32_t count) {
    const std::uint32_t next = instanceCapacity(capacity_, count, kStep, kMinimumCapacity);
    if (next == capacity_) return true;
    capacity_ = next;
    return allocate();
}

void InstanceBuffer::update(const void* data, std::uint32_t count) {
    if (count == 0 || !buffer_) return;
    glBindBuffer(GL_ARRAY_BUFFER, buffer_.get());
    glBufferSubData(GL_ARRAY_BUFFER, 0,
                    GLsizeiptr(std::uint64_t(std::min(count, capacity_)) * elementSize_), data);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void InstanceBuffer::release() {
    buffer_.reset();
    capacity_ = 0;
}

}  // namespace ostrel::gl
