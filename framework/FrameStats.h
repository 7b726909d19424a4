#pragma once
// The frame rate and the two statistics strings of the framework.
//
// The frame rate is frames / seconds over the last completed interval of at least half a second
// (0 before the first interval ends). Frame statistics: "%.2f fps (%dx%d), VSync on|off";
// device statistics: "OpenGL <version>: <renderer>". With -nostats both strings are empty.

#include <string>

namespace ostrel {

class FrameRateCounter {
  public:
    static constexpr double kIntervalSeconds = 0.5;
    /// Counts one frame finished at `time` (seconds, non-decreasing).
    void frame(double time);
    double framesPerSecond() const { return fps_; }
    long long frameCount() const { return frames_; }

  private:
    long long frames_ = 0;
    long long intervalFrames_ = 0;
    double intervalStart_ = -1;
    double fps_ = 0;
};

std::string frameStatsText(double fps, int width, int height, bool vsync);
std::string deviceStatsText(const std::string& glVersion, const std::string& glRenderer);

}  // namespace ostrel
