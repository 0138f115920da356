// Per-call cost driver for the data path (not a test): runs one kind of
// operation in a loop inside measured(), so that an instruction counter
// restricted to that function gives the cost of one operation, e.g.
//
//   valgrind --tool=callgrind --toggle-collect=measured standin_call_cost write-inline 10000
//
// and divide the total by the count. Kinds: write-inline, read-inline,
// write-async, read-async (each submission followed by its mb_wait), fence.
// A 1 MiB region is written in full first, so every touched block exists.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mirrorbank_api.h"
#include "mirrorbank_testctl.h"

namespace {

boolean countNcb(mb_client_opargs* op) {
    ++*reinterpret_cast<long*>(static_cast<uintptr_t>(op->cookie));
    return 1;
}

constexpr ub8 kWindow = 1u << 20;
constexpr ub8 kLen = 4096;

enum Kind { WriteOp, ReadOp, FenceOp };

}  // namespace

namespace {

long loop(mb_client_ctx* c, mb_store_handle h, Kind kind, int count, unsigned char* buf) {
    long done = 0;
    mb_client_opargs op;
    mb_rqs rqs;
    for (int i = 0; i < count; ++i) {
        std::memset(&op, 0, sizeof op);
        op.buffer = buf;
        op.length = kLen;
        op.offset = (static_cast<ub8>(i) * kLen) % kWindow;
        op.storehandle = h;
        op.cookie = reinterpret_cast<uintptr_t>(&done);
        op.ncb = countNcb;
        if (kind == WriteOp)
            mb_write(&rqs, c, &op);
        else if (kind == ReadOp)
            mb_read(&rqs, c, &op);
        else
            mb_read_fence(&rqs, c, &op);
        if (rqs.status == MB_INPROG) mb_wait(&rqs, c, 0, 0);
        else if (rqs.status != MB_SUCC) return -1;
    }
    return done;
}

}  // namespace

// Not static and not inlined: the counter toggles on this symbol, so only
// the measured loop counts, not the fill and warm-up before it.
extern "C" __attribute__((noinline)) long measured(mb_client_ctx* c, mb_store_handle h, Kind kind, int count,
                                                   unsigned char* buf) {
    return loop(c, h, kind, count, buf);
}

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "write-inline";
    int count = argc > 2 ? std::atoi(argv[2]) : 10000;
    Kind kind = what.rfind("write", 0) == 0 ? WriteOp : what.rfind("read", 0) == 0 ? ReadOp : FenceOp;
    bool inlineMode = what.find("inline") != std::string::npos || kind == FenceOp;

    mb_init_args a;
    std::memset(&a, 0, sizeof a);
    mb_rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, &a);
    mb_store_handle h = c ? mb_openstore(&rqs, c, "callcost", 1, 1, 6, kWindow, 4096) : 0;
    if (!h) {
        std::fprintf(stderr, "open failed: %d\n", rqs.error);
        return 1;
    }
    std::vector<unsigned char> buf(kLen + 64, 7);
    unsigned char* b = buf.data() + 1;
    mbt_set_inline_completion(inlineMode ? 1 : 0);
    // Fill the region, then warm the path up outside the measured call.
    if (loop(c, h, WriteOp, static_cast<int>(kWindow / kLen), b) < 0) return 1;
    if (loop(c, h, kind, 64, b) < 0) return 1;
    long r = measured(c, h, kind, count, b);
    if (r < 0) {
        std::fprintf(stderr, "%s failed\n", what.c_str());
        return 1;
    }
    std::printf("%s: %d operations, %ld notifications\n", what.c_str(), count, r);
    mb_fini(&rqs, c);
    return 0;
}
