#pragma once
// The orbits of the level-0 elements under the scene's mirror planes: the elements that one
// design variable serves when the design must be mirror-symmetric.
//
// Each plane lies on a face or through the centres of a layer of elements: a given coordinate
// is taken to the nearest such plane, and a plane without one is the centre plane of the
// elements' extent on its axis. The voxel model must be its own mirror image about every plane
// (compared element for element); a plane that does not cut through the elements, or a model
// with elements whose mirror image is missing, is refused with a message that names the plane.
//
// An orbit holds up to 2^planes elements (fewer where an element is its own mirror image); every
// member lists the same orbit in ascending order, padded with -1, so that a sum over it is
// formed in the same order, bit for bit the same, whichever member forms it.

#include <string>
#include <vector>

#include "scene/SymmetryPlanes.h"

namespace ostrel {

class FemModel;

struct SymmetryOrbits {
    int size = 1;              ///< slots per orbit, 2^planes (1: no symmetry)
    std::vector<int> members;  ///< numElements * size: element e's orbit at [e * size, ...)
    bool symmetric() const { return size > 1; }
};

/// The orbits of `model`'s level-0 elements; false with an "ERROR: ..." line in `error` when a
/// plane misses the model or the model is not symmetric about it.
bool symmetryOrbits(const FemModel& model, const std::vector<SymmetryPlane>& planes,
                    SymmetryOrbits& orbits, std::wstring& error);

/// Sums `values` (one per element) over the orbit of every element that `held` (one flag per
/// element, nonzero: the element's design variable is not shared) does not mark, counting only
/// the orbit's members that are not held either; held elements keep their values. The same sum
/// as the kernel module's orbit kernel, for the tests' reference steps.
void sumOverOrbits(const SymmetryOrbits& orbits, const std::vector<uint8_t>& held,
                   std::vector<double>& values);

}  // namespace ostrel
