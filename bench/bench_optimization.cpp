// Optimization steps of the standard cantilever on the host device with 2 worker threads
// (5 levels), in the order of the run control: solve (prepareSolve, solve to 0.01), optimize
// (energies, iteration, stiffness update) and shape extraction. One benchmark iteration is one
// step; the reset before the first step is not timed. Counters are per step: the averages over
// all steps and over the first 50, the optimize phase split into sensitivities, multiplier search
// and the rest, and the share of the optimize phase in the step. The multigrid cycles of every
// solve and the multiplier-search time of every step are printed after the run (a search far
// above the others marks a step during which another process took a core). The history files
// go to bench_optimization_history/ in the working directory.

#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchMain.h"
#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"
#include "gpu/CudaFem.h"
#include "optimization/Optimizer.h"

namespace {

constexpr int kThreads = 2;

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

struct StepTimes {
    double solve = 0, optimize = 0, sensitivity = 0, search = 0, extract = 0;
    double step() const { return solve + optimize + extract; }
};

void BM_OptimizationStep(benchmark::State& state) {
    omp_set_num_threads(kThreads);
    const int nx = int(state.range(0)), ny = int(state.range(1)), nz = int(state.range(2));
    auto model = ostrel::makeCantilever(nx, ny, nz, 0.01, 5);
    ostrel::CudaFem fem(*model, {true, kThreads}, std::make_unique<ostrel::HostDriver>(kThreads));
    fem.setLogs(nullptr, nullptr);
    ostrel::OptimizationLifetime lifetime;
    const std::string dir = "bench_optimization_history";
    std::filesystem::create_directories(dir);
    ostrel::Optimizer opt(*model, lifetime, dir);
    opt.setLogs(nullptr, nullptr);
    fem.setCycleCountSink(&opt.history().cycleSink());
    fem.setup();

    const auto resetStart = std::chrono::steady_clock::now();
    fem.computeLoad();
    opt.reset();
    opt.updateStiffness();
    const double resetSeconds = since(resetStart);

    std::vector<StepTimes> steps;
    std::vector<int> cycles;
    int iteration = 0;
    for (auto _ : state) {
        StepTimes t;
        auto start = std::chrono::steady_clock::now();
        fem.prepareSolve();
        fem.solve(0.01);
        t.solve = since(start);
        cycles.push_back(fem.lastCycles());

        start = std::chrono::steady_clock::now();
        opt.evaluateEnergies();
        opt.iterate(iteration);
        opt.updateStiffness();
        t.optimize = since(start);
        t.sensitivity = opt.lastSensitivitySeconds_;
        t.search = opt.lastUpdateSeconds_;

        start = std::chrono::steady_clock::now();
        opt.extractShape();
        t.extract = since(start);
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
    state.counters["elements"] = model->numElements_[0];
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

    std::printf("%d elements, multigrid cycles of solves 0..%zu:", model->numElements_[0],
                cycles.size() - 1);
    for (int c : cycles) std::printf(" %d", c);
    std::printf("\n%d elements, multiplier search of steps 0..%zu (ms):", model->numElements_[0],
                steps.size() - 1);
    for (const StepTimes& t : steps) std::printf(" %.0f", t.search * 1e3);
    std::printf("\n");
    fem.release();
}

/// The parts of the optimize phase without solves: one filter call and one multiplier search
/// (40 passes) after a reset, with made-up energies.
struct ResetModel {
    std::unique_ptr<ostrel::FemModel> model;
    ostrel::OptimizationLifetime lifetime;
    std::unique_ptr<ostrel::Optimizer> opt;
    ResetModel(int nx, int ny, int nz) {
        omp_set_num_threads(kThreads);
        model = ostrel::makeCantilever(nx, ny, nz, 0.01, 5);
        std::filesystem::create_directories("bench_optimization_history");
        opt = std::make_unique<ostrel::Optimizer>(*model, lifetime, "bench_optimization_history");
        opt->setLogs(nullptr, nullptr);
        opt->reset();
        for (size_t e = 0; e < opt->q_.size(); ++e) opt->q_[e] = 1.0 + double(e % 97) * 0.01;
    }
};

void BM_Filter(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)));
    for (auto _ : state)
        r.opt->densityFilter().filter(r.opt->x_.data(), r.opt->candidateRho_.data(),
                                      r.opt->W_.data());
    state.counters["elements"] = r.model->numElements_[0];
}

void BM_MultiplierSearch(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)));
    r.opt->computeSensitivities();
    for (auto _ : state) r.opt->searchMultiplier(0.38, 0.5, 2.0);
    state.counters["elements"] = r.model->numElements_[0];
}

void BM_Sensitivities(benchmark::State& state) {
    ResetModel r(int(state.range(0)), int(state.range(1)), int(state.range(2)));
    for (auto _ : state) r.opt->computeSensitivities();
    state.counters["elements"] = r.model->numElements_[0];
}

}  // namespace

BENCHMARK(BM_Filter)->Args({110, 22, 20})->Args({180, 40, 42})->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_MultiplierSearch)->Args({110, 22, 20})->Args({180, 40, 42})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sensitivities)->Args({110, 22, 20})->Args({180, 40, 42})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// About 50 000 elements over the first 100 steps, and about 300 000 elements over 10 steps.
BENCHMARK(BM_OptimizationStep)->Args({110, 22, 20})->Iterations(100)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OptimizationStep)->Args({180, 40, 42})->Iterations(10)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) { return ostrel::benchmarkMain(argc, argv); }
