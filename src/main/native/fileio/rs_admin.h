/*
 * rs_admin.h - the administration surface of the replicated store
 * (native side of tessera.store.io.file.ReplicatedStoreAdmin): the one
 * admin connection of the process, and the listings that push daemons and
 * regions back into the Java admin object.
 */
#ifndef RS_ADMIN_H
#define RS_ADMIN_H

#include <jni.h>
#include <stddef.h>
#include <stdio.h>

#include "linux_x86_64/mirrorbank_api.h"
/* Prototypes of the Java natives, made by javac -h at build time. */
#include "tessera_store_io_file_ReplicatedStoreAdmin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Stream that the admin trace sink writes the client library's trace to. */
typedef struct client_log_ctx {
    FILE* fp;
} client_log_ctx;

/* Cookie of one listing: lives in the native method's frame. */
typedef struct callbackContext {
    JNIEnv* j_env_callback;
    jobject j_obj_ReplicatedStoreAdmin;
    jmethodID addRegionInfo_method;
    jmethodID addDaemonInfo_method;
    char* prefix; /* region-name prefix filter, null for none */
} callbackContext;

/* ---- Process-wide admin state (zero at load, no lock) ---- */
extern mb_client_ctx* ctx;      /* the admin connection; null when not attached */
extern mb_init_args iniargs;    /* init arguments of the most recent attach */
extern mb_callbacks ccb;        /* callbacks record of the admin connection */
extern client_log_ctx log_ctx;  /* stream of the admin trace sink */
extern int debug; /* console dumps and exception descriptions when non-zero; nothing here sets it (a debugger may, by symbol) */

/* Trace sink of the admin connection: plain formatted output to the
 * client_log_ctx stream, no JNI call. */
size_t trace_logger(void* logCtx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void rs_admin_onLoad(void);
/* Looks up the listing callbacks once, at load; a missing method leaves
 * its ID null and every listing then fails with its lookup message. */
void rs_admin_lookUpCallbacks(JNIEnv* env);
void rs_admin_onUnload(JNIEnv* env);

int setupCookieForMethodCallbacks(callbackContext* callbackPointers, JNIEnv* j_env, jobject j_obj);
void callback_storeinfo(void* cookie, mb_client_storeinfo* info);
void callback_daemoninfo(void* cookie, mb_daemon_info* info);
int connected_listRecoveryRegionsAndDaemon(JNIEnv* j_env, mb_client_ctx* client, callbackContext* cookie,
                                           const mb_init_args* args, mb_rqs* rqsPtr);

#ifdef __cplusplus
}
#endif

#endif /* RS_ADMIN_H */
