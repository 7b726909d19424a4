// Mirror planes: the SYMMETRY_PLANES value, the orbits of a voxel model and the refusals of a
// model that is not symmetric or a plane that misses it.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fem/FemModel.h"
#include "optimization/DesignRegions.h"
#include "optimization/OptimizationTestSupport.h"
#include "optimization/SymmetryOrbits.h"
#include "scene/SymmetryPlanes.h"

using namespace ostrel;
using namespace ostrel::testing;

namespace {

TEST(SymmetryPlanes, ValuesAndRefusals) {
    const struct {
        const wchar_t* text;
        const wchar_t* planes;  // "axis coordinate|c" per plane, or the error
    } cases[] = {
        {L"x 1.0  z", L"x 1 | z c"},
        {L"y", L"y c"},
        {L"X -0.25 Y 2e-1 z", L"x -0.25 | y 0.2 | z c"},
        {L"  z\t3 ", L"z 3"},
        {L"w 1", L"names the unknown axis 'w' (the axes are x, y and z)"},
        {L"x 1 x", L"names the axis x twice"},
        {L"1.0 x", L"has the number 1.0 where an axis (x, y or z) belongs"},
        {L"", L"holds no plane (write an axis, x, y or z, and optionally its coordinate)"},
        {L"x 1 y 2 z 3 y", L"names the axis y twice"},
        {L"x one", L"names the unknown axis 'one' (the axes are x, y and z)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.text);
        std::vector<SymmetryPlane> planes;
        std::wstring why;
        const bool ok = parseSymmetryPlanes(c.text, planes, why);
        std::wstring got;
        if (ok) {
            for (const SymmetryPlane& p : planes) {
                if (!got.empty()) got += L" | ";
                got += axisName(p.axis);
                got += p.centre ? L" c" : L" " + std::to_wstring(p.coordinate);
            }
            // The expected planes, their coordinates written as to_wstring writes them.
            std::wstring want;
            std::wistringstream in(c.planes);
            std::wstring axis, value, bar;
            while (in >> axis >> value) {
                if (!want.empty()) want += L" | ";
                want += axis + (value == L"c" ? L" c" : L" " + std::to_wstring(std::stod(value)));
                in >> bar;
            }
            EXPECT_EQ(got, want);
        } else {
            EXPECT_EQ(why, c.planes);
        }
    }
}

/// The orbits of every element of `model` under `planes`, checked against the plain rule:
/// the orbit is the set of mirror images, every member lists it in ascending order.
void expectOrbits(const FemModel& model, const SymmetryOrbits& orbits,
                  const std::vector<int>& mirror2, const std::vector<int>& axes) {
    const size_t n = size_t(model.numElements(0));
    ASSERT_EQ(orbits.size, 1 << axes.size());
    ASSERT_EQ(orbits.members.size(), n * size_t(orbits.size));
    for (size_t e = 0; e < n; ++e) {
        std::set<int> expected;
        const GridPos p = unpack(model.elementPosition(0)[e]);
        for (int mask = 0; mask < orbits.size; ++mask) {
            int c[3] = {p.x, p.y, p.z};
            for (size_t k = 0; k < axes.size(); ++k)
                if (mask >> k & 1) c[axes[k]] = mirror2[k] - 1 - c[axes[k]];
            const int j = model.elementAt(0, {c[0], c[1], c[2]});
            ASSERT_GE(j, 0);
            expected.insert(j);
        }
        std::vector<int> got(orbits.members.begin() + std::ptrdiff_t(e) * orbits.size,
                             orbits.members.begin() + std::ptrdiff_t(e + 1) * orbits.size);
        std::vector<int> want(expected.begin(), expected.end());
        want.resize(size_t(orbits.size), -1);
        ASSERT_EQ(got, want) << e;
        EXPECT_TRUE(std::find(got.begin(), got.end(), int(e)) != got.end());
    }
}

TEST(SymmetryOrbits, MembersOfOneTwoAndThreePlanes) {
    // A T-shaped model, symmetric about the centre planes normal to y and z but not x (7 x 4 x 5
    // cells; the odd z count puts that plane through a layer of element centres).
    auto model = makeModel(7, 4, 5, [](int x, int y, int) { return x < 3 || (y >= 1 && y <= 2); });
    auto slab = makeModel(6, 4, 5, [](int x, int y, int z) { return x < 6 && y < 4 && z < 5; });
    SymmetryPlane y, z, x;
    y.axis = 1;
    z.axis = 2;
    x.axis = 0;
    SymmetryOrbits orbits;
    std::wstring error;
    ASSERT_TRUE(symmetryOrbits(*model, {y}, orbits, error)) << error;
    expectOrbits(*model, orbits, {4}, {1});
    ASSERT_TRUE(symmetryOrbits(*model, {z, y}, orbits, error)) << error;
    expectOrbits(*model, orbits, {5, 4}, {2, 1});
    // A plane through element centres: the middle layer is its own image, its orbits have
    // fewer members than slots.
    const int middle = model->elementAt(0, {0, 0, 2});
    ASSERT_GE(middle, 0);
    EXPECT_EQ(orbits.members[size_t(middle) * 4 + 2], -1);
    // Three planes on a box, one given by its coordinate (x = 3 voxels, the centre).
    x.centre = false;
    x.coordinate = 3.0;
    ASSERT_TRUE(symmetryOrbits(*slab, {x, y, z}, orbits, error)) << error;
    expectOrbits(*slab, orbits, {6, 4, 5}, {0, 1, 2});
    // No planes: no orbits.
    ASSERT_TRUE(symmetryOrbits(*slab, {}, orbits, error));
    EXPECT_FALSE(orbits.symmetric());
}

TEST(SymmetryOrbits, RefusesAModelThatIsNotSymmetricAndAPlaneThatMissesIt) {
    // An L shape: not symmetric about x; two planes of x that miss the model.
    auto model = makeModel(7, 4, 5, [](int x, int y, int) { return x < 3 || y < 2; });
    SymmetryPlane x;
    x.axis = 0;
    SymmetryOrbits orbits;
    std::wstring error;
    EXPECT_FALSE(symmetryOrbits(*model, {x}, orbits, error));
    // Cells x >= 3 with y >= 2 are empty: of the x < 3 cells, those at y >= 2 (3*2*5 = 30)
    // mirror to empty cells.
    EXPECT_EQ(error, L"ERROR: The voxel model is not symmetric about the plane x = 3.5 "
                     L"(SYMMETRY_PLANES the centre plane normal to x): 30 of 100 elements have "
                     L"no mirror image");
    x.centre = false;
    for (double outside : {-0.5, 0.0, 7.0, 12.0}) {
        x.coordinate = outside;
        EXPECT_FALSE(symmetryOrbits(*model, {x}, orbits, error));
        std::wostringstream want;
        want << L"ERROR: SYMMETRY_PLANES: the plane x = " << outside
             << L" does not cut through the model (its elements span x from 0 to 7)";
        EXPECT_EQ(error, want.str());
    }
    // A given coordinate is taken to the nearest face or centre plane: 3.6 -> 3.5 is refused
    // like the centre plane, 3.4 -> 3.5 too.
    x.coordinate = 3.6;
    EXPECT_FALSE(symmetryOrbits(*model, {x}, orbits, error));
    EXPECT_NE(error.find(L"about the plane x = 3.5 (SYMMETRY_PLANES x = 3.6): 30 of 100"),
              std::wstring::npos)
        << error;
    // The design check refuses such a model with the same line.
    DesignControls controls;
    controls.symmetry = {x};
    model->setForceComponent(model->numVertices(0) - 1, 2, -1.0f);
    model->setFixed(0, true);
    const DesignCheck check = checkDesign(*model, controls, markDesignRegions(*model, controls));
    EXPECT_EQ(check.error, error);
}

TEST(SymmetryOrbits, SumsOverTheMembersThatAreNotHeld) {
    SymmetryOrbits orbits;
    orbits.size = 2;
    // Elements 0-1 mirror each other, 2 is its own image, 3-4 mirror each other.
    orbits.members = {0, 1, 0, 1, 2, -1, 3, 4, 3, 4};
    std::vector<double> values = {1.0, 2.0, 4.0, 8.0, 16.0};
    const std::vector<uint8_t> held = {0, 0, 0, 1, 0};
    sumOverOrbits(orbits, held, values);
    // 3 is held: it keeps its value and counts in nobody's sum.
    EXPECT_EQ(values, (std::vector<double>{3.0, 3.0, 4.0, 8.0, 16.0}));
}

}  // namespace
