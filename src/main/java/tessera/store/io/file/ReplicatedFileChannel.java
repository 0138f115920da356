package tessera.store.io.file;

import java.io.IOException;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.net.Inet4Address;
import java.nio.ByteBuffer;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.Path;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.ReentrantLock;
import java.util.regex.Pattern;

import tessera.store.io.file.direct.MirrorbankApi;
import tessera.store.io.file.direct.ReplicatedIONative;

/**
 * A byte channel over one region of the replicated store, used like a
 * {@link java.nio.channels.FileChannel} on a file.
 *
 * <p>A region is a named, fixed-size memory area that the store daemons of a
 * cluster keep in several copies. Open one through {@link #builder(String)}:
 *
 * <pre>{@code
 * try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("journal")
 *         .regionSize(64L << 20)
 *         .open()) {
 *     ch.write(ByteBuffer.wrap("hello".getBytes(StandardCharsets.UTF_8)), 0);
 *     ByteBuffer back = ByteBuffer.allocate(5);
 *     ch.read(back, 0);
 * }
 * }</pre>
 *
 * <p>The channel's size is the end of the furthest byte written so far (as
 * this channel sees it), at most the region size; reads never return bytes at
 * or beyond it, and a read that starts there returns -1 like a file at its
 * end. Writes may leave gaps, which read as zero bytes. Positions and
 * {@code position + length} of every transfer must stay within
 * {@value #MAX_REGION_SIZE}, the largest region this version supports.
 *
 * <p>Buffers may be heap or direct; heap data travel through a direct buffer
 * that the channel keeps and reuses, in pieces of at most
 * {@value #TRANSFER_CHUNK} bytes. Buffer position and limit are honoured as
 * by {@code FileChannel}: reads fill {@code dst} from its position up to its
 * limit or the end of the file, writes write all remaining bytes of
 * {@code src}. A read into a read-only buffer is refused as
 * {@code FileChannel} refuses it. A {@link java.nio.MappedByteBuffer} that
 * maps a file travels through the channel's direct buffer as well, copied by
 * the kernel: when its file was truncated below the transfer's range, the
 * transfer ends in an {@link IOException} instead of a fault of the process.
 *
 * <p>Calls on one channel are serialised: a channel may be shared between
 * threads, and its operations then run one after another. Different channels
 * work in parallel. Failures of the store are reported as {@link IOException}s
 * whose text names the region and the store's reason; any call after
 * {@link #close()} throws {@link ClosedChannelException}. Close channels when
 * done: a channel dropped without a close is closed when the garbage
 * collector finds it unreachable, and its handle only then becomes free.
 */
public final class ReplicatedFileChannel implements SeekableByteChannel {
    /** Largest region size, and largest end position of any transfer, in bytes. */
    public static final long MAX_REGION_SIZE = Integer.MAX_VALUE;
    /** Largest piece in which heap buffer and file mapping data travel through the channel's direct buffer. */
    public static final int TRANSFER_CHUNK = 1 << 20;

    /** Closes the handles of channels that became unreachable without a close. */
    private static final Cleaner CLEANER = Cleaner.create();

    private final String regionName;
    private final int handle;
    private final ReentrantLock lock = new ReentrantLock();
    private final Release release;
    private final Cleaner.Cleanable cleanable;
    private volatile boolean open = true;
    private long position;
    private ByteBuffer transfer;

    private ReplicatedFileChannel(String regionName, int handle, HandleAllocator allocator) {
        this.regionName = regionName;
        this.handle = handle;
        this.release = new Release(handle, allocator);
        this.cleanable = CLEANER.register(this, release);
    }

    /**
     * Closes the native handle once and gives it back to the allocator:
     * from {@link #close()}, or from the cleaner when a channel was dropped
     * without one (no call can then be running on its handle).
     */
    private static final class Release implements Runnable {
        private final int handle;
        private final HandleAllocator allocator;
        private final AtomicBoolean done = new AtomicBoolean();

        Release(int handle, HandleAllocator allocator) {
            this.handle = handle;
            this.allocator = allocator;
        }

        /** The native close may throw the IOException of a failed close. */
        void release() throws IOException {
            if (!done.compareAndSet(false, true)) {
                return;
            }
            try {
                ReplicatedIONative.close(handle);
            } finally {
                allocator.release(handle);
            }
        }

        @Override
        public void run() {
            try {
                release();
            } catch (Exception e) {
                // An abandoned channel has nobody left to tell.
            }
        }
    }

    /**
     * Starts the configuration of an open of the named region.
     *
     * @param regionName name of the region in the cluster; created at the
     *        first open, found again by later ones
     * @return a builder; {@link Builder#open()} opens the channel
     * @throws IllegalArgumentException when the name is empty or the store
     *         cannot take it exactly (see {@link MirrorbankApi#nameProblem})
     */
    public static Builder builder(String regionName) {
        return new Builder(regionName);
    }

    /**
     * The region this channel is open on.
     *
     * @return the region name given to the builder
     */
    public String regionName() {
        return regionName;
    }

    /**
     * The native handle of this channel, for diagnostics: it appears in the
     * bridge's log lines. It stays the same after close, but may by then
     * belong to another channel.
     *
     * @return 0 to 9999
     */
    public int handle() {
        return handle;
    }

    /** True until {@link #close()} has been called. */
    @Override
    public boolean isOpen() {
        return open;
    }

    /**
     * Reads bytes at the channel's position into {@code dst} and advances the
     * position by the number read.
     *
     * @return the number of bytes read, 0 when {@code dst} has no room, or -1
     *         when the position is at or beyond the end of the file
     * @throws ClosedChannelException after close
     * @throws IllegalArgumentException when {@code dst} is read-only
     * @throws IOException when the store fails the read
     */
    @Override
    public int read(ByteBuffer dst) throws IOException {
        checkReadable(dst);
        return (int) locked(() -> {
            int n = readAt(dst, position);
            if (n > 0) {
                position += n;
            }
            return n;
        });
    }

    /**
     * Reads bytes at {@code position} into {@code dst}, leaving the channel's
     * position alone. The read goes on until {@code dst} is full or the end of
     * the file is reached.
     *
     * @param dst the buffer to fill from its position up to its limit
     * @param position the file position of the first byte, 0 or more
     * @return the number of bytes read, 0 when {@code dst} has no room, or -1
     *         when {@code position} is at or beyond the end of the file
     * @throws IllegalArgumentException when {@code position} is negative or
     *         {@code dst} is read-only
     * @throws ClosedChannelException after close
     * @throws IOException when the store fails the read
     */
    public int read(ByteBuffer dst, long position) throws IOException {
        checkReadable(dst);
        checkPosition(position);
        return (int) locked(() -> readAt(dst, position));
    }

    /**
     * Writes all remaining bytes of {@code src} at the channel's position and
     * advances the position by their number. The file grows when the write
     * ends beyond it.
     *
     * @return the number of bytes written: all that {@code src} had remaining
     * @throws ClosedChannelException after close
     * @throws IOException when the write would end beyond
     *         {@value #MAX_REGION_SIZE}, or the store fails it; bytes of
     *         {@code src} before its position at that moment have been written
     */
    @Override
    public int write(ByteBuffer src) throws IOException {
        Objects.requireNonNull(src, "src");
        return (int) locked(() -> {
            int n = writeAt(src, position);
            position += n;
            return n;
        });
    }

    /**
     * Writes all remaining bytes of {@code src} at {@code position}, leaving
     * the channel's position alone. A position beyond the end of the file
     * leaves a gap that reads as zero bytes.
     *
     * @param src the bytes from its position up to its limit
     * @param position the file position of the first byte, 0 or more
     * @return the number of bytes written: all that {@code src} had remaining
     * @throws IllegalArgumentException when {@code position} is negative
     * @throws ClosedChannelException after close
     * @throws IOException when the write would end beyond
     *         {@value #MAX_REGION_SIZE}, or the store fails it; bytes of
     *         {@code src} before its position at that moment have been written
     */
    public int write(ByteBuffer src, long position) throws IOException {
        Objects.requireNonNull(src, "src");
        checkPosition(position);
        return (int) locked(() -> writeAt(src, position));
    }

    /**
     * The channel's position: where the next relative read or write starts.
     *
     * @throws ClosedChannelException after close
     */
    @Override
    public long position() throws IOException {
        return locked(() -> position);
    }

    /**
     * Sets the channel's position. A position beyond the end of the file is
     * allowed: a read there returns -1, a write there leaves a gap.
     *
     * @param newPosition 0 or more
     * @return this channel
     * @throws IllegalArgumentException when {@code newPosition} is negative
     * @throws ClosedChannelException after close
     */
    @Override
    public ReplicatedFileChannel position(long newPosition) throws IOException {
        checkPosition(newPosition);
        locked(() -> position = newPosition);
        return this;
    }

    /**
     * The size of the file: the end of the furthest byte written, as this
     * channel has seen it (the region's use when it was opened, raised by
     * this channel's writes).
     *
     * @throws ClosedChannelException after close
     */
    @Override
    public long size() throws IOException {
        return locked(() -> ReplicatedIONative.getSize(handle));
    }

    /**
     * A region does not shrink: a size at or above the current size leaves
     * the file as it is (and, like {@code FileChannel}, moves a position
     * beyond {@code size} back to {@code size}); a smaller size fails.
     *
     * @param size the wanted size, 0 or more
     * @return this channel
     * @throws IllegalArgumentException when {@code size} is negative
     * @throws ClosedChannelException after close
     * @throws IOException when {@code size} is below the current size
     */
    @Override
    public ReplicatedFileChannel truncate(long size) throws IOException {
        if (size < 0) {
            throw new IllegalArgumentException("negative size: " + size);
        }
        locked(() -> {
            long current = ReplicatedIONative.getSize(handle);
            if (size < current) {
                throw new IOException("region '" + regionName + "' cannot shrink from " + current + " to " + size
                        + " bytes: a replicated region keeps everything written to it");
            }
            position = Math.min(position, size);
            return size;
        });
        return this;
    }

    /**
     * The memory configured for regions on the local store daemon that
     * serves this channel; asked anew at each call.
     *
     * @return bytes, 0 or more
     * @throws ClosedChannelException after close
     * @throws IOException when the daemon cannot be asked
     */
    public long deviceLimit() throws IOException {
        return locked(() -> figure(ReplicatedIONative.getDeviceLimit(handle), "memory limit"));
    }

    /**
     * The memory in use on the local store daemon that serves this channel;
     * asked anew at each call.
     *
     * @return bytes, 0 or more
     * @throws ClosedChannelException after close
     * @throws IOException when the daemon cannot be asked
     */
    public long deviceUsed() throws IOException {
        return locked(() -> figure(ReplicatedIONative.getDeviceUsed(handle), "memory in use"));
    }

    /**
     * Closes the region. It waits for an operation of another thread on this
     * channel to end; a second close does nothing. The handle goes back to
     * the process even when the store reports a failure, which is thrown.
     *
     * @throws IOException when the store fails to close the region
     */
    @Override
    public void close() throws IOException {
        lock.lock();
        try {
            if (!open) {
                return;
            }
            open = false;
            transfer = null;
            try {
                release.release();
            } finally {
                cleanable.clean();
            }
        } finally {
            lock.unlock();
            Reference.reachabilityFence(this);
        }
    }

    /** Region name, handle and state, for diagnostics. */
    @Override
    public String toString() {
        return "ReplicatedFileChannel[region=" + regionName + ", handle=" + handle + (open ? "" : ", closed") + "]";
    }

    // ---- inside the lock ----

    /** An operation on an open channel, run under its lock. */
    @FunctionalInterface
    private interface LockedOp {
        long run() throws IOException;
    }

    /**
     * Runs {@code op} under the channel's lock once the channel is known to
     * be open; the channel stays reachable until it ends, so that the
     * cleaner cannot close the handle under a running call.
     */
    private long locked(LockedOp op) throws IOException {
        lock.lock();
        try {
            ensureOpen();
            return op.run();
        } finally {
            lock.unlock();
            Reference.reachabilityFence(this);
        }
    }

    private int readAt(ByteBuffer dst, long pos) throws IOException {
        int want = dst.remaining();
        if (want == 0) {
            return 0;
        }
        if (pos >= MAX_REGION_SIZE) {
            return -1; // no file reaches this far
        }
        if (want > MAX_REGION_SIZE - pos) {
            want = (int) (MAX_REGION_SIZE - pos);
        }
        boolean mapped = MappingCopy.isFileMapping(dst);
        if (dst.isDirect() && !mapped) {
            int start = dst.position();
            int n = ReplicatedIONative.read(handle, pos, dst, start, want);
            // 0: position at the end of the file; -1 without an exception: beyond it
            if (n <= 0) {
                return -1;
            }
            dst.position(start + n);
            return n;
        }
        int total = 0;
        while (total < want) {
            ByteBuffer t = transferBuffer(want - total);
            int piece = t.limit();
            int n = ReplicatedIONative.read(handle, pos + total, t, 0, piece);
            if (n <= 0) {
                break;
            }
            t.limit(n);
            stage(t, dst, mapped, "read of " + want + " bytes at position " + pos + " from");
            total += n;
            if (n < piece) {
                break; // end of the file
            }
        }
        return total == 0 ? -1 : total;
    }

    private int writeAt(ByteBuffer src, long pos) throws IOException {
        int len = src.remaining();
        if (len == 0) {
            return 0;
        }
        if (pos > MAX_REGION_SIZE - len) {
            throw new IOException("write of " + len + " bytes at position " + pos + " to region '" + regionName
                    + "' would end beyond " + MAX_REGION_SIZE + ", the largest region size");
        }
        boolean mapped = MappingCopy.isFileMapping(src);
        if (src.isDirect() && !mapped) {
            int start = src.position();
            int n = ReplicatedIONative.write(handle, pos, src, start, len);
            checkWritten(n, len, pos);
            src.position(start + len);
            return len;
        }
        while (src.hasRemaining()) {
            long at = pos + len - src.remaining();
            ByteBuffer t = transferBuffer(src.remaining());
            ByteBuffer from = src.duplicate();
            from.limit(from.position() + t.limit());
            stage(from, t, mapped, "write of " + len + " bytes at position " + pos + " to");
            int piece = t.position();
            checkWritten(ReplicatedIONative.write(handle, at, t, 0, piece), piece, at);
            src.position(src.position() + piece);
        }
        return len;
    }

    /**
     * Moves the remaining bytes of {@code from} into {@code to}; through the
     * kernel when the caller's buffer maps a file ({@link MappingCopy}).
     */
    private void stage(ByteBuffer from, ByteBuffer to, boolean mapped, String what) throws IOException {
        if (mapped) {
            MappingCopy.copy(from, to, what + " region '" + regionName + "'");
        } else {
            to.put(from);
        }
    }

    private void checkWritten(int n, int expected, long pos) throws IOException {
        if (n != expected) {
            throw new IOException("write of " + expected + " bytes at position " + pos + " to region '"
                    + regionName + "' stored " + n);
        }
    }

    /** The channel's direct buffer, cleared, with room for {@code rest} bytes up to {@value #TRANSFER_CHUNK}. */
    private ByteBuffer transferBuffer(int rest) {
        int need = Math.min(rest, TRANSFER_CHUNK);
        if (transfer == null || transfer.capacity() < need) {
            int cap = transfer == null ? 8192 : transfer.capacity();
            while (cap < need) {
                cap = Math.min(cap * 2, TRANSFER_CHUNK);
            }
            transfer = ByteBuffer.allocateDirect(cap);
        }
        transfer.clear().limit(need);
        return transfer;
    }

    private long figure(long value, String what) throws IOException {
        if (value < 0) {
            throw new IOException("the " + what + " of the local daemon of region '" + regionName
                    + "' is not available");
        }
        return value;
    }

    private void ensureOpen() throws ClosedChannelException {
        if (!open) {
            throw new ClosedChannelException();
        }
    }

    private static void checkReadable(ByteBuffer dst) {
        Objects.requireNonNull(dst, "dst");
        if (dst.isReadOnly()) {
            throw new IllegalArgumentException("Read-only buffer");
        }
    }

    private static void checkPosition(long position) {
        if (position < 0) {
            throw new IllegalArgumentException("negative position: " + position);
        }
    }

    /** Opens a channel with a handle from {@code allocator}. */
    static ReplicatedFileChannel open(String regionName, Map<String, String> configuration,
            HandleAllocator allocator) throws IOException {
        NativeLibrary.load();
        int h = allocator.allocate();
        boolean opened = false;
        try {
            String[] keys = new String[configuration.size() + 1];
            String[] values = new String[keys.length];
            keys[0] = Builder.CANDIDATE_HANDLE;
            values[0] = Integer.toString(h);
            int i = 1;
            for (Map.Entry<String, String> e : configuration.entrySet()) {
                keys[i] = e.getKey();
                values[i] = e.getValue();
                i++;
            }
            long r;
            try {
                r = ReplicatedIONative.open(regionName, "rw", keys, values);
            } catch (Exception e) { // the native side throws IOException without declaring it
                if (!(e instanceof IOException)) {
                    throw (RuntimeException) e;
                }
                // A failed open may leave the handle's record claimed; closing it frees the record.
                try {
                    ReplicatedIONative.close(h);
                } catch (Exception suppressed) {
                    e.addSuppressed(suppressed);
                }
                throw (IOException) e;
            }
            if (r != h) {
                throw new IOException("cannot open region '" + regionName + "': native handle " + h
                        + " is not available (it is held by code that opened it without this API)");
            }
            opened = true;
            return new ReplicatedFileChannel(regionName, h, allocator);
        } finally {
            if (!opened) {
                allocator.release(h);
            }
        }
    }

    /**
     * Configuration of an open. Every setter checks its value at once and
     * returns this builder; {@link #open()} may be called more than once, each
     * call opening a channel of its own.
     *
     * <p>Names (the region's, the configuration file's, the store
     * configuration's) reach the store exactly as given, or are refused with
     * an {@link IllegalArgumentException} (see {@link MirrorbankApi#nameProblem}).
     * A store configuration name selects the system property
     * {@code tessera.store.replicated.<name>.nativelib.tracelevel} that sets
     * the store client's trace level for the open.
     *
     * <p>Defaults: block size {@value #DEFAULT_BLOCK_SIZE} bytes, 1 to
     * {@value #DEFAULT_MAX_COPIES} copies, local daemon 0, the embedded
     * cluster (no configuration file), no busy-wait, waits of
     * {@value #DEFAULT_SLEEP_WAIT_MILLIS} ms. The region size has no
     * default.
     */
    public static final class Builder {
        /** Default block size in bytes. */
        public static final int DEFAULT_BLOCK_SIZE = 4096;
        /** Default maximum number of copies. */
        public static final int DEFAULT_MAX_COPIES = 2;
        /** Default longest single wait for the store, in milliseconds. */
        public static final int DEFAULT_SLEEP_WAIT_MILLIS = 10;

        static final String CANDIDATE_HANDLE = "CandidateHandle";
        private static final Pattern IPV4 = Pattern.compile(
                "(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)(\\.(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)){3}");

        private final String regionName;
        private long regionSize = -1;
        private int blockSize = DEFAULT_BLOCK_SIZE;
        private int minCopies = 1;
        private int maxCopies = DEFAULT_MAX_COPIES;
        private String address;
        private int port = -1;
        private int localIndex;
        private String configFile;
        private int busyWaitMicros;
        private int sleepWaitMillis = DEFAULT_SLEEP_WAIT_MILLIS;
        private String storeConfigName;
        private int ioBufferSize = -1;

        private Builder(String regionName) {
            Objects.requireNonNull(regionName, "regionName");
            if (regionName.isEmpty()) {
                throw new IllegalArgumentException("empty region name");
            }
            this.regionName = text(regionName, "region name");
        }

        /** Size of the region in bytes, 1 to {@value ReplicatedFileChannel#MAX_REGION_SIZE}: what the file holds. */
        public Builder regionSize(long bytes) {
            if (bytes <= 0) {
                throw new IllegalArgumentException("region size must be positive: " + bytes);
            }
            if (bytes > MAX_REGION_SIZE) {
                throw new IllegalArgumentException("region size " + bytes + " exceeds " + MAX_REGION_SIZE
                        + " bytes, the largest region this version supports");
            }
            this.regionSize = bytes;
            return this;
        }

        /** Block size of the region in bytes (1 or more), the unit in which the store keeps and copies it. */
        public Builder blockSize(int bytes) { return with(() -> blockSize = positive(bytes, "block size")); }

        /** Fewest copies (1 or more) the region must have for an open to succeed. */
        public Builder minCopies(int copies) { return with(() -> minCopies = positive(copies, "minimum copies")); }

        /** Most copies the store keeps of the region: 1 or more, not below {@link #minCopies(int)}. */
        public Builder maxCopies(int copies) { return with(() -> maxCopies = positive(copies, "maximum copies")); }

        /** IPv4 address of the local store daemon, such as {@code 127.0.0.1}; null for none. */
        public Builder address(String dottedIPv4) {
            if (dottedIPv4 != null && !IPV4.matcher(dottedIPv4).matches()) {
                throw new IllegalArgumentException("not a dotted IPv4 address: " + dottedIPv4);
            }
            this.address = dottedIPv4;
            return this;
        }

        /** IPv4 address of the local store daemon; null for none. */
        public Builder address(Inet4Address a) { return address(a == null ? null : a.getHostAddress()); }

        /** Port of the local store daemon, 0 to 65535. */
        public Builder port(int port) {
            if (port < 0 || port > 65535) {
                throw new IllegalArgumentException("port out of range 0..65535: " + port);
            }
            this.port = port;
            return this;
        }

        /** Index (0 or more) of the local store daemon in the cluster configuration. */
        public Builder localIndex(int index) { return with(() -> localIndex = notNegative(index, "local index")); }

        /** Cluster configuration file; null for the embedded cluster inside this process. */
        public Builder configFile(Path file) { return configFile(file == null ? null : file.toString()); }

        /** Cluster configuration file by name, as {@link StoreAdmin} takes it; null or empty for none. */
        public Builder configFile(String file) { return with(() -> configFile = text(file, "configuration file name")); }

        /** How long the store client spins, in microseconds (0 for not at all), before it sleeps in a wait. */
        public Builder busyWaitMicros(int micros) { return with(() -> busyWaitMicros = notNegative(micros, "busy-wait")); }

        /** Longest single wait for the store in milliseconds, 0 (poll) or more; a call waits as often as needed. */
        public Builder sleepWaitMillis(int millis) { return with(() -> sleepWaitMillis = notNegative(millis, "sleep-wait")); }

        /** Name of the store configuration this region belongs to (see above), or null for none. */
        public Builder storeConfigName(String name) { return with(() -> storeConfigName = text(name, "store configuration name")); }

        /** I/O buffer size hint passed to the device, in bytes (1 or more). */
        public Builder ioBufferSize(int bytes) { return with(() -> ioBufferSize = positive(bytes, "I/O buffer size")); }

        /**
         * The configuration that {@link #open()} passes to the device, in the
         * order passed, as key and decimal (or dotted address) text; the
         * handle key that each open adds is not included.
         *
         * @return an unmodifiable ordered map
         * @throws IllegalStateException when the configuration is incomplete
         *         or inconsistent
         */
        public Map<String, String> configuration() {
            if (regionSize < 0) {
                throw new IllegalStateException("region size not set for region '" + regionName + "'");
            }
            if (minCopies > maxCopies) {
                throw new IllegalStateException("minimum copies " + minCopies + " above maximum copies "
                        + maxCopies);
            }
            Map<String, String> m = new LinkedHashMap<>();
            if (storeConfigName != null) {
                m.put("StoreConfigName", storeConfigName);
            }
            if (address != null) {
                m.put("Address", address);
            }
            m.put("BlockSize", Integer.toString(blockSize));
            m.put("BusyWaitMicroSeconds", Integer.toString(busyWaitMicros));
            m.put("ConfigFileName", configFile == null ? "" : configFile);
            if (ioBufferSize > 0) {
                m.put("IoBufferSize", Integer.toString(ioBufferSize));
            }
            m.put("LocalIndex", Integer.toString(localIndex));
            m.put("MaxReplicaCount", Integer.toString(maxCopies));
            m.put("MinReplicaCount", Integer.toString(minCopies));
            if (port >= 0) {
                m.put("Port", Integer.toString(port));
            }
            m.put("RegionSize", Long.toString(regionSize));
            m.put("SleepWaitMilliSeconds", Integer.toString(sleepWaitMillis));
            return Collections.unmodifiableMap(m);
        }

        /**
         * Opens the region with a handle of its own, loading the native
         * libraries first if needed.
         *
         * @return the open channel
         * @throws IllegalStateException when the configuration is incomplete
         *         or inconsistent
         * @throws IOException when the store refuses the open, or all handles
         *         of the process are in use
         * @throws UnsatisfiedLinkError when the native libraries cannot be loaded
         */
        public ReplicatedFileChannel open() throws IOException {
            return ReplicatedFileChannel.open(regionName, configuration(), HandleAllocator.process());
        }

        /** Runs the assignment {@code set} and returns this builder. */
        private Builder with(Runnable set) {
            set.run();
            return this;
        }

        private static int positive(int v, String what) {
            if (v <= 0) {
                throw new IllegalArgumentException(what + " must be positive: " + v);
            }
            return v;
        }

        private static int notNegative(int v, String what) {
            if (v < 0) {
                throw new IllegalArgumentException(what + " must not be negative: " + v);
            }
            return v;
        }

        /** A name as given, null for none; one the store cannot take exactly is refused. */
        private static String text(String s, String what) {
            if (s == null || s.isEmpty()) {
                return null;
            }
            String problem = MirrorbankApi.nameProblem(s, what);
            if (problem != null) {
                throw new IllegalArgumentException(problem);
            }
            return s;
        }
    }
}
