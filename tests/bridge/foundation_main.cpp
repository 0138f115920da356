/*
 * foundation_main.cpp - starts the JVM, loads the bridge, records the state
 * the load left, then runs the foundation tests.
 */
#include <cstdio>

#include "foundation_config.h"
#include "jvm_harness.h"

int main(int argc, char** argv) {
    std::vector<std::string> opts = jvmh::takeJvmOptions(&argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    jvmh::startJvm(opts);
    if (!jvmh::loadBridge()) return 2;
    recordAfterLoad();
    if (loadExpectation() == nullptr) {
        std::fprintf(stderr, "foundation tests: run with --jvm-opt=-Dbridgetest.config=<name> (see CMakeLists.txt)\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
