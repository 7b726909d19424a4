#pragma once
// An image written in pieces, one per process of a many-process run, as VTK's parallel image
// data (".pvti") that ParaView and the vtk Python package read as one image: the ".pvti" gives
// the whole extent, the origin, spacing and direction, the arrays' declarations (names, types,
// components) and one "Piece" per piece file "<name>_<r>.vti" (r = 0, 1, ...), a complete
// image file (tools/VtkImage.h) of its own extent in the whole image's indices.
//
// The pieces split the cells evenly along z, the last axis (the pieces' sizes differ by at most
// one cell layer). A grid with fewer z cells than pieces asked for is split along its longest
// axis (the later axis of equal ones), and into fewer pieces when that axis too has fewer cells:
// every piece holds cells. Neighbouring pieces share the points of their common face (their
// point extents overlap by one), as VTK requires; the cells are each in one piece.
//
// The whole image is written from one process's whole field, the pieces cut from it: every
// process of the run holds the whole design, so process 0 has all the values. Each piece and
// then the ".pvti" are written atomically (core/AtomicFile), the ".pvti" last, so that it always
// names complete pieces. readVtkImage (tools/VtkImage.h) reads the result back as one image.

#include <array>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/VtkImage.h"

namespace ostrel {

/// Cells [begin, end) along each axis, counted from the image's first cell.
struct CellBox {
    std::array<int, 3> begin{};
    std::array<int, 3> end{};
};

/// The boxes of the pieces of a grid of `cells` split for `pieces` processes (pieces >= 1),
/// as the header says: at most `pieces` boxes, each with cells, together the whole grid.
std::vector<CellBox> vtkPieceBoxes(const std::array<int, 3>& cells, int pieces);

/// The part of `image` in `box`: its cells, and the points of those cells.
VtkImage vtkImagePiece(const VtkImage& image, const CellBox& box);

/// The ".pvti" file's bytes for `image` cut into `boxes`, whose files are `sources`.
std::string parallelImageFileBytes(const VtkImage& image, const std::vector<CellBox>& boxes,
                                   const std::vector<std::string>& sources);

/// The piece file `piece` of the ".pvti" file `file`: "<stem>_<piece>.vti" in its folder.
std::filesystem::path vtkPiecePath(const std::filesystem::path& file, int piece);

/// Writes `image` as the ".pvti" `file` and its pieces for `pieces` processes, an earlier
/// ".pvti" of that name removed first; a failure prints "ERROR: Cannot write file "<name>""
/// on `log` and leaves no ".pvti".
bool writeVtkPieces(const std::filesystem::path& file, const VtkImage& image, int pieces,
                    std::ostream* log);

}  // namespace ostrel
