package com.marrowbay.jdbc;

/**
 * The base of connector data sources: the server writes the SQL of every record action (search,
 * add, update, delete, describe) and hands it to the dispatch method as the value ("SQL",
 * statement); the connector only executes it. The fields below are the connector properties the
 * server reads when the source is registered, and again before each record action while
 * {@code _Inited} is false.
 */
public abstract class JDBCDataSource {
    /** Whether the properties below are final; false makes the server read them again. */
    protected boolean _Inited;
    /**
     * Whether, while {@code _Inited} is false before a record action, the server sends action 0
     * again, on that action's request, and reads the properties once more before it writes the
     * statement (a connector can then learn them from a connection to the action's database).
     * False: the statement is written with the properties as they are.
     */
    protected boolean _InitOnAction;
    protected boolean _SupportsSchemas;
    protected boolean _SupportsCatalogs;
    /**
     * Whether the driver converts text to the column's type. When false the server first asks
     * (action 10) for the columns of the table and writes numbers, dates and booleans bare.
     */
    protected boolean _SupportsConvert = true;
    /**
     * Whether searches are run with their values bound: the server then hands a search whose
     * values are all compared plainly to the dispatch method as a {@link BoundStatement}, which
     * also carries the statement with placeholders.
     */
    protected boolean _BindsValues;
    /** Between catalog, schema and table; null is ".". */
    protected String _CatalogSeparator = ".";
    /** Around identifiers. */
    protected String _QuoteCharacter = "";
    /** The default schema. */
    protected String _SchemaName = "";
    /** After every statement but the column discovery. */
    protected String _StatementTerminator = "";

    /**
     * Registers this object as the connector data source {@code name}; its actions go to the
     * method {@code int methodName(com.marrowbay.quillpro.QuillCall, int,
     * com.marrowbay.quillpro.QuillValue)} of this object.
     *
     * @param ignored not read by the server
     */
    public native void registerJDBCModule(String name, String methodName, int ignored);

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
