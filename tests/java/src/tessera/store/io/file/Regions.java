package tessera.store.io.file;

import java.io.IOException;
import java.util.concurrent.atomic.AtomicInteger;

/** Region names and channels for the tests; every name is new in this JVM. */
final class Regions {
    private static final AtomicInteger SEQ = new AtomicInteger();

    private Regions() {
    }

    /** A name no other test of this JVM uses. */
    static String fresh(String prefix) {
        return prefix + "-" + SEQ.incrementAndGet();
    }

    /** Opens {@code name} on the embedded cluster with {@code size} bytes. */
    static ReplicatedFileChannel open(String name, long size) throws IOException {
        return ReplicatedFileChannel.builder(name).regionSize(size).open();
    }
}
