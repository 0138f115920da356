// surface.h - process-wide state behind the client-library calls:
// connections, their handles, armed failure events, and the test controls.
//
// Locking: one process-wide reader/writer lock, lockState(). Every call that
// changes connections, handles, the cluster's shape or the controls holds it
// exclusively. The data path (mb_read, mb_write, mb_read_fence, mb_wait with
// no test control active) holds it shared, so copies on different threads
// run side by side; the backend orders data operations on one region itself.
// Completions waiting for mb_wait sit in a queue of the submitting thread.
#ifndef MIRRORBANK_STANDIN_SURFACE_H
#define MIRRORBANK_STANDIN_SURFACE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "locks.h"
#include "mirrorbank_testctl.h"

namespace mbstandin {

// One open handle of a connection.
struct OpenEntry {
    mb_store_handle handle = 0;
    RegionId id = 0;
    bool writable = false;
    std::string name;
};

// A notification held back by a test script for a number of waits.
struct ScriptNote {
    mb_client_opargs* op;
    int waits_left;
    int count;
    int status;  // raw values: scripts may give any
    int error;
};

struct ArmedEvent {
    std::string name;
    int target;
};

// A connection pointer handed to callers is a token, never an address of
// a record: an address inside a range reserved without access, encoding
// the record's slot and a generation that grows each time the slot is
// given to a new connection. A token is never dereferenced, and the token
// of a finalised connection never matches the slot's next connection.
using Token = uintptr_t;

// One connection record. Records are reused by later connections; every
// field is read and written with the process-wide lock held (shared for
// the data path's reads, exclusive for everything else).
struct Conn {
    Token token = 0;  // the live connection's token; 0 while the slot is free
    uint32_t slot = 0;
    uint32_t next_gen = 0;   // generation of the slot's next connection
    uint32_t reset_gen = 0;  // generations below were dropped by mbt_reset
    uint32_t next_free = 0;  // free-slot queue link
    int id = 0;
    mb_init_args* args = nullptr;  // caller-owned, outlives the connection
    int local = 0;
    int attached = 0;
    int completion = -1;  // from the configuration file; -1 not given
    mb_store_handle last_handle = 0;
    std::vector<OpenEntry> handles;  // the open ones, by increasing handle
    std::vector<ScriptNote> scripted;
    bool scripted_held = false;  // scripted notifications wait for mb_wait
    std::vector<ArmedEvent> events;

    // Whether this connection's trace sink takes lines of `level`.
    bool traces(int level) const {
        const mb_init_args* a = args;
        return a && a->ccb && a->ccb->trace && a->trace_level >= level;
    }
    // Back to an empty record; keeps small vectors' storage for reuse.
    void clear();
};

// The connection records, their slots and tokens. Records live in chunks
// that are allocated as slots are first needed and then kept, so memory
// follows the largest number of connections open at once, not the number
// ever made. Free slots are reused oldest first; a slot whose generations
// are used up is retired.
class ConnRegistry {
public:
    static constexpr unsigned kSlotBits = 16;  // connections open at once
    static constexpr unsigned kStrideBits = 4;  // tokens 16 bytes apart
    static constexpr uint32_t kChunk = 64;

    // A new live connection, or null when the token range could not be
    // reserved or every slot is taken (exclusive lock held).
    Conn* make();
    // The live connection behind `p`, or null. Never reads through `p`.
    Conn* live(const void* p) const {
        uintptr_t off = reinterpret_cast<uintptr_t>(p) - base_;
        if (off >= range_ || (off & ((1u << kStrideBits) - 1)) != 0) return nullptr;
        uint32_t slot = static_cast<uint32_t>(off >> (kStrideBits + genBits_));
        if (slot >= made_) return nullptr;
        Conn* c = &chunks_[slot / kChunk][slot % kChunk];
        return c->token == reinterpret_cast<Token>(p) ? c : nullptr;
    }
    // Why `p` is not a live connection: MB_ERR_NULLCTX, MB_ERR_FREEDCTX
    // for a connection finalised since the last reset, else MB_ERR_BADCTX.
    mb_error notLive(const void* p) const;
    // The slot goes back for reuse (mb_fini; exclusive lock held).
    void release(Conn* c);
    // Every connection is dropped: their tokens answer MB_ERR_BADCTX from
    // now on (mbt_reset).
    void dropAll();
    template <typename F>
    void forEachLive(F f) const {
        for (uint32_t i = 0; i < made_; ++i) {
            const Conn& c = chunks_[i / kChunk][i % kChunk];
            if (c.token) f(c);
        }
    }

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    bool reserve();
    void pushFree(Conn* c);

    uintptr_t base_ = 0;
    uintptr_t range_ = 0;
    unsigned genBits_ = 0;
    uint32_t made_ = 0;  // slots with a record
    uint32_t free_head_ = kNone, free_tail_ = kNone;
    std::unique_ptr<Conn[]> chunks_[(1u << kSlotBits) / kChunk];
};

struct Forced {
    int times;
    mb_status status;
    mb_error error;
};

struct IoScript {
    int times = 0;
    mbt_ioscript script{};
};

// Test controls; all inert until a test sets them.
struct Controls {
    bool journal_on = false;
    std::deque<std::string> journal;
    bool any_forced = false;
    std::map<std::string, Forced> forced;
    IoScript read_script, write_script;
    bool ldinfo_set = false;
    mb_ldinfo ldinfo{};
    bool daemons_set = false;
    std::vector<mb_daemon_info> daemons;
    bool stores_set = false;
    std::vector<mb_client_storeinfo> stores;
    bool inline_completion = false;
};

struct State {
    std::unique_ptr<Backend> backend;
    ConnRegistry conns;
    int next_conn_id = 0;
    Controls ctl;
};

// The process-wide lock (locks.h): exclusive for everything but the data
// path. Writers are preferred, so a stream of data operations cannot keep an
// administrative call out; no call takes it twice.
StateLock& lockState();
State& state();
// Drops every connection, region and control (mbt_reset).
void resetState();

// Non-zero while any control that changes the data path is set: journal,
// forced outcomes, I/O scripts, a one-time trace line. Written with the
// lock held exclusively; the data path reads it to stay on its short path.
extern std::atomic<unsigned> g_controlsActive;
// Recomputes g_controlsActive from the controls (exclusive lock held).
void refreshControls(const Controls& c);

}  // namespace mbstandin

#endif
