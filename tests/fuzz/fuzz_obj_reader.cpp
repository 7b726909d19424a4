// Fuzz target: reads arbitrary bytes as an OBJ file; a mesh that loads is transformed, its
// volume computed, written and read back: the copy must hold the same triangles.

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "core/Console.h"
#include "fuzz/FuzzSupport.h"
#include "geometry/TriangleMesh.h"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring name = fromUtf8(fuzz::writeScratchFile("input.obj", data, size));
    std::wostringstream log;
    TriangleMesh mesh;
    if (!mesh.readObj(name, &log)) return 0;
    for (const MeshTriangle& t : mesh.triangles)
        for (int32_t index : t.indices)
            if (index < 0 || size_t(index) >= mesh.vertices.size()) std::abort();
    mesh.computeVolume();
    const float m[16] = {2, 0, 0, 1, 0, 0.5f, 0, -1, 0, 0, 1, 3, 0, 0, 0, 1};
    mesh.transform(m);
    const std::wstring copy = fromUtf8(fuzz::scratchFolder() + "/copy.obj");
    if (!mesh.writeObj(copy, &log)) return 0;
    TriangleMesh again;
    if (!again.readObj(copy, &log)) std::abort();
    if (again.triangles.size() != mesh.triangles.size() ||
        again.vertices.size() != mesh.vertices.size())
        std::abort();
    for (size_t n = 0; n < mesh.triangles.size(); ++n)
        for (int c = 0; c < 3; ++c)
            if (again.triangles[n].indices[c] != mesh.triangles[n].indices[c]) std::abort();
    return 0;
}
