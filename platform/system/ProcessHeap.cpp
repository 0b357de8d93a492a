#include "platform/system/ProcessHeap.h"

#include <cstdlib>  // defines __GLIBC__ on the C library that has the switches below

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace nx::sys {

void KeepHeapBetweenCalls() {
#if defined(__GLIBC__)
    // Setting the trim threshold also ends the library's own adjustment of both thresholds, so
    // the mapping threshold is set with it.
    ::mallopt(M_TRIM_THRESHOLD, 16 << 20);
    ::mallopt(M_TOP_PAD, 4 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 4 << 20);
#endif
}

}  // namespace nx::sys
