// config.cpp - reader of the cluster configuration file.
//
// Line-oriented text; blank lines and lines starting with '#' are skipped;
// words are separated by blanks:
//   daemons <n>                   1..64, default 3
//   memory <bytes>[K|M|G]         region memory per daemon, default 1G
//   daemon <index> <ipv4> <port>  address shown for one daemon
//   completion inline|async       completion mode of connections made with it
// Anything else is malformed.
#include "config.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace mbstandin {

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

}  // namespace

mb_error readClusterConfig(const char* path, ClusterConfig* out) {
    struct stat st;
    if (::stat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? MB_ERR_NOCFG : MB_ERR_CFGREAD;
    if (!S_ISREG(st.st_mode)) return MB_ERR_CFGREAD;
    std::ifstream in(path);
    if (!in) return MB_ERR_CFGREAD;

    uint64_t daemons = 3, memory = 1ull << 30;
    struct Entry { uint64_t index; uint32_t ip; uint64_t port; };
    std::vector<Entry> entries;
    int completion = -1;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        if (!(words >> key) || key[0] == '#') continue;
        std::string a, b, c, extra;
        if (key == "daemons") {
            if (!(words >> a) || (words >> extra) || !parseNumber(a, &daemons)) return MB_ERR_CFGREAD;
            if (daemons < 1 || daemons > 64) return MB_ERR_CFGREAD;
        } else if (key == "memory") {
            if (!(words >> a) || (words >> extra) || !parseNumber(a, &memory)) return MB_ERR_CFGREAD;
        } else if (key == "daemon") {
            Entry e;
            struct in_addr addr;
            if (!(words >> a >> b >> c) || (words >> extra)) return MB_ERR_CFGREAD;
            if (!parseNumber(a, &e.index) || !parseNumber(c, &e.port) || e.port > 65535) return MB_ERR_CFGREAD;
            if (::inet_pton(AF_INET, b.c_str(), &addr) != 1) return MB_ERR_CFGREAD;
            e.ip = addr.s_addr;
            entries.push_back(e);
        } else if (key == "completion") {
            if (!(words >> a) || (words >> extra)) return MB_ERR_CFGREAD;
            if (a == "inline") completion = 1;
            else if (a == "async") completion = 0;
            else return MB_ERR_CFGREAD;
        } else {
            return MB_ERR_CFGREAD;
        }
    }
    if (in.bad()) return MB_ERR_CFGREAD;
    out->layout = ClusterLayout::defaults(static_cast<int>(daemons), memory);
    for (const auto& e : entries) {
        if (e.index >= daemons) return MB_ERR_CFGREAD;
        out->layout.addresses[e.index].ip_net = e.ip;
        out->layout.addresses[e.index].port = static_cast<uint16_t>(e.port);
    }
    out->completion = completion;
    return MB_ERR_NONE;
}

}  // namespace mbstandin
