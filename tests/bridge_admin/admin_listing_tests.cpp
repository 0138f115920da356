/*
 * admin_listing_tests.cpp - listings and deletion: argument conversions of
 * addRegionInfo / addDaemonInfo, the prefix filter, callbacks that throw,
 * the recovery listing and its own connection, delete-time failure events,
 * long and non-BMP names, and an admin class without addDaemonInfo.
 */
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "admin_test_util.h"
#include "fileio_debug.h"
#include "rs_admin.h"

using namespace admt::expect;
using admt::AdminTest;
using admt::clusterFile;
using jvmh::journal;
using jvmh::journalOf;
using jvmh::journalOfAny;
using jvmh::Admin;
using jvmh::ScopedProperty;

namespace {

constexpr uint64_t GiB = 1ull << 30;

std::string verbosePiece() { return " verbose=" + std::to_string(admt::config() == "traced" ? 3 : 0); }

// Makes a region in the embedded cluster through the file surface.
void makeRegion(const std::string& name, int copies = 2) {
    jlong h = jvmh::rio::open(name, {{"CandidateHandle", "11"},
                                     {"ConfigFileName", clusterFile()},
                                     {"LocalIndex", "0"},
                                     {"RegionSize", "65536"},
                                     {"BlockSize", "4096"},
                                     {"MinReplicaCount", std::to_string(copies)},
                                     {"MaxReplicaCount", std::to_string(copies)}});
    jvmh::PendingException ex = jvmh::takeException();
    ASSERT_FALSE(ex.present) << jvmh::describe(ex);
    ASSERT_GE(h, 0);
    jvmh::rio::close(h);
    ASSERT_FALSE(jvmh::takeException().present);
}

std::vector<std::string> names(const std::vector<jvmh::RegionInfo>& regions) {
    std::vector<std::string> out;
    for (const auto& r : regions) out.push_back(r.name);
    return out;
}

void setStores(const std::vector<mb_client_storeinfo>& records) {
    mbt_set_listed_stores(records.data(), static_cast<int>(records.size()));
}

}  // namespace

// ------------------------------------------------- argument conversions

class AdminListing : public AdminTest {};

TEST_F(AdminListing, RegionArgumentsReachJavaConverted) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    mb_client_storeinfo big = admt::storeRecord("big");
    big.size = 5 * GiB;  // low 32 bits: 1 GiB
    big.used = 4 * GiB + 7;
    big.blocksize = 8192;
    big.ctime = 1700000000001ull;
    big.mtime = 1700000000002ull;
    big.atime = 1700000000003ull;
    big.open = 1;
    big.local = 0;
    big.primary = 2;
    big.pid = 4321;
    big.ip = 0;
    big.minredundancy = 1;
    big.redundancy = 2;
    big.nodes = 0x8000000000000005ull;
    mb_client_storeinfo other = admt::storeRecord("other");
    other.ip = htonl(0x0a010203);
    other.open = 7;  // any non-zero value is true
    other.local = 1;
    setStores({big, other});

    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    for (int listing = 0; listing < 2; ++listing) {
        admin.clearResults();
        EXPECT_EQ(1, listing == 0 ? admin.listGlobalRegions() : admin.listLocalRegions());
        expectNoException();
        std::vector<jvmh::RegionInfo> r = admin.regions();
        ASSERT_EQ(2u, r.size());
        EXPECT_EQ("big", r[0].name);
        EXPECT_EQ(static_cast<int32_t>(GiB), r[0].size);
        EXPECT_EQ(7, r[0].used);
        EXPECT_EQ(8192, r[0].blocksize);
        EXPECT_EQ(1700000000001, r[0].ctime);
        EXPECT_EQ(1700000000002, r[0].mtime);
        EXPECT_EQ(1700000000003, r[0].atime);
        EXPECT_TRUE(r[0].open);
        EXPECT_FALSE(r[0].local);
        EXPECT_EQ(2, r[0].primary);
        EXPECT_EQ(4321, r[0].pid);
        EXPECT_EQ("0.0.0.0", r[0].ip);
        EXPECT_FALSE(admt::regionStringIsNull(admin, 0, "ip"));
        EXPECT_EQ(1, r[0].minRedundancy);
        EXPECT_EQ(2, r[0].redundancy);
        EXPECT_EQ(static_cast<int64_t>(0x8000000000000005ull), r[0].nodes);
        EXPECT_EQ("10.1.2.3", r[1].ip);
        EXPECT_TRUE(r[1].open);
        EXPECT_TRUE(r[1].local);
    }
    admin.clearResults();
    EXPECT_EQ(1, admin.listRegion(std::string("big")));
    expectNoException();
    ASSERT_EQ(1u, admin.regions().size());
    EXPECT_EQ(static_cast<int32_t>(GiB), admin.regions()[0].size);

    // The verbose byte is the low byte of the admin connection's trace level.
    std::vector<std::string> lines = journalOfAny(
        {"mb_admin_enumerate_global_stores", "mb_admin_enumerate_stores", "mb_admin_get_storeinfo"});
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("mb_admin_enumerate_global_stores client=1" + verbosePiece(), lines[0]);
    EXPECT_EQ("mb_admin_enumerate_stores client=1" + verbosePiece(), lines[1]);
    EXPECT_EQ("mb_admin_get_storeinfo client=1" + verbosePiece() + " name=big", lines[2]);
}

TEST_F(AdminListing, DaemonArgumentsReachJavaConverted) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    mb_daemon_info d0 = admt::daemonRecord(0);
    d0.ip = 0;
    d0.port = htons(40000);
    d0.shmkey = 0x5eed;
    d0.start_time = 11;
    d0.current_time = 22;
    d0.total_memory = 6 * GiB;
    d0.used_memory = 5 * GiB + 1;
    d0.number_stores = 3;
    d0.number_opens = 4;
    d0.number_local_opens = 5;
    d0.number_resilvers = 6;
    d0.number_daemons = 7;
    mb_daemon_info d1 = admt::daemonRecord(1);
    d1.status = MB_DAEMON_DOWN;
    d1.reachable = 0;
    d1.ip = htonl(0xc0a80114);
    d1.port = htons(7000);
    mb_daemon_info d2 = admt::daemonRecord(2);
    d2.status = static_cast<mb_daemon_status>(3);
    std::vector<mb_daemon_info> records = {d0, d1, d2};
    mbt_set_listed_daemons(records.data(), 3);

    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    EXPECT_EQ(1, admin.listDaemons());
    expectNoException();
    std::vector<jvmh::DaemonInfo> d = admin.daemons();
    ASSERT_EQ(3u, d.size());
    EXPECT_EQ(0, d[0].index);
    EXPECT_EQ("UP", d[0].status);
    EXPECT_EQ(1, d[0].reachable);
    EXPECT_TRUE(admt::daemonStringIsNull(admin, 0, "ip")) << "address 0 reaches Java as null";
    EXPECT_EQ(-25536, d[0].port);
    EXPECT_EQ(0x5eed, d[0].shmKey);
    EXPECT_EQ(11, d[0].startTime);
    EXPECT_EQ(22, d[0].currentTime);
    EXPECT_EQ(static_cast<int64_t>(6 * GiB), d[0].totalMemory);
    EXPECT_EQ(static_cast<int64_t>(5 * GiB + 1), d[0].usedMemory);
    EXPECT_EQ(3, d[0].numberStores);
    EXPECT_EQ(4, d[0].numberOpens);
    EXPECT_EQ(5, d[0].numberLocalOpens);
    EXPECT_EQ(6, d[0].numberResilvers);
    EXPECT_EQ(7, d[0].numberDaemons);
    EXPECT_EQ("DOWN", d[1].status);
    EXPECT_EQ(0, d[1].reachable);
    EXPECT_EQ("192.168.1.20", d[1].ip);
    EXPECT_EQ(7000, d[1].port);
    EXPECT_TRUE(admt::daemonStringIsNull(admin, 2, "status")) << "status 3 reaches Java as null";
    EXPECT_FALSE(admt::daemonStringIsNull(admin, 2, "ip"));
    EXPECT_EQ((std::vector<std::string>{"mb_admin_enumerate_daemons client=1" + verbosePiece()}),
              journalOf("mb_admin_enumerate_daemons"));
}

TEST_F(AdminListing, EmbeddedClusterRoundTrip) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    makeRegion("admin-demo-1");
    makeRegion("admin-demo-2");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    EXPECT_EQ(1, admin.listDaemons());
    std::vector<jvmh::DaemonInfo> d = admin.daemons();
    ASSERT_EQ(3u, d.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(i, d[i].index);
        EXPECT_EQ("UP", d[i].status);
    }
    EXPECT_EQ(1, admin.listGlobalRegions());
    std::vector<jvmh::RegionInfo> r = admin.regions();
    EXPECT_EQ((std::vector<std::string>{"admin-demo-1", "admin-demo-2"}), names(r));
    for (const auto& one : r) EXPECT_EQ(65536, one.size);

    admin.clearResults();
    EXPECT_EQ(1, admin.listRegion(std::string("admin-demo-2")));
    EXPECT_EQ((std::vector<std::string>{"admin-demo-2"}), names(admin.regions()));
    EXPECT_EQ(1, admin.deleteRegion(std::string("admin-demo-2"), false));
    expectNoException();
    admin.clearResults();
    EXPECT_EQ(1, admin.listGlobalRegions());
    EXPECT_EQ((std::vector<std::string>{"admin-demo-1"}), names(admin.regions()));
    (void)admin.listRegion(std::string("admin-demo-2"));
    expectIOException(kAdminPrefix + "listRegion Failed to get storeinfo for admin-demo-2", MB_FAIL,
                      MB_ERR_STORENF);
    (void)admin.deleteRegion(std::string("admin-demo-2"), true);
    expectIOException(kAdminPrefix + "deleteRegion Failed to delete store admin-demo-2", MB_FAIL, MB_ERR_STORENF);
}

TEST_F(AdminListing, NamesRoundTripWhateverTheirCharacters) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    const std::string astral = "r\xC3\xA9gion-\xF0\x9F\x98\x80-\xE6\x9D\xB1\xE4\xBA\xAC";  // é, U+1F600, 東京
    makeRegion(astral);
    mb_client_storeinfo full = admt::storeRecord("");
    std::memset(full.name, 'n', sizeof full.name);  // 256 bytes, no NUL
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    EXPECT_EQ(1, admin.listGlobalRegions());
    expectNoException();
    ASSERT_EQ(1u, admin.regions().size());
    EXPECT_EQ(jvmh::toUtf16(astral), jvmh::toUtf16(admin.regions()[0].name));
    admin.clearResults();
    EXPECT_EQ(1, admin.listRegion(astral));
    ASSERT_EQ(1u, admin.regions().size());
    EXPECT_EQ(astral, admin.regions()[0].name);

    setStores({full});
    admin.clearResults();
    EXPECT_EQ(1, admin.listGlobalRegions());
    expectNoException();
    ASSERT_EQ(1u, admin.regions().size());
    EXPECT_EQ(std::string(256, 'n'), admin.regions()[0].name) << "read within its 256 bytes";
}

TEST_F(AdminListing, OverlongAndNullRegionNames) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    const std::string longName(300, 'q');
    const std::string cut(255, 'q');
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    mbt_journal_clear();
    (void)admin.listRegion(longName);
    expectIOException(kAdminPrefix + "listRegion Failed to get storeinfo for " + cut, MB_FAIL, MB_ERR_STORENF);
    (void)admin.deleteRegion(longName, false);
    expectIOException(kAdminPrefix + "deleteRegion Failed to delete store " + cut, MB_FAIL, MB_ERR_STORENF);
    EXPECT_EQ((std::vector<std::string>{"mb_admin_get_storeinfo client=1" + verbosePiece() + " name=" + cut,
                                        "mb_admin_delete_store client=1 force=0 name=" + cut}),
              journal());

    mbt_journal_clear();
    (void)admin.listRegion(std::nullopt);
    expectIOException(kAdminPrefix + "listRegion j_storename null");
    (void)admin.deleteRegion(std::nullopt, true);
    expectIOException(kAdminPrefix + "deleteRegion j_storename null");
    EXPECT_TRUE(journal().empty()) << "no client call without a name";
}

TEST_F(AdminListing, ConsoleDumpsUnderTheDebugSwitch) {
    ADMIN_CONFIGS("instr", "quiet");
    setStores({admt::storeRecord("ABC"), admt::storeRecord("xab")});
    mb_ldinfo ld = {1, 0, 3 * GiB, GiB};
    mbt_set_ldinfo(&ld);
    Admin admin;
    debug = 1;
    std::string out = jvmh::captureStdout(
        [&] { EXPECT_EQ(1, admin.listRecoveryRegionsAndDaemon(1, clusterFile(), std::string("ab"))); });
    debug = 0;
    expectNoException();
    EXPECT_NE(std::string::npos, out.find("Inside callback_storeinfo(entryPoint=0x")) << out;
    EXPECT_NE(std::string::npos, out.find("Store Information on the Native Side   \n")) << out;
    EXPECT_NE(std::string::npos, out.find("Store: ABC\nStoresize: 1048576\nBlocksize: 4096\nUsed: 4096\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Store: xab\n")) << "skipped records are dumped too";
    EXPECT_NE(std::string::npos, out.find("callback_storeinfo(skipFilteredName 1) java method NOT called. prefix ab\n"));
    EXPECT_NE(std::string::npos, out.find("Inside callback_daemoninfo()\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Index: 1\nStatus: unknown\nReachable over IB: FALSE\nIP: 0x0\nPort: 0\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("Total Configured Memory: 3221225472\nCurrent Memory Usage: 1073741824\n"));
    EXPECT_EQ((std::vector<std::string>{"ABC"}), names(admin.regions()));

    // Without the switch, nothing goes to the console.
    admin.clearResults();
    out = jvmh::captureStdout(
        [&] { EXPECT_EQ(1, admin.listRecoveryRegionsAndDaemon(1, clusterFile(), std::string("ab"))); });
    EXPECT_EQ("", out);
}

// ---------------------------------------------------------- recovery listing

class AdminRecovery : public AdminTest {};

TEST_F(AdminRecovery, PrefixFilterAndTheSingleDaemonRecord) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    setStores({admt::storeRecord("ABC"), admt::storeRecord("abd"), admt::storeRecord("xab"), admt::storeRecord("a")});
    mb_ldinfo ld = {2, 99, 8 * GiB, 5 * GiB + 3};
    mbt_set_ldinfo(&ld);
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));  // the recovery listing leaves this one alone
    mb_client_ctx* adminConnection = ctx;

    struct Case {
        std::optional<std::string> prefix;
        std::vector<std::string> expected;
    };
    const Case cases[] = {{std::string("ab"), {"ABC", "abd"}},
                          {std::string("AB"), {"ABC", "abd"}},
                          {std::string(""), {"ABC", "abd", "xab", "a"}},
                          {std::nullopt, {"ABC", "abd", "xab", "a"}},
                          {std::string("abcd"), {}}};
    int client = 1;  // the admin connection
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix.value_or("(null)"));
        const std::string id = std::to_string(++client);
        admin.clearResults();
        mbt_journal_clear();
        EXPECT_EQ(1, admin.listRecoveryRegionsAndDaemon(2, clusterFile(), c.prefix));
        expectNoException();
        EXPECT_EQ(c.expected, names(admin.regions()));
        std::vector<jvmh::DaemonInfo> d = admin.daemons();
        ASSERT_EQ(1u, d.size()) << "exactly one addDaemonInfo";
        EXPECT_EQ(2, d[0].index);
        EXPECT_TRUE(admt::daemonStringIsNull(admin, 0, "status"));
        EXPECT_TRUE(admt::daemonStringIsNull(admin, 0, "ip"));
        EXPECT_EQ(0, d[0].reachable);
        EXPECT_EQ(0, d[0].port);
        EXPECT_EQ(0, d[0].shmKey);
        EXPECT_EQ(0, d[0].startTime);
        EXPECT_EQ(0, d[0].currentTime);
        EXPECT_EQ(static_cast<int64_t>(8 * GiB), d[0].totalMemory);
        EXPECT_EQ(static_cast<int64_t>(5 * GiB + 3), d[0].usedMemory);
        EXPECT_EQ(0, d[0].numberStores + d[0].numberOpens + d[0].numberLocalOpens + d[0].numberResilvers +
                         d[0].numberDaemons);
        std::vector<std::string> lines = journal();
        ASSERT_EQ(4u, lines.size());
        EXPECT_EQ(0u, lines[0].rfind("mb_init trace_level=", 0));
        EXPECT_NE(std::string::npos, lines[0].find(" localindex=2 busywait=100 timeout=1000 "));
        EXPECT_EQ("mb_enumerate_global_stores client=" + id + verbosePiece(), lines[1]) << "own connection";
        EXPECT_EQ("mb_get_local_daemon_info client=" + id, lines[2]);
        EXPECT_EQ("mb_fini client=" + id, lines[3]);
        EXPECT_EQ(1, mbt_live_connections());
    }
    EXPECT_TRUE(admin.isAttached());
    EXPECT_EQ(adminConnection, ctx);
}

TEST_F(AdminRecovery, MissingConfigurationNameMakesNoClientCall) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    const std::string text = kAdminPrefix + "listRecoveryRegionsAndDaemon j_cfgfile null";
    (void)admin.listRecoveryRegionsAndDaemon(0, std::nullopt, std::string("a"));
    expectIOException(text);
    (void)admin.listRecoveryRegionsAndDaemon(0, std::string(""), std::nullopt);
    expectIOException(text);
    EXPECT_TRUE(journal().empty());
    EXPECT_TRUE(admin.regions().empty());
    EXPECT_TRUE(admin.daemons().empty());
}

TEST_F(AdminRecovery, ConnectionFinishedOnEveryPath) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    // mb_init fails: nothing to finish.
    (void)admin.listRecoveryRegionsAndDaemon(0, std::string("/nonexistent/c.cfg"), std::nullopt);
    expectIOException(kAdminPrefix + "listRecoveryRegionsAndDaemon mb_init failed", MB_FAIL, MB_ERR_NOCFG);
    EXPECT_EQ(1u, journal().size());

    mbt_journal_clear();
    mbt_force("mb_enumerate_global_stores", 1, MB_FAIL, MB_ERR_DDEAD);
    (void)admin.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    expectIOException(kAdminPrefix + "listRecoveryRegionsAndDaemon Failed to enumerate global stores", MB_FAIL,
                      MB_ERR_DDEAD);
    EXPECT_EQ(1u, journalOf("mb_fini").size());
    EXPECT_TRUE(journalOf("mb_get_local_daemon_info").empty());
    EXPECT_EQ(0, mbt_live_connections());
    EXPECT_TRUE(admin.daemons().empty());

    mbt_journal_clear();
    mbt_force("mb_get_local_daemon_info", 1, MB_FAIL, MB_ERR_DDEAD);
    (void)admin.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    expectIOException("listRecoveryRegionsAndDaemon mb_get_local_daemon_info failed", MB_FAIL, MB_ERR_DDEAD);
    EXPECT_EQ(1u, journalOf("mb_fini").size());
    EXPECT_EQ(0, mbt_live_connections());
    EXPECT_TRUE(admin.daemons().empty());

    mbt_journal_clear();
    mbt_force("mb_fini", 1, MB_FAIL, MB_ERR_OTHER);
    (void)admin.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    expectIOException("listRecoveryRegionsAndDaemon mb_fini failed", MB_FAIL, MB_ERR_OTHER);
    EXPECT_EQ(1u, admin.daemons().size()) << "the listing itself had succeeded";
}

TEST_F(AdminRecovery, FirstFailureWinsOverAFailedFinish) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    jvmh::SinkScope sink;
    ASSERT_TRUE(sink.active());
    Admin admin;
    mbt_force("mb_enumerate_global_stores", 1, MB_FAIL, MB_ERR_DDEAD);
    mbt_force("mb_fini", 1, MB_FAIL, MB_ERR_OTHER);
    (void)admin.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    expectIOException(kAdminPrefix + "listRecoveryRegionsAndDaemon Failed to enumerate global stores", MB_FAIL,
                      MB_ERR_DDEAD);
    if (admt::config() == "instr") {
        EXPECT_EQ(1, countContaining(sink.verbose(), "listRecoveryRegionsAndDaemon mb_fini failed"));
    } else if (admt::config() == "traced") {
        EXPECT_EQ(1, countContaining(sink.debug(), "listRecoveryRegionsAndDaemon mb_fini failed"));
    }
}

// ------------------------------------------------ callbacks that throw

class AdminCallbackFailure : public AdminTest {};

TEST_F(AdminCallbackFailure, ThrowingAddRegionInfoStopsJavaCalls) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    const std::string text = "callback_storeinfo: Error calling  CallVoidMethod/addRegionInfo";
    setStores({admt::storeRecord("r1"), admt::storeRecord("r2"), admt::storeRecord("r3")});
    admt::ThrowingAdmin admin;
    ASSERT_TRUE(admin.valid());
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    admin.throwAtRegionCall(2);
    admin.listGlobalRegions();
    jvmh::PendingException ex = jvmh::takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ("java.io.IOException", ex.cls);
    EXPECT_EQ(text, ex.msg);
    EXPECT_EQ(2, admin.regionCalls()) << "no Java call after the failing one";
    EXPECT_EQ("r1|r2", admin.regionNames());

    // The recovery listing: no addDaemonInfo after a failed region, and
    // its connection is finished all the same.
    admt::ThrowingAdmin fresh;
    fresh.throwAtRegionCall(1);
    mbt_journal_clear();
    fresh.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    ex = jvmh::takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ(text, ex.msg);
    EXPECT_EQ(1, fresh.regionCalls());
    EXPECT_EQ(0, fresh.daemonCalls());
    EXPECT_EQ(1u, journalOf("mb_fini").size());
    EXPECT_EQ(1, mbt_live_connections()) << "only the admin connection is left";
}

TEST_F(AdminCallbackFailure, ThrowingAddDaemonInfo) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    const std::string text = "callback_daemoninfo: Error calling  CallVoidMethod/addDaemonInfo";
    std::vector<mb_daemon_info> records = {admt::daemonRecord(0), admt::daemonRecord(1), admt::daemonRecord(2)};
    mbt_set_listed_daemons(records.data(), 3);
    admt::ThrowingAdmin admin;
    ASSERT_TRUE(admin.valid());
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    admin.throwAtDaemonCall(1);
    admin.listDaemons();
    jvmh::PendingException ex = jvmh::takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ(text, ex.msg);
    EXPECT_EQ(1, admin.daemonCalls());

    admt::ThrowingAdmin fresh;
    fresh.throwAtDaemonCall(1);
    mbt_journal_clear();
    fresh.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    ex = jvmh::takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ(text, ex.msg);
    EXPECT_EQ(1u, journalOf("mb_fini").size());
    EXPECT_EQ(1, mbt_live_connections());
}

TEST_F(AdminCallbackFailure, CallbackExceptionWinsOverAFailedListing) {
    ADMIN_CONFIGS("instr", "traced");
    setStores({admt::storeRecord("r1"), admt::storeRecord("r2")});
    admt::ThrowingAdmin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    admin.throwAtRegionCall(1);
    ScopedProperty fault(admt::faultKey("admintool_mb_admin_enumerate_global_storesErrorTest"), "true");
    (void)admin.listGlobalRegions();
    jvmh::PendingException ex = jvmh::takeException();
    ASSERT_TRUE(ex.present);
    EXPECT_EQ("callback_storeinfo: Error calling  CallVoidMethod/addRegionInfo", ex.msg);
    EXPECT_EQ(1, admin.regionCalls());
}

// ------------------------------------------------------- listing faults

class AdminListingFaults : public AdminTest {};

TEST_F(AdminListingFaults, EveryListingFlag) {
    ADMIN_CONFIGS("instr", "traced");
    makeRegion("kept");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    mbt_journal_clear();
    struct Case {
        const char* flag;
        std::function<jint()> call;
        std::string tail;
    };
    const Case cases[] = {
        {"admintool_mb_admin_enumerate_daemonsErrorTest", [&] { return admin.listDaemons(); },
         kAdminPrefix + "listDaemons Failed to enumerate daemons"},
        {"admintool_mb_admin_enumerate_global_storesErrorTest", [&] { return admin.listGlobalRegions(); },
         kAdminPrefix + "listGlobalRegions Failed to enumerate global stores"},
        {"admintool_mb_admin_enumerate_storesErrorTest", [&] { return admin.listLocalRegions(); },
         kAdminPrefix + "listLocalRegions Failed to enumerate local stores"},
        {"admintool_mb_admin_get_storeinfoErrorTest", [&] { return admin.listRegion(std::string("kept")); },
         kAdminPrefix + "listRegion Failed to get storeinfo for kept"},
        {"used_memory_mb_get_local_daemon_infoErrorTest",
         [&] { return admin.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt); },
         "listRecoveryRegionsAndDaemon mb_get_local_daemon_info failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flag);
        {
            ScopedProperty fault(admt::faultKey(c.flag), "true");
            (void)c.call();
            expectIOException(c.tail, MB_FAIL, MB_ERR_CANCEL);
        }
        EXPECT_EQ(1, c.call()) << "cleared property, cleared fault";
        expectNoException();
    }
    EXPECT_EQ(2u, journalOf("mb_fini").size()) << "both recovery connections finished";
    EXPECT_EQ(1, mbt_live_connections());
}

TEST_F(AdminListingFaults, DeleteFaultLeavesListRegionAlone) {
    ADMIN_CONFIGS("instr", "traced");
    makeRegion("gone");
    makeRegion("kept");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    ScopedProperty fault(admt::faultKey("admintool_mb_admin_delete_storeErrorTest"), "true");
    (void)admin.deleteRegion(std::string("gone"), false);
    expectIOException(kAdminPrefix + "deleteRegion Failed to delete store gone", MB_FAIL, MB_ERR_CANCEL);
    EXPECT_EQ(1, admin.listRegion(std::string("kept")));
    expectNoException();
    (void)admin.listRegion(std::string("gone"));
    expectIOException(kAdminPrefix + "listRegion Failed to get storeinfo for gone", MB_FAIL, MB_ERR_STORENF);
}

// ------------------------------------------------ delete-time events

class AdminDeleteEvents : public AdminTest {};

namespace {
std::string eventLine(int arm, int target, const std::string& name) {
    return "mb_event client=1 arm=" + std::to_string(arm) + " c1=1 c2=1 c3=3 target=" + std::to_string(target) +
           " c4=0 handle=0 name=" + name;
}
}  // namespace

TEST_F(AdminDeleteEvents, ArmedAndDisarmedInOrderAroundTheDeletion) {
    ADMIN_CONFIGS("instr", "traced", "quiet");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));  // client 1
    makeRegion("doomed");
    ScopedProperty p1(admt::crashKey("crash_primary_daemon_during_deleteTest"), "true");
    ScopedProperty p3(admt::crashKey("crash_storejvm_during_deleteTest"), "true");
    ScopedProperty p2(admt::crashKey("crash_secondary_daemon_during_deleteTest"), "true");
    // The events are journaled but not armed, so none of them fires.
    mbt_force("mb_event", -1, MB_SUCC, MB_ERR_NONE);

    for (const std::string name : {"doomed", "nosuch"}) {
        SCOPED_TRACE(name);
        mbt_journal_clear();
        bool exists = name == "doomed";
        const jint result = admin.deleteRegion(name, exists);
        if (exists) {
            EXPECT_EQ(1, result);
            expectNoException();
        }
        if (!exists)
            expectIOException(kAdminPrefix + "deleteRegion Failed to delete store nosuch", MB_FAIL, MB_ERR_STORENF);
        std::vector<std::string> lines = journalOfAny({"mb_event", "mb_admin_delete_store"});
        if (admt::config() == "quiet") {
            EXPECT_EQ((std::vector<std::string>{"mb_admin_delete_store client=1 force=" +
                                                std::string(exists ? "1" : "0") + " name=" + name}),
                      lines)
                << "no events without instrumentation";
            continue;
        }
        std::vector<std::string> expected = {eventLine(1, 1, name), eventLine(1, 3, name), eventLine(1, 2, name),
                                             "mb_admin_delete_store client=1 force=" +
                                                 std::string(exists ? "1" : "0") + " name=" + name,
                                             eventLine(0, 1, name), eventLine(0, 3, name), eventLine(0, 2, name)};
        EXPECT_EQ(expected, lines);
    }
}

TEST_F(AdminDeleteEvents, ArmedPrimaryEventFiresOnTheAdminConnection) {
    ADMIN_CONFIGS("instr", "traced");
    makeRegion("target", 2);
    ScopedProperty p1(admt::crashKey("crash_primary_daemon_during_deleteTest"), "true");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    admin.deleteRegion(std::string("target"), true);
    jvmh::takeException();  // the outcome depends on where the copies lived
    int up = mbt_daemon_is_up(0) + mbt_daemon_is_up(1) + mbt_daemon_is_up(2);
    EXPECT_EQ(2, up) << "the region's primary daemon went down during the deletion";
    EXPECT_EQ(2u, journalOf("mb_event").size());
}

// -------------------------------------- admin class without addDaemonInfo

class AdminNoDaemonMethod : public AdminTest {};

TEST_F(AdminNoDaemonMethod, EveryListingFailsBeforeAnyClientCall) {
    ADMIN_CONFIGS("no_daemon");
    const std::string text = "Error calling getMethodID for addDaemonInfo.";
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    mbt_journal_clear();
    (void)admin.listDaemons();
    expectIOException(text);
    (void)admin.listGlobalRegions();
    expectIOException(text);
    (void)admin.listLocalRegions();
    expectIOException(text);
    (void)admin.listRegion(std::string("r1"));
    expectIOException(text);
    (void)admin.listRecoveryRegionsAndDaemon(0, clusterFile(), std::nullopt);
    expectIOException(text);
    EXPECT_TRUE(journal().empty()) << "no client call was made";
    // The deletion needs no callbacks and still reaches the library.
    (void)admin.deleteRegion(std::string("r1"), false);
    expectIOException(kAdminPrefix + "deleteRegion Failed to delete store r1", MB_FAIL, MB_ERR_STORENF);
    EXPECT_EQ(1u, journalOf("mb_admin_delete_store").size());
}
