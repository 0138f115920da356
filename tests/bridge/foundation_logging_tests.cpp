/*
 * foundation_logging_tests.cpp - property readers, the log function, the
 * channels, the trace sink, the console printer, and what they do while a
 * Java exception is pending or on threads other than the main one.
 *
 * Log calls here name the source file "f" and a fixed line, so the prefix
 * of a delivered line is known: "f:7: " is 5 characters.
 */
#include <cstdlib>
#include <regex>

#include "fileio_mirrorbank.h"
#include "foundation_config.h"
#include "jvm_harness.h"

namespace {

class PropertyReaders : public jvmh::JvmTest {};
class LogLine : public jvmh::JvmTest {};
class Channels : public jvmh::JvmTest {};
class TraceSink : public jvmh::JvmTest {};
class PendingJavaException : public jvmh::JvmTest {};
class NativeLogText : public jvmh::JvmTest {};
class ConsoleSwitch : public jvmh::JvmTest {};

const LoadExpectation& expectation() {
    const LoadExpectation* x = loadExpectation();
    if (x == nullptr) std::abort();  // main() refuses to run without one
    return *x;
}

// Skips the current test unless NativeCallbacks (and so the sink) is there.
#define REQUIRE_CALLBACKS()                                                           \
    do {                                                                              \
        if (!expectation().callbacks) GTEST_SKIP() << "NativeCallbacks not loaded"; \
    } while (0)
#define REQUIRE_VERBOSE(on)                                                                        \
    do {                                                                                           \
        if (nativeToJavaVerbose != (on)) GTEST_SKIP() << "verbose channel is not " << ((on) ? "on" : "off"); \
    } while (0)

void throwNew(const char* cls, const char* msg) {
    JNIEnv* e = jvmh::env();
    jclass c = e->FindClass(cls);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(e->ThrowNew(c, msg), 0);
}

const std::vector<std::string> kNone;

// ---------------------------------------------------------- properties

TEST_F(PropertyReaders, BooleanIsTrueOnlyForTheWordTrueInAnyCase) {
    JNIEnv* e = jvmh::env();
    const std::string name = "bridgetest.bool";
    const std::pair<const char*, bool> cases[] = {
        {"true", true},  {"TRUE", true},   {"tRuE", true},   {"yes", false}, {"1", false},
        {" true", false}, {"true ", false}, {"", false},     {"truex", false}, {"false", false},
    };
    for (const auto& c : cases) {
        jvmh::ScopedProperty p(name, std::string(c.first));
        EXPECT_EQ(readBooleanJavaSystemProperty(e, name.c_str()), c.second) << "value '" << c.first << "'";
    }
    jvmh::clearProperty(name);
    EXPECT_FALSE(readBooleanJavaSystemProperty(e, name.c_str())) << "absent";
}

TEST_F(PropertyReaders, IntParsesLikeAtoi) {
    JNIEnv* e = jvmh::env();
    const std::string name = "bridgetest.int";
    const std::pair<const char*, int> cases[] = {
        {"3", 3},        {" 7x", 7},    {"abc", 0},        {"", 0},           {"-12", -12},
        {"+5", 5},       {"\t\n 42", 42}, {"0x10", 0},     {"4294967297", 1}, {"-2147483649", 2147483647},
        {"2147483647", 2147483647},
    };
    for (const auto& c : cases) {
        jvmh::ScopedProperty p(name, std::string(c.first));
        EXPECT_EQ(readIntJavaSystemProperty(e, name.c_str()), c.second) << "value '" << c.first << "'";
    }
    jvmh::clearProperty(name);
    EXPECT_EQ(readIntJavaSystemProperty(e, name.c_str()), -1) << "absent";
}

TEST_F(PropertyReaders, WorkOnAnyAttachedThread) {
    jvmh::ScopedProperty p("bridgetest.thread", std::string("TRUE"));
    jvmh::ScopedProperty q("bridgetest.threadint", std::string("12"));
    bool b = false;
    int i = 0;
    jvmh::onAttachedThread("property-reader", [&](JNIEnv* e) {
        b = readBooleanJavaSystemProperty(e, "bridgetest.thread");
        i = readIntJavaSystemProperty(e, "bridgetest.threadint");
    });
    EXPECT_TRUE(b);
    EXPECT_EQ(i, 12);
}

// ------------------------------------------------------------- log lines
//
// These tests hand the log function a channel of their own (a switch and a
// warned flag) with the real method IDs, so they run in every
// configuration that has NativeCallbacks.

TEST_F(LogLine, DeliveredWithPrefixOnTheNamedMethod) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    bool on = true, warned = false;
    int n = 0;
    jvmh::Captured c = jvmh::captureOutput([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "hello %d", 42);
    });
    EXPECT_EQ(sink.debug(), std::vector<std::string>{"f:7: hello 42"});
    EXPECT_EQ(sink.verbose(), kNone);
    EXPECT_EQ(n, 13);
    EXPECT_FALSE(warned);
    EXPECT_EQ(c.err, "");

    n = logWithContext(jvmh::env(), &on, &warned, &verboseLogMethod, "g.c", 1234, nullptr, nullptr, "%s=%u", "k",
                       9u);
    EXPECT_EQ(sink.verbose(), std::vector<std::string>{"g.c:1234: k=9"});
    EXPECT_EQ(n, 13);
}

TEST_F(LogLine, CutAt4094CharactersAndReturnsUncutLength) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    bool on = true, warned = false;
    // Body lengths around the limit; the last body character is 'E' so a
    // cut is visible. "f:7: " is 5 characters.
    struct Case {
        size_t body;
        size_t delivered;
        bool endsWithE;
    };
    const Case cases[] = {{4088, 4093, true}, {4089, 4094, true}, {4090, 4094, false}, {5000, 4094, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("body of " + std::to_string(c.body));
        jvmh::sink::reset();
        std::string body(c.body - 1, 'x');
        body += 'E';
        int n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "%s",
                               body.c_str());
        EXPECT_EQ(n, static_cast<int>(5 + c.body));
        std::vector<std::string> lines = sink.debug();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].size(), c.delivered);
        EXPECT_EQ(lines[0].compare(0, 6, "f:7: x"), 0);
        EXPECT_EQ(lines[0].back() == 'E', c.endsWithE);
    }
}

TEST_F(LogLine, PrefixFillingTheBufferIsDeliveredAloneAndCut) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    bool on = true, warned = false;
    const std::string file(5000, 'p');
    int n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, file.c_str(), 7, nullptr, nullptr, "body");
    std::vector<std::string> lines = sink.debug();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string(4094, 'p'));
    EXPECT_EQ(n, 5004);  // the uncut prefix; no body was formatted
}

TEST_F(LogLine, EmptyBodyWritesCouldNotVlistToStderr) {
    bool on = true, warned = false;
    jvmh::SinkScope sink;
    const std::regex want(R"(^[A-Za-z0-9_./-]+:[0-9]+: logWithContext could not vlist\? attempt was f:7  %s\n$)");
    int n = -1;
    std::string err = jvmh::captureStderr([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "%s", "");
    });
    EXPECT_TRUE(std::regex_match(err, want)) << err;
    EXPECT_EQ(n, 0);
    EXPECT_EQ(sink.debug(), kNone);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    err = jvmh::captureStderr([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "");
    });
#pragma GCC diagnostic pop
    EXPECT_TRUE(std::regex_match(err, std::regex(R"(^[A-Za-z0-9_./-]+:[0-9]+: logWithContext could not vlist\? attempt was f:7  \n$)")))
        << err;
    EXPECT_EQ(n, 0);
    EXPECT_EQ(sink.debug(), kNone);
}

TEST_F(LogLine, LineNotTakenGoesToStderrWithNewline) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    jvmh::sink::setAnswer(false);
    bool on = true, warned = false;
    int n = 0;
    std::string err = jvmh::captureStderr([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &verboseLogMethod, "f", 7, nullptr, nullptr, "hello %d%%", 42);
    });
    EXPECT_EQ(err, "f:7: hello 42%\n");
    EXPECT_EQ(n, 15);  // characters written, newline included
    EXPECT_EQ(sink.verbose(), std::vector<std::string>{"f:7: hello 42%"});  // it was offered
}

// A logging method that throws has not taken the line: it goes to standard
// error, and the throw is dropped so that the operation that logged goes on
// with no exception of the logger's pending (its own later JNI calls would
// otherwise run with one pending).
TEST_F(LogLine, LineRefusedByThrowingSinkGoesToStderrAndTheThrowIsDropped) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    jvmh::sink::setThrowing(true);
    bool on = true, warned = false;
    int n = 0;
    std::string err = jvmh::captureStderr([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "thrown away");
    });
    EXPECT_EQ(err, "f:7: thrown away\n");
    EXPECT_EQ(n, 17);
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_FALSE(ex.present) << jvmh::describe(ex);
    EXPECT_EQ(sink.debug(), std::vector<std::string>{"f:7: thrown away"});
}

TEST_F(LogLine, NoMethodIdOrNoEnvironmentGoesToStderr) {
    bool on = true, warned = false;
    jmethodID none = nullptr;
    int n = 0;
    std::string err = jvmh::captureStderr([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &none, "f", 7, nullptr, nullptr, "no method %s", "here");
    });
    EXPECT_EQ(err, "f:7: no method here\n");
    EXPECT_EQ(n, 20);
    err = jvmh::captureStderr([&] {
        n = logWithContext(nullptr, &on, &warned, &debugLogMethod, "f", 8, nullptr, nullptr, "no env");
    });
    EXPECT_EQ(err, "f:8: no env\n");
    EXPECT_EQ(n, 12);
}

TEST_F(LogLine, SwitchedOffChannelDoesNothingButSetWarned) {
    jvmh::SinkScope sink;
    bool on = false, warned = false;
    int n = -1;
    jvmh::Captured c = jvmh::captureOutput([&] {
        n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "%s", "silent");
    });
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(warned);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(sink.debug(), kNone);
}

// ---------------------------------------------------------------- channels
//
// The process-wide channels as the load properties set them.

TEST_F(Channels, DebugStatementRouting) {
    jvmh::SinkScope sink;
    int n = -1;
    jvmh::Captured c = jvmh::captureOutput([&] {
        n = logWithContext(jvmh::env(), &nativeToJavaDebug, &debugWarned, &debugLogMethod, "f", 11, nullptr,
                           nullptr, "routed %s", "debug");
    });
    EXPECT_EQ(sink.verbose(), kNone);
    EXPECT_EQ(c.out, "");
    if (expectation().debug) {
        EXPECT_EQ(sink.debug(), std::vector<std::string>{"f:11: routed debug"});
        EXPECT_EQ(n, 18);
        EXPECT_EQ(c.err, "");
    } else {
        EXPECT_EQ(n, 0);
        EXPECT_TRUE(debugWarned);
        EXPECT_EQ(sink.debug(), kNone);
        EXPECT_EQ(c.err, "");
    }
}

TEST_F(Channels, VerboseStatementRouting) {
    jvmh::SinkScope sink;
    int n = -1;
    jvmh::Captured c = jvmh::captureOutput([&] {
        n = logWithContext(jvmh::env(), &nativeToJavaVerbose, &verboseWarned, &verboseLogMethod, "f", 12, nullptr,
                           nullptr, "routed %s", "verbose");
    });
    EXPECT_EQ(sink.debug(), kNone);
    EXPECT_EQ(c.out, "");
    if (expectation().verbose) {
        EXPECT_EQ(sink.verbose(), std::vector<std::string>{"f:12: routed verbose"});
        EXPECT_EQ(n, 20);
        EXPECT_EQ(c.err, "");
    } else {
        EXPECT_EQ(n, 0);
        EXPECT_TRUE(verboseWarned);
        EXPECT_EQ(sink.verbose(), kNone);
        EXPECT_EQ(c.err, "");
    }
}

// -------------------------------------------------------------- trace sink

TEST_F(TraceSink, VerboseOffWritesNothingAndSetsWarned) {
    REQUIRE_VERBOSE(false);
    jvmh::SinkScope sink;
    size_t n = 99;
    jvmh::Captured c = jvmh::captureOutput([&] { n = mbloggercallback(nullptr, "trace %d", 1); });
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(verboseWarned);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(sink.verbose(), kNone);
}

TEST_F(TraceSink, DeliversTheClientTextWithoutPrefix) {
    REQUIRE_VERBOSE(true);
    jvmh::SinkScope sink;
    size_t n = mbloggercallback(nullptr, "trace %d of %s", 3, "r1");
    EXPECT_EQ(sink.verbose(), std::vector<std::string>{"trace 3 of r1"});
    EXPECT_EQ(sink.debug(), kNone);
    EXPECT_EQ(n, 13u);
}

TEST_F(TraceSink, CutAt4095CharactersAndReturnsUncutLength) {
    REQUIRE_VERBOSE(true);
    jvmh::SinkScope sink;
    for (size_t len : {4095u, 4096u, 5000u}) {
        SCOPED_TRACE("trace line of " + std::to_string(len));
        jvmh::sink::reset();
        const std::string text(len, 't');
        size_t n = mbloggercallback(nullptr, "%s", text.c_str());
        EXPECT_EQ(n, len);
        std::vector<std::string> lines = sink.verbose();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::string(4095, 't'));
    }
}

TEST_F(TraceSink, LineNotTakenIsWrittenVerbatimWithoutNewline) {
    REQUIRE_VERBOSE(true);
    jvmh::SinkScope sink;
    jvmh::sink::setAnswer(false);
    size_t n = 0;
    std::string err = jvmh::captureStderr([&] { n = mbloggercallback(nullptr, "%s", "50% done %d %n"); });
    EXPECT_EQ(err, "50% done %d %n");
    EXPECT_EQ(n, 14u);
}

TEST_F(TraceSink, OnThreadNotAttachedWritesToStderr) {
    REQUIRE_VERBOSE(true);
    jvmh::SinkScope sink;
    size_t n = 0;
    JNIEnv* const recorded = jvm_global_env;
    std::string err = jvmh::captureStderr(
        [&] { jvmh::onDetachedThread([&] { n = mbloggercallback(nullptr, "from %s", "nowhere"); }); });
    EXPECT_NE(err.find("from nowhere"), std::string::npos) << err;
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(sink.verbose(), kNone);
    EXPECT_EQ(jvm_global_env, recorded);
}

TEST_F(TraceSink, OnAttachedThreadUsesThatThreadsEnvironment) {
    REQUIRE_VERBOSE(true);
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    JNIEnv* const recorded = jvm_global_env;
    size_t n = 0;
    jvmh::onAttachedThread("trace-worker", [&](JNIEnv*) { n = mbloggercallback(nullptr, "on %s", "worker"); });
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(sink.verbose(), std::vector<std::string>{"on worker"});
    EXPECT_EQ(jvmh::sink::threads("verbose"), std::vector<std::string>{"trace-worker"});
    EXPECT_EQ(jvm_global_env, recorded) << "the trace sink must not record an environment";
}

// ---------------------------------------- lines while an exception is pending
//
// The line still reaches Java (or standard error) and the exception that
// was pending is the one Java sees afterwards. A bridge that made a JNI call
// with the exception pending fails the -Xcheck:jni run.

TEST_F(PendingJavaException, LogLineIsDeliveredAndTheOriginalKept) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    bool on = true, warned = false;
    throwNew("java/lang/IllegalStateException", "original");
    int n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "while %s",
                           "pending");
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.IllegalStateException");
    EXPECT_EQ(ex.msg, "original");
    EXPECT_EQ(sink.debug(), std::vector<std::string>{"f:7: while pending"});
    EXPECT_EQ(n, 18);
}

TEST_F(PendingJavaException, LineNotTakenGoesToStderrAndTheOriginalKept) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    jvmh::sink::setAnswer(false);
    bool on = true, warned = false;
    throwNew("java/lang/IllegalStateException", "original");
    std::string err = jvmh::captureStderr([&] {
        logWithContext(jvmh::env(), &on, &warned, &verboseLogMethod, "f", 7, nullptr, nullptr, "refused");
    });
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.IllegalStateException");
    EXPECT_EQ(ex.msg, "original");
    EXPECT_EQ(err, "f:7: refused\n");
}

TEST_F(PendingJavaException, ThrowingSinkDoesNotReplaceTheOriginal) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    jvmh::sink::setThrowing(true);
    bool on = true, warned = false;
    throwNew("java/lang/IllegalStateException", "original");
    std::string err = jvmh::captureStderr([&] {
        logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "thrown away");
    });
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.IllegalStateException");
    EXPECT_EQ(ex.msg, "original");
    EXPECT_EQ(err, "f:7: thrown away\n");
}

TEST_F(PendingJavaException, LineOnChannelWithoutMethodKeepsTheOriginal) {
    bool on = true, warned = false;
    jmethodID none = nullptr;
    throwNew("java/lang/IllegalStateException", "original");
    std::string err = jvmh::captureStderr(
        [&] { logWithContext(jvmh::env(), &on, &warned, &none, "f", 7, nullptr, nullptr, "no method"); });
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.IllegalStateException");
    EXPECT_EQ(err, "f:7: no method\n");
}

TEST_F(PendingJavaException, TraceLineIsDeliveredAndTheOriginalKept) {
    REQUIRE_VERBOSE(true);
    jvmh::SinkScope sink;
    throwNew("java/io/IOException", "original io");
    size_t n = mbloggercallback(nullptr, "trace while %s", "pending");
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.io.IOException");
    EXPECT_EQ(ex.msg, "original io");
    EXPECT_EQ(sink.verbose(), std::vector<std::string>{"trace while pending"});
    EXPECT_EQ(n, 19u);
}

// ------------------------------------- native text that is not modified UTF-8

TEST_F(NativeLogText, LogLineIsDecodedAsTheDefaultCharset) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    bool on = true, warned = false;
    logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "%s",
                   "\xF0\x9F\x98\x80 \xC0\x80 caf\xC3\xA9");
    std::vector<std::u16string> lines = jvmh::sink::linesUtf16("debug");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], u"f:7: \U0001F600 \uFFFD\uFFFD caf\u00e9");
}

TEST_F(NativeLogText, LineCutInsideAMultiByteCharacter) {
    REQUIRE_CALLBACKS();
    jvmh::SinkScope sink;
    bool on = true, warned = false;
    // 5 + 4088 = 4093 characters, then a 4-byte character of which only the
    // first byte fits before the cut at 4094.
    std::string body(4088, 'x');
    body += "\xF0\x9F\x98\x80";
    int n = logWithContext(jvmh::env(), &on, &warned, &debugLogMethod, "f", 7, nullptr, nullptr, "%s", body.c_str());
    EXPECT_EQ(n, 5 + 4092);
    std::vector<std::u16string> lines = jvmh::sink::linesUtf16("debug");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], u"f:7: " + std::u16string(4088, u'x') + u"\uFFFD");
}

TEST_F(NativeLogText, TraceLineIsDecodedAsTheDefaultCharset) {
    REQUIRE_VERBOSE(true);
    jvmh::SinkScope sink;
    mbloggercallback(nullptr, "%s", "store \xF0\x9F\x98\x80 \xED\xA0\xBD");
    std::vector<std::u16string> lines = jvmh::sink::linesUtf16("verbose");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], u"store \U0001F600 \uFFFD");
}

// ------------------------------------------------------------ console switch

TEST_F(ConsoleSwitch, DebugNativePrintsOnlyWhenOn) {
    ASSERT_FALSE(debugNativeFlag) << "nothing in the bridge sets the console switch";
    char fmt[] = "value=%d\n";
    std::string out = jvmh::captureStdout([&] { debugNative(fmt, 5); });
    EXPECT_EQ(out, "");
    debugNativeFlag = true;
    out = jvmh::captureStdout([&] { debugNative(fmt, 6); });
    debugNativeFlag = false;
    EXPECT_EQ(out, "value=6\n");
}

TEST_F(ConsoleSwitch, LoggingFunctionsPutTheSwitchBack) {
    bool on = true, warned = false;
    jmethodID none = nullptr;
    debugNativeFlag = true;
    jvmh::captureOutput([&] {
        logWithContext(jvmh::env(), &on, &warned, &none, "f", 7, nullptr, nullptr, "x");
        EXPECT_TRUE(debugNativeFlag) << "logWithContext";
        readBooleanJavaSystemProperty(jvmh::env(), "bridgetest.none");
        EXPECT_TRUE(debugNativeFlag) << "readBooleanJavaSystemProperty";
        readIntJavaSystemProperty(jvmh::env(), "bridgetest.none");
        EXPECT_TRUE(debugNativeFlag) << "readIntJavaSystemProperty";
        mbloggercallback(nullptr, "%s", "x");
        EXPECT_TRUE(debugNativeFlag) << "mbloggercallback";
    });
    debugNativeFlag = false;
}

}  // namespace
