// redis_pool.h - connections to the current Redis primary: a small pool of
// idle connections, the Sentinels' word on which server is the primary, and
// the move to a new one after a failover.
//
// A connection serves one thread at a time. Every connection belongs to an
// epoch; the epoch ends when the primary is found moved or lost, and
// connections of an ended epoch are closed instead of reused.
#ifndef MIRRORBANK_STANDIN_REDIS_POOL_H
#define MIRRORBANK_STANDIN_REDIS_POOL_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "mirrorbank_api.h"
#include "redis_session.h"

struct redisContext;

namespace mbstandin {

// A new connection to a, authenticated when a password is configured;
// null with the failure (MB_ERR_DDEAD or MB_ERR_AUTH, detail set) in *err.
// A probe waits at most the connect time-out for each answer.
redisContext* connectServer(const RedisSettings& rs, const ServerAddress& a, mb_error* err, bool probe = false);

class PrimaryPool {
public:
    explicit PrimaryPool(const RedisSettings& rs);
    ~PrimaryPool();
    PrimaryPool(const PrimaryPool&) = delete;
    PrimaryPool& operator=(const PrimaryPool&) = delete;

    redisContext* connectTo(const ServerAddress& a, mb_error* err, bool probe = false) const {
        return connectServer(rs_, a, err, probe);
    }

    // Runs body(Session&) on a connection to the primary. When the
    // connection broke, timed out or found a replica, the Sentinels are
    // asked for the primary; when it moved (or the connection was lost), the
    // body runs once more there (every body is safe to repeat).
    template <typename F>
    mb_error withPrimary(F&& body) const;

    ServerAddress primary() const;
    uint64_t epoch() const;
    // Ends the epoch: pooled connections are dropped (a server went away).
    void endEpoch() const;
    // Asks the Sentinels for the primary until one names a server that says
    // it is a primary, within the connect plus command time-outs; *moved
    // tells whether it differs from the one the caller used.
    bool discover(uint64_t seenEpoch, const ServerAddress& used, bool* moved, std::string* why) const;

private:
    struct Link {
        redisContext* ctx = nullptr;
        uint64_t epoch = 0;
        ServerAddress addr;
    };
    bool acquire(Link* l, mb_error* err) const;
    void release(Link* l, bool healthy) const;

    const RedisSettings& rs_;
    mutable std::mutex mu_;  // guards primary_, epoch_, idle_
    mutable ServerAddress primary_;
    mutable uint64_t epoch_ = 1;
    mutable std::vector<Link> idle_;
    mutable std::mutex discoverMu_;  // one rediscovery at a time
};

template <typename F>
mb_error PrimaryPool::withPrimary(F&& body) const {
    for (int attempt = 0;; ++attempt) {
        Link l;
        mb_error e = MB_ERR_NONE;
        bool lost = false, timedOut = false, readonly = false;
        if (!acquire(&l, &e)) {
            lost = e != MB_ERR_AUTH;
        } else {
            Session s(l.ctx, l.addr);
            e = body(s);
            lost = s.lost;
            timedOut = s.timedOut;
            readonly = s.readonly;
        }
        release(&l, !lost && !readonly);
        if (!(lost || readonly) || attempt > 0 || rs_.sentinels.empty()) return e;
        std::string keep = failureDetail(e) ? failureDetail(e) : "", why;
        bool moved = false;
        if (!discover(l.epoch, l.addr, &moved, &why)) return failWith(e, keep + "; " + why);
        // A primary that only answered late, and is still the primary, is
        // not asked again: the caller hears of the time-out.
        if (timedOut && !moved) return failWith(e, keep);
    }
}

}  // namespace mbstandin

#endif
