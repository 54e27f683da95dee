package com.ferngate.quillpro;

import java.io.ByteArrayOutputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.Charset;
import java.util.Locale;
import java.util.logging.LogManager;
import java.util.logging.Logger;

/**
 * The server's log, reachable from any thread without a running call: levels, a writer, and the
 * routes that bring java.util.logging, SLF4J and (on request) {@code System.out} and
 * {@code System.err} into it.
 *
 * <p>Java's logging frameworks know five severities; the server's log has four levels. Each
 * severity has a rank: 0 error, 1 warning, 2 information, 3 debug, 4 trace; it is written at the
 * server level of the same number, trace at {@link #DEBUG}. Lines ranked above the threshold are
 * dropped before they are formatted. The threshold is the system property
 * {@value #LEVEL_PROPERTY} ({@code error}, {@code warn}, {@code info}, {@code debug},
 * {@code trace}, or a rank), set through the server's VM options; it is {@code info} by default.
 */
public final class QuillLog {
    private QuillLog() {
    }

    /** Level of failures that need attention. */
    public static final int CRITICAL = 0;
    /** Level of warnings. */
    public static final int WARNING = 1;
    /** Level of progress and detail (the server's start-up lines). */
    public static final int DETAIL = 2;
    /** Level of deep detail, for debugging. */
    public static final int DEBUG = 3;
    /** Rank of trace lines, which the server logs at {@link #DEBUG}. */
    public static final int TRACE_RANK = 4;

    /** The system property holding the threshold. */
    public static final String LEVEL_PROPERTY = "quill.log.level";
    /** The system property that, set to {@code log}, sends {@code System.out} and {@code System.err} to the log. */
    public static final String STDIO_PROPERTY = "quill.stdio";

    private static final String[] RANK_NAMES = {"error", "warn", "info", "debug", "trace"};

    // The log native reads no token, so one unbound request object serves every thread.
    private static final QuillCall UNBOUND = new QuillCall();

    private static volatile int threshold = parseRank(System.getProperty(LEVEL_PROPERTY), DETAIL);

    /**
     * Writes {@code message} as one line at {@code level}; control characters in it are written
     * as escapes, and a character beyond ISO-8859-1 as {@code ?} (see {@link QuillCall#log}).
     *
     * @return 0, {@link QuillError#BAD_STRING} when the text cannot be read, or an error code
     */
    public static int write(int level, String message) {
        return UNBOUND.log(level, message == null ? "null" : message);
    }

    /**
     * Writes a line of rank {@code rank} (0 to 4) when the threshold lets it through: the source's
     * name in brackets, the message, and the throwable's stack trace (its line breaks written as
     * escapes, so the line stays one line).
     */
    public static void write(int rank, String source, String message, Throwable thrown) {
        if (!enabled(rank)) {
            return;
        }
        StringBuilder line = new StringBuilder();
        if (source != null && !source.isEmpty()) {
            line.append('[').append(source).append("] ");
        }
        line.append(message);
        if (thrown != null) {
            StringWriter trace = new StringWriter();
            thrown.printStackTrace(new PrintWriter(trace));
            line.append('\n').append(trace.toString().stripTrailing());
        }
        write(Math.min(rank, DEBUG), line.toString());
    }

    /** Whether lines of rank {@code rank} are written. */
    public static boolean enabled(int rank) {
        return rank <= threshold;
    }

    /** The current threshold rank. */
    public static int threshold() {
        return threshold;
    }

    /** Sets the threshold rank (clamped to 0..4). */
    public static void setThreshold(int rank) {
        threshold = Math.max(CRITICAL, Math.min(TRACE_RANK, rank));
    }

    /** The rank a name ({@code "warn"}) or number ({@code "1"}) gives, or {@code fallback}. */
    static int parseRank(String text, int fallback) {
        if (text == null) {
            return fallback;
        }
        String name = text.trim().toLowerCase(Locale.ROOT);
        for (int rank = 0; rank < RANK_NAMES.length; rank++) {
            if (RANK_NAMES[rank].equals(name)) {
                return rank;
            }
        }
        if (name.equals("warning")) {
            return WARNING;
        }
        try {
            int rank = Integer.parseInt(name);
            return rank >= CRITICAL && rank <= TRACE_RANK ? rank : fallback;
        } catch (NumberFormatException e) {
            return fallback;
        }
    }

    /**
     * Routes java.util.logging into the log (unless a logging configuration was given with
     * {@code java.util.logging.config.file} or {@code .class}), and {@code System.out} and
     * {@code System.err} too when {@value #STDIO_PROPERTY} is {@code log}. Called by the module
     * loader before any module registers.
     */
    public static void install() {
        if (System.getProperty("java.util.logging.config.file") == null
                && System.getProperty("java.util.logging.config.class") == null) {
            LogManager.getLogManager().reset();
            Logger root = Logger.getLogger("");
            root.addHandler(new QuillLogHandler());
            root.setLevel(QuillLogHandler.julLevel(threshold));
        }
        if ("log".equalsIgnoreCase(System.getProperty(STDIO_PROPERTY))) {
            System.setOut(lineStream("stdout", DETAIL, Charset.defaultCharset()));
            System.setErr(lineStream("stderr", WARNING, Charset.defaultCharset()));
        }
    }

    /** A print stream that writes each line it receives as one log line of {@code level}. */
    static PrintStream lineStream(String source, int level, Charset charset) {
        OutputStream lines = new OutputStream() {
            // One partial line per thread, so lines of concurrent threads do not interleave.
            private final ThreadLocal<ByteArrayOutputStream> pending =
                    ThreadLocal.withInitial(ByteArrayOutputStream::new);

            @Override
            public void write(int b) {
                ByteArrayOutputStream line = pending.get();
                if (b == '\n') {
                    String text = line.toString(charset);
                    line.reset();
                    QuillLog.write(level, "[" + source + "] "
                            + (text.endsWith("\r") ? text.substring(0, text.length() - 1) : text));
                } else {
                    line.write(b);
                }
            }

            @Override
            public void write(byte[] bytes, int offset, int length) {
                for (int i = offset; i < offset + length; i++) {
                    write(bytes[i]);
                }
            }
        };
        return new PrintStream(lines, true, charset);
    }
}
