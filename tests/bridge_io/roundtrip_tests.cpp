/*
 * roundtrip_tests.cpp - real data through the embedded cluster: random
 * positions and sizes, many regions at once, threads each on its own
 * handle, and data surviving a crash of the primary daemon.
 */
#include <atomic>
#include <random>
#include <thread>

#include "io_support.h"

using namespace iot;
using jvmh::takeException;

// Here every read and write goes through the JVM, as Java makes them.
class RoundTrip : public IoTest {
protected:
    jint writeBytes(jlong handle, jlong position, NativeBuffer& buf, jint offset, jint length) {
        jvmh::LocalFrame frame;
        jint r = jvmh::rio::write(handle, position, buf.buffer(), offset, length);
        auto ex = takeException();
        EXPECT_FALSE(ex.present) << jvmh::describe(ex);
        return r;
    }
    jint readBytes(jlong handle, jlong position, NativeBuffer& buf, jint offset, jint length) {
        jvmh::LocalFrame frame;
        jint r = jvmh::rio::read(handle, position, buf.buffer(), offset, length);
        auto ex = takeException();
        EXPECT_FALSE(ex.present) << jvmh::describe(ex);
        return r;
    }
    jlong sizeOf(jlong handle) {
        jlong r = jvmh::rio::getSize(handle);
        auto ex = takeException();
        EXPECT_FALSE(ex.present) << jvmh::describe(ex);
        return r;
    }
};

TEST_F(RoundTrip, RandomPositionsAndSizesAgainstAShadowCopy) {
    const size_t regionSize = 64u << 20;
    jlong h = openOk("random", 40, {{"RegionSize", std::to_string(regionSize)}, {"BlockSize", "4096"}});
    std::vector<uint8_t> shadow(regionSize, 0);
    size_t length = 0;
    NativeBuffer buf(6u << 20, 16);  // a plain direct buffer starts 16 bytes into a page
    std::mt19937 rng(20240611);
    const size_t sizes[] = {1, 7, 511, 512, 4096, 4097, 65536, 1u << 20, (5u << 20) + 3};
    for (int i = 0; i < 60; ++i) {
        jvmh::LocalFrame frame;
        size_t n = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
        size_t pos = rng() % (regionSize - n);
        size_t off = rng() % 64;
        if (off + n > buf.size()) off = 0;
        patternBytes(buf.data() + off, n, static_cast<uint32_t>(i));
        ASSERT_EQ(static_cast<jint>(n), writeBytes(h, static_cast<jlong>(pos), buf, static_cast<jint>(off),
                                                   static_cast<jint>(n)))
            << "write " << i << " at " << pos << " size " << n;
        std::memcpy(shadow.data() + pos, buf.data() + off, n);
        length = std::max(length, pos + n);
        ASSERT_EQ(static_cast<jlong>(length), sizeOf(h));
    }
    for (int i = 0; i < 60; ++i) {
        jvmh::LocalFrame frame;
        size_t n = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
        size_t pos = rng() % length;
        size_t off = rng() % 64;
        if (off + n > buf.size()) off = 0;
        size_t expect = std::min(n, length - pos);
        jint got = readBytes(h, static_cast<jlong>(pos), buf, static_cast<jint>(off), static_cast<jint>(n));
        ASSERT_EQ(static_cast<jint>(expect), got) << "read " << i << " at " << pos << " size " << n;
        ASSERT_EQ(0, std::memcmp(buf.data() + off, shadow.data() + pos, expect)) << "read " << i << " at " << pos;
    }
    EXPECT_FALSE(takeException().present);
    closeOk(h);
}

TEST_F(RoundTrip, ManyRegionsAtOnce) {
    const int count = 24;
    NativeBuffer buf(70000);
    for (int i = 0; i < count; ++i) {
        jvmh::LocalFrame frame;
        openOk("many-" + std::to_string(i), 200 + i, {{"RegionSize", "1048576"}, {"MaxReplicaCount", "2"}});
        buf.pattern(1000 + static_cast<uint32_t>(i));
        ASSERT_EQ(70000, writeBytes(200 + i, 1000 * i, buf, 0, 70000));
    }
    NativeBuffer expect(70000);
    for (int i = count - 1; i >= 0; --i) {
        jvmh::LocalFrame frame;
        expect.pattern(1000 + static_cast<uint32_t>(i));
        buf.fill(0);
        EXPECT_EQ(1000 * i + 70000, sizeOf(200 + i));
        ASSERT_EQ(70000, readBytes(200 + i, 1000 * i, buf, 0, 70000));
        EXPECT_EQ(0, std::memcmp(buf.data(), expect.data(), 70000)) << "region " << i;
    }
    for (int i = 0; i < count; ++i) closeOk(200 + i);
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, mbt_live_connections());
}

TEST_F(RoundTrip, ThreadsEachOnItsOwnHandle) {
    const int threads = 4, rounds = 40, size = 32768;
    NativeBuffer warm(1);
    for (int t = 0; t < threads; ++t) {
        // Also resolves the native methods once on this thread.
        openOk("thread-" + std::to_string(t), 300 + t);
        ASSERT_EQ(1, writeBytes(300 + t, 0, warm, 0, 1));
        ASSERT_EQ(1, readBytes(300 + t, 0, warm, 0, 1));
    }
    int64_t waitsBefore = totalMB_Waits;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &failures] {
            JNIEnv* e = nullptr;
            std::string name = "io-worker-" + std::to_string(t);
            JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>(name.c_str()), nullptr};
            if (jvmh::vm()->AttachCurrentThread(reinterpret_cast<void**>(&e), &args) != JNI_OK) {
                failures++;
                return;
            }
            {
                NativeBuffer out(size), in(size);
                for (int r = 0; r < rounds; ++r) {
                    if (e->PushLocalFrame(16) != 0) {
                        failures++;
                        break;
                    }
                    out.pattern(static_cast<uint32_t>(t * 1000 + r));
                    jint w = jvmh::rio::write(300 + t, jlong(r) * size, out.buffer(e), 0, size);
                    if (e->ExceptionCheck()) {
                        e->ExceptionDescribe();
                        e->ExceptionClear();
                        failures++;
                    }
                    jint rd = jvmh::rio::read(300 + t, jlong(r) * size, in.buffer(e), 0, size);
                    if (e->ExceptionCheck()) {
                        e->ExceptionDescribe();
                        e->ExceptionClear();
                        failures++;
                    }
                    if (w != size || rd != size || std::memcmp(out.data(), in.data(), size) != 0) failures++;
                    e->PopLocalFrame(nullptr);
                }
            }
            jvmh::vm()->DetachCurrentThread();
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(0, failures.load());
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(rounds * size, sizeOf(300 + t));
        closeOk(300 + t);
    }
    // Every asynchronous write waited exactly once; the process-wide count
    // saw every one of them.
    EXPECT_EQ(waitsBefore + threads * rounds, totalMB_Waits);
}

TEST_F(RoundTrip, DataSurviveAPrimaryDaemonCrashDuringAWrite) {
    if (!instrumented()) GTEST_SKIP() << "needs instrumentation";
    jlong h = openOk("survivor", 50, {{"MaxReplicaCount", "2"}, {"RegionSize", "8388608"}});
    NativeBuffer first(1 << 20), second(1 << 20);
    first.pattern(71);
    second.pattern(72);
    ASSERT_EQ(1 << 20, writeBytes(h, 0, first, 0, 1 << 20));
    mb_client_storeinfo info;
    std::memset(&info, 0, sizeof info);
    int primaryBefore = -1;
    {
        mb_rqs rqs{MB_SUCC, MB_ERR_NONE};
        info.storehandle = replicatedContextArray[50].handle;
        mb_get_storeinfo(&rqs, replicatedContextArray[50].client_ctx, &info);
        ASSERT_EQ(MB_SUCC, rqs.status);
        primaryBefore = info.primary;
    }
    ASSERT_EQ(1, mbt_daemon_is_up(primaryBefore));

    faults_.set("tessera.qatest.crash_primary_daemon_during_writeTest");
    ASSERT_EQ(1 << 20, writeBytes(h, 1 << 20, second, 0, 1 << 20));
    faults_.clear("tessera.qatest.crash_primary_daemon_during_writeTest");
    EXPECT_FALSE(takeException().present);
    EXPECT_EQ(0, mbt_daemon_is_up(primaryBefore)) << "the write should have crashed the primary daemon";

    NativeBuffer back(2 << 20);
    ASSERT_EQ(2 << 20, readBytes(h, 0, back, 0, 2 << 20));
    EXPECT_EQ(0, std::memcmp(back.data(), first.data(), 1 << 20));
    EXPECT_EQ(0, std::memcmp(back.data() + (1 << 20), second.data(), 1 << 20));
    EXPECT_EQ(2 << 20, sizeOf(h));
    closeOk(h);
}
