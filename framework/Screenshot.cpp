#include "framework/Screenshot.h"

#define GL_GLEXT_PROTOTYPES
#include <GL/glcorearb.h>
#include <stb/stb_image_write.h>

#include <cstring>

#include "core/AtomicFile.h"

namespace ostrel {

std::string encodePngFromBottomUp(int width, int height, const std::vector<unsigned char>& rgba) {
    if (width <= 0 || height <= 0 || rgba.size() != size_t(width) * size_t(height) * 4)
        return {};
    const size_t stride = size_t(width) * 4;
    std::vector<unsigned char> topDown(rgba.size());
    for (int row = 0; row < height; ++row)
        std::memcpy(&topDown[size_t(row) * stride], &rgba[size_t(height - 1 - row) * stride],
                    stride);
    std::string png;
    auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
    };
    if (!stbi_write_png_to_func(append, &png, width, height, 4, topDown.data(), int(stride)))
        return {};
    return png;
}

bool writeFramebufferPng(const std::string& file, int width, int height, std::string* error) {
    std::vector<unsigned char> pixels(size_t(width) * size_t(height) * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    // The back buffer's alpha is whatever the frame cleared it to; the picture is opaque.
    for (size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 255;
    const std::string png = encodePngFromBottomUp(width, height, pixels);
    if (png.empty()) {
        if (error)
            *error = "PNG encoding failed";
        return false;
    }
    const AtomicWriteResult result = writeFileAtomically(file, png);
    if (!result) {
        if (error)
            *error = result.reason.empty() ? "write failed" : result.reason;
        return false;
    }
    return true;
}

}  // namespace ostrel
