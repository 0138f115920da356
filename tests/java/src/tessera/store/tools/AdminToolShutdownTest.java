package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.List;
import java.util.Map;

import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;

/**
 * Daemon shutdown through the admin tool. It takes daemons of this JVM's
 * embedded cluster down for good, so it has a JVM of its own.
 */
public class AdminToolShutdownTest {

    private static String daemonStatus(int index) {
        // Daemon 2 stays up throughout, so the listing attaches through it.
        List<Object> daemons = MiniJson.array(AdminToolTest.ok("--local-index", "2", "--json", "daemons").json()
                .get("daemons"));
        return (String) MiniJson.object(daemons.get(index)).get("status");
    }

    @Test
    public void shutdownHonoursSafeAndForce() throws IOException {
        // The only copy of this region lives on daemon 2.
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("sd-single").regionSize(1 << 20)
                .localIndex(2).maxCopies(1).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {1}), 0);
        }
        AdminToolTest.Run safe = AdminToolTest.tool("--daemon", "2", "shutdown", "--safe");
        assertEquals(AdminTool.EXIT_FAILED, safe.status());
        assertTrue(safe.err(), safe.err().contains("shutdownDaemon Failed to shutdown daemon 2"));
        assertEquals("UP", daemonStatus(2));

        // Daemon 1 holds a copy of a region that is open.
        try (ReplicatedFileChannel held = ReplicatedFileChannel.builder("sd-open").regionSize(1 << 20)
                .localIndex(1).open()) {
            held.write(ByteBuffer.wrap(new byte[] {2}), 0);
            AdminToolTest.Run unforced = AdminToolTest.tool("--local-index", "1", "shutdown");
            assertEquals(AdminTool.EXIT_FAILED, unforced.status());
            assertTrue(unforced.err(), unforced.err().contains("shutdownDaemon Failed to shutdown daemon 1"));
            assertEquals("UP", daemonStatus(1));

            Map<String, Object> j = AdminToolTest.ok("--local-index", "1", "--json", "shutdown", "--force").json();
            assertEquals(Map.of("shutdown", 1L, "force", Boolean.TRUE, "safe", Boolean.FALSE), j);
            assertEquals("DOWN", daemonStatus(1));
            assertEquals("UP", daemonStatus(0));
        }

        AdminToolTest.Run t = AdminToolTest.ok("--daemon", "0", "shutdown", "--force", "--safe");
        assertEquals("Daemon 0 is shutting down (forced, safe).\n", t.out());
        assertEquals("DOWN", daemonStatus(0));
        assertTrue(AdminToolTest.ok("--local-index", "2", "daemons").out().contains("3 daemons, 1 up;"));
    }
}
