/*
 * admin_test_util.h - shared pieces of the admin surface tests: the JVM
 * configuration a run belongs to, the stand-in's journal, a cluster
 * configuration file, and a fixture that starts every test from a fresh
 * cluster with no admin connection.
 */
#ifndef ADMIN_TEST_UTIL_H
#define ADMIN_TEST_UTIL_H

#include <jni.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "jvm_harness.h"
#include "mirrorbank_testctl.h"

namespace admt {

// Value of -Dbridgetest.admin.config ("" when absent).
const std::string& config();
bool inConfig(std::initializer_list<const char*> names);

// Skips the current test unless the run is in one of the named
// configurations.
#define ADMIN_CONFIGS(...)                                                        \
    do {                                                                          \
        if (!admt::inConfig({__VA_ARGS__}))                                       \
            GTEST_SKIP() << "not for configuration '" << admt::config() << "'";  \
    } while (0)

// The whole journal, and the lines of one operation.
std::vector<std::string> journal();
std::vector<std::string> journalOf(const std::string& op);
// Lines of the journal whose operation is one of `ops`, in order.
std::vector<std::string> journalOfAny(std::initializer_list<const char*> ops);

// A cluster configuration file of three daemons (written once).
const std::string& clusterFile();

bool endsWith(const std::string& text, const std::string& tail);

// Fresh cluster, no admin connection, journal on and empty.
void freshState();

class AdminTest : public jvmh::JvmTest {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Names of the admin fault-injection properties, for clearing.
extern const char* const kAdminFaultKeys[];
extern const std::size_t kAdminFaultKeyCount;

std::string faultKey(const char* flag);  // "tessera.junit." + flag
std::string crashKey(const char* flag);  // "tessera.qatest." + flag

// A region record for mbt_set_listed_stores.
mb_client_storeinfo storeRecord(const std::string& name);
mb_daemon_info daemonRecord(int index);

// jvmh::Admin whose every call is followed by an exception check, as
// -Xcheck:jni requires after any call into Java; a raised exception stays
// pending for takeException().
class Admin {
public:
    jobject object() const { return a_.object(); }
    jboolean isAttached() { return checked(a_.isAttached()); }
    jint attach(const std::optional<std::string>& cfgFile, jint localIndex) {
        return checked(a_.attach(cfgFile, localIndex));
    }
    void detach() {
        a_.detach();
        touch();
    }
    jint attachToDaemon(jint daemonIndex) { return checked(a_.attachToDaemon(daemonIndex)); }
    jint getAttachedDaemonIndex() { return checked(a_.getAttachedDaemonIndex()); }
    jint shutdownDaemon(jint daemonIndex, bool force, bool safe) {
        return checked(a_.shutdownDaemon(daemonIndex, force, safe));
    }
    jint listDaemons() { return checked(a_.listDaemons()); }
    jint listGlobalRegions() { return checked(a_.listGlobalRegions()); }
    jint listLocalRegions() { return checked(a_.listLocalRegions()); }
    jint listRegion(const std::optional<std::string>& name) { return checked(a_.listRegion(name)); }
    jint deleteRegion(const std::optional<std::string>& name, bool force) {
        return checked(a_.deleteRegion(name, force));
    }
    jint listRecoveryRegionsAndDaemon(jint localIndex, const std::optional<std::string>& cfgFile,
                                      const std::optional<std::string>& prefix) {
        return checked(a_.listRecoveryRegionsAndDaemon(localIndex, cfgFile, prefix));
    }
    std::vector<jvmh::RegionInfo> regions() { return a_.regions(); }
    std::vector<jvmh::DaemonInfo> daemons() { return a_.daemons(); }
    void clearResults() { a_.clearResults(); }

private:
    static void touch() { jvmh::env()->ExceptionCheck(); }
    template <typename T>
    static T checked(T value) {
        touch();
        return value;
    }
    jvmh::Admin a_;
};

// A ThrowingAdmin object (tessera.bridgetest.admin.ThrowingAdmin): the admin
// natives are called on it through the ReplicatedStoreAdmin method IDs.
class ThrowingAdmin {
public:
    ThrowingAdmin();
    ~ThrowingAdmin();
    ThrowingAdmin(const ThrowingAdmin&) = delete;
    ThrowingAdmin& operator=(const ThrowingAdmin&) = delete;
    bool valid() const { return obj_ != nullptr; }

    void throwAtRegionCall(int n);
    void throwAtDaemonCall(int n);
    int regionCalls();
    int daemonCalls();
    std::string regionNames();

    jint attach(const std::string& cfg, jint localIndex);
    void detach();
    jint listDaemons();
    jint listGlobalRegions();
    jint listLocalRegions();
    jint listRegion(const std::string& name);
    jint listRecoveryRegionsAndDaemon(jint localIndex, const std::string& cfg, const char* prefix);

private:
    jobject obj_;
};

// Whether a component of the n-th record of admin.daemons()/regions() is a
// null reference (the harness reads null strings as "").
bool daemonStringIsNull(Admin& admin, int n, const char* component);
bool regionStringIsNull(Admin& admin, int n, const char* component);

// Assertions shared by the test files.
namespace expect {

inline const std::string kAdminPrefix = "Java_tessera_store_io_file_ReplicatedStoreAdmin_";

inline std::string statusPiece(int status, int error) {
    return "(status=" + std::to_string(status) + " error=" + std::to_string(error) + " Detail: ";
}

// A native method that raises returns no value to its caller (the JVM
// reports 0 through JNI, Java code sees only the exception), so failures are
// checked through the exception alone.
// Expects an IOException whose text ends with `tail` and, when given,
// carries the client status piece.
inline void expectIOException(const std::string& tail, int status = 0, int error = 0) {
    jvmh::PendingException ex = jvmh::takeException();
    ASSERT_TRUE(ex.present) << "expected an IOException ending with: " << tail;
    EXPECT_EQ("java.io.IOException", ex.cls);
    EXPECT_TRUE(endsWith(ex.msg, tail)) << ex.msg;
    if (status != 0) {
        EXPECT_NE(std::string::npos, ex.msg.find(statusPiece(status, error))) << ex.msg;
        // Reports of client failures carry the reporting position first.
        EXPECT_EQ(0u, ex.msg.rfind("rs_admin:", 0)) << ex.msg;
    }
}

inline void expectNoException() {
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_FALSE(ex.present) << jvmh::describe(ex);
}

// The text of a log line after its "file:line: " prefix.
inline std::string body(const std::string& line) {
    std::size_t first = line.find(": ");
    return first == std::string::npos ? line : line.substr(first + 2);
}

inline std::vector<std::string> bodies(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(body(l));
    return out;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const auto& l : lines) {
        if (l == wanted) return true;
    }
    return false;
}

inline int countContaining(const std::vector<std::string>& lines, const std::string& part) {
    int n = 0;
    for (const auto& l : lines) {
        if (l.find(part) != std::string::npos) ++n;
    }
    return n;
}

}  // namespace expect

}  // namespace admt

#endif  // ADMIN_TEST_UTIL_H
