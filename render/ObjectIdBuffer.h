#pragma once
// ObjectIdBuffer: the 32-bit unsigned render target of the back-buffer size that handles and
// arrows write their object IDs into, and its read-back. Window coordinates have y growing
// downward; GL rows grow upward, so window row y is texture row height - 1 - y.

#include <cstdint>
#include <vector>

#include "render/toolkit/Gl.h"

namespace ostrel {

/// A rectangle of pixels, corners inclusive.
struct PixelRect {
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    bool empty() const { return x1 < x0 || y1 < y0; }
};

/// Orders the corners (x0 <= x1, y0 <= y1) and clips the rectangle to a width x height buffer;
/// the result is empty when nothing of it lies inside.
PixelRect orderAndClip(int x0, int y0, int x1, int y1, int width, int height);

class ObjectIdBuffer {
public:
    /// Creates the GL_R32UI texture (cleared to 0); false for a size below 1 or when GL cannot
    /// make it.
    bool create(int width, int height);
    void release();

    /// Reads the IDs of `rect` (window coordinates, inside the buffer), row by row from the top.
    /// False when the buffer does not exist or GL reports an error.
    bool read(const PixelRect& rect, std::vector<std::uint32_t>& ids) const;

    GLuint texture() const { return texture_.get(); }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    ostrel::gl::GlTexture texture_;
    ostrel::gl::GlFramebuffer readFramebuffer_;  ///< the texture alone, for glReadPixels
    int width_ = 0, height_ = 0;
};

}  // namespace ostrel
