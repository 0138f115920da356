// bench_servers.h - what the benchmark drivers need to know about the Redis
// servers a configuration file names, found by asking them: which are
// primaries, which hash slots each serves (Redis Cluster), and a way to let
// every replica catch up between turns. Shared by the benchmark drivers.
#ifndef MIRRORBANK_STANDIN_BENCH_SERVERS_H
#define MIRRORBANK_STANDIN_BENCH_SERVERS_H

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace benchsrv {

// Redis Cluster's hash slot of a key: CRC16 (XMODEM) of the key, or of the
// part between its first `{` and the next `}` when that part is not empty.
inline int keySlot(const std::string& key) {
    std::string k = key;
    size_t open = key.find('{');
    if (open != std::string::npos) {
        size_t close = key.find('}', open + 1);
        if (close != std::string::npos && close > open + 1) k = key.substr(open + 1, close - open - 1);
    }
    uint16_t crc = 0;
    for (unsigned char ch : k) {
        crc ^= static_cast<uint16_t>(ch) << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : crc << 1;
    }
    return crc & 16383;
}

// The slot of region NAME's keys: the backends put the name (with `%`, `{`
// and `}` escaped) in the hash tag of every key of the region.
inline int regionSlot(const std::string& name) {
    std::string e;
    for (char ch : name) {
        if (ch == '%') e += "%25";
        else if (ch == '{') e += "%7B";
        else if (ch == '}') e += "%7D";
        else e += ch;
    }
    return keySlot("{" + e + "}");
}

struct Primary {
    std::string host;
    int port = 0;
    redisContext* ctx = nullptr;
    int replicas = 0;                         // connected replicas when looked at
    std::vector<std::pair<int, int>> slots;   // cluster: the slot ranges it serves
    std::string settleKey;                    // a key it serves
};

struct Servers {
    std::string file, backend;
    std::vector<Primary> primaries;  // cluster: ordered by their first slot

    bool cluster() const { return backend == "redis-cluster"; }

    // Index into primaries of the one serving `slot` (0 for a single primary).
    size_t primaryOf(int slot) const {
        for (size_t i = 0; i < primaries.size(); ++i)
            for (auto& r : primaries[i].slots)
                if (slot >= r.first && slot <= r.second) return i;
        return 0;
    }

    // Every primary gets a write and waits until its replicas have it (and
    // everything before it), so that what one subject wrote does not slow
    // the next one down.
    void settle() const {
        for (auto& p : primaries) {
            if (auto* r = static_cast<redisReply*>(redisCommand(p.ctx, "SET %s 1", p.settleKey.c_str())))
                freeReplyObject(r);
            if (p.replicas > 0)
                if (auto* r = static_cast<redisReply*>(redisCommand(p.ctx, "WAIT %d 10000", p.replicas)))
                    freeReplyObject(r);
        }
    }

    // Keys each primary holds (DBSIZE), in the order of primaries.
    std::vector<long long> keyCounts() const {
        std::vector<long long> n;
        for (auto& p : primaries) {
            auto* r = static_cast<redisReply*>(redisCommand(p.ctx, "DBSIZE"));
            n.push_back(r && r->type == REDIS_REPLY_INTEGER ? r->integer : -1);
            if (r) freeReplyObject(r);
        }
        return n;
    }

    ~Servers() {
        for (auto& p : primaries)
            if (p.ctx) redisFree(p.ctx);
    }
};

inline std::string infoField(const std::string& info, const std::string& name) {
    size_t at = info.find("\n" + name + ":");
    if (at == std::string::npos) at = info.rfind(name + ":", 0) == 0 ? 0 : std::string::npos;
    else ++at;
    if (at == std::string::npos) return "";
    size_t from = at + name.size() + 1, to = info.find_first_of("\r\n", from);
    return info.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// Reads the server lines of configuration file `file` (primary, replica,
// node) and asks each server its role; the primaries are kept, with a
// connection each (AUTH with `password` when given). Exits on failure.
inline void load(Servers& s, const std::string& file, const char* password) {
    s.file = file;
    std::ifstream in(file);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        std::exit(1);
    }
    std::string line;
    std::vector<std::pair<std::string, int>> listed;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, host;
        int port = 0;
        words >> key;
        if (key == "backend") words >> s.backend;
        else if ((key == "primary" || key == "replica" || key == "node") && (words >> host >> port))
            listed.emplace_back(host, port);
    }
    for (auto& [host, port] : listed) {
        redisContext* c = redisConnect(host.c_str(), port);
        if (!c || c->err) {
            std::fprintf(stderr, "%s: cannot connect to %s:%d\n", file.c_str(), host.c_str(), port);
            std::exit(1);
        }
        if (password)
            if (void* r = redisCommand(c, "AUTH %s", password)) freeReplyObject(r);
        auto* r = static_cast<redisReply*>(redisCommand(c, "INFO replication"));
        std::string info = r && r->type == REDIS_REPLY_STRING ? std::string(r->str, r->len) : "";
        if (r) freeReplyObject(r);
        if (infoField(info, "role") != "master") {
            redisFree(c);
            continue;
        }
        Primary p;
        p.host = host;
        p.port = port;
        p.ctx = c;
        p.replicas = std::atoi(infoField(info, "connected_slaves").c_str());
        s.primaries.push_back(std::move(p));
    }
    if (s.primaries.empty()) {
        std::fprintf(stderr, "%s: no primary among the servers it names\n", file.c_str());
        std::exit(1);
    }
    if (s.cluster()) {
        // CLUSTER SLOTS: [[start, end, [host, port, id], replicas...], ...]
        auto* r = static_cast<redisReply*>(redisCommand(s.primaries[0].ctx, "CLUSTER SLOTS"));
        if (!r || r->type != REDIS_REPLY_ARRAY) {
            std::fprintf(stderr, "%s: CLUSTER SLOTS failed\n", file.c_str());
            std::exit(1);
        }
        for (size_t i = 0; i < r->elements; ++i) {
            redisReply* e = r->element[i];
            if (e->elements < 3 || e->element[2]->elements < 2) continue;
            int port = static_cast<int>(e->element[2]->element[1]->integer);
            for (auto& p : s.primaries)
                if (p.port == port)
                    p.slots.emplace_back(static_cast<int>(e->element[0]->integer),
                                         static_cast<int>(e->element[1]->integer));
        }
        freeReplyObject(r);
        s.primaries.erase(std::remove_if(s.primaries.begin(), s.primaries.end(),
                                         [](Primary& p) {
                                             if (!p.slots.empty()) return false;
                                             redisFree(p.ctx);  // a primary without slots serves nothing
                                             return true;
                                         }),
                          s.primaries.end());
        for (auto& p : s.primaries) std::sort(p.slots.begin(), p.slots.end());
        std::sort(s.primaries.begin(), s.primaries.end(),
                  [](const Primary& a, const Primary& b) { return a.slots[0] < b.slots[0]; });
    }
    for (size_t i = 0; i < s.primaries.size(); ++i) {
        for (int n = 0;; ++n) {
            std::string key = "bench:settle:" + std::to_string(n);
            if (!s.cluster() || s.primaryOf(keySlot(key)) == i) {
                s.primaries[i].settleKey = key;
                break;
            }
        }
    }
}

}  // namespace benchsrv

#endif
