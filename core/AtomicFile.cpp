#include "core/AtomicFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

namespace {

std::string reasonOf(int error) { return error ? std::strerror(error) : std::string(); }

// The file a path names once its symbolic links are followed (also a link whose target does
// not exist yet); the path itself when it is no link. A relative link counts from its folder.
std::string followLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat s;
        if (::lstat(path.c_str(), &s) != 0 || !S_ISLNK(s.st_mode)) return path;
        std::string link(size_t(s.st_size > 0 ? s.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n <= 0 || size_t(n) >= link.size()) return path;
        link.resize(size_t(n));
        const size_t slash = path.rfind('/');
        path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    return path;  // a loop of links: the rename below fails with the system's reason
}

}  // namespace

AtomicWriteResult writeFileAtomically(const std::string& name,
                                      const std::function<bool(std::FILE*)>& write) {
    // A symbolic link stays a link: the file it points to is replaced, keeping its mode.
    const std::string target = followLinks(name);
    const std::string temporary = target + ".tmp" + std::to_string(::getpid()) + "~";
    struct stat old;
    const bool hadFile = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    errno = 0;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return {AtomicWriteResult::Status::cannotCreate, reasonOf(errno)};
    errno = 0;
    bool ok = write(file);
    if (ok && hadFile && ::fchmod(fileno(file), old.st_mode & 07777) != 0) ok = false;
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
