package com.marrowbay.jdbc;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.TypeCode;
import com.marrowbay.quillpro.QuillCall;
import com.marrowbay.quillpro.QuillValue;
import com.zaxxer.hikari.HikariConfig;
import com.zaxxer.hikari.HikariDataSource;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.math.BigDecimal;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.sql.Connection;
import java.sql.DatabaseMetaData;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.ResultSetMetaData;
import java.sql.SQLException;
import java.sql.SQLTransientConnectionException;
import java.sql.Statement;
import java.sql.Types;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Properties;
import java.util.Set;
import java.util.TreeSet;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicLong;

/**
 * One JDBC data source: a database family served by one of its drivers. The server writes the
 * SQL of every record action; this class runs it on a connection of the action's host, applies
 * the rows to skip and the row limit, and reports columns, rows, counts and the statement. Every
 * failure reaches the script as a result code and message; no exception leaves
 * {@link #dispatch}.
 *
 * <p>Connections: one per request, host and database, kept in the request's connection slot and
 * given back to the host's pool when the server closes the slot (action 13). Pools are kept per
 * driver, URL, login and host until {@code _jdbc_deletehost} names the host or the data source
 * ends (action 1).
 */
public class JDBCConnector extends JDBCDataSource {
    /** Set by {@code _jdbc_debug}: every statement is written to the server's log. */
    protected volatile boolean _debugging;

    static final int CONNECT_FAILED = -9100;
    static final int NO_SUCH_OBJECT = -9101;
    static final int CONSTRAINT = -9102;
    static final int BAD_DATA = -9103;
    static final int SQL_FAILED = -9104;
    static final int NO_DRIVER = -9105;
    static final int ALREADY_EXISTS = -9106;
    static final int UNSUPPORTED = -802;

    private static final int POOL_SIZE = 8;
    private static final Set<String> SYSTEM_SCHEMAS = Set.of("information_schema", "pg_catalog", "pg_toast");

    final String family;
    final List<DriverEntry> drivers;
    final DriverCatalog catalog;
    volatile DriverEntry current;
    private final Map<PoolKey, HikariDataSource> pools = new ConcurrentHashMap<>();
    private final Map<PoolKey, Object> poolLocks = new ConcurrentHashMap<>();
    private final Map<PoolKey, Outage> outages = new ConcurrentHashMap<>();
    final Timeouts timeouts;
    private final Set<String> madeFolders = ConcurrentHashMap.newKeySet();
    /** Per database URL: whether its text columns are read as bytes (see DriverEntry.utf8Query). */
    private final Map<String, Boolean> utf8Databases = new ConcurrentHashMap<>();
    private final AdminActions admin = new AdminActions(this);
    /** Per pooled connection (the driver's own, not the pool's wrapper): its kept searches. */
    private final Map<Connection, KeptStatements> kept = new ConcurrentHashMap<>();
    /** Counts the script statements that may have changed a table's columns; kept searches older than the last are dropped. */
    private final AtomicLong columnsChanged = new AtomicLong();
    /**
     * Texts of searches whose last whole read needed more than one batch: the next run goes to
     * the copy or the cursor at once, without a first read to tell (see readIfOneBatch); false
     * once the server refused to copy it (see TextCopy). Emptied when full, and a text leaves it
     * once such a read needs no more than one batch. Only texts up to LARGE_SEARCH_TEXT
     * characters are kept, so a long list of values pins no memory here.
     */
    private final Map<String, Boolean> largeSearches = new ConcurrentHashMap<>();
    static final int LARGE_SEARCHES = 64;
    static final int LARGE_SEARCH_TEXT = 4096;

    /**
     * How long a request waits for a connection (the pool's wait and the driver's connect), and
     * how long after a host failed to give one it is answered "no connection" without trying.
     */
    record Timeouts(long connectMs, long retryAfterMs) {
        static final Timeouts DEFAULT = new Timeouts(2000, 2000);
    }

    JDBCConnector(String family, List<DriverEntry> drivers, DriverCatalog catalog, Timeouts timeouts) {
        this.timeouts = timeouts;
        this.family = family;
        this.drivers = drivers;
        this.catalog = catalog;
        this.current = drivers.get(0);
        // A driver whose settings are not known yet learns them on the first record action.
        _InitOnAction = true;
        applySettings();
    }

    /** The connector properties from the current driver's settings. */
    void applySettings() {
        DriverEntry entry = current;
        _SupportsSchemas = entry.schemas;
        _SupportsCatalogs = entry.catalogs;
        _SupportsConvert = entry.converts;
        _BindsValues = entry.bindsValues;
        _QuoteCharacter = entry.quote;
        _CatalogSeparator = entry.catalogSeparator;
        _StatementTerminator = entry.terminator;
        _SchemaName = "";
        // Written last: the server reads the others once it sees true.
        _Inited = entry.settled;
    }

    // ---- dispatch ----

    public int dispatch(QuillCall call, int action, QuillValue value) {
        // The thread's session serves its actions one after another; an action run inside
        // another that borrowed takes one of its own.
        Session own = borrowed.get();
        Session outer = null;
        if (own == null || !own.byUrl.isEmpty()) {
            outer = own;
            borrowed.set(own = new Session());
        }
        try {
            return act(call, action, value);
        } finally {
            if (!own.byUrl.isEmpty()) own.closeAll();
            if (outer != null) borrowed.set(outer);
        }
    }

    private int act(QuillCall call, int action, QuillValue value) {
        try {
            switch (action) {
                case 0: return prepare(call);
                case 1: closePools(null); return 0;
                case 3: return listDatabases(call);
                case 4: return listTables(call, value == null ? null : value.data);
                case 12: return listSchemas(call);
                case 5: return query(call, sql(value), value instanceof BoundStatement b ? b : null);
                case 6: return add(call, sql(value));
                case 7: case 8: return change(call, sql(value));
                case 9: return describeTable(call, sql(value));
                case 10: return statement(call, sql(value));
                case 13: return close(call);
                default:
                    if (action >= 128 && action <= 135) return admin.run(call, action, value);
                    return fail(call, UNSUPPORTED, "action " + action + " is not supported");
            }
        } catch (SQLException e) {
            String state = e.getSQLState() == null ? "" : e.getSQLState();
            boolean lost = connectionLost(state);
            int code = fail(call, e, state, lost);
            // A constraint refusing an add, update or delete (a duplicate key) tells nothing of a
            // table's columns or of the connection: the kept searches stay. Any other failure may.
            if (code != CONSTRAINT || action < 6 || action > 8 || mayChangeColumns(value.data) || lost) {
                forgetKept(call, lost);
            }
            return code;
        } catch (Failure f) {
            forgetKept(call, false);
            return fail(call, f.code, f.getMessage());
        } catch (Throwable t) {
            forgetKept(call, false);
            return fail(call, SQL_FAILED, t.toString());
        }
    }

    static final class Failure extends Exception {
        final int code;

        Failure(int code, String message) {
            super(message);
            this.code = code;
        }
    }

    private static String sql(QuillValue value) throws Failure {
        if (value == null || value.data == null || value.data.isEmpty()) {
            throw new Failure(SQL_FAILED, "no statement to run");
        }
        return value.data;
    }

    int fail(QuillCall call, int code, String message) {
        call.setResultMessage("JDBC " + family + ": " + message);
        return code;
    }

    /**
     * The code of an SQL error by its class (SQLState, "" when it has none, else the SQLite result
     * code); lost: the state says the connection broke.
     */
    int fail(QuillCall call, SQLException e, String state, boolean lost) {
        String message = e.getMessage() == null ? e.toString() : e.getMessage();
        int code = SQL_FAILED;
        if (isMysqlFamily() && MYSQL_CONSTRAINTS.contains(e.getErrorCode())) {
            code = CONSTRAINT;
        } else if (alreadyExists(state, e.getErrorCode(), message)) {
            code = ALREADY_EXISTS;
        } else if (lost || state.startsWith("28") || state.startsWith("3D")
                || (isMysqlFamily() && e.getErrorCode() == UNKNOWN_DATABASE)
                || e instanceof SQLTransientConnectionException) {
            code = CONNECT_FAILED;
        } else if (state.startsWith("42")) {
            code = NO_SUCH_OBJECT;
        } else if (state.startsWith("23") || (state.isEmpty() && (e.getErrorCode() & 0xff) == 19)) {
            code = CONSTRAINT;
        } else if (state.startsWith("22")) {
            code = BAD_DATA;
        } else if (state.isEmpty() && message.contains("no such ")) {
            code = NO_SUCH_OBJECT;
        }
        return fail(call, code, message);
    }

    /** The SQLState classes of a connection that broke: 08, and 57P (the server ended the session). */
    static boolean connectionLost(String state) {
        return state.startsWith("08") || state.startsWith("57P");
    }

    /**
     * A CREATE (or an added column) of a name that is taken: SQLState 42P04, 42P06, 42P07, 42701,
     * 42710 and 42723 (a database, schema, table, column, object or function), 42S01 and 42S21 (a
     * table or column; MariaDB), MariaDB's error 1007 (a database; SQLState HY000), or SQLite's
     * "... already exists" (no SQLState).
     */
    private boolean alreadyExists(String state, int errorCode, String message) {
        return DUPLICATE_STATES.contains(state) || (isMysqlFamily() && errorCode == 1007)
                || (state.isEmpty() && message.contains(" already exists"));
    }

    private static final Set<String> DUPLICATE_STATES = Set.of("42P04", "42P06", "42P07", "42701", "42710", "42723", "42S01", "42S21");

    /** MariaDB's and MySQL's unknown database (SQLState 42000, where PostgreSQL's is class 3D). */
    private static final int UNKNOWN_DATABASE = 1049;

    /**
     * MariaDB's and MySQL's constraint failures by error number: several come with the SQLState
     * HY000 (a NOT NULL column left out, 1364), which the driver may even report as a transient
     * connection failure.
     */
    private static final Set<Integer> MYSQL_CONSTRAINTS =
            Set.of(1048, 1062, 1169, 1216, 1217, 1364, 1451, 1452, 1557, 1586, 3819, 4025);

    private boolean isMysqlFamily() {
        String driver = current.className;
        return driver.startsWith("org.mariadb.") || driver.startsWith("com.mysql.");
    }

    private static void trace(QuillCall call, String sql) {
        call.setActionStatement(sql);
    }

    // ---- hosts and connections ----

    /** The action's host as the administrator stored it; an empty URL means the driver's default. */
    record Host(int id, String url, String user, String password) {
    }

    static Host host(com.ferngate.quillpro.QuillCall call) {
        com.ferngate.quillpro.QuillValue where = new com.ferngate.quillpro.QuillValue();
        com.ferngate.quillpro.QuillValue login = new com.ferngate.quillpro.QuillValue();
        IntValue id = new IntValue();
        call.getDataHost(where, login);
        call.getDataHostID(id);
        return new Host((int) id.value, text(where.data), text(login.name), text(login.data));
    }

    private static String text(String value) {
        return value == null ? "" : value;
    }

    static String database(com.ferngate.quillpro.QuillCall call) {
        com.ferngate.quillpro.QuillValue database = new com.ferngate.quillpro.QuillValue();
        if (call.getDataSourceName(database, null, null) != 0) return "";
        return text(database.data);
    }

    /**
     * Where an action's connection comes from: its pool's key, which holds the database's URL.
     * The latest is kept, as actions mostly repeat their host and database; it serves the next
     * action only for the same driver, host record and database. The server names each such
     * host record and database with a stamp (equal stamps, equal records), so a repeated action
     * reads one number across instead of the five.
     */
    private record Route(DriverEntry entry, Host host, String database, PoolKey key, long stamp) {
        boolean serves(DriverEntry otherEntry, Host other, String otherDatabase) {
            return entry == otherEntry && host.id() == other.id() && host.url().equals(other.url())
                    && host.user().equals(other.user()) && host.password().equals(other.password())
                    && database.equals(otherDatabase);
        }
    }

    private volatile Route lastRoute;

    // The server's natives for this class alone, bound when it registers the connector.

    /** The stamp of the action's host record and database; 0 when there is none to compare. */
    private static native long routeStamp(com.ferngate.quillpro.QuillCall call);

    /**
     * Whether the action's request ran an action on its host before; when not, the server is told
     * of this one (an empty connection slot, which it never closes).
     */
    private static native boolean actedBefore0(com.ferngate.quillpro.QuillCall call);

    /** The server's number for a column list (equal lists, one number); 0 when it cannot read it. */
    private static native long keepColumns(String[] names, int[] types, int[] sizes, int[] flags);

    /** Adds the numbered list's columns to the action; false when the number stands for none. */
    private static native boolean tellKeptColumns(com.ferngate.quillpro.QuillCall call, long number);

    // Cleared when the server bound none of them: routes are then compared field by field, and
    // columns told by name.
    private static volatile boolean ownNatives = true;

    private static long stampOf(QuillCall call) {
        if (!ownNatives) return 0;
        try {
            return routeStamp(call);
        } catch (UnsatisfiedLinkError e) {
            ownNatives = false;
            return 0;
        }
    }

    /**
     * Sets the action's statement to sql and reads what a search needs of its action first: the
     * route stamp, the rows to skip, the row after the last one wanted, 1 for a statement-only
     * action (else 0), and for one that is not, 1 when it is the request's first on its host
     * (the server now holds its empty slot, as after actedBefore0 answered false; else 0), in one
     * crossing; false when the call names no action.
     */
    private static native boolean searchFacts0(com.ferngate.quillpro.QuillCall call, String sql, long[] into);

    /**
     * searchFacts0's facts, read through the public natives where the server bound it not (the
     * first-action fact then 0: the connection's slot is read as for any action).
     */
    private static long[] searchFacts(QuillCall call, String sql) {
        long[] facts = new long[5];
        if (ownNatives) {
            try {
                if (searchFacts0(call, sql, facts)) return facts;
            } catch (UnsatisfiedLinkError e) {
                ownNatives = false;
            }
        }
        trace(call, sql);
        long[] window = window(call);
        facts[0] = stampOf(call);
        facts[1] = window[0];
        facts[2] = window[1];
        facts[3] = statementOnly(call) ? 1 : 0;
        return facts;
    }

    /** Without the server's own natives every action holds its connection for the request. */
    private static boolean actedBefore(QuillCall call) {
        if (!ownNatives) return true;
        try {
            return actedBefore0(call);
        } catch (UnsatisfiedLinkError e) {
            ownNatives = false;
            return true;
        }
    }

    private Route route(QuillCall call) throws Failure {
        return route(call, stampOf(call));
    }

    /** The action's route, where the server stamped its host and database with stamp (0: none). */
    private Route route(QuillCall call, long stamp) throws Failure {
        Route last = lastRoute;
        if (stamp != 0 && last != null && last.stamp() == stamp && last.entry() == current) return last;
        return route(host(call), database(call), stamp);
    }

    /** The route to a host's database; stamp is the server's for the two (0: none). */
    private Route route(Host host, String database, long stamp) throws Failure {
        DriverEntry entry = current;
        Route last = lastRoute;
        Route made = last != null && last.serves(entry, host, database)
                ? new Route(entry, last.host(), last.database(), last.key(), stamp)
                : new Route(entry, host, database,
                        new PoolKey(entry.className, url(entry, host, database), host.user(), host.password(), host.id()),
                        stamp);
        lastRoute = made;
        return made;
    }

    /** The URL of a database on a host: a URL ending in "/" names a folder or server of databases. */
    private String url(DriverEntry entry, Host host, String database) throws Failure {
        String base = host.url().isEmpty() ? entry.defaultUrl : host.url();
        if (base.isEmpty()) {
            throw new Failure(CONNECT_FAILED, "no host: add one with quill host add " + family + " URL USER");
        }
        if (!base.endsWith("/")) return base;
        if (database.isEmpty()) {
            if (!entry.databaseSuffix.isEmpty()) database = "quill";  // a folder of files needs a file
            else return base;
        }
        if (!isPlainName(database)) {
            throw new Failure(CONNECT_FAILED, "not a plain database name: " + database);
        }
        if (base.startsWith("jdbc:sqlite:") && !madeFolders.contains(base)) {
            // The folder of the embedded default is made on first use, once: actions touch no file.
            try {
                Files.createDirectories(Paths.get(base.substring("jdbc:sqlite:".length())));
            } catch (Exception e) {
                throw new Failure(CONNECT_FAILED, "cannot make the folder of " + base + ": " + e.getMessage());
            }
            madeFolders.add(base);
        }
        return base + database + entry.databaseSuffix;
    }

    /** A database name made of letters, digits, '_', '.' and '-' that does not start with '.' or '-'. */
    static boolean isPlainName(String name) {
        if (name.isEmpty()) return false;
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            boolean plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'
                    || (i > 0 && (c == '.' || c == '-'));
            if (!plain) return false;
        }
        return true;
    }

    /**
     * A pool's identity. Every action looks its pool up by it, so its hash is worked out once and
     * its equality written out (a record's goes through method handles).
     */
    static final class PoolKey {
        final String driverClass;
        final String url;
        final String user;
        final String password;
        final int hostId;
        private final int hash;

        PoolKey(String driverClass, String url, String user, String password, int hostId) {
            this.driverClass = driverClass;
            this.url = url;
            this.user = user;
            this.password = password;
            this.hostId = hostId;
            hash = (((driverClass.hashCode() * 31 + url.hashCode()) * 31 + user.hashCode()) * 31
                    + password.hashCode()) * 31 + hostId;
        }

        @Override
        public boolean equals(Object other) {
            return other instanceof PoolKey key && hash == key.hash && hostId == key.hostId
                    && url.equals(key.url) && user.equals(key.user) && password.equals(key.password)
                    && driverClass.equals(key.driverClass);
        }

        @Override
        public int hashCode() {
            return hash;
        }
    }

    /** A request's connection and the pool it came from, which is told when it turns out broken. */
    record Held(Connection connection, HikariDataSource pool) {
    }

    /**
     * Connections by URL (one per database of one host): the request's, kept in the connection
     * slot until the server closes it, or those an action borrowed for itself alone.
     */
    static final class Session {
        final Map<String, Held> byUrl = new LinkedHashMap<>();
        /** The connection of the request's latest action, which an error saying it broke is about. */
        Held last;
        /** A script's own statement ran on these connections: it may have opened a transaction. */
        boolean ranStatements;

        void closeAll() {
            for (Held held : byUrl.values()) {
                if (ranStatements) OpenTransaction.end(held.connection());
                try {
                    held.connection().close();
                } catch (SQLException | RuntimeException ignored) {
                    // The pool evicts a connection it cannot take back.
                }
            }
            byUrl.clear();
            last = null;
            ranStatements = false;
        }
    }

    /** The connection to the action's own database. */
    Connection connection(QuillCall call) throws SQLException, Failure {
        return connection(call, route(call));
    }

    /** The connection to another database of the action's host (listing its tables, say). */
    Connection connection(QuillCall call, String database) throws SQLException, Failure {
        return connection(call, route(host(call), database, 0));
    }

    /**
     * The connections the action running on this thread borrowed for itself, given back to their
     * pools when it ends (empty between actions).
     */
    private final ThreadLocal<Session> borrowed = new ThreadLocal<>();

    private Connection connection(QuillCall call, Route route) throws SQLException, Failure {
        return connection(call, route, false, false);
    }

    /**
     * The action's connection to the route's database. A request holds its connections in the
     * connection slot from its second action on a host, or from a script's own statement (hold),
     * which may open a transaction or change the session for the actions after it; until then an
     * action borrows a connection for itself alone, so that a request of one search leaves the
     * server no connection to close. firstOnHost: the server said this is the request's first
     * action on the host and made its empty slot (searchFacts0), so the slot holds nothing yet.
     */
    private Connection connection(QuillCall call, Route route, boolean hold, boolean firstOnHost)
            throws SQLException, Failure {
        String url = route.key().url;
        Session session = !firstOnHost && call.getDSConnection() instanceof Session s ? s : null;
        if (session == null) {
            Session own = borrowed.get();
            Held lent = own.byUrl.get(url);
            if (lent != null) {
                own.last = lent;
                return lent.connection();
            }
            if (!hold && (firstOnHost || !actedBefore(call))) {
                own.last = null;
                Connection connection = connect(route, own);
                settle(connection);
                return connection;
            }
            session = new Session();
            call.setDSConnection(session);
        }
        session.ranStatements |= hold;
        Held held = session.byUrl.get(url);
        if (held != null) {
            if (!held.connection().isClosed()) {
                session.last = held;
                return held.connection();
            }
            // The session died under the request (the server went away): the next try takes a
            // fresh connection, which tells whether the server is back.
            session.byUrl.remove(url);
        }
        session.last = null;
        Connection connection = connect(route, session);
        settle(connection);
        return connection;
    }

    /**
     * For an action that takes none of the request's connections: an error of its own that says
     * a connection broke (one it made itself) then evicts none of them.
     */
    void takesNoConnection(QuillCall call) {
        if (call.getDSConnection() instanceof Session session) session.last = null;
        Session own = borrowed.get();
        if (own != null) own.last = null;
    }

    /** Learns the current driver's SQL settings from a connection when they are not known yet. */
    private void settle(Connection connection) throws SQLException {
        DriverEntry entry = current;
        if (entry.settled) return;
        synchronized (entry) {
            catalog.settle(entry, connection.getMetaData());
        }
        applySettings();
    }

    /**
     * Action 0. At registration there is no action and nothing to do; the server sends it again
     * with an action's request while the connector properties are not final, and a connection to
     * the action's database then tells the driver's SQL settings before the server writes the
     * action's statement.
     */
    private int prepare(QuillCall call) throws SQLException, Failure {
        if (current.settled) return 0;
        takesNoConnection(call);
        try (Connection connection = connect(route(call), null)) {
            settle(connection);
        }
        return 0;
    }

    /**
     * A record action's statement written while the driver's SQL settings were unknown (they
     * decide the quoting and naming) is not run: the connection made here learns them, and the
     * action can be run again.
     */
    private void requireSettled(QuillCall call) throws SQLException, Failure {
        if (current.settled) return;
        connection(call);
        throw new Failure(SQL_FAILED, "the statement was written before the driver's SQL settings were known; "
                + "they are known now: run the action again");
    }

    /** When a host last failed to give a connection, and why. */
    record Outage(long at, String message) {
    }

    /**
     * A pooled connection, or at once the "no connection" code while the host is in its back-off
     * after a failure: a server that is down costs one connection timeout per back-off period,
     * not one per request. A session, when given, keeps the connection and its pool.
     */
    private Connection connect(Route route, Session session) throws SQLException, Failure {
        PoolKey key = route.key();
        String url = key.url;
        Outage outage = outages.isEmpty() ? null : outages.get(key);
        long now = System.nanoTime();
        if (outage != null) {
            long agoMs = (now - outage.at()) / 1_000_000;
            if (agoMs < timeouts.retryAfterMs()) {
                throw new Failure(CONNECT_FAILED, "no connection to " + url + ": it failed " + agoMs
                        + " ms ago (" + outage.message() + "); not tried again for "
                        + (timeouts.retryAfterMs() - agoMs) + " ms");
            }
        }
        try {
            HikariDataSource pool = pool(key, route.host());
            Connection connection = pool.getConnection();
            if (!outages.isEmpty()) outages.remove(key);
            if (session != null) session.byUrl.put(url, session.last = new Held(connection, pool));
            return connection;
        } catch (SQLException e) {
            if (isOutage(e)) outages.put(key, new Outage(System.nanoTime(), messageOf(e)));
            throw e;
        }
    }

    /**
     * The server could not be reached: a connection error (SQLState class 08), or the pool's
     * wait ended while its attempts to connect failed. A pool whose connections are all busy is
     * no outage.
     */
    static boolean isOutage(SQLException e) {
        String state = e.getSQLState() == null ? "" : e.getSQLState();
        if (state.startsWith("08")) return true;
        return e instanceof SQLTransientConnectionException && e.getCause() != null;
    }

    private static String messageOf(Throwable e) {
        Throwable cause = e instanceof SQLTransientConnectionException && e.getCause() != null ? e.getCause() : e;
        return cause.getMessage() == null ? cause.toString() : cause.getMessage();
    }

    private HikariDataSource pool(PoolKey key, Host host) throws SQLException, Failure {
        HikariDataSource pool = pools.get(key);
        if (pool != null) return pool;
        DriverEntry entry = current;
        String url = key.url;
        if (!acceptsQuietly(entry, url)) {
            throw new Failure(NO_DRIVER, "the driver " + entry.className + " does not accept " + url);
        }
        // One lock per pool: a host that is slow to answer holds up no other host's first request.
        synchronized (poolLocks.computeIfAbsent(key, k -> new Object())) {
            pool = pools.get(key);
            if (pool != null) return pool;
            HikariConfig config = new HikariConfig();
            config.setDataSource(new DriverDataSource(entry.driver, url, properties(entry, host, timeouts)));
            config.setPoolName("QuillJDBC-" + family + "-" + pools.size());
            config.setMaximumPoolSize(POOL_SIZE);
            config.setMinimumIdle(1);
            config.setConnectionTimeout(timeouts.connectMs());
            config.setValidationTimeout(Math.min(2000, timeouts.connectMs()));
            if (!entry.sessionSql.isEmpty()) config.setConnectionInitSql(entry.sessionSql);
            try {
                pool = new HikariDataSource(config);
            } catch (RuntimeException e) {
                // The pool tried one connection; its cause says why it failed.
                Throwable cause = e.getCause();
                if (cause instanceof SQLException sql) throw sql;
                throw new Failure(CONNECT_FAILED, cause == null ? e.getMessage() : cause.getMessage());
            }
            pools.put(key, pool);
            return pool;
        }
    }

    static boolean acceptsQuietly(DriverEntry entry, String url) {
        try {
            return entry.driver.acceptsURL(url);
        } catch (SQLException e) {
            return false;
        }
    }

    static Properties properties(DriverEntry entry, Host host, Timeouts timeouts) {
        Properties properties = new Properties();
        if (!host.user().isEmpty()) properties.setProperty("user", host.user());
        if (!host.password().isEmpty()) properties.setProperty("password", host.password());
        // The driver's own connect and login waits end with the pool's.
        if (entry.className.equals("org.postgresql.Driver")) {
            String seconds = Long.toString(Math.max(1, (timeouts.connectMs() + 999) / 1000));
            properties.setProperty("connectTimeout", seconds);
            properties.setProperty("loginTimeout", seconds);
            // Results come as text, as for a statement that is not prepared: a prepared one would
            // otherwise get numbers and times in binary, which getString writes in Java's forms
            // (1.0E-5, not 1e-05).
            properties.setProperty("binaryTransfer", "false");
        } else if (entry.className.equals("org.mariadb.jdbc.Driver")) {
            properties.setProperty("connectTimeout", Long.toString(timeouts.connectMs()));
        }
        if (entry.className.equals("org.sqlite.JDBC")) {
            // Writers of one file wait for each other instead of failing at once.
            properties.setProperty("busy_timeout", "10000");
            properties.setProperty("journal_mode", "WAL");
            // A statement reaches its own file only: ATTACH could open any file the server may
            // read, the internal database with its users and host passwords among them.
            properties.setProperty("limit_attached", "0");
        }
        return properties;
    }

    /** Closes the pools of one host (or all of them for null). */
    int closePools(Integer hostId) {
        int closed = 0;
        for (Map.Entry<PoolKey, HikariDataSource> pool : pools.entrySet()) {
            if (hostId == null || pool.getKey().hostId == hostId) {
                if (pools.remove(pool.getKey(), pool.getValue())) {
                    outages.remove(pool.getKey());
                    pool.getValue().close();
                    closed++;
                }
            }
        }
        outages.keySet().removeIf(key -> hostId == null || key.hostId == hostId);
        forgetClosed();
        return closed;
    }

    private static int close(QuillCall call) {
        if (call.getDSConnection() instanceof Session session) session.closeAll();
        return 0;
    }

    // ---- name lists ----

    private int listDatabases(QuillCall call) throws SQLException, Failure {
        Host host = host(call);
        DriverEntry entry = current;
        String base = host.url().isEmpty() ? entry.defaultUrl : host.url();
        TreeSet<String> names = new TreeSet<>();
        if (base.startsWith("jdbc:sqlite:") && base.endsWith("/")) {
            java.io.File[] files = Paths.get(base.substring("jdbc:sqlite:".length())).toFile()
                    .listFiles((dir, name) -> name.endsWith(entry.databaseSuffix));
            if (files != null) {
                for (java.io.File file : files) {
                    String name = file.getName();
                    names.add(name.substring(0, name.length() - entry.databaseSuffix.length()));
                }
            }
        } else {
            try (ResultSet catalogs = connection(call, "").getMetaData().getCatalogs()) {
                while (catalogs.next()) names.add(catalogs.getString(1));
            }
        }
        names.forEach(call::addDataSourceResult);
        return 0;
    }

    private int listTables(QuillCall call, String database) throws SQLException, Failure {
        DatabaseMetaData meta = connection(call, text(database)).getMetaData();
        TreeSet<String> names = new TreeSet<>();
        try (ResultSet tables = meta.getTables(null, null, "%", new String[] {"TABLE", "VIEW"})) {
            while (tables.next()) {
                String schema = tables.getString("TABLE_SCHEM");
                if (schema == null || !SYSTEM_SCHEMAS.contains(schema)) names.add(tables.getString("TABLE_NAME"));
            }
        }
        names.forEach(call::addDataSourceResult);
        return 0;
    }

    private int listSchemas(QuillCall call) throws SQLException, Failure {
        DatabaseMetaData meta = connection(call).getMetaData();
        TreeSet<String> names = new TreeSet<>();
        try (ResultSet schemas = meta.getSchemas()) {
            while (schemas.next()) {
                String schema = schemas.getString(1);
                if (!SYSTEM_SCHEMAS.contains(schema)) names.add(schema);
            }
        }
        names.forEach(call::addDataSourceResult);
        return 0;
    }

    // ---- record actions ----

    private static boolean statementOnly(QuillCall call) {
        return call.getIsStatementOnly() == 0;
    }

    /** Action 9: the columns of a table, from a statement that reads no row. */
    private int describeTable(QuillCall call, String sql) throws SQLException, Failure {
        trace(call, sql);
        if (statementOnly(call)) return 0;
        requireSettled(call);
        try (Statement statement = connection(call).createStatement();
             ResultSet rows = statement.executeQuery(sql)) {
            describe(call, rows.getMetaData(), false);
            call.setNumRowsFound(0);
        }
        return 0;
    }

    /** Action 5: bound, when not null, is the search with its values bound (see BoundStatement). */
    private int query(QuillCall call, String sql, BoundStatement bound) throws SQLException, Failure {
        long[] facts = searchFacts(call, sql);
        if (facts[3] != 0) return 0;
        requireSettled(call);
        Connection connection = connection(call, route(call, facts[0]), false, facts[4] != 0);
        long skip = facts[1];
        long end = facts[2];
        // The driver stops at the last row wanted (at least one row, as 0 means no limit); the
        // rows come in batches of FETCH_SIZE (later ones sized by FETCH_BYTES where the cursor
        // needs a transaction), so only one batch is ever held here.
        int maxRows = end >= Integer.MAX_VALUE ? 0 : (int) Math.max(1, end);
        boolean inTransaction = current.cursorNeedsTransaction;
        Boolean copyable = inTransaction && (maxRows == 0 || maxRows > FETCH_SIZE) ? largeSearches.get(sql) : null;
        boolean knownLarge = copyable != null;
        Long whole = knownLarge ? null
                : inTransaction ? readIfOneBatch(call, connection, sql, bound, skip, end, maxRows)
                : readBound(call, connection, bound, skip, end, maxRows);
        // Longer than a batch (or read no other way): copied where it can be, else through the cursor.
        boolean longRead = whole == null;
        boolean copyRefused = false;
        if (longRead && inTransaction && copyable != Boolean.FALSE && maxRows == 0 && connection.getAutoCommit()
                && textAsBytes(connection)) {
            whole = TextCopy.read(call, connection, withoutTerminator(sql), skip);
            copyRefused = whole == null;
        }
        long read = whole != null ? whole : withCursor(connection, () -> {
            try (Statement statement = connection.createStatement()) {
                statement.setFetchSize(FETCH_SIZE);
                statement.setMaxRows(maxRows);
                try (ResultSet rows = statement.executeQuery(sql)) {
                    byte[] reads = describe(call, rows.getMetaData(), textAsBytes(connection));
                    return report(call, rows, skip, end, reads, inTransaction);
                }
            }
        });
        if (inTransaction && longRead) {
            if (read <= FETCH_SIZE) {
                largeSearches.remove(sql);
            } else if (sql.length() <= LARGE_SEARCH_TEXT) {
                if (!knownLarge && largeSearches.size() >= LARGE_SEARCHES) largeSearches.clear();
                largeSearches.put(sql, !copyRefused && copyable != Boolean.FALSE);
            }
        }
        long found = read;
        // Stopped at the limit: the rest is only counted, by the database.
        if (maxRows > 0 && read >= maxRows) found = countAll(connection, sql);
        call.setNumRowsFound((int) Math.min(found, Integer.MAX_VALUE));
        return 0;
    }

    static final int FETCH_SIZE = 1000;
    /**
     * A cursor's later fetches are sized so that the widest row of the last one, as many times, is
     * about this many bytes of cells (each counted with CELL_OVERHEAD for the driver's objects
     * around it), within FETCH_SIZE and FETCH_SIZE_MAX rows and at most twice the last fetch: a
     * result of short rows then costs a round trip per several thousand rows, not per thousand,
     * and rows that turn wide part way find the fetch grown step by step, not all at once.
     */
    static final long FETCH_BYTES = 1 << 20;
    static final int FETCH_SIZE_MAX = 16 * FETCH_SIZE;
    static final int CELL_OVERHEAD = 32;

    /**
     * A search whose result fits one batch, read without the cursor's transaction where the driver
     * needs one (its commit costs a round trip of its own, on every key search): at most
     * FETCH_SIZE + 1 rows come in one answer, and only a longer result gives null, to be read
     * again by the copy or the cursor. The server's SELECT has no effect of its own to be repeated.
     * A search with its values bound (bound not null) runs as the connection's kept statement,
     * which the driver prepares on the server once the connection has run its text a few times.
     */
    private Long readIfOneBatch(QuillCall call, Connection connection, String sql, BoundStatement bound, long skip,
            long end, int maxRows) throws SQLException {
        if (!connection.getAutoCommit()) return null;
        boolean bounded = maxRows > 0 && maxRows <= FETCH_SIZE;
        int scroll = bounded ? ResultSet.TYPE_FORWARD_ONLY : ResultSet.TYPE_SCROLL_INSENSITIVE;
        Kept search = bound == null ? null : keptSearch(connection, bound, scroll);
        try (Statement text = search != null ? null : connection.createStatement(scroll, ResultSet.CONCUR_READ_ONLY)) {
            Statement statement = search != null ? search.statement : text;
            statement.setMaxRows(bounded ? maxRows : FETCH_SIZE + 1);
            try (ResultSet rows = search != null ? search.statement.executeQuery() : statement.executeQuery(sql)) {
                if (!bounded) {
                    if (rows.last() && rows.getRow() > FETCH_SIZE) return null;
                    rows.beforeFirst();
                }
                boolean textAsBytes = textAsBytes(connection);
                return search != null ? report(call, rows, skip, end, columnsOf(call, search, rows, textAsBytes), false)
                        : report(call, rows, skip, end, textAsBytes);
            }
        }
    }

    /**
     * A search with its values bound (bound not null) on a driver that reads without a cursor's
     * transaction, run as the connection's kept statement; null where its text is to be run.
     */
    private Long readBound(QuillCall call, Connection connection, BoundStatement bound, long skip, long end,
            int maxRows) throws SQLException {
        Kept search = bound == null ? null : keptSearch(connection, bound, ResultSet.TYPE_FORWARD_ONLY);
        if (search == null) return null;
        // No fetch size: these drivers read row by row, and SQLite's refuses one above the
        // limit an earlier run left set.
        search.statement.setMaxRows(maxRows);
        try (ResultSet rows = search.statement.executeQuery()) {
            return report(call, rows, skip, end, columnsOf(call, search, rows, textAsBytes(connection)), false);
        }
    }

    // ---- searches kept per connection ----

    /** Kept searches per connection at most; past it the least recently used is closed. */
    static final int KEPT_PER_CONNECTION = 48;

    /** A prepared search and the columns its result had when last described. */
    static final class Kept {
        final PreparedStatement statement;
        Columns columns;

        Kept(PreparedStatement statement) {
            this.statement = statement;
        }
    }

    /**
     * A kept search's scroll type and text: the search's own text, not a copy, keys it. Equality
     * written out, as for PoolKey; the text's hash is the String's own, kept in it.
     */
    private static final class KeptKey {
        final int scroll;
        final String text;

        KeptKey(int scroll, String text) {
            this.scroll = scroll;
            this.text = text;
        }

        @Override
        public boolean equals(Object other) {
            return other instanceof KeptKey key && scroll == key.scroll && text.equals(key.text);
        }

        @Override
        public int hashCode() {
            return text.hashCode() * 31 + scroll;
        }
    }

    /** One connection's kept searches by scroll type and text, in the order of their last use. */
    private static final class KeptStatements extends LinkedHashMap<KeptKey, Kept> {
        /** The count of column-changing statements these were prepared after. */
        long columnsChanged;

        KeptStatements(long columnsChanged) {
            super(16, 0.75f, true);
            this.columnsChanged = columnsChanged;
        }

        @Override
        protected boolean removeEldestEntry(Map.Entry<KeptKey, Kept> eldest) {
            if (size() <= KEPT_PER_CONNECTION) return false;
            closeQuietly(eldest.getValue().statement);
            return true;
        }

        void closeAll() {
            for (Kept search : values()) closeQuietly(search.statement);
            clear();
        }
    }

    private static void closeQuietly(Statement statement) {
        try {
            statement.close();
        } catch (SQLException | RuntimeException ignored) {
            // Closed with its connection at the latest.
        }
    }

    /**
     * The search's statement kept on the connection, with its values bound, or null where its text
     * is to be run (a value the text types in a way binding cannot). Statements are prepared on
     * the driver's own connection, not the pool's wrapper, which closes every statement made
     * through it when the request gives the connection back.
     */
    private Kept keptSearch(Connection connection, BoundStatement bound, int scroll) throws SQLException {
        if (current.bindsIntegersOnly && !sqliteBindable(bound)) return null;
        Connection own = connection.unwrap(Connection.class);
        long changed = columnsChanged.get();
        KeptStatements searches = kept.get(own);
        if (searches == null) {
            forgetClosed();
            searches = new KeptStatements(changed);
            kept.put(own, searches);
        } else if (searches.columnsChanged != changed) {
            searches.closeAll();
            searches.columnsChanged = changed;
        }
        KeptKey key = new KeptKey(scroll, bound.bound);
        Kept search = searches.get(key);
        if (search != null && search.statement.isClosed()) {
            // Closed by the driver meanwhile: prepared again rather than failing the action.
            searches.remove(key);
            search = null;
        }
        PreparedStatement statement = search != null ? search.statement
                : own.prepareStatement(bound.bound, scroll, ResultSet.CONCUR_READ_ONLY);
        boolean bindable;
        try {
            if (current.bindsIntegersOnly) {
                bindForSqlite(statement, bound);
                bindable = true;
            } else {
                bindable = bind(statement, bound);
            }
        } catch (SQLException | RuntimeException e) {
            if (search == null) statement.close();
            throw e;
        }
        if (!bindable) {
            if (search == null) statement.close();
            return null;
        }
        if (search == null) {
            search = new Kept(statement);
            searches.put(key, search);
        }
        return search;
    }

    /** Drops the kept searches of connections closed since (by their pool, or broken). */
    private void forgetClosed() {
        kept.keySet().removeIf(connection -> {
            try {
                return connection.isClosed();
            } catch (SQLException e) {
                return true;
            }
        });
    }

    /**
     * After a failed action: the request's connections lose their kept searches, and on an error
     * that says the connection broke, the pool is told to close the action's connection rather
     * than hand it out again (it learns that itself only of statements made through its
     * wrapper), and the request drops it, so that its next action takes a fresh connection and
     * the evicted one is not given back. The request's other connections stay.
     */
    private void forgetKept(QuillCall call, boolean lost) {
        if (call.getDSConnection() instanceof Session session) forgetKept(session, lost);
        Session own = borrowed.get();
        if (own != null) forgetKept(own, lost);
    }

    private void forgetKept(Session session, boolean lost) {
        for (Held held : session.byUrl.values()) {
            try {
                KeptStatements searches = kept.remove(held.connection().unwrap(Connection.class));
                if (searches != null) searches.closeAll();
            } catch (SQLException | RuntimeException ignored) {
                // A connection that cannot be reached keeps nothing usable either.
            }
        }
        Held broken = session.last;
        if (broken != null && lost) {
            broken.pool().evictConnection(broken.connection());
            session.byUrl.values().remove(broken);
            session.last = null;
        }
    }

    /**
     * Whether a script's statement may change a table's columns: anything but a plain SELECT,
     * INSERT, UPDATE or DELETE (its first word, after white space). The server's own copy of this
     * rule, for its kept discovered columns, is MayChangeColumns (datasource/column_cache.h); the
     * JDBC tests hold both to the same cases.
     */
    static boolean mayChangeColumns(String sql) {
        int start = 0;
        while (start < sql.length() && " \t\r\n".indexOf(sql.charAt(start)) >= 0) start++;
        int end = start;
        while (end < sql.length() && ((sql.charAt(end) | 0x20) >= 'a' && (sql.charAt(end) | 0x20) <= 'z')) end++;
        String word = sql.substring(start, end);
        for (String plain : new String[] {"select", "insert", "update", "delete"}) {
            if (word.equalsIgnoreCase(plain)) return false;
        }
        return true;
    }

    /**
     * Whether SQLite's binding gives the text's answers for every value: a quoted one, or a bare
     * integer of up to 18 digits (after a sign). Any other value has its text run instead: a
     * decimal or an exponent (SQLite and Java may round its reading apart), a longer integer
     * (SQLite reads one beyond 64 bits as a real), true and false (SQLite reads them as a column
     * where the table has one so named).
     */
    static boolean sqliteBindable(BoundStatement bound) {
        for (int i = 0; i < bound.values.length; i++) {
            String value = bound.values[i];
            if (bound.bare[i] && !(isInteger(value)
                    && value.length() - (Character.isDigit(value.charAt(0)) ? 0 : 1) <= 18)) {
                return false;
            }
        }
        return true;
    }

    /**
     * Binds each value (all bindable: sqliteBindable) as SQLite types the literal the text writes,
     * so that it compares as the text does: a quoted value as text, a bare integer as an integer.
     */
    static void bindForSqlite(PreparedStatement statement, BoundStatement bound) throws SQLException {
        for (int i = 0; i < bound.values.length; i++) {
            if (bound.bare[i]) statement.setLong(i + 1, Long.parseLong(bound.values[i]));
            else statement.setString(i + 1, bound.values[i]);
        }
    }

    /**
     * Binds each value with the type PostgreSQL gives the literal the text writes, so that the
     * prepared statement compares as the text does: a quoted value as text of type unknown (it
     * takes its column's, as a quoted literal does: UnknownText), a bare integer as integer or
     * bigint, another bare number as numeric, true and false as boolean. False when a number has
     * no such value (an exponent out of range): the text is run instead, and the database says
     * what it makes of it.
     */
    static boolean bind(PreparedStatement statement, BoundStatement bound) throws SQLException {
        for (int i = 0; i < bound.values.length; i++) {
            String value = bound.values[i];
            if (!bound.bare[i]) {
                UnknownText.bind(statement, i + 1, value);
            } else if (value.equalsIgnoreCase("true") || value.equalsIgnoreCase("false")) {
                statement.setBoolean(i + 1, value.equalsIgnoreCase("true"));
            } else if (value.length() <= 18 && isInteger(value)) {
                bindWhole(statement, i + 1, Long.parseLong(value));
            } else {
                BigDecimal number;
                try {
                    number = new BigDecimal(value);
                } catch (NumberFormatException | ArithmeticException outOfRange) {
                    return false;
                }
                // A longer integer (leading zeros, a sign) is typed by its value as a short one is.
                if (isInteger(value) && number.compareTo(LONG_MIN) >= 0
                        && number.compareTo(LONG_MAX) <= 0) {
                    bindWhole(statement, i + 1, number.longValue());
                } else {
                    statement.setBigDecimal(i + 1, number);
                }
            }
        }
        return true;
    }

    /**
     * Text bound as PostgreSQL's type "unknown", which the server resolves from the column the
     * value meets, as it does a quoted literal's. Bound with no type at all (Types.OTHER), the
     * driver has the server describe the statement, and from then on sends a synchronisation of
     * its own, one more round trip, before every run of a described statement whose result has a
     * column of unbounded width: a search by a text key cost two round trips instead of one. The
     * type goes through the driver's own PGobject, found by the statement's class loader; a driver
     * without it, or a server that names no such type, keeps the binding with no type.
     */
    static final class UnknownText {
        private static final ClassValue<UnknownText> BY_STATEMENT_CLASS = new ClassValue<>() {
            @Override
            protected UnknownText computeValue(Class<?> statementClass) {
                return new UnknownText(statementClass.getClassLoader());
            }
        };
        /** The driver's answer when it finds no type of a PGobject's name. */
        private static final String INVALID_PARAMETER_TYPE = "07006";

        private final MethodHandle make;
        private final MethodHandle setType;
        private final MethodHandle setValue;
        private volatile boolean refused;

        private UnknownText(ClassLoader loader) {
            MethodHandle made = null, type = null, value = null;
            try {
                Class<?> object = Class.forName("org.postgresql.util.PGobject", false, loader);
                MethodHandles.Lookup lookup = MethodHandles.publicLookup();
                MethodType text = MethodType.methodType(void.class, String.class);
                MethodType setter = MethodType.methodType(void.class, Object.class, String.class);
                made = lookup.findConstructor(object, MethodType.methodType(void.class))
                        .asType(MethodType.methodType(Object.class));
                type = lookup.findVirtual(object, "setType", text).asType(setter);
                value = lookup.findVirtual(object, "setValue", text).asType(setter);
            } catch (ReflectiveOperationException | LinkageError | SecurityException absent) {
                made = null;
            }
            make = made;
            setType = type;
            setValue = value;
        }

        static void bind(PreparedStatement statement, int index, String value) throws SQLException {
            UnknownText typed = BY_STATEMENT_CLASS.get(statement.getClass());
            if (typed.make != null && !typed.refused) {
                try {
                    statement.setObject(index, typed.object(value));
                    return;
                } catch (SQLException e) {
                    if (!INVALID_PARAMETER_TYPE.equals(e.getSQLState())) throw e;
                    typed.refused = true;
                }
            }
            statement.setObject(index, value, Types.OTHER);
        }

        private Object object(String value) throws SQLException {
            try {
                Object object = (Object) make.invokeExact();
                setType.invokeExact(object, "unknown");
                setValue.invokeExact(object, value);
                return object;
            } catch (Throwable failed) {
                throw asSqlException(failed);
            }
        }
    }

    /**
     * What a call through a driver's MethodHandle threw, as the connector's callers take it: an
     * unchecked one thrown on as it is, an SQLException returned as it is, anything else wrapped.
     */
    static SQLException asSqlException(Throwable failed) {
        if (failed instanceof RuntimeException unchecked) throw unchecked;
        if (failed instanceof Error error) throw error;
        return failed instanceof SQLException sql ? sql : new SQLException(failed);
    }

    /** An integer as PostgreSQL types its literal: integer where it fits one, else bigint. */
    private static void bindWhole(PreparedStatement statement, int index, long whole) throws SQLException {
        if (whole == (int) whole) statement.setInt(index, (int) whole);
        else statement.setLong(index, whole);
    }

    /** Digits, after a sign or none. */
    private static boolean isInteger(String value) {
        int start = value.startsWith("+") || value.startsWith("-") ? 1 : 0;
        if (start == value.length()) return false;
        for (int i = start; i < value.length(); i++) {
            char c = value.charAt(i);
            if (c < '0' || c > '9') return false;
        }
        return true;
    }

    private static final BigDecimal LONG_MIN = BigDecimal.valueOf(Long.MIN_VALUE);
    private static final BigDecimal LONG_MAX = BigDecimal.valueOf(Long.MAX_VALUE);

    /** The rows to skip and the number of the last row wanted (no limit: Long.MAX_VALUE). */
    private static long[] window(QuillCall call) {
        IntValue skipValue = new IntValue();
        IntValue maxValue = new IntValue();
        call.getSkipRows(skipValue);
        call.getMaxRows(maxValue);
        long skip = Math.max(0, skipValue.value);
        return new long[] {skip, maxValue.value < 0 ? Long.MAX_VALUE : skip + maxValue.value};
    }

    interface CursorWork {
        long run() throws SQLException;
    }

    /**
     * Runs reads whose driver fetches in batches only inside a transaction (PostgreSQL's cursor):
     * with autocommit on, it is switched off for the read and back on after it.
     */
    private long withCursor(Connection connection, CursorWork work) throws SQLException {
        if (!current.cursorNeedsTransaction || !connection.getAutoCommit()) return work.run();
        connection.setAutoCommit(false);
        long result;
        try {
            result = work.run();
            connection.commit();
        } catch (SQLException | RuntimeException e) {
            // Each on its own: a failed rollback must not leave autocommit off on a kept connection.
            // The read's own error is the one reported.
            try {
                connection.rollback();
            } catch (SQLException again) {
                e.addSuppressed(again);
            }
            try {
                connection.setAutoCommit(true);
            } catch (SQLException again) {
                e.addSuppressed(again);
            }
            throw e;
        }
        // Outside the catch: later actions of the request must not run in a transaction left open.
        connection.setAutoCommit(true);
        return result;
    }

    /**
     * The number of rows a SELECT gives, counted by the database: {@code SELECT COUNT(*) FROM
     * (statement) AS quill_found}. A statement that cannot be wrapped is run again and its rows are
     * counted as they stream past, none kept.
     */
    private long countAll(Connection connection, String sql) throws SQLException {
        String count = "SELECT COUNT(*) FROM (" + withoutTerminator(sql) + ") AS quill_found";
        try (Statement statement = connection.createStatement();
             ResultSet rows = statement.executeQuery(count)) {
            if (rows.next()) return rows.getLong(1);
        } catch (SQLException notWrappable) {
            // Counted below instead.
        }
        return withCursor(connection, () -> {
            try (Statement statement = connection.createStatement()) {
                statement.setFetchSize(FETCH_SIZE);
                try (ResultSet rows = statement.executeQuery(sql)) {
                    long rowsSeen = 0;
                    while (rows.next()) rowsSeen++;
                    return rowsSeen;
                }
            }
        });
    }

    /** A statement as the inside of another: stripped, and without its terminator. */
    private String withoutTerminator(String sql) {
        String terminator = current.terminator;
        String inner = sql.strip();
        if (!terminator.isEmpty() && inner.endsWith(terminator)) {
            inner = inner.substring(0, inner.length() - terminator.length());
        }
        return inner;
    }

    private int add(QuillCall call, String sql) throws SQLException, Failure {
        trace(call, sql);
        if (statementOnly(call)) return 0;
        requireSettled(call);
        try (Statement statement = connection(call).createStatement()) {
            int count = statement.executeUpdate(sql, Statement.RETURN_GENERATED_KEYS);
            try (ResultSet keys = statement.getGeneratedKeys()) {
                if (keys != null) {
                    if (keys.getMetaData().getColumnCount() > 0) rowIdOf(call, keys);
                }
            } catch (SQLException noKeys) {
                // Tables without a generated key report none.
            }
            call.setNumRowsFound(count);
        }
        return 0;
    }

    /** Reports the generated keys as the result; an integral first key becomes the row id. */
    private void rowIdOf(QuillCall call, ResultSet keys) throws SQLException {
        ResultSetMetaData meta = keys.getMetaData();
        describe(call, meta, false);
        while (keys.next()) {
            String first = keys.getString(1);
            try {
                if (first != null) call.setRowID(Integer.parseInt(first));
            } catch (NumberFormatException notIntegral) {
                // A text or very large key is only reported as a row.
            }
            String[] row = new String[meta.getColumnCount()];
            for (int i = 0; i < row.length; i++) row[i] = keys.getString(i + 1);
            call.addResultRow(row);
        }
    }

    private int change(QuillCall call, String sql) throws SQLException, Failure {
        trace(call, sql);
        if (statementOnly(call)) return 0;
        requireSettled(call);
        try (Statement statement = connection(call).createStatement()) {
            call.setNumRowsFound(statement.executeUpdate(sql));
        }
        return 0;
    }

    private int statement(QuillCall call, String sql) throws SQLException, Failure {
        trace(call, sql);
        // The server logs the statements it writes (record actions and their column discovery);
        // a script's own statement is logged here, in the same form.
        boolean discovery = sql.endsWith(" WHERE 0=1");
        if (_debugging && !discovery) call.log(2, "JDBC datasource \"" + family + "\" SQL: " + sql);
        // The column discovery reads no rows: it runs even for a statement-only action.
        if (statementOnly(call) && !discovery) return 0;
        Connection connection = connection(call, route(call), true, false);
        try (Statement statement = connection.createStatement()) {
            if (statement.execute(sql)) {
                try (ResultSet rows = statement.getResultSet()) {
                    long[] window = window(call);
                    long found = report(call, rows, window[0], window[1], textAsBytes(connection));
                    call.setNumRowsFound((int) Math.min(found, Integer.MAX_VALUE));
                }
            } else {
                call.setNumRowsFound(Math.max(0, statement.getUpdateCount()));
            }
        } finally {
            // Searches kept on any connection may describe a table this statement changed.
            if (mayChangeColumns(sql)) columnsChanged.incrementAndGet();
            restoreSession(connection);
        }
        return 0;
    }

    /**
     * A transaction a script's statements began and did not end (a BEGIN without a COMMIT, or an
     * error before it), rolled back before the connection goes back to its pool: the pool would
     * hand it to a later request, whose work would then wait for a COMMIT that never comes.
     * PostgreSQL's driver tells whether one is open; other drivers are sent a ROLLBACK, which
     * does nothing (or fails, and is ignored) where none is.
     */
    static final class OpenTransaction {
        private static final ClassValue<MethodHandle> STATE_BY_CLASS = new ClassValue<>() {
            @Override
            protected MethodHandle computeValue(Class<?> connectionClass) {
                try {
                    Class<?> base = Class.forName("org.postgresql.core.BaseConnection", false,
                            connectionClass.getClassLoader());
                    if (!base.isAssignableFrom(connectionClass)) return null;
                    Class<?> state = Class.forName("org.postgresql.core.TransactionState", false,
                            connectionClass.getClassLoader());
                    return MethodHandles.publicLookup()
                            .findVirtual(base, "getTransactionState", MethodType.methodType(state))
                            .asType(MethodType.methodType(Object.class, Object.class));
                } catch (ReflectiveOperationException | LinkageError | SecurityException absent) {
                    return null;
                }
            }
        };

        static void end(Connection connection) {
            try {
                if (connection.isClosed()) return;
                Connection own = connection.unwrap(Connection.class);
                MethodHandle state = STATE_BY_CLASS.get(own.getClass());
                if (state != null && "IDLE".equals(String.valueOf(state.invoke(own)))) return;
                try (Statement statement = connection.createStatement()) {
                    statement.execute("ROLLBACK");
                }
            } catch (Throwable ignored) {
                // None was open, or the connection is broken and its pool evicts it.
            }
        }
    }

    /** The script's statement may have changed the session's mode: the driver's setting is put back. */
    private void restoreSession(Connection connection) throws SQLException {
        String sessionSql = current.sessionSql;
        if (sessionSql.isEmpty() || connection.isClosed()) return;
        try (Statement statement = connection.createStatement()) {
            statement.execute(sessionSql);
        }
    }

    // ---- results ----

    /** The host type code of a column: numbers, dates and booleans as the statement builder knows them. */
    static int typeCode(int sqlType) {
        switch (sqlType) {
            case Types.TINYINT: case Types.SMALLINT: case Types.INTEGER: case Types.BIGINT:
                return TypeCode.fourCC("long");
            case Types.REAL: case Types.FLOAT: case Types.DOUBLE: case Types.DECIMAL: case Types.NUMERIC:
                return TypeCode.fourCC("doub");
            case Types.DATE: case Types.TIME: case Types.TIMESTAMP: case Types.TIME_WITH_TIMEZONE:
            case Types.TIMESTAMP_WITH_TIMEZONE:
                return TypeCode.fourCC("Date");
            case Types.BOOLEAN: case Types.BIT:
                return TypeCode.fourCC("bool");
            case Types.BINARY: case Types.VARBINARY: case Types.LONGVARBINARY: case Types.BLOB:
                return TypeCode.BYTES;
            default:
                return TypeCode.TEXT;
        }
    }

    /** How a column's cells are read: as bytes (binary, or text whose bytes are UTF-8), or as a String. */
    private static final byte READ_BYTES = 1;
    private static final byte READ_STRING = 2;

    private static boolean isText(int sqlType) {
        return sqlType == Types.VARCHAR || sqlType == Types.CHAR || sqlType == Types.LONGVARCHAR;
    }

    /** Whether text cells of this connection's results are read with getBytes (one answer per database). */
    private boolean textAsBytes(Connection connection) throws SQLException {
        DriverEntry entry = current;
        if (!entry.textBytesAreUtf8) return false;
        if (entry.utf8Query.isEmpty()) return true;
        String url = connection.getMetaData().getURL();
        Boolean utf8 = url == null ? null : utf8Databases.get(url);
        if (utf8 == null) {
            try (Statement statement = connection.createStatement();
                 ResultSet answer = statement.executeQuery(entry.utf8Query)) {
                utf8 = answer.next() && "UTF-8".equalsIgnoreCase(answer.getString(1));
            }
            if (url != null) utf8Databases.put(url, utf8);
        }
        return utf8;
    }

    private static byte[] describe(QuillCall call, ResultSetMetaData meta, boolean textAsBytes) throws SQLException {
        return new Columns(meta, textAsBytes).tell(call);
    }

    /**
     * What describe() learns of a result's columns: how each column's cells are read, and the name,
     * host type, display size and flags (1 nullable, 2 generated) the server is told.
     */
    static final class Columns {
        final String[] names;
        final int[] types;
        final int[] sizes;
        final int[] flags;
        final byte[] reads;
        /**
         * No two names are equal when case is ignored; else a lookup by name finds the first of
         * them only, and the names are asked instead. Worked out when fit() first needs it.
         */
        private Boolean distinct;

        Columns(ResultSetMetaData meta, boolean textAsBytes) throws SQLException {
            int count = meta.getColumnCount();
            names = new String[count];
            types = new int[count];
            sizes = new int[count];
            flags = new int[count];
            reads = new byte[count];
            for (int i = 0; i < count; i++) {
                int sqlType = meta.getColumnType(i + 1);
                types[i] = typeCode(sqlType);
                reads[i] = readOf(sqlType, textAsBytes);
                sizes[i] = sizeOf(meta, i + 1);
                flags[i] = (meta.isNullable(i + 1) != ResultSetMetaData.columnNoNulls ? 1 : 0)
                        | (meta.isAutoIncrement(i + 1) ? 2 : 0);
                names[i] = meta.getColumnLabel(i + 1);
            }
        }

        private boolean distinct() {
            if (distinct == null) {
                Set<String> folded = new HashSet<>();
                boolean unique = true;
                for (String name : names) unique &= folded.add(name.toLowerCase(Locale.ROOT));
                distinct = unique;
            }
            return distinct;
        }

        /** The server's number for these columns, once it was asked; 0 before. */
        private long number;

        /** Hands the columns to the server; returns how their cells are read. */
        byte[] tell(QuillCall call) {
            call.addColumnInfos(names, types, sizes, flags);
            return reads;
        }

        /** The same for columns told again and again (a kept search's): by the server's number for them. */
        byte[] tellAgain(QuillCall call) {
            if (number == 0 || !tellKeptColumns(call, number)) {
                number = ownNatives ? kept() : 0;
                if (number == 0 || !tellKeptColumns(call, number)) call.addColumnInfos(names, types, sizes, flags);
            }
            return reads;
        }

        private long kept() {
            try {
                return keepColumns(names, types, sizes, flags);
            } catch (UnsatisfiedLinkError e) {
                ownNatives = false;
                return 0;
            }
        }

        /**
         * Whether a result has these columns: as many, each of the same type, read kind, size
         * and name. Types are asked every time: SQLite's driver types a column whose declared
         * type leaves it open by the first row's value. With byLookup, each name is found through
         * the result's own lookup (case-insensitive) instead of asked, where the names are distinct.
         */
        boolean fit(ResultSet rows, ResultSetMetaData meta, boolean textAsBytes, boolean byLookup) throws SQLException {
            if (meta.getColumnCount() != names.length) return false;
            for (int i = 0; i < names.length; i++) {
                int sqlType = meta.getColumnType(i + 1);
                if (types[i] != typeCode(sqlType) || reads[i] != readOf(sqlType, textAsBytes)
                        || sizes[i] != sizeOf(meta, i + 1)) {
                    return false;
                }
                if (byLookup && distinct() ? indexOf(rows, names[i]) != i + 1 : !names[i].equals(meta.getColumnLabel(i + 1))) {
                    return false;
                }
            }
            return true;
        }

        private static int indexOf(ResultSet rows, String name) {
            try {
                return rows.findColumn(name);
            } catch (SQLException gone) {
                return 0;
            }
        }
    }

    private static byte readOf(int sqlType, boolean textAsBytes) {
        return typeCode(sqlType) == TypeCode.BYTES || (textAsBytes && isText(sqlType)) ? READ_BYTES : READ_STRING;
    }

    private static int sizeOf(ResultSetMetaData meta, int column) throws SQLException {
        return Math.max(0, Math.min(meta.getColumnDisplaySize(column), Integer.MAX_VALUE));
    }

    /**
     * The kept search's columns, told to the server: those described at an earlier run while the
     * result still fits them (Columns.fit), else the result's own, kept from now on.
     */
    private byte[] columnsOf(QuillCall call, Kept search, ResultSet rows, boolean textAsBytes) throws SQLException {
        ResultSetMetaData meta = rows.getMetaData();
        if (search.columns == null || !search.columns.fit(rows, meta, textAsBytes, current.columnNamesByLookup)) {
            search.columns = new Columns(meta, textAsBytes);
        }
        return search.columns.tellAgain(call);
    }

    /**
     * Columns, then the rows between the rows to skip and the row limit (end); every row read is
     * counted, and the count is returned. Rows go to the server in batches: text cells
     * as UTF-8, binary cells as they are.
     */
    private static long report(QuillCall call, ResultSet rows, long skip, long end, boolean textAsBytes)
            throws SQLException {
        return report(call, rows, skip, end, describe(call, rows.getMetaData(), textAsBytes), false);
    }

    /**
     * The rows of a result whose columns were told to the server already, read as reads says. With
     * sizeFetches, rows come through a cursor fetched FETCH_SIZE at a time at first, and each later
     * fetch is sized from the widest row read since the last one (see FETCH_BYTES).
     */
    private static long report(QuillCall call, ResultSet rows, long skip, long end, byte[] reads, boolean sizeFetches)
            throws SQLException {
        RowBatch batch = new RowBatch(call, reads.length);
        long found = 0;
        int fetch = FETCH_SIZE;
        int leftInFetch = fetch;
        long widestRow = 0;
        while (rows.next()) {
            found++;
            if (found > skip && found <= end) {
                long rowBytes = 0;
                for (int i = 0; i < reads.length; i++) {
                    byte[] cell;
                    if (reads[i] == READ_BYTES) {
                        cell = rows.getBytes(i + 1);
                    } else {
                        String text = rows.getString(i + 1);
                        cell = text == null ? null : text.getBytes(StandardCharsets.UTF_8);
                    }
                    batch.add(cell);
                    rowBytes += CELL_OVERHEAD + (cell == null ? 0 : cell.length);
                }
                widestRow = Math.max(widestRow, rowBytes);
                batch.endRow();
            }
            // The driver asks for the next fetch inside the next() after its batch's last row.
            if (sizeFetches && --leftInFetch == 0) {
                if (widestRow > 0) {
                    long fits = FETCH_BYTES / widestRow;
                    int next = (int) Math.max(FETCH_SIZE, Math.min(Math.min(FETCH_SIZE_MAX, 2L * fetch), fits));
                    if (next != fetch) rows.setFetchSize(next);
                    fetch = next;
                }
                leftInFetch = fetch;
                widestRow = 0;
            }
        }
        batch.flush();
        return found;
    }

    /**
     * Rows collected for one {@code addResultRows} call. Both arrays start small and double up to
     * a batch's size: most searches read a row or a few, and the VM clears every array it hands out.
     */
    private static final class RowBatch {
        private static final int ROWS = 512;
        private static final int FIRST_ROWS = 4;
        private final QuillCall call;
        private final int columns;
        private byte[] data;
        private int[] lengths;
        private int size;
        private int cells;

        RowBatch(QuillCall call, int columns) {
            this.call = call;
            this.columns = Math.max(1, columns);
            this.lengths = new int[this.columns * FIRST_ROWS];
            this.data = new byte[this.columns * FIRST_ROWS * 16];
        }

        void add(byte[] cell) {
            if (cell == null) {
                addNull();
            } else {
                System.arraycopy(cell, 0, room(cell.length), size, cell.length);
                ended(cell.length);
            }
        }

        void addNull() {
            room(0);
            lengths[cells++] = -1;
        }

        /**
         * The data array with room for a cell of up to most bytes at size, and for its length:
         * the cell is written there, then ended().
         */
        byte[] room(int most) {
            if (cells == lengths.length) lengths = java.util.Arrays.copyOf(lengths, Math.min(cells * 2, columns * ROWS));
            if (size + most > data.length) data = java.util.Arrays.copyOf(data, Math.max(data.length * 2, size + most));
            return data;
        }

        void ended(int length) {
            size += length;
            lengths[cells++] = length;
        }

        int size() {
            return size;
        }

        void endRow() {
            if (cells == columns * ROWS) flush();
        }

        void flush() {
            if (cells > 0) call.addResultRows(columns, cells, data, lengths);
            cells = 0;
            size = 0;
        }
    }

    /**
     * A long search read through PostgreSQL's {@code COPY (search) TO STDOUT}: the server streams
     * the rows while the client stores them, where a cursor leaves it idle while each fetch is
     * stored, and only one row and one batch are held here. Each cell comes as the type's text,
     * as the cursor reads it from a UTF-8 database, escaped for the copy's text format. The
     * driver's copy API is reached through its connection's class loader, as the connector does
     * not link the driver.
     */
    static final class TextCopy {
        private static final ClassValue<TextCopy> BY_CONNECTION_CLASS = new ClassValue<>() {
            @Override
            protected TextCopy computeValue(Class<?> connectionClass) {
                return new TextCopy(connectionClass.getClassLoader());
            }
        };

        private final Class<?> pgConnection;
        private final MethodHandle copyApi;
        private final MethodHandle copyOut;
        private final MethodHandle fieldCount;
        private final MethodHandle readRow;
        private final MethodHandle isActive;
        private final MethodHandle byteaBytes;

        private TextCopy(ClassLoader loader) {
            Class<?> connection = null;
            MethodHandle api = null, out = null, fields = null, row = null, active = null, bytea = null;
            try {
                connection = Class.forName("org.postgresql.PGConnection", false, loader);
                Class<?> manager = Class.forName("org.postgresql.copy.CopyManager", false, loader);
                Class<?> copy = Class.forName("org.postgresql.copy.CopyOut", false, loader);
                MethodHandles.Lookup lookup = MethodHandles.publicLookup();
                MethodType ofCopy = MethodType.methodType(Object.class, Object.class);
                api = lookup.findVirtual(connection, "getCopyAPI", MethodType.methodType(manager)).asType(ofCopy);
                out = lookup.findVirtual(manager, "copyOut", MethodType.methodType(copy, String.class))
                        .asType(MethodType.methodType(Object.class, Object.class, String.class));
                fields = lookup.findVirtual(copy, "getFieldCount", MethodType.methodType(int.class))
                        .asType(MethodType.methodType(int.class, Object.class));
                row = lookup.findVirtual(copy, "readFromCopy", MethodType.methodType(byte[].class))
                        .asType(MethodType.methodType(byte[].class, Object.class));
                active = lookup.findVirtual(copy, "isActive", MethodType.methodType(boolean.class))
                        .asType(MethodType.methodType(boolean.class, Object.class));
                bytea = lookup.findStatic(Class.forName("org.postgresql.util.PGbytea", false, loader), "toBytes",
                        MethodType.methodType(byte[].class, byte[].class));
            } catch (ReflectiveOperationException | LinkageError | SecurityException absent) {
                connection = null;
            }
            pgConnection = connection;
            copyApi = api;
            copyOut = out;
            fieldCount = fields;
            readRow = row;
            isActive = active;
            byteaBytes = bytea;
        }

        /**
         * Reports the search's columns and rows past skip, and returns how many rows it gave; null,
         * with nothing reported, where the driver has no copy or the server refuses this one (a
         * statement it cannot copy), for the caller to read it through the cursor instead. The
         * connection must be in autocommit: a refused copy then leaves no transaction failed.
         */
        static Long read(QuillCall call, Connection connection, String search, long skip) throws SQLException {
            Connection own = connection.unwrap(Connection.class);
            TextCopy driver = BY_CONNECTION_CLASS.get(own.getClass());
            if (driver.pgConnection == null || !driver.pgConnection.isInstance(own)) return null;
            Columns columns;
            try (PreparedStatement described = connection.prepareStatement(search)) {
                ResultSetMetaData meta = described.getMetaData();
                if (meta == null) return null;
                columns = new Columns(meta, true);
            } catch (SQLException refused) {
                // Read through the cursor, which reports the statement's own error if it has one.
                return null;
            }
            try {
                return driver.read(call, own, columns, "COPY (" + search + ") TO STDOUT", skip);
            } catch (Throwable failed) {
                throw asSqlException(failed);
            }
        }

        private Long read(QuillCall call, Connection own, Columns columns, String copySql, long skip) throws Throwable {
            Object copy;
            try {
                copy = copyOut.invokeExact(copyApi.invokeExact((Object) own), copySql);
            } catch (SQLException refused) {
                return null;
            }
            try {
                int count = columns.names.length;
                if ((int) fieldCount.invokeExact(copy) != count) {
                    // The table changed since it was described: described afresh by the cursor.
                    drain(copy);
                    return null;
                }
                columns.tell(call);
                RowBatch batch = new RowBatch(call, count);
                long found = 0;
                byte[] row;
                while ((row = (byte[]) readRow.invokeExact(copy)) != null) {
                    if (++found > skip) {
                        addRow(batch, row, columns);
                        batch.endRow();
                    }
                }
                batch.flush();
                return found;
            } catch (Throwable failed) {
                // The server's own error has ended the copy; any other leaves it to be drained.
                try {
                    drain(copy);
                } catch (Throwable again) {
                    failed.addSuppressed(again);
                }
                throw failed;
            }
        }

        /**
         * Reads a copy's remaining rows, so that the connection serves its next statement. (The
         * driver's cancel of a copy to the client leaves the cancel's error to that statement.)
         */
        private void drain(Object copy) throws Throwable {
            if ((boolean) isActive.invokeExact(copy)) {
                while ((byte[]) readRow.invokeExact(copy) != null) {
                    // dropped
                }
            }
        }

        /**
         * One row of the copy's text format: cells apart by tabs, the row ended by a newline, \\N
         * for null, and backslash escapes within a cell.
         */
        private void addRow(RowBatch batch, byte[] row, Columns columns) throws Throwable {
            int end = row.length > 0 && row[row.length - 1] == '\n' ? row.length - 1 : row.length;
            int count = columns.types.length;
            int start = 0;
            for (int column = 0; column < count; column++) {
                int stop = start;
                while (stop < end && row[stop] != '\t') stop++;
                if ((stop == end) != (column + 1 == count)) {
                    throw new SQLException("a copied row does not have " + count + " cells");
                }
                if (stop - start == 2 && row[start] == '\\' && row[start + 1] == 'N') {
                    batch.addNull();
                } else if (columns.types[column] == TypeCode.BYTES) {
                    byte[] text = new byte[stop - start];
                    int length = unescape(row, start, stop, text, 0);
                    batch.add((byte[]) byteaBytes.invokeExact(java.util.Arrays.copyOf(text, length)));
                } else {
                    batch.ended(unescape(row, start, stop, batch.room(stop - start), batch.size()));
                }
                start = stop + 1;
            }
        }

        /**
         * Copies row[start, stop) to into at, undoing the escapes the server writes (a backslash
         * before b, f, n, r, t or v for that control character, before any other byte for the
         * byte itself); returns how many bytes it wrote.
         */
        static int unescape(byte[] row, int start, int stop, byte[] into, int at) {
            int out = at;
            int plain = start;
            while (plain < stop && row[plain] != '\\') plain++;
            System.arraycopy(row, start, into, out, plain - start);
            out += plain - start;
            for (int i = plain; i < stop; i++) {
                byte b = row[i];
                if (b == '\\' && i + 1 < stop) {
                    b = switch (row[++i]) {
                        case 'b' -> '\b';
                        case 'f' -> '\f';
                        case 'n' -> '\n';
                        case 'r' -> '\r';
                        case 't' -> '\t';
                        case 'v' -> 0x0b;
                        default -> row[i];
                    };
                }
                into[out++] = b;
            }
            return out - at;
        }
    }

    List<String> driverClasses() {
        List<String> names = new ArrayList<>();
        for (DriverEntry entry : drivers) names.add(entry.className);
        return names;
    }
}
