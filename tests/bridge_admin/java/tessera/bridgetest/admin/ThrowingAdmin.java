package tessera.bridgetest.admin;

import java.util.ArrayList;
import java.util.List;

import tessera.store.io.file.ReplicatedStoreAdmin;

/**
 * Admin object whose listing callbacks can be told to throw.
 *
 * <p>Counts every call the native side makes to {@link #addRegionInfo} and
 * {@link #addDaemonInfo}, including the one that throws, so that a test can
 * tell whether the native side called Java again after a failure.
 */
public class ThrowingAdmin extends ReplicatedStoreAdmin {
    private int regionCalls;
    private int daemonCalls;
    private int throwAtRegionCall = -1;
    private int throwAtDaemonCall = -1;
    private final List<String> regionNames = new ArrayList<>();

    /** The n-th addRegionInfo call (1-based) throws; -1 never. */
    public void throwAtRegionCall(int n) {
        throwAtRegionCall = n;
    }

    /** The n-th addDaemonInfo call (1-based) throws; -1 never. */
    public void throwAtDaemonCall(int n) {
        throwAtDaemonCall = n;
    }

    public int regionCalls() {
        return regionCalls;
    }

    public int daemonCalls() {
        return daemonCalls;
    }

    /** Names of every addRegionInfo call, in order, joined with '|'. */
    public String regionNames() {
        return String.join("|", regionNames);
    }

    @Override
    protected void addRegionInfo(String name, int size, int used, int blocksize, long ctime, long mtime,
            long atime, boolean open, boolean local, int primary, int pid, String ip, int minRedundancy,
            int redundancy, long nodes) {
        regionCalls++;
        regionNames.add(name);
        if (regionCalls == throwAtRegionCall) {
            throw new IllegalStateException("addRegionInfo told to throw");
        }
        super.addRegionInfo(name, size, used, blocksize, ctime, mtime, atime, open, local, primary, pid, ip,
                minRedundancy, redundancy, nodes);
    }

    @Override
    protected void addDaemonInfo(int index, String status, int reachable, String ip, short port, int shmKey,
            long startTime, long currentTime, long totalMemory, long usedMemory, int numberStores,
            int numberOpens, int numberLocalOpens, int numberResilvers, int numberDaemons) {
        daemonCalls++;
        if (daemonCalls == throwAtDaemonCall) {
            throw new IllegalStateException("addDaemonInfo told to throw");
        }
        super.addDaemonInfo(index, status, reachable, ip, port, shmKey, startTime, currentTime, totalMemory,
                usedMemory, numberStores, numberOpens, numberLocalOpens, numberResilvers, numberDaemons);
    }
}
