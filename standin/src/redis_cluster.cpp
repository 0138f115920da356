// redis_cluster.cpp - slot map, connections per node and redirections of a
// Redis Cluster (see redis_cluster.h).
#include "redis_cluster.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "redis_pool.h"

namespace mbstandin {

namespace {

constexpr size_t kIdlePerNode = 16;

std::string detailOf(mb_error e) { return failureDetail(e) ? failureDetail(e) : "no detail"; }

}  // namespace

ClusterRouter::ClusterRouter(const RedisSettings& rs)
    : rs_(rs), nodes_(new Node[kMaxNodes]), owners_(new std::atomic<int16_t>[kSlots]) {
    for (int i = 0; i < kSlots; ++i) owners_[i].store(-1, std::memory_order_relaxed);
}

ClusterRouter::~ClusterRouter() {
    for (int i = 0; i < nodeCount_.load(); ++i) {
        for (redisContext* c : nodes_[i].idle) redisFree(c);
    }
}

int ClusterRouter::nodeIndex(const ServerAddress& a) const {
    int n = nodeCount_.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        if (nodes_[i].addr == a) return i;
    }
    std::lock_guard<std::mutex> g(nodesMu_);
    n = nodeCount_.load(std::memory_order_relaxed);
    for (int i = 0; i < n; ++i) {
        if (nodes_[i].addr == a) return i;
    }
    if (n == kMaxNodes) return -1;
    nodes_[n].addr = a;
    nodeCount_.store(n + 1, std::memory_order_release);
    return n;
}

// Acquire / release with the stores below: a node index read here names a
// node whose address is already written.
int ClusterRouter::owner(uint16_t slot) const { return owners_[slot % kSlots].load(std::memory_order_acquire); }

unsigned ClusterRouter::lane(uint16_t slot) const {
    int n = owner(slot);
    return n < 0 ? 0u : static_cast<unsigned>(n);
}

std::vector<ServerAddress> ClusterRouter::primaries() const {
    std::vector<bool> seen(kMaxNodes);
    std::vector<ServerAddress> out;
    for (int i = 0; i < kSlots; ++i) {
        int n = owners_[i].load(std::memory_order_acquire);
        if (n >= 0 && !seen[n]) {
            seen[n] = true;
            out.push_back(nodes_[n].addr);
        }
    }
    return out;
}

bool ClusterRouter::acquire(int node, Link* l, mb_error* err) const {
    l->node = node;
    {
        std::lock_guard<std::mutex> g(nodes_[node].mu);
        if (!nodes_[node].idle.empty()) {
            l->ctx = nodes_[node].idle.back();
            nodes_[node].idle.pop_back();
            return true;
        }
    }
    l->ctx = connectServer(rs_, nodes_[node].addr, err);
    return l->ctx != nullptr;
}

void ClusterRouter::release(Link* l, bool healthy) const {
    if (!l->ctx) return;
    if (healthy && l->ctx->err == 0) {
        std::lock_guard<std::mutex> g(nodes_[l->node].mu);
        if (nodes_[l->node].idle.size() < kIdlePerNode) {
            nodes_[l->node].idle.push_back(l->ctx);
            l->ctx = nullptr;
            return;
        }
    }
    redisFree(l->ctx);
    l->ctx = nullptr;
    if (!healthy) forget(nodes_[l->node].addr);
}

void ClusterRouter::forget(const ServerAddress& a) const {
    int n = nodeIndex(a);
    if (n >= 0) {
        std::vector<redisContext*> idle;
        {
            std::lock_guard<std::mutex> g(nodes_[n].mu);
            idle.swap(nodes_[n].idle);
        }
        for (redisContext* c : idle) redisFree(c);
    }
    stale_.store(true, std::memory_order_relaxed);
}

mb_error ClusterRouter::start(std::vector<ServerAddress>* nodes) {
    std::string why = "no seed node configured";
    mb_error last = MB_ERR_DDEAD;
    for (const ServerAddress& seed : rs_.servers) {
        mb_error e = MB_ERR_NONE;
        redisContext* c = connectServer(rs_, seed, &e);
        if (!c) {
            last = e;
            why = detailOf(e);
            if (e == MB_ERR_AUTH) break;  // the same credentials serve every node
            continue;
        }
        std::string text;
        {
            Session s(c, seed);
            bool nil = false;
            s.cmd(s.text(&text, &nil, "CLUSTER NODES"), "CLUSTER", "NODES");
            e = s.run();
        }
        redisFree(c);
        if (e != MB_ERR_NONE) {
            last = e;
            why = detailOf(e);
            continue;
        }
        // "<id> <ip>:<port>@<cport>[,<hostname>] <flags> ..." a line each.
        nodes->clear();
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream w(line);
            std::string id, addr, flags;
            if (!(w >> id >> addr >> flags)) continue;
            if (flags.find("noaddr") != std::string::npos || flags.find("handshake") != std::string::npos) continue;
            size_t at = addr.find('@'), colon = addr.rfind(':', at);
            if (colon == std::string::npos) continue;
            ServerAddress a{addr.substr(0, colon), static_cast<uint16_t>(toU64(addr.substr(colon + 1, at - colon - 1)))};
            if (a.host.empty()) a.host = seed.host;
            nodes->push_back(a);
        }
        std::sort(nodes->begin(), nodes->end(), [](const ServerAddress& x, const ServerAddress& y) {
            return x.host != y.host ? x.host < y.host : x.port < y.port;
        });
        if (nodes->size() > 64)
            return failWith(MB_ERR_OTHER, "the Redis cluster has " + std::to_string(nodes->size()) +
                                              " nodes; at most 64 are taken");
        for (const ServerAddress& a : *nodes) nodeIndex(a);
        if (!refresh(&why)) return failWith(MB_ERR_DDEAD, "no node of the Redis cluster gave its slot map: " + why);
        return MB_ERR_NONE;
    }
    return failWith(last, "no seed node of the Redis cluster answered: " + why);
}

bool ClusterRouter::refresh(std::string* why) const {
    const uint64_t seen = refreshes_.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> one(refreshMu_);
    if (refreshes_.load(std::memory_order_acquire) != seen) return true;  // read meanwhile
    std::vector<ServerAddress> ask;
    for (const ServerAddress& a : primaries()) ask.push_back(a);
    for (int i = 0; i < nodeCount_.load(std::memory_order_acquire); ++i) ask.push_back(nodes_[i].addr);
    for (const ServerAddress& a : rs_.servers) ask.push_back(a);
    std::vector<ServerAddress> asked;
    for (const ServerAddress& a : ask) {
        if (std::find(asked.begin(), asked.end(), a) != asked.end()) continue;
        asked.push_back(a);
        mb_error e = MB_ERR_NONE;
        redisContext* c = connectServer(rs_, a, &e, true);  // a stopped node must not hold the reading up
        if (!c) {
            *why = detailOf(e);
            continue;
        }
        struct Range {
            int lo, hi;
            ServerAddress owner;
        };
        std::vector<Range> ranges;
        {
            Session s(c, a);
            s.cmd([&](const redisReply& r) {
                if (r.type != REDIS_REPLY_ARRAY) return s.fault(r, "CLUSTER SLOTS");
                for (size_t i = 0; i < r.elements; ++i) {
                    const redisReply* el = r.element[i];
                    if (el->type != REDIS_REPLY_ARRAY || el->elements < 3 || !isInteger(el->element[0]) ||
                        !isInteger(el->element[1]) || el->element[2]->type != REDIS_REPLY_ARRAY ||
                        el->element[2]->elements < 2 || !isInteger(el->element[2]->element[1]))
                        continue;
                    ServerAddress o{replyText(el->element[2]->element[0]),
                                    static_cast<uint16_t>(el->element[2]->element[1]->integer)};
                    if (o.host.empty()) o.host = a.host;
                    ranges.push_back(Range{static_cast<int>(el->element[0]->integer),
                                           static_cast<int>(el->element[1]->integer), o});
                }
                return MB_ERR_NONE;
            }, "CLUSTER", "SLOTS");
            e = s.run();
        }
        redisFree(c);
        if (e != MB_ERR_NONE || ranges.empty()) {
            *why = e != MB_ERR_NONE ? detailOf(e) : "Redis server " + a.text() + " knows no slot owners";
            continue;
        }
        std::vector<int16_t> map(kSlots, -1);
        for (const Range& r : ranges) {
            int n = nodeIndex(r.owner);
            for (int slot = std::max(0, r.lo); slot <= std::min(kSlots - 1, r.hi); ++slot)
                map[slot] = static_cast<int16_t>(n);
        }
        for (int i = 0; i < kSlots; ++i) owners_[i].store(map[i], std::memory_order_release);
        stale_.store(false, std::memory_order_relaxed);
        refreshes_.fetch_add(1, std::memory_order_release);
        return true;
    }
    return false;
}

bool ClusterRouter::awaitOwner(uint16_t slot, const ServerAddress& old, bool* moved, std::string* why) const {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(rs_.connect_timeout_ms + rs_.command_timeout_ms);
    *moved = false;
    for (;;) {
        std::string w;
        if (refresh(&w)) {
            int n = owner(slot);
            if (n >= 0 && !(nodes_[n].addr == old)) {
                *moved = true;
                return true;
            }
            mb_error e = MB_ERR_NONE;
            if (n >= 0) {
                if (redisContext* c = connectServer(rs_, old, &e, true)) {  // it answers again
                    redisFree(c);
                    return true;
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *why = "the Redis cluster named no other owner of hash slot " + std::to_string(slot) + " than " +
                   old.text() + " in time" + (w.empty() ? std::string() : " (" + w + ")");
            return false;
        }
        // The cluster's own failure detection and election take their time.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void ClusterRouter::follow(Session& from, std::vector<Session::Parked>& parked, mb_error* first) const {
    (void)from;
    int pause = 0;
    for (const Session::Parked& p : parked) {
        if (p.kind == Session::Parked::Moved) {
            int n = nodeIndex(p.to);
            if (n >= 0) owners_[p.slot].store(static_cast<int16_t>(n), std::memory_order_release);
            stale_.store(true, std::memory_order_relaxed);
        } else if (p.kind == Session::Parked::TryAgain) {
            pause = std::max(pause, p.q.tries);
        }
    }
    // TRYAGAIN: the slot's keys are being moved; a moment later they are
    // all on one side.
    if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(2 * pause, 100)));
    const uint64_t waitMs = std::max<uint32_t>(1, rs_.command_timeout_ms * 3 / 4);
    std::vector<bool> taken(parked.size());
    auto fail = [first](Session::Failure* owner, mb_error e) {
        if (!owner) {
            if (*first == MB_ERR_NONE) *first = e;
        } else if (owner->err == MB_ERR_NONE) {
            owner->err = e;
            owner->detail = failureDetail(e);
        }
    };
    for (size_t i = 0; i < parked.size(); ++i) {
        if (taken[i]) continue;
        const ServerAddress to = parked[i].to;
        const bool asking = parked[i].asking;
        std::vector<size_t> group;
        for (size_t j = i; j < parked.size(); ++j) {
            if (!taken[j] && parked[j].to == to && parked[j].asking == asking) {
                taken[j] = true;
                group.push_back(j);
            }
        }
        int n = nodeIndex(to);
        Link l;
        mb_error e = MB_ERR_NONE;
        if (n < 0) e = failWith(MB_ERR_NOMEM, "more than " + std::to_string(kMaxNodes) + " Redis cluster nodes");
        if (n < 0 || !acquire(n, &l, &e)) {
            for (size_t j : group) fail(parked[j].q.owner, e);
            continue;
        }
        // The commands' writes, there, need the replicas their operations
        // need: one WAIT after them answers for all.
        std::vector<Session::Failure*> owners;
        bool ownerless = false;
        int replicas = 0;
        Session sub(l.ctx, to, this, asking);
        for (size_t j : group) {
            Session::Failure* o = parked[j].q.owner;
            if (o) {
                owners.push_back(o);
                replicas = std::max(replicas, o->replicas);
            } else {
                ownerless = true;
            }
            sub.replay(std::move(parked[j]));
        }
        long long acked = 0;
        if (replicas > 0) sub.waitFor(static_cast<uint64_t>(replicas), waitMs, &acked);
        e = sub.run();
        if (sub.lost) {
            for (Session::Failure* o : owners) fail(o, e);
            if (ownerless) fail(nullptr, e);
        } else {
            if (e != MB_ERR_NONE) fail(nullptr, e);
            for (Session::Failure* o : owners) {
                if (o->replicas > acked)
                    fail(o, failWith(MB_ERR_TIMEDOUT, "write reached " + std::to_string(acked) + " of " +
                                                          std::to_string(o->replicas) + " replicas of Redis server " +
                                                          to.text() + " within " + std::to_string(waitMs) +
                                                          " ms; it is not acknowledged"));
            }
        }
        release(&l, !sub.lost);
    }
}

}  // namespace mbstandin
