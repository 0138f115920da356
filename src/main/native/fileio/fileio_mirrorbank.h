/*
 * fileio_mirrorbank.h - the replicated file device: store context table,
 * open/close, asynchronous operation engine, read and write paths, device
 * figures, configuration, plus the load entry and the Java glue shared by
 * the whole bridge (exceptions, string conversion, message prefix,
 * contextual exceptions, daemon failure events).
 */
#ifndef FILEIO_MIRRORBANK_H
#define FILEIO_MIRRORBANK_H

#include <jni.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>

#ifdef __cplusplus
#include <type_traits>
#endif

#include "fileio_debug.h"
#include "linux_x86_64/mirrorbank_api.h"
/* Prototypes of the Java natives, made by javac -h at build time: a
 * definition that drifts from its Java declaration does not compile. */
#include "tessera_store_io_file_direct_ReplicatedIONative.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MIRRORBANK_MAX_CONTEXTS 10000
#define MIRRORBANK_OPEN_FLAGS (MB_OPEN_CREATE | MB_OPEN_READWRITE)
#define MIRRORBANK_CLOSE_FLAGS 0
#define MIRRORBANK_RETRY_BUDGET 1024
#define MIRRORBANK_MSG_BUFFER 4096
/* Bytes a region or configuration file name may have (a NUL follows). */
#define MIRRORBANK_NAME_MAX 255

/* One region opened as a file. */
struct mirrorbank_ctx {
    mb_store_handle handle;
    mb_client_ctx* client_ctx;
    mb_client_storeinfo storeInfo;
    mb_ldinfo localDaemonInfo;
    int32_t fileDescriptor;
    int32_t minReplicaCount;
    int32_t maxReplicaCount;
    int32_t localIndex;
    ub4 totalsize;
    ub4 blocksize;
    ub4 ioBufferSize;
    uint32_t writtenFileSize;
    boolean skipReadFence;
    mb_init_args initConfig;
    int32_t closeCount;
};

/* Notification record of one asynchronous operation. */
typedef struct general_ncb general_ncb;
struct general_ncb {
    int32_t savedError;
    int32_t savedStatus;
    int32_t pending;
    int32_t reportedException;
    mb_rqs rqsTmp;
    JNIEnv* j_env;
    general_ncb* valid_ncb;
};

/* ---- Store context table ---- */
extern mirrorbank_ctx replicatedContextArray[MIRRORBANK_MAX_CONTEXTS];
void mirrorbank_onLoad(void);
void clearCtx(mirrorbank_ctx* ctx);

/* ---- Load entry and Java glue ---- */
extern jclass String_clazz;
extern jmethodID MID_String_init;
extern jmethodID MID_String_getBytes;
extern int64_t granularity;
extern JavaVM* cachedJavaVM;

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved);
JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* vm, void* reserved);
void TSSRepIOThrowException(JNIEnv* j_env, const char* name, const char* msg);
void TSSRepIOThrowIO(JNIEnv* env, const char* msg);
void TSSRepIOThrowNPE(JNIEnv* env, const char* msg);
void TSSRepIOThrowOOM(JNIEnv* env, const char* msg);
/* The pending exception becomes the cause of an IOException with `msg`. */
void TSSRepIOThrowIOWithCause(JNIEnv* env, const char* msg);
/* The exact UTF-8 of a Java string (supplementary characters as 4-byte
 * sequences), on the native heap; the caller frees it. A string longer
 * than maxBytes in UTF-8, or holding U+0000 or an unpaired surrogate, is
 * refused with one IOException that names `what` and the problem. Null
 * for a null reference (nothing pending) and on refusal. A null `what`
 * lets U+0000 through (see getStringNativeChars). */
char* getExactUtf8Chars(JNIEnv* env, jstring jstr, const char* what, size_t maxBytes);
/* The exact UTF-8 of any string: no length limit, and U+0000 kept as a NUL
 * byte (the native text then looks shorter); an unpaired surrogate is
 * refused. */
char* getStringNativeChars(JNIEnv* env, jstring jstr);
int standardString(JNIEnv* env, char* msgBuffer, const int bufSize, const char* file, const int line,
                   mirrorbank_ctx* ctx, mb_rqs* rqsPtr);
/* A Java string of native text (at most maxBytes bytes, stopping at a NUL),
 * decoded as UTF-8 through String(byte[], Charset), so any byte sequence is
 * safe. Null with an exception pending on failure. */
jstring newJavaStringFromNative(JNIEnv* env, const char* text, size_t maxBytes);

/* Prefix and body of a log line or exception text into buffer (usable size
 * MIRRORBANK_MSG_BUFFER - 1, NUL at index MIRRORBANK_MSG_BUFFER - 2): the
 * length the formatters reported, or -1 after `who`'s fallback line went to
 * standard error. An empty body is a failure unless emptyBodyOk. */
int formatMessage(char* buffer, const char* who, bool emptyBodyOk, const char* file__, const int line__,
                  mirrorbank_ctx* ctx, mb_rqs* rqsPtr, const char* format, va_list args);

/* ---- Contextual I/O exceptions ---- */
void contextIOExceptionImpl(JNIEnv* j_env, const char* file__, const int line__, mirrorbank_ctx* ctx,
                            mb_rqs* rqsPtr, const char* format, ...) __attribute__((format(printf, 6, 7)));
void contextIOExceptionV(JNIEnv* j_env, const char* file__, const int line__, mirrorbank_ctx* ctx,
                         mb_rqs* rqsPtr, const char* format, va_list args);

/* ---- Daemon failure events ---- */
void registerMBFailureEvent(JNIEnv* j_env, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                            char* storeName);
void unregisterMBFailureEvent(JNIEnv* j_env, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                              char* storeName);

/* ---- Configuration and client start-up ---- */
int getConfigString(JNIEnv* j_env, char* query, jsize current, jsize length, char** keys, char** values);
mirrorbank_ctx* fileio_mb_contextInternal(JNIEnv* j_env, int length, char** keys, char** values,
                                          char** errorStringPtr, int* errorCodePtr);
void populateConfig(JNIEnv* j_env, mirrorbank_ctx* ctx, int index, int length, char** keys, char** values);
int validatemblibTraceLevel(JNIEnv* j_env, int sourceTraceLevel);
/* Environment lookup for native configuration; nothing here calls it. */
char* configurationEnvVariable(JNIEnv* j_env, char* name, char* debug);

/* ---- Open and close ---- */
jlong open_replicated_internal(JNIEnv* j_env, jclass clazz, jstring j_fname, jstring j_mode_ignored,
                               jboolean j_exclusive, jobjectArray j_configurationKeys,
                               jobjectArray j_configurationValues);
int fileio_mb_open(JNIEnv* j_env, mirrorbank_ctx* ctx, char* storename);
void fileio_mb_close(JNIEnv* j_env, mirrorbank_ctx* ctx, int file_descriptor);
int fileio_mb_getLength(JNIEnv* j_env, mirrorbank_ctx* ctx);
void assignNewFileLength(JNIEnv* j_env, mirrorbank_ctx* ctx, const unsigned int newFileLength, char* debug,
                         const int linenumber, mb_client_storeinfo* localStoreInfo);

/* ---- Asynchronous operation engine ---- */
extern int64_t totalMB_Waits; /* incremented atomically */
boolean read_ncb(mb_client_opargs* opargs);
boolean write_ncb(mb_client_opargs* opargs);
int retriedRead(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_ctx* client, mb_client_opargs* op);
int retriedWrite(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_opargs* op);
/* Buffer registration is not offered (always MB_FAIL); nothing here calls it. */
mb_status fileio_mb_register(JNIEnv* j_env, mirrorbank_ctx* ctx, char* buf);
/* Records of operations that failed while the client library may still
 * deliver their notification: kept alive, never reused. */
extern int64_t parkedOperationRecords;

/* ---- Read and write paths ---- */
int fileio_mb_read_register(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf,
                            const int length);
int fileio_mb_write_register(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf,
                             const int length);
int fileio_mb_read(JNIEnv* j_env, mirrorbank_ctx* ctx, int userOffsetIntoStore, char* buf, int size, mb_key* key);
int fileio_mb_write(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf, const int size,
                    mb_key* key);
int fileio_internal_read(JNIEnv* j_env, mirrorbank_ctx* ctx, const int actualOffsetIntoStore, void* buf,
                         const int length, mb_key* key);
int fileio_internal_write(JNIEnv* j_env, mirrorbank_ctx* ctx, const int actualOffsetIntoStore, char* buf,
                          const int length, mb_key* key);

/* ---- Device figures ---- */
int64_t fileio_mb_daemon_memory_limit(JNIEnv* j_env, mirrorbank_ctx* ctx);
int64_t fileio_mb_daemon_memory_used(JNIEnv* j_env, mirrorbank_ctx* ctx);

/* ---- Admin surface load hook (rs_admin) ---- */
void rs_admin_onLoad(void);

#ifdef __cplusplus
}

/* Frees a native copy of a Java string when the native method returns. */
struct NativeChars {
    char* p;
    explicit NativeChars(char* text) : p(text) {}
    ~NativeChars() { free(p); }
    NativeChars(const NativeChars&) = delete;
    NativeChars& operator=(const NativeChars&) = delete;
};

/* ---- Client-library steps ----
 * Every client-library call that fault injection reaches is one row of a
 * fixed table: the flags its operation re-reads, the crash events armed
 * around it, the flag that fails it, and what it logs and raises when it
 * fails. runStep performs a row in this order: refresh, arm, call,
 * simulated failure, disarm, then the failure's log line and exception. */

/* One pair of `tests`: the property key and the switch. */
struct fault_flag {
    const char* const* key;
    bool* on;
};
#define FAULT(name) {&tests.name##Key, &tests.name}

struct mb_step {
    fault_flag refreshed[4]; /* the operation's flags, re-read in this order */
    fault_flag events[3];    /* crash events armed before the call, disarmed after it */
    fault_flag fault;        /* when on, the call's outcome becomes MB_FAIL / MB_ERR_CANCEL */
    bool faultVoidsHandle;   /* ... and the region handle it returned counts as failed */
    const char* failureLine; /* verbose, before the exception; may be null */
    const char* failure;     /* the exception's text, with the arguments runStep is given */
    const char* endLine;     /* verbose, after a success; may be null */
};

/* One performance of a row. */
struct step_call {
    const char* file; /* source file and line that log lines and the exception name */
    int line;
    mirrorbank_ctx* ctx; /* named by the exception; may be null */
    mb_rqs* rqs;         /* the call's outcome */
    /* The crash events go on this connection, region handle (read when
     * arming and again when disarming) and region name. */
    mb_client_ctx* client;
    mb_store_handle* handle;
    char* storeName;
    bool refreshed;   /* the operation re-read its flags at its start already */
    bool reportLater; /* the caller reports a failure itself (reportStep) */
};

/* Re-reads the row's flags (while instrumentation is on). */
void refreshStep(JNIEnv* env, const mb_step& step, const step_call& c);
/* Refresh (unless done) and arm. */
void stepBefore(JNIEnv* env, const mb_step& step, const step_call& c);
/* Simulated failure, disarm, and on failure (unless reportLater) the log
 * line and the exception; true when the outcome is MB_SUCC. */
bool stepAfter(JNIEnv* env, const mb_step& step, const step_call& c, va_list failureArgs);
/* Whether the row's fault is switched on: its call counts as failed. */
bool stepFaultOn(const mb_step& step);
/* The failure's log line and exception, for callers that report later;
 * an exception already pending stays the one Java sees. */
void reportStep(JNIEnv* env, const mb_step& step, const step_call* c, ...);

/* Performs a row around `call`; the arguments after `c` fill the failure
 * text. `call` may return false to say the call was not made: nothing is
 * then disarmed, simulated or reported, and the result is false. */
template <class Call>
bool runStep(JNIEnv* env, Call call, const mb_step& step, const step_call* c, ...) {
    stepBefore(env, step, *c);
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
    } else if (!call()) {
        return false;
    }
    va_list args;
    va_start(args, c);
    bool ok = stepAfter(env, step, *c, args);
    va_end(args);
    return ok;
}
#endif

#endif /* FILEIO_MIRRORBANK_H */
