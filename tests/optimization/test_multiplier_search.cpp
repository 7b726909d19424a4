// The bracket of the many-candidate multiplier search (optimization/MultiplierSearch.h): the
// positions of a pass lie strictly inside the bracket in increasing order, evenly around the
// guess and geometrically beyond it; the narrowed bracket keeps the crossing of any falling
// volume; the guess interpolates in s = 1 / sqrt(multiplier), exactly for a volume linear in s,
// and the hint centres the first pass on the last multiplier. Passes of 64 positions find the
// crossing of a smooth volume to the tolerance in a few passes and of a staircase (few elements)
// in a bounded number.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "optimization/MultiplierSearch.h"

using namespace ostrel;

namespace {

constexpr double kTolerance = 1e-12;

/// The search of `count` positions per pass for the falling excess(m), m the fraction of
/// `range`, its first pass around `hint` (0: none).
SearchOutcome runSearch(const std::function<double(double)>& excess, int count,
                        const MultiplierRange& range = {0.0, 1.0}, double hint = 0.0) {
    return searchCrossing(range, count, kTolerance, hint,
                          [&](const std::vector<double>& multipliers, std::vector<double>& e) {
                              for (size_t k = 0; k < multipliers.size(); ++k)
                                  e[k] = excess((multipliers[k] - range.lo) /
                                                (range.hi - range.lo));
                          });
}

void expectInsideAndIncreasing(const MultiplierBracket& b, const std::vector<double>& m) {
    for (size_t k = 0; k < m.size(); ++k) {
        EXPECT_GT(m[k], b.low) << k;
        EXPECT_LT(m[k], b.high) << k;
        if (k > 0) {
            EXPECT_GT(m[k], m[k - 1]) << k;
        }
    }
}

TEST(MultiplierSearch, TheFirstPassSplitsTheRangeEvenly) {
    const MultiplierBracket b;
    const std::vector<double> m = searchPositions(b, 63, kTolerance);
    ASSERT_EQ(m.size(), 63u);
    for (size_t k = 0; k < m.size(); ++k) EXPECT_DOUBLE_EQ(m[k], double(k + 1) / 64.0);
}

TEST(MultiplierSearch, LaterPassesSplitTheWindowEvenlyAndReachTheEndsGeometrically) {
    struct Case {
        const char* name;
        double low, high, at, spread;
        int count;
        int inner;  // positions in the window
    };
    const Case cases[] = {
        {"middle", 0.25, 0.5, 0.375, 1e-3, 64, 48},
        {"host_width", 0.25, 0.5, 0.375, 1e-3, 8, 6},
        {"near_low", 0.25, 0.5, 0.25 + 1e-9, 1e-6, 64, 56},
        {"at_high", 0.25, 0.5, 0.5, 1e-6, 64, 56},
        {"window_covers_the_bracket", 0.3, 0.3 + 4e-12, 0.3 + 1e-12, 1e-11, 64, 64},
        {"tiny_spread", 0.3, 0.4, 0.35, 1e-20, 64, 48},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MultiplierBracket b{c.low, c.high, 1.0, -1.0};
        const std::vector<double> m = searchPositions(b, c.count, kTolerance, {c.at, c.spread});
        ASSERT_FALSE(m.empty());
        EXPECT_LE(m.size(), size_t(c.count));
        expectInsideAndIncreasing(b, m);
        // The window is the spread around the guess, never narrower than a quarter of the
        // tolerance, clipped to the bracket; its positions are evenly spaced.
        const double spread = std::max(c.spread, 0.25 * kTolerance);
        const double a = std::max(c.low, c.at - spread), z = std::min(c.high, c.at + spread);
        std::vector<double> inside;
        for (double x : m)
            if (x >= a && x <= z) inside.push_back(x);
        EXPECT_GE(int(inside.size()), c.inner - 2);  // less the ends on the bracket's ends
        EXPECT_LE(int(inside.size()), c.inner);
        const double step = (z - a) / (c.inner - 1);
        for (size_t k = 1; k < inside.size(); ++k)
            EXPECT_NEAR(inside[k] - inside[k - 1], step, 1e-9 * step + 2e-16) << k;
        // Beyond the window the spacing grows geometrically, the outermost position within
        // the ratio of the bracket's end.
        if (c.at - spread > c.low) {
            const int tail = std::clamp(c.count / 8, 1, 8);
            const double ratio = std::pow((c.at - c.low) / spread, 1.0 / (tail + 1));
            EXPECT_NEAR(m.front(), c.at - (c.at - c.low) / ratio, 1e-9 * (c.at - c.low));
        }
    }
}

TEST(MultiplierSearch, TheGuessIsExactForAVolumeLinearInS) {
    // Volume a + b * s, s = 1 / sqrt(lo + m (hi - lo)): the crossing at m = 0.3 is found from
    // any bracket around it, and the wider secants agree to rounding.
    const MultiplierRange range{0.5, 4.0};
    auto s = [&](double m) { return 1.0 / std::sqrt(range.multiplier(m)); };
    auto excess = [&](double m) { return 3.0 * (s(m) - s(0.3)); };
    struct Case {
        double low, high;
    };
    for (const Case& c : {Case{0.1, 0.9}, Case{0.29, 0.31}, Case{0.3 - 1e-9, 0.3 + 2e-9}}) {
        const MultiplierBracket b{c.low, c.high, excess(c.low), excess(c.high)};
        const std::vector<double> at = {c.low - 0.05, c.low, c.high, c.high + 0.05};
        std::vector<double> e;
        for (double m : at) e.push_back(excess(m));
        const SearchGuess g = guessCrossing(b, range, at, e, kTolerance);
        EXPECT_NEAR(g.at, 0.3, 1e-14) << c.low;
        // The least window: a quarter of the tolerance.
        EXPECT_EQ(g.spread, 0.25 * kTolerance) << c.low;
    }
    // Curved in s: the wider secants move the crossing, and the spread covers the narrow
    // secant's error.
    auto curved = [&](double m) { return std::exp(-3 * m) - std::exp(-3 * 0.61); };
    const std::vector<double> at = {0.5, 0.55, 0.6, 0.65, 0.7};
    std::vector<double> e;
    for (double m : at) e.push_back(curved(m));
    const MultiplierBracket b{0.6, 0.65, e[2], e[3]};
    const SearchGuess g = guessCrossing(b, range, at, e, kTolerance);
    EXPECT_GT(g.spread, std::fabs(g.at - 0.61));
    EXPECT_LT(g.spread, 0.05);
    // Without the excess at an end: no guess (an even split).
    const SearchGuess none = guessCrossing(MultiplierBracket{0.0, 0.1, std::nan(""), -1.0}, range,
                                           {0.1}, {-1.0}, kTolerance);
    EXPECT_EQ(none.spread, 0.0);
    // Without samples beyond the ends: the window is half the bracket.
    const SearchGuess alone =
        guessCrossing(b, range, {0.6, 0.65}, {e[2], e[3]}, kTolerance);
    EXPECT_NEAR(alone.spread, 0.025, 1e-15);
}

TEST(MultiplierSearch, TheHintCentresTheFirstPassOnTheLastMultiplier) {
    struct Case {
        const char* name;
        double hint, lo, hi;
        double at, spread;  // spread 0: no guess
    };
    const Case cases[] = {
        {"inside", 2.0, 1.0, 5.0, 0.25, 0.25},
        {"near_zero", 1e-3, 0.0, 10.0, 1e-4, 5e-5},
        {"below_the_range", 0.5, 1.0, 5.0, 0.5, 0.0},
        {"above_the_range", 6.0, 1.0, 5.0, 0.5, 0.0},
        {"none_yet", 0.0, 0.0, 5.0, 0.5, 0.0},
        {"empty_range", 1.0, 1.0, 1.0, 0.5, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SearchGuess g = hintGuess(c.hint, {c.lo, c.hi}, kTolerance);
        EXPECT_DOUBLE_EQ(g.spread, c.spread);
        EXPECT_DOUBLE_EQ(g.at, c.at);
    }
}

TEST(MultiplierSearch, NarrowingKeepsTheCrossingAndItsExcesses) {
    const std::vector<double> m = {0.1, 0.2, 0.3, 0.4};
    struct Case {
        const char* name;
        std::vector<double> excess;
        double low, high, lowExcess, highExcess;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {"inside", {3, 2, -1, -2}, 0.2, 0.3, 2, -1},
        {"zero_is_not_above", {3, 0, -1, -2}, 0.1, 0.2, 3, 0},
        {"all_above", {3, 2, 1, 0.5}, 0.4, 1.0, 0.5, nan},
        {"none_above", {-1, -2, -3, -4}, 0.0, 0.1, nan, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MultiplierBracket b;
        narrowBracket(b, m, c.excess);
        EXPECT_EQ(b.low, c.low);
        EXPECT_EQ(b.high, c.high);
        if (std::isnan(c.lowExcess)) EXPECT_TRUE(std::isnan(b.lowExcess));
        else EXPECT_EQ(b.lowExcess, c.lowExcess);
        if (std::isnan(c.highExcess)) EXPECT_TRUE(std::isnan(b.highExcess));
        else EXPECT_EQ(b.highExcess, c.highExcess);
    }
}

TEST(MultiplierSearch, FindsTheCrossingOfFallingVolumesToTheTolerance) {
    struct Case {
        const char* name;
        double crossing;
        std::function<double(double, double)> excess;  // (m, crossing)
        int passLimit;   // passes of 128 positions allowed (a CUDA device's width)
        int passLimit8;  // passes of 8 positions allowed
    };
    const Case cases[] = {
        {"linear", 0.37, [](double m, double c) { return c - m; }, 3, 5},
        {"curved", 0.61, [](double m, double c) { return std::exp(-3 * m) - std::exp(-3 * c); },
         3, 4},
        {"steep_near_zero", 2e-4,
         [](double m, double c) { return 1 / (m + 1e-3) - 1 / (c + 1e-3); }, 5, 8},
        {"kinked", 0.5003,
         [](double m, double c) {
             auto v = [](double x) { return x < 0.5 ? 2 - 2 * x : 1.5 - x; };
             return v(m) - v(c);
         },
         4, 7},
        // Few elements: the volume is a staircase, flat between its steps.
        {"staircase", 0.41, [](double m, double c) { return std::floor(300 * (c - m)) + 0.5; }, 6,
         14},
        {"crossing_at_the_top", 1.0, [](double m, double) { return 1 - m; }, 6, 13},
        {"crossing_at_the_bottom", 0.0, [](double m, double) { return -m; }, 6, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double crossing = c.crossing;
        auto excess = [&](double m) { return c.excess(m, crossing); };
        const SearchOutcome s = runSearch(excess, 128);
        EXPECT_LE(s.bracket.width(), kTolerance);
        EXPECT_LE(s.passes, c.passLimit);
        // Eight positions per pass (the host device's width): more passes, never a wider
        // bracket.
        const SearchOutcome few = runSearch(excess, 8);
        EXPECT_LE(few.bracket.width(), kTolerance);
        EXPECT_LE(few.passes, c.passLimit8);
        // The bracket holds the crossing: above at its low end (or the range's end), not above
        // at its high end.
        EXPECT_TRUE(s.bracket.low == 0.0 || excess(s.bracket.low) > 0.0);
        EXPECT_TRUE(s.bracket.high == 1.0 || !(excess(s.bracket.high) > 0.0));
        // The chosen multiplier is the bracket's middle (the range is [0, 1]).
        EXPECT_EQ(s.multiplier, 0.5 * (s.bracket.low + s.bracket.high));
        EXPECT_EQ(few.multiplier, 0.5 * (few.bracket.low + few.bracket.high));
    }
}

TEST(MultiplierSearch, AHintNearTheCrossingSavesPasses) {
    // A volume slightly curved in s on the range [0.5, 4]: from the last multiplier a third away, the
    // first pass already brackets the crossing finely; a hint outside the range changes
    // nothing.
    const MultiplierRange range{0.5, 4.0};
    auto s = [&](double m) { return 1.0 / std::sqrt(range.multiplier(m)); };
    auto curved = [&](double m) {
        const double d = s(m) - s(0.3);
        return d + 0.2 * d * d;
    };
    const double crossing = range.multiplier(0.3);
    const SearchOutcome none = runSearch(curved, 128, range);
    const SearchOutcome hinted = runSearch(curved, 128, range, 1.3 * crossing);
    const SearchOutcome outside = runSearch(curved, 128, range, 10.0);
    for (const SearchOutcome* o : {&none, &hinted, &outside}) {
        EXPECT_LE(o->bracket.width(), kTolerance);
        EXPECT_NEAR(o->multiplier, crossing, kTolerance * (range.hi - range.lo));
    }
    EXPECT_LE(hinted.passes, 3);
    EXPECT_EQ(outside.passes, none.passes);
}

TEST(MultiplierSearch, OnePositionPerPassIsTheBisection) {
    // One position per pass splits the bracket in halves: 40 halvings to the tolerance.
    auto excess = [](double m) { return 0.3 - m; };
    const SearchOutcome s = runSearch(excess, 1);
    EXPECT_EQ(s.passes, 40);
    EXPECT_LE(s.bracket.width(), kTolerance);
    EXPECT_LE(s.bracket.low, 0.3);
    EXPECT_GE(s.bracket.high, 0.3);
}

}  // namespace
