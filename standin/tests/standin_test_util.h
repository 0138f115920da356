// Helpers shared by the stand-in's test suites.
#ifndef MIRRORBANK_STANDIN_TEST_UTIL_H
#define MIRRORBANK_STANDIN_TEST_UTIL_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mirrorbank_api.h"
#include "mirrorbank_testctl.h"

namespace standin_test {

// Brings the process back to a fresh, empty cluster. This is the one place
// where the contract suite depends on the implementation under test.
inline void freshCluster() { mbt_reset(); }

// Bounds long randomized loops in time as well as in rounds, so that a
// slow machine, or a fault that slows every round, cannot run on for long.
class Deadline {
public:
    explicit Deadline(int ms) : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    bool passed() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

// Bytes that differ with their place and with seed.
inline std::vector<char> pattern(size_t n, int seed) {
    std::vector<char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(i * 13 + seed);
    return v;
}

struct Rqs : mb_rqs {
    Rqs() {
        status = static_cast<mb_status>(0);
        error = MB_ERR_NONE;
    }
};

inline mb_init_args makeArgs(ub4 localindex = 0, const char* cfg = "") {
    mb_init_args a;
    std::memset(&a, 0, sizeof a);
    a.localindex = localindex;
    std::snprintf(a.cfg_filename, sizeof a.cfg_filename, "%s", cfg);
    return a;
}

// Trace sink collecting lines and the threads they arrived on.
struct TraceSink {
    std::vector<std::string> lines;
    std::vector<std::thread::id> threads;
    static size_t trace(void* ctx, const char* fmt, ...) {
        auto* self = static_cast<TraceSink*>(ctx);
        char buf[8192];
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        self->lines.emplace_back(buf);
        self->threads.push_back(std::this_thread::get_id());
        return n < 0 ? 0 : static_cast<size_t>(n);
    }
};

// Counts notifications of one operation record (through cookie).
struct NotifyLog {
    int runs = 0;
    mb_status status = static_cast<mb_status>(0);
    mb_error error = MB_ERR_NONE;
    std::thread::id thread;
};

inline boolean countingNcb(mb_client_opargs* op) {
    auto* log = reinterpret_cast<NotifyLog*>(static_cast<uintptr_t>(op->cookie));
    log->runs++;
    log->status = op->status;
    log->error = op->error;
    log->thread = std::this_thread::get_id();
    return 1;
}

inline mb_client_opargs makeOp(bool write, ub4 handle, void* buf, ub8 length, ub8 offset, NotifyLog* log) {
    mb_client_opargs op;
    std::memset(&op, 0, sizeof op);
    op.flags = write ? 1 : 0;
    op.buffer = buf;
    op.length = length;
    op.offset = offset;
    op.storehandle = handle;
    op.cookie = static_cast<ub8>(reinterpret_cast<uintptr_t>(log));
    op.ncb = countingNcb;
    return op;
}

// A fixture with one connection on local daemon 0.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        freshCluster();
        args_ = makeArgs(0, cfg_.c_str());
        Rqs rqs;
        client_ = mb_init(&rqs, &args_);
        ASSERT_NE(client_, nullptr);
        ASSERT_EQ(rqs.status, MB_SUCC);
    }
    void TearDown() override { freshCluster(); }

    mb_store_handle open(const char* name, int32_t minc = 1, int32_t maxc = 2, ub8 size = 1 << 20,
                         ub4 blocksize = 4096, mb_client_ctx* client = nullptr) {
        Rqs rqs;
        mb_store_handle h = mb_openstore(&rqs, client ? client : client_, name, minc, maxc, 6, size, blocksize);
        EXPECT_EQ(rqs.status, MB_SUCC) << "open " << name << " error " << rqs.error;
        EXPECT_NE(h, 0u);
        return h;
    }

    // Submits and drives one operation to completion; answers the error
    // (MB_ERR_NONE on success), whether refused or notified.
    mb_error io(bool write, mb_store_handle h, void* buf, ub8 len, ub8 off, mb_client_ctx* client = nullptr) {
        mb_client_ctx* c = client ? client : client_;
        NotifyLog log;
        mb_client_opargs op = makeOp(write, h, buf, len, off, &log);
        Rqs rqs;
        if (write)
            mb_write(&rqs, c, &op);
        else
            mb_read(&rqs, c, &op);
        if (rqs.status == MB_FAIL) return rqs.error == MB_ERR_NONE ? MB_ERR_OTHER : rqs.error;
        if (rqs.status == MB_SUCC) return op.error;
        EXPECT_EQ(rqs.status, MB_INPROG);
        for (int i = 0; i < 4 && log.runs == 0; ++i) {
            Rqs w;
            mb_wait(&w, c, 0, 0);
            EXPECT_EQ(w.status, MB_SUCC);
        }
        EXPECT_EQ(log.runs, 1);
        return log.status == MB_SUCC ? MB_ERR_NONE : log.error;
    }

    // Runs body in a child process with a connection of its own; its exit code.
    int child(const std::function<int(mb_client_ctx*)>& body) {
        pid_t pid = ::fork();
        if (pid == 0) {
            mbt_reset();  // the parent's connections are not this process's
            mb_init_args a = makeArgs(0, cfg_.c_str());
            Rqs rqs;
            mb_client_ctx* c = mb_init(&rqs, &a);
            ::_exit(c ? body(c) : 99);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    mb_client_storeinfo info(mb_store_handle h, mb_client_ctx* client = nullptr) {
        mb_client_storeinfo si;
        std::memset(&si, 0, sizeof si);
        si.storehandle = h;
        Rqs rqs;
        mb_get_storeinfo(&rqs, client ? client : client_, &si);
        EXPECT_EQ(rqs.status, MB_SUCC);
        return si;
    }

    std::string cfg_;  // configuration file of the connections ("" for the embedded cluster)
    mb_init_args args_;
    mb_client_ctx* client_ = nullptr;
};

inline std::vector<mb_client_storeinfo>* storesOf(void* cookie) {
    return static_cast<std::vector<mb_client_storeinfo>*>(cookie);
}
inline void collectStore(void* cookie, mb_client_storeinfo* info) { storesOf(cookie)->push_back(*info); }
inline void collectDaemon(void* cookie, mb_daemon_info* info) {
    static_cast<std::vector<mb_daemon_info>*>(cookie)->push_back(*info);
}

// Writes a configuration file in a private temporary place.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char tmpl[] = "/tmp/mbstandin-cfg-XXXXXX";
        int fd = ::mkstemp(tmpl);
        path_ = tmpl;
        if (fd >= 0) {
            ssize_t w = ::write(fd, text.data(), text.size());
            (void)w;
            ::close(fd);
        }
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

}  // namespace standin_test

#endif
