#include "render/ObjectIdBuffer.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace ostrel {

using namespace ostrel::gl;

PixelRect orderAndClip(int x0, int y0, int x1, int y1, int width, int height) {
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    return {std::max(x0, 0), std::max(y0, 0), std::min(x1, width - 1), std::min(y1, height - 1)};
}

bool ObjectIdBuffer::create(int width, int height) {
    release();
    if (width < 1 || height < 1) return false;
    glClean();
    texture_ = makeTexture();
    glBindTexture(GL_TEXTURE_2D, texture_.get());
    glTexImage2D(GL_TEXTURE_2D, 0, GL_R32UI, width, height, 0, GL_RED_INTEGER, GL_UNSIGNED_INT,
                 nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    glBindTexture(GL_TEXTURE_2D, 0);

    GLint previous = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &previous);
    readFramebuffer_ = makeFramebuffer();
    glBindFramebuffer(GL_FRAMEBUFFER, readFramebuffer_.get());
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture_.get(), 0);
    const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (complete) {
        const GLuint zero[4] = {0, 0, 0, 0};
        glClearBufferuiv(GL_COLOR, 0, zero);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, GLuint(previous));
    if (!complete || !glClean()) {
        release();
        return false;
    }
    width_ = width;
    height_ = height;
    return true;
}

void ObjectIdBuffer::release() {
    readFramebuffer_.reset();
    texture_.reset();
    width_ = height_ = 0;
}

bool ObjectIdBuffer::read(const PixelRect& rect, std::vector<std::uint32_t>& ids) const {
    ids.clear();
    if (!readFramebuffer_ || rect.empty() || rect.x0 < 0 || rect.y0 < 0 || rect.x1 >= width_ ||
        rect.y1 >= height_)
        return false;
    const int w = rect.x1 - rect.x0 + 1, h = rect.y1 - rect.y0 + 1;
    std::vector<std::uint32_t> rows(size_t(w) * size_t(h));
    glClean();
    GLint previous = 0;
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &previous);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, readFramebuffer_.get());
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    // GL row of the window's bottom row of the rectangle: height - 1 - y1.
    glReadPixels(rect.x0, height_ - 1 - rect.y1, w, h, GL_RED_INTEGER, GL_UNSIGNED_INT, rows.data());
    glBindFramebuffer(GL_READ_FRAMEBUFFER, GLuint(previous));
    if (!glClean()) return false;
    ids.resize(rows.size());
    for (int r = 0; r < h; ++r)  // GL rows run upward: the last one read is the window's top
        std::copy_n(rows.begin() + std::ptrdiff_t(size_t(h - 1 - r) * size_t(w)), w,
                    ids.begin() + std::ptrdiff_t(size_t(r) * size_t(w)));
    return true;
}

}  // namespace ostrel
