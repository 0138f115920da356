// client_api.cpp - the client-library operations of libmirrorbank1.so.
//
// Each call takes the process-wide lock, does its work against the backend,
// releases the lock and only then runs what belongs to the caller's thread:
// trace lines, notifications and listing callbacks. Nothing runs on any
// other thread; no thread is ever started.
//
// The data path (mb_read, mb_write, mb_read_fence, mb_wait) has a short
// form for the common case: a connection from the table, no test control
// set, no trace sink at the call's level, no armed event. It holds the lock
// shared (mb_wait: not at all) and allocates nothing. Anything else goes
// the general way, which journals, honours forced outcomes and scripts,
// traces and fires events.

// The exported declarations get default visibility; everything else in the
// library is hidden.
#pragma GCC visibility push(default)
#include "mirrorbank_api.h"
#include "mirrorbank_testctl.h"
#pragma GCC visibility pop

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <shared_mutex>

#include "config.h"
#include "sim_cluster.h"
#include "surface.h"

namespace mbstandin {

namespace {
StateLock g_lock;  // constant-initialised: usable before and after any static constructor
}  // namespace

StateLock& lockState() { return g_lock; }

State& state() {
    static State* s = new State();  // never destroyed: callers may outlive statics
    return *s;
}

std::atomic<unsigned> g_controlsActive{0};

void refreshControls(const Controls& c) {
    unsigned on = (c.journal_on ? 1u : 0u) | (c.any_forced ? 2u : 0u) |
                  (c.read_script.times != 0 || c.write_script.times != 0 ? 4u : 0u) |
                  (c.trace_once_kind != 0 ? 8u : 0u);
    g_controlsActive.store(on, std::memory_order_release);
}

Conn* ConnRegistry::make() {
    Conn* c;
    size_t n = used_.load(std::memory_order_relaxed);
    if (n < kTableSlots) {
        uintptr_t base = base_.load(std::memory_order_relaxed);
        if (!base) {
            // Address space only: pages are touched as slots are used.
            base = reinterpret_cast<uintptr_t>(::operator new(kTableSlots * sizeof(Slot), std::align_val_t(alignof(Slot))));
            base_.store(base, std::memory_order_release);
        }
        c = &(new (reinterpret_cast<Slot*>(base) + n) Slot())->conn;
        used_.store(n + 1, std::memory_order_release);
    } else {
        c = &(new Slot())->conn;
        overflow_[c] = c;
    }
    current_.push_back(c);
    return c;
}

Conn* ConnRegistry::find(const void* p) const {
    if (Conn* c = inTable(p)) return c;
    auto it = overflow_.find(p);
    return it == overflow_.end() ? nullptr : it->second;
}

void ConnRegistry::dropAll() {
    for (Conn* c : current_) {
        c->state.store(kConnDropped, std::memory_order_release);
        c->scripted_held.store(false, std::memory_order_relaxed);
        std::vector<OpenEntry>().swap(c->handles);
        std::vector<ScriptNote>().swap(c->scripted);
        std::vector<ArmedEvent>().swap(c->events);
    }
    current_.clear();
}

void resetState() {
    State& s = state();
    s.conns.dropAll();
    s.backend.reset();
    s.next_conn_id = 0;
    std::deque<std::string> keep;
    keep.swap(s.ctl.message_texts);
    s.ctl = Controls();
    s.ctl.message_texts.swap(keep);  // texts handed out earlier stay valid
}

namespace {

constexpr ub8 kDefaultRegionSize = 16ull << 20;
constexpr ub4 kDefaultBlockSize = 4096;
constexpr ub4 kMinBlockSize = 512;
constexpr ub4 kMaxBlockSize = 64u << 20;
constexpr int kProcessCrashExit = 86;

// Status and error fields may carry any value a caller or a test script put
// there; they are moved and compared as plain integers.
int rawInt(const void* field) {
    int v;
    std::memcpy(&v, field, sizeof v);
    return v;
}

void setRaw(void* field, int v) { std::memcpy(field, &v, sizeof v); }

void put(mb_rqs* rqs, mb_status st, mb_error er) {
    if (rqs) {
        rqs->status = st;
        rqs->error = er;
    }
}

std::string formatText(const char* fmt, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), fmt, ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

struct Note {
    mb_client_opargs* op;
    int status;
    int error;
    bool read;
};

void deliver(const Note& n) {
    setRaw(&n.op->status, n.status);
    setRaw(&n.op->error, n.error);
    if (n.read && n.status == MB_SUCC) n.op->readdone = 1;
    if (n.op->ncb) n.op->ncb(n.op);
}

// ---- completions waiting for mb_wait -----------------------------------------------
//
// Each thread queues the completions of its own asynchronous submissions;
// mb_wait on a connection takes that connection's entries from the calling
// thread's queue, so the queue needs no lock. Entries of connections that
// are gone (finalised, dropped) are never delivered and are discarded by
// the next mb_wait on the thread; connection objects are never freed, so
// looking at their state is safe.

struct QueuedNote {
    Conn* conn;
    mb_client_opargs* op;
    bool read;
};

// Plain data in initial-exec thread-local storage: one %fs-relative access,
// no initialisation guard. The items are freed when the thread ends.
struct ThreadQueue {
    QueuedNote* items;
    uint32_t size;
    uint32_t cap;
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadQueue tl_queue;

void freeThreadQueue(void* p) {
    auto* q = static_cast<ThreadQueue*>(p);
    std::free(q->items);
    q->items = nullptr;
    q->size = q->cap = 0;
}

pthread_key_t threadQueueKey() {
    static pthread_key_t key = [] {
        pthread_key_t k;
        if (::pthread_key_create(&k, freeThreadQueue) != 0) std::abort();
        return k;
    }();
    return key;
}

__attribute__((noinline)) void growThreadQueue(ThreadQueue& q) {
    if (!q.items) ::pthread_setspecific(threadQueueKey(), &q);
    uint32_t cap = q.cap ? q.cap * 2 : 16;
    auto* items = static_cast<QueuedNote*>(std::realloc(q.items, cap * sizeof(QueuedNote)));
    if (!items) std::abort();
    q.items = items;
    q.cap = cap;
}

inline void queueNote(Conn* c, mb_client_opargs* op, bool read) {
    ThreadQueue& q = tl_queue;
    if (q.size == q.cap) growThreadQueue(q);
    q.items[q.size++] = QueuedNote{c, op, read};
}

// The completions of one mb_wait, taken out of the queue before any
// notification runs (a notification may submit again or wait again).
class NoteBatch {
public:
    void push(const QueuedNote& n) {
        if (size_ < kInline)
            inline_[size_] = n;
        else
            spill_.push_back(n);
        ++size_;
    }
    size_t size() const { return size_; }
    const QueuedNote& operator[](size_t i) const { return i < kInline ? inline_[i] : spill_[i - kInline]; }

private:
    static constexpr size_t kInline = 16;
    QueuedNote inline_[kInline];
    std::vector<QueuedNote> spill_;
    size_t size_ = 0;
};

// Moves the calling thread's queued completions of `c` to `out`, in
// submission order, keeping those of other live connections.
void takeQueued(const Conn* c, NoteBatch& out) {
    ThreadQueue& q = tl_queue;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < q.size; ++i) {
        const QueuedNote& n = q.items[i];
        if (n.conn == c)
            out.push(n);
        else if (n.conn->live())
            q.items[kept++] = n;
    }
    q.size = kept;
}

void deliverDone(mb_client_opargs* op, bool read) {
    op->status = MB_SUCC;
    op->error = MB_ERR_NONE;
    if (read) op->readdone = 1;
    if (op->ncb) op->ncb(op);
}

thread_local std::vector<Note> tl_spareNotes;

// One library call: holds the lock from construction to finish(), collects
// what must run on the calling thread afterwards, and runs it.
class Call {
public:
    Call(mb_rqs* rqs, const char* op) : lock_(lockState()), s_(state()), rqs_(rqs), op_(op) {
        notes_.swap(tl_spareNotes);
    }
    ~Call() {
        finish();
        notes_.clear();
        if (tl_spareNotes.capacity() < notes_.capacity()) tl_spareNotes.swap(notes_);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    State& s() { return s_; }
    Controls& ctl() { return s_.ctl; }

    // Journal line: the operation name, then the formatted arguments.
    void journal(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!s_.ctl.journal_on) return;
        std::string line(op_);
        va_list ap;
        va_start(ap, fmt);
        line += ' ';
        line += formatText(fmt, ap);
        va_end(ap);
        s_.ctl.journal.push_back(std::move(line));
    }

    void journalBare() {
        if (s_.ctl.journal_on) s_.ctl.journal.push_back(op_);
    }

    int clientId(const mb_client_ctx* client) const {
        if (!client) return 0;
        const Conn* c = s_.conns.find(client);
        return (!c || !c->live()) ? -1 : c->id;
    }

    // A forced outcome for this operation consumes one use and answers it.
    bool forced() {
        if (!s_.ctl.any_forced) return false;
        auto it = s_.ctl.forced.find(op_);
        if (it == s_.ctl.forced.end() || it->second.times == 0) return false;
        put(rqs_, it->second.status, it->second.error);
        if (it->second.times > 0 && --it->second.times == 0) s_.ctl.forced.erase(it);
        s_.ctl.any_forced = !s_.ctl.forced.empty();
        return true;
    }

    // The live connection behind `client`, or null with rqs filled.
    Conn* conn(const mb_client_ctx* client) {
        if (!client) {
            put(rqs_, MB_FAIL, MB_ERR_NULLCTX);
            return nullptr;
        }
        Conn* c = s_.conns.find(client);
        int st = c ? c->state.load(std::memory_order_relaxed) : kConnDropped;
        if (st != kConnLive) {
            put(rqs_, MB_FAIL, st == kConnFinalised ? MB_ERR_FREEDCTX : MB_ERR_BADCTX);
            return nullptr;
        }
        attach(c);
        return c;
    }

    // Route trace lines of this call to the connection's trace sink.
    void attach(Conn* c) {
        const mb_init_args* a = c->args;
        if (!a || !a->ccb || !a->ccb->trace) return;
        ccb_ = a->ccb;
        level_ = a->trace_level;
        if (s_.ctl.trace_once_kind != 0) {
            onceKind_ = s_.ctl.trace_once_kind;
            once_.swap(s_.ctl.trace_once);
            s_.ctl.trace_once_kind = 0;
            s_.ctl.trace_once.clear();
        }
    }

    bool tracing(int level) const { return ccb_ && level_ >= level; }

    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
        if (!tracing(level)) return;
        va_list ap;
        va_start(ap, fmt);
        traces_.push_back(formatText(fmt, ap));
        va_end(ap);
    }

    void note(mb_client_opargs* op, int st, int er, bool read) { notes_.push_back({op, st, er, read}); }

    // Releases the lock and runs the caller-thread work. Idempotent.
    void finish() {
        if (!lock_.owns_lock()) return;
        refreshControls(s_.ctl);
        lock_.unlock();
        if (ccb_) {
            if (onceKind_ == 1) ccb_->trace(ccb_->tracecbctx, "%s", once_.c_str());
            if (onceKind_ == 2) ccb_->trace(ccb_->tracecbctx, once_.c_str());
            for (const auto& t : traces_) ccb_->trace(ccb_->tracecbctx, "%s", t.c_str());
        }
        for (const auto& n : notes_) deliver(n);
    }

private:
    std::unique_lock<StateLock> lock_;
    State& s_;
    mb_rqs* rqs_;
    const char* op_;
    mb_callbacks* ccb_ = nullptr;
    int level_ = 0;
    int onceKind_ = 0;
    std::string once_;
    std::vector<std::string> traces_;
    std::vector<Note> notes_;
};

const char* nameOr(const char* name) { return name ? name : "(null)"; }

bool validName(const char* name) {
    return name && name[0] && ::strnlen(name, 256) < 256;
}

OpenEntry* findHandle(Conn* c, mb_store_handle h) {
    if (h == 0 || h > c->handles.size()) return nullptr;
    OpenEntry* e = &c->handles[h - 1];
    return e->open ? e : nullptr;
}

bool inlineCompletion(const State& s, const Conn* c) {
    return s.ctl.inline_completion || c->completion == 1;
}

// Fires the failure events armed on this connection for this region: the
// process target ends the process here; daemon targets take the region's
// primary and/or first secondary daemon down. Answers whether a daemon
// went down.
bool fireEvents(State& s, Conn* c, const char* name) {
    if (c->events.empty() || !name) return false;
    bool primary = false, secondary = false;
    for (auto it = c->events.begin(); it != c->events.end();) {
        if (it->name != name) {
            ++it;
            continue;
        }
        if (it->target == MB_EVENT_TARGET_PROCESS) ::_exit(kProcessCrashExit);
        if (it->target == MB_EVENT_TARGET_PRIMARY) primary = true;
        if (it->target == MB_EVENT_TARGET_SECONDARY) secondary = true;
        it = c->events.erase(it);
    }
    if (!primary && !secondary) return false;
    std::vector<int> where = s.backend->placement(name);
    int pd = where.size() > 0 ? where[0] : -1;
    int sd = where.size() > 1 ? where[1] : -1;
    if (primary && pd >= 0) s.backend->crash(pd);
    if (secondary && sd >= 0) s.backend->crash(sd);
    return (primary && pd >= 0) || (secondary && sd >= 0);
}

bool processEventArmed(const Conn* c, const char* name) {
    if (!name) return false;
    for (const auto& e : c->events) {
        if (e.target == MB_EVENT_TARGET_PROCESS && e.name == name) return true;
    }
    return false;
}

// Completion of one accepted block operation (the data has moved).
void complete(Call& call, Conn* c, mb_rqs* rqs, mb_client_opargs* op, bool read) {
    if (inlineCompletion(call.s(), c)) {
        op->status = MB_SUCC;
        op->error = MB_ERR_NONE;
        if (read) op->readdone = 1;
        put(rqs, MB_SUCC, MB_ERR_NONE);
    } else {
        queueNote(c, op, read);
        put(rqs, MB_INPROG, MB_ERR_NONE);
    }
}

void refuse(mb_rqs* rqs, mb_client_opargs* op, mb_error er) {
    op->status = MB_FAIL;
    op->error = er;
    put(rqs, MB_FAIL, er);
}

// A submission that follows a test script instead of the cluster.
void scripted(Call& call, Conn* c, mb_rqs* rqs, mb_client_opargs* op, bool read, const mbt_ioscript& sc) {
    if (rqs) {
        setRaw(&rqs->status, rawInt(&sc.submit_status));
        setRaw(&rqs->error, rawInt(&sc.submit_error));
    }
    int opStatus = rawInt(&sc.op_status), opError = rawInt(&sc.op_error);
    if (opStatus != 0 || opError != 0) {
        setRaw(&op->status, opStatus);
        setRaw(&op->error, opError);
    }
    if (sc.perform) {
        OpenEntry* e = findHandle(c, op->storehandle);
        if (e && (op->buffer || op->length == 0)) {
            if (read)
                call.s().backend->read(e->id, op->offset, op->buffer, op->length);
            else
                call.s().backend->write(e->id, op->offset, op->buffer, op->length);
        }
    }
    if (sc.notify_count <= 0) return;
    int st = rawInt(&sc.notify_status), er = rawInt(&sc.notify_error);
    if (sc.notify_after_waits <= 0) {
        for (int i = 0; i < sc.notify_count; ++i) call.note(op, st, er, read);
    } else {
        c->scripted.push_back({op, sc.notify_after_waits, sc.notify_count, st, er});
        c->scripted_held.store(true, std::memory_order_release);
    }
}

// The general form of mb_read / mb_write.
void blockOpLocked(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op, bool read) {
    const char* opname = read ? "mb_read" : "mb_write";
    Call call(rqs, opname);
    State& s = call.s();
    if (s.ctl.journal_on) {
        if (op) {
            call.journal("client=%d flags=%u length=%llu offset=%llu storehandle=%u key=%d", call.clientId(client),
                         op->flags, static_cast<unsigned long long>(op->length),
                         static_cast<unsigned long long>(op->offset), op->storehandle, op->key ? 1 : 0);
        } else {
            call.journal("client=%d op=(null)", call.clientId(client));
        }
    }
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!op) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    IoScript& script = read ? s.ctl.read_script : s.ctl.write_script;
    if (script.times != 0) {
        mbt_ioscript sc = script.script;
        if (script.times > 0) script.times--;
        scripted(call, c, rqs, op, read, sc);
        call.trace(3, "%s handle=%u scripted status=%d", opname, op->storehandle, rawInt(&sc.submit_status));
        return;
    }
    OpenEntry* e = findHandle(c, op->storehandle);
    if (!e) {
        refuse(rqs, op, MB_ERR_INVAL);
    } else if (!read && !e->writable) {
        refuse(rqs, op, MB_ERR_ACCESS);
    } else if (!op->buffer && op->length > 0) {
        refuse(rqs, op, MB_ERR_INVAL);
    } else {
        if (!read && !c->events.empty()) fireEvents(s, c, e->name.c_str());
        mb_error er = read ? s.backend->read(e->id, op->offset, op->buffer, op->length)
                           : s.backend->write(e->id, op->offset, op->buffer, op->length);
        if (er == MB_ERR_NONE)
            complete(call, c, rqs, op, read);
        else
            refuse(rqs, op, er);
    }
    if (call.tracing(3)) {
        call.trace(3, "%s handle=%u offset=%llu length=%llu status=%d error=%d", opname, op->storehandle,
                   static_cast<unsigned long long>(op->offset), static_cast<unsigned long long>(op->length),
                   rqs ? rawInt(&rqs->status) : 0, rqs ? rawInt(&rqs->error) : 0);
    }
}

// mb_read / mb_write: the short form when nothing but the data is asked for.
void blockOp(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op, bool read) {
    const State& s = state();
    Conn* c = s.conns.inTable(client);
    if (c && op) {
        StateLock& l = lockState();
        l.lock_shared();
        if (g_controlsActive.load(std::memory_order_relaxed) == 0 &&
            c->state.load(std::memory_order_relaxed) == kConnLive && !c->traces(3) && (read || c->events.empty())) {
            mb_error er;
            OpenEntry* e = findHandle(c, op->storehandle);
            if (!e)
                er = MB_ERR_INVAL;
            else if (!read && !e->writable)
                er = MB_ERR_ACCESS;
            else if (!op->buffer && op->length > 0)
                er = MB_ERR_INVAL;
            else
                er = read ? s.backend->read(e->id, op->offset, op->buffer, op->length)
                          : s.backend->write(e->id, op->offset, op->buffer, op->length);
            bool inl = inlineCompletion(s, c);
            l.unlock_shared();
            if (er != MB_ERR_NONE) {
                refuse(rqs, op, er);
            } else if (inl) {
                op->status = MB_SUCC;
                op->error = MB_ERR_NONE;
                if (read) op->readdone = 1;
                put(rqs, MB_SUCC, MB_ERR_NONE);
            } else {
                queueNote(c, op, read);
                put(rqs, MB_INPROG, MB_ERR_NONE);
            }
            return;
        }
        l.unlock_shared();
    }
    blockOpLocked(rqs, client, op, read);
}

template <typename Record, typename Cb>
void runListing(Call& call, void* cookie, Cb callback, std::vector<Record>& records) {
    call.finish();
    for (auto& r : records) callback(cookie, &r);
}

void traceStore(Call& call, ub1 verbose, const mb_client_storeinfo& r) {
    if (verbose)
        call.trace(1, "store %s size=%llu used=%llu primary=%d redundancy=%d nodes=0x%llx", r.name,
                   static_cast<unsigned long long>(r.size), static_cast<unsigned long long>(r.used), r.primary,
                   r.redundancy, static_cast<unsigned long long>(r.nodes));
}

enum class StoreScope { Global, Attached };

void enumerateStores(const char* opname, mb_rqs* rqs, mb_client_ctx* client, void* cookie,
                     mb_storeinfo_cb callback, ub1 verbose, StoreScope scope) {
    Call call(rqs, opname);
    call.journal("client=%d verbose=%u", call.clientId(client), static_cast<unsigned>(verbose));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!callback) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    std::vector<mb_client_storeinfo> records;
    if (call.ctl().stores_set) {
        records = call.ctl().stores;
    } else {
        if (scope == StoreScope::Attached && !call.s().backend->daemonUp(c->attached)) {
            put(rqs, MB_FAIL, MB_ERR_DDEAD);
            return;
        }
        call.s().backend->listRegions(scope == StoreScope::Global ? -1 : c->attached, &records);
    }
    for (const auto& r : records) traceStore(call, verbose, r);
    call.trace(1, "%s listed %zu regions", opname, records.size());
    put(rqs, MB_SUCC, MB_ERR_NONE);
    runListing(call, cookie, callback, records);
}

const char* const kErrorTexts[MB_ERR_LAST] = {
    "no error",
    "block not found",
    "region not found",
    "region already exists",
    "region is open",
    "region resize in progress",
    "invalid size or range",
    "block never written",
    "other failure",
    "access denied",
    "operation cancelled",
    "invalid argument",
    "not implemented",
    "truncated",
    "interrupted",
    "out of region memory",
    "receiver not ready",
    "no data",
    "timed out",
    "not found",
    "flushed",
    "daemon dead",
    "unknown failure",
    "block version mismatch",
    "authentication failed",
    "admin authentication failed",
    "configuration file not found",
    "configuration location invalid",
    "configuration file unreadable or malformed",
    "local daemon unknown",
    "local endpoint failure",
    "transport initialisation failed",
    "transport internal failure",
    "shared memory create failed",
    "shared memory attach failed",
    "shared memory detach failed",
    "shared memory remove failed",
    "shared memory stat failed",
    "shared memory invalid",
    "too few daemons for minimum copies",
    "local open failed",
    "message registration failed",
    "message unregistration failed",
    "block registration failed",
    "block unregistration failed",
    "process open failed",
    "process read failed",
    "null client context",
    "unknown client context",
    "client context already finalised",
    "instrumentation not available",
    "region deleted",
    "remote daemon dead",
    "daemon holds the last copy of a region",
    "daemon and client versions differ",
};

}  // namespace
}  // namespace mbstandin

using namespace mbstandin;

extern "C" {

void mb_get_libinfo(mb_libinfo* info) {
    {
        Call call(nullptr, "mb_get_libinfo");
        call.journalBare();
    }
    if (!info) return;
    info->mb_lib_version = "mirrorbank stand-in 1.0.0";
    info->mb_lib_blabel = "standin-embedded-cluster";
    info->mb_lib_bstamp = "mirrorbank1 stand-in build " __DATE__;
}

mb_client_ctx* mb_init(mb_rqs* rqs, mb_init_args* args) {
    Call call(rqs, "mb_init");
    Controls& ctl = call.ctl();
    if (args) {
        ctl.have_init_args = true;
        ctl.last_args = *args;
        ctl.have_init_callbacks = args->ccb != nullptr;
        if (args->ccb)
            ctl.last_callbacks = *args->ccb;
        else
            std::memset(&ctl.last_callbacks, 0, sizeof ctl.last_callbacks);
        if (ctl.journal_on) {
            char name[257];
            std::memcpy(name, args->cfg_filename, 256);
            name[256] = '\0';
            call.journal("trace_level=%d ip=0x%08x localport=0x%04x localindex=%u busywait=%u timeout=%u ccb=%d "
                         "cfg_filename=%s",
                         args->trace_level, args->ip, static_cast<unsigned>(args->localport), args->localindex,
                         args->busywait, args->timeout, args->ccb ? 1 : 0, name);
        }
    } else {
        call.journal("args=(null)");
    }
    if (call.forced()) return nullptr;
    if (!args) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return nullptr;
    }
    State& s = call.s();
    ClusterConfig cfg;
    cfg.layout = ClusterLayout::defaults(3, 1ull << 30);
    bool haveFile = args->cfg_filename[0] != '\0';
    if (haveFile) {
        if (::strnlen(args->cfg_filename, sizeof args->cfg_filename) == sizeof args->cfg_filename) {
            put(rqs, MB_FAIL, MB_ERR_CFGREAD);
            return nullptr;
        }
        mb_error er = readClusterConfig(args->cfg_filename, &cfg);
        if (er != MB_ERR_NONE) {
            put(rqs, MB_FAIL, er);
            return nullptr;
        }
        if (s.backend && !sameCluster(*s.backend, cfg)) {
            // Another cluster: only when nothing here is in use and the
            // current one keeps no regions of its own in this process.
            bool inUse = !regionsOutsideProcess(*s.backend);
            for (const Conn* k : s.conns.current()) inUse = inUse || k->live();
            if (inUse) {
                put(rqs, MB_FAIL, MB_ERR_CFGLOC);
                return nullptr;
            }
            s.backend.reset();
        }
    }
    if (!s.backend) {
        mb_error er = makeBackend(cfg, &s.backend);
        if (er != MB_ERR_NONE) {
            put(rqs, MB_FAIL, er);
            return nullptr;
        }
    }
    if (args->localindex >= static_cast<ub4>(s.backend->layout().daemons)) {
        put(rqs, MB_FAIL, MB_ERR_LOCAL);
        return nullptr;
    }
    Conn* c = s.conns.make();
    c->id = ++s.next_conn_id;
    c->args = args;
    c->local = static_cast<int>(args->localindex);
    c->attached = c->local;
    c->completion = haveFile ? cfg.completion : -1;
    call.attach(c);
    call.trace(1, "mb_init client=%d local daemon %d of %d, %s completion", c->id, c->local,
               s.backend->layout().daemons, inlineCompletion(s, c) ? "inline" : "asynchronous");
    put(rqs, MB_SUCC, MB_ERR_NONE);
    return reinterpret_cast<mb_client_ctx*>(c);
}

void mb_fini(mb_rqs* rqs, mb_client_ctx* client) {
    Call call(rqs, "mb_fini");
    call.journal("client=%d", call.clientId(client));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    for (auto& e : c->handles) {
        if (e.open) call.s().backend->close(e.id);
        e.open = false;
    }
    // Undelivered completions stay in their threads' queues; a finalised
    // connection's entries are never delivered.
    c->state.store(kConnFinalised, std::memory_order_release);
    c->scripted_held.store(false, std::memory_order_relaxed);
    std::vector<OpenEntry>().swap(c->handles);
    std::vector<ScriptNote>().swap(c->scripted);
    std::vector<ArmedEvent>().swap(c->events);
    call.trace(1, "mb_fini client=%d", c->id);
    put(rqs, MB_SUCC, MB_ERR_NONE);
}

mb_store_handle mb_openstore(mb_rqs* rqs, mb_client_ctx* client, const char* name, int32_t min_copies,
                             int32_t max_copies, ub4 flags, ub8 size, ub4 blocksize) {
    Call call(rqs, "mb_openstore");
    call.journal("client=%d min=%d max=%d flags=%u size=%llu blocksize=%u name=%s", call.clientId(client), min_copies,
                 max_copies, flags, static_cast<unsigned long long>(size), blocksize, nameOr(name));
    if (call.forced()) return 0;
    Conn* c = call.conn(client);
    if (!c) return 0;
    if (!validName(name) || (flags & ~(MB_OPEN_CREATE | MB_OPEN_READWRITE | MB_OPEN_EXCLUSIVE)) != 0) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return 0;
    }
    if (blocksize != 0 && (blocksize < kMinBlockSize || blocksize > kMaxBlockSize)) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return 0;
    }
    if (processEventArmed(c, name)) ::_exit(kProcessCrashExit);
    OpenRequest req;
    req.name = name;
    req.min_copies = min_copies;
    req.max_copies = max_copies;
    req.create = (flags & MB_OPEN_CREATE) != 0;
    req.exclusive = (flags & MB_OPEN_EXCLUSIVE) != 0;
    req.size = size ? size : kDefaultRegionSize;
    req.blocksize = blocksize ? blocksize : kDefaultBlockSize;
    req.preferred_primary = c->local;
    req.opener_pid = static_cast<uint32_t>(::getpid());
    req.opener_ip = c->args->ip ? c->args->ip : htonl(0x7f000001u);
    RegionId id = 0;
    Backend& b = *call.s().backend;
    mb_error er = b.open(req, &id);
    if (er == MB_ERR_NONE && fireEvents(call.s(), c, name)) {
        mb_client_storeinfo probe;
        mb_error alive = b.describe(id, &probe);
        if (alive != MB_ERR_NONE) {
            b.close(id);
            er = MB_ERR_DDEAD;
        }
    }
    if (er != MB_ERR_NONE) {
        call.trace(1, "mb_openstore name=%s failed error=%d", name, static_cast<int>(er));
        put(rqs, MB_FAIL, er);
        return 0;
    }
    OpenEntry e;
    e.id = id;
    e.open = true;
    e.writable = (flags & MB_OPEN_READWRITE) != 0;
    e.name = name;
    c->handles.push_back(std::move(e));
    mb_store_handle h = static_cast<mb_store_handle>(c->handles.size());
    call.trace(1, "mb_openstore name=%s handle=%u", name, h);
    put(rqs, MB_SUCC, MB_ERR_NONE);
    return h;
}

void mb_closestore(mb_rqs* rqs, mb_client_ctx* client, mb_store_handle handle, ub4 flags) {
    Call call(rqs, "mb_closestore");
    call.journal("client=%d handle=%u flags=%u", call.clientId(client), handle, flags);
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    OpenEntry* e = findHandle(c, handle);
    if (!e) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    fireEvents(call.s(), c, e->name.c_str());
    mb_error er = call.s().backend->close(e->id);
    e->open = false;
    call.trace(1, "mb_closestore handle=%u error=%d", handle, static_cast<int>(er));
    put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
}

void mb_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, mb_client_storeinfo* info) {
    Call call(rqs, "mb_get_storeinfo");
    if (call.ctl().journal_on) {
        if (info)
            call.journal("client=%d storehandle=%u", call.clientId(client), info->storehandle);
        else
            call.journal("client=%d info=(null)", call.clientId(client));
    }
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!info) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    OpenEntry* e = findHandle(c, info->storehandle);
    mb_error er = e ? call.s().backend->describe(e->id, info) : MB_ERR_INVAL;
    put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
    if (call.ctl().storeinfo_set) *info = call.ctl().storeinfo;
    call.trace(3, "mb_get_storeinfo handle=%u used=%llu error=%d", info->storehandle,
               static_cast<unsigned long long>(info->used), static_cast<int>(er));
}

void mb_read(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) { blockOp(rqs, client, op, true); }

void mb_write(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) { blockOp(rqs, client, op, false); }

static void readFenceLocked(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) {
    Call call(rqs, "mb_read_fence");
    if (call.ctl().journal_on) {
        if (op)
            call.journal("client=%d storehandle=%u", call.clientId(client), op->storehandle);
        else
            call.journal("client=%d op=(null)", call.clientId(client));
    }
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!op) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    OpenEntry* e = findHandle(c, op->storehandle);
    mb_error er = e ? call.s().backend->fence(e->id) : MB_ERR_INVAL;
    put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
    call.trace(3, "mb_read_fence handle=%u error=%d", op->storehandle, static_cast<int>(er));
}

void mb_read_fence(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) {
    Conn* c = state().conns.inTable(client);
    if (c && op) {
        StateLock& l = lockState();
        l.lock_shared();
        if (g_controlsActive.load(std::memory_order_relaxed) == 0 &&
            c->state.load(std::memory_order_relaxed) == kConnLive && !c->traces(3)) {
            OpenEntry* e = findHandle(c, op->storehandle);
            mb_error er = e ? state().backend->fence(e->id) : MB_ERR_INVAL;
            l.unlock_shared();
            put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
            return;
        }
        l.unlock_shared();
    }
    readFenceLocked(rqs, client, op);
}

static void waitLocked(mb_rqs* rqs, mb_client_ctx* client, ub4 timeout_ms, ub4 busywait_us) {
    Call call(rqs, "mb_wait");
    call.journal("client=%d timeout=%u busywait=%u", call.clientId(client), timeout_ms, busywait_us);
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    // Everything the cluster completed is ready now, so nothing here blocks.
    NoteBatch done;
    takeQueued(c, done);
    for (size_t i = 0; i < done.size(); ++i) call.note(done[i].op, MB_SUCC, MB_ERR_NONE, done[i].read);
    size_t kept = 0;
    for (size_t i = 0; i < c->scripted.size(); ++i) {
        ScriptNote& sn = c->scripted[i];
        if (--sn.waits_left <= 0) {
            for (int k = 0; k < sn.count; ++k) call.note(sn.op, sn.status, sn.error, false);
        } else {
            c->scripted[kept++] = sn;
        }
    }
    c->scripted.resize(kept);
    c->scripted_held.store(kept != 0, std::memory_order_release);
    call.trace(5, "mb_wait client=%d", c->id);
    put(rqs, MB_SUCC, MB_ERR_NONE);
}

void mb_wait(mb_rqs* rqs, mb_client_ctx* client, ub4 timeout_ms, ub4 busywait_us) {
    // The short form takes no lock: the queue is this thread's own, and the
    // connection's state and flags are atomic.
    Conn* c = state().conns.inTable(client);
    if (c && g_controlsActive.load(std::memory_order_acquire) == 0 && c->live() &&
        !c->scripted_held.load(std::memory_order_acquire) && !c->traces(5)) {
        ThreadQueue& q = tl_queue;
        if (q.size <= 1) {  // the usual case: nothing, or one operation of this connection
            QueuedNote n = q.size ? q.items[0] : QueuedNote{nullptr, nullptr, false};
            if (n.conn == c || (n.conn && !n.conn->live())) q.size = 0;
            put(rqs, MB_SUCC, MB_ERR_NONE);
            if (n.conn == c) deliverDone(n.op, n.read);
            return;
        }
        NoteBatch done;
        takeQueued(c, done);
        put(rqs, MB_SUCC, MB_ERR_NONE);
        for (size_t i = 0; i < done.size(); ++i) deliverDone(done[i].op, done[i].read);
        return;
    }
    waitLocked(rqs, client, timeout_ms, busywait_us);
}

void mb_get_local_daemon_info(mb_rqs* rqs, mb_client_ctx* client, mb_ldinfo* info) {
    Call call(rqs, "mb_get_local_daemon_info");
    call.journal("client=%d", call.clientId(client));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!info) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    mb_error er = call.s().backend->daemonFigures(c->local, info);
    put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
    if (call.ctl().ldinfo_set) *info = call.ctl().ldinfo;
    call.trace(3, "mb_get_local_daemon_info daemon=%d used=%llu", info->dindex,
               static_cast<unsigned long long>(info->used_memory));
}

const char* mb_get_error_message(mb_rqs* rqs) {
    if (!rqs) return "no request status given";
    {
        std::shared_lock<StateLock> g(lockState());
        auto& msgs = state().ctl.messages;
        if (!msgs.empty()) {
            auto it = msgs.find(rawInt(&rqs->error));
            if (it != msgs.end()) return it->second;
        }
    }
    int e = rawInt(&rqs->error);
    if (e < 0 || e >= MB_ERR_LAST) return "error code out of range";
    if (const char* detail = failureDetail(e)) return detail;
    return kErrorTexts[e];
}

void mb_event(mb_rqs* rqs, mb_client_ctx* client, int32_t arm, int32_t c1, int32_t c2, int32_t c3, int32_t target,
              int32_t c4, mb_store_handle handle, const char* store_name) {
    Call call(rqs, "mb_event");
    call.journal("client=%d arm=%d c1=%d c2=%d c3=%d target=%d c4=%d handle=%u name=%s", call.clientId(client), arm,
                 c1, c2, c3, target, c4, handle, nameOr(store_name));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if ((arm != 0 && arm != 1) || c1 != MB_EVENT_C1 || c2 != MB_EVENT_C2 || c3 != MB_EVENT_C3 || c4 != MB_EVENT_C4 ||
        target < MB_EVENT_TARGET_PRIMARY || target > MB_EVENT_TARGET_PROCESS ||
        !validName(store_name)) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    auto it = c->events.begin();
    for (; it != c->events.end(); ++it) {
        if (it->target == target && it->name == store_name) break;
    }
    if (arm == 0) {
        if (it != c->events.end()) c->events.erase(it);
        call.trace(1, "mb_event disarmed target=%d region=%s", target, store_name);
        put(rqs, MB_SUCC, MB_ERR_NONE);
        return;
    }
    if (target == MB_EVENT_TARGET_SECONDARY && call.s().backend->placement(store_name).size() < 2) {
        put(rqs, MB_FAIL, MB_ERR_NOTFOUND);
        return;
    }
    if (it == c->events.end()) c->events.push_back({store_name, target});
    call.trace(1, "mb_event armed target=%d region=%s", target, store_name);
    put(rqs, MB_SUCC, MB_ERR_NONE);
}

int32_t mb_admin_get_attached_daemon(mb_rqs* rqs, mb_client_ctx* client) {
    Call call(rqs, "mb_admin_get_attached_daemon");
    call.journal("client=%d", call.clientId(client));
    if (call.forced()) return -1;
    Conn* c = call.conn(client);
    if (!c) return -1;
    put(rqs, MB_SUCC, MB_ERR_NONE);
    return call.ctl().attached_override >= 0 ? call.ctl().attached_override : c->attached;
}

void mb_admin_attach_daemon(mb_rqs* rqs, mb_client_ctx* client, int32_t dindex) {
    Call call(rqs, "mb_admin_attach_daemon");
    call.journal("client=%d dindex=%d", call.clientId(client), dindex);
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (dindex < 0 || dindex >= call.s().backend->layout().daemons) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    if (!call.s().backend->daemonUp(dindex)) {
        put(rqs, MB_FAIL, MB_ERR_DDEAD);
        return;
    }
    c->attached = dindex;
    call.trace(1, "mb_admin_attach_daemon daemon=%d", dindex);
    put(rqs, MB_SUCC, MB_ERR_NONE);
}

void mb_admin_shutdown_daemon(mb_rqs* rqs, mb_client_ctx* client, ub4 flags) {
    Call call(rqs, "mb_admin_shutdown_daemon");
    call.journal("client=%d flags=0x%x", call.clientId(client), flags);
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    mb_error er = call.s().backend->shutdown(c->attached, flags);
    call.trace(1, "mb_admin_shutdown_daemon daemon=%d flags=0x%x error=%d", c->attached, flags, static_cast<int>(er));
    put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
}

void mb_admin_enumerate_daemons(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_daemoninfo_cb callback,
                                ub1 verbose) {
    Call call(rqs, "mb_admin_enumerate_daemons");
    call.journal("client=%d verbose=%u", call.clientId(client), static_cast<unsigned>(verbose));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!callback) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    std::vector<mb_daemon_info> records;
    if (call.ctl().daemons_set)
        records = call.ctl().daemons;
    else
        call.s().backend->listDaemons(&records);
    for (const auto& d : records) {
        if (verbose)
            call.trace(1, "daemon %d status=%d port=%u used=%llu of %llu stores=%d", d.dindex,
                       static_cast<int>(d.status), static_cast<unsigned>(d.port),
                       static_cast<unsigned long long>(d.used_memory), static_cast<unsigned long long>(d.total_memory),
                       d.number_stores);
    }
    call.trace(1, "mb_admin_enumerate_daemons listed %zu daemons", records.size());
    put(rqs, MB_SUCC, MB_ERR_NONE);
    runListing(call, cookie, callback, records);
}

void mb_admin_enumerate_global_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                                      ub1 verbose) {
    enumerateStores("mb_admin_enumerate_global_stores", rqs, client, cookie, callback, verbose, StoreScope::Global);
}

void mb_admin_enumerate_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                               ub1 verbose) {
    enumerateStores("mb_admin_enumerate_stores", rqs, client, cookie, callback, verbose, StoreScope::Attached);
}

void mb_enumerate_global_stores(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_storeinfo_cb callback,
                                ub1 verbose) {
    enumerateStores("mb_enumerate_global_stores", rqs, client, cookie, callback, verbose, StoreScope::Global);
}

void mb_admin_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, const char* name, void* cookie,
                            mb_storeinfo_cb callback, ub1 verbose) {
    Call call(rqs, "mb_admin_get_storeinfo");
    call.journal("client=%d verbose=%u name=%s", call.clientId(client), static_cast<unsigned>(verbose), nameOr(name));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!callback || !validName(name)) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    std::vector<mb_client_storeinfo> records;
    if (call.ctl().stores_set) {
        for (const auto& r : call.ctl().stores) {
            if (std::strncmp(r.name, name, sizeof r.name) == 0) records.push_back(r);
        }
    } else {
        mb_client_storeinfo info;
        std::memset(&info, 0, sizeof info);
        if (call.s().backend->describeByName(name, &info) == MB_ERR_NONE) records.push_back(info);
    }
    if (records.empty()) {
        put(rqs, MB_FAIL, MB_ERR_STORENF);
        return;
    }
    for (const auto& r : records) traceStore(call, verbose, r);
    put(rqs, MB_SUCC, MB_ERR_NONE);
    runListing(call, cookie, callback, records);
}

void mb_admin_delete_store(mb_rqs* rqs, mb_client_ctx* client, const char* name, ub1 force) {
    Call call(rqs, "mb_admin_delete_store");
    call.journal("client=%d force=%u name=%s", call.clientId(client), static_cast<unsigned>(force), nameOr(name));
    if (call.forced()) return;
    Conn* c = call.conn(client);
    if (!c) return;
    if (!validName(name)) {
        put(rqs, MB_FAIL, MB_ERR_INVAL);
        return;
    }
    Backend& b = *call.s().backend;
    bool existed = !b.placement(name).empty();
    fireEvents(call.s(), c, name);
    mb_error er = b.remove(name, force != 0);
    if (er == MB_ERR_STORENF && existed) er = MB_ERR_DDEAD;  // its last copy went with the daemon
    call.trace(1, "mb_admin_delete_store name=%s force=%u error=%d", name, static_cast<unsigned>(force),
               static_cast<int>(er));
    put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er);
}

}  // extern "C"
