package tessera.store.redis;

import static java.util.concurrent.TimeUnit.SECONDS;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collection;
import java.util.List;
import java.util.Queue;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;
import java.util.function.Supplier;
import java.util.stream.Stream;

import org.junit.After;
import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;

/**
 * The store on Redis, end to end from Java: each test starts its own
 * redis-server and redis-sentinel processes on free loopback ports, every
 * server with an append-only file synced at each write (as
 * scripts/redis-local.sh runs them), and ends them. The fault cases kill,
 * stop (SIGSTOP) and restart servers under a writer, and a new JVM then
 * reads back every write the store acknowledged.
 */
public class RedisStoreTest {
    private static final int BLOCK = 4096;              // the fault cases' records: record k at BLOCK * k
    private static final int REGION_BLOCK = 16 << 20;   // records share blocks: few writes start one
    private static final long REGION = 256L << 20;
    private final List<Process> processes = new ArrayList<>();
    private final Process[] servers = new Process[3];                 // the primary first
    private final List<List<String>> serverCommands = new ArrayList<>();
    private final List<Integer> ports = new ArrayList<>();
    private Path dir;
    private int primary;
    private int replica;
    private int sentinel;
    private Path config;

    @After
    public void stopServers() throws Exception {
        for (Process p : processes) {
            p.destroyForcibly().waitFor(10, SECONDS);
        }
        if (dir != null) {  // the data; the logs stay
            try (Stream<Path> all = Files.walk(dir)) {
                for (Path f : (Iterable<Path>) all.filter(f -> f.toString().matches(".*\\.(aof|rdb)(\\.[^/]*)?"))::iterator) {
                    Files.delete(f);
                }
            }
        }
    }

    private static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return s.getLocalPort();
        }
    }

    private Process start(List<String> cmd) throws IOException {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true)
                .redirectOutput(dir.resolve("process-" + processes.size() + ".log").toFile()).start();
        processes.add(p);
        return p;
    }

    /** redis-cli's answer, or "" when it could not ask within 10 s. */
    private static String cli(int port, String... args) {
        List<String> cmd = new ArrayList<>(List.of("redis-cli", "-h", "127.0.0.1", "-p", Integer.toString(port)));
        cmd.addAll(List.of(args));
        try {
            Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
            if (!p.waitFor(10, SECONDS)) {
                p.destroyForcibly().waitFor();
                return "";
            }
            return new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        } catch (IOException e) {
            return "";
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return "";
        }
    }

    private static void waitFor(String what, long millis, BooleanSupplier ready) throws InterruptedException {
        waitFor(what, millis, ready, () -> "");
    }

    private static void waitFor(String what, long millis, BooleanSupplier ready, Supplier<Object> detail)
            throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        while (!ready.getAsBoolean()) {
            if (System.nanoTime() > end) {
                fail("no " + what + " within " + millis + " ms" + detail.get());
            }
            Thread.sleep(50);
        }
    }

    private void awaitReplicaOnline(int i) throws InterruptedException {
        String line = "port=" + ports.get(i) + ",state=online";
        waitFor("replica " + ports.get(i) + " online", 20_000,
                () -> cli(ports.get(i - 1), "ping").equals("PONG") && cli(ports.get(i - 1), "info", "replication").contains(line));
    }

    /**
     * A primary and a chain of replicas, each following the server before it
     * (so WAIT on the primary counts the first replica only, the one the
     * Sentinel can promote), plus a Sentinel watching the primary when asked.
     */
    private void startServers(int replicas, boolean withSentinel) throws Exception {
        dir = Files.createTempDirectory(Paths.get(System.getProperty("tessera.test.workdir", "/tmp")), "redis");
        StringBuilder conf = new StringBuilder("backend redis  # servers of this test\n");
        for (int i = 0; i <= replicas; i++) {
            ports.add(freePort());
            List<String> cmd = new ArrayList<>(List.of("redis-server", "--port", ports.get(i).toString(), "--bind",
                    "127.0.0.1", "--dir", Files.createDirectories(dir.resolve("data-" + i)).toString(), "--appendonly",
                    "yes", "--appendfsync", "always", "--save", "", "--repl-diskless-sync-delay", "0"));
            if (i > 0) {
                cmd.addAll(List.of("--replicaof", "127.0.0.1", ports.get(i - 1).toString()));
            }
            serverCommands.add(cmd);
            servers[i] = start(cmd);
            conf.append(i == 0 ? "primary" : "replica").append(" 127.0.0.1 ").append(ports.get(i)).append('\n');
        }
        primary = ports.get(0);
        replica = ports.get(1);
        for (int i = 1; i <= replicas; i++) {
            awaitReplicaOnline(i);
        }
        conf.append("connect-timeout-ms 500\ncommand-timeout-ms 2000\n");
        if (withSentinel) {
            sentinel = freePort();
            Path sconf = dir.resolve("sentinel.conf");
            Files.writeString(sconf, "port " + sentinel + "\nbind 127.0.0.1\ndir " + dir
                    + "\nsentinel monitor m 127.0.0.1 " + primary + " 1\nsentinel down-after-milliseconds m 1000\n"
                    + "sentinel failover-timeout m 5000\n");
            start(List.of("redis-sentinel", sconf.toString()));
            waitFor("Sentinel that counts on the replica", 20_000, () -> sentinelFlags(replica).equals("slave"));
            conf.append("sentinel 127.0.0.1 ").append(sentinel).append("\nmaster-name m\n");
        }
        config = dir.resolve("store.conf");
        Files.writeString(config, conf);
    }

    /** The Sentinel's flags for the replica on port ("slave" when it is fit to be promoted). */
    private String sentinelFlags(int port) {
        List<String> out = List.of(cli(sentinel, "sentinel", "replicas", "m").split("\n"));
        for (int i = out.indexOf("127.0.0.1:" + port); i >= 0 && i + 1 < out.size(); i++) {
            if (out.get(i).equals("flags")) {
                return out.get(i + 1);
            }
        }
        return "";
    }

    private boolean promoted() {
        return cli(sentinel, "sentinel", "get-master-addr-by-name", "m").endsWith("\n" + replica);
    }

    /** kill -STOP or -CONT, once the process shows the state. */
    private static void signal(Process p, String sig) throws Exception {
        Process k = new ProcessBuilder("kill", "-" + sig, Long.toString(p.pid())).inheritIO().start();
        assertTrue("kill -" + sig, k.waitFor(10, SECONDS) && k.exitValue() == 0);
        waitFor("kill -" + sig + " in effect", 5_000, () -> stopped(p) == sig.equals("STOP"));
    }

    private static boolean stopped(Process p) {
        try {
            String stat = Files.readString(Paths.get("/proc", Long.toString(p.pid()), "stat"));
            return stat.charAt(stat.lastIndexOf(')') + 2) == 'T';
        } catch (IOException e) {
            return false;
        }
    }

    private static ReplicatedFileChannel openBlocks(String config, String name, int minCopies) throws IOException {
        return ReplicatedFileChannel.builder(name).regionSize(REGION).blockSize(REGION_BLOCK).minCopies(minCopies)
                .maxCopies(3).configFile(config).open();
    }

    private static byte[] block(int k) {
        byte[] b = new byte[BLOCK];
        new Random(k).nextBytes(b);
        return b;
    }

    /** What is wrong with the 4 KiB records ks as read back: one line per record. */
    private static List<String> badBlocks(ReplicatedFileChannel ch, Collection<Integer> ks) {
        List<String> bad = new ArrayList<>();
        for (int k : ks.stream().sorted().toList()) {
            ByteBuffer got = ByteBuffer.allocate(BLOCK);
            String why;
            try {
                int n = ch.read(got, (long) k * BLOCK);
                why = n != BLOCK ? "read gave " + n : Arrays.equals(got.array(), block(k)) ? null : "other bytes";
            } catch (IOException e) {
                why = e.toString();
            }
            if (why != null) {
                bad.add("record " + k + ": " + why);
            }
        }
        return bad;
    }

    /**
     * Child JVM: {@code CONFIG NAME FILE...} reads back, for each region NAME,
     * the 4 KiB records listed in its FILE and exits 1 if any is missing or
     * different.
     */
    public static void main(String[] args) throws IOException {
        boolean allRight = true;
        for (int i = 1; i + 1 < args.length; i += 2) {
            List<Integer> ks = Files.readAllLines(Paths.get(args[i + 1])).stream().map(Integer::valueOf).toList();
            List<String> bad;
            try (ReplicatedFileChannel ch = openBlocks(args[0], args[i], 1)) {
                bad = badBlocks(ch, ks);
            }
            bad.stream().limit(10).forEach(System.out::println);
            System.out.println(args[i] + ": " + ks.size() + " acknowledged records read back, " + bad.size() + " wrong");
            allRight &= bad.isEmpty();
        }
        Runtime.getRuntime().halt(allRight ? 0 : 1);
    }

    private void runChild(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(Paths.get(System.getProperty("java.home"), "bin", "java")
                .toString(), "-cp", System.getProperty("java.class.path")));
        if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
            cmd.add("-Xcheck:jni");
        }
        if (System.getProperty("tessera.store.native.dir") != null) {
            cmd.add("-Dtessera.store.native.dir=" + System.getProperty("tessera.store.native.dir"));
        }
        cmd.add(RedisStoreTest.class.getName());
        cmd.addAll(List.of(args));
        Process child = start(cmd);
        boolean ended = child.waitFor(120, SECONDS);
        String out = Files.readString(dir.resolve("process-" + (processes.size() - 1) + ".log"));
        System.out.print(out);
        assertTrue("child JVM ended: " + out, ended);
        assertEquals(out, 0, child.exitValue());
    }

    private void checkInNewJvm(String name, Set<Integer> acked) throws Exception {
        checkInNewJvm(List.of(name), List.of(acked));
    }

    private void checkInNewJvm(List<String> names, List<Set<Integer>> acked) throws Exception {
        List<String> args = new ArrayList<>(List.of(config.toString()));
        for (int i = 0; i < names.size(); i++) {
            Path list = Files.write(dir.resolve(names.get(i) + "-acked-" + processes.size()),
                    acked.get(i).stream().map(String::valueOf).toList());
            args.addAll(List.of(names.get(i), list.toString()));
        }
        runChild(args.toArray(new String[0]));
    }

    /**
     * Writes 4 KiB records to one open channel, each round again one
     * acknowledged earlier (the same bytes) and a new one, and keeps account of
     * every attempt: when it ran and how it ended.
     */
    private static final class Writer {
        record Attempt(long start, long end, IOException failure) {}

        final ReplicatedFileChannel ch;
        final Set<Integer> acked = ConcurrentHashMap.newKeySet();
        final Queue<Attempt> attempts = new ConcurrentLinkedQueue<>();
        volatile IOException lastFailure;
        private volatile boolean stop;
        private volatile int next;
        private Thread thread;

        Writer(ReplicatedFileChannel ch) {
            this.ch = ch;
        }

        private boolean write(int k) {
            long start = System.nanoTime();
            IOException failure = null;
            try {
                ch.write(ByteBuffer.wrap(block(k)), (long) k * BLOCK);
            } catch (IOException e) {
                failure = lastFailure = e;
            }
            attempts.add(new Attempt(start, System.nanoTime(), failure));
            return failure == null;
        }

        boolean round() {
            int k = next++;
            boolean again = !acked.contains(k / 2) || write(k / 2);
            if (!write(k)) {
                return false;
            }
            acked.add(k);
            return again;
        }

        /** Rounds on this thread, each one acknowledged, at least count and for at least millis. */
        void rounds(int count, long millis, String when) {
            long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
            for (int i = 0; i < count || System.nanoTime() < end; i++) {
                if (!round()) {
                    throw new AssertionError("a write " + when + " failed: " + lastFailure, lastFailure);
                }
            }
        }

        Writer start() {
            thread = new Thread(() -> {
                while (!stop && (next + 1L) * BLOCK <= REGION) {
                    round();
                }
            }, "writer");
            thread.setDaemon(true);
            thread.start();
            return this;
        }

        void stop() throws InterruptedException {
            stop = true;
            thread.join(30_000);
            assertFalse("writer still writing 30 s after it was asked to stop", thread.isAlive());
        }

        /** Attempts that started at or after from and ended by to. */
        List<Attempt> between(long from, long to) {
            return attempts.stream().filter(a -> a.start >= from && a.end <= to).toList();
        }

        long acknowledgedSince(long from) {
            return between(from, Long.MAX_VALUE).stream().filter(a -> a.failure == null).count();
        }

        String last() {
            return "; last write failure: " + lastFailure + ", records acknowledged: " + acked.size();
        }
    }

    /** Stops the replica until two-copy writes were tried and ended meanwhile; every one must have failed. */
    private void writesFailWhileTheReplicaIsStopped(List<Writer> ws) throws Exception {
        Process rep = servers[1];
        signal(rep, "STOP");
        long from = System.nanoTime();
        waitFor("writes tried while the replica is stopped", 15_000,
                () -> ws.stream().allMatch(w -> !w.between(from, Long.MAX_VALUE).isEmpty()));
        long to = System.nanoTime();
        signal(rep, "CONT");
        for (Writer w : ws) {
            List<Writer.Attempt> during = w.between(from, to);
            assertEquals("two-copy writes acknowledged while the only replica behind the primary was stopped, of "
                    + during.size(), 0, during.stream().filter(a -> a.failure == null).count());
        }
        waitFor("Sentinel that counts on the replica again", 20_000, () -> sentinelFlags(replica).equals("slave"));
        long back = System.nanoTime();
        waitFor("writes acknowledged once the replica went on", 20_000,
                () -> ws.stream().allMatch(w -> w.acknowledgedSince(back) > 0), ws.get(0)::last);
    }

    /**
     * Writers, each with one open channel of a two-copy region of its own,
     * go on while the primary is killed, or stopped for longer than the
     * command time-out and left stopped; once the Sentinel promoted the
     * replica, the same channels must get writes acknowledged there, and a
     * new JVM reads back every record acknowledged.
     */
    private void failoverUnderWriters(String name, boolean kill, int count) throws Exception {
        startServers(2, true);
        Process old = servers[0];
        List<ReplicatedFileChannel> chs = new ArrayList<>();
        List<Writer> ws = new ArrayList<>();
        List<String> names = new ArrayList<>();
        try {
            for (int i = 0; i < count; i++) {
                names.add(name + i);
                chs.add(openBlocks(config.toString(), names.get(i), 2));
                ws.add(new Writer(chs.get(i)).start());
            }
            try {
                waitFor("first writes", 20_000, () -> ws.stream().allMatch(w -> w.acked.size() >= 20), ws.get(0)::last);
                if (kill) {
                    writesFailWhileTheReplicaIsStopped(ws);
                    old.destroyForcibly().waitFor(10, SECONDS);
                } else {
                    signal(old, "STOP");
                }
                waitFor("promotion by the Sentinel", 30_000, this::promoted);
                long promoted = System.nanoTime();
                waitFor("20 writes each acknowledged by the promoted replica while the old primary is "
                        + (kill ? "dead" : "stopped"), 20_000,
                        () -> ws.stream().allMatch(w -> w.acknowledgedSince(promoted) >= 20), ws.get(0)::last);
            } finally {
                for (Writer w : ws) {
                    w.stop();
                }
            }
            checkInNewJvm(names, ws.stream().map(w -> w.acked).toList());
        } finally {
            for (ReplicatedFileChannel ch : chs) {
                ch.close();
            }
            if (!kill) {
                signal(old, "CONT");
            }
        }
    }

    @Test
    public void failoverUnderAWriterKeepsEveryAcknowledgedWrite() throws Exception {
        failoverUnderWriters("failover", true, 8);  // their writes share batches and WAITs
    }

    @Test
    public void aStoppedPrimaryIsLeftForThePromotedReplicaWhileItSleeps() throws Exception {
        failoverUnderWriters("stopped", false, 1);
    }

    @Test
    public void aPrimaryKilledAndRestartedAtOnceKeepsEveryAcknowledgedWrite() throws Exception {
        startServers(1, false);
        try (ReplicatedFileChannel ch = openBlocks(config.toString(), "restarted", 2)) {
            Writer w = new Writer(ch);
            w.rounds(200, 0, "before the restart");
            servers[0].destroyForcibly().waitFor(10, SECONDS);
            servers[0] = start(serverCommands.get(0));
            awaitReplicaOnline(1);
            w.round();  // may fail: the channel's connection ended with the old process
            w.rounds(50, 1500, "on the restarted primary");
            checkInNewJvm("restarted", w.acked);
        }
    }

}
