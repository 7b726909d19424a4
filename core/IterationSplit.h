#pragma once
// The split of one design iteration into its parts, in the one text every tool prints:
//
//   Split of one design iteration: <elements> elements, <device name>
//     uploads              12.3 ms
//     ...
//     total               345.6 ms
//
// One line per part: two spaces, the name padded to 20 columns (and followed by at least two
// spaces), the milliseconds with one decimal, " ms"; the last line is "total", the sum of the
// parts. Readers find a part by the "  <name>  <number> ms" shape, never by line number. A part
// that is not measured is left out, never printed as 0.

#include <string>
#include <vector>

namespace ostrel {

struct SplitPart {
    std::string name;  ///< lower case, words joined by spaces
    double seconds;
};

/// The split's lines, each ending in a line break; the parts must be disjoint.
std::string formatIterationSplit(long long elements, const std::string& deviceName,
                                 const std::vector<SplitPart>& parts);

}  // namespace ostrel
