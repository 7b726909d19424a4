#include "optimization/MultiplierSearch.h"

#include <algorithm>
#include <cmath>

namespace ostrel {

std::vector<double> searchPositions(const MultiplierBracket& b, int count, double tolerance) {
    std::vector<double> positions;
    const double w = b.width();
    if (count <= 0 || !(w > 0.0)) return positions;
    if (std::isnan(b.lowExcess) || std::isnan(b.highExcess) || count < 3) {
        for (int k = 0; k < count; ++k) positions.push_back(b.low + w * (k + 1) / (count + 1));
    } else {
        // The straight line's crossing (the ends' excesses have opposite signs).
        const double f = b.lowExcess / (b.lowExcess - b.highExcess);
        const double guess = b.low + w * std::clamp(f, 0.0, 1.0);
        // Spacings grow by at most 4 from one position to the next: few positions crowd down
        // to where they can reach, not to the tolerance with gaps wider than an even split's.
        const int side = (count - 1) / 2;
        const double nearest = std::max(0.25 * tolerance, w / std::pow(4.0, side));
        const double ratio = std::pow(std::max(w / nearest, 1.0), 1.0 / side);
        positions.push_back(guess);
        double d = nearest;
        for (int j = 0; j < side; ++j, d *= ratio) {
            positions.push_back(guess - d);
            positions.push_back(guess + d);
        }
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::remove_if(positions.begin(), positions.end(),
                                   [&](double m) { return !(m > b.low && m < b.high); }),
                    positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

void narrowBracket(MultiplierBracket& b, const std::vector<double>& positions,
                   const std::vector<double>& excess) {
    size_t k = 0;
    while (k < positions.size() && excess[k] > 0.0) ++k;
    if (k > 0) {
        b.low = positions[k - 1];
        b.lowExcess = excess[k - 1];
    }
    if (k < positions.size()) {
        b.high = positions[k];
        b.highExcess = excess[k];
    }
}

}  // namespace ostrel
