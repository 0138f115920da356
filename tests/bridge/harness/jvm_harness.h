/*
 * jvm_harness.h - runs GoogleTest cases against the bridge inside a real JVM.
 *
 * One JVM per test process, started with the invocation API. The bridge is
 * loaded with System.load(<absolute path>), so JNI_OnLoad runs exactly as in
 * production; the test binary is also linked against the bridge and the
 * stand-in client library, and since the dynamic loader maps a file only
 * once, the globals the tests read through the headers are the ones the JVM
 * works with.
 *
 * Command line of a test binary:
 *   --jvm-opt=X   adds X to the JVM options (repeatable), e.g.
 *                 --jvm-opt=-Dtessera.debug.DebugStoreIOPhysical=true
 *                 --jvm-opt=-Xcheck:jni
 *                 --jvm-opt=-Djava.class.path=... replaces the default class
 *                 path (the jar plus the test support classes).
 *   Every other argument goes to GoogleTest.
 * These arguments are removed before GoogleTest sees argv.
 *
 * Typical test file:
 *
 *   #include "jvm_harness.h"
 *   class MyTest : public jvmh::JvmTest {};
 *   TEST_F(MyTest, Something) {
 *       jvmh::SinkScope sink;                        // record log lines
 *       if (!sink.active()) GTEST_SKIP() << "no NativeCallbacks";
 *       jlong h = jvmh::rio::open("r1", {{"CandidateHandle", "3"}});
 *       auto ex = jvmh::takeException();             // ex.present, ex.cls, ex.msg
 *       std::string err = jvmh::captureStderr([&] { ... });
 *   }
 *
 * and link the target `jvm_harness_main` (which provides main()), or write a
 * main() that calls jvmh::runAllTests(argc, argv). The stand-in's call
 * journal is read through standin_journal.h.
 *
 * Rules for test code, enforced by -Xcheck:jni runs:
 *  - JNIEnv pointers belong to their thread: use jvmh::env() on the main
 *    thread, the argument of onAttachedThread() elsewhere.
 *  - Derive fixtures from jvmh::JvmTest: each test runs inside a local
 *    reference frame, so local references never pile up, and a test that
 *    leaves a Java exception pending fails.
 *  - After any call into Java that may throw, take or check the exception
 *    before the next JNI call (takeException() does both).
 */
#ifndef JVM_HARNESS_H
#define JVM_HARNESS_H

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace jvmh {

// ---------------------------------------------------------------- process

// The whole main(): strips --jvm-opt arguments, starts the JVM, loads the
// bridge, runs GoogleTest. Returns the process exit code.
int runAllTests(int argc, char** argv);

// The steps of runAllTests, for a main() that needs to act in between.
// Removes every --jvm-opt=X from argv (updating *argc) and returns the X's.
std::vector<std::string> takeJvmOptions(int* argc, char** argv);
// Starts the JVM with the default options plus `options`; exits the process
// with status 2 when that fails.
void startJvm(const std::vector<std::string>& options);
// System.load of the bridge. True on success; on failure prints the Java
// exception and returns false.
bool loadBridge();

JavaVM* vm();
// The calling thread's JNIEnv, or null when the thread is not attached.
JNIEnv* env();
// Absolute path of the bridge library as loaded by System.load.
const std::string& bridgePath();
// The options the JVM was started with, in order.
const std::vector<std::string>& jvmOptions();
// True when the JVM runs with -Xcheck:jni.
bool checkJni();

// ------------------------------------------------------------- exceptions

struct PendingException {
    bool present = false;
    std::string cls;  // binary name, e.g. "java.io.IOException"
    std::string msg;  // getMessage(), "" when null
    explicit operator bool() const { return present; }
};

// Takes the pending exception of `e` (default: this thread's), clears it and
// describes it; present is false when none was pending.
PendingException takeException(JNIEnv* e = nullptr);
// Pretty form for assertion messages: "java.io.IOException: text" or "none".
std::string describe(const PendingException& ex);

// ---------------------------------------------------- strings and arrays

// Java string of UTF-16 code units (any content, including NUL and
// unpaired surrogates).
jstring newString(const std::u16string& text);
// Java string of well-formed UTF-8 text (decoded here, not by the JVM).
jstring newStringUtf8(const std::string& text);
// UTF-16 content of a Java string (empty for null).
std::u16string chars(jstring s);
// Content as standard UTF-8 (empty for null).
std::string utf8(jstring s);
// UTF-8 <-> UTF-16 for expectations; unpaired surrogates become U+FFFD.
std::u16string toUtf16(const std::string& utf8Text);
std::string toUtf8(const std::u16string& text);
// String[] of the given texts; std::nullopt elements become null.
jobjectArray stringArray(const std::vector<std::optional<std::string>>& items);
// Direct java.nio.ByteBuffer over native memory (not owned).
jobject newDirectBuffer(void* address, std::size_t capacity);

// ---------------------------------------------------- system properties

std::optional<std::string> getProperty(const std::string& name);
void setProperty(const std::string& name, const std::string& value);
void clearProperty(const std::string& name);

// Sets (or clears, with nullopt) a property for the scope, then restores it.
class ScopedProperty {
public:
    ScopedProperty(std::string name, std::optional<std::string> value);
    ~ScopedProperty();
    ScopedProperty(const ScopedProperty&) = delete;
    ScopedProperty& operator=(const ScopedProperty&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// ------------------------------------------------------ process output

struct Captured {
    std::string out;  // what went to file descriptor 1
    std::string err;  // what went to file descriptor 2
};
// Runs fn with file descriptors 1 and 2 redirected to temporary files
// (C stdio flushed before and after) and returns what was written. JVM
// diagnostics found in the captured text (-Xcheck:jni warnings, fatal
// errors) are written again to the real stdout and fail the current test,
// so capturing never hides them.
Captured captureOutput(const std::function<void()>& fn);
std::string captureStderr(const std::function<void()>& fn);
std::string captureStdout(const std::function<void()>& fn);

// ----------------------------------------------------------------- threads

// Runs fn on a new thread attached to the JVM under `threadName` (its
// Java Thread name), inside a local frame; a Java exception still pending
// when fn returns fails the test. Joins before returning.
void onAttachedThread(const std::string& threadName, const std::function<void(JNIEnv*)>& fn);
// Runs fn on a new thread that is not attached to the JVM. Joins before
// returning.
void onDetachedThread(const std::function<void()>& fn);

// -------------------------------------------------------- local frames

class LocalFrame {
public:
    explicit LocalFrame(JNIEnv* e = nullptr, jint capacity = 512);
    ~LocalFrame();
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;

private:
    JNIEnv* env_;
    bool pushed_;
};

// Base fixture: a local frame per test and no exception left pending.
class JvmTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    bool pushed_ = false;
};

// ------------------------------------------------- log line recording
//
// tessera.bridgetest.RecordingSink, installed as NativeCallbacks' sink.
// Channel names are "debug" and "verbose".
namespace sink {
// False when the class cannot be loaded (NativeCallbacks is not on the
// class path); every other call then does nothing / returns empty.
bool available();
void install();
void uninstall();
bool installed();
// Forgets the recorded lines, answers true again, stops throwing.
void reset();
// What the sink answers for the next lines.
void setAnswer(bool taken);
// When on, the sink records the line and throws a RuntimeException.
void setThrowing(bool on);
std::vector<std::string> lines(const std::string& channel);          // as UTF-8
std::vector<std::u16string> linesUtf16(const std::string& channel);  // exact
std::vector<std::string> threads(const std::string& channel);
}  // namespace sink

// Installs and resets the sink for a scope; uninstalls and resets after.
class SinkScope {
public:
    SinkScope();
    ~SinkScope();
    SinkScope(const SinkScope&) = delete;
    SinkScope& operator=(const SinkScope&) = delete;
    // False when the sink could not be installed (see sink::available).
    bool active() const { return active_; }
    std::vector<std::string> debug() const { return sink::lines("debug"); }
    std::vector<std::string> verbose() const { return sink::lines("verbose"); }

private:
    bool active_;
};

// ------------------------------------------------ calls into Java objects
//
// Every call into Java made through the harness is followed by an exception
// check (-Xcheck:jni requires one before the next JNI call); what the call
// threw stays pending for takeException().

namespace detail {
// The JNI functions that call a method returning Ret.
template <typename Ret>
struct JniCall;
#define JVMH_JNI_CALL(Ret, Type)                                           \
    template <>                                                            \
    struct JniCall<Ret> {                                                  \
        static constexpr auto onObject = &JNIEnv::Call##Type##Method;      \
        static constexpr auto onClass = &JNIEnv::CallStatic##Type##Method; \
    };
JVMH_JNI_CALL(void, Void)
JVMH_JNI_CALL(jboolean, Boolean)
JVMH_JNI_CALL(jint, Int)
JVMH_JNI_CALL(jlong, Long)
JVMH_JNI_CALL(jobject, Object)
#undef JVMH_JNI_CALL

// Checks for an exception when it goes out of scope (after the call whose
// value is being returned).
struct CheckAfter {
    JNIEnv* e;
    ~CheckAfter() { e->ExceptionCheck(); }
};
}  // namespace detail

// Instance method `name` `sig` of the class of `obj`; null, with the test
// failed, when there is none.
jmethodID methodOf(jobject obj, const char* name, const char* sig);

// Calls the instance method `name` `sig` of `obj` with `args` on this
// thread; Ret is its result type (void, jboolean, jint, jlong or jobject).
// When the method is missing nothing is called and Ret() is returned.
template <typename Ret, typename... A>
Ret call(jobject obj, const char* name, const char* sig, A... args) {
    jmethodID m = methodOf(obj, name, sig);
    if (m == nullptr) return Ret();
    detail::CheckAfter check{env()};
    return (check.e->*detail::JniCall<Ret>::onObject)(obj, m, args...);
}
// A String method without arguments, as UTF-8 ("" for null or a throw).
std::string callString(jobject obj, const char* name);

// ------------------------------------------- native methods, called as Java
//
// The static natives of tessera.store.io.file.direct.ReplicatedIONative,
// reached one of two ways:
//   rio        through the JVM (CallStatic<Type>Method), as Java code calls
//              them; a native that raises returns no value (JNI reports 0).
//   rioDirect  the bridge's exported functions called on this thread, so
//              that the value a native returns next to the exception it
//              raised can be checked too.
// Either way the call runs on the calling thread and a thrown exception
// stays pending for takeException(). rio checks for it as the calls above
// do; rioDirect adds no check of its own, so a call into Java the bridge
// makes without checking is still reported by -Xcheck:jni. Null Java
// strings are written as std::nullopt.

using ConfigPairs = std::vector<std::pair<std::string, std::string>>;

enum class Route { Jvm, Direct };

template <Route R>
struct RioCalls {
    static jlong open(jstring fname, jstring mode, jobjectArray keys, jobjectArray values);
    static jlong open(const std::string& fname, const ConfigPairs& config, const std::string& mode = "rw");
    static jlong openConsiderLock(jstring fname, jstring mode, jboolean exclusive, jobjectArray keys,
                                  jobjectArray values);
    static jlong openConsiderLock(const std::string& fname, bool exclusive, const ConfigPairs& config,
                                  const std::string& mode = "rw");
    static void close(jlong handle);
    static jlong getSize(jlong handle);
    static jint read(jlong handle, jlong filePosition, jobject buf, jint offset, jint length);
    static jint write(jlong handle, jlong filePosition, jobject buf, jint offset, jint length);
    static jobject allocate(jint size);
    static void free(jobject buf);
    static void fillBuffer(jobject buf, jint offset, jint length, jbyte value);
    static jint checkAlignment(jstring fname);
    static jlong getDeviceLimit(jlong handle);
    static jlong getDeviceUsed(jlong handle);
};
// Both are instantiated in jvm_harness.cpp.
extern template struct RioCalls<Route::Jvm>;
extern template struct RioCalls<Route::Direct>;
using rio = RioCalls<Route::Jvm>;
using rioDirect = RioCalls<Route::Direct>;

// String[] of the keys / of the values of a configuration, in order.
jobjectArray configKeys(const ConfigPairs& config);
jobjectArray configValues(const ConfigPairs& config);

struct RegionInfo {
    std::string name;
    int32_t size, used, blocksize;
    int64_t ctime, mtime, atime;
    bool open, local;
    int32_t primary, pid;
    std::string ip;
    int32_t minRedundancy, redundancy;
    int64_t nodes;
};

struct DaemonInfo {
    int32_t index;
    std::string status;
    int32_t reachable;
    std::string ip;
    int16_t port;
    int32_t shmKey;
    int64_t startTime, currentTime, totalMemory, usedMemory;
    int32_t numberStores, numberOpens, numberLocalOpens, numberResilvers, numberDaemons;
};

// One tessera.store.io.file.ReplicatedStoreAdmin object (a global reference,
// usable from any attached thread). Each call is checked as described above;
// an exception raised by the native stays pending for takeException().
class Admin {
public:
    Admin();
    // An object of `className` (binary name with '/', a subclass with a
    // no-argument constructor); the admin natives are called on it through
    // the ReplicatedStoreAdmin methods. When it cannot be made the test
    // fails and object() is null.
    explicit Admin(const char* className);
    ~Admin();
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;
    jobject object() const { return obj_; }

    jboolean isAttached();
    jint attach(const std::optional<std::string>& cfgFile, jint localIndex);
    void detach();
    jint attachToDaemon(jint daemonIndex);
    jint getAttachedDaemonIndex();
    jint shutdownDaemon(jint daemonIndex, bool force, bool safe);
    jint listDaemons();
    jint listGlobalRegions();
    jint listLocalRegions();
    jint listRegion(const std::optional<std::string>& regionName);
    jint deleteRegion(const std::optional<std::string>& regionName, bool force);
    jint listRecoveryRegionsAndDaemon(jint localIndex, const std::optional<std::string>& cfgFile,
                                      const std::optional<std::string>& prefix);
    // What the listings delivered through addRegionInfo / addDaemonInfo.
    std::vector<RegionInfo> regions();
    std::vector<DaemonInfo> daemons();
    void clearResults();

private:
    jobject obj_;
};

// Looks up every method the wrappers above call (native methods, the admin
// callbacks and accessors, the sink) and returns one line per method that
// does not resolve; empty when all do. Clears what the lookups raise.
std::vector<std::string> unresolvedMethods();

}  // namespace jvmh

#endif  // JVM_HARNESS_H
