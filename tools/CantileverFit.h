#pragma once
// The largest standard cantilever (tools/Cantilever.h) that a device's memory holds: boxes of
// 20t x 7t x 7t voxels (t = 1, 2, ...; 10 gives the 980 000-element model), each with the level
// count of cantileverLevels, measured with the memory estimates of optimization/MemoryEstimate. On a
// CUDA device the solver's buffers (estimateDeviceBytes) must fit the device and the rest of the
// scene's estimate (the model and the optimizer on the host) the host; on the host device the
// whole estimate must fit the host. The model's index limits (fem/ModelSize.h) hold too.

#include <optional>

#include "optimization/MemoryEstimate.h"

namespace ostrel {

/// What keeps the next larger box out.
enum class FitBound { Device, Host, ModelLimits, ElementCap };

struct CantileverFit {
    int nx = 0, ny = 0, nz = 0, levels = 0;
    double deviceBytes = 0;  ///< estimate of the device's buffers (0 on the host device)
    double hostBytes = 0;    ///< estimate of the host's share
    FitBound bound = FitBound::Device;
};

/// The fewest levels (at least 3, at most 12) whose coarsest level has at most 2000 elements, so
/// that its direct factorization stays small.
int cantileverLevels(int nx, int ny, int nz);

/// The estimates of the nx x ny x nz box with `levels` levels.
SceneSize cantileverSize(int nx, int ny, int nz, int levels);

/// The largest box that fits `deviceBytes` on the device and `hostBytes` on the host
/// (`hostDevice`: the device is the host, and only `hostBytes` counts) and has at most
/// `maxElements` elements (0: no cap); none when not even the smallest one fits.
std::optional<CantileverFit> largestCantilever(double deviceBytes, double hostBytes,
                                               bool hostDevice, long long maxElements = 0);

}  // namespace ostrel
