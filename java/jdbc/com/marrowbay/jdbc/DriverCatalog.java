package com.marrowbay.jdbc;

import java.io.File;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.CodeSource;
import java.sql.DatabaseMetaData;
import java.sql.Driver;
import java.text.SimpleDateFormat;
import java.util.ArrayList;
import java.util.Date;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.ServiceLoader;
import java.util.function.Function;

/**
 * Finds the JDBC drivers (the jars of {@code JDBCDrivers/}, each through a class loader of its
 * own, then any other driver on the class path) and keeps the driver table {@code jdbc_drivers}
 * of the server's internal database in step with them. A driver's SQL settings are read from its
 * row when it has one, so an administrator's edits of the row survive restarts.
 */
final class DriverCatalog {
    static final String FOLDER = "JDBCDrivers";
    private static final String COLUMNS = "id, driver_name, file_name, vendor_name, vendor_url, driver_type, "
            + "api_version, connection_string, required_properties, version_major, version_minor, last_updated, "
            + "certified, notes, catalogs_supported, schemas_supported, quote_identifier, quote_escape, "
            + "catalog_separator, statement_terminator, typeconvert_supported, rdbms";

    private final Function<String, String[][]> store;
    private final List<DriverEntry> entries = new ArrayList<>();

    /** @param store runs one statement on the internal database ({@code StoreManExecute}) */
    DriverCatalog(Function<String, String[][]> store) {
        this.store = store;
    }

    List<DriverEntry> entries() {
        return entries;
    }

    /** Every driver found, in the order: JDBCDrivers/ (by file name), then the class path. */
    List<DriverEntry> discover(Path root) {
        Map<String, DriverEntry> found = new LinkedHashMap<>();
        // A driver's native part may sit beside its jar (the SQLite driver's does).
        Path nativeSqlite = root.resolve(FOLDER).resolve("libsqlitejdbc.so");
        if (System.getProperty("org.sqlite.lib.path") == null && Files.exists(nativeSqlite)) {
            System.setProperty("org.sqlite.lib.path", nativeSqlite.getParent().toString());
            System.setProperty("org.sqlite.lib.name", "libsqlitejdbc.so");
        }
        File[] jars = root.resolve(FOLDER).toFile().listFiles((dir, name) -> name.endsWith(".jar"));
        List<Path> folderJars = new ArrayList<>();
        if (jars != null) {
            java.util.Arrays.sort(jars);
            for (File jar : jars) {
                folderJars.add(jar.toPath().toAbsolutePath().normalize());
                loadFrom(jar, found);
            }
        }
        ServiceLoader.load(Driver.class, ClassLoader.getSystemClassLoader()).stream().forEach(provider -> {
            try {
                Class<? extends Driver> type = provider.type();
                Path source = sourceOf(type);
                // A driver jar of the folder is on the class path as well: its own loader serves it.
                if (found.containsKey(type.getName()) || (source != null && folderJars.contains(source))) {
                    return;
                }
                DriverEntry entry = new DriverEntry(provider.get(), source == null ? "" : source.getFileName().toString());
                found.put(entry.className, entry);
            } catch (Throwable broken) {
                // A provider that cannot be loaded is no driver of ours.
            }
        });
        entries.clear();
        entries.addAll(found.values());
        return entries;
    }

    private static Path sourceOf(Class<?> type) {
        try {
            CodeSource source = type.getProtectionDomain().getCodeSource();
            return source == null ? null : Paths.get(source.getLocation().toURI()).toAbsolutePath().normalize();
        } catch (Exception unknown) {
            return null;
        }
    }

    private static void loadFrom(File jar, Map<String, DriverEntry> found) {
        try {
            // The platform loader as parent: one driver's classes never see another jar's.
            URLClassLoader loader = new URLClassLoader(new URL[] {jar.toURI().toURL()},
                    ClassLoader.getPlatformClassLoader());
            for (Driver driver : ServiceLoader.load(Driver.class, loader)) {
                if (driver.getClass().getClassLoader() == loader) {
                    found.putIfAbsent(driver.getClass().getName(), new DriverEntry(driver, jar.getName()));
                }
            }
        } catch (Throwable broken) {
            // An unreadable jar or a driver that fails to start is left out.
        }
    }

    /** Reads the settings of known rows and records new drivers (and new versions of old ones). */
    void synchronize(Path root) {
        Map<String, String[]> rows = new HashMap<>();
        String[][] table = store.apply("SELECT " + COLUMNS + " FROM jdbc_drivers");
        if (table != null) {
            for (String[] row : table) {
                if (row != null && row.length == 22 && row[1] != null) rows.put(row[1], row);
            }
        }
        for (DriverEntry entry : entries) {
            entry.applyKnownDefaults();
            String[] row = rows.get(entry.className);
            if (row == null) {
                // Another server may record it at the same moment: the row is added only if absent
                // (the store runs it as one serializable transaction on a database server).
                store.apply("INSERT INTO jdbc_drivers (" + COLUMNS.substring(4) + ") SELECT " + values(entry, root)
                        + " WHERE NOT EXISTS (SELECT 1 FROM jdbc_drivers WHERE driver_name = "
                        + literal(entry.className) + ")");
            } else {
                readSettings(entry, row);
                store.apply("UPDATE jdbc_drivers SET file_name = " + literal(entry.fileName)
                        + ", version_major = " + entry.driver.getMajorVersion()
                        + ", version_minor = " + entry.driver.getMinorVersion()
                        + ", last_updated = " + literal(lastUpdated(entry, root))
                        + " WHERE id = " + Long.parseLong(row[0]));
            }
        }
    }

    private static void readSettings(DriverEntry entry, String[] row) {
        if (row[3] != null) entry.vendorName = row[3];
        if (row[4] != null) entry.vendorUrl = row[4];
        if (row[7] != null) entry.connectionString = row[7];
        if (row[8] != null) entry.requiredProperties = row[8];
        entry.certified = "Y".equals(row[12]);
        if (row[21] != null && !row[21].isEmpty()) entry.rdbms = row[21];
        if (row[14] == null) return;  // settings not known yet
        entry.catalogs = "Y".equals(row[14]);
        entry.schemas = "Y".equals(row[15]);
        entry.quote = text(row[16]);
        entry.quoteEscape = text(row[17]);
        entry.catalogSeparator = row[18] == null || row[18].isEmpty() ? "." : row[18];
        entry.terminator = text(row[19]);
        entry.converts = "Y".equals(row[20]);
        entry.settled = true;
    }

    /** Records the settings a connection's metadata gives for a driver the connector did not know. */
    void settle(DriverEntry entry, DatabaseMetaData meta) throws java.sql.SQLException {
        if (entry.settled) return;
        String quote = meta.getIdentifierQuoteString();
        entry.quote = quote == null || quote.isBlank() ? "" : quote.trim();
        entry.quoteEscape = entry.quote;
        String separator = meta.getCatalogSeparator();
        entry.catalogSeparator = separator == null || separator.isEmpty() ? "." : separator;
        entry.catalogs = meta.supportsCatalogsInDataManipulation();
        entry.schemas = meta.supportsSchemasInDataManipulation();
        entry.converts = meta.supportsConvert();
        entry.settled = true;
        store.apply("UPDATE jdbc_drivers SET catalogs_supported = " + flag(entry.catalogs)
                + ", schemas_supported = " + flag(entry.schemas) + ", quote_identifier = " + literal(entry.quote)
                + ", quote_escape = " + literal(entry.quoteEscape) + ", catalog_separator = "
                + literal(entry.catalogSeparator) + ", typeconvert_supported = " + flag(entry.converts)
                + " WHERE driver_name = " + literal(entry.className));
    }

    private static String values(DriverEntry e, Path root) {
        return String.join(", ", literal(e.className), literal(e.fileName), literal(e.vendorName),
                literal(e.vendorUrl), "4", "4", literal(e.connectionString), literal(e.requiredProperties),
                Integer.toString(e.driver.getMajorVersion()), Integer.toString(e.driver.getMinorVersion()),
                literal(lastUpdated(e, root)), flag(e.certified), literal(e.certified ? "" : "found on the class path"),
                settings(e), literal(e.rdbms));
    }

    /** Columns 15 to 21; NULL until known, so a later connection's metadata can fill them. */
    private static String settings(DriverEntry e) {
        if (!e.settled) return "NULL, NULL, NULL, NULL, NULL, NULL, NULL";
        return String.join(", ", flag(e.catalogs), flag(e.schemas), literal(e.quote), literal(e.quoteEscape),
                literal(e.catalogSeparator), literal(e.terminator), flag(e.converts));
    }

    private static String lastUpdated(DriverEntry entry, Path root) {
        try {
            Path jar = root.resolve(FOLDER).resolve(entry.fileName);
            long modified = Files.exists(jar) ? Files.getLastModifiedTime(jar).toMillis() : System.currentTimeMillis();
            return new SimpleDateFormat("yyyy-MM-dd HH:mm:ss").format(new Date(modified));
        } catch (Exception unknown) {
            return "";
        }
    }

    private static String text(String value) {
        return value == null ? "" : value;
    }

    private static String flag(boolean value) {
        return value ? "'Y'" : "'N'";
    }

    static String literal(String value) {
        return value == null ? "NULL" : "'" + value.replace("'", "''") + "'";
    }
}
