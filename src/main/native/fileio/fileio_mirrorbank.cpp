/*
 * fileio_mirrorbank.cpp - the replicated file device.
 *
 * Regions of the store cluster are opened as files through a fixed table
 * of store contexts; reads and writes go to the client library as single
 * asynchronous operations driven to completion on the calling thread.
 * Also here: the library load entry, the Java glue (exceptions, strings,
 * message prefix), contextual I/O exceptions and daemon failure events.
 */
#include "fileio_mirrorbank.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define LOG_FILE "fileio_mirrorbank"

namespace {

/* Releases a heap block from getStringNativeChars on every path. */
struct NativeChars {
    char* chars;
    explicit NativeChars(char* c) : chars(c) {}
    ~NativeChars() { free(chars); }
    NativeChars(const NativeChars&) = delete;
    NativeChars& operator=(const NativeChars&) = delete;
};

/* The configuration copied out of the two Java arrays for one open. */
struct ConfigArrays {
    int length;
    char** keys;
    char** values;
    ConfigArrays() : length(0), keys(NULL), values(NULL) {}
    ~ConfigArrays() {
        for (int i = 0; i < length; i++) {
            if (keys != NULL) free(keys[i]);
            if (values != NULL) free(values[i]);
        }
        free(keys);
        free(values);
    }
    ConfigArrays(const ConfigArrays&) = delete;
    ConfigArrays& operator=(const ConfigArrays&) = delete;
};

/* Callbacks record of each context's client connection; static, so it
 * outlives every connection made from it. */
mb_callbacks contextCallbacks[MIRRORBANK_MAX_CONTEXTS];

/* Records of one read or write: the notification record comes first so
 * that the cookie (its address) also names the whole block. */
struct operation_records {
    general_ncb ncb;
    mb_client_opargs op;
};

const int64_t kMaxFilePosition = 0x7fffffffLL;

/* Decimal as atoi reads it, held at the 64-bit limits, low 32 bits kept. */
int64_t parseDecimal64(const char* text) {
    errno = 0;
    long long v = strtoll(text, NULL, 10);
    return (int64_t)v;
}
uint32_t parseDecimalLow32(const char* text) { return (uint32_t)(uint64_t)parseDecimal64(text); }

} /* namespace */

extern "C" {

mirrorbank_ctx replicatedContextArray[MIRRORBANK_MAX_CONTEXTS];
jclass String_clazz = NULL;
jmethodID MID_String_init = NULL;
jmethodID MID_String_getBytes = NULL;
int64_t granularity = 0;
JavaVM* cachedJavaVM = NULL;
int64_t totalMB_Waits = 0;
int64_t parkedOperationRecords = 0;

/* ======================================================================
 * Store context table
 * ==================================================================== */

void clearCtx(mirrorbank_ctx* ctx) {
    memset(ctx, 0, sizeof(*ctx));
    ctx->fileDescriptor = -1;
}

void mirrorbank_onLoad(void) {
    for (int i = 0; i < MIRRORBANK_MAX_CONTEXTS; i++) clearCtx(&replicatedContextArray[i]);
}

/* ======================================================================
 * Load entry and Java glue
 * ==================================================================== */

/* java.nio.Buffer.capacity: read directly once GetDirectBufferAddress has
 * shown the object to be a direct buffer (GetDirectBufferCapacity would
 * repeat that type test on every transfer). */
static jfieldID bufferCapacityField = NULL;

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved) {
    (void)reserved;
    void* envPtr = NULL;
    if (vm == NULL || vm->GetEnv(&envPtr, JNI_VERSION_1_2) != JNI_OK || envPtr == NULL) return JNI_ERR;
    JNIEnv* env = (JNIEnv*)envPtr;
    cachedJavaVM = vm;
    initializeLogging(env);
    mirrorbank_onLoad();
    rs_admin_onLoad();
    jclass cls = env->FindClass("java/lang/String");
    if (cls == NULL) return JNI_ERR;
    String_clazz = (jclass)env->NewGlobalRef(cls);
    env->DeleteLocalRef(cls);
    if (String_clazz == NULL) return JNI_ERR;
    MID_String_init = env->GetMethodID(String_clazz, "<init>", "([B)V");
    if (MID_String_init == NULL) return JNI_ERR;
    MID_String_getBytes = env->GetMethodID(String_clazz, "getBytes", "()[B");
    if (MID_String_getBytes == NULL) return JNI_ERR;
    granularity = (int64_t)sysconf(_SC_PAGESIZE);
    jclass bufferClass = env->FindClass("java/nio/Buffer");
    if (bufferClass == NULL) return JNI_ERR;
    bufferCapacityField = env->GetFieldID(bufferClass, "capacity", "I");
    env->DeleteLocalRef(bufferClass);
    if (bufferCapacityField == NULL) return JNI_ERR;
    return JNI_VERSION_1_2;
}

void TSSRepIOThrowException(JNIEnv* j_env, const char* name, const char* msg) {
    /* One exception at a time: the one already pending stays. */
    if (j_env == NULL || j_env->ExceptionCheck()) return;
    jclass cls = j_env->FindClass(name);
    if (cls == NULL) return;
    j_env->ThrowNew(cls, msg);
    j_env->DeleteLocalRef(cls);
}

void TSSRepIOThrowIO(JNIEnv* env, const char* msg) { TSSRepIOThrowException(env, "java/io/IOException", msg); }

void TSSRepIOThrowNPE(JNIEnv* env, const char* msg) {
    TSSRepIOThrowException(env, "java/lang/NullPointerException", msg);
}

void TSSRepIOThrowOOM(JNIEnv* env, const char* msg) {
    TSSRepIOThrowException(env, "java/lang/OutOfMemoryError", msg);
}

char* getStringNativeChars(JNIEnv* env, jstring jstr) {
    if (jstr == NULL || env == NULL) return NULL;
    if (env->ExceptionCheck()) return NULL;
    if (env->EnsureLocalCapacity(2) < 0) {
        env->ExceptionClear();
        TSSRepIOThrowOOM(env, "Cannot allocate stack frame.");
        return NULL;
    }
    jbyteArray bytes = (jbyteArray)env->CallObjectMethod(jstr, MID_String_getBytes);
    jthrowable exc = env->ExceptionOccurred();
    if (exc != NULL) {
        env->DeleteLocalRef(exc);
        if (bytes != NULL) env->DeleteLocalRef(bytes);
        return NULL;
    }
    if (bytes == NULL) return NULL;
    jsize len = env->GetArrayLength(bytes);
    char* result = (char*)malloc((size_t)len + 1);
    if (result == NULL) {
        env->DeleteLocalRef(bytes);
        TSSRepIOThrowOOM(env, "Cannot allocate native char array.");
        return NULL;
    }
    env->GetByteArrayRegion(bytes, 0, len, (jbyte*)result);
    result[len] = '\0';
    env->DeleteLocalRef(bytes);
    return result;
}

jstring newJavaStringFromNative(JNIEnv* env, const char* text, size_t maxBytes) {
    if (env == NULL || text == NULL || String_clazz == NULL || MID_String_init == NULL) return NULL;
    if (env->ExceptionCheck()) return NULL;
    size_t len = strnlen(text, maxBytes);
    if (len > 0x7fffffffU) len = 0x7fffffffU;
    jbyteArray bytes = env->NewByteArray((jsize)len);
    if (bytes == NULL) return NULL;
    env->SetByteArrayRegion(bytes, 0, (jsize)len, (const jbyte*)text);
    jstring result = NULL;
    if (!env->ExceptionCheck()) result = (jstring)env->NewObject(String_clazz, MID_String_init, bytes);
    env->DeleteLocalRef(bytes);
    if (env->ExceptionCheck()) {
        if (result != NULL) env->DeleteLocalRef(result);
        return NULL;
    }
    return result;
}

int standardString(JNIEnv* env, char* msgBuffer, const int bufSize, const char* file, const int line,
                   mirrorbank_ctx* ctx, mb_rqs* rqsPtr) {
    (void)env;
    int current = snprintf(msgBuffer, (size_t)bufSize, "%s:%u: ", file, (unsigned)line);
    if (current <= 0) return current;
    if (ctx != NULL && ctx->storeInfo.name[0] != '\0' && current < bufSize) {
        int n = snprintf(msgBuffer + current, (size_t)(bufSize - current), "(Storename=%.*s ) ",
                         (int)sizeof(ctx->storeInfo.name), ctx->storeInfo.name);
        if (n <= 0) return n;
        current += n;
    }
    if (rqsPtr != NULL && current < bufSize) {
        const char* detail = mb_get_error_message(rqsPtr);
        int n = snprintf(msgBuffer + current, (size_t)(bufSize - current), "(status=%d error=%d Detail: %s )",
                         (int)rqsPtr->status, (int)rqsPtr->error, detail != NULL ? detail : "(null)");
        if (n <= 0) return n;
        current += n;
    }
    return current;
}

/* ======================================================================
 * The log function
 * ==================================================================== */

int logWithContext(JNIEnv* j_env, bool* nativeToJavaControlPtr, bool* logWarnedPtr, jmethodID* logMethodPtr,
                   const char* file__, const int line__, mirrorbank_ctx* ctx, mb_rqs* rqsPtr, const char* format,
                   ...) {
    DebugNativeSuspension suspension;
    if (!*nativeToJavaControlPtr) {
        *logWarnedPtr = true;
        return 0;
    }
    char buffer[MIRRORBANK_MSG_BUFFER];
    int current = standardString(j_env, buffer, MIRRORBANK_MSG_BUFFER - 1, file__, line__, ctx, rqsPtr);
    if (current <= 0) {
        fprintf(stderr, "%s:%u: logWithContext could not init? attempt was %s:%u  %s\n", LOG_FILE, __LINE__, file__,
                line__, format);
        return 0;
    }
    int body = 0;
    if (current < MIRRORBANK_MSG_BUFFER - 1) {
        va_list args;
        va_start(args, format);
        body = vsnprintf(buffer + current, MIRRORBANK_MSG_BUFFER - 1 - current, format, args);
        va_end(args);
        if (body <= 0) {
            fprintf(stderr, "%s:%u: logWithContext could not vlist? attempt was %s:%u  %s\n", LOG_FILE, __LINE__,
                    file__, line__, format);
            return 0;
        }
    }
    buffer[MIRRORBANK_MSG_BUFFER - 2] = '\0';
    if (j_env != NULL && *logMethodPtr != NULL) {
        if (deliverLogLine(j_env, *logMethodPtr, buffer)) return current + body;
    }
    return fprintf(stderr, "%s\n", buffer);
}

/* ======================================================================
 * Contextual I/O exceptions
 * ==================================================================== */

void contextIOExceptionImpl(JNIEnv* j_env, const char* file__, const int line__, mirrorbank_ctx* ctx,
                            mb_rqs* rqsPtr, const char* format, ...) {
    if (j_env == NULL) {
        if (nativeToJavaVerbose || nativeToJavaDebug)
            fprintf(stderr, "%s:%u attempt for IO Exception thrown from native code without JNI : %s", file__,
                    (unsigned)line__, format);
        return;
    }
    char buffer[MIRRORBANK_MSG_BUFFER];
    int current = standardString(j_env, buffer, MIRRORBANK_MSG_BUFFER - 1, file__, line__, ctx, rqsPtr);
    if (current <= 0) {
        fprintf(stderr, "%s:%u: contextIOException could not init? attempt was %s:%u  %s\n", LOG_FILE, __LINE__,
                file__, (unsigned)line__, format);
        return;
    }
    if (current < MIRRORBANK_MSG_BUFFER - 1) {
        va_list args;
        va_start(args, format);
        int body = vsnprintf(buffer + current, MIRRORBANK_MSG_BUFFER - 1 - current, format, args);
        va_end(args);
        if (body <= 0) {
            if (nativeToJavaVerbose || nativeToJavaDebug) {
                fprintf(stderr, "%s:%u: contextIOException could not vlist? attempt was %s:%u  %s\n", LOG_FILE,
                        __LINE__, file__, (unsigned)line__, format);
                return;
            }
            buffer[current] = '\0';
        }
    }
    buffer[MIRRORBANK_MSG_BUFFER - 2] = '\0';
    if (nativeToJavaVerbose)
        logWithContext(j_env, &nativeToJavaVerbose, &verboseWarned, &verboseLogMethod, LOG_FILE, __LINE__, NULL, NULL,
                       "%s", buffer);
    else if (nativeToJavaDebug)
        logWithContext(j_env, &nativeToJavaDebug, &debugWarned, &debugLogMethod, LOG_FILE, __LINE__, NULL, NULL,
                       "%s", buffer);
    TSSRepIOThrowIO(j_env, buffer);
}

/* ======================================================================
 * Daemon failure events
 * ==================================================================== */

namespace {

struct crash_event {
    const char* const* key;
    const bool* flag;
    int target;
    const char* registerMessage;
    const char* unregisterMessage;
};

#define CRASH_EVENT(name, target, regName)                                                                 \
    {&tests.name##Key, &tests.name, target,                                                                \
     "registerMBFailureEvent " regName " register failed. status=%d:%d, Detail: %s",                       \
     "unregisterMBFailureEvent " #name " unregister failed. status=%d:%d, Detail: %s"}

const crash_event crashEvents[10] = {
    CRASH_EVENT(crash_primary_daemon_during_writeTest, MB_EVENT_TARGET_PRIMARY, "crash_primary_daemon_during_writeTest"),
    CRASH_EVENT(crash_primary_daemon_during_deleteTest, MB_EVENT_TARGET_PRIMARY, "crash_primary_daemon_during_deleteTest"),
    CRASH_EVENT(crash_primary_daemon_during_openstoreTest, MB_EVENT_TARGET_PRIMARY, "crash_primary_daemon_during_openstoreTest"),
    CRASH_EVENT(crash_primary_daemon_during_closestoreTest, MB_EVENT_TARGET_PRIMARY, "crash_primary_daemon_during_closestoreTest"),
    CRASH_EVENT(crash_storejvm_during_writeTest, MB_EVENT_TARGET_PROCESS, "crash_storejvm_during_writeTest"),
    CRASH_EVENT(crash_storejvm_during_deleteTest, MB_EVENT_TARGET_PROCESS, "crash_storejvm_during_deleteTest"),
    CRASH_EVENT(crash_storejvm_during_openstoreTest, MB_EVENT_TARGET_PROCESS, "crash_storejvm_during_openstoreTest"),
    CRASH_EVENT(crash_storejvm_during_closestoreTest, MB_EVENT_TARGET_PROCESS, "crash_storejvm_during_closestoreTestKey"),
    CRASH_EVENT(crash_secondary_daemon_during_writeTest, MB_EVENT_TARGET_SECONDARY, "crash_secondary_daemon_during_writeTest"),
    CRASH_EVENT(crash_secondary_daemon_during_deleteTest, MB_EVENT_TARGET_SECONDARY, "crash_secondary_daemon_during_deleteTest"),
};

void armOrDisarm(JNIEnv* j_env, int arm, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                 char* storeName) {
    if (!instrumentation || eventKey == NULL) return;
    const crash_event* event = NULL;
    for (int i = 0; i < 10; i++) {
        if (strcmp(*crashEvents[i].key, eventKey) == 0) {
            event = &crashEvents[i];
            break;
        }
    }
    if (event == NULL || !*event->flag) return;
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    mb_event(&rqs, client, arm, MB_EVENT_C1, MB_EVENT_C2, MB_EVENT_C3, event->target, MB_EVENT_C4, handle, storeName);
    if (rqs.status == MB_FAIL && nativeToJavaDebug)
        logWithContext(j_env, &nativeToJavaDebug, &debugWarned, &debugLogMethod, LOG_FILE, __LINE__, NULL, NULL,
                       arm ? event->registerMessage : event->unregisterMessage, (int)rqs.status, (int)rqs.error,
                       mb_get_error_message(&rqs));
}

} /* namespace */

void registerMBFailureEvent(JNIEnv* j_env, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                            char* storeName) {
    armOrDisarm(j_env, 1, eventKey, client, handle, storeName);
}

void unregisterMBFailureEvent(JNIEnv* j_env, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                              char* storeName) {
    armOrDisarm(j_env, 0, eventKey, client, handle, storeName);
}

/* ======================================================================
 * Store configuration and client start-up
 * ==================================================================== */

int getConfigString(JNIEnv* j_env, char* query, jsize current, jsize length, char** keys, char** values) {
    LOG_VERBOSE(j_env, "getConfigString begin");
    if (length <= 0 || query == NULL || keys == NULL || values == NULL) return -1;
    int64_t start = ((int64_t)current + 1) % length;
    if (start < 0) start += length;
    for (jsize probe = 0; probe < length; probe++) {
        jsize i = (jsize)((start + probe) % length);
        if (keys[i] == NULL || strcmp(query, keys[i]) != 0) {
            LOG_DEBUG(j_env, "getConfigString wants %s skips %s", query, keys[i] != NULL ? keys[i] : "(null)");
            continue;
        }
        if (values[i] != NULL && values[i][0] != '\0') {
            LOG_DEBUG(j_env, "getConfigString FOUND %s as %s", query, values[i]);
            return i;
        }
        LOG_DEBUG(j_env, "getConfigString HAD NULL VALUE %s index %d", query, (int)i);
        return -1;
    }
    return -1;
}

int validatemblibTraceLevel(JNIEnv* j_env, int sourceTraceLevel) {
    if (sourceTraceLevel >= 0 && sourceTraceLevel <= 5) return sourceTraceLevel;
    LOG_DEBUG(j_env,
              "Invalid (not between 0 to 5) mblibTraceLevel (value=%d) found. 5 which means MB_TRACE_LEVEL_VERBOSE is "
              "used instead of tessera.store.replicated.nativelib.tracelevel system property value provided",
              sourceTraceLevel);
    return 5;
}

char* configurationEnvVariable(JNIEnv* j_env, char* name, char* debug) {
    char* value = name != NULL ? getenv(name) : NULL;
    if (value != NULL) {
        LOG_DEBUG(j_env, "config %s=%s", name, value);
    } else {
        LOG_DEBUG(j_env, "empty environment variable %s (%s)", name != NULL ? name : "(null)",
                  debug != NULL ? debug : "(null)");
    }
    return value;
}

void populateConfig(JNIEnv* j_env, mirrorbank_ctx* ctx, int index, int length, char** keys, char** values) {
    LOG_VERBOSE(j_env, "populateConfig begin");
    setTestFlag(j_env, mb_initErrorTest);

    /* Each lookup starts just after where the key before it was found. */
    int hint = index + 1;
    int at;
    const char* storeConfigName = NULL;

    at = getConfigString(j_env, (char*)"StoreConfigName", hint, length, keys, values);
    if (at >= 0) storeConfigName = values[at];
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"Address", hint, length, keys, values);
    if (at >= 0) ctx->initConfig.ip = (ub4)inet_addr(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"BlockSize", hint, length, keys, values);
    if (at >= 0) ctx->blocksize = parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"BusyWaitMicroSeconds", hint, length, keys, values);
    if (at >= 0) ctx->initConfig.busywait = parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"ConfigFileName", hint, length, keys, values);
    if (at >= 0) {
        strncpy(ctx->initConfig.cfg_filename, values[at], sizeof(ctx->initConfig.cfg_filename) - 1);
        ctx->initConfig.cfg_filename[sizeof(ctx->initConfig.cfg_filename) - 1] = '\0';
    }
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"IoBufferSize", hint, length, keys, values);
    if (at >= 0) ctx->ioBufferSize = parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"LocalIndex", hint, length, keys, values);
    if (at >= 0) ctx->initConfig.localindex = parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"MaxReplicaCount", hint, length, keys, values);
    if (at >= 0) ctx->maxReplicaCount = (int32_t)parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"MinReplicaCount", hint, length, keys, values);
    if (at >= 0) ctx->minReplicaCount = (int32_t)parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"Port", hint, length, keys, values);
    if (at >= 0) ctx->initConfig.localport = htons((uint16_t)parseDecimalLow32(values[at]));
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"RegionSize", hint, length, keys, values);
    if (at >= 0) ctx->totalsize = parseDecimalLow32(values[at]);
    hint = at >= 0 ? at + 1 : 0;

    at = getConfigString(j_env, (char*)"SleepWaitMilliSeconds", hint, length, keys, values);
    if (at >= 0) ctx->initConfig.timeout = parseDecimalLow32(values[at]);

    /* Trace level handed to the client library. */
    int traceLevel = 0;
    if (nativeToJavaDebug || nativeToJavaVerbose) {
        if (j_env == NULL) {
            traceLevel = 5;
        } else {
            int storeLevel = -1;
            if (storeConfigName != NULL) {
                size_t keySize = strlen(storeConfigName) + 48;
                char* propertyKey = (char*)malloc(keySize);
                if (propertyKey != NULL) {
                    snprintf(propertyKey, keySize, "%s%s%s", "tessera.store.replicated.", storeConfigName,
                             ".nativelib.tracelevel");
                    storeLevel = readIntJavaSystemProperty(j_env, propertyKey);
                    free(propertyKey);
                }
                if (storeLevel != -1) {
                    LOG_VERBOSE(j_env, "populateConfig mblib store (config name=%s) specific TraceLevel=%d",
                                storeConfigName, storeLevel);
                    traceLevel = validatemblibTraceLevel(j_env, storeLevel);
                }
            }
            if (storeConfigName == NULL || storeLevel == -1) {
                LOG_VERBOSE(j_env, "populateConfig mblib Global TraceLevel=%d", mblibTraceLevel);
                traceLevel = validatemblibTraceLevel(j_env, mblibTraceLevel);
            }
        }
    }
    ctx->initConfig.trace_level = traceLevel;

    size_t slot = (size_t)(ctx - replicatedContextArray);
    mb_callbacks* callbacks = &contextCallbacks[slot];
    memset(callbacks, 0, sizeof(*callbacks));
    callbacks->trace = mbloggercallback;
    callbacks->tracecbctx = ctx;
    ctx->initConfig.ccb = callbacks;

    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    ctx->client_ctx = mb_init(&rqs, &ctx->initConfig);
    if (instrumentation && tests.mb_initErrorTest) {
        simulateFailure(mb_initErrorTest, &rqs);
        if (ctx->client_ctx != NULL) {
            /* The library did make a connection: finish it so nothing leaks. */
            mb_rqs finiRqs = {MB_SUCC, MB_ERR_NONE};
            mb_fini(&finiRqs, ctx->client_ctx);
        }
        ctx->client_ctx = NULL;
    }
    if (ctx->client_ctx == NULL)
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs, "populateConfig mb_init failed");
    LOG_VERBOSE(j_env, "populateConfig end");
}

mirrorbank_ctx* fileio_mb_contextInternal(JNIEnv* j_env, int length, char** keys, char** values,
                                          char** errorStringPtr, int* errorCodePtr) {
    LOG_VERBOSE(j_env, "fileio_mb_contextInternal begin");
    int index = getConfigString(j_env, (char*)"CandidateHandle", 0, length, keys, values);
    int64_t parsed = index >= 0 ? parseDecimal64(values[index]) : 0;
    int handle = (int)(uint32_t)(uint64_t)parsed;
    /* The range test is made on the number as written, so that a value
     * such as 4294967296 cannot wrap round onto record 0. */
    if (index < 0 || parsed < 0 || parsed > MIRRORBANK_MAX_CONTEXTS - 1) {
        if (errorStringPtr != NULL) *errorStringPtr = (char*)"Illegal config argument, configuration has no candidateHandle";
        if (errorCodePtr != NULL) *errorCodePtr = 0;
        LOG_VERBOSE(j_env, "fileio_mb_contextInternal end. index=%d, handle=%d", index, handle);
        return NULL;
    }
    mirrorbank_ctx* ctx = &replicatedContextArray[handle];
    if (ctx->fileDescriptor != -1 && ctx->closeCount == 0) {
        if (errorStringPtr != NULL) *errorStringPtr = (char*)"Illegal config argument, handle not available";
        if (errorCodePtr != NULL) *errorCodePtr = 0;
        LOG_VERBOSE(j_env, "fileio_mb_contextInternal failed %s", "Illegal config argument, handle not available");
        return NULL;
    }
    clearCtx(ctx);
    populateConfig(j_env, ctx, index, length, keys, values);
    if (ctx->client_ctx == NULL) {
        clearCtx(ctx);
        if (errorStringPtr != NULL) *errorStringPtr = (char*)"mb_init failed";
        if (errorCodePtr != NULL) *errorCodePtr = 0;
        LOG_VERBOSE(j_env, "fileio_mb_contextInternal end due to null context");
        return NULL;
    }
    ctx->fileDescriptor = handle;
    LOG_DEBUG(j_env, "fileio_mb_contextInternal cfg_filename=%s timeoutMillis=%d)", ctx->initConfig.cfg_filename,
              (int)ctx->initConfig.timeout);
    LOG_DEBUG(j_env, "initConfig.localport = htons is 0x%x", (unsigned)ctx->initConfig.localport);
    LOG_DEBUG(j_env, "fileio_mb_contextInternal (trace=%d, ip, busywaitMicros=%d", ctx->initConfig.trace_level,
              (int)ctx->initConfig.busywait);
    LOG_VERBOSE(j_env, "fileio_mb_contextInternal end");
    return ctx;
}

/* ======================================================================
 * Opening and closing a store
 * ==================================================================== */

void assignNewFileLength(JNIEnv* j_env, mirrorbank_ctx* ctx, const unsigned int newFileLength, char* debug,
                         const int linenumber, mb_client_storeinfo* localStoreInfo) {
    LOG_VERBOSE(j_env, "assignNewFileLength begin");
    uint32_t old = ctx->writtenFileSize;
    ctx->writtenFileSize = newFileLength;
    memcpy(&ctx->storeInfo, localStoreInfo, sizeof(ctx->storeInfo));
    LOG_DEBUG(j_env, "context->file length (%s) = x%x line=%d", debug, ctx->writtenFileSize, linenumber);
    LOG_DEBUG(j_env, "context->file handle %d length grew by x%x", (int)ctx->handle, (unsigned)(newFileLength - old));
    LOG_VERBOSE(j_env, "assignNewFileLength end");
}

int fileio_mb_getLength(JNIEnv* j_env, mirrorbank_ctx* ctx) {
    LOG_DEBUG(j_env, "fileio_mb_getLength=x%x", ctx->writtenFileSize);
    return (int)ctx->writtenFileSize;
}

void fileio_mb_close(JNIEnv* j_env, mirrorbank_ctx* ctx, int file_descriptor) {
    LOG_VERBOSE(j_env, "fileio_mb_close begin");
    setTestFlag(j_env, mb_closestoreErrorTest);
    setTestFlag(j_env, mb_finiErrorTest);
    setTestFlag(j_env, crash_primary_daemon_during_closestoreTest);
    setTestFlag(j_env, crash_storejvm_during_closestoreTest);
    LOG_VERBOSE(j_env, "fileio_mb_close file_descriptor=%d mb_handle=%d closeCount=%d", file_descriptor,
                (int)ctx->handle, ctx->closeCount);
    registerMBFailureEvent(j_env, (char*)tests.crash_primary_daemon_during_closestoreTestKey, ctx->client_ctx,
                           ctx->handle, ctx->storeInfo.name);
    registerMBFailureEvent(j_env, (char*)tests.crash_storejvm_during_closestoreTestKey, ctx->client_ctx, ctx->handle,
                           ctx->storeInfo.name);
    if (ctx->closeCount != 0) {
        LOG_VERBOSE(j_env, "fileio_mb_close abort file_descriptor=%d mb_handle=%d closeCount=%d", file_descriptor,
                    (int)ctx->handle, ctx->closeCount);
        return;
    }
    ctx->closeCount = 1;
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    mb_closestore(&rqs, ctx->client_ctx, ctx->handle, MIRRORBANK_CLOSE_FLAGS);
    unregisterMBFailureEvent(j_env, (char*)tests.crash_primary_daemon_during_closestoreTestKey, ctx->client_ctx,
                             ctx->handle, ctx->storeInfo.name);
    unregisterMBFailureEvent(j_env, (char*)tests.crash_storejvm_during_closestoreTestKey, ctx->client_ctx,
                             ctx->handle, ctx->storeInfo.name);
    simulateFailure(mb_closestoreErrorTest, &rqs);
    if (rqs.status != MB_SUCC) {
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs, "fileio_mb_close mb_closestore failed.");
        LOG_VERBOSE(j_env, "fileio_mb_close failed, mb_fini not called");
        return;
    }
    mb_fini(&rqs, ctx->client_ctx);
    simulateFailure(mb_finiErrorTest, &rqs);
    if (rqs.status != MB_SUCC) {
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs, "fileio_mb_close mb_fini failed.");
        LOG_VERBOSE(j_env, "fileio_mb_close mb_fini failed");
    } else {
        LOG_VERBOSE(j_env, "fileio_mb_close end");
    }
}

int fileio_mb_open(JNIEnv* j_env, mirrorbank_ctx* ctx, char* storename) {
    LOG_VERBOSE(j_env, "fileio_mb_open begin");
    mb_libinfo libinfo;
    memset(&libinfo, 0, sizeof(libinfo));
    mb_get_libinfo(&libinfo);
    LOG_DEBUG(j_env, "fileio_mb_open storename=%s flags=0x%x library version=(%s)  label=(%s) stamp=(%s)", storename,
              MIRRORBANK_OPEN_FLAGS, libinfo.mb_lib_version ? libinfo.mb_lib_version : "(null)",
              libinfo.mb_lib_blabel ? libinfo.mb_lib_blabel : "(null)",
              libinfo.mb_lib_bstamp ? libinfo.mb_lib_bstamp : "(null)");
    setTestFlag(j_env, mb_openstoreErrorTest);
    setTestFlag(j_env, fileio_mb_open_mb_get_storeinfoErrorTest);
    setTestFlag(j_env, crash_primary_daemon_during_openstoreTest);
    setTestFlag(j_env, crash_storejvm_during_openstoreTest);
    registerMBFailureEvent(j_env, (char*)tests.crash_primary_daemon_during_openstoreTestKey, ctx->client_ctx,
                           ctx->handle, storename);
    registerMBFailureEvent(j_env, (char*)tests.crash_storejvm_during_openstoreTestKey, ctx->client_ctx, ctx->handle,
                           storename);
    LOG_DEBUG(j_env, "fileio_mb_open storename=%s flags=0x%x", storename, MIRRORBANK_OPEN_FLAGS);
    LOG_DEBUG(j_env, "fileio_mb_open going to open store=%s with maxReplicaCount=%d/min=%d ", storename,
              ctx->maxReplicaCount, ctx->minReplicaCount);
    LOG_DEBUG(j_env, "fileio_mb_open totalsize=%d ctx->blocksize=%d", (int)ctx->totalsize, (int)ctx->blocksize);

    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    ctx->handle = mb_openstore(&rqs, ctx->client_ctx, storename, ctx->minReplicaCount, ctx->maxReplicaCount,
                               MIRRORBANK_OPEN_FLAGS, ctx->totalsize, ctx->blocksize);
    if (instrumentation && tests.mb_openstoreErrorTest) {
        simulateFailure(mb_openstoreErrorTest, &rqs);
        ctx->handle = 0;
    }
    unregisterMBFailureEvent(j_env, (char*)tests.crash_primary_daemon_during_openstoreTestKey, ctx->client_ctx,
                             ctx->handle, storename);
    unregisterMBFailureEvent(j_env, (char*)tests.crash_storejvm_during_openstoreTestKey, ctx->client_ctx,
                             ctx->handle, storename);
    LOG_DEBUG(j_env, "fileio_mb_open opened store=%s with handle=%d", storename, (int)ctx->handle);
    if (ctx->handle == 0) {
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs,
                               "fileio_mb_open mb_openstore failed. Store name=%s ", storename);
        return -1;
    }

    mb_client_storeinfo info;
    memset(&info, 0, sizeof(info));
    info.storehandle = ctx->handle;
    mb_get_storeinfo(&rqs, ctx->client_ctx, &info);
    simulateFailure(fileio_mb_open_mb_get_storeinfoErrorTest, &rqs);
    if (rqs.status != MB_SUCC) {
        fileio_mb_close(j_env, ctx, (int)ctx->handle);
        /* The open's own failure is what Java sees; a failure of that
         * close has already been copied to the log channel. */
        if (j_env != NULL && j_env->ExceptionCheck()) j_env->ExceptionClear();
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs,
                               "fileio_mb_open mb_get_storeinfo failed. Store name=%s ", storename);
        return -1;
    }
    LOG_DEBUG(j_env, "fileio_mb_open store used=x%llx size=x%llx", (unsigned long long)info.used,
              (unsigned long long)info.size);
    assignNewFileLength(j_env, ctx, (unsigned int)info.used, (char*)"open file/used", __LINE__, &info);
    LOG_VERBOSE(j_env, "fileio_mb_open end");
    return ctx->fileDescriptor;
}

jlong open_replicated_internal(JNIEnv* j_env, jclass clazz, jstring j_fname, jstring j_mode_ignored,
                               jboolean j_exclusive, jobjectArray j_configurationKeys,
                               jobjectArray j_configurationValues) {
    (void)clazz;
    (void)j_mode_ignored;
    (void)j_exclusive;
    setTestFlag(j_env, configPassing);
    LOG_VERBOSE(j_env, "open_replicated_internal begin");

    NativeChars fname(getStringNativeChars(j_env, j_fname));
    if (fname.chars == NULL) {
        LOG_VERBOSE(j_env, "open_replicated_internal error return due to file name null");
        TSSRepIOThrowIO(j_env, "Error transforming string");
        return -1;
    }
    if (j_configurationKeys == NULL || j_configurationValues == NULL) {
        LOG_VERBOSE(j_env,
                    "open_replicated_internal error return due to configuration key or values array being null");
        TSSRepIOThrowIO(j_env, "Error, configuration null");
        return -1;
    }
    jsize keyCount = j_env->GetArrayLength(j_configurationKeys);
    jsize valueCount = j_env->GetArrayLength(j_configurationValues);
    LOG_DEBUG(j_env, "open_replicated_internal configuration keys(=%d) values(%d) length retrieved", (int)keyCount,
              (int)valueCount);
    if (keyCount != valueCount) {
        LOG_VERBOSE(j_env, "open_replicated_internal error return due to mismatch in config key and value count mismatch");
        TSSRepIOThrowIO(j_env, "Error, configuration Keys and values count do not match");
        return -1;
    }

    /* A null element cannot be converted: refuse before converting any. */
    for (jsize i = 0; i < keyCount; i++) {
        jobject key = j_env->GetObjectArrayElement(j_configurationKeys, i);
        jobject value = j_env->GetObjectArrayElement(j_configurationValues, i);
        bool missing = key == NULL || value == NULL;
        if (key != NULL) j_env->DeleteLocalRef(key);
        if (value != NULL) j_env->DeleteLocalRef(value);
        if (j_env->ExceptionCheck()) return -1;
        if (missing) {
            TSSRepIOThrowIO(j_env, "Error, configuration null");
            return -1;
        }
    }

    ConfigArrays config;
    config.keys = (char**)calloc((size_t)keyCount + 1, sizeof(char*));
    config.values = (char**)calloc((size_t)keyCount + 1, sizeof(char*));
    if (config.keys == NULL || config.values == NULL) {
        TSSRepIOThrowOOM(j_env, "Cannot allocate native char array.");
        return -1;
    }
    config.length = keyCount;
    bool passing = instrumentation && tests.configPassing;
    char* result = NULL;
    size_t resultLength = 0;
    struct ResultString {
        char** p;
        ~ResultString() { free(*p); }
    } resultGuard = {&result};
    for (jsize i = 0; i < keyCount; i++) {
        jstring jkey = (jstring)j_env->GetObjectArrayElement(j_configurationKeys, i);
        jstring jvalue = (jstring)j_env->GetObjectArrayElement(j_configurationValues, i);
        const char* k = jkey != NULL ? j_env->GetStringUTFChars(jkey, NULL) : NULL;
        const char* v = (k != NULL && jvalue != NULL) ? j_env->GetStringUTFChars(jvalue, NULL) : NULL;
        if (k != NULL) config.keys[i] = strdup(k);
        if (v != NULL) config.values[i] = strdup(v);
        if (k != NULL) j_env->ReleaseStringUTFChars(jkey, k);
        if (v != NULL) j_env->ReleaseStringUTFChars(jvalue, v);
        if (jkey != NULL) j_env->DeleteLocalRef(jkey);
        if (jvalue != NULL) j_env->DeleteLocalRef(jvalue);
        if (config.keys[i] == NULL || config.values[i] == NULL) {
            if (!j_env->ExceptionCheck()) TSSRepIOThrowOOM(j_env, "Cannot allocate native char array.");
            return -1;
        }
        if (passing) {
            if (i > 0)
                LOG_VERBOSE(j_env, "open_replicated_internal before concat Key=%s Value=%s junitResultString=%s",
                            config.keys[i], config.values[i], result);
            size_t add = strlen(config.keys[i]) + strlen(config.values[i]) + 2;
            char* grown = (char*)realloc(result, resultLength + add + 1);
            if (grown == NULL) {
                TSSRepIOThrowOOM(j_env, "Cannot allocate native char array.");
                return -1;
            }
            result = grown;
            resultLength += (size_t)snprintf(result + resultLength, add + 1, "%s%s=%s", i > 0 ? "," : "",
                                             config.keys[i], config.values[i]);
            LOG_VERBOSE(j_env, "open_replicated_internal i=%d Result String=%s, key-value pair(%s=%s)", (int)i, result,
                        config.keys[i], config.values[i]);
        }
        LOG_DEBUG(j_env, "Configuration key=%s, Value=%s", config.keys[i], config.values[i]);
    }
    if (passing) {
        const char* message = result != NULL ? result : "static string to avoid npe junitResultString";
        LOG_DEBUG(j_env, "JUnit Result String=%s", message);
        TSSRepIOThrowIO(j_env, message);
        LOG_VERBOSE(j_env, "open_replicated_internal junit test case exception thrown with key value pairs");
        return -1;
    }
    LOG_VERBOSE(j_env, "open_replicated_internal end");
    LOG_VERBOSE(j_env, "open_replicated begin");
    LOG_VERBOSE(j_env, "fileio_mb_contextFromConfig begin");
    char* reason = NULL;
    int code = 0;
    mirrorbank_ctx* ctx = fileio_mb_contextInternal(j_env, config.length, config.keys, config.values, &reason, &code);
    if (ctx == NULL) {
        LOG_VERBOSE(j_env, "fileio_mb_contextFromConfig end due to null context");
        LOG_VERBOSE(j_env, "open_replicated return error due to null context");
        return -1;
    }
    LOG_VERBOSE(j_env, "fileio_mb_contextFromConfig end");
    int r = fileio_mb_open(j_env, ctx, fname.chars);
    if (r < 0) {
        LOG_VERBOSE(j_env, "open_replicated return error due null handle");
        return -1;
    }
    LOG_DEBUG(j_env, "open_replicated returns %s %d", fname.chars, r);
    LOG_VERBOSE(j_env, "open_replicated end");
    return r;
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_open(JNIEnv* j_env, jclass clazz,
                                                                                  jstring fname, jstring mode,
                                                                                  jobjectArray keys,
                                                                                  jobjectArray values) {
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_open begin");
    return open_replicated_internal(j_env, clazz, fname, mode, JNI_TRUE, keys, values);
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_openConsiderLock(
    JNIEnv* j_env, jclass clazz, jstring fname, jstring mode, jboolean exclusive, jobjectArray keys,
    jobjectArray values) {
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_openConsiderLock begin");
    return open_replicated_internal(j_env, clazz, fname, mode, exclusive, keys, values);
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_close(JNIEnv* j_env, jclass clazz,
                                                                                  jlong handle) {
    (void)clazz;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_close begin");
    if (handle < 0 || handle >= MIRRORBANK_MAX_CONTEXTS) return;
    mirrorbank_ctx* ctx = &replicatedContextArray[handle];
    if ((jlong)ctx->fileDescriptor == handle) fileio_mb_close(j_env, ctx, ctx->fileDescriptor);
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getSize(JNIEnv* j_env, jclass clazz,
                                                                                     jlong handle) {
    (void)clazz;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_getSize begin");
    if (handle < 0 || handle >= MIRRORBANK_MAX_CONTEXTS) return -1;
    return (jlong)fileio_mb_getLength(j_env, &replicatedContextArray[handle]);
}

/* ======================================================================
 * Asynchronous operation engine
 * ==================================================================== */

namespace {

/* One notification callback for both directions. */
boolean notification(mb_client_opargs* opargs, bool isRead) {
    general_ncb* ncb = (general_ncb*)(uintptr_t)opargs->cookie;
    if (ncb == NULL || ncb->valid_ncb != ncb) return 1;
    JNIEnv* env = ncb->j_env;
    if (isRead) LOG_VERBOSE(env, "read_ncb begin");
    else LOG_VERBOSE(env, "write_ncb begin");
    ncb->pending -= 1;
    if (opargs->status == MB_SUCC) {
        if (ncb->pending == 0) {
            if (isRead) LOG_DEBUG(env, "read_ncb block ok cookie=x%x", (unsigned)opargs->cookie);
            else LOG_VERBOSE(env, "write_ncb block ok cookie=x%x", (unsigned)opargs->cookie);
        }
    } else {
        if (isRead) LOG_DEBUG(env, "read_ncb status=%d, error=%d", (int)opargs->status, (int)opargs->error);
        else LOG_DEBUG(env, "write_ncb status=%d, error=%d", (int)opargs->status, (int)opargs->error);
        if (ncb->savedError == 0) {
            ncb->savedError = (int32_t)opargs->error;
            ncb->savedStatus = (int32_t)opargs->status;
        }
    }
    if (isRead) LOG_VERBOSE(env, "read_ncb end");
    else LOG_VERBOSE(env, "write_ncb end");
    return 1;
}

/* The first non-zero error among the saved pair, the operation record's
 * pair and the step's own last result becomes the reported failure. */
void chooseReportedFailure(general_ncb* ncb, mb_client_opargs* op, mb_rqs* last) {
    if (ncb->savedError != 0) {
        ncb->reportedException = ncb->savedError;
        ncb->rqsTmp.status = (mb_status)ncb->savedStatus;
        ncb->rqsTmp.error = (mb_error)ncb->savedError;
    } else if (op->error != 0) {
        ncb->reportedException = (int32_t)op->error;
        ncb->rqsTmp.status = op->status;
        ncb->rqsTmp.error = op->error;
    } else {
        ncb->reportedException = (int32_t)last->error;
        ncb->rqsTmp = *last;
    }
}

/* One spare set of records per thread: a completed operation leaves its
 * records for the next one on the same thread, so the data path does not
 * go through the allocator. Freed when the thread ends. */
struct SpareRecords {
    operation_records* records = NULL;
    ~SpareRecords() { free(records); }
};
thread_local SpareRecords spareRecords;

operation_records* newOperationRecords(JNIEnv* j_env) {
    operation_records* records = spareRecords.records;
    if (records != NULL) {
        spareRecords.records = NULL;
    } else {
        records = (operation_records*)malloc(sizeof(operation_records));
        if (records == NULL) return NULL;
    }
    memset(records, 0, sizeof(*records));
    records->ncb.pending = 1;
    records->ncb.j_env = j_env;
    records->ncb.valid_ncb = &records->ncb;
    return records;
}

/* Records of an operation that the library accepted may still receive its
 * notification after the operation was reported failed: they are parked
 * for good instead of being released. Refused operations are released. */
void releaseOperationRecords(operation_records* records, bool mayStillNotify) {
    if (mayStillNotify) {
        __atomic_add_fetch(&parkedOperationRecords, 1, __ATOMIC_RELAXED);
        return;
    }
    records->ncb.valid_ncb = NULL;
    if (spareRecords.records == NULL) {
        spareRecords.records = records;
        return;
    }
    free(records);
}

/*
 * Awaits completion of an accepted operation on the calling thread.
 * Returns the length on success, -1 with the exception raised on failure.
 */
int awaitCompletion(JNIEnv* j_env, mirrorbank_ctx* ctx, operation_records* records, bool isRead) {
    general_ncb* ncb = &records->ncb;
    mb_client_opargs* op = &records->op;
    mb_rqs rqs = {(mb_status)0, MB_ERR_NONE};
    int readWaits = 0;
    for (;;) {
        if (ncb->savedError > 0 || op->error != 0) break;
        if (ncb->pending == 0) return (int)op->length;
        if (op->status == MB_SUCC) {
            notification(op, isRead);
            return (int)op->length;
        }
        int64_t count;
        if (isRead) count = ++readWaits;
        else count = __atomic_add_fetch(&totalMB_Waits, 1, __ATOMIC_RELAXED);
        if (count % 1024 == 5)
            LOG_DEBUG(j_env, "IOwriteWait  offset=x%x, totalMB_Waits=%d", (unsigned)op->offset, (int)count);
        mb_wait(&rqs, ctx->client_ctx, ctx->initConfig.timeout, ctx->initConfig.busywait);
    }
    if (isRead) {
        if (ncb->pending == 1) notification(op, true);
        LOG_VERBOSE(j_env,
                    "fileio_internal_read end with error. Async status errorcode=%d , mb_client_opargs error=%d",
                    ncb->savedError, (int)op->error);
    } else {
        LOG_VERBOSE(j_env, "fileio_internal_write end with error. Error code=%d, Base error=%d", ncb->savedError,
                    (int)op->error);
    }
    if (ncb->reportedException == 0) {
        chooseReportedFailure(ncb, op, &rqs);
        if (isRead)
            contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp,
                                   "retriedRead Failed to read and ended with error(reported=%d)",
                                   ncb->reportedException);
        else
            contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp,
                                   "fileio_internal_write Failed to write and ended with error(reported=%d)",
                                   ncb->reportedException);
    }
    return -1;
}

} /* namespace */

boolean read_ncb(mb_client_opargs* opargs) { return notification(opargs, true); }

boolean write_ncb(mb_client_opargs* opargs) { return notification(opargs, false); }

int retriedRead(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_ctx* client, mb_client_opargs* op) {
    general_ncb* ncb = (general_ncb*)(uintptr_t)op->cookie;
    LOG_VERBOSE(j_env, "retriedRead begin");
    setTestFlag(j_env, mbRetriedReadErrorTest);
    LOG_DEBUG(j_env, "retriedRead cookie=x%x, buf=x%x", (unsigned)(uintptr_t)ncb, (unsigned)(uintptr_t)op->buffer);
    int budget = MIRRORBANK_RETRY_BUDGET;
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    for (;;) {
        mb_read(&rqs, client, op);
        if (rqs.status == MB_INPROG || rqs.status == MB_SUCC) {
            LOG_VERBOSE(j_env, "retriedRead end");
            return 1;
        }
        if (op->status == MB_FAIL && op->error == MB_ERR_EMPTYBLOCK) {
            /* Nothing was ever written there: the range reads as zeros. */
            op->error = MB_ERR_NONE;
            op->status = MB_SUCC;
            memset(op->buffer, 0, (size_t)op->length);
            LOG_DEBUG(j_env, "retriedRead convert MB_ERR_EMPTYBLOCK to success storehandle=%d cookie=x%x",
                      (int)op->storehandle, (unsigned)(uintptr_t)ncb);
            LOG_VERBOSE(j_env, "retriedRead end");
            return 1;
        }
        if (instrumentation && tests.mbRetriedReadErrorTest) {
            simulateFailure(mbRetriedReadErrorTest, &rqs);
            budget = 0;
            break;
        }
        if (rqs.status == MB_FAIL || budget <= 0) break;
        budget -= 1;
        mb_rqs waitRqs = {MB_SUCC, MB_ERR_NONE};
        mb_wait(&waitRqs, client, ctx->initConfig.timeout, 0);
    }
    if (ncb->reportedException != 0) return -1;
    chooseReportedFailure(ncb, op, &rqs);
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp,
                           "retriedRead Failed to read and ended with error(Attempt=%d)", budget);
    return -1;
}

namespace {

/* Arms or disarms the three write-crash events, in their fixed order. */
void writeCrashEvents(JNIEnv* j_env, mirrorbank_ctx* ctx, bool arm) {
    if (!instrumentation) return;
    char* keys[3] = {(char*)tests.crash_primary_daemon_during_writeTestKey,
                     (char*)tests.crash_storejvm_during_writeTestKey,
                     (char*)tests.crash_secondary_daemon_during_writeTestKey};
    for (char* key : keys) {
        if (arm) registerMBFailureEvent(j_env, key, ctx->client_ctx, ctx->handle, ctx->storeInfo.name);
        else unregisterMBFailureEvent(j_env, key, ctx->client_ctx, ctx->handle, ctx->storeInfo.name);
    }
}

} /* namespace */

int retriedWrite(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_opargs* op) {
    general_ncb* ncb = (general_ncb*)(uintptr_t)op->cookie;
    mb_client_ctx* client = ctx->client_ctx;
    setTestFlag(j_env, mbRetriedWriteErrorTest);
    setTestFlag(j_env, crash_primary_daemon_during_writeTest);
    setTestFlag(j_env, crash_storejvm_during_writeTest);
    setTestFlag(j_env, crash_secondary_daemon_during_writeTest);
    writeCrashEvents(j_env, ctx, true);
    LOG_VERBOSE(j_env, "retriedWrite begin");
    LOG_VERBOSE(j_env, "write block  cookie=x%x, buf=x%x", (unsigned)(uintptr_t)ncb, (unsigned)(uintptr_t)op->buffer);
    int budget = MIRRORBANK_RETRY_BUDGET;
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    bool accepted = false;
    for (;;) {
        mb_write(&rqs, client, op);
        if (rqs.status == MB_INPROG || rqs.status == MB_SUCC) {
            accepted = true;
            break;
        }
        if (instrumentation && tests.mbRetriedWriteErrorTest) {
            simulateFailure(mbRetriedWriteErrorTest, &rqs);
            budget = 0;
            break;
        }
        if (rqs.status == MB_FAIL || budget <= 0) break;
        budget -= 1;
        mb_rqs waitRqs = {MB_SUCC, MB_ERR_NONE};
        mb_wait(&waitRqs, client, ctx->initConfig.timeout, 0);
    }
    if (!accepted && ncb->reportedException == 0) {
        chooseReportedFailure(ncb, op, &rqs);
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp,
                               "retriedWrite Failed to write and ended with error(Attempt=%d)", budget);
    }
    writeCrashEvents(j_env, ctx, false);
    if (!accepted) return -1;
    if (instrumentation && tests.crash_primary_daemon_during_writeTest) {
        mb_rqs eventRqs = {MB_SUCC, MB_ERR_NONE};
        mb_event(&eventRqs, client, 0, MB_EVENT_C1, MB_EVENT_C2, MB_EVENT_C3, MB_EVENT_TARGET_PRIMARY, MB_EVENT_C4,
                 ctx->handle, ctx->storeInfo.name);
        if (eventRqs.status == MB_FAIL)
            LOG_DEBUG(j_env,
                      "retriedWrite crash_primary_daemon_during_writeTest unregister failed. status=%d:%d, Detail: %s",
                      (int)eventRqs.status, (int)eventRqs.error, mb_get_error_message(&eventRqs));
    }
    LOG_VERBOSE(j_env, "retriedWrite successful end");
    return 1;
}

mb_status fileio_mb_register(JNIEnv* j_env, mirrorbank_ctx* ctx, char* buf) {
    (void)ctx;
    (void)buf;
    LOG_VERBOSE(j_env, "fileio_mb_register begin");
    setTestFlag(j_env, mb_registerErrorTest);
    LOG_VERBOSE(j_env, "fileio_mb_register end");
    return MB_FAIL;
}

/* ======================================================================
 * Read and write paths
 * ==================================================================== */

int fileio_internal_read(JNIEnv* j_env, mirrorbank_ctx* ctx, const int actualOffsetIntoStore, void* buf,
                         const int length, mb_key* key) {
    (void)key;
    LOG_VERBOSE(j_env, "fileio_internal_read begin");
    setTestFlag(j_env, mb_read_fenceErrorTest);
    if (ctx->skipReadFence == 0) {
        mb_client_opargs fence;
        memset(&fence, 0, sizeof(fence));
        fence.storehandle = ctx->handle;
        LOG_DEBUG(j_env, "mb_read_FENCE  trace storehandle=%d", (int)ctx->handle);
        mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
        mb_read_fence(&rqs, ctx->client_ctx, &fence);
        simulateFailure(mb_read_fenceErrorTest, &rqs);
        if (rqs.status != MB_SUCC) {
            LOG_DEBUG(j_env, "mb_read_FENCE  FAILURE? status=%d:%d, storehandle=%d", (int)rqs.status, (int)rqs.error,
                      (int)ctx->handle);
            contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs,
                                   "fileio_internal_read end with error. Store handle=%d ", (int)ctx->handle);
            return -1;
        }
        ctx->skipReadFence = 1;
    }
    operation_records* records = newOperationRecords(j_env);
    if (records == NULL) {
        TSSRepIOThrowOOM(j_env, "Cannot allocate operation record.");
        return -1;
    }
    mb_client_opargs* op = &records->op;
    op->flags = 0;
    op->buffer = buf;
    op->length = (ub8)(int64_t)length;
    op->key = NULL;
    op->offset = (ub8)(int64_t)actualOffsetIntoStore;
    op->storehandle = ctx->handle;
    op->cookie = (ub8)(uintptr_t)&records->ncb;
    op->ncb = read_ncb;
    LOG_DEBUG(j_env, "READ   trace size=%d, offset=x%x", length, (unsigned)actualOffsetIntoStore);
    LOG_DEBUG(j_env, "READ   trace storehandle=x%x", (unsigned)ctx->handle);
    int submitted = retriedRead(j_env, ctx, ctx->client_ctx, op);
    if (submitted < 0) {
        LOG_VERBOSE(j_env,
                    "fileio_internal_read end with error. Async status errorcode=%d , mb_client_opargs error=%d",
                    records->ncb.savedError, (int)op->error);
        releaseOperationRecords(records, false);
        return -1;
    }
    int result = awaitCompletion(j_env, ctx, records, true);
    if (result < 0) {
        releaseOperationRecords(records, true);
        return -1;
    }
    releaseOperationRecords(records, false);
    LOG_VERBOSE(j_env, "fileio_internal_read end");
    return length;
}

int fileio_internal_write(JNIEnv* j_env, mirrorbank_ctx* ctx, const int actualOffsetIntoStore, char* buf,
                          const int length, mb_key* key) {
    LOG_VERBOSE(j_env, "fileio_internal_write begin");
    LOG_DEBUG(j_env, "WRITE  trace size=%d, offset=x%x", length, (unsigned)actualOffsetIntoStore);
    LOG_DEBUG(j_env, "WRITE  trace Primary   handle=%d buf=0x%x", (int)ctx->handle, (unsigned)(uintptr_t)buf);
    ctx->skipReadFence = 0;
    /* The operation record lives on the heap with its notification record:
     * an accepted write that fails may still be notified later. */
    operation_records* records = newOperationRecords(j_env);
    if (records == NULL) {
        TSSRepIOThrowOOM(j_env, "Cannot allocate operation record.");
        return -1;
    }
    mb_client_opargs* op = &records->op;
    op->flags = 1;
    op->buffer = buf;
    op->length = (ub8)(int64_t)length;
    op->key = key;
    op->offset = (ub8)(int64_t)actualOffsetIntoStore;
    op->storehandle = ctx->handle;
    op->cookie = (ub8)(uintptr_t)&records->ncb;
    op->ncb = write_ncb;
    int submitted = retriedWrite(j_env, ctx, op);
    if (submitted < 0) {
        LOG_VERBOSE(j_env, "fileio_internal_write end with error. Error code=%d, Base error=%d",
                    records->ncb.savedError, (int)op->error);
        releaseOperationRecords(records, false);
        return -1;
    }
    int result = awaitCompletion(j_env, ctx, records, false);
    if (result < 0) {
        releaseOperationRecords(records, true);
        return -1;
    }
    releaseOperationRecords(records, false);
    LOG_VERBOSE(j_env, "fileio_internal_write end");
    return length;
}

int fileio_mb_read(JNIEnv* j_env, mirrorbank_ctx* ctx, int userOffsetIntoStore, char* buf, int size, mb_key* key) {
    LOG_VERBOSE(j_env, "fileio_mb_read begin");
    uint32_t newFilePos = (uint32_t)userOffsetIntoStore + (uint32_t)size;
    if (newFilePos > ctx->writtenFileSize) {
        uint32_t reduce = newFilePos - ctx->writtenFileSize;
        size -= (int)reduce;
        LOG_DEBUG(j_env, "fileio_mb_read EOF written data reached, reduce length by %d, to x%x", (int)reduce,
                  (unsigned)size);
        if (size == 0) return 0;
        if (size < 0) return -1;
    }
    int r = fileio_internal_read(j_env, ctx, userOffsetIntoStore, buf, size, key);
    LOG_VERBOSE(j_env, "fileio_mb_read end");
    return r < 0 ? -1 : size;
}

int fileio_mb_write(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf, const int size,
                    mb_key* key) {
    uint32_t newFilePos = (uint32_t)userOffsetIntoStore + (uint32_t)size;
    LOG_VERBOSE(j_env, "fileio_mb_write begin");
    setTestFlag(j_env, fileio_mb_write_mb_get_storeinfoErrorTest);
    int returnValue = fileio_internal_write(j_env, ctx, userOffsetIntoStore, buf, size, key);
    if (returnValue != size) {
        LOG_VERBOSE(j_env, "fileio_mb_write end: return value=%d newFilePos=%d writtenFileSize=%d", -1, (int)newFilePos,
                    (int)ctx->writtenFileSize);
        return -1;
    }
    if (newFilePos > ctx->writtenFileSize) {
        mb_client_storeinfo localStoreInfo;
        memset(&localStoreInfo, 0, sizeof(localStoreInfo));
        localStoreInfo.storehandle = ctx->handle;
        mb_rqs info_rqs = {MB_SUCC, MB_ERR_NONE};
        mb_get_storeinfo(&info_rqs, ctx->client_ctx, &localStoreInfo);
        simulateFailure(fileio_mb_write_mb_get_storeinfoErrorTest, &info_rqs);
        if (info_rqs.status != MB_SUCC) {
            contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &info_rqs, "fileio_mb_write mb_get_storeinfo failed");
            return -1;
        }
        LOG_DEBUG(j_env, "size fileio_mb_write/mb_get_storeinfo used=x%x size=x%x", (unsigned)localStoreInfo.used,
                  (unsigned)localStoreInfo.size);
        assignNewFileLength(j_env, ctx, newFilePos, (char*)"extend file", __LINE__, &localStoreInfo);
        LOG_VERBOSE(j_env, "fileio_mb_write end");
        return size;
    }
    LOG_VERBOSE(j_env, "fileio_mb_write end- return value=%d newFilePos=%d writtenFileSize=%d", size, (int)newFilePos,
                (int)ctx->writtenFileSize);
    return size;
}

int fileio_mb_read_register(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf,
                            const int length) {
    LOG_VERBOSE(j_env, "fileio_mb_read_register begin");
    int r = fileio_mb_read(j_env, ctx, userOffsetIntoStore, buf, length, NULL);
    LOG_VERBOSE(j_env, "fileio_mb_read_register end");
    return r;
}

int fileio_mb_write_register(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf,
                             const int length) {
    LOG_VERBOSE(j_env, "fileio_mb_write_register begin");
    int r = fileio_mb_write(j_env, ctx, userOffsetIntoStore, buf, length, NULL);
    LOG_VERBOSE(j_env, "fileio_mb_write_register end");
    return r;
}

namespace {

/* The context behind a Java handle when it is open for I/O; otherwise the
 * IOException is raised and null returned. Nothing reaches the client
 * library with a null or finished connection. */
mirrorbank_ctx* openContextForIO(JNIEnv* j_env, jlong handle, const char* method, int line) {
    if (handle < 0 || handle >= MIRRORBANK_MAX_CONTEXTS) {
        contextIOExceptionImpl(j_env, LOG_FILE, line, NULL, NULL, "%s illegal handle %lld (not between 0 and %d)",
                               method, (long long)handle, MIRRORBANK_MAX_CONTEXTS - 1);
        return NULL;
    }
    mirrorbank_ctx* ctx = &replicatedContextArray[handle];
    if ((jlong)ctx->fileDescriptor != handle || ctx->closeCount != 0 || ctx->client_ctx == NULL ||
        ctx->handle == 0) {
        contextIOExceptionImpl(j_env, LOG_FILE, line, NULL, NULL, "%s handle %lld is not open", method,
                               (long long)handle);
        return NULL;
    }
    return ctx;
}

/* Start address of [offset, offset + length) inside a direct buffer, or
 * null with the IOException raised. */
char* directBufferRange(JNIEnv* j_env, jobject buf, jint offset, jint length, const char* method, int line) {
    char* base = (char*)j_env->GetDirectBufferAddress(buf);
    jlong capacity = base == NULL ? -1 : (jlong)j_env->GetIntField(buf, bufferCapacityField);
    if (base == NULL || capacity < 0) {
        contextIOExceptionImpl(j_env, LOG_FILE, line, NULL, NULL,
                               "%s buffer is not a direct buffer (offset=%d length=%d capacity=%lld)", method,
                               (int)offset, (int)length, (long long)capacity);
        return NULL;
    }
    if (offset < 0 || length < 0 || (jlong)offset + (jlong)length > capacity) {
        contextIOExceptionImpl(j_env, LOG_FILE, line, NULL, NULL,
                               "%s offset=%d length=%d do not lie within the buffer (capacity=%lld)", method,
                               (int)offset, (int)length, (long long)capacity);
        return NULL;
    }
    return base + offset;
}

/* Region files are addressed with 31-bit positions: refuse anything that
 * would wrap round or end beyond them. */
bool validFileRange(JNIEnv* j_env, jlong filePosition, jint length, const char* method, int line) {
    if (filePosition < 0 || length < 0 || filePosition + (jlong)length > kMaxFilePosition) {
        contextIOExceptionImpl(j_env, LOG_FILE, line, NULL, NULL,
                               "%s position=%lld length=%d lies outside a region file (0 to %lld)", method,
                               (long long)filePosition, (int)length, (long long)kMaxFilePosition);
        return false;
    }
    return true;
}

/* The texts of one direction of the Java transfer entries. */
struct transfer_texts {
    const char* name;       /* the export's name */
    const char* begin;      /* verbose */
    const char* arguments;  /* debug, with offset into the buffer and length */
    const char* nullBuffer; /* verbose */
    const char* returned;   /* debug, with the inner result */
    const char* failed;     /* verbose */
    const char* end;        /* verbose */
};

const transfer_texts kReadTexts = {
    "Java_tessera_store_io_file_direct_ReplicatedIONative_read",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_read begin",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_read  offset=x%x size=%d",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_read error return due to null buffer",
    "fileio_mb_read_register returned %d",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_read error return due read error",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_read end",
};

const transfer_texts kWriteTexts = {
    "Java_tessera_store_io_file_direct_ReplicatedIONative_write",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_write begin",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_write  offset=x%x size=%d",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_write error return due to null buffer",
    "fileio_mb_write_register returned %d",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_write error",
    "Java_tessera_store_io_file_direct_ReplicatedIONative_write end",
};

/* The body of the Java read and write entries: one operation over the
 * whole range, after the checks that keep bad arguments away from the
 * client library. */
jint transferEntry(JNIEnv* j_env, jlong handle, jlong filePosition, jobject buf, jint offset, jint length,
                   bool isWrite) {
    const transfer_texts* texts = isWrite ? &kWriteTexts : &kReadTexts;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "%s", texts->begin);
    LOG_DEBUG(j_env, texts->arguments, (unsigned)offset, (int)length);
    if (buf == NULL) {
        TSSRepIOThrowNPE(j_env, "buffer not set");
        LOG_VERBOSE(j_env, "%s", texts->nullBuffer);
        return -1;
    }
    if (isWrite && (uint64_t)handle > (uint64_t)(MIRRORBANK_MAX_CONTEXTS - 1)) {
        TSSRepIOThrowIO(j_env, "buffer not set");
        LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_write error return due to illegal handle");
        return -1;
    }
    mirrorbank_ctx* ctx = openContextForIO(j_env, handle, texts->name, __LINE__);
    if (ctx == NULL) return -1;
    char* address = directBufferRange(j_env, buf, offset, length, texts->name, __LINE__);
    if (address == NULL) return -1;
    if (!validFileRange(j_env, filePosition, length, texts->name, __LINE__)) return -1;
    int position = (int)(uint32_t)filePosition;
    int result = isWrite ? fileio_mb_write_register(j_env, ctx, position, address, length)
                         : fileio_mb_read_register(j_env, ctx, position, address, length);
    LOG_DEBUG(j_env, texts->returned, result);
    if (result < 0) {
        LOG_VERBOSE(j_env, "%s", texts->failed);
        return -1;
    }
    LOG_VERBOSE(j_env, "%s", texts->end);
    return result;
}

} /* namespace */

JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_read(JNIEnv* j_env, jclass clazz,
                                                                                jlong handle, jlong filePosition,
                                                                                jobject buf, jint offset,
                                                                                jint length) {
    (void)clazz;
    return transferEntry(j_env, handle, filePosition, buf, offset, length, false);
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_write(JNIEnv* j_env, jclass clazz,
                                                                                 jlong handle, jlong filePosition,
                                                                                 jobject buf, jint offset,
                                                                                 jint length) {
    (void)clazz;
    return transferEntry(j_env, handle, filePosition, buf, offset, length, true);
}

/* ======================================================================
 * Direct buffers and device figures
 * ==================================================================== */

JNIEXPORT jobject JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_allocate(JNIEnv* j_env, jclass clazz,
                                                                                       jint size) {
    (void)clazz;
    (void)size;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_allocate begin");
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL, "Java_tessera_store_io_file_direct_ReplicatedIONative_allocate");
    return NULL;
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_free(JNIEnv* j_env, jclass clazz,
                                                                                jobject buf) {
    (void)clazz;
    (void)buf;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_free begin");
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL, "Java_tessera_store_io_file_direct_ReplicatedIONative_free");
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer(JNIEnv* j_env, jclass clazz,
                                                                                      jobject buf, jint offset,
                                                                                      jint length, jbyte value) {
    (void)clazz;
    (void)buf;
    (void)offset;
    (void)length;
    (void)value;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer begin");
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL,
                           "Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer");
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment(JNIEnv* j_env,
                                                                                          jclass clazz,
                                                                                          jstring fname) {
    (void)clazz;
    (void)fname;
    if (j_env != NULL) jvm_global_env = j_env;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment begin");
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL,
                           "Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment");
    return -1;
}

int64_t fileio_mb_daemon_memory_limit(JNIEnv* j_env, mirrorbank_ctx* ctx) {
    setTestFlag(j_env, total_memory_mb_get_local_daemon_infoErrorTest);
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    mb_get_local_daemon_info(&rqs, ctx->client_ctx, &ctx->localDaemonInfo);
    simulateFailure(total_memory_mb_get_local_daemon_infoErrorTest, &rqs);
    if (rqs.status == MB_SUCC) return (int64_t)ctx->localDaemonInfo.total_memory;
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs,
                           "fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed");
    return -1;
}

int64_t fileio_mb_daemon_memory_used(JNIEnv* j_env, mirrorbank_ctx* ctx) {
    setTestFlag(j_env, used_memory_mb_get_local_daemon_infoErrorTest);
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    mb_get_local_daemon_info(&rqs, ctx->client_ctx, &ctx->localDaemonInfo);
    simulateFailure(used_memory_mb_get_local_daemon_infoErrorTest, &rqs);
    if (rqs.status == MB_SUCC) return (int64_t)ctx->localDaemonInfo.used_memory;
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &rqs,
                           "fileio_mb_daemon_memory_used mb_get_local_daemon_info failed");
    return -1;
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit(JNIEnv* j_env,
                                                                                           jclass clazz,
                                                                                           jlong handle) {
    (void)clazz;
    if (j_env != NULL) jvm_global_env = j_env;
    mirrorbank_ctx* ctx = openContextForIO(j_env, handle, "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit", __LINE__);
    if (ctx == NULL) return -1;
    int64_t result = fileio_mb_daemon_memory_limit(j_env, ctx);
    if (result >= 0) return (jlong)result;
    LOG_VERBOSE(j_env,
                "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit return error due to error getting "
                "memory limit");
    return -1;
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed(JNIEnv* j_env,
                                                                                          jclass clazz,
                                                                                          jlong handle) {
    (void)clazz;
    if (j_env != NULL) jvm_global_env = j_env;
    mirrorbank_ctx* ctx = openContextForIO(j_env, handle, "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed", __LINE__);
    if (ctx == NULL) return -1;
    int64_t result = fileio_mb_daemon_memory_used(j_env, ctx);
    if (result >= 0) return (jlong)result;
    LOG_VERBOSE(j_env,
                "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed return error due to failure getting "
                "memory used");
    return -1;
}

} /* extern "C" */
