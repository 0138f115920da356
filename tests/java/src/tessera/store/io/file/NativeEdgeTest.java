package tessera.store.io.file;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.MappedByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;

import org.junit.AfterClass;
import org.junit.BeforeClass;
import org.junit.Test;

import tessera.store.io.file.direct.ReplicatedIONative;

/**
 * The natives at their edges, called directly: names that cannot reach the
 * store exactly, buffers and ranges, what a failed open leaves, and close
 * racing a transfer.
 */
public class NativeEdgeTest {
    private static final ReplicatedStoreAdmin ADMIN = new ReplicatedStoreAdmin();

    @BeforeClass
    public static void attach() throws Exception {
        NativeLibrary.load();
        assertEquals(1, ADMIN.attach("", 0));
    }

    @AfterClass
    public static void detach() {
        ADMIN.detach();
    }

    /** Opens {@code name} as handle {@code h} with a 64 KiB region and extra key/value pairs. */
    static long open(String name, int h, String... extra) {
        List<String> k = new ArrayList<>(Arrays.asList("CandidateHandle", "RegionSize"));
        List<String> v = new ArrayList<>(Arrays.asList(Integer.toString(h), "65536"));
        for (int i = 0; i < extra.length; i += 2) {
            k.add(extra[i]);
            v.add(extra[i + 1]);
        }
        return ReplicatedIONative.open(name, "rw", k.toArray(new String[0]), v.toArray(new String[0]));
    }

    static void assertMessage(Throwable t, String... parts) {
        assertNotNull("an exception", t);
        for (String p : parts) {
            assertTrue(t.getMessage(), t.getMessage().contains(p));
        }
    }

    static boolean listed(String name) {
        ADMIN.clearResults();
        assertEquals(1, ADMIN.listGlobalRegions());
        return ADMIN.regions().stream().anyMatch(r -> r.name().equals(name));
    }

    static ByteBuffer direct(String text) {
        byte[] b = text.getBytes(StandardCharsets.UTF_8);
        return ByteBuffer.allocateDirect(b.length).put(b).flip();
    }

    // ---- names and encoding ----

    @Test
    public void overlongNamesAreRefusedNeverCut() throws Exception {
        String kept = "edge-long-" + "a".repeat(245);
        String longer = kept + "b".repeat(45);
        assertEquals(9000, open(kept, 9000));
        assertEquals(1, ReplicatedIONative.write(9000, 0, direct("k"), 0, 1));
        ReplicatedIONative.close(9000);

        assertMessage(assertThrows(IOException.class, () -> open(longer, 9001)), "300 bytes", "255");
        assertMessage(assertThrows(IOException.class, () -> ADMIN.deleteRegion(longer, true)), "300 bytes");
        assertMessage(assertThrows(IOException.class, () -> ADMIN.listRegion(longer)), "300 bytes");
        assertTrue("the region named by the first 255 bytes is untouched", listed(kept));

        Path cfg = Files.writeString(workdir().resolve("c".repeat(100) + ".conf"), "daemons 3\n");
        String longCfg = cfg.toString() + "/" + "d".repeat(300);
        assertMessage(assertThrows(IOException.class, () -> open("edge-cfg", 9001, "ConfigFileName", longCfg)),
                "ConfigFileName", "255");
        assertMessage(assertThrows(IOException.class, () -> ADMIN.attach(longCfg, 0)), "255");
        assertTrue("a refused attach keeps the connection", ADMIN.isAttached());
        assertMessage(assertThrows(IOException.class,
                () -> ADMIN.listRecoveryRegionsAndDaemon(0, longCfg, null)), "255");
        assertMessage(assertThrows(IOException.class,
                () -> ADMIN.listRecoveryRegionsAndDaemon(0, cfg.toString(), longer)), "prefix", "255");
        assertFalse(listed("edge-cfg"));
    }

    @Test
    public void namesThatCannotBeEncodedExactlyAreRefused() {
        String[][] cases = {{"edge-nul\u0000tail", "U+0000"}, {"edge-half\uD800tail", "unpaired surrogate"},
            {"edge-low\uDC00", "unpaired surrogate"}};
        for (String[] c : cases) {
            assertMessage(assertThrows(IOException.class, () -> open(c[0], 9002)), c[1]);
            assertMessage(assertThrows(IOException.class, () -> ADMIN.listRegion(c[0])), c[1]);
            assertMessage(assertThrows(IOException.class, () -> ADMIN.deleteRegion(c[0], false)), c[1]);
            assertMessage(assertThrows(IOException.class, () -> open("edge-v", 9002, "Address", c[0])), c[1]);
        }
        assertFalse("nothing was opened under a shortened name", listed("edge-nul"));
        assertFalse(listed("edge-half?tail"));
    }

    @Test
    public void namesAreExactUtf8WhateverTheLocale() throws Exception {
        assertChild("names", "C");
        assertChild("supplementary", "C.UTF-8");
    }

    /** Child JVM side of {@link #namesAreExactUtf8WhateverTheLocale}. */
    public static void main(String[] args) throws Exception {
        NativeLibrary.load();
        ReplicatedStoreAdmin admin = new ReplicatedStoreAdmin();
        check(admin.attach("", 0) == 1, "attach");
        if (args[0].equals("names")) {
            // under an ASCII locale both names used to become one region "name-?"
            check(open("name-\u00e9", 1) == 1, "open e-acute");
            check(ReplicatedIONative.write(1, 0, direct("e"), 0, 1) == 1, "write");
            check(open("name-\u00fc", 2) == 2, "open u-umlaut");
            check(ReplicatedIONative.getSize(2) == 0, "u-umlaut is a region of its own");
        } else {
            // a configuration path outside the Basic Multilingual Plane works for the channel and the admin
            Path dir = Paths.get(System.getProperty("tessera.test.workdir", "."));
            Path cfg = Files.writeString(dir.resolve("cfg-\uD83D\uDE00.conf"), "daemons 3\n");
            check(open("name-\uD83D\uDE00", 1, "ConfigFileName", cfg.toString()) == 1, "open with the path");
            check(admin.listRecoveryRegionsAndDaemon(0, cfg.toString(), "name-") == 1, "recovery listing");
        }
        admin.clearResults();
        check(admin.listGlobalRegions() == 1, "listing");
        List<String> names = new ArrayList<>();
        admin.regions().forEach(r -> names.add(r.name()));
        check(args[0].equals("names") ? names.containsAll(List.of("name-\u00e9", "name-\u00fc"))
                : names.contains("name-\uD83D\uDE00"), "listed names " + names);
        System.out.println("child-ok");
    }

    private static void check(boolean ok, String what) {
        if (!ok) {
            throw new AssertionError(what);
        }
    }

    private static void assertChild(String mode, String locale) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(Paths.get(System.getProperty("java.home"), "bin", "java").toString()));
        if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
            cmd.add("-Xcheck:jni");
        }
        if (locale.equals("C")) {
            cmd.addAll(List.of("-Dfile.encoding=ANSI_X3.4-1968", "-Dsun.jnu.encoding=ANSI_X3.4-1968"));
        }
        cmd.addAll(List.of("-Djava.io.tmpdir=" + workdir(), "-Dtessera.test.workdir=" + workdir(), "-cp",
                System.getProperty("java.class.path"), NativeEdgeTest.class.getName(), mode));
        ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
        pb.environment().put("LC_ALL", locale);
        pb.environment().put("LANG", locale);
        Process p = pb.start();
        String out;
        try (InputStream in = p.getInputStream()) {
            out = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
        assertTrue("child JVM ended", p.waitFor(120, TimeUnit.SECONDS));
        System.out.print(out); // the run with JNI checks sees the child's warnings
        assertEquals(mode + ": " + out, 0, p.exitValue());
        assertTrue(out, out.contains("child-ok"));
    }

    private static Path workdir() {
        return Paths.get(System.getProperty("tessera.test.workdir", System.getProperty("java.io.tmpdir")));
    }

    // ---- buffers and ranges ----

    @Test
    public void readsIntoReadOnlyBuffersAreRefused() throws Exception {
        assertEquals(9003, open("edge-readonly", 9003));
        assertEquals(4, ReplicatedIONative.write(9003, 0, direct("data"), 0, 4));
        ByteBuffer view = ByteBuffer.allocateDirect(4).asReadOnlyBuffer();
        assertMessage(assertThrows(IOException.class, () -> ReplicatedIONative.read(9003, 0, view, 0, 4)), "read-only");
        assertEquals("nothing written into the view", 0, view.get(0));

        Path file = Files.write(Files.createTempFile(workdir(), "ro", ".bin"), new byte[4096]);
        try (FileChannel fc = FileChannel.open(file, StandardOpenOption.READ)) {
            MappedByteBuffer mapped = fc.map(FileChannel.MapMode.READ_ONLY, 0, 4096);
            assertMessage(assertThrows(IOException.class, () -> ReplicatedIONative.read(9003, 0, mapped, 0, 4)),
                    "read-only");
        } finally {
            Files.delete(file);
        }
        ByteBuffer writable = ByteBuffer.allocateDirect(4);
        assertEquals(4, ReplicatedIONative.read(9003, 0, writable, 0, 4));
        ReplicatedIONative.close(9003);
    }

    @Test
    public void rangesNearTheLargestPositionAreRefusedWithoutWrapping() throws Exception {
        assertEquals(9004, open("edge-range", 9004));
        assertEquals(4, ReplicatedIONative.write(9004, 0, direct("keep"), 0, 4));
        ByteBuffer buf = ByteBuffer.allocateDirect(16);
        long[] positions = {Long.MAX_VALUE, Long.MAX_VALUE - 1, Long.MAX_VALUE - 15, (1L << 62) + 2};
        for (long pos : positions) {
            for (int len : new int[] {1, 16}) {
                String[] parts = {Long.toString(pos), "length=" + len};
                assertMessage(assertThrows(IOException.class, () -> ReplicatedIONative.write(9004, pos, buf, 0, len)),
                        parts);
                assertMessage(assertThrows(IOException.class, () -> ReplicatedIONative.read(9004, pos, buf, 0, len)),
                        parts);
            }
        }
        assertEquals("no wrapped write landed", 4, ReplicatedIONative.getSize(9004));
        ByteBuffer back = ByteBuffer.allocateDirect(4);
        assertEquals(4, ReplicatedIONative.read(9004, 0, back, 0, 4));
        byte[] got = new byte[4];
        back.get(got);
        assertArrayEquals("keep".getBytes(StandardCharsets.UTF_8), got);
        ReplicatedIONative.close(9004);
    }

    // ---- resources ----

    @Test
    public void aFailedOpenGivesItsHandleBackWithOneException() throws Exception {
        // five copies on a cluster of three daemons
        IOException e = assertThrows(IOException.class, () -> open("edge-failed", 9005, "MinReplicaCount", "5"));
        assertMessage(e, "mb_openstore failed");
        assertEquals("no suppressed exceptions", 0, e.getSuppressed().length);
        assertEquals("the handle is free again without a close", 9005, open("edge-failed", 9005));
        ReplicatedIONative.close(9005);
    }

    // ---- races ----

    @Test
    public void closeRacingATransferEndsIt() throws Exception {
        ExecutorService worker = Executors.newSingleThreadExecutor();
        try {
            long bound = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);  // rounds, and a time bound
            for (int i = 0; i < 3000 && System.nanoTime() < bound; i++) {
                assertEquals(9006, open("edge-race", 9006));
                CountDownLatch started = new CountDownLatch(1);
                Future<Integer> transfers = worker.submit(() -> {
                    ByteBuffer b = ByteBuffer.allocateDirect(8192);
                    for (int n = 0;; n++) {
                        if (n == 2) {
                            started.countDown();
                        }
                        try {
                            int r = (n & 1) == 0 ? ReplicatedIONative.write(9006, 0, b, 0, 8192)
                                    : ReplicatedIONative.read(9006, 0, b, 0, 8192);
                            if (r < 0) {
                                return n;
                            }
                        } catch (Exception closed) {
                            started.countDown();
                            return n;
                        }
                    }
                });
                assertTrue(started.await(30, TimeUnit.SECONDS));
                try {
                    ReplicatedIONative.close(9006);
                } catch (Exception failedClose) {
                    // a close that lost the race with a failing transfer still releases the handle
                }
                assertTrue("round " + i + ": the transfer ended", transfers.get(30, TimeUnit.SECONDS) >= 2);
            }
        } finally {
            worker.shutdownNow();
        }
    }
}
