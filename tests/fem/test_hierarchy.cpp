#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <stdexcept>

#include "core/Console.h"

#include "fem/FemModel.h"
#include "fem/ModelSize.h"
#include "fem/Operators.h"
#include "FemTestUtil.h"

namespace ostrel {
namespace {

using test::makeVolume;

// A refused voxel model comes back as a value: no model, the one line of fem/ModelSize.h, and
// nothing printed (a built model prints its hierarchy lines).
struct RefusalCase {
    const char* name;
    Volume<bool, double> voxels;
    int levels;
    std::wstring error;
};

TEST(ModelBuild, RefusalsAreValuesWithTheModelSizeLine) {
    Volume<bool, double> unallocated;  // not even allocated: the level count is checked first
    const RefusalCase cases[] = {
        {"too few levels", unallocated, 2, L"ERROR: #Levels must be between 3 and 12, not 2"},
        {"too many levels", unallocated, 13, L"ERROR: #Levels must be between 3 and 12, not 13"},
        {"far too many levels", unallocated, 2000000000,
         L"ERROR: #Levels must be between 3 and 12, not 2000000000"},
        {"empty", makeVolume(3, 3, 3, {}), 3, L"ERROR: Voxel model is empty"},
        {"x extent", makeVolume(2047, 1, 1, {{0, 0, 0}, {2046, 0, 0}}), 3,
         L"ERROR: Voxel model extents are too large"},
        {"y extent", makeVolume(1, 2047, 1, {{0, 0, 0}, {0, 2046, 0}}), 3,
         L"ERROR: Voxel model extents are too large"},
        {"z extent", makeVolume(1, 1, 1023, {{0, 0, 0}, {0, 0, 1022}}), 3,
         L"ERROR: Voxel model extents are too large"},
    };
    for (const RefusalCase& c : cases) {
        ::testing::internal::CaptureStdout();
        const ModelBuild built = buildModel(c.voxels, c.levels);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << c.name;
        EXPECT_EQ(built.model, nullptr) << c.name;
        EXPECT_EQ(built.error, c.error) << c.name;
        // The constructor refuses the same input by exception, never by ending the process.
        try {
            FemModel m(c.voxels, c.levels);
            ADD_FAILURE() << c.name << ": built";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), toUtf8(c.error)) << c.name;
        }
    }
}

TEST(ModelBuild, ABuildableModelIsBuiltWithoutAnError) {
    const ModelBuild built = buildModel(makeVolume(3, 1, 1, {{0, 0, 0}, {2, 0, 0}}), 3);
    ASSERT_NE(built.model, nullptr);
    EXPECT_EQ(built.error, L"");
    EXPECT_EQ(built.model->numElements(0), 2);
    EXPECT_EQ(built.model->elementDims(0), (std::array<int, 3>{3, 1, 1}));
}

// The supports and loads change only through their named mutations, each touching only its own
// vertex and component.
TEST(SupportsAndLoads, MutationsTouchOnlyTheirVertex) {
    const ModelBuild built = buildModel(makeVolume(3, 1, 1, {{0, 0, 0}, {2, 0, 0}}), 3);
    ASSERT_NE(built.model, nullptr);
    FemModel& m = *built.model;
    const int n = m.numVertices(0);
    ASSERT_GE(n, 12);
    ASSERT_EQ(m.fixedFlags().size(), size_t(n));
    ASSERT_EQ(m.forces().size(), 3 * size_t(n));
    EXPECT_EQ(m.gravity(), Vec3d(0, 0, 0));
    for (int v = 0; v < n; ++v) EXPECT_FALSE(m.isFixed(v)) << v;

    m.setFixed(3, true);
    m.setFixed(7, true);
    m.setFixed(7, false);
    for (int v = 0; v < n; ++v) EXPECT_EQ(m.isFixed(v), v == 3) << v;
    EXPECT_EQ(m.fixedFlags()[3], 1);

    m.setForce(5, {1.5f, -2.0f, 3.25f});
    m.setForceComponent(6, 1, 4.0f);
    m.setForceComponent(5, 2, -1.0f);
    struct Case {
        int vertex;
        Vec3f force;
    };
    const Case cases[] = {{5, {1.5f, -2.0f, -1.0f}}, {6, {0, 4.0f, 0}}, {4, {0, 0, 0}},
                          {0, {0, 0, 0}},            {11, {0, 0, 0}}};
    for (const Case& c : cases) EXPECT_EQ(m.force(c.vertex), c.force) << c.vertex;
    // The interleaved layout: x, y, z of vertex v at 3v, 3v + 1, 3v + 2.
    EXPECT_EQ(m.forces()[3 * 5 + 0], 1.5f);
    EXPECT_EQ(m.forces()[3 * 6 + 1], 4.0f);
    float sum = 0;
    for (float f : m.forces()) sum += f;
    EXPECT_EQ(sum, 1.5f - 2.0f - 1.0f + 4.0f);

    m.setGravity({0, 0, -9.81});
    EXPECT_EQ(m.gravity(), Vec3d(0, 0, -9.81));

    m.clearForces();
    for (float f : m.forces()) EXPECT_EQ(f, 0.0f);
    EXPECT_TRUE(m.isFixed(3)) << "clearing the forces leaves the fixations";
    m.setForce(2, {1, 1, 1});
    m.clearFixations();
    for (int v = 0; v < n; ++v) EXPECT_FALSE(m.isFixed(v)) << v;
    EXPECT_EQ(m.force(2), Vec3f(1, 1, 1)) << "clearing the fixations leaves the forces";
}

TEST(ModelSize, CountsAgreeWithTheBuiltHierarchy) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const Volume<bool, double> v =
            test::randomVolume(5 + int(seed % 4), 4 + int(seed % 3), 3 + int(seed % 5), 0.3, seed);
        const ModelSize size = measureModel(v);
        FemModel m(v, 3);
        EXPECT_EQ(size.elements, m.numElements(0)) << seed;
        EXPECT_EQ(size.vertices, m.numVertices(0)) << seed;
        EXPECT_EQ(size.extent, m.elementDims(0)) << seed;
        EXPECT_EQ(modelSizeError(size, 3), L"") << seed;
    }
    const ModelSize corner = measureModel(makeVolume(4, 4, 4, {{3, 3, 3}, {1, 2, 3}}));
    EXPECT_EQ(corner.elements, 2);
    EXPECT_EQ(corner.vertices, 16);
    EXPECT_EQ(corner.extent, (std::array<int, 3>{3, 2, 1}));
}

TEST(ModelSize, ModelsBeyondTheIndicesAreRefused) {
    struct Case {
        const char* name;
        ModelSize size;
        int levels;
        std::wstring error;
    };
    // A solid 2000 x 2000 x 600 box passes the extent limits but not the 32-bit counters.
    const ModelSize box{2000LL * 2000 * 600, 2001LL * 2001 * 601, {2000, 2000, 600}};
    const Case cases[] = {
        {"box", box, 4,
         L"ERROR: Voxel model of 2400000000 elements and 2406404601 vertices is too large (at "
         L"most 2147483647 elements and 715827882 vertices)"},
        {"vertices", {600000000, 800000000, {2000, 2000, 600}}, 4,
         L"ERROR: Voxel model of 600000000 elements and 800000000 vertices is too large (at most "
         L"2147483647 elements and 715827882 vertices)"},
        {"largest", {700000000, 715827882, {2000, 2000, 600}}, 4, L""},
        {"empty", {}, 4, L"ERROR: Voxel model is empty"},
        {"extent", {2, 16, {2047, 1, 1}}, 4, L"ERROR: Voxel model extents are too large"},
        {"levels", box, 13, L"ERROR: #Levels must be between 3 and 12, not 13"},
    };
    for (const Case& c : cases) EXPECT_EQ(modelSizeError(c.size, c.levels), c.error) << c.name;
}

TEST(Hierarchy, LargestExtentsAccepted) {
    FemModel mx(makeVolume(2046, 1, 1, {{0, 0, 0}, {2045, 0, 0}}), 3);
    EXPECT_EQ(mx.vertexDims(0)[0], 2047);
    int maxX = 0;
    for (uint32_t p : mx.vertexPosition(0)) maxX = std::max(maxX, unpack(p).x);
    EXPECT_EQ(maxX, 2046);
    FemModel mz(makeVolume(1, 1, 1022, {{0, 0, 0}, {0, 0, 1021}}), 3);
    EXPECT_EQ(mz.vertexDims(0)[2], 1023);
    int maxZ = 0;
    for (uint32_t p : mz.vertexPosition(0)) maxZ = std::max(maxZ, unpack(p).z);
    EXPECT_EQ(maxZ, 1022);
}

TEST(Hierarchy, OneVoxel) {
    FemModel m(makeVolume(1, 1, 1, {{0, 0, 0}}), 3);
    for (int l = 0; l < 3; ++l) {
        EXPECT_EQ(m.elementDims(l), (std::array<int, 3>{1, 1, 1}));
        EXPECT_EQ(m.vertexDims(l), (std::array<int, 3>{2, 2, 2}));
        EXPECT_EQ(m.numElements(l), 1);
        EXPECT_EQ(m.colorOffsets(l), (std::array<int, 9>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    }
    EXPECT_EQ(m.fixedFlags().size(), 8u);
    EXPECT_EQ(m.stiffnessFactors(), std::vector<float>(1, 1000000.0f));
    EXPECT_EQ(m.displacement().size(), 24u);
    EXPECT_EQ(m.load().size(), 24u);
    EXPECT_EQ(m.forces().size(), 24u);
    EXPECT_EQ(m.loadNorm(), 0.0);
    EXPECT_EQ(m.levelOperator(0).size(), 0u);
    EXPECT_EQ(m.levelOperator(1).size(), 0u);
    EXPECT_EQ(m.levelOperator(2).size(), 243u * 8);
    // Every corner of the coarsest grid misses 19 neighbours; the 8 existing ones follow in order.
    ASSERT_EQ(m.coarseNeighbors().size(), 8u * 27);
    for (int v = 0; v < 8; ++v) {
        for (int t = 0; t < 19; ++t) EXPECT_EQ(m.coarseNeighbors()[size_t(v * 27 + t)].second, -1);
        for (int t = 19; t < 27; ++t) EXPECT_EQ(m.coarseNeighbors()[size_t(v * 27 + t)].second, t - 19);
        for (int t = 1; t < 19; ++t)
            EXPECT_LT(m.coarseNeighbors()[size_t(v * 27 + t - 1)].first, m.coarseNeighbors()[size_t(v * 27 + t)].first);
    }
}

TEST(Hierarchy, RowOfThreeAndMoreLevelsThanHalvings) {
    FemModel m(makeVolume(3, 1, 1, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}), 5);
    EXPECT_EQ(m.numElements(0), 3);
    EXPECT_EQ(m.numVertices(0), 16);
    EXPECT_EQ(m.elementDims(1), (std::array<int, 3>{2, 1, 1}));
    EXPECT_EQ(m.numElements(1), 2);
    EXPECT_EQ(m.numVertices(1), 12);
    for (int l = 2; l < 5; ++l) {
        EXPECT_EQ(m.elementDims(l), (std::array<int, 3>{1, 1, 1}));
        EXPECT_EQ(m.numVertices(l), 8);
    }
    // Only the coarsest level's operator is held before the solver sets one: the levels
    // between are assembled on the solver's device.
    EXPECT_EQ(m.levelOperator(2).size(), 0u);
    EXPECT_EQ(m.levelOperator(3).size(), 0u);
    EXPECT_EQ(m.levelOperator(4), std::vector<double>(243 * 8, 0.0));
    m.setLevelOperator(3, std::vector<double>(243 * 8, 2.0));
    EXPECT_EQ(m.levelOperator(3), std::vector<double>(243 * 8, 2.0));
}

TEST(Hierarchy, OnlyTheOccupiedBoundingBoxIsGridded) {
    FemModel m(makeVolume(20, 10, 10, {{5, 2, 3}, {15, 7, 9}}, {0.5, 0.25, 2}, {1, 2, 3}), 3);
    EXPECT_EQ(m.elementDims(0), (std::array<int, 3>{11, 6, 7}));
    EXPECT_EQ(m.numElements(0), 2);
    EXPECT_EQ(m.numVertices(0), 16);
    EXPECT_DOUBLE_EQ(m.origin().x, 5 * 0.5 + 1);
    EXPECT_DOUBLE_EQ(m.origin().y, 2 * 0.25 + 2);
    EXPECT_DOUBLE_EQ(m.origin().z, 3 * 2.0 + 3);
    EXPECT_EQ(m.voxelSize().x, 0.5);
    EXPECT_EQ(m.elementAt(0, {0, 0, 0}), 0);
    EXPECT_EQ(m.elementAt(0, {10, 5, 6}), 1);
}

TEST(Hierarchy, EdgeAndCornerContactShareVertices) {
    FemModel edge(makeVolume(2, 2, 1, {{0, 0, 0}, {1, 1, 0}}), 3);
    EXPECT_EQ(edge.numVertices(0), 14);
    EXPECT_EQ(edge.vertexAt(0, {2, 0, 0}), -1);
    FemModel corner(makeVolume(2, 2, 2, {{0, 0, 0}, {1, 1, 1}}), 3);
    EXPECT_EQ(corner.numVertices(0), 15);
    EXPECT_EQ(corner.vertexAt(0, {2, 2, 0}), -1);
    EXPECT_GE(corner.vertexAt(0, {1, 1, 1}), 0);
}

TEST(Hierarchy, HolesWiderThanTheCoarseSpacingSurvive) {
    std::vector<std::array<int, 3>> cells;
    for (int z = 0; z < 8; ++z)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                if (!(x >= 2 && x < 6 && y >= 2 && y < 6 && z >= 2 && z < 6)) cells.push_back({x, y, z});
    FemModel m(makeVolume(8, 8, 8, cells), 4);
    EXPECT_EQ(m.numElements(0), 512 - 64);
    EXPECT_EQ(m.numElements(1), 64 - 8);
    EXPECT_EQ(m.elementAt(1, {1, 1, 1}), -1);
    EXPECT_EQ(m.elementAt(1, {2, 2, 2}), -1);
    EXPECT_EQ(m.numElements(2), 8);
    EXPECT_EQ(m.vertexAt(0, {4, 4, 4}), -1);  // the middle of the hole has no vertex
}

class HierarchyRandom : public ::testing::TestWithParam<unsigned> {};

TEST_P(HierarchyRandom, NumberingInvariants) {
    const unsigned seed = GetParam();
    FemModel m(test::randomVolume(5 + int(seed % 4), 4 + int(seed % 3), 3 + int(seed % 5), 0.3, seed), 4);
    for (int l = 0; l < m.numLevels(); ++l) {
        const int n = m.numVertices(l);
        ASSERT_EQ(int(m.vertexPosition(l).size()), n);
        ASSERT_EQ(int(m.elementPosition(l).size()), m.numElements(l));
        for (int q = 0; q < 8; ++q) EXPECT_LE(m.colorOffsets(l)[q], m.colorOffsets(l)[q + 1]);
        for (int v = 0; v < n; ++v) {
            const GridPos p = unpack(m.vertexPosition(l)[size_t(v)]);
            EXPECT_EQ(m.vertexAt(l, p), v);
            const int colour = (p.x & 1) + 2 * (p.y & 1) + 4 * (p.z & 1);
            EXPECT_GE(v, m.colorOffsets(l)[colour]);
            EXPECT_LT(v, m.colorOffsets(l)[colour + 1]);
            if (v > m.colorOffsets(l)[colour]) {
                const GridPos o = unpack(m.vertexPosition(l)[size_t(v - 1)]);
                EXPECT_LT(std::make_tuple(o.z, o.y, o.x), std::make_tuple(p.z, p.y, p.x));
            }
        }
        for (int e = 0; e < m.numElements(l); ++e) {
            const GridPos c = unpack(m.elementPosition(l)[size_t(e)]);
            EXPECT_EQ(m.elementAt(l, c), e);
            if (e > 0) {  // elements in plain z, y, x order (x fastest)
                const GridPos o = unpack(m.elementPosition(l)[size_t(e - 1)]);
                EXPECT_LT(std::make_tuple(o.z, o.y, o.x), std::make_tuple(c.z, c.y, c.x));
            }
            std::set<int> colours;
            for (int k = 0; k < 8; ++k) {
                const GridPos p{c.x + (k & 1), c.y + ((k >> 1) & 1), c.z + (k >> 2)};
                ASSERT_GE(m.vertexAt(l, p), 0);
                colours.insert((p.x & 1) + 2 * (p.y & 1) + 4 * (p.z & 1));
            }
            EXPECT_EQ(colours.size(), 8u);  // no two vertices of one colour share an element
        }
        // Every vertex touches an element.
        for (int v = 0; v < n; ++v) {
            const GridPos p = unpack(m.vertexPosition(l)[size_t(v)]);
            bool touches = false;
            for (int k = 0; k < 8; ++k)
                touches |= m.elementAt(l, {p.x - (k & 1), p.y - ((k >> 1) & 1), p.z - (k >> 2)}) >= 0;
            EXPECT_TRUE(touches);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HierarchyRandom, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

TEST(Hierarchy, PrintsLevelLines) {
    ::testing::internal::CaptureStdout();
    FemModel m(makeVolume(3, 1, 1, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}), 3);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Building hierarchy ...\nLevel 0:  #Elements: 3   #Vertices: 16\n"
              "Level 1:  #Elements: 2   #Vertices: 12\nLevel 2:  #Elements: 1   #Vertices: 8\n");
}

// The solve state changes only through its setters, which refuse arrays of the wrong size and
// keep the load's norm with the load.
TEST(SolveState, SettersCheckSizesAndKeepTheLoadNorm) {
    FemModel m(makeVolume(2, 1, 1, {{0, 0, 0}, {1, 0, 0}}), 3);
    const size_t nE = 2, dofs = 3 * 12;
    struct Refusal {
        const char* name;
        std::function<void()> call;
    };
    const Refusal refusals[] = {
        {"factors", [&] { m.setStiffnessFactors(std::vector<float>(nE + 1, 1.0f)); }},
        {"no factors", [&] { m.setStiffnessFactors({}); }},
        {"load", [&] { m.setLoad(std::vector<float>(dofs - 1, 1.0f)); }},
        {"displacement", [&] { m.setDisplacement(std::vector<double>(dofs + 3, 1.0)); }},
        {"operator of level 1", [&] { m.setLevelOperator(1, std::vector<double>(243 * 8)); }},
        {"operator of level 3", [&] { m.setLevelOperator(3, std::vector<double>(243 * 8)); }},
        {"operator size", [&] { m.setLevelOperator(2, std::vector<double>(243 * 8 - 1)); }},
    };
    for (const Refusal& r : refusals) EXPECT_THROW(r.call(), std::invalid_argument) << r.name;
    EXPECT_EQ(m.stiffnessFactors(), std::vector<float>(nE, 1000000.0f));
    EXPECT_EQ(m.displacement(), std::vector<double>(dofs, 0.0));
    EXPECT_EQ(m.levelOperator(2), std::vector<double>(243 * 8, 0.0));

    std::vector<float> f(dofs, 0.0f);
    f[0] = 3.0f, f[dofs - 1] = -4.0f;
    m.setLoad(f);
    EXPECT_EQ(m.load(), f);
    EXPECT_EQ(m.loadNorm(), 5.0);
    m.setDisplacement(std::vector<double>(dofs, 2.5));
    m.clearDisplacement();
    EXPECT_EQ(m.displacement(), std::vector<double>(dofs, 0.0));
    m.setStiffnessFactors({0.5f, 2.0f});
    EXPECT_EQ(m.stiffnessFactors(), (std::vector<float>{0.5f, 2.0f}));
    m.setLevelOperator(2, std::vector<double>(243 * 8, 1.5));
    EXPECT_EQ(m.levelOperator(2), std::vector<double>(243 * 8, 1.5));
}

// The element matrices follow the material; the construction's material gives them back bit
// for bit.
TEST(SolveState, MaterialSetsTheElementMatrices) {
    FemModel m(makeVolume(1, 1, 1, {{0, 0, 0}}), 3);
    EXPECT_EQ(m.youngsModulus(), kYoungsModulus);
    EXPECT_EQ(m.poissonRatio(), kPoissonRatio);
    const std::array<double, 576> Ke = m.Ke(), blocks = m.KeBlocks();
    EXPECT_EQ(Ke, elementStiffness(m.voxelSize().x, m.voxelSize().y, m.voxelSize().z,
                                   kYoungsModulus, kPoissonRatio));
    m.setMaterial(1.0e9, 0.3);
    EXPECT_EQ(m.youngsModulus(), 1.0e9);
    EXPECT_EQ(m.poissonRatio(), 0.3);
    EXPECT_EQ(m.Ke(), elementStiffness(m.voxelSize().x, m.voxelSize().y, m.voxelSize().z, 1.0e9, 0.3));
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                    ASSERT_EQ(m.KeBlocks()[size_t((8 * i + j) * 9 + a * 3 + b)],
                              m.Ke()[size_t((3 * i + a) * 24 + 3 * j + b)]);
    m.setMaterial(kYoungsModulus, kPoissonRatio);
    EXPECT_EQ(m.Ke(), Ke);
    EXPECT_EQ(m.KeBlocks(), blocks);
}

}  // namespace
}  // namespace ostrel
