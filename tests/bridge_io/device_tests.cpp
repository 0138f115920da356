/*
 * device_tests.cpp - the local daemon's memory figures and the buffer
 * methods this library refuses.
 */
#include "io_support.h"

using namespace iot;
using jvmh::takeException;

namespace {

mb_ldinfo figures(uint64_t total, uint64_t used) {
    mb_ldinfo d;
    std::memset(&d, 0, sizeof d);
    d.dindex = 0;
    d.total_memory = total;
    d.used_memory = used;
    return d;
}

const char* const kLimitError =
    "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit return error due to error getting memory "
    "limit";
const char* const kUsedError =
    "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed return error due to failure getting memory "
    "used";

}  // namespace

class DeviceFigures : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        if (HasFatalFailure()) return;
        h_ = openOk("figures", 4);
        mbt_journal_clear();
    }
    jlong h_ = -1;
};

TEST_F(DeviceFigures, FiguresOfTheLocalDaemonAskedAnewEachTime) {
    // Real figures of the embedded cluster: the region's copy is counted.
    jlong limit = nat::getDeviceLimit(h_);
    jlong used = nat::getDeviceUsed(h_);
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(jlong(1) << 30, limit);
    EXPECT_EQ(jlong(16) << 20, used);

    mb_ldinfo given = figures(uint64_t(5) << 40, 12345);
    mbt_set_ldinfo(&given);
    EXPECT_EQ(jlong(5) << 40, nat::getDeviceLimit(h_));
    EXPECT_EQ(12345, nat::getDeviceUsed(h_));
    given = figures(777, 0);
    mbt_set_ldinfo(&given);
    EXPECT_EQ(777, nat::getDeviceLimit(h_));
    EXPECT_EQ(0, nat::getDeviceUsed(h_));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(6, journalCount("mb_get_local_daemon_info"));
    EXPECT_EQ("mb_get_local_daemon_info client=1", journalOf("mb_get_local_daemon_info").at(0));
    EXPECT_EQ(777u, replicatedContextArray[4].localDaemonInfo.total_memory);
}

TEST_F(DeviceFigures, FigureOf2To63OrMoreIsAnErrorWithoutException) {
    mb_ldinfo given = figures(uint64_t(1) << 63, ~uint64_t(0));
    mbt_set_ldinfo(&given);
    EXPECT_EQ(-1, nat::getDeviceLimit(h_));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(-1, nat::getDeviceUsed(h_));
    EXPECT_FALSE(takeException().present);
    expectLogged("verbose", kLimitError);
    expectLogged("verbose", kUsedError);
    given = figures((uint64_t(1) << 63) - 1, 1);
    mbt_set_ldinfo(&given);
    EXPECT_EQ(INT64_MAX, nat::getDeviceLimit(h_));
}

TEST_F(DeviceFigures, LibraryFailureRaisesTheStoreException) {
    mbt_force("mb_get_local_daemon_info", 2, MB_FAIL, MB_ERR_DDEAD);
    EXPECT_EQ(-1, nat::getDeviceLimit(h_));
    expectIO(takeException(), storePieces("figures", std::make_pair(2, MB_ERR_DDEAD)),
             "fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed");
    EXPECT_EQ(-1, nat::getDeviceUsed(h_));
    expectIO(takeException(), storePieces("figures", std::make_pair(2, MB_ERR_DDEAD)),
             "fileio_mb_daemon_memory_used mb_get_local_daemon_info failed");
    expectLogged("verbose", kLimitError);
    expectLogged("verbose", kUsedError);
    // The context stays open and usable.
    EXPECT_EQ(jlong(1) << 30, nat::getDeviceLimit(h_));
    EXPECT_FALSE(takeException().present);
}

TEST_F(DeviceFigures, EachFlagAffectsOnlyItsOwnFigure) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    faults_.set("tessera.junit.total_memory_mb_get_local_daemon_infoErrorTest");
    EXPECT_EQ(-1, nat::getDeviceLimit(h_));
    expectIO(takeException(), cancelled("figures"), "fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed");
    EXPECT_EQ(jlong(16) << 20, nat::getDeviceUsed(h_));
    EXPECT_FALSE(takeException().present);
    // The library was asked all the same.
    EXPECT_EQ(2, journalCount("mb_get_local_daemon_info"));
    faults_.clear("tessera.junit.total_memory_mb_get_local_daemon_infoErrorTest");

    faults_.set("tessera.junit.used_memory_mb_get_local_daemon_infoErrorTest");
    EXPECT_EQ(-1, nat::getDeviceUsed(h_));
    expectIO(takeException(), cancelled("figures"), "fileio_mb_daemon_memory_used mb_get_local_daemon_info failed");
    EXPECT_EQ(jlong(1) << 30, nat::getDeviceLimit(h_));
    EXPECT_FALSE(takeException().present);
    faults_.clear("tessera.junit.used_memory_mb_get_local_daemon_infoErrorTest");

    // These two keys drive nothing.
    faults_.set("tessera.junit.mb_get_local_daemon_infoErrorTest");
    faults_.set("tessera.junit.mb_registerErrorTest");
    EXPECT_EQ(jlong(1) << 30, nat::getDeviceLimit(h_));
    EXPECT_EQ(jlong(16) << 20, nat::getDeviceUsed(h_));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(MB_FAIL, fileio_mb_register(jvmh::env(), &replicatedContextArray[4], nullptr));
}

TEST_F(DeviceFigures, HandlesOutsideTheTableAndContextsNotOpen) {
    for (jlong h : {jlong(10000), jlong(-1)}) {
        EXPECT_EQ(-1, nat::getDeviceLimit(h));
        expectPlainIO(takeException(),
                      std::string(kLimitName) + " illegal handle " + std::to_string(h) + " (not between 0 and 9999)");
        EXPECT_EQ(-1, nat::getDeviceUsed(h));
        expectPlainIO(takeException(),
                      std::string(kUsedName) + " illegal handle " + std::to_string(h) + " (not between 0 and 9999)");
    }
    EXPECT_EQ(-1, nat::getDeviceLimit(5));
    expectPlainIO(takeException(), std::string(kLimitName) + " handle 5 is not open");
    closeOk(h_);
    mbt_journal_clear();
    EXPECT_EQ(-1, nat::getDeviceUsed(h_));
    expectPlainIO(takeException(), std::string(kUsedName) + " handle 4 is not open");
    EXPECT_EQ(-1, nat::getDeviceLimit(h_));
    expectPlainIO(takeException(), std::string(kLimitName) + " handle 4 is not open");
    EXPECT_TRUE(journal().empty()) << joinLines(journal());
}

// ---------------------------------------------------------------------------

class RefusedBufferMethods : public IoTest {};

TEST_F(RefusedBufferMethods, EachRefusesWithItsOwnName) {
    const std::string prefix = "Java_tessera_store_io_file_direct_ReplicatedIONative_";
    NativeBuffer b(64);
    b.fill(0x11);
    jobject buf = b.buffer();

    EXPECT_EQ(nullptr, nat::allocate(4096));
    expectPlainIO(takeException(), prefix + "allocate");
    nat::free(buf);
    expectPlainIO(takeException(), prefix + "free");
    nat::fillBuffer(buf, 0, 64, 0x22);
    expectPlainIO(takeException(), prefix + "fillBuffer");
    EXPECT_EQ(-1, nat::checkAlignment(jvmh::newStringUtf8("somefile")));
    expectPlainIO(takeException(), prefix + "checkAlignment");
    for (size_t i = 0; i < 64; ++i) ASSERT_EQ(0x11, b.data()[i]) << "fillBuffer wrote into the buffer";
    EXPECT_TRUE(journal().empty());
    for (const char* m : {"allocate", "free", "fillBuffer", "checkAlignment"})
        expectLogged("verbose", prefix + m + " begin");
}
