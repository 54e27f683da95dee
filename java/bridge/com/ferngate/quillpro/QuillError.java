package com.ferngate.quillpro;

/**
 * Error codes the bridge returns besides the host's own (every native returns 0 for success or
 * the host's code unchanged).
 */
public final class QuillError {
    private QuillError() {
    }

    public static final int OK = 0;
    /** The {@link QuillCall} is bound to no host call (its {@code nativeRef} is 0). */
    public static final int NO_CALL = -11000;
    /** A required object argument (an out-parameter, or a checked string or array) was null. */
    public static final int NULL_ARGUMENT = -10999;
    /** A Java string could not be read or converted for the host. */
    public static final int BAD_STRING = -9995;
    /** The operation found nothing to work on. */
    public static final int NOTHING_TO_DO = -9956;
    /** A generic failure. */
    public static final int GENERIC = -1;
    /** A data-source operation the host asked for is not supported. */
    public static final int UNSUPPORTED = -802;
    /** An update of a connector data source found no usable key column or value. */
    public static final int NO_UPDATE_KEY = -9958;
    /** A delete of a connector data source found no usable key column or value. */
    public static final int NO_DELETE_KEY = -9957;

    /** True for 0. */
    public static boolean ok(int code) {
        return code == OK;
    }
}
