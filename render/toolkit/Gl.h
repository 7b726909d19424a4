#pragma once
// OpenGL declarations for the rendering code (core profile; Mesa needs no loader), and owning
// handles of GL objects: each deletes its object when destroyed or reset. A GL context must be
// current whenever a non-empty handle is destroyed.

#ifndef GL_GLEXT_PROTOTYPES
#define GL_GLEXT_PROTOTYPES 1
#endif
#include <GL/glcorearb.h>

#include <utility>

namespace ostrel::gl {

template <void (*Delete)(GLuint)>
class GlHandle {
public:
    GlHandle() = default;
    explicit GlHandle(GLuint id) : id_(id) {}
    ~GlHandle() { reset(); }
    GlHandle(GlHandle&& o) noexcept : id_(std::exchange(o.id_, 0)) {}
    GlHandle& operator=(GlHandle&& o) noexcept {
        if (this != &o) {
            reset();
            id_ = std::exchange(o.id_, 0);
        }
        return *this;
    }
    GlHandle(const GlHandle&) = delete;
    GlHandle& operator=(const GlHandle&) = delete;

    GLuint get() const { return id_; }
    explicit operator bool() const { return id_ != 0; }
    void reset(GLuint id = 0) {
        if (id_) Delete(id_);
        id_ = id;
    }

private:
    GLuint id_ = 0;
};

namespace gldetail {
inline void deleteBuffer(GLuint id) { glDeleteBuffers(1, &id); }
inline void deleteTexture(GLuint id) { glDeleteTextures(1, &id); }
inline void deleteFramebuffer(GLuint id) { glDeleteFramebuffers(1, &id); }
inline void deleteRenderbuffer(GLuint id) { glDeleteRenderbuffers(1, &id); }
inline void deleteVertexArray(GLuint id) { glDeleteVertexArrays(1, &id); }
inline void deleteProgram(GLuint id) { glDeleteProgram(id); }
inline void deleteShader(GLuint id) { glDeleteShader(id); }
}  // namespace gldetail

using GlBuffer = GlHandle<gldetail::deleteBuffer>;
using GlTexture = GlHandle<gldetail::deleteTexture>;
using GlFramebuffer = GlHandle<gldetail::deleteFramebuffer>;
using GlRenderbuffer = GlHandle<gldetail::deleteRenderbuffer>;
using GlVertexArray = GlHandle<gldetail::deleteVertexArray>;
using GlProgram = GlHandle<gldetail::deleteProgram>;
using GlShader = GlHandle<gldetail::deleteShader>;

inline GlBuffer makeBuffer() {
    GLuint id = 0;
    glGenBuffers(1, &id);
    return GlBuffer(id);
}
inline GlTexture makeTexture() {
    GLuint id = 0;
    glGenTextures(1, &id);
    return GlTexture(id);
}
inline GlFramebuffer makeFramebuffer() {
    GLuint id = 0;
    glGenFramebuffers(1, &id);
    return GlFramebuffer(id);
}
inline GlVertexArray makeVertexArray() {
    GLuint id = 0;
    glGenVertexArrays(1, &id);
    return GlVertexArray(id);
}

/// Drains the GL error queue; true when no error was pending.
inline bool glClean() {
    bool clean = true;
    while (glGetError() != GL_NO_ERROR) clean = false;
    return clean;
}

}  // namespace ostrel::gl
