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

std::vector<std::string> journal() {
    std::vector<std::string> out;
    int n = mbt_journal_count();
    for (int i = 0; i < n; ++i) {
        const char* line = mbt_journal_line(i);
        out.push_back(line != nullptr ? line : "");
    }
    return out;
}

static bool isOp(const std::string& line, const std::string& op) {
    return line.compare(0, op.size(), op) == 0 && (line.size() == op.size() || line[op.size()] == ' ');
}

std::vector<std::string> journalOf(const std::string& op) {
    std::vector<std::string> out;
    for (const auto& line : journal()) {
        if (isOp(line, op)) out.push_back(line);
    }
    return out;
}

std::vector<std::string> journalOfAny(std::initializer_list<const char*> ops) {
    std::vector<std::string> out;
    for (const auto& line : journal()) {
        for (const char* op : ops) {
            if (isOp(line, op)) {
                out.push_back(line);
                break;
            }
        }
    }
    return out;
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
        Admin admin;
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

// ------------------------------------------------------------ ThrowingAdmin

namespace {
const char* const kThrowingClass = "tessera/bridgetest/admin/ThrowingAdmin";

jmethodID method(JNIEnv* e, jobject obj, const char* name, const char* sig) {
    jclass c = e->GetObjectClass(obj);
    jmethodID m = e->GetMethodID(c, name, sig);
    e->DeleteLocalRef(c);
    if (m == nullptr) {
        jvmh::takeException(e);
        ADD_FAILURE() << "no method " << name << sig;
    }
    return m;
}

jstring str(JNIEnv*, const char* text) { return text != nullptr ? jvmh::newStringUtf8(text) : nullptr; }
}  // namespace

ThrowingAdmin::ThrowingAdmin() : obj_(nullptr) {
    JNIEnv* e = jvmh::env();
    jclass c = e->FindClass(kThrowingClass);
    if (c == nullptr) {
        ADD_FAILURE() << "class " << kThrowingClass << " not found: " << jvmh::describe(jvmh::takeException(e));
        return;
    }
    jobject local = e->NewObject(c, e->GetMethodID(c, "<init>", "()V"));
    if (local != nullptr) {
        obj_ = e->NewGlobalRef(local);
        e->DeleteLocalRef(local);
    }
    e->DeleteLocalRef(c);
}

ThrowingAdmin::~ThrowingAdmin() {
    JNIEnv* e = jvmh::env();
    if (e != nullptr && obj_ != nullptr) e->DeleteGlobalRef(obj_);
}

void ThrowingAdmin::throwAtRegionCall(int n) {
    JNIEnv* e = jvmh::env();
    e->CallVoidMethod(obj_, method(e, obj_, "throwAtRegionCall", "(I)V"), n);
    e->ExceptionCheck();
}

void ThrowingAdmin::throwAtDaemonCall(int n) {
    JNIEnv* e = jvmh::env();
    e->CallVoidMethod(obj_, method(e, obj_, "throwAtDaemonCall", "(I)V"), n);
    e->ExceptionCheck();
}

int ThrowingAdmin::regionCalls() {
    JNIEnv* e = jvmh::env();
    int n = e->CallIntMethod(obj_, method(e, obj_, "regionCalls", "()I"));
    e->ExceptionCheck();
    return n;
}

int ThrowingAdmin::daemonCalls() {
    JNIEnv* e = jvmh::env();
    int n = e->CallIntMethod(obj_, method(e, obj_, "daemonCalls", "()I"));
    e->ExceptionCheck();
    return n;
}

std::string ThrowingAdmin::regionNames() {
    JNIEnv* e = jvmh::env();
    jstring s = static_cast<jstring>(e->CallObjectMethod(obj_, method(e, obj_, "regionNames", "()Ljava/lang/String;")));
    e->ExceptionCheck();
    std::string out = jvmh::utf8(s);
    e->DeleteLocalRef(s);
    return out;
}

jint ThrowingAdmin::attach(const std::string& cfg, jint localIndex) {
    JNIEnv* e = jvmh::env();
    jstring s = str(e, cfg.c_str());
    jint r = e->CallIntMethod(obj_, method(e, obj_, "attach", "(Ljava/lang/String;I)I"), s, localIndex);
    e->ExceptionCheck();
    e->DeleteLocalRef(s);
    return r;
}

void ThrowingAdmin::detach() {
    JNIEnv* e = jvmh::env();
    e->CallVoidMethod(obj_, method(e, obj_, "detach", "()V"));
    e->ExceptionCheck();
}

jint ThrowingAdmin::listDaemons() {
    JNIEnv* e = jvmh::env();
    jint r = e->CallIntMethod(obj_, method(e, obj_, "listDaemons", "()I"));
    e->ExceptionCheck();
    return r;
}

jint ThrowingAdmin::listGlobalRegions() {
    JNIEnv* e = jvmh::env();
    jint r = e->CallIntMethod(obj_, method(e, obj_, "listGlobalRegions", "()I"));
    e->ExceptionCheck();
    return r;
}

jint ThrowingAdmin::listLocalRegions() {
    JNIEnv* e = jvmh::env();
    jint r = e->CallIntMethod(obj_, method(e, obj_, "listLocalRegions", "()I"));
    e->ExceptionCheck();
    return r;
}

jint ThrowingAdmin::listRegion(const std::string& name) {
    JNIEnv* e = jvmh::env();
    jstring s = str(e, name.c_str());
    jint r = e->CallIntMethod(obj_, method(e, obj_, "listRegion", "(Ljava/lang/String;)I"), s);
    e->ExceptionCheck();
    e->DeleteLocalRef(s);
    return r;
}

jint ThrowingAdmin::listRecoveryRegionsAndDaemon(jint localIndex, const std::string& cfg, const char* prefix) {
    JNIEnv* e = jvmh::env();
    jstring c = str(e, cfg.c_str());
    jstring p = str(e, prefix);
    jint r = e->CallIntMethod(
        obj_, method(e, obj_, "listRecoveryRegionsAndDaemon", "(ILjava/lang/String;Ljava/lang/String;)I"),
        localIndex, c, p);
    e->ExceptionCheck();
    if (p != nullptr) e->DeleteLocalRef(p);
    e->DeleteLocalRef(c);
    return r;
}

// ----------------------------------------------------------- null checks

static bool componentIsNull(Admin& admin, const char* listMethod, int n, const char* component) {
    JNIEnv* e = jvmh::env();
    jvmh::LocalFrame frame(e, 16);
    jobject list = e->CallObjectMethod(admin.object(), method(e, admin.object(), listMethod, "()Ljava/util/List;"));
    e->ExceptionCheck();
    jclass listClass = e->FindClass("java/util/List");
    jobject rec = e->CallObjectMethod(list, e->GetMethodID(listClass, "get", "(I)Ljava/lang/Object;"), n);
    if (rec == nullptr || e->ExceptionCheck()) {
        ADD_FAILURE() << listMethod << "() has no record " << n << ": " << jvmh::describe(jvmh::takeException(e));
        return false;
    }
    jobject value = e->CallObjectMethod(rec, method(e, rec, component, "()Ljava/lang/String;"));
    if (e->ExceptionCheck()) {
        ADD_FAILURE() << component << "() threw " << jvmh::describe(jvmh::takeException(e));
        return false;
    }
    return value == nullptr;
}

bool daemonStringIsNull(Admin& admin, int n, const char* component) {
    return componentIsNull(admin, "daemons", n, component);
}

bool regionStringIsNull(Admin& admin, int n, const char* component) {
    return componentIsNull(admin, "regions", n, component);
}

}  // namespace admt
