package com.ferngate.quillpro;

/**
 * The base of Java data-source modules. A data source is served by one instance of the
 * registering class (made with its public no-argument constructor) through a dispatch method
 * {@code int name(QuillCall call, int action, QuillValue value)} (both parameter classes from
 * one package); {@code action} is one of the action codes below.
 */
public abstract class QuillDSModule extends QuillJavaModule {
    /** Sent once after the host accepted the data source; value null. */
    public static final int ACTION_INIT = 0;
    /** Sent when the host destroys the data source; value null. */
    public static final int ACTION_TERMINATE = 1;
    /** List database names ({@link QuillCall#addDataSourceResult}); value null. */
    public static final int ACTION_LIST_DATABASES = 3;
    /** List the tables of the database named by the value. */
    public static final int ACTION_LIST_TABLES = 4;
    public static final int ACTION_SEARCH = 5;
    public static final int ACTION_ADD = 6;
    public static final int ACTION_UPDATE = 7;
    public static final int ACTION_DELETE = 8;
    /** Describe a table's columns ({@link QuillCall#addColumnInfo}). */
    public static final int ACTION_DESCRIBE_TABLE = 9;
    /** Run the statement in the value's data. */
    public static final int ACTION_EXECUTE_STATEMENT = 10;
    public static final int ACTION_LIST_SCHEMAS = 12;
    /** The host closes the connection; a stored connection object is released after it. */
    public static final int ACTION_CLOSE_CONNECTION = 13;

    /**
     * Registers a data source named {@code name} whose actions go to {@code methodName} of this
     * object's class.
     *
     * @param ignored not read by the server
     * @param text1   extra text kept with the data source
     * @param text2   extra text kept with the data source (null is empty)
     */
    public native void registerDSModule(String name, String methodName, int ignored,
                                        String text1, String text2);

    /** {@link #registerDSModule} without extra texts. */
    public void registerDataSource(String name, String methodName) {
        registerDSModule(name, methodName, 0, "", "");
    }
}
