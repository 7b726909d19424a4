#include "tools/VtkImage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <type_traits>

#include "core/AtomicFile.h"
#include "fem/FemModel.h"
#include "optimization/DesignSnapshot.h"

namespace ostrel {
namespace {

template <typename T>
void append(std::string& bytes, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big)
        std::reverse(raw, raw + sizeof(T));
    bytes.append(raw, sizeof(T));
}

std::string number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

bool isIdentity(const std::array<double, 9>& m) {
    return m == std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1};
}

}  // namespace

VtkImage resultImage(const FemModel& model, const DesignSnapshot& state,
                     const Matrix4& toOutput) {
    VtkImage image;
    const std::array<int, 3>& d = model.elementDims_[0];
    image.cells = d;

    // Placement: point (i, j, k) of the model lies at origin_ + (i, j, k) * voxelSize_; the
    // output map's linear part L becomes the direction, or the spacing when it only scales.
    double L[9];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            L[3 * r + c] = toOutput(r, c);
    const Vec3d o = model.origin_;
    for (int r = 0; r < 3; ++r)
        image.origin[r] =
            L[3 * r] * o.x + L[3 * r + 1] * o.y + L[3 * r + 2] * o.z + double(toOutput(r, 3));
    image.spacing = model.voxelSize_;
    const bool scalesOnly = L[1] == 0 && L[2] == 0 && L[3] == 0 && L[5] == 0 && L[6] == 0 &&
                            L[7] == 0 && L[0] > 0 && L[4] > 0 && L[8] > 0;
    if (scalesOnly) {
        image.spacing = {image.spacing.x * L[0], image.spacing.y * L[4], image.spacing.z * L[8]};
    } else {
        for (int k = 0; k < 9; ++k)
            image.direction[size_t(k)] = L[k];
    }

    const size_t numCells = size_t(d[0]) * size_t(d[1]) * size_t(d[2]);
    const std::vector<int>& grid = model.elementGrid_[0];
    VtkDataArray density{"Density", "Float32", 1, {}}, design{"Design", "Float32", 1, {}},
        kept{"Kept", "UInt8", 1, {}}, energy{"Energy", "Float32", 1, {}},
        solid{"Solid", "UInt8", 1, {}};
    for (VtkDataArray* a : {&density, &design, &energy})
        a->bytes.reserve(4 * numCells);
    const bool haveState = state.valid();
    for (size_t c = 0; c < numCells; ++c) {
        const int e = grid[c];
        const bool present = e >= 0;
        const bool valid = present && haveState;
        append(density.bytes, valid ? state.density[size_t(e)] : 0.0f);
        append(design.bytes, valid ? state.design[size_t(e)] : 0.0f);
        append(kept.bytes, uint8_t(valid ? state.kept[size_t(e)] : 0));
        append(energy.bytes, valid ? float(state.energy[size_t(e)]) : 0.0f);
        append(solid.bytes, uint8_t(present ? 1 : 0));
    }
    image.cellData = {std::move(density), std::move(design), std::move(kept), std::move(energy),
                      std::move(solid)};

    const std::array<int, 3>& pd = model.vertexDims_[0];
    const size_t numPoints = size_t(pd[0]) * size_t(pd[1]) * size_t(pd[2]);
    const std::vector<int>& vertices = model.vertexGrid_[0];
    const size_t n = size_t(model.numVertices(0));
    VtkDataArray displacement{"Displacement", "Float32", 3, {}};
    displacement.bytes.reserve(12 * numPoints);
    for (size_t p = 0; p < numPoints; ++p) {
        const int v = vertices[p];
        double u[3] = {0, 0, 0};
        if (v >= 0 && state.displacement.size() >= 3 * n)
            for (int a = 0; a < 3; ++a)
                u[a] = state.displacement[size_t(a) * n + size_t(v)];
        for (int r = 0; r < 3; ++r)
            append(displacement.bytes,
                   float(L[3 * r] * u[0] + L[3 * r + 1] * u[1] + L[3 * r + 2] * u[2]));
    }
    image.pointData = {std::move(displacement)};
    return image;
}

std::string vtkImageFileBytes(const VtkImage& image) {
    char extentText[64];
    std::snprintf(extentText, sizeof extentText, "0 %d 0 %d 0 %d", image.cells[0], image.cells[1],
                  image.cells[2]);
    const std::string extent = extentText;
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"ImageData\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
        "  <ImageData WholeExtent=\"" +
        extent + "\" Origin=\"" + number(image.origin.x) + " " + number(image.origin.y) + " " +
        number(image.origin.z) + "\" Spacing=\"" + number(image.spacing.x) + " " +
        number(image.spacing.y) + " " + number(image.spacing.z) + "\"";
    if (!isIdentity(image.direction)) {
        xml += " Direction=\"";
        for (size_t k = 0; k < 9; ++k) {
            if (k)
                xml += ' ';
            xml += number(image.direction[k]);
        }
        xml += "\"";
    }
    xml += ">\n    <Piece Extent=\"" + extent + "\">\n";
    uint64_t offset = 0;
    std::string appended;
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
            append(appended, uint64_t(a.bytes.size()));
            appended += a.bytes;
            offset += 8 + a.bytes.size();
        }
        xml += std::string("      </") + tag + ">\n";
    };
    section("PointData", image.pointData);
    section("CellData", image.cellData);
    xml += "    </Piece>\n  </ImageData>\n  <AppendedData encoding=\"raw\">\n   _";
    xml += appended;
    xml += "\n  </AppendedData>\n</VTKFile>\n";
    return xml;
}

bool writeVtkImage(const std::filesystem::path& file, const VtkImage& image, std::ostream* log) {
    const bool ok = bool(writeFileAtomically(file.string(), vtkImageFileBytes(image)));
    if (!ok && log)
        *log << "ERROR: Cannot write file \"" << file.string() << "\"" << std::endl;
    return ok;
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

/// Splits the header text into its tags (declarations and comments skipped). False on a tag
/// that does not end or an attribute without a quoted value.
bool scanTags(std::string_view text, std::vector<XmlTag>& tags) {
    size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const size_t end = text.find('>', at);
        if (end == std::string_view::npos) return false;
        std::string_view body = text.substr(at + 1, end - at - 1);
        at = end + 1;
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
            if (eq == std::string_view::npos || eq + 1 >= body.size() || body[eq + 1] != '"')
                return false;
            const size_t close = body.find('"', eq + 2);
            if (close == std::string_view::npos) return false;
            tag.attributes.emplace_back(std::string(body.substr(i, eq - i)),
                                        std::string(body.substr(eq + 2, close - eq - 2)));
            i = close + 1;
        }
        tags.push_back(std::move(tag));
    }
    return true;
}

/// Exactly `count` numbers separated by blanks.
template <typename T>
bool parseNumbers(const std::string& text, size_t count, std::vector<T>& out) {
    std::istringstream in(text);
    out.clear();
    T value;
    while (in >> value) out.push_back(value);
    return in.eof() && out.size() == count;
}

}  // namespace

bool parseVtkImage(std::string_view bytes, VtkImage& image, std::string& error) {
    image = VtkImage{};
    const size_t appendedTag = bytes.find("<AppendedData");
    if (appendedTag == std::string_view::npos) {
        error = "it is not a VTK image-data file with appended data";
        return false;
    }
    std::vector<XmlTag> tags;
    const size_t appendedEnd = bytes.find('>', appendedTag);
    if (!scanTags(bytes.substr(0, appendedTag), tags) || appendedEnd == std::string_view::npos) {
        error = "its XML header is malformed";
        return false;
    }
    const size_t marker = bytes.find('_', appendedEnd);
    if (marker == std::string_view::npos) {
        error = "its appended data has no '_' marker";
        return false;
    }
    const std::string_view raw = bytes.substr(marker + 1);

    const XmlTag* file = nullptr;
    const XmlTag* grid = nullptr;
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
    const std::string* header = file->find("header_type");
    const size_t headerBytes = header && *header == "UInt64" ? 8 : 4;
    if (header && *header != "UInt64" && *header != "UInt32") {
        error = "its block header type '" + *header + "' is neither UInt32 nor UInt64";
        return false;
    }

    std::vector<long long> extent;
    std::vector<double> origin, spacing, direction;
    const std::string* extentText = grid->find("WholeExtent");
    if (!extentText || !parseNumbers(*extentText, 6, extent)) {
        error = "its WholeExtent is not six whole numbers";
        return false;
    }
    for (int a = 0; a < 3; ++a) {
        const long long cells = extent[size_t(2 * a + 1)] - extent[size_t(2 * a)];
        if (cells < 1 || cells > (1 << 20)) {
            error = "its extent holds no cells or too many along an axis";
            return false;
        }
        image.cells[size_t(a)] = int(cells);
    }
    const std::string* originText = grid->find("Origin");
    const std::string* spacingText = grid->find("Spacing");
    const std::string* directionText = grid->find("Direction");
    if ((originText && !parseNumbers(*originText, 3, origin)) ||
        (spacingText && !parseNumbers(*spacingText, 3, spacing)) ||
        (directionText && !parseNumbers(*directionText, 9, direction))) {
        error = "its Origin, Spacing or Direction is not a list of 3, 3 and 9 numbers";
        return false;
    }
    if (!origin.empty()) image.origin = {origin[0], origin[1], origin[2]};
    if (!spacing.empty()) image.spacing = {spacing[0], spacing[1], spacing[2]};
    if (!direction.empty()) std::copy(direction.begin(), direction.end(), image.direction.begin());

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
        const std::string* name = t.find("Name");
        const std::string* arrayType = t.find("type");
        const std::string* format = t.find("format");
        const std::string* offsetText = t.find("offset");
        const std::string label = name ? "'" + *name + "'" : "without a name";
        if (!section || !name || !arrayType) {
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
        VtkDataArray array{*name, *arrayType, 1, {}};
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
        const uint64_t expected = uint64_t(sectionCount) * uint64_t(array.components) * valueBytes;
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
        section->push_back(std::move(array));
    }
    return true;
}

bool readVtkImage(const std::filesystem::path& file, VtkImage& image, std::string& error) {
    std::error_code ec;
    std::ifstream in(file, std::ios::binary);
    if (!std::filesystem::is_regular_file(file, ec) || !in) {
        error = "Cannot read file \"" + file.string() + "\"";
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        error = "Cannot read file \"" + file.string() + "\"";
        return false;
    }
    if (!parseVtkImage(content.str(), image, error)) {
        error = "File \"" + file.string() + "\" cannot be used: " + error;
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
