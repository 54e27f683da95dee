package com.marrowbay.jdbc;

import java.sql.Driver;

/**
 * One JDBC driver as the connector knows it: the loaded driver, where it came from, and the SQL
 * settings kept for it in the driver table (columns {@code catalogs_supported} to
 * {@code typeconvert_supported}), which become the data source's connector properties.
 */
final class DriverEntry {
    final Driver driver;
    final String className;
    final String fileName;
    /** The database family ("SQLite", "PostgreSQL", ...), which names the data source. */
    String rdbms;
    String vendorName = "";
    String vendorUrl = "";
    /** A URL with nothing configured (SQLite only: a folder of database files under the root). */
    String defaultUrl = "";
    /** Appended to the database name when a host URL ends with "/" (".db" for SQLite). */
    String databaseSuffix = "";
    String connectionString = "";
    String requiredProperties = "";
    boolean certified;
    boolean catalogs;
    boolean schemas;
    String quote = "";
    String quoteEscape = "";
    String catalogSeparator = ".";
    String terminator = "";
    boolean converts;
    /**
     * Run on every new connection before it is used, and again after each script statement, so
     * that no statement of the script can leave the session in a mode the server's SQL relies on
     * not being in. Empty for most drivers.
     */
    String sessionSql = "";
    /**
     * Searches run as prepared statements with their values bound, typed as the database types
     * the literals of their text (see JDBCConnector.bind and bindForSqlite), each kept on its
     * connection with its result's column descriptions, so that a repeated search is neither
     * prepared nor described again. Only for drivers whose binding is known to give the text's
     * answers: PostgreSQL's and SQLite's.
     */
    boolean bindsValues;
    /**
     * Each column name asked of a result costs a call into the database (SQLite's driver): a kept
     * column description has its names checked through the result's own lookup of the names it
     * read with the rows instead.
     */
    boolean columnNamesByLookup;
    /**
     * With bindsValues: only quoted values and integers of up to 18 digits are bound, as SQLite
     * reads their literals (JDBCConnector.sqliteBindable); a search with any other value has its
     * text run. Without it, values are bound with PostgreSQL's typing of literals.
     */
    boolean bindsIntegersOnly;
    /** The driver fetches rows in batches (a cursor) only with autocommit off. */
    boolean cursorNeedsTransaction;
    /**
     * getBytes on a text column gives the text's UTF-8 bytes, so rows are read without a String
     * decoded and encoded again per cell. When utf8Query is set, only for a database whose answer
     * to it is "UTF-8" (SQLite keeps text in the encoding the database file was made with).
     */
    boolean textBytesAreUtf8;
    String utf8Query = "";
    /** True once the settings came from the table or from a connection's metadata. */
    boolean settled;

    static final String NO_BACKSLASH_ESCAPES =
            "SET SESSION sql_mode = TRIM(BOTH ',' FROM CONCAT(@@SESSION.sql_mode, ',NO_BACKSLASH_ESCAPES'))";

    DriverEntry(Driver driver, String fileName) {
        this.driver = driver;
        this.className = driver.getClass().getName();
        this.fileName = fileName;
    }

    /** Sensible settings for the drivers the connector knows; false for any other. */
    boolean applyKnownDefaults() {
        quote = "\"";
        quoteEscape = "\"";
        catalogSeparator = ".";
        terminator = "";
        converts = false;
        sessionSql = "";
        cursorNeedsTransaction = false;
        bindsValues = false;
        columnNamesByLookup = false;
        bindsIntegersOnly = false;
        textBytesAreUtf8 = false;
        utf8Query = "";
        certified = true;
        settled = true;
        switch (className) {
            case "org.sqlite.JDBC":
                rdbms = "SQLite";
                vendorName = "Xerial";
                vendorUrl = "https://github.com/xerial/sqlite-jdbc";
                connectionString = "jdbc:sqlite:FILE";
                defaultUrl = "jdbc:sqlite:jdbc-data/";
                databaseSuffix = ".db";
                catalogs = false;
                schemas = false;
                textBytesAreUtf8 = true;
                utf8Query = "PRAGMA encoding";
                bindsValues = true;
                columnNamesByLookup = true;
                bindsIntegersOnly = true;
                return true;
            case "org.postgresql.Driver":
                rdbms = "PostgreSQL";
                vendorName = "PostgreSQL Global Development Group";
                vendorUrl = "https://jdbc.postgresql.org";
                connectionString = "jdbc:postgresql://HOST:PORT/DATABASE";
                requiredProperties = "user,password";
                catalogs = false;
                schemas = true;
                cursorNeedsTransaction = true;
                bindsValues = true;
                // Backslashes are ordinary characters in quoted literals even on a server set the
                // old way, so a literal means what its bound value means and cannot end early.
                sessionSql = "SET standard_conforming_strings = on";
                // The driver insists on a UTF-8 client encoding; text arrives as text, not binary.
                textBytesAreUtf8 = true;
                return true;
            case "org.mariadb.jdbc.Driver":
                rdbms = "MariaDB";
                vendorName = "MariaDB Corporation";
                vendorUrl = "https://mariadb.com/kb/en/about-mariadb-connector-j/";
                connectionString = "jdbc:mariadb://HOST:PORT/DATABASE";
                requiredProperties = "user,password";
                quote = "`";
                quoteEscape = "`";
                // A database is a catalog: tables are written `database`.`table`.
                catalogs = true;
                schemas = false;
                // Backslashes are ordinary characters in literals, whatever the server's sql_mode,
                // so a value with its quotes doubled can never end its literal early.
                sessionSql = NO_BACKSLASH_ESCAPES;
                return true;
            case "org.h2.Driver":
                rdbms = "H2";
                vendorName = "H2 Group";
                vendorUrl = "https://h2database.com";
                connectionString = "jdbc:h2:FILE";
                catalogs = false;
                schemas = true;
                return true;
            default:
                certified = false;
                settled = false;
                rdbms = guessFamily(className);
                return false;
        }
    }

    /** "org.firebirdsql.jdbc.FBDriver" gives "firebirdsql": the first package part that names no domain. */
    static String guessFamily(String className) {
        String[] parts = className.split("\\.");
        for (String part : parts) {
            if (!part.equals("org") && !part.equals("com") && !part.equals("net") && !part.equals("io")) {
                return part.length() > 20 ? part.substring(0, 20) : part;
            }
        }
        return className;
    }
}
