package tessera.store.tools;

import java.io.PrintStream;

import tessera.store.io.file.direct.MirrorbankApi;

/**
 * What the command-line programs ({@code tessera-admin}, {@code run-demo})
 * share: the {@code main} that runs a program on the process's streams and
 * exits with its status, the usage-error report, and the check of names
 * given on the command line.
 */
public final class Cli {
    /** Exit status of a command line that could not be understood, in every program. */
    public static final int EXIT_USAGE = 2;

    /** A program's body: runs with the streams given and returns the exit status. */
    @FunctionalInterface
    public interface Program {
        /**
         * Runs the program.
         *
         * @param args the command line
         * @param out standard output
         * @param err standard error
         * @return the exit status
         */
        int run(String[] args, PrintStream out, PrintStream err);
    }

    /**
     * A command line read word by word. A word {@code --name=value} is an
     * option with its value inline; otherwise an option's value is the word
     * after it.
     */
    public static final class Words {
        private final String[] args;
        private int at;
        private String word;
        private int eq;

        /**
         * Reads {@code args}.
         *
         * @param args the command line
         */
        public Words(String[] args) {
            this.args = args;
        }

        /**
         * Moves to the next word.
         *
         * @return false at the end of the command line
         */
        public boolean advance() {
            if (at >= args.length) {
                return false;
            }
            word = args[at++];
            eq = word.startsWith("--") ? word.indexOf('=') : -1;
            return true;
        }

        /** The current word as given. */
        public String word() {
            return word;
        }

        /** The current word as an option name: without its inline value. */
        public String option() {
            return eq > 0 ? word.substring(0, eq) : word;
        }

        /** Whether the current option carries its value inline. */
        public boolean hasInlineValue() {
            return eq > 0;
        }

        /**
         * The current option's value: the inline one, else the next word,
         * which is then used up.
         *
         * @return the value, or null when the command line ends first
         */
        public String value() {
            if (eq > 0) {
                return word.substring(eq + 1);
            }
            return at < args.length ? args[at++] : null;
        }
    }

    private Cli() {
    }

    /**
     * Runs {@code program} on {@link System#out} and {@link System#err} and
     * exits the virtual machine with its status.
     *
     * @param program the program
     * @param args the command line
     */
    public static void main(Program program, String[] args) {
        int status = program.run(args, System.out, System.err);
        System.out.flush();
        System.err.flush();
        System.exit(status);
    }

    /**
     * Reports a usage error: the message, then where help is found.
     *
     * @param err standard error
     * @param name the program's name
     * @param message what is wrong
     * @param help the commands that show help
     * @return {@link #EXIT_USAGE}
     */
    public static int usageError(PrintStream err, String name, String message, String help) {
        err.println(name + ": " + message);
        err.println("Run " + help + ".");
        return EXIT_USAGE;
    }

    /**
     * Why a name given on the command line cannot reach the store exactly.
     * Besides the store's own rule, a name must not hold U+FFFD: the JVM puts
     * it where the command line had bytes that the locale's encoding cannot
     * read (any non-ASCII byte under {@code LANG=C}), so the name typed is
     * not the name that would be used.
     *
     * @param option the option or argument that gave it ("--region")
     * @param name the name
     * @return null when the name is fine, else the message for the usage error
     */
    public static String nameProblem(String option, String name) {
        if (name.indexOf('\uFFFD') >= 0) {
            return option + ": the name holds U+FFFD where the command line had bytes that this locale's"
                    + " encoding cannot read; run under a UTF-8 locale (LANG=C.UTF-8, for example)";
        }
        String problem = MirrorbankApi.nameProblem(name, "the name");
        return problem == null ? null : option + ": " + problem;
    }
}
