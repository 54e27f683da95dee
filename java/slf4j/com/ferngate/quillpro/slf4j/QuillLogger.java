package com.ferngate.quillpro.slf4j;

import com.ferngate.quillpro.QuillLog;
import org.slf4j.helpers.FormattingTuple;
import org.slf4j.helpers.MarkerIgnoringBase;
import org.slf4j.helpers.MessageFormatter;

/**
 * An SLF4J logger writing into the server's log: error at level 0, warn at 1, info at 2, debug
 * and trace at 3, each line starting with the logger's name in brackets. {@link QuillLog}'s
 * threshold decides which levels are enabled.
 */
final class QuillLogger extends MarkerIgnoringBase {
    private static final long serialVersionUID = 1L;

    QuillLogger(String name) {
        this.name = name;
    }

    private void log(int rank, String format, Object... arguments) {
        if (!QuillLog.enabled(rank)) {
            return;
        }
        FormattingTuple tuple = MessageFormatter.arrayFormat(format, arguments);
        QuillLog.write(rank, name, tuple.getMessage(), tuple.getThrowable());
    }

    private void log(int rank, String message, Throwable thrown) {
        QuillLog.write(rank, name, message, thrown);
    }

    @Override public boolean isTraceEnabled() { return QuillLog.enabled(QuillLog.TRACE_RANK); }
    @Override public void trace(String msg) { log(QuillLog.TRACE_RANK, msg, (Throwable) null); }
    @Override public void trace(String format, Object arg) { log(QuillLog.TRACE_RANK, format, arg); }
    @Override public void trace(String format, Object a, Object b) { log(QuillLog.TRACE_RANK, format, a, b); }
    @Override public void trace(String format, Object... arguments) { log(QuillLog.TRACE_RANK, format, arguments); }
    @Override public void trace(String msg, Throwable t) { log(QuillLog.TRACE_RANK, msg, t); }

    @Override public boolean isDebugEnabled() { return QuillLog.enabled(QuillLog.DEBUG); }
    @Override public void debug(String msg) { log(QuillLog.DEBUG, msg, (Throwable) null); }
    @Override public void debug(String format, Object arg) { log(QuillLog.DEBUG, format, arg); }
    @Override public void debug(String format, Object a, Object b) { log(QuillLog.DEBUG, format, a, b); }
    @Override public void debug(String format, Object... arguments) { log(QuillLog.DEBUG, format, arguments); }
    @Override public void debug(String msg, Throwable t) { log(QuillLog.DEBUG, msg, t); }

    @Override public boolean isInfoEnabled() { return QuillLog.enabled(QuillLog.DETAIL); }
    @Override public void info(String msg) { log(QuillLog.DETAIL, msg, (Throwable) null); }
    @Override public void info(String format, Object arg) { log(QuillLog.DETAIL, format, arg); }
    @Override public void info(String format, Object a, Object b) { log(QuillLog.DETAIL, format, a, b); }
    @Override public void info(String format, Object... arguments) { log(QuillLog.DETAIL, format, arguments); }
    @Override public void info(String msg, Throwable t) { log(QuillLog.DETAIL, msg, t); }

    @Override public boolean isWarnEnabled() { return QuillLog.enabled(QuillLog.WARNING); }
    @Override public void warn(String msg) { log(QuillLog.WARNING, msg, (Throwable) null); }
    @Override public void warn(String format, Object arg) { log(QuillLog.WARNING, format, arg); }
    @Override public void warn(String format, Object a, Object b) { log(QuillLog.WARNING, format, a, b); }
    @Override public void warn(String format, Object... arguments) { log(QuillLog.WARNING, format, arguments); }
    @Override public void warn(String msg, Throwable t) { log(QuillLog.WARNING, msg, t); }

    @Override public boolean isErrorEnabled() { return QuillLog.enabled(QuillLog.CRITICAL); }
    @Override public void error(String msg) { log(QuillLog.CRITICAL, msg, (Throwable) null); }
    @Override public void error(String format, Object arg) { log(QuillLog.CRITICAL, format, arg); }
    @Override public void error(String format, Object a, Object b) { log(QuillLog.CRITICAL, format, a, b); }
    @Override public void error(String format, Object... arguments) { log(QuillLog.CRITICAL, format, arguments); }
    @Override public void error(String msg, Throwable t) { log(QuillLog.CRITICAL, msg, t); }
}
