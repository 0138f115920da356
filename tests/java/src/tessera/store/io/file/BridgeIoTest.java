package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;
import static org.junit.Assume.assumeTrue;
import static tessera.store.io.file.StandIn.*;
import static tessera.store.io.file.direct.ReplicatedIONative.*;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

import org.junit.After;
import org.junit.Before;
import org.junit.Test;
import org.junit.function.ThrowingRunnable;

import tessera.store.io.file.direct.NativeCallbacks;

/**
 * The file device's natives against the stand-in: configuration, open and
 * close, the asynchronous engine, the read and write paths, device figures
 * and fault injection (active when the JVM runs with instrumentation).
 */
public class BridgeIoTest {
    static final boolean INSTRUMENTED = "true".equals(System.getProperty("tessera.store.instrumentation"));
    private final List<Long> opened = new ArrayList<>();

    @Before
    public void fresh() {
        reset();
        journal(true);
    }

    @After
    public void closeAll() {
        for (long h : opened) {
            try {
                close(h);
            } catch (Exception e) {
                // a test that failed an operation on purpose may leave a handle that cannot close
            }
        }
        clean();
    }

    /** The key and value arrays of an open on {@code handle} with the pairs {@code kv}. */
    static String[][] config(int handle, String... kv) {
        String[][] c = {new String[kv.length / 2 + 1], new String[kv.length / 2 + 1]};
        c[0][0] = "CandidateHandle";
        c[1][0] = Integer.toString(handle);
        for (int i = 0; i < kv.length; i += 2) {
            c[0][i / 2 + 1] = kv[i];
            c[1][i / 2 + 1] = kv[i + 1];
        }
        return c;
    }

    static long tryOpen(String name, int handle, String... kv) {
        String[][] c = config(handle, kv);
        return open(name, "rw", c[0], c[1]);
    }

    long openOk(String name, int handle, String... kv) {
        assertEquals(handle, tryOpen(name, handle, kv));
        opened.add((long) handle);
        return handle;
    }

    /** A direct buffer of {@code n} bytes: a pattern of {@code seed}, or 0x5a everywhere for seed -1. */
    static ByteBuffer data(int n, int seed) {
        ByteBuffer b = ByteBuffer.allocateDirect(n);
        for (int i = 0; i < n; i++) {
            b.put(i, (byte) (seed < 0 ? 0x5a : i * 31 + seed));
        }
        return b;
    }

    static int wr(long h, long pos, ByteBuffer b) {
        return write(h, pos, b, 0, b.capacity());
    }

    static int rd(long h, long pos, ByteBuffer b) {
        return read(h, pos, b, 0, b.capacity());
    }

    /** The IOException that {@code r} throws; its text contains every one of {@code parts}. */
    public static IOException io(ThrowingRunnable r, String... parts) {
        IOException e = assertThrows(IOException.class, r);
        for (String p : parts) {
            assertTrue(e.getMessage() + " should contain " + p, e.getMessage().contains(p));
        }
        return e;
    }

    static String status(int error) {
        return "(status=2 error=" + error + " ";
    }


    @Test
    public void configurationsRefusedOrPassedOnToTheClientLibrary() {
        String[] k = {"CandidateHandle"};
        String[] v = {"1"};
        io(() -> open("r", "rw", null, v), "Error, configuration null");
        io(() -> openConsiderLock("r", "rw", false, k, null), "Error, configuration null");
        io(() -> open("r", "rw", new String[] {"CandidateHandle", null}, new String[] {"1", "2"}),
                "Error, configuration null");
        io(() -> open(null, "rw", k, v), "Error transforming string");
        io(() -> open("r", null, new String[] {"CandidateHandle", "BlockSize"}, new String[] {"1", "2", "3"}),
                "Keys and values count do not match");
        // no usable handle: -1 without an exception
        for (String[] kv : new String[][] {{}, {"BlockSize", "1"}, {"CandidateHandle", ""},
            {"CandidateHandle", "10000"}, {"CandidateHandle", "-1"}, {"CandidateHandle", "4294967296"},
            {"candidatehandle", "1"}}) {
            assertEquals(String.join("=", kv), -1, open("r", "rw", kv.length == 0 ? kv : new String[] {kv[0]},
                    kv.length == 0 ? kv : new String[] {kv[1]}));
        }
        assertEquals(List.of(), take());
        // a handle in use is refused the same way, and its file is untouched
        wr(openOk("first", 5), 0, data(10, 1));
        assertEquals(-1, tryOpen("second", 5));
        assertEquals(10, getSize(5));
        take();
        openOk("cfg%s%n", 3, "Address", "127.1.2.3", "BlockSize", "8192", "BusyWaitMicroSeconds", "7",
                "IoBufferSize", "65536", "LocalIndex", "1", "MaxReplicaCount", "3xyz", "MinReplicaCount", "  +2",
                "Port", "7001", "RegionSize", "33554432", "SleepWaitMilliSeconds", "11", "blocksize", "1");
        List<String> lines = take("mb_init", "mb_openstore");
        assertTrue(lines.get(0), lines.get(0).matches("mb_init trace_level=\\d ip=0x0302017f localport=0x591b "
                + "localindex=1 busywait=7 timeout=11 ccb=1 cfg_filename="));
        assertTrue(lines.get(1), lines.get(1).matches(
                "mb_openstore client=\\d+ min=2 max=3 flags=6 size=33554432 blocksize=8192 name=cfg%s%n"));
        String[][] c = config(4);
        assertEquals("openConsiderLock is open", 4, openConsiderLock("locked", "anything", true, c[0], c[1]));
        opened.add(4L);
    }

    @Test
    public void openCloseReopenTheirFailuresAndTheFileLength() {
        long h = openOk("life", 12);
        assertEquals(4096, wr(h, 0, data(4096, 3)));
        assertEquals(4096, getSize(h));
        take();
        close(h);
        assertEquals(List.of("mb_closestore", "mb_fini"), takeOps());
        close(h);
        assertEquals("a second close does nothing", List.of(), take());
        assertEquals("the last length stays", 4096, getSize(h));
        assertEquals(0, liveConnections());
        assertEquals(0, getSize(42));
        for (long bad : new long[] {10000, -1, 1L << 40}) {
            assertEquals(-1, getSize(bad));
            close(bad);
        }
        assertEquals("the handle serves another region from a clean start", 0, getSize(openOk("other", 12)));
        ByteBuffer back = ByteBuffer.allocateDirect(4096);
        assertEquals(4096, getSize(openOk("life", 13)));
        assertEquals(4096, rd(13, 0, back));
        assertEquals(data(4096, 3), back);
        // a close whose finish fails says so
        force("mb_fini", 1, FAIL, OTHER);
        io(() -> close(13), "fileio_mb_close mb_fini failed.", status(OTHER));
        // failed opens raise one exception each and free their connection
        int live = liveConnections();
        io(() -> tryOpen("nocfg", 6, "ConfigFileName", "/nonexistent/bridge.cfg"), "populateConfig mb_init failed",
                status(NOCFG));
        assertEquals(live, liveConnections());
        openOk("nocfg", 6);
        // after a successful mb_init too: a refused region or store information gives the connection back
        live = liveConnections();
        force("mb_openstore", 1, FAIL, NOMEM);
        io(() -> tryOpen("full", 20), "mb_openstore failed. Store name=full", status(NOMEM));
        assertEquals(live, liveConnections());
        opened.add(20L);
        // the store information fails and so does the close that cleans up: Java sees the open's failure
        force("mb_get_storeinfo", 1, FAIL, OTHER);
        force("mb_closestore", 1, FAIL, TIMEDOUT);
        io(() -> tryOpen("twofail", 21), "mb_get_storeinfo failed", status(OTHER));
        assertEquals(live, liveConnections());
        openOk("noinfo", 21);
        // a region that lost its last copy while open: its close fails once and still gives the connection back
        live = liveConnections();
        long lost = openOk("lost", 22, "MinReplicaCount", "1", "MaxReplicaCount", "1");
        for (int d = 0; d < 3; d++) {
            setDaemonUp(d, false);
        }
        io(() -> close(lost), "fileio_mb_close");
        assertEquals(live, liveConnections());
    }


    private long engine() {
        long h = openOk("eng", 1, "SleepWaitMilliSeconds", "3", "BusyWaitMicroSeconds", "4");
        assertEquals(65536, wr(h, 0, data(65536, 42)));
        take();
        return h;
    }

    private static void assertData(ByteBuffer got, int from, int seed) {
        assertEquals(data(from + got.capacity(), seed).position(from), got.clear());
    }

    @Test
    public void submissionRetry() {
        long h = engine();
        ByteBuffer b = ByteBuffer.allocateDirect(4096);
        for (String op : new String[] {"mb_read", "mb_write"}) {
            script(op, -1, RETRY);
            ThrowingRunnable call = op.equals("mb_read") ? () -> rd(h, 0, b) : () -> wr(h, 65536, b);
            io(call, "Failed to", "(status=3 error=0 ");
            List<String> ops = takeOps(op, "mb_wait");
            assertEquals(1025, Collections.frequency(ops, op));
            assertEquals(1024, Collections.frequency(ops, "mb_wait"));
            script(op, 0);
        }
        assertEquals("a failed write leaves the length", 65536, getSize(h));
        script("mb_read", 2, 77); // unknown statuses are retried too
        assertEquals(1000, read(h, 500, b, 0, 1000));
        assertEquals(3, takeOps("mb_read").size());
        assertData(b.limit(1000).slice(), 500, 42);
        // a first refusal is not retried; the operation record's error wins
        script("mb_write", 1, FAIL, OTHER, FAIL, ACCESS);
        io(() -> wr(h, 0, b), "retriedWrite Failed to write", status(ACCESS));
        assertEquals(List.of("mb_write"), takeOps("mb_write", "mb_wait"));
    }

    @Test
    public void blocksNeverWrittenReadAsZerosOnlyWhenRefusedAsEmpty() {
        long h = engine();
        wr(h, 4 << 20, data(16, 5));
        take();
        ByteBuffer b = data(8192, -1);
        assertEquals(8192, rd(h, 1 << 20, b));
        assertEquals(ByteBuffer.allocateDirect(8192), b);
        assertEquals(List.of("mb_read"), takeOps("mb_read", "mb_wait"));
        script("mb_read", 1, FAIL, EMPTYBLOCK, FAIL, EMPTYBLOCK);
        ByteBuffer junk = data(120, -1);
        assertEquals(100, read(h, 0, junk, 10, 100));
        assertEquals(List.of(0x5a, 0, 0, 0x5a), List.of((int) junk.get(9), (int) junk.get(10), (int) junk.get(109),
                (int) junk.get(110)));
        // an empty block reported any other way is a failure and zeroes nothing
        for (int[] s : new int[][] {{INPROG, 0, 0, 0, 1, 0, FAIL, EMPTYBLOCK}, {INPROG, 0, FAIL, EMPTYBLOCK},
            {SUCC, 0, FAIL, EMPTYBLOCK}}) {
            ByteBuffer j = data(120, -1);
            script("mb_read", 1, s);
            io(() -> read(h, 0, j, 10, 100), "retriedRead Failed to read", status(EMPTYBLOCK));
            assertEquals(0x5a, j.get(10));
        }
    }

    @Test
    public void completionByNotificationInlineOrNoneAndFailedNotifications() {
        long h = engine();
        ByteBuffer b = ByteBuffer.allocateDirect(5000);
        script("mb_read", 1, INPROG, 0, 0, 0, 1, 3, SUCC, 0, 1);
        assertEquals(5000, rd(h, 300, b));
        assertData(b, 300, 42);
        assertEquals("notified in the third wait", 3, take("mb_wait").size());
        inlineCompletion(true);
        assertEquals(3000, wr(h, 100, data(3000, 77)));
        ByteBuffer back = ByteBuffer.allocateDirect(3000);
        assertEquals(3000, rd(h, 100, back));
        assertEquals(data(3000, 77), back);
        inlineCompletion(false);
        // completed at submission without a notification, or notified inside the submission
        script("mb_read", 1, SUCC, 0, SUCC, 0, 0, 0, 0, 0, 1);
        script("mb_write", 1, SUCC, 0, SUCC, 0, 0, 0, 0, 0, 1);
        assertEquals(3000, rd(h, 100, back));
        assertEquals(3000, wr(h, 100, back));
        script("mb_read", 1, INPROG, 0, 0, 0, 1, 0, SUCC, 0, 1);
        assertEquals(3000, rd(h, 100, back));
        assertEquals(data(3000, 77), back);
        assertEquals("no waits", List.of(), take("mb_wait"));
        // failed notifications: one exception each (two of them for the write), no longer file
        script("mb_read", 1, INPROG, 0, 0, 0, 1, 1, FAIL, OTHER);
        io(() -> rd(h, 0, b), "retriedRead Failed to read", status(OTHER));
        script("mb_write", 1, INPROG, 0, 0, 0, 2, 0, FAIL, OTHER);
        io(() -> wr(h, 65536, b), "fileio_internal_write Failed to write", status(OTHER));
        assertEquals(65536, getSize(h));
    }

    @Test
    public void lateNotificationsFindTheFailedOperationsRecords() {
        long h = engine();
        List<String> lines = new ArrayList<>();
        NativeCallbacks.setSink((channel, line) -> lines.add(line));
        try {
            script("mb_write", 1, INPROG, 0, FAIL, OTHER, 1, 1, SUCC);
            io(() -> wr(h, 0, data(4096, 1)), "fileio_internal_write Failed to write", status(OTHER));
            assertEquals(1, pendingNotifications());
            // the next operation's wait delivers it; that operation is unaffected
            assertEquals(4096, wr(h, 8192, data(4096, 2)));
            assertEquals(0, pendingNotifications());
            script("mb_read", 1, INPROG, 0, FAIL, OTHER, 1, 1, FAIL, TIMEDOUT);
            ByteBuffer b = ByteBuffer.allocateDirect(4096);
            io(() -> rd(h, 0, b), "retriedRead Failed to read", status(OTHER));
            assertEquals(4096, rd(h, 8192, b));
            assertEquals(data(4096, 2), b);
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


    @Test
    public void readsAreCutAtTheLengthAndFencedAfterWrites() {
        long h = openOk("paths", 2);
        wr(h, 0, data(1000, 1));
        ByteBuffer in = data(300, -1);
        take();
        assertEquals(100, read(h, 900, in, 0, 200));
        assertEquals("mb_read client=1 flags=0 length=100 offset=900 storehandle=1 key=0", take("mb_read").get(0));
        assertEquals(data(1000, 1).position(900), in.duplicate().limit(100));
        assertEquals("nothing beyond the cut is touched", 0x5a, in.get(150));
        assertEquals(0, read(h, 1000, in, 0, 100));
        assertEquals("beyond the length: -1, no exception", -1, read(h, 1001, in, 0, 100));
        ByteBuffer b = ByteBuffer.allocateDirect(512);
        rd(h, 0, b);
        wr(h, 512, b);
        wr(h, 0, b);
        rd(h, 0, b);
        rd(h, 0, b);
        assertEquals(List.of("mb_read", "mb_write", "mb_get_storeinfo", "mb_write", "mb_read_fence", "mb_read",
                "mb_read"), takeOps("mb_read", "mb_write", "mb_read_fence", "mb_get_storeinfo"));
        // a failed fence fails the read, and the next read fences again
        wr(h, 0, b);
        force("mb_read_fence", 1, FAIL, DDEAD);
        io(() -> rd(h, 0, b), "fileio_internal_read end with error", status(DDEAD));
        assertEquals(512, rd(h, 0, b));
        assertEquals(List.of("mb_read_fence", "mb_read_fence", "mb_read"), takeOps("mb_read", "mb_read_fence"));
    }

    @Test
    public void writesExtendTheLengthToTheirEnd() {
        long h = openOk("paths", 2);
        ByteBuffer b = data(4096, 2);
        take();
        assertEquals(100, write(h, 0, b, 0, 100));
        assertEquals(10, write(h, 5000, b, 0, 10));
        assertEquals(20, write(h, 10, b, 0, 20));
        assertEquals(10, write(h, 5000, b, 0, 10));
        assertEquals(5010, getSize(h));
        assertEquals("only extensions ask for the region's figures", 2, take("mb_get_storeinfo").size());
        force("mb_get_storeinfo", 1, FAIL, OTHER);
        io(() -> write(h, 6000, b, 100, 100), "fileio_mb_write mb_get_storeinfo failed");
        assertEquals("not raised", 5010, getSize(h));
        ByteBuffer back = ByteBuffer.allocateDirect(100);
        assertEquals(1, write(h, 7000, b, 0, 1));
        assertEquals(100, rd(h, 6000, back));
        assertEquals("the data were written all the same", b.duplicate().position(100).limit(200), back);
    }

    @Test
    public void argumentsAreCheckedBeforeTheClientLibrary() {
        long h = openOk("checks", 2);
        ByteBuffer b = ByteBuffer.allocateDirect(100);
        for (long any : new long[] {h, 10000, -1}) {
            assertEquals("buffer not set", assertThrows(NullPointerException.class, () -> read(any, 0, null, 0, 10))
                    .getMessage());
            assertThrows(NullPointerException.class, () -> write(any, 0, null, 0, 10));
        }
        for (long bad : new long[] {10000, -1, 1L << 33}) {
            io(() -> rd(bad, 0, b), "illegal handle " + bad);
            assertEquals("buffer not set", io(() -> wr(bad, 0, b)).getMessage());
            io(() -> getDeviceLimit(bad), "illegal handle");
        }
        for (long closed : new long[] {0, 9999}) {
            io(() -> rd(closed, 0, b), "handle " + closed + " is not open");
            io(() -> wr(closed, 0, b), "handle " + closed + " is not open");
            io(() -> getDeviceUsed(closed), "handle " + closed + " is not open");
        }
        for (Object heap : new Object[] {new byte[64], ByteBuffer.allocate(64)}) {
            io(() -> read(h, 0, heap, 4, 8), "not a direct buffer");
            io(() -> write(h, 0, heap, 4, 8), "not a direct buffer");
        }
        for (int[] r : new int[][] {{90, 11}, {-1, 10}, {0, -1}, {101, 0}, {Integer.MAX_VALUE, 2}}) {
            io(() -> read(h, 0, b, r[0], r[1]), "do not lie within the buffer");
            io(() -> write(h, 0, b, r[0], r[1]), "do not lie within the buffer");
        }
        for (long pos : new long[] {-1, (1L << 32) + 100, Integer.MAX_VALUE}) {
            io(() -> read(h, pos, b, 0, 10), Long.toString(pos));
            io(() -> write(h, pos, b, 0, 10), Long.toString(pos));
        }
        assertEquals(List.of(), take("mb_read", "mb_write", "mb_read_fence"));
        assertEquals(0, write(h, 0, b, 100, 0));
        for (ThrowingRunnable refused : new ThrowingRunnable[] {() -> allocate(4096), () -> free(b),
            () -> fillBuffer(b, 0, 10, (byte) 1), () -> checkAlignment("f")}) {
            io(refused, "Java_tessera_store_io_file_direct_ReplicatedIONative_");
        }
        assertEquals(0, b.get(0));
    }

    @Test
    public void deviceFiguresOfTheLocalDaemon() {
        long h = openOk("figures", 4);
        assertEquals(1L << 30, getDeviceLimit(h));
        assertTrue(getDeviceUsed(h) > 0);
        localDaemon(5L << 40, 12345, false);
        assertEquals(List.of(5L << 40, 12345L), List.of(getDeviceLimit(h), getDeviceUsed(h)));
        localDaemon(Long.MIN_VALUE, -1, false);
        assertEquals("2^63 and more: -1 without an exception", List.of(-1L, -1L),
                List.of(getDeviceLimit(h), getDeviceUsed(h)));
        localDaemon(0, 0, true);
        force("mb_get_local_daemon_info", 2, FAIL, DDEAD);
        IOException e = io(() -> getDeviceLimit(h));
        assertTrue(e.getMessage(), e.getMessage().matches("fileio_mirrorbank:\\d+: \\(Storename=figures \\) "
                + "\\(status=2 error=21 Detail: .+ \\)fileio_mb_daemon_memory_limit mb_get_local_daemon_info failed"));
        io(() -> getDeviceUsed(h), "mb_get_local_daemon_info failed");
        assertEquals(1L << 30, getDeviceLimit(h));
    }


    @Test
    public void faultFlagsTurnOutcomesIntoFailures() {
        assumeTrue(INSTRUMENTED);
        flag("tessera.junit.testConfigPassing");
        assertEquals("a=1,b=x=y", io(() -> open("p", "rw", new String[] {"a", "b"}, new String[] {"1", "x=y"}))
                .getMessage());
        System.clearProperty("tessera.junit.testConfigPassing");
        flag("tessera.junit.mb_initErrorTest");
        io(() -> tryOpen("noinit", 9), "populateConfig mb_init failed", status(CANCEL));
        assertEquals("the connection it got is finished", 0, liveConnections());
        System.clearProperty("tessera.junit.mb_initErrorTest");
        flag("tessera.junit.mb_openstoreErrorTestKey");
        io(() -> tryOpen("keyed", 2), "mb_openstore failed", status(CANCEL));
        opened.add(2L);
        System.clearProperty("tessera.junit.mb_openstoreErrorTestKey");

        long h = openOk("flags", 1);
        ByteBuffer b = data(512, 1);
        wr(h, 0, b);
        flag("tessera.junit.mb_read_fenceErrorTest");
        io(() -> rd(h, 0, b), status(CANCEL));
        System.clearProperty("tessera.junit.mb_read_fenceErrorTest");
        assertEquals("switched off between two operations", 512, rd(h, 0, b));
        flag("tessera.junit.mbRetriedReadErrorTest");
        flag("tessera.junit.mbRetriedWriteErrorTest");
        assertEquals("accepted submissions are not affected", 512, wr(h, 0, b));
        script("mb_read", 1, RETRY);
        io(() -> rd(h, 0, b), "retriedRead Failed to read", status(CANCEL));
        script("mb_write", 1, RETRY);
        io(() -> wr(h, 0, b), "retriedWrite Failed to write", status(CANCEL));
        flag("tessera.junit.total_memory_mb_get_local_daemon_infoErrorTest");
        io(() -> getDeviceLimit(h), status(CANCEL));
        assertTrue(getDeviceUsed(h) > 0);
        flag("tessera.junit.mb_finiErrorTest");
        io(() -> close(h), "fileio_mb_close mb_fini failed.", status(CANCEL));
        long h3 = openOk("flags", 3);
        flag("tessera.junit.mb_closestoreErrorTest");
        take();
        io(() -> close(h3), "fileio_mb_close mb_closestore failed.", status(CANCEL));
        assertEquals("a failed close still releases its connection", List.of("mb_closestore", "mb_fini"),
                takeOps("mb_closestore", "mb_fini"));
    }

    @Test
    public void crashEventsAreArmedAroundTheirPhaseAndTheDataSurvive() {
        assumeTrue(INSTRUMENTED);
        flag("tessera.qatest.crash_primary_daemon_during_openstoreTest");
        flag("tessera.qatest.crash_storejvm_during_writeTest");
        flag("tessera.qatest.crash_storejvm_during_closestoreTest");
        long h = openOk("events", 1, "MaxReplicaCount", "2");
        assertEquals(List.of("mb_event client=1 arm=1 c1=1 c2=1 c3=3 target=1 c4=0 handle=0 name=events",
                "mb_openstore", "mb_event client=1 arm=0 c1=1 c2=1 c3=3 target=1 c4=0 handle=1 name=events"),
                take("mb_event", "mb_openstore").stream().map(l -> l.replaceAll("^mb_openstore .*", "mb_openstore"))
                        .toList());
        assertFalse("the open's event took the primary down", daemonUp(0));
        // a real write would end this process: the submissions are scripted
        script("mb_write", 1, SUCC, 0, SUCC, 0, 0, 0, 0, 0, 1);
        assertEquals(100, write(h, 0, data(100, 1), 0, 100));
        script("mb_write", 1, FAIL, OTHER);
        io(() -> write(h, 0, data(100, 1), 0, 100));
        assertEquals(List.of("mb_event", "mb_write", "mb_event", "mb_event", "mb_write", "mb_event"),
                takeOps("mb_event", "mb_write"));
        System.clearProperty("tessera.qatest.crash_storejvm_during_writeTest");
        System.clearProperty("tessera.qatest.crash_primary_daemon_during_openstoreTest");
        // the primary-daemon event fires during the write; the data live on the other copy
        setDaemonUp(0, true);
        long s = openOk("survivor", 50, "MaxReplicaCount", "2", "RegionSize", "8388608");
        assertEquals(1 << 20, wr(s, 0, data(1 << 20, 71)));
        flag("tessera.qatest.crash_primary_daemon_during_writeTest");
        assertEquals(1 << 20, wr(s, 1 << 20, data(1 << 20, 72)));
        assertFalse(daemonUp(0));
        ByteBuffer back = ByteBuffer.allocateDirect(1 << 20);
        assertEquals(1 << 20, rd(s, 0, back));
        assertEquals(data(1 << 20, 71), back);
        assertEquals(1 << 20, rd(s, 1 << 20, back));
        assertEquals(data(1 << 20, 72), back);
        // events that cannot be armed never change the outcome
        force("mb_event", -1, FAIL, OTHER);
        assertEquals(100, write(h, 0, data(100, 1), 0, 100));
        take();
        close(h);
        assertEquals(List.of("mb_event", "mb_closestore", "mb_event", "mb_fini"), takeOps());
    }
}
