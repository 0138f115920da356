package tessera.store.io.file;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.ClosedChannelException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicIntegerArray;

import org.junit.Test;
import org.junit.function.ThrowingRunnable;

import tessera.store.io.file.direct.ReplicatedIONative;

/** The channel's life cycle, limits, builder and handles, alone and under threads. */
public class ReplicatedFileChannelTest {

    static ByteBuffer text(String s) {
        return ByteBuffer.wrap(s.getBytes(StandardCharsets.UTF_8));
    }

    static ReplicatedFileChannel open(String name, long size) throws IOException {
        return ReplicatedFileChannel.builder(name).regionSize(size).open();
    }

    private static Map<String, String> config() {
        return ReplicatedFileChannel.builder("u").regionSize(65536).configuration();
    }

    /** Runs the jobs at once, each on a thread of its own; fails with the first that fails. */
    public static void concurrently(List<Callable<Void>> jobs) throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(jobs.size());
        try {
            for (Future<Void> f : pool.invokeAll(jobs)) {
                f.get();
            }
        } finally {
            pool.shutdown();
        }
    }

    @Test
    public void dataSurviveReopenAndAClosedChannelRefusesEverything() throws IOException {
        byte[] data = new byte[70_000];
        new Random(3).nextBytes(data);
        ReplicatedFileChannel first = open("reopen", 1 << 20);
        int handle = first.handle();
        assertEquals(data.length, first.write(ByteBuffer.wrap(data), 100));
        first.close();
        first.close();
        ByteBuffer b = ByteBuffer.allocate(4);
        for (ThrowingRunnable r : new ThrowingRunnable[] {() -> first.read(b), () -> first.read(b, 0),
            () -> first.write(text("x")), () -> first.write(text("x"), 0), first::size, first::position,
            () -> first.position(1), () -> first.truncate(10), first::deviceLimit, first::deviceUsed}) {
            assertThrows(ClosedChannelException.class, r);
        }
        try (ReplicatedFileChannel ch = open("reopen", 1 << 20)) {
            assertEquals("the lowest free handle is reused", handle, ch.handle());
            assertEquals(100 + data.length, ch.size());
            ByteBuffer back = ByteBuffer.allocateDirect(data.length + 100);
            assertEquals(data.length + 100, ch.read(back, 0));
            byte[] got = new byte[back.flip().remaining()];
            back.get(got);
            assertArrayEquals(new byte[100], Arrays.copyOf(got, 100));
            assertArrayEquals(data, Arrays.copyOfRange(got, 100, got.length));
        }
        // a channel dropped without a close is closed once the collector finds it: its connection comes back
        int live = StandIn.liveConnections();
        assertTrue(openAndDrop("dropped") >= 0);
        assertEquals(live + 1, StandIn.liveConnections());
        for (long deadline = System.nanoTime() + 30_000_000_000L;
                StandIn.liveConnections() > live && System.nanoTime() < deadline;) {
            System.gc();
        }
        assertEquals(live, StandIn.liveConnections());
    }

    /** Opens a channel and lets go of it without a close; its handle. */
    private static int openAndDrop(String name) throws IOException {
        return open(name, 4096).handle();
    }

    @Test
    public void argumentsAndLimitsAreCheckedLikeFileChannel() throws IOException {
        try (ReplicatedFileChannel ch = open("args", 8192)) {
            ch.write(text("0123456789"), 0);
            assertThrows(IllegalArgumentException.class, () -> ch.read(ByteBuffer.allocate(4).asReadOnlyBuffer()));
            assertThrows(IllegalArgumentException.class,
                    () -> ch.read(ByteBuffer.allocateDirect(4).asReadOnlyBuffer(), 0));
            assertThrows(IllegalArgumentException.class, () -> ch.read(ByteBuffer.allocate(1), -1));
            assertThrows(IllegalArgumentException.class, () -> ch.write(text("x"), -1));
            assertThrows(IllegalArgumentException.class, () -> ch.position(-1));
            assertEquals("a read-only source is fine", 3, ch.write(text("abc").asReadOnlyBuffer(), 2));
            long max = ReplicatedFileChannel.MAX_REGION_SIZE;
            IOException far = assertThrows(IOException.class, () -> ch.write(text("ab"), max - 1));
            assertTrue(far.getMessage(), far.getMessage().contains(Long.toString(max)));
            assertEquals(-1, ch.read(ByteBuffer.allocateDirect(8), 1L << 32));
            IOException full = assertThrows(IOException.class, () -> ch.write(ByteBuffer.allocate(100), 8150));
            assertTrue(full.getMessage(), full.getMessage().contains("args"));
            ch.position(50);
            assertEquals(ch, ch.truncate(20));
            assertEquals("the position is clamped", 20, ch.position());
            IOException shrink = assertThrows(IOException.class, () -> ch.truncate(5));
            assertTrue(shrink.getMessage(), shrink.getMessage().contains("cannot shrink"));
            ByteBuffer b = ByteBuffer.allocate(10);
            ch.read(b, 0);
            assertEquals("01abc56789", new String(b.array(), StandardCharsets.UTF_8));
            assertTrue(ch.deviceUsed() > 0 && ch.deviceUsed() <= ch.deviceLimit());
        }
    }

    @Test
    public void theBuilderPassesEveryKeyAndRefusesWhatTheDeviceCannotTake() {
        Map<String, String> cfg = ReplicatedFileChannel.builder("r").regionSize(1 << 20).blockSize(8192)
                .minCopies(2).maxCopies(3).address("127.0.0.1").port(7001).localIndex(1).configFile("/etc/c.cfg")
                .busyWaitMicros(50).sleepWaitMillis(20).storeConfigName("orders").ioBufferSize(65536)
                .configuration();
        assertEquals(List.of("StoreConfigName=orders", "Address=127.0.0.1", "BlockSize=8192",
                "BusyWaitMicroSeconds=50", "ConfigFileName=/etc/c.cfg", "IoBufferSize=65536", "LocalIndex=1",
                "MaxReplicaCount=3", "MinReplicaCount=2", "Port=7001", "RegionSize=1048576",
                "SleepWaitMilliSeconds=20"), cfg.entrySet().stream().map(Object::toString).toList());
        assertThrows(IllegalArgumentException.class,
                () -> ReplicatedFileChannel.builder("r").regionSize(ReplicatedFileChannel.MAX_REGION_SIZE + 1));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").regionSize(0));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder(""));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").address("1.2.3.256"));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").port(65536));
        assertThrows(IllegalStateException.class, () -> ReplicatedFileChannel.builder("r").open());
        assertThrows(IllegalStateException.class,
                () -> ReplicatedFileChannel.builder("r").regionSize(10).minCopies(3).maxCopies(2).configuration());
    }

    @Test
    public void handlesRunOutClearlyAndComeBackAfterEveryFailure() throws IOException {
        HandleAllocator a = new HandleAllocator(HandleAllocator.CAPACITY);
        for (int i = 0; i < HandleAllocator.CAPACITY - 2; i++) {
            a.allocate();
        }
        assertThrows(IllegalStateException.class, () -> a.release(9999));
        ReplicatedFileChannel x = ReplicatedFileChannel.open("hx", config(), a);
        ReplicatedFileChannel y = ReplicatedFileChannel.open("hy", config(), a);
        assertEquals(9999, y.handle());
        IOException none = assertThrows(IOException.class, () -> ReplicatedFileChannel.open("hz", config(), a));
        assertTrue(none.getMessage(), none.getMessage().contains("no free replicated file handle"));
        y.close();
        // a handle held outside the API is reported and not leaked
        String[][] c = BridgeIoTest.config(9999, "RegionSize", "65536");
        assertEquals(9999L, ReplicatedIONative.open("foreign", "rw", c[0], c[1]));
        try {
            IOException e = assertThrows(IOException.class, () -> ReplicatedFileChannel.open("mine", config(), a));
            assertTrue(e.getMessage(), e.getMessage().contains("9999") && e.getMessage().contains("not available"));
        } finally {
            ReplicatedIONative.close(9999);
        }
        // failed opens give their handle back
        Map<String, String> impossible = ReplicatedFileChannel.builder("u").regionSize(65536).minCopies(50)
                .maxCopies(50).configuration();
        assertThrows(IOException.class, () -> ReplicatedFileChannel.open("impossible", impossible, a));
        Map<String, String> noCluster = ReplicatedFileChannel.builder("u").regionSize(65536)
                .configFile("/nonexistent/cluster.cfg").configuration();
        assertThrows(IOException.class, () -> ReplicatedFileChannel.open("nocluster", noCluster, a));
        assertEquals(HandleAllocator.CAPACITY - 1, a.inUse());
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.open("after", config(), a)) {
            assertEquals(9999, ch.handle());
        }
        x.close();
    }

    @Test
    public void allocationOpensAndSharedChannelsUnderThreads() throws Exception {
        HandleAllocator small = new HandleAllocator(64);
        AtomicIntegerArray owner = new AtomicIntegerArray(64);
        int before = HandleAllocator.process().inUse();
        List<Callable<Void>> jobs = new ArrayList<>();
        try (ReplicatedFileChannel shared = open("shared", 8 << 20)) {
            for (int t = 0; t < 8; t++) {
                int id = t + 1;
                jobs.add(() -> {
                    for (int r = 0; r < 5000; r++) {
                        int h = small.allocate();
                        assertTrue("handle " + h + " given twice", owner.compareAndSet(h, 0, id));
                        assertTrue(owner.compareAndSet(h, id, 0));
                        small.release(h);
                    }
                    byte[] data = new byte[3001];
                    for (int r = 0; r < 60; r++) {
                        Arrays.fill(data, (byte) (id * 31 + r));
                        long pos = (long) (r * 8 + id - 1) * data.length;
                        ByteBuffer src = (r & 1) == 0 ? ByteBuffer.wrap(data)
                                : ByteBuffer.allocateDirect(data.length).put(data).flip();
                        assertEquals(data.length, shared.write(src, pos));
                        ByteBuffer back = ByteBuffer.allocate(data.length);
                        assertEquals(data.length, shared.read(back, pos));
                        assertArrayEquals(data, back.array());
                        if (r % 10 == 0) {
                            try (ReplicatedFileChannel own = open("own-" + id + "-" + r, 65536)) {
                                own.write(ByteBuffer.wrap(data), 0);
                                assertEquals(data.length, own.size());
                            }
                        }
                    }
                    return null;
                });
            }
            concurrently(jobs);
            assertEquals(8L * 60 * 3001, shared.size());
        }
        assertEquals(0, small.inUse());
        assertEquals("every handle went back", before, HandleAllocator.process().inUse());
    }
}
