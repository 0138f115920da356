package tessera.store.io.file;

import java.io.IOException;
import java.util.List;
import java.util.Objects;
import java.util.Optional;
import java.util.function.IntSupplier;

import tessera.store.io.file.ReplicatedStoreAdmin.DaemonInfo;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;
import tessera.store.io.file.direct.MirrorbankApi;

/**
 * Administration of the replicated store cluster: lists daemons and regions,
 * deletes regions, re-targets and shuts down daemons.
 *
 * <p>A {@code StoreAdmin} holds the process-wide admin connection from
 * {@link #attach} until {@link #close}. The native side keeps exactly one
 * such connection per process, so at most one {@code StoreAdmin} is open at a
 * time; a second {@link #attach} while one is open is refused. All calls of
 * every {@code StoreAdmin} (and {@link #recovery}) are serialised on one
 * process-wide lock, so the object may be shared between threads.
 *
 * <pre>{@code
 * try (StoreAdmin admin = StoreAdmin.attach("", 0)) {   // "" = embedded cluster
 *     for (ReplicatedStoreAdmin.DaemonInfo d : admin.daemons()) {
 *         System.out.println(d.index() + " " + d.status());
 *     }
 * }
 * }</pre>
 *
 * <p>Every failure reported by the native side arrives as the
 * {@link IOException} it raised, whose text carries the client library's
 * status, error and message. A region name, prefix or configuration file
 * name that the store cannot take exactly (see
 * {@link MirrorbankApi#nameProblem}) is refused with an {@link IOException}
 * before the cluster is asked anything.
 */
public final class StoreAdmin implements AutoCloseable {

    /**
     * What a recovery listing found.
     *
     * @param regions the regions whose names matched the prefix, in listing order
     * @param localDaemon the local daemon: index and memory figures, all other fields zero or null
     */
    public record Recovery(List<RegionInfo> regions, DaemonInfo localDaemon) {
        /**
         * Copies the region list so that the record cannot change afterwards.
         *
         * @param regions the regions found
         * @param localDaemon the local daemon; not null
         */
        public Recovery {
            regions = List.copyOf(regions);
            Objects.requireNonNull(localDaemon, "localDaemon");
        }
    }

    /** Serialises every admin call of the process: the native admin state is unguarded. */
    private static final Object LOCK = new Object();
    /** The open facade, or null; guarded by {@link #LOCK}. */
    private static StoreAdmin current;

    private final ReplicatedStoreAdmin nativeAdmin;
    private final String configFile;
    private final int localIndex;
    private boolean closed;

    private StoreAdmin(ReplicatedStoreAdmin nativeAdmin, String configFile, int localIndex) {
        this.nativeAdmin = nativeAdmin;
        this.configFile = configFile;
        this.localIndex = localIndex;
    }

    /**
     * Attaches to the cluster through local daemon {@code localIndex}.
     *
     * @param cfgFile cluster configuration file; null or empty for the
     *        embedded cluster of this process
     * @param localIndex index of the local daemon; it is also the daemon that
     *        admin requests address until {@link #attachToDaemon}
     * @return the open facade; close it to detach
     * @throws IOException when {@code cfgFile} is a name the store cannot
     *         take exactly, or the native side cannot attach
     * @throws IllegalStateException when another {@code StoreAdmin} is open
     */
    public static StoreAdmin attach(String cfgFile, int localIndex) throws IOException {
        String cfg = cfgFile == null ? "" : checkName(cfgFile, "configuration file name");
        NativeLibrary.load();
        synchronized (LOCK) {
            if (current != null) {
                throw new IllegalStateException(
                        "the admin connection of this process is held by another StoreAdmin; close it first");
            }
            ReplicatedStoreAdmin admin = new ReplicatedStoreAdmin();
            int rc;
            try {
                rc = admin.attach(cfg, localIndex);
            } catch (Exception e) {
                // The native side raises its IOException from here. A failure
                // after the connection was made leaves it recorded; finish it
                // so that nothing half-made outlives this call.
                dropFailedAttach(admin, e);
                throw e;
            }
            if (rc != 1) {
                IOException e = new IOException("attach to local daemon " + localIndex + " failed (result " + rc + ")");
                dropFailedAttach(admin, e);
                throw e;
            }
            StoreAdmin facade = new StoreAdmin(admin, cfg, localIndex);
            current = facade;
            return facade;
        }
    }

    /** Finishes a connection that a failed attach left recorded; its own failure is attached to {@code cause}. */
    private static void dropFailedAttach(ReplicatedStoreAdmin admin, Throwable cause) {
        if (admin.isAttached()) {
            try {
                admin.detach();
            } catch (Exception e) {
                // The attach failure is what the caller needs to see first.
                if (cause != null) {
                    cause.addSuppressed(e);
                }
            }
        }
    }

    /**
     * Runs a recovery listing on a short-lived connection of its own: every
     * region whose name starts with {@code prefix} (ASCII case ignored), then
     * the local daemon's index and memory figures. Needs no {@link #attach}.
     *
     * <p>Region sizes in the result are the low 32 bits of the byte count, as
     * delivered by the native side.
     *
     * @param localIndex index of the local daemon
     * @param cfgFile cluster configuration file; must not be null or empty
     * @param prefix region-name prefix; null lists every region
     * @return the regions found and the local daemon
     * @throws IOException when the listing fails
     */
    public static Recovery recovery(int localIndex, String cfgFile, String prefix) throws IOException {
        if (cfgFile != null) {
            checkName(cfgFile, "configuration file name");
        }
        if (prefix != null) {
            checkName(prefix, "region-name prefix");
        }
        NativeLibrary.load();
        synchronized (LOCK) {
            ReplicatedStoreAdmin admin = new ReplicatedStoreAdmin();
            int rc = admin.listRecoveryRegionsAndDaemon(localIndex, cfgFile, prefix);
            checkResult(rc, "recovery listing");
            List<DaemonInfo> daemons = admin.daemons();
            if (daemons.size() != 1) {
                throw new IOException("recovery listing reported " + daemons.size()
                        + " local daemon records instead of one");
            }
            return new Recovery(admin.regions(), daemons.get(0));
        }
    }

    /**
     * The configuration file this facade attached with.
     *
     * @return the file name, "" for the embedded cluster
     */
    public String configFile() {
        return configFile;
    }

    /**
     * The local daemon index this facade attached with.
     *
     * @return the index
     */
    public int localIndex() {
        return localIndex;
    }

    /**
     * Whether this facade still holds the admin connection.
     *
     * @return true until {@link #close} has been called
     */
    public boolean isOpen() {
        synchronized (LOCK) {
            return !closed;
        }
    }

    /**
     * Every daemon of the cluster.
     *
     * @return the daemons in the order the cluster listed them
     * @throws IOException when the listing fails
     */
    public List<DaemonInfo> daemons() throws IOException {
        synchronized (LOCK) {
            ensureOpen();
            nativeAdmin.clearResults();
            checkResult(nativeAdmin.listDaemons(), "daemon listing");
            return nativeAdmin.daemons();
        }
    }

    /**
     * Every region of the cluster. Sizes are the low 32 bits of the byte count
     * (see {@link RegionInfo#sizeBytes()}).
     *
     * @return the regions in the order the cluster listed them
     * @throws IOException when the listing fails
     */
    public List<RegionInfo> globalRegions() throws IOException {
        return regionListing(nativeAdmin::listGlobalRegions, "global region listing");
    }

    /**
     * The regions of the daemon that admin requests address.
     *
     * @return the regions in the order the daemon listed them
     * @throws IOException when the listing fails
     */
    public List<RegionInfo> localRegions() throws IOException {
        return regionListing(nativeAdmin::listLocalRegions, "local region listing");
    }

    /**
     * The named region.
     *
     * @param name region name
     * @return its record
     * @throws IOException when the region does not exist or the query fails
     */
    public RegionInfo region(String name) throws IOException {
        checkName(name, "region name");
        List<RegionInfo> found = regionListing(() -> nativeAdmin.listRegion(name), "region query");
        if (found.isEmpty()) {
            throw new IOException("region query for " + name + " delivered no record");
        }
        return found.get(0);
    }

    /**
     * The named region, looked up in the global listing; empty when the
     * cluster has no region of exactly that name.
     *
     * @param name region name
     * @return its record, or empty
     * @throws IOException when the listing fails
     */
    public Optional<RegionInfo> findRegion(String name) throws IOException {
        checkName(name, "region name");
        return globalRegions().stream().filter(r -> name.equals(r.name())).findFirst();
    }

    /**
     * Deletes the named region.
     *
     * @param name region name
     * @param force true deletes it even while it is open
     * @throws IOException when the deletion fails
     */
    public void deleteRegion(String name, boolean force) throws IOException {
        checkName(name, "region name");
        synchronized (LOCK) {
            ensureOpen();
            checkResult(nativeAdmin.deleteRegion(name, force), "deletion of region " + name);
        }
    }

    /**
     * Makes later admin requests (local listing, shutdown) address daemon
     * {@code daemonIndex}.
     *
     * @param daemonIndex the daemon to address
     * @throws IOException when the daemon cannot be addressed
     */
    public void attachToDaemon(int daemonIndex) throws IOException {
        synchronized (LOCK) {
            ensureOpen();
            checkResult(nativeAdmin.attachToDaemon(daemonIndex), "attach to daemon " + daemonIndex);
        }
    }

    /**
     * The daemon that admin requests address.
     *
     * @return its index
     * @throws IOException when the query fails
     */
    public int attachedDaemon() throws IOException {
        synchronized (LOCK) {
            ensureOpen();
            int index = nativeAdmin.getAttachedDaemonIndex();
            checkResult(index < 0 ? -1 : 1, "attached daemon query");
            return index;
        }
    }

    /**
     * Shuts down the daemon that admin requests address.
     *
     * @param force shut down even while regions are open
     *        ({@link MirrorbankApi#MB_SHUTDOWN_FORCE})
     * @param safe shut down only when no region loses its last copy
     *        ({@link MirrorbankApi#MB_SHUTDOWN_SAFE})
     * @throws IOException when the shutdown is refused or fails
     */
    public void shutdownDaemon(boolean force, boolean safe) throws IOException {
        synchronized (LOCK) {
            ensureOpen();
            // The native side always shuts down the addressed daemon; the index is not used.
            checkResult(nativeAdmin.shutdownDaemon(-1, force, safe), "daemon shutdown");
        }
    }

    /**
     * Detaches the admin connection. A second close does nothing. Even when
     * detaching fails, this facade is closed afterwards and another
     * {@code StoreAdmin} may attach.
     *
     * @throws IOException when the native side reports the detach as failed
     */
    @Override
    public void close() throws IOException {
        synchronized (LOCK) {
            if (closed) {
                return;
            }
            closed = true;
            if (current == this) {
                current = null;
            }
            nativeAdmin.detach();
        }
    }

    private List<RegionInfo> regionListing(IntSupplier call, String what) throws IOException {
        synchronized (LOCK) {
            ensureOpen();
            nativeAdmin.clearResults();
            checkResult(call.getAsInt(), what);
            return nativeAdmin.regions();
        }
    }

    private void ensureOpen() throws IOException {
        if (closed) {
            throw new IOException("StoreAdmin is closed");
        }
    }

    /** The name, when the store can take it exactly. */
    private static String checkName(String name, String what) throws IOException {
        String problem = MirrorbankApi.nameProblem(Objects.requireNonNull(name, what), what);
        if (problem != null) {
            throw new IOException(problem);
        }
        return name;
    }

    /** A native result other than 1 with no exception thrown still has to fail. */
    private static void checkResult(int rc, String what) throws IOException {
        if (rc != 1) {
            throw new IOException(what + " failed (result " + rc + ")");
        }
    }
}
