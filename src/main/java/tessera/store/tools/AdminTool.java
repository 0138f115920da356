package tessera.store.tools;

import java.io.IOException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Set;

import tessera.store.io.file.ReplicatedStoreAdmin.DaemonInfo;
import tessera.store.io.file.ReplicatedStoreAdmin.RegionInfo;
import tessera.store.io.file.StoreAdmin;

/**
 * The {@code tessera-admin} command-line tool: inspects and manages the
 * daemons and regions of a replicated store cluster.
 *
 * <pre>
 * tessera-admin [--config FILE] [--local-index N] [--daemon N] [--json] [--demo] COMMAND [ARGS]
 * </pre>
 *
 * <p>Commands: {@code daemons}, {@code regions [--local]}, {@code region NAME},
 * {@code delete NAME [--force]}, {@code attach-daemon N},
 * {@code shutdown [--force] [--safe]}, {@code recovery [--prefix P]},
 * {@code help [COMMAND]}. Every command takes {@code --help}. Output is an
 * aligned table with sizes in human units, or with {@code --json} one JSON
 * document with exact byte counts.
 *
 * <p>Exit status: 0 on success, 1 when the operation failed (the exception
 * text goes to standard error), 2 for a usage error.
 */
public final class AdminTool {
    /** Exit status of a successful command. */
    public static final int EXIT_OK = 0;
    /** Exit status of a command whose operation failed. */
    public static final int EXIT_FAILED = 1;
    /** Exit status of a command line that could not be understood. */
    public static final int EXIT_USAGE = Cli.EXIT_USAGE;

    static final String PROGRAM = "tessera-admin";

    private AdminTool() {
    }

    /**
     * Runs the tool and exits the virtual machine with its status.
     *
     * @param args the command line
     */
    public static void main(String[] args) {
        Cli.main(AdminTool::run, args);
    }

    /**
     * Runs the tool without exiting: what {@link #main} does, with the
     * output streams given and the exit status returned.
     *
     * @param args the command line
     * @param out standard output
     * @param err standard error
     * @return the exit status: {@link #EXIT_OK}, {@link #EXIT_FAILED} or {@link #EXIT_USAGE}
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        Invocation inv;
        try {
            inv = Invocation.parse(args);
        } catch (UsageException e) {
            return Cli.usageError(err, PROGRAM, e.getMessage(), "'" + PROGRAM + " --help' for the commands, or '"
                    + PROGRAM + " COMMAND --help' for one of them");
        }
        if (inv.help) {
            out.print(inv.command == null ? generalHelp() : commandHelp(inv.command));
            return EXIT_OK;
        }
        try {
            new AdminTool.Runner(inv, out, err).execute();
            return EXIT_OK;
        } catch (IOException | RuntimeException | UnsatisfiedLinkError e) {
            String text = e.getMessage() == null ? e.toString() : e.getMessage();
            err.println(PROGRAM + ": " + inv.command.name + " failed: " + text);
            for (Throwable s : e.getSuppressed()) {
                err.println("  also: " + s.getMessage());
            }
            if (inv.configFile.isEmpty() && !inv.demo
                    && (inv.command == Command.REGION || inv.command == Command.DELETE)) {
                err.println("Note: the embedded cluster exists only inside this process, so it holds only the"
                        + " regions this invocation made; try --demo, or --config FILE for a real cluster.");
            }
            return EXIT_FAILED;
        }
    }

    // ---- commands and their help ------------------------------------------------

    /** The commands, their arguments, options and help texts. */
    enum Command {
        DAEMONS("daemons", "", 0, Set.of(),
                "List the daemons: status, address, memory, region counts.",
                "List every daemon of the cluster: status, address, memory and region counts.\n"
                + "The daemon that admin requests address is marked with '*'."),
        ATTACH_DAEMON("attach-daemon", "N", 1, Set.of(),
                "Address daemon N and show it.",
                "Make admin requests address daemon N instead of the local daemon, and show that\n"
                + "daemon. (The global option --daemon N does the same before any command.)"),
        SHUTDOWN("shutdown", "[--force] [--safe]", 0, Set.of("--force", "--safe"),
                "Shut down the addressed daemon.",
                "Shut down the daemon that admin requests address: the local daemon\n"
                + "(--local-index), or the one chosen with --daemon N.\n"
                + "  --force   shut down even while regions are open\n"
                + "  --safe    refuse when a region would lose its last copy"),
        REGIONS("regions", "[--local]", 0, Set.of("--local"),
                "List the regions of the cluster, or of one daemon.",
                "List every region of the cluster, or with --local only the regions that have a\n"
                + "copy on the daemon that admin requests address (see --daemon).\n"
                + "  --local   list the addressed daemon's regions only"),
        REGION("region", "NAME", 1, Set.of(),
                "Show one region in detail.",
                "Show one region in detail: size, use, block size, copies, the daemons that\n"
                + "hold it, and who has it open."),
        DELETE("delete", "NAME [--force]", 1, Set.of("--force"),
                "Delete a region.",
                "Delete a region and free its memory on every daemon that holds a copy.\n"
                + "  --force   delete it even while it is open"),
        RECOVERY("recovery", "[--prefix P]", 0, Set.of("--prefix"),
                "List regions by prefix and the local daemon's memory.",
                "On a short-lived connection of its own, list the regions whose names start with\n"
                + "P (ASCII case ignored; all regions without --prefix), then the local daemon's\n"
                + "memory figures. Needs no admin attach.\n"
                + "  --prefix P   region-name prefix"),
        HELP("help", "[COMMAND]", -1, Set.of(), "Show the commands, or the help of one command.",
                "Show the commands, or the help of one command.");

        final String name;
        final String synopsis;
        /** Number of positional arguments; -1 for zero or one. */
        final int positionals;
        final Set<String> options;
        final String summary;
        final String description;

        Command(String name, String synopsis, int positionals, Set<String> options, String summary,
                String description) {
            this.name = name;
            this.synopsis = synopsis;
            this.positionals = positionals;
            this.options = options;
            this.summary = summary;
            this.description = description;
        }

        static Optional<Command> named(String name) {
            for (Command c : values()) {
                if (c.name.equals(name)) {
                    return Optional.of(c);
                }
            }
            return Optional.empty();
        }
    }

    private static final String GLOBAL_OPTIONS =
            "Global options (before or after the command):\n"
            + "  --config FILE     cluster configuration file (default: the embedded cluster\n"
            + "                    inside this process)\n"
            + "  --local-index N   local daemon to attach through (default 0)\n"
            + "  --daemon N        address daemon N for this command (default: the local daemon)\n"
            + "  --json            print one JSON document with exact byte counts instead of a table\n"
            + "  --demo            first create sample regions in this process, so that a single\n"
            + "                    invocation against the embedded cluster has something to show\n"
            + "  -h, --help        show help\n";

    static String generalHelp() {
        StringBuilder sb = new StringBuilder();
        sb.append("Usage: ").append(PROGRAM).append(" [OPTIONS] COMMAND [ARGS]\n\n");
        sb.append("Inspect and manage the daemons and regions of a replicated store cluster.\n\n");
        sb.append("Commands:\n");
        TextTable t = new TextTable("", "", "");
        for (Command c : Command.values()) {
            t.row("", c.name + (c.synopsis.isEmpty() ? "" : " " + c.synopsis), c.summary);
        }
        // Skip the header and rule lines of the table.
        t.render().lines().skip(2).forEach(l -> sb.append(l).append('\n'));
        sb.append('\n').append(GLOBAL_OPTIONS).append('\n');
        sb.append("Exit status: 0 success, 1 the operation failed (reason on standard error),\n"
                + "2 usage error.\n\n");
        sb.append("Examples:\n");
        sb.append("  ").append(PROGRAM).append(" --demo regions\n");
        sb.append("  ").append(PROGRAM).append(" --config cluster.cfg daemons --json\n");
        sb.append("  ").append(PROGRAM).append(" --config cluster.cfg delete orders --force\n");
        sb.append("\nRun '").append(PROGRAM).append(" COMMAND --help' for the help of one command.\n");
        return sb.toString();
    }

    static String commandHelp(Command c) {
        return "Usage: " + PROGRAM + " [OPTIONS] " + c.name + (c.synopsis.isEmpty() ? "" : " " + c.synopsis)
                + "\n\n" + c.description + "\n\n" + GLOBAL_OPTIONS;
    }

    // ---- command line ----------------------------------------------------------

    /** A command line that {@link #parse} could not accept. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    /** One parsed command line. */
    static final class Invocation {
        String configFile = "";
        int localIndex;
        Integer daemon;
        int targetDaemon;
        boolean json;
        boolean demo;
        boolean help;
        Command command;
        final List<String> positionals = new ArrayList<>();
        final Map<String, String> options = new LinkedHashMap<>();

        static Invocation parse(String[] args) throws UsageException {
            Invocation inv = new Invocation();
            List<String> words = new ArrayList<>();
            boolean onlyPositionals = false;
            Cli.Words line = new Cli.Words(args);
            while (line.advance()) {
                String a = line.word();
                if (onlyPositionals || !a.startsWith("-") || a.equals("-")) {
                    words.add(a);
                    continue;
                }
                if (a.equals("--")) {
                    onlyPositionals = true;
                    continue;
                }
                String name = line.option();
                switch (name) {
                    case "-h", "--help" -> inv.help = true;
                    case "--json" -> inv.json = true;
                    case "--demo" -> inv.demo = true;
                    case "--config" -> {
                        inv.configFile = checkName(name, valueOf(line, name));
                        if (inv.configFile.isEmpty()) {
                            throw new UsageException("--config needs a file name");
                        }
                    }
                    case "--local-index" -> inv.localIndex = nonNegative(valueOf(line, name), name);
                    case "--daemon" -> inv.daemon = nonNegative(valueOf(line, name), name);
                    case "--local", "--force", "--safe" -> {
                        if (line.hasInlineValue()) {
                            throw new UsageException(name + " takes no value");
                        }
                        inv.options.put(name, "");
                    }
                    case "--prefix" -> inv.options.put(name, checkName(name, valueOf(line, name)));
                    default -> throw new UsageException("unknown option " + a);
                }
            }
            if (words.isEmpty()) {
                if (inv.help) {
                    return inv;
                }
                throw new UsageException("no command given");
            }
            String word = words.get(0);
            inv.command = Command.named(word).orElseThrow(() -> new UsageException("unknown command '" + word + "'"));
            inv.positionals.addAll(words.subList(1, words.size()));
            if (inv.command == Command.HELP) {
                if (inv.positionals.size() > 1) {
                    throw new UsageException("help takes at most one command name");
                }
                boolean helpOfHelp = inv.help;
                inv.help = true;
                if (inv.positionals.isEmpty()) {
                    inv.command = helpOfHelp ? Command.HELP : null;
                } else {
                    String target = inv.positionals.get(0);
                    inv.command = Command.named(target)
                            .orElseThrow(() -> new UsageException("unknown command '" + target + "'"));
                }
                return inv;
            }
            if (inv.help) {
                return inv;
            }
            for (String opt : inv.options.keySet()) {
                if (!inv.command.options.contains(opt)) {
                    throw new UsageException("option " + opt + " does not apply to '" + inv.command.name + "'");
                }
            }
            if (inv.positionals.size() != inv.command.positionals) {
                throw new UsageException("'" + inv.command.name + "' expects "
                        + (inv.command.synopsis.isEmpty() ? "no arguments" : inv.command.synopsis)
                        + ", got " + (inv.positionals.isEmpty() ? "none" : String.join(" ", inv.positionals)));
            }
            if (inv.command == Command.ATTACH_DAEMON) {
                inv.targetDaemon = nonNegative(inv.positionals.get(0), "attach-daemon");
            }
            if (inv.command == Command.REGION || inv.command == Command.DELETE) {
                checkName(inv.command.name + " NAME", inv.positionals.get(0));
            }
            return inv;
        }

        private static String checkName(String option, String name) throws UsageException {
            String problem = Cli.nameProblem(option, name);
            if (problem != null) {
                throw new UsageException(problem);
            }
            return name;
        }

        private static String valueOf(Cli.Words line, String option) throws UsageException {
            String v = line.value();
            if (v == null) {
                throw new UsageException(option + " needs a value");
            }
            return v;
        }

        static int nonNegative(String text, String what) throws UsageException {
            try {
                int v = Integer.parseInt(text.trim());
                if (v >= 0) {
                    return v;
                }
            } catch (NumberFormatException e) {
                // reported below
            }
            throw new UsageException(what + " needs a non-negative whole number, not '" + text + "'");
        }

        boolean has(String option) {
            return options.containsKey(option);
        }
    }

    // ---- running a command -------------------------------------------------------

    /** Runs one parsed invocation. */
    private static final class Runner {
        private final Invocation inv;
        private final PrintStream out;
        private final PrintStream err;

        Runner(Invocation inv, PrintStream out, PrintStream err) {
            this.inv = inv;
            this.out = out;
            this.err = err;
        }

        void execute() throws IOException {
            SampleRegions samples = null;
            try {
                if (inv.demo) {
                    samples = SampleRegions.create(inv.configFile, inv.localIndex);
                    if (!inv.json) {
                        out.println("Demo: created sample regions " + String.join(", ", samples.names())
                                + " (" + samples.keptOpen() + " is held open).");
                        out.println();
                    }
                }
                if (inv.command == Command.RECOVERY) {
                    recovery();
                } else {
                    try (StoreAdmin admin = StoreAdmin.attach(inv.configFile, inv.localIndex)) {
                        if (inv.daemon != null) {
                            admin.attachToDaemon(inv.daemon);
                        }
                        dispatch(admin);
                    }
                }
            } finally {
                if (samples != null) {
                    samples.closeQuietly(err);
                }
            }
        }

        private void dispatch(StoreAdmin admin) throws IOException {
            switch (inv.command) {
                case DAEMONS -> daemons(admin);
                case REGIONS -> regions(admin);
                case REGION -> region(admin, inv.positionals.get(0));
                case DELETE -> delete(admin, inv.positionals.get(0), inv.has("--force"));
                case ATTACH_DAEMON -> attachDaemon(admin, inv.targetDaemon);
                case SHUTDOWN -> shutdown(admin, inv.has("--force"), inv.has("--safe"));
                default -> throw new IllegalStateException("no handler for " + inv.command.name);
            }
        }

        private void daemons(StoreAdmin admin) throws IOException {
            List<DaemonInfo> daemons = admin.daemons();
            int addressed = admin.attachedDaemon();
            if (inv.json) {
                JsonWriter w = new JsonWriter().beginObject();
                w.member("attachedDaemon", addressed);
                w.array("daemons", daemons, Records::daemonJson).endObject();
                out.print(w.toJson());
                return;
            }
            out.print(Records.daemonTable(daemons, addressed).render());
            long total = 0;
            long used = 0;
            int up = 0;
            for (DaemonInfo d : daemons) {
                total += d.totalMemory();
                used += d.usedMemory();
                if ("UP".equals(d.status())) {
                    up++;
                }
            }
            out.println();
            out.println(daemons.size() + (daemons.size() == 1 ? " daemon" : " daemons") + ", " + up + " up; "
                    + ByteUnits.format(used) + " of " + ByteUnits.format(total) + " region memory in use.");
        }

        private void regions(StoreAdmin admin) throws IOException {
            boolean local = inv.has("--local");
            List<RegionInfo> regions = local ? admin.localRegions() : admin.globalRegions();
            int addressed = local ? admin.attachedDaemon() : -1;
            if (inv.json) {
                JsonWriter w = new JsonWriter().beginObject();
                w.member("scope", local ? "local" : "global");
                if (local) {
                    w.member("daemon", addressed);
                }
                w.array("regions", regions, Records::regionJson).endObject();
                out.print(w.toJson());
                return;
            }
            if (regions.isEmpty()) {
                out.println(local ? "Daemon " + addressed + " holds no regions." : "The cluster holds no regions.");
                if (inv.configFile.isEmpty() && !inv.demo) {
                    out.println("(The embedded cluster lives inside this process only; try --demo.)");
                }
                return;
            }
            out.print(Records.regionTable(regions).render());
            long size = 0;
            long used = 0;
            for (RegionInfo r : regions) {
                size += r.sizeBytes();
                used += r.usedBytes();
            }
            out.println();
            out.println(regions.size() + (regions.size() == 1 ? " region" : " regions")
                    + (local ? " on daemon " + addressed : "") + ", " + ByteUnits.format(size)
                    + " in total, " + ByteUnits.format(used) + " used.");
        }

        private void region(StoreAdmin admin, String name) throws IOException {
            RegionInfo r = admin.region(name);
            if (inv.json) {
                JsonWriter w = new JsonWriter();
                w.beginObject().name("region");
                Records.regionJson(w, r);
                w.endObject();
                out.print(w.toJson());
                return;
            }
            out.print(Records.regionDetails(r));
        }

        private void delete(StoreAdmin admin, String name, boolean force) throws IOException {
            admin.deleteRegion(name, force);
            if (inv.json) {
                out.print(new JsonWriter().beginObject().member("deleted", name).member("force", force)
                        .endObject().toJson());
                return;
            }
            out.println("Deleted region " + TextTable.escape(name) + (force ? " (forced)." : "."));
        }

        private void attachDaemon(StoreAdmin admin, int target) throws IOException {
            int before = admin.attachedDaemon();
            admin.attachToDaemon(target);
            int now = admin.attachedDaemon();
            Optional<DaemonInfo> info = admin.daemons().stream().filter(d -> d.index() == now).findFirst();
            if (inv.json) {
                JsonWriter w = new JsonWriter().beginObject();
                w.member("localIndex", inv.localIndex).member("previous", before).member("attachedDaemon", now);
                w.name("daemon");
                if (info.isPresent()) {
                    Records.daemonJson(w, info.get());
                } else {
                    w.value((String) null);
                }
                w.endObject();
                out.print(w.toJson());
                return;
            }
            out.println("Admin requests now address daemon " + now + " (was " + before + ", local daemon "
                    + inv.localIndex + ").");
            if (info.isPresent()) {
                out.println();
                out.print(Records.daemonTable(List.of(info.get()), now).render());
            }
        }

        private void shutdown(StoreAdmin admin, boolean force, boolean safe) throws IOException {
            int target = admin.attachedDaemon();
            admin.shutdownDaemon(force, safe);
            if (inv.json) {
                out.print(new JsonWriter().beginObject().member("shutdown", target).member("force", force)
                        .member("safe", safe).endObject().toJson());
                return;
            }
            List<String> how = new ArrayList<>();
            if (force) {
                how.add("forced");
            }
            if (safe) {
                how.add("safe");
            }
            out.println("Daemon " + target + " is shutting down" + (how.isEmpty() ? "" : " (" + String.join(", ", how)
                    + ")") + ".");
        }

        private void recovery() throws IOException {
            String prefix = inv.options.get("--prefix");
            StoreAdmin.Recovery result;
            try (RecoveryConfig cfg = RecoveryConfig.forCluster(inv.configFile)) {
                result = StoreAdmin.recovery(inv.localIndex, cfg.path(), prefix);
            }
            DaemonInfo d = result.localDaemon();
            if (inv.json) {
                JsonWriter w = new JsonWriter().beginObject();
                w.member("prefix", prefix);
                w.array("regions", result.regions(), Records::regionJson);
                w.name("localDaemon").beginObject()
                        .member("index", d.index())
                        .member("totalMemoryBytes", d.totalMemory())
                        .member("usedMemoryBytes", d.usedMemory())
                        .endObject();
                w.endObject();
                out.print(w.toJson());
                return;
            }
            String what = prefix == null ? "all regions" : "regions starting with '" + TextTable.escape(prefix) + "'";
            if (result.regions().isEmpty()) {
                out.println("Recovery: no " + (prefix == null ? "regions." : what + "."));
            } else {
                out.println("Recovery: " + what + ":");
                out.println();
                out.print(Records.regionTable(result.regions()).render());
            }
            out.println();
            out.println("Local daemon " + d.index() + ": " + ByteUnits.format(d.usedMemory()) + " of "
                    + ByteUnits.format(d.totalMemory()) + " region memory in use ("
                    + Records.percent(d.usedMemory(), d.totalMemory()) + ").");
        }
    }
}
