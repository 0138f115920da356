/*
 * rs_admin.cpp - native side of tessera.store.io.file.ReplicatedStoreAdmin.
 *
 * One admin connection per process, kept in plain globals without a lock
 * (the Java side serialises admin calls). The listings hand every daemon or
 * region that the client library reports back to the Java admin object
 * through addDaemonInfo / addRegionInfo.
 *
 * In reading order: helpers; the trace sink and load hooks; the connection
 * commands (isAttached, attach, detach, attachToDaemon,
 * getAttachedDaemonIndex, shutdownDaemon); the listing callbacks; the
 * listings by command (listDaemons, listGlobalRegions, listLocalRegions,
 * listRegion, deleteRegion, listRecoveryRegionsAndDaemon).
 *
 * Exception discipline: once a Java exception is pending, the only JNI
 * calls made are the exception-safe ones. Where a log line or a second
 * failure report has to reach Java while an exception is pending, the
 * pending exception is taken aside first and put back afterwards, so the
 * Java caller always sees the first failure.
 */
#include "rs_admin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "fileio_debug.h"
#include "fileio_mirrorbank.h"

#define LOG_FILE "rs_admin"

#define ADD_REGION_INFO_SIG "(Ljava/lang/String;IIIJJJZZIILjava/lang/String;IIJ)V"
#define ADD_DAEMON_INFO_SIG "(ILjava/lang/String;ILjava/lang/String;SIJJJJIIIII)V"
#define TRACE_LEVEL_PROPERTY "tessera.store.replicated.nativelib.tracelevel"
/* Fixed waits of the admin connections. */
#define ADMIN_BUSYWAIT_MICROS 100
#define ADMIN_TIMEOUT_MILLIS 1000

extern "C" {
mb_client_ctx* ctx = NULL;
mb_init_args iniargs;
mb_callbacks ccb;
client_log_ctx log_ctx;
int debug = 0;
}


/* Log statements that may run while a listing callback's exception is
 * pending. */
#define ADMIN_VERBOSE(env, ...)                  \
    do {                                         \
        if (nativeToJavaVerbose) {               \
            PendingExceptionGuard stash_(env);            \
            LOG_VERBOSE((env), __VA_ARGS__);     \
        }                                        \
    } while (0)

/* The admin class and its listing callbacks, looked up once at load. A
 * subclass's override is reached through these IDs too. */
static jclass adminClass = NULL;
static jmethodID addRegionInfoMethod = NULL;
static jmethodID addDaemonInfoMethod = NULL;

static unsigned int low32(const void* p) {
    return (unsigned int)(uintptr_t)p;
}

/* The verbose byte that the listings on the admin connection pass. */
static ub1 adminVerboseByte(void) {
    return (ub1)(iniargs.trace_level & 0xff);
}

static void describeAndClear(JNIEnv* env) {
    if (debug) env->ExceptionDescribe();
    env->ExceptionClear();
}

/* After a failed start-up with no client tracing, tell how to get some. */
static void tracingHint(JNIEnv* env, const mb_init_args* args) {
    if (args->trace_level == 0 && nativeToJavaDebug) {
        PendingExceptionGuard stash(env);
        LOG_DEBUG(env, "Run with tracing on using system property %s value <1-3> to get more details.",
                  TRACE_LEVEL_PROPERTY);
    }
}

/* The steps of the admin surface, by command. Each failure text takes the
 * argument its command passes (a daemon index or a region name). */
#define ADMIN_FAILURE(command, text) "Java_tessera_store_io_file_ReplicatedStoreAdmin_" command " " text
static const mb_step kAttachInitStep = {
    {FAULT(admintool_mb_initErrorTest), FAULT(admintool_mb_admin_attach_daemonAfterInitErrorTest)}, {},
    FAULT(admintool_mb_initErrorTest), false, NULL, ADMIN_FAILURE("attach", "mb_init failed"), NULL};
static const mb_step kAttachDaemonIndexStep = {{}, {}, {}, false, NULL,
                                               ADMIN_FAILURE("attach", "Failed to get attached daemon"), NULL};
static const mb_step kAttachDaemonStep = {{}, {}, FAULT(admintool_mb_admin_attach_daemonAfterInitErrorTest), false,
                                          NULL, ADMIN_FAILURE("attach", "Failed to do admin attach to daemon %d"),
                                          "end: attach"};
static const mb_step kDetachStep = {{FAULT(admintool_mb_finiErrorTest)}, {}, FAULT(admintool_mb_finiErrorTest), false,
                                    NULL, ADMIN_FAILURE("detach", "Failed to detach from daemon %d"), "end: detach"};
static const mb_step kAttachToDaemonStep = {
    {FAULT(admintool_mb_admin_attach_daemonErrorTest)}, {}, FAULT(admintool_mb_admin_attach_daemonErrorTest), false,
    NULL, ADMIN_FAILURE("attachToDaemon", "Failed to attach to daemon %d"), "end: attachToDaemon"};
static const mb_step kAttachedDaemonStep = {
    {FAULT(admintool_mb_admin_get_attached_daemonErrorTest)}, {},
    FAULT(admintool_mb_admin_get_attached_daemonErrorTest), false, NULL,
    ADMIN_FAILURE("getAttachedDaemonIndex", "Failed to get attached daemon"), NULL};
static const mb_step kShutdownStep = {
    {FAULT(admintool_mb_admin_shutdown_daemonErrorTest)}, {}, FAULT(admintool_mb_admin_shutdown_daemonErrorTest),
    false, NULL, ADMIN_FAILURE("shutdownDaemon", "Failed to shutdown daemon %d"), "end: shutdownDaemon"};
static const mb_step kListDaemonsStep = {
    {FAULT(admintool_mb_admin_enumerate_daemonsErrorTest)}, {}, FAULT(admintool_mb_admin_enumerate_daemonsErrorTest),
    false, NULL, ADMIN_FAILURE("listDaemons", "Failed to enumerate daemons"), "end: listDaemons"};
static const mb_step kListGlobalRegionsStep = {
    {FAULT(admintool_mb_admin_enumerate_global_storesErrorTest)}, {},
    FAULT(admintool_mb_admin_enumerate_global_storesErrorTest), false, NULL,
    ADMIN_FAILURE("listGlobalRegions", "Failed to enumerate global stores"), "end: listGlobalRegions"};
static const mb_step kListLocalRegionsStep = {
    {FAULT(admintool_mb_admin_enumerate_storesErrorTest)}, {}, FAULT(admintool_mb_admin_enumerate_storesErrorTest),
    false, NULL, ADMIN_FAILURE("listLocalRegions", "Failed to enumerate local stores"), "end: listLocalRegions"};
static const mb_step kListRegionStep = {
    {FAULT(admintool_mb_admin_get_storeinfoErrorTest)}, {}, FAULT(admintool_mb_admin_get_storeinfoErrorTest), false,
    NULL, ADMIN_FAILURE("listRegion", "Failed to get storeinfo for %s"), "end: listRegion"};
static const mb_step kDeleteRegionStep = {
    {FAULT(admintool_mb_admin_delete_storeErrorTest), FAULT(crash_primary_daemon_during_deleteTest),
     FAULT(crash_storejvm_during_deleteTest), FAULT(crash_secondary_daemon_during_deleteTest)},
    {FAULT(crash_primary_daemon_during_deleteTest), FAULT(crash_storejvm_during_deleteTest),
     FAULT(crash_secondary_daemon_during_deleteTest)},
    FAULT(admintool_mb_admin_delete_storeErrorTest), false, NULL,
    ADMIN_FAILURE("deleteRegion", "Failed to delete store %s"), "end: deleteRegion"};
static const mb_step kRecoveryInitStep = {{}, {}, {}, false, NULL,
                                          ADMIN_FAILURE("listRecoveryRegionsAndDaemon", "mb_init failed"), NULL};
static const mb_step kRecoveryRegionsStep = {
    {}, {}, {}, false, NULL, ADMIN_FAILURE("listRecoveryRegionsAndDaemon", "Failed to enumerate global stores"), NULL};
static const mb_step kRecoveryDaemonStep = {
    {FAULT(used_memory_mb_get_local_daemon_infoErrorTest)}, {}, FAULT(used_memory_mb_get_local_daemon_infoErrorTest),
    false, NULL, "listRecoveryRegionsAndDaemon mb_get_local_daemon_info failed", NULL};
static const mb_step kRecoveryFiniStep = {{}, {}, {}, false, NULL, "listRecoveryRegionsAndDaemon mb_fini failed", NULL};

/* A performance of an admin step on `client` (region handle 0). */
static step_call adminCall(int line, mb_rqs* rqs, mb_client_ctx* client, char* storeName = NULL,
                           bool refreshed = false, bool reportLater = false) {
    return {LOG_FILE, line, NULL, rqs, client, NULL, storeName, refreshed, reportLater};
}

/* The exact UTF-8 of a name argument; on failure an exception is pending
 * (the refusal naming `what`, or an IOException with nullText for a null
 * reference) and null is returned. */
static char* convertName(JNIEnv* env, jstring text, const char* what, const char* nullText) {
    char* chars = getExactUtf8Chars(env, text, what, MIRRORBANK_NAME_MAX);
    if (chars == NULL && !env->ExceptionCheck()) TSSRepIOThrowIO(env, nullText);
    return chars;
}

/* The start of a command on one region: its flags re-read, then its name
 * converted and kept as the step's region name (null with the exception
 * raised). */
static char* beginRegionStep(JNIEnv* env, const mb_step& step, step_call* call, jstring name, const char* what,
                             const char* nullText) {
    refreshStep(env, step, *call);
    call->storeName = convertName(env, name, what, nullText);
    return call->storeName;
}

/* Init arguments as attach builds them; the trace sink and the client
 * trace level only when a log channel is on. */
static void buildInitArgs(JNIEnv* env, mb_init_args* args, mb_callbacks* callbacks, client_log_ctx* logCtx,
                          const char* cfgfile, jint localindex) {
    memset(args, 0, sizeof *args);
    args->busywait = ADMIN_BUSYWAIT_MICROS;
    args->timeout = ADMIN_TIMEOUT_MILLIS;
    args->localindex = (ub4)localindex;
    snprintf(args->cfg_filename, sizeof args->cfg_filename, "%s", cfgfile); /* at most 255 bytes: checked */
    logCtx->fp = stdout;
    if (nativeToJavaDebug || nativeToJavaVerbose) {
        memset(callbacks, 0, sizeof *callbacks);
        callbacks->trace = trace_logger;
        callbacks->tracecbctx = logCtx;
        args->trace_level = validatemblibTraceLevel(env, mblibTraceLevel);
        args->ccb = callbacks;
    }
}

extern "C" {

size_t trace_logger(void* logCtx, const char* format, ...) {
    client_log_ctx* lc = (client_log_ctx*)logCtx;
    if (lc == NULL || lc->fp == NULL) return 0;
    va_list args;
    va_start(args, format);
    int n = vfprintf(lc->fp, format, args);
    va_end(args);
    return (size_t)n;
}

void rs_admin_onLoad(void) {}

void rs_admin_lookUpCallbacks(JNIEnv* env) {
    jclass cls = env->FindClass("tessera/store/io/file/ReplicatedStoreAdmin");
    if (cls == NULL) {
        env->ExceptionClear();
        return;
    }
    adminClass = (jclass)env->NewGlobalRef(cls);
    env->DeleteLocalRef(cls);
    if (adminClass == NULL) return;
    addRegionInfoMethod = env->GetMethodID(adminClass, "addRegionInfo", ADD_REGION_INFO_SIG);
    if (addRegionInfoMethod == NULL) env->ExceptionClear();
    addDaemonInfoMethod = env->GetMethodID(adminClass, "addDaemonInfo", ADD_DAEMON_INFO_SIG);
    if (addDaemonInfoMethod == NULL) env->ExceptionClear();
}

void rs_admin_onUnload(JNIEnv* env) {
    if (adminClass != NULL) env->DeleteGlobalRef(adminClass);
    adminClass = NULL;
    addRegionInfoMethod = NULL;
    addDaemonInfoMethod = NULL;
}

/* ------------------------------------------------------------------ */
/* Admin connection                                                    */
/* ------------------------------------------------------------------ */

JNIEXPORT jboolean JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_isAttached(JNIEnv* j_env, jobject) {
    LOG_VERBOSE(j_env, "begin/end: isAttached");
    return ctx != NULL ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_attach(JNIEnv* j_env, jobject, jstring j_cfgfile,
                                                                              jint j_localindex) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    LOG_VERBOSE(j_env, "begin: attach");
    step_call init = adminCall(__LINE__, &rqs, NULL, NULL, true, true);
    refreshStep(j_env, kAttachInitStep, init);

    NativeChars cfgfile(convertName(j_env, j_cfgfile, "attach configuration file name",
                                    "Java_tessera_store_io_file_ReplicatedStoreAdmin_attach j_cfgfile null"));
    if (cfgfile.p == NULL) return -1;
    LOG_DEBUG(j_env, "attach arguments j_cfgfile =>%s cfgfile =>%s, j_localindex =>%d", cfgfile.p, cfgfile.p,
              (int)j_localindex);

    /* The library may use iniargs and ccb for as long as a connection
     * lives: finish an earlier one before rebuilding them. */
    if (ctx != NULL) {
        mb_rqs finiRqs = {MB_SUCC, MB_ERR_NONE};
        mb_fini(&finiRqs, ctx);
        ctx = NULL;
        if (finiRqs.status != MB_SUCC)
            LOG_DEBUG(j_env, "attach could not finish the earlier admin connection (status=%d error=%d)",
                      (int)finiRqs.status, (int)finiRqs.error);
    }

    buildInitArgs(j_env, &iniargs, &ccb, &log_ctx, cfgfile.p, j_localindex);

    runStep(j_env, [&] { ctx = mb_init(&rqs, &iniargs); }, kAttachInitStep, &init);
    if (stepFaultOn(kAttachInitStep) && ctx != NULL) {
        /* The connection counts as failed: do not leave it running. */
        mb_rqs dropRqs = {MB_SUCC, MB_ERR_NONE};
        mb_fini(&dropRqs, ctx);
        ctx = NULL;
    }
    int32_t dindex = -1;
    step_call attach = adminCall(__LINE__, &rqs, ctx);
    if (ctx == NULL) {
        reportStep(j_env, kAttachInitStep, &init);
    } else if (runStep(j_env, [&] { dindex = mb_admin_get_attached_daemon(&rqs, ctx); }, kAttachDaemonIndexStep,
                       &attach) &&
               runStep(j_env, [&] { mb_admin_attach_daemon(&rqs, ctx, dindex); }, kAttachDaemonStep, &attach,
                       (int)dindex)) {
        return (jint)rqs.status;
    }
    tracingHint(j_env, &iniargs);
    return -1;
}

JNIEXPORT void JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_detach(JNIEnv* j_env, jobject) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    LOG_VERBOSE(j_env, "begin: detach");
    step_call fini = adminCall(__LINE__, &rqs, ctx, NULL, true);
    refreshStep(j_env, kDetachStep, fini);

    int32_t dindex = mb_admin_get_attached_daemon(&rqs, ctx);
    runStep(j_env, [&] {
        mb_fini(&rqs, ctx);
        /* A connection that mb_fini finished is never handed out again,
         * even when its outcome is turned into a failure. */
        if (rqs.status == MB_SUCC) {
            ctx = NULL;
            log_ctx.fp = NULL;
        }
    }, kDetachStep, &fini, (int)dindex);
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_attachToDaemon(JNIEnv* j_env, jobject,
                                                                                      jint j_dindex) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    LOG_VERBOSE(j_env, "begin: attachToDaemon");
    step_call attach = adminCall(__LINE__, &rqs, ctx);
    bool ok = runStep(j_env, [&] {
        LOG_DEBUG(j_env, "attachToDaemon with j_dindex=%d", (int)j_dindex);
        mb_admin_attach_daemon(&rqs, ctx, (int32_t)j_dindex);
    }, kAttachToDaemonStep, &attach, (int)j_dindex);
    return ok ? (jint)rqs.status : -1;
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_getAttachedDaemonIndex(JNIEnv* j_env,
                                                                                              jobject) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    LOG_VERBOSE(j_env, "begin/end: getAttachedDaemonIndex");
    int32_t dindex = -1;
    step_call query = adminCall(__LINE__, &rqs, ctx);
    if (!runStep(j_env, [&] { dindex = mb_admin_get_attached_daemon(&rqs, ctx); }, kAttachedDaemonStep, &query))
        return -1;
    return (jint)dindex;
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_shutdownDaemon(JNIEnv* j_env, jobject,
                                                                                      jint /* j_dindex */,
                                                                                      jboolean j_force,
                                                                                      jboolean j_safe) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    LOG_VERBOSE(j_env, "begin: shutdownDaemon");
    step_call shutdown = adminCall(__LINE__, &rqs, ctx, NULL, true);
    refreshStep(j_env, kShutdownStep, shutdown);

    ub4 flags = 0;
    if (j_force) flags += MB_SHUTDOWN_FORCE;
    if (j_safe) flags += MB_SHUTDOWN_SAFE;
    LOG_DEBUG(j_env, "shutdownDaemon j_force=%d, j_safe=%d", j_force ? 1 : 0, j_safe ? 1 : 0);
    LOG_DEBUG(j_env, "shutdownDaemon flags=0x%x", (unsigned)flags);

    int32_t dindex = mb_admin_get_attached_daemon(&rqs, ctx);
    bool ok = runStep(j_env, [&] { mb_admin_shutdown_daemon(&rqs, ctx, flags); }, kShutdownStep, &shutdown,
                      (int)dindex);
    return ok ? (jint)rqs.status : -1;
}

/* ------------------------------------------------------------------ */
/* Listing callbacks                                                   */
/* ------------------------------------------------------------------ */

int setupCookieForMethodCallbacks(callbackContext* callbackPointers, JNIEnv* j_env, jobject j_obj) {
    callbackPointers->j_env_callback = j_env;
    callbackPointers->j_obj_ReplicatedStoreAdmin = j_obj;
    callbackPointers->addRegionInfo_method = addRegionInfoMethod;
    callbackPointers->addDaemonInfo_method = addDaemonInfoMethod;
    callbackPointers->prefix = NULL;
    if (addRegionInfoMethod == NULL) {
        LOG_DEBUG(j_env, "Error calling  getMethodID addRegionInfo");
        TSSRepIOThrowIO(j_env, "Error calling getMethodID addRegionInfo.");
        return -1;
    }
    LOG_DEBUG(j_env, "callbackPointers->addRegionInfo_method=0x%x", low32(addRegionInfoMethod));
    if (addDaemonInfoMethod == NULL) {
        LOG_DEBUG(j_env, "Error calling getMethodID for addDaemonInfo");
        TSSRepIOThrowIO(j_env, "Error calling getMethodID for addDaemonInfo.");
        return -1;
    }
    LOG_VERBOSE(j_env, "callbackPointers->addDaemonInfo_method=0x%x", low32(addDaemonInfoMethod));
    return 1;
}

static const char* const BANNER = "=== === === === === === === === === ===\n";

/* The opening lines of both dumps: the cookie's pointers and the heading. */
static void dumpHeading(const callbackContext* cb, const char* methodLine, jmethodID method, const char* heading) {
    printf("j_env=0x%x\n", low32(cb->j_env_callback));
    printf("entryPoint->j_obj_ReplicatedStoreAdmin=0x%x\n", low32(cb->j_obj_ReplicatedStoreAdmin));
    printf(methodLine, low32(method));
    fputs(BANNER, stdout);
    fputs(heading, stdout);
    fputs(BANNER, stdout);
}

static void dumpStoreInfo(const callbackContext* cb, const mb_client_storeinfo* info) {
    printf("Inside callback_storeinfo(entryPoint=0x%x)\n", low32(cb));
    dumpHeading(cb, "entryPoint->addRegionInfo_method=0x%x\n", cb->addRegionInfo_method,
                "Store Information on the Native Side   \n");
    printf("Store: %.*s\nStoresize: %llu\nBlocksize: %u\nUsed: %llu\n", (int)sizeof info->name, info->name,
           (unsigned long long)info->size, (unsigned)info->blocksize, (unsigned long long)info->used);
    printf("Created At: %llu\nModified At: %llu\nAccessed At: %llu\n", (unsigned long long)info->ctime,
           (unsigned long long)info->mtime, (unsigned long long)info->atime);
    printf("Primary Daemon: %d\nOpen: %d\nLocal: %d\nOpened Process ID: %u\nOpened IP: 0x%x\n", (int)info->primary,
           (int)info->open, (int)info->local, (unsigned)info->pid, (unsigned)info->ip);
    printf("Minimum Redundancy: %d\nRedundancy: %d\nNodes: 0x%llx\n\n", (int)info->minredundancy,
           (int)info->redundancy, (unsigned long long)info->nodes);
}

static void dumpDaemonInfo(const callbackContext* cb, const mb_daemon_info* info) {
    const char* status =
        info->status == MB_DAEMON_UP ? "UP" : (info->status == MB_DAEMON_DOWN ? "DOWN" : "unknown");
    printf("Inside callback_daemoninfo()\n");
    dumpHeading(cb, "entryPoint->addDaemonInfo_method=0x%x\n", cb->addDaemonInfo_method,
                "Daemon Information on the Native Side  \n");
    printf("Index: %d\nStatus: %s\nReachable over IB: %s\n", (int)info->dindex, status,
           info->reachable ? "TRUE" : "FALSE");
    printf("IP: 0x%x\nPort: %d\nShared Memory Key: 0x%x\n", (unsigned)ntohl(info->ip), (int)ntohs(info->port),
           (unsigned)info->shmkey);
    printf("Startup Time: %llu\nCurrent Time: %llu\nTotal Configured Memory: %llu\nCurrent Memory Usage: %llu\n",
           (unsigned long long)info->start_time, (unsigned long long)info->current_time,
           (unsigned long long)info->total_memory, (unsigned long long)info->used_memory);
    printf("Number of Stores Managed: %d\nNumber of Stores Currently Opened: %d\n", (int)info->number_stores,
           (int)info->number_opens);
    printf("Number of Stores Opened by Local Client: %d\nNumber of Resilvers in Progress: %d\n",
           (int)info->number_local_opens, (int)info->number_resilvers);
    printf("Total Number Of Daemons in the Cluster: %d\n\n", (int)info->number_daemons);
}

/* Dotted-decimal form of an address held in network byte order. */
static void dottedAddress(ub4 ip, char out[INET_ADDRSTRLEN]) {
    struct in_addr addr;
    addr.s_addr = ip;
    if (inet_ntop(AF_INET, &addr, out, INET_ADDRSTRLEN) == NULL) out[0] = '\0';
}

/* A failed Java callback becomes an IOException with the same text. */
static void callbackFailed(JNIEnv* env, const char* text) {
    jthrowable thrown = env->ExceptionOccurred();
    describeAndClear(env);
    LOG_DEBUG(env, "%s", text);
    env->Throw(thrown);
    env->DeleteLocalRef(thrown);
    TSSRepIOThrowIOWithCause(env, text);
}

void callback_storeinfo(void* cookie, mb_client_storeinfo* info) {
    callbackContext* cb = (callbackContext*)cookie;
    if (cb == NULL || info == NULL || cb->j_env_callback == NULL) return;
    JNIEnv* env = cb->j_env_callback;

    bool skipFilteredName = false;
    if (cb->prefix != NULL) {
        /* A prefix longer than the name field never matches; the name is
         * read within its field even when it carries no NUL. */
        size_t prefixLength = strlen(cb->prefix);
        skipFilteredName =
            prefixLength > sizeof info->name || strncasecmp(info->name, cb->prefix, prefixLength) != 0;
    }
    if (debug) dumpStoreInfo(cb, info);
    if (skipFilteredName) {
        if (debug) printf("callback_storeinfo(skipFilteredName %d) java method NOT called. prefix %s\n", 1, cb->prefix);
        return;
    }
    /* An earlier record of this listing failed: its exception stands and
     * the rest of the listing reaches Java no more. */
    if (env->ExceptionCheck()) return;

    jstring j_name = newJavaStringFromNative(env, info->name, sizeof info->name);
    if (j_name == NULL) return;
    char ipText[INET_ADDRSTRLEN];
    dottedAddress(info->ip, ipText);
    jstring j_ip = env->NewStringUTF(ipText);
    if (j_ip == NULL) {
        env->DeleteLocalRef(j_name);
        return;
    }
    env->CallVoidMethod(cb->j_obj_ReplicatedStoreAdmin, cb->addRegionInfo_method, j_name,
                        (jint)(uint32_t)info->size, (jint)(uint32_t)info->used, (jint)info->blocksize,
                        (jlong)info->ctime, (jlong)info->mtime, (jlong)info->atime,
                        (jboolean)(info->open ? JNI_TRUE : JNI_FALSE),
                        (jboolean)(info->local ? JNI_TRUE : JNI_FALSE), (jint)info->primary, (jint)info->pid, j_ip,
                        (jint)info->minredundancy, (jint)info->redundancy, (jlong)info->nodes);
    env->DeleteLocalRef(j_ip);
    env->DeleteLocalRef(j_name);
    if (env->ExceptionCheck()) callbackFailed(env, "callback_storeinfo: Error calling  CallVoidMethod/addRegionInfo");
}

void callback_daemoninfo(void* cookie, mb_daemon_info* info) {
    callbackContext* cb = (callbackContext*)cookie;
    if (cb == NULL || info == NULL || cb->j_env_callback == NULL) return;
    JNIEnv* env = cb->j_env_callback;

    if (debug) dumpDaemonInfo(cb, info);
    if (env->ExceptionCheck()) return;

    jstring j_ip = NULL;
    if (info->ip != 0) {
        char ipText[INET_ADDRSTRLEN];
        dottedAddress(info->ip, ipText);
        j_ip = env->NewStringUTF(ipText);
        if (j_ip == NULL) return;
    }
    jstring j_status = NULL;
    if (info->status == MB_DAEMON_UP || info->status == MB_DAEMON_DOWN) {
        j_status = env->NewStringUTF(info->status == MB_DAEMON_UP ? "UP" : "DOWN");
        if (j_status == NULL) {
            if (j_ip != NULL) env->DeleteLocalRef(j_ip);
            return;
        }
    }
    env->CallVoidMethod(cb->j_obj_ReplicatedStoreAdmin, cb->addDaemonInfo_method, (jint)info->dindex, j_status,
                        (jint)info->reachable, j_ip, (jshort)ntohs(info->port), (jint)info->shmkey,
                        (jlong)info->start_time, (jlong)info->current_time, (jlong)info->total_memory,
                        (jlong)info->used_memory, (jint)info->number_stores, (jint)info->number_opens,
                        (jint)info->number_local_opens, (jint)info->number_resilvers, (jint)info->number_daemons);
    if (j_status != NULL) env->DeleteLocalRef(j_status);
    if (j_ip != NULL) env->DeleteLocalRef(j_ip);
    if (env->ExceptionCheck()) callbackFailed(env, "callback_daemoninfo: Error calling  CallVoidMethod/addDaemonInfo");
}

/* ------------------------------------------------------------------ */
/* Listings and deletion on the admin connection                       */
/* ------------------------------------------------------------------ */

}  // extern "C"

namespace {

/* The enumerating listings on the admin connection: the daemon listing,
 * or a region listing through `enumerateStores`. */
jint enumerateListing(JNIEnv* j_env, jobject j_obj, const char* begin, const mb_step& step,
                      void (*enumerateStores)(mb_rqs*, mb_client_ctx*, void*, mb_storeinfo_cb, ub1)) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    callbackContext cookie;
    LOG_VERBOSE(j_env, "%s", begin);
    if (setupCookieForMethodCallbacks(&cookie, j_env, j_obj) != 1) return -1;
    step_call listing = adminCall(__LINE__, &rqs, ctx);
    bool ok = runStep(j_env, [&] {
        if (enumerateStores != NULL) enumerateStores(&rqs, ctx, &cookie, callback_storeinfo, adminVerboseByte());
        else mb_admin_enumerate_daemons(&rqs, ctx, &cookie, callback_daemoninfo, adminVerboseByte());
    }, step, &listing);
    return ok ? (jint)rqs.status : -1;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_listDaemons(JNIEnv* j_env, jobject j_obj) {
    return enumerateListing(j_env, j_obj, "begin: listDaemons", kListDaemonsStep, NULL);
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_listGlobalRegions(JNIEnv* j_env, jobject j_obj) {
    return enumerateListing(j_env, j_obj, "begin: listGlobalRegions", kListGlobalRegionsStep,
                            mb_admin_enumerate_global_stores);
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_listLocalRegions(JNIEnv* j_env, jobject j_obj) {
    return enumerateListing(j_env, j_obj, "begin: listLocalRegions", kListLocalRegionsStep,
                            mb_admin_enumerate_stores);
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_listRegion(JNIEnv* j_env, jobject j_obj,
                                                                                  jstring j_storename) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    callbackContext cookie;
    LOG_VERBOSE(j_env, "begin: listRegion");
    if (setupCookieForMethodCallbacks(&cookie, j_env, j_obj) != 1) return -1;
    step_call query = adminCall(__LINE__, &rqs, ctx, NULL, true);
    NativeChars converted(beginRegionStep(j_env, kListRegionStep, &query, j_storename, "listRegion region name",
                                          "Java_tessera_store_io_file_ReplicatedStoreAdmin_listRegion j_storename null"));
    if (converted.p == NULL) return -1;
    char* storename = converted.p;
    LOG_DEBUG(j_env, "storename (TS region name) ->%s", storename);

    bool ok = runStep(j_env, [&] {
        mb_admin_get_storeinfo(&rqs, ctx, storename, &cookie, callback_storeinfo, adminVerboseByte());
    }, kListRegionStep, &query, storename);
    return ok ? (jint)rqs.status : -1;
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_deleteRegion(JNIEnv* j_env, jobject,
                                                                                    jstring j_storename,
                                                                                    jboolean j_force) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    LOG_VERBOSE(j_env, "begin: deleteRegion");
    step_call deletion = adminCall(__LINE__, &rqs, ctx, NULL, true);
    NativeChars converted(beginRegionStep(j_env, kDeleteRegionStep, &deletion, j_storename, "deleteRegion region name",
                                          "Java_tessera_store_io_file_ReplicatedStoreAdmin_deleteRegion j_storename null"));
    if (converted.p == NULL) return -1;
    char* storename = converted.p;
    LOG_DEBUG(j_env, "attach arguments j_force =>%s", j_force ? "true" : "false");

    bool ok = runStep(j_env, [&] { mb_admin_delete_store(&rqs, ctx, storename, (ub1)(j_force ? 1 : 0)); },
                      kDeleteRegionStep, &deletion, storename);
    return ok ? (jint)rqs.status : -1;
}

/* ------------------------------------------------------------------ */
/* Recovery listing on a connection of its own                         */
/* ------------------------------------------------------------------ */

int connected_listRecoveryRegionsAndDaemon(JNIEnv* j_env, mb_client_ctx* client, callbackContext* cookie,
                                           const mb_init_args* args, mb_rqs* rqsPtr) {
    LOG_VERBOSE(j_env, "begin: connected_listRecoveryRegionsAndDaemon");

    step_call query = adminCall(__LINE__, rqsPtr, client);
    if (!runStep(j_env, [&] {
            mb_enumerate_global_stores(rqsPtr, client, cookie, callback_storeinfo, (ub1)(args->trace_level & 0xff));
        }, kRecoveryRegionsStep, &query))
        return -1;
    mb_ldinfo ldinfo;
    memset(&ldinfo, 0, sizeof ldinfo);
    if (!runStep(j_env, [&] { mb_get_local_daemon_info(rqsPtr, client, &ldinfo); }, kRecoveryDaemonStep, &query))
        return -1;

    mb_daemon_info local;
    memset(&local, 0, sizeof local);
    local.dindex = ldinfo.dindex;
    local.total_memory = ldinfo.total_memory;
    local.used_memory = ldinfo.used_memory;
    callback_daemoninfo(cookie, &local);

    ADMIN_VERBOSE(j_env, "end: connected_listRecoveryRegionsAndDaemon");
    return 1;
}

JNIEXPORT jint JNICALL Java_tessera_store_io_file_ReplicatedStoreAdmin_listRecoveryRegionsAndDaemon(
    JNIEnv* j_env, jobject j_obj, jint j_localindex, jstring j_cfgfile, jstring j_prefix) {
    mb_rqs rqs = {MB_SUCC, MB_ERR_NONE};
    callbackContext cookie;
    LOG_VERBOSE(j_env, "begin: listRecoveryRegionsAndDaemon");
    if (setupCookieForMethodCallbacks(&cookie, j_env, j_obj) != 1) return -1;

    NativeChars cfgfile(getExactUtf8Chars(j_env, j_cfgfile, "listRecoveryRegionsAndDaemon configuration file name",
                                          MIRRORBANK_NAME_MAX));
    if (cfgfile.p == NULL || cfgfile.p[0] == '\0') {
        /* A conversion that failed keeps its own exception. */
        if (!j_env->ExceptionCheck())
            TSSRepIOThrowIO(j_env, "Java_tessera_store_io_file_ReplicatedStoreAdmin_listRecoveryRegionsAndDaemon j_cfgfile null");
        return -1;
    }
    NativeChars prefix(NULL);
    if (j_prefix != NULL) {
        prefix.p = convertName(j_env, j_prefix, "listRecoveryRegionsAndDaemon prefix",
                               "Java_tessera_store_io_file_ReplicatedStoreAdmin_listRecoveryRegionsAndDaemon j_prefix null");
        if (prefix.p == NULL) return -1;
        cookie.prefix = prefix.p;
    }
    LOG_DEBUG(j_env, "listRecoveryRegionsAndDaemon arguments cfgfile =>%s, j_localindex =>%d prefix =>%s",
              cfgfile.p, (int)j_localindex, prefix.p != NULL ? prefix.p : "nUll");

    /* Arguments of this call's own connection; the admin connection's
     * state is neither read nor changed. */
    mb_init_args args;
    mb_callbacks callbacks;
    client_log_ctx logCtx;
    memset(&callbacks, 0, sizeof callbacks);
    buildInitArgs(j_env, &args, &callbacks, &logCtx, cfgfile.p, j_localindex);

    mb_client_ctx* client = NULL;
    step_call init = adminCall(__LINE__, &rqs, NULL, NULL, false, true);
    runStep(j_env, [&] { client = mb_init(&rqs, &args); }, kRecoveryInitStep, &init);
    if (client == NULL) {
        reportStep(j_env, kRecoveryInitStep, &init);
        tracingHint(j_env, &args);
        return -1;
    }

    int listed = connected_listRecoveryRegionsAndDaemon(j_env, client, &cookie, &args, &rqs);

    /* Finished on every path; if the listing already raised, its exception
     * is what Java sees and a failure here only reaches the log. */
    step_call fini = adminCall(__LINE__, &rqs, client);
    if (!runStep(j_env, [&] { mb_fini(&rqs, client); }, kRecoveryFiniStep, &fini)) return -1;
    ADMIN_VERBOSE(j_env, "end: listRecoveryRegionsAndDaemon");
    return listed < 0 ? -1 : 1;
}

}  // extern "C"
