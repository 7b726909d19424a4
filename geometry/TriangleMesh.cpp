#include "geometry/TriangleMesh.h"

#include <cfloat>
#include <cstdio>
#include <fstream>
#include <limits>
#include <ostream>
#include <sstream>

#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/InputFile.h"
#include "core/NumberText.h"

namespace ostrel {

bool TriangleMesh::readObj(const std::wstring& fileName, std::wostream* messages) {
    loaded = false;
    vertices.clear();
    triangles.clear();
    if (!checkInputFile(fileName, messages)) return false;
    std::ifstream in(toUtf8(fileName), std::ios::in | std::ios::binary);
    if (!in) {
        writeLine(messages, L"ERROR: Cannot open input file " + quoted(fileName));
        return false;
    }
    auto parseError = [&](long line) {
        writeLine(messages, L"ERROR: Error parsing line " + std::to_wstring(line) + L" of file " +
                          quoted(fileName));
        return false;
    };
    std::string text;
    long lineNumber = 0;
    std::vector<long> faceLines;  // line of every triangle, for the index check at the end
    for (;;) {
        ++lineNumber;
        if (!std::getline(in, text)) {
            if (in.eof()) break;
            writeLine(messages, L"ERROR: Cannot read line " + std::to_wstring(lineNumber) +
                              L" of file " + quoted(fileName));
            return false;
        }
        std::istringstream line(text);
        std::string tag;
        if (!(line >> tag)) continue;
        if (tag == "v") {
            std::string rest;
            std::getline(line, rest);
            NumberScanner numbers(std::move(rest));
            float x, y, z;
            if (!(numbers.read(x) && numbers.read(y) && numbers.read(z)))
                return parseError(lineNumber);
            vertices.push_back({{x, y, z}, {}});
        } else if (tag == "f") {
            MeshTriangle t{};
            for (int c = 0; c < 3; ++c) {
                std::string word;
                if (!(line >> word)) return parseError(lineNumber);
                long long index;
                if (!NumberScanner(word.substr(0, word.find('/'))).read(index))
                    return parseError(lineNumber);
                // Faces may come before their vertices: indices are checked once the whole
                // file is read. Only 1..INT32_MAX can ever name a vertex.
                if (index < 1 || index > std::numeric_limits<int32_t>::max())
                    return parseError(lineNumber);
                t.indices[c] = int32_t(index - 1);
            }
            triangles.push_back(t);
            faceLines.push_back(lineNumber);
        }
    }
    // Only indices naming an existing vertex are accepted, so no later use can read outside the
    // vertex array; the first face (in file order) that names none fails with its line.
    for (size_t n = 0; n < triangles.size(); ++n)
        for (int32_t index : triangles[n].indices)
            if (size_t(index) >= vertices.size()) {
                triangles.resize(n);  // what is left refers to existing vertices only
                return parseError(faceLines[n]);
            }
    updateNormals();
    updateBounds();
    loaded = true;
    return true;
}

bool TriangleMesh::writeObj(const std::wstring& fileName, std::wostream* messages) const {
    const AtomicWriteResult result = writeFileAtomically(toUtf8(fileName), [&](FILE* f) {
        bool ok = true;
        for (const MeshVertex& v : vertices)
            if (std::fprintf(f, "v %.8e %.8e %.8e\n", double(v.position.x),
                             double(v.position.y), double(v.position.z)) < 0)
                ok = false;
        if (std::fputc('\n', f) == EOF) ok = false;
        for (const MeshTriangle& t : triangles)
            if (std::fprintf(f, "f %d %d %d\n", t.indices[0] + 1, t.indices[1] + 1,
                             t.indices[2] + 1) < 0)
                ok = false;
        return ok;
    });
    return reportOutputFile(messages, fileName, result);
}

void TriangleMesh::updateNormals() {
    for (MeshVertex& v : vertices) v.normal = {};
    for (MeshTriangle& t : triangles) {
        const Vec3f p0 = vertices[size_t(t.indices[0])].position;
        const Vec3f p1 = vertices[size_t(t.indices[1])].position;
        const Vec3f p2 = vertices[size_t(t.indices[2])].position;
        t.normal = cross(p1 - p0, p2 - p0);
        for (int c = 0; c < 3; ++c) vertices[size_t(t.indices[c])].normal += t.normal;
    }
    for (MeshVertex& v : vertices) {
        const float len = length(v.normal);
        if (len != 0.0f) v.normal = v.normal / len;
    }
}

void TriangleMesh::updateBounds() {
    Vec3f lo{FLT_MAX, FLT_MAX, FLT_MAX};
    Vec3f hi{-FLT_MAX, -FLT_MAX, -FLT_MAX};
    for (const MeshVertex& v : vertices)
        for (int a = 0; a < 3; ++a) {
            if (v.position[a] < lo[a]) lo[a] = v.position[a];
            if (v.position[a] > hi[a]) hi[a] = v.position[a];
        }
    for (int a = 0; a < 3; ++a) {
        center[a] = (hi[a] + lo[a]) * 0.5f;
        halfSize[a] = (hi[a] - lo[a]) * 0.5f;
    }
}

void TriangleMesh::scale(float factor) {
    for (MeshVertex& v : vertices) v.position *= factor;
    updateNormals();
    updateBounds();
}

void TriangleMesh::transform(const float m[16]) {
    for (MeshVertex& v : vertices) {
        const Vec3f p = v.position;
        v.position = {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
                      m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
                      m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
    }
    updateNormals();
    updateBounds();
}

float TriangleMesh::computeVolume() {
    double sum = 0.0;
    for (const MeshTriangle& t : triangles) {
        const Vec3d p0(vertices[size_t(t.indices[0])].position);
        const Vec3d p1(vertices[size_t(t.indices[1])].position);
        const Vec3d p2(vertices[size_t(t.indices[2])].position);
        sum += dot(p0, cross(p1 - p0, p2 - p0));
    }
    volume = float(sum / 6.0);
    return volume;
}

}  // namespace ostrel
