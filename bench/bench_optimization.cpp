// Optimization steps of the standard cantilever on the host device with 2 worker threads
// (5 levels), in the order of the run control: solve (prepareSolve, solve to 0.01), optimize
// (energies, iteration, stiffness update) and shape extraction; the last argument chooses the
// optimizer's path: 1 the kernel path the programs run (its data kept on the device), 0 the
// tests' CPU reference (tests/reference/ReferenceSteps.h). One benchmark iteration is one step; the reset before the first step
// is not timed. Counters are per step: the averages over all steps and over the first 50, the
// optimize phase split into sensitivities, multiplier search and the rest, and the share of the
// optimize phase in the step. After the run come the multigrid cycles of every solve, the
// multiplier-search time of every step (a search far above the others marks a step during
// which another process took a core) and the split of one design iteration (the average over
// the steps; core/IterationSplit.h's lines, the kernel path's parts split into kernel and host
// time). The history files go to a folder of their own under the system's temporary folder,
// removed when the program ends.
//
// The parts alone, after a reset with made-up energies: one filter call (CPU), the sensitivities
// and one multiplier search on either path (counter passes: its passes, each one read-back of
// volumes on the kernel path).
//
// At 10^6 elements (200 x 70 x 72): bench_optimization --benchmark_filter='/200/'

#include <benchmark/benchmark.h>
#include <omp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchMain.h"
#include "core/IterationSplit.h"
#include "core/Timing.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "gpu/HostDriver.h"
#include "gpu/KernelTimer.h"
#include "optimization/IterationProfile.h"
#include "optimization/KernelSteps.h"
#include "optimization/MultiplierSearch.h"
#include "optimization/Optimizer.h"
#include "reference/ReferenceFilter.h"
#include "reference/ReferenceOptimizer.h"
#include "tools/Cantilever.h"

namespace {

constexpr int kThreads = 2;
/// The history files' folder, made on first use and removed with everything in it at exit.
const std::filesystem::path& historyFolder() {
    struct Folder {
        std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("ostrel-bench-history-" + std::to_string(::getpid()));
        Folder() { std::filesystem::create_directories(path); }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
}

struct StepTimes {
    double solve = 0, optimize = 0, sensitivity = 0, search = 0, extract = 0;
    double step() const { return solve + optimize + extract; }
};

void BM_OptimizationStep(benchmark::State& state) {
    omp_set_num_threads(kThreads);
    const int nx = int(state.range(0)), ny = int(state.range(1)), nz = int(state.range(2));
    const bool kernelPath = state.range(3) != 0;
    auto model = ostrel::makeCantilever(nx, ny, nz, 0.01, 5);
    ostrel::MultigridSolver fem(*model, {true, kThreads}, std::make_unique<ostrel::HostDriver>(kThreads));
    fem.setLogs(nullptr, nullptr);
    ostrel::OptimizationLifetime lifetime;
    ostrel::Optimizer opt(*model, lifetime, historyFolder());
    opt.setLogs(nullptr, nullptr);
    fem.setCycleCountSink(&opt.history().cycleSink());
    fem.setup();
    ostrel::DeviceOptimizer device(fem);
    ostrel::KernelSteps kernelSteps(device);
    ostrel::ReferenceSteps referenceSteps;
    ostrel::KernelTimer timer(fem.driver());
    if (kernelPath) {
        opt.attachSteps(&kernelSteps);
        fem.setKernelTimer(&timer);
    } else {
        opt.attachSteps(&referenceSteps);
    }

    const auto resetStart = std::chrono::steady_clock::now();
    fem.computeLoad();
    opt.reset();
    opt.updateStiffness();
    const double resetSeconds = ostrel::secondsSince(resetStart);

    ostrel::IterationProfile profile(fem, opt, kernelPath ? &timer : nullptr);
    std::vector<StepTimes> steps;
    std::vector<int> cycles;
    int iteration = 0;
    for (auto _ : state) {
        const ostrel::IterationProfile::Sums before = profile.sums();
        profile.run(iteration, 0.01);
        const ostrel::IterationProfile::Sums& after = profile.sums();
        StepTimes t;
        t.solve = after.solve() - before.solve();
        t.optimize = after.optimize() - before.optimize();
        t.sensitivity = after.sensitivities - before.sensitivities;
        t.search = after.search - before.search;
        t.extract = after.shape - before.shape;
        cycles.push_back(fem.lastCycles());
        benchmark::DoNotOptimize(opt.shapeMesh().triangles.data());
        steps.push_back(t);
        ++iteration;
    }

    auto average = [&](size_t count, double StepTimes::*field) {
        double s = 0;
        count = std::min(count, steps.size());
        for (size_t k = 0; k < count; ++k) s += steps[k].*field;
        return count ? s / double(count) : 0.0;
    };
    auto averageStep = [&](size_t count) {
        double s = 0;
        count = std::min(count, steps.size());
        for (size_t k = 0; k < count; ++k) s += steps[k].step();
        return count ? s / double(count) : 0.0;
    };
    const size_t all = steps.size();
    state.counters["elements"] = model->numElements(0);
    state.counters["reset_s"] = resetSeconds;
    state.counters["step_s"] = averageStep(all);
    state.counters["step_s_first50"] = averageStep(50);
    state.counters["solve_s"] = average(all, &StepTimes::solve);
    state.counters["optimize_s"] = average(all, &StepTimes::optimize);
    state.counters["sensitivity_s"] = average(all, &StepTimes::sensitivity);
    state.counters["search_s"] = average(all, &StepTimes::search);
    state.counters["optimize_rest_s"] = average(all, &StepTimes::optimize) -
                                        average(all, &StepTimes::sensitivity) -
                                        average(all, &StepTimes::search);
    state.counters["extract_s"] = average(all, &StepTimes::extract);
    state.counters["optimize_share"] = average(all, &StepTimes::optimize) / averageStep(all);
    double cycleSum = 0;
    for (int c : cycles) cycleSum += c;
    state.counters["cycles_per_solve"] = cycles.empty() ? 0.0 : cycleSum / double(cycles.size());

    const char* path = kernelPath ? "kernel path" : "CPU reference";
    std::printf("%d elements (%s), multigrid cycles of solves 0..%zu:", model->numElements(0),
                path, cycles.size() - 1);
    for (int c : cycles) std::printf(" %d", c);
    std::printf("\n%d elements (%s), multiplier search of steps 0..%zu (ms):",
                model->numElements(0), path, steps.size() - 1);
    for (const StepTimes& t : steps) std::printf(" %.0f", t.search * 1e3);
    std::printf("\n%s", ostrel::formatIterationSplit(model->numElements(0),
                                                     fem.deviceName() + ", " + path,
                                                     profile.parts())
                            .c_str());
    std::fflush(stdout);
    device.release();
    fem.release();
}

/// The parts of the optimize phase without solves, after a reset with made-up energies; on the
/// kernel path the state is then put on the host device.
struct ResetModel {
    std::unique_ptr<ostrel::FemModel> model;
    std::unique_ptr<ostrel::MultigridSolver> fem;
    std::unique_ptr<ostrel::DeviceOptimizer> device;
    std::unique_ptr<ostrel::KernelSteps> kernelSteps;
    ostrel::OptimizationLifetime lifetime;
    std::unique_ptr<ostrel::StepOptimizer> opt;
    ostrel::ReferenceSteps referenceSteps;
    ResetModel(int nx, int ny, int nz, bool kernelPath) {
        omp_set_num_threads(kThreads);
        model = ostrel::makeCantilever(nx, ny, nz, 0.01, 5);
        opt = std::make_unique<ostrel::StepOptimizer>(*model, lifetime, historyFolder());
        opt->setLogs(nullptr, nullptr);
        opt->reset();
        for (size_t e = 0; e < opt->q_.size(); ++e) opt->q_[e] = 1.0 + double(e % 97) * 0.01;
        if (kernelPath) {
            fem = std::make_unique<ostrel::MultigridSolver>(*model, ostrel::DeviceOptions{true, kThreads},
                                                    std::make_unique<ostrel::HostDriver>(kThreads));
            fem->setLogs(nullptr, nullptr);
            fem->setup();
            device = std::make_unique<ostrel::DeviceOptimizer>(*fem);
            kernelSteps = std::make_unique<ostrel::KernelSteps>(*device);
            opt->attachSteps(kernelSteps.get());
        } else {
            opt->attachSteps(&referenceSteps);
        }
    }
    ~ResetModel() {
        opt.reset();
        kernelSteps.reset();
        device.reset();
        if (fem) fem->release();
    }
};

void BM_Filter(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)), false);
    // The CPU reference of the kernels' filter.
    const ostrel::ReferenceFilter filter(*r.model, r.opt->densityFilter());
    for (auto _ : state)
        filter.filter(r.opt->x_.data(), r.referenceSteps.candidateRho.data(), r.opt->W_.data());
    state.counters["elements"] = r.model->numElements(0);
}

void BM_MultiplierSearch(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)),
                 state.range(3) != 0);
    r.opt->computeSensitivities();
    int passes = 0;
    for (auto _ : state) passes = r.opt->searchMultiplier(0.38, 0.5, 2.0);
    state.counters["elements"] = r.model->numElements(0);
    state.counters["passes"] = passes;
}

// The search's passes (each one read-back of volumes) at a given width on the kernel path: 64
// multipliers per pass as on a CUDA device, 8 as on the host device, 1 as the bisection.
void BM_SearchPasses(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)), true);
    const int width = int(state.range(3));
    r.opt->computeSensitivities();
    r.device->prepareSearch();
    double lo = 0, hi = 0;
    r.device->ratioRange(lo, hi);
    const double limit = r.opt->nextVolumeTarget() * r.opt->V0_;
    const ostrel::DeviceLimits limits{r.opt->moveLimit_, r.opt->designLower_,
                                      r.opt->designUpper_};
    int passes = 0;
    for (auto _ : state) {
        passes = ostrel::searchCrossing(
                     {lo, hi}, width, ostrel::Optimizer::kSearchTolerance, 0.0,
                     [&](const std::vector<double>& lambdas, std::vector<double>& excess) {
                         r.device->searchVolumes(lambdas.data(), int(lambdas.size()), limits,
                                                 excess.data());
                         for (double& v : excess) v = v + r.opt->Vk_ - limit;
                     })
                     .passes;
    }
    state.counters["elements"] = r.model->numElements(0);
    state.counters["passes"] = passes;
}

void BM_Sensitivities(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)),
                 state.range(3) != 0);
    for (auto _ : state) r.opt->computeSensitivities();
    state.counters["elements"] = r.model->numElements(0);
}

}  // namespace

BENCHMARK(BM_Filter)->Args({110, 22, 20})->Args({180, 40, 42})->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_MultiplierSearch)
    ->ArgsProduct({{110}, {22}, {20}, {0, 1}})
    ->ArgsProduct({{180}, {40}, {42}, {0, 1}})
    ->ArgsProduct({{200}, {70}, {72}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SearchPasses)
    ->ArgsProduct({{110}, {22}, {20}, {1, 8, 64}})
    ->ArgsProduct({{200}, {70}, {72}, {1, 8, 64}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Sensitivities)
    ->ArgsProduct({{110}, {22}, {20}, {0, 1}})
    ->ArgsProduct({{180}, {40}, {42}, {0, 1}})
    ->ArgsProduct({{200}, {70}, {72}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// About 50 000 elements over the first 100 steps, about 300 000 elements over 10 steps, and
// 1 008 000 elements over 3 steps, each on both paths.
BENCHMARK(BM_OptimizationStep)->ArgsProduct({{110}, {22}, {20}, {0, 1}})->Iterations(100)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OptimizationStep)->ArgsProduct({{180}, {40}, {42}, {0, 1}})->Iterations(10)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OptimizationStep)->ArgsProduct({{200}, {70}, {72}, {0, 1}})->Iterations(3)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) { return ostrel::benchmarkMain(argc, argv); }
