#pragma once
// Results of an optimization as a VTK XML image-data file (".vti"), which ParaView and the vtk
// Python package read: the level-0 element grid as cells, its vertex grid as points.
//
// File layout: an XML header ("ImageData", version 1.0, little-endian, UInt64 block headers)
// with the extent, origin, spacing and, when the grid is not axis-aligned with unit axes, the
// direction matrix; then every array in one "AppendedData" block with raw encoding: for each
// array a 64-bit byte count and the values, x fastest, then y, then z. Offsets in the header
// count from the byte after the block's "_" marker.
//
// resultImage fills, per cell: "Density" (the physical density rho, Float32), "Design" (the
// design variable x, Float32), "Kept" (1 for elements kept solid, UInt8), "Energy" (the element
// energy q of the last solve, Float32) and "Solid" (1 where the voxel model has an element,
// UInt8); cells without an element hold 0 in every array. Per point: "Displacement" (the three
// components of the last solve, Float32), 0 at grid points without a vertex.
//
// readVtkImage reads such a file back: the layout above with UInt64 or UInt32 block headers,
// any data arrays of the listed types. It checks every size and offset against the extent and
// the file's length, so a truncated or foreign file gives an error, never a wild read; every
// number of the header is checked for overflow; an encoding other than raw and a compressor are
// refused by name; a '>' inside a quoted attribute value is part of the value; arrays whose
// blocks share bytes are refused, so each block is copied once and the arrays together are no
// larger than the file. A name that is no regular file (a FIFO) is refused before it is opened.
// The writer streams the file from the arrays without joining them in memory.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "geometry/Matrix4.h"
#include "geometry/Vec3.h"

namespace ostrel {

class FemModel;
struct DesignSnapshot;

/// Appends `value`'s bytes to `bytes` in little-endian order, the byte order of the files.
template <typename T>
void appendLittleEndian(std::string& bytes, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big)
        std::reverse(raw, raw + sizeof(T));
    bytes.append(raw, sizeof(T));
}

struct VtkDataArray {
    std::string name;
    std::string type;  ///< VTK type name: "Float32", "Float64", "UInt8"
    int components = 1;
    std::string bytes;  ///< little-endian values, one per cell or point (times components)
};

struct VtkImage {
    std::array<int, 3> cells{};  ///< cells per axis; the points are cells + 1 per axis
    /// Index of the grid's first point per axis (the extent's lower bounds, 0 but in a piece
    /// of a larger image): the grid's points are first ... first + cells.
    std::array<long long, 3> first{};
    Vec3d origin{};              ///< position of point (0, 0, 0), also when first is not 0
    Vec3d spacing{1, 1, 1};      ///< distance of neighbouring points along each grid axis
    /// Row-major 3x3 map from grid axes to space: point (i, j, k) lies at
    /// origin + direction * (i * spacing.x, j * spacing.y, k * spacing.z).
    std::array<double, 9> direction{1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<VtkDataArray> cellData;
    std::vector<VtkDataArray> pointData;
};

/// The result arrays of `state` (a snapshot of an optimization of `model`) on the model's
/// level-0 grid, placed by `toOutput` (the affine map from model coordinates to the coordinates
/// of the written file; displacements are mapped by its linear part). An invalid snapshot gives
/// zeros, a snapshot without displacement zero displacements.
VtkImage resultImage(const FemModel& model, const DesignSnapshot& state, const Matrix4& toOutput);

/// "x0 x1 y0 y1 z0 z1": the extent of the points first ... first + cells.
std::string vtkExtentText(const std::array<long long, 3>& first, const std::array<int, 3>& cells);
/// The grid's XML attributes: Origin, Spacing and, when not the identity, Direction.
std::string vtkGridAttributes(const VtkImage& image);

/// The whole file's bytes.
std::string vtkImageFileBytes(const VtkImage& image);

/// Writes the file atomically; a failure prints "ERROR: Cannot write file "<name>"" on `log`.
bool writeVtkImage(const std::filesystem::path& file, const VtkImage& image, std::ostream* log);

/// Parses the bytes of a file written by vtkImageFileBytes (or another writer of the same
/// layout). On failure returns false with the reason in `error` (one sentence, no "ERROR: ").
bool parseVtkImage(std::string_view bytes, VtkImage& image, std::string& error);

/// Reads and parses `file`; the reason of a failure names the file. A parallel image file
/// (".pvti", VTK's "PImageData" XML, told by its content) is read with its pieces, which its
/// "Source" attributes name relative to its folder, and the pieces are joined into one image
/// of the whole extent: each piece must be a complete image file of the extent the ".pvti"
/// gives it, with its origin, spacing and direction, and hold every array the ".pvti" declares
/// (name, type, components); the pieces' cells must cover the whole extent once (their points
/// overlap where they meet). A missing or broken piece, a gap, an overlap of cells or a
/// disagreement gives an error naming the ".pvti" (and the piece).
bool readVtkImage(const std::filesystem::path& file, VtkImage& image, std::string& error);

/// The cell array `name`; null when the image has none.
const VtkDataArray* findCellArray(const VtkImage& image, const std::string& name);
/// Decodes a single-component array's values (Float32, Float64, UInt8) into doubles.
std::vector<double> arrayValues(const VtkDataArray& array);

}  // namespace ostrel
