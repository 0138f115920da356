// redis_backend.cpp - the Redis backend (see redis_backend.h for the keys).
#include "redis_backend.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

#include "sim_cluster.h"

namespace mbstandin {

namespace {

constexpr size_t kIdleLinks = 16;
constexpr uint64_t kTopologyMs = 1000;  // replication figures are this fresh
constexpr size_t kKeysPerUnlink = 256;
constexpr size_t kDirectBytes = 16384;  // bulk data at least this long goes to hiredis as it is
constexpr uint64_t kBlockBit0 = 8;  // bitmap bit of block 0; bit 0 marks the region live
constexpr uint64_t kMaxBlocks = (1ull << 32) - kBlockBit0;

uint64_t nowSeconds() { return static_cast<uint64_t>(::time(nullptr)); }
uint64_t nowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

struct timeval toTimeval(uint32_t ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

struct ReplyFree {
    void operator()(redisReply* r) const {
        if (r) freeReplyObject(r);
    }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

std::string str(const redisReply* r) {
    return r && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS || r->type == REDIS_REPLY_ERROR)
               ? std::string(r->str, r->len)
               : std::string();
}

// One "field:value" line of an INFO text.
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

bool noScript(const redisReply* r) {
    return r && r->type == REDIS_REPLY_ERROR && std::strncmp(r->str, "NOSCRIPT", 8) == 0;
}

uint64_t toU64(const std::string& s) { return s.empty() ? 0 : std::strtoull(s.c_str(), nullptr, 10); }

// Glob characters of SCAN MATCH taken literally.
std::string globEscape(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') o += '\\';
        o += c;
    }
    return o;
}

// Open: create, exclusive create or open, atomically; takes a lease.
// KEYS meta, openers, the bitmap of the generation a create would give.
// ARGV create, exclusive, size, bs, minc, maxc, now_s, opener, lease end
// (ms), pid, ip, now (ms), gen. Answers {gen, size, bs, minc}, {-1} exists,
// {-2} missing.
const char* const kOpenScript = R"(
if redis.call('EXISTS', KEYS[1]) == 1 then
  if ARGV[2] == '1' then return {-1} end
else
  if ARGV[1] ~= '1' then return {-2} end
  redis.call('HSET', KEYS[1], 'size', ARGV[3], 'bs', ARGV[4], 'minc', ARGV[5], 'maxc', ARGV[6],
             'ctime', ARGV[7], 'mtime', ARGV[7], 'gen', ARGV[13])
  redis.call('SETBIT', KEYS[3], 0, 1)
end
redis.call('HSET', KEYS[1], 'atime', ARGV[7], 'pid', ARGV[10], 'ip', ARGV[11])
redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', '(' .. ARGV[12])
redis.call('ZADD', KEYS[2], ARGV[9], ARGV[8])
return redis.call('HMGET', KEYS[1], 'gen', 'size', 'bs', 'minc')
)";

// used: the end of the highest byte ever written. The last byte of the
// bitmap holds the highest written block (bits are only ever set); of the
// chunks under that block, the highest that exists ends where the highest
// write ended (SETRANGE only grows a string). The chunk keys are named
// from ARGV, so these scripts are for a standalone primary, not a cluster.
#define MB_USED_FUNCTION \
    "local function used(bits, base, bs, size)\n" \
    "  local n = redis.call('STRLEN', bits)\n" \
    "  if n <= 1 or not bs or bs <= 0 then return 0 end\n" \
    "  local v, j = string.byte(redis.call('GETRANGE', bits, n - 1, n - 1)), 7\n" \
    "  while v > 0 and v % 2 == 0 do v = v / 2; j = j - 1 end\n" \
    "  local lo = ((n - 1) * 8 + j - 8) * bs\n" \
    "  for c = math.floor((math.min(lo + bs, size) - 1) / 1048576), math.floor(lo / 1048576), -1 do\n" \
    "    local l = redis.call('STRLEN', base .. string.format('%d', c))\n" \
    "    if l > 0 then return c * 1048576 + l end\n" \
    "  end\n" \
    "  return lo\n" \
    "end\n"

// KEYS meta, bitmap. ARGV chunk key base. Answers used (0 when missing).
const char* const kUsedScript = MB_USED_FUNCTION R"(
local m = redis.call('HMGET', KEYS[1], 'bs', 'size')
return used(KEYS[2], ARGV[1], tonumber(m[1]), tonumber(m[2]))
)";

// Time stamps (at most once a second per handle): when the region is still
// this generation, mtime / atime set when non-zero. Answers 1, or -1.
const char* const kMarkScript = R"(
if redis.call('HGET', KEYS[1], 'gen') ~= ARGV[1] then return -1 end
if ARGV[3] ~= '0' then redis.call('HSET', KEYS[1], 'mtime', ARGV[3]) end
if ARGV[4] ~= '0' then redis.call('HSET', KEYS[1], 'atime', ARGV[4]) end
return 1
)";

// Delete: refused while a lease is live unless forced. The metadata, the
// leases and the bitmap (whose bit 0 every write checks) go at once; the
// chunks after. KEYS meta, openers, bitmap of generation ARGV[3]. ARGV now
// (ms), force, gen, chunk key base. Answers {1, used}, {-1} missing, {-2}
// open, {-3} the region is another generation now.
const char* const kDeleteScript = MB_USED_FUNCTION R"(
if redis.call('EXISTS', KEYS[1]) == 0 then return {-1} end
if redis.call('HGET', KEYS[1], 'gen') ~= ARGV[3] then return {-3} end
if ARGV[2] ~= '1' and redis.call('ZCOUNT', KEYS[2], ARGV[1], '+inf') > 0 then return {-2} end
local m = redis.call('HMGET', KEYS[1], 'bs', 'size')
local u = used(KEYS[3], ARGV[4], tonumber(m[1]), tonumber(m[2]))
redis.call('DEL', KEYS[1], KEYS[2], KEYS[3])
return {1, u}
)";

}  // namespace

// ---- one connection in use -------------------------------------------------------

struct RedisBackend::Session {
    redisContext* ctx = nullptr;
    const ServerAddress* addr = nullptr;  // for messages
    bool lost = false;        // the connection broke: the primary may have moved
    bool readonly = false;    // the server is a replica now

    // Commands are written here in the protocol's own form and handed to
    // hiredis when the first reply is asked for: no formatting pass per
    // argument, no buffer per command, and bulk data copied once.
    std::string out;

    struct Bytes {  // binary data as one argument
        const char* p;
        size_t n;
    };
    struct KeyNum {  // base followed by n in decimal, one argument
        const std::string& base;
        uint64_t n;
    };
    template <typename... A>
    void cmd(const A&... a) {
        begin(sizeof...(a));
        (arg(a), ...);
    }
    void send(std::initializer_list<std::string> words) {
        begin(words.size());
        for (const auto& w : words) arg(w.data(), w.size());
    }
    void sendArgv(int argc, const char** argv, const size_t* lens) {
        begin(static_cast<size_t>(argc));
        for (int i = 0; i < argc; ++i) arg(argv[i], lens[i]);
    }
    void begin(size_t argc) { line('*', argc); }
    void arg(const char* p, size_t n) {
        line('$', n);
        if (n >= kDirectBytes) {
            handOver();
            if (!lost && redisAppendFormattedCommand(ctx, p, n) != REDIS_OK) lost = true;
        } else {
            out.append(p, n);
        }
        out += "\r\n";
    }
    void arg(const std::string& w) { arg(w.data(), w.size()); }
    void arg(const char* z) { arg(z, std::strlen(z)); }
    void arg(uint64_t v) {
        char d[20];
        size_t n = digits(v, d);
        arg(d + sizeof d - n, n);
    }
    void arg(const Bytes& b) { arg(b.p, b.n); }
    void arg(const KeyNum& k) {
        char d[20];
        size_t n = digits(k.n, d);
        line('$', k.base.size() + n);
        out += k.base;
        out.append(d + sizeof d - n, n);
        out += "\r\n";
    }
    void handOver() {
        if (out.empty()) return;
        if (!lost && redisAppendFormattedCommand(ctx, out.data(), out.size()) != REDIS_OK) lost = true;
        out.clear();
    }
    // The next reply, or null with the failure detail set.
    Reply get(mb_error* err) {
        handOver();
        void* r = nullptr;
        if (lost || redisGetReply(ctx, &r) != REDIS_OK || !r) {
            int saved = errno;
            lost = true;
            if (ctx->err == REDIS_ERR_IO && (saved == EAGAIN || saved == EWOULDBLOCK || saved == ETIMEDOUT))
                *err = failWith(MB_ERR_TIMEDOUT, "no answer from Redis server " + server() + " within the command time-out");
            else
                *err = failWith(MB_ERR_DDEAD, "lost the connection to Redis server " + server() + ": " +
                                                  (ctx->errstr[0] ? ctx->errstr : "closed"));
            return nullptr;
        }
        return Reply(static_cast<redisReply*>(r));
    }
    // Turns an error reply into a library failure (null reply: already set).
    mb_error fault(const redisReply* r, const char* what) {
        if (!r) return lost ? MB_ERR_DDEAD : MB_ERR_OTHER;
        std::string msg = str(r).substr(0, 200);
        if (r->type != REDIS_REPLY_ERROR)
            return failWith(MB_ERR_OTHER, "unexpected reply from Redis server " + server() + " to " + what);
        if (msg.compare(0, 3, "OOM") == 0)
            return failWith(MB_ERR_NOMEM, "Redis server " + server() + " is out of memory (maxmemory): " + msg);
        if (msg.compare(0, 8, "READONLY") == 0) {
            readonly = true;
            return failWith(MB_ERR_DDEAD, "Redis server " + server() + " is a read-only replica, not the primary");
        }
        if (msg.compare(0, 6, "NOAUTH") == 0 || msg.compare(0, 9, "WRONGPASS") == 0)
            return failWith(MB_ERR_AUTH, "Redis server " + server() + " refused the client's credentials");
        if (msg.compare(0, 7, "LOADING") == 0 || msg.compare(0, 4, "BUSY") == 0 ||
            msg.compare(0, 10, "MASTERDOWN") == 0)
            return failWith(MB_ERR_RNR, "Redis server " + server() + " is not ready: " + msg);
        return failWith(MB_ERR_OTHER, "Redis server " + server() + " answered " + what + " with: " + msg);
    }
    bool isInt(const redisReply* r) const { return r && r->type == REDIS_REPLY_INTEGER; }
    std::string server() const { return addr ? addr->text() : std::string("(none)"); }

private:
    // v in decimal at the end of d; answers the digit count.
    static size_t digits(uint64_t v, char (&d)[20]) {
        size_t n = 0;
        do {
            d[sizeof d - ++n] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        return n;
    }
    void line(char kind, size_t v) {
        char d[20];
        size_t n = digits(v, d);
        out += kind;
        out.append(d + sizeof d - n, n);
        out += "\r\n";
    }
};

// ---- construction and connections --------------------------------------------------

RedisBackend::RedisBackend(const ClusterConfig& cfg) : rs_(cfg.redis), layout_(cfg.layout) {
    primary_ = rs_.servers.front();
    char host[256] = {0};
    ::gethostname(host, sizeof host - 1);
    std::random_device rd;
    char tag[64];
    std::snprintf(tag, sizeof tag, ":%d:%08x%08x", static_cast<int>(::getpid()), rd(), rd());
    hostTag_ = std::string(host) + tag;
}

RedisBackend::~RedisBackend() {
    for (auto& l : idle_) redisFree(l.ctx);
}

mb_error RedisBackend::create(const ClusterConfig& cfg, std::unique_ptr<Backend>* out) {
    std::unique_ptr<RedisBackend> b(new RedisBackend(cfg));
    std::string why, sentinels;
    // The Sentinels know the current primary; without an answer from them the
    // configured one is tried.
    if (!b->rs_.sentinels.empty() && !b->discoverPrimary(0, &sentinels)) sentinels += "; ";
    else sentinels.clear();
    Link l;
    bool authFailed = false;
    if (redisContext* c = b->connectTo(b->primary_, &why, &authFailed)) {
        l = Link{c, b->epoch_, b->primary_};
    } else {
        return failWith(authFailed ? MB_ERR_AUTH : MB_ERR_DDEAD, sentinels + why);
    }
    // The mark script runs by its digest on the data path.
    const char* argv[3] = {"SCRIPT", "LOAD", kMarkScript};
    Reply sha(static_cast<redisReply*>(redisCommandArgv(l.ctx, 3, argv, nullptr)));
    if (!sha || sha->type != REDIS_REPLY_STRING) {
        b->release(&l, false);
        return failWith(MB_ERR_OTHER, "Redis server " + l.addr.text() + " did not load the library's script");
    }
    b->markSha_ = str(sha.get());
    b->release(&l, true);
    *out = std::move(b);
    return MB_ERR_NONE;
}

redisContext* RedisBackend::connectTo(const ServerAddress& a, std::string* why, bool* authFailed) const {
    redisContext* c = redisConnectWithTimeout(a.host.c_str(), a.port, toTimeval(rs_.connect_timeout_ms));
    if (!c || c->err) {
        *why = "cannot connect to Redis server " + a.text() + ": " + (c ? c->errstr : "out of memory");
        if (c) redisFree(c);
        return nullptr;
    }
    redisSetTimeout(c, toTimeval(rs_.command_timeout_ms));
    if (!rs_.password.empty()) {
        const char* argv[2] = {"AUTH", rs_.password.data()};
        size_t lens[2] = {4, rs_.password.size()};
        Reply r(static_cast<redisReply*>(redisCommandArgv(c, 2, argv, lens)));
        if (!r || r->type == REDIS_REPLY_ERROR) {
            *why = "Redis server " + a.text() + " refused the configured password";
            if (authFailed) *authFailed = true;
            redisFree(c);
            return nullptr;
        }
    }
    return c;
}

bool RedisBackend::acquire(Link* l, std::string* why) const {
    ServerAddress addr;
    uint64_t epoch;
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
        addr = primary_;
        epoch = epoch_;
    }
    redisContext* c = connectTo(addr, why);
    if (!c) return false;
    *l = Link{c, epoch, addr};
    return true;
}

void RedisBackend::release(Link* l, bool healthy) const {
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

int RedisBackend::indexOf(const ServerAddress& a) const {
    for (size_t i = 0; i < rs_.servers.size(); ++i) {
        if (rs_.servers[i] == a) return static_cast<int>(i);
    }
    return -1;
}

// Asks the Sentinels for the current primary until one answers with a
// server that says it is a primary, within the connect plus command
// time-outs. Nothing to do when another thread moved on since seenEpoch.
bool RedisBackend::discoverPrimary(uint64_t seenEpoch, std::string* why) const {
    std::lock_guard<std::mutex> one(discoverMu_);
    {
        std::lock_guard<std::mutex> g(mu_);
        if (seenEpoch != 0 && epoch_ != seenEpoch) return true;
    }
    if (rs_.sentinels.empty()) return false;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(rs_.connect_timeout_ms + rs_.command_timeout_ms);
    *why = "no Sentinel named a reachable primary for master " + rs_.master_name;
    for (;;) {
        bool answered = false;  // else no failover can be waited for
        for (const auto& s : rs_.sentinels) {
            std::string ignored;
            redisContext* c = redisConnectWithTimeout(s.host.c_str(), s.port, toTimeval(rs_.connect_timeout_ms));
            if (!c || c->err) {
                if (c) redisFree(c);
                continue;
            }
            redisSetTimeout(c, toTimeval(rs_.command_timeout_ms));
            const char* argv[3] = {"SENTINEL", "get-master-addr-by-name", rs_.master_name.c_str()};
            Reply r(static_cast<redisReply*>(redisCommandArgv(c, 3, argv, nullptr)));
            redisFree(c);
            if (!r || r->type != REDIS_REPLY_ARRAY || r->elements != 2) continue;
            answered = true;
            ServerAddress a{str(r->element[0]), static_cast<uint16_t>(toU64(str(r->element[1])))};
            redisContext* p = connectTo(a, &ignored);
            if (!p) continue;
            Reply role(static_cast<redisReply*>(redisCommand(p, "ROLE")));
            redisFree(p);
            if (!role || role->type != REDIS_REPLY_ARRAY || role->elements < 1 || str(role->element[0]) != "master")
                continue;
            std::lock_guard<std::mutex> g(mu_);
            if (!(a == primary_)) {
                primary_ = a;
                topo_.taken_ms = 0;
            }
            ++epoch_;  // pooled connections predate the failure: drop them
            return true;
        }
        if (!answered) *why = "no Sentinel answered for master " + rs_.master_name;
        if (!answered || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Runs body on a pooled connection to the primary. A connection that broke
// or a primary that turned replica sends the Sentinels' way once, then the
// body runs again (every body is safe to repeat).
template <typename F>
mb_error RedisBackend::withPrimary(F&& body) const {
    for (int attempt = 0;; ++attempt) {
        Link l;
        std::string why;
        Session s;
        mb_error e = MB_ERR_NONE;
        if (!acquire(&l, &why)) {
            e = failWith(MB_ERR_DDEAD, why);
            s.lost = true;
        } else {
            s.ctx = l.ctx;
            s.addr = &l.addr;
            e = body(s);
        }
        bool moved = (s.lost && e != MB_ERR_TIMEDOUT) || s.readonly;
        release(&l, !s.lost && !s.readonly);
        if (!moved || attempt > 0 || rs_.sentinels.empty()) return e;
        std::string keep = failureDetail(e) ? failureDetail(e) : "";
        if (!discoverPrimary(l.epoch, &why)) return failWith(e, keep + "; " + why);
    }
}

std::string RedisBackend::key(const std::string& name, const std::string& suffix) const {
    return rs_.key_prefix + "{" + name + "}" + suffix;
}

RedisBackend::Region* RedisBackend::find(RegionId id) const {
    return id >= 1 && id <= regions_.size() ? regions_[id - 1].get() : nullptr;
}

// Replication figures of the primary (cached for a second).
RedisBackend::Topology RedisBackend::topology(Session& s, bool fresh) const {
    uint64_t now = nowMs();
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!fresh && topo_.taken_ms + kTopologyMs > now) return topo_;
    }
    Topology t;
    s.send({"INFO", "replication"});
    mb_error e = MB_ERR_NONE;
    Reply r = s.get(&e);
    if (!r || r->type != REDIS_REPLY_STRING) return t;
    std::string info = str(r.get());
    ServerAddress self;
    {
        std::lock_guard<std::mutex> g(mu_);
        self = primary_;
    }
    t.primary = indexOf(self);
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
    std::lock_guard<std::mutex> g(mu_);
    topo_ = t;
    return t;
}

// ---- regions ------------------------------------------------------------------

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
    r->meta = key(name, ":m");
    r->openers = key(name, ":o");
    r->opener = hostTag_ + ":" + std::to_string(regions_.size() + 1);
    std::random_device rd;
    char gen[24];
    std::snprintf(gen, sizeof gen, "%08x%08x", rd(), rd());
    mb_error opened = withPrimary([&](Session& s) -> mb_error {
        mb_error e = MB_ERR_NONE;
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
        s.send({"EVAL", kOpenScript, "3", r->meta, r->openers, key(name, std::string(":g") + gen + ":b"),
                req.create ? "1" : "0", req.exclusive ? "1" : "0",
                std::to_string(req.size), std::to_string(req.blocksize), std::to_string(minc), std::to_string(maxc),
                std::to_string(now), r->opener, std::to_string(ms + rs_.lease_seconds * 1000ull),
                std::to_string(req.opener_pid), ip, std::to_string(ms), gen});
        Reply rep = s.get(&e);
        if (!rep || rep->type != REDIS_REPLY_ARRAY) return s.fault(rep.get(), "EVAL (open)");
        if (rep->elements == 1 && s.isInt(rep->element[0]))
            return rep->element[0]->integer == -1 ? MB_ERR_STOREEXISTS : MB_ERR_STORENF;
        if (rep->elements != 4) return s.fault(rep.get(), "EVAL (open)");
        r->gen = str(rep->element[0]);
        r->size = toU64(str(rep->element[1]));
        r->blocksize = static_cast<uint32_t>(toU64(str(rep->element[2])));
        r->minc = static_cast<int32_t>(toU64(str(rep->element[3])));
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
    r->bits = key(name, ":g" + r->gen + ":b");
    r->chunkBase = key(name, ":g" + r->gen + ":c");
    regions_.push_back(std::move(r));
    *out = regions_.size();
    return MB_ERR_NONE;
}

mb_error RedisBackend::close(RegionId id) {
    clearFailureDetail();
    Region* r = find(id);
    if (!r || r->closed) return MB_ERR_INVAL;
    r->closed = true;
    r->known.reset();  // no data operation runs beside a close
    // A lease left behind (server unreachable) expires on its own.
    withPrimary([&](Session& s) {
        mb_error e = MB_ERR_NONE;
        s.send({"ZREM", r->openers, r->opener});
        Reply rep = s.get(&e);
        return rep ? MB_ERR_NONE : e;
    });
    clearFailureDetail();
    return MB_ERR_NONE;
}

void RedisBackend::appendLease(Session& s, Region& r, int* pending) const {
    uint64_t ms = nowMs();
    if (ms < r.renew_at_ms.load(std::memory_order_relaxed)) return;
    r.renew_at_ms.store(ms + rs_.lease_seconds * 500ull, std::memory_order_relaxed);
    s.send({"ZADD", r.openers, std::to_string(ms + rs_.lease_seconds * 1000ull), r.opener});
    ++*pending;
}

RedisBackend::Region* RedisBackend::transferRegion(RegionId id, uint64_t offset, uint64_t length,
                                                   mb_error* er) const {
    clearFailureDetail();
    Region* r = find(id);
    *er = !r || r->closed ? MB_ERR_INVAL
          : offset > r->size || length > r->size - offset ? MB_ERR_INVSIZ
                                                           : MB_ERR_NONE;
    return *er != MB_ERR_NONE || length == 0 ? nullptr : r;
}

mb_error RedisBackend::write(RegionId id, uint64_t offset, const void* src, uint64_t length) {
    mb_error er;
    Region* r = transferRegion(id, offset, length, &er);
    if (!r) return er;
    return withPrimary([&](Session& s) { return writeOnce(s, *r, offset, src, length); });
}

// One round trip: chunk updates, block bits, lease, then the check that the
// region is still this generation (last, so that a delete that came before
// any of it is seen); then WAIT when the region asks for more than one copy.
// Block b is bit b + 8 of the bitmap; bit 0 is set when the region is made
// and goes with its deletion, so the command that sets the last block's bit
// reads it too. A write to blocks this process knows written reads the
// generation instead.
mb_error RedisBackend::writeOnce(Session& s, Region& r, uint64_t offset, const void* src, uint64_t length) {
    const uint64_t end = offset + length;
    const auto* p = static_cast<const char*>(src);
    int pending = 0;
    s.out.reserve(512 + (length < kDirectBytes ? length : 0));  // all of it in one allocation
    for (uint64_t pos = offset; pos < end; ++pending) {
        uint64_t c = pos / kChunkBytes, in = pos % kChunkBytes, n = std::min(kChunkBytes - in, end - pos);
        s.cmd("SETRANGE", Session::KeyNum{r.chunkBase, c}, in, Session::Bytes{p + (pos - offset), n});
        pos += n;
    }
    const uint64_t b0 = offset / r.blocksize, last = (end - 1) / r.blocksize;
    const bool known = r.allKnown(b0, last);  // bits this process has seen set stay set
    const uint64_t lastBit = last + kBlockBit0;
    if (!known) {
        uint64_t b = b0 + kBlockBit0;
        auto setBit = [&](uint64_t bit) {
            s.cmd("SETBIT", r.bits, bit, "1");
            ++pending;
        };
        for (; b < lastBit && b % 8 != 0; ++b) setBit(b);
        if (uint64_t full = b < lastBit ? (lastBit - b) / 8 : 0) {
            s.send({"SETRANGE", r.bits, std::to_string(b / 8), std::string(full, '\xff')});
            ++pending;
            b += full * 8;
        }
        for (; b < lastBit; ++b) setBit(b);
    }
    appendLease(s, r, &pending);
    uint64_t now = nowSeconds();
    bool stamp = now != r.mtime_sent.load(std::memory_order_relaxed);
    if (stamp) {
        s.send({"EVALSHA", markSha_, "1", r.meta, r.gen, "0", std::to_string(now), "0"});
        ++pending;
    }
    if (known)
        s.cmd("HGET", r.meta, "gen");
    else
        s.cmd("BITFIELD", r.bits, "SET", "u1", lastBit, "1", "GET", "u1", "0");
    mb_error e = MB_ERR_NONE, first = MB_ERR_NONE;
    bool stamped = false;
    for (int i = 0; i < pending; ++i) {
        Reply rep = s.get(&e);
        if (!rep) return e;
        if (stamp && i == pending - 1) {  // the mark script's answer
            stamped = s.isInt(rep.get()) && rep->integer > 0;
            if (noScript(rep.get())) {
                s.send({"SCRIPT", "LOAD", kMarkScript});  // a primary promoted since it was loaded
                if (!s.get(&e)) return e;
            }
        } else if (rep->type == REDIS_REPLY_ERROR && first == MB_ERR_NONE) {
            first = s.fault(rep.get(), "SETRANGE/SETBIT");
        }
    }
    Reply check = s.get(&e);
    if (!check) return e;
    if (first != MB_ERR_NONE) return first;
    bool gone;
    if (known) {
        if (check->type == REDIS_REPLY_ERROR) return s.fault(check.get(), "HGET");
        gone = str(check.get()) != r.gen;
    } else {
        if (check->type != REDIS_REPLY_ARRAY || check->elements != 2 || !s.isInt(check->element[1]))
            return s.fault(check.get(), "BITFIELD");
        gone = check->element[1]->integer != 1;
    }
    if (gone) {
        // Deleted under us: take back what this write left (keys of this
        // generation only).
        int sent = 2;
        for (uint64_t c = offset / kChunkBytes; c <= (end - 1) / kChunkBytes; ++c, ++sent) {
            s.cmd("UNLINK", Session::KeyNum{r.chunkBase, c});
        }
        s.send({"UNLINK", r.bits});
        s.send({"ZREM", r.openers, r.opener});
        for (int i = 0; i < sent; ++i) s.get(&e);
        return failWith(MB_ERR_STOREDELETED, "region " + r.name + " was deleted");
    }
    if (!known) r.markKnown(b0, last);
    if (stamped) r.mtime_sent.store(now, std::memory_order_relaxed);
    if (r.minc > 1) {
        int want = r.minc - 1;
        uint32_t waitMs = std::max<uint32_t>(1, rs_.command_timeout_ms * 3 / 4);
        s.send({"WAIT", std::to_string(want), std::to_string(waitMs)});
        Reply w = s.get(&e);
        if (!w) return e;
        if (!s.isInt(w.get())) return s.fault(w.get(), "WAIT");
        if (w->integer < want)
            return failWith(MB_ERR_TIMEDOUT, "write to region " + r.name + " reached " + std::to_string(w->integer) +
                                                 " of " + std::to_string(want) + " replicas within " +
                                                 std::to_string(waitMs) + " ms; it is not acknowledged");
    }
    return MB_ERR_NONE;
}

mb_error RedisBackend::read(RegionId id, uint64_t offset, void* dst, uint64_t length) {
    mb_error er;
    Region* r = transferRegion(id, offset, length, &er);
    if (!r) return er;
    return withPrimary([&](Session& s) { return readOnce(s, *r, offset, dst, length); });
}

// One round trip: the touched blocks' bits (unless this process knows them
// all written), the chunk ranges, the lease when due. A reply shorter than
// asked for, or no written block, takes a second round trip to tell a
// deleted region from never-written bytes.
mb_error RedisBackend::readOnce(Session& s, Region& r, uint64_t offset, void* dst, uint64_t length) {
    const uint64_t end = offset + length, b0 = offset / r.blocksize, b1 = (end - 1) / r.blocksize;
    const bool known = r.allKnown(b0, b1);
    int pending = 0;
    if (!known) s.cmd("BITCOUNT", r.bits, b0 + kBlockBit0, b1 + kBlockBit0, "BIT");
    for (uint64_t pos = offset; pos < end;) {
        uint64_t c = pos / kChunkBytes, in = pos % kChunkBytes, n = std::min(kChunkBytes - in, end - pos);
        s.cmd("GETRANGE", Session::KeyNum{r.chunkBase, c}, in, in + n - 1);
        pos += n;
    }
    appendLease(s, r, &pending);
    uint64_t now = nowSeconds();
    bool stamp = now != r.atime_sent.load(std::memory_order_relaxed);
    if (stamp) {
        s.send({"EVALSHA", markSha_, "1", r.meta, r.gen, "0", "0", std::to_string(now)});
        ++pending;
    }
    mb_error e = MB_ERR_NONE, first = MB_ERR_NONE;
    long long written = 1;
    if (!known) {
        Reply bits = s.get(&e);
        if (!bits) return e;
        if (!s.isInt(bits.get())) first = s.fault(bits.get(), "BITCOUNT");
        else written = bits->integer;
    }
    bool shortReply = false;
    auto* out = static_cast<char*>(dst);
    for (uint64_t pos = offset; pos < end;) {
        uint64_t n = std::min(kChunkBytes - pos % kChunkBytes, end - pos);
        pos += n;
        Reply rep = s.get(&e);
        if (!rep) return e;
        if (rep->type == REDIS_REPLY_STRING) {
            size_t got = std::min<size_t>(rep->len, n);
            std::memcpy(out, rep->str, got);
            std::memset(out + got, 0, n - got);
            shortReply = shortReply || got < n;
        } else if (first == MB_ERR_NONE) {
            first = s.fault(rep.get(), "GETRANGE");
        }
        out += n;
    }
    bool checked = false;
    for (int i = 0; i < pending; ++i) {
        Reply rep = s.get(&e);
        if (!rep) return e;
        if (stamp && i == pending - 1 && s.isInt(rep.get())) {  // the mark script's answer
            if (rep->integer < 0) return failWith(MB_ERR_STOREDELETED, "region " + r.name + " was deleted");
            r.atime_sent.store(now, std::memory_order_relaxed);
            checked = true;
        } else if (stamp && i == pending - 1 && noScript(rep.get())) {
            s.send({"SCRIPT", "LOAD", kMarkScript});  // a primary promoted since it was loaded
            if (!s.get(&e)) return e;
        }
    }
    if (first != MB_ERR_NONE) return first;
    if ((shortReply || written == 0) && !checked) {
        s.send({"HGET", r.meta, "gen"});
        Reply g = s.get(&e);
        if (!g) return e;
        if (g->type == REDIS_REPLY_ERROR) return s.fault(g.get(), "HGET");
        if (str(g.get()) != r.gen) return failWith(MB_ERR_STOREDELETED, "region " + r.name + " was deleted");
    }
    if (written == 0) return MB_ERR_EMPTYBLOCK;
    if (!known && static_cast<uint64_t>(written) == b1 - b0 + 1) r.markKnown(b0, b1);
    return MB_ERR_NONE;
}

mb_error RedisBackend::fence(RegionId id) {
    // Reads are served by the primary, which has applied every write it
    // acknowledged: a fence only has to find the region still there.
    clearFailureDetail();
    Region* r = find(id);
    if (!r || r->closed) return MB_ERR_INVAL;
    return withPrimary([&](Session& s) -> mb_error {
        int pending = 0;
        appendLease(s, *r, &pending);
        s.send({"HGET", r->meta, "gen"});
        mb_error e = MB_ERR_NONE;
        for (int i = 0; i < pending; ++i) {
            if (!s.get(&e)) return e;
        }
        Reply rep = s.get(&e);
        if (!rep) return e;
        if (rep->type == REDIS_REPLY_ERROR) return s.fault(rep.get(), "HGET");
        return str(rep.get()) == r->gen ? MB_ERR_NONE : failWith(MB_ERR_STOREDELETED, "region " + r->name + " was deleted");
    });
}

// Fills a record from the region's metadata and leases (storehandle and
// state untouched).
// With gen given (an open handle's), the region must still be that
// generation (MB_ERR_STOREDELETED) and everything comes in one round trip.
mb_error RedisBackend::fill(Session& s, const std::string& name, const std::string& gen,
                            mb_client_storeinfo* out) const {
    s.send({"HGETALL", key(name, ":m")});
    s.send({"ZCOUNT", key(name, ":o"), std::to_string(nowMs()), "+inf"});
    auto askUsed = [&](const std::string& g) {
        s.send({"EVAL", kUsedScript, "2", key(name, ":m"), key(name, ":g" + g + ":b"), key(name, ":g" + g + ":c")});
    };
    if (!gen.empty()) askUsed(gen);
    mb_error e = MB_ERR_NONE;
    Reply meta = s.get(&e), opens = s.get(&e), used = gen.empty() ? Reply() : s.get(&e);
    if (!meta || !opens || (!gen.empty() && !used)) return e;
    if (meta->type != REDIS_REPLY_ARRAY) return s.fault(meta.get(), "HGETALL");
    auto text = [&](const char* f) {
        for (size_t i = 0; i + 1 < meta->elements; i += 2) {
            if (str(meta->element[i]) == f) return str(meta->element[i + 1]);
        }
        return std::string();
    };
    auto field = [&](const char* f) { return toU64(text(f)); };
    if (meta->elements == 0) return gen.empty() ? MB_ERR_STORENF : failWith(MB_ERR_STOREDELETED, "region " + name + " was deleted");
    if (!gen.empty() && text("gen") != gen) return failWith(MB_ERR_STOREDELETED, "region " + name + " was deleted");
    if (gen.empty()) {
        askUsed(text("gen"));
        used = s.get(&e);
        if (!used) return e;
    }
    Topology t = topology(s, false);
    std::memset(out->name, 0, sizeof out->name);
    std::strncpy(out->name, name.c_str(), sizeof out->name - 1);
    out->size = field("size");
    if (!s.isInt(used.get()) || used->integer < 0) return s.fault(used.get(), "EVAL (used)");
    out->used = static_cast<uint64_t>(used->integer);
    out->blocksize = static_cast<ub4>(field("bs"));
    out->ctime = field("ctime");
    out->mtime = field("mtime");
    out->atime = field("atime");
    out->primary = t.primary;
    out->open = s.isInt(opens.get()) && opens->integer > 0;
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

mb_error RedisBackend::describe(RegionId id, mb_client_storeinfo* out) const {
    clearFailureDetail();
    Region* r = find(id);
    if (!r || r->closed) return MB_ERR_INVAL;
    mb_error e = withPrimary([&](Session& s) -> mb_error {
        int pending = 0;
        appendLease(s, *r, &pending);
        for (int i = 0; i < pending; ++i) {
            mb_error le = MB_ERR_NONE;
            if (!s.get(&le)) return le;
        }
        return fill(s, r->name, r->gen, out);
    });
    return e == MB_ERR_STORENF ? MB_ERR_STOREDELETED : e;
}

mb_error RedisBackend::describeByName(const char* name, mb_client_storeinfo* out) const {
    clearFailureDetail();
    mb_error e = withPrimary([&](Session& s) { return fill(s, name, std::string(), out); });
    out->storehandle = 0;
    out->state = nullptr;
    return e;
}

std::vector<int> RedisBackend::placement(const char* name) const {
    std::vector<int> v;
    withPrimary([&](Session& s) -> mb_error {
        s.send({"EXISTS", key(name, ":m")});
        mb_error e = MB_ERR_NONE;
        Reply r = s.get(&e);
        if (!r || !s.isInt(r.get()) || r->integer == 0) return e;
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
    return withPrimary([&](Session& s) -> mb_error {
        mb_error e = MB_ERR_NONE;
        std::string gen;
        Reply r;
        for (int attempt = 0;; ++attempt) {  // again when the name was deleted and made anew meanwhile
            s.send({"HGET", key(name, ":m"), "gen"});
            Reply g = s.get(&e);
            if (!g) return e;
            if (g->type == REDIS_REPLY_NIL) return MB_ERR_STORENF;
            if (g->type != REDIS_REPLY_STRING) return s.fault(g.get(), "HGET");
            gen = str(g.get());
            s.send({"EVAL", kDeleteScript, "3", key(name, ":m"), key(name, ":o"), key(name, ":g" + gen + ":b"),
                    std::to_string(nowMs()), force ? "1" : "0", gen, key(name, ":g" + gen + ":c")});
            r = s.get(&e);
            if (!r) return e;
            if (r->type != REDIS_REPLY_ARRAY || r->elements < 1 || !s.isInt(r->element[0]))
                return s.fault(r.get(), "EVAL (delete)");
            if (r->element[0]->integer != -3 || attempt == 100) break;
        }
        if (r->element[0]->integer == -1) return MB_ERR_STORENF;
        if (r->element[0]->integer == -2) return MB_ERR_STOREOPEN;
        if (r->element[0]->integer == -3) return failWith(MB_ERR_RNR, "region " + std::string(name) + " kept changing");
        if (r->elements != 2 || !s.isInt(r->element[1])) return s.fault(r.get(), "EVAL (delete)");
        uint64_t used = static_cast<uint64_t>(std::max<long long>(0, r->element[1]->integer));
        uint64_t chunks = (used + kChunkBytes - 1) / kChunkBytes;
        std::vector<std::string> keys{key(name, ":g" + gen + ":b")};
        for (uint64_t c = 0; c < chunks; ++c) keys.push_back(key(name, ":g" + gen + ":c" + std::to_string(c)));
        int pending = 0;
        for (size_t at = 0; at < keys.size(); at += kKeysPerUnlink) {
            std::vector<const char*> argv{"UNLINK"};
            std::vector<size_t> lens{6};
            for (size_t i = at; i < std::min(keys.size(), at + kKeysPerUnlink); ++i) {
                argv.push_back(keys[i].data());
                lens.push_back(keys[i].size());
            }
            s.sendArgv(static_cast<int>(argv.size()), argv.data(), lens.data());
            ++pending;
        }
        for (int i = 0; i < pending; ++i) {
            Reply u = s.get(&e);
            if (!u) return e;  // the metadata is gone; the chunks stay unreachable
        }
        return MB_ERR_NONE;
    });
}

void RedisBackend::listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const {
    clearFailureDetail();
    withPrimary([&](Session& s) -> mb_error {
        if (dindex >= 0 && !(topology(s, true).nodes >> dindex & 1)) return MB_ERR_NONE;
        std::vector<std::string> names;
        std::string cursor = "0", pattern = globEscape(rs_.key_prefix) + "{*}:m";
        mb_error e = MB_ERR_NONE;
        do {
            s.send({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000", "TYPE", "hash"});
            Reply r = s.get(&e);
            if (!r) return e;
            if (r->type != REDIS_REPLY_ARRAY || r->elements != 2) return s.fault(r.get(), "SCAN");
            cursor = str(r->element[0]);
            for (size_t i = 0; i < r->element[1]->elements; ++i) {
                std::string k = str(r->element[1]->element[i]);
                size_t skip = rs_.key_prefix.size() + 1;
                if (k.size() >= skip + 3) names.push_back(k.substr(skip, k.size() - skip - 3));
            }
        } while (cursor != "0");
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        std::vector<mb_client_storeinfo> found;
        for (const auto& n : names) {
            mb_client_storeinfo info;
            std::memset(&info, 0, sizeof info);
            mb_error fe = fill(s, n, std::string(), &info);
            if (fe == MB_ERR_NONE) found.push_back(info);
            else if (fe != MB_ERR_STORENF) return fe;
        }
        *out = found;
        return MB_ERR_NONE;
    });
}

// INFO of configured server dindex.
mb_error RedisBackend::serverInfo(int dindex, std::string* info, std::string* why) const {
    redisContext* c = connectTo(rs_.servers[dindex], why);
    if (!c) return MB_ERR_DDEAD;
    Reply r(static_cast<redisReply*>(redisCommand(c, "INFO")));
    bool ok = r && r->type == REDIS_REPLY_STRING;
    if (ok) *info = str(r.get());
    else *why = "Redis server " + rs_.servers[dindex].text() + " did not answer INFO";
    redisFree(c);
    return ok ? MB_ERR_NONE : MB_ERR_DDEAD;
}

bool RedisBackend::daemonUp(int dindex) const {
    if (dindex < 0 || dindex >= layout_.daemons) return false;
    std::string why;
    redisContext* c = connectTo(rs_.servers[dindex], &why);
    if (!c) return false;
    Reply r(static_cast<redisReply*>(redisCommand(c, "PING")));
    redisFree(c);
    return r && r->type != REDIS_REPLY_ERROR;
}

void RedisBackend::listDaemons(std::vector<mb_daemon_info>* out) const {
    std::vector<mb_client_storeinfo> regions;
    listRegions(-1, &regions);
    int opens = 0;
    for (const auto& r : regions) opens += r.open ? 1 : 0;
    clearFailureDetail();
    uint64_t now = nowSeconds();
    for (int i = 0; i < layout_.daemons; ++i) {
        mb_daemon_info d;
        std::memset(&d, 0, sizeof d);
        std::string info, why;
        bool up = serverInfo(i, &info, &why) == MB_ERR_NONE;
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
            d.number_stores = static_cast<int32_t>(regions.size());
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
    std::string info, why;
    if (serverInfo(dindex, &info, &why) != MB_ERR_NONE) return failWith(MB_ERR_DDEAD, why);
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
    std::string info, why;
    if (serverInfo(dindex, &info, &why) != MB_ERR_NONE) return failWith(MB_ERR_DDEAD, why);
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
    redisContext* c = connectTo(rs_.servers[dindex], &why);
    if (!c) return failWith(MB_ERR_DDEAD, why);
    // SHUTDOWN answers only when it refuses; success closes the connection.
    Reply r(static_cast<redisReply*>(
        (flags & MB_SHUTDOWN_FORCE) ? redisCommand(c, "SHUTDOWN FORCE") : redisCommand(c, "SHUTDOWN")));
    std::string refused = r && r->type == REDIS_REPLY_ERROR ? str(r.get()) : "";
    redisFree(c);
    if (!refused.empty()) return failWith(MB_ERR_OTHER, "Redis server " + rs_.servers[dindex].text() +
                                                            " refused SHUTDOWN: " + refused.substr(0, 200));
    std::lock_guard<std::mutex> g(mu_);
    ++epoch_;
    topo_.taken_ms = 0;
    return MB_ERR_NONE;
}

void RedisBackend::crash(int dindex) {
    if (!rs_.events || dindex < 0 || dindex >= layout_.daemons) return;
    std::string why;
    if (redisContext* c = connectTo(rs_.servers[dindex], &why)) {
        Reply r(static_cast<redisReply*>(redisCommand(c, "SHUTDOWN NOSAVE NOW FORCE")));
        redisFree(c);
    }
    std::lock_guard<std::mutex> g(mu_);
    ++epoch_;
    topo_.taken_ms = 0;
}

void RedisBackend::revive(int) {
    // Servers are started by their operators; nothing to do from here.
}

// ---- choice of backend --------------------------------------------------------------

mb_error makeBackend(const ClusterConfig& cfg, std::unique_ptr<Backend>* out) {
    if (cfg.backend == BackendKind::Redis) return RedisBackend::create(cfg, out);
    out->reset(new SimCluster(cfg.layout));
    return MB_ERR_NONE;
}

bool sameCluster(const Backend& b, const ClusterConfig& cfg) {
    const auto* r = dynamic_cast<const RedisBackend*>(&b);
    if (cfg.backend == BackendKind::Embedded) return !r && b.layout() == cfg.layout;
    return r && r->settings().servers == cfg.redis.servers && r->settings().key_prefix == cfg.redis.key_prefix &&
           r->layout() == cfg.layout;
}

bool regionsOutsideProcess(const Backend& b) { return dynamic_cast<const RedisBackend*>(&b) != nullptr; }

}  // namespace mbstandin
