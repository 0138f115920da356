package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import org.junit.Test;

import tessera.store.io.file.NativeLoadingTest.ChildJvm;

/**
 * The store-JVM crash events end the process that armed them, at the
 * operation of their phase and no earlier; without instrumentation never.
 */
public class StoreJvmCrashTest {
    /** Exit status with which the stand-in ends a process whose crash event fired. */
    private static final int CRASH_EXIT = 86;

    private static ChildJvm run(String phase, boolean instrumentation) throws Exception {
        return ChildJvm.run(phase, ChildJvm.required("tessera.test.classpath"),
                "-Dtessera.store.instrumentation=" + instrumentation,
                "-Dtessera.store.native.dir=" + ChildJvm.required("tessera.test.libdir"));
    }

    @Test
    public void eachEventEndsTheProcessDuringItsOwnPhase() throws Exception {
        for (String phase : new String[] {"open", "write", "close"}) {
            ChildJvm r = run(phase, true);
            assertEquals(r.out(), CRASH_EXIT, r.exit());
            assertTrue(r.out(), r.out().contains("phase " + phase + " begins"));
            assertEquals(r.out(), !phase.equals("open"), r.out().contains("opened"));
        }
        ChildJvm r = run("write", false);
        assertEquals(r.out(), 0, r.exit());
        assertTrue(r.out(), r.out().contains("phase write survived"));
    }
}
