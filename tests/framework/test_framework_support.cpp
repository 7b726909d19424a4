// The framework's command-line flags, statistics strings, PNG encoding and instance lock.

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <sstream>

#include "framework/FrameStats.h"
#include "framework/FrameworkFlags.h"
#include "framework/InstanceLock.h"
#include "framework/Screenshot.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

FrameworkFlags parse(const std::vector<std::wstring>& args, std::string* report,
                     const std::vector<bool>& owned = {}) {
    std::ostringstream err;
    FrameworkFlags flags = parseFrameworkFlags(args, owned, &err);
    *report = err.str();
    return flags;
}

TEST(FrameworkFlags, ReadsEveryFlagWithoutRegardToCase) {
    std::string report;
    const FrameworkFlags f = parse({L"ostrel",
                                    L"-width:640",
                                    L"-HEIGHT:480",
                                    L"-startx:10",
                                    L"-StartY:20",
                                    L"-windowed",
                                    L"-fullscreen",
                                    L"-forcevsync:0",
                                    L"-constantframetime:16.5",
                                    L"-quitafterframe:7",
                                    L"-screenshotexit:shot \u00e9.png",
                                    L"-ScreenshotOnSignal:now.png",
                                    L"-noerrormsgboxes",
                                    L"-nostats",
                                    L"-automation",
                                    L"-adapter:1",
                                    L"-output:0",
                                    L"-forcefeaturelevel:D3D_FEATURE_LEVEL_11_0",
                                    L"-forcehal",
                                    L"-forceref",
                                    L"-forcewarp"},
                                   &report);
    EXPECT_EQ(report, "");
    EXPECT_EQ(f.width, 640);
    EXPECT_EQ(f.height, 480);
    EXPECT_EQ(f.startX, 10);
    EXPECT_EQ(f.startY, 20);
    EXPECT_TRUE(f.windowed);
    EXPECT_TRUE(f.fullScreen);
    EXPECT_EQ(f.forceVsync, 0);
    EXPECT_DOUBLE_EQ(f.constantFrameTimeMs, 16.5);
    EXPECT_EQ(f.quitAfterFrame, 7);
    EXPECT_EQ(f.screenshotExit, "shot \xc3\xa9.png");
    EXPECT_EQ(f.screenshotOnSignal, "now.png");
    EXPECT_TRUE(f.noErrorMsgBoxes);
    EXPECT_TRUE(f.noStats);
    EXPECT_TRUE(f.automation);
}

TEST(FrameworkFlags, DefaultsAndUnreadableNumbers) {
    std::string report;
    const FrameworkFlags f =
        parse({L"ostrel", L"-width:abc", L"-quitafterframe", L"-forcevsync:1"}, &report);
    EXPECT_EQ(report, "");
    EXPECT_EQ(f.width, 0);
    EXPECT_EQ(f.quitAfterFrame, 0);
    EXPECT_EQ(f.forceVsync, 1);
    EXPECT_FALSE(f.windowed);
    EXPECT_TRUE(f.screenshotExit.empty());
    EXPECT_TRUE(f.screenshotOnSignal.empty());
}

TEST(FrameworkFlags, ReportsUnknownArgumentsButNotTheEntryPointsOwn) {
    std::string report;
    // -SCENE and its file, -CPU and its number belong to the entry point.
    parse({L"ostrel", L"-SCENE", L"scene.txt", L"-bogus", L"-CPU", L"2", L"stray", L"-",
           L"-width:x:y", L"-nostatsX"},
          &report, {false, true, true, false, true, true});
    EXPECT_EQ(report,
              "Unrecognized flag: -bogus\nUnrecognized flag: stray\nUnrecognized flag: -\n"
              "Unrecognized flag: -nostatsX\n");
}

TEST(FrameStats, Strings) {
    EXPECT_EQ(frameStatsText(59.944, 800, 600, false), "59.94 fps (800x600), VSync off");
    EXPECT_EQ(frameStatsText(0, 1, 2, true), "0.00 fps (1x2), VSync on");
    EXPECT_EQ(deviceStatsText("4.5 (Core Profile)", "llvmpipe"),
              "OpenGL 4.5 (Core Profile): llvmpipe");
}

TEST(FrameStats, RateOverHalfSecondIntervals) {
    FrameRateCounter counter;
    counter.frame(0.0);
    EXPECT_EQ(counter.framesPerSecond(), 0.0);
    for (int i = 1; i <= 30; ++i)
        counter.frame(i * 0.02);  // 50 fps
    EXPECT_NEAR(counter.framesPerSecond(), 50.0, 1e-9);
    EXPECT_EQ(counter.frameCount(), 31);
}

TEST(FrameStats, AFrameAfterAWaitMovesByOneBusyFrame) {
    struct Step {
        double now;
        bool afterWait;
        double time;
        float elapsed;
    };
    const auto run = [](FrameClock clock, const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const FrameClock::Times t = clock.next(steps[i].now, steps[i].afterWait);
            EXPECT_DOUBLE_EQ(t.time, steps[i].time) << i;
            EXPECT_NEAR(t.elapsed, steps[i].elapsed, 1e-6) << i;
        }
    };
    run(FrameClock(), {
                          {0.5, false, 0.5, 0.0f},     // the first frame
                          {0.52, false, 0.52, 0.02f},  // busy frames: the time between them
                          {0.55, false, 0.55, 0.03f},
                          {1.60, true, 1.60, 0.03f},  // after a 1 s wait: one busy frame
                          {1.62, false, 1.62, 0.02f},
                          {2.70, true, 2.70, 0.02f},
                          {2.705, true, 2.705, 0.005f},  // a wait shorter than a busy frame
                          {2.80, false, 2.80, 0.095f},
                      });
    // Waits before any busy frame move nothing.
    run(FrameClock(), {{0.0, false, 0.0, 0.0f}, {1.0, true, 1.0, 0.0f}, {1.5, false, 1.5, 0.5f}});
    // A constant frame time ignores the clock and the waits.
    run(FrameClock(0.1),
        {{3.0, false, 0.0, 0.0f}, {9.0, true, 0.1, 0.1f}, {9.5, false, 0.2, 0.1f}});
}

TEST(Screenshot, PngRoundTripPutsTheTopRowFirst) {
    // 3 x 2 picture, bottom-up as OpenGL reads it: bottom row red, top row green.
    const std::vector<unsigned char> rgba = {255, 0,   0, 255, 255, 0,   0, 255, 255, 0,   0, 255,
                                             0,   255, 0, 255, 0,   255, 0, 255, 0,   255, 0, 255};
    const std::string png = encodePngFromBottomUp(3, 2, rgba);
    ASSERT_FALSE(png.empty());
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = stbi_load_from_memory(
        reinterpret_cast<const unsigned char*>(png.data()), int(png.size()), &w, &h, &channels, 4);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(pixels[1], 255);      // top-left green
    EXPECT_EQ(pixels[3 * 4], 255);  // bottom-left red
    stbi_image_free(pixels);
    EXPECT_TRUE(encodePngFromBottomUp(3, 2, {1, 2, 3}).empty());
    EXPECT_TRUE(encodePngFromBottomUp(0, 2, {}).empty());
}

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstLets) {
    testing::ScratchFolder folder("instance-lock");
    const std::string path = (folder.path() / "window.lock").string();
    auto first = std::make_unique<InstanceLock>();
    EXPECT_TRUE(first->acquire(path));
    InstanceLock second;
    std::string error = "x";
    EXPECT_FALSE(second.acquire(path, &error));
    EXPECT_EQ(error, "");
    first.reset();
    EXPECT_TRUE(second.acquire(path));
    InstanceLock missing;
    EXPECT_FALSE(missing.acquire((folder.path() / "no" / "such.lock").string(), &error));
    EXPECT_NE(error, "");
}

}  // namespace
}  // namespace ostrel
