/*
 * fault_tests.cpp - fault-injection flags around open and close, the
 * configuration-passing open, and the failure events armed around them.
 */
#include "io_support.h"

using namespace iot;
using jvmh::takeException;

namespace {

const char* const kPassing = "tessera.junit.testConfigPassing";

std::string eventLine(int client, int arm, int target, unsigned handle, const std::string& name) {
    return "mb_event client=" + std::to_string(client) + " arm=" + std::to_string(arm) +
           " c1=1 c2=1 c3=3 target=" + std::to_string(target) + " c4=0 handle=" + std::to_string(handle) +
           " name=" + name;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fault flags with instrumentation on.

class FaultFlags : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        if (!instrumented()) GTEST_SKIP() << "needs -Dtessera.store.instrumentation=true";
    }
};

TEST_F(FaultFlags, ConfigurationPassingReportsThePairs) {
    faults_.set(kPassing);
    struct Case {
        jvmh::ConfigPairs pairs;
        std::string message;
    };
    const Case cases[] = {
        {{{"a", "1"}, {"b", "2"}}, "a=1,b=2"},
        {{{"a", "1"}}, "a=1"},
        {{}, "static string to avoid npe junitResultString"},
        {{{"CandidateHandle", "4"}, {"Port", "7001"}, {"x", "y=z"}}, "CandidateHandle=4,Port=7001,x=y=z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(-1, nat::open("passing", c.pairs));
        auto ex = takeException();
        ASSERT_TRUE(ex.present);
        EXPECT_EQ("java.io.IOException", ex.cls);
        EXPECT_EQ(c.message, ex.msg);
        expectLogged("debug", "JUnit Result String=" + c.message);
    }
    EXPECT_TRUE(journal().empty()) << "no context may be built";
    EXPECT_TRUE(replicatedContextArray[4].fileDescriptor == -1);
    expectLogged("verbose", "open_replicated_internal i=0 Result String=a=1, key-value pair(a=1)", 2);
    expectLogged("verbose", "open_replicated_internal before concat Key=b Value=2 junitResultString=a=1");
    expectLogged("verbose", "open_replicated_internal i=1 Result String=a=1,b=2, key-value pair(b=2)");
    expectLogged("verbose", "open_replicated_internal junit test case exception thrown with key value pairs", 4);
    expectLogged("verbose", "setTestFlag Test Flag tessera.junit.testConfigPassing=true", 4);

    // Cleared, the next open opens.
    faults_.clear(kPassing);
    openOk("passing", 4);
    closeOk(4);
}

TEST_F(FaultFlags, InitFailureFinalisesTheConnectionItGot) {
    faults_.set("tessera.junit.mb_initErrorTest");
    EXPECT_EQ(-1, nat::open("noinit", config(9)));
    auto ex = takeException();
    expectIO(ex, cancelled(""), "populateConfig mb_init failed");
    EXPECT_EQ((std::vector<std::string>{"mb_init", "mb_fini"}), [] {
        std::vector<std::string> ops;
        for (const auto& l : journal()) ops.push_back(l.substr(0, l.find(' ')));
        return ops;
    }());
    EXPECT_EQ("mb_fini client=1", journalOf("mb_fini").at(0));
    EXPECT_EQ(0, mbt_live_connections());
    EXPECT_EQ(-1, replicatedContextArray[9].fileDescriptor);
    EXPECT_EQ(nullptr, replicatedContextArray[9].client_ctx);
    expectLogged("verbose", "setTestFlag Test Flag tessera.junit.mb_initErrorTest=true");
}

TEST_F(FaultFlags, OpenstoreFlagUsesTheKeyThatEndsInKey) {
    faults_.set("tessera.junit.mb_openstoreErrorTest");  // not the key: no effect
    openOk("keyed", 1);
    closeOk(1);

    faults_.set("tessera.junit.mb_openstoreErrorTestKey");
    mbt_journal_clear();
    EXPECT_EQ(-1, nat::open("keyed", config(2)));
    auto ex = takeException();
    expectIO(ex, cancelled(""), "fileio_mb_open mb_openstore failed. Store name=keyed ");
    // The library did open; the bridge holds handle 0 and does not ask for
    // the store information.
    EXPECT_EQ(1, journalCount("mb_openstore"));
    EXPECT_EQ(0, journalCount("mb_get_storeinfo"));
    EXPECT_EQ(0u, replicatedContextArray[2].handle);
    EXPECT_EQ(0, replicatedContextArray[2].closeCount);
    expectLogged("verbose", "setTestFlag Test Flag tessera.junit.mb_openstoreErrorTestKey=true");
}

TEST_F(FaultFlags, OpenStoreInfoFlagClosesAgain) {
    faults_.set("tessera.junit.fileio_mb_open_mb_get_storeinfoErrorTest");
    EXPECT_EQ(-1, nat::open("infofail", config(3)));
    auto ex = takeException();
    expectIO(ex, cancelled(""), "fileio_mb_open mb_get_storeinfo failed. Store name=infofail ");
    EXPECT_EQ(1, journalCount("mb_closestore"));
    EXPECT_EQ(1, journalCount("mb_fini"));
    EXPECT_EQ(1, replicatedContextArray[3].closeCount);
    EXPECT_EQ(0, mbt_live_connections());
}

TEST_F(FaultFlags, CloseFlagsAndSwitchingBetweenOperations) {
    jlong a = openOk("closeA", 1);
    jlong b = openOk("closeB", 2);
    jlong c = openOk("closeC", 3);

    faults_.set("tessera.junit.mb_closestoreErrorTest");
    mbt_journal_clear();
    nat::close(a);
    auto ex = takeException();
    expectIO(ex, cancelled("closeA"), "fileio_mb_close mb_closestore failed.");
    EXPECT_EQ(1, journalCount("mb_closestore"));
    EXPECT_EQ(0, journalCount("mb_fini")) << "mb_fini must not follow a failed close";
    EXPECT_EQ(3, mbt_live_connections());
    expectLogged("verbose", "fileio_mb_close failed, mb_fini not called");

    faults_.clear("tessera.junit.mb_closestoreErrorTest");
    faults_.set("tessera.junit.mb_finiErrorTest");
    mbt_journal_clear();
    nat::close(b);
    ex = takeException();
    expectIO(ex, cancelled("closeB"), "fileio_mb_close mb_fini failed.");
    EXPECT_EQ(1, journalCount("mb_fini"));
    expectLogged("verbose", "fileio_mb_close mb_fini failed");

    // Cleared between two operations: the next close succeeds.
    faults_.clear("tessera.junit.mb_finiErrorTest");
    jvmh::sink::reset();
    closeOk(c);
    expectLogged("verbose", "fileio_mb_close end");
    // Each close refreshed its four flags, in order, all false now.
    std::vector<std::string> flagLines;
    for (const auto& l : bodies(jvmh::sink::lines("verbose")))
        if (l.rfind("setTestFlag Test Flag ", 0) == 0) flagLines.push_back(l);
    if (verboseOn()) {
        EXPECT_EQ((std::vector<std::string>{
                      "setTestFlag Test Flag tessera.junit.mb_closestoreErrorTest=false",
                      "setTestFlag Test Flag tessera.junit.mb_finiErrorTest=false",
                      "setTestFlag Test Flag tessera.qatest.crash_primary_daemon_during_closestoreTest=false",
                      "setTestFlag Test Flag tessera.qatest.crash_storejvm_during_closestoreTest=false"}),
                  flagLines);
    } else {
        EXPECT_TRUE(flagLines.empty());
    }
}

TEST_F(FaultFlags, OpenEventsPrimaryDaemonOnly) {
    faults_.set("tessera.qatest.crash_primary_daemon_during_openstoreTest");
    // A crash flag of another phase has no effect on an open.
    faults_.set("tessera.qatest.crash_primary_daemon_during_writeTest");
    faults_.set("tessera.qatest.crash_primary_daemon_during_closestoreTest", "false");
    openOk("evopen", 1, {{"MaxReplicaCount", "2"}});
    EXPECT_EQ((std::vector<std::string>{
                  eventLine(1, 1, 1, 0, "evopen"),
                  "mb_openstore client=1 min=0 max=2 flags=6 size=0 blocksize=0 name=evopen",
                  eventLine(1, 0, 1, 1, "evopen")}),
              journalOfAny({"mb_event", "mb_openstore"}));
    // The armed event fired inside mb_openstore: the primary went down and
    // the region lives on its second copy.
    EXPECT_EQ(0, mbt_daemon_is_up(0));
    closeOk(1);
}

TEST_F(FaultFlags, OpenEventsStoreProcessAndDisarmAfterFailure) {
    faults_.set("tessera.qatest.crash_storejvm_during_openstoreTest");
    // The process event would end the process inside mb_openstore: make the
    // open fail before the library looks at its events.
    mbt_force("mb_openstore", 1, MB_FAIL, MB_ERR_NOMEM);
    EXPECT_EQ(-1, nat::open("evjvm", config(1)));
    takeException();
    EXPECT_EQ((std::vector<std::string>{eventLine(1, 1, 3, 0, "evjvm"),
                                        "mb_openstore client=1 min=0 max=0 flags=6 size=0 blocksize=0 name=evjvm",
                                        eventLine(1, 0, 3, 0, "evjvm")}),
              journalOfAny({"mb_event", "mb_openstore"}));
}

TEST_F(FaultFlags, CloseEventsAndTheAbortedSecondClose) {
    faults_.set("tessera.qatest.crash_primary_daemon_during_closestoreTest");
    jlong h = openOk("evclose", 1);
    EXPECT_EQ(0, journalCount("mb_event")) << "close events are not armed by an open";
    mbt_journal_clear();
    closeOk(h);
    EXPECT_EQ((std::vector<std::string>{eventLine(1, 1, 1, 1, "evclose"), "mb_closestore client=1 handle=1 flags=0",
                                        eventLine(1, 0, 1, 1, "evclose"), "mb_fini client=1"}),
              journalOfAny({"mb_event", "mb_closestore", "mb_fini"}));

    // Closed already: the event is armed again, never disarmed, and the
    // finalised connection refuses it, which only the debug channel shows.
    mbt_journal_clear();
    jvmh::sink::reset();
    closeOk(h);
    EXPECT_EQ((std::vector<std::string>{"mb_event client=-1 arm=1 c1=1 c2=1 c3=3 target=1 c4=0 handle=1 name=evclose"}),
              journalOfAny({"mb_event", "mb_closestore", "mb_fini"}));
    expectLogged("debug", "registerMBFailureEvent crash_primary_daemon_during_closestoreTest register failed. status=2:" +
                              std::to_string(MB_ERR_FREEDCTX) + ", Detail: " + errorText(2, MB_ERR_FREEDCTX));
}

TEST_F(FaultFlags, FailedArmAndDisarmMessagesOfTheStoreProcessCloseEvent) {
    faults_.set("tessera.qatest.crash_storejvm_during_closestoreTest");
    jlong h = openOk("evmsg", 1);
    mbt_journal_clear();
    mbt_force("mb_event", -1, MB_FAIL, MB_ERR_OTHER);
    closeOk(h);  // arming and disarming never change the outcome
    mbt_clear_forced();
    EXPECT_EQ((std::vector<std::string>{eventLine(1, 1, 3, 1, "evmsg"), "mb_closestore client=1 handle=1 flags=0",
                                        eventLine(1, 0, 3, 1, "evmsg"), "mb_fini client=1"}),
              journalOfAny({"mb_event", "mb_closestore", "mb_fini"}));
    std::string tail = " failed. status=2:8, Detail: " + errorText(2, MB_ERR_OTHER);
    expectLogged("debug", "registerMBFailureEvent crash_storejvm_during_closestoreTestKey register" + tail);
    expectLogged("debug", "unregisterMBFailureEvent crash_storejvm_during_closestoreTest unregister" + tail);
}

// ---------------------------------------------------------------------------
// Without instrumentation every fault property is inert.

class FaultFlagsInert : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        if (instrumented()) GTEST_SKIP() << "only without instrumentation";
    }
};

TEST_F(FaultFlagsInert, NoPropertyHasAnyEffect) {
    for (const auto& key : allFaultKeys()) faults_.set(key);
    jlong h = openOk("inert", 1, {{"MaxReplicaCount", "2"}});
    NativeBuffer buf(8192);
    buf.pattern(11);
    EXPECT_EQ(8192, writeBytes(h, 0, buf, 0, 8192));
    EXPECT_FALSE(takeException().present);
    NativeBuffer back(8192);
    EXPECT_EQ(8192, readBytes(h, 0, back, 0, 8192));
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, std::memcmp(buf.data(), back.data(), 8192));
    EXPECT_GT(nat::getDeviceLimit(h), 0);
    EXPECT_GE(nat::getDeviceUsed(h), 0);
    EXPECT_FALSE(takeException().present);
    closeOk(h);
    EXPECT_EQ(0, journalCount("mb_event"));
    EXPECT_EQ(0, countBodyPrefix("verbose", "setTestFlag"));
    EXPECT_EQ(0, countBodyPrefix("debug", "setTestFlag"));
    EXPECT_EQ(3, mbt_daemon_count());
    for (int d = 0; d < 3; ++d) EXPECT_EQ(1, mbt_daemon_is_up(d));
}
