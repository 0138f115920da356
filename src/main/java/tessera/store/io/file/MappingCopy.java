package tessera.store.io.file;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.MappedByteBuffer;
import java.nio.channels.Pipe;

/**
 * Copies between a buffer that maps a file and a buffer of the channel's own
 * without ever touching the mapping from this process.
 *
 * <p>A file mapping whose file was truncated after mapping has pages that no
 * longer exist: a copy in this process (the bridge's, or the JVM's in
 * compiled code) takes a bus error there, which ends the process or arrives
 * as an {@link InternalError} at some later point. The kernel, copying the
 * same bytes through a pipe, reports the vanished page as an error of that
 * call instead ("Bad address"), which becomes an {@link IOException} of the
 * transfer.
 */
final class MappingCopy {
    private MappingCopy() {
    }

    /**
     * Whether {@code buf} maps a file. Every direct buffer is a
     * {@link MappedByteBuffer}; of those, only file mappings check the
     * index of {@link MappedByteBuffer#force(int, int)} (the others return at
     * once), so the test costs a few nanoseconds on the ordinary path.
     */
    static boolean isFileMapping(ByteBuffer buf) {
        if (!(buf instanceof MappedByteBuffer) || buf.capacity() == 0) {
            return false;
        }
        try {
            ((MappedByteBuffer) buf).force(-1, 0);
            return false;
        } catch (IndexOutOfBoundsException e) {
            return true;
        }
    }

    /**
     * Moves all remaining bytes of {@code from} into {@code to}, which has
     * room for them, advancing both positions.
     *
     * @param what the transfer, for the message of a failure
     * @throws IOException when a page of either buffer cannot be accessed
     */
    static void copy(ByteBuffer from, ByteBuffer to, String what) throws IOException {
        Pipe pipe = Pipe.open();
        try (Pipe.SinkChannel sink = pipe.sink(); Pipe.SourceChannel source = pipe.source()) {
            sink.configureBlocking(false);
            source.configureBlocking(false);
            while (from.hasRemaining()) {
                // a write takes what fits in the empty pipe; the reads drain exactly that
                int n = sink.write(from);
                if (n == 0) {
                    throw new IOException("the pipe took no bytes");
                }
                int end = to.position() + n;
                ByteBuffer part = to.duplicate().limit(end);
                while (part.hasRemaining()) {
                    source.read(part);
                }
                to.position(end);
            }
        } catch (IOException e) {
            throw new IOException(what + ": a file mapping's pages cannot be accessed (was its file truncated"
                    + " after mapping?): " + e.getMessage(), e);
        }
    }
}
