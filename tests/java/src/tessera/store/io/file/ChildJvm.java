package tessera.store.io.file;

import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;

import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** Runs {@link LoadProbe} in a JVM of its own and keeps what it printed. */
final class ChildJvm {
    final int exit;
    final String out;

    private ChildJvm(int exit, String out) {
        this.exit = exit;
        this.out = out;
    }

    /** The value of the first line {@code key=value}, or null. */
    String value(String key) {
        for (String line : out.split("\n")) {
            if (line.startsWith(key + "=")) {
                return line.substring(key.length() + 1);
            }
        }
        return null;
    }

    /** A system property that the build's test registration sets. */
    static String required(String property) {
        String v = System.getProperty(property);
        assertNotNull("system property " + property + " (set by the build's test registration)", v);
        return v;
    }

    /** The test classes and the product jar, nothing else. */
    static String jarOnlyClassPath() {
        return testJar() + ":" + required("tessera.test.jar");
    }

    /** The jar (or directory) holding the test classes. */
    static Path testJar() {
        return Paths.get(LoadProbe.class.getProtectionDomain().getCodeSource().getLocation().getPath());
    }

    /**
     * Runs the probe with {@code java.io.tmpdir} set to {@code tmpDir}, the
     * given class path and extra JVM options; standard error is merged into
     * the output, which is also copied to this JVM's output.
     */
    static ChildJvm probe(Path tmpDir, String classPath, String... options) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        // the JNI checks of this JVM apply to the child too
        if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
            cmd.add("-Xcheck:jni");
        }
        cmd.add("-Djava.io.tmpdir=" + tmpDir);
        cmd.addAll(Arrays.asList(options));
        cmd.add("-cp");
        cmd.add(classPath);
        cmd.add(LoadProbe.class.getName());
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out;
        try (InputStream in = p.getInputStream()) {
            out = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
        assertTrue("child JVM ended", p.waitFor(120, TimeUnit.SECONDS));
        // passed on, so that the run with JNI checks sees the child's warnings
        System.out.print(out);
        return new ChildJvm(p.exitValue(), out);
    }
}
