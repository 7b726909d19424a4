// Host cost of the finite-element model: coarse-operator assembly (the CPU row-window assembly
// and the kernel module's element-by-element assembly on the host device with 2 threads),
// coarsest factorization and solves, and the memory of the model per element.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <memory>

#include "bench/BenchMain.h"
#include "fem/FemModel.h"
#include "fem/Operators.h"
#include "reference/ReferenceAssembly.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"

namespace ostrel {
namespace {

constexpr int kSide = 100;  // 1e6 level-0 elements
constexpr int kLevels = 5;

FemModel& model() {
    static std::unique_ptr<FemModel> m = [] {
        Volume<bool, double> v;
        v.init({kSide, kSide, kSide}, {0.01, 0.01, 0.01}, {0, 0, 0}, true);
        auto fm = std::make_unique<FemModel>(v, kLevels);
        for (int y = 0; y <= kSide; ++y)
            for (int x = 0; x <= kSide; ++x) fm->setFixed(fm->vertexAt(0, {x, y, 0}), true);
        return fm;
    }();
    return *m;
}

void BM_AssembleOperators(benchmark::State& state) {
    FemModel& m = model();
    for (auto _ : state) assembleOperators(m);
    state.counters["elements"] = m.numElements(0);
}
BENCHMARK(BM_AssembleOperators)->Unit(benchmark::kMillisecond)->UseRealTime();

// All coarse levels by the assembly kernels on the host device (2 threads), from the model's
// fixed vertices, factors and masses on the device into A_dev_.
void BM_AssembleOperatorsHostDevice(benchmark::State& state) {
    FemModel& m = model();
    MultigridSolver fem(m, DeviceOptions{}, std::make_unique<HostDriver>(2));
    fem.setLogs(nullptr, nullptr);
    fem.setup();
    fem.prepareSolve();  // uploads the fixed vertices, factors and masses
    for (auto _ : state) fem.assembleOperators();
    state.counters["elements"] = m.numElements(0);
    fem.release();
}
BENCHMARK(BM_AssembleOperatorsHostDevice)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AssembleLevel(benchmark::State& state) {
    FemModel& m = model();
    const int level = int(state.range(0));
    assembleOperators(m);
    for (auto _ : state) assembleLevelOperator(m, level);
    state.counters["vertices"] = m.numVertices(level);
}
BENCHMARK(BM_AssembleLevel)->DenseRange(2, kLevels - 1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FactorCoarsestPlus20Solves(benchmark::State& state) {
    FemModel& m = model();
    assembleOperators(m);
    CoarseSystem coarse;
    const size_t n3 = 3 * size_t(m.numVertices(m.coarsestLevel()));
    std::vector<double> rhs(n3, 0.0), solution(n3, 0.0);
    for (auto _ : state) {
        if (!factorCoarsestLevel(m, coarse)) state.SkipWithError("factorization failed");
        for (int k = 0; k < 20; ++k) coarse.solver.solveWithFactor(rhs.data(), solution.data());
    }
    state.counters["dofs"] = coarse.solver.columns();
}
BENCHMARK(BM_FactorCoarsestPlus20Solves)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ModelMemory(benchmark::State& state) {
    FemModel& m = model();
    assembleOperators(m);
    for (auto _ : state) benchmark::DoNotOptimize(m.levelOperator(m.coarsestLevel()).data());
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peakRssBytesPerElement"] = double(ru.ru_maxrss) * 1024.0 / m.numElements(0);
}
BENCHMARK(BM_ModelMemory)->Iterations(1);

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) { return ostrel::benchmarkMain(argc, argv); }
