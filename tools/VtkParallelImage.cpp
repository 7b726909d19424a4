#include "tools/VtkParallelImage.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "core/AtomicFile.h"
#include "core/Console.h"

namespace ostrel {
namespace {

size_t bytesPerValue(const VtkDataArray& array) {
    const size_t count = array.components > 0 ? size_t(array.components) : 1;
    if (array.type == "Float64" || array.type == "Int64" || array.type == "UInt64") return 8 * count;
    if (array.type == "Float32" || array.type == "Int32" || array.type == "UInt32") return 4 * count;
    if (array.type == "UInt16" || array.type == "Int16") return 2 * count;
    return count;
}

/// The values of `array` (on a grid of `size` items per axis) in the box [begin, end).
VtkDataArray cutArray(const VtkDataArray& array, const std::array<int, 3>& size,
                      const std::array<int, 3>& begin, const std::array<int, 3>& end) {
    VtkDataArray cut{array.name, array.type, array.components, {}};
    const size_t value = bytesPerValue(array);
    const size_t row = size_t(end[0] - begin[0]) * value;
    cut.bytes.reserve(row * size_t(end[1] - begin[1]) * size_t(end[2] - begin[2]));
    for (int k = begin[2]; k < end[2]; ++k)
        for (int j = begin[1]; j < end[1]; ++j) {
            const size_t at = ((size_t(k) * size_t(size[1]) + size_t(j)) * size_t(size[0]) +
                               size_t(begin[0])) * value;
            cut.bytes.append(array.bytes, at, row);
        }
    return cut;
}

std::string declarations(const char* tag, const std::vector<VtkDataArray>& arrays) {
    std::string xml = std::string("    <") + tag;
    if (!arrays.empty())
        xml += std::string(arrays[0].components == 3 ? " Vectors" : " Scalars") + "=\"" +
               arrays[0].name + "\"";
    xml += ">\n";
    for (const VtkDataArray& a : arrays) {
        xml += "      <PDataArray type=\"" + a.type + "\" Name=\"" + a.name + "\"";
        if (a.components != 1)
            xml += " NumberOfComponents=\"" + std::to_string(a.components) + "\"";
        xml += "/>\n";
    }
    return xml + "    </" + tag + ">\n";
}

}  // namespace

std::vector<CellBox> vtkPieceBoxes(const std::array<int, 3>& cells, int pieces) {
    size_t axis = 2;
    if (cells[2] < pieces)
        for (size_t a : {1u, 0u})
            if (cells[a] > cells[axis]) axis = a;
    const int count = std::max(1, std::min(pieces, cells[axis]));
    std::vector<CellBox> boxes(size_t(count), CellBox{{0, 0, 0}, cells});
    for (int r = 0; r < count; ++r) {
        boxes[size_t(r)].begin[axis] = int(int64_t(r) * cells[axis] / count);
        boxes[size_t(r)].end[axis] = int(int64_t(r + 1) * cells[axis] / count);
    }
    return boxes;
}

VtkImage vtkImagePiece(const VtkImage& image, const CellBox& box) {
    VtkImage piece;
    for (size_t a = 0; a < 3; ++a) {
        piece.cells[a] = box.end[a] - box.begin[a];
        piece.first[a] = image.first[a] + box.begin[a];
    }
    piece.origin = image.origin;
    piece.spacing = image.spacing;
    piece.direction = image.direction;
    const std::array<int, 3> points{image.cells[0] + 1, image.cells[1] + 1, image.cells[2] + 1};
    const std::array<int, 3> pointEnd{box.end[0] + 1, box.end[1] + 1, box.end[2] + 1};
    for (const VtkDataArray& a : image.cellData)
        piece.cellData.push_back(cutArray(a, image.cells, box.begin, box.end));
    for (const VtkDataArray& a : image.pointData)
        piece.pointData.push_back(cutArray(a, points, box.begin, pointEnd));
    return piece;
}

std::string parallelImageFileBytes(const VtkImage& image, const std::vector<CellBox>& boxes,
                                   const std::vector<std::string>& sources) {
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"PImageData\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
        "  <PImageData WholeExtent=\"" +
        vtkExtentText(image.first, image.cells) + "\" GhostLevel=\"0\" " +
        vtkGridAttributes(image) + ">\n";
    xml += declarations("PPointData", image.pointData);
    xml += declarations("PCellData", image.cellData);
    for (size_t p = 0; p < boxes.size() && p < sources.size(); ++p) {
        std::array<long long, 3> first{};
        std::array<int, 3> cells{};
        for (size_t a = 0; a < 3; ++a) {
            first[a] = image.first[a] + boxes[p].begin[a];
            cells[a] = boxes[p].end[a] - boxes[p].begin[a];
        }
        xml += "    <Piece Extent=\"" + vtkExtentText(first, cells) + "\" Source=\"" +
               sources[p] + "\"/>\n";
    }
    return xml + "  </PImageData>\n</VTKFile>\n";
}

std::filesystem::path vtkPiecePath(const std::filesystem::path& file, int piece) {
    return file.parent_path() /
           (file.stem().string() + "_" + std::to_string(piece) + ".vti");
}

bool writeVtkPieces(const std::filesystem::path& file, const VtkImage& image, int pieces,
                    std::ostream* log) {
    const std::vector<CellBox> boxes = vtkPieceBoxes(image.cells, pieces);
    // An earlier ".pvti" of this name goes first: written over piece by piece, its pieces are a
    // mix of old and new until the new ".pvti" names them all, which a failure never does.
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    std::vector<std::string> sources;
    for (size_t p = 0; p < boxes.size(); ++p) {
        const std::filesystem::path piece = vtkPiecePath(file, int(p));
        // One piece at a time: besides the whole image, at most one piece is in memory.
        if (!writeVtkImage(piece, vtkImagePiece(image, boxes[p]), log)) return false;
        sources.push_back(piece.filename().string());
    }
    const AtomicWriteResult result =
        writeFileAtomically(file.string(), parallelImageFileBytes(image, boxes, sources));
    if (!result && log)
        *log << "ERROR: Cannot write file " << quotedUtf8(file.string()) << result.reasonSuffix()
             << std::endl;
    return bool(result);
}

}  // namespace ostrel
