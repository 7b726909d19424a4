// Voxelization of a closed mesh of about 100 000 triangles into about 256^3 cells, and marching
// cubes of a 256^3 density field with a sphere-like surface through it.

#include <benchmark/benchmark.h>

#include <cmath>

#include "geometry/TriangleMesh.h"
#include "voxel/IsoSurface.h"
#include "voxel/Voxelizer.h"

namespace {

using namespace ostrel;

// Latitude-longitude sphere with rings x segments quads (2 * rings * (segments - 1) triangles).
TriangleMesh makeSphere(float r, int rings, int segments) {
    TriangleMesh m;
    const double pi = 3.14159265358979323846;
    m.vertices.push_back({{0, 0, -r}, {}});
    for (int i = 1; i < rings; ++i)
        for (int s = 0; s < segments; ++s) {
            const double th = pi * i / rings, ph = 2 * pi * s / segments;
            m.vertices.push_back({{float(r * std::sin(th) * std::cos(ph)),
                                   float(r * std::sin(th) * std::sin(ph)),
                                   float(-r * std::cos(th))}, {}});
        }
    m.vertices.push_back({{0, 0, r}, {}});
    const int top = int(m.vertices.size()) - 1;
    auto ring = [&](int i, int s) { return 1 + (i - 1) * segments + (s % segments); };
    for (int s = 0; s < segments; ++s) m.triangles.push_back({{0, ring(1, s + 1), ring(1, s)}, {}});
    for (int i = 1; i + 1 < rings; ++i)
        for (int s = 0; s < segments; ++s) {
            m.triangles.push_back({{ring(i, s), ring(i, s + 1), ring(i + 1, s + 1)}, {}});
            m.triangles.push_back({{ring(i, s), ring(i + 1, s + 1), ring(i + 1, s)}, {}});
        }
    for (int s = 0; s < segments; ++s)
        m.triangles.push_back({{top, ring(rings - 1, s), ring(rings - 1, s + 1)}, {}});
    m.updateNormals();
    m.updateBounds();
    return m;
}

void BM_Voxelize100kTrianglesInto256Cubed(benchmark::State& state) {
    const TriangleMesh mesh = makeSphere(1.0f, 224, 224);  // 100 352 triangles
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

BENCHMARK_MAIN();
