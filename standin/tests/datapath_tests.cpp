// The data path's short form and the connection records: stale and stray
// pointers told apart without being read, records reused, per-thread
// completion queues, any block size, data operations beside administrative
// calls and beside mb_fini on other threads.
#include <atomic>

#include "standin_test_util.h"

using namespace standin_test;

namespace {

class DataPath : public ClientTest {};

mb_error waitError(mb_client_ctx* c) {
    Rqs r;
    mb_wait(&r, c, 0, 0);
    return r.status == MB_SUCC ? MB_ERR_NONE : r.error;
}

mb_client_ctx* connect(mb_init_args* args) {
    Rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, args);
    EXPECT_EQ(rqs.status, MB_SUCC);
    return c;
}

// Records are reused, pointers never: a finalised connection answers
// MB_ERR_FREEDCTX however often its record has served since, and its
// undelivered completions are never delivered (their operation records are
// freed at once: the sanitised build catches any delivery). Pointers near a
// live connection or into the caller's memory answer MB_ERR_BADCTX, as
// every earlier pointer does after a reset.
TEST_F(DataPath, ConnectionRecordsAreReusedAndStalePointersToldApart) {
    std::vector<mb_client_ctx*> gone;
    NotifyLog never;
    char data[64] = {3};
    for (int i = 0; i < 5000; ++i) {
        Rqs rqs;
        mb_client_ctx* c = connect(&args_);
        auto* op = new mb_client_opargs(makeOp(true, open("reuse", 1, 1, 1 << 16, 4096, c), data, 64, 0, &never));
        mb_write(&rqs, c, op);
        ASSERT_EQ(rqs.status, MB_INPROG);
        mb_fini(&rqs, c);
        ASSERT_EQ(rqs.status, MB_SUCC);
        delete op;
        gone.push_back(c);
        if (i % 100 == 99) waitError(client_);  // discards the stale entries
    }
    // Many at once, in the records the finalised ones used: each its own.
    std::vector<mb_client_ctx*> live;
    for (int i = 0; i < 300; ++i) live.push_back(connect(&args_));
    for (mb_client_ctx* c : gone) ASSERT_EQ(waitError(c), MB_ERR_FREEDCTX);
    for (mb_client_ctx* c : live) {
        EXPECT_EQ(io(true, open("many", 1, 2, 1 << 16, 4096, c), data, sizeof data, 0, c), MB_ERR_NONE);
        Rqs rqs;
        mb_fini(&rqs, c);
    }
    EXPECT_EQ(never.runs, 0);
    EXPECT_EQ(mbt_live_connections(), 1);

    int local = 0;
    auto* base = reinterpret_cast<unsigned char*>(client_);
    for (void* p : std::initializer_list<void*>{base + 1, base + 15, base - 1, base + 16, base - 16, &local, data}) {
        auto* stray = static_cast<mb_client_ctx*>(p);
        EXPECT_EQ(waitError(stray), MB_ERR_BADCTX);
        mb_client_opargs op = makeOp(true, 1, data, sizeof data, 0, nullptr);
        Rqs w;
        mb_write(&w, stray, &op);
        EXPECT_EQ(w.error, MB_ERR_BADCTX);
    }
    mbt_reset();
    for (mb_client_ctx* c : {gone.front(), gone.back(), live.back(), client_}) EXPECT_EQ(waitError(c), MB_ERR_BADCTX);
}

// mb_fini on one thread while this one writes, reads and waits on the same
// connection: the next call answers MB_ERR_FREEDCTX, a completion runs at
// most once and never after the end, and operation records freed right
// after a failed wait are never touched again.
TEST_F(DataPath, FinaliseDuringTransfersEndsThem) {
    char data[512] = {1};
    Deadline limit(30000);
    for (int round = 0; round < 2000 && !limit.passed(); ++round) {
        mb_client_ctx* c = connect(&args_);
        mb_store_handle h = open("race", 1, 1, 1 << 16, 4096, c);
        ASSERT_EQ(io(true, h, data, sizeof data, 0, c), MB_ERR_NONE);
        std::atomic<int> submitted{0};
        std::thread fin([&] {
            while (submitted.load() < round % 8) std::this_thread::yield();
            Rqs r;
            mb_fini(&r, c);
            EXPECT_EQ(r.status, MB_SUCC);
        });
        mb_error ended = MB_ERR_NONE;
        int wrong = 0;
        for (long i = 0; i < 10000000 && ended == MB_ERR_NONE; ++i) {
            NotifyLog log;
            auto* op = new mb_client_opargs(makeOp(i % 2 == 0, h, data, sizeof data, 0, &log));
            Rqs s;
            (i % 2 == 0 ? mb_write : mb_read)(&s, c, op);
            submitted++;
            if (s.status == MB_FAIL) ended = s.error;
            if (s.status == MB_INPROG) {
                ended = waitError(c);
                wrong += log.runs != (ended == MB_ERR_NONE ? 1 : 0);
            }
            delete op;
        }
        fin.join();
        EXPECT_EQ(ended, MB_ERR_FREEDCTX) << round;
        EXPECT_EQ(wrong, 0) << round;
    }
}

TEST_F(DataPath, WaitDeliversOnlyItsConnectionsCompletionsInOrder) {
    mb_init_args bArgs = makeArgs(1);
    mb_client_ctx* b = connect(&bArgs);
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

    EXPECT_EQ(waitError(client_), MB_ERR_NONE);
    for (int i = 0; i < kOps; ++i) EXPECT_EQ(logs[i].runs, i % 2 == 0 ? 1 : 0) << i;
    EXPECT_EQ(ops[0].status, MB_SUCC);
    EXPECT_EQ(waitError(b), MB_ERR_NONE);  // then b's own, on its wait
    for (int i = 0; i < kOps; ++i) EXPECT_EQ(logs[i].runs, 1) << i;
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
    if (r.status == MB_INPROG) waitError(ch->client);
    return 1;
}

TEST_F(DataPath, NotificationsMaySubmitAndWaitAgain) {
    mb_store_handle h = open("chain");
    Chain ch{client_, h, {0}, {}, {}, 0};
    char data[32];
    std::memset(data, 7, sizeof data);
    // Two operations queued: the first one's callback reads and waits; the
    // nested wait must not deliver the second one twice.
    NotifyLog second;
    mb_client_opargs first = makeOp(true, h, data, sizeof data, 0, nullptr);
    first.cookie = static_cast<ub8>(reinterpret_cast<uintptr_t>(&ch));
    first.ncb = chainNcb;
    mb_client_opargs secondOp = makeOp(true, h, data, sizeof data, 64, &second);
    Rqs r, r2;
    mb_write(&r, client_, &first);
    mb_write(&r2, client_, &secondOp);
    ASSERT_EQ(r.status + r2.status, 2 * MB_INPROG);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(waitError(client_), MB_ERR_NONE);
        EXPECT_EQ(ch.outerRuns + ch.nextLog.runs + ch.next.readdone + second.runs, 4) << i;
    }
    EXPECT_EQ(std::memcmp(ch.buf, data, sizeof data), 0);
}

TEST_F(DataPath, BlockSizesThatAreNotPowersOfTwo) {
    mbt_set_inline_completion(1);
    for (ub4 bs : {1000u, 4096u, 3000u}) {
        mb_store_handle h = open(("bs" + std::to_string(bs)).c_str(), 1, 2, 20000, bs);
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
    Deadline limit(30000);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            std::vector<unsigned char> out(4096), in(4096);
            for (int r = 0; r < kRounds && !limit.passed(); ++r) {
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
        mb_store_handle h = open(("admin" + std::to_string(adminRounds % 4)).c_str(), 1, 1, 1 << 16);
        Rqs rqs;
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

}  // namespace
