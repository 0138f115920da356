package tessera.store.tools;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

/**
 * A plain-text table with aligned columns: a header line, a rule, then one
 * line per row. Columns are separated by two blanks; a column is either
 * left-aligned (text) or right-aligned (numbers). No trailing blanks.
 * Control characters in headers and cells are shown escaped (see
 * {@link #escape}), so that every row stays on one line.
 */
public final class TextTable {
    /** Alignment of one column. */
    public enum Align {
        /** Text starts at the column's left edge. */
        LEFT,
        /** Text ends at the column's right edge. */
        RIGHT
    }

    private final String[] headers;
    private final Align[] aligns;
    private final List<String[]> rows = new ArrayList<>();

    /**
     * A table with the given column headers, all left-aligned until
     * {@link #align} says otherwise.
     *
     * @param headers the column headers
     */
    public TextTable(String... headers) {
        if (headers.length == 0) {
            throw new IllegalArgumentException("a table needs at least one column");
        }
        this.headers = new String[headers.length];
        for (int c = 0; c < headers.length; c++) {
            this.headers[c] = escape(headers[c]);
        }
        this.aligns = new Align[headers.length];
        Arrays.fill(aligns, Align.LEFT);
    }

    /**
     * Sets the alignment of the given columns.
     *
     * @param align the alignment
     * @param columns zero-based column numbers
     * @return this table
     */
    public TextTable align(Align align, int... columns) {
        for (int c : columns) {
            aligns[c] = align;
        }
        return this;
    }

    /**
     * Adds one row; null cells print as {@code -}.
     *
     * @param cells one value per column
     * @return this table
     * @throws IllegalArgumentException when the number of cells is not the number of columns
     */
    public TextTable row(Object... cells) {
        if (cells.length != headers.length) {
            throw new IllegalArgumentException("row has " + cells.length + " cells, table has "
                    + headers.length + " columns");
        }
        String[] text = new String[cells.length];
        for (int i = 0; i < cells.length; i++) {
            text[i] = cells[i] == null ? "-" : escape(cells[i].toString());
        }
        rows.add(text);
        return this;
    }

    /**
     * Text as one line with its control characters made visible: a backslash
     * becomes {@code \\}, tab, line feed and carriage return become
     * {@code \t}, {@code \n} and {@code \r}, any other control character
     * (U+0000 to U+001F, U+007F to U+009F) becomes {@code \xNN} (two
     * lower-case hex digits), and the line and paragraph separators U+2028
     * and U+2029 become <code>&#92;u2028</code> and <code>&#92;u2029</code>.
     * Everything else is kept as it is.
     *
     * @param text the text
     * @return the text itself when there is nothing to escape
     */
    public static String escape(String text) {
        int i = 0;
        while (i < text.length() && plain(text.charAt(i))) {
            i++;
        }
        if (i == text.length()) {
            return text;
        }
        StringBuilder sb = new StringBuilder(text.length() + 8).append(text, 0, i);
        for (; i < text.length(); i++) {
            char ch = text.charAt(i);
            switch (ch) {
                case '\\' -> sb.append("\\\\");
                case '\t' -> sb.append("\\t");
                case '\n' -> sb.append("\\n");
                case '\r' -> sb.append("\\r");
                case '\u2028', '\u2029' -> sb.append(String.format(Locale.ROOT, "\\u%04x", (int) ch));
                default -> sb.append(plain(ch) ? String.valueOf(ch)
                        : String.format(Locale.ROOT, "\\x%02x", (int) ch));
            }
        }
        return sb.toString();
    }

    private static boolean plain(char ch) {
        return ch != '\\' && !Character.isISOControl(ch) && ch != '\u2028' && ch != '\u2029';
    }

    /**
     * Number of rows added so far.
     *
     * @return the count
     */
    public int rowCount() {
        return rows.size();
    }

    /**
     * The table as text, one line per row, each ending in a line feed.
     *
     * @return the rendered table
     */
    public String render() {
        int[] widths = new int[headers.length];
        for (int c = 0; c < headers.length; c++) {
            widths[c] = headers[c].length();
        }
        for (String[] r : rows) {
            for (int c = 0; c < r.length; c++) {
                widths[c] = Math.max(widths[c], r[c].length());
            }
        }
        StringBuilder sb = new StringBuilder();
        line(sb, headers, widths);
        String[] rule = new String[headers.length];
        for (int c = 0; c < rule.length; c++) {
            rule[c] = "-".repeat(widths[c]);
        }
        line(sb, rule, widths);
        for (String[] r : rows) {
            line(sb, r, widths);
        }
        return sb.toString();
    }

    /**
     * Writes {@link #render()} to a stream.
     *
     * @param out the stream
     */
    public void print(PrintStream out) {
        out.print(render());
    }

    private void line(StringBuilder sb, String[] cells, int[] widths) {
        int start = sb.length();
        for (int c = 0; c < cells.length; c++) {
            if (c > 0) {
                sb.append("  ");
            }
            int pad = widths[c] - cells[c].length();
            if (aligns[c] == Align.RIGHT) {
                sb.append(" ".repeat(pad)).append(cells[c]);
            } else {
                sb.append(cells[c]).append(" ".repeat(pad));
            }
        }
        int end = sb.length();
        while (end > start && sb.charAt(end - 1) == ' ') {
            end--;
        }
        sb.setLength(end);
        sb.append('\n');
    }
}
