/*
 * foundation_load_tests.cpp - the harness itself, the library load, the
 * exported names, the settings read at load and the store context table.
 */
#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "fileio_mirrorbank.h"
#include "foundation_config.h"
#include "jvm_harness.h"

namespace {

class Harness : public jvmh::JvmTest {};
class Load : public jvmh::JvmTest {};
class Settings : public jvmh::JvmTest {};
class ContextTable : public jvmh::JvmTest {};

struct DynamicInfo {
    std::string error;
    std::vector<std::string> needed;
    std::vector<std::string> runpaths;  // DT_RUNPATH and DT_RPATH
    std::string soname;
};

// Reads the dynamic section of a 64-bit ELF shared object from its file.
DynamicInfo readDynamic(const std::string& path) {
    DynamicInfo info;
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < sizeof(Elf64_Ehdr) || std::memcmp(data.data(), ELFMAG, SELFMAG) != 0) {
        info.error = "not an ELF file: " + path;
        return info;
    }
    Elf64_Ehdr eh;
    std::memcpy(&eh, data.data(), sizeof eh);
    auto section = [&](size_t i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, data.data() + eh.e_shoff + i * eh.e_shentsize, sizeof sh);
        return sh;
    };
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh = section(i);
        if (sh.sh_type != SHT_DYNAMIC) continue;
        Elf64_Shdr strtab = section(sh.sh_link);
        const char* strings = data.data() + strtab.sh_offset;
        for (size_t off = 0; off + sizeof(Elf64_Dyn) <= sh.sh_size; off += sizeof(Elf64_Dyn)) {
            Elf64_Dyn d;
            std::memcpy(&d, data.data() + sh.sh_offset + off, sizeof d);
            if (d.d_tag == DT_NULL) break;
            if (d.d_tag == DT_NEEDED) info.needed.emplace_back(strings + d.d_un.d_val);
            if (d.d_tag == DT_RUNPATH || d.d_tag == DT_RPATH) info.runpaths.emplace_back(strings + d.d_un.d_val);
            if (d.d_tag == DT_SONAME) info.soname = strings + d.d_un.d_val;
        }
        return info;
    }
    info.error = "no dynamic section in " + path;
    return info;
}

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// ---------------------------------------------------------------- harness

TEST_F(Harness, EveryWrappedJavaMethodResolves) {
    std::vector<std::string> missing = jvmh::unresolvedMethods();
    EXPECT_TRUE(missing.empty()) << "unresolved: " << ::testing::PrintToString(missing);
}

TEST_F(Harness, CaptureSeesNativeAndJavaWrites) {
    JNIEnv* e = jvmh::env();
    jvmh::Captured c = jvmh::captureOutput([&] {
        std::fprintf(stderr, "native-err ");
        std::printf("native-out ");
        jclass sys = e->FindClass("java/lang/System");
        jfieldID errField = e->GetStaticFieldID(sys, "err", "Ljava/io/PrintStream;");
        jobject err = e->GetStaticObjectField(sys, errField);
        jclass ps = e->FindClass("java/io/PrintStream");
        jmethodID print = e->GetMethodID(ps, "print", "(Ljava/lang/String;)V");
        jmethodID flush = e->GetMethodID(ps, "flush", "()V");
        e->CallVoidMethod(err, print, jvmh::newStringUtf8("java-err"));
        ASSERT_FALSE(e->ExceptionCheck());
        e->CallVoidMethod(err, flush);
        ASSERT_FALSE(e->ExceptionCheck());
    });
    EXPECT_EQ(c.err, "native-err java-err");
    EXPECT_EQ(c.out, "native-out ");
}

TEST_F(Harness, SinkRecordsAnswersAndThrows) {
    jvmh::SinkScope scope;
    if (!scope.active()) GTEST_SKIP() << "NativeCallbacks is not on the class path";
    JNIEnv* e = jvmh::env();
    jclass nc = e->FindClass("tessera/store/io/file/direct/NativeCallbacks");
    ASSERT_NE(nc, nullptr);
    jmethodID debug = e->GetStaticMethodID(nc, "debug", "(Ljava/lang/String;)Z");
    jmethodID verbose = e->GetStaticMethodID(nc, "verbose", "(Ljava/lang/String;)Z");
    ASSERT_NE(debug, nullptr);
    ASSERT_NE(verbose, nullptr);

    EXPECT_TRUE(e->CallStaticBooleanMethod(nc, debug, jvmh::newStringUtf8("d1")));
    EXPECT_FALSE(jvmh::takeException());
    jvmh::sink::setAnswer(false);
    EXPECT_FALSE(e->CallStaticBooleanMethod(nc, verbose, jvmh::newStringUtf8("v1")));
    EXPECT_FALSE(jvmh::takeException());
    jvmh::sink::setThrowing(true);
    e->CallStaticBooleanMethod(nc, debug, jvmh::newStringUtf8("d2"));
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.RuntimeException");

    EXPECT_EQ(scope.debug(), (std::vector<std::string>{"d1", "d2"}));
    EXPECT_EQ(scope.verbose(), (std::vector<std::string>{"v1"}));
    EXPECT_EQ(jvmh::sink::threads("debug"), (std::vector<std::string>{"main", "main"}));
}

TEST_F(Harness, ScopedPropertyRestores) {
    const std::string name = "bridgetest.scoped";
    jvmh::clearProperty(name);
    {
        jvmh::ScopedProperty p(name, std::string("v"));
        EXPECT_EQ(jvmh::getProperty(name), std::optional<std::string>("v"));
    }
    EXPECT_EQ(jvmh::getProperty(name), std::nullopt);
}

// ------------------------------------------------------------------- load

TEST_F(Load, TestBinaryAndJvmShareOneLibraryInstance) {
    void* h = dlopen(jvmh::bridgePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr) << "the bridge is not loaded from " << jvmh::bridgePath();
    EXPECT_EQ(dlsym(h, "nativeToJavaDebug"), static_cast<void*>(&nativeToJavaDebug));
    EXPECT_EQ(dlsym(h, "replicatedContextArray"), static_cast<void*>(&replicatedContextArray[0]));
    EXPECT_EQ(dlsym(h, "jvm_global_env"), static_cast<void*>(&jvm_global_env));
    EXPECT_EQ(dlsym(h, "tests"), static_cast<void*>(&tests));
    EXPECT_EQ(dlsym(h, "JNI_OnLoad"), reinterpret_cast<void*>(&JNI_OnLoad));
    dlclose(h);
}

TEST_F(Load, EveryNamedFunctionAndGlobalIsExportedUnmangled) {
    void* h = dlopen(jvmh::bridgePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    const char* const names[] = {
        // load entry and Java glue
        "JNI_OnLoad", "TSSRepIOThrowException", "TSSRepIOThrowIO", "TSSRepIOThrowNPE", "TSSRepIOThrowOOM",
        "getStringNativeChars", "standardString", "String_clazz", "MID_String_init", "MID_String_getBytes",
        "granularity",
        // logging and properties
        "initializeLogging", "logWithContext", "readBooleanJavaSystemProperty", "readIntJavaSystemProperty",
        "mbloggercallback", "debugNative", "jvm_global_env", "jniclass", "debugLogMethod", "verboseLogMethod",
        "nativeToJavaDebug", "nativeToJavaVerbose", "debugWarned", "verboseWarned", "instrumentation",
        "mblibTraceLevel", "debugNativeFlag",
        // context table
        "replicatedContextArray", "mirrorbank_onLoad", "clearCtx", "rs_admin_onLoad"};
    std::vector<std::string> missing;
    for (const char* n : names) {
        if (dlsym(h, n) == nullptr) missing.push_back(n);
    }
    dlclose(h);
    EXPECT_TRUE(missing.empty()) << "not in the dynamic symbol table: " << ::testing::PrintToString(missing);
}

TEST_F(Load, BridgeNeedsClientLibraryFoundBesideItself) {
    DynamicInfo bridge = readDynamic(jvmh::bridgePath());
    ASSERT_TRUE(bridge.error.empty()) << bridge.error;
    EXPECT_NE(std::find(bridge.needed.begin(), bridge.needed.end(), "libmirrorbank1.so"), bridge.needed.end())
        << "DT_NEEDED: " << ::testing::PrintToString(bridge.needed);
    bool origin = false;
    for (const auto& rp : bridge.runpaths) {
        if (rp.find("$ORIGIN") != std::string::npos) origin = true;
    }
    EXPECT_TRUE(origin) << "run paths: " << ::testing::PrintToString(bridge.runpaths);

    const std::string client = directoryOf(jvmh::bridgePath()) + "/libmirrorbank1.so";
    ASSERT_EQ(access(client.c_str(), R_OK), 0) << client;
    DynamicInfo standin = readDynamic(client);
    ASSERT_TRUE(standin.error.empty()) << standin.error;
    EXPECT_EQ(standin.soname, "libmirrorbank1.so");
}

TEST_F(Load, CachesStringClassMethodsPageSizeAndVm) {
    JNIEnv* e = jvmh::env();
    ASSERT_NE(String_clazz, nullptr);
    EXPECT_EQ(e->GetObjectRefType(String_clazz), JNIGlobalRefType);
    jclass s = e->FindClass("java/lang/String");
    EXPECT_TRUE(e->IsSameObject(String_clazz, s));
    EXPECT_EQ(MID_String_init, e->GetMethodID(s, "<init>", "([B)V"));
    EXPECT_EQ(MID_String_getBytes, e->GetMethodID(s, "getBytes", "()[B"));
    EXPECT_EQ(granularity, static_cast<int64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(cachedJavaVM, jvmh::vm());
}

TEST_F(Load, OnThreadWithoutJniEnvironmentFailsBeforeTouchingState) {
    // Mark one context and remember the logging state; a load hook that
    // cannot get an environment must change neither.
    mirrorbank_ctx& marked = replicatedContextArray[9999];
    marked.closeCount = 5;
    JNIEnv* const envBefore = jvm_global_env;
    const jclass classBefore = jniclass;
    const int traceBefore = mblibTraceLevel;

    jint rc = 0;
    jvmh::onDetachedThread([&] { rc = JNI_OnLoad(jvmh::vm(), nullptr); });

    EXPECT_EQ(rc, JNI_ERR);
    EXPECT_EQ(marked.closeCount, 5) << "the context table was reset";
    EXPECT_EQ(jvm_global_env, envBefore);
    EXPECT_EQ(jniclass, classBefore);
    EXPECT_EQ(mblibTraceLevel, traceBefore);
    clearCtx(&marked);
    EXPECT_EQ(freeProblem(marked), "");
}

// --------------------------------------------------------------- settings

TEST_F(Settings, SwitchesAndTraceLevelMatchTheLoadProperties) {
    const LoadExpectation* x = loadExpectation();
    ASSERT_NE(x, nullptr);
    SCOPED_TRACE(std::string("configuration ") + x->name);
    EXPECT_EQ(nativeToJavaDebug, x->debug);
    EXPECT_EQ(nativeToJavaVerbose, x->verbose);
    EXPECT_EQ(instrumentation, x->instrumentation);
    EXPECT_EQ(mblibTraceLevel, x->traceLevel);
    EXPECT_FALSE(afterLoad().debugWarned);
    EXPECT_FALSE(afterLoad().verboseWarned);
}

TEST_F(Settings, LoggingClassMethodsAndEnvironmentRecordedOnlyWithCallbacks) {
    const LoadExpectation* x = loadExpectation();
    ASSERT_NE(x, nullptr);
    JNIEnv* e = jvmh::env();
    EXPECT_EQ(jvmh::sink::available(), x->callbacks) << "class path of the configuration is wrong";
    if (x->callbacks) {
        ASSERT_NE(jniclass, nullptr);
        EXPECT_EQ(e->GetObjectRefType(jniclass), JNIGlobalRefType);
        jclass nc = e->FindClass("tessera/store/io/file/direct/NativeCallbacks");
        ASSERT_NE(nc, nullptr);
        EXPECT_TRUE(e->IsSameObject(jniclass, nc));
        EXPECT_EQ(debugLogMethod, e->GetStaticMethodID(nc, "debug", "(Ljava/lang/String;)Z"));
        EXPECT_EQ(verboseLogMethod, e->GetStaticMethodID(nc, "verbose", "(Ljava/lang/String;)Z"));
        // System.load ran on this thread, so the loading thread's
        // environment is this one.
        EXPECT_EQ(jvm_global_env, e);
    } else {
        EXPECT_EQ(jniclass, nullptr);
        EXPECT_EQ(debugLogMethod, nullptr);
        EXPECT_EQ(verboseLogMethod, nullptr);
        EXPECT_EQ(jvm_global_env, nullptr);
    }
}

TEST_F(Settings, ChangingPropertiesAfterLoadChangesNothing) {
    const bool d = nativeToJavaDebug, v = nativeToJavaVerbose, i = instrumentation;
    const int t = mblibTraceLevel;
    jvmh::ScopedProperty p1("tessera.debug.DebugStoreIOPhysical", std::string(d ? "false" : "true"));
    jvmh::ScopedProperty p2("tessera.debug.DebugStoreIOPhysicalVerbose", std::string(v ? "false" : "true"));
    jvmh::ScopedProperty p3("tessera.store.replicated.nativelib.tracelevel", std::string("4"));
    // A log statement and a property read run with the new values in place.
    bool on = false, warned = false;
    logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 1, nullptr, nullptr, "x");
    EXPECT_EQ(readIntJavaSystemProperty(jvmh::env(), "tessera.store.replicated.nativelib.tracelevel"), 4);
    EXPECT_EQ(nativeToJavaDebug, d);
    EXPECT_EQ(nativeToJavaVerbose, v);
    EXPECT_EQ(instrumentation, i);
    EXPECT_EQ(mblibTraceLevel, t);
}

// ---------------------------------------------------------- context table

TEST_F(ContextTable, EveryContextIsFreeRightAfterLoad) {
    EXPECT_EQ(afterLoad().tableProblem, "");
}

TEST_F(ContextTable, ClearCtxLeavesAFreeRecord) {
    mirrorbank_ctx ctx;
    std::memset(&ctx, 0xAB, sizeof ctx);
    clearCtx(&ctx);
    EXPECT_EQ(freeProblem(ctx), "");
}

TEST_F(ContextTable, OnLoadResetFreesUsedAndClosedRecords) {
    mirrorbank_ctx& used = replicatedContextArray[0];
    mirrorbank_ctx& closed = replicatedContextArray[4321];
    used.fileDescriptor = 0;
    used.writtenFileSize = 77;
    std::strcpy(used.storeInfo.name, "r1");
    closed.fileDescriptor = 4321;
    closed.closeCount = 1;
    closed.initConfig.trace_level = 3;
    mirrorbank_onLoad();
    EXPECT_EQ(freeProblem(used), "");
    EXPECT_EQ(freeProblem(closed), "");
}

}  // namespace
