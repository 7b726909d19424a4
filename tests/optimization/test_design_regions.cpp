// Which elements are held and the check of a design before its run: counts against the grid
// worked out by hand, exact messages of the refusals and warnings, and no message for a design
// that can run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "optimization/DesignRegions.h"
#include "tools/Cantilever.h"

namespace ostrel {
namespace {

long long count(const std::vector<uint8_t>& flags) {
    return std::count(flags.begin(), flags.end(), uint8_t(1));
}

// The cantilever of 16 x 4 x 4 voxels of 0.125 (2 x 0.5 x 0.5): x = 0 fixed (the 16 elements
// of the first layer are kept), the lower edge of the free end loaded (the 4 elements below
// it are kept): 20 of 256 elements kept by their vertices.
constexpr int kElements = 256;
constexpr int kKeptByVertices = 20;

TEST(DesignRegions, VerticesAndBoxesHoldTheElementsWhoseCentresTheyHold) {
    const auto model = makeCantilever(16, 4, 4, 0.125, 3);
    DesignControls none;
    DesignRegions r = markDesignRegions(*model, none);
    EXPECT_EQ(count(r.kept), kKeptByVertices);
    EXPECT_EQ(count(r.emptyHeld), 0);
    EXPECT_EQ(r.keptAtVertices, kKeptByVertices);
    EXPECT_EQ(r.keptCount, kKeptByVertices);
    EXPECT_EQ(r.emptyHeldCount, 0);
    for (int e = 0; e < kElements; ++e) {
        const GridPos p = unpack(model->elementPosition(0)[size_t(e)]);
        EXPECT_EQ(r.kept[size_t(e)], p.x == 0 || (p.x == 15 && p.z == 0)) << e;
    }

    // Keep-solid x <= 0.5 (centres of layers 0 to 3: 64 elements), keep-empty x >= 1.5
    // (layers 12 to 15: 64 elements, of which the 4 loaded ones stay solid), and a keep-empty
    // box around layers 2 and 3 (32 elements, all inside the keep-solid box).
    DesignControls c;
    c.keepSolid = {{{-1, -1, -1}, {0.5, 1, 1}}};
    c.keepEmpty = {{{1.5, -1, -1}, {3, 1, 1}}, {{0.25, -1, -1}, {0.5, 1, 1}}};
    r = markDesignRegions(*model, c);
    EXPECT_EQ(r.solidBoxElements, (std::vector<long long>{64}));
    EXPECT_EQ(r.emptyBoxElements, (std::vector<long long>{64, 32}));
    EXPECT_EQ(count(r.kept), 64 + 4);
    EXPECT_EQ(count(r.emptyHeld), 60);
    EXPECT_EQ(r.keptAtVertices, kKeptByVertices);
    EXPECT_EQ(r.keptCount, 64 + 4);
    EXPECT_EQ(r.emptyHeldCount, 60);
    for (int e = 0; e < kElements; ++e) {
        const GridPos p = unpack(model->elementPosition(0)[size_t(e)]);
        EXPECT_EQ(r.kept[size_t(e)], p.x <= 3 || (p.x == 15 && p.z == 0)) << e;
        EXPECT_EQ(r.emptyHeld[size_t(e)], p.x >= 12 && !(p.x == 15 && p.z == 0)) << e;
    }
}

TEST(DesignRegions, AMinimumMemberSizeHoldsPadsAroundTheSupportsAndLoads) {
    // Every element whose centre lies within half the member size of an element at a fixed or
    // loaded vertex is held solid as well: against the distances worked out element by element,
    // and for size 3 (pad radius 1.5) by hand: layers x = 0, 1 and the loaded end's two lowest
    // layers of x = 14 and 15 (diagonal 1.41 in, 2 out).
    const auto model = makeCantilever(16, 4, 4, 0.125, 3);
    const DesignRegions plain = markDesignRegions(*model, DesignControls());
    const auto centre = [&](size_t e) { return unpack(model->elementPosition(0)[e]); };
    const struct { double size; long long expected; } cases[] = {{2, 16 * 2 + 4 * 3}, {3, 48},
                                                                {5, 16 * 3 + 4 * 3 * 3 - 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        DesignControls controls;
        controls.minMember = c.size;
        const DesignRegions r = markDesignRegions(*model, controls);
        const double radius = DesignControls::memberPadRadius(c.size);
        for (size_t e = 0; e < size_t(kElements); ++e) {
            const GridPos p = centre(e);
            double nearest = 1e9;
            for (size_t s = 0; s < size_t(kElements); ++s) {
                if (!plain.kept[s]) continue;
                const GridPos q = centre(s);
                nearest = std::min(nearest, std::sqrt(double((p.x - q.x) * (p.x - q.x) +
                                                             (p.y - q.y) * (p.y - q.y) +
                                                             (p.z - q.z) * (p.z - q.z))));
            }
            EXPECT_EQ(r.kept[e], nearest <= radius) << e;
        }
        EXPECT_EQ(r.keptCount, c.expected);
        EXPECT_EQ(r.keptAtVertices, c.expected);
    }
}

TEST(DesignCheck, ImpossibleDesignsAreRefusedAndOverlapsWarned) {
    const auto model = makeCantilever(16, 4, 4, 0.125, 3);
    const WorldBox whole{{-1, -1, -1}, {3, 1, 1}};
    const WorldBox firstHalf{{-1, -1, -1}, {1, 1, 1}};    // layers 0 to 7: 128 elements
    const WorldBox firstQuarter{{-1, -1, -1}, {0.5, 1, 1}};  // layers 0 to 3: 64 elements
    const WorldBox tail{{1.5, -1, -1}, {3, 1, 1}};          // layers 12 to 15
    const WorldBox touching{{0.5, -1, -1}, {0.6, 1, 1}};    // layer 4, from the plane x = 0.5
    const WorldBox plane{{0.5, -1, -1}, {0.5, 1, 1}};       // the plane x = 0.5: no centre
    const WorldBox outside{{5, 5, 5}, {6, 6, 6}};
    struct Case {
        const char* name;
        std::vector<WorldBox> solid, empty;
        double volumeFraction;
        std::wstring error;
        std::vector<std::wstring> warnings;
    };
    const Case cases[] = {
        {"the whole model held empty",
         {},
         {whole},
         0.36,
         L"ERROR: No element is left to design: of the model's 256 elements, 20 are held "
         L"solid (fixed or loaded vertices, KEEP_SOLID_BOXES) and 236 empty (KEEP_EMPTY_BOXES)",
         {}},
        {"the whole model held solid",
         {whole},
         {},
         0.36,
         L"ERROR: No element is left to design: of the model's 256 elements, 256 are held "
         L"solid (fixed or loaded vertices, KEEP_SOLID_BOXES) and 0 empty (KEEP_EMPTY_BOXES)",
         {}},
        {"keep-solid above the goal",
         {firstHalf},
         {},
         0.36,
         L"ERROR: The elements held solid fill 0.5156 of the volume, more than the volume "
         L"fraction of 0.36 (OPTIMIZATION_VOLUME_FRACTION): 132 of 256 elements lie in "
         L"KEEP_SOLID_BOXES or touch fixed or loaded vertices",
         {}},
        {"keep-solid above the goal of the remaining volume",
         {firstQuarter},
         {tail},
         0.3,
         L"ERROR: The elements held solid fill 0.3469 of the volume, more than the volume "
         L"fraction of 0.3 (OPTIMIZATION_VOLUME_FRACTION): 68 of 196 elements lie in "
         L"KEEP_SOLID_BOXES or touch fixed or loaded vertices",
         {}},
        {"keep-solid below the goal", {firstQuarter}, {}, 0.36, L"", {}},
        {"fixed and loaded elements alone above the goal",
         {},
         {},
         0.05,
         L"",
         {L"WARNING: The elements at fixed or loaded vertices fill 0.07812 of the volume, more "
          L"than the volume fraction of 0.05 (OPTIMIZATION_VOLUME_FRACTION); the volume cannot "
          L"come down to it"}},
        {"overlapping boxes",  // 68 kept of the 132 elements outside the keep-empty boxes
         {firstQuarter},
         {tail, firstHalf},
         0.6,
         L"",
         {L"WARNING: KEEP_SOLID_BOXES box 1 and KEEP_EMPTY_BOXES box 2 overlap: the 64 "
          L"elements in both stay solid"}},
        {"boxes that touch",
         {firstQuarter},
         {touching},
         0.36,
         L"",
         {L"WARNING: KEEP_SOLID_BOXES box 1 and KEEP_EMPTY_BOXES box 1 touch or overlap, but no "
          L"element lies in both"}},
        {"disjoint boxes", {firstQuarter}, {tail}, 0.36, L"", {}},
        {"a keep-solid box outside the part",
         {firstQuarter, outside},
         {},
         0.36,
         L"ERROR: KEEP_SOLID_BOXES box 2 (5 5 5 6 6 6) holds no element centre, so it would do "
         L"nothing; the element centres lie from (0.0625 0.0625 0.0625) to (1.9375 0.4375 "
         L"0.4375) in world coordinates (the prepared mesh's, its box starting at 0 0 0)",
         {}},
        {"a keep-empty box between element centres",
         {},
         {plane},
         0.36,
         L"ERROR: KEEP_EMPTY_BOXES box 1 (0.5 -1 -1 0.5 1 1) holds no element centre, so it would "
         L"do nothing; the element centres lie from (0.0625 0.0625 0.0625) to (1.9375 0.4375 "
         L"0.4375) in world coordinates (the prepared mesh's, its box starting at 0 0 0)",
         {}},
        // The volume fraction must leave at least one element's volume (1/256 here).
        {"less than one element",
         {},
         {},
         1e-9,
         L"ERROR: The volume fraction 1e-09 (OPTIMIZATION_VOLUME_FRACTION) is less than one "
         L"element's share of the volume (1 of 256 elements: 0.003906)",
         {}},
        {"far less than one element",
         {},
         {},
         1e-300,
         L"ERROR: The volume fraction 1e-300 (OPTIMIZATION_VOLUME_FRACTION) is less than one "
         L"element's share of the volume (1 of 256 elements: 0.003906)",
         {}},
        {"exactly one element",
         {},
         {},
         1.0 / 256,
         L"",
         {L"WARNING: The elements at fixed or loaded vertices fill 0.07812 of the volume, more "
          L"than the volume fraction of 0.003906 (OPTIMIZATION_VOLUME_FRACTION); the volume "
          L"cannot come down to it"}},
    };
    for (const Case& c : cases) {
        DesignControls controls;
        controls.keepSolid = c.solid;
        controls.keepEmpty = c.empty;
        controls.volumeFraction = c.volumeFraction;
        const DesignCheck check =
            checkDesign(*model, controls, markDesignRegions(*model, controls));
        EXPECT_EQ(check.error, c.error) << c.name;
        EXPECT_EQ(check.warnings, c.warnings) << c.name;
    }
}

// A design needs a force on a vertex that is not fixed in some load case: without one its
// compliance is 0 whatever the design. The check comes first, before the boxes are judged.
TEST(DesignRegions, ADesignWithoutAForceOnAFreeVertexIsRefused) {
    struct Case {
        const char* name;
        int fixedLoaded;  ///< loaded vertices (of the 5 on the free end's lower edge) to fix
        bool noForce;
        /// A second load case's force: none, on a free vertex of the free end's top edge, or on
        /// the first vertex of the lower edge (fixed with fixedLoaded > 0, loaded in case 1 too)
        /// or on a clamped vertex.
        enum { kNone, kFree, kLowerEdge, kClamped } further;
        std::wstring error;
    };
    const std::wstring tail =
        L", so its compliance is 0 whatever the design and there is nothing to optimize; load "
        L"vertices that are not fixed (FORCES, ostrel-make-scene --load)";
    const Case cases[] = {
        {"no force", 0, true, Case::kNone,
         L"ERROR: No force acts on the model: the scene sets no force (FORCES)" + tail},
        {"every loaded vertex fixed", 5, false, Case::kNone,
         L"ERROR: No force acts on the model: all 5 loaded vertices are fixed" + tail},
        {"one loaded vertex free", 4, false, Case::kNone, L""},
        {"every loaded vertex free", 0, false, Case::kNone, L""},
        {"case 1 empty, case 2 on a free vertex", 0, true, Case::kFree, L""},
        {"case 1 on fixed vertices, case 2 on a free vertex", 5, false, Case::kFree, L""},
        {"both cases on the same fixed vertex", 5, false, Case::kLowerEdge,
         L"ERROR: No force acts on the model: all 5 loaded vertices are fixed" + tail},
        {"case 1 on fixed vertices, case 2 on another", 5, false, Case::kClamped,
         L"ERROR: No force acts on the model: all 6 loaded vertices are fixed" + tail},
        {"case 1 empty, case 2 on a fixed vertex", 0, true, Case::kClamped,
         L"ERROR: No force acts on the model: all 1 loaded vertex is fixed" + tail},
    };
    for (const Case& c : cases) {
        const auto model = makeCantilever(16, 4, 4, 0.125, 3);
        if (c.noForce) model->clearForces();
        int fixed = 0;
        for (size_t v = 0; v < model->fixedFlags().size() && fixed < c.fixedLoaded; ++v)
            if (model->forces()[3 * v + 2] != 0.0f) {
                model->setFixed(v, true);
                ++fixed;
            }
        std::vector<std::vector<float>> more;
        if (c.further != Case::kNone) {
            const GridPos at = c.further == Case::kFree        ? GridPos{16, 4, 4}
                               : c.further == Case::kLowerEdge ? GridPos{16, 0, 0}
                                                               : GridPos{0, 2, 2};
            more.assign(1, std::vector<float>(model->forces().size(), 0.0f));
            more[0][3 * size_t(model->vertexAt(0, at)) + 1] = 7.0f;
        }
        const auto* moreLoads = c.further == Case::kNone ? nullptr : &more;
        EXPECT_EQ(loadError(*model, moreLoads), c.error) << c.name;
        DesignControls controls;
        controls.keepSolid = {{{-1, -1, -1}, {9, 9, 9}}};  // nothing left to design either
        EXPECT_EQ(checkDesign(*model, controls, markDesignRegions(*model, controls, moreLoads),
                              moreLoads)
                      .error,
                  c.error.empty() ? L"ERROR: No element is left to design: of the model's 256 "
                                    L"elements, 256 are held solid (fixed or loaded vertices, "
                                    L"KEEP_SOLID_BOXES) and 0 empty (KEEP_EMPTY_BOXES)"
                                  : c.error)
            << c.name;
    }
}

}  // namespace
}  // namespace ostrel
