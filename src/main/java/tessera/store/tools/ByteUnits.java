package tessera.store.tools;

import java.util.Locale;

/**
 * Byte counts in human units (binary multiples: KiB, MiB, GiB, TiB, PiB, EiB),
 * as the command-line tools print them in tables.
 */
public final class ByteUnits {
    private static final String[] UNITS = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};

    private ByteUnits() {
    }

    /**
     * Formats a byte count: below 1024 as exact bytes ({@code "512 B"}), above
     * with one decimal in the largest unit that keeps the number at least 1
     * ({@code "1.0 GiB"}, {@code "1.5 MiB"}). Negative counts keep their sign.
     *
     * @param bytes the count
     * @return the text
     */
    public static String format(long bytes) {
        if (bytes == Long.MIN_VALUE) {
            return "-8.0 EiB";
        }
        if (bytes < 0) {
            return "-" + format(-bytes);
        }
        if (bytes < 1024) {
            return bytes + " B";
        }
        double value = bytes;
        int unit = -1;
        while (value >= 1024 && unit < UNITS.length - 1) {
            value /= 1024;
            unit++;
        }
        // Rounding to one decimal can reach 1024.0: move up one unit instead.
        if (Math.round(value * 10) >= 10240 && unit < UNITS.length - 1) {
            value /= 1024;
            unit++;
        }
        return String.format(Locale.ROOT, "%.1f %s", value, UNITS[unit]);
    }

    /**
     * Formats a byte count as a rate per second, for example {@code "12.5 MiB/s"}.
     *
     * @param bytes bytes moved
     * @param nanos time taken in nanoseconds; 0 or less gives {@code "n/a"}
     * @return the text
     */
    public static String rate(long bytes, long nanos) {
        if (nanos <= 0) {
            return "n/a";
        }
        double perSecond = bytes * 1e9 / nanos;
        return format((long) perSecond) + "/s";
    }
}
