package tessera.store.tools;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * The configuration file name handed to a recovery listing. The native side
 * refuses an empty name there, so for the embedded cluster (no configuration
 * file) a temporary, empty configuration file stands in: it describes the
 * default cluster layout, which is the embedded cluster's. The file is
 * removed on {@link #close()}.
 */
final class RecoveryConfig implements AutoCloseable {
    private final String path;
    private final Path temporary;

    private RecoveryConfig(String path, Path temporary) {
        this.path = path;
        this.temporary = temporary;
    }

    /**
     * The file to pass for a cluster.
     *
     * @param configFile the cluster's configuration file, "" for the embedded cluster
     */
    static RecoveryConfig forCluster(String configFile) throws IOException {
        if (configFile != null && !configFile.isEmpty()) {
            return new RecoveryConfig(configFile, null);
        }
        Path tmp = Files.createTempFile("tessera-admin-embedded-", ".cfg");
        Files.writeString(tmp, "# Embedded cluster: the default layout.\n", StandardCharsets.UTF_8);
        return new RecoveryConfig(tmp.toString(), tmp);
    }

    /** The configuration file name. */
    String path() {
        return path;
    }

    /** Removes the temporary file, if one was made. */
    @Override
    public void close() {
        if (temporary != null) {
            try {
                Files.deleteIfExists(temporary);
            } catch (IOException e) {
                temporary.toFile().deleteOnExit();
            }
        }
    }
}
