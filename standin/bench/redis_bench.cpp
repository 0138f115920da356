// Benchmark of the Redis backend (not a test): writes, reads and appends
// through the client-library calls beside raw hiredis doing the minimal
// commands for the same bytes on the same server (SETRANGE / GETRANGE per
// 1 MiB chunk, pipelined the same way, WAIT where ours waits).
//
//   standin_redis_bench --config FILE --port PRIMARY_PORT [--password-env VAR] [--quick]
//
// With --baseline FILE the second subject is the backend again, on the
// servers FILE names, instead of raw hiredis: the same rows, ours on --config
// beside ours on FILE, and the ratio config / baseline (bench/run.sh
// --backend redis-cluster: a cluster beside one primary).
//
//   standin_redis_bench --config FILE --baseline FILE [--password-env VAR] [--quick]
//
// Run by bench/run.sh --backend redis, which starts the servers.
#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_op.h"
#include "bench_servers.h"
#include "bench_subject.h"
#include "mirrorbank_api.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kChunk = 1u << 20;
constexpr uint64_t kWindow = 16u << 20;  // positions walk this much of a region

struct Ours {
    mb_client_ctx* c;
    mb_store_handle h;
    bool op(bool write, uint64_t off, unsigned char* buf, size_t len) {
        long done = 0;
        return benchop::runOp(c, h, write, off, buf, len, &done, 1000);
    }
};

struct Raw {
    redisContext* ctx;
    std::string key;
    int wait;  // replicas to WAIT for after a write, 0 for none
    bool op(bool write, uint64_t off, unsigned char* buf, size_t len) {
        int n = 0;
        for (uint64_t pos = off, end = off + len; pos < end; ++n) {
            uint64_t in = pos % kChunk, k = std::min(kChunk - in, end - pos);
            std::string name = key + std::to_string(pos / kChunk), at = std::to_string(in),
                        to = std::to_string(in + k - 1);
            const char* argv[4] = {write ? "SETRANGE" : "GETRANGE", name.c_str(), at.c_str(),
                                   write ? reinterpret_cast<const char*>(buf + (pos - off)) : to.c_str()};
            size_t lens[4] = {8, name.size(), at.size(), write ? static_cast<size_t>(k) : to.size()};
            redisAppendCommandArgv(ctx, 4, argv, lens);
            pos += k;
        }
        bool waits = write && wait > 0;  // in the same round trip, as ours
        if (waits) redisAppendCommand(ctx, "WAIT %d 5000", wait);
        bool ok = true;
        for (int i = 0; i < n + waits; ++i) {
            void* r = nullptr;
            if (redisGetReply(ctx, &r) != REDIS_OK) return false;
            auto* rep = static_cast<redisReply*>(r);
            if (!write && rep->type == REDIS_REPLY_STRING) std::memcpy(buf + i * kChunk, rep->str, rep->len);
            ok = ok && rep->type != REDIS_REPLY_ERROR && (i < n || rep->integer >= wait);
            freeReplyObject(rep);
        }
        return ok;
    }
};

struct Figures {
    double ours, raw, ratio;  // medians: rates, and ratio of the runs taken side by side
};

// Ours and raw, `runs` runs of `ms` each, taken in turns so that both see
// the same machine; the ratio is the median of the turns' ratios.
Figures compare(const std::function<bool(int)>& ours, const std::function<bool(int)>& raw,
                                  int runs, int ms) {
    std::vector<double> rates[2];
    for (int r = 0; r < runs; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            int k = turn ^ (r & 1);  // who goes first alternates: the first of a pair can fare differently
            const auto& op = k == 0 ? ours : raw;
            int n = 0;
            auto t0 = Clock::now(), end = t0 + std::chrono::milliseconds(ms);
            while (Clock::now() < end) {
                if (!op(n++)) {
                    std::fprintf(stderr, "%s operation failed\n", k == 0 ? "our" : "raw");
                    std::exit(1);
                }
            }
            rates[k].push_back(n / std::chrono::duration<double>(Clock::now() - t0).count());
        }
    }
    std::vector<double> ratios;
    for (int r = 0; r < runs; ++r) ratios.push_back(rates[0][r] / rates[1][r]);
    for (auto* v : {&rates[0], &rates[1], &ratios}) std::sort(v->begin(), v->end());
    return {rates[0][runs / 2], rates[1][runs / 2], ratios[runs / 2]};
}

// Lets the replica catch up, so that what one subject wrote does not slow
// the next one down.
void settle(redisContext* raw) {
    if (auto* r = static_cast<redisReply*>(redisCommand(raw, "WAIT 1 10000"))) freeReplyObject(r);
}

// The backend name a configuration file gives (its backend line).
std::string backendOf(const std::string& file) {
    std::ifstream in(file);
    std::string line, key, name = "embedded";
    while (std::getline(in, line)) {
        std::istringstream words(line);
        if (words >> key && key == "backend") words >> name;
    }
    return name;
}

// --baseline: one configuration's side, in a process of its own (the
// library holds one backend per process). Commands, one a line:
//   open NAME COPIES SIZE FILL_LEN   opens (creates) the region; FILL_LEN > 0
//                                    writes its window in full first
//   run write|read|append LEN MS     one turn; answers the rate (op/s)
//   close                            closes the region
//   quit                             ends the connection
std::function<std::string(const std::string&)> subjectServer(const std::string& config) {
    struct State {
        std::string config;
        mb_init_args args;  // the library keeps it by pointer
        mb_client_ctx* c = nullptr;
        Ours ours{nullptr, 0};
        uint64_t appendEnd = 0;
        std::vector<unsigned char> buf = std::vector<unsigned char>(kChunk);
    };
    auto st = std::make_shared<State>();
    st->config = config;
    return benchsub::lineServer(st, [](State& s, const std::string& cmd, std::istringstream& words) -> std::string {
        mb_rqs rqs;
        if (!s.c) {
            s.c = benchsub::connectWith(s.config, &s.args);
            for (size_t i = 0; i < s.buf.size(); ++i) s.buf[i] = static_cast<unsigned char>(i * 31 + 7);
        }
        if (cmd == "open") {
            std::string name;
            int copies = 1;
            uint64_t size = 0, fill = 0;
            words >> name >> copies >> size >> fill;
            s.ours = Ours{s.c, mb_openstore(&rqs, s.c, name.c_str(), copies, 2, 6, size, 4096)};
            if (!s.ours.h) {
                std::fprintf(stderr, "%s: cannot open %s: %s\n", s.config.c_str(), name.c_str(),
                             mb_get_error_message(&rqs));
                std::exit(1);
            }
            s.appendEnd = 0;
            for (uint64_t off = 0; fill > 0 && off < kWindow; off += fill)
                if (!s.ours.op(true, off, s.buf.data(), fill)) {
                    std::fprintf(stderr, "%s: cannot fill %s\n", s.config.c_str(), name.c_str());
                    std::exit(1);
                }
            return "ok";
        }
        if (cmd == "run") {
            std::string kind;
            uint64_t len = 0;
            int ms = 0;
            words >> kind >> len >> ms;
            bool append = kind == "append", write = kind != "read";
            long n = 0;
            auto t0 = Clock::now(), end = t0 + std::chrono::milliseconds(ms);
            while (Clock::now() < end) {
                uint64_t off = append ? (s.appendEnd += len) - len : (static_cast<uint64_t>(n) * len) % kWindow;
                if (!s.ours.op(write, off, s.buf.data(), len)) {
                    std::fprintf(stderr, "%s: %s operation failed\n", s.config.c_str(), kind.c_str());
                    std::exit(1);
                }
                ++n;
            }
            return std::to_string(n / std::chrono::duration<double>(Clock::now() - t0).count());
        }
        if (cmd == "close") {
            mb_closestore(&rqs, s.c, s.ours.h, 0);
            return "ok";
        }
        if (cmd == "quit") {
            mb_fini(&rqs, s.c);
            s.c = nullptr;
            return "ok";
        }
        std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
        std::exit(1);
    });
}

// --baseline: every row on the servers of `config` beside the same row on
// those of `baseline`, each in its own process, one turn each in turns
// (who goes first alternating); the ratio config / baseline is the median
// of the turns' ratios.
int runBaseline(const std::string& config, const std::string& baseline, const char* password, int runs, int ms) {
    benchsub::Subject pa(config, subjectServer(config)), pb(baseline, subjectServer(baseline));
    benchsrv::Servers sa, sb;
    benchsrv::load(sa, config, password);
    benchsrv::load(sb, baseline, password);
    std::string a = backendOf(config), b = backendOf(baseline);
    std::printf("%s: %zu primaries beside %s: %zu; %d runs of %d ms per subject and row, in turns\n", a.c_str(),
                sa.primaries.size(), b.c_str(), sb.primaries.size(), runs, ms);
    std::printf("%-24s %14s %14s %7s\n", "row", (a + " op/s").c_str(), (b + " op/s").c_str(), "ratio");  // medians
    auto row = [&](const char* what, uint64_t len, int copies, const std::string& name, uint64_t size,
                   uint64_t fill) {
        std::string open = "open " + name + " " + std::to_string(copies) + " " + std::to_string(size) + " " +
                           std::to_string(fill);
        pa.ask(open);
        pb.ask(open);
        std::vector<double> rates[2], ratios;
        std::string run = std::string("run ") + what + " " + std::to_string(len) + " " + std::to_string(ms);
        for (int r = 0; r < runs; ++r) {
            for (int turn = 0; turn < 2; ++turn) {
                int k = turn ^ (r & 1);
                sa.settle();
                sb.settle();
                rates[k].push_back((k == 0 ? pa : pb).askRate(run));
            }
            ratios.push_back(rates[0][r] / rates[1][r]);
        }
        for (auto* v : {&rates[0], &rates[1], &ratios}) std::sort(v->begin(), v->end());
        pa.ask("close");
        pb.ask("close");
        std::printf("%-6s %7llu B %d cop%-4s %14.0f %14.0f %7.2f\n", what, static_cast<unsigned long long>(len),
                    copies, copies == 1 ? "y" : "ies", rates[0][runs / 2], rates[1][runs / 2], ratios[runs / 2]);
        std::fflush(stdout);
    };
    for (int copies : {1, 2}) {
        for (uint64_t len : {uint64_t{4096}, uint64_t{65536}, uint64_t{1} << 20}) {
            std::string name = "bench-" + std::to_string(copies) + "-" + std::to_string(len);
            row("write", len, copies, name, kWindow, len);  // the window written in full first
            row("read", len, copies, name, kWindow, 0);
        }
        row("append", 4096, copies, "bench-append-" + std::to_string(copies), 1ull << 30, 0);
    }
    pa.ask("quit");
    pb.ask("quit");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config, baseline, passwordVar;
    int port = 0, runs = 31, ms = 60;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--config" && i + 1 < argc) config = argv[++i];
        else if (a == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
        else if (a == "--baseline" && i + 1 < argc) baseline = argv[++i];
        else if (a == "--password-env" && i + 1 < argc) passwordVar = argv[++i];
        else if (a == "--quick") runs = 11, ms = 30;
        else {
            std::fprintf(stderr, "usage: %s --config FILE (--port PORT | --baseline FILE) [--password-env VAR] [--quick]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!baseline.empty())
        return runBaseline(config, baseline, passwordVar.empty() ? nullptr : std::getenv(passwordVar.c_str()), runs,
                           ms);
    mb_init_args args;
    std::memset(&args, 0, sizeof args);
    std::snprintf(args.cfg_filename, sizeof args.cfg_filename, "%s", config.c_str());
    mb_rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &args);
    redisContext* raw = redisConnect("127.0.0.1", port);
    if (!c || !raw || raw->err) {
        std::fprintf(stderr, "cannot connect: %s\n", c ? "raw connection failed" : mb_get_error_message(&rqs));
        return 1;
    }
    if (const char* pw = passwordVar.empty() ? nullptr : std::getenv(passwordVar.c_str()))
        if (void* r = redisCommand(raw, "AUTH %s", pw)) freeReplyObject(r);
    std::vector<unsigned char> buf(kChunk);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 31 + 7);
    std::printf("%-24s %12s %12s %7s\n", "row", "ours op/s", "raw op/s", "ratio");  // medians
    for (int copies : {1, 2}) {
        for (size_t len : {size_t{4096}, size_t{65536}, size_t{1} << 20}) {
            std::string name = "bench-" + std::to_string(copies) + "-" + std::to_string(len);
            Ours ours{c, mb_openstore(&rqs, c, name.c_str(), copies, 2, 6, kWindow, 4096)};
            Raw r{raw, "raw:" + name + ":c", copies - 1};
            auto pos = [&](int i) { return (static_cast<uint64_t>(i) * len) % kWindow; };
            for (uint64_t off = 0; off < kWindow; off += len) {  // both fill their window first
                ours.op(true, off, buf.data(), len);
                r.op(true, off, buf.data(), len);
            }
            for (bool write : {true, false}) {
                settle(raw);
                Figures f = compare([&](int i) { return ours.op(write, pos(i), buf.data(), len); },
                                      [&](int i) { return r.op(write, pos(i), buf.data(), len); }, runs, ms);
                std::printf("%-5s %7zu B %d cop%-4s %12.0f %12.0f %7.2f\n", write ? "write" : "read", len, copies,
                            copies == 1 ? "y" : "ies", f.ours, f.raw, f.ratio);
            }
        }
        // Appends: each write ends past the region's used length.
        std::string name = "bench-append-" + std::to_string(copies);
        Ours ours{c, mb_openstore(&rqs, c, name.c_str(), copies, 2, 6, 1ull << 30, 4096)};
        Raw r{raw, "raw:" + name + ":c", copies - 1};
        uint64_t oursEnd = 0, rawEnd = 0;
        settle(raw);
        Figures f = compare([&](int) { oursEnd += 4096; return ours.op(true, oursEnd - 4096, buf.data(), 4096); },
                              [&](int) { rawEnd += 4096; return r.op(true, rawEnd - 4096, buf.data(), 4096); }, runs, ms);
        std::printf("%-5s %7d B %d cop%-4s %12.0f %12.0f %7.2f\n", "append", 4096, copies, copies == 1 ? "y" : "ies",
                    f.ours, f.raw, f.ratio);
    }
    mb_fini(&rqs, c);
    redisFree(raw);
    return 0;
}
