package examples.csv;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillDSModule;
import com.ferngate.quillpro.QuillError;
import com.ferngate.quillpro.QuillValue;
import com.ferngate.quillpro.SearchOp;
import com.ferngate.quillpro.TypeCode;
import java.io.IOException;
import java.io.Reader;
import java.io.Writer;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import org.apache.commons.csv.CSVFormat;
import org.apache.commons.csv.CSVParser;
import org.apache.commons.csv.CSVPrinter;
import org.apache.commons.csv.CSVRecord;

/**
 * The data source "csv": a folder of CSV files served as a database. Each sub-folder is a
 * database, each {@code NAME.csv} in it a table, and a table's header row names its columns.
 *
 * <p>The folder is the data source's host (its name or URL, {@code quill host add csv FOLDER
 * USER}); without a host it is {@code csv-data} in the server root. Searches support every
 * search operator, AND and OR, sorting, skipping and a row limit; adds, updates and deletes are
 * written to a temporary file in the same folder, forced to disk and renamed over the table, so
 * a crash never leaves a half-written table, and the table keeps its file mode. Writers of one
 * table take turns, within a process and across processes: each change holds an exclusive lock
 * on the table's lock file ({@code .NAME.csv.lock} beside it) from its read to its rename, so no
 * acknowledged row is lost when several servers write one folder.
 */
public class CsvDataSource extends QuillDSModule {
    private static final int TEXT = TypeCode.TEXT;
    private static final int OR = SearchOp.OR;
    private static final int NOT_FOUND = -9003;
    private static final int INVALID = -9006;
    private static final CSVFormat READ = CSVFormat.DEFAULT.builder().setHeader().setSkipHeaderRecord(true).build();
    private static final CSVFormat WRITE = CSVFormat.DEFAULT.builder().setRecordSeparator('\n').build();
    private static final Map<Path, Object> LOCKS = new ConcurrentHashMap<>();

    public CsvDataSource() {
    }

    @Override
    public void registerModule() {
        registerDataSource("csv", "action");
    }

    /** One action of the server. */
    public int action(QuillCall call, int action, QuillValue value) {
        try {
            switch (action) {
                case ACTION_LIST_DATABASES: return listDatabases(call);
                case ACTION_LIST_TABLES: return listTables(call, value);
                case ACTION_LIST_SCHEMAS: return 0;
                case ACTION_SEARCH: return search(call);
                case ACTION_ADD: return add(call);
                case ACTION_UPDATE: return change(call, false);
                case ACTION_DELETE: return change(call, true);
                case ACTION_DESCRIBE_TABLE: return describe(call);
                case ACTION_EXECUTE_STATEMENT:
                    return fail(call, QuillError.UNSUPPORTED, "the csv data source runs no statements");
                default: return 0;  // init, terminate, close: nothing is kept open
            }
        } catch (Failure failure) {
            return fail(call, failure.code, failure.getMessage());
        } catch (IOException | RuntimeException e) {
            return fail(call, QuillError.GENERIC, "csv: " + e);
        }
    }

    // ---- where things are ----

    private static final class Failure extends Exception {
        final int code;

        Failure(int code, String message) {
            super(message);
            this.code = code;
        }
    }

    private static int fail(QuillCall call, int code, String message) {
        call.setResultMessage(message);
        return code;
    }

    private static Path root(QuillCall call) {
        QuillValue host = new QuillValue();
        if (call.getDataHost(host, null) == 0 && host.data != null && !host.data.isEmpty()) {
            return Paths.get(host.data);
        }
        return Paths.get("csv-data");
    }

    /** A database or table name: a plain file name, nothing that climbs out of the folder. */
    private static String plainName(String name, String what) throws Failure {
        if (name == null || name.isEmpty() || name.contains("/") || name.contains("\\") || name.startsWith(".")) {
            throw new Failure(INVALID, "csv: no valid " + what + " name: " + name);
        }
        return name;
    }

    private static Path table(QuillCall call) throws Failure {
        QuillValue database = new QuillValue();
        QuillValue table = new QuillValue();
        call.getDataSourceName(database, null, null);
        call.getTableName(table);
        Path file = root(call).resolve(plainName(database.data, "database"))
                .resolve(plainName(table.data, "table") + ".csv");
        if (!Files.isRegularFile(file)) {
            throw new Failure(NOT_FOUND, "csv: no table " + database.data + "/" + table.data);
        }
        return file;
    }

    // ---- name lists ----

    private static int listDatabases(QuillCall call) throws IOException {
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(root(call), Files::isDirectory)) {
            List<String> names = new ArrayList<>();
            entries.forEach(p -> names.add(p.getFileName().toString()));
            names.sort(null);
            names.forEach(call::addDataSourceResult);
        }
        return 0;
    }

    private static int listTables(QuillCall call, QuillValue value) throws IOException, Failure {
        Path folder = root(call).resolve(plainName(value == null ? null : value.data, "database"));
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(folder, "*.csv")) {
            List<String> names = new ArrayList<>();
            entries.forEach(p -> names.add(p.getFileName().toString().replaceFirst("\\.csv$", "")));
            names.sort(null);
            names.forEach(call::addDataSourceResult);
        }
        return 0;
    }

    // ---- reading and writing a table ----

    private record Table(List<String> header, List<List<String>> rows) {
        int column(String name) throws Failure {
            int index = header.indexOf(name);
            if (index < 0) {
                throw new Failure(NOT_FOUND, "csv: no column " + name);
            }
            return index;
        }
    }

    private static Table read(Path file) throws IOException {
        try (Reader in = Files.newBufferedReader(file, StandardCharsets.UTF_8); CSVParser parser = READ.parse(in)) {
            List<List<String>> rows = new ArrayList<>();
            for (CSVRecord record : parser) {
                List<String> row = new ArrayList<>(record.toList());
                while (row.size() < parser.getHeaderNames().size()) {
                    row.add("");
                }
                rows.add(row);
            }
            return new Table(new ArrayList<>(parser.getHeaderNames()), rows);
        }
    }

    /**
     * Writes the table next to the file with the file's mode, forces it to disk, then renames it
     * over the file.
     */
    private static void write(Path file, Table table) throws IOException {
        Path temporary = Files.createTempFile(file.getParent(), "." + file.getFileName(), ".tmp");
        try {
            Files.setPosixFilePermissions(temporary, Files.getPosixFilePermissions(file));
            try (Writer out = Files.newBufferedWriter(temporary, StandardCharsets.UTF_8);
                 CSVPrinter printer = new CSVPrinter(out, WRITE)) {
                printer.printRecord(table.header());
                for (List<String> row : table.rows()) {
                    printer.printRecord(row);
                }
            }
            try (FileChannel channel = FileChannel.open(temporary, StandardOpenOption.WRITE)) {
                channel.force(true);
            }
            Files.move(temporary, file, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
        } finally {
            Files.deleteIfExists(temporary);
        }
    }

    private static Object lockOf(Path file) {
        return LOCKS.computeIfAbsent(file.toAbsolutePath().normalize(), p -> new Object());
    }

    /** A change of a table from its read to its rename. */
    private interface Change<T> {
        T apply() throws IOException, Failure;
    }

    /**
     * Runs change while this process's threads and other processes leave the table alone. The
     * lock is on a file of its own, as the table itself is replaced by each write; a process
     * holds one file lock at a time, so its threads first take turns on the object.
     */
    private static <T> T changing(Path file, Change<T> change) throws IOException, Failure {
        Path lockFile = file.resolveSibling("." + file.getFileName() + ".lock");
        synchronized (lockOf(file)) {
            try (FileChannel channel = FileChannel.open(lockFile, StandardOpenOption.CREATE, StandardOpenOption.WRITE);
                 FileLock lock = channel.lock()) {
                return change.apply();
            }
        }
    }

    // ---- criteria ----

    private record Criterion(int column, int op, String value) {
    }

    /** The key column and value when both are given, else the input columns (command items skipped). */
    private static List<Criterion> criteria(QuillCall call, Table table) throws Failure {
        List<Criterion> criteria = new ArrayList<>();
        QuillValue key = new QuillValue();
        if (call.getPrimaryKeyColumn(key) == 0 && key.name != null && !key.name.isEmpty() && key.data != null) {
            criteria.add(new Criterion(table.column(key.name), SearchOp.EQUALS, key.data));
            return criteria;
        }
        IntValue count = new IntValue();
        call.getInputColumnCount(count);
        for (int i = 0; i < count.value; i++) {
            QuillValue column = new QuillValue();
            call.getInputColumn(i, column);
            if (column.name == null || column.name.startsWith("-") || column.name.equalsIgnoreCase("opbegin")
                    || column.name.equalsIgnoreCase("opend")) {
                continue;
            }
            criteria.add(new Criterion(table.column(column.name), column.type, column.data));
        }
        return criteria;
    }

    private static boolean matches(List<String> row, List<Criterion> criteria, boolean or) throws Failure {
        if (criteria.isEmpty()) {
            return true;
        }
        for (Criterion criterion : criteria) {
            boolean hit = test(row.get(criterion.column()), criterion.op(), criterion.value());
            if (hit == or) {
                return or;
            }
        }
        return !or;
    }

    /** Numbers compare as numbers when both sides are numbers; everything else as text. */
    private static int compare(String a, String b) {
        try {
            return Double.compare(Double.parseDouble(a), Double.parseDouble(b));
        } catch (NumberFormatException notNumbers) {
            return a.compareTo(b);
        }
    }

    private static boolean test(String cell, int op, String value) throws Failure {
        if (value == null) {
            value = "";
        }
        String lowerCell = cell.toLowerCase(Locale.ROOT);
        String lowerValue = value.toLowerCase(Locale.ROOT);
        switch (op) {
            case SearchOp.EQUALS: return compare(cell, value) == 0;
            case SearchOp.NOT_EQUALS: return compare(cell, value) != 0;
            case SearchOp.LESS: return compare(cell, value) < 0;
            case SearchOp.AT_MOST: return compare(cell, value) <= 0;
            case SearchOp.GREATER: return compare(cell, value) > 0;
            case SearchOp.AT_LEAST: return compare(cell, value) >= 0;
            case SearchOp.BEGINS_WITH: return lowerCell.startsWith(lowerValue);
            case SearchOp.ENDS_WITH: return lowerCell.endsWith(lowerValue);
            case SearchOp.CONTAINS: return lowerCell.contains(lowerValue);
            case SearchOp.NOT_BEGINS_WITH: return !lowerCell.startsWith(lowerValue);
            case SearchOp.NOT_ENDS_WITH: return !lowerCell.endsWith(lowerValue);
            case SearchOp.NOT_CONTAINS: return !lowerCell.contains(lowerValue);
            case SearchOp.IN_LIST: return List.of(value.split(",")).contains(cell);
            case SearchOp.NOT_IN_LIST: return !List.of(value.split(",")).contains(cell);
            case SearchOp.FULL_TEXT: return lowerCell.contains(lowerValue);
            default: throw new Failure(INVALID, "csv: unknown search operator " + TypeCode.toText(op));
        }
    }

    private static boolean isOr(QuillCall call) {
        IntValue op = new IntValue();
        return call.getLogicalOp(op) == 0 && op.value == OR;
    }

    // ---- actions ----

    private static int search(QuillCall call) throws IOException, Failure {
        Path file = table(call);
        Table table;
        synchronized (lockOf(file)) {
            table = read(file);
        }
        List<Criterion> criteria = criteria(call, table);
        boolean or = isOr(call);
        List<List<String>> found = new ArrayList<>();
        for (List<String> row : table.rows()) {
            if (matches(row, criteria, or)) {
                found.add(row);
            }
        }
        Comparator<List<String>> order = null;
        IntValue count = new IntValue();
        call.getSortColumnCount(count);
        for (int i = 0; i < count.value; i++) {
            QuillValue sort = new QuillValue();
            call.getSortColumn(i, sort);
            int column = table.column(sort.data);
            Comparator<List<String>> by = (x, y) -> compare(x.get(column), y.get(column));
            if (sort.type == 1) {
                by = by.reversed();
            }
            order = order == null ? by : order.thenComparing(by);
        }
        if (order != null) {
            found.sort(order);
        }
        List<Integer> columns = new ArrayList<>();
        call.getReturnColumnCount(count);
        for (int i = 0; i < count.value; i++) {
            QuillValue column = new QuillValue();
            call.getReturnColumn(i, column);
            columns.add(table.column(column.data));
        }
        if (columns.isEmpty()) {
            for (int i = 0; i < table.header().size(); i++) {
                columns.add(i);
            }
        }
        for (int column : columns) {
            call.addColumnInfo(table.header().get(column), TEXT, 0, 0);
        }
        IntValue skip = new IntValue();
        IntValue max = new IntValue();
        call.getSkipRows(skip);
        call.getMaxRows(max);
        long end = max.value < 0 ? found.size() : Math.min(found.size(), skip.value + max.value);
        for (long r = Math.max(0, skip.value); r < end; r++) {
            List<String> row = found.get((int) r);
            String[] cells = new String[columns.size()];
            for (int i = 0; i < cells.length; i++) {
                cells[i] = row.get(columns.get(i));
            }
            call.addResultRow(cells);
        }
        call.setNumRowsFound(found.size());
        return 0;
    }

    private static int add(QuillCall call) throws IOException, Failure {
        Path file = table(call);
        return changing(file, () -> {
            Table table = read(file);
            List<String> row = new ArrayList<>();
            for (int i = 0; i < table.header().size(); i++) {
                row.add("");
            }
            IntValue count = new IntValue();
            call.getInputColumnCount(count);
            for (int i = 0; i < count.value; i++) {
                QuillValue column = new QuillValue();
                call.getInputColumn(i, column);
                row.set(table.column(column.name), column.data == null ? "" : column.data);
            }
            table.rows().add(row);
            write(file, table);
            call.setRowID(table.rows().size());
            call.addColumnInfo(table.header().get(0), TEXT, 0, 0);
            call.addResultRow(new String[] {row.get(0)});
            call.setNumRowsFound(1);
            return 0;
        });
    }

    /** Update or delete the rows whose key column holds the key value. */
    private static int change(QuillCall call, boolean delete) throws IOException, Failure {
        Path file = table(call);
        QuillValue key = new QuillValue();
        call.getPrimaryKeyColumn(key);
        if (key.name == null || key.name.isEmpty() || key.data == null || key.data.isEmpty()) {
            return fail(call, delete ? QuillError.NO_DELETE_KEY : QuillError.NO_UPDATE_KEY,
                    "csv: " + (delete ? "delete" : "update") + " needs -key and -key_value");
        }
        int changed = changing(file, () -> {
            int matched = 0;
            Table table = read(file);
            int keyColumn = table.column(key.name);
            List<int[]> sets = new ArrayList<>();
            List<String> values = new ArrayList<>();
            IntValue count = new IntValue();
            call.getInputColumnCount(count);
            for (int i = 0; i < count.value && !delete; i++) {
                QuillValue column = new QuillValue();
                call.getInputColumn(i, column);
                sets.add(new int[] {table.column(column.name)});
                values.add(column.data == null ? "" : column.data);
            }
            for (var it = table.rows().iterator(); it.hasNext();) {
                List<String> row = it.next();
                if (compare(row.get(keyColumn), key.data) != 0) {
                    continue;
                }
                matched++;
                if (delete) {
                    it.remove();
                } else {
                    for (int i = 0; i < sets.size(); i++) {
                        row.set(sets.get(i)[0], values.get(i));
                    }
                }
            }
            if (matched > 0) {
                write(file, table);
            }
            return matched;
        });
        call.setNumRowsFound(changed);
        return changed > 0 ? 0 : fail(call, NOT_FOUND, "csv: no row with " + key.name + " = " + key.data);
    }

    private static int describe(QuillCall call) throws IOException, Failure {
        Path file = table(call);
        Table table;
        synchronized (lockOf(file)) {
            table = read(file);
        }
        for (String column : table.header()) {
            call.addColumnInfo(column, TEXT, 0, 1);
        }
        return 0;
    }
}
