/*
 * mirrorbank_api.h - records, codes and operations of the store client
 * library libmirrorbank1.so.
 *
 * Any client library built to these declarations, keeping the promises
 * written next to them, is a drop-in replacement for any other: the bridge
 * only ever uses what is declared here and relies only on what is promised
 * here.
 *
 * Threads
 *   Every operation may be called from any thread, concurrently, on the
 *   same connection or on different ones. The library starts no thread of
 *   its own and never calls the caller back from another thread: trace
 *   lines, listing callbacks and notifications run on the thread of the
 *   call that produces them, inside that call, and with no lock of the
 *   library held, so a callback may call the library again (submit, wait,
 *   list, ...).
 *
 *   - trace lines: inside the call they describe;
 *   - listing callbacks: inside the listing call, after its mb_rqs is
 *     filled;
 *   - notifications: inside mb_wait on the connection the operation was
 *     submitted to, on the thread that submitted it (see mb_client_opargs).
 *
 * Answers
 *   Every call given an mb_rqs to answer in (all but mb_get_libinfo and
 *   mb_get_error_message) fills it when it is not null: MB_SUCC with
 *   MB_ERR_NONE, or MB_FAIL with the reason. MB_INPROG and MB_RETRY are
 *   answered by block submissions only (mb_read, mb_write). A connection
 *   pointer that is null answers MB_ERR_NULLCTX, one already finalised
 *   MB_ERR_FREEDCTX, any other pointer that is not a live connection
 *   MB_ERR_BADCTX; such pointers are never dereferenced. Null records, names
 *   and callbacks answer MB_ERR_INVAL, as do handles that are unknown or
 *   closed. Names are NUL-terminated, 1 to 255 bytes. A call that returns a
 *   value returns its failure value (null connection, handle 0, daemon
 *   index -1) whenever it answers MB_FAIL.
 *
 * Ownership
 *   Every record passed in is the caller's: the library never frees it,
 *   and keeps a pointer to it only where stated (mb_init_args and its
 *   mb_callbacks, a submitted mb_client_opargs and its buffer). Records the
 *   library hands to callbacks, and the texts it returns, are the
 *   library's: the caller never frees them.
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

/* Names one open region within one client context; 0 is never valid. A
 * handle is released by mb_closestore or mb_fini; another connection's
 * handle of the same value names nothing on this one. */
typedef ub4 mb_store_handle;

/* Opaque library types: only pointers cross the interface. An
 * mb_client_ctx pointer (a connection) is valid from the mb_init that
 * returned it until mb_fini on it returns; the library recognises, and
 * refuses, one that was finalised. */
typedef struct mb_client_ctx mb_client_ctx;
typedef struct mb_key mb_key;
typedef struct mb_client_opstate mb_client_opstate;

/* Status of a call (mb_rqs) and of a block operation (mb_client_opargs). */
typedef enum mb_status {
    MB_SUCC = 1,  /* done; a submission answering it completed inside the call and never notifies */
    MB_FAIL = 2,  /* not done, for the reason in the error; a submission answering it never notifies */
    MB_RETRY = 3, /* submission not taken now: nothing done, nothing notified; mb_wait, then submit again */
    MB_INPROG = 4 /* submission accepted; its notification runs exactly once, inside a later mb_wait */
} mb_status;

/* Reason of a failure. mb_get_error_message turns one into text. */
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

/* Result of every library call; owned by the caller, filled by the call
 * before it returns (and before any listing callback or notification of
 * that call runs). A null pointer is allowed: the answer is dropped. */
typedef struct mb_rqs {
    mb_status status;
    mb_error error;
} mb_rqs;

/* Library identification: constant texts owned by the library, valid for
 * the life of the process, never null. */
typedef struct mb_libinfo {
    const char* mb_lib_version;
    const char* mb_lib_blabel;
    const char* mb_lib_bstamp;
} mb_libinfo;

/* Services the library calls back. Kept by pointer (through
 * mb_init_args.ccb), for as long as the mb_init_args that names it. A null
 * entry is never called; a library may
 * leave any entry unused. Each entry is called with its own context word.
 * trace receives one complete line per call, without a line feed, as
 * (tracecbctx, "%s", line); its return value is ignored. Trace lines come
 * only when init args carry a callbacks record with a trace entry and
 * trace_level is 1 or more; level 1 gives one line per connection, region
 * and admin call, higher levels add block operations, fences, store
 * information and waits. */
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

/* How a client context is set up. Kept by pointer: the record (and the
 * mb_callbacks it names, when not null) must stay valid and unchanged from
 * mb_init until mb_fini on the connection has returned and no other call on
 * that connection is still running; the library reads it for the
 * connection's whole life (opener address, trace sink and level). */
typedef struct mb_init_args {
    mb_callbacks* ccb;
    int32_t trace_level; /* 0..MB_TRACE_LEVEL_VERBOSE */
    ub4 ip;              /* network byte order */
    ub2 localport;       /* network byte order */
    ub4 localindex;
    ub4 busywait;        /* microseconds */
    ub4 timeout;         /* milliseconds */
    char cfg_filename[256]; /* NUL-terminated; empty: the library's default cluster */
} mb_init_args;

typedef struct mb_client_opargs mb_client_opargs;

/*
 * One asynchronous block read or write, or one read fence. Owned by the
 * caller; fill it (zeroed first) and submit it with mb_read or mb_write.
 *
 * What the submission's mb_rqs answers decides what happens to the record:
 *   MB_INPROG  accepted. The record and its buffer are the library's until
 *              the notification has run: keep both valid and do not touch
 *              them (the library may move the data at any time until then).
 *              status, error and readdone are left as they were until the
 *              library writes them right before running ncb, so a record
 *              still showing the values it was submitted with has not
 *              completed. The notification runs exactly once, inside a
 *              later mb_wait on the same connection made by the thread that
 *              submitted, unless the connection is finalised first: mb_fini
 *              drops the notifications no mb_wait has taken yet, and no
 *              mb_wait called after it runs one of that connection.
 *   MB_SUCC    completed inside the call: status MB_SUCC, error
 *              MB_ERR_NONE, readdone set for a read. No notification; the
 *              record and buffer are free when the call returns.
 *   MB_FAIL    refused: the record carries MB_FAIL and the error too, unless
 *              the connection or the record pointer itself was refused (then
 *              only mb_rqs says so). No notification; free on return.
 *   MB_RETRY   not taken now: nothing was done and nothing will be notified;
 *              call mb_wait on the connection and submit the same record
 *              again. Callers treat any status they do not know as MB_RETRY.
 *
 * A read whose every touched block was never written may be refused with
 * MB_FAIL / MB_ERR_EMPTYBLOCK: the range reads as zeros.
 */
struct mb_client_opargs {
    ub4 flags;       /* MB_OP_WRITE or MB_OP_READ, as the call submitting it */
    void* buffer;    /* length bytes to write from or read into; caller's; null only with length 0 */
    ub8 length;      /* bytes; 0 succeeds */
    mb_key* key;     /* caller's; may be null */
    ub8 offset;      /* in the region; offset + length within its size, else MB_ERR_INVSIZ */
    ub4 storehandle; /* from mb_openstore on the same connection */
    ub8 cookie;      /* the caller's; never read or written by the library */
    /* Notification: called as ncb(op) with the record's status, error and
     * readdone written; may be null (the record is still written). Its
     * return value is ignored. */
    boolean (*ncb)(mb_client_opargs* op);
    mb_status status; /* outcome: MB_SUCC, or MB_FAIL with error; written by the library */
    mb_error error;
    boolean readdone; /* set to 1 when a read completed with MB_SUCC */
    mb_client_opstate* state; /* the library's; leave it null */
};

/* Description of one region. Filled by mb_get_storeinfo into the caller's
 * record (storehandle is the input), or handed to a listing callback: then
 * it is the library's, valid only while the callback runs, with storehandle
 * 0 and state null; copy what is needed. name is NUL-terminated. */
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

/* The local daemon as seen by an open client context; the caller's record,
 * filled by mb_get_local_daemon_info. */
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

/* One daemon of the cluster; handed to a listing callback, the library's
 * record, valid only while the callback runs. */
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

/* Listing callbacks: called on the calling thread, inside the listing call,
 * once per record, after the call's mb_rqs is filled with MB_SUCC (a listing
 * that fails calls nothing). cookie is the caller's, passed through as
 * given; info is the library's and valid only during the callback. */
typedef void (*mb_storeinfo_cb)(void* cookie, mb_client_storeinfo* info);
typedef void (*mb_daemoninfo_cb)(void* cookie, mb_daemon_info* info);

/* Fills info with three constant texts (see mb_libinfo); a null info: nothing. */
void mb_get_libinfo(mb_libinfo* info);

/* Opens a connection to the cluster that args names (cfg_filename, or the
 * default cluster when it is empty), with local daemon args->localindex.
 * Keeps args (and args->ccb) by pointer until mb_fini returns. Null on
 * failure: MB_ERR_INVAL (null args), MB_ERR_NOCFG (no such file),
 * MB_ERR_CFGREAD (unreadable or malformed file), MB_ERR_CFGLOC (a cluster
 * this process cannot join), MB_ERR_LOCAL (no such local daemon), or the
 * error of reaching the cluster. */
mb_client_ctx* mb_init(mb_rqs* rqs, mb_init_args* args);

/* Closes the connection's open handles, drops its undelivered notifications
 * and armed events, and ends it: once this returns, the pointer is dead
 * (later calls answer MB_ERR_FREEDCTX) and no mb_wait called afterwards
 * runs a notification of it. A call on the connection that another thread
 * had already begun may still finish (its trace lines, and the
 * notifications an mb_wait had already taken, run on that thread); args can
 * be released once those calls have returned. Regions outlive connections. */
void mb_fini(mb_rqs* rqs, mb_client_ctx* client);

/* Opens (MB_OPEN_CREATE: creates when missing; MB_OPEN_EXCLUSIVE: fails with
 * MB_ERR_STOREEXISTS when it exists) the named region and returns a handle
 * on this connection, never 0; 0 on failure. Without MB_OPEN_READWRITE,
 * writes answer MB_ERR_ACCESS. An existing region is opened as it is. */
mb_store_handle mb_openstore(mb_rqs* rqs, mb_client_ctx* client, const char* name, int32_t min_copies,
                             int32_t max_copies, ub4 flags, ub8 size, ub4 blocksize);

/* Releases a handle of this connection whatever the answer: MB_ERR_DDEAD
 * when its region lost its last copy, and so on. An unknown or already
 * closed handle answers MB_ERR_INVAL. */
void mb_closestore(mb_rqs* rqs, mb_client_ctx* client, mb_store_handle handle, ub4 flags);

/* Fills the caller's record for the region named by info->storehandle. */
void mb_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, mb_client_storeinfo* info);

/* Submit one block read or write; see mb_client_opargs for what each answer
 * means for the record, its buffer and its notification. */
void mb_read(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op);
void mb_write(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op);

/* Synchronous: MB_SUCC once every write acknowledged on op->storehandle is
 * visible to later reads. Only storehandle is read; the record is not
 * written and nothing is notified. */
void mb_read_fence(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op);

/* Runs, on the calling thread, the notifications of operations this thread
 * submitted on this connection that have completed, each exactly once, in
 * submission order; mb_rqs is filled (MB_SUCC) before they run. Waits at
 * most timeout_ms for one (busywait_us: how long it may spin before
 * sleeping); answers MB_SUCC whether or not anything was delivered, so
 * callers loop until their notification has run. Operations submitted by
 * other threads are left to those threads' own mb_wait. */
void mb_wait(mb_rqs* rqs, mb_client_ctx* client, ub4 timeout_ms, ub4 busywait_us);

/* Fills the caller's record for the connection's local daemon. */
void mb_get_local_daemon_info(mb_rqs* rqs, mb_client_ctx* client, mb_ldinfo* info);

/*
 * Text for rqs->error (the status is not looked at); never null.
 *   - When the calling thread's most recent failure left a detailed text
 *     for that same code (naming, say, the configuration file and line, or
 *     the server that failed), that text. Ask on the thread that made the
 *     failing call, before it makes another: a later failure on the thread
 *     replaces the text, and a text left earlier for the same code may be
 *     answered for a later call that left none.
 *   - Otherwise the constant text of the code, a distinct one per code.
 *   - "error code out of range" for a value outside 0..MB_ERR_LAST-1, and
 *     "no request status given" for a null rqs.
 * Every text returned is the library's, never freed, and stays valid and
 * unchanged for the life of the process; the caller does not free it.
 */
const char* mb_get_error_message(mb_rqs* rqs);

/* Arms (arm 1) or disarms (arm 0) a failure event for the named region on
 * this connection: c1..c4 are MB_EVENT_C1..MB_EVENT_C4, target one of
 * MB_EVENT_TARGET_*, else MB_ERR_INVAL. An armed event fires once, during
 * the connection's next open, close, write or delete of that region. */
void mb_event(mb_rqs* rqs, mb_client_ctx* client, int32_t arm, int32_t c1, int32_t c2, int32_t c3,
              int32_t target, int32_t c4, mb_store_handle handle, const char* store_name);

/* The daemon admin calls act on (the local daemon until attached
 * elsewhere); -1 on failure. */
int32_t mb_admin_get_attached_daemon(mb_rqs* rqs, mb_client_ctx* client);
/* MB_ERR_INVAL for an index outside the cluster, MB_ERR_DDEAD for a daemon
 * that is down. */
void mb_admin_attach_daemon(mb_rqs* rqs, mb_client_ctx* client, int32_t dindex);
/* Shuts the attached daemon down (flags MB_SHUTDOWN_*). */
void mb_admin_shutdown_daemon(mb_rqs* rqs, mb_client_ctx* client, ub4 flags);

/* Listings: one callback per record (see mb_storeinfo_cb). A non-zero
 * verbose adds trace lines, never changes the records. */
void mb_admin_enumerate_daemons(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_daemoninfo_cb callback,
                                ub1 verbose); /* every daemon, down ones included, by index */
void mb_admin_enumerate_global_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie,
                                      mb_storeinfo_cb callback, ub1 verbose); /* every region */
void mb_admin_enumerate_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                               ub1 verbose); /* regions with a copy on the attached daemon */
void mb_enumerate_global_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                                ub1 verbose); /* every region */
/* One callback for the named region; MB_ERR_STORENF when there is none. */
void mb_admin_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, const char* name, void* cookie,
                            mb_storeinfo_cb callback, ub1 verbose);
/* Deletes the region: MB_ERR_STOREOPEN while a connection has it open
 * unless force is non-zero, MB_ERR_STORENF when there is none. Handles
 * still open on a force-deleted region answer MB_ERR_STOREDELETED; closing
 * them succeeds. */
void mb_admin_delete_store(mb_rqs* rqs, mb_client_ctx* client, const char* name, ub1 force);

#ifdef __cplusplus
}
#endif

#endif /* MIRRORBANK_API_H */
