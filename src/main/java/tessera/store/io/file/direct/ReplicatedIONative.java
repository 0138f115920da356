package tessera.store.io.file.direct;

/**
 * Native entry points of the replicated file device.
 *
 * <p>Every method is a thin binding to the native bridge. A handle is the
 * table index (0 to 9999) that the caller chose through the
 * {@code CandidateHandle} configuration key; -1 results mean failure, and
 * unless documented otherwise a Java exception is then pending and is
 * thrown when the method returns.
 *
 * <p>Calls on one handle must not overlap; different handles are
 * independent. Most users want {@link tessera.store.io.file.ReplicatedFileChannel}
 * instead of this class.
 */
public final class ReplicatedIONative {
    private ReplicatedIONative() {
    }

    /** Opens region {@code fname}; returns the handle or -1. {@code mode} is ignored. */
    public static native long open(String fname, String mode, String[] configurationKeys,
            String[] configurationValues);

    /** As {@link #open}; {@code exclusive} is accepted and ignored. */
    public static native long openConsiderLock(String fname, String mode, boolean exclusive,
            String[] configurationKeys, String[] configurationValues);

    /** Closes the region and finalises its connection; a second close does nothing. */
    public static native void close(long handle);

    /** The file length: the highest byte written, as seen by this handle. */
    public static native long getSize(long handle);

    /**
     * Reads up to {@code length} bytes at {@code filePosition} into the direct
     * buffer {@code buf} at {@code offset}. Returns the count read (cut at the
     * file length), 0 at the file length, or -1.
     *
     * <p>Refused with an exception: a buffer that is not direct, a read-only
     * buffer, a range outside the buffer's capacity, a negative position or
     * one whose range does not fit the region. Not detected (each would cost
     * more than the transfer): a buffer that maps a file which was truncated
     * below the range (the process then dies of a bus error), a buffer freed
     * or unmapped while the call runs, and another call on the same handle at
     * the same time. {@link tessera.store.io.file.ReplicatedFileChannel}
     * checks what can be checked cheaply.
     */
    public static native int read(long handle, long filePosition, Object buf, int offset, int length);

    /**
     * Writes {@code length} bytes from the direct buffer {@code buf} at
     * {@code offset}; returns length or -1.
     *
     * <p>Refused and not detected as for {@link #read}, except that a
     * read-only buffer may be the source. In particular the bytes are copied
     * straight from the buffer's memory: a file mapping whose file was
     * truncated below the range ends the process with a bus error.
     */
    public static native int write(long handle, long filePosition, Object buf, int offset, int length);

    /** Not offered by this device: always throws. */
    public static native Object allocate(int size);

    /** Not offered by this device: always throws. */
    public static native void free(Object buf);

    /** Not offered by this device: always throws. */
    public static native void fillBuffer(Object buf, int offset, int length, byte value);

    /** Not offered by this device: always throws. */
    public static native int checkAlignment(String fname);

    /** Memory configured for regions on the local daemon, in bytes, or -1. */
    public static native long getDeviceLimit(long handle);

    /** Memory in use on the local daemon, in bytes, or -1. */
    public static native long getDeviceUsed(long handle);
}
