#include "optimization/MultiplierSearch.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ostrel {
namespace {

// Geometric positions per side outside the even window: an eighth of the pass, from one to
// eight (eight reach from the window to the bracket's ends by ratios of at most 30 or so).
int tailCount(int count) { return std::clamp(count / 8, 1, 8); }

// The interpolation variable of the fractions of a bracket whose low end is `low`: s where
// every multiplier from there on is positive, else the fraction itself.
struct Scale {
    const MultiplierRange& range;
    bool inS;
    Scale(const MultiplierRange& r, double low)
        : range(r), inS(r.hi > r.lo && r.multiplier(low) > 0.0) {}
    double at(double m) const { return inS ? 1.0 / std::sqrt(range.multiplier(m)) : m; }
    double fraction(double t) const {
        return inS ? (1.0 / (t * t) - range.lo) / (range.hi - range.lo) : t;
    }
    // Where the straight line through (m1, e1) and (m2, e2) (excesses of opposite signs)
    // crosses zero, as a fraction between m1 and m2.
    double crossing(double m1, double e1, double m2, double e2) const {
        const double f = std::clamp(e1 / (e1 - e2), 0.0, 1.0);
        const double t1 = at(m1), t2 = at(m2);
        return std::clamp(fraction(t1 + f * (t2 - t1)), std::min(m1, m2), std::max(m1, m2));
    }
};

}  // namespace

std::vector<double> searchPositions(const MultiplierBracket& b, int count, double tolerance,
                                    const SearchGuess& guess) {
    std::vector<double> positions;
    const double w = b.width();
    if (count <= 0 || !(w > 0.0)) return positions;
    if (!(guess.spread > 0.0) || count < 3) {
        for (int k = 0; k < count; ++k) positions.push_back(b.low + w * (k + 1) / (count + 1));
    } else {
        const double g = std::clamp(guess.at, b.low, b.high);
        const double spread = std::max(guess.spread, 0.25 * tolerance);
        // Geometric tails where the window leaves room before an end, the rest evenly inside.
        const int tail = tailCount(count);
        const bool below = g - spread > b.low, above = g + spread < b.high;
        const int inner = count - (below ? tail : 0) - (above ? tail : 0);
        const double a = std::max(b.low, g - spread), z = std::min(b.high, g + spread);
        for (int k = 0; k < inner; ++k)
            positions.push_back(inner == 1 ? g : a + (z - a) * k / (inner - 1));
        auto addTail = [&](double reach, double sign) {
            const double ratio = std::pow(reach / spread, 1.0 / (tail + 1));
            double d = spread;
            for (int j = 0; j < tail; ++j) {
                d *= ratio;
                positions.push_back(g + sign * d);
            }
        };
        if (below) addTail(g - b.low, -1.0);
        if (above) addTail(b.high - g, 1.0);
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

SearchGuess guessCrossing(const MultiplierBracket& b, const MultiplierRange& range,
                          const std::vector<double>& positions, const std::vector<double>& excess,
                          double tolerance) {
    SearchGuess guess;
    if (std::isnan(b.lowExcess) || std::isnan(b.highExcess) || !(b.width() > 0.0)) return guess;
    const Scale scale(range, b.low);
    guess.at = scale.crossing(b.low, b.lowExcess, b.high, b.highExcess);
    // The secants one sample wider on either side: how far they move the crossing bounds the
    // narrow secant's error (by far, where the volume is smooth; the roundings' scatter where
    // it is not).
    const auto low = std::lower_bound(positions.begin(), positions.end(), b.low);
    const auto high = std::upper_bound(positions.begin(), positions.end(), b.high);
    double spread = 0.0;
    bool wider = false;
    if (low != positions.begin() && low != positions.end() && *low == b.low) {
        const size_t k = size_t(low - positions.begin()) - 1;
        spread = std::fabs(scale.crossing(positions[k], excess[k], b.high, b.highExcess) -
                           guess.at);
        wider = true;
    }
    if (high != positions.end() && high != positions.begin() && *(high - 1) == b.high) {
        const size_t k = size_t(high - positions.begin());
        spread = std::max(spread, std::fabs(scale.crossing(b.low, b.lowExcess, positions[k],
                                                           excess[k]) -
                                            guess.at));
        wider = true;
    }
    guess.spread = wider ? std::max(2.0 * spread, 0.25 * tolerance) : 0.5 * b.width();
    return guess;
}

SearchGuess hintGuess(double hint, const MultiplierRange& range, double tolerance) {
    SearchGuess guess;
    if (!(hint > 0.0) || !(range.hi > range.lo)) return guess;
    const double m = (hint - range.lo) / (range.hi - range.lo);
    if (!(m > 0.0 && m < 1.0)) return guess;
    guess.at = m;
    guess.spread = std::max(0.5 * hint / (range.hi - range.lo), tolerance);
    return guess;
}

SearchOutcome searchCrossing(const MultiplierRange& range, int width, double tolerance,
                             double hint, const ExcessOfPass& excessOf) {
    SearchOutcome out;
    MultiplierBracket& bracket = out.bracket;
    SearchGuess guess = hintGuess(hint, range, tolerance);
    // Every position evaluated so far, increasing, with its excess.
    std::vector<std::pair<double, double>> samples;
    std::vector<double> multipliers, excess, at, sampleExcess;
    while (bracket.width() > tolerance) {
        const std::vector<double> positions = searchPositions(bracket, width, tolerance, guess);
        if (positions.empty()) break;  // no double left between the ends
        multipliers.resize(positions.size());
        excess.resize(positions.size());
        for (size_t k = 0; k < positions.size(); ++k)
            multipliers[k] = range.multiplier(positions[k]);
        excessOf(multipliers, excess);
        narrowBracket(bracket, positions, excess);
        ++out.passes;
        for (size_t k = 0; k < positions.size(); ++k)
            samples.emplace_back(positions[k], excess[k]);
        std::sort(samples.begin(), samples.end());
        at.clear();
        sampleExcess.clear();
        for (const auto& [m, e] : samples) {
            at.push_back(m);
            sampleExcess.push_back(e);
        }
        guess = guessCrossing(bracket, range, at, sampleExcess, tolerance);
    }
    out.multiplier = range.multiplier(0.5 * (bracket.low + bracket.high));
    return out;
}

}  // namespace ostrel
