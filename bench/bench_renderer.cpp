// The scene renderer on Mesa's software OpenGL at 800 x 600 (run under xvfb-run): one frame of
// the cantilever and of the ring example with handles and arrows shown, with the shadow map
// cached and re-rendered every frame, the ring also with the handles its surface hides drawn,
// and the object-ID read-back of one pixel and of the whole window. A frame ends with glFinish
// so that the rasterizer's work is inside the timing.
//   xvfb-run -a build/bin/bench_renderer

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

#include "bench/BenchMain.h"
#include "core/Console.h"
#include "core/HeapReuse.h"
#include "render/CutSceneRenderer.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"
#include "support/GlTestContext.h"

namespace {

using namespace ostrel;

constexpr int kWidth = 800, kHeight = 600;

struct Fixture {
    std::unique_ptr<ostrel::testing::SceneProblem> scene;
    std::unique_ptr<CutSceneRenderer> renderer;
};

testing::GlTestContext* g_gl = nullptr;

/// Loads an example once, with a renderer showing handles and arrows and the camera in front.
Fixture& example(const std::string& name) {
    static std::map<std::string, Fixture> fixtures;
    auto it = fixtures.find(name);
    if (it != fixtures.end()) return it->second;
    Fixture f;
    f.scene = std::make_unique<ostrel::testing::SceneProblem>(DeviceOptions{});
    std::wostringstream log;
    if (!f.scene->loadScene(fromUtf8(std::string(OSTREL_EXAMPLES_DIR "/") + name + "/scene.txt"), &log))
        std::fprintf(stderr, "cannot load the %s example\n", name.c_str());
    f.renderer = std::make_unique<CutSceneRenderer>(f.scene.get(), f.scene->model());
    f.renderer->onCreateDevice();
    f.renderer->onCreateSwapChain(kWidth, kHeight);
    f.renderer->setProjection(cameraProjection(float(kWidth) / kHeight));
    const Vec3f c = f.scene->center(), h = f.scene->mesh().halfSize;
    const float r = length(h);
    const Vec3f eye = c + Vec3f(-0.8f * r, -2.2f * r, 1.6f * r);
    f.renderer->setViewMatrix(lookAtView(eye, c - eye, Vec3f(0, 0, 1)));
    f.renderer->settings().editorActive = true;
    return fixtures.emplace(name, std::move(f)).first->second;
}

/// CPU seconds of the whole process (the rasterizer's threads included).
double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

void frame(CutSceneRenderer& r) {
    g_gl->beginFrame();
    r.render();
    glFinish();
}

void BM_Frame(benchmark::State& state, const std::string& name, bool rerenderShadow,
              bool everyHandle = false) {
    Fixture& f = example(name);
    f.renderer->settings().skipEnclosedHandles = !everyHandle;
    frame(*f.renderer);
    const int before = f.renderer->shadowMapRenders();
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        if (rerenderShadow) f.renderer->setOptimizedMesh(nullptr);  // the shape "changed"
        frame(*f.renderer);
    }
    // All threads' CPU per frame: on an otherwise idle machine a frame takes about this divided
    // by the cores the rasterizer uses.
    state.counters["process_cpu_ms"] = 1e3 * (processCpuSeconds() - cpu0) / double(state.iterations());
    state.counters["shadow_renders"] = double(f.renderer->shadowMapRenders() - before);
    // OSTREL_SCREENSHOT_DIR keeps the example's frame as <example>.ppm.
    if (const char* dir = std::getenv("OSTREL_SCREENSHOT_DIR"))
        testing::GlTestContext::writePpm(std::string(dir) + "/" + name + ".ppm", g_gl->readPixels(),
                                         kWidth, kHeight);
    state.counters["vertices"] = double(f.scene->model() ? f.scene->model()->numVertices(0) : 0);
    state.counters["handles_drawn"] = double(f.renderer->handlesDrawn());
    f.renderer->settings().skipEnclosedHandles = true;
}
BENCHMARK_CAPTURE(BM_Frame, cantilever_cached_shadow, std::string("cantilever"), false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Frame, cantilever_shadow_every_frame, std::string("cantilever"), true)
    ->Unit(benchmark::kMillisecond);
void BM_FrameWithoutHandles(benchmark::State& state) {
    Fixture& f = example("cantilever");
    f.renderer->settings().editorActive = false;
    frame(*f.renderer);
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) frame(*f.renderer);
    state.counters["process_cpu_ms"] = 1e3 * (processCpuSeconds() - cpu0) / double(state.iterations());
    f.renderer->settings().editorActive = true;
}
BENCHMARK(BM_FrameWithoutHandles)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_Frame, ring_cached_shadow, std::string("ring"), false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Frame, ring_shadow_every_frame, std::string("ring"), true)
    ->Unit(benchmark::kMillisecond);
// Every handle drawn, the enclosed ones too: what leaving them out saves.
BENCHMARK_CAPTURE(BM_Frame, ring_every_handle, std::string("ring"), false, true)
    ->Unit(benchmark::kMillisecond);

void BM_GetObjectId(benchmark::State& state) {
    Fixture& f = example("cantilever");
    frame(*f.renderer);
    int x = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.renderer->getObjectId(300 + x, 300));
        x = (x + 1) % 200;
    }
}
BENCHMARK(BM_GetObjectId)->Unit(benchmark::kMillisecond);

void BM_CollectObjectIdsFullWindow(benchmark::State& state) {
    Fixture& f = example("cantilever");
    frame(*f.renderer);
    size_t n = 0;
    for (auto _ : state) {
        std::set<std::uint32_t> ids;
        f.renderer->collectObjectIds(0, 0, kWidth - 1, kHeight - 1, ids);
        n = ids.size();
    }
    state.counters["distinct_ids"] = double(n);
}
BENCHMARK(BM_CollectObjectIdsFullWindow)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ostrel::keepFreedMemoryForReuse();  // as the window program does
    // The context is made once the command line asks for benchmarks: --help and --version need
    // no display.
    std::unique_ptr<testing::GlTestContext> gl;
    return ostrel::benchmarkMain(argc, argv, [&] {
        gl = std::make_unique<testing::GlTestContext>(kWidth, kHeight);
        if (!gl->ok()) {
            std::fprintf(stderr, "ERROR: No OpenGL context: run bench_renderer under xvfb-run\n");
            return false;
        }
        g_gl = gl.get();
        return true;
    });
}
