// surface.h - process-wide state behind the client-library calls:
// connections, their handles, armed failure events, and the test controls.
//
// Locking: one process-wide reader/writer lock, lockState(). Every call that
// changes connections, handles, the cluster's shape or the controls holds it
// exclusively. The data path (mb_read, mb_write, mb_read_fence with no test
// control active) holds it shared, so copies on different threads run side
// by side; the backend orders data operations on one region itself.
// Completions waiting for mb_wait sit in a queue of the submitting thread
// and need no lock at all.
#ifndef MIRRORBANK_STANDIN_SURFACE_H
#define MIRRORBANK_STANDIN_SURFACE_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "locks.h"
#include "mirrorbank_testctl.h"

namespace mbstandin {

struct OpenEntry {
    RegionId id = 0;
    bool open = false;
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

enum ConnState : int {
    kConnLive = 1,
    kConnFinalised = 2,  // mb_fini: answers MB_ERR_FREEDCTX
    kConnDropped = 3,    // mbt_reset: answers MB_ERR_BADCTX like any unknown pointer
};

// One connection. Its memory is never released nor reused for another
// connection, so a pointer once handed out stays safe to look at: a
// finalised or dropped connection keeps its state word.
struct Conn {
    std::atomic<int> state{kConnLive};
    // Set while test-scripted notifications wait on this connection: mb_wait
    // then takes the locked path that counts waits.
    std::atomic<bool> scripted_held{false};
    int id = 0;
    mb_init_args* args = nullptr;  // caller-owned, outlives the connection
    int local = 0;
    int attached = 0;
    int completion = -1;  // from the configuration file; -1 not given
    std::vector<OpenEntry> handles;  // handle h is handles[h - 1]
    std::vector<ScriptNote> scripted;
    std::vector<ArmedEvent> events;

    bool live() const { return state.load(std::memory_order_acquire) == kConnLive; }
    // Whether this connection's trace sink takes lines of `level`.
    bool traces(int level) const {
        const mb_init_args* a = args;
        return a && a->ccb && a->ccb->trace && a->trace_level >= level;
    }
};

// Where connections live: a table allocated once, so that telling a
// connection pointer from any other pointer is a range check that never
// reads through the pointer; connections beyond the table go to a map
// (slower to look up, never dereferenced either). Slots are not reused.
class ConnRegistry {
public:
    static constexpr size_t kTableSlots = 4096;
    // A power of two, so that the range check needs no division.
    struct alignas(256) Slot {
        Conn conn;
    };
    static_assert(sizeof(Slot) == 256, "one connection per 256-byte slot");

    // A new live connection (exclusive lock held).
    Conn* make();
    // The connection object behind `p` without locking, or null when `p`
    // is not in the table (it may still be a connection of the map).
    Conn* inTable(const void* p) const {
        uintptr_t base = base_.load(std::memory_order_acquire);
        uintptr_t off = reinterpret_cast<uintptr_t>(p) - base;
        if (off >= used_.load(std::memory_order_acquire) * sizeof(Slot) || (off & (sizeof(Slot) - 1)) != 0)
            return nullptr;
        return &reinterpret_cast<Slot*>(base + off)->conn;
    }
    // Any connection object behind `p` (lock held), or null.
    Conn* find(const void* p) const;
    // Connections made since the last reset, in order.
    const std::vector<Conn*>& current() const { return current_; }
    // Marks every connection dropped and forgets them (mbt_reset).
    void dropAll();

private:
    std::atomic<uintptr_t> base_{0};
    std::atomic<size_t> used_{0};
    std::unordered_map<const void*, Conn*> overflow_;
    std::vector<Conn*> current_;
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
    bool storeinfo_set = false;
    mb_client_storeinfo storeinfo{};
    bool ldinfo_set = false;
    mb_ldinfo ldinfo{};
    bool daemons_set = false;
    std::vector<mb_daemon_info> daemons;
    bool stores_set = false;
    std::vector<mb_client_storeinfo> stores;
    int attached_override = -1;
    std::map<int, const char*> messages;
    std::deque<std::string> message_texts;  // never shrinks: texts stay valid
    int trace_once_kind = 0;  // 0 none, 1 text through "%s", 2 as the format
    std::string trace_once;
    bool inline_completion = false;
    bool have_init_args = false;
    mb_init_args last_args{};
    bool have_init_callbacks = false;
    mb_callbacks last_callbacks{};
};

struct State {
    std::unique_ptr<Backend> backend;
    ConnRegistry conns;
    int next_conn_id = 0;
    Controls ctl;
};

// The process-wide lock: exclusive for everything but the data path.
// Writers are preferred, so a stream of data operations cannot keep an
// administrative call out; no call takes it twice.
using StateLock = RwLock;

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
