package tessera.store.io.file;

import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;

import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;

/**
 * A JVM of its own running {@link #main}: it loads the native libraries as
 * its system properties say, prints "source=", "dir=" and "files=", then
 * runs the phase named by its argument ("roundtrip", or "open", "write" or
 * "close" with that phase's store-JVM crash event switched on) and prints
 * "survived". A loading failure prints "failure=" and exits 3.
 */
final class ChildJvm {
    final int exit;
    final String out;

    private ChildJvm(int exit, String out) {
        this.exit = exit;
        this.out = out;
    }

    /** The value of the first line {@code key=value}, or null. */
    String value(String key) {
        return out.lines().filter(l -> l.startsWith(key + "=")).map(l -> l.substring(key.length() + 1))
                .findFirst().orElse(null);
    }

    static String required(String property) {
        String v = System.getProperty(property);
        assertNotNull("system property " + property + " (set by the build's test registration)", v);
        return v;
    }

    /** Runs {@code phase} with the class path and JVM options given; output merged and echoed. */
    static ChildJvm run(String phase, String classPath, String... options) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(Paths.get(System.getProperty("java.home"), "bin", "java")
                .toString()));
        if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
            cmd.add("-Xcheck:jni");
        }
        cmd.addAll(Arrays.asList(options));
        cmd.addAll(List.of("-cp", classPath, ChildJvm.class.getName(), phase));
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out;
        try (InputStream in = p.getInputStream()) {
            out = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
        assertTrue("child JVM ended", p.waitFor(120, TimeUnit.SECONDS));
        System.out.print(out); // so that the run with JNI checks sees the child's warnings
        return new ChildJvm(p.exitValue(), out);
    }

    public static void main(String[] args) throws Exception {
        try {
            NativeLibrary.load();
        } catch (UnsatisfiedLinkError e) {
            System.out.println("failure=" + e.getMessage());
            System.exit(3);
        }
        System.out.println("source=" + NativeLibrary.source());
        Path dir = NativeLibrary.directory();
        System.out.println("dir=" + dir);
        if (dir != null) {
            System.out.println("files=" + String.join(",", new TreeSet<>(Arrays.asList(dir.toFile().list()))));
        }
        String phase = args[0];
        String key = "tessera.qatest.crash_storejvm_during_" + Map.of("open", "openstore", "close", "closestore")
                .getOrDefault(phase, phase) + "Test";
        System.setProperty(key, Boolean.toString(phase.equals("open")));
        System.out.println("phase " + phase + " begins");
        ReplicatedFileChannel ch = ReplicatedFileChannel.builder("probe").regionSize(65536).open();
        System.out.println("opened");
        System.setProperty(key, "true");
        ch.write(ByteBuffer.wrap(new byte[] {1, 2, 3}), 10);
        ByteBuffer b = ByteBuffer.allocate(13);
        if (ch.read(b, 0) != 13 || b.get(12) != 3) {
            System.exit(4);
        }
        ch.close();
        System.out.println("phase " + phase + " survived");
    }
}
