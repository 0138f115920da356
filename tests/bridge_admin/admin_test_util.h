/*
 * admin_test_util.h - shared pieces of the admin surface tests: the JVM
 * configuration a run belongs to, a cluster configuration file, and a
 * fixture that starts every test from a fresh cluster with no admin
 * connection. The admin object itself is jvmh::Admin, the journal is read
 * through standin_journal.h.
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
#include "standin_journal.h"

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

// A ThrowingAdmin object (tessera.bridgetest.admin.ThrowingAdmin): the admin
// natives are called on it through the ReplicatedStoreAdmin method IDs.
class ThrowingAdmin : public jvmh::Admin {
public:
    ThrowingAdmin() : jvmh::Admin("tessera/bridgetest/admin/ThrowingAdmin") {}
    bool valid() const { return object() != nullptr; }

    void throwAtRegionCall(int n) { jvmh::call<void>(object(), "throwAtRegionCall", "(I)V", jint(n)); }
    void throwAtDaemonCall(int n) { jvmh::call<void>(object(), "throwAtDaemonCall", "(I)V", jint(n)); }
    int regionCalls() { return jvmh::call<jint>(object(), "regionCalls", "()I"); }
    int daemonCalls() { return jvmh::call<jint>(object(), "daemonCalls", "()I"); }
    std::string regionNames() { return jvmh::callString(object(), "regionNames"); }
};

// Whether a component of the n-th record of admin.daemons()/regions() is a
// null reference (the harness reads null strings as "").
bool daemonStringIsNull(jvmh::Admin& admin, int n, const char* component);
bool regionStringIsNull(jvmh::Admin& admin, int n, const char* component);

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
