package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;
import java.util.zip.ZipOutputStream;

import org.junit.Before;
import org.junit.Rule;
import org.junit.Test;
import org.junit.rules.TemporaryFolder;

/**
 * Loading the native libraries, each case in a JVM of its own: from the jar
 * into a fresh directory, from a directory named by a property, from
 * java.library.path, and the failure texts.
 */
public class NativeLoadingTest {
    @Rule
    public TemporaryFolder tmp = new TemporaryFolder();

    private Path productJar;
    private Path testJar;
    private Path libDir;

    @Before
    public void setUp() {
        productJar = Paths.get(ChildJvm.required("tessera.test.jar"));
        libDir = Paths.get(ChildJvm.required("tessera.test.libdir"));
        testJar = ChildJvm.testJar();
    }

    private static ChildJvm probe(Path tmpDir, String classPath, String... options) throws Exception {
        return ChildJvm.probe(tmpDir, classPath, options);
    }

    private static String jarOnly() {
        return ChildJvm.jarOnlyClassPath();
    }

    private static List<String> list(Path dir) throws IOException {
        try (Stream<Path> s = Files.list(dir)) {
            List<String> names = new ArrayList<>();
            s.forEach(p -> names.add(p.getFileName().toString()));
            return names;
        }
    }

    @Test
    public void fromTheJarIntoAFreshPrivateDirectory() throws Exception {
        Path fresh = tmp.newFolder("fresh").toPath();
        ChildJvm r = probe(fresh, jarOnly());
        assertEquals(r.out, 0, r.exit);
        Path dir = Paths.get(r.value("dir"));
        assertEquals("extracted below java.io.tmpdir", fresh.toRealPath(), dir.getParent().toRealPath());
        assertEquals("libmirrorbank1.so,libtessera_replicatedio.so", r.value("files"));
        assertEquals(dir.resolve(NativeLibrary.BRIDGE_FILE).toString(), r.value("source"));
        assertEquals("ok", r.value("roundtrip"));
        assertEquals("the extraction directory is removed at exit", List.of(), list(fresh));
    }

    @Test
    public void fromADirectoryNamedByProperty() throws Exception {
        Path fresh = tmp.newFolder("unused").toPath();
        ChildJvm r = probe(fresh, jarOnly(), "-D" + NativeLibrary.DIR_PROPERTY + "=" + libDir);
        assertEquals(r.out, 0, r.exit);
        assertEquals(libDir.toAbsolutePath().toString(), r.value("dir"));
        assertEquals(libDir.resolve(NativeLibrary.BRIDGE_FILE).toAbsolutePath().toString(), r.value("source"));
        assertEquals("ok", r.value("roundtrip"));
        assertEquals("nothing extracted", List.of(), list(fresh));
    }

    @Test
    public void fromTheLibraryPath() throws Exception {
        Path fresh = tmp.newFolder("unused").toPath();
        ChildJvm r = probe(fresh, jarOnly(), "-D" + NativeLibrary.LIBRARY_PATH_PROPERTY + "=true",
                "-Djava.library.path=" + libDir);
        assertEquals(r.out, 0, r.exit);
        assertEquals("java.library.path", r.value("source"));
        assertEquals("ok", r.value("roundtrip"));
        assertEquals(List.of(), list(fresh));
    }

    @Test
    public void aDirectoryWithoutTheClientLibrarySaysSoUntilItIsThere() throws Exception {
        // a directory with the bridge and no client library: the failure names what is missing
        Path site = tmp.newFolder("site").toPath();
        Files.copy(libDir.resolve(NativeLibrary.BRIDGE_FILE), site.resolve(NativeLibrary.BRIDGE_FILE));
        ChildJvm r = probe(tmp.getRoot().toPath(), jarOnly(), "-D" + NativeLibrary.DIR_PROPERTY + "=" + site);
        assertEquals(r.out, 3, r.exit);
        String failure = r.value("failure");
        assertTrue(failure, failure.contains(site.resolve(NativeLibrary.BRIDGE_FILE).toString()));
        assertTrue(failure, failure.contains(NativeLibrary.CLIENT_FILE));
        // once the site puts its client library there, it loads
        Files.copy(libDir.resolve(NativeLibrary.CLIENT_FILE), site.resolve(NativeLibrary.CLIENT_FILE));
        ChildJvm ok = probe(tmp.getRoot().toPath(), jarOnly(), "-D" + NativeLibrary.DIR_PROPERTY + "=" + site);
        assertEquals(ok.out, 0, ok.exit);
        assertEquals("ok", ok.value("roundtrip"));
    }

    @Test
    public void failuresSayWhichFileFromWhereAndWhy() throws Exception {
        Path empty = tmp.newFolder("empty").toPath();
        ChildJvm noFile = probe(tmp.getRoot().toPath(), jarOnly(), "-D" + NativeLibrary.DIR_PROPERTY + "=" + empty);
        assertEquals(noFile.out, 3, noFile.exit);
        String f = noFile.value("failure");
        assertTrue(f, f.contains(NativeLibrary.BRIDGE_FILE) && f.contains(empty.toString())
                && f.contains("no such file") && f.contains(NativeLibrary.DIR_PROPERTY));

        Path badLib = tmp.newFolder("bad").toPath();
        Files.writeString(badLib.resolve(NativeLibrary.BRIDGE_FILE), "not a shared object\n".repeat(200));
        ChildJvm bad = probe(tmp.getRoot().toPath(), jarOnly(), "-D" + NativeLibrary.DIR_PROPERTY + "=" + badLib);
        assertEquals(bad.out, 3, bad.exit);
        f = bad.value("failure");
        assertTrue(f, f.contains(badLib.resolve(NativeLibrary.BRIDGE_FILE).toString()) && f.contains("ELF"));

        ChildJvm noPath = probe(tmp.getRoot().toPath(), jarOnly(), "-D" + NativeLibrary.LIBRARY_PATH_PROPERTY + "=true",
                "-Djava.library.path=" + empty);
        assertEquals(noPath.out, 3, noPath.exit);
        f = noPath.value("failure");
        assertTrue(f, f.contains("java.library.path") && f.contains(empty.toString()));

        // a jar that lacks the libraries
        Path stripped = tmp.getRoot().toPath().resolve("stripped.jar");
        copyWithout(productJar, stripped, "native/");
        Path fresh = tmp.newFolder("fresh-stripped").toPath();
        ChildJvm noRes = probe(fresh, testJar + ":" + stripped);
        assertEquals(noRes.out, 3, noRes.exit);
        f = noRes.value("failure");
        assertTrue(f, f.contains("native/linux-x86_64/") && f.contains(stripped.toString()));
        assertEquals("no half-extracted directory stays behind", List.of(), list(fresh));
    }

    private static void copyWithout(Path from, Path to, String prefix) throws IOException {
        try (ZipInputStream in = new ZipInputStream(Files.newInputStream(from));
                OutputStream os = Files.newOutputStream(to);
                ZipOutputStream out = new ZipOutputStream(os)) {
            for (ZipEntry e = in.getNextEntry(); e != null; e = in.getNextEntry()) {
                if (!e.getName().startsWith(prefix)) {
                    out.putNextEntry(new ZipEntry(e.getName()));
                    in.transferTo(out);
                    out.closeEntry();
                }
            }
        }
        assertTrue(Files.size(to) > 0);
    }
}
