package tessera.store.io.file;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.nio.MappedByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.function.Function;

import org.junit.Rule;
import org.junit.Test;
import org.junit.rules.TemporaryFolder;

import tessera.store.examples.JournalDemo;
import tessera.store.tools.AdminTool;

/**
 * The Java side at its edges: names the store cannot take exactly, file
 * paths outside the Basic Multilingual Plane, buffers and ranges as
 * {@code FileChannel} treats them (file mappings included), the tools' usage
 * errors, and native extraction directories left by killed JVMs.
 */
public class JavaEdgeTest {
    @Rule
    public TemporaryFolder tmp = new TemporaryFolder();

    private static final String NAME_255 = "edge-" + "n".repeat(250);

    // ---- names and encoding, through the channel and StoreAdmin ----

    @Test
    public void namesTheStoreCannotTakeExactlyAreRefusedNotCut() throws IOException {
        try (ReplicatedFileChannel ch = open(NAME_255)) {
            ch.write(ByteBuffer.wrap(new byte[] {7}), 0);
        }
        String longName = NAME_255 + "-tail"; // its first 255 bytes name the region above
        String[] bad = {longName, "edge-\u0000-nul", "edge-\uD800-lone", "edge-\uDC00", "edge-" + "\u00e9".repeat(130)};
        try (StoreAdmin admin = StoreAdmin.attach("", 0)) {
            for (String name : bad) {
                assertRefused(IOException.class, () -> admin.deleteRegion(name, true), "region name");
                assertRefused(IOException.class, () -> admin.region(name), "region name");
                assertRefused(IllegalArgumentException.class, () -> ReplicatedFileChannel.builder(name), "region name");
                assertRefused(IllegalArgumentException.class,
                        () -> ReplicatedFileChannel.builder("edge-ok").configFile(name), "configuration file name");
            }
            assertTrue("a refused delete deleted nothing", admin.findRegion(NAME_255).isPresent());
        }
        for (String name : bad) {
            assertRefused(IOException.class, () -> StoreAdmin.attach(name, 0), "configuration file name");
            assertRefused(IOException.class, () -> StoreAdmin.recovery(0, name, null), "configuration file name");
            assertRefused(IOException.class, () -> StoreAdmin.recovery(0, "/x.cfg", name), "prefix");
        }
        assertFalse(new ReplicatedStoreAdmin().isAttached());
    }

    private static void assertRefused(Class<? extends Exception> type, ThrowingRunnable call, String what) {
        Exception e = assertThrows(type, call::run);
        assertTrue(e.getMessage(), e.getMessage().contains(what));
    }

    private interface ThrowingRunnable {
        void run() throws Exception;
    }

    @Test
    public void aConfigurationPathWithAnEmojiWorksThroughTheChannelAndStoreAdminAlike() throws IOException {
        Path dir = Files.createDirectory(tmp.getRoot().toPath().resolve("cluster-\uD83D\uDE80-\u00e9"));
        Path cfg = Files.writeString(dir.resolve("default.cfg"), "# the default layout\n");
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("edge-emoji-cfg").regionSize(1 << 16)
                .configFile(cfg).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {1}), 0);
        }
        try (StoreAdmin admin = StoreAdmin.attach(cfg.toString(), 0)) {
            assertEquals(1, admin.region("edge-emoji-cfg").usedBytes());
        }
    }

    // ---- buffers and ranges, as FileChannel treats them ----

    @Test
    public void readOnlyBuffersAndOverflowingRangesAreRefusedAsByFileChannel() throws IOException {
        Path file = tmp.newFile().toPath();
        try (FileChannel fc = FileChannel.open(file, StandardOpenOption.READ, StandardOpenOption.WRITE);
                ReplicatedFileChannel ch = open("edge-ro")) {
            ch.write(ByteBuffer.wrap(new byte[8]), 0);
            for (ByteBuffer ro : new ByteBuffer[] {ByteBuffer.allocate(8).asReadOnlyBuffer(),
                    ByteBuffer.allocateDirect(8).asReadOnlyBuffer()}) {
                Exception expected = assertThrows(Exception.class, () -> fc.read(ro, 0));
                Exception actual = assertThrows(Exception.class, () -> ch.read(ro, 0));
                assertEquals(expected.toString(), actual.toString());
            }
            for (long pos : new long[] {Long.MAX_VALUE, Long.MAX_VALUE - 10, ReplicatedFileChannel.MAX_REGION_SIZE}) {
                IOException e = assertThrows(IOException.class, () -> ch.write(ByteBuffer.allocateDirect(100), pos));
                assertTrue(e.getMessage(), e.getMessage().contains("100 bytes at position " + pos));
                ch.position(pos);
                assertThrows(IOException.class, () -> ch.write(ByteBuffer.allocate(100)));
                assertEquals(-1, ch.read(ByteBuffer.allocate(100), pos));
            }
            assertEquals(8, ch.size());
        }
    }

    @Test
    public void fileMappingsWorkAndATruncatedOneEndsInAnIOException() throws IOException {
        Path file = tmp.newFile().toPath();
        byte[] data = new byte[3 * 8192];
        for (int i = 0; i < data.length; i++) {
            data[i] = (byte) (i * 7 + 1);
        }
        Files.write(file, data);
        try (FileChannel fc = FileChannel.open(file, StandardOpenOption.READ, StandardOpenOption.WRITE);
                ReplicatedFileChannel ch = open("edge-map")) {
            MappedByteBuffer ro = fc.map(FileChannel.MapMode.READ_ONLY, 0, data.length);
            MappedByteBuffer rw = fc.map(FileChannel.MapMode.READ_WRITE, 0, data.length);
            assertEquals(data.length, ch.write(ro.duplicate(), 0));
            ByteBuffer back = ByteBuffer.allocate(data.length);
            rw.put(0, new byte[data.length]);
            assertEquals(data.length, ch.read(rw.duplicate(), 0));
            rw.get(0, back.array());
            assertArrayEquals("mapped source and destination hold the region's bytes", data, back.array());

            fc.truncate(4096);
            for (int round = 0; round < 2000; round++) { // compiled code too
                IOException w = assertThrows(IOException.class, () -> ch.write(ro.slice(8192, 600), 100));
                assertTrue(w.getMessage(), w.getMessage().contains("truncated"));
                assertThrows(IOException.class, () -> ch.read(rw.slice(4000, 600), 0));
                assertEquals(600, ch.write(ro.slice(0, 600), 0));
            }
            assertEquals("nothing of the failed writes arrived", data.length, ch.size());
        }
    }

    // ---- tools: usage errors before the cluster, extraction directories ----

    @Test
    public void toolsRefuseBadNamesWithStatusTwoBeforeTheCluster() {
        String longName = "r".repeat(256);
        String[][] admin = {
            {"region", longName}, {"delete", "a\u0000b"}, {"--config", "c\uD800.cfg", "daemons"},
            {"recovery", "--prefix", "p\uDFFF"}, {"region", "\u00e9".repeat(128)}, {"delete", "d\uFFFD\uFFFDmo"},
        };
        for (String[] args : admin) {
            String[] r = run(AdminTool::run, args);
            assertEquals(r[1], "2", r[0]);
            assertTrue(r[1], r[1].startsWith("tessera-admin: ") && r[1].matches("(?s).*(UTF-8|U\\+).*"));
        }
        String[][] demo = {
            {"--region", longName}, {"--region", "j\uDC00"}, {"--config", "c\u0000"},
            {"--config", "\u00e9".repeat(128)}, {"--region", "d\uFFFD\uFFFDmo"}, // what LANG=C makes of "démo"
        };
        for (String[] args : demo) {
            String[] r = run(JournalDemo::run, args);
            assertEquals(String.join(" ", args) + ": " + r[1], "2", r[0]);
            assertEquals("nothing ran", "", r[2]);
            assertTrue(r[1], r[1].startsWith("run-demo: "));
        }
    }

    private interface Tool {
        int run(String[] args, PrintStream out, PrintStream err);
    }

    /** Status, standard error and standard output of one in-process run. */
    private static String[] run(Tool tool, String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        Function<ByteArrayOutputStream, PrintStream> ps = s -> new PrintStream(s, true, StandardCharsets.UTF_8);
        int status = tool.run(args, ps.apply(out), ps.apply(err));
        return new String[] {Integer.toString(status), err.toString(StandardCharsets.UTF_8),
            out.toString(StandardCharsets.UTF_8)};
    }

    private static ReplicatedFileChannel open(String name) throws IOException {
        return ReplicatedFileChannel.builder(name).regionSize(1 << 16).open();
    }
}
