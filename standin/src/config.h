// config.h - the cluster configuration file read by mb_init, the choice of
// backend it makes, and the detailed failure texts of the library.
#ifndef MIRRORBANK_STANDIN_CONFIG_H
#define MIRRORBANK_STANDIN_CONFIG_H

#include <memory>
#include <string>
#include <vector>

#include "backend.h"

namespace mbstandin {

enum class BackendKind { Embedded, Redis, RedisCluster };

struct ServerAddress {
    std::string host;  // dotted IPv4
    uint16_t port = 0;
    bool operator==(const ServerAddress& o) const { return host == o.host && port == o.port; }
    std::string text() const { return host + ":" + std::to_string(port); }
};

// Settings of the Redis backends. With one primary, servers[0] is the
// configured primary, the replicas follow in the order written, and daemon i
// is servers[i]. With a cluster, servers are the seed nodes as written; the
// daemons are the nodes the cluster names when the library connects.
struct RedisSettings {
    std::vector<ServerAddress> servers;
    std::vector<ServerAddress> sentinels;
    std::string master_name;
    std::string key_prefix = "mb:";
    std::string user;      // ACL user; empty for the default user
    std::string password;  // never logged, never put into a message
    uint32_t connect_timeout_ms = 1000;
    uint32_t command_timeout_ms = 5000;
    uint32_t lease_seconds = 30;
    bool events = false;  // crash events may be armed (test clusters only)
};

struct ClusterConfig {
    ClusterLayout layout;
    int completion = -1;  // -1 not given, 0 asynchronous, 1 inline
    BackendKind backend = BackendKind::Embedded;
    RedisSettings redis;
};

// MB_ERR_NONE, MB_ERR_NOCFG (no such file) or MB_ERR_CFGREAD (cannot be
// read, or malformed; the failure detail names the file and line).
mb_error readClusterConfig(const char* path, ClusterConfig* out);

// Detailed failure texts. A failing call may leave a text for its error code
// on the calling thread; mb_get_error_message answers it for that code until
// the thread's next detail. Texts are kept for the life of the process.
mb_error failWith(mb_error error, const std::string& text);
void clearFailureDetail();
// Makes a text failureDetail answered (on another thread) this thread's detail.
void keepFailureDetail(mb_error error, const char* text);
const char* failureDetail(int error);

}  // namespace mbstandin

#endif
