package tessera.store.io.file;

import static org.junit.Assert.assertEquals;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Random;

import org.junit.Test;

/**
 * Runs one random sequence of reads and writes on a replicated channel and
 * on a FileChannel over a temporary file, and requires the same results:
 * return values, bytes, buffer positions, channel positions, sizes and
 * end-of-file answers.
 */
public class ChannelAgainstFileChannelTest {
    private static final int REGION_SIZE = 4 << 20;
    private final Random rnd = new Random(20240611L);

    /** Two equal buffers, heap or direct, holding {@code len} bytes between a random position and limit. */
    private ByteBuffer[] buffers(int len) {
        boolean direct = rnd.nextBoolean();
        boolean slice = rnd.nextInt(4) == 0;
        int before = rnd.nextInt(3) == 0 ? 0 : rnd.nextInt(17);
        int cap = before + len + rnd.nextInt(9);
        ByteBuffer[] pair = new ByteBuffer[2];
        for (int i = 0; i < 2; i++) {
            ByteBuffer b = direct ? ByteBuffer.allocateDirect(cap) : ByteBuffer.allocate(cap);
            for (int k = 0; k < cap; k++) {
                b.put(k, (byte) 0x5a); // so that untouched bytes compare too
            }
            // a slice's first byte is not at the start of its memory
            pair[i] = slice ? b.position(before).slice().limit(len) : b.position(before).limit(before + len);
        }
        return pair;
    }

    private int length() {
        int kind = rnd.nextInt(10);
        return kind == 0 ? 0 : kind == 1 ? 1 + rnd.nextInt(3)
                : kind == 2 ? ReplicatedFileChannel.TRANSFER_CHUNK + 1 + rnd.nextInt(300_000) : 1 + rnd.nextInt(9000);
    }

    private long position(long size) {
        int kind = rnd.nextInt(6);
        return kind == 0 ? size : kind == 1 ? size + 1 + rnd.nextInt(5000)
                : kind == 2 ? Math.max(0, size - 1 - rnd.nextInt(100)) : rnd.nextInt((int) size + 1);
    }

    private static void assertSame(String at, ByteBuffer a, ByteBuffer b) {
        assertEquals(at + " buffer position", a.position(), b.position());
        assertEquals(at + " bytes", a.clear(), b.clear());
    }

    @Test
    public void randomSequenceMatchesFileChannel() throws IOException {
        Path file = Files.createTempFile("tessera-ref-", ".bin");
        try (FileChannel ref = FileChannel.open(file, StandardOpenOption.READ, StandardOpenOption.WRITE);
                ReplicatedFileChannel ch = ReplicatedFileChannelTest.open("reference", REGION_SIZE)) {
            long limit = REGION_SIZE - ReplicatedFileChannel.TRANSFER_CHUNK - 310_000;
            for (int step = 0; step < 500; step++) {
                String at = "step " + step;
                assertEquals(at + " size", ref.size(), ch.size());
                int op = rnd.nextInt(6);
                int len = length();
                long pos = Math.min(position(ref.size()), limit);
                if (op <= 1) { // a write, positional or relative
                    ByteBuffer[] ab = buffers(len);
                    byte[] data = new byte[len];
                    rnd.nextBytes(data);
                    ab[0].duplicate().put(data);
                    ab[1].duplicate().put(data);
                    if (op == 1) {
                        ref.position(pos);
                        ch.position(pos);
                    }
                    assertEquals(at + " write", op == 0 ? ref.write(ab[0], pos) : ref.write(ab[0]),
                            op == 0 ? ch.write(ab[1], pos) : ch.write(ab[1]));
                    assertEquals(at + " source position", ab[0].position(), ab[1].position());
                } else if (op == 5) { // relative reads in a row from a random place
                    ref.position(pos);
                    ch.position(pos);
                    for (int i = 0; i < 3; i++) {
                        ByteBuffer[] ab = buffers(1 + rnd.nextInt(4000));
                        assertEquals(at + " relative read", ref.read(ab[0]), ch.read(ab[1]));
                        assertSame(at, ab[0], ab[1]);
                    }
                } else {
                    ByteBuffer[] ab = buffers(len);
                    assertEquals(at + " read", ref.read(ab[0], pos), ch.read(ab[1], pos));
                    assertSame(at, ab[0], ab[1]);
                }
                assertEquals(at + " channel position", ref.position(), ch.position());
            }
            ByteBuffer all = ByteBuffer.allocate((int) ref.size());
            while (all.hasRemaining() && ref.read(all, all.position()) > 0) {
                // FileChannel may read short; go on
            }
            ByteBuffer whole = ByteBuffer.allocate(all.capacity());
            assertEquals(all.capacity(), ch.read(whole, 0));
            assertEquals("whole file", all.flip(), whole.flip());
        } finally {
            Files.deleteIfExists(file);
        }
    }
}
