#include "core/HeapReuse.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace ostrel {

bool keepFreedMemoryForReuse() {
#if defined(__GLIBC__)
    return mallopt(M_TRIM_THRESHOLD, int(kKeptFreeBytes)) == 1 &&
           mallopt(M_MMAP_THRESHOLD, int(kHeapBlockLimit)) == 1;
#else
    return false;
#endif
}

}  // namespace ostrel
