package tessera.store.bench;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.atomic.AtomicLong;

import tessera.store.io.file.NativeLibrary;
import tessera.store.io.file.direct.NativeCallbacks;
import tessera.store.io.file.direct.ReplicatedIONative;

/**
 * Data-path benchmark of the replicated file device (not a test).
 *
 * <p>Measures positional writes and reads through {@link ReplicatedIONative}
 * on the embedded cluster of the client library, next to the two things a
 * Java store would otherwise use or could never beat:
 * <ul>
 * <li>{@link FileChannel} positional write and read on a file in /dev/shm,
 * with direct buffers, the same sizes and positions;</li>
 * <li>the copy floor: an absolute bulk {@code ByteBuffer.put} between the
 * caller's buffer and a slice of one large direct buffer as big as the
 * region (write: into the large buffer; read: out of it).</li>
 * </ul>
 * Every combination runs over a 1 GiB region whose positions walk the whole
 * region (cache-cold) and over a 1 MiB region (cache-hot), for 512 B, 4 KiB,
 * 64 KiB and 1 MiB transfers, with a plain {@code allocateDirect} buffer and
 * with a 64-byte-aligned slice. Our device runs with inline completion and
 * with the default asynchronous completion (one connection of each, chosen
 * through the connection's cluster configuration file). Regions hold one copy
 * (minimum and maximum copies 1); the same is run on two-copy regions for
 * information.
 *
 * <p>Subjects are interleaved: every measured run does one batch of each
 * subject with each buffer kind in turn, so that a disturbance from other
 * users of the machine hits all of them alike. Figures are medians over the runs, after a warm-up
 * that also sizes each batch to the requested run time. Logging of the bridge
 * is off (the benchmark fails when a log line arrives).
 *
 * <p>Run through {@code bench/run.sh}; {@code --help} lists the options.
 */
public final class ReplicatedIOBench {

    private static final long GIB = 1L << 30;
    private static final long MIB = 1L << 20;
    private static final int ALIGN = 64;

    enum Kind {
        OURS, FILE_CHANNEL, COPY_FLOOR
    }

    enum BufferKind {
        PLAIN("plain allocateDirect"), ALIGNED("64-byte-aligned slice");

        final String label;

        BufferKind(String label) {
            this.label = label;
        }
    }

    /** One thing measured: a way to move bytes between a buffer and a region-sized target. */
    static final class Subject {
        final String label;
        final Kind kind;
        final boolean info; // reported for information, no target
        long handle = -1;
        FileChannel channel;
        ByteBuffer floor;

        Subject(String label, Kind kind, boolean info) {
            this.label = label;
            this.kind = kind;
            this.info = info;
        }
    }

    /** Median figures of one subject in one cell. */
    static final class Figures {
        double writeOps;
        double readOps;
    }

    /** One region size with its subjects. */
    static final class Region {
        final String label;
        final String key;
        final long size;
        final List<Subject> subjects = new ArrayList<>();

        Region(String label, String key, long size) {
            this.label = label;
            this.key = key;
            this.size = size;
        }
    }

    static final class Options {
        int runs = 7;
        int runMillis = 150;
        int warmMillis = 150;
        int blockSize = 4096;
        boolean twoCopies = true;
        boolean big = true;
        boolean hot = true;
        int[] sizes = {512, 4096, 64 * 1024, 1024 * 1024};
        Path workDir;
    }

    private final Options opt;
    private final PrintStream out = System.out;
    private final List<Region> regions = new ArrayList<>();
    private final List<Path> cleanup = new ArrayList<>();
    private final List<Long> handles = new ArrayList<>();
    private final List<FileChannel> channels = new ArrayList<>();
    private int nextHandle = 1;
    private long sink; // keeps results of the loops alive
    /** region key, size, buffer kind, subject label → figures */
    private final Map<String, Figures> results = new LinkedHashMap<>();
    private static final AtomicLong LOG_LINES = new AtomicLong();

    private ReplicatedIOBench(Options opt) {
        this.opt = opt;
    }

    // ------------------------------------------------------------------ set-up

    private Path clusterConfig(String name, String completion) throws IOException {
        // Every connection of the process must describe the same cluster; the
        // region memory per daemon is raised so that all regions fit.
        Path p = opt.workDir.resolve("tessera-bench-" + ProcessHandle.current().pid() + "-" + name);
        Files.writeString(p, "# cluster of the data-path benchmark\n"
                + "daemons 3\n"
                + "memory 16G\n"
                + "completion " + completion + "\n");
        cleanup.add(p);
        return p;
    }

    private long openOurs(String region, long size, int copies, Path config) throws IOException {
        int candidate = nextHandle++;
        String[] keys = {"CandidateHandle", "RegionSize", "BlockSize", "MinReplicaCount", "MaxReplicaCount",
            "ConfigFileName"};
        String[] values = {Integer.toString(candidate), Long.toString(size), Integer.toString(opt.blockSize),
            Integer.toString(copies), Integer.toString(copies), config.toString()};
        long h = ReplicatedIONative.open(region, "rw", keys, values);
        if (h < 0) {
            throw new IOException("open of region " + region + " failed");
        }
        handles.add(h);
        return h;
    }

    private void setUp() throws IOException {
        Path inline = clusterConfig("bench-inline.cfg", "inline");
        Path async = clusterConfig("bench-async.cfg", "async");
        if (opt.big) {
            regions.add(new Region("1 GiB region, positions walking the whole region", "1g", GIB));
        }
        if (opt.hot) {
            regions.add(new Region("1 MiB region, cache-hot", "1m", MIB));
        }
        for (Region r : regions) {
            List<Subject> s = r.subjects;
            String base = "bench-" + r.key;
            // Inline and asynchronous connections open the same region.
            Subject oi = new Subject("ours inline", Kind.OURS, false);
            oi.handle = openOurs(base + "-c1", r.size, 1, inline);
            Subject oa = new Subject("ours async", Kind.OURS, false);
            oa.handle = openOurs(base + "-c1", r.size, 1, async);
            s.add(oi);
            s.add(oa);
            if (opt.twoCopies) {
                Subject ti = new Subject("ours inline, 2 copies", Kind.OURS, true);
                ti.handle = openOurs(base + "-c2", r.size, 2, inline);
                Subject ta = new Subject("ours async, 2 copies", Kind.OURS, true);
                ta.handle = openOurs(base + "-c2", r.size, 2, async);
                s.add(ti);
                s.add(ta);
            }
            Subject fc = new Subject("FileChannel /dev/shm", Kind.FILE_CHANNEL, false);
            Path file = Paths.get("/dev/shm", "tessera-bench-" + ProcessHandle.current().pid() + "-" + r.key);
            cleanup.add(file);
            fc.channel = FileChannel.open(file, StandardOpenOption.CREATE, StandardOpenOption.READ,
                    StandardOpenOption.WRITE, StandardOpenOption.TRUNCATE_EXISTING);
            channels.add(fc.channel);
            s.add(fc);
            Subject cf = new Subject("copy floor (put)", Kind.COPY_FLOOR, false);
            cf.floor = ByteBuffer.allocateDirect((int) r.size);
            s.add(cf);
            prefill(r);
            verify(r);
        }
    }

    /** Writes every byte of every target once, so that no run pays for first touch. */
    private void prefill(Region r) throws IOException {
        int chunk = (int) Math.min(r.size, MIB);
        ByteBuffer src = ByteBuffer.allocateDirect(chunk);
        for (int i = 0; i < chunk; i++) {
            src.put(i, (byte) (i * 31 + 7));
        }
        for (Subject s : r.subjects) {
            for (long pos = 0; pos < r.size; pos += chunk) {
                if (s.kind == Kind.OURS) {
                    check(ReplicatedIONative.write(s.handle, pos, src, 0, chunk), chunk, s, "prefill write");
                } else if (s.kind == Kind.FILE_CHANNEL) {
                    src.clear();
                    while (src.hasRemaining()) {
                        s.channel.write(src, pos + src.position());
                    }
                } else {
                    s.floor.put((int) pos, src, 0, chunk);
                }
            }
        }
    }

    /** One write and read-back per subject: the benchmark must move the right bytes. */
    private void verify(Region r) throws IOException {
        int n = (int) Math.min(r.size, 64 * 1024);
        long pos = r.size - n;
        ByteBuffer w = ByteBuffer.allocateDirect(n);
        ByteBuffer b = ByteBuffer.allocateDirect(n);
        for (Subject s : r.subjects) {
            for (int i = 0; i < n; i++) {
                w.put(i, (byte) (i * 13 + s.label.length()));
            }
            doWrite(s, pos, w, n);
            for (int i = 0; i < n; i++) {
                b.put(i, (byte) 0);
            }
            doRead(s, pos, b, n);
            if (b.mismatch(w) != -1) {
                throw new IllegalStateException(s.label + ": bytes read back differ from bytes written");
            }
        }
    }

    private void doWrite(Subject s, long pos, ByteBuffer buf, int n) throws IOException {
        switch (s.kind) {
            case OURS:
                check(ReplicatedIONative.write(s.handle, pos, buf, 0, n), n, s, "write");
                break;
            case FILE_CHANNEL:
                buf.clear().limit(n);
                while (buf.hasRemaining()) {
                    s.channel.write(buf, pos + buf.position());
                }
                break;
            default:
                s.floor.put((int) pos, buf, 0, n);
        }
    }

    private void doRead(Subject s, long pos, ByteBuffer buf, int n) throws IOException {
        switch (s.kind) {
            case OURS:
                check(ReplicatedIONative.read(s.handle, pos, buf, 0, n), n, s, "read");
                break;
            case FILE_CHANNEL:
                buf.clear().limit(n);
                while (buf.hasRemaining()) {
                    if (s.channel.read(buf, pos + buf.position()) < 0) {
                        throw new IOException("unexpected end of file");
                    }
                }
                break;
            default:
                buf.put(0, s.floor, (int) pos, n);
        }
    }

    private static void check(int got, int want, Subject s, String what) throws IOException {
        if (got != want) {
            throw new IOException(s.label + ": " + what + " returned " + got + ", expected " + want);
        }
    }

    private void tearDown() {
        for (long h : handles) {
            ReplicatedIONative.close(h);
        }
        for (FileChannel c : channels) {
            try {
                c.close();
            } catch (IOException e) {
                // nothing to do: the files go below
            }
        }
        for (Path p : cleanup) {
            try {
                Files.deleteIfExists(p);
            } catch (IOException e) {
                System.err.println("cannot remove " + p + ": " + e);
            }
        }
    }

    // ------------------------------------------------------------- hot loops
    // One loop per subject kind and direction, so that every call site stays
    // monomorphic. Each returns the position after its last transfer.

    private static long nextPos(long pos, int n, long size) {
        long p = pos + n;
        return p + n > size ? 0 : p;
    }

    private static long oursWrite(long handle, ByteBuffer buf, int n, long pos, long size, long ops)
            throws IOException {
        for (long i = 0; i < ops; i++) {
            if (ReplicatedIONative.write(handle, pos, buf, 0, n) != n) {
                throw new IOException("write failed at " + pos);
            }
            pos = nextPos(pos, n, size);
        }
        return pos;
    }

    private static long oursRead(long handle, ByteBuffer buf, int n, long pos, long size, long ops)
            throws IOException {
        for (long i = 0; i < ops; i++) {
            if (ReplicatedIONative.read(handle, pos, buf, 0, n) != n) {
                throw new IOException("read failed at " + pos);
            }
            pos = nextPos(pos, n, size);
        }
        return pos;
    }

    private static long channelWrite(FileChannel ch, ByteBuffer buf, int n, long pos, long size, long ops)
            throws IOException {
        for (long i = 0; i < ops; i++) {
            buf.clear().limit(n);
            while (buf.hasRemaining()) {
                ch.write(buf, pos + buf.position());
            }
            pos = nextPos(pos, n, size);
        }
        return pos;
    }

    private static long channelRead(FileChannel ch, ByteBuffer buf, int n, long pos, long size, long ops)
            throws IOException {
        for (long i = 0; i < ops; i++) {
            buf.clear().limit(n);
            while (buf.hasRemaining()) {
                if (ch.read(buf, pos + buf.position()) < 0) {
                    throw new IOException("unexpected end of file at " + pos);
                }
            }
            pos = nextPos(pos, n, size);
        }
        return pos;
    }

    private static long floorWrite(ByteBuffer floor, ByteBuffer buf, int n, long pos, long size, long ops) {
        for (long i = 0; i < ops; i++) {
            floor.put((int) pos, buf, 0, n);
            pos = nextPos(pos, n, size);
        }
        return pos;
    }

    private static long floorRead(ByteBuffer floor, ByteBuffer buf, int n, long pos, long size, long ops) {
        for (long i = 0; i < ops; i++) {
            buf.put(0, floor, (int) pos, n);
            pos = nextPos(pos, n, size);
        }
        return pos;
    }

    private long batch(Subject s, boolean write, ByteBuffer buf, int n, long pos, long size, long ops)
            throws IOException {
        switch (s.kind) {
            case OURS:
                return write ? oursWrite(s.handle, buf, n, pos, size, ops) : oursRead(s.handle, buf, n, pos, size, ops);
            case FILE_CHANNEL:
                return write ? channelWrite(s.channel, buf, n, pos, size, ops)
                        : channelRead(s.channel, buf, n, pos, size, ops);
            default:
                return write ? floorWrite(s.floor, buf, n, pos, size, ops) : floorRead(s.floor, buf, n, pos, size, ops);
        }
    }

    // ------------------------------------------------------------ measuring

    private static ByteBuffer makeBuffer(BufferKind kind, int n) {
        if (kind == BufferKind.PLAIN) {
            return ByteBuffer.allocateDirect(n);
        }
        ByteBuffer b = ByteBuffer.allocateDirect(n + ALIGN).alignedSlice(ALIGN);
        b.limit(n);
        return b.slice();
    }

    private final Map<String, ByteBuffer> cellBuffers = new LinkedHashMap<>();

    private ByteBuffer cellBuffer(Region r, int n, BufferKind bk) {
        return cellBuffers.computeIfAbsent(r.key + "/" + n + "/" + bk, k -> {
            ByteBuffer b = makeBuffer(bk, n);
            for (int j = 0; j < n; j++) {
                b.put(j, (byte) (j ^ 0x5a));
            }
            return b;
        });
    }

    /** Offset of the buffer's first byte within its page, or -1 when java.nio is not open to us. */
    private static long pageOffset(ByteBuffer b) {
        try {
            java.lang.reflect.Field f = java.nio.Buffer.class.getDeclaredField("address");
            f.setAccessible(true);
            return f.getLong(b) & 4095;
        } catch (ReflectiveOperationException | RuntimeException e) {
            return -1;
        }
    }

    /**
     * Measures one direction for one size: every subject with both buffer
     * kinds, interleaved run by run, so that a change in the load of the
     * machine hits all of them alike. Answers ops/s medians indexed by buffer
     * kind, then subject.
     */
    private double[][] measure(Region r, int n, boolean write) throws IOException {
        List<Subject> subjects = r.subjects;
        BufferKind[] kinds = BufferKind.values();
        int k = subjects.size() * kinds.length;
        long[] pos = new long[k];
        long[] ops = new long[k];
        // One buffer per kind for all subjects: its place in the page
        // matters to the copies, so every subject sees the same one.
        ByteBuffer[] bufs = new ByteBuffer[k];
        Subject[] subj = new Subject[k];
        for (int i = 0; i < k; i++) {
            bufs[i] = cellBuffer(r, n, kinds[i % kinds.length]);
            subj[i] = subjects.get(i / kinds.length);
        }
        // Warm-up: let the compiler settle and size a batch to runMillis.
        for (int i = 0; i < k; i++) {
            long count = 1;
            long elapsed = 0;
            long spent = 0;
            while (spent < opt.warmMillis * 1_000_000L) {
                long t0 = System.nanoTime();
                pos[i] = batch(subj[i], write, bufs[i], n, pos[i], r.size, count);
                elapsed = System.nanoTime() - t0;
                spent += elapsed;
                if (elapsed < opt.warmMillis * 1_000_000L / 8) {
                    count *= 2;
                }
            }
            double perOp = (double) elapsed / count;
            ops[i] = Math.max(1, (long) (opt.runMillis * 1_000_000L / perOp));
        }
        double[][] rate = new double[k][opt.runs];
        for (int run = 0; run < opt.runs; run++) {
            for (int i = 0; i < k; i++) {
                long t0 = System.nanoTime();
                pos[i] = batch(subj[i], write, bufs[i], n, pos[i], r.size, ops[i]);
                long t = System.nanoTime() - t0;
                rate[i][run] = ops[i] * 1e9 / t;
            }
        }
        for (long p : pos) {
            sink += p;
        }
        double[][] med = new double[kinds.length][subjects.size()];
        for (int i = 0; i < k; i++) {
            med[i % kinds.length][i / kinds.length] = median(rate[i]);
        }
        return med;
    }

    private static double median(double[] v) {
        double[] c = v.clone();
        Arrays.sort(c);
        int m = c.length / 2;
        return c.length % 2 == 1 ? c[m] : (c[m - 1] + c[m]) / 2;
    }

    private static String key(Region r, int n, BufferKind bk, Subject s) {
        return r.key + "/" + n + "/" + bk + "/" + s.label;
    }

    private Figures fig(Region r, int n, BufferKind bk, String label) {
        for (Subject s : r.subjects) {
            if (s.label.equals(label)) {
                return results.get(key(r, n, bk, s));
            }
        }
        return null;
    }

    // -------------------------------------------------------------- report

    private static String sizeLabel(int n) {
        return n >= MIB ? (n / MIB) + " MiB" : n >= 1024 ? (n / 1024) + " KiB" : n + " B";
    }

    private static String fmt(double v) {
        if (v >= 1e7) {
            return String.format(Locale.ROOT, "%.3gM", v / 1e6).replace("M", " M");
        }
        return String.format(Locale.ROOT, "%,.0f", v);
    }

    private void run() throws IOException {
        out.printf(Locale.ROOT, "Data-path benchmark: %d runs per figure (medians), %d ms per run, block size %d B%n",
                opt.runs, opt.runMillis, opt.blockSize);
        out.printf(Locale.ROOT, "JVM %s, %d processors; MB = 10^6 bytes; logging of the bridge off%n",
                System.getProperty("java.vm.version"), Runtime.getRuntime().availableProcessors());
        setUp();
        for (Region r : regions) {
            for (int n : opt.sizes) {
                if (n > r.size) {
                    continue;
                }
                double[][] w = measure(r, n, true);
                double[][] rd = measure(r, n, false);
                for (BufferKind bk : BufferKind.values()) {
                    for (int i = 0; i < r.subjects.size(); i++) {
                        Figures f = new Figures();
                        f.writeOps = w[bk.ordinal()][i];
                        f.readOps = rd[bk.ordinal()][i];
                        results.put(key(r, n, bk, r.subjects.get(i)), f);
                    }
                    printCell(r, n, bk);
                }
            }
        }
        if (LOG_LINES.get() != 0) {
            throw new IllegalStateException(LOG_LINES.get() + " log lines arrived although logging is off");
        }
        printTargets();
        out.println("checksum " + (sink & 0xff) + ", log lines received 0");
    }

    private void printCell(Region r, int n, BufferKind bk) {
        out.println();
        out.printf(Locale.ROOT, "%s | %s | %s buffer (starts %d B into its page)%n", r.label, sizeLabel(n),
                bk.label, pageOffset(cellBuffer(r, n, bk)));
        out.printf(Locale.ROOT, "  %-24s %14s %11s %14s %11s%n", "subject", "write ops/s", "write MB/s", "read ops/s",
                "read MB/s");
        for (Subject s : r.subjects) {
            Figures f = results.get(key(r, n, bk, s));
            out.printf(Locale.ROOT, "  %-24s %14s %11.0f %14s %11.0f%n", s.label + (s.info ? " *" : ""),
                    fmt(f.writeOps), f.writeOps * n / 1e6, fmt(f.readOps), f.readOps * n / 1e6);
        }
        out.flush();
    }

    private int missed;
    private int checked;

    private void target(String what, double value, double goal) {
        boolean ok = value >= goal;
        checked++;
        if (!ok) {
            missed++;
        }
        out.printf(Locale.ROOT, "  %-72s %6.2f  (target >= %.2f)  %s%n", what, value, goal, ok ? "ok" : "MISSED");
    }

    private void printTargets() {
        out.println();
        out.println("Ratios (one copy; * rows above are two-copy regions, for information only)");
        String[] ours = {"ours inline", "ours async"};
        for (Region r : regions) {
            boolean big = r.size > MIB;
            if (contains(opt.sizes, 4096)) {
                out.printf(Locale.ROOT, "%s: 4 KiB ops/s, ours / FileChannel%n", r.label);
                double goal = big ? 2.5 : 4.0;
                for (String o : ours) {
                    for (BufferKind bk : BufferKind.values()) {
                        Figures a = fig(r, 4096, bk, o);
                        Figures f = fig(r, 4096, bk, "FileChannel /dev/shm");
                        target(o + ", " + bk.label + ", write", a.writeOps / f.writeOps, goal);
                        target(o + ", " + bk.label + ", read", a.readOps / f.readOps, goal);
                    }
                }
                // What no path that has to copy the bytes can beat on this
                // machine right now: the copy floor against FileChannel.
                for (BufferKind bk : BufferKind.values()) {
                    Figures c = fig(r, 4096, bk, "copy floor (put)");
                    Figures f = fig(r, 4096, bk, "FileChannel /dev/shm");
                    out.printf(Locale.ROOT, "  %-72s %6.2f  (bound, information)%n",
                            "copy floor, " + bk.label + ", write", c.writeOps / f.writeOps);
                    out.printf(Locale.ROOT, "  %-72s %6.2f  (bound, information)%n",
                            "copy floor, " + bk.label + ", read", c.readOps / f.readOps);
                }
            }
            if (big) {
                for (int n : new int[] {64 * 1024, 1024 * 1024}) {
                    if (!contains(opt.sizes, n)) {
                        continue;
                    }
                    out.printf(Locale.ROOT, "%s: %s MB/s, ours / copy floor%n", r.label, sizeLabel(n));
                    for (String o : ours) {
                        for (BufferKind bk : BufferKind.values()) {
                            Figures a = fig(r, n, bk, o);
                            Figures f = fig(r, n, bk, "copy floor (put)");
                            target(o + ", " + bk.label + ", write", a.writeOps / f.writeOps, 0.85);
                            target(o + ", " + bk.label + ", read", a.readOps / f.readOps, 0.85);
                        }
                    }
                }
            }
            out.printf(Locale.ROOT, "%s: plain vs aligned buffer, min/max of the two ops/s%n", r.label);
            for (int n : opt.sizes) {
                if (n > r.size) {
                    continue;
                }
                for (Subject s : r.subjects) {
                    Figures p = fig(r, n, BufferKind.PLAIN, s.label);
                    Figures a = fig(r, n, BufferKind.ALIGNED, s.label);
                    double w = Math.min(p.writeOps, a.writeOps) / Math.max(p.writeOps, a.writeOps);
                    double rd = Math.min(p.readOps, a.readOps) / Math.max(p.readOps, a.readOps);
                    String what = sizeLabel(n) + ", " + s.label;
                    if (s.kind == Kind.OURS && !s.info) {
                        target(what + ", write", w, 0.85);
                        target(what + ", read", rd, 0.85);
                    } else {
                        out.printf(Locale.ROOT, "  %-72s %6.2f  (information)%n", what + ", write", w);
                        out.printf(Locale.ROOT, "  %-72s %6.2f  (information)%n", what + ", read", rd);
                    }
                }
            }
        }
        out.println();
        out.printf(Locale.ROOT, "Targets met: %d of %d%n", checked - missed, checked);
    }

    private static boolean contains(int[] a, int v) {
        for (int x : a) {
            if (x == v) {
                return true;
            }
        }
        return false;
    }

    // ---------------------------------------------------------------- main

    private static void usage(PrintStream p) {
        p.println("usage: ReplicatedIOBench [--quick] [--runs N] [--run-ms MS] [--warm-ms MS]"
                + " [--block-size BYTES] [--sizes 512,4096,...] [--regions big,hot] [--no-two-copies]"
                + " [--work-dir DIR]");
        p.println("  --quick          5 runs of 40 ms, 60 ms warm-up (default: 7 runs of 150 ms, 150 ms warm-up)");
        p.println("  --runs N         measured runs per figure (medians; at least 5)");
        p.println("  --run-ms MS      length of one measured run of one subject");
        p.println("  --warm-ms MS     warm-up of each subject before the runs of a figure");
        p.println("  --block-size B   BlockSize of the regions (default 4096)");
        p.println("  --sizes LIST     transfer sizes in bytes (default 512,4096,65536,1048576)");
        p.println("  --regions LIST   big (1 GiB, walking), hot (1 MiB); default both");
        p.println("  --no-two-copies  leave out the two-copy regions");
        p.println("  --work-dir DIR   where the cluster configuration files go (default java.io.tmpdir)");
    }

    public static void main(String[] args) throws Exception {
        Options o = new Options();
        o.workDir = Paths.get(System.getProperty("java.io.tmpdir"));
        for (int i = 0; i < args.length; i++) {
            String a = args[i];
            switch (a) {
                case "--quick":
                    o.runs = 5;
                    o.runMillis = 40;
                    o.warmMillis = 60;
                    break;
                case "--runs":
                    o.runs = Integer.parseInt(args[++i]);
                    break;
                case "--run-ms":
                    o.runMillis = Integer.parseInt(args[++i]);
                    break;
                case "--warm-ms":
                    o.warmMillis = Integer.parseInt(args[++i]);
                    break;
                case "--block-size":
                    o.blockSize = Integer.parseInt(args[++i]);
                    break;
                case "--sizes":
                    o.sizes = Arrays.stream(args[++i].split(",")).mapToInt(Integer::parseInt).toArray();
                    break;
                case "--regions": {
                    List<String> l = Arrays.asList(args[++i].split(","));
                    o.big = l.contains("big");
                    o.hot = l.contains("hot");
                    break;
                }
                case "--no-two-copies":
                    o.twoCopies = false;
                    break;
                case "--work-dir":
                    o.workDir = Paths.get(args[++i]);
                    break;
                case "--help":
                case "-h":
                    usage(System.out);
                    return;
                default:
                    System.err.println("unknown option " + a);
                    usage(System.err);
                    System.exit(2);
            }
        }
        if (o.runs < 5) {
            System.err.println("--runs must be at least 5");
            System.exit(2);
        }
        for (String p : new String[] {"tessera.debug.DebugStoreIOPhysical",
            "tessera.debug.DebugStoreIOPhysicalVerbose", "tessera.store.instrumentation"}) {
            if (Boolean.parseBoolean(System.getProperty(p))) {
                System.err.println("-D" + p + " is set: the benchmark runs with logging and instrumentation off");
                System.exit(2);
            }
        }
        NativeCallbacks.setSink((channel, line) -> {
            LOG_LINES.incrementAndGet();
            return true;
        });
        NativeLibrary.load();
        ReplicatedIOBench b = new ReplicatedIOBench(o);
        try {
            b.run();
        } finally {
            b.tearDown();
        }
    }
}
