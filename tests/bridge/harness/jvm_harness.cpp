/*
 * jvm_harness.cpp - see jvm_harness.h.
 */
#include "jvm_harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>
#include <type_traits>

#ifndef JVMH_BRIDGE_PATH
#error "JVMH_BRIDGE_PATH (absolute path of the bridge library) must be defined"
#endif
#ifndef JVMH_DEFAULT_CLASSPATH
#error "JVMH_DEFAULT_CLASSPATH must be defined"
#endif

// The natives of ReplicatedIONative as the bridge exports them (rioDirect
// calls them without the JVM in between).
extern "C" {
JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_open(JNIEnv*, jclass, jstring, jstring,
                                                                                  jobjectArray, jobjectArray);
JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_openConsiderLock(JNIEnv*, jclass, jstring,
                                                                                              jstring, jboolean,
                                                                                              jobjectArray,
                                                                                              jobjectArray);
JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_close(JNIEnv*, jclass, jlong);
JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getSize(JNIEnv*, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_read(JNIEnv*, jclass, jlong, jlong, jobject,
                                                                                jint, jint);
JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_write(JNIEnv*, jclass, jlong, jlong, jobject,
                                                                                 jint, jint);
JNIEXPORT jobject JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_allocate(JNIEnv*, jclass, jint);
JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_free(JNIEnv*, jclass, jobject);
JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer(JNIEnv*, jclass, jobject, jint,
                                                                                      jint, jbyte);
JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment(JNIEnv*, jclass, jstring);
JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit(JNIEnv*, jclass, jlong);
JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed(JNIEnv*, jclass, jlong);
}

namespace jvmh {
namespace {

JavaVM* g_vm = nullptr;
std::string g_bridgePath = JVMH_BRIDGE_PATH;
std::vector<std::string> g_options;

const char* const kRioClass = "tessera/store/io/file/direct/ReplicatedIONative";
const char* const kAdminClass = "tessera/store/io/file/ReplicatedStoreAdmin";
const char* const kSinkClass = "tessera/bridgetest/RecordingSink";

// Patterns of what the JVM prints when JNI is misused (-Xcheck:jni prints
// warnings on stdout and carries on).
const std::regex& jvmDiagnosticPattern() {
    static const std::regex re(
        "WARNING in native method|FATAL ERROR in native method|JNI call made with exception pending|"
        "WARNING: JNI local refs|exceeds capacity");
    return re;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "jvm_harness: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

JNIEnv* requireEnv(JNIEnv* e) {
    if (e != nullptr) return e;
    JNIEnv* mine = env();
    if (mine == nullptr) die("JNI used on a thread that is not attached to the JVM");
    return mine;
}

// Global reference to a class, looked up once; null (with nothing pending)
// when the class cannot be loaded.
jclass findClassGlobal(JNIEnv* e, const char* name) {
    jclass local = e->FindClass(name);
    if (local == nullptr) {
        e->ExceptionClear();
        return nullptr;
    }
    jclass global = static_cast<jclass>(e->NewGlobalRef(local));
    e->DeleteLocalRef(local);
    return global;
}

jclass requireClass(const char* name) {
    jclass c = findClassGlobal(requireEnv(nullptr), name);
    if (c == nullptr) die(std::string("class not found: ") + name);
    return c;
}

jclass g_throwableClass = nullptr;
jclass g_classClass = nullptr;
jclass g_sinkClass = nullptr;
bool g_sinkLooked = false;

// Looked up on first use, once even when that use is on several threads.
jclass systemClass() {
    static const jclass c = requireClass("java/lang/System");
    return c;
}
jclass rioClass() {
    static const jclass c = requireClass(kRioClass);
    return c;
}
jclass adminClass() {
    static const jclass c = requireClass(kAdminClass);
    return c;
}

jmethodID requireMethod(JNIEnv* e, jclass c, const char* name, const char* sig, bool isStatic) {
    jmethodID m = isStatic ? e->GetStaticMethodID(c, name, sig) : e->GetMethodID(c, name, sig);
    if (m == nullptr) {
        e->ExceptionClear();
        die(std::string(isStatic ? "static method" : "method") + " not found: " + name + sig);
    }
    return m;
}

jmethodID staticMethod(JNIEnv* e, jclass c, const char* name, const char* sig) {
    return requireMethod(e, c, name, sig, true);
}

jmethodID instanceMethod(JNIEnv* e, jclass c, const char* name, const char* sig) {
    return requireMethod(e, c, name, sig, false);
}

jstring optString(const std::optional<std::string>& s) {
    return s ? newStringUtf8(*s) : nullptr;
}

// Removes the pending exception when there is one and fails the test with
// its description: for harness-internal calls that must not throw.
void expectNoException(JNIEnv* e, const char* what) {
    if (e->ExceptionCheck()) {
        PendingException ex = takeException(e);
        ADD_FAILURE() << what << " threw " << describe(ex);
    }
}

std::vector<std::string> toVector(JNIEnv* e, jobjectArray arr) {
    std::vector<std::string> out;
    if (arr == nullptr) return out;
    jsize n = e->GetArrayLength(arr);
    for (jsize i = 0; i < n; ++i) {
        jstring s = static_cast<jstring>(e->GetObjectArrayElement(arr, i));
        out.push_back(utf8(s));
        e->DeleteLocalRef(s);
    }
    return out;
}

class FdRedirect {
public:
    explicit FdRedirect(int fd) : fd_(fd) {
        char path[] = "/tmp/jvmh_capture_XXXXXX";
        tmp_ = mkstemp(path);
        if (tmp_ < 0) die("mkstemp failed");
        unlink(path);
        saved_ = dup(fd_);
        if (saved_ < 0 || dup2(tmp_, fd_) < 0) die("dup/dup2 failed");
    }
    // Restores the descriptor and returns what was written meanwhile.
    std::string finish() {
        dup2(saved_, fd_);
        close(saved_);
        std::string text;
        lseek(tmp_, 0, SEEK_SET);
        char buf[8192];
        ssize_t n;
        while ((n = ::read(tmp_, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
        close(tmp_);
        return text;
    }

private:
    int fd_;
    int tmp_;
    int saved_;
};

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

// ---------------------------------------------------------------- process

std::vector<std::string> takeJvmOptions(int* argc, char** argv) {
    static const std::string prefix = "--jvm-opt=";
    std::vector<std::string> opts;
    int out = 1;
    for (int i = 1; i < *argc; ++i) {
        std::string a = argv[i];
        if (a.compare(0, prefix.size(), prefix) == 0) {
            opts.push_back(a.substr(prefix.size()));
        } else {
            argv[out++] = argv[i];
        }
    }
    *argc = out;
    argv[out] = nullptr;
    return opts;
}

void startJvm(const std::vector<std::string>& options) {
    if (g_vm != nullptr) die("startJvm called twice");
    bool hasClassPath = false;
    for (const auto& o : options) {
        if (o.rfind("-Djava.class.path=", 0) == 0) hasClassPath = true;
    }
    g_options.clear();
    if (!hasClassPath) g_options.push_back(std::string("-Djava.class.path=") + JVMH_DEFAULT_CLASSPATH);
    g_options.push_back("-Dfile.encoding=UTF-8");
    g_options.push_back("-XX:+UseSerialGC");
    g_options.push_back("-Xmx256m");
    g_options.insert(g_options.end(), options.begin(), options.end());

    std::vector<JavaVMOption> jopts(g_options.size());
    for (size_t i = 0; i < g_options.size(); ++i) {
        jopts[i].optionString = const_cast<char*>(g_options[i].c_str());
        jopts[i].extraInfo = nullptr;
    }
    JavaVMInitArgs args;
    args.version = JNI_VERSION_10;
    args.nOptions = static_cast<jint>(jopts.size());
    args.options = jopts.data();
    args.ignoreUnrecognized = JNI_FALSE;
    JNIEnv* e = nullptr;
    jint rc = JNI_CreateJavaVM(&g_vm, reinterpret_cast<void**>(&e), &args);
    if (rc != JNI_OK) die("JNI_CreateJavaVM failed with " + std::to_string(rc));
    g_throwableClass = findClassGlobal(e, "java/lang/Throwable");
    g_classClass = findClassGlobal(e, "java/lang/Class");
    systemClass();
}

bool loadBridge() {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 16);
    // Through a class of the application class path: a System.load made
    // straight from JNI has no caller class and would bind the library to
    // the boot loader, where application classes' native methods are never
    // looked up.
    jclass loader = e->FindClass("tessera/bridgetest/BridgeLoader");
    if (loader == nullptr) {
        PendingException missing = takeException(e);
        std::fprintf(stderr, "jvm_harness: tessera.bridgetest.BridgeLoader not found: %s\n", describe(missing).c_str());
        return false;
    }
    jmethodID load = staticMethod(e, loader, "load", "(Ljava/lang/String;)V");
    jstring path = newStringUtf8(g_bridgePath);
    e->CallStaticVoidMethod(loader, load, path);
    PendingException ex = takeException(e);
    if (ex) {
        std::fprintf(stderr, "jvm_harness: System.load(%s) threw %s\n", g_bridgePath.c_str(), describe(ex).c_str());
        return false;
    }
    return true;
}

int runAllTests(int argc, char** argv) {
    std::vector<std::string> opts = takeJvmOptions(&argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    startJvm(opts);
    if (!loadBridge()) return 2;
    int rc = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    // The JVM is not destroyed: the bridge keeps process-wide state for the
    // life of the process, as in production.
    return rc;
}

JavaVM* vm() { return g_vm; }

JNIEnv* env() {
    if (g_vm == nullptr) return nullptr;
    JNIEnv* e = nullptr;
    if (g_vm->GetEnv(reinterpret_cast<void**>(&e), JNI_VERSION_1_2) != JNI_OK) return nullptr;
    return e;
}

const std::string& bridgePath() { return g_bridgePath; }
const std::vector<std::string>& jvmOptions() { return g_options; }

bool checkJni() {
    for (const auto& o : g_options) {
        if (o == "-Xcheck:jni") return true;
    }
    return false;
}

// ------------------------------------------------------------- exceptions

PendingException takeException(JNIEnv* e) {
    e = requireEnv(e);
    PendingException ex;
    jthrowable t = e->ExceptionOccurred();
    if (t == nullptr) return ex;
    e->ExceptionClear();
    ex.present = true;
    if (e->PushLocalFrame(8) != 0) {
        e->ExceptionClear();
        ex.cls = "?";
        return ex;
    }
    jclass tc = e->GetObjectClass(t);
    jmethodID getName = e->GetMethodID(g_classClass, "getName", "()Ljava/lang/String;");
    jstring name = static_cast<jstring>(e->CallObjectMethod(tc, getName));
    if (e->ExceptionCheck()) {
        e->ExceptionClear();
        name = nullptr;
    }
    jmethodID getMessage = e->GetMethodID(g_throwableClass, "getMessage", "()Ljava/lang/String;");
    jstring msg = static_cast<jstring>(e->CallObjectMethod(t, getMessage));
    if (e->ExceptionCheck()) {
        e->ExceptionClear();
        msg = nullptr;
    }
    ex.cls = name != nullptr ? utf8(name) : "?";
    ex.msg = msg != nullptr ? utf8(msg) : "";
    e->PopLocalFrame(nullptr);
    e->DeleteLocalRef(t);
    return ex;
}

std::string describe(const PendingException& ex) {
    if (!ex.present) return "none";
    return ex.cls + ": " + ex.msg;
}

// ---------------------------------------------------- strings and arrays

std::u16string toUtf16(const std::string& s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (i + n > s.size()) {
            out += u'\uFFFD';
            break;
        }
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string toUtf8(const std::u16string& t) {
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
        char32_t c = t[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (t[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

jstring newString(const std::u16string& text) {
    JNIEnv* e = requireEnv(nullptr);
    jstring s = e->NewString(reinterpret_cast<const jchar*>(text.data()), static_cast<jsize>(text.size()));
    expectNoException(e, "NewString");
    return s;
}

jstring newStringUtf8(const std::string& text) { return newString(toUtf16(text)); }

std::u16string chars(jstring s) {
    if (s == nullptr) return {};
    JNIEnv* e = requireEnv(nullptr);
    jsize n = e->GetStringLength(s);
    std::u16string out(static_cast<size_t>(n), u'\0');
    if (n > 0) e->GetStringRegion(s, 0, n, reinterpret_cast<jchar*>(&out[0]));
    return out;
}

std::string utf8(jstring s) { return toUtf8(chars(s)); }

jobjectArray stringArray(const std::vector<std::optional<std::string>>& items) {
    JNIEnv* e = requireEnv(nullptr);
    jclass stringClass = e->FindClass("java/lang/String");
    jobjectArray arr = e->NewObjectArray(static_cast<jsize>(items.size()), stringClass, nullptr);
    expectNoException(e, "NewObjectArray");
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i]) continue;
        jstring s = newStringUtf8(*items[i]);
        e->SetObjectArrayElement(arr, static_cast<jsize>(i), s);
        e->DeleteLocalRef(s);
    }
    e->DeleteLocalRef(stringClass);
    return arr;
}

jobject newDirectBuffer(void* address, std::size_t capacity) {
    JNIEnv* e = requireEnv(nullptr);
    jobject b = e->NewDirectByteBuffer(address, static_cast<jlong>(capacity));
    expectNoException(e, "NewDirectByteBuffer");
    return b;
}

// ---------------------------------------------------- system properties

std::optional<std::string> getProperty(const std::string& name) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 8);
    jmethodID m = staticMethod(e, systemClass(), "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    jstring v = static_cast<jstring>(e->CallStaticObjectMethod(systemClass(), m, newStringUtf8(name)));
    expectNoException(e, "System.getProperty");
    if (v == nullptr) return std::nullopt;
    return utf8(v);
}

void setProperty(const std::string& name, const std::string& value) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 8);
    jmethodID m =
        staticMethod(e, systemClass(), "setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
    e->CallStaticObjectMethod(systemClass(), m, newStringUtf8(name), newStringUtf8(value));
    expectNoException(e, "System.setProperty");
}

void clearProperty(const std::string& name) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 8);
    jmethodID m = staticMethod(e, systemClass(), "clearProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    e->CallStaticObjectMethod(systemClass(), m, newStringUtf8(name));
    expectNoException(e, "System.clearProperty");
}

ScopedProperty::ScopedProperty(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), saved_(getProperty(name_)) {
    if (value) {
        setProperty(name_, *value);
    } else {
        clearProperty(name_);
    }
}

ScopedProperty::~ScopedProperty() {
    if (saved_) {
        setProperty(name_, *saved_);
    } else {
        clearProperty(name_);
    }
}

// ------------------------------------------------------ process output

Captured captureOutput(const std::function<void()>& fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    FdRedirect out(1);
    FdRedirect err(2);
    fn();
    std::fflush(stdout);
    std::fflush(stderr);
    Captured c;
    c.err = err.finish();
    c.out = out.finish();
    for (const std::string* text : {&c.out, &c.err}) {
        if (std::regex_search(*text, jvmDiagnosticPattern())) {
            std::fprintf(stdout, "%s", text->c_str());
            std::fflush(stdout);
            ADD_FAILURE() << "the JVM reported a JNI problem during a captured call:\n" << *text;
        }
    }
    return c;
}

std::string captureStderr(const std::function<void()>& fn) { return captureOutput(fn).err; }
std::string captureStdout(const std::function<void()>& fn) { return captureOutput(fn).out; }

// ----------------------------------------------------------------- threads

void onAttachedThread(const std::string& threadName, const std::function<void(JNIEnv*)>& fn) {
    std::thread t([&] {
        JavaVMAttachArgs args;
        args.version = JNI_VERSION_1_2;
        args.name = const_cast<char*>(threadName.c_str());
        args.group = nullptr;
        JNIEnv* e = nullptr;
        if (g_vm->AttachCurrentThread(reinterpret_cast<void**>(&e), &args) != JNI_OK) {
            ADD_FAILURE() << "AttachCurrentThread failed";
            return;
        }
        {
            LocalFrame frame(e, 512);
            fn(e);
            if (e->ExceptionCheck()) {
                PendingException ex = takeException(e);
                ADD_FAILURE() << "Java exception left pending on thread " << threadName << ": " << describe(ex);
            }
        }
        g_vm->DetachCurrentThread();
    });
    t.join();
}

void onDetachedThread(const std::function<void()>& fn) {
    std::thread t(fn);
    t.join();
}

// -------------------------------------------------------- local frames

LocalFrame::LocalFrame(JNIEnv* e, jint capacity) : env_(requireEnv(e)), pushed_(false) {
    // Exception-safe: allowed while an exception is pending.
    pushed_ = env_->PushLocalFrame(capacity) == 0;
}

LocalFrame::~LocalFrame() {
    if (pushed_) env_->PopLocalFrame(nullptr);
}

void JvmTest::SetUp() {
    JNIEnv* e = requireEnv(nullptr);
    pushed_ = e->PushLocalFrame(1024) == 0;
    ASSERT_TRUE(pushed_) << "PushLocalFrame failed";
}

void JvmTest::TearDown() {
    JNIEnv* e = requireEnv(nullptr);
    if (e->ExceptionCheck()) {
        PendingException ex = takeException(e);
        ADD_FAILURE() << "test left a Java exception pending: " << describe(ex);
    }
    if (pushed_) e->PopLocalFrame(nullptr);
}

// ------------------------------------------------- log line recording

namespace sink {
namespace {
jclass sinkClass() {
    if (!g_sinkLooked) {
        g_sinkLooked = true;
        g_sinkClass = findClassGlobal(requireEnv(nullptr), kSinkClass);
    }
    return g_sinkClass;
}

void callVoid(const char* name, const char* sig, jvalue arg, bool hasArg) {
    jclass c = sinkClass();
    if (c == nullptr) return;
    JNIEnv* e = requireEnv(nullptr);
    jmethodID m = staticMethod(e, c, name, sig);
    if (hasArg) {
        e->CallStaticVoidMethodA(c, m, &arg);
    } else {
        e->CallStaticVoidMethod(c, m);
    }
    expectNoException(e, name);
}

jobjectArray callArray(const char* name, const std::string& channel) {
    jclass c = sinkClass();
    if (c == nullptr) return nullptr;
    JNIEnv* e = requireEnv(nullptr);
    jmethodID m = staticMethod(e, c, name, "(Ljava/lang/String;)[Ljava/lang/String;");
    jobjectArray arr = static_cast<jobjectArray>(e->CallStaticObjectMethod(c, m, newStringUtf8(channel)));
    expectNoException(e, name);
    return arr;
}
}  // namespace

bool available() { return sinkClass() != nullptr; }
void install() { callVoid("install", "()V", jvalue{}, false); }
void uninstall() { callVoid("uninstall", "()V", jvalue{}, false); }
void reset() { callVoid("reset", "()V", jvalue{}, false); }

bool installed() {
    jclass c = sinkClass();
    if (c == nullptr) return false;
    JNIEnv* e = requireEnv(nullptr);
    jmethodID m = staticMethod(e, c, "installed", "()Z");
    jboolean r = e->CallStaticBooleanMethod(c, m);
    expectNoException(e, "installed");
    return r == JNI_TRUE;
}

void setAnswer(bool taken) {
    jvalue v;
    v.z = taken ? JNI_TRUE : JNI_FALSE;
    callVoid("setAnswer", "(Z)V", v, true);
}

void setThrowing(bool on) {
    jvalue v;
    v.z = on ? JNI_TRUE : JNI_FALSE;
    callVoid("setThrowing", "(Z)V", v, true);
}

std::vector<std::string> lines(const std::string& channel) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 64);
    return toVector(e, callArray("lines", channel));
}

std::vector<std::u16string> linesUtf16(const std::string& channel) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 64);
    jobjectArray arr = callArray("lines", channel);
    std::vector<std::u16string> out;
    if (arr == nullptr) return out;
    jsize n = e->GetArrayLength(arr);
    for (jsize i = 0; i < n; ++i) {
        jstring s = static_cast<jstring>(e->GetObjectArrayElement(arr, i));
        out.push_back(chars(s));
        e->DeleteLocalRef(s);
    }
    return out;
}

std::vector<std::string> threads(const std::string& channel) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 64);
    return toVector(e, callArray("threads", channel));
}
}  // namespace sink

SinkScope::SinkScope() : active_(sink::available()) {
    if (active_) {
        sink::reset();
        sink::install();
    }
}

SinkScope::~SinkScope() {
    if (active_) {
        sink::uninstall();
        sink::reset();
    }
}

// ------------------------------------------------ calls into Java objects

namespace {
// Call<Type>Method / CallStatic<Type>Method by result type, followed by the
// exception check -Xcheck:jni wants before the next JNI call; the exception
// itself stays pending.
template <typename Ret, typename... A>
Ret callChecked(JNIEnv* e, jobject obj, jmethodID m, A... args) {
    detail::CheckAfter check{e};
    return (e->*detail::JniCall<Ret>::onObject)(obj, m, args...);
}

template <typename Ret, typename... A>
Ret callStaticChecked(JNIEnv* e, jclass c, jmethodID m, A... args) {
    detail::CheckAfter check{e};
    return (e->*detail::JniCall<Ret>::onClass)(c, m, args...);
}
}  // namespace

jmethodID methodOf(jobject obj, const char* name, const char* sig) {
    JNIEnv* e = requireEnv(nullptr);
    if (obj == nullptr) {
        ADD_FAILURE() << "method " << name << sig << " looked up on a null object";
        return nullptr;
    }
    jclass c = e->GetObjectClass(obj);
    jmethodID m = e->GetMethodID(c, name, sig);
    e->DeleteLocalRef(c);
    if (m == nullptr) {
        PendingException ex = takeException(e);
        ADD_FAILURE() << "no method " << name << sig << ": " << describe(ex);
    }
    return m;
}

std::string callString(jobject obj, const char* name) {
    JNIEnv* e = requireEnv(nullptr);
    jstring s = static_cast<jstring>(call<jobject>(obj, name, "()Ljava/lang/String;"));
    if (e->ExceptionCheck() || s == nullptr) return {};
    std::string out = utf8(s);
    e->DeleteLocalRef(s);
    return out;
}

// ------------------------------------------- native methods, called as Java

namespace {
const char* const kOpenSig = "(Ljava/lang/String;Ljava/lang/String;[Ljava/lang/String;[Ljava/lang/String;)J";
const char* const kOpenLockSig = "(Ljava/lang/String;Ljava/lang/String;Z[Ljava/lang/String;[Ljava/lang/String;)J";

// One native of ReplicatedIONative: its Java name and signature, and the
// function the bridge exports for it.
template <typename Ret, typename... P>
struct Native {
    const char* name;
    const char* sig;
    Ret (*fn)(JNIEnv*, jclass, P...);
};

#define JVMH_RIO(fn) &Java_tessera_store_io_file_direct_ReplicatedIONative_##fn
const Native<jlong, jstring, jstring, jobjectArray, jobjectArray> kOpen{"open", kOpenSig, JVMH_RIO(open)};
const Native<jlong, jstring, jstring, jboolean, jobjectArray, jobjectArray> kOpenConsiderLock{
    "openConsiderLock", kOpenLockSig, JVMH_RIO(openConsiderLock)};
const Native<void, jlong> kClose{"close", "(J)V", JVMH_RIO(close)};
const Native<jlong, jlong> kGetSize{"getSize", "(J)J", JVMH_RIO(getSize)};
const Native<jint, jlong, jlong, jobject, jint, jint> kRead{"read", "(JJLjava/lang/Object;II)I", JVMH_RIO(read)};
const Native<jint, jlong, jlong, jobject, jint, jint> kWrite{"write", "(JJLjava/lang/Object;II)I", JVMH_RIO(write)};
const Native<jobject, jint> kAllocate{"allocate", "(I)Ljava/lang/Object;", JVMH_RIO(allocate)};
const Native<void, jobject> kFree{"free", "(Ljava/lang/Object;)V", JVMH_RIO(free)};
const Native<void, jobject, jint, jint, jbyte> kFillBuffer{"fillBuffer", "(Ljava/lang/Object;IIB)V",
                                                           JVMH_RIO(fillBuffer)};
const Native<jint, jstring> kCheckAlignment{"checkAlignment", "(Ljava/lang/String;)I", JVMH_RIO(checkAlignment)};
const Native<jlong, jlong> kGetDeviceLimit{"getDeviceLimit", "(J)J", JVMH_RIO(getDeviceLimit)};
const Native<jlong, jlong> kGetDeviceUsed{"getDeviceUsed", "(J)J", JVMH_RIO(getDeviceUsed)};
#undef JVMH_RIO

template <Route R, typename Ret, typename... P>
Ret invoke(const Native<Ret, P...>& n, P... args) {
    JNIEnv* e = requireEnv(nullptr);
    if constexpr (R == Route::Direct) {
        return n.fn(e, rioClass(), args...);
    } else {
        return callStaticChecked<Ret>(e, rioClass(), staticMethod(e, rioClass(), n.name, n.sig), args...);
    }
}

jobjectArray configColumn(const ConfigPairs& config, bool keys) {
    std::vector<std::optional<std::string>> items;
    for (const auto& p : config) items.emplace_back(keys ? p.first : p.second);
    return stringArray(items);
}
}  // namespace

jobjectArray configKeys(const ConfigPairs& config) { return configColumn(config, true); }
jobjectArray configValues(const ConfigPairs& config) { return configColumn(config, false); }

template <Route R>
jlong RioCalls<R>::open(jstring fname, jstring mode, jobjectArray keys, jobjectArray values) {
    return invoke<R>(kOpen, fname, mode, keys, values);
}

template <Route R>
jlong RioCalls<R>::open(const std::string& fname, const ConfigPairs& config, const std::string& mode) {
    return open(newStringUtf8(fname), newStringUtf8(mode), configKeys(config), configValues(config));
}

template <Route R>
jlong RioCalls<R>::openConsiderLock(jstring fname, jstring mode, jboolean exclusive, jobjectArray keys,
                                    jobjectArray values) {
    return invoke<R>(kOpenConsiderLock, fname, mode, exclusive, keys, values);
}

template <Route R>
jlong RioCalls<R>::openConsiderLock(const std::string& fname, bool exclusive, const ConfigPairs& config,
                                    const std::string& mode) {
    return openConsiderLock(newStringUtf8(fname), newStringUtf8(mode), exclusive ? JNI_TRUE : JNI_FALSE,
                            configKeys(config), configValues(config));
}

template <Route R>
void RioCalls<R>::close(jlong handle) {
    invoke<R>(kClose, handle);
}

template <Route R>
jlong RioCalls<R>::getSize(jlong handle) {
    return invoke<R>(kGetSize, handle);
}

template <Route R>
jint RioCalls<R>::read(jlong handle, jlong filePosition, jobject buf, jint offset, jint length) {
    return invoke<R>(kRead, handle, filePosition, buf, offset, length);
}

template <Route R>
jint RioCalls<R>::write(jlong handle, jlong filePosition, jobject buf, jint offset, jint length) {
    return invoke<R>(kWrite, handle, filePosition, buf, offset, length);
}

template <Route R>
jobject RioCalls<R>::allocate(jint size) {
    return invoke<R>(kAllocate, size);
}

template <Route R>
void RioCalls<R>::free(jobject buf) {
    invoke<R>(kFree, buf);
}

template <Route R>
void RioCalls<R>::fillBuffer(jobject buf, jint offset, jint length, jbyte value) {
    invoke<R>(kFillBuffer, buf, offset, length, value);
}

template <Route R>
jint RioCalls<R>::checkAlignment(jstring fname) {
    return invoke<R>(kCheckAlignment, fname);
}

template <Route R>
jlong RioCalls<R>::getDeviceLimit(jlong handle) {
    return invoke<R>(kGetDeviceLimit, handle);
}

template <Route R>
jlong RioCalls<R>::getDeviceUsed(jlong handle) {
    return invoke<R>(kGetDeviceUsed, handle);
}

template struct RioCalls<Route::Jvm>;
template struct RioCalls<Route::Direct>;

// ----------------------------------------------------------------- admin

namespace {
jmethodID adminMethod(const char* name, const char* sig) {
    return instanceMethod(requireEnv(nullptr), adminClass(), name, sig);
}

// Calls an admin method of `obj` through the ReplicatedStoreAdmin method ID.
template <typename Ret, typename... A>
Ret adminCall(jobject obj, const char* name, const char* sig, A... args) {
    return callChecked<Ret>(requireEnv(nullptr), obj, adminMethod(name, sig), args...);
}

jboolean z(bool b) { return b ? JNI_TRUE : JNI_FALSE; }

const char* const kAddRegionSig =
    "(Ljava/lang/String;IIIJJJZZIILjava/lang/String;IIJ)V";
const char* const kAddDaemonSig =
    "(ILjava/lang/String;ILjava/lang/String;SIJJJJIIIII)V";

struct Accessor {
    const char* name;
    const char* sig;
};
}  // namespace

Admin::Admin() : obj_(nullptr) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 8);
    jobject local = e->NewObject(adminClass(), adminMethod("<init>", "()V"));
    expectNoException(e, "new ReplicatedStoreAdmin");
    if (local != nullptr) obj_ = e->NewGlobalRef(local);
}

Admin::Admin(const char* className) : obj_(nullptr) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 8);
    jclass c = e->FindClass(className);
    if (c == nullptr) {
        PendingException ex = takeException(e);
        ADD_FAILURE() << "class " << className << " not found: " << describe(ex);
        return;
    }
    jmethodID init = e->GetMethodID(c, "<init>", "()V");
    if (init == nullptr) {
        PendingException ex = takeException(e);
        ADD_FAILURE() << "class " << className << " has no constructor (): " << describe(ex);
        return;
    }
    jobject local = e->NewObject(c, init);
    expectNoException(e, className);
    if (local != nullptr) obj_ = e->NewGlobalRef(local);
}

Admin::~Admin() {
    JNIEnv* e = env();
    if (e != nullptr && obj_ != nullptr) e->DeleteGlobalRef(obj_);
}

jboolean Admin::isAttached() { return adminCall<jboolean>(obj_, "isAttached", "()Z"); }

jint Admin::attach(const std::optional<std::string>& cfgFile, jint localIndex) {
    return adminCall<jint>(obj_, "attach", "(Ljava/lang/String;I)I", optString(cfgFile), localIndex);
}

void Admin::detach() { adminCall<void>(obj_, "detach", "()V"); }

jint Admin::attachToDaemon(jint daemonIndex) { return adminCall<jint>(obj_, "attachToDaemon", "(I)I", daemonIndex); }

jint Admin::getAttachedDaemonIndex() { return adminCall<jint>(obj_, "getAttachedDaemonIndex", "()I"); }

jint Admin::shutdownDaemon(jint daemonIndex, bool force, bool safe) {
    return adminCall<jint>(obj_, "shutdownDaemon", "(IZZ)I", daemonIndex, z(force), z(safe));
}

jint Admin::listDaemons() { return adminCall<jint>(obj_, "listDaemons", "()I"); }

jint Admin::listGlobalRegions() { return adminCall<jint>(obj_, "listGlobalRegions", "()I"); }

jint Admin::listLocalRegions() { return adminCall<jint>(obj_, "listLocalRegions", "()I"); }

jint Admin::listRegion(const std::optional<std::string>& regionName) {
    return adminCall<jint>(obj_, "listRegion", "(Ljava/lang/String;)I", optString(regionName));
}

jint Admin::deleteRegion(const std::optional<std::string>& regionName, bool force) {
    return adminCall<jint>(obj_, "deleteRegion", "(Ljava/lang/String;Z)I", optString(regionName), z(force));
}

jint Admin::listRecoveryRegionsAndDaemon(jint localIndex, const std::optional<std::string>& cfgFile,
                                         const std::optional<std::string>& prefix) {
    return adminCall<jint>(obj_, "listRecoveryRegionsAndDaemon", "(ILjava/lang/String;Ljava/lang/String;)I",
                           localIndex, optString(cfgFile), optString(prefix));
}

void Admin::clearResults() {
    JNIEnv* e = requireEnv(nullptr);
    e->CallVoidMethod(obj_, adminMethod("clearResults", "()V"));
    expectNoException(e, "clearResults");
}

namespace {
// Reads record components through their accessor methods.
struct RecordReader {
    JNIEnv* e;
    jobject rec;
    jclass cls;
    jmethodID m(const char* name, const char* sig) { return instanceMethod(e, cls, name, sig); }
    int32_t i(const char* name) {
        jint v = e->CallIntMethod(rec, m(name, "()I"));
        expectNoException(e, name);
        return v;
    }
    int64_t j(const char* name) {
        jlong v = e->CallLongMethod(rec, m(name, "()J"));
        expectNoException(e, name);
        return v;
    }
    int16_t s(const char* name) {
        jshort v = e->CallShortMethod(rec, m(name, "()S"));
        expectNoException(e, name);
        return v;
    }
    bool z(const char* name) {
        jboolean v = e->CallBooleanMethod(rec, m(name, "()Z"));
        expectNoException(e, name);
        return v == JNI_TRUE;
    }
    std::string str(const char* name) {
        jstring v = static_cast<jstring>(e->CallObjectMethod(rec, m(name, "()Ljava/lang/String;")));
        expectNoException(e, name);
        std::string out = utf8(v);
        e->DeleteLocalRef(v);
        return out;
    }
};

// Reads every record of the List `listMethod` of the admin object returns
// (records of class `recordClass`) with `read`.
template <typename T>
std::vector<T> readRecords(jobject admin, const char* listMethod, const char* recordClass,
                           T (*read)(RecordReader&)) {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 1024);
    jobject list = e->CallObjectMethod(admin, adminMethod(listMethod, "()Ljava/util/List;"));
    expectNoException(e, listMethod);
    std::vector<T> out;
    if (list == nullptr) return out;
    jclass listClass = e->FindClass("java/util/List");
    jmethodID size = instanceMethod(e, listClass, "size", "()I");
    jmethodID get = instanceMethod(e, listClass, "get", "(I)Ljava/lang/Object;");
    jclass rc = findClassGlobal(e, recordClass);
    jint n = e->CallIntMethod(list, size);
    expectNoException(e, "List.size");
    for (jint k = 0; k < n; ++k) {
        jobject rec = e->CallObjectMethod(list, get, k);
        expectNoException(e, "List.get");
        RecordReader r{e, rec, rc};
        out.push_back(read(r));
        e->DeleteLocalRef(rec);
    }
    e->DeleteGlobalRef(rc);
    return out;
}

RegionInfo readRegion(RecordReader& r) {
    RegionInfo ri;
    ri.name = r.str("name");
    ri.size = r.i("size");
    ri.used = r.i("used");
    ri.blocksize = r.i("blocksize");
    ri.ctime = r.j("ctime");
    ri.mtime = r.j("mtime");
    ri.atime = r.j("atime");
    ri.open = r.z("open");
    ri.local = r.z("local");
    ri.primary = r.i("primary");
    ri.pid = r.i("pid");
    ri.ip = r.str("ip");
    ri.minRedundancy = r.i("minRedundancy");
    ri.redundancy = r.i("redundancy");
    ri.nodes = r.j("nodes");
    return ri;
}

DaemonInfo readDaemon(RecordReader& r) {
    DaemonInfo di;
    di.index = r.i("index");
    di.status = r.str("status");
    di.reachable = r.i("reachable");
    di.ip = r.str("ip");
    di.port = r.s("port");
    di.shmKey = r.i("shmKey");
    di.startTime = r.j("startTime");
    di.currentTime = r.j("currentTime");
    di.totalMemory = r.j("totalMemory");
    di.usedMemory = r.j("usedMemory");
    di.numberStores = r.i("numberStores");
    di.numberOpens = r.i("numberOpens");
    di.numberLocalOpens = r.i("numberLocalOpens");
    di.numberResilvers = r.i("numberResilvers");
    di.numberDaemons = r.i("numberDaemons");
    return di;
}
}  // namespace

std::vector<RegionInfo> Admin::regions() {
    return readRecords(obj_, "regions", "tessera/store/io/file/ReplicatedStoreAdmin$RegionInfo", &readRegion);
}

std::vector<DaemonInfo> Admin::daemons() {
    return readRecords(obj_, "daemons", "tessera/store/io/file/ReplicatedStoreAdmin$DaemonInfo", &readDaemon);
}

// ------------------------------------------------------------ self check

std::vector<std::string> unresolvedMethods() {
    JNIEnv* e = requireEnv(nullptr);
    LocalFrame frame(e, 64);
    std::vector<std::string> missing;
    auto check = [&](jclass c, const char* cname, const char* name, const char* sig, bool isStatic) {
        jmethodID m = isStatic ? e->GetStaticMethodID(c, name, sig) : e->GetMethodID(c, name, sig);
        if (m == nullptr) {
            e->ExceptionClear();
            missing.push_back(std::string(cname) + "." + name + sig);
        }
    };
    const Accessor rioMethods[] = {
        {"open", kOpenSig},
        {"openConsiderLock", kOpenLockSig},
        {"close", "(J)V"},
        {"getSize", "(J)J"},
        {"read", "(JJLjava/lang/Object;II)I"},
        {"write", "(JJLjava/lang/Object;II)I"},
        {"allocate", "(I)Ljava/lang/Object;"},
        {"free", "(Ljava/lang/Object;)V"},
        {"fillBuffer", "(Ljava/lang/Object;IIB)V"},
        {"checkAlignment", "(Ljava/lang/String;)I"},
        {"getDeviceLimit", "(J)J"},
        {"getDeviceUsed", "(J)J"},
    };
    for (const auto& a : rioMethods) check(rioClass(), "ReplicatedIONative", a.name, a.sig, true);
    const Accessor adminMethods[] = {
        {"isAttached", "()Z"},
        {"attach", "(Ljava/lang/String;I)I"},
        {"detach", "()V"},
        {"attachToDaemon", "(I)I"},
        {"getAttachedDaemonIndex", "()I"},
        {"shutdownDaemon", "(IZZ)I"},
        {"listDaemons", "()I"},
        {"listGlobalRegions", "()I"},
        {"listLocalRegions", "()I"},
        {"listRegion", "(Ljava/lang/String;)I"},
        {"deleteRegion", "(Ljava/lang/String;Z)I"},
        {"listRecoveryRegionsAndDaemon", "(ILjava/lang/String;Ljava/lang/String;)I"},
        {"addRegionInfo", kAddRegionSig},
        {"addDaemonInfo", kAddDaemonSig},
        {"regions", "()Ljava/util/List;"},
        {"daemons", "()Ljava/util/List;"},
        {"clearResults", "()V"},
    };
    for (const auto& a : adminMethods) check(adminClass(), "ReplicatedStoreAdmin", a.name, a.sig, false);
    if (sink::available()) {
        const Accessor sinkMethods[] = {
            {"install", "()V"},        {"uninstall", "()V"},
            {"installed", "()Z"},      {"reset", "()V"},
            {"setAnswer", "(Z)V"},     {"setThrowing", "(Z)V"},
            {"lines", "(Ljava/lang/String;)[Ljava/lang/String;"},
            {"threads", "(Ljava/lang/String;)[Ljava/lang/String;"},
        };
        for (const auto& a : sinkMethods) check(g_sinkClass, "RecordingSink", a.name, a.sig, true);
    }
    return missing;
}

}  // namespace jvmh
