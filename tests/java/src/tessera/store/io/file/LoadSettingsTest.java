package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;
import static org.junit.Assume.assumeTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

import org.junit.After;
import org.junit.Before;
import org.junit.Test;

import tessera.store.io.file.direct.NativeCallbacks;
import tessera.store.io.file.direct.ReplicatedIONative;

/**
 * The settings the bridge reads once, at load: the two log channels, the
 * client trace level and fault injection. The build runs this class in one
 * JVM per combination; -Dtessera.test.expect lists what the load must have
 * switched on ("debug", "verbose", "instr", "traceN"; "nocallbacks" when
 * NativeCallbacks is missing from the class path).
 */
public class LoadSettingsTest {
    private static final List<String> EXPECT = Arrays.asList(
            System.getProperty("tessera.test.expect", "trace0").split(","));
    private static final String PREFIX = "[a-z_]+(\\.[a-z]+)?:\\d+: .*";

    @Before
    public void fresh() {
        StandIn.reset();
        StandIn.journal(true);
    }

    @After
    public void clear() {
        for (String k : new String[] {"tessera.junit.mb_read_fenceErrorTest", "tessera.test.alpha",
            "tessera.store.replicated.alpha.nativelib.tracelevel"}) {
            System.clearProperty(k);
        }
        StandIn.reset();
    }

    private static long open(String name, int handle, String... more) {
        String[] keys = new String[more.length / 2 + 1];
        String[] values = new String[keys.length];
        keys[0] = "CandidateHandle";
        values[0] = Integer.toString(handle);
        for (int i = 0; i < more.length; i += 2) {
            keys[i / 2 + 1] = more[i];
            values[i / 2 + 1] = more[i + 1];
        }
        assertEquals(handle, ReplicatedIONative.open(name, "rw", keys, values));
        return handle;
    }

    /** One open, write, read (with a fault flag set) and close; true when the read failed. */
    private static boolean roundTrip() {
        long h = open("settings", 7);
        ByteBuffer b = ByteBuffer.allocateDirect(512);
        assertEquals(512, ReplicatedIONative.write(h, 0, b, 0, 512));
        System.setProperty("tessera.junit.mb_read_fenceErrorTest", "true");
        boolean failed = false;
        try {
            ReplicatedIONative.read(h, 0, b, 0, 512);
        } catch (Exception e) {
            failed = true;
        }
        ReplicatedIONative.close(h);
        // an error path that logs after raising keeps its own exception
        Exception e = assertThrows(Exception.class, () -> ReplicatedIONative.read(h, 0, b, 0, 512));
        assertTrue(e.toString(), e instanceof IOException && e.getMessage().contains("is not open"));
        return failed;
    }

    private static String traceLevel() {
        return EXPECT.stream().filter(x -> x.startsWith("trace")).findFirst().orElseThrow().substring(5);
    }

    @Test
    public void settingsReadAtLoadTakeEffectAndLaterChangesDoNot() {
        for (String[] p : new String[][] {{"tessera.debug.DebugStoreIOPhysical", "debug"},
            {"tessera.debug.DebugStoreIOPhysicalVerbose", "verbose"}, {"tessera.store.instrumentation", "instr"}}) {
            System.setProperty(p[0], EXPECT.contains(p[1]) ? "false" : "true");
        }
        System.setProperty("tessera.store.replicated.nativelib.tracelevel", "4");
        Recorder rec = EXPECT.contains("nocallbacks") ? null : Recorder.install();
        try {
            assertEquals("fault injection", EXPECT.contains("instr"), roundTrip());
        } finally {
            if (rec != null) {
                NativeCallbacks.setSink(null);
            }
        }
        String init = StandIn.take("mb_init").get(0);
        String trace = traceLevel();
        assertTrue(init, init.startsWith("mb_init trace_level=" + trace + " "));
        if (rec != null) {
            assertEquals("debug lines", EXPECT.contains("debug"), !rec.debug.isEmpty());
            assertEquals("verbose lines", EXPECT.contains("verbose"), !rec.verbose.isEmpty());
            rec.debug.forEach(l -> assertTrue(l, l.matches(PREFIX)));
            // the client library's own lines come on the verbose channel, as it wrote them
            assertEquals(EXPECT.contains("verbose") && !trace.equals("0"),
                    rec.verbose.stream().anyMatch(l -> l.startsWith("mb_openstore name=settings")));
            assertEquals(EXPECT.contains("verbose"), rec.verbose.stream().anyMatch(l -> l.matches(PREFIX)));
        }
    }

    @Test
    public void aStoreMayHaveATraceLevelOfItsOwn() {
        assumeTrue(EXPECT.contains("debug") || EXPECT.contains("verbose"));
        String key = "tessera.store.replicated.alpha.nativelib.tracelevel";
        for (String[] c : new String[][] {{"2", "2"}, {"9", "5"}, {"-1", null}}) {
            System.setProperty(key, c[0]);
            ReplicatedIONative.close(open("alpha", 8, "StoreConfigName", "alpha"));
            String init = StandIn.take("mb_init").get(0);
            String want = c[1] != null ? c[1] : traceLevel();
            assertTrue(init, init.startsWith("mb_init trace_level=" + want + " "));
        }
    }

    @Test
    public void aThrowingSinkNeverReplacesTheBridgesOutcome() {
        assumeTrue(EXPECT.contains("debug") || EXPECT.contains("verbose"));
        NativeCallbacks.setSink((channel, line) -> {
            throw new IllegalStateException("sink throws");
        });
        try {
            assertFalse(roundTrip() && !EXPECT.contains("instr"));
        } finally {
            NativeCallbacks.setSink(null);
        }
    }

    @Test
    public void eachChannelReachesItsLogger() {
        assumeTrue(EXPECT.contains("debug") && EXPECT.contains("verbose"));
        List<String> debug = new ArrayList<>();
        List<String> verbose = new ArrayList<>();
        Logger d = Recorder.logger(NativeCallbacks.DEBUG_LOGGER, debug);
        Logger v = Recorder.logger(NativeCallbacks.VERBOSE_LOGGER, verbose);
        d.setLevel(Level.OFF);
        roundTrip();
        assertTrue("a logger switched off drops its channel", debug.isEmpty());
        assertFalse(verbose.isEmpty());
        verbose.forEach(l -> assertTrue(l, l.matches(PREFIX) || l.startsWith("mb_")));
        d.setLevel(Level.INFO);
        roundTrip();
        assertFalse(debug.isEmpty());
        debug.forEach(l -> assertTrue(l, l.matches(PREFIX)));
    }

    /** Records what the bridge delivers (touches NativeCallbacks only when used). */
    static final class Recorder {
        final List<String> debug = new ArrayList<>();
        final List<String> verbose = new ArrayList<>();

        static Recorder install() {
            Recorder r = new Recorder();
            NativeCallbacks.setSink((channel, line) -> (NativeCallbacks.DEBUG.equals(channel) ? r.debug : r.verbose)
                    .add(line));
            return r;
        }

        static Logger logger(String name, List<String> into) {
            Logger l = Logger.getLogger(name);
            l.setUseParentHandlers(false);
            l.addHandler(new Handler() {
                @Override
                public void publish(LogRecord r) {
                    if (l.isLoggable(r.getLevel())) {
                        into.add(r.getMessage());
                    }
                }

                @Override
                public void flush() {
                }

                @Override
                public void close() {
                }
            });
            return l;
        }
    }
}
