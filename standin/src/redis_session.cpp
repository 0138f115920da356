// redis_session.cpp - batches of commands and their replies (see redis_session.h).
#include "redis_session.h"

#include <hiredis/hiredis.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace mbstandin {

void ReplyFree::operator()(redisReply* r) const {
    if (r) freeReplyObject(r);
}

std::string replyText(const redisReply* r) {
    return r && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS || r->type == REDIS_REPLY_ERROR)
               ? std::string(r->str, r->len)
               : std::string();
}

bool isInteger(const redisReply* r) { return r && r->type == REDIS_REPLY_INTEGER; }
bool isNil(const redisReply* r) { return r && r->type == REDIS_REPLY_NIL; }

uint64_t toU64(const std::string& s) { return s.empty() ? 0 : std::strtoull(s.c_str(), nullptr, 10); }

std::string infoField(const std::string& info, const std::string& field) {
    size_t at = 0;
    while ((at = info.find(field + ":", at)) != std::string::npos) {
        if (at == 0 || info[at - 1] == '\n') {
            size_t from = at + field.size() + 1, to = info.find_first_of("\r\n", from);
            return info.substr(from, to == std::string::npos ? std::string::npos : to - from);
        }
        at += field.size();
    }
    return std::string();
}

Session::Session(redisContext* ctx, const ServerAddress& addr, const Redirector* redirector, bool asking)
    : ctx_(ctx), addr_(addr), redirector_(redirector), asking_(asking), writer_(&Session::sink, ctx) {
    handlers_.reserve(16);
}

namespace {
constexpr int kMaxRedirects = 5;  // MOVED and ASK followed for one command at most

uint64_t steadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
}  // namespace

void Session::queue(Queued&& q) {
    if (asking_) {
        handlers_.push_back(Queued{[](const redisReply&) { return MB_ERR_NONE; }, nullptr, nullptr, 0, 0, 0});
        writer_.cmd("ASKING");
    }
    handlers_.push_back(std::move(q));
}

void Session::replay(Parked&& p) {
    queue(std::move(p.q));  // ASKING first when asking
    handlers_.back().again(writer_);
}

void Session::waitFor(uint64_t n, uint64_t ms, long long* acked) {
    handlers_.push_back(Queued{integer(acked, "WAIT"), nullptr, nullptr, 0, 0, 0});
    writer_.cmd("WAIT", n, ms);
}

// "MOVED <slot> <host>:<port>", "ASK <slot> <host>:<port>" or "TRYAGAIN ...".
bool Session::park(Queued& q, const redisReply& r) {
    std::string msg = replyText(&r);
    Parked p;
    if (msg.compare(0, 9, "TRYAGAIN ") == 0 || msg == "TRYAGAIN") {
        const uint64_t now = steadyMs();
        if (q.tries == 0) q.tryUntilMs = now + redirector_->patienceMs();
        if (now >= q.tryUntilMs) return false;
        q.tries++;
        p.kind = Parked::TryAgain;
        p.to = addr_;
        p.asking = asking_;
    } else {
        bool moved = msg.compare(0, 6, "MOVED ") == 0;
        if ((!moved && msg.compare(0, 4, "ASK ") != 0) || q.hops >= kMaxRedirects) return false;
        size_t sp = msg.find(' '), sp2 = msg.find(' ', sp + 1), colon = msg.rfind(':');
        if (sp2 == std::string::npos || colon == std::string::npos || colon < sp2) return false;
        p.kind = moved ? Parked::Moved : Parked::Ask;
        p.slot = static_cast<uint16_t>(toU64(msg.substr(sp + 1, sp2 - sp - 1)) & 16383);
        p.to.host = msg.substr(sp2 + 1, colon - sp2 - 1);
        p.to.port = static_cast<uint16_t>(toU64(msg.substr(colon + 1)));
        if (p.to.host.empty()) p.to.host = addr_.host;  // the node's own address was not known to it
        p.asking = !moved;
        q.hops++;
    }
    p.q = std::move(q);
    parked_.push_back(std::move(p));
    return true;
}

bool Session::sink(void* to, const char* p, size_t n) {
    return redisAppendFormattedCommand(static_cast<redisContext*>(to), p, n) == REDIS_OK;
}

void Session::cmdArgv(Handler h, const std::vector<std::string>& argv) {
    Queued q{std::move(h), nullptr, nullptr, 0, 0, 0};
    if (redirector_) {
        q.again = [argv](RespWriter& w) {
            w.begin(argv.size());
            for (const auto& a : argv) w.arg(a);
        };
    }
    queue(std::move(q));
    writer_.begin(argv.size());
    for (const auto& a : argv) writer_.arg(a);
}

mb_error Session::transportFailure() {
    int saved = errno;
    lost = true;
    handlers_.clear();
    parked_.clear();
    next_ = 0;
    writer_.reset();
    if (ctx_->err == REDIS_ERR_IO && (saved == EAGAIN || saved == EWOULDBLOCK || saved == ETIMEDOUT)) {
        timedOut = true;
        return failWith(MB_ERR_TIMEDOUT, "no answer from Redis server " + server() + " within the command time-out");
    }
    return failWith(MB_ERR_DDEAD, "lost the connection to Redis server " + server() + ": " +
                                      (ctx_->errstr[0] ? ctx_->errstr : "closed"));
}

mb_error Session::run() {
    if (lost) {
        handlers_.clear();
        next_ = 0;
        writer_.reset();
        return failWith(MB_ERR_DDEAD, "lost the connection to Redis server " + server());
    }
    mb_error first = MB_ERR_NONE;
    for (;;) {
        while (next_ < handlers_.size()) {
            writer_.flush();
            if (writer_.failed()) return transportFailure();
            void* r = nullptr;
            if (redisGetReply(ctx_, &r) != REDIS_OK || !r) return transportFailure();
            Reply rep(static_cast<redisReply*>(r));
            Queued q = std::move(handlers_[next_++]);  // its handler may queue more, growing handlers_
            if (q.again && rep->type == REDIS_REPLY_ERROR && park(q, *rep)) continue;
            mb_error e = q.h(*rep);
            if (e == MB_ERR_NONE) continue;
            if (!q.owner) {
                if (first == MB_ERR_NONE) first = e;
            } else if (q.owner->err == MB_ERR_NONE) {
                q.owner->err = e;
                q.owner->detail = failureDetail(e);
            }
        }
        if (parked_.empty()) break;
        // Commands sent elsewhere run there now; their handlers may queue
        // more here.
        std::vector<Parked> parked;
        parked.swap(parked_);
        redirector_->follow(*this, parked, &first);
    }
    handlers_.clear();
    next_ = 0;
    return first;
}

Session::Handler Session::ok(const char* what) {
    return [this, what](const redisReply& r) { return r.type == REDIS_REPLY_ERROR ? fault(r, what) : MB_ERR_NONE; };
}

Session::Handler Session::integer(long long* out, const char* what) {
    return [this, out, what](const redisReply& r) {
        if (r.type != REDIS_REPLY_INTEGER) return fault(r, what);
        *out = r.integer;
        return MB_ERR_NONE;
    };
}

Session::Handler Session::text(std::string* out, bool* nil, const char* what) {
    return [this, out, nil, what](const redisReply& r) {
        *nil = r.type == REDIS_REPLY_NIL;
        if (*nil) return MB_ERR_NONE;
        if (r.type != REDIS_REPLY_STRING) return fault(r, what);
        out->assign(r.str, r.len);
        return MB_ERR_NONE;
    };
}

mb_error Session::fault(const redisReply& r, const char* what) {
    if (r.type != REDIS_REPLY_ERROR)
        return failWith(MB_ERR_OTHER, "unexpected reply from Redis server " + server() + " to " + what);
    std::string msg = replyText(&r).substr(0, 200);
    auto starts = [&](const char* p) { return msg.compare(0, std::strlen(p), p) == 0; };
    if (starts("OOM")) return failWith(MB_ERR_NOMEM, "Redis server " + server() + " is out of memory (maxmemory): " + msg);
    if (starts("READONLY")) {
        readonly = true;
        return failWith(MB_ERR_DDEAD, "Redis server " + server() + " is a read-only replica, not the primary");
    }
    if (starts("NOAUTH") || starts("WRONGPASS") || starts("NOPERM") || starts("ERR AUTH") ||
        starts("ERR invalid password")) {
        return failWith(MB_ERR_AUTH, "authentication to Redis server " + server() + " failed (" + what + "): " + msg);
    }
    if (starts("LOADING") || starts("BUSY") || starts("MASTERDOWN") || starts("TRYAGAIN") ||
        starts("CLUSTERDOWN"))
        return failWith(MB_ERR_RNR, "Redis server " + server() + " is not ready: " + msg);
    if (starts("ERR Function not found")) {
        missingFunction = true;
        return failWith(MB_ERR_OTHER, "Redis server " + server() + " lacks the library's functions (" + what + ")");
    }
    return failWith(MB_ERR_OTHER, "Redis server " + server() + " answered " + what + " with: " + msg);
}

}  // namespace mbstandin
