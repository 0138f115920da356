package tessera.store.io.file.direct;

import java.lang.System.Logger;
import java.lang.System.Logger.Level;

/**
 * Receives the native bridge's diagnostic lines.
 *
 * <p>The bridge has two channels, switched on at library load by the system
 * properties {@code tessera.debug.DebugStoreIOPhysical} (debug) and
 * {@code tessera.debug.DebugStoreIOPhysicalVerbose} (verbose). Lines of a
 * channel that is on arrive here and are handed to the {@link System.Logger}
 * named {@value #DEBUG_LOGGER} or {@value #VERBOSE_LOGGER} at level INFO, so
 * the logging configuration decides where they go. A line that is not taken
 * (no logger, or a {@link Sink} answering false) is written to standard
 * error by the bridge, so nothing is lost.
 *
 * <p>Switching them, with the JDK's default logging backend:
 * <pre>
 * # the bridge produces the lines (read once, when the library is loaded)
 * java -Dtessera.debug.DebugStoreIOPhysical=true \
 *      -Dtessera.debug.DebugStoreIOPhysicalVerbose=true \
 *      -Djava.util.logging.config.file=logging.properties ...
 *
 * # logging.properties: show the debug lines, drop the verbose ones
 * handlers = java.util.logging.ConsoleHandler
 * java.util.logging.ConsoleHandler.level = ALL
 * tessera.store.native.debug.level = INFO
 * tessera.store.native.verbose.level = OFF
 * </pre>
 * A logger level of OFF drops the channel's lines without sending them to
 * standard error; leaving the property unset keeps the bridge from producing
 * them at all, which also saves their cost.
 */
public final class NativeCallbacks {
    /** Logger name of the debug channel. */
    public static final String DEBUG_LOGGER = "tessera.store.native.debug";
    /** Logger name of the verbose channel. */
    public static final String VERBOSE_LOGGER = "tessera.store.native.verbose";

    /** Channel names passed to a {@link Sink}. */
    public static final String DEBUG = "debug";
    /** Channel names passed to a {@link Sink}. */
    public static final String VERBOSE = "verbose";

    /** Replaces the loggers: receives every line and says whether it was taken. */
    @FunctionalInterface
    public interface Sink {
        /**
         * Takes one line.
         *
         * @param channel {@link #DEBUG} or {@link #VERBOSE}
         * @param line the text, without a line end
         * @return true when the line was taken; false sends it to standard error
         */
        boolean accept(String channel, String line);
    }

    private static volatile Sink sink;

    private NativeCallbacks() {
    }

    /**
     * Installs a sink in place of the loggers.
     *
     * @param s the sink, or null to go back to the loggers
     */
    public static void setSink(Sink s) {
        sink = s;
    }

    /**
     * The sink in place of the loggers.
     *
     * @return the sink installed, or null
     */
    public static Sink getSink() {
        return sink;
    }

    /**
     * Receives a debug-channel line from the bridge.
     *
     * @param line the text, without a line end
     * @return true when the line was taken
     */
    public static boolean debug(String line) {
        return deliver(DEBUG, DEBUG_LOGGER, line);
    }

    /**
     * Receives a verbose-channel line from the bridge.
     *
     * @param line the text, without a line end
     * @return true when the line was taken
     */
    public static boolean verbose(String line) {
        return deliver(VERBOSE, VERBOSE_LOGGER, line);
    }

    private static boolean deliver(String channel, String loggerName, String line) {
        Sink s = sink;
        if (s != null) {
            return s.accept(channel, line);
        }
        Logger logger = System.getLogger(loggerName);
        logger.log(Level.INFO, line);
        return true;
    }
}
