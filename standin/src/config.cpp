// config.cpp - reader of the cluster configuration file, and the detailed
// failure texts.
//
// Line-oriented text; '#' starts a comment (a whole line or the end of one);
// words are separated by blanks. The settings are listed in the stand-in's
// README; anything else is malformed, and the failure detail names the line.
#include "config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

namespace mbstandin {

// ---- failure details -------------------------------------------------------------

namespace {

struct Detail {
    int error;
    const char* text;
};
thread_local Detail tl_detail{-1, nullptr};

// Texts handed out by mb_get_error_message must stay valid: they are kept
// in a set that never shrinks. Past the cap the plain code texts are used.
constexpr size_t kMaxDetailTexts = 4096;

const char* intern(const std::string& text) {
    static std::mutex mu;
    static auto* texts = new std::set<std::string>();
    std::lock_guard<std::mutex> g(mu);
    auto it = texts->find(text);
    if (it != texts->end()) return it->c_str();
    if (texts->size() >= kMaxDetailTexts) return nullptr;
    return texts->insert(text).first->c_str();
}

}  // namespace

mb_error failWith(mb_error error, const std::string& text) {
    tl_detail = Detail{static_cast<int>(error), intern(text)};
    return error;
}

void clearFailureDetail() { tl_detail = Detail{-1, nullptr}; }

const char* failureDetail(int error) { return tl_detail.error == error ? tl_detail.text : nullptr; }

// ---- configuration file ------------------------------------------------------------

namespace {

bool parseNumber(const std::string& s, uint64_t* out) {
    if (s.empty()) return false;
    size_t i = 0;
    uint64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    if (i == 0) return false;
    uint64_t mul = 1;
    if (i < s.size()) {
        if (i + 1 != s.size()) return false;
        switch (s[i]) {
            case 'k': case 'K': mul = 1ull << 10; break;
            case 'm': case 'M': mul = 1ull << 20; break;
            case 'g': case 'G': mul = 1ull << 30; break;
            default: return false;
        }
    }
    if (v > UINT64_MAX / mul) return false;
    *out = v * mul;
    return true;
}

bool parsePlain(const std::string& s, uint64_t lo, uint64_t hi, uint32_t* out) {
    uint64_t v;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
    }
    if (!parseNumber(s, &v) || v < lo || v > hi) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parseAddress(const std::string& ip, const std::string& port, ServerAddress* out) {
    struct in_addr addr;
    uint32_t p;
    if (::inet_pton(AF_INET, ip.c_str(), &addr) != 1 || !parsePlain(port, 1, 65535, &p)) return false;
    out->host = ip;
    out->port = static_cast<uint16_t>(p);
    return true;
}

// The password file must be a regular file of this user that nobody else
// may read or write.
bool readPasswordFile(const std::string& path, std::string* out, std::string* why) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "password file " + path + " is missing or not a regular file";
        return false;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        *why = "password file " + path + " must belong to this user and be readable by its owner only";
        return false;
    }
    std::ifstream in(path);
    if (!in || !std::getline(in, *out)) {
        *why = "password file " + path + " cannot be read";
        return false;
    }
    while (!out->empty() && (out->back() == '\r' || out->back() == ' ')) out->pop_back();
    if (out->empty()) {
        *why = "password file " + path + " is empty";
        return false;
    }
    return true;
}

}  // namespace

mb_error readClusterConfig(const char* path, ClusterConfig* out) {
    clearFailureDetail();
    const std::string where = std::string("configuration file ") + path;
    struct stat st;
    if (::stat(path, &st) != 0) {
        mb_error e = errno == ENOENT || errno == ENOTDIR ? MB_ERR_NOCFG : MB_ERR_CFGREAD;
        return failWith(e, where + (e == MB_ERR_NOCFG ? " not found" : " cannot be read"));
    }
    if (!S_ISREG(st.st_mode)) return failWith(MB_ERR_CFGREAD, where + " is not a regular file");
    std::ifstream in(path);
    if (!in) return failWith(MB_ERR_CFGREAD, where + " cannot be read");

    uint64_t daemons = 3, memory = 1ull << 30;
    bool daemonsGiven = false;
    struct Entry { uint64_t index; uint32_t ip; uint64_t port; int line; };
    std::vector<Entry> entries;
    ClusterConfig cfg;
    RedisSettings& rs = cfg.redis;
    bool primaryGiven = false;
    int redisOnlyLine = 0;  // first line of a Redis setting
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        auto bad = [&](const std::string& why) {
            return failWith(MB_ERR_CFGREAD, where + " line " + std::to_string(lineNo) + ": " + why);
        };
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::string key, a, b, c, extra;
        if (!(words >> key)) continue;
        // Every setting takes a fixed number of words.
        auto take = [&](int n) {
            bool ok = (n < 1 || static_cast<bool>(words >> a)) && (n < 2 || static_cast<bool>(words >> b)) &&
                      (n < 3 || static_cast<bool>(words >> c));
            return ok && !(words >> extra);
        };
        bool redisOnly = false;
        if (key == "daemons") {
            if (!take(1) || !parseNumber(a, &daemons) || daemons < 1 || daemons > 64)
                return bad("daemons takes a count from 1 to 64");
            daemonsGiven = true;
        } else if (key == "memory") {
            if (!take(1) || !parseNumber(a, &memory)) return bad("memory takes a byte count (K, M or G suffix)");
        } else if (key == "daemon") {
            Entry e;
            struct in_addr addr;
            if (!take(3) || !parseNumber(a, &e.index) || !parseNumber(c, &e.port) || e.port > 65535 ||
                ::inet_pton(AF_INET, b.c_str(), &addr) != 1)
                return bad("daemon takes an index, an IPv4 address and a port");
            e.ip = addr.s_addr;
            e.line = lineNo;
            entries.push_back(e);
        } else if (key == "completion") {
            if (!take(1) || (a != "inline" && a != "async")) return bad("completion is inline or async");
            cfg.completion = a == "inline" ? 1 : 0;
        } else if (key == "backend") {
            if (!take(1) || (a != "embedded" && a != "redis")) return bad("backend is embedded or redis");
            cfg.backend = a == "redis" ? BackendKind::Redis : BackendKind::Embedded;
        } else if (key == "primary" || key == "replica" || key == "sentinel") {
            ServerAddress s;
            if (!take(2) || !parseAddress(a, b, &s)) return bad(key + " takes an IPv4 address and a port");
            if (key == "sentinel") {
                rs.sentinels.push_back(s);
            } else if (key == "primary") {
                if (primaryGiven) return bad("a second primary");
                primaryGiven = true;
                rs.servers.insert(rs.servers.begin(), s);
            } else {
                rs.servers.push_back(s);
            }
            redisOnly = true;
        } else if (key == "master-name" || key == "key-prefix" || key == "user") {
            if (!take(1)) return bad(key + " takes one word");
            // Braces in a prefix would make the hash tag of region keys ambiguous.
            if (key == "key-prefix" && a.find_first_of("{}") != std::string::npos)
                return bad("key-prefix may not hold '{' or '}'");
            (key == "master-name" ? rs.master_name : key == "user" ? rs.user : rs.key_prefix) = a;
            redisOnly = true;
        } else if (key == "password-env") {
            if (!take(1)) return bad("password-env takes the name of an environment variable");
            const char* v = std::getenv(a.c_str());
            if (!v || !*v) return bad("environment variable " + a + " is not set");
            rs.password = v;
            redisOnly = true;
        } else if (key == "password-file") {
            std::string why;
            if (!take(1)) return bad("password-file takes a path");
            if (!readPasswordFile(a, &rs.password, &why)) return bad(why);
            redisOnly = true;
        } else if (key == "connect-timeout-ms" || key == "command-timeout-ms" || key == "lease-seconds") {
            uint32_t v;
            if (!take(1) || !parsePlain(a, 1, 3600000, &v)) return bad(key + " takes a whole number from 1");
            (key == "connect-timeout-ms" ? rs.connect_timeout_ms
                                         : key == "command-timeout-ms" ? rs.command_timeout_ms : rs.lease_seconds) = v;
            redisOnly = true;
        } else if (key == "crash-events") {
            if (!take(1) || (a != "allowed" && a != "refused")) return bad("crash-events is allowed or refused");
            rs.events = a == "allowed";
            redisOnly = true;
        } else {
            return bad("unknown setting '" + key + "'");
        }
        if (redisOnly && redisOnlyLine == 0) redisOnlyLine = lineNo;
    }
    if (in.bad()) return failWith(MB_ERR_CFGREAD, where + " cannot be read");

    auto badAt = [&](int at, const std::string& why) {
        return failWith(MB_ERR_CFGREAD, where + " line " + std::to_string(at) + ": " + why);
    };
    if (cfg.backend == BackendKind::Redis) {
        if (!primaryGiven) return failWith(MB_ERR_CFGREAD, where + ": backend redis needs a primary line");
        if (daemonsGiven) return failWith(MB_ERR_CFGREAD, where + ": with backend redis the servers are the daemons; drop 'daemons'");
        if (!rs.sentinels.empty() && rs.master_name.empty())
            return failWith(MB_ERR_CFGREAD, where + ": sentinels need a master-name line");
        if (rs.servers.size() > 64) return failWith(MB_ERR_CFGREAD, where + ": more than 64 servers");
        if (!rs.user.empty() && rs.password.empty())
            return failWith(MB_ERR_CFGREAD, where + ": a user needs a password (password-env or password-file)");
        daemons = rs.servers.size();
    } else if (redisOnlyLine != 0) {
        return badAt(redisOnlyLine, "a Redis setting without 'backend redis'");
    }
    cfg.layout = ClusterLayout::defaults(static_cast<int>(daemons), memory);
    if (cfg.backend == BackendKind::Redis) {
        for (size_t i = 0; i < rs.servers.size(); ++i) {
            struct in_addr addr;
            ::inet_pton(AF_INET, rs.servers[i].host.c_str(), &addr);
            cfg.layout.addresses[i].ip_net = addr.s_addr;
            cfg.layout.addresses[i].port = rs.servers[i].port;
        }
    }
    for (const auto& e : entries) {
        if (e.index >= daemons) return badAt(e.line, "daemon index outside the cluster");
        cfg.layout.addresses[e.index].ip_net = e.ip;
        cfg.layout.addresses[e.index].port = static_cast<uint16_t>(e.port);
    }
    *out = cfg;
    return MB_ERR_NONE;
}

}  // namespace mbstandin
