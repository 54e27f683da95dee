package com.ferngate.quillpro.testing;

import java.io.File;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import java.util.zip.ZipFile;

/**
 * A throwaway server root for a module's tests: the bridge of an installed root, the module jars
 * under test and nothing else. {@link #run} runs a script in it with {@code quill run}, as the
 * server would, and returns what the script wrote, the result code that stopped it and the log.
 * Each run is a new server process, so in-memory state lasts one script; what the internal
 * database keeps (preferences, hosts) lasts until {@link #close}, which deletes the root. What a
 * module prints with {@code System.out} and {@code System.err} goes into the log ({@code [stdout]}
 * lines at level 2, {@code [stderr]} at level 1), as under {@code quill serve}, so the output holds
 * only what the script wrote; {@code preference("java_stdio", "console")} prints it among the
 * output instead.
 *
 * <pre>{@code
 * try (QuillTestRoot root = QuillTestRoot.withModules(Path.of("target/shop.jar"))) {
 *     QuillTestRoot.Result result = root.run("shop_hello('you')");
 *     assertEquals("Hello, you!", result.output());
 * }
 * }</pre>
 *
 * <p>The installed root is the system property {@value #ROOT_PROPERTY} or the environment
 * variable {@code QUILL_ROOT}; the {@code quill} command is {@value #COMMAND_PROPERTY} or
 * {@code QUILL}, else {@code quill} on the {@code PATH}.
 */
public final class QuillTestRoot implements AutoCloseable {
    /** The system property naming the installed server root whose bridge the tests use. */
    public static final String ROOT_PROPERTY = "quill.root";
    /** The system property naming the {@code quill} command. */
    public static final String COMMAND_PROPERTY = "quill.command";

    private static final String SERVICE_FILE = "META-INF/services/com.ferngate.quillpro.QuillJavaModule";
    private static final Pattern ERROR_LINE =
            Pattern.compile("^\\S+:\\d+:\\d+: error (-?\\d+): (.*)$", Pattern.MULTILINE);
    private static final long RUN_TIMEOUT_SECONDS = 300;

    private final Path root;
    private final String command;
    private final List<String> preferences = new CopyOnWriteArrayList<>();
    private final Thread removal;  // deletes the root when the JVM ends before close()
    private final AtomicInteger runs = new AtomicInteger();

    private QuillTestRoot(Path root, String command) {
        this.root = root;
        this.command = command;
        this.removal = new Thread(() -> deleteTree(root), "quill-test-root-removal");
        Runtime.getRuntime().addShutdownHook(removal);
        preference("java_stdio", "log");
    }

    /**
     * Makes a root in the temporary folder with the installed root's bridge (every file of its
     * {@code QuillModules/} that is not a module jar, and its {@code JavaLibraries/} and
     * {@code JDBCDrivers/}) and copies of {@code moduleJars} as its only modules.
     *
     * @throws IllegalStateException when no installed root is named or it has no bridge
     * @throws UncheckedIOException when the root cannot be made
     */
    public static QuillTestRoot withModules(Path... moduleJars) {
        Path installed = Path.of(setting(ROOT_PROPERTY, "QUILL_ROOT", null)
                .orElseThrow(() -> new IllegalStateException(
                        "name the server root with -D" + ROOT_PROPERTY + "=DIR or QUILL_ROOT")));
        if (!Files.isRegularFile(installed.resolve("QuillModules/QJAPI.jar"))) {
            throw new IllegalStateException(installed + " is no server root: it has no QuillModules/QJAPI.jar");
        }
        String command = setting(COMMAND_PROPERTY, "QUILL", "quill").get();
        Path root = null;
        QuillTestRoot made = null;
        try {
            root = Files.createTempDirectory("qjapi-module-test-");
            made = new QuillTestRoot(root, command);
            for (String folder : List.of("QuillModules", "JavaLibraries", "JDBCDrivers")) {
                Files.createDirectories(root.resolve(folder));
                Path from = installed.resolve(folder);
                if (!Files.isDirectory(from)) {
                    continue;
                }
                try (Stream<Path> files = Files.list(from)) {
                    for (Path file : (Iterable<Path>) files::iterator) {
                        if (Files.isRegularFile(file) && !isModuleJar(file)) {
                            Files.createSymbolicLink(root.resolve(folder).resolve(file.getFileName()),
                                    file.toAbsolutePath());
                        }
                    }
                }
            }
            for (Path jar : moduleJars) {
                Files.copy(jar, root.resolve("QuillModules").resolve(jar.getFileName()));
            }
            return made;
        } catch (IOException e) {
            if (made != null) {
                made.close();
            } else {
                deleteTree(root);
            }
            throw new UncheckedIOException("cannot make a server root for the test", e);
        }
    }

    /** The root's folder. */
    public Path path() {
        return root;
    }

    /**
     * Stores a preference for every later run, as {@code quill --pref KEY=VALUE} does; for
     * example {@code preference("java_vm_options", "-Xcheck:jni -Dquill.log.level=debug")} gives
     * the server's VM those options.
     *
     * @return this root
     */
    public QuillTestRoot preference(String key, String value) {
        // One addAll, so a run on another thread never copies the flag without its value.
        preferences.addAll(List.of("--pref", key + "=" + value));
        return this;
    }

    /**
     * Runs {@code script} (the script language's text) in the root and waits for it; a run that
     * has not ended within five minutes is killed. Several threads may run scripts at once: each
     * run is a process of its own, as two servers on one root would be.
     *
     * @param runOptions more options of {@code quill run}, such as {@code "--param", "id=7"}
     * @return what the run wrote and how it ended
     * @throws UncheckedIOException when the script cannot be written or quill cannot be started
     * @throws IllegalStateException when the run was killed
     */
    public Result run(String script, String... runOptions) {
        try {
            int number = runs.incrementAndGet();
            Path file = root.resolve("test-" + number + ".qs");
            Files.writeString(file, script, StandardCharsets.UTF_8);
            Path out = root.resolve("run-" + number + ".out");
            Path err = root.resolve("run-" + number + ".err");
            List<String> line = new ArrayList<>(List.of(command, "--root", root.toString()));
            line.addAll(preferences);
            line.addAll(List.of("run", file.toString()));
            line.addAll(Arrays.asList(runOptions));
            Process process = new ProcessBuilder(line).redirectOutput(out.toFile())
                    .redirectError(err.toFile()).redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                    .start();
            try {
                if (!process.waitFor(RUN_TIMEOUT_SECONDS, TimeUnit.SECONDS)) {
                    process.destroyForcibly().waitFor();
                    throw new IllegalStateException("quill run did not end within " + RUN_TIMEOUT_SECONDS + " s");
                }
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
                throw new IllegalStateException("interrupted while the script ran", e);
            }
            return new Result(process.exitValue(), Files.readString(out, StandardCharsets.UTF_8),
                    Files.readString(err, StandardCharsets.UTF_8));
        } catch (IOException e) {
            throw new UncheckedIOException("cannot run " + command, e);
        }
    }

    /** Deletes the root and everything in it. */
    @Override
    public void close() {
        try {
            Runtime.getRuntime().removeShutdownHook(removal);
        } catch (IllegalStateException e) {
            // The JVM is ending: the hook deletes the root.
            return;
        }
        deleteTree(root);
    }

    /**
     * How a run ended.
     *
     * @param status the exit status of {@code quill run}: 0 when the script ran to its end, 1 when
     *     an error stopped it (see {@link #resultCode}), 2 for a usage error
     * @param output what the script wrote (its standard output)
     * @param log the server's log lines ({@code [level] text}) and the error line, if any (its
     *     standard error)
     */
    public record Result(int status, String output, String log) {
        /** The script's output split into lines, without their line breaks. */
        public List<String> lines() {
            return output.lines().toList();
        }

        /**
         * The code of the error that stopped the script ({@code error N:}), such as a tag's
         * non-zero return, or 0 when none did. A failed database action does not stop a script:
         * its code and message are read in the script with {@code action_code()} and
         * {@code action_message()}.
         */
        public int resultCode() {
            Matcher error = ERROR_LINE.matcher(log);
            return error.find() ? Integer.parseInt(error.group(1)) : 0;
        }

        /** The message of the error that stopped the script, or {@code null} when none did. */
        public String errorMessage() {
            Matcher error = ERROR_LINE.matcher(log);
            return error.find() ? error.group(2) : null;
        }

        /** The log lines of {@code level} (0 to 3), without their {@code [level] } prefix. */
        public List<String> logLines(int level) {
            String prefix = "[" + level + "] ";
            return log.lines().filter(l -> l.startsWith(prefix)).map(l -> l.substring(prefix.length())).toList();
        }
    }

    private static Optional<String> setting(String property, String variable, String fallback) {
        String value = System.getProperty(property);
        if (value == null || value.isEmpty()) {
            value = System.getenv(variable);
        }
        return Optional.ofNullable(value == null || value.isEmpty() ? fallback : value);
    }

    private static boolean isModuleJar(Path file) {
        if (!file.getFileName().toString().endsWith(".jar")) {
            return false;
        }
        try (ZipFile jar = new ZipFile(file.toFile())) {
            return jar.getEntry(SERVICE_FILE) != null;
        } catch (IOException e) {
            return false;
        }
    }

    private static void deleteTree(Path top) {
        if (top == null || !Files.exists(top)) {
            return;
        }
        try (Stream<Path> all = Files.walk(top)) {
            for (Path path : (Iterable<Path>) all.sorted(Comparator.reverseOrder())::iterator) {
                Files.deleteIfExists(path);
            }
        } catch (IOException e) {
            throw new UncheckedIOException("cannot delete " + top, e);
        }
    }
}
