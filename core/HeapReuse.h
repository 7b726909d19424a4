#pragma once
// Keeps memory the process frees for its next allocations instead of handing it back to the
// kernel at once. Mesa's software rasterizer allocates and frees tens of megabytes of binning
// data in every frame; with the allocator's defaults each frame gives that memory back and
// faults it in again page by page, which costs about as much as the drawing itself.
//
// keepFreedMemoryForReuse keeps up to kKeptFreeBytes of free memory at the top of the heap and
// serves blocks below kHeapBlockLimit from the heap (the largest block the allocator would
// learn to keep there by itself). Call it once at start-up, before other threads run; it does
// nothing where the C library has no such settings.

#include <cstddef>

namespace ostrel {

inline constexpr std::size_t kKeptFreeBytes = std::size_t(128) << 20;
inline constexpr std::size_t kHeapBlockLimit = std::size_t(32) << 20;

/// True when the settings took effect.
bool keepFreedMemoryForReuse();

}  // namespace ostrel
