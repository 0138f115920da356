package tessera.store.examples;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;

import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.StoreAdmin;

/** The journal example end to end on the embedded cluster of this JVM. */
public class JournalDemoTest {

    private record Run(int status, String out, String err) {
        List<String> lines(String regex) {
            Pattern p = Pattern.compile(regex);
            return out.lines().filter(l -> p.matcher(l).find()).collect(Collectors.toList());
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
        Run r = demo("--records", "3000", "--region", "jd-clean", "--seed", "7");
        assertEquals(r.out + r.err, JournalDemo.EXIT_VERIFIED, r.status);
        assertEquals("", r.err);
        assertTrue(r.out, r.out.contains("  verified 3000 of 3000 records\n"));
        assertTrue(r.out, r.out.contains("Journal verified: all 3000 records intact."));
        assertEquals(r.out, 0, r.lines("is corrupt").size());
        // Throughput of both phases and the region's figures.
        assertEquals(r.out, 1, r.lines("^  3000 records, .* in .* ms: .*/s, \\d+ records/s$").size());
        assertEquals(r.out, 1, r.lines("^  read .* in .* ms: .*/s, \\d+ records/s$").size());
        assertEquals(r.out, 1, r.lines("^  local daemon   .* of 1\\.0 GiB region memory in use").size());
        Matcher size = Pattern.compile("file size +.* \\((\\d+) bytes\\)").matcher(r.out);
        assertTrue(r.out, size.find());
        long bytes = Long.parseLong(size.group(1));
        assertTrue("3000 records of 32 to 1040 bytes: " + bytes, bytes >= 3000L * 32 && bytes <= 3000L * 1040);
        // The cluster listings, with the journal's region while it was open.
        assertTrue(r.out, r.out.contains("\nDaemons\n  DAEMON"));
        assertTrue(r.out, r.out.contains("\nRegions\n  REGION"));
        assertEquals(r.out, 1, r.lines("^  jd-clean +.*yes \\(local\\)$").size());
        assertTrue(r.out, r.out.contains("Deleted region 'jd-clean'."));
        assertTrue("no progress lines below 10000 records", r.lines("\\.\\.\\. ").isEmpty());
        assertTrue(!regionExists("jd-clean"));
    }

    @Test
    public void aCorruptedRecordIsReportedAlone() throws IOException {
        for (int k : new int[] {0, 1234, 2999}) {
            String region = "jd-corrupt-" + k;
            Run r = demo("--records", "3000", "--region", region, "--corrupt-record", Integer.toString(k));
            assertEquals(r.out + r.err, JournalDemo.EXIT_CORRUPT, r.status);
            assertEquals(r.out, 1, r.lines("corrupted record " + k + " on purpose").size());
            List<String> bad = r.lines("is corrupt");
            assertEquals(r.out, 1, bad.size());
            assertTrue(bad.get(0), bad.get(0).matches("  record " + k + " at offset \\d+ is corrupt: checksum mismatch"
                    + " \\(stored 0x[0-9a-f]{8}, computed 0x[0-9a-f]{8}\\)"));
            assertTrue(r.out, r.out.contains("  verified 2999 of 3000 records; corrupt: " + k + "\n"));
            assertTrue(r.out, r.out.contains("Journal damaged"));
            assertTrue("the damaged journal is deleted too", !regionExists(region));
        }
    }

    @Test
    public void longRunsShowProgress() {
        Run r = demo("--records", "10000", "--region", "jd-progress");
        assertEquals(r.out + r.err, JournalDemo.EXIT_VERIFIED, r.status);
        List<String> appended = r.lines("^  \\.\\.\\. appended \\d+/10000 records \\(\\d+%\\)$");
        List<String> replayed = r.lines("^  \\.\\.\\. replayed \\d+/10000 records \\(\\d+%\\)$");
        assertEquals(r.out, 9, appended.size());
        assertEquals(r.out, 9, replayed.size());
        assertEquals("  ... appended 1000/10000 records (10%)", appended.get(0));
        assertEquals("  ... replayed 9000/10000 records (90%)", replayed.get(8));
    }

    @Test
    public void anExistingRegionIsNeitherOverwrittenNorDeleted() throws IOException {
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("jd-taken").regionSize(1 << 20).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {42}), 0);
        }
        Run r = demo("--records", "100", "--region", "jd-taken");
        assertEquals(JournalDemo.EXIT_STORE_FAILED, r.status);
        assertTrue(r.err, r.err.contains("region 'jd-taken' already exists"));
        assertTrue(regionExists("jd-taken"));
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("jd-taken").regionSize(1 << 20).open()) {
            assertEquals(1, ch.size());
        }
    }

    @Test
    public void badCommandLinesExitWithTwo() {
        String[][] bad = {
            {"--records", "0"},
            {"--records", "many"},
            {"--records", "5", "--corrupt-record", "5"},
            {"--region", ""},
            {"--frobnicate"},
            {"stray"},
            {"--config"},
        };
        for (String[] args : bad) {
            Run r = demo(args);
            assertEquals(String.join(" ", args), JournalDemo.EXIT_USAGE, r.status);
            assertEquals("", r.out);
            assertTrue(r.err, r.err.startsWith("run-demo: "));
        }
        Run help = demo("--help");
        assertEquals(0, help.status);
        assertTrue(help.out, help.out.startsWith("Usage: run-demo [OPTIONS]"));
    }
}
