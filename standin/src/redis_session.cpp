// redis_session.cpp - batches of commands and their replies (see redis_session.h).
#include "redis_session.h"

#include <hiredis/hiredis.h>

#include <cerrno>
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

Session::Session(redisContext* ctx, const ServerAddress& addr) : ctx_(ctx), addr_(addr), writer_(&Session::sink, ctx) {
    handlers_.reserve(16);
}

bool Session::sink(void* to, const char* p, size_t n) {
    return redisAppendFormattedCommand(static_cast<redisContext*>(to), p, n) == REDIS_OK;
}

void Session::cmdArgv(Handler h, const std::vector<std::string>& argv) {
    handlers_.push_back(Queued{std::move(h), nullptr});
    writer_.begin(argv.size());
    for (const auto& a : argv) writer_.arg(a);
}

mb_error Session::transportFailure() {
    int saved = errno;
    lost = true;
    handlers_.clear();
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
    while (next_ < handlers_.size()) {
        writer_.flush();
        if (writer_.failed()) return transportFailure();
        void* r = nullptr;
        if (redisGetReply(ctx_, &r) != REDIS_OK || !r) return transportFailure();
        Reply rep(static_cast<redisReply*>(r));
        Queued q = std::move(handlers_[next_++]);  // its handler may queue more, growing handlers_
        mb_error e = q.h(*rep);
        if (e == MB_ERR_NONE) continue;
        if (!q.owner) {
            if (first == MB_ERR_NONE) first = e;
        } else if (q.owner->err == MB_ERR_NONE) {
            q.owner->err = e;
            q.owner->detail = failureDetail(e);
        }
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
    if (starts("LOADING") || starts("BUSY") || starts("MASTERDOWN") || starts("TRYAGAIN"))
        return failWith(MB_ERR_RNR, "Redis server " + server() + " is not ready: " + msg);
    if (starts("ERR Function not found")) {
        missingFunction = true;
        return failWith(MB_ERR_OTHER, "Redis server " + server() + " lacks the library's functions (" + what + ")");
    }
    return failWith(MB_ERR_OTHER, "Redis server " + server() + " answered " + what + " with: " + msg);
}

}  // namespace mbstandin
