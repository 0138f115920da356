package tessera.store.examples;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.SplittableRandom;
import java.util.zip.CRC32;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.ReplicatedStoreAdmin.DaemonInfo;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;
import tessera.store.io.file.StoreAdmin;
import tessera.store.tools.ByteUnits;
import tessera.store.tools.Cli;
import tessera.store.tools.Records;

/**
 * An append-only record journal on a replicated store region, used the way a
 * store device would use it.
 *
 * <p>The run: append N records (each a 16-byte header of magic, sequence
 * number, payload length and CRC-32, then a payload of 16 to 1024
 * pseudo-random bytes), close the region, reopen it, replay the journal from
 * the start and verify every record (header, sequence, checksum and the
 * payload itself), report throughput and the region's figures, list the
 * cluster's daemons and regions through {@link StoreAdmin}, and delete the
 * region.
 *
 * <pre>
 * run-demo [--records N] [--region NAME] [--config FILE] [--local-index N]
 *          [--seed S] [--corrupt-record K] [--keep | --delete]
 * </pre>
 *
 * <p>{@code --corrupt-record K} flips one payload byte of record K after the
 * journal is written, to show that replay finds it. Exit status: 0 every
 * record verified, 1 replay found damaged records, 2 usage error, 3 the store
 * failed.
 */
public final class JournalDemo {
    /** Exit status: every record verified. */
    public static final int EXIT_VERIFIED = 0;
    /** Exit status: replay found at least one damaged record. */
    public static final int EXIT_CORRUPT = 1;
    /** Exit status: the command line could not be understood. */
    public static final int EXIT_USAGE = Cli.EXIT_USAGE;
    /** Exit status: the store or the admin surface failed. */
    public static final int EXIT_STORE_FAILED = 3;

    /** Bytes of a record header: magic, sequence, payload length, CRC-32. */
    public static final int HEADER_BYTES = 16;
    /** First word of every record header ("TJRN"). */
    public static final int MAGIC = 0x544A524E;
    /** Shortest payload in bytes. */
    public static final int MIN_PAYLOAD = 16;
    /** Longest payload in bytes. */
    public static final int MAX_PAYLOAD = 1024;

    private static final String PROGRAM = "run-demo";
    private static final int IO_CHUNK = 1 << 20;
    private static final int BLOCK_SIZE = ReplicatedFileChannel.Builder.DEFAULT_BLOCK_SIZE;
    /** Damaged records listed one by one; the rest are only counted. */
    private static final int REPORT_LIMIT = 20;
    /** Runs with at least this many records print progress lines. */
    private static final int PROGRESS_THRESHOLD = 10_000;

    private final Options opt;
    private final Plan plan;
    private final long regionSize;
    private final PrintStream out;
    private final PrintStream err;

    private JournalDemo(Options opt, Plan plan, long regionSize, PrintStream out, PrintStream err) {
        this.opt = opt;
        this.plan = plan;
        this.regionSize = regionSize;
        this.out = out;
        this.err = err;
    }

    /**
     * Runs the demo and exits the virtual machine with its status.
     *
     * @param args the command line
     */
    public static void main(String[] args) {
        Cli.main(JournalDemo::run, args);
    }

    /**
     * Runs the demo without exiting.
     *
     * @param args the command line
     * @param out where the report goes
     * @param err where errors go
     * @return the exit status: {@link #EXIT_VERIFIED}, {@link #EXIT_CORRUPT},
     *         {@link #EXIT_USAGE} or {@link #EXIT_STORE_FAILED}
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        Options opt;
        Plan plan;
        long regionSize;
        try {
            opt = Options.parse(args);
            if (opt.help) {
                out.print(Options.HELP);
                return EXIT_VERIFIED;
            }
            plan = Plan.make(opt.records, opt.seed);
            regionSize = Math.max(BLOCK_SIZE, roundUp(plan.totalBytes, BLOCK_SIZE));
            if (regionSize > ReplicatedFileChannel.MAX_REGION_SIZE) {
                throw new IllegalArgumentException("--records " + opt.records + " needs " + plan.totalBytes
                        + " bytes with seed " + opt.seed + ", more than the largest region ("
                        + ReplicatedFileChannel.MAX_REGION_SIZE + " bytes)");
            }
        } catch (IllegalArgumentException e) {
            return Cli.usageError(err, PROGRAM, e.getMessage(), "'" + PROGRAM + " --help' for the options");
        }
        try {
            return new JournalDemo(opt, plan, regionSize, out, err).execute();
        } catch (IOException | RuntimeException | UnsatisfiedLinkError e) {
            err.println(PROGRAM + ": " + (e.getMessage() == null ? e.toString() : e.getMessage()));
            return EXIT_STORE_FAILED;
        }
    }

    // ---- the run -----------------------------------------------------------------

    private int execute() throws IOException {
        String cluster = opt.configFile.isEmpty() ? "the embedded cluster" : "the cluster of " + opt.configFile;
        out.println("Journal demo: " + opt.records + " records into region '" + opt.region + "' on " + cluster
                + " (local daemon " + opt.localIndex + ").");
        out.println("Region size " + ByteUnits.format(regionSize) + ", journal " + ByteUnits.format(plan.totalBytes)
                + ", payloads " + MIN_PAYLOAD + ".." + MAX_PAYLOAD + " bytes, seed " + opt.seed + ".");

        try (StoreAdmin admin = StoreAdmin.attach(opt.configFile, opt.localIndex)) {
            if (admin.findRegion(opt.region).isPresent()) {
                throw new IOException("region '" + opt.region + "' already exists; choose another --region, or"
                        + " delete it with: tessera-admin delete " + opt.region);
            }
        }

        ReplicatedFileChannel.Builder builder = ReplicatedFileChannel.builder(opt.region)
                .regionSize(regionSize)
                .blockSize(BLOCK_SIZE)
                .configFile(opt.configFile)
                .localIndex(opt.localIndex);

        boolean created = false;
        int status;
        try {
            out.println();
            out.println("Append");
            long appendNanos;
            try (ReplicatedFileChannel ch = builder.open()) {
                created = true;
                appendNanos = append(ch, plan);
                if (opt.corruptRecord >= 0) {
                    corrupt(ch, plan, opt.corruptRecord);
                }
            }
            out.println("  " + opt.records + " records, " + ByteUnits.format(plan.totalBytes) + " in "
                    + millis(appendNanos) + ": " + ByteUnits.rate(plan.totalBytes, appendNanos) + ", "
                    + perSecond(opt.records, appendNanos) + " records/s");

            out.println();
            out.println("Replay");
            try (ReplicatedFileChannel ch = builder.open()) {
                Replay r = replay(ch, plan);
                status = r.report(out);
                out.println("  read " + ByteUnits.format(r.bytesRead) + " in " + millis(r.nanos) + ": "
                        + ByteUnits.rate(r.bytesRead, r.nanos) + ", " + perSecond(r.recordsSeen, r.nanos)
                        + " records/s");
                out.println();
                out.println("Region figures");
                out.println("  file size      " + ByteUnits.format(ch.size()) + " (" + ch.size() + " bytes)");
                long limit = ch.deviceLimit();
                long used = ch.deviceUsed();
                out.println("  local daemon   " + ByteUnits.format(used) + " of " + ByteUnits.format(limit)
                        + " region memory in use (" + Records.percent(used, limit) + ")");
                listCluster(true);
            }
        } finally {
            if (created && !opt.keep) {
                deleteRegion();
            }
        }
        if (opt.keep) {
            out.println("Kept region '" + opt.region + "'" + (opt.configFile.isEmpty() ? " (--keep)."
                    : ": tools/tessera-admin --config " + opt.configFile + " delete " + opt.region + " removes it."));
        }
        out.println();
        out.println(status == EXIT_VERIFIED ? "Journal verified: all " + opt.records + " records intact."
                : "Journal damaged: see the records listed above.");
        return status;
    }

    private long append(ReplicatedFileChannel ch, Plan plan) throws IOException {
        ByteBuffer buf = ByteBuffer.allocateDirect(IO_CHUNK);
        byte[] payload = new byte[MAX_PAYLOAD];
        CRC32 crc = new CRC32();
        Progress progress = new Progress("appended", plan.count());
        long start = System.nanoTime();
        for (int i = 0; i < plan.count(); i++) {
            int len = plan.lengths[i];
            if (buf.remaining() < HEADER_BYTES + len) {
                flush(ch, buf);
            }
            plan.payload(i, payload);
            buf.putInt(MAGIC).putInt(i).putInt(len).putInt(checksum(crc, i, len, payload));
            buf.put(payload, 0, len);
            progress.step(i + 1);
        }
        flush(ch, buf);
        long nanos = System.nanoTime() - start;
        if (ch.size() != plan.totalBytes) {
            throw new IOException("after appending " + plan.totalBytes + " bytes the region reports a size of "
                    + ch.size());
        }
        return nanos;
    }

    private static void flush(ReplicatedFileChannel ch, ByteBuffer buf) throws IOException {
        buf.flip();
        while (buf.hasRemaining()) {
            ch.write(buf);
        }
        buf.clear();
    }

    private void corrupt(ReplicatedFileChannel ch, Plan plan, int record) throws IOException {
        long at = plan.offsets[record] + HEADER_BYTES + plan.lengths[record] / 2;
        ByteBuffer one = ByteBuffer.allocate(1);
        if (ch.read(one, at) != 1) {
            throw new IOException("cannot read back the byte to corrupt at offset " + at);
        }
        byte old = one.get(0);
        one.clear();
        one.put((byte) ~old).flip();
        ch.write(one, at);
        out.println(String.format(Locale.ROOT, "  corrupted record %d on purpose: byte at offset %d flipped"
                + " from 0x%02x to 0x%02x", record, at, old & 0xff, ~old & 0xff));
    }

    private Replay replay(ReplicatedFileChannel ch, Plan plan) throws IOException {
        Replay r = new Replay();
        long size = ch.size();
        if (size != plan.totalBytes) {
            r.problems.add("the reopened region reports a size of " + size + " bytes, the journal wrote "
                    + plan.totalBytes);
        }
        ByteBuffer buf = ByteBuffer.allocateDirect(IO_CHUNK);
        byte[] payload = new byte[MAX_PAYLOAD];
        byte[] expected = new byte[MAX_PAYLOAD];
        CRC32 crc = new CRC32();
        Progress progress = new Progress("replayed", plan.count());
        long offset = 0;
        boolean eof = false;
        long start = System.nanoTime();
        buf.flip();
        while (true) {
            if (buf.remaining() < HEADER_BYTES && !eof) {
                eof = fill(ch, buf, r);
                continue;
            }
            if (buf.remaining() == 0) {
                break;
            }
            if (buf.remaining() < HEADER_BYTES) {
                r.problems.add("offset " + offset + ": " + buf.remaining() + " stray bytes after the last record");
                break;
            }
            int pos = buf.position();
            int magic = buf.getInt(pos);
            int seq = buf.getInt(pos + 4);
            int len = buf.getInt(pos + 8);
            int stored = buf.getInt(pos + 12);
            if (magic != MAGIC || len < MIN_PAYLOAD || len > MAX_PAYLOAD) {
                r.problems.add(String.format(Locale.ROOT, "offset %d: no valid record header (magic 0x%08x,"
                        + " length %d); replay cannot go on", offset, magic, len));
                break;
            }
            if (buf.remaining() < HEADER_BYTES + len) {
                if (eof) {
                    r.problems.add("offset " + offset + ": record " + seq + " is cut off at the end of the file");
                    break;
                }
                eof = fill(ch, buf, r);
                continue;
            }
            buf.position(pos + HEADER_BYTES);
            buf.get(payload, 0, len);
            int index = r.recordsSeen;
            r.recordsSeen++;
            String fault = null;
            if (seq != index) {
                fault = "sequence number " + seq + " where " + index + " was due";
            } else if (index >= plan.count()) {
                fault = "beyond the " + plan.count() + " records written";
            } else {
                int computed = checksum(crc, seq, len, payload);
                if (computed != stored) {
                    fault = String.format(Locale.ROOT, "checksum mismatch (stored 0x%08x, computed 0x%08x)",
                            stored, computed);
                } else if (len != plan.lengths[index]) {
                    fault = "length " + len + " where " + plan.lengths[index] + " was written";
                } else {
                    plan.payload(index, expected);
                    if (!java.util.Arrays.equals(payload, 0, len, expected, 0, len)) {
                        fault = "payload differs from what was written, though its checksum matches";
                    }
                }
            }
            if (fault != null) {
                r.damaged.add(index);
                if (r.damaged.size() <= REPORT_LIMIT) {
                    out.println("  record " + index + " at offset " + offset + " is corrupt: " + fault);
                }
            }
            offset += HEADER_BYTES + len;
            progress.step(r.recordsSeen);
        }
        r.nanos = System.nanoTime() - start;
        if (r.recordsSeen < plan.count() && r.problems.isEmpty()) {
            r.problems.add("only " + r.recordsSeen + " of " + plan.count() + " records found");
        } else if (r.recordsSeen < plan.count()) {
            r.problems.add((plan.count() - r.recordsSeen) + " of " + plan.count() + " records not replayed");
        }
        r.expected = plan.count();
        return r;
    }

    /** Moves the unread bytes to the front and reads more; true at the end of the file. */
    private static boolean fill(ReplicatedFileChannel ch, ByteBuffer buf, Replay r) throws IOException {
        buf.compact();
        int n = ch.read(buf);
        buf.flip();
        if (n <= 0) {
            // -1 is the end of the file; 0 cannot happen with room in the buffer, but must not spin.
            return true;
        }
        r.bytesRead += n;
        return false;
    }

    private void listCluster(boolean withRegionRecord) throws IOException {
        try (StoreAdmin admin = StoreAdmin.attach(opt.configFile, opt.localIndex)) {
            if (withRegionRecord) {
                RegionInfo mine = admin.region(opt.region);
                out.println("  region record  " + ByteUnits.format(mine.sizeBytes()) + " size, "
                        + ByteUnits.format(mine.usedBytes()) + " used, " + mine.redundancy() + " copies (at least "
                        + mine.minRedundancy() + "), primary daemon " + mine.primary());
            }
            List<DaemonInfo> daemons = admin.daemons();
            out.println();
            out.println("Daemons");
            indent(Records.daemonTable(daemons, admin.attachedDaemon()).render());
            out.println();
            out.println("Regions");
            indent(Records.regionTable(admin.globalRegions()).render());
        }
    }

    private void deleteRegion() {
        try (StoreAdmin admin = StoreAdmin.attach(opt.configFile, opt.localIndex)) {
            admin.deleteRegion(opt.region, false);
            boolean gone = admin.findRegion(opt.region).isEmpty();
            out.println();
            out.println(gone ? "Deleted region '" + opt.region + "'."
                    : "Deleted region '" + opt.region + "', but the cluster still lists it.");
        } catch (IOException | RuntimeException e) {
            err.println(PROGRAM + ": warning: could not delete region '" + opt.region + "': " + e.getMessage());
        }
    }

    private void indent(String table) {
        table.lines().forEach(l -> out.println("  " + l));
    }

    private static int checksum(CRC32 crc, int seq, int len, byte[] payload) {
        crc.reset();
        for (int v : new int[] {seq, len}) {
            crc.update(v >>> 24);
            crc.update(v >>> 16);
            crc.update(v >>> 8);
            crc.update(v);
        }
        crc.update(payload, 0, len);
        return (int) crc.getValue();
    }

    private static long roundUp(long v, long unit) {
        return (v + unit - 1) / unit * unit;
    }

    private static String millis(long nanos) {
        return String.format(Locale.ROOT, "%.1f ms", nanos / 1e6);
    }

    private static String perSecond(long count, long nanos) {
        if (nanos <= 0) {
            return "n/a";
        }
        return String.format(Locale.ROOT, "%.0f", count * 1e9 / nanos);
    }

    // ---- helpers -------------------------------------------------------------------

    /** The records to write: their payload lengths and offsets, fixed by the seed. */
    private static final class Plan {
        final long seed;
        final int[] lengths;
        final long[] offsets;
        final long totalBytes;

        private Plan(long seed, int[] lengths, long[] offsets, long totalBytes) {
            this.seed = seed;
            this.lengths = lengths;
            this.offsets = offsets;
            this.totalBytes = totalBytes;
        }

        static Plan make(int count, long seed) {
            SplittableRandom rnd = new SplittableRandom(seed);
            int[] lengths = new int[count];
            long[] offsets = new long[count];
            long at = 0;
            for (int i = 0; i < count; i++) {
                lengths[i] = MIN_PAYLOAD + rnd.nextInt(MAX_PAYLOAD - MIN_PAYLOAD + 1);
                offsets[i] = at;
                at += HEADER_BYTES + lengths[i];
            }
            return new Plan(seed, lengths, offsets, at);
        }

        int count() {
            return lengths.length;
        }

        /** The payload of record {@code i}, into the front of {@code into}. */
        void payload(int i, byte[] into) {
            SplittableRandom rnd = new SplittableRandom(seed * 0x9E3779B97F4A7C15L + i);
            int len = lengths[i];
            int k = 0;
            while (k < len) {
                long v = rnd.nextLong();
                for (int b = 0; b < 8 && k < len; b++, k++) {
                    into[k] = (byte) (v >>> (8 * b));
                }
            }
        }
    }

    /** What a replay found. */
    private static final class Replay {
        int expected;
        int recordsSeen;
        long bytesRead;
        long nanos;
        final List<Integer> damaged = new ArrayList<>();
        final List<String> problems = new ArrayList<>();

        int report(PrintStream out) {
            for (String p : problems) {
                out.println("  " + p);
            }
            if (damaged.size() > REPORT_LIMIT) {
                out.println("  ... and " + (damaged.size() - REPORT_LIMIT) + " more damaged records");
            }
            int intact = recordsSeen - damaged.size();
            out.println("  verified " + intact + " of " + expected + " records"
                    + (damaged.isEmpty() ? "" : "; corrupt: " + describe(damaged)));
            return damaged.isEmpty() && problems.isEmpty() ? EXIT_VERIFIED : EXIT_CORRUPT;
        }

        private static String describe(List<Integer> ids) {
            StringBuilder sb = new StringBuilder();
            for (int i = 0; i < ids.size() && i < REPORT_LIMIT; i++) {
                if (i > 0) {
                    sb.append(", ");
                }
                sb.append(ids.get(i));
            }
            if (ids.size() > REPORT_LIMIT) {
                sb.append(", ...");
            }
            return sb.toString();
        }
    }

    /** Progress lines at every tenth of a long run. */
    private final class Progress {
        private final String verb;
        private final int total;
        private int nextTenth = 1;

        Progress(String verb, int total) {
            this.verb = verb;
            this.total = total;
        }

        void step(int done) {
            if (total < PROGRESS_THRESHOLD || nextTenth >= 10) {
                return;
            }
            if ((long) done * 10 >= (long) total * nextTenth) {
                out.println("  ... " + verb + " " + done + "/" + total + " records (" + nextTenth * 10 + "%)");
                nextTenth++;
            }
        }
    }

    /** The parsed command line. */
    private static final class Options {
        static final String HELP = "Usage: " + PROGRAM + " [OPTIONS]\n\n"
                + "Append-only record journal on a replicated store region: append records with\n"
                + "checksums, close, reopen, replay and verify every record, report throughput and\n"
                + "the region's figures, list the cluster's daemons and regions, delete the region.\n\n"
                + "Options:\n"
                + "  --records N          records to append (default 20000)\n"
                + "  --region NAME        region name (default journal-demo-<process id>)\n"
                + "  --config FILE        cluster configuration file (default: the embedded cluster\n"
                + "                       inside this process)\n"
                + "  --local-index N      local daemon (default 0)\n"
                + "  --seed S             seed of the record lengths and payloads (default 1)\n"
                + "  --corrupt-record K   after writing, flip one payload byte of record K; replay\n"
                + "                       must report exactly that record\n"
                + "  --keep               do not delete the region at the end (the default with\n"
                + "                       --config: the region outlives this process)\n"
                + "  --delete             delete the region at the end (the default without --config)\n"
                + "  -h, --help           show this help\n\n"
                + "Exit status: 0 all records verified, 1 damaged records found, 2 usage error,\n"
                + "3 the store failed.\n";

        int records = 20_000;
        String region = "journal-demo-" + ProcessHandle.current().pid();
        String configFile = "";
        int localIndex;
        long seed = 1;
        int corruptRecord = -1;
        Boolean keep; // null: keep on a configured cluster, delete on the embedded one
        boolean help;

        static Options parse(String[] args) {
            Options o = new Options();
            Cli.Words line = new Cli.Words(args);
            while (line.advance()) {
                String a = line.word();
                String name = line.option();
                switch (name) {
                    case "-h", "--help" -> o.help = true;
                    case "--keep" -> o.keep = Boolean.TRUE;
                    case "--delete" -> o.keep = Boolean.FALSE;
                    case "--records" -> o.records = (int) number(next(line, name), name, 1, 4_000_000);
                    case "--region" -> o.region = name(name, next(line, name));
                    case "--config" -> o.configFile = name(name, next(line, name));
                    case "--local-index" -> o.localIndex = (int) number(next(line, name), name, 0,
                            Integer.MAX_VALUE);
                    case "--seed" -> o.seed = number(next(line, name), name, Long.MIN_VALUE, Long.MAX_VALUE);
                    case "--corrupt-record" -> o.corruptRecord = (int) number(next(line, name), name, 0,
                            Integer.MAX_VALUE);
                    default -> throw new IllegalArgumentException(
                            (a.startsWith("-") ? "unknown option " : "unexpected argument ") + a);
                }
            }
            if (o.keep == null) {
                o.keep = !o.configFile.isEmpty();
            }
            if (o.corruptRecord >= o.records) {
                throw new IllegalArgumentException("--corrupt-record " + o.corruptRecord + " is beyond the last record ("
                        + (o.records - 1) + ")");
            }
            return o;
        }

        /** A region or file name: not empty, and one the store takes exactly. */
        private static String name(String option, String text) {
            String problem = text.isEmpty() ? option + " needs a name" : Cli.nameProblem(option, text);
            if (problem != null) {
                throw new IllegalArgumentException(problem);
            }
            return text;
        }

        private static String next(Cli.Words line, String option) {
            String v = line.value();
            if (v == null) {
                throw new IllegalArgumentException(option + " needs a value");
            }
            return v;
        }

        private static long number(String text, String option, long min, long max) {
            long v;
            try {
                v = Long.parseLong(text.trim());
            } catch (NumberFormatException e) {
                throw new IllegalArgumentException(option + " needs a whole number, not '" + text + "'");
            }
            if (v < min || v > max) {
                throw new IllegalArgumentException(option + " must be between " + min + " and " + max + ": " + v);
            }
            return v;
        }
    }
}
