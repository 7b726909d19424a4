// Multigrid solve of the standard cantilever on the host device (2 worker threads, 5 levels):
// time per V-cycle, cycles from a zero start to relative residuals 0.01 and 1e-6, and the
// memory report's bytes per element; the finest level's residual, restriction and residual norm;
// prepareSolve (with the count of rigid-body checks of the fixations it ran), and prepareSolve
// with a solve to 0.01 from a zero start, with their time split (uploads, assembly,
// factorization, cycles, copies).

#include <benchmark/benchmark.h>

#include "bench/BenchMain.h"
#include "tools/Cantilever.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"

namespace {

void zeroStart(ostrel::MultigridSolver& fem, const ostrel::FemModel& m) {
    fem.driver().memsetD32(fem.u_dev_[0], 0, size_t(m.numVertices(0)) * 6);
}

// The standard cantilever of the benchmark's size (its three arguments) on the host device with
// two worker threads, set up; released at the end of the benchmark.
struct HostSolver {
    explicit HostSolver(const benchmark::State& state)
        : model(ostrel::makeCantilever(int(state.range(0)), int(state.range(1)),
                                       int(state.range(2)), 0.01, 5)),
          fem(*model, {}, std::make_unique<ostrel::HostDriver>(2)) {
        fem.setLogs(nullptr, nullptr);
        fem.setup();
    }
    ~HostSolver() { fem.release(); }

    std::unique_ptr<ostrel::FemModel> model;
    ostrel::MultigridSolver fem;
};

void BM_VCycle(benchmark::State& state) {
    HostSolver solver(state);
    ostrel::FemModel* model = solver.model.get();
    ostrel::MultigridSolver& fem = solver.fem;
    fem.computeLoad();
    fem.prepareSolve();
    fem.solve(0.01);
    const int to1e2 = fem.lastCycles();
    zeroStart(fem, *model);
    fem.solve(1e-6);
    const int to1e6 = fem.lastCycles();
    for (auto _ : state) fem.vCycle();
    state.counters["elements"] = model->numElements(0);
    state.counters["cycles_to_1e-2"] = to1e2;
    state.counters["cycles_to_1e-6"] = to1e6;
    state.counters["bytes_per_element"] =
        double(fem.allocatedBytes()) / double(model->numElements(0));
}

// The per-cycle bookkeeping of the finest level: its residual, the restriction to level 2 and
// the residual norm the convergence test reads (that norm's sum comes back to the host).
void BM_FinestResidualRestrictionAndNorm(benchmark::State& state) {
    HostSolver solver(state);
    ostrel::FemModel* model = solver.model.get();
    ostrel::MultigridSolver& fem = solver.fem;
    fem.computeLoad();
    fem.prepareSolve();
    fem.solve(0.01);
    double norm = 0;
    for (auto _ : state) {
        fem.residualAndRestrict(0);
        norm = fem.residualNorm();
    }
    benchmark::DoNotOptimize(norm);
    state.counters["elements"] = model->numElements(0);
}

// Per-call split of prepareSolve and solve as counters (seconds per benchmark iteration).
void splitCounters(benchmark::State& state, const ostrel::SolverTimes& t) {
    const double n = double(state.iterations());
    state.counters["uploads_s"] = t.uploads / n;
    state.counters["assembly_s"] = t.assembly / n;
    state.counters["factorization_s"] = t.factorization / n;
    if (t.cycles > 0) {
        state.counters["cycles_s"] = t.cycles / n;
        state.counters["coarse_solves_s"] = t.coarseSolves / n;
        state.counters["copies_s"] = t.copies / n;
    }
}

void BM_PrepareSolve(benchmark::State& state) {
    HostSolver solver(state);
    ostrel::MultigridSolver& fem = solver.fem;
    fem.prepareSolve();  // the first call pays for first-touch page faults of the scratch
    fem.resetTimes();
    for (auto _ : state) fem.prepareSolve();
    splitCounters(state, fem.times());
    // The fixations never change here: the rigid-body check ran once, in the first call.
    state.counters["fixation_checks"] = fem.coarseSystem().fixationCheck.evaluations();
}

// The solver's part of a design iteration: prepareSolve and a solve to 0.01 from a zero start.
void BM_PrepareAndSolveFromZero(benchmark::State& state) {
    HostSolver solver(state);
    ostrel::FemModel* model = solver.model.get();
    ostrel::MultigridSolver& fem = solver.fem;
    fem.computeLoad();
    fem.prepareSolve();
    fem.resetTimes();
    int cycles = 0;
    for (auto _ : state) {
        zeroStart(fem, *model);
        fem.prepareSolve();
        fem.solve(0.01);
        cycles = fem.lastCycles();
    }
    splitCounters(state, fem.times());
    state.counters["cycles"] = cycles;
}

}  // namespace

// About 100 000, 500 000 and 1 000 000 elements.
BENCHMARK(BM_VCycle)->Args({100, 32, 32})->Args({160, 56, 56})->Args({200, 70, 72})
    ->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FinestResidualRestrictionAndNorm)->Args({200, 70, 72})
    ->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PrepareSolve)->Args({200, 70, 72})->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PrepareAndSolveFromZero)->Args({200, 70, 72})->Unit(benchmark::kMillisecond)
    ->Iterations(3);

int main(int argc, char** argv) { return ostrel::benchmarkMain(argc, argv); }
