package tessera.store.io.file;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/*
 * Test-only variant: the same class without addDaemonInfo, put ahead of the
 * product jar on the class path of one test configuration. Every listing
 * must then fail before it reaches the client library.
 */

/**
 * Native administration surface of the replicated store: one admin
 * connection per process.
 *
 * <p>The listing methods push every daemon or region they find into this
 * object through addDaemonInfo and {@link #addRegionInfo}; read
 * them back with {@link #daemons()} and {@link #regions()}, and empty them
 * with {@link #clearResults()}. Methods returning int answer 1 on success
 * and -1 on failure, with an {@link java.io.IOException} thrown.
 *
 * <p>Admin calls must not run concurrently. Most users want
 * {@link StoreAdmin} instead of this class.
 */
public class ReplicatedStoreAdmin {

    /** One region as a listing reported it. */
    public record RegionInfo(String name, int size, int used, int blocksize, long ctime, long mtime,
            long atime, boolean open, boolean local, int primary, int pid, String ip, int minRedundancy,
            int redundancy, long nodes) {
        /** Region size in bytes (the native side passes the low 32 bits). */
        public long sizeBytes() {
            return Integer.toUnsignedLong(size);
        }

        /** Bytes in use (low 32 bits as passed by the native side). */
        public long usedBytes() {
            return Integer.toUnsignedLong(used);
        }
    }

    /** One daemon as a listing reported it. */
    public record DaemonInfo(int index, String status, int reachable, String ip, short port, int shmKey,
            long startTime, long currentTime, long totalMemory, long usedMemory, int numberStores,
            int numberOpens, int numberLocalOpens, int numberResilvers, int numberDaemons) {
        /** The port as an unsigned number. */
        public int portNumber() {
            return Short.toUnsignedInt(port);
        }
    }

    private final List<RegionInfo> regions = new ArrayList<>();
    private final List<DaemonInfo> daemons = new ArrayList<>();

    /** Creates an admin object; it holds no connection of its own. */
    public ReplicatedStoreAdmin() {
    }

    /** True when the process-wide admin connection exists. */
    public native boolean isAttached();

    /** Connects to the cluster through the local daemon {@code localIndex}. */
    public native int attach(String cfgFile, int localIndex);

    /** Finishes the admin connection. */
    public native void detach();

    /** Makes later admin requests address daemon {@code daemonIndex}. */
    public native int attachToDaemon(int daemonIndex);

    /** The daemon that admin requests address, or -1. */
    public native int getAttachedDaemonIndex();

    /** Shuts down the addressed daemon; {@code daemonIndex} is not used. */
    public native int shutdownDaemon(int daemonIndex, boolean force, boolean safe);

    /** Lists every daemon of the cluster into {@link #daemons()}. */
    public native int listDaemons();

    /** Lists every region of the cluster into {@link #regions()}. */
    public native int listGlobalRegions();

    /** Lists the regions of the addressed daemon into {@link #regions()}. */
    public native int listLocalRegions();

    /** Lists the named region into {@link #regions()}. */
    public native int listRegion(String regionName);

    /** Deletes the named region; {@code force} deletes it even while open. */
    public native int deleteRegion(String regionName, boolean force);

    /**
     * On a short-lived connection of its own, lists every region whose name
     * starts with {@code prefix} (ignoring ASCII case; null for all), then the
     * local daemon's index and memory figures as one daemon record.
     */
    public native int listRecoveryRegionsAndDaemon(int localIndex, String cfgFile, String prefix);

    /** Called by the native side once per listed region. */
    protected void addRegionInfo(String name, int size, int used, int blocksize, long ctime, long mtime,
            long atime, boolean open, boolean local, int primary, int pid, String ip, int minRedundancy,
            int redundancy, long nodes) {
        regions.add(new RegionInfo(name, size, used, blocksize, ctime, mtime, atime, open, local, primary,
                pid, ip, minRedundancy, redundancy, nodes));
    }

    /** Regions received since the last {@link #clearResults()}, in arrival order. */
    public List<RegionInfo> regions() {
        return Collections.unmodifiableList(new ArrayList<>(regions));
    }

    /** Daemons received since the last {@link #clearResults()}, in arrival order. */
    public List<DaemonInfo> daemons() {
        return Collections.unmodifiableList(new ArrayList<>(daemons));
    }

    /** Forgets what earlier listings delivered. */
    public void clearResults() {
        regions.clear();
        daemons.clear();
    }
}
