/*
 * foundation_config.cpp - see foundation_config.h.
 */
#include "foundation_config.h"

#include <cstddef>
#include <cstring>

#include "fileio_mirrorbank.h"
#include "jvm_harness.h"

namespace {
// name, debug, verbose, instrumentation, traceLevel, callbacks
const LoadExpectation kExpectations[] = {
    {"off", false, false, false, -1, true},
    // debug=true, verbose=yes
    {"debug", true, false, false, -1, true},
    // verbose=TRUE, debug=" true"
    {"verbose", false, true, false, -1, true},
    // debug=True, verbose=tRUE, tracelevel=3
    {"both", true, true, false, 3, true},
    // instrumentation=true, tracelevel=abc
    {"instrumentation", false, false, true, 0, true},
    // tracelevel=" 7x", instrumentation=1
    {"tracelevel", false, false, false, 7, true},
    // every property on, but no NativeCallbacks class
    {"no_callbacks", false, false, false, -1, false},
};

AfterLoad g_afterLoad;
}  // namespace

const LoadExpectation* loadExpectation() {
    static const LoadExpectation* found = [] {
        auto name = jvmh::getProperty("bridgetest.config");
        if (!name) return static_cast<const LoadExpectation*>(nullptr);
        for (const auto& e : kExpectations) {
            if (*name == e.name) return &e;
        }
        return static_cast<const LoadExpectation*>(nullptr);
    }();
    return found;
}

const AfterLoad& afterLoad() { return g_afterLoad; }

std::string freeProblem(const mirrorbank_ctx& ctx) {
    if (ctx.fileDescriptor != -1) return "fileDescriptor is " + std::to_string(ctx.fileDescriptor);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&ctx);
    const size_t fdAt = offsetof(mirrorbank_ctx, fileDescriptor);
    for (size_t i = 0; i < sizeof ctx; ++i) {
        if (i >= fdAt && i < fdAt + sizeof ctx.fileDescriptor) continue;
        if (bytes[i] != 0) return "byte " + std::to_string(i) + " is " + std::to_string(bytes[i]);
    }
    return "";
}

void recordAfterLoad() {
    g_afterLoad.debugWarned = debugWarned;
    g_afterLoad.verboseWarned = verboseWarned;
    for (int i = 0; i < MIRRORBANK_MAX_CONTEXTS; ++i) {
        std::string p = freeProblem(replicatedContextArray[i]);
        if (!p.empty()) {
            g_afterLoad.tableProblem = "context " + std::to_string(i) + ": " + p;
            break;
        }
    }
}
