// client_api.cpp - the client-library operations of libmirrorbank1.so.
//
// Each call takes the process-wide lock, does its work against the backend,
// releases the lock and only then runs what belongs to the caller's thread:
// trace lines, notifications and listing callbacks. Nothing runs on any
// other thread; no thread is ever started.
//
// The data path (mb_read, mb_write, mb_read_fence, mb_wait) has a short
// form for the common case: a live connection, no test control set, no
// trace sink at the call's level, no armed event. It holds the lock shared
// and allocates nothing. Anything else goes the general way, which
// journals, honours forced outcomes and scripts, traces and fires events.

// The exported declarations get default visibility; everything else in the
// library is hidden.
#pragma GCC visibility push(default)
#include "mirrorbank_api.h"
#include "mirrorbank_testctl.h"
#pragma GCC visibility pop

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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
                  (c.read_script.times != 0 || c.write_script.times != 0 ? 4u : 0u);
    g_controlsActive.store(on, std::memory_order_release);
}

// ---- connection records ----------------------------------------------------------

void Conn::clear() {
    token = 0;
    id = 0;
    args = nullptr;
    last_handle = 0;
    scripted_held = false;
    // Small vectors keep their storage for the slot's next connection.
    if (handles.capacity() > 16) std::vector<OpenEntry>().swap(handles);
    if (scripted.capacity() > 16) std::vector<ScriptNote>().swap(scripted);
    if (events.capacity() > 16) std::vector<ArmedEvent>().swap(events);
    handles.clear();
    scripted.clear();
    events.clear();
}

// Address space for every token the slots can carry, with no access and no
// memory behind it. As many generations per slot as the system grants
// (2^20 first); nothing else is ever mapped there, so no caller can hold a
// pointer into it that the library did not hand out.
bool ConnRegistry::reserve() {
    for (unsigned gen = 20; gen >= 8; --gen) {
        size_t bytes = size_t{1} << (kSlotBits + gen + kStrideBits);
        void* p = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) continue;
        base_ = reinterpret_cast<uintptr_t>(p);
        range_ = bytes;
        genBits_ = gen;
        return true;
    }
    return false;
}

void ConnRegistry::pushFree(Conn* c) {
    if (c->next_gen >> genBits_) return;  // generations used up: retired
    c->next_free = kNone;
    if (free_tail_ == kNone)
        free_head_ = c->slot;
    else
        chunks_[free_tail_ / kChunk][free_tail_ % kChunk].next_free = c->slot;
    free_tail_ = c->slot;
}

Conn* ConnRegistry::make() {
    if (!base_ && !reserve()) return nullptr;
    Conn* c;
    if (free_head_ != kNone) {
        c = &chunks_[free_head_ / kChunk][free_head_ % kChunk];
        free_head_ = c->next_free;
        if (free_head_ == kNone) free_tail_ = kNone;
    } else {
        if (made_ == (1u << kSlotBits)) return nullptr;
        auto& chunk = chunks_[made_ / kChunk];
        if (!chunk) chunk.reset(new Conn[kChunk]);
        c = &chunk[made_ % kChunk];
        c->slot = made_++;
    }
    uintptr_t index = (uintptr_t{c->slot} << genBits_) | c->next_gen++;
    c->token = base_ + (index << kStrideBits);
    return c;
}

mb_error ConnRegistry::notLive(const void* p) const {
    if (!p) return MB_ERR_NULLCTX;
    uintptr_t off = reinterpret_cast<uintptr_t>(p) - base_;
    if (off >= range_ || (off & ((1u << kStrideBits) - 1)) != 0) return MB_ERR_BADCTX;
    uintptr_t index = off >> kStrideBits;
    uint32_t slot = static_cast<uint32_t>(index >> genBits_);
    uint32_t gen = static_cast<uint32_t>(index & ((uintptr_t{1} << genBits_) - 1));
    if (slot >= made_) return MB_ERR_BADCTX;
    const Conn& c = chunks_[slot / kChunk][slot % kChunk];
    return gen >= c.reset_gen && gen < c.next_gen ? MB_ERR_FREEDCTX : MB_ERR_BADCTX;
}

void ConnRegistry::release(Conn* c) {
    c->clear();
    pushFree(c);
}

void ConnRegistry::dropAll() {
    free_head_ = free_tail_ = kNone;
    for (uint32_t i = 0; i < made_; ++i) {
        Conn* c = &chunks_[i / kChunk][i % kChunk];
        c->clear();
        c->reset_gen = c->next_gen;
        pushFree(c);
    }
}

void resetState() {
    State& s = state();
    s.conns.dropAll();
    s.backend.reset();
    s.next_conn_id = 0;
    s.ctl = Controls();
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

// MB_SUCC for no error, else MB_FAIL with the error.
void answer(mb_rqs* rqs, mb_error er) { put(rqs, er == MB_ERR_NONE ? MB_SUCC : MB_FAIL, er); }

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

// An accepted operation's record as its completion leaves it.
void markDone(mb_client_opargs* op, bool read) {
    op->status = MB_SUCC;
    op->error = MB_ERR_NONE;
    if (read) op->readdone = 1;
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
// thread's queue. Entries name their connection by token, so those of a
// connection that is gone (finalised, dropped) match no live connection,
// even one that reuses its record; they are never delivered and are
// discarded by the next mb_wait on the thread, or when the queue is full.
// The queue is the thread's own; it is used with the lock held (shared at
// least), which keeps the connection records it looks at still.

struct QueuedNote {
    Token conn;
    mb_client_opargs* op;
    bool read;
    PendingIo* io;  // the operation as a batching backend runs it, or null (done at submission)
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

void giveIo(PendingIo* io);

// Drops the entries of connections that are gone; grows the queue when
// that frees nothing.
__attribute__((noinline)) void makeRoom(ThreadQueue& q) {
    const ConnRegistry& conns = state().conns;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < q.size; ++i) {
        if (conns.live(reinterpret_cast<const void*>(q.items[i].conn)))
            q.items[kept++] = q.items[i];
        else
            giveIo(q.items[i].io);  // its regions were closed, which ran it, or the backend went
    }
    q.size = kept;
    if (q.size < q.cap) return;
    if (!q.items) ::pthread_setspecific(threadQueueKey(), &q);
    uint32_t cap = q.cap ? q.cap * 2 : 16;
    auto* items = static_cast<QueuedNote*>(std::realloc(q.items, cap * sizeof(QueuedNote)));
    if (!items) std::abort();
    q.items = items;
    q.cap = cap;
}

inline void queueNote(const Conn* c, mb_client_opargs* op, bool read, PendingIo* io = nullptr) {
    ThreadQueue& q = tl_queue;
    if (q.size == q.cap) makeRoom(q);
    q.items[q.size++] = QueuedNote{c->token, op, read, io};
}

// Records of operations handed to a batching backend, kept per thread for
// reuse (the thread that submits is the one that waits).
thread_local std::vector<std::unique_ptr<PendingIo>> tl_spareIo;

PendingIo* takeIo() {
    if (tl_spareIo.empty()) return new PendingIo();
    PendingIo* io = tl_spareIo.back().release();
    tl_spareIo.pop_back();
    return io;
}

void giveIo(PendingIo* io) {
    if (io) tl_spareIo.emplace_back(io);
}

// The outcome of a queued completion: success, or what its batch found.
Note noteOf(const QueuedNote& n) {
    if (!n.io || n.io->error == MB_ERR_NONE) return {n.op, MB_SUCC, MB_ERR_NONE, n.read};
    return {n.op, MB_FAIL, n.io->error, n.read};
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
    const ConnRegistry& conns = state().conns;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < q.size; ++i) {
        const QueuedNote& n = q.items[i];
        if (n.conn == c->token)
            out.push(n);
        else if (conns.live(reinterpret_cast<const void*>(n.conn)))
            q.items[kept++] = n;
        else
            giveIo(n.io);
    }
    q.size = kept;
}

// Runs the batched operations among `done` to their end (lock held).
void completeAll(State& s, const NoteBatch& done) {
    PendingIo* small[16];
    std::vector<PendingIo*> many;
    size_t n = 0;
    for (size_t i = 0; i < done.size(); ++i) {
        if (!done[i].io) continue;
        if (n < 16) small[n] = done[i].io;
        else {
            if (many.empty()) many.assign(small, small + 16);
            many.push_back(done[i].io);
        }
        ++n;
    }
    if (n > 0) s.backend->complete(many.empty() ? small : many.data(), n);
}

void deliverAll(const NoteBatch& done) {
    for (size_t i = 0; i < done.size(); ++i) {
        deliver(noteOf(done[i]));
        giveIo(done[i].io);
    }
}

thread_local std::vector<Note> tl_spareNotes;

// One library call in the general form: holds the lock exclusively from
// construction to finish(), collects what must run on the calling thread
// afterwards, and runs it.
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
    Backend& backend() { return *s_.backend; }
    Controls& ctl() { return s_.ctl; }

    // The start of every call on a connection: the journal line
    // "<op> client=<id>[ <args>]", a forced outcome, the connection check.
    // Answers the live connection, or null when the call is over (the
    // caller's mb_rqs is filled).
    Conn* enter(const mb_client_ctx* client) { return enterWith(client, std::string()); }
    Conn* enter(const mb_client_ctx* client, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
        std::string args;
        if (s_.ctl.journal_on) {
            va_list ap;
            va_start(ap, fmt);
            args = formatText(fmt, ap);
            va_end(ap);
        }
        return enterWith(client, args);
    }

    // Journal line: the operation name, then the formatted arguments.
    void journal(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!s_.ctl.journal_on) return;
        va_list ap;
        va_start(ap, fmt);
        s_.ctl.journal.push_back(std::string(op_) + ' ' + formatText(fmt, ap));
        va_end(ap);
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

    // Fills the caller's mb_rqs: MB_SUCC for no error, else MB_FAIL.
    void answer(mb_error er) { mbstandin::answer(rqs_, er); }

    // Route trace lines of this call to the connection's trace sink.
    void attach(const Conn* c) {
        const mb_init_args* a = c->args;
        if (!a || !a->ccb || !a->ccb->trace) return;
        ccb_ = a->ccb;
        level_ = a->trace_level;
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

    // Runs f, which speaks to the cluster. A backend that allows it runs it
    // with the lock held shared, so that no network I/O holds every other
    // thread up; the connection is checked again afterwards. Answers false
    // (MB_ERR_FREEDCTX answered) when the connection went meanwhile.
    template <typename F>
    bool beside(Conn* c, F&& f) {
        if (!s_.backend->concurrentAdmin()) {
            f();
            return true;
        }
        const void* token = reinterpret_cast<const void*>(c->token);
        lock_.unlock();
        lockState().lock_shared();
        bool live = s_.conns.live(token) != nullptr;
        if (live) f();
        lockState().unlock_shared();
        lock_.lock();
        if (live && s_.conns.live(token)) return true;
        answer(MB_ERR_FREEDCTX);
        return false;
    }
    // The lock let go for work that must not hold it (and taken again).
    void pause() { lock_.unlock(); }
    void resume() { lock_.lock(); }

    // Releases the lock and runs the caller-thread work. Idempotent.
    void finish() {
        if (!lock_.owns_lock()) return;
        refreshControls(s_.ctl);
        lock_.unlock();
        if (ccb_) {
            for (const auto& t : traces_) ccb_->trace(ccb_->tracecbctx, "%s", t.c_str());
        }
        for (const auto& n : notes_) deliver(n);
    }

private:
    Conn* enterWith(const mb_client_ctx* client, const std::string& args) {
        Conn* c = s_.conns.live(client);
        if (s_.ctl.journal_on) {
            std::string line = std::string(op_) + " client=" + std::to_string(c ? c->id : client ? -1 : 0);
            if (!args.empty()) line += ' ' + args;
            s_.ctl.journal.push_back(std::move(line));
        }
        if (forced()) return nullptr;
        if (!c) {
            put(rqs_, MB_FAIL, s_.conns.notLive(client));
            return nullptr;
        }
        attach(c);
        return c;
    }

    std::unique_lock<StateLock> lock_;
    State& s_;
    mb_rqs* rqs_;
    const char* op_;
    mb_callbacks* ccb_ = nullptr;
    int level_ = 0;
    std::vector<std::string> traces_;
    std::vector<Note> notes_;
};

// The short form of a data-path call: the lock held shared, and the live
// connection behind `client` when no control is active and its trace sink
// takes no line of `level`.
class ShortForm {
public:
    __attribute__((always_inline)) ShortForm(const mb_client_ctx* client, int level)
        : lock_(lockState()), s_(state()) {
        lock_.lock_shared();
        if (g_controlsActive.load(std::memory_order_relaxed) != 0) return;
        Conn* c = s_.conns.live(client);
        if (c && !c->traces(level)) c_ = c;
    }
    ~ShortForm() { unlock(); }
    ShortForm(const ShortForm&) = delete;
    ShortForm& operator=(const ShortForm&) = delete;

    Conn* conn() const { return c_; }
    State& s() const { return s_; }
    void unlock() {
        if (held_) lock_.unlock_shared();
        held_ = false;
    }

private:
    StateLock& lock_;
    State& s_;
    Conn* c_ = nullptr;
    bool held_ = true;
};

const char* nameOr(const char* name) { return name ? name : "(null)"; }

bool validName(const char* name) {
    return name && name[0] && ::strnlen(name, 256) < 256;
}

OpenEntry* findHandle(Conn* c, mb_store_handle h) {
    if (!c->handles.empty() && c->handles.back().handle == h) return &c->handles.back();  // the usual case
    auto it = std::lower_bound(c->handles.begin(), c->handles.end(), h,
                               [](const OpenEntry& e, mb_store_handle v) { return e.handle < v; });
    return it != c->handles.end() && it->handle == h ? &*it : nullptr;
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

// Moves the data of one block operation (firing the write events armed on
// its region first); MB_ERR_NONE when it is accepted.
// The open region a transfer names, or null with the refusal in *er.
inline __attribute__((always_inline)) OpenEntry* transferEntry(Conn* c, const mb_client_opargs* op, bool read,
                                                               mb_error* er) {
    OpenEntry* e = findHandle(c, op->storehandle);
    *er = !e ? MB_ERR_INVAL : !read && !e->writable ? MB_ERR_ACCESS : !op->buffer && op->length > 0 ? MB_ERR_INVAL
                                                                                                     : MB_ERR_NONE;
    return *er == MB_ERR_NONE ? e : nullptr;
}

inline __attribute__((always_inline)) mb_error move(State& s, RegionId id, const mb_client_opargs* op, bool read) {
    return read ? s.backend->read(id, op->offset, op->buffer, op->length)
                : s.backend->write(id, op->offset, op->buffer, op->length);
}

inline __attribute__((always_inline)) mb_error transfer(State& s, Conn* c, const mb_client_opargs* op, bool read) {
    mb_error er;
    OpenEntry* e = transferEntry(c, op, read, &er);
    if (!e) return er;
    if (!read && !c->events.empty()) fireEvents(s, c, e->name.c_str());
    return move(s, e->id, op, read);
}

// Answers one submission: a refusal writes the record too; an accepted
// operation completes inline or is queued for mb_wait on this thread.
inline __attribute__((always_inline)) void settle(const State& s, const Conn* c, mb_rqs* rqs, mb_client_opargs* op,
                                                  bool read, mb_error er) {
    if (er != MB_ERR_NONE) {
        op->status = MB_FAIL;
        op->error = er;
        put(rqs, MB_FAIL, er);
    } else if (inlineCompletion(s, c)) {
        markDone(op, read);
        put(rqs, MB_SUCC, MB_ERR_NONE);
    } else {
        queueNote(c, op, read);
        put(rqs, MB_INPROG, MB_ERR_NONE);
    }
}

mb_error fenceOn(State& s, Conn* c, const mb_client_opargs* op) {
    OpenEntry* e = findHandle(c, op->storehandle);
    return e ? s.backend->fence(e->id) : MB_ERR_INVAL;
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
                call.backend().read(e->id, op->offset, op->buffer, op->length);
            else
                call.backend().write(e->id, op->offset, op->buffer, op->length);
        }
    }
    if (sc.notify_count <= 0) return;
    int st = rawInt(&sc.notify_status), er = rawInt(&sc.notify_error);
    if (sc.notify_after_waits <= 0) {
        for (int i = 0; i < sc.notify_count; ++i) call.note(op, st, er, read);
    } else {
        c->scripted.push_back({op, sc.notify_after_waits, sc.notify_count, st, er});
        c->scripted_held = true;
    }
}

// The general form of mb_read / mb_write.
void blockOpLocked(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op, bool read) {
    const char* opname = read ? "mb_read" : "mb_write";
    Call call(rqs, opname);
    Conn* c = op ? call.enter(client, "flags=%u length=%llu offset=%llu storehandle=%u key=%d", op->flags,
                              static_cast<unsigned long long>(op->length), static_cast<unsigned long long>(op->offset),
                              op->storehandle, op->key ? 1 : 0)
                 : call.enter(client, "op=(null)");
    if (!c) return;
    if (!op) return call.answer(MB_ERR_INVAL);
    State& s = call.s();
    IoScript& script = read ? s.ctl.read_script : s.ctl.write_script;
    if (script.times != 0) {
        mbt_ioscript sc = script.script;
        if (script.times > 0) script.times--;
        scripted(call, c, rqs, op, read, sc);
        call.trace(3, "%s handle=%u scripted status=%d", opname, op->storehandle, rawInt(&sc.submit_status));
        return;
    }
    // Events fire with the lock held exclusively; the data moves with it
    // held shared where the backend allows it.
    mb_error er;
    if (OpenEntry* e = transferEntry(c, op, read, &er)) {
        if (!read && !c->events.empty()) fireEvents(s, c, e->name.c_str());
        RegionId id = e->id;
        if (!call.beside(c, [&] { er = move(s, id, op, read); })) return;
    }
    settle(s, c, rqs, op, read, er);
    if (call.tracing(3)) {
        call.trace(3, "%s handle=%u offset=%llu length=%llu status=%d error=%d", opname, op->storehandle,
                   static_cast<unsigned long long>(op->offset), static_cast<unsigned long long>(op->length),
                   rqs ? rawInt(&rqs->status) : 0, rqs ? rawInt(&rqs->error) : 0);
    }
}

// Hands one write to a batching backend: it runs in a later mb_wait on this
// thread, together with what this and other threads submitted meanwhile.
void submitBatched(State& s, Conn* c, mb_rqs* rqs, mb_client_opargs* op, bool read) {
    mb_error er;
    OpenEntry* e = transferEntry(c, op, read, &er);
    PendingIo* io = nullptr;
    if (e) {
        io = takeIo();
        io->id = e->id;
        io->offset = op->offset;
        io->length = op->length;
        io->buffer = op->buffer;
        io->read = read;
        er = s.backend->submit(io);
    }
    if (er != MB_ERR_NONE) {
        giveIo(io);
        return settle(s, c, rqs, op, read, er);
    }
    queueNote(c, op, read, io);
    put(rqs, MB_INPROG, MB_ERR_NONE);
}

// mb_read / mb_write: the short form when nothing but the data is asked for.
void blockOp(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op, bool read) {
    {
        ShortForm f(client, 3);
        Conn* c = f.conn();
        if (c && op && (read || c->events.empty())) {
            State& s = f.s();
            // Reads run at once (still in shared batches): one that finds
            // only never-written blocks must be refused at submission.
            if (!read && s.backend->batches() && !inlineCompletion(s, c)) return submitBatched(s, c, rqs, op, read);
            settle(s, c, rqs, op, read, transfer(s, c, op, read));
            return;
        }
    }
    blockOpLocked(rqs, client, op, read);
}

template <typename Record, typename Cb>
void runListing(Call& call, void* cookie, Cb callback, std::vector<Record>& records) {
    call.answer(MB_ERR_NONE);
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
    Conn* c = call.enter(client, "verbose=%u", static_cast<unsigned>(verbose));
    if (!c) return;
    if (!callback) return call.answer(MB_ERR_INVAL);
    std::vector<mb_client_storeinfo> records;
    if (call.ctl().stores_set) {
        records = call.ctl().stores;
    } else {
        bool up = true;
        int attached = c->attached;
        if (!call.beside(c, [&] {
                up = scope == StoreScope::Global || call.backend().daemonUp(attached);
                if (up) call.backend().listRegions(scope == StoreScope::Global ? -1 : attached, &records);
            }))
            return;
        if (!up) return call.answer(MB_ERR_DDEAD);
    }
    for (const auto& r : records) traceStore(call, verbose, r);
    call.trace(1, "%s listed %zu regions", opname, records.size());
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
        if (call.ctl().journal_on) call.ctl().journal.push_back("mb_get_libinfo");
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
        call.answer(MB_ERR_INVAL);
        return nullptr;
    }
    State& s = call.s();
    ClusterConfig cfg;
    cfg.layout = ClusterLayout::defaults(3, 1ull << 30);
    bool haveFile = args->cfg_filename[0] != '\0';
    if (haveFile) {
        if (::strnlen(args->cfg_filename, sizeof args->cfg_filename) == sizeof args->cfg_filename) {
            call.answer(MB_ERR_CFGREAD);
            return nullptr;
        }
        mb_error er = readClusterConfig(args->cfg_filename, &cfg);
        if (er != MB_ERR_NONE) {
            call.answer(er);
            return nullptr;
        }
        if (s.backend && !s.backend->sameCluster(cfg)) {
            // Another cluster: only when nothing here is in use and the
            // current one keeps no regions of its own in this process.
            bool inUse = !s.backend->regionsOutsideProcess();
            s.conns.forEachLive([&inUse](const Conn&) { inUse = true; });
            if (inUse) {
                call.answer(MB_ERR_CFGLOC);
                return nullptr;
            }
            s.backend.reset();
        }
    }
    if (!s.backend) {
        // A backend on servers is found and reached with the lock let go;
        // another thread may have made one meanwhile.
        std::unique_ptr<Backend> made;
        bool remote = cfg.backend != BackendKind::Embedded;
        if (remote) call.pause();
        mb_error er = makeBackend(cfg, &made);
        if (remote) call.resume();
        if (er != MB_ERR_NONE) {
            call.answer(er);
            return nullptr;
        }
        if (!s.backend) {
            s.backend = std::move(made);
        } else if (!s.backend->sameCluster(cfg)) {
            call.answer(MB_ERR_CFGLOC);
            return nullptr;
        }
    }
    if (args->localindex >= static_cast<ub4>(s.backend->layout().daemons)) {
        call.answer(MB_ERR_LOCAL);
        return nullptr;
    }
    Conn* c = s.conns.make();
    if (!c) {
        call.answer(MB_ERR_NOMEM);
        return nullptr;
    }
    s.next_conn_id = s.next_conn_id == INT_MAX ? 1 : s.next_conn_id + 1;
    c->id = s.next_conn_id;
    c->args = args;
    c->local = static_cast<int>(args->localindex);
    c->attached = c->local;
    c->completion = haveFile ? cfg.completion : -1;
    call.attach(c);
    call.trace(1, "mb_init client=%d local daemon %d of %d, %s completion", c->id, c->local,
               s.backend->layout().daemons, inlineCompletion(s, c) ? "inline" : "asynchronous");
    call.answer(MB_ERR_NONE);
    return reinterpret_cast<mb_client_ctx*>(c->token);
}

void mb_fini(mb_rqs* rqs, mb_client_ctx* client) {
    Call call(rqs, "mb_fini");
    Conn* c = call.enter(client);
    if (!c) return;
    std::vector<RegionId> ids;
    for (const auto& e : c->handles) ids.push_back(e.id);
    if (!call.beside(c, [&] {
            for (RegionId id : ids) call.backend().prepareClose(id);
        }))
        return;
    for (const auto& e : c->handles) call.backend().close(e.id);
    call.trace(1, "mb_fini client=%d", c->id);
    // Undelivered completions stay in their threads' queues, under a token
    // that no connection answers to any more.
    call.s().conns.release(c);
    call.answer(MB_ERR_NONE);
}

mb_store_handle mb_openstore(mb_rqs* rqs, mb_client_ctx* client, const char* name, int32_t min_copies,
                             int32_t max_copies, ub4 flags, ub8 size, ub4 blocksize) {
    Call call(rqs, "mb_openstore");
    Conn* c = call.enter(client, "min=%d max=%d flags=%u size=%llu blocksize=%u name=%s", min_copies, max_copies,
                         flags, static_cast<unsigned long long>(size), blocksize, nameOr(name));
    if (!c) return 0;
    if (!validName(name) || (flags & ~(MB_OPEN_CREATE | MB_OPEN_READWRITE | MB_OPEN_EXCLUSIVE)) != 0 ||
        (blocksize != 0 && (blocksize < kMinBlockSize || blocksize > kMaxBlockSize))) {
        call.answer(MB_ERR_INVAL);
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
    Backend& b = call.backend();
    mb_error er = MB_ERR_NONE;
    if (!call.beside(c, [&] { er = b.open(req, &id); })) {
        if (er == MB_ERR_NONE) b.close(id);  // the connection went meanwhile
        return 0;
    }
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
        call.answer(er);
        return 0;
    }
    // Handles go on counting up; after 2^32 opens on one connection they
    // wrap, passing over 0 and those still open.
    mb_store_handle h = c->last_handle;
    do {
        ++h;
    } while (h == 0 || findHandle(c, h));
    c->last_handle = h;
    OpenEntry e;
    e.handle = h;
    e.id = id;
    e.writable = (flags & MB_OPEN_READWRITE) != 0;
    e.name = name;
    auto at = std::lower_bound(c->handles.begin(), c->handles.end(), h,
                               [](const OpenEntry& x, mb_store_handle v) { return x.handle < v; });
    c->handles.insert(at, std::move(e));
    call.trace(1, "mb_openstore name=%s handle=%u", name, h);
    call.answer(MB_ERR_NONE);
    return h;
}

void mb_closestore(mb_rqs* rqs, mb_client_ctx* client, mb_store_handle handle, ub4 flags) {
    Call call(rqs, "mb_closestore");
    Conn* c = call.enter(client, "handle=%u flags=%u", handle, flags);
    if (!c) return;
    OpenEntry* e = findHandle(c, handle);
    if (!e) return call.answer(MB_ERR_INVAL);
    fireEvents(call.s(), c, e->name.c_str());
    RegionId id = e->id;
    if (!call.beside(c, [&] { call.backend().prepareClose(id); })) return;
    e = findHandle(c, handle);  // the table may have changed meanwhile
    if (!e) return call.answer(MB_ERR_INVAL);
    mb_error er = call.backend().close(e->id);
    c->handles.erase(c->handles.begin() + (e - c->handles.data()));
    call.trace(1, "mb_closestore handle=%u error=%d", handle, static_cast<int>(er));
    call.answer(er);
}

void mb_get_storeinfo(mb_rqs* rqs, mb_client_ctx* client, mb_client_storeinfo* info) {
    {
        ShortForm f(client, 3);
        if (f.conn() && info && f.s().backend->concurrentAdmin()) {
            OpenEntry* e = findHandle(f.conn(), info->storehandle);
            return answer(rqs, e ? f.s().backend->describe(e->id, info) : MB_ERR_INVAL);
        }
    }
    Call call(rqs, "mb_get_storeinfo");
    Conn* c = info ? call.enter(client, "storehandle=%u", info->storehandle) : call.enter(client, "info=(null)");
    if (!c) return;
    if (!info) return call.answer(MB_ERR_INVAL);
    OpenEntry* e = findHandle(c, info->storehandle);
    mb_error er = MB_ERR_INVAL;
    if (e) {
        RegionId id = e->id;
        if (!call.beside(c, [&] { er = call.backend().describe(id, info); })) return;
    }
    call.answer(er);
    call.trace(3, "mb_get_storeinfo handle=%u used=%llu error=%d", info->storehandle,
               static_cast<unsigned long long>(info->used), static_cast<int>(er));
}

void mb_read(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) { blockOp(rqs, client, op, true); }

void mb_write(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) { blockOp(rqs, client, op, false); }

void mb_read_fence(mb_rqs* rqs, mb_client_ctx* client, mb_client_opargs* op) {
    {
        ShortForm f(client, 3);
        if (f.conn() && op) return answer(rqs, fenceOn(f.s(), f.conn(), op));
    }
    Call call(rqs, "mb_read_fence");
    Conn* c = op ? call.enter(client, "storehandle=%u", op->storehandle) : call.enter(client, "op=(null)");
    if (!c) return;
    if (!op) return call.answer(MB_ERR_INVAL);
    mb_error er = MB_ERR_NONE;
    if (!call.beside(c, [&] { er = fenceOn(call.s(), c, op); })) return;
    call.answer(er);
    call.trace(3, "mb_read_fence handle=%u error=%d", op->storehandle, static_cast<int>(er));
}

void mb_wait(mb_rqs* rqs, mb_client_ctx* client, ub4 timeout_ms, ub4 busywait_us) {
    // Everything the cluster completed is ready now, so nothing here blocks.
    {
        ShortForm f(client, 5);
        if (f.conn() && !f.conn()->scripted_held) {
            ThreadQueue& q = tl_queue;
            if (q.size == 1 && q.items[0].conn == f.conn()->token) {  // the usual case: one operation
                QueuedNote n = q.items[0];
                q.size = 0;
                if (n.io) f.s().backend->complete(&n.io, 1);
                f.unlock();
                put(rqs, MB_SUCC, MB_ERR_NONE);
                deliver(noteOf(n));
                giveIo(n.io);
                return;
            }
            NoteBatch done;
            takeQueued(f.conn(), done);
            completeAll(f.s(), done);
            f.unlock();
            put(rqs, MB_SUCC, MB_ERR_NONE);
            deliverAll(done);
            return;
        }
    }
    Call call(rqs, "mb_wait");
    Conn* c = call.enter(client, "timeout=%u busywait=%u", timeout_ms, busywait_us);
    if (!c) return;
    NoteBatch done;
    takeQueued(c, done);
    if (!call.beside(c, [&] { completeAll(call.s(), done); })) return;
    for (size_t i = 0; i < done.size(); ++i) {
        Note n = noteOf(done[i]);
        call.note(n.op, n.status, n.error, n.read);
        giveIo(done[i].io);
    }
    size_t kept = 0;
    for (ScriptNote& sn : c->scripted) {
        if (--sn.waits_left <= 0) {
            for (int k = 0; k < sn.count; ++k) call.note(sn.op, sn.status, sn.error, false);
        } else {
            c->scripted[kept++] = sn;
        }
    }
    c->scripted.resize(kept);
    c->scripted_held = kept != 0;
    call.trace(5, "mb_wait client=%d", c->id);
    call.answer(MB_ERR_NONE);
}

void mb_get_local_daemon_info(mb_rqs* rqs, mb_client_ctx* client, mb_ldinfo* info) {
    Call call(rqs, "mb_get_local_daemon_info");
    Conn* c = call.enter(client);
    if (!c) return;
    if (!info) return call.answer(MB_ERR_INVAL);
    mb_error er = MB_ERR_NONE;
    int local = c->local;
    if (!call.beside(c, [&] { er = call.backend().daemonFigures(local, info); })) return;
    call.answer(er);
    if (call.ctl().ldinfo_set) *info = call.ctl().ldinfo;
    call.trace(3, "mb_get_local_daemon_info daemon=%d used=%llu", info->dindex,
               static_cast<unsigned long long>(info->used_memory));
}

const char* mb_get_error_message(mb_rqs* rqs) {
    if (!rqs) return "no request status given";
    int e = rawInt(&rqs->error);
    if (e < 0 || e >= MB_ERR_LAST) return "error code out of range";
    if (const char* detail = failureDetail(e)) return detail;
    return kErrorTexts[e];
}

void mb_event(mb_rqs* rqs, mb_client_ctx* client, int32_t arm, int32_t c1, int32_t c2, int32_t c3, int32_t target,
              int32_t c4, mb_store_handle handle, const char* store_name) {
    Call call(rqs, "mb_event");
    Conn* c = call.enter(client, "arm=%d c1=%d c2=%d c3=%d target=%d c4=%d handle=%u name=%s", arm, c1, c2, c3,
                         target, c4, handle, nameOr(store_name));
    if (!c) return;
    if ((arm != 0 && arm != 1) || c1 != MB_EVENT_C1 || c2 != MB_EVENT_C2 || c3 != MB_EVENT_C3 || c4 != MB_EVENT_C4 ||
        target < MB_EVENT_TARGET_PRIMARY || target > MB_EVENT_TARGET_PROCESS || !validName(store_name))
        return call.answer(MB_ERR_INVAL);
    auto it = std::find_if(c->events.begin(), c->events.end(),
                           [&](const ArmedEvent& e) { return e.target == target && e.name == store_name; });
    if (arm == 0) {
        if (it != c->events.end()) c->events.erase(it);
        call.trace(1, "mb_event disarmed target=%d region=%s", target, store_name);
        return call.answer(MB_ERR_NONE);
    }
    if (target != MB_EVENT_TARGET_PROCESS && !call.backend().daemonEventsAllowed()) return call.answer(MB_ERR_NOTIMPL);
    if (target == MB_EVENT_TARGET_SECONDARY && call.backend().placement(store_name).size() < 2)
        return call.answer(MB_ERR_NOTFOUND);
    if (it == c->events.end()) c->events.push_back({store_name, target});
    call.trace(1, "mb_event armed target=%d region=%s", target, store_name);
    call.answer(MB_ERR_NONE);
}

int32_t mb_admin_get_attached_daemon(mb_rqs* rqs, mb_client_ctx* client) {
    Call call(rqs, "mb_admin_get_attached_daemon");
    Conn* c = call.enter(client);
    if (!c) return -1;
    call.answer(MB_ERR_NONE);
    return c->attached;
}

void mb_admin_attach_daemon(mb_rqs* rqs, mb_client_ctx* client, int32_t dindex) {
    Call call(rqs, "mb_admin_attach_daemon");
    Conn* c = call.enter(client, "dindex=%d", dindex);
    if (!c) return;
    if (dindex < 0 || dindex >= call.backend().layout().daemons) return call.answer(MB_ERR_INVAL);
    bool up = false;
    if (!call.beside(c, [&] { up = call.backend().daemonUp(dindex); })) return;
    if (!up) return call.answer(MB_ERR_DDEAD);
    c->attached = dindex;
    call.trace(1, "mb_admin_attach_daemon daemon=%d", dindex);
    call.answer(MB_ERR_NONE);
}

void mb_admin_shutdown_daemon(mb_rqs* rqs, mb_client_ctx* client, ub4 flags) {
    Call call(rqs, "mb_admin_shutdown_daemon");
    Conn* c = call.enter(client, "flags=0x%x", flags);
    if (!c) return;
    mb_error er = MB_ERR_NONE;
    int attached = c->attached;
    if (!call.beside(c, [&] { er = call.backend().shutdown(attached, flags); })) return;
    call.trace(1, "mb_admin_shutdown_daemon daemon=%d flags=0x%x error=%d", c->attached, flags, static_cast<int>(er));
    call.answer(er);
}

void mb_admin_enumerate_daemons(mb_rqs* rqs, mb_client_ctx* client, void* cookie, mb_daemoninfo_cb callback,
                                ub1 verbose) {
    Call call(rqs, "mb_admin_enumerate_daemons");
    Conn* c = call.enter(client, "verbose=%u", static_cast<unsigned>(verbose));
    if (!c) return;
    if (!callback) return call.answer(MB_ERR_INVAL);
    std::vector<mb_daemon_info> records;
    if (call.ctl().daemons_set)
        records = call.ctl().daemons;
    else if (!call.beside(c, [&] { call.backend().listDaemons(&records); }))
        return;
    for (const auto& d : records) {
        if (verbose)
            call.trace(1, "daemon %d status=%d port=%u used=%llu of %llu stores=%d", d.dindex,
                       static_cast<int>(d.status), static_cast<unsigned>(d.port),
                       static_cast<unsigned long long>(d.used_memory), static_cast<unsigned long long>(d.total_memory),
                       d.number_stores);
    }
    call.trace(1, "mb_admin_enumerate_daemons listed %zu daemons", records.size());
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
    Conn* c = call.enter(client, "verbose=%u name=%s", static_cast<unsigned>(verbose), nameOr(name));
    if (!c) return;
    if (!callback || !validName(name)) return call.answer(MB_ERR_INVAL);
    std::vector<mb_client_storeinfo> records;
    if (call.ctl().stores_set) {
        for (const auto& r : call.ctl().stores) {
            if (std::strncmp(r.name, name, sizeof r.name) == 0) records.push_back(r);
        }
    } else {
        mb_client_storeinfo info;
        std::memset(&info, 0, sizeof info);
        mb_error er = MB_ERR_NONE;
        if (!call.beside(c, [&] { er = call.backend().describeByName(name, &info); })) return;
        if (er == MB_ERR_NONE) records.push_back(info);
    }
    if (records.empty()) return call.answer(MB_ERR_STORENF);
    for (const auto& r : records) traceStore(call, verbose, r);
    runListing(call, cookie, callback, records);
}

void mb_admin_delete_store(mb_rqs* rqs, mb_client_ctx* client, const char* name, ub1 force) {
    Call call(rqs, "mb_admin_delete_store");
    Conn* c = call.enter(client, "force=%u name=%s", static_cast<unsigned>(force), nameOr(name));
    if (!c) return;
    if (!validName(name)) return call.answer(MB_ERR_INVAL);
    bool existed = false;
    if (!call.beside(c, [&] { existed = !call.backend().placement(name).empty(); })) return;
    fireEvents(call.s(), c, name);
    mb_error er = MB_ERR_NONE;
    if (!call.beside(c, [&] { er = call.backend().remove(name, force != 0); })) return;
    if (er == MB_ERR_STORENF && existed) er = MB_ERR_DDEAD;  // its last copy went with the daemon
    call.trace(1, "mb_admin_delete_store name=%s force=%u error=%d", name, static_cast<unsigned>(force),
               static_cast<int>(er));
    call.answer(er);
}

}  // extern "C"
