package com.marrowbay.jdbc;

/**
 * The value a connector data source whose {@code _BindsValues} is true receives for a search
 * whose values are all compared plainly (no pattern, list or full-text value): {@code name} is
 * "SQL" and {@code data} the statement's text, as for every other action, and beside them the
 * same statement with a {@code ?} for each value, to be run as a prepared statement with the
 * values bound. The text is what is logged and shown to scripts; both forms must give the same
 * rows.
 */
public class BoundStatement extends com.ferngate.quillpro.QuillValue {
    /** The statement with a {@code ?} in place of each value. */
    public final String bound;
    /** The values in the order of their placeholders, as the script gave them. */
    public final String[] values;
    /**
     * Per value: true where the text writes it bare (a plain number, or true or false for a
     * boolean column), false where it writes it between quotes (text that takes its column's
     * type).
     */
    public final boolean[] bare;

    // The module allocates the bound statements it hands to a connector without running a
    // constructor and fills these fields and the three inherited ones itself: a field added here
    // would keep its default.

    /**
     * A statement in both forms.
     *
     * @param name "SQL"
     * @param data the statement's text
     * @param type the host's text type
     * @param bound the statement with placeholders
     * @param values the values of the placeholders
     * @param bare per value, whether the text writes it bare
     */
    public BoundStatement(String name, String data, int type, String bound, String[] values, boolean[] bare) {
        super(name, data, type);
        this.bound = bound;
        this.values = values;
        this.bare = bare;
    }
}
