#pragma once
// The state of an optimization at one moment, as every result file reads it: a value, complete
// when made, so that no writer can read an array the device has not brought back.
//
// Optimizer::snapshot() fills the design part (bringing the device's state back first);
// RunControl::snapshot() adds the displacement of the last solve. Per-element arrays are
// indexed by element number, as the optimizer's; every one is empty before the optimizer's
// first reset (valid() is then false).

#include <cstdint>
#include <vector>

#include "geometry/TriangleMesh.h"

namespace ostrel {

struct DesignSnapshot {
    int projection = 0;               ///< the optimizer's projection mode
    std::vector<float> density;       ///< physical density rho
    std::vector<float> design;        ///< design variable x
    /// The filtered design: the filter of x (projection mode 1), the densities (mode 0, whose
    /// densities are that filter already).
    std::vector<float> filtered;
    std::vector<uint8_t> kept;        ///< 1: held solid
    std::vector<uint8_t> emptyHeld;   ///< 1: held empty (keep-empty box)
    std::vector<double> energy;       ///< element energy q of the last solve
    std::vector<float> stiffness;     ///< element factor E of the next solve (the model's)
    /// Displacement of the last solve, the model's displacement() layout (3 blocks of the level-0 vertex
    /// count, x then y then z); empty when not taken (Optimizer::snapshot alone).
    std::vector<double> displacement;
    TriangleMesh shape;               ///< the shape surface of the densities (iso level 0.5)
    double totalDensity = 0.0;        ///< sum of rho over the elements not held empty

    bool valid() const { return !density.empty(); }
};

/// Fraction of the designable elements (neither kept nor held empty) with 0.1 < rho < 0.9; 0
/// when there are none.
double greyFraction(const DesignSnapshot& snapshot);

}  // namespace ostrel
