/*
 * engine_tests.cpp - one asynchronous operation: submission with retry,
 * empty blocks, completion, the reported failure, the wait counters and
 * the records of failed operations.
 */
#include "io_support.h"

using namespace iot;
using jvmh::takeException;

namespace {

mbt_ioscript script(mb_status submit, mb_error submitError = MB_ERR_NONE) {
    mbt_ioscript s;
    std::memset(&s, 0, sizeof s);
    s.submit_status = submit;
    s.submit_error = submitError;
    return s;
}

mbt_ioscript notifying(int afterWaits, mb_status status, mb_error error, int perform) {
    mbt_ioscript s = script(MB_INPROG);
    s.notify_count = 1;
    s.notify_after_waits = afterWaits;
    s.notify_status = status;
    s.notify_error = error;
    s.perform = perform;
    return s;
}

int countLines(const std::vector<std::string>& lines, const std::string& exact) {
    int n = 0;
    for (const auto& l : lines) n += l == exact;
    return n;
}

}  // namespace

class Engine : public IoTest {
protected:
    static constexpr int kData = 64 * 1024;

    void SetUp() override {
        IoTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        h_ = openOk("eng", 1, {{"SleepWaitMilliSeconds", "3"}, {"BusyWaitMicroSeconds", "4"}});
        data_ = std::make_unique<NativeBuffer>(kData);
        data_->pattern(42);
        ASSERT_EQ(kData, writeBytes(h_, 0, *data_, 0, kData));
        ASSERT_FALSE(takeException().present);
        mbt_journal_clear();
        jvmh::sink::reset();
        parkedBefore_ = parkedOperationRecords;
    }

    std::vector<std::string> waits() { return journalOf("mb_wait"); }
    bool sameAsWritten(NativeBuffer& b, size_t from, size_t n) {
        return std::memcmp(b.data(), data_->data() + from, n) == 0;
    }

    jlong h_ = -1;
    std::unique_ptr<NativeBuffer> data_;
    int64_t parkedBefore_ = 0;
};

// ---------------------------------------------------------------------------
// Submission with retry.

class EngineSubmission : public Engine {};

TEST_F(EngineSubmission, EndlessRetryReadGives1025SubmissionsAnd1024Waits) {
    mbt_ioscript s = script(MB_RETRY);
    mbt_script_io("mb_read", -1, &s);
    NativeBuffer buf(4096);
    EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 4096));
    auto ex = takeException();
    mbt_clear_scripts();
    expectIO(ex, storePieces("eng", std::make_pair(MB_RETRY, 0)),
             "retriedRead Failed to read and ended with error(Attempt=0)");
    EXPECT_EQ(1025, journalCount("mb_read"));
    auto w = waits();
    EXPECT_EQ(1024u, w.size());
    EXPECT_EQ(1024, countLines(w, "mb_wait client=1 timeout=3 busywait=0"));
    EXPECT_EQ(parkedBefore_, parkedOperationRecords) << "a refused operation is not parked";
    expectLogged("verbose", "fileio_internal_read end with error. Async status errorcode=0 , mb_client_opargs error=0");
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_read error return due read error");
}

TEST_F(EngineSubmission, EndlessRetryWriteGives1025SubmissionsAnd1024Waits) {
    mbt_ioscript s = script(MB_RETRY);
    mbt_script_io("mb_write", -1, &s);
    NativeBuffer buf(4096);
    EXPECT_EQ(-1, writeBytes(h_, kData, buf, 0, 4096));
    auto ex = takeException();
    mbt_clear_scripts();
    expectIO(ex, storePieces("eng", std::make_pair(MB_RETRY, 0)),
             "retriedWrite Failed to write and ended with error(Attempt=0)");
    EXPECT_EQ(1025, journalCount("mb_write"));
    EXPECT_EQ(1024, countLines(waits(), "mb_wait client=1 timeout=3 busywait=0"));
    EXPECT_EQ(1024u, waits().size());
    EXPECT_EQ(kData, nat::getSize(h_));
    expectLogged("verbose", "fileio_internal_write end with error. Error code=0, Base error=0");
    expectLogged("verbose", "fileio_mb_write end: return value=-1 newFilePos=69632 writtenFileSize=65536");
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_write error");
}

TEST_F(EngineSubmission, UnknownStatusesAreRetried) {
    mbt_ioscript s = script(static_cast<mb_status>(77));
    mbt_script_io("mb_read", 2, &s);
    NativeBuffer buf(1000);
    EXPECT_EQ(1000, readBytes(h_, 500, buf, 0, 1000));
    EXPECT_FALSE(takeException().present);
    EXPECT_TRUE(sameAsWritten(buf, 500, 1000));
    EXPECT_EQ(3, journalCount("mb_read"));
    // Two retry waits without busy-wait, then the completion wait.
    auto w = waits();
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ("mb_wait client=1 timeout=3 busywait=0", w[0]);
    EXPECT_EQ("mb_wait client=1 timeout=3 busywait=0", w[1]);
}

TEST_F(EngineSubmission, FirstFailIsNotRetried) {
    mbt_ioscript s = script(MB_FAIL, MB_ERR_OTHER);
    mbt_script_io("mb_read", 1, &s);
    mbt_script_io("mb_write", 1, &s);
    NativeBuffer buf(4096);
    EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "retriedRead Failed to read and ended with error(Attempt=1024)");
    EXPECT_EQ(-1, writeBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "retriedWrite Failed to write and ended with error(Attempt=1024)");
    EXPECT_EQ(1, journalCount("mb_read"));
    EXPECT_EQ(1, journalCount("mb_write"));
    EXPECT_EQ(0, journalCount("mb_wait"));
}

TEST_F(EngineSubmission, ReportedFailurePrefersTheOperationRecordThenTheLastResult) {
    mbt_ioscript s = script(MB_FAIL, MB_ERR_OTHER);
    s.op_status = MB_FAIL;
    s.op_error = MB_ERR_ACCESS;
    mbt_script_io("mb_write", 1, &s);
    NativeBuffer buf(16);
    EXPECT_EQ(-1, writeBytes(h_, 0, buf, 0, 16));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, MB_ERR_ACCESS)),
             "retriedWrite Failed to write and ended with error(Attempt=1024)");

    // Every candidate error 0: the exception still comes, with the last
    // result record.
    s = script(MB_FAIL, MB_ERR_NONE);
    mbt_script_io("mb_read", 1, &s);
    EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 16));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 0)),
             "retriedRead Failed to read and ended with error(Attempt=1024)");
}

TEST_F(EngineSubmission, InjectedSubmissionFailuresHitOnlyRefusedOrRetryableSubmissions) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    faults_.set("tessera.junit.mbRetriedReadErrorTest");
    faults_.set("tessera.junit.mbRetriedWriteErrorTest");
    NativeBuffer buf(4096);
    // Accepted submissions are not affected.
    EXPECT_EQ(4096, readBytes(h_, 0, buf, 0, 4096));
    EXPECT_TRUE(sameAsWritten(buf, 0, 4096));
    EXPECT_EQ(4096, writeBytes(h_, 0, buf, 0, 4096));
    EXPECT_FALSE(takeException().present);

    mbt_journal_clear();
    mbt_ioscript s = script(MB_RETRY);
    mbt_script_io("mb_read", -1, &s);
    mbt_script_io("mb_write", -1, &s);
    EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), cancelled("eng"), "retriedRead Failed to read and ended with error(Attempt=0)");
    EXPECT_EQ(-1, writeBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), cancelled("eng"), "retriedWrite Failed to write and ended with error(Attempt=0)");
    mbt_clear_scripts();
    EXPECT_EQ(1, journalCount("mb_read"));
    EXPECT_EQ(1, journalCount("mb_write"));
    EXPECT_EQ(0, journalCount("mb_wait"));

    // Switched off between two operations.
    faults_.clear("tessera.junit.mbRetriedReadErrorTest");
    s = script(MB_RETRY);
    mbt_script_io("mb_read", 1, &s);
    EXPECT_EQ(4096, readBytes(h_, 0, buf, 0, 4096));
    EXPECT_FALSE(takeException().present);
    expectLogged("verbose", "setTestFlag Test Flag tessera.junit.mbRetriedReadErrorTest=false");
}

// ---------------------------------------------------------------------------
// Blocks never written.

class EngineEmptyBlock : public Engine {};

TEST_F(EngineEmptyBlock, RefusedAsEmptyReadsAsZeros) {
    // Extend the file far beyond what was written so that a range with no
    // block ever written lies inside the file length.
    NativeBuffer tail(16);
    tail.pattern(5);
    ASSERT_EQ(16, writeBytes(h_, 4 << 20, tail, 0, 16));
    mbt_journal_clear();
    NativeBuffer buf(8192);
    EXPECT_EQ(8192, readBytes(h_, 1 << 20, buf, 0, 8192));
    EXPECT_FALSE(takeException().present);
    for (size_t i = 0; i < 8192; ++i) ASSERT_EQ(0, buf.data()[i]) << "byte " << i;
    EXPECT_EQ(1, journalCount("mb_read"));
    EXPECT_EQ(0, journalCount("mb_wait"));
    expectLoggedPrefix("debug", "retriedRead convert MB_ERR_EMPTYBLOCK to success storehandle=1 cookie=x");

    // The same through a script: refused, record marked empty.
    mbt_ioscript s = script(MB_FAIL, MB_ERR_EMPTYBLOCK);
    s.op_status = MB_FAIL;
    s.op_error = MB_ERR_EMPTYBLOCK;
    mbt_script_io("mb_read", 1, &s);
    buf.fill(0x5A);
    EXPECT_EQ(100, readBytes(h_, 0, buf, 10, 100));
    EXPECT_FALSE(takeException().present);
    for (size_t i = 10; i < 110; ++i) ASSERT_EQ(0, buf.data()[i]) << "byte " << i;
    EXPECT_EQ(0x5A, buf.data()[9]);
    EXPECT_EQ(0x5A, buf.data()[110]);
}

TEST_F(EngineEmptyBlock, EmptyBlockArrivingAnyOtherWayIsAFailure) {
    NativeBuffer buf(4096);
    struct Case {
        mbt_ioscript s;
        const char* what;
    };
    mbt_ioscript viaNotification = notifying(0, MB_FAIL, MB_ERR_EMPTYBLOCK, 0);
    mbt_ioscript acceptedMarked = script(MB_INPROG);
    acceptedMarked.op_status = MB_FAIL;
    acceptedMarked.op_error = MB_ERR_EMPTYBLOCK;
    mbt_ioscript completedMarked = script(MB_SUCC);
    completedMarked.op_status = MB_FAIL;
    completedMarked.op_error = MB_ERR_EMPTYBLOCK;
    for (const Case& c : {Case{viaNotification, "notification"}, Case{acceptedMarked, "accepted"},
                          Case{completedMarked, "completed"}}) {
        mbt_script_io("mb_read", 1, &c.s);
        buf.fill(0xEE);
        EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 4096)) << c.what;
        expectIO(takeException(), storePieces("eng", std::make_pair(2, MB_ERR_EMPTYBLOCK)),
                 "retriedRead Failed to read and ended with error(reported=7)");
        EXPECT_EQ(0xEE, buf.data()[0]) << c.what << ": nothing may be zero-filled";
    }
    EXPECT_EQ(parkedBefore_ + 3, parkedOperationRecords);
}

// ---------------------------------------------------------------------------
// Completion.

class EngineCompletion : public Engine {};

TEST_F(EngineCompletion, NotificationInALaterWait) {
    mbt_ioscript s = notifying(3, MB_SUCC, MB_ERR_NONE, 1);
    mbt_script_io("mb_read", 1, &s);
    NativeBuffer buf(5000);
    EXPECT_EQ(5000, readBytes(h_, 300, buf, 0, 5000));
    EXPECT_FALSE(takeException().present);
    EXPECT_TRUE(sameAsWritten(buf, 300, 5000));
    auto w = waits();
    EXPECT_EQ(3u, w.size());
    EXPECT_EQ(3, countLines(w, "mb_wait client=1 timeout=3 busywait=4"));
    expectLoggedPrefix("debug", "read_ncb block ok cookie=x");

    mbt_journal_clear();
    NativeBuffer out(3000);
    out.pattern(77);
    mbt_script_io("mb_write", 1, &s);
    EXPECT_EQ(3000, writeBytes(h_, 100, out, 0, 3000));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(3, countLines(waits(), "mb_wait client=1 timeout=3 busywait=4"));
    NativeBuffer back(3000);
    EXPECT_EQ(3000, readBytes(h_, 100, back, 0, 3000));
    EXPECT_EQ(0, std::memcmp(out.data(), back.data(), 3000));
    expectLoggedPrefix("verbose", "write_ncb block ok cookie=x");
}

TEST_F(EngineCompletion, InlineCompletionNeedsNoWait) {
    mbt_set_inline_completion(1);
    NativeBuffer out(10000);
    out.pattern(9);
    EXPECT_EQ(10000, writeBytes(h_, 20000, out, 0, 10000));
    NativeBuffer back(10000);
    EXPECT_EQ(10000, readBytes(h_, 20000, back, 0, 10000));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, std::memcmp(out.data(), back.data(), 10000));
    EXPECT_EQ(0, journalCount("mb_wait"));
    mbt_set_inline_completion(0);

    // A notification delivered inside the submission call.
    mbt_ioscript s = notifying(0, MB_SUCC, MB_ERR_NONE, 1);
    mbt_script_io("mb_read", 1, &s);
    EXPECT_EQ(10000, readBytes(h_, 20000, back, 0, 10000));
    EXPECT_EQ(0, journalCount("mb_wait"));
}

TEST_F(EngineCompletion, CompletedWithoutNotificationRunsTheCallbackItself) {
    mbt_ioscript s = script(MB_SUCC);
    s.op_status = MB_SUCC;
    s.perform = 1;
    mbt_script_io("mb_read", 1, &s);
    mbt_script_io("mb_write", 1, &s);
    NativeBuffer buf(2048);
    EXPECT_EQ(2048, readBytes(h_, 4096, buf, 0, 2048));
    EXPECT_TRUE(sameAsWritten(buf, 4096, 2048));
    EXPECT_EQ(2048, writeBytes(h_, 4096, buf, 0, 2048));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, journalCount("mb_wait"));
    expectLoggedPrefix("debug", "read_ncb block ok cookie=x");
    expectLoggedPrefix("verbose", "write_ncb block ok cookie=x");
    expectLogged("verbose", "read_ncb begin");
    expectLogged("verbose", "write_ncb begin");
}

TEST_F(EngineCompletion, FailedNotification) {
    mbt_ioscript s = notifying(1, MB_FAIL, MB_ERR_OTHER, 0);
    mbt_script_io("mb_read", 1, &s);
    mbt_script_io("mb_write", 1, &s);
    NativeBuffer buf(4096);
    EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "retriedRead Failed to read and ended with error(reported=8)");
    EXPECT_EQ(1, replicatedContextArray[1].skipReadFence) << "the fence before the failed read still counts";
    EXPECT_EQ(-1, writeBytes(h_, kData, buf, 0, 4096));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "fileio_internal_write Failed to write and ended with error(reported=8)");
    EXPECT_EQ(kData, nat::getSize(h_));
    EXPECT_EQ(0, replicatedContextArray[1].skipReadFence);
    EXPECT_EQ(2, journalCount("mb_wait"));
    expectLogged("debug", "read_ncb status=2, error=8");
    expectLogged("debug", "write_ncb status=2, error=8");
    expectLogged("verbose", "fileio_internal_read end with error. Async status errorcode=8 , mb_client_opargs error=8");
    expectLogged("verbose", "fileio_internal_write end with error. Error code=8, Base error=8");
}

TEST_F(EngineCompletion, TwoFailedNotificationsRaiseOneException) {
    mbt_ioscript s = notifying(0, MB_FAIL, MB_ERR_OTHER, 0);
    s.notify_count = 2;
    mbt_script_io("mb_write", 1, &s);
    NativeBuffer buf(64);
    EXPECT_EQ(-1, writeBytes(h_, 0, buf, 0, 64));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "fileio_internal_write Failed to write and ended with error(reported=8)");
    EXPECT_FALSE(jvmh::env()->ExceptionCheck());
    expectLogged("debug", "write_ncb status=2, error=8", 2);
}

TEST_F(EngineCompletion, CallbacksKeepTheFirstFailureAndCheckTheirRecord) {
    general_ncb ncb;
    std::memset(&ncb, 0, sizeof ncb);
    ncb.pending = 3;
    ncb.j_env = jvmh::env();
    ncb.valid_ncb = &ncb;
    mb_client_opargs op;
    std::memset(&op, 0, sizeof op);
    op.cookie = reinterpret_cast<uintptr_t>(&ncb);

    op.status = MB_FAIL;
    op.error = MB_ERR_OTHER;
    EXPECT_EQ(1, read_ncb(&op));
    op.error = MB_ERR_ACCESS;
    EXPECT_EQ(1, write_ncb(&op));
    EXPECT_EQ(MB_ERR_OTHER, ncb.savedError);
    EXPECT_EQ(MB_FAIL, ncb.savedStatus);
    EXPECT_EQ(1, ncb.pending);
    expectLogged("debug", "read_ncb status=2, error=8");
    expectLogged("debug", "write_ncb status=2, error=9");

    // A successful notification that leaves one pending logs no block-ok line.
    ncb.pending = 2;
    op.status = MB_SUCC;
    op.error = MB_ERR_NONE;
    read_ncb(&op);
    EXPECT_EQ(1, ncb.pending);
    EXPECT_EQ(0, countBodyPrefix("debug", "read_ncb block ok"));

    // A cookie that leads to a record not marking itself valid changes nothing.
    general_ncb other = ncb;
    other.valid_ncb = &ncb;
    op.cookie = reinterpret_cast<uintptr_t>(&other);
    op.status = MB_FAIL;
    op.error = MB_ERR_INVAL;
    jvmh::sink::reset();
    EXPECT_EQ(1, read_ncb(&op));
    EXPECT_EQ(1, write_ncb(&op));
    EXPECT_EQ(1, other.pending);
    EXPECT_EQ(MB_ERR_OTHER, other.savedError);
    EXPECT_TRUE(jvmh::sink::lines("debug").empty());
    EXPECT_TRUE(jvmh::sink::lines("verbose").empty());
}

TEST_F(EngineCompletion, WaitMessagePacing) {
    // A read counts its own waits: the 5th wait of a read logs the message.
    mbt_ioscript s = notifying(6, MB_SUCC, MB_ERR_NONE, 1);
    mbt_script_io("mb_read", 1, &s);
    int64_t writeWaits = totalMB_Waits;
    NativeBuffer buf(256);
    EXPECT_EQ(256, readBytes(h_, 0x2000, buf, 0, 256));
    EXPECT_EQ(6, journalCount("mb_wait"));
    expectLogged("debug", "IOwriteWait  offset=x2000, totalMB_Waits=5");
    // Four waits are not enough, and the count starts again with each read.
    s = notifying(4, MB_SUCC, MB_ERR_NONE, 1);
    mbt_script_io("mb_read", 2, &s);
    EXPECT_EQ(256, readBytes(h_, 0x2100, buf, 0, 256));
    EXPECT_EQ(256, readBytes(h_, 0x2100, buf, 0, 256));
    expectLoggedPrefix("debug", "IOwriteWait  offset=x2100", 0);
    EXPECT_EQ(writeWaits, totalMB_Waits) << "reads do not count in the process-wide write waits";

    // Writes share one process-wide count: logged whenever it reaches 5
    // modulo 1024.
    totalMB_Waits = 1024 * 7 + 3;
    s = notifying(3, MB_SUCC, MB_ERR_NONE, 1);
    mbt_script_io("mb_write", 1, &s);
    EXPECT_EQ(256, writeBytes(h_, 0x3000, buf, 0, 256));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(1024 * 7 + 6, totalMB_Waits);
    expectLogged("debug", "IOwriteWait  offset=x3000, totalMB_Waits=7173");
    expectLoggedPrefix("debug", "IOwriteWait  offset=x3000", 1);
}

// ---------------------------------------------------------------------------
// Records of an operation that failed after it was accepted.

class EngineLateNotification : public Engine {};

TEST_F(EngineLateNotification, WriteRecordsOutliveTheFailureAndTakeTheLateNotification) {
    // Accepted, but the record says failed at once; the library still holds
    // a notification that it delivers inside the next operation's wait.
    mbt_ioscript s = script(MB_INPROG);
    s.op_status = MB_FAIL;
    s.op_error = MB_ERR_OTHER;
    s.notify_count = 1;
    s.notify_after_waits = 1;
    s.notify_status = MB_SUCC;
    mbt_script_io("mb_write", 1, &s);
    NativeBuffer buf(4096);
    buf.pattern(1);
    EXPECT_EQ(-1, writeBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "fileio_internal_write Failed to write and ended with error(reported=8)");
    EXPECT_EQ(parkedBefore_ + 1, parkedOperationRecords);
    EXPECT_EQ(1, mbt_pending_notifications());

    // The next operation's wait delivers the late notification to the parked
    // record; the next operation itself is unaffected.
    NativeBuffer next(4096);
    next.pattern(2);
    EXPECT_EQ(4096, writeBytes(h_, 8192, next, 0, 4096));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, mbt_pending_notifications());
    EXPECT_EQ(parkedBefore_ + 1, parkedOperationRecords);
    NativeBuffer back(4096);
    EXPECT_EQ(4096, readBytes(h_, 8192, back, 0, 4096));
    EXPECT_EQ(0, std::memcmp(next.data(), back.data(), 4096));
    std::vector<std::string> cookieLines;
    for (const auto& l : bodies(jvmh::sink::lines("verbose")))
        if (l.rfind("write block  cookie=x", 0) == 0) cookieLines.push_back(l);

    // With the verbose channel on, the late notification shows that it found
    // the failed write's record intact and brought its pending count to 0:
    // a block-ok line carrying the failed write's cookie.
    if (verboseOn()) {
        ASSERT_EQ(2u, cookieLines.size());
        std::string cookie = cookieLines[0].substr(std::strlen("write block  cookie="));
        cookie = cookie.substr(0, cookie.find(','));
        EXPECT_EQ(1, countBody("verbose", "write_ncb block ok cookie=" + cookie))
            << joinLines(bodies(jvmh::sink::lines("verbose")));
    }
}

TEST_F(EngineLateNotification, ReadRecordsOutliveTheFailure) {
    mbt_ioscript s = script(MB_INPROG);
    s.op_status = MB_FAIL;
    s.op_error = MB_ERR_OTHER;
    s.notify_count = 1;
    s.notify_after_waits = 1;
    s.notify_status = MB_FAIL;
    s.notify_error = MB_ERR_TIMEDOUT;
    mbt_script_io("mb_read", 1, &s);
    NativeBuffer buf(4096);
    EXPECT_EQ(-1, readBytes(h_, 0, buf, 0, 4096));
    expectIO(takeException(), storePieces("eng", std::make_pair(2, 8)),
             "retriedRead Failed to read and ended with error(reported=8)");
    EXPECT_EQ(parkedBefore_ + 1, parkedOperationRecords);
    EXPECT_EQ(1, mbt_pending_notifications());

    // Delivered inside the next read's wait: that read still succeeds with
    // its own data, and no second exception appears.
    NativeBuffer next(4096);
    EXPECT_EQ(4096, readBytes(h_, 4096, next, 0, 4096));
    EXPECT_FALSE(takeException().present);
    EXPECT_TRUE(sameAsWritten(next, 4096, 4096));
    EXPECT_EQ(0, mbt_pending_notifications());
    expectLogged("debug", "read_ncb status=2, error=18");
}
