#pragma once
// The huge-page hint for the big buffers a report is built in or a whole log
// database is read into.
#include <cstddef>
#include <cstdint>
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace dupmon {

// A report or a whole log database is a buffer of a few hundred megabytes
// that is written once from start to end. Asking for huge pages for it turns
// tens of thousands of page faults into a few hundred, which on a virtual
// machine is most of the time a report takes. Only a hint: without it the
// buffer works the same.
inline void adviseLargeBuffer(void* data, size_t size) {
#ifdef __linux__
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    if (size < 4 * kHugePage)
        return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

} // namespace dupmon
