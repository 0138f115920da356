package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertTrue;

import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.Test;

/**
 * The store-JVM crash events end the process that armed them, at the
 * operation of their phase and no earlier: each case runs in a JVM of its
 * own with fault injection switched on.
 */
public class StoreJvmCrashTest {
    /** Exit status with which the stand-in ends a process whose crash event fired. */
    private static final int CRASH_EXIT = 86;

    private static String[] run(String phase, boolean instrumentation) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
            cmd.add("-Xcheck:jni");
        }
        cmd.add("-Dtessera.store.instrumentation=" + instrumentation);
        cmd.add("-Dtessera.store.native.dir=" + ChildJvm.required("tessera.test.libdir"));
        cmd.add("-cp");
        cmd.add(ChildJvm.jarOnlyClassPath());
        cmd.add(CrashProbe.class.getName());
        cmd.add(phase);
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out;
        try (InputStream in = p.getInputStream()) {
            out = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
        assertTrue("child JVM ended", p.waitFor(120, TimeUnit.SECONDS));
        System.out.print(out);
        return new String[] {Integer.toString(p.exitValue()), out};
    }

    private static void assertCrashedDuring(String phase) throws Exception {
        String[] r = run(phase, true);
        assertEquals(r[1], Integer.toString(CRASH_EXIT), r[0]);
        assertTrue(r[1], r[1].contains("phase " + phase + " begins"));
        assertFalse(r[1], r[1].contains("phase " + phase + " survived"));
    }

    @Test
    public void openEventEndsTheProcessDuringTheOpen() throws Exception {
        assertCrashedDuring("open");
    }

    @Test
    public void writeEventEndsTheProcessDuringTheWriteNotAtTheOpen() throws Exception {
        assertCrashedDuring("write");
    }

    @Test
    public void closeEventEndsTheProcessDuringTheClose() throws Exception {
        assertCrashedDuring("close");
    }

    @Test
    public void withoutInstrumentationTheEventIsNeverArmed() throws Exception {
        String[] r = run("write", false);
        assertEquals(r[1], "0", r[0]);
        assertTrue(r[1], r[1].contains("phase write survived"));
    }
}
