/*
 * mirrorbank_testctl.h - test controls of the stand-in client library.
 *
 * These functions are exported by the stand-in libmirrorbank1.so next to
 * the client-library operations, under the prefix mbt_. They are for tests
 * only: nothing on the production path calls them, and with no control
 * set the stand-in behaves as the embedded simulated cluster.
 *
 * Controls are process-wide. Forced outcomes are consumed in call order by
 * whatever thread makes the matching call.
 */
#ifndef MIRRORBANK_TESTCTL_H
#define MIRRORBANK_TESTCTL_H

#include "mirrorbank_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Back to a fresh process: every connection, region and daemon state of the
 * embedded cluster is dropped (connections still held by callers become
 * unknown to the library), every control below is cleared, the journal is
 * emptied and switched off, and completion goes back to asynchronous. */
void mbt_reset(void);

/* ---- Journal -------------------------------------------------------------
 * When on, every client-library call appends one line: the operation name,
 * then its arguments as " name=value" pairs, in the order documented for
 * each operation in the stand-in's README. Pointers appear as 0 (null) or 1
 * (non-null) unless stated; numbers in decimal unless shown with 0x. */
void mbt_journal_enable(int on);
void mbt_journal_clear(void);
int mbt_journal_count(void);
/* Line i (0-based) of the journal, or null; valid until the next clear. */
const char* mbt_journal_line(int i);

/* ---- Forced outcomes ----------------------------------------------------
 * The next `times` calls of operation `op` (its name, such as "mb_init",
 * "mb_closestore", "mb_admin_enumerate_daemons") do nothing but fill the
 * caller's mb_rqs with status/error; times < 0 means every call until
 * mbt_reset. An operation that returns a value then returns its failure value
 * (null connection, handle 0, daemon index -1). The call is still journaled.
 * Not for mb_read / mb_write / mb_read_fence's data path: see mbt_script_io. */
void mbt_force(const char* op, int times, mb_status status, mb_error error);

/* Scripted block operation for mb_read / mb_write ("mb_read", "mb_write"). */
typedef struct mbt_ioscript {
    /* What the submission's mb_rqs receives (MB_SUCC, MB_FAIL, MB_RETRY,
     * MB_INPROG, or any other value to test unknown statuses). */
    mb_status submit_status;
    mb_error submit_error;
    /* Written into op->status / op->error during the submission
     * (0/0 leaves them untouched). */
    mb_status op_status;
    mb_error op_error;
    /* Notifications to deliver for this submission (0 = none). Each runs
     * op->ncb(op) after writing notify_status/notify_error into the record. */
    int notify_count;
    /* 0: deliver inside the submission call itself; n > 0: deliver inside
     * the n-th mb_wait on the same connection after the submission. */
    int notify_after_waits;
    mb_status notify_status;
    mb_error notify_error;
    /* Non-zero: also move the data as the cluster would. */
    int perform;
} mbt_ioscript;

/* The next `times` submissions of op ("mb_read" or "mb_write") follow the
 * script (times < 0: until mbt_reset). */
void mbt_script_io(const char* op, int times, const mbt_ioscript* script);
/* Notifications still held back by scripts (not yet delivered). */
int mbt_pending_notifications(void);

/* ---- Given records and figures -------------------------------------------
 * While set, the named query fills its record from the given one (after the
 * normal work, so e.g. a forced `used` replaces the real one). Pass null to
 * go back to real figures. */
void mbt_set_ldinfo(const mb_ldinfo* info);                /* mb_get_local_daemon_info */
/* Listings report exactly these records instead of the cluster's own
 * (count < 0 or null: back to the cluster's own). */
void mbt_set_listed_daemons(const mb_daemon_info* infos, int count);
void mbt_set_listed_stores(const mb_client_storeinfo* infos, int count);

/* ---- Cluster state ------------------------------------------------------- */
/* Completion mode: 0 asynchronous (default), 1 inline. */
void mbt_set_inline_completion(int on);
/* Whether daemon i is up. */
int mbt_daemon_is_up(int dindex);
/* Bring a daemon down or back up (a revived daemon holds no copies). */
void mbt_set_daemon_up(int dindex, int up);
/* Live connections made by mb_init and not yet finalised. */
int mbt_live_connections(void);

#ifdef __cplusplus
}
#endif

#endif /* MIRRORBANK_TESTCTL_H */
