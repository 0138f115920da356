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
        p.check(p.skip() == text.length(), "end of text");
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

    private void check(boolean ok, String what) {
        if (!ok) {
            throw new IllegalArgumentException(what + " expected at " + i + " in " + s);
        }
    }

    private int skip() {
        while (i < s.length() && " \t\r\n".indexOf(s.charAt(i)) >= 0) {
            i++;
        }
        return i;
    }

    private boolean eat(char c) {
        boolean found = skip() < s.length() && s.charAt(i) == c;
        i += found ? 1 : 0;
        return found;
    }

    private Object value() {
        if (eat('{') || eat('[')) {
            boolean object = s.charAt(i - 1) == '{';
            Map<String, Object> m = new LinkedHashMap<>();
            List<Object> l = new ArrayList<>();
            while (!eat(object ? '}' : ']')) {
                check(m.isEmpty() && l.isEmpty() || eat(','), "','");
                if (object) {
                    String k = string();
                    check(eat(':'), "':'");
                    m.put(k, value());
                } else {
                    l.add(value());
                }
            }
            return object ? m : l;
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
        check(eat('"'), "'\"'");
        StringBuilder b = new StringBuilder();
        for (char c = s.charAt(i++); c != '"'; c = s.charAt(i++)) {
            check(c >= 0x20, "no raw control character");
            if (c == '\\') {
                c = s.charAt(i++);
                if (c == 'u') {
                    c = (char) Integer.parseInt(s.substring(i, i + 4), 16);
                    i += 4;
                } else {
                    c = "\"\\/\b\f\n\r\t".charAt("\"\\/bfnrt".indexOf(c));
                }
            }
            b.append(c);
        }
        return b.toString();
    }
}
