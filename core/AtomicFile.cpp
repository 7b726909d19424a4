#include "core/AtomicFile.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <ostream>

#include "core/Console.h"

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

namespace {

/// The writer's process id of a temporary file's name "<target>.tmp<pid>~"; 0 for any other.
long temporaryWriter(const std::string& name) {
    if (name.size() < 6 || name.back() != '~') return 0;
    const size_t digitsEnd = name.size() - 1;
    size_t digitsBegin = digitsEnd;
    while (digitsBegin > 0 && std::isdigit(static_cast<unsigned char>(name[digitsBegin - 1])))
        --digitsBegin;
    if (digitsBegin == digitsEnd || digitsEnd - digitsBegin > 9 || digitsBegin < 5 ||
        name.compare(digitsBegin - 4, 4, ".tmp") != 0)
        return 0;
    return std::strtol(name.c_str() + digitsBegin, nullptr, 10);
}

}  // namespace

std::vector<std::string> removeStaleTemporaries(const std::string& folder) {
    std::vector<std::string> removed;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return removed;
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const long pid = temporaryWriter(name);
        if (pid <= 0) continue;
        // A writer that still runs keeps its file; this process has not begun to write yet.
        if (pid != long(::getpid()) && !(::kill(pid_t(pid), 0) != 0 && errno == ESRCH)) continue;
        struct stat s;
        const std::string path = prefix + name;
        if (::lstat(path.c_str(), &s) != 0 || !S_ISREG(s.st_mode)) continue;
        if (::unlink(path.c_str()) == 0) removed.push_back(name);
    }
    ::closedir(dir);
    return removed;
}

bool reportOutputFile(std::wostream* messages, const std::wstring& fileName,
                      const AtomicWriteResult& result) {
    if (result.status == AtomicWriteResult::Status::cannotCreate)
        writeLine(messages, L"ERROR: Cannot create output file " + quoted(fileName) +
                                fromUtf8(result.reasonSuffix()));
    else if (!result)
        writeLine(messages, L"ERROR: Error writing output file " + quoted(fileName) +
                                fromUtf8(result.reasonSuffix()));
    return bool(result);
}

}  // namespace ostrel
