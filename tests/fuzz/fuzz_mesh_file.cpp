// Fuzz target: reads arbitrary bytes as a mesh file whose format is chosen by its content (OBJ,
// binary or ASCII STL); a mesh that loads has valid indices, and its binary STL copy reads back
// with the same triangle count.

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "core/Console.h"
#include "fuzz/FuzzSupport.h"
#include "geometry/MeshFile.h"
#include "geometry/TriangleMesh.h"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring name = fromUtf8(fuzz::writeScratchFile("input.mesh", data, size));
    std::wostringstream log;
    TriangleMesh mesh;
    if (!readMeshFile(mesh, name, &log)) return 0;
    for (const MeshTriangle& t : mesh.triangles)
        for (int32_t index : t.indices)
            if (index < 0 || size_t(index) >= mesh.vertices.size()) std::abort();
    const std::wstring copy = fromUtf8(fuzz::scratchFolder() + "/copy.stl");
    if (!writeStl(mesh, copy, &log)) return 0;
    TriangleMesh again;
    if (!readMeshFile(again, copy, &log)) std::abort();
    if (again.triangles.size() != mesh.triangles.size()) std::abort();
    return 0;
}
