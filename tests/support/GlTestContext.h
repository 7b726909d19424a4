#pragma once
// A hidden GLFW window with an OpenGL 3.3 core context for tests of GL code (run them under
// xvfb-run; Mesa's software rasterizer serves). The clip space is set to a depth range of 0..1
// with the origin at the lower left, as the window framework does. An offscreen "back buffer"
// (RGBA8 colour and depth-stencil) stands in for the window's framebuffer, so pixels read back
// are exactly what was drawn, even though the window is never shown.

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "render/toolkit/Gl.h"

namespace ostrel::testing {

class GlTestContext {
public:
    GlTestContext(int width, int height) {
        if (!glfwInit()) return;
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        window_ = glfwCreateWindow(width, height, "ostrel-test", nullptr, nullptr);
        if (!window_) return;
        glfwMakeContextCurrent(window_);
        using ClipControl = void (*)(GLenum, GLenum);
        const auto clipControl = reinterpret_cast<ClipControl>(glfwGetProcAddress("glClipControl"));
        if (!clipControl) return;
        clipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        resize(width, height);
    }
    ~GlTestContext() {
        if (window_) {
            depth_.reset();
            color_.reset();
            framebuffer_.reset();
            glfwDestroyWindow(window_);
        }
        glfwTerminate();
    }
    GlTestContext(const GlTestContext&) = delete;
    GlTestContext& operator=(const GlTestContext&) = delete;

    bool ok() const { return window_ && framebuffer_; }
    int width() const { return width_; }
    int height() const { return height_; }

    /// Recreates the back buffer at a new size.
    void resize(int width, int height) {
        width_ = width;
        height_ = height;
        color_ = ostrel::gl::makeTexture();
        glBindTexture(GL_TEXTURE_2D, color_.get());
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glBindTexture(GL_TEXTURE_2D, 0);
        GLuint rb = 0;
        glGenRenderbuffers(1, &rb);
        depth_.reset(rb);
        glBindRenderbuffer(GL_RENDERBUFFER, rb);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
        framebuffer_ = ostrel::gl::makeFramebuffer();
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_.get());
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, color_.get(), 0);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, rb);
        if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) framebuffer_.reset();
    }

    /// Binds the back buffer and clears it (colour, depth 1, stencil 0), as a frame begins.
    void beginFrame(float r = 0.1f, float g = 0.2f, float b = 0.4f) {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_.get());
        glViewport(0, 0, width_, height_);
        glDepthMask(GL_TRUE);
        glClearColor(r, g, b, 1);
        glClearDepth(1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    }

    /// RGBA pixels of the back buffer, rows from the top of the picture.
    std::vector<std::uint8_t> readPixels() const {
        std::vector<std::uint8_t> gl(size_t(width_) * size_t(height_) * 4), top(gl.size());
        glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_.get());
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, gl.data());
        const size_t row = size_t(width_) * 4;
        for (int y = 0; y < height_; ++y)
            std::copy_n(gl.begin() + std::ptrdiff_t(size_t(height_ - 1 - y) * row), row,
                        top.begin() + std::ptrdiff_t(size_t(y) * row));
        return top;
    }

    /// Writes pixels from readPixels as a binary PPM file.
    static bool writePpm(const std::string& path, const std::vector<std::uint8_t>& rgba, int w, int h) {
        std::ofstream out(path, std::ios::binary);
        out << "P6\n" << w << " " << h << "\n255\n";
        for (size_t i = 0; i + 3 < rgba.size(); i += 4) out.write(reinterpret_cast<const char*>(&rgba[i]), 3);
        return bool(out);
    }

private:
    GLFWwindow* window_ = nullptr;
    int width_ = 0, height_ = 0;
    ostrel::gl::GlTexture color_;
    ostrel::gl::GlRenderbuffer depth_;
    ostrel::gl::GlFramebuffer framebuffer_;
};

}  // namespace ostrel::testing
