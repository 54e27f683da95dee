package com.marrowbay.jdbc;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Starts the JDBC connector: the server creates one instance after the other Java modules are
 * loaded and calls {@link #registerQuillModule}. Every driver found is recorded in the driver
 * table, and each database family ("SQLite", "PostgreSQL", ...) becomes one data source of that
 * name, served by the first of its drivers (another one can be chosen with
 * {@code _jdbc_setdriver}).
 */
public class JDBCLoader {
    /** The data sources registered by the last start, by family. */
    static final Map<String, JDBCConnector> SOURCES = new LinkedHashMap<>();

    public JDBCLoader() {
    }

    /** Runs one statement on the server's internal database; null when it gives no rows. */
    public native String[][] StoreManExecute(String sql);

    public void registerQuillModule() {
        Path root = Paths.get("").toAbsolutePath();
        DriverCatalog catalog = new DriverCatalog(this::StoreManExecute);
        List<DriverEntry> drivers = catalog.discover(root);
        catalog.synchronize(root);
        JDBCConnector.Timeouts timeouts = new JDBCConnector.Timeouts(
                preference("jdbc_connect_timeout", JDBCConnector.Timeouts.DEFAULT.connectMs(), 250),
                preference("jdbc_retry_after", JDBCConnector.Timeouts.DEFAULT.retryAfterMs(), 0));
        Map<String, List<DriverEntry>> families = new LinkedHashMap<>();
        for (DriverEntry entry : drivers) {
            families.computeIfAbsent(entry.rdbms, f -> new ArrayList<>()).add(entry);
        }
        for (Map.Entry<String, List<DriverEntry>> family : families.entrySet()) {
            JDBCConnector source = new JDBCConnector(family.getKey(), family.getValue(), catalog, timeouts);
            source.registerJDBCModule(family.getKey(), "dispatch", 0);
            SOURCES.putIfAbsent(family.getKey(), source);  // a second start's sources are refused
        }
    }

    /** A number of milliseconds from the server's preferences; the default when unset or not a number. */
    private long preference(String key, long fallback, long least) {
        String[][] rows = StoreManExecute("SELECT data FROM global_prefs WHERE store_key = '" + key + "'");
        if (rows == null || rows.length == 0 || rows[0] == null || rows[0].length == 0 || rows[0][0] == null) {
            return fallback;
        }
        try {
            return Math.max(least, Long.parseLong(rows[0][0].trim()));
        } catch (NumberFormatException notANumber) {
            return fallback;
        }
    }
}
