/*
 * fileio_debug.h - logging state, Java system property readers and the
 * fault-injection flag table of the replicated file bridge.
 */
#ifndef FILEIO_DEBUG_H
#define FILEIO_DEBUG_H

#include <jni.h>
#include <stdbool.h>
#include <stddef.h>

#include "linux_x86_64/mirrorbank_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mirrorbank_ctx mirrorbank_ctx;

/* ---- Logging state (written at load, read afterwards) ---- */
/* The loading thread's environment: part of the process-wide logging
 * state, recorded at load; nothing reads it here (the trace sink asks the
 * JavaVM for the calling thread's own environment). */
extern JNIEnv* jvm_global_env;
extern jclass jniclass;
extern jmethodID debugLogMethod;
extern jmethodID verboseLogMethod;
extern bool nativeToJavaDebug;
extern bool nativeToJavaVerbose;
/* Each channel's warned flag: set when a line is offered to a channel that
 * is off; part of the channel triple, nothing reads it. */
extern bool debugWarned;
extern bool verboseWarned;
extern bool instrumentation;
extern int mblibTraceLevel;
extern bool debugNativeFlag;

void initializeLogging(JNIEnv* j_env);
/* Releases what initializeLogging holds (at unload). */
void releaseLogging(JNIEnv* j_env);
int logWithContext(JNIEnv* j_env, bool* nativeToJavaControlPtr, bool* logWarnedPtr, jmethodID* logMethodPtr,
                   const char* file__, const int line__, mirrorbank_ctx* ctx, mb_rqs* rqsPtr, const char* format,
                   ...) __attribute__((format(printf, 9, 10)));
bool readBooleanJavaSystemProperty(JNIEnv* j_env, const char* propertyName);
int readIntJavaSystemProperty(JNIEnv* j_env, const char* propertyName);
size_t mbloggercallback(void* log_ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* Console printer under debugNativeFlag; nothing here calls it. */
void debugNative(char* format, ...) __attribute__((format(printf, 1, 2)));
/* Hands one finished line to a static boolean method of NativeCallbacks;
 * true when Java took it. Safe to call with an exception pending. */
bool deliverLogLine(JNIEnv* env, jmethodID method, const char* text);

/* Source file name that log lines and exception texts carry. */
#define FILEIO_SRC_NAME_DEBUG "fileio_debug"

/*
 * Log statements: the channel switch is tested at the call site, so a
 * statement whose channel is off costs one byte test and computes nothing.
 * LOG_FILE must name the statement's own source file.
 */
#define LOG_DEBUG(env, ...)                                                                                   \
    do {                                                                                                      \
        if (nativeToJavaDebug)                                                                                \
            logWithContext((env), &nativeToJavaDebug, &debugWarned, &debugLogMethod, LOG_FILE, __LINE__, NULL, \
                           NULL, __VA_ARGS__);                                                                \
    } while (0)
#define LOG_VERBOSE(env, ...)                                                                                  \
    do {                                                                                                       \
        if (nativeToJavaVerbose)                                                                               \
            logWithContext((env), &nativeToJavaVerbose, &verboseWarned, &verboseLogMethod, LOG_FILE, __LINE__, \
                           NULL, NULL, __VA_ARGS__);                                                           \
    } while (0)

/* ---- Fault-injection flags ---- */
#define TESTFLAG_PAIR(name) \
    const char* name##Key;  \
    bool name

typedef struct TestFlags {
    TESTFLAG_PAIR(configPassing);
    TESTFLAG_PAIR(mb_initErrorTest);
    TESTFLAG_PAIR(mbRetriedWriteErrorTest);
    TESTFLAG_PAIR(mbRetriedReadErrorTest);
    TESTFLAG_PAIR(mb_read_fenceErrorTest);
    TESTFLAG_PAIR(mb_registerErrorTest);
    TESTFLAG_PAIR(fileio_mb_write_mb_get_storeinfoErrorTest);
    TESTFLAG_PAIR(mb_openstoreErrorTest);
    TESTFLAG_PAIR(fileio_mb_open_mb_get_storeinfoErrorTest);
    TESTFLAG_PAIR(mb_closestoreErrorTest);
    TESTFLAG_PAIR(mb_finiErrorTest);
    TESTFLAG_PAIR(used_memory_mb_get_local_daemon_infoErrorTest);
    TESTFLAG_PAIR(total_memory_mb_get_local_daemon_infoErrorTest);
    TESTFLAG_PAIR(mb_get_local_daemon_infoErrorTest);
    TESTFLAG_PAIR(admintool_mb_initErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_attach_daemonAfterInitErrorTest);
    TESTFLAG_PAIR(admintool_mb_finiErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_shutdown_daemonErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_get_storeinfoErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_delete_storeErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_enumerate_storesErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_enumerate_global_storesErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_enumerate_daemonsErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_get_attached_daemonErrorTest);
    TESTFLAG_PAIR(admintool_mb_admin_attach_daemonErrorTest);
    TESTFLAG_PAIR(crash_primary_daemon_during_writeTest);
    TESTFLAG_PAIR(crash_primary_daemon_during_deleteTest);
    TESTFLAG_PAIR(crash_primary_daemon_during_openstoreTest);
    TESTFLAG_PAIR(crash_primary_daemon_during_closestoreTest);
    TESTFLAG_PAIR(crash_storejvm_during_writeTest);
    TESTFLAG_PAIR(crash_storejvm_during_deleteTest);
    TESTFLAG_PAIR(crash_storejvm_during_openstoreTest);
    TESTFLAG_PAIR(crash_storejvm_during_closestoreTest);
    TESTFLAG_PAIR(crash_secondary_daemon_during_writeTest);
    TESTFLAG_PAIR(crash_secondary_daemon_during_deleteTest);
} TestFlags;

extern TestFlags tests;

/* Refresh of one pair: while instrumentation is on, re-read the flag from
 * its property and log it on the verbose channel as setTestFlag. The
 * client-library steps (fileio_mirrorbank.h) call it for their rows. */
void refreshTestFlag(JNIEnv* j_env, const char* key, bool* flag, const char* file__, int line__);

#ifdef __cplusplus
}

/* Saves debugNativeFlag, clears it, and puts it back on every return path:
 * the logging functions keep their own console diagnostics quiet. */
struct DebugNativeSuspension {
    bool saved;
    DebugNativeSuspension() : saved(debugNativeFlag) { debugNativeFlag = false; }
    ~DebugNativeSuspension() { debugNativeFlag = saved; }
    DebugNativeSuspension(const DebugNativeSuspension&) = delete;
    DebugNativeSuspension& operator=(const DebugNativeSuspension&) = delete;
};

/* Takes a pending Java exception aside for the life of the guard, so that
 * JNI calls can be made, and makes it pending again at the end; an
 * exception raised meanwhile gives way to it. Does nothing when nothing is
 * pending at the start. */
struct PendingExceptionGuard {
    JNIEnv* env;
    jthrowable saved;
    explicit PendingExceptionGuard(JNIEnv* e) : env(e), saved(NULL) {
        if (env != NULL && env->ExceptionCheck()) {
            saved = env->ExceptionOccurred();
            env->ExceptionClear();
        }
    }
    ~PendingExceptionGuard() {
        if (saved == NULL) return;
        if (env->ExceptionCheck()) env->ExceptionClear();
        env->Throw(saved);
        env->DeleteLocalRef(saved);
    }
    PendingExceptionGuard(const PendingExceptionGuard&) = delete;
    PendingExceptionGuard& operator=(const PendingExceptionGuard&) = delete;
};
#endif

#endif /* FILEIO_DEBUG_H */
