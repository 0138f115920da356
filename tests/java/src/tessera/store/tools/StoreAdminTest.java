package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNull;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.stream.Collectors;

import org.junit.After;
import org.junit.Test;
import org.junit.function.ThrowingRunnable;

import tessera.store.io.file.BridgeIoTest;
import tessera.store.io.file.ReplicatedStoreAdmin;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;
import tessera.store.io.file.StandIn;
import tessera.store.io.file.StoreAdmin;

/** The admin facade against this JVM's embedded cluster, and when the native side fails. */
public class StoreAdminTest {
    private StoreAdmin admin;

    @After
    public void detach() throws IOException {
        if (admin != null) {
            admin.close();
        }
        StandIn.reset();
    }

    private static List<String> names(List<RegionInfo> regions) {
        return regions.stream().map(RegionInfo::name).sorted().collect(Collectors.toList());
    }

    private static void assertFails(String text, ThrowingRunnable call) {
        BridgeIoTest.io(call, text); // an IOException with that text
    }

    @Test
    public void oneFacadeAtATimeAndEveryFailedAttachLeavesNothing() throws IOException {
        admin = StoreAdmin.attach(null, 1);
        assertEquals("", admin.configFile());
        assertEquals(1, admin.attachedDaemon());
        assertThrows(IllegalStateException.class, () -> StoreAdmin.attach("", 0));
        admin.close();
        admin.close();
        assertFalse(new ReplicatedStoreAdmin().isAttached());
        assertFails("closed", admin::daemons);
        assertFails("attach mb_init failed", () -> StoreAdmin.attach("/nonexistent/cluster.cfg", 0));
        assertFails("attach mb_init failed", () -> StoreAdmin.attach("", 7));
        StandIn.force("mb_admin_attach_daemon", 1, StandIn.FAIL, StandIn.DDEAD);
        assertFails("attach Failed to do admin attach to daemon 2", () -> StoreAdmin.attach("", 2));
        assertFalse("the half-made connection was finished", new ReplicatedStoreAdmin().isAttached());
        // a failed detach still closes the facade
        StoreAdmin first = StoreAdmin.attach("", 0);
        StandIn.force("mb_fini", 1, StandIn.FAIL, StandIn.OTHER);
        assertFails("detach Failed to detach from daemon 0", first::close);
        assertFalse(first.isOpen());
        admin = StoreAdmin.attach("", 0);
        assertEquals(3, admin.daemons().size());
    }

    @Test
    public void regionsAreListedFoundAndDeleted() throws IOException {
        StandIn.makeRegion("adm-listed", 10_000);
        admin = StoreAdmin.attach("", 0);
        assertEquals(List.of(0, 1, 2), admin.daemons().stream().map(d -> d.index()).toList());
        assertEquals(1L << 30, admin.daemons().get(2).totalMemory());
        RegionInfo r = admin.region("adm-listed");
        assertEquals(List.of(8L << 20, 10_000L, 2, 0b011L), List.of(r.sizeBytes(), r.usedBytes(), r.redundancy(),
                r.nodes()));
        assertEquals(List.of("adm-listed"), names(admin.globalRegions()));
        admin.attachToDaemon(2);
        assertEquals("daemon 2 holds no copy", List.of(), names(admin.localRegions()));
        assertEquals(2, admin.attachedDaemon());
        admin.deleteRegion("adm-listed", false);
        assertTrue(admin.findRegion("adm-listed").isEmpty());
        assertFails("listRegion Failed to get storeinfo for adm-listed", () -> admin.region("adm-listed"));
        // native failures are thrown and the facade stays usable
        StandIn.force("mb_admin_enumerate_daemons", 1, StandIn.FAIL, StandIn.DDEAD);
        assertFails("listDaemons Failed to enumerate daemons", admin::daemons);
        StandIn.force("mb_admin_enumerate_global_stores", 1, StandIn.FAIL, StandIn.DDEAD);
        assertFails("listGlobalRegions Failed to enumerate global stores", () -> admin.findRegion("x"));
        assertEquals(3, admin.daemons().size());
    }

    @Test
    public void recoveryListsMatchingRegionsAndTheLocalDaemon() throws IOException {
        StandIn.makeRegion("RecA-one", 100);
        StandIn.makeRegion("reca-two", 200);
        StandIn.makeRegion("other-reca", 300);
        String cfg = Files.writeString(Path.of(System.getProperty("tessera.test.workdir"), "recovery.cfg"), "")
                .toString();
        StoreAdmin.Recovery rec = StoreAdmin.recovery(1, cfg, "RECA");
        assertEquals(List.of("RecA-one", "reca-two"), names(rec.regions()));
        assertEquals(1, rec.localDaemon().index());
        assertNull(rec.localDaemon().status());
        admin = StoreAdmin.attach("", 0);
        assertEquals(admin.daemons().get(1).usedMemory(), rec.localDaemon().usedMemory());
        assertEquals(3, StoreAdmin.recovery(0, cfg, null).regions().size());
        assertFails("j_cfgfile null", () -> StoreAdmin.recovery(0, "", "x"));
    }

    @Test
    public void concurrentCallsOnOneFacadeAreSerialised() throws Exception {
        StandIn.makeRegion("adm-shared", 10);
        admin = StoreAdmin.attach("", 0);
        List<Callable<Void>> jobs = new ArrayList<>();
        for (int t = 0; t < 8; t++) {
            int me = t;
            jobs.add(() -> {
                for (int i = 0; i < 150; i++) {
                    // each listing sees exactly its own records
                    assertEquals(3, (me + i) % 2 == 0 ? admin.daemons().size() : admin.globalRegions().size() + 2);
                }
                return null;
            });
        }
        tessera.store.io.file.ReplicatedFileChannelTest.concurrently(jobs);
    }
}
