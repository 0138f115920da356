// fastcopy.h - byte copy that stays fast whatever the relative placement
// of source and destination.
//
// Some C libraries' memcpy falls into a slow path for copies of a few KiB
// and more when the destination lies just above the source modulo the page
// size. Block data of the cluster is 64-byte aligned while callers' buffers
// are not, so the placement is common. copyBytes keeps one place to treat
// it; the explicit 32-byte-move loop below is selected by
// MIRRORBANK_AVOID_PAGE_ALIASING, off by default because bench/standin_bench
// measured memcpy faster than the loop at every placement on our machines
// (glibc 2.36): re-measure before switching it on.
#ifndef MIRRORBANK_STANDIN_FASTCOPY_H
#define MIRRORBANK_STANDIN_FASTCOPY_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mbstandin {

inline bool copyPlacementIsSlow(const void* dst, const void* src, size_t n) {
    if (n < 1024) return false;
    uintptr_t diff = (reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src)) & 4095u;
    return (diff >= 1 && diff <= 63) || diff >= 4033;
}

#ifndef MIRRORBANK_AVOID_PAGE_ALIASING
#define MIRRORBANK_AVOID_PAGE_ALIASING 0
#endif

inline void copyBytes(void* dst, const void* src, size_t n) {
    if (!MIRRORBANK_AVOID_PAGE_ALIASING || !copyPlacementIsSlow(dst, src, n)) {
        std::memcpy(dst, src, n);
        return;
    }
    auto* d = static_cast<unsigned char*>(dst);
    auto* s = static_cast<const unsigned char*>(src);
    while (n >= 64) {
        unsigned char a[32], b[32];
        std::memcpy(a, s, 32);
        std::memcpy(b, s + 32, 32);
        std::memcpy(d, a, 32);
        std::memcpy(d + 32, b, 32);
        d += 64;
        s += 64;
        n -= 64;
    }
    if (n) std::memcpy(d, s, n);
}

}  // namespace mbstandin

#endif
