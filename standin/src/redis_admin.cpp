// redis_admin.cpp - listings, daemon figures, shutdown and crash events of
// the Redis backends: every configured server (every node of a cluster) is
// a daemon.
#include <arpa/inet.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "redis_backend.h"

namespace mbstandin {


mb_error RedisBackend::serverInfo(int dindex, std::string* info) const {
    mb_error e = MB_ERR_NONE;
    redisContext* c = pool_.connectTo(rs_.servers[dindex], &e);
    if (!c) return e;
    Session s(c, rs_.servers[dindex]);
    bool nil = false;
    s.cmd(s.text(info, &nil, "INFO"), "INFO");
    e = s.run();
    redisFree(c);
    return e;
}

bool RedisBackend::daemonUp(int dindex) const {
    if (dindex < 0 || dindex >= layout_.daemons) return false;
    mb_error e = MB_ERR_NONE;
    redisContext* c = pool_.connectTo(rs_.servers[dindex], &e);  // answers PING or AUTH on the way
    if (c) redisFree(c);
    return c != nullptr;
}

// The names come from a SCAN of every primary (never KEYS), the records
// from the primary holding each; a primary that cannot be scanned leaves
// the listing as it was.
void RedisBackend::listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const {
    clearFailureDetail();
    std::vector<std::string> names;
    for (const ServerAddress& p : primaries()) {
        mb_error e = onPrimary(p, [&](Session& s) -> mb_error {
            std::string cursor = "0";
            do {
                s.cmd([&](const redisReply& r) {
                    if (r.type != REDIS_REPLY_ARRAY || r.elements != 2 || r.element[1]->type != REDIS_REPLY_ARRAY)
                        return s.fault(r, "SCAN");
                    cursor = replyText(r.element[0]);
                    for (size_t i = 0; i < r.element[1]->elements; ++i) {
                        std::string name;
                        if (keys_.nameOfMeta(replyText(r.element[1]->element[i]), &name)) names.push_back(name);
                    }
                    return MB_ERR_NONE;
                }, "SCAN", cursor, "MATCH", keys_.metaPattern(), "COUNT", "1000", "TYPE", "hash");
                mb_error se = s.run();
                if (se != MB_ERR_NONE) return se;
            } while (cursor != "0");
            return MB_ERR_NONE;
        });
        if (e != MB_ERR_NONE) return;
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::vector<mb_client_storeinfo> found;
    for (const auto& n : names) {
        mb_client_storeinfo info;
        std::memset(&info, 0, sizeof info);
        mb_error fe = onSlot(KeyLayout::slot(n), [&](Session& s) { return fill(s, n, std::string(), &info); });
        if (fe == MB_ERR_NONE) {
            if (dindex < 0 || (info.nodes >> dindex & 1)) found.push_back(info);
        } else if (fe != MB_ERR_STORENF) {
            return;
        }
    }
    *out = found;
}

void RedisBackend::listDaemons(std::vector<mb_daemon_info>* out) const {
    std::vector<mb_client_storeinfo> regions;
    listRegions(-1, &regions);
    clearFailureDetail();
    uint64_t now = nowSeconds();
    for (int i = 0; i < layout_.daemons; ++i) {
        mb_daemon_info d;
        std::memset(&d, 0, sizeof d);
        std::string info;
        bool up = serverInfo(i, &info) == MB_ERR_NONE;
        d.dindex = i;
        d.status = up ? MB_DAEMON_UP : MB_DAEMON_DOWN;
        d.reachable = up;
        d.ip = layout_.addresses[i].ip_net;
        d.port = htons(layout_.addresses[i].port);
        d.current_time = now;
        d.number_daemons = layout_.daemons;
        if (up) {
            uint64_t limit = toU64(infoField(info, "maxmemory"));
            d.start_time = now - toU64(infoField(info, "uptime_in_seconds"));
            d.total_memory = limit ? limit : layout_.memory;
            d.used_memory = toU64(infoField(info, "used_memory"));
            // Regions with a copy here (on its primary or an online replica).
            int held = 0, opens = 0;
            for (const auto& r : regions) {
                if (!(r.nodes >> i & 1)) continue;
                held++;
                opens += r.open ? 1 : 0;
            }
            d.number_stores = held;
            d.number_opens = opens;
            d.number_local_opens = infoField(info, "role") == "master" ? opens : 0;
        }
        out->push_back(d);
    }
    clearFailureDetail();
}

mb_error RedisBackend::daemonFigures(int dindex, mb_ldinfo* out) const {
    clearFailureDetail();
    if (dindex < 0 || dindex >= layout_.daemons) return MB_ERR_INVAL;
    std::string info;
    mb_error e = serverInfo(dindex, &info);
    if (e != MB_ERR_NONE) return e;
    uint64_t limit = toU64(infoField(info, "maxmemory"));
    out->dindex = dindex;
    out->ctime = nowSeconds() - toU64(infoField(info, "uptime_in_seconds"));
    out->total_memory = limit ? limit : layout_.memory;
    out->used_memory = toU64(infoField(info, "used_memory"));
    return MB_ERR_NONE;
}

mb_error RedisBackend::shutdown(int dindex, uint32_t flags) {
    clearFailureDetail();
    if (dindex < 0 || dindex >= layout_.daemons) return MB_ERR_INVAL;
    std::string info;
    mb_error e = serverInfo(dindex, &info);
    if (e != MB_ERR_NONE) return e;
    std::vector<mb_client_storeinfo> regions;
    listRegions(-1, &regions);
    if (flags & MB_SHUTDOWN_SAFE) {
        // Every server holds every region: the last copy is on a primary
        // without online replicas.
        bool primary = infoField(info, "role") == "master";
        if (primary && !regions.empty() && toU64(infoField(info, "connected_slaves")) == 0)
            return MB_ERR_SHUT_DLAST;
    }
    if (!(flags & MB_SHUTDOWN_FORCE)) {
        for (const auto& r : regions) {
            if (r.open) return failWith(MB_ERR_STOREOPEN, std::string("region ") + r.name + " is open");
        }
    }
    redisContext* c = pool_.connectTo(rs_.servers[dindex], &e);
    if (!c) return e;
    // SHUTDOWN answers only when it refuses; success closes the connection.
    std::string refused;
    {
        Session s(c, rs_.servers[dindex]);
        auto refusal = [&](const redisReply& r) {
            if (r.type == REDIS_REPLY_ERROR) refused = replyText(&r).substr(0, 200);
            return MB_ERR_NONE;
        };
        if (flags & MB_SHUTDOWN_FORCE) s.cmd(refusal, "SHUTDOWN", "FORCE");
        else s.cmd(refusal, "SHUTDOWN");
        s.run();
    }
    redisFree(c);
    if (!refused.empty())
        return failWith(MB_ERR_OTHER, "Redis server " + rs_.servers[dindex].text() + " refused SHUTDOWN: " + refused);
    forgetServer(rs_.servers[dindex]);
    return MB_ERR_NONE;
}

void RedisBackend::crash(int dindex) {
    if (!rs_.events || dindex < 0 || dindex >= layout_.daemons) return;
    mb_error e = MB_ERR_NONE;
    if (redisContext* c = pool_.connectTo(rs_.servers[dindex], &e)) {
        Session s(c, rs_.servers[dindex]);
        s.cmd(s.ok("SHUTDOWN"), "SHUTDOWN", "NOSAVE", "NOW", "FORCE");
        s.run();
        redisFree(c);
    }
    forgetServer(rs_.servers[dindex]);
}

}  // namespace mbstandin
