package tessera.store.examples;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.regex.Pattern;

import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.StoreAdmin;

/** The journal example end to end on the embedded cluster of this JVM. */
public class JournalDemoTest {
    private record Run(int status, String out, String err) {
        List<String> lines(String regex) {
            return out.lines().filter(Pattern.compile(regex).asPredicate()).toList();
        }
    }

    private static Run demo(String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int status = JournalDemo.run(args, new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        return new Run(status, out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8));
    }

    private static boolean regionExists(String name) throws IOException {
        try (StoreAdmin admin = StoreAdmin.attach("", 0)) {
            return admin.findRegion(name).isPresent();
        }
    }

    @Test
    public void appendReplayVerifyReportAndDelete() throws IOException {
        Run r = demo("--records", "10000", "--region", "jd-clean", "--seed", "7");
        assertEquals(r.out + r.err, JournalDemo.EXIT_VERIFIED, r.status);
        assertTrue(r.out, r.err.isEmpty() && r.out.contains("Journal verified: all 10000 records intact."));
        assertEquals(r.out, 1, r.lines("^  10000 records, .* in .* ms: .*/s, \\d+ records/s$").size());
        assertEquals(r.out, 1, r.lines("^  local daemon   .* of 1\\.0 GiB region memory in use").size());
        assertEquals(r.out, 1, r.lines("^  jd-clean +.*yes \\(local\\)$").size());
        assertEquals(List.of("  ... appended 1000/10000 records (10%)", "  ... replayed 9000/10000 records (90%)"),
                List.of(r.lines("appended").get(0), r.lines("replayed").get(8)));
        assertTrue(!regionExists("jd-clean"));
    }

    @Test
    public void aCorruptedRecordIsReportedAlone() throws IOException {
        for (int k : new int[] {0, 2999}) {
            Run r = demo("--records", "3000", "--region", "jd-corrupt-" + k, "--corrupt-record", Integer.toString(k));
            assertEquals(r.out + r.err, JournalDemo.EXIT_CORRUPT, r.status);
            assertEquals("one line, record " + k + ": " + r.out, List.of(true), r.lines("is corrupt").stream()
                    .map(l -> l.matches("  record " + k + " at offset \\d+ is corrupt: checksum mismatch "
                            + "\\(stored 0x[0-9a-f]{8}, computed 0x[0-9a-f]{8}\\)")).toList());
            assertTrue(r.out, r.out.contains("  verified 2999 of 3000 records; corrupt: " + k + "\n"));
            assertTrue("the damaged journal is deleted too", !regionExists("jd-corrupt-" + k));
        }
    }

    @Test
    public void anExistingRegionIsKeptAndBadCommandLinesExitWithTwo() throws IOException {
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("jd-taken").regionSize(1 << 20).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {42}), 0);
        }
        Run r = demo("--records", "100", "--region", "jd-taken");
        assertTrue(r.err, r.status == JournalDemo.EXIT_STORE_FAILED && r.err.contains("'jd-taken' already exists"));
        assertTrue(regionExists("jd-taken"));
        String[][] bad = {{"--records", "0"}, {"--records", "many"}, {"--records", "5", "--corrupt-record", "5"},
            {"--region", ""}, {"--frobnicate"}, {"stray"}, {"--config"}};
        for (String[] args : bad) {
            Run u = demo(args);
            assertEquals(String.join(" ", args), JournalDemo.EXIT_USAGE, u.status);
            assertTrue(u.err, u.out.isEmpty() && u.err.startsWith("run-demo: "));
        }
        assertTrue(demo("--help").out.startsWith("Usage: run-demo [OPTIONS]"));
    }
}
