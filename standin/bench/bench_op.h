// bench_op.h - one block operation through the client-library calls, as the
// bridge makes it: submit, then complete it in mb_wait when the library
// answers MB_INPROG. Shared by the benchmark drivers.
#ifndef MIRRORBANK_STANDIN_BENCH_OP_H
#define MIRRORBANK_STANDIN_BENCH_OP_H

#include <cstdint>
#include <cstring>

#include "mirrorbank_api.h"

namespace benchop {

inline boolean countNotification(mb_client_opargs* op) {
    ++*reinterpret_cast<long*>(static_cast<uintptr_t>(op->cookie));
    return 1;
}

// Runs one read or write of [offset, offset + length) as the bridge does:
// submits (again after an mb_wait while the library answers neither
// accepted nor refused), then waits until the notification has run on this
// thread; true when it succeeded (*done counts notifications).
inline bool runOp(mb_client_ctx* c, mb_store_handle h, bool write, ub8 offset, void* buf, ub8 length, long* done,
                  ub4 waitMs, ub4 busyUs = 0) {
    mb_client_opargs op;
    std::memset(&op, 0, sizeof op);
    op.flags = write ? MB_OP_WRITE : MB_OP_READ;
    op.buffer = buf;
    op.length = length;
    op.offset = offset;
    op.storehandle = h;
    op.cookie = reinterpret_cast<uintptr_t>(done);
    op.ncb = countNotification;
    const long before = *done;
    mb_rqs rqs;
    for (int tries = 0;; ++tries) {
        if (write)
            mb_write(&rqs, c, &op);
        else
            mb_read(&rqs, c, &op);
        if (rqs.status == MB_SUCC) return true;  // completed inline
        if (rqs.status == MB_INPROG) break;
        if (rqs.status == MB_FAIL || tries > 1000) return false;
        mb_rqs w;
        mb_wait(&w, c, waitMs, busyUs);
    }
    while (*done == before && op.status != MB_SUCC) {
        mb_wait(&rqs, c, waitMs, busyUs);
        if (rqs.status == MB_FAIL) return false;
    }
    return op.status == MB_SUCC;
}

}  // namespace benchop

#endif
