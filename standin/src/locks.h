// locks.h - the two locks of the data path, on Linux futexes.
//
// Both cost one atomic instruction to take and one to release when nobody
// waits; a thread that has to wait sleeps in the kernel.
#ifndef MIRRORBANK_STANDIN_LOCKS_H
#define MIRRORBANK_STANDIN_LOCKS_H

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>

namespace mbstandin {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is a plain 32-bit integer");

inline void futexWait(std::atomic<uint32_t>* word, uint32_t expected) {
    // Returns at once when the word no longer holds `expected`.
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

inline void futexWake(std::atomic<uint32_t>* word, int count) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Mutual exclusion: 0 free, 1 taken, 2 taken and someone may sleep on it.
class FutexMutex {
public:
    void lock() {
        uint32_t c = 0;
        if (!word_.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) lockSlow(c);
    }
    void unlock() {
        if (word_.exchange(0, std::memory_order_release) == 2) futexWake(&word_, 1);
    }

private:
    void lockSlow(uint32_t c) {
        if (c != 2) c = word_.exchange(2, std::memory_order_acquire);
        while (c != 0) {
            futexWait(&word_, 2);
            c = word_.exchange(2, std::memory_order_acquire);
        }
    }

    std::atomic<uint32_t> word_{0};
};

// Readers and one writer at a time; a writer that asks keeps new readers
// out, so readers cannot starve it. Not recursive in any way: a thread
// holding it must not take it again.
//
// The word counts the readers inside (including readers that are backing
// out because a writer asked) and carries two flags: a writer asked or is
// inside; some thread sleeps on the word.
class RwLock {
public:
    constexpr RwLock() = default;

    void lock_shared() {
        if (word_.fetch_add(1, std::memory_order_acq_rel) & kWriter) lockSharedSlow();
    }
    void unlock_shared() {
        uint32_t v = word_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if ((v & kSleepers) && (v & kReaders) == 0) futexWake(&word_, INT_MAX);
    }

    void lock() {
        writers_.lock();
        uint32_t v = word_.fetch_or(kWriter, std::memory_order_acq_rel) | kWriter;
        while (v & kReaders) v = sleepOn(v);
    }
    void unlock() {
        uint32_t v = word_.fetch_and(~(kWriter | kSleepers), std::memory_order_acq_rel);
        if (v & kSleepers) futexWake(&word_, INT_MAX);
        writers_.unlock();
    }

private:
    static constexpr uint32_t kReaders = (1u << 30) - 1;
    static constexpr uint32_t kSleepers = 1u << 30;
    static constexpr uint32_t kWriter = 1u << 31;

    // Sleeps while the word holds `v` (after marking that someone sleeps);
    // answers the word's value afterwards.
    uint32_t sleepOn(uint32_t v) {
        if (!(v & kSleepers)) {
            if (!word_.compare_exchange_weak(v, v | kSleepers, std::memory_order_acq_rel)) return v;
            v |= kSleepers;
        }
        futexWait(&word_, v);
        return word_.load(std::memory_order_acquire);
    }

    void lockSharedSlow() {
        for (;;) {
            // Back out, letting a writer that waits for the readers in.
            uint32_t v = word_.fetch_sub(1, std::memory_order_acq_rel) - 1;
            if ((v & kSleepers) && (v & kReaders) == 0) futexWake(&word_, INT_MAX);
            while (v & kWriter) v = sleepOn(v);
            if (!(word_.fetch_add(1, std::memory_order_acq_rel) & kWriter)) return;
        }
    }

    std::atomic<uint32_t> word_{0};
    std::mutex writers_;
};

}  // namespace mbstandin

#endif
