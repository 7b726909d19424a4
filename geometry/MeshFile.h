#pragma once
// Mesh files in the formats that engineers bring: Wavefront OBJ and STL (binary and ASCII).
//
// readMeshFile chooses the reader by the file's content, not its name:
// - binary STL: at least 84 bytes and exactly 84 + 50 * (the triangle count at byte 80) bytes;
// - ASCII STL: text whose first word is "solid";
// - OBJ: any other text (TriangleMesh::readObj);
// - anything else (binary data that is no complete binary STL) is refused with
//   "ERROR: File "<name>" is neither an OBJ file nor an STL file (binary or ASCII)".
// STL lists every triangle with its own three corners; the readers weld corners with exactly
// the same position into one vertex (first appearance first, -0 equal to 0), so a closed STL
// surface gives a closed mesh with shared vertices. Facet normals in the file are ignored: the
// normals are recomputed from the corners, as for OBJ. Coordinates must be finite.
//
// writeStl writes binary STL: an 80-byte header that does not begin with "solid", the triangle
// count, and per triangle the unit normal, the three corners (32-bit little-endian floats) and
// a zero attribute word. The file is written to a temporary name and renamed into place.
// Messages are one line each on the optional wide stream (null = silent).

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "geometry/TriangleMesh.h"

namespace ostrel {

enum class MeshFileFormat { Obj, BinaryStl, AsciiStl, Unknown };

/// The format of a file from its first bytes (at least the first 512 when the file is that
/// long) and its size in bytes.
MeshFileFormat detectMeshFileFormat(std::string_view firstBytes, uint64_t fileSize);

/// Reads an OBJ or STL file into `mesh` (emptied first); on success normals and bounds are
/// updated and loaded is set. On failure prints one line and returns false.
bool readMeshFile(TriangleMesh& mesh, const std::wstring& fileName, std::wostream* messages);

/// STL readers on the file's bytes (`fileName` only names the file in messages).
bool readBinaryStl(TriangleMesh& mesh, std::string_view bytes, const std::wstring& fileName,
                   std::wostream* messages);
bool readAsciiStl(TriangleMesh& mesh, std::string_view bytes, const std::wstring& fileName,
                  std::wostream* messages);

/// Writes the mesh as binary STL; true if the file was written completely.
bool writeStl(const TriangleMesh& mesh, const std::wstring& fileName, std::wostream* messages);

/// Merges vertices with bit-identical positions (-0 and 0 count as equal) and renumbers the
/// triangles; the kept vertices stay in order of first appearance. Normals and bounds are
/// recomputed.
void weldVertices(TriangleMesh& mesh);

}  // namespace ostrel
