// png_probe FILE X0 Y0 X1 Y1: prints the picture's width, height and the number of yellow
// pixels (red and green above 150, blue below 80) in the rectangle [X0, X1) x [Y0, Y1), rows
// counted from the top. Exit 1 when the file cannot be read, 2 on a wrong command line. A
// helper of the window tests.

#include <stb/stb_image.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/Version.h"

namespace {

const char* const kUsage = "Usage: png_probe FILE X0 Y0 X1 Y1\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::printf("%sPrints the width and height of the PNG picture FILE and the number of\n"
                    "yellow pixels (red and green above 150, blue below 80) in the rectangle\n"
                    "[X0, X1) x [Y0, Y1), rows counted from the top. A helper of the window\n"
                    "tests. Exit status: 0 done, 1 FILE cannot be read, 2 bad command line.\n",
                    kUsage);
        return 0;
    }
    if (argc == 2 && (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V"))) {
        std::fputs(ostrel::versionLine("png_probe").c_str(), stdout);
        return 0;
    }
    if (argc != 6) {
        std::fprintf(stderr, "ERROR: Give a file and a rectangle\n%s", kUsage);
        return 2;
    }
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = stbi_load(argv[1], &w, &h, &channels, 4);
    if (!pixels) {
        std::fprintf(stderr, "ERROR: Cannot read \"%s\"\n", argv[1]);
        return 1;
    }
    const int x0 = std::atoi(argv[2]), y0 = std::atoi(argv[3]);
    const int x1 = std::atoi(argv[4]), y1 = std::atoi(argv[5]);
    long yellow = 0;
    for (int y = y0 < 0 ? 0 : y0; y < y1 && y < h; ++y)
        for (int x = x0 < 0 ? 0 : x0; x < x1 && x < w; ++x) {
            const unsigned char* p = pixels + (size_t(y) * size_t(w) + size_t(x)) * 4;
            yellow += p[0] > 150 && p[1] > 150 && p[2] < 80;
        }
    stbi_image_free(pixels);
    std::printf("%d %d %ld\n", w, h, yellow);
    return 0;
}
