#include "core/ExecutablePath.h"

#include <unistd.h>

namespace ostrel {

std::string executableDirectory() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return "";
    path.resize(size_t(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace ostrel
