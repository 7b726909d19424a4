// Heap reuse: after keepFreedMemoryForReuse, memory a frame frees stays in the process for the
// next frame (64 KiB blocks, as the software rasterizer's binning data, and one large block),
// where the allocator's defaults hand it back to the kernel.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/HeapReuse.h"

namespace {

/// Page faults while `count` blocks of `size` bytes are allocated, touched and freed in reverse
/// order, after the same churn once before (the previous "frame").
long faultsOfRepeatedChurn(size_t count, size_t size) {
    const auto churn = [&] {
        std::vector<void*> blocks;
        for (size_t i = 0; i < count; ++i) {
            void* p = std::malloc(size);
            if (!p) std::_Exit(3);
            std::memset(p, 1, size);
            blocks.push_back(p);
        }
        for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) std::free(*it);
    };
    churn();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    churn();
    getrusage(RUSAGE_SELF, &after);
    return after.ru_minflt - before.ru_minflt;
}

TEST(HeapReuse, MemoryAFrameFreesStaysForTheNext) {
    // In a child process, so that the allocator starts from its defaults. 40 MiB of 64 KiB
    // blocks are 10 240 pages, a 24 MiB block 6 144.
    EXPECT_EXIT(
        {
            const long smallBefore = faultsOfRepeatedChurn(640, 64 << 10);
            const bool applied = ostrel::keepFreedMemoryForReuse();
            const long smallAfter = faultsOfRepeatedChurn(640, 64 << 10);
            const long largeAfter = faultsOfRepeatedChurn(1, 24 << 20);
            std::fprintf(stderr, "applied %d, page faults %ld / %ld / %ld\n", int(applied),
                         smallBefore, smallAfter, largeAfter);
            std::_Exit(applied && smallBefore > 5000 && smallAfter < 200 && largeAfter < 200 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "applied 1");
}

}  // namespace
