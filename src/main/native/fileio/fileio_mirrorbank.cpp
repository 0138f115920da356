/*
 * fileio_mirrorbank.cpp - the replicated file device.
 *
 * Regions of the store cluster are opened as files through a fixed table
 * of store contexts; reads and writes go to the client library as single
 * asynchronous operations driven to completion on the calling thread.
 *
 * In reading order: the client-library steps (fault injection and daemon
 * failure events around each call); the store context table and its
 * configuration; open and close; the asynchronous operation engine; the
 * read and write paths; direct buffers and device figures; then the Java
 * glue in one place (load and unload, cached IDs, exceptions, strings,
 * message text, contextual I/O exceptions).
 */
#include "fileio_mirrorbank.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "rs_admin.h"

#define LOG_FILE "fileio_mirrorbank"

/* Everything here has C linkage, so that a definition whose parameters
 * drift from its declaration (the JNI prototypes made by javac -h among
 * them) is an error, not a second function. */
extern "C" {

mirrorbank_ctx replicatedContextArray[MIRRORBANK_MAX_CONTEXTS];
jclass String_clazz = NULL;
jmethodID MID_String_init = NULL;
jmethodID MID_String_getBytes = NULL;
int64_t granularity = 0;
JavaVM* cachedJavaVM = NULL;
int64_t totalMB_Waits = 0;
int64_t parkedOperationRecords = 0;

namespace {

/* Classes, fields and methods used on every call, looked up once at load
 * (by the Java glue at the end of this file) and released at unload. */
jclass ioExceptionClass = NULL;
jmethodID ioExceptionWithCause = NULL; /* IOException(String, Throwable) */
jclass npeClass = NULL;
jclass oomClass = NULL;
jobject utf8Charset = NULL;               /* StandardCharsets.UTF_8 */
jmethodID stringFromUtf8 = NULL;          /* String(byte[], Charset) */
/* The usual transfer buffer, a direct ByteBuffer (read-only views are a
 * subclass), is recognised with one class test and then read through its
 * fields: address, capacity and read-only flag need no further VM
 * transition. All null when this JVM lacks one of them: every buffer then
 * goes through GetDirectBufferAddress. */
jclass directByteBufferClass = NULL;
jfieldID bufferAddressField = NULL;
jfieldID byteBufferReadOnlyField = NULL;
/* java.nio.Buffer.capacity: read directly once GetDirectBufferAddress has
 * shown the object to be a direct buffer (GetDirectBufferCapacity would
 * repeat that type test on every transfer). */
jfieldID bufferCapacityField = NULL;

} /* namespace */

/* ======================================================================
 * Client-library steps: daemon failure events and fault injection
 * ==================================================================== */

namespace {

struct crash_event {
    const char* const* key;
    const bool* flag;
    int target;
    const char* name;         /* in the disarm failure line */
    const char* registerName; /* in the arm failure line */
};

#define CRASH_EVENT(name, target, regName) {&tests.name##Key, &tests.name, target, #name, regName}

const crash_event crashEvents[] = {
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

/* Arms (1) or disarms (0) the event of eventKey when its flag is on; a
 * failure is only logged, naming `who` (the arm or disarm function when
 * null). */
void armOrDisarm(JNIEnv* j_env, int arm, const char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                 char* storeName, const char* who) {
    if (!instrumentation || eventKey == NULL) return;
    const crash_event* event = NULL;
    for (size_t i = 0; i < sizeof crashEvents / sizeof crashEvents[0]; i++) {
        if (strcmp(*crashEvents[i].key, eventKey) == 0) {
            event = &crashEvents[i];
            break;
        }
    }
    if (event == NULL || !*event->flag) return;
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    mb_event(&rqs, client, arm, MB_EVENT_C1, MB_EVENT_C2, MB_EVENT_C3, event->target, MB_EVENT_C4, handle, storeName);
    if (rqs.status != MB_FAIL) return;
    if (arm)
        LOG_DEBUG(j_env, "%s %s register failed. status=%d:%d, Detail: %s", who ? who : "registerMBFailureEvent",
                  event->registerName, (int)rqs.status, (int)rqs.error, mb_get_error_message(&rqs));
    else
        LOG_DEBUG(j_env, "%s %s unregister failed. status=%d:%d, Detail: %s", who ? who : "unregisterMBFailureEvent",
                  event->name, (int)rqs.status, (int)rqs.error, mb_get_error_message(&rqs));
}

/* Arms or disarms the row's crash events, in their order. */
void stepEvents(JNIEnv* env, const mb_step& step, const step_call& c, int arm) {
    if (!instrumentation) return;
    mb_store_handle handle = c.handle != NULL ? *c.handle : 0;
    for (const fault_flag& event : step.events)
        if (event.key != NULL) armOrDisarm(env, arm, *event.key, c.client, handle, c.storeName, NULL);
}

void stepVerbose(JNIEnv* env, const step_call& c, const char* line) {
    if (line == NULL || !nativeToJavaVerbose) return;
    PendingExceptionGuard stash(env);
    logWithContext(env, &nativeToJavaVerbose, &verboseWarned, &verboseLogMethod, c.file, c.line, NULL, NULL, "%s",
                   line);
}

void reportStepV(JNIEnv* env, const mb_step& step, const step_call& c, va_list args) {
    stepVerbose(env, c, step.failureLine);
    PendingExceptionGuard stash(env);
    contextIOExceptionV(env, c.file, c.line, c.ctx, c.rqs, step.failure, args);
}

} /* namespace */

void registerMBFailureEvent(JNIEnv* j_env, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                            char* storeName) {
    armOrDisarm(j_env, 1, eventKey, client, handle, storeName, NULL);
}

void unregisterMBFailureEvent(JNIEnv* j_env, char* eventKey, mb_client_ctx* client, mb_store_handle handle,
                              char* storeName) {
    armOrDisarm(j_env, 0, eventKey, client, handle, storeName, NULL);
}

} /* extern "C" */

void refreshStep(JNIEnv* env, const mb_step& step, const step_call& c) {
    if (!instrumentation) return;
    for (const fault_flag& flag : step.refreshed)
        if (flag.key != NULL) refreshTestFlag(env, *flag.key, flag.on, c.file, c.line);
}

bool stepFaultOn(const mb_step& step) { return instrumentation && step.fault.on != NULL && *step.fault.on; }

void stepBefore(JNIEnv* env, const mb_step& step, const step_call& c) {
    if (!c.refreshed) refreshStep(env, step, c);
    stepEvents(env, step, c, 1);
}

bool stepAfter(JNIEnv* env, const mb_step& step, const step_call& c, va_list failureArgs) {
    if (stepFaultOn(step)) {
        c.rqs->status = MB_FAIL;
        c.rqs->error = MB_ERR_CANCEL;
        if (step.faultVoidsHandle && c.handle != NULL) *c.handle = 0;
    }
    stepEvents(env, step, c, 0);
    if (c.rqs->status == MB_SUCC) {
        stepVerbose(env, c, step.endLine);
        return true;
    }
    if (!c.reportLater && step.failure != NULL) reportStepV(env, step, c, failureArgs);
    return false;
}

void reportStep(JNIEnv* env, const mb_step& step, const step_call* c, ...) {
    va_list args;
    va_start(args, c);
    reportStepV(env, step, *c, args);
    va_end(args);
}

extern "C" {

namespace {

/* The steps of the file device, by operation. A step whose fault is
 * consulted elsewhere (the submission loops, which fail only a refused
 * submission) or that has no client call lists its flags for the refresh
 * alone. */
const mb_step kConfigPassingStep = {{FAULT(configPassing)}, {}, {}, false, NULL, NULL, NULL};
const mb_step kInitStep = {{FAULT(mb_initErrorTest)}, {}, FAULT(mb_initErrorTest), false, NULL,
                           "populateConfig mb_init failed", NULL};
const mb_step kOpenStoreStep = {
    {FAULT(mb_openstoreErrorTest), FAULT(fileio_mb_open_mb_get_storeinfoErrorTest),
     FAULT(crash_primary_daemon_during_openstoreTest), FAULT(crash_storejvm_during_openstoreTest)},
    {FAULT(crash_primary_daemon_during_openstoreTest), FAULT(crash_storejvm_during_openstoreTest)},
    FAULT(mb_openstoreErrorTest), true, NULL, "fileio_mb_open mb_openstore failed. Store name=%s ", NULL};
const mb_step kOpenStoreInfoStep = {{}, {}, FAULT(fileio_mb_open_mb_get_storeinfoErrorTest), false, NULL,
                                    "fileio_mb_open mb_get_storeinfo failed. Store name=%s ", NULL};
const mb_step kCloseStoreStep = {
    {FAULT(mb_closestoreErrorTest), FAULT(mb_finiErrorTest), FAULT(crash_primary_daemon_during_closestoreTest),
     FAULT(crash_storejvm_during_closestoreTest)},
    {FAULT(crash_primary_daemon_during_closestoreTest), FAULT(crash_storejvm_during_closestoreTest)},
    FAULT(mb_closestoreErrorTest), false, NULL, "fileio_mb_close mb_closestore failed.", NULL};
const mb_step kCloseFiniStep = {{}, {}, FAULT(mb_finiErrorTest), false, "fileio_mb_close mb_fini failed",
                                "fileio_mb_close mb_fini failed.", NULL};
const mb_step kReadSubmitStep = {{FAULT(mbRetriedReadErrorTest)}, {}, {}, false, NULL, NULL, NULL};
const mb_step kWriteSubmitStep = {
    {FAULT(mbRetriedWriteErrorTest), FAULT(crash_primary_daemon_during_writeTest),
     FAULT(crash_storejvm_during_writeTest), FAULT(crash_secondary_daemon_during_writeTest)},
    {FAULT(crash_primary_daemon_during_writeTest), FAULT(crash_storejvm_during_writeTest),
     FAULT(crash_secondary_daemon_during_writeTest)},
    {}, false, NULL, NULL, NULL};
/* The flag is kept with its key and re-read here; nothing consults it. */
const mb_step kRegisterStep = {{FAULT(mb_registerErrorTest)}, {}, {}, false, NULL, NULL, NULL};
const mb_step kReadFenceStep = {{FAULT(mb_read_fenceErrorTest)}, {}, FAULT(mb_read_fenceErrorTest), false, NULL,
                                "fileio_internal_read end with error. Store handle=%d ", NULL};
const mb_step kWriteStoreInfoStep = {{FAULT(fileio_mb_write_mb_get_storeinfoErrorTest)}, {},
                                     FAULT(fileio_mb_write_mb_get_storeinfoErrorTest), false, NULL,
                                     "fileio_mb_write mb_get_storeinfo failed", NULL};
const mb_step kDaemonLimitStep = {{FAULT(total_memory_mb_get_local_daemon_infoErrorTest)}, {},
                                  FAULT(total_memory_mb_get_local_daemon_infoErrorTest), false, NULL,
                                  "fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed", NULL};
const mb_step kDaemonUsedStep = {{FAULT(used_memory_mb_get_local_daemon_infoErrorTest)}, {},
                                 FAULT(used_memory_mb_get_local_daemon_infoErrorTest), false, NULL,
                                 "fileio_mb_daemon_memory_used mb_get_local_daemon_info failed", NULL};

/* A performance of a step of this file on the context's connection. */
step_call contextCall(int line, mirrorbank_ctx* ctx, mb_rqs* rqs, bool refreshed, bool reportLater) {
    return {LOG_FILE, line, ctx, rqs, ctx->client_ctx, &ctx->handle, ctx->storeInfo.name, refreshed, reportLater};
}

} /* namespace */

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
    if (sourceTraceLevel >= 0 && sourceTraceLevel <= MB_TRACE_LEVEL_VERBOSE) return sourceTraceLevel;
    LOG_DEBUG(j_env,
              "Invalid (not between 0 to 5) mblibTraceLevel (value=%d) found. 5 which means MB_TRACE_LEVEL_VERBOSE is used instead of tessera.store.replicated.nativelib.tracelevel system property value provided",
              sourceTraceLevel);
    return MB_TRACE_LEVEL_VERBOSE;
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

namespace {

/* Decimal as atoi reads it, held at the 64-bit limits, low 32 bits kept. */
int64_t parseDecimal64(const char* text) { return (int64_t)strtoll(text, NULL, 10); }
uint32_t parseDecimalLow32(const char* text) { return (uint32_t)(uint64_t)parseDecimal64(text); }

/* The keys that fill a context, in the order they are looked up; each
 * stores its present value. False refuses the value (an exception is then
 * pending). StoreConfigName only names the trace-level property. */
struct config_key {
    const char* key;
    bool (*apply)(JNIEnv* j_env, mirrorbank_ctx* ctx, const char* value);
};

bool storeConfigFileName(JNIEnv* j_env, mirrorbank_ctx* ctx, const char* value) {
    size_t length = strlen(value);
    if (length > MIRRORBANK_NAME_MAX) {
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL,
                               "populateConfig ConfigFileName is %zu bytes long, more than the %d bytes allowed",
                               length, MIRRORBANK_NAME_MAX);
        return false;
    }
    memcpy(ctx->initConfig.cfg_filename, value, length + 1);
    return true;
}

const config_key kConfigKeys[] = {
    {"StoreConfigName", [](JNIEnv*, mirrorbank_ctx*, const char*) { return true; }},
    {"Address", [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->initConfig.ip = (ub4)inet_addr(v)), true; }},
    {"BlockSize", [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->blocksize = parseDecimalLow32(v)), true; }},
    {"BusyWaitMicroSeconds",
     [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->initConfig.busywait = parseDecimalLow32(v)), true; }},
    {"ConfigFileName", storeConfigFileName},
    {"IoBufferSize", [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->ioBufferSize = parseDecimalLow32(v)), true; }},
    {"LocalIndex",
     [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->initConfig.localindex = parseDecimalLow32(v)), true; }},
    {"MaxReplicaCount",
     [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->maxReplicaCount = (int32_t)parseDecimalLow32(v)), true; }},
    {"MinReplicaCount",
     [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->minReplicaCount = (int32_t)parseDecimalLow32(v)), true; }},
    {"Port",
     [](JNIEnv*, mirrorbank_ctx* c, const char* v) {
         return (c->initConfig.localport = htons((uint16_t)parseDecimalLow32(v))), true;
     }},
    {"RegionSize", [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->totalsize = parseDecimalLow32(v)), true; }},
    {"SleepWaitMilliSeconds",
     [](JNIEnv*, mirrorbank_ctx* c, const char* v) { return (c->initConfig.timeout = parseDecimalLow32(v)), true; }},
};

/* The client library's trace level for a context: 0 while both log
 * channels are off, else the store's own level property when it is set,
 * else the global one, bounded to 0..5. */
int contextTraceLevel(JNIEnv* j_env, const char* storeConfigName) {
    if (!nativeToJavaDebug && !nativeToJavaVerbose) return 0;
    if (j_env == NULL) return MB_TRACE_LEVEL_VERBOSE;
    if (storeConfigName != NULL) {
        int storeLevel = -1;
        size_t keySize = strlen(storeConfigName) + 48;
        char* propertyKey = (char*)malloc(keySize);
        if (propertyKey != NULL) {
            snprintf(propertyKey, keySize, "%s%s%s", "tessera.store.replicated.", storeConfigName,
                     ".nativelib.tracelevel");
            storeLevel = readIntJavaSystemProperty(j_env, propertyKey);
            free(propertyKey);
        }
        if (storeLevel != -1) {
            LOG_VERBOSE(j_env, "populateConfig mblib store (config name=%s) specific TraceLevel=%d", storeConfigName,
                        storeLevel);
            return validatemblibTraceLevel(j_env, storeLevel);
        }
    }
    LOG_VERBOSE(j_env, "populateConfig mblib Global TraceLevel=%d", mblibTraceLevel);
    return validatemblibTraceLevel(j_env, mblibTraceLevel);
}

/* Callbacks record of each context's client connection; static, so it
 * outlives every connection made from it. */
mb_callbacks contextCallbacks[MIRRORBANK_MAX_CONTEXTS];

} /* namespace */

void populateConfig(JNIEnv* j_env, mirrorbank_ctx* ctx, int index, int length, char** keys, char** values) {
    LOG_VERBOSE(j_env, "populateConfig begin");
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    step_call init = contextCall(__LINE__, ctx, &rqs, true, true);
    refreshStep(j_env, kInitStep, init);

    /* Each lookup starts just after where the key before it was found. */
    int hint = index + 1;
    const char* storeConfigName = NULL;
    for (const config_key& k : kConfigKeys) {
        int at = getConfigString(j_env, (char*)k.key, hint, length, keys, values);
        hint = at >= 0 ? at + 1 : 0;
        if (at < 0) continue;
        if (!k.apply(j_env, ctx, values[at])) {
            LOG_VERBOSE(j_env, "populateConfig end");
            return; /* refused before the client library saw it: no connection */
        }
        if (&k == &kConfigKeys[0]) storeConfigName = values[at];
    }

    ctx->initConfig.trace_level = contextTraceLevel(j_env, storeConfigName);

    size_t slot = (size_t)(ctx - replicatedContextArray);
    mb_callbacks* callbacks = &contextCallbacks[slot];
    memset(callbacks, 0, sizeof(*callbacks));
    callbacks->trace = mbloggercallback;
    callbacks->tracecbctx = ctx;
    ctx->initConfig.ccb = callbacks;

    runStep(j_env, [&] { ctx->client_ctx = mb_init(&rqs, &ctx->initConfig); }, kInitStep, &init);
    if (stepFaultOn(kInitStep) && ctx->client_ctx != NULL) {
        /* The library did make a connection: finish it so nothing leaks. */
        mb_rqs finiRqs = {MB_SUCC, MB_ERR_NONE};
        mb_fini(&finiRqs, ctx->client_ctx);
        ctx->client_ctx = NULL;
    }
    if (ctx->client_ctx == NULL) reportStep(j_env, kInitStep, &init);
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
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    mb_rqs finiRqs = {MB_SUCC, MB_ERR_NONE};
    step_call close = contextCall(__LINE__, ctx, &rqs, true, true);
    step_call fini = contextCall(__LINE__, ctx, &finiRqs, true, true);
    refreshStep(j_env, kCloseStoreStep, close);
    LOG_VERBOSE(j_env, "fileio_mb_close file_descriptor=%d mb_handle=%d closeCount=%d", file_descriptor,
                (int)ctx->handle, ctx->closeCount);
    bool aborted = false;
    runStep(j_env, [&] {
        /* Closed at most once; the close events armed for it stay armed. */
        if (ctx->closeCount != 0) {
            LOG_VERBOSE(j_env, "fileio_mb_close abort file_descriptor=%d mb_handle=%d closeCount=%d",
                        file_descriptor, (int)ctx->handle, ctx->closeCount);
            aborted = true;
            return false;
        }
        __atomic_store_n(&ctx->closeCount, 1, __ATOMIC_RELEASE); /* seen by transfers still waiting */
        mb_closestore(&rqs, ctx->client_ctx, ctx->handle, MIRRORBANK_CLOSE_FLAGS);
        return true;
    }, kCloseStoreStep, &close);
    if (aborted) return;
    /* The connection is finalised whatever the close answered (a region
     * lost with its last copy answers a failure): a closed handle keeps
     * nothing alive. */
    runStep(j_env, [&] { mb_fini(&finiRqs, ctx->client_ctx); }, kCloseFiniStep, &fini);
    if (rqs.status != MB_SUCC) {
        LOG_VERBOSE(j_env, "fileio_mb_close failed, connection finalised (mb_fini status=%d error=%d)",
                    (int)finiRqs.status, (int)finiRqs.error);
        reportStep(j_env, kCloseStoreStep, &close);
    } else if (finiRqs.status != MB_SUCC) {
        reportStep(j_env, kCloseFiniStep, &fini);
    } else {
        LOG_VERBOSE(j_env, "fileio_mb_close end");
    }
}

namespace {

/* A failed open gives back all it took (the region handle, the connection
 * and the table record) before its one exception is raised. */
void releaseFailedOpen(JNIEnv* j_env, mirrorbank_ctx* ctx) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    if (ctx->handle != 0) {
        mb_closestore(&rqs, ctx->client_ctx, ctx->handle, MIRRORBANK_CLOSE_FLAGS);
        if (rqs.status != MB_SUCC)
            LOG_DEBUG(j_env, "fileio_mb_open release: mb_closestore status=%d error=%d", (int)rqs.status, (int)rqs.error);
    }
    mb_fini(&rqs, ctx->client_ctx);
    if (rqs.status != MB_SUCC)
        LOG_DEBUG(j_env, "fileio_mb_open release: mb_fini status=%d error=%d", (int)rqs.status, (int)rqs.error);
    clearCtx(ctx);
}

} /* namespace */

int fileio_mb_open(JNIEnv* j_env, mirrorbank_ctx* ctx, char* storename) {
    LOG_VERBOSE(j_env, "fileio_mb_open begin");
    mb_libinfo libinfo;
    memset(&libinfo, 0, sizeof(libinfo));
    mb_get_libinfo(&libinfo);
    LOG_DEBUG(j_env, "fileio_mb_open storename=%s flags=0x%x library version=(%s)  label=(%s) stamp=(%s)", storename,
              MIRRORBANK_OPEN_FLAGS, libinfo.mb_lib_version ? libinfo.mb_lib_version : "(null)",
              libinfo.mb_lib_blabel ? libinfo.mb_lib_blabel : "(null)",
              libinfo.mb_lib_bstamp ? libinfo.mb_lib_bstamp : "(null)");

    /* The exceptions of a failed open name no context: it is given back. */
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    step_call open = contextCall(__LINE__, ctx, &rqs, false, true);
    open.ctx = NULL;
    open.storeName = storename;
    runStep(j_env, [&] {
        LOG_DEBUG(j_env, "fileio_mb_open storename=%s flags=0x%x", storename, MIRRORBANK_OPEN_FLAGS);
        LOG_DEBUG(j_env, "fileio_mb_open going to open store=%s with maxReplicaCount=%d/min=%d ", storename,
                  ctx->maxReplicaCount, ctx->minReplicaCount);
        LOG_DEBUG(j_env, "fileio_mb_open totalsize=%d ctx->blocksize=%d", (int)ctx->totalsize, (int)ctx->blocksize);
        ctx->handle = mb_openstore(&rqs, ctx->client_ctx, storename, ctx->minReplicaCount, ctx->maxReplicaCount,
                                   MIRRORBANK_OPEN_FLAGS, ctx->totalsize, ctx->blocksize);
    }, kOpenStoreStep, &open);
    LOG_DEBUG(j_env, "fileio_mb_open opened store=%s with handle=%d", storename, (int)ctx->handle);
    if (ctx->handle == 0) {
        releaseFailedOpen(j_env, ctx);
        reportStep(j_env, kOpenStoreStep, &open, storename);
        return -1;
    }

    mb_client_storeinfo info;
    memset(&info, 0, sizeof(info));
    info.storehandle = ctx->handle;
    if (!runStep(j_env, [&] { mb_get_storeinfo(&rqs, ctx->client_ctx, &info); }, kOpenStoreInfoStep, &open)) {
        releaseFailedOpen(j_env, ctx);
        reportStep(j_env, kOpenStoreInfoStep, &open, storename);
        return -1;
    }
    LOG_DEBUG(j_env, "fileio_mb_open store used=x%llx size=x%llx", (unsigned long long)info.used,
              (unsigned long long)info.size);
    assignNewFileLength(j_env, ctx, (unsigned int)info.used, (char*)"open file/used", __LINE__, &info);
    LOG_VERBOSE(j_env, "fileio_mb_open end");
    return ctx->fileDescriptor;
}

namespace {

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

/* The pairs joined as key=value,key=value: what an open reports instead
 * of opening while the configuration-passing fault is on. */
struct ConfigEcho {
    char* text = NULL;
    size_t length = 0;
    ~ConfigEcho() { free(text); }
};

/* Refuses what cannot be opened before anything is converted: a null
 * array, arrays of different lengths, a null element. The pair count, or
 * -1 with the exception raised. */
jsize checkConfigurationArrays(JNIEnv* j_env, jobjectArray keys, jobjectArray values) {
    if (keys == NULL || values == NULL) {
        LOG_VERBOSE(j_env,
                    "open_replicated_internal error return due to configuration key or values array being null");
        TSSRepIOThrowIO(j_env, "Error, configuration null");
        return -1;
    }
    jsize keyCount = j_env->GetArrayLength(keys);
    jsize valueCount = j_env->GetArrayLength(values);
    LOG_DEBUG(j_env, "open_replicated_internal configuration keys(=%d) values(%d) length retrieved", (int)keyCount,
              (int)valueCount);
    if (keyCount != valueCount) {
        LOG_VERBOSE(j_env, "open_replicated_internal error return due to mismatch in config key and value count mismatch");
        TSSRepIOThrowIO(j_env, "Error, configuration Keys and values count do not match");
        return -1;
    }
    for (jsize i = 0; i < keyCount; i++) {
        jobject key = j_env->GetObjectArrayElement(keys, i);
        jobject value = j_env->GetObjectArrayElement(values, i);
        bool missing = key == NULL || value == NULL;
        if (key != NULL) j_env->DeleteLocalRef(key);
        if (value != NULL) j_env->DeleteLocalRef(value);
        if (j_env->ExceptionCheck()) return -1;
        if (missing) {
            TSSRepIOThrowIO(j_env, "Error, configuration null");
            return -1;
        }
    }
    return keyCount;
}

/* Adds pair i to the echo, with its log lines; false when out of memory. */
bool echoPair(JNIEnv* j_env, ConfigEcho* echo, jsize i, const char* key, const char* value) {
    if (i > 0)
        LOG_VERBOSE(j_env, "open_replicated_internal before concat Key=%s Value=%s junitResultString=%s", key, value,
                    echo->text);
    size_t add = strlen(key) + strlen(value) + 2;
    char* grown = (char*)realloc(echo->text, echo->length + add + 1);
    if (grown == NULL) {
        TSSRepIOThrowOOM(j_env, "Cannot allocate native char array.");
        return false;
    }
    echo->text = grown;
    echo->length += (size_t)snprintf(echo->text + echo->length, add + 1, "%s%s=%s", i > 0 ? "," : "", key, value);
    LOG_VERBOSE(j_env, "open_replicated_internal i=%d Result String=%s, key-value pair(%s=%s)", (int)i, echo->text, key,
                value);
    return true;
}

/* Converts the checked arrays into config, pair by pair, each once;
 * echo (when not null) collects the pairs too. False with the exception
 * raised. */
bool convertConfiguration(JNIEnv* j_env, jobjectArray keys, jobjectArray values, jsize count, ConfigArrays* config,
                          ConfigEcho* echo) {
    config->keys = (char**)calloc((size_t)count + 1, sizeof(char*));
    config->values = (char**)calloc((size_t)count + 1, sizeof(char*));
    if (config->keys == NULL || config->values == NULL) {
        TSSRepIOThrowOOM(j_env, "Cannot allocate native char array.");
        return false;
    }
    config->length = count;
    for (jsize i = 0; i < count; i++) {
        jstring jkey = (jstring)j_env->GetObjectArrayElement(keys, i);
        jstring jvalue = (jstring)j_env->GetObjectArrayElement(values, i);
        char* key = config->keys[i] = getExactUtf8Chars(j_env, jkey, "configuration key", (size_t)-1);
        if (key != NULL) {
            char what[96];
            snprintf(what, sizeof what, "configuration value of %.64s", key);
            config->values[i] = getExactUtf8Chars(j_env, jvalue, what, (size_t)-1);
        }
        j_env->DeleteLocalRef(jkey);
        j_env->DeleteLocalRef(jvalue);
        char* value = config->values[i];
        if (key == NULL || value == NULL) {
            if (!j_env->ExceptionCheck()) TSSRepIOThrowOOM(j_env, "Cannot allocate native char array.");
            return false;
        }
        if (echo != NULL && !echoPair(j_env, echo, i, key, value)) return false;
        LOG_DEBUG(j_env, "Configuration key=%s, Value=%s", key, value);
    }
    return true;
}

/* Builds the context from the configuration and opens the region: the
 * handle, or -1 (with the exception raised, except where a context could
 * not be claimed). */
jlong openFromConfiguration(JNIEnv* j_env, char* fname, ConfigArrays* config) {
    LOG_VERBOSE(j_env, "open_replicated_internal end");
    LOG_VERBOSE(j_env, "open_replicated begin");
    LOG_VERBOSE(j_env, "fileio_mb_contextFromConfig begin");
    char* reason = NULL;
    int code = 0;
    mirrorbank_ctx* ctx = fileio_mb_contextInternal(j_env, config->length, config->keys, config->values, &reason, &code);
    if (ctx == NULL) {
        LOG_VERBOSE(j_env, "fileio_mb_contextFromConfig end due to null context");
        LOG_VERBOSE(j_env, "open_replicated return error due to null context");
        return -1;
    }
    LOG_VERBOSE(j_env, "fileio_mb_contextFromConfig end");
    int r = fileio_mb_open(j_env, ctx, fname);
    if (r < 0) {
        LOG_VERBOSE(j_env, "open_replicated return error due null handle");
        return -1;
    }
    LOG_DEBUG(j_env, "open_replicated returns %s %d", fname, r);
    LOG_VERBOSE(j_env, "open_replicated end");
    return r;
}

} /* namespace */

jlong open_replicated_internal(JNIEnv* j_env, jclass clazz, jstring j_fname, jstring j_mode_ignored,
                               jboolean j_exclusive, jobjectArray j_configurationKeys,
                               jobjectArray j_configurationValues) {
    (void)clazz;
    (void)j_mode_ignored;
    (void)j_exclusive;
    mb_rqs none = {MB_SUCC, MB_ERR_NONE};
    step_call passing = {LOG_FILE, __LINE__, NULL, &none, NULL, NULL, NULL, false, false};
    refreshStep(j_env, kConfigPassingStep, passing);
    LOG_VERBOSE(j_env, "open_replicated_internal begin");

    NativeChars fname(getExactUtf8Chars(j_env, j_fname, "open region name", MIRRORBANK_NAME_MAX));
    if (fname.p == NULL) {
        LOG_VERBOSE(j_env, "open_replicated_internal error return due to file name null");
        TSSRepIOThrowIO(j_env, "Error transforming string");
        return -1;
    }
    jsize count = checkConfigurationArrays(j_env, j_configurationKeys, j_configurationValues);
    if (count < 0) return -1;
    ConfigArrays config;
    ConfigEcho echo;
    bool echoing = instrumentation && tests.configPassing;
    if (!convertConfiguration(j_env, j_configurationKeys, j_configurationValues, count, &config,
                              echoing ? &echo : NULL))
        return -1;
    if (!echoing) return openFromConfiguration(j_env, fname.p, &config);
    const char* message = echo.text != NULL ? echo.text : "static string to avoid npe junitResultString";
    LOG_DEBUG(j_env, "JUnit Result String=%s", message);
    TSSRepIOThrowIO(j_env, message);
    LOG_VERBOSE(j_env, "open_replicated_internal junit test case exception thrown with key value pairs");
    return -1;
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_open(JNIEnv* j_env, jclass clazz,
                                                                                  jstring fname, jstring mode,
                                                                                  jobjectArray keys,
                                                                                  jobjectArray values) {
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_open begin");
    return open_replicated_internal(j_env, clazz, fname, mode, JNI_TRUE, keys, values);
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_openConsiderLock(
    JNIEnv* j_env, jclass clazz, jstring fname, jstring mode, jboolean exclusive, jobjectArray keys,
    jobjectArray values) {
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_openConsiderLock begin");
    return open_replicated_internal(j_env, clazz, fname, mode, exclusive, keys, values);
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_close(JNIEnv* j_env, jclass clazz,
                                                                                  jlong handle) {
    (void)clazz;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_close begin");
    if (handle < 0 || handle >= MIRRORBANK_MAX_CONTEXTS) return;
    mirrorbank_ctx* ctx = &replicatedContextArray[handle];
    if ((jlong)ctx->fileDescriptor == handle) fileio_mb_close(j_env, ctx, ctx->fileDescriptor);
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getSize(JNIEnv* j_env, jclass clazz,
                                                                                     jlong handle) {
    (void)clazz;
    LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_getSize begin");
    if (handle < 0 || handle >= MIRRORBANK_MAX_CONTEXTS) return -1;
    return (jlong)fileio_mb_getLength(j_env, &replicatedContextArray[handle]);
}

/* ======================================================================
 * Asynchronous operation engine
 * ==================================================================== */

namespace {

/* Records of one read or write: the notification record comes first so
 * that the cookie (its address) also names the whole block. */
struct operation_records {
    general_ncb ncb;
    mb_client_opargs op;
};

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

/* The path's end-with-error line, after a failed submission or wait. */
void logEndWithError(JNIEnv* j_env, operation_records* records, bool isRead) {
    if (isRead)
        LOG_VERBOSE(j_env, "fileio_internal_read end with error. Async status errorcode=%d , mb_client_opargs error=%d",
                    records->ncb.savedError, (int)records->op.error);
    else
        LOG_VERBOSE(j_env, "fileio_internal_write end with error. Error code=%d, Base error=%d",
                    records->ncb.savedError, (int)records->op.error);
}

/*
 * The submission step shared by retriedRead and retriedWrite: submit, and
 * while the library answers neither accepted nor failed, wait and submit
 * again, up to the retry budget. A wait that fails (the connection is gone)
 * ends the attempts. Raises the caller's failure text, with the remaining
 * budget, unless the operation has already raised. True when accepted.
 */
bool submitWithRetry(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_ctx* client, mb_client_opargs* op, bool isWrite,
                     bool injectFailure, const char* failureFormat) {
    general_ncb* ncb = (general_ncb*)(uintptr_t)op->cookie;
    int budget = MIRRORBANK_RETRY_BUDGET;
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    for (;;) {
        if (isWrite) mb_write(&rqs, client, op);
        else mb_read(&rqs, client, op);
        if (rqs.status == MB_INPROG || rqs.status == MB_SUCC) return true;
        if (!isWrite && op->status == MB_FAIL && op->error == MB_ERR_EMPTYBLOCK) {
            /* Nothing was ever written there: the range reads as zeros. */
            op->error = MB_ERR_NONE;
            op->status = MB_SUCC;
            memset(op->buffer, 0, (size_t)op->length);
            LOG_DEBUG(j_env, "retriedRead convert MB_ERR_EMPTYBLOCK to success storehandle=%d cookie=x%x",
                      (int)op->storehandle, (unsigned)(uintptr_t)ncb);
            return true;
        }
        if (injectFailure) {
            rqs.status = MB_FAIL;
            rqs.error = MB_ERR_CANCEL;
            budget = 0;
            break;
        }
        if (rqs.status == MB_FAIL || budget <= 0) break;
        budget -= 1;
        mb_rqs waitRqs = {MB_SUCC, MB_ERR_NONE};
        mb_wait(&waitRqs, client, ctx->initConfig.timeout, 0);
        if (waitRqs.status == MB_FAIL) {
            rqs = waitRqs;
            break;
        }
    }
    if (ncb->reportedException == 0) {
        chooseReportedFailure(ncb, op, &rqs);
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp, failureFormat, budget);
    }
    return false;
}

/*
 * Awaits completion of an accepted operation on the calling thread, on the
 * connection it was submitted to. Returns the length on success, -1 with
 * the exception raised on failure. The wait also ends when the handle is
 * closed meanwhile or a wait fails (the connection was finalised), so a
 * close on another thread never leaves this one spinning. *mayStillNotify
 * tells whether the library may still run the operation's notification.
 */
int awaitCompletion(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_ctx* client, operation_records* records,
                    bool isRead, bool* mayStillNotify) {
    general_ncb* ncb = &records->ncb;
    mb_client_opargs* op = &records->op;
    mb_rqs rqs = {(mb_status)0, MB_ERR_NONE};
    int readWaits = 0;
    bool closed = false;
    *mayStillNotify = true;
    for (;;) {
        if (ncb->savedError > 0 || op->error != 0) break;
        if (ncb->pending == 0) return (int)op->length;
        if (op->status == MB_SUCC) {
            notification(op, isRead);
            return (int)op->length;
        }
        if (rqs.status == MB_FAIL) {
            /* A finalised connection never notifies again; after any other
             * failed wait the notification may still come. */
            *mayStillNotify = rqs.error != MB_ERR_FREEDCTX && rqs.error != MB_ERR_BADCTX && rqs.error != MB_ERR_NULLCTX;
            break;
        }
        if (__atomic_load_n(&ctx->closeCount, __ATOMIC_ACQUIRE) != 0) {
            closed = true;
            break;
        }
        int64_t count;
        if (isRead) count = ++readWaits;
        else count = __atomic_add_fetch(&totalMB_Waits, 1, __ATOMIC_RELAXED);
        if (count % 1024 == 5)
            LOG_DEBUG(j_env, "IOwriteWait  offset=x%x, totalMB_Waits=%d", (unsigned)op->offset, (int)count);
        mb_wait(&rqs, client, ctx->initConfig.timeout, ctx->initConfig.busywait);
    }
    if (isRead && ncb->pending == 1) notification(op, true);
    logEndWithError(j_env, records, isRead);
    if (ncb->reportedException != 0) return -1;
    if (closed) {
        ncb->reportedException = MB_ERR_CANCEL;
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, NULL,
                               "%s handle %d was closed while the operation waited for completion",
                               isRead ? "fileio_internal_read" : "fileio_internal_write", (int)ctx->fileDescriptor);
        return -1;
    }
    chooseReportedFailure(ncb, op, &rqs);
    if (isRead)
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp,
                               "retriedRead Failed to read and ended with error(reported=%d)", ncb->reportedException);
    else
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, ctx, &ncb->rqsTmp,
                               "fileio_internal_write Failed to write and ended with error(reported=%d)",
                               ncb->reportedException);
    return -1;
}

} /* namespace */

boolean read_ncb(mb_client_opargs* opargs) { return notification(opargs, true); }

boolean write_ncb(mb_client_opargs* opargs) { return notification(opargs, false); }

int retriedRead(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_ctx* client, mb_client_opargs* op) {
    LOG_VERBOSE(j_env, "retriedRead begin");
    mb_rqs none = {MB_SUCC, MB_ERR_NONE};
    refreshStep(j_env, kReadSubmitStep, contextCall(__LINE__, ctx, &none, false, false));
    LOG_DEBUG(j_env, "retriedRead cookie=x%x, buf=x%x", (unsigned)op->cookie, (unsigned)(uintptr_t)op->buffer);
    if (!submitWithRetry(j_env, ctx, client, op, false, instrumentation && tests.mbRetriedReadErrorTest,
                         "retriedRead Failed to read and ended with error(Attempt=%d)"))
        return -1;
    LOG_VERBOSE(j_env, "retriedRead end");
    return 1;
}

int retriedWrite(JNIEnv* j_env, mirrorbank_ctx* ctx, mb_client_opargs* op) {
    mb_client_ctx* client = ctx->client_ctx;
    /* The submission raises its own failure; the step's outcome only
     * tells whether it was accepted. */
    mb_rqs outcome = {MB_SUCC, MB_ERR_NONE};
    step_call write = contextCall(__LINE__, ctx, &outcome, false, true);
    bool accepted = runStep(j_env, [&] {
        LOG_VERBOSE(j_env, "retriedWrite begin");
        LOG_VERBOSE(j_env, "write block  cookie=x%x, buf=x%x", (unsigned)op->cookie, (unsigned)(uintptr_t)op->buffer);
        if (!submitWithRetry(j_env, ctx, client, op, true, instrumentation && tests.mbRetriedWriteErrorTest,
                             "retriedWrite Failed to write and ended with error(Attempt=%d)"))
            outcome.status = MB_FAIL;
    }, kWriteSubmitStep, &write);
    if (!accepted) return -1;
    /* The primary-daemon write crash is disarmed once more after a write that went through. */
    armOrDisarm(j_env, 0, tests.crash_primary_daemon_during_writeTestKey, client, ctx->handle, ctx->storeInfo.name,
                "retriedWrite");
    LOG_VERBOSE(j_env, "retriedWrite successful end");
    return 1;
}

mb_status fileio_mb_register(JNIEnv* j_env, mirrorbank_ctx* ctx, char* buf) {
    (void)buf;
    LOG_VERBOSE(j_env, "fileio_mb_register begin");
    mb_rqs none = {MB_SUCC, MB_ERR_NONE};
    refreshStep(j_env, kRegisterStep, contextCall(__LINE__, ctx, &none, false, false));
    LOG_VERBOSE(j_env, "fileio_mb_register end");
    return MB_FAIL;
}

/* ======================================================================
 * Read and write paths
 * ==================================================================== */

namespace {

/* One operation through the engine, the part the read and write paths
 * share: records, submission with retry, completion, release. */
int runOperation(JNIEnv* j_env, mirrorbank_ctx* ctx, int position, void* buf, int length, mb_key* key, bool isWrite) {
    mb_client_ctx* client = ctx->client_ctx;
    operation_records* records = newOperationRecords(j_env);
    if (records == NULL) {
        TSSRepIOThrowOOM(j_env, "Cannot allocate operation record.");
        return -1;
    }
    mb_client_opargs* op = &records->op;
    op->flags = isWrite ? MB_OP_WRITE : MB_OP_READ;
    op->buffer = buf;
    op->length = (ub8)(int64_t)length;
    op->key = isWrite ? key : NULL;
    op->offset = (ub8)(int64_t)position;
    op->storehandle = ctx->handle;
    op->cookie = (ub8)(uintptr_t)&records->ncb;
    op->ncb = isWrite ? write_ncb : read_ncb;
    if (!isWrite) {
        LOG_DEBUG(j_env, "READ   trace size=%d, offset=x%x", length, (unsigned)position);
        LOG_DEBUG(j_env, "READ   trace storehandle=x%x", (unsigned)ctx->handle);
    }
    int submitted = isWrite ? retriedWrite(j_env, ctx, op) : retriedRead(j_env, ctx, client, op);
    if (submitted < 0) {
        logEndWithError(j_env, records, !isWrite);
        releaseOperationRecords(records, false);
        return -1;
    }
    bool mayStillNotify = false;
    int result = awaitCompletion(j_env, ctx, client, records, !isWrite, &mayStillNotify);
    releaseOperationRecords(records, result < 0 && mayStillNotify);
    return result < 0 ? -1 : length;
}

} /* namespace */

int fileio_internal_read(JNIEnv* j_env, mirrorbank_ctx* ctx, const int actualOffsetIntoStore, void* buf,
                         const int length, mb_key* key) {
    (void)key;
    LOG_VERBOSE(j_env, "fileio_internal_read begin");
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    step_call fence = contextCall(__LINE__, ctx, &rqs, true, true);
    refreshStep(j_env, kReadFenceStep, fence);
    if (ctx->skipReadFence == 0) {
        mb_client_opargs fenceOp;
        memset(&fenceOp, 0, sizeof(fenceOp));
        fenceOp.storehandle = ctx->handle;
        LOG_DEBUG(j_env, "mb_read_FENCE  trace storehandle=%d", (int)ctx->handle);
        if (!runStep(j_env, [&] { mb_read_fence(&rqs, ctx->client_ctx, &fenceOp); }, kReadFenceStep, &fence)) {
            LOG_DEBUG(j_env, "mb_read_FENCE  FAILURE? status=%d:%d, storehandle=%d", (int)rqs.status, (int)rqs.error,
                      (int)ctx->handle);
            reportStep(j_env, kReadFenceStep, &fence, (int)ctx->handle);
            return -1;
        }
        ctx->skipReadFence = 1;
    }
    if (runOperation(j_env, ctx, actualOffsetIntoStore, buf, length, NULL, false) < 0) return -1;
    LOG_VERBOSE(j_env, "fileio_internal_read end");
    return length;
}

int fileio_internal_write(JNIEnv* j_env, mirrorbank_ctx* ctx, const int actualOffsetIntoStore, char* buf,
                          const int length, mb_key* key) {
    LOG_VERBOSE(j_env, "fileio_internal_write begin");
    LOG_DEBUG(j_env, "WRITE  trace size=%d, offset=x%x", length, (unsigned)actualOffsetIntoStore);
    LOG_DEBUG(j_env, "WRITE  trace Primary   handle=%d buf=0x%x", (int)ctx->handle, (unsigned)(uintptr_t)buf);
    ctx->skipReadFence = 0;
    if (runOperation(j_env, ctx, actualOffsetIntoStore, buf, length, key, true) < 0) return -1;
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
    mb_rqs info_rqs = {MB_SUCC, MB_ERR_NONE};
    step_call info = contextCall(__LINE__, ctx, &info_rqs, true, false);
    refreshStep(j_env, kWriteStoreInfoStep, info);
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
        if (!runStep(j_env, [&] { mb_get_storeinfo(&info_rqs, ctx->client_ctx, &localStoreInfo); },
                     kWriteStoreInfoStep, &info))
            return -1;
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

namespace {

/* The register layer of both directions: the next layer, with no key. */
int registerLayer(JNIEnv* j_env, mirrorbank_ctx* ctx, int position, char* buf, int length, bool isWrite) {
    if (isWrite) LOG_VERBOSE(j_env, "fileio_mb_write_register begin");
    else LOG_VERBOSE(j_env, "fileio_mb_read_register begin");
    int r = isWrite ? fileio_mb_write(j_env, ctx, position, buf, length, NULL)
                    : fileio_mb_read(j_env, ctx, position, buf, length, NULL);
    if (isWrite) LOG_VERBOSE(j_env, "fileio_mb_write_register end");
    else LOG_VERBOSE(j_env, "fileio_mb_read_register end");
    return r;
}

} /* namespace */

int fileio_mb_read_register(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf,
                            const int length) {
    return registerLayer(j_env, ctx, userOffsetIntoStore, buf, length, false);
}

int fileio_mb_write_register(JNIEnv* j_env, mirrorbank_ctx* ctx, const int userOffsetIntoStore, char* buf,
                             const int length) {
    return registerLayer(j_env, ctx, userOffsetIntoStore, buf, length, true);
}

namespace {

/* The largest position plus length of a region file (31-bit positions). */
const jlong kMaxFilePosition = 0x7fffffffLL;

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
    bool closed = __atomic_load_n(&ctx->closeCount, __ATOMIC_ACQUIRE) != 0; /* a close may run on another thread */
    if ((jlong)ctx->fileDescriptor != handle || closed || ctx->client_ctx == NULL ||
        ctx->handle == 0) {
        contextIOExceptionImpl(j_env, LOG_FILE, line, NULL, NULL, "%s handle %lld is not open", method,
                               (long long)handle);
        return NULL;
    }
    return ctx;
}

/* Start address of [offset, offset + length) inside a direct buffer, or
 * null with the IOException raised; *readOnly tells a read-only direct
 * ByteBuffer. */
char* directBufferRange(JNIEnv* j_env, jobject buf, jint offset, jint length, bool* readOnly, const char* method,
                        int line) {
    char* base;
    *readOnly = false;
    if (directByteBufferClass != NULL && j_env->IsInstanceOf(buf, directByteBufferClass)) {
        base = (char*)(intptr_t)j_env->GetLongField(buf, bufferAddressField);
        *readOnly = j_env->GetBooleanField(buf, byteBufferReadOnlyField) != JNI_FALSE;
    } else {
        base = (char*)j_env->GetDirectBufferAddress(buf);
    }
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
    if (filePosition < 0 || length < 0 || filePosition > kMaxFilePosition - (jlong)length) {
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
    bool readOnly;
    char* address = directBufferRange(j_env, buf, offset, length, &readOnly, texts->name, __LINE__);
    if (address == NULL) return -1;
    /* Bytes read into a read-only buffer would break its promise (and a
     * read-only file mapping would fault). Views of other element types
     * are not recognised here. */
    if (!isWrite && readOnly) {
        contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL, "%s buffer is read-only", texts->name);
        return -1;
    }
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

JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_read(JNIEnv* j_env, jclass, jlong handle, jlong filePosition,
                                                                                jobject buf, jint offset, jint length) {
    return transferEntry(j_env, handle, filePosition, buf, offset, length, false);
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_write(JNIEnv* j_env, jclass, jlong handle, jlong filePosition,
                                                                                 jobject buf, jint offset, jint length) {
    return transferEntry(j_env, handle, filePosition, buf, offset, length, true);
}

/* ======================================================================
 * Direct buffers and device figures
 * ==================================================================== */

namespace {

/* The direct-buffer service is not offered: each of its methods logs its
 * begin line and raises an IOException that names it. */
void refuseBufferMethod(JNIEnv* j_env, const char* beginLine, const char* name) {
    LOG_VERBOSE(j_env, "%s", beginLine);
    contextIOExceptionImpl(j_env, LOG_FILE, __LINE__, NULL, NULL, "%s", name);
}

} /* namespace */

JNIEXPORT jobject JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_allocate(JNIEnv* j_env, jclass, jint) {
    refuseBufferMethod(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_allocate begin", "Java_tessera_store_io_file_direct_ReplicatedIONative_allocate");
    return NULL;
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_free(JNIEnv* j_env, jclass, jobject) {
    refuseBufferMethod(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_free begin", "Java_tessera_store_io_file_direct_ReplicatedIONative_free");
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer(JNIEnv* j_env, jclass, jobject, jint, jint, jbyte) {
    refuseBufferMethod(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer begin", "Java_tessera_store_io_file_direct_ReplicatedIONative_fillBuffer");
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment(JNIEnv* j_env, jclass, jstring) {
    refuseBufferMethod(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment begin", "Java_tessera_store_io_file_direct_ReplicatedIONative_checkAlignment");
    return -1;
}

namespace {

/* The query both figures share: the library's answer into the context's
 * localDaemonInfo; false with the exception raised on failure. */
bool queryLocalDaemon(JNIEnv* j_env, mirrorbank_ctx* ctx, const mb_step& step) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    step_call query = contextCall(__LINE__, ctx, &rqs, false, false);
    return runStep(j_env, [&] { mb_get_local_daemon_info(&rqs, ctx->client_ctx, &ctx->localDaemonInfo); }, step,
                   &query);
}

/* The body of the two Java figure entries. */
jlong figureEntry(JNIEnv* j_env, jlong handle, bool limit) {
    mirrorbank_ctx* ctx = openContextForIO(
        j_env, handle,
        limit ? "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit"
              : "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed",
        __LINE__);
    if (ctx == NULL) return -1;
    int64_t result = limit ? fileio_mb_daemon_memory_limit(j_env, ctx) : fileio_mb_daemon_memory_used(j_env, ctx);
    if (result >= 0) return (jlong)result;
    if (limit)
        LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit return error due to error getting memory limit");
    else
        LOG_VERBOSE(j_env, "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed return error due to failure getting memory used");
    return -1;
}

} /* namespace */

int64_t fileio_mb_daemon_memory_limit(JNIEnv* j_env, mirrorbank_ctx* ctx) {
    bool ok = queryLocalDaemon(j_env, ctx, kDaemonLimitStep);
    return ok ? (int64_t)ctx->localDaemonInfo.total_memory : -1;
}

int64_t fileio_mb_daemon_memory_used(JNIEnv* j_env, mirrorbank_ctx* ctx) {
    bool ok = queryLocalDaemon(j_env, ctx, kDaemonUsedStep);
    return ok ? (int64_t)ctx->localDaemonInfo.used_memory : -1;
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit(JNIEnv* j_env, jclass,
                                                                                           jlong handle) {
    return figureEntry(j_env, handle, true);
}

JNIEXPORT jlong JNICALL Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed(JNIEnv* j_env, jclass,
                                                                                          jlong handle) {
    return figureEntry(j_env, handle, false);
}

/* ======================================================================
 * Java glue: load and unload, cached IDs, exceptions, strings, message
 * text, log lines and contextual I/O exceptions
 * ==================================================================== */

namespace {

/* A global reference to the class `name`, or null with the lookup error
 * pending. */
jclass globalClass(JNIEnv* env, const char* name) {
    jclass local = env->FindClass(name);
    if (local == NULL) return NULL;
    jclass global = (jclass)env->NewGlobalRef(local);
    env->DeleteLocalRef(local);
    return global;
}

bool lookUpGlue(JNIEnv* env) {
    String_clazz = globalClass(env, "java/lang/String");
    ioExceptionClass = globalClass(env, "java/io/IOException");
    npeClass = globalClass(env, "java/lang/NullPointerException");
    oomClass = globalClass(env, "java/lang/OutOfMemoryError");
    jclass charsets = env->FindClass("java/nio/charset/StandardCharsets");
    jclass buffer = env->FindClass("java/nio/Buffer");
    if (String_clazz == NULL || ioExceptionClass == NULL || npeClass == NULL || oomClass == NULL ||
        charsets == NULL || buffer == NULL)
        return false;
    jfieldID utf8 = env->GetStaticFieldID(charsets, "UTF_8", "Ljava/nio/charset/Charset;");
    if (utf8 == NULL) return false;
    jobject charset = env->GetStaticObjectField(charsets, utf8);
    if (charset == NULL) return false;
    utf8Charset = env->NewGlobalRef(charset);
    env->DeleteLocalRef(charset);
    env->DeleteLocalRef(charsets);
    bufferCapacityField = env->GetFieldID(buffer, "capacity", "I");
    if (bufferCapacityField == NULL) return false;
    jclass direct = env->FindClass("java/nio/DirectByteBuffer");
    jclass bytes = direct != NULL ? env->FindClass("java/nio/ByteBuffer") : NULL;
    jfieldID address = bytes != NULL ? env->GetFieldID(buffer, "address", "J") : NULL;
    jfieldID readOnly = address != NULL ? env->GetFieldID(bytes, "isReadOnly", "Z") : NULL;
    if (readOnly == NULL) {
        env->ExceptionClear();
    } else {
        directByteBufferClass = (jclass)env->NewGlobalRef(direct);
        bufferAddressField = address;
        byteBufferReadOnlyField = readOnly;
    }
    if (direct != NULL) env->DeleteLocalRef(direct);
    if (bytes != NULL) env->DeleteLocalRef(bytes);
    env->DeleteLocalRef(buffer);
    ioExceptionWithCause = env->GetMethodID(ioExceptionClass, "<init>", "(Ljava/lang/String;Ljava/lang/Throwable;)V");
    stringFromUtf8 = env->GetMethodID(String_clazz, "<init>", "([BLjava/nio/charset/Charset;)V");
    MID_String_init = env->GetMethodID(String_clazz, "<init>", "([B)V");
    MID_String_getBytes = env->GetMethodID(String_clazz, "getBytes", "()[B");
    return utf8Charset != NULL && bufferCapacityField != NULL && ioExceptionWithCause != NULL &&
           stringFromUtf8 != NULL && MID_String_init != NULL && MID_String_getBytes != NULL;
}

void releaseGlobal(JNIEnv* env, jobject* ref) {
    if (*ref != NULL) env->DeleteGlobalRef(*ref);
    *ref = NULL;
}

/* Undoes lookUpGlue, also one that stopped half-way. */
void releaseGlue(JNIEnv* env) {
    releaseGlobal(env, (jobject*)&directByteBufferClass);
    releaseGlobal(env, &utf8Charset);
    releaseGlobal(env, (jobject*)&oomClass);
    releaseGlobal(env, (jobject*)&npeClass);
    releaseGlobal(env, (jobject*)&ioExceptionClass);
    releaseGlobal(env, (jobject*)&String_clazz);
    bufferAddressField = byteBufferReadOnlyField = bufferCapacityField = NULL;
    ioExceptionWithCause = stringFromUtf8 = MID_String_init = MID_String_getBytes = NULL;
}

bool loadLogging(JNIEnv* env) {
    initializeLogging(env);
    return true;
}

bool loadContextTable(JNIEnv*) {
    mirrorbank_onLoad();
    return true;
}

void keepContextTable(JNIEnv*) {}

bool loadAdmin(JNIEnv* env) {
    rs_admin_onLoad();
    rs_admin_lookUpCallbacks(env);
    return true;
}

/* The load steps in order, each with the step that undoes it: a failed
 * load undoes the failed step and then the earlier ones in reverse, and
 * the unload undoes them all in reverse. */
struct load_step {
    bool (*load)(JNIEnv* env);
    void (*unload)(JNIEnv* env);
};

const load_step kLoadSteps[] = {
    {lookUpGlue, releaseGlue},
    {loadLogging, releaseLogging},
    {loadContextTable, keepContextTable},
    {loadAdmin, rs_admin_onUnload},
};
const size_t kLoadStepCount = sizeof kLoadSteps / sizeof kLoadSteps[0];

void unloadSteps(JNIEnv* env, size_t count) {
    while (count > 0) kLoadSteps[--count].unload(env);
}

} /* namespace */

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved) {
    (void)reserved;
    void* envPtr = NULL;
    if (vm == NULL || vm->GetEnv(&envPtr, JNI_VERSION_1_2) != JNI_OK || envPtr == NULL) return JNI_ERR;
    JNIEnv* env = (JNIEnv*)envPtr;
    cachedJavaVM = vm;
    for (size_t i = 0; i < kLoadStepCount; i++) {
        if (!kLoadSteps[i].load(env)) {
            unloadSteps(env, i + 1);
            cachedJavaVM = NULL;
            return JNI_ERR;
        }
    }
    granularity = (int64_t)sysconf(_SC_PAGESIZE);
    return JNI_VERSION_1_2;
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* vm, void* reserved) {
    (void)reserved;
    void* envPtr = NULL;
    if (vm == NULL || vm->GetEnv(&envPtr, JNI_VERSION_1_2) != JNI_OK || envPtr == NULL) return;
    unloadSteps((JNIEnv*)envPtr, kLoadStepCount);
    cachedJavaVM = NULL;
}

void TSSRepIOThrowException(JNIEnv* j_env, const char* name, const char* msg) {
    /* One exception at a time: the one already pending stays. */
    if (j_env == NULL || j_env->ExceptionCheck()) return;
    jclass cls = j_env->FindClass(name);
    if (cls == NULL) return;
    j_env->ThrowNew(cls, msg);
    j_env->DeleteLocalRef(cls);
}

void TSSRepIOThrowIO(JNIEnv* env, const char* msg) {
    if (env != NULL && !env->ExceptionCheck()) env->ThrowNew(ioExceptionClass, msg);
}

void TSSRepIOThrowNPE(JNIEnv* env, const char* msg) {
    if (env != NULL && !env->ExceptionCheck()) env->ThrowNew(npeClass, msg);
}

void TSSRepIOThrowOOM(JNIEnv* env, const char* msg) {
    if (env != NULL && !env->ExceptionCheck()) env->ThrowNew(oomClass, msg);
}

/* The pending exception becomes the cause of an IOException with `msg`. */
void TSSRepIOThrowIOWithCause(JNIEnv* env, const char* msg) {
    jthrowable cause = env->ExceptionOccurred();
    if (cause == NULL) return TSSRepIOThrowIO(env, msg);
    env->ExceptionClear();
    jstring text = env->NewStringUTF(msg);
    jobject wrapper = text == NULL ? NULL : env->NewObject(ioExceptionClass, ioExceptionWithCause, text, cause);
    if (wrapper != NULL) {
        env->Throw((jthrowable)wrapper);
        env->DeleteLocalRef(wrapper);
    } else if (!env->ExceptionCheck()) {
        env->Throw(cause);
    }
    if (text != NULL) env->DeleteLocalRef(text);
    env->DeleteLocalRef(cause);
}

char* getExactUtf8Chars(JNIEnv* env, jstring jstr, const char* what, size_t maxBytes) {
    if (jstr == NULL || env == NULL || env->ExceptionCheck()) return NULL;
    jsize units = env->GetStringLength(jstr);
    const jchar* chars = env->GetStringChars(jstr, NULL);
    if (chars == NULL) return NULL; /* OutOfMemoryError pending */
    /* First pass: the UTF-8 length, and the first character that cannot be
     * handed over exactly. */
    size_t bytes = 0;
    const char* problem = NULL;
    jsize at = 0;
    for (jsize i = 0; i < units && problem == NULL; i++) {
        jchar c = chars[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        if (c == 0 && what != NULL) problem = "contains U+0000";
        else if (c < 0x80) bytes += 1;
        else if (c < 0x800) bytes += 2;
        else if (high && i + 1 < units && chars[i + 1] >= 0xDC00 && chars[i + 1] <= 0xDFFF) bytes += 4, i++;
        else if (c >= 0xD800 && c <= 0xDFFF) problem = "contains an unpaired surrogate";
        else bytes += 3;
        if (problem != NULL) at = i;
    }
    char* result = NULL;
    if (problem == NULL && bytes <= maxBytes) result = (char*)malloc(bytes + 1);
    if (result != NULL) {
        char* out = result;
        for (jsize i = 0; i < units; i++) {
            uint32_t c = chars[i];
            if (c >= 0xD800 && c <= 0xDBFF) c = 0x10000 + ((c - 0xD800) << 10) + (chars[++i] - 0xDC00);
            if (c < 0x80) {
                *out++ = (char)c; /* U+0000 too, where allowed */
            } else if (c < 0x800) {
                *out++ = (char)(0xC0 | (c >> 6));
                *out++ = (char)(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                *out++ = (char)(0xE0 | (c >> 12));
                *out++ = (char)(0x80 | ((c >> 6) & 0x3F));
                *out++ = (char)(0x80 | (c & 0x3F));
            } else {
                *out++ = (char)(0xF0 | (c >> 18));
                *out++ = (char)(0x80 | ((c >> 12) & 0x3F));
                *out++ = (char)(0x80 | ((c >> 6) & 0x3F));
                *out++ = (char)(0x80 | (c & 0x3F));
            }
        }
        *out = '\0';
    }
    env->ReleaseStringChars(jstr, chars);
    if (result != NULL) return result;
    char message[256];
    if (problem != NULL)
        snprintf(message, sizeof message, "%s %s at index %d and cannot be used", what != NULL ? what : "string",
                 problem, (int)at);
    else if (bytes > maxBytes)
        snprintf(message, sizeof message, "%s is %zu bytes long in UTF-8, more than the %zu bytes allowed",
                 what != NULL ? what : "string", bytes, maxBytes);
    else
        snprintf(message, sizeof message, "Cannot allocate native char array.");
    if (problem == NULL && bytes <= maxBytes) TSSRepIOThrowOOM(env, message);
    else TSSRepIOThrowIO(env, message);
    return NULL;
}

char* getStringNativeChars(JNIEnv* env, jstring jstr) {
    return getExactUtf8Chars(env, jstr, NULL, (size_t)-1);
}

jstring newJavaStringFromNative(JNIEnv* env, const char* text, size_t maxBytes) {
    if (env == NULL || text == NULL || stringFromUtf8 == NULL) return NULL;
    if (env->ExceptionCheck()) return NULL;
    size_t len = strnlen(text, maxBytes);
    if (len > 0x7fffffffU) len = 0x7fffffffU;
    jbyteArray bytes = env->NewByteArray((jsize)len);
    if (bytes == NULL) return NULL;
    env->SetByteArrayRegion(bytes, 0, (jsize)len, (const jbyte*)text);
    jstring result = (jstring)env->NewObject(String_clazz, stringFromUtf8, bytes, utf8Charset);
    env->DeleteLocalRef(bytes);
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

int formatMessage(char* buffer, const char* who, bool emptyBodyOk, const char* file__, const int line__,
                  mirrorbank_ctx* ctx, mb_rqs* rqsPtr, const char* format, va_list args) {
    const int usable = MIRRORBANK_MSG_BUFFER - 1;
    int current = standardString(NULL, buffer, usable, file__, line__, ctx, rqsPtr);
    if (current <= 0) {
        fprintf(stderr, "%s:%u: %s could not init? attempt was %s:%u  %s\n", LOG_FILE, __LINE__, who, file__,
                (unsigned)line__, format);
        return -1;
    }
    int body = 0;
    if (current < usable) {
        body = vsnprintf(buffer + current, (size_t)(usable - current), format, args);
        if (body <= 0 && !emptyBodyOk) {
            fprintf(stderr, "%s:%u: %s could not vlist? attempt was %s:%u  %s\n", LOG_FILE, __LINE__, who, file__,
                    (unsigned)line__, format);
            return -1;
        }
        if (body < 0) body = 0;
        if (body == 0) buffer[current] = '\0';
    }
    buffer[MIRRORBANK_MSG_BUFFER - 2] = '\0';
    return current + body;
}

int logWithContext(JNIEnv* j_env, bool* nativeToJavaControlPtr, bool* logWarnedPtr, jmethodID* logMethodPtr,
                   const char* file__, const int line__, mirrorbank_ctx* ctx, mb_rqs* rqsPtr, const char* format,
                   ...) {
    DebugNativeSuspension suspension;
    if (!*nativeToJavaControlPtr) {
        *logWarnedPtr = true;
        return 0;
    }
    char buffer[MIRRORBANK_MSG_BUFFER];
    va_list args;
    va_start(args, format);
    int length = formatMessage(buffer, "logWithContext", false, file__, line__, ctx, rqsPtr, format, args);
    va_end(args);
    if (length < 0) return 0;
    if (j_env != NULL && *logMethodPtr != NULL && deliverLogLine(j_env, *logMethodPtr, buffer)) return length;
    return fprintf(stderr, "%s\n", buffer);
}

void contextIOExceptionV(JNIEnv* j_env, const char* file__, const int line__, mirrorbank_ctx* ctx,
                         mb_rqs* rqsPtr, const char* format, va_list args) {
    if (j_env == NULL) {
        if (nativeToJavaVerbose || nativeToJavaDebug)
            fprintf(stderr, "%s:%u attempt for IO Exception thrown from native code without JNI : %s", file__,
                    (unsigned)line__, format);
        return;
    }
    char buffer[MIRRORBANK_MSG_BUFFER];
    bool logged = nativeToJavaVerbose || nativeToJavaDebug;
    if (formatMessage(buffer, "contextIOException", !logged, file__, line__, ctx, rqsPtr, format, args) < 0) return;
    if (nativeToJavaVerbose)
        logWithContext(j_env, &nativeToJavaVerbose, &verboseWarned, &verboseLogMethod, LOG_FILE, __LINE__, NULL, NULL,
                       "%s", buffer);
    else if (nativeToJavaDebug)
        logWithContext(j_env, &nativeToJavaDebug, &debugWarned, &debugLogMethod, LOG_FILE, __LINE__, NULL, NULL,
                       "%s", buffer);
    TSSRepIOThrowIO(j_env, buffer);
}

void contextIOExceptionImpl(JNIEnv* j_env, const char* file__, const int line__, mirrorbank_ctx* ctx,
                            mb_rqs* rqsPtr, const char* format, ...) {
    va_list args;
    va_start(args, format);
    contextIOExceptionV(j_env, file__, line__, ctx, rqsPtr, format, args);
    va_end(args);
}

} /* extern "C" */
