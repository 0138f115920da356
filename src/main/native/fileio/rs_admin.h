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

/* Everything below stays visible to the dynamic linker whatever the
 * default visibility of the build. */
#define RS_ADMIN_EXPORT __attribute__((visibility("default")))

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
RS_ADMIN_EXPORT extern mb_client_ctx* ctx;      /* the admin connection; null when not attached */
RS_ADMIN_EXPORT extern mb_init_args iniargs;    /* init arguments of the most recent attach */
RS_ADMIN_EXPORT extern mb_callbacks ccb;        /* callbacks record of the admin connection */
RS_ADMIN_EXPORT extern client_log_ctx log_ctx;  /* stream of the admin trace sink */
RS_ADMIN_EXPORT extern int debug;               /* console dumps and exception descriptions when non-zero */

/* Trace sink of the admin connection: plain formatted output to the
 * client_log_ctx stream, no JNI call. */
RS_ADMIN_EXPORT size_t trace_logger(void* logCtx, const char* format, ...) __attribute__((format(printf, 2, 3)));
RS_ADMIN_EXPORT void rs_admin_onLoad(void);
/* Looks up the listing callbacks once, at load; a missing method leaves
 * its ID null and every listing then fails with its lookup message. */
RS_ADMIN_EXPORT void rs_admin_lookUpCallbacks(JNIEnv* env);
RS_ADMIN_EXPORT void rs_admin_onUnload(JNIEnv* env);

RS_ADMIN_EXPORT int setupCookieForMethodCallbacks(callbackContext* callbackPointers, JNIEnv* j_env, jobject j_obj);
RS_ADMIN_EXPORT void callback_storeinfo(void* cookie, mb_client_storeinfo* info);
RS_ADMIN_EXPORT void callback_daemoninfo(void* cookie, mb_daemon_info* info);
RS_ADMIN_EXPORT int connected_listRecoveryRegionsAndDaemon(JNIEnv* j_env, mb_client_ctx* client, callbackContext* cookie,
                                           const mb_init_args* args, mb_rqs* rqsPtr);

#ifdef __cplusplus
}
#endif

#endif /* RS_ADMIN_H */
