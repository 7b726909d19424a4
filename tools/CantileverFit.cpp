#include "tools/CantileverFit.h"

#include "fem/ModelSize.h"

namespace ostrel {

namespace {

constexpr double kCoarsestElements = 2000;

}  // namespace

int cantileverLevels(int nx, int ny, int nz) {
    double d[3] = {double(nx), double(ny), double(nz)};
    int levels = 1;
    // Halve (rounding up, as the hierarchy does) until the coarsest grid is small enough.
    while (levels < kMaxLevels && (levels < kMinLevels || d[0] * d[1] * d[2] > kCoarsestElements)) {
        for (double& x : d)
            x = double((long long)(x + 1) / 2);
        ++levels;
    }
    return levels;
}

SceneSize cantileverSize(int nx, int ny, int nz, int levels) {
    SceneSize s;
    s.voxelGrid = {nx, ny, nz};
    s.extent = {double(nx), double(ny), double(nz)};
    s.elements = double(nx) * ny * nz;
    s.vertices = double(nx + 1) * (ny + 1) * (nz + 1);
    s.levels = levels;
    return s;
}

std::optional<CantileverFit> largestCantilever(double deviceBytes, double hostBytes,
                                               bool hostDevice, long long maxElements) {
    std::optional<CantileverFit> best;
    for (int t = 1;; ++t) {
        CantileverFit fit;
        fit.nx = 20 * t;
        fit.ny = 7 * t;
        fit.nz = 7 * t;
        fit.levels = cantileverLevels(fit.nx, fit.ny, fit.nz);
        ModelSize model;
        model.elements = (long long)fit.nx * fit.ny * fit.nz;
        model.vertices = (long long)(fit.nx + 1) * (fit.ny + 1) * (fit.nz + 1);
        model.extent = {fit.nx, fit.ny, fit.nz};
        if (!modelSizeError(model, fit.levels).empty()) {
            if (best)
                best->bound = FitBound::ModelLimits;
            return best;
        }
        if (maxElements > 0 && model.elements > maxElements) {
            if (best)
                best->bound = FitBound::ElementCap;
            return best;
        }
        const SceneSize size = cantileverSize(fit.nx, fit.ny, fit.nz, fit.levels);
        const double scene = estimateSceneBytes(size);
        // The scene estimate counts the solver's buffers in host memory, as the host device
        // keeps them; on a CUDA device they live on the device instead.
        fit.deviceBytes = hostDevice ? 0 : estimateDeviceBytes(size);
        fit.hostBytes = scene - fit.deviceBytes;
        const bool hostFits = fit.hostBytes <= hostBytes;
        if (!hostFits || fit.deviceBytes > deviceBytes) {
            if (best)
                best->bound = hostFits ? FitBound::Device : FitBound::Host;
            return best;
        }
        best = fit;
    }
}

}  // namespace ostrel
