// Faults of the Redis Cluster backend, through the C interface, on a cluster
// the suite starts (redis_cluster_servers.h): a primary killed under a
// writer, a slot moved under a writer and a reader, a connection whose slot
// map went stale, and what three primaries hold that one cannot.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "redis_cluster_servers.h"
#include "standin_test_util.h"

using namespace standin_test;

namespace {

constexpr ub8 kRecord = 4096;
using Clock = std::chrono::steady_clock;

class Cluster : public ClientTest {
protected:
    void SetUp() override {
        RedisCluster::get().fresh();
        file_ = std::make_unique<TempFile>(RedisCluster::get().config("command-timeout-ms 1000\n"));
        cfg_ = file_->path();
        ClientTest::SetUp();
    }
    void TearDown() override {
        stopLoad();
        ClientTest::TearDown();
    }

    // A writer of records (record k: kRecord bytes of pattern k at where(k))
    // keeping the acknowledged ones and, with a region name, a reader of
    // acknowledged ones at random on a connection of its own; each on a
    // thread, until stopLoad.
    void startLoad(mb_store_handle h, std::function<ub8(int)> where, const char* reader = nullptr) {
        load_.emplace_back([this, h, where] {
            for (int k = 0; !stop_; ++k) {
                auto data = pattern(kRecord, k);
                auto t0 = Clock::now();
                mb_error e = io(true, h, data.data(), kRecord, where(k));
                std::lock_guard<std::mutex> g(m_);
                slowest_ = std::max(slowest_, Clock::now() - t0);
                if (e == MB_ERR_NONE) acked_.emplace_back(where(k), k);
                failed_ += e != MB_ERR_NONE;
            }
        });
        readerArgs_ = makeArgs(0, cfg_.c_str());
        Rqs rqs;
        mb_client_ctx* c = reader ? mb_init(&rqs, &readerArgs_) : nullptr;
        if (!c) return;
        mb_store_handle rh = open(reader, 1, 1, 0, 0, c);
        load_.emplace_back([this, c, rh] {
            std::mt19937 rng(1);
            std::vector<char> got(kRecord);
            for (std::pair<ub8, int> r; !stop_; std::this_thread::yield()) {
                if (std::lock_guard<std::mutex> g(m_); acked_.empty()) continue;
                else r = acked_[rng() % acked_.size()];
                bool ok = io(false, rh, got.data(), kRecord, r.first, c) == MB_ERR_NONE && got == pattern(kRecord, r.second);
                ++(ok ? reads_ : badReads_);
            }
        });
    }
    void stopLoad() {
        stop_ = true;
        for (auto& t : load_) t.join();
        load_.clear();
    }
    size_t acked() {
        std::lock_guard<std::mutex> g(m_);
        return acked_.size();
    }

    // Stops the load, then reads every acknowledged record back on a
    // connection of a new process: how many differ or fail.
    int differing(const char* name) {
        stopLoad();
        return child([&](mb_client_ctx* c) {
            Rqs rqs;
            mb_store_handle h = mb_openstore(&rqs, c, name, 1, 1, 0, 0, 0);
            int bad = h ? 0 : 255;
            std::vector<char> got(kRecord);
            for (size_t i = 0; h && i < acked_.size(); ++i)
                bad += io(false, h, got.data(), kRecord, acked_[i].first, c) != MB_ERR_NONE || got != pattern(kRecord, acked_[i].second);
            return std::min(bad, 255);
        });
    }

    std::unique_ptr<TempFile> file_;
    mb_init_args readerArgs_;
    std::vector<std::thread> load_;
    std::atomic<bool> stop_{false};
    std::atomic<int> reads_{0}, badReads_{0};  // reads that matched, reads that failed or differed
    std::mutex m_;  // guards the three below
    std::vector<std::pair<ub8, int>> acked_;  // offset and seed of each acknowledged record
    int failed_ = 0;
    Clock::duration slowest_{};
};

// kill -9 of the primary serving a region whose writes wait for a second
// copy, under a writer: writes in flight may fail but none outlasts the
// time-outs, writes go on through the promoted replica once the old primary
// is back as its replica, and on through the old primary again once it takes
// over by hand (the writer's connections to it live on and meet MOVED).
// Every acknowledged record reads back.
TEST_F(Cluster, AcknowledgedWritesOutliveAKilledPrimary) {
    RedisCluster& rc = RedisCluster::get();
    mb_store_handle h = open("acked", 2, 2, 1ull << 30);
    int slot = rc.slotOf("acked"), was = rc.owner(slot), heir = rc.replicaOf(was);
    startLoad(h, [](int k) { return ub8(k) * kRecord; });
    ASSERT_TRUE(waitFor([&] { return acked() >= 50; }, 20000));
    ASSERT_TRUE(rc.killPrimary(slot));
    size_t before = acked();
    ASSERT_TRUE(rc.restart(was));
    ASSERT_TRUE(waitFor([&] { return acked() >= before + 50; }, 20000));
    EXPECT_EQ(rc.owner(slot), heir);
    ASSERT_TRUE(rc.command(was, "CLUSTER FAILOVER"));
    ASSERT_TRUE(waitFor([&] { return rc.settled(slot, was); }, 10000));
    before = acked();
    EXPECT_TRUE(waitFor([&] { return acked() >= before + 50; }, 20000));
    EXPECT_EQ(differing("acked"), 0) << acked_.size() << " acknowledged, " << failed_ << " failed";
    EXPECT_LT(slowest_, std::chrono::milliseconds(5000));
}

// A region's slot moved to another primary under a writer and a reader,
// held half moved for a while (the odd chunks on the new primary, the rest
// on the old one, which sends commands on with ASK): nothing fails, every
// acknowledged record reads back, the same handle goes on.
TEST_F(Cluster, ASlotMovesUnderAWriterAndAReader) {
    RedisCluster& rc = RedisCluster::get();
    mb_store_handle h = open("moving", 1, 1, 64 << 20);
    int slot = rc.slotOf("moving"), from = rc.owner(slot), to = 0;
    while (to == from || !rc.primary(to)) ++to;
    startLoad(h, [](int k) { return ub8(k % 32) << 20 | ub8(k / 32) * kRecord; }, "moving");  // 32 chunks in turn
    ASSERT_TRUE(waitFor([&] { return acked() >= 64 && reads_ > 0; }, 20000));
    long long asks = rc.info(from, "errorstat_ASK:count");
    ASSERT_TRUE(rc.migrate(slot, from, to, [](const std::string& key) {  // t:{moving}:gG:cN, N odd
        size_t c = key.rfind(":c");
        return c != key.npos && key.find("}:g") < c && std::atoi(key.c_str() + c + 2) % 2;
    }, false));
    size_t before = acked();
    int reads = reads_;
    EXPECT_TRUE(waitFor([&] { return acked() >= before + 64 && reads_ >= reads + 32; }, 20000));
    EXPECT_GT(rc.info(from, "errorstat_ASK:count"), asks + 32);
    ASSERT_TRUE(rc.migrate(slot, from, to, [](const std::string&) { return true; }, true));
    before = acked();
    EXPECT_TRUE(waitFor([&] { return acked() >= before + 32; }, 20000));
    EXPECT_EQ(differing("moving"), 0);
    EXPECT_EQ(failed_ + badReads_, 0);
    auto data = pattern(kRecord, -1);
    ASSERT_EQ(io(true, h, data.data(), kRecord, 48 << 20), MB_ERR_NONE);
    EXPECT_EQ(info(h).used, (48u << 20) + kRecord);
}

// One connection, its slot map stale twice: the replica of a region's
// primary takes over by hand (the old primary stays up, connections and
// all, and answers MOVED), then that new primary is killed and the first
// takes over again. The connection describes, writes and reads each time.
TEST_F(Cluster, AStaleSlotMapIsFollowedAfterFailovers) {
    RedisCluster& rc = RedisCluster::get();
    mb_store_handle h = open("stale", 1, 1, 1 << 20);
    int slot = rc.slotOf("stale"), first = rc.owner(slot), second = rc.replicaOf(first);
    auto a = pattern(5000, 1), b = pattern(3000, 2), c = pattern(7000, 3), got = a;
    ASSERT_EQ(io(true, h, a.data(), a.size(), 0), MB_ERR_NONE);
    long long moved = rc.info(first, "errorstat_MOVED:count");
    ASSERT_TRUE(rc.command(second, "CLUSTER FAILOVER"));
    ASSERT_TRUE(waitFor([&] { return rc.settled(slot, second); }, 10000));
    EXPECT_EQ(info(h).used, 5000u);
    ASSERT_EQ(io(true, h, b.data(), b.size(), 8192), MB_ERR_NONE);
    ASSERT_EQ(io(false, h, got.data(), a.size(), 0), MB_ERR_NONE);
    EXPECT_EQ(got, a);
    EXPECT_GT(rc.info(first, "errorstat_MOVED:count"), moved);  // the stale map was followed
    ASSERT_TRUE(waitFor([&] { return rc.inStep(second); }, 5000));  // b is on both
    ASSERT_TRUE(rc.killPrimary(slot));
    got.resize(b.size());
    ASSERT_EQ(io(false, h, got.data(), b.size(), 8192), MB_ERR_NONE);
    EXPECT_EQ(got, b);
    ASSERT_EQ(io(true, h, c.data(), c.size(), 20000), MB_ERR_NONE);
    EXPECT_EQ(info(h).used, 27000u);
    EXPECT_EQ(rc.owner(slot), first);
}

// Three primaries hold what one cannot. With 64 MiB on every server, one
// primary refuses a write before it holds 64 MiB of regions (a 1 MiB chunk
// takes 1.25 MiB of server memory), while the cluster takes 33 regions of
// 4 MiB (132 MiB; 150 MiB would need more than 3 x 64 MiB), named so that
// each primary serves 11, and its primaries' used_memory grows evenly.
TEST_F(Cluster, ThreePrimariesHoldWhatOneCannot) {
    RedisCluster& rc = RedisCluster::get();
    const ub8 size = 4 << 20;
    auto data = pattern(size, 5);
    auto fill = [&](const std::string& name) {  // the error of its open or of its write
        Rqs rqs;
        mb_store_handle h = mb_openstore(&rqs, client_, name.c_str(), 1, 1, 6, size, 4096);
        return h ? io(true, h, data.data(), size, 0) : rqs.error;
    };
    std::vector<std::string> names;
    std::map<int, long long> grown;  // by primary
    for (int i = 0; names.size() < 33; ++i) {
        std::string n = "cap" + std::to_string(i);
        int at = rc.owner(rc.slotOf(n));
        if (grown[at] < 11) names.push_back(n), ++grown[at];
    }
    for (auto& [p, g] : grown) g = -rc.info(p, "used_memory");
    rc.setMaxmemory(64 << 20);
    for (const auto& n : names) ASSERT_EQ(fill(n), MB_ERR_NONE) << n;
    long long total = 0;
    for (auto& [p, g] : grown) total += g += rc.info(p, "used_memory");
    ASSERT_EQ(grown.size(), 3u);
    for (auto& [p, g] : grown) EXPECT_NEAR(g, total / 3.0, total / 3.0 * 0.2) << "node " << p;
    rc.setMaxmemory(0);
    Rqs rqs;
    mb_fini(&rqs, client_);
    freshCluster();
    RedisServers& one = RedisServers::get();
    one.fresh();
    ASSERT_TRUE(one.command(0, "CONFIG SET maxmemory 64mb"));
    TempFile f(one.config());
    args_ = makeArgs(0, f.path());
    ASSERT_NE(client_ = mb_init(&rqs, &args_), nullptr);
    ub8 held = 0;
    mb_error e = MB_ERR_NONE;
    for (size_t i = 0; i < names.size() && (e = fill(names[i])) == MB_ERR_NONE; ++i) held += size;
    one.command(0, "CONFIG SET maxmemory 0");
    EXPECT_EQ(e, MB_ERR_NOMEM);
    EXPECT_LT(held, 64u << 20);
}

}  // namespace
