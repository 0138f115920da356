package tessera.store.io.file;

import java.io.IOException;
import java.util.BitSet;

/**
 * Hands out the native file handles of this process.
 *
 * <p>The native device keeps a fixed table of {@value #CAPACITY} open-file
 * records and lets the caller choose the record of each open. This allocator
 * makes that choice for every {@link ReplicatedFileChannel}: it gives out the
 * lowest free handle and takes it back once the channel is closed, so a
 * closed channel's handle is reused by a later open. All methods are
 * thread-safe.
 */
final class HandleAllocator {
    /** Number of handles the native side offers: 0 to 9999. */
    static final int CAPACITY = 10000;

    private static final HandleAllocator PROCESS = new HandleAllocator(CAPACITY);

    private final int capacity;
    private final BitSet used;
    private int inUse;

    /** An allocator over handles 0 to {@code capacity - 1}. */
    HandleAllocator(int capacity) {
        if (capacity <= 0) {
            throw new IllegalArgumentException("capacity must be positive: " + capacity);
        }
        this.capacity = capacity;
        this.used = new BitSet(capacity);
    }

    /** The allocator that every channel of this process draws from. */
    static HandleAllocator process() {
        return PROCESS;
    }

    /**
     * Takes the lowest free handle.
     *
     * @throws IOException when all handles are taken
     */
    synchronized int allocate() throws IOException {
        int h = used.nextClearBit(0);
        if (h >= capacity) {
            throw new IOException("no free replicated file handle: all " + capacity
                    + " handles of this process are held by open channels; close a channel first");
        }
        used.set(h);
        inUse++;
        return h;
    }

    /**
     * Gives a handle back; it may be handed out again at once.
     *
     * @throws IllegalStateException when the handle is not allocated
     */
    synchronized void release(int handle) {
        if (handle < 0 || handle >= capacity || !used.get(handle)) {
            throw new IllegalStateException("handle " + handle + " is not allocated");
        }
        used.clear(handle);
        inUse--;
    }

    /** True when {@code handle} is currently handed out. */
    synchronized boolean isAllocated(int handle) {
        return handle >= 0 && handle < capacity && used.get(handle);
    }

    /** Number of handles currently handed out. */
    synchronized int inUse() {
        return inUse;
    }

    /** Number of handles this allocator manages. */
    int capacity() {
        return capacity;
    }
}
