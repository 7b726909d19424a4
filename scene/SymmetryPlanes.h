#pragma once
// Mirror planes of the design: the scene key SYMMETRY_PLANES lists up to three planes, each an
// axis letter (x, y or z) and an optional coordinate in world units (the prepared mesh's
// coordinates, as the keep boxes); without a coordinate the plane is the voxel model's centre
// plane on that axis. For example "x 1.0  z": the plane x = 1 and the centre plane normal to z.
// Each axis may appear once.

#include <string>
#include <vector>

namespace ostrel {

struct SymmetryPlane {
    int axis = 0;               ///< 0, 1, 2 for x, y, z
    bool centre = true;         ///< the model's centre plane (no coordinate given)
    double coordinate = 0.0;    ///< world coordinate of the plane when !centre
};

/// Parses the value of SYMMETRY_PLANES into `planes`; false with `why` (a sentence that
/// follows the key's name, e.g. "names the axis x twice") on a bad value.
bool parseSymmetryPlanes(const std::wstring& text, std::vector<SymmetryPlane>& planes,
                         std::wstring& why);

/// "x", "y" or "z".
const wchar_t* axisName(int axis);

/// The plane as a user reads it: "x = 1.5" or "the centre plane normal to x".
std::wstring describePlane(const SymmetryPlane& plane);

}  // namespace ostrel
