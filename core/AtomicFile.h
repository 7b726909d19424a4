#pragma once
// Replacing a file so that it is never left half-written: the content goes to a temporary file
// beside the target ("<target>.tmp<pid>~", so concurrent writers never share one), which is
// then renamed over the target. Readers see the old file or the complete new one. On any
// failure the temporary file is removed and the target is left as it was. A target that is a
// symbolic link stays one: the file it points to (through any chain of links) is replaced. A
// replaced file keeps its permission bits; a new one gets the default of the umask.

#include <cstdio>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

struct AtomicWriteResult {
    enum class Status { ok, cannotCreate, failed };
    Status status = Status::ok;
    std::string reason;  ///< the system's reason for a failure (strerror), may be empty
    explicit operator bool() const { return status == Status::ok; }
    /// ": <reason>" to end a message with, or "" when the system gave no reason.
    std::string reasonSuffix() const { return reason.empty() ? reason : ": " + reason; }
};

/// Creates the temporary file, lets `write` fill it (returning false on a write error), then
/// renames it over `target` (a UTF-8 path).
AtomicWriteResult writeFileAtomically(const std::string& target,
                                      const std::function<bool(std::FILE*)>& write);

/// The same for content held in memory.
AtomicWriteResult writeFileAtomically(const std::string& target, std::string_view bytes);

/// An output file's failed write as one "ERROR: Cannot create output file ..." or "ERROR: Error
/// writing output file ..." line on `messages` (null = silent); nothing when it succeeded.
/// Returns whether it succeeded.
bool reportOutputFile(std::wostream* messages, const std::wstring& fileName,
                      const AtomicWriteResult& result);

/// Removes the temporary files that writers killed mid-write (kill -9, power loss) left in
/// `folder`: regular files named "<target>.tmp<pid>~" whose process is gone (or is this one,
/// which has not begun to write). Nothing else is touched, and the temporary of a writer that
/// still runs stays. Returns the names of the removed files.
std::vector<std::string> removeStaleTemporaries(const std::string& folder);

}  // namespace ostrel
