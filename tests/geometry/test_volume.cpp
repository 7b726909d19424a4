#include <gtest/gtest.h>

#include "geometry/Volume.h"

namespace ostrel {
namespace {

TEST(Volume, InitSetsPlacementAndFill) {
    Volume<bool, double> v;
    EXPECT_FALSE(v.valid());
    EXPECT_EQ(v.data(), nullptr);
    v.init({2, 3, 4}, {0.5, 0.5, 0.5}, {-1, 0, 0}, false);
    EXPECT_TRUE(v.valid());
    EXPECT_EQ(v.extent(), Vec3d(1, 1.5, 2));
    EXPECT_EQ(v.offset(), Vec3d(-1, 0, 0));
    ASSERT_EQ(v.size(), 24u);
    for (size_t n = 0; n < v.size(); ++n) EXPECT_FALSE(v.data()[n]);
    EXPECT_EQ(v.index(1, 2, 3), 23u);
    EXPECT_EQ(v.index(1, 0, 0), 1u);
    EXPECT_EQ(v.index(0, 1, 0), 2u);
    EXPECT_EQ(v.index(0, 0, 1), 6u);
    v(1, 2, 3) = true;
    EXPECT_TRUE(v.data()[23]);
    EXPECT_EQ(sizeof(v.data()[0]), 1u);
}

TEST(Volume, SecondInitReplacesData) {
    Volume<double, double> v;
    v.init({2, 2, 2}, {1, 1, 1}, {0, 0, 0}, 7.0);
    v(1, 1, 1) = 3.0;
    v.init({3, 1, 1}, {2, 2, 2}, {1, 1, 1}, 0.0);
    ASSERT_EQ(v.size(), 3u);
    for (size_t n = 0; n < v.size(); ++n) EXPECT_EQ(v.data()[n], 0.0);
    EXPECT_EQ(v.extent(), Vec3d(6, 2, 2));
}

TEST(Volume, ClearThenInitIsFresh) {
    Volume<double, double> v;
    v.init({2, 2, 2}, {1, 1, 1}, {5, 5, 5}, 1.0);
    v.clear();
    EXPECT_FALSE(v.valid());
    EXPECT_EQ(v.resolution(), Vec3i(0, 0, 0));
    EXPECT_EQ(v.spacing(), Vec3d(0, 0, 0));
    EXPECT_EQ(v.offset(), Vec3d(0, 0, 0));
    EXPECT_EQ(v.data(), nullptr);
    v.init({1, 1, 1}, {1, 1, 1}, {0, 0, 0}, 2.0);
    EXPECT_EQ(v(0, 0, 0), 2.0);
}

TEST(Volume, CopyIsDeep) {
    Volume<double, double> a;
    a.init({2, 1, 1}, {1, 1, 1}, {0, 0, 0}, 1.0);
    Volume<double, double> b = a;
    b(0, 0, 0) = 5.0;
    EXPECT_EQ(a(0, 0, 0), 1.0);
    EXPECT_TRUE(a.contains(1, 0, 0));
    EXPECT_FALSE(a.contains(2, 0, 0));
    EXPECT_FALSE(a.contains(-1, 0, 0));
}

TEST(Volume, InitRefusesACellCountThatOverflows) {
    Volume<double, double> v;
    ASSERT_TRUE(v.init({2, 2, 2}, {1, 1, 1}, {0, 0, 0}, 1.0));
    // 2^30 cells per axis: 2^90 cells wrap to 0 in 64 bits; 2^21 per axis: 2^63 doubles exceed
    // the address space in bytes.
    for (int n : {1 << 30, 1 << 21}) {
        EXPECT_FALSE(v.init({n, n, n}, {1, 1, 1}, {0, 0, 0}, 1.0)) << n;
        EXPECT_FALSE(v.valid());
        EXPECT_EQ(v.resolution(), Vec3i(0, 0, 0));
        EXPECT_EQ(v.data(), nullptr);
    }
}

}  // namespace
}  // namespace ostrel
