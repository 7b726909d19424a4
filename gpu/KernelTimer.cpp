#include "gpu/KernelTimer.h"

#include "core/Timing.h"
#include "gpu/Driver.h"

namespace ostrel {

KernelTimer::KernelTimer(const Driver& driver) : available_(driver.isHost()) {}

void KernelTimer::begin() {
    if (available_) start_ = std::chrono::steady_clock::now();
}

void KernelTimer::end() {
    if (available_) seconds_ += secondsSince(start_);
}

}  // namespace ostrel
