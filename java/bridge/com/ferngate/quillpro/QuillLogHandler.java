package com.ferngate.quillpro;

import java.util.logging.Formatter;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.SimpleFormatter;

/**
 * A java.util.logging handler that writes into the server's log: SEVERE at level 0, WARNING at 1,
 * INFO and CONFIG at 2, FINE and below at 3. The module loader puts it on the root logger, so
 * every {@link java.util.logging.Logger} of a module reaches the log; {@link QuillLog} tells
 * which records pass.
 */
public class QuillLogHandler extends Handler {
    private static final Formatter MESSAGE_FORMATTER = new SimpleFormatter();

    /** A handler that takes every record the loggers pass it. */
    public QuillLogHandler() {
        setLevel(Level.ALL);
    }

    /** The {@link QuillLog} rank of a java.util.logging level. */
    public static int rank(Level level) {
        int value = level.intValue();
        if (value >= Level.SEVERE.intValue()) {
            return QuillLog.CRITICAL;
        }
        if (value >= Level.WARNING.intValue()) {
            return QuillLog.WARNING;
        }
        if (value >= Level.CONFIG.intValue()) {
            return QuillLog.DETAIL;
        }
        if (value >= Level.FINE.intValue()) {
            return QuillLog.DEBUG;
        }
        return QuillLog.TRACE_RANK;
    }

    /**
     * The root logger's level for a {@link QuillLog} threshold. At the default (information) it is
     * INFO, as in Java's own configuration, so the JDK's CONFIG lines stay out of the log.
     */
    static Level julLevel(int rank) {
        switch (rank) {
            case QuillLog.CRITICAL: return Level.SEVERE;
            case QuillLog.WARNING: return Level.WARNING;
            case QuillLog.DETAIL: return Level.INFO;
            case QuillLog.DEBUG: return Level.FINE;  // CONFIG passes too, at level 2
            default: return Level.ALL;
        }
    }

    @Override
    public void publish(LogRecord record) {
        if (record == null || !isLoggable(record)) {
            return;
        }
        // formatMessage fills {0}-style parameters and localises, as the JDK's own handlers do.
        QuillLog.write(rank(record.getLevel()), record.getLoggerName(),
                MESSAGE_FORMATTER.formatMessage(record), record.getThrown());
    }

    @Override
    public void flush() {
    }

    @Override
    public void close() {
    }
}
