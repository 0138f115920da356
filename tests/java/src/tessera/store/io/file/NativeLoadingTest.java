package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;

import java.io.File;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;
import java.util.zip.ZipOutputStream;

import org.junit.Rule;
import org.junit.Test;
import org.junit.rules.TemporaryFolder;

/** Loading the native libraries, each case in a JVM of its own. */
public class NativeLoadingTest {
    @Rule
    public TemporaryFolder tmp = new TemporaryFolder();

    private final Path libDir = Paths.get(ChildJvm.required("tessera.test.libdir"));
    private final String testClasses = ChildJvm.class.getProtectionDomain().getCodeSource().getLocation().getPath();
    private final String jarOnly = testClasses + File.pathSeparator + ChildJvm.required("tessera.test.jar");

    private ChildJvm probe(Path tmpDir, String classPath, String... options) throws Exception {
        String[] all = new String[options.length + 1];
        all[0] = "-Djava.io.tmpdir=" + tmpDir;
        System.arraycopy(options, 0, all, 1, options.length);
        return ChildJvm.run("roundtrip", classPath, all);
    }

    private static void assertLoaded(ChildJvm r, String source) {
        assertTrue(r.out(), r.exit() == 0 && r.out().contains("phase roundtrip survived"));
        assertEquals(source, r.value("source"));
    }

    @Test
    public void fromTheJarADirectoryOrTheLibraryPath() throws Exception {
        Path fresh = tmp.newFolder("fresh").toPath();
        ChildJvm jar = probe(fresh, jarOnly);
        Path dir = Paths.get(jar.value("dir"));
        assertLoaded(jar, dir.resolve(NativeLibrary.BRIDGE_FILE).toString());
        assertEquals("extracted below java.io.tmpdir", fresh.toRealPath(), dir.getParent().toRealPath());
        assertEquals("libmirrorbank1.so,libtessera_replicatedio.so", jar.value("files"));
        assertEquals("the extraction directory is removed at exit", 0, fresh.toFile().list().length);

        Path unused = tmp.newFolder("unused").toPath();
        assertLoaded(probe(unused, jarOnly, "-D" + NativeLibrary.DIR_PROPERTY + "=" + libDir),
                libDir.resolve(NativeLibrary.BRIDGE_FILE).toAbsolutePath().toString());
        assertLoaded(probe(unused, jarOnly, "-D" + NativeLibrary.LIBRARY_PATH_PROPERTY + "=true",
                "-Djava.library.path=" + libDir), "java.library.path");
        assertEquals("nothing extracted", 0, unused.toFile().list().length);
    }

    @Test
    public void failuresSayWhichFileFromWhereAndWhy() throws Exception {
        Path root = tmp.getRoot().toPath();
        Path site = tmp.newFolder("site").toPath();
        Files.copy(libDir.resolve(NativeLibrary.BRIDGE_FILE), site.resolve(NativeLibrary.BRIDGE_FILE));
        Path empty = tmp.newFolder("empty").toPath();
        Path bad = tmp.newFolder("bad").toPath();
        Files.writeString(bad.resolve(NativeLibrary.BRIDGE_FILE), "not a shared object\n".repeat(200));
        String dir = "-D" + NativeLibrary.DIR_PROPERTY + "=";
        String[][] cases = {
            {dir + site, site.resolve(NativeLibrary.BRIDGE_FILE).toString(), NativeLibrary.CLIENT_FILE},
            {dir + empty, NativeLibrary.BRIDGE_FILE, empty.toString(), "no such file", NativeLibrary.DIR_PROPERTY},
            {dir + bad, bad.resolve(NativeLibrary.BRIDGE_FILE).toString(), "ELF"},
            {"-Djava.library.path=" + empty, "java.library.path", empty.toString()},
        };
        for (String[] c : cases) {
            ChildJvm r = c[0].startsWith("-Djava.library.path")
                    ? probe(root, jarOnly, "-D" + NativeLibrary.LIBRARY_PATH_PROPERTY + "=true", c[0])
                    : probe(root, jarOnly, c[0]);
            assertEquals(r.out(), 3, r.exit());
            for (int i = 1; i < c.length; i++) {
                assertTrue(r.value("failure") + " should name " + c[i], r.value("failure").contains(c[i]));
            }
        }
        // once the site puts its client library beside the bridge, it loads
        Files.copy(libDir.resolve(NativeLibrary.CLIENT_FILE), site.resolve(NativeLibrary.CLIENT_FILE));
        assertEquals(0, probe(root, jarOnly, dir + site).exit());

        Path stripped = root.resolve("stripped.jar");
        try (ZipInputStream in = new ZipInputStream(Files.newInputStream(Paths.get(ChildJvm.required(
                "tessera.test.jar")))); ZipOutputStream out = new ZipOutputStream(Files.newOutputStream(stripped))) {
            for (ZipEntry e = in.getNextEntry(); e != null; e = in.getNextEntry()) {
                if (!e.getName().startsWith("native/")) {
                    out.putNextEntry(new ZipEntry(e.getName()));
                    in.transferTo(out);
                }
            }
        }
        Path fresh = tmp.newFolder("fresh-stripped").toPath();
        ChildJvm noRes = probe(fresh, testClasses + File.pathSeparator + stripped);
        assertTrue(noRes.out(), noRes.exit() == 3 && noRes.value("failure").contains("native/linux-x86_64/"));
        assertEquals("no half-extracted directory stays behind", 0, fresh.toFile().list().length);
    }

    @Test
    public void extractionDirectoriesOfDeadProcessesAreRemovedAtTheNextLoad() throws Exception {
        Process gone = new ProcessBuilder("true").start();
        assertEquals(0, gone.waitFor());
        Path fresh = tmp.newFolder("tmpdir").toPath();
        Path dead = Files.createDirectory(fresh.resolve("tessera-store-native-" + gone.pid() + "-123"));
        Path live = Files.createDirectory(fresh.resolve("tessera-store-native-" + ProcessHandle.current().pid()
                + "-456"));
        for (Path d : new Path[] {dead, live}) {
            Files.writeString(d.resolve(NativeLibrary.BRIDGE_FILE), "left behind");
            Files.writeString(d.resolve(NativeLibrary.CLIENT_FILE), "left behind");
        }
        ChildJvm r = probe(fresh, jarOnly);
        assertEquals(r.out(), 0, r.exit());
        assertTrue(r.out(), r.out().contains("phase roundtrip survived"));
        assertTrue("named with its process id: " + r.value("dir"),
                r.value("dir").matches(".*/tessera-store-native-\\d+-\\d+"));
        assertFalse("the dead process's directory is gone", Files.exists(dead));
        assertTrue("a live process's directory stays", Files.exists(live.resolve(NativeLibrary.BRIDGE_FILE)));
    }

    /**
     * A JVM of its own running {@link #main}: it loads the native libraries as
     * its system properties say, prints "source=", "dir=" and "files=", then
     * runs the phase named by its argument ("roundtrip", or "open", "write" or
     * "close" with that phase's store-JVM crash event switched on) and prints
     * "survived". A loading failure prints "failure=" and exits 3.
     */
    public record ChildJvm(int exit, String out) {
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
}
