package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;

import java.util.Map;

import org.junit.Test;

/** Human units, table alignment and the JSON writer, at their edges. */
public class FormattingTest {

    @Test
    public void byteCountsInHumanUnits() {
        assertEquals("0 B", ByteUnits.format(0));
        assertEquals("1023 B", ByteUnits.format(1023));
        assertEquals("1.0 KiB", ByteUnits.format(1024));
        assertEquals("1.5 MiB", ByteUnits.format(3L << 19));
        assertEquals("1.0 GiB", ByteUnits.format(1L << 30));
        // Just below a unit rounds up into it rather than printing 1024.0 of the smaller one.
        assertEquals("1.0 GiB", ByteUnits.format((1L << 30) - 1));
        assertEquals("1023.9 MiB", ByteUnits.format((1L << 30) - (110L << 10)));
        assertEquals("8.0 EiB", ByteUnits.format(Long.MAX_VALUE));
        assertEquals("-2.0 KiB", ByteUnits.format(-2048));
        assertEquals("n/a", ByteUnits.rate(100, 0));
        assertEquals("2.0 KiB/s", ByteUnits.rate(1024, 500_000_000L));
    }

    @Test
    public void tablesAlignLeftAndRightWithoutTrailingBlanks() {
        String t = new TextTable("NAME", "SIZE", "NOTE").align(TextTable.Align.RIGHT, 1)
                .row("a", "1 B", null)
                .row("longer", "10.0 MiB", "x")
                .render();
        assertEquals("NAME        SIZE  NOTE\n"
                + "------  --------  ----\n"
                + "a            1 B  -\n"
                + "longer  10.0 MiB  x\n", t);
        assertThrows(IllegalArgumentException.class, () -> new TextTable("A", "B").row("only one"));
    }

    @Test
    public void jsonIsEscapedAndParsesBack() {
        String awkward = "q\"b\\s/\n\r\t\b\f\u0001\u001f\u2028 \uD834\uDD1E é";
        String doc = new JsonWriter().beginObject()
                .member("text", awkward)
                .member("none", (String) null)
                .name("big").rawNumber("18446744073709551615")
                .name("empty").beginArray().endArray()
                .name("nested").beginArray().value(1).value(true).beginObject().endObject().endArray()
                .endObject().toJson();
        String withoutBig = doc.replace("18446744073709551615", "0");
        Map<String, Object> m = MiniJson.object(MiniJson.parse(withoutBig));
        assertEquals(awkward, m.get("text"));
        assertEquals(null, m.get("none"));
        assertEquals(java.util.List.of(), m.get("empty"));
        assertEquals(java.util.List.of(1L, true, Map.of()), m.get("nested"));
        assertEquals(JsonWriter.quoted("a\"b"), "\"a\\\"b\"");
    }

    @Test
    public void jsonWriterRefusesMalformedDocuments() {
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginObject().value(1));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginArray().name("x"));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginArray().endObject());
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginObject().toJson());
        assertThrows(IllegalStateException.class, () -> new JsonWriter().value(1).value(2));
        assertThrows(IllegalArgumentException.class, () -> new JsonWriter().rawNumber("1e5"));
    }
}
