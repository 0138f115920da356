package tessera.store.bench;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicReference;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.StoreAdmin;

/**
 * {@link ReplicatedFileChannel} under one and many threads on the store
 * named by a configuration file (not a test).
 *
 * <p>Each thread has a channel of its own on a region of its own (one copy),
 * opened before timing, and writes 4 KiB from a direct buffer: appends at
 * the end of what it has written (every write grows the file, so the bridge
 * also asks the store for the new length), and overwrites of blocks it
 * appended earlier (walking the first 16 MiB, appended before timing). The
 * two take turns, the first of a pair alternating; figures are medians over
 * the turns, and the ratio appends / overwrites is the median of the turns'
 * ratios.
 *
 * <pre>  java ... tessera.store.bench.ChannelThreadsBench --config FILE [--quick]
 *          [--threads 1,8] [--turns N] [--turn-ms MS]</pre>
 */
public final class ChannelThreadsBench {

    private static final int LEN = 4096;
    private static final long WINDOW = 16L << 20;
    private static final long REGION_SIZE = 1L << 30;

    /** One thread's channel, buffer and positions. */
    private static final class Writer {
        final ReplicatedFileChannel ch;
        final ByteBuffer buf = ByteBuffer.allocateDirect(LEN);
        long end;   // appends go here
        long pos;   // next overwrite

        Writer(ReplicatedFileChannel ch) {
            this.ch = ch;
            for (int i = 0; i < LEN; i++) {
                buf.put(i, (byte) (i * 31 + 7));
            }
        }

        void write(boolean append) throws IOException {
            buf.clear();
            if (append) {
                if (end + LEN > REGION_SIZE) {
                    end = WINDOW;   // never reached in a run of seconds
                }
                ch.write(buf, end);
                end += LEN;
            } else {
                ch.write(buf, pos);
                pos = (pos + LEN) % WINDOW;
            }
        }
    }

    private ChannelThreadsBench() {
    }

    /** Every writer runs for {@code ms}; operations per second of all of them. */
    static double run(List<Writer> ws, boolean append, int ms) throws Exception {
        CountDownLatch ready = new CountDownLatch(ws.size());
        CountDownLatch go = new CountDownLatch(1);
        long[] counts = new long[ws.size()];
        long[] deadline = new long[1];
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<Thread> ts = new ArrayList<>();
        for (int i = 0; i < ws.size(); i++) {
            final int k = i;
            Thread t = new Thread(() -> {
                ready.countDown();
                try {
                    go.await();
                    long n = 0;
                    long until = deadline[0];
                    Writer w = ws.get(k);
                    while (System.nanoTime() < until) {
                        w.write(append);
                        n++;
                    }
                    counts[k] = n;
                } catch (Throwable e) {
                    failure.compareAndSet(null, e);
                }
            });
            ts.add(t);
            t.start();
        }
        ready.await();
        long t0 = System.nanoTime();
        deadline[0] = t0 + ms * 1_000_000L;
        go.countDown();
        for (Thread t : ts) {
            t.join();
        }
        double secs = (System.nanoTime() - t0) / 1e9;
        if (failure.get() != null) {
            throw new IOException("a write failed", failure.get());
        }
        return Arrays.stream(counts).sum() / secs;
    }

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }

    public static void main(String[] args) throws Exception {
        String config = null;
        int turns = 5;
        int ms = 1000;
        int[] threadCounts = {1, 8};
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--config" -> config = args[++i];
                case "--quick" -> {
                    turns = 3;
                    ms = 400;
                }
                case "--turns" -> turns = Math.max(1, Integer.parseInt(args[++i]));
                case "--turn-ms" -> ms = Math.max(50, Integer.parseInt(args[++i]));
                case "--threads" -> threadCounts = Arrays.stream(args[++i].split(",")).mapToInt(Integer::parseInt)
                        .toArray();
                default -> {
                    System.err.println("usage: ChannelThreadsBench --config FILE [--quick] [--threads 1,8] "
                            + "[--turns N] [--turn-ms MS]");
                    System.exit(2);
                }
            }
        }
        if (config == null) {
            System.err.println("ChannelThreadsBench: --config FILE is required");
            System.exit(2);
        }
        System.out.printf(Locale.ROOT, "%nReplicatedFileChannel, 4 KiB from a direct buffer, 1 copy, %d turns of %d ms"
                + " per subject%n", turns, ms);
        System.out.printf(Locale.ROOT, "%-8s %14s %14s %18s%n", "threads", "appends op/s", "overwrites op/s",
                "appends/overwrites");
        List<String> names = new ArrayList<>();
        for (int n : threadCounts) {
            List<Writer> ws = new ArrayList<>();
            for (int t = 0; t < n; t++) {
                String name = "java-threads-" + n + "-" + t;
                names.add(name);
                Writer w = new Writer(ReplicatedFileChannel.builder(name).configFile(config).regionSize(REGION_SIZE)
                        .minCopies(1).maxCopies(1).open());
                while (w.end < WINDOW) {   // the blocks the overwrites walk, appended before timing
                    w.write(true);
                }
                ws.add(w);
            }
            run(ws, true, Math.max(100, ms / 2));   // warm-up of both
            run(ws, false, Math.max(100, ms / 2));
            double[] app = new double[turns];
            double[] over = new double[turns];
            double[] ratio = new double[turns];
            for (int r = 0; r < turns; r++) {
                for (int turn = 0; turn < 2; turn++) {
                    boolean append = ((turn ^ (r & 1)) == 0);
                    double rate = run(ws, append, ms);
                    if (append) {
                        app[r] = rate;
                    } else {
                        over[r] = rate;
                    }
                }
                ratio[r] = app[r] / over[r];
            }
            System.out.printf(Locale.ROOT, "%-8d %14.0f %14.0f %18.3f%n", n, median(app), median(over),
                    median(ratio));
            for (Writer w : ws) {
                w.ch.close();
            }
        }
        try (StoreAdmin admin = StoreAdmin.attach(config, 0)) {
            for (String name : names) {
                admin.deleteRegion(name, true);
            }
        }
    }
}
