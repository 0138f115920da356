package tessera.bridgetest.admin;

/**
 * Loads the bridge from Java code on the application class path, so that
 * the library belongs to the application class loader, the loader of the
 * classes whose native methods it implements. (System.load called through
 * JNI with no Java frame on the stack has no caller class, and the library
 * would then be bound to the boot loader, where the native methods of
 * application classes are never looked up.)
 */
public final class BridgeLoader {
    private BridgeLoader() {
    }

    public static void load(String path) {
        System.load(path);
    }
}
