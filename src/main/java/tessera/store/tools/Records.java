package tessera.store.tools;

import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

import tessera.store.io.file.ReplicatedStoreAdmin.DaemonInfo;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;

/**
 * Renders the admin records as table rows, detail blocks and JSON objects,
 * the same way in every tool.
 */
public final class Records {
    private Records() {
    }

    /**
     * A table of daemons, one row each.
     *
     * @param daemons the daemons
     * @param addressed index of the daemon that admin requests address (marked
     *        with {@code *}), or -1
     * @return the table
     */
    public static TextTable daemonTable(List<DaemonInfo> daemons, int addressed) {
        TextTable t = new TextTable("DAEMON", "STATUS", "ADDRESS", "USED", "TOTAL", "USE%", "REGIONS", "OPEN",
                "LOCAL OPEN", "RESILVERS");
        t.align(TextTable.Align.RIGHT, 0, 3, 4, 5, 6, 7, 8, 9);
        for (DaemonInfo d : daemons) {
            t.row((d.index() == addressed ? "*" : "") + d.index(),
                    d.status() == null ? "unknown" : d.status(),
                    address(d),
                    ByteUnits.format(d.usedMemory()),
                    ByteUnits.format(d.totalMemory()),
                    percent(d.usedMemory(), d.totalMemory()),
                    d.numberStores(), d.numberOpens(), d.numberLocalOpens(), d.numberResilvers());
        }
        return t;
    }

    /**
     * A table of regions, one row each.
     *
     * @param regions the regions
     * @return the table
     */
    public static TextTable regionTable(List<RegionInfo> regions) {
        TextTable t = new TextTable("REGION", "SIZE", "USED", "USE%", "BLOCK", "COPIES", "MIN", "PRIMARY", "NODES",
                "OPEN");
        t.align(TextTable.Align.RIGHT, 1, 2, 3, 4, 5, 6, 7);
        for (RegionInfo r : regions) {
            t.row(r.name(),
                    ByteUnits.format(r.sizeBytes()),
                    ByteUnits.format(r.usedBytes()),
                    percent(r.usedBytes(), r.sizeBytes()),
                    ByteUnits.format(Integer.toUnsignedLong(r.blocksize())),
                    r.redundancy(), r.minRedundancy(), r.primary(),
                    nodeText(r.nodes()),
                    openText(r));
        }
        return t;
    }

    /**
     * One region as an aligned block of "label: value" lines, values escaped
     * as in tables ({@link TextTable#escape}).
     *
     * @param r the region
     * @return the text, ending in a line feed
     */
    public static String regionDetails(RegionInfo r) {
        String[][] lines = {
            {"Region", r.name()},
            {"Size", ByteUnits.format(r.sizeBytes()) + " (" + r.sizeBytes() + " bytes)"},
            {"Used", ByteUnits.format(r.usedBytes()) + " (" + r.usedBytes() + " bytes, "
                    + percent(r.usedBytes(), r.sizeBytes()) + ")"},
            {"Block size", ByteUnits.format(Integer.toUnsignedLong(r.blocksize())) + " ("
                    + Integer.toUnsignedLong(r.blocksize()) + " bytes)"},
            {"Copies", r.redundancy() + " (at least " + r.minRedundancy() + ")"},
            {"Primary daemon", Integer.toString(r.primary())},
            {"Held by daemons", nodeText(r.nodes())},
            {"Open", openText(r)},
            {"Opened by", r.open() ? "process " + Integer.toUnsignedLong(r.pid()) + " at " + r.ip() : "-"},
            {"Created", Long.toUnsignedString(r.ctime())},
            {"Modified", Long.toUnsignedString(r.mtime())},
            {"Accessed", Long.toUnsignedString(r.atime())},
        };
        int width = 0;
        for (String[] l : lines) {
            width = Math.max(width, l[0].length());
        }
        StringBuilder sb = new StringBuilder();
        for (String[] l : lines) {
            sb.append(l[0]).append(':').append(" ".repeat(width - l[0].length() + 1)).append(TextTable.escape(l[1]))
                    .append('\n');
        }
        return sb.toString();
    }

    /**
     * Writes one daemon as a JSON object with exact byte counts.
     *
     * @param w the writer, positioned where a value may go
     * @param d the daemon
     */
    public static void daemonJson(JsonWriter w, DaemonInfo d) {
        w.beginObject()
                .member("index", d.index())
                .member("status", d.status())
                .member("reachable", d.reachable() != 0)
                .member("ip", d.ip())
                .member("port", d.portNumber())
                .member("shmKey", Integer.toUnsignedLong(d.shmKey()))
                .name("startTime").rawNumber(Long.toUnsignedString(d.startTime()))
                .name("currentTime").rawNumber(Long.toUnsignedString(d.currentTime()))
                .name("totalMemoryBytes").rawNumber(Long.toUnsignedString(d.totalMemory()))
                .name("usedMemoryBytes").rawNumber(Long.toUnsignedString(d.usedMemory()))
                .member("regions", d.numberStores())
                .member("openRegions", d.numberOpens())
                .member("localOpens", d.numberLocalOpens())
                .member("resilvers", d.numberResilvers())
                .member("clusterDaemons", d.numberDaemons())
                .endObject();
    }

    /**
     * Writes one region as a JSON object with exact byte counts.
     *
     * @param w the writer, positioned where a value may go
     * @param r the region
     */
    public static void regionJson(JsonWriter w, RegionInfo r) {
        w.beginObject()
                .member("name", r.name())
                .member("sizeBytes", r.sizeBytes())
                .member("usedBytes", r.usedBytes())
                .member("blockSizeBytes", Integer.toUnsignedLong(r.blocksize()))
                .member("copies", r.redundancy())
                .member("minCopies", r.minRedundancy())
                .member("primary", r.primary())
                .name("nodes").beginArray();
        for (int n : nodes(r.nodes())) {
            w.value(n);
        }
        w.endArray()
                .member("open", r.open())
                .member("local", r.local())
                .member("pid", Integer.toUnsignedLong(r.pid()))
                .member("ip", r.ip())
                .name("ctime").rawNumber(Long.toUnsignedString(r.ctime()))
                .name("mtime").rawNumber(Long.toUnsignedString(r.mtime()))
                .name("atime").rawNumber(Long.toUnsignedString(r.atime()))
                .endObject();
    }

    /**
     * The daemon indexes in a node bit set, lowest first.
     *
     * @param mask bit i set when daemon i holds a copy
     * @return the indexes
     */
    public static List<Integer> nodes(long mask) {
        List<Integer> out = new ArrayList<>();
        for (int i = 0; i < 64; i++) {
            if ((mask & (1L << i)) != 0) {
                out.add(i);
            }
        }
        return out;
    }

    /**
     * A share as a percentage with one decimal, {@code "-"} when the whole is 0.
     *
     * @param part the part
     * @param whole the whole
     * @return for example {@code "12.5%"}
     */
    public static String percent(long part, long whole) {
        if (whole == 0) {
            return "-";
        }
        return String.format(Locale.ROOT, "%.1f%%", 100.0 * part / whole);
    }

    private static String nodeText(long mask) {
        List<Integer> n = nodes(mask);
        if (n.isEmpty()) {
            return "-";
        }
        StringBuilder sb = new StringBuilder();
        for (int i : n) {
            if (sb.length() > 0) {
                sb.append(',');
            }
            sb.append(i);
        }
        return sb.toString();
    }

    private static String openText(RegionInfo r) {
        if (!r.open()) {
            return "no";
        }
        return r.local() ? "yes (local)" : "yes";
    }

    private static String address(DaemonInfo d) {
        if (d.ip() == null) {
            return "-";
        }
        return d.ip() + ":" + d.portNumber();
    }
}
