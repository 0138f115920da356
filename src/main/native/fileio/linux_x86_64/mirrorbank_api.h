/*
 * mirrorbank_api.h - records, codes and operations of the store client
 * library libmirrorbank1.so.
 *
 * Any client library built to these declarations is a drop-in replacement
 * for any other: the bridge only ever uses what is declared here.
 */
#ifndef MIRRORBANK_API_H
#define MIRRORBANK_API_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h> /* key_t */

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t ub1;
typedef uint16_t ub2;
typedef uint32_t ub4;
typedef uint64_t ub8;
typedef int32_t boolean;

/* Names one open region within one client context; 0 is never valid. */
typedef ub4 mb_store_handle;

/* Opaque library types: only pointers cross the interface. */
typedef struct mb_client_ctx mb_client_ctx;
typedef struct mb_key mb_key;
typedef struct mb_client_opstate mb_client_opstate;

typedef enum mb_status {
    MB_SUCC = 1,
    MB_FAIL = 2,
    MB_RETRY = 3,
    MB_INPROG = 4
} mb_status;

typedef enum mb_error {
    MB_ERR_NONE = 0,
    MB_ERR_BLOCKNF,
    MB_ERR_STORENF,
    MB_ERR_STOREEXISTS,
    MB_ERR_STOREOPEN,
    MB_ERR_RSZINPROG,
    MB_ERR_INVSIZ,
    MB_ERR_EMPTYBLOCK, /* 7 */
    MB_ERR_OTHER,
    MB_ERR_ACCESS,
    MB_ERR_CANCEL, /* 10 */
    MB_ERR_INVAL,
    MB_ERR_NOTIMPL,
    MB_ERR_TRUNC,
    MB_ERR_INTR,
    MB_ERR_NOMEM,
    MB_ERR_RNR,
    MB_ERR_NODATA,
    MB_ERR_TIMEDOUT,
    MB_ERR_NOTFOUND,
    MB_ERR_FLUSHED, /* 20 */
    MB_ERR_DDEAD,
    MB_ERR_UNKNOWN,
    MB_ERR_BLOCKVERSION,
    MB_ERR_AUTH,
    MB_ERR_ADMAUTH,
    MB_ERR_NOCFG,
    MB_ERR_CFGLOC,
    MB_ERR_CFGREAD,
    MB_ERR_LOCAL,
    MB_ERR_LOCALEP, /* 30 */
    MB_ERR_NPXINIT,
    MB_ERR_NPXINT,
    MB_ERR_SHMCREATE,
    MB_ERR_SHMATTACH,
    MB_ERR_SHMDETACH,
    MB_ERR_SHMREMOVE,
    MB_ERR_SHMSTAT,
    MB_ERR_SHMINVALID,
    MB_ERR_OPENMIN,
    MB_ERR_OPENLOCAL, /* 40 */
    MB_ERR_REGISTERMSG,
    MB_ERR_UNREGISTERMSG,
    MB_ERR_REGISTERBLOCK,
    MB_ERR_UNREGISTERBLOCK,
    MB_ERR_PROCOPEN,
    MB_ERR_PROCREAD,
    MB_ERR_NULLCTX,
    MB_ERR_BADCTX,
    MB_ERR_FREEDCTX,
    MB_ERR_NOINSTR, /* 50 */
    MB_ERR_STOREDELETED,
    MB_ERR_RDDEAD,
    MB_ERR_SHUT_DLAST,
    MB_ERR_DVER_CVER,
    MB_ERR_LAST /* 55: the count, never a reason */
} mb_error;

/* Result of every library call; owned by the caller. */
typedef struct mb_rqs {
    mb_status status;
    mb_error error;
} mb_rqs;

/* Library identification: constant texts owned by the library. */
typedef struct mb_libinfo {
    const char* mb_lib_version;
    const char* mb_lib_blabel;
    const char* mb_lib_bstamp;
} mb_libinfo;

/* Services the library calls back; must outlive the client context. */
typedef struct mb_callbacks {
    void* (*malloc)(void* ctx, size_t size);
    void* malloccbctx;
    void (*free)(void* ctx, void* mem);
    void* freecbctx;
    size_t (*trace)(void* ctx, const char* format, ...);
    void* tracecbctx;
    size_t (*alert)(void* ctx, const char* format, ...);
    void* alertcbctx;
} mb_callbacks;

/* How a client context is set up; must outlive the client context. */
typedef struct mb_init_args {
    mb_callbacks* ccb;
    int32_t trace_level; /* 0..MB_TRACE_LEVEL_VERBOSE */
    ub4 ip;              /* network byte order */
    ub2 localport;       /* network byte order */
    ub4 localindex;
    ub4 busywait;        /* microseconds */
    ub4 timeout;         /* milliseconds */
    char cfg_filename[256];
} mb_init_args;

typedef struct mb_client_opargs mb_client_opargs;

/* One asynchronous block read or write, or one read fence. */
struct mb_client_opargs {
    ub4 flags; /* MB_OP_WRITE or MB_OP_READ */
    void* buffer;
    ub8 length;
    mb_key* key;
    ub8 offset;
    ub4 storehandle;
    ub8 cookie;
    boolean (*ncb)(mb_client_opargs* op);
    mb_status status;
    mb_error error;
    boolean readdone;
    mb_client_opstate* state;
};

/* Description of one region. */
typedef struct mb_client_storeinfo {
    ub4 storehandle;
    char name[256];
    size_t size;
    size_t used;
    ub4 blocksize;
    ub8 ctime;
    ub8 mtime;
    ub8 atime;
    int32_t primary;
    boolean open;
    boolean local;
    ub4 pid;
    ub4 ip; /* network byte order */
    int32_t minredundancy;
    int32_t redundancy;
    ub8 nodes;
    mb_client_opstate* state;
} mb_client_storeinfo;

/* The local daemon as seen by an open client context. */
typedef struct mb_ldinfo {
    int32_t dindex;
    ub8 ctime;
    ub8 total_memory;
    ub8 used_memory;
} mb_ldinfo;

typedef enum mb_daemon_status {
    MB_DAEMON_UP = 1,
    MB_DAEMON_DOWN = 2
} mb_daemon_status;

/* One daemon of the cluster. */
typedef struct mb_daemon_info {
    int32_t dindex;
    mb_daemon_status status;
    boolean reachable;
    ub4 ip; /* network byte order */
    ub2 port;
    key_t shmkey;
    ub8 start_time;
    ub8 current_time;
    ub8 total_memory;
    ub8 used_memory;
    int32_t number_stores;
    int32_t number_opens;
    int32_t number_local_opens;
    int32_t number_resilvers;
    int32_t number_daemons;
} mb_daemon_info;

/* mb_client_opargs flags. */
#define MB_OP_READ 0u  /* a read, or a read fence */
#define MB_OP_WRITE 1u /* a write */

/* mb_init_args trace_level: 0 (none) to MB_TRACE_LEVEL_VERBOSE. */
#define MB_TRACE_LEVEL_VERBOSE 5

/* mb_openstore flags. */
#define MB_OPEN_EXCLUSIVE 0x1u /* fail when the region exists */
#define MB_OPEN_CREATE 0x2u    /* create the region when it does not exist */
#define MB_OPEN_READWRITE 0x4u /* open for writing as well as reading */

/* mb_admin_shutdown_daemon flags. */
#define MB_SHUTDOWN_FORCE 0x10u /* shut down even while regions are open */
#define MB_SHUTDOWN_SAFE 0x40u  /* refuse when a region would lose its last copy */

/* mb_event: the fixed event-class arguments c1, c2, c3, c4 and the targets. */
#define MB_EVENT_C1 1
#define MB_EVENT_C2 1
#define MB_EVENT_C3 3
#define MB_EVENT_C4 0
#define MB_EVENT_TARGET_PRIMARY 1   /* the region's primary daemon */
#define MB_EVENT_TARGET_SECONDARY 2 /* the region's first secondary daemon */
#define MB_EVENT_TARGET_PROCESS 3   /* the calling process */

typedef void (*mb_storeinfo_cb)(void* cookie, mb_client_storeinfo* info);
typedef void (*mb_daemoninfo_cb)(void* cookie, mb_daemon_info* info);

void mb_get_libinfo(mb_libinfo* info);
mb_client_ctx* mb_init(mb_rqs* rqs, mb_init_args* args);
void mb_fini(mb_rqs* rqs, mb_client_ctx* client);
mb_store_handle mb_openstore(mb_rqs* rqs, mb_client_ctx* client, const char* name, int32_t min_copies,
                             int32_t max_copies, ub4 flags, ub8 size, ub4 blocksize);
void mb_closestore(mb_rqs* rqs, mb_client_ctx* client, mb_store_handle handle, ub4 flags);
void mb_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, mb_client_storeinfo* info);
void mb_read(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op);
void mb_write(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op);
void mb_read_fence(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op);
void mb_wait(mb_rqs* rqs, mb_client_ctx* client, ub4 timeout_ms, ub4 busywait_us);
void mb_get_local_daemon_info(mb_rqs* rqs, mb_client_ctx* client, mb_ldinfo* info);
const char* mb_get_error_message(mb_rqs* rqs);
void mb_event(mb_rqs* rqs, mb_client_ctx* client, int32_t arm, int32_t c1, int32_t c2, int32_t c3,
              int32_t target, int32_t c4, mb_store_handle handle, const char* store_name);
int32_t mb_admin_get_attached_daemon(mb_rqs* rqs, mb_client_ctx* client);
void mb_admin_attach_daemon(mb_rqs* rqs, mb_client_ctx* client, int32_t dindex);
void mb_admin_shutdown_daemon(mb_rqs* rqs, mb_client_ctx* client, ub4 flags);
void mb_admin_enumerate_daemons(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_daemoninfo_cb callback,
                                ub1 verbose);
void mb_admin_enumerate_global_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie,
                                      mb_storeinfo_cb callback, ub1 verbose);
void mb_admin_enumerate_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                               ub1 verbose);
void mb_enumerate_global_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                                ub1 verbose);
void mb_admin_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, const char* name, void* cookie,
                            mb_storeinfo_cb callback, ub1 verbose);
void mb_admin_delete_store(mb_rqs* rqs, mb_client_ctx* client, const char* name, ub1 force);

#ifdef __cplusplus
}
#endif

#endif /* MIRRORBANK_API_H */
