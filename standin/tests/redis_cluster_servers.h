// A Redis Cluster for the suites: three primaries with one replica each,
// started from PATH on free loopback ports with the password of
// redis_servers.h, append-only with a sync at every write, killed with the
// test process. Node i is daemon i: the ports go out in rising order, and
// nodes 0 to 2 start as the primaries of nodes 3 to 5.
#ifndef MIRRORBANK_STANDIN_REDIS_CLUSTER_SERVERS_H
#define MIRRORBANK_STANDIN_REDIS_CLUSTER_SERVERS_H

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>
#include <vector>

#include "redis_servers.h"

namespace standin_test {

class RedisCluster {
public:
    static constexpr int kNodes = 6;

    static RedisCluster& get() {
        static auto* c = new RedisCluster();  // the servers die with the process
        return *c;
    }

    std::string config(const std::string& extra = "") const {
        std::string text = "backend redis-cluster   # the test cluster\n";
        for (int p : port) text += "node 127.0.0.1 " + std::to_string(p) + "\n";
        return text + "password-env " + RedisServers::kPasswordVar +
               "\nkey-prefix t:\nmemory 1G\nconnect-timeout-ms 500\ncommand-timeout-ms 2000\n" + extra;
    }

    // An empty cluster, all nodes up, every slot served, no migration, each
    // primary with its replica online; started anew when it is not so.
    void fresh() {
        bool ok = healthy(false);
        for (int i = 0; ok && i < kNodes; ++i) ok = role(i) != 'p' || command(i, "FLUSHALL");
        if (!ok) start();
        setMaxmemory(0);
    }

    // One command on node i, its words split at blanks or given one by one;
    // true when it answered without an error. out gets the reply as text
    // (the elements of an array one a line).
    bool command(int i, const std::string& words, std::string* out = nullptr) const {
        std::istringstream in(words);
        return command(i, std::vector<std::string>{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()}, out);
    }
    bool command(int i, const std::vector<std::string>& words, std::string* out = nullptr) const {
        redisContext* c = redisConnectWithTimeout("127.0.0.1", port[i], timeval{1, 0});
        redisReply* r = nullptr;
        if (c && !c->err && redisSetTimeout(c, timeval{10, 0}) == REDIS_OK) {
            if (void* a = redisCommand(c, "AUTH %s", RedisServers::kPassword)) freeReplyObject(a);
            std::vector<const char*> argv;
            std::vector<size_t> len;
            for (auto& w : words) argv.push_back(w.c_str()), len.push_back(w.size());
            r = static_cast<redisReply*>(redisCommandArgv(c, int(argv.size()), argv.data(), len.data()));
        }
        bool ok = r && r->type != REDIS_REPLY_ERROR;
        if (r && out) *out = text(r);
        if (r) freeReplyObject(r);
        if (c) redisFree(c);
        return ok;
    }

    // A number of INFO on node i ("used_memory", "errorstat_ASK:count"), 0 when missing.
    long long info(int i, const std::string& field) const {
        std::string all;
        command(i, "INFO everything", &all);
        size_t at = all.find("\n" + field + (field.find(':') == std::string::npos ? ":" : "="));
        return at == std::string::npos ? 0 : std::atoll(all.c_str() + at + field.size() + 2);
    }

    // The slot of region name (keys t:{name}:...); the node serving a slot
    // as node i sees it (-1 when none); the replica of a primary; a node's
    // role as it sees itself ('p' primary, 'r' replica).
    int slotOf(const std::string& name) const {
        std::string s;
        command(any(), std::vector<std::string>{"CLUSTER", "KEYSLOT", "x{" + name + "}"}, &s);
        return std::atoi(s.c_str());
    }
    int owner(int slot, int i = -1) const {
        for (const Node& n : nodes(i < 0 ? any() : i))
            for (auto [from, to] : n.slots)
                if (from <= slot && slot <= to) return n.index;
        return -1;
    }
    int replicaOf(int primary) const {
        for (const Node& n : nodes(primary))
            if (n.of == primary) return n.index;
        return -1;
    }
    char role(int i) const {
        for (const Node& n : nodes(i))
            if (n.self) return n.of < 0 ? 'p' : 'r';
        return '?';
    }

    // Every live node sees node to serve slot, and the cluster ok.
    bool settled(int slot, int to) const {
        std::string ci;
        for (int j = 0; j < kNodes; ++j)
            if (alive(j) && (owner(slot, j) != to || !command(j, "CLUSTER INFO", &ci) || ci.find("state:ok") == ci.npos))
                return false;
        return true;
    }
    // kill -9 of the primary serving slot; whether its replica took over.
    bool killPrimary(int slot) {
        int was = owner(slot), heir = -1;
        if (!waitFor([&] { return (heir = replicaOf(was)) >= 0; }, 5000)) return false;  // a new replica shows late
        ::kill(pid[was], SIGKILL);
        ::waitpid(pid[was], nullptr, 0);
        return waitFor([&] { return settled(slot, heir); }, 20000);
    }
    // Node i started again as it was left (node table and append-only
    // file); whether the cluster is whole again, each replica online.
    bool restart(int i) {
        spawn(i);
        return waitFor([&] { return healthy(false); }, 20000);
    }
    // Primary i has one replica online, which had (when exact) every write
    // the primary had when it last heard from it.
    bool inStep(int i, bool exact = true) const {
        std::string all;
        command(i, "INFO replication", &all);
        auto at = [&](const std::string& k) {
            size_t a = all.find(k) == all.npos ? all.size() : all.find(k) + k.size();
            return all.substr(a, all.find_first_of(",\r\n", a) - a);
        };
        return at("connected_slaves:") == "1" && at("state=") == "online" &&
               (!exact || at("state=online,offset=") == at("master_repl_offset:"));
    }

    // Moves slot from primary `from` to primary `to` as a resharding tool
    // does: both marked, the keys moved with MIGRATE in rounds, the slot
    // handed over on every primary. beginMigration moves only the keys pick
    // accepts, leaving the slot half moved; finishMigration the rest.
    bool beginMigration(int slot, int from, int to, const std::function<bool(const std::string&)>& pick) {
        std::string s = std::to_string(slot), keys;
        std::vector<std::string> picked;
        bool ok = command(to, "CLUSTER SETSLOT " + s + " IMPORTING " + id(from)) &&
                  command(from, "CLUSTER SETSLOT " + s + " MIGRATING " + id(to)) &&
                  command(from, "CLUSTER GETKEYSINSLOT " + s + " 100000", &keys);
        std::istringstream in(keys);
        std::copy_if(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>(), std::back_inserter(picked), pick);
        return ok && move(from, to, picked);
    }
    bool finishMigration(int slot, int from, int to) {
        std::string s = std::to_string(slot), keys;
        for (int round = 0; round < 1000 && command(from, "CLUSTER GETKEYSINSLOT " + s + " 100", &keys) && !keys.empty(); ++round) {
            std::istringstream in(keys);
            if (!move(from, to, std::vector<std::string>{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()})) return false;
        }
        bool ok = command(to, "CLUSTER SETSLOT " + s + " NODE " + id(to));  // the new owner first
        for (int j = 0; j < kNodes; ++j)
            if (j != to && role(j) == 'p') ok = command(j, "CLUSTER SETSLOT " + s + " NODE " + id(to)) && ok;
        return ok && waitFor([&] { return settled(slot, to); }, 10000);
    }

    void setMaxmemory(long long bytes) {
        for (int i = 0; i < kNodes; ++i) command(i, "CONFIG SET maxmemory " + std::to_string(bytes) + " maxmemory-policy noeviction");
    }
    bool alive(int i) const { return pid[i] > 0 && ::waitpid(pid[i], nullptr, WNOHANG) == 0; }

    int port[kNodes] = {};
    pid_t pid[kNodes] = {};

private:
    struct Node {
        int index;  // -1 for a node this harness did not start
        std::string id, primaryId;
        bool self, failing;
        int of;  // a replica's primary, -1 for a primary
        std::vector<std::pair<int, int>> slots;
    };

    RedisCluster() {
        ::setenv(RedisServers::kPasswordVar, RedisServers::kPassword, 1);
        char tmpl[] = "/tmp/mbstandin-cluster-XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
        start();
    }

    static std::string text(const redisReply* r) {
        if (r->type == REDIS_REPLY_INTEGER) return std::to_string(r->integer);
        std::string all = r->type == REDIS_REPLY_ARRAY || !r->str ? "" : std::string(r->str, r->len);
        for (size_t e = 0; r->type == REDIS_REPLY_ARRAY && e < r->elements; ++e) all += (e ? "\n" : "") + text(r->element[e]);
        return all;
    }
    int any() const {
        int i = 0;
        while (i + 1 < kNodes && !alive(i)) ++i;
        return i;
    }
    std::string id(int i) const {
        std::string s;
        command(i, "CLUSTER MYID", &s);
        return s;
    }

    // The cluster as node i sees it (CLUSTER NODES: id, address, flags,
    // primary, four more fields, then the slots; "[" marks a migration).
    std::vector<Node> nodes(int i) const {
        std::string all, addr, flags, skip, range;
        std::vector<Node> ns;
        command(i, "CLUSTER NODES", &all);
        std::istringstream lines(all);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            Node n{-1, "", "", false, false, -1, {}};
            in >> n.id >> addr >> flags >> n.primaryId >> skip >> skip >> skip >> skip;
            int p = std::atoi(addr.c_str() + addr.find(':') + 1), at = int(std::find(port, port + kNodes, p) - port);
            n.index = at < kNodes ? at : -1;
            n.self = flags.find("myself") != flags.npos;
            n.failing = flags.find("fail") != flags.npos || flags.find("handshake") != flags.npos || flags.find("noaddr") != flags.npos;
            while (in >> range)  // from-to, or one slot (find answers npos, and npos + 1 is 0)
                if (range[0] != '[')
                    n.slots.emplace_back(std::atoi(range.c_str()), std::atoi(range.c_str() + range.find('-') + 1));
            ns.push_back(n);
        }
        for (Node& n : ns)
            for (const Node& m : ns)
                if (m.id == n.primaryId) n.of = m.index;
        return ns;
    }

    bool move(int from, int to, const std::vector<std::string>& keys) const {
        for (size_t at = 0; at < keys.size(); at += 100) {
            std::vector<std::string> argv{"MIGRATE", "127.0.0.1", std::to_string(port[to]), "", "0", "5000",
                                          "AUTH", RedisServers::kPassword, "KEYS"};
            argv.insert(argv.end(), keys.begin() + long(at), keys.begin() + long(std::min(keys.size(), at + 100)));
            if (!command(from, argv)) return false;
        }
        return true;
    }

    // Every node up and ok, seeing three primaries serving slots and three
    // replicas, none failing, no slot migrating, each primary in step.
    bool healthy(bool exact) const {
        for (int i = 0; i < kNodes; ++i) {
            std::string ci, all;
            if (!alive(i) || !command(i, "CLUSTER INFO", &ci) || ci.find("state:ok") == ci.npos ||
                ci.find("known_nodes:6\r") == ci.npos || !command(i, "CLUSTER NODES", &all) || all.find("->-") != all.npos ||
                all.find("-<-") != all.npos || (role(i) == 'p' && !inStep(i, exact)))
                return false;
            std::vector<Node> ns = nodes(i);
            if (std::count_if(ns.begin(), ns.end(), [](const Node& n) { return n.of < 0 && !n.slots.empty() && !n.failing && n.index >= 0; }) != 3 ||
                std::count_if(ns.begin(), ns.end(), [](const Node& n) { return n.of >= 0 && !n.failing && n.index >= 0; }) != 3)
                return false;
        }
        return true;
    }

    void spawn(int i) {
        std::string p = std::to_string(port[i]), bus = std::to_string(busPort_[i]), d = dir_ + "/node" + std::to_string(i);
        ::mkdir(d.c_str(), 0700);
        if ((pid[i] = ::fork()) == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = ::open((d + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            // A node is deemed failed after a second without an answer; its
            // replica stands in however long it was cut off.
            const char* argv[] = {"redis-server", "--port", p.c_str(), "--bind", "127.0.0.1", "--dir", d.c_str(),
                                  "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf", "--cluster-port",
                                  bus.c_str(), "--cluster-node-timeout", "1000", "--cluster-replica-validity-factor", "0",
                                  "--cluster-allow-replica-migration", "no", "--appendonly", "yes", "--appendfsync",
                                  "always", "--save", "", "--repl-diskless-sync-delay", "0", "--requirepass",
                                  RedisServers::kPassword, "--masterauth", RedisServers::kPassword, nullptr};
            ::execvp("redis-server", const_cast<char**>(argv));
            ::_exit(127);
        }
    }

    void start() {
        for (int i = 0; i < kNodes; ++i)
            if (pid[i] > 0) ::kill(pid[i], SIGKILL), ::waitpid(pid[i], nullptr, 0);
        std::set<int> taken;  // twelve distinct ports: the lower six for commands
        while (taken.size() < 2 * kNodes) taken.insert(RedisServers::freePort());
        std::copy(taken.begin(), taken.end(), port);
        std::copy(std::next(taken.begin(), kNodes), taken.end(), busPort_);
        if (::system(("rm -rf " + dir_ + "/node*").c_str()) != 0) std::abort();
        for (int i = 0; i < kNodes; ++i) spawn(i);
        auto all = [](const std::function<bool(int)>& f) {
            for (int i = 0; i < kNodes; ++i)
                if (!f(i)) return false;
            return true;
        };
        // Distinct epochs, a third of the slots on each primary, every node
        // met, then each replica behind its primary.
        bool up = waitFor([&] { return all([&](int i) { return command(i, "PING"); }); }, 10000) && all([&](int i) {
            return command(i, "CLUSTER SET-CONFIG-EPOCH " + std::to_string(i + 1)) &&
                   (i >= 3 || command(i, "CLUSTER ADDSLOTSRANGE " + std::to_string(i * 16384 / 3) + " " + std::to_string((i + 1) * 16384 / 3 - 1))) &&
                   (i == 0 || command(0, "CLUSTER MEET 127.0.0.1 " + std::to_string(port[i]) + " " + std::to_string(busPort_[i])));
        });
        up = up && waitFor([&] { return all([&](int i) {
                 std::vector<Node> ns = nodes(i);
                 return ns.size() == kNodes && std::none_of(ns.begin(), ns.end(), [](const Node& n) { return n.failing; });
             }); }, 10000) &&
             all([&](int i) { return i < 3 || command(i, "CLUSTER REPLICATE " + id(i - 3)); });
        if (!up || !waitFor([&] { return healthy(true); }, 20000)) {
            std::fprintf(stderr, "redis test cluster did not start (is redis-server on PATH?); see %s\n", dir_.c_str());
            std::abort();
        }
    }

    int busPort_[kNodes] = {};
    std::string dir_;
};

}  // namespace standin_test

#endif
