package com.marrowbay.jdbc;

/**
 * The base of connector data sources, whose statements the server writes. For now it carries the
 * door to the server's internal database, where the connector keeps its driver table.
 */
public abstract class JDBCDataSource {
    /**
     * Runs one SQL statement on the server's internal database ("quill_internal"). The text goes
     * to the server as ISO-8859-1.
     *
     * @return the rows, each an array of its cells (a SQL NULL is null); null when the statement
     *         failed, returned no rows (INSERT, UPDATE, CREATE, ...), or {@code sql} is null or
     *         empty
     */
    public static native String[][] StoreManExecute(String sql);
}
