// redis_backend.h - regions kept on Redis servers: one primary, its
// replicas, optionally Sentinels that name the current primary; or a Redis
// Cluster, where each region lives whole on the shard that owns its hash
// slot.
//
// The parts: redis_protocol.h (commands in the protocol's form),
// redis_session.* (a batch of commands, each reply to its own handler, and
// the one mapping of replies to errors), redis_keys.* (key layout and the
// server-side library), redis_pool.* (connections, Sentinels, failover),
// redis_cluster.* (the slot map and redirections of a cluster),
// redis_backend.cpp (region operations) and redis_admin.cpp (listings,
// daemons, shutdown).
//
// Threads: reads and writes of every thread are queued and run in batches,
// one batch at a time per primary, by whichever waiting thread finds no
// batch of that primary running: each batch is one pipelined round trip on
// one pooled connection, its writes covered by one WAIT (automatic
// pipelining, group commit). Fences, describes and the rest run on
// connections of their own from the pool.
#ifndef MIRRORBANK_STANDIN_REDIS_BACKEND_H
#define MIRRORBANK_STANDIN_REDIS_BACKEND_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "config.h"
#include "redis_cluster.h"
#include "redis_keys.h"
#include "redis_pool.h"

namespace mbstandin {

class RedisBackend final : public Backend {
public:
    static constexpr uint64_t kKnownBlocksMax = 1ull << 26;  // 8 MiB of known-written bits

    // Finds the primary (through the Sentinels when configured), or the
    // cluster's nodes and slot map, and checks that it answers and takes the
    // credentials; MB_ERR_DDEAD or MB_ERR_AUTH with a detail when not.
    static mb_error create(const ClusterConfig& cfg, std::unique_ptr<Backend>* out);
    ~RedisBackend() override;

    const ClusterLayout& layout() const override { return layout_; }
    bool daemonUp(int dindex) const override;

    // Create, exclusive create and open in one function call; the opener takes a lease.
    mb_error open(const OpenRequest& req, RegionId* out) override;
    mb_error close(RegionId id) override;  // gives the lease back and the record up
    void prepareClose(RegionId id) override;
    // A batch of one, run at once (see submit / complete).
    mb_error write(RegionId id, uint64_t offset, const void* src, uint64_t length) override;
    mb_error read(RegionId id, uint64_t offset, void* dst, uint64_t length) override;
    mb_error fence(RegionId id) override;  // the region still there: the primary serves every read
    // Right after a write of this handle, from that write and the last describe.
    mb_error describe(RegionId id, mb_client_storeinfo* out) const override;
    mb_error describeByName(const char* name, mb_client_storeinfo* out) const override;
    std::vector<int> placement(const char* name) const override;  // primary, then online replicas
    mb_error remove(const char* name, bool force) override;  // refused under a live lease unless forced

    void listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const override;  // SCAN, never KEYS
    void listDaemons(std::vector<mb_daemon_info>* out) const override;  // INFO of every server (cluster node)
    mb_error daemonFigures(int dindex, mb_ldinfo* out) const override;

    mb_error shutdown(int dindex, uint32_t flags) override;
    void crash(int dindex) override;
    bool daemonEventsAllowed() const override { return rs_.events; }

    bool sameCluster(const ClusterConfig& cfg) const override;
    bool regionsOutsideProcess() const override { return true; }

    bool batches() const override { return true; }
    bool concurrentAdmin() const override { return true; }  // each part keeps its own locks
    mb_error submit(PendingIo* op) override;
    void complete(PendingIo* const* ops, size_t n) override;

private:
    struct Region {
        std::string name, gen, meta, openers, bits, chunkBase;
        uint16_t slot = 0;  // the cluster hash slot of its keys
        uint64_t size = 0;
        uint32_t blocksize = 0;
        int32_t minc = 1;
        std::string opener;  // this handle's lease
        std::atomic<uint64_t> mtime_sent{0};   // last mtime / atime stamped (seconds)
        std::atomic<uint64_t> atime_sent{0};
        std::atomic<uint64_t> renew_at_ms{0};  // when the lease is renewed next
        // Blocks this process knows written (set bits stay set for the
        // region's generation); null for regions of very many blocks.
        std::unique_ptr<std::atomic<uint64_t>[]> known;
        uint64_t nblocks = 0;
        // What this process's acknowledged writes made: a describe right
        // after one answers from them and the last describe, with no round
        // trip (the write's own check proved the region there).
        std::atomic<uint64_t> writes{0};
        std::atomic<uint64_t> writtenEnd{0};
        std::atomic<uint64_t> writtenAt{0};  // seconds
        std::atomic<bool> released{false};   // queued operations run, lease given back
        std::mutex cacheMu;                  // guards the three below
        mb_client_storeinfo cache{};
        uint64_t cacheAtMs = 0;
        uint64_t cacheWrites = 0;

        bool allKnown(uint64_t b0, uint64_t b1) const;
        void markKnown(uint64_t b0, uint64_t b1);
    };
    // What one operation of a batch learned from its replies.
    struct Step : Session::Failure {
        PendingIo* io = nullptr;
        Region* r = nullptr;
        bool known = false;
        bool gone = false;      // a well-formed answer proved the region gone
        bool checked = false;   // ... or proved it there
        Step* checkedBy = nullptr;  // a later write of the batch to the same region checks for this one
        bool shortReply = false;
        int mark = 0;           // the time stamp's answer (see queueMark)
        long long written = 1;  // blocks written among those read
        // err and detail (Failure): its own failure and its text, found on
        // the thread that ran the batch
    };
    // Records of open regions, in a table that never moves (opens run
    // beside transfers); a closed one's slot is reused, and the id carries
    // the slot's use count so that a stale id finds nothing.
    static constexpr uint32_t kMaxSlots = 16384;
    struct Slot {
        std::atomic<Region*> region{nullptr};
        std::atomic<uint32_t> uses{0};
    };
    struct Topology {
        int primary = -1;     // daemon index of the current primary, -1 when unknown
        uint64_t nodes = 0;   // primary and online replicas
        int copies = 1;
        uint64_t taken_ms = 0;
    };

    explicit RedisBackend(const ClusterConfig& cfg);

    // Runs body(Session&) on the primary that holds the region of that
    // slot: the one primary, or the cluster node owning the slot.
    template <typename F>
    mb_error onSlot(uint16_t slot, F&& body) const {
        return router_ ? router_->withSlot(slot, body) : pool_.withPrimary(body);
    }
    // The primaries (one, or every primary of the cluster).
    std::vector<ServerAddress> primaries() const;
    // Runs body on primary a.
    template <typename F>
    mb_error onPrimary(const ServerAddress& a, F&& body) const {
        return router_ ? router_->withNode(a, body) : pool_.withPrimary(body);
    }

    Region* find(RegionId id) const;
    // The open region behind `id` for a transfer of [offset, offset + length),
    // or null with the reason in *er (MB_ERR_NONE for an empty transfer).
    Region* transferRegion(RegionId id, uint64_t offset, uint64_t length, mb_error* er) const;
    // Queues the function call; when the server lacks the library, loads it
    // (on every primary of a cluster) and runs the batch again once.
    mb_error callFunction(Session& s, const std::function<void()>& queue) const;
    Topology topology(Session& s, bool fresh) const;
    mb_error fill(Session& s, const std::string& name, const std::string& gen, mb_client_storeinfo* out) const;
    void queueLease(Session& s, Region& r, Step* st) const;  // a failure is st's when given
    void queueMark(Session& s, Region& r, bool write, Step* st) const;
    void releaseRemote(RegionId id, Region* r);
    mb_error transferOne(RegionId id, uint64_t offset, void* buf, uint64_t length, bool read);
    // One batch: every operation's commands and one WAIT in one round trip,
    // then whatever some of them need to tell a deleted region.
    void runBatch(const std::vector<PendingIo*>& ops);
    void queueWrite(Session& s, Step& st);
    void queueRead(Session& s, Step& st);
    void settleWrite(Session& s, Step& st, long long acked, uint64_t waitMs);
    void settleRead(Session& s, Step& st);
    mb_error serverInfo(int dindex, std::string* info) const;  // INFO of a configured server
    int indexOf(const ServerAddress& a) const;
    void forgetTopology() const;
    void forgetServer(const ServerAddress& a);  // it was shut down

    RedisSettings rs_;
    std::vector<ServerAddress> seeds_;  // as configured (rs_.servers are the daemons)
    BackendKind kind_;
    ClusterLayout layout_;
    KeyLayout keys_;
    PrimaryPool pool_;
    std::unique_ptr<ClusterRouter> router_;  // with a cluster only
    std::unique_ptr<Slot[]> slots_;
    std::atomic<uint32_t> slotCount_{0};  // slots ever used
    std::mutex slotMu_;                   // guards freeSlots_ and the growth of slotCount_
    std::vector<uint32_t> freeSlots_;
    std::string hostTag_;  // start of opener ids
    std::atomic<uint64_t> opens_{0};  // opener ids are hostTag_ + ":" + count

    mutable std::mutex topoMu_;
    mutable std::vector<std::pair<ServerAddress, Topology>> topo_;  // per primary

    // Operations wait in the lane of their region's primary; each lane runs
    // one batch at a time.
    static constexpr unsigned kLanes = 16;
    struct Lane {
        std::deque<PendingIo*> queue;
        bool leading = false;
        std::condition_variable done;  // a batch of this lane finished
    };
    std::mutex batchMu_;  // guards lanes_ and every queued operation's done
    Lane lanes_[kLanes];
};

}  // namespace mbstandin

#endif
