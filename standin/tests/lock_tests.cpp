// The process-wide lock (src/locks.h): readers side by side, one writer at a
// time with no reader inside, and a waiting writer holding new readers out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// Many threads, writers and readers mixed, all let go at once. Writers
// change two plain counters one after the other (a reader inside must see
// them equal) and check that nobody else is inside; readers check that no
// writer is inside. Every increment must be there at the end. Writers stop
// after a fixed number of rounds or a time bound, whichever comes first;
// readers run until the writers are done, which the writer preference
// guarantees.
TEST(StateLock, ManyThreadsExclusiveAndSharedHoldsStayConsistent) {
    constexpr int kWriters = 4, kReaders = 6, kRounds = 200000;
    StateLock l;
    uint64_t a = 0, b = 0;  // guarded by l
    std::atomic<int> readersInside{0}, writersInside{0}, ready{0};
    std::atomic<bool> go{false};
    std::atomic<int> writersLeft{kWriters};
    std::atomic<long> badWrites{0}, badReads{0}, written{0}, overlapping{0};
    const auto bound = Clock::now() + std::chrono::seconds(5);
    std::vector<std::thread> ts;
    auto start = [&] {
        ready.fetch_add(1);
        while (!go.load()) std::this_thread::yield();
    };
    for (int w = 0; w < kWriters; ++w)
        ts.emplace_back([&] {
            start();
            long done = 0;
            for (int i = 0; i < kRounds && (i % 1024 != 0 || Clock::now() < bound); ++i) {
                l.lock();
                if (writersInside.fetch_add(1) != 0 || readersInside.load() != 0) badWrites.fetch_add(1);
                uint64_t seen = a;
                a = seen + 1;
                std::atomic_signal_fence(std::memory_order_seq_cst);
                b = seen + 1;
                writersInside.fetch_sub(1);
                l.unlock();
                ++done;
            }
            written.fetch_add(done);
            writersLeft.fetch_sub(1);
        });
    for (int r = 0; r < kReaders; ++r)
        ts.emplace_back([&] {
            start();
            do {
                l.lock_shared();
                if (readersInside.fetch_add(1) != 0) overlapping.fetch_add(1, std::memory_order_relaxed);
                if (writersInside.load() != 0 || a != b) badReads.fetch_add(1);
                readersInside.fetch_sub(1);
                l.unlock_shared();
            } while (writersLeft.load() != 0);
        });
    while (ready.load() != kWriters + kReaders) std::this_thread::yield();
    go.store(true);
    for (auto& t : ts) t.join();
    EXPECT_EQ(badWrites.load(), 0) << "a writer found someone else inside";
    EXPECT_EQ(badReads.load(), 0) << "a reader saw a writer inside or a half-done change";
    EXPECT_EQ(a, static_cast<uint64_t>(written.load())) << "increments were lost";
    EXPECT_EQ(b, a);
    EXPECT_GT(written.load(), 0);
    RecordProperty("writes", std::to_string(written.load()));
    RecordProperty("overlapping_reads", std::to_string(overlapping.load()));
}

}  // namespace
