/*
 * foundation_glue_tests.cpp - exception helpers, Java string to native
 * text, native text to Java string, and the message prefix.
 */
#include <cstdlib>
#include <cstring>

#include "fileio_mirrorbank.h"
#include "jvm_harness.h"
#include "mirrorbank_testctl.h"

namespace {

class ExceptionHelpers : public jvmh::JvmTest {};
class StringConversion : public jvmh::JvmTest {};
class NativeText : public jvmh::JvmTest {};
class Prefix : public jvmh::JvmTest {};

void throwNew(const char* cls, const char* msg) {
    JNIEnv* e = jvmh::env();
    jclass c = e->FindClass(cls);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(e->ThrowNew(c, msg), 0);
}

// ------------------------------------------------------ exception helpers

TEST_F(ExceptionHelpers, RaiseTheirClassWithTheMessage) {
    JNIEnv* e = jvmh::env();
    struct Case {
        void (*raise)(JNIEnv*, const char*);
        const char* cls;
    };
    const Case cases[] = {{TSSRepIOThrowIO, "java.io.IOException"},
                          {TSSRepIOThrowNPE, "java.lang.NullPointerException"},
                          {TSSRepIOThrowOOM, "java.lang.OutOfMemoryError"}};
    for (const auto& c : cases) {
        c.raise(e, "text 100% é");
        jvmh::PendingException ex = jvmh::takeException();
        EXPECT_EQ(ex.cls, c.cls);
        EXPECT_EQ(ex.msg, "text 100% é");
    }
    TSSRepIOThrowException(e, "java/lang/IllegalArgumentException", "named");
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.IllegalArgumentException");
    EXPECT_EQ(ex.msg, "named");
}

TEST_F(ExceptionHelpers, MissingClassLeavesNoClassDefFoundError) {
    TSSRepIOThrowException(jvmh::env(), "tessera/no/SuchException", "lost");
    jvmh::PendingException ex = jvmh::takeException();
    EXPECT_EQ(ex.cls, "java.lang.NoClassDefFoundError");
    EXPECT_NE(ex.msg.find("tessera/no/SuchException"), std::string::npos) << ex.msg;
}

// A helper called while an exception is pending keeps that exception: it
// makes no JNI call that is unsafe with an exception pending (the
// -Xcheck:jni run fails if it does) and raises nothing on top of it.
TEST_F(ExceptionHelpers, AnExceptionAlreadyPendingIsKept) {
    JNIEnv* e = jvmh::env();
    struct Case {
        const char* what;
        void (*raise)(JNIEnv*);
    };
    const Case cases[] = {
        {"IO", [](JNIEnv* x) { TSSRepIOThrowIO(x, "second"); }},
        {"NPE", [](JNIEnv* x) { TSSRepIOThrowNPE(x, "second"); }},
        {"OOM", [](JNIEnv* x) { TSSRepIOThrowOOM(x, "second"); }},
        {"named", [](JNIEnv* x) { TSSRepIOThrowException(x, "java/lang/IllegalArgumentException", "second"); }},
        {"missing class", [](JNIEnv* x) { TSSRepIOThrowException(x, "tessera/no/SuchException", "second"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        throwNew("java/lang/IllegalStateException", "first");
        c.raise(e);
        jvmh::PendingException ex = jvmh::takeException();
        EXPECT_EQ(ex.cls, "java.lang.IllegalStateException");
        EXPECT_EQ(ex.msg, "first");
        EXPECT_FALSE(e->ExceptionCheck());
    }
}

// ------------------------------------------------ Java string to native

TEST_F(StringConversion, EmptyStringGivesOneNulByte) {
    char* s = getStringNativeChars(jvmh::env(), jvmh::newStringUtf8(""));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[0], '\0');
    std::free(s);
    EXPECT_FALSE(jvmh::takeException());
}

TEST_F(StringConversion, NonAsciiGivesDefaultCharsetBytes) {
    // é (2 bytes), € (3 bytes), U+1F600 (4 bytes) under UTF-8.
    char* s = getStringNativeChars(jvmh::env(), jvmh::newString(u"a\u00e9\u20ac\U0001F600"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(std::strlen(s), 10u);
    std::free(s);
}

TEST_F(StringConversion, EmbeddedNulIsKeptAndTerminated) {
    char* s = getStringNativeChars(jvmh::env(), jvmh::newString(std::u16string(u"ab\0cd", 5)));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s, 6), std::string("ab\0cd\0", 6));
    EXPECT_EQ(std::strlen(s), 2u);  // the native text looks shorter
    std::free(s);
}

TEST_F(StringConversion, NullGivesNullAndNoException) {
    EXPECT_EQ(getStringNativeChars(jvmh::env(), nullptr), nullptr);
    EXPECT_FALSE(jvmh::takeException());
}

TEST_F(StringConversion, LongStringIsCopiedWhole) {
    std::u16string text(100000, u'\u00e9');
    char* s = getStringNativeChars(jvmh::env(), jvmh::newString(text));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::strlen(s), 200000u);
    EXPECT_EQ(std::string(s, 4), "\xC3\xA9\xC3\xA9");
    std::free(s);
}

// ------------------------------------------------ native text to Java

std::u16string fromNative(const std::string& bytes, size_t maxBytes) {
    jstring s = newJavaStringFromNative(jvmh::env(), bytes.c_str(), maxBytes);
    EXPECT_FALSE(jvmh::env()->ExceptionCheck());
    EXPECT_NE(s, nullptr);
    return jvmh::chars(s);
}

TEST_F(NativeText, BytesAreDecodedAsTheDefaultCharsetDoes) {
    // Not modified UTF-8: an overlong NUL, a 4-byte sequence, a lone lead byte.
    EXPECT_EQ(fromNative("a\xC0\x80" "b", 4), u"a\uFFFD\uFFFDb");
    EXPECT_EQ(fromNative("smile \xF0\x9F\x98\x80", 10), u"smile \U0001F600");
    EXPECT_EQ(fromNative("x\xF0\x9F\x98", 4), u"x\uFFFD");
    EXPECT_EQ(fromNative("caf\xC3\xA9", 5), u"caf\u00e9");
    EXPECT_EQ(fromNative("", 0), u"");
}

TEST_F(NativeText, StopsAtMaxBytesOrNul) {
    EXPECT_EQ(fromNative("abcdef", 3), u"abc");
    EXPECT_EQ(fromNative(std::string("ab\0cd", 5), 5), u"ab");
    EXPECT_EQ(fromNative("abc", 100), u"abc");
}

TEST_F(NativeText, JavaNamesRoundTrip) {
    JNIEnv* e = jvmh::env();
    const std::u16string name = u"r\u00e9gion-\U0001F600-\u540d\u524d-%s";
    jstring original = jvmh::newString(name);
    char* native = getStringNativeChars(e, original);
    ASSERT_NE(native, nullptr);
    jstring back = newJavaStringFromNative(e, native, std::strlen(native));
    std::free(native);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(jvmh::chars(back), name);
}

// ---------------------------------------------------------------- prefix

struct PrefixResult {
    int n;
    std::string text;
};

PrefixResult prefix(int bufSize, const char* file, int line, mirrorbank_ctx* ctx, mb_rqs* rqs) {
    std::vector<char> buf(static_cast<size_t>(bufSize) + 64, '#');
    int n = standardString(jvmh::env(), buf.data(), bufSize, file, line, ctx, rqs);
    return {n, std::string(buf.data())};
}

class PrefixWithContext : public Prefix {
protected:
    void SetUp() override {
        Prefix::SetUp();
        std::memset(&ctx_, 0, sizeof ctx_);
        mbt_set_error_message(MB_ERR_CANCEL, "op cancelled");
    }
    void TearDown() override {
        mbt_set_error_message(MB_ERR_CANCEL, nullptr);
        Prefix::TearDown();
    }
    mirrorbank_ctx ctx_;
};

TEST_F(Prefix, FileAndLineOnly) {
    PrefixResult r = prefix(4095, "fileio_mirrorbank", 120, nullptr, nullptr);
    EXPECT_EQ(r.text, "fileio_mirrorbank:120: ");
    EXPECT_EQ(r.n, 23);
}

TEST_F(PrefixWithContext, StoreNameAndStatusPieces) {
    std::strcpy(ctx_.storeInfo.name, "r1");
    mb_rqs rqs{MB_FAIL, MB_ERR_CANCEL};
    PrefixResult r = prefix(4095, "fileio_mirrorbank", 120, &ctx_, &rqs);
    const std::string want = "fileio_mirrorbank:120: (Storename=r1 ) (status=2 error=10 Detail: op cancelled )";
    EXPECT_EQ(r.text, want);
    EXPECT_EQ(r.n, static_cast<int>(want.size()));

    r = prefix(4095, "f", 3, nullptr, &rqs);
    EXPECT_EQ(r.text, "f:3: (status=2 error=10 Detail: op cancelled )");
    r = prefix(4095, "f", 3, &ctx_, nullptr);
    EXPECT_EQ(r.text, "f:3: (Storename=r1 ) ");
}

TEST_F(PrefixWithContext, EmptyStoreNameGivesNoStorePiece) {
    mb_rqs rqs{MB_FAIL, MB_ERR_CANCEL};
    EXPECT_EQ(prefix(4095, "f", 3, &ctx_, nullptr).text, "f:3: ");
    EXPECT_EQ(prefix(4095, "f", 3, &ctx_, &rqs).text, "f:3: (status=2 error=10 Detail: op cancelled )");
}

TEST_F(PrefixWithContext, PercentSignsAreCarriedUnchanged) {
    std::strcpy(ctx_.storeInfo.name, "r%d%s");
    mbt_set_error_message(MB_ERR_CANCEL, "50% %s done");
    mb_rqs rqs{MB_FAIL, MB_ERR_CANCEL};
    EXPECT_EQ(prefix(4095, "f%n", 3, &ctx_, &rqs).text,
              "f%n:3: (Storename=r%d%s ) (status=2 error=10 Detail: 50% %s done )");
}

TEST_F(PrefixWithContext, CutAtBufSizeReturnsUncutLengthAndSkipsLaterPieces) {
    std::strcpy(ctx_.storeInfo.name, "r1");
    mb_rqs rqs{MB_FAIL, MB_ERR_CANCEL};
    // "abcdefghijklmnopqrstuvwxyz:5: " is 30 characters.
    PrefixResult r = prefix(20, "abcdefghijklmnopqrstuvwxyz", 5, &ctx_, &rqs);
    EXPECT_EQ(r.text, "abcdefghijklmnopqrs");
    EXPECT_EQ(r.n, 30);
}

TEST_F(PrefixWithContext, PieceReachingBufSizeEndsThePrefix) {
    std::strcpy(ctx_.storeInfo.name, "r1");
    mb_rqs rqs{MB_FAIL, MB_ERR_CANCEL};
    // "abcdefghijklmn:5: " is 18 characters: with a size of 19 it fits,
    // the store piece (16 characters) is cut to nothing, the status piece
    // is skipped.
    PrefixResult r = prefix(19, "abcdefghijklmn", 5, &ctx_, &rqs);
    EXPECT_EQ(r.text, "abcdefghijklmn:5: ");
    EXPECT_EQ(r.n, 18 + 16);
    // One character more room: the store piece is cut after one character.
    r = prefix(20, "abcdefghijklmn", 5, &ctx_, &rqs);
    EXPECT_EQ(r.text, "abcdefghijklmn:5: (");
    EXPECT_EQ(r.n, 18 + 16);
}

}  // namespace
