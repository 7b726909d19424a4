// The bracket of the many-candidate multiplier search (optimization/MultiplierSearch.h): the
// positions of a pass lie strictly inside the bracket in increasing order, the narrowed bracket
// keeps the crossing of any falling volume, and passes of 64 positions find the crossing of a
// smooth volume to the tolerance in at most four passes and of a staircase (few elements) in a
// bounded number.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "optimization/MultiplierSearch.h"

using namespace ostrel;

namespace {

constexpr double kTolerance = 1e-12;

struct Search {
    MultiplierBracket bracket;
    int passes = 0;
};

/// Passes of `count` positions until the bracket is within the tolerance; excess(m) falls.
Search runSearch(const std::function<double(double)>& excess, int count, int passLimit = 60) {
    Search s;
    while (s.bracket.width() > kTolerance && s.passes < passLimit) {
        const std::vector<double> m = searchPositions(s.bracket, count, kTolerance);
        if (m.empty()) break;
        std::vector<double> e(m.size());
        for (size_t k = 0; k < m.size(); ++k) e[k] = excess(m[k]);
        narrowBracket(s.bracket, m, e);
        ++s.passes;
    }
    return s;
}

void expectInsideAndIncreasing(const MultiplierBracket& b, const std::vector<double>& m) {
    for (size_t k = 0; k < m.size(); ++k) {
        EXPECT_GT(m[k], b.low) << k;
        EXPECT_LT(m[k], b.high) << k;
        if (k > 0) EXPECT_GT(m[k], m[k - 1]) << k;
    }
}

TEST(MultiplierSearch, TheFirstPassSplitsTheRangeEvenly) {
    const MultiplierBracket b;
    const std::vector<double> m = searchPositions(b, 63, kTolerance);
    ASSERT_EQ(m.size(), 63u);
    for (size_t k = 0; k < m.size(); ++k) EXPECT_DOUBLE_EQ(m[k], double(k + 1) / 64.0);
}

TEST(MultiplierSearch, LaterPassesCrowdAroundTheLinesCrossingInsideTheBracket) {
    struct Case {
        const char* name;
        double low, high, lowExcess, highExcess;
    };
    const Case cases[] = {
        {"middle", 0.25, 0.5, 1.0, -1.0},
        {"near_low", 0.25, 0.5, 1e-9, -1.0},
        {"at_high", 0.25, 0.5, 1.0, 0.0},
        {"narrow", 0.3, 0.3 + 4e-12, 2.0, -1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MultiplierBracket b{c.low, c.high, c.lowExcess, c.highExcess};
        const std::vector<double> m = searchPositions(b, 64, kTolerance);
        ASSERT_FALSE(m.empty());
        EXPECT_LE(m.size(), 64u);
        expectInsideAndIncreasing(b, m);
        // A position within a quarter of the tolerance of the predicted crossing, when that
        // lies inside.
        const double guess = c.low + (c.high - c.low) * c.lowExcess / (c.lowExcess - c.highExcess);
        if (guess > c.low && guess < c.high) {
            double nearest = 1.0;
            for (double x : m) nearest = std::min(nearest, std::fabs(x - guess));
            EXPECT_LE(nearest, 0.25 * kTolerance);
        }
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
        int passLimit;   // passes of 64 positions allowed
        int passLimit8;  // passes of 8 positions allowed
    };
    const Case cases[] = {
        {"linear", 0.37, [](double m, double c) { return c - m; }, 3, 8},
        {"curved", 0.61, [](double m, double c) { return std::exp(-3 * m) - std::exp(-3 * c); },
         4, 8},
        {"steep_near_zero", 2e-4,
         [](double m, double c) { return 1 / (m + 1e-3) - 1 / (c + 1e-3); }, 5, 9},
        {"kinked", 0.5003,
         [](double m, double c) {
             auto v = [](double x) { return x < 0.5 ? 2 - 2 * x : 1.5 - x; };
             return v(m) - v(c);
         },
         4, 10},
        // Few elements: the volume is a staircase, flat between its steps.
        {"staircase", 0.41, [](double m, double c) { return std::floor(300 * (c - m)) + 0.5; }, 8,
         13},
        {"crossing_at_the_top", 1.0, [](double m, double) { return 1 - m; }, 7, 13},
        {"crossing_at_the_bottom", 0.0, [](double m, double) { return -m; }, 7, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double crossing = c.crossing;
        auto excess = [&](double m) { return c.excess(m, crossing); };
        const Search s = runSearch(excess, 64);
        EXPECT_LE(s.bracket.width(), kTolerance);
        EXPECT_LE(s.passes, c.passLimit);
        // Eight positions per pass (the host device's width): more passes, never a wider
        // bracket.
        const Search few = runSearch(excess, 8);
        EXPECT_LE(few.bracket.width(), kTolerance);
        EXPECT_LE(few.passes, c.passLimit8);
        // The bracket holds the crossing: above at its low end (or the range's end), not above
        // at its high end.
        EXPECT_TRUE(s.bracket.low == 0.0 || excess(s.bracket.low) > 0.0);
        EXPECT_TRUE(s.bracket.high == 1.0 || !(excess(s.bracket.high) > 0.0));
    }
}

TEST(MultiplierSearch, OnePositionPerPassIsTheBisection) {
    // One position per pass splits the bracket in halves: 40 halvings to the tolerance.
    auto excess = [](double m) { return 0.3 - m; };
    const Search s = runSearch(excess, 1);
    EXPECT_EQ(s.passes, 40);
    EXPECT_LE(s.bracket.width(), kTolerance);
    EXPECT_LE(s.bracket.low, 0.3);
    EXPECT_GE(s.bracket.high, 0.3);
}

}  // namespace
