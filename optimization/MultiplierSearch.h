#pragma once
// The bracket of the optimality-criteria multiplier search when a pass evaluates many
// multipliers at once. Positions are fractions m in [0, 1] of the search range (the multiplier
// is lo + m * (hi - lo)); the excess of a position is its candidates' volume minus the limit. The
// volume falls as the multiplier grows, so the bracket holds the crossing: a positive excess at
// `low` (or low = 0, not evaluated) and none at `high` (or high = 1, not evaluated).
//
// A pass places its positions with searchPositions and narrows the bracket with narrowBracket
// to the two neighbouring positions around the crossing. Without both excesses (the first pass)
// the positions split the bracket evenly; with them they crowd geometrically around the
// crossing that the straight line through the two ends predicts, on both sides, from a quarter
// of the tolerance out to nearly the bracket's width: a smooth volume is then found to the
// tolerance in two or three passes after the first, and every pass narrows the bracket at
// least by the ratio of its outermost spacing, whatever the volume does.

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

/// Up to `count` distinct positions strictly inside the bracket, in increasing order (see above;
/// `tolerance` > 0 is the width the search stops at).
std::vector<double> searchPositions(const MultiplierBracket& bracket, int count,
                                    double tolerance);

/// The bracket between the last position with a positive excess and the first without (or the
/// bracket's own ends), with their excesses. `positions` increasing, one excess each.
void narrowBracket(MultiplierBracket& bracket, const std::vector<double>& positions,
                   const std::vector<double>& excess);

}  // namespace ostrel
