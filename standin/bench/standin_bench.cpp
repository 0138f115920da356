// Data-path benchmark of the stand-in (not a test): 4 KiB and 1 MiB writes
// and reads through the client-library calls, asynchronous and inline.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_op.h"
#include "mirrorbank_api.h"
#include "mirrorbank_testctl.h"

namespace {

using Clock = std::chrono::steady_clock;

double runOps(mb_client_ctx* c, mb_store_handle h, bool write, size_t len, int count, unsigned char* buf,
              ub8 window) {
    long done = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i)
        benchop::runOp(c, h, write, (static_cast<ub8>(i) * len) % window, buf, len, &done, 0);
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    return ns / count;
}

}  // namespace

int main() {
    mb_init_args a;
    std::memset(&a, 0, sizeof a);
    mb_rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    mb_store_handle h = mb_openstore(&rqs, c, "bench", 1, 2, 6, 1ull << 30, 4096);
    if (!h) {
        std::fprintf(stderr, "open failed: %d\n", rqs.error);
        return 1;
    }
    std::vector<unsigned char> buf((1 << 20) + 64, 7);
    for (int mode = 0; mode < 2; ++mode) {
        mbt_set_inline_completion(mode);
        const char* m = mode ? "inline" : "async";
        unsigned char* b = buf.data() + 1;
        for (ub8 window : {1ull << 20, 512ull << 20}) {  // cache-resident, then memory-bound
            runOps(c, h, true, 1 << 20, static_cast<int>(window >> 20), b, window);  // allocate the blocks
            std::printf("%-6s window %4lluMiB write 4KiB: %8.0f ns/op\n", m, static_cast<unsigned long long>(window >> 20),
                        runOps(c, h, true, 4096, 200000, b, window));
            std::printf("%-6s window %4lluMiB read  4KiB: %8.0f ns/op\n", m, static_cast<unsigned long long>(window >> 20),
                        runOps(c, h, false, 4096, 200000, b, window));
        }
        std::printf("%-6s write 1MiB: %8.0f ns/op\n", m, runOps(c, h, true, 1 << 20, 300, b, 512ull << 20));
        std::printf("%-6s read  1MiB: %8.0f ns/op\n", m, runOps(c, h, false, 1 << 20, 300, b, 512ull << 20));
    }
    mb_fini(&rqs, c);
    return 0;
}
