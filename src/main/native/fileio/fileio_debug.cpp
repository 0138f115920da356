/*
 * fileio_debug.cpp - logging state, the log function, Java system property
 * readers, the client-library trace sink and the fault-injection flags.
 */
#include "fileio_debug.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "fileio_mirrorbank.h"

#define LOG_FILE FILEIO_SRC_NAME_DEBUG

extern "C" {

JNIEnv* jvm_global_env = NULL;
jclass jniclass = NULL;
jmethodID debugLogMethod = NULL;
jmethodID verboseLogMethod = NULL;
bool nativeToJavaDebug = false;
bool nativeToJavaVerbose = false;
bool debugWarned = false;
bool verboseWarned = false;
bool instrumentation = false;
int mblibTraceLevel = -1;
bool debugNativeFlag = false;

/* mb_registerErrorTest is only re-read (by fileio_mb_register) and
 * mb_get_local_daemon_infoErrorTest is neither read nor consulted: both
 * stay in the table with their property keys, and change nothing. */
TestFlags tests = {
    "tessera.junit.testConfigPassing", false,
    "tessera.junit.mb_initErrorTest", false,
    "tessera.junit.mbRetriedWriteErrorTest", false,
    "tessera.junit.mbRetriedReadErrorTest", false,
    "tessera.junit.mb_read_fenceErrorTest", false,
    "tessera.junit.mb_registerErrorTest", false,
    "tessera.junit.fileio_mb_write_mb_get_storeinfoErrorTest", false,
    "tessera.junit.mb_openstoreErrorTestKey", false,
    "tessera.junit.fileio_mb_open_mb_get_storeinfoErrorTest", false,
    "tessera.junit.mb_closestoreErrorTest", false,
    "tessera.junit.mb_finiErrorTest", false,
    "tessera.junit.used_memory_mb_get_local_daemon_infoErrorTest", false,
    "tessera.junit.total_memory_mb_get_local_daemon_infoErrorTest", false,
    "tessera.junit.mb_get_local_daemon_infoErrorTest", false,
    "tessera.junit.admintool_mb_initErrorTest", false,
    "tessera.junit.admintool_mb_admin_attach_daemonAfterInitErrorTest", false,
    "tessera.junit.admintool_mb_finiErrorTest", false,
    "tessera.junit.admintool_mb_admin_shutdown_daemonErrorTest", false,
    "tessera.junit.admintool_mb_admin_get_storeinfoErrorTest", false,
    "tessera.junit.admintool_mb_admin_delete_storeErrorTest", false,
    "tessera.junit.admintool_mb_admin_enumerate_storesErrorTest", false,
    "tessera.junit.admintool_mb_admin_enumerate_global_storesErrorTest", false,
    "tessera.junit.admintool_mb_admin_enumerate_daemonsErrorTest", false,
    "tessera.junit.admintool_mb_admin_get_attached_daemonErrorTest", false,
    "tessera.junit.admintool_mb_admin_attach_daemonErrorTest", false,
    "tessera.qatest.crash_primary_daemon_during_writeTest", false,
    "tessera.qatest.crash_primary_daemon_during_deleteTest", false,
    "tessera.qatest.crash_primary_daemon_during_openstoreTest", false,
    "tessera.qatest.crash_primary_daemon_during_closestoreTest", false,
    "tessera.qatest.crash_storejvm_during_writeTest", false,
    "tessera.qatest.crash_storejvm_during_deleteTest", false,
    "tessera.qatest.crash_storejvm_during_openstoreTest", false,
    "tessera.qatest.crash_storejvm_during_closestoreTest", false,
    "tessera.qatest.crash_secondary_daemon_during_writeTest", false,
    "tessera.qatest.crash_secondary_daemon_during_deleteTest", false,
};

} /* extern "C" */

namespace {

/* java.lang.System and its getProperty, looked up once at load. */
jclass systemClass = NULL;
jmethodID getPropertyMethod = NULL;

/* The value of a Java system property as modified UTF-8 copied to the
 * native heap, or null when absent. Leaves nothing pending. */
char* readJavaSystemProperty(JNIEnv* env, const char* propertyName) {
    if (env == NULL || propertyName == NULL || getPropertyMethod == NULL) return NULL;
    PendingExceptionGuard guard(env);
    char* result = NULL;
    jstring name = newJavaStringFromNative(env, propertyName, strlen(propertyName));
    if (name == NULL) {
        env->ExceptionClear();
        return NULL;
    }
    jstring value = (jstring)env->CallStaticObjectMethod(systemClass, getPropertyMethod, name);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        value = NULL;
    }
    if (value != NULL) {
        const char* chars = env->GetStringUTFChars(value, NULL);
        if (chars != NULL) {
            result = strdup(chars);
            env->ReleaseStringUTFChars(value, chars);
        } else {
            env->ExceptionClear();
        }
        env->DeleteLocalRef(value);
    }
    env->DeleteLocalRef(name);
    return result;
}

/* The calling thread's own environment, or null when it is not attached. */
JNIEnv* currentThreadEnv() {
    if (cachedJavaVM == NULL) return NULL;
    void* env = NULL;
    if (cachedJavaVM->GetEnv(&env, JNI_VERSION_1_2) != JNI_OK) return NULL;
    return (JNIEnv*)env;
}

} /* namespace */

extern "C" {

void initializeLogging(JNIEnv* j_env) {
    if (j_env == NULL) {
        if (debugNativeFlag) fprintf(stdout, "%s:%u: initializeLogging jvm env is null\n", LOG_FILE, __LINE__);
        return;
    }
    DebugNativeSuspension suspension;
    jclass system = j_env->FindClass("java/lang/System");
    if (system != NULL) {
        systemClass = (jclass)j_env->NewGlobalRef(system);
        j_env->DeleteLocalRef(system);
        getPropertyMethod =
            j_env->GetStaticMethodID(systemClass, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    }
    j_env->ExceptionClear();
    jclass cls = j_env->FindClass("tessera/store/io/file/direct/NativeCallbacks");
    if (cls == NULL) {
        /* Without the class both channels stay off for good. The pending
         * lookup error is left for the loader to see, as a missing class
         * would be. */
        if (suspension.saved) fprintf(stdout, "%s:%u: initializeLogging NativeCallbacks not found\n", LOG_FILE, __LINE__);
        j_env->ExceptionClear();
        return;
    }
    jniclass = (jclass)j_env->NewGlobalRef(cls);
    j_env->DeleteLocalRef(cls);
    debugLogMethod = j_env->GetStaticMethodID(jniclass, "debug", "(Ljava/lang/String;)Z");
    if (debugLogMethod == NULL) j_env->ExceptionClear();
    verboseLogMethod = j_env->GetStaticMethodID(jniclass, "verbose", "(Ljava/lang/String;)Z");
    if (verboseLogMethod == NULL) j_env->ExceptionClear();

    bool debug = readBooleanJavaSystemProperty(j_env, "tessera.debug.DebugStoreIOPhysical");
    bool verbose = readBooleanJavaSystemProperty(j_env, "tessera.debug.DebugStoreIOPhysicalVerbose");
    bool instr = readBooleanJavaSystemProperty(j_env, "tessera.store.instrumentation");
    int level = readIntJavaSystemProperty(j_env, "tessera.store.replicated.nativelib.tracelevel");

    jvm_global_env = j_env;
    nativeToJavaDebug = debug;
    nativeToJavaVerbose = verbose;
    instrumentation = instr;
    mblibTraceLevel = level;
    if (suspension.saved)
        fprintf(stdout, "%s:%u: initializeLogging debug=%d verbose=%d instrumentation=%d tracelevel=%d\n", LOG_FILE,
                __LINE__, debug, verbose, instr, level);
}

void releaseLogging(JNIEnv* j_env) {
    if (jniclass != NULL) j_env->DeleteGlobalRef(jniclass);
    if (systemClass != NULL) j_env->DeleteGlobalRef(systemClass);
    jniclass = NULL;
    systemClass = NULL;
    debugLogMethod = NULL;
    verboseLogMethod = NULL;
    getPropertyMethod = NULL;
}

bool readBooleanJavaSystemProperty(JNIEnv* j_env, const char* propertyName) {
    DebugNativeSuspension suspension;
    bool result = false;
    char* value = readJavaSystemProperty(j_env, propertyName);
    if (value != NULL) {
        result = strcasecmp(value, "true") == 0;
        free(value);
    }
    return result;
}

int readIntJavaSystemProperty(JNIEnv* j_env, const char* propertyName) {
    DebugNativeSuspension suspension;
    int result = -1;
    char* value = readJavaSystemProperty(j_env, propertyName);
    if (value != NULL) {
        result = (int)(uint32_t)strtol(value, NULL, 10);
        free(value);
    }
    return result;
}

/* Hands one finished line to a static boolean method of NativeCallbacks.
 * True when Java took it. Safe with an exception pending: it is set aside
 * and restored. An exception thrown by the logging method itself is
 * cleared: a line that could not be logged is not the operation's error. */
bool deliverLogLine(JNIEnv* env, jmethodID method, const char* text) {
    if (env == NULL || method == NULL || jniclass == NULL) return false;
    PendingExceptionGuard guard(env);
    jstring line = newJavaStringFromNative(env, text, strlen(text));
    if (line == NULL) {
        if (env->ExceptionCheck()) env->ExceptionClear();
        return false;
    }
    jboolean taken = env->CallStaticBooleanMethod(jniclass, method, line);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        taken = JNI_FALSE;
    }
    env->DeleteLocalRef(line);
    return taken == JNI_TRUE;
}

size_t mbloggercallback(void* log_ctx, const char* format, ...) {
    (void)log_ctx;
    DebugNativeSuspension suspension;
    if (!nativeToJavaVerbose) {
        verboseWarned = true;
        return 0;
    }
    char buffer[MIRRORBANK_MSG_BUFFER];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, MIRRORBANK_MSG_BUFFER, format, args);
    va_end(args);
    buffer[MIRRORBANK_MSG_BUFFER - 1] = '\0';
    if (n < 0) n = 0;
    /* The library calls this on the thread inside the current native call;
     * use that thread's own environment, never one recorded elsewhere. */
    JNIEnv* env = currentThreadEnv();
    if (env != NULL && verboseLogMethod != NULL) {
        if (deliverLogLine(env, verboseLogMethod, buffer)) return (size_t)n;
    }
    fputs(buffer, stderr);
    return (size_t)n;
}

void debugNative(char* format, ...) {
    if (!debugNativeFlag) return;
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
}

void refreshTestFlag(JNIEnv* j_env, const char* key, bool* flag, const char* file__, int line__) {
    if (!instrumentation) return;
    *flag = readBooleanJavaSystemProperty(j_env, key);
    if (nativeToJavaVerbose)
        logWithContext(j_env, &nativeToJavaVerbose, &verboseWarned, &verboseLogMethod, file__, line__, NULL, NULL,
                       "setTestFlag Test Flag %s=%s", key, *flag ? "true" : "false");
}

} /* extern "C" */
