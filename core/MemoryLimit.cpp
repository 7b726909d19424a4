#include "core/MemoryLimit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/Console.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

constexpr double kGigabyte = 1024.0 * 1024.0 * 1024.0;
// cgroup v1 writes "no limit" as the largest page-aligned 63-bit number.
constexpr uint64_t kCgroupV1Unlimited = uint64_t(1) << 62;

std::string readText(const fs::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    return text.str();
}

/// The value of the line "<key>: <number> kB" (or "<key> <number>") of a proc or cgroup
/// statistics file, times `unit`.
std::optional<uint64_t> fieldOf(const std::string& text, std::string_view key, uint64_t unit) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0 || line.size() == key.size()) continue;
        const char next = line[key.size()];
        if (next != ':' && next != ' ') continue;
        std::istringstream value(line.substr(key.size() + 1));
        unsigned long long n = 0;
        if (value >> n) return uint64_t(n) * unit;
    }
    return std::nullopt;
}

/// A file that holds one number (or "max", no limit).
std::optional<uint64_t> numberIn(const fs::path& file) {
    std::istringstream in(readText(file));
    unsigned long long n = 0;
    if (in >> n) return uint64_t(n);
    return std::nullopt;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

struct CgroupMount {
    fs::path mountPoint;  // as the mount table names it
    std::string root;     // the cgroup path the mount shows at its mount point
};

/// The memory controller's mount of cgroup v1 (`v2` false) or the cgroup2 mount.
std::optional<CgroupMount> findMount(const std::string& mountInfo, bool v2) {
    std::istringstream in(mountInfo);
    for (std::string line; std::getline(in, line);) {
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream left(line.substr(0, dash)), right(line.substr(dash + 3));
        std::string id, parent, device, root, mountPoint, type, source, options;
        if (!(left >> id >> parent >> device >> root >> mountPoint)) continue;
        if (!(right >> type >> source >> options)) continue;
        if (v2 ? type != "cgroup2" : type != "cgroup") continue;
        if (!v2) {
            const std::vector<std::string> words = split(options, ',');
            if (std::find(words.begin(), words.end(), "memory") == words.end()) continue;
        }
        return CgroupMount{mountPoint, root};
    }
    return std::nullopt;
}

/// The path of the process's cgroup in the hierarchy: the "0::" line for v2, the line whose
/// controllers include "memory" for v1.
std::optional<std::string> cgroupPath(const std::string& cgroups, bool v2) {
    std::istringstream in(cgroups);
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool match = v2 ? line.compare(0, first, "0") == 0 && controllers.empty()
                              : [&] {
                                    const auto words = split(controllers, ',');
                                    return std::find(words.begin(), words.end(), "memory") !=
                                           words.end();
                                }();
        if (match) return line.substr(second + 1);
    }
    return std::nullopt;
}

/// Smallest room of the limited cgroups from the process's own up to the mount's root.
std::optional<uint64_t> cgroupRoomOf(const fs::path& root, const std::string& cgroups,
                                     const std::string& mountInfo, bool v2) {
    const std::optional<CgroupMount> mount = findMount(mountInfo, v2);
    const std::optional<std::string> path = cgroupPath(cgroups, v2);
    if (!mount || !path) return std::nullopt;
    const fs::path top = root / mount->mountPoint.relative_path();
    // The path relative to the mount; a path outside what the mount shows (another cgroup
    // namespace) leaves only the mount's own files.
    std::string relative = *path;
    if (mount->root != "/" && relative.compare(0, mount->root.size(), mount->root) == 0)
        relative = relative.substr(mount->root.size());
    fs::path folder = top / fs::path(relative).relative_path();
    std::error_code ec;
    if (fs::path(relative).relative_path().empty() || !fs::is_directory(folder, ec)) folder = top;

    std::optional<uint64_t> room;
    for (fs::path at = folder;; at = at.parent_path()) {
        const std::optional<uint64_t> limit =
            numberIn(at / (v2 ? "memory.max" : "memory.limit_in_bytes"));
        const std::optional<uint64_t> usage =
            numberIn(at / (v2 ? "memory.current" : "memory.usage_in_bytes"));
        if (limit && usage && !(!v2 && *limit >= kCgroupV1Unlimited)) {
            const std::string stat = readText(at / "memory.stat");
            std::optional<uint64_t> inactive =
                fieldOf(stat, v2 ? "inactive_file" : "total_inactive_file", 1);
            if (!inactive && !v2) inactive = fieldOf(stat, "inactive_file", 1);
            const uint64_t used = *usage - std::min(*usage, inactive.value_or(0));
            const uint64_t here = *limit > used ? *limit - used : 0;
            room = room ? std::min(*room, here) : here;
        }
        if (at == top || at.parent_path() == at || at.native().size() <= top.native().size())
            break;
    }
    return room;
}

std::optional<uint64_t> softLimit(int resource) {
    rlimit r{};
    if (getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return uint64_t(r.rlim_cur);
}

double roomUnder(uint64_t limit, uint64_t used, double margin) {
    return std::max(0.0, double(limit) - double(used) - margin);
}

}  // namespace

MemoryFacts readMemoryFacts(const fs::path& root) {
    MemoryFacts facts;
    const std::string meminfo = readText(root / "proc/meminfo");
    facts.physical = fieldOf(meminfo, "MemTotal", 1024);
    if (!facts.physical) {
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
        if (pages > 0 && pageSize > 0) facts.physical = uint64_t(pages) * uint64_t(pageSize);
    }
    facts.available = fieldOf(meminfo, "MemAvailable", 1024);
    const std::string status = readText(root / "proc/self/status");
    facts.addressSpaceUsed = fieldOf(status, "VmSize", 1024).value_or(0);
    facts.dataUsed = fieldOf(status, "VmData", 1024).value_or(0);
    facts.addressSpaceLimit = softLimit(RLIMIT_AS);
    facts.dataLimit = softLimit(RLIMIT_DATA);

    const std::string cgroups = readText(root / "proc/self/cgroup");
    const std::string mountInfo = readText(root / "proc/self/mountinfo");
    for (bool v2 : {false, true}) {
        const std::optional<uint64_t> room = cgroupRoomOf(root, cgroups, mountInfo, v2);
        if (room) facts.cgroupRoom = facts.cgroupRoom ? std::min(*facts.cgroupRoom, *room) : *room;
    }
    return facts;
}

MemoryLimit smallestMemoryLimit(const MemoryFacts& f, int threads, double laterMappedBytes) {
    const double perProcess = kBaseMarginBytes + double(std::max(threads, 0)) * kThreadMarginBytes +
                              std::max(laterMappedBytes, 0.0);
    MemoryLimit best{HUGE_VAL, L"physical memory"};
    auto consider = [&](double bytes, const wchar_t* source) {
        if (bytes < best.bytes) best = {bytes, source};
    };
    // What the machine's processes share, this one's share of it.
    const int sharing = std::max(f.sharedBy, 1);
    const std::wstring shared =
        sharing > 1 ? L" shared by " + std::to_wstring(sharing) + L" processes" : L"";
    auto considerShared = [&](double bytes, const wchar_t* source) {
        if (bytes / sharing < best.bytes) best = {bytes / sharing, source + shared};
    };
    if (f.physical) considerShared(double(*f.physical), L"physical memory");
    if (f.available) considerShared(kAvailableShare * double(*f.available), L"available memory");
    if (f.addressSpaceLimit)
        consider(roomUnder(*f.addressSpaceLimit, f.addressSpaceUsed, perProcess),
                 L"address-space limit");
    if (f.dataLimit)
        consider(roomUnder(*f.dataLimit, f.dataUsed, perProcess), L"data-segment limit");
    if (f.cgroupRoom)
        considerShared(roomUnder(*f.cgroupRoom, 0, kBaseMarginBytes), L"cgroup memory limit");
    return best;
}

MemoryLimit processMemoryLimit(int threads, double laterMappedBytes, int sharedBy) {
    MemoryFacts facts = readMemoryFacts();
    facts.sharedBy = sharedBy;
    return smallestMemoryLimit(facts, threads, laterMappedBytes);
}

std::wstring formatGigabytes(double bytes, bool roundUp) {
    const double gb = bytes / kGigabyte;
    if (!(gb > 0)) return L"0";
    if (!std::isfinite(gb)) return L"inf";
    // Three significant digits: scale so that the value has three digits before the point.
    const double unit = std::pow(10.0, std::floor(std::log10(gb)) - 2);
    const double scaled = gb / unit;
    // A value already on a step stays there despite the rounding error of the division.
    const double steps = roundUp ? std::ceil(scaled * (1 - 1e-12)) : std::floor(scaled * (1 + 1e-12));
    std::wostringstream text;
    text.precision(3);
    const double value = steps * unit;
    if (value >= 100)
        text << std::llround(value);
    else
        text << value;
    return text.str();
}

std::string outOfMemoryLine(const std::wstring& what) {
    const MemoryLimit limit = processMemoryLimit(0);
    return toUtf8(L"ERROR: Out of memory: " + what + L"; the process may use " +
                  formatGigabytes(limit.bytes, false) + L" GB more (" + limit.source + L")");
}

void throwOutOfMemory(const std::wstring& what) { throw OutOfMemoryError{outOfMemoryLine(what)}; }

}  // namespace ostrel
