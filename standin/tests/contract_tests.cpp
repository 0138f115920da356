// Contract suite of the client-library interface. It uses the mb_ calls
// only (plus freshCluster() between tests), so that it runs unchanged
// against any implementation of the interface backed by a 3-daemon cluster
// with 1 GiB of region memory per daemon.
#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include "standin_test_util.h"

using namespace standin_test;

namespace {

// ---- connections -------------------------------------------------------------

class Connections : public ::testing::Test {
protected:
    void SetUp() override { freshCluster(); }
    void TearDown() override { freshCluster(); }
};

TEST_F(Connections, InitAndFiniThenEveryUseOfTheDeadPointerFails) {
    mb_init_args a = makeArgs(1);
    Rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_ldinfo ld;
    mb_get_local_daemon_info(&rqs, c, &ld);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(ld.dindex, 1);
    EXPECT_EQ(ld.total_memory, 1ull << 30);
    EXPECT_EQ(ld.used_memory, 0u);

    mb_fini(&rqs, c);
    EXPECT_EQ(rqs.status, MB_SUCC);
    Rqs again;
    mb_fini(&again, c);
    EXPECT_EQ(again.status, MB_FAIL);
    EXPECT_EQ(again.error, MB_ERR_FREEDCTX);
    Rqs o;
    EXPECT_EQ(mb_openstore(&o, c, "r", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(o.error, MB_ERR_FREEDCTX);
}

TEST_F(Connections, NullAndUnknownConnectionsAreRefusedOnEveryCall) {
    int notAConnection = 0;
    auto* bogus = reinterpret_cast<mb_client_ctx*>(&notAConnection);
    for (mb_client_ctx* c : {static_cast<mb_client_ctx*>(nullptr), bogus}) {
        mb_error want = c ? MB_ERR_BADCTX : MB_ERR_NULLCTX;
        std::vector<mb_rqs> results(14);
        mb_client_opargs op;
        std::memset(&op, 0, sizeof op);
        mb_client_storeinfo si;
        std::memset(&si, 0, sizeof si);
        mb_ldinfo ld;
        std::vector<mb_client_storeinfo> stores;
        std::vector<mb_daemon_info> daemons;
        mb_fini(&results[0], c);
        EXPECT_EQ(mb_openstore(&results[1], c, "r", 1, 1, 6, 4096, 4096), 0u);
        mb_closestore(&results[2], c, 1, 0);
        mb_get_storeinfo(&results[3], c, &si);
        mb_read(&results[4], c, &op);
        mb_write(&results[5], c, &op);
        mb_read_fence(&results[6], c, &op);
        mb_wait(&results[7], c, 0, 0);
        mb_get_local_daemon_info(&results[8], c, &ld);
        mb_event(&results[9], c, 1, 1, 1, 3, 1, 0, 0, "r");
        EXPECT_EQ(mb_admin_get_attached_daemon(&results[10], c), -1);
        mb_admin_attach_daemon(&results[11], c, 0);
        mb_admin_shutdown_daemon(&results[12], c, 0x10);
        mb_admin_enumerate_daemons(&results[13], c, &daemons, collectDaemon, 0);
        for (size_t i = 0; i < results.size(); ++i) {
            EXPECT_EQ(results[i].status, MB_FAIL) << "call " << i;
            EXPECT_EQ(results[i].error, want) << "call " << i;
        }
        Rqs r1, r2, r3, r4;
        mb_admin_enumerate_global_stores(&r1, c, &stores, collectStore, 0);
        mb_admin_enumerate_stores(&r2, c, &stores, collectStore, 0);
        mb_enumerate_global_stores(&r3, c, &stores, collectStore, 0);
        mb_admin_delete_store(&r4, c, "r", 1);
        for (const mb_rqs* r : {&r1, &r2, &r3, &r4}) EXPECT_EQ(r->error, want);
        EXPECT_TRUE(stores.empty());
        EXPECT_TRUE(daemons.empty());
    }
}

TEST_F(Connections, NullArgumentsAndNullRequestStatusDoNotCrash) {
    Rqs rqs;
    EXPECT_EQ(mb_init(&rqs, nullptr), nullptr);
    EXPECT_EQ(rqs.status, MB_FAIL);
    mb_init_args a = makeArgs(0);
    mb_client_ctx* c = mb_init(nullptr, &a);
    ASSERT_NE(c, nullptr);
    mb_wait(nullptr, c, 0, 0);
    mb_read(nullptr, c, nullptr);
    mb_libinfo li;
    mb_get_libinfo(&li);
    mb_get_libinfo(nullptr);
    EXPECT_NE(li.mb_lib_version, nullptr);
    EXPECT_NE(li.mb_lib_blabel, nullptr);
    EXPECT_NE(li.mb_lib_bstamp, nullptr);
    EXPECT_NE(mb_get_error_message(nullptr), nullptr);
    mb_fini(nullptr, c);
    Rqs after;
    mb_wait(&after, c, 0, 0);
    EXPECT_EQ(after.error, MB_ERR_FREEDCTX);
}

TEST_F(Connections, LocalIndexOutsideTheClusterFails) {
    mb_init_args a = makeArgs(3);
    Rqs rqs;
    EXPECT_EQ(mb_init(&rqs, &a), nullptr);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_LOCAL);
}

TEST_F(Connections, ConfigurationFileMissingOrMalformed) {
    mb_init_args a = makeArgs(0, "/nonexistent/dir/cluster.cfg");
    Rqs rqs;
    EXPECT_EQ(mb_init(&rqs, &a), nullptr);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_NOCFG);

    for (const char* text : {"daemons zero\n", "bogus 1\n", "daemons 2\ndaemon 5 127.0.0.1 1\n",
                             "completion sometimes\n", "daemon 0 300.1.1.1 7001\n", "memory 12Q\n"}) {
        TempFile f(text);
        a = makeArgs(0, f.path());
        Rqs r;
        EXPECT_EQ(mb_init(&r, &a), nullptr) << text;
        EXPECT_EQ(r.status, MB_FAIL) << text;
        EXPECT_EQ(r.error, MB_ERR_CFGREAD) << text;
    }
    a = makeArgs(0, "/tmp");
    EXPECT_EQ(mb_init(&rqs, &a), nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_CFGREAD);
}

TEST_F(Connections, ConfigurationFileShapesTheCluster) {
    TempFile f("# five small daemons\ndaemons 5\nmemory 8M\ndaemon 4 10.1.2.3 9100\n\ncompletion inline\n");
    mb_init_args a = makeArgs(4, f.path());
    Rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    ASSERT_NE(c, nullptr) << rqs.error;
    std::vector<mb_daemon_info> ds;
    mb_admin_enumerate_daemons(&rqs, c, &ds, collectDaemon, 0);
    ASSERT_EQ(ds.size(), 5u);
    EXPECT_EQ(ds[4].ip, htonl(0x0a010203u));
    EXPECT_EQ(ntohs(ds[4].port), 9100);
    EXPECT_EQ(ntohs(ds[0].port), 7001);
    EXPECT_EQ(ds[2].total_memory, 8u << 20);
    EXPECT_EQ(ds[0].number_daemons, 5);

    // Inline completion: the write is done when mb_write returns, with no
    // notification.
    mb_store_handle h = mb_openstore(&rqs, c, "cfg", 1, 1, 6, 4096, 512);
    ASSERT_NE(h, 0u);
    char buf[100] = "inline";
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, buf, sizeof buf, 0, &log);
    mb_write(&rqs, c, &op);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(op.status, MB_SUCC);
    mb_wait(&rqs, c, 0, 0);
    EXPECT_EQ(log.runs, 0);

    // The same layout joins; another layout does not.
    Rqs j;
    mb_client_ctx* same = mb_init(&j, &a);
    EXPECT_NE(same, nullptr);
    TempFile other("daemons 2\n");
    mb_init_args b = makeArgs(0, other.path());
    EXPECT_EQ(mb_init(&j, &b), nullptr);
    EXPECT_EQ(j.error, MB_ERR_CFGLOC);
    mb_init_args plain = makeArgs(0);
    mb_client_ctx* joined = mb_init(&j, &plain);
    ASSERT_NE(joined, nullptr);
    std::vector<mb_client_storeinfo> stores;
    mb_enumerate_global_stores(&j, joined, &stores, collectStore, 0);
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_STREQ(stores[0].name, "cfg");
}

// ---- regions -------------------------------------------------------------------

using Regions = ClientTest;

TEST_F(Regions, OpenPlacesCopiesAndDescribesTheRegion) {
    mb_store_handle h = open("alpha", 2, 3, 1 << 20, 4096);
    mb_client_storeinfo si = info(h);
    EXPECT_STREQ(si.name, "alpha");
    EXPECT_EQ(si.size, 1u << 20);
    EXPECT_EQ(si.used, 0u);
    EXPECT_EQ(si.blocksize, 4096u);
    EXPECT_EQ(si.primary, 0);
    EXPECT_EQ(si.redundancy, 3);
    EXPECT_EQ(si.minredundancy, 2);
    EXPECT_EQ(si.nodes, 0x7u);
    EXPECT_TRUE(si.open);
    EXPECT_EQ(si.pid, static_cast<ub4>(getpid()));
    EXPECT_GT(si.ctime, 0u);
    EXPECT_EQ(si.storehandle, h);
}

TEST_F(Regions, HandlesAreNonZeroDistinctAndPerConnection) {
    std::set<mb_store_handle> seen;
    for (const char* n : {"a", "b", "c", "a"}) seen.insert(open(n));
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.count(0u), 0u);
    mb_init_args a2 = makeArgs(2);
    Rqs rqs;
    mb_client_ctx* other = mb_init(&rqs, &a2);
    ASSERT_NE(other, nullptr);
    mb_store_handle h2 = open("b", 1, 2, 1 << 20, 4096, other);
    // Handle 1 of the other connection is "b", not this connection's "a".
    EXPECT_STREQ(info(h2, other).name, "b");
    EXPECT_STREQ(info(1).name, "a");
    Rqs bad;
    mb_client_storeinfo si;
    si.storehandle = 3;
    mb_get_storeinfo(&bad, other, &si);
    EXPECT_EQ(bad.status, MB_FAIL);
    EXPECT_EQ(bad.error, MB_ERR_INVAL);
}

TEST_F(Regions, PrimaryIsTheOpenersLocalDaemon) {
    mb_init_args a2 = makeArgs(2);
    Rqs rqs;
    mb_client_ctx* c2 = mb_init(&rqs, &a2);
    ASSERT_NE(c2, nullptr);
    mb_client_storeinfo si = info(open("p2", 1, 2, 1 << 20, 4096, c2), c2);
    EXPECT_EQ(si.primary, 2);
    EXPECT_EQ(si.nodes, (1u << 2) | (1u << 0));
}

TEST_F(Regions, CloseThenCloseAgainAndUnknownHandles) {
    mb_store_handle h = open("x");
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_closestore(&rqs, client_, 0, 0);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_closestore(&rqs, client_, 999, 0);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
}

TEST_F(Regions, ReopenKeepsDataAndOpenFlagsAreHonoured) {
    mb_store_handle h = open("keep");
    char data[64];
    std::memset(data, 0x5a, sizeof data);
    ASSERT_EQ(io(true, h, data, sizeof data, 100), MB_ERR_NONE);
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    // Without the create bit a missing region is not found.
    EXPECT_EQ(mb_openstore(&rqs, client_, "nothere", 1, 1, 4, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    // Exclusive create of an existing region.
    EXPECT_EQ(mb_openstore(&rqs, client_, "keep", 1, 1, 7, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_STOREEXISTS);
    // Read-only open: reads work, writes are refused.
    mb_store_handle ro = mb_openstore(&rqs, client_, "keep", 1, 1, 2, 0, 0);
    ASSERT_NE(ro, 0u);
    EXPECT_EQ(info(ro).used, 164u);
    EXPECT_EQ(info(ro).size, 1u << 20);  // size of the existing region
    char back[64] = {0};
    EXPECT_EQ(io(false, ro, back, sizeof back, 100), MB_ERR_NONE);
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    EXPECT_EQ(io(true, ro, data, 8, 0), MB_ERR_ACCESS);
    // Unknown flag bits and bad names.
    EXPECT_EQ(mb_openstore(&rqs, client_, "keep", 1, 1, 0x16, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(mb_openstore(&rqs, client_, nullptr, 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(mb_openstore(&rqs, client_, "", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    std::string longName(300, 'n');
    EXPECT_EQ(mb_openstore(&rqs, client_, longName.c_str(), 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(mb_openstore(&rqs, client_, "tinyblocks", 1, 1, 6, 4096, 7), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
}

TEST_F(Regions, DefaultsForZeroSizesAndCopies) {
    Rqs rqs;
    mb_store_handle h = mb_openstore(&rqs, client_, "defaults", 0, 0, 6, 0, 0);
    ASSERT_NE(h, 0u);
    mb_client_storeinfo si = info(h);
    EXPECT_EQ(si.size, 16u << 20);
    EXPECT_EQ(si.blocksize, 4096u);
    EXPECT_EQ(si.redundancy, 2);
    EXPECT_EQ(si.minredundancy, 1);
}

TEST_F(Regions, TooFewLiveDaemonsForMinimumCopies) {
    Rqs rqs;
    EXPECT_EQ(mb_openstore(&rqs, client_, "four", 4, 4, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_OPENMIN);
    EXPECT_EQ(mb_openstore(&rqs, client_, "inverted", 3, 2, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_admin_attach_daemon(&rqs, client_, 2);
    mb_admin_shutdown_daemon(&rqs, client_, 0x10);
    ASSERT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(mb_openstore(&rqs, client_, "three", 3, 3, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_OPENMIN);
    mb_store_handle h = open("two", 2, 3);
    EXPECT_EQ(info(h).redundancy, 2);
    EXPECT_EQ(info(h).nodes, 0x3u);
}

// ---- memory ----------------------------------------------------------------------

using Memory = ClientTest;

TEST_F(Memory, EveryCopyCountsItsFullSizeUntilTheLimit) {
    auto used = [&](mb_client_ctx* c) {
        mb_ldinfo ld;
        Rqs rqs;
        mb_get_local_daemon_info(&rqs, c, &ld);
        EXPECT_EQ(rqs.status, MB_SUCC);
        return ld.used_memory;
    };
    mb_init_args a1 = makeArgs(1);
    Rqs rqs;
    mb_client_ctx* c1 = mb_init(&rqs, &a1);
    ASSERT_NE(c1, nullptr);
    const ub8 big = 600ull << 20;
    mb_store_handle h = open("big", 2, 2, big, 1 << 20);
    EXPECT_EQ(used(client_), big);
    EXPECT_EQ(used(c1), big);
    // Daemons 0 and 1 cannot take another 600 MiB; daemon 2 alone can.
    EXPECT_EQ(mb_openstore(&rqs, client_, "big2", 2, 2, 6, big, 1 << 20), 0u);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_NOMEM);
    mb_store_handle h2 = open("big3", 1, 3, big, 1 << 20);
    EXPECT_EQ(info(h2).nodes, 0x4u);
    EXPECT_EQ(mb_openstore(&rqs, client_, "toolarge", 1, 1, 6, (1ull << 30) + 1, 1 << 20), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_NOMEM);
    // Closing keeps the memory, deleting gives it back.
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(used(client_), big);
    mb_admin_delete_store(&rqs, client_, "big", 0);
    ASSERT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(used(client_), 0u);
    EXPECT_EQ(used(c1), 0u);
    // A 1 GiB region fits exactly and allocates nothing up front.
    mb_store_handle whole = open("whole", 1, 1, 1ull << 30, 4096);
    EXPECT_EQ(used(client_), 1ull << 30);
    char tail[16] = "end of region";
    EXPECT_EQ(io(true, whole, tail, sizeof tail, (1ull << 30) - sizeof tail), MB_ERR_NONE);
    EXPECT_EQ(info(whole).used, 1ull << 30);
}

// ---- data ----------------------------------------------------------------------

using Data = ClientTest;

TEST_F(Data, RandomRoundTripsMatchAShadowCopy) {
    const ub8 size = 3 << 20;
    for (ub4 bs : {512u, 4096u, 65536u}) {
        std::string name = "rand" + std::to_string(bs);
        mb_store_handle h = open(name.c_str(), 1, 3, size, bs);
        std::vector<unsigned char> shadow(size, 0);
        std::vector<bool> touched(size / bs, false);
        std::mt19937_64 rng(bs);
        ub8 highest = 0;
        for (int i = 0; i < 60; ++i) {
            ub8 len = 1 + rng() % (std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? 300000 : 9000);
            ub8 off = rng() % (size - len);
            std::vector<unsigned char> buf(len);
            for (auto& b : buf) b = static_cast<unsigned char>(rng());
            ASSERT_EQ(io(true, h, buf.data(), len, off), MB_ERR_NONE);
            std::copy(buf.begin(), buf.end(), shadow.begin() + static_cast<long>(off));
            for (ub8 b = off / bs; b <= (off + len - 1) / bs; ++b) touched[b] = true;
            highest = std::max(highest, off + len);
            EXPECT_EQ(info(h).used, highest);
        }
        for (int i = 0; i < 60; ++i) {
            ub8 len = 1 + rng() % 200000;
            ub8 off = rng() % (size - len);
            bool any = false;
            for (ub8 b = off / bs; b <= (off + len - 1) / bs; ++b) any = any || touched[b];
            std::vector<unsigned char> buf(len, 0xee);
            mb_error er = io(false, h, buf.data(), len, off);
            if (!any) {
                EXPECT_EQ(er, MB_ERR_EMPTYBLOCK);
                continue;
            }
            ASSERT_EQ(er, MB_ERR_NONE);
            ASSERT_TRUE(std::equal(buf.begin(), buf.end(), shadow.begin() + static_cast<long>(off)))
                << "bs " << bs << " off " << off << " len " << len;
        }
    }
}

TEST_F(Data, UnalignedBuffersAndPlacementsCopyCorrectly) {
    mb_store_handle h = open("unaligned", 1, 1, 1 << 20, 4096);
    std::vector<unsigned char> src(70000 + 4096), dst(70000 + 4096);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 7 + 3);
    for (size_t shift : {0u, 1u, 17u, 31u, 63u, 4065u, 4095u}) {
        ub8 off = 8192 + shift;
        ASSERT_EQ(io(true, h, src.data() + shift, 70000, off), MB_ERR_NONE);
        std::fill(dst.begin(), dst.end(), 0);
        ASSERT_EQ(io(false, h, dst.data() + (4096 - shift), 70000, off), MB_ERR_NONE);
        ASSERT_EQ(std::memcmp(dst.data() + (4096 - shift), src.data() + shift, 70000), 0) << shift;
    }
}

TEST_F(Data, EmptyBlocksAndPartlyWrittenReads) {
    mb_store_handle h = open("sparse", 1, 1, 1 << 20, 4096);
    char buf[8192];
    NotifyLog log;
    mb_client_opargs op = makeOp(false, h, buf, 100, 50, &log);
    Rqs rqs;
    mb_read(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(op.status, MB_FAIL);
    EXPECT_EQ(op.error, MB_ERR_EMPTYBLOCK);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 0);

    char one = 'x';
    ASSERT_EQ(io(true, h, &one, 1, 4096 + 10), MB_ERR_NONE);
    std::memset(buf, 0x77, sizeof buf);
    ASSERT_EQ(io(false, h, buf, 8192, 4000), MB_ERR_NONE);  // blocks 0, 1, 2
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(buf[i], i == 4096 + 10 - 4000 ? 'x' : 0) << i;
    EXPECT_EQ(io(false, h, buf, 4096, 8192), MB_ERR_EMPTYBLOCK);
    EXPECT_EQ(info(h).used, 4096u + 11u);
}

TEST_F(Data, RangesPastTheRegionAndBadRecords) {
    mb_store_handle h = open("small", 1, 1, 10000, 4096);
    char buf[200] = {1};
    EXPECT_EQ(io(true, h, buf, 200, 9900), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, buf, 100, 9900), MB_ERR_NONE);
    EXPECT_EQ(io(false, h, buf, 200, 9900), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, buf, 1, ~0ull), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, buf, ~0ull, 1), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, nullptr, 10, 0), MB_ERR_INVAL);
    EXPECT_EQ(io(true, 77, buf, 10, 0), MB_ERR_INVAL);
    EXPECT_EQ(io(false, 0, buf, 10, 0), MB_ERR_INVAL);
    EXPECT_EQ(io(true, h, buf, 0, 10000), MB_ERR_NONE);
    Rqs rqs;
    mb_write(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_get_storeinfo(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_get_local_daemon_info(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
}

TEST_F(Data, ReadFences) {
    mb_store_handle h = open("fenced");
    mb_client_opargs op;
    std::memset(&op, 0, sizeof op);
    op.storehandle = h;
    Rqs rqs;
    mb_read_fence(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_SUCC);
    op.storehandle = h + 1;
    mb_read_fence(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_read_fence(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
}

// ---- asynchronous completion -----------------------------------------------------

using Completion = ClientTest;

TEST_F(Completion, NotificationRunsInALaterWaitOnTheSubmittingThread) {
    mb_store_handle h = open("async");
    char data[4096];
    std::memset(data, 3, sizeof data);
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, data, sizeof data, 0, &log);
    Rqs rqs;
    mb_write(&rqs, client_, &op);
    ASSERT_EQ(rqs.status, MB_INPROG);
    EXPECT_EQ(log.runs, 0);
    EXPECT_EQ(op.status, 0);

    // A wait on another thread delivers nothing of this thread's.
    std::thread other([&] {
        Rqs w;
        mb_wait(&w, client_, 0, 0);
        EXPECT_EQ(w.status, MB_SUCC);
    });
    other.join();
    EXPECT_EQ(log.runs, 0);

    mb_wait(&rqs, client_, 5, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.status, MB_SUCC);
    EXPECT_EQ(log.thread, std::this_thread::get_id());
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 1);

    char back[4096];
    NotifyLog rlog;
    mb_client_opargs rop = makeOp(false, h, back, sizeof back, 0, &rlog);
    mb_read(&rqs, client_, &rop);
    ASSERT_EQ(rqs.status, MB_INPROG);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(rlog.runs, 1);
    EXPECT_EQ(rop.status, MB_SUCC);
    EXPECT_EQ(rop.readdone, 1);
    EXPECT_EQ(std::memcmp(back, data, sizeof back), 0);
}

TEST_F(Completion, OperationsOnOtherThreadsAreDeliveredThere) {
    mb_store_handle h = open("threads");
    std::vector<std::thread> ts;
    std::vector<NotifyLog> logs(4);
    std::vector<std::thread::id> ids(4);
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&, t] {
            ids[t] = std::this_thread::get_id();
            char data[512];
            std::memset(data, t + 1, sizeof data);
            mb_client_opargs op = makeOp(true, h, data, sizeof data, static_cast<ub8>(t) * 512, &logs[t]);
            Rqs r;
            mb_write(&r, client_, &op);
            EXPECT_EQ(r.status, MB_INPROG);
            while (logs[t].runs == 0) mb_wait(&r, client_, 1, 0);
        });
    }
    for (auto& t : ts) t.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(logs[t].runs, 1);
        EXPECT_EQ(logs[t].thread, ids[t]);
    }
    char back[2048];
    ASSERT_EQ(io(false, h, back, sizeof back, 0), MB_ERR_NONE);
    for (int i = 0; i < 2048; ++i) ASSERT_EQ(back[i], i / 512 + 1);
}

TEST_F(Completion, FinishedConnectionDropsUndeliveredNotifications) {
    mb_store_handle h = open("dropped");
    char data[16] = {0};
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, data, sizeof data, 0, &log);
    Rqs rqs;
    mb_write(&rqs, client_, &op);
    ASSERT_EQ(rqs.status, MB_INPROG);
    mb_fini(&rqs, client_);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(rqs.error, MB_ERR_FREEDCTX);
    EXPECT_EQ(log.runs, 0);
}

// ---- listings ---------------------------------------------------------------------

using Listings = ClientTest;

TEST_F(Listings, GlobalLocalAndByName) {
    open("g1", 1, 1);  // daemon 0
    mb_init_args a2 = makeArgs(2);
    Rqs rqs;
    mb_client_ctx* c2 = mb_init(&rqs, &a2);
    open("g2", 1, 2, 1 << 20, 4096, c2);  // daemons 2, 0
    open("g3", 1, 1, 1 << 20, 4096, c2);  // daemon 2

    std::vector<mb_client_storeinfo> all, plain, local0, local1, local2;
    mb_admin_enumerate_global_stores(&rqs, client_, &all, collectStore, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_enumerate_global_stores(&rqs, c2, &plain, collectStore, 1);
    EXPECT_EQ(rqs.status, MB_SUCC);
    ASSERT_EQ(all.size(), 3u);
    ASSERT_EQ(plain.size(), 3u);
    std::set<std::string> names;
    for (auto& s : all) names.insert(s.name);
    EXPECT_EQ(names, (std::set<std::string>{"g1", "g2", "g3"}));

    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 0);
    mb_admin_enumerate_stores(&rqs, client_, &local0, collectStore, 0);
    EXPECT_EQ(local0.size(), 2u);  // g1, g2
    mb_admin_attach_daemon(&rqs, client_, 1);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 1);
    mb_admin_enumerate_stores(&rqs, client_, &local1, collectStore, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_TRUE(local1.empty());
    mb_admin_attach_daemon(&rqs, client_, 2);
    mb_admin_enumerate_stores(&rqs, client_, &local2, collectStore, 0);
    EXPECT_EQ(local2.size(), 2u);  // g2, g3
    mb_admin_attach_daemon(&rqs, client_, 3);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_admin_attach_daemon(&rqs, client_, -1);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 2);

    std::vector<mb_client_storeinfo> one;
    mb_admin_get_storeinfo(&rqs, client_, "g2", &one, collectStore, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].primary, 2);
    EXPECT_EQ(one[0].redundancy, 2);
    EXPECT_EQ(one[0].nodes, 0x5u);
    mb_admin_get_storeinfo(&rqs, client_, "nope", &one, collectStore, 0);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    mb_admin_get_storeinfo(&rqs, client_, nullptr, &one, collectStore, 0);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_admin_enumerate_global_stores(&rqs, client_, &one, nullptr, 0);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(one.size(), 1u);
}

TEST_F(Listings, DaemonsWithTheirFigures) {
    open("d1", 2, 2, 2 << 20, 4096);
    std::vector<mb_daemon_info> ds;
    Rqs rqs;
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    ASSERT_EQ(rqs.status, MB_SUCC);
    ASSERT_EQ(ds.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ds[i].dindex, i);
        EXPECT_EQ(ds[i].status, MB_DAEMON_UP);
        EXPECT_EQ(ds[i].ip, htonl(0x7f000001u));
        EXPECT_EQ(ntohs(ds[i].port), 7001 + i);
        EXPECT_EQ(ds[i].total_memory, 1ull << 30);
        EXPECT_EQ(ds[i].number_daemons, 3);
    }
    EXPECT_EQ(ds[0].used_memory, 2u << 20);
    EXPECT_EQ(ds[1].used_memory, 2u << 20);
    EXPECT_EQ(ds[2].used_memory, 0u);
    EXPECT_EQ(ds[0].number_stores, 1);
    EXPECT_EQ(ds[0].number_opens, 1);
    EXPECT_EQ(ds[2].number_stores, 0);
}

// A listing callback may call back into the library.
void reentrantCallback(void* cookie, mb_client_storeinfo* info) {
    auto* client = static_cast<mb_client_ctx*>(cookie);
    std::vector<mb_client_storeinfo> inner;
    Rqs rqs;
    mb_admin_get_storeinfo(&rqs, client, info->name, &inner, collectStore, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(inner.size(), 1u);
}

TEST_F(Listings, CallbacksMayReenterTheLibrary) {
    open("re1");
    open("re2");
    Rqs rqs;
    mb_admin_enumerate_global_stores(&rqs, client_, client_, reentrantCallback, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
}

// ---- delete and shutdown ---------------------------------------------------------------

using Admin = ClientTest;

TEST_F(Admin, DeleteIsRefusedWhileOpenUnlessForced) {
    mb_store_handle h = open("del");
    char c = 'q';
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    Rqs rqs;
    mb_admin_delete_store(&rqs, client_, "del", 0);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);
    mb_admin_delete_store(&rqs, client_, "del", 1);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(io(false, h, &c, 1, 0), MB_ERR_STOREDELETED);
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_admin_delete_store(&rqs, client_, "del", 1);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    mb_admin_delete_store(&rqs, client_, nullptr, 1);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    // The name is free again: a new, empty region.
    mb_store_handle h2 = open("del");
    EXPECT_EQ(info(h2).used, 0u);
    mb_closestore(&rqs, client_, h2, 0);
    mb_admin_delete_store(&rqs, client_, "del", 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
}

TEST_F(Admin, ShutdownFlags) {
    mb_store_handle solo = open("solo", 1, 1);       // daemon 0 only
    mb_store_handle pair = open("pair", 2, 2);       // daemons 0 and 1
    char data[5000];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<char>(i);
    ASSERT_EQ(io(true, pair, data, sizeof data, 3000), MB_ERR_NONE);
    Rqs rqs;
    // Safe: daemon 0 holds the last copy of "solo".
    mb_admin_shutdown_daemon(&rqs, client_, 0x40 | 0x10);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_SHUT_DLAST);
    // Without force: open regions keep it up.
    mb_admin_shutdown_daemon(&rqs, client_, 0);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);
    mb_closestore(&rqs, client_, solo, 0);
    mb_admin_delete_store(&rqs, client_, "solo", 0);
    ASSERT_EQ(rqs.status, MB_SUCC);
    mb_admin_shutdown_daemon(&rqs, client_, 0x40);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);
    mb_admin_shutdown_daemon(&rqs, client_, 0x50);
    EXPECT_EQ(rqs.status, MB_SUCC);

    std::vector<mb_daemon_info> ds;
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    ASSERT_EQ(ds.size(), 3u);
    EXPECT_EQ(ds[0].status, MB_DAEMON_DOWN);
    EXPECT_EQ(ds[0].used_memory, 0u);
    EXPECT_EQ(ds[1].status, MB_DAEMON_UP);
    // The surviving copy answers with all acknowledged data.
    mb_client_storeinfo si = info(pair);
    EXPECT_EQ(si.primary, 1);
    EXPECT_EQ(si.redundancy, 1);
    char back[5000];
    ASSERT_EQ(io(false, pair, back, sizeof back, 3000), MB_ERR_NONE);
    EXPECT_EQ(std::memcmp(back, data, sizeof back), 0);
    // A daemon that is down can be neither shut down nor attached.
    mb_admin_shutdown_daemon(&rqs, client_, 0x10);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    mb_admin_attach_daemon(&rqs, client_, 1);
    mb_admin_attach_daemon(&rqs, client_, 0);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 1);
}

TEST_F(Admin, ForcedShutdownOfTheLastCopyLosesTheRegion) {
    mb_store_handle h = open("last", 1, 1);
    char c = 1;
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    Rqs rqs;
    mb_admin_shutdown_daemon(&rqs, client_, 0x10);
    ASSERT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(io(false, h, &c, 1, 0), MB_ERR_DDEAD);
    std::vector<mb_client_storeinfo> all;
    mb_admin_enumerate_global_stores(&rqs, client_, &all, collectStore, 0);
    EXPECT_TRUE(all.empty());
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
}

// ---- failure events -------------------------------------------------------------------

class Events : public ClientTest {
protected:
    mb_status event(int arm, int target, const char* name, mb_store_handle h = 0, mb_error* err = nullptr) {
        Rqs rqs;
        mb_event(&rqs, client_, arm, 1, 1, 3, target, 0, h, name);
        if (err) *err = rqs.error;
        return rqs.status;
    }
    std::vector<char> pattern(size_t n, int seed) {
        std::vector<char> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(i * 13 + seed);
        return v;
    }
    void expectContent(mb_store_handle h, const std::vector<char>& want, ub8 off) {
        std::vector<char> got(want.size());
        ASSERT_EQ(io(false, h, got.data(), got.size(), off), MB_ERR_NONE);
        EXPECT_EQ(got, want);
    }
};

TEST_F(Events, PrimaryCrashDuringWriteKeepsEveryAcknowledgedByte) {
    mb_store_handle h = open("w1", 1, 3);
    auto first = pattern(10000, 1), second = pattern(6000, 2);
    ASSERT_EQ(io(true, h, first.data(), first.size(), 0), MB_ERR_NONE);
    ASSERT_EQ(event(1, 1, "w1", h), MB_SUCC);
    // Other operations and other regions do not fire it.
    mb_store_handle other = open("w-other", 1, 3);
    ASSERT_EQ(io(true, other, first.data(), 10, 0), MB_ERR_NONE);
    EXPECT_EQ(info(h).redundancy, 3);
    ASSERT_EQ(io(true, h, second.data(), second.size(), 20000), MB_ERR_NONE);
    mb_client_storeinfo si = info(h);
    EXPECT_EQ(si.redundancy, 2);
    EXPECT_EQ(si.primary, 1);
    EXPECT_EQ(si.nodes, 0x6u);
    expectContent(h, first, 0);
    expectContent(h, second, 20000);
    EXPECT_EQ(si.used, 26000u);
    // It fired once: the next write leaves the new primary alone.
    ASSERT_EQ(io(true, h, second.data(), 10, 0), MB_ERR_NONE);
    EXPECT_EQ(info(h).redundancy, 2);
}

TEST_F(Events, SecondaryCrashDuringWrite) {
    mb_store_handle h = open("w2", 2, 2);
    auto data = pattern(3000, 5);
    ASSERT_EQ(io(true, h, data.data(), data.size(), 100), MB_ERR_NONE);
    ASSERT_EQ(event(1, 2, "w2", h), MB_SUCC);
    ASSERT_EQ(io(true, h, data.data(), 10, 5000), MB_ERR_NONE);
    mb_client_storeinfo si = info(h);
    EXPECT_EQ(si.primary, 0);
    EXPECT_EQ(si.nodes, 0x1u);
    expectContent(h, data, 100);
}

TEST_F(Events, CrashOfTheOnlyCopyFailsTheOperation) {
    mb_store_handle h = open("only", 1, 1);
    char c = 'z';
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    mb_error err;
    EXPECT_EQ(event(1, 2, "only", h, &err), MB_FAIL);  // no secondary to crash
    ASSERT_EQ(event(1, 1, "only", h), MB_SUCC);
    EXPECT_EQ(io(true, h, &c, 1, 1), MB_ERR_DDEAD);
}

TEST_F(Events, PrimaryCrashDuringOpenCloseAndDelete) {
    ASSERT_EQ(event(1, 1, "o1"), MB_SUCC);  // region does not exist yet
    mb_store_handle h = open("o1", 1, 3);
    EXPECT_EQ(info(h).redundancy, 2);
    EXPECT_EQ(info(h).primary, 1);
    auto data = pattern(100, 9);
    ASSERT_EQ(io(true, h, data.data(), data.size(), 0), MB_ERR_NONE);

    ASSERT_EQ(event(1, 1, "o1", h), MB_SUCC);
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_store_handle again = open("o1", 1, 3);
    mb_client_storeinfo si = info(again);
    EXPECT_EQ(si.redundancy, 1);
    EXPECT_EQ(si.primary, 2);
    expectContent(again, data, 0);
    mb_closestore(&rqs, client_, again, 0);

    // The last copy goes with the daemon during the delete.
    ASSERT_EQ(event(1, 1, "o1"), MB_SUCC);
    mb_admin_delete_store(&rqs, client_, "o1", 0);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);

    // Every daemon is down now: nothing can be opened.
    std::vector<mb_daemon_info> ds;
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    int down = 0;
    for (auto& d : ds) down += d.status == MB_DAEMON_DOWN;
    EXPECT_EQ(down, 3);
    EXPECT_EQ(mb_openstore(&rqs, client_, "o2", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_OPENMIN);
}

TEST_F(Events, SingleCopyOpenWithPrimaryCrashFails) {
    ASSERT_EQ(event(1, 1, "o3"), MB_SUCC);
    Rqs rqs;
    EXPECT_EQ(mb_openstore(&rqs, client_, "o3", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    std::vector<mb_client_storeinfo> all;
    mb_admin_enumerate_global_stores(&rqs, client_, &all, collectStore, 0);
    EXPECT_TRUE(all.empty());
}

TEST_F(Events, SecondaryCrashDuringDeleteStillDeletes) {
    mb_store_handle h = open("d2", 2, 3);
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    ASSERT_EQ(event(1, 1, "d2"), MB_SUCC);
    ASSERT_EQ(event(1, 2, "d2"), MB_SUCC);
    mb_admin_delete_store(&rqs, client_, "d2", 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    std::vector<mb_daemon_info> ds;
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    EXPECT_EQ(ds[0].status, MB_DAEMON_DOWN);
    EXPECT_EQ(ds[1].status, MB_DAEMON_DOWN);
    EXPECT_EQ(ds[2].status, MB_DAEMON_UP);
}

TEST_F(Events, DisarmingAndBadArguments) {
    mb_store_handle h = open("dis", 1, 3);
    EXPECT_EQ(event(0, 1, "dis", h), MB_SUCC);  // not armed: no-op
    ASSERT_EQ(event(1, 1, "dis", h), MB_SUCC);
    ASSERT_EQ(event(1, 3, "dis", h), MB_SUCC);
    EXPECT_EQ(event(0, 1, "dis", h), MB_SUCC);
    EXPECT_EQ(event(0, 3, "dis", h), MB_SUCC);
    char c = 0;
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    EXPECT_EQ(info(h).redundancy, 3);

    Rqs rqs;
    const int bad[][6] = {{2, 1, 1, 3, 1, 0}, {1, 0, 1, 3, 1, 0}, {1, 1, 2, 3, 1, 0},
                          {1, 1, 1, 4, 1, 0}, {1, 1, 1, 3, 4, 0}, {1, 1, 1, 3, 1, 1}, {1, 1, 1, 3, 0, 0}};
    for (const auto& b : bad) {
        rqs.status = MB_SUCC;
        mb_event(&rqs, client_, b[0], b[1], b[2], b[3], b[4], b[5], h, "dis");
        EXPECT_EQ(rqs.status, MB_FAIL);
        EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    }
    mb_event(&rqs, client_, 1, 1, 1, 3, 1, 0, h, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(event(1, 2, "no-such-region"), MB_FAIL);
}

TEST_F(Events, EventsBelongToTheirConnection) {
    mb_store_handle h = open("mine", 1, 3);
    mb_init_args a1 = makeArgs(1);
    Rqs rqs;
    mb_client_ctx* c1 = mb_init(&rqs, &a1);
    mb_store_handle h1 = open("mine", 1, 3, 1 << 20, 4096, c1);
    ASSERT_EQ(event(1, 1, "mine", h), MB_SUCC);
    char c = 0;
    ASSERT_EQ(io(true, h1, &c, 1, 0, c1), MB_ERR_NONE);
    EXPECT_EQ(info(h).redundancy, 3);
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    EXPECT_EQ(info(h1, c1).redundancy, 2);
}

using EventsDeathTest = Events;

TEST_F(EventsDeathTest, ProcessTargetEndsTheProcessDuringWrite) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mb_store_handle h = open("die", 1, 2);
    ASSERT_EQ(event(1, 3, "die", h), MB_SUCC);
    char c = 1;
    ASSERT_EQ(io(false, h, &c, 1, 0), MB_ERR_EMPTYBLOCK);  // reads do not fire it
    EXPECT_EXIT(io(true, h, &c, 1, 0), ::testing::ExitedWithCode(86), "");
}

TEST_F(EventsDeathTest, ProcessTargetEndsTheProcessDuringOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(event(1, 3, "die2"), MB_SUCC);
    EXPECT_EXIT(
        {
            Rqs rqs;
            mb_openstore(&rqs, client_, "die2", 1, 1, 6, 4096, 4096);
        },
        ::testing::ExitedWithCode(86), "");
    // The parent never opened it.
    std::vector<mb_client_storeinfo> all;
    Rqs rqs;
    mb_admin_enumerate_global_stores(&rqs, client_, &all, collectStore, 0);
    EXPECT_TRUE(all.empty());
}

// ---- texts and tracing ----------------------------------------------------------------

TEST(Texts, EveryErrorCodeHasItsOwnConstantText) {
    std::set<std::string> seen;
    for (int e = 0; e < MB_ERR_LAST; ++e) {
        mb_rqs rqs{MB_FAIL, static_cast<mb_error>(e)};
        const char* t = mb_get_error_message(&rqs);
        ASSERT_NE(t, nullptr);
        EXPECT_GT(std::strlen(t), 0u);
        EXPECT_EQ(t, mb_get_error_message(&rqs));
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(MB_ERR_LAST));
    for (int e : {-1, static_cast<int>(MB_ERR_LAST), 1000}) {
        mb_rqs rqs{MB_FAIL, MB_ERR_NONE};
        std::memcpy(&rqs.error, &e, sizeof e);  // a value outside the enumeration
        const char* t = mb_get_error_message(&rqs);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(seen.count(t), 0u);
    }
}

using Tracing = ClientTest;

TEST_F(Tracing, TraceLinesFollowTheLevelAndStayOnTheCallingThread) {
    TraceSink sink;
    mb_callbacks cb;
    std::memset(&cb, 0, sizeof cb);
    cb.trace = TraceSink::trace;
    cb.tracecbctx = &sink;
    mb_init_args quiet = makeArgs(0);
    quiet.ccb = &cb;
    quiet.trace_level = 0;
    Rqs rqs;
    mb_client_ctx* q = mb_init(&rqs, &quiet);
    ASSERT_NE(q, nullptr);
    open("tq", 1, 1, 1 << 20, 4096, q);
    EXPECT_TRUE(sink.lines.empty());

    mb_init_args loud = makeArgs(0);
    loud.ccb = &cb;
    loud.trace_level = 5;
    mb_client_ctx* l = nullptr;
    std::thread t([&] {
        Rqs r;
        l = mb_init(&r, &loud);
    });
    t.join();
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_NE(sink.threads[0], std::this_thread::get_id());
    size_t before = sink.lines.size();
    mb_store_handle h = open("tl", 1, 1, 1 << 20, 4096, l);
    char c = 0;
    ASSERT_EQ(io(true, h, &c, 1, 0, l), MB_ERR_NONE);
    EXPECT_GE(sink.lines.size(), before + 2);
    for (size_t i = before; i < sink.lines.size(); ++i) EXPECT_EQ(sink.threads[i], std::this_thread::get_id());
    bool sawOpen = false;
    for (auto& s : sink.lines) sawOpen = sawOpen || s.find("mb_openstore name=tl") != std::string::npos;
    EXPECT_TRUE(sawOpen);
}

}  // namespace
