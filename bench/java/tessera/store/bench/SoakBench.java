package tessera.store.bench;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Locale;

import javax.management.MBeanServer;
import javax.management.ObjectName;

import tessera.store.io.file.NativeLibrary;
import tessera.store.io.file.direct.NativeCallbacks;
import tessera.store.io.file.direct.ReplicatedIONative;

/**
 * Open/close soak of the replicated file device (not a test).
 *
 * <p>Opens and closes one region through {@link ReplicatedIONative} the
 * given number of times (each cycle makes and finalises a client
 * connection, opens and closes the region) and prints the process's
 * resident memory every CYCLES/20 cycles, then the growth per cycle from
 * the end of the warm-up (the first tenth) to the end, and over the second
 * half alone. Before each sample the
 * C heap is trimmed, so that memory freed by the native side is given back
 * and the figures follow what is still allocated.
 *
 * <p>Without {@code --config} the region lives in the embedded cluster; with
 * it, every open passes FILE as {@code ConfigFileName}, so a file saying
 * {@code backend redis} puts the region on those Redis servers (where it is
 * left at the end).
 *
 * <pre>  java ... tessera.store.bench.SoakBench [CYCLES] [--config FILE]   (default 1000000)</pre>
 */
public final class SoakBench {
    private static final String REGION = "tessera-soak";

    private SoakBench() {
    }

    /** One line of /proc/self/status in KiB, or -1. */
    private static long statusKiB(String field) throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith(field + ":")) {
                return Long.parseLong(line.substring(field.length() + 1).replace("kB", "").trim());
            }
        }
        return -1;
    }

    /** Gives free C-heap memory back to the system, where the JVM offers that. */
    private static void trimNativeHeap() {
        try {
            MBeanServer s = ManagementFactory.getPlatformMBeanServer();
            s.invoke(new ObjectName("com.sun.management:type=DiagnosticCommand"), "systemTrimNativeHeap",
                    new Object[] {new String[0]}, new String[] {String[].class.getName()});
        } catch (Exception | Error e) {
            // Not offered by this JVM: the figures then include free heap memory.
        }
    }

    private static final class Sample {
        final long cycle;
        final long rssKiB;
        final long anonKiB;

        Sample(long cycle) throws IOException {
            System.gc();
            trimNativeHeap();
            this.cycle = cycle;
            this.rssKiB = statusKiB("VmRSS");
            this.anonKiB = statusKiB("RssAnon");
        }
    }

    private static void cycle(String[] keys, String[] values) throws IOException {
        long h = ReplicatedIONative.open(REGION, "rw", keys, values);
        if (h < 0) {
            throw new IOException("open of region " + REGION + " failed");
        }
        ReplicatedIONative.close(h);
    }

    public static void main(String[] args) throws IOException {
        long cycles = 1_000_000;
        String configFile = "";
        boolean usage = false;
        for (int i = 0; i < args.length && !usage; i++) {
            if (args[i].equals("--config") && i + 1 < args.length && configFile.isEmpty()) {
                configFile = args[++i];
                usage = configFile.isEmpty();
            } else if (i == 0) {
                try {
                    cycles = Long.parseLong(args[0]);
                } catch (NumberFormatException e) {
                    cycles = -1;
                }
                usage = cycles < 20;
            } else {
                usage = true;
            }
        }
        if (usage) {
            System.err.println("usage: SoakBench [CYCLES] [--config FILE]   (CYCLES >= 20, default 1000000)");
            System.exit(2);
        }
        NativeCallbacks.setSink((channel, line) -> true);
        NativeLibrary.load();
        String[] keys = {"CandidateHandle", "RegionSize", "MinReplicaCount", "MaxReplicaCount", "ConfigFileName"};
        String[] values = {"0", Integer.toString(1 << 20), "1", "1", configFile};
        System.out.println("Open/close soak of region " + REGION + ", " + cycles + " cycles, "
                + (configFile.isEmpty() ? "embedded cluster" : "configuration file " + configFile));

        long step = cycles / 20;
        // Warm-up: class loading, compilation, the first connection and region.
        for (long i = 0; i < 2 * step; i++) {
            cycle(keys, values);
        }
        Sample first = new Sample(2 * step);
        Sample last = first;
        Sample middle = first;
        System.out.printf(Locale.ROOT, "%12s %12s %12s %12s%n", "cycles", "VmRSS KiB", "RssAnon KiB", "cycles/s");
        System.out.printf(Locale.ROOT, "%12d %12d %12d %12s%n", first.cycle, first.rssKiB, first.anonKiB, "-");
        long done = 2 * step;
        while (done < cycles) {
            long n = Math.min(step, cycles - done);
            long t0 = System.nanoTime();
            for (long i = 0; i < n; i++) {
                cycle(keys, values);
            }
            double rate = n / ((System.nanoTime() - t0) / 1e9);
            done += n;
            last = new Sample(done);
            if (middle.cycle < cycles / 2) {
                middle = last;
            }
            System.out.printf(Locale.ROOT, "%12d %12d %12d %12.0f%n", last.cycle, last.rssKiB, last.anonKiB, rate);
        }
        report(first, last);
        report(middle, last);
    }

    private static void report(Sample from, Sample to) {
        long span = to.cycle - from.cycle;
        if (span <= 0) {
            return;
        }
        System.out.printf(Locale.ROOT,
                "growth over cycles %d..%d: VmRSS %+d KiB, RssAnon %+d KiB = %.1f / %.1f bytes per cycle%n",
                from.cycle, to.cycle, to.rssKiB - from.rssKiB, to.anonKiB - from.anonKiB,
                (to.rssKiB - from.rssKiB) * 1024.0 / span, (to.anonKiB - from.anonKiB) * 1024.0 / span);
    }
}
