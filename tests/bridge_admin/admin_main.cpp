/*
 * admin_main.cpp - main() of the admin tests: the bridge is loaded through
 * tessera.bridgetest.admin.BridgeLoader rather than by the harness, so that
 * the native methods of ReplicatedStoreAdmin (an application class) resolve.
 */
#include <cstdio>
#include <string>
#include <vector>

#include "jvm_harness.h"

namespace {

bool loadThroughApplicationLoader() {
    JNIEnv* e = jvmh::env();
    jvmh::LocalFrame frame(e, 16);
    jclass loader = e->FindClass("tessera/bridgetest/admin/BridgeLoader");
    if (loader == nullptr) {
        std::fprintf(stderr, "admin tests: BridgeLoader not found: %s\n",
                     jvmh::describe(jvmh::takeException(e)).c_str());
        return false;
    }
    jmethodID load = e->GetStaticMethodID(loader, "load", "(Ljava/lang/String;)V");
    e->CallStaticVoidMethod(loader, load, jvmh::newStringUtf8(jvmh::bridgePath()));
    jvmh::PendingException ex = jvmh::takeException(e);
    if (ex) {
        std::fprintf(stderr, "admin tests: loading %s threw %s\n", jvmh::bridgePath().c_str(),
                     jvmh::describe(ex).c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> opts = jvmh::takeJvmOptions(&argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    jvmh::startJvm(opts);
    if (!loadThroughApplicationLoader()) return 2;
    int rc = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    return rc;
}
