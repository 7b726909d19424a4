#include <gtest/gtest.h>

#include <cmath>

#include "fem/FemModel.h"
#include "fem/Operators.h"
#include "FemTestUtil.h"
#include "reference/ReferenceElementMatrix.h"

namespace ostrel {
namespace {

struct KeValue {
    int row, col;
    double value;
};

void expectSevenDigits(const std::array<double, 576>& K, const std::vector<KeValue>& cases) {
    for (const auto& c : cases)
        EXPECT_NEAR(K[size_t(c.row * 24 + c.col)], c.value, std::abs(c.value) * 1e-6)
            << "Ke[" << c.row << "][" << c.col << "]";
}

TEST(ElementMatrix, UnitCubeValues) {
    expectSevenDigits(elementStiffness(1, 1, 1, kYoungsModulus, kPoissonRatio),
                      {{0, 0, 6.150949e8}, {0, 1, 2.819812e8}, {0, 3, -3.759749e8}, {0, 21, -1.537737e8}});
}

TEST(ElementMatrix, BoxOneTwoThreeValues) {
    expectSevenDigits(elementStiffness(1, 2, 3, kYoungsModulus, kPoissonRatio),
                      {{0, 0, 2.906787e9}, {0, 1, 8.459435e8}, {0, 2, 5.639624e8},
                       {0, 3, -2.647741e9}, {0, 6, 1.274054e9}, {0, 9, -1.413540e9}});
}

class ElementMatrixBoxes : public ::testing::TestWithParam<std::array<double, 3>> {};

TEST_P(ElementMatrixBoxes, ClosedFormMatchesGaussRule) {
    const auto h = GetParam();
    const auto K = elementStiffness(h[0], h[1], h[2], kYoungsModulus, kPoissonRatio);
    const auto G = elementStiffnessGauss(h[0], h[1], h[2], kYoungsModulus, kPoissonRatio);
    const double scale = std::abs(K[0]);
    for (size_t i = 0; i < 576; ++i) EXPECT_NEAR(K[i], G[i], 1e-12 * scale) << i;
}

TEST_P(ElementMatrixBoxes, SymmetricWithRigidBodyNullSpace) {
    const auto h = GetParam();
    const auto K = elementStiffness(h[0], h[1], h[2], kYoungsModulus, kPoissonRatio);
    const double scale = std::abs(K[0]);
    for (int r = 0; r < 24; ++r)
        for (int c = 0; c < 24; ++c) EXPECT_NEAR(K[size_t(r * 24 + c)], K[size_t(c * 24 + r)], 1e-12 * scale);
    // Three translations and three infinitesimal rotations about the box centre.
    for (int mode = 0; mode < 6; ++mode) {
        double u[24];
        for (int n = 0; n < 8; ++n) {
            const double p[3] = {(n & 1) * h[0] - h[0] / 2, ((n >> 1) & 1) * h[1] - h[1] / 2,
                                 (n >> 2) * h[2] - h[2] / 2};
            for (int a = 0; a < 3; ++a) u[3 * n + a] = 0;
            if (mode < 3) u[3 * n + mode] = 1;
            else {
                const int ax = mode - 3, b = (ax + 1) % 3, c = (ax + 2) % 3;
                u[3 * n + b] = -p[c];
                u[3 * n + c] = p[b];
            }
        }
        for (int r = 0; r < 24; ++r) {
            double f = 0;
            for (int c = 0; c < 24; ++c) f += K[size_t(r * 24 + c)] * u[c];
            EXPECT_NEAR(f, 0.0, 1e-9 * scale) << "mode " << mode << " row " << r;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Boxes, ElementMatrixBoxes,
                         ::testing::Values(std::array<double, 3>{1, 1, 1}, std::array<double, 3>{1, 2, 3},
                                           std::array<double, 3>{0.01, 0.02, 0.005}));

}  // namespace
}  // namespace ostrel
