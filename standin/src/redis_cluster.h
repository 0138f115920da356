// redis_cluster.h - the way to the node of a Redis Cluster that owns a hash
// slot: the slot map (from CLUSTER SLOTS), idle connections per node, and
// the redirections nodes answer with.
//
// The cluster places, replicates and fails over; this only finds the
// owner. A command answered MOVED is written again to the named node and
// the map learns the slot's owner (and is read again whole before the next
// operation); ASK sends the one command, after ASKING, to the node named;
// TRYAGAIN (a multi-key command in a slot whose keys are part moved) is
// repeated after a pause. Each command is followed on its own, so a batch
// of many regions' commands is never sent whole to another node.
#ifndef MIRRORBANK_STANDIN_REDIS_CLUSTER_H
#define MIRRORBANK_STANDIN_REDIS_CLUSTER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "mirrorbank_api.h"
#include "redis_session.h"

struct redisContext;

namespace mbstandin {

class ClusterRouter final : public Redirector {
public:
    static constexpr int kSlots = 16384;
    static constexpr int kMaxNodes = 256;  // nodes ever known to one process

    explicit ClusterRouter(const RedisSettings& rs);
    ~ClusterRouter();
    ClusterRouter(const ClusterRouter&) = delete;
    ClusterRouter& operator=(const ClusterRouter&) = delete;

    // Asks the seeds for the cluster's nodes (sorted by address: the
    // daemons) and its slot map. MB_ERR_DDEAD when no seed answers.
    mb_error start(std::vector<ServerAddress>* nodes);

    // Runs body(Session&) on a connection to the node that owns slot. When
    // the connection broke or timed out, waits (within the connect plus
    // command time-outs) for the cluster to name an owner that answers, and
    // runs the body once more there when it is another node.
    template <typename F>
    mb_error withSlot(uint16_t slot, F&& body) const;
    // Runs body on a connection to node a (no retry).
    template <typename F>
    mb_error withNode(const ServerAddress& a, F&& body) const;

    // The primaries of the current map, each once.
    std::vector<ServerAddress> primaries() const;
    // A small number that differs between the owners of slots (batch lanes).
    unsigned lane(uint16_t slot) const;
    // A node went away: its idle connections are dropped, the map is read anew.
    void forget(const ServerAddress& a) const;

    void follow(Session& from, std::vector<Session::Parked>& parked, mb_error* first) const override;
    uint64_t patienceMs() const override { return rs_.command_timeout_ms; }

private:
    struct Node {
        ServerAddress addr;
        std::mutex mu;  // guards idle
        std::vector<redisContext*> idle;
    };
    struct Link {
        redisContext* ctx = nullptr;
        int node = -1;
    };

    int nodeIndex(const ServerAddress& a) const;  // added when new; -1 past kMaxNodes
    int owner(uint16_t slot) const;               // -1 when unknown (the map is read first)
    bool acquire(int node, Link* l, mb_error* err) const;
    void release(Link* l, bool healthy) const;
    // Reads the slot map from the known nodes, then the seeds; false when
    // none answered.
    bool refresh(std::string* why) const;
    // After the owner of slot at `old` failed: true once the map names an
    // owner that answers; *moved tells whether it is another node.
    bool awaitOwner(uint16_t slot, const ServerAddress& old, bool* moved, std::string* why) const;

    const RedisSettings& rs_;
    mutable std::unique_ptr<Node[]> nodes_;
    mutable std::atomic<int> nodeCount_{0};
    mutable std::mutex nodesMu_;  // guards the growth of nodes_
    mutable std::unique_ptr<std::atomic<int16_t>[]> owners_;
    mutable std::atomic<bool> stale_{false};  // a MOVED was seen: read the map before the next use
    mutable std::mutex refreshMu_;            // one reading of the map at a time
    mutable std::atomic<uint64_t> refreshes_{0};
};

template <typename F>
mb_error ClusterRouter::withSlot(uint16_t slot, F&& body) const {
    std::string why;
    if (stale_.load(std::memory_order_relaxed) || owner(slot) < 0) refresh(&why);
    for (int attempt = 0;; ++attempt) {
        int n = owner(slot);
        if (n < 0)
            return failWith(MB_ERR_DDEAD, "no node of the Redis cluster serves hash slot " + std::to_string(slot) +
                                              (why.empty() ? std::string() : ": " + why));
        Link l;
        mb_error e = MB_ERR_NONE;
        bool lost = false, timedOut = false;
        if (!acquire(n, &l, &e)) {
            lost = e != MB_ERR_AUTH;
        } else {
            Session s(l.ctx, nodes_[n].addr, this);
            e = body(s);
            lost = s.lost;
            timedOut = s.timedOut;
        }
        release(&l, !lost);
        if (!lost || attempt > 0) return e;
        std::string keep = failureDetail(e) ? failureDetail(e) : "";
        bool moved = false;
        if (!awaitOwner(slot, nodes_[n].addr, &moved, &why)) return failWith(e, keep + "; " + why);
        // A primary that only answered late, and still owns the slot, is
        // not asked again: the caller hears of the time-out.
        if (timedOut && !moved) return failWith(e, keep);
    }
}

template <typename F>
mb_error ClusterRouter::withNode(const ServerAddress& a, F&& body) const {
    int n = nodeIndex(a);
    if (n < 0) return failWith(MB_ERR_NOMEM, "more than " + std::to_string(kMaxNodes) + " Redis cluster nodes");
    Link l;
    mb_error e = MB_ERR_NONE;
    if (!acquire(n, &l, &e)) return e;
    Session s(l.ctx, a, this);
    e = body(s);
    release(&l, !s.lost);
    return e;
}

}  // namespace mbstandin

#endif
