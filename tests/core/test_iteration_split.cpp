// The split of one design iteration: its exact lines, the total as the sum of the parts, and at
// least two spaces between a long part name and its number.

#include <gtest/gtest.h>

#include "core/IterationSplit.h"

namespace ostrel {
namespace {

struct SplitCase {
    const char* name;
    std::vector<SplitPart> parts;
    const char* text;
};

TEST(IterationSplit, Lines) {
    const SplitCase cases[] = {
        {"format_example",
         {{"uploads", 0.0123}, {"assembly", 0.0456}},
         "Split of one design iteration: 1000000 elements, Host CPU (2 threads)\n"
         "  uploads              12.3 ms\n"
         "  assembly             45.6 ms\n"
         "  total                57.9 ms\n"},
        {"rounding_and_large_values",
         {{"cycles", 12.18349}, {"copies", 0.00004}},
         "Split of one design iteration: 1000000 elements, Host CPU (2 threads)\n"
         "  cycles              12183.5 ms\n"
         "  copies                0.0 ms\n"
         "  total               12183.5 ms\n"},
        {"long_names_keep_two_spaces",
         {{"coarse solves (host)", 0.001}, {"a part of twenty-two", 1234.5}},
         "Split of one design iteration: 1000000 elements, Host CPU (2 threads)\n"
         "  coarse solves (host)    1.0 ms\n"
         "  a part of twenty-two  1234500.0 ms\n"
         "  total               1234501.0 ms\n"},
        {"no_parts",
         {},
         "Split of one design iteration: 1000000 elements, Host CPU (2 threads)\n"
         "  total                 0.0 ms\n"},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(formatIterationSplit(1000000, "Host CPU (2 threads)", c.parts), c.text) << c.name;
}

}  // namespace
}  // namespace ostrel
