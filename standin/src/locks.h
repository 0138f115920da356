// locks.h - the process-wide reader/writer lock of the client-library calls.
//
// The C library's reader/writer lock, set to prefer writers: once a writer
// waits, new readers wait behind it, so a steady stream of data operations
// on other threads cannot keep an administrative call out. (The default
// pthread lock, and so std::shared_mutex here, prefers readers.)
//
// It is constant-initialised and needs no destructor (the C library keeps
// no resources for it), so a namespace-scope StateLock can be taken before
// any static constructor has run and after static destructors have.
// Not recursive: a thread holding it must not take it again in any mode.
#ifndef MIRRORBANK_STANDIN_LOCKS_H
#define MIRRORBANK_STANDIN_LOCKS_H

#include <pthread.h>

#include <type_traits>

namespace mbstandin {

class StateLock {
public:
    constexpr StateLock() = default;
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    void lock() { pthread_rwlock_wrlock(&rw_); }
    void unlock() { pthread_rwlock_unlock(&rw_); }
    void lock_shared() { pthread_rwlock_rdlock(&rw_); }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&rw_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&rw_); }

private:
    pthread_rwlock_t rw_ = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
};

static_assert(std::is_trivially_destructible_v<StateLock>, "the process-wide lock is never torn down");

}  // namespace mbstandin

#endif
