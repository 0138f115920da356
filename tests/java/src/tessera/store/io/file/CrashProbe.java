package tessera.store.io.file;

import java.nio.ByteBuffer;

/**
 * Child-JVM program for {@link StoreJvmCrashTest}: opens a region, then
 * switches on the store-JVM crash event of the phase named by its argument
 * ("open", "write" or "close") and runs that phase. Prints one line before
 * and one after the phase, so the parent sees where the process ended.
 */
public final class CrashProbe {
    private CrashProbe() {
    }

    public static void main(String[] args) throws Exception {
        String phase = args[0];
        String key = "tessera.qatest.crash_storejvm_during_" + ("open".equals(phase) ? "openstore"
                : "close".equals(phase) ? "closestore" : phase) + "Test";
        ReplicatedFileChannel.Builder builder = ReplicatedFileChannel.builder("crash-probe").regionSize(1 << 20);
        if ("open".equals(phase)) {
            System.setProperty(key, "true");
        }
        System.out.println("phase " + phase + " begins");
        System.out.flush();
        ReplicatedFileChannel ch = builder.open();
        if (!"open".equals(phase)) {
            System.setProperty(key, "true");
            if ("write".equals(phase)) {
                ch.write(ByteBuffer.wrap(new byte[] {1, 2, 3}), 0);
            } else {
                ch.close();
            }
        }
        System.out.println("phase " + phase + " survived");
        System.out.flush();
    }
}
