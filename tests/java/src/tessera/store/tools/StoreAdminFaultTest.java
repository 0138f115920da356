package tessera.store.tools;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

import org.junit.After;
import org.junit.BeforeClass;
import org.junit.Test;

import tessera.store.io.file.NativeLibrary;
import tessera.store.io.file.ReplicatedStoreAdmin;
import tessera.store.io.file.StoreAdmin;

/**
 * The facade and the admin tool when the native side reports failures,
 * driven by the fault-injection properties (switched on for this JVM before
 * the native library loads).
 */
public class StoreAdminFaultTest {
    private static final String PREFIX = "tessera.junit.";
    private static final String[] FLAGS = {
        "admintool_mb_admin_enumerate_daemonsErrorTest",
        "admintool_mb_admin_enumerate_global_storesErrorTest",
        "admintool_mb_admin_get_storeinfoErrorTest",
        "admintool_mb_finiErrorTest",
        "admintool_mb_admin_attach_daemonAfterInitErrorTest",
        "admintool_mb_admin_get_attached_daemonErrorTest",
    };

    private StoreAdmin admin;

    @BeforeClass
    public static void instrument() {
        System.setProperty("tessera.store.instrumentation", "true");
        NativeLibrary.load();
    }

    @After
    public void clear() throws IOException {
        for (String f : FLAGS) {
            System.clearProperty(PREFIX + f);
        }
        if (admin != null) {
            admin.close();
        }
    }

    private static void fail(String flag) {
        System.setProperty(PREFIX + flag, "true");
    }

    private static void assertSimulated(IOException e, String message) {
        assertTrue(e.getMessage(), e.getMessage().contains(message));
        assertTrue("status and error of the simulated failure: " + e.getMessage(),
                e.getMessage().contains("status=2 error=10"));
    }

    @Test
    public void listingFailuresAreThrownAndTheFacadeStaysUsable() throws IOException {
        admin = StoreAdmin.attach("", 0);
        fail("admintool_mb_admin_enumerate_daemonsErrorTest");
        assertSimulated(assertThrows(IOException.class, admin::daemons), "listDaemons Failed to enumerate daemons");
        fail("admintool_mb_admin_enumerate_global_storesErrorTest");
        assertSimulated(assertThrows(IOException.class, admin::globalRegions),
                "listGlobalRegions Failed to enumerate global stores");
        assertThrows(IOException.class, () -> admin.findRegion("anything"));
        fail("admintool_mb_admin_get_storeinfoErrorTest");
        assertSimulated(assertThrows(IOException.class, () -> admin.region("anything")),
                "listRegion Failed to get storeinfo for anything");
        fail("admintool_mb_admin_get_attached_daemonErrorTest");
        assertSimulated(assertThrows(IOException.class, admin::attachedDaemon),
                "getAttachedDaemonIndex Failed to get attached daemon");

        for (String f : FLAGS) {
            System.clearProperty(PREFIX + f);
        }
        assertEquals(3, admin.daemons().size());
        assertEquals(0, admin.attachedDaemon());
    }

    @Test
    public void aFailedDetachStillClosesTheFacade() throws IOException {
        StoreAdmin first = StoreAdmin.attach("", 0);
        fail("admintool_mb_finiErrorTest");
        assertSimulated(assertThrows(IOException.class, first::close), "detach Failed to detach from daemon 0");
        assertFalse(first.isOpen());
        System.clearProperty(PREFIX + "admintool_mb_finiErrorTest");

        admin = StoreAdmin.attach("", 0);
        assertEquals(3, admin.daemons().size());
    }

    @Test
    public void anAttachFailingAfterTheConnectionWasMadeFinishesIt() {
        fail("admintool_mb_admin_attach_daemonAfterInitErrorTest");
        IOException e = assertThrows(IOException.class, () -> StoreAdmin.attach("", 2));
        assertSimulated(e, "attach Failed to do admin attach to daemon 2");
        assertFalse("the half-made connection was finished", new ReplicatedStoreAdmin().isAttached());
    }

    @Test
    public void theToolReportsTheNativeTextAndExitsWithOne() {
        fail("admintool_mb_admin_enumerate_daemonsErrorTest");
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int status = AdminTool.run(new String[] {"daemons", "--json"},
                new PrintStream(out, true, StandardCharsets.UTF_8), new PrintStream(err, true, StandardCharsets.UTF_8));
        assertEquals(AdminTool.EXIT_FAILED, status);
        assertEquals("nothing on standard output", "", out.toString(StandardCharsets.UTF_8));
        String text = err.toString(StandardCharsets.UTF_8);
        assertTrue(text, text.startsWith("tessera-admin: daemons failed: "));
        assertTrue(text, text.contains("listDaemons Failed to enumerate daemons"));
        assertFalse("the tool detached again", new ReplicatedStoreAdmin().isAttached());
    }
}
