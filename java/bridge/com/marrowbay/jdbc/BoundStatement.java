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

    // The module makes the bound statements it hands to a connector with fromAscii, or allocates
    // them without running a constructor and fills these fields and the three inherited ones
    // itself: a field added here would keep its default.

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

    /**
     * The statement as the module packs it when all of it is ASCII: its text, the text with
     * placeholders, then each value behind a '1' where the text writes it bare or a '0' where it
     * quotes it and followed by a zero byte. Made here, in compiled code, the strings and arrays
     * cost the module a fraction of making each of them through the native interface.
     *
     * @param packed the texts as described
     * @param textLength the length of the text, at the start
     * @param boundLength the length of the text with placeholders, right after it
     * @param type the host's text type
     * @return the statement, named "SQL"
     */
    static BoundStatement fromAscii(byte[] packed, int textLength, int boundLength, int type) {
        int first = textLength + boundLength;
        int count = 0;
        for (int at = first; at < packed.length; at++) {
            if (packed[at] == 0) count++;
        }
        String[] values = new String[count];
        boolean[] bare = new boolean[count];
        int at = first;
        for (int i = 0; i < count; i++) {
            int end = at + 1;
            while (packed[end] != 0) end++;
            bare[i] = packed[at] == '1';
            values[i] = ascii(packed, at + 1, end);
            at = end + 1;
        }
        return new BoundStatement("SQL", ascii(packed, 0, textLength), type, ascii(packed, textLength, first), values,
                bare);
    }

    private static String ascii(byte[] packed, int from, int to) {
        return new String(packed, from, to - from, java.nio.charset.StandardCharsets.ISO_8859_1);
    }
}
