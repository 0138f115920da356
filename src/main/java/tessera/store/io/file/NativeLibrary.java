package tessera.store.io.file;

import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.security.CodeSource;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

/**
 * Loads the native bridge {@value #BRIDGE_FILE} and, through it, the store
 * client library {@value #CLIENT_FILE}.
 *
 * <p>Three ways, chosen by system properties read at the first
 * {@link #load()}:
 * <ul>
 * <li>By default the jar carries both libraries for linux-x86_64 under
 * {@code native/linux-x86_64/}. They are extracted together into one new
 * private directory below {@code java.io.tmpdir}, named
 * {@code tessera-store-native-<pid>-<random>}, and the bridge is loaded from
 * there; its {@code $ORIGIN} run path finds the client library beside it.
 * The directory is removed at exit; one left behind by a process that was
 * killed is removed by the next load in any process once that process is
 * gone.</li>
 * <li>{@value #DIR_PROPERTY}{@code =/some/dir} loads the bridge from that
 * directory instead; a client library in the same directory is found
 * beside it, otherwise the dynamic linker's usual search applies. This is how
 * a site puts its own client library in place.</li>
 * <li>{@value #LIBRARY_PATH_PROPERTY}{@code =true} loads the bridge with
 * {@link System#loadLibrary(String)} from {@code java.library.path}.</li>
 * </ul>
 *
 * <p>{@link #load()} is idempotent and thread-safe; every public entry of the
 * store API calls it, so applications need not. A failure is reported as an
 * {@link UnsatisfiedLinkError} naming the file, where it was looked for and
 * why it could not be loaded; later calls report the same failure again.
 */
public final class NativeLibrary {
    /** File name of the JNI bridge. */
    public static final String BRIDGE_FILE = "libtessera_replicatedio.so";
    /** File name of the store client library that the bridge needs. */
    public static final String CLIENT_FILE = "libmirrorbank1.so";
    /** Library name of the bridge for {@link System#loadLibrary(String)}. */
    public static final String BRIDGE_NAME = "tessera_replicatedio";
    /** Folder of the jar that carries the libraries for this platform. */
    public static final String RESOURCE_FOLDER = "native/linux-x86_64/";
    /** System property: a directory to load the libraries from instead of the jar. */
    public static final String DIR_PROPERTY = "tessera.store.native.dir";
    /** System property: {@code true} loads the bridge from {@code java.library.path}. */
    public static final String LIBRARY_PATH_PROPERTY = "tessera.store.native.useLibraryPath";

    /** Extraction directories: the prefix, then the owner's process id, a dash and a random number. */
    private static final String EXTRACTION_PREFIX = "tessera-store-native-";
    private static final Pattern EXTRACTION_DIR = Pattern.compile(Pattern.quote(EXTRACTION_PREFIX) + "(\\d+)-\\d+");

    private static final Object LOCK = new Object();
    private static volatile String source;
    private static volatile Path directory;
    private static UnsatisfiedLinkError failure;

    private NativeLibrary() {
    }

    /**
     * Loads the native libraries once per class loader; later calls return
     * at once.
     *
     * @throws UnsatisfiedLinkError when loading failed (now or at an earlier call)
     */
    public static void load() {
        if (source != null) {
            return;
        }
        synchronized (LOCK) {
            if (source != null) {
                return;
            }
            if (failure != null) {
                UnsatisfiedLinkError again = new UnsatisfiedLinkError(failure.getMessage());
                again.initCause(failure);
                throw again;
            }
            try {
                doLoad();
            } catch (UnsatisfiedLinkError e) {
                failure = e;
                throw e;
            }
        }
    }

    /**
     * Whether the libraries are loaded.
     *
     * @return true once {@link #load()} has succeeded
     */
    public static boolean isLoaded() {
        return source != null;
    }

    /**
     * Where the bridge was loaded from.
     *
     * @return the file's absolute path, or {@code java.library.path} when
     *         loaded through it; null before a successful {@link #load()}
     */
    public static String source() {
        return source;
    }

    /**
     * The directory the libraries were loaded from.
     *
     * @return the directory (the extraction directory when they came from the
     *         jar); null before a successful {@link #load()} and when they
     *         were loaded through {@code java.library.path}
     */
    public static Path directory() {
        return directory;
    }

    private static void doLoad() {
        String dir = System.getProperty(DIR_PROPERTY);
        if (dir != null && !dir.isBlank()) {
            loadFromDirectory(Paths.get(dir.trim()).toAbsolutePath(), "the directory named by -D" + DIR_PROPERTY);
            return;
        }
        if (Boolean.parseBoolean(System.getProperty(LIBRARY_PATH_PROPERTY))) {
            try {
                System.loadLibrary(BRIDGE_NAME);
            } catch (UnsatisfiedLinkError e) {
                throw linkError("cannot load " + System.mapLibraryName(BRIDGE_NAME) + " from java.library.path ("
                        + System.getProperty("java.library.path") + ", chosen by -D" + LIBRARY_PATH_PROPERTY
                        + "=true): " + e.getMessage(), e);
            }
            source = "java.library.path";
            return;
        }
        loadFromJar();
    }

    private static void loadFromDirectory(Path dir, String how) {
        Path bridge = dir.resolve(BRIDGE_FILE);
        if (!Files.isRegularFile(bridge)) {
            throw linkError("cannot load " + BRIDGE_FILE + " from " + dir + " (" + how + "): "
                    + (Files.isDirectory(dir) ? "no such file in that directory" : "no such directory"), null);
        }
        try {
            System.load(bridge.toString());
        } catch (UnsatisfiedLinkError e) {
            String hint = Files.isRegularFile(dir.resolve(CLIENT_FILE)) ? ""
                    : " (" + CLIENT_FILE + " is not in that directory either; the bridge needs it)";
            throw linkError("cannot load " + bridge + " (" + how + "): " + e.getMessage() + hint, e);
        }
        directory = dir;
        source = bridge.toString();
    }

    private static void loadFromJar() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        if (!os.startsWith("linux") || !(arch.equals("amd64") || arch.equals("x86_64"))) {
            throw linkError("the jar carries native libraries for linux-x86_64 only, this is " + os + "/" + arch
                    + "; set -D" + DIR_PROPERTY + " to a directory holding " + BRIDGE_FILE + " and "
                    + CLIENT_FILE + " built for this platform", null);
        }
        String where = jarLocation();
        removeStaleExtractions();
        Path dir;
        try {
            dir = Files.createTempDirectory(EXTRACTION_PREFIX + ProcessHandle.current().pid() + "-");
        } catch (IOException | RuntimeException e) {
            throw linkError("cannot create a directory for the native libraries of " + where + " below "
                    + System.getProperty("java.io.tmpdir") + ": " + e, e);
        }
        dir.toFile().deleteOnExit();
        for (String file : new String[] {CLIENT_FILE, BRIDGE_FILE}) {
            extract(file, dir, where);
        }
        loadFromDirectory(dir, "extracted from " + where);
    }

    private static void extract(String file, Path dir, String where) {
        String resource = RESOURCE_FOLDER + file;
        Path target = dir.resolve(file);
        try (InputStream in = NativeLibrary.class.getClassLoader().getResourceAsStream(resource)) {
            if (in == null) {
                throw linkError("cannot load " + file + ": resource " + resource + " is not in " + where
                        + "; rebuild the jar with its native libraries, or set -D" + DIR_PROPERTY + " or -D"
                        + LIBRARY_PATH_PROPERTY + "=true", null);
            }
            Files.copy(in, target, StandardCopyOption.REPLACE_EXISTING);
            target.toFile().deleteOnExit();
        } catch (IOException e) {
            throw linkError("cannot extract " + resource + " from " + where + " to " + target + ": " + e, e);
        }
    }

    /**
     * Removes the extraction directories of processes that are gone (killed
     * before their exit hook ran). Best effort: what cannot be removed stays.
     */
    private static void removeStaleExtractions() {
        Path tmp = Paths.get(System.getProperty("java.io.tmpdir"));
        try (Stream<Path> entries = Files.list(tmp)) {
            entries.forEach(dir -> {
                Matcher m = EXTRACTION_DIR.matcher(dir.getFileName().toString());
                if (m.matches() && !processAlive(m.group(1)) && Files.isDirectory(dir, LinkOption.NOFOLLOW_LINKS)) {
                    try {
                        // only what an extraction writes; anything else keeps the directory
                        Files.deleteIfExists(dir.resolve(CLIENT_FILE));
                        Files.deleteIfExists(dir.resolve(BRIDGE_FILE));
                        Files.deleteIfExists(dir);
                    } catch (IOException | RuntimeException e) {
                        // another user's, not empty, or being removed by another process
                    }
                }
            });
        } catch (IOException | RuntimeException e) {
            // nothing to clean, or no permission to look
        }
    }

    private static boolean processAlive(String pid) {
        try {
            return ProcessHandle.of(Long.parseLong(pid)).isPresent();
        } catch (NumberFormatException e) {
            return true; // not a pid we could have written: leave it alone
        }
    }

    private static String jarLocation() {
        try {
            CodeSource cs = NativeLibrary.class.getProtectionDomain().getCodeSource();
            URL url = cs == null ? null : cs.getLocation();
            if (url != null) {
                return url.toString();
            }
        } catch (SecurityException e) {
            // fall through to the generic description
        }
        return "the class path";
    }

    private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError e = new UnsatisfiedLinkError(message);
        if (cause != null) {
            e.initCause(cause);
        }
        return e;
    }
}
