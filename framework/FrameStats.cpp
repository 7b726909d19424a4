#include "framework/FrameStats.h"

#include <algorithm>
#include <cstdio>

namespace ostrel {

FrameClock::Times FrameClock::next(double now, bool afterWait) {
    Times t;
    if (constant_ > 0) {
        t.time = double(frames_) * constant_;
        t.elapsed = frames_ == 0 ? 0.0f : float(constant_);
    } else {
        t.time = now;
        double elapsed = frames_ == 0 ? 0.0 : now - last_;
        if (frames_ > 0 && afterWait)
            elapsed = std::min(elapsed, busyElapsed_);
        else if (frames_ > 0)
            busyElapsed_ = elapsed;
        t.elapsed = float(elapsed);
    }
    last_ = t.time;
    ++frames_;
    return t;
}

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
