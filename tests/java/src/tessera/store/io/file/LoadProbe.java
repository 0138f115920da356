package tessera.store.io.file;

import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * Child-JVM program of the loading tests: loads the native libraries as the
 * system properties say, prints where from and what that directory holds,
 * then writes and reads back a region. Exit 0 on success; a loading failure
 * prints its message and exits 3.
 */
public final class LoadProbe {
    private LoadProbe() {
    }

    /** Runs the probe; prints lines "source=", "dir=", "files=", "roundtrip=". */
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
            try (Stream<Path> s = Files.list(dir)) {
                System.out.println("files=" + s.map(p -> p.getFileName().toString()).sorted()
                        .collect(Collectors.joining(",")));
            }
        }
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("probe").regionSize(65536).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {1, 2, 3}), 10);
            ByteBuffer b = ByteBuffer.allocate(13);
            int n = ch.read(b, 0);
            System.out.println("roundtrip=" + (n == 13 && b.get(10) == 1 && b.get(12) == 3 ? "ok" : "bad " + n));
        }
    }
}
