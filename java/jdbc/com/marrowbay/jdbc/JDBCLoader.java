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
        Map<String, List<DriverEntry>> families = new LinkedHashMap<>();
        for (DriverEntry entry : drivers) {
            families.computeIfAbsent(entry.rdbms, f -> new ArrayList<>()).add(entry);
        }
        for (Map.Entry<String, List<DriverEntry>> family : families.entrySet()) {
            JDBCConnector source = new JDBCConnector(family.getKey(), family.getValue(), catalog);
            source.registerJDBCModule(family.getKey(), "dispatch", 0);
            SOURCES.putIfAbsent(family.getKey(), source);  // a second start's sources are refused
        }
    }
}
