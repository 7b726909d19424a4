#pragma once
// The CUDA driver stand-in's device memory: host memory in which every allocation sits between
// two guard zones filled with a pattern, so that a kernel writing past either end is seen
// (guardsIntact) before the next verb. A freed allocation keeps its address range, poisoned,
// until enough later frees push it out, so that a stale pointer is recognised as freed instead
// of landing in a newer allocation. Module globals are ranges of their own (no guards).
// Addresses are host addresses: the kernels run on the host.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrel::standin {

class DeviceMemory {
public:
    /// Bytes of each guard zone; also the alignment of every allocation (as the driver's 256).
    static constexpr size_t kGuard = 256;
    /// Freed bytes kept reserved before the oldest freed range is given back.
    static constexpr size_t kQuarantineBytes = size_t(512) << 20;

    struct Range {
        uintptr_t base = 0;
        size_t bytes = 0;
        bool freed = false;
        bool guarded = false;  // false for module globals
        std::string label;     // "allocation #3 (4096 bytes)" or "global Ke_ (4608 bytes)"
    };

    DeviceMemory() = default;
    DeviceMemory(const DeviceMemory&) = delete;
    DeviceMemory& operator=(const DeviceMemory&) = delete;
    ~DeviceMemory();

    /// A new allocation of `bytes` (> 0); 0 when the host cannot provide it.
    uintptr_t allocate(size_t bytes);
    /// Frees the allocation that starts at `base`; false when none live starts there.
    bool free(uintptr_t base);
    /// Registers module storage as a range of its own.
    void addGlobal(const std::string& name, void* address, size_t bytes);
    /// Frees every allocation and forgets the globals (the context is gone).
    void releaseAll();

    /// The range (live or freed) that holds `address`; null when none does.
    const Range* find(uintptr_t address) const;
    /// The live range that holds all of [address, address + bytes); null when none does.
    const Range* liveSpan(uintptr_t address, size_t bytes) const;
    /// Labels of the live allocations whose guard zones were overwritten.
    std::vector<std::string> damagedGuards() const;
    size_t liveAllocations() const;

private:
    void release(uintptr_t base);

    std::map<uintptr_t, Range> ranges_;  // by base address
    std::vector<uintptr_t> quarantine_;  // freed ranges, oldest first
    size_t quarantined_ = 0;
    unsigned serial_ = 0;
};

}  // namespace ostrel::standin
