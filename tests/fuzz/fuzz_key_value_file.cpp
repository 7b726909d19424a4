// Fuzz target: reads arbitrary bytes as a key-value file, runs every typed getter on every key
// and writes the file back, then reads the written file again: it must give the same entries.

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "core/Console.h"
#include "fuzz/FuzzSupport.h"
#include "scene/KeyValueFile.h"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring name = fromUtf8(fuzz::writeScratchFile("input.txt", data, size));
    std::wostringstream log;
    KeyValueFile file;
    if (!file.read(name, &log)) return 0;
    for (const KeyValueFile::Entry& entry : file.entries()) {
        const std::wstring& key = entry.first;
        int i = 0;
        float f = 0, m[16] = {};
        double d = 0;
        Vec3f f3;
        Vec3d d3;
        bool b = false;
        std::wstring s;
        file.getInt(key, i, &log);
        file.getFloat(key, f, &log);
        file.getFloat3(key, f3, &log);
        file.getMatrix4x4(key, m, &log);
        file.getDouble(key, d, &log);
        file.getDouble3(key, d3, &log);
        file.getBool(key, b, &log);
        if (!file.getString(key, s, &log)) std::abort();  // every listed key is found
    }
    const std::wstring copy = fromUtf8(fuzz::scratchFolder() + "/copy.txt");
    if (!file.write(copy, &log)) return 0;
    KeyValueFile again;
    if (!again.read(copy, &log)) std::abort();  // a written file always reads back
    if (again.entries() != file.entries()) std::abort();
    return 0;
}
