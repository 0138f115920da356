package tessera.store.tools;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** A strict JSON reader for the tests: objects, arrays, strings, integers, true, false, null. */
final class MiniJson {
    private final String s;
    private int i;

    private MiniJson(String s) {
        this.s = s;
    }

    static Object parse(String text) {
        MiniJson p = new MiniJson(text);
        Object v = p.value();
        if (p.skip() != text.length()) {
            throw new IllegalArgumentException("text after the document at " + p.i);
        }
        return v;
    }

    @SuppressWarnings("unchecked")
    static Map<String, Object> object(Object v) {
        return (Map<String, Object>) v;
    }

    @SuppressWarnings("unchecked")
    static List<Object> array(Object v) {
        return (List<Object>) v;
    }

    private int skip() {
        while (i < s.length() && " \t\r\n".indexOf(s.charAt(i)) >= 0) {
            i++;
        }
        return i;
    }

    private boolean eat(char c) {
        if (skip() < s.length() && s.charAt(i) == c) {
            i++;
            return true;
        }
        return false;
    }

    private void expect(char c) {
        if (!eat(c)) {
            throw new IllegalArgumentException("'" + c + "' expected at " + i + " in " + s);
        }
    }

    private Object value() {
        if (eat('{')) {
            Map<String, Object> m = new LinkedHashMap<>();
            while (!eat('}')) {
                if (!m.isEmpty()) {
                    expect(',');
                }
                skip();
                String k = string();
                expect(':');
                m.put(k, value());
            }
            return m;
        }
        if (eat('[')) {
            List<Object> l = new ArrayList<>();
            while (!eat(']')) {
                if (!l.isEmpty()) {
                    expect(',');
                }
                l.add(value());
            }
            return l;
        }
        for (String word : new String[] {"true", "false", "null"}) {
            if (s.startsWith(word, skip())) {
                i += word.length();
                return word.equals("null") ? null : Boolean.valueOf(word);
            }
        }
        if (s.charAt(i) == '"') {
            return string();
        }
        int start = i;
        while (i < s.length() && (Character.isDigit(s.charAt(i)) || s.charAt(i) == '-')) {
            i++;
        }
        return Long.parseLong(s.substring(start, i));
    }

    private String string() {
        expect('"');
        StringBuilder b = new StringBuilder();
        for (char c = s.charAt(i++); c != '"'; c = s.charAt(i++)) {
            if (c < 0x20) {
                throw new IllegalArgumentException("raw control character at " + i);
            }
            if (c == '\\') {
                c = s.charAt(i++);
                int at = "\"\\/bfnrt".indexOf(c);
                if (c == 'u') {
                    c = (char) Integer.parseInt(s.substring(i, i + 4), 16);
                    i += 4;
                } else {
                    c = "\"\\/\b\f\n\r\t".charAt(at);
                }
            }
            b.append(c);
        }
        return b.toString();
    }
}
