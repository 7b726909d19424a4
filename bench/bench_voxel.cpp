// Voxelization of a closed mesh of about 100 000 triangles into about 256^3 cells, whole and one
// process's piece of it split by layers, and marching cubes of a 256^3 density field with a
// sphere-like surface through it.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cmath>

#include "bench/BenchMain.h"
#include "geometry/TriangleMesh.h"
#include "support/MeshBuilders.h"
#include "voxel/IsoSurface.h"
#include "voxel/Voxelizer.h"

namespace {

using namespace ostrel;

void BM_Voxelize100kTrianglesInto256Cubed(benchmark::State& state) {
    const TriangleMesh mesh = test::makeSphere({0, 0, 0}, 1.0f, 224, 224);  // 99 904 triangles
    Volume<bool, double> grid;
    for (auto _ : state) {
        voxelizeToBounds(mesh, grid, 2.0f / 256.0f, nullptr);
        benchmark::DoNotOptimize(grid.data());
    }
    state.counters["triangles"] = double(mesh.triangles.size());
    state.counters["nx"] = grid.resolution().x;
}
BENCHMARK(BM_Voxelize100kTrianglesInto256Cubed)->Unit(benchmark::kMillisecond);

// One process's piece of the same voxelization split over N processes by layers (the many-process
// engine's): the middle run of N about equal runs, which crosses the sphere's widest part.
void BM_VoxelizeMiddleOfNLayerRuns(benchmark::State& state) {
    const int parts = int(state.range(0));
    const TriangleMesh mesh = test::makeSphere({0, 0, 0}, 1.0f, 224, 224);
    Volume<bool, double> grid;
    voxelizeToBounds(mesh, grid, 2.0f / 256.0f, nullptr);
    const int nz = grid.resolution().z, middle = parts / 2;
    const VoxelLayers run{int(long(nz) * middle / parts), int(long(nz) * (middle + 1) / parts)};
    static const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (auto _ : state) {
        // Every piece is voxelized once in a run: its depth buffer on fresh pages, as there.
        state.PauseTiming();
        malloc_trim(0);
        state.ResumeTiming();
        voxelizeLayers(mesh, grid, identity, run, nullptr);
        benchmark::DoNotOptimize(grid.data());
    }
    state.counters["layers"] = run.end - run.begin;
    // The depth buffer this piece holds: 1 028 bytes a column.
    state.counters["depthMB"] = 1028.0 * grid.resolution().y * (run.end - run.begin) / 1e6;
}
BENCHMARK(BM_VoxelizeMiddleOfNLayerRuns)->Arg(1)->Arg(2)->Arg(4)->Arg(8)
    ->Unit(benchmark::kMillisecond);

void BM_MarchingCubes256Cubed(benchmark::State& state) {
    const int n = 256;
    Volume<double, double> field;
    field.init({n, n, n}, {1, 1, 1}, {0, 0, 0}, 0.0);
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const double x = i - 127.5, y = j - 127.5, z = k - 127.5;
                field(i, j, k) = 0.5 + (100.0 - std::sqrt(x * x + y * y + z * z)) / 8.0 +
                                 0.3 * std::sin(i * 0.2) * std::cos(j * 0.15);
            }
    TriangleMesh mesh;
    for (auto _ : state) {
        extractIsoSurface(field, 0.5, mesh, false);
        benchmark::DoNotOptimize(mesh.triangles.data());
    }
    state.counters["triangles"] = double(mesh.triangles.size());
}
BENCHMARK(BM_MarchingCubes256Cubed)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return ostrel::benchmarkMain(argc, argv); }
