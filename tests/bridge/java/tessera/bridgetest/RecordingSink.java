package tessera.bridgetest;

import java.util.ArrayList;
import java.util.List;

import tessera.store.io.file.direct.NativeCallbacks;

/**
 * Test sink for the native bridge's log channels.
 *
 * <p>Records every line offered to {@link NativeCallbacks#debug} and
 * {@link NativeCallbacks#verbose}, with the name of the thread that
 * delivered it. What the sink answers is switchable, and it can be made to
 * throw instead of answering. The C++ harness drives it through its static
 * methods.
 */
public final class RecordingSink implements NativeCallbacks.Sink {
    private static final RecordingSink INSTANCE = new RecordingSink();

    private final List<String> debugLines = new ArrayList<>();
    private final List<String> debugThreads = new ArrayList<>();
    private final List<String> verboseLines = new ArrayList<>();
    private final List<String> verboseThreads = new ArrayList<>();
    private boolean answer = true;
    private boolean throwing;

    private RecordingSink() {
    }

    /** Makes this sink the one that NativeCallbacks uses. */
    public static void install() {
        NativeCallbacks.setSink(INSTANCE);
    }

    /** Puts NativeCallbacks back to its loggers. */
    public static void uninstall() {
        NativeCallbacks.setSink(null);
    }

    /** True when this sink is the installed one. */
    public static boolean installed() {
        return NativeCallbacks.getSink() == INSTANCE;
    }

    /** What accept answers from now on. */
    public static void setAnswer(boolean value) {
        synchronized (INSTANCE) {
            INSTANCE.answer = value;
        }
    }

    /** When on, accept records the line and then throws a RuntimeException. */
    public static void setThrowing(boolean value) {
        synchronized (INSTANCE) {
            INSTANCE.throwing = value;
        }
    }

    /** Forgets every recorded line and goes back to answering true without throwing. */
    public static void reset() {
        synchronized (INSTANCE) {
            INSTANCE.debugLines.clear();
            INSTANCE.debugThreads.clear();
            INSTANCE.verboseLines.clear();
            INSTANCE.verboseThreads.clear();
            INSTANCE.answer = true;
            INSTANCE.throwing = false;
        }
    }

    /** The lines recorded on a channel ("debug" or "verbose"), oldest first. */
    public static String[] lines(String channel) {
        synchronized (INSTANCE) {
            return INSTANCE.linesOf(channel).toArray(new String[0]);
        }
    }

    /** The names of the threads that delivered the lines of {@link #lines}. */
    public static String[] threads(String channel) {
        synchronized (INSTANCE) {
            return INSTANCE.threadsOf(channel).toArray(new String[0]);
        }
    }

    @Override
    public synchronized boolean accept(String channel, String line) {
        linesOf(channel).add(line);
        threadsOf(channel).add(Thread.currentThread().getName());
        if (throwing) {
            throw new RuntimeException("RecordingSink told to throw");
        }
        return answer;
    }

    private List<String> linesOf(String channel) {
        return NativeCallbacks.DEBUG.equals(channel) ? debugLines : verboseLines;
    }

    private List<String> threadsOf(String channel) {
        return NativeCallbacks.DEBUG.equals(channel) ? debugThreads : verboseThreads;
    }
}
