#include "optimization/MemoryEstimate.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"

namespace ostrel {
namespace {

constexpr double kDepthColumnBytes = 1028;  // one column of the voxelizer's depth layers

// Per level-0 element: model (stiffness factors, positions, a 4-byte margin), solver (E_dev_,
// positions), optimizer (design, filtered and trial densities, energies, sensitivity scratch,
// corner vertices, filter rows).
constexpr double kBytesPerElement = 8 + 4 + 4 + 200;
// Per level-0 vertex: model (fixed flag, a 4-byte margin, force, load, displacement, residual,
// position), solver (fixed flag, mass, load, displacement, residual, position), optimizer (kept
// flag).
constexpr double kBytesPerVertex = 61 + 4 + 45 + 4 + 1;
// Per vertex of levels >= 2: operator on the device, right-hand side and displacement (the
// host holds the coarsest level's operator alone, counted with that level).
constexpr double kBytesPerCoarseVertex = 243 * 8 + 2 * 3 * 8 + 3 * 8 + 8;

double cells(const std::array<double, 3>& d) { return d[0] * d[1] * d[2]; }

// The many-process engine's solve, measured on the box cantilever (1 to 4 processes, 65 536 and
// 524 288 elements): 0.80-0.96 kB per element over the processes at 524 288 elements, 0.9 kB
// taken. The box's vectors (about 15 of 3 doubles a finest grid point: the Krylov and multigrid
// vectors, the smoothers' and their estimates' work vectors, the diagonal) make 0.4 kB of it,
// and every point of the box has them, material or not; the rest (level 1's upper triangle and
// the coarser levels) goes with the elements.
constexpr double kEngineBytesPerGridPoint = 400;
constexpr double kEngineBytesPerElement = 500;

// The device optimizer's buffers for the default filter (117 taps, the grid padded by 2 cells on
// every side) without projection, which needs more of them than projection does; a process of
// the engine keeps its share of the elements and of the staging grid's layers.
double deviceOptimizerBytes(const SceneSize& s) {
    const double share = s.processes > 0 ? 1.0 / s.processes : 1.0;
    const double layers = s.processes > 0 ? std::ceil(s.extent[2] * share) : s.extent[2];
    const double staged = (s.extent[0] + 4) * (s.extent[1] + 4) * (layers + 4);
    return double(DeviceOptimizer::bytesFor(size_t(s.elements),
                                            size_t(std::ceil(s.elements * share)),
                                            size_t(staged), 117, false, false));
}

// Each further load case: its load (floats) and displacement (doubles) per vertex; the device
// optimizer's energies of one case per element.
double loadCaseBytes(const SceneSize& s) {
    return s.loadCases > 1 ? (s.loadCases - 1) * s.vertices * (12 + 24) + 8 * s.elements : 0.0;
}

}  // namespace

double engineSolveBytes(const SceneSize& s) {
    if (s.processes <= 0) return 0.0;
    const std::array<double, 3> points = {s.extent[0] + 1, s.extent[1] + 1, s.extent[2] + 1};
    return (kEngineBytesPerGridPoint * cells(points) + kEngineBytesPerElement * s.elements) /
           s.processes;
}

double estimateSceneBytes(const SceneSize& s) {
    const bool engine = s.processes > 0;
    const double grid = double(s.voxelGrid.x) * double(s.voxelGrid.y) * double(s.voxelGrid.z);
    // A process of the engine voxelizes its share of the layers, every process the whole grid.
    const double ownLayers =
        engine ? std::ceil(double(s.voxelGrid.z) / s.processes) : double(s.voxelGrid.z);
    const double voxelization = grid * (s.surfaceVoxels ? 2.0 : 1.0) +
                                double(s.voxelGrid.y) * ownLayers * kDepthColumnBytes;

    // The occupancy grid stays alive while the model is built.
    double model = grid + s.elements * kBytesPerElement + s.vertices * kBytesPerVertex;
    std::array<double, 3> dims = s.extent;
    double shrink = 1;
    for (int l = 0; l < s.levels; ++l) {
        const std::array<double, 3> points = {dims[0] + 1, dims[1] + 1, dims[2] + 1};
        const double nE = std::min(s.elements / shrink, cells(dims));
        const double nV = std::min(s.vertices / shrink, cells(points));
        // Dense element and vertex grids and positions, on the host and on the device.
        model += 2 * 4 * (cells(dims) + cells(points) + nE + nV);
        // The engine solves elsewhere: the single-process solver keeps no coarse level.
        if (l >= 2 && !engine) model += nV * kBytesPerCoarseVertex;
        // Coarsest level: its operator on the host, neighbour table, right-hand side and
        // solution, the matrix (81 entries per row) and its Cholesky factor, whose fill grows
        // like n^(4/3) under nested dissection (n = 3 nV unknowns; 12 bytes per entry with its
        // row index).
        if (l == s.levels - 1) {
            const double n = 3 * nV;
            model += nV * (243 * 8 + 27 * 8 + 6 * 8) +
                     12 * (81 * n + 81 * n + 2 * std::pow(n, 4.0 / 3.0));
        }
        for (double& d : dims) d = std::ceil(d / 2);
        shrink *= 4;
    }
    // The optimizer's padded density grid and the filter's staging of it.
    const std::array<double, 3> padded = {s.extent[0] + 2, s.extent[1] + 2, s.extent[2] + 2};
    model += cells(padded) * (8 + 20);
    // The device optimizer's buffers (the host device keeps them in host memory, too).
    model += deviceOptimizerBytes(s);
    // The conjugate-gradient vectors (likewise in host memory on the host device).
    if (s.conjugateGradients && !engine)
        model += double(conjugateGradientBytes(size_t(s.vertices)));
    // The further load cases' buffers (likewise).
    model += loadCaseBytes(s);
    // A run that the check lets start must not fail in its last writes.
    model += finalFilesBytes(s);
    return std::max(voxelization, model + engineSolveBytes(s));
}

double finalFilesBytes(const SceneSize& s) {
    const std::array<double, 3> points = {s.extent[0] + 1, s.extent[1] + 1, s.extent[2] + 1};
    const std::array<double, 3> padded = {s.extent[0] + 2, s.extent[1] + 2, s.extent[2] + 2};
    return 14 * cells(s.extent) + 12 * cells(points) + 8 * cells(padded);
}

double estimateDeviceBytes(const SceneSize& s) {
    // Level 0: fixed flags, masses, loads and residuals per vertex; factors per element.
    double bytes = s.vertices * (1 + 4 + 12 + 4) + s.elements * 4;
    bytes += 8 * double(residualSumEntries(size_t(s.vertices)));  // the residual norm's sums
    if (s.conjugateGradients) bytes += double(conjugateGradientBytes(size_t(s.vertices)));
    bytes += loadCaseBytes(s);
    std::array<double, 3> dims = s.extent;
    double nE = s.elements, nV = s.vertices;
    for (int l = 0; l < s.levels; ++l) {
        const std::array<double, 3> points = {dims[0] + 1, dims[1] + 1, dims[2] + 1};
        if (l > 0) {
            // A coarse element covers at least one element of the level above, a coarse vertex
            // is one of its vertices and a corner of a coarse element.
            nE = std::min(nE, cells(dims));
            nV = std::min({nV, 8 * nE, cells(points)});
        }
        bytes += 4 * (cells(dims) + cells(points) + nE + nV);  // grids and positions
        if (l != 1) bytes += 3 * 8 * nV;                        // displacements
        if (l == 0 || (l >= 2 && l <= s.levels - 2))
            bytes += 3 * 8 * cells(points);  // the dense residual the restriction gathers from
        if (l >= 2) bytes += nV * (3 + 243) * 8 + nE * 324 * 8;  // rhs, operator, element matrices
        if (l == 2) bytes += nE * 64 * (4 + 1);                 // assembly weights and flags
        for (double& d : dims) d = std::ceil(d / 2);
    }
    return bytes + deviceOptimizerBytes(s);
}

std::wstring memoryError(const SceneSize& size, const Vec3d& voxelSize, const MemoryLimit& limit,
                         const std::function<SceneSize(double)>& sizeAt) {
    const double need = estimateSceneBytes(size);
    if (need <= limit.bytes) return {};
    // Bisection on the factor by which every voxel edge grows until the estimate fits. Where
    // `sizeAt` counts less at the refused voxel size than `size` does (a mesh whose orientation
    // is mixed has no volume to estimate the elements from), its estimates are scaled up alike,
    // so that the size proposed is never the one refused.
    const double scale = std::max(1.0, need / estimateSceneBytes(sizeAt(1.0)));
    auto fits = [&](double factor) {
        return scale * estimateSceneBytes(sizeAt(factor)) <= limit.bytes;
    };
    double lo = 1, hi = 2;
    while (!fits(hi) && hi < 1e9) hi *= 2;
    std::wostringstream text;
    text.precision(3);
    text << L"ERROR: The voxel model needs \u2248 " << formatGigabytes(need, true)
         << L" GB, the process may use " << formatGigabytes(limit.bytes, false) << L" GB ("
         << limit.source << L"); ";
    // Not even a grid of one voxel fits: what the process may use is used up already.
    if (!fits(hi)) return text.str() + L"no voxel size fits";
    for (int n = 0; n < 60; ++n) {
        const double mid = 0.5 * (lo + hi);
        (fits(mid) ? hi : lo) = mid;
    }
    // Three significant digits, rounded up so that the size printed still fits.
    auto roundUp = [](double v) {
        const double unit = std::pow(10.0, std::floor(std::log10(v)) - 2);
        return std::ceil(v / unit * (1 - 1e-12)) * unit;
    };
    text << L"a voxel size of " << roundUp(voxelSize.x * hi) << L" " << roundUp(voxelSize.y * hi)
         << L" " << roundUp(voxelSize.z * hi) << L" fits";
    return text.str();
}

}  // namespace ostrel
