// The design controls of the optimizer: filter radius (weights and sums against a direct
// computation; the default radius is the default filter), volume fraction (every iteration meets
// its target, the run ends at the goal), keep-solid and keep-empty boxes (held in every
// iteration, outside the volume), and projection mode 1 (sensitivities against central
// differences of the compliance, densities equal to the projected filtered design).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "OptimizationTestSupport.h"
#include "gpu/HostDriver.h"
#include "gpu/MultigridSolver.h"
#include "optimization/Optimizer.h"
#include "reference/ReferenceFilter.h"
#include "reference/ReferenceOptimizer.h"
#include "support/ScratchFolder.h"
#include "tools/Cantilever.h"

using namespace ostrel;
using namespace ostrel::testing;
namespace fs = std::filesystem;

namespace {

/// Neighbour sum of `in` around element e for the radius r, written the plain way: every offset
/// of the box -ceil(r)..ceil(r) closer than r, element look-ups, weights from the formula.
double ballNeighbourSum(const FemModel& m, int e, const std::vector<double>& in, double r) {
    const GridPos p = unpack(m.elementPosition(0)[size_t(e)]);
    const int h = int(std::ceil(r));
    double sum = 0.0;
    for (int dz = -h; dz <= h; ++dz)
        for (int dy = -h; dy <= h; ++dy)
            for (int dx = -h; dx <= h; ++dx) {
                const double d = std::sqrt(double(dx * dx + dy * dy + dz * dz));
                if (!(d < r))
                    continue;
                const int j = m.elementAt(0, {p.x + dx, p.y + dy, p.z + dz});
                if (j >= 0)
                    sum += (r - d) * in[size_t(j)];
            }
    return sum;
}

double projected(double v, double beta, double eta) {
    return (std::tanh(beta * eta) + std::tanh(beta * (v - eta))) /
           (std::tanh(beta * eta) + std::tanh(beta * (1 - eta)));
}

/// An L-shaped model with holes, so that clipped and gapped neighbourhoods occur.
std::unique_ptr<FemModel> makeGappedModel() {
    return makeModel(12, 9, 8, [](int x, int y, int z) {
        if (x > 6 && y > 4)
            return false;                         // the L
        return !((x + 2 * y + 3 * z) % 11 == 0);  // scattered holes
    });
}

/// The run control's step on the host device, for a cantilever of nx x ny x nz voxels of 0.01.
struct HostRun {
    std::unique_ptr<FemModel> model;
    OptimizationLifetime lifetime;
    std::wostringstream wide;
    std::ostringstream narrow;
    ReferenceOptimizer opt;
    std::unique_ptr<MultigridSolver> fem;
    int iteration = 0;

    HostRun(int nx, int ny, int nz, const fs::path& dir, const DesignControls& controls)
        : model(makeCantilever(nx, ny, nz, 0.01, 3)), opt(*model, lifetime, dir) {
        opt.setLogs(&wide, &narrow);
        opt.setControls(controls);
        fem = std::make_unique<MultigridSolver>(*model, DeviceOptions{true, 2},
                                        std::make_unique<HostDriver>(2));
        fem->setLogs(nullptr, nullptr);
        fem->setCycleCountSink(&opt.history().cycleSink());
        fem->setup();
    }
    ~HostRun() { fem->release(); }

    void step() {
        if (iteration == 0) {
            fem->computeLoad();
            opt.reset();
            opt.updateStiffness();
        }
        fem->prepareSolve();
        fem->solve(0.01);
        opt.evaluateEnergies();
        opt.iterate(iteration);
        opt.updateStiffness();
        ++iteration;
    }
};

}  // namespace

// ---- filter radius ----

TEST(FilterRadius, WeightsAndSumsAgainstADirectComputation) {
    auto m = makeGappedModel();
    const size_t n = size_t(m->numElements(0));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> in(n);
    for (float& v : in)
        v = value(random);
    const std::vector<double> ones(n, 1.0);
    std::vector<double> inD(in.begin(), in.end());

    const struct {
        double radius;
        int taps;
    } cases[] = {{1.5, 19}, {5.0, 485}, {1.0, 1}, {2.0, 27}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.radius);
        ReferenceFilter filter(*m, c.radius);
        EXPECT_EQ(filter.numTaps(), c.taps);
        EXPECT_EQ(DensityFilter::weight(c.radius, 1, 1, 0),
                  std::max(0.0, c.radius - std::sqrt(2.0)));
        std::vector<double> W;
        filter.computeWeightSums(W);
        std::vector<float> out(n);
        filter.filter(in.data(), out.data(), W.data());
        for (size_t e = 0; e < n; ++e) {
            const double sum = ballNeighbourSum(*m, int(e), ones, c.radius);
            ASSERT_NEAR(W[e], sum, 1e-12 * sum) << e;
            ASSERT_NEAR(out[e], ballNeighbourSum(*m, int(e), inD, c.radius) / sum, 2e-7) << e;
        }
        // The transpose: <filter(x), y> = <x, filterTranspose(y)>.
        std::vector<double> y(n), ty(n);
        for (double& v : y)
            v = value(random);
        filter.filterTranspose(y.data(), ty.data(), W.data());
        double left = 0, right = 0;
        for (size_t e = 0; e < n; ++e) {
            left += double(out[e]) * y[e];
            right += inD[e] * ty[e];
        }
        EXPECT_NEAR(left, right, 1e-6 * std::fabs(left));
    }
}

TEST(FilterRadius, TwoSqrtThreeIsTheDefaultFilter) {
    auto m = makeGappedModel();
    const size_t n = size_t(m->numElements(0));
    std::vector<float> in(n);
    for (size_t e = 0; e < n; ++e)
        in[e] = float((e * 37) % 101) / 100.0f;
    ReferenceFilter standard(*m);
    std::vector<double> W0;
    standard.computeWeightSums(W0);
    std::vector<float> out0(n);
    standard.filter(in.data(), out0.data(), W0.data());
    EXPECT_EQ(standard.numTaps(), 117);
    // Offsets such as (3,0,0) lie closer than 2*sqrt(3) but outside the default box.
    EXPECT_EQ(DensityFilter::weight(2.0 * std::sqrt(3.0), 3, 0, 0), 0.0);
    EXPECT_GT(DensityFilter::weight(3.47, 3, 0, 0), 0.0);
    for (double radius : {2.0 * std::sqrt(3.0), DesignControls::kDefaultFilterRadius, 3.4641016}) {
        ReferenceFilter filter(*m, radius);
        EXPECT_EQ(filter.numTaps(), 117);
        EXPECT_EQ(filter.radius(), DensityFilter::kRadius);
        std::vector<double> W;
        filter.computeWeightSums(W);
        std::vector<float> out(n);
        filter.filter(in.data(), out.data(), W.data());
        EXPECT_EQ(W, W0);
        EXPECT_EQ(out, out0);
    }
}

TEST(FilterFaces, VoidBeyondFacesAgainstThePlainPaddedSums) {
    auto m = makeGappedModel();
    const size_t n = size_t(m->numElements(0));
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(0.001f, 1.0f);
    std::vector<float> in(n);
    for (float& v : in)
        v = value(random);
    for (double radius : {1.5, DesignControls::kDefaultFilterRadius, 4.0}) {
        SCOPED_TRACE(radius);
        ReferenceFilter filter(*m, radius, DensityFilter::FaceRule::VoidBeyondFaces, 0.001);
        std::vector<double> W;
        filter.computeWeightSums(W);
        std::vector<float> out(n);
        filter.filter(in.data(), out.data(), W.data());
        int atFaces = 0;
        for (size_t e = 0; e < n; ++e) {
            const NeighbourSums s = referenceFilterSums(*m, int(e), in, radius, true);
            const NeighbourSums clipped = referenceFilterSums(*m, int(e), in, radius, false);
            ASSERT_NEAR(W[e], s.weights, 1e-12 * s.weights) << e;
            ASSERT_NEAR(filter.padSums()[e], s.weights - clipped.weights, 1e-12 * s.weights);
            ASSERT_NEAR(out[e], s.filtered(), 2e-7) << e;
            atFaces += filter.padSums()[e] > 0.0;
        }
        EXPECT_GT(atFaces, int(n) / 2);
        // A constant field at the void density stays as it is, also at the faces.
        const std::vector<float> voidField(n, 0.001f);
        filter.filter(voidField.data(), out.data(), W.data());
        for (size_t e = 0; e < n; ++e)
            ASSERT_NEAR(out[e], 0.001f, 1e-9) << e;
    }
}

TEST(FilterFaces, VoidOutsideTheModelAgainstThePlainPaddedSums) {
    // Every offset of the neighbourhood that holds no element, beyond the faces or in a hole
    // of the object, is void: the weights, pad sums and filtered values against a plain sum
    // over the offsets, and a member along a hole's wall is filtered like one along a face.
    auto m = makeGappedModel();
    const size_t n = size_t(m->numElements(0));
    std::mt19937 random(12);
    std::uniform_real_distribution<float> value(0.001f, 1.0f);
    std::vector<float> in(n);
    for (float& v : in) v = value(random);
    for (double radius : {1.5, DesignControls::kDefaultFilterRadius, 4.0}) {
        SCOPED_TRACE(radius);
        ReferenceFilter filter(*m, radius, DensityFilter::FaceRule::VoidOutsideModel, 0.001);
        std::vector<double> W;
        filter.computeWeightSums(W);
        std::vector<float> out(n);
        filter.filter(in.data(), out.data(), W.data());
        int byHoles = 0;
        for (size_t e = 0; e < n; ++e) {
            const NeighbourSums s = referenceFilterSums(*m, int(e), in, radius, true, 0.001, true);
            const NeighbourSums faces = referenceFilterSums(*m, int(e), in, radius, true);
            const NeighbourSums clipped = referenceFilterSums(*m, int(e), in, radius, false);
            ASSERT_NEAR(W[e], s.weights, 1e-12 * s.weights) << e;
            ASSERT_NEAR(filter.padSums()[e], s.weights - clipped.weights, 1e-12 * s.weights);
            ASSERT_NEAR(out[e], s.filtered(), 2e-7) << e;
            byHoles += s.weights > faces.weights + 1e-9;
        }
        EXPECT_GT(byHoles, int(n) / 10);
        // The void field stays void everywhere, the holes' rims included.
        const std::vector<float> voidField(n, 0.001f);
        filter.filter(voidField.data(), out.data(), W.data());
        for (size_t e = 0; e < n; ++e) ASSERT_NEAR(out[e], 0.001f, 1e-9) << e;
    }
}

TEST(FilterFaces, AnchorsOnEdgesAndCornersStayReachableAtEveryRadius) {
    // Anchors (held solid) at a corner, along an edge and on a face of a 14 x 12 x 12 box. With
    // every design variable at 1, every element with an anchor in its neighbourhood filters to
    // at least kReachable (the starved ones at edges and corners are clipped and filter to 1);
    // an element on an edge far from them keeps the void beyond its faces and stays below 0.5
    // from a radius of about 4.3 on.
    const int nx = 14, ny = 12, nz = 12;
    auto m = makeBox(nx, ny, nz);
    const size_t n = size_t(m->numElements(0));
    std::vector<uint8_t> anchors(n, 0);
    auto at = [&](int x, int y, int z) { return size_t(m->elementAt(0, {x, y, z})); };
    anchors[at(0, 0, 0)] = 1;                                    // corner
    for (int y = 0; y < ny; ++y) anchors[at(nx - 1, y, 0)] = 1;  // edge x = max, z = 0
    anchors[at(6, 6, nz - 1)] = 1;                               // face z = max
    const std::vector<float> solid(n, 1.0f);
    for (double radius : {2.0, 5.0, 8.0, 10.0}) {
        SCOPED_TRACE(radius);
        ReferenceFilter filter(*m, radius, DensityFilter::FaceRule::VoidBeyondFaces, 0.001);
        filter.anchorMembers(anchors);
        std::vector<double> W;
        filter.computeWeightSums(W);
        std::vector<float> out(n);
        filter.filter(solid.data(), out.data(), W.data());
        int clipped = 0;
        for (size_t e = 0; e < n; ++e) {
            const bool clip = clippedNearAnchor(*m, int(e), anchors, radius);
            clipped += clip;
            const NeighbourSums s = referenceFilterSums(*m, int(e), solid, radius, !clip);
            ASSERT_NEAR(W[e], s.weights, 1e-12 * s.weights) << e;
            ASSERT_NEAR(out[e], s.filtered(), 2e-7) << e;
            if (clip) {
                ASSERT_EQ(filter.padSums()[e], 0.0) << e;
            }
        }
        EXPECT_GT(clipped, 0);
        // Every element next to an anchor can become solid: the corner's and the edge's
        // neighbours on the faces, and the one below the face anchor.
        for (size_t e : {at(1, 0, 0), at(0, 1, 1), at(nx - 2, 5, 0), at(nx - 1, 5, 1),
                         at(6, 6, nz - 2)})
            EXPECT_GE(out[e], float(DensityFilter::kReachable)) << e;
        // The edge x = 0, y = max, farther than 9 from every anchor, keeps its void beyond the
        // faces.
        if (radius < 9.0) {
            const float far = out[at(0, ny - 1, nz / 2)];
            if (radius >= 5.0) {
                EXPECT_LT(far, 0.5f);
            }
            EXPECT_LT(far, 0.9f);
        }
        // A new set of anchors replaces the old one; none restores the faces' pad sums.
        filter.anchorMembers({});
        const int corner = int(at(1, 0, 0));
        EXPECT_NEAR(filter.padSums()[size_t(corner)],
                    referenceFilterSums(*m, corner, solid, radius, true).weights -
                        referenceFilterSums(*m, corner, solid, radius, false).weights,
                    1e-9 * filter.padSums()[size_t(corner)]);
        EXPECT_GT(filter.padSums()[size_t(corner)], 0.0);
    }
}

TEST(FilterFaces, APlateAlongAFaceIsFilteredLikeOneInside) {
    // A solid plate two elements thick in void: against the face z = 0 of one box, in the middle
    // of a taller one. Void beyond the faces filters both alike; the clipped rule lets the plate
    // at the face come out denser (the fault: thin plates along faces escape the member size).
    const int nx = 10, ny = 9, thick = 2, below = 5;
    auto atFace = makeBox(nx, ny, thick + 6);
    auto inside = makeBox(nx, ny, below + thick + 6);
    auto plate = [](const FemModel& m, int z0, int z1) {
        std::vector<float> x(size_t(m.numElements(0)), 0.001f);
        for (size_t e = 0; e < x.size(); ++e) {
            const int z = unpack(m.elementPosition(0)[e]).z;
            if (z >= z0 && z < z1) x[e] = 1.0f;
        }
        return x;
    };
    const std::vector<float> xFace = plate(*atFace, 0, thick);
    const std::vector<float> xInside = plate(*inside, below, below + thick);
    for (double radius : {1.5, 4.0}) {
        for (auto rule : {DensityFilter::FaceRule::VoidBeyondFaces, DensityFilter::FaceRule::Clipped}) {
            const bool padded = rule == DensityFilter::FaceRule::VoidBeyondFaces;
            SCOPED_TRACE(::testing::Message() << radius << (padded ? " void" : " clipped"));
            auto filtered = [&](const FemModel& m, const std::vector<float>& x) {
                ReferenceFilter f(m, radius, rule, 0.001);
                std::vector<double> W;
                f.computeWeightSums(W);
                std::vector<float> out(x.size());
                f.filter(x.data(), out.data(), W.data());
                return out;
            };
            const std::vector<float> face = filtered(*atFace, xFace);
            const std::vector<float> mid = filtered(*inside, xInside);
            // The plate's elements in the middle of the x-y extent, layer by layer.
            for (int layer = 0; layer < thick; ++layer) {
                const int ef = atFace->elementAt(0, {nx / 2, ny / 2, layer});
                const int ei = inside->elementAt(0, {nx / 2, ny / 2, below + layer});
                if (padded) {
                    EXPECT_NEAR(face[size_t(ef)], mid[size_t(ei)], 1e-6) << layer;
                } else if (layer == 0) {  // the layer whose neighbourhood reaches beyond the face
                    EXPECT_GT(face[size_t(ef)], mid[size_t(ei)] + 0.05f);
                }
            }
        }
    }
}

TEST(FilterFaces, VoidBeyondFacesInProjectionModeAndForAGivenRadius) {
    const struct {
        int projection;
        double radius;
        bool given;
        DensityFilter::FaceRule rule;
    } cases[] = {
        {0, DesignControls::kDefaultFilterRadius, false, DensityFilter::FaceRule::Clipped},
        {1, DesignControls::kDefaultFilterRadius, false, DensityFilter::FaceRule::VoidBeyondFaces},
        {0, 1.5, true, DensityFilter::FaceRule::VoidBeyondFaces},
        {0, DesignControls::kDefaultFilterRadius, true, DensityFilter::FaceRule::VoidBeyondFaces},
    };
    for (const auto& c : cases) {
        DesignControls controls;
        controls.projection = c.projection;
        controls.filterRadius = c.radius;
        controls.filterRadiusGiven = c.given;
        EXPECT_EQ(Optimizer::filterFaceRule(controls), c.rule) << c.projection << " " << c.radius;
    }
}

TEST(DesignChange, IsTheLargestChangeOfADesignVariableInTheUpdate) {
    for (int projection : {0, 1}) {
        SCOPED_TRACE(projection);
        ScratchFolder dir("design-change");
        DesignControls c;
        c.projection = projection;
        HostRun run(12, 4, 4, dir.path(), c);
        run.step();
        double largestSeen = 0;
        for (int k = 0; k < 12; ++k) {
            const std::vector<float> before = run.opt.x_;
            run.step();
            double largest = 0;
            for (size_t e = 0; e < before.size(); ++e)
                largest = std::max(largest, std::fabs(double(run.opt.x_[e]) - double(before[e])));
            EXPECT_EQ(run.opt.lastDesignChange_, largest) << k;
            largestSeen = std::max(largestSeen, largest);
            EXPECT_LE(largest, run.opt.moveLimit_ + 1e-7);
        }
        EXPECT_GT(largestSeen, 0.01);
    }
}

// ---- volume fraction ----

TEST(VolumeFraction, EveryIterationMeetsItsTargetAndTheRunEndsAtTheGoal) {
    for (double fraction : {0.2, 0.5}) {
        SCOPED_TRACE(fraction);
        ScratchFolder dir("volume-fraction");
        DesignControls controls;
        controls.volumeFraction = fraction;
        HostRun run(24, 6, 6, dir.path(), controls);
        for (int k = 0; k < 30; ++k) {
            run.step();
            EXPECT_DOUBLE_EQ(run.opt.volumeReductionGoal_, 1.0 - fraction);
            EXPECT_NEAR(run.opt.lastVolumeRatio_, run.opt.volumeTarget_, 1e-6) << k;
        }
        EXPECT_NEAR(run.opt.volumeTarget_, fraction, 1e-12);
        EXPECT_NEAR(run.opt.lastVolumeRatio_, fraction, 1e-6);
        // F7 raises the goal by 0.02 until the next reset, which sets it back to 1 - f.
        run.opt.volumeReductionGoal_ += 0.02;
        run.opt.reset();
        EXPECT_DOUBLE_EQ(run.opt.volumeReductionGoal_, 1.0 - fraction);
    }
}

// ---- keep-solid and keep-empty boxes ----

/// Cantilever 12 x 4 x 4 (voxel 0.01): a solid slab on top, an empty hole in the middle.
DesignControls boxedControls(int projection) {
    DesignControls c;
    c.projection = projection;
    // Bounds lie between element centres (0.005, 0.015, ...).
    c.keepSolid = {{{0.06, 0.0, 0.03}, {0.12, 0.04, 0.04}}};
    c.keepEmpty = {{{0.04, 0.0, 0.01}, {0.07, 0.04, 0.029}},
                   {{0.1, 0.0, 0.0}, {0.12, 0.04, 0.009}}};  // holds loaded elements: solid wins
    return c;
}

TEST(KeepBoxes, HeldInEveryIterationAndOutsideTheVolume) {
    for (int projection : {0, 1}) {
        SCOPED_TRACE(projection);
        ScratchFolder dir("keep-boxes");
        HostRun run(12, 4, 4, dir.path(), boxedControls(projection));
        ReferenceOptimizer& o = run.opt;
        for (int k = 0; k < 25; ++k) {
            run.step();
            const size_t n = o.rho_.size();
            int solid = 0, empty = 0, emptyBelow = 0;
            double volume = 0;
            for (size_t e = 0; e < n; ++e) {
                const GridPos p = unpack(run.model->elementPosition(0)[e]);
                const bool inSolid = p.z == 3 && p.x >= 6;
                const bool inHole = p.x >= 4 && p.x <= 6 && (p.z == 1 || p.z == 2);
                const bool inBottom = p.z == 0 && p.x >= 10;
                if (inSolid) {
                    ++solid;
                    ASSERT_TRUE(o.isKept_[e]) << e;
                    ASSERT_EQ(o.rho_[e], 1.0f) << k << " " << e;
                }
                if (inHole) {
                    ++empty;
                    ASSERT_TRUE(o.isEmptyHeld_[e]) << e;
                    ASSERT_EQ(o.rho_[e], 0.001f) << k << " " << e;
                    ASSERT_EQ(o.x_[e], 0.001f) << k << " " << e;
                }
                if (inBottom && !o.isKept_[e]) {
                    ++emptyBelow;
                    ASSERT_EQ(o.rho_[e], 0.001f) << k << " " << e;
                }
                if (inBottom && o.isKept_[e]) {
                    ASSERT_EQ(o.rho_[e], 1.0f) << k << " " << e;
                }
                if (!o.isEmptyHeld_[e])
                    volume += double(o.rho_[e]);
            }
            EXPECT_EQ(solid, 6 * 4);
            EXPECT_EQ(empty, 3 * 4 * 2);
            EXPECT_GT(emptyBelow, 0);
            EXPECT_EQ(o.V0_, double(n - size_t(o.numEmptyHeld_)));
            EXPECT_NEAR(o.lastVolumeRatio_, volume / o.V0_, 1e-12);
            // The first targets shrink faster than the move limit lets a model this small with
            // this much held volume follow (mode 0 also starts from densities that count kept
            // elements at 0.35); from then on every target is met.
            if (k >= 18) {
                EXPECT_NEAR(o.lastVolumeRatio_, o.volumeTarget_, 1e-6) << k;
            }
        }
        EXPECT_EQ(o.numDesignable_, int(o.rho_.size()) - o.numEmptyHeld_ -
                                        int(std::count(o.isKept_.begin(), o.isKept_.end(), 1)));
        EXPECT_EQ(run.wide.str().find(L"WARNING"), std::wstring::npos);
    }
}

TEST(KeepBoxes, ABoxWithoutElementsIsReported) {
    ScratchFolder dir("keep-boxes");
    DesignControls c;
    c.keepEmpty = {{{5, 5, 5}, {6, 6, 6}}};
    HostRun run(8, 4, 4, dir.path(), c);
    run.step();
    EXPECT_NE(run.wide.str().find(L"WARNING: KEEP_EMPTY_BOXES box 1 holds no element centre\n"),
              std::wstring::npos);
    EXPECT_EQ(run.opt.numEmptyHeld_, 0);
}

// ---- projection mode 1 ----

TEST(ProjectedDensities, AreTheProjectedFilteredDesignInEveryIteration) {
    ScratchFolder dir("projection");
    DesignControls c;
    c.projection = 1;
    c.keepEmpty = {{{0.08, 0.0, 0.0}, {0.16, 0.06, 0.019}}};
    HostRun run(24, 6, 6, dir.path(), c);
    ReferenceOptimizer& o = run.opt;
    const auto& m = *run.model;
    double lastBeta = 0;
    std::vector<uint8_t> clipped;  // the filter's rule per element, once the run is reset
    for (int k = 0; k < 40; ++k) {
        run.step();
        const size_t n = o.rho_.size();
        if (clipped.empty()) {
            const std::vector<uint8_t> anchors = loadedKept(m, o.isKept_);
            for (size_t e = 0; e < n; ++e)
                clipped.push_back(clippedNearAnchor(m, int(e), anchors, c.filterRadius));
            ASSERT_GT(std::count(clipped.begin(), clipped.end(), 1), 0);
        }
        ASSERT_EQ(n, size_t(m.numElements(0)));
        for (size_t e = 0; e < n; ++e) {
            if (!o.isDesignable(e))
                continue;
            // Projection mode 1 pads the grid's faces with void, but for the elements near
            // the loads that it would starve.
            const NeighbourSums s =
                referenceFilterSums(m, int(e), o.x_, c.filterRadius, !clipped[e]);
            ASSERT_NEAR(o.W_[e], s.weights, 1e-12 * s.weights) << e;
            ASSERT_NEAR(o.xTilde_[e], s.filtered(), 1e-6) << e;
            // Bounded below by the minimum density, like every other density.
            ASSERT_NEAR(o.rho_[e], 0.001 + 0.999 * projected(double(o.xTilde_[e]), o.rhoBeta_, 0.5),
                        2e-6)
                << e;
            ASSERT_EQ(o.x_[e] >= 0.001f && o.x_[e] <= 1.0f, true);
        }
        EXPECT_NEAR(o.lastVolumeRatio_, o.volumeTarget_, 1e-6) << k;
        lastBeta = o.beta_;
    }
    // The mode-1 schedule: beta grows first in update interval + 1, then every interval updates.
    const int growths = 39 / Optimizer::kProjectedBetaInterval;
    EXPECT_EQ(lastBeta,
              std::pow(Optimizer::kProjectedBetaGrowth, growths) * Optimizer::kProjectedBetaStart);
    EXPECT_FALSE(o.betaAtLastValue());
}

TEST(ProjectedDensities, VoidStaysAtTheMinimumDensityOnceBetaIsLarge) {
    // With beta at its last value (64), H of the void elements' filtered designs falls to about
    // 1e-15; the densities stay at 0.001 + 0.999 H, so no stiffness factor goes below 1e-6.
    ScratchFolder dir("projection-floor");
    DesignControls c;
    c.projection = 1;
    HostRun run(16, 4, 4, dir.path(), c);
    ReferenceOptimizer& o = run.opt;
    while (!o.betaAtLastValue() || !(o.rhoBeta_ >= Optimizer::kProjectedBetaLast))
        run.step();
    for (int k = 0; k < 5; ++k)
        run.step();
    const size_t n = o.rho_.size();
    float lowest = 1.0f;
    int nearVoid = 0;
    for (size_t e = 0; e < n; ++e) {
        ASSERT_GE(o.rho_[e], 0.001f) << e;
        ASSERT_GE(run.model->stiffnessFactors()[e], 0.999e-6f) << e;
        lowest = std::min(lowest, o.rho_[e]);
        // Elements whose projection has all but vanished sit at the floor itself.
        if (o.isDesignable(e) && projected(double(o.xTilde_[e]), o.rhoBeta_, 0.5) < 1e-6) {
            ++nearVoid;
            EXPECT_NEAR(o.rho_[e], 0.001f, 1e-6f) << e;
        }
    }
    // Enough of them to tell (the beam is small, its starved edges near the load are clipped,
    // and the damped moves leave the void a little above the point where H vanishes).
    EXPECT_GE(nearVoid, 5);
    EXPECT_NEAR(lowest, 0.001f, 1e-9f);
    // The grey count and the sharpness are those of these densities.
    int grey = 0;
    double sharp = 0;
    for (size_t e = 0; e < n; ++e) {
        if (!o.isDesignable(e)) continue;
        grey += o.rho_[e] > 0.1f && o.rho_[e] < 0.9f;
        sharp += double(o.rho_[e]) * (1.0 - double(o.rho_[e]));
    }
    EXPECT_DOUBLE_EQ(greyFraction(o.snapshot()), double(grey) / o.numDesignable_);
    EXPECT_DOUBLE_EQ(o.lastSharpness_, 4.0 * sharp / o.numDesignable_);
    EXPECT_GT(o.lastSharpness_, 4.0 * 0.001 * 0.999 * nearVoid / o.numDesignable_ * 0.99);
}

TEST(ProjectedDensities, SensitivitiesAgainstCentralDifferences) {
    ScratchFolder dir("projection");
    DesignControls c;
    c.projection = 1;
    c.keepSolid = {{{0.0, 0.0, 0.02}, {0.1, 0.03, 0.03}}};
    c.keepEmpty = {{{0.04, 0.0, 0.0}, {0.06, 0.03, 0.019}}};
    HostRun run(10, 3, 3, dir.path(), c);
    ReferenceOptimizer& o = run.opt;
    const FemModel& m = *run.model;
    // A mid-run state: the densities of the last update projected with beta > 1.
    while (!(o.rhoBeta_ > 1.0))
        run.step();
    for (int k = 0; k < 3; ++k)
        run.step();
    ASSERT_GT(o.numEmptyHeld_, 0);
    ASSERT_GT(std::count(o.isKept_.begin(), o.isKept_.end(), 1), 9);
    const size_t n = o.rho_.size();
    const double beta = o.rhoBeta_;

    // Exact displacements for the current stiffness factors, then the analytic sensitivities.
    run.fem->prepareSolve();
    std::vector<double> E(m.stiffnessFactors().begin(), m.stiffnessFactors().end());
    run.model->setDisplacement(directSolve(m, E));
    o.evaluateEnergies();
    o.computeSensitivities();

    // Compliance of a design x, with the map in double: x~ = filter(x), rho = H(x~), held
    // elements at their densities, E = 1000 rho^3.
    std::vector<uint8_t> clipped(n);
    for (size_t e = 0; e < n; ++e)
        clipped[e] = clippedNearAnchor(m, int(e), loadedKept(m, o.isKept_), c.filterRadius);
    auto complianceOfDesign = [&](const std::vector<double>& x) {
        std::vector<double> stiffness(n);
        for (size_t e = 0; e < n; ++e) {
            double rho = 1.0;
            if (o.isEmptyHeld_[e])
                rho = 0.001;
            else if (!o.isKept_[e])
                rho = 0.001 + 0.999 * projected(referenceFilterSums(m, int(e), x, c.filterRadius,
                                                                   !clipped[e])
                                                                   .filtered(),
                                                beta, 0.5);
            stiffness[e] = 1000.0 * rho * rho * rho;
        }
        return complianceOf(m, directSolve(m, stiffness));
    };
    std::vector<double> x(o.x_.begin(), o.x_.end());
    const double h = 1e-4;
    double largest = 0;
    for (size_t e = 0; e < n; ++e)
        if (o.isDesignable(e))
            largest = std::max(largest, std::fabs(o.sensitivity_[elementCell(o.model(), e)]));
    ASSERT_GT(largest, 0);
    int checked = 0;
    for (size_t e = 0; e < n; e += 3) {
        if (!o.isDesignable(e))
            continue;
        std::vector<double> up = x, down = x;
        up[e] += h;
        down[e] -= h;
        const double difference = (complianceOfDesign(up) - complianceOfDesign(down)) / (2 * h);
        EXPECT_NEAR(o.sensitivity_[elementCell(o.model(), e)], difference, 1e-5 * largest) << e;
        ++checked;
    }
    EXPECT_GT(checked, 10);
}
