#pragma once
// Replacing a file so that it is never left half-written: the content goes to a temporary file
// beside the target ("<target>.tmp<pid>~", so concurrent writers never share one), which is
// then renamed over the target. Readers see the old file or the complete new one. On any
// failure the temporary file is removed and the target is left as it was. A target that is a
// symbolic link stays one: the file it points to (through any chain of links) is replaced. A
// replaced file keeps its permission bits; a new one gets the default of the umask.

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace ostrel {

struct AtomicWriteResult {
    enum class Status { ok, cannotCreate, failed };
    Status status = Status::ok;
    std::string reason;  ///< the system's reason for a failure (strerror), may be empty
    explicit operator bool() const { return status == Status::ok; }
};

/// Creates the temporary file, lets `write` fill it (returning false on a write error), then
/// renames it over `target` (a UTF-8 path).
AtomicWriteResult writeFileAtomically(const std::string& target,
                                      const std::function<bool(std::FILE*)>& write);

/// The same for content held in memory.
AtomicWriteResult writeFileAtomically(const std::string& target, std::string_view bytes);

}  // namespace ostrel
