/*
 * admin_connection_tests.cpp - the admin connection: attach, detach,
 * isAttached, re-targeting, shutdown flags, operations without a
 * connection, fault injection, log lines and the tracing hint.
 */
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "admin_test_util.h"
#include "fileio_debug.h"
#include "rs_admin.h"

using namespace admt::expect;
using admt::AdminTest;
using admt::clusterFile;
using admt::endsWith;
using jvmh::journal;
using jvmh::journalOf;
using jvmh::Admin;
using jvmh::ScopedProperty;
using jvmh::takeException;

namespace {

// What mb_init receives for trace level and callbacks in each configuration.
int expectedTraceLevel() { return admt::config() == "traced" ? 3 : 0; }
int expectedCcb() { return admt::config() == "quiet" ? 0 : 1; }

std::string initLine(int localIndex, const std::string& cfg) {
    return "mb_init trace_level=" + std::to_string(expectedTraceLevel()) +
           " ip=0x00000000 localport=0x0000 localindex=" + std::to_string(localIndex) +
           " busywait=100 timeout=1000 ccb=" + std::to_string(expectedCcb()) + " cfg_filename=" + cfg;
}

const char* const kHint =
    "Run with tracing on using system property tessera.store.replicated.nativelib.tracelevel value <1-3> to get "
    "more details.";

}  // namespace

// ------------------------------------------------------------ configuration

TEST(AdminConfiguration, LoadTimeStateMatches) {
    const std::string& c = admt::config();
    if (c == "instr") {
        EXPECT_TRUE(nativeToJavaDebug && nativeToJavaVerbose && instrumentation);
        EXPECT_EQ(0, mblibTraceLevel);
    } else if (c == "quiet") {
        EXPECT_FALSE(nativeToJavaDebug || nativeToJavaVerbose || instrumentation);
        EXPECT_EQ(-1, mblibTraceLevel);
    } else if (c == "traced") {
        EXPECT_TRUE(nativeToJavaDebug && instrumentation);
        EXPECT_FALSE(nativeToJavaVerbose);
        EXPECT_EQ(3, mblibTraceLevel);
    } else if (c == "no_daemon") {
        EXPECT_TRUE(nativeToJavaDebug && instrumentation);
    } else {
        FAIL() << "unknown configuration '" << c << "' (-Dbridgetest.admin.config)";
    }
    EXPECT_EQ(0, debug) << "the console switch is never set by the bridge";
}

// ------------------------------------------------------- connection states

class AdminConnection : public AdminTest {};

TEST_F(AdminConnection, AttachDetachRoundTrip) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    EXPECT_FALSE(admin.isAttached());
    ASSERT_EQ(1, admin.attach(clusterFile(), 1));
    expectNoException();
    EXPECT_TRUE(admin.isAttached());
    EXPECT_EQ(1, mbt_live_connections());
    EXPECT_EQ(1, admin.getAttachedDaemonIndex());
    expectNoException();

    std::vector<std::string> expected = {initLine(1, clusterFile()), "mb_admin_get_attached_daemon client=1",
                                         "mb_admin_attach_daemon client=1 dindex=1",
                                         "mb_admin_get_attached_daemon client=1"};
    EXPECT_EQ(expected, journal());

    mbt_journal_clear();
    admin.detach();
    expectNoException();
    EXPECT_FALSE(admin.isAttached());
    EXPECT_EQ(0, mbt_live_connections());
    EXPECT_EQ((std::vector<std::string>{"mb_admin_get_attached_daemon client=1", "mb_fini client=1"}), journal());
}

TEST_F(AdminConnection, AttachHandsTheLibraryItsArguments) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 2));
    mb_init_args args;
    ASSERT_EQ(1, mbt_last_init_args(&args));
    EXPECT_EQ(2u, args.localindex);
    EXPECT_EQ(100u, args.busywait);
    EXPECT_EQ(1000u, args.timeout);
    EXPECT_EQ(0u, args.ip);
    EXPECT_EQ(0u, args.localport);
    EXPECT_EQ(expectedTraceLevel(), args.trace_level);
    mb_callbacks cb;
    if (admt::config() == "quiet") {
        // Both channels off: no callbacks record at all.
        EXPECT_EQ(0, mbt_last_init_callbacks(&cb));
        EXPECT_EQ(nullptr, args.ccb);
    } else {
        ASSERT_EQ(1, mbt_last_init_callbacks(&cb));
        EXPECT_EQ(&ccb, args.ccb);
        EXPECT_EQ(reinterpret_cast<void*>(&trace_logger), reinterpret_cast<void*>(cb.trace));
        EXPECT_EQ(static_cast<void*>(&log_ctx), cb.tracecbctx);
        EXPECT_EQ(nullptr, cb.malloc);
        EXPECT_EQ(nullptr, cb.free);
        EXPECT_EQ(nullptr, cb.alert);
        EXPECT_EQ(stdout, log_ctx.fp);
    }
}

TEST_F(AdminConnection, TraceSinkWritesLibraryTextToStandardOutput) {
    ADMIN_CONFIGS("instr", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    mbt_emit_trace_format_once("admin-trace-marker 100%% plain\n");
    std::string out = jvmh::captureStdout([&] { EXPECT_EQ(0, admin.getAttachedDaemonIndex()); });
    EXPECT_NE(std::string::npos, out.find("admin-trace-marker 100% plain\n")) << out;
}

TEST_F(AdminConnection, RetargetAndShutdownFlags) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    ASSERT_EQ(1, admin.attachToDaemon(2));
    expectNoException();
    EXPECT_EQ(2, admin.getAttachedDaemonIndex());

    struct Case {
        bool force, safe;
        const char* flags;
    };
    const Case cases[] = {{false, false, "0x0"}, {true, false, "0x10"}, {false, true, "0x40"}, {true, true, "0x50"}};
    mbt_journal_clear();
    for (const Case& c : cases) {
        // The index argument is ignored: the addressed daemon (2) goes down.
        EXPECT_EQ(1, admin.shutdownDaemon(0, c.force, c.safe)) << c.flags;
        expectNoException();
        EXPECT_EQ(0, mbt_daemon_is_up(2)) << c.flags;
        EXPECT_EQ(1, mbt_daemon_is_up(0)) << c.flags;
        EXPECT_EQ(1, mbt_daemon_is_up(1)) << c.flags;
        mbt_set_daemon_up(2, 1);
    }
    std::vector<std::string> expected;
    for (const Case& c : cases) expected.push_back(std::string("mb_admin_shutdown_daemon client=1 flags=") + c.flags);
    EXPECT_EQ(expected, journalOf("mb_admin_shutdown_daemon"));
    EXPECT_TRUE(admin.isAttached());
}

TEST_F(AdminConnection, RetargetToMissingDaemonKeepsTheOldTarget) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 1));
    (void)admin.attachToDaemon(9);
    expectIOException(kAdminPrefix + "attachToDaemon Failed to attach to daemon 9", MB_FAIL, MB_ERR_INVAL);
    EXPECT_EQ(1, admin.getAttachedDaemonIndex());
    EXPECT_TRUE(admin.isAttached());
}

TEST_F(AdminConnection, AttachAgainFinishesTheEarlierConnection) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    ASSERT_EQ(1, admin.attach(clusterFile(), 2));
    expectNoException();
    EXPECT_EQ(1, mbt_live_connections());
    EXPECT_EQ(2, admin.getAttachedDaemonIndex());
    std::vector<std::string> lines = jvmh::journalOfAny({"mb_init", "mb_fini"});
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("mb_init ", 0));
    EXPECT_EQ("mb_fini client=1", lines[1]);
    EXPECT_EQ(initLine(2, clusterFile()), lines[2]);
    admin.detach();
    expectNoException();
    EXPECT_EQ(0, mbt_live_connections());
}

TEST_F(AdminConnection, EveryOperationWithoutAConnection) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    const int st = MB_FAIL, er = MB_ERR_NULLCTX;

    admin.detach();
    expectIOException(kAdminPrefix + "detach Failed to detach from daemon -1", st, er);
    (void)admin.attachToDaemon(1);
    expectIOException(kAdminPrefix + "attachToDaemon Failed to attach to daemon 1", st, er);
    (void)admin.getAttachedDaemonIndex();
    expectIOException(kAdminPrefix + "getAttachedDaemonIndex Failed to get attached daemon", st, er);
    (void)admin.shutdownDaemon(0, true, true);
    expectIOException(kAdminPrefix + "shutdownDaemon Failed to shutdown daemon -1", st, er);
    (void)admin.listDaemons();
    expectIOException(kAdminPrefix + "listDaemons Failed to enumerate daemons", st, er);
    (void)admin.listGlobalRegions();
    expectIOException(kAdminPrefix + "listGlobalRegions Failed to enumerate global stores", st, er);
    (void)admin.listLocalRegions();
    expectIOException(kAdminPrefix + "listLocalRegions Failed to enumerate local stores", st, er);
    (void)admin.listRegion(std::string("r1"));
    expectIOException(kAdminPrefix + "listRegion Failed to get storeinfo for r1", st, er);
    (void)admin.deleteRegion(std::string("r1"), false);
    expectIOException(kAdminPrefix + "deleteRegion Failed to delete store r1", st, er);

    EXPECT_FALSE(admin.isAttached());
    EXPECT_EQ(0, mbt_live_connections());
    // Every request reached the library with a null connection.
    std::vector<std::string> lines = journal();
    EXPECT_EQ(11u, lines.size());
    for (const auto& l : lines) EXPECT_NE(std::string::npos, l.find(" client=0")) << l;
    EXPECT_TRUE(jvmh::journalOf("mb_event").empty());
}

TEST_F(AdminConnection, NullAndOverlongConfigurationNames) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    (void)admin.attach(std::nullopt, 0);
    expectIOException(kAdminPrefix + "attach j_cfgfile null");
    EXPECT_TRUE(journal().empty()) << "no client call for a null name";
    EXPECT_FALSE(admin.isAttached());

    std::string longName = "/nonexistent/" + std::string(287, 'c');
    ASSERT_EQ(300u, longName.size());
    (void)admin.attach(longName, 0);
    expectIOException(kAdminPrefix + "attach mb_init failed", MB_FAIL, MB_ERR_NOCFG);
    ASSERT_EQ(1u, journalOf("mb_init").size());
    EXPECT_EQ(initLine(0, longName.substr(0, 255)), journalOf("mb_init")[0]);
    EXPECT_FALSE(admin.isAttached());
}

TEST_F(AdminConnection, FailureAfterInitKeepsTheNewConnection) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    mbt_force("mb_admin_get_attached_daemon", 1, MB_FAIL, MB_ERR_DDEAD);
    (void)admin.attach(clusterFile(), 1);
    expectIOException(kAdminPrefix + "attach Failed to get attached daemon", MB_FAIL, MB_ERR_DDEAD);
    EXPECT_TRUE(admin.isAttached());
    EXPECT_TRUE(journalOf("mb_admin_attach_daemon").empty());

    mbt_force("mb_admin_attach_daemon", 1, MB_FAIL, MB_ERR_DDEAD);
    (void)admin.attach(clusterFile(), 1);
    expectIOException(kAdminPrefix + "attach Failed to do admin attach to daemon 1", MB_FAIL, MB_ERR_DDEAD);
    EXPECT_TRUE(admin.isAttached());
    EXPECT_EQ(1, mbt_live_connections());

    admin.detach();
    expectNoException();
    EXPECT_FALSE(admin.isAttached());
    EXPECT_EQ(0, mbt_live_connections());
}

TEST_F(AdminConnection, FailedLibraryDetachKeepsTheConnection) {
    ADMIN_CONFIGS("instr", "quiet", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    mbt_force("mb_fini", 1, MB_FAIL, MB_ERR_OTHER);
    admin.detach();
    expectIOException(kAdminPrefix + "detach Failed to detach from daemon 0", MB_FAIL, MB_ERR_OTHER);
    EXPECT_TRUE(admin.isAttached());
    admin.detach();
    expectNoException();
    EXPECT_FALSE(admin.isAttached());
    EXPECT_EQ(0, mbt_live_connections());
}

// ------------------------------------------------------- fault injection

class AdminFaults : public AdminTest {};

TEST_F(AdminFaults, InitFaultLeavesNothingAttachedOrRunning) {
    ADMIN_CONFIGS("instr", "traced");
    Admin admin;
    {
        ScopedProperty fault(admt::faultKey("admintool_mb_initErrorTest"), "TRUE");
        (void)admin.attach(clusterFile(), 0);
        expectIOException(kAdminPrefix + "attach mb_init failed", MB_FAIL, MB_ERR_CANCEL);
    }
    EXPECT_FALSE(admin.isAttached());
    EXPECT_EQ(0, mbt_live_connections());
    EXPECT_EQ(1u, journalOf("mb_init").size());
    EXPECT_TRUE(journalOf("mb_admin_get_attached_daemon").empty());

    // The property is read again at the next attach.
    EXPECT_EQ(1, admin.attach(clusterFile(), 0));
    expectNoException();
}

TEST_F(AdminFaults, AttachStepFault) {
    ADMIN_CONFIGS("instr", "traced");
    Admin admin;
    ScopedProperty fault(admt::faultKey("admintool_mb_admin_attach_daemonAfterInitErrorTest"), "true");
    (void)admin.attach(clusterFile(), 2);
    expectIOException(kAdminPrefix + "attach Failed to do admin attach to daemon 2", MB_FAIL, MB_ERR_CANCEL);
    EXPECT_TRUE(admin.isAttached());
    EXPECT_EQ(1u, journalOf("mb_admin_attach_daemon").size()) << "the call ran all the same";
}

TEST_F(AdminFaults, DetachFaultStillForgetsTheFinishedConnection) {
    ADMIN_CONFIGS("instr", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 1));
    {
        ScopedProperty fault(admt::faultKey("admintool_mb_finiErrorTest"), "true");
        admin.detach();
        expectIOException(kAdminPrefix + "detach Failed to detach from daemon 1", MB_FAIL, MB_ERR_CANCEL);
    }
    EXPECT_FALSE(admin.isAttached());
    EXPECT_EQ(0, mbt_live_connections());
    mbt_journal_clear();
    // The finished connection is never handed to the library again.
    (void)admin.getAttachedDaemonIndex();
    expectIOException(kAdminPrefix + "getAttachedDaemonIndex Failed to get attached daemon", MB_FAIL,
                      MB_ERR_NULLCTX);
    EXPECT_EQ((std::vector<std::string>{"mb_admin_get_attached_daemon client=0"}), journal());
}

TEST_F(AdminFaults, ConnectionOperationFaults) {
    ADMIN_CONFIGS("instr", "traced");
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    {
        ScopedProperty fault(admt::faultKey("admintool_mb_admin_attach_daemonErrorTest"), "true");
        (void)admin.attachToDaemon(1);
        expectIOException(kAdminPrefix + "attachToDaemon Failed to attach to daemon 1", MB_FAIL, MB_ERR_CANCEL);
    }
    EXPECT_EQ(1, admin.getAttachedDaemonIndex()) << "the re-target ran before its outcome was replaced";
    {
        ScopedProperty fault(admt::faultKey("admintool_mb_admin_get_attached_daemonErrorTest"), "true");
        (void)admin.getAttachedDaemonIndex();
        expectIOException(kAdminPrefix + "getAttachedDaemonIndex Failed to get attached daemon", MB_FAIL,
                          MB_ERR_CANCEL);
    }
    {
        ScopedProperty fault(admt::faultKey("admintool_mb_admin_shutdown_daemonErrorTest"), "true");
        (void)admin.shutdownDaemon(5, false, true);
        expectIOException(kAdminPrefix + "shutdownDaemon Failed to shutdown daemon 1", MB_FAIL, MB_ERR_CANCEL);
        EXPECT_EQ(0, mbt_daemon_is_up(1));
    }
    mbt_set_daemon_up(1, 1);
    // Cleared properties clear the faults.
    EXPECT_EQ(1, admin.attachToDaemon(2));
    EXPECT_EQ(2, admin.getAttachedDaemonIndex());
    EXPECT_EQ(1, admin.shutdownDaemon(0, false, false));
    expectNoException();
}

TEST_F(AdminFaults, PropertiesDoNothingWithoutInstrumentation) {
    ADMIN_CONFIGS("quiet");
    std::vector<std::unique_ptr<ScopedProperty>> all;
    for (std::size_t i = 0; i < admt::kAdminFaultKeyCount; ++i)
        all.emplace_back(new ScopedProperty(admt::kAdminFaultKeys[i], "true"));
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    EXPECT_EQ(1, admin.attachToDaemon(1));
    EXPECT_EQ(1, admin.getAttachedDaemonIndex());
    EXPECT_EQ(1, admin.listDaemons());
    EXPECT_EQ(1, admin.listGlobalRegions());
    EXPECT_EQ(1, admin.listLocalRegions());
    EXPECT_EQ(1, admin.shutdownDaemon(0, false, false));
    admin.detach();
    expectNoException();
    EXPECT_FALSE(admin.isAttached());
    EXPECT_TRUE(journalOf("mb_event").empty());
}

// ------------------------------------------------- log lines and the hint

class AdminLogging : public AdminTest {};

TEST_F(AdminLogging, ConnectionLogLines) {
    ADMIN_CONFIGS("instr");
    jvmh::SinkScope sink;
    ASSERT_TRUE(sink.active());
    Admin admin;
    ASSERT_EQ(1, admin.attach(clusterFile(), 0));
    EXPECT_TRUE(admin.isAttached());
    EXPECT_EQ(1, admin.attachToDaemon(1));
    EXPECT_EQ(1, admin.shutdownDaemon(0, true, false));
    EXPECT_EQ(1, admin.getAttachedDaemonIndex());
    admin.detach();
    expectNoException();

    std::vector<std::string> verbose = bodies(sink.verbose());
    for (const char* line : {"begin: attach", "end: attach", "begin/end: isAttached", "begin: attachToDaemon",
                             "end: attachToDaemon", "begin: shutdownDaemon", "end: shutdownDaemon",
                             "begin/end: getAttachedDaemonIndex", "begin: detach", "end: detach",
                             "setTestFlag Test Flag tessera.junit.admintool_mb_initErrorTest=false",
                             "setTestFlag Test Flag tessera.junit.admintool_mb_finiErrorTest=false"})
        EXPECT_TRUE(contains(verbose, line)) << "missing verbose line: " << line;
    std::vector<std::string> debugLines = bodies(sink.debug());
    for (const std::string& line :
         {"attach arguments j_cfgfile =>" + clusterFile() + " cfgfile =>" + clusterFile() + ", j_localindex =>0",
          std::string("attachToDaemon with j_dindex=1"), std::string("shutdownDaemon j_force=1, j_safe=0"),
          std::string("shutdownDaemon flags=0x10")})
        EXPECT_TRUE(contains(debugLines, line)) << "missing debug line: " << line;
    EXPECT_EQ(0, countContaining(sink.debug(), "Run with tracing on")) << "no hint after success";
    for (const auto& l : sink.verbose()) EXPECT_EQ(0u, l.rfind("rs_admin:", 0)) << l;
}

TEST_F(AdminLogging, TracingHintFollowsEveryAttachFailureAtLevelZero) {
    ADMIN_CONFIGS("instr", "traced", "quiet");
    jvmh::SinkScope sink;
    ASSERT_TRUE(sink.active());
    Admin admin;
    (void)admin.attach(std::string("/nonexistent/cluster.cfg"), 0);
    expectIOException(kAdminPrefix + "attach mb_init failed", MB_FAIL, MB_ERR_NOCFG);
    mbt_force("mb_admin_get_attached_daemon", 1, MB_FAIL, MB_ERR_DDEAD);
    (void)admin.attach(clusterFile(), 0);
    expectIOException(kAdminPrefix + "attach Failed to get attached daemon", MB_FAIL, MB_ERR_DDEAD);
    mbt_force("mb_admin_attach_daemon", 1, MB_FAIL, MB_ERR_DDEAD);
    (void)admin.attach(clusterFile(), 0);
    expectIOException(kAdminPrefix + "attach Failed to do admin attach to daemon 0", MB_FAIL, MB_ERR_DDEAD);

    std::vector<std::string> debugLines = bodies(sink.debug());
    if (admt::config() == "instr") {
        // Debug channel on and trace level 0: one hint per failure.
        EXPECT_EQ(3, countContaining(debugLines, "Run with tracing on"));
        EXPECT_EQ(3, static_cast<int>(std::count(debugLines.begin(), debugLines.end(), std::string(kHint))));
    } else if (admt::config() == "traced") {
        EXPECT_EQ(0, countContaining(debugLines, "Run with tracing on"));
    } else {
        // Both channels off: nothing is logged, not even on failure.
        EXPECT_TRUE(sink.debug().empty());
        EXPECT_TRUE(sink.verbose().empty());
    }
}

TEST_F(AdminLogging, ChannelsOffLogNothing) {
    ADMIN_CONFIGS("quiet");
    jvmh::SinkScope sink;
    ASSERT_TRUE(sink.active());
    Admin admin;
    std::string err = jvmh::captureStderr([&] {
        EXPECT_EQ(1, admin.attach(clusterFile(), 0));
        EXPECT_TRUE(admin.isAttached());
        EXPECT_EQ(1, admin.shutdownDaemon(0, true, true));
        EXPECT_EQ(1, admin.listDaemons());
        admin.detach();
        (void)admin.attach(std::string("/nonexistent/cluster.cfg"), 0);
        takeException();
    });
    EXPECT_TRUE(sink.debug().empty());
    EXPECT_TRUE(sink.verbose().empty());
    EXPECT_EQ("", err);
}
