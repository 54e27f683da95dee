package com.ferngate.quillpro;

import java.nio.charset.StandardCharsets;

/**
 * Four-character codes: host type codes, search and logical operators and the text mark are
 * 32-bit integers whose bytes, most significant first, spell four characters.
 */
public final class TypeCode {
    private TypeCode() {
    }

    /** The text mark 'TEXT' (0x54455854), the type of the values the bridge builds for actions. */
    public static final int TEXT = 0x54455854;

    public static final int NULL = fourCC("null");
    public static final int STRING = fourCC("strg");
    public static final int INTEGER = fourCC("intg");
    public static final int DECIMAL = fourCC("decm");
    public static final int BOOLEAN = fourCC("bool");
    public static final int BYTES = fourCC("byte");
    public static final int ARRAY = fourCC("arry");
    public static final int MAP = fourCC("map ");
    public static final int PAIR = fourCC("pair");
    /** A tag (compiled code). */
    public static final int TAG = fourCC("code");
    public static final int CUSTOM = fourCC("cust");
    public static final int REFERENCE = fourCC("ref ");

    // Column types for QuillCall.addColumnInfo: a data source's columns of these types hold
    // numbers, dates or booleans, which the statement builder writes unquoted.
    /** Column type: a whole number. */
    public static final int LONG = fourCC("long");
    /** Column type: a floating-point or decimal number. */
    public static final int DOUBLE = fourCC("doub");
    /** Column type: a date, time or timestamp. */
    public static final int DATE = fourCC("Date");
    /** Column type: a boolean (the same code as {@link #BOOLEAN}). */
    public static final int COLUMN_BOOLEAN = BOOLEAN;

    /**
     * The code spelled by four ISO-8859-1 characters, the first in the most significant byte.
     *
     * @throws IllegalArgumentException unless {@code code} has exactly four characters below 256
     */
    public static int fourCC(String code) {
        if (code == null || code.length() != 4) {
            throw new IllegalArgumentException("a four-character code needs four characters: " + code);
        }
        int result = 0;
        for (int i = 0; i < 4; i++) {
            char c = code.charAt(i);
            if (c > 0xFF) {
                throw new IllegalArgumentException("not a one-byte character in code: " + code);
            }
            result = (result << 8) | c;
        }
        return result;
    }

    /** The four characters a code spells, for messages. */
    public static String toText(int code) {
        byte[] bytes = {(byte) (code >>> 24), (byte) (code >>> 16), (byte) (code >>> 8), (byte) code};
        return new String(bytes, StandardCharsets.ISO_8859_1);
    }
}
