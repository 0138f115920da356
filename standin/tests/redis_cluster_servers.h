// A Redis Cluster for the suites: three primaries with one replica each,
// started from PATH on free loopback ports with the password of
// redis_servers.h, append-only with a sync at every write, killed with the
// test process (and their files removed when it exits). Node i is daemon i: the ports go out in rising order, and
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
        for (int i = 0; ok && i < kNodes; ++i) ok = !primary(i) || command(i, "FLUSHALL");
        if (!ok) start();
        setMaxmemory(0);
    }

    // One command on node i, its words split at blanks or given one by one;
    // true when it answered without an error. out gets the reply as text
    // (the elements of an array one a line).
    bool command(int i, const std::string& line, std::string* out = nullptr) const { return command(i, words(line), out); }
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

    std::string reply(int i, const std::string& line) const {
        std::string out;
        return command(i, line, &out) ? out : "";
    }

    // A number of INFO on node i ("used_memory", "errorstat_ASK:count"), 0 when missing.
    long long info(int i, const std::string& field) const {
        std::string all = reply(i, "INFO everything");
        size_t at = all.find("\n" + field + (field.find(':') == std::string::npos ? ":" : "="));
        return at == std::string::npos ? 0 : std::atoll(all.c_str() + at + field.size() + 2);
    }

    // The slot of region name (keys t:{name}:...); the node serving a slot
    // as node i sees it (CLUSTER NODES: its address second, its slots from
    // the ninth word on), -1 when none; primary i's replica; whether node i
    // takes itself for a primary.
    int slotOf(const std::string& name) const { return std::atoi(reply(any(), "CLUSTER KEYSLOT x{" + name + "}").c_str()); }
    int owner(int slot, int i = -1) const {
        std::string addr, skip, range;
        std::istringstream lines(reply(i < 0 ? any() : i, "CLUSTER NODES"));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            in >> skip >> addr >> skip >> skip >> skip >> skip >> skip >> skip;
            while (in >> range)  // from-to or one slot (find answers npos, and npos + 1 is 0); "[" is a migration
                if (range[0] != '[' && std::atoi(range.c_str()) <= slot && slot <= std::atoi(range.c_str() + range.find('-') + 1))
                    return index(std::atoi(addr.c_str() + addr.find(':') + 1));
        }
        return -1;
    }
    int replicaOf(int i) const { return index(int(info(i, "slave0:ip=127.0.0.1,port"))); }
    bool primary(int i) const { return reply(i, "ROLE").rfind("master", 0) == 0; }

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
        std::string all = reply(i, "INFO replication");
        auto at = [&](const std::string& k) {
            size_t a = all.find(k) == all.npos ? all.size() : all.find(k) + k.size();
            return all.substr(a, all.find_first_of(",\r\n", a) - a);
        };
        return at("connected_slaves:") == "1" && at("state=") == "online" &&
               (!exact || at("state=online,offset=") == at("master_repl_offset:"));
    }

    // Moves slot from primary `from` to primary `to` as a resharding tool
    // does: both marked, the keys moved with MIGRATE, then (when done) the
    // slot handed over on every primary. Moving only the keys pick accepts
    // leaves the slot half moved.
    bool migrate(int slot, int from, int to, const std::function<bool(const std::string&)>& pick, bool done) {
        std::string s = std::to_string(slot), keys;
        std::vector<std::string> argv{"MIGRATE", "127.0.0.1", std::to_string(port[to]), "", "0", "5000", "AUTH", RedisServers::kPassword, "KEYS"};
        bool ok = command(to, "CLUSTER SETSLOT " + s + " IMPORTING " + id(from)) &&
                  command(from, "CLUSTER SETSLOT " + s + " MIGRATING " + id(to)) &&
                  command(from, "CLUSTER GETKEYSINSLOT " + s + " 1000000", &keys);
        for (auto& k : words(keys))
            if (pick(k)) argv.push_back(k);
        ok = ok && (argv.size() == 9 || command(from, argv));
        for (int k = 0, j = to; done && k < kNodes; j = (to + ++k) % kNodes)  // the new owner first
            if (k == 0 || primary(j)) ok = command(j, "CLUSTER SETSLOT " + s + " NODE " + id(to)) && ok;
        return ok && (!done || waitFor([&] { return settled(slot, to); }, 10000));
    }

    void setMaxmemory(long long bytes) {
        for (int i = 0; i < kNodes; ++i) command(i, "CONFIG SET maxmemory " + std::to_string(bytes) + " maxmemory-policy noeviction");
    }
    bool alive(int i) const { return pid[i] > 0 && ::waitpid(pid[i], nullptr, WNOHANG) == 0; }

    int port[kNodes] = {};
    pid_t pid[kNodes] = {};

private:
    RedisCluster() {
        ::setenv(RedisServers::kPasswordVar, RedisServers::kPassword, 1);
        char tmpl[] = "/tmp/mbstandin-cluster-XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
        start();
        std::atexit([] {  // in the process that started them only, not in a forked one
            if (get().parent_ == ::getpid()) get().stop(), ::rmdir(get().dir_.c_str());
        });
    }

    static std::vector<std::string> words(const std::string& line) {
        std::istringstream in(line);
        return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
    }
    static std::string text(const redisReply* r) {
        if (r->type == REDIS_REPLY_INTEGER) return std::to_string(r->integer);
        std::string all = r->type == REDIS_REPLY_ARRAY || !r->str ? "" : std::string(r->str, r->len);
        for (size_t e = 0; r->type == REDIS_REPLY_ARRAY && e < r->elements; ++e) all += (e ? "\n" : "") + text(r->element[e]);
        return all;
    }
    int index(int p) const { return p && std::count(port, port + kNodes, p) ? int(std::find(port, port + kNodes, p) - port) : -1; }
    int any() const {  // a live node, to ask
        int i = 0;
        while (i + 1 < kNodes && !alive(i)) ++i;
        return i;
    }
    std::string id(int i) const { return reply(i, "CLUSTER MYID"); }
    // Every node up and ok, knowing six nodes and three primaries serving
    // slots, none failing or being met, no slot migrating, each primary
    // with its replica.
    bool healthy(bool exact) const {
        for (int i = 0; i < kNodes; ++i) {
            std::string ci, all;
            if (!alive(i) || !command(i, "CLUSTER INFO", &ci) || ci.find("state:ok") == ci.npos ||
                ci.find("known_nodes:6\r") == ci.npos || ci.find("cluster_size:3\r") == ci.npos ||
                !command(i, "CLUSTER NODES", &all) || (primary(i) && !inStep(i, exact)))
                return false;
            for (const char* word : {"fail", "handshake", "noaddr", "->-", "-<-"})
                if (all.find(word) != all.npos) return false;
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

    // Distinct epochs, a third of the slots on each primary, every node met,
    // then each replica behind its primary (once it knows it).
    void stop() {
        for (int i = 0; i < kNodes; ++i)
            if (pid[i] > 0) ::kill(pid[i], SIGKILL), ::waitpid(pid[i], nullptr, 0);
        if (::system(("rm -rf " + dir_ + "/node*").c_str())) std::fprintf(stderr, "%s not emptied\n", dir_.c_str());
    }
    void start() {
        stop();
        std::set<int> taken;  // twelve distinct ports: the lower six for commands
        while (taken.size() < 2 * kNodes) taken.insert(RedisServers::freePort());
        std::copy(taken.begin(), taken.end(), port);
        std::copy(std::next(taken.begin(), kNodes), taken.end(), busPort_);
        for (int i = 0; i < kNodes; ++i) spawn(i);
        auto all = [](const std::function<bool(int)>& f) {
            for (int i = 0; i < kNodes; ++i)
                if (!f(i)) return false;
            return true;
        };
        bool up = waitFor([&] { return all([&](int i) { return command(i, "PING"); }); }, 10000) && all([&](int i) {
            return command(i, "CLUSTER SET-CONFIG-EPOCH " + std::to_string(i + 1)) &&
                   (i >= 3 || command(i, "CLUSTER ADDSLOTSRANGE " + std::to_string(i * 16384 / 3) + " " + std::to_string((i + 1) * 16384 / 3 - 1))) &&
                   (i == 0 || command(0, "CLUSTER MEET 127.0.0.1 " + std::to_string(port[i]) + " " + std::to_string(busPort_[i])));
        });
        if (!up || !waitFor([&] { return all([&](int i) { return i < 3 || command(i, "CLUSTER REPLICATE " + id(i - 3)); }); }, 10000) ||
            !waitFor([&] { return healthy(true); }, 20000)) {
            std::fprintf(stderr, "redis test cluster did not start (is redis-server on PATH?); see %s\n", dir_.c_str());
            std::abort();
        }
    }

    int busPort_[kNodes] = {};
    pid_t parent_ = ::getpid();
    std::string dir_;
};

}  // namespace standin_test

#endif
