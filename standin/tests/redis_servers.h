// Redis servers for the contract suite: a primary and one replica started
// from PATH on free loopback ports, with a password, no persistence, killed
// with the test process (they get SIGKILL when it ends, even by a crash).
#ifndef MIRRORBANK_STANDIN_REDIS_SERVERS_H
#define MIRRORBANK_STANDIN_REDIS_SERVERS_H

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace standin_test {

inline bool waitFor(const std::function<bool()>& ready, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class RedisServers {
public:
    static constexpr const char* kPasswordVar = "MB_TEST_REDIS_PASSWORD";
    static constexpr const char* kPassword = "t0p-secret-Pw";

    static RedisServers& get() {
        static auto* s = new RedisServers();  // the servers die with the process
        return *s;
    }

    // A configuration for these servers with the given extra lines.
    std::string config(const std::string& extra = "") const {
        return "backend redis   # the test servers\nprimary 127.0.0.1 " + std::to_string(port[0]) +
               "\nreplica 127.0.0.1 " + std::to_string(port[1]) + "\npassword-env " + kPasswordVar +
               "\nkey-prefix t:\nmemory 1G\nconnect-timeout-ms 500\ncommand-timeout-ms 2000\n" + extra;
    }

    // Empty servers, both up and replicating.
    void fresh() {
        if (!alive(0) || !alive(1) || !command(0, "FLUSHALL")) start();
        command(0, "CONFIG SET maxmemory 0");
    }

    // One command on server i; true when it answered without an error.
    bool command(int i, const char* cmd, std::string* out = nullptr) const {
        redisContext* c = redisConnect("127.0.0.1", port[i]);
        redisReply* r = nullptr;
        if (c && !c->err) {
            if (void* a = redisCommand(c, "AUTH %s", kPassword)) freeReplyObject(a);
            r = static_cast<redisReply*>(redisCommand(c, cmd));
        }
        bool ok = r && r->type != REDIS_REPLY_ERROR;
        if (r && out) *out = r->str ? std::string(r->str, r->len) : std::to_string(r->integer);
        if (r) freeReplyObject(r);
        if (c) redisFree(c);
        return ok;
    }

    void signal(int i, int sig) const { ::kill(pid[i], sig); }
    bool alive(int i) const { return pid[i] > 0 && ::waitpid(pid[i], nullptr, WNOHANG) == 0; }

    static int freePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int p = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            p = ntohs(a.sin_port);
        ::close(fd);
        return p;
    }

    int port[2] = {0, 0};
    pid_t pid[2] = {0, 0};

private:
    RedisServers() {
        ::setenv(kPasswordVar, kPassword, 1);
        char tmpl[] = "/tmp/mbstandin-redis-XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
        start();
    }

    void start() {
        for (int i = 0; i < 2; ++i) {
            if (pid[i] > 0) {
                ::kill(pid[i], SIGKILL);
                ::waitpid(pid[i], nullptr, 0);
            }
            port[i] = freePort();
        }
        for (int i = 0; i < 2; ++i) {
            std::string p = std::to_string(port[i]), primary = std::to_string(port[0]);
            std::string log = dir_ + "/server" + std::to_string(i) + ".log";
            pid[i] = ::fork();
            if (pid[i] == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, 1);
                ::dup2(fd, 2);
                std::vector<const char*> argv{"redis-server", "--port", p.c_str(), "--bind", "127.0.0.1", "--save", "",
                                              "--appendonly", "no", "--dir", dir_.c_str(), "--repl-diskless-sync-delay",
                                              "0", "--requirepass", kPassword, "--masterauth", kPassword,
                                              i ? "--replicaof" : nullptr, "127.0.0.1", primary.c_str(), nullptr};
                ::execvp("redis-server", const_cast<char**>(argv.data()));
                ::_exit(127);
            }
        }
        bool up = waitFor([&] { return command(0, "PING") && command(1, "PING"); }, 10000) &&
                  waitFor([&] {
                      std::string info;
                      command(0, "INFO replication", &info);
                      return info.find("state=online") != std::string::npos;
                  }, 10000) &&
                  command(0, "SET t:started 1") && waitFor([&] {  // and acknowledging: WAIT falls short until then
                      std::string info;
                      command(0, "INFO replication", &info);
                      auto at = [&](const std::string& k) { size_t a = info.find(k) + k.size(); return info.substr(a, info.find_first_of(",\r\n", a) - a); };
                      return at("state=online,offset=") == at("master_repl_offset:");
                  }, 10000);
        if (!up) {
            std::fprintf(stderr, "redis test servers did not start (is redis-server on PATH?); see %s\n", dir_.c_str());
            std::abort();
        }
    }

    std::string dir_;
};

}  // namespace standin_test

#endif
