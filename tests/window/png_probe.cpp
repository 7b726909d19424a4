// png_probe: reads PNG screenshots for the window tests and benchmarks (rows counted from the
// top), so that they need no image tool.
//   png_probe FILE X0 Y0 X1 Y1   width, height and the yellow pixels (red and green above 150,
//                                blue below 80) in the rectangle [X0, X1) x [Y0, Y1)
//   png_probe FILE X Y           the pixel's red, green and blue
//   png_probe --differing A B    the pixels of two pictures of one size that differ by more
//                                than 24 in some channel
// Exit 1 when a file cannot be read (or the sizes differ), 2 on a wrong command line.

#include <stb/stb_image.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/Version.h"

namespace {

const char* const kUsage =
    "Usage: png_probe FILE X0 Y0 X1 Y1 | png_probe FILE X Y | png_probe --differing A.png B.png\n";

/// A picture as RGBA bytes, top row first.
struct Picture {
    int width = 0, height = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> pixels{nullptr, stbi_image_free};
    const unsigned char* at(int x, int y) const {
        return pixels.get() + (size_t(y) * size_t(width) + size_t(x)) * 4;
    }
};

bool load(const char* file, Picture& picture) {
    int channels = 0;
    picture.pixels.reset(stbi_load(file, &picture.width, &picture.height, &channels, 4));
    if (!picture.pixels) std::fprintf(stderr, "ERROR: Cannot read \"%s\"\n", file);
    return bool(picture.pixels);
}

int differing(const char* a, const char* b) {
    Picture first, second;
    if (!load(a, first) || !load(b, second)) return 1;
    if (first.width != second.width || first.height != second.height) {
        std::fprintf(stderr, "ERROR: \"%s\" and \"%s\" differ in size\n", a, b);
        return 1;
    }
    long count = 0;
    for (int y = 0; y < first.height; ++y)
        for (int x = 0; x < first.width; ++x) {
            const unsigned char *p = first.at(x, y), *q = second.at(x, y);
            count += std::abs(p[0] - q[0]) > 24 || std::abs(p[1] - q[1]) > 24 ||
                     std::abs(p[2] - q[2]) > 24;
        }
    std::printf("%ld\n", count);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::printf("%sReads PNG screenshots for the window tests, rows counted from the top:\n"
                    "with a rectangle, prints the picture's width and height and the number of\n"
                    "yellow pixels (red and green above 150, blue below 80) in [X0, X1) x [Y0, Y1);\n"
                    "with a point, the pixel's red, green and blue; with --differing, the pixels\n"
                    "of two pictures that differ by more than 24 in some channel.\n"
                    "Exit status: 0 done, 1 a file cannot be read, 2 bad command line.\n",
                    kUsage);
        return 0;
    }
    if (argc == 2 && (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V"))) {
        std::fputs(ostrel::versionLine("png_probe").c_str(), stdout);
        return 0;
    }
    if (argc == 4 && !std::strcmp(argv[1], "--differing")) return differing(argv[2], argv[3]);
    if (argc != 6 && argc != 4) {
        std::fprintf(stderr, "ERROR: Give a file and a rectangle or a point\n%s", kUsage);
        return 2;
    }
    Picture picture;
    if (!load(argv[1], picture)) return 1;
    if (argc == 4) {
        const int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
        if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) {
            std::fprintf(stderr, "ERROR: Point %d %d lies outside the %d x %d picture\n", x, y,
                         picture.width, picture.height);
            return 1;
        }
        const unsigned char* p = picture.at(x, y);
        std::printf("%d %d %d\n", p[0], p[1], p[2]);
        return 0;
    }
    const int x0 = std::atoi(argv[2]), y0 = std::atoi(argv[3]);
    const int x1 = std::atoi(argv[4]), y1 = std::atoi(argv[5]);
    long yellow = 0;
    for (int y = y0 < 0 ? 0 : y0; y < y1 && y < picture.height; ++y)
        for (int x = x0 < 0 ? 0 : x0; x < x1 && x < picture.width; ++x) {
            const unsigned char* p = picture.at(x, y);
            yellow += p[0] > 150 && p[1] > 150 && p[2] < 80;
        }
    std::printf("%d %d %ld\n", picture.width, picture.height, yellow);
    return 0;
}
