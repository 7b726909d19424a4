#include "core/AtomicFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

namespace {
std::string reasonOf(int error) { return error ? std::strerror(error) : std::string(); }
}  // namespace

AtomicWriteResult writeFileAtomically(const std::string& target,
                                      const std::function<bool(std::FILE*)>& write) {
    const std::string temporary = target + ".tmp" + std::to_string(::getpid()) + "~";
    errno = 0;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return {AtomicWriteResult::Status::cannotCreate, reasonOf(errno)};
    errno = 0;
    bool ok = write(file);
    if (std::ferror(file)) ok = false;
    int error = errno;
    if (std::fclose(file) != 0) {
        ok = false;
        error = errno;
    }
    if (ok && std::rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (ok) return {};
    std::remove(temporary.c_str());
    return {AtomicWriteResult::Status::failed, reasonOf(error)};
}

AtomicWriteResult writeFileAtomically(const std::string& target, std::string_view bytes) {
    return writeFileAtomically(target, [bytes](std::FILE* file) {
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    });
}

}  // namespace ostrel
