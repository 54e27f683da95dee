package com.marrowbay.jdbc;

/**
 * A search's bound statement as the module hands it to the JDBC connector, with what the search
 * reads of its action before it runs, read by the module while it wrote the statement: the
 * connector then makes no crossing of its own for them. The module has also set the action's
 * statement to the text, as {@code setActionStatement} does.
 */
public final class BoundSearch extends BoundStatement {
    /** The route stamp of the action's host and database. */
    public final long stamp;
    /** The rows to skip. */
    public final long skip;
    /** The row after the last one wanted; Long.MAX_VALUE for no limit. */
    public final long end;
    /** The action only asks for its statement. */
    public final boolean statementOnly;
    /**
     * The action is its request's first on its host: the server has made the request's empty
     * connection slot for it, which holds nothing yet.
     */
    public final boolean firstOnHost;

    private BoundSearch(String data, int type, String bound, String[] values, boolean[] bare, long stamp, long skip,
            long end, int flags) {
        super("SQL", data, type, bound, values, bare);
        this.stamp = stamp;
        this.skip = skip;
        this.end = end;
        this.statementOnly = (flags & 1) != 0;
        this.firstOnHost = (flags & 2) != 0;
    }

    /**
     * The search as the module packs it: its text, then its values as in
     * {@link BoundStatement#fromAscii}; the text with placeholders comes as a string of its own,
     * the same string for every run of the search.
     *
     * @param flags 1: statement-only; 2: the request's first action on its host
     */
    static BoundSearch fromAscii(byte[] packed, int textLength, String bound, int type, long stamp, long skip,
            long end, int flags) {
        int count = packedValues(packed, textLength);
        String[] values = new String[count];
        boolean[] bare = new boolean[count];
        unpackValues(packed, textLength, values, bare);
        return new BoundSearch(ascii(packed, 0, textLength), type, bound, values, bare, stamp, skip, end, flags);
    }
}
