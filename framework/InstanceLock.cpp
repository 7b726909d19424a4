#include "framework/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ostrel {

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        close(fd_);  // closing drops the flock
}

std::string InstanceLock::defaultPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/ostrel-window.lock";
    return "/tmp/ostrel-window-" + std::to_string(getuid()) + ".lock";
}

bool InstanceLock::acquire(const std::string& path, std::string* error) {
    if (fd_ >= 0)
        return true;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        if (error)
            error->clear();
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace ostrel
