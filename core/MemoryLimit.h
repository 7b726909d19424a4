#pragma once
// The memory this process may still allocate, and what limits it.
//
// The limit is the smallest of: the machine's physical memory; the memory the kernel reports
// available (MemAvailable, of which kAvailableShare is taken, the rest left to the system); the
// address-space and data-segment limits (soft RLIMIT_AS and RLIMIT_DATA) less what the process
// already maps (VmSize, VmData), less a margin for thread stacks and allocator reserves that
// no estimate of the model counts and less what libraries will still map (the work buffers of
// the dense factorization's BLAS threads, reserved on their first call but hardly touched, so
// counted under these two limits only); and every memory cgroup (v1 or v2) that holds the process,
// from its own up to the mount's root, each limit less the cgroup's usage without its inactive
// file pages (which the kernel reclaims before it fails an allocation), less a base margin.
//
// readMemoryFacts reads the figures from /proc and the cgroup file systems under a root folder
// (tests pass a folder that stands for "/"); the resource limits come from getrlimit.
// Main thread only.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ostrel {

/// Share of MemAvailable the process counts on.
inline constexpr double kAvailableShare = 0.9;
/// Kept free under every limit but MemAvailable, for what no estimate counts.
inline constexpr double kBaseMarginBytes = 64.0 * 1024 * 1024;
/// Kept free per worker thread under the address-space and data limits: its stack (8 MB) and
/// the allocator's arena reserve (64 MB).
inline constexpr double kThreadMarginBytes = 72.0 * 1024 * 1024;

/// What the process may still allocate and the limit that says so.
struct MemoryLimit {
    double bytes = 0;
    /// "physical memory", "available memory", "address-space limit", "data-segment limit",
    /// "cgroup memory limit", or the name a caller gave its own limit.
    std::wstring source;
};

/// The figures of the limit, in bytes; empty = unknown or unlimited.
struct MemoryFacts {
    std::optional<uint64_t> physical;           ///< MemTotal, else the page count
    std::optional<uint64_t> available;          ///< MemAvailable
    std::optional<uint64_t> addressSpaceLimit;  ///< soft RLIMIT_AS
    uint64_t addressSpaceUsed = 0;              ///< VmSize
    std::optional<uint64_t> dataLimit;          ///< soft RLIMIT_DATA
    uint64_t dataUsed = 0;                      ///< VmData
    /// Smallest room (limit - usage + inactive file pages, at least 0) of the limited memory
    /// cgroups that hold the process.
    std::optional<uint64_t> cgroupRoom;
    /// Processes that share the machine's memory and the cgroups' room, this one among them
    /// (the processes of a many-process run on one machine): each counts on an even share of
    /// those, named "<source> shared by N processes". Its own limits are its own.
    int sharedBy = 1;
};

/// Reads the figures; `root` stands for "/" (the files below it: proc/meminfo,
/// proc/self/status, proc/self/cgroup, proc/self/mountinfo and the cgroup mounts it names).
MemoryFacts readMemoryFacts(const std::filesystem::path& root = "/");

/// The smallest limit of `facts` after the margins for `threads` worker threads and the
/// `laterMappedBytes` that libraries will still map (ties go to the first in the order of the
/// header comment). Without any figure: unlimited, named "physical memory".
MemoryLimit smallestMemoryLimit(const MemoryFacts& facts, int threads,
                                double laterMappedBytes = 0);

/// smallestMemoryLimit(readMemoryFacts(), threads, laterMappedBytes), the facts shared by
/// `sharedBy` processes.
MemoryLimit processMemoryLimit(int threads, double laterMappedBytes = 0, int sharedBy = 1);

/// Bytes in GB (2^30 bytes) with three significant digits, rounded up or down ("3.21", "0.854",
/// "153", "1240").
std::wstring formatGigabytes(double bytes, bool roundUp);

/// "ERROR: Out of memory: <what>; the process may use M GB more (<source>)" with the process's
/// limit of now (processMemoryLimit(0)), without the line end.
std::string outOfMemoryLine(const std::wstring& what);

/// Running out of memory where the layers below the programs find it (the host device's
/// allocations): carries the line of outOfMemoryLine. The programs write it to standard error
/// and end with status 1 (app/ProgramEnd.h). It derives from no standard exception, so that
/// handlers of ordinary errors let it pass.
struct OutOfMemoryError {
    std::string line;
};

/// Throws OutOfMemoryError{outOfMemoryLine(what)}.
[[noreturn]] void throwOutOfMemory(const std::wstring& what);

}  // namespace ostrel
