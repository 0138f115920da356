package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.Callable;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.stream.Collectors;

import org.junit.After;
import org.junit.Test;

import tessera.store.io.file.ReplicatedFileChannel;
import tessera.store.io.file.ReplicatedStoreAdmin;
import tessera.store.io.file.ReplicatedStoreAdmin.DaemonInfo;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;
import tessera.store.io.file.StoreAdmin;

/** The admin facade against the embedded cluster of this JVM. */
public class StoreAdminTest {
    private static final long GIB = 1L << 30;

    private StoreAdmin admin;

    @After
    public void detach() throws IOException {
        if (admin != null) {
            admin.close();
        }
    }

    /** Creates a region with {@code used} bytes written and closes it again. */
    static void makeRegion(String name, long size, int used, int maxCopies) throws IOException {
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder(name).regionSize(size).maxCopies(maxCopies)
                .open()) {
            ByteBuffer b = ByteBuffer.allocate(used);
            while (b.hasRemaining()) {
                ch.write(b);
            }
        }
    }

    private static List<String> names(List<RegionInfo> regions) {
        return regions.stream().map(RegionInfo::name).collect(Collectors.toList());
    }

    // ---- connection life cycle ----

    @Test
    public void oneFacadeAtATimeAndCloseDetaches() throws IOException {
        admin = StoreAdmin.attach("", 0);
        assertTrue(admin.isOpen());
        assertTrue(new ReplicatedStoreAdmin().isAttached());
        assertThrows(IllegalStateException.class, () -> StoreAdmin.attach("", 1));

        admin.close();
        assertFalse(admin.isOpen());
        assertFalse("close detaches the process-wide connection", new ReplicatedStoreAdmin().isAttached());
        admin.close(); // a second close does nothing
        IOException e = assertThrows(IOException.class, admin::daemons);
        assertTrue(e.getMessage(), e.getMessage().contains("closed"));
        assertThrows(IOException.class, () -> admin.deleteRegion("x", false));

        admin = StoreAdmin.attach(null, 1);
        assertEquals("", admin.configFile());
        assertEquals(1, admin.localIndex());
        assertEquals("the local daemon is addressed after attach", 1, admin.attachedDaemon());
    }

    @Test
    public void failedAttachLeavesNoConnectionAndNoFacade() throws IOException {
        IOException e = assertThrows(IOException.class,
                () -> StoreAdmin.attach("/nonexistent/tessera/cluster.cfg", 0));
        assertTrue(e.getMessage(), e.getMessage().contains("attach mb_init failed"));
        assertFalse(new ReplicatedStoreAdmin().isAttached());

        // A local index the embedded cluster does not have fails in the same place.
        e = assertThrows(IOException.class, () -> StoreAdmin.attach("", 7));
        assertTrue(e.getMessage(), e.getMessage().contains("attach mb_init failed"));

        admin = StoreAdmin.attach("", 0);
        assertEquals(3, admin.daemons().size());
    }

    // ---- listings ----

    @Test
    public void daemonsOfTheEmbeddedCluster() throws IOException {
        admin = StoreAdmin.attach("", 0);
        List<DaemonInfo> daemons = admin.daemons();
        assertEquals(3, daemons.size());
        for (int i = 0; i < 3; i++) {
            DaemonInfo d = daemons.get(i);
            assertEquals(i, d.index());
            assertEquals("UP", d.status());
            assertEquals(GIB, d.totalMemory());
            assertEquals(3, d.numberDaemons());
            assertEquals("127.0.0.1", d.ip());
            assertEquals(7001 + i, d.portNumber());
        }
        // Listings do not accumulate: the same call gives the same records.
        assertEquals(daemons, admin.daemons());
    }

    @Test
    public void regionsAreListedFoundAndDeleted() throws IOException {
        makeRegion("adm-listed", 8L << 20, 10_000, 2);
        admin = StoreAdmin.attach("", 0);

        RegionInfo r = admin.region("adm-listed");
        assertEquals("adm-listed", r.name());
        assertEquals(8L << 20, r.sizeBytes());
        assertEquals(10_000, r.usedBytes());
        assertEquals(4096, r.blocksize());
        assertEquals(2, r.redundancy());
        assertEquals("primary on the opener's local daemon", 0, r.primary());
        assertEquals("copies on daemons 0 and 1", 0b011, r.nodes());
        assertFalse(r.open());

        assertTrue(names(admin.globalRegions()).contains("adm-listed"));
        assertEquals(Optional.of(r).map(RegionInfo::sizeBytes), admin.findRegion("adm-listed").map(RegionInfo::sizeBytes));
        assertTrue(names(admin.localRegions()).contains("adm-listed"));

        admin.attachToDaemon(2);
        assertEquals(2, admin.attachedDaemon());
        assertFalse("daemon 2 holds no copy", names(admin.localRegions()).contains("adm-listed"));
        admin.attachToDaemon(1);
        assertTrue(names(admin.localRegions()).contains("adm-listed"));

        admin.deleteRegion("adm-listed", false);
        assertTrue(admin.findRegion("adm-listed").isEmpty());
        assertFalse(names(admin.globalRegions()).contains("adm-listed"));
        IOException e = assertThrows(IOException.class, () -> admin.region("adm-listed"));
        assertTrue(e.getMessage(), e.getMessage().contains("listRegion Failed to get storeinfo for adm-listed"));
    }

    @Test
    public void anOpenRegionIsDeletedOnlyWithForce() throws IOException {
        admin = StoreAdmin.attach("", 0);
        try (ReplicatedFileChannel ch = ReplicatedFileChannel.builder("adm-open").regionSize(1 << 20).open()) {
            ch.write(ByteBuffer.wrap(new byte[] {1, 2, 3}), 0);
            assertTrue(admin.region("adm-open").open());
            IOException e = assertThrows(IOException.class, () -> admin.deleteRegion("adm-open", false));
            assertTrue(e.getMessage(), e.getMessage().contains("Failed to delete store adm-open"));
            assertTrue(admin.findRegion("adm-open").isPresent());

            admin.deleteRegion("adm-open", true);
            assertTrue(admin.findRegion("adm-open").isEmpty());
        }
    }

    @Test
    public void nativeFailuresArriveAsTheirIOException() throws IOException {
        admin = StoreAdmin.attach("", 0);
        IOException e = assertThrows(IOException.class, () -> admin.attachToDaemon(99));
        assertTrue(e.getMessage(), e.getMessage().contains("attachToDaemon Failed to attach to daemon 99"));
        assertEquals("a failed re-target keeps the addressed daemon", 0, admin.attachedDaemon());

        e = assertThrows(IOException.class, () -> admin.deleteRegion("adm-never-made", false));
        assertTrue(e.getMessage(), e.getMessage().contains("Failed to delete store adm-never-made"));
        // The facade stays usable after failures.
        assertEquals(3, admin.daemons().size());
    }

    @Test
    public void recoveryListsMatchingRegionsAndTheLocalDaemon() throws IOException {
        makeRegion("RecA-one", 1 << 20, 100, 2);
        makeRegion("reca-two", 2 << 20, 200, 2);
        makeRegion("other-reca", 1 << 20, 300, 2);
        Path cfg = Files.createTempFile("recovery-", ".cfg");
        try {
            StoreAdmin.Recovery rec = StoreAdmin.recovery(1, cfg.toString(), "RECA");
            assertEquals(List.of("RecA-one", "reca-two"), names(rec.regions()).stream().sorted()
                    .collect(Collectors.toList()));
            DaemonInfo local = rec.localDaemon();
            assertEquals(1, local.index());
            assertEquals(GIB, local.totalMemory());
            assertEquals(null, local.status());

            admin = StoreAdmin.attach("", 0);
            assertEquals(admin.daemons().get(1).usedMemory(), local.usedMemory());

            // Recovery runs on a connection of its own, also while the facade is attached.
            List<String> all = names(StoreAdmin.recovery(0, cfg.toString(), null).regions());
            assertTrue(all.containsAll(List.of("RecA-one", "reca-two", "other-reca")));
        } finally {
            Files.delete(cfg);
        }
        IOException e = assertThrows(IOException.class, () -> StoreAdmin.recovery(0, "", "x"));
        assertTrue(e.getMessage(), e.getMessage().contains("j_cfgfile null"));
    }

    // ---- sharing ----

    @Test
    public void concurrentCallsOnOneFacadeAreSerialised() throws Exception {
        makeRegion("adm-shared", 1 << 20, 10, 2);
        admin = StoreAdmin.attach("", 0);
        int threads = 8;
        int rounds = 150;
        CyclicBarrier start = new CyclicBarrier(threads);
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            List<Future<Integer>> results = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                final int me = t;
                Callable<Integer> job = () -> {
                    start.await();
                    int checked = 0;
                    for (int i = 0; i < rounds; i++) {
                        if ((me + i) % 2 == 0) {
                            // Each listing must see exactly its own records.
                            assertEquals(3, admin.daemons().size());
                        } else {
                            assertEquals(1, admin.globalRegions().stream()
                                    .filter(r -> r.name().equals("adm-shared")).count());
                        }
                        checked++;
                    }
                    return checked;
                };
                results.add(pool.submit(job));
            }
            for (Future<Integer> f : results) {
                assertEquals(Integer.valueOf(rounds), f.get());
            }
        } finally {
            pool.shutdownNow();
        }
    }
}
