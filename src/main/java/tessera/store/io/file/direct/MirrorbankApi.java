package tessera.store.io.file.direct;

import java.util.Locale;

/**
 * The Java side's copy of the client-library interface's named constants
 * ({@code mirrorbank_api.h}), and the rule every name handed to it must meet.
 *
 * <p>The constants carry the same names as in the header, so one search
 * finds both. The bridge itself always opens with
 * {@link #MB_OPEN_CREATE}{@code |}{@link #MB_OPEN_READWRITE}; a shutdown's
 * {@code force} and {@code safe} arguments become {@link #MB_SHUTDOWN_FORCE}
 * and {@link #MB_SHUTDOWN_SAFE}; the crash events of fault injection aim at
 * one of the {@code MB_EVENT_TARGET_*} targets.
 *
 * <p>Names: the bridge hands region names, prefixes and configuration file
 * names to the client library as standard UTF-8 in records of
 * {@value #MAX_NAME_BYTES} bytes. A name that cannot get there exactly is
 * refused, never cut or altered; {@link #nameProblem} says why.
 */
public final class MirrorbankApi {
    /** Open flag: fail when the region exists. */
    public static final int MB_OPEN_EXCLUSIVE = 0x1;
    /** Open flag: create the region when it does not exist. */
    public static final int MB_OPEN_CREATE = 0x2;
    /** Open flag: open for writing as well as reading. */
    public static final int MB_OPEN_READWRITE = 0x4;

    /** Shutdown flag: shut down even while regions are open. */
    public static final int MB_SHUTDOWN_FORCE = 0x10;
    /** Shutdown flag: refuse when a region would lose its last copy. */
    public static final int MB_SHUTDOWN_SAFE = 0x40;

    /** Crash-event target: the region's primary daemon. */
    public static final int MB_EVENT_TARGET_PRIMARY = 1;
    /** Crash-event target: the region's first secondary daemon. */
    public static final int MB_EVENT_TARGET_SECONDARY = 2;
    /** Crash-event target: the calling process. */
    public static final int MB_EVENT_TARGET_PROCESS = 3;

    /** Most bytes of a name in standard UTF-8: the size of the client library's name records. */
    public static final int MAX_NAME_BYTES = 255;

    /** Characters of a refused name that its message quotes. */
    private static final int QUOTED = 48;

    private MirrorbankApi() {
    }

    /**
     * Why {@code text} cannot reach the client library exactly: longer than
     * {@value #MAX_NAME_BYTES} bytes in UTF-8, or holding U+0000 or a
     * surrogate without its pair (which no charset can encode).
     *
     * @param text the name; not null
     * @param what what the name is, to begin the message ("region name")
     * @return null when the name is fine, else a message naming the problem
     */
    public static String nameProblem(String text, String what) {
        int bytes = 0;
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            if (c == 0) {
                return what + " " + quote(text) + " contains U+0000 at index " + i;
            }
            if (Character.isHighSurrogate(c) && i + 1 < text.length() && Character.isLowSurrogate(text.charAt(i + 1))) {
                bytes += 4;
                i++;
            } else if (Character.isSurrogate(c)) {
                return what + " " + quote(text) + " contains an unpaired surrogate U+"
                        + Integer.toHexString(c).toUpperCase(Locale.ROOT) + " at index " + i;
            } else {
                bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
            }
        }
        if (bytes > MAX_NAME_BYTES) {
            return what + " " + quote(text) + " is " + bytes + " bytes long in UTF-8; the store takes at most "
                    + MAX_NAME_BYTES;
        }
        return null;
    }

    /** The start of a name, with control characters and surrogates as escapes. */
    private static String quote(String text) {
        StringBuilder sb = new StringBuilder("'");
        for (int i = 0; i < text.length() && i < QUOTED; i++) {
            char c = text.charAt(i);
            if (c < 0x20 || Character.isSurrogate(c)) {
                sb.append(String.format(Locale.ROOT, "\\u%04X", (int) c));
            } else {
                sb.append(c);
            }
        }
        return sb.append(text.length() > QUOTED ? "...'" : "'").toString();
    }
}
