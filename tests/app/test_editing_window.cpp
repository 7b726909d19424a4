// Editing in the real window, under a virtual X display with Mesa's software rasterizer: the
// interactive program on the cantilever example, driven by real mouse and key input through
// xdotool, looked at through screenshots of its window that the program writes itself on
// SIGUSR1 (-screenshotonsignal).
//
// The scene is the cantilever example with a close default view: heading 90 looks along +y at
// the beam's side y = 0 from 0.35 in front of it, so the window's centre pixel (400, 300) shows
// the handle of the free vertex at grid point (40, 0, 10), about 10 pixels in radius. The force
// sphere (radius 0.03) holds that vertex and its five neighbours; 10 N per pixel of drag make
// arrows long enough to see.

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
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
#include "optimization/LoadCaseForces.h"
#include "render/Camera.h"
#include "render/Editor.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/InputEventBuilders.h"
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
    if (!pipe)
        return std::nullopt;
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (::pclose(pipe) != 0)
        return std::nullopt;
    return out;
}

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Rgb {
    int r = 0, g = 0, b = 0;
};

/// One screenshot of a window.
class Screenshot {
  public:
    bool load(const fs::path& png) {
        int n = 0;
        unsigned char* data = stbi_load(png.c_str(), &width_, &height_, &n, 3);
        if (!data)
            return false;
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
                count += std::abs(a.r - b.r) > 24 || std::abs(a.g - b.g) > 24 ||
                         std::abs(a.b - b.b) > 24;
            }
        return count;
    }
    int width() const { return width_; }

  private:
    int width_ = 0, height_ = 0;
    std::vector<unsigned char> pixels_;
};

std::string withoutLine(std::string text, const std::string& key);

/// The cantilever example's scene text with a close view of its side instead of its own.
std::string sceneText() {
    const std::string example =
        testing::readFile(fs::path(OSTREL_EXAMPLES_DIR) / "cantilever" / "scene.txt");
    return withoutLine(withoutLine(example, "RENDERER_DEFAULT_VIEW_POS: "),
                       "RENDERER_DEFAULT_HEADING_PITCH_ROLL: ") +
           "\nRENDERER_DEFAULT_VIEW_POS: 1 -0.35 0.25\n"
           "RENDERER_DEFAULT_HEADING_PITCH_ROLL: 90 0 0\n"
           "EDITOR_FORCE_SPHERE_RADIUS: 0.03\nEDITOR_FORCE_PER_PIXEL: 10\n";
}

/// The cantilever example's mesh and `text` as its scene, copied into `folder`.
fs::path writeScene(const fs::path& folder, const std::string& text) {
    fs::copy_file(fs::path(OSTREL_EXAMPLES_DIR) / "cantilever" / "beam.obj", folder / "beam.obj");
    std::ofstream(folder / "scene.txt") << text;
    return folder / "scene.txt";
}

/// `text` without its line that starts with `key`.
std::string withoutLine(std::string text, const std::string& key) {
    const size_t at = text.find("\n" + key);
    if (at != std::string::npos)
        text.erase(at + 1, text.find('\n', at + 1) - at);
    return text;
}

/// How often `part` occurs in `text`.
size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

/// The program in its window.
class App {
  public:
    /// With `dialogs` the program asks its questions (closing with unsaved edits) in dialogs;
    /// otherwise it runs with -noerrormsgboxes.
    App(const fs::path& folder, const fs::path& scene, bool dialogs = false)
        : picture_(folder / "window.png"),
          child_(OSTREL_EXE, arguments(scene, picture_, dialogs), folder) {}

    static std::vector<std::string> arguments(const fs::path& scene, const fs::path& picture,
                                              bool dialogs) {
        std::vector<std::string> args{"-SCENE", scene.string(),
                                      "-screenshotonsignal:" + picture.string()};
        if (!dialogs)
            args.push_back("-noerrormsgboxes");
        return args;
    }

    /// Waits for the window and moves the pointer into it (which gives it the keyboard).
    bool waitForWindow() {
        // The title shows the frame rate once frames have run for half a second.
        const std::optional<std::string> id =
            shell("timeout 60 xdotool search --sync --onlyvisible --name '^Ostrel @' 2>/dev/null");
        if (!id || id->empty())
            return false;
        window_ = id->substr(0, id->find('\n'));
        focus();
        pause(300);
        return true;
    }
    void xdo(const std::string& args) { ASSERT_TRUE(shell("xdotool " + args)) << args; }
    void moveTo(int x, int y) {
        xdo("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y));
    }
    void key(const std::string& keys) { xdo("key " + keys); }
    /// Pointer into the window and the keyboard to it (a dialog may have taken it).
    void focus() {
        moveTo(400, 300);
        xdo("windowfocus " + window_);
    }
    /// Lets the program draw a few frames.
    void frames() { pause(600); }
    /// The next frame, written by the program on SIGUSR1, kept as `png`.
    bool screenshot(const fs::path& png, Screenshot& shot) {
        std::error_code ec;
        fs::remove(picture_, ec);
        child_.signal(SIGUSR1);
        // The picture is renamed into place once it is complete.
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (!fs::exists(picture_) && Clock::now() < end)
            pause(20);
        const bool ok = fs::exists(picture_) && fs::copy_file(picture_, png,
                                                              fs::copy_options::overwrite_existing,
                                                              ec) &&
                        shot.load(png);
        if (const char* keep = std::getenv("OSTREL_KEEP_SCREENSHOTS"))
            fs::copy_file(png, fs::path(keep) / png.filename(),
                          fs::copy_options::overwrite_existing);
        return ok;
    }
    /// Screenshots until `condition` holds for one (at most 15 s); false when none did.
    template <typename Condition>
    bool screenshotUntil(const fs::path& png, Screenshot& shot, Condition condition) {
        const auto end = Clock::now() + std::chrono::seconds(15);
        do {
            if (screenshot(png, shot) && condition(shot))
                return true;
            pause(200);
        } while (Clock::now() < end);
        return false;
    }
    bool waitForOutput(const std::string& text) { return child_.waitForOutput(text); }
    /// Closes the window (Escape) and returns the exit code.
    int close() {
        escape();
        return child_.finish();
    }
    /// Escape in the window: the request to close it.
    void escape() {
        focus();
        key("Escape");
    }
    int finish() { return child_.finish(); }
    const std::string& out() const { return child_.out(); }
    const std::string& err() const { return child_.err(); }

  private:
    fs::path picture_;
    Child child_;
    std::string window_;
};

class EditingWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        // CTest runs this under xvfb-run: there a missing program is a failure that names it.
        // Only without any display is there nothing to drive.
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "needs a display: run it as CTest does, under xvfb-run";
        for (const char* program : {"xdotool", "zenity", "timeout"})
            ASSERT_TRUE(shell(std::string("command -v ") + program + " > /dev/null"))
                << program << " is not installed (scripts/setup installs it)";
        fs::create_directories(folder_ / "home" / "Quenby");
        ::setenv("HOME", (folder_ / "home").c_str(), 1);  // the forces log goes there
        // The instance lock of this test alone: another Ostrel window on the machine (another
        // test run) would otherwise hold it and the program would ask before it shows its window.
        fs::create_directories(folder_ / "run");
        fs::permissions(folder_ / "run", fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
        scene_ = writeScene(folder_.path(), scene());
        app_ = std::make_unique<App>(folder_.path(), scene_, dialogs());
        ASSERT_TRUE(app_->waitForWindow()) << app_->err();
    }
    /// The scene the program starts with.
    virtual std::string scene() const { return sceneText(); }
    /// Whether the program asks in dialogs (no -noerrormsgboxes).
    virtual bool dialogs() const { return false; }
    /// V and a right click on the centre handle, which fixes it (the panels hidden).
    void fixTheCentreHandle() {
        app_->key("u");
        app_->key("v");
        Screenshot shot;
        ASSERT_TRUE(app_->screenshotUntil(folder_ / "handles.png", shot, [](const Screenshot& s) {
            const Rgb c = s.at(400, 300);
            return c.b > c.r + 60;
        }));
        app_->xdo("click 3");
        ASSERT_TRUE(app_->waitForOutput("Toggled fixation of vertex ")) << app_->out();
    }
    /// Clicks the panel's check box "Run Ostrel" (35, 82 below the caption of the panel at
    /// (390, 240); 125 x 22).
    void clickRun() {
        const int captionHeight = 19;
        app_->moveTo(390 + 35 + 20, 240 + captionHeight + 82 + 11);
        app_->xdo("click 1");
    }
    void TearDown() override {
        if (app_)
            app_.reset();
    }
    /// The scene as the program loaded it, with the picked vertex.
    void loadReference(ostrel::testing::SceneProblem& scene) {
        std::wostringstream log;
        ASSERT_TRUE(scene.loadScene(scene_.wstring(), &log)) << toUtf8(log.str());
    }
    /// The window's right drag from the centre handle (the vertex at grid point (40, 0, 10))
    /// 40 pixels to the right in F mode, replayed on `reference` through the editor with the
    /// program's camera (on the chosen one of `cases` when given).
    void replayCentreDrag(ostrel::testing::SceneProblem& reference, LoadCaseForces* cases) {
        Camera camera;
        placeCamera(camera, reference.center(), reference.view().defaultViewPos,
                    reference.view().defaultHeadingPitchRoll);
        struct OneHandle : ObjectIdSource {
            std::uint32_t id;
            std::uint32_t getObjectId(int, int) override { return id; }
            void collectObjectIds(int, int, int, int, std::set<std::uint32_t>&) override {}
        } ids;
        ids.id = makeObjectId(ObjectKind::VertexHandle,
                              std::uint32_t(reference.model()->vertexAt(0, {40, 0, 10})));
        std::wostringstream console;
        Editor editor(&ids, nullptr, &reference, reference.model(), &console);
        editor.setForcesLogFile({});
        if (cases) editor.setLoadCases(cases);
        editor.updateCameraAxes(camera.viewMatrix());
        editor.setMode(2);
        ASSERT_TRUE(editor.onMouseEvent(testing::mousePress(MouseButton::Right, 400, 300)));
        editor.onMouseEvent(testing::mouseMove(440, 300, buttonBit(MouseButton::Right)));
        editor.onMouseEvent(testing::mouseRelease(MouseButton::Right, 440, 300));
    }

    ScratchFolder folder_{"editing-window"};
    fs::path scene_;
    std::unique_ptr<App> app_;
};

TEST_F(EditingWindow, RightClickFixesAFreeHandle) {
    app_->key("u");  // the panels would cover the centre
    app_->key("v");
    // Fixation mode shows the handles: the centre one is free (blue).
    const auto blue = [](const Screenshot& s) {
        const Rgb c = s.at(400, 300);
        return c.b > c.r + 60;
    };
    const auto red = [](const Screenshot& s) {
        const Rgb c = s.at(400, 300);
        return c.r > c.b + 60;
    };
    Screenshot before, after;
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "before.png", before, blue));

    app_->xdo("click 3");
    ASSERT_TRUE(app_->waitForOutput("Toggled fixation of vertex ")) << app_->out();
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "after.png", after, red));  // now fixed (red)
    // Only the one handle changed colour.
    EXPECT_LT(after.differingPixels(before, 0, 0, 800, 600), 2000);

    // The console names the vertex at grid point (40, 0, 10).
    ostrel::testing::SceneProblem reference{DeviceOptions{true, 1}};
    loadReference(reference);
    const int v = reference.model()->vertexAt(0, {40, 0, 10});
    EXPECT_NE(app_->out().find("Toggled fixation of vertex " + std::to_string(v) + "\n"),
              std::string::npos)
        << app_->out();
    // Alt+S writes the scene; it loads back with the new fixation.
    app_->key("alt+s");
    app_->frames();
    EXPECT_EQ(app_->close(), 0) << app_->err();
    ostrel::testing::SceneProblem saved{DeviceOptions{true, 1}};
    loadReference(saved);
    std::vector<uint8_t> expected = reference.model()->fixedFlags();
    expected[size_t(v)] = 1;
    EXPECT_EQ(saved.model()->fixedFlags(), expected);
    // The scene writer keeps six significant digits of each force.
    const std::vector<float>& force = saved.model()->forces();
    ASSERT_EQ(force.size(), reference.model()->forces().size());
    for (size_t k = 0; k < force.size(); ++k)
        EXPECT_NEAR(force[k], reference.model()->forces()[k], 1e-4) << k;
}

TEST_F(EditingWindow, RightDragCreatesArrowsThatAltSWrites) {
    app_->key("u");
    app_->key("f");
    const auto handleShown = [](const Screenshot& s) {
        const Rgb c = s.at(400, 300);
        return c.b > c.r + 60;
    };
    Screenshot before, after;
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "before.png", before, handleShown));
    app_->xdo("mousedown 3");
    for (int x = 405; x <= 440; x += 5)
        app_->moveTo(x, 300);
    app_->xdo("mouseup 3");
    // The arrows (400 N spread over six vertices, drawn along +x) change the picture around the
    // picked handle.
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "after.png", after, [&](const Screenshot& s) {
        return s.differingPixels(before, 200, 100, 600, 500) > 500;
    }));

    // The release logged the picked position and the force of the last drag step.
    const fs::path logFile = folder_ / "home" / "Quenby" / "forces.txt";
    for (auto end = Clock::now() + std::chrono::seconds(10);
         Clock::now() < end && testing::lineCount(logFile) < 1;)
        pause(100);
    std::ifstream log(logFile);
    double p[3], f[3];
    ASSERT_TRUE(log >> p[0] >> p[1] >> p[2] >> f[0] >> f[1] >> f[2]);
    EXPECT_EQ(p[0], 1.0);
    EXPECT_EQ(p[1], 0.0);
    EXPECT_EQ(p[2], 0.25);
    EXPECT_NEAR(f[0], 400.0, 1e-3);  // 40 pixels to the right, 10 N per pixel
    EXPECT_NEAR(f[1], 0.0, 1e-3);
    EXPECT_NEAR(f[2], 0.0, 1e-3);

    app_->key("alt+s");
    app_->frames();
    EXPECT_EQ(app_->close(), 0) << app_->err();

    // The same press and drag replayed on the reference scene through the editor, with the
    // program's camera: the saved scene holds the same forces.
    ostrel::testing::SceneProblem reference{DeviceOptions{true, 1}};
    loadReference(reference);
    replayCentreDrag(reference, nullptr);

    ostrel::testing::SceneProblem saved{DeviceOptions{true, 1}};
    loadReference(saved);
    const std::vector<float>& want = reference.model()->forces();
    const std::vector<float>& got = saved.model()->forces();
    ASSERT_EQ(got.size(), want.size());
    double total[3] = {0, 0, 0};
    int loaded = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_NEAR(got[k], want[k], 1e-4 + 1e-5 * std::abs(want[k])) << k;
        total[k % 3] += got[k];
    }
    for (size_t v = 0; v < got.size() / 3; ++v)
        loaded += got[3 * v] != 0 || got[3 * v + 1] != 0 || got[3 * v + 2] != 0;
    EXPECT_EQ(loaded, 21 + 6);
    // The example's 1000 N downwards at the free end stay; the drag added 400 N along +x.
    EXPECT_NEAR(total[0], 400.0, 1e-2);
    EXPECT_NEAR(total[2], -1000.0, 1e-2);
    EXPECT_EQ(saved.model()->fixedFlags(), reference.model()->fixedFlags());
}

TEST_F(EditingWindow, RunCheckBoxRunsStepsAndF5SavesTheShape) {
    clickRun();
    ASSERT_TRUE(app_->waitForOutput("Time SOLVE (total): ")) << app_->out() << app_->err();
    ASSERT_TRUE(app_->waitForOutput("Iteration: 1")) << app_->out();
    app_->xdo("click 1");  // pause
    app_->frames();
    EXPECT_TRUE(fs::exists(folder_ / "OptimizedShape_0.obj"));
    for (const char* history : {"ObjectiveValue.txt", "VolumeRatio.txt"})
        EXPECT_TRUE(fs::exists(folder_ / history)) << history;

    // F5: the save dialog, answered by typing a name.
    app_->key("F5");
    const std::optional<std::string> dialog = shell(
        "timeout 30 xdotool search --sync --onlyvisible --name 'Save mesh to file' 2>/dev/null");
    ASSERT_TRUE(dialog && !dialog->empty());
    const std::string id = dialog->substr(0, dialog->find('\n'));
    app_->xdo("mousemove --window " + id + " 20 20");
    app_->xdo("windowfocus " + id);
    pause(800);
    const fs::path chosen = folder_ / "saved";
    app_->xdo("type --delay 20 '" + chosen.string() + "'");
    pause(300);
    app_->key("Return");
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(folder_ / "saved.obj") && Clock::now() < end)
        pause(100);
    ASSERT_TRUE(fs::exists(folder_ / "saved.obj"));
    pause(300);
    EXPECT_EQ(app_->close(), 0) << app_->err();
    TriangleMesh shape;
    ASSERT_TRUE(shape.readObj((folder_ / "saved.obj").wstring(), nullptr));
    EXPECT_GT(shape.triangles.size(), 1000u);
    EXPECT_EQ(testing::edgePairingFault(shape), "");
}

TEST_F(EditingWindow, EscapeAfterAnEditSaysWhatWasNotWritten) {
    const std::string before = testing::readFile(scene_);
    fixTheCentreHandle();
    EXPECT_EQ(app_->close(), 0) << app_->err();
    EXPECT_NE(app_->out().find("WARNING: Unsaved changes of fixations were not written to \"" +
                               scene_.string() + "\"\n"),
              std::string::npos)
        << app_->out();
    EXPECT_EQ(testing::readFile(scene_), before);
}

// Without -noerrormsgboxes closing with unsaved edits asks: Escape in the question cancels, the
// window stays; Return (Yes) writes the scene and closes.
class AskingWindow : public EditingWindow {
  protected:
    bool dialogs() const override { return true; }
    /// Waits for the question and answers it with `key`.
    void answer(const std::string& key) {
        const std::optional<std::string> id = shell(
            "timeout 30 xdotool search --sync --onlyvisible --name '^Unsaved changes$' 2>/dev/null");
        ASSERT_TRUE(id && !id->empty()) << "no question";
        const std::string window = id->substr(0, id->find('\n'));
        app_->xdo("mousemove --window " + window + " 20 20");
        app_->xdo("windowfocus " + window);
        pause(800);
        app_->key(key);
    }
};

TEST_F(AskingWindow, EscapeWithAnEditAsksAndCancelKeepsTheWindow) {
    const std::string before = testing::readFile(scene_);
    fixTheCentreHandle();
    app_->escape();
    answer("Escape");
    // The window goes on drawing, the fixed handle red.
    Screenshot shot;
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "kept.png", shot, [](const Screenshot& s) {
        const Rgb c = s.at(400, 300);
        return c.r > c.b + 60;
    }));
    EXPECT_EQ(testing::readFile(scene_), before);

    app_->escape();
    answer("Return");
    EXPECT_EQ(app_->finish(), 0) << app_->err();
    ostrel::testing::SceneProblem reference{DeviceOptions{true, 1}}, saved{DeviceOptions{true, 1}};
    std::wostringstream log;
    fs::create_directories(folder_ / "reference");
    ASSERT_TRUE(reference.loadScene(writeScene(folder_ / "reference", before).wstring(), &log));
    loadReference(saved);
    const int v = reference.model()->vertexAt(0, {40, 0, 10});
    std::vector<uint8_t> expected = reference.model()->fixedFlags();
    expected[size_t(v)] = 1;
    EXPECT_EQ(saved.model()->fixedFlags(), expected);
    EXPECT_EQ(app_->out().find("WARNING: Unsaved changes"), std::string::npos) << app_->out();
}

// The window tells the user what ostrel-batch tells them: the scene's unknown keys at start-up,
// a run whose system is singular stops after its step with one message, and a run without
// forces says once that there is nothing to optimize and does not start.
class WindowWithoutFixations : public EditingWindow {
  protected:
    static std::string unfixed() { return withoutLine(sceneText(), "FIXED_VERTICES: "); }
    std::string scene() const override { return unfixed() + "EDITOR_FORCE_SPERE_RADIUS: 0.03\n"; }
};

TEST_F(WindowWithoutFixations, LintAtStartUpAndASingularRunStopsAfterItsStep) {
    const std::string base = unfixed();
    const std::string lint = "WARNING: Unknown key \"EDITOR_FORCE_SPERE_RADIUS\" in line " +
                             std::to_string(std::count(base.begin(), base.end(), '\n') + 1) +
                             " of file \"" + scene_.string() +
                             "\"; did you mean \"EDITOR_FORCE_SPHERE_RADIUS\"?\n";
    ASSERT_TRUE(app_->waitForOutput("# #Elements: ")) << app_->out();
    const size_t lintAt = app_->out().find(lint);
    ASSERT_NE(lintAt, std::string::npos) << lint << app_->out();
    EXPECT_LT(lintAt, app_->out().find("# #Elements: ")) << "before the scene is loaded";

    clickRun();
    const std::string stop = "ERROR: The system is singular: ";
    ASSERT_TRUE(app_->waitForOutput("the run stopped after step 0. Fix more vertices"))
        << app_->out();
    app_->frames();
    app_->frames();  // frames that would have run further steps
    EXPECT_EQ(app_->close(), 0) << app_->err();
    const std::string out = app_->out();
    EXPECT_EQ(occurrences(out, stop), 1u) << out;
    EXPECT_EQ(occurrences(out, "Time SOLVE: "), 1u) << "one step, then the run stopped\n" << out;
    EXPECT_EQ(occurrences(out, "WARNING: Solver has not converged"), 1u) << out;
    EXPECT_GT(out.find(stop), out.find("Time SOLVE (total): ")) << "after the step's timings";
}

// A second load case: its force (100 N up at grid point (36, 0, 10), left of the centre
// handle) is drawn dimmed while case 1 is chosen and in full once "Case >" chooses case 2; a
// drag then edits case 2, and Alt+S writes both cases.
class WindowWithTwoCases : public EditingWindow {
  protected:
    std::string scene() const override { return sceneText() + "FORCES_CASE_2: 36 0 10 0 0 100\n"; }
    /// Clicks a button of the main panel (at (390, 240), caption 19 pixels) by its layout.
    void clickPanel(float x, float y, float width) {
        app_->moveTo(390 + int(x + width / 2), 240 + 19 + int(y) + 11);
        app_->xdo("click 1");
    }
};

/// Pixels of the rectangle in the force arrows' full colour (green) or in their dimmed one (a
/// grey with a touch of green: the dimmed arrows' colour).
int greenPixels(const Screenshot& s, int x0, int y0, int x1, int y1) {
    int count = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const Rgb c = s.at(x, y);
            count += c.g > c.r + 60 && c.g > c.b + 60;
        }
    return count;
}
int dimmedPixels(const Screenshot& s, int x0, int y0, int x1, int y1) {
    int count = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const Rgb c = s.at(x, y);
            count += c.g > 30 && c.g >= c.r + 4 && c.g >= c.b + 4 && c.g <= c.r + 40 &&
                     c.g <= c.b + 40;
        }
    return count;
}

TEST_F(WindowWithTwoCases, TheChosenCaseIsShownInFullAndEditedAndAltSWritesBothCases) {
    // The panels hidden (they would move the picture into the part they leave free).
    app_->key("u");
    app_->key("f");
    // Case 1 chosen: case 2's arrow left of the centre is dimmed.
    Screenshot first, second, edited;
    const int x0 = 100, x1 = 330, y0 = 0, y1 = 300;
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "case1.png", first, [&](const Screenshot& s) {
        return dimmedPixels(s, x0, y0, x1, y1) > 200;
    }));
    EXPECT_LT(greenPixels(first, x0, y0, x1, y1), 20);
    // "Case >" (105, 234, 65 wide) on the panels shown again: case 2 chosen, its arrow in full.
    // The panels take clicks once a frame has drawn them: a screenshot (the next frame) that
    // shows the panel's red first.
    app_->key("u");
    Screenshot panel;
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "panel.png", panel, [](const Screenshot& s) {
        const Rgb c = s.at(395, 585);
        return c.r > c.g + 60 && c.r > c.b + 60;
    }));
    clickPanel(105, 234, 65);
    ASSERT_TRUE(app_->waitForOutput("Load case 2 of 2, weight 1\n")) << app_->out();
    app_->key("u");
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "case2.png", second, [&](const Screenshot& s) {
        return greenPixels(s, x0, y0, x1, y1) > 200;
    }));
    EXPECT_LT(dimmedPixels(second, x0, y0, x1, y1), greenPixels(second, x0, y0, x1, y1) / 4);

    // A drag from the centre handle sets forces in case 2.
    app_->moveTo(400, 300);
    app_->xdo("mousedown 3");
    for (int x = 405; x <= 440; x += 5)
        app_->moveTo(x, 300);
    app_->xdo("mouseup 3");
    ASSERT_TRUE(app_->screenshotUntil(folder_ / "edited.png", edited, [&](const Screenshot& s) {
        return greenPixels(s, 330, 100, 700, 500) > 200;
    }));
    app_->key("alt+s");
    app_->frames();
    EXPECT_EQ(app_->close(), 0) << app_->err();

    // The same drag replayed on case 2 of the reference scene through the editor.
    ostrel::testing::SceneProblem reference{DeviceOptions{true, 1}};
    loadReference(reference);
    LoadCaseForces cases(*reference.model(), *reference.solver(),
                         reference.designControls_.loadCaseWeights);
    cases.choose(2);
    replayCentreDrag(reference, &cases);

    ostrel::testing::SceneProblem saved{DeviceOptions{true, 1}};
    loadReference(saved);
    EXPECT_EQ(saved.model()->forces(), reference.model()->forces()) << "case 1 as it was";
    ASSERT_EQ(saved.solver()->loadCaseCount(), 2);
    const std::vector<float>& want = cases.forces(2);
    const std::vector<float>& got = saved.solver()->moreLoads()[0];
    ASSERT_EQ(got.size(), want.size());
    int loaded = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_NEAR(got[k], want[k], 1e-4 + 1e-5 * std::abs(want[k])) << k;
        loaded += k % 3 == 0 && (got[k] != 0 || got[k + 1] != 0 || got[k + 2] != 0);
    }
    EXPECT_EQ(loaded, 1 + 6) << "the first force and the drag's six vertices";
}

class WindowWithoutForces : public EditingWindow {
  protected:
    std::string scene() const override { return withoutLine(sceneText(), "FORCES: "); }
};

TEST_F(WindowWithoutForces, ARunWithoutForcesSaysOnceThatThereIsNothingToOptimizeAndDoesNotRun) {
    ASSERT_TRUE(app_->waitForOutput("# #Elements: ")) << app_->out();
    clickRun();
    ASSERT_TRUE(app_->waitForOutput("ERROR: No force acts on the model ")) << app_->out();
    app_->frames();
    app_->frames();  // frames that would have run steps
    EXPECT_EQ(app_->close(), 0) << app_->err();
    const std::string out = app_->out();
    EXPECT_EQ(occurrences(out, "ERROR: No force acts on the model "), 1u) << out;
    EXPECT_EQ(occurrences(out, "ERROR: "), 1u) << out;
    EXPECT_EQ(occurrences(out, "Time SOLVE: "), 0u) << "no step ran\n" << out;
}

}  // namespace
}  // namespace ostrel
