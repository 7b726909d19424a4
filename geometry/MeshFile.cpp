#include "geometry/MeshFile.h"

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/InputFile.h"
#include "core/NumberText.h"

namespace ostrel {
namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlTriangleBytes = 50;

uint32_t readLe32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void appendLe32(std::string& out, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        out += char((v >> (8 * k)) & 0xff);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

/// True when the text starts (after blanks) with the word "solid".
bool startsWithSolid(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size() && isBlank(bytes[i]))
        ++i;
    if (bytes.substr(i, 5) != "solid")
        return false;
    return i + 5 == bytes.size() || isBlank(bytes[i + 5]);
}

std::string lowerWord(std::string word) {
    for (char& c : word)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return word;
}

/// Fills normals and bounds, sets loaded; the STL readers end here.
void finishMesh(TriangleMesh& mesh) {
    weldVertices(mesh);
    mesh.loaded = true;
}

struct PositionKey {
    uint32_t bits[3];
    bool operator==(const PositionKey& o) const {
        return bits[0] == o.bits[0] && bits[1] == o.bits[1] && bits[2] == o.bits[2];
    }
};

struct PositionHash {
    size_t operator()(const PositionKey& k) const {
        uint64_t h = 1469598103934665603ull;
        for (uint32_t b : k.bits)
            h = (h ^ b) * 1099511628211ull;
        return size_t(h ^ (h >> 29));
    }
};

}  // namespace

MeshFileFormat detectMeshFileFormat(std::string_view firstBytes, uint64_t fileSize) {
    if (fileSize >= kStlHeaderBytes + 4 && firstBytes.size() >= kStlHeaderBytes + 4) {
        const uint64_t count = readLe32(firstBytes.data() + kStlHeaderBytes);
        if (kStlHeaderBytes + 4 + kStlTriangleBytes * count == fileSize)
            return MeshFileFormat::BinaryStl;
    }
    // Text holds no zero bytes; binary data that is no complete binary STL is no mesh we read.
    if (firstBytes.find('\0') != std::string_view::npos)
        return MeshFileFormat::Unknown;
    if (startsWithSolid(firstBytes))
        return MeshFileFormat::AsciiStl;
    return MeshFileFormat::Obj;
}

void weldVertices(TriangleMesh& mesh) {
    std::unordered_map<PositionKey, int32_t, PositionHash> index;
    index.reserve(mesh.vertices.size());
    std::vector<int32_t> remap(mesh.vertices.size());
    std::vector<MeshVertex> kept;
    kept.reserve(mesh.vertices.size());
    for (size_t v = 0; v < mesh.vertices.size(); ++v) {
        Vec3f p = mesh.vertices[v].position;
        for (int a = 0; a < 3; ++a)
            if (p[a] == 0.0f)
                p[a] = 0.0f;  // -0 and 0 are the same point
        const PositionKey key{{std::bit_cast<uint32_t>(p.x), std::bit_cast<uint32_t>(p.y),
                               std::bit_cast<uint32_t>(p.z)}};
        const auto [it, added] = index.emplace(key, int32_t(kept.size()));
        if (added)
            kept.push_back({mesh.vertices[v].position, {}});
        remap[v] = it->second;
    }
    for (MeshTriangle& t : mesh.triangles)
        for (int32_t& i : t.indices)
            i = remap[size_t(i)];
    mesh.vertices = std::move(kept);
    mesh.updateNormals();
    mesh.updateBounds();
}

bool readBinaryStl(TriangleMesh& mesh, std::string_view bytes, const std::wstring& fileName,
                   std::wostream* messages) {
    mesh.loaded = false;
    mesh.vertices.clear();
    mesh.triangles.clear();
    const uint64_t count =
        bytes.size() >= kStlHeaderBytes + 4 ? readLe32(bytes.data() + kStlHeaderBytes) : 0;
    if (bytes.size() < kStlHeaderBytes + 4 ||
        bytes.size() != kStlHeaderBytes + 4 + kStlTriangleBytes * count) {
        writeLine(messages, L"ERROR: Binary STL file " + quoted(fileName) +
                                L" does not hold the triangles its header announces");
        return false;
    }
    mesh.vertices.reserve(size_t(count) * 3);
    mesh.triangles.reserve(size_t(count));
    const char* p = bytes.data() + kStlHeaderBytes + 4;
    for (uint64_t t = 0; t < count; ++t, p += kStlTriangleBytes) {
        MeshTriangle triangle{};
        for (int c = 0; c < 3; ++c) {
            Vec3f corner;
            for (int a = 0; a < 3; ++a) {
                corner[a] = std::bit_cast<float>(readLe32(p + 12 + 12 * c + 4 * a));
                if (!std::isfinite(corner[a])) {
                    writeLine(messages, L"ERROR: Triangle " + std::to_wstring(t + 1) +
                                            L" of file " + quoted(fileName) +
                                            L" has a coordinate that is not a finite number");
                    return false;
                }
            }
            triangle.indices[c] = int32_t(mesh.vertices.size());
            mesh.vertices.push_back({corner, {}});
        }
        mesh.triangles.push_back(triangle);
    }
    finishMesh(mesh);
    return true;
}

bool readAsciiStl(TriangleMesh& mesh, std::string_view bytes, const std::wstring& fileName,
                  std::wostream* messages) {
    mesh.loaded = false;
    mesh.vertices.clear();
    mesh.triangles.clear();
    auto parseError = [&](long line) {
        writeLine(messages, L"ERROR: Error parsing line " + std::to_wstring(line) + L" of file " +
                                quoted(fileName));
        return false;
    };
    // Where the reader is: between solids, inside a solid, inside a facet, inside its loop.
    enum class State { Outside, Solid, Facet, Loop, LoopDone } state = State::Outside;
    int corners = 0;
    long lineNumber = 0;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos)
            end = bytes.size();
        ++lineNumber;
        std::istringstream line{std::string(bytes.substr(start, end - start))};
        start = end + 1;
        std::string word;
        if (!(line >> word))
            continue;
        word = lowerWord(word);
        if (word == "solid" && state == State::Outside) {
            state = State::Solid;  // the rest of the line is the solid's name
        } else if (word == "endsolid" && state == State::Solid) {
            state = State::Outside;
        } else if (word == "facet" && state == State::Solid) {
            state = State::Facet;  // the facet normal is recomputed from the corners
        } else if (word == "outer" && state == State::Facet) {
            std::string loop;
            if (!(line >> loop) || lowerWord(loop) != "loop")
                return parseError(lineNumber);
            state = State::Loop;
            corners = 0;
            mesh.triangles.push_back({{0, 0, 0}, {}});
        } else if (word == "vertex" && state == State::Loop) {
            std::string rest;
            std::getline(line, rest);
            NumberScanner numbers(std::move(rest));
            float x, y, z;
            if (corners == 3 || !(numbers.read(x) && numbers.read(y) && numbers.read(z)))
                return parseError(lineNumber);
            mesh.triangles.back().indices[corners++] = int32_t(mesh.vertices.size());
            mesh.vertices.push_back({{x, y, z}, {}});
        } else if (word == "endloop" && state == State::Loop) {
            if (corners != 3)
                return parseError(lineNumber);
            state = State::LoopDone;
        } else if (word == "endfacet" && state == State::LoopDone) {
            state = State::Solid;
        } else {
            return parseError(lineNumber);
        }
    }
    // A file may end without "endsolid", but not inside a facet.
    if (state != State::Outside && state != State::Solid)
        return parseError(lineNumber);
    finishMesh(mesh);
    return true;
}

bool readMeshFile(TriangleMesh& mesh, const std::wstring& fileName, std::wostream* messages) {
    mesh.loaded = false;
    mesh.vertices.clear();
    mesh.triangles.clear();
    if (!checkInputFile(fileName, messages)) return false;
    std::ifstream in(toUtf8(fileName), std::ios::in | std::ios::binary);
    if (!in) {
        writeLine(messages, L"ERROR: Cannot open input file " + quoted(fileName));
        return false;
    }
    std::string head(512, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        writeLine(messages, L"ERROR: Cannot read line 1 of file " + quoted(fileName));
        return false;
    }
    const MeshFileFormat format = detectMeshFileFormat(head, uint64_t(size));
    if (format == MeshFileFormat::Obj) {
        in.close();
        return mesh.readObj(fileName, messages);
    }
    if (format == MeshFileFormat::Unknown) {
        std::wstring detail;
        if (head.size() >= kStlHeaderBytes + 4) {
            const uint64_t count = readLe32(head.data() + kStlHeaderBytes);
            detail = L": read as binary STL, its header announces " + std::to_wstring(count) +
                     L" triangles (" +
                     std::to_wstring(kStlHeaderBytes + 4 + kStlTriangleBytes * count) +
                     L" bytes), but the file has " + std::to_wstring(size) + L" bytes";
        }
        writeLine(messages, L"ERROR: File " + quoted(fileName) +
                                L" is neither an OBJ file nor an STL file (binary or ASCII)" +
                                detail);
        return false;
    }
    std::string bytes(size_t(size), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), size)) {
        writeLine(messages, L"ERROR: Cannot read line 1 of file " + quoted(fileName));
        return false;
    }
    return format == MeshFileFormat::BinaryStl ? readBinaryStl(mesh, bytes, fileName, messages)
                                               : readAsciiStl(mesh, bytes, fileName, messages);
}

bool writeStl(const TriangleMesh& mesh, const std::wstring& fileName, std::wostream* messages) {
    if (mesh.triangles.size() > UINT32_MAX) {
        writeLine(messages, L"ERROR: Error writing output file " + quoted(fileName));
        return false;
    }
    std::string header = "Ostrel binary STL";
    header.resize(kStlHeaderBytes, ' ');
    const AtomicWriteResult result = writeFileAtomically(toUtf8(fileName), [&](FILE* f) {
        std::string out = header;
        appendLe32(out, uint32_t(mesh.triangles.size()));
        out.reserve(out.size() + kStlTriangleBytes * mesh.triangles.size());
        for (const MeshTriangle& t : mesh.triangles) {
            const Vec3f p0 = mesh.vertices[size_t(t.indices[0])].position;
            const Vec3f p1 = mesh.vertices[size_t(t.indices[1])].position;
            const Vec3f p2 = mesh.vertices[size_t(t.indices[2])].position;
            Vec3f n = cross(p1 - p0, p2 - p0);
            const float len = length(n);
            n = len > 0.0f && std::isfinite(len) ? n / len : Vec3f{};
            for (const Vec3f& v : {n, p0, p1, p2})
                for (int a = 0; a < 3; ++a)
                    appendLe32(out, std::bit_cast<uint32_t>(v[a]));
            out += '\0';
            out += '\0';
        }
        return std::fwrite(out.data(), 1, out.size(), f) == out.size();
    });
    return reportOutputFile(messages, fileName, result);
}

}  // namespace ostrel
