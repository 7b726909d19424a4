#include "optimization/DensityVolume.h"

#include <algorithm>
#include <cmath>

#include "fem/FemModel.h"
#include "optimization/DensityFilter.h"

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

void fillPaddedDensity(const FemModel& model, const std::vector<float>& rho, double background,
                       Volume<double, double>& volume) {
    double* cells = volume.data();
    std::fill(cells, cells + volume.size(), background);
    const long long n = (long long)rho.size();
    const auto& positions = model.elementPosition(0);
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
    for (long long e = 0; e < n; ++e) {
        const GridPos p = unpack(positions[size_t(e)]);
        volume(p.x + 1, p.y + 1, p.z + 1) = double(rho[size_t(e)]);
    }
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
