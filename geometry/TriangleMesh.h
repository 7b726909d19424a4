#pragma once
// In-memory triangle mesh: vertex positions with normals, triangles with corner indices, the
// bounding box and the enclosed volume; read from and written to Wavefront OBJ text files.
//
// Contracts used by the scene loader and the optimizer:
// - readObj empties the mesh, reads "v" and "f" lines and returns true on success. Face indices
//   are validated once the whole file is read (faces may precede their vertices): a face naming
//   no existing vertex is rejected with the parse error of its line, so every index of a loaded
//   mesh is in [0, vertices.size()).
// - Every operation that changes positions (readObj, scale, transform) recomputes triangle and
//   vertex normals, center and halfSize before returning; the volume only changes through
//   computeVolume.
// - writeObj writes positions with "%.8e" (enough to restore every float exactly), one empty
//   line, then 1-based faces; a written file reads back into the same positions and triangles.
//   The file is written to a temporary name and renamed into place.
// Messages are one line each on the optional wide stream (null = silent).

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "geometry/Vec3.h"

namespace ostrel {

struct MeshVertex {
    Vec3f position;
    Vec3f normal;  ///< unit length, or zero where no triangle with non-zero area touches it
};

struct MeshTriangle {
    int32_t indices[3];  ///< 0-based, in file order of the corners
    Vec3f normal;        ///< (p1 - p0) x (p2 - p0), not normalized (twice the area)
};

static_assert(sizeof(MeshVertex) == 24, "MeshVertex is a 24-byte record");
static_assert(sizeof(MeshTriangle) == 24, "MeshTriangle is a 24-byte record");

class TriangleMesh {
public:
    bool loaded = false;
    std::vector<MeshVertex> vertices;
    std::vector<MeshTriangle> triangles;
    Vec3f center{};
    Vec3f halfSize{};
    float volume = 0.0f;

    /// Reads an OBJ file. Empties both arrays first; on failure prints one line and returns
    /// false, leaving what was read so far (normals and bounds not updated, loaded false).
    bool readObj(const std::wstring& fileName, std::wostream* messages);
    /// Writes positions and triangles as OBJ; true if the file was written completely.
    bool writeObj(const std::wstring& fileName, std::wostream* messages) const;

    void updateNormals();
    void updateBounds();
    void scale(float factor);
    /// Row-major 4x4 affine transform; the fourth row is ignored.
    void transform(const float m[16]);
    /// Signed enclosed volume (positive for faces counter-clockwise seen from outside).
    float computeVolume();
};

}  // namespace ostrel
