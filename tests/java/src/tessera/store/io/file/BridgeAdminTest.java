package tessera.store.io.file;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;
import static tessera.store.io.file.BridgeIoTest.INSTRUMENTED;
import static tessera.store.io.file.BridgeIoTest.io;
import static tessera.store.io.file.BridgeIoTest.status;
import static tessera.store.io.file.StandIn.*;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;

import org.junit.After;
import org.junit.Before;
import org.junit.BeforeClass;
import org.junit.Test;

import tessera.store.io.file.ReplicatedStoreAdmin.DaemonInfo;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;

/** The admin natives against the stand-in: the connection, listings, deletion, recovery, faults. */
public class BridgeAdminTest {
    static String cfg;
    private final ReplicatedStoreAdmin admin = new ReplicatedStoreAdmin();

    @BeforeClass
    public static void clusterFile() throws IOException {
        cfg = Files.writeString(Path.of(System.getProperty("tessera.test.workdir"), "admin.cfg"), "daemons 3\n")
                .toString();
    }

    @Before
    public void fresh() {
        reset();
        journal(true);
    }

    @After
    public void detach() {
        if (admin.isAttached()) {
            admin.detach();
        }
        clean();
    }

    static List<String> names(List<RegionInfo> regions) {
        return regions.stream().map(RegionInfo::name).collect(Collectors.toList());
    }

    @Test
    public void attachRetargetShutdownAndDetach() {
        assertFalse(admin.isAttached());
        assertEquals(1, admin.attach(cfg, 1));
        assertTrue(admin.isAttached());
        assertEquals(1, admin.getAttachedDaemonIndex());
        String init = take("mb_init").get(0);
        assertTrue(init, init.matches("mb_init trace_level=\\d ip=0x00000000 localport=0x0000 localindex=1 "
                + "busywait=100 timeout=1000 ccb=[01] cfg_filename=.*/admin.cfg"));
        assertEquals(1, admin.attach(cfg, 2));
        assertEquals("attaching again finishes the earlier connection", List.of("mb_fini", "mb_init"),
                takeOps("mb_init", "mb_fini"));
        assertEquals(1, liveConnections());
        assertEquals(2, admin.getAttachedDaemonIndex());
        assertEquals(1, admin.attachToDaemon(0));
        for (boolean force : new boolean[] {false, true}) {
            for (boolean safe : new boolean[] {false, true}) {
                assertEquals("the index argument is ignored", 1, admin.shutdownDaemon(2, force, safe));
                assertFalse(daemonUp(0));
                assertTrue(daemonUp(2));
                setDaemonUp(0, true);
            }
        }
        assertEquals(List.of("flags=0x0", "flags=0x40", "flags=0x10", "flags=0x50"),
                take("mb_admin_shutdown_daemon").stream().map(l -> l.replaceAll(".* ", "")).toList());
        io(() -> admin.attachToDaemon(9), "attachToDaemon Failed to attach to daemon 9", status(INVAL));
        assertEquals("a failed re-target keeps the old one", 0, admin.getAttachedDaemonIndex());
        admin.detach();
        assertFalse(admin.isAttached());
        assertEquals(0, liveConnections());
    }

    @Test
    public void withoutAConnectionEverythingFailsAsDoFailedAttachesAndDetaches() {
        String s = status(NULLCTX);
        io(admin::detach, "detach Failed to detach from daemon -1", s);
        io(() -> admin.attachToDaemon(1), "attachToDaemon Failed to attach to daemon 1", s);
        io(() -> admin.shutdownDaemon(0, true, true), "shutdownDaemon Failed to shutdown daemon -1", s);
        io(admin::listDaemons, "listDaemons Failed to enumerate daemons", s);
        io(admin::listLocalRegions, "listLocalRegions Failed to enumerate local stores", s);
        io(() -> admin.deleteRegion("r1", false), "deleteRegion Failed to delete store r1", s);
        take();
        io(() -> admin.attach(null, 0), "attach j_cfgfile null");
        assertEquals(List.of(), take());
        io(() -> admin.attach("/nonexistent/cluster.cfg", 0), "attach mb_init failed", status(NOCFG));
        assertFalse(admin.isAttached());
        force("mb_admin_get_attached_daemon", 1, FAIL, DDEAD);
        io(() -> admin.attach(cfg, 1), "attach Failed to get attached daemon", status(DDEAD));
        force("mb_admin_attach_daemon", 1, FAIL, DDEAD);
        io(() -> admin.attach(cfg, 1), "attach Failed to do admin attach to daemon 1", status(DDEAD));
        assertTrue("the new connection is kept", admin.isAttached());
        assertEquals(1, liveConnections());
        force("mb_fini", 1, FAIL, OTHER);
        io(admin::detach, "detach Failed to detach from daemon", status(OTHER));
        assertTrue(admin.isAttached());
        admin.detach();
        assertEquals(0, liveConnections());
    }

    @Test
    public void listingsReachJavaConverted() {
        listedRegions(new String[] {"big", "other"});
        listedDaemons(true);
        assertEquals(1, admin.attach(cfg, 0));
        assertTrue("the same records, dumped on standard output as well", adminConsole(true));
        try {
            assertEquals(1, admin.listRecoveryRegionsAndDaemon(0, cfg, "BI"));
            assertEquals(List.of("big"), names(admin.regions()));
            listingsConverted();
        } finally {
            adminConsole(false);
        }
        admin.clearResults();
        listingsConverted();
    }

    private void listingsConverted() {
        for (int listing = 0; listing < 3; listing++) {
            admin.clearResults();
            assertEquals(1, listing == 0 ? admin.listGlobalRegions() : listing == 1 ? admin.listLocalRegions()
                    : admin.listRegion("big"));
            RegionInfo big = admin.regions().get(0);
            // sizes keep their low 32 bits; any non-zero open flag is true
            assertEquals(List.of("big", 1L << 30, 7L, "10.1.2.3", true, 0x8000000000000005L),
                    List.of(big.name(), big.sizeBytes(), big.usedBytes(), big.ip(), big.open(), big.nodes()));
        }
        admin.clearResults();
        admin.listGlobalRegions();
        RegionInfo other = admin.regions().get(1);
        assertEquals(List.of("0.0.0.0", false), List.of(other.ip(), other.open()));
        assertEquals(1, admin.listDaemons());
        List<DaemonInfo> d = admin.daemons();
        // address 0 and an unknown state reach Java as null
        assertEquals(Arrays.asList("UP", null, 40000, (5L << 30) + 1, "DOWN", "192.168.1.20", 7000, null),
                Arrays.asList(d.get(0).status(), d.get(0).ip(), d.get(0).portNumber(), d.get(0).usedMemory(),
                        d.get(1).status(), d.get(1).ip(), d.get(1).portNumber(), d.get(2).status()));
    }

    @Test
    public void namesRoundTripWhateverTheirCharacters() throws IOException {
        String astral = "r\u00e9gion-\uD83D\uDE00-\u6771\u4eac";
        makeRegion(astral, 10);
        assertEquals(1, admin.attach(cfg, 0));
        admin.listGlobalRegions();
        assertEquals(1, admin.listRegion(astral));
        assertEquals(List.of(astral, astral), names(admin.regions()));
        assertEquals(1, admin.deleteRegion(astral, false));
        io(() -> admin.deleteRegion(astral, true), "deleteRegion Failed to delete store", status(STORENF));
        take();
        io(() -> admin.listRegion(null), "listRegion j_storename null");
        io(() -> admin.deleteRegion(null, true), "deleteRegion j_storename null");
        assertEquals("no client call without a name", List.of(), take());
    }

    @Test
    public void recoveryListsOnAConnectionOfItsOwn() {
        listedRegions(new String[] {"ABC", "abd", "xab", "a"});
        assertEquals(1, admin.attach(cfg, 0));
        String[][] cases = {{"ab", "ABC,abd"}, {"", "ABC,abd,xab,a"}, {null, "ABC,abd,xab,a"}, {"abcd", ""}};
        for (String[] c : cases) {
            admin.clearResults();
            take();
            assertEquals(1, admin.listRecoveryRegionsAndDaemon(2, cfg, c[0]));
            assertEquals(c[1], String.join(",", names(admin.regions())));
            DaemonInfo local = admin.daemons().get(0);
            assertEquals(Arrays.asList(1, 2, 1L << 30, null), Arrays.asList(admin.daemons().size(), local.index(),
                    local.totalMemory(), local.status()));
            assertEquals(List.of("mb_init", "mb_enumerate_global_stores", "mb_get_local_daemon_info", "mb_fini"),
                    takeOps());
            assertEquals(1, liveConnections());
        }
        assertTrue(admin.isAttached());
        assertEquals(0, admin.getAttachedDaemonIndex());
        io(() -> admin.listRecoveryRegionsAndDaemon(0, "", "a"), "listRecoveryRegionsAndDaemon j_cfgfile null");
        io(() -> admin.listRecoveryRegionsAndDaemon(0, "/nonexistent/c.cfg", null), "mb_init failed", status(NOCFG));
        for (String op : new String[] {"mb_enumerate_global_stores", "mb_get_local_daemon_info", "mb_fini"}) {
            take();
            force(op, 1, FAIL, DDEAD);
            io(() -> admin.listRecoveryRegionsAndDaemon(0, cfg, null), status(DDEAD));
            assertEquals(op, 1, take("mb_fini").size());
        }
        // the first failure wins over a failed finish
        force("mb_enumerate_global_stores", 1, FAIL, DDEAD);
        force("mb_fini", 1, FAIL, OTHER);
        io(() -> admin.listRecoveryRegionsAndDaemon(0, cfg, null), "Failed to enumerate global stores", status(DDEAD));
    }

    /** Throws from the n-th call of each listing callback. */
    static final class Throwing extends ReplicatedStoreAdmin {
        int regionCalls;
        int daemonCalls;
        int throwAtRegion = -1;
        int throwAtDaemon = -1;

        @Override
        protected void addRegionInfo(String name, int size, int used, int blocksize, long ctime, long mtime,
                long atime, boolean open, boolean local, int primary, int pid, String ip, int minRedundancy,
                int redundancy, long nodes) {
            check(++regionCalls == throwAtRegion);
        }

        @Override
        protected void addDaemonInfo(int index, String status, int reachable, String ip, short port, int shmKey,
                long startTime, long currentTime, long totalMemory, long usedMemory, int numberStores,
                int numberOpens, int numberLocalOpens, int numberResilvers, int numberDaemons) {
            check(++daemonCalls == throwAtDaemon);
        }

        private static void check(boolean fail) {
            if (fail) {
                throw new IllegalStateException("callback throws");
            }
        }
    }

    private static void assertCallbackFailure(Exception e) {
        Throwable t = e instanceof IOException && e.getCause() != null ? e.getCause() : e;
        assertTrue(e.toString(), t instanceof IllegalStateException
                || e instanceof IOException && e.getMessage().contains("Error calling  CallVoidMethod/add"));
    }

    @Test
    public void aThrowingCallbackEndsTheListing() {
        listedRegions(new String[] {"r1", "r2", "r3"});
        Throwing t = new Throwing();
        assertEquals(1, t.attach(cfg, 0));
        t.throwAtRegion = 2;
        assertCallbackFailure(assertThrows(Exception.class, t::listGlobalRegions));
        assertEquals("no Java call after the failing one", 2, t.regionCalls);
        t.throwAtDaemon = 1;
        assertCallbackFailure(assertThrows(Exception.class, t::listDaemons));
        assertEquals(1, t.daemonCalls);
        t.regionCalls = 0;
        t.throwAtRegion = 1;
        assertCallbackFailure(assertThrows(Exception.class, () -> t.listRegion("r2")));
        Throwing fresh = new Throwing();
        fresh.throwAtRegion = 1;
        take();
        assertCallbackFailure(assertThrows(Exception.class, () -> fresh.listRecoveryRegionsAndDaemon(0, cfg, null)));
        assertEquals(0, fresh.daemonCalls);
        assertEquals("the recovery connection is finished", 1, take("mb_fini").size());
        assertEquals(1, liveConnections());
        if (INSTRUMENTED) {
            // the callback's exception wins over the listing's injected failure
            flag("tessera.junit.admintool_mb_admin_enumerate_global_storesErrorTest");
            t.regionCalls = 0;
            t.throwAtRegion = 1;
            assertCallbackFailure(assertThrows(Exception.class, t::listGlobalRegions));
        }
        t.detach();
    }

    @Test
    public void faultFlagsAndDeleteEvents() throws IOException {
        makeRegion("doomed", 10);
        makeRegion("kept", 10);
        flag("tessera.junit.admintool_mb_admin_enumerate_daemonsErrorTest");
        flag("tessera.qatest.crash_primary_daemon_during_deleteTest");
        flag("tessera.qatest.crash_storejvm_during_deleteTest");
        flag("tessera.qatest.crash_secondary_daemon_during_deleteTest");
        force("mb_event", -1, SUCC, 0); // journaled, never armed
        assertEquals(1, admin.attach(cfg, 0));
        take();
        if (!INSTRUMENTED) {
            assertEquals(1, admin.listDaemons());
            assertEquals(1, admin.deleteRegion("doomed", false));
            assertEquals(List.of("mb_admin_delete_store"), takeOps("mb_event", "mb_admin_delete_store"));
            return;
        }
        io(admin::listDaemons, "listDaemons Failed to enumerate daemons", status(CANCEL));
        System.clearProperty("tessera.junit.admintool_mb_admin_enumerate_daemonsErrorTest");
        assertEquals(1, admin.listDaemons());
        assertEquals(1, admin.deleteRegion("doomed", false));
        List<String> events = take("mb_event", "mb_admin_delete_store").stream()
                .map(l -> l.replaceAll(".*arm=(\\d).*target=(\\d).*", "$1/$2").replaceAll(" .*", "")).toList();
        assertEquals(List.of("1/1", "1/3", "1/2", "mb_admin_delete_store", "0/1", "0/3", "0/2"), events);
        flag("tessera.junit.admintool_mb_admin_delete_storeErrorTest");
        io(() -> admin.deleteRegion("kept", false), "deleteRegion Failed to delete store kept", status(CANCEL));
        flag("tessera.junit.admintool_mb_finiErrorTest");
        io(admin::detach, "detach Failed to detach", status(CANCEL));
        assertFalse("a failed detach still forgets the finished connection", admin.isAttached());
        io(admin::getAttachedDaemonIndex, status(NULLCTX));
        flag("tessera.junit.admintool_mb_initErrorTest");
        io(() -> admin.attach(cfg, 0), "attach mb_init failed", status(CANCEL));
        assertEquals(0, liveConnections());
    }
}
