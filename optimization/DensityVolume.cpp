#include "optimization/DensityVolume.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "fem/FemModel.h"
#include "gpu/DesignSplit.h"
#include "optimization/DensityFilter.h"
#include "voxel/IsoSurface.h"

namespace ostrel {

namespace {

constexpr int kDiscRadius = 8;

// Every element of the x-z disc around element e's cell to `value`.
void fillDisc(const FemModel& model, size_t e, float value, std::vector<float>& target) {
    const GridPos p = unpack(model.elementPosition(0)[e]);
    for (int dz = -kDiscRadius; dz <= kDiscRadius; ++dz)
        for (int dx = -kDiscRadius; dx <= kDiscRadius; ++dx) {
            if (std::sqrt(double(dx * dx + dz * dz)) > double(kDiscRadius)) continue;
            const int j = model.elementAt(0, {p.x + dx, p.y, p.z + dz});
            if (j >= 0) target[size_t(j)] = value;
        }
}

}  // namespace

Volume<double, double> paddedDensityLayers(const FemModel& model, int begin, int end) {
    const std::array<int, 3>& dims = model.elementDims(0);
    const Vec3d s = model.voxelSize();
    Volume<double, double> volume;
    volume.init({dims[0] + 2, dims[1] + 2, end - begin}, s,
                {model.origin().x - s.x, model.origin().y - s.y, model.origin().z - s.z}, 0.0);
    return volume;
}

void fillPaddedDensity(const FemModel& model, const std::vector<float>& rho, double background,
                       Volume<double, double>& volume, int firstLayer) {
    double* cells = volume.data();
    std::fill(cells, cells + volume.size(), background);
    const long long n = (long long)rho.size();
    const int layers = volume.resolution().z;
    const auto& positions = model.elementPosition(0);
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        const GridPos p = unpack(positions[size_t(e)]);
        const int z = p.z + 1 - firstLayer;
        if (z >= 0 && z < layers) volume(p.x + 1, p.y + 1, z) = double(rho[size_t(e)]);
    }
}

void extractSplitShape(const FemModel& model, const std::vector<float>& rho, double background,
                       double iso, DesignSplit& split, TriangleMesh& mesh) {
    const OwnLayers own = split.own();
    const int layers = model.elementDims(0)[2];
    IsoSurfaceSlab slab;
    if (own.begin < own.end) {
        // Cell layer k lies between node layers k and k + 1: the cells of element layers
        // [begin, end) are cell layers [begin, end), and the top layer's owner has cell layer
        // `layers` too, between the top element layer and the border.
        const int end = own.end == layers ? layers + 2 : own.end + 1;
        Volume<double, double> volume = paddedDensityLayers(model, own.begin, end);
        fillPaddedDensity(model, rho, background, volume, own.begin);
        slab = extractIsoSurfaceSlab(volume, own.begin, iso, false);
    }
    const std::vector<std::vector<unsigned char>> all = split.gatherToFirst(slabBytes(slab));
    std::vector<IsoSurfaceSlab> slabs(all.size());
    for (size_t r = 0; r < all.size(); ++r)
        if (!readSlabBytes(all[r], slabs[r]))
            throw std::runtime_error("the shape's piece of process " + std::to_string(r) +
                                     " arrived damaged");
    if (!joinIsoSurfaceSlabs(slabs, mesh))
        throw std::runtime_error("the processes' pieces of the shape do not join");
}

void closeDesign(const FemModel& model, const std::vector<uint8_t>& kept,
                 const std::vector<uint8_t>& emptyHeld, double isoLevel, double minDensity,
                 std::vector<float>& rho) {
    const size_t n = rho.size();
    const float low = float(minDensity);
    std::vector<float> a(rho);
    std::vector<float> b(n, low);
    for (size_t e = 0; e < n; ++e)
        if (double(a[e]) >= isoLevel) fillDisc(model, e, 1.0f, b);
    std::fill(a.begin(), a.end(), 1.0f);
    for (size_t e = 0; e < n; ++e)
        if (double(b[e]) < isoLevel) fillDisc(model, e, low, a);
    for (size_t e = 0; e < n; ++e)
        if (!kept[e] && !emptyHeld[e]) rho[e] = std::clamp(a[e], low, 1.0f);
}

}  // namespace ostrel
