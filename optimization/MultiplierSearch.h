#pragma once
// The bracket of the optimality-criteria multiplier search when a pass evaluates many
// multipliers at once. Positions are fractions m in [0, 1] of the search range (the multiplier
// is lo + m * (hi - lo)); the excess of a position is its candidates' volume minus the limit. The
// volume falls as the multiplier grows, so the bracket holds the crossing: a positive excess at
// `low` (or low = 0, not evaluated) and none at `high` (or high = 1, not evaluated).
//
// A pass places its positions with searchPositions and narrows the bracket with narrowBracket
// to the two neighbouring positions around the crossing. A pass's positions surround a guess of
// the crossing: an even window of half-width `spread` around it and, outside that window,
// positions spaced geometrically out to the bracket's ends, so that a guess that misses still
// narrows the bracket by the ratio of the outermost spacings. Without a guess (the first pass
// without a hint) the positions split the bracket evenly.
//
// The guess (SearchGuess, from guessCrossing) interpolates the crossing linearly between the
// bracket's ends in s = 1 / sqrt(multiplier): a candidate design is a * s limited to its move
// and bounds, so the volume is piecewise linear in s with a kink wherever an element reaches a
// limit, and at a million elements only float roundings (a staircase of tiny steps) remain
// between the samples of the last passes. The spread is twice how far the secants through the
// neighbouring samples (one beyond each end) put the crossing from that guess, at least a
// quarter of the tolerance: smooth volumes are found in two or three passes after the first.
// A hint (the last iteration's multiplier, which moves by up to a third or so from one
// iteration to the next) takes the first pass's place of the even split.

#include <functional>
#include <limits>
#include <vector>

namespace ostrel {

struct MultiplierBracket {
    double low = 0.0, high = 1.0;
    /// Excess at low and at high; NaN where the position was not evaluated.
    double lowExcess = std::numeric_limits<double>::quiet_NaN();
    double highExcess = std::numeric_limits<double>::quiet_NaN();

    double width() const { return high - low; }
};

/// The guess of a pass: where the crossing is expected (a fraction inside the bracket) and the
/// half-width of the window that the positions split evenly around it. No guess: spread <= 0.
struct SearchGuess {
    double at = 0.5;
    double spread = 0.0;
};

/// The map of fractions to multipliers, lo + m * (hi - lo), and to the interpolation variable
/// s = 1 / sqrt(multiplier) (the fraction itself where a multiplier is not positive).
struct MultiplierRange {
    double lo = 0.0, hi = 1.0;

    double multiplier(double m) const { return lo + m * (hi - lo); }
};

/// Up to `count` distinct positions strictly inside the bracket, in increasing order (see above;
/// `tolerance` > 0 is the width the search stops at).
std::vector<double> searchPositions(const MultiplierBracket& bracket, int count,
                                    double tolerance, const SearchGuess& guess = {});

/// The bracket between the last position with a positive excess and the first without (or the
/// bracket's own ends), with their excesses. `positions` increasing, one excess each.
void narrowBracket(MultiplierBracket& bracket, const std::vector<double>& positions,
                   const std::vector<double>& excess);

/// The next pass's guess after a pass of `positions` (increasing) with their excesses has
/// narrowed `bracket` (see above); no guess where an end of the bracket has no excess.
SearchGuess guessCrossing(const MultiplierBracket& bracket, const MultiplierRange& range,
                          const std::vector<double>& positions, const std::vector<double>& excess,
                          double tolerance);

/// The first pass's guess from the last iteration's multiplier `hint`: the window reaches half
/// the hint to either side. No guess where the hint lies outside the range or is not
/// positive.
SearchGuess hintGuess(double hint, const MultiplierRange& range, double tolerance);

/// Excesses of the multipliers of one pass: excess[k] for multipliers[k] (sized by the caller).
using ExcessOfPass =
    std::function<void(const std::vector<double>& multipliers, std::vector<double>& excess)>;

struct SearchOutcome {
    MultiplierBracket bracket;  ///< the last bracket, at most `tolerance` wide when complete
    int passes = 0;             ///< passes evaluated: each one read-back of volumes on a device
    double multiplier = 0.0;    ///< the multiplier of the bracket's middle, the one chosen
};

/// The whole search on `range`: passes of up to `width` (>= 1) positions, the first around
/// `hint` (hintGuess; 0: none), the others around guessCrossing of every sample so far, until
/// the bracket is at most `tolerance` wide or no double is left inside it.
SearchOutcome searchCrossing(const MultiplierRange& range, int width, double tolerance,
                             double hint, const ExcessOfPass& excessOf);

}  // namespace ostrel
