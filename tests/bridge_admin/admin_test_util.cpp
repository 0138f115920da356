/*
 * admin_test_util.cpp - shared pieces of the admin surface tests.
 */
#include "admin_test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <unistd.h>

#include "rs_admin.h"

namespace admt {

const std::string& config() {
    static const std::string value = jvmh::getProperty("bridgetest.admin.config").value_or("");
    return value;
}

bool inConfig(std::initializer_list<const char*> names) {
    for (const char* n : names) {
        if (config() == n) return true;
    }
    return false;
}

const std::string& clusterFile() {
    static const std::string path = [] {
        std::string p = ::testing::TempDir() + "bridge_admin_cluster_" + std::to_string(::getpid()) + ".cfg";
        std::ofstream out(p);
        out << "# three daemons, as the default cluster\ndaemons 3\nmemory 1G\n";
        return p;
    }();
    return path;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

const char* const kAdminFaultKeys[] = {
    "tessera.junit.admintool_mb_initErrorTest",
    "tessera.junit.admintool_mb_admin_attach_daemonAfterInitErrorTest",
    "tessera.junit.admintool_mb_finiErrorTest",
    "tessera.junit.admintool_mb_admin_shutdown_daemonErrorTest",
    "tessera.junit.admintool_mb_admin_get_storeinfoErrorTest",
    "tessera.junit.admintool_mb_admin_delete_storeErrorTest",
    "tessera.junit.admintool_mb_admin_enumerate_storesErrorTest",
    "tessera.junit.admintool_mb_admin_enumerate_global_storesErrorTest",
    "tessera.junit.admintool_mb_admin_enumerate_daemonsErrorTest",
    "tessera.junit.admintool_mb_admin_get_attached_daemonErrorTest",
    "tessera.junit.admintool_mb_admin_attach_daemonErrorTest",
    "tessera.junit.used_memory_mb_get_local_daemon_infoErrorTest",
    "tessera.qatest.crash_primary_daemon_during_deleteTest",
    "tessera.qatest.crash_storejvm_during_deleteTest",
    "tessera.qatest.crash_secondary_daemon_during_deleteTest",
};
const std::size_t kAdminFaultKeyCount = sizeof kAdminFaultKeys / sizeof kAdminFaultKeys[0];

std::string faultKey(const char* flag) { return std::string("tessera.junit.") + flag; }
std::string crashKey(const char* flag) { return std::string("tessera.qatest.") + flag; }

void freshState() {
    for (std::size_t i = 0; i < kAdminFaultKeyCount; ++i) jvmh::clearProperty(kAdminFaultKeys[i]);
    debug = 0;
    if (ctx != nullptr) {
        jvmh::Admin admin;
        admin.detach();
        jvmh::takeException();
    }
    // A connection the stand-in no longer knows is forgotten with it.
    ctx = nullptr;
    mbt_reset();
    mbt_journal_enable(1);
    mbt_journal_clear();
}

void AdminTest::SetUp() {
    jvmh::JvmTest::SetUp();
    freshState();
}

void AdminTest::TearDown() {
    JNIEnv* e = jvmh::env();
    if (e != nullptr && e->ExceptionCheck()) {
        jvmh::PendingException ex = jvmh::takeException(e);
        ADD_FAILURE() << "test left a Java exception pending: " << jvmh::describe(ex);
    }
    freshState();
    jvmh::JvmTest::TearDown();
}

mb_client_storeinfo storeRecord(const std::string& name) {
    mb_client_storeinfo r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.name, name.c_str(), std::min(name.size(), sizeof r.name - 1));
    r.size = 1 << 20;
    r.used = 4096;
    r.blocksize = 4096;
    r.ip = htonl(0x7f000001);
    return r;
}

mb_daemon_info daemonRecord(int index) {
    mb_daemon_info d;
    std::memset(&d, 0, sizeof d);
    d.dindex = index;
    d.status = MB_DAEMON_UP;
    d.reachable = 1;
    d.ip = htonl(0x0a000001 + static_cast<uint32_t>(index));
    d.port = htons(7000);
    return d;
}

// ----------------------------------------------------------- null checks

static bool componentIsNull(jvmh::Admin& admin, const char* listMethod, int n, const char* component) {
    JNIEnv* e = jvmh::env();
    jvmh::LocalFrame frame(e, 16);
    jobject list = jvmh::call<jobject>(admin.object(), listMethod, "()Ljava/util/List;");
    jobject rec = nullptr;
    if (list != nullptr && !e->ExceptionCheck()) {
        rec = jvmh::call<jobject>(list, "get", "(I)Ljava/lang/Object;", jint(n));
    }
    if (rec == nullptr || e->ExceptionCheck()) {
        ADD_FAILURE() << listMethod << "() has no record " << n << ": " << jvmh::describe(jvmh::takeException(e));
        return false;
    }
    jobject value = jvmh::call<jobject>(rec, component, "()Ljava/lang/String;");
    if (e->ExceptionCheck()) {
        ADD_FAILURE() << component << "() threw " << jvmh::describe(jvmh::takeException(e));
        return false;
    }
    return value == nullptr;
}

bool daemonStringIsNull(jvmh::Admin& admin, int n, const char* component) {
    return componentIsNull(admin, "daemons", n, component);
}

bool regionStringIsNull(jvmh::Admin& admin, int n, const char* component) {
    return componentIsNull(admin, "regions", n, component);
}

}  // namespace admt
