// redis_pool.cpp - connections, the Sentinels and failover (see redis_pool.h).
#include "redis_pool.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace mbstandin {

namespace {

constexpr size_t kIdleLinks = 16;

struct timeval toTimeval(uint32_t ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

}  // namespace

PrimaryPool::PrimaryPool(const RedisSettings& rs) : rs_(rs), primary_(rs.servers.front()) {}

PrimaryPool::~PrimaryPool() {
    for (auto& l : idle_) redisFree(l.ctx);
}

redisContext* connectServer(const RedisSettings& rs, const ServerAddress& a, mb_error* err, bool probe) {
    redisContext* c = redisConnectWithTimeout(a.host.c_str(), a.port, toTimeval(rs.connect_timeout_ms));
    if (!c || c->err) {
        *err = failWith(MB_ERR_DDEAD,
                        "cannot connect to Redis server " + a.text() + ": " + (c ? c->errstr : "out of memory"));
        if (c) redisFree(c);
        return nullptr;
    }
    redisSetTimeout(c, toTimeval(probe ? rs.connect_timeout_ms : rs.command_timeout_ms));
    // Without a password the first command would meet a server that wants
    // one; the PING makes that an authentication failure here.
    // Either must answer with a status, as only a Redis server does.
    Session s(c, a);
    auto status = [&s](const char* what) {
        return [&s, what](const redisReply& r) { return r.type == REDIS_REPLY_STATUS ? MB_ERR_NONE : s.fault(r, what); };
    };
    if (rs.password.empty()) {
        s.cmd(status("PING"), "PING");
    } else if (rs.user.empty()) {
        s.cmd(status("AUTH"), "AUTH", rs.password);
    } else {
        s.cmd(status("AUTH"), "AUTH", rs.user, rs.password);
    }
    *err = s.run();
    if (*err != MB_ERR_NONE) {
        redisFree(c);
        return nullptr;
    }
    return c;
}

ServerAddress PrimaryPool::primary() const {
    std::lock_guard<std::mutex> g(mu_);
    return primary_;
}

uint64_t PrimaryPool::epoch() const {
    std::lock_guard<std::mutex> g(mu_);
    return epoch_;
}

void PrimaryPool::endEpoch() const {
    std::lock_guard<std::mutex> g(mu_);
    ++epoch_;
    for (auto& l : idle_) redisFree(l.ctx);
    idle_.clear();
}

bool PrimaryPool::acquire(Link* l, mb_error* err) const {
    {
        std::lock_guard<std::mutex> g(mu_);
        while (!idle_.empty()) {
            Link x = idle_.back();
            idle_.pop_back();
            if (x.epoch == epoch_) {
                *l = x;
                return true;
            }
            redisFree(x.ctx);
        }
        l->addr = primary_;
        l->epoch = epoch_;
    }
    l->ctx = connectTo(l->addr, err);
    return l->ctx != nullptr;
}

void PrimaryPool::release(Link* l, bool healthy) const {
    if (!l->ctx) return;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (healthy && l->ctx->err == 0 && l->epoch == epoch_ && idle_.size() < kIdleLinks) {
            idle_.push_back(*l);
            l->ctx = nullptr;
            return;
        }
    }
    redisFree(l->ctx);
    l->ctx = nullptr;
}

bool PrimaryPool::discover(uint64_t seenEpoch, const ServerAddress& used, bool* moved, std::string* why) const {
    std::lock_guard<std::mutex> one(discoverMu_);
    *moved = false;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (seenEpoch != 0 && epoch_ != seenEpoch) {  // another thread moved on meanwhile
            *moved = !(primary_ == used);
            return true;
        }
    }
    if (rs_.sentinels.empty()) return false;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(rs_.connect_timeout_ms + rs_.command_timeout_ms);
    *why = "no Sentinel named a reachable primary for master " + rs_.master_name;
    for (;;) {
        bool answered = false;  // else no failover can be waited for
        for (const auto& sentinel : rs_.sentinels) {
            redisContext* c = redisConnectWithTimeout(sentinel.host.c_str(), sentinel.port,
                                                      toTimeval(rs_.connect_timeout_ms));
            if (!c || c->err) {
                if (c) redisFree(c);
                continue;
            }
            redisSetTimeout(c, toTimeval(rs_.connect_timeout_ms));
            std::vector<std::string> named;
            {
                Session s(c, sentinel);
                s.cmd([&](const redisReply& r) {
                    if (r.type != REDIS_REPLY_ARRAY || r.elements != 2) return s.fault(r, "SENTINEL");
                    named = {replyText(r.element[0]), replyText(r.element[1])};
                    return MB_ERR_NONE;
                }, "SENTINEL", "get-master-addr-by-name", rs_.master_name);
                s.run();
            }
            redisFree(c);
            if (named.size() != 2) continue;
            answered = true;
            ServerAddress a{named[0], static_cast<uint16_t>(std::strtoul(named[1].c_str(), nullptr, 10))};
            mb_error err;
            redisContext* p = connectTo(a, &err, true);  // a paused server must not hold the search up
            if (!p) continue;
            bool master = false;
            {
                Session s(p, a);
                s.cmd([&](const redisReply& r) {
                    master = r.type == REDIS_REPLY_ARRAY && r.elements >= 1 && replyText(r.element[0]) == "master";
                    return MB_ERR_NONE;
                }, "ROLE");
                s.run();
            }
            redisFree(p);
            if (!master) continue;
            std::lock_guard<std::mutex> g(mu_);
            *moved = !(a == used);
            primary_ = a;
            ++epoch_;  // pooled connections predate the failure: drop them
            for (auto& l : idle_) redisFree(l.ctx);
            idle_.clear();
            return true;
        }
        if (!answered) *why = "no Sentinel answered for master " + rs_.master_name;
        if (!answered || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace mbstandin
