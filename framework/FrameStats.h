#pragma once
// The frame times, the frame rate and the two statistics strings of the framework.
//
// Frame times (FrameClock): each frame's time is the seconds since the loop started, or with a
// constant frame time its frame number times that time. Its elapsed time is the time since the
// previous frame (0 for the first; the constant frame time with one), except for the first frame
// after a wait for events: that one reports the elapsed time of the last frame that followed its
// predecessor without a wait, at most the real time since the previous frame (0 while none has).
// An event that ends a wait thus moves the view by one frame's worth, as in a loop that never
// waits, and never by the time the loop slept.
//
// The frame rate is frames / seconds over the last completed interval of at least half a second
// (0 before the first interval ends). Frame statistics: "%.2f fps (%dx%d), VSync on|off";
// device statistics: "OpenGL <version>: <renderer>". With -nostats both strings are empty.

#include <string>

namespace ostrel {

class FrameClock {
  public:
    /// `constantFrameSeconds` > 0: every frame is that long (-constantframetime).
    explicit FrameClock(double constantFrameSeconds = 0) : constant_(constantFrameSeconds) {}

    struct Times {
        double time = 0;    ///< seconds
        float elapsed = 0;  ///< seconds since the previous frame (see above)
    };
    /// The times of the next frame, which starts at `now` (seconds since the loop started,
    /// non-decreasing); `afterWait`: the loop waited for events since the previous frame.
    Times next(double now, bool afterWait);

  private:
    double constant_;
    long long frames_ = 0;
    double last_ = 0;
    double busyElapsed_ = 0;
};

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
