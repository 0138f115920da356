// redis_backend.cpp - region operations of the Redis backend (see
// redis_backend.h for its parts and redis_keys.h for the keys).
#include "redis_backend.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include "sim_cluster.h"

namespace mbstandin {

namespace {

constexpr uint64_t kTopologyMs = 1000;  // replication figures are this fresh
constexpr size_t kKeysPerUnlink = 256;

uint64_t nowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// The answer of a region check: whether the region is still generation gen
// (a nil answer proves it is gone, so does another generation).
mb_error checkGeneration(Session& s, const redisReply& r, const std::string& gen, bool* gone) {
    if (r.type == REDIS_REPLY_NIL) {
        *gone = true;
        return MB_ERR_NONE;
    }
    if (r.type != REDIS_REPLY_STRING) return s.fault(r, "HGET (generation)");
    *gone = replyText(&r) != gen;
    return MB_ERR_NONE;
}

mb_error deleted(const std::string& name) { return failWith(MB_ERR_STOREDELETED, "region " + name + " was deleted"); }

}  // namespace

bool RedisBackend::Region::allKnown(uint64_t b0, uint64_t b1) const {
    if (!known) return false;
    for (uint64_t w = b0 / 64; w <= b1 / 64; ++w) {
        uint64_t lo = w == b0 / 64 ? b0 % 64 : 0, hi = w == b1 / 64 ? b1 % 64 : 63;
        uint64_t mask = (hi == 63 ? ~0ull : (1ull << (hi + 1)) - 1) & ~((1ull << lo) - 1);
        if ((known[w].load(std::memory_order_relaxed) & mask) != mask) return false;
    }
    return true;
}

void RedisBackend::Region::markKnown(uint64_t b0, uint64_t b1) {
    if (!known) return;
    for (uint64_t w = b0 / 64; w <= b1 / 64; ++w) {
        uint64_t lo = w == b0 / 64 ? b0 % 64 : 0, hi = w == b1 / 64 ? b1 % 64 : 63;
        known[w].fetch_or((hi == 63 ? ~0ull : (1ull << (hi + 1)) - 1) & ~((1ull << lo) - 1),
                          std::memory_order_relaxed);
    }
}

// ---- construction -------------------------------------------------------------------

RedisBackend::RedisBackend(const ClusterConfig& cfg)
    : rs_(cfg.redis),
      seeds_(cfg.redis.servers),
      kind_(cfg.backend),
      layout_(cfg.layout),
      keys_(cfg.redis.key_prefix),
      pool_(rs_),
      router_(cfg.backend == BackendKind::RedisCluster ? new ClusterRouter(rs_) : nullptr),
      slots_(new Slot[kMaxSlots]) {
    char host[256] = {0};
    ::gethostname(host, sizeof host - 1);
    std::random_device rd;
    char tag[64];
    std::snprintf(tag, sizeof tag, ":%d:%08x%08x", static_cast<int>(::getpid()), rd(), rd());
    hostTag_ = std::string(host) + tag;
}

RedisBackend::~RedisBackend() {
    for (uint32_t i = 0; i < slotCount_.load(); ++i) delete slots_[i].region.load();
}

mb_error RedisBackend::create(const ClusterConfig& cfg, std::unique_ptr<Backend>* out) {
    std::unique_ptr<RedisBackend> b(new RedisBackend(cfg));
    if (b->router_) {
        // The daemons are the cluster's nodes, primaries and replicas.
        std::vector<ServerAddress> nodes;
        mb_error e = b->router_->start(&nodes);
        if (e != MB_ERR_NONE) return e;
        b->rs_.servers = nodes;
        b->layout_ = ClusterLayout::defaults(static_cast<int>(nodes.size()), cfg.layout.memory);
        for (size_t i = 0; i < nodes.size(); ++i) {
            struct in_addr addr;
            ::inet_pton(AF_INET, nodes[i].host.c_str(), &addr);
            b->layout_.addresses[i].ip_net = addr.s_addr;
            b->layout_.addresses[i].port = nodes[i].port;
        }
        *out = std::move(b);
        return MB_ERR_NONE;
    }
    std::string sentinels;
    // The Sentinels know the current primary; without an answer from them the
    // configured one is tried.
    bool moved = false;
    if (!b->rs_.sentinels.empty() && !b->pool_.discover(0, b->pool_.primary(), &moved, &sentinels)) sentinels += "; ";
    else sentinels.clear();
    mb_error e = MB_ERR_NONE;
    redisContext* c = b->pool_.connectTo(b->pool_.primary(), &e);
    if (!c) return failWith(e, sentinels + (failureDetail(e) ? failureDetail(e) : ""));
    redisFree(c);
    *out = std::move(b);
    return MB_ERR_NONE;
}

bool RedisBackend::sameCluster(const ClusterConfig& cfg) const {
    return cfg.backend == kind_ && seeds_ == cfg.redis.servers && rs_.key_prefix == cfg.redis.key_prefix &&
           (router_ || layout_ == cfg.layout);
}

mb_error makeBackend(const ClusterConfig& cfg, std::unique_ptr<Backend>* out) {
    if (cfg.backend != BackendKind::Embedded) return RedisBackend::create(cfg, out);
    out->reset(new SimCluster(cfg.layout));
    return MB_ERR_NONE;
}

int RedisBackend::indexOf(const ServerAddress& a) const {
    for (size_t i = 0; i < rs_.servers.size(); ++i) {
        if (rs_.servers[i] == a) return static_cast<int>(i);
    }
    return -1;
}

RedisBackend::Region* RedisBackend::find(RegionId id) const {
    uint64_t slot = (id & 0xffffffffu) - 1;
    if (slot >= slotCount_.load(std::memory_order_acquire)) return nullptr;
    Region* r = slots_[slot].region.load(std::memory_order_acquire);
    return r && slots_[slot].uses.load(std::memory_order_relaxed) == id >> 32 ? r : nullptr;
}

mb_error RedisBackend::callFunction(Session& s, const std::function<void()>& queue) const {
    for (int attempt = 0;; ++attempt) {
        s.missingFunction = false;
        queue();
        mb_error e = s.run();
        if (!s.missingFunction || s.lost || attempt > 0) return e;
        if (!router_) {
            s.cmd(s.ok("FUNCTION LOAD"), "FUNCTION", "LOAD", "REPLACE", fn::kLibrary);
            if ((e = s.run()) != MB_ERR_NONE) return e;
            continue;
        }
        // A cluster copies functions to replicas, not to other shards: the
        // call may have been sent on to any primary.
        for (const ServerAddress& a : router_->primaries()) {
            router_->withNode(a, [](Session& p) {
                p.cmd(p.ok("FUNCTION LOAD"), "FUNCTION", "LOAD", "REPLACE", fn::kLibrary);
                return p.run();
            });
        }
    }
}

std::vector<ServerAddress> RedisBackend::primaries() const {
    return router_ ? router_->primaries() : std::vector<ServerAddress>{pool_.primary()};
}

void RedisBackend::forgetTopology() const {
    std::lock_guard<std::mutex> g(topoMu_);
    topo_.clear();
}

void RedisBackend::forgetServer(const ServerAddress& a) {
    if (router_) router_->forget(a);
    else pool_.endEpoch();
    forgetTopology();
}

// Replication figures of the session's primary (cached for a second).
RedisBackend::Topology RedisBackend::topology(Session& s, bool fresh) const {
    uint64_t now = nowMs();
    if (!fresh) {
        std::lock_guard<std::mutex> g(topoMu_);
        for (const auto& kv : topo_) {
            if (kv.first == s.address() && kv.second.taken_ms + kTopologyMs > now) return kv.second;
        }
    }
    Topology t;
    std::string info;
    bool nil = false;
    s.cmd(s.text(&info, &nil, "INFO replication"), "INFO", "replication");
    if (s.run() != MB_ERR_NONE) return t;
    t.primary = indexOf(s.address());
    if (t.primary >= 0) t.nodes |= 1ull << t.primary;
    int n = static_cast<int>(toU64(infoField(info, "connected_slaves")));
    for (int i = 0; i < n; ++i) {
        std::string line = infoField(info, "slave" + std::to_string(i));  // ip=..,port=..,state=online,...
        auto part = [&](const char* k) {
            size_t at = line.find(std::string(k) + "=");
            if (at == std::string::npos) return std::string();
            size_t from = at + std::strlen(k) + 1;
            return line.substr(from, line.find(',', from) - from);
        };
        if (part("state") != "online") continue;
        t.copies++;
        int idx = indexOf(ServerAddress{part("ip"), static_cast<uint16_t>(toU64(part("port")))});
        if (idx >= 0) t.nodes |= 1ull << idx;
    }
    t.taken_ms = now;
    std::lock_guard<std::mutex> g(topoMu_);
    for (auto& kv : topo_) {
        if (kv.first == s.address()) {
            kv.second = t;
            return t;
        }
    }
    topo_.emplace_back(s.address(), t);
    return t;
}

// ---- open and close -------------------------------------------------------------------

mb_error RedisBackend::open(const OpenRequest& req, RegionId* out) {
    clearFailureDetail();
    *out = 0;
    int32_t minc = req.min_copies <= 0 ? 1 : req.min_copies;
    int32_t maxc = req.max_copies <= 0 ? std::max(minc, 2) : req.max_copies;
    if (maxc < minc) return MB_ERR_INVAL;
    // A Redis bitmap addresses 2^32 bits; bit 8 + b marks block b.
    if (req.create && (req.size + req.blocksize - 1) / req.blocksize > kMaxBlocks)
        return failWith(MB_ERR_INVSIZ, "a region kept on Redis has at most " + std::to_string(kMaxBlocks) +
                                           " blocks; " + std::to_string(req.size) + " bytes in blocks of " +
                                           std::to_string(req.blocksize) + " are more");
    std::string name(req.name);
    auto r = std::make_unique<Region>();
    r->name = name;
    r->meta = keys_.meta(name);
    r->openers = keys_.openers(name);
    r->opener = hostTag_ + ":" + std::to_string(opens_.fetch_add(1) + 1);
    r->slot = KeyLayout::slot(name);
    std::random_device rd;
    char gen[24];
    std::snprintf(gen, sizeof gen, "%08x%08x", rd(), rd());
    mb_error opened = onSlot(r->slot, [&](Session& s) -> mb_error {
        if (req.create && minc > 1) {
            int copies = topology(s, true).copies;
            if (s.lost) return MB_ERR_DDEAD;
            if (copies < minc)
                return failWith(MB_ERR_OPENMIN, "fewer live Redis servers than the minimum of " +
                                                    std::to_string(minc) + " copies");
        }
        uint64_t now = nowSeconds(), ms = nowMs();
        char ip[INET_ADDRSTRLEN] = "0.0.0.0";
        struct in_addr a;
        a.s_addr = req.opener_ip;
        ::inet_ntop(AF_INET, &a, ip, sizeof ip);
        long long code = 0;
        std::vector<std::string> got;
        mb_error e = callFunction(s, [&] {
            s.cmd([&](const redisReply& rep) {
                if (rep.type == REDIS_REPLY_ARRAY && rep.elements == 1 && isInteger(rep.element[0])) {
                    code = rep.element[0]->integer;
                    return MB_ERR_NONE;
                }
                if (rep.type != REDIS_REPLY_ARRAY || rep.elements != 4) return s.fault(rep, "FCALL (open)");
                got.clear();
                for (size_t i = 0; i < 4; ++i) got.push_back(replyText(rep.element[i]));
                return MB_ERR_NONE;
            }, "FCALL", fn::kOpen, "3", r->meta, r->openers, keys_.bits(name, gen), req.create ? "1" : "0",
                  req.exclusive ? "1" : "0", req.size, uint64_t{req.blocksize}, uint64_t(minc), uint64_t(maxc), now,
                  r->opener, ms + rs_.lease_seconds * 1000ull, uint64_t{req.opener_pid}, ip, ms, gen);
        });
        if (e != MB_ERR_NONE) return e;
        if (code == -1) return MB_ERR_STOREEXISTS;
        if (code == -2) return MB_ERR_STORENF;
        if (got.size() != 4) return failWith(MB_ERR_OTHER, "Redis server " + s.server() + " answered the open oddly");
        r->gen = got[0];
        r->size = toU64(got[1]);
        r->blocksize = static_cast<uint32_t>(toU64(got[2]));
        r->minc = static_cast<int32_t>(toU64(got[3]));
        if (r->gen.empty() || r->blocksize == 0) return failWith(MB_ERR_OTHER, "region " + name + " has damaged metadata");
        r->renew_at_ms = ms + rs_.lease_seconds * 500ull;
        return MB_ERR_NONE;
    });
    if (opened != MB_ERR_NONE) return opened;
    uint64_t nblocks = (r->size + r->blocksize - 1) / r->blocksize;
    if (nblocks <= kKnownBlocksMax) {
        r->known.reset(new std::atomic<uint64_t>[(nblocks + 63) / 64]());
        r->nblocks = nblocks;
    }
    r->bits = keys_.bits(name, r->gen);
    r->chunkBase = keys_.chunkBase(name, r->gen);
    std::lock_guard<std::mutex> g(slotMu_);
    uint32_t slot = slotCount_.load(std::memory_order_relaxed);
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else if (slot == kMaxSlots) {
        Region* gone = r.get();
        releaseRemote(0, gone);
        return failWith(MB_ERR_NOMEM, "more than " + std::to_string(kMaxSlots) + " regions open in this process");
    }
    Slot& sl = slots_[slot];
    sl.region.store(r.release(), std::memory_order_release);
    if (slot == slotCount_.load(std::memory_order_relaxed)) slotCount_.store(slot + 1, std::memory_order_release);
    *out = (uint64_t{sl.uses.load(std::memory_order_relaxed)} << 32) | (slot + 1);
    return MB_ERR_NONE;
}

// Runs the region's queued operations (no batch runs beside this: the caller
// holds the surface's lock) and gives its lease back; once only.
void RedisBackend::releaseRemote(RegionId id, Region* r) {
    if (r->released.exchange(true)) return;
    std::vector<PendingIo*> queued;
    if (id != 0) {
        std::lock_guard<std::mutex> g(batchMu_);
        for (const Lane& lane : lanes_) {
            for (PendingIo* op : lane.queue) {
                if (op->id == id) queued.push_back(op);
            }
        }
    }
    if (!queued.empty()) complete(queued.data(), queued.size());
    // A lease left behind (server unreachable) expires on its own.
    onSlot(r->slot, [&](Session& s) {
        s.cmd(s.ok("ZREM (lease)"), "ZREM", r->openers, r->opener);
        return s.run();
    });
    clearFailureDetail();
}

void RedisBackend::prepareClose(RegionId id) {
    if (Region* r = find(id)) releaseRemote(id, r);
}

mb_error RedisBackend::close(RegionId id) {
    clearFailureDetail();
    Region* r = find(id);
    if (!r) return MB_ERR_INVAL;
    releaseRemote(id, r);
    uint32_t slot = static_cast<uint32_t>((id & 0xffffffffu) - 1);
    Slot& sl = slots_[slot];  // no data operation runs beside a close
    sl.region.store(nullptr, std::memory_order_release);
    sl.uses.fetch_add(1, std::memory_order_relaxed);
    delete r;
    std::lock_guard<std::mutex> g(slotMu_);
    freeSlots_.push_back(slot);
    return MB_ERR_NONE;
}

// ---- data path ------------------------------------------------------------------------

void RedisBackend::queueLease(Session& s, Region& r, Step* st) const {
    uint64_t ms = nowMs();
    if (ms < r.renew_at_ms.load(std::memory_order_relaxed)) return;
    r.renew_at_ms.store(ms + rs_.lease_seconds * 500ull, std::memory_order_relaxed);
    s.cmdFor(st, s.ok("ZADD (lease)"), "ZADD", r.openers,
          ms + rs_.lease_seconds * 1000ull, r.opener);
}

// Stamps mtime (write) or atime (read), at most once a second per handle.
// st->mark becomes 1 (stamped: the region is this generation), -1 (another
// generation or none) or stays 0. A server that lacks the library gets it
// at the end of the batch; the stamp waits for the next call.
void RedisBackend::queueMark(Session& s, Region& r, bool write, Step* st) const {
    uint64_t now = nowSeconds();
    if (now == (write ? r.mtime_sent : r.atime_sent).load(std::memory_order_relaxed)) return;
    int* answer = &st->mark;
    s.cmd([&s, &r, write, now, answer](const redisReply& rep) {
        if (rep.type == REDIS_REPLY_INTEGER) {
            *answer = rep.integer > 0 ? 1 : -1;
            if (rep.integer > 0) (write ? r.mtime_sent : r.atime_sent).store(now, std::memory_order_relaxed);
            return MB_ERR_NONE;
        }
        // A stamp that failed is tried again at the next call and fails no
        // operation; what the reply says of the server (a replica now, no
        // functions) is acted on all the same.
        s.fault(rep, "FCALL (time stamp)");
        if (s.missingFunction) s.cmd(s.ok("FUNCTION LOAD"), "FUNCTION", "LOAD", "REPLACE", fn::kLibrary);
        return MB_ERR_NONE;
    }, "FCALL", fn::kMark, "1", r.meta, r.gen, write ? now : 0, write ? 0 : now);
}

RedisBackend::Region* RedisBackend::transferRegion(RegionId id, uint64_t offset, uint64_t length,
                                                   mb_error* er) const {
    clearFailureDetail();
    Region* r = find(id);
    *er = !r ? MB_ERR_INVAL
          : offset > r->size || length > r->size - offset ? MB_ERR_INVSIZ
                                                           : MB_ERR_NONE;
    return *er != MB_ERR_NONE || length == 0 ? nullptr : r;
}

// ---- batches ----------------------------------------------------------------------------

namespace {
constexpr size_t kBatchOps = 128;            // operations in one round trip at most
constexpr uint64_t kBatchBytes = 8u << 20;  // ... and data, unless one operation is larger
}  // namespace

mb_error RedisBackend::submit(PendingIo* op) {
    mb_error er;
    op->error = MB_ERR_NONE;
    op->detail = nullptr;
    op->done = false;
    Region* r = transferRegion(op->id, op->offset, op->length, &er);
    if (!r) {
        op->done = er == MB_ERR_NONE;  // nothing to move
        return er;
    }
    op->lane = router_ ? router_->lane(r->slot) % kLanes : 0;
    std::lock_guard<std::mutex> g(batchMu_);
    lanes_[op->lane].queue.push_back(op);
    return MB_ERR_NONE;
}

void RedisBackend::complete(PendingIo* const* ops, size_t n) {
    std::unique_lock<std::mutex> g(batchMu_);
    for (;;) {
        // A lane of a pending operation that nobody runs: run its next
        // batch. When every such lane is being run, wait for one to finish.
        Lane *lead = nullptr, *busy = nullptr;
        bool pending = false;
        for (size_t i = 0; i < n && !lead; ++i) {
            if (ops[i]->done) continue;
            pending = true;
            Lane& lane = lanes_[ops[i]->lane];
            if (lane.leading) busy = busy ? busy : &lane;
            else if (!lane.queue.empty()) lead = &lane;
        }
        if (!pending) break;
        if (!lead) {
            if (!busy) break;  // not submitted: nothing to wait for
            busy->done.wait(g);  // only batches of that lane wake this thread
            continue;
        }
        thread_local std::vector<PendingIo*> batch;  // reused: no allocation per batch
        batch.clear();
        uint64_t bytes = 0;
        std::deque<PendingIo*>& q = lead->queue;
        while (!q.empty() && batch.size() < kBatchOps && (batch.empty() || bytes + q.front()->length <= kBatchBytes)) {
            bytes += q.front()->length;
            batch.push_back(q.front());
            q.pop_front();
        }
        lead->leading = true;
        g.unlock();
        runBatch(batch);
        g.lock();
        for (PendingIo* op : batch) op->done = true;
        lead->leading = false;
        lead->done.notify_all();
    }
    g.unlock();
    // The texts of failures found by whichever thread ran the batch, for
    // mb_get_error_message on this one.
    for (size_t i = 0; i < n; ++i) {
        if (ops[i]->error != MB_ERR_NONE && ops[i]->detail) keepFailureDetail(ops[i]->error, ops[i]->detail);
    }
}

mb_error RedisBackend::transferOne(RegionId id, uint64_t offset, void* buf, uint64_t length, bool read) {
    PendingIo op;
    op.id = id;
    op.offset = offset;
    op.length = length;
    op.buffer = buf;
    op.read = read;
    mb_error e = submit(&op);
    if (e != MB_ERR_NONE || op.done) return e;
    PendingIo* one = &op;
    complete(&one, 1);
    return op.error;
}

mb_error RedisBackend::write(RegionId id, uint64_t offset, const void* src, uint64_t length) {
    return transferOne(id, offset, const_cast<void*>(src), length, false);
}

mb_error RedisBackend::read(RegionId id, uint64_t offset, void* dst, uint64_t length) {
    return transferOne(id, offset, dst, length, true);
}

void RedisBackend::runBatch(const std::vector<PendingIo*>& ops) {
    thread_local std::vector<Step> steps;  // the batch runner's, reused
    steps.assign(ops.size(), Step{});
    const uint64_t waitMs = std::max<uint32_t>(1, rs_.command_timeout_ms * 3 / 4);
    const Region* first = find(ops.front()->id);
    mb_error e = onSlot(first ? first->slot : 0, [&](Session& s) -> mb_error {
        uint64_t want = 0;
        for (size_t i = 0; i < ops.size(); ++i) {
            steps[i] = Step{};
            steps[i].io = ops[i];
            steps[i].r = find(ops[i]->id);
        }
        // Of several writes to one region, the last one's generation check
        // comes after all of their data: it answers for them all.
        for (size_t i = 0; i < ops.size(); ++i) {
            if (!steps[i].r || ops[i]->read) continue;
            for (size_t j = ops.size(); j-- > i + 1;) {
                if (steps[j].r == steps[i].r && !ops[j]->read) {
                    steps[i].checkedBy = &steps[j];
                    break;
                }
            }
        }
        for (size_t i = 0; i < ops.size(); ++i) {
            Step& st = steps[i];
            if (!st.r) {
                st.err = MB_ERR_INVAL;
            } else if (ops[i]->read) {
                queueRead(s, st);
            } else {
                queueWrite(s, st);
                if (st.r->minc > 1) want = std::max<uint64_t>(want, static_cast<uint64_t>(st.r->minc - 1));
            }
        }
        // One WAIT answers for every write before it on this connection.
        long long acked = 0;
        if (want > 0) s.cmd(s.integer(&acked, "WAIT"), "WAIT", want, waitMs);
        mb_error re = s.run();
        if (s.lost) return re;
        for (Step& st : steps) {
            if (st.err != MB_ERR_NONE) continue;
            if (Step* by = st.checkedBy; by && !st.known) {
                st.checkedBy = nullptr;  // it checked for itself
            } else if (by && !by->checked) {  // the check that answers for it failed
                st.err = by->err != MB_ERR_NONE ? by->err : MB_ERR_OTHER;
                st.detail = by->err != MB_ERR_NONE ? by->detail : "the region could not be checked";
                continue;
            } else if (by) {
                st.gone = by->gone;
            }
            if (re != MB_ERR_NONE && !st.io->read && st.r->minc > 1) {  // the WAIT itself failed
                st.err = re;
                st.detail = failureDetail(re);
            } else if (st.io->read) {
                settleRead(s, st);
            } else {
                settleWrite(s, st, acked, waitMs);
            }
        }
        re = s.run();  // what settling asked for, if anything
        if (s.lost) return re;
        for (Step& st : steps) {
            if (st.err != MB_ERR_NONE || !st.io->read) continue;
            const uint64_t b0 = st.io->offset / st.r->blocksize, b1 = (st.io->offset + st.io->length - 1) / st.r->blocksize;
            if (st.gone) {
                st.err = deleted(st.r->name);
                st.detail = failureDetail(st.err);
            } else if (st.written == 0) {
                st.err = MB_ERR_EMPTYBLOCK;
            } else if (!st.known && static_cast<uint64_t>(st.written) == b1 - b0 + 1) {
                st.r->markKnown(b0, b1);
            }
        }
        return MB_ERR_NONE;
    });
    for (size_t i = 0; i < ops.size(); ++i) {
        ops[i]->error = e != MB_ERR_NONE ? e : steps[i].err;
        ops[i]->detail = e != MB_ERR_NONE ? failureDetail(e) : steps[i].detail;
    }
}

// A write's commands: chunk updates, block bits, lease, time stamp, then the
// check that the region is still this generation (after the data, so that a
// delete that came before any of it is seen). Block b is bit b + 8 of the
// bitmap; bit 0 is set when the region is made and goes with its deletion,
// so the command that sets the last block's bit reads it too. A write to
// blocks this process knows written reads the generation instead.
void RedisBackend::queueWrite(Session& s, Step& st) {
    Region& r = *st.r;
    const uint64_t offset = st.io->offset, end = offset + st.io->length;
    const auto* p = static_cast<const char*>(st.io->buffer);
    st.replicas = r.minc - 1;  // commands sent on to another node need them there too
    s.reserve(512 + (st.io->length < RespWriter::kDirectBytes ? st.io->length : 0));
    for (uint64_t pos = offset; pos < end;) {
        uint64_t c = pos / kChunkBytes, in = pos % kChunkBytes, n = std::min(kChunkBytes - in, end - pos);
        s.cmdFor(&st, s.ok("SETRANGE"), "SETRANGE", Session::KeyNum{r.chunkBase, c}, in,
              Session::Bytes{p + (pos - offset), n});
        pos += n;
    }
    const uint64_t b0 = offset / r.blocksize, last = (end - 1) / r.blocksize;
    st.known = r.allKnown(b0, last);  // bits this process has seen set stay set
    const uint64_t lastBit = last + kBlockBit0;
    if (!st.known) {
        uint64_t b = b0 + kBlockBit0;
        for (; b < lastBit && b % 8 != 0; ++b) s.cmdFor(&st, s.ok("SETBIT"), "SETBIT", r.bits, b, "1");
        if (uint64_t full = b < lastBit ? (lastBit - b) / 8 : 0) {
            s.cmdFor(&st, s.ok("SETRANGE (bits)"), "SETRANGE", r.bits, b / 8, std::string(full, '\xff'));
            b += full * 8;
        }
        for (; b < lastBit; ++b) s.cmdFor(&st, s.ok("SETBIT"), "SETBIT", r.bits, b, "1");
    }
    queueLease(s, r, &st);
    queueMark(s, r, true, &st);
    if (st.known && !st.checkedBy) {
        s.cmdFor(&st, [&s, &st](const redisReply& rep) {
            mb_error e = checkGeneration(s, rep, st.r->gen, &st.gone);
            st.checked = e == MB_ERR_NONE;
            return e;
        }, "HGET", r.meta, "gen");
    } else if (!st.known) {
        s.cmdFor(&st, [&s, &st](const redisReply& rep) {
            if (rep.type != REDIS_REPLY_ARRAY || rep.elements != 2 || !isInteger(rep.element[1]))
                return s.fault(rep, "BITFIELD");
            st.gone = rep.element[1]->integer == 0;  // the region's bit 0 is gone with it
            st.checked = true;
            return MB_ERR_NONE;
        }, "BITFIELD", r.bits, "SET", "u1", lastBit, "1", "GET", "u1", "0");
    }
}

void RedisBackend::settleWrite(Session& s, Step& st, long long acked, uint64_t waitMs) {
    Region& r = *st.r;
    const uint64_t offset = st.io->offset, end = offset + st.io->length;
    if (st.gone) {
        // Deleted under us: take back what this write left, keys of this
        // generation only.
        for (uint64_t c = offset / kChunkBytes; c <= (end - 1) / kChunkBytes; ++c)
            s.cmd(s.ok("UNLINK"), "UNLINK", Session::KeyNum{r.chunkBase, c});
        s.cmd(s.ok("UNLINK"), "UNLINK", r.bits);
        s.cmd(s.ok("ZREM (lease)"), "ZREM", r.openers, r.opener);
        st.err = deleted(r.name);
        st.detail = failureDetail(st.err);
        return;
    }
    if (!st.known) r.markKnown(offset / r.blocksize, (end - 1) / r.blocksize);
    const long long want = r.minc - 1;
    if (want > 0 && acked < want) {
        st.err = failWith(MB_ERR_TIMEDOUT, "write to region " + r.name + " reached " + std::to_string(acked) + " of " +
                                               std::to_string(want) + " replicas within " + std::to_string(waitMs) +
                                               " ms; it is not acknowledged");
        st.detail = failureDetail(st.err);
        return;
    }
    uint64_t seen = r.writtenEnd.load(std::memory_order_relaxed);
    while (seen < end && !r.writtenEnd.compare_exchange_weak(seen, end, std::memory_order_relaxed)) {
    }
    r.writtenAt.store(nowSeconds(), std::memory_order_relaxed);
    r.writes.fetch_add(1, std::memory_order_release);
}

// A read's commands: the touched blocks' bits (unless this process knows
// them all written), the chunk ranges, the lease when due. A reply shorter
// than asked for, or no written block, takes a second round trip to tell a
// deleted region from never-written bytes.
void RedisBackend::queueRead(Session& s, Step& st) {
    Region& r = *st.r;
    const uint64_t offset = st.io->offset, end = offset + st.io->length;
    const uint64_t b0 = offset / r.blocksize, b1 = (end - 1) / r.blocksize;
    st.known = r.allKnown(b0, b1);
    if (!st.known)
        s.cmdFor(&st, s.integer(&st.written, "BITCOUNT"), "BITCOUNT", r.bits, b0 + kBlockBit0, b1 + kBlockBit0, "BIT");
    auto* out = static_cast<char*>(st.io->buffer);
    for (uint64_t pos = offset; pos < end;) {
        uint64_t c = pos / kChunkBytes, in = pos % kChunkBytes, n = std::min(kChunkBytes - in, end - pos);
        char* to = out + (pos - offset);
        s.cmdFor(&st, [&s, &st, to, n](const redisReply& rep) {
            if (rep.type != REDIS_REPLY_STRING) return s.fault(rep, "GETRANGE");
            size_t got = std::min<size_t>(rep.len, n);
            std::memcpy(to, rep.str, got);
            std::memset(to + got, 0, n - got);
            st.shortReply = st.shortReply || got < n;
            return MB_ERR_NONE;
        }, "GETRANGE", Session::KeyNum{r.chunkBase, c}, in, in + n - 1);
        pos += n;
    }
    queueLease(s, r, &st);
    queueMark(s, r, false, &st);
}

void RedisBackend::settleRead(Session& s, Step& st) {
    if (st.mark < 0) {
        st.gone = true;
    } else if ((st.shortReply || st.written == 0) && st.mark == 0) {
        s.cmdFor(&st, [&s, &st](const redisReply& rep) { return checkGeneration(s, rep, st.r->gen, &st.gone); },
              "HGET", st.r->meta, "gen");
    }
}

mb_error RedisBackend::fence(RegionId id) {
    // Reads are served by the primary, which has applied every write it
    // acknowledged: a fence only has to find the region still there.
    clearFailureDetail();
    Region* r = find(id);
    if (!r) return MB_ERR_INVAL;
    return onSlot(r->slot, [&](Session& s) -> mb_error {
        queueLease(s, *r, nullptr);
        bool gone = false;
        s.cmd([&](const redisReply& rep) { return checkGeneration(s, rep, r->gen, &gone); }, "HGET", r->meta, "gen");
        mb_error e = s.run();
        return e != MB_ERR_NONE ? e : gone ? deleted(r->name) : MB_ERR_NONE;
    });
}

// ---- describing and deleting ------------------------------------------------------------

// Fills a record from the region's metadata and leases (storehandle and
// state untouched). With gen given (an open handle's), the region must
// still be that generation (MB_ERR_STOREDELETED) and everything comes in one
// round trip.
mb_error RedisBackend::fill(Session& s, const std::string& name, const std::string& gen,
                            mb_client_storeinfo* out) const {
    std::vector<std::pair<std::string, std::string>> meta;
    long long opens = 0, bitsLen = 0;
    std::string last;
    bool nil = false;
    auto queueBits = [&](const std::string& g) {
        s.cmd(s.integer(&bitsLen, "STRLEN (bits)"), "STRLEN", keys_.bits(name, g));
        s.cmd(s.text(&last, &nil, "GETRANGE (bits)"), "GETRANGE", keys_.bits(name, g), "-1", "-1");
    };
    s.cmd([&](const redisReply& rep) {
        if (rep.type != REDIS_REPLY_ARRAY) return s.fault(rep, "HGETALL");
        meta.clear();
        for (size_t i = 0; i + 1 < rep.elements; i += 2)
            meta.emplace_back(replyText(rep.element[i]), replyText(rep.element[i + 1]));
        return MB_ERR_NONE;
    }, "HGETALL", keys_.meta(name));
    s.cmd(s.integer(&opens, "ZCOUNT"), "ZCOUNT", keys_.openers(name), nowMs(), "+inf");
    if (!gen.empty()) queueBits(gen);
    mb_error e = s.run();
    if (e != MB_ERR_NONE) return e;
    auto text = [&](const char* f) {
        for (const auto& kv : meta) {
            if (kv.first == f) return kv.second;
        }
        return std::string();
    };
    auto field = [&](const char* f) { return toU64(text(f)); };
    if (meta.empty()) return gen.empty() ? MB_ERR_STORENF : deleted(name);
    if (!gen.empty() && text("gen") != gen) return deleted(name);
    const std::string g = gen.empty() ? text("gen") : gen;
    if (gen.empty()) {
        queueBits(g);
        if ((e = s.run()) != MB_ERR_NONE) return e;
    }
    // used: the highest existing chunk under the highest written block
    // (see highestBlock), else that block's start.
    uint64_t used = 0, lo = 0, c0 = 0, c1 = 0;
    if (highestBlock(static_cast<uint64_t>(std::max(0LL, bitsLen)), last.empty() ? 0 : static_cast<unsigned char>(last[0]),
                     field("bs"), field("size"), &lo, &c0, &c1)) {
        std::vector<long long> lens(c1 - c0 + 1);
        const std::string base = keys_.chunkBase(name, g);
        for (uint64_t c = c0; c <= c1; ++c)
            s.cmd(s.integer(&lens[c - c0], "STRLEN (chunk)"), "STRLEN", Session::KeyNum{base, c});
        if ((e = s.run()) != MB_ERR_NONE) return e;
        used = lo;
        for (uint64_t c = c1 + 1; c-- > c0;) {
            if (lens[c - c0] > 0) {
                used = c * kChunkBytes + static_cast<uint64_t>(lens[c - c0]);
                break;
            }
        }
    }
    Topology t = topology(s, false);
    std::memset(out->name, 0, sizeof out->name);
    std::strncpy(out->name, name.c_str(), sizeof out->name - 1);
    out->size = field("size");
    out->used = used;
    out->blocksize = static_cast<ub4>(field("bs"));
    out->ctime = field("ctime");
    out->mtime = field("mtime");
    out->atime = field("atime");
    out->primary = t.primary;
    out->open = opens > 0;
    out->local = out->open;
    out->pid = static_cast<ub4>(field("pid"));
    std::string ip = text("ip");
    struct in_addr a;
    out->ip = ::inet_pton(AF_INET, ip.c_str(), &a) == 1 ? a.s_addr : 0;
    out->minredundancy = static_cast<int32_t>(field("minc"));
    out->redundancy = t.copies;
    out->nodes = t.nodes;
    return MB_ERR_NONE;
}

// Right after a write of this process (within a second of the last full
// describe) the answer comes from that describe and the writes since: used
// is at least the end of every acknowledged write, so it never falls behind
// a write just made, and no round trip is spent. Otherwise it is asked.
mb_error RedisBackend::describe(RegionId id, mb_client_storeinfo* out) const {
    clearFailureDetail();
    Region* r = find(id);
    if (!r) return MB_ERR_INVAL;
    const uint64_t now = nowMs(), writes = r->writes.load(std::memory_order_acquire);
    {
        std::lock_guard<std::mutex> g(r->cacheMu);
        if (r->cacheAtMs != 0 && now < r->cacheAtMs + kTopologyMs && writes != r->cacheWrites) {
            mb_store_handle handle = out->storehandle;
            mb_client_opstate* state = out->state;
            *out = r->cache;
            out->storehandle = handle;
            out->state = state;
            out->used = std::max<uint64_t>(out->used, r->writtenEnd.load(std::memory_order_relaxed));
            out->mtime = std::max<uint64_t>(out->mtime, r->writtenAt.load(std::memory_order_relaxed));
            return MB_ERR_NONE;
        }
    }
    mb_error e = onSlot(r->slot, [&](Session& s) -> mb_error {
        queueLease(s, *r, nullptr);
        mb_error le = s.run();
        return le != MB_ERR_NONE ? le : fill(s, r->name, r->gen, out);
    });
    if (e == MB_ERR_NONE) {
        std::lock_guard<std::mutex> g(r->cacheMu);
        r->cache = *out;
        r->cacheAtMs = now;
        r->cacheWrites = writes;
    }
    return e == MB_ERR_STORENF ? MB_ERR_STOREDELETED : e;
}

mb_error RedisBackend::describeByName(const char* name, mb_client_storeinfo* out) const {
    clearFailureDetail();
    mb_error e = onSlot(KeyLayout::slot(name), [&](Session& s) { return fill(s, name, std::string(), out); });
    out->storehandle = 0;
    out->state = nullptr;
    return e;
}

std::vector<int> RedisBackend::placement(const char* name) const {
    std::vector<int> v;
    onSlot(KeyLayout::slot(name), [&](Session& s) -> mb_error {
        long long exists = 0;
        s.cmd(s.integer(&exists, "EXISTS"), "EXISTS", keys_.meta(name));
        mb_error e = s.run();
        if (e != MB_ERR_NONE || exists == 0) return e;
        Topology t = topology(s, true);
        if (t.primary >= 0) v.push_back(t.primary);
        for (int i = 0; i < layout_.daemons; ++i) {
            if (i != t.primary && (t.nodes >> i & 1)) v.push_back(i);
        }
        return MB_ERR_NONE;
    });
    return v;
}

mb_error RedisBackend::remove(const char* name, bool force) {
    clearFailureDetail();
    return onSlot(KeyLayout::slot(name), [&](Session& s) -> mb_error {
        std::string gen;
        long long code = 0, bitsLen = 0, last = 0, bs = 0, size = 0;
        for (int attempt = 0;; ++attempt) {  // again when the name was deleted and made anew meanwhile
            bool nil = false;
            s.cmd(s.text(&gen, &nil, "HGET (generation)"), "HGET", keys_.meta(name), "gen");
            mb_error e = s.run();
            if (e != MB_ERR_NONE) return e;
            if (nil) return MB_ERR_STORENF;
            e = callFunction(s, [&] {
                s.cmd([&](const redisReply& rep) {
                    if (rep.type != REDIS_REPLY_ARRAY || rep.elements < 1 || !isInteger(rep.element[0]) ||
                        (rep.element[0]->integer == 1 && rep.elements != 5))
                        return s.fault(rep, "FCALL (delete)");
                    code = rep.element[0]->integer;
                    if (code != 1) return MB_ERR_NONE;
                    long long* to[] = {&bitsLen, &last, &bs, &size};
                    for (size_t i = 0; i < 4; ++i) {
                        if (!isInteger(rep.element[i + 1])) return s.fault(rep, "FCALL (delete)");
                        *to[i] = std::max(0LL, rep.element[i + 1]->integer);
                    }
                    return MB_ERR_NONE;
                }, "FCALL", fn::kDelete, "3", keys_.meta(name), keys_.openers(name), keys_.bits(name, gen), nowMs(),
                      force ? "1" : "0", gen);
            });
            if (e != MB_ERR_NONE) return e;
            if (code != -3 || attempt == 100) break;
        }
        if (code == -1) return MB_ERR_STORENF;
        if (code == -2) return MB_ERR_STOREOPEN;
        if (code == -3) return failWith(MB_ERR_RNR, "region " + std::string(name) + " kept changing");
        if (code != 1) return failWith(MB_ERR_OTHER, "Redis server " + s.server() + " answered the delete oddly");
        // Every chunk up to the one under the end of the highest written block.
        uint64_t lo = 0, c0 = 0, c1 = 0;
        const uint64_t chunks = highestBlock(static_cast<uint64_t>(bitsLen), static_cast<unsigned char>(last),
                                             static_cast<uint64_t>(bs), static_cast<uint64_t>(size), &lo, &c0, &c1)
                                    ? c1 + 1
                                    : 0;
        std::vector<std::string> argv{"UNLINK", keys_.bits(name, gen)};
        const std::string base = keys_.chunkBase(name, gen);
        for (uint64_t c = 0; c < chunks; ++c) {
            argv.push_back(base + std::to_string(c));
            if (argv.size() > kKeysPerUnlink || c + 1 == chunks) {
                s.cmdArgv(s.ok("UNLINK"), argv);
                argv.resize(1);
            }
        }
        if (argv.size() > 1) s.cmdArgv(s.ok("UNLINK"), argv);
        s.run();  // the metadata is gone: chunks left behind are unreachable
        return MB_ERR_NONE;
    });
}

}  // namespace mbstandin
