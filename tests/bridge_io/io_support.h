/*
 * io_support.h - shared fixture and helpers of the file-device tests.
 *
 * Every test starts from a fresh stand-in cluster (mbt_reset), a context
 * table with all records free, the journal on, no fault property set and
 * the recording sink installed. What the bridge logged is read back through
 * the sink; what reached the client library through the journal.
 */
#ifndef BRIDGE_IO_SUPPORT_H
#define BRIDGE_IO_SUPPORT_H

#include <jni.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fileio_mirrorbank.h"
#include "jvm_harness.h"
#include "mirrorbank_testctl.h"
#include "standin_journal.h"

namespace iot {

// The native methods called directly, on the calling thread, so that the
// result they return next to a pending exception can be checked (a call
// through the JVM reports only the exception then).
using nat = jvmh::rioDirect;

extern const char* const kReadName;
extern const char* const kWriteName;
extern const char* const kLimitName;
extern const char* const kUsedName;

// Every fault property the bridge knows, plus the crash events.
std::vector<std::string> allFaultKeys();

// ---- logging configuration of this process (fixed at load)
inline bool debugOn() { return nativeToJavaDebug; }
inline bool verboseOn() { return nativeToJavaVerbose; }
inline bool anyLogOn() { return nativeToJavaDebug || nativeToJavaVerbose; }
inline bool instrumented() { return instrumentation; }

// ---- journal (standin_journal.h)
using jvmh::journal;
using jvmh::journalCount;
using jvmh::journalOf;
using jvmh::journalOfAny;
std::string joinLines(const std::vector<std::string>& lines);

// ---- log lines
// A log line without its "<file>:<line>: " prefix (lines without such a
// prefix, such as the client library's trace lines, are kept whole).
std::string body(const std::string& line);
std::vector<std::string> bodies(const std::vector<std::string>& lines);
// Number of lines on `channel` ("debug" / "verbose") whose body is `text`.
int countBody(const std::string& channel, const std::string& text);
// Number of lines on `channel` whose body starts with `prefix`.
int countBodyPrefix(const std::string& channel, const std::string& prefix);
// Checks that `text` was logged on `channel` exactly `times` times when
// that channel is on, and never on any channel when it is off.
void expectLogged(const std::string& channel, const std::string& text, int times = 1);
void expectLoggedPrefix(const std::string& channel, const std::string& prefix, int times = 1);
void expectNotLogged(const std::string& text);

// ---- exceptions
// The text of a contextual exception raised in the file device: prefix
// "fileio_mirrorbank:<line>: ", optional store name and result pieces,
// then the body.
std::string storePieces(const std::string& storeName, std::optional<std::pair<int, int>> statusError);
// Checks `ex` is a java.io.IOException whose message is
// "fileio_mirrorbank:<digits>: " + pieces + body.
void expectIO(const jvmh::PendingException& ex, const std::string& pieces, const std::string& body);
// Same for an exception raised with no context and no result record.
inline void expectPlainIO(const jvmh::PendingException& ex, const std::string& bodyText) {
    expectIO(ex, "", bodyText);
}
// An exception message of the injected failure for the named region.
inline std::string cancelled(const std::string& storeName) { return storePieces(storeName, std::make_pair(2, 10)); }
std::string errorText(int status, int error);

// ---- configuration
jvmh::ConfigPairs config(int handle, jvmh::ConfigPairs extra = {});

// ---- native buffers wrapped as direct ByteBuffers
class NativeBuffer {
public:
    // `misalign` bytes past a 4096-byte boundary.
    explicit NativeBuffer(size_t size, size_t misalign = 0);
    ~NativeBuffer();
    NativeBuffer(const NativeBuffer&) = delete;
    NativeBuffer& operator=(const NativeBuffer&) = delete;
    uint8_t* data() { return base_ + misalign_; }
    size_t size() const { return size_; }
    // A direct ByteBuffer over the whole buffer (a local reference of the
    // calling thread's current frame).
    jobject buffer(JNIEnv* e = nullptr);
    void fill(uint8_t v) { std::memset(data(), v, size_); }
    void pattern(uint32_t seed);

private:
    uint8_t* base_;
    size_t size_;
    size_t misalign_;
};

// Deterministic pseudo-random bytes.
void patternBytes(uint8_t* out, size_t n, uint32_t seed);

// ---- property switches for one test
class FaultScope {
public:
    FaultScope() = default;
    ~FaultScope();
    void set(const std::string& key, const std::string& value = "true");
    void clear(const std::string& key);

private:
    std::vector<std::unique_ptr<jvmh::ScopedProperty>> held_;
};

// ---- the fixture
class IoTest : public jvmh::JvmTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens `name` on `handle` with the given extra configuration; fails the
    // test when it does not return the handle with nothing pending.
    jlong openOk(const std::string& name, int handle, jvmh::ConfigPairs extra = {});
    // Closes and expects nothing pending.
    void closeOk(jlong handle);
    jint writeBytes(jlong handle, jlong position, NativeBuffer& buf, jint offset, jint length);
    jint readBytes(jlong handle, jlong position, NativeBuffer& buf, jint offset, jint length);

    std::unique_ptr<jvmh::SinkScope> sink_;
    FaultScope faults_;
};

}  // namespace iot

#endif
