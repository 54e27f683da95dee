package com.ferngate.quillpro;

/** The server log's destination. Messages are logged with {@link QuillCall#log}. */
public final class QuillLogging {
    private QuillLogging() {
    }

    /** Passes both codes to the host's log destination setting; returns the host's result. */
    public static native int setDestination(int destination, int option);
}
