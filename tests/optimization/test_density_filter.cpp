#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "OptimizationTestSupport.h"
#include "optimization/DensityFilter.h"
#include "reference/ReferenceFilter.h"

using namespace ostrel;
using namespace ostrel::testing;

namespace {

const double kR = 2.0 * std::sqrt(3.0);

double projectOne(float v, double beta, double eta) {
    float out = 0;
    ReferenceFilter::project(&v, &out, 1, beta, eta);
    return out;
}

double projectOneInDouble(double v, double beta, double eta) {
    return (std::tanh(beta * eta) + std::tanh(beta * (v - eta))) /
           (std::tanh(beta * eta) + std::tanh(beta * (1 - eta)));
}

struct ShapeCase {
    const char* name;
    int nx, ny, nz;
    bool (*occupied)(int, int, int);
};

bool solid(int, int, int) { return true; }
bool holes(int x, int y, int z) { return (x * 7 + y * 3 + z * 5) % 4 != 0; }
bool frame(int x, int y, int z) { return x == 0 || y == 0 || z == 0 || (x + z) % 3 == 0; }

class FilterOnShapes : public ::testing::TestWithParam<ShapeCase> {
protected:
    void SetUp() override {
        const auto& c = GetParam();
        model_ = makeModel(c.nx, c.ny, c.nz, c.occupied);
        filter_ = std::make_unique<ReferenceFilter>(*model_);
        filter_->computeWeightSums(W_);
        n_ = size_t(model_->numElements(0));
    }
    std::unique_ptr<FemModel> model_;
    std::unique_ptr<ReferenceFilter> filter_;
    std::vector<double> W_;
    size_t n_ = 0;
};

}  // namespace

TEST(DensityFilterWeights, TableValues) {
    EXPECT_DOUBLE_EQ(DensityFilter::kRadius, kR);
    EXPECT_DOUBLE_EQ(DensityFilter::weight(0, 0, 0), kR);
    EXPECT_DOUBLE_EQ(DensityFilter::weight(1, 0, 0), kR - 1.0);
    EXPECT_DOUBLE_EQ(DensityFilter::weight(0, -2, 0), kR - 2.0);
    EXPECT_DOUBLE_EQ(DensityFilter::weight(1, 1, 1), kR - std::sqrt(3.0));
    EXPECT_DOUBLE_EQ(DensityFilter::weight(2, 2, 1), kR - 3.0);
    // The eight corners of the box lie exactly on the radius.
    for (int sx : {-2, 2})
        for (int sy : {-2, 2})
            for (int sz : {-2, 2}) EXPECT_EQ(DensityFilter::weight(sx, sy, sz), 0.0);
    for (int dz = -2; dz <= 2; ++dz)
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx) {
                EXPECT_EQ(DensityFilter::weight(dx, dy, dz), DensityFilter::weight(-dx, dy, dz));
                EXPECT_EQ(DensityFilter::weight(dx, dy, dz), DensityFilter::weight(dz, dx, dy));
            }
}

TEST(Projection, KnownValues) {
    EXPECT_NEAR(projectOne(0.36f, 1.0, 0.5), 0.3495052, 5e-8);
    for (double beta : {1.0, 1.6, 7.3, 80.0, 109.95}) {
        EXPECT_FLOAT_EQ(float(projectOne(0.5f, beta, 0.5)), 0.5f) << beta;
        EXPECT_NEAR(projectOne(0.0f, beta, 0.5), 0.0, 1e-7) << beta;
        EXPECT_NEAR(projectOne(1.0f, beta, 0.5), 1.0, 1e-7) << beta;
    }
    // A large beta approaches a step at eta.
    EXPECT_LT(projectOne(0.45f, 200.0, 0.5), 1e-3);
    EXPECT_GT(projectOne(0.55f, 200.0, 0.5), 1.0 - 1e-3);
}

TEST(Projection, DerivativeMatchesDifferenceQuotient) {
    for (double beta : {1.0, 2.56, 10.0})
        for (double eta : {0.5, 0.3})
            for (float v : {0.001f, 0.2f, 0.36f, 0.5f, 0.77f, 1.0f}) {
                double d = 0;
                ReferenceFilter::projectDerivative(&v, &d, 1, beta, eta);
                const double h = 1e-6;
                const double fd = (projectOneInDouble(double(v) + h, beta, eta) -
                                   projectOneInDouble(double(v) - h, beta, eta)) /
                                  (2 * h);
                EXPECT_NEAR(d, fd, 1e-6 * std::max(1.0, std::fabs(fd)))
                    << "beta " << beta << " eta " << eta << " v " << v;
            }
}

TEST(DensityFilterSums, IsolatedElementKeepsItsValue) {
    // Elements three cells apart on every axis see nothing of each other.
    auto m = makeModel(7, 7, 7, [](int x, int y, int z) {
        return (x == 0 && y == 0 && z == 0) || (x == 3 && y == 3 && z == 3) ||
               (x == 6 && y == 0 && z == 3);
    });
    ReferenceFilter f(*m);
    std::vector<double> W;
    f.computeWeightSums(W);
    ASSERT_EQ(W.size(), 3u);
    std::vector<float> in = {0.25f, 0.75f, 0.001f}, out(3);
    f.filter(in.data(), out.data(), W.data());
    for (size_t e = 0; e < 3; ++e) {
        EXPECT_DOUBLE_EQ(W[e], kR);
        EXPECT_EQ(out[e], in[e]);
    }
}

TEST(DensityFilterSums, CornerOffsetNeighbourChangesNothing) {
    auto m = makeModel(3, 3, 3, [](int x, int y, int z) {
        return (x == 0 && y == 0 && z == 0) || (x == 2 && y == 2 && z == 2);
    });
    ReferenceFilter f(*m);
    std::vector<double> W;
    f.computeWeightSums(W);
    std::vector<float> in = {0.1f, 0.9f}, out(2);
    f.filter(in.data(), out.data(), W.data());
    EXPECT_DOUBLE_EQ(W[0], kR);
    EXPECT_DOUBLE_EQ(W[1], kR);
    EXPECT_EQ(out[0], 0.1f);
    EXPECT_EQ(out[1], 0.9f);
}

TEST(DensityFilterSums, FaceElementsUseTheClippedBox) {
    auto m = makeBox(5, 5, 5);
    ReferenceFilter f(*m);
    std::vector<double> W;
    f.computeWeightSums(W);
    auto boxSum = [](int x0, int x1, int y0, int y1, int z0, int z1) {
        double s = 0;
        for (int dz = z0; dz <= z1; ++dz)
            for (int dy = y0; dy <= y1; ++dy)
                for (int dx = x0; dx <= x1; ++dx) s += DensityFilter::weight(dx, dy, dz);
        return s;
    };
    const double inner = W[size_t(m->elementAt(0, {2, 2, 2}))];
    const double face = W[size_t(m->elementAt(0, {0, 2, 2}))];
    const double edge = W[size_t(m->elementAt(0, {0, 0, 2}))];
    const double corner = W[size_t(m->elementAt(0, {0, 0, 0}))];
    EXPECT_NEAR(inner, boxSum(-2, 2, -2, 2, -2, 2), 1e-12);
    EXPECT_NEAR(face, boxSum(0, 2, -2, 2, -2, 2), 1e-12);
    EXPECT_NEAR(edge, boxSum(0, 2, 0, 2, -2, 2), 1e-12);
    EXPECT_NEAR(corner, boxSum(0, 2, 0, 2, 0, 2), 1e-12);
    EXPECT_LT(face, inner);
    EXPECT_LT(edge, face);
    EXPECT_LT(corner, edge);
    for (double w : W) EXPECT_GE(w, kR);
}

TEST_P(FilterOnShapes, WeightSumsMatchTheClippedNeighbourhood) {
    std::vector<int> ones(n_, 1);
    for (size_t e = 0; e < n_; ++e)
        EXPECT_NEAR(W_[e], referenceNeighbourSum(*model_, int(e), ones), 1e-12) << e;
}

TEST_P(FilterOnShapes, MatchesThePlainFilterOnRandomFields) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> dist(0.001f, 1.0f);
    std::vector<float> in(n_), out(n_);
    for (auto& v : in) v = dist(rng);
    filter_->filter(in.data(), out.data(), W_.data());
    for (size_t e = 0; e < n_; ++e)
        EXPECT_EQ(out[e], float(referenceNeighbourSum(*model_, int(e), in) / W_[e])) << e;
}

TEST_P(FilterOnShapes, ConstantFieldUnchanged) {
    for (float c : {0.36f, 1.0f, 0.001f}) {
        std::vector<float> in(n_, c), out(n_);
        filter_->filter(in.data(), out.data(), W_.data());
        for (size_t e = 0; e < n_; ++e) EXPECT_FLOAT_EQ(out[e], c) << e;
    }
}

TEST_P(FilterOnShapes, TransposeRelationOnRandomFields) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (int trial = 0; trial < 3; ++trial) {
        std::vector<float> x(n_), fx(n_);
        std::vector<double> y(n_), fty(n_);
        for (auto& v : x) v = float(dist(rng));
        for (auto& v : y) v = dist(rng);
        filter_->filter(x.data(), fx.data(), W_.data());
        filter_->filterTranspose(y.data(), fty.data(), W_.data());
        double lhs = 0, rhs = 0, scale = 0;
        for (size_t e = 0; e < n_; ++e) {
            lhs += double(fx[e]) * y[e];
            rhs += double(x[e]) * fty[e];
            scale += std::fabs(double(fx[e]) * y[e]);
        }
        EXPECT_NEAR(lhs, rhs, 1e-6 * scale);

        // The paired gather of the sensitivity step is the same transpose without the division.
        std::vector<double> a(n_), b(n_), ga(n_), gb(n_);
        for (size_t e = 0; e < n_; ++e) {
            a[e] = y[e] / W_[e];
            b[e] = 2.0 * y[e] / W_[e];
        }
        filter_->gatherPair(a.data(), b.data(), ga.data(), gb.data());
        for (size_t e = 0; e < n_; ++e) {
            EXPECT_NEAR(ga[e], fty[e], 1e-14) << e;
            EXPECT_NEAR(gb[e], 2.0 * fty[e], 1e-14) << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FilterOnShapes,
                         ::testing::Values(ShapeCase{"solid", 6, 5, 4, solid},
                                           ShapeCase{"holes", 9, 7, 6, holes},
                                           ShapeCase{"frame", 8, 3, 9, frame},
                                           ShapeCase{"thin_plate", 11, 1, 7, solid}),
                         [](const auto& info) { return std::string(info.param.name); });
