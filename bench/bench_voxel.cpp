// Voxelization of a closed mesh of about 100 000 triangles into about 256^3 cells, and marching
// cubes of a 256^3 density field with a sphere-like surface through it.

#include <benchmark/benchmark.h>

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
