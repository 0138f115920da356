// Benchmark of the Redis backend under many threads (not a test): 1, 4 and 8
// threads, each with its own connection and its own region, as the bridge
// has one connection per open file; 4 KiB appends (each followed by
// mb_get_storeinfo, as the bridge asks for the new length after every write
// that grows the file), overwrites and reads, one operation in flight per
// thread, submitted with mb_write / mb_read and completed in mb_wait
// (asynchronous mode). Beside each row, in turns with it, the server's
// pipelined ceiling for as many clients:
//   redis-benchmark -t set -d 4096 -c THREADS -P 16
// on the same primary, its replica attached.
//
//   standin_redis_threads --config FILE --port PRIMARY_PORT [--password-env VAR] [--quick]
//                         [--threads 1,4,8] [--turns N] [--turn-ms MS] [--no-storeinfo] [--depth N]
//
// --no-storeinfo leaves out the mb_get_storeinfo after each append (to see
// what it costs; the bridge always asks). --depth N keeps N overwrites in
// flight per thread (submitted together, completed in one mb_wait loop), to
// offer the library as many requests at once as the ceiling's -P 16 does;
// the bridge itself has one in flight per open file.
//
// With --baseline FILE the second subject is the backend again, on the
// servers FILE names, instead of redis-benchmark: the same rows, ours on
// --config beside ours on FILE, and the ratio config / baseline (bench/run.sh
// --backend redis-cluster: a cluster, the threads' regions spread over its
// shards, beside one primary).
//
//   standin_redis_threads --config FILE --baseline FILE [--shards N] [--password-env VAR] [--quick]
//                         [--threads 1,4,8] [--turns N] [--turn-ms MS] [--no-storeinfo]
//
// --shards N puts the threads' regions on the first N primaries of the
// cluster only (1: all on one shard, as on one primary).
//
// Run by bench/run.sh --backend redis, which starts the servers.
#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_op.h"
#include "bench_servers.h"
#include "bench_subject.h"
#include "mirrorbank_api.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kLen = 4096;
constexpr uint64_t kWindow = 16u << 20;       // overwrites and reads walk this much of a region
constexpr uint64_t kRegionSize = 1ull << 30;  // appends start at 0 in a fresh region per row
constexpr ub4 kOpenFlags = 6;                 // create, read-write
// What the bridge passes to mb_wait by default (SleepWaitMilliSeconds,
// BusyWaitMicroSeconds).
constexpr ub4 kWaitMs = 10, kBusyUs = 0;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "standin_redis_threads: %s\n", what.c_str());
    std::exit(1);
}

bool bridgeOp(mb_client_ctx* c, mb_store_handle h, bool write, uint64_t off, unsigned char* buf, long* done) {
    return benchop::runOp(c, h, write, off, buf, kLen, done, kWaitMs, kBusyUs);
}

struct Worker {
    mb_client_ctx* c = nullptr;
    mb_store_handle h = 0;
    std::string region;
    uint64_t end = 0;  // appends: the region's length so far
    uint64_t pos = 0;  // overwrites and reads: next position in the window
    long done = 0;
    std::vector<unsigned char> buf = std::vector<unsigned char>(kLen);
};

enum class Kind { Append, Overwrite, Read };
bool gStoreinfo = true;  // after every append, as the bridge does

int gDepth = 1;  // overwrites in flight per thread (--depth)

// gDepth overwrites submitted at once through the asynchronous contract
// (each answers MB_INPROG), then completed together in mb_wait: what a
// caller with several writes in flight offers the library.
bool burst(Worker& w) {
    thread_local std::vector<mb_client_opargs> ops;
    ops.assign(static_cast<size_t>(gDepth), mb_client_opargs{});
    const long before = w.done;
    long inflight = 0;
    for (auto& op : ops) {
        op.flags = MB_OP_WRITE;
        op.buffer = w.buf.data();
        op.length = kLen;
        op.offset = w.pos;
        op.storehandle = w.h;
        op.cookie = reinterpret_cast<uintptr_t>(&w.done);
        op.ncb = benchop::countNotification;
        w.pos = (w.pos + kLen) % kWindow;
        mb_rqs rqs;
        for (int tries = 0;; ++tries) {
            mb_write(&rqs, w.c, &op);
            if (rqs.status == MB_SUCC || rqs.status == MB_INPROG) break;
            if (rqs.status == MB_FAIL || tries > 1000) return false;
            mb_rqs wr;
            mb_wait(&wr, w.c, kWaitMs, kBusyUs);
        }
        inflight += rqs.status == MB_INPROG;
    }
    while (w.done - before < inflight) {
        mb_rqs rqs;
        mb_wait(&rqs, w.c, kWaitMs, kBusyUs);
        if (rqs.status == MB_FAIL) return false;
    }
    for (const auto& op : ops) {
        if (op.status != MB_SUCC) return false;
    }
    return true;
}

// One step of the row on worker w; how many operations it made (0: failed).
int step(Worker& w, Kind kind) {
    if (kind == Kind::Overwrite && gDepth > 1) return burst(w) ? gDepth : 0;
    if (kind == Kind::Append) {
        if (w.end + kLen > kRegionSize) w.end = 0;  // never reached in a run of seconds
        if (!bridgeOp(w.c, w.h, true, w.end, w.buf.data(), &w.done)) return 0;
        w.end += kLen;
        if (!gStoreinfo) return 1;
        mb_client_storeinfo info;
        std::memset(&info, 0, sizeof info);
        info.storehandle = w.h;
        mb_rqs rqs;
        mb_get_storeinfo(&rqs, w.c, &info);
        return rqs.status == MB_SUCC && info.used >= w.end;
    }
    bool ok = bridgeOp(w.c, w.h, kind == Kind::Overwrite, w.pos, w.buf.data(), &w.done);
    w.pos = (w.pos + kLen) % kWindow;
    return ok;
}

// All workers run the row for ms milliseconds; operations per second of all.
double runOurs(std::vector<Worker>& ws, Kind kind, int ms) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false}, failed{false};
    std::vector<long> counts(ws.size());
    Clock::time_point end;
    std::vector<std::thread> ts;
    for (size_t i = 0; i < ws.size(); ++i) {
        ts.emplace_back([&, i] {
            ready.fetch_add(1);
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            long n = 0;
            while (Clock::now() < end) {
                int made = step(ws[i], kind);
                if (made == 0) {
                    failed = true;
                    break;
                }
                n += made;
            }
            counts[i] = n;
        });
    }
    while (ready.load() < static_cast<int>(ws.size())) std::this_thread::yield();
    auto t0 = Clock::now();
    end = t0 + std::chrono::milliseconds(ms);
    go.store(true, std::memory_order_release);
    for (auto& t : ts) t.join();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (failed) die("an operation failed");
    long total = 0;
    for (long n : counts) total += n;
    return total / secs;
}

// redis-benchmark's requests per second for n SETs of 4 KiB from `clients`
// connections, `pipeline` in flight on each.
double runCeiling(int port, const char* password, int clients, int pipeline, long n) {
    std::string cmd = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(port) + " -t set -d 4096 -c " +
                      std::to_string(clients) + " -P " + std::to_string(pipeline) + " -n " + std::to_string(n) + " -q";
    if (password) cmd += " --no-auth-warning -a '" + std::string(password) + "'";
    cmd += " 2>&1";
    std::string out;
    for (int attempt = 0; attempt < 3; ++attempt) {  // it gives up now and then ("All clients disconnected")
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) die("cannot run redis-benchmark");
        out.clear();
        char b[4096];
        size_t k;
        while ((k = std::fread(b, 1, sizeof b, p)) > 0) out.append(b, k);
        int rc = pclose(p);
        // The last line: "SET: 123456.78 requests per second, p50=..."
        size_t at = out.rfind(" requests per second");
        size_t from = at == std::string::npos ? at : out.rfind("SET: ", at);
        if (rc == 0 && from != std::string::npos) return std::atof(out.c_str() + from + 5);
    }
    die("redis-benchmark said: " + out);
}

void settle(redisContext* raw) {  // the replica has everything before the next turn
    if (auto* r = static_cast<redisReply*>(redisCommand(raw, "WAIT 1 10000"))) freeReplyObject(r);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Kind kindNamed(const std::string& s) {
    return s == "append" ? Kind::Append : s == "overwrite" ? Kind::Overwrite : Kind::Read;
}

// Writes the window of every worker's region in full, all workers at once.
void fillWindows(std::vector<Worker>& ws) {
    std::atomic<bool> failed{false};
    std::vector<std::thread> ts;
    for (auto& w : ws)
        ts.emplace_back([&w, &failed] {
            for (uint64_t off = 0; off < kWindow && !failed; off += kLen)
                if (!bridgeOp(w.c, w.h, true, off, w.buf.data(), &w.done)) failed = true;
        });
    for (auto& t : ts) t.join();
    if (failed) die("cannot fill the regions");
}

// --baseline: one configuration's side, in a process of its own (the
// library holds one backend per process). Commands, one a line:
//   threads N                 N connections, one per worker (the previous ones ended)
//   open COPIES KIND NAME...  worker t opens (creates) region NAME t; for overwrites
//                             and reads its window is written in full first
//   run KIND MS               one turn of all workers; answers their rate (op/s)
//   close                     closes and deletes the regions
//   quit                      ends the connections
std::function<std::string(const std::string&)> subjectServer(const std::string& config) {
    struct State {
        std::string config;
        mb_init_args args;  // the library keeps it by pointer
        mb_client_ctx* admin = nullptr;
        std::vector<Worker> ws;
    };
    auto st = std::make_shared<State>();
    st->config = config;
    return benchsub::lineServer(st, [](State& s, const std::string& cmd, std::istringstream& words) -> std::string {
        mb_rqs rqs;
        if (!s.admin) {
            s.admin = benchsub::connectWith(s.config, &s.args, kWaitMs, kBusyUs);
        }
        if (cmd == "threads") {
            int n = 0;
            words >> n;
            for (auto& w : s.ws) mb_fini(&rqs, w.c);
            s.ws = std::vector<Worker>(n);
            for (auto& w : s.ws) {
                w.c = mb_init(&rqs, &s.args);
                if (!w.c) die(s.config + ": cannot connect: " + mb_get_error_message(&rqs));
                for (size_t i = 0; i < kLen; ++i) w.buf[i] = static_cast<unsigned char>(i * 31 + 7);
            }
            return "ok";
        }
        if (cmd == "open") {
            int copies = 1;
            std::string kind;
            words >> copies >> kind;
            for (auto& w : s.ws) {
                words >> w.region;
                w.h = mb_openstore(&rqs, w.c, w.region.c_str(), copies, 2, kOpenFlags, kRegionSize, 4096);
                if (!w.h) die(s.config + ": cannot open " + w.region + ": " + mb_get_error_message(&rqs));
                w.end = w.pos = 0;
            }
            if (kindNamed(kind) != Kind::Append) fillWindows(s.ws);
            return "ok";
        }
        if (cmd == "run") {
            std::string kind;
            int ms = 0;
            words >> kind >> ms;
            return std::to_string(runOurs(s.ws, kindNamed(kind), ms));
        }
        if (cmd == "close") {
            for (auto& w : s.ws) {
                mb_closestore(&rqs, w.c, w.h, 0);
                mb_admin_delete_store(&rqs, s.admin, w.region.c_str(), 1);
            }
            return "ok";
        }
        if (cmd == "quit") {
            for (auto& w : s.ws) mb_fini(&rqs, w.c);
            s.ws.clear();
            mb_fini(&rqs, s.admin);
            s.admin = nullptr;
            return "ok";
        }
        die("unknown command " + cmd);
    });
}

// --baseline: every row on the servers of `config` beside the same row on
// those of `baseline`, each side in its own process, in turns (who goes
// first alternating), every primary of both settled before each turn; the
// ratio config / baseline is the median of the turns' ratios. On a cluster
// worker t's region is named so that its hash slot falls on primary
// t mod (number of primaries): the threads' regions are spread over the
// shards (--shards N: over the first N only); the baseline gets the same
// names.
int runBaseline(const std::string& config, const std::string& baseline, const char* password,
                const std::vector<int>& threadCounts, int turns, int ms, size_t shards) {
    benchsub::Subject pa(config, subjectServer(config)), pb(baseline, subjectServer(baseline));
    benchsrv::Servers sa, sb;
    benchsrv::load(sa, config, password);
    benchsrv::load(sb, baseline, password);
    auto backendOf = [](const benchsrv::Servers& s) { return s.backend.empty() ? std::string("embedded") : s.backend; };
    std::string a = backendOf(sa), b = backendOf(sb);
    std::printf("\n%s: %zu primaries beside %s: %zu; %d turns of %d ms per subject and row; each thread its own "
                "connection and region\n",
                a.c_str(), sa.primaries.size(), b.c_str(), sb.primaries.size(), turns, ms);
    std::printf("%-8s %-32s %14s %14s %7s\n", "threads", "row (4 KiB)", (a + " op/s").c_str(),
                (b + " op/s").c_str(), "ratio");
    struct Row {
        const char* kind;
        int copies;
        const char* name;
    };
    const Row rows[] = {{"append", 1, gStoreinfo ? "append + storeinfo, 1 copy" : "append, 1 copy"},
                        {"append", 2, gStoreinfo ? "append + storeinfo, 2 copies" : "append, 2 copies"},
                        {"overwrite", 1, "overwrite, 1 copy"},
                        {"overwrite", 2, "overwrite, 2 copies"},
                        {"read", 1, "read, 1 copy"}};
    int serial = 0;
    for (int nthreads : threadCounts) {
        pa.ask("threads " + std::to_string(nthreads));
        pb.ask("threads " + std::to_string(nthreads));
        bool shown = false;
        for (const Row& row : rows) {
            ++serial;
            std::string open = "open " + std::to_string(row.copies) + " " + row.kind;
            std::vector<int> perPrimary(sa.primaries.size());
            for (int t = 0; t < nthreads; ++t) {
                std::string base = "bench-threads-" + std::to_string(serial) + "-" + std::to_string(t), name = base;
                size_t want = t % std::min(shards, sa.primaries.size());
                for (int k = 0; sa.primaryOf(benchsrv::regionSlot(name)) != want; ++k)
                    name = base + "-" + std::to_string(k);
                ++perPrimary[want];
                open += " " + name;
            }
            pa.ask(open);
            pb.ask(open);
            if (!shown && sa.primaries.size() > 1) {
                shown = true;
                std::string counts, keys;
                std::vector<long long> held = sa.keyCounts();
                for (size_t i = 0; i < perPrimary.size(); ++i) {
                    counts += (i ? "/" : "") + std::to_string(perPrimary[i]);
                    keys += (i ? "/" : "") + std::to_string(held[i]);
                }
                std::printf("%-8d (%s: regions per primary %s by their slots; keys per primary now %s)\n", nthreads,
                            a.c_str(), counts.c_str(), keys.c_str());
            }
            std::vector<double> ra, rb, ratios;
            std::string run = std::string("run ") + row.kind + " " + std::to_string(ms);
            for (int r = 0; r < turns; ++r) {
                double x[2];
                for (int turn = 0; turn < 2; ++turn) {
                    int k = turn ^ (r & 1);
                    sa.settle();
                    sb.settle();
                    x[k] = (k == 0 ? pa : pb).askRate(run);
                }
                ra.push_back(x[0]);
                rb.push_back(x[1]);
                ratios.push_back(x[0] / x[1]);
            }
            pa.ask("close");
            pb.ask("close");
            std::printf("%-8d %-32s %14.0f %14.0f %7.3f\n", nthreads, row.name, median(ra), median(rb),
                        median(ratios));
            std::fflush(stdout);
        }
    }
    pa.ask("quit");
    pb.ask("quit");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config, baseline, passwordVar;
    int port = 0, turns = 5, ms = 1000;
    size_t shards = SIZE_MAX;
    std::vector<int> threadCounts{1, 4, 8};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--config" && i + 1 < argc) config = argv[++i];
        else if (a == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
        else if (a == "--baseline" && i + 1 < argc) baseline = argv[++i];
        else if (a == "--shards" && i + 1 < argc) shards = std::max(1, std::atoi(argv[++i]));
        else if (a == "--password-env" && i + 1 < argc) passwordVar = argv[++i];
        else if (a == "--quick") turns = 3, ms = 400;
        else if (a == "--no-storeinfo") gStoreinfo = false;
        else if (a == "--depth" && i + 1 < argc) gDepth = std::max(1, std::atoi(argv[++i]));
        else if (a == "--turns" && i + 1 < argc) turns = std::max(1, std::atoi(argv[++i]));
        else if (a == "--turn-ms" && i + 1 < argc) ms = std::max(50, std::atoi(argv[++i]));
        else if (a == "--threads" && i + 1 < argc) {
            threadCounts.clear();
            for (const char* s = argv[++i]; *s;) {
                threadCounts.push_back(std::max(1, std::atoi(s)));
                while (*s && *s != ',') ++s;
                if (*s) ++s;
            }
        } else {
            std::fprintf(stderr,
                         "usage: %s --config FILE (--port PORT | --baseline FILE [--shards N]) [--password-env VAR] [--quick] "
                         "[--threads 1,4,8] [--turns N] [--turn-ms MS] [--no-storeinfo]\n",
                         argv[0]);
            return 2;
        }
    }
    const char* password = passwordVar.empty() ? nullptr : std::getenv(passwordVar.c_str());
    if (!baseline.empty()) return runBaseline(config, baseline, password, threadCounts, turns, ms, shards);
    mb_init_args args;  // one for every connection: the library keeps it by pointer
    std::memset(&args, 0, sizeof args);
    std::snprintf(args.cfg_filename, sizeof args.cfg_filename, "%s", config.c_str());
    args.timeout = kWaitMs;
    args.busywait = kBusyUs;
    mb_rqs rqs;
    mb_client_ctx* admin = mb_init(&rqs, &args);
    if (!admin) die(std::string("cannot connect: ") + mb_get_error_message(&rqs));
    redisContext* raw = redisConnect("127.0.0.1", port);
    if (!raw || raw->err) die("raw connection failed");
    if (password)
        if (void* r = redisCommand(raw, "AUTH %s", password)) freeReplyObject(r);

    std::printf("\n%d thread counts, %d turns of %d ms per subject and row; ceiling: redis-benchmark -t set -d 4096 "
                "-c THREADS -P 16; same in flight: ... -P 1 (one request in flight per connection, as ours)\n",
                static_cast<int>(threadCounts.size()), turns, ms);
    std::printf("%-8s %-32s %12s %12s %7s %12s %7s\n", "threads", "row (4 KiB)", "ours op/s", "ceiling", "ratio",
                "-P 1", "ratio");
    int serial = 0;
    for (int nthreads : threadCounts) {
        std::vector<Worker> ws(nthreads);
        for (auto& w : ws) {  // one connection per open region, as the bridge has one per open file
            w.c = mb_init(&rqs, &args);
            if (!w.c) die(std::string("cannot connect: ") + mb_get_error_message(&rqs));
            for (size_t i = 0; i < kLen; ++i) w.buf[i] = static_cast<unsigned char>(i * 31 + 7);
        }
        struct Row {
            Kind kind;
            int copies;
            const char* name;
        };
        const Row rows[] = {{Kind::Append, 1, gStoreinfo ? "append + storeinfo, 1 copy" : "append, 1 copy"},
                            {Kind::Append, 2, gStoreinfo ? "append + storeinfo, 2 copies" : "append, 2 copies"},
                            {Kind::Overwrite, 1, "overwrite, 1 copy"},
                            {Kind::Overwrite, 2, "overwrite, 2 copies"},
                            {Kind::Read, 1, "read, 1 copy"}};
        double lastCeiling = 0, lastSame = 0;
        for (const Row& row : rows) {
            // Regions made before timing; overwrites and reads walk a window written in full first.
            ++serial;
            for (int t = 0; t < nthreads; ++t) {
                Worker& w = ws[t];
                w.region = "bench-threads-" + std::to_string(serial) + "-" + std::to_string(t);
                w.h = mb_openstore(&rqs, w.c, w.region.c_str(), row.copies, 2, kOpenFlags, kRegionSize, 4096);
                if (!w.h) die("cannot open " + w.region + ": " + mb_get_error_message(&rqs));
                w.end = w.pos = 0;
                if (row.kind != Kind::Append)
                    for (uint64_t off = 0; off < kWindow; off += kLen)
                        if (!bridgeOp(w.c, w.h, true, off, w.buf.data(), &w.done)) die("cannot fill " + w.region);
            }
            std::vector<double> ours, ceiling, ratios, same, sameRatios;
            for (int r = 0; r < turns; ++r) {
                double o = 0, c = 0, p1 = 0;
                for (int turn = 0; turn < 3; ++turn) {
                    settle(raw);
                    int who = (turn + r) % 3;  // who goes first rotates
                    if (who == 0) {
                        o = runOurs(ws, row.kind, ms);
                    } else {
                        // Sized from the last figure seen to take about ms.
                        double& last = who == 1 ? lastCeiling : lastSame;
                        double guess = last > 0 ? last : 20000.0 * nthreads;
                        long n = std::max(2000L, static_cast<long>(guess * ms / 1000.0));
                        (who == 1 ? c : p1) = last = runCeiling(port, password, nthreads, who == 1 ? 16 : 1, n);
                    }
                }
                ours.push_back(o);
                ceiling.push_back(c);
                ratios.push_back(o / c);
                same.push_back(p1);
                sameRatios.push_back(o / p1);
            }
            std::printf("%-8d %-32s %12.0f %12.0f %7.3f %12.0f %7.3f\n", nthreads, row.name, median(ours),
                        median(ceiling), median(ratios), median(same), median(sameRatios));
            std::fflush(stdout);
            for (auto& w : ws) {  // the region goes, so that the servers do not keep every row's appends
                mb_closestore(&rqs, w.c, w.h, 0);
                mb_admin_delete_store(&rqs, admin, w.region.c_str(), 1);
            }
        }
        for (auto& w : ws) mb_fini(&rqs, w.c);
    }
    mb_fini(&rqs, admin);
    redisFree(raw);
    return 0;
}
