package bench;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillDSModule;
import com.ferngate.quillpro.QuillValue;

/**
 * The data sources the data-source benchmark calls: "bench_empty_ds" searches the way the CSV
 * example does and finds nothing; "bench_rows_ds" returns {@link #ROW_COUNT} rows of three short
 * text cells, the same String objects the benchmark's floor reads from {@link #ROWS}.
 */
public class BenchSource extends QuillDSModule {
    public static final int ROW_COUNT = 100_000;
    public static final String[][] ROWS = new String[ROW_COUNT][];

    static {
        for (int i = 0; i < ROW_COUNT; i++) {
            ROWS[i] = new String[] {"id" + i, "name " + (i % 977), "c" + (i % 13)};
        }
    }

    public BenchSource() {
    }

    @Override
    public void registerModule() {
        registerDataSource("bench_empty_ds", "empty");
        registerDataSource("bench_rows_ds", "rows");
    }

    /** Reads the table and the criteria, as a search does, and finds nothing. */
    public int empty(QuillCall call, int action, QuillValue value) {
        if (action != ACTION_SEARCH) {
            return 0;
        }
        QuillValue table = new QuillValue();
        IntValue count = new IntValue();
        call.getTableName(table);
        call.getInputColumnCount(count);
        call.setNumRowsFound(0);
        return 0;
    }

    public int rows(QuillCall call, int action, QuillValue value) {
        if (action != ACTION_SEARCH) {
            return 0;
        }
        for (String[] row : ROWS) {
            call.addResultRow(row);
        }
        return 0;
    }

    private static java.sql.Connection plain;

    /**
     * The connector benchmark's floor: the query run with plain JDBC, every cell read as a
     * String, as the fixture connector reads them. Answers the number of rows.
     */
    public static int plainJdbc(String url, String sql) throws java.sql.SQLException {
        if (plain == null) plain = java.sql.DriverManager.getConnection(url);
        int rows = 0;
        long sink = 0;
        try (java.sql.Statement statement = plain.createStatement();
             java.sql.ResultSet result = statement.executeQuery(sql)) {
            final int columns = result.getMetaData().getColumnCount();
            final String[] row = new String[columns];
            while (result.next()) {
                for (int c = 0; c < columns; ++c) row[c] = result.getString(c + 1);
                sink += row[columns - 1].length();
                ++rows;
            }
        }
        return sink >= 0 ? rows : -1;
    }

    /** A method of the same shape as the dispatch method that does nothing: the floor's call. */
    public int nothing(QuillCall call, int action, QuillValue value) {
        return 0;
    }
}
