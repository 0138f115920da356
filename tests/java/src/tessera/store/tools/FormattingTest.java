package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;

import java.util.List;
import java.util.Map;

import org.junit.Test;

/** Human units, table alignment and the JSON writer, at their edges. */
public class FormattingTest {
    @Test
    public void unitsAndTables() {
        assertEquals(List.of("0 B", "1023 B", "1.0 KiB", "1.0 GiB", "1023.9 MiB", "8.0 EiB", "-2.0 KiB"),
                List.of(ByteUnits.format(0), ByteUnits.format(1023), ByteUnits.format(1024),
                        ByteUnits.format((1L << 30) - 1), ByteUnits.format((1L << 30) - (110L << 10)),
                        ByteUnits.format(Long.MAX_VALUE), ByteUnits.format(-2048)));
        assertEquals(List.of("n/a", "2.0 KiB/s"), List.of(ByteUnits.rate(100, 0), ByteUnits.rate(1024, 500_000_000L)));
        assertEquals("NAME        SIZE  NOTE\n------  --------  ----\na            1 B  -\nlonger  10.0 MiB  x\n",
                new TextTable("NAME", "SIZE", "NOTE").align(TextTable.Align.RIGHT, 1).row("a", "1 B", null)
                        .row("longer", "10.0 MiB", "x").render());
        assertThrows(IllegalArgumentException.class, () -> new TextTable("A", "B").row("only one"));
    }

    @Test
    public void jsonIsEscapedParsesBackAndRefusesMalformedDocuments() {
        String awkward = "q\"b\\s/\n\r\t\b\f\u0001\u001f\u2028 \uD834\uDD1E \u00e9";
        String doc = new JsonWriter().beginObject().member("text", awkward).member("none", (String) null)
                .name("big").rawNumber("18446744073709551615").name("nested").beginArray().value(1).value(true)
                .beginObject().endObject().beginArray().endArray().endArray().endObject().toJson();
        Map<String, Object> m = MiniJson.object(MiniJson.parse(doc.replace("18446744073709551615", "0")));
        assertEquals(awkward, m.get("text"));
        assertEquals(null, m.get("none"));
        assertEquals(List.of(1L, true, Map.of(), List.of()), m.get("nested"));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginObject().value(1));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginArray().name("x"));
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginArray().endObject());
        assertThrows(IllegalStateException.class, () -> new JsonWriter().beginObject().toJson());
        assertThrows(IllegalStateException.class, () -> new JsonWriter().value(1).value(2));
        assertThrows(IllegalArgumentException.class, () -> new JsonWriter().rawNumber("1e5"));
    }
}
