package tessera.store.io.file;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;

/**
 * The stand-in client library's test controls, reached through the test-only
 * native library named by {@code -Dtessera.test.standin}, and what tests
 * share about regions and journal lines.
 */
public final class StandIn {
    public static final int SUCC = 1, FAIL = 2, RETRY = 3, INPROG = 4;
    public static final int STORENF = 2, EMPTYBLOCK = 7, OTHER = 8, ACCESS = 9, CANCEL = 10, INVAL = 11,
            NOMEM = 15, TIMEDOUT = 18, NOTFOUND = 19, DDEAD = 21, NOCFG = 26, NULLCTX = 47;

    private static final List<String> FLAGS = new ArrayList<>();

    static {
        NativeLibrary.load();
        System.load(System.getProperty("tessera.test.standin"));
    }

    public static native void reset();
    public static native void journal(boolean on);
    public static native String[] takeJournal();
    public static native void force(String op, int times, int status, int error);
    private static native void scriptIo(String op, int times, int[] script);
    public static native int pendingNotifications();
    public static native void inlineCompletion(boolean on);
    public static native boolean daemonUp(int daemon);
    public static native void setDaemonUp(int daemon, boolean up);
    public static native int liveConnections();
    public static native void localDaemon(long total, long used, boolean real);
    public static native void listedRegions(String[] names);
    public static native void listedDaemons(boolean given);
    public static native boolean adminConsole(boolean on);

    /** Sets a fault-injection property to true until {@link #clean}. */
    public static void flag(String key) {
        System.setProperty(key, "true");
        FLAGS.add(key);
    }

    /** Clears the properties {@link #flag} set and resets the stand-in. */
    public static void clean() {
        FLAGS.forEach(System::clearProperty);
        FLAGS.clear();
        reset();
    }

    /** Makes a region of 8 MiB with {@code used} bytes written, and closes it. */
    public static void makeRegion(String name, int used) throws IOException {
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder(name).regionSize(8L << 20).open()) {
            ch.write(ByteBuffer.allocate(used), 0);
        }
    }

    /** The journal lines of the given operations since the last take, in order; empties the journal. */
    public static List<String> take(String... ops) {
        return Arrays.stream(takeJournal())
                .filter(l -> ops.length == 0 || Arrays.asList(ops).contains(l.split(" ", 2)[0]))
                .collect(Collectors.toList());
    }

    /** The operation names of {@link #take}. */
    public static List<String> takeOps(String... ops) {
        return take(ops).stream().map(l -> l.split(" ", 2)[0]).collect(Collectors.toList());
    }

    /**
     * The next {@code times} submissions of {@code op} follow the script: submit status and error,
     * operation record status and error, notifications, waits before they come, their status and
     * error, perform (1 moves the data); values left out are 0.
     */
    public static void script(String op, int times, int... script) {
        scriptIo(op, times, Arrays.copyOf(script, 9));
    }
}
