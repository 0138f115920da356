package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.io.StringReader;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;

import com.google.gson.Gson;
import com.google.gson.GsonBuilder;
import com.google.gson.ToNumberPolicy;
import com.google.gson.stream.JsonReader;
import com.google.gson.stream.JsonToken;

import org.junit.After;
import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.ReplicatedStoreAdmin;
import tessera.store.io.file.StandIn;

/**
 * The admin tool's commands, exit codes and --json against this JVM's embedded cluster, run in-process,
 * and its units, tables and JSON writer at their edges.
 */
public class AdminToolTest {
    record Run(int status, String out, String err) {
        Map<String, Object> json() {
            return MiniJson.object(MiniJson.parse(out));
        }
    }

    @After
    public void freshCluster() {
        StandIn.reset();
    }

    static Run tool(String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int status = AdminTool.run(args, new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        assertFalse("every run detaches again", new ReplicatedStoreAdmin().isAttached());
        return new Run(status, out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8));
    }

    static Run ok(String... args) {
        Run r = tool(args);
        assertEquals(String.join(" ", args) + ": " + r.err, 0, r.status);
        return r;
    }

    static void failed(String text, String... args) {
        Run r = tool(args);
        assertEquals(String.join(" ", args), AdminTool.EXIT_FAILED, r.status);
        assertTrue(r.out, args[0].equals("--demo") || r.out.isEmpty());
        assertTrue(r.err, r.err.startsWith("tessera-admin: ") && r.err.contains(text));
    }

    private static Map<String, Object> region(Run r, String name) {
        return MiniJson.array(r.json().get("regions")).stream().map(MiniJson::object)
                .filter(m -> name.equals(m.get("name"))).findFirst().orElse(null);
    }

    @Test
    public void listingsAsTablesAndAsJson() throws IOException {
        String t = ok("daemons").out;
        assertTrue(t, t.matches("(?s)DAEMON +STATUS +ADDRESS +USED +TOTAL +USE% .*\n *\\*0 +UP +127\\.0\\.0\\.1:7001 .*"
                + "3 daemons, 3 up;.*"));
        Map<String, Object> d1 = MiniJson.object(MiniJson.array(ok("--json", "daemons").json().get("daemons")).get(1));
        assertEquals(List.of(1L, "UP", 7002L, 1L << 30), List.of(d1.get("index"), d1.get("status"), d1.get("port"),
                d1.get("totalMemoryBytes")));

        Run demo = ok("--demo", "regions");
        assertTrue(demo.out, demo.out.lines().anyMatch(l -> l.matches(
                "demo-orders +64\\.0 MiB +3\\.0 MiB +4\\.7% +4\\.0 KiB +2 +1 +0 +0,1 +no")));
        Map<String, Object> orders = region(ok("regions", "--demo", "--json"), "demo-orders");
        assertEquals(List.of(64L << 20, 3L << 20, List.of(0L, 1L), false), List.of(orders.get("sizeBytes"),
                orders.get("usedBytes"), orders.get("nodes"), orders.get("open")));

        String name = "odd \"quoted\" \\ tab\t nl\n cr\r \u0007 \u007f \u0085 \u2028 clef \uD834\uDD1E \u00e9";
        String shown = "odd \"quoted\" \\\\ tab\\t nl\\n cr\\r \\x07 \\x7f \\x85 \\u2028 clef \uD834\uDD1E \u00e9";
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder(name).regionSize(3 << 20).localIndex(2)
                .maxCopies(1).open()) {
            ch.write(ByteBuffer.allocate(5000), 0);
        }
        assertEquals(5000L, region(ok("--json", "--daemon", "2", "regions", "--local"), name).get("usedBytes"));
        assertEquals(null, region(ok("--json", "regions", "--local"), name));
        String table = ok("--daemon", "2", "regions", "--local").out;
        assertTrue(table, table.lines().anyMatch(l -> l.matches("\\Q" + shown + "\\E +3\\.0 MiB +4\\.9 KiB .* no")));
        String details = ok("region", name).out;
        assertTrue(details, details.contains("Region:          " + shown + "\nSize:")
                && details.contains("Used:            4.9 KiB (5000 bytes, 0.2%)\n"));
    }

    @Test
    public void changesAndTheirFailures() {
        assertTrue(ok("--demo", "delete", "demo-audit").out.endsWith("Deleted region demo-audit.\n"));
        failed("listRegion Failed to get storeinfo for demo-audit", "region", "demo-audit");
        failed("Failed to delete store demo-audit", "--json", "delete", "demo-audit");
        // --demo holds demo-sessions open for the whole command
        failed("Failed to delete store demo-sessions", "--demo", "delete", "demo-sessions");
        assertEquals(Map.of("deleted", "demo-sessions", "force", true),
                ok("--demo", "--json", "delete", "demo-sessions", "--force").json());
        Map<String, Object> j = ok("--json", "attach-daemon", "2").json();
        assertEquals(List.of(0L, 2L), List.of(j.get("previous"), j.get("attachedDaemon")));
        failed("attachToDaemon Failed to attach to daemon 9", "attach-daemon", "9");
        failed("attach mb_init failed", "--config", "/nonexistent/cluster.cfg", "daemons");

        Map<String, Object> rec = ok("--demo", "--json", "recovery", "--prefix", "DEMO-O").json();
        assertEquals(List.of("demo-orders"), MiniJson.array(rec.get("regions")).stream()
                .map(o -> MiniJson.object(o).get("name")).toList());
        assertEquals(0L, MiniJson.object(rec.get("localDaemon")).get("index"));
        assertTrue(ok("recovery", "--prefix", "no-such-").out.startsWith("Recovery: no regions starting with"));
    }

    @Test
    public void shutdownHonoursSafeAndForce() throws IOException {
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("sd-single").regionSize(1 << 20).localIndex(2)
                .maxCopies(1).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {1}), 0);
        }
        failed("shutdownDaemon Failed to shutdown daemon 2", "--daemon", "2", "shutdown", "--safe");
        try (ReplicatedFileChannel held = ReplicatedFileChannel.builder("sd-open").regionSize(1 << 20).localIndex(1)
                .open()) {
            held.write(ByteBuffer.wrap(new byte[] {2}), 0);
            failed("shutdownDaemon Failed to shutdown daemon 1", "--local-index", "1", "shutdown");
            assertEquals(Map.of("shutdown", 1L, "force", true, "safe", false),
                    ok("--local-index", "1", "--json", "shutdown", "--force").json());
        }
        assertEquals("Daemon 0 is shutting down (forced, safe).\n", ok("--daemon", "0", "shutdown", "--force",
                "--safe").out);
        assertTrue("daemons 0 and 1 are down", ok("--local-index", "2", "daemons").out.contains("3 daemons, 1 up;"));
    }

    @Test
    public void usageErrorsExitWithTwoAndEveryCommandHasHelp() {
        String[][] bad = {{}, {"frobnicate"}, {"region"}, {"region", "a", "b"}, {"regions", "--force"},
            {"attach-daemon", "two"}, {"--local-index", "-1", "daemons"}, {"--local-index"}, {"--bogus", "daemons"},
            {"help", "frobnicate"}, {"regions", "--local=yes"}};
        for (String[] args : bad) {
            Run r = tool(args);
            assertEquals(String.join(" ", args), AdminTool.EXIT_USAGE, r.status);
            assertEquals("", r.out);
            assertTrue(r.err, r.err.startsWith("tessera-admin: ") && r.err.contains("Run 'tessera-admin --help'"));
        }
        String general = ok("--help").out;
        assertEquals(general, ok("help").out);
        for (String c : new String[] {"daemons", "regions", "region", "delete", "attach-daemon", "shutdown",
            "recovery", "help"}) {
            assertTrue(c, general.contains("\n  " + c));
            String one = ok("--config", "/nonexistent/cluster.cfg", c, "--help").out;
            assertTrue(one, one.startsWith("Usage: tessera-admin [OPTIONS] " + c) && one.contains("--json"));
            assertEquals(one, ok("help", c).out);
        }
    }

    @Test
    public void unitsAndTablesAtTheirEdges() {
        assertEquals(List.of("0 B", "1023 B", "1.0 KiB", "1.0 GiB", "1023.9 MiB", "8.0 EiB", "-2.0 KiB"),
                List.of(ByteUnits.format(0), ByteUnits.format(1023), ByteUnits.format(1024),
                        ByteUnits.format((1L << 30) - 1), ByteUnits.format((1L << 30) - (110L << 10)),
                        ByteUnits.format(Long.MAX_VALUE), ByteUnits.format(-2048)));
        assertEquals(List.of("n/a", "2.0 KiB/s"), List.of(ByteUnits.rate(100, 0), ByteUnits.rate(1024, 500_000_000L)));
        assertEquals("NAME        SIZE  NOTE\n------  --------  ----\na            1 B  -\nlonger  10.0 MiB  x\n",
                new TextTable("NAME", "SIZE", "NOTE").align(TextTable.Align.RIGHT, 1).row("a", "1 B", null)
                        .row("longer", "10.0 MiB", "x").render());
        assertThrows(IllegalArgumentException.class, () -> new TextTable("A", "B").row("only one"));
    }

    @Test
    public void jsonIsEscapedParsesBackAndRefusesMalformedDocuments() {
        String awkward = "q\"b\\s/\n\r\t\b\f\u0001\u001f\u2028 \uD834\uDD1E \u00e9";
        String doc = new JsonWriter().beginObject().member("text", awkward).member("none", (String) null)
                .name("big").rawNumber("18446744073709551615").name("nested").beginArray().value(1).value(true)
                .beginObject().endObject().beginArray().endArray().endArray().endObject().toJson();
        assertTrue("control characters are escaped", doc.chars().noneMatch(c -> c < 0x20 && c != '\n'));
        Map<String, Object> m = MiniJson.object(MiniJson.parse(doc.replace("18446744073709551615", "0")));
        assertEquals(awkward, m.get("text"));
        assertEquals(null, m.get("none"));
        assertEquals(List.of(1L, true, Map.of(), List.of()), m.get("nested"));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginObject().value(1));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginArray().name("x"));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginArray().endObject());
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginObject().toJson());
        assertThrows(IllegalStateException.class, () -> new JsonWriter().value(1).value(2));
        assertThrows(IllegalArgumentException.class, () -> new JsonWriter().rawNumber("1e5"));
    }

    /** Strict JSON (one document, nothing after it) as maps, lists, strings, longs, booleans and null. */
    static final class MiniJson {
        private static final Gson GSON =
                new GsonBuilder().setObjectToNumberStrategy(ToNumberPolicy.LONG_OR_DOUBLE).create();

        static Object parse(String text) {
            try (JsonReader r = new JsonReader(new StringReader(text))) {
                Object v = GSON.getAdapter(Object.class).read(r);
                assertEquals(text, JsonToken.END_DOCUMENT, r.peek());
                return v;
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }

        @SuppressWarnings("unchecked")
        static Map<String, Object> object(Object v) {
            return (Map<String, Object>) v;
        }

        @SuppressWarnings("unchecked")
        static List<Object> array(Object v) {
            return (List<Object>) v;
        }
    }
}
