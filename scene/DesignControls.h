#pragma once
// What a scene asks of the optimization beyond the loads: the final volume fraction, the filter
// radius (member size), the projection mode and the regions where material must or must not be.
// The scene loader fills it from optional keys; ostrel-batch options override single fields; the
// optimizer takes it before its reset. The defaults reproduce the optimization without any of
// these controls exactly.
//
//   volumeFraction  final fraction of the volume, in (0, 1); the reduction goal is 1 - f.
//   filterRadius    in voxel lengths, from kMinFilterRadius to kMaxFilterRadius. The default
//                   2*sqrt(3) keeps the 5 x 5 x 5 neighbourhood; any other radius takes every
//                   offset closer than the radius.
//   filterRadiusGiven  the radius was set (scene key or option), whatever its value: the
//                   filter then pads the grid's faces with void (so does projection mode 1).
//   projection      0: densities are the filtered design (the projection's sharpness grows but
//                   is never applied during the iteration); 1: densities are the projected
//                   filtered design in every iteration, with exact sensitivities.
//   minMember       the smallest member asked for, in voxel lengths, from kMinMemberSize to
//                   kMaxMemberSize; 0 = none (a design rule, not a guarantee: README.md). Given, it sets filterRadius to
//                   memberFilterRadius(minMember) (filterRadiusGiven) and implies projection
//                   mode 1 on three projections of the one filtered design (Optimizer.h).
//   keepSolid       world boxes (prepared mesh coordinates, bounds included): elements whose
//                   centre lies in one are held at density 1.
//   keepEmpty       world boxes: elements whose centre lies in one are held at the lower density
//                   bound and left out of the design and of the volume. Where a kept-solid
//                   element (fixed, loaded or in a keep-solid box) lies in a keep-empty box,
//                   solid wins.
//   symmetry        mirror planes (scene/SymmetryPlanes.h): mirrored elements share one design
//                   variable, so the design is mirror-symmetric; none by default.
//   loadCaseWeights one weight per load case when the scene has several (scene/LoadCases.h):
//                   the objective is the weighted sum of their compliances; empty with one.

#include <vector>

#include "geometry/Vec3.h"
#include "scene/SymmetryPlanes.h"

namespace ostrel {

/// Axis-aligned box in world coordinates, bounds included; lo <= hi on every axis.
struct WorldBox {
    Vec3d lo{}, hi{};
    bool contains(const Vec3d& p) const {
        return p.x >= lo.x && p.x <= hi.x && p.y >= lo.y && p.y <= hi.y && p.z >= lo.z &&
               p.z <= hi.z;
    }
};

struct DesignControls {
    static constexpr double kDefaultVolumeFraction = 0.36;
    /// 2*sqrt(3), the radius of the 5 x 5 x 5 neighbourhood.
    static constexpr double kDefaultFilterRadius = 3.4641016151377544;
    static constexpr double kMinFilterRadius = 1.0;
    static constexpr double kMaxFilterRadius = 10.0;

    static constexpr double kMinMemberSize = 2.0;
    static constexpr double kMaxMemberSize = 8.0;
    /// The smallest member of the intermediate design per filter radius. With the cone filter
    /// of radius R in three dimensions the filtered density at the middle of a plate t thick
    /// (t = 2aR) is 2 (a - a^3 + a^4 / 2); it reaches the eroded threshold 0.75 from t = 0.885 R
    /// on, and such a plate's intermediate projection (threshold 0.5) is t thick: the thinnest
    /// member the eroded design can carry (a bar needs more). The void is the mirror image with
    /// the dilated threshold 0.25.
    static constexpr double kMemberPerRadius = 0.885;
    /// The filter radius of the minimum member size d (voxel lengths): d / kMemberPerRadius.
    static double memberFilterRadius(double d) { return d / kMemberPerRadius; }
    /// The radius (voxel lengths, between element centres) of the solid pads a minimum member
    /// size `d` holds around the elements at fixed and loaded vertices: half the size, so that
    /// the pads reach past the skin along the object's surface that the eroded design never
    /// fills (about 0.3 filter radii) and members of the size can attach to them.
    static double memberPadRadius(double d) { return 0.5 * d; }

    double volumeFraction = kDefaultVolumeFraction;
    double filterRadius = kDefaultFilterRadius;
    bool filterRadiusGiven = false;
    int projection = 0;
    double minMember = 0;
    std::vector<WorldBox> keepSolid;
    std::vector<WorldBox> keepEmpty;
    std::vector<SymmetryPlane> symmetry;
    std::vector<double> loadCaseWeights;
};

}  // namespace ostrel
