#pragma once
// PNG screenshots of the back buffer.

#include <string>
#include <vector>

namespace ostrel {

/// Encodes `rgba` (width * height * 4 bytes, rows bottom-up as OpenGL reads them) as a PNG with
/// the top row first. Empty on failure.
std::string encodePngFromBottomUp(int width, int height, const std::vector<unsigned char>& rgba);

/// Reads the current read framebuffer (width x height from the origin) and writes it to `file`
/// (UTF-8) atomically. On failure returns false with the reason in `error`.
bool writeFramebufferPng(const std::string& file, int width, int height, std::string* error);

}  // namespace ostrel
