// Contract suite of the client-library interface, run against each backend:
// the embedded cluster (3 daemons), Redis (a primary and one replica
// started by the suite, see redis_servers.h) and a Redis Cluster (three
// primaries with a replica each, see redis_cluster_servers.h). Cases that
// depend on how one backend places copies, reserves memory or loses daemons
// follow, by backend.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <iterator>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "redis_protocol.h"
#include "redis_cluster_servers.h"
#include "standin_test_util.h"

using namespace standin_test;

namespace {

enum class Kind { Embedded, Redis, RedisCluster };

std::string errorText(mb_error e) {
    mb_rqs rqs{MB_FAIL, e};
    return mb_get_error_message(&rqs);
}

// A connection of the fixture's cluster, plus helpers every group shares.
class Contract : public ClientTest, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override {
        if (redis()) {
            cluster() ? RedisCluster::get().fresh() : RedisServers::get().fresh();
            file_ = std::make_unique<TempFile>(cluster() ? RedisCluster::get().config(extraConfig_) : RedisServers::get().config(extraConfig_));
            cfg_ = file_->path();
        }
        ClientTest::SetUp();
    }
    virtual Kind kind() const { return GetParam(); }
    bool redis() const { return kind() != Kind::Embedded; }
    bool cluster() const { return kind() == Kind::RedisCluster; }
    int daemons() const { return cluster() ? RedisCluster::kNodes : redis() ? 2 : 3; }
    // On the cluster a region lives on the primary serving its slot (its
    // home) and on that primary's replica (bit i of shard for daemon i).
    int home(const char* name) const { return RedisCluster::get().owner(RedisCluster::get().slotOf(name)); }
    ub4 shard(const char* name) const { return 1u << home(name) | 1u << RedisCluster::get().replicaOf(home(name)); }

    mb_client_ctx* connect(ub4 local) {
        moreArgs_.push_back(makeArgs(local, cfg_.c_str()));
        Rqs rqs;
        mb_client_ctx* c = mb_init(&rqs, &moreArgs_.back());
        EXPECT_NE(c, nullptr) << rqs.error << " " << mb_get_error_message(&rqs);
        return c;
    }
    mb_status event(int arm, int target, const char* name, mb_error* err = nullptr) {
        Rqs rqs;
        mb_event(&rqs, client_, arm, 1, 1, 3, target, 0, 0, name);
        if (err) *err = rqs.error;
        return rqs.status;
    }
    std::vector<mb_client_storeinfo> regions() {
        std::vector<mb_client_storeinfo> all;
        Rqs rqs;
        mb_admin_enumerate_global_stores(&rqs, client_, &all, collectStore, 0);
        EXPECT_EQ(rqs.status, MB_SUCC);
        return all;
    }
    std::vector<mb_daemon_info> daemonList() {
        std::vector<mb_daemon_info> ds;
        Rqs rqs;
        mb_admin_enumerate_daemons(&rqs, client_, &ds, collectDaemon, 0);
        EXPECT_EQ(rqs.status, MB_SUCC);
        return ds;
    }
    void expectContent(mb_store_handle h, const std::vector<char>& want, ub8 off) {
        std::vector<char> got(want.size());
        ASSERT_EQ(io(false, h, got.data(), got.size(), off), MB_ERR_NONE);
        EXPECT_EQ(got, want);
    }

    std::string extraConfig_;
    std::unique_ptr<TempFile> file_;
    std::deque<mb_init_args> moreArgs_;
};

INSTANTIATE_TEST_SUITE_P(Backends, Contract, ::testing::Values(Kind::Embedded, Kind::Redis, Kind::RedisCluster),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                             return std::string(i.param == Kind::Redis ? "redis" : i.param == Kind::RedisCluster ? "cluster" : "embedded");
                         });

// ---- connections ---------------------------------------------------------------

TEST_P(Contract, InitFiniAndTheLocalDaemon) {
    mb_client_ctx* c = connect(1);
    ASSERT_NE(c, nullptr);
    mb_ldinfo ld;
    Rqs rqs;
    mb_get_local_daemon_info(&rqs, c, &ld);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(ld.dindex, 1);
    EXPECT_EQ(ld.total_memory, 1ull << 30);
    EXPECT_EQ(ld.used_memory > 0, redis());  // a server's own use; nothing reserved on the embedded cluster
    mb_fini(&rqs, c);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_fini(&rqs, c);
    EXPECT_EQ(rqs.error, MB_ERR_FREEDCTX);
    EXPECT_EQ(mb_openstore(&rqs, c, "r", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_FREEDCTX);
    mb_init_args outside = makeArgs(static_cast<ub4>(daemons()), cfg_.c_str());
    EXPECT_EQ(mb_init(&rqs, &outside), nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_LOCAL);
}

TEST(Surface, NullAndUnknownConnectionsAreRefusedOnEveryCall) {
    freshCluster();
    int notAConnection = 0;
    for (mb_client_ctx* c : {static_cast<mb_client_ctx*>(nullptr), reinterpret_cast<mb_client_ctx*>(&notAConnection)}) {
        mb_error want = c ? MB_ERR_BADCTX : MB_ERR_NULLCTX;
        std::vector<mb_rqs> r(18);
        mb_client_opargs op;
        std::memset(&op, 0, sizeof op);
        mb_client_storeinfo si;
        mb_ldinfo ld;
        std::vector<mb_client_storeinfo> stores;
        std::vector<mb_daemon_info> daemons;
        mb_fini(&r[0], c);
        EXPECT_EQ(mb_openstore(&r[1], c, "r", 1, 1, 6, 4096, 4096), 0u);
        mb_closestore(&r[2], c, 1, 0);
        mb_get_storeinfo(&r[3], c, &si);
        mb_read(&r[4], c, &op);
        mb_write(&r[5], c, &op);
        mb_read_fence(&r[6], c, &op);
        mb_wait(&r[7], c, 0, 0);
        mb_get_local_daemon_info(&r[8], c, &ld);
        mb_event(&r[9], c, 1, 1, 1, 3, 1, 0, 0, "r");
        EXPECT_EQ(mb_admin_get_attached_daemon(&r[10], c), -1);
        mb_admin_attach_daemon(&r[11], c, 0);
        mb_admin_shutdown_daemon(&r[12], c, 0x10);
        mb_admin_enumerate_daemons(&r[13], c, &daemons, collectDaemon, 0);
        mb_admin_enumerate_global_stores(&r[14], c, &stores, collectStore, 0);
        mb_admin_enumerate_stores(&r[15], c, &stores, collectStore, 0);
        mb_enumerate_global_stores(&r[16], c, &stores, collectStore, 0);
        mb_admin_delete_store(&r[17], c, "r", 1);
        for (size_t i = 0; i < r.size(); ++i) {
            EXPECT_EQ(r[i].status, MB_FAIL) << "call " << i;
            EXPECT_EQ(r[i].error, want) << "call " << i;
        }
        EXPECT_TRUE(stores.empty() && daemons.empty());
    }
    Rqs rqs;
    EXPECT_EQ(mb_init(&rqs, nullptr), nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_init_args a = makeArgs(0);
    mb_client_ctx* c = mb_init(nullptr, &a);
    ASSERT_NE(c, nullptr);
    mb_wait(nullptr, c, 0, 0);
    mb_read(nullptr, c, nullptr);
    mb_get_libinfo(nullptr);
    EXPECT_NE(mb_get_error_message(nullptr), nullptr);
    mb_fini(nullptr, c);
    freshCluster();
}

// ---- configuration file -----------------------------------------------------------

// Every way a line or a file can be malformed keeps its exact text: the
// file, the line when there is one, and what is wrong.
TEST(Config, EveryMalformedSettingKeepsItsText) {
    freshCluster();
    ::setenv("MB_CFG_TEST_PASSWORD", "secret", 1);
    ::unsetenv("MB_NO_SUCH_VARIABLE_SET");
    TempFile empty("");      // no first line at all
    TempFile blank(" \r\n");  // a first line of blanks
    TempFile shared("pw\n");
    ::chmod(shared.path(), 0644);
    const std::string redis = "backend redis\nprimary 127.0.0.1 6379\n";
    const std::string cluster = "backend redis-cluster\nnode 127.0.0.1 7000\n";
    const std::string nodesOnly = ": with backend redis-cluster the cluster names its nodes; use node lines";
    const std::pair<std::string, std::string> bad[] = {
        {"daemons 65\n", " line 1: daemons takes a count from 1 to 64"},
        {"daemons 0\n", " line 1: daemons takes a count from 1 to 64"},
        {"daemons\n", " line 1: daemons takes a count from 1 to 64"},
        {"daemons 1k\n", " line 1: daemons takes a count from 1 to 64"},
        {"memory 1T\n", " line 1: memory takes a byte count (K, M or G suffix)"},
        {"memory 1G 2\n", " line 1: memory takes a byte count (K, M or G suffix)"},
        {"daemon 0 127.0.0.1\n", " line 1: daemon takes an index, an IPv4 address and a port"},
        {"daemon 0 localhost 7001\n", " line 1: daemon takes an index, an IPv4 address and a port"},
        {"daemon 0 127.0.0.1 65536\n", " line 1: daemon takes an index, an IPv4 address and a port"},
        {"daemons 2\ndaemon 2 127.0.0.1 7001\n", " line 2: daemon index outside the cluster"},
        {"completion sometimes\n", " line 1: completion is inline or async"},
        {"backend disk\n", " line 1: backend is embedded, redis or redis-cluster"},
        {"  # only a comment\n\nfrobnicate 1\n", " line 3: unknown setting 'frobnicate'"},
        {"Daemons 3\n", " line 1: unknown setting 'Daemons'"},
        {redis + "primary 127.0.0.1 6380\n", " line 3: a second primary"},
        {redis + "primary 127.0.0.1\n", " line 3: primary takes an IPv4 address and a port"},
        {redis + "replica 127.0.0.1 0\n", " line 3: replica takes an IPv4 address and a port"},
        {redis + "replica 127.0.0.1 6380 x\n", " line 3: replica takes an IPv4 address and a port"},
        {redis + "sentinel ::1 26379\n", " line 3: sentinel takes an IPv4 address and a port"},
        {redis + "master-name a b\n", " line 3: master-name takes one word"},
        {redis + "user\n", " line 3: user takes one word"},
        {redis + "key-prefix a b\n", " line 3: key-prefix takes one word"},
        {redis + "key-prefix mb{x}:\n", " line 3: key-prefix may not hold '{' or '}'"},
        {redis + "key-prefix mb}\n", " line 3: key-prefix may not hold '{' or '}'"},
        {redis + "password-env\n", " line 3: password-env takes the name of an environment variable"},
        {redis + "password-env MB_NO_SUCH_VARIABLE_SET\n",
         " line 3: environment variable MB_NO_SUCH_VARIABLE_SET is not set"},
        {redis + "password-file\n", " line 3: password-file takes a path"},
        {redis + "password-file /nonexistent/pw\n",
         " line 3: password file /nonexistent/pw is missing or not a regular file"},
        {redis + "password-file " + shared.path() + "\n",
         " line 3: password file " + std::string(shared.path()) +
             " must belong to this user and be readable by its owner only"},
        {redis + "password-file " + empty.path() + "\n",
         " line 3: password file " + std::string(empty.path()) + " cannot be read"},
        {redis + "password-file " + blank.path() + "\n",
         " line 3: password file " + std::string(blank.path()) + " is empty"},
        {redis + "connect-timeout-ms 0\n", " line 3: connect-timeout-ms takes a whole number from 1"},
        {redis + "command-timeout-ms 1k\n", " line 3: command-timeout-ms takes a whole number from 1"},
        {redis + "lease-seconds 3600001\n", " line 3: lease-seconds takes a whole number from 1"},
        {redis + "crash-events maybe\n", " line 3: crash-events is allowed or refused"},
        {"primary 127.0.0.1 6379\n", " line 1: a Redis setting without 'backend redis'"},
        {"memory 1G\nlease-seconds 5\nuser u\n", " line 2: a Redis setting without 'backend redis'"},
        {"user u\nbackend embedded\n", " line 1: a Redis setting without 'backend redis'"},
        {"backend redis\nreplica 127.0.0.1 6380\n", ": backend redis needs a primary line"},
        {redis + "daemons 2\n", " line 3: with backend redis the servers are the daemons; drop 'daemons'"},
        {redis + "sentinel 127.0.0.1 26379\n", ": sentinels need a master-name line"},
        {redis + "user mbapp\n", ": a user needs a password (password-env or password-file)"},
        {"daemons 2\n" + redis, " line 1: with backend redis the servers are the daemons; drop 'daemons'"},
        {"sentinel 127.0.0.1 26379\nbackend redis\n", ": backend redis needs a primary line"},
        {cluster + "node 127.0.0.1\n", " line 3: node takes an IPv4 address and a port"},
        {cluster + "node localhost 7001\n", " line 3: node takes an IPv4 address and a port"},
        {"backend redis-cluster\nkey-prefix p:\n", ": backend redis-cluster needs a node line"},
        {cluster + "primary 127.0.0.1 6379\n", " line 3" + nodesOnly},
        {cluster + "replica 127.0.0.1 6380\nsentinel 127.0.0.1 1\n", " line 3" + nodesOnly},
        {cluster + "master-name m\n", " line 3" + nodesOnly},
        {"node 127.0.0.1 7000\nsentinel 127.0.0.1 1\nbackend redis-cluster\n", " line 2" + nodesOnly},
        {redis + "node 127.0.0.1 7000\n", " line 3: a node line needs 'backend redis-cluster'"},
        {cluster + "daemons 6\n", " line 3: with backend redis-cluster the nodes are the daemons; drop 'daemons'"},
        {cluster + "daemon 1 127.0.0.1 7001\n", " line 3: with backend redis-cluster the nodes are the daemons; drop 'daemon'"},
    };
    for (const auto& [text, want] : bad) {
        TempFile f(text);
        mb_init_args a = makeArgs(0, f.path());
        Rqs r;
        EXPECT_EQ(mb_init(&r, &a), nullptr) << text;
        EXPECT_EQ(r.error, MB_ERR_CFGREAD) << text;
        EXPECT_EQ(std::string(mb_get_error_message(&r)), "configuration file " + std::string(f.path()) + want) << text;
    }
    std::string many = redis;
    for (int i = 0; i < 64; ++i) many += "replica 127.0.0.1 " + std::to_string(7000 + i) + "\n";
    TempFile tooMany(many);
    mb_init_args a = makeArgs(0, tooMany.path());
    Rqs r;
    EXPECT_EQ(mb_init(&r, &a), nullptr);
    EXPECT_EQ(std::string(mb_get_error_message(&r)),
              "configuration file " + std::string(tooMany.path()) + ": more than 64 servers");
    a = makeArgs(0, "/tmp");
    EXPECT_EQ(mb_init(&r, &a), nullptr);
    EXPECT_EQ(std::string(mb_get_error_message(&r)), "configuration file /tmp is not a regular file");
    a = makeArgs(0, "/nonexistent/dir/cluster.cfg");
    EXPECT_EQ(mb_init(&r, &a), nullptr);
    EXPECT_EQ(r.error, MB_ERR_NOCFG);
    EXPECT_EQ(std::string(mb_get_error_message(&r)), "configuration file /nonexistent/dir/cluster.cfg not found");
    ::unsetenv("MB_CFG_TEST_PASSWORD");
    freshCluster();
}

// What a well-formed file sets: later lines of a one-value setting win, the
// primary is daemon 0 wherever it is written, replicas follow in order, and
// every setting of every backend is taken (the Redis and cluster files get
// as far as connecting to servers that are not there).
TEST(Config, WellFormedFilesTakeEverySetting) {
    freshCluster();
    ::setenv("MB_CFG_TEST_PASSWORD", "secret", 1);
    TempFile pw("secret\n");
    const std::string redisFiles[] = {
        "replica 127.0.0.1 1\nbackend redis\nprimary 127.0.0.1 2   # after its replica\nsentinel 127.0.0.1 3\n"
        "master-name m\nkey-prefix p:\nuser u\npassword-env MB_CFG_TEST_PASSWORD\nconnect-timeout-ms 50\n"
        "command-timeout-ms 60\nlease-seconds 7\ncrash-events allowed\nmemory 2M\ndaemon 1 10.0.0.2 6380\n"
        "completion inline\n",
        "backend redis\nprimary 127.0.0.1 1\nuser u\npassword-file " + std::string(pw.path()) + "\n",
        "node 127.0.0.1 1\nbackend redis-cluster\nnode 127.0.0.1 2\nkey-prefix p:\nuser u\npassword-env MB_CFG_TEST_PASSWORD\n"
        "connect-timeout-ms 50\ncommand-timeout-ms 60\nlease-seconds 7\ncrash-events allowed\nmemory 2M\ncompletion inline\n"};
    for (const auto& text : redisFiles) {
        TempFile f(text);
        mb_init_args a = makeArgs(0, f.path());
        Rqs r;
        EXPECT_EQ(mb_init(&r, &a), nullptr) << text;
        EXPECT_EQ(r.error, MB_ERR_DDEAD) << text << mb_get_error_message(&r);
    }
    TempFile f("daemons 9\ndaemons 4\nmemory 1M\nmemory 4M\nbackend redis\nbackend embedded\n"
               "completion inline\ncompletion async\ndaemon 3 10.0.0.9 70\ndaemon 3 10.0.0.8 71\n");
    mb_init_args a = makeArgs(3, f.path());
    Rqs r;
    mb_client_ctx* c = mb_init(&r, &a);
    ASSERT_NE(c, nullptr) << mb_get_error_message(&r);
    EXPECT_NE(mb_init(&r, &a), nullptr);  // the same layout joins, another one does not
    TempFile other("daemons 2\n");
    mb_init_args b = makeArgs(0, other.path());
    EXPECT_EQ(mb_init(&r, &b), nullptr);
    EXPECT_EQ(r.error, MB_ERR_CFGLOC);
    std::vector<mb_daemon_info> ds;
    mb_admin_enumerate_daemons(&r, c, &ds, collectDaemon, 0);
    ASSERT_EQ(ds.size(), 4u);
    EXPECT_EQ(ds[0].total_memory, 4u << 20);
    EXPECT_EQ(ds[3].ip, htonl(0x0a000008u));
    EXPECT_EQ(ntohs(ds[3].port), 71);
    mb_store_handle h = mb_openstore(&r, c, "w", 1, 1, MB_OPEN_CREATE | MB_OPEN_READWRITE, 4096, 4096);
    ASSERT_NE(h, 0u);
    char byte = 'x';
    mb_client_opargs op{};
    op.flags = MB_OP_WRITE;
    op.buffer = &byte;
    op.length = 1;
    op.storehandle = h;
    mb_write(&r, c, &op);
    EXPECT_EQ(r.status, MB_INPROG);  // the last completion line wins: asynchronous
    mb_wait(&r, c, 0, 0);
    mb_fini(&r, c);
    ::unsetenv("MB_CFG_TEST_PASSWORD");
    freshCluster();
}

// Every configuration example of the README parses as printed: the embedded
// one connects, a Redis one gets as far as connecting to its servers.
TEST(Config, ReadmeExamplesParseAsPrinted) {
    freshCluster();
    ::setenv("MB_REDIS_PASSWORD", "example", 1);  // the variable the example names
    std::ifstream readme(STANDIN_README);
    std::string text((std::istreambuf_iterator<char>(readme)), std::istreambuf_iterator<char>());
    int examples = 0;
    for (size_t at = 0; (at = text.find("```conf\n", at)) != std::string::npos; ++examples) {
        at += 8;
        TempFile f(text.substr(at, text.find("```", at) - at));
        mb_init_args a = makeArgs(0, f.path());
        Rqs rqs;
        mb_client_ctx* c = mb_init(&rqs, &a);  // a Redis example gets as far as connecting
        EXPECT_TRUE(c || rqs.error == MB_ERR_DDEAD) << mb_get_error_message(&rqs);
        freshCluster();
    }
    EXPECT_GE(examples, 2);
}

// ---- regions -------------------------------------------------------------------------

TEST_P(Contract, OpenDescribesTheRegion) {
    mb_store_handle h = open("alpha", 2, 3, 1 << 20, 4096);
    mb_client_storeinfo si = info(h);
    EXPECT_STREQ(si.name, "alpha");
    EXPECT_EQ(si.size, 1u << 20);
    EXPECT_EQ(si.used, 0u);
    EXPECT_EQ(si.blocksize, 4096u);
    EXPECT_EQ(si.primary, cluster() ? home("alpha") : 0);
    EXPECT_EQ(si.redundancy, cluster() ? 2 : daemons());
    EXPECT_EQ(si.minredundancy, 2);
    EXPECT_EQ(si.nodes, cluster() ? shard("alpha") : (1u << daemons()) - 1);
    EXPECT_TRUE(si.open);
    EXPECT_EQ(si.pid, static_cast<ub4>(getpid()));
    EXPECT_GT(si.ctime, 0u);
    EXPECT_EQ(si.storehandle, h);
    Rqs rqs;
    EXPECT_EQ(mb_openstore(&rqs, client_, "toomany", daemons() + 1, daemons() + 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_OPENMIN);
    EXPECT_EQ(mb_openstore(&rqs, client_, "inverted", 3, 2, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    si = info(mb_openstore(&rqs, client_, "defaults", 0, 0, 6, 0, 0));
    EXPECT_EQ(si.size, 16u << 20);
    EXPECT_EQ(si.blocksize, 4096u);
    EXPECT_EQ(si.redundancy, 2);
    EXPECT_EQ(si.minredundancy, 1);
}

TEST_P(Contract, HandlesAreNonZeroDistinctAndPerConnection) {
    std::set<mb_store_handle> seen;
    for (const char* n : {"a", "b", "c", "a"}) seen.insert(open(n));
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.count(0u), 0u);
    mb_client_ctx* other = connect(1);
    mb_store_handle h2 = open("b", 1, 2, 1 << 20, 4096, other);
    EXPECT_STREQ(info(h2, other).name, "b");
    EXPECT_STREQ(info(1).name, "a");
    Rqs rqs;
    mb_client_storeinfo si;
    si.storehandle = 3;
    mb_get_storeinfo(&rqs, other, &si);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_store_handle h = open("x");
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    for (mb_store_handle bad : {h, 0u, 999u}) {
        mb_closestore(&rqs, client_, bad, 0);
        EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    }
}

TEST_P(Contract, ReopenKeepsDataAndOpenFlagsAreHonoured) {
    mb_store_handle h = open("keep");
    char data[64];
    std::memset(data, 0x5a, sizeof data);
    ASSERT_EQ(io(true, h, data, sizeof data, 100), MB_ERR_NONE);
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(mb_openstore(&rqs, client_, "nothere", 1, 1, 4, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    EXPECT_EQ(mb_openstore(&rqs, client_, "keep", 1, 1, 7, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_STOREEXISTS);
    mb_store_handle ro = mb_openstore(&rqs, client_, "keep", 1, 1, 2, 0, 0);
    ASSERT_NE(ro, 0u);
    EXPECT_EQ(info(ro).used, 164u);
    EXPECT_EQ(info(ro).size, 1u << 20);  // the existing region's size
    char back[64] = {0};
    EXPECT_EQ(io(false, ro, back, sizeof back, 100), MB_ERR_NONE);
    EXPECT_EQ(std::memcmp(back, data, sizeof data), 0);
    EXPECT_EQ(io(true, ro, data, 8, 0), MB_ERR_ACCESS);
    std::string longName(300, 'n');
    for (const char* name : {"keep", static_cast<const char*>(nullptr), "", longName.c_str()}) {
        EXPECT_EQ(mb_openstore(&rqs, client_, name, 1, 1, name && !std::strcmp(name, "keep") ? 0x16 : 6, 4096, 4096), 0u);
        EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    }
    EXPECT_EQ(mb_openstore(&rqs, client_, "tinyblocks", 1, 1, 6, 4096, 7), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
}

// ---- data ------------------------------------------------------------------------------

TEST_P(Contract, RandomRoundTripsMatchAShadowCopy) {
    const ub8 size = 3 << 20;
    for (ub4 bs : {512u, 4096u, 65536u, 3u << 19}) {  // the last: blocks across chunk boundaries
        std::string name = "rand" + std::to_string(bs);
        mb_store_handle h = open(name.c_str(), bs == 4096 ? 2 : 1, 3, size, bs);  // 2: writes wait for a copy
        std::vector<unsigned char> shadow(size, 0);
        std::vector<bool> touched(size / bs, false);
        std::mt19937_64 rng(bs);
        ub8 highest = 0;
        for (int i = 0; i < 60; ++i) {
            ub8 len = 1 + rng() % (std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? 1300000 : 9000);
            ub8 off = rng() % (size - len);
            std::vector<unsigned char> buf(len);
            for (auto& b : buf) b = static_cast<unsigned char>(rng());
            ASSERT_EQ(io(true, h, buf.data(), len, off), MB_ERR_NONE);
            std::copy(buf.begin(), buf.end(), shadow.begin() + static_cast<long>(off));
            for (ub8 b = off / bs; b <= (off + len - 1) / bs; ++b) touched[b] = true;
            highest = std::max(highest, off + len);
            EXPECT_EQ(info(h).used, highest);  // only grows
        }
        for (int i = 0; i < 60; ++i) {
            ub8 len = 1 + rng() % 1200000;
            ub8 off = rng() % (size - len);
            bool any = false;
            for (ub8 b = off / bs; b <= (off + len - 1) / bs; ++b) any = any || touched[b];
            std::vector<unsigned char> buf(len, 0xee);
            mb_error er = io(false, h, buf.data(), len, off);
            if (!any) {
                EXPECT_EQ(er, MB_ERR_EMPTYBLOCK);
                continue;
            }
            ASSERT_EQ(er, MB_ERR_NONE);
            ASSERT_TRUE(std::equal(buf.begin(), buf.end(), shadow.begin() + static_cast<long>(off)))
                << "bs " << bs << " off " << off << " len " << len;
        }
    }
}

TEST_P(Contract, UnalignedBuffersAndPlacementsCopyCorrectly) {
    mb_store_handle h = open("unaligned", 1, 1, 1 << 20, 4096);
    std::vector<unsigned char> src(70000 + 4096), dst(70000 + 4096);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 7 + 3);
    for (size_t shift : {0u, 1u, 17u, 63u, 4065u, 4095u}) {
        ub8 off = 8192 + shift;
        ASSERT_EQ(io(true, h, src.data() + shift, 70000, off), MB_ERR_NONE);
        std::fill(dst.begin(), dst.end(), 0);
        ASSERT_EQ(io(false, h, dst.data() + (4096 - shift), 70000, off), MB_ERR_NONE);
        ASSERT_EQ(std::memcmp(dst.data() + (4096 - shift), src.data() + shift, 70000), 0) << shift;
    }
}

TEST_P(Contract, EmptyBlocksAndPartlyWrittenReads) {
    mb_store_handle h = open("sparse", 1, 1, 1 << 20, 4096);
    char buf[8192];
    NotifyLog log;
    mb_client_opargs op = makeOp(false, h, buf, 100, 50, &log);
    Rqs rqs;
    mb_read(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_FAIL);
    EXPECT_EQ(op.status, MB_FAIL);
    EXPECT_EQ(op.error, MB_ERR_EMPTYBLOCK);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 0);
    char one = 'x';
    ASSERT_EQ(io(true, h, &one, 1, 4096 + 10), MB_ERR_NONE);
    std::memset(buf, 0x77, sizeof buf);
    ASSERT_EQ(io(false, h, buf, 8192, 4000), MB_ERR_NONE);  // blocks 0, 1, 2
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(buf[i], i == 4096 + 10 - 4000 ? 'x' : 0) << i;
    EXPECT_EQ(io(false, h, buf, 4096, 8192), MB_ERR_EMPTYBLOCK);
    EXPECT_EQ(info(h).used, 4096u + 11u);
}

TEST_P(Contract, RangesPastTheRegionBadRecordsAndFences) {
    mb_store_handle h = open("small", 1, 1, 10000, 4096);
    char buf[200] = {1};
    EXPECT_EQ(io(true, h, buf, 200, 9900), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, buf, 100, 9900), MB_ERR_NONE);
    EXPECT_EQ(io(false, h, buf, 200, 9900), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, buf, 1, ~0ull), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, buf, ~0ull, 1), MB_ERR_INVSIZ);
    EXPECT_EQ(io(true, h, nullptr, 10, 0), MB_ERR_INVAL);
    EXPECT_EQ(io(true, 77, buf, 10, 0), MB_ERR_INVAL);
    EXPECT_EQ(io(true, h, buf, 0, 10000), MB_ERR_NONE);
    Rqs rqs;
    mb_write(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_get_storeinfo(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_client_opargs op;
    std::memset(&op, 0, sizeof op);
    op.storehandle = h;
    mb_read_fence(&rqs, client_, &op);
    EXPECT_EQ(rqs.status, MB_SUCC);
    op.storehandle = h + 1;
    mb_read_fence(&rqs, client_, &op);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_read_fence(&rqs, client_, nullptr);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
}

// ---- asynchronous completion --------------------------------------------------------

TEST_P(Contract, NotificationRunsInALaterWaitOnTheSubmittingThread) {
    mb_store_handle h = open("async");
    char data[4096];
    std::memset(data, 3, sizeof data);
    NotifyLog log;
    mb_client_opargs op = makeOp(true, h, data, sizeof data, 0, &log);
    Rqs rqs;
    mb_write(&rqs, client_, &op);
    ASSERT_EQ(rqs.status, MB_INPROG);
    EXPECT_EQ(log.runs, 0);
    EXPECT_EQ(op.status, 0);
    std::thread other([&] {  // a wait on another thread delivers nothing of this thread's
        Rqs w;
        mb_wait(&w, client_, 0, 0);
        EXPECT_EQ(w.status, MB_SUCC);
    });
    other.join();
    EXPECT_EQ(log.runs, 0);
    mb_wait(&rqs, client_, 5, 0);
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.status, MB_SUCC);
    EXPECT_EQ(log.thread, std::this_thread::get_id());
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(log.runs, 1);
    char back[4096];
    NotifyLog rlog;
    mb_client_opargs rop = makeOp(false, h, back, sizeof back, 0, &rlog);
    mb_read(&rqs, client_, &rop);
    ASSERT_EQ(rqs.status, MB_INPROG);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(rlog.runs, 1);
    EXPECT_EQ(rop.readdone, 1);
    EXPECT_EQ(std::memcmp(back, data, sizeof back), 0);
    // A finalised connection drops what it has not delivered.
    mb_write(&rqs, client_, &op);
    ASSERT_EQ(rqs.status, MB_INPROG);
    mb_fini(&rqs, client_);
    mb_wait(&rqs, client_, 0, 0);
    EXPECT_EQ(rqs.error, MB_ERR_FREEDCTX);
    EXPECT_EQ(log.runs, 1);
}

// ---- listings and delete ---------------------------------------------------------------

TEST_P(Contract, ListingsGlobalAttachedAndByName) {
    open("g1", 1, 1);
    mb_client_ctx* c1 = connect(1);
    open("g2", 1, 2, 1 << 20, 4096, c1);
    std::vector<mb_client_storeinfo> plain, local, one;
    std::set<std::string> names;
    for (auto& s : regions()) names.insert(s.name);
    EXPECT_EQ(names, (std::set<std::string>{"g1", "g2"}));
    Rqs rqs;
    mb_enumerate_global_stores(&rqs, c1, &plain, collectStore, 1);
    EXPECT_EQ(plain.size(), 2u);
    mb_admin_attach_daemon(&rqs, client_, 1);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(mb_admin_get_attached_daemon(&rqs, client_), 1);
    mb_admin_enumerate_stores(&rqs, client_, &local, collectStore, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    ub4 g1 = cluster() ? shard("g1") : 0, g2 = cluster() ? shard("g2") : 0;
    EXPECT_EQ(local.size(), cluster() ? (g1 >> 1 & 1) + (g2 >> 1 & 1) : redis() ? 2u : 1u);  // g2 only, on the embedded cluster
    mb_admin_attach_daemon(&rqs, client_, daemons());
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_admin_get_storeinfo(&rqs, client_, "g2", &one, collectStore, 0);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].primary, cluster() ? home("g2") : redis() ? 0 : 1);
    EXPECT_EQ(one[0].redundancy, 2);
    EXPECT_TRUE(one[0].open);
    mb_admin_get_storeinfo(&rqs, client_, "nope", &one, collectStore, 0);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    mb_admin_get_storeinfo(&rqs, client_, nullptr, &one, collectStore, 0);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_admin_enumerate_global_stores(&rqs, client_, &one, nullptr, 0);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    EXPECT_EQ(one.size(), 1u);
    // Callbacks may call back into the library.
    mb_admin_enumerate_global_stores(&rqs, client_, client_, [](void* cookie, mb_client_storeinfo* s) {
        std::vector<mb_client_storeinfo> inner;
        Rqs r;
        mb_admin_get_storeinfo(&r, static_cast<mb_client_ctx*>(cookie), s->name, &inner, collectStore, 0);
        EXPECT_EQ(inner.size(), 1u);
    }, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    std::vector<mb_daemon_info> ds = daemonList();
    ASSERT_EQ(ds.size(), static_cast<size_t>(daemons()));
    for (int i = 0; i < daemons(); ++i) {
        EXPECT_EQ(ds[i].status, MB_DAEMON_UP);
        EXPECT_EQ(ntohs(ds[i].port), cluster() ? RedisCluster::get().port[i] : redis() ? RedisServers::get().port[i] : 7001 + i);
        EXPECT_EQ(ds[i].total_memory, 1ull << 30);
    }
    EXPECT_EQ(ds[0].number_stores, cluster() ? (g1 & 1) + (g2 & 1) : redis() ? 2 : 1);
}

TEST_P(Contract, DaemonEventsOnlyWhereTheClusterAllowsThem) {
    open("ev");
    mb_error err = MB_ERR_NONE;
    // The Redis cluster of this suite leaves crash events at their default: refused.
    EXPECT_EQ(event(1, MB_EVENT_TARGET_PRIMARY, "ev", &err), redis() ? MB_FAIL : MB_SUCC);
    EXPECT_EQ(err, redis() ? MB_ERR_NOTIMPL : MB_ERR_NONE);
    EXPECT_EQ(event(1, MB_EVENT_TARGET_PROCESS, "ev"), MB_SUCC);
    EXPECT_EQ(event(0, MB_EVENT_TARGET_PROCESS, "ev"), MB_SUCC);
    EXPECT_EQ(event(0, MB_EVENT_TARGET_PRIMARY, "ev"), MB_SUCC);
}

TEST_P(Contract, DeleteIsRefusedWhileOpenUnlessForced) {
    mb_store_handle h = open("del", 1, 2, 8 << 20);
    std::vector<char> data = pattern(3 << 20, 1);
    ASSERT_EQ(io(true, h, data.data(), data.size(), 1000), MB_ERR_NONE);
    Rqs rqs;
    mb_admin_delete_store(&rqs, client_, "del", 0);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);
    mb_admin_delete_store(&rqs, client_, "del", 1);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(io(false, h, data.data(), 1, 0), MB_ERR_STOREDELETED);
    EXPECT_EQ(io(true, h, data.data(), 1, 0), MB_ERR_STOREDELETED);
    EXPECT_EQ(io(true, h, data.data(), 1, 7 << 20), MB_ERR_STOREDELETED);  // a block never written
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    mb_admin_delete_store(&rqs, client_, "del", 1);
    EXPECT_EQ(rqs.error, MB_ERR_STORENF);
    mb_admin_delete_store(&rqs, client_, nullptr, 1);
    EXPECT_EQ(rqs.error, MB_ERR_INVAL);
    mb_store_handle h2 = open("del");  // the name is free again: a new, empty region
    EXPECT_EQ(info(h2).used, 0u);
    EXPECT_EQ(io(false, h2, data.data(), 4096, 1000), MB_ERR_EMPTYBLOCK);
    if (redis()) {  // nothing of the old region is left on the server
        std::string keys;
        if (cluster()) RedisCluster::get().command(home("del"), "DBSIZE", &keys);
        else RedisServers::get().command(0, "DBSIZE", &keys);
        EXPECT_EQ(keys, "3");  // the new region: metadata, openers, block bitmap
    }
}

// ---- the embedded cluster: placement, memory, shutdown, crash events --------------

using Embedded = ClientTest;

TEST_F(Embedded, PlacementMemoryAndShutdownFlags) {
    Rqs rqs;
    mb_init_args a2 = makeArgs(2);
    mb_client_ctx* c2 = mb_init(&rqs, &a2);
    mb_client_storeinfo si = info(open("p2", 1, 2, 1 << 20, 4096, c2), c2);
    EXPECT_EQ(si.primary, 2);  // the opener's local daemon, then the next ones
    EXPECT_EQ(si.nodes, 0x5u);
    const ub8 big = 600ull << 20;  // every copy reserves its full size, until deleted
    open("big", 2, 2, big, 1 << 20);
    EXPECT_EQ(mb_openstore(&rqs, client_, "big2", 2, 2, 6, big, 1 << 20), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_NOMEM);
    mb_admin_delete_store(&rqs, client_, "big", 1);
    mb_ldinfo ld;
    mb_get_local_daemon_info(&rqs, client_, &ld);
    EXPECT_EQ(ld.used_memory, 1u << 20);
    mb_store_handle solo = open("solo", 1, 1), pair = open("pair", 2, 2);
    auto data = std::vector<char>(5000, 'd');
    ASSERT_EQ(io(true, pair, data.data(), data.size(), 3000), MB_ERR_NONE);
    mb_admin_shutdown_daemon(&rqs, client_, MB_SHUTDOWN_SAFE | MB_SHUTDOWN_FORCE);
    EXPECT_EQ(rqs.error, MB_ERR_SHUT_DLAST);  // daemon 0 holds the last copy of "solo"
    mb_admin_shutdown_daemon(&rqs, client_, 0);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);
    mb_admin_shutdown_daemon(&rqs, client_, MB_SHUTDOWN_FORCE);
    ASSERT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(io(false, solo, data.data(), 1, 0), MB_ERR_DDEAD);  // its only copy is gone
    mb_closestore(&rqs, client_, solo, 0);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    si = info(pair);  // the surviving copy answers with every acknowledged byte
    EXPECT_EQ(si.primary, 1);
    EXPECT_EQ(si.redundancy, 1);
    std::vector<char> back(5000);
    ASSERT_EQ(io(false, pair, back.data(), back.size(), 3000), MB_ERR_NONE);
    EXPECT_EQ(back, data);
    mb_admin_shutdown_daemon(&rqs, client_, MB_SHUTDOWN_FORCE);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    mb_admin_attach_daemon(&rqs, client_, 0);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
}

class EmbeddedEvents : public Contract {
    Kind kind() const override { return Kind::Embedded; }
};

TEST_F(EmbeddedEvents, CrashesAtTheArmedPointKeepAcknowledgedBytes) {
    mb_store_handle h = open("w1", 1, 3);
    auto first = pattern(10000, 1), second = pattern(6000, 2);
    ASSERT_EQ(io(true, h, first.data(), first.size(), 0), MB_ERR_NONE);
    ASSERT_EQ(event(1, 1, "w1"), MB_SUCC);
    mb_client_ctx* c1 = connect(1);  // other connections and regions do not fire it
    ASSERT_EQ(io(true, open("w1", 1, 3, 1 << 20, 4096, c1), first.data(), 10, 0, c1), MB_ERR_NONE);
    ASSERT_EQ(io(true, open("other", 1, 3), first.data(), 10, 0), MB_ERR_NONE);
    EXPECT_EQ(info(h).redundancy, 3);
    ASSERT_EQ(io(true, h, second.data(), second.size(), 20000), MB_ERR_NONE);
    mb_client_storeinfo si = info(h);
    EXPECT_EQ(si.redundancy, 2);
    EXPECT_EQ(si.nodes, 0x6u);
    expectContent(h, second, 20000);
    ASSERT_EQ(event(1, 2, "w1"), MB_SUCC);  // the first secondary, during a close
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    EXPECT_EQ(rqs.status, MB_SUCC);
    h = open("w1", 1, 3);
    EXPECT_EQ(info(h).nodes, 0x2u);
    expectContent(h, std::vector<char>(first.begin() + 10, first.end()), 10);
    mb_error err;
    EXPECT_EQ(event(1, 2, "w1", &err), MB_FAIL);  // no secondary left
    EXPECT_EQ(err, MB_ERR_NOTFOUND);
    ASSERT_EQ(event(1, 1, "o3"), MB_SUCC);  // during an open: the new region's only copy goes
    EXPECT_EQ(mb_openstore(&rqs, client_, "o3", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    EXPECT_EQ(io(true, h, first.data(), 1, 1), MB_ERR_DDEAD);  // and with it the last copy of w1
    EXPECT_EQ(mb_openstore(&rqs, client_, "o4", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_OPENMIN);  // every daemon is down now
}

TEST_F(EmbeddedEvents, DisarmingAndBadArguments) {
    mb_store_handle h = open("dis", 1, 3);
    EXPECT_EQ(event(0, 1, "dis"), MB_SUCC);  // not armed: no-op
    ASSERT_EQ(event(1, 1, "dis"), MB_SUCC);
    EXPECT_EQ(event(0, 1, "dis"), MB_SUCC);
    char c = 0;
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    EXPECT_EQ(info(h).redundancy, 3);
    mb_error err;
    EXPECT_EQ(event(1, 4, "dis", &err), MB_FAIL);
    EXPECT_EQ(err, MB_ERR_INVAL);
}

using EmbeddedEventsDeathTest = EmbeddedEvents;

TEST_F(EmbeddedEventsDeathTest, ProcessTargetEndsTheProcessDuringWrite) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mb_store_handle h = open("die", 1, 2);
    ASSERT_EQ(event(1, 3, "die"), MB_SUCC);
    char c = 1;
    ASSERT_EQ(io(false, h, &c, 1, 0), MB_ERR_EMPTYBLOCK);  // reads do not fire it
    EXPECT_EXIT(io(true, h, &c, 1, 0), ::testing::ExitedWithCode(86), "");
}

// ---- Redis: other processes, faults, shutdown and crash events --------------------------

class RedisOnly : public Contract {
protected:
    RedisOnly() { extraConfig_ = "command-timeout-ms 400 # short, for the faults\nlease-seconds 1\ncrash-events allowed\n"; }
    Kind kind() const override { return Kind::Redis; }
    mb_error initWith(const std::string& text) {
        freshCluster();
        TempFile f(text);
        mb_init_args a = makeArgs(0, f.path());
        Rqs rqs;
        EXPECT_EQ(mb_init(&rqs, &a), nullptr);
        EXPECT_EQ(std::string(mb_get_error_message(&rqs)).find(RedisServers::kPassword), std::string::npos);
        return rqs.error;
    }
    struct Write {
        mb_store_handle h;
        std::vector<char> data;
        ub8 off;
        NotifyLog log;
    };
    static mb_error outcome(const Write& w) { return w.log.status == MB_SUCC ? MB_ERR_NONE : w.log.error; }
    // Submits the writes asynchronously (each answers MB_INPROG); one mb_wait
    // runs them all, as one batch when nothing else is queued.
    void submitAndWait(mb_client_ctx* c, std::vector<Write>& ws) {
        std::vector<mb_client_opargs> ops;
        ops.reserve(ws.size());
        for (Write& w : ws) {
            ops.push_back(makeOp(true, w.h, w.data.data(), w.data.size(), w.off, &w.log));
            Rqs r;
            mb_write(&r, c, &ops.back());
            ASSERT_EQ(r.status, MB_INPROG);
        }
        Rqs r;
        mb_wait(&r, c, 0, 0);
        for (Write& w : ws) ASSERT_EQ(w.log.runs, 1);
    }
};

TEST_F(RedisOnly, ProcessesShareRegionsAtomicallyAndLeasesOfTheDeadExpire) {
    const char* names[] = {"a*b", "x{y}z", "sp ace", "[q]\\"};
    for (const char* n : names) open(n);
    auto data = pattern(70000, 4);
    EXPECT_EQ(child([&](mb_client_ctx* c) {  // writes, leaves without closing
                  Rqs rqs;
                  mb_store_handle h = mb_openstore(&rqs, c, "shared", 1, 1, 6, 1 << 20, 4096);
                  return io(true, h, data.data(), data.size(), 5, c) == MB_ERR_NONE ? 0 : 1;
              }), 0);
    mb_store_handle h = open("shared");
    expectContent(h, data, 5);
    EXPECT_EQ(info(h).used, 70005u);
    int created = 0, existed = 0;
    for (int i = 0; i < 4; ++i) {
        int code = child([](mb_client_ctx* c) {
            Rqs rqs;
            return mb_openstore(&rqs, c, "race", 1, 1, 7, 4096, 4096) != 0 ? 0 : rqs.error == MB_ERR_STOREEXISTS ? 1 : 2;
        });
        created += code == 0;
        existed += code == 1;
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(existed, 3);
    Rqs rqs;
    mb_admin_delete_store(&rqs, client_, "race", 0);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);  // the creator's lease outlives it a moment
    EXPECT_TRUE(waitFor([&] {
        mb_admin_delete_store(&rqs, client_, "race", 0);
        return rqs.status == MB_SUCC;
    }, 5000));
    std::set<std::string> listed, want(std::begin(names), std::end(names));
    for (auto& s : regions()) listed.insert(s.name);
    want.insert("shared");
    EXPECT_EQ(listed, want);  // names exactly as given, glob characters included
}

TEST_F(RedisOnly, FaultsFailTheOperationWithAClearText) {
    RedisServers& rs = RedisServers::get();
    Rqs big;  // more blocks than a bitmap can mark: refused at create, not at some later write
    EXPECT_EQ(mb_openstore(&big, client_, "big", 1, 1, 6, (1ull << 41) - 512, 512), 0u);
    EXPECT_EQ(big.error, MB_ERR_INVSIZ);
    mb_store_handle one = open("one", 1, 1);
    auto data = pattern(100, 3);
    EXPECT_EQ(io(true, one, data.data(), 100, 0), MB_ERR_NONE);
    rs.signal(0, SIGSTOP);  // a primary that does not answer
    EXPECT_EQ(io(false, one, data.data(), 100, 0), MB_ERR_TIMEDOUT);
    rs.signal(0, SIGCONT);
    EXPECT_EQ(io(false, one, data.data(), 100, 0), MB_ERR_NONE);
    std::string head = "backend redis\npassword-env " + std::string(RedisServers::kPasswordVar) + "\nprimary 127.0.0.1 ";
    EXPECT_EQ(initWith(head + "1\n"), MB_ERR_DDEAD);  // nobody there
    EXPECT_NE(errorText(MB_ERR_DDEAD).find("cannot connect to Redis server 127.0.0.1:1"), std::string::npos);
    freshCluster();
    TempFile toReplica(head + std::to_string(rs.port[1]) + "\n");
    mb_init_args a = makeArgs(0, toReplica.path());
    Rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    ASSERT_NE(c, nullptr) << mb_get_error_message(&rqs);
    EXPECT_EQ(mb_openstore(&rqs, c, "ro", 1, 1, 6, 4096, 4096), 0u);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    EXPECT_NE(std::string(mb_get_error_message(&rqs)).find("read-only replica"), std::string::npos);
    // Something that is not Redis at the primary's address: every request gets an integer.
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sa;
    ASSERT_TRUE(::bind(ls, reinterpret_cast<sockaddr*>(&sa), sl) == 0 && ::listen(ls, 8) == 0 &&
                ::getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &sl) == 0);
    std::thread odd([ls] {
        for (int conn; (conn = ::accept(ls, nullptr, nullptr)) >= 0; ::close(conn)) {
            timeval limit{2, 0};  // a client that keeps the connection cannot hold this thread
            ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            char buf[4096];
            while (::read(conn, buf, sizeof buf) > 0 && ::write(conn, ":42\r\n", 5) == 5) {
            }
        }
    });
    std::string odd_at = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    EXPECT_EQ(initWith("backend redis\nprimary 127.0.0.1 " + std::to_string(ntohs(sa.sin_port)) + "\n"), MB_ERR_OTHER);
    EXPECT_NE(errorText(MB_ERR_OTHER).find(odd_at), std::string::npos) << errorText(MB_ERR_OTHER);
    ::shutdown(ls, SHUT_RDWR);
    ::close(ls);
    odd.join();
}

// ---- Redis: shared batches ------------------------------------------------------------

// Eight threads on connections of their own keep several writes in flight
// and read back at once, on regions of their own and on one region shared
// at distinct offsets: every reply reaches its own operation.
TEST_F(RedisOnly, BatchedRepliesReachTheirOwnOperations) {
    constexpr int kThreads = 8;
    std::vector<mb_client_ctx*> cs;
    std::vector<mb_store_handle> hs;
    for (int t = 0; t < kThreads; ++t) {
        cs.push_back(connect(0));
        hs.push_back(open(t < 4 ? ("own" + std::to_string(t)).c_str() : "shared", 1 + t % 2, 2, 1 << 20, 4096, cs[t]));
    }
    Deadline limit(30000);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            for (int round = 0; round < 12 && !limit.passed(); ++round) {
                std::vector<Write> ws;  // equal lengths across threads, distinct bytes
                for (int j = 0; j < 2 + (round + t) % 3; ++j)
                    ws.push_back({hs[t], pattern(900 + 1000 * j, t * 64 + round * 4 + j), ub8(t) * 65536 + ub8(j) * 8192, {}});
                submitAndWait(cs[t], ws);
                for (Write& w : ws) {
                    EXPECT_EQ(outcome(w), MB_ERR_NONE) << errorText(outcome(w));
                    std::vector<char> got(w.data.size());
                    EXPECT_EQ(io(false, hs[t], got.data(), got.size(), w.off, cs[t]), MB_ERR_NONE);
                    EXPECT_EQ(got, w.data) << "thread " << t << " round " << round;
                }
            }
        });
    }
    for (auto& t : ts) t.join();
}

// One batch (submitted from one thread, run by one mb_wait) where a write
// meets a deleted region and another a chunk key of the wrong type: those
// two fail alone, the others (two-copy ones too) succeed and read back.
TEST_F(RedisOnly, AFailureInABatchFailsOnlyItsOwnOperation) {
    RedisServers& rs = RedisServers::get();
    mb_store_handle a = open("a", 2, 2), gone = open("gone"), b = open("b"), bad = open("bad"), c = open("c", 2, 2);
    std::string gen;
    ASSERT_TRUE(rs.command(0, "HGET t:{bad}:m gen", &gen));
    ASSERT_TRUE(rs.command(0, ("LPUSH t:{bad}:g" + gen + ":c0 x").c_str()));
    // Blocks written before: writes to them in the batch share one region check.
    auto before = pattern(8000, 9);
    ASSERT_EQ(io(true, gone, before.data(), 600, 0), MB_ERR_NONE);
    ASSERT_EQ(io(true, b, before.data(), before.size(), 4000), MB_ERR_NONE);
    Rqs rqs;
    mb_admin_delete_store(&rqs, client_, "gone", 1);
    ASSERT_EQ(rqs.status, MB_SUCC);
    std::vector<Write> ws{{a, pattern(5000, 1), 100, {}},   {gone, pattern(300, 2), 0, {}},
                          {b, pattern(3000, 3), 4000, {}},  {gone, pattern(200, 6), 200, {}},
                          {b, pattern(1000, 7), 9000, {}},  {bad, pattern(300, 4), 0, {}},
                          {c, pattern(3000, 5), 0, {}}};
    submitAndWait(client_, ws);
    const mb_error want[] = {MB_ERR_NONE, MB_ERR_STOREDELETED, MB_ERR_NONE, MB_ERR_STOREDELETED,
                             MB_ERR_NONE, MB_ERR_OTHER,        MB_ERR_NONE};
    for (size_t i = 0; i < ws.size(); ++i) EXPECT_EQ(outcome(ws[i]), want[i]) << i;
    EXPECT_NE(errorText(MB_ERR_OTHER).find("WRONGTYPE"), std::string::npos) << errorText(MB_ERR_OTHER);
    for (size_t i : {0, 2, 4, 6}) expectContent(ws[i].h, ws[i].data, ws[i].off);
}

// Out of memory for one big write: the small writes queued before it in its
// batch, two-copy ones too, succeed.
TEST_F(RedisOnly, AnOutOfMemoryWriteFailsAloneInItsBatch) {
    RedisServers& rs = RedisServers::get();
    mb_store_handle a = open("a", 2, 2), b = open("b"), big = open("big", 1, 1, 8 << 20);
    std::vector<Write> ws{{a, pattern(5000, 1), 0, {}}, {b, pattern(5000, 2), 0, {}}, {big, pattern(4 << 20, 3), 0, {}}};
    ASSERT_TRUE(rs.command(0, "CONFIG SET maxmemory 3mb"));
    submitAndWait(client_, ws);
    ASSERT_TRUE(rs.command(0, "CONFIG SET maxmemory 0"));
    EXPECT_EQ(outcome(ws[2]), MB_ERR_NOMEM);
    EXPECT_NE(errorText(MB_ERR_NOMEM).find("out of memory"), std::string::npos);
    for (size_t i : {0, 1}) {
        EXPECT_EQ(outcome(ws[i]), MB_ERR_NONE) << i << ": " << errorText(outcome(ws[i]));
        expectContent(ws[i].h, ws[i].data, 0);
    }
}

// A WAIT that falls short fails every write it covers; a one-copy write of
// the same batch asks for no copy and succeeds.
TEST_F(RedisOnly, AWaitShortfallFailsEveryWriteItCovers) {
    mb_store_handle p = open("p", 2, 2), q = open("q", 2, 2), one = open("one", 1, 1);
    std::vector<Write> ws{{p, pattern(100, 1), 0, {}}, {one, pattern(100, 2), 0, {}}, {q, pattern(5000, 3), 0, {}},
                          {p, pattern(100, 4), 8192, {}}};
    RedisServers::get().signal(1, SIGSTOP);  // the replica stops acknowledging
    submitAndWait(client_, ws);
    RedisServers::get().signal(1, SIGCONT);
    for (size_t i = 0; i < ws.size(); ++i) EXPECT_EQ(outcome(ws[i]), i == 1 ? MB_ERR_NONE : MB_ERR_TIMEDOUT) << i;
    EXPECT_NE(errorText(MB_ERR_TIMEDOUT).find("reached 0 of 1 replicas"), std::string::npos);
    expectContent(one, ws[1].data, 0);
}

TEST_F(RedisOnly, KeysOfOnePrefixAndNameAreTheirOwn) {
    RedisServers& rs = RedisServers::get();
    // A key that prefix "t:{a}:" would give region "b" under the old layout:
    // a region "a}:{b" under prefix "t:" must neither find nor list it.
    ASSERT_TRUE(rs.command(0, "HSET t:{a}:{b}:m gen 1 bs 4096 size 4096"));
    Rqs rqs;
    mb_store_handle h = mb_openstore(&rqs, client_, "a}:{b", 1, 1, MB_OPEN_CREATE | MB_OPEN_EXCLUSIVE | MB_OPEN_READWRITE, 4096, 4096);
    ASSERT_NE(h, 0u) << rqs.error << " " << mb_get_error_message(&rqs);
    auto data = pattern(100, 9);
    ASSERT_EQ(io(true, h, data.data(), data.size(), 0), MB_ERR_NONE);
    expectContent(h, data, 0);
    std::vector<std::string> listed;
    for (auto& s : regions()) listed.push_back(s.name);
    EXPECT_EQ(listed, std::vector<std::string>{"a}:{b"});
    std::string type;
    ASSERT_TRUE(rs.command(0, "TYPE t:{a%%7D:%%7Bb}:m", &type));
    EXPECT_EQ(type, "hash");
    // A prefix holding braces cannot be told apart from a name: refused.
    EXPECT_EQ(initWith(RedisServers::get().config("key-prefix t:{a}:\n")), MB_ERR_CFGREAD);
    EXPECT_NE(errorText(MB_ERR_CFGREAD).find("key-prefix may not hold"), std::string::npos);
}

TEST_F(RedisOnly, CredentialsMissingWrongOrOfAnAclUser) {
    RedisServers& rs = RedisServers::get();
    std::string at = "127.0.0.1:" + std::to_string(rs.port[0]);
    EXPECT_EQ(initWith("backend redis\nprimary 127.0.0.1 " + std::to_string(rs.port[0]) + "\n"), MB_ERR_AUTH);
    EXPECT_NE(errorText(MB_ERR_AUTH).find("authentication to Redis server " + at), std::string::npos)
        << errorText(MB_ERR_AUTH);
    ::setenv("MB_TEST_WRONG_PASSWORD", "not-the-password", 1);
    EXPECT_EQ(initWith("backend redis\npassword-env MB_TEST_WRONG_PASSWORD\nprimary 127.0.0.1 " +
                       std::to_string(rs.port[0]) + "\n"), MB_ERR_AUTH);
    EXPECT_NE(errorText(MB_ERR_AUTH).find(at), std::string::npos);
    ASSERT_TRUE(rs.command(0, "ACL SETUSER mbapp on >app-Pw ~t:* +@all"));
    ::setenv("MB_TEST_APP_PASSWORD", "app-Pw", 1);
    freshCluster();
    TempFile f("backend redis\nuser mbapp\npassword-env MB_TEST_APP_PASSWORD\nkey-prefix t:\nprimary 127.0.0.1 " +
               std::to_string(rs.port[0]) + "\n");
    mb_init_args a = makeArgs(0, f.path());
    Rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    ASSERT_NE(c, nullptr) << mb_get_error_message(&rqs);
    EXPECT_NE(mb_openstore(&rqs, c, "acl", 1, 1, MB_OPEN_CREATE, 4096, 4096), 0u) << mb_get_error_message(&rqs);
    rs.command(0, "ACL DELUSER mbapp");
}

// Server code gone from the primary (flushed, or a server that never had
// it) is loaded again by the first call that misses it; no region suffers.
TEST_F(RedisOnly, FlushedServerCodeComesBackAndTheRegionStaysWhole) {
    RedisServers& rs = RedisServers::get();
    mb_store_handle h = open("kept", 1, 1, 1 << 20);
    std::vector<char> all;
    auto block = [](int i) { return pattern(4096, i); };
    int n = 0;
    auto writeNext = [&] {
        auto b = block(n);
        ASSERT_EQ(io(true, h, b.data(), b.size(), ub8(n) * 4096), MB_ERR_NONE) << errorText(MB_ERR_STOREDELETED);
        all.insert(all.end(), b.begin(), b.end());
        ++n;
    };
    for (int i = 0; i < 4; ++i) writeNext();
    ASSERT_TRUE(rs.command(0, "SCRIPT FLUSH"));
    ASSERT_TRUE(rs.command(0, "FUNCTION FLUSH"));
    // Time stamps go at most once a second: write until one found the code
    // missing and put it back, rewriting the first block on the way.
    ASSERT_TRUE(waitFor([&] {
        writeNext();
        auto b = block(0);
        EXPECT_EQ(io(true, h, b.data(), b.size(), 0), MB_ERR_NONE);
        return n >= 200 || rs.command(0, "FCALL mbstore_2_mark 1 x y 0 0");
    }, 5000));
    ASSERT_LT(n, 200);
    expectContent(h, all, 0);
    ASSERT_TRUE(rs.command(0, "FUNCTION FLUSH"));
    EXPECT_EQ(info(h).used, ub8(n) * 4096);  // describing needs no server code
    ASSERT_TRUE(rs.command(0, "FUNCTION FLUSH"));
    Rqs rqs;
    mb_closestore(&rqs, client_, h, 0);
    mb_admin_delete_store(&rqs, client_, "kept", 0);
    EXPECT_EQ(rqs.status, MB_SUCC) << mb_get_error_message(&rqs);
    std::string size;
    rs.command(0, "DBSIZE", &size);
    EXPECT_EQ(size, "0");
}

// A primary demoted under an open handle (roles swapped by hand, so the
// old primary keeps the client's connections): the first write, and the
// lease renewal of a read, meet READONLY and follow the Sentinel's word to
// the new primary. The Sentinel here is a stand-in that names server 1.
TEST_F(RedisOnly, ADemotedPrimaryIsLeftForTheOneTheSentinelNames) {
    RedisServers& rs = RedisServers::get();
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sa;
    ASSERT_TRUE(::bind(ls, reinterpret_cast<sockaddr*>(&sa), sl) == 0 && ::listen(ls, 8) == 0 &&
                ::getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &sl) == 0);
    std::string port1 = std::to_string(rs.port[1]);
    std::string answer = "*2\r\n$9\r\n127.0.0.1\r\n$" + std::to_string(port1.size()) + "\r\n" + port1 + "\r\n";
    struct Sentinel {
        int ls;
        std::thread t;
        ~Sentinel() {
            ::shutdown(ls, SHUT_RDWR);
            ::close(ls);
            t.join();
            RedisServers::get().signal(0, SIGKILL);  // the next test starts the servers anew
            RedisServers::get().signal(1, SIGKILL);
        }
    } sentinel{ls, std::thread([ls, answer] {
        for (int conn; (conn = ::accept(ls, nullptr, nullptr)) >= 0; ::close(conn)) {
            char buf[4096];
            if (::read(conn, buf, sizeof buf) > 0 && ::write(conn, answer.data(), answer.size())) {
            }
        }
    })};
    freshCluster();
    TempFile f(rs.config("lease-seconds 1\nmaster-name m\nsentinel 127.0.0.1 " + std::to_string(ntohs(sa.sin_port)) + "\n"));
    mb_init_args a = makeArgs(0, f.path());
    Rqs rqs;
    client_ = mb_init(&rqs, &a);
    ASSERT_NE(client_, nullptr) << mb_get_error_message(&rqs);
    mb_store_handle h = open("moving", 1, 1, 1 << 20);
    auto data = pattern(8192, 5);
    ASSERT_EQ(io(true, h, data.data(), 4096, 0), MB_ERR_NONE);
    ASSERT_TRUE(rs.command(1, "REPLICAOF NO ONE"));
    ASSERT_TRUE(rs.command(0, ("REPLICAOF 127.0.0.1 " + port1).c_str()));
    EXPECT_EQ(io(true, h, data.data() + 4096, 4096, 4096), MB_ERR_NONE) << errorText(MB_ERR_DDEAD);
    // Reads are served by either server; the lease they renew must reach the
    // primary, so the handle stays open there.
    ASSERT_TRUE(rs.command(0, "CONFIG SET replica-read-only yes"));
    EXPECT_TRUE(waitFor([&] {
        expectContent(h, data, 0);
        std::string live;
        rs.command(1, ("ZCOUNT t:{moving}:o " + std::to_string(::time(nullptr) * 1000 + 800) + " +inf").c_str(), &live);
        return live == "1";
    }, 3000));
}

TEST_F(RedisOnly, ShutdownFlagsAndThePrimaryCrashEvent) {
    mb_store_handle h = open("s");
    char c = 's';
    ASSERT_EQ(io(true, h, &c, 1, 0), MB_ERR_NONE);
    Rqs rqs;
    mb_admin_attach_daemon(&rqs, client_, 1);
    mb_admin_shutdown_daemon(&rqs, client_, 0);
    EXPECT_EQ(rqs.error, MB_ERR_STOREOPEN);
    mb_admin_shutdown_daemon(&rqs, client_, MB_SHUTDOWN_FORCE);
    EXPECT_EQ(rqs.status, MB_SUCC);
    EXPECT_EQ(daemonList()[1].status, MB_DAEMON_DOWN);
    mb_admin_attach_daemon(&rqs, client_, 1);
    EXPECT_EQ(rqs.error, MB_ERR_DDEAD);
    ASSERT_TRUE(waitFor([] {
        std::string info;
        RedisServers::get().command(0, "INFO replication", &info);
        return info.find("connected_slaves:0") != std::string::npos;
    }, 5000));
    mb_admin_attach_daemon(&rqs, client_, 0);
    mb_admin_shutdown_daemon(&rqs, client_, MB_SHUTDOWN_SAFE | MB_SHUTDOWN_FORCE);
    EXPECT_EQ(rqs.error, MB_ERR_SHUT_DLAST);  // the primary holds the last copy
    ASSERT_EQ(event(1, 1, "s"), MB_SUCC);
    EXPECT_EQ(io(true, h, &c, 1, 1), MB_ERR_DDEAD);  // the primary went down at the write
    EXPECT_EQ(daemonList()[0].status, MB_DAEMON_DOWN);
}

// The bridge describes a region after every write that grows it: right
// after a write the answer comes without a round trip, and never says less
// than the write made.
TEST_F(RedisOnly, ADescribeRightAfterAWriteAsksTheServerNothing) {
    RedisServers& rs = RedisServers::get();
    auto hgetalls = [&] {
        std::string stats;
        rs.command(0, "INFO commandstats", &stats);
        size_t at = stats.find("cmdstat_hgetall:calls=");
        return at == std::string::npos ? 0 : std::atoll(stats.c_str() + at + 22);
    };
    mb_store_handle h = open("grow", 1, 1, 1 << 20);
    auto data = pattern(4096, 2);
    int checked = 0;  // rounds quick enough for the answer to come from the write
    for (ub8 i = 1; i <= 20 && checked < 3; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        info(h);  // a full describe, the base of the next one
        ASSERT_EQ(io(true, h, data.data(), 4096, i * 4096), MB_ERR_NONE);
        long long before = hgetalls();
        EXPECT_EQ(info(h).used, (i + 1) * 4096);
        if (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(800)) {
            EXPECT_EQ(hgetalls(), before) << "round " << i;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 3);
}

// ---- the Redis protocol writer ------------------------------------------------------

TEST(Protocol, CommandsAreWrittenByteExactAndLargeDataGoesOutInPlace) {
    struct Pieces {
        std::vector<std::pair<const char*, std::string>> got;
        bool refuse = false;
    } sink;
    mbstandin::RespWriter w(
        [](void* to, const char* p, size_t n) {
            auto* s = static_cast<Pieces*>(to);
            s->got.emplace_back(p, std::string(p, n));
            return !s->refuse;
        },
        &sink);
    const std::string base = "k:c";
    w.cmd("SET", mbstandin::RespWriter::KeyNum{base, 12}, uint64_t{0}, "");
    std::string big(mbstandin::RespWriter::kDirectBytes, 'x');
    big[5] = '\0';
    big[6] = '\r';
    w.cmd("SETRANGE", "k", uint64_t{18446744073709551615u}, mbstandin::RespWriter::Bytes{big.data(), big.size()});
    w.cmd("PING");
    w.flush();
    ASSERT_EQ(sink.got.size(), 3u);
    EXPECT_EQ(sink.got[0].second, "*4\r\n$3\r\nSET\r\n$5\r\nk:c12\r\n$1\r\n0\r\n$0\r\n\r\n"
                                  "*4\r\n$8\r\nSETRANGE\r\n$1\r\nk\r\n$20\r\n18446744073709551615\r\n$16384\r\n");
    EXPECT_EQ(sink.got[1].first, big.data());  // handed over where it lies, not copied
    EXPECT_EQ(sink.got[1].second, big);
    EXPECT_EQ(sink.got[2].second, "\r\n*1\r\n$4\r\nPING\r\n");
    std::string small(mbstandin::RespWriter::kDirectBytes - 1, 'y');
    w.cmd("ECHO", mbstandin::RespWriter::Bytes{small.data(), small.size()});
    sink.refuse = true;
    w.flush();
    EXPECT_EQ(sink.got.back().second, "*2\r\n$4\r\nECHO\r\n$16383\r\n" + small + "\r\n");
    EXPECT_TRUE(w.failed());
}

// ---- tracing ----------------------------------------------------------------------------

using Tracing = ClientTest;

TEST_F(Tracing, TraceLinesFollowTheLevelAndStayOnTheCallingThread) {
    TraceSink sink;
    mb_callbacks cb{};
    cb.trace = TraceSink::trace;
    cb.tracecbctx = &sink;
    mb_init_args quiet = makeArgs(0), loud = makeArgs(0);
    quiet.ccb = loud.ccb = &cb;
    loud.trace_level = 5;
    Rqs rqs;
    open("tq", 1, 1, 1 << 20, 4096, mb_init(&rqs, &quiet));
    EXPECT_TRUE(sink.lines.empty());
    mb_client_ctx* l = nullptr;
    std::thread t([&] {
        Rqs r;
        l = mb_init(&r, &loud);
    });
    t.join();
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_NE(sink.threads[0], std::this_thread::get_id());
    size_t before = sink.lines.size();
    mb_store_handle h = open("tl", 1, 1, 1 << 20, 4096, l);
    char c = 0;
    ASSERT_EQ(io(true, h, &c, 1, 0, l), MB_ERR_NONE);
    EXPECT_GE(sink.lines.size(), before + 2);
    for (size_t i = before; i < sink.lines.size(); ++i) EXPECT_EQ(sink.threads[i], std::this_thread::get_id());
    EXPECT_NE(sink.lines[before].find("mb_openstore name=tl"), std::string::npos);
}

}  // namespace
