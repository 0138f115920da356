// The process-wide lock (src/locks.h): readers side by side, one writer at a
// time with no reader inside, and a waiting writer holding new readers out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "locks.h"

namespace {

using mbstandin::StateLock;
using Clock = std::chrono::steady_clock;

// Usable at namespace scope with no constructor run (as the library's own).
StateLock g_early;

TEST(StateLock, ReadersShareItAndAWriterExcludesThem) {
    StateLock l;
    l.lock_shared();
    bool second = false;
    std::thread([&] {
        second = l.try_lock_shared();
        if (second) l.unlock_shared();
    }).join();
    EXPECT_TRUE(second) << "a second reader was refused while only a reader held the lock";
    l.unlock_shared();

    l.lock();
    bool reader = true;
    std::thread([&] {
        reader = l.try_lock_shared();
        if (reader) l.unlock_shared();
    }).join();
    EXPECT_FALSE(reader) << "a reader got in beside the writer";
    l.unlock();

    g_early.lock();
    g_early.unlock();
    g_early.lock_shared();
    g_early.unlock_shared();
}

// A reader holds the lock and a writer asks for it: from then on new readers
// are refused until the writer has been in. With a lock that prefers readers
// (the default one) new readers keep getting in and the bound is reached.
TEST(StateLock, AWaitingWriterHoldsNewReadersOut) {
    StateLock l;
    std::atomic<bool> writerIn{false};
    l.lock_shared();
    std::thread writer([&] {
        l.lock();
        writerIn.store(true);
        l.unlock();
    });
    bool refused = false;
    const auto bound = Clock::now() + std::chrono::seconds(10);
    while (!refused && Clock::now() < bound) {
        if (l.try_lock_shared())
            l.unlock_shared();
        else
            refused = true;
        std::this_thread::yield();
    }
    EXPECT_TRUE(refused) << "new readers still got in 10 s after a writer asked";
    EXPECT_FALSE(writerIn.load()) << "the writer got in while a reader held the lock";
    l.unlock_shared();
    writer.join();
    EXPECT_TRUE(writerIn.load());
}

}  // namespace
