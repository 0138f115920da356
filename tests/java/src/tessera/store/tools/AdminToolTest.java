package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;

import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.ReplicatedStoreAdmin;
import tessera.store.io.file.StoreAdmin;

/**
 * The admin tool's commands against the embedded cluster of this JVM, run
 * in-process with captured output. Regions that --demo makes stay in the
 * cluster between tests; each test reads only what it needs.
 */
public class AdminToolTest {
    private static final String[] COMMANDS = {
        "daemons", "regions", "region", "delete", "attach-daemon", "shutdown", "recovery", "help",
    };

    /** What one run of the tool produced. */
    record Run(int status, String out, String err) {
        Map<String, Object> json() {
            return MiniJson.object(MiniJson.parse(out));
        }
    }

    static Run tool(String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int status = AdminTool.run(args, new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        Run r = new Run(status, out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8));
        assertFalse("every run detaches again", new ReplicatedStoreAdmin().isAttached());
        return r;
    }

    static Run ok(String... args) {
        Run r = tool(args);
        assertEquals("exit status of " + String.join(" ", args) + "; stderr: " + r.err, 0, r.status);
        assertEquals("", r.err);
        return r;
    }

    private static Map<String, Object> regionNamed(List<Object> regions, String name) {
        for (Object o : regions) {
            Map<String, Object> r = MiniJson.object(o);
            if (name.equals(r.get("name"))) {
                return r;
            }
        }
        throw new AssertionError("no region " + name + " in " + regions);
    }

    private static List<String> regionNames(List<Object> regions) {
        return regions.stream().map(o -> (String) MiniJson.object(o).get("name")).collect(Collectors.toList());
    }

    // ---- listings, as tables and as JSON ----

    @Test
    public void daemonsAsTableAndAsJson() {
        Run t = ok("daemons");
        List<String> lines = t.out.lines().collect(Collectors.toList());
        assertTrue(t.out, lines.get(0).matches("DAEMON +STATUS +ADDRESS +USED +TOTAL +USE% .*"));
        assertTrue(t.out, lines.get(1).matches("[- ]+"));
        assertTrue("addressed daemon marked: " + t.out, lines.get(2).matches(" *\\*0 +UP +127\\.0\\.0\\.1:7001 .*"));
        assertTrue(t.out, lines.get(3).matches(" +1 +UP +127\\.0\\.0\\.1:7002 .* 1\\.0 GiB .*"));
        assertTrue(t.out, t.out.contains("3 daemons, 3 up;"));
        // Columns line up: every row is as long as the rule, or shorter only by trailing blanks cut.
        int ruleLength = lines.get(1).length();
        for (int i = 2; i < 5; i++) {
            assertTrue(lines.get(i), lines.get(i).length() <= ruleLength);
        }

        Map<String, Object> j = ok("--json", "daemons").json();
        assertEquals(0L, j.get("attachedDaemon"));
        List<Object> daemons = MiniJson.array(j.get("daemons"));
        assertEquals(3, daemons.size());
        for (int i = 0; i < 3; i++) {
            Map<String, Object> d = MiniJson.object(daemons.get(i));
            assertEquals((long) i, d.get("index"));
            assertEquals("UP", d.get("status"));
            assertEquals("127.0.0.1", d.get("ip"));
            assertEquals(7001L + i, d.get("port"));
            assertEquals(1L << 30, d.get("totalMemoryBytes"));
            assertEquals(3L, d.get("clusterDaemons"));
        }
    }

    @Test
    public void demoRegionsAsTableAndAsJson() {
        Run t = ok("--demo", "regions");
        assertTrue(t.out, t.out.startsWith("Demo: created sample regions demo-orders, demo-audit, demo-sessions"));
        String row = t.out.lines().filter(l -> l.startsWith("demo-orders ")).findFirst().orElseThrow();
        assertTrue(row, row.matches("demo-orders +64\\.0 MiB +3\\.0 MiB +4\\.7% +4\\.0 KiB +2 +1 +0 +0,1 +no"));
        String held = t.out.lines().filter(l -> l.startsWith("demo-sessions ")).findFirst().orElseThrow();
        assertTrue("held open during the command: " + held, held.endsWith("yes (local)"));

        Map<String, Object> j = ok("regions", "--demo", "--json").json();
        assertEquals("global", j.get("scope"));
        List<Object> regions = MiniJson.array(j.get("regions"));
        Map<String, Object> orders = regionNamed(regions, "demo-orders");
        assertEquals(64L << 20, orders.get("sizeBytes"));
        assertEquals(3L << 20, orders.get("usedBytes"));
        assertEquals(4096L, orders.get("blockSizeBytes"));
        assertEquals(List.of(0L, 1L), orders.get("nodes"));
        assertEquals(Boolean.FALSE, orders.get("open"));
        assertEquals(100_000L, regionNamed(regions, "demo-sessions").get("usedBytes"));
        assertEquals(Boolean.TRUE, regionNamed(regions, "demo-sessions").get("open"));
    }

    @Test
    public void localRegionsFollowTheAddressedDaemon() throws IOException {
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("tool-on-2").regionSize(1 << 20).localIndex(2)
                .maxCopies(1).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {9}), 0);
        }
        Map<String, Object> on2 = ok("--json", "--daemon", "2", "regions", "--local").json();
        assertEquals("local", on2.get("scope"));
        assertEquals(2L, on2.get("daemon"));
        assertTrue(regionNames(MiniJson.array(on2.get("regions"))).contains("tool-on-2"));
        Map<String, Object> on0 = ok("--json", "regions", "--local").json();
        assertEquals(0L, on0.get("daemon"));
        assertFalse(regionNames(MiniJson.array(on0.get("regions"))).contains("tool-on-2"));

        Run t = ok("--local-index", "2", "regions", "--local");
        assertTrue(t.out, t.out.lines().anyMatch(l -> l.startsWith("tool-on-2 ")));
        assertTrue(t.out, t.out.contains("on daemon 2"));
    }

    @Test
    public void oneRegionInDetailAndAsJsonWithAnAwkwardName() throws IOException {
        String name = "odd \"quoted\" \\ tab\t clef \uD834\uDD1E é";
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder(name).regionSize(3 << 20).open()) {
            ch.write(ByteBuffer.allocate(5000), 0);
        }
        Map<String, Object> r = MiniJson.object(ok("--json", "region", name).json().get("region"));
        assertEquals(name, r.get("name"));
        assertEquals(3L << 20, r.get("sizeBytes"));
        assertEquals(5000L, r.get("usedBytes"));

        Run t = ok("region", name);
        assertTrue(t.out, t.out.startsWith("Region:          " + name + "\n"));
        assertTrue(t.out, t.out.contains("Size:            3.0 MiB (3145728 bytes)\n"));
        assertTrue(t.out, t.out.contains("Used:            4.9 KiB (5000 bytes, 0.2%)\n"));
        assertTrue(t.out, t.out.contains("Held by daemons: 0,1\n"));
    }

    // ---- changes ----

    @Test
    public void deleteRemovesTheRegionAndAMissingRegionFails() {
        Run d = ok("--demo", "delete", "demo-audit");
        assertTrue(d.out, d.out.endsWith("Deleted region demo-audit.\n"));

        Run missing = tool("region", "demo-audit");
        assertEquals(AdminTool.EXIT_FAILED, missing.status);
        assertEquals("", missing.out);
        assertTrue(missing.err, missing.err.startsWith("tessera-admin: region failed: "));
        assertTrue(missing.err, missing.err.contains("listRegion Failed to get storeinfo for demo-audit"));

        Run again = tool("--json", "delete", "demo-audit");
        assertEquals(AdminTool.EXIT_FAILED, again.status);
        assertEquals("", again.out);
        assertTrue(again.err, again.err.contains("Failed to delete store demo-audit"));
    }

    @Test
    public void anOpenRegionNeedsForce() {
        // --demo holds demo-sessions open for the whole command.
        Run refused = tool("--demo", "delete", "demo-sessions");
        assertEquals(AdminTool.EXIT_FAILED, refused.status);
        assertTrue(refused.err, refused.err.contains("Failed to delete store demo-sessions"));

        Map<String, Object> j = ok("--demo", "--json", "delete", "demo-sessions", "--force").json();
        assertEquals(Map.of("deleted", "demo-sessions", "force", Boolean.TRUE), j);
        assertFalse(regionNames(MiniJson.array(ok("--json", "regions").json().get("regions")))
                .contains("demo-sessions"));
    }

    @Test
    public void attachDaemonRetargetsAndShowsTheDaemon() {
        Map<String, Object> j = ok("--json", "attach-daemon", "2").json();
        assertEquals(0L, j.get("previous"));
        assertEquals(2L, j.get("attachedDaemon"));
        assertEquals(2L, MiniJson.object(j.get("daemon")).get("index"));

        Run t = ok("--local-index", "1", "attach-daemon", "0");
        assertTrue(t.out, t.out.startsWith("Admin requests now address daemon 0 (was 1, local daemon 1).\n"));
        assertTrue(t.out, t.out.lines().anyMatch(l -> l.matches(" *\\*0 +UP .*")));

        Run bad = tool("attach-daemon", "9");
        assertEquals(AdminTool.EXIT_FAILED, bad.status);
        assertTrue(bad.err, bad.err.contains("attachToDaemon Failed to attach to daemon 9"));
    }

    @Test
    public void recoveryFiltersByPrefixWithoutAnAttach() throws IOException {
        Map<String, Object> j = ok("--demo", "--json", "recovery", "--prefix", "DEMO-O").json();
        assertEquals("DEMO-O", j.get("prefix"));
        assertEquals(List.of("demo-orders"), regionNames(MiniJson.array(j.get("regions"))));
        Map<String, Object> local = MiniJson.object(j.get("localDaemon"));
        assertEquals(0L, local.get("index"));
        assertEquals(1L << 30, local.get("totalMemoryBytes"));
        try (StoreAdmin admin = StoreAdmin.attach("", 0)) {
            assertEquals(admin.daemons().get(0).usedMemory(), (long) (Long) local.get("usedMemoryBytes"));
        }

        Run t = ok("recovery", "--prefix=demo-");
        assertTrue(t.out, t.out.startsWith("Recovery: regions starting with 'demo-':\n"));
        assertTrue(t.out, t.out.lines().anyMatch(l -> l.startsWith("demo-orders ")));
        assertTrue(t.out, t.out.contains("Local daemon 0: "));

        Run none = ok("recovery", "--prefix", "no-such-prefix-");
        assertTrue(none.out, none.out.startsWith("Recovery: no regions starting with 'no-such-prefix-'."));
    }

    // ---- failures, usage and help ----

    @Test
    public void aClusterThatCannotBeReachedFailsWithStatusOne() {
        Run r = tool("--config", "/nonexistent/cluster.cfg", "daemons");
        assertEquals(AdminTool.EXIT_FAILED, r.status);
        assertEquals("", r.out);
        assertTrue(r.err, r.err.startsWith("tessera-admin: daemons failed: "));
        assertTrue(r.err, r.err.contains("attach mb_init failed"));
    }

    @Test
    public void usageErrorsExitWithTwo() {
        String[][] bad = {
            {},
            {"frobnicate"},
            {"region"},
            {"region", "a", "b"},
            {"regions", "--force"},
            {"daemons", "--prefix", "x"},
            {"attach-daemon", "two"},
            {"--local-index", "-1", "daemons"},
            {"--local-index"},
            {"--bogus", "daemons"},
            {"help", "frobnicate"},
            {"regions", "--local=yes"},
        };
        for (String[] args : bad) {
            Run r = tool(args);
            String what = String.join(" ", args);
            assertEquals(what, AdminTool.EXIT_USAGE, r.status);
            assertEquals(what, "", r.out);
            assertTrue(what + ": " + r.err, r.err.startsWith("tessera-admin: "));
            assertTrue(what + ": " + r.err, r.err.contains("Run 'tessera-admin --help'"));
        }
    }

    @Test
    public void everyCommandHasHelp() {
        Run general = ok("--help");
        for (String c : COMMANDS) {
            assertTrue(c + " listed: " + general.out, general.out.contains("\n  " + c));
        }
        assertEquals(general.out, ok("help").out);
        for (String c : COMMANDS) {
            Run viaOption = ok(c, "--help");
            assertTrue(viaOption.out, viaOption.out.startsWith("Usage: tessera-admin [OPTIONS] " + c));
            assertTrue(viaOption.out, viaOption.out.contains("--json"));
            assertEquals(viaOption.out, ok("help", c).out);
        }
        // Help never touches the cluster: it works even with a configuration that cannot be read.
        ok("--config", "/nonexistent/cluster.cfg", "shutdown", "--help");
    }
}
