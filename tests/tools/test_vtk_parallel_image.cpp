// The parallel image files: how a grid is split into pieces, the ".pvti" and its pieces read
// back as the image that was written, the pieces' extents (cells once, shared boundary points)
// and the reader's refusals of missing, misplaced and disagreeing pieces.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Console.h"
#include "support/ScratchFolder.h"
#include "tools/VtkImage.h"
#include "tools/VtkParallelImage.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;
namespace fs = std::filesystem;

template <typename T>
void put(std::string& bytes, T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes.append(raw, sizeof(T));
}

/// An image of `cells` whose values tell their place: "Density" (Float32) the cell's number,
/// "Kept" (UInt8) the parity of its indices, "Displacement" (3 Float32) the point's indices.
VtkImage indexedImage(const std::array<int, 3>& cells) {
    VtkImage image;
    image.cells = cells;
    image.origin = {-1.5, 0.25, 2};
    image.spacing = {0.5, 0.25, 0.125};
    image.direction = {0, -1, 0, 1, 0, 0, 0, 0, 1};
    VtkDataArray density{"Density", "Float32", 1, {}}, kept{"Kept", "UInt8", 1, {}};
    int n = 0;
    for (int k = 0; k < cells[2]; ++k)
        for (int j = 0; j < cells[1]; ++j)
            for (int i = 0; i < cells[0]; ++i) {
                put(density.bytes, float(n++));
                put(kept.bytes, uint8_t((i + j + k) % 2));
            }
    VtkDataArray displacement{"Displacement", "Float32", 3, {}};
    for (int k = 0; k <= cells[2]; ++k)
        for (int j = 0; j <= cells[1]; ++j)
            for (int i = 0; i <= cells[0]; ++i)
                for (int v : {i, j, k}) put(displacement.bytes, float(v));
    image.cellData = {density, kept};
    image.pointData = {displacement};
    return image;
}

void expectSameImage(const VtkImage& got, const VtkImage& want) {
    EXPECT_EQ(got.cells, want.cells);
    EXPECT_EQ(got.first, want.first);
    EXPECT_EQ(got.origin, want.origin);
    EXPECT_EQ(got.spacing, want.spacing);
    EXPECT_EQ(got.direction, want.direction);
    for (auto [a, b] : {std::pair{&got.cellData, &want.cellData},
                        std::pair{&got.pointData, &want.pointData}}) {
        ASSERT_EQ(a->size(), b->size());
        for (size_t k = 0; k < a->size(); ++k) {
            EXPECT_EQ((*a)[k].name, (*b)[k].name);
            EXPECT_EQ((*a)[k].type, (*b)[k].type);
            EXPECT_EQ((*a)[k].components, (*b)[k].components);
            EXPECT_TRUE((*a)[k].bytes == (*b)[k].bytes) << "array " << (*b)[k].name;
        }
    }
}

std::string fileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

struct SplitCase {
    const char* name;
    std::array<int, 3> cells;
    int pieces;
    int axis;                ///< the axis that is split
    std::vector<int> cuts;  ///< the boxes' bounds along it
};

const SplitCase kSplits[] = {
    {"one piece", {4, 3, 10}, 1, 2, {0, 10}},
    {"two along z", {4, 3, 10}, 2, 2, {0, 5, 10}},
    {"three along z, uneven", {4, 3, 10}, 3, 2, {0, 3, 6, 10}},
    {"five along z", {4, 3, 10}, 5, 2, {0, 2, 4, 6, 8, 10}},
    {"sizes differing by one layer", {3, 2, 11}, 3, 2, {0, 3, 7, 11}},
    {"as many as z cells", {2, 2, 3}, 3, 2, {0, 1, 2, 3}},
    {"fewer z cells: the longest axis", {7, 3, 2}, 3, 0, {0, 2, 4, 7}},
    {"fewer z cells: y longest", {2, 5, 1}, 4, 1, {0, 1, 2, 3, 5}},
    {"fewer cells on every axis: fewer pieces", {2, 2, 2}, 3, 2, {0, 1, 2}},
};

TEST(VtkParallelImage, SplitsTheCellsEvenlyAlongOneAxis) {
    for (const SplitCase& c : kSplits) {
        SCOPED_TRACE(c.name);
        const std::vector<CellBox> boxes = vtkPieceBoxes(c.cells, c.pieces);
        ASSERT_EQ(boxes.size() + 1, c.cuts.size());
        for (size_t p = 0; p < boxes.size(); ++p)
            for (int a = 0; a < 3; ++a) {
                const bool split = a == c.axis;
                EXPECT_EQ(boxes[p].begin[size_t(a)], split ? c.cuts[p] : 0) << p << " " << a;
                EXPECT_EQ(boxes[p].end[size_t(a)], split ? c.cuts[p + 1] : c.cells[size_t(a)])
                    << p << " " << a;
            }
    }
}

TEST(VtkParallelImage, ReadsBackAsTheImageThatWasWritten) {
    for (const SplitCase& c : kSplits) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder("pvti");
        const VtkImage image = indexedImage(c.cells);
        const fs::path file = folder.path() / "shape.pvti";
        std::ostringstream log;
        ASSERT_TRUE(writeVtkPieces(file, image, c.pieces, &log)) << log.str();
        EXPECT_EQ(log.str(), "");
        VtkImage read;
        std::string error;
        ASSERT_TRUE(readVtkImage(file, read, error)) << error;
        expectSameImage(read, image);
        // One file per piece and the .pvti: nothing else.
        const size_t pieces = c.cuts.size() - 1;
        EXPECT_EQ(size_t(std::distance(fs::directory_iterator(folder.path()),
                                       fs::directory_iterator())),
                  pieces + 1);
        for (size_t p = 0; p < pieces; ++p)
            EXPECT_TRUE(fs::exists(folder.path() / ("shape_" + std::to_string(p) + ".vti")));
    }
}

TEST(VtkParallelImage, PiecesHoldTheirCellsOnceAndShareTheirBoundaryPoints) {
    for (const SplitCase& c : kSplits) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder("pvti-pieces");
        const fs::path file = folder.path() / "shape.pvti";
        ASSERT_TRUE(writeVtkPieces(file, indexedImage(c.cells), c.pieces, nullptr));
        const size_t axis = size_t(c.axis);
        std::vector<int> cellsOf(size_t(c.cells[0] * c.cells[1] * c.cells[2]), 0);
        for (size_t p = 0; p + 1 < c.cuts.size(); ++p) {
            VtkImage piece;
            std::string error;
            ASSERT_TRUE(readVtkImage(vtkPiecePath(file, int(p)), piece, error)) << error;
            // The point extent runs from one cut to the next: neighbours share the cut's points.
            EXPECT_EQ(piece.first[axis], c.cuts[p]);
            EXPECT_EQ(piece.first[axis] + piece.cells[axis], c.cuts[p + 1]);
            const std::vector<double> number = arrayValues(piece.cellData.at(0));
            for (double n : number) ++cellsOf.at(size_t(n));
            // Every point's value is the one of its place in the whole grid.
            const std::vector<double> points = arrayValues(
                VtkDataArray{"", "Float32", 1, piece.pointData.at(0).bytes});
            size_t at = 0;
            for (int k = 0; k <= piece.cells[2]; ++k)
                for (int j = 0; j <= piece.cells[1]; ++j)
                    for (int i = 0; i <= piece.cells[0]; ++i)
                        for (long long v : {i + piece.first[0], j + piece.first[1],
                                            k + piece.first[2]})
                            ASSERT_EQ(points.at(at++), double(v));
        }
        for (int count : cellsOf) EXPECT_EQ(count, 1);
    }
}

TEST(VtkParallelImage, WritesTheParallelImageFile) {
    VtkImage image = indexedImage({2, 1, 2});
    image.direction = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(parallelImageFileBytes(image, vtkPieceBoxes(image.cells, 2), {"s_0.vti", "s_1.vti"}),
              "<?xml version=\"1.0\"?>\n"
              "<VTKFile type=\"PImageData\" version=\"1.0\" byte_order=\"LittleEndian\" "
              "header_type=\"UInt64\">\n"
              "  <PImageData WholeExtent=\"0 2 0 1 0 2\" GhostLevel=\"0\" Origin=\"-1.5 0.25 2\" "
              "Spacing=\"0.5 0.25 0.125\">\n"
              "    <PPointData Vectors=\"Displacement\">\n"
              "      <PDataArray type=\"Float32\" Name=\"Displacement\" NumberOfComponents=\"3\"/>\n"
              "    </PPointData>\n"
              "    <PCellData Scalars=\"Density\">\n"
              "      <PDataArray type=\"Float32\" Name=\"Density\"/>\n"
              "      <PDataArray type=\"UInt8\" Name=\"Kept\"/>\n"
              "    </PCellData>\n"
              "    <Piece Extent=\"0 2 0 1 0 1\" Source=\"s_0.vti\"/>\n"
              "    <Piece Extent=\"0 2 0 1 1 2\" Source=\"s_1.vti\"/>\n"
              "  </PImageData>\n"
              "</VTKFile>\n");
}

TEST(VtkParallelImage, APieceThatCannotBeWrittenLeavesNoParallelFile) {
    // A folder in the way of piece 1: the .pvti, written last, would name a piece that is not
    // there, so it is not written at all.
    ScratchFolder folder("pvti-blocked");
    const fs::path file = folder.path() / "s.pvti";
    fs::create_directory(folder.path() / "s_1.vti");
    std::ostringstream log;
    EXPECT_FALSE(writeVtkPieces(file, indexedImage({4, 3, 10}), 3, &log));
    EXPECT_EQ(log.str().rfind("ERROR: Cannot write file " +
                                  quotedUtf8((folder.path() / "s_1.vti").string()),
                              0),
              0u)
        << log.str();
    EXPECT_FALSE(fs::exists(file));

    // Over an earlier run's files: its .pvti goes before the new pieces are written, so that
    // a failure leaves none that names a mix of old and new pieces.
    fs::remove(folder.path() / "s_1.vti");
    ASSERT_TRUE(writeVtkPieces(file, indexedImage({4, 3, 10}), 3, &log));
    ASSERT_TRUE(fs::exists(file));
    fs::remove(folder.path() / "s_2.vti");
    fs::create_directory(folder.path() / "s_2.vti");
    EXPECT_FALSE(writeVtkPieces(file, indexedImage({4, 3, 10}), 3, &log));
    EXPECT_FALSE(fs::exists(file));
}

/// A change to a written ".pvti" of a 4 x 3 x 10 grid in two pieces, and the reader's reason.
struct BrokenCase {
    const char* name;
    std::string from, to;  ///< replaced in the .pvti's text ("" = no change)
    int removePiece;       ///< the piece removed, -1 = none
    bool truncatePiece;    ///< piece 1 loses its last byte
    std::string reason;    ///< after "File "<pvti>" cannot be used: "; "@" = the folder
};

TEST(VtkParallelImage, ReaderRefusesBrokenFilesWithTheReason) {
    const std::string extents = "<Piece Extent=\"0 4 0 3 0 5\" Source=\"s_0.vti\"/>\n"
                                "    <Piece Extent=\"0 4 0 3 5 10\" Source=\"s_1.vti\"/>\n";
    const BrokenCase cases[] = {
        {"missing piece", "", "", 1, false, "its piece \"@/s_1.vti\" is missing"},
        {"gap", "0 4 0 3 5 10\"", "0 4 0 3 6 10\"", -1, false,
         "its pieces do not cover the whole extent"},
        {"overlap", "0 4 0 3 5 10\"", "0 4 0 3 4 10\"", -1, false,
         "its pieces 's_0.vti' and 's_1.vti' share cells"},
        {"beyond the whole extent", "0 4 0 3 5 10\"", "0 4 0 3 5 11\"", -1, false,
         "its piece 's_1.vti' reaches beyond the whole extent"},
        {"pieces swapped", extents,
         "<Piece Extent=\"0 4 0 3 0 5\" Source=\"s_1.vti\"/>\n"
         "    <Piece Extent=\"0 4 0 3 5 10\" Source=\"s_0.vti\"/>\n",
         -1, false, "its piece \"@/s_1.vti\" has the extent 0 4 0 3 5 10, not 0 4 0 3 0 5"},
        {"declared type differs", "<PDataArray type=\"UInt8\" Name=\"Kept\"/>",
         "<PDataArray type=\"Float32\" Name=\"Kept\"/>", -1, false,
         "its piece \"@/s_0.vti\" has the cell array 'Kept' as UInt8 with 1 components, not "
         "Float32 with 1"},
        {"declared components differ", "NumberOfComponents=\"3\"", "NumberOfComponents=\"1\"",
         -1, false,
         "its piece \"@/s_0.vti\" has the point array 'Displacement' as Float32 with 3 "
         "components, not Float32 with 1"},
        {"declared array absent", "<PDataArray type=\"UInt8\" Name=\"Kept\"/>",
         "<PDataArray type=\"UInt8\" Name=\"Kept\"/><PDataArray type=\"UInt8\" Name=\"Hole\"/>",
         -1, false, "its piece \"@/s_0.vti\" has no cell array 'Hole'"},
        {"another origin", "Origin=\"-1.5 ", "Origin=\"-1.25 ", -1, false,
         "its piece \"@/s_0.vti\" has another origin, spacing or direction"},
        {"truncated piece", "", "", -1, true,
         "its piece \"@/s_1.vti\" is broken: its data array 'Kept' is cut off: the "
         "file is truncated"},
        {"no pieces", extents, "", -1, false, "it names no pieces"},
        {"piece without source", "Source=\"s_1.vti\"", "", -1, false,
         "its piece 2 has no Source or no Extent of six whole numbers with cells"},
        {"piece without cells", "0 4 0 3 5 10\"", "0 4 0 3 5 5\"", -1, false,
         "its piece 2 has no Source or no Extent of six whole numbers with cells"},
        {"absolute source", "Source=\"s_1.vti\"", "Source=\"/s_1.vti\"", -1, false,
         "its piece '/s_1.vti' is not named relative to its folder"},
        {"undeclared type", "type=\"UInt8\"", "type=\"Complex\"", -1, false,
         "its declared array 'Kept' has the unknown type 'Complex'"},
        {"array outside the sections", "<Piece ", "<PDataArray type=\"UInt8\" Name=\"Lost\"/><Piece ",
         -1, false, "its declared array 'Lost' lies outside PPointData and PCellData or has no type"},
        {"bad whole extent", "WholeExtent=\"0 4 0 3 0 10\"", "WholeExtent=\"0 4 0 3 0 x\"", -1,
         false, "its WholeExtent is not six whole numbers"},
        {"whole extent larger than the pieces", "WholeExtent=\"0 4 0 3 0 10\"",
         "WholeExtent=\"0 4 0 3 0 1000000\"", -1, false,
         "its pieces do not cover the whole extent"},
    };
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder folder("pvti-broken");
        const fs::path file = folder.path() / "s.pvti";
        ASSERT_TRUE(writeVtkPieces(file, indexedImage({4, 3, 10}), 2, nullptr));
        std::string text = fileText(file);
        if (!c.from.empty() || !c.to.empty()) {
            const size_t at = text.find(c.from);
            ASSERT_NE(at, std::string::npos) << text;
            text.replace(at, c.from.size(), c.to);
            writeText(file, text);
        }
        if (c.removePiece >= 0) fs::remove(vtkPiecePath(file, c.removePiece));
        if (c.truncatePiece) {
            const fs::path piece = vtkPiecePath(file, 1);
            fs::resize_file(piece, fs::file_size(piece) - 40);
        }
        std::string reason = c.reason;
        for (size_t at; (at = reason.find('@')) != std::string::npos;)
            reason.replace(at, 1, folder.path().string());
        VtkImage image;
        std::string error;
        EXPECT_FALSE(readVtkImage(file, image, error));
        EXPECT_EQ(error, "File " + quotedUtf8(file.string()) + " cannot be used: " + reason);
    }
}

TEST(VtkParallelImage, ReaderRefusesAHugeImageThatItsPiecesCannotHold) {
    // One piece claims the whole of a large extent: the arrays are not made before the piece
    // is found too small for them.
    ScratchFolder folder("pvti-huge");
    const fs::path file = folder.path() / "s.pvti";
    ASSERT_TRUE(writeVtkPieces(file, indexedImage({4, 3, 10}), 1, nullptr));
    std::string text = fileText(file);
    for (const char* extent : {"WholeExtent=\"0 4 0 3 0 10\"", "Extent=\"0 4 0 3 0 10\""}) {
        const std::string from = extent;
        const size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, from.size(),
                     from.substr(0, from.find('"') + 1) + "0 1000000 0 1000000 0 1000000\"");
    }
    writeText(file, text);
    VtkImage image;
    std::string error;
    EXPECT_FALSE(readVtkImage(file, image, error));
    EXPECT_EQ(error, "File " + quotedUtf8(file.string()) +
                         " cannot be used: its pieces hold fewer bytes than its arrays need");
}

TEST(VtkParallelImage, ReaderDoesNotFollowAPieceThatIsAParallelFile) {
    // Without arrays nothing bounds the pieces' sizes: the .pvti that names itself as a piece
    // is read as an image file, never again as a parallel one.
    ScratchFolder folder("pvti-self");
    const fs::path file = folder.path() / "s.pvti";
    VtkImage empty;
    empty.cells = {4, 3, 10};
    ASSERT_TRUE(writeVtkPieces(file, empty, 2, nullptr));
    std::string text = fileText(file);
    const size_t at = text.find("s_1.vti");
    ASSERT_NE(at, std::string::npos);
    writeText(file, text.replace(at, 7, "s.pvti"));
    VtkImage image;
    std::string error;
    EXPECT_FALSE(readVtkImage(file, image, error));
    EXPECT_EQ(error, "File " + quotedUtf8(file.string()) + " cannot be used: its piece " +
                         quotedUtf8(file.string()) +
                         " is broken: it is not a VTK image-data file with appended data");
}

TEST(VtkParallelImage, ReaderNamesAPvtiThatIsNoFile) {
    VtkImage image;
    std::string error;
    EXPECT_FALSE(readVtkImage("/nonexistent/a.pvti", image, error));
    EXPECT_EQ(error, "Cannot read file \"/nonexistent/a.pvti\"");
}

}  // namespace
}  // namespace ostrel
