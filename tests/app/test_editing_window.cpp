// Editing in the real window, under a virtual X display with Mesa's software rasterizer: the
// interactive program on the cantilever example, driven by real mouse and key input through
// xdotool, looked at through screenshots of its window (ImageMagick's import).
//
// The scene is the cantilever example with a close default view: heading 90 looks along +y at
// the beam's side y = 0 from 0.35 in front of it, so the window's centre pixel (400, 300) shows
// the handle of the free vertex at grid point (40, 0, 10), about 10 pixels in radius.

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "render/Camera.h"
#include "render/Editor.h"
#include "scene/Scene.h"
#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

/// Output of a shell command (its standard output), or nothing when it failed.
std::optional<std::string> shell(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Rgb {
    int r = 0, g = 0, b = 0;
};

/// One screenshot of a window.
class Screenshot {
public:
    bool load(const fs::path& png) {
        int n = 0;
        unsigned char* data = stbi_load(png.c_str(), &width_, &height_, &n, 3);
        if (!data) return false;
        pixels_.assign(data, data + size_t(width_) * size_t(height_) * 3);
        stbi_image_free(data);
        return true;
    }
    Rgb at(int x, int y) const {
        const unsigned char* p = &pixels_[(size_t(y) * size_t(width_) + size_t(x)) * 3];
        return {p[0], p[1], p[2]};
    }
    /// Pixels of the rectangle that differ from `other` by more than 24 in some channel.
    int differingPixels(const Screenshot& other, int x0, int y0, int x1, int y1) const {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const Rgb a = at(x, y), b = other.at(x, y);
                count += std::abs(a.r - b.r) > 24 || std::abs(a.g - b.g) > 24 || std::abs(a.b - b.b) > 24;
            }
        return count;
    }
    int width() const { return width_; }

private:
    int width_ = 0, height_ = 0;
    std::vector<unsigned char> pixels_;
};

/// The cantilever example copied into `folder` with a close view of its side.
fs::path writeScene(const fs::path& folder) {
    const fs::path examples = OSTREL_EXAMPLES_DIR;
    fs::copy_file(examples / "cantilever" / "beam.obj", folder / "beam.obj");
    std::ifstream in(examples / "cantilever" / "scene.txt");
    std::ofstream out(folder / "scene.txt");
    out << in.rdbuf() << "\nRENDERER_DEFAULT_VIEW_POS: 1 -0.35 0.25\n"
        << "RENDERER_DEFAULT_HEADING_PITCH_ROLL: 90 0 0\n";
    return folder / "scene.txt";
}

/// The program in its window.
class App {
public:
    App(const fs::path& folder, const fs::path& scene)
        : child_(OSTREL_EXE, {"-SCENE", scene.string(), "-noerrormsgboxes"}, folder) {}

    /// Waits for the window and moves the pointer into it (which gives it the keyboard).
    bool waitForWindow() {
        const std::optional<std::string> id =
            shell("timeout 60 xdotool search --sync --onlyvisible --name '^Ostrel' 2>/dev/null");
        if (!id || id->empty()) return false;
        window_ = id->substr(0, id->find('\n'));
        moveTo(400, 300);
        pause(300);
        return true;
    }
    void xdo(const std::string& args) { ASSERT_TRUE(shell("xdotool " + args)) << args; }
    void moveTo(int x, int y) {
        xdo("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y));
    }
    void key(const std::string& keys) { xdo("key " + keys); }
    /// Lets the program draw a few frames.
    void frames() { pause(600); }
    bool screenshot(const fs::path& png, Screenshot& shot) {
        return shell("import -window " + window_ + " png:'" + png.string() + "' 2>/dev/null") &&
               shot.load(png);
    }
    bool waitForOutput(const std::string& text) { return child_.waitForOutput(text); }
    /// Closes the window (Escape) and returns the exit code.
    int close() {
        key("Escape");
        return child_.finish();
    }
    const std::string& out() const { return child_.out(); }
    const std::string& err() const { return child_.err(); }

private:
    Child child_;
    std::string window_;
};

class EditingWindow : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder_ / "home" / "Quenby");
        ::setenv("HOME", (folder_ / "home").c_str(), 1);  // the forces log goes there
        scene_ = writeScene(folder_.path());
        app_ = std::make_unique<App>(folder_.path(), scene_);
        ASSERT_TRUE(app_->waitForWindow()) << app_->err();
    }
    void TearDown() override {
        if (app_) app_.reset();
    }
    /// The scene as the program loaded it, with the picked vertex.
    void loadReference(Scene& scene) {
        std::wostringstream log;
        ASSERT_TRUE(scene.loadScene(scene_.wstring(), &log)) << toUtf8(log.str());
    }

    ScratchFolder folder_{"editing-window"};
    fs::path scene_;
    std::unique_ptr<App> app_;
};

TEST_F(EditingWindow, RightClickFixesAFreeHandle) {
    app_->key("u");  // the panels would cover the centre
    app_->key("v");
    app_->frames();
    Screenshot before, after;
    ASSERT_TRUE(app_->screenshot(folder_ / "before.png", before));
    const Rgb free = before.at(400, 300);
    EXPECT_GT(free.b, free.r + 60) << free.r << ' ' << free.g << ' ' << free.b;  // blue: free

    app_->xdo("click 3");
    ASSERT_TRUE(app_->waitForOutput("Toggled fixation of vertex ")) << app_->out();
    app_->frames();
    ASSERT_TRUE(app_->screenshot(folder_ / "after.png", after));
    const Rgb fixed = after.at(400, 300);
    EXPECT_GT(fixed.r, fixed.b + 60) << fixed.r << ' ' << fixed.g << ' ' << fixed.b;  // red: fixed

    // The console names the vertex at grid point (40, 0, 10).
    Scene reference{DeviceOptions{true, 1}};
    loadReference(reference);
    const int v = reference.model()->vertexAt(0, {40, 0, 10});
    EXPECT_NE(app_->out().find("Toggled fixation of vertex " + std::to_string(v) + "\n"), std::string::npos)
        << app_->out();
    // Alt+S writes the scene; it loads back with the new fixation.
    app_->key("alt+s");
    app_->frames();
    EXPECT_EQ(app_->close(), 0) << app_->err();
    Scene saved{DeviceOptions{true, 1}};
    loadReference(saved);
    std::vector<uint8_t> expected = reference.model()->isVertexFixed_;
    expected[size_t(v)] = 1;
    EXPECT_EQ(saved.model()->isVertexFixed_, expected);
    EXPECT_EQ(saved.model()->force_, reference.model()->force_);
}

TEST_F(EditingWindow, RightDragCreatesArrowsThatAltSWrites) {
    app_->key("u");
    app_->key("f");
    app_->frames();
    Screenshot before, after;
    ASSERT_TRUE(app_->screenshot(folder_ / "before.png", before));
    app_->xdo("mousedown 3");
    for (int x = 405; x <= 440; x += 5) app_->moveTo(x, 300);
    app_->xdo("mouseup 3");
    app_->frames();
    ASSERT_TRUE(app_->screenshot(folder_ / "after.png", after));
    // The arrows (force 4 N spread over the sphere, drawn along +x) change the picture around
    // the picked handle.
    EXPECT_GT(after.differingPixels(before, 300, 200, 700, 400), 200);

    // The release logged the picked position and the force of the last drag step.
    std::ifstream log(folder_ / "home" / "Quenby" / "forces.txt");
    std::string line;
    ASSERT_TRUE(std::getline(log, line));
    EXPECT_EQ(line, "1 0 0.25   4 0 0");

    app_->key("alt+s");
    app_->frames();
    EXPECT_EQ(app_->close(), 0) << app_->err();

    // The same press and drag replayed on the reference scene through the editor, with the
    // program's camera: the saved scene holds the same forces.
    Scene reference{DeviceOptions{true, 1}};
    loadReference(reference);
    Camera camera;
    placeCamera(camera, reference.center(), reference.defaultViewPos_, reference.defaultHeadingPitchRoll_);
    struct OneHandle : ObjectIdSource {
        std::uint32_t id;
        std::uint32_t GetObjectId(int, int) override { return id; }
        void CollectObjectIds(int, int, int, int, std::set<std::uint32_t>&) override {}
    } ids;
    ids.id = makeObjectId(ObjectKind::VertexHandle, std::uint32_t(reference.model()->vertexAt(0, {40, 0, 10})));
    std::wostringstream console;
    Editor editor(&ids, nullptr, &reference, &console);
    editor.setForcesLogFile({});
    editor.UpdateCameraAxes(camera.viewMatrix());
    editor.SetMode(2);
    ASSERT_TRUE(editor.OnMouseMessage(win::WM_RBUTTONDOWN, win::makeMouseLParam(400, 300)));
    editor.OnMouseMessage(win::WM_MOUSEMOVE, win::makeMouseLParam(440, 300));
    editor.OnMouseMessage(win::WM_RBUTTONUP, win::makeMouseLParam(440, 300));

    Scene saved{DeviceOptions{true, 1}};
    loadReference(saved);
    const std::vector<float>& want = reference.model()->force_;
    const std::vector<float>& got = saved.model()->force_;
    ASSERT_EQ(got.size(), want.size());
    double total[3] = {0, 0, 0};
    int loaded = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_NEAR(got[k], want[k], 1e-6 + 1e-5 * std::abs(want[k])) << k;
        total[k % 3] += got[k];
        loaded += got[k] != 0;
    }
    EXPECT_GT(loaded, 100);
    // The example's 1000 N downwards at the free end stay; the drag added 4 N along +x.
    EXPECT_NEAR(total[0], 4.0, 1e-3);
    EXPECT_NEAR(total[2], -1000.0, 1e-2);
    EXPECT_EQ(saved.model()->isVertexFixed_, reference.model()->isVertexFixed_);
}

TEST_F(EditingWindow, RunCheckBoxRunsStepsAndF5SavesTheShape) {
    // "Run Ostrel": 35, 82 below the caption of the panel at (390, 240); 125 x 22.
    const int captionHeight = 19;
    app_->moveTo(390 + 35 + 20, 240 + captionHeight + 82 + 11);
    app_->xdo("click 1");
    ASSERT_TRUE(app_->waitForOutput("Time SOLVE (total): ")) << app_->out() << app_->err();
    ASSERT_TRUE(app_->waitForOutput("Iteration: 1")) << app_->out();
    app_->xdo("click 1");  // pause
    app_->frames();
    EXPECT_TRUE(fs::exists(folder_ / "OptimizedShape_0.obj"));
    for (const char* history : {"ObjectiveValue.txt", "VolumeRatio.txt"})
        EXPECT_TRUE(fs::exists(folder_ / history)) << history;

    // F5: the save dialog, answered by typing a name.
    app_->key("F5");
    const std::optional<std::string> dialog =
        shell("timeout 30 xdotool search --sync --onlyvisible --name 'Save mesh to file' 2>/dev/null");
    ASSERT_TRUE(dialog && !dialog->empty());
    const std::string id = dialog->substr(0, dialog->find('\n'));
    app_->xdo("mousemove --window " + id + " 20 20");
    pause(800);
    const fs::path chosen = folder_ / "saved";
    app_->xdo("type --delay 20 '" + chosen.string() + "'");
    pause(300);
    app_->key("Return");
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(folder_ / "saved.obj") && Clock::now() < end) pause(100);
    ASSERT_TRUE(fs::exists(folder_ / "saved.obj"));
    app_->moveTo(400, 300);
    pause(300);
    EXPECT_EQ(app_->close(), 0) << app_->err();
    TriangleMesh shape;
    ASSERT_TRUE(shape.readObj((folder_ / "saved.obj").wstring(), nullptr));
    EXPECT_GT(shape.triangles.size(), 1000u);
    EXPECT_EQ(testing::edgePairingFault(shape), "");
}

}  // namespace
}  // namespace ostrel
