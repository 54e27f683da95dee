package com.ferngate.quillpro;

/**
 * Search operators (the {@code type} of an input column, {@link QuillCall#getInputColumn}) and
 * logical operators ({@link QuillCall#getLogicalOp}): four-character codes, the first character
 * in the most significant byte.
 */
public final class SearchOp {
    private SearchOp() {
    }

    /** {@code "=   "}: equals; with a null value, is null. */
    public static final int EQUALS = 0x3D202020;
    /** {@code "NOT "}: not equals; with a null value, is not null. */
    public static final int NOT_EQUALS = 0x4E4F5420;
    /** {@code "<   "}. */
    public static final int LESS = 0x3C202020;
    /** {@code "<=  "}. */
    public static final int AT_MOST = 0x3C3D2020;
    /** {@code ">   "}. */
    public static final int GREATER = 0x3E202020;
    /** {@code ">=  "}. */
    public static final int AT_LEAST = 0x3E3D2020;
    /** {@code "bgwt"}: begins with the value. */
    public static final int BEGINS_WITH = 0x62677774;
    /** {@code "ends"}: ends with the value. */
    public static final int ENDS_WITH = 0x656E6473;
    /** {@code "cont"}: contains the value. */
    public static final int CONTAINS = 0x636F6E74;
    /** {@code "!bgs"}: does not begin with the value. */
    public static final int NOT_BEGINS_WITH = 0x21626773;
    /** {@code "!end"}: does not end with the value. */
    public static final int NOT_ENDS_WITH = 0x21656E64;
    /** {@code "!cts"}: does not contain the value. */
    public static final int NOT_CONTAINS = 0x21637473;
    /** {@code " nlt"}: one of a comma-separated list. */
    public static final int IN_LIST = 0x206E6C74;
    /** {@code "!nlt"}: none of a comma-separated list. */
    public static final int NOT_IN_LIST = 0x216E6C74;
    /** {@code " ftx"}: full-text match. */
    public static final int FULL_TEXT = 0x20667478;

    /** Logical operator {@code "AND "}: every criterion must hold. */
    public static final int AND = 0x414E4420;
    /** Logical operator {@code "OR  "}: any criterion may hold. */
    public static final int OR = 0x4F522020;
}
