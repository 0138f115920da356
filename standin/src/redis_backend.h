// redis_backend.h - regions kept on Redis servers: one primary, its
// replicas, optionally Sentinels that name the current primary.
//
// Keys of one region share the hash tag {name} (P is the key prefix):
//   P{name}:m            hash: size, bs, minc, maxc, ctime, mtime, atime,
//                        gen, pid, ip
//   P{name}:o            sorted set of openers: member an opener id, score
//                        the end of its lease (milliseconds since the epoch)
//   P{name}:g<gen>:b     bitmap: bit 0 set from creation to deletion, bit
//                        8 + b for block b once written (bits only get set)
//   P{name}:g<gen>:c<n>  chunk n (kChunkBytes each); a chunk never written
//                        does not exist, and SETRANGE only grows one
// used (the end of the highest byte written) follows from the last bitmap
// byte and the length of the highest chunk under that block, so it only
// grows, with nothing to update on the data path.
// The generation is chosen when the region is created, so a writer that
// lost a race with a delete writes only keys nobody reads (and removes them).
//
// Threads: read, write and fence run on connections taken from a small pool
// (a hiredis context serves one thread at a time); WAIT runs on the
// connection that sent the write it waits for. Every other call runs alone.
#ifndef MIRRORBANK_STANDIN_REDIS_BACKEND_H
#define MIRRORBANK_STANDIN_REDIS_BACKEND_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "config.h"

struct redisContext;

namespace mbstandin {

class RedisBackend final : public Backend {
public:
    static constexpr uint64_t kChunkBytes = 1u << 20;
    static constexpr uint64_t kKnownBlocksMax = 1ull << 26;  // 8 MiB of known-written bits

    // Finds the primary (through the Sentinels when configured) and checks
    // that it answers; MB_ERR_DDEAD with a detail when it does not.
    static mb_error create(const ClusterConfig& cfg, std::unique_ptr<Backend>* out);
    ~RedisBackend() override;

    const RedisSettings& settings() const { return rs_; }

    const ClusterLayout& layout() const override { return layout_; }
    bool daemonUp(int dindex) const override;

    // Create, exclusive create and open in one script; the opener takes a lease.
    mb_error open(const OpenRequest& req, RegionId* out) override;
    mb_error close(RegionId id) override;  // gives the lease back
    // One pipelined round trip each; a write then WAITs for min copies - 1 replicas.
    mb_error write(RegionId id, uint64_t offset, const void* src, uint64_t length) override;
    mb_error read(RegionId id, uint64_t offset, void* dst, uint64_t length) override;
    mb_error fence(RegionId id) override;
    mb_error describe(RegionId id, mb_client_storeinfo* out) const override;
    mb_error describeByName(const char* name, mb_client_storeinfo* out) const override;
    std::vector<int> placement(const char* name) const override;  // primary, then online replicas
    mb_error remove(const char* name, bool force) override;  // refused under a live lease unless forced

    void listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const override;  // SCAN, never KEYS
    void listDaemons(std::vector<mb_daemon_info>* out) const override;  // INFO of every configured server
    mb_error daemonFigures(int dindex, mb_ldinfo* out) const override;

    mb_error shutdown(int dindex, uint32_t flags) override;
    void crash(int dindex) override;
    bool daemonEventsAllowed() const override { return rs_.events; }
    void revive(int dindex) override;

    struct Session;  // one pooled connection in use (redis_backend.cpp)

private:
    struct Region {
        std::string name, gen, meta, openers, bits, chunkBase;
        uint64_t size = 0;
        uint32_t blocksize = 0;
        int32_t minc = 1;
        std::string opener;  // this handle's lease
        bool closed = false;
        std::atomic<uint64_t> mtime_sent{0};   // last mtime / atime stamped (seconds)
        std::atomic<uint64_t> atime_sent{0};
        std::atomic<uint64_t> renew_at_ms{0};  // when the lease is renewed next
        // Blocks this process knows written (set bits stay set for the
        // region's generation); null for regions of very many blocks.
        std::unique_ptr<std::atomic<uint64_t>[]> known;
        uint64_t nblocks = 0;

        bool allKnown(uint64_t b0, uint64_t b1) const {
            if (!known) return false;
            for (uint64_t w = b0 / 64; w <= b1 / 64; ++w) {
                uint64_t lo = w == b0 / 64 ? b0 % 64 : 0, hi = w == b1 / 64 ? b1 % 64 : 63;
                uint64_t mask = (hi == 63 ? ~0ull : (1ull << (hi + 1)) - 1) & ~((1ull << lo) - 1);
                if ((known[w].load(std::memory_order_relaxed) & mask) != mask) return false;
            }
            return true;
        }
        void markKnown(uint64_t b0, uint64_t b1) {
            if (!known) return;
            for (uint64_t w = b0 / 64; w <= b1 / 64; ++w) {
                uint64_t lo = w == b0 / 64 ? b0 % 64 : 0, hi = w == b1 / 64 ? b1 % 64 : 63;
                known[w].fetch_or((hi == 63 ? ~0ull : (1ull << (hi + 1)) - 1) & ~((1ull << lo) - 1),
                                  std::memory_order_relaxed);
            }
        }
    };
    struct Link {
        redisContext* ctx = nullptr;
        uint64_t epoch = 0;
        ServerAddress addr;
    };
    struct Topology {
        int primary = -1;     // configured index of the current primary, -1 when unknown
        uint64_t nodes = 0;   // primary and online replicas
        int copies = 1;
        uint64_t taken_ms = 0;
    };

    RedisBackend(const ClusterConfig& cfg);

    std::string key(const std::string& name, const std::string& suffix) const;
    Region* find(RegionId id) const;
    // The open region behind `id` for a transfer of [offset, offset + length),
    // or null with the reason in *er (MB_ERR_NONE for an empty transfer).
    Region* transferRegion(RegionId id, uint64_t offset, uint64_t length, mb_error* er) const;
    redisContext* connectTo(const ServerAddress& a, std::string* why, bool* authFailed = nullptr) const;
    bool acquire(Link* l, std::string* why) const;
    void release(Link* l, bool healthy) const;
    bool discoverPrimary(uint64_t seenEpoch, std::string* why) const;
    template <typename F>
    mb_error withPrimary(F&& body) const;
    Topology topology(Session& s, bool fresh) const;
    mb_error fill(Session& s, const std::string& name, const std::string& gen, mb_client_storeinfo* out) const;
    void appendLease(Session& s, Region& r, int* pending) const;
    mb_error writeOnce(Session& s, Region& r, uint64_t offset, const void* src, uint64_t length);
    mb_error readOnce(Session& s, Region& r, uint64_t offset, void* dst, uint64_t length);
    mb_error serverInfo(int dindex, std::string* info, std::string* why) const;
    int indexOf(const ServerAddress& a) const;

    RedisSettings rs_;
    ClusterLayout layout_;
    std::vector<std::unique_ptr<Region>> regions_;  // id i is regions_[i - 1]
    std::string hostTag_;                            // start of opener ids
    std::string markSha_;                            // digest of the mark script

    mutable std::mutex mu_;            // guards primary_, epoch_, idle_, topo_
    mutable ServerAddress primary_;
    mutable uint64_t epoch_ = 1;       // bumped when the primary changes
    mutable std::vector<Link> idle_;
    mutable Topology topo_;
    mutable std::mutex discoverMu_;    // one rediscovery at a time
};

}  // namespace mbstandin

#endif
