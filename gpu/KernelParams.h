#pragma once
// The parameter array of one kernel launch, as Driver::launchKernel takes it: a pointer to each
// argument (cuLaunchKernel's kernelParams), then a null pointer, then the size and alignment of
// each argument as the caller declared it (one pointer-sized word each, see paramShape). The
// CUDA driver reads only as many pointers as the kernel has parameters and never looks further;
// a checking driver (the test suite's stand-in for libcuda) reads the rest to compare each
// launch with the kernel's declaration in the module.
//
// The arguments are referenced, not copied: they must outlive the launch. Temporaries do not
// bind, so an argument always has an address of its own.

#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrel {

/// Size and alignment of one argument in a word: bytes in the low 32 bits, alignment above.
constexpr uintptr_t paramShape(size_t bytes, size_t alignment) {
    return uintptr_t(bytes) | uintptr_t(alignment) << 32;
}
constexpr size_t paramBytes(uintptr_t shape) { return size_t(shape & 0xffffffffu); }
constexpr size_t paramAlignment(uintptr_t shape) { return size_t(shape >> 32); }

template <typename... Args>
class KernelParams {
public:
    explicit KernelParams(Args&... args)
        : slots_{const_cast<void*>(static_cast<const void*>(&args))..., nullptr,
                 reinterpret_cast<void*>(paramShape(sizeof(Args), alignof(Args)))...} {}

    /// The array for Driver::launchKernel.
    operator void**() { return slots_.data(); }

private:
    std::array<void*, 2 * sizeof...(Args) + 1> slots_;
};

}  // namespace ostrel
