package tessera.store.redis;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.io.IOException;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;

import org.junit.After;
import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;

/**
 * The store on Redis, end to end from Java: each test starts its own
 * redis-server (primary, replica) and redis-sentinel processes on free
 * loopback ports, without persistence, and ends them.
 */
public class RedisStoreTest {
    private static final int RECORD = 1000;
    private final List<Process> processes = new ArrayList<>();
    private Path dir;
    private int primary;
    private int replica;
    private int sentinel;
    private Path config;

    @After
    public void stopServers() throws InterruptedException {
        for (Process p : processes) {
            p.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
        }
    }

    private static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return s.getLocalPort();
        }
    }

    private Process start(String... cmd) throws IOException {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true)
                .redirectOutput(dir.resolve("server-" + processes.size() + ".log").toFile()).start();
        processes.add(p);
        return p;
    }

    private static String cli(int port, String... args) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>(List.of("redis-cli", "-h", "127.0.0.1", "-p", Integer.toString(port)));
        cmd.addAll(List.of(args));
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        p.waitFor(10, TimeUnit.SECONDS);
        return out.trim();
    }

    private static void waitFor(String what, long millis, BooleanSupplier ready) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        while (!ready.getAsBoolean()) {
            if (System.nanoTime() > end) {
                fail("no " + what + " within " + millis + " ms");
            }
            Thread.sleep(50);
        }
    }

    private boolean answers(int port, String expected) {
        try {
            return cli(port, "ping").equals(expected);
        } catch (IOException e) {
            return false;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return false;
        }
    }

    /** Primary and replica, plus a Sentinel watching them when asked. */
    private void startServers(boolean withSentinel) throws Exception {
        dir = Files.createTempDirectory(Paths.get(System.getProperty("tessera.test.workdir", "/tmp")), "redis");
        primary = freePort();
        replica = freePort();
        String[] common = {"--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", dir.toString(),
            "--repl-diskless-sync-delay", "0"};
        List<String> cmd = new ArrayList<>(List.of("redis-server", "--port", Integer.toString(primary)));
        cmd.addAll(List.of(common));
        start(cmd.toArray(new String[0]));
        cmd.set(2, Integer.toString(replica));
        cmd.addAll(List.of("--replicaof", "127.0.0.1", Integer.toString(primary)));
        start(cmd.toArray(new String[0]));
        waitFor("replica online", 10_000, () -> answers(primary, "PONG") && answers(replica, "PONG")
                && info(primary).contains("state=online"));
        String conf = "backend redis  # servers of this test\nprimary 127.0.0.1 " + primary
                + "\nreplica 127.0.0.1 " + replica + "\nconnect-timeout-ms 500\ncommand-timeout-ms 2000\n";
        if (withSentinel) {
            sentinel = freePort();
            Path sconf = dir.resolve("sentinel.conf");
            Files.writeString(sconf, "port " + sentinel + "\nbind 127.0.0.1\ndir " + dir
                    + "\nsentinel monitor m 127.0.0.1 " + primary + " 1\nsentinel down-after-milliseconds m 1000\n"
                    + "sentinel failover-timeout m 5000\n");
            start("redis-sentinel", sconf.toString());
            waitFor("sentinel", 10_000, () -> answers(sentinel, "PONG"));
            conf += "sentinel 127.0.0.1 " + sentinel + "\nmaster-name m\n";
        }
        config = dir.resolve("store.conf");
        Files.writeString(config, conf);
    }

    private static String info(int port) {
        try {
            return cli(port, "info", "replication");
        } catch (IOException | InterruptedException e) {
            return "";
        }
    }

    private static ReplicatedFileChannel open(String config, String name, int minCopies) throws IOException {
        return ReplicatedFileChannel.builder(name).regionSize(64L << 20).minCopies(minCopies).maxCopies(2)
                .configFile(config).open();
    }

    private static byte[] record(int i) {
        byte[] b = new byte[RECORD];
        for (int k = 0; k < RECORD; k++) {
            b[k] = (byte) (i * 31 + k);
        }
        return b;
    }

    private static void expectRecords(ReplicatedFileChannel ch, int count) throws IOException {
        assertEquals((long) count * RECORD, ch.size());
        for (int i = 0; i < count; i++) {
            ByteBuffer got = ByteBuffer.allocate(RECORD);
            assertEquals(RECORD, ch.read(got, (long) i * RECORD));
            assertArrayEquals("record " + i, record(i), got.array());
        }
    }

    /** Child JVM: writes {@code count} records to the region, then ends without closing it. */
    public static void main(String[] args) throws IOException {
        ReplicatedFileChannel ch = open(args[0], args[1], 1);
        for (int i = 0; i < Integer.parseInt(args[2]); i++) {
            ch.write(ByteBuffer.wrap(record(i)), (long) i * RECORD);
        }
        Runtime.getRuntime().halt(0);
    }

    @Test
    public void twoJvmsShareARegionThatOutlivesItsWriter() throws Exception {
        startServers(false);
        List<String> cmd = new ArrayList<>(List.of(Paths.get(System.getProperty("java.home"), "bin", "java")
                .toString(), "-cp", System.getProperty("java.class.path")));
        if (java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
            cmd.add("-Xcheck:jni");
        }
        cmd.addAll(List.of(RedisStoreTest.class.getName(), config.toString(), "shared", "300"));
        Process child = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue("child JVM ended", child.waitFor(120, TimeUnit.SECONDS));
        System.out.print(out);
        assertEquals(out, 0, child.exitValue());
        try (ReplicatedFileChannel ch = open(config.toString(), "shared", 1)) {
            expectRecords(ch, 300);
        }
    }

    @Test
    public void failoverKeepsEveryWriteAReplicaAcknowledged() throws Exception {
        startServers(true);
        int count = 200;
        try (ReplicatedFileChannel ch = open(config.toString(), "failover", 2)) {
            for (int i = 0; i < count; i++) {
                ch.write(ByteBuffer.wrap(record(i)), (long) i * RECORD);  // returns once WAIT saw the replica
            }
            processes.get(0).destroyForcibly().waitFor(10, TimeUnit.SECONDS);  // the primary's process
            waitFor("promotion by the Sentinel", 30_000, () -> {
                try {
                    return cli(sentinel, "sentinel", "get-master-addr-by-name", "m").endsWith(
                            Integer.toString(replica));
                } catch (IOException | InterruptedException e) {
                    return false;
                }
            });
            expectRecords(ch, count);  // the open handle finds the new primary
        }
        try (ReplicatedFileChannel again = open(config.toString(), "failover", 1)) {
            expectRecords(again, count);
        }
    }

    @Test
    public void aServerGoneMidWriteGivesIOExceptionNotAHang() throws Exception {
        startServers(false);
        ExecutorService pool = Executors.newSingleThreadExecutor();
        try (ReplicatedFileChannel ch = open(config.toString(), "gone", 1)) {
            ByteBuffer big = ByteBuffer.allocateDirect(1 << 20);
            ch.write(big.duplicate(), 0);
            Future<?> writer = pool.submit(() -> {
                for (long i = 0;; i++) {
                    ch.write(big.duplicate(), (i % 32) << 20);
                }
            });
            processes.get(0).destroyForcibly();
            try {
                writer.get(60, TimeUnit.SECONDS);
                fail("writes went on after the primary went away");
            } catch (java.util.concurrent.ExecutionException e) {
                assertTrue(String.valueOf(e.getCause()), e.getCause() instanceof IOException);
                assertTrue(e.getCause().getMessage(), e.getCause().getMessage().contains("127.0.0.1:" + primary));
            }
        } finally {
            pool.shutdownNow();
        }
    }
}
