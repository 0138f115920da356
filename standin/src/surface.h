// surface.h - process-wide state behind the client-library calls:
// connections, their handles and pending notifications, armed failure
// events, and the test controls. Everything here is guarded by lockState().
#ifndef MIRRORBANK_STANDIN_SURFACE_H
#define MIRRORBANK_STANDIN_SURFACE_H

#include <pthread.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "mirrorbank_testctl.h"

namespace mbstandin {

struct OpenEntry {
    RegionId id = 0;
    bool open = false;
    bool writable = false;
    std::string name;
};

// A completed operation whose notification waits for mb_wait on the thread
// that submitted it.
struct PendingNote {
    mb_client_opargs* op;
    pthread_t thread;
    bool read;
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

struct Conn {
    int id = 0;
    bool live = true;
    mb_init_args* args = nullptr;  // caller-owned, outlives the connection
    int local = 0;
    int attached = 0;
    int completion = -1;  // from the configuration file; -1 not given
    std::vector<OpenEntry> handles;  // handle h is handles[h - 1]
    std::vector<PendingNote> pending;
    std::vector<ScriptNote> scripted;
    std::vector<ArmedEvent> events;
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
    std::unordered_map<const void*, Conn*> conns;  // live and finalised
    int next_conn_id = 0;
    Controls ctl;
};

std::mutex& lockState();
State& state();
// Drops every connection, region and control (mbt_reset).
void resetState();

}  // namespace mbstandin

#endif
