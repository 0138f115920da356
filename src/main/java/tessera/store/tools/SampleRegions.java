package tessera.store.tools;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

import tessera.store.io.file.ReplicatedFileChannel;

/**
 * The sample regions that {@code tessera-admin --demo} creates in this
 * process, so that one invocation against the embedded cluster (which lives
 * only inside the process that uses it) has something to show. Two of them
 * are written and closed; the last is written and held open until
 * {@link #closeQuietly} so that listings show an open region.
 */
final class SampleRegions {
    /** Name, region size and bytes written of each sample. */
    private static final Object[][] SAMPLES = {
        {"demo-orders", 64L << 20, 3 << 20},
        {"demo-audit", 16L << 20, 512 << 10},
        {"demo-sessions", 8L << 20, 100_000},
    };

    private final List<String> names = new ArrayList<>();
    private ReplicatedFileChannel held;

    private SampleRegions() {
    }

    /** The names of the sample regions, in creation order. */
    List<String> names() {
        return names;
    }

    /** The name of the region held open. */
    String keptOpen() {
        return held == null ? "none" : held.regionName();
    }

    /**
     * Creates (or reopens) the samples and writes their contents.
     *
     * @param configFile cluster configuration file, "" for the embedded cluster
     * @param localIndex local daemon index
     */
    static SampleRegions create(String configFile, int localIndex) throws IOException {
        SampleRegions s = new SampleRegions();
        try {
            for (int i = 0; i < SAMPLES.length; i++) {
                String name = (String) SAMPLES[i][0];
                ReplicatedFileChannel ch = ReplicatedFileChannel.builder(name)
                        .regionSize((Long) SAMPLES[i][1])
                        .configFile(configFile)
                        .localIndex(localIndex)
                        .open();
                boolean keep = i == SAMPLES.length - 1;
                try {
                    fill(ch, (Integer) SAMPLES[i][2]);
                } catch (IOException | RuntimeException e) {
                    closeAfterFailure(ch, e);
                    throw e;
                }
                if (keep) {
                    s.held = ch;
                } else {
                    ch.close();
                }
                s.names.add(name);
            }
        } catch (IOException | RuntimeException e) {
            s.closeQuietly(null);
            throw new IOException("--demo could not create its sample regions: " + e.getMessage(), e);
        }
        return s;
    }

    private static void fill(ReplicatedFileChannel ch, int bytes) throws IOException {
        ByteBuffer buf = ByteBuffer.allocateDirect(64 << 10);
        long pos = 0;
        while (pos < bytes) {
            buf.clear();
            int n = (int) Math.min(buf.capacity(), bytes - pos);
            for (int i = 0; i < n; i++) {
                buf.put((byte) ((pos + i) * 31));
            }
            buf.flip();
            while (buf.hasRemaining()) {
                pos += ch.write(buf, pos);
            }
        }
    }

    private static void closeAfterFailure(ReplicatedFileChannel ch, Exception cause) {
        try {
            ch.close();
        } catch (IOException | RuntimeException e) {
            cause.addSuppressed(e);
        }
    }

    /**
     * Closes the region held open; a failure is reported on {@code err} (when
     * given) and otherwise ignored, as the command's own outcome matters more.
     */
    void closeQuietly(PrintStream err) {
        if (held == null) {
            return;
        }
        try {
            held.close();
        } catch (IOException | RuntimeException e) {
            if (err != null) {
                err.println(AdminTool.PROGRAM + ": warning: closing sample region " + held.regionName()
                        + " failed: " + e.getMessage());
            }
        } finally {
            held = null;
        }
    }
}
