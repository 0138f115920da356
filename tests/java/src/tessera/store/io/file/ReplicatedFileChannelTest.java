package tessera.store.io.file;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotEquals;
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
import java.util.concurrent.Callable;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.Test;

/** Channel behaviour beyond plain reads and writes: life cycle, limits, sharing, the builder. */
public class ReplicatedFileChannelTest {

    private static ByteBuffer text(String s) {
        return ByteBuffer.wrap(s.getBytes(StandardCharsets.UTF_8));
    }

    // ---- life cycle ----

    @Test
    public void dataAndSizeSurviveCloseAndReopen() throws IOException {
        String name = Regions.fresh("reopen");
        byte[] data = new byte[70_000];
        new java.util.Random(3).nextBytes(data);
        try (ReplicatedFileChannel ch = Regions.open(name, 1 << 20)) {
            assertEquals(data.length, ch.write(ByteBuffer.wrap(data), 100));
            assertEquals(100 + data.length, ch.size());
        }
        try (ReplicatedFileChannel ch = Regions.open(name, 1 << 20)) {
            assertEquals(100 + data.length, ch.size());
            ByteBuffer back = ByteBuffer.allocateDirect(data.length + 100);
            assertEquals(data.length + 100, ch.read(back, 0));
            back.flip();
            byte[] got = new byte[data.length + 100];
            back.get(got);
            assertArrayEquals(new byte[100], Arrays.copyOf(got, 100));
            assertArrayEquals(data, Arrays.copyOfRange(got, 100, got.length));
        }
    }

    @Test
    public void everyOperationAfterCloseThrowsClosedChannelException() throws IOException {
        ReplicatedFileChannel ch = Regions.open(Regions.fresh("closed"), 65536);
        ch.write(text("abc"), 0);
        assertTrue(ch.isOpen());
        ch.close();
        assertFalse(ch.isOpen());
        ch.close(); // a second close does nothing
        ByteBuffer b = ByteBuffer.allocate(4);
        assertThrows(ClosedChannelException.class, () -> ch.read(b));
        assertThrows(ClosedChannelException.class, () -> ch.read(b, 0));
        assertThrows(ClosedChannelException.class, () -> ch.write(text("x")));
        assertThrows(ClosedChannelException.class, () -> ch.write(text("x"), 0));
        assertThrows(ClosedChannelException.class, ch::size);
        assertThrows(ClosedChannelException.class, ch::position);
        assertThrows(ClosedChannelException.class, () -> ch.position(1));
        assertThrows(ClosedChannelException.class, () -> ch.truncate(10));
        assertThrows(ClosedChannelException.class, ch::deviceLimit);
        assertThrows(ClosedChannelException.class, ch::deviceUsed);
    }

    @Test
    public void closedChannelsHandleServesTheNextOpen() throws IOException {
        String a = Regions.fresh("first");
        ReplicatedFileChannel first = Regions.open(a, 65536);
        int handle = first.handle();
        first.write(text("first"), 0);
        first.close();
        try (ReplicatedFileChannel second = Regions.open(Regions.fresh("second"), 65536)) {
            assertEquals("lowest free handle is reused", handle, second.handle());
            assertEquals("a new region starts empty", 0, second.size());
            second.write(text("2nd"), 0);
            ByteBuffer b = ByteBuffer.allocate(3);
            assertEquals(3, second.read(b, 0));
            assertEquals("2nd", new String(b.array(), StandardCharsets.UTF_8));
        }
        try (ReplicatedFileChannel again = Regions.open(a, 65536)) {
            ByteBuffer b = ByteBuffer.allocate(10);
            assertEquals(5, again.read(b, 0));
            assertEquals("first", new String(b.array(), 0, 5, StandardCharsets.UTF_8));
        }
    }

    // ---- limits and argument checks ----

    @Test
    public void argumentsAreCheckedLikeFileChannel() throws IOException {
        try (ReplicatedFileChannel ch = Regions.open(Regions.fresh("args"), 65536)) {
            ch.write(text("0123456789"), 0);
            ByteBuffer ro = ByteBuffer.allocate(4).asReadOnlyBuffer();
            assertThrows(IllegalArgumentException.class, () -> ch.read(ro, 0));
            assertThrows(IllegalArgumentException.class, () -> ch.read(ro));
            ByteBuffer roDirect = ByteBuffer.allocateDirect(4).asReadOnlyBuffer();
            assertThrows(IllegalArgumentException.class, () -> ch.read(roDirect, 0));
            assertThrows(IllegalArgumentException.class, () -> ch.read(ByteBuffer.allocate(1), -1));
            assertThrows(IllegalArgumentException.class, () -> ch.write(text("x"), -1));
            assertThrows(IllegalArgumentException.class, () -> ch.position(-1));
            // a read-only source is fine for a write
            assertEquals(3, ch.write(text("abc").asReadOnlyBuffer(), 2));
            ByteBuffer b = ByteBuffer.allocate(10);
            ch.read(b, 0);
            assertEquals("01abc56789", new String(b.array(), StandardCharsets.UTF_8));
        }
    }

    @Test
    public void transfersBeyondTheLargestRegionAreRefused() throws IOException {
        try (ReplicatedFileChannel ch = Regions.open(Regions.fresh("far"), 65536)) {
            long max = ReplicatedFileChannel.MAX_REGION_SIZE;
            IOException e = assertThrows(IOException.class, () -> ch.write(text("ab"), max - 1));
            assertTrue(e.getMessage(), e.getMessage().contains(Long.toString(max)));
            assertThrows(IOException.class, () -> ch.write(ByteBuffer.allocateDirect(1), 1L << 32));
            assertEquals(-1, ch.read(ByteBuffer.allocate(8), max));
            assertEquals(-1, ch.read(ByteBuffer.allocateDirect(8), 1L << 32));
            assertEquals("nothing was written", 0, ch.size());
        }
    }

    @Test
    public void aWriteBeyondTheRegionFailsWithTheStoresReason() throws IOException {
        String name = Regions.fresh("small");
        try (ReplicatedFileChannel ch = Regions.open(name, 8192)) {
            ch.write(text("ok"), 0);
            IOException e = assertThrows(IOException.class, () -> ch.write(ByteBuffer.allocate(100), 8150));
            assertTrue(e.getMessage(), e.getMessage().contains(name));
            assertEquals("the file did not grow", 2, ch.size());
            ch.write(text("still usable"), 2);
            assertEquals(14, ch.size());
        }
    }

    @Test
    public void truncateNeverShrinksButClampsThePosition() throws IOException {
        try (ReplicatedFileChannel ch = Regions.open(Regions.fresh("trunc"), 65536)) {
            ch.write(text("0123456789"), 0);
            ch.position(50);
            assertEquals(ch, ch.truncate(20));
            assertEquals(20, ch.position());
            assertEquals(10, ch.size());
            ch.truncate(10);
            assertEquals(10, ch.position());
            IOException e = assertThrows(IOException.class, () -> ch.truncate(5));
            assertTrue(e.getMessage(), e.getMessage().contains("cannot shrink"));
            assertEquals(10, ch.size());
            assertThrows(IllegalArgumentException.class, () -> ch.truncate(-1));
        }
    }

    @Test
    public void deviceFiguresComeFromTheLocalDaemon() throws IOException {
        try (ReplicatedFileChannel ch = Regions.open(Regions.fresh("figures"), 1 << 20)) {
            ch.write(ByteBuffer.allocate(300_000), 0);
            long limit = ch.deviceLimit();
            long used = ch.deviceUsed();
            assertTrue("limit " + limit, limit > 0);
            assertTrue("used " + used + " limit " + limit, used > 0 && used <= limit);
        }
    }

    // ---- sharing ----

    @Test
    public void threadsSharingOneChannelAreSerialised() throws Exception {
        final int threads = 4;
        final int rounds = 200;
        final int piece = 3001;
        try (ReplicatedFileChannel ch = Regions.open(Regions.fresh("shared"), 8 << 20)) {
            CyclicBarrier start = new CyclicBarrier(threads);
            ExecutorService pool = Executors.newFixedThreadPool(threads);
            try {
                List<Future<Void>> done = new ArrayList<>();
                for (int t = 0; t < threads; t++) {
                    final int id = t;
                    done.add(pool.submit((Callable<Void>) () -> {
                        start.await();
                        byte[] data = new byte[piece];
                        for (int r = 0; r < rounds; r++) {
                            Arrays.fill(data, (byte) (id * 31 + r));
                            long pos = (long) (r * threads + id) * piece;
                            ByteBuffer src = (r & 1) == 0 ? ByteBuffer.wrap(data)
                                    : ByteBuffer.allocateDirect(piece).put(data).flip();
                            assertEquals(piece, ch.write(src, pos));
                            ByteBuffer back = ByteBuffer.allocate(piece);
                            assertEquals(piece, ch.read(back, pos));
                            assertArrayEquals(data, back.array());
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
            assertEquals((long) threads * rounds * piece, ch.size());
            ByteBuffer all = ByteBuffer.allocate(threads * rounds * piece);
            assertEquals(all.capacity(), ch.read(all, 0));
            for (int r = 0; r < rounds; r++) {
                for (int t = 0; t < threads; t++) {
                    int off = (r * threads + t) * piece;
                    assertEquals("round " + r + " thread " + t, (byte) (t * 31 + r), all.get(off));
                    assertEquals((byte) (t * 31 + r), all.get(off + piece - 1));
                }
            }
        }
    }

    // ---- builder ----

    @Test
    public void builderPassesEveryKeyByItsExactName() {
        Map<String, String> cfg = ReplicatedFileChannel.builder("r")
                .regionSize(1 << 20).blockSize(8192).minCopies(2).maxCopies(3)
                .address("127.0.0.1").port(7001).localIndex(1).configFile("/etc/cluster.cfg")
                .busyWaitMicros(50).sleepWaitMillis(20).storeConfigName("orders").ioBufferSize(65536)
                .configuration();
        assertEquals(Arrays.asList("StoreConfigName", "Address", "BlockSize", "BusyWaitMicroSeconds",
                "ConfigFileName", "IoBufferSize", "LocalIndex", "MaxReplicaCount", "MinReplicaCount", "Port",
                "RegionSize", "SleepWaitMilliSeconds"), new ArrayList<>(cfg.keySet()));
        assertEquals(Arrays.asList("orders", "127.0.0.1", "8192", "50", "/etc/cluster.cfg", "65536", "1", "3",
                "2", "7001", "1048576", "20"), new ArrayList<>(cfg.values()));
        assertFalse("the handle is never the user's", cfg.containsKey("CandidateHandle"));
        assertEquals("the embedded cluster", "",
                ReplicatedFileChannel.builder("r").regionSize(10).configuration().get("ConfigFileName"));
    }

    @Test
    public void builderRefusesWhatTheDeviceCannotTake() {
        IllegalArgumentException big = assertThrows(IllegalArgumentException.class,
                () -> ReplicatedFileChannel.builder("r").regionSize(ReplicatedFileChannel.MAX_REGION_SIZE + 1));
        assertTrue(big.getMessage(), big.getMessage().contains("largest region"));
        ReplicatedFileChannel.builder("r").regionSize(ReplicatedFileChannel.MAX_REGION_SIZE);
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").regionSize(0));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder(""));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("x".repeat(256)));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").address("1.2.3"));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").address("1.2.3.256"));
        assertThrows(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder("r").port(65536));
        assertThrows(IllegalArgumentException.class,
                () -> ReplicatedFileChannel.builder("r").configFile("/" + "d".repeat(255)));
        IllegalStateException noSize = assertThrows(IllegalStateException.class,
                () -> ReplicatedFileChannel.builder("r").open());
        assertTrue(noSize.getMessage(), noSize.getMessage().contains("region size"));
        assertThrows(IllegalStateException.class,
                () -> ReplicatedFileChannel.builder("r").regionSize(10).minCopies(3).maxCopies(2).configuration());
    }

    @Test
    public void differentRegionsDoNotSeeEachOther() throws IOException {
        try (ReplicatedFileChannel a = Regions.open(Regions.fresh("a"), 65536);
                ReplicatedFileChannel b = Regions.open(Regions.fresh("b"), 65536)) {
            assertNotEquals(a.handle(), b.handle());
            a.write(text("aaaa"), 0);
            b.write(text("bb"), 0);
            ByteBuffer x = ByteBuffer.allocate(8);
            assertEquals(4, a.read(x, 0));
            assertEquals(2, b.size());
        }
    }
}
