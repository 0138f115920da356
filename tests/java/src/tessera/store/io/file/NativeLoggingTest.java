package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.Rule;
import org.junit.Test;
import org.junit.rules.TemporaryFolder;

import tessera.store.io.file.direct.NativeCallbacks;

/**
 * The bridge's two diagnostic channels as a user switches them: the system
 * properties make the bridge produce lines, and the loggers named in
 * {@link NativeCallbacks} decide whether they are shown. Each case runs in a
 * JVM of its own, because the bridge reads its switches when it is loaded.
 */
public class NativeLoggingTest {
    @Rule
    public TemporaryFolder tmp = new TemporaryFolder();

    // a debug-channel line and a verbose-channel line of every open
    private static final String DEBUG_LINE = "Configuration key=CandidateHandle";
    private static final String VERBOSE_LINE = "open_replicated_internal begin";

    private ChildJvm run(String... options) throws Exception {
        ChildJvm r = ChildJvm.probe(tmp.getRoot().toPath(), ChildJvm.jarOnlyClassPath(), options);
        assertEquals(r.out, 0, r.exit);
        assertEquals("ok", r.value("roundtrip"));
        return r;
    }

    @Test
    public void silentUnlessAChannelIsSwitchedOn() throws Exception {
        ChildJvm r = run();
        assertFalse(r.out, r.out.contains(DEBUG_LINE));
        assertFalse(r.out, r.out.contains(VERBOSE_LINE));
    }

    @Test
    public void switchedOnChannelsReachTheirLoggers() throws Exception {
        ChildJvm r = run("-Dtessera.debug.DebugStoreIOPhysical=true",
                "-Dtessera.debug.DebugStoreIOPhysicalVerbose=true");
        assertTrue(r.out, r.out.contains(DEBUG_LINE));
        assertTrue(r.out, r.out.contains(VERBOSE_LINE));
    }

    @Test
    public void aLoggerLevelTurnsOneChannelOff() throws Exception {
        Path config = tmp.newFile("logging.properties").toPath();
        Files.writeString(config, String.join("\n",
                "handlers = java.util.logging.ConsoleHandler",
                "java.util.logging.ConsoleHandler.level = ALL",
                NativeCallbacks.DEBUG_LOGGER + ".level = OFF",
                NativeCallbacks.VERBOSE_LOGGER + ".level = INFO", ""));
        ChildJvm r = run("-Dtessera.debug.DebugStoreIOPhysical=true",
                "-Dtessera.debug.DebugStoreIOPhysicalVerbose=true",
                "-Djava.util.logging.config.file=" + config);
        assertFalse("debug lines are dropped, not sent to standard error: " + r.out, r.out.contains(DEBUG_LINE));
        assertTrue(r.out, r.out.contains(VERBOSE_LINE));
    }
}
