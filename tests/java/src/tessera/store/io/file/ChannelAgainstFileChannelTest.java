package tessera.store.io.file;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Random;

import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * Runs the same random sequence of reads and writes on a replicated channel
 * and on a FileChannel over a temporary file, and requires the same results:
 * return values, bytes, buffer positions, channel positions, sizes and
 * end-of-file answers.
 */
public class ChannelAgainstFileChannelTest {
    private static final int REGION_SIZE = 4 << 20;

    private Path file;
    private FileChannel ref;
    private ReplicatedFileChannel ch;

    @Before
    public void setUp() throws IOException {
        file = Files.createTempFile("tessera-ref-", ".bin");
        ref = FileChannel.open(file, StandardOpenOption.READ, StandardOpenOption.WRITE);
        ch = ReplicatedFileChannelTest.open("reference", REGION_SIZE);
    }

    @After
    public void tearDown() throws IOException {
        try {
            ch.close();
            ref.close();
        } finally {
            Files.deleteIfExists(file);
        }
    }

    /** A buffer holding {@code len} bytes between a random position and limit. */
    private static ByteBuffer buffer(Random rnd, boolean direct, int len) {
        int before = rnd.nextInt(3) == 0 ? 0 : rnd.nextInt(17);
        int after = rnd.nextInt(9);
        int cap = before + len + after;
        ByteBuffer b = direct ? ByteBuffer.allocateDirect(cap) : ByteBuffer.allocate(cap);
        if (rnd.nextInt(4) == 0 && before > 0) {
            // a slice: the buffer's first byte is not at the start of its memory
            b.position(before);
            b = b.slice();
            b.limit(len);
            return b;
        }
        b.position(before).limit(before + len);
        return b;
    }

    private static int length(Random rnd) {
        switch (rnd.nextInt(10)) {
            case 0:
                return 0;
            case 1:
                return 1 + rnd.nextInt(3);
            case 2:
                return ReplicatedFileChannel.TRANSFER_CHUNK + 1 + rnd.nextInt(300_000);
            default:
                return 1 + rnd.nextInt(9000);
        }
    }

    private static long position(Random rnd, long size) {
        switch (rnd.nextInt(6)) {
            case 0:
                return size; // exactly at the end
            case 1:
                return size + 1 + rnd.nextInt(5000); // beyond it
            case 2:
                return Math.max(0, size - 1 - rnd.nextInt(100)); // just before it
            default:
                return rnd.nextInt((int) Math.max(1, size + 1));
        }
    }

    private void run(long seed, int steps) throws IOException {
        Random rnd = new Random(seed);
        long limit = REGION_SIZE - ReplicatedFileChannel.TRANSFER_CHUNK - 310_000;
        for (int step = 0; step < steps; step++) {
            String at = "seed " + seed + " step " + step;
            long size = ref.size();
            assertEquals(at + " size", size, ch.size());
            boolean direct = rnd.nextBoolean();
            int op = rnd.nextInt(6);
            int len = length(rnd);
            long pos = Math.min(position(rnd, size), limit);
            if (op == 0 || op == 1) { // write, positional or relative
                byte[] data = new byte[len];
                rnd.nextBytes(data);
                ByteBuffer a = buffer(rnd, direct, len);
                ByteBuffer b = a.isDirect() ? ByteBuffer.allocateDirect(a.capacity()) : ByteBuffer.allocate(a.capacity());
                b.position(a.position()).limit(a.limit());
                a.duplicate().put(data);
                b.duplicate().put(data);
                int ra;
                int rb;
                if (op == 0) {
                    ra = ref.write(a, pos);
                    rb = ch.write(b, pos);
                } else {
                    ref.position(pos);
                    ch.position(pos);
                    ra = ref.write(a);
                    rb = ch.write(b);
                    assertEquals(at + " position after write", ref.position(), ch.position());
                }
                assertEquals(at + " write result", ra, rb);
                assertEquals(at + " source position", a.position(), b.position());
            } else if (op == 5) { // relative reads in a row from a random place
                ref.position(pos);
                ch.position(pos);
                for (int i = 0; i < 3; i++) {
                    compareRead(at + " relative read " + i, rnd, direct, 1 + rnd.nextInt(4000), -1);
                    assertEquals(at + " position after read", ref.position(), ch.position());
                }
            } else { // positional read
                compareRead(at + " read", rnd, direct, len, pos);
            }
        }
        assertEquals("final size", ref.size(), ch.size());
        compareWhole();
    }

    private void compareRead(String at, Random rnd, boolean direct, int len, long pos) throws IOException {
        ByteBuffer a = buffer(rnd, direct, len);
        ByteBuffer b = a.isDirect() ? ByteBuffer.allocateDirect(a.capacity()) : ByteBuffer.allocate(a.capacity());
        b.position(a.position()).limit(a.limit());
        // fill both with the same junk so untouched bytes compare too
        ByteBuffer fa = a.duplicate().clear();
        ByteBuffer fb = b.duplicate().clear();
        for (int i = 0; i < a.capacity(); i++) {
            fa.put(i, (byte) 0x5a);
            fb.put(i, (byte) 0x5a);
        }
        int ra;
        int rb;
        if (pos >= 0) {
            ra = ref.read(a, pos);
            rb = ch.read(b, pos);
        } else {
            ra = ref.read(a);
            rb = ch.read(b);
        }
        assertEquals(at + " result", ra, rb);
        assertEquals(at + " buffer position", a.position(), b.position());
        a.clear();
        b.clear();
        byte[] ea = new byte[a.capacity()];
        byte[] eb = new byte[b.capacity()];
        a.get(ea);
        b.get(eb);
        assertArrayEquals(at + " bytes", ea, eb);
    }

    private void compareWhole() throws IOException {
        int size = (int) ref.size();
        ByteBuffer a = ByteBuffer.allocate(size);
        ByteBuffer b = ByteBuffer.allocate(size);
        while (a.hasRemaining() && ref.read(a, a.position()) > 0) {
            // FileChannel may read short; go on
        }
        assertEquals("whole-file read", size, ch.read(b, 0));
        assertArrayEquals("whole file", a.array(), b.array());
    }

    @Test
    public void randomSequenceMatchesFileChannel() throws IOException {
        run(20240611L, 500);
    }
}
