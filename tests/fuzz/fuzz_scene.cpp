// Fuzz target: loads arbitrary bytes as a scene file whose MESH names a small box (written under
// the mesh names of the examples, so the example scenes seed the corpus), on the host device with
// a memory limit of 16 MB, then writes the summary and saves the scene. A grid beyond the limit
// must be refused, not attempted; nothing may crash or end the process.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>

#include "core/Console.h"
#include "fuzz/FuzzSupport.h"
#include "scene/Scene.h"
#include "support/SceneProblem.h"

using namespace ostrel;

namespace {

constexpr double kMemoryLimit = 16.0 * 1024 * 1024;

const char kBox[] =
    "v 0 0 0\nv 1 0 0\nv 0 0.5 0\nv 1 0.5 0\nv 0 0 0.5\nv 1 0 0.5\nv 0 0.5 0.5\nv 1 0.5 0.5\n"
    "f 1 3 4\nf 1 4 2\nf 5 6 8\nf 5 8 7\nf 1 2 6\nf 1 6 5\nf 3 7 8\nf 3 8 4\n"
    "f 1 5 7\nf 1 7 3\nf 2 4 8\nf 2 8 6\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"box.obj", "beam.obj", "bracket.obj", "block.obj", "torus.obj"})
        fuzz::writeScratchFile(name, reinterpret_cast<const uint8_t*>(kBox), sizeof kBox - 1);
    // The loader's progress lines go to standard output; libFuzzer reports on standard error.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring name = fromUtf8(fuzz::writeScratchFile("scene.txt", data, size));
    // Only the meshes of the scratch folder: a MESH naming a path elsewhere (a device file, a
    // large file) would test the machine, not the loader.
    {
        KeyValueFile file;
        std::wstring mesh;
        if (file.read(name, nullptr) && file.getString(L"MESH", mesh, nullptr, true) &&
            mesh.find_first_of(L"/\\") != std::wstring::npos)
            return 0;
    }
    std::wostringstream log;
    ostrel::testing::SceneProblem scene(DeviceOptions{true, 1});
    scene.setMemoryLimit(kMemoryLimit);
    if (!scene.loadScene(name, &log)) return 0;
    scene.sceneSummary();
    scene.saveScene(fromUtf8(fuzz::scratchFolder() + "/saved.txt"), &log);
    return 0;
}
