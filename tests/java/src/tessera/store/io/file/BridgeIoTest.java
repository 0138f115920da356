package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;
import static org.junit.Assume.assumeTrue;
import static tessera.store.io.file.StandIn.*;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.function.IntSupplier;

import org.junit.After;
import org.junit.Before;
import org.junit.Test;
import org.junit.function.ThrowingRunnable;

import tessera.store.io.file.direct.NativeCallbacks;
import tessera.store.io.file.direct.ReplicatedIONative;

/**
 * The file device's natives against the stand-in: configuration, open and
 * close, the asynchronous engine, the read and write paths, device figures
 * and fault injection (active when the JVM runs with instrumentation).
 */
public class BridgeIoTest {
    static final boolean INSTRUMENTED = "true".equals(System.getProperty("tessera.store.instrumentation"));
    private final List<Long> opened = new ArrayList<>();
    private final List<String> flags = new ArrayList<>();

    @Before
    public void fresh() {
        reset();
        journal(true);
    }

    @After
    public void closeAll() {
        flags.forEach(System::clearProperty);
        for (long h : opened) {
            try {
                ReplicatedIONative.close(h);
            } catch (Exception e) {
                // a test that failed on purpose may leave a handle that cannot close
            }
        }
        reset();
    }

    static String[][] config(int handle, String... kv) {
        String[][] c = new String[2][kv.length / 2 + 1];
        c[0][0] = "CandidateHandle";
        c[1][0] = Integer.toString(handle);
        for (int i = 0; i < kv.length; i += 2) {
            c[0][i / 2 + 1] = kv[i];
            c[1][i / 2 + 1] = kv[i + 1];
        }
        return c;
    }

    long open(String name, int handle, String... kv) {
        String[][] c = config(handle, kv);
        long h = ReplicatedIONative.open(name, "rw", c[0], c[1]);
        assertEquals(handle, h);
        opened.add(h);
        return h;
    }

    static ByteBuffer data(int n, int seed) {
        ByteBuffer b = ByteBuffer.allocateDirect(n);
        for (int i = 0; i < n; i++) {
            b.put(i, (byte) (i * 31 + seed));
        }
        return b;
    }

    static ByteBuffer junk(int n) {
        ByteBuffer b = ByteBuffer.allocateDirect(n);
        for (int i = 0; i < n; i++) {
            b.put(i, (byte) 0x5a);
        }
        return b;
    }

    static int write(long h, long pos, ByteBuffer b) {
        return ReplicatedIONative.write(h, pos, b, 0, b.capacity());
    }

    static int read(long h, long pos, ByteBuffer b) {
        return ReplicatedIONative.read(h, pos, b, 0, b.capacity());
    }

    /** The IOException that {@code r} throws; its text contains every one of {@code parts}. */
    static IOException io(ThrowingRunnable r, String... parts) {
        IOException e = assertThrows(IOException.class, r);
        for (String p : parts) {
            assertTrue(e.getMessage() + " should contain " + p, e.getMessage().contains(p));
        }
        return e;
    }

    static String status(int error) {
        return "(status=2 error=" + error + " ";
    }

    void flag(String key) {
        System.setProperty(key, "true");
        flags.add(key);
    }

    // ---- open and close ----

    @Test
    public void refusedConfigurationsReachNothing() {
        String[] k = {"CandidateHandle"};
        String[] v = {"1"};
        io(() -> ReplicatedIONative.open("r", "rw", null, v), "Error, configuration null");
        io(() -> ReplicatedIONative.openConsiderLock("r", "rw", false, k, null), "Error, configuration null");
        io(() -> ReplicatedIONative.open("r", "rw", new String[] {"CandidateHandle", null}, new String[] {"1", "2"}),
                "Error, configuration null");
        io(() -> ReplicatedIONative.open(null, "rw", k, v), "Error transforming string");
        io(() -> ReplicatedIONative.open("r", null, new String[] {"CandidateHandle", "BlockSize"}, new String[] {"1",
            "2", "3"}), "Keys and values count do not match");
        // no usable handle: -1 without an exception
        String[][] bad = {{}, {"BlockSize", "4096"}, {"CandidateHandle", ""}, {"CandidateHandle", "10000"},
            {"CandidateHandle", "-1"}, {"CandidateHandle", "4294967296"}, {"candidatehandle", "1"}};
        for (String[] kv : bad) {
            String[] keys = kv.length == 0 ? new String[0] : new String[] {kv[0]};
            String[] values = kv.length == 0 ? new String[0] : new String[] {kv[1]};
            assertEquals(String.join("=", kv), -1, ReplicatedIONative.open("r", "rw", keys, values));
        }
        assertEquals(List.of(), take());
        // a handle in use is refused the same way, and its file is untouched
        long h = open("first", 5);
        write(h, 0, data(10, 1));
        String[][] c = config(5);
        assertEquals(-1, ReplicatedIONative.open("second", "rw", c[0], c[1]));
        assertEquals(10, ReplicatedIONative.getSize(h));
    }

    @Test
    public void configurationReachesTheClientLibrary() {
        open("cfg%s%n", 3, "Address", "127.1.2.3", "BlockSize", "8192", "BusyWaitMicroSeconds", "7",
                "IoBufferSize", "65536", "LocalIndex", "1", "MaxReplicaCount", "3xyz", "MinReplicaCount", "  +2",
                "Port", "7001", "RegionSize", "33554432", "SleepWaitMilliSeconds", "11", "blocksize", "1");
        List<String> lines = take("mb_init", "mb_openstore");
        assertTrue(lines.get(0), lines.get(0).matches("mb_init trace_level=\\d ip=0x0302017f localport=0x591b "
                + "localindex=1 busywait=7 timeout=11 ccb=1 cfg_filename="));
        assertEquals("mb_openstore client=1 min=2 max=3 flags=6 size=33554432 blocksize=8192 name=cfg%s%n",
                lines.get(1));
        // openConsiderLock is open; the mode is ignored
        String[][] c = config(4);
        assertEquals(4, ReplicatedIONative.openConsiderLock("locked", "anything", true, c[0], c[1]));
        opened.add(4L);
        assertEquals(List.of("mb_openstore client=2 min=0 max=0 flags=6 size=0 blocksize=0 name=locked"),
                take("mb_openstore"));
    }

    @Test
    public void closeReopenAndTheFileLength() {
        long h = open("life", 12);
        assertEquals(0, ReplicatedIONative.getSize(h));
        assertEquals(4096, write(h, 0, data(4096, 3)));
        assertEquals(4096, ReplicatedIONative.getSize(h));
        take();
        ReplicatedIONative.close(h);
        assertEquals(List.of("mb_closestore", "mb_fini"), takeOps());
        ReplicatedIONative.close(h);
        assertEquals("a second close does nothing", List.of(), take());
        assertEquals("the last length stays", 4096, ReplicatedIONative.getSize(h));
        assertEquals(0, liveConnections());
        // out of the table: -1 and no exception; closes do nothing
        assertEquals(0, ReplicatedIONative.getSize(42));
        for (long bad : new long[] {10000, -1, 1L << 40}) {
            assertEquals(-1, ReplicatedIONative.getSize(bad));
            ReplicatedIONative.close(bad);
        }
        // the handle serves another region from a clean start; the data stay
        assertEquals(0, ReplicatedIONative.getSize(open("other", 12)));
        ReplicatedIONative.close(12);
        long again = open("life", 13);
        assertEquals(4096, ReplicatedIONative.getSize(again));
        ByteBuffer back = ByteBuffer.allocateDirect(4096);
        assertEquals(4096, read(again, 0, back));
        assertEquals(data(4096, 3), back);
    }

    @Test
    public void failedOpensRaiseOneExceptionAndFreeTheirConnection() {
        String[][] c = config(6, "ConfigFileName", "/nonexistent/bridge.cfg");
        io(() -> ReplicatedIONative.open("nocfg", "rw", c[0], c[1]), "populateConfig mb_init failed",
                status(NOCFG));
        assertEquals(0, liveConnections());
        open("nocfg", 6);

        force("mb_openstore", 1, FAIL, NOMEM);
        String[][] d = config(20);
        io(() -> ReplicatedIONative.open("full", "rw", d[0], d[1]), "mb_openstore failed. Store name=full",
                status(NOMEM));
        try {
            ReplicatedIONative.close(20);
        } catch (Exception e) {
            // a close of the failed open may report that nothing is open
        }
        open("full", 20);

        // the store information fails and so does the close that cleans up:
        // Java sees the open's failure
        force("mb_get_storeinfo", 1, FAIL, OTHER);
        force("mb_closestore", 1, FAIL, TIMEDOUT);
        String[][] e = config(21);
        io(() -> ReplicatedIONative.open("twofail", "rw", e[0], e[1]), "mb_get_storeinfo failed", status(OTHER));
        open("noinfo", 21);
    }

    // ---- the asynchronous engine ----

    private long engine() {
        long h = open("eng", 1, "SleepWaitMilliSeconds", "3", "BusyWaitMicroSeconds", "4");
        assertEquals(65536, write(h, 0, data(65536, 42)));
        take();
        return h;
    }

    private static void assertData(ByteBuffer got, int from, int seed) {
        ByteBuffer want = data(from + got.capacity(), seed).position(from);
        assertEquals(want, got.clear());
    }

    @Test
    public void submissionRetry() {
        long h = engine();
        ByteBuffer b = ByteBuffer.allocateDirect(4096);
        for (String op : new String[] {"mb_read", "mb_write"}) {
            script(op, -1, submit(RETRY, 0));
            IntSupplier call = op.equals("mb_read") ? () -> read(h, 0, b) : () -> write(h, 65536, b);
            io(call::getAsInt, "Failed to", "(status=3 error=0 ");
            List<String> ops = takeOps(op, "mb_wait");
            assertEquals(1025, Collections.frequency(ops, op));
            assertEquals(1024, Collections.frequency(ops, "mb_wait"));
            script(op, 0, submit(RETRY, 0));
        }
        assertEquals("a failed write leaves the length", 65536, ReplicatedIONative.getSize(h));
        // unknown statuses are retried too
        script("mb_read", 2, submit(77, 0));
        assertEquals(1000, ReplicatedIONative.read(h, 500, b, 0, 1000));
        assertEquals(3, takeOps("mb_read").size());
        assertData(b.limit(1000).slice(), 500, 42);
        // a first refusal is not retried; the operation record's error wins
        int[] refused = submit(FAIL, OTHER);
        refused[2] = FAIL;
        refused[3] = ACCESS;
        script("mb_write", 1, refused);
        io(() -> write(h, 0, b), "retriedWrite Failed to write", status(ACCESS));
        assertEquals(List.of("mb_write"), takeOps("mb_write", "mb_wait"));
    }

    @Test
    public void blocksNeverWrittenReadAsZerosOnlyWhenRefusedAsEmpty() {
        long h = engine();
        write(h, 4 << 20, data(16, 5));
        take();
        ByteBuffer b = junk(8192);
        assertEquals(8192, read(h, 1 << 20, b));
        assertEquals(ByteBuffer.allocateDirect(8192), b.clear());
        assertEquals(List.of("mb_read"), takeOps("mb_read", "mb_wait"));
        int[] empty = submit(FAIL, EMPTYBLOCK);
        empty[2] = FAIL;
        empty[3] = EMPTYBLOCK;
        script("mb_read", 1, empty);
        ByteBuffer junk = junk(120);
        assertEquals(100, ReplicatedIONative.read(h, 0, junk, 10, 100));
        assertEquals(0x5a, junk.get(9));
        assertEquals(0, junk.get(10));
        assertEquals(0, junk.get(109));
        assertEquals(0x5a, junk.get(110));
        // an empty block reported any other way is a failure and zeroes nothing
        int[] accepted = submit(INPROG, 0);
        accepted[2] = FAIL;
        accepted[3] = EMPTYBLOCK;
        int[] completed = accepted.clone();
        completed[0] = SUCC;
        for (int[] s : new int[][] {notified(0, FAIL, EMPTYBLOCK, false), accepted, completed}) {
            script("mb_read", 1, s);
            io(() -> ReplicatedIONative.read(h, 0, junk, 10, 100), "retriedRead Failed to read", status(EMPTYBLOCK));
            assertEquals(0x5a, junk.get(0));
        }
    }

    @Test
    public void completionByNotificationInlineOrNone() {
        long h = engine();
        ByteBuffer b = ByteBuffer.allocateDirect(5000);
        script("mb_read", 1, notified(3, SUCC, 0, true));
        assertEquals(5000, read(h, 300, b));
        assertData(b, 300, 42);
        assertEquals(3, Collections.frequency(takeOps("mb_wait"), "mb_wait"));
        script("mb_write", 1, notified(2, SUCC, 0, true));
        assertEquals(3000, write(h, 100, data(3000, 77)));
        assertEquals(2, take("mb_wait").size());
        inlineCompletion(true);
        ByteBuffer back = ByteBuffer.allocateDirect(3000);
        assertEquals(3000, read(h, 100, back));
        assertEquals(data(3000, 77), back.clear());
        inlineCompletion(false);
        // completed at submission without a notification, and notified
        // inside the submission: no wait either way
        int[] done = submit(SUCC, 0);
        done[2] = SUCC;
        done[8] = 1;
        script("mb_read", 1, done);
        script("mb_write", 1, done);
        assertEquals(3000, read(h, 100, back));
        assertEquals(3000, write(h, 100, back));
        script("mb_read", 1, notified(0, SUCC, 0, true));
        assertEquals(3000, read(h, 100, back));
        assertEquals(data(3000, 77), back.clear());
        assertEquals(List.of(), take("mb_wait"));
    }

    @Test
    public void failedNotificationsRaiseOneExceptionAndLeaveTheLength() {
        long h = engine();
        ByteBuffer b = ByteBuffer.allocateDirect(4096);
        script("mb_read", 1, notified(1, FAIL, OTHER, false));
        io(() -> read(h, 0, b), "retriedRead Failed to read", status(OTHER));
        int[] twice = notified(0, FAIL, OTHER, false);
        twice[4] = 2;
        script("mb_write", 1, twice);
        io(() -> write(h, 65536, b), "fileio_internal_write Failed to write", status(OTHER));
        assertEquals(65536, ReplicatedIONative.getSize(h));
    }

    @Test
    public void lateNotificationsFindTheFailedOperationsRecords() {
        long h = engine();
        List<String> lines = new ArrayList<>();
        NativeCallbacks.setSink((channel, line) -> lines.add(line));
        try {
            int[] late = {INPROG, 0, FAIL, OTHER, 1, 1, SUCC, 0, 0};
            script("mb_write", 1, late);
            io(() -> write(h, 0, data(4096, 1)), "fileio_internal_write Failed to write", status(OTHER));
            assertEquals(1, pendingNotifications());
            // the next operation's wait delivers it; that operation is unaffected
            assertEquals(4096, write(h, 8192, data(4096, 2)));
            assertEquals(0, pendingNotifications());
            late[6] = FAIL;
            late[7] = TIMEDOUT;
            script("mb_read", 1, late);
            ByteBuffer b = ByteBuffer.allocateDirect(4096);
            io(() -> read(h, 0, b), "retriedRead Failed to read", status(OTHER));
            assertEquals(4096, read(h, 8192, b));
            assertEquals(data(4096, 2), b.clear());
            assertEquals(0, pendingNotifications());
        } finally {
            NativeCallbacks.setSink(null);
        }
        if (Boolean.getBoolean("tessera.debug.DebugStoreIOPhysicalVerbose")) {
            // the failed write's record was intact when its notification came
            String cookie = lines.stream().filter(l -> l.contains("write block  cookie=")).findFirst().orElseThrow()
                    .replaceAll(".*cookie=([^,]*),.*", "$1");
            assertTrue(cookie, lines.stream().anyMatch(l -> l.endsWith("write_ncb block ok cookie=" + cookie)));
        }
    }

    // ---- read and write paths ----

    @Test
    public void readsAreCutAtTheLengthAndFencedAfterWrites() {
        long h = open("paths", 2);
        write(h, 0, data(1000, 1));
        ByteBuffer in = junk(300);
        take();
        assertEquals(100, ReplicatedIONative.read(h, 900, in, 0, 200));
        assertEquals(List.of("mb_read_fence", "mb_read client=1 flags=0 length=100 offset=900 storehandle=1 key=0"),
                take("mb_read_fence", "mb_read").stream().map(l -> l.startsWith("mb_read_fence") ? "mb_read_fence" : l)
                        .toList());
        assertEquals(data(1000, 1).position(900), in.duplicate().limit(100));
        assertEquals("nothing beyond the cut is touched", 0x5a, in.get(150));
        assertEquals(0, ReplicatedIONative.read(h, 1000, in, 0, 100));
        assertEquals("beyond the length: -1, no exception", -1, ReplicatedIONative.read(h, 1001, in, 0, 100));
        ByteBuffer b = ByteBuffer.allocateDirect(512);
        read(h, 0, b);
        write(h, 512, b);
        write(h, 0, b);
        read(h, 0, b);
        read(h, 0, b);
        assertEquals(List.of("mb_read", "mb_write", "mb_get_storeinfo", "mb_write", "mb_read_fence", "mb_read",
                "mb_read"), takeOps("mb_read", "mb_write", "mb_read_fence", "mb_get_storeinfo"));
        // a failed fence fails the read, and the next read fences again
        write(h, 0, b);
        force("mb_read_fence", 1, FAIL, DDEAD);
        io(() -> read(h, 0, b), "fileio_internal_read end with error", status(DDEAD));
        assertEquals(512, read(h, 0, b));
        assertEquals(List.of("mb_read_fence", "mb_read_fence", "mb_read"), takeOps("mb_read", "mb_read_fence"));
    }

    @Test
    public void writesExtendTheLengthToTheirEnd() {
        long h = open("paths", 2);
        ByteBuffer b = data(4096, 2);
        take();
        assertEquals(100, ReplicatedIONative.write(h, 0, b, 0, 100));
        assertEquals(10, ReplicatedIONative.write(h, 5000, b, 0, 10));
        assertEquals(5010, ReplicatedIONative.getSize(h));
        assertEquals(20, ReplicatedIONative.write(h, 10, b, 0, 20));
        assertEquals(10, ReplicatedIONative.write(h, 5000, b, 0, 10));
        assertEquals(5010, ReplicatedIONative.getSize(h));
        assertEquals("only extensions ask for the region's figures", 2, take("mb_get_storeinfo").size());
        force("mb_get_storeinfo", 1, FAIL, OTHER);
        io(() -> ReplicatedIONative.write(h, 6000, b, 100, 100), "fileio_mb_write mb_get_storeinfo failed");
        assertEquals("not raised", 5010, ReplicatedIONative.getSize(h));
        assertEquals(1, ReplicatedIONative.write(h, 7000, b, 0, 1));
        ByteBuffer back = ByteBuffer.allocateDirect(100);
        assertEquals(100, read(h, 6000, back));
        assertEquals("the data were written all the same", b.duplicate().position(100).limit(200), back);
    }

    @Test
    public void argumentsAreCheckedBeforeTheClientLibrary() {
        long h = open("checks", 2);
        ByteBuffer b = ByteBuffer.allocateDirect(100);
        for (long any : new long[] {h, 10000, -1}) {
            NullPointerException e = assertThrows(NullPointerException.class,
                    () -> ReplicatedIONative.read(any, 0, null, 0, 10));
            assertEquals("buffer not set", e.getMessage());
            assertThrows(NullPointerException.class, () -> ReplicatedIONative.write(any, 0, null, 0, 10));
        }
        for (long bad : new long[] {10000, -1, 1L << 33}) {
            io(() -> read(bad, 0, b), "illegal handle " + bad);
            assertEquals("buffer not set", io(() -> write(bad, 0, b)).getMessage());
        }
        for (long closed : new long[] {0, 9999}) {
            io(() -> read(closed, 0, b), "handle " + closed + " is not open");
            io(() -> write(closed, 0, b), "handle " + closed + " is not open");
        }
        for (Object heap : new Object[] {new byte[64], ByteBuffer.allocate(64)}) {
            io(() -> ReplicatedIONative.read(h, 0, heap, 4, 8), "not a direct buffer");
            io(() -> ReplicatedIONative.write(h, 0, heap, 4, 8), "not a direct buffer");
        }
        for (int[] r : new int[][] {{90, 11}, {-1, 10}, {0, -1}, {101, 0}, {Integer.MAX_VALUE, 2}}) {
            io(() -> ReplicatedIONative.read(h, 0, b, r[0], r[1]), "do not lie within the buffer");
            io(() -> ReplicatedIONative.write(h, 0, b, r[0], r[1]), "do not lie within the buffer");
        }
        for (long pos : new long[] {-1, (1L << 32) + 100, Integer.MAX_VALUE}) {
            io(() -> ReplicatedIONative.read(h, pos, b, 0, 10), Long.toString(pos));
            io(() -> ReplicatedIONative.write(h, pos, b, 0, 10), Long.toString(pos));
        }
        assertEquals(List.of(), take("mb_read", "mb_write", "mb_read_fence"));
        assertEquals(0, ReplicatedIONative.write(h, 0, b, 100, 0));
        for (ThrowingRunnable refused : new ThrowingRunnable[] {() -> ReplicatedIONative.allocate(4096),
            () -> ReplicatedIONative.free(b), () -> ReplicatedIONative.fillBuffer(b, 0, 10, (byte) 1),
            () -> ReplicatedIONative.checkAlignment("f")}) {
            io(refused, "Java_tessera_store_io_file_direct_ReplicatedIONative_");
        }
        assertEquals(0, b.get(0));
    }

    @Test
    public void deviceFiguresOfTheLocalDaemon() {
        long h = open("figures", 4);
        assertEquals(1L << 30, ReplicatedIONative.getDeviceLimit(h));
        assertTrue(ReplicatedIONative.getDeviceUsed(h) > 0);
        localDaemon(5L << 40, 12345, false);
        assertEquals(5L << 40, ReplicatedIONative.getDeviceLimit(h));
        assertEquals(12345, ReplicatedIONative.getDeviceUsed(h));
        localDaemon(Long.MIN_VALUE, -1, false);
        assertEquals("2^63 and more: -1 without an exception", -1, ReplicatedIONative.getDeviceLimit(h));
        assertEquals(-1, ReplicatedIONative.getDeviceUsed(h));
        localDaemon(0, 0, true);
        force("mb_get_local_daemon_info", 2, FAIL, DDEAD);
        IOException e = io(() -> ReplicatedIONative.getDeviceLimit(h), "mb_get_local_daemon_info failed");
        assertTrue(e.getMessage(), e.getMessage().matches("fileio_mirrorbank:\\d+: \\(Storename=figures \\) "
                + "\\(status=2 error=21 Detail: .+ \\)fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed"));
        io(() -> ReplicatedIONative.getDeviceUsed(h), "mb_get_local_daemon_info failed");
        io(() -> ReplicatedIONative.getDeviceLimit(10000), "illegal handle");
        io(() -> ReplicatedIONative.getDeviceUsed(5), "handle 5 is not open");
        assertEquals(1L << 30, ReplicatedIONative.getDeviceLimit(h));
    }

    @Test
    public void dataSurviveAPrimaryDaemonCrashDuringAWrite() {
        assumeTrue(INSTRUMENTED);
        long h = open("survivor", 50, "MaxReplicaCount", "2", "RegionSize", "8388608");
        assertEquals(1 << 20, write(h, 0, data(1 << 20, 71)));
        flag("tessera.qatest.crash_primary_daemon_during_writeTest");
        assertEquals(1 << 20, write(h, 1 << 20, data(1 << 20, 72)));
        assertFalse("the primary went down during the write", daemonUp(0));
        ByteBuffer back = ByteBuffer.allocateDirect(1 << 20);
        assertEquals(1 << 20, read(h, 0, back));
        assertEquals(data(1 << 20, 71), back.clear());
        assertEquals(1 << 20, read(h, 1 << 20, back));
        assertEquals(data(1 << 20, 72), back.clear());
    }

    // ---- fault injection ----

    @Test
    public void faultFlagsTurnOutcomesIntoFailures() {
        assumeTrue(INSTRUMENTED);
        flag("tessera.junit.testConfigPassing");
        IOException passing = io(() -> ReplicatedIONative.open("p", "rw", new String[] {"a", "b"},
                new String[] {"1", "x=y"}));
        assertEquals("a=1,b=x=y", passing.getMessage());
        System.clearProperty("tessera.junit.testConfigPassing");

        flag("tessera.junit.mb_initErrorTest");
        String[][] c = config(9);
        io(() -> ReplicatedIONative.open("noinit", "rw", c[0], c[1]), "populateConfig mb_init failed",
                status(CANCEL));
        assertEquals("the connection it got is finished", 0, liveConnections());
        System.clearProperty("tessera.junit.mb_initErrorTest");

        long h = open("flags", 1);
        ByteBuffer b = data(512, 1);
        write(h, 0, b);
        flag("tessera.junit.mb_read_fenceErrorTest");
        io(() -> read(h, 0, b), status(CANCEL));
        System.clearProperty("tessera.junit.mb_read_fenceErrorTest");
        assertEquals("switched off between two operations", 512, read(h, 0, b));
        flag("tessera.junit.mbRetriedReadErrorTest");
        script("mb_read", 1, submit(RETRY, 0));
        io(() -> read(h, 0, b), "retriedRead Failed to read", status(CANCEL));
        flag("tessera.junit.mbRetriedWriteErrorTest");
        assertEquals("accepted submissions are not affected", 512, write(h, 0, b));
        script("mb_write", 1, submit(RETRY, 0));
        io(() -> write(h, 0, b), "retriedWrite Failed to write", status(CANCEL));
        flag("tessera.junit.total_memory_mb_get_local_daemon_infoErrorTest");
        io(() -> ReplicatedIONative.getDeviceLimit(h), status(CANCEL));
        assertTrue(ReplicatedIONative.getDeviceUsed(h) > 0);
        flag("tessera.junit.mb_openstoreErrorTestKey");
        String[][] k = config(2);
        io(() -> ReplicatedIONative.open("keyed", "rw", k[0], k[1]), "mb_openstore failed", status(CANCEL));
        opened.add(2L);
        System.clearProperty("tessera.junit.mb_openstoreErrorTestKey");
        flag("tessera.junit.mb_finiErrorTest");
        io(() -> ReplicatedIONative.close(h), "fileio_mb_close mb_fini failed.", status(CANCEL));
        long h3 = open("flags", 3);
        flag("tessera.junit.mb_closestoreErrorTest");
        take();
        io(() -> ReplicatedIONative.close(h3), "fileio_mb_close mb_closestore failed.", status(CANCEL));
        assertEquals("no mb_fini after a failed close", List.of("mb_closestore"), takeOps("mb_closestore", "mb_fini"));
    }

    @Test
    public void crashEventsAreArmedAroundTheirPhase() {
        assumeTrue(INSTRUMENTED);
        flag("tessera.qatest.crash_primary_daemon_during_openstoreTest");
        flag("tessera.qatest.crash_storejvm_during_writeTest");
        flag("tessera.qatest.crash_storejvm_during_closestoreTest");
        long h = open("events", 1, "MaxReplicaCount", "2");
        assertEquals(List.of("mb_event client=1 arm=1 c1=1 c2=1 c3=3 target=1 c4=0 handle=0 name=events",
                "mb_openstore", "mb_event client=1 arm=0 c1=1 c2=1 c3=3 target=1 c4=0 handle=1 name=events"),
                take("mb_event", "mb_openstore").stream().map(l -> l.startsWith("mb_openstore") ? "mb_openstore" : l)
                        .toList());
        assertFalse("the open's event took the primary down", daemonUp(0));
        // a real write would end this process: the submission is scripted
        int[] done = {SUCC, 0, SUCC, 0, 0, 0, 0, 0, 1};
        script("mb_write", 1, done);
        assertEquals(100, ReplicatedIONative.write(h, 0, data(100, 1), 0, 100));
        script("mb_write", 1, submit(FAIL, OTHER));
        io(() -> ReplicatedIONative.write(h, 0, data(100, 1), 0, 100));
        assertEquals(List.of("mb_event", "mb_write", "mb_event", "mb_event", "mb_write", "mb_event"),
                takeOps("mb_event", "mb_write"));
        // arming that fails never changes the outcome
        force("mb_event", -1, FAIL, OTHER);
        flag("tessera.qatest.crash_primary_daemon_during_writeTest");
        script("mb_write", 1, done);
        assertEquals(100, ReplicatedIONative.write(h, 0, data(100, 1), 0, 100));
        take();
        ReplicatedIONative.close(h);
        assertEquals(List.of("mb_event", "mb_closestore", "mb_event", "mb_fini"), takeOps());
    }

    @Test
    public void withoutInstrumentationEveryFaultPropertyIsInert() {
        assumeTrue(!INSTRUMENTED);
        for (String k : ("testConfigPassing mb_initErrorTest mbRetriedWriteErrorTest mbRetriedReadErrorTest "
                + "mb_read_fenceErrorTest fileio_mb_write_mb_get_storeinfoErrorTest mb_openstoreErrorTestKey "
                + "fileio_mb_open_mb_get_storeinfoErrorTest mb_closestoreErrorTest mb_finiErrorTest "
                + "used_memory_mb_get_local_daemon_infoErrorTest total_memory_mb_get_local_daemon_infoErrorTest")
                .split(" ")) {
            flag("tessera.junit." + k);
        }
        for (String k : "primary_daemon storejvm secondary_daemon".split(" ")) {
            for (String phase : "write openstore closestore".split(" ")) {
                flag("tessera.qatest.crash_" + k + "_during_" + phase + "Test");
            }
        }
        long h = open("inert", 1, "MaxReplicaCount", "2");
        ByteBuffer b = data(8192, 11);
        assertEquals(8192, write(h, 0, b));
        ByteBuffer back = ByteBuffer.allocateDirect(8192);
        assertEquals(8192, read(h, 0, back));
        assertEquals(b, back.clear());
        assertTrue(ReplicatedIONative.getDeviceLimit(h) > 0);
        assertTrue(ReplicatedIONative.getDeviceUsed(h) > 0);
        ReplicatedIONative.close(h);
        assertEquals(List.of(), take("mb_event"));
        assertTrue(daemonUp(0) && daemonUp(1) && daemonUp(2));
        assertEquals(0, liveConnections());
    }
}
