/*
 * path_tests.cpp - the read and write paths: cut at the written length,
 * read fences, extension of the length, failures after a write, the write
 * crash events, and the checks on handles, buffers and ranges.
 */
#include "io_support.h"

using namespace iot;
using jvmh::takeException;

namespace {

std::vector<std::string> dataOps() { return journalOfAny({"mb_read_fence", "mb_read", "mb_write", "mb_get_storeinfo"}); }

std::vector<std::string> opNames(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.substr(0, l.find(' ')));
    return out;
}

std::string eventLine(int arm, int target, unsigned handle, const std::string& name) {
    return "mb_event client=1 arm=" + std::to_string(arm) + " c1=1 c2=1 c3=3 target=" + std::to_string(target) +
           " c4=0 handle=" + std::to_string(handle) + " name=" + name;
}

}  // namespace

class Paths : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        if (HasFatalFailure()) return;
        h_ = openOk("paths", 2);
        mbt_journal_clear();
    }
    jlong h_ = -1;
};

// ---------------------------------------------------------------------------

class ReadPath : public Paths {};

TEST_F(ReadPath, CutAtTheWrittenLength) {
    NativeBuffer out(1000);
    out.pattern(1);
    ASSERT_EQ(1000, writeBytes(h_, 0, out, 0, 1000));
    NativeBuffer in(300);
    in.fill(0xEE);
    mbt_journal_clear();
    jvmh::sink::reset();
    EXPECT_EQ(100, readBytes(h_, 900, in, 0, 200));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, std::memcmp(in.data(), out.data() + 900, 100));
    for (int i = 100; i < 300; ++i) ASSERT_EQ(0xEE, in.data()[i]) << "byte " << i << " beyond the cut was touched";
    auto reads = journalOf("mb_read");
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ("mb_read client=1 flags=0 length=100 offset=900 storehandle=1 key=0", reads[0]);
    expectLogged("debug", "fileio_mb_read EOF written data reached, reduce length by 100, to x64");
    expectLogged("debug", "fileio_mb_read_register returned 100");
    expectLogged("debug", "Java_tessera_store_io_file_direct_ReplicatedIONative_read  offset=x0 size=200");
    expectLogged("debug", "READ   trace size=100, offset=x384");
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_read end");

    // A read that ends at or before the length is passed on unchanged.
    mbt_journal_clear();
    EXPECT_EQ(300, readBytes(h_, 0, in, 0, 300));
    EXPECT_EQ("mb_read client=1 flags=0 length=300 offset=0 storehandle=1 key=0", journalOf("mb_read").at(0));
}

TEST_F(ReadPath, AtAndBeyondTheLength) {
    NativeBuffer out(1000);
    ASSERT_EQ(1000, writeBytes(h_, 0, out, 0, 1000));
    mbt_journal_clear();
    jvmh::sink::reset();
    NativeBuffer in(100);
    EXPECT_EQ(0, readBytes(h_, 1000, in, 0, 100));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(-1, readBytes(h_, 1001, in, 0, 100));
    EXPECT_FALSE(takeException().present) << "a read beyond the length fails without an exception";
    EXPECT_TRUE(journal().empty()) << joinLines(journal());
    EXPECT_EQ(0, replicatedContextArray[2].skipReadFence) << "no fence was made";
    expectLogged("verbose", "fileio_mb_read end", 0);
}

TEST_F(ReadPath, FencesAfterOpenAndAfterWritesOnly) {
    NativeBuffer b(512);
    b.pattern(4);
    ASSERT_EQ(512, writeBytes(h_, 0, b, 0, 512));
    ASSERT_EQ(512, readBytes(h_, 0, b, 0, 512));
    ASSERT_EQ(512, readBytes(h_, 0, b, 0, 512));
    ASSERT_EQ(512, writeBytes(h_, 512, b, 0, 512));
    ASSERT_EQ(512, writeBytes(h_, 0, b, 0, 512));
    ASSERT_EQ(512, readBytes(h_, 0, b, 0, 512));
    ASSERT_EQ(512, readBytes(h_, 512, b, 0, 512));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ((std::vector<std::string>{"mb_write", "mb_get_storeinfo", "mb_read_fence", "mb_read", "mb_read",
                                        "mb_write", "mb_get_storeinfo", "mb_write", "mb_read_fence", "mb_read",
                                        "mb_read"}),
              opNames(dataOps()));
    EXPECT_EQ("mb_read_fence client=1 storehandle=1", journalOf("mb_read_fence").at(0));
}

TEST_F(ReadPath, FirstReadAfterOpenFences) {
    // Reopen a region that already holds data: the very first read fences.
    NativeBuffer b(512);
    b.pattern(8);
    ASSERT_EQ(512, writeBytes(h_, 0, b, 0, 512));
    closeOk(h_);
    jlong h = openOk("paths", 3);
    mbt_journal_clear();
    NativeBuffer in(512);
    EXPECT_EQ(512, readBytes(h, 0, in, 0, 512));
    EXPECT_EQ(0, std::memcmp(b.data(), in.data(), 512));
    EXPECT_EQ((std::vector<std::string>{"mb_read_fence", "mb_read"}), opNames(dataOps()));
    closeOk(h);
}

TEST_F(ReadPath, FailedFenceFailsTheReadAndFencesAgainNextTime) {
    NativeBuffer b(512);
    ASSERT_EQ(512, writeBytes(h_, 0, b, 0, 512));
    mbt_journal_clear();
    jvmh::sink::reset();
    mbt_force("mb_read_fence", 1, MB_FAIL, MB_ERR_DDEAD);
    EXPECT_EQ(-1, readBytes(h_, 0, b, 0, 512));
    expectIO(takeException(), storePieces("paths", std::make_pair(2, MB_ERR_DDEAD)),
             "fileio_internal_read end with error. Store handle=1 ");
    expectLogged("debug", "mb_read_FENCE  FAILURE? status=2:" + std::to_string(MB_ERR_DDEAD) + ", storehandle=1");
    EXPECT_EQ(512, readBytes(h_, 0, b, 0, 512));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ((std::vector<std::string>{"mb_read_fence", "mb_read_fence", "mb_read"}), opNames(dataOps()));
}

TEST_F(ReadPath, InjectedFenceFailure) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    NativeBuffer b(512);
    ASSERT_EQ(512, writeBytes(h_, 0, b, 0, 512));
    faults_.set("tessera.junit.mb_read_fenceErrorTest");
    EXPECT_EQ(-1, readBytes(h_, 0, b, 0, 512));
    expectIO(takeException(), cancelled("paths"), "fileio_internal_read end with error. Store handle=1 ");
    faults_.clear("tessera.junit.mb_read_fenceErrorTest");
    EXPECT_EQ(512, readBytes(h_, 0, b, 0, 512));
    EXPECT_FALSE(takeException().present);
}

// ---------------------------------------------------------------------------

class WritePath : public Paths {};

TEST_F(WritePath, ExtensionIsExactlyPositionPlusLength) {
    NativeBuffer b(4096);
    b.pattern(2);
    EXPECT_EQ(100, writeBytes(h_, 0, b, 0, 100));
    EXPECT_EQ(100, nat::getSize(h_));
    // A gap after the old length.
    EXPECT_EQ(10, writeBytes(h_, 5000, b, 0, 10));
    EXPECT_EQ(5010, nat::getSize(h_));
    EXPECT_EQ(2, journalCount("mb_get_storeinfo"));
    // Inside the written range: the length stays and nothing is asked.
    jvmh::sink::reset();
    EXPECT_EQ(20, writeBytes(h_, 10, b, 0, 20));
    EXPECT_EQ(5010, nat::getSize(h_));
    EXPECT_EQ(2, journalCount("mb_get_storeinfo"));
    EXPECT_FALSE(takeException().present);
    expectLogged("verbose", "fileio_mb_write end- return value=20 newFilePos=30 writtenFileSize=5010");
    expectLogged("debug", "WRITE  trace size=20, offset=xa");
    // Ending exactly at the length is not an extension either.
    EXPECT_EQ(10, writeBytes(h_, 5000, b, 0, 10));
    EXPECT_EQ(2, journalCount("mb_get_storeinfo"));
    auto writes = journalOf("mb_write");
    ASSERT_EQ(4u, writes.size());
    EXPECT_EQ("mb_write client=1 flags=1 length=10 offset=5000 storehandle=1 key=0", writes[1]);
    // The region's own used figure is only recorded: the length is the
    // write's end.
    mb_client_storeinfo given;
    std::memset(&given, 0, sizeof given);
    std::strcpy(given.name, "paths");
    given.used = 1 << 20;
    mbt_set_storeinfo(&given);
    EXPECT_EQ(1, writeBytes(h_, 6000, b, 0, 1));
    mbt_set_storeinfo(nullptr);
    EXPECT_EQ(6001, nat::getSize(h_));
    EXPECT_EQ(uint64_t(1) << 20, replicatedContextArray[2].storeInfo.used);
}

TEST_F(WritePath, StoreInfoFailureAfterAWrite) {
    NativeBuffer b(4096);
    b.pattern(6);
    ASSERT_EQ(100, writeBytes(h_, 0, b, 0, 100));
    mbt_force("mb_get_storeinfo", 1, MB_FAIL, MB_ERR_OTHER);
    EXPECT_EQ(-1, writeBytes(h_, 100, b, 100, 100));
    expectIO(takeException(), storePieces("paths", std::make_pair(2, 8)), "fileio_mb_write mb_get_storeinfo failed");
    EXPECT_EQ(100, nat::getSize(h_)) << "the length is not raised";
    EXPECT_EQ(0, replicatedContextArray[2].skipReadFence);
    // The next write beyond the length asks again; the data of the failed
    // write were written all the same.
    EXPECT_EQ(1, writeBytes(h_, 300, b, 300, 1));
    EXPECT_EQ(301, nat::getSize(h_));
    NativeBuffer back(301);
    EXPECT_EQ(301, readBytes(h_, 0, back, 0, 301));
    EXPECT_EQ(0, std::memcmp(back.data(), b.data(), 200));
    EXPECT_EQ(3, journalCount("mb_get_storeinfo"));
    EXPECT_FALSE(takeException().present);
}

TEST_F(WritePath, InjectedStoreInfoFailureAfterAWrite) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    NativeBuffer b(64);
    faults_.set("tessera.junit.fileio_mb_write_mb_get_storeinfoErrorTest");
    // Inside the length nothing is asked, so nothing fails.
    EXPECT_EQ(-1, writeBytes(h_, 0, b, 0, 64));
    expectIO(takeException(), cancelled("paths"), "fileio_mb_write mb_get_storeinfo failed");
    EXPECT_EQ(0, nat::getSize(h_));
    faults_.clear("tessera.junit.fileio_mb_write_mb_get_storeinfoErrorTest");
    EXPECT_EQ(64, writeBytes(h_, 0, b, 0, 64));
    EXPECT_EQ(64, nat::getSize(h_));
    EXPECT_FALSE(takeException().present);
}

TEST_F(WritePath, WriteCrashEventsAroundEveryWrite) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    NativeBuffer b(4096);
    b.pattern(12);
    ASSERT_EQ(4096, writeBytes(h_, 0, b, 0, 4096));  // name known from here on

    // The store-process event: armed and disarmed around a scripted
    // submission (a real one would end the process).
    faults_.set("tessera.qatest.crash_storejvm_during_writeTest");
    mbt_ioscript s;
    std::memset(&s, 0, sizeof s);
    s.submit_status = MB_SUCC;
    s.op_status = MB_SUCC;
    s.perform = 1;
    mbt_script_io("mb_write", 2, &s);
    mbt_journal_clear();
    EXPECT_EQ(100, writeBytes(h_, 0, b, 0, 100));
    EXPECT_EQ(100, writeBytes(h_, 100, b, 100, 100));
    EXPECT_FALSE(takeException().present);
    std::vector<std::string> once = {eventLine(1, 3, 1, "paths"),
                                     "mb_write client=1 flags=1 length=100 offset=0 storehandle=1 key=0",
                                     eventLine(0, 3, 1, "paths")};
    auto seen = journalOfAny({"mb_event", "mb_write"});
    ASSERT_EQ(6u, seen.size()) << joinLines(seen);
    EXPECT_EQ(once, std::vector<std::string>(seen.begin(), seen.begin() + 3));
    EXPECT_EQ(eventLine(1, 3, 1, "paths"), seen[3]);
    EXPECT_EQ(eventLine(0, 3, 1, "paths"), seen[5]);

    // Disarmed after a failed write as well.
    mbt_ioscript fail;
    std::memset(&fail, 0, sizeof fail);
    fail.submit_status = MB_FAIL;
    fail.submit_error = MB_ERR_OTHER;
    mbt_script_io("mb_write", 1, &fail);
    mbt_journal_clear();
    EXPECT_EQ(-1, writeBytes(h_, 0, b, 0, 100));
    takeException();
    EXPECT_EQ(opNames(journalOfAny({"mb_event", "mb_write"})),
              (std::vector<std::string>{"mb_event", "mb_write", "mb_event"}));
    EXPECT_EQ(eventLine(0, 3, 1, "paths"), journalOf("mb_event").at(1));
    faults_.clear("tessera.qatest.crash_storejvm_during_writeTest");

    // The primary-daemon event: armed, fired by the write, disarmed, and
    // disarmed once more after a successful write. The data survive.
    faults_.set("tessera.qatest.crash_primary_daemon_during_writeTest");
    mbt_journal_clear();
    NativeBuffer more(4096);
    more.pattern(13);
    EXPECT_EQ(4096, writeBytes(h_, 4096, more, 0, 4096));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ((std::vector<std::string>{eventLine(1, 1, 1, "paths"),
                                        "mb_write client=1 flags=1 length=4096 offset=4096 storehandle=1 key=0",
                                        eventLine(0, 1, 1, "paths"), eventLine(0, 1, 1, "paths")}),
              journalOfAny({"mb_event", "mb_write"}));
    EXPECT_EQ(0, mbt_daemon_is_up(0)) << "the armed event should have taken the primary down";
    faults_.clear("tessera.qatest.crash_primary_daemon_during_writeTest");
    NativeBuffer back(8192);
    EXPECT_EQ(8192, readBytes(h_, 0, back, 0, 8192));
    EXPECT_EQ(0, std::memcmp(back.data() + 200, b.data() + 200, 4096 - 200));
    EXPECT_EQ(0, std::memcmp(back.data() + 4096, more.data(), 4096));

    // The secondary-daemon event needs a second copy: the region now has
    // one, so arming fails and only the debug channel tells.
    faults_.set("tessera.qatest.crash_secondary_daemon_during_writeTest");
    jvmh::sink::reset();
    EXPECT_EQ(16, writeBytes(h_, 0, b, 0, 16));
    EXPECT_FALSE(takeException().present);
    expectLogged("debug", "registerMBFailureEvent crash_secondary_daemon_during_writeTest register failed. status=2:" +
                              std::to_string(MB_ERR_NOTFOUND) + ", Detail: " + errorText(2, MB_ERR_NOTFOUND));
}

TEST_F(WritePath, ExtraPrimaryDisarmFailureIsOnlyLogged) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    NativeBuffer b(64);
    ASSERT_EQ(64, writeBytes(h_, 0, b, 0, 64));
    faults_.set("tessera.qatest.crash_primary_daemon_during_writeTest");
    mbt_force("mb_event", -1, MB_FAIL, MB_ERR_OTHER);
    jvmh::sink::reset();
    EXPECT_EQ(64, writeBytes(h_, 0, b, 0, 64));
    mbt_clear_forced();
    EXPECT_FALSE(takeException().present);
    std::string tail = " failed. status=2:8, Detail: " + errorText(2, 8);
    expectLogged("debug", "registerMBFailureEvent crash_primary_daemon_during_writeTest register" + tail);
    expectLogged("debug", "unregisterMBFailureEvent crash_primary_daemon_during_writeTest unregister" + tail);
    expectLogged("debug", "retriedWrite crash_primary_daemon_during_writeTest unregister" + tail);
}

// ---------------------------------------------------------------------------
// Checks made before anything reaches the client library.

class PathChecks : public Paths {
protected:
    void expectNoDataCalls() {
        EXPECT_EQ(0, journalCount("mb_read"));
        EXPECT_EQ(0, journalCount("mb_write"));
        EXPECT_EQ(0, journalCount("mb_read_fence"));
    }
    jobject heapByteBuffer(jint capacity) {
        JNIEnv* e = jvmh::env();
        jclass cls = e->FindClass("java/nio/ByteBuffer");
        jmethodID m = e->GetStaticMethodID(cls, "allocate", "(I)Ljava/nio/ByteBuffer;");
        jobject b = e->CallStaticObjectMethod(cls, m, capacity);
        EXPECT_FALSE(takeException(e).present);
        return b;
    }
};

TEST_F(PathChecks, NullBufferComesFirst) {
    for (jlong h : {h_, jlong(10000), jlong(-1)}) {
        EXPECT_EQ(-1, nat::read(h, 0, nullptr, 0, 10));
        auto ex = takeException();
        ASSERT_TRUE(ex.present);
        EXPECT_EQ("java.lang.NullPointerException", ex.cls);
        EXPECT_EQ("buffer not set", ex.msg);
        EXPECT_EQ(-1, nat::write(h, 0, nullptr, 0, 10));
        ex = takeException();
        EXPECT_EQ("java.lang.NullPointerException", ex.cls);
        EXPECT_EQ("buffer not set", ex.msg);
    }
    expectNoDataCalls();
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_read error return due to null buffer", 3);
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_write error return due to null buffer",
                 3);
}

TEST_F(PathChecks, HandlesOutsideTheTable) {
    NativeBuffer b(64);
    for (jlong h : {jlong(10000), jlong(-1), jlong(1) << 33}) {
        EXPECT_EQ(-1, readBytes(h, 0, b, 0, 64));
        expectPlainIO(takeException(), std::string(kReadName) + " illegal handle " + std::to_string(h) +
                                           " (not between 0 and 9999)");
        EXPECT_EQ(-1, writeBytes(h, 0, b, 0, 64));
        auto ex = takeException();
        ASSERT_TRUE(ex.present);
        EXPECT_EQ("java.io.IOException", ex.cls);
        EXPECT_EQ("buffer not set", ex.msg);
    }
    expectNoDataCalls();
    expectLogged("verbose",
                 "Java_tessera_store_io_file_direct_ReplicatedIONative_write error return due to illegal handle", 3);
}

TEST_F(PathChecks, FreeAndClosedContexts) {
    NativeBuffer b(64);
    for (jlong h : {jlong(0), jlong(9999)}) {
        EXPECT_EQ(-1, readBytes(h, 0, b, 0, 64));
        expectPlainIO(takeException(), std::string(kReadName) + " handle " + std::to_string(h) + " is not open");
        EXPECT_EQ(-1, writeBytes(h, 0, b, 0, 64));
        expectPlainIO(takeException(), std::string(kWriteName) + " handle " + std::to_string(h) + " is not open");
    }
    ASSERT_EQ(64, writeBytes(h_, 0, b, 0, 64));
    closeOk(h_);
    mbt_journal_clear();
    EXPECT_EQ(-1, readBytes(h_, 0, b, 0, 64));
    expectPlainIO(takeException(), std::string(kReadName) + " handle 2 is not open");
    EXPECT_EQ(-1, writeBytes(h_, 0, b, 0, 64));
    expectPlainIO(takeException(), std::string(kWriteName) + " handle 2 is not open");
    EXPECT_TRUE(journal().empty()) << joinLines(journal());
}

TEST_F(PathChecks, BuffersMustBeDirectAndHoldTheRange) {
    JNIEnv* e = jvmh::env();
    jbyteArray array = e->NewByteArray(64);
    jobject heap = heapByteBuffer(64);
    ASSERT_NE(nullptr, heap);
    for (jobject notDirect : {static_cast<jobject>(array), heap}) {
        EXPECT_EQ(-1, nat::read(h_, 0, notDirect, 4, 8));
        expectPlainIO(takeException(),
                      std::string(kReadName) + " buffer is not a direct buffer (offset=4 length=8 capacity=-1)");
        EXPECT_EQ(-1, nat::write(h_, 0, notDirect, 4, 8));
        expectPlainIO(takeException(),
                      std::string(kWriteName) + " buffer is not a direct buffer (offset=4 length=8 capacity=-1)");
    }
    NativeBuffer b(100);
    struct Range {
        jint offset, length;
    };
    for (Range r : {Range{90, 11}, Range{-1, 10}, Range{0, -1}, Range{101, 0}, Range{0x7fffffff, 2}}) {
        std::string tail = " offset=" + std::to_string(r.offset) + " length=" + std::to_string(r.length) +
                           " do not lie within the buffer (capacity=100)";
        EXPECT_EQ(-1, readBytes(h_, 0, b, r.offset, r.length));
        expectPlainIO(takeException(), kReadName + tail);
        EXPECT_EQ(-1, writeBytes(h_, 0, b, r.offset, r.length));
        expectPlainIO(takeException(), kWriteName + tail);
    }
    expectNoDataCalls();
    // The whole buffer, and an empty range at its end, are fine.
    EXPECT_EQ(100, writeBytes(h_, 0, b, 0, 100));
    EXPECT_EQ(0, writeBytes(h_, 0, b, 100, 0));
    EXPECT_FALSE(takeException().present);
}

TEST_F(PathChecks, RangesBeyondARegionFileAreRefused) {
    NativeBuffer b(64);
    struct Range {
        jlong position;
        jint length;
    };
    const Range bad[] = {{-1, 10}, {(jlong(1) << 32) + 100, 10}, {0x7fffffffLL, 1}, {0x7fffffffLL - 5, 6},
                         {jlong(1) << 31, 0}};
    for (Range r : bad) {
        std::string tail = " position=" + std::to_string(r.position) + " length=" + std::to_string(r.length) +
                           " lies outside a region file (0 to 2147483647)";
        EXPECT_EQ(-1, readBytes(h_, r.position, b, 0, r.length));
        expectPlainIO(takeException(), kReadName + tail);
        EXPECT_EQ(-1, writeBytes(h_, r.position, b, 0, r.length));
        expectPlainIO(takeException(), kWriteName + tail);
    }
    expectNoDataCalls();
    EXPECT_EQ(0, nat::getSize(h_));

    // A range ending exactly at 2147483647 is handed on (this region is far
    // smaller, so the library refuses it).
    EXPECT_EQ(-1, writeBytes(h_, 0x7fffffffLL - 5, b, 0, 5));
    expectIO(takeException(), storePieces("paths", std::make_pair(2, MB_ERR_INVSIZ)),
             "retriedWrite Failed to write and ended with error(Attempt=1024)");
    EXPECT_EQ("mb_write client=1 flags=1 length=5 offset=2147483642 storehandle=1 key=0", journalOf("mb_write").at(0));
}
