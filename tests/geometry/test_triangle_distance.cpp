// The closest point of a triangle: against the nearest of a dense set of samples of the
// triangle, for points over each corner, edge and the face, and for degenerate triangles.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geometry/TriangleDistance.h"

namespace {

using namespace ostrel;

/// Distance to the nearest of (n + 1)(n + 2)/2 points spread over the triangle.
double sampledDistance(const Vec3d& p, const Vec3d& a, const Vec3d& b, const Vec3d& c, int n) {
    double best = 1e300;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; i + j <= n; ++j) {
            const double u = double(i) / n, v = double(j) / n;
            best = std::min(best, length(a + (b - a) * u + (c - a) * v - p));
        }
    return best;
}

TEST(TriangleDistance, AgreesWithDenseSamplesAndLiesOnTheTriangle) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> coordinate(-1, 1);
    const auto point = [&] { return Vec3d(coordinate(random), coordinate(random), coordinate(random)); };
    const int n = 400;
    for (int trial = 0; trial < 200; ++trial) {
        const Vec3d a = point(), b = point(), c = point(), p = point() * 2.0;
        const Vec3d q = closestPointOnTriangle(p, a, b, c);
        const double exact = length(q - p), sampled = sampledDistance(p, a, b, c, n);
        // The samples lie on the triangle, so none is nearer; the nearest is at most one
        // sample spacing (the longest edge / n) farther.
        const double longest = std::max({length(b - a), length(c - a), length(c - b)});
        EXPECT_LE(exact, sampled + 1e-12) << trial;
        EXPECT_GE(exact + longest / n * 1.5, sampled) << trial;
        // q is on the triangle: its barycentric coordinates are in [0, 1].
        const Vec3d nrm = cross(b - a, c - a);
        const double area = dot(nrm, nrm);
        const double u = dot(cross(q - a, c - a), nrm) / area, v = dot(cross(b - a, q - a), nrm) / area;
        EXPECT_GE(u, -1e-9) << trial;
        EXPECT_GE(v, -1e-9) << trial;
        EXPECT_LE(u + v, 1 + 1e-9) << trial;
    }
}

TEST(TriangleDistance, RegionsAndDegenerateTriangles) {
    const Vec3d a(0, 0, 0), b(1, 0, 0), c(0, 1, 0);
    const struct {
        const char* what;
        Vec3d p, expected;
    } cases[] = {{"over the face", {0.2, 0.3, 5}, {0.2, 0.3, 0}},
                 {"beyond corner a", {-1, -2, 1}, a},
                 {"beyond corner b", {3, -0.5, 0}, b},
                 {"beyond corner c", {-0.1, 4, 2}, c},
                 {"beside edge ab", {0.4, -3, 1}, {0.4, 0, 0}},
                 {"beside edge ac", {-2, 0.7, 0}, {0, 0.7, 0}},
                 {"beside edge bc", {1, 1, 0}, {0.5, 0.5, 0}}};
    for (const auto& k : cases) {
        const Vec3d q = closestPointOnTriangle(k.p, a, b, c);
        EXPECT_NEAR(length(q - k.expected), 0, 1e-12) << k.what;
    }
    // A triangle of three points on one line and one of a single point answer finite points
    // on them.
    const Vec3d onLine = closestPointOnTriangle({0.5, 1, 0}, a, b, Vec3d(2, 0, 0));
    EXPECT_NEAR(length(onLine - Vec3d(0.5, 0, 0)), 0, 1e-12);
    const Vec3d single = closestPointOnTriangle({3, 4, 0}, b, b, b);
    EXPECT_NEAR(length(single - b), 0, 1e-12);
}

}  // namespace
