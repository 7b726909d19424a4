#pragma once
// The per-user lock that marks a running Ostrel window: a file lock (flock) on
// "$XDG_RUNTIME_DIR/ostrel-window.lock", or "/tmp/ostrel-window-<uid>.lock" when that variable
// is not set. The lock is held from acquire() until the object is destroyed; the operating
// system drops it when the process ends, however it ends, so no stale lock survives a crash.

#include <string>

namespace ostrel {

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    /// The lock file of this user.
    static std::string defaultPath();
    /// Tries to take the lock without waiting. False when another process holds it (or the
    /// file cannot be opened: then no other instance can be detected either, and false is
    /// returned with `error` set).
    bool acquire(const std::string& path, std::string* error = nullptr);
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace ostrel
