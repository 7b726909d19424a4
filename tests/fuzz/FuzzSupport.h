#pragma once
// Shared by the fuzz targets: each input is written to a scratch file of its own, because the
// readers under test take file names.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ostrel::fuzz {

/// A per-process scratch folder under TMPDIR (or /tmp), created on first use.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ostrel-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    return folder;
}

/// Writes `size` bytes to `name` inside the scratch folder and returns the full path.
inline std::string writeScratchFile(const char* name, const uint8_t* data, size_t size) {
    const std::string path = scratchFolder() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

}  // namespace ostrel::fuzz
