/*
 * context_exception_tests.cpp - the text of contextual I/O exceptions:
 * prefix pieces, the cut, texts carried verbatim, the single log copy and
 * the fallbacks.
 */
#include "io_support.h"

using namespace iot;
using jvmh::takeException;

namespace {

struct NamedContext {
    mirrorbank_ctx ctx;
    explicit NamedContext(const std::string& name) {
        clearCtx(&ctx);
        std::strncpy(ctx.storeInfo.name, name.c_str(), sizeof ctx.storeInfo.name - 1);
    }
};

}  // namespace

// Raises through the bridge with the harness's environment and takes what
// Java sees.
#define RAISE_IO(ctx, rqs, ...) \
    (contextIOExceptionImpl(jvmh::env(), "fileio_mirrorbank", 1802, ctx, rqs, __VA_ARGS__), takeException())

class ContextException : public IoTest {
protected:
    // The log copies of one raised message: how many lines on each channel
    // end with it.
    static std::pair<int, int> copies(const std::string& message) {
        int d = 0, v = 0;
        for (const auto& l : jvmh::sink::lines("debug")) d += body(l) == message;
        for (const auto& l : jvmh::sink::lines("verbose")) v += body(l) == message;
        return {d, v};
    }

    static void expectOneCopy(const std::string& message) {
        auto c = copies(message);
        EXPECT_EQ((!verboseOn() && debugOn()) ? 1 : 0, c.first) << "debug copies";
        EXPECT_EQ(verboseOn() ? 1 : 0, c.second) << "verbose copies";
    }
};

TEST_F(ContextException, PiecesFollowWhatIsGiven) {
    NamedContext named("r1");
    NamedContext unnamed("");
    mb_rqs rqs{MB_FAIL, MB_ERR_CANCEL};

    auto ex = RAISE_IO(&named.ctx, &rqs, "fileio_mb_close mb_closestore failed.");
    ASSERT_TRUE(ex.present);
    EXPECT_EQ("java.io.IOException", ex.cls);
    const std::string full = "fileio_mirrorbank:1802: (Storename=r1 ) (status=2 error=10 Detail: " +
                             errorText(2, 10) + " )fileio_mb_close mb_closestore failed.";
    EXPECT_EQ(full, ex.msg);
    expectOneCopy(full);

    ex = RAISE_IO(&unnamed.ctx, &rqs, "no name %d", 7);
    EXPECT_EQ("fileio_mirrorbank:1802: (status=2 error=10 Detail: " + errorText(2, 10) + " )no name 7", ex.msg);

    ex = RAISE_IO(&named.ctx, nullptr, "no record");
    EXPECT_EQ("fileio_mirrorbank:1802: (Storename=r1 ) no record", ex.msg);

    ex = RAISE_IO(nullptr, nullptr, "bare %s", "body");
    EXPECT_EQ("fileio_mirrorbank:1802: bare body", ex.msg);
    expectOneCopy("fileio_mirrorbank:1802: bare body");
}

TEST_F(ContextException, LongMessagesAreCutAt4094Characters) {
    NamedContext named("r1");
    mb_rqs rqs{MB_FAIL, MB_ERR_OTHER};
    std::string longBody(6000, 'x');
    auto ex = RAISE_IO(&named.ctx, &rqs, "%s", longBody.c_str());
    ASSERT_TRUE(ex.present);
    ASSERT_EQ(4094u, ex.msg.size());
    std::string prefix = "fileio_mirrorbank:1802: (Storename=r1 ) (status=2 error=8 Detail: " + errorText(2, 8) + " )";
    EXPECT_EQ(prefix, ex.msg.substr(0, prefix.size()));
    EXPECT_EQ(std::string(4094 - prefix.size(), 'x'), ex.msg.substr(prefix.size()));

    // A message that just fits is not cut.
    std::string fits(4094 - std::string("fileio_mirrorbank:1802: ").size(), 'y');
    ex = RAISE_IO(nullptr, nullptr, "%s", fits.c_str());
    EXPECT_EQ(4094u, ex.msg.size());
    EXPECT_EQ('y', ex.msg.back());
}

TEST_F(ContextException, PercentSignsInNameAndLibraryTextAreCarriedUnchanged) {
    NamedContext named("disk%s%n%d");
    mbt_set_error_message(MB_ERR_OTHER, "library says %s and %n 100%");
    mb_rqs rqs{MB_FAIL, MB_ERR_OTHER};
    auto ex = RAISE_IO(&named.ctx, &rqs, "body %d%%", 5);
    mbt_set_error_message(MB_ERR_OTHER, nullptr);
    const std::string expected =
        "fileio_mirrorbank:1802: (Storename=disk%s%n%d ) (status=2 error=8 Detail: library says %s and %n 100% )body 5%";
    EXPECT_EQ(expected, ex.msg);
    expectOneCopy(expected);
}

TEST_F(ContextException, EmptyBodyAndMissingEnvironment) {
    // An empty body: with both channels off the prefix alone is raised;
    // with a channel on nothing is raised and standard error says why.
    jvmh::PendingException ex;
    std::string err = jvmh::captureStderr([&] { ex = RAISE_IO(nullptr, nullptr, "%s", ""); });
    if (anyLogOn()) {
        EXPECT_FALSE(ex.present) << jvmh::describe(ex);
        EXPECT_NE(std::string::npos, err.find("contextIOException could not vlist? attempt was fileio_mirrorbank:1802  %s\n"))
            << err;
    } else {
        ASSERT_TRUE(ex.present);
        EXPECT_EQ("fileio_mirrorbank:1802: ", ex.msg);
        EXPECT_EQ("", err);
    }

    // No environment: nothing can be raised; one line when a channel is on.
    err = jvmh::captureStderr(
        [&] { contextIOExceptionImpl(nullptr, "fileio_mirrorbank", 77, nullptr, nullptr, "lost %d", 1); });
    EXPECT_FALSE(jvmh::env()->ExceptionCheck());
    if (anyLogOn())
        EXPECT_EQ("fileio_mirrorbank:77 attempt for IO Exception thrown from native code without JNI : lost %d", err);
    else
        EXPECT_EQ("", err);
}

TEST_F(ContextException, ExceptionsOfTheFileDeviceCarryTheRegionName) {
    // Through a real operation: the store name, the status and the error of
    // the failed call, then the operation's text.
    jlong h = openOk("named-region", 1);
    mbt_force("mb_get_local_daemon_info", 1, MB_FAIL, MB_ERR_DDEAD);
    EXPECT_EQ(-1, nat::getDeviceLimit(h));
    auto ex = takeException();
    expectIO(ex, storePieces("named-region", std::make_pair(2, MB_ERR_DDEAD)),
             "fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed");
    // The log line about the failure came after the exception and the
    // exception stayed the one Java sees.
    expectLogged("verbose",
                 "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit return error due to error getting "
                 "memory limit");
    closeOk(h);
}
