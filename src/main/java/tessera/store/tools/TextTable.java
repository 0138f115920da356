package tessera.store.tools;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * A plain-text table with aligned columns: a header line, a rule, then one
 * line per row. Columns are separated by two blanks; a column is either
 * left-aligned (text) or right-aligned (numbers). No trailing blanks.
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
        this.headers = headers.clone();
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
            text[i] = cells[i] == null ? "-" : cells[i].toString();
        }
        rows.add(text);
        return this;
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
