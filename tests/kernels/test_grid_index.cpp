// The kernels' dense-grid index reaches every cell of the largest grid the hierarchy accepts
// (2047 x 2047 x 1023 points, about 4.3e9): the product is formed in 64 bits.

#include <gtest/gtest.h>

#include "kernels/CudaCompat.h"
#include "kernels/GridIndex.h"

namespace {

TEST(GridIndex, LargestGridsIndexBeyond32Bits) {
    const int3 d{2047, 2047, 1023};
    struct Point {
        int x, y, z;
    };
    for (const Point& p : {Point{0, 0, 0}, Point{2046, 0, 0}, Point{0, 2046, 0},
                           Point{5, 7, 513}, Point{1000, 1500, 700}, Point{2046, 2046, 1022}}) {
        const long long expected = (static_cast<long long>(p.z) * 2047 + p.y) * 2047 + p.x;
        EXPECT_EQ(denseGridIndex(d, p.x, p.y, p.z), expected) << p.x << " " << p.y << " " << p.z;
    }
    EXPECT_EQ(denseGridIndex(d, 2046, 2046, 1022), 2047LL * 2047 * 1023 - 1);
    EXPECT_GT(denseGridIndex(d, 0, 0, 1000), 4'000'000'000LL);
}

TEST(GridIndex, LookupOutsideTheGridIsMinusOne) {
    const int grid[2 * 3 * 4] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23};
    const int3 d{2, 3, 4};
    EXPECT_EQ(gridLookup(grid, d, 1, 2, 3), 23);
    EXPECT_EQ(gridLookup(grid, d, 1, 0, 2), 13);
    EXPECT_EQ(gridLookup(grid, d, -1, 0, 0), -1);
    EXPECT_EQ(gridLookup(grid, d, 2, 0, 0), -1);
    EXPECT_EQ(gridLookup(grid, d, 0, 3, 0), -1);
    EXPECT_EQ(gridLookup(grid, d, 0, 0, 4), -1);
    EXPECT_EQ(gridLookup(grid, d, 0, -1, 0), -1);
    EXPECT_EQ(gridLookup(grid, d, 0, 0, -1), -1);
}

}  // namespace
