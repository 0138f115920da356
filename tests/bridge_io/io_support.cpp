/*
 * io_support.cpp - see io_support.h.
 */
#include "io_support.h"

namespace iot {

const char* const kReadName = "Java_tessera_store_io_file_direct_ReplicatedIONative_read";
const char* const kWriteName = "Java_tessera_store_io_file_direct_ReplicatedIONative_write";
const char* const kLimitName = "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceLimit";
const char* const kUsedName = "Java_tessera_store_io_file_direct_ReplicatedIONative_getDeviceUsed";

std::vector<std::string> allFaultKeys() {
    return {
        tests.configPassingKey,
        tests.mb_initErrorTestKey,
        tests.mbRetriedWriteErrorTestKey,
        tests.mbRetriedReadErrorTestKey,
        tests.mb_read_fenceErrorTestKey,
        tests.mb_registerErrorTestKey,
        tests.fileio_mb_write_mb_get_storeinfoErrorTestKey,
        tests.mb_openstoreErrorTestKey,
        tests.fileio_mb_open_mb_get_storeinfoErrorTestKey,
        tests.mb_closestoreErrorTestKey,
        tests.mb_finiErrorTestKey,
        tests.used_memory_mb_get_local_daemon_infoErrorTestKey,
        tests.total_memory_mb_get_local_daemon_infoErrorTestKey,
        tests.mb_get_local_daemon_infoErrorTestKey,
        tests.admintool_mb_initErrorTestKey,
        tests.admintool_mb_admin_attach_daemonAfterInitErrorTestKey,
        tests.admintool_mb_finiErrorTestKey,
        tests.admintool_mb_admin_shutdown_daemonErrorTestKey,
        tests.admintool_mb_admin_get_storeinfoErrorTestKey,
        tests.admintool_mb_admin_delete_storeErrorTestKey,
        tests.admintool_mb_admin_enumerate_storesErrorTestKey,
        tests.admintool_mb_admin_enumerate_global_storesErrorTestKey,
        tests.admintool_mb_admin_enumerate_daemonsErrorTestKey,
        tests.admintool_mb_admin_get_attached_daemonErrorTestKey,
        tests.admintool_mb_admin_attach_daemonErrorTestKey,
        tests.crash_primary_daemon_during_writeTestKey,
        tests.crash_primary_daemon_during_deleteTestKey,
        tests.crash_primary_daemon_during_openstoreTestKey,
        tests.crash_primary_daemon_during_closestoreTestKey,
        tests.crash_storejvm_during_writeTestKey,
        tests.crash_storejvm_during_deleteTestKey,
        tests.crash_storejvm_during_openstoreTestKey,
        tests.crash_storejvm_during_closestoreTestKey,
        tests.crash_secondary_daemon_during_writeTestKey,
        tests.crash_secondary_daemon_during_deleteTestKey,
    };
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += "  " + l + "\n";
    return s;
}

std::string body(const std::string& line) {
    static const std::regex prefix("^[A-Za-z_]+:[0-9]+: ");
    std::smatch m;
    if (std::regex_search(line, m, prefix)) return line.substr(static_cast<size_t>(m.length(0)));
    return line;
}

std::vector<std::string> bodies(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(body(l));
    return out;
}

int countBody(const std::string& channel, const std::string& text) {
    int n = 0;
    for (const auto& l : jvmh::sink::lines(channel)) n += body(l) == text ? 1 : 0;
    return n;
}

int countBodyPrefix(const std::string& channel, const std::string& prefix) {
    int n = 0;
    for (const auto& l : jvmh::sink::lines(channel)) n += body(l).compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

namespace {
bool channelOn(const std::string& channel) { return channel == "debug" ? debugOn() : verboseOn(); }
const char* otherChannel(const std::string& channel) { return channel == "debug" ? "verbose" : "debug"; }
}  // namespace

void expectLogged(const std::string& channel, const std::string& text, int times) {
    if (channelOn(channel)) {
        EXPECT_EQ(times, countBody(channel, text))
            << "on " << channel << ": " << text << "\nlines:\n" << joinLines(bodies(jvmh::sink::lines(channel)));
    } else {
        EXPECT_EQ(0, countBody(channel, text)) << channel << " is off but got: " << text;
    }
    EXPECT_EQ(0, countBody(otherChannel(channel), text)) << "logged on the wrong channel: " << text;
}

void expectLoggedPrefix(const std::string& channel, const std::string& prefix, int times) {
    if (channelOn(channel)) {
        EXPECT_EQ(times, countBodyPrefix(channel, prefix))
            << "on " << channel << ": " << prefix << "...\nlines:\n" << joinLines(bodies(jvmh::sink::lines(channel)));
    } else {
        EXPECT_EQ(0, countBodyPrefix(channel, prefix)) << channel << " is off but got: " << prefix;
    }
    EXPECT_EQ(0, countBodyPrefix(otherChannel(channel), prefix)) << "logged on the wrong channel: " << prefix;
}

void expectNotLogged(const std::string& text) {
    EXPECT_EQ(0, countBody("debug", text)) << text;
    EXPECT_EQ(0, countBody("verbose", text)) << text;
}

std::string errorText(int status, int error) {
    mb_rqs rqs;
    rqs.status = static_cast<mb_status>(status);
    rqs.error = static_cast<mb_error>(error);
    const char* t = mb_get_error_message(&rqs);
    return t != nullptr ? t : "(null)";
}

std::string storePieces(const std::string& storeName, std::optional<std::pair<int, int>> statusError) {
    std::string s;
    if (!storeName.empty()) s += "(Storename=" + storeName + " ) ";
    if (statusError) {
        s += "(status=" + std::to_string(statusError->first) + " error=" + std::to_string(statusError->second) +
             " Detail: " + errorText(statusError->first, statusError->second) + " )";
    }
    return s;
}

void expectIO(const jvmh::PendingException& ex, const std::string& pieces, const std::string& bodyText) {
    ASSERT_TRUE(ex.present) << "no exception; expected IOException ..." << pieces << bodyText;
    EXPECT_EQ("java.io.IOException", ex.cls) << ex.msg;
    static const std::regex prefix("^fileio_mirrorbank:[0-9]+: ");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(ex.msg, m, prefix)) << "no file:line prefix in: " << ex.msg;
    EXPECT_EQ(pieces + bodyText, ex.msg.substr(static_cast<size_t>(m.length(0))));
}

jvmh::ConfigPairs config(int handle, jvmh::ConfigPairs extra) {
    jvmh::ConfigPairs c{{"CandidateHandle", std::to_string(handle)}};
    for (auto& kv : extra) c.push_back(std::move(kv));
    return c;
}

void patternBytes(uint8_t* out, size_t n, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 0x9e3779b9u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 11);
    }
}

NativeBuffer::NativeBuffer(size_t size, size_t misalign) : base_(nullptr), size_(size), misalign_(misalign) {
    void* p = nullptr;
    size_t total = ((size + misalign + 4095) / 4096) * 4096 + 4096;
    if (posix_memalign(&p, 4096, total) != 0) std::abort();
    base_ = static_cast<uint8_t*>(p);
    std::memset(base_, 0xEE, total);
}

NativeBuffer::~NativeBuffer() { std::free(base_); }

jobject NativeBuffer::buffer(JNIEnv* e) {
    if (e == nullptr) return jvmh::newDirectBuffer(data(), size_);
    return e->NewDirectByteBuffer(data(), static_cast<jlong>(size_));
}

void NativeBuffer::pattern(uint32_t seed) { patternBytes(data(), size_, seed); }

FaultScope::~FaultScope() {
    while (!held_.empty()) held_.pop_back();
}

void FaultScope::set(const std::string& key, const std::string& value) {
    held_.push_back(std::make_unique<jvmh::ScopedProperty>(key, value));
}

void FaultScope::clear(const std::string& key) {
    held_.push_back(std::make_unique<jvmh::ScopedProperty>(key, std::nullopt));
}

void IoTest::SetUp() {
    jvmh::JvmTest::SetUp();
    for (const auto& key : allFaultKeys()) jvmh::clearProperty(key);
    mbt_reset();
    mirrorbank_onLoad();
    mbt_journal_enable(1);
    sink_ = std::make_unique<jvmh::SinkScope>();
    ASSERT_TRUE(sink_->active()) << "the recording sink could not be installed";
}

void IoTest::TearDown() {
    sink_.reset();
    mbt_reset();
    mirrorbank_onLoad();
    jvmh::JvmTest::TearDown();
}

jlong IoTest::openOk(const std::string& name, int handle, jvmh::ConfigPairs extra) {
    jlong h = nat::open(name, config(handle, std::move(extra)));
    auto ex = jvmh::takeException();
    EXPECT_FALSE(ex.present) << "open of " << name << ": " << jvmh::describe(ex);
    EXPECT_EQ(handle, h) << "open of " << name;
    return h;
}

void IoTest::closeOk(jlong handle) {
    nat::close(handle);
    auto ex = jvmh::takeException();
    EXPECT_FALSE(ex.present) << "close of " << handle << ": " << jvmh::describe(ex);
}

jint IoTest::writeBytes(jlong handle, jlong position, NativeBuffer& buf, jint offset, jint length) {
    jvmh::LocalFrame frame;
    return nat::write(handle, position, buf.buffer(), offset, length);
}

jint IoTest::readBytes(jlong handle, jlong position, NativeBuffer& buf, jint offset, jint length) {
    jvmh::LocalFrame frame;
    return nat::read(handle, position, buf.buffer(), offset, length);
}

}  // namespace iot
