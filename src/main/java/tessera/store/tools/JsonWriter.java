package tessera.store.tools;

import java.util.ArrayDeque;
import java.util.Deque;
import java.util.function.BiConsumer;

/**
 * A small streaming JSON writer with two-blank indentation. It checks the
 * nesting (names only inside objects, values only where one is expected) and
 * escapes strings as RFC 8259 requires: quote, backslash and control
 * characters; everything else, including characters outside the Basic
 * Multilingual Plane, is written as is.
 */
public final class JsonWriter {
    private enum Scope { OBJECT, ARRAY }

    private final StringBuilder out = new StringBuilder();
    private final Deque<Scope> scopes = new ArrayDeque<>();
    private final Deque<Boolean> empty = new ArrayDeque<>();
    private boolean nameWritten;
    private boolean started;

    /** An empty writer; the first call must start the top-level value. */
    public JsonWriter() {
    }

    /** Starts an object; returns this writer. */
    public JsonWriter beginObject() { return begin(Scope.OBJECT, '{'); }

    /** Ends the innermost object; returns this writer. */
    public JsonWriter endObject() { return close(Scope.OBJECT, '}'); }

    /** Starts an array; returns this writer. */
    public JsonWriter beginArray() { return begin(Scope.ARRAY, '['); }

    /** Ends the innermost array; returns this writer. */
    public JsonWriter endArray() { return close(Scope.ARRAY, ']'); }

    /**
     * Writes the member {@code name} of the innermost object: an array of
     * {@code items}, each written by {@code each}.
     *
     * @return this writer
     */
    public <T> JsonWriter array(String name, Iterable<T> items, BiConsumer<JsonWriter, T> each) {
        name(name).beginArray();
        for (T item : items) {
            each.accept(this, item);
        }
        return endArray();
    }

    /**
     * Writes the name of the next member of the innermost object.
     *
     * @param name the member name
     * @return this writer
     */
    public JsonWriter name(String name) {
        if (scopes.peek() != Scope.OBJECT || nameWritten) {
            throw new IllegalStateException("a member name belongs directly inside an object");
        }
        separate();
        quote(name);
        out.append(": ");
        nameWritten = true;
        return this;
    }

    /**
     * Writes a string value, or null.
     *
     * @param value the value
     * @return this writer
     */
    public JsonWriter value(String value) {
        beforeValue();
        if (value == null) {
            out.append("null");
        } else {
            quote(value);
        }
        return this;
    }

    /**
     * Writes a number.
     *
     * @param value the value
     * @return this writer
     */
    public JsonWriter value(long value) {
        beforeValue();
        out.append(value);
        return this;
    }

    /**
     * Writes a number given as text of an exact decimal integer (for
     * unsigned 64-bit values).
     *
     * @param digits the decimal digits
     * @return this writer
     */
    public JsonWriter rawNumber(String digits) {
        if (!digits.matches("-?(0|[1-9][0-9]*)")) {
            throw new IllegalArgumentException("not a decimal integer: " + digits);
        }
        beforeValue();
        out.append(digits);
        return this;
    }

    /**
     * Writes a boolean.
     *
     * @param value the value
     * @return this writer
     */
    public JsonWriter value(boolean value) {
        beforeValue();
        out.append(value);
        return this;
    }

    /**
     * Shorthand for {@code name(name).value(value)}.
     *
     * @param name the member name
     * @param value the value
     * @return this writer
     */
    public JsonWriter member(String name, String value) {
        return name(name).value(value);
    }

    /**
     * Shorthand for {@code name(name).value(value)}.
     *
     * @param name the member name
     * @param value the value
     * @return this writer
     */
    public JsonWriter member(String name, long value) {
        return name(name).value(value);
    }

    /**
     * Shorthand for {@code name(name).value(value)}.
     *
     * @param name the member name
     * @param value the value
     * @return this writer
     */
    public JsonWriter member(String name, boolean value) {
        return name(name).value(value);
    }

    /**
     * The finished document, ending in a line feed.
     *
     * @return the text
     * @throws IllegalStateException when a value is still open
     */
    public String toJson() {
        if (!started || !scopes.isEmpty()) {
            throw new IllegalStateException("the JSON document is not complete");
        }
        return out + "\n";
    }

    /**
     * A JSON string literal for {@code s}, quotes included.
     *
     * @param s the text
     * @return the literal
     */
    public static String quoted(String s) {
        JsonWriter w = new JsonWriter();
        w.quote(s);
        return w.out.toString();
    }

    private void beforeValue() {
        Scope s = scopes.peek();
        if (s == null) {
            if (started) {
                throw new IllegalStateException("the JSON document already has its top-level value");
            }
            started = true;
        } else if (s == Scope.OBJECT) {
            if (!nameWritten) {
                throw new IllegalStateException("a value inside an object needs a member name first");
            }
            nameWritten = false;
        } else {
            separate();
        }
    }

    private void separate() {
        if (!empty.pop()) {
            out.append(',');
        }
        empty.push(false);
        newline(scopes.size());
    }

    private JsonWriter begin(Scope scope, char bracket) {
        beforeValue();
        out.append(bracket);
        scopes.push(scope);
        empty.push(true);
        return this;
    }

    private JsonWriter close(Scope scope, char bracket) {
        if (scopes.peek() != scope || nameWritten) {
            throw new IllegalStateException("unbalanced " + bracket);
        }
        scopes.pop();
        boolean wasEmpty = empty.pop();
        if (!wasEmpty) {
            newline(scopes.size());
        }
        out.append(bracket);
        return this;
    }

    private void newline(int depth) {
        out.append('\n');
        out.append("  ".repeat(depth));
    }

    private void quote(String s) {
        out.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '"' -> out.append("\\\"");
                case '\\' -> out.append("\\\\");
                case '\n' -> out.append("\\n");
                case '\r' -> out.append("\\r");
                case '\t' -> out.append("\\t");
                case '\b' -> out.append("\\b");
                case '\f' -> out.append("\\f");
                default -> {
                    if (c < 0x20 || c == 0x2028 || c == 0x2029) {
                        out.append(String.format(java.util.Locale.ROOT, "\\u%04x", (int) c));
                    } else {
                        out.append(c);
                    }
                }
            }
        }
        out.append('"');
    }
}
