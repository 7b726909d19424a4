#pragma once
// ShadowMap: a 4096 x 4096 32-bit float depth texture that the light's view is rendered into
// and that the effect samples with depth comparison (bilinear, outside the map counts as lit).

#include "render/toolkit/Gl.h"

namespace ostrel {

class ShadowMap {
public:
    static constexpr int kSize = 4096;

    /// False when GL cannot make the texture or its framebuffer.
    bool create();
    void release();
    /// Binds the map's framebuffer (depth only) for drawing.
    void bindForDrawing() const;

    GLuint texture() const { return texture_.get(); }
    bool exists() const { return bool(texture_); }

private:
    ostrel::gl::GlTexture texture_;
    ostrel::gl::GlFramebuffer framebuffer_;
};

}  // namespace ostrel
