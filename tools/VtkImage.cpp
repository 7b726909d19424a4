#include "tools/VtkImage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <ostream>
#include <tuple>
#include <type_traits>

#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/InputFile.h"
#include "core/NumberText.h"

namespace ostrel {
namespace {


std::string number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

bool isIdentity(const std::array<double, 9>& m) {
    return m == std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1};
}

}  // namespace

namespace {

}  // namespace

std::string vtkExtentText(const std::array<long long, 3>& first, const std::array<int, 3>& cells) {
    std::string text;
    for (size_t a = 0; a < 3; ++a) {
        if (a) text += ' ';
        text += std::to_string(first[a]) + " " + std::to_string(first[a] + cells[a]);
    }
    return text;
}

std::string vtkGridAttributes(const VtkImage& image) {
    std::string xml = "Origin=\"" + number(image.origin.x) + " " + number(image.origin.y) + " " +
                      number(image.origin.z) + "\" Spacing=\"" + number(image.spacing.x) + " " +
                      number(image.spacing.y) + " " + number(image.spacing.z) + "\"";
    if (!isIdentity(image.direction)) {
        xml += " Direction=\"";
        for (size_t k = 0; k < 9; ++k) {
            if (k) xml += ' ';
            xml += number(image.direction[k]);
        }
        xml += "\"";
    }
    return xml;
}

namespace {

constexpr char kVtkTrailer[] = "\n  </AppendedData>\n</VTKFile>\n";

/// The file's text up to the appended data's "_" marker; the arrays' blocks follow it in the
/// order point data, cell data, each a 64-bit byte count and the bytes.
std::string vtkHeader(const VtkImage& image) {
    const std::string extent = vtkExtentText(image.first, image.cells);
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"ImageData\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
        "  <ImageData WholeExtent=\"" +
        extent + "\" " + vtkGridAttributes(image) + ">\n    <Piece Extent=\"" + extent + "\">\n";
    uint64_t offset = 0;
    auto section = [&](const char* tag, const std::vector<VtkDataArray>& arrays) {
        xml += std::string("      <") + tag;
        if (!arrays.empty()) {
            xml += std::string(arrays[0].components == 3 ? " Vectors" : " Scalars") + "=\"" +
                   arrays[0].name + "\"";
        }
        xml += ">\n";
        for (const VtkDataArray& a : arrays) {
            xml += "        <DataArray type=\"" + a.type + "\" Name=\"" + a.name + "\"";
            if (a.components != 1)
                xml += " NumberOfComponents=\"" + std::to_string(a.components) + "\"";
            xml += " format=\"appended\" offset=\"" + std::to_string(offset) + "\"/>\n";
            offset += 8 + a.bytes.size();
        }
        xml += std::string("      </") + tag + ">\n";
    };
    section("PointData", image.pointData);
    section("CellData", image.cellData);
    xml += "    </Piece>\n  </ImageData>\n  <AppendedData encoding=\"raw\">\n   _";
    return xml;
}

/// The file piece by piece, without joining them: the arrays are not copied again.
template <typename Put>
bool putVtkImage(const VtkImage& image, Put&& put) {
    if (!put(vtkHeader(image))) return false;
    for (const auto* arrays : {&image.pointData, &image.cellData})
        for (const VtkDataArray& a : *arrays) {
            std::string count;
            appendLittleEndian(count, uint64_t(a.bytes.size()));
            if (!put(count) || !put(a.bytes)) return false;
        }
    return put(std::string_view(kVtkTrailer));
}

}  // namespace

std::string vtkImageFileBytes(const VtkImage& image) {
    std::string bytes;
    putVtkImage(image, [&bytes](std::string_view piece) {
        bytes += piece;
        return true;
    });
    return bytes;
}

bool writeVtkImage(const std::filesystem::path& file, const VtkImage& image, std::ostream* log) {
    // Streamed into the file: the whole file is never held in memory besides the arrays.
    const AtomicWriteResult result = writeFileAtomically(file.string(), [&image](std::FILE* f) {
        return putVtkImage(image, [f](std::string_view piece) {
            return std::fwrite(piece.data(), 1, piece.size(), f) == piece.size();
        });
    });
    if (!result && log)
        *log << "ERROR: Cannot write file " << quotedUtf8(file.string()) << result.reasonSuffix()
             << std::endl;
    return bool(result);
}

namespace {

/// Bytes per value of a VTK type name; 0 for a type the reader does not know.
size_t typeSize(const std::string& type) {
    if (type == "Float32" || type == "Int32" || type == "UInt32") return 4;
    if (type == "Float64" || type == "Int64" || type == "UInt64") return 8;
    if (type == "UInt8" || type == "Int8") return 1;
    if (type == "UInt16" || type == "Int16") return 2;
    return 0;
}

template <typename T>
T load(const char* p) {
    char raw[sizeof(T)];
    std::memcpy(raw, p, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) std::reverse(raw, raw + sizeof(T));
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
}

/// One XML start tag of the header: its name and attributes.
struct XmlTag {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    bool closing = false;  ///< "</name>"
    const std::string* find(const std::string& key) const {
        for (const auto& [k, v] : attributes)
            if (k == key) return &v;
        return nullptr;
    }
};

/// The end of the markup that starts at `at` (a '<'): the position of its closing '>', where a
/// '>' inside a quoted attribute value does not count, and a comment ends only at "-->".
/// npos when it does not end.
size_t tagEnd(std::string_view text, size_t at) {
    if (text.substr(at, 4) == "<!--") {
        const size_t end = text.find("-->", at + 4);
        return end == std::string_view::npos ? end : end + 2;
    }
    char quote = 0;
    for (size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

/// Splits the text into its tags (declarations and comments skipped), up to and including the
/// first "AppendedData" start tag; `end` is then the position after that tag's '>' (npos when
/// there is none). False on a tag that does not end or an attribute without a quoted value.
bool scanTags(std::string_view text, std::vector<XmlTag>& tags, size_t& end) {
    end = std::string_view::npos;
    size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const size_t close = tagEnd(text, at);
        if (close == std::string_view::npos) return false;
        std::string_view body = text.substr(at + 1, close - at - 1);
        at = close + 1;
        if (body.empty() || body[0] == '?' || body[0] == '!') continue;
        XmlTag tag;
        if (body[0] == '/') {
            tag.closing = true;
            body.remove_prefix(1);
        }
        if (!body.empty() && body.back() == '/') body.remove_suffix(1);
        size_t i = 0;
        while (i < body.size() && !std::isspace(static_cast<unsigned char>(body[i]))) ++i;
        tag.name = std::string(body.substr(0, i));
        while (true) {
            while (i < body.size() && std::isspace(static_cast<unsigned char>(body[i]))) ++i;
            if (i == body.size()) break;
            const size_t eq = body.find('=', i);
            if (eq == std::string_view::npos || eq + 1 >= body.size() ||
                (body[eq + 1] != '"' && body[eq + 1] != '\''))
                return false;
            const size_t valueEnd = body.find(body[eq + 1], eq + 2);
            if (valueEnd == std::string_view::npos) return false;
            tag.attributes.emplace_back(std::string(body.substr(i, eq - i)),
                                        std::string(body.substr(eq + 2, valueEnd - eq - 2)));
            i = valueEnd + 1;
        }
        const bool appended = !tag.closing && tag.name == "AppendedData";
        tags.push_back(std::move(tag));
        if (appended) {
            end = at;
            return true;
        }
    }
    return true;
}

/// a * b, false when it does not fit 64 bits.
bool multiplied(uint64_t a, uint64_t b, uint64_t& product) {
    if (a != 0 && b > UINT64_MAX / a) return false;
    product = a * b;
    return true;
}

/// Exactly `count` numbers (core/NumberText.h: reals, or whole numbers for an integer T)
/// separated by blanks.
template <typename T>
bool parseNumbers(const std::string& text, size_t count, std::vector<T>& out) {
    out.clear();
    std::string_view rest = trimBlanks(std::string_view(text));
    while (!rest.empty()) {
        size_t end = 0;
        while (end < rest.size() && !std::isspace(static_cast<unsigned char>(rest[end]))) ++end;
        T value{};
        if constexpr (std::is_integral_v<T>) {
            if (!readWhole(rest.substr(0, end), value)) return false;
        } else {
            if (!readReal(rest.substr(0, end), value)) return false;
        }
        out.push_back(value);
        rest = trimBlanks(rest.substr(end));
    }
    return out.size() == count;
}

/// The header's tags up to the "AppendedData" start tag and the appended data after its '_'
/// marker (`raw`); false with the message when the file has no raw appended data.
bool scanHeader(std::string_view bytes, std::vector<XmlTag>& tags, std::string_view& raw,
                std::string& error) {
    size_t appendedEnd = std::string_view::npos;
    if (!scanTags(bytes, tags, appendedEnd)) {
        error = bytes.find("<AppendedData") == std::string_view::npos
                    ? "it is not a VTK image-data file with appended data"
                    : "its XML header is malformed";
        return false;
    }
    if (appendedEnd == std::string_view::npos) {
        error = "it is not a VTK image-data file with appended data";
        return false;
    }
    const XmlTag& appended = tags.back();
    const std::string* encoding = appended.find("encoding");
    if (encoding && *encoding != "raw") {
        error = "its appended data has the encoding '" + *encoding +
                "', which this reader does not read (only 'raw')";
        return false;
    }
    const size_t marker = bytes.find('_', appendedEnd);
    if (marker == std::string_view::npos) {
        error = "its appended data has no '_' marker";
        return false;
    }
    raw = bytes.substr(marker + 1);
    return true;
}

/// The first "ImageData" tag (`grid`) and the bytes of a block header (`headerBytes`, 4 or 8),
/// after checking the "VTKFile" tag's type, byte order, compressor and header type.
bool checkFileTag(const std::vector<XmlTag>& tags, const XmlTag*& grid, size_t& headerBytes,
                  std::string& error) {
    const XmlTag* file = nullptr;
    grid = nullptr;
    for (const XmlTag& t : tags) {
        if (t.closing) continue;
        if (t.name == "VTKFile" && !file) file = &t;
        if (t.name == "ImageData" && !grid) grid = &t;
    }
    const std::string* type = file ? file->find("type") : nullptr;
    if (!file || !type || *type != "ImageData" || !grid) {
        error = "it is not a VTK image-data file";
        return false;
    }
    const std::string* order = file->find("byte_order");
    if (order && *order != "LittleEndian") {
        error = "its byte order is not little-endian";
        return false;
    }
    if (const std::string* compressor = file->find("compressor")) {
        error = "its data are compressed by '" + *compressor +
                "', which this reader does not read (only uncompressed data)";
        return false;
    }
    const std::string* header = file->find("header_type");
    headerBytes = header && *header == "UInt64" ? 8 : 4;
    if (header && *header != "UInt64" && *header != "UInt32") {
        error = "its block header type '" + *header + "' is neither UInt32 nor UInt64";
        return false;
    }
    return true;
}

/// The first point and the cells per axis of the extent `text` ("x0 x1 y0 y1 z0 z1"); false
/// unless six whole numbers with 1 to 2^20 cells along each axis.
bool readExtent(const std::string& text, std::array<long long, 3>& first,
                std::array<int, 3>& cells) {
    std::vector<long long> extent;
    if (!parseNumbers(text, 6, extent)) return false;
    for (size_t a = 0; a < 3; ++a) {
        const long long low = extent[2 * a], high = extent[2 * a + 1];
        // The difference of two 64-bit numbers need not fit one: count in unsigned numbers.
        const uint64_t count = high > low ? uint64_t(high) - uint64_t(low) : 0;
        if (count < 1 || count > (1 << 20)) return false;
        first[a] = low;
        cells[a] = int(count);
    }
    return true;
}

/// The image's extent, origin, spacing and direction from the tag `grid` ("ImageData" or
/// "PImageData").
bool readGrid(const XmlTag& grid, VtkImage& image, std::string& error) {
    std::vector<long long> extent;
    std::vector<double> origin, spacing, direction;
    const std::string* extentText = grid.find("WholeExtent");
    if (!extentText || !parseNumbers(*extentText, 6, extent)) {
        error = "its WholeExtent is not six whole numbers";
        return false;
    }
    if (!readExtent(*extentText, image.first, image.cells)) {
        error = "its extent holds no cells or too many along an axis";
        return false;
    }
    const std::string* originText = grid.find("Origin");
    const std::string* spacingText = grid.find("Spacing");
    const std::string* directionText = grid.find("Direction");
    if ((originText && !parseNumbers(*originText, 3, origin)) ||
        (spacingText && !parseNumbers(*spacingText, 3, spacing)) ||
        (directionText && !parseNumbers(*directionText, 9, direction))) {
        error = "its Origin, Spacing or Direction is not a list of 3, 3 and 9 numbers";
        return false;
    }
    if (!origin.empty()) image.origin = {origin[0], origin[1], origin[2]};
    if (!spacing.empty()) image.spacing = {spacing[0], spacing[1], spacing[2]};
    if (!direction.empty()) std::copy(direction.begin(), direction.end(), image.direction.begin());
    return true;
}

/// One block of the appended data, already handed to an array.
struct Block {
    uint64_t end;      ///< one past the block's last byte, in the appended data
    std::string name;  ///< the array's label in messages
};

/// Adds the block [offset, end) of the array `label` to `blocks`; false with the error when
/// it shares bytes with a block there. Each block of the appended data is one array's: arrays
/// that share bytes would copy the same block again and again, so that a small file could fill
/// the memory.
bool claimBlock(std::map<uint64_t, Block>& blocks, uint64_t offset, uint64_t end,
                const std::string& label, std::string& error) {
    const auto next = blocks.lower_bound(offset);
    const auto previous = next == blocks.begin() ? blocks.end() : std::prev(next);
    const bool overlapsNext = next != blocks.end() && next->first < end;
    const bool overlapsPrevious = previous != blocks.end() && previous->second.end > offset;
    if (overlapsNext || overlapsPrevious) {
        const std::string& other = overlapsNext ? next->second.name : previous->second.name;
        error = "its data arrays " + other + " and " + label +
                " share bytes of the appended data";
        return false;
    }
    blocks.emplace(offset, Block{end, label});
    return true;
}

/// Where the arrays read so far lie in the appended data and what a block header takes.
struct AppendedData {
    std::string_view raw;                ///< the bytes after the '_' marker
    size_t headerBytes = 8;              ///< bytes of a block header: 4 or 8
    std::map<uint64_t, Block> blocks{};  ///< the blocks read so far, by first byte
};

/// Reads the "DataArray" tag `t` of a section of `count` values (times its components) into
/// `array`, claiming its block in `data.blocks`; false with the message on any bad size,
/// offset, type or a block that shares bytes with another.
bool readDataArray(const XmlTag& t, bool inSection, size_t count, AppendedData& data,
                   VtkDataArray& array, std::string& error) {
    const std::string_view raw = data.raw;
    const size_t headerBytes = data.headerBytes;
    const std::string* name = t.find("Name");
    const std::string* arrayType = t.find("type");
    const std::string* format = t.find("format");
    const std::string* offsetText = t.find("offset");
    const std::string label = name ? "'" + *name + "'" : "without a name";
    if (!inSection || !name || !arrayType) {
        error = "its data array " + label + " lies outside PointData and CellData or has "
                "no type";
        return false;
    }
    const size_t valueBytes = typeSize(*arrayType);
    if (valueBytes == 0) {
        error = "its data array " + label + " has the unknown type '" + *arrayType + "'";
        return false;
    }
    if (!format || *format != "appended" || !offsetText) {
        error = "its data array " + label + " is not stored as appended data";
        return false;
    }
    array = VtkDataArray{*name, *arrayType, 1, {}};
    std::vector<long long> number;
    if (const std::string* components = t.find("NumberOfComponents")) {
        if (!parseNumbers(*components, 1, number) || number[0] < 1 || number[0] > 9) {
            error = "its data array " + label + " has a bad NumberOfComponents";
            return false;
        }
        array.components = int(number[0]);
    }
    if (!parseNumbers(*offsetText, 1, number) || number[0] < 0 ||
        uint64_t(number[0]) > raw.size() || raw.size() - size_t(number[0]) < headerBytes) {
        error = "its data array " + label + " has an offset beyond the end of the file";
        return false;
    }
    const size_t offset = size_t(number[0]);
    const uint64_t size = headerBytes == 8 ? load<uint64_t>(raw.data() + offset)
                                           : load<uint32_t>(raw.data() + offset);
    uint64_t values = 0, expected = 0;
    if (!multiplied(count, uint64_t(array.components), values) ||
        !multiplied(values, valueBytes, expected)) {
        error = "its data array " + label + " would need more bytes than a file can hold";
        return false;
    }
    const uint64_t blockEnd = offset + headerBytes + std::min<uint64_t>(expected, raw.size());
    if (!claimBlock(data.blocks, offset, blockEnd, label, error)) return false;
    if (size != expected) {
        error = "its data array " + label + " holds " + std::to_string(size) +
                " bytes where the extent needs " + std::to_string(expected);
        return false;
    }
    if (raw.size() - offset - headerBytes < size) {
        error = "its data array " + label + " is cut off: the file is truncated";
        return false;
    }
    array.bytes.assign(raw.data() + offset + headerBytes, size_t(size));
    return true;
}

}  // namespace

bool parseVtkImage(std::string_view bytes, VtkImage& image, std::string& error) {
    image = VtkImage{};
    std::vector<XmlTag> tags;
    AppendedData data;
    const XmlTag* grid = nullptr;
    if (!scanHeader(bytes, tags, data.raw, error) ||
        !checkFileTag(tags, grid, data.headerBytes, error) || !readGrid(*grid, image, error))
        return false;

    const size_t numCells = size_t(image.cells[0]) * size_t(image.cells[1]) * size_t(image.cells[2]);
    const size_t numPoints =
        size_t(image.cells[0] + 1) * size_t(image.cells[1] + 1) * size_t(image.cells[2] + 1);
    std::vector<VtkDataArray>* section = nullptr;
    size_t sectionCount = 0;
    for (const XmlTag& t : tags) {
        if (t.name == "PointData" || t.name == "CellData") {
            const bool cells = t.name == "CellData";
            section = t.closing ? nullptr : cells ? &image.cellData : &image.pointData;
            sectionCount = cells ? numCells : numPoints;
            continue;
        }
        if (t.name != "DataArray" || t.closing) continue;
        VtkDataArray array;
        if (!readDataArray(t, section != nullptr, sectionCount, data, array, error)) return false;
        section->push_back(std::move(array));
    }
    return true;
}

namespace {

/// The whole content of `file`; false with the message naming the file.
bool readFileBytes(const std::filesystem::path& file, std::string& content, std::string& error) {
    // Checked before the file is opened: opening a FIFO would wait for a writer for ever.
    if (!isOpenableAsFile(file.string())) {
        error = notRegularFileReason(file.string());
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec || !in || size > std::numeric_limits<size_t>::max() / 2) {
        error = "Cannot read file " + quotedUtf8(file.string());
        return false;
    }
    // One buffer of the file's size: the arrays are copied out of it once each.
    content.assign(size_t(size), '\0');
    if (!in.read(content.data(), std::streamsize(content.size())) || in.peek() != EOF) {
        error = "Cannot read file " + quotedUtf8(file.string());
        return false;
    }
    return true;
}

/// What a parallel image file declares: the whole grid (without arrays), the arrays' names,
/// types and components, and its pieces.
struct ParallelImage {
    struct Piece {
        std::array<long long, 3> first{};
        std::array<int, 3> cells{};
        std::string source;
    };
    VtkImage grid;
    std::vector<VtkDataArray> pointArrays, cellArrays;  ///< declarations: no bytes
    std::vector<Piece> pieces;
};

/// More pieces are refused: the check that no two share cells compares every pair.
constexpr size_t kMostPieces = 1 << 16;

/// The "VTKFile" tag's type of the file's header, "" when there is none.
std::string vtkFileType(const std::vector<XmlTag>& tags) {
    for (const XmlTag& t : tags)
        if (!t.closing && t.name == "VTKFile") {
            const std::string* type = t.find("type");
            return type ? *type : "";
        }
    return "";
}

uint64_t cellCount(const std::array<int, 3>& cells) {
    return uint64_t(cells[0]) * uint64_t(cells[1]) * uint64_t(cells[2]);
}

/// The pieces of `image` lie inside its whole extent and cover it, no two sharing a cell.
bool checkPieceCover(const ParallelImage& image, std::string& error) {
    const VtkImage& whole = image.grid;
    uint64_t covered = 0;
    for (size_t p = 0; p < image.pieces.size(); ++p) {
        const ParallelImage::Piece& piece = image.pieces[p];
        for (size_t a = 0; a < 3; ++a)
            if (piece.first[a] < whole.first[a] ||
                piece.first[a] + piece.cells[a] > whole.first[a] + whole.cells[a]) {
                error = "its piece '" + piece.source + "' reaches beyond the whole extent";
                return false;
            }
        for (size_t q = 0; q < p; ++q) {
            const ParallelImage::Piece& other = image.pieces[q];
            bool shared = true;
            for (size_t a = 0; a < 3; ++a)
                shared = shared && piece.first[a] < other.first[a] + other.cells[a] &&
                         other.first[a] < piece.first[a] + piece.cells[a];
            if (shared) {
                error = "its pieces '" + other.source + "' and '" + piece.source +
                        "' share cells";
                return false;
            }
        }
        // Disjoint boxes inside the whole extent: the sum cannot exceed its cells.
        covered += cellCount(piece.cells);
    }
    if (covered != cellCount(whole.cells)) {
        error = "its pieces do not cover the whole extent";
        return false;
    }
    return true;
}

/// Parses the header of a parallel image file; false with the message on a malformed file.
bool parseParallelImage(const std::vector<XmlTag>& tags, ParallelImage& image,
                        std::string& error) {
    const XmlTag* grid = nullptr;
    for (const XmlTag& t : tags)
        if (!t.closing && t.name == "PImageData") {
            grid = &t;
            break;
        }
    if (!grid) {
        error = "it is not a VTK parallel image-data file";
        return false;
    }
    if (!readGrid(*grid, image.grid, error)) return false;
    std::vector<VtkDataArray>* section = nullptr;
    for (const XmlTag& t : tags) {
        if (t.name == "PPointData" || t.name == "PCellData") {
            section = t.closing ? nullptr
                      : t.name == "PCellData" ? &image.cellArrays
                                              : &image.pointArrays;
            continue;
        }
        if (t.closing) continue;
        if (t.name == "PDataArray") {
            const std::string* name = t.find("Name");
            const std::string* type = t.find("type");
            const std::string label = name ? "'" + *name + "'" : "without a name";
            if (!section || !name || !type) {
                error = "its declared array " + label +
                        " lies outside PPointData and PCellData or has no type";
                return false;
            }
            if (typeSize(*type) == 0) {
                error = "its declared array " + label + " has the unknown type '" + *type + "'";
                return false;
            }
            VtkDataArray declared{*name, *type, 1, {}};
            std::vector<long long> number;
            if (const std::string* components = t.find("NumberOfComponents")) {
                if (!parseNumbers(*components, 1, number) || number[0] < 1 || number[0] > 9) {
                    error = "its declared array " + label + " has a bad NumberOfComponents";
                    return false;
                }
                declared.components = int(number[0]);
            }
            section->push_back(std::move(declared));
        } else if (t.name == "Piece") {
            ParallelImage::Piece piece;
            const std::string* extent = t.find("Extent");
            const std::string* source = t.find("Source");
            if (!extent || !source || source->empty() ||
                !readExtent(*extent, piece.first, piece.cells)) {
                error = "its piece " + std::to_string(image.pieces.size() + 1) +
                        " has no Source or no Extent of six whole numbers with cells";
                return false;
            }
            if (std::filesystem::path(*source).is_absolute()) {
                error = "its piece '" + *source + "' is not named relative to its folder";
                return false;
            }
            if (image.pieces.size() == kMostPieces) {
                error = "it has more than " + std::to_string(kMostPieces) + " pieces";
                return false;
            }
            piece.source = *source;
            image.pieces.push_back(std::move(piece));
        }
    }
    if (image.pieces.empty()) {
        error = "it names no pieces";
        return false;
    }
    return checkPieceCover(image, error);
}

/// The array of `arrays` named `name`; null when there is none.
const VtkDataArray* findArray(const std::vector<VtkDataArray>& arrays, const std::string& name) {
    for (const VtkDataArray& a : arrays)
        if (a.name == name) return &a;
    return nullptr;
}

/// Copies the values of `from` (an array of `piece`, whose grid lies at `piece.first` in
/// `whole`'s) into `to` (the array of `whole`); `points`: point data, else cell data.
void copyPiece(const VtkImage& piece, const VtkDataArray& from, const VtkImage& whole,
               VtkDataArray& to, bool points) {
    const size_t extra = points ? 1 : 0;
    const size_t value = typeSize(from.type) * size_t(from.components);
    const size_t nx = size_t(piece.cells[0]) + extra, ny = size_t(piece.cells[1]) + extra,
                 nz = size_t(piece.cells[2]) + extra;
    const size_t wx = size_t(whole.cells[0]) + extra, wy = size_t(whole.cells[1]) + extra;
    const size_t ox = size_t(piece.first[0] - whole.first[0]),
                 oy = size_t(piece.first[1] - whole.first[1]),
                 oz = size_t(piece.first[2] - whole.first[2]);
    for (size_t k = 0; k < nz; ++k)
        for (size_t j = 0; j < ny; ++j) {
            const size_t source = (k * ny + j) * nx;
            const size_t target = ((oz + k) * wy + oy + j) * wx + ox;
            std::memcpy(to.bytes.data() + target * value, from.bytes.data() + source * value,
                        nx * value);
        }
}

/// Reads the pieces of the parallel image file `file` (whose header is `tags`) into `image`;
/// the message of a failure names the file (and the piece).
bool readParallelImage(const std::filesystem::path& file, const std::vector<XmlTag>& tags,
                       VtkImage& image, std::string& error) {
    const std::string prefix = "File " + quotedUtf8(file.string()) + " cannot be used: ";
    ParallelImage declared;
    if (!parseParallelImage(tags, declared, error)) {
        error = prefix + error;
        return false;
    }
    const std::filesystem::path folder = file.parent_path();
    // Every piece is there, and together they hold at least the bytes of the whole image's
    // arrays, before those are made: a small file cannot claim a huge image.
    uintmax_t pieceBytes = 0;
    for (const ParallelImage::Piece& piece : declared.pieces) {
        const std::filesystem::path path = folder / piece.source;
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            error = prefix + "its piece " + quotedUtf8(path.string()) + " is missing";
            return false;
        }
        if (!isOpenableAsFile(path.string()) || !std::filesystem::is_regular_file(path, ec)) {
            error = prefix + "its piece " + quotedUtf8(path.string()) + " is not a regular file";
            return false;
        }
        pieceBytes += std::filesystem::file_size(path, ec);
    }
    const VtkImage& grid = declared.grid;
    const uint64_t cells = cellCount(grid.cells);
    const uint64_t points = cellCount({grid.cells[0] + 1, grid.cells[1] + 1, grid.cells[2] + 1});
    uint64_t needed = 0;
    for (const auto& [arrays, count] :
         {std::pair{&declared.cellArrays, cells}, std::pair{&declared.pointArrays, points}})
        for (const VtkDataArray& a : *arrays) {
            uint64_t bytes = 0;
            if (!multiplied(count, typeSize(a.type) * size_t(a.components), bytes) ||
                bytes > UINT64_MAX - needed) {
                needed = UINT64_MAX;
                break;
            }
            needed += bytes;
        }
    if (needed > pieceBytes) {
        error = prefix + "its pieces hold fewer bytes than its arrays need";
        return false;
    }

    image = grid;
    for (const auto& [arrays, into, count] :
         {std::tuple{&declared.cellArrays, &image.cellData, cells},
          std::tuple{&declared.pointArrays, &image.pointData, points}})
        for (const VtkDataArray& a : *arrays) {
            into->push_back(a);
            into->back().bytes.assign(size_t(count) * typeSize(a.type) * size_t(a.components),
                                      '\0');
        }
    for (const ParallelImage::Piece& declaredPiece : declared.pieces) {
        const std::filesystem::path path = folder / declaredPiece.source;
        const std::string label = "its piece " + quotedUtf8(path.string());
        std::string content;
        VtkImage piece;
        if (!readFileBytes(path, content, error)) {
            error = prefix + label + " cannot be read";
            return false;
        }
        if (!parseVtkImage(content, piece, error)) {
            error = prefix + label + " is broken: " + error;
            return false;
        }
        content = std::string();
        if (piece.first != declaredPiece.first || piece.cells != declaredPiece.cells) {
            error = prefix + label + " has the extent " +
                    vtkExtentText(piece.first, piece.cells) + ", not " +
                    vtkExtentText(declaredPiece.first, declaredPiece.cells);
            return false;
        }
        if (!(piece.origin == grid.origin) || !(piece.spacing == grid.spacing) ||
            piece.direction != grid.direction) {
            error = prefix + label + " has another origin, spacing or direction";
            return false;
        }
        for (auto [arrays, from, kind] :
             {std::tuple{&image.cellData, &piece.cellData, "cell"},
              std::tuple{&image.pointData, &piece.pointData, "point"}})
            for (VtkDataArray& to : *arrays) {
                const VtkDataArray* own = findArray(*from, to.name);
                if (!own) {
                    error = prefix + label + " has no " + kind + " array '" + to.name + "'";
                    return false;
                }
                if (own->type != to.type || own->components != to.components) {
                    error = prefix + label + " has the " + kind + " array '" + to.name +
                            "' as " + own->type + " with " + std::to_string(own->components) +
                            " components, not " + to.type + " with " +
                            std::to_string(to.components);
                    return false;
                }
                copyPiece(piece, *own, image, to, arrays == &image.pointData);
            }
    }
    return true;
}

}  // namespace

bool readVtkImage(const std::filesystem::path& file, VtkImage& image, std::string& error) {
    std::string content;
    if (!readFileBytes(file, content, error)) return false;
    std::vector<XmlTag> tags;
    size_t end = 0;
    if (scanTags(content, tags, end) && end == std::string_view::npos &&
        vtkFileType(tags) == "PImageData")
        return readParallelImage(file, tags, image, error);
    if (!parseVtkImage(content, image, error)) {
        error = "File " + quotedUtf8(file.string()) + " cannot be used: " + error;
        return false;
    }
    return true;
}

const VtkDataArray* findCellArray(const VtkImage& image, const std::string& name) {
    for (const VtkDataArray& a : image.cellData)
        if (a.name == name) return &a;
    return nullptr;
}

std::vector<double> arrayValues(const VtkDataArray& array) {
    const size_t size = typeSize(array.type);
    std::vector<double> values;
    if (size == 0) return values;
    values.reserve(array.bytes.size() / size);
    for (size_t at = 0; at + size <= array.bytes.size(); at += size) {
        const char* p = array.bytes.data() + at;
        if (array.type == "Float32") values.push_back(double(load<float>(p)));
        else if (array.type == "Float64") values.push_back(load<double>(p));
        else if (array.type == "UInt8") values.push_back(double(uint8_t(*p)));
        else if (array.type == "Int8") values.push_back(double(int8_t(*p)));
        else if (array.type == "UInt16") values.push_back(double(load<uint16_t>(p)));
        else if (array.type == "Int16") values.push_back(double(load<int16_t>(p)));
        else if (array.type == "UInt32") values.push_back(double(load<uint32_t>(p)));
        else if (array.type == "Int32") values.push_back(double(load<int32_t>(p)));
        else if (array.type == "UInt64") values.push_back(double(load<uint64_t>(p)));
        else values.push_back(double(load<int64_t>(p)));
    }
    return values;
}

}  // namespace ostrel
