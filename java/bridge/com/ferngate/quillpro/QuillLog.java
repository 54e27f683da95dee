package com.ferngate.quillpro;

/**
 * The server's log, reachable from any thread without a running call: levels and a writer. The
 * SLF4J binding and the java.util.logging handler write through here.
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

    // The log native reads no token, so one unbound request object serves every thread.
    private static final QuillCall UNBOUND = new QuillCall();

    /**
     * Writes {@code message} as one line at {@code level}; control characters in it are written
     * as escapes.
     *
     * @return 0, {@link QuillError#BAD_STRING} when the text cannot be read, or an error code
     */
    public static int write(int level, String message) {
        return UNBOUND.log(level, message == null ? "null" : message);
    }
}
