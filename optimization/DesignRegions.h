#pragma once
// Which level-0 elements the optimization holds and which it designs, and the check of a design
// before its run.
//
// An element is kept (held solid, density 1) when one of its corner vertices is fixed or
// carries a force (with a minimum member size also when its centre lies within
// DesignControls::memberPadRadius of such an element's: a solid pad that members of that size
// can attach to; counted as kept at vertices), or when its centre lies in a keep-solid box; it
// is held empty when its
// centre lies in a keep-empty box and it is not kept (solid wins). The others are designable.
// The volume (V0) counts every element but the ones held empty.
//
// checkDesign judges the loads, the design-control boxes and the volume fraction against that
// split before the run: an error when no force acts on a vertex that is not fixed in any load
// case (the
// compliance is then 0 whatever the design: nothing to optimize), when no element is left to
// design, when the volume fraction is less than one element's share of the volume, or when the
// kept elements alone fill more than the volume fraction (with keep-solid boxes; without them
// the fixed and loaded elements only draw a warning, as such a run is what the program has
// always done), and when a keep-solid or keep-empty box holds no element centre (it would do
// nothing: a box in the wrong coordinates; the message names the range of the centres); a
// warning for every keep-solid and keep-empty box that overlap; an error when the model is not
// symmetric about one of the mirror planes, or a plane misses it (SymmetryOrbits.h). Messages are single
// "ERROR: "/"WARNING: "
// lines without line ends.

#include <cstdint>
#include <string>
#include <vector>

#include "scene/DesignControls.h"

namespace ostrel {

class FemModel;

struct DesignRegions {
    std::vector<uint8_t> kept;       ///< per element: 1 = held solid
    std::vector<uint8_t> emptyHeld;  ///< per element: 1 = held empty
    /// Per keep-solid and keep-empty box: the element centres inside it.
    std::vector<long long> solidBoxElements, emptyBoxElements;
    long long keptAtVertices = 0;  ///< elements kept for a fixed or loaded corner vertex
    long long keptCount = 0, emptyHeldCount = 0;  ///< all kept, all held empty
    /// Per element: 1 = kept with a loaded corner vertex (where the filter anchors members).
    std::vector<uint8_t> loadedKept;
};

/// The split of `model`'s level-0 elements under `controls` (reads isVertexFixed_, force_,
/// elementPosition_, origin_ and voxelSize_); a vertex loaded in one of `moreLoads` (the further
/// load cases' forces, 3 per vertex) counts as loaded too.
DesignRegions markDesignRegions(const FemModel& model, const DesignControls& controls,
                                 const std::vector<std::vector<float>>* moreLoads = nullptr);

struct DesignCheck {
    std::wstring error;                 ///< empty = the design can run
    std::vector<std::wstring> warnings;
};

/// "ERROR: No force acts on the model: ..." when no vertex that is not fixed carries a force
/// in any load case (forces(), the further cases' `moreLoads`, 3 per vertex each (null: none),
/// and fixedFlags(); gravity is not a load of an optimization); empty otherwise. A vertex loaded
/// in several cases counts once.
std::wstring loadError(const FemModel& model,
                       const std::vector<std::vector<float>>* moreLoads = nullptr);

/// "ERROR: The volume fraction ... is less than one element's share of the volume ..." when the
/// volume fraction of `controls` times the elements not held empty is below one element; empty
/// otherwise. Part of checkDesign.
std::wstring volumeFractionError(const DesignControls& controls, const DesignRegions& regions);

/// The check of the header comment; `regions` come from markDesignRegions(model, controls,
/// moreLoads), `moreLoads` as for loadError.
DesignCheck checkDesign(const FemModel& model, const DesignControls& controls,
                        const DesignRegions& regions,
                        const std::vector<std::vector<float>>* moreLoads = nullptr);

}  // namespace ostrel
