// config.cpp - reader of the cluster configuration file, and the detailed
// failure texts.
//
// Line-oriented text; '#' starts a comment (a whole line or the end of one);
// words are separated by blanks. The settings are the rows of kSettings (and
// the stand-in's README); anything else is malformed, and the failure detail
// names the file and the line.
#include "config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

void keepFailureDetail(mb_error error, const char* text) { tl_detail = Detail{static_cast<int>(error), text}; }

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

// ---- the settings ------------------------------------------------------------------

// What the lines of one file have set so far.
struct Reading {
    struct DaemonEntry {
        uint64_t index;
        uint32_t ip;
        uint64_t port;
        int line;
    };
    ClusterConfig cfg;
    uint64_t daemons = 3;
    uint64_t memory = 1ull << 30;
    std::vector<DaemonEntry> entries;
    bool primaryGiven = false;
    int line = 0;
    int firstEmbeddedOnly = 0;  // line of the first setting only the embedded cluster takes
    int firstRedisOnly = 0;     // line of the first setting only the Redis backends take
    int firstSingleOnly = 0;    // ... only the one-primary Redis backend takes
    int firstClusterOnly = 0;   // ... only the Redis Cluster backend takes
    int firstDaemonLine = 0;
};

// A setting's words after its key.
using Words = std::vector<std::string>;

// A target is a member of the reading, of the configuration or of its
// Redis settings.
template <typename T>
T& at(Reading& r, T Reading::*field) { return r.*field; }
template <typename T>
T& at(Reading& r, T ClusterConfig::*field) { return r.cfg.*field; }
template <typename T>
T& at(Reading& r, T RedisSettings::*field) { return r.cfg.redis.*field; }

// Parsers: each checks the words and writes its target; false when they are
// malformed, with *why set when the setting's usage text is not the reason.
using Parser = bool (*)(const Words& w, Reading& r, std::string* why);

// A count with an optional K, M or G suffix, within [Lo, Hi].
template <auto Field, uint64_t Lo, uint64_t Hi>
bool count(const Words& w, Reading& r, std::string*) {
    uint64_t v;
    if (!parseNumber(w[0], &v) || v < Lo || v > Hi) return false;
    at(r, Field) = v;
    return true;
}

// Plain digits, within [Lo, Hi].
template <auto Field, uint64_t Lo, uint64_t Hi>
bool digits(const Words& w, Reading& r, std::string*) { return parsePlain(w[0], Lo, Hi, &at(r, Field)); }

template <typename T>
struct Choice {
    const char* word;
    T value;
};
constexpr Choice<int> kCompletion[] = {{"inline", 1}, {"async", 0}};
constexpr Choice<BackendKind> kBackend[] = {
    {"embedded", BackendKind::Embedded}, {"redis", BackendKind::Redis}, {"redis-cluster", BackendKind::RedisCluster}};
constexpr Choice<bool> kCrashEvents[] = {{"allowed", true}, {"refused", false}};

// One word of a fixed list.
template <auto Field, const auto& Choices>
bool oneOf(const Words& w, Reading& r, std::string*) {
    for (const auto& c : Choices) {
        if (w[0] == c.word) {
            at(r, Field) = c.value;
            return true;
        }
    }
    return false;
}

template <auto Field>
bool word(const Words& w, Reading& r, std::string*) {
    at(r, Field) = w[0];
    return true;
}

// Braces in a key prefix would make the hash tag of region keys ambiguous.
template <auto Field>
bool braceFreeWord(const Words& w, Reading& r, std::string* why) {
    if (w[0].find_first_of("{}") != std::string::npos) {
        *why = "key-prefix may not hold '{' or '}'";
        return false;
    }
    return word<Field>(w, r, why);
}

// An IPv4 address and a port, appended.
template <auto Field>
bool server(const Words& w, Reading& r, std::string*) {
    ServerAddress s;
    if (!parseAddress(w[0], w[1], &s)) return false;
    at(r, Field).push_back(s);
    return true;
}

// The one primary: daemon 0 wherever it is written.
template <auto Field>
bool primaryServer(const Words& w, Reading& r, std::string* why) {
    ServerAddress s;
    if (!parseAddress(w[0], w[1], &s)) return false;
    if (r.primaryGiven) {
        *why = "a second primary";
        return false;
    }
    r.primaryGiven = true;
    at(r, Field).insert(at(r, Field).begin(), s);
    return true;
}

// Index, IPv4 address and port of a daemon; the index is checked against
// the cluster once the whole file is read.
template <auto Field>
bool daemonAddress(const Words& w, Reading& r, std::string*) {
    Reading::DaemonEntry e;
    struct in_addr addr;
    if (!parseNumber(w[0], &e.index) || !parseNumber(w[2], &e.port) || e.port > 65535 ||
        ::inet_pton(AF_INET, w[1].c_str(), &addr) != 1)
        return false;
    e.ip = addr.s_addr;
    e.line = r.line;
    if (r.firstDaemonLine == 0) r.firstDaemonLine = r.line;
    at(r, Field).push_back(e);
    return true;
}

template <auto Field>
bool fromEnvironment(const Words& w, Reading& r, std::string* why) {
    const char* v = std::getenv(w[0].c_str());
    if (!v || !*v) {
        *why = "environment variable " + w[0] + " is not set";
        return false;
    }
    at(r, Field) = v;
    return true;
}

template <auto Field>
bool fromOwnerOnlyFile(const Words& w, Reading& r, std::string* why) {
    return readPasswordFile(w[0], &at(r, Field), why);
}

// Which backends take a setting: Redis means both Redis backends, Single
// the one-primary backend only, Cluster the Redis Cluster backend only.
enum class Backends { Embedded, Redis, Single, Cluster, Both };

struct Setting {
    const char* key;
    size_t words;       // how many words follow the key
    Parser parse;       // parser and target
    Backends backends;  // which backends take it
    const char* usage;  // after the key: what is wrong with a malformed line
};

const Setting kSettings[] = {
    {"daemons", 1, count<&Reading::daemons, 1, 64>, Backends::Embedded, "takes a count from 1 to 64"},
    {"memory", 1, count<&Reading::memory, 0, UINT64_MAX>, Backends::Both, "takes a byte count (K, M or G suffix)"},
    {"daemon", 3, daemonAddress<&Reading::entries>, Backends::Both, "takes an index, an IPv4 address and a port"},
    {"completion", 1, oneOf<&ClusterConfig::completion, kCompletion>, Backends::Both, "is inline or async"},
    {"backend", 1, oneOf<&ClusterConfig::backend, kBackend>, Backends::Both, "is embedded, redis or redis-cluster"},
    {"primary", 2, primaryServer<&RedisSettings::servers>, Backends::Single, "takes an IPv4 address and a port"},
    {"replica", 2, server<&RedisSettings::servers>, Backends::Single, "takes an IPv4 address and a port"},
    {"sentinel", 2, server<&RedisSettings::sentinels>, Backends::Single, "takes an IPv4 address and a port"},
    {"node", 2, server<&RedisSettings::servers>, Backends::Cluster, "takes an IPv4 address and a port"},
    {"master-name", 1, word<&RedisSettings::master_name>, Backends::Single, "takes one word"},
    {"key-prefix", 1, braceFreeWord<&RedisSettings::key_prefix>, Backends::Redis, "takes one word"},
    {"user", 1, word<&RedisSettings::user>, Backends::Redis, "takes one word"},
    {"password-env", 1, fromEnvironment<&RedisSettings::password>, Backends::Redis,
     "takes the name of an environment variable"},
    {"password-file", 1, fromOwnerOnlyFile<&RedisSettings::password>, Backends::Redis, "takes a path"},
    {"connect-timeout-ms", 1, digits<&RedisSettings::connect_timeout_ms, 1, 3600000>, Backends::Redis,
     "takes a whole number from 1"},
    {"command-timeout-ms", 1, digits<&RedisSettings::command_timeout_ms, 1, 3600000>, Backends::Redis,
     "takes a whole number from 1"},
    {"lease-seconds", 1, digits<&RedisSettings::lease_seconds, 1, 3600000>, Backends::Redis,
     "takes a whole number from 1"},
    {"crash-events", 1, oneOf<&RedisSettings::events, kCrashEvents>, Backends::Redis, "is allowed or refused"},
};

const Setting* findSetting(const std::string& key) {
    for (const Setting& s : kSettings) {
        if (key == s.key) return &s;
    }
    return nullptr;
}

// Applies one line (comment already cut): empty when it is blank or
// well-formed, else what is wrong with it.
std::string applyLine(const std::string& line, Reading& r) {
    std::istringstream in(line);
    std::string key;
    if (!(in >> key)) return std::string();
    const Setting* s = findSetting(key);
    if (!s) return "unknown setting '" + key + "'";
    Words words;
    for (std::string w; in >> w;) words.push_back(w);
    std::string why;
    if (words.size() != s->words || !s->parse(words, r, &why)) return why.empty() ? key + " " + s->usage : why;
    if (s->backends != Backends::Embedded && s->backends != Backends::Both && r.firstRedisOnly == 0)
        r.firstRedisOnly = r.line;
    if (s->backends == Backends::Single && r.firstSingleOnly == 0) r.firstSingleOnly = r.line;
    if (s->backends == Backends::Cluster && r.firstClusterOnly == 0) r.firstClusterOnly = r.line;
    if (s->backends == Backends::Embedded && r.firstEmbeddedOnly == 0) r.firstEmbeddedOnly = r.line;
    return std::string();
}

// What the whole file must hold beyond its lines, for the backend it names.
// Empty when it is consistent, else what is wrong and the line, if any.
std::string checkWhole(const Reading& r, int* line) {
    const RedisSettings& rs = r.cfg.redis;
    *line = 0;
    switch (r.cfg.backend) {
    case BackendKind::Embedded:
        *line = r.firstRedisOnly;
        return r.firstRedisOnly ? "a Redis setting without 'backend redis'" : std::string();
    case BackendKind::Redis:
        if ((*line = r.firstClusterOnly)) return "a node line needs 'backend redis-cluster'";
        if (!r.primaryGiven) return "backend redis needs a primary line";
        if ((*line = r.firstEmbeddedOnly)) return "with backend redis the servers are the daemons; drop 'daemons'";
        if (!rs.sentinels.empty() && rs.master_name.empty()) return "sentinels need a master-name line";
        break;
    case BackendKind::RedisCluster:
        if ((*line = r.firstSingleOnly)) return "with backend redis-cluster the cluster names its nodes; use node lines";
        if ((*line = r.firstEmbeddedOnly)) return "with backend redis-cluster the nodes are the daemons; drop 'daemons'";
        if ((*line = r.firstDaemonLine)) return "with backend redis-cluster the nodes are the daemons; drop 'daemon'";
        if (rs.servers.empty()) return "backend redis-cluster needs a node line";
        break;
    }
    if (rs.servers.size() > 64) return "more than 64 servers";
    if (!rs.user.empty() && rs.password.empty()) return "a user needs a password (password-env or password-file)";
    return std::string();
}

// The layout the reading describes: its daemons, their memory, and the
// addresses that listings show. Empty when every daemon line fits it.
std::string shapeLayout(Reading& r, int* line) {
    ClusterConfig& cfg = r.cfg;
    const RedisSettings& rs = cfg.redis;
    const bool redis = cfg.backend != BackendKind::Embedded;
    const uint64_t daemons = redis ? rs.servers.size() : r.daemons;
    cfg.layout = ClusterLayout::defaults(static_cast<int>(daemons), r.memory);
    for (size_t i = 0; redis && i < rs.servers.size(); ++i) {
        struct in_addr addr;
        ::inet_pton(AF_INET, rs.servers[i].host.c_str(), &addr);
        cfg.layout.addresses[i].ip_net = addr.s_addr;
        cfg.layout.addresses[i].port = rs.servers[i].port;
    }
    for (const auto& e : r.entries) {
        *line = e.line;
        if (e.index >= daemons) return "daemon index outside the cluster";
        cfg.layout.addresses[e.index].ip_net = e.ip;
        cfg.layout.addresses[e.index].port = static_cast<uint16_t>(e.port);
    }
    return std::string();
}

}  // namespace

mb_error readClusterConfig(const char* path, ClusterConfig* out) {
    clearFailureDetail();
    const std::string where = std::string("configuration file ") + path;
    auto fail = [&](int line, const std::string& why) {
        return failWith(MB_ERR_CFGREAD, where + (line ? " line " + std::to_string(line) : std::string()) + ": " + why);
    };
    struct stat st;
    if (::stat(path, &st) != 0) {
        mb_error e = errno == ENOENT || errno == ENOTDIR ? MB_ERR_NOCFG : MB_ERR_CFGREAD;
        return failWith(e, where + (e == MB_ERR_NOCFG ? " not found" : " cannot be read"));
    }
    if (!S_ISREG(st.st_mode)) return failWith(MB_ERR_CFGREAD, where + " is not a regular file");
    std::ifstream in(path);
    if (!in) return failWith(MB_ERR_CFGREAD, where + " cannot be read");

    Reading r;
    for (std::string line; std::getline(in, line);) {
        ++r.line;
        line.resize(std::min(line.size(), line.find('#')));
        std::string why = applyLine(line, r);
        if (!why.empty()) return fail(r.line, why);
    }
    if (in.bad()) return failWith(MB_ERR_CFGREAD, where + " cannot be read");
    int at = 0;
    std::string why = checkWhole(r, &at);
    if (why.empty()) why = shapeLayout(r, &at);
    if (!why.empty()) return fail(at, why);
    *out = r.cfg;
    return MB_ERR_NONE;
}

}  // namespace mbstandin
