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
import java.util.logging.Level;
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
    private static final boolean LOGGING = EXPECT.contains("debug") || EXPECT.contains("verbose");
    private static final String PREFIX = "[a-z_]+(\\.[a-z]+)?:\\d+: .*";
    private final List<String> debug = new ArrayList<>();
    private final List<String> verbose = new ArrayList<>();

    @Before
    public void fresh() {
        StandIn.reset();
        StandIn.journal(true);
    }

    @After
    public void clear() {
        if (!EXPECT.contains("nocallbacks")) {
            NativeCallbacks.setSink(null);
        }
        StandIn.clean();
    }

    /** Open, write, read with a fault flag set, close; answers whether the read failed. */
    private static boolean roundTrip(String... config) {
        String[][] c = BridgeIoTest.config(7, config);
        assertEquals(7, ReplicatedIONative.open("settings", "rw", c[0], c[1]));
        ByteBuffer b = ByteBuffer.allocateDirect(512);
        assertEquals(512, ReplicatedIONative.write(7, 0, b, 0, 512));
        StandIn.flag("tessera.junit.mb_read_fenceErrorTest");
        boolean failed = false;
        try {
            ReplicatedIONative.read(7, 0, b, 0, 512);
        } catch (Exception e) {
            failed = true;
        }
        ReplicatedIONative.close(7);
        // an error path that logs after raising keeps its own exception
        Exception e = assertThrows(Exception.class, () -> ReplicatedIONative.read(7, 0, b, 0, 512));
        assertTrue(e.toString(), e instanceof IOException && e.getMessage().contains("is not open"));
        return failed;
    }

    private static String traceLevel() {
        return EXPECT.stream().filter(x -> x.startsWith("trace")).findFirst().orElseThrow().substring(5);
    }

    private void record() {
        NativeCallbacks.setSink((channel, line) -> (NativeCallbacks.DEBUG.equals(channel) ? debug : verbose)
                .add(line));
    }

    @Test
    public void settingsReadAtLoadTakeEffectAndLaterChangesDoNot() {
        for (String[] p : new String[][] {{"tessera.debug.DebugStoreIOPhysical", "debug"},
            {"tessera.debug.DebugStoreIOPhysicalVerbose", "verbose"}, {"tessera.store.instrumentation", "instr"}}) {
            System.setProperty(p[0], EXPECT.contains(p[1]) ? "false" : "true");
        }
        System.setProperty("tessera.store.replicated.nativelib.tracelevel", "4");
        if (!EXPECT.contains("nocallbacks")) {
            record();
        }
        assertEquals("fault injection", EXPECT.contains("instr"), roundTrip());
        String init = StandIn.take("mb_init").get(0);
        assertTrue(init, init.startsWith("mb_init trace_level=" + traceLevel() + " "));
        ReplicatedStoreAdmin admin = new ReplicatedStoreAdmin(); // its client lines go to standard output
        assertEquals(1, admin.attach("", 0));
        admin.detach();
        if (!EXPECT.contains("nocallbacks")) {
            assertEquals("debug lines", EXPECT.contains("debug"), !debug.isEmpty());
            assertEquals("verbose lines", EXPECT.contains("verbose"), !verbose.isEmpty());
            debug.forEach(l -> assertTrue(l, l.matches(PREFIX)));
            // the client library's own lines come on the verbose channel, as it wrote them
            assertEquals(EXPECT.contains("verbose") && !traceLevel().equals("0"),
                    verbose.stream().anyMatch(l -> l.startsWith("mb_openstore name=settings")));
            assertEquals(EXPECT.contains("verbose"), verbose.stream().anyMatch(l -> l.matches(PREFIX)));
        }
    }

    @Test
    public void aStoreMayHaveATraceLevelOfItsOwn() {
        assumeTrue(LOGGING);
        for (String[] c : new String[][] {{"2", "2"}, {"9", "5"}, {"-1", traceLevel()}}) {
            System.setProperty("tessera.store.replicated.alpha.nativelib.tracelevel", c[0]);
            roundTrip("StoreConfigName", "alpha");
            String init = StandIn.take("mb_init").get(0);
            assertTrue(init, init.startsWith("mb_init trace_level=" + c[1] + " "));
        }
    }

    @Test
    public void aThrowingSinkNeverReplacesTheBridgesOutcome() {
        assumeTrue(LOGGING);
        NativeCallbacks.setSink((channel, line) -> {
            throw new IllegalStateException("sink throws");
        });
        assertEquals(EXPECT.contains("instr"), roundTrip());
    }

    @Test
    public void eachChannelReachesItsLogger() {
        assumeTrue(EXPECT.contains("debug") && EXPECT.contains("verbose"));
        Logger d = logger(NativeCallbacks.DEBUG_LOGGER, debug);
        Logger v = logger(NativeCallbacks.VERBOSE_LOGGER, verbose);
        d.setLevel(Level.OFF);
        roundTrip();
        assertTrue("a logger switched off drops its channel", debug.isEmpty());
        assertFalse(verbose.isEmpty());
        d.setLevel(Level.INFO);
        roundTrip();
        assertFalse(debug.isEmpty());
        debug.forEach(l -> assertTrue(l, l.matches(PREFIX)));
        assertTrue(v.getName(), verbose.stream().allMatch(l -> l.matches(PREFIX) || l.startsWith("mb_")));
    }

    /** The logger of a channel, recording what passes its level instead of publishing it. */
    private static Logger logger(String name, List<String> into) {
        Logger l = Logger.getLogger(name);
        l.setFilter(r -> !into.add(r.getMessage()));
        return l;
    }
}
