#include "framework/FrameStats.h"

#include <cstdio>

namespace ostrel {

void FrameRateCounter::frame(double time) {
    ++frames_;
    if (intervalStart_ < 0) {
        intervalStart_ = time;
        return;
    }
    ++intervalFrames_;
    const double span = time - intervalStart_;
    if (span >= kIntervalSeconds) {
        fps_ = double(intervalFrames_) / span;
        intervalFrames_ = 0;
        intervalStart_ = time;
    }
}

std::string frameStatsText(double fps, int width, int height, bool vsync) {
    char text[128];
    std::snprintf(text, sizeof(text), "%.2f fps (%dx%d), VSync %s", fps, width, height,
                  vsync ? "on" : "off");
    return text;
}

std::string deviceStatsText(const std::string& glVersion, const std::string& glRenderer) {
    return "OpenGL " + glVersion + ": " + glRenderer;
}

}  // namespace ostrel
