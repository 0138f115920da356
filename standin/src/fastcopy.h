// fastcopy.h - byte copy that stays fast whatever the relative placement
// of source and destination.
//
// The C library's memcpy falls into a slow path for copies of a few KiB and
// more when the destination lies just above the source modulo the page size
// (the stores then keep colliding with the loads that follow). Block data of
// the cluster is 64-byte aligned while callers' buffers are not, so this
// placement is common; in that case copy with explicit 32-byte moves, which
// do not suffer from it.
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

inline void copyBytes(void* dst, const void* src, size_t n) {
    if (!copyPlacementIsSlow(dst, src, n)) {
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
