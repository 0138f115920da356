// The data path's short form: connection pointers told apart without being
// read, per-thread completion queues, block arithmetic for any block size,
// data operations running beside administrative calls on other threads,
// and connections beyond the connection table.
//
// The table test makes thousands of connections; it runs last in this
// binary, which is why these cases have their own executable.
#include <atomic>
#include <thread>
#include <vector>

#include "standin_test_util.h"

using namespace standin_test;

namespace {

class DataPath : public ClientTest {};

TEST_F(DataPath, PointersNearALiveConnectionAreNotConnections) {
    auto* base = reinterpret_cast<unsigned char*>(client_);
    // Inside the connection, the next (unused) slot, just before it.
    for (long delta : {8L, 64L, 255L, 256L, 512L, -256L, -1L}) {
        auto* p = reinterpret_cast<mb_client_ctx*>(base + delta);
        Rqs rqs;
        mb_wait(&rqs, p, 0, 0);
        EXPECT_EQ(rqs.status, MB_FAIL) << delta;
        EXPECT_EQ(rqs.error, MB_ERR_BADCTX) << delta;
        char buf[16] = {0};
        mb_client_opargs op = makeOp(true, 1, buf, sizeof buf, 0, nullptr);
        Rqs w;
        mb_write(&w, p, &op);
        EXPECT_EQ(w.error, MB_ERR_BADCTX) << delta;
        Rqs f;
        mb_read_fence(&f, p, &op);
        EXPECT_EQ(f.error, MB_ERR_BADCTX) << delta;
    }
    // The real one still works.
    mb_store_handle h = open("near");
    char data[64] = {1};
    EXPECT_EQ(io(true, h, data, sizeof data, 0), MB_ERR_NONE);
}

TEST_F(DataPath, WaitDeliversOnlyItsConnectionsCompletionsInOrder) {
    mb_init_args bArgs = makeArgs(1);
    Rqs rqs;
    mb_client_ctx* b = mb_init(&rqs, &bArgs);
    ASSERT_NE(b, nullptr);
    mb_store_handle ha = open("qa");
    mb_store_handle hb = open("qb", 1, 2, 1 << 20, 4096, b);

    // 40 operations alternating between the two connections, more than
    // one wait's inline room.
    constexpr int kOps = 40;
    std::vector<NotifyLog> logs(kOps);
    std::vector<mb_client_opargs> ops(kOps);
    std::vector<char> data(kOps * 16, 5);
    for (int i = 0; i < kOps; ++i) {
        bool onA = i % 2 == 0;
        ops[i] = makeOp(true, onA ? ha : hb, &data[i * 16], 16, static_cast<ub8>(i) * 16, &logs[i]);
        Rqs r;
        mb_write(&r, onA ? client_ : b, &ops[i]);
        ASSERT_EQ(r.status, MB_INPROG);
    }
    // The record stays untouched until its notification.
    EXPECT_EQ(ops[0].status, 0);

    Rqs w;
    mb_wait(&w, client_, 0, 0);
    EXPECT_EQ(w.status, MB_SUCC);
    for (int i = 0; i < kOps; ++i) {
        EXPECT_EQ(logs[i].runs, i % 2 == 0 ? 1 : 0) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(ops[i].status, MB_SUCC);
        }
    }
    // Finalising b drops its completions; a's queue goes on working.
    mb_fini(&rqs, b);
    ASSERT_EQ(rqs.status, MB_SUCC);
    mb_wait(&w, b, 0, 0);
    EXPECT_EQ(w.error, MB_ERR_FREEDCTX);
    NotifyLog last;
    char one[16] = {9};
    mb_client_opargs lastOp = makeOp(true, ha, one, sizeof one, 4096, &last);
    mb_write(&rqs, client_, &lastOp);
    ASSERT_EQ(rqs.status, MB_INPROG);
    mb_wait(&w, client_, 0, 0);
    EXPECT_EQ(last.runs, 1);
    for (int i = 1; i < kOps; i += 2) EXPECT_EQ(logs[i].runs, 0) << i;
}

// A notification that submits and waits again from inside its callback.
struct Chain {
    mb_client_ctx* client;
    mb_store_handle handle;
    char buf[32];
    mb_client_opargs next;
    NotifyLog nextLog;
    int outerRuns = 0;
};

boolean chainNcb(mb_client_opargs* op) {
    auto* ch = reinterpret_cast<Chain*>(static_cast<uintptr_t>(op->cookie));
    ch->outerRuns++;
    ch->next = makeOp(false, ch->handle, ch->buf, sizeof ch->buf, 0, &ch->nextLog);
    Rqs r;
    mb_read(&r, ch->client, &ch->next);
    if (r.status == MB_INPROG) {
        Rqs w;
        mb_wait(&w, ch->client, 0, 0);
    }
    return 1;
}

TEST_F(DataPath, NotificationsMaySubmitAndWaitAgain) {
    mb_store_handle h = open("chain");
    Chain ch;
    ch.client = client_;
    ch.handle = h;
    std::memset(ch.buf, 0, sizeof ch.buf);
    char data[32];
    std::memset(data, 7, sizeof data);
    // Two operations queued: the first one's callback reads and waits; the
    // nested wait must not deliver the second one twice.
    NotifyLog second;
    mb_client_opargs first;
    std::memset(&first, 0, sizeof first);
    first.buffer = data;
    first.length = sizeof data;
    first.storehandle = h;
    first.cookie = static_cast<ub8>(reinterpret_cast<uintptr_t>(&ch));
    first.ncb = chainNcb;
    mb_client_opargs secondOp = makeOp(true, h, data, sizeof data, 64, &second);
    Rqs r;
    mb_write(&r, client_, &first);
    ASSERT_EQ(r.status, MB_INPROG);
    mb_write(&r, client_, &secondOp);
    ASSERT_EQ(r.status, MB_INPROG);
    Rqs w;
    mb_wait(&w, client_, 0, 0);
    EXPECT_EQ(ch.outerRuns, 1);
    EXPECT_EQ(ch.nextLog.runs, 1);
    EXPECT_EQ(ch.next.readdone, 1);
    EXPECT_EQ(std::memcmp(ch.buf, data, sizeof data), 0);
    EXPECT_EQ(second.runs, 1);
    mb_wait(&w, client_, 0, 0);
    EXPECT_EQ(ch.outerRuns, 1);
    EXPECT_EQ(second.runs, 1);
}

TEST_F(DataPath, BlockSizesThatAreNotPowersOfTwo) {
    mbt_set_inline_completion(1);
    for (ub4 bs : {1000u, 4096u, 3000u}) {
        std::string name = "bs" + std::to_string(bs);
        mb_store_handle h = open(name.c_str(), 1, 2, 20000, bs);
        // Spans several blocks, starting and ending inside one.
        std::vector<unsigned char> data(7777);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + bs);
        ASSERT_EQ(io(true, h, data.data(), data.size(), 1234), MB_ERR_NONE);
        std::vector<unsigned char> back(9000, 0xee);
        ASSERT_EQ(io(false, h, back.data(), back.size(), 1000), MB_ERR_NONE);
        for (size_t i = 0; i < back.size(); ++i) {
            size_t pos = 1000 + i;
            unsigned char want = (pos >= 1234 && pos < 1234 + data.size()) ? data[pos - 1234] : 0;
            ASSERT_EQ(back[i], want) << "block size " << bs << " position " << pos;
        }
        // A range whose every block was never written is refused.
        unsigned char tail[100];
        EXPECT_EQ(io(false, h, tail, sizeof tail, 19000), MB_ERR_EMPTYBLOCK);
    }
}

// Data operations on several threads while another thread opens, closes,
// lists and switches the journal: every byte written is read back, nothing
// is lost or mixed up, and no call waits forever.
TEST_F(DataPath, DataOperationsRunBesideAdministrativeCalls) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 300;
    std::vector<mb_store_handle> hs;
    for (int t = 0; t < kThreads; ++t) hs.push_back(open(("par" + std::to_string(t)).c_str(), 1, 2, 1 << 20));
    std::atomic<int> running{kThreads};
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            std::vector<unsigned char> out(4096), in(4096);
            for (int r = 0; r < kRounds; ++r) {
                for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(r + t * 31 + i);
                ub8 off = static_cast<ub8>(r % 64) * 4096;
                if (io(true, hs[t], out.data(), out.size(), off) != MB_ERR_NONE ||
                    io(false, hs[t], in.data(), in.size(), off) != MB_ERR_NONE || in != out)
                    mismatches[t]++;
                Rqs f;
                mb_client_opargs fop = makeOp(false, hs[t], nullptr, 0, 0, nullptr);
                mb_read_fence(&f, client_, &fop);
                if (f.status != MB_SUCC) mismatches[t]++;
            }
            running--;
        });
    }
    int adminRounds = 0;
    while (running.load() > 0 || adminRounds < 20) {
        std::string name = "admin" + std::to_string(adminRounds % 4);
        Rqs rqs;
        mb_store_handle h = mb_openstore(&rqs, client_, name.c_str(), 1, 1, 6, 1 << 16, 4096);
        EXPECT_NE(h, 0u);
        std::vector<mb_client_storeinfo> stores;
        mb_enumerate_global_stores(&rqs, client_, &stores, collectStore, 0);
        EXPECT_EQ(rqs.status, MB_SUCC);
        mbt_journal_enable(adminRounds % 2);
        mb_closestore(&rqs, client_, h, 0);
        EXPECT_EQ(rqs.status, MB_SUCC);
        mbt_journal_clear();
        adminRounds++;
    }
    for (auto& t : ts) t.join();
    mbt_journal_enable(0);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// Keep last: uses up the connection table, so that later connections of
// this process live outside it.
TEST_F(DataPath, ConnectionsBeyondTheTableBehaveTheSame) {
    mb_init_args a = makeArgs(0);
    std::vector<mb_client_ctx*> made;
    Rqs rqs;
    for (int i = 0; i < 4200; ++i) {
        mb_client_ctx* c = mb_init(&rqs, &a);
        ASSERT_NE(c, nullptr) << i;
        made.push_back(c);
        if (i % 2 == 1) {  // keep the live count modest
            mb_fini(&rqs, c);
            ASSERT_EQ(rqs.status, MB_SUCC);
        }
    }
    mb_client_ctx* last = made.back();
    mb_client_ctx* lastLive = made[made.size() - 2];
    // A finalised connection beyond the table, and a live one.
    mb_wait(&rqs, last, 0, 0);
    EXPECT_EQ(rqs.error, MB_ERR_FREEDCTX);
    mb_store_handle h = open("beyond", 1, 2, 1 << 20, 4096, lastLive);
    char data[256], back[256];
    std::memset(data, 0x5a, sizeof data);
    EXPECT_EQ(io(true, h, data, sizeof data, 512, lastLive), MB_ERR_NONE);
    EXPECT_EQ(io(false, h, back, sizeof back, 512, lastLive), MB_ERR_NONE);
    EXPECT_EQ(std::memcmp(back, data, sizeof back), 0);
    mbt_journal_enable(1);
    mb_wait(&rqs, lastLive, 0, 0);
    std::string line = mbt_journal_line(0) ? mbt_journal_line(0) : "";
    EXPECT_EQ(line, "mb_wait client=4200 timeout=0 busywait=0");  // ids count from the last reset
    mbt_journal_enable(0);
    // After a reset every earlier pointer, in the table or not, is unknown.
    mbt_reset();
    for (mb_client_ctx* c : {made.front(), made[1], lastLive, last}) {
        mb_wait(&rqs, c, 0, 0);
        EXPECT_EQ(rqs.error, MB_ERR_BADCTX);
    }
    mb_client_ctx* fresh = mb_init(&rqs, &a);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(mbt_live_connections(), 1);
}

}  // namespace
