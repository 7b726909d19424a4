#include "DeviceMemory.h"

#include <cstdlib>
#include <cstring>

namespace ostrel::standin {

namespace {
constexpr unsigned char kGuardByte = 0xfd;
constexpr unsigned char kFreedByte = 0xdd;

size_t tailGuard(size_t bytes) {
    const size_t padded = (bytes + DeviceMemory::kGuard - 1) / DeviceMemory::kGuard * DeviceMemory::kGuard;
    return padded - bytes + DeviceMemory::kGuard;
}

bool filled(const unsigned char* p, size_t n, unsigned char value) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value) return false;
    return true;
}
}  // namespace

DeviceMemory::~DeviceMemory() { releaseAll(); }

uintptr_t DeviceMemory::allocate(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX / 2) return 0;
    const size_t total = kGuard + bytes + tailGuard(bytes);
    auto* block = static_cast<unsigned char*>(std::aligned_alloc(kGuard, total));
    if (!block) return 0;
    std::memset(block, kGuardByte, kGuard);
    std::memset(block + kGuard + bytes, kGuardByte, tailGuard(bytes));
    const uintptr_t base = reinterpret_cast<uintptr_t>(block + kGuard);
    ranges_[base] = {base, bytes, false, true,
                     "allocation #" + std::to_string(++serial_) + " (" + std::to_string(bytes) +
                         " bytes)"};
    return base;
}

bool DeviceMemory::free(uintptr_t base) {
    auto it = ranges_.find(base);
    if (it == ranges_.end() || it->second.freed || !it->second.guarded) return false;
    Range& r = it->second;
    r.freed = true;
    std::memset(reinterpret_cast<void*>(base), kFreedByte, r.bytes);
    quarantine_.push_back(base);
    quarantined_ += r.bytes;
    while (quarantined_ > kQuarantineBytes && quarantine_.size() > 1) {
        const uintptr_t oldest = quarantine_.front();
        quarantine_.erase(quarantine_.begin());
        quarantined_ -= ranges_[oldest].bytes;
        release(oldest);
    }
    return true;
}

void DeviceMemory::addGlobal(const std::string& name, void* address, size_t bytes) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(address);
    ranges_[base] = {base, bytes, false, false,
                     "global " + name + " (" + std::to_string(bytes) + " bytes)"};
}

void DeviceMemory::release(uintptr_t base) {
    auto it = ranges_.find(base);
    if (it == ranges_.end()) return;
    if (it->second.guarded) std::free(reinterpret_cast<unsigned char*>(base) - kGuard);
    ranges_.erase(it);
}

void DeviceMemory::releaseAll() {
    while (!ranges_.empty()) release(ranges_.begin()->first);
    quarantine_.clear();
    quarantined_ = 0;
}

const DeviceMemory::Range* DeviceMemory::find(uintptr_t address) const {
    auto it = ranges_.upper_bound(address);
    if (it == ranges_.begin()) return nullptr;
    --it;
    const Range& r = it->second;
    return address - r.base < r.bytes ? &r : nullptr;
}

const DeviceMemory::Range* DeviceMemory::liveSpan(uintptr_t address, size_t bytes) const {
    const Range* r = find(address);
    if (!r || r->freed) return nullptr;
    return bytes <= r->bytes - (address - r->base) ? r : nullptr;
}

std::vector<std::string> DeviceMemory::damagedGuards() const {
    std::vector<std::string> damaged;
    for (const auto& [base, r] : ranges_) {
        if (!r.guarded || r.freed) continue;
        const auto* p = reinterpret_cast<const unsigned char*>(base);
        if (!filled(p - kGuard, kGuard, kGuardByte) ||
            !filled(p + r.bytes, tailGuard(r.bytes), kGuardByte))
            damaged.push_back(r.label);
    }
    return damaged;
}

size_t DeviceMemory::liveAllocations() const {
    size_t n = 0;
    for (const auto& [base, r] : ranges_) n += r.guarded && !r.freed;
    return n;
}

}  // namespace ostrel::standin
