package tessera.store.io.file;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.Callable;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicIntegerArray;

import org.junit.Test;

import tessera.store.io.file.direct.ReplicatedIONative;

/** The process-wide choice of native handles: exhaustion, reuse, concurrency. */
public class HandleAllocationTest {

    private static Map<String, String> config(long size) {
        return ReplicatedFileChannel.builder("unused").regionSize(size).configuration();
    }

    /** An allocator whose free handles are only the last {@code free} ones. */
    private static HandleAllocator onlyTopFree(int free) throws IOException {
        HandleAllocator a = new HandleAllocator(HandleAllocator.CAPACITY);
        for (int i = 0; i < HandleAllocator.CAPACITY - free; i++) {
            a.allocate();
        }
        return a;
    }

    @Test
    public void allTenThousandHandlesThenAClearFailure() throws IOException {
        HandleAllocator a = new HandleAllocator(HandleAllocator.CAPACITY);
        boolean[] seen = new boolean[HandleAllocator.CAPACITY];
        for (int i = 0; i < HandleAllocator.CAPACITY; i++) {
            int h = a.allocate();
            assertTrue("handle " + h, h >= 0 && h < HandleAllocator.CAPACITY);
            assertFalse("handle " + h + " given twice", seen[h]);
            seen[h] = true;
        }
        IOException e = assertThrows(IOException.class, a::allocate);
        assertTrue(e.getMessage(), e.getMessage().contains("10000"));
        a.release(4321);
        assertEquals("the freed handle comes back", 4321, a.allocate());
        assertThrows(IOException.class, a::allocate);
    }

    @Test
    public void releaseOfAFreeHandleIsAnError() throws IOException {
        HandleAllocator a = new HandleAllocator(10);
        int h = a.allocate();
        a.release(h);
        assertThrows(IllegalStateException.class, () -> a.release(h));
        assertThrows(IllegalStateException.class, () -> a.release(10));
        assertThrows(IllegalStateException.class, () -> a.release(-1));
        assertEquals(0, a.inUse());
    }

    @Test
    public void concurrentAllocationNeverHandsOutAHandleTwice() throws Exception {
        final int threads = 8;
        final int rounds = 20_000;
        final HandleAllocator a = new HandleAllocator(64);
        final AtomicIntegerArray owner = new AtomicIntegerArray(64);
        CyclicBarrier start = new CyclicBarrier(threads);
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            List<Future<Void>> done = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                final int id = t + 1;
                done.add(pool.submit((Callable<Void>) () -> {
                    start.await();
                    int[] held = new int[4];
                    for (int r = 0; r < rounds; r++) {
                        for (int k = 0; k < held.length; k++) {
                            held[k] = a.allocate();
                            assertTrue("handle " + held[k] + " already owned",
                                    owner.compareAndSet(held[k], 0, id));
                        }
                        for (int h : held) {
                            assertTrue(owner.compareAndSet(h, id, 0));
                            a.release(h);
                        }
                    }
                    return null;
                }));
            }
            for (Future<Void> f : done) {
                f.get();
            }
        } finally {
            pool.shutdown();
        }
        assertEquals(0, a.inUse());
    }

    @Test
    public void manyThreadsOpeningAndClosingChannels() throws Exception {
        final int threads = 8;
        final int rounds = 15;
        final int before = HandleAllocator.process().inUse();
        CyclicBarrier start = new CyclicBarrier(threads);
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            List<Future<Void>> done = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                final int id = t;
                done.add(pool.submit((Callable<Void>) () -> {
                    start.await();
                    for (int r = 0; r < rounds; r++) {
                        byte[] data = new byte[1000 + id];
                        Arrays.fill(data, (byte) (id * 16 + r));
                        String name = "concurrent-" + id + "-" + r;
                        try (ReplicatedFileChannel a = Regions.open(name, 65536);
                                ReplicatedFileChannel b = Regions.open(name + "-b", 65536)) {
                            assertTrue(HandleAllocator.process().isAllocated(a.handle()));
                            a.write(ByteBuffer.wrap(data), 0);
                            b.write(ByteBuffer.allocate(7), 0);
                            ByteBuffer back = ByteBuffer.allocate(data.length);
                            assertEquals(data.length, a.read(back, 0));
                            assertArrayEquals("region " + name, data, back.array());
                            assertEquals(7, b.size());
                        }
                    }
                    return null;
                }));
            }
            for (Future<Void> f : done) {
                f.get();
            }
        } finally {
            pool.shutdown();
        }
        assertEquals("every handle went back", before, HandleAllocator.process().inUse());
    }

    @Test
    public void exhaustionOfRealOpensAndReuseAfterClose() throws IOException {
        HandleAllocator a = onlyTopFree(2);
        ReplicatedFileChannel x = ReplicatedFileChannel.open(Regions.fresh("x"), config(65536), a);
        ReplicatedFileChannel y = ReplicatedFileChannel.open(Regions.fresh("y"), config(65536), a);
        assertEquals(9998, x.handle());
        assertEquals(9999, y.handle());
        IOException e = assertThrows(IOException.class,
                () -> ReplicatedFileChannel.open(Regions.fresh("z"), config(65536), a));
        assertTrue(e.getMessage(), e.getMessage().contains("no free replicated file handle"));
        x.close();
        try (ReplicatedFileChannel z = ReplicatedFileChannel.open(Regions.fresh("z"), config(65536), a)) {
            assertEquals(9998, z.handle());
            z.write(ByteBuffer.allocate(5), 0);
            assertEquals(5, z.size());
        }
        y.close();
        assertEquals(HandleAllocator.CAPACITY - 2, a.inUse());
    }

    @Test
    public void aHandleHeldOutsideTheApiIsReportedAndNotLeaked() throws IOException {
        HandleAllocator a = onlyTopFree(1);
        String[] keys = {"CandidateHandle", "RegionSize", "BlockSize", "MinReplicaCount", "MaxReplicaCount",
            "SleepWaitMilliSeconds"};
        String[] values = {"9999", "65536", "4096", "1", "2", "10"};
        NativeLibrary.load();
        assertEquals(9999L, ReplicatedIONative.open(Regions.fresh("foreign"), "rw", keys, values));
        try {
            IOException e = assertThrows(IOException.class,
                    () -> ReplicatedFileChannel.open(Regions.fresh("mine"), config(65536), a));
            assertTrue(e.getMessage(), e.getMessage().contains("9999") && e.getMessage().contains("not available"));
            assertFalse("the handle went back", a.isAllocated(9999));
        } finally {
            ReplicatedIONative.close(9999);
        }
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.open(Regions.fresh("mine"), config(65536), a)) {
            assertEquals(9999, ch.handle());
        }
    }

    @Test
    public void aFailedOpenFreesItsHandleForTheNextOpen() throws IOException {
        HandleAllocator a = onlyTopFree(1);
        Map<String, String> impossible = ReplicatedFileChannel.builder("unused").regionSize(65536)
                .minCopies(50).maxCopies(50).configuration();
        IOException e = assertThrows(IOException.class,
                () -> ReplicatedFileChannel.open(Regions.fresh("impossible"), impossible, a));
        assertTrue(e.getMessage(), e.getMessage().contains("impossible"));
        assertFalse(a.isAllocated(9999));
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.open(Regions.fresh("after"), config(65536), a)) {
            assertEquals(9999, ch.handle());
            ch.write(ByteBuffer.allocate(3), 0);
            assertEquals(3, ch.size());
        }
        Map<String, String> noCluster = ReplicatedFileChannel.builder("unused").regionSize(65536)
                .configFile("/nonexistent/tessera-cluster.cfg").configuration();
        assertThrows(IOException.class,
                () -> ReplicatedFileChannel.open(Regions.fresh("nocluster"), noCluster, a));
        assertFalse(a.isAllocated(9999));
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.open(Regions.fresh("after2"), config(65536), a)) {
            assertEquals(9999, ch.handle());
        }
    }
}
