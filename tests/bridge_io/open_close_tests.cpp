/*
 * open_close_tests.cpp - opening a region as a file: configuration
 * checks, what reaches mb_init and mb_openstore, the client trace level,
 * file length, close and reopen.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "io_support.h"

using namespace iot;
using jvmh::takeException;

namespace {

const char* const kOpenBegin = "Java_tessera_store_io_file_direct_ReplicatedIONative_open begin";

bool sameRecord(const mirrorbank_ctx& a, const mirrorbank_ctx& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool recordIsFree(int index) {
    mirrorbank_ctx fresh;
    clearCtx(&fresh);
    return sameRecord(fresh, replicatedContextArray[index]);
}

int expectedTraceLevel(std::optional<int> storeLevel) {
    if (!anyLogOn()) return 0;
    int v = (storeLevel && *storeLevel != -1) ? *storeLevel : mblibTraceLevel;
    return (v >= 0 && v <= 5) ? v : 5;
}

std::string initLine(const mb_init_args& a) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "mb_init trace_level=%d ip=0x%08x localport=0x%04x localindex=%u busywait=%u timeout=%u ccb=1 "
                  "cfg_filename=%s",
                  a.trace_level, a.ip, static_cast<unsigned>(a.localport), a.localindex, a.busywait, a.timeout,
                  a.cfg_filename);
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Configurations that are refused before anything reaches the client library.

class OpenRefused : public IoTest {};

TEST_F(OpenRefused, NullConfigurationArraysAndNullFileName) {
    jstring name = jvmh::newStringUtf8("r1");
    jstring mode = jvmh::newStringUtf8("rw");
    jobjectArray keys = jvmh::stringArray({std::string("CandidateHandle")});
    jobjectArray values = jvmh::stringArray({std::string("1")});

    EXPECT_EQ(-1, nat::open(name, mode, nullptr, values));
    auto ex = takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ("java.io.IOException", ex.cls);
    EXPECT_EQ("Error, configuration null", ex.msg);

    EXPECT_EQ(-1, nat::openConsiderLock(name, mode, JNI_FALSE, keys, nullptr));
    ex = takeException();
    EXPECT_EQ("Error, configuration null", ex.msg);

    EXPECT_EQ(-1, nat::open(nullptr, mode, keys, values));
    ex = takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ("java.io.IOException", ex.cls);
    EXPECT_EQ("Error transforming string", ex.msg);

    EXPECT_TRUE(journal().empty()) << joinLines(journal());
    EXPECT_TRUE(recordIsFree(1));
    expectLogged("verbose",
                 "open_replicated_internal error return due to configuration key or values array being null", 2);
    expectLogged("verbose", "open_replicated_internal error return due to file name null");
    expectLogged("verbose", kOpenBegin, 2);
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_openConsiderLock begin");
}

TEST_F(OpenRefused, KeyAndValueCountsDiffer) {
    jstring name = jvmh::newStringUtf8("r1");
    jobjectArray keys = jvmh::stringArray({std::string("CandidateHandle"), std::string("BlockSize")});
    jobjectArray values = jvmh::stringArray({std::string("1"), std::string("4096"), std::string("x")});
    EXPECT_EQ(-1, nat::open(name, nullptr, keys, values));
    auto ex = takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ("java.io.IOException", ex.cls);
    EXPECT_EQ("Error, configuration Keys and values count do not match", ex.msg);
    EXPECT_TRUE(journal().empty());
    EXPECT_TRUE(recordIsFree(1));
    expectLogged("debug", "open_replicated_internal configuration keys(=2) values(3) length retrieved");
    expectLogged("verbose",
                 "open_replicated_internal error return due to mismatch in config key and value count mismatch");
}

TEST_F(OpenRefused, NullElementIsRefusedBeforeAnyConversion) {
    jstring name = jvmh::newStringUtf8("r1");
    struct Case {
        std::vector<std::optional<std::string>> keys, values;
    };
    const Case cases[] = {
        {{std::string("CandidateHandle"), std::nullopt}, {std::string("1"), std::string("4096")}},
        {{std::string("CandidateHandle"), std::string("BlockSize")}, {std::string("1"), std::nullopt}},
        {{std::nullopt}, {std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(-1, nat::open(name, nullptr, jvmh::stringArray(c.keys), jvmh::stringArray(c.values)));
        auto ex = takeException();
        ASSERT_TRUE(ex.present);
        EXPECT_EQ("java.io.IOException", ex.cls);
        EXPECT_EQ("Error, configuration null", ex.msg);
    }
    EXPECT_TRUE(journal().empty());
    EXPECT_TRUE(recordIsFree(1));
    // Nothing was converted: no configuration pair was ever logged.
    EXPECT_EQ(0, countBodyPrefix("debug", "Configuration key="));
}

TEST_F(OpenRefused, NoUsableCandidateHandleGivesMinusOneWithoutException) {
    const std::vector<jvmh::ConfigPairs> configs = {
        {},                                                     // empty arrays
        {{"BlockSize", "4096"}, {"Port", "7001"}},              // key missing
        {{"CandidateHandle", ""}, {"BlockSize", "4096"}},      // empty value
        {{"CandidateHandle", "10000"}},                         // above the table
        {{"CandidateHandle", "-1"}},                            // below the table
        {{"CandidateHandle", "4294967296"}},                    // must not wrap onto record 0
        {{"candidatehandle", "1"}},                             // keys are case-sensitive
    };
    for (const auto& c : configs) {
        EXPECT_EQ(-1, nat::open("r1", c));
        auto ex = takeException();
        EXPECT_FALSE(ex.present) << jvmh::describe(ex);
    }
    EXPECT_TRUE(journal().empty()) << joinLines(journal());
    EXPECT_TRUE(recordIsFree(0));
    EXPECT_TRUE(recordIsFree(1));
    EXPECT_TRUE(recordIsFree(9999));
    expectLogged("verbose", "fileio_mb_contextInternal end. index=-1, handle=0", 4);
    expectLogged("verbose", "fileio_mb_contextInternal end. index=0, handle=0");
    expectLogged("verbose", "fileio_mb_contextInternal end. index=0, handle=10000");
    expectLogged("verbose", "fileio_mb_contextInternal end. index=0, handle=-1");
    expectLogged("debug", "getConfigString HAD NULL VALUE CandidateHandle index 0");
    expectLogged("verbose", "open_replicated return error due to null context", 7);
}

TEST_F(OpenRefused, HandleInUseLeavesTheOpenFileUntouched) {
    jlong h = openOk("first", 5, {{"BlockSize", "8192"}});
    mirrorbank_ctx before = replicatedContextArray[5];
    mbt_journal_clear();
    jvmh::sink::reset();

    EXPECT_EQ(-1, nat::open("second", config(5, {{"BlockSize", "512"}})));
    auto ex = takeException();
    EXPECT_FALSE(ex.present) << jvmh::describe(ex);
    EXPECT_TRUE(journal().empty()) << joinLines(journal());
    EXPECT_TRUE(sameRecord(before, replicatedContextArray[5]));
    EXPECT_STREQ("first", replicatedContextArray[5].storeInfo.name);
    expectLogged("verbose", "fileio_mb_contextInternal failed Illegal config argument, handle not available");
    expectLogged("verbose", "fileio_mb_contextFromConfig end due to null context");
    closeOk(h);
}

TEST_F(OpenRefused, BoundaryHandlesAndNonNumericHandle) {
    openOk("low", 0);
    openOk("high", 9999);
    closeOk(0);
    // No leading digits parses as 0 and claims record 0.
    jlong h = nat::open("abc", {{"CandidateHandle", "abc"}});
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, h);
    EXPECT_STREQ("abc", replicatedContextArray[0].storeInfo.name);
    closeOk(0);
    closeOk(9999);
}

// ---------------------------------------------------------------------------
// What the configuration turns into at mb_init and mb_openstore.

class OpenConfiguration : public IoTest {};

TEST_F(OpenConfiguration, FullConfigurationReachesTheClientLibrary) {
    openOk("cfgregion", 3,
           {{"Address", "127.1.2.3"},
            {"BlockSize", "8192"},
            {"BusyWaitMicroSeconds", "7"},
            {"IoBufferSize", "65536"},
            {"LocalIndex", "1"},
            {"MaxReplicaCount", "3"},
            {"MinReplicaCount", "2"},
            {"Port", "7001"},
            {"RegionSize", "33554432"},
            {"SleepWaitMilliSeconds", "11"}});
    char expectInit[256];
    std::snprintf(expectInit, sizeof expectInit,
                  "mb_init trace_level=%d ip=0x0302017f localport=0x591b localindex=1 busywait=7 timeout=11 ccb=1 "
                  "cfg_filename=",
                  expectedTraceLevel(std::nullopt));
    auto inits = journalOf("mb_init");
    ASSERT_EQ(1u, inits.size());
    EXPECT_EQ(expectInit, inits[0]);
    auto opens = journalOf("mb_openstore");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ("mb_openstore client=1 min=2 max=3 flags=6 size=33554432 blocksize=8192 name=cfgregion", opens[0]);
    EXPECT_EQ((std::vector<std::string>{"mb_get_storeinfo client=1 storehandle=1"}), journalOf("mb_get_storeinfo"));

    const mirrorbank_ctx& ctx = replicatedContextArray[3];
    EXPECT_EQ(3, ctx.fileDescriptor);
    EXPECT_EQ(65536u, ctx.ioBufferSize);
    EXPECT_EQ(33554432u, ctx.totalsize);
    EXPECT_EQ(0x591b, ctx.initConfig.localport);
    EXPECT_EQ(1u, ctx.handle);
    mb_callbacks cb;
    ASSERT_EQ(1, mbt_last_init_callbacks(&cb));
    EXPECT_TRUE(cb.trace == mbloggercallback);

    expectLogged("debug", "initConfig.localport = htons is 0x591b");
    expectLogged("debug", "fileio_mb_contextInternal cfg_filename= timeoutMillis=11)");
    expectLogged("debug", "fileio_mb_open going to open store=cfgregion with maxReplicaCount=3/min=2 ");
    expectLogged("debug", "fileio_mb_open totalsize=33554432 ctx->blocksize=8192");
    expectLogged("debug", "open_replicated returns cfgregion 3");
    expectLogged("verbose", "open_replicated end");
    closeOk(3);
}

TEST_F(OpenConfiguration, NumbersParseAsAtoiClampedToSixtyFourBitsLowThirtyTwoKept) {
    openOk("numbers", 4,
           {{"Port", "70000"},
            {"Address", "not-an-address"},
            {"MinReplicaCount", "  +1"},
            {"MaxReplicaCount", "2xyz"},
            {"BusyWaitMicroSeconds", "99999999999999999999"},
            {"SleepWaitMilliSeconds", "4294967297"},
            {"IoBufferSize", "-1"},
            {"RegionSize", "-99999999999999999999"},
            {"BlockSize", "4096.5"},
            {"LocalIndex", "abc"}});
    auto inits = journalOf("mb_init");
    ASSERT_EQ(1u, inits.size());
    char expectInit[256];
    std::snprintf(expectInit, sizeof expectInit,
                  "mb_init trace_level=%d ip=0xffffffff localport=0x7011 localindex=0 busywait=4294967295 timeout=1 "
                  "ccb=1 cfg_filename=",
                  expectedTraceLevel(std::nullopt));
    EXPECT_EQ(expectInit, inits[0]);
    EXPECT_EQ((std::vector<std::string>{"mb_openstore client=1 min=1 max=2 flags=6 size=0 blocksize=4096 name=numbers"}),
              journalOf("mb_openstore"));
    EXPECT_EQ(0xFFFFFFFFu, replicatedContextArray[4].ioBufferSize);
    closeOk(4);

    // RegionSize keeps all 32 bits: 4294967295 is passed on as such (the
    // cluster then has no room for it).
    mbt_journal_clear();
    EXPECT_EQ(-1, nat::open("huge", config(6, {{"RegionSize", "4294967295"}})));
    auto ex = takeException();
    expectIO(ex, storePieces("", std::make_pair(2, MB_ERR_NOMEM)), "fileio_mb_open mb_openstore failed. Store name=huge ");
    EXPECT_EQ((std::vector<std::string>{
                  "mb_openstore client=2 min=0 max=0 flags=6 size=4294967295 blocksize=0 name=huge"}),
              journalOf("mb_openstore"));
    EXPECT_EQ(4294967295u, replicatedContextArray[6].totalsize);
}

TEST_F(OpenConfiguration, KeysDifferingInCaseAreNotFound) {
    openOk("casing", 2, {{"blocksize", "8192"}, {"port", "7001"}, {"RegionSize", "1048576"}});
    auto opens = journalOf("mb_openstore");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ("mb_openstore client=1 min=0 max=0 flags=6 size=1048576 blocksize=0 name=casing", opens[0]);
    EXPECT_EQ(0u, replicatedContextArray[2].blocksize);
    EXPECT_EQ(0, replicatedContextArray[2].initConfig.localport);
    closeOk(2);
}

TEST_F(OpenConfiguration, ConfigFileNameIsCutTo255Characters) {
    // A real file whose path is exactly 255 characters long: the open only
    // succeeds when the name is cut right there.
    std::string dir = "/tmp/bridge_io_cfg_" + std::to_string(getpid());
    std::string sub = dir + "/" + std::string(120, 'd');
    std::string path = sub + "/";
    path += std::string(255 - path.size(), 'f');
    struct Cleanup {
        std::string file, sub, dir;
        ~Cleanup() {
            std::remove(file.c_str());
            ::rmdir(sub.c_str());
            ::rmdir(dir.c_str());
        }
    } cleanup{path, sub, dir};
    ::mkdir(dir.c_str(), 0700);
    ::mkdir(sub.c_str(), 0700);
    ASSERT_EQ(255u, path.size());
    {
        std::ofstream out(path);
        out << "daemons 3\n";
    }
    std::string value = path + "/" + std::string(44, 'x');
    ASSERT_EQ(300u, value.size());
    openOk("cfgfile", 8, {{"ConfigFileName", value}});
    mb_init_args args;
    ASSERT_EQ(1, mbt_last_init_args(&args));
    EXPECT_EQ(path, std::string(args.cfg_filename));
    closeOk(8);
}

TEST_F(OpenConfiguration, FailedInitLeavesTheRecordFree) {
    EXPECT_EQ(-1, nat::open("nocfg", config(6, {{"ConfigFileName", "/nonexistent/bridge_io.cfg"}})));
    auto ex = takeException();
    expectIO(ex, storePieces("", std::make_pair(2, MB_ERR_NOCFG)), "populateConfig mb_init failed");
    EXPECT_TRUE(recordIsFree(6));
    EXPECT_EQ(1, journalCount("mb_init"));
    EXPECT_EQ(0, journalCount("mb_openstore"));
    EXPECT_EQ(0, mbt_live_connections());
    expectLogged("verbose", "fileio_mb_contextInternal end due to null context");
    // The record can be built again at once.
    openOk("nocfg", 6);
    closeOk(6);
}

TEST_F(OpenConfiguration, GlobalTraceLevelRule) {
    openOk("t0", 1);
    mb_init_args args;
    ASSERT_EQ(1, mbt_last_init_args(&args));
    EXPECT_EQ(expectedTraceLevel(std::nullopt), args.trace_level);
    EXPECT_EQ(initLine(args), journalOf("mb_init").at(0));
    if (anyLogOn()) {
        expectLogged("verbose", "populateConfig mblib Global TraceLevel=" + std::to_string(mblibTraceLevel));
    } else {
        expectNotLogged("populateConfig mblib Global TraceLevel=" + std::to_string(mblibTraceLevel));
    }
    bool invalid = mblibTraceLevel < 0 || mblibTraceLevel > 5;
    std::string invalidLine = "Invalid (not between 0 to 5) mblibTraceLevel (value=" + std::to_string(mblibTraceLevel) +
                              ") found. 5 which means MB_TRACE_LEVEL_VERBOSE is used instead of "
                              "tessera.store.replicated.nativelib.tracelevel system property value provided";
    expectLogged("debug", invalidLine, (anyLogOn() && invalid) ? 1 : 0);
    closeOk(1);
}

TEST_F(OpenConfiguration, StoreSpecificTraceLevelRule) {
    const std::string key = "tessera.store.replicated.alpha.nativelib.tracelevel";
    struct Case {
        std::optional<std::string> property;
        std::optional<int> level;
    };
    const Case cases[] = {{std::string("2"), 2}, {std::string("9"), 9}, {std::string("-1"), -1}, {std::nullopt, {}}};
    int handle = 10;
    for (const auto& c : cases) {
        jvmh::ScopedProperty p(key, c.property);
        jvmh::ScopedProperty other("tessera.store.replicated.beta.nativelib.tracelevel", std::string("1"));
        mbt_journal_clear();
        jvmh::sink::reset();
        openOk("alpha-region", handle, {{"StoreConfigName", "alpha"}});
        mb_init_args args;
        ASSERT_EQ(1, mbt_last_init_args(&args));
        EXPECT_EQ(expectedTraceLevel(c.level), args.trace_level) << "property " << c.property.value_or("(unset)");
        bool specific = c.level && *c.level != -1;
        std::string specificLine = "populateConfig mblib store (config name=alpha) specific TraceLevel=" +
                                   std::to_string(c.level.value_or(-1));
        expectLogged("verbose", specificLine, (anyLogOn() && specific) ? 1 : 0);
        expectLogged("verbose", "populateConfig mblib Global TraceLevel=" + std::to_string(mblibTraceLevel),
                     (anyLogOn() && !specific) ? 1 : 0);
        if (c.level && *c.level == 9)
            expectLoggedPrefix("debug", "Invalid (not between 0 to 5) mblibTraceLevel (value=9) found.",
                               anyLogOn() ? 1 : 0);
        closeOk(handle);
        handle++;
    }
}

// ---------------------------------------------------------------------------
// File length, close, reopen.

class OpenLifecycle : public IoTest {};

TEST_F(OpenLifecycle, LengthComesFromTheUsedFigureLowThirtyTwoBits) {
    mb_client_storeinfo given;
    std::memset(&given, 0, sizeof given);
    std::strcpy(given.name, "sized");
    given.storehandle = 1;
    given.used = 5000;
    given.size = 1 << 20;
    mbt_set_storeinfo(&given);
    jlong h = openOk("sized", 1);
    EXPECT_EQ(5000, nat::getSize(h));
    EXPECT_FALSE(takeException().present);
    expectLogged("debug", "fileio_mb_getLength=x1388");
    expectLoggedPrefix("debug", "context->file length (open file/used) = x1388 line=");

    given.used = (1ull << 32) + 10;
    mbt_set_storeinfo(&given);
    jlong h2 = openOk("sized", 2);
    EXPECT_EQ(10, nat::getSize(h2));
    mbt_set_storeinfo(nullptr);
    closeOk(h);
    closeOk(h2);
    // After close the last length is still reported.
    EXPECT_EQ(5000, nat::getSize(h));
    EXPECT_EQ(10, nat::getSize(h2));
    EXPECT_FALSE(takeException().present);
}

TEST_F(OpenLifecycle, GetSizeOfNeverOpenedAndOutOfRangeHandles) {
    EXPECT_EQ(0, nat::getSize(42));
    EXPECT_FALSE(takeException().present);
    mirrorbank_ctx before = replicatedContextArray[9999];
    for (jlong h : {jlong(10000), jlong(-1), jlong(1) << 40}) {
        EXPECT_EQ(-1, nat::getSize(h));
        auto ex = takeException();
        EXPECT_FALSE(ex.present) << jvmh::describe(ex);
    }
    EXPECT_TRUE(sameRecord(before, replicatedContextArray[9999]));
    EXPECT_TRUE(journal().empty());
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_getSize begin", 4);
}

TEST_F(OpenLifecycle, CloseTwiceClosesOnce) {
    jlong h = openOk("twice", 3);
    mbt_journal_clear();
    closeOk(h);
    EXPECT_EQ((std::vector<std::string>{"mb_closestore client=1 handle=1 flags=0", "mb_fini client=1"}),
              journalOfAny({"mb_closestore", "mb_fini"}));
    EXPECT_EQ(1, replicatedContextArray[3].closeCount);
    EXPECT_EQ(0, mbt_live_connections());
    mbt_journal_clear();
    closeOk(h);
    EXPECT_TRUE(journalOfAny({"mb_closestore", "mb_fini"}).empty()) << joinLines(journal());
    expectLogged("verbose", "fileio_mb_close file_descriptor=3 mb_handle=1 closeCount=0");
    expectLogged("verbose", "fileio_mb_close file_descriptor=3 mb_handle=1 closeCount=1");
    expectLogged("verbose", "fileio_mb_close abort file_descriptor=3 mb_handle=1 closeCount=1");
    expectLogged("verbose", "fileio_mb_close end");
}

TEST_F(OpenLifecycle, CloseOfAHandleItsRecordDoesNotCarryDoesNothing) {
    for (jlong h : {jlong(7), jlong(10000), jlong(-1), jlong(-10000)}) {
        nat::close(h);
        EXPECT_FALSE(takeException().present);
    }
    EXPECT_TRUE(journal().empty());
    EXPECT_TRUE(recordIsFree(7));
    EXPECT_EQ(0, countBodyPrefix("verbose", "fileio_mb_close"));
    expectLogged("verbose", "Java_tessera_store_io_file_direct_ReplicatedIONative_close begin", 4);
}

TEST_F(OpenLifecycle, ReopenAfterCloseStartsFromAClearedRecord) {
    NativeBuffer buf(4096);
    buf.pattern(3);
    jlong h = openOk("before", 12, {{"BlockSize", "8192"}, {"IoBufferSize", "100"}, {"MinReplicaCount", "1"}});
    ASSERT_EQ(4096, writeBytes(h, 0, buf, 0, 4096));
    ASSERT_EQ(4096, readBytes(h, 0, buf, 0, 4096));
    EXPECT_EQ(1, replicatedContextArray[12].skipReadFence);
    closeOk(h);
    // Closed: keeps its values.
    EXPECT_STREQ("before", replicatedContextArray[12].storeInfo.name);
    EXPECT_EQ(4096, nat::getSize(h));
    EXPECT_EQ(8192u, replicatedContextArray[12].blocksize);

    jlong h2 = openOk("after", 12);
    const mirrorbank_ctx& ctx = replicatedContextArray[12];
    EXPECT_STREQ("after", ctx.storeInfo.name);
    EXPECT_EQ(0u, ctx.blocksize);
    EXPECT_EQ(0u, ctx.ioBufferSize);
    EXPECT_EQ(0, ctx.minReplicaCount);
    EXPECT_EQ(0, ctx.closeCount);
    EXPECT_EQ(0, ctx.skipReadFence);
    EXPECT_EQ(0, nat::getSize(h2));
    closeOk(h2);
}

TEST_F(OpenLifecycle, OpenConsiderLockBehavesAsOpen) {
    jlong a = nat::openConsiderLock("locked", false, config(1), "r");
    EXPECT_FALSE(takeException().present);
    jlong b = nat::open("locked", config(2), "anything at all");
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(1, a);
    EXPECT_EQ(2, b);
    auto opens = journalOf("mb_openstore");
    ASSERT_EQ(2u, opens.size());
    EXPECT_EQ("mb_openstore client=1 min=0 max=0 flags=6 size=0 blocksize=0 name=locked", opens[0]);
    EXPECT_EQ("mb_openstore client=2 min=0 max=0 flags=6 size=0 blocksize=0 name=locked", opens[1]);
    closeOk(a);
    closeOk(b);
}

TEST_F(OpenLifecycle, FailedOpenstoreKeepsTheHandleUntilClose) {
    mbt_force("mb_openstore", 1, MB_FAIL, MB_ERR_NOMEM);
    EXPECT_EQ(-1, nat::open("retry", config(20)));
    auto ex = takeException();
    expectIO(ex, storePieces("", std::make_pair(2, MB_ERR_NOMEM)),
             "fileio_mb_open mb_openstore failed. Store name=retry ");
    expectLogged("verbose", "open_replicated return error due null handle");
    expectLogged("debug", "fileio_mb_open opened store=retry with handle=0");
    // The record stays in use: a retry is refused without an exception.
    EXPECT_EQ(-1, nat::open("retry", config(20)));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(1, journalCount("mb_init"));
    EXPECT_EQ(1, mbt_live_connections());
    // Closing it fails at mb_closestore on handle 0 and keeps the connection.
    mbt_journal_clear();
    nat::close(20);
    ex = takeException();
    expectIO(ex, storePieces("", std::make_pair(2, MB_ERR_INVAL)), "fileio_mb_close mb_closestore failed.");
    EXPECT_EQ((std::vector<std::string>{"mb_closestore client=1 handle=0 flags=0"}),
              journalOfAny({"mb_closestore", "mb_fini"}));
    EXPECT_EQ(1, mbt_live_connections());
    // Now the handle can be opened again.
    openOk("retry", 20);
    closeOk(20);
}

TEST_F(OpenLifecycle, FailedStoreInfoClosesTheRecordItself) {
    mbt_force("mb_get_storeinfo", 1, MB_FAIL, MB_ERR_OTHER);
    EXPECT_EQ(-1, nat::open("noinfo", config(21)));
    auto ex = takeException();
    expectIO(ex, storePieces("", std::make_pair(2, MB_ERR_OTHER)),
             "fileio_mb_open mb_get_storeinfo failed. Store name=noinfo ");
    EXPECT_EQ((std::vector<std::string>{"mb_openstore client=1 min=0 max=0 flags=6 size=0 blocksize=0 name=noinfo",
                                        "mb_get_storeinfo client=1 storehandle=1",
                                        "mb_closestore client=1 handle=1 flags=0", "mb_fini client=1"}),
              journalOfAny({"mb_openstore", "mb_get_storeinfo", "mb_closestore", "mb_fini"}));
    EXPECT_EQ(1, replicatedContextArray[21].closeCount);
    EXPECT_EQ(0, mbt_live_connections());
    openOk("noinfo", 21);
    closeOk(21);
}

TEST_F(OpenLifecycle, WhenTheCleanupCloseFailsTooJavaSeesTheOpenFailure) {
    mbt_force("mb_get_storeinfo", 1, MB_FAIL, MB_ERR_OTHER);
    mbt_force("mb_closestore", 1, MB_FAIL, MB_ERR_TIMEDOUT);
    EXPECT_EQ(-1, nat::open("twofail", config(22)));
    auto ex = takeException();
    expectIO(ex, storePieces("", std::make_pair(2, MB_ERR_OTHER)),
             "fileio_mb_open mb_get_storeinfo failed. Store name=twofail ");
    EXPECT_FALSE(jvmh::env()->ExceptionCheck()) << "a second exception was left pending";
    // The close's own text still reached the log channel.
    std::string closeText = storePieces("", std::make_pair(2, MB_ERR_TIMEDOUT)) + "fileio_mb_close mb_closestore failed.";
    int onVerbose = 0, onDebug = 0;
    for (const auto& l : jvmh::sink::lines("verbose")) onVerbose += l.find(closeText) != std::string::npos;
    for (const auto& l : jvmh::sink::lines("debug")) onDebug += l.find(closeText) != std::string::npos;
    EXPECT_EQ(verboseOn() ? 1 : 0, onVerbose);
    EXPECT_EQ((!verboseOn() && debugOn()) ? 1 : 0, onDebug);
}
