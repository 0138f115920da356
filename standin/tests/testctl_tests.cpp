// Tests of the stand-in's test controls: the journal's exact lines, forced
// outcomes, scripted block operations, given records and trace lines.
#include "standin_test_util.h"

using namespace standin_test;

namespace {

class Controls : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        mbt_journal_enable(1);
        mbt_journal_clear();
    }
    std::vector<std::string> journal() {
        std::vector<std::string> v;
        for (int i = 0; i < mbt_journal_count(); ++i) v.emplace_back(mbt_journal_line(i));
        return v;
    }
};

TEST_F(Controls, JournalRecordsEveryCallWithItsExactArguments) {
    mb_libinfo li;
    mb_get_libinfo(&li);
    mb_init_args a = makeArgs(2);
    a.trace_level = 3;
    a.ip = 0x0100007f;
    a.localport = 0x591b;
    a.busywait = 100;
    a.timeout = 1000;
    mb_callbacks cb;
    std::memset(&cb, 0, sizeof cb);
    a.ccb = &cb;
    Rqs rqs;
    mb_client_ctx* c2 = mb_init(&rqs, &a);
    ASSERT_NE(c2, nullptr);
    mb_store_handle h = mb_openstore(&rqs, c2, "my region", 1, 2, 6, 65536, 4096);
    ASSERT_EQ(h, 1u);
    mb_client_storeinfo si;
    si.storehandle = h;
    mb_get_storeinfo(&rqs, c2, &si);
    char buf[10] = {0};
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, buf, 10, 20, &log);
    mb_write(&rqs, c2, &op);
    op.flags = 0;
    op.key = reinterpret_cast<mb_key*>(buf);
    mb_read(&rqs, c2, &op);
    mb_read_fence(&rqs, c2, &op);
    mb_wait(&rqs, c2, 1000, 100);
    mb_ldinfo ld;
    mb_get_local_daemon_info(&rqs, c2, &ld);
    mb_get_error_message(&rqs);
    mb_event(&rqs, c2, 1, 1, 1, 3, 2, 0, h, "my region");
    mb_admin_get_attached_daemon(&rqs, c2);
    mb_admin_attach_daemon(&rqs, c2, 1);
    mb_admin_shutdown_daemon(&rqs, nullptr, 0x50);
    std::vector<mb_daemon_info> ds;
    std::vector<mb_client_storeinfo> ss;
    mb_admin_enumerate_daemons(&rqs, c2, &ds, collectDaemon, 1);
    mb_admin_enumerate_global_stores(&rqs, c2, &ss, collectStore, 0);
    mb_admin_enumerate_stores(&rqs, c2, &ss, collectStore, 2);
    mb_enumerate_global_stores(&rqs, c2, &ss, collectStore, 0);
    mb_admin_get_storeinfo(&rqs, c2, "my region", &ss, collectStore, 0);
    mb_admin_delete_store(&rqs, c2, nullptr, 1);
    mb_closestore(&rqs, c2, h, 0);
    mb_fini(&rqs, c2);
    mb_fini(&rqs, c2);
    int other = 0;
    mb_wait(&rqs, reinterpret_cast<mb_client_ctx*>(&other), 0, 0);

    std::vector<std::string> want = {
        "mb_get_libinfo",
        "mb_init trace_level=3 ip=0x0100007f localport=0x591b localindex=2 busywait=100 timeout=1000 ccb=1 "
        "cfg_filename=",
        "mb_openstore client=2 min=1 max=2 flags=6 size=65536 blocksize=4096 name=my region",
        "mb_get_storeinfo client=2 storehandle=1",
        "mb_write client=2 flags=1 length=10 offset=20 storehandle=1 key=0",
        "mb_read client=2 flags=0 length=10 offset=20 storehandle=1 key=1",
        "mb_read_fence client=2 storehandle=1",
        "mb_wait client=2 timeout=1000 busywait=100",
        "mb_get_local_daemon_info client=2",
        "mb_event client=2 arm=1 c1=1 c2=1 c3=3 target=2 c4=0 handle=1 name=my region",
        "mb_admin_get_attached_daemon client=2",
        "mb_admin_attach_daemon client=2 dindex=1",
        "mb_admin_shutdown_daemon client=0 flags=0x50",
        "mb_admin_enumerate_daemons client=2 verbose=1",
        "mb_admin_enumerate_global_stores client=2 verbose=0",
        "mb_admin_enumerate_stores client=2 verbose=2",
        "mb_enumerate_global_stores client=2 verbose=0",
        "mb_admin_get_storeinfo client=2 verbose=0 name=my region",
        "mb_admin_delete_store client=2 force=1 name=(null)",
        "mb_closestore client=2 handle=1 flags=0",
        "mb_fini client=2",
        "mb_fini client=-1",
        "mb_wait client=-1 timeout=0 busywait=0",
    };
    EXPECT_EQ(journal(), want);
    EXPECT_EQ(mbt_journal_count_op("mb_fini"), 2);
    EXPECT_EQ(mbt_journal_count_op("mb_read"), 1);  // not mb_read_fence
    EXPECT_EQ(mbt_journal_count_op("mb_get_libinfo"), 1);
    EXPECT_EQ(mbt_journal_line(static_cast<int>(want.size())), nullptr);
    EXPECT_EQ(mbt_journal_line(-1), nullptr);

    mbt_journal_enable(0);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(mbt_journal_count(), static_cast<int>(want.size()));
    mbt_journal_clear();
    EXPECT_EQ(mbt_journal_count(), 0);
}

TEST_F(Controls, ConnectionIdsRestartAfterReset) {
    mbt_reset();
    mbt_journal_enable(1);
    mb_init_args a = makeArgs(0, "/no/such/file");
    Rqs rqs;
    EXPECT_EQ(mb_init(&rqs, &a), nullptr);
    mb_init_args b = makeArgs(0);
    mb_client_ctx* c = mb_init(&rqs, &b);
    mb_wait(&rqs, c, 0, 0);
    EXPECT_EQ(std::string(mbt_journal_line(2)), "mb_wait client=1 timeout=0 busywait=0");
    EXPECT_EQ(std::string(mbt_journal_line(0)).substr(0, 8), "mb_init ");
    EXPECT_NE(std::string(mbt_journal_line(0)).find("cfg_filename=/no/such/file"), std::string::npos);
    EXPECT_EQ(mbt_live_connections(), 1);
    mbt_reset();
    EXPECT_EQ(mbt_live_connections(), 0);
    EXPECT_EQ(mbt_journal_count(), 0);
    mb_wait(&rqs, c, 0, 0);
    EXPECT_EQ(rqs.error, MB_ERR_BADCTX);
}

TEST_F(Controls, ForcedOutcomesReturnFailureValuesAndRunOut) {
    mb_store_handle h = open("f");
    mbt_force("mb_openstore", 2, MB_FAIL, MB_ERR_CANCEL);
    mbt_force("mb_admin_get_attached_daemon", 1, MB_RETRY, MB_ERR_TIMEDOUT);
    mbt_force("mb_init", 1, MB_FAIL, MB_ERR_AUTH);
    mbt_force("mb_closestore", -1, MB_FAIL, MB_ERR_OTHER);
    Rqs rqs;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(mb_openstore(&rqs, client_, "g", 1, 1, 6, 4096, 4096), 0u);
        EXPECT_EQ(rqs.status, MB_FAIL);
        EXPECT_EQ(rqs.error, MB_ERR_CANCEL);
    }
    EXPECT_NE(mb_openstore(&rqs, client_, "g", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), -1);
    EXPECT_EQ(rqs.status, MB_RETRY);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 0);
    mb_init_args a = makeArgs(0);
    EXPECT_EQ(mb_init(&rqs, &a), nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_AUTH);
    EXPECT_EQ(mbt_live_connections(), 1);
    for (int i = 0; i < 5; ++i) {
        mb_closestore(&rqs, client_, h, 0);
        EXPECT_EQ(rqs.error, MB_ERR_OTHER);
    }
    EXPECT_EQ(mbt_journal_count_op("mb_closestore"), 5);
    mbt_clear_forced();
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);  // the forced calls did nothing
}

TEST_F(Controls, ScriptedRetriesThenAcceptance) {
    mb_store_handle h = open("s");
    mbt_ioscript retry{};
    retry.submit_status = MB_RETRY;
    mbt_script_io("mb_write", 3, &retry);
    char buf[4] = {1, 2, 3, 4};
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, buf, 4, 0, &log);
    Rqs rqs;
    for (int i = 0; i < 3; ++i) {
        mb_write(&rqs, client_, &op);
        EXPECT_EQ(rqs.status, MB_RETRY);
    }
    mb_write(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_INPROG);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(info(h).used, 4u);
}

TEST_F(Controls, ScriptedDelayedRepeatedAndFailedNotifications) {
    mb_store_handle h = open("s2");
    char buf[8] = "abcdefg";
    ASSERT_EQ(io(true, h, buf, 8, 0), MB_ERR_NONE);

    mbt_ioscript late{};
    late.submit_status = MB_INPROG;
    late.notify_count = 2;
    late.notify_after_waits = 3;
    late.notify_status = MB_FAIL;
    late.notify_error = MB_ERR_DDEAD;
    late.perform = 1;
    mbt_script_io("mb_read", 1, &late);
    char back[8] = {0};
    NotifyLog log;
    mb_client_opargs op = makeOp(false, h, back, 8, 0, &log);
    Rqs rqs;
    mb_read(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_INPROG);
    EXPECT_STREQ(back, "abcdefg");  // perform moved the data
    EXPECT_EQ(mbt_pending_notifications(), 2);
    mb_wait(&rqs, client_, 0, 0);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 0);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 2);
    EXPECT_EQ(log.status, MB_FAIL);
    EXPECT_EQ(log.error, MB_ERR_DDEAD);
    EXPECT_EQ(mbt_pending_notifications(), 0);

    // Refusal with the record filled, no notification, no data moved.
    mbt_ioscript refuse{};
    refuse.submit_status = MB_FAIL;
    refuse.submit_error = MB_ERR_EMPTYBLOCK;
    refuse.op_status = MB_FAIL;
    refuse.op_error = MB_ERR_EMPTYBLOCK;
    mbt_script_io("mb_read", -1, &refuse);
    for (int i = 0; i < 3; ++i) {
        NotifyLog l2;
        std::memset(back, 0, sizeof back);
        mb_client_opargs o2 = makeOp(false, h, back, 8, 0, &l2);
        mb_read(&rqs, client_, &o2);
        EXPECT_EQ(rqs.status, MB_FAIL);
        EXPECT_EQ(o2.status, MB_FAIL);
        EXPECT_EQ(o2.error, MB_ERR_EMPTYBLOCK);
        EXPECT_EQ(back[0], 0);
    }
    mbt_clear_scripts();

    // Notification inside the submission, and an unknown status.
    mbt_ioscript now{};
    now.submit_status = static_cast<mb_status>(7);  // none of the four
    now.notify_count = 1;
    now.notify_status = MB_SUCC;
    mbt_script_io("mb_write", 1, &now);
    NotifyLog l3;
    mb_client_opargs o3 = makeOp(true, h, buf, 8, 100, &l3);
    mb_write(&rqs, client_, &o3);
    EXPECT_EQ(static_cast<int>(rqs.status), 7);
    EXPECT_EQ(l3.runs, 1);
    EXPECT_EQ(info(h).used, 8u);  // not performed
}

TEST_F(Controls, GivenRecordsAndFigures) {
    mb_store_handle h = open("given");
    mb_client_storeinfo fake;
    std::memset(&fake, 0, sizeof fake);
    std::strcpy(fake.name, "fake");
    fake.used = 123456;
    fake.storehandle = h;
    mbt_set_storeinfo(&fake);
    EXPECT_EQ(info(h).used, 123456u);
    mbt_set_storeinfo(nullptr);
    EXPECT_EQ(info(h).used, 0u);

    mb_ldinfo ld{7, 1, 1000, 999};
    mbt_set_ldinfo(&ld);
    mb_ldinfo got;
    Rqs rqs;
    mb_get_local_daemon_info(&rqs, client_, &got);
    EXPECT_EQ(got.dindex, 7);
    EXPECT_EQ(got.used_memory, 999u);
    mbt_set_ldinfo(nullptr);

    mb_daemon_info d[2];
    std::memset(d, 0, sizeof d);
    d[0].dindex = 40;
    d[1].dindex = 41;
    d[1].status = MB_DAEMON_DOWN;
    mbt_set_listed_daemons(d, 2);
    std::vector<mb_daemon_info> ds;
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    ASSERT_EQ(ds.size(), 2u);
    EXPECT_EQ(ds[1].dindex, 41);
    mbt_set_listed_daemons(d, 0);
    ds.clear();
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    EXPECT_TRUE(ds.empty());
    mbt_set_listed_daemons(nullptr, -1);
    mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
    EXPECT_EQ(ds.size(), 3u);

    mb_client_storeinfo st[3];
    std::memset(st, 0, sizeof st);
    std::strcpy(st[0].name, "x");
    std::strcpy(st[1].name, "y");
    std::strcpy(st[2].name, "x");
    mbt_set_listed_stores(st, 3);
    std::vector<mb_client_storeinfo> ss;
    mb_admin_enumerate_stores(&rqs, client_, &ss, collectStore, 0);
    EXPECT_EQ(ss.size(), 3u);
    ss.clear();
    mb_admin_get_storeinfo(&rqs, client_, "x", &ss, collectStore, 0);
    EXPECT_EQ(ss.size(), 2u);
    mb_admin_get_storeinfo(&rqs, client_, "given", &ss, collectStore, 0);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    mbt_set_listed_stores(nullptr, 0);
    ss.clear();
    mb_admin_get_storeinfo(&rqs, client_, "given", &ss, collectStore, 0);
    EXPECT_EQ(ss.size(), 1u);

    mbt_set_attached_daemon(9);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 9);
    mbt_set_attached_daemon(-1);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 0);

    mb_rqs e{MB_FAIL, MB_ERR_CANCEL};
    const char* real = mb_get_error_message(&e);
    mbt_set_error_message(MB_ERR_CANCEL, "given text");
    EXPECT_STREQ(mb_get_error_message(&e), "given text");
    mbt_set_error_message(MB_ERR_CANCEL, nullptr);
    EXPECT_EQ(mb_get_error_message(&e), real);
}

TEST_F(Controls, TraceOnceAndLastInitArguments) {
    TraceSink sink;
    mb_callbacks cb;
    std::memset(&cb, 0, sizeof cb);
    cb.trace = TraceSink::trace;
    cb.tracecbctx = &sink;
    mb_init_args a = makeArgs(1);
    a.ccb = &cb;
    a.trace_level = 0;
    a.timeout = 77;
    Rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    ASSERT_NE(c, nullptr);
    mb_init_args last;
    ASSERT_EQ(mbt_last_init_args(&last), 1);
    EXPECT_EQ(last.timeout, 77u);
    EXPECT_EQ(last.localindex, 1u);
    mb_callbacks lastcb;
    ASSERT_EQ(mbt_last_init_callbacks(&lastcb), 1);
    EXPECT_EQ(lastcb.tracecbctx, &sink);

    std::string longText(5000, 'L');
    mbt_emit_trace_once(longText.c_str());
    mb_wait(&rqs, client_, 0, 0);  // no trace entry on this connection
    EXPECT_TRUE(sink.lines.empty());
    mb_wait(&rqs, c, 0, 0);
    mb_wait(&rqs, c, 0, 0);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], longText);
    mbt_emit_trace_format_once("100%% plain");
    mb_wait(&rqs, c, 0, 0);
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[1], "100% plain");

    mb_init_args none = makeArgs(0);
    mb_init(&rqs, &none);
    EXPECT_EQ(mbt_last_init_callbacks(&lastcb), 0);
    EXPECT_EQ(lastcb.trace, nullptr);
}

TEST_F(Controls, InlineCompletionAndDaemonState) {
    mb_store_handle h = open("inl", 1, 3);
    mbt_set_inline_completion(1);
    char buf[3] = "hi";
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, buf, 3, 0, &log);
    Rqs rqs;
    mb_write(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(op.status, MB_SUCC);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 0);
    mbt_set_inline_completion(0);
    NotifyLog log2;
    mb_client_opargs op2 = makeOp(true, h, buf, 3, 0, &log2);
    mb_write(&rqs, client_, &op2);
    EXPECT_EQ(rqs.status, MB_INPROG);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log2.runs, 1);

    EXPECT_EQ(mbt_daemon_count(), 3);
    mbt_set_daemon_up(0, 0);
    EXPECT_EQ(mbt_daemon_is_up(0), 0);
    EXPECT_EQ(info(h).primary, 1);
    mbt_set_daemon_up(0, 1);
    EXPECT_EQ(mbt_daemon_is_up(0), 1);
    EXPECT_EQ(info(h).redundancy, 2);  // a revived daemon holds no copies
    mb_ldinfo ld;
    mb_get_local_daemon_info(&rqs, client_, &ld);
    EXPECT_EQ(ld.used_memory, 0u);
}

}  // namespace
