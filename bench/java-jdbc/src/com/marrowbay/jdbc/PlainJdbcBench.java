package com.marrowbay.jdbc;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import java.sql.Connection;
import java.sql.ResultSet;
import java.sql.Statement;
import java.util.Properties;

/**
 * The benchmark's yardstick: plain JDBC in the server's VM, with the very driver object the
 * connector's data source uses (drivers live in class loaders of their own), one connection, and
 * every cell read as text, as the connector reads it.
 */
public class PlainJdbcBench extends QuillTagModule {
    public PlainJdbcBench() {
    }

    @Override
    public void registerModule() {
        registerTag("jdbc_plain", "plain",
                "jdbc_plain(source, url, user, password, sql, runs, best): ns of the fastest run (best) or per run");
    }

    /**
     * Runs the query once to warm up, then `runs` times; returns the nanoseconds of the fastest
     * run when `best` is true, else the mean per run.
     */
    public int plain(QuillCall call, int argument) {
        try {
            JDBCConnector source = JDBCLoader.SOURCES.get(call.param(0));
            Properties login = new Properties();
            if (!call.param(2).isEmpty()) login.setProperty("user", call.param(2));
            if (!call.param(3).isEmpty()) login.setProperty("password", call.param(3));
            String sql = call.param(4);
            int runs = Integer.parseInt(call.param(5));
            boolean best = "true".equals(call.param(6));
            try (Connection connection = source.current.driver.connect(call.param(1), login)) {
                long rows = read(connection, sql);
                long fastest = Long.MAX_VALUE;
                long start = System.nanoTime();
                for (int i = 0; i < runs; i++) {
                    long run = System.nanoTime();
                    rows += read(connection, sql);
                    fastest = Math.min(fastest, System.nanoTime() - run);
                }
                long elapsed = System.nanoTime() - start;
                if (rows == 0) return call.setResultMessage("no rows");
                return call.returnTagValueInteger(best ? fastest : elapsed / runs);
            }
        } catch (Exception e) {
            call.setResultMessage(e.toString());
            return -1;
        }
    }

    private static long read(Connection connection, String sql) throws Exception {
        long rows = 0;
        try (Statement statement = connection.createStatement(); ResultSet result = statement.executeQuery(sql)) {
            int columns = result.getMetaData().getColumnCount();
            while (result.next()) {
                String[] row = new String[columns];
                for (int i = 0; i < columns; i++) row[i] = result.getString(i + 1);
                if (row.length > 0) rows++;
            }
        }
        return rows;
    }
}
