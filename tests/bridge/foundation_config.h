/*
 * foundation_config.h - what each JVM configuration of the foundation tests
 * must produce at load. CMake names the configuration with
 * -Dbridgetest.config=<name> beside its properties.
 */
#ifndef FOUNDATION_CONFIG_H
#define FOUNDATION_CONFIG_H

#include <string>

struct LoadExpectation {
    const char* name;
    bool debug;            // debug channel on
    bool verbose;          // verbose channel on
    bool instrumentation;  // fault injection master switch
    int traceLevel;        // client-library trace level as read
    bool callbacks;        // NativeCallbacks on the class path
};

// The expectation of the running configuration; null when the process was
// started without a known -Dbridgetest.config.
const LoadExpectation* loadExpectation();

// What the bridge state looked like right after System.load, before any
// test ran (recorded by main()).
struct AfterLoad {
    std::string tableProblem;  // empty when all 10000 contexts were Free
    bool debugWarned;
    bool verboseWarned;
};
const AfterLoad& afterLoad();
void recordAfterLoad();

// "" when the context is Free (fileDescriptor -1, every other byte zero),
// else a description of the first difference.
struct mirrorbank_ctx;
std::string freeProblem(const mirrorbank_ctx& ctx);

#endif  // FOUNDATION_CONFIG_H
